/*
 * trivial_kernels.c - kernel of the demo trivial model: the smallest real model, one element-wise add.
 *
 *   data [N,16] -> + bias [16] -> [N,16]
 *
 * One item is 64 bytes in and 64 bytes out, the same amount of data as the card's floor run in bench/, so
 * a pipeline over this model measures the run machinery rather than arithmetic.
 */
#include "model_kernel.h"

enum { WIDTH = 16 };

/* args: data, bias, out */
MK_KERNEL(trivial_add) {
  DLTensor* t[3];
  if (mk_get_tensors(args, type_codes, num_args, 3, t) != 0) return -1;
  const int64_t s_in[2] = {MK_ANY, WIDTH};
  const int64_t s_b[1] = {WIDTH};
  if (mk_check_f32(t[0], 2, s_in) || mk_check_f32(t[1], 1, s_b) || mk_check_f32(t[2], 2, s_in) ||
      t[0]->shape[0] != t[2]->shape[0])
    return -1;
  const float* in = mk_f32(t[0]);
  const float* b = mk_f32(t[1]);
  float* out = mk_f32(t[2]);
  const int64_t n_items = t[0]->shape[0];
  for (int64_t n = 0; n < n_items; ++n) {
    for (int i = 0; i < WIDTH; ++i) out[n * WIDTH + i] = in[n * WIDTH + i] + b[i];
  }
  return 0;
}
