// The card when the host runs out of memory: this program replaces operator new so that allocations fail
// on demand, either on the card's own threads or on the calling thread.  A run the host fails under ends
// with one failure report, the device keeps working, and its accounting stays exact.
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

#include "card_builder.h"
#include "qobcrt/qobcrt_preproc.h"

namespace {

// What fails: nothing, every allocation on a card thread, or the nth allocation of the arming thread.
enum FailMode { kNothing = 0, kCardThreads = 1, kNthHere = 2 };
std::atomic<int> g_fail_mode{kNothing};
thread_local long t_nth = 0;

bool allocationFails() {
  switch (g_fail_mode.load(std::memory_order_relaxed)) {
    case kCardThreads: {
      uint32_t dev = 0;
      return qobcrt_thread_device(&dev) == rtSuccess;
    }
    case kNthHere:
      return t_nth > 0 && --t_nth == 0;
    default:
      return false;
  }
}

void* take(size_t n) {
  return allocationFails() ? nullptr : std::malloc(n != 0 ? n : 1);
}

}  // namespace

void* operator new(size_t n) {
  if (void* p = take(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return take(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return take(n); }
// Out of line: inlined, the compiler would see free() take what operator new returned.
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace cardtest;

const bool kDevices = [] {
  setenv("QOBCRT_DEVICE_COUNT", "4", 1);
  return true;
}();

// Allocations fail on the card's threads while one lives.
struct CardThreadsFail {
  CardThreadsFail() { g_fail_mode.store(kCardThreads); }
  ~CardThreadsFail() { g_fail_mode.store(kNothing); }
};

// Reports collected without allocating (the reporter thread may be failing allocations): the first one
// can be held back until released, so that the reports queue up on the card.
class Collector {
 public:
  static constexpr size_t kMax = 1024;
  static void callback(uint32_t, get_desc* desc, void* arg) {
    auto* self = static_cast<Collector*>(arg);
    std::unique_lock<std::mutex> lock(self->mu_);
    self->cv_.wait(lock, [&] { return !self->held_; });
    if (self->count_ < kMax) self->items_[self->count_++] = *desc;
    self->cv_.notify_all();
  }
  void install(uint32_t dev) {
    get_output_register reg{};
    reg.dev_id = dev;
    reg.func_arg = this;
    reg.func_get_output = &Collector::callback;
    ASSERT_EQ(qobcrt_get_output_register(dev, &reg), rtSuccess);
  }
  void hold(bool h) {
    std::lock_guard<std::mutex> lock(mu_);
    held_ = h;
    cv_.notify_all();
  }
  // Every report of data_id once its final one (end mark or error) arrived.
  std::vector<get_desc> waitRun(uint32_t data_id) {
    std::unique_lock<std::mutex> lock(mu_);
    auto final_in = [&] {
      for (size_t i = 0; i < count_; ++i)
        if (items_[i].data_id == data_id && ((items_[i].context_id & kEnd) != 0 || items_[i].error_code != 0))
          return true;
      return false;
    };
    EXPECT_TRUE(cv_.wait_for(lock, std::chrono::seconds(10), final_in)) << "run " << data_id;
    std::vector<get_desc> out;
    for (size_t i = 0; i < count_; ++i)
      if (items_[i].data_id == data_id) out.push_back(items_[i]);
    return out;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool held_ = false;
  get_desc items_[kMax] = {};
  size_t count_ = 0;
};

class HostOom : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kDevices); }
  void TearDown() override {
    g_fail_mode.store(kNothing);
    for (auto& m : models_) EXPECT_EQ(qobcrt_unregister_model(m.first, m.second), rtSuccess);
  }
  uint64_t model(uint32_t dev) {
    qobcrt_model_desc d = affine_.desc("affine_oom", 1);
    uint64_t addr = 0;
    EXPECT_EQ(qobcrt_register_model(dev, &d, &addr), rtSuccess);
    models_.push_back({dev, addr});
    return addr;
  }
  uint32_t submit(uint32_t dev, uint32_t stream, uint64_t records) {
    run_stream rs{};
    rs.dev = dev;
    rs.stream_id = stream;
    rs.data_id = next_data_id_++;
    rs.stream_addr = static_cast<uint32_t>(records);
    EXPECT_EQ(qobcrt_run_stream(dev, &rs), rtSuccess);
    return rs.data_id;
  }
  static uint64_t used(uint32_t dev) {
    uint64_t total = 0, in_use = 0;
    EXPECT_EQ(qobcrt_get_memory_info(dev, &total, &in_use), rtSuccess);
    return in_use;
  }
  static uint64_t liveBlocks(uint32_t dev) {
    const qobcrt_sim_stats s = stats(dev);
    return s.live_blocks[0] + s.live_blocks[1] + s.live_blocks[2] + s.live_blocks[3];
  }

  Affine affine_{4};
  std::vector<std::pair<uint32_t, uint64_t>> models_;
  uint32_t next_data_id_ = 7000;
};

// The first run of a device starts its threads.  Whichever allocation of that start fails, the run is
// refused with rtErrMalloc and the device is as it was: a block freed afterwards is released at once (no
// run counts as in flight), and the next attempt completes the start.
TEST_F(HostOom, AFailedStartOfTheCardThreadsRefusesTheRunAndIsRetried) {
  constexpr uint32_t kDev = 1;
  const uint64_t m = model(kDev);
  Blocks b(kDev);
  const float x[4] = {1, 2, 3, 4};
  const uint64_t in = b.upload(QOBCRT_SIM_APP, x, sizeof x);
  const uint64_t out0 = b.alloc(QOBCRT_SIM_APP, 16), out1 = b.alloc(QOBCRT_SIM_APP, 64);
  const uint64_t run = runBlock(b, {{1 | kEnd, kRunModel, 0, argArray(b, 1, 1, 1, 1, 2, {m, in, out0, out1})}});
  int refused = 0;
  for (long nth = 1; nth < 64; ++nth) {
    const uint64_t before = used(kDev);
    uint64_t scratch = 0;
    ASSERT_EQ(qobcrt_malloc_app(kDev, 4096, &scratch), rtSuccess);
    uint32_t status = 0xdead;
    t_nth = nth;
    g_fail_mode.store(kNthHere);
    const int rc = qobcrt_run_stream_sync(kDev, run, 10000, &status);
    g_fail_mode.store(kNothing);
    t_nth = 0;
    ASSERT_EQ(qobcrt_free_app(kDev, scratch), rtSuccess);
    if (rc == rtSuccess) {
      EXPECT_EQ(status, 0u);
      break;
    }
    ++refused;
    EXPECT_EQ(rc, rtErrMalloc) << "allocation " << nth;
    EXPECT_EQ(status, 0xdeadu);
    EXPECT_EQ(used(kDev), before) << "a block freed after refused run " << nth << " is still held";
  }
  EXPECT_GE(refused, 2) << "starting the card's threads allocates more than once";
  EXPECT_EQ(readBack<float>(kDev, out0, 4), (std::vector<float>{3, 5, 7, 9}));
}

// Runs whose op needs host memory that the card's threads cannot get (a table of converted tensors, the
// text of a failure) end there with one report, rtErrMalloc at that op; the same runs behave normally
// once memory is back, and nothing stays allocated.
TEST_F(HostOom, ARunTheHostFailsUnderEndsWithOneFailureReport) {
  constexpr uint32_t kDev = 2, kStream = 5;
  Collector reports;
  reports.install(kDev);
  create_stream cs{kStream, 0, 0};
  ASSERT_EQ(qobcrt_create_stream(kDev, &cs), rtSuccess);
  const uint64_t m = model(kDev);
  const uint64_t live_before = liveBlocks(kDev), used_before = used(kDev);
  {
    Blocks b(kDev);
    const float x[4] = {0.5f, 1, 1.5f, 2};
    const uint64_t in = b.upload(QOBCRT_SIM_APP, x, sizeof x);
    const uint64_t q = b.alloc(QOBCRT_SIM_APP, 64);
    const uint64_t out0 = b.alloc(QOBCRT_SIM_APP, 16), out1 = b.alloc(QOBCRT_SIM_APP, 64);
    // Op 1 quantises the input to uint8 (scale 0.5), op 2 runs the model on it (read back as floats).
    const std::vector<uint8_t> cfg = preprocBlock({{QOBCRT_PREPROC_CONV_QUANT_U8, 0, 0.5f, 4, 4, 1, 16, 64}});
    const uint64_t c = b.upload(QOBCRT_SIM_STREAM, cfg.data(), cfg.size());
    const uint64_t convert = runBlock(b, {{1, kPreprocess, 0x10, argArray(b, 1, 1, 1, 1, 1, {c, in, q})},
                                          {2 | kEnd, kRunModel, 0x10, argArray(b, 1, 1, 1, 1, 2, {m, q, out0, out1})}},
                                      kStream);
    const uint64_t unknown = runBlock(b, {{7, 777, 0, 0}, {8 | kEnd, kRunModel, 0, 0}}, kStream);

    const qobcrt_sim_stats s0 = stats(kDev);
    std::vector<get_desc> got[2];
    {
      CardThreadsFail oom;
      got[0] = reports.waitRun(submit(kDev, kStream, convert));
      got[1] = reports.waitRun(submit(kDev, kStream, unknown));
    }
    ASSERT_EQ(got[0].size(), 1u);
    EXPECT_EQ(got[0][0].context_id, 1u);
    EXPECT_EQ(got[0][0].error_code, static_cast<uint32_t>(rtErrMalloc));
    ASSERT_EQ(got[1].size(), 1u);
    EXPECT_EQ(got[1][0].context_id, 7u);
    EXPECT_EQ(got[1][0].error_code, static_cast<uint32_t>(rtErrMalloc));
    char why[128];
    ASSERT_EQ(qobcrt_sim_last_error(kDev, why, sizeof why), rtSuccess);
    EXPECT_NE(std::string(why).find("op 7: the card ran out of host memory"), std::string::npos) << why;
    const qobcrt_sim_stats s1 = stats(kDev);
    EXPECT_EQ(s1.runs_failed - s0.runs_failed, 2u);
    EXPECT_EQ(s1.reports_delivered - s0.reports_delivered, 2u);

    // With memory back: the conversion run completes (x quantised to 1..4 and read back as x, then
    // 2x + 1) and the unknown op fails as such.
    got[0] = reports.waitRun(submit(kDev, kStream, convert));
    ASSERT_EQ(got[0].size(), 2u);
    EXPECT_EQ(got[0][1].context_id, 2u | kEnd);
    EXPECT_EQ(got[0][1].error_code, 0u);
    EXPECT_EQ(readBack<float>(kDev, out0, 4), (std::vector<float>{2, 3, 4, 5}));
    got[1] = reports.waitRun(submit(kDev, kStream, unknown));
    ASSERT_EQ(got[1].size(), 1u);
    EXPECT_EQ(got[1][0].error_code, static_cast<uint32_t>(rtErrRunRecord));
  }
  EXPECT_EQ(liveBlocks(kDev), live_before);
  EXPECT_EQ(used(kDev), used_before);
  EXPECT_EQ(qobcrt_destroy_stream(kDev, kStream), rtSuccess);
}

// Reports queue up while the completion function is held; when their ring is full and cannot grow, the
// run ends at the op whose report found no room, and that failure report still goes out once the
// reporter drains the ring.  Every report before it arrives, and the next run has room again.
TEST_F(HostOom, AFullReportRingThatCannotGrowEndsTheRunWithItsLastReport) {
  constexpr uint32_t kDev = 3, kStream = 6, kOps = 200;
  Collector reports;
  reports.install(kDev);
  create_stream cs{kStream, 0, 0};
  ASSERT_EQ(qobcrt_create_stream(kDev, &cs), rtSuccess);
  const uint64_t m = model(kDev);
  Blocks b(kDev);
  const float x[4] = {1, 2, 3, 4};
  const uint64_t in = b.upload(QOBCRT_SIM_APP, x, sizeof x);
  const uint64_t out0 = b.alloc(QOBCRT_SIM_APP, 16), out1 = b.alloc(QOBCRT_SIM_APP, 64);
  const uint64_t args = argArray(b, 1, 1, 1, 1, 2, {m, in, out0, out1});
  auto ops = [&](uint32_t flag) {
    std::vector<Rec> recs;
    for (uint32_t i = 1; i <= kOps; ++i) recs.push_back({i == kOps ? i | kEnd : i, kRunModel, flag, args});
    return runBlock(b, recs, kStream);
  };
  const uint64_t quiet = ops(0), loud = ops(0x10);
  // A run of the same ops that reports only its end: the executor's own tables reach their size.
  ASSERT_EQ(reports.waitRun(submit(kDev, kStream, quiet)).size(), 1u);

  const qobcrt_sim_stats s0 = stats(kDev);
  std::vector<get_desc> got;
  {
    CardThreadsFail oom;
    reports.hold(true);
    const uint32_t id = submit(kDev, kStream, loud);
    for (int i = 0; i < 2000 && stats(kDev).runs_failed == s0.runs_failed; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    reports.hold(false);
    got = reports.waitRun(id);
  }
  ASSERT_GE(got.size(), 2u);
  const size_t before_failure = got.size() - 1;
  EXPECT_GE(before_failure, 64u);   // the ring's size, plus the one report the reporter may have held
  EXPECT_LE(before_failure, 65u);
  for (size_t i = 0; i < before_failure; ++i) {
    EXPECT_EQ(got[i].context_id, i + 1);
    EXPECT_EQ(got[i].error_code, 0u);
  }
  EXPECT_EQ(got.back().context_id, before_failure + 1);
  EXPECT_EQ(got.back().error_code, static_cast<uint32_t>(rtErrMalloc));
  EXPECT_EQ(stats(kDev).runs_failed - s0.runs_failed, 1u);

  reports.hold(true);
  const uint32_t id = submit(kDev, kStream, loud);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  reports.hold(false);
  got = reports.waitRun(id);
  ASSERT_EQ(got.size(), kOps);
  EXPECT_EQ(got.back().context_id, kOps | kEnd);
  EXPECT_EQ(got.back().error_code, 0u);
  EXPECT_EQ(qobcrt_destroy_stream(kDev, kStream), rtSuccess);
}

}  // namespace
