#include "op_argument/op_base_argument.h"

#include <qobcrt/qobcrt.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "i_stream_op.h"
#include "qobl_log.h"

namespace zenlar {
namespace qobl {

namespace {

void* asPtr(uint64_t addr) { return reinterpret_cast<void*>(static_cast<uintptr_t>(addr)); }

}  // namespace

BaseOpArgument::BaseOpArgument(OpIRInstruction* irInstruction, uint32_t datasetId) : datasetId_(datasetId) {
  if (irInstruction == nullptr) throw std::invalid_argument("Failure of constructor of IOpArgument");
  opIR_ = irInstruction;
  deviceId_ = irInstruction->deviceId;
  opName_ = irInstruction->opName;
  header_.loopCount = irInstruction->loopCount;
  header_.batchSize = 1;
  header_.configCount = irInstruction->configCount;
  header_.inputCount = irInstruction->inputCount;
  header_.outputCount = irInstruction->outputCount;
  opType_ = irInstruction->opType;
  isLeaf_ = irInstruction->isLeafNode;
  model_ = irInstruction->model;
}

BaseOpArgument::~BaseOpArgument() {
  // Whatever a subclass did not release itself (for a common op: everything).
  releaseIrConfigs(false);
  releaseIrBuffers();
  releaseOwnedOutputs(false);
  releaseArgArray(false);
  address2SizeDict_.clear();
}

uint64_t BaseOpArgument::batchSize() { return header_.batchSize; }
uint32_t BaseOpArgument::loopCount() { return header_.loopCount; }
uint32_t BaseOpArgument::configCount() { return header_.configCount; }
uint32_t BaseOpArgument::inputCount() { return header_.inputCount; }
uint32_t BaseOpArgument::outputCount() { return header_.outputCount; }
uint64_t BaseOpArgument::address() { return argsAddr_; }
uint32_t BaseOpArgument::datasetId() { return datasetId_; }
uint32_t BaseOpArgument::deviceId() { return deviceId_; }
int BaseOpArgument::opType() { return static_cast<int>(opType_); }
uint64_t BaseOpArgument::getArgArraySize() { return argPointersInDdr_.size(); }

uint64_t BaseOpArgument::getPointerInArgArray(uint32_t index) {
  return index < argPointersInDdr_.size() ? argPointersInDdr_[index] : 0;
}

size_t BaseOpArgument::getOutputSize(uint64_t addr) {
  auto it = address2SizeDict_.find(addr);
  return it == address2SizeDict_.end() ? 0 : static_cast<size_t>(it->second);
}

uint32_t BaseOpArgument::configRegionLength() { return header_.loopCount * header_.configCount; }

uint32_t BaseOpArgument::positionIndex(uint32_t loopIndex, uint32_t batchIndex) {
  return configRegionLength() +
         (loopIndex * header_.batchSize + batchIndex) * (header_.inputCount + header_.outputCount);
}

std::vector<uint64_t> BaseOpArgument::getConfigs() {
  const size_t count = std::min<size_t>(configRegionLength(), argPointersInDdr_.size());
  return std::vector<uint64_t>(argPointersInDdr_.begin(), argPointersInDdr_.begin() + count);
}

std::vector<uint64_t> BaseOpArgument::getInputs(uint32_t loopIndex, uint32_t batchIndex) {
  if (loopIndex < header_.loopCount && batchIndex < header_.batchSize) {
    const uint64_t start = positionIndex(loopIndex, batchIndex);
    if (start + header_.inputCount <= argPointersInDdr_.size()) {
      return std::vector<uint64_t>(argPointersInDdr_.begin() + start,
                                   argPointersInDdr_.begin() + start + header_.inputCount);
    }
  }
  QOBL_LOG_ERROR("The parameter of setOutputArg is out of scope. loopIndex: %d, batchIndex: %d.\n",
                 static_cast<int>(loopIndex), static_cast<int>(batchIndex));
  return {};
}

std::vector<uint64_t> BaseOpArgument::getOutputs(uint32_t loopIndex, uint32_t batchIndex) {
  if (loopIndex < header_.loopCount && batchIndex < header_.batchSize) {
    const uint64_t start = static_cast<uint64_t>(positionIndex(loopIndex, batchIndex)) + header_.inputCount;
    if (start + header_.outputCount <= argPointersInDdr_.size()) {
      return std::vector<uint64_t>(argPointersInDdr_.begin() + start,
                                   argPointersInDdr_.begin() + start + header_.outputCount);
    }
  }
  QOBL_LOG_ERROR("The parameter of setOutputArg is out of scope. loopIndex: %d, batchIndex: %d.\n",
                 static_cast<int>(loopIndex), static_cast<int>(batchIndex));
  return {};
}

bool BaseOpArgument::setOutputArg(uint32_t loopIndex, uint32_t batchIndex, uint32_t outputIndex, uint64_t dataPtr) {
  if (loopIndex < header_.loopCount && batchIndex < header_.batchSize && outputIndex < header_.outputCount) {
    const uint64_t index =
        static_cast<uint64_t>(positionIndex(loopIndex, batchIndex)) + header_.inputCount + outputIndex;
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
  int rc = qobcrt_memcpy(deviceId_, &header_, sizeof(header_), argsAddr_, kHost2Ddr);
  if (rc != rtSuccess) {
    QOBL_LOG_ERROR("Failed to copy argument array header from host to device for Op %s, Error code is %d.\n",
                   opName_.c_str(), rc);
    return false;
  }
  QOBL_LOG_DEBUG("Copy argument array header from host to device for Op %s.\n", opName_.c_str());
  // An empty list has nothing to copy (the card refuses copies of 0 bytes).
  if (!argPointersInDdr_.empty()) {
    rc = qobcrt_memcpy(deviceId_, argPointersInDdr_.data(), argPointersInDdr_.size() * sizeof(uint64_t),
                       argsAddr_ + sizeof(header_), kHost2Ddr);
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

int BaseOpArgument::allocOutput(ArgMemKind kind, uint64_t size, bool recordSize, uint64_t* addr) {
  *addr = 0;
  const int rc = kind == ArgMemKind::kInout ? qobcrt_malloc_inout(deviceId_, 0, size, addr)
                                            : qobcrt_malloc_ddr_share(deviceId_, 0, size, addr);
  if (rc != rtSuccess) {
    *addr = 0;
    return rc;
  }
  ownedOutputs_.emplace_back(*addr, kind);
  if (recordSize) address2SizeDict_[*addr] = size;
  return rc;
}

int BaseOpArgument::allocArgArray(uint64_t* size) {
  *size = (static_cast<uint64_t>(argPointersInDdr_.size()) + 3) * sizeof(uint64_t);
  uint64_t addr = 0;
  const int rc = qobcrt_malloc_stream(deviceId_, 0, *size, &addr);
  if (rc == rtSuccess) argsAddr_ = addr;
  return rc;
}

bool BaseOpArgument::buildOpArgArray(IOpArgument* inputOpArg, const std::vector<OpIRBuffer>& irBufferList,
                                     const std::vector<uint64_t>& outputAddress) {
  // From here on the argument owns the blocks listed in irBufferList, whatever the outcome.
  irBufferList_ = irBufferList;
  for (const OpIRBuffer& buffer : irBufferList_) {
    argPointersInDdr_.insert(argPointersInDdr_.end(), buffer.opConfigList.begin(), buffer.opConfigList.end());
  }
  const uint32_t loops = opIR_->loopCount;
  if (irBufferList_.size() != loops) {
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
    const std::vector<uint64_t> inputs =
        inputOpArg != nullptr ? inputOpArg->getOutputs(l, 0) : std::vector<uint64_t>{};
    argPointersInDdr_.insert(argPointersInDdr_.end(), inputs.begin(), inputs.end());
    if (inputs.size() != header_.inputCount) {
      QOBL_LOG_ERROR("Failed to build op argument because input count of current op mismatch with output count of "
                     "input op.\n");
      return false;
    }
    if (!isLeaf_) {
      for (uint32_t size : opIR_->outputSizes) {
        uint64_t addr = 0;
        const int rc =
            allocOutput(feedsRunModel ? ArgMemKind::kInout : ArgMemKind::kDdrShare, size, true, &addr);
        if (rc != rtSuccess) {
          QOBL_LOG_ERROR("[qobl:] Failed to malloc for outputs in DDR. Error code is %d, op [%s]\n", rc,
                         opName_.c_str());
          return false;
        }
        QOBL_LOG_DEBUG("[qobl]: Malloc DDR buffer. Address: %p, size is %d, in op [%s].\n", asPtr(addr),
                       static_cast<int>(size), opName_.c_str());
        argPointersInDdr_.push_back(addr);
      }
    } else {
      argPointersInDdr_.insert(argPointersInDdr_.end(), outputAddress.begin() + outPos,
                               outputAddress.begin() + outPos + outputs);
      outPos += outputs;
    }
  }
  uint64_t size = 0;
  const int rc = allocArgArray(&size);
  if (rc != rtSuccess) {
    QOBL_LOG_ERROR("Failed to malloc stream memory for op argument array in DDR. Error code is %d .\n", rc);
    return false;
  }
  QOBL_LOG_DEBUG("[qobl]: Malloc stream memory for common op argument array. Address is %p, size is %d.\n",
                 asPtr(argsAddr_), static_cast<int>(size));
  if (argsAddr_ == 0) {
    QOBL_LOG_ERROR("Failed to generate Op argument array.\n");
    return false;
  }
  return uploadArgsToDevice();
}

int BaseOpArgument::releaseOnce(ArgMemKind kind, uint64_t addr) {
  if (addr == 0 || !released_.insert(addr).second) return rtSuccess;
  switch (kind) {
    case ArgMemKind::kStream:
      return qobcrt_free_stream(deviceId_, addr);
    case ArgMemKind::kInout:
      return qobcrt_free_inout(deviceId_, addr);
    case ArgMemKind::kDdrShare:
      return qobcrt_free_ddr_share(deviceId_, addr);
  }
  return rtErrInvalidParam;
}

void BaseOpArgument::releaseIrConfigs(bool copyMemMessages) {
  for (const OpIRBuffer& buffer : irBufferList_) {
    for (uint64_t addr : buffer.opConfigList) {
      if (addr == 0 || released_.count(addr) != 0) continue;
      if (copyMemMessages) {
        QOBL_LOG_TRACE("Call qobcrt_free_stream to free CopyMem Op buffer %p.\n", asPtr(addr));
      } else {
        QOBL_LOG_DEBUG("Call qobcrt_free_stream to free [%p].\n", asPtr(addr));
      }
      const int rc = releaseOnce(ArgMemKind::kStream, addr);
      if (rc != rtSuccess) {
        if (copyMemMessages) {
          QOBL_LOG_ERROR("Failed to free tensor copy op config memory for dataset id [%d] in DDR. Error code is "
                         "[%d].\n",
                         static_cast<int>(datasetId_), rc);
        } else {
          QOBL_LOG_ERROR("Failed to free op argument memory for dataset id [%d] in DDR. Error code is [%d].\n",
                         static_cast<int>(datasetId_), rc);
        }
      }
    }
  }
  for (OpIRBuffer& buffer : irBufferList_) buffer.opConfigList.clear();
}

void BaseOpArgument::releaseIrBuffers() {
  for (const OpIRBuffer& buffer : irBufferList_) {
    for (uint64_t addr : buffer.bufferList) {
      if (addr == 0 || released_.count(addr) != 0) continue;
      QOBL_LOG_DEBUG("Call qobcrt_free_ddr_share to free output addr: [%p]. op: [%s].\n", asPtr(addr),
                     opName_.c_str());
      const int rc = releaseOnce(ArgMemKind::kDdrShare, addr);
      if (rc != rtSuccess) {
        QOBL_LOG_ERROR("Failed to free stream op output memory in device [%d]. Error code is [%d]. op: [%s].\n",
                       static_cast<int>(deviceId_), rc, opName_.c_str());
      }
    }
  }
  for (OpIRBuffer& buffer : irBufferList_) buffer.bufferList.clear();
}

void BaseOpArgument::releaseOwnedOutputs(bool traceLevel) {
  for (const auto& block : ownedOutputs_) {
    if (block.first == 0 || released_.count(block.first) != 0) continue;
    const char* call = block.second == ArgMemKind::kInout ? "qobcrt_free_inout" : "qobcrt_free_ddr_share";
    if (traceLevel) {
      QOBL_LOG_TRACE("Call %s to free output addr: [%p]. op: [%s].\n", call, asPtr(block.first), opName_.c_str());
    } else {
      QOBL_LOG_DEBUG("Call %s to free output addr: [%p]. op: [%s].\n", call, asPtr(block.first), opName_.c_str());
    }
    const int rc = releaseOnce(block.second, block.first);
    if (rc != rtSuccess) {
      QOBL_LOG_ERROR("Failed to free stream op output memory in device [%d]. Error code is [%d]. op: [%s].\n",
                     static_cast<int>(deviceId_), rc, opName_.c_str());
    }
  }
  ownedOutputs_.clear();
}

void BaseOpArgument::releaseArgArray(bool copyMemMessages) {
  if (argsAddr_ == 0) return;
  if (copyMemMessages) {
    QOBL_LOG_TRACE("Call qobcrt_free_stream to free CopyMemOp args address %p.\n", asPtr(argsAddr_));
  } else {
    QOBL_LOG_DEBUG("Call qobcrt_free_stream to free arg array addr: [%p], op: [%s].\n", asPtr(argsAddr_),
                   opName_.c_str());
  }
  const int rc = releaseOnce(ArgMemKind::kStream, argsAddr_);
  if (rc != rtSuccess) {
    if (copyMemMessages) {
      QOBL_LOG_ERROR("Failed to tensor copy op argument array memory for dataset id [%d] in DDR. Error code is "
                     "[%d].\n",
                     static_cast<int>(datasetId_), rc);
    } else {
      QOBL_LOG_ERROR("Failed to free stream arg array in device [%d]. Error code is [%d]. op: [%s].\n",
                     static_cast<int>(deviceId_), rc, opName_.c_str());
    }
  }
  argsAddr_ = 0;
}

void BaseOpArgument::releaseUnclaimedBuffers(uint32_t opType, uint32_t deviceId, uint32_t datasetId,
                                             const std::string& opName, const std::vector<OpIRBuffer>& buffers) {
  // Run-model configurations are the model's address and the input op has none: nothing of theirs is ours.
  if (opType == qobeOP_RUN_MODEL_OP || opType == qobeOP_INPUT_OP) return;
  const bool copyMem = opType == qobeOP_MEM_COPY_OP;
  std::unordered_set<uint64_t> done;
  for (const OpIRBuffer& buffer : buffers) {
    for (uint64_t addr : buffer.opConfigList) {
      if (addr == 0 || !done.insert(addr).second) continue;
      QOBL_LOG_DEBUG("Call qobcrt_free_stream to free [%p].\n", asPtr(addr));
      const int rc = qobcrt_free_stream(deviceId, addr);
      if (rc != rtSuccess) {
        QOBL_LOG_ERROR("Failed to free op argument memory for dataset id [%d] in DDR. Error code is [%d].\n",
                       static_cast<int>(datasetId), rc);
      }
    }
    if (copyMem) continue;
    for (uint64_t addr : buffer.bufferList) {
      if (addr == 0 || !done.insert(addr).second) continue;
      QOBL_LOG_DEBUG("Call qobcrt_free_ddr_share to free output addr: [%p]. op: [%s].\n", asPtr(addr),
                     opName.c_str());
      const int rc = qobcrt_free_ddr_share(deviceId, addr);
      if (rc != rtSuccess) {
        QOBL_LOG_ERROR("Failed to free stream op output memory in device [%d]. Error code is [%d]. op: [%s].\n",
                       static_cast<int>(deviceId), rc, opName.c_str());
      }
    }
  }
}

}  // namespace qobl
}  // namespace zenlar
