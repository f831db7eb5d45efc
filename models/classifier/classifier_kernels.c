/*
 * classifier_kernels.c - kernels of the demo image classifier.
 *
 *   data [N,3,16,16] -> conv 3x3 (same padding) 3->8 + bias + relu -> [N,8,16,16]
 *                    -> global average pool (flattened)             -> [N,8]
 *                    -> dense 8->10 + bias                          -> [N,10]
 *
 * Weights: conv_weight [8,3,3,3], conv_bias [8], dense_weight [10,8], dense_bias [10].
 */
#include "model_kernel.h"

enum { C_IN = 3, C_MID = 8, H = 16, W = 16, CLASSES = 10 };

/* args: data, conv_weight, conv_bias, out */
MK_KERNEL(classifier_fused_conv2d_add_relu) {
  DLTensor* t[4];
  if (mk_get_tensors(args, type_codes, num_args, 4, t) != 0 || mk_check_conv2d(t, C_IN, C_MID, 3, H, W) != 0)
    return -1;
  const float* in = mk_f32(t[0]);
  const float* w = mk_f32(t[1]);
  const float* b = mk_f32(t[2]);
  float* out = mk_f32(t[3]);
  const int64_t n_items = t[0]->shape[0];
  for (int64_t n = 0; n < n_items; ++n) {
    const float* img = in + n * C_IN * H * W;
    float* dst = out + n * C_MID * H * W;
    for (int co = 0; co < C_MID; ++co) {
      for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
          float acc = 0.0f;
          for (int ci = 0; ci < C_IN; ++ci) {
            for (int ky = 0; ky < 3; ++ky) {
              const int iy = y + ky - 1;
              if (iy < 0 || iy >= H) continue;
              for (int kx = 0; kx < 3; ++kx) {
                const int ix = x + kx - 1;
                if (ix < 0 || ix >= W) continue;
                acc += img[(ci * H + iy) * W + ix] * w[((co * C_IN + ci) * 3 + ky) * 3 + kx];
              }
            }
          }
          acc += b[co];
          dst[(co * H + y) * W + x] = acc > 0.0f ? acc : 0.0f;
        }
      }
    }
  }
  return 0;
}

/* args: data [N,8,16,16], out [N,8] */
MK_KERNEL(classifier_fused_global_avg_pool2d) {
  DLTensor* t[2];
  if (mk_get_tensors(args, type_codes, num_args, 2, t) != 0) return -1;
  const int64_t s_in[4] = {MK_ANY, C_MID, H, W};
  const int64_t s_out[2] = {MK_ANY, C_MID};
  if (mk_check_f32(t[0], 4, s_in) || mk_check_f32(t[1], 2, s_out) || t[0]->shape[0] != t[1]->shape[0])
    return -1;
  const float* in = mk_f32(t[0]);
  float* out = mk_f32(t[1]);
  const int64_t n_items = t[0]->shape[0];
  for (int64_t n = 0; n < n_items; ++n) {
    for (int c = 0; c < C_MID; ++c) {
      const float* plane = in + (n * C_MID + c) * H * W;
      float sum = 0.0f;
      for (int i = 0; i < H * W; ++i) sum += plane[i];
      out[n * C_MID + c] = sum / (float)(H * W);
    }
  }
  return 0;
}

/* args: data [N,8], dense_weight [10,8], dense_bias [10], out [N,10] */
MK_KERNEL(classifier_fused_dense_add) {
  DLTensor* t[4];
  if (mk_get_tensors(args, type_codes, num_args, 4, t) != 0) return -1;
  const int64_t s_in[2] = {MK_ANY, C_MID};
  const int64_t s_w[2] = {CLASSES, C_MID};
  const int64_t s_b[1] = {CLASSES};
  const int64_t s_out[2] = {MK_ANY, CLASSES};
  if (mk_check_f32(t[0], 2, s_in) || mk_check_f32(t[1], 2, s_w) || mk_check_f32(t[2], 1, s_b) ||
      mk_check_f32(t[3], 2, s_out) || t[0]->shape[0] != t[3]->shape[0])
    return -1;
  const float* in = mk_f32(t[0]);
  const float* w = mk_f32(t[1]);
  const float* b = mk_f32(t[2]);
  float* out = mk_f32(t[3]);
  const int64_t n_items = t[0]->shape[0];
  for (int64_t n = 0; n < n_items; ++n) {
    for (int o = 0; o < CLASSES; ++o) {
      float acc = 0.0f;
      for (int k = 0; k < C_MID; ++k) acc += in[n * C_MID + k] * w[o * C_MID + k];
      out[n * CLASSES + o] = acc + b[o];
    }
  }
  return 0;
}
