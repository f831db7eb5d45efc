// ModelMgr: creates and releases model objects.
#ifndef QOBL_MODEL_MGR_H
#define QOBL_MODEL_MGR_H

#include <cstdint>
#include <string>

#include "i_model.h"
#include "qobl_api.h"
#include "tvm_model_runtime/tvm_model_runtime_creator.h"

namespace zenlar {
namespace qobl {

class ModelMgr {
 public:
  // Loads a static model from its four files on the calling thread's current device (model_files.cpp):
  // reads the graph, parameter and library files and the optional hardware configuration, names the model
  // by the MD5 digest of their bytes (library, graph, parameters, hardware configuration in turn) and
  // creates it into *pModel.  qoblERR_SUCCESS; the device lookup's code without a current device;
  // qoblERR_MODEL_FILE when a file cannot be read (logged); qoblERR_CREATE_MODEL when the model runtime
  // refuses it.  *pModel is written only on success; release the model with releaseModel.
  static qoblErr loadModel(const char* modLib, const char* modGraph, const char* modParam, const char* hwConfig,
                           IModel** pModel);
  // The same for a dynamic-shape suite described by the configuration file `suiteConfig` (model_files.cpp
  // says what it holds); the name is the MD5 digest of the members' digests in turn (and of the hardware
  // configuration's).  A configuration that is not valid JSON or misses a key gives qoblERR_MODEL_FILE.
  static qoblErr loadDynamicModel(const char* suiteConfig, const char* hwConfig, IModel** pModel);

  // Creates the model module of a static model from its files (library path, graph JSON text, parameter
  // bytes, optional hardware-configuration text) on deviceId, named by modelMd5, and stores a new model
  // (state SHAPED) in *pModel.  The buffers are only read during the call.  Returns false, writing
  // nothing and logging nothing, when the module cannot be created.  The caller releases the model with
  // releaseModel.
  static bool createModel(IModel** pModel, const std::string& modLib, const char* graphJson,
                          const char* paramsBin, uint64_t paramsBinLen, const char* hwJson,
                          const std::string& modelMd5, uint32_t deviceId);
  // The same for a dynamic-shape model from its suite members; the new model starts CREATED.
  static bool createDynamicModel(IModel** pModel, const std::string& shapeRange, const std::string& sharedParams,
                                 const ModelFileSuiteCollection& suiteCollection, const char* hwJson,
                                 const std::string& modelMd5, uint32_t deviceId);
  // Destroys the model (null is accepted) and forgets it as a live model.  Always true.
  static bool releaseModel(IModel* pModel);
  // Whether `model` is a model this manager made and has not released.  Only the address is compared:
  // nothing at `model` is read, so a run-model op that names a released model (or any other address) is
  // recognised without touching it.
  static bool isLive(const IModel* model);
  // The bookkeeping behind isLive, which createModel, createDynamicModel and releaseModel do themselves;
  // for models made elsewhere (a test's own IModel) that run-model ops should be able to name.
  static void trackLive(const IModel* model);
  static void forgetLive(const IModel* model);
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_MODEL_MGR_H
