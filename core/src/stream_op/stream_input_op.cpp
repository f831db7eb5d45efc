#include "stream_op/stream_input_op.h"

namespace zenlar {
namespace qobl {

uint32_t StreamInputOp::configCount() { return 1; }
std::vector<uint64_t> StreamInputOp::getConfigAddressList() { return {}; }
std::vector<uint64_t> StreamInputOp::getBufferAddresses() { return {}; }
// The input op hands on exactly the tensors it receives.
uint32_t StreamInputOp::outputCount() { return inputCount(); }
std::vector<uint32_t> StreamInputOp::inputSizes() { return inputSizes_; }
std::vector<uint32_t> StreamInputOp::outputSizes() { return outputSizes_; }

bool StreamInputOp::setOutputSizes(std::vector<uint32_t>& sizes) {
  outputSizes_ = sizes;
  return true;
}

bool StreamInputOp::setPreOpArg() { return true; }
uint32_t StreamInputOp::batchSize() { return 1; }

}  // namespace qobl
}  // namespace zenlar
