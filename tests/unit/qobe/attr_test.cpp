// Attribute store, built-in attributes and handle validation of the op engine.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
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

std::string name(qobeOp* op) {
  uint64_t p = 0;
  EXPECT_EQ(qobeGetOpAttr(op, "name", qobeATTR_UINT64, &p), 0);
  return p == 0 ? std::string() : std::string(reinterpret_cast<const char*>(p));
}

TEST(QobeAttr, EachKindStartsWithItsBuiltins) {
  struct Case {
    uint32_t kind;
    int32_t typeId;
    const char* prefix;
    uint32_t configCount;
  } cases[] = {{qobeOP_INPUT_OP, qobeTYPE_ID_INPUT, "input_op_", 0},
               {qobeOP_RUN_MODEL_OP, 20000, "run_model_op_", 0},
               {qobeOP_PREPROCESS_OP, qobeTYPE_ID_PREPROCESS, "preprocess_op_", 1},
               {qobeOP_MEM_COPY_OP, qobeTYPE_ID_MEM_COPY, "mem_copy_op_", 0}};
  std::set<int32_t> typeIds;
  for (const Case& c : cases) {
    OpGuard g(c.kind);
    ASSERT_NE(g.op, nullptr);
    const uint32_t uid = u32(g.op, "uid");
    EXPECT_EQ(u32(g.op, "op_type"), c.kind);
    int32_t typeId = 0;
    EXPECT_EQ(qobeGetOpAttr(g.op, "type_id", qobeATTR_INT32, &typeId), 0);
    EXPECT_EQ(typeId, c.typeId);
    typeIds.insert(typeId);
    EXPECT_EQ(name(g.op), std::string(c.prefix) + std::to_string(uid));
    EXPECT_EQ(u32(g.op, "config_count"), c.configCount);
    uint8_t b = 7;
    // A pre-processing op without inputs and outputs is not fully configured; the others are.
    EXPECT_EQ(qobeGetOpAttr(g.op, "is_all_properties_configured", qobeATTR_BOOL, &b), 0);
    EXPECT_EQ(b, c.kind == qobeOP_PREPROCESS_OP ? 0 : 1);
  }
  EXPECT_EQ(typeIds.size(), 4u);
}

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

TEST(QobeAttr, ValuesRoundTripWithTheirWidths) {
  OpGuard g(qobeOP_RUN_MODEL_OP);
  ASSERT_EQ(qobeSetOpAttr(g.op, "scale0", qobeATTR_FLOAT32, 1, 0.125), 0);  // float promoted to double
  ASSERT_EQ(qobeSetOpAttr(g.op, "tensor_type0", qobeATTR_INT32, 1, -3), 0);
  ASSERT_EQ(qobeSetOpAttr(g.op, "is_runmodel_input", qobeATTR_BOOL, 1, 42), 0);
  ASSERT_EQ(qobeSetOpAttr(g.op, "model_addr", qobeATTR_UINT64, 1, uint64_t{0xfedcba9876543210ull}), 0);
  ASSERT_EQ(qobeSetOpAttr(g.op, "output_size", qobeATTR_UINT32, 3, 1u, 2u, 0xffffffffu), 0);

  // Each read writes exactly its type's width: the element after the result keeps its value.
  float f[2] = {0, 9.0f};
  int32_t i[2] = {0, 5};
  uint8_t b[2] = {0, 9};
  uint64_t a = 0;
  uint32_t n = 0;
  EXPECT_EQ(qobeGetOpAttr(g.op, "scale0", qobeATTR_FLOAT32, f), 0);
  EXPECT_EQ(qobeGetOpAttr(g.op, "tensor_type0", qobeATTR_INT32, i), 0);
  EXPECT_EQ(qobeGetOpAttr(g.op, "is_runmodel_input", qobeATTR_BOOL, b), 0);
  EXPECT_EQ(qobeGetOpAttr(g.op, "model_addr", qobeATTR_UINT64, &a), 0);
  EXPECT_EQ((std::vector<float>{f[0], f[1]}), (std::vector<float>{0.125f, 9.0f}));
  EXPECT_EQ((std::vector<int32_t>{i[0], i[1]}), (std::vector<int32_t>{-3, 5}));
  EXPECT_EQ((std::vector<uint8_t>{b[0], b[1]}), (std::vector<uint8_t>{1, 9}));   // normalised to 1
  EXPECT_EQ(a, 0xfedcba9876543210ull);
  EXPECT_EQ(qobeGetOpAttrCount(g.op, "output_size", &n), 0);
  std::vector<uint32_t> got(n);
  for (uint32_t k = 0; k < n; ++k) EXPECT_EQ(qobeGetOpAttrArray(g.op, "output_size", qobeATTR_UINT32, k, &got[k]), 0);
  EXPECT_EQ(got, (std::vector<uint32_t>{1, 2, 0xffffffffu}));
  // Scalar read of an array gives element 0; array read of a scalar at index 0 gives the scalar.
  uint32_t v = 0;
  EXPECT_EQ(qobeGetOpAttr(g.op, "output_size", qobeATTR_UINT32, &v), 0);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(qobeGetOpAttrArray(g.op, "uid", qobeATTR_UINT32, 0, &v), 0);
  EXPECT_EQ(v, u32(g.op, "uid"));
  // A key without a fixed type takes the type of its latest write.
  ASSERT_EQ(qobeSetOpAttr(g.op, "my_key", qobeATTR_UINT32, 1, 3u), 0);
  ASSERT_EQ(qobeSetOpAttr(g.op, "my_key", qobeATTR_FLOAT32, 1, 2.5), 0);
  EXPECT_EQ(qobeGetOpAttr(g.op, "my_key", qobeATTR_UINT32, &v), qobeERR_TYPE);
  EXPECT_EQ(qobeGetOpAttr(g.op, "my_key", qobeATTR_FLOAT32, f), 0);
  EXPECT_EQ(f[0], 2.5f);
}

TEST(QobeAttr, NameAndShapesAreCopiedIntoTheOpAndTheKindStays) {
  OpGuard g(qobeOP_MEM_COPY_OP);
  char text[16];
  std::strcpy(text, "normalize");
  ASSERT_EQ(qobeSetOpAttr(g.op, "name", qobeATTR_UINT64, 1, reinterpret_cast<uint64_t>(text)), 0);
  uint64_t first = 0;
  ASSERT_EQ(qobeGetOpAttr(g.op, "name", qobeATTR_UINT64, &first), 0);
  std::strcpy(text, "changed");
  EXPECT_STREQ(reinterpret_cast<const char*>(first), "normalize");
  EXPECT_NE(first, reinterpret_cast<uint64_t>(text));
  ASSERT_EQ(qobeSetOpAttr(g.op, "name", qobeATTR_UINT64, 1, reinterpret_cast<uint64_t>(text)), 0);
  EXPECT_EQ(name(g.op), "changed");
  EXPECT_STREQ(reinterpret_cast<const char*>(first), "normalize");  // earlier text stays valid
  EXPECT_NE(qobeSetOpAttr(g.op, "name", qobeATTR_UINT64, 1, uint64_t{0}), 0);
  EXPECT_EQ(name(g.op), "changed");

  qobmShape s0{4, {1, 3, 224, 224, 0, 0}};
  qobmShape s1{2, {1, 1000, 0, 0, 0, 0}};
  ASSERT_EQ(qobeSetOpAttr(g.op, "output_shape", qobeATTR_UINT64, 2, reinterpret_cast<uint64_t>(&s0),
                          reinterpret_cast<uint64_t>(&s1)),
            0);
  s0.shapes[2] = 7;
  uint64_t p = 0;
  ASSERT_EQ(qobeGetOpAttrArray(g.op, "output_shape", qobeATTR_UINT64, 1, &p), 0);
  EXPECT_EQ(reinterpret_cast<const qobmShape*>(p)->shapes[1], 1000);
  ASSERT_EQ(qobeGetOpAttrArray(g.op, "output_shape", qobeATTR_UINT64, 0, &p), 0);
  EXPECT_EQ(reinterpret_cast<const qobmShape*>(p)->shapes[2], 224);
  qobmShape bad{7, {}};
  EXPECT_NE(qobeSetOpAttr(g.op, "input_shape", qobeATTR_UINT64, 1, reinterpret_cast<uint64_t>(&bad)), 0);
  EXPECT_NE(qobeSetOpAttr(g.op, "input_shape", qobeATTR_UINT64, 1, uint64_t{0}), 0);
  EXPECT_EQ(qobeGetOpAttr(g.op, "input_shape", qobeATTR_UINT64, &p), qobeERR_NOT_FOUND);

  // op_type may be relabelled, but the op still behaves as the kind it was created as: no configuration blocks.
  ASSERT_EQ(qobeSetOpAttr(g.op, "op_type", qobeATTR_UINT32, 1, 21u), 0);
  EXPECT_EQ(u32(g.op, "op_type"), 21u);
  ASSERT_EQ(qobeSetOpAttr(g.op, "config_count", qobeATTR_UINT32, 1, 1u), 0);
  EXPECT_EQ(qobeSetOpAttr(g.op, "update_config_list", qobeATTR_UINT32, 1, 1u), qobeERR_UNSUPPORTED);
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
