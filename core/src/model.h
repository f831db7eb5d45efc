// Model: one model loaded from files (static) or from a suite (dynamic-shape), behind IModel.
#ifndef QOBL_MODEL_H
#define QOBL_MODEL_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "i_model.h"
#include "model_preop.h"

namespace zenlar {
namespace qobl {

enum class ModelState : uint32_t { CREATED = 1, SHAPED = 2, LOADED = 3 };

class Model final : public IModel {
 public:
  // Takes ownership of the model module `mod` (never null: throws std::invalid_argument otherwise, and
  // then the caller keeps the module).  A static model starts SHAPED, a dynamic one CREATED.
  Model(void* mod, const std::string& md5, uint32_t devId, bool isDynamic);
  // Frees the pre-process configuration on the card, then the model module.
  ~Model() override;
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  bool setBatchSize(uint32_t& batchSize) override;
  bool getInputCount(uint32_t& count) override;
  bool getOutputCount(uint32_t& count) override;
  bool getBatchSize(uint32_t& size) override;
  // A loaded model that knows its counts answers at once (one call instead of three); otherwise the three
  // getters answer, with their checks and log lines.
  // Every device run asks: read without the lock (a reload that runs meanwhile publishes whole values).
  void getRunCounts(uint32_t& batch, uint32_t& inputs, uint32_t& outputs) override {
    const int in = inputCount_.load(), out = outputCount_.load();
    if (state_.load() == ModelState::LOADED && in >= 0 && out >= 0) {
      batch = batchsize_.load();
      inputs = static_cast<uint32_t>(in);
      outputs = static_cast<uint32_t>(out);
      return;
    }
    IModel::getRunCounts(batch, inputs, outputs);
  }
  bool getMaxBatchSize(uint32_t& size) override;
  bool getMaxBatchSize(const std::vector<qoblShape>& shapes, uint32_t& size) override;
  bool getMaxBatchSize(const qobmShape* shapes, uint32_t count, uint32_t& size) override;
  bool getModelAddress(uint64_t& modelAddr) override;
  bool setInputShape(const std::vector<qoblShape>& shapes) override;
  bool setInputShape(const qobmShape* shapes, uint32_t count) override;
  bool getInputShapeByIndex(int32_t index, qobmShape& shape) override;
  bool getInputSizeByIndex(int32_t index, int64_t& size) override;
  bool getOutputShapeByIndex(int32_t index, qobmShape& shape) override;
  bool getOutputCoreShapes(int32_t index, modelShape& shapes) override;
  bool getOutPutSizeByIndex(int32_t index, int64_t& size) override;
  bool getAlignOutPutSizeByIndex(int32_t index, int64_t& size) override;
  bool getOutPutDtype(int32_t index, DLDataType& type) override;
  bool getPreOpCfgScaleFactorByIndex(int32_t index, uint16_t& value) override;
  bool getPreOpCfgTensorTypeByIndex(int32_t index, uint16_t& value) override;
  bool getPreOpCfgExtraMeanStdValues(std::vector<std::vector<uint16_t>>& values) override;
  bool getPreOpCfgAddrList(std::vector<uint64_t>& addrs) override;
  bool isDynamic() override;
  bool cardOf(uint32_t& dev) override {
    dev = devId_;
    return true;
  }
  std::recursive_mutex* configurationLock() override { return &mu_; }
  uint64_t configurationGeneration() override { return generation_.load(); }

  ModelState state() const { return state_.load(); }

 private:
  // Loads the selected module node on the device: model address, then the pre-process configuration.
  // Logs its own failures.  May throw the module runtime's error (from the input-type query).
  bool loadModelAndPreOpInfo(const std::string& realModelName);
  // Frees the uploaded pre-process records and empties the configuration.
  void clearPreOpInfo();
  // Checks shapes against the module's input ranks and converts them (throws on mismatch).
  modelShape toModelShape(const std::vector<qoblShape>& shapes);
  // Throws what toModelShape throws first for `count` shapes: not a dynamic model, or a count other than
  // the module's number of inputs.
  void requireShapeCount(size_t count);
  void requireState(ModelState atLeast) const;
  // The counts belong to the selected module node: asked again after another node is loaded.
  void forgetCounts() { inputCount_ = outputCount_ = -1; }
  // Throws with the module's text for a non-zero module code.
  static void check(int code);
  // Runs one operation under mu_: true when it returned true; an escaping standard exception is logged
  // with `format` (one %s for its text) under the operation's name `func` and gives false.
  template <class F>
  bool guarded(const char* func, const char* format, F&& operation);

  // Serialises the operations on the model (its module calls, its loads, the members below that are not
  // atomic).  The getters every device run asks (getRunCounts, getModelAddress, getBatchSize and the
  // counts once known) read atomic members without it.  Recursive: a stream holds it around the loads
  // and the run they are for (configurationLock).
  std::recursive_mutex mu_;
  // Raised by every load (setBatchSize, setInputShape).
  std::atomic<uint64_t> generation_{0};

  void* module_;
  uint32_t devId_;
  bool isDynamic_;
  std::string modelMd5_;
  std::atomic<uint32_t> batchsize_;
  std::string realModelName_;
  std::atomic<uint64_t> modelAddr_;
  std::atomic<ModelState> state_;
  modelShape curSetShapes_;
  // Input and output counts per batch as the module gave them (-1: not asked yet for the selected node);
  // every device run's argument needs them.
  std::atomic<int> inputCount_{-1};
  std::atomic<int> outputCount_{-1};
  std::vector<DeviceBlock> preOpCfgAddrArray_;  // the pre-processing configuration uploaded to the card
  PreOpCfg preOpCfg_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_MODEL_H
