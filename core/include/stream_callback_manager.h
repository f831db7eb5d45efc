// StreamCallbackManager: turns the card's completion reports into calls of the application's report
// callbacks and recycles finished runs; keeps the per-stream subscriptions; installs the completion function
// with the device runtime.
//
// A process-wide singleton (Singleton<StreamCallbackManager>::getInstance()), never destroyed.
//
// Report delivery (sdkGetOutputs, on the device runtime's reporter thread):
//  - the stream is found by id and marked busy in one step under the registry lock, so it cannot be deleted
//    while the report is processed; a closing stream is skipped;
//  - every subscribed callback is called once per application input of the run (input order), and per input
//    in subscription order;
//  - DATASET OWNERSHIP: the output dataset handed to a callback is made by the library for that call and
//    destroyed by the library right after the callbacks of that input returned (the container, and the
//    buffer handles the library made; never the card memory of the application's outputs).  The application
//    must not keep or destroy it;
//  - on a device error or at the run's end op the run is recycled and its asynchronous inputs counted as
//    completed.  A report naming a run the stream no longer has (a late report after an error recycled the
//    run) is logged and counted in the stream's stale-report count; it counts no completion.
#ifndef QOBL_STREAM_CALLBACK_MANAGER_H
#define QOBL_STREAM_CALLBACK_MANAGER_H

#include <qobcrt/qobcrt.h>

#include <cstdint>
#include <vector>

#include "qobl_api.h"
#include "rwlock.h"

namespace zenlar {
namespace qobl {

class IOpStream;

struct qoblCallbackTuple {
  qoblStreamReportCallback callback;
  void* userPtr;
  bool operator==(const qoblCallbackTuple& o) const { return callback == o.callback && userPtr == o.userPtr; }
};

// One report of the card.
struct qoblOutputId {
  uint32_t streamAddr;
  uint32_t streamId;
  uint32_t opUid;
  uint64_t dataId;
  uint32_t error_code;
};

// The completion function installed with the device runtime; always 0.  dev_id and func_arg are unused.
int sdkGetOutputs(uint32_t dev_id, get_desc* outputId, void* func_arg);

class StreamCallbackManager {
 public:
  StreamCallbackManager() = default;

  // Installs the completion function for the device (repeated for every stream; a failure is logged).
  void registerRuntimeCallback(uint32_t streamId, uint32_t deviceId);
  void registerSdkCallback(uint32_t streamId, qoblStreamReportCallback callback, void* userPtr);
  void unregisterSdkCallback(uint32_t streamId, qoblStreamReportCallback callback, void* userPtr);
  // Drops every subscription of a stream (called when the stream is destroyed; ids are never reused).
  void removeStream(uint32_t streamId);
  // Copy of the stream's subscriptions; empty (logged) when it has none.
  std::vector<qoblCallbackTuple> getCallbackList(uint32_t streamId);
  // Handles one report of `stream`, which the caller holds busy.
  void process(qoblOutputId& outputId, IOpStream* stream);

 private:
  threadsafe_unordered_map<uint32_t, std::vector<qoblCallbackTuple>> streamReportCallbackDict_;
  threadsafe_unordered_map<uint32_t, bool> runtimeCallbackRegisterFlagDict_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_CALLBACK_MANAGER_H
