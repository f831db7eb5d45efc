#include "tvm_model_runtime/tvm_model_runtime_creator.h"

#include <qobcrt/qobcrt.h>
#include <tvm/ir/expr.h>
#include <tvm/runtime/container.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/packed_func.h>
#include <tvm/runtime/registry.h>

#include <exception>
#include <utility>

namespace zenlar {
namespace qobl {

std::mutex TvmModelRuntimeCreator::tvmInitLock_;
bool TvmModelRuntimeCreator::bInit_ = false;

namespace {

using tvm::ir::StringImm;
using tvm::runtime::Array;
using tvm::runtime::Map;
using tvm::runtime::Module;
using tvm::runtime::PackedFunc;
using tvm::runtime::Registry;

// The card's device type towards the graph runtime.
constexpr int kCardDeviceType = 14;
// Mode argument of the create functions; the graph runtime gives it its meaning.
constexpr int kCreateMode = 0;

using ConfigMap = Map<std::string, StringImm>;

StringImm textExpr(const std::string& text) { return StringImm(text); }

// Loads a model library; the format follows from the file name.
bool loadLibrary(const std::string& path, Module& lib) {
  try {
    lib = Module::LoadFromFile(path, "");
  } catch (const std::exception&) {
    return false;
  }
  return lib.defined();
}

// Loads the parameter blobs into the created module through its own "load_params" (imported modules are
// not searched) and, when that succeeds, hands out a heap copy of the module.
int loadParamsAndPublish(const Module& created, const Array<StringImm>& params, void** model) {
  int err = 0;
  PackedFunc loadParams = created.GetFunction("load_params", false);
  if (loadParams == nullptr) return kTvmBridgeMissingFunction;
  loadParams(params, static_cast<void*>(&err));
  if (err == 0) *model = new Module(created);
  return err;
}

// Runs one creation, turning every exception of the runtime into a bridge code.
template <typename Body>
int guarded(Body body) {
  try {
    return body();
  } catch (...) {
    return kTvmBridgeException;
  }
}

}  // namespace

void TvmModelRuntimeCreator::initTvmRuntime() {
  std::lock_guard<std::mutex> lock(tvmInitLock_);
  if (!bInit_) {
    bInit_ = true;
    QOBCRegisterDeviceAPI();
  }
}

int TvmModelRuntimeCreator::createTvmModelRuntime(const std::string& modelName,
                                                  const std::string& model_lib_file,
                                                  const char* build_graph_json, const char* build_params_bin,
                                                  uint64_t build_params_bin_len, int deviceId,
                                                  const std::string& md5, const char* hwJson, void** model) {
  if (model == nullptr || build_graph_json == nullptr ||
      (build_params_bin == nullptr && build_params_bin_len != 0)) {
    return kTvmBridgeInvalidArgument;
  }
  return guarded([&]() -> int {
    int err = 0;
    std::string graph(build_graph_json);
    Module lib;
    if (!loadLibrary(model_lib_file, lib)) return kTvmBridgeLoadFailed;
    const PackedFunc* createFunc = Registry::Get("tvm.graph_runtime.create");
    if (createFunc == nullptr) return kTvmBridgeMissingFunction;
    PackedFunc create = *createFunc;

    ConfigMap config;
    config.Set("model_name", textExpr(md5 + ":0:" + modelName));
    if (hwJson != nullptr) config.Set("hwconfig_json", textExpr(hwJson));

    Module created = create(graph, lib, config, kCreateMode, static_cast<void*>(&err), kCardDeviceType,
                               deviceId);
    if (err != 0) return err;
    if (!created.defined()) return kTvmBridgeNullModule;

    Array<StringImm> params;
    params.push_back(textExpr(std::string(build_params_bin, static_cast<size_t>(build_params_bin_len))));
    return loadParamsAndPublish(created, params, model);
  });
}

int TvmModelRuntimeCreator::createDynamicTvmModelRuntime(const std::string& modelName,
                                                         const std::string& shapeRange,
                                                         const std::string& sharedParams,
                                                         const ModelFileSuiteCollection& suiteCollection,
                                                         int deviceId, const std::string& md5,
                                                         const char* hwJson, void** model) {
  if (model == nullptr) return kTvmBridgeInvalidArgument;
  for (const ModelFileSuite& member : suiteCollection) {
    if (std::get<1>(member) == nullptr || (std::get<2>(member) == nullptr && std::get<3>(member) != 0)) {
      return kTvmBridgeInvalidArgument;
    }
  }
  return guarded([&]() -> int {
    int err = 0;
    Array<StringImm> graphs;
    Array<Module> libs;
    Array<StringImm> params;
    for (const ModelFileSuite& member : suiteCollection) {
      graphs.push_back(textExpr(std::get<1>(member)));
      Module lib;
      if (!loadLibrary(std::get<0>(member), lib)) return kTvmBridgeLoadFailed;
      libs.push_back(lib);
      params.push_back(textExpr(std::string(std::get<2>(member), static_cast<size_t>(std::get<3>(member)))));
    }
    const PackedFunc* createFunc = Registry::Get("tvm.graph_runtime.dynamic_create2");
    if (createFunc == nullptr) return kTvmBridgeMissingFunction;
    PackedFunc create = *createFunc;

    ConfigMap config;
    config.Set("model_name", textExpr(md5 + "::" + modelName));
    config.Set("shape_ranges", textExpr(shapeRange));
    config.Set("shared_params", textExpr(sharedParams));
    if (hwJson != nullptr) config.Set("hwconfig_json", textExpr(hwJson));

    Module created = create(graphs, libs, config, kCreateMode, static_cast<void*>(&err), kCardDeviceType,
                               deviceId);
    if (err != 0) return err;
    if (!created.defined()) return kTvmBridgeNullModule;
    return loadParamsAndPublish(created, params, model);
  });
}

std::string TvmModelRuntimeCreator::tvmErrorCodeToString(int code) {
  switch (code) {
    case kTvmBridgeMissingFunction:
      return "graph runtime function not found";
    case kTvmBridgeNullModule:
      return "model module is null";
    case kTvmBridgeLoadFailed:
      return "model library could not be loaded";
    case kTvmBridgeException:
      return "graph runtime raised an error";
    case kTvmBridgeInvalidArgument:
      return "invalid model runtime argument";
    default:
      break;
  }
  try {
    const PackedFunc* describeFunc = Registry::Get("tvm.graph_runtime.error_string");
    if (describeFunc != nullptr) {
      PackedFunc describe = *describeFunc;
      std::string text = describe(code);
      return text;
    }
  } catch (...) {
    // fall through to the fixed text
  }
  return "unknown graph runtime error " + std::to_string(code);
}

}  // namespace qobl
}  // namespace zenlar
