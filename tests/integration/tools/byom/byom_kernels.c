/*
 * byom_kernels.c - the kernels of a small model of one's own, as docs/bring_your_own_model.md packages it:
 *
 *   data uint8 [N,4] -> byom_scale (x w, w float32 [4]) -> scaled float32 [N,4] -> byom_sum -> sum [N,1]
 *
 * plus byom_zero, which zero-fills an output of any type and shape, for graphs of other dtypes.
 *
 * Each kernel is exported with TVM's backend packed-function signature and receives its node's inputs,
 * then its output, as DLTensor* (type code 7).  It checks what it is given and returns -1 without writing
 * when something does not fit, 0 on success.
 */
#include <stdint.h>
#include <tvm/runtime/c_runtime_api.h>   /* TVMValue, kTVMDLTensorHandle, DLTensor; installed with qobl */

#define EXPORT __attribute__((visibility("default")))
enum { kWidth = 4 };

/* The i-th argument as a compact tensor of rank 2 (or 1 when `rank` is 1) of the given type, or NULL. */
static DLTensor* tensor(TVMValue* args, int* codes, int i, int rank, uint8_t code, uint8_t bits) {
  DLTensor* t = codes[i] == kTVMDLTensorHandle ? (DLTensor*)args[i].v_handle : 0;
  if (t == 0 || t->data == 0 || t->ndim != rank || t->dtype.code != code || t->dtype.bits != bits ||
      t->dtype.lanes != 1 || t->strides != 0)
    return 0;
  return t;
}

/* args: data uint8 [N,4], w float32 [4], out float32 [N,4] */
EXPORT int byom_scale(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* resource) {
  (void)ret, (void)ret_code, (void)resource;
  if (n != 3) return -1;
  DLTensor* in = tensor(args, codes, 0, 2, kDLUInt, 8);
  DLTensor* w = tensor(args, codes, 1, 1, kDLFloat, 32);
  DLTensor* out = tensor(args, codes, 2, 2, kDLFloat, 32);
  if (in == 0 || w == 0 || out == 0 || in->shape[1] != kWidth || w->shape[0] != kWidth ||
      out->shape[0] != in->shape[0] || out->shape[1] != kWidth)
    return -1;
  const uint8_t* x = (const uint8_t*)in->data + in->byte_offset;
  const float* wv = (const float*)((char*)w->data + w->byte_offset);
  float* y = (float*)((char*)out->data + out->byte_offset);
  for (int64_t i = 0; i < in->shape[0] * kWidth; ++i) y[i] = (float)x[i] * wv[i % kWidth];
  return 0;
}

/* args: in float32 [N,4], out float32 [N,1] */
EXPORT int byom_sum(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* resource) {
  (void)ret, (void)ret_code, (void)resource;
  if (n != 2) return -1;
  DLTensor* in = tensor(args, codes, 0, 2, kDLFloat, 32);
  DLTensor* out = tensor(args, codes, 1, 2, kDLFloat, 32);
  if (in == 0 || out == 0 || in->shape[1] != kWidth || out->shape[0] != in->shape[0] || out->shape[1] != 1)
    return -1;
  const float* x = (const float*)((char*)in->data + in->byte_offset);
  float* y = (float*)((char*)out->data + out->byte_offset);
  for (int64_t r = 0; r < in->shape[0]; ++r) {
    float s = 0;
    for (int c = 0; c < kWidth; ++c) s += x[r * kWidth + c];
    y[r] = s;
  }
  return 0;
}

/* args: any tensors, then the output, of any type and shape: the output is filled with zero bytes.  Lets a
 * description of any dtypes and shapes be loaded and run. */
EXPORT int byom_zero(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* resource) {
  (void)ret, (void)ret_code, (void)resource;
  if (n < 1 || codes[n - 1] != kTVMDLTensorHandle) return -1;
  DLTensor* out = (DLTensor*)args[n - 1].v_handle;
  if (out == 0 || out->data == 0 || out->strides != 0) return -1;
  int64_t bytes = (out->dtype.bits * out->dtype.lanes + 7) / 8;
  for (int d = 0; d < out->ndim; ++d) bytes *= out->shape[d];
  char* y = (char*)out->data + out->byte_offset;
  for (int64_t i = 0; i < bytes; ++i) y[i] = 0;
  return 0;
}
