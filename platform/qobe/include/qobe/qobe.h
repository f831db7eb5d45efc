/*
 * qobe.h - the op engine: ops of a pipeline and their typed attributes.
 *
 * An op is created with qobeCreateOp and lives until qobeDestroyOp.  Everything known about an op is kept as
 * named attributes, each with a type code (qobeAttrType) and one or more values.  Every call validates its
 * arguments, returns 0 on success or a code below, never crashes on a stale or foreign handle (the engine
 * keeps a registry of live ops and handles are never reused), and never lets a C++ exception out.
 *
 * Results.  qobeGetOpAttr / qobeGetOpAttrArray write exactly the width of the type code (INT32 4 bytes,
 * BOOL 1 byte holding 0 or 1, UINT32 4, UINT64 8, FLOAT32 4) and only on success: a missing key, an index
 * past the end, or a type code that differs from the attribute's leave the result untouched.  A scalar
 * read of an array attribute reads its element 0; an array read of a scalar attribute at index 0 reads it.
 *
 * Writing.  qobeSetOpAttr(op, key, type, count, v0, v1, ...) stores count values (count > 1 makes an array
 * attribute).  The variadic values follow C promotion: INT32, BOOL and UINT32 are passed as int / unsigned
 * int, UINT64 as uint64_t (cast pointers to uint64_t), FLOAT32 as double.  The built-in keys below have a
 * fixed type; writing one with another type code is refused.  Any other key takes the type of its latest
 * write.
 *
 * Built-in attributes (present from creation unless marked "on write"):
 *   "uid"                UINT32  unique id, from 1, never with bit 31 set; read-only
 *   "op_type"            UINT32  the kind given to qobeCreateOp (may be rewritten to relabel the op; the
 *                                engine keeps behaving as the kind it was created as)
 *   "type_id"            INT32   qobeTYPE_ID_* of the kind (the card executes an op by its type id)
 *   "name"               UINT64  pointer to NUL-terminated text owned by the op ("input_op_<uid>",
 *                                "run_model_op_<uid>", "preprocess_op_<uid>", "mem_copy_op_<uid>").
 *                                Writing it copies the caller's text; a returned pointer stays valid until
 *                                the op is destroyed (earlier names are kept until then too).
 *   "device_id"          UINT32  0
 *   "config_count"       UINT32  configuration blocks per update: 1 for pre-processing ops, else 0
 *   "buffer_count"       UINT32  working buffers per update: 0
 *   "buffer_size"        UINT32  bytes of each working buffer: 4096 (pre-processing ops only)
 *   "input_count"        UINT32  0
 *   "output_count"       UINT32  0
 *   "is_runmodel_input"  BOOL    false (set it when the op feeds a run-model op)
 *   "is_all_properties_configured" BOOL  true for kinds 1, 2, 10; for a pre-processing op it is computed
 *                                on every read (read-only): true when input_count == output_count, both in
 *                                1..QOBCRT_PREPROC_MAX_TENSORS, "input_size"/"output_size" hold that many
 *                                entries and every "tensor_type<i>" written is a known value
 *   "input_size", "output_size"   UINT32 arrays, on write: byte size per input / output
 *   "input_shape", "output_shape" UINT64 arrays, on write: each value points to a qobmShape (qobm/qobm.h);
 *                                the engine copies the shapes (ndims <= 6, non-null) and reads return
 *                                pointers to its copies, valid until the op is destroyed
 *   "model_addr"         UINT64  on write
 *   "scale<i>"           FLOAT32 on write (i decimal): quantisation scale, written by a run-model op on
 *                                its parent
 *   "tensor_type<i>"     INT32   on write: qobeTensorizationType of output i, written likewise
 *   "config_address", "buffer_address"  UINT64 arrays published by "update_config_list" (see below)
 *   "update_config_list" UINT32  writing it produces configuration blocks (see below); reads give the
 *                                count of the latest successful write
 *
 * Configuration blocks.  Writing "update_config_list" = n on a pre-processing op (kind 3) with
 * "config_count" == n (n >= 1) and all properties configured:
 *   - allocates "buffer_count" working buffers of "buffer_size" bytes in shared DDR
 *     (qobcrt_malloc_ddr_share) on the op's "device_id";
 *   - allocates n configuration blocks in stream memory (qobcrt_malloc_stream) on that device and fills each
 *     with qobcrt_memcpy, in the card's format (qobcrt/qobcrt_preproc.h): tensor_count is the op's
 *     "input_count" (== "output_count"); in_bytes / out_bytes are "input_size"[t] / "output_size"[t]; the
 *     conversion follows "tensor_type<t>" (absent: NONE): NONE -> COPY, UINT8 and UINT8_INTERLEAVE ->
 *     QUANT_U8, FP16, FP16_INTERLEAVE and FP16_INTERLEAVE_RGB -> F16 (the interleaved variants convert
 *     element by element like their base type; no reordering); the scale is "scale<t>", else "scale0",
 *     else 1, and a scale that is not a positive finite number is stored as 1;
 *   - publishes the block addresses in "config_address" and the buffer addresses in "buffer_address" (an
 *     empty array when there are no buffers).
 * OWNERSHIP: the blocks and buffers belong to the caller that asked (one run of a stream); the engine keeps
 * no reference and never frees them.  The caller releases every "config_address" entry with
 * qobcrt_free_stream and every "buffer_address" entry with qobcrt_free_ddr_share, on the op's device.
 * On failure nothing stays allocated and the published addresses are unchanged; device runtime codes
 * (500000..500124) are returned as they are.  Other kinds, or "config_count" 0, refuse the write.
 *
 * Threads.  Every op has its own lock; all calls on one op are serialised, and ops do not block each other
 * (except briefly on the registry).  One graph may run on several streams, so several threads may update
 * and read the same op at once.  Consistency given: after a thread's own successful "update_config_list"
 * write, that thread's reads of "config_address" and "buffer_address" on that op return the blocks made by
 * its own latest update, whatever other threads update meanwhile.  A thread that never updated the op reads
 * the op's latest update (or the values last written directly).  So read the addresses right after your own
 * update, on the same thread.  Writing "config_address" or "buffer_address" directly replaces the published
 * values for every thread.  Destroying an op while another thread uses it is safe: calls in progress finish,
 * later calls get qobeERR_INVALID_OP.
 */
#ifndef QOBE_QOBE_H
#define QOBE_QOBE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque op handle.  Handles are never dereferenced by callers and are never reused within a process. */
typedef struct qobeOp qobeOp;

/* Op kinds (attribute "op_type"). */
enum {
  qobeOP_INPUT_OP = 1,
  qobeOP_RUN_MODEL_OP = 2,
  qobeOP_PREPROCESS_OP = 3,   /* the generic pre-processing op the card executes from its configuration */
  qobeOP_MEM_COPY_OP = 10
};

/* Type ids (attribute "type_id"): the value the card dispatches an op record on. */
enum {
  qobeTYPE_ID_INPUT = 10000,
  qobeTYPE_ID_RUN_MODEL = 20000,
  qobeTYPE_ID_PREPROCESS = 30000,
  qobeTYPE_ID_MEM_COPY = 40000
};

/* Attribute value type codes. */
typedef enum qobeAttrType {
  qobeATTR_INT32 = 1,
  qobeATTR_BOOL = 2,
  qobeATTR_UINT32 = 4,
  qobeATTR_UINT64 = 5,
  qobeATTR_FLOAT32 = 6
} qobeAttrType;

/* How a tensor is handed to a model (attribute "tensor_type<i>"). */
typedef enum qobeTensorizationType {
  qobeTENSORIZATION_NONE = 0,
  qobeTENSORIZATION_UINT8 = 1,
  qobeTENSORIZATION_UINT8_INTERLEAVE = 2,
  qobeTENSORIZATION_FP16 = 3,
  qobeTENSORIZATION_FP16_INTERLEAVE = 4,
  qobeTENSORIZATION_FP16_INTERLEAVE_RGB = 5,
  qobeTENSORIZATION_TYPE_BUTT = 6
} qobeTensorizationType;

/* Result codes (0 is success; device runtime codes 500000..500124 pass through from updates). */
enum {
  qobeSUCCESS = 0,
  qobeERR_INVALID_ARG = 400001,     /* null pointer or key, bad kind, count or value */
  qobeERR_INVALID_OP = 400002,      /* handle unknown: never created here, or destroyed */
  qobeERR_NOT_FOUND = 400003,       /* no attribute of that key */
  qobeERR_TYPE = 400004,            /* unknown type code, or not the attribute's type */
  qobeERR_INDEX = 400005,           /* array index past the end */
  qobeERR_READ_ONLY = 400006,       /* attribute cannot be written */
  qobeERR_NOT_CONFIGURED = 400007,  /* update asked of an op whose properties are incomplete */
  qobeERR_UNSUPPORTED = 400008,     /* update asked of an op without configuration blocks */
  qobeERR_EXHAUSTED = 400009,       /* no uid left */
  qobeERR_NO_MEMORY = 400010,       /* host memory */
  qobeERR_INTERNAL = 400099
};

/* Creates an op of the given kind into *op (kinds 1, 2, 3, 10; others are refused and *op is untouched).
   The caller owns the op and destroys it with qobeDestroyOp. */
int qobeCreateOp(uint32_t kind, qobeOp** op);
/* Destroys the op; its handle becomes invalid.  Blocks handed out by updates are not touched. */
int qobeDestroyOp(qobeOp* op);
int qobeSetOpAttr(qobeOp* op, const char* key, uint32_t type, uint32_t count, ...);
int qobeGetOpAttr(qobeOp* op, const char* key, uint32_t type, void* result);
int qobeGetOpAttrArray(qobeOp* op, const char* key, uint32_t type, uint32_t index, void* result);
/* Number of values of the attribute (1 for a scalar) into *count; *count untouched on failure. */
int qobeGetOpAttrCount(qobeOp* op, const char* key, uint32_t* count);
/* Number of live ops (test support). */
uint32_t qobeLiveOpCount(void);
/* Test support: the next op created gets uid `next`, which must be above every uid handed out so far and
   below 2^31.  Returns qobeERR_INVALID_ARG otherwise. */
int qobeDebugSetNextUid(uint32_t next);

#ifdef __cplusplus
}  /* extern "C" */
#endif

/* The card's record layouts for C++11 and later (an older C++ compiler gets the C interface above). */
#if defined(__cplusplus) && __cplusplus >= 201103L
namespace zenlar {
namespace qobe {

/* Flags of an op record's opFlag field. */
enum QobeOpFlag : uint32_t {
  HEAD_FLAG = 0,
  COMMON_FLAG = 1,
  FILTER_FLAG = 2,
  GET_OUTPUT_FLAG = 0x10
};

/* The last op record of a run carries PIPELINE_END_MASK in its uid. */
constexpr uint32_t PIPELINE_END_MASK = 0x80000000u;
constexpr uint32_t PIPELINE_END_UNMASK = 0x7fffffffu;

/* Header of an op's argument array in device memory (24 bytes, little-endian, packed), followed by the
   pointer list: L*C configuration addresses, then per (loop, batch position) I inputs and O outputs. */
#pragma pack(push, 1)
struct QobeOpArgumentHeader {
  char seperator[4] = {'*', '$', '%', '!'};
  uint32_t loopCount = 1;
  uint32_t batchSize = 1;
  uint32_t configCount = 0;
  uint32_t inputCount = 0;
  uint32_t outputCount = 0;
};
#pragma pack(pop)
static_assert(sizeof(QobeOpArgumentHeader) == 24, "argument header is 24 bytes");
static_assert(offsetof(QobeOpArgumentHeader, loopCount) == 4 && offsetof(QobeOpArgumentHeader, batchSize) == 8 &&
                  offsetof(QobeOpArgumentHeader, configCount) == 12 &&
                  offsetof(QobeOpArgumentHeader, inputCount) == 16 &&
                  offsetof(QobeOpArgumentHeader, outputCount) == 20,
              "argument header field offsets");

}  /* namespace qobe */
}  /* namespace zenlar */
#endif  /* C++11 */

#endif /* QOBE_QOBE_H */
