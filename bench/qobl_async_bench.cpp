// The asynchronous round trip through libqobl beside the card's own floor, in one process.
//
//  BM_CardFloor   the card's floor (card_floor.h): a prebuilt single-op run whose model copies 64 bytes,
//                 submitted straight with qobcrt_run_stream, waiting for its end report; one or two threads.
//  BM_QoblAsync   the demo model `trivial` (data [1,16] plus a bias: 64 bytes in and 64 bytes out per
//                 input) as input op -> run-model op (the leaf), through qoblRunStreamAsync and
//                 qoblSynchronizeStream.  The argument is the model's batch size, which makes the stream's
//                 cache number (inputs gathered into one device run): 1 or 8, checked with
//                 qoblGetStreamCacheNumber.  One stream on one thread, or two streams on two threads, each
//                 with its own model, graph and datasets.  After the measurement every input must have been
//                 reported without error and every output must hold expected_output.bin.
// Each reports microseconds per input; at the end the ratio of every libqobl case to the floor with the
// same number of threads is printed.  The table's time is one submitting thread's wall time per input of
// its own, so with two threads it is about twice Google Benchmark's "Time" column, which divides by the
// inputs of both threads.  Per input both sides move the same 64 bytes through one kernel call
// on the card, so the ratio is what libqobl's asynchronous path costs over a bare card run: the argument
// arrays and op records built and uploaded per device run, the report callbacks, the recycling of the
// run's memory and the wait.  At cache number 8 one device run, and its fixed costs, serve eight inputs.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <qobm/qobm.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bench_files.h"
#include "card_floor.h"
#include "qobl_api.h"

namespace {

using qoblbench::buildDir;
using qoblbench::readBytes;

std::mutex gResultsMu;
std::map<std::string, double> gUsPerInput;  // benchmark label -> microseconds per input

// Records thread 0's time per input under `label`.
void record(benchmark::State& state, const std::string& label, double seconds, uint64_t inputs) {
  if (state.thread_index() != 0 || inputs == 0) return;
  std::lock_guard<std::mutex> lock(gResultsMu);
  gUsPerInput[label] = seconds * 1e6 / static_cast<double>(inputs);
}

void BM_CardFloor(benchmark::State& state) {
  qoblbench::CardFloor& f = qoblbench::CardFloor::get();
  if (state.thread_index() == 0 && (!f.ready() || !f.claimReports())) {
    state.SkipWithError("card set-up failed");
    return;
  }
  const double secs = f.measure(state);
  state.SetItemsProcessed(state.iterations());
  record(state, "floor/threads:" + std::to_string(state.threads()), secs, state.iterations());
}

std::string modelFile(const char* name) { return buildDir() + "/models/trivial/" + name; }

// One stream over the trivial model with its own model, graph, input and output datasets (one output
// dataset per input of a device run).
class Lib {
 public:
  explicit Lib(uint32_t batch) { error_ = setUp(batch); }
  Lib(const Lib&) = delete;
  Lib& operator=(const Lib&) = delete;
  ~Lib() {
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
    auto* self = static_cast<Lib*>(user);
    self->reports_.fetch_add(1);
    if (status->errorCode != 0) self->reportErrors_.fetch_add(1);
  }

  std::string setUp(uint32_t batch) {
    if (qobmSetDevice(0) != 0) return "qobmSetDevice failed";
    const std::string sample = readBytes(modelFile("sample_input.bin"));
    expected_ = readBytes(modelFile("expected_output.bin"));
    if (sample.size() != qoblbench::CardFloor::kBytes || expected_.size() != qoblbench::CardFloor::kBytes)
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
        qoblSubscribeStreamReport(stream_, &Lib::onReport, this) != 0 || qoblBuildStream(stream_) != 0)
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

void BM_QoblAsync(benchmark::State& state) {
  const uint32_t cache = static_cast<uint32_t>(state.range(0));
  Lib lib(cache);
  if (!lib.error().empty()) {
    state.SkipWithError(lib.error().c_str());
    return;
  }
  uint64_t inputs = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!lib.runOnce()) {
      state.SkipWithError("qoblRunStreamAsync or qoblSynchronizeStream failed");
      break;
    }
    inputs += lib.inputsPerRun();
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (state.error_occurred()) return;
  const std::string wrong = lib.check(inputs);
  if (!wrong.empty()) {
    state.SkipWithError(wrong.c_str());
    return;
  }
  state.SetItemsProcessed(static_cast<int64_t>(inputs));
  record(state, "qobl/cache:" + std::to_string(cache) + "/threads:" + std::to_string(state.threads()), secs, inputs);
}

}  // namespace

BENCHMARK(BM_CardFloor)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QoblAsync)->Arg(1)->Arg(8)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  // Errors only: the library's warnings about models without pre-process ops would bury the table.
  qobmSetLogLevel(qobmLL_ERROR);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\nmicroseconds per input on one submitting thread, and ratio to the card's floor with the same"
              " number of threads:\n");
  for (const auto& kv : gUsPerInput) {
    const std::string threads = kv.first.substr(kv.first.rfind("threads:"));
    auto floorIt = gUsPerInput.find("floor/" + threads);
    if (floorIt == gUsPerInput.end() || floorIt->second <= 0) {
      std::printf("  %-28s %10.2f us\n", kv.first.c_str(), kv.second);
    } else {
      std::printf("  %-28s %10.2f us   x%.2f\n", kv.first.c_str(), kv.second, kv.second / floorIt->second);
    }
  }
  return 0;
}
