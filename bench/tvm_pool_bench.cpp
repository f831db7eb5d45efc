// The TVM runtime's worker pool: inference throughput of the demo model `parallel` (two kernels that
// split their work over a parallel launch with num_task 0, a barrier and workspaces in each) with the
// default pool against a pool of one thread, in one run, and heap allocations per inference.
//
//  BM_Node/pool:N      one item through the model's module node on the card graph runtime, called on the
//                      benchmark's thread as the card's engine calls it (qobcrt_sim_run_model): the
//                      runtime and the kernels alone.
//  BM_Pipeline/pool:N  through libqobl on the simulated card: input op -> run-model op at batch 4, four
//                      inputs per device run (qoblRunStreamAsync, qoblSynchronizeStream); every output is
//                      checked against expected_output.bin afterwards.
// N is the pool size set with "runtime.config_threadpool": 1 (what TVM_NUM_THREADS=1 gives) or 0 (the
// default: TVM_NUM_THREADS, else the cores the process may use).  The counter allocs/inference is every
// heap allocation of the process during the timed loop divided by the inferences (this program replaces
// the heap functions with counting ones, alloc_counter.cpp); for BM_Node that is the TVM runtime's run
// path alone.  At the end: items per second of each case, the ratio default / one thread, and the load
// average of the machine before and after (other processes compete for the cores).
#include <benchmark/benchmark.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <tvm/ir/expr.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/registry.h>
#include <tvm/runtime/threading_backend.h>

#include <cstdio>
#include <map>
#include <string>

#include "alloc_counter.h"
#include "qobl_pipeline.h"

namespace {

using tvm::runtime::Module;
using tvm::runtime::Registry;
using tvm::ir::StringImm;

std::map<std::string, double> gItemsPerSec;
std::map<std::string, double> gAllocsPerItem;

std::string loadAverage() {
  std::string s = qoblbench::readBytes("/proc/loadavg");
  return s.substr(0, s.find(' ', s.find(' ', s.find(' ') + 1) + 1));  // the 1, 5 and 15 minute figures
}

void configPool(int n) { (*Registry::Get("runtime.config_threadpool"))(0, n); }

std::string label(const char* what, int pool) {
  return std::string(what) + "/pool:" + (pool == 0 ? "default(" + std::to_string(tvm::runtime::threading::MaxConcurrency()) + ")" : "1");
}

// The model on the card graph runtime at batch 1; the card address of its module node.
struct Node {
  Module module;
  uint64_t addr = 0;
  std::string input, expected, error;
  Node() {
    const std::string dir = qoblbench::buildDir() + "/models/parallel/";
    input = qoblbench::readBytes(dir + "sample_input.bin");
    expected = qoblbench::readBytes(dir + "expected_output.bin");
    if (input.empty() || expected.empty()) {
      error = "no model at " + dir + " (set QOBL_BUILD_DIR to the build directory)";
      return;
    }
    try {
      QOBCRegisterDeviceAPI();
      tvm::Map<std::string, StringImm> cfg;
      cfg.Set("model_name", StringImm::make("bench:0:parallel"));
      int err = 0;
      module = (*Registry::Get("tvm.graph_runtime.create"))(qoblbench::readBytes(dir + "graph.json"),
                                                             Module::LoadFromFile(dir + "model.so", ""), cfg, 0, &err,
                                                             14, 0);
      tvm::Array<StringImm> blobs;
      blobs.push_back(StringImm(qoblbench::readBytes(dir + "params.bin")));
      if (err == 0) module.GetFunction("load_params")(blobs, &err);
      std::string name;
      if (err == 0) name = static_cast<std::string>(module.GetFunction("set_batch_size")(1u, &err));
      if (err != 0 || qobcrt_model_addr(0, name.c_str(), &addr) != 0) error = "the model cannot be loaded";
    } catch (const std::exception& e) {
      error = e.what();
    }
  }
};

void BM_Node(benchmark::State& state) {
  static Node node;
  if (!node.error.empty()) {
    state.SkipWithError(node.error.c_str());
    return;
  }
  const int pool = static_cast<int>(state.range(0));
  configPool(pool);
  std::string out(node.expected.size(), '\0');
  const void* in[1] = {node.input.data()};
  void* outs[1] = {&out[0]};
  char err[256];
  for (int i = 0; i < 3; ++i) qobcrt_sim_run_model(0, node.addr, in, outs, err, sizeof err);  // pool and workspaces
  alloc_counter::start();
  for (auto _ : state) {
    if (qobcrt_sim_run_model(0, node.addr, in, outs, err, sizeof err) != 0) {
      state.SkipWithError(err);
      break;
    }
  }
  const uint64_t allocs = alloc_counter::stop();
  if (state.error_occurred()) return;
  if (out != node.expected) {
    state.SkipWithError("the output differs from expected_output.bin");
    return;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs/inference"] = static_cast<double>(allocs) / static_cast<double>(state.iterations());
  gAllocsPerItem[label("node", pool)] = state.counters["allocs/inference"];
}

void BM_Pipeline(benchmark::State& state) {
  const int pool = static_cast<int>(state.range(0));
  configPool(pool);
  qoblbench::Pipeline p("parallel", 4);
  if (!p.error().empty()) {
    state.SkipWithError(p.error().c_str());
    return;
  }
  p.runOnce();
  uint64_t inputs = p.inputsPerRun();
  alloc_counter::start();
  for (auto _ : state) {
    if (!p.runOnce()) {
      state.SkipWithError("qoblRunStreamAsync or qoblSynchronizeStream failed");
      break;
    }
    inputs += p.inputsPerRun();
  }
  const uint64_t allocs = alloc_counter::stop();
  if (state.error_occurred()) return;
  const std::string wrong = p.check(inputs);
  if (!wrong.empty()) {
    state.SkipWithError(wrong.c_str());
    return;
  }
  const double timed = static_cast<double>(inputs - p.inputsPerRun());
  state.SetItemsProcessed(static_cast<int64_t>(timed));
  state.counters["allocs/inference"] = static_cast<double>(allocs) / timed;
  gAllocsPerItem[label("pipeline", pool)] = state.counters["allocs/inference"];
}

// Keeps each case's items per second for the summary.
class Summary : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("items_per_second");
      if (it == r.counters.end() || r.error_occurred) continue;
      const std::string name = r.benchmark_name();
      const int pool = name.find("pool:0") != std::string::npos ? 0 : 1;
      gItemsPerSec[label(name.rfind("BM_Node", 0) == 0 ? "node" : "pipeline", pool)] = it->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

BENCHMARK(BM_Node)->ArgName("pool")->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_Pipeline)->ArgName("pool")->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);

int main(int argc, char** argv) {
  qobmSetLogLevel(qobmLL_ERROR);
  const std::string loadBefore = loadAverage();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Summary summary;
  benchmark::RunSpecifiedBenchmarks(&summary);
  benchmark::Shutdown();
  configPool(0);
  std::printf("\nload average (1, 5, 15 min) before: %s, after: %s; cores available: %d\n", loadBefore.c_str(),
              loadAverage().c_str(), tvm::runtime::threading::DefaultConcurrency());
  std::printf("%-24s %14s %18s\n", "case", "inferences/s", "allocs/inference");
  for (const auto& kv : gItemsPerSec) {
    auto a = gAllocsPerItem.find(kv.first);
    std::printf("%-24s %14.1f %18.2f\n", kv.first.c_str(), kv.second, a == gAllocsPerItem.end() ? -1.0 : a->second);
  }
  for (const char* what : {"node", "pipeline"}) {
    auto one = gItemsPerSec.find(label(what, 1));
    auto def = gItemsPerSec.find(label(what, 0));
    if (one != gItemsPerSec.end() && def != gItemsPerSec.end() && one->second > 0)
      std::printf("%s: default pool / one thread = x%.2f\n", what, def->second / one->second);
  }
  if (!alloc_counter::available()) std::printf("(allocations are not counted in sanitizer builds)\n");
  return 0;
}
