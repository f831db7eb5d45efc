// Pre-process op configuration of a loaded model: fetch, upload and interpret the op records.
#include "model_preop.h"

#include <qobcrt/qobcrt.h>
#include <qobe/qobe.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "qobl_log.h"

namespace zenlar {
namespace qobl {

namespace {

template <typename T>
T readAt(const uint8_t* base, size_t offset) {
  T value;
  std::memcpy(&value, base + offset, sizeof(T));
  return value;
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

uint16_t float_to_half(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof(bits));
  const uint32_t b = bits + 0x00001000u;   // rounds the mantissa at the 13th bit
  const uint32_t e = (b & 0x7F800000u) >> 23;
  const uint32_t m = b & 0x007FFFFFu;
  uint32_t half = (b & 0x80000000u) >> 16;
  if (e > 112) half |= (((e - 112) << 10) & 0x7C00u) | (m >> 13);
  if (e > 101 && e < 113) half |= (((0x007FF000u + m) >> (125 - e)) + 1) >> 1;
  if (e > 143) half |= 0x7FFFu;
  return static_cast<uint16_t>(half);
}

uint16_t mapDspTensorType2QoblTensorizationType(uint32_t precision, uint32_t interleave) {
  if (precision == 1) {
    return static_cast<uint16_t>(interleave == 1 ? qobeTENSORIZATION_UINT8_INTERLEAVE : qobeTENSORIZATION_UINT8);
  }
  if (precision == 0) {
    return static_cast<uint16_t>(interleave == 1 ? qobeTENSORIZATION_FP16_INTERLEAVE : qobeTENSORIZATION_FP16);
  }
  return static_cast<uint16_t>(qobeTENSORIZATION_NONE);
}

uint16_t mapDLDataType2QoblTensorizationType(const DLDataType& type) {
  if (type.code == kDLUInt && type.bits == 8) return static_cast<uint16_t>(qobeTENSORIZATION_UINT8);
  if (type.code == kDLFloat && type.bits == 16) return static_cast<uint16_t>(qobeTENSORIZATION_FP16);
  return static_cast<uint16_t>(qobeTENSORIZATION_NONE);
}

bool quantTensorHandler(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg, uint32_t interleave) {
  if (recordLen < kPreOpQuantOffsetPos + sizeof(uint32_t)) {
    QOBL_LOG_ERROR("Pre-process op record of %u bytes is too short to hold its quantisation table.\n", recordLen);
    return false;
  }
  const uint64_t num = readAt<uint32_t>(op, offsetof(dsp_op_common, output_num));
  const uint64_t outputOffset = readAt<uint32_t>(op, offsetof(dsp_op_common, output_offset));
  const uint64_t quantOffset = readAt<uint32_t>(op, kPreOpQuantOffsetPos);
  if (outputOffset + num * sizeof(dsp_addr) > recordLen || quantOffset + num * sizeof(quant_addr) > recordLen) {
    QOBL_LOG_ERROR("Pre-process op record of %u bytes is too short for its %u outputs.\n", recordLen,
                   static_cast<uint32_t>(num));
    return false;
  }
  QOBL_LOG_TRACE("--Op output num = %d ------", static_cast<int>(num));
  for (uint64_t k = 0; k < num; ++k) {
    const uint8_t* quant = op + quantOffset + k * sizeof(quant_addr);
    const uint8_t* output = op + outputOffset + k * sizeof(dsp_addr);
    const float scale = readAt<uint32_t>(quant, offsetof(quant_addr, is_quant)) != 0
                            ? readAt<float>(quant, offsetof(quant_addr, quant_scale))
                            : 0.0f;
    const uint16_t half = float_to_half(scale);
    const uint16_t type =
        mapDspTensorType2QoblTensorizationType(readAt<uint16_t>(output, offsetof(dsp_addr, precision)), interleave);
    preOpCfg.preOpScaleFactors_.push_back(half);
    preOpCfg.preOpTensorTypes_.push_back(type);
    QOBL_LOG_TRACE("--- %d -- float: %f = uint16: %d tensor type: %d", static_cast<int>(k),
                   static_cast<double>(scale), half, type);
  }
  return true;
}

// The handlers of the op codes that quantise tensors; the index is the scale factor's position in the record.
#define QOBL_QUANT_TENSOR_HANDLER(name, index)                                \
  bool name(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg) {      \
    return quantTensorHandler(op, recordLen, preOpCfg, index);                \
  }
QOBL_QUANT_TENSOR_HANDLER(vdspOpQuant, 0)
QOBL_QUANT_TENSOR_HANDLER(vdspOpEmbeddings, 0)
QOBL_QUANT_TENSOR_HANDLER(oDspOpResizeAndSpaceToDepth, 1)
QOBL_QUANT_TENSOR_HANDLER(oDspOpResizeAndSpaceToDepth_2, 1)
QOBL_QUANT_TENSOR_HANDLER(oDspOpLayerNorm, 0)
QOBL_QUANT_TENSOR_HANDLER(oDspOpLayerNormTranspose, 0)
QOBL_QUANT_TENSOR_HANDLER(oDspOpDetection, 0)
QOBL_QUANT_TENSOR_HANDLER(vDspOpSpaceToDepth, 1)
#undef QOBL_QUANT_TENSOR_HANDLER

uint32_t preOpCode(const uint8_t* op) {
  const uint8_t code = op[offsetof(dsp_op_common, opcode)];
  return code == kPreOpExtendedOpcode ? op[offsetof(dsp_op_common, opcode_ext)] : code;
}

bool interpretPreOpRecord(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg) {
  switch (preOpCode(op)) {
    case VDSP_OP_RESIZE_AND_SPACE_TO_DEPTH_2: return oDspOpResizeAndSpaceToDepth_2(op, recordLen, preOpCfg);
    case VDSP_OP_QUANT: return vdspOpQuant(op, recordLen, preOpCfg);
    case ODSP_OP_DETECTION: return oDspOpDetection(op, recordLen, preOpCfg);
    case VDSP_OP_SPACE_TO_DEPTH: return vDspOpSpaceToDepth(op, recordLen, preOpCfg);
    case ODSP_OP_RESIZE_AND_SPACE_TO_DEPTH: return oDspOpResizeAndSpaceToDepth(op, recordLen, preOpCfg);
    case VDSP_OP_EMBEDDINGS: return vdspOpEmbeddings(op, recordLen, preOpCfg);
    case ODSP_OP_LAYERNORM: return oDspOpLayerNorm(op, recordLen, preOpCfg);
    case ODSP_OP_LAYERNORM_TRANSPOSE: return oDspOpLayerNormTranspose(op, recordLen, preOpCfg);
    default: return true;  // uploaded for the card, nothing to take from it here
  }
}

bool loadPreOpInfo(uint32_t devId, const std::string& realModelName, const std::string& modelMd5,
                   const InputTypeQuery& queryInput0Type, std::vector<DeviceBlock>& blocks, PreOpCfg& preOpCfg) {
  multi_dsp_ops ops;
  std::memset(&ops, 0, sizeof(ops));
  if (qobcrt_get_vdsp_ops(devId, realModelName.c_str(), &ops) != 0) {
    QOBL_LOG_ERROR("Failed to get the config of pre-process Ops of model: %s device %d\n", modelMd5.c_str(),
                   static_cast<int>(devId));
    return false;
  }
  // The runtime hands over a malloc() block; it is ours on every path from here on.
  std::unique_ptr<void, FreeDeleter> records(ops.ops);
  const uint32_t num = ops.num;
  if (num != 0 && records == nullptr) {
    QOBL_LOG_ERROR("Failed to get the config of pre-process Ops of model: %s device %d\n", modelMd5.c_str(),
                   static_cast<int>(devId));
    return false;
  }

  const uint8_t* record = static_cast<const uint8_t*>(records.get());
  for (uint32_t i = 0; i < num; ++i) {
    const uint32_t len = readAt<uint32_t>(record, offsetof(dsp_op_common, len));
    if (len < sizeof(dsp_op_common)) {
      QOBL_LOG_ERROR("Pre-process op record %u of model %s has a bad length %u.\n", i, modelMd5.c_str(), len);
      return false;
    }
    DeviceBlock block;
    int rc = DeviceBlock::allocate(devId, DeviceMemKind::kStream, len, &block);
    if (rc != 0) {
      QOBL_LOG_ERROR("Failed to malloc stream memory for the config of pre-process Op of model. Error code is %d\n",
                     rc);
      return false;
    }
    QOBL_LOG_DEBUG("Malloc stream memory for dsp Ops, address=%p, size=%d.\n", reinterpret_cast<void*>(block.address()),
                   static_cast<int>(len));
    rc = qobcrt_memcpy(devId, record, len, block.address(), kHost2Ddr);
    if (rc != 0) {
      // Nothing valid was uploaded: the block goes back at once rather than being listed.
      QOBL_LOG_ERROR(
          "Failed to copy the config of pre-process Op of model from host to device. Error code is %d\n", rc);
      return false;
    }
    blocks.push_back(std::move(block));
    if (!interpretPreOpRecord(record, len, preOpCfg)) return false;
    record += len;
  }
  records.reset();

  if (preOpCfg.preOpTensorTypes_.empty()) {
    // No interpreted pre-process op: the data goes straight into the network, typed as its input 0.
    // A failed type query leaves the type unset, which maps to NONE.
    DLDataType type{0, 0, 0};
    if (queryInput0Type) queryInput0Type(type);
    const uint16_t tensorType = mapDLDataType2QoblTensorizationType(type);
    QOBL_LOG_WARN("Model Input Op: tensor type = %d\n", tensorType);
    preOpCfg.preOpTensorTypes_.push_back(tensorType);
  }
  return true;
}

void clearPreOpInfo(std::vector<DeviceBlock>& blocks, PreOpCfg& preOpCfg) {
  blocks.clear();  // each block frees itself; a failed free is logged
  preOpCfg.preOpScaleFactors_.clear();
  preOpCfg.preOpTensorTypes_.clear();
  preOpCfg.preOpExtraMeanStdScaleValues_.clear();
}

}  // namespace qobl
}  // namespace zenlar
