#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "rwlock.h"
#include "singleton.h"

using zenlar::qobl::raii;
using zenlar::qobl::RWLock;
using zenlar::qobl::Singleton;
using zenlar::qobl::SpinLock;
using zenlar::qobl::threadsafe_unordered_map;

namespace {

void waitUntil(const std::function<bool()>& cond) {
  while (!cond()) std::this_thread::yield();
}

}  // namespace

// Writers update two plain ints together; readers must never see them differ.  A lock that lets a reader in
// beside a writer, or two writers together, shows up as a mismatch or lost update (and as a race under TSan).
TEST(RWLockConcurrency, ReadersAndWritersExclude) {
  RWLock lock(false);
  int a = 0;
  int b = 0;
  std::atomic<bool> mismatch{false};
  constexpr int kWriters = 3, kReaders = 2, kIters = 3000;
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIters; ++i) {
        raii g = lock.write_guard();
        {
          raii nested = lock.write_guard();  // owner re-entry must not deadlock
          ++a;
        }
        ++b;
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIters; ++i) {
        raii g = lock.read_guard();
        if (a != b) mismatch = true;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(mismatch.load());
  EXPECT_EQ(a, kWriters * kIters);
  EXPECT_EQ(b, kWriters * kIters);
  EXPECT_EQ(lock.lockCount(), 0);
  EXPECT_EQ(lock.writeOwner(), RWLock::NULL_THEAD);
}

// Threads bump two plain counters together under the spin lock: a lost update or a race (TSan) means two
// holders at once.  More threads than cores, so waiters also take the yielding path.
TEST(SpinLockConcurrency, HoldersExclude) {
  SpinLock lock;
  long a = 0, b = 0;
  constexpr int kThreads = 4, kIters = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIters; ++i) {
        std::lock_guard<SpinLock> g(lock);
        ++a;
        b += a - b;  // reads a, which only a holder changes
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(a, long{kThreads} * kIters);
  EXPECT_EQ(b, a);
}

// A reader that arrives while a writer waits on a read-held lock enters at once (the library's maps take
// readers first; the writer gets in once the readers are gone).
TEST(RWLockConcurrency, NewReadersEnterBesideAWaitingWriter) {
  RWLock lock(false);
  lock.readLock();  // held by this thread
  std::atomic<bool> writerIn{false};
  std::atomic<bool> readerIn{false};
  std::thread writer([&] {
    lock.writeLock();
    writerIn = true;
    lock.writeUnlock();
  });
  waitUntil([&] { return lock.writeWaitCount() == 1; });
  std::thread reader([&] {
    lock.readLock();
    readerIn = true;
    lock.readUnlock();
  });
  waitUntil([&] { return readerIn.load(); });
  EXPECT_FALSE(writerIn.load());
  lock.readUnlock();
  writer.join();
  reader.join();
  EXPECT_TRUE(writerIn.load());
  EXPECT_EQ(lock.lockCount(), 0);
}

// Several threads add to per-key vectors and move entries between maps' keys under one guard; no entry may
// be lost or duplicated.
TEST(ThreadsafeMapConcurrency, GuardedMultiStepUpdatesAreAtomic) {
  threadsafe_unordered_map<uint32_t, std::vector<uint32_t>> m;
  constexpr uint32_t kThreads = 4, kIters = 1000, kKeys = 8;
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (uint32_t i = 0; i < kIters; ++i) {
        const uint32_t key = (t + i) % kKeys;
        (void)m.count(key);  // single-operation access beside the guarded ones
        raii g = m.write_guard();
        auto it = m.find(key);
        if (it == m.end()) {
          m[key].push_back(t * kIters + i);
        } else {
          it->second.push_back(t * kIters + i);
        }
        if (i % 10 == 0) {  // move the whole list to the next key
          std::vector<uint32_t> moved = std::move(m[key]);
          m.erase(key);
          auto& dst = m[(key + 1) % kKeys];
          dst.insert(dst.end(), moved.begin(), moved.end());
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<bool> seen(kThreads * kIters, false);
  size_t total = 0;
  for (uint32_t k = 0; k < kKeys; ++k) {
    for (uint32_t v : m[k]) {
      ASSERT_LT(v, seen.size());
      EXPECT_FALSE(seen[v]) << "duplicated " << v;
      seen[v] = true;
      ++total;
    }
  }
  EXPECT_EQ(total, size_t{kThreads} * kIters);
  EXPECT_EQ(m.getLock().lockCount(), 0);
}

namespace {
struct SlowToBuild {
  static std::atomic<int> constructed;
  SlowToBuild() {
    ++constructed;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    value = 42;
  }
  int value = 0;
};
std::atomic<int> SlowToBuild::constructed{0};
}  // namespace

TEST(SingletonConcurrency, ConstructedOnceUnderContention) {
  constexpr int kThreads = 6;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<SlowToBuild*> got(kThreads, nullptr);
  std::vector<int> values(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      waitUntil([&] { return go.load(); });
      got[i] = Singleton<SlowToBuild>::getInstance();
      values[i] = got[i]->value;  // must see the fully constructed object
    });
  }
  waitUntil([&] { return ready.load() == kThreads; });
  go = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(SlowToBuild::constructed.load(), 1);
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(got[i], got[0]);
    EXPECT_EQ(values[i], 42);
  }
  EXPECT_EQ(Singleton<SlowToBuild>::getInstance(), got[0]);
}
