// SpinLock: the lock of the platform libraries' short critical sections (a few list links or a table probe
// and a field or two), which never wait for anything inside.  Taking a free lock is one atomic exchange,
// inline; a waiter, out of line so that the callers stay small, pauses the processor and then yields its
// time slice to a holder that was descheduled (the card's threads share few cores with the application's).
// Header only, private to the platform libraries.
#ifndef QOB_PLATFORM_SPIN_LOCK_H
#define QOB_PLATFORM_SPIN_LOCK_H

#include <atomic>
#include <thread>

namespace zenlar {
namespace platform {

// Tells the processor the thread is spinning (saves power, lets a sibling hyperthread run).
inline void cpuPause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#endif
}

class SpinLock {
 public:
  void lock() noexcept {
    if (held_.exchange(true, std::memory_order_acquire)) wait();
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  [[gnu::noinline]] void wait() noexcept {
    unsigned spins = 0;
    do {
      while (held_.load(std::memory_order_relaxed)) {
        if (spins < kPauses) {
          ++spins;
          cpuPause();
        } else {
          std::this_thread::yield();
        }
      }
    } while (held_.exchange(true, std::memory_order_acquire));
  }
  static constexpr unsigned kPauses = 64;
  std::atomic<bool> held_{false};
};

}  // namespace platform
}  // namespace zenlar

#endif  // QOB_PLATFORM_SPIN_LOCK_H
