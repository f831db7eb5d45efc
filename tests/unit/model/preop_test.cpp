// Pre-process op configuration: half-precision conversion, tensor-type mappings, record interpretation,
// and the upload of a loaded node's records to the simulated card.  (A failed upload leaves nothing
// behind: the static model test and the fault sweep.)
#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_model.h>
#include <qobm/qobm.h>

#include <cstring>
#include <string>
#include <vector>

#include "qobl_test/card_stats.h"
#include "model_preop.h"

using namespace zenlar::qobl;

namespace {

struct OutputSpec {
  uint16_t precision;
  uint32_t isQuant;
  float scale;
};

// One op record: head, quant-table offset word, padding, N dsp_addr, then N quant_addr.
std::vector<uint8_t> makeRecord(uint8_t opcode, uint8_t opcodeExt, const std::vector<OutputSpec>& outputs) {
  const uint32_t n = static_cast<uint32_t>(outputs.size());
  const uint32_t outputOffset = 32;
  const uint32_t quantOffset = outputOffset + n * sizeof(dsp_addr);
  const uint32_t len = quantOffset + n * sizeof(quant_addr);
  std::vector<uint8_t> rec(len, 0);
  dsp_op_common head{};
  head.opcode = opcode;
  head.opcode_ext = opcodeExt;
  head.len = len;
  head.input_num = 1;
  head.output_num = n;
  head.output_offset = outputOffset;
  std::memcpy(rec.data(), &head, sizeof(head));
  std::memcpy(rec.data() + kPreOpQuantOffsetPos, &quantOffset, sizeof(quantOffset));
  for (uint32_t k = 0; k < n; ++k) {
    dsp_addr out{};
    out.precision = outputs[k].precision;
    std::memcpy(rec.data() + outputOffset + k * sizeof(dsp_addr), &out, sizeof(out));
    quant_addr q{};
    q.is_quant = outputs[k].isQuant;
    q.quant_scale = outputs[k].scale;
    std::memcpy(rec.data() + quantOffset + k * sizeof(quant_addr), &q, sizeof(q));
  }
  return rec;
}

std::vector<uint8_t> concat(const std::vector<std::vector<uint8_t>>& records) {
  std::vector<uint8_t> all;
  for (const auto& r : records) all.insert(all.end(), r.begin(), r.end());
  return all;
}

uint64_t liveStreamBlocks() { return qobltest::liveBlocks().stream; }

int noRun(void*, const void* const*, void* const*, char*, size_t) { return 0; }

// A module node registered with the card that carries the given pre-process records.
class RegisteredNode {
 public:
  RegisteredNode(const std::string& name, const std::vector<std::vector<uint8_t>>& records)
      : name_(name), blob_(concat(records)) {
    qobcrt_model_desc desc{};
    desc.name = name_.c_str();
    desc.batch_size = 1;
    desc.num_inputs = 1;
    desc.num_outputs = 1;
    desc.input_bytes[0] = 4;
    desc.output_bytes[0] = 4;
    desc.align_output_bytes[0] = 4;
    desc.vdsp_ops = blob_.empty() ? nullptr : blob_.data();
    desc.vdsp_ops_size = blob_.size();
    desc.vdsp_ops_num = static_cast<uint32_t>(records.size());
    desc.run = noRun;
    desc.self = this;
    EXPECT_EQ(0, qobcrt_register_model(0, &desc, &addr_));
  }
  ~RegisteredNode() { qobcrt_unregister_model(0, addr_); }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::vector<uint8_t> blob_;
  uint64_t addr_ = 0;
};

InputTypeQuery fixedType(uint8_t code, uint8_t bits, int* calls) {
  return [=](DLDataType& t) {
    ++*calls;
    t = DLDataType{code, bits, 1};
    return 0;
  };
}

}  // namespace

TEST(PreOpHalf, ConvertsWithRoundingFlushAndSaturation) {
  const struct {
    float in;
    uint16_t half;
  } cases[] = {{1.0f, 0x3C00},      {-2.0f, 0xC000},          {65504.0f, 0x7BFF},     {1e-10f, 0x0000},
               {1e6f, 0x7FFF},      {-1e-10f, 0x8000},        {-1e6f, 0xFFFF},        {0.0625f, 0x2C00},
               {5.9604645e-8f, 1},  {3.0517578e-5f, 0x0200},  {1.0009766f, 0x3C01},   {1.0004883f, 0x3C01}};
  // Flushed to signed zero, saturated with the sign, subnormals, the last mantissa bit kept, rounding up.
  for (const auto& c : cases) EXPECT_EQ(c.half, float_to_half(c.in)) << c.in;
}

// The four known precision / interleave pairs are read through whole records below.
TEST(PreOpTensorType, MapsDspPrecisionAndModuleTypes) {
  EXPECT_EQ(0, mapDspTensorType2QoblTensorizationType(2, 0));
  EXPECT_EQ(0, mapDspTensorType2QoblTensorizationType(7, 1));
  const struct {
    DLDataType type;
    int mapped;
  } dl[] = {{{kDLUInt, 8, 4}, 1}, {{kDLFloat, 16, 1}, 3}, {{kDLFloat, 32, 1}, 0}, {{kDLInt, 8, 1}, 0}};
  for (const auto& c : dl) EXPECT_EQ(c.mapped, mapDLDataType2QoblTensorizationType(c.type)) << int(c.type.code);
}

TEST(PreOpRecord, InterpretsByOpCodeWithItsInterleaveFlag) {
  struct Case {
    uint8_t opcode;
    uint8_t ext;
    bool interpreted;
    bool interleaved;
  };
  const Case cases[] = {{195, 0, true, true},  {197, 0, true, false}, {200, 0, true, false},
                        {201, 0, true, true},  {202, 0, true, true},  {204, 0, true, false},
                        {205, 0, true, false}, {206, 0, true, false}, {255, 197, true, false},
                        {255, 201, true, true}, {196, 0, false, false}, {255, 0, false, false},
                        {255, 196, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "opcode " << int(c.opcode) << " ext " << int(c.ext));
    const auto rec = makeRecord(c.opcode, c.ext, {{1, 1, 0.25f}, {0, 0, 3.0f}});
    PreOpCfg cfg;
    ASSERT_TRUE(interpretPreOpRecord(rec.data(), static_cast<uint32_t>(rec.size()), cfg));
    if (!c.interpreted) {
      EXPECT_TRUE(cfg.preOpScaleFactors_.empty());
      EXPECT_TRUE(cfg.preOpTensorTypes_.empty());
      continue;
    }
    // Output 0 is quantised uint8 with scale 0.25; output 1 is float16 and not quantised (scale 0).
    EXPECT_EQ((std::vector<uint16_t>{0x3400, 0x0000}), cfg.preOpScaleFactors_);
    if (c.interleaved) {
      EXPECT_EQ((std::vector<uint16_t>{2, 4}), cfg.preOpTensorTypes_);
    } else {
      EXPECT_EQ((std::vector<uint16_t>{1, 3}), cfg.preOpTensorTypes_);
    }
    EXPECT_TRUE(cfg.preOpExtraMeanStdScaleValues_.empty());
  }
}

TEST(PreOpRecord, RejectsTablesOutsideTheRecord) {
  auto rec = makeRecord(197, 0, {{1, 1, 1.0f}});
  PreOpCfg cfg;
  // Claims three outputs but carries one.
  const uint32_t three = 3;
  std::memcpy(rec.data() + offsetof(dsp_op_common, output_num), &three, sizeof(three));
  EXPECT_FALSE(interpretPreOpRecord(rec.data(), static_cast<uint32_t>(rec.size()), cfg));
  EXPECT_TRUE(cfg.preOpScaleFactors_.empty());
  EXPECT_TRUE(cfg.preOpTensorTypes_.empty());
}

TEST(PreOpUpload, OneStreamBlockPerRecordHoldingTheRecordAndAllFreedOnClear) {
  ASSERT_EQ(0, qobmSetDevice(0));
  const auto quant = makeRecord(197, 0, {{1, 1, 0.0078125f}});
  const auto other = makeRecord(150, 0, {{0, 1, 2.0f}});  // not interpreted, still uploaded
  const auto ext = makeRecord(255, 201, {{0, 1, 1.0f}, {1, 0, 9.0f}});
  RegisteredNode node("preop-upload-node", {quant, other, ext});

  const uint64_t before = liveStreamBlocks();
  std::vector<DeviceBlock> addrs;
  PreOpCfg cfg;
  int typeQueries = 0;
  ASSERT_TRUE(loadPreOpInfo(0, node.name(), "digest", fixedType(kDLFloat, 16, &typeQueries), addrs, cfg));
  EXPECT_EQ(0, typeQueries);  // interpreted outputs exist: input 0 is not asked
  ASSERT_EQ(3u, addrs.size());
  EXPECT_EQ(before + 3, liveStreamBlocks());

  // Each block is a stream-memory block holding exactly its record.  (Scales and types gathered over
  // several records, the interpreted ones only: static_model_test's pre-process records.)
  const std::vector<const std::vector<uint8_t>*> records{&quant, &other, &ext};
  for (size_t i = 0; i < 3; ++i) {
    uint32_t kind = 99;
    uint64_t base = 0, size = 0;
    ASSERT_EQ(0, qobcrt_query_block(0, addrs[i].address(), &kind, &base, &size));
    EXPECT_EQ(0u, kind);
    EXPECT_EQ(addrs[i].address(), base);
    std::vector<uint8_t> back(records[i]->size());
    ASSERT_EQ(0, qobcrt_memcpy_d2h(0, addrs[i].address(), back.size(), back.data()));
    EXPECT_EQ(*records[i], back);
  }

  clearPreOpInfo(addrs, cfg);
  EXPECT_TRUE(addrs.empty() && cfg.preOpScaleFactors_.empty() && cfg.preOpTensorTypes_.empty());
  EXPECT_EQ(before, liveStreamBlocks());
}

TEST(PreOpUpload, FailedInputTypeQueryRecordsNone) {
  ASSERT_EQ(0, qobmSetDevice(0));
  RegisteredNode node("preop-failing-query-node", {});
  std::vector<DeviceBlock> addrs;
  PreOpCfg cfg;
  InputTypeQuery failing = [](DLDataType& t) {
    t = DLDataType{0, 0, 0};
    return 7;
  };
  ASSERT_TRUE(loadPreOpInfo(0, node.name(), "digest", failing, addrs, cfg));
  EXPECT_TRUE(addrs.empty());
  EXPECT_TRUE(cfg.preOpScaleFactors_.empty());
  EXPECT_EQ((std::vector<uint16_t>{0}), cfg.preOpTensorTypes_);
}

TEST(PreOpUpload, ClearSkipsFailedFrees) {
  ASSERT_EQ(0, qobmSetDevice(0));
  // A block already gone: its free fails (logged), the list is emptied all the same and the rest is freed.
  const uint64_t before = liveStreamBlocks();
  std::vector<DeviceBlock> addrs(2);
  ASSERT_EQ(0, DeviceBlock::allocate(0, DeviceMemKind::kStream, 64, &addrs[0]));
  ASSERT_EQ(0, DeviceBlock::allocate(0, DeviceMemKind::kStream, 64, &addrs[1]));
  ASSERT_EQ(0, qobcrt_free_stream(0, addrs[0].address()));
  PreOpCfg cfg;
  clearPreOpInfo(addrs, cfg);
  EXPECT_TRUE(addrs.empty());
  EXPECT_EQ(before, liveStreamBlocks());
}
