// StreamRunModelOp: the stream op of a run-model op.  Its counts and sizes come from its model (set by the
// factory from the op's "model_addr" attribute), not from the op engine.  When it is connected under its
// parent it plans the loop counts of itself and of the ops above it, so that the tensors produced above in
// one stream run equal the tensors the model consumes:
//   (parent chain loop count) x (parent output count T) = (own loop count) x (model inputs I x batch B),
// and copies the model's pre-processing settings ("scale<i>", "tensor_type<i>") onto its parent op.
// Without a model every count is 0, every size list empty and planning fails.
#ifndef QOBL_STREAM_OP_STREAM_RUNMODEL_OP_H
#define QOBL_STREAM_OP_STREAM_RUNMODEL_OP_H

#include <cstdint>
#include <vector>

#include "stream_op/stream_op.h"

namespace zenlar {
namespace qobl {

class StreamRunModelOp final : public StreamOp {
 public:
  explicit StreamRunModelOp(qobeOp* op) : StreamOp(op) {}
  ~StreamRunModelOp() override = default;

  uint32_t configCount() override;                        // 1
  // The model's device address (owned by the model, never freed by the caller); empty when the model
  // cannot give it.
  std::vector<uint64_t> getConfigAddressList() override;
  void configAddressesInto(std::vector<uint64_t>& out) override;
  std::vector<uint64_t> getBufferAddresses() override;    // empty
  void bufferAddressesInto(std::vector<uint64_t>& out) override { out.clear(); }
  uint32_t inputCount() override;                         // model inputs per batch position
  uint32_t outputCount() override;                        // model outputs per batch position
  // Per index, the model's size; an index the model cannot answer is skipped.
  std::vector<uint32_t> inputSizes() override;
  std::vector<uint32_t> outputSizes() override;
  // Loop planning against the parent, propagation of the parent chain's loop count up to the graph's input
  // op (or below the nearest run-model op above), the input op's output sizes, then
  // setModelSeparateOpAttrs().  False (with "Loop count conflict!" where the planned counts disagree with
  // earlier planning) on failure; nothing already written is undone.  A plan in which one device run would
  // hold more than kMaxLoopCount runs of this op or of its parent chain is refused before anything is
  // written: such counts come only from a parent declaring far more tensors than the model can consume,
  // and every later step (attributes per parent output, argument arrays per loop) would grow with them.
  bool setPreOpArg() override;
  static constexpr uint32_t kMaxLoopCount = 4096;
  uint32_t batchSize() override;                          // the model's batch size

  // Writes "scale0".."scale2" (float, from the model's first pre-op scale factor; none when the model has
  // none) and "tensor_type<i>" (int32) for every output i of the parent, on the parent's op.  True.
  bool setModelSeparateOpAttrs();
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_OP_STREAM_RUNMODEL_OP_H
