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

/* Defines an exported kernel `name` with the backend packed-function signature; its body reads `args`,
   `type_codes` and `num_args` (no kernel returns a value through `ret`). */
#define MK_KERNEL(name)                                                                                   \
  MK_EXPORT int name(TVMValue* args, int* type_codes, int num_args, TVMValue* ret __attribute__((unused)), \
                     int* ret_type_code __attribute__((unused)), void* resource_handle __attribute__((unused)))

/* Checks the four tensors of a 2-d convolution with bias, t = {data, weight, bias, out}: data
   [N, c_in, h, w], weight [c_out, c_in, k, k], bias [c_out], out [N, c_out, h, w] ("same" padding), all
   compact float32, with data and out agreeing on N, h and w (h or w may be MK_ANY).  0 when they fit. */
static inline int mk_check_conv2d(DLTensor* const* t, int64_t c_in, int64_t c_out, int64_t k, int64_t h, int64_t w) {
  const int64_t s_in[4] = {MK_ANY, c_in, h, w};
  const int64_t s_w[4] = {c_out, c_in, k, k};
  const int64_t s_b[1] = {c_out};
  const int64_t s_out[4] = {MK_ANY, c_out, h, w};
  if (mk_check_f32(t[0], 4, s_in) || mk_check_f32(t[1], 4, s_w) || mk_check_f32(t[2], 1, s_b) ||
      mk_check_f32(t[3], 4, s_out))
    return -1;
  for (int d = 0; d < 4; ++d) {
    if (d != 1 && t[0]->shape[d] != t[3]->shape[d]) return -1;
  }
  return 0;
}

/* 1x1 convolution with bias over checked tensors t = {data, weight, bias, out} (mk_check_conv2d with
   k = 1), optionally followed by relu.  Per output element: the products summed over input channels in
   order, then the bias added. */
static inline void mk_conv1x1_bias(DLTensor* const* t, int relu) {
  const int64_t n_items = t[0]->shape[0], c_in = t[0]->shape[1], c_out = t[3]->shape[1];
  const int64_t hw = t[0]->shape[2] * t[0]->shape[3];
  const float* in = mk_f32(t[0]);
  const float* w = mk_f32(t[1]);
  const float* b = mk_f32(t[2]);
  float* out = mk_f32(t[3]);
  for (int64_t n = 0; n < n_items; ++n) {
    const float* img = in + n * c_in * hw;
    float* dst = out + n * c_out * hw;
    for (int64_t co = 0; co < c_out; ++co) {
      for (int64_t p = 0; p < hw; ++p) {
        float acc = 0.0f;
        for (int64_t ci = 0; ci < c_in; ++ci) acc += img[ci * hw + p] * w[co * c_in + ci];
        acc += b[co];
        dst[co * hw + p] = (relu && !(acc > 0.0f)) ? 0.0f : acc;
      }
    }
  }
}

#endif /* QOBL_MODEL_KERNEL_H */
