// The card's memory-copy op (gathering plain outputs from core tensors) and the generic pre-processing op,
// each configured by blocks written byte by byte in card memory.
#include <cmath>

#include "card_builder.h"
#include "qobcrt/qobcrt_preproc.h"

namespace {

using namespace cardtest;

struct Core {
  std::vector<int32_t> real, align;
  uint64_t offset;
};

// One tensor_info_t: real shape, aligned shape, byte offset of the core tensor.
void tensorInfo(std::vector<uint8_t>& buf, const Core& c) {
  for (int32_t v : c.real) put(buf, v);
  for (int32_t v : c.align) put(buf, v);
  put(buf, c.offset);
}

// Appends one 376-byte tensor copy record to a configuration; a fresh configuration starts with its count.
void copyRecord(std::vector<uint8_t>& buf, const std::vector<Core>& cores, std::vector<int32_t> out, uint8_t concat,
                uint8_t element_byte, uint8_t type, int32_t count = 1) {
  if (buf.empty()) {
    put(buf, count);
    put(buf, uint32_t{0});
  }
  const size_t at = buf.size();
  uint8_t mask = 0;
  for (size_t j = 0; j < 8; ++j) {
    tensorInfo(buf, j < cores.size() ? cores[j] : Core{{0, 0, 0, 0}, {0, 0, 0, 0}, 0});
    if (j < cores.size()) mask |= static_cast<uint8_t>(1u << j);
  }
  tensorInfo(buf, {out, out, 0});
  for (uint8_t v : {concat, mask, element_byte, type}) put(buf, v);
  buf.resize(buf.size() + 12, 0);   // quantisation left off
  ASSERT_EQ(buf.size() - at, 376u);
}

class CardOps : public ::testing::Test {
 protected:
  void SetUp() override {
    Reports::get().install(0);
    create_stream cs{kStream, 0, 0};
    const int rc = qobcrt_create_stream(0, &cs);
    ASSERT_TRUE(rc == rtSuccess || rc == rtErrStreamId);
  }
  uint32_t submit(uint64_t run) {
    static uint32_t next = 500;
    run_stream rs{};
    rs.stream_id = kStream;
    rs.data_id = ++next;
    rs.stream_addr = static_cast<uint32_t>(run);
    EXPECT_EQ(qobcrt_run_stream(0, &rs), rtSuccess);
    return rs.data_id;
  }
  uint32_t runToEnd(uint32_t type, uint64_t args) {
    const auto reports = Reports::get().waitRun(submit(runBlock(b_, {{1 | kEnd, type, 1, args}}, kStream)));
    return reports.empty() ? 0xffffffffu : reports.back().desc.error_code;
  }
  // One op of one loop and one position: the configuration block, then n inputs and n outputs.
  uint32_t runOp(uint32_t type, uint64_t cfg, std::vector<uint64_t> io, uint32_t n) {
    io.insert(io.begin(), cfg);
    return runToEnd(type, argArray(b_, 1, 1, 1, n, n, io));
  }
  uint32_t copy(const std::vector<uint8_t>& cfg, const std::vector<uint64_t>& io, uint32_t n = 1) {
    return runOp(kMemCopy, b_.upload(QOBCRT_SIM_STREAM, cfg.data(), cfg.size()), io, n);
  }
  static constexpr uint32_t kStream = 9000;
  Blocks b_;
};

// [1,1000] float16 in one [1,1024] core written by the host: 16-bit core elements, cut at the real size.
// (Channel splits over padded planes: the segmenter through the library, stream_pipeline_test.)
TEST_F(CardOps, MemoryCopyCutsHalfElementsAtTheRealSize) {
  std::vector<uint16_t> halfs(1024);
  for (int i = 0; i < 1024; ++i) halfs[i] = static_cast<uint16_t>(i * 7);
  std::vector<uint8_t> cfg;
  copyRecord(cfg, {{{1, 1, 1, 1000}, {1, 1, 1, 1024}, 0}}, {1, 1, 1, 1000}, 3, 2, 1);
  const std::vector<uint8_t> guard(2048, 0xab);
  const uint64_t out = b_.upload(QOBCRT_SIM_APP, guard.data(), 2048);
  ASSERT_EQ(copy(cfg, {b_.upload(QOBCRT_SIM_INOUT, halfs.data(), 2048), out}), 0u);
  const auto cut = readBack<uint8_t>(0, out, 2048);
  EXPECT_EQ(0, std::memcmp(cut.data(), halfs.data(), 2000));
  EXPECT_EQ(std::vector<uint8_t>(cut.begin() + 2000, cut.end()), std::vector<uint8_t>(48, 0xab))
      << "bytes past the real output were written";
}

TEST_F(CardOps, MemoryCopyWithSeveralLoopsAndSplitFlatCores) {
  // [1,1000] float32 over two [1,512] cores 4096 bytes apart: the first wholly real (its real shape left
  // zero), the second holding 488 real elements.
  std::vector<uint8_t> cfg;
  copyRecord(cfg, {{{0, 0, 0, 0}, {1, 1, 1, 512}, 0}, {{1, 1, 1, 488}, {1, 1, 1, 512}, 4096}}, {1, 1, 1, 1000}, 3, 4,
             1);
  const uint64_t cfg_addr = b_.upload(QOBCRT_SIM_STREAM, cfg.data(), cfg.size());
  uint64_t in[2], out[2];
  for (int l = 0; l < 2; ++l) {
    std::vector<float> v(1536);
    for (int i = 0; i < 1536; ++i) v[i] = float(l * 10000 + i);
    in[l] = b_.upload(QOBCRT_SIM_INOUT, v.data(), v.size() * 4);
    out[l] = b_.alloc(QOBCRT_SIM_APP, 4000);
  }
  // Two loops with one configuration entry per loop (the header's configuration count equals L).
  ASSERT_EQ(runToEnd(kMemCopy, argArray(b_, 2, 1, 2, 1, 1, {cfg_addr, cfg_addr, in[0], out[0], in[1], out[1]})), 0u);
  for (int l = 0; l < 2; ++l) {
    const auto got = readBack<float>(0, out[l], 1000);
    int wrong = 0;
    for (int i = 0; i < 1000; ++i) wrong += got[i] != float(l * 10000 + (i < 512 ? i : i + 512));
    EXPECT_EQ(wrong, 0) << "loop " << l;
  }

  // Refused: cores reaching past the input block, another number of outputs than the op has, an output
  // block too small for the plain tensor.
  std::vector<uint8_t> far;
  copyRecord(far, {{{1, 1, 1, 1000}, {1, 1, 1, 1024}, 4096}}, {1, 1, 1, 1000}, 3, 4, 1);
  EXPECT_EQ(copy(far, {in[0], out[0]}), static_cast<uint32_t>(rtErrOutOfBounds));
  EXPECT_EQ(copy(cfg, {in[0], in[1], out[0], out[1]}, 2), static_cast<uint32_t>(rtErrRunRecord));
  EXPECT_EQ(copy(cfg, {in[0], b_.alloc(QOBCRT_SIM_APP, 3996)}), static_cast<uint32_t>(rtErrOutOfBounds));
}

// A float32 whose high half is a bfloat16 value, with a low half that a correct gather never copies.
uint32_t wideSlot(uint16_t bf) { return (uint32_t{bf} << 16) | 0x5a5au; }

// Model node that copies n floats from its input to its output.  Registered on device 0 with the given
// real output size (n * 4 unless the output is narrower than its core); *addr receives its address.
struct Widen {
  uint32_t n;
  static int run(void* self, const void* const* in, void* const* out, char*, size_t) {
    std::memcpy(out[0], in[0], static_cast<Widen*>(self)->n * 4);
    return 0;
  }
  void add(const char* name, uint64_t* addr, uint64_t output_bytes = 0) {
    qobcrt_model_desc d{};
    d.name = name;
    d.batch_size = d.num_inputs = d.num_outputs = 1;
    d.input_bytes[0] = d.align_output_bytes[0] = uint64_t{n} * 4;
    d.output_bytes[0] = output_bytes != 0 ? output_bytes : uint64_t{n} * 4;
    d.run = &Widen::run;
    d.self = this;
    ASSERT_EQ(qobcrt_register_model(0, &d, addr), rtSuccess);
  }
};

TEST_F(CardOps, MemoryCopyReadsBfloatElementsFromThirtyTwoBitCoreSlots) {
  // Four-dimensional: [1,3,5,6] bfloat16 over two [1,2,8,8] cores of 32-bit slots, 128 x 4 bytes apart.
  std::vector<uint32_t> cores4(2 * 2 * 8 * 8);
  for (size_t i = 0; i < cores4.size(); ++i) cores4[i] = wideSlot(static_cast<uint16_t>(0x3f00 + i));
  std::vector<uint8_t> cfg4;
  copyRecord(cfg4, {{{1, 2, 5, 6}, {1, 2, 8, 8}, 0}, {{1, 1, 5, 6}, {1, 2, 8, 8}, 512}}, {1, 3, 5, 6}, 1, 2, 0);
  const uint64_t out4 = b_.alloc(QOBCRT_SIM_APP, 3 * 5 * 6 * 2);
  ASSERT_EQ(copy(cfg4, {b_.upload(QOBCRT_SIM_INOUT, cores4.data(), cores4.size() * 4), out4}), 0u);
  const auto got4 = readBack<uint16_t>(0, out4, 3 * 5 * 6);
  int wrong = 0;
  for (int c = 0; c < 3; ++c)
    for (int h = 0; h < 5; ++h)
      for (int w = 0; w < 6; ++w) wrong += got4[(c * 5 + h) * 6 + w] != uint16_t(0x3f00 + (c * 8 + h) * 8 + w);
  EXPECT_EQ(wrong, 0);
  // The same cores in a block that holds them as 2-byte elements but not as 32-bit slots.
  EXPECT_EQ(copy(cfg4, {b_.upload(QOBCRT_SIM_INOUT, cores4.data(), 1000), out4}),
            static_cast<uint32_t>(rtErrOutOfBounds));

  // Flat: [1,1000] bfloat16 over two [1,512] cores 2048 bytes apart; the record gives the first core a
  // real extent of 1000 (real bytes measured against 32-bit core bytes) and the second none.
  std::vector<uint32_t> flat(1024);
  for (size_t i = 0; i < flat.size(); ++i) flat[i] = wideSlot(static_cast<uint16_t>(i * 3));
  std::vector<uint8_t> cfg2;
  copyRecord(cfg2, {{{1, 1, 1, 1000}, {1, 1, 1, 512}, 0}, {{0, 0, 0, 0}, {1, 1, 1, 512}, 2048}}, {1, 1, 1, 1000}, 3,
             2, 1);
  const std::vector<uint8_t> guard(2048, 0xab);
  const uint64_t out2 = b_.upload(QOBCRT_SIM_APP, guard.data(), guard.size());
  ASSERT_EQ(copy(cfg2, {b_.upload(QOBCRT_SIM_INOUT, flat.data(), flat.size() * 4), out2}), 0u);
  const auto got2 = readBack<uint16_t>(0, out2, 1024);
  wrong = 0;
  for (int i = 0; i < 1000; ++i) wrong += got2[i] != uint16_t(i * 3);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(got2[1000], 0xabab) << "bytes past the real output were written";

  // One core: only the model that wrote the input in this run tells its 32-bit slots.
  Widen widen{1024};
  uint64_t model = 0;
  ASSERT_NO_FATAL_FAILURE(widen.add("widen", &model, 2048));
  std::vector<float> x(1024);
  for (size_t i = 0; i < x.size(); ++i) x[i] = float(i) - 300.5f;
  const uint64_t core = b_.alloc(QOBCRT_SIM_INOUT, 4096), plain = b_.alloc(QOBCRT_SIM_APP, 2000);
  std::vector<uint8_t> cfg1;
  copyRecord(cfg1, {{{1, 1, 1, 1000}, {1, 1, 1, 1024}, 0}}, {1, 1, 1, 1000}, 3, 2, 1);
  const uint64_t run_args = argArray(b_, 1, 1, 1, 1, 1, {model, b_.upload(QOBCRT_SIM_APP, x.data(), 4096), core});
  const uint64_t copy_args =
      argArray(b_, 1, 1, 1, 1, 1, {b_.upload(QOBCRT_SIM_STREAM, cfg1.data(), cfg1.size()), core, plain});
  const auto reports = Reports::get().waitRun(
      submit(runBlock(b_, {{1, kRunModel, 1, run_args}, {2 | kEnd, kMemCopy, 1, copy_args}}, kStream)));
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().desc.error_code, 0u);
  const auto got1 = readBack<uint16_t>(0, plain, 1000);
  wrong = 0;
  for (int i = 0; i < 1000; ++i) {
    uint32_t bits;
    std::memcpy(&bits, &x[i], 4);
    wrong += got1[i] != uint16_t(bits >> 16);
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(qobcrt_unregister_model(0, model), rtSuccess);
}

TEST_F(CardOps, PreprocessingOpConvertsEachTensorPerItsBlock) {
  const std::vector<float> qin = {2.5f, 300.f, -1.f, 0.74f, 0.75f, NAN};
  const std::vector<float> fin = {1.f, -2.f, 65504.f, 1e6f};
  const std::vector<uint8_t> cin = {9, 8, 7, 6, 5};
  std::vector<qobcrt_preproc_tensor> t(3);
  t[0] = {QOBCRT_PREPROC_CONV_QUANT_U8, 1, 0.5f, 6, 4, 1, 24, 6};
  t[1] = {QOBCRT_PREPROC_CONV_F16, 3, 1.f, 4, 4, 2, 16, 8};
  t[2] = {QOBCRT_PREPROC_CONV_COPY, 0, 1.f, 5, 1, 1, 5, 8};
  const auto block = preprocBlock(t);
  const uint64_t cfg = b_.upload(QOBCRT_SIM_STREAM, block.data(), block.size());
  const std::vector<uint8_t> fill(16, 0xab);
  uint64_t o[3];
  for (uint64_t& a : o) a = b_.upload(QOBCRT_SIM_DDR_SHARE, fill.data(), 16);
  const uint64_t o0 = o[0], o1 = o[1], o2 = o[2];
  const uint64_t i0 = b_.upload(QOBCRT_SIM_APP, qin.data(), 24), i1 = b_.upload(QOBCRT_SIM_APP, fin.data(), 16),
                 i2 = b_.upload(QOBCRT_SIM_APP, cin.data(), 5);
  ASSERT_EQ(runOp(kPreprocess, cfg, {i0, i1, i2, o0, o1, o2}, 3), 0u);
  EXPECT_EQ(readBack<uint8_t>(0, o0, 8), (std::vector<uint8_t>{5, 255, 0, 1, 2, 0, 0xab, 0xab}));
  EXPECT_EQ(readBack<uint16_t>(0, o1, 5), (std::vector<uint16_t>{0x3C00, 0xC000, 0x7BFF, 0x7C00, 0xabab}));
  EXPECT_EQ(readBack<uint8_t>(0, o2, 6), (std::vector<uint8_t>{9, 8, 7, 6, 5, 0xab}));

  // Refused: a bad magic, a tensor count other than the op's inputs, a truncated block, a short output.
  auto bad = block;
  bad[0] ^= 1;
  const uint32_t run_record = rtErrRunRecord, bounds = rtErrOutOfBounds;
  EXPECT_EQ(runOp(kPreprocess, b_.upload(QOBCRT_SIM_STREAM, bad.data(), bad.size()), {i0, i1, i2, o0, o1, o2}, 3),
            run_record);
  EXPECT_EQ(runOp(kPreprocess, cfg, {i0, i1, o0, o1}, 2), run_record);
  EXPECT_EQ(runOp(kPreprocess, b_.upload(QOBCRT_SIM_STREAM, block.data(), block.size() - 32),
                  {i0, i1, i2, o0, o1, o2}, 3),
            run_record);
  EXPECT_EQ(runOp(kPreprocess, cfg, {i0, i1, i2, b_.alloc(QOBCRT_SIM_DDR_SHARE, 4), o1, o2}, 3), bounds);
}

// Pre-processing op -> run-model op in one run: the model reads a binary16 input back widened exactly; a
// converted tensor whose element count differs from the model input fails the run-model op.  (A uint8 input
// read back as q x scale and a copy read as it stands: every normalised run of the demo models, bit-exact.)
TEST_F(CardOps, RunModelWidensInputsConvertedInTheSameRun) {
  Widen echo{4};
  uint64_t model = 0;
  ASSERT_NO_FATAL_FAILURE(echo.add("echo", &model));
  const std::vector<float> x = {2.5f, 300.f, -1.f, 0.74f};
  const uint64_t in = b_.upload(QOBCRT_SIM_APP, x.data(), 16);
  struct Case {
    qobcrt_preproc_tensor t;
    uint32_t code;
    std::vector<float> seen;
  };
  const Case cases[] = {
      {{QOBCRT_PREPROC_CONV_F16, 3, 1.f, 4, 4, 2, 16, 16}, 0, {2.5f, 300.f, -1.f, 0.740234375f}},
      {{QOBCRT_PREPROC_CONV_QUANT_U8, 1, 0.5f, 3, 4, 1, 12, 16}, rtErrRunRecord, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.t.conversion);
    const auto block = preprocBlock({c.t});
    const uint64_t mid = b_.alloc(QOBCRT_SIM_INOUT, 16), out = b_.alloc(QOBCRT_SIM_APP, 16);
    const uint64_t pre_args =
        argArray(b_, 1, 1, 1, 1, 1, {b_.upload(QOBCRT_SIM_STREAM, block.data(), block.size()), in, mid});
    const uint64_t run_args = argArray(b_, 1, 1, 1, 1, 1, {model, mid, out});
    const auto reports = Reports::get().waitRun(
        submit(runBlock(b_, {{1, kPreprocess, 0, pre_args}, {2 | kEnd, kRunModel, 0, run_args}}, kStream)));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().desc.error_code, c.code);
    if (c.code == 0) {
      EXPECT_EQ(readBack<float>(0, out, 4), c.seen);
    }
  }
  EXPECT_EQ(qobcrt_unregister_model(0, model), rtSuccess);
}


// A valid run of three ops (pre-processing -> run-model -> memory-copy) whose blocks are then damaged at
// random, one block at a time: every run ends with success or a runtime code of the card, never a crash,
// a hang or a write outside the blocks (the sanitizer builds run this too), and no block is left behind.
TEST_F(CardOps, DamagedRunsFailCleanly) {
  Widen echo{4};
  uint64_t model = 0;
  ASSERT_NO_FATAL_FAILURE(echo.add("echo4", &model));
  const qobltest::LiveBlocks before = qobltest::liveBlocks();
  {
    Blocks b;
    const std::vector<float> x = {1.f, 2.f, 3.f, 4.f};
    const uint64_t in = b.upload(QOBCRT_SIM_APP, x.data(), 16);
    const uint64_t mid = b.alloc(QOBCRT_SIM_INOUT, 16), core = b.alloc(QOBCRT_SIM_INOUT, 16),
                   out = b.alloc(QOBCRT_SIM_APP, 16);
    std::vector<std::vector<uint8_t>> bytes(2);
    bytes[0] = preprocBlock({{QOBCRT_PREPROC_CONV_QUANT_U8, 1, 0.5f, 4, 4, 1, 16, 16}});
    copyRecord(bytes[1], {{{1, 1, 1, 4}, {1, 1, 1, 4}, 0}}, {1, 1, 1, 4}, 3, 4, 1);
    const uint64_t pre_cfg = b.upload(QOBCRT_SIM_STREAM, bytes[0].data(), bytes[0].size());
    const uint64_t copy_cfg = b.upload(QOBCRT_SIM_STREAM, bytes[1].data(), bytes[1].size());
    const uint64_t args[3] = {argArray(b, 1, 1, 1, 1, 1, {pre_cfg, in, mid}),
                              argArray(b, 1, 1, 1, 1, 1, {model, mid, core}),
                              argArray(b, 1, 1, 1, 1, 1, {copy_cfg, core, out})};
    const uint64_t run =
        runBlock(b, {{1, kPreprocess, 0, args[0]}, {2, kRunModel, 0, args[1]}, {3 | kEnd, kMemCopy, 0, args[2]}}, kStream);
    // Every block of the run, with its bytes as first written.
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> blocks = {{pre_cfg, bytes[0]}, {copy_cfg, bytes[1]}};
    for (uint64_t a : {args[0], args[1], args[2], run}) blocks.push_back({a, readBack<uint8_t>(0, a, a == run ? 192 : 48)});
    uint32_t status = 1;
    ASSERT_EQ(qobcrt_run_stream_sync(0, run, 5000, &status), rtSuccess);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(readBack<float>(0, out, 4), (std::vector<float>{1.f, 2.f, 3.f, 4.f}));

    uint32_t seed = 12345, failed = 0;
    auto next = [&seed] {
      seed ^= seed << 13;
      seed ^= seed >> 17;
      seed ^= seed << 5;
      return seed;
    };
    const uint8_t interesting[] = {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x3f, 0x40, 0x7f, 0x80, 0xfe, 0xff};
    for (int round = 0; round < 1500; ++round) {
      auto& blk = blocks[next() % blocks.size()];
      std::vector<uint8_t> damaged = blk.second;
      for (uint32_t k = 1 + next() % 4; k > 0; --k)
        damaged[next() % damaged.size()] = (next() & 1) ? interesting[next() % sizeof interesting] : uint8_t(next());
      ASSERT_EQ(qobcrt_memcpy(0, damaged.data(), damaged.size(), blk.first, kHost2Ddr), rtSuccess);
      status = 1;
      ASSERT_EQ(qobcrt_run_stream_sync(0, run, 5000, &status), rtSuccess) << "round " << round;
      ASSERT_TRUE(status == 0 || (status >= rtErrMalloc && status <= rtErrOthers && status != rtErrTimeout))
          << "round " << round << ": status " << status;
      failed += status != 0;
      ASSERT_EQ(qobcrt_memcpy(0, blk.second.data(), blk.second.size(), blk.first, kHost2Ddr), rtSuccess);
    }
    EXPECT_GT(failed, 500u);   // the damage really reached the card
  }
  EXPECT_EQ(before, qobltest::liveBlocks());
  EXPECT_EQ(qobcrt_unregister_model(0, model), rtSuccess);
}

}  // namespace
