// Shared helpers of the model integration tests: demo model files, scratch directories, log capture and
// the card's live-block count.
#ifndef QOBL_TESTS_MODEL_TEST_UTIL_H
#define QOBL_TESTS_MODEL_TEST_UTIL_H

#include <gtest/gtest.h>
#include <qobcrt/qobcrt_sim.h>
#include <qobm/qobm.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace modeltest {

inline std::string buildDir() {
  const char* dir = std::getenv("QOBL_BUILD_DIR");
  return dir != nullptr ? dir : ".";
}

inline std::string demoModelDir(const std::string& name) { return buildDir() + "/models/" + name + "/"; }

inline std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A scratch directory removed (with its files) at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    char templ[] = "/tmp/qobl_model_test_XXXXXX";
    const char* made = mkdtemp(templ);
    path_ = made != nullptr ? std::string(made) + "/" : std::string();
  }
  ~ScratchDir() {
    for (const auto& f : files_) ::unlink(f.c_str());
    if (!path_.empty()) ::rmdir(path_.c_str());
  }
  std::string file(const std::string& name, const std::string& bytes) {
    const std::string p = path_ + name;
    writeBytes(p, bytes);
    files_.push_back(p);
    return p;
  }
  std::string path(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

struct LogLine {
  uint32_t level;
  std::string function;
  std::string text;
};

// Receives every library log line while alive (channel 3 only).
class LogCapture {
 public:
  LogCapture() { qobmSetLogSink(&LogCapture::sink, this); }
  ~LogCapture() { qobmSetLogSink(nullptr, nullptr); }
  std::vector<LogLine> lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }
  // Texts of the ERROR lines, in order.
  std::vector<std::string> errors() {
    std::vector<std::string> out;
    for (const auto& l : lines()) {
      if (l.level == qobmLL_ERROR) out.push_back(l.text);
    }
    return out;
  }
  bool hasError(const std::string& text) {
    for (const auto& e : errors()) {
      if (e == text) return true;
    }
    return false;
  }

 private:
  static void sink(uint32_t channel, uint32_t level, const char* function, const char*, uint32_t,
                   const char* text, void* user) {
    if (channel != qobmLC_CL) return;
    auto* self = static_cast<LogCapture*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    self->lines_.push_back(LogLine{level, function != nullptr ? function : "", text != nullptr ? text : ""});
  }
  std::mutex mu_;
  std::vector<LogLine> lines_;
};

inline uint64_t liveBlocks(uint32_t kind) {
  qobcrt_sim_stats stats{};
  EXPECT_EQ(0, qobcrt_sim_get_stats(0, &stats));
  return stats.live_blocks[kind];
}

}  // namespace modeltest

#endif  // QOBL_TESTS_MODEL_TEST_UTIL_H
