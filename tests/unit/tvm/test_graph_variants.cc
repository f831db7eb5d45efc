// Graphs as compilers lay them out for real networks, run through the executor over the variants library:
// storage shared between entries, nodes with several outputs, heads that are inputs, parameters or the
// same entry twice, element types other than float32, scalars, failing kernels and parallel kernels.
#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <tvm/ir/expr.h>
#include <tvm/runtime/card_graph_runtime.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/registry.h>

#include <cstring>

#include "graph/executor.h"
#include "graph/graph_json.h"
#include "graph/params.h"
#include "test_helpers.h"

using namespace tvm::runtime;
using namespace tvmtest;

namespace {

// x, w float32 [4] -> a = x + w -> split_pair(a) = (a + 1, -a) -> twice(a + 1) [8] in a's storage ->
// reshaped [2, 4] by a __nop over the same storage; add_one(-a) in the storage of a + 1, then add_one of
// that in place.  Heads: the reshape, the pair's second output, the in-place result, x, w, and the pair's
// second output again.
const char* kSharedGraph = R"({
  "nodes": [
    {"op": "null", "name": "x", "inputs": []},
    {"op": "null", "name": "w", "inputs": []},
    {"op": "tvm_op", "name": "a", "inputs": [[0, 0, 0], [1, 0, 0]],
     "attrs": {"func_name": "add_f32", "num_inputs": "2", "num_outputs": "1", "flatten_data": "0"}},
    {"op": "tvm_op", "name": "pair", "inputs": [[2, 0, 0]],
     "attrs": {"func_name": "split_pair", "num_inputs": "1", "num_outputs": "2", "flatten_data": "0"}},
    {"op": "tvm_op", "name": "twice", "inputs": [[3, 0, 0]],
     "attrs": {"func_name": "twice", "num_inputs": "1", "num_outputs": "1", "flatten_data": "0"}},
    {"op": "tvm_op", "name": "reshape", "inputs": [[4, 0, 0]],
     "attrs": {"func_name": "__nop", "num_inputs": "1", "num_outputs": "1", "flatten_data": "0"}},
    {"op": "tvm_op", "name": "inc", "inputs": [[3, 1, 0]],
     "attrs": {"func_name": "add_one", "num_inputs": "1", "num_outputs": "1", "flatten_data": "0"}},
    {"op": "tvm_op", "name": "inc_in_place", "inputs": [[6, 0, 0]],
     "attrs": {"func_name": "add_one", "num_inputs": "1", "num_outputs": "1", "flatten_data": "0"}}
  ],
  "arg_nodes": [0, 1],
  "node_row_ptr": [0, 1, 2, 3, 5, 6, 7, 8, 9],
  "heads": [[5, 0, 0], [3, 1, 0], [7, 0, 0], [0, 0, 0], [1, 0, 0], [3, 1, 0]],
  "attrs": {
    "dltype": ["list_str", ["float32", "float32", "float32", "float32", "float32", "float32", "float32",
                            "float32", "float32"]],
    "shape": ["list_shape", [[4], [4], [4], [4], [4], [8], [2, 4], [4], [4]]],
    "storage_id": ["list_int", [0, 1, 2, 3, 4, 2, 2, 3, 3]]
  }
})";

// int8 a + b (b a parameter) widened to int32; float16 h negated twice, the first result in the int8
// sum's storage; uint8 q widened to int32 in that storage again, now larger; a scalar float32 parameter
// plus one through a flattening node.  Some nodes leave out the optional attributes; device_index is
// given.
const char* kTypesGraph = R"({
  "nodes": [
    {"op": "null", "name": "a", "inputs": []},
    {"op": "null", "name": "b", "inputs": []},
    {"op": "tvm_op", "name": "sum", "inputs": [[0, 0], [1, 0]], "attrs": {"func_name": "add_i8"}},
    {"op": "tvm_op", "name": "wide", "inputs": [[2, 0]], "attrs": {"func_name": "widen_i8", "num_outputs": "1"}},
    {"op": "null", "name": "h", "inputs": []},
    {"op": "tvm_op", "name": "neg", "inputs": [[4, 0]], "attrs": {"func_name": "neg_f16", "num_inputs": "1"}},
    {"op": "tvm_op", "name": "neg2", "inputs": [[5, 0]], "attrs": {"func_name": "neg_f16", "flatten_data": "0"}},
    {"op": "null", "name": "q", "inputs": []},
    {"op": "tvm_op", "name": "wide_u", "inputs": [[7, 0]], "attrs": {"func_name": "widen_u8"}},
    {"op": "null", "name": "s", "inputs": []},
    {"op": "tvm_op", "name": "inc", "inputs": [[9, 0]], "attrs": {"func_name": "add_one", "flatten_data": "1"}}
  ],
  "arg_nodes": [0, 1, 4, 7, 9],
  "node_row_ptr": [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11],
  "heads": [[3, 0], [6, 0], [8, 0], [10, 0]],
  "attrs": {
    "dltype": ["list_str", ["int8", "int8", "int8", "int32", "float16", "float16", "float16", "uint8", "int32",
                            "float32", "float32"]],
    "shape": ["list_shape", [[2, 3], [2, 3], [2, 3], [2, 3], [3], [3], [3], [4], [4], [], []]],
    "storage_id": ["list_int", [0, 1, 2, 3, 4, 2, 5, 6, 2, 7, 8]],
    "device_index": ["list_int", [1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1]]
  }
})";

const DLDataType kF32{kDLFloat, 32, 1}, kF16{kDLFloat, 16, 1}, kI8{kDLInt, 8, 1};

}  // namespace

TEST(GraphVariants, SharedStorageSeveralOutputsAndHeads) {
  Loaded m;
  ASSERT_TRUE(m.Load(kSharedGraph, {Param("w", kF32, {4}, Bytes<float>({10, 20, 30, 40}))})) << m.err;
  ASSERT_EQ(m.ex.num_inputs(), 1u);
  ASSERT_EQ(m.ex.num_outputs(), 6u);
  for (float base : {1.0f, 100.0f}) {  // twice: a second run starts from storage the first one left
    std::vector<std::string> out = m.Run({Bytes<float>({base, base + 1, base + 2, base + 3})});
    ASSERT_EQ(out.size(), 6u) << m.err;
    std::vector<float> a = {base + 10, base + 21, base + 32, base + 43};
    std::vector<float> twice, neg, inc2;
    for (int k = 0; k < 2; ++k)
      for (float v : a) twice.push_back(v + 1);
    for (float v : a) neg.push_back(-v);
    for (float v : a) inc2.push_back(-v + 2);
    EXPECT_EQ(Values<float>(out[0]), twice);  // [2, 4] over storage first sized for a [4]
    EXPECT_EQ(Values<float>(out[1]), neg);    // output 1 of a two-output node
    EXPECT_EQ(Values<float>(out[2]), inc2);   // in place, over storage reused after the pair's output 0
    EXPECT_EQ(Values<float>(out[3]), (std::vector<float>{base, base + 1, base + 2, base + 3}));  // an input
    EXPECT_EQ(Values<float>(out[4]), (std::vector<float>{10, 20, 30, 40}));                      // a parameter
    EXPECT_EQ(out[5], out[1]);
  }
  // Storage scopes, when the graph gives them, must all be plain memory.
  const std::string scoped = ReplaceOnce(kSharedGraph, "\"storage_id\"",
                                         "\"storage_scope\": [\"list_str\", [\"global\", \"\", \"global\", \"global\", "
                                         "\"global\", \"global\", \"global\", \"\", \"global\"]], \"storage_id\"");
  const std::string x = Bytes<float>({1, 2, 3, 4});
  Loaded plain, texture;
  ASSERT_TRUE(plain.Load(scoped, {Param("w", kF32, {4}, Bytes<float>({10, 20, 30, 40}))})) << plain.err;
  EXPECT_EQ(plain.Run({x}), m.Run({x}));
  EXPECT_FALSE(texture.Load(ReplaceOnce(scoped, "\"\", \"global\"]]", "\"global.texture\", \"global\"]]"), {}));
  EXPECT_NE(texture.err.find("graph entry 7 has storage scope \"global.texture\""), std::string::npos) << texture.err;
}

TEST(GraphVariants, ElementTypesScalarsAndFlattening) {
  Loaded m;
  ASSERT_TRUE(m.Load(kTypesGraph, {Param("b", kI8, {2, 3}, Bytes<int8_t>({1, 1, 1, 1, 1, 100})),
                                   Param("s", kF32, {}, Bytes<float>({2.5f}))}))
      << m.err;
  ASSERT_EQ(m.ex.num_inputs(), 3u);  // a, h, q in arg_nodes order
  EXPECT_EQ(m.ex.entry_dtype(m.ex.input_entry(2)).code, kDLUInt);
  const std::vector<uint16_t> h = {0x3C00, 0xC000, 0x0001};
  std::vector<std::string> out =
      m.Run({Bytes<int8_t>({1, 2, 3, -4, -5, 100}), Bytes(h), Bytes<uint8_t>({0, 1, 200, 255})});
  ASSERT_EQ(out.size(), 4u) << m.err;
  EXPECT_EQ(Values<int32_t>(out[0]), (std::vector<int32_t>{2000, 3000, 4000, -3000, -4000, -56000}));
  EXPECT_EQ(Values<uint16_t>(out[1]), h);
  EXPECT_EQ(Values<int32_t>(out[2]), (std::vector<int32_t>{0, 1000, 200000, 255000}));
  EXPECT_EQ(Values<float>(out[3]), (std::vector<float>{3.5f}));
}

namespace {
// A graph of one placeholder that is also its output: what the runtime makes of a parameter of the type.
std::string ParamOnlyGraph(const std::string& dtype, const std::string& shape) {
  return R"({"nodes": [{"op": "null", "name": "v", "inputs": []}], "arg_nodes": [0], "node_row_ptr": [0, 1],
    "heads": [[0, 0, 0]], "attrs": {"dltype": ["list_str", [")" + dtype + R"("]],
    "shape": ["list_shape", [)" + shape + R"(]], "storage_id": ["list_int", [0]]}})";
}
}  // namespace

// Parameters that differ from their entries are refused naming both; a placeholder without a parameter is
// an input, and a saved parameter that names no placeholder is left out.  Sizes of saved arrays count (bits + 7) / 8 bytes per element whatever the lanes, so a vector
// type whose elements pack below a byte per lane loads, and one that would not fill its entry is refused.
TEST(GraphVariants, ParametersAgainstTheirEntries) {
  const std::string w = Bytes<float>({10, 20, 30, 40});
  struct Case {
    graph::ParamArray p;
    std::string reason;
  } const cases[] = {
      {Param("w", kF16, {4}, std::string(8, '\0')), "parameter \"w\" is float16 [4], its graph entry float32 [4]"},
      {Param("w", kF32, {2, 2}, w), "parameter \"w\" is float32 [2, 2], its graph entry float32 [4]"},
      {Param("w", kF32, {}, w.substr(0, 4)), "parameter \"w\" is float32 [], its graph entry float32 [4]"},
  };
  for (const Case& c : cases) {
    Loaded m;
    EXPECT_FALSE(m.Load(kSharedGraph, {c.p}));
    EXPECT_NE(m.err.find(c.reason), std::string::npos) << "expected \"" << c.reason << "\" in \"" << m.err << "\"";
  }
  Loaded no_w;
  ASSERT_TRUE(no_w.Load(kSharedGraph, {})) << no_w.err;
  EXPECT_EQ(no_w.ex.num_inputs(), 2u);
  std::vector<std::string> out = no_w.Run({Bytes<float>({1, 2, 3, 4}), Bytes<float>({1, 1, 1, 1})});
  ASSERT_EQ(out.size(), 6u) << no_w.err;
  EXPECT_EQ(Values<float>(out[1]), (std::vector<float>{-2, -3, -4, -5}));
  Loaded extra;
  ASSERT_TRUE(extra.Load(kSharedGraph, {Param("zzz", kF16, {7}, std::string(14, '\0')), Param("w", kF32, {4}, w)}))
      << extra.err;
  EXPECT_EQ(extra.ex.num_inputs(), 1u);
  EXPECT_EQ(extra.ex.param_names(), std::vector<std::string>{"w"});
  out = extra.Run({Bytes<float>({1, 2, 3, 4})});
  ASSERT_EQ(out.size(), 6u) << extra.err;
  EXPECT_EQ(Values<float>(out[1]), (std::vector<float>{-11, -22, -33, -44}));

  // int4x2: one byte per element in the blob and in the graph's storage.
  std::string packed(100, '\0');
  for (int i = 0; i < 100; ++i) packed[i] = static_cast<char>(i * 7);
  Loaded int4;
  ASSERT_TRUE(int4.Load(ParamOnlyGraph("int4x2", "[100]"), {Param("v", {kDLInt, 4, 2}, {100}, packed)})) << int4.err;
  out = int4.Run({});
  ASSERT_EQ(out.size(), 1u) << int4.err;
  EXPECT_EQ(out[0], packed);
  // Counting the lanes too would ask for twice the bytes, and copy them into storage of half the size.
  Loaded doubled;
  EXPECT_FALSE(doubled.Load(ParamOnlyGraph("int4x2", "[100]"), {Param("v", {kDLInt, 4, 2}, {100}, packed + packed)}));
  EXPECT_NE(doubled.err.find("\"v\" declares 200 data bytes, its shape and type need 100"), std::string::npos)
      << doubled.err;
  // float32x4: the blob holds 4 of the 16 bytes of each element.
  Loaded f32x4;
  EXPECT_FALSE(f32x4.Load(ParamOnlyGraph("float32x4", "[2, 3]"), {Param("v", {kDLFloat, 32, 4}, {2, 3}, std::string(24, 'x'))}));
  EXPECT_NE(f32x4.err.find("parameter \"v\" (float32x4) holds 24 bytes, its graph entry needs 96"), std::string::npos)
      << f32x4.err;
}

namespace {
std::string OneKernelGraph(const std::string& func, int n) {
  const std::string shape = "[" + std::to_string(n) + "]";
  return R"({"nodes": [{"op": "null", "name": "x", "inputs": []},
    {"op": "tvm_op", "name": "k", "inputs": [[0, 0, 0]], "attrs": {"func_name": ")" + func + R"("}}],
    "arg_nodes": [0], "node_row_ptr": [0, 1, 2], "heads": [[1, 0, 0]],
    "attrs": {"dltype": ["list_str", ["float32", "float32"]], "shape": ["list_shape", [)" + shape + ", " + shape +
         R"(]], "storage_id": ["list_int", [0, 1]]}})";
}
}  // namespace

// A failing kernel's run says which node and function failed and the kernel's own text, and a kernel that
// fails without a text does not get an earlier failure's text.  A kernel that splits its work over the
// runtime's threads (num_task 0) with scratch memory and a barrier computes the same as one thread would.
TEST(GraphVariants, KernelFailuresAndParallelKernels) {
  Loaded loud, quiet;
  ASSERT_TRUE(loud.Load(OneKernelGraph("fail_text", 4), {})) << loud.err;
  ASSERT_TRUE(quiet.Load(OneKernelGraph("fail_quiet", 4), {})) << quiet.err;
  const std::string x = Bytes<float>({1, 2, 3, 4});
  EXPECT_TRUE(loud.Run({x}).empty());
  EXPECT_EQ(loud.err, "graph node 1 (k): function fail_text failed: fail_text: the weights are not what this "
                      "kernel was built for");
  EXPECT_TRUE(quiet.Run({x}).empty());
  EXPECT_EQ(quiet.err, "graph node 1 (k): function fail_quiet failed");
  Loaded missing;
  EXPECT_FALSE(missing.Load(OneKernelGraph("fused_nothing", 4), {}));
  EXPECT_NE(missing.err.find("no function \"fused_nothing\" (graph node 1, \"k\")"), std::string::npos) << missing.err;
  // A name the library lacks but a library it depends on has (the C library's abs) is missing too.
  Loaded foreign;
  EXPECT_FALSE(foreign.Load(OneKernelGraph("abs", 4), {}));
  EXPECT_NE(foreign.err.find("no function \"abs\""), std::string::npos) << foreign.err;
  // A library that needs a function nothing provides is refused when loaded, naming it.
  try {
    Module::LoadFromFile(TVM_TEST_UNDEFINED, "");
    ADD_FAILURE() << "a library with an unresolvable symbol loaded";
  } catch (const tvm::Error& e) {
    EXPECT_NE(std::string(e.what()).find("undefined symbol: TVMBackendNoSuchFunction"), std::string::npos) << e.what();
  }

  const int n = 1001;
  Loaded sum;
  ASSERT_TRUE(sum.Load(OneKernelGraph("add_sum", n), {})) << sum.err;
  std::vector<float> in(n);
  float total = 0;
  for (int i = 0; i < n; ++i) total += (in[i] = static_cast<float>(i % 17));
  for (int run = 0; run < 3; ++run) {
    std::vector<std::string> out = sum.Run({Bytes(in)});
    ASSERT_EQ(out.size(), 1u) << sum.err;
    std::vector<float> y = Values<float>(out[0]);
    ASSERT_EQ(y.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) ASSERT_EQ(y[i], in[i] + total) << i;
  }
}

namespace {
// The graph as a static model on card 0 over the variants library, its parameters loaded: the module, or
// none with the failing step's code in *err.
Module OnTheCard(const std::string& json, const std::vector<graph::ParamArray>& params, int* err) {
  QOBCRegisterDeviceAPI();
  tvm::Map<std::string, tvm::ir::StringImm> cfg;
  cfg.Set("model_name", tvm::ir::StringImm::make("variant:0:variant"));
  *err = 0;
  Module m = Global("tvm.graph_runtime.create")(json, Module::LoadFromFile(TVM_TEST_VARIANTS, ""), cfg, 0,
                                                          err, 14, 0);
  if (*err != 0) return Module();
  tvm::Array<tvm::ir::StringImm> blobs;
  blobs.push_back(tvm::ir::StringImm(graph::SaveParams(params)));
  m.GetFunction("load_params")(blobs, err);
  return *err == 0 ? m : Module();
}
}  // namespace

// The card runtime over the typed graph: each input's and output's type, sizes and shapes as the library
// asks for them, and one item run on the card.
TEST(GraphVariants, TypedGraphOnTheCard) {
  int err = 0;
  Module m = OnTheCard(kTypesGraph,
                       {Param("b", kI8, {2, 3}, Bytes<int8_t>({1, 1, 1, 1, 1, 100})), Param("s", kF32, {}, Bytes<float>({2.5f}))},
                       &err);
  ASSERT_EQ(err, 0) << CardError(err);
  const std::string node = m.GetFunction("set_batch_size")(1u, &err);
  ASSERT_EQ(err, 0);

  std::vector<std::string> in_types, out_types;
  for (int i = 0; i < 3; ++i) in_types.push_back(m.GetFunction("get_module_input_dtype")(i, node, &err));
  for (int o = 0; o < 4; ++o) out_types.push_back(m.GetFunction("get_output_dtype")(o, &err));
  EXPECT_EQ(in_types, (std::vector<std::string>{"int8", "float16", "uint8"}));
  EXPECT_EQ(out_types, (std::vector<std::string>{"int32", "float16", "int32", "float32"}));
  std::vector<int64_t> in_bytes, out_bytes, scalar_shape;
  for (tvm::Integer b : tvm::Array<tvm::Integer>(m.GetFunction("get_module_input_bytes")(node, &err)))
    in_bytes.push_back(b.IntValue());
  for (int o = 0; o < 4; ++o)
    out_bytes.push_back(static_cast<int64_t>(m.GetFunction("get_align_output_bytes")(o, node, &err)));
  for (tvm::Integer d : tvm::Array<tvm::Integer>(m.GetFunction("get_output_shape")(3, node, &err)))
    scalar_shape.push_back(d.IntValue());
  ASSERT_EQ(err, 0);
  EXPECT_EQ(in_bytes, (std::vector<int64_t>{6, 6, 4}));
  EXPECT_EQ(out_bytes, (std::vector<int64_t>{24, 6, 16, 4}));
  EXPECT_TRUE(scalar_shape.empty());

  uint64_t addr = 0;
  ASSERT_EQ(qobcrt_model_addr(0, node.c_str(), &addr), 0);
  const std::string a = Bytes<int8_t>({1, 2, 3, -4, -5, 100}), h = Bytes<uint16_t>({0x3C00, 0xC000, 0x0001}),
                    q = Bytes<uint8_t>({0, 1, 200, 255});
  const void* ins[3] = {a.data(), h.data(), q.data()};
  std::vector<std::string> outs;
  for (int64_t b : out_bytes) outs.emplace_back(static_cast<size_t>(b), '\x55');
  void* out_ptrs[4] = {&outs[0][0], &outs[1][0], &outs[2][0], &outs[3][0]};
  char text[256] = {0};
  ASSERT_EQ(qobcrt_sim_run_model(0, addr, ins, out_ptrs, text, sizeof text), 0) << text;
  EXPECT_EQ(Values<int32_t>(outs[0]), (std::vector<int32_t>{2000, 3000, 4000, -3000, -4000, -56000}));
  EXPECT_EQ(outs[1], h);
  EXPECT_EQ(Values<int32_t>(outs[2]), (std::vector<int32_t>{0, 1000, 200000, 255000}));
  EXPECT_EQ(Values<float>(outs[3]), (std::vector<float>{3.5f}));
}

// Entries inside a graph may have more dimensions than the card's six; its inputs and outputs may not.
TEST(GraphVariants, RanksAboveSixInsideTheGraphOnly) {
  const std::string seven = R"({"nodes": [{"op": "null", "name": "x", "inputs": []},
    {"op": "tvm_op", "name": "inc", "inputs": [[0, 0, 0]], "attrs": {"func_name": "add_one"}},
    {"op": "tvm_op", "name": "reshape", "inputs": [[1, 0, 0]], "attrs": {"func_name": "__nop"}}],
    "arg_nodes": [0], "node_row_ptr": [0, 1, 2, 3], "heads": [[2, 0, 0]],
    "attrs": {"dltype": ["list_str", ["float32", "float32", "float32"]],
    "shape": ["list_shape", [[4], [1, 1, 1, 1, 1, 2, 2], [4]]], "storage_id": ["list_int", [0, 1, 1]]}})";
  Loaded m;
  ASSERT_TRUE(m.Load(seven, {})) << m.err;
  std::vector<std::string> out = m.Run({Bytes<float>({1, 2, 3, 4})});
  ASSERT_EQ(out.size(), 1u) << m.err;
  EXPECT_EQ(Values<float>(out[0]), (std::vector<float>{2, 3, 4, 5}));
  int err = 0;
  EXPECT_TRUE(OnTheCard(seven, {}, &err).defined()) << CardError(err);

  const std::string seven_out = ReplaceOnce(seven, "[[2, 0, 0]]", "[[1, 0, 0]]");
  const std::string seven_in = ReplaceOnce(seven, "[[4], [1, 1", "[[1, 1, 1, 1, 1, 2, 2], [1, 1");
  EXPECT_FALSE(OnTheCard(seven_out, {}, &err).defined());
  EXPECT_EQ(err, kCardErrGraphJson);
  EXPECT_NE(CardError(err).find("output 0 has 7 dimensions; the card takes inputs and outputs of at most 6"),
            std::string::npos)
      << CardError(err);
  EXPECT_FALSE(OnTheCard(seven_in, {}, &err).defined());
  EXPECT_NE(CardError(err).find("input 0 has 7 dimensions"), std::string::npos) << CardError(err);
}

// A "__copy" between entries of different sizes, or with other than one input and one output, is a fault
// of the graph, refused when the model is created rather than when a batch size is set.
TEST(GraphVariants, CopiesThatDoNotFitAreGraphFaults) {
  const std::string copy = R"({"nodes": [{"op": "null", "name": "x", "inputs": []},
    {"op": "tvm_op", "name": "cp", "inputs": [[0, 0, 0]], "attrs": {"func_name": "__copy"}}],
    "arg_nodes": [0], "node_row_ptr": [0, 1, 2], "heads": [[1, 0, 0]],
    "attrs": {"dltype": ["list_str", ["float32", "int32"]], "shape": ["list_shape", [[2, 2], [4]]],
    "storage_id": ["list_int", [0, 1]]}})";
  Loaded same;  // same bytes under another type and shape
  ASSERT_TRUE(same.Load(copy, {})) << same.err;
  std::vector<std::string> out = same.Run({Bytes<float>({1, 2, 3, 4})});
  ASSERT_EQ(out.size(), 1u) << same.err;
  EXPECT_EQ(out[0], Bytes<float>({1, 2, 3, 4}));

  int err = 0;
  EXPECT_FALSE(OnTheCard(ReplaceOnce(copy, "[[2, 2], [4]]", "[[2, 2], [8]]"), {}, &err).defined());
  EXPECT_EQ(err, kCardErrGraphJson);
  EXPECT_NE(CardError(err).find("graph node 1 (\"cp\", __copy) copies 16 bytes into 32"), std::string::npos)
      << CardError(err);
  const std::string two_outputs = R"({"nodes": [{"op": "null", "name": "x", "inputs": []},
    {"op": "tvm_op", "name": "cp", "inputs": [[0, 0, 0]], "attrs": {"func_name": "__copy", "num_outputs": "2"}}],
    "arg_nodes": [0], "node_row_ptr": [0, 1, 3], "heads": [[1, 0, 0]],
    "attrs": {"dltype": ["list_str", ["float32", "float32", "float32"]], "shape": ["list_shape", [[4], [4], [4]]],
    "storage_id": ["list_int", [0, 1, 2]]}})";
  EXPECT_FALSE(OnTheCard(two_outputs, {}, &err).defined());
  EXPECT_EQ(err, kCardErrGraphJson);
  EXPECT_NE(CardError(err).find("needs one input and one output"), std::string::npos) << CardError(err);

  // Sizes past 64 bits do not wrap round to a small storage.
  Loaded huge;
  EXPECT_FALSE(huge.Load(ReplaceOnce(copy, "[[2, 2], [4]]", "[[2, 2], [4294967296, 4294967296, 4]]"), {}));
  EXPECT_NE(huge.err.find("copies 16 bytes into 18446744073709551615"), std::string::npos) << huge.err;
  EXPECT_FALSE(huge.Load(ParamOnlyGraph("float32", "[4294967296, 4294967296]"), {}));
  EXPECT_NE(huge.err.find("entry 0 needs more than 4 GiB"), std::string::npos) << huge.err;
}
