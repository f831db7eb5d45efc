/*
 * segmenter_kernels.c - kernel of the demo segmenter.
 *
 *   data [N,3,12,12] -> conv 1x1 3->5 + bias -> [N,5,12,12]
 *
 * Weights: conv_weight [5,3,1,1], conv_bias [5].  The kernel writes the plain tensor; the card stores the
 * output in the model's core layout (see hw.json).
 */
#include "model_kernel.h"

enum { C_IN = 3, C_OUT = 5, H = 12, W = 12 };

/* args: data, conv_weight, conv_bias, out */
MK_EXPORT int segmenter_fused_conv2d_add(TVMValue* args, int* type_codes, int num_args, TVMValue* ret,
                                         int* ret_type_code, void* resource_handle) {
  (void)ret;
  (void)ret_type_code;
  (void)resource_handle;
  DLTensor* t[4];
  if (mk_get_tensors(args, type_codes, num_args, 4, t) != 0) return -1;
  const int64_t s_in[4] = {MK_ANY, C_IN, H, W};
  const int64_t s_w[4] = {C_OUT, C_IN, 1, 1};
  const int64_t s_b[1] = {C_OUT};
  const int64_t s_out[4] = {MK_ANY, C_OUT, H, W};
  if (mk_check_f32(t[0], 4, s_in) || mk_check_f32(t[1], 4, s_w) || mk_check_f32(t[2], 1, s_b) ||
      mk_check_f32(t[3], 4, s_out) || t[0]->shape[0] != t[3]->shape[0])
    return -1;
  const float* in = mk_f32(t[0]);
  const float* w = mk_f32(t[1]);
  const float* b = mk_f32(t[2]);
  float* out = mk_f32(t[3]);
  const int64_t n_items = t[0]->shape[0];
  for (int64_t n = 0; n < n_items; ++n) {
    const float* img = in + n * C_IN * H * W;
    float* dst = out + n * C_OUT * H * W;
    for (int co = 0; co < C_OUT; ++co) {
      for (int p = 0; p < H * W; ++p) {
        float acc = 0.0f;
        for (int ci = 0; ci < C_IN; ++ci) acc += img[ci * H * W + p] * w[co * C_IN + ci];
        dst[co * H * W + p] = acc + b[co];
      }
    }
  }
  return 0;
}
