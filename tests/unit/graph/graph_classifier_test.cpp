// A graph over the demo classifier through libqobl: input op, run-model op and memory-copy op, connected,
// planned against the model's batch size and validated.
#include <gtest/gtest.h>
#include <qobm/qobm.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "graph_validation.h"
#include "i_model.h"
#include "op_directed_graph.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"

using namespace zenlar::qobl;

namespace {

std::string classifierDir() {
  const char* build = std::getenv("QOBL_BUILD_DIR");
  return std::string(build != nullptr ? build : "build") + "/models/classifier/";
}

}  // namespace

TEST(GraphOnClassifier, LoopCountsAndInputSizes) {
  ASSERT_EQ(qobmSetDevice(0), 0);
  const std::string dir = classifierDir();
  qoblModel* model = nullptr;
  ASSERT_EQ(qoblCreateModel((dir + "model.so").c_str(), (dir + "graph.json").c_str(), (dir + "params.bin").c_str(),
                            (dir + "hw.json").c_str(), &model),
            qoblERR_SUCCESS);
  uint32_t batch = 2;
  ASSERT_EQ(qoblSetModelBatchSize(model, &batch), qoblERR_SUCCESS);
  ASSERT_EQ(batch, 2u);
  uint32_t inputs = 0, outputs = 0;
  ASSERT_EQ(qoblGetModelInputCount(model, &inputs), qoblERR_SUCCESS);
  ASSERT_EQ(qoblGetModelOutputCount(model, &outputs), qoblERR_SUCCESS);

  qoblOpGraph* graph = nullptr;
  ASSERT_EQ(qoblCreateOpGraph(&graph), qoblERR_SUCCESS);
  qobeOp *in = nullptr, *rm = nullptr, *copy = nullptr;
  ASSERT_EQ(qoblCreateGraphInputOp(graph, inputs, &in), qoblERR_SUCCESS);
  ASSERT_EQ(qoblCreateRunModelOp(model, &rm), qoblERR_SUCCESS);
  ASSERT_EQ(qobeCreateOp(qobeOP_MEM_COPY_OP, &copy), 0);
  EXPECT_EQ(qoblConnectOps(in, rm), qoblERR_SUCCESS);
  EXPECT_EQ(qoblConnectOps(rm, copy), qoblERR_SUCCESS);

  OpDirectedGraph& g = *graph->ptr_;
  ASSERT_EQ(g.size(), 3u);
  IStreamOp* inOp = (*g.begin())->getStreamOp();
  IStreamOp* modelOp = (*(g.begin() + 1))->getStreamOp();
  IStreamOp* copyOp = (*(g.begin() + 2))->getStreamOp();
  EXPECT_EQ(modelOp->getInputOp(), inOp);
  EXPECT_EQ(copyOp->getInputOp(), modelOp);
  // One run of the input op hands on `inputs` tensors; a model run takes inputs x 2.
  EXPECT_EQ(inOp->loopCount(), 2u);
  EXPECT_EQ(modelOp->loopCount(), 1u);

  ASSERT_TRUE(validateDRGraph(g));
  std::vector<uint32_t> expectedIn;
  for (uint32_t i = 0; i < inputs; ++i) {
    int64_t size = 0;
    ASSERT_TRUE(model->ptr_->getInputSizeByIndex(static_cast<int32_t>(i), size));
    expectedIn.push_back(static_cast<uint32_t>(size));
  }
  EXPECT_EQ(inOp->outputSizes(), expectedIn);
  EXPECT_EQ(copyOp->inputSizes().size(), outputs);

  EXPECT_EQ(qoblDestroyOpGraph(graph), qoblERR_SUCCESS);
  std::free(graph);
  EXPECT_EQ(qoblDestroyModel(model), qoblERR_SUCCESS);
  for (qobeOp* op : {in, rm, copy}) EXPECT_EQ(qobeDestroyOp(op), 0);
}
