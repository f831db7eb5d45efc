// Shared helpers of the stream integration tests: the demo classifier pipeline on the simulated card,
// card-memory datasets, report recording, log capture and the card's live-block counts.
#ifndef QOBL_TESTS_STREAM_TEST_UTIL_H
#define QOBL_TESTS_STREAM_TEST_UTIL_H

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

namespace streamtest {

using qobltest::LogCapture;
using qobltest::modelFile;
using qobltest::readBytes;
inline qobcrt_sim_stats stats() { return qobltest::cardStats(0); }

// A buffer-mode dataset over card-memory blocks (application memory), one per tensor, holding `tensors`.
class CardDataset {
 public:
  explicit CardDataset(const std::string& bytes) : CardDataset(std::vector<std::string>{bytes}) {}
  explicit CardDataset(const std::vector<std::string>& tensors) {
    EXPECT_EQ(0, qobmCreateDataset(qobmDM_BUFFER, &ds_));
    for (const std::string& t : tensors) {
      uint64_t addr = 0;
      qobmDataBuffer* b = nullptr;
      EXPECT_EQ(0, qobmMalloc(t.size(), &addr));
      EXPECT_EQ(0, qobmMemcpy(addr, reinterpret_cast<uint64_t>(t.data()), t.size(), 0));
      EXPECT_EQ(0, qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_QOBC, 0}, addr, t.size(), &b));
      EXPECT_EQ(0, qobmAddDatasetBuffer(ds_, b));
      addrs_.push_back(addr);
      bufs_.push_back(b);
    }
  }
  ~CardDataset() {
    for (qobmDataBuffer* b : bufs_) qobmDestroyDataBuffer(b);
    qobmDestroyDataset(ds_);
    for (uint64_t a : addrs_) qobmFree(a);
  }
  CardDataset(const CardDataset&) = delete;
  CardDataset& operator=(const CardDataset&) = delete;
  qobmDataset* get() const { return ds_; }

 private:
  qobmDataset* ds_ = nullptr;
  std::vector<uint64_t> addrs_;
  std::vector<qobmDataBuffer*> bufs_;
};

// Bytes of buffer `index` of a card dataset.
inline std::string readBuffer(qobmDataset* ds, uint32_t index) {
  qobmDataBuffer* b = nullptr;
  uint64_t addr = 0, size = 0;
  if (qobmGetDatasetBuffer(ds, index, &b) != 0 || qobmGetDataBufferAddr(b, &addr) != 0 ||
      qobmGetDataBufferSize(b, &size) != 0)
    return std::string();
  std::string out(size, '\0');
  if (qobmMemcpy(reinterpret_cast<uint64_t>(&out[0]), addr, size, 1) != 0) return std::string();
  return out;
}

// Every buffer of a card dataset, concatenated.
inline std::string readAll(qobmDataset* ds) {
  uint32_t n = 0;
  if (qobmGetDatasetBufferCount(ds, &n) != 0) return std::string();
  std::string out;
  for (uint32_t i = 0; i < n; ++i) out += readBuffer(ds, i);
  return out;
}

// Frees an output dataset made by qoblRequestOutputDataset: card memory, buffers, container.
inline void freeOutput(qobmDataset* ds) {
  if (ds == nullptr) return;
  uint32_t n = 0;
  qobmGetDatasetBufferCount(ds, &n);
  for (uint32_t i = 0; i < n; ++i) {
    qobmDataBuffer* b = nullptr;
    uint64_t addr = 0;
    if (qobmGetDatasetBuffer(ds, i, &b) == 0) {
      qobmGetDataBufferAddr(b, &addr);
      qobmFree(addr);
      qobmDestroyDataBuffer(b);
    }
  }
  qobmDestroyDataset(ds);
}

// One report callback call as seen by the application.
struct Report {
  qobeOp* op;
  qobmDataset* input;
  uint32_t errorCode;
  uint32_t isStreamEnd;
  int tag;              // which subscription
  std::string output;   // output bytes copied during a successful end report (see Sub::allBuffers)
  bool terminal() const { return isStreamEnd != 0 || errorCode != 0; }
};

struct Recorder;
// The context of one subscription: the recorder and a tag telling subscriptions apart.
struct Sub {
  Recorder* rec;
  int tag;
  bool allBuffers = false;  // record every output buffer, concatenated, instead of the first one only
};

// Every report of the streams subscribed with `&recordReport` and a Sub (`&rec.sub` for tag 1), in order.
// The terminal reports (the end op's report, or any report carrying an error) per input let a test prove
// that every accepted input completed exactly once.
struct Recorder {
  std::mutex mu;
  std::vector<Report> reports;
  Sub sub{this, 1};
  std::vector<Report> snapshot() {
    std::lock_guard<std::mutex> lock(mu);
    return reports;
  }
  // Terminal reports of `input` (all inputs when null).
  int of(qobmDataset* input) { return count([input](const Report& r) { return input == nullptr || r.input == input; }); }
  size_t total() { return static_cast<size_t>(of(nullptr)); }
  int errors() { return count([](const Report& r) { return r.errorCode != 0; }); }
  // The output of the last successful end report of `input`.
  std::string output(qobmDataset* input) {
    std::string out;
    for (const Report& r : snapshot())
      if (r.input == input && r.isStreamEnd != 0 && r.errorCode == 0) out = r.output;
    return out;
  }

 private:
  template <typename F>
  int count(F match) {
    int n = 0;
    for (const Report& r : snapshot()) n += r.terminal() && match(r);
    return n;
  }
};

inline void recordReport(qobeOp* op, qobmDataset* input, qobmDataset* output, qoblCallbackStatus* st, void* user) {
  auto* sub = static_cast<Sub*>(user);
  Report r{op, input, st->errorCode, st->isStreamEnd, sub->tag, std::string()};
  if (output != nullptr && st->errorCode == 0 && st->isStreamEnd != 0)
    r.output = sub->allBuffers ? readAll(output) : readBuffer(output, 0);
  std::lock_guard<std::mutex> lock(sub->rec->mu);
  sub->rec->reports.push_back(r);
}

// The shape of one image of side h x w.
inline qobmShape image(int64_t h, int64_t w) { return qobmShape{4, {1, 3, h, w}}; }

// The input op hands on one tensor of this shape (the engine keeps a copy).
inline void setInputShape(qobeOp* inputOp, const qobmShape& shape) {
  EXPECT_EQ(0, qobeSetOpAttr(inputOp, "output_count", qobeATTR_UINT32, 1, 1u));
  EXPECT_EQ(0, qobeSetOpAttr(inputOp, "output_shape", qobeATTR_UINT64, 1,
                             static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&shape))));
}

// The demo classifier as input op -> run-model op (optionally -> memory-copy op), its graph and a stream.
// Everything is torn down in the destructor (stream, graph, handle record, model, ops).
class Pipeline {
 public:
  struct Options {
    uint32_t batch = 1;
    uint32_t inputs = 1;    // tensors the input op hands on per input
    bool memCopy = false;   // append a memory-copy op below the run-model op
    bool build = true;
    const char* model = "classifier";  // demo model directory under <build>/models
    int64_t side = 0;  // not 0: `model` is a dynamic suite, loaded and fed at images of side x side

    // Chainable, so that a test names only what differs: Pipeline p(Options().withBatch(4).unbuilt()).
    Options& withBatch(uint32_t b) {
      batch = b;
      return *this;
    }
    Options& withModel(const char* m) {
      model = m;
      return *this;
    }
    Options& withInputs(uint32_t n) {
      inputs = n;
      return *this;
    }
    Options& withMemCopy() {
      memCopy = true;
      return *this;
    }
    Options& unbuilt() {
      build = false;
      return *this;
    }
  };

  explicit Pipeline(Options o) {
    EXPECT_EQ(0, qobmSetDevice(0));
    const std::string m = o.model;
    input_ = readBytes(modelFile(m, "sample_input.bin"));
    expected_ = readBytes(modelFile(m, "expected_output.bin"));
    qobmShape shape = image(o.side, o.side);
    if (o.side != 0) {
      EXPECT_EQ(0u, qoblCreateDynamicModel(modelFile(m, "suite.json").c_str(), modelFile(m, "hw.json").c_str(), &model_));
      EXPECT_EQ(0u, qoblSetDynamicModelInputShape(model_, &shape, 1));
    } else {
      EXPECT_EQ(0u, qoblCreateModel(modelFile(m, "model.so").c_str(), modelFile(m, "graph.json").c_str(),
                                    modelFile(m, "params.bin").c_str(), modelFile(m, "hw.json").c_str(), &model_));
    }
    uint32_t b = o.batch;
    EXPECT_EQ(0u, qoblSetModelBatchSize(model_, &b));
    EXPECT_EQ(0u, qoblCreateOpGraph(&graph_));
    EXPECT_EQ(0u, qoblCreateGraphInputOp(graph_, o.inputs, &inputOp_));
    if (o.side != 0) setInputShape(inputOp_, shape);
    EXPECT_EQ(0u, qoblCreateRunModelOp(model_, &runOp_));
    EXPECT_EQ(0u, qoblConnectOps(inputOp_, runOp_));
    if (o.memCopy) {
      EXPECT_EQ(0, qobeCreateOp(qobeOP_MEM_COPY_OP, &copyOp_));
      EXPECT_EQ(0u, qoblConnectOps(runOp_, copyOp_));
    }
    EXPECT_EQ(0u, qoblCreateOpStream(graph_, qoblBM_ONCE, &stream_));
    if (o.build) {
      EXPECT_EQ(0u, qoblBuildStream(stream_));
    }
  }
  Pipeline() : Pipeline(Options()) {}

  ~Pipeline() {
    destroyStream();
    if (graph_ != nullptr) {
      EXPECT_EQ(0u, qoblDestroyOpGraph(graph_));
      std::free(graph_);
    }
    if (model_ != nullptr) {
      EXPECT_EQ(0u, qoblDestroyModel(model_));
    }
    for (qobeOp* op : {inputOp_, runOp_, copyOp_})
      if (op != nullptr) qobeDestroyOp(op);
  }

  void destroyStream() {
    if (stream_ != nullptr) {
      EXPECT_EQ(0u, qoblDestroyOpStream(stream_));
    }
    stream_ = nullptr;
  }

  qoblStream* stream() const { return stream_; }
  qoblModel* model() const { return model_; }
  qoblOpGraph* graph() const { return graph_; }
  // The stream was destroyed elsewhere (for example from a report callback): teardown leaves it alone.
  void forgetStream() { stream_ = nullptr; }
  qobeOp* inputOp() const { return inputOp_; }
  qobeOp* runOp() const { return runOp_; }
  qobeOp* copyOp() const { return copyOp_; }
  const std::string& input() const { return input_; }
  const std::string& expected() const { return expected_; }
  uint32_t opUid(qobeOp* op) const {
    uint32_t uid = 0;
    qobeGetOpAttr(op, "uid", qobeATTR_UINT32, &uid);
    return uid;
  }
  uint32_t cacheNumber() const {
    uint32_t n = 0;
    EXPECT_EQ(0u, qoblGetStreamCacheNumber(stream_, &n));
    return n;
  }

 private:
  std::string input_, expected_;
  qoblModel* model_ = nullptr;
  qoblOpGraph* graph_ = nullptr;
  qoblStream* stream_ = nullptr;
  qobeOp* inputOp_ = nullptr;
  qobeOp* runOp_ = nullptr;
  qobeOp* copyOp_ = nullptr;
};

// A graph with its input op (`count` tensors per input) for pipelines a test wires by hand.  The stream
// made of it, the graph and then the ops made through it are destroyed with it.
class HandGraph {
 public:
  explicit HandGraph(uint32_t count = 1) {
    EXPECT_EQ(0u, qoblCreateOpGraph(&graph_));
    EXPECT_EQ(0u, qoblCreateGraphInputOp(graph_, count, &input_));
    ops_.push_back(input_);
  }
  ~HandGraph() {
    if (stream_ != nullptr) {
      EXPECT_EQ(0u, qoblDestroyOpStream(stream_));
    }
    EXPECT_EQ(0u, qoblDestroyOpGraph(graph_));
    std::free(graph_);
    for (qobeOp* op : ops_) qobeDestroyOp(op);
  }
  HandGraph(const HandGraph&) = delete;
  HandGraph& operator=(const HandGraph&) = delete;

  qobeOp* input() const { return input_; }
  qobeOp* runModelOp(qoblModel* model) {
    qobeOp* op = nullptr;
    EXPECT_EQ(0u, qoblCreateRunModelOp(model, &op));
    return ops_.emplace_back(op);
  }
  qobeOp* engineOp(uint32_t kind) {
    qobeOp* op = nullptr;
    EXPECT_EQ(0, qobeCreateOp(kind, &op));
    return ops_.emplace_back(op);
  }
  qoblStream* stream() {
    if (stream_ == nullptr) {
      EXPECT_EQ(0u, qoblCreateOpStream(graph_, qoblBM_ONCE, &stream_));
    }
    return stream_;
  }

 private:
  qoblOpGraph* graph_ = nullptr;
  qoblStream* stream_ = nullptr;
  qobeOp* input_ = nullptr;
  std::vector<qobeOp*> ops_;
};

// Every op on device 0 takes at least `us` microseconds while alive (widens the windows between threads).
class SlowCard {
 public:
  explicit SlowCard(uint32_t us) { qobcrt_sim_set_op_delay_us(0, us); }
  ~SlowCard() { qobcrt_sim_set_op_delay_us(0, 0); }
  SlowCard(const SlowCard&) = delete;
  SlowCard& operator=(const SlowCard&) = delete;
};

// Output dataset of a built stream, freed at the end of the scope.
class Output {
 public:
  explicit Output(qoblStream* s) { EXPECT_EQ(0u, qoblRequestOutputDataset(s, &ds_)); }
  ~Output() { freeOutput(ds_); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  qobmDataset* get() const { return ds_; }

 private:
  qobmDataset* ds_ = nullptr;
};

// `n` inputs of the pipeline's sample, each in its own dataset with an output dataset of its own, so that
// reports can be told apart by their input.
struct Inputs {
  std::vector<std::unique_ptr<CardDataset>> ins;
  std::vector<std::unique_ptr<Output>> outs;
  Inputs(const Pipeline& p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      ins.emplace_back(new CardDataset(p.input()));
      outs.emplace_back(new Output(p.stream()));
    }
  }
  qobmDataset* in(size_t i) const { return ins[i]->get(); }
  qobmDataset* out(size_t i) const { return outs[i]->get(); }
};

// The card holds no stream, inout or shared-DDR block (everything the library made was released).
inline void expectNoLibraryBlocks() {
  const qobltest::LiveBlocks live = qobltest::liveBlocks();
  EXPECT_EQ(0u, live.stream + live.inout + live.ddr) << live;
}

}  // namespace streamtest

#endif  // QOBL_TESTS_STREAM_TEST_UTIL_H
