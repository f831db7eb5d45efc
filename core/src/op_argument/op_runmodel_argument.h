// OpRunModelArgument: the argument of a run-model op for one run.
//
// Header: L from the IR record, C = 1, and B, I, O asked from the op's model.  Pointer list: L configuration
// entries, all the model's device address; then for each loop l, batch position b: the model's I inputs
// (the input op's outputs, gathered over the input op's loops) and its O outputs.
//
// Device memory: the array block (stream memory) and, for a non-leaf op, one inout block per (loop, batch
// position, output) sized by the model's output size; all released once at destruction (DeviceBlock).
// The model's address belongs to the model and a leaf op's outputs to the application: never held here.
#ifndef QOBL_OP_ARGUMENT_OP_RUNMODEL_ARGUMENT_H
#define QOBL_OP_ARGUMENT_OP_RUNMODEL_ARGUMENT_H

#include <cstdint>
#include <vector>

#include "op_argument/op_base_argument.h"

namespace zenlar {
namespace qobl {

class OpRunModelArgument final : public BaseOpArgument {
 public:
  OpRunModelArgument(OpIRInstruction* irInstruction, uint32_t datasetId);
  ~OpRunModelArgument() override = default;

  // Fails (logged) when the gathered inputs are not exactly B*I*L addresses ("... input count of run model op
  // mismatch with output count of input op"), when a leaf op's outputAddress runs out ("... user input
  // output address count is not enough"), or on a failing device call; fails silently when irBufferList or
  // its first configuration list is empty.
  bool buildOpArgArray(IOpArgument* inputOpArg, const std::vector<OpIRBuffer>& irBufferList,
                       const std::vector<uint64_t>& outputAddress) override;
  // A leaf op's list is the model's address, its inputs and the application's outputs: it is kept when the
  // model's address and counts are those it was made for.  A non-leaf op allocates new outputs for every
  // run: its list is always built anew.
  bool takeLastList(const std::vector<OpIRBuffer>& irBufferList) override {
    return isLeaf_ && !irBufferList.empty() && !irBufferList[0].opConfigList.empty() &&
           keepListIf(irBufferList[0].opConfigList[0]);
  }

 protected:
  void startKind() override;   // the header's batch size and counts from the model
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_ARGUMENT_OP_RUNMODEL_ARGUMENT_H
