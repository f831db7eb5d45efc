/* Kernels for graphs of the shapes compilers produce: shared storage, several outputs per node, element
   types other than float32, failing kernels, and parallel work with scratch memory.  Each kernel checks
   its arguments the way generated code does (count, type codes, device, element type, compact layout,
   64-byte alignment) and fails with a text when they are wrong. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <tvm/runtime/c_runtime_api.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT void* __tvm_module_ctx = NULL;
EXPORT void (*__TVMAPISetLastError)(const char*) = NULL;
EXPORT void* (*__TVMBackendAllocWorkspace)(int, int, uint64_t, int, int) = NULL;
EXPORT int (*__TVMBackendFreeWorkspace)(int, int, void*) = NULL;
EXPORT int (*__TVMBackendParallelLaunch)(FTVMParallelLambda, void*, int) = NULL;
EXPORT int (*__TVMBackendParallelBarrier)(int, TVMParallelGroupEnv*) = NULL;

static int fail(const char* msg) {
  if (__TVMAPISetLastError) __TVMAPISetLastError(msg);
  return -1;
}

static int64_t numel(const DLTensor* t) {
  int64_t n = 1;
  for (int i = 0; i < t->ndim; ++i) n *= t->shape[i];
  return n;
}

/* The n arguments are tensors of the element types in `types` ("f32", "i8", "u8", "i32", "f16", one
   three-letter code per argument). */
static const char* bad_args(TVMValue* args, int* codes, int n, const char* types) {
  static const struct {
    const char* name;
    uint8_t code, bits;
  } kinds[] = {{"f32", kDLFloat, 32}, {"i8 ", kDLInt, 8}, {"u8 ", kDLUInt, 8}, {"i32", kDLInt, 32}, {"f16", kDLFloat, 16}};
  if ((size_t)n * 3 != strlen(types)) return "wrong argument count";
  for (int i = 0; i < n; ++i) {
    if (codes[i] != kTVMDLTensorHandle) return "argument is not a tensor";
    const DLTensor* t = (const DLTensor*)args[i].v_handle;
    if (t->device.device_type != kDLCPU || t->device.device_id != 0) return "tensor is not on the CPU";
    if (t->strides != NULL || t->byte_offset != 0) return "tensor is not compact";
    if (((uintptr_t)t->data & 63) != 0) return "tensor data is not 64-byte aligned";
    if (t->ndim > 0 && t->shape == NULL) return "tensor has no shape";
    int ok = 0;
    for (size_t k = 0; k < sizeof(kinds) / sizeof(kinds[0]); ++k)
      if (memcmp(types + 3 * i, kinds[k].name, 3) == 0)
        ok = t->dtype.code == kinds[k].code && t->dtype.bits == kinds[k].bits && t->dtype.lanes == 1;
    if (!ok) return "tensor has the wrong element type";
  }
  return NULL;
}

#define ARGS(types)                                     \
  (void)ret; (void)ret_code; (void)rh;                  \
  do {                                                  \
    const char* why = bad_args(args, codes, n, types);  \
    if (why) return fail(why);                          \
  } while (0)
#define KERNEL(name) EXPORT int name(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* rh)
#define T(i) ((DLTensor*)args[i].v_handle)

/* y = a + b (float32) */
KERNEL(add_f32) {
  ARGS("f32f32f32");
  if (numel(T(0)) != numel(T(2)) || numel(T(1)) != numel(T(2))) return fail("add_f32: sizes differ");
  for (int64_t i = 0; i < numel(T(2)); ++i)
    ((float*)T(2)->data)[i] = ((float*)T(0)->data)[i] + ((float*)T(1)->data)[i];
  return 0;
}

/* y = x + 1 (float32); y may be x itself */
KERNEL(add_one) {
  ARGS("f32f32");
  if (numel(T(0)) != numel(T(1))) return fail("add_one: sizes differ");
  for (int64_t i = 0; i < numel(T(1)); ++i) ((float*)T(1)->data)[i] = ((float*)T(0)->data)[i] + 1.0f;
  return 0;
}

/* Two outputs: y0 = x + 1, y1 = -x (float32) */
KERNEL(split_pair) {
  ARGS("f32f32f32");
  if (numel(T(0)) != numel(T(1)) || numel(T(0)) != numel(T(2))) return fail("split_pair: sizes differ");
  for (int64_t i = 0; i < numel(T(0)); ++i) {
    float x = ((float*)T(0)->data)[i];
    ((float*)T(1)->data)[i] = x + 1.0f;
    ((float*)T(2)->data)[i] = -x;
  }
  return 0;
}

/* y = x followed by x again: y has twice x's elements (float32) */
KERNEL(twice) {
  ARGS("f32f32");
  int64_t m = numel(T(0));
  if (numel(T(1)) != 2 * m) return fail("twice: the output must be twice the input");
  memmove(T(1)->data, T(0)->data, (size_t)m * 4);
  memmove((float*)T(1)->data + m, T(0)->data, (size_t)m * 4);
  return 0;
}

/* y = a + b, wrapping (int8) */
KERNEL(add_i8) {
  ARGS("i8 i8 i8 ");
  if (numel(T(0)) != numel(T(2)) || numel(T(1)) != numel(T(2))) return fail("add_i8: sizes differ");
  for (int64_t i = 0; i < numel(T(2)); ++i)
    ((int8_t*)T(2)->data)[i] = (int8_t)(((int8_t*)T(0)->data)[i] + ((int8_t*)T(1)->data)[i]);
  return 0;
}

/* y = 1000 x, widened to int32 from int8 or uint8 */
static int widen(TVMValue* args, int is_signed) {
  for (int64_t i = 0; i < numel(T(1)); ++i) {
    int32_t v = is_signed ? ((int8_t*)T(0)->data)[i] : ((uint8_t*)T(0)->data)[i];
    ((int32_t*)T(1)->data)[i] = v * 1000;
  }
  return numel(T(0)) == numel(T(1)) ? 0 : fail("widen: sizes differ");
}
KERNEL(widen_i8) {
  ARGS("i8 i32");
  return widen(args, 1);
}
KERNEL(widen_u8) {
  ARGS("u8 i32");
  return widen(args, 0);
}

/* y = -x on float16 storage (the sign bit) */
KERNEL(neg_f16) {
  ARGS("f16f16");
  if (numel(T(0)) != numel(T(1))) return fail("neg_f16: sizes differ");
  for (int64_t i = 0; i < numel(T(1)); ++i) ((uint16_t*)T(1)->data)[i] = ((uint16_t*)T(0)->data)[i] ^ 0x8000u;
  return 0;
}

/* Fails with a text of its own. */
KERNEL(fail_text) {
  (void)args; (void)codes; (void)n; (void)ret; (void)ret_code; (void)rh;
  return fail("fail_text: the weights are not what this kernel was built for");
}

/* Fails without a text. */
KERNEL(fail_quiet) {
  (void)args; (void)codes; (void)n; (void)ret; (void)ret_code; (void)rh;
  return -1;
}

struct sum_job {
  const float* x;
  float* y;
  float* partial; /* one per task */
  int64_t n;
};

static int sum_task(int task_id, TVMParallelGroupEnv* env, void* cdata) {
  struct sum_job* j = cdata;
  int64_t per = (j->n + env->num_task - 1) / env->num_task;
  int64_t lo = per * task_id, hi = lo + per < j->n ? lo + per : j->n;
  /* scratch taken and given back on the task's own thread, as generated code does in parallel bodies */
  float* scratch = __TVMBackendAllocWorkspace(kDLCPU, 0, (uint64_t)(per > 0 ? per : 1) * 4, kDLFloat, 32);
  if (!scratch) return -1;
  float s = 0;
  for (int64_t i = lo; i < hi; ++i) s += (scratch[i - lo] = j->x[i]);
  j->partial[task_id] = s;
  if (__TVMBackendFreeWorkspace(kDLCPU, 0, scratch) != 0) return -1;
  if (__TVMBackendParallelBarrier(task_id, env) != 0) return -1;
  float total = 0;
  for (int t = 0; t < env->num_task; ++t) total += j->partial[t];
  for (int64_t i = lo; i < hi; ++i) j->y[i] = j->x[i] + total;
  return 0;
}

/* y[i] = x[i] + sum(x) (float32): a launch with num_task 0 (the runtime's thread count), scratch taken in
   the tasks, a barrier between the two halves, and two workspaces given back in the order they were
   taken. */
KERNEL(add_sum) {
  ARGS("f32f32");
  if (!__TVMBackendAllocWorkspace || !__TVMBackendParallelLaunch || !__TVMBackendParallelBarrier ||
      !__TVMBackendFreeWorkspace || !__tvm_module_ctx)
    return fail("add_sum: runtime pointers not filled");
  struct sum_job j;
  j.x = T(0)->data;
  j.y = T(1)->data;
  j.n = numel(T(0));
  if (numel(T(1)) != j.n) return fail("add_sum: sizes differ");
  j.partial = __TVMBackendAllocWorkspace(kDLCPU, 0, 256 * sizeof(float), kDLFloat, 32);
  void* unused = __TVMBackendAllocWorkspace(kDLCPU, 0, 1000, kDLFloat, 32);
  if (!j.partial || !unused) return -1;
  int r = __TVMBackendParallelLaunch(sum_task, &j, 0);
  if (__TVMBackendFreeWorkspace(kDLCPU, 0, j.partial) != 0 || __TVMBackendFreeWorkspace(kDLCPU, 0, unused) != 0)
    return -1;
  return r;
}
