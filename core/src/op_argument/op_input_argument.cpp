#include "op_argument/op_input_argument.h"

#include "qobl_log.h"

namespace zenlar {
namespace qobl {

OpInputArgument::OpInputArgument(OpIRInstruction* irInstruction, uint32_t datasetId)
    : BaseOpArgument(irInstruction, datasetId) {
  OpInputArgument::startKind();
}

void OpInputArgument::startKind() {
  addInputNum_ = 0;
  header_.configCount = 0;
  inputsAreOutputs_ = true;
  repeatsLast_ = true;
}

bool OpInputArgument::addInputArg(const uint64_t* inputs, uint32_t inputCount) {
  if (inputCount != header_.inputCount || (inputs == nullptr && inputCount != 0)) {
    QOBL_LOG_ERROR("Real input shape mismatch with the shape of stream. \n");
    return false;
  }
  ++addInputNum_;
  if (addInputNum_ > loopCount()) {
    QOBL_LOG_ERROR("Input buffer overflow. \n");
    return false;
  }
  // This loop's addresses go over the last run's at their place, noting whether any differs.
  const size_t at = static_cast<size_t>(addInputNum_ - 1) * inputCount;
  if (argPointersInDdr_.size() < at + inputCount) {
    argPointersInDdr_.resize(at + inputCount);
    repeatsLast_ = false;
  }
  uint64_t* to = argPointersInDdr_.data() + at;
  for (uint32_t i = 0; i < inputCount; ++i) {
    if (to[i] != inputs[i]) {
      to[i] = inputs[i];
      repeatsLast_ = false;
    }
  }
  header_.outputCount = inputCount;
  return true;
}

}  // namespace qobl
}  // namespace zenlar
