// qobl_run_slow_card DELAY_US [qobl-run options]: qobl-run with every op of the simulated cards taking at
// least DELAY_US microseconds, so that a test can hold device runs in flight for as long as it needs (the
// card's delay is set from inside the process only).  Prints "slow card: device runs in flight" to stderr
// once card 0 has a device run submitted and not completed, then goes on as qobl-run.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>

#include "program.h"

int main(int argc, char** argv) {
  char* end = nullptr;
  const unsigned long delay = argc > 1 ? std::strtoul(argv[1], &end, 10) : 0;
  if (argc < 2 || *end != '\0' || delay == 0 || delay > UINT32_MAX) {
    std::fprintf(stderr, "usage: qobl_run_slow_card DELAY_US [qobl-run options]\n");
    return 2;
  }
  uint32_t cards = 0;
  if (qobcrt_get_device_count(&cards) != 0) return 4;
  for (uint32_t d = 0; d < cards; ++d) qobcrt_sim_set_op_delay_us(d, static_cast<uint32_t>(delay));

  std::atomic<bool> done{false};
  std::thread watcher([&done] {
    while (!done.load()) {
      qobcrt_sim_stats st{};
      if (qobcrt_sim_get_stats(0, &st) == 0 && st.runs_submitted > st.runs_completed + st.runs_failed) {
        static const char kLine[] = "slow card: device runs in flight\n";
        if (::write(2, kLine, sizeof kLine - 1) < 0) break;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  // qobl-run sees its own options: the delay is taken out of argv.
  argv[1] = argv[0];
  const int code = zenlar::qoblrun::qoblRunMain(argc - 1, argv + 1);
  done = true;
  watcher.join();
  return code;
}
