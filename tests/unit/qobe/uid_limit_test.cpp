// The uid space ends below bit 31: the last uid is 0x7fffffff and creation fails after it.
#include <gtest/gtest.h>

#include <qobe/qobe.h>

namespace {

TEST(QobeUidLimit, CreationStopsBeforeBit31) {
  qobeOp* first = nullptr;
  ASSERT_EQ(qobeCreateOp(qobeOP_INPUT_OP, &first), 0);
  uint32_t uid = 0;
  ASSERT_EQ(qobeGetOpAttr(first, "uid", qobeATTR_UINT32, &uid), 0);
  // The next uid can only move forwards, never to or beyond bit 31.
  EXPECT_EQ(qobeDebugSetNextUid(uid), qobeERR_INVALID_ARG);
  EXPECT_EQ(qobeDebugSetNextUid(0x80000000u), qobeERR_INVALID_ARG);
  ASSERT_EQ(qobeDebugSetNextUid(0x7ffffffeu), 0);

  qobeOp* a = nullptr;
  qobeOp* b = nullptr;
  ASSERT_EQ(qobeCreateOp(qobeOP_RUN_MODEL_OP, &a), 0);
  ASSERT_EQ(qobeCreateOp(qobeOP_PREPROCESS_OP, &b), 0);
  uint32_t ua = 0, ub = 0;
  ASSERT_EQ(qobeGetOpAttr(a, "uid", qobeATTR_UINT32, &ua), 0);
  ASSERT_EQ(qobeGetOpAttr(b, "uid", qobeATTR_UINT32, &ub), 0);
  EXPECT_EQ(ua, 0x7ffffffeu);
  EXPECT_EQ(ub, 0x7fffffffu);

  qobeOp* c = nullptr;
  EXPECT_EQ(qobeCreateOp(qobeOP_MEM_COPY_OP, &c), qobeERR_EXHAUSTED);
  EXPECT_EQ(c, nullptr);
  // Destroying ops does not give their uids back.
  EXPECT_EQ(qobeDestroyOp(a), 0);
  EXPECT_EQ(qobeCreateOp(qobeOP_MEM_COPY_OP, &c), qobeERR_EXHAUSTED);
  EXPECT_EQ(qobeDestroyOp(b), 0);
  EXPECT_EQ(qobeDestroyOp(first), 0);
  EXPECT_EQ(qobeLiveOpCount(), 0u);
}

}  // namespace
