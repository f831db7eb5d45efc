#include "qobl_tools/pipeline.h"

#include <cstdlib>
#include <sstream>

#include "qobl_tools/library.h"

namespace zenlar {
namespace qobltools {

namespace {

uint64_t elements(const qobmShape& s) {
  uint64_t n = 1;
  for (uint32_t d = 0; d < s.ndims && d < 6; ++d) n *= static_cast<uint64_t>(s.shapes[d] > 0 ? s.shapes[d] : 0);
  return n;
}

// "<call> failed[ for <what>]: <code text>", then the library's reason when it logged one.
std::string fail(const char* call, uint32_t code, const ErrorCapture& cap, const std::string& what = "") {
  return std::string(call) + " failed" + (what.empty() ? "" : " for " + what) + ": " + codeText(code) + cap.reason();
}

// Sets a UINT32 array attribute of up to four values (the op engine takes the values as varargs).
int setU32Array(qobeOp* op, const char* key, const std::vector<uint64_t>& v) {
  auto u = [&](size_t i) { return static_cast<unsigned>(v[i]); };
  switch (v.size()) {
    case 1:
      return qobeSetOpAttr(op, key, qobeATTR_UINT32, 1, u(0));
    case 2:
      return qobeSetOpAttr(op, key, qobeATTR_UINT32, 2, u(0), u(1));
    case 3:
      return qobeSetOpAttr(op, key, qobeATTR_UINT32, 3, u(0), u(1), u(2));
    case 4:
      return qobeSetOpAttr(op, key, qobeATTR_UINT32, 4, u(0), u(1), u(2), u(3));
    default:
      return -1;
  }
}

int setShapeArray(qobeOp* op, const char* key, std::vector<qobmShape>& v) {
  auto p = [&](size_t i) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&v[i])); };
  switch (v.size()) {
    case 1:
      return qobeSetOpAttr(op, key, qobeATTR_UINT64, 1, p(0));
    case 2:
      return qobeSetOpAttr(op, key, qobeATTR_UINT64, 2, p(0), p(1));
    case 3:
      return qobeSetOpAttr(op, key, qobeATTR_UINT64, 3, p(0), p(1), p(2));
    case 4:
      return qobeSetOpAttr(op, key, qobeATTR_UINT64, 4, p(0), p(1), p(2), p(3));
    default:
      return -1;
  }
}

DType fromQobm(qobmDType t) {
  switch (t) {
    case qobmDT_UINT8:
      return DType{1, 8, 1};
    case qobmDT_INT8:
      return DType{0, 8, 1};
    case qobmDT_UINT16:
      return DType{1, 16, 1};
    case qobmDT_INT16:
      return DType{0, 16, 1};
    case qobmDT_UINT32:
      return DType{1, 32, 1};
    case qobmDT_INT32:
      return DType{0, 32, 1};
    case qobmDT_FLOAT16:
      return DType{2, 16, 1};
    case qobmDT_BFLOAT:
      return DType{4, 16, 1};
    default:
      return DType{2, 32, 1};
  }
}

}  // namespace

const char* stageName(Stage s) {
  switch (s) {
    case Stage::kInput:
      return "input";
    case Stage::kNormalize:
      return "normalize";
    case Stage::kModel:
      return "model";
    case Stage::kCopy:
      return "copy";
  }
  return "?";
}

const char* stageKind(Stage s) {
  switch (s) {
    case Stage::kInput:
      return "input op";
    case Stage::kNormalize:
      return "pre-processing op";
    case Stage::kModel:
      return "run-model op";
    case Stage::kCopy:
      return "memory-copy op";
  }
  return "op";
}

bool parseStages(const std::string& text, std::vector<Stage>* out, std::string* error) {
  std::vector<Stage> stages;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    bool known = false;
    for (Stage s : {Stage::kInput, Stage::kNormalize, Stage::kModel, Stage::kCopy}) {
      if (item == stageName(s)) {
        stages.push_back(s);
        known = true;
      }
    }
    if (!known) {
      *error = "--graph: unknown stage \"" + item + "\" (stages: input, normalize, model, copy)";
      return false;
    }
  }
  // The only shapes the graph API can build: input -> [normalize ->] model [-> copy].
  size_t i = 0;
  const auto at = [&](Stage s) { return i < stages.size() && stages[i] == s; };
  bool ok = at(Stage::kInput);
  if (ok) ++i;
  if (ok && at(Stage::kNormalize)) ++i;
  ok = ok && at(Stage::kModel);
  if (ok) ++i;
  if (ok && at(Stage::kCopy)) ++i;
  if (!ok || i != stages.size()) {
    *error = "--graph \"" + text + "\": the pipeline is input, then optionally normalize, then model, then optionally copy";
    return false;
  }
  *out = stages;
  return true;
}

std::string stagesText(const std::vector<Stage>& stages) {
  std::string t;
  for (Stage s : stages) t += (t.empty() ? "" : ",") + std::string(stageName(s));
  return t;
}

std::vector<int64_t> TensorInfo::dims() const {
  std::vector<int64_t> d;
  for (uint32_t i = 0; i < shape.ndims && i < 6; ++i) d.push_back(shape.shapes[i]);
  return d;
}

std::string shapeText(const qobmShape& s) {
  std::string t = "[";
  for (uint32_t d = 0; d < s.ndims && d < 6; ++d) t += (d ? "," : "") + std::to_string(s.shapes[d]);
  return t + "]";
}

bool ModelInfo::needsCopy() const {
  for (const auto& o : outputs) {
    if (o.coreLayout()) return true;
  }
  return false;
}

uint64_t ModelInfo::inputBytes() const {
  uint64_t n = 0;
  for (const auto& t : inputs) n += t.bytes;
  return n;
}

uint64_t ModelInfo::outputBytes() const {
  uint64_t n = 0;
  for (const auto& t : outputs) n += t.bytes;
  return n;
}

bool useDevice(uint32_t device) {
  uint32_t cur = 0;
  if (qobmGetDevice(&cur) == 0 && cur == device) return true;
  return qobmSetDevice(device) == 0;
}

Pipeline::~Pipeline() { release(); }

std::string Pipeline::load(const ModelDir& dir, const LoadOptions& opts) {
  ErrorCapture cap;
  dir_ = dir;
  device_ = opts.device;
  fileProblem_ = false;
  if (!useDevice(device_)) return "qobmSetDevice(" + std::to_string(device_) + ") failed: is there a card?";
  qoblErr rc;
  if (dir.dynamic) {
    rc = qoblCreateDynamicModel(dir.suite.c_str(), dir.hw.empty() ? nullptr : dir.hw.c_str(), &model_);
    if (rc != 0) {
      fileProblem_ = rc == qoblERR_MODEL_FILE;
      return fail("qoblCreateDynamicModel", rc, cap, dir.suite);
    }
    std::vector<qobmShape> shapes(opts.inputShapes.size());
    std::string shapeList;
    for (size_t i = 0; i < shapes.size(); ++i) {
      shapes[i].ndims = static_cast<uint32_t>(opts.inputShapes[i].size());
      for (size_t d = 0; d < opts.inputShapes[i].size() && d < 6; ++d) shapes[i].shapes[d] = opts.inputShapes[i][d];
      shapeList += (i ? " " : "") + shapeText(shapes[i]);
    }
    if ((rc = qoblSetDynamicModelInputShape(model_, shapes.data(), static_cast<uint32_t>(shapes.size()))) != 0) {
      std::string what = shapeList;
      if (opts.inputShapes.size() == 1 && opts.inputShapes[0].size() == 4)
        what = std::to_string(opts.inputShapes[0][2]) + "x" + std::to_string(opts.inputShapes[0][3]);
      return fail("qoblSetDynamicModelInputShape", rc, cap, "shape " + what);
    }
    if ((rc = qoblGetDynamicModelMaxBatchSize(model_, nullptr, 0, &info_.maxBatch)) != 0)
      return fail("qoblGetDynamicModelMaxBatchSize", rc, cap);
    inputOpShapes_ = shapes;
  } else {
    rc = qoblCreateModel(dir.lib.c_str(), dir.graph.c_str(), dir.params.c_str(),
                         dir.hw.empty() ? nullptr : dir.hw.c_str(), &model_);
    if (rc != 0) {
      fileProblem_ = rc == qoblERR_MODEL_FILE;
      return fail("qoblCreateModel", rc, cap, dir.dir);
    }
    if ((rc = qoblGetModelMaxBatchSize(model_, &info_.maxBatch)) != 0)
      return fail("qoblGetModelMaxBatchSize", rc, cap);
  }
  uint32_t b = opts.batch == 0 ? info_.maxBatch : opts.batch;
  if ((rc = qoblSetModelBatchSize(model_, &b)) != 0) return fail("qoblSetModelBatchSize", rc, cap);
  info_.batch = b;

  uint32_t inputs = 0, outputs = 0;
  if ((rc = qoblGetModelInputCount(model_, &inputs)) != 0) return fail("qoblGetModelInputCount", rc, cap);
  if ((rc = qoblGetModelOutputCount(model_, &outputs)) != 0) return fail("qoblGetModelOutputCount", rc, cap);
  if (inputs == 0 || inputs > 4) return "models with 1 to 4 inputs are supported";
  // Names and input element types come from the graph; the library knows the outputs' types itself.
  GraphSignature sig;
  if (!readSignature(dir, &sig).empty()) sig = GraphSignature();
  const bool namedIn = sig.inputs.size() == inputs, namedOut = sig.outputs.size() == outputs;
  for (uint32_t i = 0; i < inputs; ++i) {
    TensorInfo t;
    t.index = i;
    if ((rc = qoblGetModelInputShapeByIndex(model_, static_cast<int32_t>(i), &t.shape)) != 0)
      return fail("qoblGetModelInputShapeByIndex", rc, cap);
    t.name = namedIn ? sig.inputs[i].name : "input" + std::to_string(i);
    if (namedIn) t.dtype = sig.inputs[i].dtype;
    t.bytes = t.cardBytes = elements(t.shape) * dtypeBytes(t.dtype);
    info_.inputs.push_back(t);
  }
  for (uint32_t o = 0; o < outputs; ++o) {
    TensorInfo t;
    t.index = o;
    qobmDType type = qobmDT_FLOAT32;
    const int32_t idx = static_cast<int32_t>(o);
    if ((rc = qoblGetModelOutputShapeByIndex(model_, idx, &t.shape)) != 0)
      return fail("qoblGetModelOutputShapeByIndex", rc, cap);
    if ((rc = qoblGetModelOutputSizeByIndex(model_, idx, &t.bytes)) != 0)
      return fail("qoblGetModelOutputSizeByIndex", rc, cap);
    if ((rc = qoblGetModelAlignOutputSizeByIndex(model_, idx, &t.cardBytes)) != 0)
      return fail("qoblGetModelAlignOutputSizeByIndex", rc, cap);
    if ((rc = qoblGetModelOutputDataTypeByIndex(model_, idx, &type)) != 0)
      return fail("qoblGetModelOutputDataTypeByIndex", rc, cap);
    t.dtype = fromQobm(type);
    t.name = namedOut ? sig.outputs[o].name : "output" + std::to_string(o);
    info_.outputs.push_back(t);
  }
  return "";
}

void Pipeline::addOp(Stage stage, qobeOp* op) {
  PipelineOp p;
  p.op = op;
  p.stage = stage;
  uint64_t name = 0;
  if (qobeGetOpAttr(op, "name", qobeATTR_UINT64, &name) == 0 && name != 0)
    p.name = reinterpret_cast<const char*>(static_cast<uintptr_t>(name));
  qobeGetOpAttr(op, "uid", qobeATTR_UINT32, &p.uid);
  if (p.name.empty()) p.name = std::string(stageName(stage)) + "_" + std::to_string(p.uid);
  ops_.push_back(p);
}

std::string Pipeline::build(const std::vector<Stage>& stages) {
  ErrorCapture cap;
  if (!useDevice(device_)) return "qobmSetDevice(" + std::to_string(device_) + ") failed";
  stages_ = stages;
  qoblErr rc = qoblCreateOpGraph(&graph_);
  if (rc != 0) return fail("qoblCreateOpGraph", rc, cap);
  qobeOp* op = nullptr;
  const uint32_t inputs = static_cast<uint32_t>(info_.inputs.size());
  if ((rc = qoblCreateGraphInputOp(graph_, inputs, &op)) != 0) return fail("qoblCreateGraphInputOp", rc, cap);
  addOp(Stage::kInput, op);
  // A dynamic model takes its shapes for each run from the output shapes ("output_count" of them) of the op
  // right above it: the input op, or the pre-processing op, which gets the same shapes below.
  if (!inputOpShapes_.empty() &&
      (qobeSetOpAttr(op, "output_count", qobeATTR_UINT32, 1, static_cast<unsigned>(inputOpShapes_.size())) != 0 ||
       setShapeArray(op, "output_shape", inputOpShapes_) != 0))
    return "could not set the input op's output shapes";
  std::vector<uint64_t> inBytes;
  for (const auto& t : info_.inputs) inBytes.push_back(t.bytes);

  for (size_t i = 1; i < stages.size(); ++i) {
    qobeOp* parent = ops_.back().op;
    op = nullptr;
    switch (stages[i]) {
      case Stage::kNormalize: {
        int q = qobeCreateOp(qobeOP_PREPROCESS_OP, &op);
        if (q != 0) return "qobeCreateOp(pre-processing) failed: " + std::to_string(q);
        addOp(Stage::kNormalize, op);
        // It converts every model input in place of size: as many tensors in as out, each of the
        // model input's size; the run-model op below writes its scale and tensor type onto it.
        if ((q = qobeSetOpAttr(op, "input_count", qobeATTR_UINT32, 1, inputs)) != 0 ||
            (q = qobeSetOpAttr(op, "output_count", qobeATTR_UINT32, 1, inputs)) != 0 ||
            (q = setU32Array(op, "input_size", inBytes)) != 0 || (q = setU32Array(op, "output_size", inBytes)) != 0 ||
            (q = qobeSetOpAttr(op, "is_runmodel_input", qobeATTR_BOOL, 1, 1)) != 0 ||
            (!inputOpShapes_.empty() && (q = setShapeArray(op, "output_shape", inputOpShapes_)) != 0))
          return "could not configure the pre-processing op: " + std::to_string(q);
        if ((rc = qoblConnectOps(parent, op)) != 0) return fail("qoblConnectOps(input, normalize)", rc, cap);
        break;
      }
      case Stage::kModel:
        if ((rc = qoblCreateRunModelOp(model_, &op)) != 0) return fail("qoblCreateRunModelOp", rc, cap);
        addOp(Stage::kModel, op);
        if ((rc = qoblConnectOps(parent, op)) != 0) return fail("qoblConnectOps(..., model)", rc, cap);
        break;
      case Stage::kCopy: {
        const int q = qobeCreateOp(qobeOP_MEM_COPY_OP, &op);
        if (q != 0) return "qobeCreateOp(memory-copy) failed: " + std::to_string(q);
        addOp(Stage::kCopy, op);
        if ((rc = qoblConnectOps(parent, op)) != 0) return fail("qoblConnectOps(model, copy)", rc, cap);
        break;
      }
      case Stage::kInput:
        return "the input op must come first";
    }
  }
  return "";
}

void Pipeline::release() {
  if (graph_ == nullptr && ops_.empty() && model_ == nullptr) return;
  useDevice(device_);
  if (graph_ != nullptr) {
    qoblDestroyOpGraph(graph_);
    std::free(graph_);   // the handle record is the caller's (malloc'ed by qoblCreateOpGraph)
    graph_ = nullptr;
  }
  for (auto& p : ops_) qobeDestroyOp(p.op);
  ops_.clear();
  if (model_ != nullptr) {
    qoblDestroyModel(model_);
    model_ = nullptr;
  }
}

const PipelineOp* Pipeline::findOp(const qobeOp* op) const {
  for (const auto& p : ops_) {
    if (p.op == op) return &p;
  }
  return nullptr;
}

std::vector<int32_t> Pipeline::normalizeConversions() const {
  std::vector<int32_t> types;
  for (const auto& p : ops_) {
    if (p.stage != Stage::kNormalize) continue;
    for (size_t i = 0; i < info_.inputs.size(); ++i) {
      int32_t type = qobeTENSORIZATION_NONE;
      const std::string key = "tensor_type" + std::to_string(i);
      if (qobeGetOpAttr(p.op, key.c_str(), qobeATTR_INT32, &type) != 0) type = qobeTENSORIZATION_NONE;
      types.push_back(type);
    }
  }
  return types;
}

std::string Pipeline::chainText() const {
  std::string t;
  for (const auto& p : ops_) t += (t.empty() ? "" : " -> ") + p.name;
  return t;
}

std::string Pipeline::dotText(const std::string& modelName) const {
  std::ostringstream os;
  os << "digraph qobl_pipeline {\n"
        "  rankdir=LR;\n"
        "  node [shape=box, style=rounded, fontname=\"Helvetica\"];\n"
        "  label=\"model "
     << modelName << ", batch " << info_.batch << "\";\n";
  for (const auto& p : ops_) {
    os << "  \"" << p.name << "\" [label=\"" << p.name << "\\n" << stageKind(p.stage) << ", uid " << p.uid;
    switch (p.stage) {
      case Stage::kInput:
        os << "\\n" << info_.inputs.size() << " input(s) per run";
        break;
      case Stage::kNormalize:
        os << "\\nconverts " << info_.inputs.size() << " tensor(s)";
        break;
      case Stage::kModel:
        os << "\\n" << modelName << ", batch " << info_.batch;
        break;
      case Stage::kCopy:
        os << "\\ngathers " << info_.outputs.size() << " output(s) from core tensors";
        break;
    }
    os << "\"];\n";
  }
  for (size_t i = 1; i < ops_.size(); ++i) os << "  \"" << ops_[i - 1].name << "\" -> \"" << ops_[i].name << "\";\n";
  os << "}\n";
  return os.str();
}

}  // namespace qobltools
}  // namespace zenlar
