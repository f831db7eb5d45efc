// A loaded model: the library's model handle with its batch size set, and what it reports about its inputs
// and outputs.  Shared between the Python Model object and every pipeline built on it.
#ifndef QOBL_PYTHON_MODEL_CORE_H
#define QOBL_PYTHON_MODEL_CORE_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "qobl_api.h"

namespace zenlar {
namespace qobl {
namespace python {

// One input or output of one batch item.
struct TensorSpec {
  std::vector<int64_t> shape;
  qobmDType dtype = qobmDT_FLOAT32;   // outputs: the element type the library reports
  std::string typeName;              // numpy's name of the element type ("float32", "uint8", ...)
  uint64_t bytes = 0;        // plain byte size
  uint64_t alignBytes = 0;   // outputs: byte size in the card's core layout
};

// Where the model's files are.  `suite` set: a dynamic suite (lib/graph/params unused); `hw` may be empty.
struct ModelFiles {
  std::string lib, graph, params, hw, suite;
};

// The element type of a model input as its graph declares it: numpy's name for it and its size in bytes.
// The library does not report input types; the binding reads them from the graph.
struct ElementType {
  std::string name;
  uint32_t size = 0;
};

class ModelCore {
 public:
  // Loads the model on `device` and sets its batch size (0: the largest).  A dynamic suite first gets
  // `shapes` (one per input) and its largest batch at those shapes.  `inputTypes` holds one element type
  // per model input; when it holds another number of them (the graph could not be read) every input is
  // taken as float32.  Throws CallError.
  ModelCore(const ModelFiles& files, uint32_t batch, uint32_t device, const std::vector<std::vector<int64_t>>& shapes,
            const std::vector<ElementType>& inputTypes);
  ~ModelCore();
  ModelCore(const ModelCore&) = delete;
  ModelCore& operator=(const ModelCore&) = delete;

  // Destroys the library's model.  Refused (std::invalid_argument) while a pipeline uses it; a second close does
  // nothing.  While closed pipelines are still being released in the background (detachUse) the model
  // counts as closed, and is destroyed once the last of them is done.
  void close();
  bool closed() const;

  // For a pipeline being built on the model: the handle, counted as in use until releaseUse().  Throws
  // std::invalid_argument once the model is closed.
  qoblModel* acquireUse();
  void releaseUse();
  // A closed pipeline whose release goes on in the background: its use no longer keeps the model open,
  // but the model stays loaded until releaseDetached().
  void detachUse();
  void releaseDetached();

  uint32_t device() const { return device_; }
  uint32_t batch() const { return batch_; }
  uint32_t maxBatch() const { return maxBatch_; }
  bool dynamic() const { return dynamic_; }
  const std::vector<TensorSpec>& inputs() const { return inputs_; }
  const std::vector<TensorSpec>& outputs() const { return outputs_; }
  const std::vector<std::vector<int64_t>>& inputShapes() const { return shapes_; }   // dynamic: as set

 private:
  void describe(const std::vector<ElementType>& inputTypes);

  mutable std::mutex mu_;
  qoblModel* model_ = nullptr;
  uint32_t users_ = 0;
  uint32_t detached_ = 0;    // uses of pipelines being released in the background
  bool closing_ = false;     // closed while detached_ != 0: destroyed by the last releaseDetached()
  uint32_t device_ = 0, batch_ = 0, maxBatch_ = 0;
  bool dynamic_ = false;
  std::vector<std::vector<int64_t>> shapes_;
  std::vector<TensorSpec> inputs_, outputs_;
};

// A process forked after it opened a model has none of the card's threads (the card platform starts them with
// the first model and never stops them), so any library call of the child would wait for them forever.
// watchForks() installs a fork handler (once) that marks the card lost in such a child; from then on every
// entry point of the package refuses with checkCardUsable()'s error, and closing what the parent made only
// marks it closed, touching neither the library nor locks a thread of the parent may have held.
void watchForks();
bool cardLostByFork();
// Throws std::runtime_error, saying what to do instead, when cardLostByFork().
void checkCardUsable();

// Element size of a platform data type (0 when numpy has no matching type).
uint32_t dtypeSize(qobmDType t);
std::vector<int64_t> shapeOf(const qobmShape& s);

}  // namespace python
}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_PYTHON_MODEL_CORE_H
