// Creation of model modules in the card graph runtime, from model files already read into memory.
//
// A model module is handed out as void*: a heap-allocated tvm::runtime::Module. Its owner (the model
// object) releases it with TvmModelRuntimeApi::freeTvmModule. The library modules loaded here are kept
// alive by the created module. Buffers passed in (graph texts, parameter blobs, hardware configuration)
// are only read during the call; the caller frees them afterwards.
//
// Results: 0 on success, otherwise the graph runtime's error code returned unchanged, or one of the
// kTvmBridge* codes below for failures found before or around the runtime's functions. Nothing is logged
// and no exception leaves these functions.
#ifndef QOBL_TVM_MODEL_RUNTIME_CREATOR_H
#define QOBL_TVM_MODEL_RUNTIME_CREATOR_H

#include <cstdint>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace zenlar {
namespace qobl {

// Codes of the bridge itself (negative, so they never meet a code of the graph runtime).
constexpr int kTvmBridgeMissingFunction = -7001;  // a global or module function is not registered
constexpr int kTvmBridgeNullModule = -7002;       // the module handle is null
constexpr int kTvmBridgeLoadFailed = -7003;       // a model library could not be loaded
constexpr int kTvmBridgeException = -7004;        // the runtime raised an error during creation
constexpr int kTvmBridgeInvalidArgument = -7005;  // a null graph text, parameter blob or out slot

// One member of a model: library path, graph JSON text (NUL-terminated, owned by the caller), parameter
// blob (owned by the caller) and the blob's length in bytes. The blob may contain NUL bytes.
using ModelFileSuite = std::tuple<std::string, const char*, const char*, uint64_t>;
// Members in suite order; the order is kept in every list handed to the runtime.
using ModelFileSuiteCollection = std::vector<ModelFileSuite>;

class TvmModelRuntimeCreator {
 public:
  // Registers the card's device interface with the TVM runtime on the first call of the process
  // (QOBCRegisterDeviceAPI). The flag is set before the registration call, so it is never retried. Safe
  // to call from several threads.
  static void initTvmRuntime();

  // Creates the graph-runtime module of a static model through "tvm.graph_runtime.create", named
  // md5 + ":0:" + modelName, with the hardware configuration when hwJson is not null, then loads its
  // parameters (exactly build_params_bin_len bytes). On success *model receives a new module handle;
  // on any failure *model is not written.
  static int createTvmModelRuntime(const std::string& modelName, const std::string& model_lib_file,
                                   const char* build_graph_json, const char* build_params_bin,
                                   uint64_t build_params_bin_len, int deviceId, const std::string& md5,
                                   const char* hwJson, void** model);

  // Creates the combined module of a dynamic model through "tvm.graph_runtime.dynamic_create2" from every
  // member of suiteCollection in order, named md5 + "::" + modelName, with the shape ranges, the shared
  // parameters and (when not null) the hardware configuration, then loads every member's parameters.
  // *model as above.
  static int createDynamicTvmModelRuntime(const std::string& modelName, const std::string& shapeRange,
                                          const std::string& sharedParams,
                                          const ModelFileSuiteCollection& suiteCollection, int deviceId,
                                          const std::string& md5, const char* hwJson, void** model);

  // The graph runtime's text for an error code ("tvm.graph_runtime.error_string"); the bridge's own codes
  // have their own texts, and a fixed fallback text is returned when the runtime cannot describe the code.
  static std::string tvmErrorCodeToString(int code);

 private:
  static std::mutex tvmInitLock_;
  static bool bInit_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_TVM_MODEL_RUNTIME_CREATOR_H
