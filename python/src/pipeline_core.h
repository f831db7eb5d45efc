// The device side of a Python pipeline: the op graph, an asynchronous stream with a pool of card-memory
// slots, and (made on first use) a synchronous stream.  Knows nothing of Python: the binding layer calls
// it with the interpreter lock released and keeps the Python objects of each request.
//
// Threads and locks.  Application threads call submit/run/flush/close; the card's reporting thread calls
// the report callback; one resolver thread per pipeline calls waitDone/takeDone.  Two locks, always taken
// in this order: submitMu_ (the asynchronous stream's submissions and the count of inputs gathering for
// its next device run) before stateMu_ (slots, the finished-request queue, counters).  The report
// callback takes only stateMu_, and nobody calls the library while holding stateMu_, so a submission
// that waits inside the library for the stream's callbacks never waits for a lock the callback needs.
// syncMu_ serialises synchronous runs and guards the synchronous stream; a caller holds it from the start
// of its run to its end (SyncTurn).  syncDoneMu_ guards the count of the synchronous stream's reports still
// due; its report callback takes only that one.
//
// Waits and deadlines.  Every call that can wait long (for the submission lock, a free slot, the
// synchronous stream, runs on the card) takes the point in time it waits until and reports whether it got
// there first, so that the binding can wait in slices and handle the interpreter's signals in between.  A
// call that ran out of time leaves the pipeline as a call that was not made, or (run) resumable.
#ifndef QOBL_PYTHON_PIPELINE_CORE_H
#define QOBL_PYTHON_PIPELINE_CORE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "model_core.h"
#include "qobl_api.h"

namespace zenlar {
namespace qobl {
namespace python {

// One application input item and where its outputs go.
struct Request {
  std::vector<const void*> in;   // host data of each model input (input byte size each); read by submit/run
  std::vector<void*> out;        // host buffers of each model output (output byte size each)
  uint32_t error = 0;            // 0, or the code of the failure
  std::string message;           // what failed, when error is not 0
  uint64_t seq = 0;              // set by submit: 1, 2, ... in submission order
  void* user = nullptr;          // the caller's; never touched here
};

// What a call on a closed pipeline raises (std::invalid_argument, ValueError in Python).
constexpr const char* kPipelineClosed =
    "the pipeline is closed: make a new qobl.Pipeline (on an open qobl.Model) to run more";

struct OpInfo {
  std::string name, stage;
  uint32_t uid = 0;
};

// A mutex whose lock can also be waited for until a deadline.  (std::timed_mutex waits through a call the
// thread sanitizer does not follow, so its deadline waits would look like races.)  Usable with
// std::lock_guard and std::unique_lock, try_lock and try_lock_until included.
class DeadlineMutex {
 public:
  void lock() {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait(lk, [&] { return !held_; });
    held_ = true;
  }
  bool try_lock() {
    std::lock_guard<std::mutex> g(mu_);
    if (held_) return false;
    held_ = true;
    return true;
  }
  template <class C, class D>
  bool try_lock_until(const std::chrono::time_point<C, D>& until) {
    std::unique_lock<std::mutex> lk(mu_);
    // When the time runs out as the lock is freed, it is taken: a wake-up meant for this waiter is not lost.
    if (!cv_.wait_until(lk, until, [&] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> g(mu_);
      held_ = false;
    }
    cv_.notify_one();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool held_ = false;
};

struct PipelineStats {
  uint64_t submitted = 0, completed = 0, failed = 0, fillers = 0;
  uint32_t inFlight = 0, slots = 0, cacheNumber = 0;
};

class PipelineCore : public std::enable_shared_from_this<PipelineCore> {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a flush waits for free slots to pad the gathering device run before it gives up (the card
  // must be stuck by then).
  static constexpr uint32_t kPaddingWaitMs = 10000;
  // How long closing waits for the runs in flight when its caller does not say.
  static constexpr uint32_t kCloseWaitMs = 10000;

  // A synchronous run of one caller, made empty by the caller and passed to every run() call of that run.
  // Holds the synchronous stream from the caller's turn to the run's end; dropped while its run is on the
  // card, it leaves the run to finish there (the next synchronous run waits for it before using the
  // stream's card memory).
  struct SyncTurn {
    std::unique_lock<DeadlineMutex> lock;
    bool sent = false;
  };

  // Builds input [-> normalize] -> model [-> copy] on `device` (the model's device); "copy" is added when an
  // output is stored in a core layout.  maxInFlight bounds the asynchronous inputs in flight (rounded up to
  // whole device runs); a gathering device run is filled after gatherUs without a new input.  Throws
  // CallError or std::invalid_argument.
  PipelineCore(std::shared_ptr<ModelCore> model, const std::vector<std::string>& stages, uint32_t device,
               uint32_t maxInFlight, uint32_t gatherUs);
  ~PipelineCore();
  PipelineCore(const PipelineCore&) = delete;
  PipelineCore& operator=(const PipelineCore&) = delete;

  // Starts an asynchronous run of one item.  The request belongs to the pipeline until takeDone hands it
  // back (always, also on failure, also when the pipeline is closed meanwhile).  Waits, up to `until`,
  // while maxInFlight inputs are in flight.  Returns the request's number (the request may be finished
  // already, so it must not be read after the call), or 0 when `until` came first.  Throws
  // std::invalid_argument when closed, CallError when its input could not be copied to the card (when it
  // throws or returns 0 the request stays the caller's).
  uint64_t submit(Request* req, Clock::time_point until);
  // Runs one item on the synchronous stream: waits for the caller's turn, sends the item (a device run
  // larger than one item is filled with copies of it) and waits for its outputs.  True once they are in
  // req; false when `until` came first: call again with the same turn to go on waiting.  Throws CallError
  // (also when close() gave up on the card while the run was on it), or std::invalid_argument when closed.
  bool run(Request& req, SyncTurn& turn, Clock::time_point until);
  // Waits up to `until` for a synchronous run left on the card by a caller who stopped waiting for it;
  // true when none is left, or once close() gave up on the card (releasing_).
  bool waitSyncIdle(Clock::time_point until);

  // Waits up to timeoutMs until finished requests are due for takeDone (meanwhile fills a gathering device
  // run whose inputs waited long enough).  Returns false once the pipeline is closed and the queue is
  // empty.  Finished requests are handed over in batches, which spares the caller a wake-up (and the
  // interpreter-lock hand-off that comes with it) per request: they are due once someone waits for one of
  // them (expedite), nothing else is in flight, a batch's worth has finished, or the first of them has
  // waited kResolveWait.
  bool waitDone(uint32_t timeoutMs);
  std::vector<Request*> takeDone();
  // Someone waits for the request numbered seq: once finished, it (and what finished with it) is due at
  // once.  Cheap, takes no interpreter lock.
  void expedite(uint64_t seq);

  // Fills the gathering device run (if any) with padding inputs so that it is sent now.  False when `until`
  // came first (waiting for the submission lock or for free slots): the padding added so far stays
  // gathered, and a later flush goes on from there.
  bool flush(Clock::time_point until);
  // expedite(seq), and flush(until) when the request numbered seq still gathers.  False when `until` came
  // first.
  bool flushIfGathering(uint64_t seq, Clock::time_point until);
  // Waits until every request numbered up to seq has finished (its outcome queued for takeDone); false
  // when `until` came first.
  bool waitFinished(uint64_t seq, Clock::time_point until);
  uint64_t lastSeq() const { return nextSeq_.load() - 1; }

  // Sends what gathers and waits until `until` for the runs in flight; then releases streams, graph, ops
  // and card memory.  When the card has not finished by then, every request still in flight fails at
  // once (and no report writes its outputs afterwards), and, when the pipeline is owned by a shared_ptr,
  // the rest is released by a thread of its own: the library waits up to 10 s for the card to finish a
  // stream's runs before it lets the stream go, which close() then does not wait for (see
  // waitBackgroundTeardowns).  Without an owner (from the destructor) it is released here.  A second
  // close does nothing.  In a child forked after the card was used (cardLostByFork) it only marks the
  // pipeline closed; the owner must then not destroy it either (its condition variables may count waiters
  // of the parent).
  void close(Clock::time_point until);
  bool closed() const { return closed_.load(); }

  const std::vector<OpInfo>& ops() const { return ops_; }
  // Per model input, the qobeTENSORIZATION_* conversion the "normalize" stage applies to it:
  // qobeTENSORIZATION_NONE when the stage copies the input's bytes as they are (or there is no such
  // stage); otherwise the stage reads the input as float32 values and hands the model uint8 or float16.
  const std::vector<int32_t>& normalizeTypes() const { return normalizeTypes_; }
  uint32_t cacheNumber() const { return cache_; }
  uint32_t maxInFlight() const { return maxSlots_; }   // asynchronous inputs in flight at most
  uint32_t device() const { return device_; }
  const std::shared_ptr<ModelCore>& model() const { return model_; }
  PipelineStats stats() const;

 private:
  // Card memory and datasets of one asynchronous input.
  struct Slot {
    qobmDataset* in = nullptr;
    std::vector<qobmDataBuffer*> inBufs;
    std::vector<uint64_t> inAddrs;
    qobmDataset* out = nullptr;
    enum class State { kFree, kBusy, kQuarantined } state = State::kFree;
    Request* req = nullptr;   // null for a padding input
    bool delivering = false;  // the report callback is copying its outputs
  };

  static void onReport(qobeOp* op, qobmDataset* input, qobmDataset* output, qoblCallbackStatus* status, void* ctx);
  // The synchronous stream's: counts the terminal reports of the inputs of its device run, and keeps the
  // first failure.
  static void onSyncReport(qobeOp* op, qobmDataset* input, qobmDataset* output, qoblCallbackStatus* status,
                           void* ctx);
  void report(qobeOp* op, qobmDataset* input, qobmDataset* output, const qoblCallbackStatus& status);

  void buildGraph(const std::vector<std::string>& stages);
  // Reads normalizeTypes_ off the built stream's pre-processing op.
  void readNormalizeTypes();
  // A built stream over the graph whose reports go to `report` (with this pipeline as context).
  qoblStream* makeStream(qoblStreamReportCallback report);
  Slot* makeSlot();                       // throws CallError
  void freeSlot(Slot* s);                 // card memory and datasets
  // A free (or new) slot, counted in holders_ until it is submitted or given back.  Waits up to `until`;
  // returns null then, or once closed.
  Slot* acquireSlot(bool forPadding, Clock::time_point until);
  uint64_t submitWith(Request* req, std::unique_lock<DeadlineMutex>& sub, Clock::time_point until);
  // Submits one slot (a request or padding); submitMu_ held.
  void submitLocked(Slot* s);
  // Which waiters a change made under stateMu_ must wake.  Collected under the lock and woken once it is
  // released (wake()), so that a woken thread does not block at once on the lock its waker still holds.
  struct Wakes {
    bool slots = false, done = false, finished = false;
  };
  void wake(const Wakes& w);
  // Ends a slot's run (stateMu_ held): its request, if any, is queued for takeDone; the slot is free again,
  // or with `quarantine` kept out of use until a report for it arrives.  Adds the waiters to wake to `w`.
  void finishLocked(Slot* s, uint32_t error, const std::string& why, bool quarantine, Wakes& w);
  // True when a resolver asleep in waitDone would sleep past `dueNs` (a steady-clock count).
  bool resolverSleepsPast(int64_t dueNs) const;
  void flushLocked(Clock::time_point until);   // submitMu_ held; gives up at `until`
  std::string opName(const qobeOp* op) const;
  void releaseSyncStream();
  // Destroys streams (waiting for their runs on the card), slots, graph and ops, and lets go of the model.
  // `abandoned`: close() gave up on the runs in flight; nothing gathering is sent, the model use was
  // detached (ModelCore::detachUse), and the two streams are destroyed side by side (each may wait the
  // library's whole limit for a stuck card).
  void release(bool abandoned);

  std::shared_ptr<ModelCore> model_;
  qoblModel* handle_ = nullptr;
  uint32_t device_ = 0;
  uint32_t cache_ = 1;
  uint32_t maxSlots_ = 0;
  std::chrono::microseconds gather_;
  std::vector<TensorSpec> inputs_, outputs_;
  std::vector<qobmShape> inputOpShapes_;   // dynamic models: the shapes the op above the model declares
  qoblOpGraph* graph_ = nullptr;
  std::vector<qobeOp*> opHandles_;
  std::vector<OpInfo> ops_;
  std::vector<int32_t> normalizeTypes_;
  qoblStream* stream_ = nullptr;

  std::mutex closeMu_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> releasing_{false};   // close() gave up waiting: released by a thread of its own
  std::atomic<uint64_t> nextSeq_{1};

  DeadlineMutex submitMu_;
  std::vector<Slot*> gathered_;             // inputs accepted for the next device run (submitMu_)
  uint64_t gatheredFirstSeq_ = 0;           // seq of the first request among them (submitMu_)
  std::atomic<int64_t> lastGatherNs_{0};    // when the last input joined a gathering run (0: none gathers)
  // The latest time the resolver wakes at while it sleeps in waitDone; 0 while it is not asleep (it then
  // looks at lastGatherNs_ and the finished requests before it sleeps again).  Written by the resolver with
  // stateMu_ held.  Lets submissions and reports wake it only when it would otherwise sleep too long.
  std::atomic<int64_t> resolverWakeNs_{0};

  mutable std::mutex stateMu_;
  std::condition_variable slotCv_, doneCv_, finishCv_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::vector<Slot*> free_;
  std::unordered_map<const qobmDataset*, Slot*> slotOf_;
  uint32_t growing_ = 0;                    // slots being made outside the lock
  uint32_t holders_ = 0;                    // slots acquired, not yet submitted or given back
  uint32_t live_ = 0;                       // slots not quarantined
  uint32_t busy_ = 0;                       // slots gathered or on the card (Slot::State::kBusy)
  std::deque<Request*> done_;
  Clock::time_point firstDone_;             // when the oldest request in done_ finished
  uint32_t resolveBatch_ = 1;               // done_ this long is due
  uint64_t expedited_ = 0;                  // the highest seq someone waits for
  bool urgent_ = false;                     // done_ holds a request someone waits for
  // Seqs of submitted requests not finished yet, in increasing order: seqs are appended as they are
  // handed out, so the list stays sorted, and it keeps its capacity (no allocation per request).
  std::vector<uint64_t> outstanding_;
  bool stopped_ = false;                    // close() finished: waitDone returns false once done_ is empty
  PipelineStats stats_;

  DeadlineMutex syncMu_;
  qoblStream* syncStream_ = nullptr;
  qobmDataset* syncIn_ = nullptr;
  std::vector<qobmDataBuffer*> syncInBufs_;
  std::vector<uint64_t> syncInAddrs_;
  std::vector<qobmDataset*> syncOuts_;

  std::mutex syncDoneMu_;
  std::condition_variable syncDoneCv_;
  uint32_t syncPending_ = 0;                // inputs of the synchronous stream not reported yet
  uint32_t syncError_ = 0;                  // the first failure reported for the current synchronous run
  const qobeOp* syncFailedOp_ = nullptr;    // the op it was reported for
};

// Waits until every pipeline that close() left to a thread of its own is released; false when `until` came
// first.  The process must not end before: the card platform's teardown at exit would pull the card from
// under the library calls of those threads.
bool waitBackgroundTeardowns(PipelineCore::Clock::time_point until);
// In a forked child, which has none of those threads.
void forgetBackgroundTeardowns();

}  // namespace python
}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_PYTHON_PIPELINE_CORE_H
