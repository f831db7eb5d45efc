// The generic stream op, the input op and the factory, over real op-engine ops.
#include <memory>

#include "stream_op/stream_copymem_op.h"
#include "stream_op/stream_input_op.h"
#include "stream_op/stream_op.h"
#include "stream_op/stream_runmodel_op.h"
#include "test_support.h"

namespace zenlar {
namespace qobl {
namespace {

using test::EngineOp;
using test::FakeModel;

TEST(StreamOpFactory, PicksTheClassByOpKind) {
  EXPECT_EQ(qoblUtilsCreateStreamOp(nullptr), nullptr);

  EngineOp input(qobeOP_INPUT_OP), copy(qobeOP_MEM_COPY_OP), pre(qobeOP_PREPROCESS_OP);
  std::unique_ptr<IStreamOp> in(qoblUtilsCreateStreamOp(input.op));
  std::unique_ptr<IStreamOp> cm(qoblUtilsCreateStreamOp(copy.op));
  std::unique_ptr<IStreamOp> gen(qoblUtilsCreateStreamOp(pre.op));
  EXPECT_NE(dynamic_cast<StreamInputOp*>(in.get()), nullptr);
  EXPECT_NE(dynamic_cast<StreamCopyMemOp*>(cm.get()), nullptr);
  ASSERT_NE(gen, nullptr);
  EXPECT_EQ(dynamic_cast<StreamRunModelOp*>(gen.get()), nullptr);

  // The run-model op takes its model from "model_addr"; without it the op still gets its class.
  FakeModel model;
  EngineOp withModel(qobeOP_RUN_MODEL_OP), noModel(qobeOP_RUN_MODEL_OP);
  ASSERT_EQ(qobeSetOpAttr(withModel.op, "model_addr", qobeATTR_UINT64, 1,
                          static_cast<uint64_t>(reinterpret_cast<uintptr_t>(static_cast<IModel*>(&model)))),
            0);
  std::unique_ptr<IStreamOp> rm(qoblUtilsCreateStreamOp(withModel.op));
  std::unique_ptr<IStreamOp> rmBare(qoblUtilsCreateStreamOp(noModel.op));
  EXPECT_NE(dynamic_cast<StreamRunModelOp*>(rm.get()), nullptr);
  EXPECT_EQ(rm->getModel(), &model);
  ASSERT_NE(dynamic_cast<StreamRunModelOp*>(rmBare.get()), nullptr);
  EXPECT_EQ(rmBare->getModel(), nullptr);
  EXPECT_FALSE(rmBare->setInputOp(in.get()));  // nothing to plan with

  // A kind the library does not know (relabelled to 21) is generic: setOutputSizes changes nothing.
  ASSERT_EQ(qobeSetOpAttr(pre.op, "op_type", qobeATTR_UINT32, 1, 21u), 0);
  ASSERT_EQ(qobeSetOpAttr(pre.op, "output_count", qobeATTR_UINT32, 1, 1u), 0);
  ASSERT_EQ(qobeSetOpAttr(pre.op, "output_size", qobeATTR_UINT32, 1, 64u), 0);
  std::unique_ptr<IStreamOp> odd(qoblUtilsCreateStreamOp(pre.op));
  EXPECT_EQ(odd->opType(), 21u);
  std::vector<uint32_t> sizes{1, 2, 3};
  EXPECT_TRUE(odd->setOutputSizes(sizes));
  EXPECT_EQ(odd->outputSizes(), std::vector<uint32_t>{64});
}

TEST(StreamOp, AnswersFromTheOpEngineAndInputOpHandsOnWhatItReceives) {
  EngineOp pre(qobeOP_PREPROCESS_OP);
  StreamOp op(pre.op);
  // Two buffers whose second address cannot be read: two entries, the second 0.
  ASSERT_EQ(qobeSetOpAttr(pre.op, "buffer_count", qobeATTR_UINT32, 1, 2u), 0);
  ASSERT_EQ(qobeSetOpAttr(pre.op, "buffer_address", qobeATTR_UINT64, 1, uint64_t{0x7000}), 0);
  EXPECT_EQ(op.getBufferAddresses(), (std::vector<uint64_t>{0x7000, 0}));

  EngineOp input(qobeOP_INPUT_OP);
  ASSERT_EQ(qobeSetOpAttr(input.op, "input_count", qobeATTR_UINT32, 1, 3u), 0);
  std::unique_ptr<IStreamOp> in(qoblUtilsCreateStreamOp(input.op));
  EXPECT_EQ(in->inputCount(), 3u);
  EXPECT_EQ(in->outputCount(), 3u);
  std::vector<uint32_t> sizes{12, 24, 36};
  EXPECT_TRUE(in->setOutputSizes(sizes));
  sizes[0] = 99;  // the op keeps its own copy
  EXPECT_EQ(in->outputSizes(), (std::vector<uint32_t>{12, 24, 36}));
}

}  // namespace
}  // namespace qobl
}  // namespace zenlar
