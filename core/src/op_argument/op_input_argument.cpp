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
  appendAddrs(argPointersInDdr_, inputs, inputCount);
  header_.outputCount = inputCount;
  return true;
}

}  // namespace qobl
}  // namespace zenlar
