#include "qobl_test/card_stats.h"

#include <qobcrt/qobcrt.h>

namespace qobltest {

std::ostream& operator<<(std::ostream& os, const LiveBlocks& l) {
  return os << "{stream " << l.stream << ", inout " << l.inout << ", ddr " << l.ddr << ", app " << l.app << "}";
}

qobcrt_sim_stats cardStats(uint32_t dev) {
  qobcrt_sim_stats s{};
  EXPECT_EQ(0, qobcrt_sim_get_stats(dev, &s));
  return s;
}

LiveBlocks liveBlocks(uint32_t dev) {
  const qobcrt_sim_stats s = cardStats(dev);
  return LiveBlocks{s.live_blocks[QOBCRT_SIM_STREAM], s.live_blocks[QOBCRT_SIM_INOUT],
                    s.live_blocks[QOBCRT_SIM_DDR_SHARE], s.live_blocks[QOBCRT_SIM_APP]};
}

uint64_t blockSize(uint64_t addr, uint32_t* kind) {
  uint64_t size = 0;
  qobcrt_query_block(0, addr, kind, nullptr, &size);
  return size;
}

std::ostream& operator<<(std::ostream& os, const CallPoint& p) { return os << p.call << " #" << p.nth; }

int survivorKind(const std::string& call) {
  if (call == "qobcrt_free_stream") return QOBCRT_SIM_STREAM;
  if (call == "qobcrt_free_inout") return QOBCRT_SIM_INOUT;
  if (call == "qobcrt_free_ddr_share") return QOBCRT_SIM_DDR_SHARE;
  if (call == "qobcrt_free_app") return QOBCRT_SIM_APP;
  return -1;
}

std::vector<CallPoint> callPoints(const std::function<void()>& work) {
  std::vector<std::string> names;
  for (uint32_t i = 0; qobcrt_sim_call_name(i) != nullptr; ++i) names.push_back(qobcrt_sim_call_name(i));
  auto counts = [&names] {
    std::vector<uint64_t> n(names.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(0, qobcrt_sim_call_count(names[i].c_str(), &n[i]));
    return n;
  };
  const std::vector<uint64_t> before = counts();
  work();
  const std::vector<uint64_t> after = counts();
  std::vector<CallPoint> points;
  for (size_t i = 0; i < names.size(); ++i) {
    for (uint64_t k = 1; k <= after[i] - before[i]; ++k) points.push_back(CallPoint{names[i], static_cast<uint32_t>(k)});
  }
  return points;
}

void LiveBlocksTest::SetUp() {
  qobcrt_sim_clear_faults();
  base_ = liveBlocks();
}

void LiveBlocksTest::TearDown() {
  qobcrt_sim_clear_faults();
  EXPECT_EQ(base_, liveBlocks()) << "device blocks leaked";
}

}  // namespace qobltest
