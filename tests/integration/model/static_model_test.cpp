// Static model API on the simulated card: loading the demo classifier, the state machine of its getters,
// the pre-process configuration uploaded at load, and every failure path.  (The model's name, the digest of
// its files, is checked through qobl-info and the Python model description.)
#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <qobm/qobm.h>

#include <string>
#include <thread>
#include <vector>

#include "i_model.h"
#include "md5.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "qobl_test/card_stats.h"
#include "qobl_test/files.h"
#include "qobl_test/log_capture.h"

namespace {

using qobltest::readBytes;

uint64_t liveStreamBlocks() { return qobltest::liveBlocks().stream; }

struct ModelFiles {
  std::string lib, graph, params, hw;
};

ModelFiles classifier() {
  const std::string dir = qobltest::modelDir("classifier") + "/";
  return ModelFiles{dir + "model.so", dir + "graph.json", dir + "params.bin", dir + "hw.json"};
}

// Every model made by a test is destroyed by it: the card holds no memory of ours any more.
class StaticModelTest : public qobltest::LiveBlocksTest {
 protected:
  void SetUp() override {
    LiveBlocksTest::SetUp();
    ASSERT_EQ(0, qobmSetDevice(0));
    baseline_ = base_.stream;
  }

  qoblModel* create(const ModelFiles& f, bool withHw = true) {
    qoblModel* model = nullptr;
    EXPECT_EQ(0u, qoblCreateModel(f.lib.c_str(), f.graph.c_str(), f.params.c_str(), withHw ? f.hw.c_str() : nullptr,
                                  &model));
    EXPECT_NE(nullptr, model);
    return model;
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
  qobltest::LogCapture log(qobmLL_ERROR);
  qoblModel* model = create(classifier());
  ASSERT_NE(nullptr, model);
  EXPECT_FALSE(model->ptr_->isDynamic());

  // Before the batch size is set only the output count, output type and max batch size answer.
  uint32_t u = 77;
  qobmShape shape{};
  uint64_t size = 0, modelAddr = 0;
  for (qoblErr rc : {qoblGetModelBatchSize(model, &u), qoblGetModelInputCount(model, &u),
                     qoblGetModelInputShapeByIndex(model, 0, &shape),
                     qoblGetModelOutputShapeByIndex(model, 0, &shape), qoblGetModelOutputSizeByIndex(model, 0, &size),
                     qoblGetModelAlignOutputSizeByIndex(model, 0, &size)}) {
    EXPECT_EQ(qoblERR_MODEL_OPERATION, rc);
  }
  EXPECT_EQ((std::vector<std::string>{"exception to get batchsize state wrong\n",
                                      "exception to get inputcount state wrong\n",
                                      "exception to get inputshape state wrong\n",
                                      "exception to get outputshape state wrong\n",
                                      "exception to get outputshape state wrong\n",
                                      "exception to get output size state wrong\n"}),
            log.errors());
  EXPECT_EQ(77u, u);
  EXPECT_FALSE(model->ptr_->getModelAddress(modelAddr));
  uint32_t maxBatch = 0, outCount = 0;
  qobmDType dtype = qobmDT_ANY;
  EXPECT_EQ(0u, qoblGetModelMaxBatchSize(model, &maxBatch));
  EXPECT_EQ(0u, qoblGetModelOutputCount(model, &outCount));
  EXPECT_EQ(0u, qoblGetModelOutputDataTypeByIndex(model, 0, &dtype));
  // The run counts a device run asks in one call answer as the three getters: only the output count yet.
  log.clear();
  uint32_t runBatch = 77, runInputs = 77, runOutputs = 77;
  model->ptr_->getRunCounts(runBatch, runInputs, runOutputs);
  EXPECT_EQ((std::vector<uint32_t>{77, 77, outCount}), (std::vector<uint32_t>{runBatch, runInputs, runOutputs}));
  EXPECT_EQ((std::vector<std::string>{"exception to get batchsize state wrong\n",
                                      "exception to get inputcount state wrong\n"}),
            log.errors());

  // (The values once loaded, and the clamped batch size: the Python model description test.)
  uint32_t batch = 2;
  ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
  // Loaded, and again after a reload with another batch size: the getters' values.
  for (uint32_t next : {batch, 1u}) {
    if (next != batch) {
      ASSERT_EQ(0u, qoblSetModelBatchSize(model, &next));
    }
    uint32_t b = 0, in = 0, out = 0;
    ASSERT_EQ(0u, qoblGetModelBatchSize(model, &b));
    ASSERT_EQ(0u, qoblGetModelInputCount(model, &in));
    ASSERT_EQ(0u, qoblGetModelOutputCount(model, &out));
    model->ptr_->getRunCounts(runBatch, runInputs, runOutputs);
    EXPECT_EQ((std::vector<uint32_t>{next, in, out}), (std::vector<uint32_t>{runBatch, runInputs, runOutputs}));
    EXPECT_EQ(b, runBatch);
  }

  log.clear();
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetModelInputShapeByIndex(model, -1, &shape));
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetModelInputShapeByIndex(model, 1, &shape));
  EXPECT_EQ(std::vector<std::string>(2, "exception to get inputshape index should less than input number\n"),
            log.errors());
  EXPECT_EQ(0u, qoblDestroyModel(model));
}

// Pre-process records from the hardware configuration, one stream block each, uploaded per load (a reload
// replaces them) and freed with the model.  The op-code table itself is covered by the pre-op unit test.
TEST_F(StaticModelTest, PreProcessRecordsAreUploadedPerLoadAndFreed) {
  const ModelFiles f = classifier();
  qobltest::TempDir dir;
  struct Case {
    const char* name;
    std::string hw;
    size_t blocks;
    std::vector<uint16_t> scales, types;
  };
  const Case cases[] = {
      // The classifier's own: one quantising op, one uint8 output with scale 1/64.
      {"classifier", readBytes(f.hw), 1, {0x2400}, {1}},
      // No pre-process ops: exactly input 0's type (float32 maps to none), no scale.
      {"none", "{\"max_batch_size\": 4}", 0, {}, {0}},
      // Several records, interleaving ops among them, each in its own block.
      {"several", hwWithOps("{\"opcode\": 201, \"outputs\": [{\"precision\": 1, \"is_quant\": 1, "
                            "\"quant_scale\": 1.0}]}, {\"opcode\": 150, \"outputs\": []}, {\"opcode\": 205, "
                            "\"outputs\": [{\"precision\": 0, \"is_quant\": 1, \"quant_scale\": 1e6}]}"),
       3, {0x3C00, 0x7FFF}, {2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string hwPath = dir.put(std::string(c.name) + ".json", c.hw);
    qoblModel* model = nullptr;
    ASSERT_EQ(0u, qoblCreateModel(f.lib.c_str(), f.graph.c_str(), f.params.c_str(), hwPath.c_str(), &model));
    EXPECT_EQ(baseline_, liveStreamBlocks());   // nothing before the first load
    for (uint32_t batch : {1u, 4u, 3u}) {
      ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
      const PreOp p = preOpOf(model);
      EXPECT_EQ(c.blocks, p.addrs.size());
      EXPECT_EQ(baseline_ + c.blocks, liveStreamBlocks());
      EXPECT_EQ(c.scales, p.scales);
      EXPECT_EQ(c.types, p.types);
    }
    EXPECT_EQ(0u, qoblDestroyModel(model));
    EXPECT_EQ(baseline_, liveStreamBlocks());
  }
}

// Missing or empty files give 301006 with their messages.  (Files the runtime cannot use give 301007: the
// qobl-info load error test.)
TEST_F(StaticModelTest, FileFailuresLeaveThePointerNull) {
  qobltest::LogCapture log(qobmLL_ERROR);
  const ModelFiles f = classifier();
  qobltest::TempDir dir;
  const std::string empty = dir.put("empty.bin", ""), missing = dir.file("missing.bin");
  const std::string open = "failed to open " + missing + " \n", find = "Can't find input model's ";
  struct Case {
    std::string lib, graph, params;
    const char* hw;
    qoblErr code;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {f.lib, missing, f.params, nullptr, qoblERR_MODEL_FILE, {open, find + "graph file: " + missing + "\n"}},
      {f.lib, empty, f.params, nullptr, qoblERR_MODEL_FILE, {find + "graph file: " + empty + "\n"}},
      {f.lib, f.graph, empty, nullptr, qoblERR_MODEL_FILE, {find + "params file: " + empty + "\n"}},
      {f.lib, f.graph, missing, nullptr, qoblERR_MODEL_FILE, {open, find + "params file: " + missing + "\n"}},
      {missing, f.graph, f.params, nullptr, qoblERR_MODEL_FILE, {open, find + "lib file: " + missing + "\n"}},
      {f.lib, f.graph, f.params, empty.c_str(), qoblERR_MODEL_FILE, {"Can't find hw config file: " + empty + "\n"}},
      {f.lib, f.graph, f.params, missing.c_str(), qoblERR_MODEL_FILE,
       {open, "Can't find hw config file: " + missing + "\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lib + " " + c.graph + " " + c.params);
    log.clear();
    qoblModel* model = nullptr;
    EXPECT_EQ(c.code, qoblCreateModel(c.lib.c_str(), c.graph.c_str(), c.params.c_str(), c.hw, &model));
    EXPECT_EQ(nullptr, model);
    if (c.code == qoblERR_MODEL_FILE) {
      EXPECT_EQ(c.errors, log.errors());
    }
  }
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
  qobltest::LogCapture log(qobmLL_ERROR);
  struct Fault {
    const char* call;
    const char* message;  // prefix of the expected ERROR line
  };
  const Fault faults[] = {
      {"qobcrt_model_addr", "Failed to get model address for model "},
      {"qobcrt_get_vdsp_ops", "Failed to get the config of pre-process Ops of model: "},
      {"qobcrt_malloc_stream",
       "Failed to malloc stream memory for the config of pre-process Op of model. Error code is 500100\n"},
      {"qobcrt_memcpy",
       "Failed to copy the config of pre-process Op of model from host to device. Error code is 500100\n"},
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
      EXPECT_TRUE(log.hasPrefix(fault.message)) << "expected an error starting with: " << fault.message;
      // Nothing of the failed load stays on the card, not even the previous load's record.
      EXPECT_EQ(baseline_, liveStreamBlocks());
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
      EXPECT_EQ(baseline_ + 1, liveStreamBlocks());
      EXPECT_EQ(0u, qoblGetModelBatchSize(model, &u));
      EXPECT_EQ(3u, u);
    }
    EXPECT_EQ(0u, qoblDestroyModel(model));
    EXPECT_EQ(baseline_, liveStreamBlocks());
  }
}
