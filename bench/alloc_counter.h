// Counts heap allocations of the whole process while counting is on.  The program that links
// alloc_counter.cpp replaces malloc, calloc, realloc and the aligned allocators (and with them operator
// new, which calls malloc) by counting wrappers around the C library's own.  Sanitizer builds keep their
// own allocator: there available() is false and nothing is counted.
#ifndef QOBL_BENCH_ALLOC_COUNTER_H
#define QOBL_BENCH_ALLOC_COUNTER_H

#include <cstdint>

namespace alloc_counter {

bool available();
// Starts counting from 0.
void start();
// Stops counting and returns the number of allocations since start().
uint64_t stop();

}  // namespace alloc_counter

#endif  // QOBL_BENCH_ALLOC_COUNTER_H
