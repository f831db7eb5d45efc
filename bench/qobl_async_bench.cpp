// The asynchronous round trip through libqobl beside the card's own floor, in one process.
//
//  BM_CardFloor      a prebuilt single-op run (a run-model op over a 64-byte copy model) submitted straight
//                    with qobcrt_run_stream, waiting for its end report; one or two submitting threads.
//  BM_QoblAsync      the demo classifier as input op -> run-model op through qoblRunStreamAsync and
//                    qoblSynchronizeStream, one input per device run (cache number 1) or four (cache number
//                    4, the classifier's largest batch); one stream, or two streams on two threads.
// Each reports microseconds per input; at the end the ratio of every libqobl case to the floor with the
// same number of threads is printed.  The libqobl side also runs the classifier's kernels, the floor only a
// 64-byte copy, so the ratio is an upper bound of the library's own cost.
#include <benchmark/benchmark.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_model.h>
#include <qobm/qobm.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qobl_api.h"

namespace {

std::mutex gResultsMu;
std::map<std::string, double> gUsPerInput;  // benchmark label -> microseconds per input

void record(benchmark::State& state, const std::string& label, double seconds, uint64_t inputs) {
  if (state.thread_index() != 0 || inputs == 0) return;
  std::lock_guard<std::mutex> lock(gResultsMu);
  gUsPerInput[label] = seconds * 1e6 / static_cast<double>(inputs);
}

// ---- the card's floor ----
constexpr uint32_t kLanes = 2;
constexpr uint32_t kFirstStream = 90000;

struct Lane {
  std::mutex mu;
  std::condition_variable cv;
  uint64_t ended = 0;
  run_stream rec{};
};

struct Floor {
  Lane lanes[kLanes];
  bool ready = false;

  static int copyModel(void*, const void* const* in, void* const* out, char*, size_t) {
    std::memcpy(out[0], in[0], 64);
    return 0;
  }
  static void onReport(uint32_t, get_desc* desc, void* arg) {
    auto* self = static_cast<Floor*>(arg);
    const uint32_t lane = desc->stream_id - kFirstStream;
    if (lane >= kLanes || (desc->context_id & 0x80000000u) == 0) return;
    Lane& l = self->lanes[lane];
    {
      std::lock_guard<std::mutex> lock(l.mu);
      ++l.ended;
    }
    l.cv.notify_one();
  }
  template <class T>
  static void put(uint8_t* p, size_t at, T v) {
    std::memcpy(p + at, &v, sizeof v);
  }
  // The completion function is per device and libqobl installs its own for every stream it creates, so
  // the floor installs its function again before each measurement.
  bool claimReports() {
    get_output_register reg{};
    reg.dev_id = 0;
    reg.func_arg = this;
    reg.func_get_output = &Floor::onReport;
    return qobcrt_get_output_register(0, &reg) == 0;
  }
  bool setUp() {
    static qobcrt_model_desc d{};
    d.name = "async-bench-copy";
    d.batch_size = 1;
    d.num_inputs = 1;
    d.num_outputs = 1;
    d.input_bytes[0] = d.output_bytes[0] = d.align_output_bytes[0] = 64;
    d.run = &Floor::copyModel;
    uint64_t model = 0;
    if (qobcrt_register_model(0, &d, &model) != 0) return false;
    for (uint32_t i = 0; i < kLanes; ++i) {
      create_stream cs{kFirstStream + i, 0, 0};
      uint64_t in = 0, out = 0, args = 0, run = 0;
      if (qobcrt_create_stream(0, &cs) != 0 || qobcrt_malloc_app(0, 64, &in) != 0 ||
          qobcrt_malloc_inout(0, 0, 64, &out) != 0 || qobcrt_malloc_stream(0, 0, 24 + 3 * 8, &args) != 0 ||
          qobcrt_malloc_stream(0, 0, 64, &run) != 0)
        return false;
      uint8_t a[48] = {'*', '$', '%', '!'};
      put(a, 4, uint32_t{1});
      put(a, 8, uint32_t{1});
      put(a, 12, uint32_t{1});
      put(a, 16, uint32_t{1});
      put(a, 20, uint32_t{1});
      put(a, 24, model);
      put(a, 32, in);
      put(a, 40, out);
      uint8_t r[64] = {'#', '$', '%', '&'};
      put(r, 4, kFirstStream + i);
      put(r, 12, 0x80000001u);
      put(r, 16, uint32_t{20000});
      put(r, 28, args);
      put(r, 44, uint32_t{1});
      put(r, 48, uint32_t{1});
      if (qobcrt_memcpy(0, a, sizeof a, args, kHost2Ddr) != 0 || qobcrt_memcpy(0, r, sizeof r, run, kHost2Ddr) != 0)
        return false;
      lanes[i].rec.dev = 0;
      lanes[i].rec.stream_id = kFirstStream + i;
      lanes[i].rec.stream_addr = static_cast<uint32_t>(run);
    }
    return true;
  }
};

Floor& floorState() {
  static Floor* f = [] {
    auto* p = new Floor();  // lives until exit: the card's threads may still hold its address
    p->ready = p->setUp();
    return p;
  }();
  return *f;
}

void BM_CardFloor(benchmark::State& state) {
  Floor& f = floorState();
  if (state.thread_index() == 0 && (!f.ready || !f.claimReports())) {
    state.SkipWithError("card set-up failed");
    return;
  }
  Lane& lane = f.lanes[state.thread_index()];
  uint32_t dataId = static_cast<uint32_t>(state.thread_index()) << 24;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    run_stream rec = lane.rec;
    rec.data_id = ++dataId;
    std::unique_lock<std::mutex> lock(lane.mu);
    const uint64_t target = lane.ended + 1;
    lock.unlock();
    if (qobcrt_run_stream(0, &rec) != 0) {
      state.SkipWithError("qobcrt_run_stream failed");
      break;
    }
    lock.lock();
    lane.cv.wait(lock, [&] { return lane.ended >= target; });
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  state.SetItemsProcessed(state.iterations());
  record(state, "floor/threads:" + std::to_string(state.threads()), secs, state.iterations());
}

// ---- libqobl ----
std::string modelFile(const char* name) {
  const char* dir = std::getenv("QOBL_BUILD_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/models/classifier/" + name;
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One classifier stream with its own model, graph, input and output datasets.
struct Lib {
  qoblModel* model = nullptr;
  qoblOpGraph* graph = nullptr;
  qoblStream* stream = nullptr;
  qobeOp* inOp = nullptr;
  qobeOp* runOp = nullptr;
  uint64_t inAddr = 0;
  qobmDataset* in = nullptr;
  qobmDataBuffer* inBuf = nullptr;
  std::vector<qobmDataset*> outs;
  bool ok = false;

  static void onReport(qobeOp*, qobmDataset*, qobmDataset*, qoblCallbackStatus*, void*) {}

  explicit Lib(uint32_t batch) {
    qobmSetDevice(0);
    const std::string sample = readBytes(modelFile("sample_input.bin"));
    if (sample.empty() ||
        qoblCreateModel(modelFile("model.so").c_str(), modelFile("graph.json").c_str(),
                        modelFile("params.bin").c_str(), modelFile("hw.json").c_str(), &model) != 0)
      return;
    uint32_t b = batch;
    if (qoblSetModelBatchSize(model, &b) != 0 || qoblCreateOpGraph(&graph) != 0 ||
        qoblCreateGraphInputOp(graph, 1, &inOp) != 0 || qoblCreateRunModelOp(model, &runOp) != 0 ||
        qoblConnectOps(inOp, runOp) != 0 || qoblCreateOpStream(graph, qoblBM_ONCE, &stream) != 0 ||
        qoblBuildStream(stream) != 0)
      return;
    if (qobmMalloc(sample.size(), &inAddr) != 0 ||
        qobmMemcpy(inAddr, reinterpret_cast<uint64_t>(sample.data()), sample.size(), 0) != 0 ||
        qobmCreateDataset(qobmDM_BUFFER, &in) != 0 ||
        qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_QOBC, 0}, inAddr, sample.size(), &inBuf) != 0 ||
        qobmAddDatasetBuffer(in, inBuf) != 0)
      return;
    if (qoblSubscribeStreamReport(stream, &Lib::onReport, this) != 0) return;
    for (uint32_t i = 0; i < b; ++i) {
      qobmDataset* o = nullptr;
      if (qoblRequestOutputDataset(stream, &o) != 0) return;
      outs.push_back(o);
    }
    ok = true;
  }
  ~Lib() {
    if (stream != nullptr) qoblDestroyOpStream(stream);
    for (qobmDataset* o : outs) {
      qobmDataBuffer* buf = nullptr;
      uint64_t addr = 0;
      if (qobmGetDatasetBuffer(o, 0, &buf) == 0 && qobmGetDataBufferAddr(buf, &addr) == 0) qobmFree(addr);
      if (buf != nullptr) qobmDestroyDataBuffer(buf);
      qobmDestroyDataset(o);
    }
    if (inBuf != nullptr) qobmDestroyDataBuffer(inBuf);
    if (in != nullptr) qobmDestroyDataset(in);
    if (inAddr != 0) qobmFree(inAddr);
    if (graph != nullptr) {
      qoblDestroyOpGraph(graph);
      std::free(graph);
    }
    if (model != nullptr) qoblDestroyModel(model);
    if (inOp != nullptr) qobeDestroyOp(inOp);
    if (runOp != nullptr) qobeDestroyOp(runOp);
  }
};

void BM_QoblAsync(benchmark::State& state) {
  const uint32_t cache = static_cast<uint32_t>(state.range(0));
  Lib lib(cache);
  if (!lib.ok) {
    state.SkipWithError("libqobl set-up failed");
    return;
  }
  uint64_t inputs = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (qobmDataset* o : lib.outs) {
      const qoblErr rc = qoblRunStreamAsync(lib.stream, lib.in, o);
      if (rc != 0 && rc != qoblERR_RUN_PENDING) {
        state.SkipWithError("qoblRunStreamAsync failed");
        return;
      }
    }
    if (qoblSynchronizeStream(lib.stream, 10000) != 0) {
      state.SkipWithError("qoblSynchronizeStream failed");
      return;
    }
    inputs += lib.outs.size();
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  state.SetItemsProcessed(static_cast<int64_t>(inputs));
  record(state, "qobl/cache:" + std::to_string(cache) + "/threads:" + std::to_string(state.threads()), secs, inputs);
}

}  // namespace

BENCHMARK(BM_CardFloor)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QoblAsync)->Arg(1)->Arg(4)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\nmicroseconds per input, and ratio to the card's floor with the same number of threads:\n");
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
