/*
 * qobcrt_preproc.h - the configuration block of the pre-processing op the card executes (op records with
 * type id QOBCRT_PREPROC_TYPE_ID = 30000) and the reference arithmetic the card applies.
 *
 * The card owns this format: it reads and executes the blocks; whoever builds a pipeline (the op engine,
 * libqobe) writes them into stream memory.  Header-only and valid C89 and C++, so a writer needs no
 * library of the card's to fill a block.  All records are little-endian and packed exactly (sizes and
 * offsets checked below).
 *
 * Where the card finds the block.  The op's argument array (24-byte header "*$%!", L loops, B batch
 * positions (1 for this op), C configuration addresses per loop, I inputs, O outputs, then the pointer
 * list) holds, for loop l, the configuration addresses l*C .. l*C+C-1.  Each is a stream-memory block in
 * the format below; with C > 1 the blocks of one loop are identical copies and the card uses the first.
 *
 * Block layout (block_bytes = qobcrt_preproc_block_bytes(tensor_count, buffer_count)):
 *   offset 0                         qobcrt_preproc_header                    32 bytes
 *   offset 32                        tensor_count x qobcrt_preproc_tensor     32 bytes each
 *   offset 32 + 32 * tensor_count    buffer_count x qobcrt_preproc_buffer     16 bytes each
 *
 * Semantics, per loop l and tensor t (input t of the loop -> output t of the loop):
 *   QOBCRT_PREPROC_CONV_COPY      copy in_bytes bytes (in_elem_bytes = out_elem_bytes = 1,
 *                                 element_count = in_bytes)
 *   QOBCRT_PREPROC_CONV_QUANT_U8  element_count float32 values -> uint8,
 *                                 q = clamp(round(x / scale), 0, 255), round half away from zero, NaN -> 0
 *                                 (qobcrt_preproc_quantize_u8)
 *   QOBCRT_PREPROC_CONV_F16       element_count float32 values -> IEEE binary16, round to nearest even,
 *                                 overflow -> infinity, NaN stays NaN (qobcrt_preproc_f32_to_f16)
 * The card writes exactly element_count * out_elem_bytes bytes at the start of output t; the rest of the
 * output block is not touched.  The working buffers are scratch space the card may use while the op runs;
 * the op as defined here needs none.
 *
 * Reading a converted tensor back.  A run-model op that takes a converted output of this op as its input in
 * the same run reads it as float32, the way the card's model input stage widens quantised data:
 *   QUANT_U8  x = q * scale (qobcrt_preproc_dequantize_u8)
 *   F16       x = the binary16 value widened exactly (qobcrt_preproc_f16_to_f32)
 * A COPY output is read as it stands.
 *
 * Checks the card makes before executing (qobcrt_preproc_check does them; any failure fails the op):
 *   - the block is at least 32 bytes, magic and version match, header_bytes == 32,
 *     block_bytes == qobcrt_preproc_block_bytes(tensor_count, buffer_count) and fits in the device block;
 *   - tensor_count == I == O of the argument array;
 *   - per tensor: conversion known, element sizes match the conversion,
 *     in_bytes == element_count * in_elem_bytes, out_bytes >= element_count * out_elem_bytes.
 * When executing, the card also checks that input t holds in_bytes bytes and output t holds
 * element_count * out_elem_bytes bytes.
 */
#ifndef QOBCRT_QOBCRT_PREPROC_H
#define QOBCRT_QOBCRT_PREPROC_H

#include <float.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

/* Size and offset checks: static_assert / _Static_assert where the language has them, else a typedef of
   an array whose size is negative when the condition fails (C89, C++98). */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define QOBCRT_PREPROC_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QOBCRT_PREPROC_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define QOBCRT_PREPROC_STATIC_ASSERT_NAME2(line) qobcrt_preproc_static_assert_##line
#define QOBCRT_PREPROC_STATIC_ASSERT_NAME(line) QOBCRT_PREPROC_STATIC_ASSERT_NAME2(line)
#define QOBCRT_PREPROC_STATIC_ASSERT(cond, msg) \
  typedef char QOBCRT_PREPROC_STATIC_ASSERT_NAME(__LINE__)[(cond) ? 1 : -1]
#endif

/* The functions below are static and inline where the language knows inline (C99, C++), and with GCC's
   __inline__ in C89. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define QOBCRT_PREPROC_INLINE static inline
#elif defined(__GNUC__)
#define QOBCRT_PREPROC_INLINE static __inline__
#else
#define QOBCRT_PREPROC_INLINE static
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define QOBCRT_PREPROC_TYPE_ID 30000u /* type id of the op records that carry such blocks */
#define QOBCRT_PREPROC_MAGIC 0x45525051u /* bytes 'Q' 'P' 'R' 'E' */
#define QOBCRT_PREPROC_VERSION 1u
#define QOBCRT_PREPROC_MAX_TENSORS 64u
#define QOBCRT_PREPROC_MAX_BUFFERS 64u

enum {
  QOBCRT_PREPROC_CONV_COPY = 0,
  QOBCRT_PREPROC_CONV_QUANT_U8 = 1,
  QOBCRT_PREPROC_CONV_F16 = 2
};

#pragma pack(push, 1)
typedef struct qobcrt_preproc_header {
  uint32_t magic;         /* 0: QOBCRT_PREPROC_MAGIC */
  uint16_t version;       /* 4: QOBCRT_PREPROC_VERSION */
  uint16_t header_bytes;  /* 6: 32 */
  uint32_t block_bytes;   /* 8: total bytes of the block */
  uint32_t op_uid;        /* 12: uid of the op the block was made for */
  uint32_t tensor_count;  /* 16: tensors converted per loop (inputs == outputs) */
  uint32_t buffer_count;  /* 20: working buffers listed after the tensors */
  uint32_t block_index;   /* 24: index of the block among the copies of one update */
  uint32_t reserved;      /* 28: 0 */
} qobcrt_preproc_header;

typedef struct qobcrt_preproc_tensor {
  uint32_t conversion;     /* 0: QOBCRT_PREPROC_CONV_* */
  int32_t tensor_type;     /* 4: the writer's tensor type it came from (informative) */
  float scale;             /* 8: quantisation scale, positive and finite */
  uint32_t element_count;  /* 12: elements to convert */
  uint32_t in_elem_bytes;  /* 16: 4 for conversions, 1 for a copy */
  uint32_t out_elem_bytes; /* 20: 1 (uint8), 2 (binary16), 1 for a copy */
  uint32_t in_bytes;       /* 24: byte size of the input */
  uint32_t out_bytes;      /* 28: byte size of the output block */
} qobcrt_preproc_tensor;

typedef struct qobcrt_preproc_buffer {
  uint64_t addr;  /* 0: shared-DDR address of a working buffer */
  uint64_t size;  /* 8: its byte size */
} qobcrt_preproc_buffer;
#pragma pack(pop)

QOBCRT_PREPROC_STATIC_ASSERT(sizeof(qobcrt_preproc_header) == 32, "preproc header is 32 bytes");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_header, version) == 4, "version at 4");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_header, header_bytes) == 6, "header_bytes at 6");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_header, block_bytes) == 8, "block_bytes at 8");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_header, op_uid) == 12, "op_uid at 12");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_header, tensor_count) == 16, "tensor_count at 16");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_header, buffer_count) == 20, "buffer_count at 20");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_header, block_index) == 24, "block_index at 24");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_header, reserved) == 28, "reserved at 28");
QOBCRT_PREPROC_STATIC_ASSERT(sizeof(qobcrt_preproc_tensor) == 32, "preproc tensor entry is 32 bytes");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_tensor, tensor_type) == 4, "tensor_type at 4");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_tensor, scale) == 8, "scale at 8");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_tensor, element_count) == 12, "element_count at 12");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_tensor, in_elem_bytes) == 16, "in_elem_bytes at 16");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_tensor, out_elem_bytes) == 20, "out_elem_bytes at 20");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_tensor, in_bytes) == 24, "in_bytes at 24");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_tensor, out_bytes) == 28, "out_bytes at 28");
QOBCRT_PREPROC_STATIC_ASSERT(sizeof(qobcrt_preproc_buffer) == 16, "preproc buffer entry is 16 bytes");
QOBCRT_PREPROC_STATIC_ASSERT(offsetof(qobcrt_preproc_buffer, size) == 8, "size at 8");

/* Total bytes of a block with that many tensors and buffers. */
QOBCRT_PREPROC_INLINE uint64_t qobcrt_preproc_block_bytes(uint32_t tensor_count, uint32_t buffer_count) {
  return (uint64_t)sizeof(qobcrt_preproc_header) + (uint64_t)tensor_count * sizeof(qobcrt_preproc_tensor) +
         (uint64_t)buffer_count * sizeof(qobcrt_preproc_buffer);
}

/* Reason codes of qobcrt_preproc_check. */
enum {
  QOBCRT_PREPROC_OK = 0,
  QOBCRT_PREPROC_BAD_SIZE = 1,      /* block too small or block_bytes inconsistent */
  QOBCRT_PREPROC_BAD_MAGIC = 2,     /* magic, version or header_bytes */
  QOBCRT_PREPROC_BAD_COUNTS = 3,    /* tensor_count differs from the argument's inputs/outputs, or limits */
  QOBCRT_PREPROC_BAD_TENSOR = 4     /* unknown conversion or inconsistent sizes */
};

/* Reads entry t of a block (t < tensor_count) into *out; the block may be unaligned. */
QOBCRT_PREPROC_INLINE void qobcrt_preproc_read_tensor(const void* block, uint32_t t, qobcrt_preproc_tensor* out) {
  memcpy(out, (const unsigned char*)block + sizeof(qobcrt_preproc_header) + (size_t)t * sizeof(qobcrt_preproc_tensor),
         sizeof(*out));
}

/* Reads buffer entry k of a block (k < buffer_count) into *out. */
QOBCRT_PREPROC_INLINE void qobcrt_preproc_read_buffer(const void* block, const qobcrt_preproc_header* h, uint32_t k,
                                                  qobcrt_preproc_buffer* out) {
  memcpy(out,
         (const unsigned char*)block + sizeof(qobcrt_preproc_header) +
             (size_t)h->tensor_count * sizeof(qobcrt_preproc_tensor) + (size_t)k * sizeof(qobcrt_preproc_buffer),
         sizeof(*out));
}

/* Checks a block of `size` readable bytes against an argument array with `inputs` inputs and `outputs`
   outputs per position.  Fills *header_out (may be NULL) when the header is readable.  Returns
   QOBCRT_PREPROC_OK or a reason code. */
QOBCRT_PREPROC_INLINE int qobcrt_preproc_check(const void* block, uint64_t size, uint32_t inputs, uint32_t outputs,
                                           qobcrt_preproc_header* header_out) {
  qobcrt_preproc_header h;
  uint32_t t;
  if (block == NULL || size < sizeof(h)) return QOBCRT_PREPROC_BAD_SIZE;
  memcpy(&h, block, sizeof(h));
  if (header_out != NULL) *header_out = h;
  if (h.magic != QOBCRT_PREPROC_MAGIC || h.version != QOBCRT_PREPROC_VERSION || h.header_bytes != sizeof(h))
    return QOBCRT_PREPROC_BAD_MAGIC;
  if (h.tensor_count > QOBCRT_PREPROC_MAX_TENSORS || h.buffer_count > QOBCRT_PREPROC_MAX_BUFFERS)
    return QOBCRT_PREPROC_BAD_COUNTS;
  if (h.block_bytes != qobcrt_preproc_block_bytes(h.tensor_count, h.buffer_count) || h.block_bytes > size)
    return QOBCRT_PREPROC_BAD_SIZE;
  if (h.tensor_count != inputs || h.tensor_count != outputs) return QOBCRT_PREPROC_BAD_COUNTS;
  for (t = 0; t < h.tensor_count; ++t) {
    qobcrt_preproc_tensor e;
    qobcrt_preproc_read_tensor(block, t, &e);
    switch (e.conversion) {
      case QOBCRT_PREPROC_CONV_COPY:
        if (e.in_elem_bytes != 1 || e.out_elem_bytes != 1) return QOBCRT_PREPROC_BAD_TENSOR;
        break;
      case QOBCRT_PREPROC_CONV_QUANT_U8:
        if (e.in_elem_bytes != 4 || e.out_elem_bytes != 1 || !(e.scale > 0.0f) || !(e.scale <= FLT_MAX))
          return QOBCRT_PREPROC_BAD_TENSOR;
        break;
      case QOBCRT_PREPROC_CONV_F16:
        if (e.in_elem_bytes != 4 || e.out_elem_bytes != 2) return QOBCRT_PREPROC_BAD_TENSOR;
        break;
      default:
        return QOBCRT_PREPROC_BAD_TENSOR;
    }
    if ((uint64_t)e.element_count * e.in_elem_bytes != e.in_bytes ||
        (uint64_t)e.element_count * e.out_elem_bytes > e.out_bytes)
      return QOBCRT_PREPROC_BAD_TENSOR;
  }
  return QOBCRT_PREPROC_OK;
}

/* q = clamp(round(x / scale), 0, 255), round half away from zero; NaN gives 0.  For 0 < q < 255 that is
   the integer part of q + 0.5, added in double so that the sum cannot round up to the next integer. */
QOBCRT_PREPROC_INLINE uint8_t qobcrt_preproc_quantize_u8(float x, float scale) {
  float q = x / scale;
  if (!(q > 0.0f)) return 0;
  if (q >= 255.0f) return 255;
  return (uint8_t)((double)q + 0.5);
}

/* x = q * scale: the float32 value a run-model op reads for a quantised element. */
QOBCRT_PREPROC_INLINE float qobcrt_preproc_dequantize_u8(uint8_t q, float scale) { return (float)q * scale; }

/* IEEE binary16 -> binary32, exact (subnormals, infinities and NaNs included). */
QOBCRT_PREPROC_INLINE float qobcrt_preproc_f16_to_f32(uint16_t h) {
  uint32_t sign = (uint32_t)(h & 0x8000u) << 16, exp = (h >> 10) & 0x1Fu, man = h & 0x3FFu, x;
  float f;
  if (exp == 0x1Fu) {
    x = sign | 0x7F800000u | (man << 13);
  } else if (exp != 0) {
    x = sign | ((exp + 112u) << 23) | (man << 13);
  } else if (man == 0) {
    x = sign;
  } else {
    exp = 113u; /* normalise the subnormal: shift until the hidden bit appears */
    while ((man & 0x400u) == 0) {
      man <<= 1;
      --exp;
    }
    x = sign | (exp << 23) | ((man & 0x3FFu) << 13);
  }
  memcpy(&f, &x, sizeof(f));
  return f;
}

/* IEEE binary32 -> binary16, round to nearest even; overflow gives infinity, NaN stays a (quiet) NaN. */
QOBCRT_PREPROC_INLINE uint16_t qobcrt_preproc_f32_to_f16(float f) {
  uint32_t x, sign, exp, man, half, rem, shift, mid;
  int32_t e;
  memcpy(&x, &f, sizeof(x));
  sign = (x >> 16) & 0x8000u;
  exp = (x >> 23) & 0xFFu;
  man = x & 0x7FFFFFu;
  if (exp == 0xFFu) return (uint16_t)(sign | 0x7C00u | (man != 0 ? (0x200u | (man >> 13)) : 0u));
  e = (int32_t)exp - 127 + 15;
  if (e >= 31) return (uint16_t)(sign | 0x7C00u);
  if (e <= 0) {
    if (e < -10) return (uint16_t)sign;
    man |= 0x800000u;
    shift = (uint32_t)(14 - e);
    half = man >> shift;
    rem = man & ((1u << shift) - 1u);
    mid = 1u << (shift - 1u);
    if (rem > mid || (rem == mid && (half & 1u) != 0)) ++half;
    return (uint16_t)(sign | half);
  }
  half = ((uint32_t)e << 10) | (man >> 13);
  rem = man & 0x1FFFu;
  if (rem > 0x1000u || (rem == 0x1000u && (half & 1u) != 0)) ++half; /* a carry may reach infinity */
  return (uint16_t)(sign | half);
}

/* Executes one checked tensor entry: reads e->in_bytes bytes at `in`, writes
   e->element_count * e->out_elem_bytes bytes at `out` (both host memory, unaligned allowed, not
   overlapping). */
QOBCRT_PREPROC_INLINE void qobcrt_preproc_run_tensor(const qobcrt_preproc_tensor* e, const void* in, void* out) {
  const unsigned char* src = (const unsigned char*)in;
  unsigned char* dst = (unsigned char*)out;
  uint32_t i;
  if (e->conversion == QOBCRT_PREPROC_CONV_COPY) {
    memcpy(dst, src, e->in_bytes);
    return;
  }
  for (i = 0; i < e->element_count; ++i) {
    float x;
    memcpy(&x, src + (size_t)i * 4u, sizeof(x));
    if (e->conversion == QOBCRT_PREPROC_CONV_QUANT_U8) {
      dst[i] = qobcrt_preproc_quantize_u8(x, e->scale);
    } else {
      uint16_t h = qobcrt_preproc_f32_to_f16(x);
      memcpy(dst + (size_t)i * 2u, &h, sizeof(h));
    }
  }
}

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* QOBCRT_QOBCRT_PREPROC_H */
