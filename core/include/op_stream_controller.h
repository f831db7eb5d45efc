// OpStreamController: the process-wide registry of op streams and of the handles the API gave out.
//
// It creates streams (openStream: the stream object, its device's DeviceSynchronizer, the completion
// function installed with the device runtime, the card's stream record, the handle), finds streams by id
// (completion path), by graph (the graph registry refuses to destroy a graph a stream uses) and by handle
// (exported functions), runs device waits and destroys streams.
//
// SLOTS AND HANDLES.  Every stream has a slot in the registry, and its qoblStream handle record is the
// first field of that slot.  Slots live in chunks that are never freed, so the lookups the exported
// functions and the completion path make on every input take no lock:
//  - acquire() accepts a handle only if its address is the start of a slot of a chunk the registry made
//    (a range check on the address: a null, foreign or stack handle is refused without reading it);
//  - acquireById() finds the slot of a stream id in an index that readers probe without a lock (written
//    under streamDictMutex_);
//  - a reader takes a reference on the slot, then reads the slot's stream pointer; the destroy clears the
//    pointer, then waits until the references drained.  Both sides use sequentially consistent
//    operations, so either the reader sees the pointer cleared or the destroy sees the reference and
//    waits for it: no reader ever uses a deleted stream.
// When a stream is destroyed its slot goes to the back of a queue and is given to a new stream only after
// 1024 later streams were destroyed: meanwhile its address names no other stream and a stale handle is
// refused (its slot holds no stream).  The registry keeps at most the peak number of live streams plus
// 1025 slots (64 bytes each).
//
// OWNERSHIP: the registry owns the streams (deleted by destroyStream), the synchronizers and the slots
// (neither ever deleted).  The application holds a handle while its stream lives; the handle record
// itself always belongs to the registry (qoblDestroyOpStream does not free it).
//
// TEARDOWN (destroyStream), in order:
//   1. the stream refuses new runs and the run it was filling is taken out; acquire() refuses the stream
//      from now on.  From a report callback (whose thread may be the one delivering the stream's reports)
//      the destroy is refused instead, changing nothing, while runs of the stream are on the card;
//   2. the inputs taken out get an error report (qoblERR_DESTROY_STREAM) and are counted completed;
//   3. runs already sent to the card are waited for, up to kDrainTimeoutMs, while their reports are still
//      delivered normally;
//   4. the stream leaves the registry (its slot's stream pointer is cleared and its id leaves the index)
//      and its device's synchronizer;
//   5. closing: later reports are dropped; the call waits until the completion path left the stream and
//      until no exported call, device wait or report delivery still holds a reference on it;
//   6. runs the card did not report in time: their inputs get an error report (qoblERR_DESTROY_STREAM);
//   7. release and delete; the slot joins the queue of retired slots.
// So every input the stream accepted has had exactly one terminal report when the destroy returns.
//
// LOCKS: streamDictMutex_ (recursive) guards the containers and the writes to the slots and the id index;
// only creation, destruction, device waits and the non-hot queries take it, never the lookups of
// acquire() and acquireById().  It is never held while waiting; it is taken before a stream's lock
// (destroyStream's first step) and never while a synchronizer's mutex is held.
#ifndef QOBL_OP_STREAM_CONTROLLER_H
#define QOBL_OP_STREAM_CONTROLLER_H

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "qobl_api.h"
#include "qobl_api_impl.h"

namespace zenlar {
namespace qobl {

class IModel;
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
  static IOpStream* getStreamByGraphAddr(uint64_t graphAddr);
  // The id of a live stream whose graph has a run-model op of `model`, or 0 when there is none.
  static uint32_t streamUsingModel(const IModel* model);
  static qoblErr synchronizeDevice(uint32_t deviceId, uint32_t timeout);
  static std::set<uint32_t> getAllDeviceId();
  // Deletes every registered stream (with the teardown above).
  static void release();

  // ---- references on streams (StreamRef) ----
  // A registry slot (defined in op_stream_controller.cpp); outside the registry only StreamRef holds one.
  struct Slot;
  // The stream of a handle made by openStream, with one reference taken on its slot (`slot`, released with
  // releaseRef); null (slot null) for a null, foreign or stale handle, or a stream being destroyed.
  static IOpStream* acquire(const qoblStream* handle, Slot*& slot);
  // The registered stream with this id, with one reference taken (released with releaseRef), also while it
  // is being destroyed (the destroy waits for the reference); null once it left the registry.
  static IOpStream* acquireById(uint32_t streamId, Slot*& slot);
  static void releaseRef(Slot* slot);

 private:
  // The slot of a stream, or null; caller holds streamDictMutex_.
  static Slot* slotOf(uint32_t streamId);

  // Live streams by id.  A stream's entry goes in the same step as its slot's stream pointer (teardown 4).
  static std::unordered_map<uint32_t, Slot*> streamDict_;
  // Never destroyed (nor its synchronizers): completion may still reach them while the process exits.
  static std::unordered_map<uint32_t, IDeviceSynchronizer*>& deviceSynchronizerDict_;
  static std::recursive_mutex streamDictMutex_;
  static std::set<uint32_t> deviceIdSet_;
};

// RAII reference on a registered stream (OpStreamController::acquire / acquireById / releaseRef): the
// stream is not deleted while the reference is held.
class StreamRef {
 public:
  // The stream of a handle; empty for a null, foreign or stale handle or a stream being destroyed.
  explicit StreamRef(const qoblStream* handle) { stream_ = OpStreamController::acquire(handle, slot_); }
  // The registered stream with this id (also while it is being destroyed); empty once it left the registry.
  static StreamRef byId(uint32_t streamId) { return StreamRef(streamId); }
  ~StreamRef() { OpStreamController::releaseRef(slot_); }
  StreamRef(const StreamRef&) = delete;
  StreamRef& operator=(const StreamRef&) = delete;
  IOpStream* get() const { return stream_; }
  explicit operator bool() const { return stream_ != nullptr; }
  IOpStream* operator->() const { return stream_; }

 private:
  explicit StreamRef(uint32_t streamId) { stream_ = OpStreamController::acquireById(streamId, slot_); }
  OpStreamController::Slot* slot_ = nullptr;
  IOpStream* stream_ = nullptr;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_STREAM_CONTROLLER_H
