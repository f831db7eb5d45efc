#include "op_argument/op_runmodel_argument.h"

#include <qobcrt/qobcrt.h>

#include <cstdint>

#include "i_model.h"
#include "qobl_log.h"

namespace zenlar {
namespace qobl {

OpRunModelArgument::OpRunModelArgument(OpIRInstruction* irInstruction, uint32_t datasetId)
    : BaseOpArgument(irInstruction, datasetId) {
  OpRunModelArgument::startKind();
}

void OpRunModelArgument::startKind() {
  if (model_ != nullptr) model_->getRunCounts(header_.batchSize, header_.inputCount, header_.outputCount);
}


bool OpRunModelArgument::buildOpArgArray(IOpArgument* inputOpArg, const std::vector<OpIRBuffer>& irBufferList,
                                         const std::vector<uint64_t>& outputAddress) {
  startList();
  if (irBufferList.empty() || irBufferList[0].opConfigList.empty()) return false;
  const uint32_t loops = opIR_->loopCount;
  const uint32_t batch = opIR_->batchSize;
  const uint32_t inputs = opIR_->inputCount;
  const uint32_t outputs = opIR_->outputCount;
  const uint64_t modelAddr = irBufferList[0].opConfigList[0];
  appendAddrs(argPointersInDdr_, loops, modelAddr);

  // The model's inputs are the input op's outputs, all its loops in order (batch position 0 of each): read
  // in place when that argument holds them back to back (the graph's input op), else gathered.
  uint32_t available = 0;
  const uint64_t* in = inputOpArg != nullptr ? inputOpArg->loopOutputs(available) : nullptr;
  if (in == nullptr && inputOpArg != nullptr) {
    scratch_.clear();
    for (uint32_t k = 0, n = inputOpArg->loopCount(); k < n; ++k) {
      uint32_t count = 0;
      const uint64_t* outs = inputsAt(inputOpArg, k, 0, count);
      appendAddrs(scratch_, outs, count);
    }
    in = scratch_.data();
    available = static_cast<uint32_t>(scratch_.size());
  }
  if (available != static_cast<uint32_t>(batch * inputs * loops)) {
    QOBL_LOG_ERROR("Failed to build run model argument because input count of run model op mismatch with output "
                   "count of input op.\n");
    return false;
  }
  size_t outPos = 0;
  for (uint32_t l = 0; l < loops; ++l) {
    for (uint32_t b = 0; b < batch; ++b) {
      appendAddrs(argPointersInDdr_, in, inputs);
      in += inputs;
      if (!isLeaf_) {
        if (!appendOwnedOutputs(DeviceMemKind::kInout)) return false;
      } else {
        if (outputAddress.empty() || outputAddress.size() - outPos < outputs) {
          QOBL_LOG_ERROR("Failed to build run model argument because user input output address count is not "
                         "enough.\n");
          return false;
        }
        appendEntries(outputAddress, outPos, outputs);
      }
    }
  }
  listCompleted();
  return placeArgArray();
}

}  // namespace qobl
}  // namespace zenlar
