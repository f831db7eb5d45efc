// Events across threads, sink replacement while other threads log, and handles destroyed on one thread
// while others use them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "qobm/qobm.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

TEST(QobmEvent, WaitTimesOutWithItsCode) {
  qobmEvent* e = nullptr;
  ASSERT_EQ(qobmCreateEvent(1, &e), 0);
  auto t0 = Clock::now();
  EXPECT_EQ(qobmWaitEvent(e, 0), QOBM_ERR_EVENT_TIMEOUT);
  EXPECT_LT(msSince(t0), 1000);
  t0 = Clock::now();
  EXPECT_EQ(qobmWaitEvent(e, 80), QOBM_ERR_EVENT_TIMEOUT);
  const long long waited = msSince(t0);
  EXPECT_GE(waited, 80);
  EXPECT_LT(waited, 5000);
  EXPECT_EQ(qobmDestroyEvent(e), 0);
}

TEST(QobmEvent, SignalSetBeforeTheWaitIsKeptAndConsumedOnce) {
  qobmEvent* e = nullptr;
  ASSERT_EQ(qobmCreateEvent(1, &e), 0);
  ASSERT_EQ(qobmSetEvent(e), 0);
  ASSERT_EQ(qobmSetEvent(e), 0);  // signals do not add up
  EXPECT_EQ(qobmWaitEvent(e, 0), 0);
  EXPECT_EQ(qobmWaitEvent(e, 10), QOBM_ERR_EVENT_TIMEOUT);
  ASSERT_EQ(qobmSetEvent(e), 0);
  EXPECT_EQ(qobmWaitEvent(e, UINT32_MAX), 0);
  EXPECT_EQ(qobmDestroyEvent(e), 0);
}

TEST(QobmEvent, SetFromAnotherThreadWakesAnUnlimitedWait) {
  qobmEvent* e = nullptr;
  ASSERT_EQ(qobmCreateEvent(1, &e), 0);
  std::thread setter([e] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(qobmSetEvent(e), 0);
  });
  EXPECT_EQ(qobmWaitEvent(e, UINT32_MAX), 0);
  setter.join();
  EXPECT_EQ(qobmWaitEvent(e, 0), QOBM_ERR_EVENT_TIMEOUT);  // the woken wait consumed the signal
  EXPECT_EQ(qobmDestroyEvent(e), 0);
}

TEST(QobmEvent, OneSetWakesEveryWaiter) {
  qobmEvent* e = nullptr;
  ASSERT_EQ(qobmCreateEvent(1, &e), 0);
  constexpr int kWaiters = 4;
  std::atomic<int> entering{0};
  std::vector<int> results(kWaiters, -1);
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] {
      ++entering;
      results[i] = qobmWaitEvent(e, 20000);
    });
  }
  while (entering.load() < kWaiters) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(qobmSetEvent(e), 0);
  for (auto& t : waiters) t.join();
  for (int i = 0; i < kWaiters; ++i) EXPECT_EQ(results[i], 0) << i;
  EXPECT_EQ(qobmDestroyEvent(e), 0);
}

TEST(QobmEvent, DestroyEndsAWaitAndStaleHandlesAreRefused) {
  qobmEvent* e = nullptr;
  ASSERT_EQ(qobmCreateEvent(1, &e), 0);
  int result = -1;
  std::thread waiter([&] { result = qobmWaitEvent(e, UINT32_MAX); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(qobmDestroyEvent(e), 0);
  waiter.join();
  EXPECT_EQ(result, QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmSetEvent(e), QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmWaitEvent(e, 0), QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmDestroyEvent(e), QOBM_ERR_INVALID_HANDLE);

  qobmEvent* out = reinterpret_cast<qobmEvent*>(0x8);
  EXPECT_EQ(qobmCreateEvent(0, &out), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmCreateEvent(2, &out), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(out, reinterpret_cast<qobmEvent*>(0x8));
  EXPECT_EQ(qobmCreateEvent(1, nullptr), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmSetEvent(nullptr), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmWaitEvent(nullptr, 0), QOBM_ERR_INVALID_PARAM);
  int junk = 0;
  EXPECT_EQ(qobmSetEvent(reinterpret_cast<qobmEvent*>(&junk)), QOBM_ERR_INVALID_HANDLE);
}

struct Counter {
  std::atomic<long> lines{0};
};

void countLine(uint32_t, uint32_t, const char*, const char*, uint32_t, const char* text, void* user) {
  if (std::strcmp(text, "tick 7") == 0) static_cast<Counter*>(user)->lines.fetch_add(1);
}

TEST(QobmLogConcurrency, SinkReplacedWhileThreadsLogLosesNothingAndOldSinkStops) {
  Counter a, b;
  ASSERT_EQ(qobmSetLogLevel(qobmLL_WARN), 0);
  ASSERT_EQ(qobmSetLogSink(countLine, &a), 0);
  constexpr int kThreads = 3, kSwaps = 100;
  std::atomic<bool> stop{false};
  std::vector<long> logged(kThreads, 0);
  std::vector<std::thread> loggers;
  for (int i = 0; i < kThreads; ++i) {
    loggers.emplace_back([&, i] {
      while (!stop.load()) {
        qobmLogMessage(qobmLC_CL, qobmLL_ERROR, "f", "f.cpp", 1, "tick %d", 7);
        ++logged[i];
      }
    });
  }
  bool oldSinkCalledLate = false;
  for (int swap = 0; swap < kSwaps; ++swap) {
    Counter* next = swap % 2 == 0 ? &b : &a;
    Counter* old = swap % 2 == 0 ? &a : &b;
    ASSERT_EQ(qobmSetLogSink(countLine, next), 0);
    const long seen = old->lines.load();
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    if (old->lines.load() != seen) oldSinkCalledLate = true;
  }
  stop = true;
  for (auto& t : loggers) t.join();
  qobmSetLogSink(nullptr, nullptr);
  EXPECT_FALSE(oldSinkCalledLate);
  long total = 0;
  for (long n : logged) total += n;
  EXPECT_EQ(a.lines.load() + b.lines.load(), total);
  EXPECT_GT(a.lines.load(), 0);
  EXPECT_GT(b.lines.load(), 0);
}

TEST(QobmHandleConcurrency, HandlesDestroyedOnOneThreadWhileOthersUseThem) {
  std::mutex mu;
  std::vector<qobmDataBuffer*> shared;
  std::atomic<bool> done{false};
  std::atomic<int> badResults{0};
  std::thread producer([&] {
    for (int i = 0; i < 3000; ++i) {
      qobmDataBuffer* b = nullptr;
      if (qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_CPU, 0}, 0x100 + i, 8, &b) != 0) ++badResults;
      std::lock_guard<std::mutex> lock(mu);
      shared.push_back(b);
    }
    done = true;
  });
  std::thread destroyer([&] {
    for (;;) {
      qobmDataBuffer* b = nullptr;
      {
        std::lock_guard<std::mutex> lock(mu);
        if (!shared.empty()) {
          b = shared.back();
          shared.pop_back();
        }
      }
      if (b == nullptr) {
        if (done) break;
        std::this_thread::yield();
        continue;
      }
      if (qobmDestroyDataBuffer(b) != 0) ++badResults;
    }
  });
  // Readers peek at whatever is in the list, possibly just destroyed, and put it in a dataset of their own.
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      qobmDataset* ds = nullptr;
      if (qobmCreateDataset(qobmDM_BUFFER, &ds) != 0) ++badResults;
      while (!done) {
        qobmDataBuffer* b = nullptr;
        {
          std::lock_guard<std::mutex> lock(mu);
          if (!shared.empty()) b = shared.front();
        }
        if (b == nullptr) continue;
        uint64_t size = 0;
        const int rc = qobmGetDataBufferSize(b, &size);
        if (!(rc == 0 && size == 8) && rc != QOBM_ERR_INVALID_HANDLE) ++badResults;
        const int add = qobmAddDatasetBuffer(ds, b);  // a stale entry is fine: it is never dereferenced
        if (add != 0 && add != QOBM_ERR_INVALID_HANDLE) ++badResults;
      }
      if (qobmDestroyDataset(ds) != 0) ++badResults;
    });
  }
  producer.join();
  destroyer.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(badResults.load(), 0);
  EXPECT_TRUE(shared.empty());
}

}  // namespace
