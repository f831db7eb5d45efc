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
/* 64-byte aligned scratch memory; freed with TVMBackendFreeWorkspace.  NULL when nbytes cannot be had. */
TVM_DLL void* TVMBackendAllocWorkspace(int device_type, int device_id, uint64_t nbytes, int dtype_code_hint,
                                       int dtype_bits_hint);
TVM_DLL int TVMBackendFreeWorkspace(int device_type, int device_id, void* ptr);
/* Runs flambda(task_id, env, cdata) for task ids 0..n-1 on n threads (the caller runs task 0) and returns
   when all are done; n = num_task, or 1 when num_task <= 0.  Returns 0, or -1 when a task returned non-zero. */
TVM_DLL int TVMBackendParallelLaunch(FTVMParallelLambda flambda, void* cdata, int num_task);
/* Waits until every task of the launch reached the barrier. */
TVM_DLL int TVMBackendParallelBarrier(int task_id, TVMParallelGroupEnv* penv);

#ifdef __cplusplus
}
#endif
#endif /* TVM_RUNTIME_C_BACKEND_API_H_ */
