// Runs laid out wrongly on purpose: what the card must refuse or survive when an application (or a buggy
// library) hands it records, argument arrays and configurations that do not hold together.
#include "card_builder.h"
#include "qobcrt/qobcrt_preproc.h"

namespace {

using namespace cardtest;

class HostileRun : public ::testing::Test {
 protected:
  void SetUp() override {
    qobcrt_model_desc d = affine_.desc("affine_hostile", 1);
    ASSERT_EQ(qobcrt_register_model(0, &d, &model_), rtSuccess);
  }
  void TearDown() override { EXPECT_EQ(qobcrt_unregister_model(0, model_), rtSuccess); }
  uint32_t runSync(uint64_t run) {
    uint32_t status = 0xdeadu;
    EXPECT_EQ(qobcrt_run_stream_sync(0, run, 5000, &status), rtSuccess);
    return status;
  }

  Affine affine_{4};
  uint64_t model_ = 0;
};

// A run without an end record ends with its own block, even when the next block of the window holds
// records of another run: those are not executed, and the run fails as unterminated.
TEST_F(HostileRun, ARunStopsAtTheEndOfItsOwnBlock) {
  Blocks b;
  const float x[4] = {1, 2, 3, 4};
  const uint64_t in = b.upload(QOBCRT_SIM_APP, x, sizeof x);
  const uint64_t out0 = b.alloc(QOBCRT_SIM_APP, 16), out1 = b.alloc(QOBCRT_SIM_APP, 64);
  const uint64_t args = argArray(b, 1, 1, 1, 1, 2, {model_, in, out0, out1});
  // Two one-record runs allocated back to back: small blocks of one size share a page, slot after slot.
  uint64_t first = 0, second = 0;
  for (int tries = 0; tries < 8 && second != first + 64; ++tries) {
    first = runBlock(b, {{1, kRunModel, 0x10, args}});
    second = runBlock(b, {{2 | kEnd, kRunModel, 0x10, args}});
  }
  ASSERT_EQ(second, first + 64) << "the test needs two adjacent stream blocks";
  const qobcrt_sim_stats before = stats();
  EXPECT_EQ(runSync(first), static_cast<uint32_t>(rtErrRunRecord));
  EXPECT_EQ(runSync(second), 0u);
  EXPECT_EQ(stats().runs_failed - before.runs_failed, 1u);
  char why[128];
  ASSERT_EQ(qobcrt_sim_last_error(0, why, sizeof why), rtSuccess);
  EXPECT_NE(std::string(why).find("without an end record"), std::string::npos) << why;
}

// An op whose output overlaps its input reads the input as it was before the op wrote anything, for the
// pre-processing conversions (a copy, and a float16 conversion whose second element sits where the first
// one's result goes) and for the memory-copy gather (a second row read from where the first row lands).
TEST_F(HostileRun, AnOpReadsItsInputAsItWasWhenItsOutputOverlapsIt) {
  Blocks b;
  auto runOp = [&](uint32_t type, const std::vector<uint8_t>& cfg, uint64_t in, uint64_t out) {
    const uint64_t c = b.upload(QOBCRT_SIM_STREAM, cfg.data(), cfg.size());
    return runSync(runBlock(b, {{1 | kEnd, type, 0, argArray(b, 1, 1, 1, 1, 1, {c, in, out})}}));
  };
  auto preproc = [](const qobcrt_preproc_tensor& t) {
    qobcrt_preproc_header h{};
    h.magic = QOBCRT_PREPROC_MAGIC;
    h.version = QOBCRT_PREPROC_VERSION;
    h.header_bytes = 32;
    h.tensor_count = 1;
    h.block_bytes = 64;
    std::vector<uint8_t> cfg(64);
    std::memcpy(cfg.data(), &h, 32);
    std::memcpy(cfg.data() + 32, &t, 32);
    return cfg;
  };

  // A copy of 32 bytes onto itself shifted by 8.
  std::vector<uint8_t> bytes(64);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  uint64_t blk = b.upload(QOBCRT_SIM_APP, bytes.data(), bytes.size());
  ASSERT_EQ(runOp(kPreprocess, preproc({QOBCRT_PREPROC_CONV_COPY, 0, 1.0f, 32, 1, 1, 32, 32}), blk, blk + 8), 0u);
  std::vector<uint8_t> want = bytes;
  std::memmove(want.data() + 8, bytes.data(), 32);
  EXPECT_EQ(readBack<uint8_t>(0, blk, 64), want);

  // float16 of {1, 1 + 2^-11} written 4 bytes on: the second value is a tie that rounds to even (1.0),
  // unless its low mantissa bytes were already overwritten by the first result.
  const uint32_t floats[2] = {0x3f800000u, 0x3f801000u};
  blk = b.upload(QOBCRT_SIM_APP, floats, sizeof floats);
  ASSERT_EQ(runOp(kPreprocess, preproc({QOBCRT_PREPROC_CONV_F16, 0, 1.0f, 2, 4, 2, 8, 4}), blk, blk + 4), 0u);
  EXPECT_EQ(readBack<uint16_t>(0, blk + 4, 2), (std::vector<uint16_t>{0x3c00, 0x3c00}));

  // Memory-copy of a [1,1,2,4] core stored in rows of 8 bytes into a plain output 8 bytes on: the plain
  // second row is the core's second row, not the first row the gather has just written over it.
  std::vector<uint8_t> core(32);
  for (size_t i = 0; i < core.size(); ++i) core[i] = static_cast<uint8_t>(100 + i);
  blk = b.upload(QOBCRT_SIM_APP, core.data(), core.size());
  std::vector<uint8_t> cfg;
  put(cfg, int32_t{1});
  put(cfg, uint32_t{0});
  for (int j = 0; j < 8; ++j) {
    for (int32_t v : {1, 1, 2, 4, 1, 1, 2, 8}) put(cfg, j == 0 ? v : 0);
    put(cfg, uint64_t{0});
  }
  for (int32_t v : {1, 1, 2, 4, 1, 1, 2, 4}) put(cfg, v);
  put(cfg, uint64_t{0});
  for (uint8_t v : {3, 1, 1, 0}) put(cfg, v);   // concat dim 3, core 0 used, 1-byte elements, 4-D
  cfg.resize(cfg.size() + 12, 0);
  ASSERT_EQ(cfg.size(), 8u + 376u);
  ASSERT_EQ(runOp(kMemCopy, cfg, blk, blk + 8), 0u);
  const std::vector<uint8_t> got = readBack<uint8_t>(0, blk + 8, 8);
  EXPECT_EQ(got, (std::vector<uint8_t>{100, 101, 102, 103, 108, 109, 110, 111}));
}

}  // namespace
