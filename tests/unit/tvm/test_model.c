/* A tiny model library with TVM's backend packed-function signature, used by the runtime tests. */
#include <stdint.h>
#include <string.h>
#include <tvm/runtime/c_runtime_api.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT void* __tvm_module_ctx = NULL;
EXPORT void (*__TVMAPISetLastError)(const char*) = NULL;
EXPORT void* (*__TVMBackendAllocWorkspace)(int, int, uint64_t, int, int) = NULL;
EXPORT int (*__TVMBackendFreeWorkspace)(int, int, void*) = NULL;
EXPORT int (*__TVMBackendParallelLaunch)(FTVMParallelLambda, void*, int) = NULL;
EXPORT int (*__TVMBackendParallelBarrier)(int, TVMParallelGroupEnv*) = NULL;
EXPORT int (*__TVMBackendGetFuncFromEnv)(void*, const char*, TVMFunctionHandle*) = NULL;
EXPORT int (*__TVMFuncCall)(TVMFunctionHandle, TVMValue*, int*, int, TVMValue*, int*) = NULL;

static int64_t numel(const DLTensor* t) {
  int64_t n = 1;
  for (int i = 0; i < t->ndim; ++i) n *= t->shape[i];
  return n;
}

static int fail(const char* msg) {
  if (__TVMAPISetLastError) __TVMAPISetLastError(msg);
  return -1;
}

static int tensors(TVMValue* args, int* codes, int n, int want) {
  if (n != want) return 0;
  for (int i = 0; i < n; ++i) {
    if (codes[i] != kTVMDLTensorHandle) return 0;
    const DLTensor* t = (const DLTensor*)args[i].v_handle;
    if (t->dtype.code != kDLFloat || t->dtype.bits != 32) return 0;
  }
  return 1;
}

/* y = x + w, elementwise */
EXPORT int add_param(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* rh) {
  (void)ret; (void)ret_code; (void)rh;
  if (!tensors(args, codes, n, 3)) return fail("add_param: bad arguments");
  const DLTensor *x = args[0].v_handle, *w = args[1].v_handle;
  DLTensor* y = args[2].v_handle;
  if (numel(x) != numel(w) || numel(x) != numel(y)) return fail("add_param: size mismatch");
  for (int64_t i = 0; i < numel(x); ++i) ((float*)y->data)[i] = ((float*)x->data)[i] + ((float*)w->data)[i];
  return 0;
}

/* y[0, c, h, w] = x[0, c, h, w] + b[c] */
EXPORT int add_bias(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* rh) {
  (void)ret; (void)ret_code; (void)rh;
  if (!tensors(args, codes, n, 3)) return fail("add_bias: bad arguments");
  const DLTensor *x = args[0].v_handle, *b = args[1].v_handle;
  DLTensor* y = args[2].v_handle;
  if (x->ndim != 4 || b->ndim != 1 || b->shape[0] != x->shape[1]) return fail("add_bias: bad shapes");
  int64_t plane = x->shape[2] * x->shape[3];
  for (int64_t c = 0; c < x->shape[1]; ++c)
    for (int64_t i = 0; i < plane; ++i)
      ((float*)y->data)[c * plane + i] = ((float*)x->data)[c * plane + i] + ((float*)b->data)[c];
  return 0;
}

struct scale_job {
  const float* x;
  float* y;
  float* scratch;
  int64_t n;
};

static int scale_task(int task_id, TVMParallelGroupEnv* env, void* cdata) {
  struct scale_job* j = cdata;
  int64_t per = (j->n + env->num_task - 1) / env->num_task;
  int64_t lo = per * task_id, hi = lo + per < j->n ? lo + per : j->n;
  for (int64_t i = lo; i < hi; ++i) j->scratch[i] = j->x[i] * 2.0f;
  if (__TVMBackendParallelBarrier(task_id, env) != 0) return -1;
  /* after the barrier every task sees the whole scratch: copy the mirror half to prove it */
  for (int64_t i = lo; i < hi; ++i) j->y[i] = j->scratch[i];
  return 0;
}

/* y = 2 x, through a workspace and a two-task parallel launch */
EXPORT int scale2(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* rh) {
  (void)ret; (void)ret_code; (void)rh;
  if (!tensors(args, codes, n, 2)) return fail("scale2: bad arguments");
  if (!__TVMBackendAllocWorkspace || !__TVMBackendParallelLaunch || !__TVMBackendParallelBarrier)
    return fail("scale2: runtime pointers not filled");
  const DLTensor* x = args[0].v_handle;
  DLTensor* y = args[1].v_handle;
  struct scale_job j;
  j.n = numel(x);
  j.x = x->data;
  j.y = y->data;
  j.scratch = __TVMBackendAllocWorkspace(kDLCPU, 0, (uint64_t)j.n * 4, kDLFloat, 32);
  if (!j.scratch || ((uintptr_t)j.scratch % 64) != 0) return fail("scale2: bad workspace");
  int r = __TVMBackendParallelLaunch(scale_task, &j, 2);
  __TVMBackendFreeWorkspace(kDLCPU, 0, j.scratch);
  return r == 0 ? 0 : fail("scale2: parallel launch failed");
}

/* y = x + f(41) - 42 where f is the global "test.plus_one", found through the module context */
EXPORT int call_env(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* rh) {
  (void)ret; (void)ret_code; (void)rh;
  if (!tensors(args, codes, n, 2)) return fail("call_env: bad arguments");
  if (!__TVMBackendGetFuncFromEnv || !__TVMFuncCall || !__tvm_module_ctx) return fail("call_env: no context");
  TVMFunctionHandle f = NULL;
  if (__TVMBackendGetFuncFromEnv(__tvm_module_ctx, "test.plus_one", &f) != 0) return -1;
  TVMValue a, r;
  int ac = kTVMArgInt, rc = kTVMNullptr;
  a.v_int64 = 41;
  if (__TVMFuncCall(f, &a, &ac, 1, &r, &rc) != 0) return -1;
  if (rc != kTVMArgInt) return fail("call_env: result is not an int");
  const DLTensor* x = args[0].v_handle;
  DLTensor* y = args[1].v_handle;
  for (int64_t i = 0; i < numel(x); ++i) ((float*)y->data)[i] = ((float*)x->data)[i] + (float)(r.v_int64 - 42);
  return 0;
}

/* Names as TVM 0.8 and later write them, and a function reached through the module context:
   y = 2 x by calling scale2 of this library through TVMBackendGetFuncFromEnv and TVMFuncCall. */
EXPORT int tvmgen_default_fused_scale2_env(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* rh) {
  (void)ret; (void)ret_code; (void)rh;
  if (!tensors(args, codes, n, 2)) return fail("tvmgen_default_fused_scale2_env: bad arguments");
  if (!__TVMBackendGetFuncFromEnv || !__TVMFuncCall || !__tvm_module_ctx) return fail("no module context");
  TVMFunctionHandle f = NULL;
  if (__TVMBackendGetFuncFromEnv(__tvm_module_ctx, "scale2", &f) != 0) return -1;
  TVMValue r;
  int rc = kTVMNullptr;
  return __TVMFuncCall(f, args, codes, n, &r, &rc);
}

/* The library's entry function, by name. */
EXPORT const char __tvm_main__[] = "tvmgen_default_fused_scale2_env";
