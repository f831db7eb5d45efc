// Internal state of the simulated card: devices, their memory, fault injection and the run engine.
#ifndef QOBCRT_SRC_CARD_H
#define QOBCRT_SRC_CARD_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qobcrt/qobcrt.h"
#include "qobcrt/qobcrt_model.h"
#include "qobcrt/qobcrt_sim.h"

namespace zenlar {
namespace qobcrt {

constexpr uint32_t kMaxDevices = 16;
constexpr uint32_t kKinds = 4;
constexpr uint64_t kAlign = 64;
constexpr uint64_t kWindowSize = 1ull << 30;   // one address window per memory kind
constexpr uint64_t kWindowLow = 0x01000000;    // first usable offset of window 0 (below: model nodes)
constexpr uint64_t kWindowGuard = 0x10000;     // unused tail of every window
constexpr uint64_t kModelAddrLow = 0x00100000; // loaded model nodes live in [low, high)
constexpr uint64_t kModelAddrHigh = kWindowLow;
constexpr size_t kFreedMemory = 1u << 12;      // freed bases remembered for double-free reports

inline uint64_t windowBegin(uint32_t kind) { return kind == 0 ? kWindowLow : kind * kWindowSize; }
inline uint64_t windowEnd(uint32_t kind) { return (kind + 1) * kWindowSize - kWindowGuard; }
inline bool kindOfAddress(uint64_t addr, uint32_t* kind) {
  for (uint32_t k = 0; k < kKinds; ++k) {
    if (addr >= windowBegin(k) && addr < windowEnd(k)) {
      *kind = k;
      return true;
    }
  }
  return false;
}
inline uint64_t roundUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

struct FreeDeleter {
  void operator()(uint8_t* p) const { std::free(p); }
};

// One device memory block: its address range and its host backing store.  Held by shared_ptr so that a
// copy in progress keeps the backing alive even if another thread frees the block meanwhile.
struct Block {
  uint64_t base = 0;
  uint64_t size = 0;   // capacity in bytes (what copies may touch)
  uint64_t span = 0;   // address range reserved (size rounded up to the alignment)
  uint32_t kind = 0;
  std::unique_ptr<uint8_t[], FreeDeleter> data;
};
using BlockPtr = std::shared_ptr<Block>;

// Free address ranges of one window, handed out next-fit so that a freed address is reused as late as
// possible (stale addresses then keep failing loudly instead of hitting a new block).
class AddressSpace {
 public:
  void init(uint64_t begin, uint64_t end);
  bool allocate(uint64_t span, uint64_t* base);
  void release(uint64_t base, uint64_t span);

 private:
  bool allocateFrom(uint64_t from, uint64_t span, uint64_t* base);
  std::map<uint64_t, uint64_t> free_;   // base -> length
  uint64_t cursor_ = 0;
};

// A model node registered by the graph runtime.
struct ModelNode {
  uint64_t addr = 0;
  std::string name;
  qobcrt_model_desc desc{};           // name and vdsp_ops point into the members below
  std::vector<uint8_t> vdsp_ops;
  // Runs currently executing the node; unregistering waits for zero.
  uint32_t active = 0;
  bool dying = false;
  uint64_t serial = 0;                // registration order: the newest node of a name wins lookups
};
using ModelPtr = std::shared_ptr<ModelNode>;

struct Run;   // defined by the engine

// Card-side execution times of one op, in nanoseconds of the monotonic clock (steady_clock).
struct OpTimes {
  uint64_t start_ns = 0, end_ns = 0;
};
inline uint64_t monotonicNs(std::chrono::steady_clock::time_point t = std::chrono::steady_clock::now()) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

struct Device {
  uint32_t index = 0;

  // ---- memory (mem_mu) ----
  std::mutex mem_mu;
  std::map<uint64_t, BlockPtr> live;            // every live block, keyed by base
  struct Zombie {
    BlockPtr block;
    uint64_t release_after;                     // sequence number of the last run that may use it
  };
  std::map<uint64_t, Zombie> zombies;           // freed while runs were in flight
  std::set<uint64_t> freed;                     // bases freed and not reused since
  std::deque<uint64_t> freed_order;
  AddressSpace spaces[kKinds];
  uint64_t capacity = 0;
  uint64_t used = 0;                            // live and not-yet-released bytes
  uint64_t live_blocks[kKinds] = {}, live_bytes[kKinds] = {}, allocs[kKinds] = {}, frees[kKinds] = {};
  std::set<uint64_t> inflight;                  // sequence numbers of runs queued or executing
  uint64_t next_seq = 1;

  // ---- models (model_mu) ----
  std::mutex model_mu;
  std::condition_variable model_cv;
  std::map<uint64_t, ModelPtr> models;
  uint64_t next_model_addr = kModelAddrLow;
  uint64_t model_serial = 0;

  // ---- run counters ----
  std::atomic<uint64_t> runs_submitted{0}, runs_completed{0}, runs_failed{0}, reports_delivered{0};
  std::atomic<uint32_t> op_delay_us{0};
  std::mutex err_mu;
  std::string last_error;                       // why the last failing op failed

  // ---- streams, engine and reporter (run_mu) ----
  std::mutex run_mu;
  std::condition_variable run_cv;               // engine wakes on new runs or stop
  std::set<uint32_t> streams;
  bool callback_installed = false;
  qobcrt_get_output_fn callback = nullptr;
  void* callback_arg = nullptr;
  std::deque<std::shared_ptr<Run>> queue;
  bool stopping = false;
  std::thread engine;

  std::mutex report_mu;
  std::condition_variable report_cv;
  struct PendingReport {
    get_desc desc;
    OpTimes times;                              // of the reported op
  };
  std::deque<PendingReport> reports;            // waiting for the reporter thread
  bool report_stopping = false;
  std::thread reporter;

  // Memory helpers (callers must not hold mem_mu).
  int allocate(uint32_t kind, uint64_t size, uint64_t* addr);
  int release(uint32_t kind, uint64_t addr);
  // Block that contains [addr, addr+size): rtSuccess, rtErrInvalidAddr or rtErrOutOfBounds.  With a run
  // sequence number (non-zero), blocks freed after that run entered flight are still found.
  int resolve(uint64_t addr, uint64_t size, uint64_t run_seq, BlockPtr* block, uint64_t* offset);
  uint64_t beginRun();                          // a run enters flight; returns its sequence number
  void endRun(uint64_t seq);                    // releases blocks no in-flight run may still use

 private:
  void releaseLocked(const BlockPtr& b);
  void forgetFreed(uint64_t base, uint64_t span);
  void rememberFreed(uint64_t base);
};

class Card {
 public:
  Card();
  ~Card();
  uint32_t deviceCount() const { return static_cast<uint32_t>(devices_.size()); }
  Device* device(uint32_t dev) { return dev < devices_.size() ? devices_[dev].get() : nullptr; }

 private:
  std::vector<std::unique_ptr<Device>> devices_;
};

Card& card();

// Fault injection: true when a pending fault for the named call fires now; *code receives its code.
bool takeCallFault(const char* call, int* code);
// Call counting: the index of a runtime function among those a fault may name (their count when it is not
// one of them), and one more call of it.
size_t callIndex(const char* call);
void countCall(size_t index);
// True when a pending fault for the op uid fires now.
bool takeOpFault(uint32_t uid, uint32_t* code);

// Inout blocks take the aligned size of a loaded model output whose real size equals the request.
uint64_t inoutCapacity(Device& d, uint64_t requested);

// Engine lifecycle (engine.cpp).
void stopDevice(Device& d);

// Executes a run (exec.cpp).  report(uid as stored, code, final, times) is called for every op to report;
// the final call (end op or failing op) comes last.  Returns the first failing op's code, 0 when none failed.
using ReportFn = std::function<void(uint32_t uid, uint32_t code, bool final, const OpTimes& times)>;
uint32_t executeRun(Device& d, uint64_t seq, uint64_t stream_addr, const ReportFn& report);

// The loaded model node at addr, marked busy so that unregistering waits; null when there is none.
ModelPtr acquireModel(Device& d, uint64_t addr);
void releaseModel(Device& d, const ModelPtr& node);
// Device index of the calling card thread, -1 on any other thread.
extern thread_local int32_t t_thread_device;

// Runs f and turns any escaping exception into a runtime code: no exception crosses the C boundary.
template <class F>
int guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return rtErrMalloc;
  } catch (...) {
    return rtErrOthers;
  }
}

}  // namespace qobcrt
}  // namespace zenlar

// Every public runtime function starts with this: the call is counted, then an injected fault for it
// returns before anything else.
#define QOBCRT_FAULT_POINT()                                                       \
  do {                                                                             \
    static const size_t qobcrt_call_index_ = zenlar::qobcrt::callIndex(__func__);  \
    zenlar::qobcrt::countCall(qobcrt_call_index_);                                 \
    int qobcrt_fault_code_;                                                        \
    if (zenlar::qobcrt::takeCallFault(__func__, &qobcrt_fault_code_))              \
      return qobcrt_fault_code_;                                                   \
  } while (0)

#endif  // QOBCRT_SRC_CARD_H
