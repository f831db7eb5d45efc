#include "op_argument/op_copy_mem_argument.h"

#include <qobcrt/qobcrt.h>

#include <cstdint>

#include "qobl_log.h"

namespace zenlar {
namespace qobl {

OpCopyMemArgument::OpCopyMemArgument(OpIRInstruction* irInstruction, uint32_t datasetId)
    : BaseOpArgument(irInstruction, datasetId) {}


uint64_t OpCopyMemArgument::batchSize() {
  uint32_t size = 0;
  if (model_ == nullptr || !model_->getBatchSize(size)) return 0;
  return size;
}

uint32_t OpCopyMemArgument::outputCount() {
  uint32_t count = 0;
  if (model_ == nullptr || !model_->getOutputCount(count)) return 0;
  return count;
}

uint32_t OpCopyMemArgument::inputCount() { return outputCount(); }

uint32_t OpCopyMemArgument::configRegionLength() { return header_.loopCount; }

uint64_t OpCopyMemArgument::_buildOutputAddr(IModel* model, uint32_t index, uint32_t devId) {
  int64_t size = 0;
  if (model == nullptr || !model->getOutPutSizeByIndex(static_cast<int32_t>(index), size) || size <= 0) return 0;
  uint64_t addr = 0;
  const int rc = allocOutput(DeviceMemKind::kDdrShare, static_cast<uint64_t>(size), false, &addr);
  if (rc != rtSuccess) {
    QOBL_LOG_ERROR("Failed to allocate memory (%lu bytes) in device %u. rc=%u\n", static_cast<unsigned long>(size),
                   devId, static_cast<unsigned>(rc));
    return 0;
  }
  QOBL_LOG_TRACE("[qobl]: Malloc DDR buffer. Address: %p, size is %d, in op [qobeCopyMem].\n", qoblAsPtr(addr),
                 static_cast<int>(size));
  return addr;
}

bool OpCopyMemArgument::buildOpArgArray(IOpArgument* inputOpArg, const std::vector<OpIRBuffer>& irBufferList,
                                        const std::vector<uint64_t>& outputAddress) {
  // The configuration blocks are ours from here on, even when the build fails at once.  A zero address
  // means the op's configuration upload failed: the run must not reach the card without it.
  startList();
  if (irBufferList.empty() || irBufferList[0].opConfigList.empty()) return false;
  if (irBufferList[0].opConfigList[0] == 0) {
    QOBL_LOG_ERROR("Failed to build CopyMem op argument: its tensor copy configuration was not uploaded.\n");
    return false;
  }

  header_.batchSize = static_cast<uint32_t>(batchSize());
  header_.inputCount = outputCount();
  header_.outputCount = header_.inputCount;
  header_.configCount = header_.loopCount;
  const uint32_t loops = header_.loopCount;
  const uint32_t batch = header_.batchSize;
  const uint32_t outputs = header_.outputCount;

  appendAddrs(argPointersInDdr_, header_.configCount, irBufferList[0].opConfigList[0]);

  // A leaf op writes the application's addresses, read in place; any other op its own blocks.
  outputAddrs_.clear();
  if (outputAddress.empty()) {
    for (uint32_t p = 0; p < batch * loops; ++p) {
      for (uint32_t o = 0; o < outputs; ++o) outputAddrs_.push_back(_buildOutputAddr(model_, o, deviceId_));
    }
  }
  const std::vector<uint64_t>& outputAddrs = outputAddress.empty() ? outputAddrs_ : outputAddress;
  const uint32_t expected = outputs * loops * batch;
  if (outputAddrs.size() != expected) {
    QOBL_LOG_ERROR("Mismatch output address count, expected %u but %u is specified.\n", expected,
                   static_cast<unsigned>(outputAddrs.size()));
    return false;
  }
  size_t outPos = 0;
  for (uint32_t l = 0; l < loops; ++l) {
    for (uint32_t b = 0; b < batch; ++b) {
      uint32_t count = 0;
      const uint64_t* inputs = inputOpArg != nullptr ? inputsAt(inputOpArg, l, b, count) : nullptr;
      if (count != header_.inputCount) {
        QOBL_LOG_ERROR("Failed to build op argument because input count of current op mismatch with output count "
                       "of input op.\n");
        return false;
      }
      appendAddrs(argPointersInDdr_, inputs, count);
      appendEntries(outputAddrs, outPos, outputs);
    }
  }
  return placeArgArray();
}

}  // namespace qobl
}  // namespace zenlar
