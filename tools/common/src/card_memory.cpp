#include "qobl_tools/card_memory.h"

#include <chrono>
#include <initializer_list>

#include <qobcrt/qobcrt_sim.h>

namespace zenlar {
namespace qobltools {

std::string missingCardText(uint32_t card, uint32_t count) {
  std::string there = count == 1 ? "is 1 card (card 0)" : "are " + std::to_string(count) + " cards";
  if (count > 1) there += " (cards 0 to " + std::to_string(count - 1) + ")";
  return "card " + std::to_string(card) + " does not exist: there " + there +
         "; QOBCRT_DEVICE_COUNT sets how many the simulated card has";
}

uint64_t cardLiveBytes(uint32_t devices) {
  uint64_t total = 0;
  for (uint32_t d = 0; d < devices; ++d) {
    qobcrt_sim_stats st{};
    if (qobcrt_sim_get_stats(d, &st) != 0) continue;
    for (int k : {QOBCRT_SIM_STREAM, QOBCRT_SIM_INOUT, QOBCRT_SIM_DDR_SHARE, QOBCRT_SIM_APP}) total += st.live_bytes[k];
  }
  return total;
}

MemoryWatcher::MemoryWatcher(uint32_t devices) : devices_(devices) {
  sample();
  thread_.reset(new std::thread([this] {
    while (!stop_) {
      sample();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }));
}

MemoryWatcher::~MemoryWatcher() {
  stop_ = true;
  thread_->join();
}

void MemoryWatcher::sample() {
  const uint64_t v = cardLiveBytes(devices_);
  uint64_t cur = peak_.load();
  while (v > cur && !peak_.compare_exchange_weak(cur, v)) {
  }
}

}  // namespace qobltools
}  // namespace zenlar
