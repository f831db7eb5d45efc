// Streams, run submission, and the two threads of each device: the engine executes runs in order, the
// reporter calls the installed completion function so that a slow callback never stalls the engine.
#include <chrono>

#include "card.h"

namespace zenlar {
namespace qobcrt {

thread_local int32_t t_thread_device = -1;

namespace {
thread_local bool t_is_engine = false;
// The op the reporter thread is reporting, while the completion function runs; null otherwise.
thread_local const OpTimes* t_report_times = nullptr;
}  // namespace

// A synchronous caller waiting for its run.
struct SyncWait {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  uint32_t status = 0;
};

struct Run {
  uint64_t seq = 0;
  uint64_t stream_addr = 0;
  get_desc base{};                    // the fields every report of the run shares
  std::shared_ptr<SyncWait> sync;     // set for a synchronous run, which reports nothing
};

namespace {

void pushReport(Device& d, const get_desc& g, const OpTimes& times) {
  {
    std::lock_guard<std::mutex> lock(d.report_mu);
    d.reports.push_back(Device::PendingReport{g, times});
  }
  d.report_cv.notify_one();
}

void finishSync(Run& run, uint32_t status, bool abandoned) {
  if (!run.sync) return;
  {
    std::lock_guard<std::mutex> lock(run.sync->mu);
    run.sync->done = true;
    run.sync->abandoned = abandoned;
    run.sync->status = status;
  }
  run.sync->cv.notify_all();
}

void engineLoop(Device* d) {
  t_thread_device = static_cast<int32_t>(d->index);
  t_is_engine = true;
  for (;;) {
    std::shared_ptr<Run> run;
    {
      std::unique_lock<std::mutex> lock(d->run_mu);
      d->run_cv.wait(lock, [d] { return d->stopping || !d->queue.empty(); });
      if (d->stopping) {
        // Process exit: queued runs are dropped, their memory released and their waiters woken.
        while (!d->queue.empty()) {
          run = d->queue.front();
          d->queue.pop_front();
          d->endRun(run->seq);
          finishSync(*run, rtErrOthers, true);
        }
        return;
      }
      run = d->queue.front();
      d->queue.pop_front();
    }
    bool has_final = false;
    get_desc final_report{};
    OpTimes final_times;
    const uint32_t status = executeRun(*d, run->seq, run->stream_addr,
                                       [&](uint32_t uid, uint32_t code, bool final, const OpTimes& times) {
      if (run->sync) return;
      get_desc g = run->base;
      g.context_id = uid;
      g.error_code = code;
      if (final) {
        final_report = g;
        final_times = times;
        has_final = true;
      } else {
        pushReport(*d, g, times);
      }
    });
    (status == 0 ? d->runs_completed : d->runs_failed).fetch_add(1);
    // The card is done with the run's memory before its last report goes out, so blocks freed meanwhile
    // are released by the time the application hears of the end.
    d->endRun(run->seq);
    if (has_final) pushReport(*d, final_report, final_times);
    finishSync(*run, status, false);
  }
}

void reporterLoop(Device* d) {
  t_thread_device = static_cast<int32_t>(d->index);
  for (;;) {
    Device::PendingReport r;
    {
      std::unique_lock<std::mutex> lock(d->report_mu);
      d->report_cv.wait(lock, [d] { return d->report_stopping || !d->reports.empty(); });
      if (d->report_stopping) return;   // process exit: undelivered reports are dropped
      r = d->reports.front();
      d->reports.pop_front();
    }
    qobcrt_get_output_fn fn;
    void* arg;
    {
      std::lock_guard<std::mutex> lock(d->run_mu);
      fn = d->callback;
      arg = d->callback_arg;
    }
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

// Starts the device's threads on first use; run_mu held.
void startThreadsLocked(Device& d) {
  if (d.engine.joinable()) return;
  d.reporter = std::thread(reporterLoop, &d);
  d.engine = std::thread(engineLoop, &d);
}

// The run's stream memory: the start of a live stream block whose size is a non-zero multiple of 64.
int checkRunBlock(Device& d, uint64_t addr) {
  BlockPtr b;
  uint64_t off = 0;
  const int rc = d.resolve(addr, 0, 0, &b, &off);
  if (rc != rtSuccess || b->kind != QOBCRT_SIM_STREAM || off != 0) return rtErrInvalidAddr;
  if (b->size % 64 != 0) return rtErrRunRecord;
  return rtSuccess;
}

// Validates and queues a run; seq is taken first so that memory freed from now on stays valid for it.
int submit(Device& d, uint64_t stream_addr, const get_desc& base, std::shared_ptr<SyncWait> sync,
           const uint32_t* stream_id) {
  const uint64_t seq = d.beginRun();
  int rc = checkRunBlock(d, stream_addr);
  if (rc == rtSuccess) {
    std::lock_guard<std::mutex> lock(d.run_mu);
    if (d.stopping) {
      rc = rtErrOthers;
    } else if (stream_id != nullptr && d.streams.count(*stream_id) == 0) {
      rc = rtErrStreamId;
    } else if (stream_id != nullptr && d.callback == nullptr) {
      rc = rtErrNotRegistered;
    } else {
      auto run = std::make_shared<Run>();
      run->seq = seq;
      run->stream_addr = stream_addr;
      run->base = base;
      run->sync = std::move(sync);
      startThreadsLocked(d);
      d.queue.push_back(std::move(run));
      d.runs_submitted.fetch_add(1);
    }
  }
  if (rc != rtSuccess) {
    d.endRun(seq);
    return rc;
  }
  d.run_cv.notify_one();
  return rtSuccess;
}

}  // namespace

namespace {
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
    d->callback = rec->func_get_output;
    d->callback_arg = rec->func_arg;
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
    auto wait = std::make_shared<zenlar::qobcrt::SyncWait>();
    get_desc base{};
    base.dev = dev;
    base.stream_addr = static_cast<uint32_t>(stream_addr);
    const int rc = zenlar::qobcrt::submit(*d, stream_addr, base, wait, nullptr);
    if (rc != rtSuccess) return rc;
    std::unique_lock<std::mutex> lock(wait->mu);
    auto done = [&] { return wait->done; };
    if (timeout_ms == UINT32_MAX) {
      wait->cv.wait(lock, done);
    } else if (!wait->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), done)) {
      return static_cast<int>(rtErrTimeout);   // the run goes on; its memory stays valid until it ends
    }
    if (wait->abandoned) return static_cast<int>(rtErrOthers);
    *status = wait->status;
    return static_cast<int>(rtSuccess);
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
