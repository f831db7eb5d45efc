// Graph JSON and parameter blobs for the runtime tests.
#ifndef TESTS_UNIT_TVM_TEST_HELPERS_H_
#define TESTS_UNIT_TVM_TEST_HELPERS_H_

#include <tvm/runtime/module.h>
#include <tvm/runtime/registry.h>

#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph/executor.h"
#include "graph/graph_json.h"
#include "graph/params.h"

namespace tvmtest {

namespace tg = tvm::runtime::graph;

// A global function of the runtime; throws when it is not registered.
inline const tvm::runtime::PackedFunc& Global(const char* name) {
  const tvm::runtime::PackedFunc* f = tvm::runtime::Registry::Get(name);
  if (!f) throw std::runtime_error(name);
  return *f;
}

// The card runtime's text for one of its error codes.
inline std::string CardError(int code) { return Global("tvm.graph_runtime.error_string")(code); }

// x [1,2,3,3] + w (param) -> add_param -> scale2 -> output [1,2,3,3], all float32.
inline std::string StaticGraph(const std::string& second_func = "scale2") {
  return R"({
  "nodes": [
    {"op": "null", "name": "x", "inputs": []},
    {"op": "null", "name": "w", "inputs": []},
    {"op": "tvm_op", "name": "add", "inputs": [[0, 0, 0], [1, 0, 0]],
     "attrs": {"func_name": "add_param", "num_inputs": "2", "num_outputs": "1", "flatten_data": "0"}},
    {"op": "tvm_op", "name": "second", "inputs": [[2, 0, 0]],
     "attrs": {"func_name": ")" + second_func + R"(", "num_inputs": "1", "num_outputs": "1", "flatten_data": "1"}}
  ],
  "arg_nodes": [0, 1],
  "node_row_ptr": [0, 1, 2, 3, 4],
  "heads": [[3, 0, 0]],
  "attrs": {
    "dltype": ["list_str", ["float32", "float32", "float32", "float32"]],
    "shape": ["list_shape", [[1, 2, 3, 3], [1, 2, 3, 3], [1, 2, 3, 3], [1, 2, 3, 3]]],
    "storage_id": ["list_int", [0, 1, 2, 3]]
  }
})";
}

// x [1,3,-1,-1] + b[3] (param) -> add_bias -> __copy -> output [1,3,-1,-1].
inline std::string DynamicGraph() {
  return R"({
  "nodes": [
    {"op": "null", "name": "x", "inputs": []},
    {"op": "null", "name": "b", "inputs": []},
    {"op": "tvm_op", "name": "bias", "inputs": [[0, 0], [1, 0]],
     "attrs": {"func_name": "add_bias", "num_inputs": "2", "num_outputs": "1"}},
    {"op": "tvm_op", "name": "copy", "inputs": [[2, 0]], "attrs": {"func_name": "__copy", "num_inputs": "1"}}
  ],
  "arg_nodes": [0, 1],
  "node_row_ptr": [0, 1, 2, 3, 4],
  "heads": [[3, 0, 0]],
  "attrs": {
    "dltype": ["list_str", ["float32", "float32", "float32", "float32"]],
    "shape": ["list_shape", [[1, 3, -1, -1], [3], [1, 3, -1, -1], [1, 3, -1, -1]]],
    "storage_id": ["list_int", [0, 1, 2, 3]]
  }
})";
}

// The bytes of a vector of elements, and back.
template <typename T>
inline std::string Bytes(const std::vector<T>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}
template <typename T>
inline std::vector<T> Values(const std::string& b) {
  std::vector<T> v(b.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}

inline tg::ParamArray Param(const std::string& name, DLDataType t, std::vector<int64_t> shape, std::string data) {
  tg::ParamArray p;
  p.name = name;
  p.dtype = t;
  p.shape = std::move(shape);
  p.data = std::move(data);
  return p;
}

inline tg::ParamArray FloatParam(const std::string& name, std::vector<int64_t> shape, const std::vector<float>& values) {
  return Param(name, DLDataType{kDLFloat, 32, 1}, std::move(shape), Bytes(values));
}

// w = 0, 1, ..., 17 (the value 0 puts NUL bytes in the blob).
inline std::string StaticParams() {
  std::vector<float> w(18);
  for (int i = 0; i < 18; ++i) w[i] = static_cast<float>(i);
  return tg::SaveParams({FloatParam("w", {1, 2, 3, 3}, w)});
}

inline std::string BiasParams(float b0, float b1, float b2) {
  return tg::SaveParams({FloatParam("b", {3}, {b0, b1, b2})});
}

// A graph loaded over a model library with its parameters, at its declared input shapes.
struct Loaded {
  tg::GraphExecutor ex;
  std::vector<tg::ParamArray> params;
  std::string err;

  bool Load(const std::string& json, const std::vector<tg::ParamArray>& ps, const char* lib = TVM_TEST_VARIANTS) {
    tg::Graph g;
    if (!tg::ParseGraphJson(json, &g, &err) ||
        !ex.Init(std::move(g), tvm::runtime::Module::LoadFromFile(lib, ""), &err))
      return false;
    // Through the saved form, as the runtime gets them.
    if (!tg::ParseParams(tg::SaveParams(ps), &params, &err)) return false;
    std::map<std::string, const tg::ParamArray*> byName;
    for (const auto& p : params) byName[p.name] = &p;
    std::vector<tg::Shape> shapes;
    for (uint32_t nid : ex.graph().arg_nodes)
      if (!byName.count(ex.graph().nodes[nid].name)) shapes.push_back(ex.graph().shapes[ex.graph().EntryId(nid, 0)]);
    return ex.LoadParams(byName, shapes, &err);
  }

  // One run; the outputs' bytes, or none with err set.
  std::vector<std::string> Run(const std::vector<std::string>& inputs) {
    std::vector<tg::Shape> shapes, entry_shapes;
    for (size_t i = 0; i < ex.num_inputs(); ++i) shapes.push_back(ex.declared_shape(ex.input_entry(i)));
    tg::GraphExecutor::RunPlan plan;
    if (!ex.ResolveShapes(shapes, &entry_shapes, &err) || !ex.Prepare(entry_shapes, &plan, &err)) return {};
    std::vector<const void*> in;
    for (const auto& s : inputs) in.push_back(s.data());
    std::vector<std::string> out(ex.num_outputs());
    if (!ex.Run(plan, in.data(), [&](size_t o, const void* d, uint64_t n) {
          out[o].assign(static_cast<const char*>(d), n);
        }, &err))
      return {};
    return out;
  }
};

inline std::string ReplaceOnce(std::string s, const std::string& from, const std::string& to) {
  size_t p = s.find(from);
  if (p != std::string::npos) s.replace(p, from.size(), to);
  return s;
}

}  // namespace tvmtest

#endif  // TESTS_UNIT_TVM_TEST_HELPERS_H_
