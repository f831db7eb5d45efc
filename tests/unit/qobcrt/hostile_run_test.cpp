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

// An op whose output overlaps its input reads the input as it was before the op wrote anything (as a
// device-to-device copy does), for the pre-processing conversions (a copy, and a float16 conversion whose
// second element sits where the first one's result goes) and for the memory-copy gather (a second row
// read from where the first row lands).
TEST_F(HostileRun, AnOpReadsItsInputAsItWasWhenItsOutputOverlapsIt) {
  Blocks b;
  auto runOp = [&](uint32_t type, const std::vector<uint8_t>& cfg, uint64_t in, uint64_t out) {
    const uint64_t c = b.upload(QOBCRT_SIM_STREAM, cfg.data(), cfg.size());
    return runSync(runBlock(b, {{1 | kEnd, type, 0, argArray(b, 1, 1, 1, 1, 1, {c, in, out})}}));
  };
  auto preproc = [](const qobcrt_preproc_tensor& t) { return preprocBlock({t}); };

  // A copy of 32 bytes onto itself shifted by 8.
  std::vector<uint8_t> bytes(64);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  uint64_t blk = b.upload(QOBCRT_SIM_APP, bytes.data(), bytes.size());
  ASSERT_EQ(runOp(kPreprocess, preproc({QOBCRT_PREPROC_CONV_COPY, 0, 1.0f, 32, 1, 1, 32, 32}), blk, blk + 8), 0u);
  std::vector<uint8_t> want = bytes;
  std::memmove(want.data() + 8, bytes.data(), 32);
  EXPECT_EQ(readBack<uint8_t>(0, blk, 64), want);
  // The device-to-device copy of the same overlap, back where it came from.
  ASSERT_EQ(qobcrt_memcpy_d2d(0, blk + 8, 32, blk), rtSuccess);
  std::memmove(want.data(), want.data() + 8, 32);
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

// The stream, run and model calls check their device, records and ids; a stream id may be registered
// again once destroyed, and a run queued on a stream destroyed meanwhile still executes and reports.
TEST_F(HostileRun, StreamRunAndModelCallsRefuseMisuse) {
  constexpr uint32_t kNoDevice = 16, kId = 4242;
  Reports::get().install(0);
  create_stream cs{kId, 0, 0};
  get_output_register reg{};
  reg.dev_id = 1;
  reg.func_get_output = &Reports::callback;
  uint64_t addr = 0x77;
  uint32_t status = 0x77;
  multi_dsp_ops ops{};
  char text[8];
  qobcrt_model_desc d = affine_.desc("affine_other", 1);
  run_stream rs{};
  rs.dev = kNoDevice;
  const struct {
    const char* what;
    int got, want;
  } cases[] = {
      {"create on a missing device", qobcrt_create_stream(kNoDevice, &cs), rtErrInvalidDevice},
      {"create from null", qobcrt_create_stream(0, nullptr), rtErrInvalidParam},
      {"destroy of an unknown id", qobcrt_destroy_stream(0, kId + 1), rtErrStreamId},
      {"destroy on a missing device", qobcrt_destroy_stream(UINT32_MAX, kId), rtErrInvalidDevice},
      {"register for another device", qobcrt_get_output_register(0, &reg), rtErrInvalidParam},
      {"register on a missing device", qobcrt_get_output_register(kNoDevice, &reg), rtErrInvalidDevice},
      {"run on a missing device", qobcrt_run_stream(kNoDevice, &rs), rtErrInvalidDevice},
      {"run from null", qobcrt_run_stream(0, nullptr), rtErrInvalidParam},
      {"sync run on a missing device", qobcrt_run_stream_sync(kNoDevice, 0x1000000, 10, &status), rtErrInvalidDevice},
      {"sync run inside a block", qobcrt_run_stream_sync(0, 0x1000020, 10, &status), rtErrInvalidAddr},
      {"sync run above 4 GiB", qobcrt_run_stream_sync(0, (1ull << 32) + 0x1000000, 10, &status), rtErrInvalidAddr},
      {"sync run without status", qobcrt_run_stream_sync(0, 0x1000000, 10, nullptr), rtErrInvalidParam},
      {"model on a missing device", qobcrt_register_model(kNoDevice, &d, &addr), rtErrInvalidDevice},
      {"unregister on a missing device", qobcrt_unregister_model(kNoDevice, model_), rtErrInvalidDevice},
      {"unregister of no model", qobcrt_unregister_model(0, model_ + 64), rtErrModel},
      {"model address on a missing device", qobcrt_model_addr(kNoDevice, "affine_hostile", &addr),
       rtErrInvalidDevice},
      {"model address of null", qobcrt_model_addr(0, nullptr, &addr), rtErrInvalidParam},
      {"pre-process ops on a missing device", qobcrt_get_vdsp_ops(kNoDevice, "affine_hostile", &ops),
       rtErrInvalidDevice},
      {"pre-process ops into null", qobcrt_get_vdsp_ops(0, "affine_hostile", nullptr), rtErrInvalidParam},
      {"last error of a missing device", qobcrt_sim_last_error(kNoDevice, text, sizeof text), rtErrInvalidDevice},
      {"last error into nothing", qobcrt_sim_last_error(0, text, 0), rtErrInvalidParam},
      {"op delay on a missing device", qobcrt_sim_set_op_delay_us(kNoDevice, 1), rtErrInvalidDevice},
      {"model run on a missing device", qobcrt_sim_run_model(kNoDevice, model_, nullptr, nullptr, nullptr, 0),
       rtErrInvalidDevice},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_EQ(addr, 0x77u);
  EXPECT_EQ(status, 0x77u);

  // Registered, destroyed, registered again; a run queued before the second destroy still reports.
  ASSERT_EQ(qobcrt_create_stream(0, &cs), rtSuccess);
  EXPECT_EQ(qobcrt_create_stream(0, &cs), rtErrStreamId);
  ASSERT_EQ(qobcrt_destroy_stream(0, kId), rtSuccess);
  EXPECT_EQ(qobcrt_destroy_stream(0, kId), rtErrStreamId);
  ASSERT_EQ(qobcrt_create_stream(0, &cs), rtSuccess);
  Blocks b;
  const float x[4] = {1, 2, 3, 4};
  const uint64_t out0 = b.alloc(QOBCRT_SIM_APP, 16);
  const uint64_t args = argArray(b, 1, 1, 1, 1, 2, {model_, b.upload(QOBCRT_SIM_APP, x, sizeof x), out0,
                                                    b.alloc(QOBCRT_SIM_APP, 64)});
  run_stream ok{};
  ok.stream_id = kId;
  ok.data_id = 777001;
  ok.stream_addr = static_cast<uint32_t>(runBlock(b, {{5 | kEnd, kRunModel, 0x10, args}}, kId));
  ASSERT_EQ(qobcrt_sim_set_op_delay_us(0, 20000), rtSuccess);
  ASSERT_EQ(qobcrt_run_stream(0, &ok), rtSuccess);
  ASSERT_EQ(qobcrt_destroy_stream(0, kId), rtSuccess);
  EXPECT_EQ(qobcrt_run_stream(0, &ok), rtErrStreamId);
  const auto reports = Reports::get().waitRun(ok.data_id);
  qobcrt_sim_set_op_delay_us(0, 0);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].desc.context_id, 5u | kEnd);
  EXPECT_EQ(reports[0].desc.error_code, 0u);
  EXPECT_EQ(readBack<float>(0, out0, 4), (std::vector<float>{3, 5, 7, 9}));
}

// A model's run function that unregisters a node (its own, being executed) is refused instead of waiting
// for itself; the run completes and the node stays usable until it is unregistered from outside.
TEST_F(HostileRun, UnregisteringFromAModelRunIsRefused) {
  struct SelfRemoving {
    uint64_t addr = 0;
    int rc = 0x77;
    static int run(void* self, const void* const*, void* const* out, char*, size_t) {
      auto* me = static_cast<SelfRemoving*>(self);
      me->rc = qobcrt_unregister_model(0, me->addr);
      std::memset(out[0], 0x5a, 4);
      return 0;
    }
  } node;
  qobcrt_model_desc d = oneOutputModel("self_removing", &SelfRemoving::run, &node);
  ASSERT_EQ(qobcrt_register_model(0, &d, &node.addr), rtSuccess);
  Blocks b;
  const uint64_t out = b.alloc(QOBCRT_SIM_APP, 4);
  const uint64_t run = runBlock(b, {{1 | kEnd, kRunModel, 0, argArray(b, 1, 1, 1, 0, 1, {node.addr, out})}});
  uint32_t status = 0xdead;
  ASSERT_EQ(qobcrt_run_stream_sync(0, run, 5000, &status), rtSuccess);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(node.rc, rtErrOthers);
  EXPECT_EQ(readBack<uint8_t>(0, out, 4), std::vector<uint8_t>(4, 0x5a));
  uint64_t found = 0;
  EXPECT_EQ(qobcrt_model_addr(0, "self_removing", &found), rtSuccess);
  EXPECT_EQ(found, node.addr);
  EXPECT_EQ(qobcrt_unregister_model(0, node.addr), rtSuccess);
}

}  // namespace
