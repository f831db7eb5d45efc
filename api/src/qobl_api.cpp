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

// ---- op graphs ----

qoblErr qoblCreateOpGraph(qoblOpGraph** graph) {
  QOBL_CHECK_PARAM(NULL != graph, "Invalid parameter: NULL != graph");
  if (NULL != *graph) return qoblERR_SUCCESS;  // an existing handle is left as it is
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblDestroyOpGraph(qoblOpGraph* graph) {
  QOBL_CHECK_PARAM(NULL != graph, "Invalid parameter: NULL != graph");
  if (NULL == graph->ptr_) return qoblERR_SUCCESS;  // already destroyed
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblCreateGraphInputOp(qoblOpGraph* graph, uint32_t inputCnt, qobeOp** op) {
  // A handle emptied by qoblDestroyOpGraph is rejected like a null one.
  QOBL_CHECK_PARAM(NULL != graph && NULL != graph->ptr_, "Invalid parameter: NULL != graph");
  QOBL_CHECK_PARAM(NULL != op, "Invalid parameter: NULL != op");
  (void)inputCnt;
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblCreateRunModelOp(qoblModel* model, qobeOp** op) {
  QOBL_CHECK_PARAM((NULL != op) && (NULL != model), "Invalid parameter: (NULL != op) && (NULL != model)");
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblConnectOps(qobeOp* parent, qobeOp* child) {
  QOBL_CHECK_PARAM((NULL != parent) && (NULL != child), "Invalid parameter: (NULL != parent) && (NULL != child)");
  QOBL_NOT_AVAILABLE();
}

// ---- streams ----

qoblErr qoblCreateOpStream(qoblOpGraph* graph, qoblBalanceMode mode, qoblStream** stream) {
  QOBL_CHECK_PARAM((NULL != graph) && (NULL != stream) && (graph->ptr_ != NULL),
                   "Invalid parameter: (NULL != graph) && (NULL != stream) && (graph->ptr_ != NULL)");
  (void)mode;
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblDestroyOpStream(qoblStream* stream) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != stream->ptr_, "Invalid parameter: NULL != stream");
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblBuildStream(qoblStream* stream) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != stream->ptr_, "Invalid parameter: NULL != stream");
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblRegisterGetOutput(qoblStream* stream, qobeOp* op) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != stream->ptr_ && NULL != op,
                   "Invalid parameter: NULL != stream && NULL != op");
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblRegisterGetOutputs(qoblStream* stream, qobeOp** ops, uint32_t opCount) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != stream->ptr_ && NULL != ops && NULL != *ops,
                   "Invalid parameter: NULL != stream && NULL != ops && NULL != *ops");
  (void)opCount;
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblRequestOutputDataset(qoblStream* stream, qobmDataset** output) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != stream->ptr_ && NULL != output,
                   "Invalid parameter: NULL != stream && NULL != output");
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblRunStream(qoblStream* stream, qobmDataset* input, qobmDataset* output, uint32_t timeout) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != stream->ptr_, "Invalid parameter: NULL != stream");
  (void)input;
  (void)output;
  (void)timeout;
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblRunStreamAsync(qoblStream* stream, qobmDataset* input, qobmDataset* output) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != stream->ptr_, "Invalid parameter: NULL != stream");
  (void)input;
  (void)output;
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblGetStreamCacheNumber(qoblStream* stream, uint32_t* num) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != stream->ptr_ && NULL != num,
                   "Invalid parameter: NULL != stream and NULL != num");
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblSubscribeStreamReport(qoblStream* stream, qoblStreamReportCallback callback, void* userCtx) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != stream->ptr_, "Invalid parameter: NULL != stream");
  (void)callback;
  (void)userCtx;
  QOBL_NOT_AVAILABLE();
}

// ---- synchronisation ----

qoblErr qoblSynchronizeStream(qoblStream* stream, uint32_t timeout) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != stream->ptr_, "Invalid parameter: NULL != stream");
  (void)timeout;
  QOBL_NOT_AVAILABLE();
}

qoblErr qoblSynchronizeDevice(uint32_t devId, uint32_t timeout) {
  (void)devId;
  (void)timeout;
  QOBL_NOT_AVAILABLE();
}
