// Device memory: four kinds per device, each in its own address window, backed by host memory.
#include <cstring>
#include <limits>

#include "card.h"

namespace zenlar {
namespace qobcrt {

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

int Device::allocate(uint32_t kind, uint64_t size, uint64_t* addr) {
  const uint64_t cap = kind == QOBCRT_SIM_INOUT ? inoutCapacity(*this, size) : size;
  if (cap >= (1ull << 32)) return rtErrMalloc;
  const uint64_t span = roundUp(cap, kAlign);
  {
    std::lock_guard<std::mutex> lock(mem_mu);
    if (cap > capacity - used) return rtErrMalloc;
    used += cap;   // reserved while the backing store is made outside the lock
  }
  auto block = std::make_shared<Block>();
  block->data.reset(static_cast<uint8_t*>(std::calloc(1, static_cast<size_t>(span))));
  std::lock_guard<std::mutex> lock(mem_mu);
  uint64_t base = 0;
  if (!block->data || !spaces[kind].allocate(span, &base)) {
    used -= cap;
    return rtErrMalloc;
  }
  block->base = base;
  block->size = cap;
  block->span = span;
  block->kind = kind;
  live[base] = block;
  forgetFreed(base, span);
  ++live_blocks[kind];
  live_bytes[kind] += cap;
  ++allocs[kind];
  *addr = base;
  return rtSuccess;
}

void Device::forgetFreed(uint64_t base, uint64_t span) {
  auto it = freed.lower_bound(base);
  while (it != freed.end() && *it < base + span) it = freed.erase(it);
}

void Device::rememberFreed(uint64_t base) {
  freed.insert(base);
  freed_order.push_back(base);
  if (freed_order.size() > kFreedMemory) {
    freed.erase(freed_order.front());
    freed_order.pop_front();
  }
}

int Device::release(uint32_t kind, uint64_t addr) {
  std::lock_guard<std::mutex> lock(mem_mu);
  auto it = live.find(addr);
  if (it == live.end()) {
    uint32_t k = 0;
    if (kindOfAddress(addr, &k) && k == kind && freed.count(addr) != 0) return rtErrDoubleFree;
    return rtErrInvalidAddr;
  }
  BlockPtr b = it->second;
  if (b->kind != kind) return rtErrInvalidAddr;
  live.erase(it);
  --live_blocks[kind];
  live_bytes[kind] -= b->size;
  ++frees[kind];
  rememberFreed(addr);
  if (inflight.empty()) {
    releaseLocked(b);
  } else {
    // A queued or executing run may still read or write the block: keep it until those runs are done.
    zombies[addr] = Zombie{b, *inflight.rbegin()};
  }
  return rtSuccess;
}

void Device::releaseLocked(const BlockPtr& b) {
  spaces[b->kind].release(b->base, b->span);
  used -= b->size;
}

namespace {
// The block of map m that contains addr, or null.
template <class M, class Get>
BlockPtr containing(const M& m, uint64_t addr, Get get) {
  auto it = m.upper_bound(addr);
  if (it == m.begin()) return nullptr;
  --it;
  const BlockPtr& b = get(it->second);
  return addr < b->base + b->size ? b : nullptr;
}
}  // namespace

int Device::resolve(uint64_t addr, uint64_t size, uint64_t run_seq, BlockPtr* block, uint64_t* offset) {
  std::lock_guard<std::mutex> lock(mem_mu);
  BlockPtr b = containing(live, addr, [](const BlockPtr& p) -> const BlockPtr& { return p; });
  if (!b && run_seq != 0) {
    auto it = zombies.upper_bound(addr);
    if (it != zombies.begin()) {
      --it;
      const Zombie& z = it->second;
      if (addr < z.block->base + z.block->size && z.release_after >= run_seq) b = z.block;
    }
  }
  if (!b) return rtErrInvalidAddr;
  const uint64_t off = addr - b->base;
  if (size > b->size - off) return rtErrOutOfBounds;
  *block = std::move(b);
  *offset = off;
  return rtSuccess;
}

uint64_t Device::beginRun() {
  std::lock_guard<std::mutex> lock(mem_mu);
  const uint64_t seq = next_seq++;
  inflight.insert(seq);
  return seq;
}

void Device::endRun(uint64_t seq) {
  std::lock_guard<std::mutex> lock(mem_mu);
  inflight.erase(seq);
  const uint64_t oldest = inflight.empty() ? std::numeric_limits<uint64_t>::max() : *inflight.begin();
  for (auto it = zombies.begin(); it != zombies.end();) {
    if (it->second.release_after < oldest) {
      releaseLocked(it->second.block);
      it = zombies.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace qobcrt
}  // namespace zenlar

// ---------------------------------------------------------------- C interface

using zenlar::qobcrt::BlockPtr;
using zenlar::qobcrt::Device;

namespace {

int mallocKind(uint32_t dev, uint32_t flag, uint64_t size, uint64_t* addr, uint32_t kind) {
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (flag != 0 || addr == nullptr || size == 0) return static_cast<int>(rtErrInvalidParam);
    return d->allocate(kind, size, addr);
  });
}

int freeKind(uint32_t dev, uint64_t addr, uint32_t kind) {
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    return d->release(kind, addr);
  });
}

}  // namespace

extern "C" {

int qobcrt_malloc_stream(uint32_t dev, uint32_t flag, uint64_t size, uint64_t* addr) {
  QOBCRT_FAULT_POINT();
  return mallocKind(dev, flag, size, addr, QOBCRT_SIM_STREAM);
}
int qobcrt_free_stream(uint32_t dev, uint64_t addr) {
  QOBCRT_FAULT_POINT();
  return freeKind(dev, addr, QOBCRT_SIM_STREAM);
}
int qobcrt_malloc_inout(uint32_t dev, uint32_t flag, uint64_t size, uint64_t* addr) {
  QOBCRT_FAULT_POINT();
  return mallocKind(dev, flag, size, addr, QOBCRT_SIM_INOUT);
}
int qobcrt_free_inout(uint32_t dev, uint64_t addr) {
  QOBCRT_FAULT_POINT();
  return freeKind(dev, addr, QOBCRT_SIM_INOUT);
}
int qobcrt_malloc_ddr_share(uint32_t dev, uint32_t flag, uint64_t size, uint64_t* addr) {
  QOBCRT_FAULT_POINT();
  return mallocKind(dev, flag, size, addr, QOBCRT_SIM_DDR_SHARE);
}
int qobcrt_free_ddr_share(uint32_t dev, uint64_t addr) {
  QOBCRT_FAULT_POINT();
  return freeKind(dev, addr, QOBCRT_SIM_DDR_SHARE);
}
int qobcrt_malloc_app(uint32_t dev, uint64_t size, uint64_t* addr) {
  QOBCRT_FAULT_POINT();
  return mallocKind(dev, 0, size, addr, QOBCRT_SIM_APP);
}
int qobcrt_free_app(uint32_t dev, uint64_t addr) {
  QOBCRT_FAULT_POINT();
  return freeKind(dev, addr, QOBCRT_SIM_APP);
}

int qobcrt_get_memory_info(uint32_t dev, uint64_t* total, uint64_t* used) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (total == nullptr || used == nullptr) return static_cast<int>(rtErrInvalidParam);
    std::lock_guard<std::mutex> lock(d->mem_mu);
    *total = d->capacity;
    *used = d->used;
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_memcpy(uint32_t dev, const void* src, uint64_t size, uint64_t dst, uint32_t direction) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (src == nullptr || size == 0 || direction != kHost2Ddr) return static_cast<int>(rtErrInvalidParam);
    BlockPtr b;
    uint64_t off = 0;
    const int rc = d->resolve(dst, size, 0, &b, &off);
    if (rc != rtSuccess) return rc;
    std::memmove(b->data.get() + off, src, static_cast<size_t>(size));
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_memcpy_d2h(uint32_t dev, uint64_t src, uint64_t size, void* dst) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (dst == nullptr || size == 0) return static_cast<int>(rtErrInvalidParam);
    BlockPtr b;
    uint64_t off = 0;
    const int rc = d->resolve(src, size, 0, &b, &off);
    if (rc != rtSuccess) return rc;
    std::memmove(dst, b->data.get() + off, static_cast<size_t>(size));
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_memcpy_d2d(uint32_t dev, uint64_t src, uint64_t size, uint64_t dst) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (size == 0) return static_cast<int>(rtErrInvalidParam);
    BlockPtr sb, db;
    uint64_t so = 0, dof = 0;
    int rc = d->resolve(src, size, 0, &sb, &so);
    if (rc == rtSuccess) rc = d->resolve(dst, size, 0, &db, &dof);
    if (rc != rtSuccess) return rc;
    std::memmove(db->data.get() + dof, sb->data.get() + so, static_cast<size_t>(size));
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_query_block(uint32_t dev, uint64_t addr, uint32_t* kind, uint64_t* base, uint64_t* size) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (size == nullptr) return static_cast<int>(rtErrInvalidParam);
    BlockPtr b;
    uint64_t off = 0;
    if (d->resolve(addr, 0, 0, &b, &off) != rtSuccess) {
      *size = 0;
      if (base != nullptr) *base = 0;
      return static_cast<int>(rtSuccess);
    }
    *size = b->size;
    if (base != nullptr) *base = b->base;
    if (kind != nullptr) *kind = b->kind;
    return static_cast<int>(rtSuccess);
  });
}

}  // extern "C"
