// Parameter blobs, the executor, core layouts and pre-process records.
#include <gtest/gtest.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/registry.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "card/hw_config.h"
#include "graph/executor.h"
#include "graph/graph_json.h"
#include "graph/params.h"
#include "test_helpers.h"

using namespace tvm::runtime;
using namespace tvmtest;

// (Blobs of every element type read back as saved: test_graph_forms ParamForms.)
TEST(Params, BlobsThatDoNotAddUpAreRejected) {
  const std::string blob = StaticParams();   // one float32 array "w" [1, 2, 3, 3]
  std::vector<graph::ParamArray> ps;
  std::string err;
  ASSERT_TRUE(graph::ParseParams(blob, &ps, &err)) << err;

  auto patched = [&](size_t off, const void* v, size_t n) {
    std::string b = blob;
    std::memcpy(&b[off], v, n);
    return b;
  };
  // Offsets: list magic 0, reserved 8, name count 16, name length 24, name 32, array count 33,
  // array magic 41, reserved 49, device 57, id 61, ndim 65, dtype 69, shape 73, data size 105, data 113.
  const uint64_t two = 2, huge = uint64_t(1) << 60;
  const int32_t gpu = 2;
  const int64_t wrong_size = 71;
  struct Case {
    std::string blob;
    std::string reason;
  };
  const Case cases[] = {
      {"", "magic"},
      {patched(16, &huge, 8), "name count"},
      {patched(33, &two, 8), "1 names but 2 arrays"},
      {blob.substr(0, 33), "truncated after its 1 names"},
      {patched(57, &gpu, 4), "not saved as a CPU array"},
      {patched(105, &wrong_size, 8), "declares 71 data bytes"},
      {blob.substr(0, blob.size() - 1), "truncated in its data"},
      {blob + "x", "after its last array"},
  };
  for (const Case& c : cases) {
    err.clear();
    EXPECT_FALSE(graph::ParseParams(c.blob, &ps, &err)) << c.reason;
    EXPECT_NE(err.find(c.reason), std::string::npos) << "expected \"" << c.reason << "\" in \"" << err << "\"";
  }
  std::string dup = graph::SaveParams({FloatParam("a", {1}, {1}), FloatParam("a", {1}, {2})});
  EXPECT_FALSE(graph::ParseParams(dup, &ps, &err));
  EXPECT_NE(err.find("twice"), std::string::npos);
}

namespace {
graph::Graph Parse(const std::string& json) {
  graph::Graph g;
  std::string err;
  EXPECT_TRUE(graph::ParseGraphJson(json, &g, &err)) << err;
  return g;
}
}  // namespace

// What the executor computes is checked bit for bit through the demo models, its refusals of parameters,
// missing and failing kernels through the card runtime and the library (tvm_card_runtime_test, qobl_info_test
// LoadErrorsSayWhy, parallel_model_test).  Shapes the card runtime lets through never reach it past the range
// the storage was sized for: the executor checks them itself, as a run there would write past its storage.
TEST(Executor, ShapesBeyondTheSizedStorageAreRefused) {
  std::string err;
  graph::GraphExecutor ex;
  ASSERT_TRUE(ex.Init(Parse(DynamicGraph()), Module::LoadFromFile(TVM_TEST_MODEL, ""), &err)) << err;
  std::vector<graph::ParamArray> ps;
  ASSERT_TRUE(graph::ParseParams(BiasParams(10, 20, 30), &ps, &err));
  ASSERT_TRUE(ex.LoadParams({{"b", &ps[0]}}, {{1, 3, 16, 16}}, &err)) << err;
  std::vector<graph::Shape> shapes;
  ASSERT_TRUE(ex.ResolveShapes({{1, 3, 17, 16}}, &shapes, &err));
  graph::GraphExecutor::RunPlan plan;
  EXPECT_FALSE(ex.Prepare(shapes, &plan, &err));
  EXPECT_FALSE(ex.ResolveShapes({{1, 4, 5, 5}}, &shapes, &err));  // contradicts the declaration
}

namespace {
// Three placeholders of `extent` float32 elements, each an output with storage of its own.
std::string ThreeBuffers(const std::string& extent) {
  return R"({"nodes": [{"op": "null", "name": "x", "inputs": []}, {"op": "null", "name": "y", "inputs": []},
    {"op": "null", "name": "z", "inputs": []}], "arg_nodes": [0, 1, 2], "node_row_ptr": [0, 1, 2, 3],
    "heads": [[0, 0, 0], [1, 0, 0], [2, 0, 0]], "attrs": {"dltype": ["list_str", ["float32", "float32", "float32"]],
    "shape": ["list_shape", [[)" + extent + "], [" + extent + "], [" + extent + R"(]]],
    "storage_id": ["list_int", [0, 1, 2]]}})";
}
}  // namespace

// A graph's storage is at most 4 GiB in all, not only per entry: a graph that asks for more (here three
// buffers of 1.5 GiB) is refused before any of it is allocated, and the input shapes are blamed when they
// sized it.  The executor is then not ready to run.
TEST(Executor, StorageBeyondTheCapInAllIsRefusedBeforeAllocating) {
  const std::string extent = std::to_string((uint64_t(3) << 29) / 4);
  const graph::Shape big = {static_cast<int64_t>((uint64_t(3) << 29) / 4)};
  struct Case {
    std::string json;
    std::vector<graph::Shape> max_shapes;
    bool by_shapes;
  } const cases[] = {{ThreeBuffers(extent), {big, big, big}, false}, {ThreeBuffers("-1"), {big, big, big}, true}};
  for (const Case& c : cases) {
    std::string err;
    graph::GraphExecutor ex;
    ASSERT_TRUE(ex.Init(Parse(c.json), Module::LoadFromFile(TVM_TEST_MODEL, ""), &err)) << err;
    bool by_shapes = !c.by_shapes;
    EXPECT_FALSE(ex.LoadParams({}, c.max_shapes, &err, &by_shapes));
    EXPECT_NE(err.find("graph storage needs 4831838208 bytes in all (3 buffers), more than 4 GiB"), std::string::npos)
        << err;
    EXPECT_EQ(by_shapes, c.by_shapes);
    std::vector<graph::Shape> shapes;
    ASSERT_TRUE(ex.ResolveShapes(c.max_shapes, &shapes, &err)) << err;
    graph::GraphExecutor::RunPlan plan;
    EXPECT_FALSE(ex.Prepare(shapes, &plan, &err));
  }
}

// The float32 channel split with padded planes is checked end to end through the segmenter (its copy leaf
// reproduces the reference); here the flat and bfloat16 layouts no demo model has, and refusals.
TEST(CoreLayout, PaddedFlatBfloatSlotsAndRefusals) {
  using card::OutputLayout;
  std::string err;
  OutputLayout l;
  // [1,10] float16 in cores [1,8],[1,8]: flat data, then zeros.
  ASSERT_TRUE(card::MakeOutputLayout({kDLFloat, 16, 1}, {1, 10}, {{1, 8}, {1, 8}}, &l, &err)) << err;
  EXPECT_EQ(l.aligned_bytes, 32u);
  std::vector<uint16_t> s16(10), d16(16, 0xFFFF);
  for (int i = 0; i < 10; ++i) s16[i] = static_cast<uint16_t>(100 + i);
  card::WriteCoreLayout(l, s16.data(), d16.data());
  for (int i = 0; i < 10; ++i) EXPECT_EQ(d16[i], 100 + i);
  for (int i = 10; i < 16; ++i) EXPECT_EQ(d16[i], 0);

  // bfloat16 with core shapes: each element in the high half of a 32-bit slot; plain bfloat16 stays packed.
  ASSERT_TRUE(card::MakeOutputLayout({kDLBfloat, 16, 1}, {1, 3}, {{1, 4}}, &l, &err)) << err;
  EXPECT_EQ(l.aligned_bytes, 16u);
  std::vector<uint16_t> sb = {0x3F80, 0xC000, 0x4049}, db(8, 0xFFFF);
  card::WriteCoreLayout(l, sb.data(), db.data());
  EXPECT_EQ(db, (std::vector<uint16_t>{0, 0x3F80, 0, 0xC000, 0, 0x4049, 0, 0}));
  ASSERT_TRUE(card::MakeOutputLayout({kDLBfloat, 16, 1}, {1, 1, 2, 2}, {{1, 1, 8, 8}}, &l, &err)) << err;
  EXPECT_EQ(l.aligned_bytes, 64u * 4);
  const std::vector<uint16_t> s4 = {0x3F80, 0xC000, 0x4049, 0x4000};
  std::vector<uint16_t> d4(128, 0xFFFF);
  card::WriteCoreLayout(l, s4.data(), d4.data());
  // Row 0 in slots 0 and 1, row 1 in slots 8 and 9 of the 8-wide plane; high halves only.
  EXPECT_EQ((std::vector<uint16_t>{d4[0], d4[1], d4[3], d4[17], d4[19], d4[5]}),
            (std::vector<uint16_t>{0, 0x3F80, 0xC000, 0x4049, 0x4000, 0}));
  ASSERT_TRUE(card::MakeOutputLayout({kDLBfloat, 16, 1}, {1, 3}, {}, &l, &err));
  EXPECT_EQ(l.aligned_bytes, 6u);

  // Layouts that cannot hold the output are refused.
  EXPECT_FALSE(card::MakeOutputLayout({kDLFloat, 32, 1}, {1, 5, 5, 6}, {{1, 2, 8, 8}, {1, 2, 8, 8}}, &l, &err));
  EXPECT_FALSE(card::MakeOutputLayout({kDLFloat, 32, 1}, {1, 3, 9, 6}, {{1, 4, 8, 8}}, &l, &err));
  EXPECT_FALSE(card::MakeOutputLayout({kDLFloat, 32, 1}, {1, 20}, {{1, 8}, {1, 8}}, &l, &err));
  EXPECT_FALSE(card::MakeOutputLayout({kDLFloat, 32, 1}, {1, 10}, {{1, 8}, {1, 2, 8}}, &l, &err));
}

// Malformed configurations are refused with the runtime's text (qobl_info_test LoadErrorsSayWhy, the
// configuration fuzzer).  The record fields the library reads (lengths, offsets, output count, precision,
// quantisation flag and scale) are checked through static_model_test's pre-process records; here the
// defaults and the other bytes of the pre-process records the card hands out.
TEST(HwConfig, DefaultsTypesAndPreprocessRecordBytes) {
  card::HwConfig hw;
  std::string err;
  ASSERT_TRUE(card::ParseHwConfig("", &hw, &err));
  EXPECT_EQ(hw.max_batch_size, 1u);
  EXPECT_EQ(hw.memory_budget_bytes, 1048576u);
  ASSERT_TRUE(card::ParseHwConfig(R"({"unknown": [1], "max_batch_size": 8, "preprocess_ops": [
      {"opcode": 255, "opcode_ext": 197, "outputs": [
         {"precision": 1, "is_quant": 1, "quant_scale": 0.5, "quant_bias": -1.25, "quant_min": -128, "quant_max": 127},
         {"precision": 0}]},
      {"opcode": 201, "input_num": 2, "outputs": []}]})",
                                  &hw, &err))
      << err;
  EXPECT_EQ(hw.max_batch_size, 8u);
  std::string rec = card::BuildPreOpRecords(hw.preprocess_ops, {1, 3, 224, 224});
  // op 0: 24-byte head + quant offset word + 2 x 64 + 2 x 16 = 188 bytes; op 1: 28 bytes.
  ASSERT_EQ(rec.size(), 188u + 28u);
  auto u8 = [&](size_t o) { return static_cast<uint8_t>(rec[o]); };
  auto u32 = [&](size_t o) { uint32_t v; std::memcpy(&v, &rec[o], 4); return v; };
  auto f32 = [&](size_t o) { float v; std::memcpy(&v, &rec[o], 4); return v; };
  EXPECT_EQ(u8(1), 197);
  EXPECT_EQ(u32(8), 1u);     // input_num default
  EXPECT_EQ(u32(28 + 12), 4u);          // dims_num
  EXPECT_EQ(u32(28 + 16 + 12), 224u);   // dims_ptr[3]
  EXPECT_FLOAT_EQ(f32(164), -1.25f);
  EXPECT_EQ(static_cast<int8_t>(rec[168]), -128);
  EXPECT_EQ(static_cast<int8_t>(rec[169]), 127);
  EXPECT_EQ(u32(188 + 8), 2u);
}

// Runs of one executor from two threads share its storage: each run's inputs, kernels and outputs must
// not interleave with the other's (the outputs match those of runs made one at a time).
TEST(Executor, RunsFromTwoThreadsDoNotInterleave) {
  Module lib = Module::LoadFromFile(TVM_TEST_MODEL, "");
  std::string err;
  graph::GraphExecutor ex;
  ASSERT_TRUE(ex.Init(Parse(StaticGraph()), lib, &err)) << err;
  std::vector<graph::ParamArray> ps;
  ASSERT_TRUE(graph::ParseParams(StaticParams(), &ps, &err));
  ASSERT_TRUE(ex.LoadParams({{"w", &ps[0]}}, {{1, 2, 3, 3}}, &err)) << err;
  std::vector<graph::Shape> shapes;
  ASSERT_TRUE(ex.ResolveShapes({{1, 2, 3, 3}}, &shapes, &err));
  auto runOnce = [&](graph::GraphExecutor::RunPlan& plan, float value, std::vector<float>* out, std::string* e) {
    std::vector<float> x(18, value);
    const void* in[1] = {x.data()};
    return ex.Run(plan, in, [&](size_t, const void* d, uint64_t n) {
      out->assign(static_cast<const float*>(d), static_cast<const float*>(d) + n / sizeof(float));
    }, e);
  };
  const float values[2] = {1.5f, -4.0f};
  std::vector<float> expected[2];
  for (int t = 0; t < 2; ++t) {
    graph::GraphExecutor::RunPlan plan;
    ASSERT_TRUE(ex.Prepare(shapes, &plan, &err)) << err;
    ASSERT_TRUE(runOnce(plan, values[t], &expected[t], &err)) << err;
  }
  ASSERT_NE(expected[0], expected[1]);
  std::atomic<int> wrong{0};
  auto worker = [&](int t) {
    graph::GraphExecutor::RunPlan plan;
    std::string e;
    if (!ex.Prepare(shapes, &plan, &e)) ++wrong;
    std::vector<float> out;
    for (int i = 0; i < 300; ++i)
      if (!runOnce(plan, values[t], &out, &e) || out != expected[t]) ++wrong;
  };
  std::thread a(worker, 0), b(worker, 1);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}
