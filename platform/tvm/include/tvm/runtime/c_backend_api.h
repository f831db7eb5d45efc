/*
 * tvm/runtime/c_backend_api.h - calls that compiled model code makes into the runtime.  A library loaded
 * with Module::LoadFromFile reaches them through its exported pointer variables (__TVMBackendAllocWorkspace
 * and so on), which the loader fills when the library has them.
 */
#ifndef TVM_RUNTIME_C_BACKEND_API_H_
#define TVM_RUNTIME_C_BACKEND_API_H_

#include <tvm/runtime/c_runtime_api.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Finds a function of the library whose context is mod_node (the value the loader put in the library's
   __tvm_module_ctx), or else a global function.  *func stays valid while the library stays loaded.
   Returns 0, or -1 with the last error set. */
TVM_DLL int TVMBackendGetFuncFromEnv(void* mod_node, const char* func_name, TVMFunctionHandle* func);
/* 64-byte aligned scratch memory for a kernel, from the calling thread's workspace pool (see
   tvm/runtime/threading_backend.h); device_type must be kDLCPU.  NULL with the last error set when the
   size cannot be had.  Free it with TVMBackendFreeWorkspace, normally on the same thread. */
TVM_DLL void* TVMBackendAllocWorkspace(int device_type, int device_id, uint64_t nbytes, int dtype_code_hint,
                                       int dtype_bits_hint);
/* Gives a block back to its pool.  Returns 0, or -1 with the last error set for a pointer that is not a
   workspace in use. */
TVM_DLL int TVMBackendFreeWorkspace(int device_type, int device_id, void* ptr);
/* Runs flambda(task_id, env, cdata) for task ids 0..n-1 at once and returns when all have returned.
   n = the pool size when num_task is 0, else min(num_task, pool size); the calling thread runs task 0,
   the pool's workers the others.  env->num_task is n: a kernel splits its work by it.  A launch from
   inside a task, or with a pool of one thread, runs inline as one task (n = 1).  Returns 0, or -1 when a
   task returned non-zero; the last error then names the first failed task and carries the error text
   that task set (TVMAPISetLastError on its own thread).  num_task < 0 or a null lambda: -1. */
TVM_DLL int TVMBackendParallelLaunch(FTVMParallelLambda flambda, void* cdata, int num_task);
/* Waits until every task of the launch that is still running reached the barrier; a barrier can be
   passed any number of times.  Returns 0, or -1 once a task of the launch failed (the waiting tasks are
   released so that they can give up), or for an env that is not a launch's. */
TVM_DLL int TVMBackendParallelBarrier(int task_id, TVMParallelGroupEnv* penv);

#ifdef __cplusplus
}
#endif
#endif /* TVM_RUNTIME_C_BACKEND_API_H_ */
