// alloc_by_code.h - heap allocations of the benchmark process, counted by whose code asked for them.
//
// On top of alloc_counter.cpp (which takes the place of the C library's allocation functions for every
// shared object of the process), every allocation made while counting, on any thread, walks its call
// stack (backtrace) and is charged by the innermost frame that lies in libqobl.so or in libqobcrt.so:
//   - library: libqobl.so is nearer the allocation than any card frame — the library's own code and what
//     it calls in the dataset library, the op engine and the TVM runtime, also on the card's reporter
//     thread, where the card calls the library's completion function;
//   - card called by the library: libqobcrt.so is nearer, and libqobl.so is further out on the stack — the
//     card's runtime calls that the library makes (device memory, copies, run submission);
//   - card: libqobcrt.so is on the stack and libqobl.so is not — the card's engine and reporter threads
//     outside the completion function (the model's kernels included), and the benchmark's own card calls;
//   - other: neither is on the stack (the benchmark's own code, Google Benchmark).
// Walking the stack costs microseconds, so counting belongs in a phase of its own, never in a timed one.
#ifndef QOBL_BENCH_ALLOC_BY_CODE_H
#define QOBL_BENCH_ALLOC_BY_CODE_H

#include <cstdint>

namespace qoblbench {

enum AllocSource { kAllocLibrary = 0, kAllocCardForLibrary = 1, kAllocCard = 2, kAllocOther = 3, kAllocSources = 4 };

struct AllocCounts {
  uint64_t by[kAllocSources] = {};
};

// Finds the code ranges of libqobl.so and libqobcrt.so (both must be loaded: call after the first library
// call) and primes the stack walker.  False when either library is not mapped.
bool allocByCodeInit();
// Starts counting from zero on every thread.
void allocByCodeStart();
// Stops counting and returns what was counted since allocByCodeStart.
AllocCounts allocByCodeStop();

}  // namespace qoblbench

#endif  // QOBL_BENCH_ALLOC_BY_CODE_H
