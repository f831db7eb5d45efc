// The model and the op graph qobl-run runs: loading the model, building input -> [normalize ->] model
// [-> copy] with the graph API, and describing the result (summary lines, Graphviz DOT).
#ifndef QOBL_RUN_PIPELINE_H
#define QOBL_RUN_PIPELINE_H

#include <cstdint>
#include <string>
#include <vector>

#include "model_dir.h"
#include "options.h"
#include "qobl_api.h"

namespace zenlar {
namespace qoblrun {

// What the loaded model reports about itself (per batch item).
struct ModelInfo {
  uint32_t inputs = 0, outputs = 0;
  uint32_t batch = 0, maxBatch = 0;
  std::vector<qobmShape> inShapes, outShapes;
  std::vector<uint64_t> inBytes;      // float32 elements of each input shape
  std::vector<uint64_t> outBytes;     // plain byte size of each output
  std::vector<uint64_t> alignBytes;   // byte size in the card's core layout
  std::vector<qobmDType> outTypes;
  bool needsCopy() const;             // some output is stored in a core layout that differs from plain
};

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

  // Loads the model on the calling thread's current device and sets its batch size (0: the largest).
  // Returns "" or what failed.
  std::string load(const ModelDir& dir, uint32_t batch);
  // Checks the sample files against the model's sizes; "" when they fit.
  std::string checkSamples(const ModelDir& dir) const;
  // Builds the op graph for the stages (input first).  Returns "" or what failed.
  std::string build(const std::vector<Stage>& stages);
  // Releases graph, ops and model (in that order).  Streams made from the graph must be gone.
  void release();

  qoblModel* model() const { return model_; }
  qoblOpGraph* graph() const { return graph_; }
  const ModelInfo& info() const { return info_; }
  const std::vector<PipelineOp>& ops() const { return ops_; }
  const PipelineOp* findOp(const qobeOp* op) const;
  const PipelineOp& leaf() const { return ops_.back(); }
  std::string chainText() const;   // "input_op_1 -> run_model_op_2"

  // Graphviz DOT text of the graph: every op by name, its kind and what it does.
  std::string dotText(const std::string& modelName) const;

 private:
  std::string addOp(Stage stage, qobeOp* op);

  qoblModel* model_ = nullptr;
  qoblOpGraph* graph_ = nullptr;
  ModelInfo info_;
  std::vector<PipelineOp> ops_;
  std::vector<qobmShape> inputOpShapes_;
};

// "301006 (a model file is missing, unreadable, empty or malformed)"
std::string codeText(uint32_t code);

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_PIPELINE_H
