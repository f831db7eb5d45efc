// Graph JSON and parameter blobs in the forms different TVM releases write, each run through the
// executor over the test model library; malformed graphs refused with the reason, and what is not
// supported with the node named.
#include <gtest/gtest.h>
#include <tvm/runtime/module.h>

#include <cstring>

#include "graph/executor.h"
#include "graph/graph_json.h"
#include "graph/params.h"
#include "test_helpers.h"

using namespace tvm::runtime;
using namespace tvmtest;

namespace {

// TVM 0.8 and later (relay): "attrs" with string values and a "hash", tvmgen_default_ names, a reshape
// that is a "__nop" over shared storage, "device_index" of a graph placed on the CPU.  y = 2 (x + p0).
const char* kRelayGraph = R"({
  "nodes": [
    {"op": "null", "name": "x", "inputs": []},
    {"op": "null", "name": "p0", "inputs": []},
    {"op": "tvm_op", "name": "tvmgen_default_fused_add", "attrs": {"num_outputs": "1", "num_inputs": "2",
     "flatten_data": "0", "func_name": "add_param", "hash": "9a8b7c6d5e4f3a2b"}, "inputs": [[0, 0, 0], [1, 0, 0]]},
    {"op": "tvm_op", "name": "reshape_nop", "attrs": {"num_outputs": "1", "num_inputs": "1", "flatten_data": "0",
     "func_name": "__nop"}, "inputs": [[2, 0, 0]]},
    {"op": "tvm_op", "name": "tvmgen_default_fused_multiply", "attrs": {"num_outputs": "1", "num_inputs": "1",
     "flatten_data": "0", "func_name": "tvmgen_default_fused_scale2_env", "hash": "0011223344556677"},
     "inputs": [[3, 0, 0]]}
  ],
  "arg_nodes": [0, 1],
  "heads": [[4, 0, 0]],
  "attrs": {
    "dltype": ["list_str", ["float32", "float32", "float32", "float32", "float32"]],
    "device_index": ["list_int", [1, 1, 1, 1, 1]],
    "storage_id": ["list_int", [0, 1, 2, 2, 3]],
    "shape": ["list_shape", [[1, 2, 3, 3], [1, 2, 3, 3], [1, 2, 3, 3], [18], [18]]]
  },
  "node_row_ptr": [0, 1, 2, 3, 4, 5]
})";

// The nnvm era: node attributes under "attr", integer values, two-element inputs and heads,
// "control_deps", graph attributes the executor skips ("dtype" type flags, a size), a "__copy" node, and
// the library's entry function named through "__tvm_main__".  y = 2 (x + w).
const char* kNnvmGraph = R"({
  "nodes": [
    {"op": "null", "name": "x", "inputs": []},
    {"op": "null", "name": "w", "inputs": []},
    {"op": "tvm_op", "name": "fuse_broadcast_add", "attr": {"func_name": "add_param", "num_inputs": 2,
     "num_outputs": 1, "flatten_data": 1}, "inputs": [[0, 0], [1, 0]], "control_deps": []},
    {"op": "tvm_op", "name": "copy", "attr": {"func_name": "__copy", "num_inputs": "1", "num_outputs": "1",
     "flatten_data": "0"}, "inputs": [[2, 0]]},
    {"op": "tvm_op", "name": "fuse_scale", "attr": {"func_name": "__tvm_main__", "num_inputs": "1",
     "num_outputs": "1", "flatten_data": "0"}, "inputs": [[3, 0]]}
  ],
  "arg_nodes": [0, 1],
  "node_row_ptr": [0, 1, 2, 3, 4, 5],
  "heads": [[4, 0]],
  "attrs": {
    "storage_id": ["list_int", [0, 1, 2, 3, 4]],
    "shape": ["list_shape", [[1, 2, 3, 3], [1, 2, 3, 3], [1, 2, 3, 3], [1, 2, 3, 3], [1, 2, 3, 3]]],
    "dltype": ["list_str", ["float32", "float32", "float32", "float32", "float32"]],
    "dtype": ["list_int", [0, 0, 0, 0, 0]],
    "num_entries": ["size_t", 5]
  },
  "metadata": {}
})";

std::string Parsed(const std::string& json, graph::Graph* g) {
  std::string err;
  return graph::ParseGraphJson(json, g, &err) ? "" : err;
}

// Runs the graph once over the test model library with x = 0..17 and its parameter named `param` = 1;
// returns the output.
std::vector<float> RunForm(const std::string& json, const std::string& param, std::string* err) {
  Loaded m;
  std::vector<float> x(18);
  for (int i = 0; i < 18; ++i) x[i] = static_cast<float>(i);
  std::vector<std::string> out;
  if (m.Load(json, {FloatParam(param, {1, 2, 3, 3}, std::vector<float>(18, 1.0f))}, TVM_TEST_MODEL))
    out = m.Run({Bytes(x)});
  *err = m.err;
  return out.empty() ? std::vector<float>() : Values<float>(out[0]);
}

}  // namespace

TEST(GraphForms, RelayAndNnvmEraGraphsRun) {
  std::vector<float> want(18);
  for (int i = 0; i < 18; ++i) want[i] = 2.0f * (i + 1.0f);
  std::string err;
  EXPECT_EQ(RunForm(kRelayGraph, "p0", &err), want) << err;
  EXPECT_EQ(RunForm(kNnvmGraph, "w", &err), want) << err;
  // The nnvm graph's first node flattens its tensors (an integer flag); the static graph's last one too (a text).
  graph::Graph g;
  ASSERT_EQ(Parsed(kNnvmGraph, &g), "");
  EXPECT_TRUE(g.nodes[2].flatten_data);
  EXPECT_EQ(g.nodes[2].num_outputs, 1u);
  ASSERT_EQ(Parsed(StaticGraph(), &g), "");
  EXPECT_TRUE(g.nodes[3].flatten_data);
}

// Malformed graphs are refused with the reason, and what this runtime cannot run with the node (or key) named.
TEST(GraphForms, MalformedAndUnsupportedGraphsSayWhy) {
  const std::string relay = kRelayGraph, good = StaticGraph();
  struct Case {
    std::string json, reason;
  } const cases[] = {
      {"", "does not parse"},
      {ReplaceOnce(good, "\"heads\"", "\"headz\""), "lacks \"heads\""},
      {ReplaceOnce(good, "[[2, 0, 0]]", "[[2, 1, 0]]"), "refers to output 1"},
      {ReplaceOnce(good, "[0, 1, 2, 3, 4]", "[0, 1, 2, 3, 5]"), "node_row_ptr\" is inconsistent"},
      {ReplaceOnce(good, "\"arg_nodes\": [0, 1]", "\"arg_nodes\": [0]"), "missing from \"arg_nodes\""},
      {ReplaceOnce(good, "[[3, 0, 0]]", "[[9, 0, 0]]"), "names no node output"},
      {ReplaceOnce(good, "\"float32\", \"float32\"", "\"float32\", \"complex64\""), "unknown data type"},
      {ReplaceOnce(good, "[[1, 2, 3, 3], [1, 2, 3, 3]", "[[1, 2, 3, -3], [1, 2, 3, 3]"), "bad extent"},
      {ReplaceOnce(good, "[0, 1, 2, 3]]", "[0, 1, 2, -1]]"), "bad storage_id"},
      {ReplaceOnce(good, "\"num_inputs\": \"2\"", "\"num_inputs\": \"3\""), "num_inputs"},
      {ReplaceOnce(good, "\"op\": \"tvm_op\"", "\"op\": \"conv\""), "unknown op"},
      {ReplaceOnce(relay, "[1, 1, 1, 1, 1]", "[1, 1, 2, 1, 1]"),
       "graph node 2 (\"tvmgen_default_fused_add\") is placed on device type 2"},
      {ReplaceOnce(relay, "\"op\": \"tvm_op\", \"name\": \"reshape_nop\"", "\"op\": \"reshape\", \"name\": \"reshape_nop\""),
       "graph node 3 (\"reshape_nop\") has unknown op \"reshape\""},
      {ReplaceOnce(relay, "\"__nop\"", "\"__shape_of\""), "graph node 3 (\"reshape_nop\") calls \"__shape_of\""},
      {ReplaceOnce(relay, "\"inputs\": [[3, 0, 0]]", "\"inputs\": [[3, 0, 0]], \"subgraphs\": []"),
       "graph node 4 (\"tvmgen_default_fused_multiply\") has the key \"subgraphs\""},
      {ReplaceOnce(relay, "\"attrs\": {\"num_outputs\": \"1\", \"num_inputs\": \"2\"",
                   "\"attr\": {}, \"attrs\": {\"num_outputs\": \"1\", \"num_inputs\": \"2\""),
       "graph node 2 (\"tvmgen_default_fused_add\") has both \"attrs\" and \"attr\""},
      {ReplaceOnce(relay, "\"device_index\"", "\"layout\": [\"list_str\", []], \"device_index\""),
       "graph attr \"layout\""},
      {ReplaceOnce(relay, "\"arg_nodes\"", "\"lib\": 1, \"arg_nodes\""), "graph JSON has the key \"lib\""},
  };
  graph::Graph g;
  for (const Case& c : cases) {
    const std::string err = Parsed(c.json, &g);
    EXPECT_NE(err.find(c.reason), std::string::npos) << "expected \"" << c.reason << "\" in \"" << err << "\"";
  }
  std::string err;
  EXPECT_TRUE(RunForm(ReplaceOnce(relay, "\"add_param\"", "\"tvmgen_default_fused_add\""), "p0", &err).empty());
  EXPECT_NE(err.find("no function \"tvmgen_default_fused_add\" (graph node 2, \"tvmgen_default_fused_add\")"),
            std::string::npos)
      << err;
  // A library with its parameters linked in.
  graph::GraphExecutor ex;
  ASSERT_EQ(Parsed(StaticGraph("add_param"), &g), "");
  EXPECT_FALSE(ex.Init(g, Module::LoadFromFile(TVM_TEST_LINKED, ""), &err));
  EXPECT_NE(err.find("_lookup_linked_param"), std::string::npos) << err;
}

// Saved parameters of every element type TVM writes (the data size is (bits + 7) / 8 bytes per element,
// one byte per bool), scalars, and a blob without parameters.
TEST(ParamForms, ElementTypesScalarsAndEmptyBlobs) {
  struct Case {
    DLDataType type;
    std::vector<int64_t> shape;
    size_t bytes;
  } const cases[] = {
      {{kDLFloat, 32, 1}, {2, 3}, 24}, {{kDLFloat, 16, 1}, {5}, 10}, {{kDLInt, 8, 1}, {3, 1}, 3},
      {{kDLUInt, 8, 1}, {4}, 4},       {{kDLInt, 64, 1}, {}, 8},     {{kDLUInt, 1, 1}, {7}, 7},
      {{kDLBfloat, 16, 1}, {2}, 4},    {{kDLInt, 32, 1}, {0}, 0},
  };
  std::vector<graph::ParamArray> in;
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    graph::ParamArray p;
    p.name = "p" + std::to_string(i);
    p.dtype = cases[i].type;
    p.shape = cases[i].shape;
    for (size_t b = 0; b < cases[i].bytes; ++b) p.data.push_back(static_cast<char>(i * 16 + b));
    in.push_back(p);
  }
  std::vector<graph::ParamArray> out;
  std::string err;
  ASSERT_TRUE(graph::ParseParams(graph::SaveParams(in), &out, &err)) << err;
  ASSERT_EQ(out.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    EXPECT_EQ(out[i].name, in[i].name);
    EXPECT_EQ(out[i].shape, in[i].shape);
    EXPECT_EQ(out[i].data, in[i].data);
  }
  // A bool array whose size counts bits instead of bytes does not add up.
  graph::ParamArray wrong = in[5];
  wrong.data.resize(1);
  EXPECT_FALSE(graph::ParseParams(graph::SaveParams({wrong}), &out, &err));
  EXPECT_NE(err.find("\"p5\" declares 1 data bytes, its shape and type need 7"), std::string::npos) << err;
  ASSERT_TRUE(graph::ParseParams(graph::SaveParams({}), &out, &err)) << err;
  EXPECT_TRUE(out.empty());
}
