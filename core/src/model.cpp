// Model: state machine, module queries and loading on the device.
//
// Each operation raises its own failures as std::logic_error with the failure text; guarded() catches every
// standard exception (its own and the module runtime's), logging the operation's message with the text.
#include "model.h"

#include <qobcrt/qobcrt.h>

#include <algorithm>
#include <stdexcept>

#include "qobl_log.h"
#include "tvm_model_runtime/tvm_model_runtime_api.h"
#include "tvm_model_runtime/tvm_model_runtime_creator.h"

namespace zenlar {
namespace qobl {

namespace {

constexpr uint32_t kMaxShapeRank = 6;

// Copies extents into a qobmShape; a rank above six cannot be represented and fails.
void fillShape(const std::vector<int64_t>& extents, qobmShape& shape) {
  if (extents.size() > kMaxShapeRank) throw std::logic_error("shape rank exceeds 6");
  shape.ndims = static_cast<uint32_t>(extents.size());
  std::copy(extents.begin(), extents.end(), shape.shapes);
}

}  // namespace

template <class F>
bool Model::guarded(const char* func, const char* format, F&& operation) {
  try {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    return operation();
  } catch (const std::exception& e) {
    qobmLogMessage(qobmLC_CL, qobmLL_ERROR, func, qoblBaseName(__FILE__), __LINE__, format, e.what());
    return false;
  }
}

Model::Model(void* mod, const std::string& md5, uint32_t devId, bool isDynamic)
    : module_(mod),
      devId_(devId),
      isDynamic_(isDynamic),
      modelMd5_(md5),
      batchsize_(1),
      modelAddr_(0),
      state_(isDynamic ? ModelState::CREATED : ModelState::SHAPED) {
  if (mod == nullptr) throw std::invalid_argument("model module is null");
}

Model::~Model() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  clearPreOpInfo();
  TvmModelRuntimeApi::freeTvmModule(module_);
}

void Model::check(int code) {
  if (code != 0) throw std::logic_error(TvmModelRuntimeCreator::tvmErrorCodeToString(code));
}

void Model::requireState(ModelState atLeast) const {
  if (static_cast<uint32_t>(state_.load()) < static_cast<uint32_t>(atLeast)) throw std::logic_error("state wrong");
}

bool Model::setBatchSize(uint32_t& batchSize) {
  return guarded(__func__, "Failed to set batch size %s\n", [&] {
    requireState(ModelState::SHAPED);
    // Refused before anything is stored: a batch size of 0 would be clamped to itself and kept.
    if (batchSize == 0) throw std::logic_error("batch size must be at least 1");
    forgetCounts();
    uint32_t max = 0;
    if (!isDynamic_) {
      check(TvmModelRuntimeApi::getMaxBatchSize(module_, max));
      QOBL_LOG_INFO("max batchsize %d\n", static_cast<int>(max));
      batchSize = std::min(batchSize, max);
      batchsize_ = batchSize;
      check(TvmModelRuntimeApi::setBatchSize(module_, batchSize, realModelName_));
    } else {
      check(TvmModelRuntimeApi::getMaxBatchSize(module_, curSetShapes_, max));
      batchSize = std::min(batchSize, max);
      batchsize_ = batchSize;
      check(TvmModelRuntimeApi::setBatchSize(module_, batchSize, curSetShapes_, realModelName_));
    }
    if (!loadModelAndPreOpInfo(realModelName_)) return false;
    state_ = ModelState::LOADED;
    return true;
  });
}

bool Model::getInputCount(uint32_t& count) {
  const int known = inputCount_.load();
  if (known >= 0 && state_.load() == ModelState::LOADED) {
    count = static_cast<uint32_t>(known);
    return true;
  }
  return guarded(__func__, "exception to get inputcount %s\n", [&] {
    requireState(ModelState::LOADED);
    if (inputCount_ < 0) {
      int n = 0;
      check(TvmModelRuntimeApi::getInputCountPerBatch(module_, realModelName_, n));
      inputCount_ = n;
    }
    count = static_cast<uint32_t>(inputCount_);
    return true;
  });
}

bool Model::getOutputCount(uint32_t& count) {
  const int known = outputCount_.load();
  if (known >= 0) {
    count = static_cast<uint32_t>(known);
    return true;
  }
  return guarded(__func__, "exception to get outputcount %s\n", [&] {
    if (outputCount_ < 0) {
      int n = 0;
      check(TvmModelRuntimeApi::getOutputCountPerBatch(module_, n));
      outputCount_ = n;
    }
    count = static_cast<uint32_t>(outputCount_);
    return true;
  });
}

bool Model::getBatchSize(uint32_t& size) {
  if (state_.load() == ModelState::LOADED) {
    size = batchsize_.load();
    return true;
  }
  return guarded(__func__, "exception to get batchsize %s\n", [&] {
    requireState(ModelState::LOADED);
    size = batchsize_;
    return true;
  });
}

bool Model::getMaxBatchSize(uint32_t& size) {
  return guarded(__func__, "exception to get maxbatchsize %s\n", [&] {
    requireState(ModelState::SHAPED);
    if (isDynamic_) {
      check(TvmModelRuntimeApi::getMaxBatchSize(module_, curSetShapes_, size));
    } else {
      check(TvmModelRuntimeApi::getMaxBatchSize(module_, size));
    }
    return true;
  });
}

void Model::requireShapeCount(size_t count) {
  if (!isDynamic_) throw std::logic_error("must dynamic model");
  std::vector<int64_t> dims;
  check(TvmModelRuntimeApi::getInputDims(module_, dims));
  if (count != dims.size()) throw std::logic_error("shape count is wrong");
}

modelShape Model::toModelShape(const std::vector<qoblShape>& shapes) {
  if (!isDynamic_) throw std::logic_error("must dynamic model");
  std::vector<int64_t> dims;
  check(TvmModelRuntimeApi::getInputDims(module_, dims));
  if (shapes.size() != dims.size()) throw std::logic_error("shape count is wrong");
  modelShape converted;
  converted.reserve(shapes.size());
  for (size_t i = 0; i < shapes.size(); ++i) {
    if (static_cast<int64_t>(shapes[i].ndims) != dims[i]) throw std::logic_error("dims number is wrong");
    if (shapes[i].ndims > kMaxShapeRank) throw std::logic_error("dims number is wrong");
    converted.emplace_back(shapes[i].shapes, shapes[i].shapes + shapes[i].ndims);
  }
  return converted;
}

bool Model::getMaxBatchSize(const std::vector<qoblShape>& shapes, uint32_t& size) {
  return guarded(__func__, "exception to get maxbatchsize %s\n", [&] {
    const modelShape converted = toModelShape(shapes);
    check(TvmModelRuntimeApi::getMaxBatchSize(module_, converted, size));
    return true;
  });
}

bool Model::getMaxBatchSize(const qobmShape* shapes, uint32_t count, uint32_t& size) {
  return guarded(__func__, "exception to get maxbatchsize %s\n", [&] {
    requireShapeCount(count);
    return getMaxBatchSize(std::vector<qoblShape>(shapes, shapes + count), size);
  });
}

bool Model::getModelAddress(uint64_t& modelAddr) {
  if (state_.load() == ModelState::LOADED) {
    modelAddr = modelAddr_.load();
    return true;
  }
  return guarded(__func__, "exception to get model address %s\n", [&] {
    requireState(ModelState::LOADED);
    modelAddr = modelAddr_;
    return true;
  });
}

bool Model::setInputShape(const std::vector<qoblShape>& shapes) {
  return guarded(__func__, "exception to set inputshape %s\n", [&] {
    modelShape converted = toModelShape(shapes);
    forgetCounts();
    check(TvmModelRuntimeApi::setInputShapes(module_, converted));
    if (state_ != ModelState::LOADED) {
      curSetShapes_ = std::move(converted);
      state_ = ModelState::SHAPED;
      return true;
    }
    uint32_t max = 0;
    check(TvmModelRuntimeApi::getMaxBatchSize(module_, converted, max));
    if (batchsize_ > max) {
      throw std::logic_error("last batchsize is exceed max batchsize that current shape support");
    }
    curSetShapes_ = std::move(converted);
    check(TvmModelRuntimeApi::setBatchSize(module_, batchsize_, curSetShapes_, realModelName_));
    return loadModelAndPreOpInfo(realModelName_);
  });
}

bool Model::setInputShape(const qobmShape* shapes, uint32_t count) {
  return guarded(__func__, "exception to set inputshape %s\n", [&] {
    requireShapeCount(count);
    return setInputShape(std::vector<qoblShape>(shapes, shapes + count));
  });
}

bool Model::getInputShapeByIndex(int32_t index, qobmShape& shape) {
  return guarded(__func__, "exception to get inputshape %s\n", [&] {
    requireState(ModelState::LOADED);
    modelShape shapes;
    if (isDynamic_) {
      shapes = curSetShapes_;
    } else {
      check(TvmModelRuntimeApi::getInputShapes(module_, realModelName_, shapes));
    }
    if (static_cast<uint32_t>(index) >= shapes.size()) {
      throw std::logic_error("index should less than input number");
    }
    fillShape(shapes[static_cast<uint32_t>(index)], shape);
    return true;
  });
}

bool Model::getInputSizeByIndex(int32_t index, int64_t& size) {
  return guarded(__func__, "exception to get inputsize %s\n", [&] {
    requireState(ModelState::LOADED);
    std::vector<int64_t> sizes;
    check(TvmModelRuntimeApi::getInputSizes(module_, realModelName_, sizes));
    if (static_cast<uint32_t>(index) >= sizes.size()) {
      throw std::logic_error("index should less than input number");
    }
    size = sizes[static_cast<uint32_t>(index)];
    return true;
  });
}

bool Model::getOutputShapeByIndex(int32_t index, qobmShape& shape) {
  return guarded(__func__, "exception to get outputshape %s\n", [&] {
    requireState(ModelState::LOADED);
    std::vector<int64_t> extents;
    check(TvmModelRuntimeApi::getOutputShape(module_, realModelName_, index, extents));
    fillShape(extents, shape);
    return true;
  });
}

bool Model::getOutputCoreShapes(int32_t index, modelShape& shapes) {
  return guarded(__func__, "exception to get core shapes %s\n", [&] {
    requireState(ModelState::LOADED);
    check(TvmModelRuntimeApi::getOutputCoreShapes(module_, realModelName_, index, shapes));
    return true;
  });
}

bool Model::getOutPutSizeByIndex(int32_t index, int64_t& size) {
  std::lock_guard<std::recursive_mutex> lock(mu_);  // the shape and the type of one load
  size = 0;
  qobmShape shape{};
  DLDataType type{};
  if (!getOutputShapeByIndex(index, shape) || !getOutPutDtype(index, type)) return false;
  const int64_t elementBytes = (static_cast<int64_t>(type.bits) * type.lanes) / 8;
  int64_t count = 1;
  for (uint32_t i = 0; i < shape.ndims; ++i) count *= shape.shapes[i];
  size = count * elementBytes;
  return true;
}

bool Model::getAlignOutPutSizeByIndex(int32_t index, int64_t& size) {
  return guarded(__func__, "exception to get output size %s\n", [&] {
    requireState(ModelState::LOADED);
    check(TvmModelRuntimeApi::getAlignOutputSize(module_, realModelName_, index, size));
    return true;
  });
}

bool Model::getOutPutDtype(int32_t index, DLDataType& type) {
  return guarded(__func__, "exception to get output type %s\n", [&] {
    check(TvmModelRuntimeApi::getOutputDataType(module_, index, type));
    return true;
  });
}

bool Model::getPreOpCfgScaleFactorByIndex(int32_t index, uint16_t& value) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  const auto& factors = preOpCfg_.preOpScaleFactors_;
  if (state_ != ModelState::LOADED || static_cast<uint32_t>(index) >= factors.size()) return false;
  value = factors[static_cast<uint32_t>(index)];
  return true;
}

bool Model::getPreOpCfgTensorTypeByIndex(int32_t index, uint16_t& value) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  const auto& types = preOpCfg_.preOpTensorTypes_;
  if (state_ != ModelState::LOADED || static_cast<uint32_t>(index) >= types.size()) return false;
  value = types[static_cast<uint32_t>(index)];
  return true;
}

bool Model::getPreOpCfgExtraMeanStdValues(std::vector<std::vector<uint16_t>>& values) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (state_ != ModelState::LOADED) return false;
  try {
    values = preOpCfg_.preOpExtraMeanStdScaleValues_;
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool Model::getPreOpCfgAddrList(std::vector<uint64_t>& addrs) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (state_ != ModelState::LOADED) return false;
  try {
    addrs.clear();
    for (const DeviceBlock& block : preOpCfgAddrArray_) addrs.push_back(block.address());
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool Model::isDynamic() { return isDynamic_; }

bool Model::loadModelAndPreOpInfo(const std::string& realModelName) {
  // Streams that hold this model's lock around their runs compare generations to see a load of another
  // thread; also a failed load may have selected another node.
  ++generation_;
  clearPreOpInfo();
  forgetCounts();
  uint64_t addr = 0;
  const int addrRc = qobcrt_model_addr(devId_, realModelName.c_str(), &addr);
  modelAddr_ = addr;
  if (addrRc != 0) {
    QOBL_LOG_ERROR("Failed to get model address for model %s on device %d\n", modelMd5_.c_str(),
                   static_cast<int>(devId_));
    return false;
  }
  QOBL_LOG_TRACE("Succeed to get model address 0x%x for model %s on device %d\n",
                 static_cast<unsigned int>(addr), modelMd5_.c_str(), static_cast<int>(devId_));
  auto queryInput0Type = [this, &realModelName](DLDataType& type) {
    const int code = TvmModelRuntimeApi::getInputDataType(module_, realModelName, 0, type);
    if (code != 0) type = DLDataType{0, 0, 0};  // unknown: recorded as no tensorisation
    return code;
  };
  return loadPreOpInfo(devId_, realModelName, modelMd5_, queryInput0Type, preOpCfgAddrArray_, preOpCfg_);
}

void Model::clearPreOpInfo() { ::zenlar::qobl::clearPreOpInfo(preOpCfgAddrArray_, preOpCfg_); }

}  // namespace qobl
}  // namespace zenlar
