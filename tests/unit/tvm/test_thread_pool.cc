// The worker pool behind TVMBackendParallelLaunch, its barrier, and the per-thread workspace pools.
#include <gtest/gtest.h>
#include <tvm/runtime/c_backend_api.h>
#include <tvm/runtime/registry.h>
#include <tvm/runtime/threading_backend.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace tvm::runtime;

namespace {

void ConfigPool(int nthreads) { (*Registry::Get("runtime.config_threadpool"))(0, nthreads); }
int PoolSize() { return (*Registry::Get("runtime.NumThreads"))(); }

// Restores the default pool size when a test ends.
struct PoolSize_ {
  explicit PoolSize_(int n) { ConfigPool(n); }
  ~PoolSize_() { ConfigPool(0); }
};

TVMBackendStats Stats() {
  TVMBackendStats s{};
  TVMBackendGetStats(&s);
  return s;
}

// What the tasks of one launch saw.
struct Seen {
  std::atomic<int> calls{0};
  std::atomic<int> task_mask{0};
  std::atomic<int> num_task{-1};
  std::atomic<int> caller_ran_task0{0};
  std::atomic<int> distinct_threads_bad{0};
  std::thread::id caller;
  std::atomic<int> phase_count[3] = {};
  std::atomic<int> barrier_errors{0};
};

int RecordTask(int task_id, TVMParallelGroupEnv* env, void* cdata) {
  auto* s = static_cast<Seen*>(cdata);
  s->calls++;
  s->task_mask |= 1 << task_id;
  s->num_task = env->num_task;
  if (task_id == 0 && std::this_thread::get_id() == s->caller) s->caller_ran_task0++;
  if (task_id != 0 && std::this_thread::get_id() == s->caller) s->distinct_threads_bad++;
  // Three phases: after each barrier every task sees every other task's increment of that phase.
  for (int p = 0; p < 3; ++p) {
    s->phase_count[p]++;
    if (TVMBackendParallelBarrier(task_id, env) != 0) s->barrier_errors++;
    if (s->phase_count[p].load() != env->num_task) s->barrier_errors++;
  }
  return 0;
}

}  // namespace

// Environment parsing first, before any pool exists in this process.
TEST(ThreadPool, SizeFromTvmNumThreadsOrTheCores) {
  const int cores = [] {
    unsetenv("TVM_NUM_THREADS");
    return threading::DefaultConcurrency();
  }();
  EXPECT_GE(cores, 1);
  struct Case {
    const char* env;
    int expect;  // 0: the cores
  } const cases[] = {{"3", 3}, {"1", 1}, {"256", 256}, {"0", 0}, {"-2", 0}, {"abc", 0}, {"4x", 0}, {"", 0}, {"257", 0}};
  for (const Case& c : cases) {
    setenv("TVM_NUM_THREADS", c.env, 1);
    ConfigPool(0);
    EXPECT_EQ(PoolSize(), c.expect ? c.expect : cores) << "TVM_NUM_THREADS=\"" << c.env << "\"";
  }
  unsetenv("TVM_NUM_THREADS");
  ConfigPool(0);
  EXPECT_EQ(PoolSize(), cores);
  ConfigPool(5);
  EXPECT_EQ(PoolSize(), 5);
  ConfigPool(0);
}

// num_task 0 means the pool's size, larger requests are capped to it, the caller runs task 0 and the
// other tasks run on other threads; each task id runs once; barriers hold in every phase.
TEST(ThreadPool, TaskCountsCallerTaskAndBarrierPhases) {
  struct Case {
    int pool, num_task, expect;
  } const cases[] = {{1, 0, 1}, {1, 3, 1}, {2, 0, 2}, {2, 1, 1}, {2, 2, 2}, {2, 9, 2}, {3, 0, 3}, {4, 2, 2}, {4, 0, 4}};
  for (const Case& c : cases) {
    PoolSize_ size(c.pool);
    Seen s;
    s.caller = std::this_thread::get_id();
    ASSERT_EQ(0, TVMBackendParallelLaunch(RecordTask, &s, c.num_task)) << TVMGetLastError();
    SCOPED_TRACE("pool " + std::to_string(c.pool) + ", num_task " + std::to_string(c.num_task));
    EXPECT_EQ(s.calls.load(), c.expect);
    EXPECT_EQ(s.task_mask.load(), (1 << c.expect) - 1);
    EXPECT_EQ(s.num_task.load(), c.expect);
    EXPECT_EQ(s.caller_ran_task0.load(), 1);
    EXPECT_EQ(s.distinct_threads_bad.load(), 0);
    EXPECT_EQ(s.barrier_errors.load(), 0);
  }
}

// Pools are reused launch after launch with barriers in each (100 launches per thread below); that no
// thread is started per launch shows in tvm_parallel_model_test, whose steady-state items allocate nothing.
// Launches from several application threads at once: each has its own pool.
TEST(ThreadPool, ConcurrentLaunchersAndNestedLaunches) {
  PoolSize_ size(2);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        Seen s;
        s.caller = std::this_thread::get_id();
        if (TVMBackendParallelLaunch(RecordTask, &s, 0) != 0 || s.calls != 2 || s.barrier_errors != 0) bad++;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);

  // A launch from inside a task runs inline on that task's thread as one task.
  struct Nest {
    std::atomic<int> inner_calls{0}, inner_bad{0};
  } nest;
  struct Inner {
    Nest* nest;
    std::thread::id thread;
  };
  auto outer = [](int, TVMParallelGroupEnv*, void* cdata) -> int {
    auto inner = [](int task_id, TVMParallelGroupEnv* env, void* cd) -> int {
      auto* in = static_cast<Inner*>(cd);
      in->nest->inner_calls++;
      if (task_id != 0 || env->num_task != 1 || TVMBackendParallelBarrier(0, env) != 0 ||
          std::this_thread::get_id() != in->thread)
        in->nest->inner_bad++;
      return 0;
    };
    Inner ctx{static_cast<Nest*>(cdata), std::this_thread::get_id()};
    return TVMBackendParallelLaunch(inner, &ctx, 0);
  };
  ASSERT_EQ(0, TVMBackendParallelLaunch(outer, &nest, 0));
  EXPECT_EQ(nest.inner_calls.load(), 2);
  EXPECT_EQ(nest.inner_bad.load(), 0);
}

// A failing task: the launch returns -1 with that task's text, tasks waiting at a barrier are released
// with -1 instead of hanging, and the pool runs the next launch normally.
TEST(ThreadPool, FailingTaskIsReportedAndReleasesTheBarrier) {
  PoolSize_ size(3);
  struct Fail {
    int failing;
    std::atomic<int> released_with_error{0};
  };
  auto task = [](int task_id, TVMParallelGroupEnv* env, void* cdata) -> int {
    auto* f = static_cast<Fail*>(cdata);
    if (task_id == f->failing) {
      TVMAPISetLastError(("task " + std::to_string(task_id) + " met a bad value").c_str());
      return -1;
    }
    if (TVMBackendParallelBarrier(task_id, env) != 0) {
      f->released_with_error++;
      return -1;
    }
    return 0;
  };
  for (int failing : {0, 2}) {
    Fail f{failing};
    const uint64_t failed_before = Stats().failed_launches;
    EXPECT_EQ(-1, TVMBackendParallelLaunch(task, &f, 0));
    const std::string err = TVMGetLastError();
    EXPECT_NE(err.find("parallel task " + std::to_string(failing) + " failed: task " + std::to_string(failing) +
                       " met a bad value"),
              std::string::npos)
        << err;
    EXPECT_EQ(f.released_with_error.load(), 2);
    EXPECT_EQ(Stats().failed_launches, failed_before + 1);
  }
  Seen s;
  s.caller = std::this_thread::get_id();
  EXPECT_EQ(0, TVMBackendParallelLaunch(RecordTask, &s, 0));
  EXPECT_EQ(s.barrier_errors.load(), 0);

  // A task that returns without reaching a barrier does not hold the others there.
  auto skips = [](int task_id, TVMParallelGroupEnv* env, void*) -> int {
    return task_id == 1 ? 0 : TVMBackendParallelBarrier(task_id, env);
  };
  EXPECT_EQ(0, TVMBackendParallelLaunch(skips, nullptr, 0));

  // Misuse is refused with a text, not a crash.
  EXPECT_EQ(-1, TVMBackendParallelLaunch(nullptr, nullptr, 0));
  EXPECT_EQ(-1, TVMBackendParallelLaunch(skips, nullptr, -1));
  EXPECT_STRNE(TVMGetLastError(), "");
  TVMParallelGroupEnv fake{nullptr, 2};
  EXPECT_EQ(-1, TVMBackendParallelBarrier(0, nullptr));
  EXPECT_EQ(-1, TVMBackendParallelBarrier(0, &fake));
  auto bad_id = [](int, TVMParallelGroupEnv* env, void*) -> int { return TVMBackendParallelBarrier(5, env) == -1 ? 0 : 1; };
  EXPECT_EQ(0, TVMBackendParallelLaunch(bad_id, nullptr, 1));
}

// Reuse of pooled workspaces, including those taken inside pool tasks, shows in tvm_parallel_model_test
// (steady-state items take nothing new from the system); 64-byte alignment is checked by the test model's
// kernels.  Here blocks larger than anything cached, blocks freed on another thread, and misuse.
TEST(Workspace, LargeBlocksForeignFreesAndMisuse) {
  PoolSize_ size(2);
  // A larger request than anything cached takes new memory once, then comes from the cache.
  void* big = TVMBackendAllocWorkspace(kDLCPU, 0, 1 << 20, kDLFloat, 32);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(0, TVMBackendFreeWorkspace(kDLCPU, 0, big));
  const uint64_t sys = Stats().workspace_sys_allocs;
  big = TVMBackendAllocWorkspace(kDLCPU, 0, 1 << 20, kDLFloat, 32);
  EXPECT_EQ(Stats().workspace_sys_allocs, sys);

  // Freed on another thread: accepted, and the block is reused by its own thread again.
  std::thread([&] { EXPECT_EQ(0, TVMBackendFreeWorkspace(kDLCPU, 0, big)); }).join();
  void* again = TVMBackendAllocWorkspace(kDLCPU, 0, 1 << 20, kDLFloat, 32);
  EXPECT_EQ(again, big);
  EXPECT_EQ(Stats().workspace_sys_allocs, sys);
  EXPECT_EQ(0, TVMBackendFreeWorkspace(kDLCPU, 0, again));

  // Double frees, foreign pointers, null and other devices are refused with a text.
  int local = 0;
  EXPECT_EQ(-1, TVMBackendFreeWorkspace(kDLCPU, 0, again));
  EXPECT_NE(std::string(TVMGetLastError()).find("not a workspace in use"), std::string::npos);
  EXPECT_EQ(-1, TVMBackendFreeWorkspace(kDLCPU, 0, &local));
  EXPECT_EQ(-1, TVMBackendFreeWorkspace(kDLCPU, 0, nullptr));
  EXPECT_EQ(nullptr, TVMBackendAllocWorkspace(kDLCUDA, 0, 64, kDLFloat, 32));
  EXPECT_NE(std::string(TVMGetLastError()).find("is not the CPU"), std::string::npos);
  EXPECT_EQ(nullptr, TVMBackendAllocWorkspace(kDLCPU, 0, ~uint64_t(0), kDLFloat, 32));
  EXPECT_EQ(Stats().workspace_in_use, 0u);
}
