// trivial_stream.h - one libqobl stream over the demo model `trivial`, shared by the benchmarks of the run
// path.
//
// The model adds a bias to data [1,16] (64 bytes in and 64 bytes out per input); the stream is input op ->
// run-model op (the leaf) at the model batch size given, which makes the stream's cache number (inputs
// gathered into one device run).  Each stream has its own model, graph, input dataset in application
// memory and one output dataset per input of a device run.
#ifndef QOBL_BENCH_TRIVIAL_STREAM_H
#define QOBL_BENCH_TRIVIAL_STREAM_H

#include <qobm/qobm.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_files.h"
#include "card_floor.h"
#include "qobl_api.h"

namespace qoblbench {

class TrivialStream {
 public:
  explicit TrivialStream(uint32_t batch) { error_ = setUp(batch); }
  TrivialStream(const TrivialStream&) = delete;
  TrivialStream& operator=(const TrivialStream&) = delete;
  ~TrivialStream() {
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

  static std::string modelFile(const char* name) { return buildDir() + "/models/trivial/" + name; }

  // Empty when the stream is ready, else what failed.
  const std::string& error() const { return error_; }

  qoblStream* stream() const { return stream_; }
  qobmDataset* input() const { return in_; }
  qobmDataset* output(size_t i) const { return outs_[i]; }

  // One device run: every output dataset gets one input, the last one sends the run; then waits for it.
  bool runOnce() {
    for (qobmDataset* o : outs_) {
      const qoblErr rc = qoblRunStreamAsync(stream_, in_, o);
      if (rc != 0 && rc != qoblERR_RUN_PENDING) return false;
    }
    return qoblSynchronizeStream(stream_, 10000) == 0;
  }
  uint64_t inputsPerRun() const { return outs_.size(); }

  // After `inputs` inputs since the stream was made: each was reported once without error and every
  // output holds the model's expected output.  Empty when so, else what differs.
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
          qobmMemcpy(reinterpret_cast<uint64_t>(&got[0]), addr, got.size(), 1) != 0)
        return "an output cannot be read back";
      if (got != expected_) return "an output differs from expected_output.bin";
    }
    return "";
  }

 private:
  static void onReport(qobeOp*, qobmDataset*, qobmDataset*, qoblCallbackStatus* status, void* user) {
    auto* self = static_cast<TrivialStream*>(user);
    self->reports_.fetch_add(1);
    if (status->errorCode != 0) self->reportErrors_.fetch_add(1);
  }

  std::string setUp(uint32_t batch) {
    if (qobmSetDevice(0) != 0) return "qobmSetDevice failed";
    const std::string sample = readBytes(modelFile("sample_input.bin"));
    expected_ = readBytes(modelFile("expected_output.bin"));
    if (sample.size() != CardFloor::kBytes || expected_.size() != CardFloor::kBytes)
      return "no sample of the trivial model at " + modelFile("") + " (set QOBL_BUILD_DIR to the build directory)";
    if (qoblCreateModel(modelFile("model.so").c_str(), modelFile("graph.json").c_str(),
                        modelFile("params.bin").c_str(), modelFile("hw.json").c_str(), &model_) != 0)
      return "qoblCreateModel failed";
    uint32_t b = batch;
    if (qoblSetModelBatchSize(model_, &b) != 0) return "qoblSetModelBatchSize(" + std::to_string(batch) + ") failed";
    if (qoblCreateOpGraph(&graph_) != 0 || qoblCreateGraphInputOp(graph_, 1, &inOp_) != 0 ||
        qoblCreateRunModelOp(model_, &runOp_) != 0 || qoblConnectOps(inOp_, runOp_) != 0)
      return "building the graph failed";
    if (qoblCreateOpStream(graph_, qoblBM_ONCE, &stream_) != 0 ||
        qoblSubscribeStreamReport(stream_, &TrivialStream::onReport, this) != 0 || qoblBuildStream(stream_) != 0)
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

#endif  // QOBL_BENCH_TRIVIAL_STREAM_H
