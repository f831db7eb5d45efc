// OpStreamController: the process-wide registry of op streams and of the handles the API gave out.
//
// It creates streams (openStream: the stream object, its device's DeviceSynchronizer, the completion
// function installed with the device runtime, the card's stream record, the handle), finds streams by id
// (completion path), by graph (the graph registry refuses to destroy a graph a stream uses) and by handle
// (exported functions), runs device waits and destroys streams.
//
// HANDLES.  Every qoblStream handle record is registered with its stream.  Exported functions resolve a
// handle with acquire(), which looks the record's address up (the record is never read unless it is
// registered), so a null, foreign or stale handle is refused without touching freed memory.  When a stream
// is destroyed its handle record is kept (owned by the registry) rather than freed, until 1024 later streams
// have been destroyed: meanwhile its address is given to no other stream, and the stale handle stays
// recognisably stale.  Older records are freed, so the registry keeps a bounded number of them.
//
// OWNERSHIP: the registry owns the streams (deleted by destroyStream) and the synchronizers (never
// deleted); the handle records are the application's while the stream lives and the registry's afterwards.
//
// TEARDOWN (destroyStream), in order:
//   1. the stream refuses new runs and the run it was filling is taken out.  From a report callback (whose
//      thread may be the one delivering the stream's reports) the destroy is refused instead, changing
//      nothing, while runs of the stream are on the card;
//   2. the inputs taken out get an error report (qoblERR_DESTROY_STREAM) and are counted completed;
//   3. runs already sent to the card are waited for, up to kDrainTimeoutMs, while their reports are still
//      delivered normally;
//   4. the stream leaves the registry and its device's synchronizer;
//   5. closing: later reports are dropped; the call waits until the completion path left the stream and
//      until no exported call or device wait still works on it;
//   6. runs the card did not report in time: their inputs get an error report (qoblERR_DESTROY_STREAM);
//   7. release and delete.
// So every input the stream accepted has had exactly one terminal report when the destroy returns.
//
// LOCKS: streamDictMutex_ (recursive) guards the containers only and is never held while waiting; it is
// taken before a stream's lock (getStreamByIdBusy marks the stream busy under it) and never while a
// synchronizer's mutex is held.
#ifndef QOBL_OP_STREAM_CONTROLLER_H
#define QOBL_OP_STREAM_CONTROLLER_H

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include "qobl_api.h"
#include "qobl_api_impl.h"

namespace zenlar {
namespace qobl {

class IOpStream;
class OpDirectedGraph;
class IDeviceSynchronizer;

class OpStreamController {
 public:
  OpStreamController() = delete;

  // How long teardown waits for runs already on the card.
  static constexpr uint32_t kDrainTimeoutMs = 10000;

  // Makes a stream of a live graph on the calling thread's current device, with its handle record in
  // *handle: registers it, installs the completion function for the device and announces the stream to
  // the card.  qoblERR_INVALID_PARAM for a graph that is not live, qoblERR_CREATE_STREAM (logged) when there
  // is no current device, the stream cannot be made or the card refuses it (nothing stays registered then).
  static qoblErr openStream(OpDirectedGraph* graph, qoblBalanceMode mode, qoblStream** handle);
  // Destroys the stream of a handle (destroyStream) and makes the card forget its stream record (a failure
  // there is logged; the stream is gone).  qoblERR_DESTROY_STREAM when the handle names no live stream or
  // the destroy is refused.
  static qoblErr closeStream(const qoblStream* handle);
  // Constructs and registers a stream; construction failure (std::logic_error) propagates.
  static IOpStream* createStream(uint32_t deviceId, qoblBalanceMode mode, OpDirectedGraph* graph);
  // Tears the stream down (see above).  False (logged) when the id is not registered, the stream is
  // already being destroyed, the caller is a report callback of this very stream, or a report callback
  // while the stream has runs on the card.
  static bool destroyStream(uint32_t streamId);
  static bool isValidStream(IOpStream* stream);
  // Null (logged) when absent.
  static IOpStream* getStreamById(uint32_t streamId);
  // The completion path's lookup: finds the stream and marks it busy in one step, so it cannot be deleted
  // before the caller calls setBusy(false).  Null when absent or closing (`closing` tells which).
  static IOpStream* getStreamByIdBusy(uint32_t streamId, bool& closing);
  static IOpStream* getStreamByGraphAddr(uint64_t graphAddr);
  static qoblErr synchronizeDevice(uint32_t deviceId, uint32_t timeout);
  static std::set<uint32_t> getAllDeviceId();
  // Deletes every registered stream (with the teardown above).
  static void release();

  // ---- handles of the exported functions ----
  static void registerHandle(qoblStream* handle, IOpStream* stream);
  // The stream of a registered handle, with one reference taken (release it with releaseStream); null
  // for a null, unknown or stale handle, or a stream being destroyed.
  static IOpStream* acquire(const qoblStream* handle);
  static void releaseStream(IOpStream* stream);
  // The registered stream with this id, with one reference taken (release it with releaseStream), also
  // while it is being destroyed (the destroy waits for the reference); null once it left the registry.
  static IOpStream* acquireById(uint32_t streamId);

 private:
  static std::unordered_map<uint32_t, IOpStream*> streamDict_;
  // Never destroyed (nor its synchronizers): completion may still reach them while the process exits.
  static std::unordered_map<uint32_t, IDeviceSynchronizer*>& deviceSynchronizerDict_;
  static std::recursive_mutex streamDictMutex_;
  static std::set<uint32_t> deviceIdSet_;
  static std::unordered_map<const qoblStream*, IOpStream*> handleDict_;
};

// RAII reference on the stream behind a handle (OpStreamController::acquire / releaseStream).
class StreamRef {
 public:
  explicit StreamRef(const qoblStream* handle) : stream_(OpStreamController::acquire(handle)) {}
  ~StreamRef() { OpStreamController::releaseStream(stream_); }
  StreamRef(const StreamRef&) = delete;
  StreamRef& operator=(const StreamRef&) = delete;
  IOpStream* get() const { return stream_; }
  explicit operator bool() const { return stream_ != nullptr; }
  IOpStream* operator->() const { return stream_; }

 private:
  IOpStream* stream_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_STREAM_CONTROLLER_H
