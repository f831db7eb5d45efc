/*
 * model_kernel.h - shared helpers for the demo model kernels (C, header only).
 *
 * Every kernel is exported with the backend packed-function signature
 *   int fn(TVMValue* args, int* type_codes, int num_args, TVMValue* ret, int* ret_type_code, void* resource)
 * and receives the node's inputs, then its outputs, as DLTensor* with type code 7.  A kernel checks the
 * argument count, the type codes, the dtypes (float32, one lane) and the shapes before touching any data,
 * and returns -1 without writing anything when a check fails.  Tensors must be compact (strides null or
 * row-major); byte_offset is honoured.
 *
 * The arithmetic in the kernels is plain float32 with a fixed accumulation order; the sources are compiled
 * with -ffp-contract=off so that no multiply-add is fused and results are reproducible bit for bit.
 */
#ifndef QOBL_MODEL_KERNEL_H
#define QOBL_MODEL_KERNEL_H

#include <dlpack/dlpack.h>
#include <stddef.h>
#include <stdint.h>

/* The 64-bit value cell of the packed-function calling convention. */
typedef union {
  int64_t v_int64;
  double v_float64;
  void* v_handle;
  const char* v_str;
  DLDataType v_type;
  DLDevice v_device;
} TVMValue;

#define MK_TYPE_DLTENSOR 7
#define MK_EXPORT __attribute__((visibility("default")))
/* A shape extent that the kernel accepts with any positive value (read from the tensor). */
#define MK_ANY (-1)

/* Fetches `expected` DLTensor arguments into `out`; 0 when count and type codes are right. */
static inline int mk_get_tensors(const TVMValue* args, const int* type_codes, int num_args, int expected,
                                 DLTensor** out) {
  if (args == NULL || type_codes == NULL || num_args != expected) return -1;
  for (int i = 0; i < expected; ++i) {
    if (type_codes[i] != MK_TYPE_DLTENSOR || args[i].v_handle == NULL) return -1;
    out[i] = (DLTensor*)args[i].v_handle;
  }
  return 0;
}

/* 0 when `t` is a compact float32 tensor of rank `ndim` whose extents match `shape` (MK_ANY matches any
   positive extent). */
static inline int mk_check_f32(const DLTensor* t, int ndim, const int64_t* shape) {
  if (t->data == NULL || t->shape == NULL || t->ndim != ndim) return -1;
  if (t->dtype.code != kDLFloat || t->dtype.bits != 32 || t->dtype.lanes != 1) return -1;
  for (int d = 0; d < ndim; ++d) {
    if (t->shape[d] <= 0) return -1;
    if (shape[d] != MK_ANY && t->shape[d] != shape[d]) return -1;
  }
  if (t->strides != NULL) {
    int64_t expect = 1;
    for (int d = ndim - 1; d >= 0; --d) {
      if (t->shape[d] != 1 && t->strides[d] != expect) return -1;
      expect *= t->shape[d];
    }
  }
  if (t->byte_offset % sizeof(float) != 0) return -1;
  return 0;
}

static inline float* mk_f32(const DLTensor* t) {
  return (float*)((char*)t->data + t->byte_offset);
}

#endif /* QOBL_MODEL_KERNEL_H */
