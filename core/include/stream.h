// Op streams: the runnable form of one op graph on one device.
//
// IOpStream    the one interface of a stream: the exported functions, the registry, the completion path and
//              the device synchronizer use it (no caller needs the implementation's type).
// OpStream     the implementation: build (validation, ordering, one instruction record per node), synchronous
//              and asynchronous runs, run bookkeeping for the completion path, recycling, and the per-stream
//              completion count and event that synchronisation waits on.
// StreamDataset (stream_dataset.h) the application's input and output datasets of one input id.
//
// OWNERSHIP
//  - Streams are made and deleted by OpStreamController (op_stream_controller.h) only.
//  - A stream owns (std::unique_ptr) its instruction records (irRecords_), every run-stream instruction it
//    created (the one being filled and those sent and not yet recycled, in runs_), and through each run
//    the StreamDataset records of the inputs gathered into it, which own, for an asynchronous input, the
//    clone of the application's output dataset (the container only; the buffers are the application's).
//    The bound graph, its ops and models are not owned; the graph must outlive the stream.
//  - A run's instruction, records and clones are released exactly once, by moving the run out of runs_
//    and its records out of the run, and letting the owners go: when the completion path recycles the run
//    (end op reported or a device error), when the synchronous run returns, when the run fails before or while being sent, or at teardown.  The
//    instruction's device memory goes at that moment; the emptied instruction itself is kept (spareRuns_)
//    for a later run of the stream, so the completion thread does not free what the submitter allocated.
//
// EVERY ACCEPTED INPUT COMPLETES ONCE.  An input accepted with 0 or qoblERR_RUN_PENDING gets exactly one
// terminal report (the end op's report, or a report carrying an error) through the report callbacks,
// except the input of a synchronous call that returned 0 or an error (the call's result is its outcome):
//  - the card's reports of an asynchronously sent run reach every input of the run (completion path);
//  - a synchronous run reports the other inputs gathered in it, from the calling thread, before returning;
//  - inputs taken out of the stream before the card reported them (their run could not be prepared or
//    sent, or the stream is destroyed) are reported as failed by the thread that took them out, with no
//    lock held, before they stop being counted (failInputs).
//
// DYNAMIC MODELS.  A run holds inputs of one shape: its first input applies the input op's shapes to the
// dynamic models; an input of other shapes is refused while the run gathers (qoblERR_RUN_STREAM).  Streams
// of other graphs, and the application, may load the same model with other shapes meanwhile: the run
// takes the models' locks while it loads them and while it is prepared, and loads them again for its own
// shapes when they were loaded by someone else since its first input.
//
// THREADS AND LOCKS
//  - streamLock_ (recursive: stream_lock.h) guards the run bookkeeping, busy/closing transitions and
//    recycling.  The table of runs carries its own spinning lock, always taken inside streamLock_.  No lock
//    of the stream is held while a thread sleeps or waits on the completion event.
//  - busy_ is set by the completion thread while it processes a report of this stream; runAsync and teardown
//    wait for it (checkBusy: a few yields, then a wait on busyCv_ that setBusy(false) ends).  setBusy takes
//    no lock: busy_ and closing_ are sequentially consistent flags that each side writes before it reads the
//    other's; a waiter announces itself (busyWaiters_) under busyMu_, and setBusy(false) takes busyMu_ and
//    notifies only when one is announced.  A closing stream refuses to become busy.
//    A completion found on the completion path wakes the synchronizing thread only when setBusy(false)
//    marks the stream idle, so that the woken thread's next submission does not wait for the busy stream.
//  - waiting_ is set while a thread waits in synchronize (or a device wait announced itself); runAsync is
//    refused meanwhile.
#ifndef QOBL_STREAM_H
#define QOBL_STREAM_H

#include <qobe/qobe.h>
#include <qobm/qobm.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "op_directed_graph.h"
#include "op_instruction.h"
#include "per_thread.h"
#include "qobl_api.h"
#include "qobl_shape.h"
#include "rwlock.h"
#include "stream_dataset.h"
#include "stream_lock.h"

namespace zenlar {
namespace qobl {

class IModel;
class IRunStreamInstruction;
struct DatasetEntries;
class RunStreamInstruction;
class IStreamOp;

// Records filed by an id that comes from a counter (a stream's runs), each record knowing its own id
// (ringKey).  A ring indexed by an id's low bits holds them with no hashing and no node to
// insert; an id whose ring slot still holds an older record (more than kRing in flight) goes to the overflow
// map.  One spinning write lock guards the table (the overflow map's own lock is taken inside it); the
// records' fields are not guarded by it.
template <class T, size_t kRingSize>
class RingTable {
 public:
  static constexpr size_t kRing = kRingSize;  // a power of 2
  static_assert((kRing & (kRing - 1)) == 0, "the ring's size is a power of 2");
  RingTable() : ring_(kRing) { overflow_.keepNodes(kRing / 4); }
  RingTable(const RingTable&) = delete;
  RingTable& operator=(const RingTable&) = delete;

  // Records `rec` (not null) under `id`, which no record in the table has.
  void put(uint64_t id, std::unique_ptr<T> rec) {
    std::lock_guard<SpinLock> guard(lock_);
    std::unique_ptr<T>& slot = slotOf(id);
    if (slot == nullptr) {
      slot = std::move(rec);
    } else {
      overflow_.slot(id) = std::move(rec);
    }
    ++count_;
  }
  // Takes the record of `id` out; null when there is none.
  std::unique_ptr<T> take(uint64_t id) {
    std::unique_ptr<T> rec;
    std::lock_guard<SpinLock> guard(lock_);
    std::unique_ptr<T>& slot = slotOf(id);
    if (slot != nullptr && ringKey(*slot) == id) {
      rec = std::move(slot);
    } else {
      overflow_.take(id, rec);
    }
    if (rec != nullptr) --count_;
    return rec;
  }
  // The record of `id`, or null; it stays the table's.
  T* find(uint64_t id) {
    T* rec = nullptr;
    visit(id, [&rec](T& r) { rec = &r; });
    return rec;
  }
  // Calls use(record of `id`) under the table's lock; false (use not called) when there is none.
  template <class Use>
  bool visit(uint64_t id, Use&& use) {
    std::lock_guard<SpinLock> guard(lock_);
    std::unique_ptr<T>& slot = slotOf(id);
    if (slot != nullptr && ringKey(*slot) == id) {
      use(*slot);
      return true;
    }
    return overflow_.visit(id, [&use](const std::unique_ptr<T>& r) { use(*r); });
  }
  // Number of records.
  size_t size() {
    std::lock_guard<SpinLock> guard(lock_);
    return count_;
  }
  // The ids of every record, appended to `ids`.
  void ids(std::vector<uint64_t>& ids) {
    std::lock_guard<SpinLock> guard(lock_);
    for (const std::unique_ptr<T>& slot : ring_) {
      if (slot != nullptr) ids.push_back(ringKey(*slot));
    }
    auto overflowGuard = overflow_.write_guard();
    for (auto it = overflow_.begin(); it != overflow_.end(); ++it) ids.push_back(it->first);
  }
  // Destroys every record.
  void clear() {
    std::lock_guard<SpinLock> guard(lock_);
    for (std::unique_ptr<T>& slot : ring_) slot.reset();
    overflow_.clear();
    count_ = 0;
  }

 private:
  std::unique_ptr<T>& slotOf(uint64_t id) { return ring_[id & (kRing - 1)]; }
  SpinLock lock_;
  std::vector<std::unique_ptr<T>> ring_;
  threadsafe_unordered_map<uint64_t, std::unique_ptr<T>> overflow_;
  size_t count_ = 0;
};

uint64_t ringKey(const RunStreamInstruction& run);

// A stream's runs (being filled, or sent and not recycled), by dataset id (ids from one counter of the
// process, so the runs of one stream in flight rarely share a slot).
using RunTable = RingTable<RunStreamInstruction, 64>;

// The one interface of a stream.  The exported functions, the registry, the completion path and the
// device synchronizer all use it.  The operations up to setBusy are the stream's contract with its
// callers; those after it serve the registry's teardown and the completion path's bookkeeping.
class IOpStream {
 public:
  virtual ~IOpStream() = default;

  // Marks an op of the bound graph whose outputs are reported.  qoblERR_STREAM_ALREADY_BUILT after build,
  // qoblERR_OP_NOT_IN_STREAM when no node of the graph has the op's uid.
  virtual qoblErr registerOpGetOutput(qobeOp* op) = 0;
  // Synchronous run: returns once the card is done (or `timeout` ms passed), 0, qoblERR_RUN_PENDING while
  // the run gathers inputs, or qoblERR_RUN_STREAM.
  virtual qoblErr run(qobmDataset* input, qobmDataset* output, uint32_t timeout) = 0;
  // Asynchronous run: 0 once sent, qoblERR_RUN_PENDING while the run gathers inputs, qoblERR_RUN_STREAM.
  // `output` is the output dataset as the caller read it when it checked its memory
  // (qoblCheckDatasetMemoryType); only its values are used, before the call returns.
  virtual qoblErr runAsync(qobmDataset* input, const DatasetEntries& output) = 0;
  virtual uint32_t id() = 0;
  virtual uint32_t deviceId() = 0;
  virtual bool isBuilt() = 0;
  virtual OpDirectedGraph* bindingGraph() = 0;
  virtual bool build() = 0;
  // Input ids gathered into the run of this dataset id, in arrival order (empty when unknown).
  virtual std::vector<uint32_t> getInstanceInputIds(uint32_t datasetId) = 0;
  // Releases the run of this dataset id: its instruction (and so its device memory), its bookkeeping and
  // its StreamDataset records; counts one completion per asynchronous input of the run.  Nothing happens
  // for an unknown dataset id.  `destroyOutputDataset` is kept for the interface; which outputs are
  // destroyed is decided per input (StreamDataset::ownsOutput).
  virtual void recycleInstructionMemory(uint32_t datasetId, bool destroyOutputDataset) = 0;
  virtual void release() = 0;
  // A new buffer-mode dataset with one card buffer (qobmMalloc) per leaf output; the caller owns all of it.
  virtual qoblErr requestOutputDataset(qobmDataset** dataset) = 0;
  // The run of this dataset id, or null.  The pointer, and the records of the run's inputs it holds
  // (IRunStreamInstruction::inputs), stay valid while the caller holds the stream busy.
  virtual IRunStreamInstruction* getRunstreamInstruction(uint32_t datasetId) = 0;
  // The record of an input id gathered into one of the stream's runs, or null; valid while the caller holds
  // the stream busy.  It searches the runs: the completion path reads its run's records in place instead.
  virtual StreamDataset* getDatasets(uint64_t inputSeq) = 0;
  virtual bool isLeafNode(uint32_t uid) = 0;
  // A new dataset (same mode) holding the entries of `outputDataset` that belong to the leaf op `uid`;
  // the caller destroys the container with qobmDestroyDataset.  Null on failure.
  virtual qobmDataset* getLeafNodeDataset(uint32_t uid, qobmDataset* outputDataset) = 0;
  // The dataset that reports the outputs of leaf op `uid` for the input of `rec`: the record's own clone
  // when that op's outputs are all of it (`borrowed` set: the record keeps it, the caller must not destroy
  // it), else a new dataset from getLeafNodeDataset (`borrowed` clear: the caller destroys it).  Null on
  // failure or when the record has no output dataset.
  virtual qobmDataset* leafOutputDataset(uint32_t uid, const StreamDataset& rec, bool& borrowed) = 0;
  virtual uint32_t endOpUid() = 0;
  // Counts one completed asynchronous input; signals the completion event when a waiter is satisfied.
  virtual bool callbackCount() = 0;
  // True when a thread waits for the stream and every asynchronous input has completed.
  virtual bool isCompleted() = 0;
  // Waits until every asynchronous input has completed: 0, or qoblERR_STREAM_SYNC_TIMEOUT.  From a report
  // callback (a delivery on the calling thread), the callback's own stream and a stream with runs on the
  // card are not waited for (their completions may need this thread): qoblERR_STREAM_SYNC_TIMEOUT at once
  // unless nothing is outstanding.
  virtual qoblErr synchronize(uint32_t timeout) = 0;
  // Inputs gathered per device run (the input op's loop count); 0 for a stream that is not built.
  virtual void getCacheNumber(uint32_t& num) = 0;
  // Announces a device wait: asynchronous runs are refused until clearWaitingState.
  virtual void setWaitingState() = 0;
  // Whether the completion path is working on the stream; without noWait, waits until it has left.
  virtual bool checkBusy(bool noWait) = 0;
  // Marks the stream busy (the completion path) or idle; false when asked to become busy while closing.
  // Marking it idle also wakes a waiter that a completion on this thread satisfied meanwhile: the caller
  // holds a reference on the stream (StreamRef) until the call returns.
  virtual bool setBusy(bool busy) = 0;

  // ---- teardown (OpStreamController::destroyStream) and completion bookkeeping ----
  // Ends a device wait's announcement unless a thread still waits in synchronize.
  virtual void clearWaitingState() = 0;
  // Refuses every later run (qoblERR_RUN_STREAM) and takes the run being filled out into `gathered` (to be
  // failed by the caller).  False, changing nothing, when the stream is already being destroyed, or when
  // `refuseIfRunsOnCard` is set and runs of the stream are on the card.
  virtual bool beginDestroy(bool refuseIfRunsOnCard, InputRecords& gathered) = 0;
  // Waits until every sent run was recycled by the completion path, at most `timeoutMs`; false on time-out.
  virtual bool waitRunsInFlight(uint32_t timeoutMs) = 0;
  // Sets closing and waits until the completion path has left the stream; wakes a waiting synchronize.
  virtual void close() = 0;
  // Takes every run still recorded (runs the card did not report in time) out, with their inputs.
  virtual InputRecords takeAllRuns() = 0;
  // Reports every input of `inputs` as failed with `code` to the report callbacks (end op, isStreamEnd 1),
  // then frees the records and counts the asynchronous ones completed.  No lock may be held.
  virtual void failInputs(InputRecords& inputs, uint32_t code) = 0;
  virtual bool isDestroying() const = 0;
  // Runs sent and not yet recycled.
  virtual size_t runsInFlight() = 0;
  // Inputs gathered in the run being filled (they wait for more inputs before the run is sent).
  virtual size_t gatheredInputs() = 0;
  // Reports that named a run this stream no longer has (logged and counted, not as completions).
  virtual uint64_t staleReports() const = 0;
  virtual void countStaleReport() = 0;
  // Asynchronous inputs accepted and not yet completed.
  virtual uint64_t waitHandleCount() const = 0;
  // The op-engine op of the stream's end op (null before the build).
  virtual qobeOp* endOp() = 0;
};

class OpStream final : public IOpStream {
 public:
  // Throws std::logic_error("can't create qobm event in OpStream constructor") when the event cannot be
  // created.
  OpStream(uint32_t devId, qoblBalanceMode balMode, OpDirectedGraph* graph);
  ~OpStream() override;
  OpStream(const OpStream&) = delete;
  OpStream& operator=(const OpStream&) = delete;

  qoblErr registerOpGetOutput(qobeOp* op) override;
  qoblErr run(qobmDataset* input, qobmDataset* output, uint32_t timeout) override;
  qoblErr runAsync(qobmDataset* input, const DatasetEntries& output) override;
  uint32_t id() override { return streamId_; }
  uint32_t deviceId() override { return deviceId_; }
  bool isBuilt() override { return isBuilt_.load(); }
  OpDirectedGraph* bindingGraph() override { return graph_; }
  bool build() override;
  std::vector<uint32_t> getInstanceInputIds(uint32_t datasetId) override;
  void recycleInstructionMemory(uint32_t datasetId, bool destroyOutputDataset) override;
  void release() override;
  qoblErr requestOutputDataset(qobmDataset** dataset) override;
  IRunStreamInstruction* getRunstreamInstruction(uint32_t datasetId) override;
  StreamDataset* getDatasets(uint64_t inputSeq) override;
  bool isLeafNode(uint32_t uid) override;
  qobmDataset* getLeafNodeDataset(uint32_t uid, qobmDataset* outputDataset) override;
  qobmDataset* leafOutputDataset(uint32_t uid, const StreamDataset& rec, bool& borrowed) override;
  uint32_t endOpUid() override { return endOpUId_; }
  bool callbackCount() override;
  bool isCompleted() override;
  qoblErr synchronize(uint32_t timeout) override;
  void getCacheNumber(uint32_t& num) override;
  void setWaitingState() override { waiting_.store(true); }
  bool checkBusy(bool noWait) override;
  bool setBusy(bool busy) override;

  void clearWaitingState() override {
    if (waiters_.load() == 0) waiting_.store(false);
  }
  bool beginDestroy(bool refuseIfRunsOnCard, InputRecords& gathered) override;
  bool waitRunsInFlight(uint32_t timeoutMs) override;
  void close() override;
  InputRecords takeAllRuns() override;
  void failInputs(InputRecords& inputs, uint32_t code) override;
  bool isDestroying() const override { return destroying_.load(); }
  size_t runsInFlight() override;
  size_t gatheredInputs() override;
  uint64_t staleReports() const override { return staleReports_.load(); }
  void countStaleReport() override { ++staleReports_; }
  uint64_t waitHandleCount() const override { return waitHandleCount_.load(); }
  qobeOp* endOp() override;

  // Adds one input set to the run being filled; builds the run when it holds the cache number of inputs.
  // 0 (built, ready to send), qoblERR_RUN_PENDING, qoblERR_STREAM_INPUT, qoblERR_STREAM_INSTRUCTION, or the
  // dynamic-model update's code.  Caller holds streamLock_.
  // `input` is the input's record: the run takes it (it ends null) once the input is gathered, also when
  // the build then fails, so that taking the run out takes it with the others; after an earlier failure it
  // stays the caller's.
  qoblErr generateRunStreamInstruction(std::unique_ptr<StreamDataset>& input, const uint64_t* inputs,
                                       uint64_t inputCount, const uint64_t* outputs, uint64_t outputCount);
  qoblErr updateDynamicModel();

 private:
  // The opening shared by run and runAsync: checks, records the input and gathers it into the run being
  // filled.  Returns qoblERR_RUN_PENDING (or a refusal, nothing changed), or 0 with the run ready to send in
  // `ready` (taken out of the run being filled) and the input's id in `inputId`; a failed gathering has
  // already been reported (qoblERR_RUN_STREAM).  An asynchronous input comes with its output dataset read
  // already (`asyncOutput`; `output` is then its dataset), a synchronous one with `asyncOutput` null.
  qoblErr openRun(qobmDataset* input, qobmDataset* output, const DatasetEntries* asyncOutput, uint32_t& inputId,
                  RunStreamInstruction*& ready);
  // The synchronous run's tail: reports the other inputs of the run and frees it.
  qoblErr finishSyncRun(uint32_t datasetId, uint32_t inputId, int result, uint32_t devStatus);
  // Takes the run of `datasetId` out of the bookkeeping and frees its instruction; returns its inputs.
  // The input `exceptInputId` (0: none), if gathered into the run, is not returned but released at once:
  // it belongs to the call that is failing.  Takes streamLock_.
  InputRecords takeRun(uint32_t datasetId, uint32_t exceptInputId);
  // The same into `taken` (appended).
  void takeRun(uint32_t datasetId, uint32_t exceptInputId, InputRecords& taken);
  // Takes the run of `datasetId` out of the bookkeeping: its input records go into `inputs` (which must be
  // empty; it stays empty when there is no such run), its device memory is freed and the emptied
  // instruction is kept for a later run or destroyed.  Caller holds streamLock_.
  void detachRun(uint32_t datasetId, InputRecords& inputs);
  // takeRun for the run being filled.
  InputRecords takeCurrentRun(uint32_t exceptInputId);
  // Adds the input of record `input` to the run being filled (generateRunStreamInstruction, which takes
  // the record).  0 with the run taken out of curRunStream_ into `ready` when it is complete and built;
  // qoblERR_RUN_PENDING; or qoblERR_RUN_STREAM, after which the caller releases the record if it still
  // holds it and takes the run being filled out (takeCurrentRun) before it releases the lock.  Caller holds
  // streamLock_.
  qoblErr gatherInput(std::unique_ptr<StreamDataset>& input, const std::vector<uint64_t>& ins,
                      const std::vector<uint64_t>& outs, RunStreamInstruction*& ready);
  // Frees the records' owned clones, keeps the records for later inputs (spareRecords_), empties `inputs`
  // and counts the asynchronous ones completed.
  void finishInputs(InputRecords& inputs);
  // finishInputs for one record (caller holds streamLock_): destroys its owned clone and keeps it for a
  // later input (or frees it); `rec` ends empty.  Returns whether the input was counted.
  bool keepRecord(std::unique_ptr<StreamDataset>& rec);
  // A record for a new input from spareRecords_ (null when there is none): for an asynchronous input
  // (`entries` not null), preferably one whose kept clone holds these entries (`keepsClone` then set).
  // Caller holds streamLock_.
  std::unique_ptr<StreamDataset> takeSpareRecord(const DatasetEntries* entries, bool& keepsClone);
  // A new clone of the output dataset read into `entries` for the input of `rec`, whose kept clone (if
  // any) it replaces.  Null on failure, `rec` unchanged.
  qobmDataset* outputClone(StreamDataset& rec, const DatasetEntries& entries);
  // Frees the record of the input of a call that is failing, at once with its clone, and takes it out of
  // the completion count if it was counted; `rec` may be null.
  void dropFailedInput(std::unique_ptr<StreamDataset>& rec);
  // Inputs gathered into the run of `datasetId` (0 when there is no such run).
  size_t inputsOf(uint32_t datasetId);
  void uncount(uint32_t n);
  // Sets the completion event when a waiter is satisfied; on the thread that marked the stream busy, only
  // when it marks it idle again (wakeOnIdle_).
  void signalCompleted();
  // Clears busy_ and wakes the threads waiting for it in checkBusy.
  void leaveBusy();
  // True when the calling thread delivers reports and a wait for this stream could need that thread: it
  // delivers this stream's reports, or this stream has runs on the card.
  bool waitWouldBlockReports();
  // How long a wait from a report callback sleeps before it looks again for runs sent to the card.
  static constexpr uint32_t kDeliveryWaitSliceMs = 5;
  void destroy();
  // Input-op shapes of every dynamic model of the stream, in op order, into `shapes` (replacing its
  // contents; empty without dynamic models).
  void dynamicShapes(std::vector<qoblShape>& shapes);
  // False (logged) when the run being filled holds inputs and the input op now declares other shapes for a
  // dynamic model.  Caller holds streamLock_.
  bool fitsRunBeingFilled();
  // Whether a dynamic model was loaded since this stream last loaded it for a run; caller holds the models'
  // locks.
  bool dynamicModelsLoadedElsewhere();
  // Records the dynamic models' generations after this stream loaded them; caller holds their locks.
  void noteDynamicModelsLoaded();
  // Applies the input op's current output shapes to the dynamic model of run-model op `op`, keeping its
  // batch size.
  qoblErr applyShapes(IStreamOp* op, IModel* model);

  static std::atomic<uint32_t> idMaker_;

  uint32_t streamId_;
  uint32_t deviceId_;
  [[maybe_unused]] qoblBalanceMode balMode_;  // stored only: the card receives the mode at creation
  std::atomic<bool> isBuilt_{false};
  std::atomic<uint32_t> inputSeq_{0};
  OpDirectedGraph* graph_;
  std::vector<std::unique_ptr<OpIRInstruction>> irRecords_;  // owned records, node-list order
  std::vector<OpIRInstruction*> irStream_;                   // the same, as the run instructions take them
  uint32_t endOpUId_ = 0;
  RunStreamInstruction* curRunStream_ = nullptr;  // the run being filled, owned by the map below
  StreamLock streamLock_;
  // Every run of the stream (being filled, or sent and not recycled), by dataset id; each run holds the
  // records of its inputs.
  RunTable runs_;
  // Recycled run instructions, emptied (their device memory already freed), handed out again for the next
  // runs instead of new ones; at most kSpareRuns are kept.
  static constexpr size_t kSpareRuns = 4;
  std::vector<std::unique_ptr<RunStreamInstruction>> spareRuns_;
  std::vector<OpIRInstruction*> leafNodeIRs_;
  uint32_t streamLeafNodeOutputCount_ = 0;
  // Records of finished inputs, reused for later inputs (at most kSpareRecords), with the clones they keep;
  // guarded by streamLock_.  A new asynchronous input looks for a kept clone of its entries among the last
  // kCloneSearch of them (a run's records come back in the run's order).
  static constexpr size_t kSpareRecords = 256;
  static constexpr size_t kCloneSearch = 16;
  std::vector<std::unique_ptr<StreamDataset>> spareRecords_;
  InputRecords takenInputs_;  // the records of the run being taken out (detachRun), kept with its capacity
  qobmEvent* waitEvent_ = nullptr;
  std::atomic<bool> waiting_{false};
  std::atomic<uint64_t> waitHandleCount_{0};
  bool logBusy_ = false;
  bool printRuns_ = false;  // NIMBRA_PIPELINE set when the stream was made: print each run being filled
  std::atomic<bool> closing_{false};
  std::atomic<bool> busy_{false};
  std::mutex busyMu_;                    // pairs busy_ going false with busyCv_'s waiters
  std::condition_variable busyCv_;
  std::atomic<uint32_t> busyWaiters_{0};  // threads waiting on busyCv_ (announced under busyMu_)
  bool wakeOnIdle_ = false;  // a completion to signal at setBusy(false); only the busy-marking thread uses it

  std::atomic<bool> destroying_{false};
  std::atomic<uint32_t> waiters_{0};  // threads inside synchronize
  std::atomic<uint64_t> staleReports_{0};
  std::vector<qoblShape> runShapes_;  // dynamicShapes when the run being filled took its first input
  // A run-model op of the stream runs a dynamic model (set by build): only then do inputs carry shapes to
  // apply and compare.
  bool hasDynamicModels_ = false;
  // The dynamic models of the run-model ops, each once, in address order (the order in which their locks
  // are taken), and the generation each had when this stream last loaded it for a run (set by build).
  // Other streams may share the models: the run being prepared holds their locks, and loads them again
  // for its shapes when another thread loaded them since.
  std::vector<IModel*> dynamicModels_;
  std::vector<uint64_t> loadedGenerations_;
};

// The stream whose report the calling thread is delivering (null outside report processing).  The
// completion path sets it around a report, so that a report callback that runs or destroys its own stream
// is refused instead of waiting for itself.  Read and set several times per report: inline.
inline QOBL_THREAD_LOCAL IOpStream* tDeliveringStream = nullptr;
inline void setDeliveringStream(IOpStream* stream) { tDeliveringStream = stream; }
inline IOpStream* deliveringStream() { return tDeliveringStream; }

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_H
