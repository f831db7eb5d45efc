/*
 * model_backend.h - the runtime calls a kernel library reaches through its exported pointer slots, as
 * libraries that TVM compiles for the CPU do (C, header only; include it in one source per library).
 *
 * The runtime that loads the library fills the slots; a kernel that finds one empty fails with -1.
 * Errors are reported the way TVM's generated code does: the text goes to __TVMAPISetLastError, the
 * function returns -1.
 */
#ifndef QOBL_MODEL_BACKEND_H
#define QOBL_MODEL_BACKEND_H

#include <stdint.h>
#include <stdio.h>

#include "model_kernel.h"

/* Environment of one parallel launch, handed to each task. */
typedef struct {
  void* sync_handle;
  int32_t num_task;
} TVMParallelGroupEnv;

typedef int (*FTVMParallelLambda)(int task_id, TVMParallelGroupEnv* penv, void* cdata);

MK_EXPORT void* __tvm_module_ctx = NULL;
MK_EXPORT void (*__TVMAPISetLastError)(const char*) = NULL;
MK_EXPORT void* (*__TVMBackendAllocWorkspace)(int, int, uint64_t, int, int) = NULL;
MK_EXPORT int (*__TVMBackendFreeWorkspace)(int, int, void*) = NULL;
MK_EXPORT int (*__TVMBackendParallelLaunch)(FTVMParallelLambda, void*, int) = NULL;
MK_EXPORT int (*__TVMBackendParallelBarrier)(int, TVMParallelGroupEnv*) = NULL;

/* 0 when the runtime filled every slot the backend calls need. */
static inline int mk_backend_ready(void) {
  return __TVMAPISetLastError && __TVMBackendAllocWorkspace && __TVMBackendFreeWorkspace &&
                 __TVMBackendParallelLaunch && __TVMBackendParallelBarrier
             ? 0
             : -1;
}

/* Sets the last error to "<func>: <text>" and returns -1. */
static inline int mk_fail(const char* func, const char* text) {
  char msg[256];
  snprintf(msg, sizeof msg, "%s: %s", func, text);
  if (__TVMAPISetLastError) __TVMAPISetLastError(msg);
  return -1;
}

/* The entry checks of a kernel: the runtime filled its slots and the call has `expected` tensor
   arguments (fetched into `out`).  0, or -1 with the error set. */
static inline int mk_backend_tensors(const char* func, const TVMValue* args, const int* type_codes, int num_args,
                                     int expected, DLTensor** out) {
  if (mk_backend_ready() != 0) return -1;
  if (mk_get_tensors(args, type_codes, num_args, expected, out) != 0) {
    char text[64];
    snprintf(text, sizeof text, "expects %d tensor arguments", expected);
    return mk_fail(func, text);
  }
  return 0;
}

/* Task `task_id` of `num_task` takes the items [*lo, *hi) of `n`, in contiguous chunks. */
static inline void mk_task_range(int task_id, int num_task, int64_t n, int64_t* lo, int64_t* hi) {
  const int64_t per = (n + num_task - 1) / num_task;
  *lo = per * task_id < n ? per * task_id : n;
  *hi = *lo + per < n ? *lo + per : n;
}

#endif /* QOBL_MODEL_BACKEND_H */
