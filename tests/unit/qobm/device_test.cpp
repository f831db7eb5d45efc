// The calling thread's device and the card's application memory.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "qobcrt/qobcrt.h"
#include "qobcrt/qobcrt_sim.h"
#include "qobm/qobm.h"
#include "qobl_test/card_stats.h"

namespace {

bool isRuntimeFailure(int rc) { return rc >= 500000 && rc <= 500124; }

TEST(QobmDevice, ThreadDeviceAndAppMemoryRoundTrip) {
  std::thread([] {
    uint32_t dev = 77, count = 0;
    uint64_t addr = 5;
    EXPECT_EQ(qobmGetDevice(&dev), QOBM_ERR_NO_DEVICE);
    EXPECT_EQ(qobmMalloc(64, &addr), QOBM_ERR_NO_DEVICE);
    EXPECT_EQ(addr, 5u);
    ASSERT_EQ(qobcrt_get_device_count(&count), 0);
    EXPECT_EQ(qobmSetDevice(count), QOBM_ERR_DEVICE);
    ASSERT_EQ(qobmSetDevice(0), 0);
    EXPECT_EQ(qobmSetDevice(UINT32_MAX), QOBM_ERR_DEVICE);
    ASSERT_EQ(qobmGetDevice(&dev), 0);  // a refused change keeps the device
    EXPECT_EQ(dev, 0u);   // (set for this thread only: static_model_test NoCurrentDevicePassesTheDeviceCodeThrough)

    const qobcrt_sim_stats before = qobltest::cardStats();
    std::vector<uint8_t> in(100), out(100, 0);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7 + 3);
    uint64_t a = 0, b = 0;
    ASSERT_EQ(qobmMalloc(in.size(), &a), 0);
    ASSERT_EQ(qobmMalloc(in.size(), &b), 0);
    EXPECT_EQ(qobltest::liveBlocks().app, before.live_blocks[QOBCRT_SIM_APP] + 2);
    ASSERT_EQ(qobmMemcpy(a, reinterpret_cast<uint64_t>(in.data()), in.size(), qobmMEMCPY_HOST_TO_DEVICE), 0);
    ASSERT_EQ(qobmMemcpy(b, a, in.size(), qobmMEMCPY_DEVICE_TO_DEVICE), 0);
    ASSERT_EQ(qobmMemcpy(reinterpret_cast<uint64_t>(out.data()), b, out.size(), qobmMEMCPY_DEVICE_TO_HOST), 0);
    EXPECT_EQ(in, out);

    // Faults of the device runtime come back as its own codes.
    const int direct = qobcrt_memcpy(0, in.data(), in.size() + 1, a, kHost2Ddr);
    EXPECT_TRUE(isRuntimeFailure(direct)) << direct;
    EXPECT_EQ(qobmMemcpy(a, reinterpret_cast<uint64_t>(in.data()), in.size() + 1, qobmMEMCPY_HOST_TO_DEVICE),
              direct);
    EXPECT_EQ(qobmMemcpy(a, reinterpret_cast<uint64_t>(in.data()), 4, 3), QOBM_ERR_INVALID_PARAM);
    EXPECT_EQ(qobmMemcpy(a, 0, 4, qobmMEMCPY_HOST_TO_DEVICE), QOBM_ERR_INVALID_PARAM);
    EXPECT_EQ(qobmMalloc(16, nullptr), QOBM_ERR_INVALID_PARAM);
    EXPECT_EQ(qobmFree(a), 0);
    EXPECT_EQ(qobmFree(b), 0);
    EXPECT_TRUE(isRuntimeFailure(qobmFree(a)));
    const qobcrt_sim_stats after = qobltest::cardStats();
    EXPECT_EQ(after.live_blocks[QOBCRT_SIM_APP], before.live_blocks[QOBCRT_SIM_APP]);
    EXPECT_EQ(after.live_bytes[QOBCRT_SIM_APP], before.live_bytes[QOBCRT_SIM_APP]);
  }).join();
}

}  // namespace
