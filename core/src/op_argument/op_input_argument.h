// OpInputArgument: the argument of the graph's input op for one run.  It never goes to the card (the input
// op has no record and no array block): it collects on the host the application's input addresses of each
// loop and presents them, through getOutputs(loop, 0), as the input op's outputs to the ops it feeds.
//
// Host list after k additions: for each loop l < k the I input addresses, stored once (C = 0, B = 1, O = I):
// they are the loop's inputs and its outputs alike, and the ops it feeds read them in place.  It owns no
// device memory.  The list outlives a run: a run writes each loop's addresses over the last run's, noting
// whether they all stay the same (repeatsLastRun); the entries of loops not added yet are the last run's,
// which outputsAt and loopOutputs do not show.
#ifndef QOBL_OP_ARGUMENT_OP_INPUT_ARGUMENT_H
#define QOBL_OP_ARGUMENT_OP_INPUT_ARGUMENT_H

#include <algorithm>
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
  // Whether every address added since the restart is the one the list held at its place, and the list
  // holds no more loops than were added: the run's inputs are the last run's.
  bool repeatsLastRun() const {
    return repeatsLast_ && argPointersInDdr_.size() == static_cast<size_t>(addInputNum_) * header_.inputCount;
  }
  // The ops it feeds read the added loops' outputs: the base's lookup, resolved for this class.
  const uint64_t* outputsAt(uint32_t loopIndex, uint32_t batchIndex, uint32_t& count) override {
    if (loopIndex >= addInputNum_) return nullptr;
    return positionAt(loopIndex, batchIndex, true, count);
  }
  // The added loops' addresses, back to back at the list's start.
  const uint64_t* loopOutputs(uint32_t& count) override {
    count = static_cast<uint32_t>(
        std::min<size_t>(argPointersInDdr_.size(), static_cast<size_t>(addInputNum_) * header_.inputCount));
    return argPointersInDdr_.data();
  }
  // The argument never holds device memory (no array block, output or gathered blocks): a run's release
  // leaves the list to the next run, which compares its addresses with it.
  void releaseRun() override {}

 protected:
  void startKind() override;

 private:
  uint32_t addInputNum_ = 0;
  bool repeatsLast_ = true;  // the addresses added since the restart are those the list held
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_ARGUMENT_OP_INPUT_ARGUMENT_H
