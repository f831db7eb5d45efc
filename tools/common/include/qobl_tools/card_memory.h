// The card memory in use, from the simulated card's exact accounting (qobcrt/qobcrt_sim.h), and a watcher
// that keeps its high-water mark while pipelines run.
#ifndef QOBL_TOOLS_CARD_MEMORY_H
#define QOBL_TOOLS_CARD_MEMORY_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace zenlar {
namespace qobltools {

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
