// Counting allocator of the test programs (alloc_counter.h).
#include "alloc_counter.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

namespace {

std::atomic<bool> gCounting{false};
std::atomic<uint64_t> gCount{0};

inline void note() {
  if (gCounting.load(std::memory_order_relaxed)) gCount.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

namespace qobltest {

void startCountingAllocations() {
  gCount.store(0);
  gCounting.store(true);
}

uint64_t stopCountingAllocations() {
  gCounting.store(false);
  return gCount.load();
}

}  // namespace qobltest

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

#include <sanitizer/allocator_interface.h>

namespace {

void onMalloc(const volatile void*, size_t) { note(); }
void onFree(const volatile void*) {}

[[maybe_unused]] const int kHooksInstalled = __sanitizer_install_malloc_and_free_hooks(&onMalloc, &onFree);

}  // namespace

#else

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) {
  note();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  note();
  return __libc_calloc(count, size);
}
void* realloc(void* ptr, size_t size) {
  if (size != 0) note();
  return __libc_realloc(ptr, size);
}
void* memalign(size_t alignment, size_t size) {
  note();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  note();
  return __libc_memalign(alignment, size);
}
void* valloc(size_t size) {
  note();
  return __libc_memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  note();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}  // extern "C"

#endif
