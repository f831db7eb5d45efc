// OpCopyMemArgument: the argument of a memory-copy op for one run.
//
// Header after the build: B and O from the model of the run-model op before it (the op's IR `model`),
// I = O, C = L.  Pointer list: L configuration entries (the run's device copy of the tensor copy
// configuration), then for each loop l, batch position b: the run-model argument's O outputs of (l, b) as
// inputs, then the O outputs.  The configuration region therefore holds L entries (not L*C); getInputs,
// getOutputs, getConfigs and setOutputArg use that length.
//
// Device memory, released once at destruction (DeviceBlock): the configuration blocks adopted for the run
// (one stream-memory block per loop), the output blocks allocated here for a non-leaf op (shared DDR) and
// the array block.  A model output of size 0 gets
// the address 0 and no block.  A leaf op's outputs are the application's.  No output sizes are recorded:
// getOutputSize is 0 for every address.
#ifndef QOBL_OP_ARGUMENT_OP_COPY_MEM_ARGUMENT_H
#define QOBL_OP_ARGUMENT_OP_COPY_MEM_ARGUMENT_H

#include <cstdint>
#include <vector>

#include "i_model.h"
#include "op_argument/op_base_argument.h"

namespace zenlar {
namespace qobl {

class OpCopyMemArgument final : public BaseOpArgument {
 public:
  OpCopyMemArgument(OpIRInstruction* irInstruction, uint32_t datasetId);
  ~OpCopyMemArgument() override = default;

  uint64_t batchSize() override;     // the model's batch size; 0 when it cannot be read
  uint32_t inputCount() override;    // outputCount()
  uint32_t outputCount() override;   // the model's output count; 0 when it cannot be read
  // Fails silently when irBufferList or its first configuration list is empty (the op's input is not a
  // run-model op); fails (logged) when the outputs are not exactly O*L*B addresses ("Mismatch output address
  // count, expected %u but %u is specified.\n"), when the input op's argument lacks a position, or on a
  // failing device call.
  bool buildOpArgArray(IOpArgument* inputOpArg, const std::vector<OpIRBuffer>& irBufferList,
                       const std::vector<uint64_t>& outputAddress) override;

 protected:
  uint32_t configRegionLength() override;

 private:
  // A new shared-DDR block of the model's output size `index`; 0 when that size is 0 or unknown (no block)
  // or the allocation fails (logged).
  uint64_t _buildOutputAddr(IModel* model, uint32_t index, uint32_t devId);

  // A non-leaf op's output blocks, every (loop, batch position, output) in order; kept with its capacity.
  std::vector<uint64_t> outputAddrs_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_ARGUMENT_OP_COPY_MEM_ARGUMENT_H
