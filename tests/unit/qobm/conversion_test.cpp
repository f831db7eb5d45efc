// Half-precision conversion over every bit pattern, and the DLPack type mapping.
#include <dlpack/dlpack.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "qobm/qobm.h"

namespace {

uint32_t bitsOf(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

TEST(QobmConversion, EveryHalfPatternConvertsExactly) {
  int nans = 0, subnormals = 0;
  for (uint32_t h = 0; h <= 0xffff; ++h) {
    const bool negative = (h & 0x8000) != 0;
    const int exponent = static_cast<int>((h >> 10) & 0x1f);
    const int mantissa = static_cast<int>(h & 0x3ff);
    float got = 12345.0f;
    ASSERT_EQ(qobmFloat16ToFloat32(static_cast<uint16_t>(h), &got), 0);
    SCOPED_TRACE(h);
    if (exponent == 31 && mantissa != 0) {
      ++nans;
      ASSERT_TRUE(std::isnan(got));
      EXPECT_EQ(std::signbit(got), negative);
      // The ten payload bits stay the top ten bits of the float's mantissa, quiet bit included.
      EXPECT_EQ(bitsOf(got) & 0x7fffffu, static_cast<uint32_t>(mantissa) << 13);
      continue;
    }
    double expected;
    if (exponent == 31) {
      expected = HUGE_VAL;
    } else if (exponent == 0) {
      expected = std::ldexp(static_cast<double>(mantissa), -24);
      if (mantissa != 0) ++subnormals;
    } else {
      expected = std::ldexp(1024.0 + mantissa, exponent - 25);
    }
    if (negative) expected = -expected;
    ASSERT_EQ(static_cast<double>(got), expected);
    ASSERT_EQ(std::signbit(got), negative);  // -0.0 stays negative
  }
  EXPECT_EQ(nans, 2 * 1023);
  EXPECT_EQ(subnormals, 2 * 1023);
  EXPECT_EQ(qobmFloat16ToFloat32(0x3c00, nullptr), QOBM_ERR_INVALID_PARAM);
}

TEST(QobmConversion, DLDataTypesMapToElementTypes) {
  struct Case {
    uint8_t code, bits;
    qobmDType want;
  } cases[] = {
      {kDLUInt, 8, qobmDT_UINT8},    {kDLInt, 8, qobmDT_INT8},       {kDLUInt, 16, qobmDT_UINT16},
      {kDLInt, 16, qobmDT_INT16},    {kDLUInt, 32, qobmDT_UINT32},   {kDLInt, 32, qobmDT_INT32},
      {kDLFloat, 16, qobmDT_FLOAT16}, {kDLFloat, 32, qobmDT_FLOAT32}, {kDLBfloat, 16, qobmDT_BFLOAT},
  };
  for (const Case& c : cases) {
    qobmDType got = qobmDT_ANY;
    EXPECT_EQ(qobmDLDataTypeToDataType(qobmDLDataType{c.code, c.bits, 1}, &got), 0);
    EXPECT_EQ(got, c.want) << int(c.code) << "/" << int(c.bits);
  }
  const qobmDLDataType unsupported[] = {
      {kDLFloat, 64, 1}, {kDLInt, 64, 1},   {kDLUInt, 1, 1},      {kDLFloat, 8, 1}, {kDLBfloat, 32, 1},
      {kDLOpaqueHandle, 64, 1}, {kDLComplex, 64, 1}, {kDLFloat, 32, 4}, {kDLUInt, 8, 0}, {kDLInt, 8, 2},
  };
  for (const qobmDLDataType& dl : unsupported) {
    qobmDType got = qobmDT_ANY;
    EXPECT_EQ(qobmDLDataTypeToDataType(dl, &got), QOBM_ERR_UNSUPPORTED)
        << int(dl.code) << "/" << int(dl.bits) << "x" << dl.lanes;
    EXPECT_EQ(got, qobmDT_ANY);
  }
  EXPECT_EQ(qobmDLDataTypeToDataType(qobmDLDataType{kDLFloat, 32, 1}, nullptr), QOBM_ERR_INVALID_PARAM);
}

}  // namespace
