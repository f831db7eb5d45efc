// Events.  An event holds a pending signal: qobmSetEvent wakes every thread waiting at that moment and,
// when nobody waits, leaves the signal pending so that the next wait returns at once.  A wait that returns
// because of a signal consumes it.
//
// The handle owns a reference to the shared state, and every call takes its own reference under the
// registry lock, so a wait racing qobmDestroyEvent ends with QOBM_ERR_INVALID_HANDLE instead of touching
// freed memory.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "qobm_internal.h"
#include "spin_lock.h"

namespace {

using zenlar::platform::SpinLock;
using zenlar::qobm::guarded;

struct EventState {
  std::mutex mu;
  std::condition_variable cv;
  bool pending = false;     // a signal no wait has consumed yet
  uint64_t generation = 0;  // counts signals, so that every thread waiting during a signal sees it
  bool destroyed = false;
};

// The registry's lock is held for a table probe and a reference count: a spinning lock.
struct Registry {
  SpinLock mu;
  std::unordered_map<const qobmEvent*, std::shared_ptr<EventState>> events;
};

Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

int lookup(const qobmEvent* event, std::shared_ptr<EventState>* out) {
  if (event == nullptr) return QOBM_ERR_INVALID_PARAM;
  Registry& r = registry();
  std::lock_guard<SpinLock> lock(r.mu);
  auto it = r.events.find(event);
  if (it == r.events.end()) return QOBM_ERR_INVALID_HANDLE;
  *out = it->second;
  return QOBM_SUCCESS;
}

constexpr uint32_t kManualEvent = 1;

}  // namespace

// The handle is only an identity; the state lives in the registry.
struct qobmEvent {
  char unused;
};

extern "C" {

int qobmCreateEvent(uint32_t flag, qobmEvent** event) {
  return guarded([&] {
    if (event == nullptr || flag != kManualEvent) return QOBM_ERR_INVALID_PARAM;
    auto state = std::make_shared<EventState>();
    auto* handle = new qobmEvent{0};
    Registry& r = registry();
    try {
      std::lock_guard<SpinLock> lock(r.mu);
      r.events.emplace(handle, std::move(state));
    } catch (...) {
      delete handle;
      throw;
    }
    *event = handle;
    return QOBM_SUCCESS;
  });
}

int qobmSetEvent(qobmEvent* event) {
  return guarded([&] {
    std::shared_ptr<EventState> s;
    int rc = lookup(event, &s);
    if (rc != QOBM_SUCCESS) return rc;
    {
      std::lock_guard<std::mutex> lock(s->mu);
      s->pending = true;
      ++s->generation;
    }
    s->cv.notify_all();
    return QOBM_SUCCESS;
  });
}

int qobmWaitEvent(qobmEvent* event, uint32_t timeout_ms) {
  return guarded([&] {
    std::shared_ptr<EventState> s;
    int rc = lookup(event, &s);
    if (rc != QOBM_SUCCESS) return rc;
    std::unique_lock<std::mutex> lock(s->mu);
    if (s->destroyed) return QOBM_ERR_INVALID_HANDLE;
    if (s->pending) {
      s->pending = false;
      return QOBM_SUCCESS;
    }
    const uint64_t start = s->generation;
    auto woken = [&] { return s->generation != start || s->destroyed; };
    if (timeout_ms == UINT32_MAX) {
      s->cv.wait(lock, woken);
    } else {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
      if (!s->cv.wait_until(lock, deadline, woken)) return QOBM_ERR_EVENT_TIMEOUT;
    }
    if (s->generation == start) return QOBM_ERR_INVALID_HANDLE;  // destroyed while waiting
    s->pending = false;
    return QOBM_SUCCESS;
  });
}

int qobmDestroyEvent(qobmEvent* event) {
  return guarded([&] {
    if (event == nullptr) return QOBM_ERR_INVALID_PARAM;
    std::shared_ptr<EventState> s;
    {
      Registry& r = registry();
      std::lock_guard<SpinLock> lock(r.mu);
      auto it = r.events.find(event);
      if (it == r.events.end()) return QOBM_ERR_INVALID_HANDLE;
      s = std::move(it->second);
      r.events.erase(it);
    }
    delete event;
    {
      std::lock_guard<std::mutex> lock(s->mu);
      s->destroyed = true;
    }
    s->cv.notify_all();
    return QOBM_SUCCESS;
  });
}

}  // extern "C"
