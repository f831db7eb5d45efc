#include "stream_instruction.h"

#include <qobcrt/qobcrt.h>
#include <qobe/qobe.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <sstream>

#include "op_argument/op_argument_factory.h"
#include "op_argument/op_base_argument.h"
#include "op_argument/op_input_argument.h"
#include "qobl_log.h"

namespace zenlar {
namespace qobl {

namespace {

void* asPtr(uint64_t addr) { return reinterpret_cast<void*>(static_cast<uintptr_t>(addr)); }

}  // namespace

RunStreamInstruction::RunStreamInstruction(uint32_t datesetId, const std::vector<OpIRInstruction*>& irStream,
                                           uint32_t deviceId)
    : datesetId_(datesetId), irStream_(irStream), deviceId_(deviceId) {}

RunStreamInstruction::~RunStreamInstruction() {
  QOBL_LOG_TRACE("Release run stream instruction memory.\n");
  for (InstructionArchive& archive : instructionArray_) {
    delete archive.instruction;
    archive.instruction = nullptr;
    delete archive.opArg;
    archive.opArg = nullptr;
  }
  headArg_ = nullptr;
  // Blocks gathered for ops whose argument never took them.
  for (size_t i = 0; i < gatheredOwners_.size() && i < opBufferlist_.size(); ++i) {
    const GatheredOwner& owner = gatheredOwners_[i];
    if (owner.claimed) continue;
    BaseOpArgument::releaseUnclaimedBuffers(owner.opType, owner.deviceId, datesetId_, owner.opName, opBufferlist_[i]);
  }
  opBufferlist_.clear();
  if (streamAddr_ != 0) {
    QOBL_LOG_DEBUG("Call qobcrt_free_stream to free [%p].\n", asPtr(streamAddr_));
    const int rc = qobcrt_free_stream(deviceId_, streamAddr_);
    if (rc != rtSuccess) {
      QOBL_LOG_ERROR("Failed to free stream instance memory for dataset id [%d] in DDR. Error code is [%d].\n",
                     static_cast<int>(datesetId_), rc);
    }
    streamAddr_ = 0;
  }
}

uint32_t RunStreamInstruction::datesetId() { return datesetId_; }

uint64_t RunStreamInstruction::address() { return streamAddr_; }

bool RunStreamInstruction::isReady() { return headArg_ != nullptr && headArg_->isBufferReady(); }

InstructionArchive* RunStreamInstruction::getInstructionArchive(uint32_t opUid) {
  for (InstructionArchive& archive : instructionArray_) {
    if (archive.opUid == opUid) return &archive;
  }
  return nullptr;
}

bool RunStreamInstruction::setInOutputData(uint64_t* inputs, uint64_t inputCount, uint64_t* outputs,
                                           uint64_t outputCount) {
  if (inputs == nullptr || outputs == nullptr || outputCount == 0 || irStream_.empty() || buildStarted_) return false;
  uint64_t leafOutputs = 0;
  for (OpIRInstruction* ir : irStream_) {
    if (ir->isLeafNode) leafOutputs += ir->outputCount;
  }
  if (outputCount != leafOutputs) {
    QOBL_LOG_ERROR("Output number mismatch with stream output number.\n");
    return false;
  }
  if (headArg_ == nullptr) {
    IOpArgument* arg = nullptr;
    try {
      arg = QoblOpArgumentFactory::createOpArgument(irStream_[0], datesetId_);
    } catch (const std::exception& e) {
      QOBL_LOG_ERROR("Failed to create the input op's argument: %s\n", e.what());
      return false;
    }
    headArg_ = dynamic_cast<OpInputArgument*>(arg);
    if (headArg_ == nullptr) {
      QOBL_LOG_ERROR("The first op of stream is not an input op: %s.\n", irStream_[0]->opName.c_str());
      delete arg;
      return false;
    }
    InstructionArchive archive;
    archive.opUid = irStream_[0]->uid;
    archive.opArg = headArg_;
    archive.opIr = irStream_[0];
    instructionArray_.push_back(archive);
  }
  if (inputCount > UINT32_MAX) {
    QOBL_LOG_ERROR("Real input shape mismatch with the shape of stream. \n");
    return false;
  }
  if (!headArg_->addInputArg(inputs, static_cast<uint32_t>(inputCount))) return false;

  size_t pos = 0;
  for (OpIRInstruction* ir : irStream_) {
    if (!ir->isLeafNode) continue;
    std::vector<uint64_t>& list = outputAddrsDict_[ir->uid];
    list.insert(list.end(), outputs + pos, outputs + pos + ir->outputCount);
    pos += ir->outputCount;
  }

  const size_t k = irStream_.size() - 1;
  if (opBufferlist_.empty()) {
    opBufferlist_.resize(k);
    gatheredOwners_.resize(k);
    for (size_t i = 1; i <= k; ++i) {
      gatheredOwners_[i - 1].opType = irStream_[i]->opType;
      gatheredOwners_[i - 1].deviceId = irStream_[i]->deviceId;
      gatheredOwners_[i - 1].opName = irStream_[i]->opName;
    }
  }
  for (size_t i = 1; i <= k; ++i) {
    OpIRBuffer buffer;
    buffer.opConfigList = irStream_[i]->getUpdatedConfigList();
    buffer.bufferList = irStream_[i]->getBufferAddresses();
    // An op that could not get its configuration for this input (an upload or allocation failed) makes
    // the input fail now rather than the run later; what it did get is owned (and released) with the rest.
    const bool configured = buffer.opConfigList.size() >= irStream_[i]->configCount &&
                            std::find(buffer.opConfigList.begin(), buffer.opConfigList.end(), 0u) ==
                                buffer.opConfigList.end();
    opBufferlist_[i - 1].push_back(std::move(buffer));
    if (!configured) {
      QOBL_LOG_ERROR("Can't get the configuration of op %s for this input.\n", irStream_[i]->opName.c_str());
      return false;
    }
  }
  return true;
}

bool RunStreamInstruction::build() {
  if (buildStarted_ || instructionArray_.empty()) return false;
  buildStarted_ = true;
  const size_t k = irStream_.size() - 1;
  if (k == 0) {
    QOBL_LOG_ERROR("Stream has no op after its input op.\n");
    return false;
  }
  for (size_t i = 1; i <= k; ++i) {
    OpIRInstruction* ir = irStream_[i];
    OpInstruction* record = new OpInstruction(*ir, 0);
    IOpArgument* arg = nullptr;
    try {
      arg = QoblOpArgumentFactory::createOpArgument(ir, datesetId_);
    } catch (const std::exception&) {
      QOBL_LOG_ERROR("Can't generate Op %s's input argument array. \n", ir->opName.c_str());
      delete record;
      return false;
    }
    IOpArgument* inputArg = nullptr;
    for (const InstructionArchive& archive : instructionArray_) {
      if (archive.opUid == ir->inputOpUid) inputArg = archive.opArg;
    }
    std::vector<uint64_t> outputs;
    if (ir->isLeafNode) {
      auto it = outputAddrsDict_.find(ir->uid);
      if (it != outputAddrsDict_.end()) outputs = it->second;
    }
    // The argument takes the op's gathered blocks now, whatever its build's outcome.
    gatheredOwners_[i - 1].claimed = true;
    if (!arg->buildOpArgArray(inputArg, opBufferlist_[i - 1], outputs)) {
      QOBL_LOG_ERROR("Can't generate Op %s's input argument array. \n", ir->opName.c_str());
      delete record;
      delete arg;
      return false;
    }
    record->argsArray = arg->address();
    record->opTotalNum = static_cast<uint32_t>(k);
    InstructionArchive archive;
    archive.opUid = ir->uid;
    archive.instruction = record;
    archive.opArg = arg;
    archive.opIr = ir;
    instructionArray_.push_back(archive);
  }
  instructionArray_.back().instruction->uid |= PIPELINE_END_MASK;
  return allocStreamMem();
}

bool RunStreamInstruction::allocStreamMem() {
  const uint64_t size = static_cast<uint64_t>(instructionArray_.size() - 1) * sizeof(OpInstruction);
  uint64_t addr = 0;
  int rc = qobcrt_malloc_stream(deviceId_, 0, size, &addr);
  if (rc != rtSuccess) {
    QOBL_LOG_ERROR("Failed to malloc stream memory for stream in DDR. Error code is %d.\n", rc);
    return false;
  }
  QOBL_LOG_DEBUG("[qobl:] Malloc stream memory %p, size is %d.\n", asPtr(addr), static_cast<int>(size));
  for (size_t i = 1; i < instructionArray_.size(); ++i) {
    rc = qobcrt_memcpy(deviceId_, instructionArray_[i].instruction, sizeof(OpInstruction),
                       addr + (i - 1) * sizeof(OpInstruction), kHost2Ddr);
    if (rc != rtSuccess) {
      QOBL_LOG_ERROR("Failed to copy Op instruction to stream in DDR. Error code is %d .\n", rc);
      const int freeRc = qobcrt_free_stream(deviceId_, addr);
      if (freeRc != rtSuccess) {
        QOBL_LOG_ERROR("Failed to free stream instance memory for dataset id [%d] in DDR. Error code is [%d].\n",
                       static_cast<int>(datesetId_), freeRc);
      }
      return false;
    }
  }
  streamAddr_ = addr;
  return true;
}

std::string RunStreamInstruction::archiveText(size_t a) {
  std::ostringstream text;
  {
    const InstructionArchive& archive = instructionArray_[a];
    const OpInstruction* record = archive.instruction;
    IOpArgument* arg = archive.opArg;
    if (record == nullptr || arg == nullptr) return std::string();
    const uint64_t L = arg->loopCount();
    const uint64_t B = arg->batchSize();
    const uint64_t C = arg->configCount();
    const uint64_t I = arg->inputCount();
    const uint64_t O = arg->outputCount();
    text << "\n=========== op instruction info ===========\n";
    text << "Op StreamId: " << record->streamId << "\n";
    text << "Op TypeId: " << record->typeId << "\n";
    text << "Op Uid: " << (record->uid & PIPELINE_END_UNMASK) << "\n";
    text << "Op Name: " << (archive.opIr != nullptr ? archive.opIr->opName : std::string()) << "\n";
    text << "---- Arguments ----------------------------\n";
    text << "Op LoopCount: " << L << "\n";
    text << "Op BatchSize: " << B << "\n";
    text << "Op Config Count: " << C << "\n";
    text << "Op Input Count: " << I << "\n";
    text << "Op Output Cout: " << O << "\n";
    // The configuration region is L*C entries, or one per loop for a memory-copy op.
    const uint64_t configEntries = arg->getConfigs().size();
    const uint64_t expected = configEntries + L * B * (I + O);
    const uint64_t n = arg->getArgArraySize();
    uint32_t index = 0;
    if (n == expected && L != 0 && configEntries % L == 0) {
      const uint64_t perLoop = configEntries / L;
      for (uint64_t l = 0; l < L; ++l) {
        for (uint64_t c = 0; c < perLoop; ++c) {
          text << "Op Config " << l << "-" << c << ": " << asPtr(arg->getPointerInArgArray(index++)) << "\n";
        }
      }
      for (uint64_t l = 0; l < L; ++l) {
        for (uint64_t b = 0; b < B; ++b) {
          for (uint64_t i = 0; i < I; ++i) {
            text << "Op Input  " << l << "-" << b << "-" << i << ": " << asPtr(arg->getPointerInArgArray(index++))
                 << "\n";
          }
          for (uint64_t o = 0; o < O; ++o) {
            text << "Op Output " << l << "-" << b << "-" << o << ": " << asPtr(arg->getPointerInArgArray(index++))
                 << "\n";
          }
        }
      }
    } else {
      // The op engine returned fewer (or more) configuration addresses than the op declares: the positions
      // cannot be told apart, so the list is shown as it is.
      text << "Op Argument array holds " << n << " entries, " << expected << " expected\n";
      for (uint64_t e = 0; e < n; ++e) {
        text << "Op Arg " << e << ": " << asPtr(arg->getPointerInArgArray(static_cast<uint32_t>(e))) << "\n";
      }
    }
    text << "===========================================\n";
  }
  return text.str();
}

std::string RunStreamInstruction::printText() {
  std::string text;
  for (size_t a = 1; a < instructionArray_.size(); ++a) text += archiveText(a);
  return text;
}

void RunStreamInstruction::print() {
  for (size_t a = 1; a < instructionArray_.size(); ++a) {
    const std::string text = archiveText(a);
    if (!text.empty()) QOBL_LOG_DEBUG("%s", text.c_str());
  }
}

}  // namespace qobl
}  // namespace zenlar
