#include "stream_instruction.h"

#include <qobcrt/qobcrt.h>
#include <qobe/qobe.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <sstream>

#include "op_argument/op_argument_factory.h"
#include "op_argument/op_base_argument.h"
#include "op_argument/op_input_argument.h"
#include "qobl_log.h"

namespace zenlar {
namespace qobl {

RunStreamInstruction::RunStreamInstruction(uint32_t datesetId, const std::vector<OpIRInstruction*>& irStream,
                                           uint32_t deviceId)
    : datesetId_(datesetId), irStream_(irStream), deviceId_(deviceId) {
  for (size_t i = 0; i < irStream_.size(); ++i) {
    if (!irStream_[i]->isLeafNode) continue;
    leafOps_.push_back(i);
    leafOutputCount_ += irStream_[i]->outputCount;
  }
  // The per-op lists keep their size from run to run.
  if (!irStream_.empty()) {
    opBufferlist_.resize(irStream_.size() - 1);
    gathered_.resize(irStream_.size() - 1);
    leafOutputs_.resize(irStream_.size());
  }
}

RunStreamInstruction::~RunStreamInstruction() { QOBL_LOG_TRACE("Release run stream instruction memory.\n"); }

void RunStreamInstruction::reset(uint32_t datesetId) {
  QOBL_LOG_TRACE("Release run stream instruction memory.\n");
  // The members in the order the destructor destroys them (the reverse of their declaration): the blocks
  // gathered for ops never built, then every archive with its argument's blocks, then the block of records.
  // The leaf ops' output lists stay, for the next run to compare its addresses with.
  lastBuilt_ = built_;
  built_ = false;
  outputsRepeat_ = true;
  for (auto& blocks : gathered_) blocks.clear();
  inputsGathered_ = 0;  // the address lists stay, to be overwritten by the next run's inputs
  inputs_.clear();
  // Each archive of the run releases its argument's blocks, in order, and stays in place for the next run.
  for (size_t a = 0; a < live_; ++a) {
    if (instructionArray_[a].opArg != nullptr) instructionArray_[a].opArg->releaseRun();
  }
  live_ = 0;
  headArg_ = nullptr;
  records_.reset();
  datesetId_ = datesetId;
  buildStarted_ = false;
}

void RunStreamInstruction::reuse(uint32_t datesetId) {
  // A run taken out was emptied then; one that still holds something is emptied now.
  if (live_ != 0 || records_ || !inputs_.empty() || inputsGathered_ != 0 || headArg_ != nullptr) {
    reset(datesetId);
    return;
  }
  datesetId_ = datesetId;
  buildStarted_ = false;
}

InstructionArchive& RunStreamInstruction::placeArchive(size_t index, InstructionArchive&& archive) {
  // The archive at `index`, if any, is an earlier run's, its argument released: replacing it frees nothing.
  if (index < instructionArray_.size()) {
    instructionArray_[index] = std::move(archive);
  } else {
    instructionArray_.push_back(std::move(archive));
  }
  return instructionArray_[index];
}

bool RunStreamInstruction::hasInputId(uint32_t inputId) const {
  // The op stream's ids come from a counter, so a run's ids increase: an id above the last one is new
  // (the list is searched only after the counter wrapped, or for an id given twice).
  if (inputs_.empty() || inputId > inputs_.back()->inputId) return false;
  for (const std::unique_ptr<StreamDataset>& rec : inputs_) {
    if (rec->inputId == inputId) return true;
  }
  return false;
}

bool RunStreamInstruction::isReady() { return headArg_ != nullptr && headArg_->isBufferReady(); }

InstructionArchive* RunStreamInstruction::getInstructionArchive(uint32_t opUid) {
  for (size_t a = 0; a < live_; ++a) {
    if (instructionArray_[a].opUid == opUid) return &instructionArray_[a];
  }
  return nullptr;
}

bool RunStreamInstruction::startInputOp() {
  if (irStream_[0]->opType != qobeOP_INPUT_OP) {
    QOBL_LOG_ERROR("The first op of stream is not an input op: %s.\n", irStream_[0]->opName.c_str());
    return false;
  }
  if (spareFits(0)) {
    // The earlier run's archive serves again in place: its argument is restarted.
    inputArg_->restart(irStream_[0], datesetId_);
  } else {
    InstructionArchive archive;
    OpInputArgument* made = nullptr;
    try {
      auto arg = std::make_unique<OpInputArgument>(irStream_[0], datesetId_);
      made = arg.get();
      archive.opArg = std::move(arg);
    } catch (const std::exception& e) {
      QOBL_LOG_ERROR("Failed to create the input op's argument: %s\n", e.what());
      return false;
    }
    placeArchive(0, std::move(archive));
    inputArg_ = made;
  }
  headArg_ = inputArg_;
  live_ = 1;
  InstructionArchive& head = instructionArray_[0];
  head.opUid = irStream_[0]->uid;
  head.opIr = irStream_[0];
  return true;
}

bool RunStreamInstruction::gatherOpBlocks() {
  for (size_t i = 1; i < irStream_.size(); ++i) {
    OpIRInstruction* ir = irStream_[i];
    // A run-model op's configuration is its model's address, which stays for the whole run (a run's first
    // input sets a dynamic model's shapes), and only the first input's is read: it is asked once per run.
    if (ir->opType == qobeOP_RUN_MODEL_OP && inputsGathered_ != 0) continue;
    std::vector<OpIRBuffer>& buffers = opBufferlist_[i - 1];
    if (buffers.size() <= inputsGathered_) buffers.resize(inputsGathered_ + 1);
    OpIRBuffer& buffer = buffers[inputsGathered_];
    ir->getUpdatedConfigList(buffer.opConfigList);
    ir->getBufferAddresses(buffer.bufferList);
    // What the op made for this input is ours from here on, whatever happens next.
    BaseOpArgument::ownedBlocks(ir->opType, ir->deviceId, buffer, gathered_[i - 1]);
    // An op that could not get its configuration for this input (an upload or allocation failed) makes
    // the input fail now rather than the run later.
    const bool configured = buffer.opConfigList.size() >= ir->configCount &&
                            std::find(buffer.opConfigList.begin(), buffer.opConfigList.end(), 0u) ==
                                buffer.opConfigList.end();
    if (!configured) {
      QOBL_LOG_ERROR("Can't get the configuration of op %s for this input.\n", ir->opName.c_str());
      return false;
    }
  }
  ++inputsGathered_;
  return true;
}

bool RunStreamInstruction::setInOutputData(const uint64_t* inputs, uint64_t inputCount, const uint64_t* outputs,
                                           uint64_t outputCount) {
  if (inputs == nullptr || outputs == nullptr || outputCount == 0 || irStream_.empty() || buildStarted_) return false;
  if (outputCount != leafOutputCount_) {
    QOBL_LOG_ERROR("Output number mismatch with stream output number.\n");
    return false;
  }
  if (headArg_ == nullptr && !startInputOp()) return false;
  if (inputCount > UINT32_MAX) {
    QOBL_LOG_ERROR("Real input shape mismatch with the shape of stream. \n");
    return false;
  }
  if (!headArg_->addInputArg(inputs, static_cast<uint32_t>(inputCount))) return false;
  // Each leaf op's addresses of this input go over the last run's at their place, noting whether any
  // differs.
  size_t pos = 0;
  for (size_t i : leafOps_) {
    const uint32_t n = irStream_[i]->outputCount;
    std::vector<uint64_t>& list = leafOutputs_[i];
    const size_t at = inputsGathered_ * n;
    if (list.size() < at + n) {
      list.resize(at + n);
      outputsRepeat_ = false;
    }
    for (uint32_t k = 0; k < n; ++k) {
      if (list[at + k] != outputs[pos + k]) {
        list[at + k] = outputs[pos + k];
        outputsRepeat_ = false;
      }
    }
    pos += n;
  }
  return gatherOpBlocks();
}

bool RunStreamInstruction::buildOp(size_t i, bool repeats) {
  OpIRInstruction* ir = irStream_[i];
  IOpArgument* inputArg = nullptr;
  for (size_t a = 0; a < live_; ++a) {
    if (instructionArray_[a].opUid == ir->inputOpUid) inputArg = instructionArray_[a].opArg.get();
  }
  // The archive is built in place (ops are built in order: op i's archive is the i-th); an op that fails
  // releases the blocks its argument holds at once and its archive does not count, as if it had never been
  // added.
  if (spareFits(i)) {
    // The spare's record was made from this same IR record, which does not change once the stream is
    // built: it stays as it is (argsArray and opTotalNum are written below, the end mark again by build()).
    InstructionArchive& spare = instructionArray_[i];
    spare.opArg->restart(ir, datesetId_);
  } else {
    InstructionArchive made;
    made.instruction = std::make_unique<OpInstruction>(*ir, 0);
    try {
      made.opArg.reset(QoblOpArgumentFactory::createOpArgument(ir, datesetId_));
    } catch (const std::exception&) {
      QOBL_LOG_ERROR("Can't generate Op %s's input argument array. \n", ir->opName.c_str());
      return false;
    }
    placeArchive(i, std::move(made));
  }
  InstructionArchive& archive = instructionArray_[i];
  archive.opUid = ir->uid;
  archive.opIr = ir;
  // Entries left by an earlier run that gathered more inputs (one that failed) are not this run's.
  std::vector<OpIRBuffer>& buffers = opBufferlist_[i - 1];
  if (buffers.size() > inputsGathered_) buffers.resize(inputsGathered_);
  // The argument takes the op's gathered blocks now, whatever its build's outcome (most ops made none).
  if (!gathered_[i - 1].empty()) archive.opArg->adoptBlocks(std::move(gathered_[i - 1]));
  // An op fed by the input op alone, in a run repeating the last one, may keep the list that run's build
  // made: its inputs and outputs are that run's.
  IOpArgument* arg = archive.opArg.get();
  const bool kept = repeats && inputArg == headArg_ && arg->takeLastList(buffers);
  if (!(kept ? arg->placeList() : arg->buildOpArgArray(inputArg, buffers, leafOutputs_[i]))) {
    QOBL_LOG_ERROR("Can't generate Op %s's input argument array. \n", ir->opName.c_str());
    archive.opArg->releaseRun();
    return false;
  }
  archive.instruction->argsArray = archive.opArg->address();
  archive.instruction->opTotalNum = static_cast<uint32_t>(irStream_.size() - 1);
  live_ = i + 1;
  return true;
}

bool RunStreamInstruction::build() {
  if (buildStarted_ || live_ == 0) return false;
  buildStarted_ = true;
  if (irStream_.size() < 2) {
    QOBL_LOG_ERROR("Stream has no op after its input op.\n");
    return false;
  }
  // A ready run has written every loop's addresses: each leaf op's list holds exactly this run's (no run
  // writes more loops than the input op has).
  const bool repeats = lastBuilt_ && outputsRepeat_ && headArg_->repeatsLastRun();
  for (size_t i = 1; i < irStream_.size(); ++i) {
    if (!buildOp(i, repeats)) return false;
  }
  instructionArray_[live_ - 1].instruction->uid |= PIPELINE_END_MASK;
  built_ = allocStreamMem();
  return built_;
}

bool RunStreamInstruction::allocStreamMem() {
  const uint64_t size = static_cast<uint64_t>(live_ - 1) * sizeof(OpInstruction);
  DeviceBlock& block = records_;  // empty: reset() emptied it
  int rc = DeviceBlock::allocate(deviceId_, DeviceMemKind::kStream, size, &block);
  if (rc != rtSuccess) {
    QOBL_LOG_ERROR("Failed to malloc stream memory for stream in DDR. Error code is %d.\n", rc);
    return false;
  }
  QOBL_LOG_DEBUG("[qobl:] Malloc stream memory %p, size is %d.\n", qoblAsPtr(block.address()),
                 static_cast<int>(size));
  for (size_t i = 1; i < live_; ++i) {
    rc = qobcrt_memcpy(deviceId_, instructionArray_[i].instruction.get(), sizeof(OpInstruction),
                       block.address() + (i - 1) * sizeof(OpInstruction), kHost2Ddr);
    if (rc != rtSuccess) {
      QOBL_LOG_ERROR("Failed to copy Op instruction to stream in DDR. Error code is %d .\n", rc);
      block.reset();  // the records are given back at once
      return false;
    }
  }
  return true;
}

std::string RunStreamInstruction::archiveText(size_t a) {
  std::ostringstream text;
  {
    const InstructionArchive& archive = instructionArray_[a];
    const OpInstruction* record = archive.instruction.get();
    IOpArgument* arg = archive.opArg.get();
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
          text << "Op Config " << l << "-" << c << ": " << qoblAsPtr(arg->getPointerInArgArray(index++)) << "\n";
        }
      }
      for (uint64_t l = 0; l < L; ++l) {
        for (uint64_t b = 0; b < B; ++b) {
          for (uint64_t i = 0; i < I; ++i) {
            text << "Op Input  " << l << "-" << b << "-" << i << ": " << qoblAsPtr(arg->getPointerInArgArray(index++))
                 << "\n";
          }
          for (uint64_t o = 0; o < O; ++o) {
            text << "Op Output " << l << "-" << b << "-" << o << ": " << qoblAsPtr(arg->getPointerInArgArray(index++))
                 << "\n";
          }
        }
      }
    } else {
      // The op engine returned fewer (or more) configuration addresses than the op declares: the positions
      // cannot be told apart, so the list is shown as it is.
      text << "Op Argument array holds " << n << " entries, " << expected << " expected\n";
      for (uint64_t e = 0; e < n; ++e) {
        text << "Op Arg " << e << ": " << qoblAsPtr(arg->getPointerInArgArray(static_cast<uint32_t>(e))) << "\n";
      }
    }
    text << "===========================================\n";
  }
  return text.str();
}

void RunStreamInstruction::print() {
  for (size_t a = 1; a < live_; ++a) {
    const std::string text = archiveText(a);
    if (!text.empty()) QOBL_LOG_DEBUG("%s", text.c_str());
  }
}

}  // namespace qobl
}  // namespace zenlar
