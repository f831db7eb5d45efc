// Attribute store, built-in attributes and handle validation of the op engine.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <qobe/qobe.h>
#include <qobm/qobm.h>

namespace {

struct OpGuard {
  explicit OpGuard(uint32_t kind) { EXPECT_EQ(qobeCreateOp(kind, &op), 0); }
  ~OpGuard() {
    if (op != nullptr) qobeDestroyOp(op);
  }
  qobeOp* op = nullptr;
};

uint32_t u32(qobeOp* op, const char* key) {
  uint32_t v = 0xdeadbeef;
  EXPECT_EQ(qobeGetOpAttr(op, key, qobeATTR_UINT32, &v), 0) << key;
  return v;
}

// The built-in attributes each kind starts with are read back through the library's op readers
// (op_access_test), and the record type ids reach the card in every run of the stream tests.

TEST(QobeAttr, FailedReadsLeaveTheResultUntouched) {
  OpGuard g(qobeOP_PREPROCESS_OP);
  uint32_t v = 77;
  EXPECT_EQ(qobeGetOpAttr(g.op, "no_such_key", qobeATTR_UINT32, &v), qobeERR_NOT_FOUND);
  EXPECT_EQ(v, 77u);
  // Wrong type code on a 4-byte attribute, wide result: not a single byte changes.
  uint64_t wide = 0x1122334455667788ull;
  EXPECT_EQ(qobeGetOpAttr(g.op, "uid", qobeATTR_UINT64, &wide), qobeERR_TYPE);
  EXPECT_EQ(qobeGetOpAttr(g.op, "uid", qobeATTR_INT32, &wide), qobeERR_TYPE);
  EXPECT_EQ(qobeGetOpAttr(g.op, "uid", 3, &wide), qobeERR_TYPE);  // not a type code
  EXPECT_EQ(wide, 0x1122334455667788ull);
  ASSERT_EQ(qobeSetOpAttr(g.op, "input_size", qobeATTR_UINT32, 2, 40u, 80u), 0);
  EXPECT_EQ(qobeGetOpAttrArray(g.op, "input_size", qobeATTR_UINT32, 2, &v), qobeERR_INDEX);
  EXPECT_EQ(qobeGetOpAttrArray(g.op, "input_size", qobeATTR_FLOAT32, 0, &v), qobeERR_TYPE);
  EXPECT_EQ(v, 77u);
  // Writes with a type other than a built-in key's type are refused and change nothing.
  EXPECT_EQ(qobeSetOpAttr(g.op, "device_id", qobeATTR_INT32, 1, 5), qobeERR_TYPE);
  EXPECT_EQ(qobeSetOpAttr(g.op, "scale0", qobeATTR_UINT32, 1, 5u), qobeERR_TYPE);
  EXPECT_EQ(u32(g.op, "device_id"), 0u);
  // The uid cannot be rewritten.
  const uint32_t uid = u32(g.op, "uid");
  EXPECT_EQ(qobeSetOpAttr(g.op, "uid", qobeATTR_UINT32, 1, uid + 1), qobeERR_READ_ONLY);
  EXPECT_EQ(u32(g.op, "uid"), uid);
  EXPECT_NE(qobeSetOpAttr(g.op, "device_id", qobeATTR_UINT32, 0), 0);  // count 0
  EXPECT_NE(qobeSetOpAttr(g.op, nullptr, qobeATTR_UINT32, 1, 1u), 0);
  EXPECT_NE(qobeGetOpAttr(g.op, "uid", qobeATTR_UINT32, nullptr), 0);
}

// Values of every width round-trip through the library's op readers (op_access_test, the stream-op tests)
// under the sanitizers; here what the engine alone decides: booleans are stored as 1, and a key without a
// fixed type takes the type of its latest write.
TEST(QobeAttr, BooleansNormaliseAndFreeKeysTakeTheLatestType) {
  OpGuard g(qobeOP_RUN_MODEL_OP);
  ASSERT_EQ(qobeSetOpAttr(g.op, "is_runmodel_input", qobeATTR_BOOL, 1, 42), 0);
  uint8_t b[2] = {0, 9};
  EXPECT_EQ(qobeGetOpAttr(g.op, "is_runmodel_input", qobeATTR_BOOL, b), 0);
  EXPECT_EQ((std::vector<uint8_t>{b[0], b[1]}), (std::vector<uint8_t>{1, 9}));
  uint32_t v = 0;
  float f = 0;
  ASSERT_EQ(qobeSetOpAttr(g.op, "my_key", qobeATTR_UINT32, 1, 3u), 0);
  ASSERT_EQ(qobeSetOpAttr(g.op, "my_key", qobeATTR_FLOAT32, 1, 2.5), 0);
  EXPECT_EQ(qobeGetOpAttr(g.op, "my_key", qobeATTR_UINT32, &v), qobeERR_TYPE);
  EXPECT_EQ(qobeGetOpAttr(g.op, "my_key", qobeATTR_FLOAT32, &f), 0);
  EXPECT_EQ(f, 2.5f);
}

// The op keeps its own copies of the texts and shapes an application sets: the caller's buffers may go
// away, and a text read earlier stays valid after a new one is set.
TEST(QobeAttr, NameAndShapesAreCopiedIntoTheOp) {
  OpGuard g(qobeOP_MEM_COPY_OP);
  char text[16] = "normalize";
  ASSERT_EQ(qobeSetOpAttr(g.op, "name", qobeATTR_UINT64, 1, reinterpret_cast<uint64_t>(text)), 0);
  uint64_t first = 0, second = 0;
  ASSERT_EQ(qobeGetOpAttr(g.op, "name", qobeATTR_UINT64, &first), 0);
  std::strcpy(text, "changed");
  ASSERT_EQ(qobeSetOpAttr(g.op, "name", qobeATTR_UINT64, 1, reinterpret_cast<uint64_t>(text)), 0);
  ASSERT_EQ(qobeGetOpAttr(g.op, "name", qobeATTR_UINT64, &second), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(first), "normalize");
  EXPECT_STREQ(reinterpret_cast<const char*>(second), "changed");
  EXPECT_NE(qobeSetOpAttr(g.op, "name", qobeATTR_UINT64, 1, uint64_t{0}), 0);

  qobmShape s{2, {1, 1000, 0, 0, 0, 0}};
  ASSERT_EQ(qobeSetOpAttr(g.op, "output_shape", qobeATTR_UINT64, 1, reinterpret_cast<uint64_t>(&s)), 0);
  s.shapes[1] = 7;
  uint64_t p = 0;
  ASSERT_EQ(qobeGetOpAttrArray(g.op, "output_shape", qobeATTR_UINT64, 0, &p), 0);
  EXPECT_EQ(reinterpret_cast<const qobmShape*>(p)->shapes[1], 1000);
  qobmShape bad{7, {}};
  EXPECT_NE(qobeSetOpAttr(g.op, "input_shape", qobeATTR_UINT64, 1, reinterpret_cast<uint64_t>(&bad)), 0);
}

TEST(QobeAttr, StaleAndForeignHandlesAreRefused) {
  const uint32_t before = qobeLiveOpCount();
  qobeOp* op = nullptr;
  ASSERT_EQ(qobeCreateOp(qobeOP_INPUT_OP, &op), 0);
  EXPECT_EQ(qobeLiveOpCount(), before + 1);
  ASSERT_EQ(qobeDestroyOp(op), 0);
  EXPECT_EQ(qobeLiveOpCount(), before);
  // A new op never gets the handle of a destroyed one.
  OpGuard fresh(qobeOP_INPUT_OP);
  EXPECT_NE(fresh.op, op);

  int local = 0;
  qobeOp* foreign = reinterpret_cast<qobeOp*>(&local);
  for (qobeOp* bad : {op, foreign}) {
    uint32_t v = 5;
    EXPECT_EQ(qobeGetOpAttr(bad, "uid", qobeATTR_UINT32, &v), qobeERR_INVALID_OP);
    EXPECT_EQ(qobeGetOpAttrArray(bad, "uid", qobeATTR_UINT32, 0, &v), qobeERR_INVALID_OP);
    EXPECT_EQ(qobeSetOpAttr(bad, "device_id", qobeATTR_UINT32, 1, 1u), qobeERR_INVALID_OP);
    EXPECT_EQ(qobeGetOpAttrCount(bad, "uid", &v), qobeERR_INVALID_OP);
    EXPECT_EQ(qobeDestroyOp(bad), qobeERR_INVALID_OP);
    EXPECT_EQ(v, 5u);
  }
  EXPECT_EQ(local, 0);
  EXPECT_NE(qobeDestroyOp(nullptr), 0);
  for (uint32_t kind : {0u, 4u, 21u}) {  // unknown kinds
    qobeOp* out = reinterpret_cast<qobeOp*>(0x1);
    EXPECT_NE(qobeCreateOp(kind, &out), 0) << kind;
    EXPECT_EQ(out, reinterpret_cast<qobeOp*>(0x1));
  }
  EXPECT_NE(qobeCreateOp(qobeOP_INPUT_OP, nullptr), 0);
}

}  // namespace
