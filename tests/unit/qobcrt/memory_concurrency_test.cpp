// Several threads allocating, writing, checking and freeing device memory at once.
#include <atomic>

#include "card_builder.h"

namespace {

using namespace cardtest;

TEST(CardMemoryConcurrency, ThreadsAllocateAndFreeWithoutOverlapOrLeak) {
  const qobcrt_sim_stats before = stats();
  constexpr int kThreads = 4, kRounds = 2000;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      struct Held {
        uint32_t kind;
        uint64_t addr, size;
        uint8_t tag;
      };
      std::vector<Held> held;
      uint32_t seed = 12345u + static_cast<uint32_t>(t);
      auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
      // Frees a block after checking nobody else wrote into it.
      auto release = [&](size_t i) {
        const Held h = held[i];
        held.erase(held.begin() + static_cast<long>(i));
        std::vector<uint8_t> back(h.size);
        if (qobcrt_memcpy_d2h(0, h.addr, h.size, back.data()) != rtSuccess ||
            back != std::vector<uint8_t>(h.size, h.tag) || kFree[h.kind](0, h.addr) != rtSuccess)
          ++failures;
      };
      for (int r = 0; r < kRounds; ++r) {
        const uint32_t kind = next() % 4;
        const uint64_t size = 1 + next() % 5000;
        uint64_t addr = 0;
        if (kMalloc[kind](0, 0, size, &addr) != rtSuccess) {
          ++failures;
          continue;
        }
        const uint8_t tag = static_cast<uint8_t>(t * 64 + r);
        std::vector<uint8_t> fill(size, tag);
        if (qobcrt_memcpy(0, fill.data(), size, addr, kHost2Ddr) != rtSuccess) ++failures;
        held.push_back({kind, addr, size, tag});
        if (held.size() > 8 || next() % 3 == 0) release(next() % held.size());
      }
      while (!held.empty()) release(0);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  const qobcrt_sim_stats after = stats();
  uint64_t allocs = 0, frees = 0;
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(after.live_blocks[k], before.live_blocks[k]);
    EXPECT_EQ(after.live_bytes[k], before.live_bytes[k]);
    allocs += after.allocs[k] - before.allocs[k];
    frees += after.frees[k] - before.frees[k];
  }
  EXPECT_EQ(allocs, static_cast<uint64_t>(kThreads * kRounds));
  EXPECT_EQ(frees, allocs);
}

}  // namespace
