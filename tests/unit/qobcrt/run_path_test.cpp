// The card's run path at steady state: the per-run device calls an application makes (blocks allocated,
// uploaded, run, freed) allocate no host heap once warm, and blocks freed while their runs are still
// queued stay valid for those runs while other threads allocate and free blocks of the same sizes.
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "alloc_counter.h"
#include "card_builder.h"

namespace {

using namespace cardtest;

// Completion function that only counts end reports per stream (it allocates nothing, unlike Reports).
struct EndCounter {
  static constexpr uint32_t kStreams = 4;
  static constexpr uint32_t kFirstStream = 91000;
  std::mutex mu;
  std::condition_variable cv;
  uint64_t ended[kStreams] = {};
  uint64_t errors = 0;

  static void callback(uint32_t, get_desc* desc, void* arg) {
    auto* self = static_cast<EndCounter*>(arg);
    const uint32_t s = desc->stream_id - kFirstStream;
    if (s >= kStreams || ((desc->context_id & kEnd) == 0 && desc->error_code == 0)) return;
    // Notified under the lock: a waiter that sees the last end may destroy the counter as soon as it gets
    // the lock, so the reporter must be done with the condition variable by then.
    std::lock_guard<std::mutex> lock(self->mu);
    ++self->ended[s];
    if (desc->error_code != 0) ++self->errors;
    self->cv.notify_all();
  }
  void waitEnded(uint32_t s, uint64_t count) {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return ended[s] >= count; }))
        << "stream " << s << " ended " << ended[s] << " of " << count;
  }
};

template <class T>
void put(uint8_t* p, size_t at, T v) {
  std::memcpy(p + at, &v, sizeof v);
}

// One run as an application lays it out per run: an input block in application memory and an output in
// inout memory (kept by the caller), an argument array and a one-record run block in stream memory, the
// run submitted on stream s.  Everything but the output and the run's blocks is the caller's to free.
struct OneRun {
  uint64_t args = 0, records = 0;
  bool submit(uint64_t model, uint32_t stream, uint32_t data_id, uint64_t in, uint64_t out0, uint64_t out1) {
    uint8_t a[24 + 4 * 8] = {'*', '$', '%', '!'};
    for (uint32_t i = 0; i < 3; ++i) put(a, 4 + 4 * i, uint32_t{1});   // L, B, C
    put(a, 16, uint32_t{1});   // inputs
    put(a, 20, uint32_t{2});   // outputs
    put(a, 24, model);
    put(a, 32, in);
    put(a, 40, out0);
    put(a, 48, out1);
    uint8_t r[64] = {'#', '$', '%', '&'};
    put(r, 4, stream);
    put(r, 12, 0x80000001u);
    put(r, 16, kRunModel);
    put(r, 44, uint32_t{1});
    put(r, 48, uint32_t{1});
    if (qobcrt_malloc_stream(0, 0, sizeof a, &args) != rtSuccess || qobcrt_memcpy(0, a, sizeof a, args, kHost2Ddr) != rtSuccess)
      return false;
    put(r, 28, args);
    if (qobcrt_malloc_stream(0, 0, sizeof r, &records) != rtSuccess ||
        qobcrt_memcpy(0, r, sizeof r, records, kHost2Ddr) != rtSuccess)
      return false;
    run_stream rs{};
    rs.stream_id = stream;
    rs.data_id = data_id;
    rs.stream_addr = static_cast<uint32_t>(records);
    return qobcrt_run_stream(0, &rs) == rtSuccess;
  }
  bool release() { return qobcrt_free_stream(0, args) == rtSuccess && qobcrt_free_stream(0, records) == rtSuccess; }
};

class CardRunPath : public ::testing::Test {
 protected:
  void SetUp() override {
    get_output_register reg{};
    reg.func_arg = &ends_;
    reg.func_get_output = &EndCounter::callback;
    ASSERT_EQ(qobcrt_get_output_register(0, &reg), rtSuccess);
    for (uint32_t s = 0; s < EndCounter::kStreams; ++s) {
      create_stream cs{EndCounter::kFirstStream + s, 0, 0};
      ASSERT_EQ(qobcrt_create_stream(0, &cs), rtSuccess);
    }
    qobcrt_model_desc d = affine_.desc("run-path-affine", 1);
    ASSERT_EQ(qobcrt_register_model(0, &d, &model_), rtSuccess);
    ASSERT_EQ(qobcrt_get_memory_info(0, &total_, &used_before_), rtSuccess);
    before_ = stats();
  }
  void TearDown() override {
    EXPECT_EQ(qobcrt_unregister_model(0, model_), rtSuccess);
    for (uint32_t s = 0; s < EndCounter::kStreams; ++s)
      EXPECT_EQ(qobcrt_destroy_stream(0, EndCounter::kFirstStream + s), rtSuccess);
  }
  // Nothing stays allocated on the card, and every byte freed is released.
  void expectNothingLeft() {
    uint64_t used = 0;
    ASSERT_EQ(qobcrt_get_memory_info(0, &total_, &used), rtSuccess);
    EXPECT_EQ(used, used_before_);
    const qobcrt_sim_stats after = stats();
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(after.live_blocks[k], before_.live_blocks[k]) << k;
      EXPECT_EQ(after.live_bytes[k], before_.live_bytes[k]) << k;
    }
  }

  EndCounter ends_;
  Affine affine_{16};
  uint64_t model_ = 0, total_ = 0, used_before_ = 0;
  qobcrt_sim_stats before_{};
};

TEST_F(CardRunPath, RunsAllocateNoHostMemoryOnceWarm) {
  constexpr uint64_t kWarm = 300, kCounted = 500;
  uint64_t in = 0;
  ASSERT_EQ(qobcrt_malloc_app(0, 64, &in), rtSuccess);
  const float x[16] = {1, 2, 3};
  ASSERT_EQ(qobcrt_memcpy(0, x, sizeof x, in, kHost2Ddr), rtSuccess);
  uint32_t data_id = 1;
  auto runs = [&](uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
      uint64_t out0 = 0, out1 = 0;
      OneRun r;
      // The 4-byte output takes its model's 64-byte core layout (the card looks the size up per block).
      ASSERT_EQ(qobcrt_malloc_inout(0, 0, 64, &out0), rtSuccess);
      ASSERT_EQ(qobcrt_malloc_inout(0, 0, 4, &out1), rtSuccess);
      ASSERT_TRUE(r.submit(model_, EndCounter::kFirstStream, data_id++, in, out0, out1));
      ends_.waitEnded(0, data_id - 1);
      float y = 0;
      ASSERT_EQ(qobcrt_memcpy_d2h(0, out0 + 8, 4, &y), rtSuccess);
      ASSERT_EQ(y, 7.f);
      ASSERT_TRUE(r.release());
      ASSERT_EQ(qobcrt_free_inout(0, out0), rtSuccess);
      ASSERT_EQ(qobcrt_free_inout(0, out1), rtSuccess);
    }
  };
  runs(kWarm);
  alloc_counter::start();
  runs(kCounted);
  const uint64_t allocations = alloc_counter::stop();
  EXPECT_EQ(allocations, 0u) << "over " << kCounted << " runs";
  EXPECT_EQ(ends_.errors, 0u);
  ASSERT_EQ(qobcrt_free_app(0, in), rtSuccess);
  expectNothingLeft();
}

// Each submitting thread frees a run's input, argument array and records as soon as the run is queued (the
// card keeps them until the run ends) while a third thread allocates, fills and frees blocks of the same
// kinds and sizes: a block freed too early would be handed to that thread and overwritten, and the run
// would compute from its bytes.
TEST_F(CardRunPath, BlocksFreedWhileTheirRunsAreQueuedStayValidUntilTheRunsEnd) {
  constexpr uint32_t kSubmitters = 3, kRuns = 150;
  ASSERT_EQ(qobcrt_sim_set_op_delay_us(0, 50), rtSuccess);   // runs queue up behind one another
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::thread churn([&] {
    const uint8_t junk[64] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    while (!stop.load()) {
      uint64_t a = 0, s = 0;
      if (qobcrt_malloc_app(0, 64, &a) != rtSuccess || qobcrt_malloc_stream(0, 0, 56, &s) != rtSuccess ||
          qobcrt_memcpy(0, junk, 64, a, kHost2Ddr) != rtSuccess || qobcrt_memcpy(0, junk, 56, s, kHost2Ddr) != rtSuccess ||
          qobcrt_free_app(0, a) != rtSuccess || qobcrt_free_stream(0, s) != rtSuccess)
        ++failures;
    }
  });
  std::vector<std::thread> submitters;
  std::vector<std::vector<uint64_t>> outs(kSubmitters);
  for (uint32_t t = 0; t < kSubmitters; ++t) {
    submitters.emplace_back([&, t] {
      for (uint32_t i = 0; i < kRuns; ++i) {
        uint64_t in = 0, out0 = 0, out1 = 0;
        const float x[16] = {static_cast<float>(t), static_cast<float>(i)};
        OneRun r;
        if (qobcrt_malloc_app(0, 64, &in) != rtSuccess || qobcrt_memcpy(0, x, sizeof x, in, kHost2Ddr) != rtSuccess ||
            qobcrt_malloc_inout(0, 0, 64, &out0) != rtSuccess || qobcrt_malloc_inout(0, 0, 4, &out1) != rtSuccess ||
            !r.submit(model_, EndCounter::kFirstStream + t, t * 100000 + i, in, out0, out1) || !r.release() ||
            qobcrt_free_app(0, in) != rtSuccess) {
          ++failures;
          continue;
        }
        outs[t].push_back(out0);
        outs[t].push_back(out1);
      }
    });
  }
  for (auto& th : submitters) th.join();
  for (uint32_t t = 0; t < kSubmitters; ++t) ends_.waitEnded(t, kRuns);
  stop.store(true);
  churn.join();
  ASSERT_EQ(qobcrt_sim_set_op_delay_us(0, 0), rtSuccess);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(ends_.errors, 0u);
  for (uint32_t t = 0; t < kSubmitters; ++t) {
    ASSERT_EQ(outs[t].size(), 2u * kRuns);
    for (uint32_t i = 0; i < kRuns; ++i) {
      float y[2] = {};
      ASSERT_EQ(qobcrt_memcpy_d2h(0, outs[t][2 * i], 8, y), rtSuccess);
      EXPECT_EQ(y[0], 2.f * t + 1) << t << " " << i;
      EXPECT_EQ(y[1], 2.f * i + 1) << t << " " << i;
      EXPECT_EQ(qobcrt_free_inout(0, outs[t][2 * i]), rtSuccess);
      EXPECT_EQ(qobcrt_free_inout(0, outs[t][2 * i + 1]), rtSuccess);
    }
  }
  expectNothingLeft();
}

}  // namespace
