// The demo model `pair` (inputs data [1,4,8,8] and scale [1,4], outputs [1,4,8,8] and [1,3]) through the
// C API on the simulated card: what the model reports about its inputs and outputs, synchronous and
// asynchronous runs at batch 1 and 4 (with and without a memory-copy leaf) bit for bit against the CPU
// reference and with every item's two inputs kept together, and input datasets that do not fit the model.
#include <gtest/gtest.h>
#include <qobcrt/qobcrt_sim.h>
#include <qobe/qobe.h>
#include <qobm/qobm.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qobl_api.h"
#include "qobl_test/card_stats.h"
#include "qobl_test/files.h"
#include "qobl_test/log_capture.h"

namespace {

using qobltest::modelFile;
using qobltest::readBytes;

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

// A buffer-mode dataset over one card block per tensor.  Owns blocks, buffers and container.
class CardTensors {
 public:
  explicit CardTensors(const std::vector<std::string>& tensors) {
    EXPECT_EQ(0, qobmCreateDataset(qobmDM_BUFFER, &ds_));
    for (const std::string& t : tensors) add(t.size(), &t);
  }
  // Zero-filled blocks of the given sizes (outputs).
  explicit CardTensors(const std::vector<size_t>& sizes) {
    EXPECT_EQ(0, qobmCreateDataset(qobmDM_BUFFER, &ds_));
    for (size_t s : sizes) add(s, nullptr);
  }
  ~CardTensors() {
    for (auto* b : bufs_) qobmDestroyDataBuffer(b);
    qobmDestroyDataset(ds_);
    for (uint64_t a : addrs_) qobmFree(a);
  }
  CardTensors(const CardTensors&) = delete;
  CardTensors& operator=(const CardTensors&) = delete;
  qobmDataset* get() const { return ds_; }

 private:
  void add(size_t size, const std::string* bytes) {
    uint64_t addr = 0;
    qobmDataBuffer* b = nullptr;
    EXPECT_EQ(0, qobmMalloc(size, &addr));
    const std::string fill = bytes != nullptr ? *bytes : std::string(size, '\0');
    EXPECT_EQ(0, qobmMemcpy(addr, reinterpret_cast<uint64_t>(fill.data()), size, 0));
    EXPECT_EQ(0, qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_QOBC, 0}, addr, size, &b));
    EXPECT_EQ(0, qobmAddDatasetBuffer(ds_, b));
    addrs_.push_back(addr);
    bufs_.push_back(b);
  }
  qobmDataset* ds_ = nullptr;
  std::vector<uint64_t> addrs_;
  std::vector<qobmDataBuffer*> bufs_;
};

// Every buffer of a card dataset, concatenated, and the buffer sizes.
std::string readAll(qobmDataset* ds, std::vector<uint64_t>* sizes = nullptr) {
  uint32_t n = 0;
  EXPECT_EQ(0, qobmGetDatasetBufferCount(ds, &n));
  std::string out;
  for (uint32_t i = 0; i < n; ++i) {
    qobmDataBuffer* b = nullptr;
    uint64_t addr = 0, size = 0;
    EXPECT_EQ(0, qobmGetDatasetBuffer(ds, i, &b));
    EXPECT_EQ(0, qobmGetDataBufferAddr(b, &addr));
    EXPECT_EQ(0, qobmGetDataBufferSize(b, &size));
    std::string part(size, '\0');
    EXPECT_EQ(0, qobmMemcpy(reinterpret_cast<uint64_t>(&part[0]), addr, size, 1));
    out += part;
    if (sizes != nullptr) sizes->push_back(size);
  }
  return out;
}

// The model loaded at a batch size, input op (two tensors) -> run-model op [-> memory-copy op], a built
// stream.  Torn down in reverse.
class PairPipeline {
 public:
  PairPipeline(uint32_t batch, bool copy) {
    EXPECT_EQ(0, qobmSetDevice(0));
    EXPECT_EQ(0u, qoblCreateModel(modelFile("pair", "model.so").c_str(), modelFile("pair", "graph.json").c_str(),
                                  modelFile("pair", "params.bin").c_str(), modelFile("pair", "hw.json").c_str(),
                                  &model_));
    uint32_t b = batch;
    EXPECT_EQ(0u, qoblSetModelBatchSize(model_, &b));
    EXPECT_EQ(batch, b);
    EXPECT_EQ(0u, qoblCreateOpGraph(&graph_));
    EXPECT_EQ(0u, qoblCreateGraphInputOp(graph_, 2, &input_));
    EXPECT_EQ(0u, qoblCreateRunModelOp(model_, &run_));
    EXPECT_EQ(0u, qoblConnectOps(input_, run_));
    if (copy) {
      EXPECT_EQ(0, qobeCreateOp(qobeOP_MEM_COPY_OP, &copy_));
      EXPECT_EQ(0u, qoblConnectOps(run_, copy_));
    }
    EXPECT_EQ(0u, qoblCreateOpStream(graph_, qoblBM_ONCE, &stream_));
    EXPECT_EQ(0u, qoblBuildStream(stream_));
  }
  ~PairPipeline() {
    if (stream_ != nullptr) {
      EXPECT_EQ(0u, qoblDestroyOpStream(stream_));
    }
    if (graph_ != nullptr) {
      EXPECT_EQ(0u, qoblDestroyOpGraph(graph_));
      std::free(graph_);
    }
    if (model_ != nullptr) {
      EXPECT_EQ(0u, qoblDestroyModel(model_));
    }
    for (qobeOp* op : {input_, run_, copy_})
      if (op != nullptr) qobeDestroyOp(op);
  }
  PairPipeline(const PairPipeline&) = delete;
  PairPipeline& operator=(const PairPipeline&) = delete;
  qoblStream* stream() const { return stream_; }
  qoblModel* model() const { return model_; }
  qobeOp* leaf() const { return copy_ != nullptr ? copy_ : run_; }

 private:
  qoblModel* model_ = nullptr;
  qoblOpGraph* graph_ = nullptr;
  qoblStream* stream_ = nullptr;
  qobeOp *input_ = nullptr, *run_ = nullptr, *copy_ = nullptr;
};

// What the report callback saw of each input: the output dataset's buffers, concatenated, and their sizes.
struct Seen {
  std::mutex mu;
  struct Report {
    qobmDataset* input;
    uint32_t error;
    std::string outputs;
    std::vector<uint64_t> sizes;
  };
  std::vector<Report> reports;
};

void record(qobeOp*, qobmDataset* input, qobmDataset* output, qoblCallbackStatus* st, void* user) {
  auto* seen = static_cast<Seen*>(user);
  Seen::Report r{input, st->errorCode, std::string(), {}};
  if (output != nullptr && st->errorCode == 0 && st->isStreamEnd != 0) r.outputs = readAll(output, &r.sizes);
  std::lock_guard<std::mutex> lock(seen->mu);
  seen->reports.push_back(std::move(r));
}

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

// The sample reproduces expected_output.bin (output 0, then output 1, each in its own buffer of its own
// size); at batch 4 every item of a device run gets the outputs it gets alone, asynchronously and
// synchronously, whatever the leaf.
TEST_F(PairStreamTest, RunsMatchTheReferenceAndKeepEachItemsInputsTogether) {
  const std::string expected = readBytes(modelFile("pair", "expected_output.bin"));
  ASSERT_EQ(kScaledBytes + kSummaryBytes, expected.size());
  const std::vector<Item> its = items(4);
  const std::vector<size_t> outSizes = {kScaledBytes, kSummaryBytes};

  // Each item alone, synchronously at batch 1: the outputs every later run must give for it.
  std::vector<std::string> alone;
  {
    PairPipeline p(1, false);
    for (const Item& it : its) {
      CardTensors in({it.data, it.scale}), out(outSizes);
      ASSERT_EQ(0u, qoblRunStream(p.stream(), in.get(), out.get(), 10000));
      std::vector<uint64_t> sizes;
      alone.push_back(readAll(out.get(), &sizes));
      EXPECT_EQ(std::vector<uint64_t>({kScaledBytes, kSummaryBytes}), sizes);
    }
  }
  EXPECT_EQ(expected, alone[0]);
  for (size_t k = 1; k < alone.size(); ++k) {
    EXPECT_NE(alone[0].substr(0, kScaledBytes), alone[k].substr(0, kScaledBytes)) << "item " << k;
    EXPECT_NE(alone[0].substr(kScaledBytes), alone[k].substr(kScaledBytes)) << "item " << k;
  }

  for (bool copy : {false, true}) {
    for (uint32_t batch : {1u, 4u}) {
      SCOPED_TRACE((copy ? "with copy op, batch " : "batch ") + std::to_string(batch));
      PairPipeline p(batch, copy);
      uint32_t cache = 0;
      ASSERT_EQ(0u, qoblGetStreamCacheNumber(p.stream(), &cache));
      ASSERT_EQ(batch, cache);
      Seen seen;
      ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &record, &seen));
      std::vector<std::unique_ptr<CardTensors>> ins, outs;
      for (size_t k = 0; k < its.size(); ++k) {
        ins.emplace_back(new CardTensors({its[k].data, its[k].scale}));
        outs.emplace_back(new CardTensors(outSizes));
        const qoblErr rc = qoblRunStreamAsync(p.stream(), ins[k]->get(), outs[k]->get());
        EXPECT_EQ((k + 1) % batch == 0 ? 0u : qoblERR_RUN_PENDING, rc) << "item " << k;
      }
      ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
      for (size_t k = 0; k < its.size(); ++k) EXPECT_EQ(alone[k], readAll(outs[k]->get())) << "item " << k;
      {
        std::lock_guard<std::mutex> lock(seen.mu);
        ASSERT_EQ(its.size(), seen.reports.size());
        for (size_t k = 0; k < its.size(); ++k) {
          const Seen::Report& r = seen.reports[k];
          EXPECT_EQ(ins[k]->get(), r.input);
          EXPECT_EQ(0u, r.error);
          EXPECT_EQ(alone[k], r.outputs) << "report of item " << k;
          EXPECT_EQ(std::vector<uint64_t>({kScaledBytes, kSummaryBytes}), r.sizes);
        }
      }
      // Synchronously: the call's item and the ones gathered before it.
      std::vector<std::unique_ptr<CardTensors>> syncOuts;
      for (size_t k = 0; k < batch; ++k) {
        syncOuts.emplace_back(new CardTensors(outSizes));
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
  const std::string expected = readBytes(modelFile("pair", "expected_output.bin"));
  const std::vector<size_t> outSizes = {kScaledBytes, kSummaryBytes};
  PairPipeline p(1, false);
  Seen seen;
  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &record, &seen));
  for (const std::vector<std::string>& tensors :
       {std::vector<std::string>{it.data}, std::vector<std::string>{it.data, it.scale, it.scale}}) {
    SCOPED_TRACE(tensors.size());
    qobltest::LogCapture log(qobmLL_ERROR);
    CardTensors in(tensors), out(outSizes);
    EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStream(p.stream(), in.get(), out.get(), 10000));
    EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStreamAsync(p.stream(), in.get(), out.get()));
    EXPECT_TRUE(log.contains("Input count mismatch with stream's allowed input count. \n"))
        << testing::PrintToString(log.errors());
  }
  const std::vector<std::vector<std::string>> tooSmall = {
      {it.scale, it.data}, {it.data, it.scale.substr(0, kScaleBytes - 4)}, {it.data.substr(0, kDataBytes - 4), it.scale}};
  for (size_t k = 0; k < tooSmall.size(); ++k) {
    SCOPED_TRACE("too small, case " + std::to_string(k));
    qobltest::LogCapture log(qobmLL_ERROR);
    CardTensors in(tooSmall[k]), out(outSizes), asyncOut(outSizes);
    EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStream(p.stream(), in.get(), out.get(), 10000));
    EXPECT_TRUE(log.contains("copy beyond the end of a block")) << testing::PrintToString(log.errors());
    EXPECT_EQ(std::string(kScaledBytes + kSummaryBytes, '\0'), readAll(out.get()));
    ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), in.get(), asyncOut.get()));
    ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
    std::lock_guard<std::mutex> lock(seen.mu);
    ASSERT_EQ(k + 1, seen.reports.size());
    EXPECT_EQ(in.get(), seen.reports[k].input);
    EXPECT_NE(0u, seen.reports[k].error);
  }
  // Larger blocks than the inputs need are fine: the model reads its bytes from their starts.
  CardTensors in({it.data + std::string(64, '\x7f'), it.scale + std::string(4, '\x7f')}), out(outSizes);
  ASSERT_EQ(0u, qoblRunStream(p.stream(), in.get(), out.get(), 10000));
  EXPECT_EQ(expected, readAll(out.get()));
}

// An input op that hands on one tensor per input feeds the model's two inputs from two inputs in a row (the
// input op runs twice per device run, data from the first, scale from the second); the model's outputs go to
// the first input's output dataset.
TEST_F(PairStreamTest, OneTensorInputOpFeedsBothInputsFromTwoInputsInARow) {
  const Item it = items(1)[0];
  const std::string expected = readBytes(modelFile("pair", "expected_output.bin"));
  const std::vector<size_t> outSizes = {kScaledBytes, kSummaryBytes};
  PairPipeline p(1, false);
  {
    qoblOpGraph* g = nullptr;
    qobeOp *in = nullptr, *run = nullptr;
    qoblStream* st = nullptr;
    ASSERT_EQ(0u, qoblCreateOpGraph(&g));
    ASSERT_EQ(0u, qoblCreateGraphInputOp(g, 1, &in));
    ASSERT_EQ(0u, qoblCreateRunModelOp(p.model(), &run));
    EXPECT_EQ(0u, qoblConnectOps(in, run));
    ASSERT_EQ(0u, qoblCreateOpStream(g, qoblBM_ONCE, &st));
    EXPECT_EQ(0u, qoblBuildStream(st));
    uint32_t cache = 0;
    EXPECT_EQ(0u, qoblGetStreamCacheNumber(st, &cache));
    EXPECT_EQ(2u, cache);
    CardTensors a({it.data}), b({it.scale}), outA(outSizes), outB(outSizes);
    EXPECT_EQ(qoblERR_RUN_PENDING, qoblRunStreamAsync(st, a.get(), outA.get()));
    EXPECT_EQ(0u, qoblRunStreamAsync(st, b.get(), outB.get()));
    EXPECT_EQ(0u, qoblSynchronizeStream(st, 10000));
    EXPECT_EQ(expected, readAll(outA.get()));
    EXPECT_EQ(0u, qoblDestroyOpStream(st));
    EXPECT_EQ(0u, qoblDestroyOpGraph(g));
    std::free(g);
    qobeDestroyOp(run);
    qobeDestroyOp(in);
  }
}

}  // namespace
