// Heap allocations charged to the code that asked for them (alloc_by_code.h), seen through the observer of
// alloc_counter.cpp.
#include "alloc_by_code.h"

#include <execinfo.h>
#include <link.h>

#include <atomic>
#include <cstring>

#include "alloc_counter.h"

namespace qoblbench {

namespace {

struct Range {
  uintptr_t lo = 0, hi = 0;
};
constexpr int kRangesPerLib = 4;
Range gRanges[2][kRangesPerLib];   // executable segments of libqobl.so [0] and libqobcrt.so [1]
std::atomic<uint64_t> gCounts[kAllocSources];

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

// The observer: one allocation, charged by the frames on the stack.
void classify() {
  void* frames[96];
  const int n = backtrace(frames, 96);
  AllocSource source = kAllocOther;
  for (int i = 0; i < n; ++i) {
    const int lib = libraryOf(reinterpret_cast<uintptr_t>(frames[i]) - 1);   // the call, not the return
    if (lib == 0) {
      source = source == kAllocCard ? kAllocCardForLibrary : kAllocLibrary;
      break;
    }
    if (lib == 1) source = kAllocCard;
  }
  gCounts[source].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

bool allocByCodeInit() {
  dl_iterate_phdr(&noteObject, nullptr);
  void* frames[4];
  backtrace(frames, 4);   // the first walk loads the unwinder, which allocates
  return gRanges[0][0].hi != 0 && gRanges[1][0].hi != 0;
}

void allocByCodeStart() {
  for (auto& c : gCounts) c.store(0);
  alloc_counter::setObserver(&classify);
  alloc_counter::start();
}

AllocCounts allocByCodeStop() {
  alloc_counter::stop();
  alloc_counter::setObserver(nullptr);
  AllocCounts out;
  for (int s = 0; s < kAllocSources; ++s) out.by[s] = gCounts[s].load();
  return out;
}

}  // namespace qoblbench
