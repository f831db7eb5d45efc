// Soak: N create -> run -> destroy cycles of a whole pipeline, printing the process's resident memory and
// the card's live bytes every 10 %.  Both must stay flat after warm-up: anything a cycle leaves behind
// (host state per model or stream, card blocks, handle records) shows as growth.
//
//   bench_soak [--cycles N] [--model NAME]
//
// A cycle is a qoblbench::Pipeline over the demo model NAME (default: classifier) at batch 2: model, op
// graph (input op -> run-model op), stream, report subscription, build, card input and output datasets;
// one asynchronous device run of two inputs and its wait, then one synchronous device run of two inputs;
// every report must be error-free and every output the reference output; then everything is destroyed.
// The program exits with 1 when a cycle fails, or when the card keeps blocks after the last cycle.
#include <qobcrt/qobcrt_sim.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "qobl_pipeline.h"

namespace {

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

// Live bytes and blocks of every kind of card memory: between cycles the program holds none of its own.
Card card() {
  qobcrt_sim_stats s{};
  qobcrt_sim_get_stats(0, &s);
  Card c;
  for (int k = QOBCRT_SIM_STREAM; k <= QOBCRT_SIM_APP; ++k) {
    c.bytes += s.live_bytes[k];
    c.blocks += s.live_blocks[k];
  }
  return c;
}

// One create -> run -> destroy cycle; empty when every run, report and output was right, else what failed.
std::string cycle(const std::string& model) {
  qoblbench::Pipeline p(model, 2);
  if (!p.error().empty()) return p.error();
  if (!p.runOnce()) return "the asynchronous device run failed";
  // A synchronous input alone waits for a second one: the first call is left pending (and reported), the
  // second runs both (its own outcome is its result): three reports in all.
  if (qoblRunStream(p.stream(), p.input(), p.output(0), 10000) != qoblERR_RUN_PENDING ||
      qoblRunStream(p.stream(), p.input(), p.output(1), 10000) != 0)
    return "the synchronous device run failed";
  return p.check(3);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t cycles = 10000;
  std::string model = "classifier";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cycles") == 0 && i + 1 < argc) {
      cycles = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--model") == 0 && i + 1 < argc) {
      model = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--cycles N] [--model NAME]\n", argv[0]);
      return 2;
    }
  }
  if (cycles < 10) cycles = 10;
  std::printf("soak: %llu create -> run -> destroy cycles of %s\n", static_cast<unsigned long long>(cycles),
              model.c_str());
  std::printf("%10s %8s %12s %14s %12s\n", "cycles", "done", "RSS KiB", "card bytes", "card blocks");
  long rssAtWarm = 0, rssLast = 0;
  uint64_t failures = 0;
  for (uint64_t c = 1; c <= cycles; ++c) {
    const std::string why = cycle(model);
    if (!why.empty() && failures++ == 0) {
      std::fprintf(stderr, "cycle %llu: %s\n", static_cast<unsigned long long>(c), why.c_str());
    }
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
  const Card end = card();
  const uint64_t afterWarm = cycles - cycles / 10;
  std::printf("after warm-up (10 %% to 100 %%): RSS %+ld KiB over %llu cycles (%.1f bytes per cycle); card "
              "after teardown: %llu bytes in %llu blocks\n",
              rssLast - rssAtWarm, static_cast<unsigned long long>(afterWarm),
              afterWarm != 0 ? static_cast<double>(rssLast - rssAtWarm) * 1024.0 / static_cast<double>(afterWarm) : 0.0,
              static_cast<unsigned long long>(end.bytes), static_cast<unsigned long long>(end.blocks));
  std::printf("failed cycles: %llu\n", static_cast<unsigned long long>(failures));
  return failures == 0 && end.blocks == 0 ? 0 : 1;
}
