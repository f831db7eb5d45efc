#include "stream_op/stream_copymem_op.h"

#include <qobe/qobe.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qobl_log.h"
#include "utils/utils.h"

namespace zenlar {
namespace qobl {

namespace {

constexpr uint32_t kMaxCoreInputs = 8;
constexpr uint32_t kShapeMaxDims = 6;  // extents a qobmShape holds

// Writes a shape as four values: 1s in front of a shorter shape, a longer one cut after its fourth extent.
void pad4(const int64_t* dims, size_t n, int32_t out[4]) {
  size_t k = 0;
  for (; k + n < 4; ++k) out[k] = 1;
  for (size_t i = 0; k < 4 && i < n; ++i, ++k) out[k] = static_cast<int32_t>(dims[i]);
}

void pad4(const std::vector<int64_t>& dims, int32_t out[4]) { pad4(dims.data(), dims.size(), out); }

void set4(int32_t out[4], int64_t a, int64_t b, int64_t c, int64_t d) {
  out[0] = static_cast<int32_t>(a);
  out[1] = static_cast<int32_t>(b);
  out[2] = static_cast<int32_t>(c);
  out[3] = static_cast<int32_t>(d);
}

int64_t product(const int64_t* dims, size_t n) {
  int64_t p = 1;
  for (size_t i = 0; i < n; ++i) p *= dims[i];
  return p;
}

int64_t roundUp8(int64_t v) { return (v + 7) / 8 * 8; }

void appendFour(std::string& text, const int32_t v[4]) {
  text += "[" + std::to_string(v[0]) + ", " + std::to_string(v[1]) + ", " + std::to_string(v[2]) + ", " +
          std::to_string(v[3]) + "]";
}

void appendCoreText(std::string& text, const tensor_info_t& info) {
  text += "      shape real: ";
  appendFour(text, info.shape_real);
  text += "\n      shape align: ";
  appendFour(text, info.shape_align);
  text += "\n      offset: " + std::to_string(info.tensor_core_addr_offset) + "\n";
}

}  // namespace

bool qoblFillTensorCopyRecord(const DLDataType& type, const modelShape& coreShapes, const qobmShape& realShape,
                              tensor_copy_cfg_info_t& cfgInfo, uint32_t& normCfgCnt, int32_t index) {
  normCfgCnt = 0;
  if (coreShapes.empty() || coreShapes[0].size() < 2) {
    QOBL_LOG_ERROR("Invalid output shape for index %d, skipped.\n", index);
    return false;
  }
  // A record describes at most eight core tensors.  Keeping only the first eight would make the card copy
  // an incomplete output without noticing, so an output stored in more core tensors is refused: it and the
  // outputs after it get no record, and the card rejects a run whose record count falls short.
  if (coreShapes.size() > kMaxCoreInputs) {
    QOBL_LOG_ERROR("Output index %d is stored in %u core tensors, a copy record holds at most %u; skipped.\n",
                   index, static_cast<unsigned>(coreShapes.size()), kMaxCoreInputs);
    return false;
  }
  const uint32_t elementBytes = static_cast<uint32_t>(type.lanes) * type.bits / 8;
  uint32_t coreBits = static_cast<uint32_t>(type.lanes) * type.bits;
  if (type.code == kDLBfloat && type.bits == 16) coreBits = 32;  // bfloat16 is kept as 32 bits in core tensors
  if (elementBytes == 0 || elementBytes > 255) {
    QOBL_LOG_ERROR("Unsupported element type (code %u, %u bits, %u lanes) of output index %d, skipped.\n",
                   static_cast<unsigned>(type.code), static_cast<unsigned>(type.bits),
                   static_cast<unsigned>(type.lanes), index);
    return false;
  }

  // Core inputs are the listed core shapes up to the first one without elements.
  uint64_t coreSize[kMaxCoreInputs] = {};
  uint32_t n = 0;
  while (n < coreShapes.size()) {
    const int64_t elems = product(coreShapes[n].data(), coreShapes[n].size());
    if (elems == 0) break;
    coreSize[n] = static_cast<uint64_t>(elems) * coreBits / 8;
    ++n;
  }

  const uint32_t realDims = realShape.ndims < kShapeMaxDims ? realShape.ndims : kShapeMaxDims;
  const int64_t realElems = product(realShape.shapes, realDims);
  const uint64_t realBytes = static_cast<uint64_t>(realElems) * elementBytes;

  tensor_info_t& out = cfgInfo.tensor_core_out;
  pad4(realShape.shapes, realDims, out.shape_real);
  pad4(realShape.shapes, realDims, out.shape_align);
  out.tensor_core_addr_offset = 0;
  cfgInfo.element_byte = static_cast<uint8_t>(elementBytes);
  cfgInfo.core_in_mask = static_cast<uint8_t>((1u << n) - 1u);

  const std::vector<int64_t>& first = coreShapes[0];
  const size_t rank = first.size();
  if (n == 0) {
    cfgInfo.tensor_copy_type = 1;
    cfgInfo.concat_dim_index = 0;
    cfgInfo.tensor_core_in[0].tensor_core_addr_offset = 0;
    pad4(first, cfgInfo.tensor_core_in[0].shape_align);
    pad4(realShape.shapes, realDims, cfgInfo.tensor_core_in[0].shape_real);
    return true;
  }
  if (rank == 2) {
    if (first[0] != 1) {
      QOBL_LOG_ERROR("Not support axb yet.\n");
      return false;
    }
    // Flat data split over core tensors along the last dimension; only the core where the real data ends
    // states its real extent, the ones before it are wholly real.
    cfgInfo.tensor_copy_type = 1;
    cfgInfo.concat_dim_index = 3;
    uint64_t offset = 0;
    for (uint32_t j = 0; j < n; ++j) {
      tensor_info_t& core = cfgInfo.tensor_core_in[j];
      const uint64_t before = offset;
      core.tensor_core_addr_offset = offset;
      offset += coreSize[j];
      pad4(coreShapes[j], core.shape_align);
      if (realBytes < offset) {
        set4(core.shape_real, 1, 1, 1, static_cast<int64_t>((realBytes - before) / elementBytes));
        break;
      }
    }
    return true;
  }
  if (rank == 4) {
    // Channels spread over the core tensors, spatial extents stored aligned to 8.
    if (realShape.ndims < 4) {
      QOBL_LOG_ERROR("Output index %d has a %u-dimensional shape but a four-dimensional core layout; skipped.\n",
                     index, realShape.ndims);
      return false;
    }
    for (uint32_t j = 0; j < n; ++j) {
      if (coreShapes[j].size() < 2) {
        QOBL_LOG_ERROR("Core shape %u of output index %d has no channel dimension; skipped.\n", j, index);
        return false;
      }
    }
    const int64_t channels = realShape.shapes[1];
    cfgInfo.tensor_copy_type = 0;
    cfgInfo.concat_dim_index = 1;
    normCfgCnt = static_cast<uint32_t>(channels);
    const int64_t alignH = roundUp8(first[2]);
    const int64_t alignW = roundUp8(first[3]);
    const int64_t height = realShape.shapes[2];
    const int64_t width = realShape.shapes[3];
    uint64_t offset = 0;
    int64_t channelTotal = 0;
    for (uint32_t j = 0; j < n; ++j) {
      tensor_info_t& core = cfgInfo.tensor_core_in[j];
      core.tensor_core_addr_offset = offset;
      offset += coreSize[j];
      const int64_t c = coreShapes[j][1];
      const int64_t realChannels = (j + 1 == n) ? channels - channelTotal : c;
      channelTotal += c;
      set4(core.shape_align, 1, c, alignH, alignW);
      set4(core.shape_real, 1, realChannels, height, width);
    }
    return true;
  }
  if (rank == 3) {
    cfgInfo.tensor_copy_type = 1;
    cfgInfo.concat_dim_index = 3;
    tensor_info_t& core = cfgInfo.tensor_core_in[0];
    core.tensor_core_addr_offset = 0;
    set4(core.shape_align, 1, 1, 1, realElems);
    set4(core.shape_real, 1, 1, 1, realElems);
    set4(out.shape_real, 1, 1, 1, realElems);
    set4(out.shape_align, 1, 1, 1, realElems);
    return true;
  }
  return true;
}

std::string qoblTensorCopyRecordText(const tensor_copy_cfg_info_t& cfgInfo) {
  std::string text;
  for (uint32_t i = 0; i < kMaxCoreInputs; ++i) {
    if ((cfgInfo.core_in_mask & (1u << i)) == 0) continue;
    text += "    In shape core info: " + std::to_string(i) + "\n";
    appendCoreText(text, cfgInfo.tensor_core_in[i]);
  }
  text += "    Out shape core info: \n";
  appendCoreText(text, cfgInfo.tensor_core_out);
  text += "    concat index: " + std::to_string(cfgInfo.concat_dim_index) + "\n";
  text += "    core in mask: " + std::to_string(cfgInfo.core_in_mask) + "\n";
  text += "    element byte: " + std::to_string(cfgInfo.element_byte) + "\n";
  text += "    copy type:    " + std::to_string(cfgInfo.tensor_copy_type) + "\n";
  const quant_config_t& q = cfgInfo.quant_config;
  text += "    quant config:\n";
  text += "        enable: " + std::to_string(q.quant_enable) + "\n";
  text += "        round_mode: " + std::to_string(q.round_mode) + "\n";
  text += "        scale: " + std::to_string(static_cast<int>(q.quant_scale)) + "\n";
  text += "        min: " + std::to_string(q.quant_min) + "\n";
  text += "        max: " + std::to_string(q.quant_max) + "\n";
  return text;
}

StreamCopyMemOp::~StreamCopyMemOp() { releaseCfg(); }

void StreamCopyMemOp::releaseCfg() {
  std::free(copyCfg_);
  copyCfg_ = nullptr;
  copyCfgSize_ = 0;
}

bool StreamCopyMemOp::isValidInOp() { return inOp_ != nullptr && inOp_->typeId() == qobeTYPE_ID_RUN_MODEL; }

uint32_t StreamCopyMemOp::configCount() { return 1; }
std::vector<uint64_t> StreamCopyMemOp::getBufferAddresses() { return {}; }
uint32_t StreamCopyMemOp::inputCount() { return isValidInOp() ? inOp_->outputCount() : 0; }
uint32_t StreamCopyMemOp::outputCount() { return inputCount(); }
std::vector<uint32_t> StreamCopyMemOp::inputSizes() {
  return isValidInOp() ? inOp_->outputSizes() : std::vector<uint32_t>{};
}
std::vector<uint32_t> StreamCopyMemOp::outputSizes() { return inputSizes(); }
uint32_t StreamCopyMemOp::batchSize() { return isValidInOp() ? inOp_->batchSize() : 0; }
IModel* StreamCopyMemOp::getModel() { return isValidInOp() ? inOp_->getModel() : nullptr; }
bool StreamCopyMemOp::setPreOpArg() { return true; }

std::vector<uint64_t> StreamCopyMemOp::getConfigAddressList() {
  std::lock_guard<std::mutex> lock(cfgMutex_);
  setOpCfg();
  if (copyCfg_ == nullptr) return {};
  return {qoblCopyDataToDevice(copyCfg_, deviceId(), copyCfgSize_)};
}

void StreamCopyMemOp::setOpCfg() {
  initOpCfg();
  if (qoblUtilsIsLogLevelEnabled(qobmLL_TRACE)) dumpOpCfg();
}

bool StreamCopyMemOp::_getRealOutputConfig(IModel* model, int32_t index, tensor_copy_cfg_info_t& cfgInfo,
                                           uint32_t& normCfgCnt) {
  DLDataType type{};
  if (!model->getOutPutDtype(index, type)) return false;
  qobmShape realShape{};
  if (!model->getOutputShapeByIndex(index, realShape)) return false;
  modelShape coreShapes;
  if (!model->getOutputCoreShapes(index, coreShapes)) return false;
  return qoblFillTensorCopyRecord(type, coreShapes, realShape, cfgInfo, normCfgCnt, index);
}

void StreamCopyMemOp::initOpCfg() {
  if (copyCfg_ != nullptr) {
    // A static model's outputs never change; a dynamic model's follow its current input shapes.
    IModel* inModel = inOp_ != nullptr ? inOp_->getModel() : nullptr;
    if (inModel == nullptr || !inModel->isDynamic()) return;
    releaseCfg();
  }
  if (!isValidInOp()) return;
  IModel* model = getModel();
  if (model == nullptr) return;
  uint32_t outputs = 0;
  (void)model->getOutputCount(outputs);
  if (outputs == 0) {
    QOBL_LOG_ERROR("No output for the model.\n");
    return;
  }
  std::vector<TensorCopyCfgInfoFlat> records;
  records.reserve(outputs);
  for (uint32_t i = 0; i < outputs; ++i) {
    TensorCopyCfgInfoFlat flat;
    std::memset(&flat, 0, sizeof flat);
    if (!_getRealOutputConfig(model, static_cast<int32_t>(i), flat.cfgInfo, flat.normCfgCnt)) break;
    records.push_back(flat);
  }
  const uint32_t count = static_cast<uint32_t>(records.size());
  const uint64_t size = tensorCopyCfgSize(count);
  auto* block = static_cast<uint8_t*>(std::malloc(size));
  if (block == nullptr) return;
  std::memset(block, 0, size);
  const int32_t cnt = static_cast<int32_t>(count);
  std::memcpy(block + offsetof(tensor_copy_cfg_t, inout_cnt), &cnt, sizeof cnt);
  for (uint32_t j = 0; j < count; ++j) {
    std::memcpy(block + offsetof(tensor_copy_cfg_t, inout_info) + sizeof(tensor_copy_cfg_info_t) * j,
                &records[j].cfgInfo, sizeof(tensor_copy_cfg_info_t));
  }
  copyCfg_ = block;
  copyCfgSize_ = size;
}

void StreamCopyMemOp::dumpOpCfg() {
  if (copyCfg_ == nullptr) return;
  int32_t count = 0;
  std::memcpy(&count, copyCfg_, sizeof count);
  std::string text = "CopyMem Op Configuration: \n";
  text += "  In/Out shape count: " + std::to_string(count) + "\n";
  for (int32_t i = 0; i < count; ++i) {
    tensor_copy_cfg_info_t info;
    std::memcpy(&info, copyCfg_ + offsetof(tensor_copy_cfg_t, inout_info) + sizeof info * i, sizeof info);
    text += "  In/Out shape index: " + std::to_string(i) + "\n";
    text += qoblTensorCopyRecordText(info);
    text += "\n";
  }
  QOBL_LOG_TRACE("%s\n", text.c_str());

  std::string raw = "CopyMem Op Configuration dump: " + std::to_string(copyCfgSize_) + " bytes\n";
  raw.reserve(raw.size() + copyCfgSize_ * 3 + copyCfgSize_ / 8 * 2 + 2);
  char hex[4];
  for (uint64_t i = 0; i < copyCfgSize_; ++i) {
    if (i != 0 && i % 16 == 0) {
      raw += "\n";
    } else if (i != 0 && i % 8 == 0) {
      raw += "- ";
    }
    std::snprintf(hex, sizeof hex, "%02x ", copyCfg_[i]);
    raw += hex;
  }
  raw += "\n";
  QOBL_LOG_TRACE("%s\n", raw.c_str());
}

}  // namespace qobl
}  // namespace zenlar
