#include "qobl_test/log_capture.h"

namespace qobltest {

LogCapture::LogCapture(uint32_t level) {
  qobmGetLogLevel(&oldLevel_);
  qobmSetLogLevel(level);
  qobmSetLogSink(&LogCapture::sink, this);
}

LogCapture::~LogCapture() {
  qobmSetLogSink(nullptr, nullptr);
  qobmSetLogLevel(oldLevel_);
}

void LogCapture::sink(uint32_t channel, uint32_t level, const char* function, const char*, uint32_t,
                      const char* text, void* user) {
  if (channel != qobmLC_CL) return;
  auto* self = static_cast<LogCapture*>(user);
  std::lock_guard<std::mutex> lock(self->mu_);
  self->lines_.push_back({level, function != nullptr ? function : "", text != nullptr ? text : ""});
}

std::vector<LogLine> LogCapture::lines() {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::vector<LogLine> LogCapture::takeLines() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<LogLine> out;
  out.swap(lines_);
  return out;
}

std::vector<std::string> LogCapture::take(uint32_t level) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  for (const LogLine& l : lines_) {
    if (l.level == level) out.push_back(l.text);
  }
  lines_.clear();
  return out;
}

std::vector<std::string> LogCapture::errors() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> out;
  for (const LogLine& l : lines_) {
    if (l.level >= qobmLL_ERROR) out.push_back(l.text);
  }
  return out;
}

bool LogCapture::has(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const LogLine& l : lines_) {
    if (l.text == text) return true;
  }
  return false;
}

bool LogCapture::hasPrefix(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const LogLine& l : lines_) {
    if (l.text.compare(0, text.size(), text) == 0) return true;
  }
  return false;
}

bool LogCapture::contains(const std::string& piece) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const LogLine& l : lines_) {
    if (l.text.find(piece) != std::string::npos) return true;
  }
  return false;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.clear();
}

}  // namespace qobltest
