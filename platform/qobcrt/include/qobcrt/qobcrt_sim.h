/*
 * qobcrt_sim.h - test support of the simulated card: exact accounting, fault injection, op delays.
 */
#ifndef QOBCRT_QOBCRT_SIM_H
#define QOBCRT_QOBCRT_SIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { QOBCRT_SIM_STREAM = 0, QOBCRT_SIM_INOUT = 1, QOBCRT_SIM_DDR_SHARE = 2, QOBCRT_SIM_APP = 3 };

typedef struct qobcrt_sim_stats {
  uint64_t live_blocks[4], live_bytes[4], allocs[4], frees[4];   /* indexed by the kinds above */
  uint64_t runs_submitted, runs_completed, runs_failed, reports_delivered;
} qobcrt_sim_stats;

int qobcrt_sim_get_stats(uint32_t dev, qobcrt_sim_stats* out);
/* The nth next call (1 = the next) of the named runtime function returns code and does nothing. */
int qobcrt_sim_fail_call(const char* call, uint32_t nth, uint32_t code);
/* The next execution of the op whose record uid (bit 31 removed) is op_uid is reported with code. */
int qobcrt_sim_fail_op(uint32_t op_uid, uint32_t code);
/* Calls of the named runtime function made so far by any thread (faulted ones included).  Together with
   qobcrt_sim_call_name a test finds every call point of a piece of work by counting, then fails each in
   turn with qobcrt_sim_fail_call. */
int qobcrt_sim_call_count(const char* call, uint64_t* count);
/* Name of the index-th runtime function that faults may name and calls are counted for (0 upwards); NULL
   past the last. */
const char* qobcrt_sim_call_name(uint32_t index);
/* 1 when the last injected call fault that fired did so on the calling thread, else 0: tells a fault met by
   the caller's own call from one met meanwhile by the card's or another thread. */
int qobcrt_sim_fault_fired_here(void);
int qobcrt_sim_clear_faults(void);
int qobcrt_sim_set_op_delay_us(uint32_t dev, uint32_t us);   /* every op on the device takes at least us */
/* Text describing why the last failing op on the device failed ("" when none failed), NUL-terminated and
   cut to size bytes. */
int qobcrt_sim_last_error(uint32_t dev, char* text, size_t size);
/* Runs one batch item of the registered model node at addr on the calling thread, as the run engine
   would (inputs / outputs as qobcrt_model_desc.run takes them, in host memory).  For benchmarks and tests
   of model runtimes without a device run around them.  Returns 0, rtErrModel for an unknown node, or
   rtErrKernel with the node's text in err (err_size bytes, NUL-terminated) when the node failed. */
int qobcrt_sim_run_model(uint32_t dev, uint64_t addr, const void* const* inputs, void* const* outputs, char* err,
                         size_t err_size);

/* The card-side execution times of the op being reported, for use inside the completion function (and so
   inside the report callbacks an application receives from it): on a device's reporter thread, during a
   call of the completion function, *start_ns and *end_ns receive when the card began and finished executing
   the reported op (op delays included), in nanoseconds of CLOCK_MONOTONIC, the clock std::chrono::
   steady_clock reads on Linux.  Returns rtErrInvalidParam for a null pointer and rtErrOthers on any other
   thread or outside such a call, leaving both outputs untouched.  Nothing is allocated.  Synchronous runs
   report nothing and so have no times. */
int qobcrt_sim_report_op_times(uint64_t* start_ns, uint64_t* end_ns);

/* Counting: runs_submitted counts every run accepted by qobcrt_run_stream or qobcrt_run_stream_sync;
   runs_completed those that ended without a failing op, runs_failed those that ended with one;
   reports_delivered the reports handed to the completion function (counted just before the call).
   live_blocks / live_bytes drop as soon as a block is freed, even when a run in flight keeps its memory
   valid a little longer. */

#ifdef __cplusplus
}
#endif
#endif /* QOBCRT_QOBCRT_SIM_H */
