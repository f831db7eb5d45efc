// IRunStreamInstruction / RunStreamInstruction: everything the card needs for one run of an op stream,
// identified by its dataset id.
//
// Device layout: one stream-memory block of k consecutive 64-byte OpInstruction records (k = ops of the
// stream minus the input op, in the stream's node-list order), no header.  Each record's argsArray points at
// that op's argument array, opTotalNum is k, and the last record's uid carries PIPELINE_END_MASK.
//
// Calling order (the op stream, under its stream lock): setInOutputData once per input set, isReady() after
// each; when ready build() once; then address() and datesetId() for the run call; getInstructionArchive()
// from the completion path; destruction last.  print() may be called at any time after an accepted input.
//
// OWNERSHIP and release (each device block exactly once):
//  - The instruction owns its records, every argument in its archives (they release their own blocks when
//    the instruction deletes them) and the stream-memory block of records.
//  - The per-loop configuration / buffer blocks gathered by setInOutputData (fresh blocks of generic and
//    memory-copy ops) belong to the instruction until build() hands an op's list to that op's argument.
//    Lists never handed over -- the run was discarded while collecting, or build() failed before reaching
//    the op -- are released by the destructor with the rules of the op's argument class.  So destroying the
//    instruction in any state (empty, collecting, ready, half built, built, after the run) leaks nothing.
//  - The IR records (irStream) and the application's addresses are not owned.
//  - Destruction reads neither the IR records nor the stream ops: it may run after the op stream released
//    them.  The models the ops use must still be alive (they outlive every stream using them).
//
// Threads: no lock of its own; the op stream serialises creation, filling, building and recycling.
#ifndef QOBL_STREAM_INSTRUCTION_H
#define QOBL_STREAM_INSTRUCTION_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "i_op_argument.h"
#include "op_instruction.h"

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
  virtual bool setInOutputData(uint64_t* inputs, uint64_t inputCount, uint64_t* outputs, uint64_t outputCount) = 0;
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
};

class RunStreamInstruction : public IRunStreamInstruction {
 public:
  // irStream: the stream's IR records in node-list order, element 0 the input op (copied; not owned, and
  // read only until build() returns).
  RunStreamInstruction(uint32_t datesetId, const std::vector<OpIRInstruction*>& irStream, uint32_t deviceId);
  ~RunStreamInstruction() override;

  RunStreamInstruction(const RunStreamInstruction&) = delete;
  RunStreamInstruction& operator=(const RunStreamInstruction&) = delete;

  uint32_t datesetId() override;
  bool setInOutputData(uint64_t* inputs, uint64_t inputCount, uint64_t* outputs, uint64_t outputCount) override;
  bool isReady() override;
  bool build() override;
  uint64_t address() override;
  InstructionArchive* getInstructionArchive(uint32_t opUid) override;
  void print() override;

  // The text print() logs (one block per built op); exposed for diagnostics.
  std::string printText();
  // Number of archives (input op's included).
  size_t archiveCount() const { return instructionArray_.size(); }

 private:
  bool allocStreamMem();
  std::string archiveText(size_t archiveIndex);

  // What the destructor needs to release an op's gathered blocks without reading its IR record.
  struct GatheredOwner {
    uint32_t opType = 0;
    uint32_t deviceId = 0;
    std::string opName;
    bool claimed = false;  // handed to the op's argument by build()
  };

  uint32_t datesetId_;
  uint64_t streamAddr_ = 0;
  std::vector<InstructionArchive> instructionArray_;
  std::vector<OpIRInstruction*> irStream_;
  std::vector<std::vector<OpIRBuffer>> opBufferlist_;
  OpInputArgument* headArg_ = nullptr;
  std::unordered_map<uint32_t, std::vector<uint64_t>> outputAddrsDict_;
  uint32_t deviceId_;
  std::vector<GatheredOwner> gatheredOwners_;  // element i - 1 describes op i
  bool buildStarted_ = false;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_INSTRUCTION_H
