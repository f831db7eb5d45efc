// Error texts and the mapping of device-runtime codes.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "qobcrt/qobcrt.h"
#include "qobm/qobm.h"

namespace {

std::string textOf(uint32_t code) {
  char buf[256];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(qobmGetErrDesc(code, buf, sizeof buf), 0);
  EXPECT_NE(std::memchr(buf, '\0', sizeof buf), nullptr);
  return buf;
}

TEST(QobmErrorText, EveryKnownCodeHasItsOwnText) {
  const uint32_t codes[] = {QOBM_ERR_INVALID_PARAM, QOBM_ERR_INVALID_HANDLE, QOBM_ERR_BAD_ALLOC,
                            QOBM_ERR_INDEX, QOBM_ERR_MODE, QOBM_ERR_NO_DEVICE, QOBM_ERR_DEVICE,
                            QOBM_ERR_UNSUPPORTED, QOBM_ERR_EVENT_TIMEOUT, rtErrMalloc, rtErrInvalidDevice,
                            rtErrInvalidParam, rtErrInvalidAddr, rtErrDoubleFree, rtErrOutOfBounds,
                            rtErrStreamId, rtErrRunRecord, rtErrModel, rtErrTimeout, rtErrKernel,
                            rtErrNotRegistered, rtErrInjected, rtErrOthers};
  const std::string generic = textOf(123456789);
  EXPECT_NE(generic.find("123456789"), std::string::npos) << generic;
  std::set<std::string> seen;
  for (uint32_t code : codes) {
    const std::string t = textOf(code);
    EXPECT_FALSE(t.empty()) << code;
    EXPECT_EQ(t.find(std::to_string(code)), std::string::npos) << code << " has only the generic text";
    EXPECT_TRUE(seen.insert(t).second) << code << " repeats " << t;
  }
  // A runtime code without a text of its own still says what it is.
  EXPECT_NE(textOf(500050).find("500050"), std::string::npos);
}

TEST(QobmErrorText, SmallBuffersAreTruncatedAndTerminated) {
  char buf[16];
  std::memset(buf, 'x', sizeof buf);
  ASSERT_EQ(qobmGetErrDesc(QOBM_ERR_INVALID_HANDLE, buf, 8), 0);
  EXPECT_EQ(std::strlen(buf), 7u);
  EXPECT_EQ(std::string(buf), textOf(QOBM_ERR_INVALID_HANDLE).substr(0, 7));
  for (int i = 8; i < 16; ++i) EXPECT_EQ(buf[i], 'x') << i;
  std::memset(buf, 'x', sizeof buf);
  ASSERT_EQ(qobmGetErrDesc(rtErrMalloc, buf, 1), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'x');
  EXPECT_EQ(qobmGetErrDesc(rtErrMalloc, buf, 0), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmGetErrDesc(rtErrMalloc, nullptr, 256), QOBM_ERR_INVALID_PARAM);
}

TEST(QobmErrorText, NormalizeKeepsRuntimeCodesOnly) {
  const struct {
    uint32_t in, out;
  } cases[] = {{0, 0},
               {rtErrMalloc, rtErrMalloc},
               {rtErrKernel, rtErrKernel},
               {rtErrOthers, rtErrOthers},
               {499999, QOBM_ERR_INVALID_PARAM},
               {500125, QOBM_ERR_INVALID_PARAM},
               {rtReady, QOBM_ERR_INVALID_PARAM},
               {QOBM_ERR_EVENT_TIMEOUT, QOBM_ERR_INVALID_PARAM},
               {UINT32_MAX, QOBM_ERR_INVALID_PARAM}};
  for (const auto& c : cases) {
    uint32_t got = 7;
    EXPECT_EQ(qobmNormalizeErrorCode(c.in, &got), 0);
    EXPECT_EQ(got, c.out) << c.in;
  }
  EXPECT_EQ(qobmNormalizeErrorCode(rtErrMalloc, nullptr), QOBM_ERR_INVALID_PARAM);
}

}  // namespace
