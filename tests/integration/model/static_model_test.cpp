// Static model API on the simulated card: loading the demo classifier, the model's name, the state
// machine of its getters, the pre-process configuration uploaded at load, and every failure path.
#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <qobm/qobm.h>

#include <string>
#include <thread>
#include <vector>

#include "i_model.h"
#include "md5.h"
#include "model_test_util.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"

using namespace modeltest;

namespace {

struct ModelFiles {
  std::string lib, graph, params, hw;
};

ModelFiles classifier() {
  const std::string dir = demoModelDir("classifier");
  return ModelFiles{dir + "model.so", dir + "graph.json", dir + "params.bin", dir + "hw.json"};
}

class StaticModelTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, qobmSetDevice(0));
    qobcrt_sim_clear_faults();
    baseline_ = liveBlocks(QOBCRT_SIM_STREAM);
  }
  void TearDown() override {
    qobcrt_sim_clear_faults();
    // Every model made by a test is destroyed by it: the card holds no stream memory of ours any more.
    EXPECT_EQ(baseline_, liveBlocks(QOBCRT_SIM_STREAM));
  }

  qoblModel* create(const ModelFiles& f, bool withHw = true) {
    qoblModel* model = nullptr;
    EXPECT_EQ(0u, qoblCreateModel(f.lib.c_str(), f.graph.c_str(), f.params.c_str(), withHw ? f.hw.c_str() : nullptr,
                                  &model));
    EXPECT_NE(nullptr, model);
    return model;
  }

  // The model's name, read from the message of a load whose pre-process lookup is made to fail.
  std::string nameOf(qoblModel* model) {
    LogCapture log;
    EXPECT_EQ(0, qobcrt_sim_fail_call("qobcrt_get_vdsp_ops", 1, rtErrModel));
    uint32_t batch = 1;
    EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetModelBatchSize(model, &batch));
    qobcrt_sim_clear_faults();
    const std::string prefix = "Failed to get the config of pre-process Ops of model: ";
    for (const auto& e : log.errors()) {
      if (e.compare(0, prefix.size(), prefix) == 0) {
        const std::string rest = e.substr(prefix.size());
        EXPECT_EQ(" device 0\n", rest.substr(rest.find(' ')));
        return rest.substr(0, rest.find(' '));
      }
    }
    ADD_FAILURE() << "no pre-process lookup failure was logged";
    return "";
  }

  // Pre-process configuration as the run-model op sees it.
  struct PreOp {
    std::vector<uint16_t> scales, types;
    std::vector<uint64_t> addrs;
  };
  static PreOp preOpOf(qoblModel* model) {
    PreOp p;
    zenlar::qobl::IModel* m = model->ptr_;
    uint16_t v = 0;
    for (int32_t i = 0; m->getPreOpCfgScaleFactorByIndex(i, v); ++i) p.scales.push_back(v);
    for (int32_t i = 0; m->getPreOpCfgTensorTypeByIndex(i, v); ++i) p.types.push_back(v);
    EXPECT_TRUE(m->getPreOpCfgAddrList(p.addrs));
    return p;
  }

  uint64_t baseline_ = 0;
};

std::string hwWithOps(const std::string& ops) {
  return std::string("{\"max_batch_size\": 4, \"preprocess_ops\": [") + ops + "]}";
}

}  // namespace

TEST_F(StaticModelTest, ClassifierLoadsAndAnswersAfterTheBatchSizeIsSet) {
  LogCapture log;
  qoblModel* model = create(classifier());
  ASSERT_NE(nullptr, model);
  ASSERT_NE(nullptr, model->ptr_);
  EXPECT_FALSE(model->ptr_->isDynamic());

  // Before the batch size is set only the output count, output type and max batch size answer.
  uint32_t u = 77;
  qobmShape shape{};
  uint64_t size = 0;
  const struct {
    const char* name;
    qoblErr rc;
    const char* message;
  } early[] = {
      {"batch size", qoblGetModelBatchSize(model, &u), "exception to get batchsize state wrong\n"},
      {"input count", qoblGetModelInputCount(model, &u), "exception to get inputcount state wrong\n"},
      {"input shape", qoblGetModelInputShapeByIndex(model, 0, &shape), "exception to get inputshape state wrong\n"},
      {"output shape", qoblGetModelOutputShapeByIndex(model, 0, &shape),
       "exception to get outputshape state wrong\n"},
      {"output size", qoblGetModelOutputSizeByIndex(model, 0, &size), "exception to get outputshape state wrong\n"},
      {"align size", qoblGetModelAlignOutputSizeByIndex(model, 0, &size),
       "exception to get output size state wrong\n"},
  };
  for (const auto& e : early) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(qoblERR_MODEL_OPERATION, e.rc);
    EXPECT_TRUE(log.hasError(e.message));
  }
  EXPECT_EQ(77u, u);
  uint64_t modelAddr = 0;
  EXPECT_FALSE(model->ptr_->getModelAddress(modelAddr));

  uint32_t maxBatch = 0, outCount = 0;
  qobmDType dtype = qobmDT_ANY;
  EXPECT_EQ(0u, qoblGetModelMaxBatchSize(model, &maxBatch));
  EXPECT_EQ(0u, qoblGetModelOutputCount(model, &outCount));
  EXPECT_EQ(0u, qoblGetModelOutputDataTypeByIndex(model, 0, &dtype));
  EXPECT_EQ((std::vector<uint32_t>{4, 1, qobmDT_FLOAT32}), (std::vector<uint32_t>{maxBatch, outCount, static_cast<uint32_t>(dtype)}));

  // A batch size above the maximum is clamped and written back.
  uint32_t batch = 9;
  ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
  EXPECT_EQ(4u, batch);
  u = 0;
  EXPECT_EQ(0u, qoblGetModelBatchSize(model, &u));
  EXPECT_EQ(4u, u);

  ASSERT_EQ(0u, qoblGetModelInputShapeByIndex(model, 0, &shape));
  // Shapes and sizes are those of one batch position.
  EXPECT_EQ((std::vector<int64_t>{1, 3, 16, 16}), std::vector<int64_t>(shape.shapes, shape.shapes + shape.ndims));
  ASSERT_EQ(0u, qoblGetModelOutputSizeByIndex(model, 0, &size));
  EXPECT_EQ(10u * 4, size);

  // Index checks: negative and past-the-end indexes fail.
  log.clear();
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetModelInputShapeByIndex(model, -1, &shape));
  EXPECT_TRUE(log.hasError("exception to get inputshape index should less than input number\n"));
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetModelInputShapeByIndex(model, 1, &shape));
  uint16_t half = 0;
  EXPECT_FALSE(model->ptr_->getPreOpCfgTensorTypeByIndex(-1, half));

  EXPECT_EQ(0u, qoblDestroyModel(model));
}

TEST_F(StaticModelTest, ModelIsNamedByTheDigestOfItsFiles) {
  const ModelFiles f = classifier();
  qoblModel* a = create(f);
  qoblModel* b = create(f);
  qoblModel* noHw = create(f, false);
  ASSERT_TRUE(a != nullptr && b != nullptr && noHw != nullptr);

  const std::string lib = readBytes(f.lib), graph = readBytes(f.graph), params = readBytes(f.params),
                    hw = readBytes(f.hw);
  ASSERT_FALSE(lib.empty() || graph.empty() || params.empty() || hw.empty());
  const std::string withHw = lib + graph + params + hw;
  const std::string without = lib + graph + params;
  const std::string nameA = nameOf(a), nameNoHw = nameOf(noHw);
  EXPECT_EQ(zenlar::qobl::md5::digestString(withHw.data(), static_cast<uint32_t>(withHw.size())), nameA);
  EXPECT_EQ(zenlar::qobl::md5::digestString(without.data(), static_cast<uint32_t>(without.size())), nameNoHw);
  EXPECT_EQ(nameA, nameOf(b));
  EXPECT_NE(nameA, nameNoHw);

  EXPECT_EQ(0u, qoblDestroyModel(a));
  EXPECT_EQ(0u, qoblDestroyModel(b));
  EXPECT_EQ(0u, qoblDestroyModel(noHw));
}

TEST_F(StaticModelTest, PreProcessConfigurationIsUploadedPerLoadAndFreed) {
  qoblModel* model = create(classifier());
  ASSERT_NE(nullptr, model);
  EXPECT_EQ(baseline_, liveBlocks(QOBCRT_SIM_STREAM));

  uint32_t batch = 1;
  ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
  PreOp p = preOpOf(model);
  // One quantising op, one uint8 output with scale 1/64.
  EXPECT_EQ((std::vector<uint16_t>{0x2400}), p.scales);
  EXPECT_EQ((std::vector<uint16_t>{1}), p.types);
  ASSERT_EQ(1u, p.addrs.size());
  EXPECT_EQ(baseline_ + 1, liveBlocks(QOBCRT_SIM_STREAM));
  // Reloading replaces the blocks instead of adding to them.
  for (uint32_t b : {2u, 4u, 3u}) {
    batch = b;
    ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
    EXPECT_EQ(baseline_ + 1, liveBlocks(QOBCRT_SIM_STREAM));
    EXPECT_EQ(1u, preOpOf(model).addrs.size());
  }
  EXPECT_EQ(0u, qoblDestroyModel(model));
  EXPECT_EQ(baseline_, liveBlocks(QOBCRT_SIM_STREAM));
}

TEST_F(StaticModelTest, PreProcessRecordsFromHardwareConfigurations) {
  const ModelFiles f = classifier();
  ScratchDir dir;
  struct Case {
    const char* name;
    std::string hw;
    size_t blocks;
    std::vector<uint16_t> scales, types;
  };
  const Case cases[] = {
      // No pre-process ops: exactly input 0's type (float32 maps to none), no scale.
      {"none", "{\"max_batch_size\": 4}", 0, {}, {0}},
      // Op code 255 defers to opcode_ext; an fp16 output and an unquantised one.
      {"extended", hwWithOps("{\"opcode\": 255, \"opcode_ext\": 197, \"outputs\": ["
                             "{\"precision\": 0, \"is_quant\": 1, \"quant_scale\": 2.0},"
                             "{\"precision\": 1, \"is_quant\": 0, \"quant_scale\": 0.5}]}"),
       1, {0x4000, 0x0000}, {3, 1}},
      // An op code outside the table is uploaded but adds nothing; input 0's type is taken instead.
      {"unknown", hwWithOps("{\"opcode\": 150, \"outputs\": [{\"precision\": 1, \"is_quant\": 1, "
                            "\"quant_scale\": 1.0}]}"),
       1, {}, {0}},
      // Several records, interleaving ops among them, each in its own block.
      {"several", hwWithOps("{\"opcode\": 201, \"outputs\": [{\"precision\": 1, \"is_quant\": 1, \"quant_scale\": 1.0}]},"
                            "{\"opcode\": 150, \"outputs\": []},"
                            "{\"opcode\": 205, \"outputs\": [{\"precision\": 0, \"is_quant\": 1, \"quant_scale\": 1e6}]}"),
       3, {0x3C00, 0x7FFF}, {2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string hwPath = dir.file(std::string(c.name) + ".json", c.hw);
    qoblModel* model = nullptr;
    ASSERT_EQ(0u, qoblCreateModel(f.lib.c_str(), f.graph.c_str(), f.params.c_str(), hwPath.c_str(), &model));
    uint32_t batch = 1;
    ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
    const PreOp p = preOpOf(model);
    EXPECT_EQ(c.blocks, p.addrs.size());
    EXPECT_EQ(baseline_ + c.blocks, liveBlocks(QOBCRT_SIM_STREAM));
    EXPECT_EQ(c.scales, p.scales);
    EXPECT_EQ(c.types, p.types);
    EXPECT_EQ(0u, qoblDestroyModel(model));
    EXPECT_EQ(baseline_, liveBlocks(QOBCRT_SIM_STREAM));
  }
}

TEST_F(StaticModelTest, FileFailuresReturnModelFileAndLeaveThePointerNull) {
  LogCapture log;
  const ModelFiles f = classifier();
  ScratchDir dir;
  const std::string empty = dir.file("empty.bin", "");
  const std::string missing = dir.path("missing.bin");
  struct Case {
    const char* name;
    std::string lib, graph, params;
    const char* hw;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {"missing graph", f.lib, missing, f.params, nullptr,
       {"failed to open " + missing + " \n", "Can't find input model's graph file: " + missing + "\n"}},
      {"empty graph", f.lib, empty, f.params, nullptr, {"Can't find input model's graph file: " + empty + "\n"}},
      {"empty params", f.lib, f.graph, empty, nullptr, {"Can't find input model's params file: " + empty + "\n"}},
      {"missing params", f.lib, f.graph, missing, nullptr,
       {"failed to open " + missing + " \n", "Can't find input model's params file: " + missing + "\n"}},
      {"missing lib", missing, f.graph, f.params, nullptr,
       {"failed to open " + missing + " \n", "Can't find input model's lib file: " + missing + "\n"}},
      {"empty hw", f.lib, f.graph, f.params, empty.c_str(), {"Can't find hw config file: " + empty + "\n"}},
      {"missing hw", f.lib, f.graph, f.params, missing.c_str(),
       {"failed to open " + missing + " \n", "Can't find hw config file: " + missing + "\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    qoblModel* model = nullptr;
    EXPECT_EQ(qoblERR_MODEL_FILE, qoblCreateModel(c.lib.c_str(), c.graph.c_str(), c.params.c_str(), c.hw, &model));
    EXPECT_EQ(nullptr, model);
    EXPECT_EQ(c.errors, log.errors());
  }
}

TEST_F(StaticModelTest, RuntimeCreationFailureReturnsCreateModel) {
  LogCapture log;
  const ModelFiles f = classifier();
  ScratchDir dir;
  const std::string notJson = dir.file("graph.json", "this is not a graph");
  const std::string notLib = dir.file("model.so", "not a shared object");
  struct Case {
    const char* name;
    std::string lib, graph;
  };
  const Case cases[] = {{"bad graph", f.lib, notJson}, {"bad library", notLib, f.graph}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qoblModel* model = nullptr;
    EXPECT_EQ(qoblERR_CREATE_MODEL, qoblCreateModel(c.lib.c_str(), c.graph.c_str(), f.params.c_str(), nullptr, &model));
    EXPECT_EQ(nullptr, model);
  }
  EXPECT_EQ(baseline_, liveBlocks(QOBCRT_SIM_STREAM));
}

TEST_F(StaticModelTest, NoCurrentDevicePassesTheDeviceCodeThrough) {
  const ModelFiles f = classifier();
  qoblErr rc = 0;
  int deviceRc = 0;
  qoblModel* model = nullptr;
  std::thread t([&] {
    uint32_t dev = 12345;
    deviceRc = qobmGetDevice(&dev);
    rc = qoblCreateModel(f.lib.c_str(), f.graph.c_str(), f.params.c_str(), f.hw.c_str(), &model);
  });
  t.join();
  EXPECT_NE(0, deviceRc);
  EXPECT_EQ(static_cast<qoblErr>(deviceRc), rc);
  EXPECT_EQ(nullptr, model);
}

TEST_F(StaticModelTest, DeviceFailureDuringLoadFailsTheBatchSizeAndLeaksNothing) {
  LogCapture log;
  struct Fault {
    const char* call;
    const char* message;  // prefix of the expected ERROR line
  };
  const Fault faults[] = {
      {"qobcrt_model_addr", "Failed to get model address for model "},
      {"qobcrt_get_vdsp_ops", "Failed to get the config of pre-process Ops of model: "},
      {"qobcrt_malloc_stream", "Failed to malloc stream memory for the config of pre-process Op of model. Error code is 500100\n"},
      {"qobcrt_memcpy", "Failed to copy the config of pre-process Op of model from host to device. Error code is 500100\n"},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.call);
    qoblModel* model = create(classifier());
    ASSERT_NE(nullptr, model);
    for (bool loadedBefore : {false, true}) {
      SCOPED_TRACE(loadedBefore ? "reload" : "first load");
      // The card graph runtime itself looks model addresses up while it names a new module node, so the
      // lookup fault is aimed at a reload of a node that already exists.
      if (!loadedBefore && std::string(fault.call) == "qobcrt_model_addr") continue;
      uint32_t batch = 2;
      if (loadedBefore) {
        ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
      }
      log.clear();
      ASSERT_EQ(0, qobcrt_sim_fail_call(fault.call, 1, rtErrInjected));
      EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetModelBatchSize(model, &batch));
      qobcrt_sim_clear_faults();
      bool seen = false;
      for (const auto& e : log.errors()) seen = seen || e.compare(0, std::string(fault.message).size(), fault.message) == 0;
      EXPECT_TRUE(seen) << "expected an error starting with: " << fault.message;
      // Nothing of the failed load stays on the card, not even the previous load's record.
      EXPECT_EQ(baseline_, liveBlocks(QOBCRT_SIM_STREAM));
      uint32_t u = 0;
      if (!loadedBefore) {
        // The failed first load left the model unloaded.
        EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetModelBatchSize(model, &u));
      } else {
        // A failed reload keeps the model loaded, with its configuration cleared.
        EXPECT_EQ(0u, qoblGetModelBatchSize(model, &u));
        EXPECT_EQ(2u, u);
        EXPECT_TRUE(preOpOf(model).addrs.empty());
      }
      // A later load succeeds and leaves exactly one record on the card.
      batch = 3;
      ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
      EXPECT_EQ(baseline_ + 1, liveBlocks(QOBCRT_SIM_STREAM));
      EXPECT_EQ(0u, qoblGetModelBatchSize(model, &u));
      EXPECT_EQ(3u, u);
    }
    EXPECT_EQ(0u, qoblDestroyModel(model));
    EXPECT_EQ(baseline_, liveBlocks(QOBCRT_SIM_STREAM));
  }
}
