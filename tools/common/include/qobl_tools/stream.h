// Streams over a built Pipeline, with the datasets every input needs, and the card memory the inputs live
// in.  A Stream submits single inputs asynchronously (each with its own completion function) or runs whole
// device runs synchronously; it hides the library's gathering of several inputs into one device run, the
// dataset bookkeeping and the report callbacks.
//
// Threads.  submit(), submitHost(), flush(), synchronize() and runSync() of one Stream are serialised by the
// Stream (calls from several threads wait for each other); different Streams run fully in parallel.  Each
// of these calls first makes the Stream's card the calling thread's current device.  Completion functions
// and the op-report hook run on the card's reporting thread (asynchronous runs) or on the calling thread
// (runSync); they must not submit to, synchronise or destroy their own Stream, and should return quickly:
// the card's next report waits for them.
//
// Ownership.  A Stream owns its library stream, its input and output datasets, the card memory of its
// output buffers and (ownInputs) of its per-slot inputs; the destructor destroys the library stream (which
// waits for the runs in flight), then frees all of it on the Stream's card.  A DeviceInputs owns its card
// blocks and frees them on destruction; a Stream only points at them, so a DeviceInputs must outlive every
// run submitted with it (until its completion function has run).  The Pipeline must outlive its Streams.
#ifndef QOBL_TOOLS_STREAM_H
#define QOBL_TOOLS_STREAM_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "qobl_tools/pipeline.h"

namespace zenlar {
namespace qobltools {

using Clock = std::chrono::steady_clock;

// Card memory holding one batch item's inputs: one application-memory block (qobmMalloc) per model input.
class DeviceInputs {
 public:
  DeviceInputs() = default;
  ~DeviceInputs();
  DeviceInputs(const DeviceInputs&) = delete;
  DeviceInputs& operator=(const DeviceInputs&) = delete;

  // Allocates one block per input of the pipeline's model, of the input's byte size, on its card.
  std::string create(const Pipeline& p);
  // Copies all inputs of one item (inputs in order, back to back: ModelInfo::inputBytes() bytes) to the card.
  std::string upload(const uint8_t* bytes, uint64_t size);
  // Copies input `index` (exactly its byte size) to the card.
  std::string uploadInput(uint32_t index, const void* data, uint64_t size);
  void release();

  uint32_t device() const { return device_; }
  const std::vector<uint64_t>& addrs() const { return addrs_; }
  const std::vector<uint64_t>& sizes() const { return sizes_; }

 private:
  uint32_t device_ = 0;
  std::vector<uint64_t> addrs_, sizes_;
};

struct StreamOptions {
  bool sync = false;            // runs with runSync(): no report subscription, cacheNumber() slots
  uint32_t inFlight = 4;        // asynchronous: device runs kept in flight (slots = cacheNumber x inFlight)
  bool reportEveryOp = false;   // ask for the reports of every op but the input op (for per-op timings)
  bool poisonOutputs = false;   // fill the output buffers with 0xff before each run, so that a run that
                                // writes nothing cannot pass for the one before
  bool ownInputs = false;       // give every slot its own DeviceInputs (for submitHost)
  uint32_t timeoutMs = 60000;   // longest wait for a free slot, a synchronous run or a synchronisation
};

// How one submitted input ended.
struct Outcome {
  uint64_t tag = 0;                 // the caller's tag given at submission
  uint32_t slot = 0;                // the Stream's slot that carried it
  uint32_t error = 0;               // 0 on success; else a library or card code
  std::string why;                  // what failed, when error != 0
  qobmDataset* output = nullptr;    // the leaf ops' outputs in card memory, one buffer per output (the
                                    // Stream's own); valid during the completion function only
  Clock::time_point submitted, completed;
};

// One report of the card about one op of one input (asynchronous runs only).
struct OpReport {
  uint64_t tag = 0;
  uint32_t slot = 0;
  const PipelineOp* op = nullptr;   // nullptr for an op that is not the pipeline's
  uint32_t error = 0;
  bool end = false;                 // the run's end op
  Clock::time_point submitted;      // when the input was submitted
  Clock::time_point arrived;        // when the report reached the host
  bool cardTimes = false;           // the card told when it executed the op (the simulated card does)
  Clock::time_point cardStart, cardEnd;   // card-side execution of the op (the device run's, shared by
                                          // every input it gathered)
};

using CompletionFn = std::function<void(const Outcome&)>;
using OpReportFn = std::function<void(const OpReport&)>;

enum class SubmitResult {
  kStarted,   // the device run holding this input went to the card
  kPending,   // accepted; the device run waits for more inputs (see cacheNumber() and flush())
  kNoSlot,    // no slot came free within the time-out (nothing was submitted)
  kFailed     // refused: this input and the ones gathered with it have had their completion with an error
};

class Stream {
 public:
  // Creates a library stream over the pipeline's graph on its card, subscribes to its reports (unless
  // sync), builds it and makes its slots.  Returns "" or what failed (with the library's reason).
  static std::string create(const Pipeline& p, const StreamOptions& o, std::unique_ptr<Stream>* out);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  const Pipeline& pipeline() const { return p_; }
  uint32_t device() const { return p_.device(); }
  uint32_t cacheNumber() const { return cache_; }   // inputs one device run gathers
  uint32_t slotCount() const { return static_cast<uint32_t>(slots_.size()); }
  // Inputs accepted since the last device run was sent.
  uint32_t pendingInputs() const;

  // Called for every op report, before the input's completion.  Set it before the first submission.
  void setOpReportHook(OpReportFn fn) { hook_ = std::move(fn); }

  // Submits one input whose tensors are in `in` (on this Stream's card).  Waits up to the time-out for a
  // free slot.  `done` is called exactly once when the input completes or fails (not for kNoSlot).  When
  // the result is kStarted and `sent` is given, *sent receives the host time the library spent on the
  // device run this input completed: its calls for each input the run gathers, the last of which built and
  // uploaded the run's arguments and records and handed the run to the card (the wait for a free slot
  // left out).
  SubmitResult submit(const DeviceInputs& in, uint64_t tag, CompletionFn done, std::string* why,
                      Clock::duration* sent = nullptr);
  // Same, with the inputs in host memory (one pointer per model input, each of the input's byte size),
  // copied into the slot's own card memory first.  Requires StreamOptions::ownInputs.
  SubmitResult submitHost(const std::vector<const void*>& inputs, uint64_t tag, CompletionFn done,
                          std::string* why);
  // Completes the device run being gathered with filler inputs (copies of the pending inputs' tensors) so
  // that it starts now; fillers have no completion.  Returns the number of fillers sent, or -1 on failure.
  int flush(std::string* why);

  // Sends the device run being gathered (flush()), then waits until every submitted input has completed;
  // inputs that never report are completed with an error after the time-out.  Returns "" or what failed.
  std::string synchronize();

  // Synchronous: runs one device run of cacheNumber() inputs, all from `in`, and calls `done` for each on
  // this thread (tags in order).  Returns "" or what failed (the completions then carry the error).
  std::string runSync(const DeviceInputs& in, const std::vector<uint64_t>& tags, const CompletionFn& done);

 private:
  struct Slot;
  Stream(const Pipeline& p, const StreamOptions& o);
  std::string setup();
  int acquireSlot(bool wait);
  bool pointInputs(Slot& s, const std::vector<uint64_t>& addrs, const std::vector<uint64_t>& sizes,
                   std::string* why);
  void poison(Slot& s);
  SubmitResult submitInputs(const DeviceInputs* in, const std::vector<const void*>* host, uint64_t tag,
                            CompletionFn done, std::string* why, Clock::duration* sent);
  SubmitResult submitSlot(int slot, uint64_t tag, CompletionFn done, bool filler, std::string* why,
                          Clock::duration* sent);
  void complete(size_t slot, uint32_t error, const std::string& why, Clock::time_point now);
  static void onReport(qobeOp* op, qobmDataset* input, qobmDataset* output, qoblCallbackStatus* status,
                       void* user);
  void report(qobeOp* op, qobmDataset* input, const qoblCallbackStatus& status);

  const Pipeline& p_;
  StreamOptions o_;
  qoblStream* stream_ = nullptr;
  uint32_t cache_ = 0;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::unordered_map<const qobmDataset*, size_t> slotOf_;   // input dataset -> slot (mu_)
  std::vector<size_t> group_;                               // slots gathered for the next device run
  OpReportFn hook_;
  mutable std::mutex mu_;       // slots' state, slotOf_, group_
  std::condition_variable cv_;  // a slot came free
  std::mutex submitMu_;         // serialises the submitting calls
  Clock::duration gathering_{}; // the library's time on the inputs of the device run being gathered (submitMu_)
};

// Copies output `index` of an output dataset (card memory) into host memory: `t.bytes` bytes.  Returns ""
// or what failed.  Call it on a thread whose current device is the dataset's card (completion functions
// run on such a thread).
std::string readOutput(qobmDataset* ds, uint32_t index, const TensorInfo& t, std::vector<uint8_t>* host);

}  // namespace qobltools
}  // namespace zenlar

#endif  // QOBL_TOOLS_STREAM_H
