// One model loaded on one card and the op graph that runs it: input -> [normalize ->] model [-> copy],
// built with libqobl's graph API.  Streams over the graph are made with qobl_tools/stream.h.
//
// Ownership: a Pipeline owns its model handle, its graph handle and the ops it created, and releases them
// (graph, ops, model - in that order) in release() or its destructor, on its own card.  Every Stream made
// from a Pipeline must be destroyed before the Pipeline.  Several Pipelines may share a process, one per
// (model, card); a Pipeline is not copyable and its methods are not meant to be called concurrently, but
// its const queries may be read from any thread once load() and build() have returned.
#ifndef QOBL_TOOLS_PIPELINE_H
#define QOBL_TOOLS_PIPELINE_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "qobl_api.h"
#include "qobl_tools/model_dir.h"

namespace zenlar {
namespace qobltools {

// One stage of a pipeline.
enum class Stage { kInput, kNormalize, kModel, kCopy };

const char* stageName(Stage s);   // "input", "normalize", "model", "copy"
const char* stageKind(Stage s);   // "input op", "pre-processing op", "run-model op", "memory-copy op"

// Parses a stage list such as "input,normalize,model,copy".  The order is fixed: input first, model present
// once, normalize only before the model, copy only after it.  The error names the list as `--graph`.
bool parseStages(const std::string& text, std::vector<Stage>* out, std::string* error);
std::string stagesText(const std::vector<Stage>& stages);   // "input,model"

// One input or output of the loaded model, per batch item.
struct TensorInfo {
  uint32_t index = 0;
  std::string name;           // from the model's graph; "input<i>" / "output<i>" when the graph has none
  qobmShape shape{};          // as the library reports it
  DType dtype;                // inputs: from the graph (float32 when it says nothing); outputs: the library's
  uint64_t bytes = 0;         // plain byte size: elements x element bytes
  uint64_t cardBytes = 0;     // outputs: byte size in the card's core layout; inputs: equal to bytes
  bool coreLayout() const { return cardBytes != bytes; }
  std::vector<int64_t> dims() const;   // the shape's extents
};

std::string shapeText(const qobmShape& s);   // "[1,3,16,16]"

struct ModelInfo {
  uint32_t batch = 0, maxBatch = 0;
  std::vector<TensorInfo> inputs, outputs;
  bool needsCopy() const;           // some output is stored in a core layout that differs from plain
  uint64_t inputBytes() const;      // all inputs of one item
  uint64_t outputBytes() const;     // all plain outputs of one item
};

// How to load a model.
struct LoadOptions {
  uint32_t device = 0;     // the card (made the calling thread's current device by load())
  uint32_t batch = 0;      // requested batch size; 0: the model's largest; clamped to the largest
  // Dynamic models: the input shapes to load with, one per model input ([1, C, H, W]).  Required for a
  // dynamic model (ModelDir::inputShapesAt gives them for a spatial size); ignored for a static one.
  std::vector<std::vector<int64_t>> inputShapes;
};

// One op of the built graph.
struct PipelineOp {
  qobeOp* op = nullptr;
  Stage stage = Stage::kInput;
  std::string name;   // the op engine's "name" attribute
  uint32_t uid = 0;
};

class Pipeline {
 public:
  Pipeline() = default;
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;
  ~Pipeline();

  // Loads the model on opts.device (which becomes the calling thread's current device) and sets its batch
  // size.  Returns "" or what failed, with the library's reason when it logged one.  The error names the
  // failing call; `fileProblem()` then tells whether the library found a model file unusable (301006).
  std::string load(const ModelDir& dir, const LoadOptions& opts);
  bool fileProblem() const { return fileProblem_; }
  // Builds the op graph for the stages (input first).  Returns "" or what failed.
  std::string build(const std::vector<Stage>& stages);
  // Releases graph, ops and model (in that order).  Streams made from the graph must be gone.
  void release();

  uint32_t device() const { return device_; }
  const ModelDir& dir() const { return dir_; }
  qoblModel* model() const { return model_; }
  qoblOpGraph* graph() const { return graph_; }
  // Held while a stream is made from the graph: creating, registering outputs and building a stream write
  // the graph's ops, and the graph has no lock of its own, so streams of one pipeline are made one at a time.
  std::mutex& graphLock() const { return graphMu_; }
  const ModelInfo& info() const { return info_; }
  const std::vector<Stage>& stages() const { return stages_; }
  const std::vector<PipelineOp>& ops() const { return ops_; }
  const PipelineOp* findOp(const qobeOp* op) const;   // nullptr when the op is not one of ours
  const PipelineOp& leaf() const { return ops_.back(); }
  std::string chainText() const;   // "input_op_1 -> run_model_op_2"
  // What the pre-processing op does to each model input (a qobeTensorizationType per input: NONE copies
  // it, the UINT8 and FP16 kinds read it as float32 values and convert them).  The run-model op writes
  // these onto the op when a stream over the graph is built, so they are known only after one was; empty
  // without a normalize stage.
  std::vector<int32_t> normalizeConversions() const;

  // Graphviz DOT text of the graph: every op by name, its kind and what it does.
  std::string dotText(const std::string& modelName) const;

 private:
  void addOp(Stage stage, qobeOp* op);

  uint32_t device_ = 0;
  ModelDir dir_;
  bool fileProblem_ = false;
  qoblModel* model_ = nullptr;
  qoblOpGraph* graph_ = nullptr;
  mutable std::mutex graphMu_;
  ModelInfo info_;
  std::vector<Stage> stages_;
  std::vector<PipelineOp> ops_;
  std::vector<qobmShape> inputOpShapes_;
};

// Makes `device` the calling thread's current device (a no-op when it already is).  False when the card
// refuses it.
bool useDevice(uint32_t device);

}  // namespace qobltools
}  // namespace zenlar

#endif  // QOBL_TOOLS_PIPELINE_H
