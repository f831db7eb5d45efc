#include "op_argument/op_argument_factory.h"

#include <qobe/qobe.h>

#include <stdexcept>

#include "op_argument/op_base_argument.h"
#include "op_argument/op_copy_mem_argument.h"
#include "op_argument/op_input_argument.h"
#include "op_argument/op_runmodel_argument.h"

namespace zenlar {
namespace qobl {

IOpArgument* QoblOpArgumentFactory::createOpArgument(OpIRInstruction* irInstruction, uint32_t datasetId) {
  if (irInstruction == nullptr) throw std::invalid_argument("Failure of constructor of IOpArgument");
  switch (irInstruction->opType) {
    case qobeOP_INPUT_OP:
      return new OpInputArgument(irInstruction, datasetId);
    case qobeOP_RUN_MODEL_OP:
      return new OpRunModelArgument(irInstruction, datasetId);
    case qobeOP_MEM_COPY_OP:
      return new OpCopyMemArgument(irInstruction, datasetId);
    default:
      return new OpCommonArgument(irInstruction, datasetId);
  }
}

}  // namespace qobl
}  // namespace zenlar
