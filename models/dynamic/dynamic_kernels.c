/*
 * dynamic_kernels.c - kernel of the dynamic-shape demo model (every member of the suite).
 *
 *   data [N,3,H,W] -> conv 1x1 3->4 + bias + relu -> [N,4,H,W]
 *
 * H and W are read from the tensors at each call (the graph declares them as -1); input and output must
 * agree.  Weights: conv_weight [4,3,1,1], conv_bias [4].
 */
#include "model_kernel.h"

enum { C_IN = 3, C_OUT = 4 };

/* args: data, conv_weight, conv_bias, out */
MK_EXPORT int dynamic_fused_conv2d_add_relu(TVMValue* args, int* type_codes, int num_args, TVMValue* ret,
                                            int* ret_type_code, void* resource_handle) {
  (void)ret;
  (void)ret_type_code;
  (void)resource_handle;
  DLTensor* t[4];
  if (mk_get_tensors(args, type_codes, num_args, 4, t) != 0) return -1;
  const int64_t s_in[4] = {MK_ANY, C_IN, MK_ANY, MK_ANY};
  const int64_t s_w[4] = {C_OUT, C_IN, 1, 1};
  const int64_t s_b[1] = {C_OUT};
  const int64_t s_out[4] = {MK_ANY, C_OUT, MK_ANY, MK_ANY};
  if (mk_check_f32(t[0], 4, s_in) || mk_check_f32(t[1], 4, s_w) || mk_check_f32(t[2], 1, s_b) ||
      mk_check_f32(t[3], 4, s_out))
    return -1;
  if (t[0]->shape[0] != t[3]->shape[0] || t[0]->shape[2] != t[3]->shape[2] || t[0]->shape[3] != t[3]->shape[3])
    return -1;
  const int64_t n_items = t[0]->shape[0];
  const int64_t hw = t[0]->shape[2] * t[0]->shape[3];
  const float* in = mk_f32(t[0]);
  const float* w = mk_f32(t[1]);
  const float* b = mk_f32(t[2]);
  float* out = mk_f32(t[3]);
  for (int64_t n = 0; n < n_items; ++n) {
    const float* img = in + n * C_IN * hw;
    float* dst = out + n * C_OUT * hw;
    for (int co = 0; co < C_OUT; ++co) {
      for (int64_t p = 0; p < hw; ++p) {
        float acc = 0.0f;
        for (int ci = 0; ci < C_IN; ++ci) acc += img[ci * hw + p] * w[co * C_IN + ci];
        acc += b[co];
        dst[co * hw + p] = acc > 0.0f ? acc : 0.0f;
      }
    }
  }
  return 0;
}
