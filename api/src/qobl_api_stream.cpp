// Exported functions of the stream family and synchronisation.
//
// Every function that takes a stream handle resolves it through the stream registry first
// (OpStreamController::acquire, held by a StreamRef): a null handle gives qoblERR_INVALID_PARAM with the
// function's message; a handle the registry does not know (never made by qoblCreateOpStream, or its stream
// destroyed) gives qoblERR_INVALID_STREAM (qoblDestroyOpStream: qoblERR_DESTROY_STREAM) without reading
// the handle, with a log line saying so (except qoblRequestOutputDataset, whose callers expect none).
// State failures the stream reports without a line of its own (not built, already built, op not in the
// stream's graph) are logged here.
#include <cstdint>

#include "op_graph_controller.h"
#include "op_stream_controller.h"
#include "per_thread.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "singleton.h"
#include "stream.h"
#include "stream_callback_manager.h"
#include "utils/utils.h"

using namespace zenlar::qobl;

namespace {

// The calling thread's current device is the stream's device (logged when it is not).  Inline: every
// input asks, and the check itself is a call and a comparison.
[[gnu::always_inline]] inline bool onStreamDevice(IOpStream* stream) {
  uint32_t dev = 0;
  if (qobmGetDevice(&dev) == 0 && dev == stream->deviceId()) return true;
  QOBL_LOG_ERROR("Failed to run stream because current context mismatch with stream's device id. \n");
  return false;
}

// The output dataset lies in card memory (logged when it does not); `entries` receives what was read of it.
bool onDeviceMemory(qobmDataset* output, DatasetEntries& entries) {
  if (qoblCheckDatasetMemoryType(output, qobmDE_QOBC, &entries)) return true;
  QOBL_LOG_ERROR("Failed to run stream because output dataset's memory is not device memory.\n");
  return false;
}

// Resolves the handle and returns what `use` answers for its stream; qoblERR_INVALID_STREAM when the
// handle names no live stream, logged under the exported function's name `func` unless `func` is null.
template <class Use>
qoblErr withStream(const char* func, const qoblStream* handle, Use&& use) {
  StreamRef s(handle);
  if (s) return use(s.get());
  if (func != nullptr) {
    qobmLogMessage(qobmLC_CL, qobmLL_ERROR, func, qoblBaseName(__FILE__), __LINE__,
                   "Invalid stream: the handle names no live stream (destroyed, or not made by "
                   "qoblCreateOpStream).\n");
  }
  return qoblERR_INVALID_STREAM;
}

// Logs why registering an output op of stream `s` failed with `rc`; returns `rc`.
qoblErr registered(IOpStream* s, qoblErr rc) {
  if (rc == qoblERR_STREAM_ALREADY_BUILT) {
    QOBL_LOG_ERROR("Failed to register an output op: stream %u is already built.\n", s->id());
  } else if (rc == qoblERR_OP_NOT_IN_STREAM) {
    QOBL_LOG_ERROR("Failed to register an output op: the op is not in the graph of stream %u.\n", s->id());
  }
  return rc;
}

}  // namespace

qoblErr qoblCreateOpStream(qoblOpGraph* graph, qoblBalanceMode mode, qoblStream** stream) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM((NULL != graph) && (NULL != stream) && (qoblGraphOf(graph) != NULL),
                     "Invalid parameter: (NULL != graph) && (NULL != stream) && (graph->ptr_ != NULL)");
    // The graph (and the models it runs) cannot be destroyed from the check to the stream's registration,
    // after which the stream itself keeps them.
    OpDirectedGraph* bound = nullptr;
    const qoblErr pinned = OpGraphController::pinStreamGraph(graph, &bound);
    if (pinned != qoblERR_SUCCESS) return pinned;
    struct Unpin {
      OpDirectedGraph* graph;
      ~Unpin() { OpGraphController::unpinStreamGraph(graph); }
    } unpin{bound};
    return OpStreamController::openStream(bound, mode, stream);
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
    const qoblErr rc =
        withStream(__func__, stream, [](IOpStream* s) { return s->build() ? qoblERR_SUCCESS : qoblERR_BUILD_STREAM; });
    if (rc == qoblERR_BUILD_STREAM) QOBL_LOG_ERROR("Failed to build stream. \n");
    return rc;
  }
  QOBL_API_CATCH(qoblERR_BUILD_STREAM)
}

qoblErr qoblRegisterGetOutput(qoblStream* stream, qobeOp* op) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream && NULL != op, "Invalid parameter: NULL != stream && NULL != op");
    return withStream(__func__, stream, [op](IOpStream* s) { return registered(s, s->registerOpGetOutput(op)); });
  }
  QOBL_API_CATCH(qoblERR_OP_NOT_IN_STREAM)
}

qoblErr qoblRegisterGetOutputs(qoblStream* stream, qobeOp** ops, uint32_t opCount) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream && NULL != ops && NULL != *ops,
                     "Invalid parameter: NULL != stream && NULL != ops && NULL != *ops");
    return withStream(__func__, stream, [ops, opCount](IOpStream* s) {
      qoblErr rc = qoblERR_SUCCESS;
      for (uint32_t i = 0; rc == qoblERR_SUCCESS && i < opCount; ++i) rc = s->registerOpGetOutput(ops[i]);
      return registered(s, rc);
    });
  }
  QOBL_API_CATCH(qoblERR_OP_NOT_IN_STREAM)
}

qoblErr qoblRequestOutputDataset(qoblStream* stream, qobmDataset** output) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream && NULL != output, "Invalid parameter: NULL != stream && NULL != output");
    // A stream that is not registered gives qoblERR_INVALID_STREAM without a log line.
    return withStream(nullptr, stream, [output](IOpStream* s) {
      const qoblErr rc = s->requestOutputDataset(output);
      if (rc == qoblERR_STREAM_NOT_BUILT) {
        QOBL_LOG_ERROR("Failed to request an output dataset: stream %u is not built.\n", s->id());
      }
      return rc;
    });
  }
  QOBL_API_CATCH(qoblERR_RUN_STREAM)
}

qoblErr qoblRunStream(qoblStream* stream, qobmDataset* input, qobmDataset* output, uint32_t timeout) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
    return withStream(__func__, stream, [&](IOpStream* s) {
      return onStreamDevice(s) ? s->run(input, output, timeout) : qoblErr{qoblERR_RUN_STREAM};
    });
  }
  QOBL_API_CATCH(qoblERR_RUN_STREAM)
}

qoblErr qoblRunStreamAsync(qoblStream* stream, qobmDataset* input, qobmDataset* output) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
    return withStream(__func__, stream, [&](IOpStream* s) {
      // The output dataset is read once, here; the stream uses what was read (each thread's record keeps
      // its lists' capacity).
      struct Output {
        DatasetEntries entries;
      };
      DatasetEntries& out = PerThread<Output>::get().entries;
      return onStreamDevice(s) && onDeviceMemory(output, out) ? s->runAsync(input, out) : qoblErr{qoblERR_RUN_STREAM};
    });
  }
  QOBL_API_CATCH(qoblERR_RUN_STREAM)
}

qoblErr qoblGetStreamCacheNumber(qoblStream* stream, uint32_t* num) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream && NULL != num, "Invalid parameter: NULL != stream and NULL != num");
    return withStream(__func__, stream, [num](IOpStream* s) {
      if (!s->isBuilt()) {
        QOBL_LOG_ERROR("Failed to get the cache number: stream %u is not built.\n", s->id());
        return qoblErr{qoblERR_STREAM_NOT_BUILT};
      }
      s->getCacheNumber(*num);
      return qoblErr{qoblERR_SUCCESS};
    });
  }
  QOBL_API_CATCH(qoblERR_STREAM_NOT_BUILT)
}

qoblErr qoblSubscribeStreamReport(qoblStream* stream, qoblStreamReportCallback callback, void* userCtx) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
    QOBL_CHECK_PARAM(NULL != callback, "Invalid parameter: NULL != callback");
    return withStream(__func__, stream, [&](IOpStream* s) {
      Singleton<StreamCallbackManager>::getInstance()->registerSdkCallback(s->id(), callback, userCtx);
      return qoblErr{qoblERR_SUCCESS};
    });
  }
  QOBL_API_CATCH(qoblERR_INVALID_STREAM)
}

qoblErr qoblSynchronizeStream(qoblStream* stream, uint32_t timeout) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != stream, "Invalid parameter: NULL != stream");
    return withStream(__func__, stream, [timeout](IOpStream* s) { return s->synchronize(timeout); });
  }
  QOBL_API_CATCH(qoblERR_STREAM_SYNC_TIMEOUT)
}

qoblErr qoblSynchronizeDevice(uint32_t devId, uint32_t timeout) {
  QOBL_API_TRY { return OpStreamController::synchronizeDevice(devId, timeout); }
  QOBL_API_CATCH(qoblERR_DEVICE_SYNC_TIMEOUT)
}
