// Device memory: four kinds per device, each in its own address window, backed by host memory (card.h
// describes the records, the page tables, the size classes and the zombies).
#include <algorithm>
#include <cstring>
#include <limits>

#include "card.h"

namespace zenlar {
namespace qobcrt {

// ---------------------------------------------------------------- size classes

namespace {

struct ClassTable {
  static constexpr uint32_t kMax = 64;
  uint64_t span[kMax] = {};
  uint32_t count = 0;

  constexpr ClassTable() {
    for (uint64_t s = kAlign; s <= 1024; s += kAlign) span[count++] = s;
    for (uint64_t b = 1024; b < kSlabMaxSpan; b *= 2)
      for (uint64_t q = 1; q <= 4; ++q) span[count++] = b + b / 4 * q;
    for (uint64_t p = 1; p <= 4; ++p) span[count++] = p * kPageSize;
    for (uint64_t b = 4; b < kCachedMaxSpan / kPageSize; b *= 2)
      for (uint64_t q = 1; q <= 4; ++q) span[count++] = (b + b / 4 * q) * kPageSize;
  }
};

// Computed by the compiler: a lookup reads constant data, with no guard of first use.
constexpr ClassTable kClassTable{};
constexpr uint32_t kSmallClasses = 1024 / kAlign;   // the first classes: every multiple of 64 up to 1 KiB
static_assert(kClassTable.span[kSmallClasses - 1] == 1024 && kClassTable.span[kSmallClasses] > 1024,
              "small classes are the multiples of 64 up to 1 KiB");

constexpr size_t kRecordChunk = 64;              // records made at a time
constexpr uint64_t kQuarantineBytes = 1 << 20;   // a class's quarantine holds about this much, at most...
constexpr uint32_t kQuarantineMax = 64;          // ...this many records, and at least one
constexpr uint64_t kBackedBytes = 8 << 20;       // freed records of a class keep about this much host memory

}  // namespace

static_assert(kClassTable.count == kClassCount, "kClassCount counts the classes of the table");

uint64_t classSpan(uint32_t cls) { return cls < kClassTable.count ? kClassTable.span[cls] : 0; }
uint32_t classOfLarge(uint64_t span) {
  const ClassTable& t = kClassTable;
  return static_cast<uint32_t>(std::lower_bound(t.span + kSmallClasses, t.span + t.count, span) - t.span);
}

// ---------------------------------------------------------------- AddressSpace

void AddressSpace::init(uint64_t begin, uint64_t end) {
  free_.clear();
  free_[begin] = end - begin;
  cursor_ = begin;
}

bool AddressSpace::allocateFrom(uint64_t from, uint64_t span, uint64_t* base) {
  auto it = free_.upper_bound(from);
  if (it != free_.begin()) {
    auto prev = std::prev(it);
    if (prev->first + prev->second > from) it = prev;
  }
  for (; it != free_.end(); ++it) {
    const uint64_t rb = it->first, re = it->first + it->second;
    const uint64_t start = rb > from ? rb : from;
    if (start + span > re) continue;
    free_.erase(it);
    if (rb < start) free_[rb] = start - rb;
    if (start + span < re) free_[start + span] = re - (start + span);
    *base = start;
    cursor_ = start + span;
    return true;
  }
  return false;
}

bool AddressSpace::allocate(uint64_t span, uint64_t* base) {
  return allocateFrom(cursor_, span, base) || allocateFrom(0, span, base);
}

void AddressSpace::release(uint64_t base, uint64_t span) {
  uint64_t b = base, e = base + span;
  auto next = free_.lower_bound(b);
  if (next != free_.end() && next->first == e) {
    e += next->second;
    next = free_.erase(next);
  }
  if (next != free_.begin()) {
    auto prev = std::prev(next);
    if (prev->first + prev->second == b) {
      b = prev->first;
      free_.erase(prev);
    }
  }
  free_[b] = e - b;
}

// ---------------------------------------------------------------- Device memory

Device::Device() {
  const uint32_t n = classCount();
  for (uint32_t k = 0; k < kKinds; ++k) {
    // Zero pages from calloc: only the entries of pages in use ever get written, and so resident.
    pages[k] = static_cast<std::atomic<uintptr_t>*>(std::calloc(kPagesPerWindow, sizeof(std::atomic<uintptr_t>)));
    if (pages[k] == nullptr) throw std::bad_alloc();
    spaces[k].init(windowBegin(k), windowEnd(k));
    classes[k].reset(new SizeClass[n + 1]);   // the last one holds huge records waiting for their pins
    for (uint32_t c = 0; c < n; ++c) {
      SizeClass& sc = classes[k][c];
      sc.span = classSpan(c);
      const uint64_t q = std::min<uint64_t>(kQuarantineMax, std::max<uint64_t>(1, kQuarantineBytes / sc.span));
      sc.quarantine = static_cast<uint32_t>(q);
      sc.backed_limit = static_cast<uint32_t>(std::max(q + 2, std::min(2 * q + 8, kBackedBytes / sc.span)));
    }
  }
  // Run records for the runs an application usually has in flight at once: a run's record returns to the
  // pool only after its last report is delivered, so even one stream run after run holds two now and
  // then, and the first time that happens must not be a heap allocation in the middle of a steady state.
  run_records.reserve(2 * kInitialRunRecords);
  for (uint32_t i = 0; i < kInitialRunRecords; ++i) {
    run_records.push_back(std::make_unique<Run>());
    run_records.back()->next = free_runs;
    free_runs = run_records.back().get();
  }
}

Device::~Device() {
  for (auto& chunk : record_chunks)
    for (size_t i = 0; i < kRecordChunk; ++i) std::free(chunk[i].data);
  for (uint32_t k = 0; k < kKinds; ++k) std::free(pages[k]);
}

// Inline in the copy calls, the hot path of host copies.
[[gnu::always_inline]] inline int Device::pin(uint64_t addr, uint64_t size, PinnedBlock* block, uint64_t* offset) {
  Block* b = lookup(addr);
  if (b == nullptr) return rtErrInvalidAddr;
  b->pins.fetch_add(1);
  // Checked after pinning: a block freed before it is seen as freed, one freed after waits for the pin.  The
  // state is read first: a live state comes with the size and host memory stored before it.
  const uint32_t st = b->state.load();
  const uint64_t base = b->base.load(), cap = b->size.load();
  const int rc = st != kBlockLive || addr < base || addr - base >= cap ? rtErrInvalidAddr
                 : size > cap - (addr - base)                         ? rtErrOutOfBounds
                                                                      : rtSuccess;
  if (rc != rtSuccess) {
    b->pins.fetch_sub(1);
    return rc;
  }
  block->hold(b);
  *offset = addr - base;
  return rtSuccess;
}

Block* Device::newRecord() {
  std::lock_guard<std::mutex> lock(record_mu);
  if (free_records == nullptr) {
    std::unique_ptr<Block[]> chunk(new Block[kRecordChunk]);
    for (size_t i = 0; i < kRecordChunk; ++i) {
      chunk[i].next = free_records;
      free_records = &chunk[i];
    }
    record_chunks.push_back(std::move(chunk));
  }
  Block* b = free_records;
  free_records = b->next;
  b->next = nullptr;
  return b;
}

// Whole pages of the kind's window; when the window is full, large freed records give their ranges back
// and the reservation is tried once more.
bool Device::reserve(uint32_t kind, uint64_t span, uint64_t* base) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    {
      std::lock_guard<std::mutex> lock(space_mu[kind]);
      if (spaces[kind].allocate(span, base)) {
        for (uint64_t& r : retired[kind])
          if (r >= *base && r < *base + span) r = 0;   // handed out again: no longer a double free
        return true;
      }
    }
    if (attempt == 0) reclaimLarge(kind);
  }
  return false;
}

void Device::reclaimLarge(uint32_t kind) {
  for (uint32_t c = 0; c <= classCount(); ++c)
    if (c == classCount() || classes[kind][c].span > kSlabMaxSpan) retireUnpinned(kind, c);
}

// The freed records of a large (or the huge) class that no host copy holds give their address ranges back
// to the window and their host memory back to the heap; the records go back to the pool.
void Device::retireUnpinned(uint32_t kind, uint32_t cls) {
  SizeClass& sc = classes[kind][cls];
  Block* taken = nullptr;
  {
    std::lock_guard<SpinLock> lock(sc.mu);
    Block** link = &sc.head;
    sc.tail = nullptr;
    while (*link != nullptr) {
      Block* b = *link;
      if (b->pins.load() == 0) {
        *link = b->next;
        --sc.count;
        b->next = taken;
        taken = b;
      } else {
        sc.tail = b;
        link = &b->next;
      }
    }
  }
  while (taken != nullptr) {
    Block* b = taken;
    taken = b->next;
    const uint64_t base = b->base.load();
    for (uint64_t p = 0; p < b->span / kPageSize; ++p)
      pages[kind][((base - kind * kWindowSize) >> kPageShift) + p].store(0);
    b->state.store(kBlockRetired);
    std::free(b->data);
    b->data = nullptr;
    b->data_cap = 0;
    {
      std::lock_guard<std::mutex> lock(space_mu[kind]);
      spaces[kind].release(base, b->span);
      retired[kind][retired_next[kind]++ % kRetiredBases] = base;
    }
    std::lock_guard<std::mutex> lock(record_mu);
    b->next = free_records;
    free_records = b;
  }
}

// A record with a new address slot of the class: the next slot of the class's slab page (a new page when
// it is full), or a range of whole pages for a large class, or `bytes` rounded up to whole pages for a huge
// block.  Null when the window is full.
Block* Device::carve(uint32_t kind, uint32_t cls, uint64_t bytes) {
  SizeClass& sc = classes[kind][cls];
  const uint64_t span = cls == classCount() ? roundUp(bytes, kPageSize) : sc.span;
  uint64_t base = 0;
  if (span <= kSlabMaxSpan) {
    std::lock_guard<SpinLock> lock(sc.mu);
    if (sc.slab == nullptr || sc.next_slot == sc.slab->slots) {
      uint64_t page = 0;
      if (!reserve(kind, kPageSize, &page)) return nullptr;
      auto slab = std::make_unique<Slab>();
      slab->base = page;
      slab->slot_span = sc.span;
      slab->slots = static_cast<uint32_t>(kPageSize / sc.span);
      slab->slot.reset(new std::atomic<Block*>[slab->slots]());
      sc.slab = slab.get();
      sc.next_slot = 0;
      {
        std::lock_guard<std::mutex> space(space_mu[kind]);
        slabs[kind].push_back(std::move(slab));
      }
      pages[kind][(page - kind * kWindowSize) >> kPageShift].store(reinterpret_cast<uintptr_t>(sc.slab) | 1);
    }
    Block* b = newRecord();
    b->base.store(sc.slab->base + sc.next_slot * sc.span);
    b->span = sc.span;
    b->kind = kind;
    b->cls = cls;
    b->state.store(kBlockNew);
    sc.slab->slot[sc.next_slot++].store(b, std::memory_order_release);
    return b;
  }
  if (!reserve(kind, span, &base)) return nullptr;
  Block* b = newRecord();
  b->base.store(base);
  b->span = span;
  b->kind = kind;
  b->cls = cls;
  b->state.store(kBlockNew);
  for (uint64_t p = 0; p < span / kPageSize; ++p)
    pages[kind][((base - kind * kWindowSize) >> kPageShift) + p].store(reinterpret_cast<uintptr_t>(b),
                                                                         std::memory_order_release);
  return b;
}

// The oldest freed record of the class, once the class holds more than its quarantine and no host copy
// still holds it; null otherwise.
[[gnu::always_inline]] inline Block* Device::takeFreed(uint32_t kind, uint32_t cls) {
  if (cls == classCount()) return nullptr;   // huge records are never handed out again
  SizeClass& sc = classes[kind][cls];
  std::lock_guard<SpinLock> lock(sc.mu);
  Block* b = sc.head;
  if (sc.count <= sc.quarantine || b->pins.load() != 0) return nullptr;
  sc.head = b->next;
  if (sc.head == nullptr) sc.tail = nullptr;
  --sc.count;
  b->next = nullptr;
  return b;
}

// A huge block's range goes back to the window at once (once no host copy holds it).  Giving the range
// back may need host memory for the window's list of free ranges; without any, the range stays taken
// until the process ends, and the free still succeeds.
void Device::backHuge(Block* b) noexcept {
  SizeClass& sc = classes[b->kind][b->cls];
  {
    std::lock_guard<SpinLock> lock(sc.mu);
    b->next = sc.head;
    sc.head = b;
    if (sc.tail == nullptr) sc.tail = b;
    ++sc.count;
  }
  guarded([&] {
    retireUnpinned(b->kind, b->cls);
    return static_cast<int>(rtSuccess);
  });
}

// A released block goes to the back of its class; past the class's limit it gives its host memory back.
// Inline in the frees, which end here (the huge blocks' path is out of line).
[[gnu::always_inline]] inline void Device::backToClass(Block* b) {
  if (b->cls == classCount()) {
    backHuge(b);
    return;
  }
  SizeClass& sc = classes[b->kind][b->cls];
  uint8_t* drop = nullptr;
  {
    std::lock_guard<SpinLock> lock(sc.mu);
    if (sc.count >= sc.backed_limit && b->pins.load() == 0) {
      drop = b->data;
      b->data = nullptr;
      b->data_cap = 0;
    }
    b->next = nullptr;
    if (sc.tail != nullptr) {
      sc.tail->next = b;
    } else {
      sc.head = b;
    }
    sc.tail = b;
    ++sc.count;
  }
  if (drop != nullptr) std::free(drop);   // usually none: the call is skipped
}

[[gnu::always_inline]] inline void Device::releaseNow(Block* b) {
  freed.released.fetch_add(b->size.load());
  backToClass(b);
}

// Only the slow paths may throw (a new page or record, the model lock of inout sizes): they run under an
// exception guard, and a failure there is a code like any other.
int Device::allocate(uint32_t kind, uint64_t size, uint64_t* addr) noexcept {
  uint64_t cap = size;
  if (kind == QOBCRT_SIM_INOUT) {
    const int rc = guarded([&] {
      cap = inoutCapacity(*this, size);
      return static_cast<int>(rtSuccess);
    });
    if (rc != rtSuccess) return rc;
  }
  if (cap >= (1ull << 32)) return rtErrMalloc;
  const uint32_t cls = classOf(roundUp(cap, kAlign));   // classCount(): a huge block
  // The bytes in use, reserved - released, must leave room for cap.  Both totals only grow, and the CAS
  // succeeds only while `reserved` is still the value read before `released`: then released <= reserved,
  // and a `released` read a little early only makes the check stricter.
  uint64_t in = allocated.reserved.load();
  for (;;) {
    const uint64_t out = freed.released.load();
    if (out > in) {   // others reserved and released since `in` was read
      in = allocated.reserved.load();
      continue;
    }
    if (cap > capacity - (in - out)) return rtErrMalloc;
    if (allocated.reserved.compare_exchange_weak(in, in + cap)) break;
  }
  Block* b = takeFreed(kind, cls);
  if (b == nullptr) {
    int rc = guarded([&] {
      b = carve(kind, cls, cap);
      return static_cast<int>(b != nullptr ? rtSuccess : rtErrMalloc);   // null: the window is full
    });
    if (rc != rtSuccess) {
      freed.released.fetch_add(cap);
      return rc;
    }
  }
  if (b->data_cap < cap) {
    std::free(b->data);
    const uint64_t bytes = roundUp(cap, kAlign);
    b->data = static_cast<uint8_t*>(std::calloc(1, static_cast<size_t>(bytes)));
    b->data_cap = b->data != nullptr ? bytes : 0;
    if (b->data == nullptr) {
      b->state.store(kBlockFreed);
      b->freed_after.store(0);
      backToClass(b);
      freed.released.fetch_add(cap);
      return rtErrMalloc;
    }
  } else {
    std::memset(b->data, 0, static_cast<size_t>(cap));
  }
  // Published by the state: a copy or run that reads the live state (first) reads this size and memory.
  b->size.store(cap, std::memory_order_relaxed);
  b->state.store(kBlockLive, std::memory_order_release);
  allocated.blocks[kind].fetch_add(1);
  allocated.bytes[kind].fetch_add(cap);
  *addr = b->base.load();
  return rtSuccess;
}

// Throws nothing but what a plain mutex's lock may throw, which it does not in this use.
int Device::release(uint32_t kind, uint64_t addr) noexcept {
  uint32_t k = 0;
  if (!kindOfAddress(addr, &k) || k != kind) return rtErrInvalidAddr;
  Block* b = lookupIn(kind, addr);
  if (b == nullptr || b->base.load() != addr) {
    std::lock_guard<std::mutex> lock(space_mu[kind]);
    for (uint64_t r : retired[kind])
      if (r == addr) return rtErrDoubleFree;
    return rtErrInvalidAddr;
  }
  uint32_t st = kBlockLive;
  if (!b->state.compare_exchange_strong(st, kBlockFreeing))
    return st == kBlockFreed || st == kBlockFreeing ? rtErrDoubleFree : rtErrInvalidAddr;
  // Read after the block stopped being live: a run submitted from now on cannot pass it as its records, and
  // every run that may hold it has a sequence number up to this one.
  const uint64_t stamp = last_seq.load();
  // Freeing and freed are alike to copies (not live) and to runs up to the stamp (usable), so the stamp only
  // has to be published with the freed state.
  b->freed_after.store(stamp, std::memory_order_relaxed);
  b->state.store(kBlockFreed, std::memory_order_release);
  freed.blocks[kind].fetch_add(1);
  freed.bytes[kind].fetch_add(b->size.load());
  if (oldest_seq.load() > stamp) {
    releaseNow(b);
    return rtSuccess;
  }
  // A queued or executing run may still read or write the block: keep it until those runs are done.  Under
  // the lock the oldest run is read again (a run that ended meanwhile harvested before the block arrived),
  // and the FIFO's stamps never decrease.
  {
    std::lock_guard<SpinLock> lock(zombie_mu);
    if (oldest_seq.load() <= stamp) {
      b->release_after = zombie_tail != nullptr && zombie_tail->release_after > stamp ? zombie_tail->release_after : stamp;
      b->zombie_next = nullptr;
      (zombie_tail != nullptr ? zombie_tail->zombie_next : zombie_head) = b;
      zombie_tail = b;
      return rtSuccess;
    }
  }
  releaseNow(b);
  return rtSuccess;
}

void Device::harvest() {
  Block* done = nullptr;
  {
    std::lock_guard<SpinLock> lock(zombie_mu);
    const uint64_t oldest = oldest_seq.load();
    if (zombie_head == nullptr || zombie_head->release_after >= oldest) return;
    done = zombie_head;
    Block* last = zombie_head;
    while (last->zombie_next != nullptr && last->zombie_next->release_after < oldest) last = last->zombie_next;
    zombie_head = last->zombie_next;
    if (zombie_head == nullptr) zombie_tail = nullptr;
    last->zombie_next = nullptr;
  }
  while (done != nullptr) {
    Block* b = done;
    done = b->zombie_next;
    releaseNow(b);
  }
}

}  // namespace qobcrt
}  // namespace zenlar

// ---------------------------------------------------------------- C interface

using zenlar::qobcrt::callIndexOf;
using zenlar::qobcrt::Device;
using zenlar::qobcrt::PinnedBlock;

namespace {

// Makes the card on its first use, under an exception guard (a failure is its code), then runs
// Body(args...).  Out of line, so that the bodies below tail-call it and need no stack frame.
template <auto Body, typename... A>
[[gnu::noinline]] int withFirstCard(A... args) noexcept {
  const int rc = zenlar::qobcrt::guarded([] {
    zenlar::qobcrt::makeCard();
    return static_cast<int>(rtSuccess);
  });
  return rc != rtSuccess ? rc : Body(args...);
}

// The allocation and free calls of every kind share these bodies.  The device's allocate and release
// guard their own slow paths, so the bodies pass their arguments straight on, with no exception guard.
int mallocKind(uint32_t dev, uint32_t flag, uint64_t size, uint64_t* addr, uint32_t kind) noexcept {
  zenlar::qobcrt::Card* c = zenlar::qobcrt::g_card.load(std::memory_order_acquire);
  if (c == nullptr) return withFirstCard<mallocKind>(dev, flag, size, addr, kind);
  Device* d = c->device(dev);
  if (d == nullptr) return rtErrInvalidDevice;
  if (flag != 0 || addr == nullptr || size == 0) return rtErrInvalidParam;
  return d->allocate(kind, size, addr);
}

int freeKind(uint32_t dev, uint64_t addr, uint32_t kind) noexcept {
  zenlar::qobcrt::Card* c = zenlar::qobcrt::g_card.load(std::memory_order_acquire);
  if (c == nullptr) return withFirstCard<freeKind>(dev, addr, kind);
  Device* d = c->device(dev);
  if (d == nullptr) return rtErrInvalidDevice;
  return d->release(kind, addr);
}

// Host to card memory, the body of qobcrt_memcpy (nothing in it throws).
int copyToDevice(uint32_t dev, const void* src, uint64_t size, uint64_t dst, uint32_t direction) noexcept {
  zenlar::qobcrt::Card* c = zenlar::qobcrt::g_card.load(std::memory_order_acquire);
  if (c == nullptr) return withFirstCard<copyToDevice>(dev, src, size, dst, direction);
  Device* d = c->device(dev);
  if (d == nullptr) return rtErrInvalidDevice;
  if (src == nullptr || size == 0 || direction != kHost2Ddr) return rtErrInvalidParam;
  PinnedBlock b;
  uint64_t off = 0;
  const int rc = d->pin(dst, size, &b, &off);
  if (rc != rtSuccess) return rc;
  std::memmove(b->data + off, src, static_cast<size_t>(size));
  return rtSuccess;
}

// The fault point of a call whose faults are pending, then its body.  Out of line: without pending faults
// a call goes straight to its body (countedCall) and needs no stack frame.
template <auto Body, typename... A>
[[gnu::noinline]] int faultThen(const char* call, A... args) {
  int code = 0;
  if (zenlar::qobcrt::takeCallFault(call, &code)) return code;
  return Body(args...);
}

// The fault point of the call with counter kIndex (QOBCRT_FAULT_POINT_CONST), then Body(args...).
template <size_t kIndex, auto Body, typename... A>
[[gnu::always_inline]] inline int countedCall(const char* call, A... args) {
  static_assert(kIndex < zenlar::qobcrt::kCountedCalls, "a counted call");
  zenlar::qobcrt::countCall(kIndex);
  if (zenlar::qobcrt::g_faults_pending.load(std::memory_order_acquire) != 0) return faultThen<Body>(call, args...);
  return Body(args...);
}

}  // namespace

extern "C" {

int qobcrt_malloc_stream(uint32_t dev, uint32_t flag, uint64_t size, uint64_t* addr) {
  return countedCall<callIndexOf(__func__), mallocKind>(__func__, dev, flag, size, addr, uint32_t{QOBCRT_SIM_STREAM});
}
int qobcrt_free_stream(uint32_t dev, uint64_t addr) {
  return countedCall<callIndexOf(__func__), freeKind>(__func__, dev, addr, uint32_t{QOBCRT_SIM_STREAM});
}
int qobcrt_malloc_inout(uint32_t dev, uint32_t flag, uint64_t size, uint64_t* addr) {
  return countedCall<callIndexOf(__func__), mallocKind>(__func__, dev, flag, size, addr, uint32_t{QOBCRT_SIM_INOUT});
}
int qobcrt_free_inout(uint32_t dev, uint64_t addr) {
  return countedCall<callIndexOf(__func__), freeKind>(__func__, dev, addr, uint32_t{QOBCRT_SIM_INOUT});
}
int qobcrt_malloc_ddr_share(uint32_t dev, uint32_t flag, uint64_t size, uint64_t* addr) {
  return countedCall<callIndexOf(__func__), mallocKind>(__func__, dev, flag, size, addr,
                                                        uint32_t{QOBCRT_SIM_DDR_SHARE});
}
int qobcrt_free_ddr_share(uint32_t dev, uint64_t addr) {
  return countedCall<callIndexOf(__func__), freeKind>(__func__, dev, addr, uint32_t{QOBCRT_SIM_DDR_SHARE});
}
int qobcrt_malloc_app(uint32_t dev, uint64_t size, uint64_t* addr) {
  return countedCall<callIndexOf(__func__), mallocKind>(__func__, dev, uint32_t{0}, size, addr,
                                                        uint32_t{QOBCRT_SIM_APP});
}
int qobcrt_free_app(uint32_t dev, uint64_t addr) {
  return countedCall<callIndexOf(__func__), freeKind>(__func__, dev, addr, uint32_t{QOBCRT_SIM_APP});
}

int qobcrt_get_memory_info(uint32_t dev, uint64_t* total, uint64_t* used) {
  QOBCRT_FAULT_POINT_CONST();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (total == nullptr || used == nullptr) return static_cast<int>(rtErrInvalidParam);
    *total = d->capacity;
    *used = d->usedBytes();
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_memcpy(uint32_t dev, const void* src, uint64_t size, uint64_t dst, uint32_t direction) {
  return countedCall<callIndexOf(__func__), copyToDevice>(__func__, dev, src, size, dst, direction);
}

int qobcrt_memcpy_d2h(uint32_t dev, uint64_t src, uint64_t size, void* dst) {
  QOBCRT_FAULT_POINT_CONST();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (dst == nullptr || size == 0) return static_cast<int>(rtErrInvalidParam);
    PinnedBlock b;
    uint64_t off = 0;
    const int rc = d->pin(src, size, &b, &off);
    if (rc != rtSuccess) return rc;
    std::memmove(dst, b->data + off, static_cast<size_t>(size));
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_memcpy_d2d(uint32_t dev, uint64_t src, uint64_t size, uint64_t dst) {
  QOBCRT_FAULT_POINT_CONST();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (size == 0) return static_cast<int>(rtErrInvalidParam);
    PinnedBlock sb, db;
    uint64_t so = 0, dof = 0;
    int rc = d->pin(src, size, &sb, &so);
    if (rc == rtSuccess) rc = d->pin(dst, size, &db, &dof);
    if (rc != rtSuccess) return rc;
    std::memmove(db->data + dof, sb->data + so, static_cast<size_t>(size));
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_query_block(uint32_t dev, uint64_t addr, uint32_t* kind, uint64_t* base, uint64_t* size) {
  QOBCRT_FAULT_POINT_CONST();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (size == nullptr) return static_cast<int>(rtErrInvalidParam);
    PinnedBlock b;
    uint64_t off = 0;
    if (d->pin(addr, 0, &b, &off) != rtSuccess) {
      *size = 0;
      if (base != nullptr) *base = 0;
      return static_cast<int>(rtSuccess);
    }
    *size = b->size.load();
    if (base != nullptr) *base = b->base.load();
    if (kind != nullptr) *kind = b->kind;
    return static_cast<int>(rtSuccess);
  });
}

}  // extern "C"
