// The device formats the card decodes: op records, argument arrays and tensor copy configurations.
#ifndef QOBCRT_SRC_FORMATS_H
#define QOBCRT_SRC_FORMATS_H

#include <cstddef>
#include <cstdint>

namespace zenlar {
namespace qobcrt {

constexpr uint32_t kEndMark = 0x80000000u;     // uid bit of a run's last op record
constexpr uint32_t kUidMask = 0x7fffffffu;
constexpr uint32_t kGetOutputFlag = 0x10u;     // the op's completion is reported
constexpr uint32_t kTypeRunModel = 20000;
constexpr uint32_t kTypePreprocess = 30000;
constexpr uint32_t kTypeMemCopy = 40000;

#pragma pack(push, 1)
// One op of a run: 64 bytes, back to back from the run's stream address.
struct OpRecord {
  char separator[4];          // "#$%&"
  uint32_t stream_id;         // 4
  uint32_t sequence_id;       // 8
  uint32_t uid;               // 12, bit 31 marks the last record
  uint32_t type_id;           // 16
  uint64_t op_addr;           // 20
  uint64_t args_array;        // 28, device address of the argument array
  uint32_t args_size;         // 36
  uint32_t output_count;      // 40
  uint32_t op_flag;           // 44
  uint32_t op_total_num;      // 48
  uint32_t branch_count;      // 52
  uint64_t branch_jump_list;  // 56
};

// Head of an argument array; the pointer list of u64 device addresses follows.
struct ArgHeader {
  char separator[4];          // "*$%!"
  uint32_t loop_count;        // L
  uint32_t batch_size;        // B
  uint32_t config_count;      // C
  uint32_t input_count;       // I
  uint32_t output_count;      // O
};

// Tensor copy configuration of a memory-copy op: a count, then one record per output.
struct TensorInfo {
  int32_t shape_real[4];
  int32_t shape_align[4];
  uint64_t core_offset;       // byte offset of the core tensor from the start of the input
};
struct QuantConfig {
  uint8_t enable;
  uint8_t round_mode;
  int16_t rsvd;
  float scale;
  int16_t min;
  int16_t max;
};
struct TensorCopyInfo {
  TensorInfo core_in[8];      // 0
  TensorInfo core_out;        // 320
  uint8_t concat_dim;         // 360
  uint8_t core_in_mask;       // 361
  uint8_t element_byte;       // 362: bytes per output element (2-byte elements may sit in 32-bit core
                              // slots; exec.cpp tells them from the core offsets or the model's core size)
  uint8_t copy_type;          // 363: 0 channel-joined 4-D, 1 otherwise
  QuantConfig quant;          // 364
};
struct TensorCopyHead {
  int32_t count;
  uint32_t pad;
};
#pragma pack(pop)

static_assert(sizeof(OpRecord) == 64, "op record is 64 bytes");
static_assert(offsetof(OpRecord, uid) == 12 && offsetof(OpRecord, type_id) == 16 &&
                  offsetof(OpRecord, op_addr) == 20 && offsetof(OpRecord, args_array) == 28 &&
                  offsetof(OpRecord, op_flag) == 44 && offsetof(OpRecord, op_total_num) == 48 &&
                  offsetof(OpRecord, branch_jump_list) == 56,
              "op record offsets");
static_assert(sizeof(ArgHeader) == 24 && offsetof(ArgHeader, output_count) == 20, "argument header");
static_assert(sizeof(TensorInfo) == 40 && offsetof(TensorInfo, core_offset) == 32, "tensor info");
static_assert(sizeof(QuantConfig) == 12, "quant config");
static_assert(sizeof(TensorCopyInfo) == 376 && offsetof(TensorCopyInfo, core_out) == 320 &&
                  offsetof(TensorCopyInfo, concat_dim) == 360 && offsetof(TensorCopyInfo, copy_type) == 363 &&
                  offsetof(TensorCopyInfo, quant) == 364,
              "tensor copy record");
static_assert(sizeof(TensorCopyHead) == 8, "tensor copy head");

}  // namespace qobcrt
}  // namespace zenlar

#endif  // QOBCRT_SRC_FORMATS_H
