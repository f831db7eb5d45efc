// The card's hardware configuration of a model: largest batch, output core layouts, pre-process ops,
// memory budget.  docs/hardware_config.md describes the JSON keys.
#ifndef TVM_SRC_CARD_HW_CONFIG_H_
#define TVM_SRC_CARD_HW_CONFIG_H_

#include <dlpack/dlpack.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tvm {
namespace runtime {
namespace card {

using Shape = std::vector<int64_t>;

struct PreOpOutput {
  uint32_t precision = 1;  // 1 uint8, 0 fp16
  uint32_t is_quant = 0;
  float quant_scale = 0.f;
  float quant_bias = 0.f;
  int32_t quant_min = 0;
  int32_t quant_max = 0;
};

struct PreOp {
  uint32_t opcode = 0;
  uint32_t opcode_ext = 0;
  uint32_t input_num = 1;
  std::vector<PreOpOutput> outputs;
};

struct HwConfig {
  uint32_t max_batch_size = 1;
  std::vector<std::vector<Shape>> output_core_shapes;  // per output; empty = plain layout
  std::vector<PreOp> preprocess_ops;
  uint64_t memory_budget_bytes = 1048576;
};

/* Parses the JSON text ("" = all defaults).  false with a text in *err on bad JSON or a wrong type. */
bool ParseHwConfig(const std::string& text, HwConfig* out, std::string* err);

#pragma pack(push, 1)
struct DspOpCommon {
  uint8_t opcode;
  uint8_t opcode_ext;
  uint8_t is_static;
  uint8_t cid;
  uint32_t len;
  uint32_t input_num;
  uint32_t input_offset;
  uint32_t output_num;
  uint32_t output_offset;
};
struct DspAddr {
  uint64_t addr;
  uint16_t msg_id;
  uint16_t precision;
  uint32_t dims_num;
  int32_t dims_ptr[6];
  int32_t align_dims_ptr[6];
};
struct QuantAddr {
  uint32_t is_quant;
  float quant_scale;
  float quant_bias;
  int8_t quant_min;
  int8_t quant_max;
  uint8_t pad[2];
};
#pragma pack(pop)
static_assert(sizeof(DspOpCommon) == 24, "dsp_op_common is 24 bytes");
static_assert(sizeof(DspAddr) == 64, "dsp_addr is 64 bytes");
static_assert(sizeof(QuantAddr) == 16, "quant_addr is 16 bytes");
static_assert(offsetof(DspAddr, precision) == 10 && offsetof(DspAddr, dims_ptr) == 16 &&
                  offsetof(DspAddr, align_dims_ptr) == 40,
              "dsp_addr layout");
static_assert(offsetof(QuantAddr, quant_min) == 12, "quant_addr layout");

/* The pre-process op records back to back: per op a 24-byte head, the 4-byte offset of its quant_addr
   records, output_num dsp_addr records (dims = input_shape) and output_num quant_addr records. */
std::string BuildPreOpRecords(const std::vector<PreOp>& ops, const Shape& input_shape);

/* One output's layout in the card's memory. */
struct OutputLayout {
  DLDataType dtype;
  Shape shape;                  // real shape of one item
  std::vector<Shape> cores;     // core shapes, -1 resolved
  uint64_t real_bytes = 0;
  uint64_t aligned_bytes = 0;   // sum of core sizes
  uint64_t slot_bytes = 0;      // bytes of one element in the cores (see MakeOutputLayout)
  int kind = 0;                 // 0 flat (zero-padded), 4 channel-split four-dimensional
  bool plain = false;           // the layout is the plain data itself: writing it is one copy
};

/* Resolves and checks core shapes against the real shape (empty cores = plain layout).  -1 at position
   d of a core shape stands for the real extent at d (rounded up to a multiple of 8 at positions 2 and 3
   of a four-dimensional core).  Core elements are as wide as the output's elements, except that a 16-bit
   bfloat output with core shapes keeps each element in a 32-bit slot: the value as a float32 whose top
   16 bits are the bfloat16 (the low half is zero).  A plain layout stores the elements as they are. */
bool MakeOutputLayout(DLDataType dtype, const Shape& shape, const std::vector<Shape>& cores, OutputLayout* out,
                      std::string* err);

/* Writes plain data (real_bytes) into dst (aligned_bytes) in the core layout; padding is zero. */
void WriteCoreLayout(const OutputLayout& layout, const void* src, void* dst);

}  // namespace card
}  // namespace runtime
}  // namespace tvm

#endif  // TVM_SRC_CARD_HW_CONFIG_H_
