// Exported functions of static models: creation from files, batch size, input and output queries.
#include <cstdint>
#include <memory>

#include "i_model.h"
#include "model_mgr.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"

using zenlar::qobl::ModelMgr;

namespace {

// The answer of a model query: qoblERR_SUCCESS or qoblERR_MODEL_OPERATION.
qoblErr modelResult(bool ok) { return ok ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION; }

}  // namespace

qoblErr qoblCreateModel(const char* modLib, const char* modGraph, const char* modParam, const char* hwConfig,
                        qoblModel** model) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != modLib && NULL != modGraph && NULL != modParam && NULL != model,
                     "Invalid parameter: NULL != modLib && NULL != modGraph && NULL != modParam && NULL != model");
    QOBL_CHECK_PARAM(NULL == (*model), "Invalid parameter: NULL == (*model)");
    std::unique_ptr<qoblModel> handle(new qoblModel{nullptr});
    const qoblErr rc = ModelMgr::loadModel(modLib, modGraph, modParam, hwConfig, &handle->ptr_);
    if (rc == qoblERR_SUCCESS) *model = handle.release();
    return rc;
  }
  QOBL_API_CATCH(qoblERR_CREATE_MODEL)
}

qoblErr qoblDestroyModel(qoblModel* model) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_, "Invalid parameter: NULL != model && NULL != model->ptr_");
    ModelMgr::releaseModel(model->ptr_);
    model->ptr_ = nullptr;
    delete model;
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblSetModelBatchSize(qoblModel* model, uint32_t* batchSize) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != batchSize,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != batchSize");
    return modelResult(model->ptr_->setBatchSize(*batchSize));
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblGetModelBatchSize(qoblModel* model, uint32_t* batchSize) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != batchSize,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != batchSize");
    return modelResult(model->ptr_->getBatchSize(*batchSize));
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblGetModelMaxBatchSize(qoblModel* model, uint32_t* batchSize) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != batchSize,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != batchSize");
    return modelResult(model->ptr_->getMaxBatchSize(*batchSize));
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblGetModelInputCount(qoblModel* model, uint32_t* inCount) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != inCount,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != inCount");
    return modelResult(model->ptr_->getInputCount(*inCount));
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblGetModelOutputCount(qoblModel* model, uint32_t* outCount) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != outCount,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != outCount");
    return modelResult(model->ptr_->getOutputCount(*outCount));
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblGetModelInputShapeByIndex(qoblModel* model, int32_t index, qobmShape* shape) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != shape,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != shape");
    return modelResult(model->ptr_->getInputShapeByIndex(index, *shape));
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblGetModelOutputShapeByIndex(qoblModel* model, int32_t index, qobmShape* shape) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != shape,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != shape");
    return modelResult(model->ptr_->getOutputShapeByIndex(index, *shape));
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblGetModelOutputDataTypeByIndex(qoblModel* model, int32_t index, qobmDType* dType) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != dType,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != dType");
    DLDataType type{};
    if (!model->ptr_->getOutPutDtype(index, type)) return qoblERR_MODEL_OPERATION;
    qobmDLDataTypeToDataType(qobmDLDataType{type.code, type.bits, type.lanes}, dType);
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblGetModelOutputSizeByIndex(qoblModel* model, int32_t index, uint64_t* size) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != size,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != size");
    int64_t bytes = 0;
    const bool ok = model->ptr_->getOutPutSizeByIndex(index, bytes);
    *size = static_cast<uint64_t>(bytes);  // 0 when the size could not be computed
    return modelResult(ok);
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}
