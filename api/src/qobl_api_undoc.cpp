// Exported functions outside the documented API guide.
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "qobl_log.h"

// NOT YET AVAILABLE: argument checks only, then reports that the function is not available in this build
// (301099, not a public code); the body is replaced with the model family.
qoblErr qoblGetModelAlignOutputSizeByIndex(qoblModel* model, int32_t index, uint64_t* size) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != size,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != size");
  (void)index;
  QOBL_LOG_ERROR("%s is not available in this build.\n", __func__);
  return 301099u;
}
