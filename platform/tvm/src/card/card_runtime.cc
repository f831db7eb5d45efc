// The card's graph runtime: the global functions "tvm.graph_runtime.create", "...dynamic_create2" and
// "...error_string", and the module whose functions size, name and register module nodes with the card.
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_model.h>
#include <rapidjson/document.h>
#include <tvm/ir/expr.h>
#include <tvm/runtime/card_graph_runtime.h>
#include <tvm/runtime/data_type.h>
#include <tvm/runtime/packed_func.h>
#include <tvm/runtime/registry.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "card/hw_config.h"
#include "graph/executor.h"
#include "graph/params.h"

namespace tvm {
namespace runtime {
namespace card {

namespace {

constexpr int kCardDeviceType = 14;
constexpr size_t kCardMaxDims = 6;

thread_local int tls_last_code = 0;
thread_local std::string tls_last_detail;

const char* CodeText(int code) {
  switch (code) {
    case kCardOk: return "success";
    case kCardErrInvalidArgument: return "invalid argument";
    case kCardErrDeviceType: return "device type is not the card's (14)";
    case kCardErrDeviceApi: return "the card's device interface is not registered (QOBCRegisterDeviceAPI)";
    case kCardErrDeviceId: return "no such card device";
    case kCardErrGraphJson: return "malformed graph JSON";
    case kCardErrLibrary: return "model library does not fit the graph";
    case kCardErrParams: return "malformed or unsuitable parameters";
    case kCardErrHwConfig: return "malformed hardware configuration";
    case kCardErrShapeRanges: return "malformed shape ranges or shared parameters";
    case kCardErrNotLoaded: return "parameters are not loaded";
    case kCardErrBatchSize: return "batch size is 0 or above the largest supported";
    case kCardErrUnknownNode: return "unknown module node";
    case kCardErrIndex: return "index out of range";
    case kCardErrShape: return "input shapes do not fit the model";
    case kCardErrNotDynamic: return "not available for this model or before input shapes are set";
    case kCardErrMemoryBudget: return "not even one batch item fits the memory budget";
    case kCardErrCard: return "the card refused the module node";
    case kCardErrExecution: return "model execution failed";
    default: return "unknown error code";
  }
}

// A failure carried to the error slot.
struct Failure {
  int code;
  std::string detail;
};
[[noreturn]] void Fail(int code, std::string detail) { throw Failure{code, std::move(detail)}; }

// The error slot: argument `index`, or the last argument when index is -1.
int* ErrorSlot(const TVMArgs& args, int index) {
  int i = index < 0 ? args.size() - 1 : index;
  if (i < 0 || i >= args.size() || args.type_codes[i] != kTVMOpaqueHandle || args.values[i].v_handle == nullptr)
    throw Error("argument " + std::to_string(i) + " must be a pointer to an int error slot");
  return static_cast<int*>(args.values[i].v_handle);
}

// Runs body(); a Failure or a conversion error sets the slot and leaves the default result.
template <typename F>
void Guarded(const TVMArgs& args, int slot_index, TVMRetValue* rv, F body) {
  int* slot = ErrorSlot(args, slot_index);
  *slot = 0;
  try {
    body();
  } catch (const Failure& f) {
    tls_last_code = f.code;
    tls_last_detail = f.detail;
    *slot = f.code;
  } catch (const std::exception& e) {
    tls_last_code = kCardErrInvalidArgument;
    tls_last_detail = e.what();
    *slot = kCardErrInvalidArgument;
  }
  (void)rv;
}

std::string TextArg(const TVMArgValue& v) {
  if (v.type_code() == kTVMObjectHandle) {
    const auto* o = static_cast<const Object*>(v.value().v_handle);
    if (const auto* s = dynamic_cast<const ir::StringImmNode*>(o)) return s->value;
  }
  return static_cast<std::string>(v);
}

std::string ObjText(const ObjectRef& r) {
  if (const auto* s = r.as<ir::StringImmNode>()) return s->value;
  if (const auto* s = r.as<StringObj>()) return s->data;
  Fail(kCardErrInvalidArgument, "configuration value is not a string");
}

std::vector<Shape> ShapesArg(const TVMArgValue& v) {
  Array<Array<Integer>> a;
  try {
    a = v;
  } catch (const std::exception& e) {
    Fail(kCardErrInvalidArgument, std::string("shapes must be a list of lists of integers: ") + e.what());
  }
  std::vector<Shape> out;
  for (Array<Integer> s : a) {
    Shape shape;
    for (Integer d : s) shape.push_back(d.IntValue());
    out.push_back(std::move(shape));
  }
  return out;
}

Array<Integer> ToArray(const Shape& s) {
  Array<Integer> a;
  for (int64_t d : s) a.push_back(Integer(d));
  return a;
}

std::string ShapeTag(const std::vector<Shape>& shapes) {
  std::string t;
  for (size_t i = 0; i < shapes.size(); ++i) {
    if (i) t += "_";
    for (size_t d = 0; d < shapes[i].size(); ++d) t += (d ? "x" : "") + std::to_string(shapes[i][d]);
  }
  return t;
}

bool ParseShape(const rapidjson::Value& v, Shape* out) {
  if (!v.IsArray() || v.Size() > 6) return false;
  for (const auto& d : v.GetArray()) {
    if (!d.IsInt64() || d.GetInt64() < 1 || d.GetInt64() > (int64_t(1) << 31)) return false;
    out->push_back(d.GetInt64());
  }
  return true;
}

std::mutex& NamingMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}

class CardGraphRuntime;

// One module node: a member at fixed input shapes and a batch size, registered with the card.
struct ModuleNodeEntry {
  CardGraphRuntime* rt = nullptr;
  std::string name;
  size_t member = 0;
  uint32_t batch = 0;
  std::vector<Shape> input_shapes;
  std::vector<Shape> entry_shapes;
  graph::GraphExecutor::RunPlan plan;
  std::vector<uint64_t> input_bytes;
  std::vector<OutputLayout> outputs;
  std::string vdsp;
  uint32_t vdsp_num = 0;
  uint64_t addr = 0;
};

struct Member {
  graph::GraphExecutor exec;
  std::vector<std::pair<Shape, Shape>> ranges;  // per input [smallest, largest]; dynamic only
};

class CardGraphRuntime : public ModuleNode {
 public:
  CardGraphRuntime(bool dynamic, int dev) : dynamic_(dynamic), dev_(dev) {}
  ~CardGraphRuntime() override {
    for (auto& kv : nodes_) qobcrt_unregister_model(static_cast<uint32_t>(dev_), kv.second->addr);
  }
  const char* type_key() const override { return "CardGraphRuntime"; }

  void Configure(const Map<String, ObjectRef>& cfg, const std::vector<std::string>& graphs,
                 const std::vector<Module>& libs) {
    for (const auto& kv : cfg.items()) {
      const std::string& key = kv.first.str();
      if (key == "model_name") model_name_ = ObjText(kv.second);
      else if (key == "hwconfig_json") hw_text_ = ObjText(kv.second);
      else if (key == "shape_ranges") ranges_text_ = ObjText(kv.second);
      else if (key == "shared_params") shared_text_ = ObjText(kv.second);
    }
    if (model_name_.empty()) Fail(kCardErrInvalidArgument, "configuration lacks \"model_name\"");
    std::string err;
    if (!ParseHwConfig(hw_text_, &hw_, &err)) Fail(kCardErrHwConfig, err);
    if (graphs.empty()) Fail(kCardErrInvalidArgument, "no model members");
    if (graphs.size() != libs.size()) Fail(kCardErrInvalidArgument, "graph and library lists differ in length");
    std::vector<Member>(graphs.size()).swap(members_);
    for (size_t m = 0; m < graphs.size(); ++m) {
      graph::Graph g;
      std::string where = graphs.size() > 1 ? "member " + std::to_string(m) + ": " : "";
      if (!graph::ParseGraphJson(graphs[m], &g, &err)) Fail(kCardErrGraphJson, where + err);
      if (g.has_runtime_extents && !dynamic_)
        Fail(kCardErrGraphJson, "graph has run-time extents (-1) but the model is static");
      if (m > 0 && g.heads.size() != members_[0].exec.graph().heads.size())
        Fail(kCardErrGraphJson, where + "members differ in their number of outputs");
      if (!libs[m].defined()) Fail(kCardErrLibrary, where + "model library is undefined");
      if (!members_[m].exec.Init(std::move(g), libs[m], &err)) Fail(kCardErrLibrary, where + err);
      // The output types are asked of the model as a whole: every member must have member 0's.
      const auto& ex = members_[m].exec;
      for (size_t o = 0; m > 0 && o < ex.num_outputs(); ++o) {
        const DLDataType a = ex.entry_dtype(ex.output_entry(o)), b = Exec0().entry_dtype(Exec0().output_entry(o));
        if (a.code != b.code || a.bits != b.bits || a.lanes != b.lanes)
          Fail(kCardErrGraphJson, where + "output " + std::to_string(o) + " is " + DLDataType2String(a) +
                                      ", member 0's is " + DLDataType2String(b));
      }
    }
    if (dynamic_) ParseDynamicTexts();
    // A static model's output shapes are known now: core shapes that cannot hold an output are refused
    // when the model is made, not when its first batch size is set.
    for (size_t o = 0; !dynamic_ && o < Exec0().num_outputs() && o < hw_.output_core_shapes.size(); ++o) {
      const uint32_t e = Exec0().output_entry(o);
      OutputLayout layout;
      if (!MakeOutputLayout(Exec0().entry_dtype(e), Exec0().declared_shape(e), hw_.output_core_shapes[o], &layout, &err))
        Fail(kCardErrHwConfig, "output " + std::to_string(o) + ": " + err);
    }
  }

  PackedFunc GetFunction(const std::string& name, const ObjectPtr<Object>& self) override {
    using Handler = void (CardGraphRuntime::*)(const TVMArgs&, TVMRetValue*);
    static const std::map<std::string, std::pair<Handler, int>> table = {
        // name -> handler, default result kind (0 int, 1 string, 2 list)
        {"load_params", {&CardGraphRuntime::LoadParams, 0}},
        {"get_module_input_num", {&CardGraphRuntime::GetModuleInputNum, 0}},
        {"get_output_num", {&CardGraphRuntime::GetOutputNum, 0}},
        {"get_max_batchsize", {&CardGraphRuntime::GetMaxBatchSize, 0}},
        {"set_batch_size", {&CardGraphRuntime::SetBatchSize, 1}},
        {"set_input_shape", {&CardGraphRuntime::SetInputShape, 0}},
        {"get_input_shapes", {&CardGraphRuntime::GetInputShapes, 2}},
        {"get_module_input_bytes", {&CardGraphRuntime::GetModuleInputBytes, 2}},
        {"get_input_dims", {&CardGraphRuntime::GetInputDims, 2}},
        {"get_output_shape", {&CardGraphRuntime::GetOutputShape, 2}},
        {"get_output_core_shapes", {&CardGraphRuntime::GetOutputCoreShapes, 2}},
        {"get_align_output_bytes", {&CardGraphRuntime::GetAlignOutputBytes, 0}},
        {"get_module_input_dtype", {&CardGraphRuntime::GetModuleInputDtype, 1}},
        {"get_output_dtype", {&CardGraphRuntime::GetOutputDtype, 1}},
        {"free_module", {&CardGraphRuntime::FreeModule, 0}},
    };
    auto it = table.find(name);
    if (it == table.end()) return PackedFunc();
    Handler h = it->second.first;
    int kind = it->second.second;
    return PackedFunc([self, h, kind](TVMArgs args, TVMRetValue* rv) {
      auto* rt = static_cast<CardGraphRuntime*>(self.get());
      if (kind == 0) *rv = 0;
      else if (kind == 1) *rv = std::string();
      else *rv = Array<ObjectRef>();
      Guarded(args, -1, rv, [&] {
        std::lock_guard<std::mutex> lock(rt->mutex_);
        (rt->*h)(args, rv);
      });
    });
  }

  static int RunNode(void* self, const void* const* inputs, void* const* outputs, char* err, size_t err_size);

 private:
  // ---- helpers ----
  void Expect(const TVMArgs& args, int n) const {
    if (args.size() != n + 1)
      Fail(kCardErrInvalidArgument,
           "expected " + std::to_string(n) + " argument(s) before the error slot, got " + std::to_string(args.size() - 1));
  }
  void NeedLoaded() const {
    if (!loaded_) Fail(kCardErrNotLoaded, "call \"load_params\" first");
  }
  ModuleNodeEntry& Node(const std::string& name) {
    auto it = nodes_.find(name);
    if (it == nodes_.end()) Fail(kCardErrUnknownNode, "no module node \"" + name + "\"");
    return *it->second;
  }
  size_t Index(const TVMArgValue& v, size_t n, const char* what) const {
    int64_t i = v;
    if (i < 0 || static_cast<uint64_t>(i) >= n)
      Fail(kCardErrIndex, std::string(what) + " index " + std::to_string(i) + " of " + std::to_string(n));
    return static_cast<size_t>(i);
  }
  const graph::GraphExecutor& Exec0() const { return members_[0].exec; }

  void ParseDynamicTexts() {
    rapidjson::Document doc;
    doc.Parse(ranges_text_.c_str());
    if (doc.HasParseError() || !doc.IsArray() || doc.Size() != members_.size())
      Fail(kCardErrShapeRanges, "\"shape_ranges\" must be a JSON list with one entry per member (" +
                                    std::to_string(members_.size()) + ")");
    for (rapidjson::SizeType m = 0; m < doc.Size(); ++m) {
      const auto& mem = doc[m];
      std::string where = "\"shape_ranges\" member " + std::to_string(m) + ": ";
      if (!mem.IsArray() || mem.Size() == 0) Fail(kCardErrShapeRanges, where + "must list one range per input");
      for (const auto& r : mem.GetArray()) {
        Shape lo, hi;
        if (!r.IsArray() || r.Size() != 2 || !ParseShape(r[0], &lo) || !ParseShape(r[1], &hi) || lo.size() != hi.size())
          Fail(kCardErrShapeRanges, where + "a range must be [smallest shape, largest shape] of positive extents");
        for (size_t d = 0; d < lo.size(); ++d)
          if (lo[d] > hi[d]) Fail(kCardErrShapeRanges, where + "smallest shape exceeds largest shape");
        members_[m].ranges.emplace_back(lo, hi);
      }
    }
    if (!shared_text_.empty()) {
      rapidjson::Document sd;
      sd.Parse(shared_text_.c_str());
      if (sd.HasParseError() || !sd.IsArray()) Fail(kCardErrShapeRanges, "\"shared_params\" must be a JSON list of names");
      for (const auto& n : sd.GetArray()) {
        if (!n.IsString()) Fail(kCardErrShapeRanges, "\"shared_params\" must hold names (strings)");
        shared_.insert(n.GetString());
      }
    }
  }

  // Member whose ranges hold every shape, or Fail.
  size_t SelectMember(const std::vector<Shape>& shapes) const {
    const auto& e0 = Exec0();
    if (shapes.size() != e0.num_inputs())
      Fail(kCardErrShape, "expected " + std::to_string(e0.num_inputs()) + " input shapes, got " +
                              std::to_string(shapes.size()));
    for (size_t i = 0; i < shapes.size(); ++i)
      if (shapes[i].size() != e0.declared_shape(e0.input_entry(i)).size())
        Fail(kCardErrShape, "input " + std::to_string(i) + " has rank " + std::to_string(shapes[i].size()) +
                                ", the model's is " + std::to_string(e0.declared_shape(e0.input_entry(i)).size()));
    for (size_t m = 0; m < members_.size(); ++m) {
      bool fits = true;
      for (size_t i = 0; fits && i < shapes.size(); ++i) {
        const auto& r = members_[m].ranges[i];
        for (size_t d = 0; fits && d < shapes[i].size(); ++d) fits = shapes[i][d] >= r.first[d] && shapes[i][d] <= r.second[d];
      }
      if (fits) return m;
    }
    Fail(kCardErrShape, "shapes " + ShapeTag(shapes) + " lie in no member's range");
  }

  // Bytes of all inputs and outputs of one item at these shapes.
  uint64_t ItemBytes(size_t member, const std::vector<Shape>& shapes) const {
    const auto& ex = members_[member].exec;
    std::vector<Shape> es;
    std::string err;
    if (!ex.ResolveShapes(shapes, &es, &err)) Fail(kCardErrShape, err);
    uint64_t total = 0;
    for (size_t i = 0; i < ex.num_inputs(); ++i) total += graph::TensorBytes(ex.entry_dtype(ex.input_entry(i)), es[ex.input_entry(i)]);
    for (size_t o = 0; o < ex.num_outputs(); ++o) total += graph::TensorBytes(ex.entry_dtype(ex.output_entry(o)), es[ex.output_entry(o)]);
    return total;
  }

  uint32_t MaxBatchFor(const std::vector<Shape>& shapes) const {
    size_t m = SelectMember(shapes);
    uint64_t item = ItemBytes(m, shapes);
    uint64_t fit = item == 0 ? hw_.max_batch_size : hw_.memory_budget_bytes / item;
    if (fit == 0)
      Fail(kCardErrMemoryBudget, "one item needs " + std::to_string(item) + " bytes, the budget is " +
                                     std::to_string(hw_.memory_budget_bytes));
    return static_cast<uint32_t>(std::min<uint64_t>(hw_.max_batch_size, fit));
  }

  std::vector<Shape> StaticShapes() const {
    std::vector<Shape> s;
    for (size_t i = 0; i < Exec0().num_inputs(); ++i) s.push_back(Exec0().declared_shape(Exec0().input_entry(i)));
    return s;
  }

  // ---- module functions ----
  void LoadParams(const TVMArgs& args, TVMRetValue*) {
    Expect(args, 1);
    if (!nodes_.empty()) Fail(kCardErrInvalidArgument, "parameters cannot be reloaded while module nodes exist");
    Array<ObjectRef> blobs_arg = args[0];
    std::vector<std::string> blobs;
    for (ObjectRef b : blobs_arg) blobs.push_back(ObjText(b));
    if (blobs.size() != members_.size())
      Fail(kCardErrParams, "expected " + std::to_string(members_.size()) + " parameter blob(s), got " +
                               std::to_string(blobs.size()));
    std::vector<std::vector<graph::ParamArray>> parsed(blobs.size());
    std::string err;
    for (size_t m = 0; m < blobs.size(); ++m)
      if (!graph::ParseParams(blobs[m], &parsed[m], &err))
        Fail(kCardErrParams, (blobs.size() > 1 ? "member " + std::to_string(m) + ": " : std::string()) + err);
    std::map<std::string, const graph::ParamArray*> shared;
    for (const std::string& n : shared_) {
      auto it = std::find_if(parsed[0].begin(), parsed[0].end(), [&](const graph::ParamArray& p) { return p.name == n; });
      if (it == parsed[0].end()) Fail(kCardErrParams, "shared parameter \"" + n + "\" is not in member 0's blob");
      shared[n] = &*it;
    }
    loaded_ = false;
    for (size_t m = 0; m < members_.size(); ++m) {
      std::map<std::string, const graph::ParamArray*> params = shared;
      for (const auto& p : parsed[m])
        if (!shared.count(p.name)) params[p.name] = &p;
      Member& mem = members_[m];
      std::vector<Shape> max_shapes;
      if (dynamic_) {
        // Inputs are known only once the parameters are: count placeholders that are not parameters.
        size_t n_inputs = 0;
        for (uint32_t nid : mem.exec.graph().arg_nodes) n_inputs += params.count(mem.exec.graph().nodes[nid].name) ? 0 : 1;
        if (mem.ranges.size() != n_inputs)
          Fail(kCardErrShapeRanges, "member " + std::to_string(m) + " has " + std::to_string(n_inputs) +
                                        " inputs but " + std::to_string(mem.ranges.size()) + " shape ranges");
        for (const auto& r : mem.ranges) max_shapes.push_back(r.second);
      }
      if (!dynamic_) {
        // Static: the declared input shapes are the largest.
        for (uint32_t nid : mem.exec.graph().arg_nodes)
          if (!params.count(mem.exec.graph().nodes[nid].name))
            max_shapes.push_back(mem.exec.graph().shapes[mem.exec.graph().EntryId(nid, 0)]);
      }
      bool by_shapes = false;
      if (!mem.exec.LoadParams(params, max_shapes, &err, &by_shapes))
        Fail(dynamic_ && by_shapes ? kCardErrShapeRanges : kCardErrParams,
             (members_.size() > 1 ? "member " + std::to_string(m) + ": " : std::string()) + err);
      // Graphs may use any rank inside; what the card and its users exchange has at most six dimensions.
      const std::string where = members_.size() > 1 ? "member " + std::to_string(m) + ": " : std::string();
      for (size_t i = 0; i < mem.exec.num_inputs(); ++i)
        if (mem.exec.declared_shape(mem.exec.input_entry(i)).size() > kCardMaxDims)
          Fail(kCardErrGraphJson, where + "input " + std::to_string(i) + " has " +
                                      std::to_string(mem.exec.declared_shape(mem.exec.input_entry(i)).size()) +
                                      " dimensions; the card takes inputs and outputs of at most 6");
      for (size_t o = 0; o < mem.exec.num_outputs(); ++o)
        if (mem.exec.declared_shape(mem.exec.output_entry(o)).size() > kCardMaxDims)
          Fail(kCardErrGraphJson, where + "output " + std::to_string(o) + " has " +
                                      std::to_string(mem.exec.declared_shape(mem.exec.output_entry(o)).size()) +
                                      " dimensions; the card takes inputs and outputs of at most 6");
      if (m > 0 && mem.exec.num_inputs() != Exec0().num_inputs())
        Fail(kCardErrParams, "members differ in their number of inputs");
      for (size_t i = 0; m > 0 && i < mem.exec.num_inputs(); ++i) {
        if (mem.exec.declared_shape(mem.exec.input_entry(i)).size() != Exec0().declared_shape(Exec0().input_entry(i)).size())
          Fail(kCardErrParams, "members differ in the rank of input " + std::to_string(i));
        const DLDataType a = mem.exec.entry_dtype(mem.exec.input_entry(i)), b = Exec0().entry_dtype(Exec0().input_entry(i));
        if (a.code != b.code || a.bits != b.bits || a.lanes != b.lanes)
          Fail(kCardErrParams, where + "input " + std::to_string(i) + " is " + DLDataType2String(a) + ", member 0's is " +
                                   DLDataType2String(b));
      }
    }
    if (Exec0().num_inputs() > QOBCRT_MODEL_MAX_IO || Exec0().num_outputs() > QOBCRT_MODEL_MAX_IO)
      Fail(kCardErrParams, "the card runs models of at most 16 inputs and 16 outputs");
    if (dynamic_ && Exec0().num_inputs() == 0) Fail(kCardErrParams, "a dynamic model needs at least one input");
    loaded_ = true;
  }

  void GetModuleInputNum(const TVMArgs& args, TVMRetValue* rv) {
    Expect(args, 1);
    NeedLoaded();
    *rv = static_cast<int>(members_[Node(TextArg(args[0])).member].exec.num_inputs());
  }

  void GetOutputNum(const TVMArgs& args, TVMRetValue* rv) {
    Expect(args, 0);
    *rv = static_cast<int>(Exec0().num_outputs());
  }

  void GetMaxBatchSize(const TVMArgs& args, TVMRetValue* rv) {
    if (args.size() == 1) {
      if (!dynamic_) {
        *rv = static_cast<int>(hw_.max_batch_size);
        return;
      }
      NeedLoaded();
      if (cur_shapes_.empty()) Fail(kCardErrNotDynamic, "no input shapes set");
      *rv = static_cast<int>(MaxBatchFor(cur_shapes_));
      return;
    }
    Expect(args, 1);
    if (!dynamic_) Fail(kCardErrNotDynamic, "the model is static: ask without shapes");
    NeedLoaded();
    *rv = static_cast<int>(MaxBatchFor(ShapesArg(args[0])));
  }

  void SetInputShape(const TVMArgs& args, TVMRetValue*) {
    Expect(args, 1);
    if (!dynamic_) Fail(kCardErrNotDynamic, "the model is static");
    NeedLoaded();
    std::vector<Shape> shapes = ShapesArg(args[0]);
    SelectMember(shapes);
    cur_shapes_ = shapes;
  }

  void SetBatchSize(const TVMArgs& args, TVMRetValue* rv) {
    NeedLoaded();
    std::vector<Shape> shapes;
    int64_t b;
    if (args.size() == 2) {
      b = args[0];
      if (dynamic_) {
        if (cur_shapes_.empty()) Fail(kCardErrNotDynamic, "no input shapes set");
        shapes = cur_shapes_;
      } else {
        shapes = StaticShapes();
      }
    } else {
      Expect(args, 2);
      if (!dynamic_) Fail(kCardErrNotDynamic, "the model is static: set the batch size without shapes");
      shapes = ShapesArg(args[0]);
      b = args[1];
    }
    size_t member = dynamic_ ? SelectMember(shapes) : 0;
    uint32_t max = dynamic_ ? MaxBatchFor(shapes) : hw_.max_batch_size;
    if (b <= 0 || b > max)
      Fail(kCardErrBatchSize, "batch size " + std::to_string(b) + " (largest " + std::to_string(max) + ")");
    if (dynamic_) cur_shapes_ = shapes;
    std::string base = model_name_;
    if (dynamic_) base += ":m" + std::to_string(member) + ":" + ShapeTag(shapes);
    base += ":b" + std::to_string(b);
    for (auto& kv : nodes_) {
      if (kv.second->member == member && kv.second->batch == b && kv.second->input_shapes == shapes) {
        *rv = kv.first;
        return;
      }
    }
    auto node = MakeNode(member, static_cast<uint32_t>(b), shapes);
    {
      std::lock_guard<std::mutex> lock(NamingMutex());
      std::string name = base;
      uint64_t probe = 0;
      for (int k = 2; qobcrt_model_addr(static_cast<uint32_t>(dev_), name.c_str(), &probe) == 0; ++k)
        name = base + "#" + std::to_string(k);
      node->name = name;
      qobcrt_model_desc d{};
      d.name = node->name.c_str();
      d.batch_size = node->batch;
      d.num_inputs = static_cast<uint32_t>(node->input_bytes.size());
      d.num_outputs = static_cast<uint32_t>(node->outputs.size());
      for (size_t i = 0; i < node->input_bytes.size(); ++i) d.input_bytes[i] = node->input_bytes[i];
      for (size_t o = 0; o < node->outputs.size(); ++o) {
        d.output_bytes[o] = node->outputs[o].real_bytes;
        d.align_output_bytes[o] = node->outputs[o].aligned_bytes;
      }
      d.vdsp_ops = node->vdsp.empty() ? nullptr : node->vdsp.data();
      d.vdsp_ops_size = node->vdsp.size();
      d.vdsp_ops_num = node->vdsp_num;
      d.run = &CardGraphRuntime::RunNode;
      d.self = node.get();
      int r = qobcrt_register_model(static_cast<uint32_t>(dev_), &d, &node->addr);
      if (r != 0) Fail(kCardErrCard, "qobcrt_register_model returned " + std::to_string(r));
    }
    *rv = node->name;
    nodes_[node->name] = std::move(node);
  }

  std::unique_ptr<ModuleNodeEntry> MakeNode(size_t member, uint32_t batch, const std::vector<Shape>& shapes) {
    auto n = std::make_unique<ModuleNodeEntry>();
    n->rt = this;
    n->member = member;
    n->batch = batch;
    n->input_shapes = shapes;
    const auto& ex = members_[member].exec;
    std::string err;
    if (!ex.ResolveShapes(shapes, &n->entry_shapes, &err)) Fail(kCardErrShape, err);
    if (!ex.Prepare(n->entry_shapes, &n->plan, &err)) Fail(kCardErrShape, err);
    for (size_t i = 0; i < ex.num_inputs(); ++i)
      n->input_bytes.push_back(graph::TensorBytes(ex.entry_dtype(ex.input_entry(i)), n->entry_shapes[ex.input_entry(i)]));
    for (size_t o = 0; o < ex.num_outputs(); ++o) {
      uint32_t e = ex.output_entry(o);
      std::vector<Shape> cores = o < hw_.output_core_shapes.size() ? hw_.output_core_shapes[o] : std::vector<Shape>();
      OutputLayout l;
      if (!MakeOutputLayout(ex.entry_dtype(e), n->entry_shapes[e], cores, &l, &err))
        Fail(kCardErrHwConfig, "output " + std::to_string(o) + ": " + err);
      n->outputs.push_back(std::move(l));
    }
    n->vdsp = BuildPreOpRecords(hw_.preprocess_ops, shapes.empty() ? Shape() : shapes[0]);
    n->vdsp_num = static_cast<uint32_t>(hw_.preprocess_ops.size());
    return n;
  }

  void GetInputShapes(const TVMArgs& args, TVMRetValue* rv) {
    Expect(args, 1);
    NeedLoaded();
    std::string name = TextArg(args[0]);
    std::vector<Shape> shapes;
    if (name.empty()) {
      if (dynamic_ && cur_shapes_.empty()) Fail(kCardErrNotDynamic, "no input shapes set");
      shapes = dynamic_ ? cur_shapes_ : StaticShapes();
    } else {
      shapes = Node(name).input_shapes;
    }
    Array<Array<Integer>> a;
    for (const Shape& s : shapes) a.push_back(ToArray(s));
    *rv = a;
  }

  void GetModuleInputBytes(const TVMArgs& args, TVMRetValue* rv) {
    Expect(args, 1);
    NeedLoaded();
    Array<Integer> a;
    for (uint64_t b : Node(TextArg(args[0])).input_bytes) a.push_back(Integer(static_cast<int64_t>(b)));
    *rv = a;
  }

  void GetInputDims(const TVMArgs& args, TVMRetValue* rv) {
    Expect(args, 0);
    NeedLoaded();
    Array<Integer> a;
    for (size_t i = 0; i < Exec0().num_inputs(); ++i)
      a.push_back(Integer(static_cast<int64_t>(Exec0().declared_shape(Exec0().input_entry(i)).size())));
    *rv = a;
  }

  const OutputLayout& OutputOf(const TVMArgs& args) {
    Expect(args, 2);
    NeedLoaded();
    ModuleNodeEntry& n = Node(TextArg(args[1]));
    return n.outputs[Index(args[0], n.outputs.size(), "output")];
  }

  void GetOutputShape(const TVMArgs& args, TVMRetValue* rv) { *rv = ToArray(OutputOf(args).shape); }

  void GetOutputCoreShapes(const TVMArgs& args, TVMRetValue* rv) {
    Array<Array<Integer>> a;
    for (const Shape& s : OutputOf(args).cores) a.push_back(ToArray(s));
    *rv = a;
  }

  void GetAlignOutputBytes(const TVMArgs& args, TVMRetValue* rv) {
    *rv = static_cast<int64_t>(OutputOf(args).aligned_bytes);
  }

  void GetModuleInputDtype(const TVMArgs& args, TVMRetValue* rv) {
    Expect(args, 2);
    NeedLoaded();
    const auto& ex = members_[Node(TextArg(args[1])).member].exec;
    size_t i = Index(args[0], ex.num_inputs(), "input");
    *rv = DLDataType2String(ex.entry_dtype(ex.input_entry(i)));
  }

  void GetOutputDtype(const TVMArgs& args, TVMRetValue* rv) {
    Expect(args, 1);
    size_t o = Index(args[0], Exec0().num_outputs(), "output");
    *rv = DLDataType2String(Exec0().entry_dtype(Exec0().output_entry(o)));
  }

  void FreeModule(const TVMArgs& args, TVMRetValue*) {
    Expect(args, 1);
    std::string name = TextArg(args[0]);
    auto it = nodes_.find(name);
    if (it == nodes_.end()) Fail(kCardErrUnknownNode, "no module node \"" + name + "\"");
    int r = qobcrt_unregister_model(static_cast<uint32_t>(dev_), it->second->addr);
    nodes_.erase(it);
    if (r != 0) Fail(kCardErrCard, "qobcrt_unregister_model returned " + std::to_string(r));
  }

  bool dynamic_;
  int dev_;
  std::mutex mutex_;
  std::string model_name_, hw_text_, ranges_text_, shared_text_;
  HwConfig hw_;
  std::vector<Member> members_;
  std::set<std::string> shared_;
  bool loaded_ = false;
  std::vector<Shape> cur_shapes_;
  std::map<std::string, std::unique_ptr<ModuleNodeEntry>> nodes_;
};

int CardGraphRuntime::RunNode(void* self, const void* const* inputs, void* const* outputs, char* err,
                              size_t err_size) {
  auto* n = static_cast<ModuleNodeEntry*>(self);
  std::string msg;
  bool ok = false;
  try {
    ok = n->rt->members_[n->member].exec.Run(
        n->plan, inputs,
        [&](size_t o, const void* data, uint64_t) {
          // Most outputs are laid out plainly on the card: then the copy alone, inline.
          const OutputLayout& l = n->outputs[o];
          if (l.plain) {
            std::memcpy(outputs[o], data, l.real_bytes);
          } else {
            WriteCoreLayout(l, data, outputs[o]);
          }
        },
        &msg);
  } catch (const std::exception& e) {
    msg = e.what();
  }
  if (ok) return 0;
  if (err && err_size > 0) {
    std::strncpy(err, msg.c_str(), err_size - 1);
    err[err_size - 1] = '\0';
  }
  return kCardErrExecution;
}

// Common checks and construction of both create functions.
void Create(const TVMArgs& args, TVMRetValue* rv, bool dynamic) {
  *rv = Module();
  if (args.size() != 7) throw Error("graph runtime creation takes 7 arguments, got " + std::to_string(args.size()));
  Guarded(args, 4, rv, [&] {
    int64_t flags = args[3];
    (void)flags;  // reserved
    int device_type = args[5];
    int device_id = args[6];
    if (device_type != kCardDeviceType)
      Fail(kCardErrDeviceType, "device type " + std::to_string(device_type) + ", the card is 14");
    if (!qobcrt_device_api_registered()) Fail(kCardErrDeviceApi, "call QOBCRegisterDeviceAPI() first");
    uint32_t count = 0;
    if (device_id < 0 || qobcrt_get_device_count(&count) != 0 || static_cast<uint32_t>(device_id) >= count)
      Fail(kCardErrDeviceId, "device " + std::to_string(device_id));
    Map<String, ObjectRef> cfg = args[2];
    std::vector<std::string> graphs;
    std::vector<Module> libs;
    if (dynamic) {
      Array<ObjectRef> g = args[0];
      Array<Module> l = args[1];
      for (ObjectRef x : g) graphs.push_back(ObjText(x));
      for (Module m : l) libs.push_back(m);
    } else {
      graphs.push_back(TextArg(args[0]));
      libs.push_back(args[1]);
    }
    auto node = make_object<CardGraphRuntime>(dynamic, device_id);
    node->Configure(cfg, graphs, libs);
    for (const Module& m : libs) node->Import(m);
    *rv = Module(ObjectPtr<Object>(node));
  });
}

}  // namespace

TVM_REGISTER_GLOBAL("tvm.graph_runtime.create").set_body([](TVMArgs args, TVMRetValue* rv) { Create(args, rv, false); });

TVM_REGISTER_GLOBAL("tvm.graph_runtime.dynamic_create2").set_body([](TVMArgs args, TVMRetValue* rv) {
  Create(args, rv, true);
});

TVM_REGISTER_GLOBAL("tvm.graph_runtime.error_string").set_body([](TVMArgs args, TVMRetValue* rv) {
  int code = args[0];
  std::string text = CodeText(code);
  if (code != 0 && code == tls_last_code && !tls_last_detail.empty()) text += ": " + tls_last_detail;
  *rv = text;
});

}  // namespace card
}  // namespace runtime
}  // namespace tvm
