// The run path at steady state, for counting instructions with valgrind (bench/callgrind_run_path.sh).
//
//   bench_run_instructions floor|qobl [--cache N] [--runs N] [--warmup N]
//
// floor: the card's floor (card_floor.h), one prebuilt run submitted with qobcrt_run_stream and waited for;
// qobl: the trivial model through qoblRunStreamAsync and qoblSynchronizeStream at cache number N
// (qobl_pipeline.h).  Set-up, --warmup device runs (default 200), then --runs device runs (default 1000),
// then teardown.  The script runs it twice with different --runs under callgrind: the difference of the two
// totals divided by the difference of the runs is what one device run costs at steady state, on every
// thread of the process, with set-up, warm-up and teardown cancelled out.
#include <qobm/qobm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "card_floor.h"
#include "qobl_pipeline.h"

int main(int argc, char** argv) {
  if (argc < 2 || (std::strcmp(argv[1], "floor") != 0 && std::strcmp(argv[1], "qobl") != 0)) {
    std::fprintf(stderr, "usage: %s floor|qobl [--cache N] [--runs N] [--warmup N]\n", argv[0]);
    return 2;
  }
  const bool floor = std::strcmp(argv[1], "floor") == 0;
  unsigned long cache = 1, runs = 1000, warmup = 200;
  for (int i = 2; i + 1 < argc; i += 2) {
    unsigned long* v = std::strcmp(argv[i], "--cache") == 0    ? &cache
                       : std::strcmp(argv[i], "--runs") == 0   ? &runs
                       : std::strcmp(argv[i], "--warmup") == 0 ? &warmup
                                                               : nullptr;
    if (v == nullptr) {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
    *v = std::strtoul(argv[i + 1], nullptr, 10);
  }
  qobmSetLogLevel(qobmLL_ERROR);
  if (floor) {
    qoblbench::CardFloor& f = qoblbench::CardFloor::get();
    if (!f.ready()) {
      std::fprintf(stderr, "card set-up failed\n");
      return 1;
    }
    for (unsigned long i = 0; i < warmup + runs; ++i) {
      if (!f.runOnce(0, static_cast<uint32_t>(i + 1))) {
        std::fprintf(stderr, "run %lu refused\n", i);
        return 1;
      }
    }
    std::printf("floor: %lu device runs after %lu of warm-up\n", runs, warmup);
    return 0;
  }
  qoblbench::Pipeline s("trivial", static_cast<uint32_t>(cache));
  if (!s.error().empty()) {
    std::fprintf(stderr, "%s\n", s.error().c_str());
    return 1;
  }
  for (unsigned long i = 0; i < warmup + runs; ++i) {
    if (!s.runOnce()) {
      std::fprintf(stderr, "run %lu failed\n", i);
      return 1;
    }
  }
  const std::string wrong = s.check((warmup + runs) * cache);
  if (!wrong.empty()) {
    std::fprintf(stderr, "%s\n", wrong.c_str());
    return 1;
  }
  std::printf("qobl cache %lu: %lu device runs after %lu of warm-up\n", cache, runs, warmup);
  return 0;
}
