#include "graph/graph_json.h"

#include <rapidjson/document.h>
#include <tvm/runtime/data_type.h>
#include <tvm/runtime/logging.h>

#include <cstdlib>

namespace tvm {
namespace runtime {
namespace graph {

namespace {

using rapidjson::Value;

constexpr size_t kMaxEntries = 1u << 20;
// Entries inside the graph may have any rank kernels use; the card's limit of 6 applies to inputs and
// outputs only, and is checked where the card takes them.
constexpr size_t kMaxDims = 32;

// Integer attribute given as decimal text (TVM writes strings) or as a JSON integer.
bool AttrInt(const Value& v, int64_t* out) {
  if (v.IsInt64()) {
    *out = v.GetInt64();
    return true;
  }
  if (!v.IsString() || v.GetStringLength() == 0) return false;
  char* end = nullptr;
  long long x = std::strtoll(v.GetString(), &end, 10);
  if (*end != '\0') return false;
  *out = x;
  return true;
}

bool EntryRef(const Value& v, NodeEntryRef* out) {
  if (!v.IsArray() || (v.Size() != 2 && v.Size() != 3)) return false;
  for (rapidjson::SizeType i = 0; i < v.Size(); ++i)
    if (!v[i].IsUint()) return false;
  out->node_id = v[0].GetUint();
  out->index = v[1].GetUint();
  return true;
}

// Returns the payload of an attrs value [tag, payload] with the expected tag, or nullptr.
const Value* TaggedList(const Value& attrs, const char* key, const char* tag, std::string* err) {
  auto it = attrs.FindMember(key);
  if (it == attrs.MemberEnd()) {
    *err = std::string("graph attrs lack \"") + key + "\"";
    return nullptr;
  }
  const Value& v = it->value;
  if (!v.IsArray() || v.Size() != 2 || !v[0].IsString() || std::string(v[0].GetString()) != tag ||
      !v[1].IsArray()) {
    *err = std::string("graph attr \"") + key + "\" is not [\"" + tag + "\", [...]]";
    return nullptr;
  }
  return &v[1];
}

}  // namespace

uint64_t TensorBytes(DLDataType t, const std::vector<int64_t>& shape) {
  uint64_t n = DataTypeBytes(t);
  bool over = false;
  for (int64_t d : shape) {
    if (d <= 0) return 0;
    over |= __builtin_mul_overflow(n, static_cast<uint64_t>(d), &n);
  }
  // Extents may each be up to 2^32: a product past 64 bits stays "too large" rather than wrapping small.
  return over ? UINT64_MAX : n;
}

bool ParseGraphJson(const std::string& json, Graph* g, std::string* err) {
  *g = Graph();
  rapidjson::Document doc;
  doc.Parse(json.data(), json.size());
  if (doc.HasParseError()) {
    *err = "graph JSON does not parse (error at offset " + std::to_string(doc.GetErrorOffset()) + ")";
    return false;
  }
  if (!doc.IsObject()) {
    *err = "graph JSON is not an object";
    return false;
  }
  for (const char* key : {"nodes", "arg_nodes", "node_row_ptr", "heads", "attrs"}) {
    if (!doc.HasMember(key)) {
      *err = std::string("graph JSON lacks \"") + key + "\"";
      return false;
    }
  }
  // "metadata" is written by some releases and means nothing to the executor; anything else is a form
  // this runtime does not know.
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
    const std::string key = it->name.GetString();
    if (key != "nodes" && key != "arg_nodes" && key != "node_row_ptr" && key != "heads" && key != "attrs" &&
        key != "metadata") {
      *err = "graph JSON has the key \"" + key + "\", which this runtime does not support";
      return false;
    }
  }
  const Value& nodes = doc["nodes"];
  if (!nodes.IsArray()) {
    *err = "graph \"nodes\" is not a list";
    return false;
  }
  // nodes
  for (rapidjson::SizeType i = 0; i < nodes.Size(); ++i) {
    const Value& n = nodes[i];
    std::string where = "graph node " + std::to_string(i);
    if (!n.IsObject() || !n.HasMember("op") || !n["op"].IsString() || !n.HasMember("name") ||
        !n["name"].IsString() || !n.HasMember("inputs") || !n["inputs"].IsArray()) {
      *err = where + " needs string \"op\", string \"name\" and list \"inputs\"";
      return false;
    }
    GraphNode node;
    node.op = n["op"].GetString();
    node.name = n["name"].GetString();
    where += " (\"" + node.name + "\")";
    if (node.op != "null" && node.op != "tvm_op") {
      *err = where + " has unknown op \"" + node.op + "\": only \"null\" and \"tvm_op\" nodes run";
      return false;
    }
    // Node attributes are "attrs", or "attr" in graphs of the nnvm era; "control_deps" only orders nodes
    // that the list already orders.
    const Value* node_attrs = nullptr;
    for (auto m = n.MemberBegin(); m != n.MemberEnd(); ++m) {
      const std::string key = m->name.GetString();
      if (key == "attrs" || key == "attr") {
        if (node_attrs) {
          *err = where + " has both \"attrs\" and \"attr\"";
          return false;
        }
        node_attrs = &m->value;
      } else if (key != "op" && key != "name" && key != "inputs" && key != "control_deps") {
        *err = where + " has the key \"" + key + "\", which this runtime does not support";
        return false;
      }
    }
    for (const Value& in : n["inputs"].GetArray()) {
      NodeEntryRef ref;
      if (!EntryRef(in, &ref)) {
        *err = where + " has an input that is not [node, index(, version)]";
        return false;
      }
      if (ref.node_id >= i) {
        *err = where + " refers to node " + std::to_string(ref.node_id) + ", which does not come before it";
        return false;
      }
      if (ref.index >= g->nodes[ref.node_id].num_outputs) {
        *err = where + " refers to output " + std::to_string(ref.index) + " of node " + std::to_string(ref.node_id) +
               ", which has " + std::to_string(g->nodes[ref.node_id].num_outputs);
        return false;
      }
      node.inputs.push_back(ref);
    }
    if (node.op == "null") {
      if (!node.inputs.empty()) {
        *err = where + " is a placeholder with inputs";
        return false;
      }
    } else {
      if (!node_attrs || !node_attrs->IsObject()) {
        *err = where + " (tvm_op) has no \"attrs\" object";
        return false;
      }
      const Value& a = *node_attrs;
      if (!a.HasMember("func_name") || !a["func_name"].IsString() || a["func_name"].GetStringLength() == 0) {
        *err = where + " has no \"func_name\"";
        return false;
      }
      node.func_name = a["func_name"].GetString();
      if (node.func_name.compare(0, 2, "__") == 0 && node.func_name != "__nop" && node.func_name != "__copy" &&
          node.func_name != "__tvm_main__") {
        *err = where + " calls \"" + node.func_name +
               "\": the runtime's own operators are \"__nop\" and \"__copy\"";
        return false;
      }
      int64_t v;
      if (a.HasMember("num_outputs")) {
        if (!AttrInt(a["num_outputs"], &v) || v < 1 || v > 1024) {
          *err = where + " has a bad \"num_outputs\"";
          return false;
        }
        node.num_outputs = static_cast<uint32_t>(v);
      }
      if (a.HasMember("num_inputs")) {
        if (!AttrInt(a["num_inputs"], &v) || v != static_cast<int64_t>(node.inputs.size())) {
          *err = where + " has \"num_inputs\" that differs from its input list";
          return false;
        }
      }
      if (a.HasMember("flatten_data")) {
        if (!AttrInt(a["flatten_data"], &v) || (v != 0 && v != 1)) {
          *err = where + " has a bad \"flatten_data\"";
          return false;
        }
        node.flatten_data = v == 1;
      }
    }
    g->nodes.push_back(std::move(node));
  }
  // node_row_ptr
  const Value& rp = doc["node_row_ptr"];
  if (!rp.IsArray() || rp.Size() != nodes.Size() + 1) {
    *err = "graph \"node_row_ptr\" must list one more value than there are nodes";
    return false;
  }
  for (rapidjson::SizeType i = 0; i < rp.Size(); ++i) {
    if (!rp[i].IsUint()) {
      *err = "graph \"node_row_ptr\" holds a value that is not a count";
      return false;
    }
    uint32_t v = rp[i].GetUint();
    uint32_t expect = i == 0 ? 0 : g->node_row_ptr[i - 1] + g->nodes[i - 1].num_outputs;
    if (v != expect) {
      *err = "graph \"node_row_ptr\" is inconsistent at position " + std::to_string(i) + " (" + std::to_string(v) +
             ", expected " + std::to_string(expect) + ")";
      return false;
    }
    g->node_row_ptr.push_back(v);
  }
  size_t num_entries = g->node_row_ptr.back();
  if (num_entries > kMaxEntries) {
    *err = "graph has too many entries";
    return false;
  }
  // arg_nodes
  const Value& an = doc["arg_nodes"];
  if (!an.IsArray()) {
    *err = "graph \"arg_nodes\" is not a list";
    return false;
  }
  std::vector<bool> is_arg(g->nodes.size(), false);
  for (const Value& v : an.GetArray()) {
    if (!v.IsUint() || v.GetUint() >= g->nodes.size() || g->nodes[v.GetUint()].op != "null" || is_arg[v.GetUint()]) {
      *err = "graph \"arg_nodes\" must list each placeholder node id once";
      return false;
    }
    is_arg[v.GetUint()] = true;
    g->arg_nodes.push_back(v.GetUint());
  }
  for (size_t i = 0; i < g->nodes.size(); ++i) {
    if (g->nodes[i].op == "null" && !is_arg[i]) {
      *err = "placeholder node " + std::to_string(i) + " is missing from \"arg_nodes\"";
      return false;
    }
  }
  // heads
  const Value& heads = doc["heads"];
  if (!heads.IsArray() || heads.Size() == 0) {
    *err = "graph \"heads\" must be a non-empty list";
    return false;
  }
  for (const Value& h : heads.GetArray()) {
    NodeEntryRef ref;
    if (!EntryRef(h, &ref) || ref.node_id >= g->nodes.size() || ref.index >= g->nodes[ref.node_id].num_outputs) {
      *err = "graph \"heads\" holds an entry that names no node output";
      return false;
    }
    g->heads.push_back(ref);
  }
  // attrs
  const Value& attrs = doc["attrs"];
  if (!attrs.IsObject()) {
    *err = "graph \"attrs\" is not an object";
    return false;
  }
  const Value* dl = TaggedList(attrs, "dltype", "list_str", err);
  const Value* sh = dl ? TaggedList(attrs, "shape", "list_shape", err) : nullptr;
  const Value* st = sh ? TaggedList(attrs, "storage_id", "list_int", err) : nullptr;
  if (!st) return false;
  if (dl->Size() != num_entries || sh->Size() != num_entries || st->Size() != num_entries) {
    *err = "graph attrs dltype/shape/storage_id must each have " + std::to_string(num_entries) + " values";
    return false;
  }
  if (attrs.HasMember("device_index")) {
    // Written for graphs placed on several devices: one device type per entry.  The model library holds
    // CPU code, so every entry must be on the CPU.
    const Value* di = TaggedList(attrs, "device_index", "list_int", err);
    if (!di) return false;
    if (di->Size() != num_entries) {
      *err = "graph attr device_index must have " + std::to_string(num_entries) + " values";
      return false;
    }
    for (size_t nid = 0; nid < g->nodes.size(); ++nid) {
      for (uint32_t e = g->node_row_ptr[nid]; e < g->node_row_ptr[nid + 1]; ++e) {
        const Value& d = (*di)[static_cast<rapidjson::SizeType>(e)];
        if (!d.IsInt() || d.GetInt() != kDLCPU) {
          *err = "graph node " + std::to_string(nid) + " (\"" + g->nodes[nid].name + "\") is placed on device type " +
                 (d.IsInt() ? std::to_string(d.GetInt()) : std::string("?")) +
                 " in \"device_index\"; only CPU (1) graphs run here";
          return false;
        }
      }
    }
  }
  if (attrs.HasMember("storage_scope")) {
    // Written when some entry lives in a memory other than the device's plain one (texture memory of
    // GPUs): one scope text per entry, "" or "global" for plain memory, the only kind the CPU has.
    const Value* sc = TaggedList(attrs, "storage_scope", "list_str", err);
    if (!sc) return false;
    if (sc->Size() != num_entries) {
      *err = "graph attr storage_scope must have " + std::to_string(num_entries) + " values";
      return false;
    }
    for (rapidjson::SizeType e = 0; e < sc->Size(); ++e) {
      const Value& v = (*sc)[e];
      if (!v.IsString() || (v.GetStringLength() != 0 && std::string(v.GetString()) != "global")) {
        *err = "graph entry " + std::to_string(e) + " has storage scope " +
               (v.IsString() ? "\"" + std::string(v.GetString()) + "\"" : std::string("that is not text")) +
               "; only plain memory (\"global\") is supported";
        return false;
      }
    }
  }
  // Other graph attributes: TVM's executor skips integer lists and sizes (older releases wrote some) and
  // refuses anything else.
  for (auto it = attrs.MemberBegin(); it != attrs.MemberEnd(); ++it) {
    const std::string key = it->name.GetString();
    if (key == "dltype" || key == "shape" || key == "storage_id" || key == "device_index" || key == "storage_scope")
      continue;
    const Value& v = it->value;
    if (!v.IsArray() || v.Size() != 2 || !v[0].IsString() ||
        (std::string(v[0].GetString()) != "list_int" && std::string(v[0].GetString()) != "size_t")) {
      *err = "graph attr \"" + key + "\" is not [\"list_int\", ...] or [\"size_t\", ...]; this runtime does not support it";
      return false;
    }
  }
  for (size_t e = 0; e < num_entries; ++e) {
    rapidjson::SizeType i = static_cast<rapidjson::SizeType>(e);
    std::string where = "graph entry " + std::to_string(e);
    if (!(*dl)[i].IsString()) {
      *err = where + " has a dltype that is not text";
      return false;
    }
    DLDataType t;
    try {
      t = String2DLDataType((*dl)[i].GetString());
    } catch (const Error& ex) {
      *err = where + ": " + ex.what();
      return false;
    }
    if (t.bits == 0 || t.lanes == 0 || t.code == kDLOpaqueHandle) {
      *err = where + " has dltype \"" + (*dl)[i].GetString() + "\", which is not a tensor element type";
      return false;
    }
    g->dtypes.push_back(t);
    const Value& s = (*sh)[i];
    if (!s.IsArray() || s.Size() > kMaxDims) {
      *err = where + " has a shape that is not a list of at most 32 extents";
      return false;
    }
    std::vector<int64_t> shape;
    for (const Value& d : s.GetArray()) {
      if (!d.IsInt64() || d.GetInt64() < -1 || d.GetInt64() > (int64_t(1) << 32)) {
        *err = where + " has a bad extent (extents are >= 0, or -1 for a run-time extent)";
        return false;
      }
      if (d.GetInt64() == -1) g->has_runtime_extents = true;
      shape.push_back(d.GetInt64());
    }
    g->shapes.push_back(std::move(shape));
    if (!(*st)[i].IsInt64() || (*st)[i].GetInt64() < 0 || (*st)[i].GetInt64() >= static_cast<int64_t>(kMaxEntries)) {
      *err = where + " has a bad storage_id";
      return false;
    }
    g->storage_ids.push_back((*st)[i].GetInt64());
  }
  // "__copy" moves the bytes of its one input to its one output: the two must hold as many bytes (known
  // here unless an extent is given at run time, when the run's plan checks it).
  for (size_t nid = 0; nid < g->nodes.size(); ++nid) {
    const GraphNode& n = g->nodes[nid];
    if (n.op != "tvm_op" || n.func_name != "__copy") continue;
    const std::string where = "graph node " + std::to_string(nid) + " (\"" + n.name + "\", __copy)";
    if (n.inputs.size() != 1 || n.num_outputs != 1) {
      *err = where + " needs one input and one output";
      return false;
    }
    const uint32_t in = g->EntryId(n.inputs[0]), out = g->EntryId(static_cast<uint32_t>(nid), 0);
    auto known = [&](uint32_t e) {
      for (int64_t d : g->shapes[e])
        if (d < 0) return false;
      return true;
    };
    if (known(in) && known(out) && TensorBytes(g->dtypes[in], g->shapes[in]) != TensorBytes(g->dtypes[out], g->shapes[out])) {
      *err = where + " copies " + std::to_string(TensorBytes(g->dtypes[in], g->shapes[in])) + " bytes into " +
             std::to_string(TensorBytes(g->dtypes[out], g->shapes[out]));
      return false;
    }
  }
  return true;
}

}  // namespace graph
}  // namespace runtime
}  // namespace tvm
