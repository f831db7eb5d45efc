// Events.  An event holds a pending signal: qobmSetEvent wakes every thread waiting at that moment and,
// when nobody waits, leaves the signal pending so that the next wait returns at once.  A wait that returns
// because of a signal consumes it.
//
// Events live in an arena of never-freed slots (arena.h): a call checks its handle by address, with no
// process-wide lock, and then works under the event's own mutex.  Each slot counts the lives of the events
// made in it, so a wait racing qobmDestroyEvent, or still asleep when the slot holds a new event, ends with
// QOBM_ERR_INVALID_HANDLE instead of waiting on another event.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "arena.h"
#include "qobm_internal.h"

struct qobmEvent {
  std::mutex mu;
  std::condition_variable cv;
  uint64_t life = 0;        // odd while the slot's event lives; create and destroy each add one
  uint64_t generation = 0;  // counts signals, so that every thread waiting during a signal sees it
  bool pending = false;     // a signal no wait has consumed yet
};

namespace {

using zenlar::qobm::guarded;
using Events = zenlar::qobm::Arena<qobmEvent>;

constexpr uint32_t kManualEvent = 1;

// Made when the library is loaded and never destroyed: other libraries' threads may still call in while
// the process exits.
Events* const gEvents = new Events;

// The live event at a handle with its mutex held, or a code: QOBM_ERR_INVALID_PARAM for null,
// QOBM_ERR_INVALID_HANDLE for an address that is no live event.
class LiveEvent {
 public:
  explicit LiveEvent(const qobmEvent* event) {
    if (event == nullptr) {
      rc_ = QOBM_ERR_INVALID_PARAM;
      return;
    }
    slot_ = gEvents->find(event);
    if (slot_ == nullptr) {
      rc_ = QOBM_ERR_INVALID_HANDLE;
      return;
    }
    lock_ = std::unique_lock<std::mutex>(slot_->obj.mu);
    if ((slot_->obj.life & 1) == 0) rc_ = QOBM_ERR_INVALID_HANDLE;
  }
  int rc() const { return rc_; }
  qobmEvent& event() const { return slot_->obj; }
  Events::Slot* slot() const { return slot_; }
  std::unique_lock<std::mutex>& lock() { return lock_; }

 private:
  Events::Slot* slot_ = nullptr;
  std::unique_lock<std::mutex> lock_;
  int rc_ = QOBM_SUCCESS;
};

}  // namespace

extern "C" {

int qobmCreateEvent(uint32_t flag, qobmEvent** event) {
  return guarded([&] {
    if (event == nullptr || flag != kManualEvent) return QOBM_ERR_INVALID_PARAM;
    Events::Slot* s = gEvents->take();   // std::bad_alloc becomes QOBM_ERR_BAD_ALLOC
    {
      std::lock_guard<std::mutex> lock(s->obj.mu);
      ++s->obj.life;
      s->obj.generation = 0;
      s->obj.pending = false;
    }
    *event = &s->obj;
    return QOBM_SUCCESS;
  });
}

int qobmSetEvent(qobmEvent* event) {
  return guarded([&] {
    LiveEvent e(event);
    if (e.rc() != QOBM_SUCCESS) return e.rc();
    e.event().pending = true;
    ++e.event().generation;
    e.lock().unlock();
    e.event().cv.notify_all();
    return QOBM_SUCCESS;
  });
}

int qobmWaitEvent(qobmEvent* event, uint32_t timeout_ms) {
  return guarded([&] {
    LiveEvent e(event);
    if (e.rc() != QOBM_SUCCESS) return e.rc();
    qobmEvent& ev = e.event();
    if (ev.pending) {
      ev.pending = false;
      return QOBM_SUCCESS;
    }
    const uint64_t life = ev.life, start = ev.generation;
    auto woken = [&] { return ev.life != life || ev.generation != start; };
    if (timeout_ms == UINT32_MAX) {
      ev.cv.wait(e.lock(), woken);
    } else {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
      if (!ev.cv.wait_until(e.lock(), deadline, woken)) return QOBM_ERR_EVENT_TIMEOUT;
    }
    if (ev.life != life) return QOBM_ERR_INVALID_HANDLE;  // destroyed while waiting
    ev.pending = false;
    return QOBM_SUCCESS;
  });
}

int qobmDestroyEvent(qobmEvent* event) {
  return guarded([&] {
    LiveEvent e(event);
    if (e.rc() != QOBM_SUCCESS) return e.rc();
    ++e.event().life;
    e.event().pending = false;
    e.lock().unlock();
    e.event().cv.notify_all();
    gEvents->recycle(e.slot());
    return QOBM_SUCCESS;
  });
}

}  // extern "C"
