// The op stream's lock under contention: mutual exclusion, nested takes by the owner, and threads that went
// to sleep waiting for it (a holder that keeps it for a millisecond) all woken again.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "stream_lock.h"

using zenlar::qobl::StreamLock;

TEST(StreamLockTest, ExcludesNestsAndWakesSleepers) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  StreamLock lock;
  int counter = 0;      // written only under the lock, read-yield-write so that a second holder loses updates
  int nestedDepth = 0;  // the holder's nested takes
  bool overlapped = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        std::lock_guard<StreamLock> outer(lock);
        {
          // The owner takes it again without waiting for itself.
          std::lock_guard<StreamLock> inner(lock);
          if (nestedDepth != 0) overlapped = true;
          ++nestedDepth;
          const int v = counter;
          std::this_thread::yield();
          counter = v + 1;
          // Now and then the holder keeps the lock long enough for the others to stop yielding and sleep.
          if ((r + t) % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          --nestedDepth;
        }
        // After the inner guard the lock is still held: nobody else may be inside.
        if (nestedDepth != 0) overlapped = true;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(counter, kThreads * kRounds);
  EXPECT_FALSE(overlapped);
  // Left as often as taken: another thread takes it at once.
  std::thread later([&] {
    std::lock_guard<StreamLock> guard(lock);
    ++counter;
  });
  later.join();
  EXPECT_EQ(counter, kThreads * kRounds + 1);
}
