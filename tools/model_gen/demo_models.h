// demo_models.h - the demo models: weights, graph, hardware configuration and samples for each.
#ifndef QOBL_TOOLS_MODEL_GEN_DEMO_MODELS_H
#define QOBL_TOOLS_MODEL_GEN_DEMO_MODELS_H

#include <string>

namespace zenlar::qobl::modelgen {

// Each writes the model's generated files under `dir` (created if needed); the model library itself is
// built separately from the kernel sources.  Throw std::runtime_error on an I/O failure.
void generateClassifier(const std::string& dir);
void generateSegmenter(const std::string& dir);
void generateDynamic(const std::string& dir);
void generateTrivial(const std::string& dir);
// The model whose kernels split their work over the runtime's worker pool (models/parallel).
void generateParallel(const std::string& dir);
// The model with two real inputs of different shapes and two outputs (models/pair).
void generatePair(const std::string& dir);

}  // namespace zenlar::qobl::modelgen

#endif  // QOBL_TOOLS_MODEL_GEN_DEMO_MODELS_H
