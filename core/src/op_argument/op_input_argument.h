// OpInputArgument: the argument of the graph's input op for one run.  It never goes to the card (the input
// op has no record and no array block): it collects on the host the application's input addresses of each
// loop and presents them, through getOutputs(loop, 0), as the input op's outputs to the ops it feeds.
//
// Host list after k additions: for each loop l < k the I input addresses, stored once (C = 0, B = 1, O = I):
// they are the loop's inputs and its outputs alike, and the ops it feeds read them in place.  It owns no
// device memory.
#ifndef QOBL_OP_ARGUMENT_OP_INPUT_ARGUMENT_H
#define QOBL_OP_ARGUMENT_OP_INPUT_ARGUMENT_H

#include <cstdint>

#include "op_argument/op_base_argument.h"

namespace zenlar {
namespace qobl {

class OpInputArgument final : public BaseOpArgument {
 public:
  OpInputArgument(OpIRInstruction* irInstruction, uint32_t datasetId);
  ~OpInputArgument() override = default;

  // Adds the input set of the next loop.  False (logged) when inputCount differs from the op's input count
  // ("Real input shape mismatch with the shape of stream. \n"; nothing changes) or when every loop already
  // has its inputs ("Input buffer overflow. \n"; the counter stays raised, so isBufferReady() turns false).
  bool addInputArg(const uint64_t* inputs, uint32_t inputCount);
  // True when exactly loopCount() input sets have been added.
  bool isBufferReady() { return addInputNum_ == header_.loopCount; }
  // The ops it feeds read every loop's outputs: the base's lookup, resolved for this class.
  const uint64_t* outputsAt(uint32_t loopIndex, uint32_t batchIndex, uint32_t& count) override {
    return positionAt(loopIndex, batchIndex, true, count);
  }
  // The list is every loop's addresses back to back.
  const uint64_t* loopOutputs(uint32_t& count) override {
    count = static_cast<uint32_t>(argPointersInDdr_.size());
    return argPointersInDdr_.data();
  }
  // The argument never holds device memory (no array block, output or gathered blocks): a run's release
  // only empties the list (the base class's restart calls it when the list holds something).
  void releaseRun() override { argPointersInDdr_.clear(); }

 protected:
  void startKind() override;

 private:
  uint32_t addInputNum_ = 0;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_ARGUMENT_OP_INPUT_ARGUMENT_H
