// Exported functions of static models: creation from files, batch size, input and output queries.
#include <cstdint>
#include <exception>
#include <string>

#include "i_model.h"
#include "md5.h"
#include "model_mgr.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "qobl_log.h"
#include "utils/utils.h"

using zenlar::qobl::ModelMgr;

namespace {

// A whole file read by qoblUtilsReadFileChar; the block is released with delete[] on every path.
struct FileBytes {
  char* data = nullptr;
  uint64_t size = 0;
  FileBytes() = default;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes() { delete[] data; }
  bool read(const char* path, bool isTxt) {
    size = zenlar::qobl::qoblUtilsReadFileChar(path, &data, isTxt);
    return size != 0;
  }
  void release() {
    delete[] data;
    data = nullptr;
  }
};

}  // namespace

qoblErr qoblCreateModel(const char* modLib, const char* modGraph, const char* modParam, const char* hwConfig,
                        qoblModel** model) {
  QOBL_CHECK_PARAM(NULL != modLib && NULL != modGraph && NULL != modParam && NULL != model,
                   "Invalid parameter: NULL != modLib && NULL != modGraph && NULL != modParam && NULL != model");
  QOBL_CHECK_PARAM(NULL == (*model), "Invalid parameter: NULL == (*model)");
  uint32_t devId = UINT32_MAX;
  const int devRc = qobmGetDevice(&devId);
  if (devId == UINT32_MAX) return static_cast<qoblErr>(devRc);

  QOBL_API_TRY {
    FileBytes graph, params, lib, hw;
    if (!graph.read(modGraph, true)) {
      QOBL_LOG_ERROR("Can't find input model's graph file: %s\n", modGraph);
      return qoblERR_MODEL_FILE;
    }
    if (!params.read(modParam, false)) {
      QOBL_LOG_ERROR("Can't find input model's params file: %s\n", modParam);
      return qoblERR_MODEL_FILE;
    }
    if (!lib.read(modLib, false)) {
      QOBL_LOG_ERROR("Can't find input model's lib file: %s\n", modLib);
      return qoblERR_MODEL_FILE;
    }
    if (NULL != hwConfig && !hw.read(hwConfig, true)) {
      QOBL_LOG_ERROR("Can't find hw config file: %s\n", hwConfig);
      return qoblERR_MODEL_FILE;
    }

    // The model's name: MD5 over the library, graph, parameter and hardware-configuration bytes in turn
    // (the file bytes only, without the terminators added for the texts).
    zenlar::qobl::MD5 digest;
    digest.update(lib.data, static_cast<uint32_t>(lib.size));
    digest.update(graph.data, static_cast<uint32_t>(graph.size));
    digest.update(params.data, static_cast<uint32_t>(params.size));
    if (NULL != hwConfig) digest.update(hw.data, static_cast<uint32_t>(hw.size));
    const std::string md5 = digest.finalize().hexdigest();
    lib.release();  // the runtime loads the library from its path

    qoblModel* handle = new qoblModel{nullptr};
    if (!ModelMgr::createModel(&handle->ptr_, modLib, graph.data, params.data, params.size,
                               NULL != hwConfig ? hw.data : nullptr, md5, devId)) {
      delete handle;
      return qoblERR_CREATE_MODEL;
    }
    *model = handle;
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_CREATE_MODEL)
}

qoblErr qoblDestroyModel(qoblModel* model) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_, "Invalid parameter: NULL != model && NULL != model->ptr_");
  ModelMgr::releaseModel(model->ptr_);
  model->ptr_ = nullptr;
  delete model;
  return qoblERR_SUCCESS;
}

qoblErr qoblSetModelBatchSize(qoblModel* model, uint32_t* batchSize) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != batchSize,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != batchSize");
  return model->ptr_->setBatchSize(*batchSize) ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
}

qoblErr qoblGetModelBatchSize(qoblModel* model, uint32_t* batchSize) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != batchSize,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != batchSize");
  return model->ptr_->getBatchSize(*batchSize) ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
}

qoblErr qoblGetModelMaxBatchSize(qoblModel* model, uint32_t* batchSize) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != batchSize,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != batchSize");
  return model->ptr_->getMaxBatchSize(*batchSize) ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
}

qoblErr qoblGetModelInputCount(qoblModel* model, uint32_t* inCount) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != inCount,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != inCount");
  return model->ptr_->getInputCount(*inCount) ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
}

qoblErr qoblGetModelOutputCount(qoblModel* model, uint32_t* outCount) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != outCount,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != outCount");
  return model->ptr_->getOutputCount(*outCount) ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
}

qoblErr qoblGetModelInputShapeByIndex(qoblModel* model, int32_t index, qobmShape* shape) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != shape,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != shape");
  return model->ptr_->getInputShapeByIndex(index, *shape) ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
}

qoblErr qoblGetModelOutputShapeByIndex(qoblModel* model, int32_t index, qobmShape* shape) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != shape,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != shape");
  return model->ptr_->getOutputShapeByIndex(index, *shape) ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
}

qoblErr qoblGetModelOutputDataTypeByIndex(qoblModel* model, int32_t index, qobmDType* dType) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != dType,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != dType");
  DLDataType type{};
  if (!model->ptr_->getOutPutDtype(index, type)) return qoblERR_MODEL_OPERATION;
  const qobmDLDataType dl{type.code, type.bits, type.lanes};
  qobmDLDataTypeToDataType(dl, dType);
  return qoblERR_SUCCESS;
}

qoblErr qoblGetModelOutputSizeByIndex(qoblModel* model, int32_t index, uint64_t* size) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != size,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != size");
  int64_t bytes = 0;
  const bool ok = model->ptr_->getOutPutSizeByIndex(index, bytes);
  *size = static_cast<uint64_t>(bytes);  // 0 when the size could not be computed
  return ok ? qoblERR_SUCCESS : qoblERR_MODEL_OPERATION;
}
