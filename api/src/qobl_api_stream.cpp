// Exported functions of the stream family and synchronisation.
//
// Every function that takes a stream handle resolves it through the stream registry first
// (OpStreamController::acquire, held by a StreamRef): a null handle gives qoblERR_INVALID_PARAM with the
// function's message; a handle the registry does not know (never made by qoblCreateOpStream, or its stream
// destroyed) gives qoblERR_INVALID_STREAM (qoblDestroyOpStream: qoblERR_DESTROY_STREAM) without reading
// the handle.
#include <cstdint>

#include "op_stream_controller.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "singleton.h"
#include "stream.h"
#include "stream_callback_manager.h"
#include "utils/utils.h"

using namespace zenlar::qobl;

namespace {

// The calling thread's current device is the stream's device (logged when it is not).
bool onStreamDevice(IOpStream* stream) {
  uint32_t dev = 0;
  if (qobmGetDevice(&dev) == 0 && dev == stream->deviceId()) return true;
  QOBL_LOG_ERROR("Failed to run stream because current context mismatch with stream's device id. \n");
  return false;
}

}  // namespace

qoblErr qoblCreateOpStream(qoblOpGraph* graph, qoblBalanceMode mode, qoblStream** stream) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM((NULL != graph) && (NULL != stream) && (graph->ptr_ != NULL),
                     "Invalid parameter: (NULL != graph) && (NULL != stream) && (graph->ptr_ != NULL)");
    return OpStreamController::openStream(graph->ptr_, mode, stream);
  }
  QOBL_API_CATCH(qoblERR_CREATE_STREAM)
}

qoblErr qoblDestroyOpStream(qoblStream* stream) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
    return OpStreamController::closeStream(stream);
  }
  QOBL_API_CATCH(qoblERR_DESTROY_STREAM)
}

qoblErr qoblBuildStream(qoblStream* stream) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    if (s->build()) return qoblERR_SUCCESS;
    QOBL_LOG_ERROR("Failed to build stream. \n");
    return qoblERR_BUILD_STREAM;
  }
  QOBL_API_CATCH(qoblERR_BUILD_STREAM)
}

qoblErr qoblRegisterGetOutput(qoblStream* stream, qobeOp* op) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream && NULL != op, "Invalid parameter: NULL != stream && NULL != op");
    StreamRef s(stream);
    return s ? s->registerOpGetOutput(op) : qoblERR_INVALID_STREAM;
  }
  QOBL_API_CATCH(qoblERR_OP_NOT_IN_STREAM)
}

qoblErr qoblRegisterGetOutputs(qoblStream* stream, qobeOp** ops, uint32_t opCount) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream && NULL != ops && NULL != *ops,
                     "Invalid parameter: NULL != stream && NULL != ops && NULL != *ops");
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    qoblErr rc = qoblERR_SUCCESS;
    for (uint32_t i = 0; rc == qoblERR_SUCCESS && i < opCount; ++i) rc = s->registerOpGetOutput(ops[i]);
    return rc;
  }
  QOBL_API_CATCH(qoblERR_OP_NOT_IN_STREAM)
}

qoblErr qoblRequestOutputDataset(qoblStream* stream, qobmDataset** output) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream && NULL != output, "Invalid parameter: NULL != stream && NULL != output");
    StreamRef s(stream);
    return s ? s->requestOutputDataset(output) : qoblERR_INVALID_STREAM;
  }
  QOBL_API_CATCH(qoblERR_RUN_STREAM)
}

qoblErr qoblRunStream(qoblStream* stream, qobmDataset* input, qobmDataset* output, uint32_t timeout) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    return onStreamDevice(s.get()) ? s->run(input, output, timeout) : qoblERR_RUN_STREAM;
  }
  QOBL_API_CATCH(qoblERR_RUN_STREAM)
}

qoblErr qoblRunStreamAsync(qoblStream* stream, qobmDataset* input, qobmDataset* output) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    if (!onStreamDevice(s.get())) return qoblERR_RUN_STREAM;
    if (qoblCheckDatasetMemoryType(output, qobmDE_QOBC)) return s->runAsync(input, output);
    QOBL_LOG_ERROR("Failed to run stream because output dataset's memory is not device memory.\n");
    return qoblERR_RUN_STREAM;
  }
  QOBL_API_CATCH(qoblERR_RUN_STREAM)
}

qoblErr qoblGetStreamCacheNumber(qoblStream* stream, uint32_t* num) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream && NULL != num, "Invalid parameter: NULL != stream and NULL != num");
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    if (!s->isBuilt()) return qoblERR_STREAM_NOT_BUILT;
    s->getCacheNumber(*num);
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_STREAM_NOT_BUILT)
}

qoblErr qoblSubscribeStreamReport(qoblStream* stream, qoblStreamReportCallback callback, void* userCtx) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
    QOBL_CHECK_PARAM(NULL != callback, "Invalid parameter: NULL != callback");
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    Singleton<StreamCallbackManager>::getInstance()->registerSdkCallback(s->id(), callback, userCtx);
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_INVALID_STREAM)
}

qoblErr qoblSynchronizeStream(qoblStream* stream, uint32_t timeout) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
    StreamRef s(stream);
    return s ? s->synchronize(timeout) : qoblERR_INVALID_STREAM;
  }
  QOBL_API_CATCH(qoblERR_STREAM_SYNC_TIMEOUT)
}

qoblErr qoblSynchronizeDevice(uint32_t devId, uint32_t timeout) {
  QOBL_API_TRY { return OpStreamController::synchronizeDevice(devId, timeout); }
  QOBL_API_CATCH(qoblERR_DEVICE_SYNC_TIMEOUT)
}
