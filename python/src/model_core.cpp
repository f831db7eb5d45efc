#include "model_core.h"

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "call_error.h"

namespace zenlar {
namespace qobl {
namespace python {

uint32_t dtypeSize(qobmDType t) {
  switch (t) {
    case qobmDT_UINT8:
    case qobmDT_INT8:
      return 1;
    case qobmDT_UINT16:
    case qobmDT_INT16:
    case qobmDT_FLOAT16:
      return 2;
    case qobmDT_UINT32:
    case qobmDT_INT32:
    case qobmDT_FLOAT32:
      return 4;
    default:
      return 0;
  }
}

std::vector<int64_t> shapeOf(const qobmShape& s) {
  std::vector<int64_t> v;
  for (uint32_t d = 0; d < s.ndims && d < 6; ++d) v.push_back(s.shapes[d]);
  return v;
}

namespace {

std::atomic<bool> gCardUsed{false};
std::atomic<bool> gCardLost{false};

// The child's exit skips the process's remaining exit handlers: among them are the destructors of the card
// platform's static state, which join the card's threads; the child has none of them, so the join waits
// forever (or fails and aborts).  Registered in the child after those destructors were, it runs before them.
void exitWithoutTeardown(int status, void*) {
  std::fflush(nullptr);
  _exit(status);
}

void onForkChild() {
  if (!gCardUsed.load()) return;
  gCardLost.store(true);
  on_exit(&exitWithoutTeardown, nullptr);
}

uint64_t elements(const std::vector<int64_t>& shape) {
  uint64_t n = 1;
  for (int64_t d : shape) n *= static_cast<uint64_t>(d > 0 ? d : 0);
  return n;
}

}  // namespace

void watchForks() {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(nullptr, nullptr, &onForkChild); });
}

bool cardLostByFork() { return gCardLost.load(std::memory_order_relaxed); }

void checkCardUsable() {
  if (cardLostByFork())
    throw std::runtime_error(
        "this process was forked from one that had opened a model: the card's state stays with the parent, "
        "and neither its models and pipelines nor new ones work here; start worker processes with "
        "multiprocessing's 'spawn' or 'forkserver' method, or fork before opening any model");
}

ModelCore::ModelCore(const ModelFiles& files, uint32_t batch, uint32_t device,
                     const std::vector<std::vector<int64_t>>& shapes, const std::vector<ElementType>& inputTypes)
    : device_(device), dynamic_(!files.suite.empty()) {
  checkCardUsable();
  gCardUsed.store(true);   // before the first library call that may start the card's threads
  check(static_cast<uint32_t>(qobmSetDevice(device)), "qobmSetDevice");
  const char* hw = files.hw.empty() ? nullptr : files.hw.c_str();
  clearLoggedErrors();
  try {
    if (dynamic_) {
      check(qoblCreateDynamicModel(files.suite.c_str(), hw, &model_), "qoblCreateDynamicModel");
      std::vector<qobmShape> set(shapes.size());
      for (size_t i = 0; i < shapes.size(); ++i) {
        if (shapes[i].size() > 6) throw std::invalid_argument("a shape has more than 6 dimensions");
        set[i].ndims = static_cast<uint32_t>(shapes[i].size());
        for (size_t d = 0; d < shapes[i].size(); ++d) set[i].shapes[d] = shapes[i][d];
      }
      check(qoblSetDynamicModelInputShape(model_, set.data(), static_cast<uint32_t>(set.size())),
            "qoblSetDynamicModelInputShape");
      check(qoblGetDynamicModelMaxBatchSize(model_, nullptr, 0, &maxBatch_), "qoblGetDynamicModelMaxBatchSize");
      shapes_ = shapes;
    } else {
      check(qoblCreateModel(files.lib.c_str(), files.graph.c_str(), files.params.c_str(), hw, &model_),
            "qoblCreateModel");
      check(qoblGetModelMaxBatchSize(model_, &maxBatch_), "qoblGetModelMaxBatchSize");
    }
    batch_ = batch == 0 ? maxBatch_ : batch;
    check(qoblSetModelBatchSize(model_, &batch_), "qoblSetModelBatchSize");
    describe(inputTypes);
  } catch (...) {
    if (model_ != nullptr) qoblDestroyModel(model_);
    model_ = nullptr;
    throw;
  }
}

void ModelCore::describe(const std::vector<ElementType>& inputTypes) {
  uint32_t inCount = 0, outCount = 0;
  check(qoblGetModelInputCount(model_, &inCount), "qoblGetModelInputCount");
  check(qoblGetModelOutputCount(model_, &outCount), "qoblGetModelOutputCount");
  for (uint32_t i = 0; i < inCount; ++i) {
    qobmShape s{};
    check(qoblGetModelInputShapeByIndex(model_, static_cast<int32_t>(i), &s), "qoblGetModelInputShapeByIndex");
    TensorSpec t;
    t.shape = shapeOf(s);
    // An input is handed to the model as its graph declares it; float32 when the graph says nothing.
    const bool declared = inputTypes.size() == inCount;
    t.typeName = declared ? inputTypes[i].name : "float32";
    t.bytes = t.alignBytes = elements(t.shape) * (declared ? inputTypes[i].size : sizeof(float));
    inputs_.push_back(t);
  }
  for (uint32_t o = 0; o < outCount; ++o) {
    const int32_t idx = static_cast<int32_t>(o);
    qobmShape s{};
    TensorSpec t;
    check(qoblGetModelOutputShapeByIndex(model_, idx, &s), "qoblGetModelOutputShapeByIndex");
    check(qoblGetModelOutputDataTypeByIndex(model_, idx, &t.dtype), "qoblGetModelOutputDataTypeByIndex");
    check(qoblGetModelOutputSizeByIndex(model_, idx, &t.bytes), "qoblGetModelOutputSizeByIndex");
    check(qoblGetModelAlignOutputSizeByIndex(model_, idx, &t.alignBytes), "qoblGetModelAlignOutputSizeByIndex");
    t.shape = shapeOf(s);
    if (dtypeSize(t.dtype) == 0 || elements(t.shape) * dtypeSize(t.dtype) != t.bytes)
      throw CallError(qoblERR_MODEL_OPERATION, "output " + std::to_string(o) + " has data type " +
                                                   std::to_string(t.dtype) + " and " + std::to_string(t.bytes) +
                                                   " bytes, which no numpy array of its shape holds");
    outputs_.push_back(t);
  }
}

ModelCore::~ModelCore() {
  if (cardLostByFork()) return;   // the parent's model: left alone
  std::lock_guard<std::mutex> g(mu_);
  if (model_ != nullptr) qoblDestroyModel(model_);
  model_ = nullptr;
}

void ModelCore::close() {
  if (cardLostByFork()) {   // the only thread of the child: no lock needed, and the parent's may be held
    model_ = nullptr;
    return;
  }
  std::lock_guard<std::mutex> g(mu_);
  if (model_ == nullptr || closing_) return;
  if (users_ != 0) throw std::invalid_argument("the model is still used by " + std::to_string(users_) + " open pipeline(s)");
  if (detached_ != 0) {
    closing_ = true;
    return;
  }
  qoblDestroyModel(model_);
  model_ = nullptr;
}

bool ModelCore::closed() const {
  if (cardLostByFork()) return model_ == nullptr;
  std::lock_guard<std::mutex> g(mu_);
  return model_ == nullptr || closing_;
}

qoblModel* ModelCore::acquireUse() {
  checkCardUsable();
  std::lock_guard<std::mutex> g(mu_);
  if (model_ == nullptr || closing_)
    throw std::invalid_argument("the model is closed: open it again with qobl.Model(path) to build pipelines on it");
  ++users_;
  return model_;
}

void ModelCore::releaseUse() {
  std::lock_guard<std::mutex> g(mu_);
  if (users_ > 0) --users_;
}

void ModelCore::detachUse() {
  std::lock_guard<std::mutex> g(mu_);
  if (users_ > 0) --users_;
  ++detached_;
}

void ModelCore::releaseDetached() {
  std::lock_guard<std::mutex> g(mu_);
  if (detached_ > 0) --detached_;
  if (detached_ == 0 && closing_ && model_ != nullptr) {
    qoblDestroyModel(model_);
    model_ = nullptr;
  }
}

}  // namespace python
}  // namespace qobl
}  // namespace zenlar
