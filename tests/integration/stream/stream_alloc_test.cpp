// The asynchronous run path at steady state: once a stream has run for a while, further device runs
// (inputs submitted with qoblRunStreamAsync, the card's reports, the report callbacks, recycling and
// qoblSynchronizeStream) make no heap allocation anywhere in the process, at cache numbers 1 and 8, and
// every input is still reported once with the model's expected output.
#include <gtest/gtest.h>

#include <cstdint>

#include "alloc_counter.h"
#include "qobl_pipeline.h"

namespace {

TEST(StreamAllocTest, SteadyStateRunsDoNotAllocate) {
  if (!alloc_counter::available()) GTEST_SKIP() << "allocations are not counted in this build";
  constexpr uint64_t kWarmRuns = 300;
  constexpr uint64_t kCountedRuns = 200;
  for (uint32_t cache : {1u, 8u}) {
    SCOPED_TRACE("cache number " + std::to_string(cache));
    qoblbench::Pipeline p("trivial", cache);
    ASSERT_EQ(p.error(), "");
    for (uint64_t i = 0; i < kWarmRuns; ++i) ASSERT_TRUE(p.runOnce()) << "warm-up run " << i;
    alloc_counter::start();
    bool ok = true;
    for (uint64_t i = 0; ok && i < kCountedRuns; ++i) ok = p.runOnce();
    const uint64_t allocations = alloc_counter::stop();
    ASSERT_TRUE(ok);
    EXPECT_EQ(allocations, 0u) << "heap allocations in " << kCountedRuns << " device runs of " << cache
                               << " inputs";
    EXPECT_EQ(p.check((kWarmRuns + kCountedRuns) * cache), "");
  }
}

}  // namespace
