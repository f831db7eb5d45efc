#include "graph/executor.h"

#include <tvm/runtime/data_type.h>
#include <tvm/runtime/packed_func.h>

#include <cstdlib>
#include <cstring>

#include "runtime/backend_func.h"

namespace tvm {
namespace runtime {
namespace graph {

namespace {
bool SameShape(const Shape& a, const Shape& b) { return a == b; }
// Bytes of the buffer of a storage id whose largest entry takes `bytes`: whole 64-byte lines, at least one.
uint64_t StorageBytes(uint64_t bytes) { return bytes == 0 ? 64 : (bytes + 63) / 64 * 64; }
// "float32 [1, 3]"
std::string TypeAndShape(DLDataType t, const Shape& s) {
  std::string text = DLDataType2String(t) + " [";
  for (size_t d = 0; d < s.size(); ++d) text += (d ? ", " : "") + std::to_string(s[d]);
  return text + "]";
}
}  // namespace

void GraphExecutor::FreeDeleter::operator()(void* p) const { std::free(p); }

void RunGate::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  // Marks the gate as possibly awaited; whoever leaves it then wakes a waiter under the mutex, so a wake-up
  // cannot fall between this exchange and the wait.
  while (state_.exchange(2, std::memory_order_acquire) != 0) cv_.wait(lock);
}

void RunGate::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  cv_.notify_one();
}

bool GraphExecutor::Init(Graph graph, Module lib, std::string* err) {
  graph_ = std::move(graph);
  lib_ = std::move(lib);
  funcs_.assign(graph_.nodes.size(), PackedFunc());
  direct_.assign(graph_.nodes.size(), nullptr);
  direct_names_.assign(graph_.nodes.size(), nullptr);
  // A library built with its parameters linked in hands them out through this function instead of a
  // parameter blob; the executor takes parameters from the blob only.
  try {
    if (lib_.GetFunction("_lookup_linked_param", true).defined()) {
      *err = "the model library has its parameters linked in (_lookup_linked_param); build it without linking "
             "the parameters and pass them as the parameter blob";
      return false;
    }
  } catch (const std::exception& e) {
    *err = e.what();
    return false;
  }
  for (size_t i = 0; i < graph_.nodes.size(); ++i) {
    const GraphNode& n = graph_.nodes[i];
    if (n.op != "tvm_op" || n.func_name == "__nop" || n.func_name == "__copy") continue;
    PackedFunc f;
    try {
      f = lib_.GetFunction(n.func_name, true);
    } catch (const std::exception& e) {
      *err = e.what();
      return false;
    }
    if (!f.defined()) {
      *err = "the model library has no function \"" + n.func_name + "\" (graph node " + std::to_string(i) + ", \"" +
             n.name + "\")";
      return false;
    }
    funcs_[i] = f;
    direct_[i] = BackendFunctionOf(f, &direct_names_[i]);
  }
  return true;
}

bool GraphExecutor::ResolveShapes(const std::vector<Shape>& input_shapes, std::vector<Shape>* entry_shapes,
                                  std::string* err) const {
  if (input_shapes.size() != input_entries_.size()) {
    *err = "expected " + std::to_string(input_entries_.size()) + " input shapes, got " +
           std::to_string(input_shapes.size());
    return false;
  }
  entry_shapes->assign(graph_.shapes.begin(), graph_.shapes.end());
  for (size_t i = 0; i < input_entries_.size(); ++i) {
    const Shape& decl = graph_.shapes[input_entries_[i]];
    const Shape& given = input_shapes[i];
    bool ok = decl.size() == given.size();
    for (size_t d = 0; ok && d < decl.size(); ++d) ok = given[d] >= 0 && (decl[d] == -1 || decl[d] == given[d]);
    if (!ok) {
      *err = "input " + std::to_string(i) + " shape does not fit its declared shape";
      return false;
    }
    (*entry_shapes)[input_entries_[i]] = given;
  }
  for (size_t e = 0; e < entry_shapes->size(); ++e) {
    Shape& s = (*entry_shapes)[e];
    for (size_t d = 0; d < s.size(); ++d) {
      if (s[d] != -1) continue;
      if (input_shapes.empty() || d >= input_shapes[0].size()) {
        *err = "entry " + std::to_string(e) + " has a run-time extent at position " + std::to_string(d) +
               " that input 0 does not have";
        return false;
      }
      s[d] = input_shapes[0][d];
    }
  }
  return true;
}

bool GraphExecutor::LoadParams(const std::map<std::string, const ParamArray*>& params,
                               const std::vector<Shape>& max_input_shapes, std::string* err, bool* by_shapes) {
  if (by_shapes) *by_shapes = false;
  input_entries_.clear();
  param_names_.clear();
  storage_.clear();
  buffers_.clear();
  // A saved parameter that names no placeholder is left out, as TVM's graph executor leaves it out: a blob
  // saved for a larger graph loads into the part it shares.
  std::vector<std::pair<uint32_t, const ParamArray*>> param_entries;
  for (uint32_t nid : graph_.arg_nodes) {
    uint32_t eid = graph_.EntryId(nid, 0);
    auto it = params.find(graph_.nodes[nid].name);
    if (it == params.end()) {
      input_entries_.push_back(eid);
      continue;
    }
    const ParamArray* p = it->second;
    const DLDataType t = graph_.dtypes[eid];
    if (p->dtype.code != t.code || p->dtype.bits != t.bits || p->dtype.lanes != t.lanes ||
        !SameShape(p->shape, graph_.shapes[eid])) {
      *err = "parameter \"" + p->name + "\" is " + TypeAndShape(p->dtype, p->shape) + ", its graph entry " +
             TypeAndShape(t, graph_.shapes[eid]);
      return false;
    }
    // A saved array holds whole bytes per element of the scalar type, so a vector type of byte-sized lanes
    // (float32x4) cannot fill its entry.
    if (p->data.size() != TensorBytes(t, graph_.shapes[eid])) {
      *err = "parameter \"" + p->name + "\" (" + DLDataType2String(t) + ") holds " + std::to_string(p->data.size()) +
             " bytes, its graph entry needs " + std::to_string(TensorBytes(t, graph_.shapes[eid])) +
             ": parameters of vector types are not supported";
      return false;
    }
    param_entries.emplace_back(eid, p);
    param_names_.push_back(p->name);
  }
  std::vector<Shape> shapes;
  if (!ResolveShapes(max_input_shapes, &shapes, err)) {
    if (by_shapes) *by_shapes = true;
    return false;
  }
  // The storage is sized, and its whole size checked, before any of it is taken; it becomes the
  // executor's only once all of it is there (until then Prepare finds none).
  std::map<int64_t, Storage> storage;
  bool sized_by_shapes = false;  // some entry takes a size from the input shapes
  for (size_t e = 0; e < shapes.size(); ++e) {
    uint64_t bytes = TensorBytes(graph_.dtypes[e], shapes[e]);
    if (shapes[e] != graph_.shapes[e]) sized_by_shapes = true;
    if (bytes > kMaxStorageBytes) {
      *err = "entry " + std::to_string(e) + " needs more than 4 GiB";
      if (by_shapes) *by_shapes = shapes[e] != graph_.shapes[e];  // sized by the input shapes
      return false;
    }
    Storage& s = storage[graph_.storage_ids[e]];
    if (bytes > s.bytes) s.bytes = bytes;
  }
  uint64_t total = 0;
  for (const auto& kv : storage) total += StorageBytes(kv.second.bytes);  // each at most 4 GiB: no overflow
  if (total > kMaxStorageBytes) {
    *err = "graph storage needs " + std::to_string(total) + " bytes in all (" + std::to_string(storage.size()) +
           " buffers), more than 4 GiB";
    if (by_shapes) *by_shapes = sized_by_shapes;
    return false;
  }
  std::vector<std::unique_ptr<void, FreeDeleter>> buffers;
  buffers.reserve(storage.size());
  for (auto& kv : storage) {
    const uint64_t size = StorageBytes(kv.second.bytes);
    void* p = std::aligned_alloc(64, size);
    if (!p) {
      *err = "out of host memory for graph storage";
      return false;
    }
    std::memset(p, 0, size);
    buffers.emplace_back(p);
    kv.second.data = p;
  }
  for (const auto& pe : param_entries)
    std::memcpy(storage[graph_.storage_ids[pe.first]].data, pe.second->data.data(), pe.second->data.size());
  storage_.swap(storage);
  buffers_.swap(buffers);
  return true;
}

bool GraphExecutor::Prepare(const std::vector<Shape>& entry_shapes, RunPlan* plan, std::string* err) const {
  const size_t n = graph_.num_entries();
  if (entry_shapes.size() != n || storage_.empty()) {
    *err = "graph is not ready to run";
    return false;
  }
  *plan = RunPlan();
  plan->entry_shapes = entry_shapes;
  plan->tensors.resize(n);
  plan->flat.resize(n);
  for (size_t e = 0; e < n; ++e) {
    const Storage& s = storage_.at(graph_.storage_ids[e]);
    uint64_t bytes = TensorBytes(graph_.dtypes[e], entry_shapes[e]);
    if (bytes > s.bytes) {
      *err = "entry " + std::to_string(e) + " needs " + std::to_string(bytes) + " bytes, its storage has " +
             std::to_string(s.bytes);
      return false;
    }
    DLTensor& t = plan->tensors[e];
    t.data = s.data;
    t.device = DLDevice{kDLCPU, 0};
    t.ndim = static_cast<int32_t>(entry_shapes[e].size());
    t.dtype = graph_.dtypes[e];
    t.shape = const_cast<int64_t*>(plan->entry_shapes[e].data());
    t.strides = nullptr;
    t.byte_offset = 0;
    uint64_t elems = 1;
    for (int64_t d : entry_shapes[e]) elems *= static_cast<uint64_t>(d);
    plan->flat[e] = Shape{static_cast<int64_t>(elems)};
  }
  for (size_t nid = 0; nid < graph_.nodes.size(); ++nid) {
    const GraphNode& node = graph_.nodes[nid];
    if (node.op != "tvm_op" || node.func_name == "__nop") continue;
    RunPlan::Call call;
    call.node = nid;
    const size_t nargs = node.inputs.size() + node.num_outputs;
    for (size_t k = 0; k < nargs; ++k) {
      uint32_t e = k < node.inputs.size() ? graph_.EntryId(node.inputs[k])
                                          : graph_.EntryId(static_cast<uint32_t>(nid),
                                                           static_cast<uint32_t>(k - node.inputs.size()));
      DLTensor t = plan->tensors[e];
      if (node.flatten_data) {
        t.ndim = 1;
        t.shape = plan->flat[e].data();
      }
      call.args.push_back(t);
    }
    if (node.func_name == "__copy" &&
        TensorBytes(call.args[0].dtype, entry_shapes[graph_.EntryId(node.inputs[0])]) !=
            TensorBytes(call.args[1].dtype, entry_shapes[graph_.EntryId(static_cast<uint32_t>(nid), 0)])) {
      *err = "graph node " + std::to_string(nid) + " (" + node.name + ", __copy) copies between tensors of different sizes";
      return false;
    }
    if (node.func_name == "__copy") {
      call.copy = true;
      call.copy_bytes = TensorBytes(call.args[0].dtype, entry_shapes[graph_.EntryId(node.inputs[0])]);
    }
    call.direct = direct_[nid];
    call.name = direct_names_[nid];
    call.values.resize(nargs);
    call.codes.assign(nargs, kTVMDLTensorHandle);
    plan->calls.push_back(std::move(call));
  }
  for (uint32_t e : input_entries_)
    plan->inputs.push_back({plan->tensors[e].data, TensorBytes(graph_.dtypes[e], entry_shapes[e])});
  for (size_t o = 0; o < graph_.heads.size(); ++o) {
    const uint32_t e = output_entry(o);
    plan->outputs.push_back({plan->tensors[e].data, TensorBytes(graph_.dtypes[e], entry_shapes[e])});
  }
  // Pointers into the calls' own vectors, once they have stopped moving.
  for (RunPlan::Call& c : plan->calls)
    for (size_t k = 0; k < c.args.size(); ++k) c.values[k].v_handle = &c.args[k];
  return true;
}

bool GraphExecutor::Execute(RunPlan& plan, const void* const* inputs, std::string* err) {
  if (plan.tensors.size() != graph_.num_entries()) {
    *err = "graph is not ready to run";
    return false;
  }
  for (size_t i = 0; i < plan.inputs.size(); ++i) std::memcpy(plan.inputs[i].data, inputs[i], plan.inputs[i].bytes);
  for (RunPlan::Call& c : plan.calls) {
    if (c.copy) {
      std::memmove(c.args[1].data, c.args[0].data, c.copy_bytes);
      continue;
    }
    const int nargs = static_cast<int>(c.values.size());
    if (c.direct != nullptr) {
      if (CallBackendFunction(c.direct, *c.name, c.values.data(), c.codes.data(), nargs, err)) continue;
      *err = "graph node " + std::to_string(c.node) + " (" + graph_.nodes[c.node].name + "): " + *err;
      return false;
    }
    TVMRetValue rv;
    try {
      funcs_[c.node].CallPacked(TVMArgs(c.values.data(), c.codes.data(), nargs), &rv);
    } catch (const std::exception& ex) {
      *err = "graph node " + std::to_string(c.node) + " (" + graph_.nodes[c.node].name + "): " + ex.what();
      return false;
    }
  }
  return true;
}

}  // namespace graph
}  // namespace runtime
}  // namespace tvm
