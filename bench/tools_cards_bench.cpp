// Throughput of the tools' pipeline layer (what qobl-run --devices drives) on one card and on two, in one
// process.
//
//  BM_Cards/<cards>/<delay>  the demo classifier (batch 4) loaded on the first <cards> simulated cards, two
//                            streams spread round-robin over them (so one card carries both, two cards one
//                            each), each fed 256 inputs per iteration from its own thread through
//                            Stream::submit and synchronize().  <delay> is the card's own time per op
//                            (qobcrt_sim_set_op_delay_us): 0 leaves only the kernels' host-CPU time, so
//                            the host's cores bound both cases; 300 us stands for a card that computes
//                            while the host waits, where a second card can double the throughput.
// Every completion must be error-free.  At the end the ratio of two cards to one card is printed per delay
// (from the medians with --benchmark_repetitions).
#include <benchmark/benchmark.h>
#include <qobcrt/qobcrt_sim.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "qobl_tools/model_dir.h"
#include "qobl_tools/pipeline.h"
#include "qobl_tools/stream.h"

namespace {

using namespace zenlar::qobltools;

constexpr uint64_t kInputsPerStream = 256;
constexpr uint32_t kStreams = 2;

std::mutex gResultsMu;
std::map<int64_t, std::map<int64_t, double>> gRate;   // delay -> cards -> inputs per second

void BM_Cards(benchmark::State& state) {
  const uint32_t cards = static_cast<uint32_t>(state.range(0));
  const uint32_t delay = static_cast<uint32_t>(state.range(1));
  ModelDir dir;
  Sample sample;
  std::string err = openModelDir(defaultModelDir(), &dir);
  if (err.empty()) err = findSample(dir, "", false, &sample);
  std::vector<std::unique_ptr<Pipeline>> pipes;
  std::vector<std::unique_ptr<DeviceInputs>> inputs;
  for (uint32_t d = 0; d < cards && err.empty(); ++d) {
    qobcrt_sim_set_op_delay_us(d, delay);
    pipes.emplace_back(new Pipeline);
    LoadOptions lo;
    lo.device = d;
    err = pipes.back()->load(dir, lo);
    if (err.empty()) err = pipes.back()->build({Stage::kInput, Stage::kModel});
    inputs.emplace_back(new DeviceInputs);
    if (err.empty()) err = inputs.back()->create(*pipes.back());
    if (err.empty()) err = inputs.back()->upload(sample.input.data(), sample.input.size());
  }
  std::vector<std::unique_ptr<Stream>> streams(kStreams);
  for (uint32_t s = 0; s < kStreams && err.empty(); ++s) err = Stream::create(*pipes[s % cards], StreamOptions(), &streams[s]);
  if (!err.empty()) {
    state.SkipWithError(err.c_str());
    return;
  }
  std::atomic<uint64_t> failed{0};
  auto done = [&failed](const Outcome& oc) {
    if (oc.error != 0) ++failed;
  };
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (uint32_t s = 0; s < kStreams; ++s) {
      threads.emplace_back([&, s] {
        std::string why;
        for (uint64_t k = 0; k < kInputsPerStream; ++k) streams[s]->submit(*inputs[s % cards], k, done, &why);
        streams[s]->synchronize();
      });
    }
    for (auto& t : threads) t.join();
  }
  streams.clear();
  for (uint32_t d = 0; d < cards; ++d) qobcrt_sim_set_op_delay_us(d, 0);
  if (failed != 0) state.SkipWithError("inputs failed");
  const uint64_t items = static_cast<uint64_t>(state.iterations()) * kInputsPerStream * kStreams;
  state.SetItemsProcessed(static_cast<int64_t>(items));
  state.counters["inputs_per_s"] = benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsRate);
}

// Wall time, not the main thread's CPU time: the work happens on the submitting and card threads.
BENCHMARK(BM_Cards)->ArgsProduct({{1, 2}, {0, 300}})->UseRealTime()->Unit(benchmark::kMillisecond);

class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      // With repetitions the median stands for the case.
      if (r.error_occurred || (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median")) continue;
      int cards = 0, delay = 0;
      if (std::sscanf(r.benchmark_name().c_str(), "BM_Cards/%d/%d", &cards, &delay) != 2) continue;
      auto it = r.counters.find("inputs_per_s");
      if (it == r.counters.end()) continue;
      std::lock_guard<std::mutex> g(gResultsMu);
      gRate[delay][cards] = it->second.value;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  setenv("QOBCRT_DEVICE_COUNT", "2", 0);   // before the card starts
  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::printf("\ntwo cards / one card (inputs per second, two streams in both):\n");
  for (const auto& [delay, byCards] : gRate) {
    auto one = byCards.find(1), two = byCards.find(2);
    if (one != byCards.end() && two != byCards.end() && one->second > 0)
      std::printf("  op delay %4lld us: %9.1f / %9.1f = %.2f\n", static_cast<long long>(delay), two->second, one->second,
                  two->second / one->second);
  }
  return 0;
}
