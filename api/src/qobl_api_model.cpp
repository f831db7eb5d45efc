// Exported functions of static models: creation from files, batch size, input and output queries.
#include <cstdint>
#include <memory>

#include "i_model.h"
#include "model_mgr.h"
#include "op_graph_controller.h"
#include "qobl_log.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"

using zenlar::qobl::ModelMgr;
using zenlar::qobl::OpGraphController;

namespace {

// The answer of a model query: qoblERR_SUCCESS or qoblERR_MODEL_OPERATION.
qoblErr modelResult(bool ok) { return ok ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION; }

}  // namespace

// The argument check of a model query: a live model handle and the result pointer `out`.
#define QOBL_CHECK_MODEL_AND(out)                                     \
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != out, \
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != " #out)

// The body of an exported model query: checks the handle and `out`, asks the model `question`, maps the
// answer (qoblERR_MODEL_OPERATION when the model refuses).
#define QOBL_MODEL_QUERY(out, question)          \
  QOBL_API_TRY {                                 \
    QOBL_CHECK_MODEL_AND(out);                   \
    return modelResult(model->ptr_->question);   \
  }                                              \
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)

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
    // Refused while a stream runs the model or is being made of a graph that does; nothing changes then.
    const qoblErr rc = OpGraphController::destroyModel(model->ptr_);
    if (rc != qoblERR_SUCCESS) return rc;
    model->ptr_ = nullptr;
    delete model;
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblSetModelBatchSize(qoblModel* model, uint32_t* batchSize) {
  QOBL_MODEL_QUERY(batchSize, setBatchSize(*batchSize));
}

qoblErr qoblGetModelBatchSize(qoblModel* model, uint32_t* batchSize) {
  QOBL_MODEL_QUERY(batchSize, getBatchSize(*batchSize));
}

qoblErr qoblGetModelMaxBatchSize(qoblModel* model, uint32_t* batchSize) {
  QOBL_MODEL_QUERY(batchSize, getMaxBatchSize(*batchSize));
}

qoblErr qoblGetModelInputCount(qoblModel* model, uint32_t* inCount) {
  QOBL_MODEL_QUERY(inCount, getInputCount(*inCount));
}

qoblErr qoblGetModelOutputCount(qoblModel* model, uint32_t* outCount) {
  QOBL_MODEL_QUERY(outCount, getOutputCount(*outCount));
}

qoblErr qoblGetModelInputShapeByIndex(qoblModel* model, int32_t index, qobmShape* shape) {
  QOBL_MODEL_QUERY(shape, getInputShapeByIndex(index, *shape));
}

qoblErr qoblGetModelOutputShapeByIndex(qoblModel* model, int32_t index, qobmShape* shape) {
  QOBL_MODEL_QUERY(shape, getOutputShapeByIndex(index, *shape));
}

qoblErr qoblGetModelOutputDataTypeByIndex(qoblModel* model, int32_t index, qobmDType* dType) {
  QOBL_API_TRY {
    QOBL_CHECK_MODEL_AND(dType);
    DLDataType type{};
    if (!model->ptr_->getOutPutDtype(index, type)) return qoblERR_MODEL_OPERATION;
    qobmDLDataTypeToDataType(qobmDLDataType{type.code, type.bits, type.lanes}, dType);
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}

qoblErr qoblGetModelOutputSizeByIndex(qoblModel* model, int32_t index, uint64_t* size) {
  QOBL_API_TRY {
    QOBL_CHECK_MODEL_AND(size);
    int64_t bytes = 0;
    const bool ok = model->ptr_->getOutPutSizeByIndex(index, bytes);
    *size = static_cast<uint64_t>(bytes);  // 0 when the size could not be computed
    return modelResult(ok);
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}
