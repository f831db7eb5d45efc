// Exported functions of the stream family and synchronisation.
//
// Every function that takes a stream handle resolves it through the stream registry first
// (OpStreamController::acquire): a null handle gives qoblERR_INVALID_PARAM with the function's message; a
// handle the registry does not know (never made by qoblCreateOpStream, or its stream destroyed) gives
// qoblERR_INVALID_STREAM (qoblDestroyOpStream: qoblERR_DESTROY_STREAM) without reading the handle.
#include <qobcrt/qobcrt.h>

#include <cstring>
#include <new>

#include "op_graph_controller.h"
#include "op_stream_controller.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "qobl_log.h"
#include "singleton.h"
#include "stream.h"
#include "stream_callback_manager.h"
#include "utils/utils.h"

using namespace zenlar::qobl;

namespace {

// Current device of the calling thread equals the stream's device.
bool onStreamDevice(OpStream* stream) {
  uint32_t dev = 0;
  return qobmGetDevice(&dev) == 0 && dev == stream->deviceId();
}

}  // namespace

qoblErr qoblCreateOpStream(qoblOpGraph* graph, qoblBalanceMode mode, qoblStream** stream) {
  QOBL_CHECK_PARAM((NULL != graph) && (NULL != stream) && (graph->ptr_ != NULL),
                   "Invalid parameter: (NULL != graph) && (NULL != stream) && (graph->ptr_ != NULL)");
  QOBL_API_TRY {
    if (!OpGraphController::find(graph->ptr_)) {
      QOBL_LOG_ERROR("Invalid parameter: the graph is not a live op graph.\n");
      return qoblERR_INVALID_PARAM;
    }
    uint32_t dev = 0;
    const int devRc = qobmGetDevice(&dev);
    if (devRc != 0) {
      QOBL_LOG_ERROR("Failed to create stream: no current device (error %d).\n", devRc);
      return qoblERR_CREATE_STREAM;
    }
    IOpStream* s = nullptr;
    try {
      s = OpStreamController::createStream(dev, mode, graph->ptr_);
    } catch (const std::exception& e) {
      QOBL_LOG_ERROR("Failed to create stream: %s\n", e.what());
      return qoblERR_CREATE_STREAM;
    }
    Singleton<StreamCallbackManager>::getInstance()->registerRuntimeCallback(s->id(), dev);
    create_stream rec;
    std::memset(&rec, 0, sizeof rec);
    rec.stream_id = s->id();
    rec.vdsp_balance_mode = static_cast<uint32_t>(mode);
    const int rc = qobcrt_create_stream(dev, &rec);
    if (rc != 0) {
      QOBL_LOG_ERROR("Failed to create stream for a new Stream [%d]. Error code is [%d].\n", s->id(), rc);
      OpStreamController::destroyStream(s->id());
      return qoblERR_CREATE_STREAM;
    }
    auto* handle = new (std::nothrow) qoblStream;
    if (handle == nullptr) {
      OpStreamController::destroyStream(s->id());
      return qoblERR_CREATE_STREAM;
    }
    handle->ptr_ = s;
    OpStreamController::registerHandle(handle, s);
    *stream = handle;
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_CREATE_STREAM)
}

qoblErr qoblDestroyOpStream(qoblStream* stream) {
  QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
  QOBL_API_TRY {
    uint32_t id = 0, dev = 0;
    {
      StreamRef s(stream);
      if (!s) {
        QOBL_LOG_ERROR("Failed to destroy op stream because the handle names no live stream.\n");
        return qoblERR_DESTROY_STREAM;
      }
      id = s->id();
      dev = s->deviceId();
    }
    if (!OpStreamController::destroyStream(id)) return qoblERR_DESTROY_STREAM;
    // The card forgets the stream id registered by qoblCreateOpStream; a failure is logged, the stream is gone.
    const int rc = qobcrt_destroy_stream(dev, id);
    if (rc != 0) QOBL_LOG_ERROR("Failed to destroy the card stream of stream [%u]. Error code is [%d].\n", id, rc);
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_DESTROY_STREAM)
}

qoblErr qoblBuildStream(qoblStream* stream) {
  QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
  QOBL_API_TRY {
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    if (!s->build()) {
      QOBL_LOG_ERROR("Failed to build stream. \n");
      return qoblERR_BUILD_STREAM;
    }
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_BUILD_STREAM)
}

qoblErr qoblRegisterGetOutput(qoblStream* stream, qobeOp* op) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != op, "Invalid parameter: NULL != stream && NULL != op");
  QOBL_API_TRY {
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    return s->registerOpGetOutput(op);
  }
  QOBL_API_CATCH(qoblERR_OP_NOT_IN_STREAM)
}

qoblErr qoblRegisterGetOutputs(qoblStream* stream, qobeOp** ops, uint32_t opCount) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != ops && NULL != *ops,
                   "Invalid parameter: NULL != stream && NULL != ops && NULL != *ops");
  QOBL_API_TRY {
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    for (uint32_t i = 0; i < opCount; ++i) {
      const qoblErr rc = s->registerOpGetOutput(ops[i]);
      if (rc != qoblERR_SUCCESS) return rc;
    }
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_OP_NOT_IN_STREAM)
}

qoblErr qoblRequestOutputDataset(qoblStream* stream, qobmDataset** output) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != output, "Invalid parameter: NULL != stream && NULL != output");
  QOBL_API_TRY {
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    return s->requestOutputDataset(output);
  }
  QOBL_API_CATCH(qoblERR_RUN_STREAM)
}

qoblErr qoblRunStream(qoblStream* stream, qobmDataset* input, qobmDataset* output, uint32_t timeout) {
  QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
  QOBL_API_TRY {
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    if (!onStreamDevice(s.get())) {
      QOBL_LOG_ERROR("Failed to run stream because current context mismatch with stream's device id. \n");
      return qoblERR_RUN_STREAM;
    }
    return s->run(input, output, timeout);
  }
  QOBL_API_CATCH(qoblERR_RUN_STREAM)
}

qoblErr qoblRunStreamAsync(qoblStream* stream, qobmDataset* input, qobmDataset* output) {
  QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
  QOBL_API_TRY {
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    if (!onStreamDevice(s.get())) {
      QOBL_LOG_ERROR("Failed to run stream because current context mismatch with stream's device id. \n");
      return qoblERR_RUN_STREAM;
    }
    if (!qoblCheckDatasetMemoryType(output, qobmDE_QOBC)) {
      QOBL_LOG_ERROR("Failed to run stream because output dataset's memory is not device memory.\n");
      return qoblERR_RUN_STREAM;
    }
    return s->runAsync(input, output);
  }
  QOBL_API_CATCH(qoblERR_RUN_STREAM)
}

qoblErr qoblGetStreamCacheNumber(qoblStream* stream, uint32_t* num) {
  QOBL_CHECK_PARAM(NULL != stream && NULL != num, "Invalid parameter: NULL != stream and NULL != num");
  QOBL_API_TRY {
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    if (!s->isBuilt()) return qoblERR_STREAM_NOT_BUILT;
    s->getCacheNumber(*num);
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_STREAM_NOT_BUILT)
}

qoblErr qoblSubscribeStreamReport(qoblStream* stream, qoblStreamReportCallback callback, void* userCtx) {
  QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
  QOBL_CHECK_PARAM(NULL != callback, "Invalid parameter: NULL != callback");
  QOBL_API_TRY {
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    Singleton<StreamCallbackManager>::getInstance()->registerSdkCallback(s->id(), callback, userCtx);
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_INVALID_STREAM)
}

qoblErr qoblSynchronizeStream(qoblStream* stream, uint32_t timeout) {
  QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
  QOBL_API_TRY {
    StreamRef s(stream);
    if (!s) return qoblERR_INVALID_STREAM;
    return s->synchronize(timeout);
  }
  QOBL_API_CATCH(qoblERR_STREAM_SYNC_TIMEOUT)
}

qoblErr qoblSynchronizeDevice(uint32_t devId, uint32_t timeout) {
  QOBL_API_TRY { return OpStreamController::synchronizeDevice(devId, timeout); }
  QOBL_API_CATCH(qoblERR_DEVICE_SYNC_TIMEOUT)
}
