// Reading and checking TVM graph-executor JSON.
#ifndef TVM_SRC_GRAPH_GRAPH_JSON_H_
#define TVM_SRC_GRAPH_GRAPH_JSON_H_

#include <dlpack/dlpack.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tvm {
namespace runtime {
namespace graph {

struct NodeEntryRef {
  uint32_t node_id = 0;
  uint32_t index = 0;
};

struct GraphNode {
  std::string op;         // "null" or "tvm_op"
  std::string name;
  std::string func_name;  // tvm_op only
  std::vector<NodeEntryRef> inputs;
  uint32_t num_outputs = 1;
  bool flatten_data = false;
};

struct Graph {
  std::vector<GraphNode> nodes;
  std::vector<uint32_t> arg_nodes;
  std::vector<uint32_t> node_row_ptr;
  std::vector<NodeEntryRef> heads;
  std::vector<DLDataType> dtypes;             // per entry
  std::vector<std::vector<int64_t>> shapes;   // per entry; -1 = given at run time
  std::vector<int64_t> storage_ids;           // per entry
  bool has_runtime_extents = false;

  uint32_t EntryId(uint32_t node_id, uint32_t index) const { return node_row_ptr[node_id] + index; }
  uint32_t EntryId(const NodeEntryRef& e) const { return EntryId(e.node_id, e.index); }
  size_t num_entries() const { return dtypes.size(); }
};

/* Parses and checks everything: required keys, types, node references, node_row_ptr, attribute list
   lengths, shapes (extents >= 0 or -1, at most 32 dimensions) and data-type texts.  false with a text in
   *err on the first problem. */
bool ParseGraphJson(const std::string& json, Graph* out, std::string* err);

/* Bytes of one tensor of this type and shape (shape without -1); UINT64_MAX when that does not fit in 64
   bits. */
uint64_t TensorBytes(DLDataType t, const std::vector<int64_t>& shape);

}  // namespace graph
}  // namespace runtime
}  // namespace tvm

#endif  // TVM_SRC_GRAPH_GRAPH_JSON_H_
