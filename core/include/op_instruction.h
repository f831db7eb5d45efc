// Per-op instruction records of an op stream.
//
// OpIRInstruction  host snapshot of one graph node's stream op, made once when a stream is built (one per
//                  node of the ordered node list, input op first).  Owned by the op stream.
// OpIRBuffer       configuration and working-buffer addresses of one op for one loop of one run.
// OpInstruction    the 64-byte record the card's stream engine reads; one per op (input op excepted) per run,
//                  placed back to back in the run's stream-memory block.  Owned by its InstructionArchive.
// InstructionArchive ties a run's record to the op's argument array and IR snapshot.
//
// Op flags (zenlar::qobe::COMMON_FLAG, GET_OUTPUT_FLAG, ...) and the uid end marks
// (zenlar::qobe::PIPELINE_END_MASK / PIPELINE_END_UNMASK) are the op engine's constants; they are re-exported
// here in zenlar::qobl for the stream and the completion path.
#ifndef QOBL_OP_INSTRUCTION_H
#define QOBL_OP_INSTRUCTION_H

#include <qobe/qobe.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "i_stream_op.h"

namespace zenlar {
namespace qobl {

class IModel;
class IStreamOp;
class IOpArgument;
class OpDGNode;

using qobe::PIPELINE_END_MASK;    // 0x80000000: bit of the uid of a run's last record
using qobe::PIPELINE_END_UNMASK;  // 0x7fffffff: clears it again

// Host snapshot of one op.  Every field is read from the stream op at construction; later changes of the
// stream op do not reach it, except that the op stream may still add GET_OUTPUT_FLAG to opFlag.
// OWNERSHIP: the record neither owns its node nor its stream op nor its model; all of them must outlive it.
class OpIRInstruction {
 public:
  // Snapshot of node->getStreamOp().  `sequence` (the node's position in the ordered list) is not stored.
  // node must not be null and must wrap a stream op (std::invalid_argument otherwise).
  OpIRInstruction(OpDGNode* node, uint32_t sequence);
  // Snapshot of a stream op that is not wrapped by a graph node (getNode() returns null).
  OpIRInstruction(IStreamOp* streamOp, uint32_t sequence);
  virtual ~OpIRInstruction() = default;

  OpIRInstruction(const OpIRInstruction&) = default;
  OpIRInstruction& operator=(const OpIRInstruction&) = default;

  // Configuration addresses of the op for one loop, asked from the stream op now (see
  // IStreamOp::getConfigAddressList).  OWNERSHIP: fresh blocks made by the call belong to the caller; the
  // run-stream instruction hands them to the op's argument, which releases them.
  std::vector<uint64_t> getUpdatedConfigList();
  // The same into `out`, reusing its capacity where the op allows.  Inline: a run asks it for every op and
  // input.
  void getUpdatedConfigList(std::vector<uint64_t>& out) { streamOp_->configAddressesInto(out); }
  // Working-buffer addresses of the op for one loop, asked from the stream op now.
  std::vector<uint64_t> getBufferAddresses();
  // The same into `out`, reusing its capacity where the op allows (inline, as above).
  void getBufferAddresses(std::vector<uint64_t>& out) { streamOp_->bufferAddressesInto(out); }
  OpDGNode* getNode() const { return node_; }
  IStreamOp* getStreamOp() const { return streamOp_; }

  uint32_t streamId = 0;
  std::string opName;
  uint32_t uid = 0;
  uint32_t sequenceId = 0;
  uint32_t typeId = 0;
  uint64_t opAddr = 0;
  uint32_t opFlag = qobe::COMMON_FLAG;
  uint32_t opType = 0;
  uint32_t deviceId = 0;
  uint32_t batchSize = 0;
  IModel* model = nullptr;      // null for ops without a model
  uint32_t inputOpUid = 0;      // uid of the stream op's input op; 0 when it has none
  uint32_t loopCount = 0;
  uint32_t inputCount = 0;
  std::vector<uint32_t> inputSizes;
  uint32_t outputCount = 0;
  std::vector<uint32_t> outputSizes;  // bytes per output
  bool isStreamEnd = false;
  uint32_t configCount = 0;
  uint32_t bufferCount = 0;
  bool isLeafNode = false;

 private:
  void snapshot(IStreamOp* op);

  OpDGNode* node_ = nullptr;       // not owned
  IStreamOp* streamOp_ = nullptr;  // not owned
};

// Addresses of one op for one loop of one run.
struct OpIRBuffer {
  std::vector<uint64_t> opConfigList;
  std::vector<uint64_t> bufferList;
};

// The card's op record: 64 bytes, little-endian, packed (opAddr sits at offset 20).
#pragma pack(push, 1)
struct OpInstruction {
  // Writes the separator "#$%&", copies streamId, sequenceId, uid, typeId, opAddr and opFlag from Op and
  // zeroes every other field.  devId is not used.
  OpInstruction(const OpIRInstruction& Op, uint32_t devId);

  char seperator[4];
  uint32_t streamId;
  uint32_t sequenceId;
  uint32_t uid;             // bit 31 (PIPELINE_END_MASK) marks the last record of a run
  uint32_t typeId;
  uint64_t opAddr;
  uint64_t argsArray;       // device address of the op's argument array
  uint32_t argsSize;
  uint32_t outputCount;
  uint32_t opFlag;
  uint32_t opTotalNum;      // number of records of the run
  uint32_t branchCount;
  uint64_t branchJumpList;
};
#pragma pack(pop)

static_assert(sizeof(OpInstruction) == 64, "op record is 64 bytes");
static_assert(offsetof(OpInstruction, streamId) == 4 && offsetof(OpInstruction, sequenceId) == 8 &&
                  offsetof(OpInstruction, uid) == 12 && offsetof(OpInstruction, typeId) == 16 &&
                  offsetof(OpInstruction, opAddr) == 20 && offsetof(OpInstruction, argsArray) == 28 &&
                  offsetof(OpInstruction, argsSize) == 36 && offsetof(OpInstruction, outputCount) == 40 &&
                  offsetof(OpInstruction, opFlag) == 44 && offsetof(OpInstruction, opTotalNum) == 48 &&
                  offsetof(OpInstruction, branchCount) == 52 && offsetof(OpInstruction, branchJumpList) == 56,
              "op record field offsets");

// One op of one run.  OWNERSHIP: the archive owns the op's record and argument (both made by the
// run-stream instruction and freed with it); opIr belongs to the op stream.
struct InstructionArchive {
  uint32_t opUid = 0;                            // without the end mark
  std::unique_ptr<OpInstruction> instruction;    // null for the input op
  std::unique_ptr<IOpArgument> opArg;
  OpIRInstruction* opIr = nullptr;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_INSTRUCTION_H
