// Counting allocator of the benchmark program (alloc_count.h): the allocation functions defined here take
// the place of the C library's for the whole process and forward to the C library's allocator.
#include "alloc_count.h"

#include <errno.h>
#include <execinfo.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace qoblbench {

namespace {

struct Range {
  uintptr_t lo = 0, hi = 0;
};
constexpr int kRangesPerLib = 4;
Range gRanges[2][kRangesPerLib];   // executable segments of libqobl.so [0] and libqobcrt.so [1]
std::atomic<bool> gCounting{false};
std::atomic<uint64_t> gCounts[kAllocSources];
thread_local bool tInside = false;   // this thread is already classifying (backtrace may allocate)

int noteObject(dl_phdr_info* info, size_t, void*) {
  const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  const char* base = std::strrchr(name, '/');
  base = base != nullptr ? base + 1 : name;
  int lib = -1;
  if (std::strncmp(base, "libqobl.so", 10) == 0) lib = 0;
  if (std::strncmp(base, "libqobcrt.so", 12) == 0) lib = 1;
  if (lib < 0) return 0;
  int n = 0;
  for (int i = 0; i < info->dlpi_phnum && n < kRangesPerLib; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0) continue;
    gRanges[lib][n].lo = info->dlpi_addr + ph.p_vaddr;
    gRanges[lib][n].hi = gRanges[lib][n].lo + ph.p_memsz;
    ++n;
  }
  return 0;
}

int libraryOf(uintptr_t pc) {
  for (int lib = 0; lib < 2; ++lib)
    for (const Range& r : gRanges[lib])
      if (pc >= r.lo && pc < r.hi) return lib;
  return -1;
}

void note() {
  if (!gCounting.load(std::memory_order_relaxed) || tInside) return;
  tInside = true;
  void* frames[96];
  const int n = backtrace(frames, 96);
  AllocSource source = kAllocOther;
  for (int i = 0; i < n; ++i) {
    const int lib = libraryOf(reinterpret_cast<uintptr_t>(frames[i]) - 1);   // the call, not the return
    if (lib == 0 && source == kAllocOther) {
      source = kAllocLibrary;
      break;
    }
    if (lib == 1 && source == kAllocOther) source = kAllocCard;
    if (lib == 0 && source == kAllocCard) {
      source = kAllocCardForLibrary;
      break;
    }
  }
  gCounts[source].fetch_add(1, std::memory_order_relaxed);
  tInside = false;
}

}  // namespace

bool allocCountInit() {
  dl_iterate_phdr(&noteObject, nullptr);
  void* frames[4];
  backtrace(frames, 4);   // the first walk loads the unwinder, which allocates
  return gRanges[0][0].hi != 0 && gRanges[1][0].hi != 0;
}

void allocCountStart() {
  for (auto& c : gCounts) c.store(0);
  gCounting.store(true);
}

AllocCounts allocCountStop() {
  gCounting.store(false);
  AllocCounts out;
  for (int s = 0; s < kAllocSources; ++s) out.by[s] = gCounts[s].load();
  return out;
}

}  // namespace qoblbench

extern "C" {

void* malloc(size_t size) {
  qoblbench::note();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  qoblbench::note();
  return __libc_calloc(count, size);
}

void* realloc(void* ptr, size_t size) {
  if (size != 0) qoblbench::note();
  return __libc_realloc(ptr, size);
}

void* memalign(size_t alignment, size_t size) {
  qoblbench::note();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  qoblbench::note();
  return __libc_memalign(alignment, size);
}

void* valloc(size_t size) {
  qoblbench::note();
  return __libc_memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  qoblbench::note();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"
