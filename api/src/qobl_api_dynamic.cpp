// Exported functions of dynamic-shape models: loading a model suite from its configuration file (what the
// file holds: core/src/model_files.cpp), setting the input shapes and asking the largest batch size for
// given shapes.
#include <cstdint>
#include <memory>

#include "i_model.h"
#include "model_mgr.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"

using zenlar::qobl::ModelMgr;

qoblErr qoblCreateDynamicModel(const char* modSuitesConfig, const char* hwConfig, qoblModel** model) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != modSuitesConfig && NULL != model,
                     "Invalid parameter: NULL != modSuitesConfig && NULL != model");
    QOBL_CHECK_PARAM(NULL == (*model), "Invalid parameter: NULL == (*model)");
    std::unique_ptr<qoblModel> handle(new qoblModel{nullptr});
    const qoblErr rc = ModelMgr::loadDynamicModel(modSuitesConfig, hwConfig, &handle->ptr_);
    if (rc == qoblERR_SUCCESS) *model = handle.release();
    return rc;
  }
  QOBL_API_CATCH(qoblERR_CREATE_MODEL)
}

qoblErr qoblSetDynamicModelInputShape(qoblModel* model, qobmShape* shapes, uint32_t count) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && 0 != count && NULL != shapes,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && 0 != count && NULL != shapes");
    // The model checks the count against its inputs before it reads the caller's array.
    const bool ok = model->ptr_->setInputShape(shapes, count);
    return ok ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblGetDynamicModelMaxBatchSize(qoblModel* model, qobmShape* shapes, uint32_t count, uint32_t* batchSize) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != batchSize,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != batchSize");
    // Without shapes: the largest batch size for the shapes currently set.
    const bool ok = (0 != count && NULL != shapes)
                        ? model->ptr_->getMaxBatchSize(shapes, count, *batchSize)
                        : model->ptr_->getMaxBatchSize(*batchSize);
    return ok ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}
