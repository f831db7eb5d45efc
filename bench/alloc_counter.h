// Counts heap allocations of the whole process while counting is on.  The program that links
// alloc_counter.cpp replaces malloc, calloc, realloc and the aligned allocators (and with them operator
// new, which calls malloc) by counting wrappers around the C library's own.  Sanitizer builds keep their
// own allocator and count through the sanitizer's allocation hook instead.  Tests link it too, to prove a
// path allocates nothing at steady state.
#ifndef QOBL_BENCH_ALLOC_COUNTER_H
#define QOBL_BENCH_ALLOC_COUNTER_H

#include <cstdint>

namespace alloc_counter {

// True when allocations are counted in this build.
bool available();
// Starts counting from 0.
void start();
// Stops counting and returns the number of allocations since start().
uint64_t stop();
// While counting, fn (if not null) is also called for every allocation, on the allocating thread, before
// the memory is taken; it must not allocate (an allocation it makes is neither counted nor observed).
void setObserver(void (*fn)());

}  // namespace alloc_counter

#endif  // QOBL_BENCH_ALLOC_COUNTER_H
