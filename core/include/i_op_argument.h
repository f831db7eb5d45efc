// IOpArgument: the argument array of one op for one run.
//
// The argument array is a block of stream memory the card reads through the op's record: a 24-byte header
// (zenlar::qobe::QobeOpArgumentHeader: "*$%!", L loops, B batch positions per loop, C configuration
// addresses per loop, I inputs and O outputs per position) followed by n u64 device addresses:
//   1. the configuration region: the configuration addresses of loop 0, then of loop 1, ...;
//   2. the data region: for each loop l, each batch position b, the I inputs then the O outputs of (l, b).
// Input i of (l, b) is entry R + (l*B + b)*(I + O) + i and output o is entry R + (l*B + b)*(I + O) + I + o,
// where R is the length of the configuration region: L*C for every argument except the memory-copy
// argument, whose region holds one configuration per loop (its header says C = L; R = L).
// The input op's argument never goes to the card: its list holds each loop's I addresses once, read both as
// the loop's inputs and as its outputs (O = I).
//
// Classes: BaseOpArgument / OpCommonArgument (generic ops), OpInputArgument (the graph's input op, host
// only), OpRunModelArgument, OpCopyMemArgument; QoblOpArgumentFactory picks the class by op kind.
//
// OWNERSHIP: an argument owns, as DeviceBlocks freed exactly once when it is destroyed, the device memory
// made for its run: its array block, the per-loop configuration / buffer blocks adopted with adoptBlocks
// and the output blocks it allocated for a non-leaf op.  It never releases a leaf op's output
// addresses (the application's) nor a model's address.  The destructor does not read the op's IR record,
// stream op or graph node, so an argument may outlive them; accessors that read the op's model need the
// model alive (models outlive every stream that uses them).
//
// Threads: no lock.  Built on the thread that prepares the run, read by the completion thread after the
// card reported, destroyed (or released for reuse) with its run-stream instruction; the owner never lets
// these overlap.
#ifndef QOBL_I_OP_ARGUMENT_H
#define QOBL_I_OP_ARGUMENT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device_block.h"
#include "op_instruction.h"

namespace zenlar {
namespace qobl {

class IOpArgument {
 public:
  virtual ~IOpArgument() = default;

  virtual uint64_t batchSize() = 0;     // B
  virtual uint32_t loopCount() = 0;     // L
  virtual uint32_t configCount() = 0;   // C
  virtual uint32_t inputCount() = 0;    // I
  virtual uint32_t outputCount() = 0;   // O
  // The configuration region of the pointer list.
  virtual std::vector<uint64_t> getConfigs() = 0;
  // Copies the header, then the pointer list, to the array block; false (logged) on the first failure.
  virtual bool uploadArgsToDevice() = 0;
  // Device address of the array block; 0 until buildOpArgArray allocated it.
  virtual uint64_t address() = 0;
  virtual uint32_t datasetId() = 0;
  virtual uint32_t deviceId() = 0;
  // The I inputs / O outputs of position (loopIndex, batchIndex); empty (logged) when out of range.
  virtual std::vector<uint64_t> getInputs(uint32_t loopIndex, uint32_t batchIndex) = 0;
  virtual std::vector<uint64_t> getOutputs(uint32_t loopIndex, uint32_t batchIndex) = 0;
  // The O outputs of position (loopIndex, batchIndex) in the host list, their number in `count`; null
  // (not logged) when out of range.  Valid until the list changes.
  virtual const uint64_t* outputsAt(uint32_t loopIndex, uint32_t batchIndex, uint32_t& count) = 0;
  // The outputs of batch position 0 of every loop, in loop order, when the host list holds exactly these
  // back to back (the input op's argument), their number in `count`: read in place, valid until the list
  // changes.  Null (count 0) for any other argument.
  virtual const uint64_t* loopOutputs(uint32_t& count) = 0;
  // Appends getOutputs(loopIndex, batchIndex) to `into`; false (logged, nothing appended) when out of range.
  virtual bool appendOutputs(uint32_t loopIndex, uint32_t batchIndex, std::vector<uint64_t>& into) = 0;
  // Replaces one output address in the host list (no upload); false (logged) when out of range.
  virtual bool setOutputArg(uint32_t loopIndex, uint32_t batchIndex, uint32_t outputIndex, uint64_t dataPtr) = 0;
  // Builds the pointer list, allocates the array block and uploads it.
  //   inputOpArg    the argument of the op's input op in the same run (its outputs are this op's inputs);
  //   irBufferList  one OpIRBuffer per loop (for a run-model op, only the first is given).  OWNERSHIP:
  //                 whatever the result, the argument takes the blocks listed there (it keeps a copy and
  //                 releases them as its class states); the caller must not release them;
  //   outputAddress the application's output addresses for a leaf op (all loops in order), else empty.
  // Called once.  On false, blocks allocated so far stay recorded and are released with the argument.
  virtual bool buildOpArgArray(IOpArgument* inputOpArg, const std::vector<OpIRBuffer>& irBufferList,
                               const std::vector<uint64_t>& outputAddress) = 0;
  // For a recycled run: keeps the pointer list the argument's last build made (releaseRun leaves it), when
  // it is the list buildOpArgArray would make now.  The caller vouches that the op's inputs (its input op's
  // outputs) and the application's output addresses are those of the run that build was for, and that that
  // run was built; the argument checks what else its list is made of (its configuration in irBufferList,
  // its header).  False, nothing changed, when it cannot: the caller then builds the list
  // (buildOpArgArray).  Called after restart, instead of buildOpArgArray; placeList follows.
  virtual bool takeLastList(const std::vector<OpIRBuffer>& irBufferList) = 0;
  // Allocates the array block for the current list and uploads header and list, as buildOpArgArray does
  // last; false (logged) on the first failure, the block then released with the argument.
  virtual bool placeList() = 0;
  // The op kind of the IR record (1 input, 2 run-model, 10 memory-copy, others generic).
  virtual int opType() = 0;
  // Byte size of an output block this argument allocated; 0 for any other address.
  virtual size_t getOutputSize(uint64_t addr) = 0;
  // Entry index of the pointer list; 0 when index >= n.
  virtual uint64_t getPointerInArgArray(uint32_t index) = 0;
  // n, the length of the pointer list.
  virtual uint64_t getArgArraySize() = 0;
  // Takes the blocks gathered for this op and run (BaseOpArgument::ownedBlocks); they are freed with the
  // argument.  Called before buildOpArgArray.
  virtual void adoptBlocks(std::vector<DeviceBlock>&& blocks) = 0;
  // Reuse by a recycled run instruction.  releaseRun frees the run's device memory exactly as destruction
  // would (same blocks, same order), reads no IR record, and leaves the pointer list as it is (for
  // takeLastList; it is no longer the run's to read, and buildOpArgArray starts it anew); restart then
  // makes the argument what a new one of its class for `irInstruction` (an op of the same kind) and
  // `datasetId` would be.
  virtual void releaseRun() = 0;
  virtual void restart(OpIRInstruction* irInstruction, uint32_t datasetId) = 0;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_I_OP_ARGUMENT_H
