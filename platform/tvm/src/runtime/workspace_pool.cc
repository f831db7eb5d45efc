// TVMBackendAllocWorkspace and TVMBackendFreeWorkspace: a pool of blocks per thread.
//
// Kernels compiled for the CPU ask for their scratch memory on every call, usually the same sizes in
// the same order.  Each thread keeps the blocks freed on it and hands out the smallest cached block that
// fits, so from the second call on no memory comes from the system.  A block freed on another thread
// than the one it came from goes back to its own pool.  Blocks are 64-byte aligned; a pool returns its
// memory to the system when its thread ends.
#include <tvm/runtime/c_backend_api.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "runtime/backend_stats.h"

namespace tvm {
namespace runtime {
namespace {

constexpr uint64_t kAlign = 64;
constexpr uint64_t kMaxBytes = uint64_t(1) << 40;

class WorkspacePool;

// Every live pool, so that a block freed on a foreign thread finds its owner.
struct PoolList {
  std::mutex mutex;
  std::vector<WorkspacePool*> pools;
  static PoolList& Get() {
    static PoolList* l = new PoolList();  // never destroyed: thread-local pools end after static teardown
    return *l;
  }
};

class WorkspacePool {
 public:
  WorkspacePool() {
    PoolList& l = PoolList::Get();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.pools.push_back(this);
  }
  ~WorkspacePool() {
    {
      PoolList& l = PoolList::Get();
      std::lock_guard<std::mutex> lock(l.mutex);
      l.pools.erase(std::find(l.pools.begin(), l.pools.end(), this));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // Blocks still in use belong to a kernel that never freed them; the thread is gone, so are they.
    for (const Block& b : used_) std::free(b.ptr);
    for (const Block& b : free_) std::free(b.ptr);
    Counters().workspace_in_use.fetch_sub(static_cast<int64_t>(used_.size()));
    Counters().workspace_cached.fetch_sub(static_cast<int64_t>(free_.size()));
  }

  void* Alloc(uint64_t nbytes) {
    const uint64_t size = std::max<uint64_t>(kAlign, (nbytes + kAlign - 1) / kAlign * kAlign);
    std::lock_guard<std::mutex> lock(mutex_);
    // Smallest cached block that fits.
    size_t best = free_.size();
    for (size_t i = 0; i < free_.size(); ++i)
      if (free_[i].size >= size && (best == free_.size() || free_[i].size < free_[best].size)) best = i;
    Block b;
    if (best < free_.size()) {
      b = free_[best];
      free_[best] = free_.back();
      free_.pop_back();
      Counters().workspace_cached.fetch_sub(1, std::memory_order_relaxed);
    } else {
      // Nothing fits: the largest cached block is too small for what the kernels now ask, give it back
      // so that the cache does not grow without bound.
      if (!free_.empty()) {
        auto largest = std::max_element(free_.begin(), free_.end(),
                                        [](const Block& x, const Block& y) { return x.size < y.size; });
        std::free(largest->ptr);
        *largest = free_.back();
        free_.pop_back();
        Counters().workspace_cached.fetch_sub(1, std::memory_order_relaxed);
      }
      b.size = size;
      b.ptr = std::aligned_alloc(kAlign, size);
      if (!b.ptr) return nullptr;
      Counters().workspace_sys_allocs.fetch_add(1, std::memory_order_relaxed);
    }
    try {
      used_.push_back(b);
    } catch (const std::bad_alloc&) {
      std::free(b.ptr);
      return nullptr;
    }
    Counters().workspace_in_use.fetch_add(1, std::memory_order_relaxed);
    Counters().workspace_allocs.fetch_add(1, std::memory_order_relaxed);
    return b.ptr;
  }

  // true when ptr was handed out by this pool (it is then cached again).
  bool Free(void* ptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Kernels free in the reverse order of their allocations: search from the back.
    for (size_t i = used_.size(); i-- > 0;) {
      if (used_[i].ptr != ptr) continue;
      Block b = used_[i];
      used_.erase(used_.begin() + static_cast<std::ptrdiff_t>(i));
      try {
        free_.push_back(b);
        Counters().workspace_cached.fetch_add(1, std::memory_order_relaxed);
      } catch (const std::bad_alloc&) {
        std::free(b.ptr);
      }
      Counters().workspace_in_use.fetch_sub(1, std::memory_order_relaxed);
      return true;
    }
    return false;
  }

 private:
  struct Block {
    void* ptr = nullptr;
    uint64_t size = 0;
  };
  std::mutex mutex_;  // taken by the owner on every call, by other threads only to return a block
  std::vector<Block> used_;
  std::vector<Block> free_;
};

WorkspacePool& PoolOfThisThread() {
  thread_local WorkspacePool pool;
  return pool;
}

}  // namespace
}  // namespace runtime
}  // namespace tvm

extern "C" {

void* TVMBackendAllocWorkspace(int device_type, int device_id, uint64_t nbytes, int, int) {
  char msg[160];
  if (device_type != kDLCPU || device_id < 0) {
    std::snprintf(msg, sizeof(msg), "TVMBackendAllocWorkspace: device %d:%d is not the CPU", device_type, device_id);
    TVMAPISetLastError(msg);
    return nullptr;
  }
  if (nbytes > tvm::runtime::kMaxBytes) {
    std::snprintf(msg, sizeof(msg), "TVMBackendAllocWorkspace: %llu bytes is too large",
                  static_cast<unsigned long long>(nbytes));
    TVMAPISetLastError(msg);
    return nullptr;
  }
  void* p = tvm::runtime::PoolOfThisThread().Alloc(nbytes);
  if (!p) TVMAPISetLastError("TVMBackendAllocWorkspace: out of memory");
  return p;
}

int TVMBackendFreeWorkspace(int device_type, int device_id, void* ptr) {
  using tvm::runtime::PoolList;
  if (device_type != kDLCPU || device_id < 0 || !ptr) {
    TVMAPISetLastError(!ptr ? "TVMBackendFreeWorkspace: null pointer"
                            : "TVMBackendFreeWorkspace: device is not the CPU");
    return -1;
  }
  tvm::runtime::WorkspacePool& own = tvm::runtime::PoolOfThisThread();
  if (own.Free(ptr)) return 0;
  {
    PoolList& l = PoolList::Get();
    std::lock_guard<std::mutex> lock(l.mutex);
    for (tvm::runtime::WorkspacePool* p : l.pools)
      if (p != &own && p->Free(ptr)) return 0;
  }
  TVMAPISetLastError("TVMBackendFreeWorkspace: the pointer is not a workspace in use (never allocated, or freed twice)");
  return -1;
}

}  // extern "C"
