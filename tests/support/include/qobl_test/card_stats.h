// Card statistics for tests: live blocks per memory kind, and a fixture that proves a test leaked none.
#ifndef QOBL_TEST_CARD_STATS_H
#define QOBL_TEST_CARD_STATS_H

#include <gtest/gtest.h>
#include <qobcrt/qobcrt_sim.h>

#include <cstdint>
#include <ostream>

namespace qobltest {

// Live blocks per memory kind on one device.
struct LiveBlocks {
  uint64_t stream = 0, inout = 0, ddr = 0, app = 0;
  bool operator==(const LiveBlocks& o) const {
    return stream == o.stream && inout == o.inout && ddr == o.ddr && app == o.app;
  }
  bool operator!=(const LiveBlocks& o) const { return !(*this == o); }
  uint64_t total() const { return stream + inout + ddr + app; }
};
std::ostream& operator<<(std::ostream& os, const LiveBlocks& l);

// The device's live blocks now (a failed query is a test failure).
LiveBlocks liveBlocks(uint32_t dev = 0);
// The device's whole statistics record.
qobcrt_sim_stats cardStats(uint32_t dev = 0);
// Size (and kind) of the card block holding `addr` on device 0; 0 when none.
uint64_t blockSize(uint64_t addr, uint32_t* kind = nullptr);

// A test that must leave device 0's live blocks as it found them; injected faults are cleared around it.
class LiveBlocksTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  LiveBlocks base_;
};

}  // namespace qobltest

#endif  // QOBL_TEST_CARD_STATS_H
