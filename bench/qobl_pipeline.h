// A libqobl pipeline over a demo model for the benchmarks: model, graph, stream, card datasets, runs of
// one device run at a time, and the check of every output against the model's expected output.
#ifndef QOBL_BENCH_QOBL_PIPELINE_H
#define QOBL_BENCH_QOBL_PIPELINE_H

#include <qobe/qobe.h>
#include <qobm/qobm.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_files.h"
#include "qobl_api.h"

namespace qoblbench {

// One stream over a demo model (input op -> run-model op) with its own model, graph, input and output
// datasets (one output dataset per input of a device run); the input is the model's sample_input.bin.
class Pipeline {
 public:
  Pipeline(const std::string& model, uint32_t batch) : dir_(buildDir() + "/models/" + model + "/") {
    error_ = setUp(batch);
  }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;
  ~Pipeline() {
    if (stream_ != nullptr) qoblDestroyOpStream(stream_);
    for (qobmDataset* o : outs_) {
      qobmDataBuffer* buf = nullptr;
      uint64_t addr = 0;
      if (qobmGetDatasetBuffer(o, 0, &buf) == 0 && qobmGetDataBufferAddr(buf, &addr) == 0) qobmFree(addr);
      if (buf != nullptr) qobmDestroyDataBuffer(buf);
      qobmDestroyDataset(o);
    }
    if (inBuf_ != nullptr) qobmDestroyDataBuffer(inBuf_);
    if (in_ != nullptr) qobmDestroyDataset(in_);
    if (inAddr_ != 0) qobmFree(inAddr_);
    if (graph_ != nullptr) {
      qoblDestroyOpGraph(graph_);
      std::free(graph_);
    }
    if (model_ != nullptr) qoblDestroyModel(model_);
    if (inOp_ != nullptr) qobeDestroyOp(inOp_);
    if (runOp_ != nullptr) qobeDestroyOp(runOp_);
  }

  // Empty when the stream is ready, else what failed.
  const std::string& error() const { return error_; }

  // One device run: every output dataset gets one input, the last one sends the run; then waits for it.
  bool runOnce() {
    for (qobmDataset* o : outs_) {
      const qoblErr rc = qoblRunStreamAsync(stream_, in_, o);
      if (rc != 0 && rc != qoblERR_RUN_PENDING) return false;
    }
    return qoblSynchronizeStream(stream_, 10000) == 0;
  }
  uint64_t inputsPerRun() const { return outs_.size(); }
  // The stream, its input dataset and output dataset i, for calls of one's own.
  qoblStream* stream() const { return stream_; }
  qobmDataset* input() const { return in_; }
  qobmDataset* output(size_t i) const { return outs_[i]; }
  uint64_t sampleBytes() const { return sampleBytes_; }

  // After `inputs` inputs: each was reported once without error and every output holds the model's
  // expected output.  Empty when so, else what differs.
  std::string check(uint64_t inputs) const {
    if (reports_.load() != inputs) {
      return "reports " + std::to_string(reports_.load()) + " for " + std::to_string(inputs) + " inputs";
    }
    if (reportErrors_.load() != 0) return std::to_string(reportErrors_.load()) + " reports with an error";
    for (qobmDataset* o : outs_) {
      qobmDataBuffer* buf = nullptr;
      uint64_t addr = 0;
      std::string got(expected_.size(), '\0');
      if (qobmGetDatasetBuffer(o, 0, &buf) != 0 || qobmGetDataBufferAddr(buf, &addr) != 0 ||
          qobmMemcpy(reinterpret_cast<uint64_t>(got.data()), addr, got.size(), 1) != 0)
        return "an output cannot be read back";
      if (got != expected_) return "an output differs from expected_output.bin";
    }
    return "";
  }

 private:
  static void onReport(qobeOp*, qobmDataset*, qobmDataset*, qoblCallbackStatus* status, void* user) {
    auto* self = static_cast<Pipeline*>(user);
    self->reports_.fetch_add(1);
    if (status->errorCode != 0) self->reportErrors_.fetch_add(1);
  }

  std::string setUp(uint32_t batch) {
    if (qobmSetDevice(0) != 0) return "qobmSetDevice failed";
    const std::string sample = readBytes(dir_ + "sample_input.bin");
    expected_ = readBytes(dir_ + "expected_output.bin");
    sampleBytes_ = sample.size();
    if (sample.empty() || expected_.empty())
      return "no sample of the model at " + dir_ + " (set QOBL_BUILD_DIR to the build directory)";
    if (qoblCreateModel((dir_ + "model.so").c_str(), (dir_ + "graph.json").c_str(), (dir_ + "params.bin").c_str(),
                        (dir_ + "hw.json").c_str(), &model_) != 0)
      return "qoblCreateModel failed";
    uint32_t b = batch;
    if (qoblSetModelBatchSize(model_, &b) != 0) return "qoblSetModelBatchSize(" + std::to_string(batch) + ") failed";
    if (qoblCreateOpGraph(&graph_) != 0 || qoblCreateGraphInputOp(graph_, 1, &inOp_) != 0 ||
        qoblCreateRunModelOp(model_, &runOp_) != 0 || qoblConnectOps(inOp_, runOp_) != 0)
      return "building the graph failed";
    if (qoblCreateOpStream(graph_, qoblBM_ONCE, &stream_) != 0 ||
        qoblSubscribeStreamReport(stream_, &Pipeline::onReport, this) != 0 || qoblBuildStream(stream_) != 0)
      return "creating the stream failed";
    uint32_t cache = 0;
    if (qoblGetStreamCacheNumber(stream_, &cache) != 0 || cache != batch)
      return "cache number " + std::to_string(cache) + ", expected " + std::to_string(batch);
    if (qobmMalloc(sample.size(), &inAddr_) != 0 ||
        qobmMemcpy(inAddr_, reinterpret_cast<uint64_t>(sample.data()), sample.size(), 0) != 0 ||
        qobmCreateDataset(qobmDM_BUFFER, &in_) != 0 ||
        qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_QOBC, 0}, inAddr_, sample.size(), &inBuf_) != 0 ||
        qobmAddDatasetBuffer(in_, inBuf_) != 0)
      return "the input dataset cannot be made";
    // Outputs start zeroed, so that check() sees what the runs wrote.
    const std::string zeros(expected_.size(), '\0');
    for (uint32_t i = 0; i < cache; ++i) {
      qobmDataset* o = nullptr;
      if (qoblRequestOutputDataset(stream_, &o) != 0) return "qoblRequestOutputDataset failed";
      outs_.push_back(o);
      qobmDataBuffer* buf = nullptr;
      uint64_t addr = 0, size = 0;
      if (qobmGetDatasetBuffer(o, 0, &buf) != 0 || qobmGetDataBufferAddr(buf, &addr) != 0 ||
          qobmGetDataBufferSize(buf, &size) != 0 || size < zeros.size() ||
          qobmMemcpy(addr, reinterpret_cast<uint64_t>(zeros.data()), zeros.size(), 0) != 0)
        return "an output dataset cannot be cleared";
    }
    return "";
  }

  std::string dir_;
  uint64_t sampleBytes_ = 0;
  qoblModel* model_ = nullptr;
  qoblOpGraph* graph_ = nullptr;
  qoblStream* stream_ = nullptr;
  qobeOp* inOp_ = nullptr;
  qobeOp* runOp_ = nullptr;
  uint64_t inAddr_ = 0;
  qobmDataset* in_ = nullptr;
  qobmDataBuffer* inBuf_ = nullptr;
  std::vector<qobmDataset*> outs_;
  std::string expected_;
  std::atomic<uint64_t> reports_{0};
  std::atomic<uint64_t> reportErrors_{0};
  std::string error_;
};

}  // namespace qoblbench

#endif  // QOBL_BENCH_QOBL_PIPELINE_H
