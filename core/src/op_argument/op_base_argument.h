// BaseOpArgument: the shared implementation of IOpArgument; OpCommonArgument: the argument of every op kind
// without a class of its own (generic ops such as the op engine's pre-processing op).
//
// Device memory of an argument, all held as DeviceBlocks (device_block.h) that free themselves once when
// the argument is destroyed:
//   array block               stream memory, allocated by buildOpArgArray            (argArray_)
//   gathered blocks           the per-loop configuration / working-buffer blocks the op made for this
//                             run, adopted with adoptBlocks (which of them an op kind owns: ownedBlocks)
//   outputs of a non-leaf op  inout memory when the op feeds a run-model op, else shared DDR (blocks_)
// A leaf op's outputs are the application's and a run-model op's configuration is its model's address:
// neither is ever held here.
#ifndef QOBL_OP_ARGUMENT_OP_BASE_ARGUMENT_H
#define QOBL_OP_ARGUMENT_OP_BASE_ARGUMENT_H

#include <qobe/qobe.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "device_block.h"
#include "i_op_argument.h"
#include "op_instruction.h"

namespace zenlar {
namespace qobl {

// Appends n addresses to `to`, element by element: the lists take a handful of entries per call and keep
// their capacity from run to run, so this costs a few instructions per entry where a range insert costs a
// hundred per call.
inline void appendAddrs(std::vector<uint64_t>& to, const uint64_t* from, size_t n) {
  for (size_t i = 0; i < n; ++i) to.push_back(from[i]);
}
inline void appendAddrs(std::vector<uint64_t>& to, size_t n, uint64_t value) {
  for (size_t i = 0; i < n; ++i) to.push_back(value);
}

class BaseOpArgument : public IOpArgument {
 public:
  // Reads device, name, kind, leaf flag and the header counts from irInstruction, which must outlive the
  // building of the argument (not its destruction).  A null record throws std::invalid_argument
  // ("Failure of constructor of IOpArgument").
  BaseOpArgument(OpIRInstruction* irInstruction, uint32_t datasetId);
  ~BaseOpArgument() override = default;

  BaseOpArgument(const BaseOpArgument&) = delete;
  BaseOpArgument& operator=(const BaseOpArgument&) = delete;

  uint64_t batchSize() override { return header_.batchSize; }
  uint32_t loopCount() override { return header_.loopCount; }
  uint32_t configCount() override { return header_.configCount; }
  uint32_t inputCount() override { return header_.inputCount; }
  uint32_t outputCount() override { return header_.outputCount; }
  std::vector<uint64_t> getConfigs() override;
  bool uploadArgsToDevice() override;
  uint64_t address() override { return argArray_.address(); }
  uint32_t datasetId() override { return datasetId_; }
  uint32_t deviceId() override { return deviceId_; }
  std::vector<uint64_t> getInputs(uint32_t loopIndex, uint32_t batchIndex) override;
  std::vector<uint64_t> getOutputs(uint32_t loopIndex, uint32_t batchIndex) override;
  const uint64_t* outputsAt(uint32_t loopIndex, uint32_t batchIndex, uint32_t& count) override;
  const uint64_t* loopOutputs(uint32_t& count) override {
    count = 0;
    return nullptr;
  }
  bool appendOutputs(uint32_t loopIndex, uint32_t batchIndex, std::vector<uint64_t>& into) override;
  bool setOutputArg(uint32_t loopIndex, uint32_t batchIndex, uint32_t outputIndex, uint64_t dataPtr) override;
  bool buildOpArgArray(IOpArgument* inputOpArg, const std::vector<OpIRBuffer>& irBufferList,
                       const std::vector<uint64_t>& outputAddress) override;
  // Generic ops make fresh configuration blocks for every run: their list is always built anew.
  bool takeLastList(const std::vector<OpIRBuffer>& /*irBufferList*/) override { return false; }
  bool placeList() override { return placeArgArray(); }
  int opType() override { return static_cast<int>(opType_); }
  size_t getOutputSize(uint64_t addr) override;
  uint64_t getPointerInArgArray(uint32_t index) override;
  uint64_t getArgArraySize() override { return argPointersInDdr_.size(); }
  void adoptBlocks(std::vector<DeviceBlock>&& blocks) override;
  void releaseRun() override;
  void restart(OpIRInstruction* irInstruction, uint32_t datasetId) override;

  // Host copy of the header (what uploadArgsToDevice writes first).
  const qobe::QobeOpArgumentHeader& header() const { return header_; }

  // Appends to `into` the blocks of `buffer` (one loop's gathered addresses) that an argument of an op of
  // kind opType owns: a generic op its configuration blocks (stream memory) and working buffers (shared
  // DDR), a memory-copy op its configuration blocks, run-model and input ops nothing.  0 and addresses
  // already in `into` are skipped, so each block is owned once.
  static void ownedBlocks(uint32_t opType, uint32_t deviceId, const OpIRBuffer& buffer,
                          std::vector<DeviceBlock>& into) {
    // Run-model configurations are the model's address and the input op has none: nothing of theirs is ours.
    if (opType == qobeOP_RUN_MODEL_OP || opType == qobeOP_INPUT_OP) return;
    adoptOwnedBlocks(opType, deviceId, buffer, into);
  }

 protected:
  // ownedBlocks for the op kinds that own some.
  static void adoptOwnedBlocks(uint32_t opType, uint32_t deviceId, const OpIRBuffer& buffer,
                               std::vector<DeviceBlock>& into);
  // Takes device, name, kind, leaf flag, model and the header counts from the IR record (construction and
  // restart); then startKind() lets a class adjust what it needs (constructors call their own).
  void start(OpIRInstruction* irInstruction, uint32_t datasetId);
  virtual void startKind() {}
  // Length of the configuration region (L*C by default).
  virtual uint32_t configRegionLength() { return header_.loopCount * header_.configCount; }
  // Entries of one batch position, and where its outputs start among them: I + O and I, or O and 0 for an
  // argument whose inputs are its outputs (inputsAreOutputs_).
  uint32_t positionLength() const {
    return inputsAreOutputs_ ? header_.outputCount : header_.inputCount + header_.outputCount;
  }
  uint32_t outputsOffset() const { return inputsAreOutputs_ ? 0 : header_.inputCount; }
  // Entry index of the first entry of (loopIndex, batchIndex), u32 arithmetic.
  uint32_t positionIndex(uint32_t loopIndex, uint32_t batchIndex) {
    return configRegionLength() + (loopIndex * header_.batchSize + batchIndex) * positionLength();
  }
  // Allocates an output block of a non-leaf op and keeps it (address -> size when recordSize).
  // Returns the code of the allocation call; *addr receives the block (0 on failure).
  int allocOutput(DeviceMemKind kind, uint64_t size, bool recordSize, uint64_t* addr);
  // The I inputs (outputs: the O outputs) of position (loopIndex, batchIndex); empty (logged) when out of
  // range.
  std::vector<uint64_t> position(uint32_t loopIndex, uint32_t batchIndex, bool outputs);
  // The first of them in the host list and their number, or null (not logged) when out of range.  Inline,
  // so that a final argument class reading its own positions resolves configRegionLength() at compile time.
  const uint64_t* positionAt(uint32_t loopIndex, uint32_t batchIndex, bool outputs, uint32_t& count) {
    count = outputs ? header_.outputCount : header_.inputCount;
    if (loopIndex < header_.loopCount && batchIndex < header_.batchSize) {
      const uint64_t start =
          static_cast<uint64_t>(positionIndex(loopIndex, batchIndex)) + (outputs ? outputsOffset() : 0);
      if (start + count <= argPointersInDdr_.size()) return argPointersInDdr_.data() + start;
    }
    return nullptr;
  }
  // The same, appended to `into`; false (logged, nothing appended) when out of range.
  bool appendPosition(uint32_t loopIndex, uint32_t batchIndex, bool outputs, std::vector<uint64_t>& into);
  // The outputs of position (loopIndex, batchIndex) of the input op's argument, which are this op's inputs,
  // read in place (valid until that argument's list changes), their number in `count`; null with count 0
  // (logged) when it has no such position.
  static const uint64_t* inputsAt(IOpArgument* inputOpArg, uint32_t loopIndex, uint32_t batchIndex,
                                  uint32_t& count) {
    const uint64_t* outs = inputOpArg->outputsAt(loopIndex, batchIndex, count);
    if (outs == nullptr) {
      count = 0;
      std::vector<uint64_t> none;
      inputOpArg->appendOutputs(loopIndex, batchIndex, none);  // logs the position it could not read
    }
    return outs;
  }
  // Appends the entries [pos, pos + n) of `from` to the list and advances pos.
  void appendEntries(const std::vector<uint64_t>& from, size_t& pos, size_t n) {
    appendAddrs(argPointersInDdr_, from.data() + pos, n);
    pos += n;
  }
  // Allocates one block of `kind` per output size of the op and appends them to the list (sizes recorded);
  // false (logged) on the first failure.
  bool appendOwnedOutputs(DeviceMemKind kind);
  // Allocates the array block for the current list into argArray_ and uploads header and list; false
  // (logged) on the first failure.
  bool placeArgArray();
  // Starts the pointer list of a build: empty, not complete.
  void startList() {
    argPointersInDdr_.clear();
    listComplete_ = false;
  }
  // Marks the list a build made complete, with the header it was made for (takeLastList compares it).
  void listCompleted() {
    listComplete_ = true;
    listHeader_ = header_;
  }
  // takeLastList for an argument whose list is made only of its configuration, its inputs and the
  // application's outputs: the last build's list is kept when it was completed, for the same header, and
  // with the same first configuration address (`config`, which every loop repeats).
  bool keepListIf(uint64_t config);

  std::vector<uint64_t> argPointersInDdr_;
  std::vector<uint64_t> scratch_;  // input addresses gathered while building, kept with its capacity
  bool listComplete_ = false;                  // the list is a completed build's (listCompleted)
  qobe::QobeOpArgumentHeader listHeader_;      // the header it was made for
  uint32_t datasetId_ = 0;
  uint32_t deviceId_ = 0;
  qobe::QobeOpArgumentHeader header_;
  qobe::QobeOpArgumentHeader startHeader_;  // header_ as start() made it from the op's record
  std::string opName_;
  DeviceBlock argArray_;
  OpIRInstruction* opIR_ = nullptr;  // not owned; read while building only
  std::unordered_map<uint64_t, uint64_t> address2SizeDict_;

  // Set by an argument whose inputs are its outputs (the input op's): each batch position holds its O
  // addresses once, read both as its inputs and as its outputs.
  bool inputsAreOutputs_ = false;

  // Snapshots of the IR record, so that destruction and the completion path need not read it.
  uint32_t opType_ = 0;
  bool isLeaf_ = false;
  IModel* model_ = nullptr;
  // Gathered blocks adopted for this run and output blocks allocated by the build.
  std::vector<DeviceBlock> blocks_;
};

class OpCommonArgument final : public BaseOpArgument {
 public:
  OpCommonArgument(OpIRInstruction* irInstruction, uint32_t datasetId)
      : BaseOpArgument(irInstruction, datasetId) {}
  ~OpCommonArgument() override = default;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_ARGUMENT_OP_BASE_ARGUMENT_H
