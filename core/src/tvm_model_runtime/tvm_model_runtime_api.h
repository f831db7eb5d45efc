// Queries and settings of a model module of the card graph runtime.
//
// A model module is the opaque handle made by TvmModelRuntimeCreator (a heap tvm::runtime::Module passed as
// void*). Every operation here looks one function up on that module (imported modules are not searched),
// calls it with its arguments followed by a pointer to an int error slot preset to 0, converts the value the
// function returns into plain containers and returns the error slot (0 = success).
//
// Result codes:
//  - 0 or the module function's own non-zero code (returned unchanged; turn it into text with
//    TvmModelRuntimeCreator::tvmErrorCodeToString);
//  - kTvmBridgeNullModule when the handle is null, kTvmBridgeMissingFunction when the module has no
//    function of that name (tvm_model_runtime_creator.h defines both codes).
//
// Exceptions: the returned value is converted whether or not the slot is 0. A value of the wrong type (for
// example no list where a list is expected), or a module function that throws, raises tvm::Error (derived
// from std::runtime_error) out of these functions; the model object catches it as one of its own failures.
// On such an exception the out-parameter may already hold part of the result.
//
// Out-parameters: scalars and strings are overwritten; list results are appended to what the caller's
// container already holds.
//
// Stateless; thread safety is that of the module functions themselves.
#ifndef QOBL_TVM_MODEL_RUNTIME_API_H
#define QOBL_TVM_MODEL_RUNTIME_API_H

#include <dlpack/dlpack.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zenlar {
namespace qobl {

// A list of shapes, one inner list of extents per tensor, outermost dimension first.
using modelShape = std::vector<std::vector<int64_t>>;

// Reads a data-type text such as "float16", "uint8", "int8x4", "bool", "handle" or "bfloat16".
// "" gives code 3 (opaque handle), bits 0, lanes 0. Otherwise bits default to 32 and lanes to 1; the prefix
// "int" gives code 0, "uint" 1, "float" 2, "handle" 3 with bits 64, "bfloat" 4, and the whole text "bool"
// gives 1/1/1. A non-zero decimal number after the prefix sets bits, then "x" and a decimal number set lanes.
// An unknown prefix logs "unknown type <text>" at ERROR and the text is read as a number from its start,
// with code 3; characters left over after the number and lanes (or a number too large for its field) log
// "unknown type <text>" once more.
DLDataType str_to_dltype(const std::string& text);

class TvmModelRuntimeApi {
 public:
  // "get_module_input_num"(moduleNodeName): inputs per batch item of the module node.
  static int getInputCountPerBatch(void* module, const std::string& moduleNodeName, int& count);
  // "get_output_num"(): outputs per batch item.
  static int getOutputCountPerBatch(void* module, int& count);
  // "get_max_batchsize"(): largest batch size of a static model.
  static int getMaxBatchSize(void* module, uint32_t& batchSize);
  // "get_max_batchsize"(shapes): largest batch size for the given input shapes (extents sent as 32-bit
  // integers; larger extents are narrowed).
  static int getMaxBatchSize(void* module, const modelShape& shapes, uint32_t& batchSize);
  // "set_batch_size"(batchSize): selects the module node for the batch size; name receives its name.
  static int setBatchSize(void* module, uint32_t batchSize, std::string& name);
  // "set_batch_size"(shapes, batchSize): the same for a dynamic model and its current input shapes.
  static int setBatchSize(void* module, uint32_t batchSize, const modelShape& shapes, std::string& name);
  // "set_input_shape"(shapes): the returned value is ignored.
  static int setInputShapes(void* module, const modelShape& shapes);
  // "get_input_shapes"(moduleNodeName): one shape per input, appended to shapes.
  static int getInputShapes(void* module, const std::string& moduleNodeName, modelShape& shapes);
  // "get_module_input_bytes"(moduleNodeName): byte size of each input, appended to sizes.
  static int getInputSizes(void* module, const std::string& moduleNodeName, std::vector<int64_t>& sizes);
  // "get_input_dims"(): rank of each input, appended to dims.
  static int getInputDims(void* module, std::vector<int64_t>& dims);
  // "get_output_shape"(index, moduleNodeName): extents of output index, appended to shape.
  static int getOutputShape(void* module, const std::string& moduleNodeName, int index,
                            std::vector<int64_t>& shape);
  // "get_output_core_shapes"(index, moduleNodeName): the core tensors of output index, appended to shapes.
  static int getOutputCoreShapes(void* module, const std::string& moduleNodeName, int index,
                                 modelShape& shapes);
  // "get_align_output_bytes"(index, moduleNodeName): bytes of output index in its core layout.
  static int getAlignOutputSize(void* module, const std::string& moduleNodeName, int index, int64_t& size);
  // "get_module_input_dtype"(index, moduleNodeName): element type of input index.
  static int getInputDataType(void* module, const std::string& moduleNodeName, int index, DLDataType& dlType);
  // "get_output_dtype"(index): element type of output index.
  static int getOutputDataType(void* module, int index, DLDataType& dlType);
  // "free_module"(moduleNodeName): the returned value is ignored.
  static int freeModuleNode(void* module, const std::string& moduleNodeName);
  // Destroys the module handle made by TvmModelRuntimeCreator and frees it; the handle is invalid
  // afterwards. A null handle is accepted. Returns 0.
  static int freeTvmModule(void* module);
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_TVM_MODEL_RUNTIME_API_H
