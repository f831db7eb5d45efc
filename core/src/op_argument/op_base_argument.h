// BaseOpArgument: the shared implementation of IOpArgument; OpCommonArgument: the argument of every op kind
// without a class of its own (generic ops such as the op engine's pre-processing op).
//
// Device memory of a common argument (released once each, when the argument is destroyed):
//   array block               qobcrt_malloc_stream by buildOpArgArray        -> qobcrt_free_stream
//   configuration addresses   made per loop by the op engine (irBufferList)  -> qobcrt_free_stream
//   buffer addresses          made per loop by the op engine (irBufferList)  -> qobcrt_free_ddr_share
//   outputs of a non-leaf op  qobcrt_malloc_inout when the op feeds a run-model op, else
//                             qobcrt_malloc_ddr_share                        -> the matching free call
// A leaf op's outputs are the application's and never released.  An address listed twice is released once;
// a 0 address is never released.
#ifndef QOBL_OP_ARGUMENT_OP_BASE_ARGUMENT_H
#define QOBL_OP_ARGUMENT_OP_BASE_ARGUMENT_H

#include <qobe/qobe.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "i_op_argument.h"
#include "op_instruction.h"

namespace zenlar {
namespace qobl {

// Device memory kinds an argument allocates or is handed.
enum class ArgMemKind : uint32_t { kStream = 0, kInout = 1, kDdrShare = 2 };

class BaseOpArgument : public IOpArgument {
 public:
  // Reads device, name, kind, leaf flag and the header counts from irInstruction, which must outlive the
  // building of the argument (not its destruction).  A null record throws std::invalid_argument
  // ("Failure of constructor of IOpArgument").
  BaseOpArgument(OpIRInstruction* irInstruction, uint32_t datasetId);
  ~BaseOpArgument() override;

  BaseOpArgument(const BaseOpArgument&) = delete;
  BaseOpArgument& operator=(const BaseOpArgument&) = delete;

  uint64_t batchSize() override;
  uint32_t loopCount() override;
  uint32_t configCount() override;
  uint32_t inputCount() override;
  uint32_t outputCount() override;
  std::vector<uint64_t> getConfigs() override;
  bool uploadArgsToDevice() override;
  uint64_t address() override;
  uint32_t datasetId() override;
  uint32_t deviceId() override;
  std::vector<uint64_t> getInputs(uint32_t loopIndex, uint32_t batchIndex) override;
  std::vector<uint64_t> getOutputs(uint32_t loopIndex, uint32_t batchIndex) override;
  bool setOutputArg(uint32_t loopIndex, uint32_t batchIndex, uint32_t outputIndex, uint64_t dataPtr) override;
  bool buildOpArgArray(IOpArgument* inputOpArg, const std::vector<OpIRBuffer>& irBufferList,
                       const std::vector<uint64_t>& outputAddress) override;
  int opType() override;
  size_t getOutputSize(uint64_t addr) override;
  uint64_t getPointerInArgArray(uint32_t index) override;
  uint64_t getArgArraySize() override;

  // Host copy of the header (what uploadArgsToDevice writes first).
  const qobe::QobeOpArgumentHeader& header() const { return header_; }

  // Releases the per-loop blocks gathered for an op of kind opType that never reached an argument's
  // buildOpArgArray (a run discarded while collecting, or a build that failed before this op): with the
  // rules of that kind's argument (run-model and input ops own none).  Each non-zero address once.
  static void releaseUnclaimedBuffers(uint32_t opType, uint32_t deviceId, uint32_t datasetId,
                                      const std::string& opName, const std::vector<OpIRBuffer>& buffers);

 protected:
  // Length of the configuration region (L*C by default).
  virtual uint32_t configRegionLength();
  // Entry index of the first input of (loopIndex, batchIndex), u32 arithmetic.
  uint32_t positionIndex(uint32_t loopIndex, uint32_t batchIndex);
  // Allocates an output block of a non-leaf op and records it (address -> size when recordSize).
  // Returns the code of the allocation call; *addr receives the block.
  int allocOutput(ArgMemKind kind, uint64_t size, bool recordSize, uint64_t* addr);
  // Allocates the array block for the current list into argsAddr_; returns the allocation code.
  int allocArgArray(uint64_t* size);
  // Releases one block once (0 and already-released addresses are skipped); returns the call's code.
  int releaseOnce(ArgMemKind kind, uint64_t addr);
  // Release steps shared by the classes; each empties what it released.
  void releaseIrConfigs(bool copyMemMessages);
  void releaseIrBuffers();
  void releaseOwnedOutputs(bool traceLevel);
  void releaseArgArray(bool copyMemMessages);

  std::vector<uint64_t> argPointersInDdr_;
  uint32_t datasetId_ = 0;
  uint32_t deviceId_ = 0;
  qobe::QobeOpArgumentHeader header_;
  std::string opName_;
  uint64_t argsAddr_ = 0;
  std::vector<OpIRBuffer> irBufferList_;
  OpIRInstruction* opIR_ = nullptr;  // not owned; read while building only
  std::unordered_map<uint64_t, uint64_t> address2SizeDict_;

  // Snapshots of the IR record, so that destruction and the completion path need not read it.
  uint32_t opType_ = 0;
  bool isLeaf_ = false;
  IModel* model_ = nullptr;
  // Output blocks this argument allocated, in allocation order, with their kind.
  std::vector<std::pair<uint64_t, ArgMemKind>> ownedOutputs_;
  std::unordered_set<uint64_t> released_;
};

class OpCommonArgument : public BaseOpArgument {
 public:
  OpCommonArgument(OpIRInstruction* irInstruction, uint32_t datasetId)
      : BaseOpArgument(irInstruction, datasetId) {}
  ~OpCommonArgument() override = default;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_ARGUMENT_OP_BASE_ARGUMENT_H
