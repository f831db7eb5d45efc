// Graph JSON and parameter blobs for the runtime tests.
#ifndef TESTS_UNIT_TVM_TEST_HELPERS_H_
#define TESTS_UNIT_TVM_TEST_HELPERS_H_

#include <string>
#include <vector>

#include "graph/params.h"

namespace tvmtest {

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

inline tvm::runtime::graph::ParamArray FloatParam(const std::string& name, std::vector<int64_t> shape,
                                                  const std::vector<float>& values) {
  tvm::runtime::graph::ParamArray p;
  p.name = name;
  p.dtype = DLDataType{kDLFloat, 32, 1};
  p.shape = std::move(shape);
  p.data.assign(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
  return p;
}

// w = 0, 1, ..., 17 (the value 0 puts NUL bytes in the blob).
inline std::string StaticParams() {
  std::vector<float> w(18);
  for (int i = 0; i < 18; ++i) w[i] = static_cast<float>(i);
  return tvm::runtime::graph::SaveParams({FloatParam("w", {1, 2, 3, 3}, w)});
}

inline std::string BiasParams(float b0, float b1, float b2) {
  return tvm::runtime::graph::SaveParams({FloatParam("b", {3}, {b0, b1, b2})});
}

inline std::string ReplaceOnce(std::string s, const std::string& from, const std::string& to) {
  size_t p = s.find(from);
  if (p != std::string::npos) s.replace(p, from.size(), to);
  return s;
}

}  // namespace tvmtest

#endif  // TESTS_UNIT_TVM_TEST_HELPERS_H_
