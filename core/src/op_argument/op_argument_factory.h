// QoblOpArgumentFactory: makes the argument of one op for one run, by the op kind of its IR record.
#ifndef QOBL_OP_ARGUMENT_OP_ARGUMENT_FACTORY_H
#define QOBL_OP_ARGUMENT_OP_ARGUMENT_FACTORY_H

#include <cstdint>

#include "i_op_argument.h"
#include "op_instruction.h"

namespace zenlar {
namespace qobl {

class QoblOpArgumentFactory {
 public:
  // Kind 1: OpInputArgument, 2: OpRunModelArgument, 10: OpCopyMemArgument, any other: OpCommonArgument.
  // OWNERSHIP: the caller owns the new argument and deletes it through IOpArgument's virtual destructor.
  // A null record throws std::invalid_argument ("Failure of constructor of IOpArgument").
  static IOpArgument* createOpArgument(OpIRInstruction* irInstruction, uint32_t datasetId);
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_ARGUMENT_OP_ARGUMENT_FACTORY_H
