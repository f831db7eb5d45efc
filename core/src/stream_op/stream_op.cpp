#include "stream_op/stream_op.h"

#include "stream_op/stream_copymem_op.h"
#include "stream_op/stream_input_op.h"
#include "stream_op/stream_runmodel_op.h"
#include "utils/op_attr_utils.h"

namespace zenlar {
namespace qobl {

StreamOp::StreamOp(qobeOp* op) : qobeOp_(op) {}

int32_t StreamOp::typeId() { return qobeOpTypeId(qobeOp_); }
uint32_t StreamOp::opType() { return getQobeOpType(qobeOp_); }
uint32_t StreamOp::deviceId() { return qobeOpDeviceId(qobeOp_); }
bool StreamOp::setDeviceId(uint32_t deviceId) { return setQobeOpDeviceId(qobeOp_, deviceId); }
uint32_t StreamOp::uid() { return qobeOpUid(qobeOp_); }
uint32_t StreamOp::configCount() { return qobeOpConfigCount(qobeOp_); }
uint32_t StreamOp::bufferCount() { return qobeOpBufferCount(qobeOp_); }
IModel* StreamOp::getModel() { return model_; }

bool StreamOp::setModel(IModel* model) {
  model_ = model;
  return true;
}

std::vector<uint64_t> StreamOp::getConfigAddressList() { return qobeOpConfigList(qobeOp_); }

std::vector<uint64_t> StreamOp::getBufferAddresses() {
  // One entry per buffer, whatever the reads give: a buffer whose address cannot be read counts as 0.
  const uint32_t count = bufferCount();
  std::vector<uint64_t> addrs;
  addrs.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t addr = 0;
    (void)qobeGetOpAttrArray(qobeOp_, "buffer_address", qobeATTR_UINT64, i, &addr);
    addrs.push_back(addr);
  }
  return addrs;
}

std::string StreamOp::name() { return qobeOpName(qobeOp_); }
uint32_t StreamOp::streamId() { return streamId_; }
void StreamOp::setStreamId(uint32_t streamId) { streamId_ = streamId; }
uint32_t StreamOp::inputCount() { return qobeOpInputCount(qobeOp_); }
uint32_t StreamOp::outputCount() { return qobeOpOutputCount(qobeOp_); }
std::vector<uint32_t> StreamOp::inputSizes() { return qobeOpInputSizes(qobeOp_); }
std::vector<uint32_t> StreamOp::outputSizes() { return qobeOpOutputSizes(qobeOp_); }
bool StreamOp::setOutputSizes(std::vector<uint32_t>& /*sizes*/) { return true; }
bool StreamOp::isRunmodelInput() { return zenlar::qobl::isRunmodelInput(qobeOp_); }
bool StreamOp::isAllPropertiesConfigured() { return zenlar::qobl::isAllPropertiesConfigured(qobeOp_); }
uint64_t StreamOp::bufferAddr() { return qobeBufferAddr(qobeOp_); }
qobeOp* StreamOp::getOp() { return qobeOp_; }

bool StreamOp::setInputOp(IStreamOp* inputOp) {
  inOp_ = inputOp;
  return setPreOpArg();
}

uint32_t StreamOp::loopCount() { return loopCount_; }
void StreamOp::setLoopCount(uint32_t loopCount) { loopCount_ = loopCount; }
IStreamOp* StreamOp::getInputOp() { return inOp_; }
bool StreamOp::setPreOpArg() { return true; }
uint32_t StreamOp::batchSize() { return 1; }
void StreamOp::markGetOutputFlag() { getOutputFlag_ = true; }
bool StreamOp::getOutputFlag() { return getOutputFlag_; }
bool StreamOp::isLeafNode() { return isLeafNode_; }
void StreamOp::markAsLeafNode() { isLeafNode_ = true; }
std::vector<qoblShape> StreamOp::getInputShapes() { return qobeOpInputShape(qobeOp_); }
std::vector<qoblShape> StreamOp::getOutputShapes() { return qobeOpOutputShape(qobeOp_); }

IStreamOp* qoblUtilsCreateStreamOp(qobeOp* op) {
  if (op == nullptr) return nullptr;
  switch (getQobeOpType(op)) {
    case qobeOP_RUN_MODEL_OP: {
      auto* streamOp = new StreamRunModelOp(op);
      uint64_t modelAddr = 0;
      if (qobeGetOpAttr(op, "model_addr", qobeATTR_UINT64, &modelAddr) == 0) {
        // The attribute holds the model object's address, written when the op was created.
        streamOp->setModel(reinterpret_cast<IModel*>(static_cast<uintptr_t>(modelAddr)));
      }
      return streamOp;
    }
    case qobeOP_MEM_COPY_OP:
      return new StreamCopyMemOp(op);
    case qobeOP_INPUT_OP:
      return new StreamInputOp(op);
    default:
      return new StreamOp(op);
  }
}

}  // namespace qobl
}  // namespace zenlar
