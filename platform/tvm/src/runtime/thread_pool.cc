// TVMBackendParallelLaunch and TVMBackendParallelBarrier: a persistent worker pool per launching thread.
//
// A launch of n tasks posts the job to the pool's n - 1 first workers, runs task 0 on the calling thread
// and returns when every task has returned.  Workers wait for the next job by spinning briefly, then on a
// condition variable, so back-to-back launches (one per kernel, several per inference) do not pay a
// sleep and wake-up each.  A launch from inside a task, or on a pool of one thread, runs inline as one
// task: kernels split their work by env->num_task, so they stay correct with any task count.
#include <sched.h>
#include <tvm/runtime/c_backend_api.h>
#include <tvm/runtime/registry.h>
#include <tvm/runtime/threading_backend.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/backend_stats.h"

namespace tvm {
namespace runtime {

BackendCounters& Counters() {
  static BackendCounters* c = new BackendCounters();  // never destroyed: pools may end after static teardown
  return *c;
}

namespace threading {
namespace {

constexpr int kMaxThreads = 256;
// How long a waiting thread spins before it blocks: the first iterations pause, the rest yield the core.
// Bounded in time, so that on a busy machine a waiting thread soon stops competing with the ones it
// waits for.
constexpr int kSpinPause = 256;
constexpr auto kSpinTime = std::chrono::microseconds(500);

// Spins until ready() holds (true) or the spin time is over (false: the caller blocks).
template <typename F>
bool SpinUntil(F ready) {
  for (int i = 0; i < kSpinPause; ++i) {
    if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  const auto until = std::chrono::steady_clock::now() + kSpinTime;
  for (int i = 0;; ++i) {
    if (ready()) return true;
    std::this_thread::yield();
    if ((i & 15) == 15 && std::chrono::steady_clock::now() > until) return ready();
  }
}

std::atomic<int> g_size{0};  // 0 until first asked

int ParseCount(const char* text) {
  if (!text || !*text) return 0;
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (*end != '\0' || v < 1 || v > kMaxThreads) return 0;
  return static_cast<int>(v);
}

int AvailableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return std::min(n, kMaxThreads);
  }
  unsigned h = std::thread::hardware_concurrency();
  return h == 0 ? 1 : std::min(static_cast<int>(h), kMaxThreads);
}

// The calling thread is running a task of some launch (nested launches run inline).
thread_local bool t_in_task = false;

// One launch: the tasks' environment, their barrier, and the first failure.
class TaskGroup {
 public:
  // Only while no task of the previous launch runs.
  void Reset(int num_task) {
    active_ = num_task;
    arrived_ = 0;
    broken_.store(false, std::memory_order_relaxed);
    failed_task_ = -1;
    error_[0] = '\0';
    env_.sync_handle = this;
    env_.num_task = num_task;
  }
  TVMParallelGroupEnv* env() { return &env_; }

  // Every task of the group waits here until all tasks still running arrived; -1 once a task failed.
  int Arrive() {
    uint64_t phase;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (broken_.load(std::memory_order_relaxed)) return -1;
      phase = phase_.load(std::memory_order_relaxed);
      if (++arrived_ >= active_) {
        Release();
        return 0;
      }
    }
    if (SpinUntil([&] { return phase_.load(std::memory_order_acquire) != phase; }))
      return broken_.load(std::memory_order_acquire) ? -1 : 0;
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return phase_.load(std::memory_order_relaxed) != phase; });
    return broken_.load(std::memory_order_relaxed) ? -1 : 0;
  }

  // A task returned.  A finished task no longer holds the others at a barrier; a failed one releases
  // them with -1 so that they give up instead of waiting for it.
  void Depart(int task_id, int rc, const char* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    --active_;
    if (rc != 0) {
      if (failed_task_ < 0) {
        failed_task_ = task_id;
        std::snprintf(error_, sizeof(error_), "%s", error && *error ? error : "no error text");
      }
      broken_.store(true, std::memory_order_relaxed);
      Release();
    } else if (arrived_ > 0 && arrived_ >= active_) {
      Release();
    }
  }

  // After every task returned.
  int failed_task() const { return failed_task_; }
  const char* error() const { return error_; }

 private:
  // With mutex_ held.
  void Release() {
    arrived_ = 0;
    phase_.store(phase_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    cv_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::atomic<uint64_t> phase_{0};
  std::atomic<bool> broken_{false};
  int active_ = 0;
  int arrived_ = 0;
  int failed_task_ = -1;
  char error_[512] = {0};
  TVMParallelGroupEnv env_{nullptr, 0};
};

int RunTask(TaskGroup* group, FTVMParallelLambda f, void* cdata, int task_id) {
  t_in_task = true;
  TVMAPISetLastError(nullptr);
  int rc = f(task_id, group->env(), cdata);
  t_in_task = false;
  group->Depart(task_id, rc, rc != 0 ? TVMGetLastError() : nullptr);
  return rc;
}

int Finish(TaskGroup* group) {
  if (group->failed_task() < 0) return 0;
  char msg[600];
  std::snprintf(msg, sizeof(msg), "parallel task %d failed: %s", group->failed_task(), group->error());
  TVMAPISetLastError(msg);
  Counters().failed_launches.fetch_add(1, std::memory_order_relaxed);
  return -1;
}

int RunInline(FTVMParallelLambda f, void* cdata) {
  Counters().inline_launches.fetch_add(1, std::memory_order_relaxed);
  TaskGroup group;
  group.Reset(1);
  bool outer = t_in_task;
  RunTask(&group, f, cdata, 0);
  t_in_task = outer;
  return Finish(&group);
}

class ThreadPool {
 public:
  explicit ThreadPool(int size) : size_(size) {
    workers_.reserve(static_cast<size_t>(size - 1));
    try {
      for (int i = 1; i < size; ++i) {
        workers_.emplace_back([this, i] { WorkerLoop(i); });
        Counters().workers_started.fetch_add(1, std::memory_order_relaxed);
      }
    } catch (...) {  // a thread could not be started: stop the ones that were
      Stop();
      throw;
    }
  }
  ~ThreadPool() { Stop(); }
  int size() const { return size_; }

  int Launch(FTVMParallelLambda f, void* cdata, int num_task) {
    Counters().launches.fetch_add(1, std::memory_order_relaxed);
    f_ = f;
    cdata_ = cdata;
    group_.Reset(num_task);
    pending_.store(num_task - 1, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++seq_;
      job_.store((seq_ << 16) | static_cast<uint64_t>(num_task), std::memory_order_release);
    }
    wake_.notify_all();
    RunTask(&group_, f, cdata, 0);
    if (!SpinUntil([&] { return pending_.load(std::memory_order_acquire) == 0; })) {
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, [&] { return pending_.load(std::memory_order_acquire) == 0; });
    }
    return Finish(&group_);
  }

 private:
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_.store(true, std::memory_order_release);
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
    workers_.clear();
  }

  // job_ holds (sequence << 16) | num_task of the latest launch, so a worker that takes no part in a
  // launch never reads the job's other fields (which the next launch may already be rewriting).
  void WorkerLoop(int index) {
    uint64_t seen = 0;
    for (;;) {
      uint64_t job = seen;
      SpinUntil([&] {
        job = job_.load(std::memory_order_acquire);
        return job != seen || stop_.load(std::memory_order_relaxed);
      });
      if (job == seen) {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] {
          return stop_.load(std::memory_order_relaxed) || job_.load(std::memory_order_relaxed) != seen;
        });
        job = job_.load(std::memory_order_acquire);
      }
      if (stop_.load(std::memory_order_acquire)) return;
      seen = job;
      if (index >= static_cast<int>(job & 0xffff)) continue;
      RunTask(&group_, f_, cdata_, index);
      if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.notify_one();
      }
    }
  }

  const int size_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> job_{0};
  std::atomic<int> pending_{0};
  uint64_t seq_ = 0;
  // The current job: written by the launching thread before job_ announces it, read by its tasks.
  FTVMParallelLambda f_ = nullptr;
  void* cdata_ = nullptr;
  TaskGroup group_;
};

ThreadPool* PoolOfThisThread(int size) {
  thread_local std::unique_ptr<ThreadPool> pool;
  if (!pool || pool->size() != size) {
    pool.reset();
    pool = std::make_unique<ThreadPool>(size);
  }
  return pool.get();
}

}  // namespace

int DefaultConcurrency() {
  int n = ParseCount(std::getenv("TVM_NUM_THREADS"));
  return n > 0 ? n : AvailableCores();
}

int MaxConcurrency() {
  int n = g_size.load(std::memory_order_relaxed);
  if (n > 0) return n;
  int expected = 0;
  g_size.compare_exchange_strong(expected, DefaultConcurrency(), std::memory_order_relaxed);
  return g_size.load(std::memory_order_relaxed);
}

void Configure(int nthreads) {
  g_size.store(nthreads > 0 ? std::min(nthreads, kMaxThreads) : DefaultConcurrency(), std::memory_order_relaxed);
}

}  // namespace threading

TVM_REGISTER_GLOBAL("runtime.config_threadpool").set_body([](TVMArgs args, TVMRetValue* rv) {
  if (args.size() != 2) throw Error("runtime.config_threadpool takes (mode, nthreads)");
  int mode = args[0];
  (void)mode;  // affinity modes: threads are not pinned
  threading::Configure(args[1]);
  *rv = nullptr;
});

TVM_REGISTER_GLOBAL("runtime.NumThreads").set_body([](TVMArgs, TVMRetValue* rv) {
  *rv = threading::MaxConcurrency();
});

}  // namespace runtime
}  // namespace tvm

extern "C" {

int TVMBackendParallelLaunch(FTVMParallelLambda flambda, void* cdata, int num_task) {
  using namespace tvm::runtime::threading;
  if (!flambda || num_task < 0) {
    TVMAPISetLastError(!flambda ? "TVMBackendParallelLaunch: null lambda" : "TVMBackendParallelLaunch: num_task < 0");
    return -1;
  }
  int size = MaxConcurrency();
  int n = num_task == 0 ? size : std::min(num_task, size);
  if (n <= 1 || t_in_task) return RunInline(flambda, cdata);
  try {
    return PoolOfThisThread(size)->Launch(flambda, cdata, n);
  } catch (const std::exception&) {  // the pool's threads could not be started: run on this one
    return RunInline(flambda, cdata);
  }
}

int TVMBackendParallelBarrier(int task_id, TVMParallelGroupEnv* penv) {
  if (!penv || !penv->sync_handle || task_id < 0 || task_id >= penv->num_task) {
    TVMAPISetLastError("TVMBackendParallelBarrier: not called from a task of a parallel launch");
    return -1;
  }
  if (penv->num_task == 1) return 0;
  return static_cast<tvm::runtime::threading::TaskGroup*>(penv->sync_handle)->Arrive();
}

void TVMBackendGetStats(TVMBackendStats* out) {
  if (!out) return;
  auto& c = tvm::runtime::Counters();
  out->launches = c.launches.load();
  out->inline_launches = c.inline_launches.load();
  out->failed_launches = c.failed_launches.load();
  out->workers_started = c.workers_started.load();
  out->workspace_allocs = c.workspace_allocs.load();
  out->workspace_sys_allocs = c.workspace_sys_allocs.load();
  out->workspace_in_use = static_cast<uint64_t>(std::max<int64_t>(0, c.workspace_in_use.load()));
  out->workspace_cached = static_cast<uint64_t>(std::max<int64_t>(0, c.workspace_cached.load()));
}

}  // extern "C"
