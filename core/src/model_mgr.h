// ModelMgr: creates and releases model objects.
#ifndef QOBL_MODEL_MGR_H
#define QOBL_MODEL_MGR_H

#include <cstdint>
#include <string>

#include "i_model.h"
#include "tvm_model_runtime/tvm_model_runtime_creator.h"

namespace zenlar {
namespace qobl {

class ModelMgr {
 public:
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
  // Destroys the model (null is accepted).  Always true.
  static bool releaseModel(IModel* pModel);
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_MODEL_MGR_H
