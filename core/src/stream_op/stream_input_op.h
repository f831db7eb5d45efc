// StreamInputOp: the stream op of a graph's input op.  It hands on as many tensors as it receives; its output
// sizes are fixed from outside, by a run-model op's planning at connect time or by graph validation.
#ifndef QOBL_STREAM_OP_STREAM_INPUT_OP_H
#define QOBL_STREAM_OP_STREAM_INPUT_OP_H

#include <cstdint>
#include <vector>

#include "stream_op/stream_op.h"

namespace zenlar {
namespace qobl {

class StreamInputOp final : public StreamOp {
 public:
  explicit StreamInputOp(qobeOp* op) : StreamOp(op) {}
  ~StreamInputOp() override = default;

  uint32_t configCount() override;                    // 1
  std::vector<uint64_t> getConfigAddressList() override;  // empty
  std::vector<uint64_t> getBufferAddresses() override;    // empty
  void bufferAddressesInto(std::vector<uint64_t>& out) override { out.clear(); }
  uint32_t outputCount() override;                    // inputCount(): the op's "input_count"
  std::vector<uint32_t> inputSizes() override;        // always empty
  std::vector<uint32_t> outputSizes() override;       // as last set
  bool setOutputSizes(std::vector<uint32_t>& sizes) override;  // copies sizes; true
  bool setPreOpArg() override;                        // true
  uint32_t batchSize() override;                      // 1

 private:
  std::vector<uint32_t> inputSizes_;   // never filled
  std::vector<uint32_t> outputSizes_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_OP_STREAM_INPUT_OP_H
