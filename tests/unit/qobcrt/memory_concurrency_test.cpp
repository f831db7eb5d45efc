// Several threads allocating, writing, checking and freeing device memory at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "qobcrt/qobcrt.h"
#include "qobcrt/qobcrt_sim.h"

namespace {

TEST(CardMemoryConcurrency, ThreadsAllocateAndFreeWithoutOverlapOrLeak) {
  qobcrt_sim_stats before{};
  ASSERT_EQ(qobcrt_sim_get_stats(0, &before), rtSuccess);
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
      auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
      for (int r = 0; r < kRounds; ++r) {
        const uint32_t kind = (next() >> 8) % 4;
        const uint64_t size = 1 + (next() >> 8) % 5000;
        uint64_t addr = 0;
        int rc = kind == 0   ? qobcrt_malloc_stream(0, 0, size, &addr)
                 : kind == 1 ? qobcrt_malloc_inout(0, 0, size, &addr)
                 : kind == 2 ? qobcrt_malloc_ddr_share(0, 0, size, &addr)
                             : qobcrt_malloc_app(0, size, &addr);
        if (rc != rtSuccess) {
          ++failures;
          continue;
        }
        const uint8_t tag = static_cast<uint8_t>(t * 64 + r);
        std::vector<uint8_t> fill(size, tag);
        if (qobcrt_memcpy(0, fill.data(), size, addr, kHost2Ddr) != rtSuccess) ++failures;
        held.push_back({kind, addr, size, tag});
        if (held.size() > 8 || (next() >> 8) % 3 == 0) {
          // Free a block after checking nobody else wrote into it.
          const size_t i = (next() >> 8) % held.size();
          Held h = held[i];
          held.erase(held.begin() + static_cast<long>(i));
          std::vector<uint8_t> back(h.size);
          if (qobcrt_memcpy_d2h(0, h.addr, h.size, back.data()) != rtSuccess ||
              back != std::vector<uint8_t>(h.size, h.tag))
            ++failures;
          int frc = h.kind == 0   ? qobcrt_free_stream(0, h.addr)
                    : h.kind == 1 ? qobcrt_free_inout(0, h.addr)
                    : h.kind == 2 ? qobcrt_free_ddr_share(0, h.addr)
                                  : qobcrt_free_app(0, h.addr);
          if (frc != rtSuccess) ++failures;
        }
      }
      for (const Held& h : held) {
        int frc = h.kind == 0   ? qobcrt_free_stream(0, h.addr)
                  : h.kind == 1 ? qobcrt_free_inout(0, h.addr)
                  : h.kind == 2 ? qobcrt_free_ddr_share(0, h.addr)
                                : qobcrt_free_app(0, h.addr);
        if (frc != rtSuccess) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  qobcrt_sim_stats after{};
  ASSERT_EQ(qobcrt_sim_get_stats(0, &after), rtSuccess);
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
