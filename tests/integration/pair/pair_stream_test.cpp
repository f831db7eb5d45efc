// The demo model `pair` (inputs data [1,4,8,8] and scale [1,4], outputs [1,4,8,8] and [1,3]) through the
// C API on the simulated card: what the model reports about its inputs and outputs, synchronous and
// asynchronous runs at batch 1 and 4 (with and without a memory-copy leaf) bit for bit against the CPU
// reference and with every item's two inputs kept together, and input datasets that do not fit the model.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "stream_test_util.h"

using namespace streamtest;

namespace {

constexpr size_t kDataBytes = 4 * 8 * 8 * 4, kScaleBytes = 4 * 4;
constexpr size_t kScaledBytes = 4 * 8 * 8 * 4, kSummaryBytes = 3 * 4;

// One item: the bytes of each input.
struct Item {
  std::string data, scale;
};

// The sample, and items made from it by rotating the scale vector by k channels: every item pairs the same
// `data` with another `scale`, so an item run with another item's scale gives other outputs.
std::vector<Item> items(size_t n) {
  const std::string sample = readBytes(modelFile("pair", "sample_input.bin"));
  EXPECT_EQ(kDataBytes + kScaleBytes, sample.size());
  std::vector<Item> out;
  for (size_t k = 0; k < n; ++k) {
    Item it{sample.substr(0, kDataBytes), std::string(kScaleBytes, '\0')};
    for (size_t c = 0; c < 4; ++c) std::memcpy(&it.scale[4 * c], &sample[kDataBytes + 4 * ((c + k) % 4)], 4);
    out.push_back(it);
  }
  return out;
}

// The outputs of one item: zero-filled card blocks of the two outputs' sizes.
std::vector<std::string> outputBlocks() {
  return {std::string(kScaledBytes, '\0'), std::string(kSummaryBytes, '\0')};
}

// The model at a batch size: input op (two tensors) -> run-model op [-> memory-copy op], a built stream.
Pipeline::Options pair(uint32_t batch) { return Pipeline::Options().withModel("pair").withInputs(2).withBatch(batch); }

class PairStreamTest : public qobltest::LiveBlocksTest {};

TEST_F(PairStreamTest, ModelDescribesTwoInputsAndTwoOutputs) {
  ASSERT_EQ(0, qobmSetDevice(0));
  qoblModel* m = nullptr;
  ASSERT_EQ(0u, qoblCreateModel(modelFile("pair", "model.so").c_str(), modelFile("pair", "graph.json").c_str(),
                                modelFile("pair", "params.bin").c_str(), modelFile("pair", "hw.json").c_str(), &m));
  uint32_t maxBatch = 0, batch = 9, in = 0, out = 0;
  EXPECT_EQ(0u, qoblGetModelMaxBatchSize(m, &maxBatch));
  EXPECT_EQ(4u, maxBatch);
  EXPECT_EQ(0u, qoblSetModelBatchSize(m, &batch));
  EXPECT_EQ(4u, batch);
  ASSERT_EQ(0u, qoblGetModelInputCount(m, &in));
  ASSERT_EQ(0u, qoblGetModelOutputCount(m, &out));
  EXPECT_EQ(2u, in);
  EXPECT_EQ(2u, out);
  const std::vector<std::vector<int64_t>> inShapes = {{1, 4, 8, 8}, {1, 4}}, outShapes = {{1, 4, 8, 8}, {1, 3}};
  const uint64_t outBytes[] = {kScaledBytes, kSummaryBytes};
  for (uint32_t i = 0; i < 2; ++i) {
    qobmShape s{};
    ASSERT_EQ(0u, qoblGetModelInputShapeByIndex(m, i, &s));
    EXPECT_EQ(inShapes[i], std::vector<int64_t>(s.shapes, s.shapes + s.ndims)) << "input " << i;
    ASSERT_EQ(0u, qoblGetModelOutputShapeByIndex(m, i, &s));
    EXPECT_EQ(outShapes[i], std::vector<int64_t>(s.shapes, s.shapes + s.ndims)) << "output " << i;
    uint64_t size = 0, aligned = 0;
    EXPECT_EQ(0u, qoblGetModelOutputSizeByIndex(m, i, &size));
    EXPECT_EQ(0u, qoblGetModelAlignOutputSizeByIndex(m, i, &aligned));
    EXPECT_EQ(outBytes[i], size) << "output " << i;
    EXPECT_EQ(outBytes[i], aligned) << "output " << i;
  }
  qobmShape s{};
  EXPECT_NE(0u, qoblGetModelInputShapeByIndex(m, 2, &s));
  EXPECT_NE(0u, qoblGetModelOutputShapeByIndex(m, 2, &s));
  EXPECT_EQ(0u, qoblDestroyModel(m));
}

// The sample reproduces expected_output.bin (output 0, then output 1, each in its own buffer); at batch 4
// every item of a device run gets the outputs it gets alone, asynchronously and synchronously, whatever the
// leaf.
TEST_F(PairStreamTest, RunsMatchTheReferenceAndKeepEachItemsInputsTogether) {
  const std::vector<Item> its = items(4);
  // Each item alone, synchronously at batch 1: the outputs every later run must give for it.
  std::vector<std::string> alone;
  {
    Pipeline p(pair(1));
    ASSERT_EQ(kScaledBytes + kSummaryBytes, p.expected().size());
    for (const Item& it : its) {
      CardDataset in({it.data, it.scale}), out(outputBlocks());
      ASSERT_EQ(0u, qoblRunStream(p.stream(), in.get(), out.get(), 10000));
      alone.push_back(readAll(out.get()));
    }
    EXPECT_EQ(p.expected(), alone[0]);
  }
  for (size_t k = 1; k < alone.size(); ++k) {
    EXPECT_NE(alone[0].substr(0, kScaledBytes), alone[k].substr(0, kScaledBytes)) << "item " << k;
    EXPECT_NE(alone[0].substr(kScaledBytes), alone[k].substr(kScaledBytes)) << "item " << k;
  }

  for (bool copy : {false, true}) {
    for (uint32_t batch : {1u, 4u}) {
      SCOPED_TRACE((copy ? "with copy op, batch " : "batch ") + std::to_string(batch));
      Pipeline p(copy ? pair(batch).withMemCopy() : pair(batch));
      ASSERT_EQ(batch, p.cacheNumber());
      Recorder rec;
      rec.sub.allBuffers = true;
      ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &rec.sub));
      std::vector<std::unique_ptr<CardDataset>> ins, outs;
      for (size_t k = 0; k < its.size(); ++k) {
        ins.emplace_back(new CardDataset({its[k].data, its[k].scale}));
        outs.emplace_back(new CardDataset(outputBlocks()));
        const qoblErr rc = qoblRunStreamAsync(p.stream(), ins[k]->get(), outs[k]->get());
        EXPECT_EQ((k + 1) % batch == 0 ? 0u : qoblERR_RUN_PENDING, rc) << "item " << k;
      }
      ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
      const std::vector<Report> reports = rec.snapshot();
      ASSERT_EQ(its.size(), reports.size());
      for (size_t k = 0; k < its.size(); ++k) {
        EXPECT_EQ(alone[k], readAll(outs[k]->get())) << "item " << k;
        EXPECT_EQ(ins[k]->get(), reports[k].input);
        EXPECT_EQ(0u, reports[k].errorCode);
        EXPECT_EQ(alone[k], reports[k].output) << "report of item " << k;
      }
      // Synchronously: the call's item and the ones gathered before it.
      std::vector<std::unique_ptr<CardDataset>> syncOuts;
      for (size_t k = 0; k < batch; ++k) {
        syncOuts.emplace_back(new CardDataset(outputBlocks()));
        const size_t item = its.size() - 1 - k;   // in reverse, so that the gathered order is not the same
        const qoblErr rc = k + 1 < batch ? qoblRunStreamAsync(p.stream(), ins[item]->get(), syncOuts[k]->get())
                                         : qoblRunStream(p.stream(), ins[item]->get(), syncOuts[k]->get(), 10000);
        EXPECT_EQ(k + 1 < batch ? qoblERR_RUN_PENDING : 0u, rc);
      }
      ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
      for (size_t k = 0; k < batch; ++k) EXPECT_EQ(alone[its.size() - 1 - k], readAll(syncOuts[k]->get()));
    }
  }
}

// Input datasets that do not fit the model's two inputs.  A wrong tensor count is refused by the run call.
// A tensor smaller than its input (the two swapped, or one element short) cannot be seen by the library,
// which learns no buffer sizes from the dataset library: the card refuses to read past the block, so the
// synchronous run fails with the card's reason and the asynchronous one is reported failed.  Either way
// the stream goes on, and no run reads or writes past a block.
TEST_F(PairStreamTest, InputDatasetsThatDoNotFitFailTheirRunOnly) {
  const Item it = items(1)[0];
  Pipeline p(pair(1));
  Recorder rec;
  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &rec.sub));
  for (const std::vector<std::string>& tensors :
       {std::vector<std::string>{it.data}, std::vector<std::string>{it.data, it.scale, it.scale}}) {
    SCOPED_TRACE(tensors.size());
    LogCapture log(qobmLL_ERROR);
    CardDataset in(tensors), out(outputBlocks());
    EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStream(p.stream(), in.get(), out.get(), 10000));
    EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStreamAsync(p.stream(), in.get(), out.get()));
    EXPECT_TRUE(log.contains("Input count mismatch with stream's allowed input count. \n"))
        << testing::PrintToString(log.errors());
  }
  const std::vector<std::vector<std::string>> tooSmall = {
      {it.scale, it.data}, {it.data, it.scale.substr(0, kScaleBytes - 4)}, {it.data.substr(0, kDataBytes - 4), it.scale}};
  for (size_t k = 0; k < tooSmall.size(); ++k) {
    SCOPED_TRACE("too small, case " + std::to_string(k));
    LogCapture log(qobmLL_ERROR);
    CardDataset in(tooSmall[k]), out(outputBlocks()), asyncOut(outputBlocks());
    EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStream(p.stream(), in.get(), out.get(), 10000));
    EXPECT_TRUE(log.contains("copy beyond the end of a block")) << testing::PrintToString(log.errors());
    EXPECT_EQ(std::string(kScaledBytes + kSummaryBytes, '\0'), readAll(out.get()));
    ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), in.get(), asyncOut.get()));
    ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
    const std::vector<Report> reports = rec.snapshot();
    ASSERT_EQ(k + 1, reports.size());
    EXPECT_EQ(in.get(), reports[k].input);
    EXPECT_NE(0u, reports[k].errorCode);
  }
  // Larger blocks than the inputs need are fine: the model reads its bytes from their starts.
  CardDataset in({it.data + std::string(64, '\x7f'), it.scale + std::string(4, '\x7f')}), out(outputBlocks());
  ASSERT_EQ(0u, qoblRunStream(p.stream(), in.get(), out.get(), 10000));
  EXPECT_EQ(p.expected(), readAll(out.get()));
}

// An input op that hands on one tensor per input feeds the model's two inputs from two inputs in a row (the
// input op runs twice per device run, data from the first, scale from the second); the model's outputs go to
// the first input's output dataset.
TEST_F(PairStreamTest, OneTensorInputOpFeedsBothInputsFromTwoInputsInARow) {
  const Item it = items(1)[0];
  Pipeline p(pair(1));
  HandGraph g;
  EXPECT_EQ(0u, qoblConnectOps(g.input(), g.runModelOp(p.model())));
  qoblStream* st = g.stream();
  EXPECT_EQ(0u, qoblBuildStream(st));
  uint32_t cache = 0;
  EXPECT_EQ(0u, qoblGetStreamCacheNumber(st, &cache));
  EXPECT_EQ(2u, cache);
  CardDataset a(it.data), b(it.scale), outA(outputBlocks()), outB(outputBlocks());
  EXPECT_EQ(qoblERR_RUN_PENDING, qoblRunStreamAsync(st, a.get(), outA.get()));
  EXPECT_EQ(0u, qoblRunStreamAsync(st, b.get(), outB.get()));
  EXPECT_EQ(0u, qoblSynchronizeStream(st, 10000));
  EXPECT_EQ(p.expected(), readAll(outA.get()));
}

}  // namespace
