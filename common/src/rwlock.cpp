#include "rwlock.h"

#include <cstdio>
#include <cstdlib>

namespace zenlar {
namespace qobl {

void qoblCommonAssertFail(const char* text, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, text);
  std::fflush(stderr);
  std::abort();
}

const std::thread::id RWLock::NULL_THEAD{};

RWLock::RWLock(bool writeFirst)
    : WRITE_FIRST(writeFirst), m_write_thread_id(NULL_THEAD), m_lock_count(0), m_write_wait_count(0) {}

namespace {

// One wait between two attempts at a taken lock.  The first waits pause the processor (the holders run
// short critical sections, so the lock is usually free again within a few hundred cycles, and the pause
// leaves the core's resources to a sibling thread instead of flooding the memory bus with atomic reads);
// after kPauses of them the holder is probably not running at all (two cores shared by many threads), so
// the waiter gives its time slice away to let the holder finish.
class Backoff {
 public:
  void wait() noexcept {
    if (spins_ < kPauses) {
      ++spins_;
      cpuRelax();
    } else {
      std::this_thread::yield();
    }
  }

 private:
  static constexpr unsigned kPauses = 64;
  static void cpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    __asm__ __volatile__("yield");
#endif
  }
  unsigned spins_ = 0;
};

}  // namespace

int RWLock::readLock() {
  if (!ownedByCaller()) {
    Backoff backoff;
    for (;;) {
      int32_t expected = m_lock_count.load(std::memory_order_relaxed);
      // Waits without writing while a writer holds the lock (or, writer first, waits for it).
      if (expected >= 0 && !(WRITE_FIRST && m_write_wait_count.load(std::memory_order_relaxed) != 0) &&
          m_lock_count.compare_exchange_weak(expected, expected + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
        break;
      }
      backoff.wait();
    }
  }
  return m_lock_count.load(std::memory_order_relaxed);
}

int RWLock::readUnlock() {
  if (!ownedByCaller()) {
    return m_lock_count.fetch_sub(1, std::memory_order_release) - 1;
  }
  return m_lock_count.load(std::memory_order_relaxed);
}

void RWLock::waitForWriteLock() {
  // Only a writer that has to wait announces itself to readers.
  m_write_wait_count.fetch_add(1, std::memory_order_relaxed);
  Backoff backoff;
  for (;;) {
    int32_t expected = 0;
    if (m_lock_count.load(std::memory_order_relaxed) == 0 &&
        m_lock_count.compare_exchange_weak(expected, WRITE_LOCK_STATUS, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
      break;
    }
    backoff.wait();
  }
  m_write_wait_count.fetch_sub(1, std::memory_order_relaxed);
}

void SpinLock::waitForLock() noexcept {
  Backoff backoff;
  do {
    while (held_.load(std::memory_order_relaxed)) backoff.wait();
  } while (held_.exchange(true, std::memory_order_acquire));
}

void RWLock::writeUnlockMisuse() {
  qoblCommonAssertFail("this_thread::get_id() == this->m_write_thread_id&&WRITE_LOCK_STATUS>=m_lock_count",
                       __FILE__, __LINE__);
}

}  // namespace qobl
}  // namespace zenlar
