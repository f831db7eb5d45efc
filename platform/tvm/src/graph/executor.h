// Runs one batch item of a graph: storage per storage id, parameters, and the graph's functions.
#ifndef TVM_SRC_GRAPH_EXECUTOR_H_
#define TVM_SRC_GRAPH_EXECUTOR_H_

#include <tvm/runtime/c_runtime_api.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/packed_func.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "graph/graph_json.h"
#include "graph/params.h"

namespace tvm {
namespace runtime {
namespace graph {

using Shape = std::vector<int64_t>;

class GraphExecutor {
 public:
  /* Takes the checked graph and finds every tvm_op function in `lib` ("__nop" and "__copy" are built
     in).  false with a text in *err when one is missing. */
  bool Init(Graph graph, Module lib, std::string* err);

  /* Marks the placeholders named in `params` as parameters (the others are the inputs, in arg_nodes
     order), sizes storage for the largest shapes (max_input_shapes, one per input; for -1 extents) and
     copies the parameter data in.  A parameter must match its entry's type and shape exactly. */
  bool LoadParams(const std::map<std::string, const ParamArray*>& params, const std::vector<Shape>& max_input_shapes,
                  std::string* err);

  const Graph& graph() const { return graph_; }
  size_t num_inputs() const { return input_entries_.size(); }
  size_t num_outputs() const { return graph_.heads.size(); }
  /* Entry id of input i / output o. */
  uint32_t input_entry(size_t i) const { return input_entries_[i]; }
  uint32_t output_entry(size_t o) const { return graph_.EntryId(graph_.heads[o]); }
  DLDataType entry_dtype(uint32_t e) const { return graph_.dtypes[e]; }
  const Shape& declared_shape(uint32_t e) const { return graph_.shapes[e]; }
  const std::vector<std::string>& param_names() const { return param_names_; }

  /* Shapes of every entry for the given input shapes: inputs take theirs; every -1 at position d of any
     other entry takes input 0's extent at d.  false when an input shape does not fit its declaration. */
  bool ResolveShapes(const std::vector<Shape>& input_shapes, std::vector<Shape>* entry_shapes, std::string* err) const;

  /* Everything one item's run needs at fixed entry shapes, prepared once: the tensors over the storage
     and each node's packed arguments.  Valid while the executor's storage is (until LoadParams). */
  struct RunPlan {
    RunPlan() = default;
    RunPlan(const RunPlan&) = delete;  // the tensors point into the plan's own vectors
    RunPlan& operator=(const RunPlan&) = delete;
    RunPlan(RunPlan&&) = default;
    RunPlan& operator=(RunPlan&&) = default;
    struct Call {
      size_t node = 0;
      std::vector<DLTensor> args;  // the node's inputs then outputs (flattened when flatten_data)
      std::vector<TVMValue> values;
      std::vector<int> codes;
    };
    std::vector<Shape> entry_shapes;
    std::vector<Shape> flat;        // per entry: {element count}
    std::vector<DLTensor> tensors;  // per entry
    std::vector<Call> calls;        // tvm_op nodes in order, "__nop" left out
  };
  /* Builds the plan for entry shapes from ResolveShapes.  false with a text when a shape does not fit
     the storage or a "__copy" node copies between sizes that differ. */
  bool Prepare(const std::vector<Shape>& entry_shapes, RunPlan* plan, std::string* err) const;

  /* Runs one item: inputs[i] holds the bytes of input i at the plan's shapes; `sink(o, data, bytes)`
     receives each output while the storage is locked.  Serialised per executor.  Takes no memory from
     the heap unless a kernel fails. */
  bool Run(RunPlan& plan, const void* const* inputs, const std::function<void(size_t, const void*, uint64_t)>& sink,
           std::string* err);

 private:
  struct Storage {
    void* data = nullptr;
    uint64_t bytes = 0;
  };
  struct FreeDeleter {
    void operator()(void* p) const;
  };
  Graph graph_;
  Module lib_;
  std::vector<PackedFunc> funcs_;  // per node; null for placeholders and built-ins
  std::vector<uint32_t> input_entries_;
  std::vector<std::string> param_names_;
  std::vector<std::unique_ptr<void, FreeDeleter>> buffers_;
  std::map<int64_t, Storage> storage_;
  std::mutex run_mutex_;
};

}  // namespace graph
}  // namespace runtime
}  // namespace tvm

#endif  // TVM_SRC_GRAPH_EXECUTOR_H_
