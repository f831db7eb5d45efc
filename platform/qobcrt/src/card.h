// Internal state of the simulated card: devices, their memory, fault injection and the run engine.
//
// Device memory.  Each memory kind has a window of addresses divided into 64 KiB pages.  A block is a record
// (Block) that owns one address slot of its size class and the host memory behind it; records are never
// destroyed while the card lives, so a lookup that races a free always reads a valid record and learns from
// its state that the block is gone.  A page table per kind maps every page in use to its records: a page of
// small slots (Slab, all of one size class) or one large block spanning whole pages.  Lookups read the table
// and the record's atomics and take no lock.
//
// Allocation takes the oldest freed record of the size class (a FIFO per class, under the class's own
// spin lock) once the class holds enough freed records that a freed address is handed out again only
// late, so stale addresses keep failing as freed; otherwise it carves a new slot.  Freed records keep their host
// memory, so at steady state allocating and freeing touch no heap and no device-wide lock.  A freed
// record stays in its FIFO as the history of frees: freeing its address again is a double free until the
// address is handed out again.
//
// Runs in flight.  Every run submitted gets the next sequence number of its device; runs execute in that
// order.  A block freed while runs are in flight may still be read by them: it becomes a zombie stamped
// with the newest sequence number handed out, still counted as used and visible to runs up to that number,
// and returns to its class once every run up to its stamp has ended.  Zombies wait in a FIFO of their own
// in stamp order, so the engine, when a run ends, releases only those that became free.
#ifndef QOBCRT_SRC_CARD_H
#define QOBCRT_SRC_CARD_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
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
#include "spin_lock.h"

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
constexpr uint32_t kPageShift = 16;            // pages of 64 KiB
constexpr uint64_t kPageSize = 1ull << kPageShift;
constexpr uint64_t kPagesPerWindow = kWindowSize >> kPageShift;
constexpr uint64_t kSlabMaxSpan = 16 << 10;    // slots up to this size share pages
constexpr uint64_t kCachedMaxSpan = 4 << 20;   // larger (huge) blocks are not kept for reuse
constexpr uint64_t kNoRun = UINT64_MAX;        // oldest run in flight when none is

inline uint64_t windowBegin(uint32_t kind) { return kind == 0 ? kWindowLow : kind * kWindowSize; }
inline uint64_t windowEnd(uint32_t kind) { return (kind + 1) * kWindowSize - kWindowGuard; }
inline bool kindOfAddress(uint64_t addr, uint32_t* kind) {
  const uint64_t k = addr / kWindowSize;
  if (k >= kKinds || addr < windowBegin(static_cast<uint32_t>(k)) || addr >= windowEnd(static_cast<uint32_t>(k)))
    return false;
  *kind = static_cast<uint32_t>(k);
  return true;
}
inline uint64_t roundUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// Size classes of address slots (the same for every kind): multiples of 64 bytes up to 1 KiB, then four
// per doubling up to 16 KiB (slots in shared pages), then whole pages, four per doubling, up to 4 MiB.
// Larger blocks are huge: each takes its own size rounded up to whole pages and gives its range back to the
// window when released, like the blocks of a plain allocator.
constexpr uint32_t kClassCount = 52;
inline uint32_t classCount() { return kClassCount; }
uint64_t classSpan(uint32_t cls);
// The smallest class whose span holds `span` bytes; classCount() (huge) when none does.  The classes up to
// 1 KiB are the multiples of kAlign.
uint32_t classOfLarge(uint64_t span);
inline uint32_t classOf(uint64_t span) {
  if (span > 1024) return classOfLarge(span);
  return span == 0 ? 0 : static_cast<uint32_t>((span - 1) / kAlign);
}

enum BlockState : uint32_t {
  kBlockNew = 0,      // carved, not yet handed out
  kBlockLive = 1,
  kBlockFreeing = 2,  // a free is in progress (still visible to runs in flight)
  kBlockFreed = 3,    // a zombie, or back in its class waiting to be handed out again
  kBlockRetired = 4,  // a large record whose address range went back to the window
};

// One address slot and its host memory.
struct Block {
  std::atomic<uint64_t> base{0};
  std::atomic<uint64_t> size{0};         // capacity of the current (or last) block: what copies may touch
  uint64_t span = 0;                     // address range of the slot (its class span)
  uint32_t kind = 0;
  uint32_t cls = 0;
  std::atomic<uint32_t> state{kBlockNew};
  std::atomic<uint32_t> pins{0};         // host copies in progress; a pinned record is not handed out again
  std::atomic<uint64_t> freed_after{0};  // zombie stamp: runs up to this sequence number may still use it
  uint8_t* data = nullptr;               // host memory (malloc), data_cap bytes; kept across reuses
  uint64_t data_cap = 0;
  Block* next = nullptr;                 // class FIFO, or the free list of records
  Block* zombie_next = nullptr;          // zombie FIFO (zombie_mu)
  uint64_t release_after = 0;            // zombie FIFO: released once every run up to this one ended
};

// A page of small slots of one size class.
struct Slab {
  uint64_t base = 0;
  uint64_t slot_span = 0;
  uint32_t slots = 0;
  std::unique_ptr<std::atomic<Block*>[]> slot;
};

using platform::SpinLock;

// Freed records of one size class of one kind, oldest first, and the small slots not yet carved.
struct SizeClass {
  SpinLock mu;
  uint64_t span = 0;
  uint32_t quarantine = 0;   // freed records kept before the oldest is handed out again
  uint32_t backed_limit = 0; // freed records beyond this count give their host memory back
  Block* head = nullptr;
  Block* tail = nullptr;
  uint32_t count = 0;
  Slab* slab = nullptr;      // small classes: the page being carved
  uint32_t next_slot = 0;
};

// Free address ranges of one window, handed out next-fit so that a freed range is reused as late as
// possible.  Only whole pages (slab pages and large blocks) come from here, on the slow path.
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

// Inout blocks take the aligned size of a loaded model output whose real size equals the request: the
// (real, aligned) pairs of every loaded output with an aligned size above its real one, readable without a
// lock (a sequence counter, odd while the model lock's holder rewrites them).
struct InoutSizes {
  static constexpr uint32_t kMax = 64;
  std::atomic<uint32_t> version{0};
  std::atomic<uint32_t> count{0};
  std::atomic<bool> overflow{false};   // more pairs than kMax: readers scan the models under the lock
  std::atomic<uint64_t> real[kMax] = {}, aligned[kMax] = {};
};

// One queued run.  A synchronous caller waits on the record itself and holds a reference to it until it is
// done waiting (also after a time-out), so the record goes back to the device's pool only when both the
// engine and the caller are done with it.
struct Run {
  uint64_t seq = 0;
  uint64_t stream_addr = 0;
  get_desc base{};                    // the fields every report of the run shares
  bool sync = false;                  // a synchronous run, which reports nothing
  std::atomic<int> refs{0};
  std::mutex mu;                      // the synchronous caller's wait
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  uint32_t status = 0;
  Run* next = nullptr;
};

// Card-side execution times of one op, in nanoseconds of the monotonic clock (steady_clock).
struct OpTimes {
  uint64_t start_ns = 0, end_ns = 0;
};
inline uint64_t monotonicNs(std::chrono::steady_clock::time_point t = std::chrono::steady_clock::now()) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

// A host copy's hold on a live block: the block is not handed out again while held.
class PinnedBlock {
 public:
  PinnedBlock() = default;
  PinnedBlock(const PinnedBlock&) = delete;
  PinnedBlock& operator=(const PinnedBlock&) = delete;
  ~PinnedBlock() {
    if (block_ != nullptr) block_->pins.fetch_sub(1);
  }
  // Takes over a pin already counted on b; the holder held nothing.
  void hold(Block* b) { block_ = b; }
  Block* get() const { return block_; }
  Block* operator->() const { return block_; }

 private:
  Block* block_ = nullptr;
};

struct Device {
  Device();
  ~Device();
  uint32_t index = 0;

  // ---- memory ----
  uint64_t capacity = 0;
  // Accounting, as running totals in two sets of cache lines: allocating threads add to the first, freeing
  // threads (usually the completion path) to the second, so that neither side takes the other's lines on
  // every call.  Live blocks and bytes, and the bytes in use, are differences of the two (read below).
  struct alignas(64) Allocated {
    std::atomic<uint64_t> reserved{0};           // bytes taken from the capacity
    std::atomic<uint64_t> blocks[kKinds] = {}, bytes[kKinds] = {};
  } allocated;
  struct alignas(64) Freed {
    std::atomic<uint64_t> released{0};           // bytes given back to the capacity (when a block is released)
    std::atomic<uint64_t> blocks[kKinds] = {}, bytes[kKinds] = {};
  } freed;
  // Live bytes plus those of blocks freed while runs still use them.  The freed side is read first: a
  // snapshot taken while others allocate and free never goes negative, and it is exact when they are done.
  uint64_t usedBytes() const {
    const uint64_t out = freed.released.load();
    return allocated.reserved.load() - out;
  }
  uint64_t liveBlocks(uint32_t kind) const {
    const uint64_t out = freed.blocks[kind].load();
    return allocated.blocks[kind].load() - out;
  }
  uint64_t liveBytes(uint32_t kind) const {
    const uint64_t out = freed.bytes[kind].load();
    return allocated.bytes[kind].load() - out;
  }
  std::atomic<uintptr_t>* pages[kKinds] = {};    // page -> Slab* | 1, or Block* of a large block, or 0
  std::unique_ptr<SizeClass[]> classes[kKinds];   // classCount() + 1: the last holds released huge records
  std::mutex space_mu[kKinds];                   // the kind's AddressSpace, its slabs and retired bases
  AddressSpace spaces[kKinds];
  std::vector<std::unique_ptr<Slab>> slabs[kKinds];
  // Bases of large and huge blocks whose range went back to the window, newest last (a ring): freeing one
  // again is still a double free until its range is handed out again.
  static constexpr uint32_t kRetiredBases = 256;
  uint64_t retired[kKinds][kRetiredBases] = {};
  uint32_t retired_next[kKinds] = {};
  std::mutex record_mu;                          // the record pool
  std::vector<std::unique_ptr<Block[]>> record_chunks;
  Block* free_records = nullptr;
  SpinLock zombie_mu;                            // blocks freed while runs were in flight, oldest first
  Block* zombie_head = nullptr;
  Block* zombie_tail = nullptr;
  InoutSizes inout_sizes;

  // ---- runs in flight (sequence numbers; written under run_mu, read anywhere) ----
  std::atomic<uint64_t> last_seq{0};             // newest sequence number handed out
  std::atomic<uint64_t> oldest_seq{kNoRun};      // oldest run queued or executing

  // ---- models (model_mu; changes of `models` and of a node's active count and dying flag also hold
  // model_spin, so that a run looks its node up under model_spin alone) ----
  std::mutex model_mu;
  SpinLock model_spin;
  std::condition_variable model_cv;
  std::map<uint64_t, ModelPtr> models;
  uint64_t next_model_addr = kModelAddrLow;
  uint64_t model_serial = 0;

  // ---- run counters ----
  std::atomic<uint64_t> runs_submitted{0}, runs_completed{0}, runs_failed{0}, reports_delivered{0};
  std::atomic<uint32_t> op_delay_us{0};
  std::mutex err_mu;
  // Why the last failing op failed (NUL-terminated, cut to fit): a fixed buffer, so that recording why a run
  // failed needs no host memory, which may be what ran out.
  char last_error[512] = {};

  // ---- streams, engine and reporter (run_mu) ----
  std::mutex run_mu;
  std::condition_variable run_cv;               // engine wakes on new runs or stop
  std::set<uint32_t> streams;
  // The completion function, readable without run_mu: callback_version is odd while run_mu's holder
  // replaces the pair.
  std::atomic<uint32_t> callback_version{0};
  std::atomic<qobcrt_get_output_fn> callback{nullptr};
  std::atomic<void*> callback_arg{nullptr};
  Run* queue_head = nullptr;                    // runs waiting for the engine, in order
  Run* queue_tail = nullptr;
  uint64_t executing_seq = 0;                   // run the engine executes (0: none)
  static constexpr uint32_t kInitialRunRecords = 16;  // the pool's size before it first grows
  Run* free_runs = nullptr;                     // run records ready for reuse
  std::vector<std::unique_ptr<Run>> run_records;
  bool stopping = false;
  bool engine_asleep = false;                   // the engine waits on run_cv: a new run must wake it
  std::thread engine;

  std::mutex report_mu;
  std::condition_variable report_cv;
  struct PendingReport {
    get_desc desc;
    OpTimes times;                              // of the reported op
  };
  std::vector<PendingReport> reports;           // ring of reports waiting for the reporter thread
  size_t report_head = 0, report_count = 0;
  bool report_stopping = false;
  // The engine waits for room in a full ring it could not grow (the host is out of memory): the reporter
  // notifies report_space_cv as it takes a report then.
  bool report_space_wanted = false;
  std::condition_variable report_space_cv;
  std::thread reporter;

  // Memory operations: runtime codes, never an exception (a failure to get host memory is rtErrMalloc).
  int allocate(uint32_t kind, uint64_t size, uint64_t* addr) noexcept;
  int release(uint32_t kind, uint64_t addr) noexcept;
  // The record whose slot holds addr (any state), or null.
  Block* lookup(uint64_t addr) const;
  // The same for an address already known to lie in the window of `kind` (kindOfAddress).
  Block* lookupIn(uint32_t kind, uint64_t addr) const;
  // A live block holding [addr, addr+size), pinned for a host copy in `block` (which holds nothing yet):
  // rtSuccess, rtErrInvalidAddr or rtErrOutOfBounds.
  int pin(uint64_t addr, uint64_t size, PinnedBlock* block, uint64_t* offset);
  // For the run with sequence number run_seq: the block holding [addr, addr+size), live or freed while
  // that run was in flight.  The card keeps such a block until the run ends, so no pin is needed.
  int resolveForRun(uint64_t addr, uint64_t size, uint64_t run_seq, Block** block, uint64_t* offset) const;
  // Returns the zombies whose runs have all ended to their classes.
  void harvest();
  // Releases a block nothing uses any more: its bytes stop counting as used, it goes back to its class.
  void releaseNow(Block* b);
  // The completion function and its argument.
  void readCallback(qobcrt_get_output_fn* fn, void** arg) const;

 private:
  Block* takeFreed(uint32_t kind, uint32_t cls);
  Block* carve(uint32_t kind, uint32_t cls, uint64_t bytes);
  Block* newRecord();
  bool reserve(uint32_t kind, uint64_t span, uint64_t* base);
  void reclaimLarge(uint32_t kind);
  void retireUnpinned(uint32_t kind, uint32_t cls);
  void backToClass(Block* b);
  void backHuge(Block* b) noexcept;
};

inline Block* Device::lookup(uint64_t addr) const {
  uint32_t kind = 0;
  return kindOfAddress(addr, &kind) ? lookupIn(kind, addr) : nullptr;
}

inline Block* Device::lookupIn(uint32_t kind, uint64_t addr) const {
  const uintptr_t e = pages[kind][(addr - kind * kWindowSize) >> kPageShift].load(std::memory_order_acquire);
  if (e == 0) return nullptr;
  if ((e & 1) == 0) return reinterpret_cast<Block*>(e);
  const Slab* s = reinterpret_cast<const Slab*>(e & ~uintptr_t{1});
  const uint64_t slot = (addr - s->base) / s->slot_span;
  return slot < s->slots ? s->slot[slot].load(std::memory_order_acquire) : nullptr;
}

inline int Device::resolveForRun(uint64_t addr, uint64_t size, uint64_t run_seq, Block** block,
                                 uint64_t* offset) const {
  Block* b = lookup(addr);
  if (b == nullptr) return rtErrInvalidAddr;
  const uint32_t st = b->state.load();
  const bool usable = st == kBlockLive || st == kBlockFreeing ||
                      (st == kBlockFreed && b->freed_after.load() >= run_seq);
  const uint64_t base = b->base.load(), cap = b->size.load();
  if (!usable || addr < base || addr - base >= cap) return rtErrInvalidAddr;
  if (size > cap - (addr - base)) return rtErrOutOfBounds;
  *block = b;
  *offset = addr - base;
  return rtSuccess;
}

class Card {
 public:
  Card();
  ~Card();
  uint32_t deviceCount() const { return static_cast<uint32_t>(devices_.size()); }
  Device* device(uint32_t dev) { return dev < devices_.size() ? devices_[dev].get() : nullptr; }

 private:
  std::vector<std::unique_ptr<Device>> devices_;
};

// The card, made on first use (its devices come from the environment then) and torn down at exit.
extern std::atomic<Card*> g_card;
Card& makeCard();
inline Card& card() {
  Card* c = g_card.load(std::memory_order_acquire);
  return c != nullptr ? *c : makeCard();
}

// Fault injection: true when a pending fault for the named call fires now; *code receives its code.
bool takeCallFault(const char* call, int* code);
// Call and op faults pending (0 almost always): read without a lock before every call, so that a process
// without injected faults never enters the fault table.
extern std::atomic<size_t> g_faults_pending;
// Call counting: the index of a runtime function among those a fault may name (kCountedCalls when it is
// not one of them), and one more call of it.  The counters are plain words, constant-initialised and never
// destroyed: calls may arrive during exit.
size_t callIndex(const char* call);
constexpr size_t kCountedCalls = 32;
// Every runtime function a fault may name, in the order of their counters.
inline constexpr const char* kCallNames[] = {
    "qobcrt_get_device_count", "qobcrt_get_memory_info", "qobcrt_malloc_stream", "qobcrt_free_stream",
    "qobcrt_malloc_inout", "qobcrt_free_inout", "qobcrt_malloc_ddr_share", "qobcrt_free_ddr_share",
    "qobcrt_malloc_app", "qobcrt_free_app", "qobcrt_memcpy", "qobcrt_memcpy_d2h", "qobcrt_memcpy_d2d",
    "qobcrt_query_block", "qobcrt_create_stream", "qobcrt_destroy_stream", "qobcrt_get_output_register",
    "qobcrt_run_stream", "qobcrt_run_stream_sync", "qobcrt_model_addr", "qobcrt_get_vdsp_ops",
    "qobcrt_register_model", "qobcrt_unregister_model", "qobcrt_thread_device"};
inline constexpr size_t kCallCount = sizeof(kCallNames) / sizeof(kCallNames[0]);
static_assert(kCallCount <= kCountedCalls, "every runtime function a fault may name has a call counter");
// callIndex, also at compile time.
constexpr size_t callIndexOf(const char* call) {
  for (size_t i = 0; i < kCallCount; ++i) {
    const char* a = kCallNames[i];
    const char* b = call;
    while (*a != '\0' && *a == *b) {
      ++a;
      ++b;
    }
    if (*a == *b) return i;
  }
  return kCountedCalls;   // counted nowhere
}
// Each counter has a cache line of its own: the application's threads and the card's count different calls
// at the same time.
struct alignas(64) CallCounter {
  std::atomic<uint64_t> calls{0};
};
extern CallCounter g_call_counts[kCountedCalls];
inline void countCall(size_t index) {
  if (index < kCountedCalls) g_call_counts[index].calls.fetch_add(1, std::memory_order_relaxed);
}
// True when a pending fault for the op uid fires now.
bool takeOpFault(uint32_t uid, uint32_t* code);

// Inout blocks take the aligned size of a loaded model output whose real size equals the request.
uint64_t inoutCapacity(Device& d, uint64_t requested);

// Engine lifecycle (engine.cpp).
void stopDevice(Device& d);

// Where the executor hands the reports of a run: report(uid as stored, code, final, times) for every op to
// report; the final call (end op or failing op) comes last.  A report other than the final one may throw
// std::bad_alloc when the host has no memory to queue it; the final one throws nothing.
class ReportSink {
 public:
  virtual void report(uint32_t uid, uint32_t code, bool final, const OpTimes& times) = 0;

 protected:
  ~ReportSink() = default;
};

// The loaded model node at addr, marked busy so that unregistering waits; null when there is none.  The
// node stays valid until releaseModel.
ModelNode* acquireModel(Device& d, uint64_t addr);
void releaseModel(Device& d, ModelNode* node);
// True on a device's engine thread: a call there that waits for a run (or for a model node a run holds)
// would wait for itself.
bool onEngineThread();
// Device index of the calling card thread, -1 on any other thread.  In the static TLS block: reading it is
// one load, with no __tls_get_addr call.
extern __attribute__((tls_model("initial-exec"))) thread_local int32_t t_thread_device;

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
// returns before anything else.  The function's counter is found on its first call.
#define QOBCRT_FAULT_POINT()                                                       \
  do {                                                                             \
    static const size_t qobcrt_call_index_ = zenlar::qobcrt::callIndex(__func__);  \
    QOBCRT_COUNT_AND_FAULT(qobcrt_call_index_);                                    \
  } while (0)
// The same with the counter fixed by the compiler, for the memory calls.  (The allocations, frees and
// uploads a run makes go through countedCall in memory.cpp: the same point, which then tail-calls the body.)
#define QOBCRT_FAULT_POINT_CONST()                                                          \
  do {                                                                                      \
    constexpr size_t qobcrt_call_index_ = zenlar::qobcrt::callIndexOf(__func__);            \
    static_assert(qobcrt_call_index_ < zenlar::qobcrt::kCountedCalls, "a counted call");    \
    QOBCRT_COUNT_AND_FAULT(qobcrt_call_index_);                                             \
  } while (0)
#define QOBCRT_COUNT_AND_FAULT(index)                                            \
  zenlar::qobcrt::countCall(index);                                              \
  int qobcrt_fault_code_;                                                        \
  if (zenlar::qobcrt::g_faults_pending.load(std::memory_order_acquire) != 0 &&   \
      zenlar::qobcrt::takeCallFault(__func__, &qobcrt_fault_code_))              \
    return qobcrt_fault_code_

#endif  // QOBCRT_SRC_CARD_H
