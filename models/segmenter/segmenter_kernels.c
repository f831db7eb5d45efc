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
MK_KERNEL(segmenter_fused_conv2d_add) {
  DLTensor* t[4];
  if (mk_get_tensors(args, type_codes, num_args, 4, t) != 0 || mk_check_conv2d(t, C_IN, C_OUT, 1, H, W) != 0)
    return -1;
  mk_conv1x1_bias(t, 0);
  return 0;
}
