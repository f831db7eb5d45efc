// The card graph runtime: creation checks, every module function, module nodes on the card, dynamic suites.
#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>
#include <tvm/ir/expr.h>
#include <tvm/runtime/card_graph_runtime.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/registry.h>


#include "test_helpers.h"

using namespace tvm::runtime;
using namespace tvmtest;
using tvm::Array;
using tvm::Integer;
using tvm::ir::StringImm;

namespace {

using Cfg = tvm::Map<std::string, StringImm>;

Cfg Config(const std::string& hw = "") {
  Cfg c;
  c.Set("model_name", StringImm::make("digest:0:digest"));
  if (!hw.empty()) c.Set("hwconfig_json", StringImm::make(hw));
  return c;
}

Module CreateStatic(const std::string& graph, const Cfg& cfg, int* err, int dev_type = 14, int dev = 0) {
  *err = 0;
  return Global("tvm.graph_runtime.create")(graph, Module::LoadFromFile(TVM_TEST_MODEL, ""), cfg, 0, err, dev_type, dev);
}

int LoadParams(Module m, const std::vector<std::string>& blobs) {
  Array<StringImm> list;
  for (const auto& b : blobs) list.push_back(StringImm(b));
  int err = 0;
  m.GetFunction("load_params")(list, &err);
  return err;
}

Array<Array<Integer>> Shapes(std::vector<std::vector<int64_t>> shapes) {
  Array<Array<Integer>> a;
  for (const auto& s : shapes) {
    Array<Integer> inner;
    for (int64_t d : s) inner.push_back(static_cast<int>(d));
    a.push_back(inner);
  }
  return a;
}

std::vector<int64_t> Vec(const Array<Integer>& a) {
  std::vector<int64_t> v;
  for (Integer i : a) v.push_back(i.IntValue());
  return v;
}

}  // namespace

// Runs first in this process: before QOBCRegisterDeviceAPI the runtime refuses to create.
TEST(CardRuntimeCreate, DeviceChecks) {
  int err = 0;
  if (!qobcrt_device_api_registered()) {
    Module m = CreateStatic(StaticGraph(), Config(), &err);
    EXPECT_EQ(err, kCardErrDeviceApi);
    EXPECT_FALSE(m.defined());
    EXPECT_NE(CardError(err).find("QOBCRegisterDeviceAPI"), std::string::npos);
  }
  QOBCRegisterDeviceAPI();
  CreateStatic(StaticGraph(), Config(), &err, /*dev_type=*/1);
  EXPECT_EQ(err, kCardErrDeviceType);
  CreateStatic(StaticGraph(), Config(), &err, 14, /*dev=*/99);
  EXPECT_EQ(err, kCardErrDeviceId);
  Module ok = CreateStatic(StaticGraph(), Config(), &err);
  EXPECT_EQ(err, 0);
  EXPECT_TRUE(ok.defined());
  // Wrong argument list: a clear exception when there is no error slot to write.
  EXPECT_THROW(Global("tvm.graph_runtime.create")(StaticGraph()), tvm::Error);
  int slot = 0;
  Global("tvm.graph_runtime.create")(StaticGraph(), Module::LoadFromFile(TVM_TEST_MODEL, ""), 5, 0, &slot, 14, 0);
  EXPECT_EQ(slot, kCardErrInvalidArgument);
}

// A library without a graph's function, a malformed hardware configuration and a truncated parameter blob
// reach the user with the runtime's code and text (qobl_info_test LoadErrorsSayWhy); here the rest.
TEST(CardRuntimeCreate, MalformedInputsGiveCodesAndTexts) {
  QOBCRegisterDeviceAPI();
  int err = 0;
  CreateStatic("{\"nodes\": 3}", Config(), &err);
  EXPECT_EQ(err, kCardErrGraphJson);
  EXPECT_NE(CardError(err).find("lacks"), std::string::npos) << CardError(err);
  CreateStatic(DynamicGraph(), Config(), &err);  // -1 extents in a static model
  EXPECT_EQ(err, kCardErrGraphJson);
  // Core shapes that cannot hold a static model's output [1, 2, 3, 3], refused when the model is made.
  for (const char* cores : {"[[1, 1, 8, 8]]", "[[1, 16]]"}) {
    CreateStatic(StaticGraph(), Config(std::string(R"({"outputs": [{"core_shapes": )") + cores + "}]}"), &err);
    EXPECT_EQ(err, kCardErrHwConfig) << cores;
    EXPECT_NE(CardError(err).find("output 0: core"), std::string::npos) << CardError(err);
  }

  Module m = CreateStatic(StaticGraph(), Config(), &err);
  ASSERT_EQ(err, 0);
  EXPECT_EQ(LoadParams(m, {tg::SaveParams({FloatParam("w", {3}, {1, 2, 3})})}), kCardErrParams);  // w is [1, 2, 3, 3]
  // Queries that need parameters fail until they are loaded, with a value of the right type.
  int e = 0;
  Array<Integer> dims = m.GetFunction("get_input_dims")(&e);
  EXPECT_EQ(e, kCardErrNotLoaded);
  EXPECT_EQ(dims.size(), 0u);
  EXPECT_EQ(LoadParams(m, {StaticParams()}), 0);
  EXPECT_EQ(CardError(12345), "unknown error code");
}

TEST(CardRuntimeStatic, ModuleFunctionsAndCardRegistration) {
  QOBCRegisterDeviceAPI();
  int err = 0;
  const std::string hw = R"({"max_batch_size": 4, "outputs": [{"core_shapes": [[1, 1, 8, 8], [1, 1, 8, 8]]}]})";
  Module m = CreateStatic(StaticGraph(), Config(hw), &err);
  ASSERT_EQ(err, 0) << CardError(err);
  ASSERT_EQ(LoadParams(m, {StaticParams()}), 0);

  int e = -1;
  auto fn = [&](const char* name) { return m.GetFunction(name); };
  EXPECT_EQ(static_cast<std::string>(fn("get_output_dtype")(1, &e)), "");
  EXPECT_EQ(e, kCardErrIndex);

  // Batch size: 0 and above the largest (4) are refused; a valid one names and registers a node.
  EXPECT_EQ(static_cast<std::string>(fn("set_batch_size")(0u, &e)), "");
  EXPECT_EQ(e, kCardErrBatchSize);
  fn("set_batch_size")(5u, &e);
  EXPECT_EQ(e, kCardErrBatchSize);
  const std::string name = fn("set_batch_size")(3u, &e);
  ASSERT_EQ(e, 0) << CardError(e);
  EXPECT_EQ(name, "digest:0:digest:b3");
  uint64_t addr = 0;
  EXPECT_EQ(qobcrt_model_addr(0, name.c_str(), &addr), 0);
  EXPECT_NE(addr, 0u);
  EXPECT_EQ(static_cast<std::string>(fn("set_batch_size")(3u, &e)), name);  // the same node, not a second one
  // A second module of the same model gets a node of its own.
  Module twin = CreateStatic(StaticGraph(), Config(hw), &err);
  ASSERT_EQ(LoadParams(twin, {StaticParams()}), 0);
  const std::string twin_name = twin.GetFunction("set_batch_size")(3u, &e);
  ASSERT_EQ(e, 0) << CardError(e);
  EXPECT_NE(twin_name, name);
  uint64_t twin_addr = 0;
  EXPECT_EQ(qobcrt_model_addr(0, twin_name.c_str(), &twin_addr), 0);
  EXPECT_NE(twin_addr, addr);

  // The values of the queries are checked through the demo models (qobl_info_test, qobl_run_test);
  // here the codes for what is refused.

  // Unknown names, bad indexes and wrong argument types set the slot and keep the result type.
  EXPECT_EQ(static_cast<int64_t>(fn("get_align_output_bytes")(0, std::string("other"), &e)), 0);
  EXPECT_EQ(e, kCardErrUnknownNode);
  EXPECT_EQ(Vec(fn("get_output_shape")(3, name, &e)).size(), 0u);
  EXPECT_EQ(e, kCardErrIndex);
  fn("get_output_shape")(name, 0, &e);  // swapped order
  EXPECT_EQ(e, kCardErrInvalidArgument);
  fn("set_input_shape")(Shapes({{1, 2, 3, 3}}), &e);
  EXPECT_EQ(e, kCardErrNotDynamic);

  // free_module unregisters the node; destroying the module unregisters the rest.
  const std::string second = fn("set_batch_size")(1u, &e);
  ASSERT_EQ(e, 0);
  fn("free_module")(name, &e);
  EXPECT_EQ(e, 0);
  EXPECT_NE(qobcrt_model_addr(0, name.c_str(), &addr), 0);
  fn("free_module")(name, &e);
  EXPECT_EQ(e, kCardErrUnknownNode);
  ASSERT_EQ(qobcrt_model_addr(0, second.c_str(), &addr), 0);
  m = Module();
  EXPECT_NE(qobcrt_model_addr(0, second.c_str(), &addr), 0);
}

namespace {
Module CreateDynamic(const std::vector<std::string>& members, const std::string& ranges, const std::string& shared,
                     const std::string& hw, int* err) {
  Array<StringImm> graphs;
  Array<Module> libs;
  for (const std::string& g : members) {
    graphs.push_back(StringImm(g));
    libs.push_back(Module::LoadFromFile(TVM_TEST_MODEL, ""));
  }
  Cfg cfg;
  cfg.Set("model_name", StringImm::make("dyn::dyn"));
  cfg.Set("shape_ranges", StringImm::make(ranges));
  if (!shared.empty()) cfg.Set("shared_params", StringImm::make(shared));
  if (!hw.empty()) cfg.Set("hwconfig_json", StringImm::make(hw));
  *err = 0;
  return Global("tvm.graph_runtime.dynamic_create2")(graphs, libs, cfg, 0, err, 14, 0);
}
const std::vector<std::string> kTwo = {DynamicGraph(), DynamicGraph()};
const char* kRanges = "[[[[1,3,4,4],[1,3,16,16]]],[[[1,3,17,17],[1,3,32,32]]]]";
const char* kBudget = R"({"max_batch_size": 64, "memory_budget_bytes": 65536})";
}  // namespace

// The largest batch per shape within the memory budget, the batch clamp, output sizes at run-time extents,
// shapes outside every range and the member (and node name) a shape selects are checked through the library
// on the demo suite (dynamic_api_test ShapesAndLargestBatch, dynamic_stream_test); here shared parameters,
// a shape across two ranges and the current shapes.
TEST(CardRuntimeDynamic, SharedParamsAndShapesAcrossRanges) {
  QOBCRegisterDeviceAPI();
  int err = 0;
  Module m = CreateDynamic(kTwo, kRanges, "[\"b\"]", kBudget, &err);
  ASSERT_EQ(err, 0) << CardError(err);
  // Member 1's blob lacks "b": it is shared from member 0's.
  ASSERT_EQ(LoadParams(m, {BiasParams(1, 2, 3), graph::SaveParams({})}), 0) << CardError(kCardErrParams);

  int e = 0;
  m.GetFunction("get_max_batchsize")(&e);
  EXPECT_EQ(e, kCardErrNotDynamic);  // no shapes yet
  m.GetFunction("set_input_shape")(Shapes({{1, 3, 16, 17}}), &e);  // straddles the two ranges
  EXPECT_EQ(e, kCardErrShape);
  // Member 1, whose "b" is member 0's, loads a node.
  m.GetFunction("set_input_shape")(Shapes({{1, 3, 20, 24}}), &e);
  ASSERT_EQ(e, 0) << CardError(e);
  const std::string name = m.GetFunction("set_batch_size")(5u, &e);
  ASSERT_EQ(e, 0) << CardError(e);
  uint64_t addr = 0;
  EXPECT_EQ(qobcrt_model_addr(0, name.c_str(), &addr), 0) << name;
  // The shape-taking set_batch_size makes its shapes current (the library keeps its own copy).
  m.GetFunction("set_batch_size")(Shapes({{1, 3, 8, 8}}), 2u, &e);
  ASSERT_EQ(e, 0) << CardError(e);
  Array<Array<Integer>> cur = m.GetFunction("get_input_shapes")(std::string(), &e);
  EXPECT_EQ(Vec(cur[0]), (std::vector<int64_t>{1, 3, 8, 8}));
}

TEST(CardRuntimeDynamic, MalformedSuiteTexts) {
  QOBCRegisterDeviceAPI();
  int err = 0;
  CreateDynamic(kTwo, "not json", "", "", &err);
  EXPECT_EQ(err, kCardErrShapeRanges);
  CreateDynamic(kTwo, "[[[[1,3,20,4],[1,3,16,16]]],[[[1,3,17,17],[1,3,32,32]]]]", "", "", &err);
  EXPECT_EQ(err, kCardErrShapeRanges);  // smallest above largest
  Module one = CreateDynamic({DynamicGraph()}, "[[[[1,3,4,4],[1,3,16,16]]]]", "[]", "", &err);
  EXPECT_EQ(err, 0);

  // Without sharing, member 1's "b" is taken for an input, and the ranges no longer fit.
  Module m = CreateDynamic(kTwo, kRanges, "", "", &err);
  ASSERT_EQ(err, 0);
  EXPECT_EQ(LoadParams(m, {BiasParams(1, 2, 3), graph::SaveParams({})}), kCardErrShapeRanges);
  // Budget too small for one item.
  Module tight = CreateDynamic(kTwo, kRanges, "", R"({"memory_budget_bytes": 100})", &err);
  ASSERT_EQ(LoadParams(tight, {BiasParams(1, 2, 3), BiasParams(4, 5, 6)}), 0);
  int e = 0;
  m = Module();
  tight.GetFunction("get_max_batchsize")(Shapes({{1, 3, 4, 4}}), &e);
  EXPECT_EQ(e, kCardErrMemoryBudget);
}

// A parameter that does not fit its entry is a parameter fault in a suite too, whatever its name says
// (frontends name parameters "input_scale", "input.1_bias", ...).
TEST(CardRuntimeDynamic, ParameterFaultsAreNotRangeFaults) {
  QOBCRegisterDeviceAPI();
  int err = 0;
  Module m = CreateDynamic({ReplaceOnce(DynamicGraph(), "\"name\": \"b\"", "\"name\": \"input_bias\"")},
                           "[[[[1,3,4,4],[1,3,16,16]]]]", "", "", &err);
  ASSERT_EQ(err, 0) << CardError(err);
  const std::string four = graph::SaveParams({FloatParam("input_bias", {4}, {1, 2, 3, 4})});
  EXPECT_EQ(LoadParams(m, {four}), kCardErrParams);
  EXPECT_NE(CardError(kCardErrParams).find("parameter \"input_bias\" is float32 [4], its graph entry float32 [3]"),
            std::string::npos)
      << CardError(kCardErrParams);
  const std::string three = graph::SaveParams({FloatParam("input_bias", {3}, {1, 2, 3})});
  EXPECT_EQ(LoadParams(m, {three}), 0) << CardError(kCardErrParams);
}

// The members of a suite are one model at several shapes: their inputs and outputs have the same types.
TEST(CardRuntimeDynamic, MembersDifferingInTypesAreRefused) {
  QOBCRegisterDeviceAPI();
  const std::string f32 = DynamicGraph();
  // Entry 3 is the output, entry 0 the input.
  const std::string f16_out = ReplaceOnce(f32, "\"float32\"]]", "\"float16\"]]");
  const std::string i8_in = ReplaceOnce(f32, "[\"float32\",", "[\"int8\",");
  auto create = [&](const std::string& second, int* err) { return CreateDynamic({f32, second}, kRanges, "", "", err); };
  int err = 0;
  create(f16_out, &err);
  EXPECT_EQ(err, kCardErrGraphJson);
  EXPECT_NE(CardError(err).find("member 1: output 0 is float16, member 0's is float32"), std::string::npos) << CardError(err);
  Module m = create(i8_in, &err);
  ASSERT_EQ(err, 0) << CardError(err);
  EXPECT_EQ(LoadParams(m, {BiasParams(1, 2, 3), BiasParams(1, 2, 3)}), kCardErrParams);
  EXPECT_NE(CardError(kCardErrParams).find("member 1: input 0 is int8, member 0's is float32"), std::string::npos)
      << CardError(kCardErrParams);
}
