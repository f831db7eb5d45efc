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
#include "qobl_pipeline.h"
#include "qobl_api.h"

namespace {

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

void BM_QoblAsync(benchmark::State& state) {
  const uint32_t cache = static_cast<uint32_t>(state.range(0));
  qoblbench::Pipeline lib("trivial", cache);
  if (!lib.error().empty()) {
    state.SkipWithError(lib.error().c_str());
    return;
  }
  if (lib.sampleBytes() != qoblbench::CardFloor::kBytes) {
    state.SkipWithError("the trivial model's sample does not move the floor's bytes");
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
