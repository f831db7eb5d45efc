// Several threads updating and reading the same pre-processing op, as streams of one graph do.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <qobe/qobe.h>

#include "qobl_test/card_stats.h"

namespace {

qobeOp* makePreproc(uint32_t buffers) {
  qobeOp* op = nullptr;
  EXPECT_EQ(qobeCreateOp(qobeOP_PREPROCESS_OP, &op), 0);
  EXPECT_EQ(qobeSetOpAttr(op, "input_count", qobeATTR_UINT32, 1, 1u), 0);
  EXPECT_EQ(qobeSetOpAttr(op, "output_count", qobeATTR_UINT32, 1, 1u), 0);
  EXPECT_EQ(qobeSetOpAttr(op, "input_size", qobeATTR_UINT32, 1, 64u), 0);
  EXPECT_EQ(qobeSetOpAttr(op, "output_size", qobeATTR_UINT32, 1, 64u), 0);
  EXPECT_EQ(qobeSetOpAttr(op, "buffer_count", qobeATTR_UINT32, 1, buffers), 0);
  return op;
}

// Each thread updates, reads back what its own update made and frees it, like one run of a stream.  A thread
// that read another thread's blocks would free them twice and leak its own.
TEST(QobeConcurrency, EachThreadReadsTheBlocksOfItsOwnUpdate) {
  qobeOp* op = makePreproc(1);
  const qobltest::LiveBlocks before = qobltest::liveBlocks();
  const uint64_t allocsBefore = qobltest::cardStats().allocs[QOBCRT_SIM_STREAM];
  constexpr int kThreads = 4, kRounds = 500;
  std::atomic<int> failures{0};
  std::atomic<int> ready{0};
  std::vector<std::vector<uint64_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();  // start together
      for (int r = 0; r < kRounds; ++r) {
        uint64_t cfg = 0, buf = 0;
        const bool updated = qobeSetOpAttr(op, "update_config_list", qobeATTR_UINT32, 1, 1u) == 0;
        std::this_thread::yield();  // let other threads update in between, as other streams may
        if (!updated || qobeGetOpAttrArray(op, "config_address", qobeATTR_UINT64, 0, &cfg) != 0 ||
            qobeGetOpAttrArray(op, "buffer_address", qobeATTR_UINT64, 0, &buf) != 0) {
          ++failures;
          continue;
        }
        uint32_t count = 0;
        if (qobeGetOpAttrCount(op, "config_address", &count) != 0 || count != 1) ++failures;
        seen[t].push_back(cfg);
        if (qobcrt_free_stream(0, cfg) != 0 || qobcrt_free_ddr_share(0, buf) != 0) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  for (const auto& s : seen) EXPECT_EQ(s.size(), static_cast<size_t>(kRounds));
  EXPECT_EQ(before, qobltest::liveBlocks());
  EXPECT_EQ(qobltest::cardStats().allocs[QOBCRT_SIM_STREAM] - allocsBefore, static_cast<uint64_t>(kThreads * kRounds));
  EXPECT_EQ(qobeDestroyOp(op), 0);
}

// A thread that made no update reads the op's latest one, also when it was given the id of an ended thread
// that did update (Linux reuses the std::thread::id of a joined thread): never the ended thread's blocks.
TEST(QobeConcurrency, ANewThreadNeverReadsAnEndedThreadsUpdate) {
  qobeOp* op = makePreproc(1);
  const qobltest::LiveBlocks before = qobltest::liveBlocks();
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    uint64_t ended = 0;
    std::thread([&] {
      uint64_t buf = 0;
      ASSERT_EQ(qobeSetOpAttr(op, "update_config_list", qobeATTR_UINT32, 1, 1u), 0);
      ASSERT_EQ(qobeGetOpAttrArray(op, "config_address", qobeATTR_UINT64, 0, &ended), 0);
      ASSERT_EQ(qobeGetOpAttrArray(op, "buffer_address", qobeATTR_UINT64, 0, &buf), 0);
      EXPECT_EQ(qobcrt_free_stream(0, ended), 0);
      EXPECT_EQ(qobcrt_free_ddr_share(0, buf), 0);
    }).join();
    uint64_t latest = 0, latestBuf = 0;
    ASSERT_EQ(qobeSetOpAttr(op, "update_config_list", qobeATTR_UINT32, 1, 1u), 0);
    ASSERT_EQ(qobeGetOpAttrArray(op, "config_address", qobeATTR_UINT64, 0, &latest), 0);
    ASSERT_EQ(qobeGetOpAttrArray(op, "buffer_address", qobeATTR_UINT64, 0, &latestBuf), 0);
    uint64_t seen = 0;
    std::thread([&] { EXPECT_EQ(qobeGetOpAttrArray(op, "config_address", qobeATTR_UINT64, 0, &seen), 0); }).join();
    EXPECT_EQ(seen, latest);
    EXPECT_EQ(qobcrt_free_stream(0, latest), 0);
    EXPECT_EQ(qobcrt_free_ddr_share(0, latestBuf), 0);
  }
  EXPECT_EQ(before, qobltest::liveBlocks());
  EXPECT_EQ(qobeDestroyOp(op), 0);
}

// Ops created, written and destroyed on several threads while others read a destroyed or live handle: no
// crash, unique uids, and calls on a destroyed handle are refused.
TEST(QobeConcurrency, CreateAndDestroyRaceWithReaders) {
  constexpr int kThreads = 4, kOps = 300;
  std::vector<std::vector<uint32_t>> uids(kThreads);
  qobeOp* shared = makePreproc(0);
  std::atomic<bool> stop{false};
  std::atomic<int> readerErrors{0};
  std::thread reader([&] {
    while (!stop.load()) {
      uint32_t v = 0;
      const int rc = qobeGetOpAttr(shared, "input_count", qobeATTR_UINT32, &v);
      if ((rc != 0 && rc != qobeERR_INVALID_OP) || (rc == 0 && v != 1)) ++readerErrors;
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kOps; ++i) {
        qobeOp* op = nullptr;
        if (qobeCreateOp(qobeOP_RUN_MODEL_OP, &op) != 0) continue;
        uint32_t uid = 0;
        qobeSetOpAttr(op, "device_id", qobeATTR_UINT32, 1, 0u);
        qobeGetOpAttr(op, "uid", qobeATTR_UINT32, &uid);
        uids[t].push_back(uid);
        qobeDestroyOp(op);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(qobeDestroyOp(shared), 0);
  uint32_t v = 0;
  EXPECT_EQ(qobeGetOpAttr(shared, "input_count", qobeATTR_UINT32, &v), qobeERR_INVALID_OP);
  stop = true;
  reader.join();
  EXPECT_EQ(readerErrors.load(), 0);
  std::set<uint32_t> all;
  for (const auto& u : uids) {
    EXPECT_EQ(u.size(), static_cast<size_t>(kOps));
    all.insert(u.begin(), u.end());
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kOps));
  EXPECT_EQ(all.count(0), 0u);
  EXPECT_EQ(qobeLiveOpCount(), 0u);
}

}  // namespace
