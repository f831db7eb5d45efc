// Op streams: the runnable form of one op graph on one device.
//
// IOpStream    the interface the registry, the completion path and the exported functions use.
// OpStream     the implementation: build (validation, ordering, one instruction record per node), synchronous
//              and asynchronous runs, run bookkeeping for the completion path, recycling, and the per-stream
//              completion count and event that synchronisation waits on.
// StreamDataset the application's input and output datasets of one input id.
//
// OWNERSHIP
//  - Streams are made and deleted by OpStreamController (op_stream_controller.h) only.
//  - A stream owns its instruction records (irStream_), every run-stream instruction it created (the one
//    being filled and those sent and not yet recycled), every StreamDataset record, and for asynchronous
//    inputs the clone of the application's output dataset (the container only; the buffers are the
//    application's).  The bound graph, its ops and models are not owned; the graph must outlive the stream.
//  - A run's instruction, records and clones are released exactly once: when the completion path recycles
//    the run (end op reported or a device error), when the synchronous run returns, when the run fails
//    before or while being sent, or at teardown.
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
// dynamic models; an input of other shapes is refused while the run gathers (qoblERR_RUN_STREAM).
//
// THREADS AND LOCKS
//  - streamLock_ (recursive) guards the run bookkeeping, busy/closing transitions and recycling.  The maps
//    carry their own spinning locks, always taken inside streamLock_.  No lock of the stream is held while a
//    thread sleeps or waits on the completion event.
//  - busy_ is set by the completion thread while it processes a report of this stream; runAsync and teardown
//    wait for it with 1-microsecond sleeps (checkBusy).  A closing stream refuses to become busy.
//  - waiting_ is set while a thread waits in synchronize (or a device wait announced itself); runAsync is
//    refused meanwhile.
#ifndef QOBL_STREAM_H
#define QOBL_STREAM_H

#include <qobe/qobe.h>
#include <qobm/qobm.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "op_directed_graph.h"
#include "op_instruction.h"
#include "qobl_api.h"
#include "qobl_shape.h"
#include "rwlock.h"

namespace zenlar {
namespace qobl {

class IRunStreamInstruction;

// The datasets of one input id.  `output` is the application's dataset for a synchronous input and a clone
// of it (owned by the stream, ownsOutput set) for an asynchronous one.  `counted` is set when the input was
// added to the stream's completion count (asynchronous inputs).
struct StreamDataset {
  StreamDataset(uint32_t id, qobmDataset* in, qobmDataset* out, bool owns, bool isCounted)
      : inputId(id), input(in), output(out), ownsOutput(owns), counted(isCounted) {}
  uint32_t inputId;
  qobmDataset* input;
  qobmDataset* output;
  bool ownsOutput;
  bool counted;
};

using StreamDatasetMap = threadsafe_unordered_map<uint64_t, StreamDataset*>;
// Inputs taken out of a stream's bookkeeping, in arrival order; the holder owns the records.
using InputRecords = std::vector<StreamDataset*>;

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
  virtual qoblErr runAsync(qobmDataset* input, qobmDataset* output) = 0;
  virtual uint32_t id() = 0;
  virtual uint32_t deviceId() = 0;
  virtual bool isBuilt() = 0;
  virtual OpDirectedGraph* bindingGraph() = 0;
  virtual bool build() = 0;
  // Input ids gathered into the run of this dataset id, in arrival order (empty when unknown).
  virtual std::vector<uint32_t> getInstanceInputIds(uint32_t datasetId) = 0;
  // Releases the run of this dataset id: its instruction (and so its device memory), its bookkeeping, its
  // StreamDataset records and the output clones the stream owns; counts one completion per asynchronous
  // input of the run.  Nothing happens for an unknown dataset id.  `destroyOutputDataset` is kept for the
  // interface; which outputs are destroyed is decided per input (StreamDataset::ownsOutput).
  virtual void recycleInstructionMemory(uint32_t datasetId, bool destroyOutputDataset) = 0;
  virtual void release() = 0;
  // A new buffer-mode dataset with one card buffer (qobmMalloc) per leaf output; the caller owns all of it.
  virtual qoblErr requestOutputDataset(qobmDataset** dataset) = 0;
  // The run of this dataset id, or null.  The pointer stays valid while the caller holds the stream busy.
  virtual IRunStreamInstruction* getRunstreamInstruction(uint32_t datasetId) = 0;
  virtual StreamDataset* getDatasets(uint64_t inputSeq) = 0;
  virtual bool isLeafNode(uint32_t uid) = 0;
  // A new dataset (same mode) holding the entries of `outputDataset` that belong to the leaf op `uid`;
  // the caller destroys the container with qobmDestroyDataset.  Null on failure.
  virtual qobmDataset* getLeafNodeDataset(uint32_t uid, qobmDataset* outputDataset) = 0;
  virtual uint32_t endOpUid() = 0;
  // Counts one completed asynchronous input; signals the completion event when a waiter is satisfied.
  virtual bool callbackCount() = 0;
  virtual bool isCompleted() = 0;
  // Waits until every asynchronous input has completed: 0, or qoblERR_STREAM_SYNC_TIMEOUT.
  virtual qoblErr synchronize(uint32_t timeout) = 0;
  // Inputs gathered per device run (the input op's loop count); 0 for a stream that is not built.
  virtual void getCacheNumber(uint32_t& num) = 0;
  virtual void setWaitingState() = 0;
  virtual bool checkBusy(bool noWait) = 0;
  virtual bool setBusy(bool busy) = 0;
};

class OpStream : public IOpStream {
 public:
  // Throws std::logic_error("can't create qobm event in OpStream constructor") when the event cannot be
  // created.
  OpStream(uint32_t devId, qoblBalanceMode balMode, OpDirectedGraph* graph);
  ~OpStream() override;
  OpStream(const OpStream&) = delete;
  OpStream& operator=(const OpStream&) = delete;

  qoblErr registerOpGetOutput(qobeOp* op) override;
  qoblErr run(qobmDataset* input, qobmDataset* output, uint32_t timeout) override;
  qoblErr runAsync(qobmDataset* input, qobmDataset* output) override;
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
  uint32_t endOpUid() override { return endOpUId_; }
  bool callbackCount() override;
  bool isCompleted() override;
  qoblErr synchronize(uint32_t timeout) override;
  void getCacheNumber(uint32_t& num) override;
  void setWaitingState() override { waiting_.store(true); }
  // Ends a device wait's announcement unless a thread still waits in synchronize.
  void clearWaitingState() {
    if (waiters_.load() == 0) waiting_.store(false);
  }
  bool checkBusy(bool noWait) override;
  bool setBusy(bool busy) override;

  // Adds one input set to the run being filled; builds the run when it holds the cache number of inputs.
  // 0 (built, ready to send), qoblERR_RUN_PENDING, qoblERR_STREAM_INPUT, qoblERR_STREAM_INSTRUCTION, or the
  // dynamic-model update's code.  Caller holds streamLock_.
  qoblErr generateRunStreamInstruction(uint32_t inputDataId, uint64_t* inputs, uint64_t inputCount,
                                       uint64_t* outputs, uint64_t outputCount);
  uint32_t nextInputSeq() { return ++inputSeq_; }
  qoblErr updateDynamicModel();

  // ---- teardown support (OpStreamController::destroyStream) ----
  // Refuses every later run (qoblERR_RUN_STREAM) and takes the run being filled out into `gathered` (to be
  // failed by the caller).  False, changing nothing, when the stream is already being destroyed, or when
  // `refuseIfRunsOnCard` is set and runs of the stream are on the card.
  bool beginDestroy(bool refuseIfRunsOnCard, InputRecords& gathered);
  // Waits until every sent run was recycled by the completion path, at most `timeoutMs`; false on time-out.
  bool waitRunsInFlight(uint32_t timeoutMs);
  // Sets closing_ and waits until the completion path has left the stream (destroy steps 1 and 2).
  void close();
  // Takes every run still recorded (runs the card did not report in time) out, with their inputs.
  InputRecords takeAllRuns();
  // Reports every input of `inputs` as failed with `code` to the report callbacks (end op, isStreamEnd 1),
  // then frees the records and counts the asynchronous ones completed.  No lock may be held.
  void failInputs(InputRecords& inputs, uint32_t code);
  bool isClosing() const { return closing_.load(); }
  bool isDestroying() const { return destroying_.load(); }
  // Runs sent and not yet recycled.
  size_t runsInFlight();
  // Inputs gathered in the run being filled (they wait for more inputs before the run is sent).
  size_t gatheredInputs();
  // Reports that named a run this stream no longer has (logged and counted here, not as completions).
  uint64_t staleReports() const { return staleReports_.load(); }
  void countStaleReport() { ++staleReports_; }
  // Exported calls currently working on this stream (see OpStreamController::acquire).
  std::atomic<uint32_t>& apiRefs() { return apiRefs_; }
  uint64_t waitHandleCount() const { return waitHandleCount_.load(); }
  // The op-engine op of the stream's end op (null before the build).
  qobeOp* endOp();

 private:
  // Takes the run of `datasetId` out of the bookkeeping and deletes its instruction; returns its inputs.
  // The input `exceptInputId` (0: none) is not returned but released at once, whether or not it was
  // gathered: it belongs to the call that is failing.  Takes streamLock_.
  InputRecords takeRun(uint32_t datasetId, uint32_t exceptInputId);
  // takeRun for the run being filled, also when it holds no recorded input yet.
  InputRecords takeCurrentRun(uint32_t exceptInputId);
  // Adds the stored input `inputId` to the run being filled (generateRunStreamInstruction).  0 with the run
  // taken out of curRunStream_ into `ready` when it is complete and built; qoblERR_RUN_PENDING; or
  // qoblERR_RUN_STREAM with the run being filled taken out into `dropped` (the input itself released).
  // Takes streamLock_.
  qoblErr gatherInput(uint32_t inputId, std::vector<uint64_t>& ins, std::vector<uint64_t>& outs,
                      IRunStreamInstruction*& ready, InputRecords& dropped);
  // Fails the inputs a failed gatherInput took out, logs, and returns qoblERR_RUN_STREAM.  No lock held.
  qoblErr failGathering(InputRecords& dropped);
  // Frees the records (and owned clones) and counts the asynchronous ones completed.
  void finishInputs(InputRecords& inputs);
  // Frees one input's StreamDataset (and owned clone); returns whether it was counted.
  bool releaseInput(uint32_t inputId);
  void uncount(uint32_t n);
  void destroy();
  // Input-op shapes of every dynamic model of the stream, in op order (empty without dynamic models).
  std::vector<qoblShape> dynamicShapes();
  // False (logged) when the run being filled holds inputs and the input op now declares other shapes for a
  // dynamic model.  Caller holds streamLock_.
  bool fitsRunBeingFilled();

  static std::atomic<uint32_t> idMaker_;

  uint32_t streamId_;
  uint32_t deviceId_;
  [[maybe_unused]] qoblBalanceMode balMode_;  // stored only: the card receives the mode at creation
  std::atomic<bool> isBuilt_{false};
  std::atomic<uint32_t> inputSeq_{0};
  std::atomic<uint32_t> inputCount_{0};
  OpDirectedGraph* graph_;
  std::vector<OpIRInstruction*> irStream_;
  uint32_t endOpUId_ = 0;
  IRunStreamInstruction* curRunStream_ = nullptr;
  std::recursive_mutex streamLock_;
  threadsafe_unordered_map<uint32_t, IRunStreamInstruction*> inputIdToRunStreamInstructionDict_;
  threadsafe_unordered_map<uint32_t, std::vector<uint32_t>> datasetIdToInputIdListDict_;
  threadsafe_unordered_map<uint32_t, IRunStreamInstruction*> datasetIdToStreamInstructionDict_;
  std::vector<OpIRInstruction*> leafNodeIRs_;
  uint32_t streamLeafNodeOutputCount_ = 0;
  StreamDatasetMap datasetMap_;
  qobmEvent* waitEvent_ = nullptr;
  std::atomic<bool> waiting_{false};
  std::atomic<uint64_t> waitHandleCount_{0};
  bool logBusy_ = false;
  std::atomic<bool> closing_{false};
  std::atomic<bool> busy_{false};

  std::atomic<bool> destroying_{false};
  std::atomic<uint32_t> apiRefs_{0};
  std::atomic<uint32_t> waiters_{0};  // threads inside synchronize
  std::atomic<uint64_t> staleReports_{0};
  std::vector<qoblShape> runShapes_;  // dynamicShapes() when the run being filled took its first input
};

// Deletes the instruction (releasing its device memory) and clears the pointer; nothing for null.
void reset(IRunStreamInstruction** instruction);

// The stream whose report the calling thread is delivering (null outside report processing).  The
// completion path sets it around a report, so that a report callback that runs or destroys its own stream
// is refused instead of waiting for itself.
void setDeliveringStream(IOpStream* stream);
IOpStream* deliveringStream();

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_H
