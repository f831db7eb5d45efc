// Element conversions: half-precision bits to float, DLPack data types to the library's element types.
#include <dlpack/dlpack.h>

#include <cstdint>
#include <cstring>

#include "qobm_internal.h"

extern "C" {

// Works on the bit patterns so that every input, NaN payloads and signs included, converts exactly.
int qobmFloat16ToFloat32(uint16_t half, float* out) {
  if (out == nullptr) return QOBM_ERR_INVALID_PARAM;
  const uint32_t sign = static_cast<uint32_t>(half & 0x8000u) << 16;
  uint32_t exponent = (half >> 10) & 0x1fu;
  uint32_t mantissa = half & 0x3ffu;
  uint32_t bits;
  if (exponent == 0x1fu) {
    bits = sign | 0x7f800000u | (mantissa << 13);  // infinity or NaN, payload kept
  } else if (exponent != 0) {
    bits = sign | ((exponent + 127 - 15) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    bits = sign;  // signed zero
  } else {
    // Subnormal half: shift the leading one into the implicit position; every such value is a normal float.
    int32_t e = 1 - 15;
    while ((mantissa & 0x400u) == 0) {
      mantissa <<= 1;
      --e;
    }
    mantissa &= 0x3ffu;
    bits = sign | (static_cast<uint32_t>(e + 127) << 23) | (mantissa << 13);
  }
  std::memcpy(out, &bits, sizeof bits);
  return QOBM_SUCCESS;
}

int qobmDLDataTypeToDataType(qobmDLDataType dl, qobmDType* dtype) {
  if (dtype == nullptr) return QOBM_ERR_INVALID_PARAM;
  if (dl.lanes != 1) return QOBM_ERR_UNSUPPORTED;
  qobmDType result;
  switch (dl.code) {
    case kDLUInt:
      if (dl.bits == 8) result = qobmDT_UINT8;
      else if (dl.bits == 16) result = qobmDT_UINT16;
      else if (dl.bits == 32) result = qobmDT_UINT32;
      else return QOBM_ERR_UNSUPPORTED;
      break;
    case kDLInt:
      if (dl.bits == 8) result = qobmDT_INT8;
      else if (dl.bits == 16) result = qobmDT_INT16;
      else if (dl.bits == 32) result = qobmDT_INT32;
      else return QOBM_ERR_UNSUPPORTED;
      break;
    case kDLFloat:
      if (dl.bits == 16) result = qobmDT_FLOAT16;
      else if (dl.bits == 32) result = qobmDT_FLOAT32;
      else return QOBM_ERR_UNSUPPORTED;
      break;
    case kDLBfloat:
      if (dl.bits == 16) result = qobmDT_BFLOAT;
      else return QOBM_ERR_UNSUPPORTED;
      break;
    default:
      return QOBM_ERR_UNSUPPORTED;
  }
  *dtype = result;
  return QOBM_SUCCESS;
}

}  // extern "C"
