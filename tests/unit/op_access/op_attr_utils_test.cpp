// Op attribute accessors over the real op engine.
#include <gtest/gtest.h>

#include <qobcrt/qobcrt.h>
#include <qobe/qobe.h>

#include "qobl_test/card_stats.h"
#include "utils/op_attr_utils.h"

namespace zenlar {
namespace qobl {
namespace {

struct Op {
  explicit Op(uint32_t kind) { EXPECT_EQ(qobeCreateOp(kind, &op), 0); }
  ~Op() { qobeDestroyOp(op); }
  qobeOp* op = nullptr;
};

bool wroteUpdate(qobeOp* op) {
  uint32_t n = 0;
  return qobeGetOpAttr(op, "update_config_list", qobeATTR_UINT32, &n) == 0;
}

// Every reader of a destroyed op (and of missing keys on a live one) gives 0, false or empty.
TEST(OpAccess, FailedReadsGiveTheNeutralValue) {
  qobeOp* gone = nullptr;
  ASSERT_EQ(qobeCreateOp(qobeOP_PREPROCESS_OP, &gone), 0);
  ASSERT_EQ(qobeDestroyOp(gone), 0);
  EXPECT_EQ((std::vector<uint64_t>{0, 0, 0, 0, 0, 0, 0, 0, 0}),
            (std::vector<uint64_t>{qobeOpUid(gone), static_cast<uint64_t>(qobeOpTypeId(gone)), getQobeOpType(gone),
                                   qobeOpDeviceId(gone), qobeOpConfigCount(gone), qobeOpBufferCount(gone),
                                   qobeOpInputCount(gone), qobeOpOutputCount(gone), qobeBufferAddr(gone)}));
  EXPECT_FALSE(setQobeOpDeviceId(gone, 1));  // false exactly when the write is refused
  EXPECT_FALSE(setQobeOpDeviceId(nullptr, 1));
  EXPECT_FALSE(isRunmodelInput(gone) || isAllPropertiesConfigured(gone));
  EXPECT_EQ(qobeOpName(gone), "");
  EXPECT_TRUE(qobeOpConfigList(gone).empty() && qobeOpInputSizes(gone).empty() && qobeOpOutputSizes(gone).empty());
  EXPECT_TRUE(qobeOpInputShape(gone).empty() && qobeOpOutputShape(gone).empty());
  Op o(qobeOP_MEM_COPY_OP);
  EXPECT_EQ(qobeBufferAddr(o.op), 0u);
  EXPECT_FALSE(isRunmodelInput(o.op));
}

TEST(OpAccess, ArrayReadersAreEmptyAtTheFirstFailedElement) {
  Op o(qobeOP_PREPROCESS_OP);
  ASSERT_EQ(qobeSetOpAttr(o.op, "input_count", qobeATTR_UINT32, 1, 3u), 0);
  ASSERT_EQ(qobeSetOpAttr(o.op, "output_count", qobeATTR_UINT32, 1, 2u), 0);
  // Only one of three input sizes: not a sequence of one, but empty.
  ASSERT_EQ(qobeSetOpAttr(o.op, "input_size", qobeATTR_UINT32, 1, 12u), 0);
  ASSERT_EQ(qobeSetOpAttr(o.op, "output_size", qobeATTR_UINT32, 3, 5u, 6u, 7u), 0);
  EXPECT_TRUE(qobeOpInputSizes(o.op).empty());
  EXPECT_EQ(qobeOpOutputSizes(o.op), (std::vector<uint32_t>{5, 6}));  // as many as output_count
  ASSERT_EQ(qobeSetOpAttr(o.op, "input_size", qobeATTR_UINT32, 3, 12u, 24u, 36u), 0);
  EXPECT_EQ(qobeOpInputSizes(o.op), (std::vector<uint32_t>{12, 24, 36}));

  qobmShape a{2, {1, 10, 0, 0, 0, 0}};
  qobmShape b{4, {1, 3, 8, 8, -1, 99}};
  ASSERT_EQ(qobeSetOpAttr(o.op, "output_shape", qobeATTR_UINT64, 2, reinterpret_cast<uint64_t>(&a),
                          reinterpret_cast<uint64_t>(&b)),
            0);
  const std::vector<qoblShape> out = qobeOpOutputShape(o.op);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].ndims, 4u);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(out[1].shapes[k], b.shapes[k]) << k;  // all six extents copied
  EXPECT_EQ(out[0].shapes[1], 10);
  ASSERT_EQ(qobeSetOpAttr(o.op, "input_shape", qobeATTR_UINT64, 2, reinterpret_cast<uint64_t>(&a),
                          reinterpret_cast<uint64_t>(&b)),
            0);
  EXPECT_TRUE(qobeOpInputShape(o.op).empty());  // three inputs, two shapes
  // A count that cannot be read makes the count 0 and the sequence empty.
  ASSERT_EQ(qobeSetOpAttr(o.op, "output_count", qobeATTR_UINT32, 1, 0u), 0);
  EXPECT_TRUE(qobeOpOutputSizes(o.op).empty());
}

TEST(OpAccess, ConfigListUpdatesOnlyWithANonZeroCount) {
  const uint64_t before = qobltest::liveBlocks().stream;
  Op o(qobeOP_PREPROCESS_OP);
  ASSERT_EQ(qobeSetOpAttr(o.op, "input_count", qobeATTR_UINT32, 1, 1u), 0);
  ASSERT_EQ(qobeSetOpAttr(o.op, "output_count", qobeATTR_UINT32, 1, 1u), 0);
  ASSERT_EQ(qobeSetOpAttr(o.op, "input_size", qobeATTR_UINT32, 1, 32u), 0);
  ASSERT_EQ(qobeSetOpAttr(o.op, "output_size", qobeATTR_UINT32, 1, 8u), 0);

  // Not configured yet (a plain copy needs 32 output bytes): the engine refuses, the list is empty.
  EXPECT_TRUE(qobeOpConfigList(o.op).empty());
  EXPECT_FALSE(wroteUpdate(o.op));

  ASSERT_EQ(qobeSetOpAttr(o.op, "tensor_type0", qobeATTR_INT32, 1, qobeTENSORIZATION_UINT8), 0);
  const std::vector<uint64_t> first = qobeOpConfigList(o.op);
  const std::vector<uint64_t> second = qobeOpConfigList(o.op);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first[0], second[0]);  // fresh blocks per call
  EXPECT_TRUE(wroteUpdate(o.op));
  EXPECT_EQ(qobltest::liveBlocks().stream, before + 2);
  EXPECT_EQ(qobcrt_free_stream(0, first[0]), 0);
  EXPECT_EQ(qobcrt_free_stream(0, second[0]), 0);

  // config_count 0: empty, and "update_config_list" is never written.
  Op zero(qobeOP_PREPROCESS_OP);
  ASSERT_EQ(qobeSetOpAttr(zero.op, "config_count", qobeATTR_UINT32, 1, 0u), 0);
  EXPECT_TRUE(qobeOpConfigList(zero.op).empty());
  EXPECT_FALSE(wroteUpdate(zero.op));
  Op input(qobeOP_INPUT_OP);  // config_count 0 from creation
  EXPECT_TRUE(qobeOpConfigList(input.op).empty());
  EXPECT_FALSE(wroteUpdate(input.op));

  EXPECT_EQ(qobltest::liveBlocks().stream, before);
}

}  // namespace
}  // namespace qobl
}  // namespace zenlar
