// reference.h - CPU reference of the demo models' layers, used to compute the expected outputs.
//
// These are straightforward loops over row-major float32 tensors, kept apart from the model kernels.  They
// accumulate in the same order as the kernels (input channel, then kernel row, then kernel column; bias
// added after the sum) so that, compiled without contraction or fast-math, both give identical bits.
#ifndef QOBL_TOOLS_MODEL_GEN_REFERENCE_H
#define QOBL_TOOLS_MODEL_GEN_REFERENCE_H

#include "model_files.h"

namespace zenlar::qobl::modelgen::reference {

// input [N,Ci,H,W], weight [Co,Ci,K,K], bias [Co]; stride 1, zero padding `pad` -> [N,Co,H+2p-K+1,W+2p-K+1]
Tensor conv2d(const Tensor& input, const Tensor& weight, const Tensor& bias, int pad);
Tensor relu(const Tensor& t);
// [N,C,H,W] -> [N,C]: mean of each plane, summed in row-major order and divided by H*W.
Tensor globalAvgPool(const Tensor& t);
// input [N,K], weight [M,K], bias [M] -> [N,M]
Tensor dense(const Tensor& input, const Tensor& weight, const Tensor& bias);
// input [N,C], bias [C] -> [N,C]: every row plus the bias, element by element.
Tensor addBias(const Tensor& input, const Tensor& bias);
// input [N,C,H,W], scale [N,C], bias [C] -> [N,C,H,W]: every plane times its item's and channel's scale (the
// product rounded), then plus the channel's bias.
Tensor scaleAdd(const Tensor& input, const Tensor& scale, const Tensor& bias);

}  // namespace zenlar::qobl::modelgen::reference

#endif  // QOBL_TOOLS_MODEL_GEN_REFERENCE_H
