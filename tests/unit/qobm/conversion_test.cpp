// Half-precision conversion over every bit pattern (the dataset library's and the one the card's
// pre-processing uses must agree), and the DLPack type mapping.
#include <dlpack/dlpack.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "qobcrt/qobcrt_preproc.h"
#include "qobm/qobm.h"

namespace {

TEST(QobmConversion, EveryHalfPatternConvertsExactly) {
  for (uint32_t h = 0; h <= 0xffff; ++h) {
    const bool negative = (h & 0x8000) != 0;
    const int exponent = static_cast<int>((h >> 10) & 0x1f);
    const int mantissa = static_cast<int>(h & 0x3ff);
    float got = 12345.0f;
    ASSERT_EQ(qobmFloat16ToFloat32(static_cast<uint16_t>(h), &got), 0);
    ASSERT_EQ(std::signbit(got), negative) << h;  // -0.0 and negative NaNs keep the sign
    const float card = qobcrt_preproc_f16_to_f32(static_cast<uint16_t>(h));
    if (exponent == 31 && mantissa != 0) {
      ASSERT_TRUE(std::isnan(card)) << h;
      uint32_t bits;
      std::memcpy(&bits, &got, sizeof bits);
      ASSERT_TRUE(std::isnan(got)) << h;
      ASSERT_EQ(bits & 0x7fffffu, static_cast<uint32_t>(mantissa) << 13) << h;  // payload kept
      continue;
    }
    double expected = exponent == 31  ? HUGE_VAL
                      : exponent == 0 ? std::ldexp(static_cast<double>(mantissa), -24)
                                      : std::ldexp(1024.0 + mantissa, exponent - 25);
    ASSERT_EQ(static_cast<double>(got), negative ? -expected : expected) << h;
    ASSERT_EQ(std::memcmp(&card, &got, sizeof got), 0) << h;
    ASSERT_EQ(qobcrt_preproc_f32_to_f16(got), h) << h;  // narrowing an exact half gives it back
  }
  EXPECT_EQ(qobmFloat16ToFloat32(0x3c00, nullptr), QOBM_ERR_INVALID_PARAM);
}

TEST(QobmConversion, DLDataTypesMapToElementTypes) {
  const struct {
    qobmDLDataType dl;
    int want;  // -1: unsupported
  } cases[] = {
      {{kDLUInt, 8, 1}, qobmDT_UINT8},     {{kDLInt, 8, 1}, qobmDT_INT8},     {{kDLUInt, 16, 1}, qobmDT_UINT16},
      {{kDLInt, 16, 1}, qobmDT_INT16},     {{kDLUInt, 32, 1}, qobmDT_UINT32}, {{kDLInt, 32, 1}, qobmDT_INT32},
      {{kDLFloat, 16, 1}, qobmDT_FLOAT16}, {{kDLFloat, 32, 1}, qobmDT_FLOAT32}, {{kDLBfloat, 16, 1}, qobmDT_BFLOAT},
      {{kDLFloat, 64, 1}, -1},             {{kDLInt, 64, 1}, -1},             {{kDLUInt, 1, 1}, -1},
      {{kDLBfloat, 32, 1}, -1},            {{kDLOpaqueHandle, 64, 1}, -1},    {{kDLFloat, 32, 4}, -1},
      {{kDLUInt, 8, 0}, -1},
  };
  for (const auto& c : cases) {
    qobmDType got = qobmDT_ANY;
    const int rc = qobmDLDataTypeToDataType(c.dl, &got);
    EXPECT_EQ(rc, c.want < 0 ? QOBM_ERR_UNSUPPORTED : 0) << int(c.dl.code) << "/" << int(c.dl.bits);
    EXPECT_EQ(int(got), c.want < 0 ? int(qobmDT_ANY) : c.want) << int(c.dl.code) << "/" << int(c.dl.bits);
  }
  EXPECT_EQ(qobmDLDataTypeToDataType(qobmDLDataType{kDLFloat, 32, 1}, nullptr), QOBM_ERR_INVALID_PARAM);
}

}  // namespace
