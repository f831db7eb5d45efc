/*
 * tvm/runtime/threading_backend.h - the worker pool behind TVMBackendParallelLaunch and the workspace
 * pools behind TVMBackendAllocWorkspace, as seen by a host program.
 *
 * Threads: every thread that launches parallel work gets its own persistent pool of MaxConcurrency()
 * threads (itself plus MaxConcurrency() - 1 workers started on its first launch and kept until the thread
 * ends).  The size is TVM_NUM_THREADS when that is a whole number from 1 to 256, else the number of cores
 * the process may run on (its CPU affinity), at most 256.  The global function "runtime.config_threadpool"
 * (mode, nthreads) changes it for every pool (nthreads 0: back to the default; mode is accepted and
 * ignored: no pinning) and "runtime.NumThreads" returns it.
 *
 * Workspaces: each thread keeps the blocks it was given by TVMBackendAllocWorkspace once they are freed
 * and hands them out again, so a kernel that asks for the same sizes on every call gets its memory from
 * the pool after the first call.  Blocks go back to the system when their thread ends.
 */
#ifndef TVM_RUNTIME_THREADING_BACKEND_H_
#define TVM_RUNTIME_THREADING_BACKEND_H_

#include <tvm/runtime/c_runtime_api.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Counters of the backend calls since the process started (all threads together). */
typedef struct {
  uint64_t launches;              /* TVMBackendParallelLaunch calls that ran on a pool */
  uint64_t inline_launches;       /* calls run on the calling thread alone (pool of 1, or nested) */
  uint64_t failed_launches;       /* calls that returned -1 */
  uint64_t workers_started;       /* pool threads ever started */
  uint64_t workspace_allocs;      /* TVMBackendAllocWorkspace calls that returned a block */
  uint64_t workspace_sys_allocs;  /* ... of which took fresh memory from the system */
  uint64_t workspace_in_use;      /* blocks handed out and not yet freed */
  uint64_t workspace_cached;      /* freed blocks kept for reuse */
} TVMBackendStats;

/* Fills *out (no-op on NULL). */
TVM_DLL void TVMBackendGetStats(TVMBackendStats* out);

#ifdef __cplusplus
}  /* extern "C" */

namespace tvm {
namespace runtime {
namespace threading {

/* Size of the pools now (see above). */
int MaxConcurrency();
/* The size TVM_NUM_THREADS or the process's cores give, read now. */
int DefaultConcurrency();
/* Sets the size of every pool (each pool is rebuilt at its thread's next launch); 0 or less: the
   default. */
void Configure(int nthreads);

}  // namespace threading
}  // namespace runtime
}  // namespace tvm
#endif

#endif /* TVM_RUNTIME_THREADING_BACKEND_H_ */
