// The floor of the simulated card: one prebuilt single-op run (a run-model op over a model that copies
// 64 bytes) submitted with qobcrt_run_stream, then waiting for its end report on the completion function.
// Reported as runs per second and microseconds per run, from one and from two submitting threads (each
// with its own stream and its own run).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "qobcrt/qobcrt.h"
#include "qobcrt/qobcrt_model.h"

namespace {

constexpr uint32_t kMaxThreads = 8;
constexpr uint32_t kFirstStream = 70000;

// One submitting thread's run and the count of its end reports.
struct Lane {
  std::mutex mu;
  std::condition_variable cv;
  uint64_t ended = 0;
  run_stream rec{};
};

struct Floor {
  Lane lanes[kMaxThreads];
  bool ready = false;

  static int copyModel(void*, const void* const* in, void* const* out, char*, size_t) {
    std::memcpy(out[0], in[0], 64);
    return 0;
  }
  static void onReport(uint32_t, get_desc* desc, void* arg) {
    auto* self = static_cast<Floor*>(arg);
    const uint32_t lane = desc->stream_id - kFirstStream;
    if (lane >= kMaxThreads || (desc->context_id & 0x80000000u) == 0) return;
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

  // Registers the model and the completion function and lays out one run per lane in card memory.
  bool setUp() {
    static qobcrt_model_desc d{};
    d.name = "bench-copy";
    d.batch_size = 1;
    d.num_inputs = 1;
    d.num_outputs = 1;
    d.input_bytes[0] = d.output_bytes[0] = d.align_output_bytes[0] = 64;
    d.run = &Floor::copyModel;
    uint64_t model = 0;
    if (qobcrt_register_model(0, &d, &model) != 0) return false;
    get_output_register reg{};
    reg.dev_id = 0;
    reg.func_arg = this;
    reg.func_get_output = &Floor::onReport;
    if (qobcrt_get_output_register(0, &reg) != 0) return false;
    for (uint32_t i = 0; i < kMaxThreads; ++i) {
      create_stream cs{kFirstStream + i, 0, 0};
      uint64_t in = 0, out = 0, args = 0, run = 0;
      if (qobcrt_create_stream(0, &cs) != 0 || qobcrt_malloc_app(0, 64, &in) != 0 ||
          qobcrt_malloc_inout(0, 0, 64, &out) != 0 || qobcrt_malloc_stream(0, 0, 24 + 3 * 8, &args) != 0 ||
          qobcrt_malloc_stream(0, 0, 64, &run) != 0)
        return false;
      uint8_t a[48] = {'*', '$', '%', '!'};
      put(a, 4, uint32_t{1});   // loops
      put(a, 8, uint32_t{1});   // batch positions
      put(a, 12, uint32_t{1});  // configurations
      put(a, 16, uint32_t{1});  // inputs
      put(a, 20, uint32_t{1});  // outputs
      put(a, 24, model);
      put(a, 32, in);
      put(a, 40, out);
      uint8_t r[64] = {'#', '$', '%', '&'};
      put(r, 4, kFirstStream + i);
      put(r, 12, 0x80000001u);   // the only record is the end record
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
    auto* p = new Floor();   // lives until exit: the card's threads may still hold its address
    p->ready = p->setUp();
    return p;
  }();
  return *f;
}

void BM_CardRunToReport(benchmark::State& state) {
  Floor& f = floorState();
  if (!f.ready) {
    state.SkipWithError("card set-up failed");
    return;
  }
  Lane& lane = f.lanes[state.thread_index()];
  uint32_t data_id = static_cast<uint32_t>(state.thread_index()) << 24;
  for (auto _ : state) {
    run_stream rec = lane.rec;
    rec.data_id = ++data_id;
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
  state.SetItemsProcessed(state.iterations());
  state.counters["us_per_run"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["runs_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_CardRunToReport)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
