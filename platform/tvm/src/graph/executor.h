// Runs one batch item of a graph: storage per storage id, parameters, and the graph's functions.
#ifndef TVM_SRC_GRAPH_EXECUTOR_H_
#define TVM_SRC_GRAPH_EXECUTOR_H_

#include <tvm/runtime/c_runtime_api.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/packed_func.h>

#include <atomic>
#include <condition_variable>
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

/* The lock that serialises the runs of one executor.  Taking it when it is free is one atomic exchange; a
   thread that finds it taken sleeps on a condition variable until the holder leaves (the holder may run
   kernels for long). */
class RunGate {
 public:
  void lock() {
    int free = 0;
    if (!state_.compare_exchange_strong(free, 1, std::memory_order_acquire)) wait();
  }
  void unlock() {
    if (state_.exchange(0, std::memory_order_release) == 2) wake();
  }

 private:
  void wait();
  void wake();
  std::atomic<int> state_{0};  // 0 free, 1 taken, 2 taken and a thread may be waiting
  std::mutex mutex_;
  std::condition_variable cv_;
};

class GraphExecutor {
 public:
  /* The most host memory one executor's storage takes, for one entry and for all its buffers together:
     the memory of the largest card. */
  static constexpr uint64_t kMaxStorageBytes = uint64_t(4) << 30;

  /* Takes the checked graph and finds every tvm_op function in `lib` ("__nop" and "__copy" are built
     in).  false with a text in *err when one is missing. */
  bool Init(Graph graph, Module lib, std::string* err);

  /* Marks the placeholders named in `params` as parameters (the others are the inputs, in arg_nodes
     order; names of no placeholder are ignored), sizes storage for the largest shapes (max_input_shapes,
     one per input; for -1 extents) and copies the parameter data in.  A parameter must match its entry's
     type and shape exactly.  Storage, parameters included, is at most kMaxStorageBytes per entry and in
     all; a graph that needs more is refused before anything is allocated.  On failure *by_shapes (when
     given) tells whether max_input_shapes were at fault rather than the parameters or the graph. */
  bool LoadParams(const std::map<std::string, const ParamArray*>& params, const std::vector<Shape>& max_input_shapes,
                  std::string* err, bool* by_shapes = nullptr);

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
      TVMBackendPackedCFunc direct = nullptr;  // the library function itself, called without packing
      const std::string* name = nullptr;       // its name, for error texts
      uint64_t copy_bytes = 0;                 // "__copy": bytes moved from args[0] to args[1]
      bool copy = false;
    };
    struct Region {
      void* data = nullptr;
      uint64_t bytes = 0;
    };
    std::vector<Shape> entry_shapes;
    std::vector<Shape> flat;        // per entry: {element count}
    std::vector<DLTensor> tensors;  // per entry
    std::vector<Call> calls;        // tvm_op nodes in order, "__nop" left out
    std::vector<Region> inputs;     // where each input's bytes go
    std::vector<Region> outputs;    // where each output's bytes are
  };
  /* Builds the plan for entry shapes from ResolveShapes.  false with a text when a shape does not fit
     the storage or a "__copy" node copies between sizes that differ. */
  bool Prepare(const std::vector<Shape>& entry_shapes, RunPlan* plan, std::string* err) const;

  /* Runs one item: inputs[i] holds the bytes of input i at the plan's shapes; `sink(o, data, bytes)`
     receives each output while the storage is locked.  Serialised per executor.  Takes no memory from
     the heap unless a kernel fails. */
  template <typename Sink>
  bool Run(RunPlan& plan, const void* const* inputs, Sink&& sink, std::string* err) {
    std::lock_guard<RunGate> lock(run_gate_);
    if (!Execute(plan, inputs, err)) return false;
    for (size_t o = 0; o < plan.outputs.size(); ++o) sink(o, plan.outputs[o].data, plan.outputs[o].bytes);
    return true;
  }

 private:
  /* Copies the inputs in and runs the plan's calls; run_gate_ held. */
  bool Execute(RunPlan& plan, const void* const* inputs, std::string* err);

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
  // Per node: the library function behind funcs_[i] and its name, when funcs_[i] wraps one.
  std::vector<TVMBackendPackedCFunc> direct_;
  std::vector<const std::string*> direct_names_;
  std::vector<uint32_t> input_entries_;
  std::vector<std::string> param_names_;
  std::vector<std::unique_ptr<void, FreeDeleter>> buffers_;
  std::map<int64_t, Storage> storage_;
  RunGate run_gate_;
};

}  // namespace graph
}  // namespace runtime
}  // namespace tvm

#endif  // TVM_SRC_GRAPH_EXECUTOR_H_
