// Logging: threshold, the sink's view of a line, the stderr line, and parsing of level names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log_level.h"
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

class QobmLog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(qobmSetLogSink(collect, &lines_), 0);
    ASSERT_EQ(qobmSetLogLevel(qobmLL_WARN), 0);
  }
  void TearDown() override {
    qobmSetLogSink(nullptr, nullptr);
    qobmSetLogLevel(qobmLL_WARN);
  }
  std::vector<Line> lines_;
};

TEST_F(QobmLog, SinkGetsFormattedTextAndCallSiteAndDropsLinesBelowThreshold) {
  EXPECT_EQ(qobmLogMessage(qobmLC_CL, qobmLL_INFO, "quiet", "a.cpp", 1, "not shown %d", 1), 0);
  EXPECT_EQ(qobmLogMessage(qobmLC_CL, qobmLL_ERROR, "setBatchSize", "model.cpp", 321,
                           "max batchsize %d of %s\n", 8, "net"), 0);
  EXPECT_EQ(qobmLogMessage(qobmLC_RT, qobmLL_WARN, "f", "b.cpp", 2, "%s", "at threshold"), 0);
  ASSERT_EQ(lines_.size(), 2u);
  EXPECT_EQ(lines_[0].channel, uint32_t(qobmLC_CL));
  EXPECT_EQ(lines_[0].level, uint32_t(qobmLL_ERROR));
  EXPECT_EQ(lines_[0].function, "setBatchSize");
  EXPECT_EQ(lines_[0].file, "model.cpp");
  EXPECT_EQ(lines_[0].line, 321u);
  EXPECT_EQ(lines_[0].text, "max batchsize 8 of net\n");  // exactly as formatted, newline kept
  EXPECT_EQ(lines_[1].channel, uint32_t(qobmLC_RT));
  EXPECT_EQ(lines_[1].text, "at threshold");

  // Lowering the threshold lets trace lines through; raising it drops errors.
  ASSERT_EQ(qobmSetLogLevel(qobmLL_TRACE), 0);
  qobmLogMessage(qobmLC_CL, qobmLL_TRACE, "f", "c.cpp", 3, "trace");
  ASSERT_EQ(qobmSetLogLevel(qobmLL_FATAL), 0);
  qobmLogMessage(qobmLC_CL, qobmLL_ALARM, "f", "c.cpp", 4, "alarm");
  qobmLogMessage(qobmLC_CL, qobmLL_FATAL, "f", "c.cpp", 5, "fatal");
  ASSERT_EQ(lines_.size(), 4u);
  EXPECT_EQ(lines_[2].text, "trace");
  EXPECT_EQ(lines_[3].text, "fatal");
}

TEST_F(QobmLog, LongMessagesAreNotTruncated) {
  const std::string big(10000, 'q');
  ASSERT_EQ(qobmLogMessage(qobmLC_CL, qobmLL_ERROR, "f", "f.cpp", 1, "<%s|%d>", big.c_str(), 42), 0);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0].text, "<" + big + "|42>");
}

TEST_F(QobmLog, LevelQueriesAndBadArguments) {
  qobmBool flag = qobmTRUE;
  ASSERT_EQ(qobmLogLevelEnabled(qobmLC_CL, qobmLL_INFO, &flag), 0);
  EXPECT_EQ(flag, qobmFALSE);
  ASSERT_EQ(qobmLogLevelEnabled(qobmLC_CL, qobmLL_WARN, &flag), 0);
  EXPECT_EQ(flag, qobmTRUE);
  ASSERT_EQ(qobmSetLogLevel(qobmLL_TRACE), 0);
  ASSERT_EQ(qobmLogLevelEnabled(qobmLC_TM, qobmLL_TRACE, &flag), 0);
  EXPECT_EQ(flag, qobmTRUE);

  flag = qobmFALSE;
  EXPECT_NE(qobmLogLevelEnabled(qobmLC_CL, qobmLL_ERROR, nullptr), 0);
  EXPECT_NE(qobmLogLevelEnabled(9, qobmLL_ERROR, &flag), 0);
  EXPECT_NE(qobmLogLevelEnabled(qobmLC_CL, 7, &flag), 0);
  EXPECT_EQ(flag, qobmFALSE);

  EXPECT_EQ(qobmSetLogLevel(7), QOBM_ERR_INVALID_PARAM);
  uint32_t level = 99;
  ASSERT_EQ(qobmGetLogLevel(&level), 0);
  EXPECT_EQ(level, uint32_t(qobmLL_TRACE));

  EXPECT_EQ(qobmLogMessage(qobmLC_CL, qobmLL_ERROR, "f", "f.cpp", 1, nullptr), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmLogMessage(9, qobmLL_ERROR, "f", "f.cpp", 1, "x"), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmLogMessage(qobmLC_CL, 7, "f", "f.cpp", 1, "x"), QOBM_ERR_INVALID_PARAM);
  EXPECT_TRUE(lines_.empty());
}

// Runs body with stderr redirected to a file and returns what was written.
template <typename F>
std::string captureStderr(F body) {
  char path[] = "/tmp/qobm_stderr_XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  std::fflush(stderr);
  const int saved = dup(2);
  dup2(fd, 2);
  body();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(fd);
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  unlink(path);
  return ss.str();
}

TEST_F(QobmLog, NullSinkRestoresOneStderrLinePerMessage) {
  ASSERT_EQ(qobmSetLogSink(nullptr, nullptr), 0);
  const std::string out = captureStderr([] {
    qobmLogMessage(qobmLC_CL, qobmLL_INFO, "hidden", "h.cpp", 9, "below threshold\n");
    qobmLogMessage(qobmLC_CL, qobmLL_ERROR, "runAsync", "op_stream.cpp", 77, "run %d failed\n", 3);
    qobmLogMessage(qobmLC_ME, qobmLL_WARN, "g", "g.cpp", 5, "no newline");
  });
  EXPECT_TRUE(lines_.empty());
  std::vector<std::string> got;
  std::stringstream ss(out);
  for (std::string l; std::getline(ss, l);) got.push_back(l);
  ASSERT_EQ(got.size(), 2u) << out;
  EXPECT_NE(got[0].find("[ERROR]"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("[CL]"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("op_stream.cpp:77"), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("runAsync"), std::string::npos) << got[0];
  EXPECT_EQ(got[0].substr(got[0].size() - 12), "run 3 failed");
  EXPECT_NE(got[1].find("[WARN]"), std::string::npos) << got[1];
  EXPECT_NE(got[1].find("[ME]"), std::string::npos) << got[1];
  EXPECT_EQ(got[1].substr(got[1].size() - 10), "no newline");
  // A time stamp leads the line: date and time of day.
  EXPECT_TRUE(got[0].size() > 19 && got[0][4] == '-' && got[0][10] == ' ' && got[0][13] == ':') << got[0];
}

TEST(QobmLogLevelText, NumbersAndNamesInAnyCase) {
  const struct {
    const char* text;
    uint32_t want;
  } cases[] = {{"0", 0},     {"6", 6},       {" 4\n", 4},  {"trace", 0},  {"Debug", 1}, {"INFO", 2},
               {"warn", 3},  {"Warning", 3}, {"error", 4}, {"ALARM", 5},  {"fatal", 6}, {"7", 1},
               {"-1", 1},    {"", 1},        {"errors", 1}, {"2x", 1},    {nullptr, 1}};
  for (const auto& c : cases) EXPECT_EQ(qobm_detail::parseLogLevel(c.text, 1), c.want) << (c.text ? c.text : "null");
}

}  // namespace
