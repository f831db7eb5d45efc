#include "graph/executor.h"

#include <tvm/runtime/packed_func.h>

#include <cstdlib>
#include <cstring>

namespace tvm {
namespace runtime {
namespace graph {

namespace {
constexpr uint64_t kMaxStorageBytes = uint64_t(4) << 30;
bool SameShape(const Shape& a, const Shape& b) { return a == b; }
}  // namespace

void GraphExecutor::FreeDeleter::operator()(void* p) const { std::free(p); }

bool GraphExecutor::Init(Graph graph, Module lib, std::string* err) {
  graph_ = std::move(graph);
  lib_ = std::move(lib);
  funcs_.assign(graph_.nodes.size(), PackedFunc());
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
      *err = "the model library has no function \"" + n.func_name + "\" (graph node " + std::to_string(i) + ")";
      return false;
    }
    funcs_[i] = f;
  }
  if (graph_.nodes.size() > 0) {
    for (size_t i = 0; i < graph_.nodes.size(); ++i) {
      const GraphNode& n = graph_.nodes[i];
      if (n.op == "tvm_op" && n.func_name == "__copy" && (n.inputs.size() != 1 || n.num_outputs != 1)) {
        *err = "graph node " + std::to_string(i) + " (__copy) needs one input and one output";
        return false;
      }
    }
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
                               const std::vector<Shape>& max_input_shapes, std::string* err) {
  input_entries_.clear();
  param_names_.clear();
  storage_.clear();
  buffers_.clear();
  std::map<std::string, uint32_t> placeholder;
  for (uint32_t nid : graph_.arg_nodes) placeholder[graph_.nodes[nid].name] = nid;
  for (const auto& kv : params) {
    if (!placeholder.count(kv.first)) {
      *err = "parameter \"" + kv.first + "\" names no placeholder of the graph";
      return false;
    }
  }
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
      *err = "parameter \"" + p->name + "\" differs in type or shape from its graph entry";
      return false;
    }
    param_entries.emplace_back(eid, p);
    param_names_.push_back(p->name);
  }
  std::vector<Shape> shapes;
  if (!ResolveShapes(max_input_shapes, &shapes, err)) return false;
  for (size_t e = 0; e < shapes.size(); ++e) {
    uint64_t bytes = TensorBytes(graph_.dtypes[e], shapes[e]);
    if (bytes > kMaxStorageBytes) {
      *err = "entry " + std::to_string(e) + " needs more than 4 GiB";
      return false;
    }
    Storage& s = storage_[graph_.storage_ids[e]];
    if (bytes > s.bytes) s.bytes = bytes;
  }
  for (auto& kv : storage_) {
    uint64_t size = (kv.second.bytes + 63) / 64 * 64;
    if (size == 0) size = 64;
    void* p = std::aligned_alloc(64, size);
    if (!p) {
      *err = "out of host memory for graph storage";
      return false;
    }
    std::memset(p, 0, size);
    buffers_.emplace_back(p);
    kv.second.data = p;
  }
  for (const auto& pe : param_entries)
    std::memcpy(storage_[graph_.storage_ids[pe.first]].data, pe.second->data.data(), pe.second->data.size());
  return true;
}

bool GraphExecutor::Run(const std::vector<Shape>& entry_shapes, const void* const* inputs,
                        const std::function<void(size_t, const void*, uint64_t)>& sink, std::string* err) {
  std::lock_guard<std::mutex> lock(run_mutex_);
  if (entry_shapes.size() != graph_.num_entries() || storage_.empty()) {
    *err = "graph is not ready to run";
    return false;
  }
  const size_t n = graph_.num_entries();
  std::vector<DLTensor>& tensors = tensors_;
  tensors.resize(n);
  flat_.resize(n);
  for (size_t e = 0; e < n; ++e) {
    Storage& s = storage_[graph_.storage_ids[e]];
    uint64_t bytes = TensorBytes(graph_.dtypes[e], entry_shapes[e]);
    if (bytes > s.bytes) {
      *err = "entry " + std::to_string(e) + " needs " + std::to_string(bytes) + " bytes, its storage has " +
             std::to_string(s.bytes);
      return false;
    }
    DLTensor& t = tensors[e];
    t.data = s.data;
    t.device = DLDevice{kDLCPU, 0};
    t.ndim = static_cast<int32_t>(entry_shapes[e].size());
    t.dtype = graph_.dtypes[e];
    t.shape = const_cast<int64_t*>(entry_shapes[e].data());
    t.strides = nullptr;
    t.byte_offset = 0;
    uint64_t elems = 1;
    for (int64_t d : entry_shapes[e]) elems *= static_cast<uint64_t>(d);
    flat_[e] = static_cast<int64_t>(elems);
  }
  for (size_t i = 0; i < input_entries_.size(); ++i) {
    uint32_t e = input_entries_[i];
    std::memcpy(tensors[e].data, inputs[i], TensorBytes(graph_.dtypes[e], entry_shapes[e]));
  }
  for (size_t nid = 0; nid < graph_.nodes.size(); ++nid) {
    const GraphNode& node = graph_.nodes[nid];
    if (node.op != "tvm_op" || node.func_name == "__nop") continue;
    if (node.func_name == "__copy") {
      uint32_t in = graph_.EntryId(node.inputs[0]);
      uint32_t out = graph_.EntryId(static_cast<uint32_t>(nid), 0);
      uint64_t ib = TensorBytes(graph_.dtypes[in], entry_shapes[in]);
      uint64_t ob = TensorBytes(graph_.dtypes[out], entry_shapes[out]);
      if (ib != ob) {
        *err = "graph node " + std::to_string(nid) + " (__copy) copies between tensors of different sizes";
        return false;
      }
      std::memmove(tensors[out].data, tensors[in].data, ib);
      continue;
    }
    const size_t nargs = node.inputs.size() + node.num_outputs;
    if (args_.size() < nargs) {
      args_.resize(nargs);
      values_.resize(nargs);
      codes_.resize(nargs);
    }
    std::vector<DLTensor>& args_t = args_;
    std::vector<TVMValue>& values = values_;
    std::vector<int>& codes = codes_;
    for (size_t k = 0; k < nargs; ++k) {
      codes[k] = kTVMDLTensorHandle;
      uint32_t e = k < node.inputs.size() ? graph_.EntryId(node.inputs[k])
                                          : graph_.EntryId(static_cast<uint32_t>(nid),
                                                           static_cast<uint32_t>(k - node.inputs.size()));
      args_t[k] = tensors[e];
      if (node.flatten_data) {
        args_t[k].ndim = 1;
        args_t[k].shape = &flat_[e];
      }
      values[k].v_handle = &args_t[k];
    }
    TVMRetValue rv;
    try {
      funcs_[nid].CallPacked(TVMArgs(values.data(), codes.data(), static_cast<int>(nargs)), &rv);
    } catch (const std::exception& ex) {
      *err = "graph node " + std::to_string(nid) + " (" + node.name + "): " + ex.what();
      return false;
    }
  }
  for (size_t o = 0; o < graph_.heads.size(); ++o) {
    uint32_t e = output_entry(o);
    sink(o, tensors[e].data, TensorBytes(graph_.dtypes[e], entry_shapes[e]));
  }
  return true;
}

}  // namespace graph
}  // namespace runtime
}  // namespace tvm
