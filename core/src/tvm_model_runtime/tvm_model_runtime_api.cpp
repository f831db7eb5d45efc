#include "tvm_model_runtime/tvm_model_runtime_api.h"

#include <tvm/ir/expr.h>
#include <tvm/runtime/container.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/packed_func.h>

#include <cctype>
#include <limits>

#include "qobl_log.h"
#include "tvm_model_runtime/tvm_model_runtime_creator.h"

namespace zenlar {
namespace qobl {

namespace {

using tvm::Integer;
using tvm::runtime::Array;
using tvm::runtime::Module;
using tvm::runtime::PackedFunc;
using tvm::runtime::TVMRetValue;

// Reads a run of decimal digits at text[pos]; false when there is none or the value exceeds limit
// (pos is then left after the digits). value is written only on success.
bool readDecimal(const std::string& text, size_t& pos, uint64_t limit, uint64_t& value) {
  size_t start = pos;
  uint64_t v = 0;
  bool overflow = false;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) != 0) {
    if (!overflow) {
      v = v * 10 + static_cast<uint64_t>(text[pos] - '0');
      if (v > limit) overflow = true;
    }
    ++pos;
  }
  if (pos == start || overflow) return false;
  value = v;
  return true;
}

bool hasPrefix(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The module function `name` of the handle, searched without imported modules. rc receives
// kTvmBridgeNullModule or kTvmBridgeMissingFunction when there is no function to call.
PackedFunc findFunction(void* module, const char* name, int& rc) {
  if (module == nullptr) {
    rc = kTvmBridgeNullModule;
    return PackedFunc();
  }
  PackedFunc f = static_cast<Module*>(module)->GetFunction(name, false);
  if (f == nullptr) rc = kTvmBridgeMissingFunction;
  return f;
}

// Shapes as the module takes them: one list of 32-bit Integer per tensor.
Array<Array<Integer>> toModuleShapes(const modelShape& shapes) {
  Array<Array<Integer>> out;
  for (const std::vector<int64_t>& shape : shapes) {
    Array<Integer> dims;
    for (int64_t extent : shape) dims.push_back(Integer(static_cast<int>(extent)));
    out.push_back(dims);
  }
  return out;
}

void appendInts(const Array<Integer>& values, std::vector<int64_t>& out) {
  for (const Integer& v : values) out.push_back(static_cast<int64_t>(v->value));
}

void appendShapes(const Array<Array<Integer>>& shapes, modelShape& out) {
  for (const Array<Integer>& shape : shapes) {
    std::vector<int64_t> dims;
    appendInts(shape, dims);
    out.push_back(std::move(dims));
  }
}

void* slotOf(int& err) { return static_cast<void*>(&err); }

}  // namespace

DLDataType str_to_dltype(const std::string& text) {
  DLDataType t;
  if (text.empty()) {
    t.code = kDLOpaqueHandle;
    t.bits = 0;
    t.lanes = 0;
    return t;
  }
  t.code = kDLOpaqueHandle;
  t.bits = 32;
  t.lanes = 1;
  size_t pos = 0;
  if (hasPrefix(text, "int")) {
    t.code = kDLInt;
    pos = 3;
  } else if (hasPrefix(text, "uint")) {
    t.code = kDLUInt;
    pos = 4;
  } else if (hasPrefix(text, "float")) {
    t.code = kDLFloat;
    pos = 5;
  } else if (hasPrefix(text, "handle")) {
    t.code = kDLOpaqueHandle;
    t.bits = 64;
    pos = 6;
  } else if (text == "bool") {
    t.code = kDLUInt;
    t.bits = 1;
    t.lanes = 1;
    return t;
  } else if (hasPrefix(text, "bfloat")) {
    t.code = kDLBfloat;
    pos = 6;
  } else {
    QOBL_LOG_ERROR("unknown type %s\n", text.c_str());
  }

  bool clean = true;
  uint64_t value = 0;
  size_t digits = pos;
  if (readDecimal(text, pos, std::numeric_limits<uint8_t>::max(), value)) {
    if (value != 0) t.bits = static_cast<uint8_t>(value);
  } else if (pos != digits) {
    clean = false;  // a bit count too large for its field
  }
  if (clean && pos + 1 < text.size() && text[pos] == 'x' &&
      std::isdigit(static_cast<unsigned char>(text[pos + 1])) != 0) {
    ++pos;
    if (readDecimal(text, pos, std::numeric_limits<uint16_t>::max(), value)) {
      t.lanes = static_cast<uint16_t>(value);
    } else {
      clean = false;  // a lane count too large for its field
    }
  }
  if (!clean || pos != text.size()) QOBL_LOG_ERROR("unknown type %s\n", text.c_str());
  return t;
}

int TvmModelRuntimeApi::getInputCountPerBatch(void* module, const std::string& moduleNodeName, int& count) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_module_input_num", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(moduleNodeName, slotOf(err));
  count = rv;
  return err;
}

int TvmModelRuntimeApi::getOutputCountPerBatch(void* module, int& count) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_output_num", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(slotOf(err));
  count = rv;
  return err;
}

int TvmModelRuntimeApi::getMaxBatchSize(void* module, uint32_t& batchSize) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_max_batchsize", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(slotOf(err));
  int value = rv;
  batchSize = static_cast<uint32_t>(value);
  return err;
}

int TvmModelRuntimeApi::getMaxBatchSize(void* module, const modelShape& shapes, uint32_t& batchSize) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_max_batchsize", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(toModuleShapes(shapes), slotOf(err));
  int value = rv;
  batchSize = static_cast<uint32_t>(value);
  return err;
}

int TvmModelRuntimeApi::setBatchSize(void* module, uint32_t batchSize, std::string& name) {
  int err = 0;
  PackedFunc f = findFunction(module, "set_batch_size", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(batchSize, slotOf(err));
  name = rv.operator std::string();
  return err;
}

int TvmModelRuntimeApi::setBatchSize(void* module, uint32_t batchSize, const modelShape& shapes,
                                     std::string& name) {
  int err = 0;
  PackedFunc f = findFunction(module, "set_batch_size", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(toModuleShapes(shapes), batchSize, slotOf(err));
  name = rv.operator std::string();
  return err;
}

int TvmModelRuntimeApi::setInputShapes(void* module, const modelShape& shapes) {
  int err = 0;
  PackedFunc f = findFunction(module, "set_input_shape", err);
  if (f == nullptr) return err;
  f(toModuleShapes(shapes), slotOf(err));
  return err;
}

int TvmModelRuntimeApi::getInputShapes(void* module, const std::string& moduleNodeName, modelShape& shapes) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_input_shapes", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(moduleNodeName, slotOf(err));
  Array<Array<Integer>> result = rv;
  appendShapes(result, shapes);
  return err;
}

int TvmModelRuntimeApi::getInputSizes(void* module, const std::string& moduleNodeName,
                                      std::vector<int64_t>& sizes) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_module_input_bytes", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(moduleNodeName, slotOf(err));
  Array<Integer> result = rv;
  appendInts(result, sizes);
  return err;
}

int TvmModelRuntimeApi::getInputDims(void* module, std::vector<int64_t>& dims) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_input_dims", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(slotOf(err));
  Array<Integer> result = rv;
  appendInts(result, dims);
  return err;
}

int TvmModelRuntimeApi::getOutputShape(void* module, const std::string& moduleNodeName, int index,
                                       std::vector<int64_t>& shape) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_output_shape", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(index, moduleNodeName, slotOf(err));
  Array<Integer> result = rv;
  appendInts(result, shape);
  return err;
}

int TvmModelRuntimeApi::getOutputCoreShapes(void* module, const std::string& moduleNodeName, int index,
                                            modelShape& shapes) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_output_core_shapes", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(index, moduleNodeName, slotOf(err));
  Array<Array<Integer>> result = rv;
  appendShapes(result, shapes);
  return err;
}

int TvmModelRuntimeApi::getAlignOutputSize(void* module, const std::string& moduleNodeName, int index,
                                           int64_t& size) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_align_output_bytes", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(index, moduleNodeName, slotOf(err));
  int64_t value = rv;
  size = value;
  return err;
}

int TvmModelRuntimeApi::getInputDataType(void* module, const std::string& moduleNodeName, int index,
                                         DLDataType& dlType) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_module_input_dtype", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(index, moduleNodeName, slotOf(err));
  std::string text = rv;
  dlType = str_to_dltype(text);
  return err;
}

int TvmModelRuntimeApi::getOutputDataType(void* module, int index, DLDataType& dlType) {
  int err = 0;
  PackedFunc f = findFunction(module, "get_output_dtype", err);
  if (f == nullptr) return err;
  TVMRetValue rv = f(index, slotOf(err));
  std::string text = rv;
  dlType = str_to_dltype(text);
  return err;
}

int TvmModelRuntimeApi::freeModuleNode(void* module, const std::string& moduleNodeName) {
  int err = 0;
  PackedFunc f = findFunction(module, "free_module", err);
  if (f == nullptr) return err;
  f(moduleNodeName, slotOf(err));
  return err;
}

int TvmModelRuntimeApi::freeTvmModule(void* module) {
  delete static_cast<Module*>(module);
  return 0;
}

}  // namespace qobl
}  // namespace zenlar
