// ModelMgr: model module creation and the model objects around them.
#include "model_mgr.h"

#include <exception>
#include <mutex>
#include <unordered_set>

#include "model.h"
#include "qobl_log.h"
#include "tvm_model_runtime/tvm_model_runtime_api.h"

namespace zenlar {
namespace qobl {

namespace {

// The models made and not yet released.  Run-model ops carry their model's address as an op attribute,
// which the application can keep (or forge) after the model is gone; graph building and stream creation
// ask this set before they use such an address.  Never destroyed: models may be released while the process
// exits.
struct LiveModels {
  std::mutex mu;
  std::unordered_set<const IModel*> models;
};
LiveModels& liveModels() {
  static LiveModels* const live = new LiveModels();
  return *live;
}

// Wraps a freshly created module in a model and records it as live; the module (and the model) is freed
// when that fails.
bool adoptModule(IModel** pModel, void* module, const std::string& name, uint32_t deviceId, bool isDynamic) {
  Model* model = nullptr;
  try {
    model = new Model(module, name, deviceId, isDynamic);
  } catch (const std::exception&) {
    TvmModelRuntimeApi::freeTvmModule(module);
    return false;
  }
  try {
    ModelMgr::trackLive(model);
  } catch (const std::exception&) {
    delete model;  // frees the module
    return false;
  }
  *pModel = model;
  return true;
}

// Logs why the model runtime refused the model: its code and its own text (which names, for instance, the
// hardware-configuration key at fault).  The text is asked for on the failing thread, where the runtime
// keeps the detail of its last failure.
void logCreateFailure(const char* kind, const std::string& name, int rc) {
  const std::string text = TvmModelRuntimeCreator::tvmErrorCodeToString(rc);
  QOBL_LOG_ERROR("Failed to create %s model %s: model runtime error %d: %s\n", kind, name.c_str(), rc, text.c_str());
}

// Creates a module with `create` (the model runtime's code; the module into its argument) and wraps it in
// a model named `name`.  False, writing nothing, when the runtime refuses it (logged).
template <class Create>
bool createWith(IModel** pModel, bool isDynamic, const std::string& name, uint32_t deviceId, Create&& create) {
  if (pModel == nullptr) return false;
  const char* kind = isDynamic ? "dynamic" : "static";
  void* module = nullptr;
  try {
    TvmModelRuntimeCreator::initTvmRuntime();
    const int rc = create(&module);
    if (rc != 0 || module == nullptr) {
      logCreateFailure(kind, name, rc);
      return false;
    }
  } catch (const std::exception& e) {
    QOBL_LOG_ERROR("Failed to create %s model %s: %s\n", kind, name.c_str(), e.what());
    return false;
  }
  return adoptModule(pModel, module, name, deviceId, isDynamic);
}

}  // namespace

bool ModelMgr::createModel(IModel** pModel, const std::string& modLib, const char* graphJson,
                           const char* paramsBin, uint64_t paramsBinLen, const char* hwJson,
                           const std::string& modelMd5, uint32_t deviceId) {
  return createWith(pModel, false, modelMd5, deviceId, [&](void** module) {
    return TvmModelRuntimeCreator::createTvmModelRuntime(modelMd5, modLib, graphJson, paramsBin, paramsBinLen,
                                                         static_cast<int>(deviceId), modelMd5, hwJson, module);
  });
}

bool ModelMgr::createDynamicModel(IModel** pModel, const std::string& shapeRange, const std::string& sharedParams,
                                  const ModelFileSuiteCollection& suiteCollection, const char* hwJson,
                                  const std::string& modelMd5, uint32_t deviceId) {
  return createWith(pModel, true, modelMd5, deviceId, [&](void** module) {
    return TvmModelRuntimeCreator::createDynamicTvmModelRuntime(modelMd5, shapeRange, sharedParams, suiteCollection,
                                                                static_cast<int>(deviceId), modelMd5, hwJson, module);
  });
}

bool ModelMgr::releaseModel(IModel* pModel) {
  if (pModel == nullptr) return true;
  forgetLive(pModel);
  delete pModel;
  return true;
}

bool ModelMgr::isLive(const IModel* model) {
  if (model == nullptr) return false;
  LiveModels& live = liveModels();
  std::lock_guard<std::mutex> lock(live.mu);
  return live.models.count(model) != 0;
}

void ModelMgr::trackLive(const IModel* model) {
  LiveModels& live = liveModels();
  std::lock_guard<std::mutex> lock(live.mu);
  live.models.insert(model);
}

void ModelMgr::forgetLive(const IModel* model) {
  LiveModels& live = liveModels();
  std::lock_guard<std::mutex> lock(live.mu);
  live.models.erase(model);
}

}  // namespace qobl
}  // namespace zenlar
