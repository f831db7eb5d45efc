/*
 * tvm/runtime/c_runtime_api.h - the C side of the TVM runtime: value unions, type codes and the C calls
 * through which compiled model libraries reach the runtime.  Compiles as C and C++.
 *
 * DLPack types (DLDevice, DLDataType, DLTensor, kDLCPU, ...) come from dlpack/dlpack.h.
 */
#ifndef TVM_RUNTIME_C_RUNTIME_API_H_
#define TVM_RUNTIME_C_RUNTIME_API_H_

#include <dlpack/dlpack.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef TVM_DLL
#define TVM_DLL __attribute__((visibility("default")))
#endif

/* Type codes of the values in a packed call.  0..4 share their values with DLDataTypeCode. */
typedef enum {
  kTVMArgInt = kDLInt,              /* 0 */
  kTVMArgFloat = kDLFloat,          /* 2 */
  kTVMOpaqueHandle = 3,
  kTVMNullptr = 4,
  kTVMDataType = 5,
  kDLDevice = 6,
  kTVMDLTensorHandle = 7,
  kTVMObjectHandle = 8,
  kTVMModuleHandle = 9,
  kTVMPackedFuncHandle = 10,
  kTVMStr = 11,
  kTVMBytes = 12,
  kTVMNDArrayHandle = 13,
  kTVMExtBegin = 15
} TVMArgTypeCode;

typedef DLTensor* TVMArrayHandle;
typedef void* TVMModuleHandle;
typedef void* TVMFunctionHandle;
typedef void* TVMRetValueHandle;

/* One argument or result of a packed call: 64 bits. */
typedef union {
  int64_t v_int64;
  double v_float64;
  void* v_handle;
  const char* v_str;
  DLDataType v_type;
  DLDevice v_device;
} TVMValue;

/* Binary-safe byte string passed with type code kTVMBytes. */
typedef struct {
  const char* data;
  size_t size;
} TVMByteArray;

/* Signature of every function a model library exports (and of the runtime's backend calls). */
typedef int (*TVMBackendPackedCFunc)(TVMValue* args, int* type_codes, int num_args, TVMValue* out_ret_value,
                                     int* out_ret_tcode, void* resource_handle);

/* Environment handed to the tasks of a parallel launch. */
typedef struct {
  void* sync_handle;
  int32_t num_task;
} TVMParallelGroupEnv;

typedef int (*FTVMParallelLambda)(int task_id, TVMParallelGroupEnv* penv, void* cdata);

/* Last error text of the calling thread ("" when none).  Valid until the thread's next runtime call. */
TVM_DLL const char* TVMGetLastError(void);
/* Sets the calling thread's last error text (copied). */
TVM_DLL void TVMAPISetLastError(const char* msg);

/* Calls a function handle obtained from TVMBackendGetFuncFromEnv or TVMFuncGetGlobal.  Results of type
   string stay valid until the thread's next call; object results are not supported (returns -1). */
TVM_DLL int TVMFuncCall(TVMFunctionHandle func, TVMValue* arg_values, int* type_codes, int num_args,
                        TVMValue* ret_val, int* ret_type_code);
/* Finds a registered global function; *out is NULL when there is none.  The handle stays valid while
   the function stays registered. */
TVM_DLL int TVMFuncGetGlobal(const char* name, TVMFunctionHandle* out);

#ifdef __cplusplus
}
#endif
#endif /* TVM_RUNTIME_C_RUNTIME_API_H_ */
