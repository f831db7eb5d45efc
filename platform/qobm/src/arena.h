// arena.h - never-freed object slots for the library's handles (datasets, buffers, tensors, events).
//
// Every object lives in a slot of its kind's arena: chunks of slots that are never freed while the process
// lives.  A handle is the address of a slot's object, so a call recognises its handles by address alone
// (the slot of a chunk that address names) without dereferencing anything else: a null, foreign or
// destroyed handle is answered with a code, and a destroyed one still names memory of the arena, never
// freed memory.  A destroyed object's slot is handed out again only once kQuarantine others of its kind
// were destroyed after it, so a handle just destroyed does not at once name a live object again; creating
// and destroying objects at a steady rate makes no heap allocation.
#ifndef QOBM_ARENA_H
#define QOBM_ARENA_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

#include "qobm_internal.h"   // the public API, exported
#include "spin_lock.h"

namespace zenlar {
namespace qobm {

using platform::SpinLock;

constexpr uint32_t kQuarantine = 16;   // destroyed objects kept before the oldest is handed out again

// State word of a slot: kLive while the object lives (a kind may add bits of its own).
constexpr uint64_t kLive = uint64_t{1} << 63;

// The objects of one kind.  Chunk 0 holds kFirstChunk slots, chunk k > 0 kFirstChunk << k; chunks are only
// ever added (under mu_, published with the chunk count), so finding a handle's slot reads them without a
// lock.
template <typename T>
class Arena {
 public:
  struct alignas(64) Slot {
    T obj{};
    std::atomic<uint64_t> state{0};   // kLive (and a dataset's mode and count), 0 when not live
    SpinLock mu;                      // serialises the changes of obj and state
    Slot* next = nullptr;             // the FIFO of destroyed slots (the arena's mu_)
  };

  // The slot whose object p is, or null when p is no object of this arena.
  Slot* find(const T* p) const {
    Slot* s = nullptr;
    return findFirst(p, &s) ? s : findLater(p);
  }

  // Whether p lies in the first chunk, where nearly every object lives; *slot then receives its slot, or
  // null when p is no object's address.
  bool findFirst(const T* p, Slot** slot) const {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    Slot* base = chunk_[0].load(std::memory_order_acquire);
    const uintptr_t off = a - reinterpret_cast<uintptr_t>(base);
    if (base == nullptr || off >= kFirstChunk * sizeof(Slot)) return false;
    Slot* s = base + off / sizeof(Slot);
    *slot = &s->obj == p ? s : nullptr;
    return true;
  }

  // A slot that is not live: the oldest destroyed one past the quarantine, else a new one.  Throws
  // std::bad_alloc when a new chunk cannot be made.
  Slot* take() {
    std::lock_guard<SpinLock> lock(mu_);
    if (count_ > kQuarantine) {
      Slot* s = head_;
      head_ = s->next;
      if (head_ == nullptr) tail_ = nullptr;
      --count_;
      s->next = nullptr;
      return s;
    }
    const uint32_t k = chunks_.load(std::memory_order_relaxed);
    if (k == 0 || next_ == chunkSlots(k - 1)) {
      if (k == kMaxChunks) throw std::bad_alloc();
      chunk_[k].store(new Slot[chunkSlots(k)], std::memory_order_release);
      chunks_.store(k + 1, std::memory_order_release);
      next_ = 0;
      return chunk_[k].load(std::memory_order_relaxed) + next_++;
    }
    return chunk_[k - 1].load(std::memory_order_relaxed) + next_++;
  }

  // A slot whose object was destroyed (state already 0) goes to the back of the FIFO.
  void recycle(Slot* s) {
    std::lock_guard<SpinLock> lock(mu_);
    s->next = nullptr;
    (tail_ != nullptr ? tail_->next : head_) = s;
    tail_ = s;
    ++count_;
  }

 private:
  static constexpr size_t kFirstChunk = 256;
  static constexpr uint32_t kMaxChunks = 24;   // 256 << 23 objects at most
  static constexpr size_t chunkSlots(uint32_t k) { return k == 0 ? kFirstChunk : kFirstChunk << k; }

  [[gnu::noinline]] Slot* findLater(const T* p) const {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    const uint32_t n = chunks_.load(std::memory_order_acquire);
    for (uint32_t k = 1; k < n; ++k) {
      Slot* base = chunk_[k].load(std::memory_order_relaxed);
      const uintptr_t off = a - reinterpret_cast<uintptr_t>(base);
      if (off >= chunkSlots(k) * sizeof(Slot)) continue;
      Slot* s = base + off / sizeof(Slot);
      return &s->obj == p ? s : nullptr;
    }
    return nullptr;
  }

  std::atomic<Slot*> chunk_[kMaxChunks] = {};
  std::atomic<uint32_t> chunks_{0};
  SpinLock mu_;
  size_t next_ = 0;   // next new slot of the last chunk
  Slot* head_ = nullptr;
  Slot* tail_ = nullptr;
  uint32_t count_ = 0;
};

// The live object at p with its slot locked, or a code: QOBM_ERR_INVALID_PARAM for null,
// QOBM_ERR_INVALID_HANDLE for an address that is no live object of the arena.
template <typename T>
class Locked {
 public:
  Locked(const Arena<T>& arena, const T* p) {
    if (p == nullptr) {
      rc_ = QOBM_ERR_INVALID_PARAM;
      return;
    }
    slot_ = arena.find(p);
    if (slot_ == nullptr) {
      rc_ = QOBM_ERR_INVALID_HANDLE;
      return;
    }
    slot_->mu.lock();
    if ((slot_->state.load(std::memory_order_relaxed) & kLive) == 0) rc_ = QOBM_ERR_INVALID_HANDLE;
  }
  ~Locked() {
    if (slot_ != nullptr) slot_->mu.unlock();
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  int rc() const { return rc_; }
  T& obj() const { return slot_->obj; }
  typename Arena<T>::Slot* slot() const { return slot_; }

 private:
  typename Arena<T>::Slot* slot_ = nullptr;
  int rc_ = QOBM_SUCCESS;
};

// A new live object of the arena, made by init(obj) in its slot, with state word `state` (kLive added).
template <typename T, typename Init>
T* create(Arena<T>& arena, uint64_t state, Init init) {
  typename Arena<T>::Slot* s = arena.take();
  std::lock_guard<SpinLock> lock(s->mu);
  init(s->obj);
  s->state.store(state | kLive, std::memory_order_release);
  return &s->obj;
}

// Destroys the live object at p: rc, and the slot goes back to the arena.  clear(obj) runs under the lock.
template <typename T, typename Clear>
int destroy(Arena<T>& arena, T* p, Clear clear) {
  typename Arena<T>::Slot* s = nullptr;
  {
    Locked<T> l(arena, p);
    if (l.rc() != QOBM_SUCCESS) return l.rc();
    l.slot()->state.store(0, std::memory_order_release);
    clear(l.obj());
    s = l.slot();
  }
  arena.recycle(s);
  return QOBM_SUCCESS;
}

}  // namespace qobm
}  // namespace zenlar

#endif  // QOBM_ARENA_H
