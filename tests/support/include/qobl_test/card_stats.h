// Card statistics for tests: live blocks per memory kind, and a fixture that proves a test leaked none.
#ifndef QOBL_TEST_CARD_STATS_H
#define QOBL_TEST_CARD_STATS_H

#include <gtest/gtest.h>
#include <qobcrt/qobcrt_sim.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

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

// One call of a card runtime function within a piece of work: the nth call of `call` from the work's start.
struct CallPoint {
  std::string call;
  uint32_t nth;
};
std::ostream& operator<<(std::ostream& os, const CallPoint& p);
// Runs `work` once and returns every runtime call it made, so that a test can run the same work again once
// per point with that call failed (qobcrt_sim_fail_call(p.call.c_str(), p.nth, code)) and check the outcome
// instead of the order of the calls.
std::vector<CallPoint> callPoints(const std::function<void()>& work);
// The memory kind (QOBCRT_SIM_STREAM ...) of the block a failed free call leaves live, or -1 when `call`
// is not one of the card's free calls.
int survivorKind(const std::string& call);

// A test that must leave device 0's live blocks as it found them; injected faults are cleared around it.
class LiveBlocksTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  LiveBlocks base_;
};

}  // namespace qobltest

#endif  // QOBL_TEST_CARD_STATS_H
