// Test support: exact accounting, injected call and op faults, op delays.
#include <algorithm>
#include <cstring>
#include <thread>

#include "card.h"

namespace zenlar {
namespace qobcrt {

std::atomic<size_t> g_faults_pending{0};
CallCounter g_call_counts[kCountedCalls] = {};

namespace {

struct CallFault {
  std::string call;
  uint32_t remaining;   // calls of `call` still to pass before this one fails
  int code;
};
struct OpFault {
  uint32_t uid;
  uint32_t code;
};

struct FaultTable {
  std::mutex mu;
  std::vector<CallFault> calls;
  std::vector<OpFault> ops;
  std::thread::id firedOn;           // thread the last call fault fired on
};

FaultTable& faults() {
  static FaultTable* table = new FaultTable();   // never destroyed: calls may arrive during exit
  return *table;
}

bool knownCall(const char* name) {
  for (const char* n : kCallNames)
    if (std::strcmp(n, name) == 0) return true;
  return false;
}

}  // namespace

size_t callIndex(const char* call) { return callIndexOf(call); }


bool takeCallFault(const char* call, int* code) {
  FaultTable& t = faults();
  if (g_faults_pending.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> lock(t.mu);
  bool fired = false;
  for (CallFault& f : t.calls) {
    if (f.call != call) continue;
    if (--f.remaining == 0 && !fired) {
      fired = true;
      *code = f.code;
      t.firedOn = std::this_thread::get_id();
    }
  }
  // A fault whose call has come is spent, even when another fault claimed the same call.
  t.calls.erase(std::remove_if(t.calls.begin(), t.calls.end(), [](const CallFault& f) { return f.remaining == 0; }),
                t.calls.end());
  g_faults_pending.store(t.calls.size() + t.ops.size(), std::memory_order_release);
  return fired;
}

bool takeOpFault(uint32_t uid, uint32_t* code) {
  FaultTable& t = faults();
  if (g_faults_pending.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> lock(t.mu);
  for (auto it = t.ops.begin(); it != t.ops.end(); ++it) {
    if (it->uid == uid) {
      *code = it->code;
      t.ops.erase(it);
      g_faults_pending.store(t.calls.size() + t.ops.size(), std::memory_order_release);
      return true;
    }
  }
  return false;
}

}  // namespace qobcrt
}  // namespace zenlar

extern "C" {

int qobcrt_sim_get_stats(uint32_t dev, qobcrt_sim_stats* out) {
  return zenlar::qobcrt::guarded([&] {
    zenlar::qobcrt::Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (out == nullptr) return static_cast<int>(rtErrInvalidParam);
    qobcrt_sim_stats s{};
    for (uint32_t k = 0; k < zenlar::qobcrt::kKinds; ++k) {
      s.live_blocks[k] = d->liveBlocks(k);
      s.live_bytes[k] = d->liveBytes(k);
      s.allocs[k] = d->allocated.blocks[k].load();
      s.frees[k] = d->freed.blocks[k].load();
    }
    s.runs_submitted = d->runs_submitted.load();
    s.runs_completed = d->runs_completed.load();
    s.runs_failed = d->runs_failed.load();
    s.reports_delivered = d->reports_delivered.load();
    *out = s;
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_sim_fail_call(const char* call, uint32_t nth, uint32_t code) {
  return zenlar::qobcrt::guarded([&] {
    if (call == nullptr || nth == 0 || !zenlar::qobcrt::knownCall(call)) return static_cast<int>(rtErrInvalidParam);
    auto& t = zenlar::qobcrt::faults();
    std::lock_guard<std::mutex> lock(t.mu);
    t.calls.push_back({call, nth, code == 0 ? static_cast<int>(rtErrInjected) : static_cast<int>(code)});
    zenlar::qobcrt::g_faults_pending.store(t.calls.size() + t.ops.size(), std::memory_order_release);
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_sim_call_count(const char* call, uint64_t* count) {
  return zenlar::qobcrt::guarded([&] {
    if (call == nullptr || count == nullptr) return static_cast<int>(rtErrInvalidParam);
    const size_t index = zenlar::qobcrt::callIndex(call);
    if (index >= zenlar::qobcrt::kCallCount) return static_cast<int>(rtErrInvalidParam);
    *count = zenlar::qobcrt::g_call_counts[index].calls.load();
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_sim_fault_fired_here(void) {
  auto& t = zenlar::qobcrt::faults();
  std::lock_guard<std::mutex> lock(t.mu);
  return t.firedOn == std::this_thread::get_id() ? 1 : 0;
}

const char* qobcrt_sim_call_name(uint32_t index) {
  return index < zenlar::qobcrt::kCallCount ? zenlar::qobcrt::kCallNames[index] : nullptr;
}

int qobcrt_sim_fail_op(uint32_t op_uid, uint32_t code) {
  return zenlar::qobcrt::guarded([&] {
    auto& t = zenlar::qobcrt::faults();
    std::lock_guard<std::mutex> lock(t.mu);
    t.ops.push_back({op_uid & 0x7fffffffu, code == 0 ? static_cast<uint32_t>(rtErrInjected) : code});
    zenlar::qobcrt::g_faults_pending.store(t.calls.size() + t.ops.size(), std::memory_order_release);
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_sim_clear_faults(void) {
  return zenlar::qobcrt::guarded([&] {
    auto& t = zenlar::qobcrt::faults();
    std::lock_guard<std::mutex> lock(t.mu);
    t.calls.clear();
    t.ops.clear();
    zenlar::qobcrt::g_faults_pending.store(0, std::memory_order_release);
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_sim_set_op_delay_us(uint32_t dev, uint32_t us) {
  return zenlar::qobcrt::guarded([&] {
    zenlar::qobcrt::Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    d->op_delay_us.store(us);
    return static_cast<int>(rtSuccess);
  });
}

}  // extern "C"

extern "C" int qobcrt_sim_last_error(uint32_t dev, char* text, size_t size) {
  return zenlar::qobcrt::guarded([&] {
    zenlar::qobcrt::Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (text == nullptr || size == 0) return static_cast<int>(rtErrInvalidParam);
    std::lock_guard<std::mutex> lock(d->err_mu);
    const size_t len = std::strlen(d->last_error);
    const size_t n = len < size - 1 ? len : size - 1;
    std::memcpy(text, d->last_error, n);
    text[n] = '\0';
    return static_cast<int>(rtSuccess);
  });
}
