// RWLock: a spinning (pausing, then yielding) reader/writer lock whose writer may re-enter; raii / make_raii:
// a scope guard; threadsafe_unordered_map: a hash map that holds its lock in write mode for each single
// operation and lets a caller hold it across several operations with write_guard().
#ifndef QOBL_COMMON_RWLOCK_H
#define QOBL_COMMON_RWLOCK_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zenlar {
namespace qobl {

// Reports a broken precondition with its text and ends the process (active in every build type).
[[noreturn]] void qoblCommonAssertFail(const char* text, const char* file, int line);

#define QOBL_COMMON_ASSERT(cond)                                                    \
  do {                                                                              \
    if (!(cond)) ::zenlar::qobl::qoblCommonAssertFail(#cond, __FILE__, __LINE__);   \
  } while (0)

// Scope guard: runs `acquire` once on construction and `release` on destruction while committed.
// Returned by value straight into the caller's scope (guaranteed elision); it is neither copied nor moved,
// so the release action runs exactly once.
class raii {
 public:
  using fun_type = std::function<void()>;

  raii(fun_type release, fun_type acquire = [] {}, bool default_com = true) noexcept(false)
      : _commit(default_com), _release(std::move(release)) {
    acquire();
  }
  // The plain form for a lock's guards: `release(context)` runs on destruction; acquiring is the caller's,
  // done before.  No std::function is made or called.
  raii(void (*release)(void*), void* context) noexcept : _commit(true), _plain(release), _context(context) {}
  // An exception escaping the release action ends the process (the destructor is noexcept).
  ~raii() noexcept {
    if (!_commit) return;
    if (_plain != nullptr) {
      _plain(_context);
    } else {
      _release();
    }
  }
  raii(const raii&) = delete;
  raii& operator=(const raii&) = delete;
  raii(raii&&) = delete;
  raii& operator=(raii&&) = delete;

  raii& commit(bool c = true) {
    _commit = c;
    return *this;
  }

 private:
  bool _commit;
  void (*_plain)(void*) = nullptr;
  void* _context = nullptr;
  fun_type _release;
};

// Binds two `int T::f()` members of `res` as release and acquire actions.
template <typename T>
raii make_raii(T& res, int (T::*rel)(), int (T::*acq)(), bool default_com = true) {
  QOBL_COMMON_ASSERT(nullptr!=rel&&nullptr!=acq);
  return raii([&res, rel] { (res.*rel)(); }, [&res, acq] { (res.*acq)(); }, default_com);
}

// Reader/writer lock waiting by spinning on atomics, for short critical sections: a waiter pauses the
// processor between attempts and, once it has waited a while, yields its time slice to the holder.
//  m_lock_count:  0 free; n > 0 held by n readers; -d held in write mode at nesting depth d.
//  The write owner may take the write lock again (nesting) and reads under its own hold without counting.
//  A read hold cannot be upgraded to a write hold.
class RWLock {
 public:
  static const std::thread::id NULL_THEAD;
  static constexpr int32_t WRITE_LOCK_STATUS = -1;

  explicit RWLock(bool writeFirst = false);
  virtual ~RWLock() = default;
  RWLock(const RWLock&) = delete;
  RWLock& operator=(const RWLock&) = delete;

  // Each returns m_lock_count as read after the operation.  The write lock's uncontended paths (a free lock,
  // the owner nesting and unnesting) are inline: the maps take it for every single operation.
  int readLock();
  int readUnlock();
  int writeLock() {
    const std::thread::id me = std::this_thread::get_id();
    if (me == m_write_thread_id.load(std::memory_order_relaxed)) {
      // One more nesting level of the owner: nobody else writes the count meanwhile.
      const int32_t depth = m_lock_count.load(std::memory_order_relaxed) - 1;
      m_lock_count.store(depth, std::memory_order_relaxed);
      return depth;
    }
    int32_t expected = 0;
    if (!m_lock_count.compare_exchange_strong(expected, WRITE_LOCK_STATUS, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
      waitForWriteLock();
    }
    m_write_thread_id.store(me, std::memory_order_relaxed);
    return WRITE_LOCK_STATUS;
  }
  // By the owner only; a violation ends the process.
  int writeUnlock() {
    const int32_t count = m_lock_count.load(std::memory_order_relaxed);
    if (!ownedByCaller() || count > WRITE_LOCK_STATUS) writeUnlockMisuse();
    if (count == WRITE_LOCK_STATUS) {
      // Clear the owner before the lock becomes free, so a new owner's id is never overwritten.
      m_write_thread_id.store(NULL_THEAD, std::memory_order_relaxed);
      m_lock_count.store(0, std::memory_order_release);
      return 0;
    }
    m_lock_count.store(count + 1, std::memory_order_relaxed);
    return count + 1;
  }

  // The guards take the lock here and release it through a plain function pointer: taking a guard neither
  // allocates nor goes through std::function.
  raii read_guard() {
    readLock();
    return raii([](void* lock) { static_cast<RWLock*>(lock)->readUnlock(); }, this);
  }
  raii write_guard() {
    writeLock();
    return raii([](void* lock) { static_cast<RWLock*>(lock)->writeUnlock(); }, this);
  }

  // Observers for diagnostics and tests.
  int32_t lockCount() const { return m_lock_count.load(); }
  uint32_t writeWaitCount() const { return m_write_wait_count.load(); }
  std::thread::id writeOwner() const { return m_write_thread_id.load(); }

 private:
  // The owner id is only ever compared with the calling thread's own id: a thread sees its own last store,
  // and another thread's store never carries its id, so a relaxed read answers "do I hold it" exactly.
  bool ownedByCaller() const {
    return std::this_thread::get_id() == m_write_thread_id.load(std::memory_order_relaxed);
  }
  // Waits until the write lock is free and takes it (the caller records itself as the owner).
  void waitForWriteLock();
  [[noreturn]] static void writeUnlockMisuse();

  const bool WRITE_FIRST;
  std::atomic<std::thread::id> m_write_thread_id;
  std::atomic<int32_t> m_lock_count;
  std::atomic<uint32_t> m_write_wait_count;
};

// Hash map whose every operation holds `lock` in write mode for its own duration.  Iterators and references
// outlive the call and with them the protection: several steps that must be atomic with respect to other
// users run under one write_guard(), inside which the operations re-enter the lock instead of waiting.
// The map owns what it stores; raw pointer values are not freed by it.
// keepNodes(n) makes the map keep up to n nodes of erased entries (erase, take, takeSwap) and use them again
// for new keys (slot), so that a map whose size goes up and down at a steady rate stops allocating.
// A plain, non-recursive spin lock for a few instructions of work (BasicLockable: use std::lock_guard).
// Uncontended it costs one exchange and one store; a waiter pauses the processor, then yields its time
// slice, as the RWLock's writers do.
class SpinLock {
 public:
  SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;
  void lock() noexcept {
    if (held_.exchange(true, std::memory_order_acquire)) waitForLock();
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  void waitForLock() noexcept;
  std::atomic<bool> held_{false};
};

template <typename Key, typename Value, typename Hash = std::hash<Key>, typename Equal = std::equal_to<Key>,
          typename Allocator = std::allocator<std::pair<const Key, Value>>>
class threadsafe_unordered_map {
 public:
  using map_type = std::unordered_map<Key, Value, Hash, Equal, Allocator>;
  using key_type = Key;
  using mapped_type = Value;
  using value_type = typename map_type::value_type;
  using size_type = typename map_type::size_type;
  using iterator = typename map_type::iterator;
  using const_iterator = typename map_type::const_iterator;

  threadsafe_unordered_map() : lock(false) {}
  threadsafe_unordered_map(const threadsafe_unordered_map&) = delete;
  threadsafe_unordered_map& operator=(const threadsafe_unordered_map&) = delete;

  raii write_guard() { return lock.write_guard(); }
  raii read_guard() { return lock.read_guard(); }
  const RWLock& getLock() const { return lock; }

  iterator find(const Key& k) {
    Hold g(lock);
    return map.find(k);
  }
  iterator end() {
    Hold g(lock);
    return map.end();
  }
  iterator begin() {
    Hold g(lock);
    return map.begin();
  }
  Value& operator[](const Key& k) {
    Hold g(lock);
    return map[k];
  }
  Value& operator[](Key&& k) {
    Hold g(lock);
    return map[std::move(k)];
  }
  size_type erase(const Key& k) {
    Hold g(lock);
    auto it = map.find(k);
    if (it == map.end()) return 0;
    keep(map.extract(it));
    return 1;
  }
  void clear() {
    Hold g(lock);
    map.clear();
  }
  size_type size() {
    Hold g(lock);
    return map.size();
  }
  bool empty() {
    Hold g(lock);
    return map.empty();
  }
  size_type count(const Key& k) {
    Hold g(lock);
    return map.count(k);
  }
  template <typename... Args>
  std::pair<iterator, bool> emplace(Args&&... args) {
    Hold g(lock);
    return map.emplace(std::forward<Args>(args)...);
  }
  // Copies the mapped value of `k` into `value`; false (value untouched) when absent.
  bool find(const Key& k, Value& value) {
    Hold g(lock);
    auto it = map.find(k);
    if (it == map.end()) return false;
    value = it->second;
    return true;
  }
  // Calls fn(mapped value of `k`) under one hold of the lock; false (fn not called) when absent.
  template <typename Fn>
  bool visit(const Key& k, Fn&& fn) {
    Hold g(lock);
    auto it = map.find(k);
    if (it == map.end()) return false;
    fn(it->second);
    return true;
  }
  // Moves the mapped value of `k` into `value` and erases the entry; false (value untouched) when absent.
  bool take(const Key& k, Value& value) {
    Hold g(lock);
    auto it = map.find(k);
    if (it == map.end()) return false;
    value = std::move(it->second);
    keep(map.extract(it));
    return true;
  }
  // Inserts `value` when `k` is absent; returns the mapped value after the call.
  Value insertIfAbsent(const Key& k, const Value& value) {
    Hold g(lock);
    return map.emplace(k, value).first->second;
  }

  // Keeps up to n nodes of erased entries for later keys (the room for them is reserved now).
  void keepNodes(size_t n) {
    Hold g(lock);
    spare.reserve(n);
    spareLimit = n;
  }
  // The mapped value of `k`, inserted when absent: a kept node when there is one (its value emptied, a
  // vector keeping its capacity), else a new one, value-initialised.
  Value& slot(const Key& k) {
    Hold g(lock);
    auto it = map.find(k);
    if (it != map.end()) return it->second;
    if (spare.empty()) return map[k];
    node_type node = std::move(spare.back());
    spare.pop_back();
    node.key() = k;
    emptyValue(node.mapped());
    return map.insert(std::move(node)).position->second;
  }
  // take, keeping the node: with `value` a vector, swapping keeps both lists' capacities in use (the node
  // gets `value`'s old list).
  bool takeSwap(const Key& k, Value& value) {
    Hold g(lock);
    auto it = map.find(k);
    if (it == map.end()) return false;
    using std::swap;
    swap(value, it->second);
    keep(map.extract(it));
    return true;
  }
  size_type keptNodes() {
    Hold g(lock);
    return spare.size();
  }

 private:
  using node_type = typename map_type::node_type;

  // The lock in write mode for one operation of the map, released inline (a guard from write_guard()
  // releases through a function pointer).
  class Hold {
   public:
    explicit Hold(RWLock& l) : lock_(l) { lock_.writeLock(); }
    ~Hold() { lock_.writeUnlock(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    RWLock& lock_;
  };

  template <typename T, typename A>
  static void emptyValue(std::vector<T, A>& v) { v.clear(); }
  template <typename T>
  static void emptyValue(T& v) { v = T(); }
  // Keeps an extracted node (its value emptied) while there is room, else lets it go.
  void keep(node_type&& node) {
    if (spare.size() >= spareLimit) return;
    emptyValue(node.mapped());
    spare.push_back(std::move(node));
  }

  map_type map;
  RWLock lock;
  std::vector<node_type> spare;
  size_t spareLimit = 0;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_COMMON_RWLOCK_H
