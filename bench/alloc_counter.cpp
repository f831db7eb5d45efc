// Counting replacements of the C library's allocation functions, or the sanitizer's allocation hook in
// sanitizer builds (see alloc_counter.h).
#include "alloc_counter.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace {
std::atomic<bool> g_on{false};
std::atomic<uint64_t> g_count{0};
std::atomic<void (*)()> g_observer{nullptr};
thread_local bool t_observing = false;   // the observer's own allocations are not seen again

inline void count() {
  if (!g_on.load(std::memory_order_relaxed) || t_observing) return;
  g_count.fetch_add(1, std::memory_order_relaxed);
  if (void (*fn)() = g_observer.load(std::memory_order_relaxed)) {
    t_observing = true;
    fn();
    t_observing = false;
  }
}
}  // namespace

namespace alloc_counter {
bool available() { return true; }
void start() {
  g_count.store(0);
  g_on.store(true);
}
uint64_t stop() {
  g_on.store(false);
  return g_count.load();
}
void setObserver(void (*fn)()) { g_observer.store(fn); }
}  // namespace alloc_counter

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

// The sanitizer runtime's hook (declared here: not every compiler installs its sanitizer headers).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));

namespace {
void onMalloc(const volatile void*, size_t) { count(); }
void onFree(const volatile void*) {}
[[maybe_unused]] const int g_hooks = __sanitizer_install_malloc_and_free_hooks(&onMalloc, &onFree);
}  // namespace

#else

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
void* valloc(size_t n) {
  count();
  return __libc_memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), n);
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
