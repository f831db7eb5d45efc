// Handle records behind the opaque handle types of the public API.  Each record holds exactly one field,
// ptr_, the library object it stands for.
//  - qoblOpGraph: made by qoblCreateOpGraph; qoblDestroyOpGraph releases the graph and sets ptr_ to null but
//    keeps the record, so a second destroy finds ptr_ null (ptr_ is read and written with qoblGraphOf and
//    qoblSetGraphOf).
//  - qoblStream:  made by qoblCreateOpStream once the device stream exists; qoblDestroyOpStream destroys the
//    stream through the stream controller and neither clears ptr_ nor frees the record.
//  - qoblModel:   made by qoblCreateModel / qoblCreateDynamicModel; qoblDestroyModel releases the model, sets
//    ptr_ to null and frees the record.
#ifndef QOBL_API_IMPL_H
#define QOBL_API_IMPL_H

#include <exception>

#include "qobl_api.h"
#include "qobl_log.h"

namespace zenlar {
namespace qobl {
class OpDirectedGraph;
class IOpStream;
class IModel;
}  // namespace qobl
}  // namespace zenlar

struct qoblOpGraph {
  zenlar::qobl::OpDirectedGraph* ptr_;
};

struct qoblStream {
  zenlar::qobl::IOpStream* ptr_;
};

struct qoblModel {
  zenlar::qobl::IModel* ptr_;
};

// A graph handle's ptr_ is emptied by qoblDestroyOpGraph while other threads may be calling with the same
// handle: it is read and written whole, with these two.
inline zenlar::qobl::OpDirectedGraph* qoblGraphOf(const qoblOpGraph* handle) {
  return __atomic_load_n(&handle->ptr_, __ATOMIC_ACQUIRE);
}
inline void qoblSetGraphOf(qoblOpGraph* handle, zenlar::qobl::OpDirectedGraph* graph) {
  __atomic_store_n(&handle->ptr_, graph, __ATOMIC_RELEASE);
}

// Argument check of an exported function: when `cond` is false, log `message` (a fixed text naming the
// violated condition) at ERROR on the library's channel under the calling function's name and return
// qoblERR_INVALID_PARAM from the calling function.  `message` must be a string literal (it is the format).
//   QOBL_CHECK_PARAM(NULL != stream && NULL != num, "Invalid parameter: NULL != stream and NULL != num");
#define QOBL_CHECK_PARAM(cond, message)  \
  do {                                   \
    if (!(cond)) {                       \
      QOBL_LOG_ERROR(message);           \
      return qoblERR_INVALID_PARAM;      \
    }                                    \
  } while (0)

// The frame of every exported function: its whole body (argument checks, the forward to one core object,
// the mapping of the result to a code) stands inside it, so that no exception leaves the library:
//   QOBL_API_TRY { QOBL_CHECK_PARAM(...); return map(core->operation(...)); } QOBL_API_CATCH(qoblERR_RUN_STREAM)
// An escaping exception is logged at ERROR and the function returns `code`.
#define QOBL_API_TRY try
#define QOBL_API_CATCH(code)                                          \
  catch (const std::exception& e) {                                   \
    QOBL_LOG_ERROR("Unexpected exception: %s\n", e.what());           \
    return (code);                                                    \
  }                                                                   \
  catch (...) {                                                       \
    QOBL_LOG_ERROR("Unexpected exception.\n");                        \
    return (code);                                                    \
  }

#endif  // QOBL_API_IMPL_H
