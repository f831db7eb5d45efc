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

/* args: data, conv_weight, conv_bias, out; H and W come from the tensors */
MK_KERNEL(dynamic_fused_conv2d_add_relu) {
  DLTensor* t[4];
  if (mk_get_tensors(args, type_codes, num_args, 4, t) != 0 || mk_check_conv2d(t, C_IN, C_OUT, 1, MK_ANY, MK_ANY) != 0)
    return -1;
  mk_conv1x1_bias(t, 1);
  return 0;
}
