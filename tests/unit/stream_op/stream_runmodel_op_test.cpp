// Loop planning of the run-model op against its parent chain, and the pre-op attributes it writes.
#include <memory>

#include "stream_op/stream_input_op.h"
#include "stream_op/stream_runmodel_op.h"
#include "test_support.h"

namespace zenlar {
namespace qobl {
namespace {

using namespace test;

// The graph's input op with n inputs.
struct Input {
  explicit Input(uint32_t n) { EXPECT_EQ(qobeSetOpAttr(e.op, "input_count", qobeATTR_UINT32, 1, n), 0); }
  EngineOp e{qobeOP_INPUT_OP};
  StreamInputOp op{e.op};
};

// A pre-processing op with `in` inputs of 100, 200, 300... bytes and `out` outputs, connected under parent.
struct Generic {
  Generic(uint32_t in, uint32_t out, IStreamOp* parent) {
    EXPECT_EQ(qobeSetOpAttr(e.op, "input_count", qobeATTR_UINT32, 1, in), 0);
    EXPECT_EQ(qobeSetOpAttr(e.op, "output_count", qobeATTR_UINT32, 1, out), 0);
    int rc = 0;
    if (in == 1) rc = qobeSetOpAttr(e.op, "input_size", qobeATTR_UINT32, 1, 100u);
    if (in == 2) rc = qobeSetOpAttr(e.op, "input_size", qobeATTR_UINT32, 2, 100u, 200u);
    if (in == 3) rc = qobeSetOpAttr(e.op, "input_size", qobeATTR_UINT32, 3, 100u, 200u, 300u);
    if (in == 4) rc = qobeSetOpAttr(e.op, "input_size", qobeATTR_UINT32, 4, 100u, 200u, 300u, 400u);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(op.setInputOp(parent));
  }
  EngineOp e{qobeOP_PREPROCESS_OP};
  StreamOp op{e.op};
};

struct RunModel {
  RunModel(uint32_t inputs, uint32_t batch) {
    model.inputs = inputs;
    model.batch = batch;
    op.setModel(&model);
  }
  FakeModel model;
  EngineOp e{qobeOP_RUN_MODEL_OP};
  StreamRunModelOp op{e.op};
};

// T tensors from the input op, I model inputs, batch B: the loop count L = lcm(T, I * B) makes the chain
// above run L / T times and the model L / (I * B) times; the walk fixes the input op's output sizes from
// the op below it.
TEST(RunModelPlanning, LoopCountsMakeBothSidesEven) {
  const struct {
    uint32_t t, preIn, i, b, modelLoops, chainLoops;  // preIn 0: the model sits right under the input op
  } cases[] = {{2, 2, 3, 1, 2, 3}, {4, 4, 1, 2, 2, 1}, {6, 0, 1, 4, 3, 2}, {1, 0, 1, 4, 1, 4}, {2, 0, 2, 1, 1, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "T " << c.t << " I " << c.i << " B " << c.b);
    Input in(c.t);
    std::unique_ptr<Generic> pre(c.preIn != 0 ? new Generic(c.preIn, c.t, &in.op) : nullptr);
    RunModel rm(c.i, c.b);
    ASSERT_TRUE(rm.op.setInputOp(pre ? &pre->op : static_cast<IStreamOp*>(&in.op)));
    EXPECT_EQ(rm.op.loopCount(), c.modelLoops);
    EXPECT_EQ(in.op.loopCount(), c.chainLoops);
    if (pre) {
      EXPECT_EQ(pre->op.loopCount(), c.chainLoops);
      std::vector<uint32_t> sizes{100, 200, 300, 400};
      sizes.resize(c.t);
      EXPECT_EQ(in.op.outputSizes(), sizes);
    }
  }
  // An op under the input op that takes fewer tensors than the input op hands on.
  Input in(4);
  Generic pre(3, 4, &in.op);
  RunModel rm(1, 2);
  LogCapture log;
  EXPECT_FALSE(rm.op.setInputOp(&pre.op));
  EXPECT_TRUE(log.contains("input op's output count conflict!"));
  EXPECT_TRUE(in.op.outputSizes().empty());
}

// (A second model under the same input op must plan the same count: the graph API test.)
TEST(RunModelPlanning, ZeroCountsAndRefusalsFailTheStep) {
  LogCapture log;
  Input in(2);
  {
    Generic none(2, 0, &in.op);  // parent produces nothing
    RunModel rm(1, 1);
    EXPECT_FALSE(rm.op.setInputOp(&none.op));
    EXPECT_TRUE(log.contains("Cannot plan loop counts"));
  }
  // (A model that cannot tell its batch size or input count: the graph API and stream failure tests; a
  // batch size of 0 is refused by the model itself, and an LCM with 0 is 0: the utilities test.)
  RunModel orphan(1, 1);
  EXPECT_FALSE(orphan.op.setPreOpArg());
  EXPECT_EQ(in.op.loopCount(), 1u);
}

TEST(RunModelPreOpAttrs, ScaleAndTensorTypesLandOnTheParent) {
  Input in(2);
  Generic pre(2, 2, &in.op);
  RunModel rm(2, 1);
  rm.model.scales = {0x3C00, 0x4000, 0x4200};  // 1.0, 2.0, 3.0
  rm.model.tensorTypes = {3};                  // the model knows only output 0's type
  ASSERT_TRUE(rm.op.setInputOp(&pre.op));
  for (const char* key : {"scale0", "scale1", "scale2"}) {
    float v = 0.0f;
    ASSERT_EQ(qobeGetOpAttr(pre.e.op, key, qobeATTR_FLOAT32, &v), 0) << key;
    EXPECT_EQ(v, 1.0f) << key;  // every position takes the first scale
  }
  int32_t t0 = -1, t1 = -1;
  ASSERT_EQ(qobeGetOpAttr(pre.e.op, "tensor_type0", qobeATTR_INT32, &t0), 0);
  ASSERT_EQ(qobeGetOpAttr(pre.e.op, "tensor_type1", qobeATTR_INT32, &t1), 0);
  EXPECT_EQ(t0, 3);
  EXPECT_EQ(t1, 0);
  EXPECT_NE(qobeGetOpAttr(pre.e.op, "tensor_type2", qobeATTR_INT32, &t1), 0);
}

}  // namespace
}  // namespace qobl
}  // namespace zenlar
