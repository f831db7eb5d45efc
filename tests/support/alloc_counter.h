// alloc_counter.h - counts the heap allocations of a whole test process (every thread) over a stretch of a
// test, so that a test can prove a path allocates nothing at steady state.
//
// Plain builds define malloc, calloc, realloc and the aligned allocation functions in the test program
// (they take the place of the C library's for every shared object; operator new calls malloc) and forward
// to the C library's allocator.  Sanitizer builds, whose runtime owns the allocator, count through the
// sanitizer's allocation hook instead.  Link the target qobl_test_alloc_counter.
#ifndef QOBL_TESTS_SUPPORT_ALLOC_COUNTER_H
#define QOBL_TESTS_SUPPORT_ALLOC_COUNTER_H

#include <cstdint>

namespace qobltest {

// Starts counting from zero.
void startCountingAllocations();
// Stops counting; returns the allocations made by any thread since startCountingAllocations.
uint64_t stopCountingAllocations();

}  // namespace qobltest

#endif  // QOBL_TESTS_SUPPORT_ALLOC_COUNTER_H
