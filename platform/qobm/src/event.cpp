// Events.  An event holds a pending signal: qobmSetEvent wakes every thread waiting at that moment and,
// when nobody waits, leaves the signal pending so that the next wait returns at once.  A wait that returns
// because of a signal consumes it.
//
// Events live in an arena of never-freed slots (arena.h): a call checks its handle by address, with no
// process-wide lock.  An event's whole state is one 32-bit word changed only by compare-and-swap, and
// waiters sleep on that word with the kernel's futex: a set is one CAS and, only when a thread sleeps, one
// wake-up call; a wait that finds the signal pending is one CAS.  Each slot also counts the lives of the
// events made in it, so a wait racing qobmDestroyEvent, or still asleep when the slot holds a new event,
// ends with QOBM_ERR_INVALID_HANDLE instead of waiting on another event.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include "arena.h"
#include "qobm_internal.h"

namespace {

// The state word: the pending signal, a flag set by a thread about to sleep, the live flag, and a count of
// the signals, destroys and creates (the rest of the word), which a sleeping waiter compares to see that
// something happened.
constexpr uint32_t kPending = 1u << 0;
constexpr uint32_t kSleepers = 1u << 1;   // a waiter may sleep on the word: a change must wake it
constexpr uint32_t kLiveFlag = 1u << 2;
constexpr uint32_t kChange = 1u << 3;     // one more signal, destroy or create

}  // namespace

struct qobmEvent {
  std::atomic<uint32_t> word{0};
  std::atomic<uint64_t> life{0};   // odd while the slot's event lives; create and destroy each add one
};

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the kernel sleeps on the state word as a plain 32-bit integer");

using zenlar::qobm::guarded;
using Events = zenlar::qobm::Arena<qobmEvent>;

constexpr uint32_t kManualEvent = 1;

// Made when the library is loaded and never destroyed: other libraries' threads may still call in while
// the process exits.
Events* const gEvents = new Events;

uint32_t* futexWord(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }

// Sleeps while the word holds `expected`, until woken or (when `deadline` is set) until that point of the
// monotonic clock.  False when the deadline passed; any other return (a wake-up, a changed word, a signal
// handler) only makes the caller look at the word again.
bool sleepOn(std::atomic<uint32_t>& word, uint32_t expected, const timespec* deadline) {
  // FUTEX_WAIT_BITSET takes an absolute time of CLOCK_MONOTONIC, or none (null) to wait without limit.
  const long rc = syscall(SYS_futex, futexWord(word), FUTEX_WAIT_BITSET_PRIVATE, expected, deadline, nullptr,
                          FUTEX_BITSET_MATCH_ANY);
  return rc == 0 || errno != ETIMEDOUT;
}

void wakeAll(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, futexWord(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Changes the word of a live event by `change` (which sees the current word and gives the next one), and
// wakes the sleepers when the old word had any.  QOBM_ERR_INVALID_HANDLE when the event is not live.
template <typename Change>
int changeLive(qobmEvent& ev, Change change) {
  uint32_t w = ev.word.load(std::memory_order_acquire);
  do {
    if ((w & kLiveFlag) == 0) return QOBM_ERR_INVALID_HANDLE;
  } while (!ev.word.compare_exchange_weak(w, change(w), std::memory_order_acq_rel, std::memory_order_acquire));
  if ((w & kSleepers) != 0) wakeAll(ev.word);
  return QOBM_SUCCESS;
}

// The slot of the event at a handle, or a code: QOBM_ERR_INVALID_PARAM for null, QOBM_ERR_INVALID_HANDLE
// for an address that is no event's (whether the event lives is the caller's check).  Inline: a handle's
// check is a few instructions, fewer than a call.
[[gnu::always_inline]] inline int findEvent(const qobmEvent* event, Events::Slot** found) {
  if (event == nullptr) return QOBM_ERR_INVALID_PARAM;
  *found = gEvents->find(event);
  return *found != nullptr ? QOBM_SUCCESS : QOBM_ERR_INVALID_HANDLE;
}

}  // namespace

extern "C" {

int qobmCreateEvent(uint32_t flag, qobmEvent** event) {
  return guarded([&] {
    if (event == nullptr || flag != kManualEvent) return QOBM_ERR_INVALID_PARAM;
    Events::Slot* s = gEvents->take();   // std::bad_alloc becomes QOBM_ERR_BAD_ALLOC
    qobmEvent& ev = s->obj;
    // The slot is no live event: nothing else changes its word now.  Life first, so that a wait that sees
    // the new word also sees the new life.
    ev.life.fetch_add(1);
    const uint32_t w = ev.word.load(std::memory_order_relaxed);
    ev.word.store(((w & ~(kPending | kSleepers)) + kChange) | kLiveFlag, std::memory_order_release);
    *event = &ev;
    return QOBM_SUCCESS;
  });
}

int qobmSetEvent(qobmEvent* event) {
  return guarded([&] {
    Events::Slot* s = nullptr;
    const int rc = findEvent(event, &s);
    if (rc != QOBM_SUCCESS) return rc;
    return changeLive(s->obj, [](uint32_t w) { return ((w & ~kSleepers) + kChange) | kPending; });
  });
}

int qobmWaitEvent(qobmEvent* event, uint32_t timeout_ms) {
  return guarded([&] {
    Events::Slot* s = nullptr;
    const int rc = findEvent(event, &s);
    if (rc != QOBM_SUCCESS) return rc;
    qobmEvent& ev = s->obj;
    const uint64_t life = ev.life.load(std::memory_order_acquire);
    if ((life & 1) == 0) return QOBM_ERR_INVALID_HANDLE;
    uint32_t w = ev.word.load(std::memory_order_acquire);
    // The word is read between two readings of the same odd life: it is this life's word (a destroy adds
    // to the life before it changes the word).
    if (ev.life.load(std::memory_order_acquire) != life || (w & kLiveFlag) == 0) return QOBM_ERR_INVALID_HANDLE;
    // A pending signal is consumed at once; otherwise the wait ends at the next change of the word.
    while ((w & kPending) != 0) {
      if (ev.word.compare_exchange_weak(w, w & ~kPending, std::memory_order_acq_rel, std::memory_order_acquire))
        return QOBM_SUCCESS;
      if (ev.life.load(std::memory_order_acquire) != life || (w & kLiveFlag) == 0) return QOBM_ERR_INVALID_HANDLE;
    }
    if (timeout_ms == 0) return QOBM_ERR_EVENT_TIMEOUT;
    const uint32_t start = w & ~(kPending | kSleepers);
    timespec deadline{};
    if (timeout_ms != UINT32_MAX) {
      clock_gettime(CLOCK_MONOTONIC, &deadline);   // the clock of std::chrono::steady_clock
      deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
      deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
      }
    }
    bool timed_out = false;
    while (true) {
      if (ev.life.load(std::memory_order_acquire) != life) return QOBM_ERR_INVALID_HANDLE;  // destroyed
      if ((w & ~(kPending | kSleepers)) != start) {
        // Signalled (a destroy also changes the life, checked above): consume the signal.
        ev.word.fetch_and(~kPending, std::memory_order_acq_rel);
        return QOBM_SUCCESS;
      }
      if (timed_out) return QOBM_ERR_EVENT_TIMEOUT;
      // Announce the sleep so that the next change wakes it, then sleep while the word stays as announced.
      if ((w & kSleepers) == 0 &&
          !ev.word.compare_exchange_weak(w, w | kSleepers, std::memory_order_acq_rel, std::memory_order_acquire))
        continue;
      timed_out = !sleepOn(ev.word, w | kSleepers, timeout_ms != UINT32_MAX ? &deadline : nullptr);
      w = ev.word.load(std::memory_order_acquire);
    }
  });
}

int qobmDestroyEvent(qobmEvent* event) {
  return guarded([&] {
    Events::Slot* s = nullptr;
    int rc = findEvent(event, &s);
    if (rc != QOBM_SUCCESS) return rc;
    qobmEvent* ev = &s->obj;
    // Only one destroy of a life may succeed: the life goes even by CAS from the odd value seen.
    uint64_t life = ev->life.load(std::memory_order_acquire);
    do {
      if ((life & 1) == 0) return QOBM_ERR_INVALID_HANDLE;
    } while (!ev->life.compare_exchange_weak(life, life + 1));
    // Waiters see the new life once they see the word change; the change wakes the sleeping ones.
    rc = changeLive(*ev, [](uint32_t w) { return ((w & ~(kPending | kSleepers | kLiveFlag)) + kChange); });
    gEvents->recycle(s);
    return rc;
  });
}

}  // extern "C"
