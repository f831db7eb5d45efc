#include "op_argument/op_base_argument.h"

#include <qobcrt/qobcrt.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "i_stream_op.h"
#include "qobl_log.h"

namespace zenlar {
namespace qobl {

BaseOpArgument::BaseOpArgument(OpIRInstruction* irInstruction, uint32_t datasetId) : datasetId_(datasetId) {
  if (irInstruction == nullptr) throw std::invalid_argument("Failure of constructor of IOpArgument");
  start(irInstruction, datasetId);
}

void BaseOpArgument::releaseRun() {
  // The members in the order the destructor destroys them: the adopted and output blocks, then the array.
  // The list stays: a later run with the same addresses may keep it (takeLastList).
  blocks_.clear();
  // Clearing an empty hash map still wipes its whole bucket array.
  if (!address2SizeDict_.empty()) address2SizeDict_.clear();
  argArray_.reset();
}

bool BaseOpArgument::keepListIf(uint64_t config) {
  const qobe::QobeOpArgumentHeader& h = listHeader_;
  return listComplete_ && !argPointersInDdr_.empty() && argPointersInDdr_[0] == config &&
         h.loopCount == header_.loopCount && h.batchSize == header_.batchSize &&
         h.configCount == header_.configCount && h.inputCount == header_.inputCount &&
         h.outputCount == header_.outputCount;
}

void BaseOpArgument::restart(OpIRInstruction* irInstruction, uint32_t datasetId) {
  // A recycled run's arguments were released when the run was taken out: only one still holding something
  // has anything to release.
  if (argArray_ || !blocks_.empty() || !address2SizeDict_.empty()) releaseRun();
  if (irInstruction == opIR_) {
    // The same op again: what start() takes from its record has not changed since (the record does not
    // change after the build), only the header is back to the record's counts.
    datasetId_ = datasetId;
    header_ = startHeader_;
  } else {
    start(irInstruction, datasetId);
  }
  startKind();
}

void BaseOpArgument::start(OpIRInstruction* irInstruction, uint32_t datasetId) {
  datasetId_ = datasetId;
  header_ = qobe::QobeOpArgumentHeader{};
  opName_ = irInstruction->opName;
  opIR_ = irInstruction;
  startList();  // a list made for another op is not this one's
  deviceId_ = irInstruction->deviceId;
  header_.loopCount = irInstruction->loopCount;
  header_.batchSize = 1;
  header_.configCount = irInstruction->configCount;
  header_.inputCount = irInstruction->inputCount;
  header_.outputCount = irInstruction->outputCount;
  opType_ = irInstruction->opType;
  isLeaf_ = irInstruction->isLeafNode;
  model_ = irInstruction->model;
  startHeader_ = header_;
}


uint64_t BaseOpArgument::getPointerInArgArray(uint32_t index) {
  return index < argPointersInDdr_.size() ? argPointersInDdr_[index] : 0;
}

size_t BaseOpArgument::getOutputSize(uint64_t addr) {
  auto it = address2SizeDict_.find(addr);
  return it == address2SizeDict_.end() ? 0 : static_cast<size_t>(it->second);
}

std::vector<uint64_t> BaseOpArgument::getConfigs() {
  const size_t count = std::min<size_t>(configRegionLength(), argPointersInDdr_.size());
  return std::vector<uint64_t>(argPointersInDdr_.begin(), argPointersInDdr_.begin() + count);
}

const uint64_t* BaseOpArgument::outputsAt(uint32_t loopIndex, uint32_t batchIndex, uint32_t& count) {
  return positionAt(loopIndex, batchIndex, true, count);
}

bool BaseOpArgument::appendPosition(uint32_t loopIndex, uint32_t batchIndex, bool outputs,
                                    std::vector<uint64_t>& into) {
  uint32_t count = 0;
  const uint64_t* at = positionAt(loopIndex, batchIndex, outputs, count);
  if (at != nullptr) {
    appendAddrs(into, at, count);
    return true;
  }
  QOBL_LOG_ERROR("The parameter of setOutputArg is out of scope. loopIndex: %d, batchIndex: %d.\n",
                 static_cast<int>(loopIndex), static_cast<int>(batchIndex));
  return false;
}

std::vector<uint64_t> BaseOpArgument::position(uint32_t loopIndex, uint32_t batchIndex, bool outputs) {
  std::vector<uint64_t> out;
  appendPosition(loopIndex, batchIndex, outputs, out);
  return out;
}

bool BaseOpArgument::appendOutputs(uint32_t loopIndex, uint32_t batchIndex, std::vector<uint64_t>& into) {
  return appendPosition(loopIndex, batchIndex, true, into);
}

std::vector<uint64_t> BaseOpArgument::getInputs(uint32_t loopIndex, uint32_t batchIndex) {
  return position(loopIndex, batchIndex, false);
}

std::vector<uint64_t> BaseOpArgument::getOutputs(uint32_t loopIndex, uint32_t batchIndex) {
  return position(loopIndex, batchIndex, true);
}

bool BaseOpArgument::setOutputArg(uint32_t loopIndex, uint32_t batchIndex, uint32_t outputIndex, uint64_t dataPtr) {
  if (loopIndex < header_.loopCount && batchIndex < header_.batchSize && outputIndex < header_.outputCount) {
    const uint64_t index =
        static_cast<uint64_t>(positionIndex(loopIndex, batchIndex)) + outputsOffset() + outputIndex;
    if (index < argPointersInDdr_.size()) {
      argPointersInDdr_[index] = dataPtr;
      return true;
    }
  }
  QOBL_LOG_ERROR("The parameter of setOutputArg is out of scope. loopIndex: %d, batchIndex: %d, outputIndex: %d.\n",
                 static_cast<int>(loopIndex), static_cast<int>(batchIndex), static_cast<int>(outputIndex));
  return false;
}

bool BaseOpArgument::uploadArgsToDevice() {
  int rc = qobcrt_memcpy(deviceId_, &header_, sizeof(header_), argArray_.address(), kHost2Ddr);
  if (rc != rtSuccess) {
    QOBL_LOG_ERROR("Failed to copy argument array header from host to device for Op %s, Error code is %d.\n",
                   opName_.c_str(), rc);
    return false;
  }
  QOBL_LOG_DEBUG("Copy argument array header from host to device for Op %s.\n", opName_.c_str());
  // An empty list has nothing to copy (the card refuses copies of 0 bytes).
  if (!argPointersInDdr_.empty()) {
    rc = qobcrt_memcpy(deviceId_, argPointersInDdr_.data(), argPointersInDdr_.size() * sizeof(uint64_t),
                       argArray_.address() + sizeof(header_), kHost2Ddr);
    if (rc != rtSuccess) {
      QOBL_LOG_ERROR("Failed to copy argument array from host to device for Op %s, Error code is %d.\n",
                     opName_.c_str(), rc);
      return false;
    }
  }
  QOBL_LOG_DEBUG("Copy argument array from host to device for Op %s. Array size is  %d", opName_.c_str(),
                 static_cast<int>(argPointersInDdr_.size()));
  return true;
}

int BaseOpArgument::allocOutput(DeviceMemKind kind, uint64_t size, bool recordSize, uint64_t* addr) {
  DeviceBlock block;
  const int rc = DeviceBlock::allocate(deviceId_, kind, size, &block);
  *addr = block.address();
  if (rc != rtSuccess) return rc;
  blocks_.push_back(std::move(block));
  if (recordSize) address2SizeDict_[*addr] = size;
  return rc;
}

bool BaseOpArgument::appendOwnedOutputs(DeviceMemKind kind) {
  for (uint32_t size : opIR_->outputSizes) {
    uint64_t addr = 0;
    const int rc = allocOutput(kind, size, true, &addr);
    if (rc != rtSuccess) {
      QOBL_LOG_ERROR("Failed to malloc for outputs in DDR. Error code is %d, op [%s]\n", rc, opName_.c_str());
      return false;
    }
    QOBL_LOG_DEBUG("[qobl]: Malloc DDR buffer. Address: %p, size is %d, in op [%s].\n", qoblAsPtr(addr),
                   static_cast<int>(size), opName_.c_str());
    argPointersInDdr_.push_back(addr);
  }
  return true;
}

bool BaseOpArgument::placeArgArray() {
  const uint64_t size = (static_cast<uint64_t>(argPointersInDdr_.size()) + 3) * sizeof(uint64_t);
  const int rc = DeviceBlock::allocate(deviceId_, DeviceMemKind::kStream, size, &argArray_);
  if (rc != rtSuccess) {
    QOBL_LOG_ERROR("Failed to malloc stream memory for op argument array in DDR. Error code is %d .\n", rc);
    return false;
  }
  QOBL_LOG_DEBUG("[qobl]: Malloc stream memory for the argument array of op [%s]. Address is %p, size is %d.\n",
                 opName_.c_str(), qoblAsPtr(argArray_.address()), static_cast<int>(size));
  return uploadArgsToDevice();
}

void BaseOpArgument::adoptBlocks(std::vector<DeviceBlock>&& blocks) {
  for (DeviceBlock& block : blocks) blocks_.push_back(std::move(block));
  blocks.clear();
}

void BaseOpArgument::adoptOwnedBlocks(uint32_t opType, uint32_t deviceId, const OpIRBuffer& buffer,
                                      std::vector<DeviceBlock>& into) {
  auto adopt = [&](uint64_t addr, DeviceMemKind kind) {
    if (addr == 0) return;
    for (const DeviceBlock& b : into) {
      if (b.address() == addr) return;
    }
    into.emplace_back(deviceId, kind, addr);
  };
  for (uint64_t addr : buffer.opConfigList) adopt(addr, DeviceMemKind::kStream);
  if (opType == qobeOP_MEM_COPY_OP) return;  // a memory-copy op lists no working buffers of its own
  for (uint64_t addr : buffer.bufferList) adopt(addr, DeviceMemKind::kDdrShare);
}

bool BaseOpArgument::buildOpArgArray(IOpArgument* inputOpArg, const std::vector<OpIRBuffer>& irBufferList,
                                     const std::vector<uint64_t>& outputAddress) {
  startList();
  for (const OpIRBuffer& buffer : irBufferList) {
    appendAddrs(argPointersInDdr_, buffer.opConfigList.data(), buffer.opConfigList.size());
  }
  const uint32_t loops = opIR_->loopCount;
  if (irBufferList.size() != loops) {
    QOBL_LOG_ERROR("Failed to build op argument because ir loop count mismatch ir buffer list size.\n");
    return false;
  }
  const uint32_t outputs = opIR_->outputCount;
  // A leaf op writes the application's addresses: exactly O per loop, all loops in order.
  if (isLeaf_ && outputAddress.size() != static_cast<uint64_t>(outputs) * loops) return false;
  bool feedsRunModel = false;
  if (!isLeaf_) {
    IStreamOp* op = opIR_->getStreamOp();
    feedsRunModel = op != nullptr && op->isRunmodelInput();
  }
  size_t outPos = 0;
  for (uint32_t l = 0; l < loops; ++l) {
    uint32_t count = 0;
    const uint64_t* inputs = inputOpArg != nullptr ? inputsAt(inputOpArg, l, 0, count) : nullptr;
    appendAddrs(argPointersInDdr_, inputs, count);
    if (count != header_.inputCount) {
      QOBL_LOG_ERROR("Failed to build op argument because input count of current op mismatch with output count of "
                     "input op.\n");
      return false;
    }
    if (!isLeaf_) {
      if (!appendOwnedOutputs(feedsRunModel ? DeviceMemKind::kInout : DeviceMemKind::kDdrShare)) return false;
    } else {
      appendEntries(outputAddress, outPos, outputs);
    }
  }
  listCompleted();
  return placeArgArray();
}

}  // namespace qobl
}  // namespace zenlar
