// Runs on the simulated card: records and argument arrays laid out in card memory by hand, executed by
// the engine thread, reported on the reporter thread.
#include <atomic>
#include <cstdlib>

#include "card_builder.h"

namespace {

using namespace cardtest;

const bool kTwoDevices = [] {
  setenv("QOBCRT_DEVICE_COUNT", "2", 1);
  return true;
}();

std::atomic<uint32_t> g_data_id{1000};
std::atomic<uint32_t> g_stream_id{1};

class CardRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kTwoDevices);
    Reports::get().install(0);
    stream_ = g_stream_id++;
    create_stream cs{stream_, 0, 0};
    ASSERT_EQ(qobcrt_create_stream(0, &cs), rtSuccess);
    qobcrt_model_desc d = affine_.desc("affine", 2);
    ASSERT_EQ(qobcrt_register_model(0, &d, &model_), rtSuccess);
  }
  void TearDown() override {
    qobcrt_sim_clear_faults();
    qobcrt_sim_set_op_delay_us(0, 0);
    EXPECT_EQ(qobcrt_unregister_model(0, model_), rtSuccess);
    EXPECT_EQ(qobcrt_destroy_stream(0, stream_), rtSuccess);
  }
  uint32_t submit(uint64_t stream_addr) {
    run_stream rs{};
    rs.dev = 0;
    rs.stream_id = stream_;
    rs.data_id = g_data_id++;
    rs.stream_addr = static_cast<uint32_t>(stream_addr);
    EXPECT_EQ(qobcrt_run_stream(0, &rs), rtSuccess);
    return rs.data_id;
  }
  // A one-loop, one-position run-model argument array over the affine model.
  uint64_t affineArgs(Blocks& b, uint64_t in, uint64_t out0, uint64_t out1) {
    return argArray(b, 1, 1, 1, 1, 2, {model_, in, out0, out1});
  }

  Affine affine_{4};
  uint64_t model_ = 0;
  uint32_t stream_ = 0;
};

// Runs that walk loops and batch positions, chain ops and report only flagged ops are checked with the
// models' reference outputs through the library (stream_pipeline_test at cache numbers 1 and 4, the fault
// sweep); the card-side op times through qobl-run's trace (qobl_run_test); blocks freed while queued and
// several submitting threads in run_path_test.  Here what only the card's own interface reaches.

// Each failing run is reported with its code, and a synchronous run gives the same code as its status
// without reporting anything.  A failing kernel's code and text reach the library (parallel_model_test), a
// run of an unregistered node fails below (UnregisteringWaitsForTheRunExecutingTheNode).
TEST_F(CardRun, MalformedRunsFailWithTheirCodesAsyncAndSync) {
  Blocks b;
  const float x[4] = {1, 2, 3, 4};
  const uint64_t in = b.upload(QOBCRT_SIM_APP, x, sizeof x);
  const uint64_t out0 = b.alloc(QOBCRT_SIM_APP, 16), out1 = b.alloc(QOBCRT_SIM_APP, 64);
  const uint64_t good = affineArgs(b, in, out0, out1);
  Blocks gone_blocks;
  const uint64_t dead_args = affineArgs(gone_blocks, in, out0, out1);
  gone_blocks.freeAll();

  struct Case {
    const char* what;
    std::vector<Rec> recs;
    uint32_t want_uid;
    uint32_t want_code;
  };
  const std::vector<Case> cases = {
      {"bad record separator", {{31, kRunModel, 1, good}, {32 | kEnd, kRunModel, 1, good, "#$%X"}}, 32 | kEnd,
       rtErrRunRecord},
      {"argument array freed", {{33 | kEnd, kRunModel, 1, dead_args}}, 33 | kEnd, rtErrInvalidAddr},
      {"argument array truncated",
       {{34 | kEnd, kRunModel, 1, argArray(b, 1, 1, 1, 1, 2, {model_, in, out0, out1}, "*$%!", 1)}}, 34 | kEnd,
       rtErrOutOfBounds},
      {"no end mark", {{36, kRunModel, 0x11, good}}, 36, rtErrRunRecord},
      {"unknown type id", {{41, 777, 1, good}, {42 | kEnd, kRunModel, 1, good}}, 41, rtErrRunRecord},
      {"zero loop count", {{44 | kEnd, kRunModel, 1, argArray(b, 0, 1, 1, 1, 2, {model_, in, out0, out1})}}, 44 | kEnd,
       rtErrRunRecord},
  };
  for (const Case& c : cases) {
    const qobcrt_sim_stats before = stats();
    const uint64_t run = runBlock(b, c.recs, stream_);
    const auto reports = Reports::get().waitRun(submit(run));
    ASSERT_FALSE(reports.empty()) << c.what;
    EXPECT_EQ(reports.back().desc.context_id, c.want_uid) << c.what;
    EXPECT_EQ(reports.back().desc.error_code, c.want_code) << c.what;
    for (size_t i = 0; i + 1 < reports.size(); ++i) EXPECT_EQ(reports[i].desc.error_code, 0u) << c.what;
    const uint64_t delivered = stats().reports_delivered;
    uint32_t status = 12345;
    EXPECT_EQ(qobcrt_run_stream_sync(0, run, 5000, &status), rtSuccess) << c.what;
    EXPECT_EQ(status, c.want_code) << c.what;
    EXPECT_EQ(stats().reports_delivered, delivered) << c.what;
    EXPECT_EQ(stats().runs_failed - before.runs_failed, 2u) << c.what;
  }
}

TEST_F(CardRun, SubmissionChecksRefuseARunAndQueueNothing) {
  Blocks b;
  const uint64_t run = runBlock(b, {{50, kRunModel, 1, 0}, {51 | kEnd, kRunModel, 1, 0}}, stream_);
  const uint64_t odd = b.alloc(QOBCRT_SIM_STREAM, 100);
  const qobcrt_sim_stats before = stats();
  run_stream rs{};
  rs.stream_id = stream_;
  rs.stream_addr = static_cast<uint32_t>(run);
  struct Case {
    const char* what;
    run_stream rec;
    uint32_t dev;
    int want;
  };
  auto with = [&](auto change) {
    run_stream r = rs;
    change(r);
    return r;
  };
  const Case cases[] = {
      {"unregistered stream", with([](run_stream& r) { r.stream_id = 999999; }), 0, rtErrStreamId},
      {"inside a block", with([&](run_stream& r) { r.stream_addr += 64; }), 0, rtErrInvalidAddr},
      {"size not a multiple of 64", with([&](run_stream& r) { r.stream_addr = static_cast<uint32_t>(odd); }), 0,
       rtErrRunRecord},
      {"record of another device", with([](run_stream& r) { r.dev = 1; }), 0, rtErrInvalidParam},
      {"missing device", rs, 2, rtErrInvalidDevice},
  };
  for (const Case& c : cases) {
    run_stream r = c.rec;
    EXPECT_EQ(qobcrt_run_stream(c.dev, &r), c.want) << c.what;
  }
  // Device 1 has no completion function installed.
  create_stream cs{stream_, 0, 0};
  ASSERT_EQ(qobcrt_create_stream(1, &cs), rtSuccess);
  EXPECT_EQ(qobcrt_create_stream(1, &cs), rtErrStreamId);
  Blocks b1(1);
  run_stream r1 = rs;
  r1.dev = 1;
  r1.stream_addr = static_cast<uint32_t>(runBlock(b1, {{52 | kEnd, kRunModel, 1, 0}}, stream_));
  EXPECT_EQ(qobcrt_run_stream(1, &r1), rtErrNotRegistered);
  uint32_t status = 0;
  EXPECT_EQ(qobcrt_run_stream_sync(0, odd + 64, 100, &status), rtErrInvalidAddr);
  EXPECT_EQ(qobcrt_destroy_stream(1, stream_), rtSuccess);
  EXPECT_EQ(stats().runs_submitted, before.runs_submitted);
  EXPECT_EQ(stats(1).runs_submitted, 0u);
}

// Inout blocks sized by a loaded model are checked by run_path_test (a 4-byte inout block read back as its
// 64-byte core) and, through the library, by the segmenter's stream pipeline test; a model's pre-process
// records as the card hands them out by static_model_test.  Here what the card checks of a descriptor.
TEST_F(CardRun, ModelDescriptorsAreCheckedAndModelsBelongToTheirDevice) {
  std::vector<uint8_t> ops(72, 0);   // two pre-process records of 32 and 40 bytes
  const uint32_t len0 = 32, len1 = 40;
  std::memcpy(&ops[4], &len0, 4);
  std::memcpy(&ops[32 + 4], &len1, 4);
  Affine other{2};
  qobcrt_model_desc d = other.desc("classifier", 1);
  d.vdsp_ops = ops.data();
  d.vdsp_ops_size = ops.size();
  d.vdsp_ops_num = 2;
  uint64_t addr = 0, found = 0;
  for (int which = 0; which < 3; ++which) {
    qobcrt_model_desc bad = d;
    if (which == 0) bad.vdsp_ops_num = 3;
    if (which == 1) bad.vdsp_ops_size = 70;
    if (which == 2) bad.align_output_bytes[0] = 4;  // less than the real 8 bytes
    EXPECT_EQ(qobcrt_register_model(0, &bad, &addr), rtErrInvalidParam) << which;
  }
  ASSERT_EQ(qobcrt_register_model(0, &d, &addr), rtSuccess);
  ASSERT_EQ(qobcrt_model_addr(0, "classifier", &found), rtSuccess);
  EXPECT_EQ(found, addr);
  EXPECT_EQ(qobcrt_model_addr(1, "classifier", &found), rtErrModel);
  ASSERT_EQ(qobcrt_unregister_model(0, addr), rtSuccess);
  EXPECT_EQ(qobcrt_unregister_model(0, addr), rtErrModel);
  EXPECT_EQ(qobcrt_model_addr(0, "classifier", &found), rtErrModel);
}

// A model node whose kernel takes a while, to race unregistering against a run.
struct Slow {
  std::atomic<bool> entered{false}, finished{false};
  static int run(void* self, const void* const*, void* const* out, char*, size_t) {
    Slow* s = static_cast<Slow*>(self);
    s->entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    std::memset(out[0], 1, 4);
    s->finished = true;
    return 0;
  }
};

TEST_F(CardRun, UnregisteringWaitsForTheRunExecutingTheNode) {
  Slow slow;
  qobcrt_model_desc d = oneOutputModel("slow", &Slow::run, &slow);
  uint64_t addr = 0;
  ASSERT_EQ(qobcrt_register_model(0, &d, &addr), rtSuccess);
  Blocks b;
  const uint64_t args = argArray(b, 1, 1, 1, 0, 1, {addr, b.alloc(QOBCRT_SIM_APP, 4)});
  const uint64_t run = runBlock(b, {{71 | kEnd, kRunModel, 1, args}}, stream_);
  const uint32_t data_id = submit(run);
  while (!slow.entered) std::this_thread::yield();
  ASSERT_EQ(qobcrt_unregister_model(0, addr), rtSuccess);
  EXPECT_TRUE(slow.finished) << "unregistering returned while the node was running";
  EXPECT_EQ(Reports::get().waitRun(data_id).back().desc.error_code, 0u);
  EXPECT_EQ(Reports::get().waitRun(submit(run)).back().desc.error_code, static_cast<uint32_t>(rtErrModel));
}

}  // namespace
