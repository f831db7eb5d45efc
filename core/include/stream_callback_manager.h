// StreamCallbackManager: turns the card's completion reports into calls of the application's report
// callbacks and recycles finished runs; keeps the per-stream subscriptions; installs the completion function
// with the device runtime.
//
// A process-wide singleton (Singleton<StreamCallbackManager>::getInstance()), never destroyed.
//
// Report delivery (sdkGetOutputs, on the device runtime's reporter thread):
//  - the stream is found by id and marked busy in one step (OpStreamController::getStreamByIdBusy, without a
//    lock), so it cannot be deleted while the report is processed; a closing stream is skipped;
//  - every subscribed callback is called once per application input of the run (input order), and per input
//    in subscription order;
//  - DATASET OWNERSHIP: the output dataset handed to a callback is made by the library for that call and
//    destroyed by the library right after the callbacks of that input returned (the container, and the
//    buffer handles the library made; never the card memory of the application's outputs).  The application
//    must not keep or destroy it;
//  - on a device error or at the run's end op the run is recycled and its asynchronous inputs counted as
//    completed.  A report naming a run the stream no longer has (a late report after an error recycled the
//    run) is logged and counted in the stream's stale-report count; it counts no completion.
//
// Reports that do not come from the card, delivered the same way on the thread that needs them:
//  - reportSyncRun: a synchronous run reports the other inputs gathered in it, per reported op;
//  - reportFailedInputs: inputs taken out of a stream before the card reported them get one error report.
// While delivering, the thread is marked as delivering for that stream (setDeliveringStream), so that a
// callback that runs or destroys its own stream is refused instead of waiting for itself.
#ifndef QOBL_STREAM_CALLBACK_MANAGER_H
#define QOBL_STREAM_CALLBACK_MANAGER_H

#include <qobcrt/qobcrt.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "qobl_api.h"
#include "rwlock.h"

#include "stream.h"

namespace zenlar {
namespace qobl {


struct qoblCallbackTuple {
  qoblStreamReportCallback callback;
  void* userPtr;
  bool operator==(const qoblCallbackTuple& o) const { return callback == o.callback && userPtr == o.userPtr; }
};

// The completion function installed with the device runtime; always 0.  dev_id and func_arg are unused.
int sdkGetOutputs(uint32_t dev_id, get_desc* outputId, void* func_arg);

class StreamCallbackManager {
 public:
  StreamCallbackManager() = default;

  // Installs the completion function for the device (repeated for every stream; a failure is logged).
  void registerRuntimeCallback(uint32_t deviceId);
  void registerSdkCallback(uint32_t streamId, qoblStreamReportCallback callback, void* userPtr);
  void unregisterSdkCallback(uint32_t streamId, qoblStreamReportCallback callback, void* userPtr);
  // Drops every subscription of a stream (called when the stream is destroyed; ids are never reused).
  void removeStream(uint32_t streamId);
  // A stream's subscriptions as the map holds them: each change replaces the list.
  using SharedCallbackList = std::shared_ptr<const std::vector<qoblCallbackTuple>>;
  // A list as a delivery reads it, without taking a share of it (see getCallbackList).
  using CallbackList = const std::vector<qoblCallbackTuple>*;
  // The stream's subscriptions as they are now (a list that later subscriptions do not change); null
  // (logged) when it has none.  Called inside a delivery (DeliveringScope) only: the list stays valid until
  // the calling thread's outermost delivery ends.  The calling thread keeps the lists of the last few streams
  // it asked for and reads the map again only after a subscription changed; a list it stops keeping is
  // held until its outermost delivery ends, as a delivery further out may still be reading it.
  CallbackList getCallbackList(uint32_t streamId);
  // Handles the card's report of op `opUid` (without the end mark) of the run of `dataId` on `stream`,
  // which the caller holds busy; `errorCode` is the card's code (0: none).
  void process(IOpStream* stream, uint32_t dataId, uint32_t opUid, uint32_t errorCode);
  // Reports, for each op of `opUids` in order, the synchronous run of `datasetId` to every input gathered
  // in it but `ownInputId`, as the card's reports would (status 0).  The stream must still hold the run.
  void reportSyncRun(IOpStream* stream, uint32_t datasetId, uint32_t ownInputId, const std::vector<uint32_t>& opUids);
  // One report per input and callback: the stream's end op, the part of the input's output dataset that
  // belongs to the end op, errorCode `code`, isStreamEnd 1.  Nothing for a stream without subscriptions.
  void reportFailedInputs(IOpStream* stream, const InputRecords& inputs, uint32_t code);

 private:
  struct Delivery;
  // Delivers the report of op `opUid` of run `dataId` to every input of the run but `skipInputId` (0: none).
  // False when the stream no longer holds the run or the op's argument.
  bool deliver(IOpStream* stream, uint32_t dataId, uint32_t opUid, uint32_t status, uint32_t skipInputId);
  // The three ways an op's outputs reach the inputs of a run: a leaf op writes into the application's
  // outputs; a run-model op's outputs are split per input by batch position; any other op has one loop
  // per input.
  void deliverLeaf(const Delivery& d);
  void deliverRunModel(const Delivery& d);
  void deliverPerLoop(const Delivery& d);

  // Each subscription change replaces the stream's list, so that a report reads it without copying it.
  threadsafe_unordered_map<uint32_t, SharedCallbackList> streamReportCallbackDict_;
  // Raised after every change of the map above; the reporting threads keep the lists they read while it
  // stays the same (getCallbackList).
  std::atomic<uint64_t> subscriptionVersion_{1};
  threadsafe_unordered_map<uint32_t, bool> runtimeCallbackRegisterFlagDict_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_CALLBACK_MANAGER_H
