// The floor of the simulated card: one prebuilt single-op run (a run-model op over a model that copies
// 64 bytes) submitted with qobcrt_run_stream, then waiting for its end report on the completion function
// (card_floor.h).  Reported as runs per second and microseconds per run, from one and from two submitting
// threads (each with its own stream and its own run).
#include <benchmark/benchmark.h>

#include "card_floor.h"

namespace {

void BM_CardRunToReport(benchmark::State& state) {
  qoblbench::CardFloor& f = qoblbench::CardFloor::get();
  if (!f.ready()) {
    state.SkipWithError("card set-up failed");
    return;
  }
  f.measure(state);
  state.SetItemsProcessed(state.iterations());
  state.counters["us_per_run"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["runs_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_CardRunToReport)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
