/*
 * pair_kernels.c - kernels of the demo pair model: two real inputs of different shapes, two outputs.
 *
 *   data [N,4,8,8], scale [N,4] -> data * scale (per item and channel) + bias        -> scaled [N,4,8,8]
 *   scaled                      -> global average pool [N,4] -> dense 4->3 + bias   -> summary [N,3]
 *
 * Parameters: bias [4], dense_weight [3,4], dense_bias [3].  Every item has its own scale vector, so an
 * item whose inputs were paired with another item's (or swapped with each other) gives other values.
 */
#include "model_kernel.h"

enum { C = 4, H = 8, W = 8, OUT = 3 };

/* args: data, scale, bias, out */
MK_KERNEL(pair_scale_add) {
  DLTensor* t[4];
  if (mk_get_tensors(args, type_codes, num_args, 4, t) != 0) return -1;
  const int64_t s_img[4] = {MK_ANY, C, H, W};
  const int64_t s_scale[2] = {MK_ANY, C};
  const int64_t s_b[1] = {C};
  if (mk_check_f32(t[0], 4, s_img) || mk_check_f32(t[1], 2, s_scale) || mk_check_f32(t[2], 1, s_b) ||
      mk_check_f32(t[3], 4, s_img) || t[0]->shape[0] != t[1]->shape[0] || t[0]->shape[0] != t[3]->shape[0])
    return -1;
  const float* in = mk_f32(t[0]);
  const float* scale = mk_f32(t[1]);
  const float* b = mk_f32(t[2]);
  float* out = mk_f32(t[3]);
  const int64_t n_items = t[0]->shape[0];
  for (int64_t n = 0; n < n_items; ++n) {
    for (int c = 0; c < C; ++c) {
      const float s = scale[n * C + c];
      const float* src = in + (n * C + c) * H * W;
      float* dst = out + (n * C + c) * H * W;
      for (int p = 0; p < H * W; ++p) {
        const float prod = src[p] * s;
        dst[p] = prod + b[c];
      }
    }
  }
  return 0;
}

/* args: scaled [N,4,8,8], dense_weight [3,4], dense_bias [3], out [N,3] */
MK_KERNEL(pair_mean_dense) {
  DLTensor* t[4];
  if (mk_get_tensors(args, type_codes, num_args, 4, t) != 0) return -1;
  const int64_t s_in[4] = {MK_ANY, C, H, W};
  const int64_t s_w[2] = {OUT, C};
  const int64_t s_b[1] = {OUT};
  const int64_t s_out[2] = {MK_ANY, OUT};
  if (mk_check_f32(t[0], 4, s_in) || mk_check_f32(t[1], 2, s_w) || mk_check_f32(t[2], 1, s_b) ||
      mk_check_f32(t[3], 2, s_out) || t[0]->shape[0] != t[3]->shape[0])
    return -1;
  const float* in = mk_f32(t[0]);
  const float* w = mk_f32(t[1]);
  const float* b = mk_f32(t[2]);
  float* out = mk_f32(t[3]);
  const int64_t n_items = t[0]->shape[0];
  for (int64_t n = 0; n < n_items; ++n) {
    float mean[C];
    for (int c = 0; c < C; ++c) {
      const float* plane = in + (n * C + c) * H * W;
      float sum = 0.0f;
      for (int p = 0; p < H * W; ++p) sum += plane[p];
      mean[c] = sum / (float)(H * W);
    }
    for (int o = 0; o < OUT; ++o) {
      float acc = 0.0f;
      for (int k = 0; k < C; ++k) acc += mean[k] * w[o * C + k];
      out[n * OUT + o] = acc + b[o];
    }
  }
  return 0;
}
