// Configuration blocks of the generic pre-processing op: content, ownership, failure paths, half rounding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <qobcrt/qobcrt.h>
#include <qobe/qobe.h>
#include <qobcrt/qobcrt_preproc.h>

#include "qobl_test/card_stats.h"

namespace {

struct PreprocOp {
  // One float32 tensor of `elems` elements in, `outBytes` out.
  PreprocOp(uint32_t elems, uint32_t outBytes) {
    EXPECT_EQ(qobeCreateOp(qobeOP_PREPROCESS_OP, &op), 0);
    EXPECT_EQ(qobeSetOpAttr(op, "input_count", qobeATTR_UINT32, 1, 1u), 0);
    EXPECT_EQ(qobeSetOpAttr(op, "output_count", qobeATTR_UINT32, 1, 1u), 0);
    EXPECT_EQ(qobeSetOpAttr(op, "input_size", qobeATTR_UINT32, 1, elems * 4), 0);
    EXPECT_EQ(qobeSetOpAttr(op, "output_size", qobeATTR_UINT32, 1, outBytes), 0);
  }
  ~PreprocOp() { qobeDestroyOp(op); }
  qobeOp* op = nullptr;
};

std::vector<uint64_t> readArray(qobeOp* op, const char* key) {
  uint32_t n = 0;
  EXPECT_EQ(qobeGetOpAttrCount(op, key, &n), 0);
  std::vector<uint64_t> out(n);
  for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(qobeGetOpAttrArray(op, key, qobeATTR_UINT64, i, &out[i]), 0);
  return out;
}

std::vector<unsigned char> readBlock(uint64_t addr) {
  uint32_t kind = 9;
  uint64_t base = 0, size = 0;
  EXPECT_EQ(qobcrt_query_block(0, addr, &kind, &base, &size), 0);
  EXPECT_EQ(kind, 0u);  // stream memory
  EXPECT_EQ(base, addr);
  std::vector<unsigned char> bytes(size);
  EXPECT_EQ(qobcrt_memcpy_d2h(0, addr, size, bytes.data()), 0);
  return bytes;
}

// Fresh blocks per update and the not-configured refusal are also covered through the op accessors.
TEST(QobePreproc, UpdateMakesCheckedBlocksFromTheOpsAttributes) {
  PreprocOp p(6, 6);
  ASSERT_EQ(qobeSetOpAttr(p.op, "scale0", qobeATTR_FLOAT32, 1, 0.5), 0);
  ASSERT_EQ(qobeSetOpAttr(p.op, "tensor_type0", qobeATTR_INT32, 1, qobeTENSORIZATION_UINT8), 0);
  ASSERT_EQ(qobeSetOpAttr(p.op, "buffer_count", qobeATTR_UINT32, 1, 2u), 0);
  ASSERT_EQ(qobeSetOpAttr(p.op, "buffer_size", qobeATTR_UINT32, 1, 256u), 0);
  const qobltest::LiveBlocks before = qobltest::liveBlocks();
  ASSERT_EQ(qobeSetOpAttr(p.op, "update_config_list", qobeATTR_UINT32, 1, 1u), 0);
  const std::vector<uint64_t> configs = readArray(p.op, "config_address");
  const std::vector<uint64_t> buffers = readArray(p.op, "buffer_address");
  ASSERT_EQ(configs.size(), 1u);
  ASSERT_EQ(buffers.size(), 2u);
  EXPECT_EQ(qobltest::liveBlocks(),
            (qobltest::LiveBlocks{before.stream + 1, before.inout, before.ddr + 2, before.app}));

  const std::vector<unsigned char> block = readBlock(configs[0]);
  ASSERT_EQ(block.size(), qobcrt_preproc_block_bytes(1, 2));
  qobcrt_preproc_header h{};
  ASSERT_EQ(qobcrt_preproc_check(block.data(), block.size(), 1, 1, &h), QOBCRT_PREPROC_OK);
  uint32_t uid = 0;
  ASSERT_EQ(qobeGetOpAttr(p.op, "uid", qobeATTR_UINT32, &uid), 0);
  EXPECT_EQ(h.op_uid, uid);
  EXPECT_EQ(h.buffer_count, 2u);
  // (The conversion, scale and sizes of a quantising tensor are what the card runs on every normalised run
  // of the demo classifier, bit-exact; the uid, the type and the buffers it does not read.)
  qobcrt_preproc_tensor t{};
  qobcrt_preproc_read_tensor(block.data(), 0, &t);
  EXPECT_EQ(t.tensor_type, qobeTENSORIZATION_UINT8);
  for (uint32_t k = 0; k < 2; ++k) {
    qobcrt_preproc_buffer b{};
    qobcrt_preproc_read_buffer(block.data(), &h, k, &b);
    EXPECT_EQ(b.addr, buffers[k]);
    EXPECT_EQ(b.size, 256u);
  }
  // The caller frees every block, and the card's counts return to before.
  EXPECT_EQ(qobcrt_free_stream(0, configs[0]), 0);
  for (uint64_t a : buffers) EXPECT_EQ(qobcrt_free_ddr_share(0, a), 0);
  EXPECT_EQ(before, qobltest::liveBlocks());
}

TEST(QobePreproc, TensorTypesPickTheConversionAndSizesMustFit) {
  struct Case {
    int32_t tensorType;
    uint32_t outBytes;
    bool accepted;
    uint32_t conversion;
  } cases[] = {
      {qobeTENSORIZATION_NONE, 40, true, QOBCRT_PREPROC_CONV_COPY},
      {qobeTENSORIZATION_NONE, 39, false, 0},  // a copy needs the whole input
      {qobeTENSORIZATION_FP16, 20, true, QOBCRT_PREPROC_CONV_F16},
      {qobeTENSORIZATION_FP16, 19, false, 0},
      {qobeTENSORIZATION_FP16_INTERLEAVE_RGB, 20, true, QOBCRT_PREPROC_CONV_F16},
      {qobeTENSORIZATION_UINT8_INTERLEAVE, 10, true, QOBCRT_PREPROC_CONV_QUANT_U8},
      {qobeTENSORIZATION_TYPE_BUTT, 40, false, 0},
      {-1, 40, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tensorType);
    PreprocOp p(10, c.outBytes);
    ASSERT_EQ(qobeSetOpAttr(p.op, "tensor_type0", qobeATTR_INT32, 1, c.tensorType), 0);
    const int rc = qobeSetOpAttr(p.op, "update_config_list", qobeATTR_UINT32, 1, 1u);
    uint8_t configured = 9;
    ASSERT_EQ(qobeGetOpAttr(p.op, "is_all_properties_configured", qobeATTR_BOOL, &configured), 0);
    EXPECT_EQ(configured, c.accepted ? 1 : 0);
    if (!c.accepted) {
      EXPECT_EQ(rc, qobeERR_NOT_CONFIGURED);
      uint64_t a = 0;
      EXPECT_EQ(qobeGetOpAttr(p.op, "config_address", qobeATTR_UINT64, &a), qobeERR_NOT_FOUND);
      continue;
    }
    ASSERT_EQ(rc, 0);
    const std::vector<uint64_t> configs = readArray(p.op, "config_address");
    ASSERT_EQ(configs.size(), 1u);
    EXPECT_TRUE(readArray(p.op, "buffer_address").empty());
    const std::vector<unsigned char> block = readBlock(configs[0]);
    EXPECT_EQ(qobcrt_preproc_check(block.data(), block.size(), 1, 1, nullptr), QOBCRT_PREPROC_OK);
    qobcrt_preproc_tensor t{};
    qobcrt_preproc_read_tensor(block.data(), 0, &t);
    EXPECT_EQ(t.conversion, c.conversion);
    EXPECT_EQ(t.element_count, c.conversion == QOBCRT_PREPROC_CONV_COPY ? 40u : 10u);
    EXPECT_EQ(t.scale, 1.0f);  // no scale written
    EXPECT_EQ(qobcrt_free_stream(0, configs[0]), 0);
  }
}

TEST(QobePreproc, RefusedUpdatesAllocateNothing) {
  const qobltest::LiveBlocks before = qobltest::liveBlocks();
  {
    PreprocOp p(4, 16);
    ASSERT_EQ(qobeSetOpAttr(p.op, "buffer_count", qobeATTR_UINT32, 1, 1u), 0);
    // Count different from config_count.  (Device runtime failures during an update, each call failed in
    // turn with nothing left behind: the fault sweep, whose pre-processing op updates on every run.)
    EXPECT_EQ(qobeSetOpAttr(p.op, "update_config_list", qobeATTR_UINT32, 1, 2u), qobeERR_INVALID_ARG);
    uint64_t a = 0;
    EXPECT_EQ(qobeGetOpAttr(p.op, "config_address", qobeATTR_UINT64, &a), qobeERR_NOT_FOUND);
    EXPECT_EQ(qobeGetOpAttr(p.op, "update_config_list", qobeATTR_UINT32, &a), qobeERR_NOT_FOUND);
    // A bad device.
    ASSERT_EQ(qobeSetOpAttr(p.op, "device_id", qobeATTR_UINT32, 1, 99u), 0);
    EXPECT_EQ(qobeSetOpAttr(p.op, "update_config_list", qobeATTR_UINT32, 1, 1u), rtErrInvalidDevice);
    // config_count 0.
    ASSERT_EQ(qobeSetOpAttr(p.op, "config_count", qobeATTR_UINT32, 1, 0u), 0);
    EXPECT_EQ(qobeSetOpAttr(p.op, "update_config_list", qobeATTR_UINT32, 1, 0u), qobeERR_UNSUPPORTED);
  }
  for (uint32_t kind : {qobeOP_INPUT_OP, qobeOP_RUN_MODEL_OP, qobeOP_MEM_COPY_OP}) {
    qobeOp* op = nullptr;
    ASSERT_EQ(qobeCreateOp(kind, &op), 0);
    EXPECT_NE(qobeSetOpAttr(op, "update_config_list", qobeATTR_UINT32, 1, 1u), 0);
    qobeDestroyOp(op);
  }
  EXPECT_EQ(before, qobltest::liveBlocks());
}

TEST(QobePreproc, PerTensorScaleFallsBackToScale0AndBadScalesToOne) {
  PreprocOp p(2, 2);
  ASSERT_EQ(qobeSetOpAttr(p.op, "input_count", qobeATTR_UINT32, 1, 3u), 0);
  ASSERT_EQ(qobeSetOpAttr(p.op, "output_count", qobeATTR_UINT32, 1, 3u), 0);
  ASSERT_EQ(qobeSetOpAttr(p.op, "input_size", qobeATTR_UINT32, 3, 8u, 8u, 8u), 0);
  ASSERT_EQ(qobeSetOpAttr(p.op, "output_size", qobeATTR_UINT32, 3, 2u, 2u, 2u), 0);
  for (const char* key : {"tensor_type0", "tensor_type1", "tensor_type2"})
    ASSERT_EQ(qobeSetOpAttr(p.op, key, qobeATTR_INT32, 1, qobeTENSORIZATION_UINT8), 0);
  ASSERT_EQ(qobeSetOpAttr(p.op, "scale0", qobeATTR_FLOAT32, 1, 0.25), 0);
  ASSERT_EQ(qobeSetOpAttr(p.op, "scale2", qobeATTR_FLOAT32, 1, -1.0), 0);
  ASSERT_EQ(qobeSetOpAttr(p.op, "update_config_list", qobeATTR_UINT32, 1, 1u), 0);
  const std::vector<uint64_t> configs = readArray(p.op, "config_address");
  ASSERT_EQ(configs.size(), 1u);
  const std::vector<unsigned char> block = readBlock(configs[0]);
  ASSERT_EQ(qobcrt_preproc_check(block.data(), block.size(), 3, 3, nullptr), QOBCRT_PREPROC_OK);
  EXPECT_EQ(qobcrt_preproc_check(block.data(), block.size(), 3, 2, nullptr), QOBCRT_PREPROC_BAD_COUNTS);
  EXPECT_EQ(qobcrt_preproc_check(block.data(), block.size() - 1, 3, 3, nullptr), QOBCRT_PREPROC_BAD_SIZE);
  const float expected[3] = {0.25f, 0.25f, 1.0f};
  for (uint32_t i = 0; i < 3; ++i) {
    qobcrt_preproc_tensor t{};
    qobcrt_preproc_read_tensor(block.data(), i, &t);
    EXPECT_EQ(t.scale, expected[i]) << i;
  }
  EXPECT_EQ(qobcrt_free_stream(0, configs[0]), 0);
}

// Quantisation and the plain conversions are checked as the card runs them, in the qobcrt suite; widening
// back to float32 over every half, and narrowing every exact half back to itself, in the qobm suite.  Here
// the values that must round.
TEST(QobePreprocMath, Float16RoundsToNearestEven) {
  const float tick = std::ldexp(1.0f, -11);
  const struct {
    float in;
    uint16_t want;
  } cases[] = {
      {65520.0f, 0x7C00},                                          // rounds up past the largest half
      {1e6f, 0x7C00}, {-1e6f, 0xFC00}, {0.1f, 0x2E66},
      {1.0f + tick, 0x3C00}, {1.0f + 3 * tick, 0x3C02},            // ties go to the even neighbour
      {std::ldexp(1.0f, -25), 0x0000}, {3 * std::ldexp(1.0f, -25), 0x0002},   // subnormal ties
  };
  for (const auto& c : cases) EXPECT_EQ(qobcrt_preproc_f32_to_f16(c.in), c.want) << c.in;
  const uint16_t nan = qobcrt_preproc_f32_to_f16(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(nan & 0x7C00, 0x7C00);
  EXPECT_NE(nan & 0x03FF, 0);
}

}  // namespace
