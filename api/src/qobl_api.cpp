// Exported functions of libqobl.
#include "qobl_api.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "qobl_api_impl.h"
#include "qobl_log.h"
#include "version.h"

namespace zenlar {
namespace qobl {

bool _qoblIsEnvSet(const char* name) {
  if (name == nullptr) return false;
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] == '\0' || value[1] != '\0') return false;
  const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(value[0])));
  return c == '1' || c == 'y';
}

}  // namespace qobl
}  // namespace zenlar

using namespace zenlar::qobl;

qoblErr qoblGetVersion(const char** ver, uint32_t* major, uint32_t* minor, uint32_t* rev, uint32_t* bn) {
  QOBL_CHECK_PARAM(NULL != ver, "Invalid parameter: NULL != ver");
  uint32_t numbers[4];
  if (qoblVersionNumbers(numbers)) {
    if (major != nullptr) *major = numbers[0];
    if (minor != nullptr) *minor = numbers[1];
    if (rev != nullptr) *rev = numbers[2];
    if (bn != nullptr) *bn = numbers[3];
  }
  *ver = qoblVersionText();
  return qoblERR_SUCCESS;
}

// =====================================================================================================
// NOT YET AVAILABLE: the functions below check their arguments as the finished functions will, and then
// report that they are not available in this build.  Each body after the argument checks is replaced when
// the model, graph and stream families are implemented.  Until then they return
// kQoblErrNotAvailable (301099), a value that is not one of the public qoblERR_* codes and is removed with
// the last of these bodies.
// =====================================================================================================
namespace {
constexpr qoblErr kQoblErrNotAvailable = 301099u;
}  // namespace

#define QOBL_NOT_AVAILABLE()                                          \
  do {                                                                \
    QOBL_LOG_ERROR("%s is not available in this build.\n", __func__); \
    return kQoblErrNotAvailable;                                      \
  } while (0)

// ---- models ----

qoblErr qoblCreateDynamicModel(const char* modSuitesConfig, const char* hwConfig, qoblModel** model) {
  QOBL_CHECK_PARAM(NULL != modSuitesConfig && NULL != model,
                   "Invalid parameter: NULL != modSuitesConfig && NULL != model");
  QOBL_CHECK_PARAM(NULL == (*model), "Invalid parameter: NULL == (*model)");
  (void)hwConfig;
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblSetDynamicModelInputShape(qoblModel* model, qobmShape* shapes, uint32_t count) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && 0 != count && NULL != shapes,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && 0 != count && NULL != shapes");
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblGetDynamicModelMaxBatchSize(qoblModel* model, qobmShape* shapes, uint32_t count, uint32_t* batchSize) {
  QOBL_CHECK_PARAM(NULL != model && NULL != model->ptr_ && NULL != batchSize,
                   "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != batchSize");
  (void)shapes;
  (void)count;
  QOBL_NOT_AVAILABLE();
}

