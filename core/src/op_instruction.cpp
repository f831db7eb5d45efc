#include "op_instruction.h"

#include <cstring>
#include <stdexcept>

#include "i_stream_op.h"
#include "op_dg_node.h"

namespace zenlar {
namespace qobl {

OpIRInstruction::OpIRInstruction(OpDGNode* node, uint32_t /*sequence*/) {
  if (node == nullptr || node->getStreamOp() == nullptr)
    throw std::invalid_argument("op instruction needs a graph node with a stream op");
  node_ = node;
  snapshot(node->getStreamOp());
}

OpIRInstruction::OpIRInstruction(IStreamOp* streamOp, uint32_t /*sequence*/) {
  if (streamOp == nullptr) throw std::invalid_argument("op instruction needs a stream op");
  snapshot(streamOp);
}

void OpIRInstruction::snapshot(IStreamOp* op) {
  streamOp_ = op;
  streamId = op->streamId();
  opName = op->name();
  uid = op->uid();
  sequenceId = 0;
  typeId = static_cast<uint32_t>(op->typeId());
  opAddr = 0;
  opFlag = qobe::COMMON_FLAG;
  opType = op->opType();
  deviceId = op->deviceId();
  batchSize = op->batchSize();
  model = op->getModel();
  IStreamOp* in = op->getInputOp();
  inputOpUid = in != nullptr ? in->uid() : 0;
  loopCount = op->loopCount();
  inputCount = op->inputCount();
  inputSizes = op->inputSizes();
  outputCount = op->outputCount();
  outputSizes = op->outputSizes();
  isStreamEnd = false;
  configCount = op->configCount();
  bufferCount = op->bufferCount();
  isLeafNode = op->isLeafNode();
}

std::vector<uint64_t> OpIRInstruction::getUpdatedConfigList() { return streamOp_->getConfigAddressList(); }

std::vector<uint64_t> OpIRInstruction::getBufferAddresses() { return streamOp_->getBufferAddresses(); }

OpInstruction::OpInstruction(const OpIRInstruction& Op, uint32_t /*devId*/) {
  std::memset(this, 0, sizeof(*this));
  std::memcpy(seperator, "#$%&", sizeof(seperator));
  streamId = Op.streamId;
  sequenceId = Op.sequenceId;
  uid = Op.uid;
  typeId = Op.typeId;
  opAddr = Op.opAddr;
  opFlag = Op.opFlag;
}

}  // namespace qobl
}  // namespace zenlar
