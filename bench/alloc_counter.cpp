// Counting replacements of the C library's allocation functions (see alloc_counter.h).
#include "alloc_counter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QOBL_ALLOC_COUNTER 0
#else
#define QOBL_ALLOC_COUNTER 1
#endif

namespace {
std::atomic<bool> g_on{false};
std::atomic<uint64_t> g_count{0};
inline void count() {
  if (g_on.load(std::memory_order_relaxed)) g_count.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

namespace alloc_counter {
bool available() { return QOBL_ALLOC_COUNTER != 0; }
void start() {
  g_count.store(0);
  g_on.store(true);
}
uint64_t stop() {
  g_on.store(false);
  return g_count.load();
}
}  // namespace alloc_counter

#if QOBL_ALLOC_COUNTER
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t n) {
  count();
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
  count();
  return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
  count();
  return __libc_realloc(p, n);
}
void* memalign(size_t a, size_t n) {
  count();
  return __libc_memalign(a, n);
}
void* aligned_alloc(size_t a, size_t n) {
  count();
  return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
  if (a < sizeof(void*) || (a & (a - 1)) != 0) return EINVAL;
  count();
  void* p = __libc_memalign(a, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}  // extern "C"
#endif
