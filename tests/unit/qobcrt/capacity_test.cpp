// Device capacity and several devices, configured through the environment before the card starts.
#include <cstdlib>

#include "card_builder.h"

namespace {

// The card reads its environment on first use; this runs before main.
const bool kEnvSet = [] {
  setenv("QOBCRT_MEMORY_MB", "8", 1);
  setenv("QOBCRT_DEVICE_COUNT", "3", 1);
  return true;
}();

TEST(CardCapacity, ExhaustionFailsWithMallocAndRecovers) {
  ASSERT_TRUE(kEnvSet);
  uint64_t total = 0, used = 0;
  ASSERT_EQ(qobcrt_get_memory_info(1, &total, &used), rtSuccess);
  ASSERT_EQ(total, 8ull << 20);
  ASSERT_EQ(used, 0u);
  // Capacity is shared by every kind on the device.
  uint64_t a = 0, b = 0, c = 0, d = 0, e = 0;
  ASSERT_EQ(qobcrt_malloc_stream(1, 0, 3 << 20, &a), rtSuccess);
  ASSERT_EQ(qobcrt_malloc_inout(1, 0, 3 << 20, &b), rtSuccess);
  ASSERT_EQ(qobcrt_malloc_app(1, (2 << 20) - 100, &c), rtSuccess);
  const qobcrt_sim_stats before = cardtest::stats(1);
  EXPECT_EQ(qobcrt_malloc_ddr_share(1, 0, 101, &d), rtErrMalloc);
  EXPECT_EQ(qobcrt_malloc_stream(1, 0, 9 << 20, &d), rtErrMalloc);
  ASSERT_EQ(qobcrt_malloc_ddr_share(1, 0, 100, &d), rtSuccess);   // exactly full
  ASSERT_EQ(qobcrt_get_memory_info(1, &total, &used), rtSuccess);
  EXPECT_EQ(used, total);
  EXPECT_EQ(qobcrt_malloc_app(1, 1, &e), rtErrMalloc);
  const qobcrt_sim_stats s = cardtest::stats(1);
  EXPECT_EQ(s.allocs[QOBCRT_SIM_APP], before.allocs[QOBCRT_SIM_APP]);
  EXPECT_EQ(s.allocs[QOBCRT_SIM_DDR_SHARE], before.allocs[QOBCRT_SIM_DDR_SHARE] + 1);

  // Other devices have their own capacity.
  uint64_t other = 0;
  ASSERT_EQ(qobcrt_malloc_stream(2, 0, 6 << 20, &other), rtSuccess);
  ASSERT_EQ(qobcrt_free_stream(2, other), rtSuccess);

  ASSERT_EQ(qobcrt_free_inout(1, b), rtSuccess);
  ASSERT_EQ(qobcrt_malloc_app(1, 3 << 20, &e), rtSuccess);
  for (auto [fn, addr] : {std::pair{qobcrt_free_stream, a}, {qobcrt_free_app, c}, {qobcrt_free_ddr_share, d},
                          {qobcrt_free_app, e}})
    ASSERT_EQ(fn(1, addr), rtSuccess);
  ASSERT_EQ(qobcrt_get_memory_info(1, &total, &used), rtSuccess);
  EXPECT_EQ(used, 0u);
}

}  // namespace
