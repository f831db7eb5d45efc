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

}  // namespace
