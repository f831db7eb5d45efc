// Logging (threshold, the sink's view of a line, the stderr line, level names) and error texts.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "log_level.h"
#include "qobcrt/qobcrt.h"
#include "qobm/qobm.h"

namespace {

struct Line {
  uint32_t channel, level;
  std::string function, file;
  uint32_t line;
  std::string text;
};

void collect(uint32_t channel, uint32_t level, const char* function, const char* file, uint32_t line,
             const char* text, void* user) {
  static_cast<std::vector<Line>*>(user)->push_back(Line{channel, level, function, file, line, text});
}

TEST(QobmLog, SinkGetsFormattedTextAndCallSiteAndThresholdDropsLines) {
  std::vector<Line> lines;
  ASSERT_EQ(qobmSetLogSink(collect, &lines), 0);
  ASSERT_EQ(qobmSetLogLevel(qobmLL_WARN), 0);
  const std::string big(10000, 'q');
  EXPECT_EQ(qobmLogMessage(qobmLC_CL, qobmLL_INFO, "quiet", "a.cpp", 1, "not shown %d", 1), 0);
  EXPECT_EQ(qobmLogMessage(qobmLC_CL, qobmLL_ERROR, "setBatchSize", "model.cpp", 321,
                           "max batchsize %d of %s\n", 8, "net"), 0);
  EXPECT_EQ(qobmLogMessage(qobmLC_RT, qobmLL_WARN, "f", "b.cpp", 2, "<%s|%d>", big.c_str(), 42), 0);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ((std::vector<uint32_t>{lines[0].channel, lines[0].level, lines[0].line, lines[1].channel}),
            (std::vector<uint32_t>{qobmLC_CL, qobmLL_ERROR, 321, qobmLC_RT}));
  EXPECT_EQ(lines[0].function + "|" + lines[0].file, "setBatchSize|model.cpp");
  EXPECT_EQ(lines[0].text, "max batchsize 8 of net\n");  // exactly as formatted, newline kept
  EXPECT_EQ(lines[1].text, "<" + big + "|42>");           // long lines are not truncated

  qobmBool flag = qobmTRUE;
  ASSERT_EQ(qobmLogLevelEnabled(qobmLC_CL, qobmLL_INFO, &flag), 0);
  EXPECT_EQ(flag, qobmFALSE);
  ASSERT_EQ(qobmSetLogLevel(qobmLL_TRACE), 0);
  ASSERT_EQ(qobmLogLevelEnabled(qobmLC_TM, qobmLL_TRACE, &flag), 0);
  EXPECT_EQ(flag, qobmTRUE);
  qobmLogMessage(qobmLC_CL, qobmLL_TRACE, "f", "c.cpp", 3, "trace");
  ASSERT_EQ(qobmSetLogLevel(qobmLL_FATAL), 0);
  qobmLogMessage(qobmLC_CL, qobmLL_ALARM, "f", "c.cpp", 4, "alarm");
  qobmLogMessage(qobmLC_CL, qobmLL_FATAL, "f", "c.cpp", 5, "fatal");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2].text + "|" + lines[3].text, "trace|fatal");

  EXPECT_NE(qobmLogLevelEnabled(9, qobmLL_ERROR, &flag), 0);
  EXPECT_NE(qobmLogLevelEnabled(qobmLC_CL, qobmLL_ERROR, nullptr), 0);
  EXPECT_EQ(qobmSetLogLevel(7), QOBM_ERR_INVALID_PARAM);
  uint32_t level = 99;
  ASSERT_EQ(qobmGetLogLevel(&level), 0);
  EXPECT_EQ(level, uint32_t(qobmLL_FATAL));
  EXPECT_EQ(qobmLogMessage(qobmLC_CL, qobmLL_FATAL, "f", "f.cpp", 1, nullptr), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmLogMessage(9, qobmLL_FATAL, "f", "f.cpp", 1, "x"), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(lines.size(), 4u);
  qobmSetLogSink(nullptr, nullptr);
  qobmSetLogLevel(qobmLL_WARN);
}

TEST(QobmLog, NullSinkWritesOneStderrLinePerMessage) {
  ASSERT_EQ(qobmSetLogSink(nullptr, nullptr), 0);
  ASSERT_EQ(qobmSetLogLevel(qobmLL_WARN), 0);
  testing::internal::CaptureStderr();
  qobmLogMessage(qobmLC_CL, qobmLL_INFO, "hidden", "h.cpp", 9, "below threshold\n");
  qobmLogMessage(qobmLC_CL, qobmLL_ERROR, "runAsync", "op_stream.cpp", 77, "run %d failed\n", 3);
  qobmLogMessage(qobmLC_ME, qobmLL_WARN, "g", "g.cpp", 5, "no newline");
  std::istringstream in(testing::internal::GetCapturedStderr());
  std::vector<std::string> got;
  for (std::string l; std::getline(in, l);) got.push_back(l);
  ASSERT_EQ(got.size(), 2u);
  for (const char* part : {"[ERROR]", "[CL]", "op_stream.cpp:77", "runAsync"})
    EXPECT_NE(got[0].find(part), std::string::npos) << got[0];
  EXPECT_EQ(got[0].substr(got[0].size() - 12), "run 3 failed");
  EXPECT_NE(got[1].find("[ME]"), std::string::npos) << got[1];
  EXPECT_EQ(got[1].substr(got[1].size() - 10), "no newline");
  // A time stamp leads the line: date and time of day.
  EXPECT_TRUE(got[0].size() > 19 && got[0][4] == '-' && got[0][10] == ' ' && got[0][13] == ':') << got[0];
}

TEST(QobmLog, LevelNamesInAnyCaseAndNumbers) {
  const struct {
    const char* text;
    uint32_t want;
  } cases[] = {{"0", 0},     {"6", 6},       {" 4\n", 4},  {"trace", 0},  {"Debug", 1}, {"INFO", 2},
               {"warn", 3},  {"Warning", 3}, {"error", 4}, {"ALARM", 5},  {"fatal", 6}, {"7", 1},
               {"-1", 1},    {"", 1},        {"errors", 1}, {"2x", 1},    {nullptr, 1}};
  for (const auto& c : cases) EXPECT_EQ(zenlar::qobm::parseLogLevel(c.text, 1), c.want) << (c.text ? c.text : "null");
}

std::string textOf(uint32_t code) {
  char buf[256];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(qobmGetErrDesc(code, buf, sizeof buf), 0);
  EXPECT_NE(std::memchr(buf, '\0', sizeof buf), nullptr);
  return buf;
}

TEST(QobmErrorText, OwnTextPerCodeTruncationAndNormalizedCodes) {
  const uint32_t codes[] = {QOBM_ERR_INVALID_PARAM, QOBM_ERR_INVALID_HANDLE, QOBM_ERR_BAD_ALLOC,
                            QOBM_ERR_INDEX, QOBM_ERR_MODE, QOBM_ERR_NO_DEVICE, QOBM_ERR_DEVICE,
                            QOBM_ERR_UNSUPPORTED, QOBM_ERR_EVENT_TIMEOUT, rtErrMalloc, rtErrInvalidDevice,
                            rtErrInvalidParam, rtErrInvalidAddr, rtErrDoubleFree, rtErrOutOfBounds,
                            rtErrStreamId, rtErrRunRecord, rtErrModel, rtErrTimeout, rtErrKernel,
                            rtErrNotRegistered, rtErrInjected, rtErrOthers};
  std::set<std::string> seen;
  for (uint32_t code : codes) {
    const std::string t = textOf(code);
    EXPECT_EQ(t.find(std::to_string(code)), std::string::npos) << code << " has only the generic text";
    EXPECT_TRUE(seen.insert(t).second) << code << " repeats " << t;
  }
  EXPECT_NE(textOf(123456789).find("123456789"), std::string::npos);
  EXPECT_NE(textOf(500050).find("500050"), std::string::npos);

  char buf[16];
  std::memset(buf, 'x', sizeof buf);
  ASSERT_EQ(qobmGetErrDesc(QOBM_ERR_INVALID_HANDLE, buf, 8), 0);
  EXPECT_EQ(std::string(buf), textOf(QOBM_ERR_INVALID_HANDLE).substr(0, 7));
  EXPECT_EQ(buf[8], 'x');
  EXPECT_EQ(qobmGetErrDesc(rtErrMalloc, buf, 0), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmGetErrDesc(rtErrMalloc, nullptr, 256), QOBM_ERR_INVALID_PARAM);

  const struct {
    uint32_t in, out;
  } cases[] = {{0, 0}, {rtErrMalloc, rtErrMalloc}, {rtErrOthers, rtErrOthers}, {499999, QOBM_ERR_INVALID_PARAM},
               {500125, QOBM_ERR_INVALID_PARAM}, {QOBM_ERR_EVENT_TIMEOUT, QOBM_ERR_INVALID_PARAM}};
  for (const auto& c : cases) {
    uint32_t got = 7;
    EXPECT_EQ(qobmNormalizeErrorCode(c.in, &got), 0);
    EXPECT_EQ(got, c.out) << c.in;
  }
}

}  // namespace
