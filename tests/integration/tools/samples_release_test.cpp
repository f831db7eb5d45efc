// The C samples release everything they took on every path, the failing ones included: their code runs
// in this process (main renamed at compile time), once cleanly to find every card call it makes, then once
// per call with that call failed.  After each pass the card holds no more blocks than before (but the one
// block whose own free was failed), and the sample's exit code says whether it saw its results.  Host
// memory and the library's objects left behind are reported by the leak checker of the sanitizer build.
#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>

#include <string>
#include <vector>

#include "qobl_test/card_stats.h"
#include "qobl_test/files.h"

extern "C" int sync_classify_main(int argc, char** argv);
extern "C" int async_pipeline_main(int argc, char** argv);

namespace {

using qobltest::CallPoint;
using qobltest::LiveBlocks;
using qobltest::liveBlocks;

using SampleMain = int (*)(int, char**);

int runSample(SampleMain sample, const std::string& model) {
  std::string name = "sample", dir = qobltest::modelDir(model);
  char* argv[] = {&name[0], &dir[0], nullptr};
  return sample(2, argv);
}

uint64_t callCount(const std::string& call) {
  uint64_t n = 0;
  EXPECT_EQ(0, qobcrt_sim_call_count(call.c_str(), &n));
  return n;
}

// Every call point of one sample on one model, failed in turn.  Returns how many passes ended with the
// sample's failure status.
int sweep(SampleMain sample, const std::string& model) {
  std::vector<CallPoint> points;
  const LiveBlocks clean = liveBlocks();
  points = qobltest::callPoints([&] { EXPECT_EQ(0, runSample(sample, model)) << "clean run on " << model; });
  EXPECT_EQ(clean, liveBlocks()) << "clean run on " << model;
  EXPECT_GT(points.size(), 10u);

  int failed = 0;
  for (const CallPoint& p : points) {
    SCOPED_TRACE(testing::Message() << model << ", " << p);
    const qobcrt_sim_stats before = qobltest::cardStats();
    const uint64_t base = callCount(p.call);
    if (qobcrt_sim_fail_call(p.call.c_str(), p.nth, rtErrInjected) != 0) {
      ADD_FAILURE() << "cannot fail the call";
      continue;
    }
    const int code = runSample(sample, model);
    qobcrt_sim_clear_faults();
    const bool fired = callCount(p.call) - base >= p.nth;
    EXPECT_TRUE(code == 0 || code == 1) << code;
    if (code == 1) ++failed;
    const qobcrt_sim_stats after = qobltest::cardStats();
    const int survivor = fired ? qobltest::survivorKind(p.call) : -1;
    for (int k = 0; k < 4; ++k)
      EXPECT_LE(after.live_blocks[k], before.live_blocks[k] + (k == survivor ? 1 : 0)) << "memory kind " << k;
  }
  return failed;
}

TEST(SamplesRelease, EveryFailedCardCallLeavesTheCardAsFound) {
  qobcrt_sim_clear_faults();
  // The single-shot sample on the model with two inputs and two outputs (a block per input), and the
  // asynchronous one on the model whose output needs the memory-copy op (runs in flight at a failure).
  const int syncFailed = sweep(sync_classify_main, "pair");
  const int asyncFailed = sweep(async_pipeline_main, "segmenter");
  // Most failed calls end the sample with its failure status: the sweep went through the error paths.
  EXPECT_GT(syncFailed, 10);
  EXPECT_GT(asyncFailed, 10);
}

}  // namespace
