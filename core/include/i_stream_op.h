// IStreamOp: the library's uniform view of one op of an op graph.
//
// Every graph node wraps exactly one stream op, and every stream op wraps one op-engine op (qobeOp), which it
// never frees (op-engine ops belong to the application).  Validation, ordering, argument and instruction
// building ask a stream op for its counts, sizes, configuration addresses and buffers without knowing its
// kind.  The classes are StreamOp (generic ops, answers from op-engine attributes), StreamInputOp (the
// graph's input op), StreamRunModelOp (runs a model) and StreamCopyMemOp (gathers a model's core tensors);
// qoblUtilsCreateStreamOp (core/src/stream_op/stream_op.h) picks the class for an op.
//
// OWNERSHIP: stream ops are made with new by qoblUtilsCreateStreamOp; the caller owns the result and
// deletes it through this interface's virtual destructor once nothing refers to it any more (the graph
// layer ties it to the node that wraps it).  A stream op does not own its model (models belong to the model
// manager) nor its input op (another node's stream op).
//
// Threads: no locks.  Stream ops are changed while a graph and a stream are built, from the caller's
// thread; during runs they are only read (getConfigAddressList may build the host copy of a memory-copy
// op's configuration on first use, see StreamCopyMemOp).
#ifndef QOBL_I_STREAM_OP_H
#define QOBL_I_STREAM_OP_H

#include <qobe/qobe.h>

#include <cstdint>
#include <string>
#include <vector>

#include "i_model.h"
#include "qobl_shape.h"

namespace zenlar {
namespace qobl {

class IStreamOp {
 public:
  virtual ~IStreamOp() = default;

  // The op engine's "type_id" (20000 identifies a run-model op); 0 when unreadable.
  virtual int32_t typeId() = 0;
  // The op kind ("op_type"): 1 input, 2 run-model, 10 memory-copy, others generic.
  virtual uint32_t opType() = 0;
  virtual uint32_t deviceId() = 0;
  // Writes "device_id"; true when the op engine accepted it.
  virtual bool setDeviceId(uint32_t deviceId) = 0;
  virtual uint32_t uid() = 0;
  // Configuration addresses per loop.
  virtual uint32_t configCount() = 0;
  virtual uint32_t bufferCount() = 0;
  // The model the op runs (run-model op) or reads from (memory-copy op); null otherwise.  Not owned.
  virtual IModel* getModel() = 0;
  virtual bool setModel(IModel* model) = 0;
  // Configuration addresses for one loop of one run, made now.  Generic op: fresh op-engine blocks;
  // memory-copy op: a fresh stream-memory copy of its tensor copy configuration; run-model op: the model's
  // address (owned by the model); input op: empty.  OWNERSHIP: every block made by this call belongs to the
  // caller, who frees it with qobcrt_free_stream on the op's device (a run-model op's model address is not
  // such a block).
  virtual std::vector<uint64_t> getConfigAddressList() = 0;
  // getConfigAddressList into `out` (replacing its contents); an op that can answer without a fresh list
  // overrides it so that the run path reuses `out`'s capacity.
  virtual void configAddressesInto(std::vector<uint64_t>& out) { out = getConfigAddressList(); }
  // Working buffer addresses ("buffer_address"), bufferCount() entries for a generic op (a failed read
  // gives 0); empty for the input, run-model and memory-copy ops.
  virtual std::vector<uint64_t> getBufferAddresses() = 0;
  // getBufferAddresses into `out` (replacing its contents), reusing its capacity where the op allows.
  virtual void bufferAddressesInto(std::vector<uint64_t>& out) { out = getBufferAddresses(); }
  virtual std::string name() = 0;
  virtual uint32_t streamId() = 0;
  virtual void setStreamId(uint32_t streamId) = 0;
  virtual uint32_t inputCount() = 0;
  virtual uint32_t outputCount() = 0;
  // Byte sizes, one per input / output.
  virtual std::vector<uint32_t> inputSizes() = 0;
  virtual std::vector<uint32_t> outputSizes() = 0;
  // Fixes the output sizes (input op only; the others accept and ignore it).
  virtual bool setOutputSizes(std::vector<uint32_t>& sizes) = 0;
  virtual bool isRunmodelInput() = 0;
  virtual bool isAllPropertiesConfigured() = 0;
  virtual uint64_t bufferAddr() = 0;
  virtual qobeOp* getOp() = 0;
  // Stores the parent's stream op, then runs setPreOpArg() and returns its result.
  virtual bool setInputOp(IStreamOp* inputOp) = 0;
  // Runs of this op per stream run; 1 at construction.
  virtual uint32_t loopCount() = 0;
  virtual void setLoopCount(uint32_t loopCount) = 0;
  // The parent's stream op; null for the graph's input op and before setInputOp.
  virtual IStreamOp* getInputOp() = 0;
  // Work done when the op is connected under its parent (loop planning for a run-model op).
  virtual bool setPreOpArg() = 0;
  // Batch positions per loop: the model's batch size for run-model and memory-copy ops, else 1.
  virtual uint32_t batchSize() = 0;
  virtual void markGetOutputFlag() = 0;
  virtual bool getOutputFlag() = 0;
  virtual bool isLeafNode() = 0;
  virtual void markAsLeafNode() = 0;
  virtual std::vector<qoblShape> getInputShapes() = 0;
  virtual std::vector<qoblShape> getOutputShapes() = 0;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_I_STREAM_OP_H
