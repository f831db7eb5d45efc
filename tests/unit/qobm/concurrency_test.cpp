// Events across threads, and handles destroyed on one thread while others use them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "qobm/qobm.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

TEST(QobmEvent, WaitTimesOutAndOneSetWakesEveryUnlimitedWait) {
  qobmEvent* e = nullptr;
  ASSERT_EQ(qobmCreateEvent(1, &e), 0);
  const auto t0 = Clock::now();
  EXPECT_EQ(qobmWaitEvent(e, 80), QOBM_ERR_EVENT_TIMEOUT);
  EXPECT_GE(msSince(t0), 80);
  EXPECT_LT(msSince(t0), 5000);
  ASSERT_EQ(qobmSetEvent(e), 0);
  ASSERT_EQ(qobmSetEvent(e), 0);  // signals do not add up
  EXPECT_EQ(qobmWaitEvent(e, 0), 0);
  EXPECT_EQ(qobmWaitEvent(e, 10), QOBM_ERR_EVENT_TIMEOUT);

  constexpr int kWaiters = 3;
  std::atomic<int> entering{0};
  std::vector<int> results(kWaiters, -1);
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] {
      ++entering;
      results[i] = qobmWaitEvent(e, UINT32_MAX);
    });
  }
  while (entering.load() < kWaiters) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::thread([e] { EXPECT_EQ(qobmSetEvent(e), 0); }).join();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(results, std::vector<int>(kWaiters, 0));
  EXPECT_EQ(qobmWaitEvent(e, 0), QOBM_ERR_EVENT_TIMEOUT);  // the woken waits consumed the signal
  EXPECT_EQ(qobmDestroyEvent(e), 0);
}

// Two threads hand a turn back and forth through two events: a signal lost between a set and a wait that
// is about to sleep shows as a wait that times out.
TEST(QobmEvent, PingPongLosesNoSignal) {
  qobmEvent* ping = nullptr;
  qobmEvent* pong = nullptr;
  ASSERT_EQ(qobmCreateEvent(1, &ping), 0);
  ASSERT_EQ(qobmCreateEvent(1, &pong), 0);
  constexpr int kRounds = 5000;
  std::atomic<int> failures{0};
  std::thread other([&] {
    for (int i = 0; i < kRounds && failures.load() == 0; ++i) {
      if (qobmWaitEvent(ping, 2000) != 0 || qobmSetEvent(pong) != 0) ++failures;
    }
  });
  for (int i = 0; i < kRounds && failures.load() == 0; ++i) {
    if (qobmSetEvent(ping) != 0 || qobmWaitEvent(pong, 2000) != 0) ++failures;
  }
  other.join();
  ASSERT_EQ(failures.load(), 0);
  EXPECT_EQ(qobmWaitEvent(ping, 0), QOBM_ERR_EVENT_TIMEOUT);  // every signal was consumed once
  EXPECT_EQ(qobmWaitEvent(pong, 0), QOBM_ERR_EVENT_TIMEOUT);
  EXPECT_EQ(qobmDestroyEvent(ping), 0);
  EXPECT_EQ(qobmDestroyEvent(pong), 0);
}

TEST(QobmEvent, DestroyEndsAWaitAndMisuseIsRefused) {
  qobmEvent* e = nullptr;
  ASSERT_EQ(qobmCreateEvent(1, &e), 0);
  int result = -1;
  std::thread waiter([&] { result = qobmWaitEvent(e, UINT32_MAX); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(qobmDestroyEvent(e), 0);
  waiter.join();
  EXPECT_EQ(result, QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmSetEvent(e), QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmDestroyEvent(e), QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmWaitEvent(reinterpret_cast<qobmEvent*>(&result), 0), QOBM_ERR_INVALID_HANDLE);  // no event
  qobmEvent* out = reinterpret_cast<qobmEvent*>(0x8);
  EXPECT_EQ(qobmCreateEvent(2, &out), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(out, reinterpret_cast<qobmEvent*>(0x8));
  EXPECT_EQ(qobmCreateEvent(1, nullptr), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmWaitEvent(nullptr, 0), QOBM_ERR_INVALID_PARAM);
}

void countLine(uint32_t, uint32_t, const char*, const char*, uint32_t, const char*, void* user) {
  static_cast<std::atomic<long>*>(user)->fetch_add(1);
}

TEST(QobmLogConcurrency, SinkReplacedWhileThreadsLogLosesNoLine) {
  std::atomic<long> a{0}, b{0}, logged{0};
  ASSERT_EQ(qobmSetLogLevel(qobmLL_WARN), 0);
  ASSERT_EQ(qobmSetLogSink(countLine, &a), 0);
  std::atomic<bool> stop{false};
  std::vector<std::thread> loggers;
  for (int i = 0; i < 2; ++i) {
    loggers.emplace_back([&] {
      while (!stop.load()) {
        qobmLogMessage(qobmLC_CL, qobmLL_ERROR, "f", "f.cpp", 1, "tick %d", 7);
        ++logged;
      }
    });
  }
  for (int swap = 0; swap < 100; ++swap) {
    ASSERT_EQ(qobmSetLogSink(countLine, swap % 2 == 0 ? &b : &a), 0);
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }
  stop = true;
  for (auto& t : loggers) t.join();
  qobmSetLogSink(nullptr, nullptr);
  EXPECT_EQ(a.load() + b.load(), logged.load());
  EXPECT_GT(b.load(), 0);
}

TEST(QobmHandleConcurrency, HandlesDestroyedOnOneThreadWhileOthersUseThem) {
  std::mutex mu;
  std::vector<qobmDataBuffer*> shared;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread producer([&] {
    for (int i = 0; i < 3000; ++i) {
      qobmDataBuffer* b = nullptr;
      if (qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_CPU, 0}, 0x100 + i, 8, &b) != 0) ++bad;
      std::lock_guard<std::mutex> lock(mu);
      shared.push_back(b);
    }
    done = true;
  });
  // Takes from the back, peeks at the front: readers meet handles just destroyed.
  auto take = [&](bool destroy) {
    std::lock_guard<std::mutex> lock(mu);
    if (shared.empty()) return static_cast<qobmDataBuffer*>(nullptr);
    qobmDataBuffer* b = destroy ? shared.back() : shared.front();
    if (destroy) shared.pop_back();
    return b;
  };
  std::thread destroyer([&] {
    for (;;) {
      // Read the flag before looking: a push between an empty look and the
      // flag read would otherwise be left behind.
      const bool finished = done;
      qobmDataBuffer* b = take(true);
      if (b == nullptr && finished) break;
      if (b == nullptr) std::this_thread::yield();
      else if (qobmDestroyDataBuffer(b) != 0) ++bad;
    }
  });
  std::thread reader([&] {
    qobmDataset* ds = nullptr;
    if (qobmCreateDataset(qobmDM_BUFFER, &ds) != 0) ++bad;
    while (!done) {
      qobmDataBuffer* b = take(false);
      if (b == nullptr) continue;
      uint64_t size = 0;
      const int rc = qobmGetDataBufferSize(b, &size);
      if (!(rc == 0 && size == 8) && rc != QOBM_ERR_INVALID_HANDLE) ++bad;
      const int add = qobmAddDatasetBuffer(ds, b);  // a stale entry is fine: it is never dereferenced
      if (add != 0 && add != QOBM_ERR_INVALID_HANDLE) ++bad;
    }
    if (qobmDestroyDataset(ds) != 0) ++bad;
  });
  producer.join();
  destroyer.join();
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_TRUE(shared.empty());
}

// One thread adds entries to a dataset (past the first few, which are kept apart from the rest) while
// another reads its count and entries: every read sees a count up to what was added and entries in order.
TEST(QobmHandleConcurrency, EntriesReadWhileAnotherThreadAddsThem) {
  constexpr int kEntries = 40;
  std::vector<qobmDataBuffer*> bufs(kEntries);
  for (int i = 0; i < kEntries; ++i)
    ASSERT_EQ(qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_CPU, 0}, 0x100 + i, 8, &bufs[i]), 0);
  qobmDataset* ds = nullptr;
  ASSERT_EQ(qobmCreateDataset(qobmDM_BUFFER, &ds), 0);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread adder([&] {
    for (qobmDataBuffer* b : bufs) {
      if (qobmAddDatasetBuffer(ds, b) != 0) ++bad;
      std::this_thread::yield();
    }
    done = true;
  });
  std::thread reader([&] {
    while (!done) {
      uint32_t count = 0;
      if (qobmGetDatasetBufferCount(ds, &count) != 0 || count > kEntries) ++bad;
      for (uint32_t i = 0; i < count; ++i) {
        qobmDataBuffer* got = nullptr;
        if (qobmGetDatasetBuffer(ds, i, &got) != 0 || got != bufs[i]) ++bad;
      }
    }
  });
  adder.join();
  reader.join();
  EXPECT_EQ(bad.load(), 0);
  uint32_t count = 0;
  ASSERT_EQ(qobmGetDatasetBufferCount(ds, &count), 0);
  EXPECT_EQ(count, static_cast<uint32_t>(kEntries));
  for (uint32_t i = 0; i < count; ++i) {
    qobmDataBuffer* got = nullptr;
    EXPECT_EQ(qobmGetDatasetBuffer(ds, i, &got), 0);
    EXPECT_EQ(got, bufs[i]) << i;
  }
  EXPECT_EQ(qobmDestroyDataset(ds), 0);
  for (qobmDataBuffer* b : bufs) EXPECT_EQ(qobmDestroyDataBuffer(b), 0);
}

}  // namespace
