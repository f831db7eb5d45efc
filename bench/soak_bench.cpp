// Soak: N create -> run -> destroy cycles of a whole pipeline, printing the process's resident memory and
// the card's live bytes every 10 %.  Both must stay flat after warm-up: anything a cycle leaves behind
// (host state per stream, card blocks, handle records) shows as growth.
//
//   bench_soak [--cycles N] [--model DIR] [--reload]
//
// A cycle: op graph (input op -> run-model op), stream, report subscription, build, two asynchronous
// inputs (one device run at batch 2) and their wait, one synchronous input, then the stream, the graph,
// the ops and the output datasets are destroyed.  The model (default: the demo classifier) is loaded once;
// with --reload it is created and destroyed in every cycle too.  Every report must carry the reference
// output; the program exits with 1 when one does not, or when the card keeps blocks after the last cycle.
#include <qobcrt/qobcrt_sim.h>
#include <qobm/qobm.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_files.h"
#include "qobl_api.h"

namespace {

using qoblbench::buildDir;
using qoblbench::readBytes;

// Resident set size in KiB.
long rssKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Card {
  uint64_t bytes = 0, blocks = 0;
};

// Live bytes and blocks of the library's kinds of card memory (application memory is the program's own).
Card card() {
  qobcrt_sim_stats s{};
  qobcrt_sim_get_stats(0, &s);
  Card c;
  for (int k : {QOBCRT_SIM_STREAM, QOBCRT_SIM_INOUT, QOBCRT_SIM_DDR_SHARE}) {
    c.bytes += s.live_bytes[k];
    c.blocks += s.live_blocks[k];
  }
  return c;
}

struct Checker {
  std::string expected;
  std::atomic<uint64_t> reports{0}, wrong{0};
  static void fn(qobeOp*, qobmDataset*, qobmDataset* output, qoblCallbackStatus* st, void* user) {
    auto* self = static_cast<Checker*>(user);
    if (st->isStreamEnd == 0) return;
    ++self->reports;
    qobmDataBuffer* b = nullptr;
    uint64_t addr = 0, size = 0;
    std::string got;
    if (st->errorCode == 0 && output != nullptr && qobmGetDatasetBuffer(output, 0, &b) == 0 &&
        qobmGetDataBufferAddr(b, &addr) == 0 && qobmGetDataBufferSize(b, &size) == 0) {
      got.resize(size);
      qobmMemcpy(reinterpret_cast<uint64_t>(&got[0]), addr, size, 1);
    }
    if (got.compare(0, self->expected.size(), self->expected) != 0) ++self->wrong;
  }
};

// A buffer-mode dataset over one block of card memory holding `bytes`.
struct CardInput {
  uint64_t addr = 0;
  qobmDataset* ds = nullptr;
  qobmDataBuffer* buf = nullptr;
  explicit CardInput(const std::string& bytes) {
    qobmMalloc(bytes.size(), &addr);
    qobmMemcpy(addr, reinterpret_cast<uint64_t>(bytes.data()), bytes.size(), 0);
    qobmCreateDataset(qobmDM_BUFFER, &ds);
    qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_QOBC, 0}, addr, bytes.size(), &buf);
    qobmAddDatasetBuffer(ds, buf);
  }
  ~CardInput() {
    qobmDestroyDataBuffer(buf);
    qobmDestroyDataset(ds);
    qobmFree(addr);
  }
};

void freeOutput(qobmDataset* ds) {
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

qoblModel* loadModel(const std::string& dir) {
  qoblModel* model = nullptr;
  if (qoblCreateModel((dir + "/model.so").c_str(), (dir + "/graph.json").c_str(), (dir + "/params.bin").c_str(),
                      (dir + "/hw.json").c_str(), &model) != 0)
    return nullptr;
  uint32_t batch = 2;
  if (qoblSetModelBatchSize(model, &batch) != 0) {
    qoblDestroyModel(model);
    return nullptr;
  }
  return model;
}

// One create -> run -> destroy cycle; false on any unexpected result.
bool cycle(qoblModel* model, Checker& checker, const std::vector<CardInput*>& inputs) {
  qoblOpGraph* graph = nullptr;
  qobeOp *in = nullptr, *run = nullptr;
  qoblStream* stream = nullptr;
  bool ok = qoblCreateOpGraph(&graph) == 0 && qoblCreateGraphInputOp(graph, 1, &in) == 0 &&
            qoblCreateRunModelOp(model, &run) == 0 && qoblConnectOps(in, run) == 0 &&
            qoblCreateOpStream(graph, qoblBM_ONCE, &stream) == 0 &&
            qoblSubscribeStreamReport(stream, &Checker::fn, &checker) == 0 && qoblBuildStream(stream) == 0;
  std::vector<qobmDataset*> outs(3, nullptr);
  for (size_t i = 0; ok && i < outs.size(); ++i) ok = qoblRequestOutputDataset(stream, &outs[i]) == 0;
  ok = ok && qoblRunStreamAsync(stream, inputs[0]->ds, outs[0]) == qoblERR_RUN_PENDING &&
       qoblRunStreamAsync(stream, inputs[1]->ds, outs[1]) == 0 && qoblSynchronizeStream(stream, 10000) == 0;
  // A synchronous input alone waits for a second one: give it twice (the first is left pending).
  ok = ok && qoblRunStream(stream, inputs[2]->ds, outs[2], 10000) == qoblERR_RUN_PENDING &&
       qoblRunStream(stream, inputs[2]->ds, outs[2], 10000) == 0;
  if (stream != nullptr && qoblDestroyOpStream(stream) != 0) ok = false;
  if (graph != nullptr && qoblDestroyOpGraph(graph) != 0) ok = false;
  std::free(graph);
  for (qobeOp* op : {in, run})
    if (op != nullptr) qobeDestroyOp(op);
  for (qobmDataset* out : outs)
    if (out != nullptr) freeOutput(out);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t cycles = 10000;
  std::string dir = buildDir() + "/models/classifier";
  bool reload = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cycles") == 0 && i + 1 < argc) {
      cycles = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--model") == 0 && i + 1 < argc) {
      dir = argv[++i];
    } else if (std::strcmp(argv[i], "--reload") == 0) {
      reload = true;
    } else {
      std::fprintf(stderr, "usage: %s [--cycles N] [--model DIR] [--reload]\n", argv[0]);
      return 2;
    }
  }
  if (cycles < 10) cycles = 10;
  qobmSetDevice(0);
  Checker checker;
  checker.expected = readBytes(dir + "/expected_output.bin");
  const std::string sample = readBytes(dir + "/sample_input.bin");
  std::vector<CardInput*> inputs;
  for (int i = 0; i < 3; ++i) inputs.push_back(new CardInput(sample));
  qoblModel* model = reload ? nullptr : loadModel(dir);
  if (!reload && model == nullptr) {
    std::fprintf(stderr, "cannot load the model in %s\n", dir.c_str());
    return 1;
  }

  std::printf("soak: %llu create -> run -> destroy cycles of %s%s\n", static_cast<unsigned long long>(cycles),
              dir.c_str(), reload ? " (model reloaded every cycle)" : "");
  std::printf("%10s %8s %12s %14s %12s\n", "cycles", "done", "RSS KiB", "card bytes", "card blocks");
  long rssAtWarm = 0, rssLast = 0;
  uint64_t failures = 0;
  for (uint64_t c = 1; c <= cycles; ++c) {
    qoblModel* m = reload ? loadModel(dir) : model;
    if (m == nullptr || !cycle(m, checker, inputs)) ++failures;
    if (reload && m != nullptr) qoblDestroyModel(m);
    if (c % (cycles / 10) == 0 || c == cycles) {
      const Card now = card();
      const long rss = rssKiB();
      if (c == cycles / 10) rssAtWarm = rss;
      rssLast = rss;
      std::printf("%10llu %7llu%% %12ld %14llu %12llu\n", static_cast<unsigned long long>(c),
                  static_cast<unsigned long long>(c * 100 / cycles), rss,
                  static_cast<unsigned long long>(now.bytes), static_cast<unsigned long long>(now.blocks));
      std::fflush(stdout);
    }
  }
  if (model != nullptr) qoblDestroyModel(model);
  for (CardInput* in : inputs) delete in;
  const Card end = card();
  const uint64_t afterWarm = cycles - cycles / 10;
  std::printf("after warm-up (10 %% to 100 %%): RSS %+ld KiB over %llu cycles (%.1f bytes per cycle); card "
              "after teardown: %llu bytes in %llu blocks\n",
              rssLast - rssAtWarm, static_cast<unsigned long long>(afterWarm),
              afterWarm != 0 ? static_cast<double>(rssLast - rssAtWarm) * 1024.0 / static_cast<double>(afterWarm) : 0.0,
              static_cast<unsigned long long>(end.bytes), static_cast<unsigned long long>(end.blocks));
  std::printf("reports: %llu, wrong or failed: %llu; failed cycles: %llu\n",
              static_cast<unsigned long long>(checker.reports.load()),
              static_cast<unsigned long long>(checker.wrong.load()), static_cast<unsigned long long>(failures));
  return failures == 0 && checker.wrong.load() == 0 && end.blocks == 0 ? 0 : 1;
}
