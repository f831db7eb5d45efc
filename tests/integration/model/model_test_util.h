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
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
    files_.push_back(p);
    return p;
  }
  std::string path(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

// Receives the ERROR lines of the library's channel while alive.
class LogCapture {
 public:
  LogCapture() { qobmSetLogSink(&LogCapture::sink, this); }
  ~LogCapture() { qobmSetLogSink(nullptr, nullptr); }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    errors_.clear();
  }
  std::vector<std::string> errors() {
    std::lock_guard<std::mutex> lock(mu_);
    return errors_;
  }
  bool hasError(const std::string& text) {
    for (const auto& e : errors()) {
      if (e == text) return true;
    }
    return false;
  }

 private:
  static void sink(uint32_t channel, uint32_t level, const char*, const char*, uint32_t, const char* text,
                   void* user) {
    if (channel != qobmLC_CL || level != qobmLL_ERROR) return;
    auto* self = static_cast<LogCapture*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    self->errors_.push_back(text != nullptr ? text : "");
  }
  std::mutex mu_;
  std::vector<std::string> errors_;
};

inline uint64_t liveBlocks(uint32_t kind) {
  qobcrt_sim_stats stats{};
  EXPECT_EQ(0, qobcrt_sim_get_stats(0, &stats));
  return stats.live_blocks[kind];
}

}  // namespace modeltest

#endif  // QOBL_TESTS_MODEL_TEST_UTIL_H
