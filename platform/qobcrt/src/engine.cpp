// Streams, run submission, and the two threads of each device: the engine executes runs in order, the
// reporter calls the installed completion function so that a slow callback never stalls the engine.
//
// Run records, the run queue and the report ring are reused from run to run: at steady state submitting,
// executing and reporting a run allocate nothing.
#include <chrono>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "card.h"
#include "exec.h"

namespace zenlar {
namespace qobcrt {

__attribute__((tls_model("initial-exec"))) thread_local int32_t t_thread_device = -1;

namespace {
thread_local bool t_is_engine = false;
// The op the reporter thread is reporting, while the completion function runs; null otherwise.
thread_local const OpTimes* t_report_times = nullptr;
}  // namespace

namespace {

// How long an idle engine watches for new runs before it sleeps: processor pauses, then yields.
constexpr unsigned kWatchPauses = 16;
constexpr unsigned kWatchYields = 100;

// Oldest run queued or executing after the queue or the engine changed; run_mu held.
void updateOldestLocked(Device& d) {
  d.oldest_seq.store(d.executing_seq != 0 ? d.executing_seq
                                          : (d.queue_head != nullptr ? d.queue_head->seq : kNoRun));
}

// A run record from the device's pool; run_mu held.
Run* takeRunLocked(Device& d) {
  if (d.free_runs == nullptr) {
    d.run_records.push_back(std::make_unique<Run>());
    d.free_runs = d.run_records.back().get();
  }
  Run* r = d.free_runs;
  d.free_runs = r->next;
  r->next = nullptr;
  return r;
}

// Drops one reference to the run; the last one returns it to the pool.
void releaseRun(Device& d, Run* run) {
  if (run->refs.fetch_sub(1) != 1) return;
  std::lock_guard<std::mutex> lock(d.run_mu);
  run->next = d.free_runs;
  d.free_runs = run;
}

// Reports the ring holds before it first grows; it is made with the device's threads.
constexpr size_t kInitialReports = 64;

// Queues a report; report_mu held.  False when the ring is full and there is no host memory to grow it.
bool queueReportLocked(Device& d, const get_desc& g, const OpTimes& times) noexcept {
  if (d.report_count == d.reports.size()) {
    // The ring is full: double it, oldest first (grows only past the largest backlog so far).
    std::vector<Device::PendingReport> bigger;
    try {
      bigger.resize(d.reports.empty() ? kInitialReports : 2 * d.reports.size());
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (size_t i = 0; i < d.report_count; ++i) bigger[i] = d.reports[(d.report_head + i) % d.reports.size()];
    d.reports.swap(bigger);
    d.report_head = 0;
  }
  d.reports[(d.report_head + d.report_count) % d.reports.size()] = Device::PendingReport{g, times};
  ++d.report_count;
  return true;
}

// An op's report before the end of its run.  Throws std::bad_alloc when it cannot be queued: the run then
// ends there, with a failure report.
void pushReport(Device& d, const get_desc& g, const OpTimes& times) {
  bool queued;
  {
    std::lock_guard<std::mutex> lock(d.report_mu);
    queued = queueReportLocked(d, g, times);
  }
  if (!queued) throw std::bad_alloc();
  d.report_cv.notify_one();
}

// The last report of a run always goes out: when the ring is full and cannot grow, the engine waits until
// the reporter has taken a report from it.  (The ring always has slots: it is made before the first run.
// Only then, out of host memory, does the engine wait for the reporter: a completion function that waits
// for a later run with qobcrt_run_stream_sync would wait for good.)
void pushFinalReport(Device& d, const get_desc& g, const OpTimes& times) noexcept {
  {
    std::unique_lock<std::mutex> lock(d.report_mu);
    while (!queueReportLocked(d, g, times)) {
      d.report_space_wanted = true;
      d.report_space_cv.wait(lock);
    }
  }
  d.report_cv.notify_one();
}

void finishSync(Run& run, uint32_t status, bool abandoned) {
  {
    std::lock_guard<std::mutex> lock(run.mu);
    run.done = true;
    run.abandoned = abandoned;
    run.status = status;
  }
  run.cv.notify_all();
}

// The reports of one run as the executor hands them over: every one but the final report goes to the
// reporter at once; the final one waits until the card is done with the run's memory.
class RunReports final : public ReportSink {
 public:
  RunReports(Device& d, const Run& run) : d_(d), run_(run) {}
  void report(uint32_t uid, uint32_t code, bool final, const OpTimes& times) override {
    if (run_.sync) return;
    get_desc g = run_.base;
    g.context_id = uid;
    g.error_code = code;
    if (final) {
      final_ = g;
      final_times_ = times;
      has_final_ = true;
    } else {
      pushReport(d_, g, times);
    }
  }
  void sendFinal() noexcept {
    if (has_final_) pushFinalReport(d_, final_, final_times_);
  }

 private:
  Device& d_;
  const Run& run_;
  bool has_final_ = false;
  get_desc final_{};
  OpTimes final_times_;
};

// An idle engine keeps watching for new runs a short while before it sleeps, as the card watches its
// doorbell: a run submitted meanwhile starts without its submitter waking a sleeping thread, which costs
// the submitting thread a system call.  `taken` is the number of runs the engine took from the queue.
void watchForRuns(const Device& d, uint64_t taken) {
  for (unsigned i = 0; i < kWatchPauses + kWatchYields; ++i) {
    if (d.runs_submitted.load(std::memory_order_acquire) != taken) return;
    if (i < kWatchPauses) {
      platform::cpuPause();
    } else {
      std::this_thread::yield();
    }
  }
}

// The engine thread; it owns the executor, made for it by the thread that started it.  A run that fails on
// the host (no memory for the executor's tables or for a report) ends with a failure report of its own,
// so nothing escapes the loop.
void engineLoop(Device* d, Executor* made) {
  t_thread_device = static_cast<int32_t>(d->index);
  t_is_engine = true;
  std::unique_ptr<Executor> owned(made);
  Executor& executor = *owned;
  uint64_t taken = 0;
  for (;;) {
    Run* run = nullptr;
    watchForRuns(*d, taken);
    {
      std::unique_lock<std::mutex> lock(d->run_mu);
      while (!d->stopping && d->queue_head == nullptr) {
        d->engine_asleep = true;
        d->run_cv.wait(lock);
        d->engine_asleep = false;
      }
      if (d->stopping) {
        // Process exit: queued runs are dropped, their memory released and their waiters woken.
        while (d->queue_head != nullptr) {
          run = d->queue_head;
          d->queue_head = run->next;
          if (run->sync) finishSync(*run, rtErrOthers, true);
          if (run->refs.fetch_sub(1) == 1) {
            run->next = d->free_runs;
            d->free_runs = run;
          }
        }
        d->queue_tail = nullptr;
        updateOldestLocked(*d);
        lock.unlock();
        d->harvest();
        return;
      }
      run = d->queue_head;
      d->queue_head = run->next;
      if (d->queue_head == nullptr) d->queue_tail = nullptr;
      d->executing_seq = run->seq;
      ++taken;
    }
    RunReports reports(*d, *run);
    const uint32_t status = executor.run(run->seq, run->stream_addr, reports);
    (status == 0 ? d->runs_completed : d->runs_failed).fetch_add(1);
    // The card is done with the run's memory before its last report goes out, so blocks freed meanwhile
    // are released by the time the application hears of the end.  An asynchronous run's record goes back
    // to the pool in the same hold (its reports keep what they need); a synchronous caller is woken first
    // and may still hold the record.
    const bool sync = run->sync;
    {
      std::lock_guard<std::mutex> lock(d->run_mu);
      d->executing_seq = 0;
      updateOldestLocked(*d);
      if (!sync && run->refs.fetch_sub(1) == 1) {
        run->next = d->free_runs;
        d->free_runs = run;
      }
    }
    d->harvest();
    reports.sendFinal();
    if (sync) {
      finishSync(*run, status, false);
      releaseRun(*d, run);
    }
  }
}

void reporterLoop(Device* d) {
  t_thread_device = static_cast<int32_t>(d->index);
  for (;;) {
    Device::PendingReport r;
    {
      std::unique_lock<std::mutex> lock(d->report_mu);
      d->report_cv.wait(lock, [d] { return d->report_stopping || d->report_count != 0; });
      if (d->report_stopping) return;   // process exit: undelivered reports are dropped
      r = d->reports[d->report_head];
      d->report_head = (d->report_head + 1) % d->reports.size();
      --d->report_count;
      if (d->report_space_wanted) {
        d->report_space_wanted = false;
        d->report_space_cv.notify_one();
      }
    }
    qobcrt_get_output_fn fn;
    void* arg;
    d->readCallback(&fn, &arg);
    if (fn == nullptr) continue;
    d->reports_delivered.fetch_add(1);
    t_report_times = &r.times;
    try {
      fn(d->index, &r.desc, arg);
    } catch (...) {
      // A completion function must not throw; the report counts as delivered either way.
    }
    t_report_times = nullptr;
  }
}

// Starts the device's threads on first use, with the report ring and the engine's executor; run_mu held.
// Throws (std::bad_alloc, std::system_error) when one cannot be made: what was made is kept, and the next
// run tries again for the rest.
void startThreadsLocked(Device& d) {
  if (d.engine.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(d.report_mu);
    if (d.reports.empty()) d.reports.resize(kInitialReports);
  }
  if (!d.reporter.joinable()) d.reporter = std::thread(reporterLoop, &d);
  std::unique_ptr<Executor> executor(new Executor(d));
  d.engine = std::thread(engineLoop, &d, executor.get());
  executor.release();   // the engine thread owns it now
}

// The run's stream memory: the start of a live stream block whose size is a non-zero multiple of 64.
int checkRunBlock(Device& d, uint64_t addr) {
  const Block* b = d.lookup(addr);
  if (b == nullptr || b->state.load() != kBlockLive || b->kind != QOBCRT_SIM_STREAM || b->base.load() != addr)
    return rtErrInvalidAddr;
  if (b->size.load() % 64 != 0) return rtErrRunRecord;
  return rtSuccess;
}

// Validates and queues a run.  The sequence number is taken before the block is checked, so that memory
// freed from then on stays valid for the run.  A synchronous run's record comes back in *sync_run with a
// reference for the caller.
int submit(Device& d, uint64_t stream_addr, const get_desc& base, Run** sync_run, const uint32_t* stream_id) {
  int rc;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(d.run_mu);
    const uint64_t seq = d.last_seq.load() + 1;
    if (d.oldest_seq.load() == kNoRun) d.oldest_seq.store(seq);   // in flight from here on
    d.last_seq.store(seq);
    rc = checkRunBlock(d, stream_addr);
    if (rc == rtSuccess) {
      qobcrt_get_output_fn fn;
      void* arg;
      d.readCallback(&fn, &arg);
      if (d.stopping) {
        rc = rtErrOthers;
      } else if (stream_id != nullptr && d.streams.count(*stream_id) == 0) {
        rc = rtErrStreamId;
      } else if (stream_id != nullptr && fn == nullptr) {
        rc = rtErrNotRegistered;
      }
    }
    Run* run = nullptr;
    if (rc == rtSuccess) {
      // Without host memory for the device's threads or a run record the run is refused, and the queue
      // and the oldest run in flight stay as they were.
      rc = guarded([&] {
        startThreadsLocked(d);
        run = takeRunLocked(d);
        return static_cast<int>(rtSuccess);
      });
    }
    if (rc == rtSuccess) {
      run->seq = seq;
      run->stream_addr = stream_addr;
      run->base = base;
      run->sync = sync_run != nullptr;
      run->done = false;
      run->abandoned = false;
      run->status = 0;
      run->refs.store(run->sync ? 2 : 1);
      if (sync_run != nullptr) *sync_run = run;
      if (d.queue_tail != nullptr) {
        d.queue_tail->next = run;
      } else {
        d.queue_head = run;
      }
      d.queue_tail = run;
      d.runs_submitted.fetch_add(1);
      wake = d.engine_asleep;
    } else {
      updateOldestLocked(d);
    }
  }
  if (rc != rtSuccess) {
    d.harvest();   // blocks freed meanwhile need not wait for the refused run
    return rc;
  }
  if (wake) d.run_cv.notify_one();
  return rtSuccess;
}

// Joins a card thread, unless the process is ending on that very thread (exit() from a callback).
void joinThread(std::thread& t) {
  if (!t.joinable()) return;
  if (t.get_id() == std::this_thread::get_id()) {
    t.detach();
  } else {
    t.join();
  }
}

}  // namespace

bool onEngineThread() { return t_is_engine; }

void Device::readCallback(qobcrt_get_output_fn* fn, void** arg) const {
  for (;;) {
    const uint32_t v = callback_version.load();
    if ((v & 1) == 0) {
      *fn = callback.load();
      *arg = callback_arg.load();
      if (callback_version.load() == v) return;
    }
    std::this_thread::yield();
  }
}

void stopDevice(Device& d) {
  {
    std::lock_guard<std::mutex> lock(d.run_mu);
    d.stopping = true;
  }
  d.run_cv.notify_all();
  joinThread(d.engine);
  {
    std::lock_guard<std::mutex> lock(d.report_mu);
    d.report_stopping = true;
  }
  d.report_cv.notify_all();
  joinThread(d.reporter);
}

}  // namespace qobcrt
}  // namespace zenlar

using zenlar::qobcrt::Device;

extern "C" {

int qobcrt_thread_device(uint32_t* dev) {
  QOBCRT_FAULT_POINT();
  if (dev == nullptr) return rtErrInvalidParam;
  if (zenlar::qobcrt::t_thread_device < 0) return rtErrInvalidDevice;
  *dev = static_cast<uint32_t>(zenlar::qobcrt::t_thread_device);
  return rtSuccess;
}

int qobcrt_create_stream(uint32_t dev, create_stream* rec) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (rec == nullptr) return static_cast<int>(rtErrInvalidParam);
    std::lock_guard<std::mutex> lock(d->run_mu);
    return d->streams.insert(rec->stream_id).second ? static_cast<int>(rtSuccess) : static_cast<int>(rtErrStreamId);
  });
}

int qobcrt_destroy_stream(uint32_t dev, uint32_t stream_id) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    std::lock_guard<std::mutex> lock(d->run_mu);
    return d->streams.erase(stream_id) != 0 ? static_cast<int>(rtSuccess) : static_cast<int>(rtErrStreamId);
  });
}

int qobcrt_get_output_register(uint32_t dev, get_output_register* rec) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (rec == nullptr || rec->func_get_output == nullptr || rec->dev_id != dev)
      return static_cast<int>(rtErrInvalidParam);
    std::lock_guard<std::mutex> lock(d->run_mu);
    d->callback_version.fetch_add(1);   // odd while the pair changes
    d->callback.store(rec->func_get_output);
    d->callback_arg.store(rec->func_arg);
    d->callback_version.fetch_add(1);
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_run_stream(uint32_t dev, run_stream* rec) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (rec == nullptr || rec->dev != dev) return static_cast<int>(rtErrInvalidParam);
    get_desc base{};
    base.dev = dev;
    base.pid = rec->pid;
    base.stream_id = rec->stream_id;
    base.data_id = rec->data_id;
    base.stream_addr = rec->stream_addr;
    return zenlar::qobcrt::submit(*d, rec->stream_addr, base, nullptr, &rec->stream_id);
  });
}

int qobcrt_run_stream_sync(uint32_t dev, uint64_t stream_addr, uint32_t timeout_ms, uint32_t* status) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (status == nullptr) return static_cast<int>(rtErrInvalidParam);
    if (zenlar::qobcrt::t_is_engine) return static_cast<int>(rtErrOthers);   // would wait for itself
    get_desc base{};
    base.dev = dev;
    base.stream_addr = static_cast<uint32_t>(stream_addr);
    zenlar::qobcrt::Run* run = nullptr;
    const int rc = zenlar::qobcrt::submit(*d, stream_addr, base, &run, nullptr);
    if (rc != rtSuccess) return rc;
    int result = rtSuccess;
    {
      std::unique_lock<std::mutex> lock(run->mu);
      auto done = [&] { return run->done; };
      if (timeout_ms == UINT32_MAX) {
        run->cv.wait(lock, done);
      } else if (!run->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), done)) {
        result = rtErrTimeout;   // the run goes on; its memory stays valid until it ends
      }
      if (result == rtSuccess && run->abandoned) result = rtErrOthers;
      if (result == rtSuccess) *status = run->status;
    }
    zenlar::qobcrt::releaseRun(*d, run);
    return result;
  });
}

int qobcrt_sim_report_op_times(uint64_t* start_ns, uint64_t* end_ns) {
  return zenlar::qobcrt::guarded([&] {
    if (start_ns == nullptr || end_ns == nullptr) return static_cast<int>(rtErrInvalidParam);
    if (zenlar::qobcrt::t_report_times == nullptr) return static_cast<int>(rtErrOthers);
    *start_ns = zenlar::qobcrt::t_report_times->start_ns;
    *end_ns = zenlar::qobcrt::t_report_times->end_ns;
    return static_cast<int>(rtSuccess);
  });
}

}  // extern "C"
