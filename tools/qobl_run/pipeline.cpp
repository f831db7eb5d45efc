#include "pipeline.h"

#include <cstdlib>
#include <sstream>

namespace zenlar {
namespace qoblrun {

namespace {

struct CodeName {
  uint32_t code;
  const char* text;
};

const CodeName kCodes[] = {
    {qoblERR_INVALID_PARAM, "invalid parameter"},
    {qoblERR_MODEL_OPERATION, "a model getter or setter failed"},
    {qoblERR_MODEL_FILE, "a model file is missing, unreadable, empty or malformed"},
    {qoblERR_CREATE_MODEL, "the model runtime or its parameters could not be created"},
    {qoblERR_INPUT_OP_EXISTS, "the graph already has its input op"},
    {qoblERR_PARENT_NOT_IN_GRAPH, "the parent op is in no graph"},
    {qoblERR_NODE_EXISTS, "the node is already in the graph"},
    {qoblERR_CONNECT_OPS, "the ops cannot be connected"},
    {qoblERR_CREATE_OP, "the op could not be created"},
    {qoblERR_SAME_OP, "parent and child are the same op"},
    {qoblERR_CHILD_HAS_PARENT, "the child is an input op or already has a parent"},
    {qoblERR_GRAPH_IN_USE, "a stream still uses the graph"},
    {qoblERR_OP_NOT_IN_STREAM, "the op is not in the stream's graph"},
    {qoblERR_STREAM_ALREADY_BUILT, "the stream is already built"},
    {qoblERR_STREAM_NOT_BUILT, "the stream has not been built"},
    {qoblERR_INVALID_STREAM, "the stream is not registered"},
    {qoblERR_CREATE_STREAM, "the device stream could not be created"},
    {qoblERR_BUILD_STREAM, "the stream build failed"},
    {qoblERR_STREAM_INPUT, "a run's input was rejected"},
    {qoblERR_STREAM_INSTRUCTION, "a run could not be prepared"},
    {qoblERR_RUN_STREAM, "a run could not be started or failed"},
    {qoblERR_DESTROY_STREAM, "the stream could not be destroyed"},
    {qoblERR_RUN_PENDING, "input accepted, waiting for more inputs"},
    {qoblERR_STREAM_SYNC_TIMEOUT, "stream synchronisation timed out"},
    {qoblERR_DEVICE_SYNC_TIMEOUT, "device synchronisation timed out"},
};

uint64_t elements(const qobmShape& s) {
  uint64_t n = 1;
  for (uint32_t d = 0; d < s.ndims && d < 6; ++d) n *= static_cast<uint64_t>(s.shapes[d] > 0 ? s.shapes[d] : 0);
  return n;
}

std::string shapeText(const qobmShape& s) {
  std::string t = "[";
  for (uint32_t d = 0; d < s.ndims && d < 6; ++d) t += (d ? "," : "") + std::to_string(s.shapes[d]);
  return t + "]";
}

std::string fail(const char* call, uint32_t code) { return std::string(call) + " failed: " + codeText(code); }

// Sets a UINT32 array attribute of up to four values (the op engine takes the values as varargs).
int setU32Array(qobeOp* op, const char* key, const std::vector<uint64_t>& v) {
  switch (v.size()) {
    case 1:
      return qobeSetOpAttr(op, key, qobeATTR_UINT32, 1, static_cast<unsigned>(v[0]));
    case 2:
      return qobeSetOpAttr(op, key, qobeATTR_UINT32, 2, static_cast<unsigned>(v[0]), static_cast<unsigned>(v[1]));
    case 3:
      return qobeSetOpAttr(op, key, qobeATTR_UINT32, 3, static_cast<unsigned>(v[0]), static_cast<unsigned>(v[1]),
                           static_cast<unsigned>(v[2]));
    case 4:
      return qobeSetOpAttr(op, key, qobeATTR_UINT32, 4, static_cast<unsigned>(v[0]), static_cast<unsigned>(v[1]),
                           static_cast<unsigned>(v[2]), static_cast<unsigned>(v[3]));
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

const char* kindText(Stage s) {
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

}  // namespace

std::string codeText(uint32_t code) {
  for (const auto& c : kCodes) {
    if (c.code == code) return std::to_string(code) + " (" + c.text + ")";
  }
  char text[256] = {0};
  if (qobmGetErrDesc(code, text, sizeof text) == 0 && text[0] != '\0')
    return std::to_string(code) + " (" + text + ")";
  return std::to_string(code);
}

bool ModelInfo::needsCopy() const {
  for (uint32_t i = 0; i < outputs; ++i) {
    if (alignBytes[i] != outBytes[i]) return true;
  }
  return false;
}

Pipeline::~Pipeline() { release(); }

std::string Pipeline::load(const ModelDir& dir, uint32_t batch) {
  qoblErr rc;
  if (dir.dynamic) {
    rc = qoblCreateDynamicModel(dir.suite.c_str(), dir.hw.empty() ? nullptr : dir.hw.c_str(), &model_);
    if (rc != 0) return fail("qoblCreateDynamicModel", rc) + " for " + dir.suite;
    // The shapes of the chosen sample ([1, C, H, W] per input, from the suite's shape ranges).
    const uint32_t count = static_cast<uint32_t>(dir.inputShapes.size());
    std::vector<qobmShape> shapes(count);
    for (uint32_t i = 0; i < count; ++i) {
      shapes[i].ndims = static_cast<uint32_t>(dir.inputShapes[i].size());
      for (size_t d = 0; d < dir.inputShapes[i].size(); ++d) shapes[i].shapes[d] = dir.inputShapes[i][d];
    }
    if ((rc = qoblSetDynamicModelInputShape(model_, shapes.data(), count)) != 0)
      return fail("qoblSetDynamicModelInputShape", rc) + " for shape " + std::to_string(dir.height) + "x" +
             std::to_string(dir.width);
    if ((rc = qoblGetDynamicModelMaxBatchSize(model_, nullptr, 0, &info_.maxBatch)) != 0)
      return fail("qoblGetDynamicModelMaxBatchSize", rc);
    inputOpShapes_ = shapes;
  } else {
    rc = qoblCreateModel(dir.lib.c_str(), dir.graph.c_str(), dir.params.c_str(),
                         dir.hw.empty() ? nullptr : dir.hw.c_str(), &model_);
    if (rc != 0) return fail("qoblCreateModel", rc) + " for " + dir.dir;
    if ((rc = qoblGetModelMaxBatchSize(model_, &info_.maxBatch)) != 0) return fail("qoblGetModelMaxBatchSize", rc);
  }
  uint32_t b = batch == 0 ? info_.maxBatch : batch;
  if ((rc = qoblSetModelBatchSize(model_, &b)) != 0) return fail("qoblSetModelBatchSize", rc);
  info_.batch = b;

  if ((rc = qoblGetModelInputCount(model_, &info_.inputs)) != 0) return fail("qoblGetModelInputCount", rc);
  if ((rc = qoblGetModelOutputCount(model_, &info_.outputs)) != 0) return fail("qoblGetModelOutputCount", rc);
  if (info_.inputs == 0 || info_.inputs > 4) return "models with 1 to 4 inputs are supported";
  for (uint32_t i = 0; i < info_.inputs; ++i) {
    qobmShape s{};
    if ((rc = qoblGetModelInputShapeByIndex(model_, static_cast<int32_t>(i), &s)) != 0)
      return fail("qoblGetModelInputShapeByIndex", rc);
    info_.inShapes.push_back(s);
    info_.inBytes.push_back(elements(s) * sizeof(float));
  }
  for (uint32_t o = 0; o < info_.outputs; ++o) {
    qobmShape s{};
    uint64_t size = 0, align = 0;
    qobmDType t = qobmDT_FLOAT32;
    const int32_t idx = static_cast<int32_t>(o);
    if ((rc = qoblGetModelOutputShapeByIndex(model_, idx, &s)) != 0) return fail("qoblGetModelOutputShapeByIndex", rc);
    if ((rc = qoblGetModelOutputSizeByIndex(model_, idx, &size)) != 0) return fail("qoblGetModelOutputSizeByIndex", rc);
    if ((rc = qoblGetModelAlignOutputSizeByIndex(model_, idx, &align)) != 0)
      return fail("qoblGetModelAlignOutputSizeByIndex", rc);
    if ((rc = qoblGetModelOutputDataTypeByIndex(model_, idx, &t)) != 0)
      return fail("qoblGetModelOutputDataTypeByIndex", rc);
    info_.outShapes.push_back(s);
    info_.outBytes.push_back(size);
    info_.alignBytes.push_back(align);
    info_.outTypes.push_back(t);
  }
  return "";
}

std::string Pipeline::checkSamples(const ModelDir& dir) const {
  uint64_t in = 0, out = 0;
  std::string inText, outText;
  for (uint32_t i = 0; i < info_.inputs; ++i) {
    in += info_.inBytes[i];
    inText += (i ? " + " : "") + shapeText(info_.inShapes[i]) + " float32";
  }
  for (uint32_t o = 0; o < info_.outputs; ++o) {
    out += info_.outBytes[o];
    outText += (o ? " + " : "") + shapeText(info_.outShapes[o]);
  }
  if (dir.sampleInput.size() != in)
    return dir.sampleDir + "sample_input.bin holds " + std::to_string(dir.sampleInput.size()) +
           " bytes, the model's inputs " + inText + " take " + std::to_string(in);
  if (!dir.expectedOutput.empty() && dir.expectedOutput.size() != out)
    return dir.sampleDir + "expected_output.bin holds " + std::to_string(dir.expectedOutput.size()) +
           " bytes, the model's outputs " + outText + " take " + std::to_string(out);
  return "";
}

std::string Pipeline::addOp(Stage stage, qobeOp* op) {
  PipelineOp p;
  p.op = op;
  p.stage = stage;
  uint64_t name = 0;
  if (qobeGetOpAttr(op, "name", qobeATTR_UINT64, &name) == 0 && name != 0)
    p.name = reinterpret_cast<const char*>(static_cast<uintptr_t>(name));
  qobeGetOpAttr(op, "uid", qobeATTR_UINT32, &p.uid);
  if (p.name.empty()) p.name = std::string(stageName(stage)) + "_" + std::to_string(p.uid);
  ops_.push_back(p);
  return "";
}

std::string Pipeline::build(const std::vector<Stage>& stages) {
  qoblErr rc = qoblCreateOpGraph(&graph_);
  if (rc != 0) return fail("qoblCreateOpGraph", rc);
  qobeOp* op = nullptr;
  if ((rc = qoblCreateGraphInputOp(graph_, info_.inputs, &op)) != 0) return fail("qoblCreateGraphInputOp", rc);
  addOp(Stage::kInput, op);
  // A dynamic model takes its shapes for each run from the output shapes ("output_count" of them) of the op
  // right above it: the input op, or the pre-processing op, which gets the same shapes below.
  if (!inputOpShapes_.empty() &&
      (qobeSetOpAttr(op, "output_count", qobeATTR_UINT32, 1, static_cast<unsigned>(inputOpShapes_.size())) != 0 ||
       setShapeArray(op, "output_shape", inputOpShapes_) != 0))
    return "could not set the input op's output shapes";

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
        if ((q = qobeSetOpAttr(op, "input_count", qobeATTR_UINT32, 1, info_.inputs)) != 0 ||
            (q = qobeSetOpAttr(op, "output_count", qobeATTR_UINT32, 1, info_.inputs)) != 0 ||
            (q = setU32Array(op, "input_size", info_.inBytes)) != 0 ||
            (q = setU32Array(op, "output_size", info_.inBytes)) != 0 ||
            (q = qobeSetOpAttr(op, "is_runmodel_input", qobeATTR_BOOL, 1, 1)) != 0 ||
            (!inputOpShapes_.empty() && (q = setShapeArray(op, "output_shape", inputOpShapes_)) != 0))
          return "could not configure the pre-processing op: " + std::to_string(q);
        if ((rc = qoblConnectOps(parent, op)) != 0) return fail("qoblConnectOps(input, normalize)", rc);
        break;
      }
      case Stage::kModel:
        if ((rc = qoblCreateRunModelOp(model_, &op)) != 0) return fail("qoblCreateRunModelOp", rc);
        addOp(Stage::kModel, op);
        if ((rc = qoblConnectOps(parent, op)) != 0) return fail("qoblConnectOps(..., model)", rc);
        break;
      case Stage::kCopy: {
        const int q = qobeCreateOp(qobeOP_MEM_COPY_OP, &op);
        if (q != 0) return "qobeCreateOp(memory-copy) failed: " + std::to_string(q);
        addOp(Stage::kCopy, op);
        if ((rc = qoblConnectOps(parent, op)) != 0) return fail("qoblConnectOps(model, copy)", rc);
        break;
      }
      case Stage::kInput:
        return "the input op must come first";
    }
  }
  return "";
}

void Pipeline::release() {
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
    os << "  \"" << p.name << "\" [label=\"" << p.name << "\\n" << kindText(p.stage) << ", uid " << p.uid;
    switch (p.stage) {
      case Stage::kInput:
        os << "\\n" << info_.inputs << " input(s) per run";
        break;
      case Stage::kNormalize:
        os << "\\nconverts " << info_.inputs << " tensor(s)";
        break;
      case Stage::kModel:
        os << "\\n" << modelName << ", batch " << info_.batch;
        break;
      case Stage::kCopy:
        os << "\\ngathers " << info_.outputs << " output(s) from core tensors";
        break;
    }
    os << "\"];\n";
  }
  for (size_t i = 1; i < ops_.size(); ++i) os << "  \"" << ops_[i - 1].name << "\" -> \"" << ops_[i].name << "\";\n";
  os << "}\n";
  return os.str();
}

}  // namespace qoblrun
}  // namespace zenlar
