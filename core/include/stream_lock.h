// StreamLock: the recursive lock of an op stream (OpStream::streamLock_).
//
// Each device run takes it once on the submitting thread and once on the card's reporting thread, and it is
// held for short stretches (a run's bookkeeping, at most the building of one run), so its free case is made
// inline: taking it is one atomic exchange, leaving it one atomic store and one load.  A thread that finds
// it held yields the processor a few times, then sleeps on a condition variable until the holder leaves.
//
// The owning thread may take it again (a nested take only counts); it must leave it as often as it took it.
// It meets BasicLockable, for std::lock_guard and std::unique_lock.
//
// Waking: a sleeper announces itself (waiters_) under mu_ before it tries the lock again, and the leaving
// thread clears held_ before it reads waiters_, both sequentially consistent.  So either the sleeper's try
// finds the lock free, or the leaving thread sees the sleeper and notifies it after taking mu_, which it
// can only do once the sleeper waits.
#ifndef QOBL_STREAM_LOCK_H
#define QOBL_STREAM_LOCK_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "per_thread.h"

namespace zenlar {
namespace qobl {

class StreamLock {
 public:
  StreamLock() = default;
  StreamLock(const StreamLock&) = delete;
  StreamLock& operator=(const StreamLock&) = delete;

  void lock() {
    const void* me = self();
    // Only this thread writes its own tag here, and it clears it before it leaves the lock: a relaxed read
    // tells whether this thread holds it.
    if (owner_.load(std::memory_order_relaxed) == me) {
      ++depth_;
      return;
    }
    // Acquire suffices here: the ordering against sleepers is that of waitForLock and unlock.
    if (held_.exchange(true, std::memory_order_acquire)) waitForLock();
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
  }

  void unlock() {
    if (--depth_ != 0) return;
    owner_.store(nullptr, std::memory_order_relaxed);
    held_.store(false, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) != 0) wakeOne();
  }

 private:
  // A per-thread address that names the calling thread.
  static const void* self() {
    static QOBL_THREAD_LOCAL char tag = 0;
    return &tag;
  }
  // Takes the lock another thread holds: a few yields, then sleeps until a leaving thread wakes it.
  void waitForLock();
  void wakeOne();

  std::atomic<bool> held_{false};
  std::atomic<const void*> owner_{nullptr};
  uint32_t depth_ = 0;  // the owner's takes; read and written by the owner only
  std::atomic<uint32_t> waiters_{0};
  std::mutex mu_;
  std::condition_variable cv_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_LOCK_H
