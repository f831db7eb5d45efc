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

int RWLock::readLock() {
  if (std::this_thread::get_id() != m_write_thread_id.load()) {
    for (;;) {
      if (WRITE_FIRST && m_write_wait_count.load() != 0) continue;
      int32_t expected = m_lock_count.load();
      if (expected < 0) continue;
      if (m_lock_count.compare_exchange_weak(expected, expected + 1, std::memory_order_seq_cst)) break;
    }
  }
  return m_lock_count.load();
}

int RWLock::readUnlock() {
  if (std::this_thread::get_id() != m_write_thread_id.load()) {
    --m_lock_count;
  }
  return m_lock_count.load();
}

int RWLock::writeLock() {
  if (std::this_thread::get_id() == m_write_thread_id.load()) {
    --m_lock_count;  // one more nesting level of the owner
    return m_lock_count.load();
  }
  int32_t expected = 0;
  // A free lock is taken at once; only a writer that has to wait announces itself to readers.
  if (!m_lock_count.compare_exchange_strong(expected, WRITE_LOCK_STATUS, std::memory_order_seq_cst)) {
    ++m_write_wait_count;
    expected = 0;
    while (!m_lock_count.compare_exchange_weak(expected, WRITE_LOCK_STATUS, std::memory_order_seq_cst)) {
      expected = 0;
    }
    --m_write_wait_count;
  }
  m_write_thread_id.store(std::this_thread::get_id());
  return m_lock_count.load();
}

int RWLock::writeUnlock() {
  if (!(std::this_thread::get_id() == this->m_write_thread_id.load() && WRITE_LOCK_STATUS >= m_lock_count.load())) {
    qoblCommonAssertFail("this_thread::get_id() == this->m_write_thread_id&&WRITE_LOCK_STATUS>=m_lock_count",
                         __FILE__, __LINE__);
  }
  if (m_lock_count.load() == WRITE_LOCK_STATUS) {
    // Clear the owner before the lock becomes free, so a new owner's id is never overwritten.
    m_write_thread_id.store(NULL_THEAD);
    m_lock_count.store(0, std::memory_order_seq_cst);
  } else {
    ++m_lock_count;
  }
  return m_lock_count.load();
}

}  // namespace qobl
}  // namespace zenlar
