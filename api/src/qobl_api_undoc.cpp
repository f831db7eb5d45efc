// Exported functions outside the documented API guide.
#include "i_model.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"

// Bytes output `index` of a loaded model occupies in the card's core layout.
qoblErr qoblGetModelAlignOutputSizeByIndex(qoblModel* model, int32_t index, uint64_t* size) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != size,
                     "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != size");
    int64_t bytes = 0;
    if (!model->ptr_->getAlignOutPutSizeByIndex(index, bytes)) return qoblERR_MODEL_OPERATION;
    *size = static_cast<uint64_t>(bytes);
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_MODEL_OPERATION)
}
