// Exported functions of libqobl.
#include "qobl_api.h"

#include "qobl_api_impl.h"
#include "qobl_log.h"
#include "version.h"

using namespace zenlar::qobl;

qoblErr qoblGetVersion(const char** ver, uint32_t* major, uint32_t* minor, uint32_t* rev, uint32_t* bn) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != ver, "Invalid parameter: NULL != ver");
    uint32_t numbers[4] = {0, 0, 0, 0};
    const bool known = qoblVersionNumbers(numbers);
    uint32_t* out[4] = {major, minor, rev, bn};
    for (int i = 0; known && i < 4; ++i) {
      if (out[i] != nullptr) *out[i] = numbers[i];
    }
    *ver = qoblVersionText();
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_INVALID_PARAM)
}
