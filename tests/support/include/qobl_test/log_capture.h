// LogCapture: receives the log lines of the library's channel while alive.
#ifndef QOBL_TEST_LOG_CAPTURE_H
#define QOBL_TEST_LOG_CAPTURE_H

#include <qobm/qobm.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qobltest {

struct LogLine {
  uint32_t level;
  std::string function;
  std::string text;
};

class LogCapture {
 public:
  // Lines of the library's channel (qobmLC_CL) at `level` and above; the previous threshold and sink are
  // restored at the end.
  explicit LogCapture(uint32_t level = qobmLL_TRACE);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line so far.
  std::vector<LogLine> lines();
  // Every line so far; they are dropped.
  std::vector<LogLine> takeLines();
  // The texts of the lines at exactly `level`; every line so far is dropped.
  std::vector<std::string> take(uint32_t level = qobmLL_ERROR);
  // The texts at ERROR and above (nothing is dropped).
  std::vector<std::string> errors();
  // Whether a line equals / starts with `text`.
  bool has(const std::string& text);
  bool hasPrefix(const std::string& text);
  // Whether a line contains `piece`.
  bool contains(const std::string& piece);
  void clear();

 private:
  static void sink(uint32_t channel, uint32_t level, const char* function, const char* file, uint32_t line,
                   const char* text, void* user);
  uint32_t oldLevel_ = qobmLL_WARN;
  std::mutex mu_;
  std::vector<LogLine> lines_;
};

}  // namespace qobltest

#endif  // QOBL_TEST_LOG_CAPTURE_H
