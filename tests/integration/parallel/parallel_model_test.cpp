// The demo model `parallel`, whose kernels split their work over the TVM runtime's worker pool, in a
// pipeline on the simulated card: the same bits as its CPU reference with a pool of 1, 2 and the default
// number of threads, and a failing task as a failed run of the card, after which the stream runs on.
#include <tvm/runtime/registry.h>
#include <tvm/runtime/threading_backend.h>

#include <cmath>

#include "stream_test_util.h"

using namespace streamtest;

namespace {

void ConfigPool(int nthreads) { (*tvm::runtime::Registry::Get("runtime.config_threadpool"))(0, nthreads); }

Pipeline::Options ParallelModel() { return Pipeline::Options().withModel("parallel"); }

// At a pool of 1, 2 and the default number of threads: a failing task fails its run only (the card's
// error names the kernel and the task), and the next run yields the reference bits.
TEST(ParallelModelTest, BitExactAtAnyPoolSizeAndAFailingTaskFailsThatRunOnly) {
  for (int threads : {1, 2, 0}) {
    ConfigPool(threads);
    SCOPED_TRACE("pool of " + std::to_string(tvm::runtime::threading::MaxConcurrency()));
    {
      Pipeline p(ParallelModel());
      std::string bad = p.input();
      const float inf = INFINITY;
      std::memcpy(&bad[bad.size() - 4], &inf, 4);
      CardDataset badIn(bad), goodIn(p.input());
      Output out(p.stream());
      const uint64_t failedBefore = stats().runs_failed;
      EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStream(p.stream(), badIn.get(), out.get(), 60000));
      EXPECT_EQ(failedBefore + 1, stats().runs_failed);
      char text[512] = {0};
      ASSERT_EQ(0, qobcrt_sim_last_error(0, text, sizeof text));
      const std::string err = text;
      EXPECT_NE(err.find("parallel_fused_conv2d_relu_conv2d_relu: input value 16383 is not finite"),
                std::string::npos)
          << err;
      EXPECT_NE(err.find("parallel task"), std::string::npos) << err;
      ASSERT_EQ(0u, qoblRunStream(p.stream(), goodIn.get(), out.get(), 60000));
      EXPECT_EQ(p.expected(), readBuffer(out.get(), 0));
    }
    expectNoLibraryBlocks();
  }
  ConfigPool(0);
}

}  // namespace
