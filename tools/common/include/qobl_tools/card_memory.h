// The card memory in use, from the simulated card's exact accounting (qobcrt/qobcrt_sim.h), a watcher
// that keeps its high-water mark while pipelines run, and the tools' message for a card that is not there.
#ifndef QOBL_TOOLS_CARD_MEMORY_H
#define QOBL_TOOLS_CARD_MEMORY_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace zenlar {
namespace qobltools {

// The message for a card number at or past `count`, the number of cards: which cards there are and what
// sets their number on the simulated card.
std::string missingCardText(uint32_t card, uint32_t count);

// Bytes of live blocks of every memory kind on the first `devices` cards (0 for a card that does not answer).
uint64_t cardLiveBytes(uint32_t devices);

// Polls cardLiveBytes(devices) every half millisecond from a thread of its own, and on every sample() call,
// keeping the maximum.  The thread is stopped and joined by the destructor.
class MemoryWatcher {
 public:
  explicit MemoryWatcher(uint32_t devices = 1);
  ~MemoryWatcher();
  MemoryWatcher(const MemoryWatcher&) = delete;
  MemoryWatcher& operator=(const MemoryWatcher&) = delete;

  void sample();
  uint64_t peak() const { return peak_.load(); }
  uint32_t devices() const { return devices_; }

 private:
  const uint32_t devices_;
  std::atomic<uint64_t> peak_{0};
  std::atomic<bool> stop_{false};
  std::unique_ptr<std::thread> thread_;
};

}  // namespace qobltools
}  // namespace zenlar

#endif  // QOBL_TOOLS_CARD_MEMORY_H
