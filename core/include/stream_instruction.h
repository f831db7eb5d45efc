// IRunStreamInstruction / RunStreamInstruction: everything the card needs for one run of an op stream,
// identified by its dataset id.
//
// Device layout: one stream-memory block of k consecutive 64-byte OpInstruction records (k = ops of the
// stream minus the input op, in the stream's node-list order), no header.  Each record's argsArray points at
// that op's argument array, opTotalNum is k, and the last record's uid carries PIPELINE_END_MASK.
//
// Calling order (the op stream, under its stream lock): setInOutputData once per input set, isReady() after
// each, addInput() with the input's record; when ready build() once; then address() and datesetId() for the
// run call; getInstructionArchive() and inputs() from the completion path; destruction last.  print() may be
// called at any time after an accepted input.
//
// OWNERSHIP (every device block is a DeviceBlock, freed exactly once by its owner's destruction):
//  - The instruction owns its archives (each owns its op record and argument; an argument owns the blocks
//    of its op for this run) and the stream-memory block of records.
//  - The per-loop configuration / buffer blocks gathered by setInOutputData (fresh blocks of generic and
//    memory-copy ops) are adopted at once as DeviceBlocks, per op, and moved into the op's argument by
//    build().  Blocks of an op whose argument was never built stay with the instruction and go with it.
//    So destroying the instruction in any state (empty, collecting, ready, half built, built, after the
//    run) leaks nothing and frees nothing twice.
//  - The records of the inputs gathered into the run (StreamDataset, with their output clones) are the run's
//    until the op stream takes them out (takeInputs); records still held go with the instruction (reset or
//    destruction).
//  - The IR records (irStream) and the application's addresses are not owned.
//  - Destruction reads neither the IR records nor the stream ops: it may run after the op stream released
//    them.  The models the ops use must still be alive (they outlive every stream using them).
//
// Threads: no lock of its own; the op stream serialises creation, filling, building and recycling.
// Reuse: the op stream keeps a few recycled instructions and reset()s one for its next run instead of
// making a new one; a reset instruction behaves as a newly constructed one.  When a run's input sets (input
// and output addresses) repeat those of the instruction's last run, which was built (an application that
// hands the same buffers every run), an op fed by the input op alone keeps the argument list that run's
// build made instead of building it again (IOpArgument::takeLastList); its uploads are made as always.
#ifndef QOBL_STREAM_INSTRUCTION_H
#define QOBL_STREAM_INSTRUCTION_H

#include <cstdint>
#include <string>
#include <vector>

#include "device_block.h"
#include "i_op_argument.h"
#include "op_instruction.h"
#include "stream_dataset.h"

namespace zenlar {
namespace qobl {

class OpInputArgument;

class IRunStreamInstruction {
 public:
  // The run's dataset id.
  virtual uint32_t datesetId() = 0;
  // Adds one input set of the application: `inputCount` input addresses (one loop of the input op) and
  // `outputCount` output addresses, the leaf ops' outputs in leaf order.  False on null pointers, a zero
  // output count (no message), an output count different from the leaf ops' total ("Output number mismatch
  // with stream output number.\n"), an input set the input op's argument refuses, or an op that cannot get
  // its configuration for this input ("Can't get the configuration of op %s for this input.\n"); after a
  // false the run must be discarded.  The caller keeps
  // ownership of both arrays; only their values are copied.
  virtual bool setInOutputData(const uint64_t* inputs, uint64_t inputCount, const uint64_t* outputs,
                               uint64_t outputCount) = 0;
  // True when every loop of the input op has its input set.
  virtual bool isReady() = 0;
  virtual ~IRunStreamInstruction() = default;
  // Makes every op's record and argument array and uploads the block of records.  Called once, when ready;
  // a second call returns false.  On false ("Can't generate Op %s's input argument array. \n" or a device
  // failure, logged) the run must be discarded by destroying the instruction.
  virtual bool build() = 0;
  // Device address of the block of records (stream memory); 0 before a successful build.  The run record
  // carries its low 32 bits (card addresses are below 2^32).
  virtual uint64_t address() = 0;
  // The archive of the op with this uid (without the end mark); null when none.  The pointer stays valid
  // until the instruction is destroyed.
  virtual InstructionArchive* getInstructionArchive(uint32_t opUid) = 0;
  // Logs, at debug level, one text per built op: its record and its argument list.
  virtual void print() = 0;
  // The records of the run's inputs, in arrival order.  Read in place by the completion path, which holds
  // the stream busy: the run stays in its stream, and its list unchanged, until that thread recycles it.
  virtual const InputRecords& inputs() = 0;
};

class RunStreamInstruction final : public IRunStreamInstruction {
 public:
  // irStream: the stream's IR records in node-list order, element 0 the input op (copied; not owned, and
  // read only until build() returns).
  RunStreamInstruction(uint32_t datesetId, const std::vector<OpIRInstruction*>& irStream, uint32_t deviceId);
  ~RunStreamInstruction() override;

  RunStreamInstruction(const RunStreamInstruction&) = delete;
  RunStreamInstruction& operator=(const RunStreamInstruction&) = delete;

  uint32_t datesetId() override { return datesetId_; }
  // The dataset id, for the op stream's table of runs.
  uint32_t key() const { return datesetId_; }
  bool setInOutputData(const uint64_t* inputs, uint64_t inputCount, const uint64_t* outputs,
                       uint64_t outputCount) override;
  bool isReady() override;
  bool build() override;
  uint64_t address() override { return records_.address(); }
  InstructionArchive* getInstructionArchive(uint32_t opUid) override;
  void print() override;
  const InputRecords& inputs() override { return inputs_; }

  // Number of archives (input op's included).
  size_t archiveCount() const { return live_; }

  // Empties the instruction for another run of the same stream under `datesetId`: frees every device block
  // it holds exactly as its destruction would (same blocks, same order) and keeps its host containers, so a
  // stream that reuses its instructions builds a run without allocating them again.  Archive pointers
  // handed out before stop being valid.
  void reset(uint32_t datesetId);
  // The same for an instruction the op stream keeps for reuse: one already emptied only takes the new id.
  void reuse(uint32_t datesetId);

  // The op stream's bookkeeping of the inputs gathered into this run: it hands each input's record to the
  // run (in arrival order) and takes them all back when the run is taken out.  The list keeps its capacity
  // across reset(), which destroys records still in it.  The op stream serialises these calls with the
  // completion path's reads.
  void addInput(std::unique_ptr<StreamDataset> rec) { inputs_.push_back(std::move(rec)); }
  // Moves the records into `into` (which must be empty); the instruction keeps `into`'s old storage, so
  // neither list loses its capacity.
  void takeInputs(InputRecords& into) { into.swap(inputs_); }
  bool hasInputId(uint32_t inputId) const;

 private:
  bool startInputOp();
  bool gatherOpBlocks();
  // Builds op `index`; `repeats`: the run's input sets are those of the last run, which was built.
  bool buildOp(size_t index, bool repeats);
  bool allocStreamMem();
  // Whether the earlier run's archive at `index` (the op's position in the stream) can serve that op again:
  // it was made for the same op and is complete (the input op's has no record of its own, and its argument
  // is the input op's).  Inline: asked for every op of every run.
  bool spareFits(size_t index) const {
    if (index >= instructionArray_.size()) return false;
    const InstructionArchive& spare = instructionArray_[index];
    return spare.opIr == irStream_[index] && spare.opArg != nullptr &&
           (index == 0 ? inputArg_ != nullptr : spare.instruction != nullptr);
  }
  // Puts `archive` at `index` (at most the number of archives), in place of an earlier run's archive there.
  InstructionArchive& placeArchive(size_t index, InstructionArchive&& archive);
  std::string archiveText(size_t archiveIndex);

  uint32_t datesetId_;
  DeviceBlock records_;                          // the run's op records on the card
  // The archives of this run, by op position, in [0, live_); after them, archives of an earlier run (their
  // device memory released), kept for reuse: a later run restarts archive i for op i when it was made for
  // that op (spareFits).
  std::vector<InstructionArchive> instructionArray_;
  size_t live_ = 0;
  std::vector<OpIRInstruction*> irStream_;
  // Element i - 1: op i's addresses, per loop (a run-model op's: its first input's only).  The entries stay
  // from run to run with their lists' capacity: a run overwrites entry n with its input n, and the build
  // uses the first inputsGathered_.
  std::vector<std::vector<OpIRBuffer>> opBufferlist_;
  size_t inputsGathered_ = 0;
  InputRecords inputs_;  // the records of the inputs gathered into this run, in arrival order
  std::vector<std::vector<DeviceBlock>> gathered_;     // element i - 1: op i's blocks until build() hands them on
  OpInputArgument* headArg_ = nullptr;   // the input op's argument of this run (null until its first input)
  OpInputArgument* inputArg_ = nullptr;  // the input op's argument in instructionArray_[0], if any
  // Element i: the application's output addresses of op i, a leaf op, all loops in order (empty otherwise).
  // A run writes them over the last run's, noting whether they all stay the same (outputsRepeat_).
  std::vector<std::vector<uint64_t>> leafOutputs_;
  bool outputsRepeat_ = true;
  bool built_ = false;      // build() succeeded for this run
  bool lastBuilt_ = false;  // the same for the last run (reset() moves it here)
  uint32_t deviceId_;
  bool buildStarted_ = false;
  uint64_t leafOutputCount_ = 0;  // the leaf ops' outputs per input set (the IR records do not change)
  std::vector<size_t> leafOps_;   // positions of the leaf ops in irStream_, in order
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_INSTRUCTION_H
