// The model object of a dynamic-shape model on the simulated card: shapes before batch size, shape
// validation against the module's input ranks, and reloads under new shapes.
#include <gtest/gtest.h>
#include <qobcrt/qobcrt_sim.h>
#include <qobm/qobm.h>
#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "i_model.h"
#include "model_mgr.h"
#include "model_test_util.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"

using namespace modeltest;
using zenlar::qobl::IModel;
using zenlar::qobl::ModelMgr;
using zenlar::qobl::qoblShape;

namespace {

qoblShape image(int64_t h, int64_t w) {
  qoblShape s;
  s.ndims = 4;
  s.shapes[0] = 1;
  s.shapes[1] = 3;
  s.shapes[2] = h;
  s.shapes[3] = w;
  return s;
}

// The demo suite's members read into memory, as the dynamic model API hands them to the model manager.
struct Suite {
  std::string shapeRanges, sharedParams;
  std::vector<std::string> graphs, params;
  zenlar::qobl::ModelFileSuiteCollection collection;

  bool load() {
    const std::string dir = demoModelDir("dynamic");
    const std::string text = readBytes(dir + "suite.json");
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    if (doc.HasParseError() || !doc.IsObject()) return false;
    shapeRanges = doc["shape_ranges"].GetString();
    sharedParams = doc["shared_params"].GetString();
    const std::string prefix = doc["module_name"].GetString();
    const int n = doc["module_num"].GetInt();
    graphs.resize(n);
    params.resize(n);
    for (int i = 0; i < n; ++i) {
      const auto& m = doc[(prefix + std::to_string(i)).c_str()];
      graphs[i] = readBytes(dir + m[2].GetString());
      params[i] = readBytes(dir + m[1].GetString());
      collection.emplace_back(dir + m[0].GetString(), graphs[i].c_str(), params[i].data(), params[i].size());
    }
    return n > 0;
  }
};

class DynamicModelTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, qobmSetDevice(0));
    ASSERT_TRUE(suite_.load());
    hw_ = readBytes(demoModelDir("dynamic") + "hw.json");
    ASSERT_FALSE(hw_.empty());
  }
  IModel* create(const std::string& name) {
    IModel* model = nullptr;
    EXPECT_TRUE(ModelMgr::createDynamicModel(&model, suite_.shapeRanges, suite_.sharedParams, suite_.collection,
                                             hw_.c_str(), name, 0));
    EXPECT_NE(nullptr, model);
    return model;
  }
  Suite suite_;
  std::string hw_;
};

}  // namespace

TEST_F(DynamicModelTest, ShapesComeBeforeTheBatchSizeAndAreCheckedAgainstTheInputRanks) {
  LogCapture log;
  const uint64_t baseline = liveBlocks(QOBCRT_SIM_STREAM);
  IModel* model = create("dynamic-model-test-states");
  ASSERT_NE(nullptr, model);
  EXPECT_TRUE(model->isDynamic());

  // CREATED: neither the batch size nor the current-shape maximum can be had yet.
  uint32_t batch = 4;
  EXPECT_FALSE(model->setBatchSize(batch));
  EXPECT_TRUE(log.hasError("Failed to set batch size state wrong\n"));
  uint32_t max = 0;
  EXPECT_FALSE(model->getMaxBatchSize(max));
  EXPECT_TRUE(log.hasError("exception to get maxbatchsize state wrong\n"));

  // The maximum for given shapes works in any state and changes nothing.
  EXPECT_TRUE(model->getMaxBatchSize({image(32, 32)}, max));
  EXPECT_EQ(2u, max);
  EXPECT_FALSE(model->getMaxBatchSize(max));

  log.clear();
  EXPECT_FALSE(model->setInputShape({image(8, 8), image(8, 8)}));
  qoblShape rank3 = image(8, 8);
  rank3.ndims = 3;
  EXPECT_FALSE(model->setInputShape({rank3}));
  EXPECT_FALSE(model->getMaxBatchSize({rank3}, max));
  EXPECT_EQ((std::vector<std::string>{"exception to set inputshape shape count is wrong\n",
                                      "exception to set inputshape dims number is wrong\n",
                                      "exception to get maxbatchsize dims number is wrong\n"}),
            log.errors());
  EXPECT_FALSE(model->setBatchSize(batch));  // still CREATED

  // SHAPED, then LOADED with the batch size clamped to what 16x16 allows.
  ASSERT_TRUE(model->setInputShape({image(16, 16)}));
  EXPECT_TRUE(model->getMaxBatchSize(max));
  EXPECT_EQ(8u, max);
  batch = 10;
  ASSERT_TRUE(model->setBatchSize(batch));
  EXPECT_EQ(8u, batch);
  qobmShape shape{};
  // No pre-process ops: one tensor type, input 0's (float32 maps to none), and nothing on the card.
  uint16_t v = 99;
  EXPECT_TRUE(model->getPreOpCfgTensorTypeByIndex(0, v));
  EXPECT_EQ(0, v);
  EXPECT_FALSE(model->getPreOpCfgTensorTypeByIndex(1, v));
  EXPECT_EQ(baseline, liveBlocks(QOBCRT_SIM_STREAM));

  // 32x32 allows only 2: refused while the batch size is 8, and the 16x16 shapes stay current.
  log.clear();
  EXPECT_FALSE(model->setInputShape({image(32, 32)}));
  EXPECT_EQ((std::vector<std::string>{
                "exception to set inputshape last batchsize is exceed max batchsize that current shape support\n"}),
            log.errors());
  ASSERT_TRUE(model->getInputShapeByIndex(0, shape));
  EXPECT_EQ(16, shape.shapes[2]);
  uint32_t current = 0;
  EXPECT_TRUE(model->getBatchSize(current));
  EXPECT_EQ(8u, current);

  // With a batch size that fits, the new shapes reload the model.
  batch = 2;
  ASSERT_TRUE(model->setBatchSize(batch));
  ASSERT_TRUE(model->setInputShape({image(32, 32)}));
  ASSERT_TRUE(model->getInputShapeByIndex(0, shape));
  EXPECT_EQ(32, shape.shapes[2]);
  int64_t bytes = 0;
  EXPECT_TRUE(model->getOutPutSizeByIndex(0, bytes));
  EXPECT_EQ(4 * 32 * 32 * 4, bytes);   // one batch position
  EXPECT_FALSE(model->getInputShapeByIndex(-1, shape));

  EXPECT_TRUE(ModelMgr::releaseModel(model));
  EXPECT_EQ(baseline, liveBlocks(QOBCRT_SIM_STREAM));
}

TEST_F(DynamicModelTest, ShapeOperationsNeedADynamicModel) {
  LogCapture log;
  const std::string dir = demoModelDir("classifier");
  qoblModel* handle = nullptr;
  ASSERT_EQ(0u, qoblCreateModel((dir + "model.so").c_str(), (dir + "graph.json").c_str(),
                                (dir + "params.bin").c_str(), nullptr, &handle));
  uint32_t max = 0;
  EXPECT_FALSE(handle->ptr_->setInputShape({image(16, 16)}));
  EXPECT_FALSE(handle->ptr_->getMaxBatchSize({image(16, 16)}, max));
  EXPECT_EQ((std::vector<std::string>{"exception to set inputshape must dynamic model\n",
                                      "exception to get maxbatchsize must dynamic model\n"}),
            log.errors());
  EXPECT_EQ(0u, qoblDestroyModel(handle));
}

TEST_F(DynamicModelTest, FailedRuntimeCreationWritesNoModel) {
  zenlar::qobl::ModelFileSuiteCollection broken = suite_.collection;
  std::get<0>(broken[0]) = demoModelDir("dynamic") + "no-such-library.so";
  IModel* model = nullptr;
  EXPECT_FALSE(ModelMgr::createDynamicModel(&model, suite_.shapeRanges, suite_.sharedParams, broken, hw_.c_str(),
                                            "dynamic-model-test-broken", 0));
  EXPECT_EQ(nullptr, model);
}
