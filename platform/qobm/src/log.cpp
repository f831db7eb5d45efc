// Logging: a process-wide level threshold and one sink that receives every line at or above it.
//
// The threshold comes from QOBM_LOG_LEVEL the first time it is needed and qobmSetLogLevel overrides it.
// Delivering a line holds the sink lock shared and qobmSetLogSink holds it exclusively, so lines are
// delivered concurrently, a sink is never called after qobmSetLogSink has replaced it, and a line always
// goes to one sink with that sink's own user pointer.
#include <sys/time.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "log_level.h"
#include "qobm_internal.h"

namespace {

using zenlar::qobm::guarded;
using zenlar::qobm::kMaxLogChannel;
using zenlar::qobm::kMaxLogLevel;

constexpr uint32_t kDefaultLevel = qobmLL_WARN;

// The threshold; kUnread until the first call needs it and reads QOBM_LOG_LEVEL.  Constant-initialised, so
// a filtered line costs one load and a compare.
constexpr uint32_t kUnread = UINT32_MAX;
std::atomic<uint32_t> gThreshold{kUnread};

[[gnu::noinline]] uint32_t readThreshold() {
  uint32_t expected = kUnread;
  const uint32_t fromEnv = zenlar::qobm::parseLogLevel(std::getenv("QOBM_LOG_LEVEL"), kDefaultLevel);
  // qobmSetLogLevel may have set it meanwhile: that value stands.
  gThreshold.compare_exchange_strong(expected, fromEnv);
  return gThreshold.load();
}

inline uint32_t threshold() {
  const uint32_t t = gThreshold.load(std::memory_order_relaxed);
  return t != kUnread ? t : readThreshold();
}

struct SinkState {
  std::shared_mutex mu;
  qobmLogSink sink = nullptr;  // null: the stderr sink
  void* user = nullptr;
};

SinkState& sinkState() {
  static SinkState* s = new SinkState;
  return *s;
}

// Set while this thread delivers a line, so that a sink which logs or replaces the sink does not deadlock.
thread_local bool tInSink = false;

// One line on stderr: time stamp, level, channel, file:line, function and the text without one trailing
// newline.  The line is written with one call so that lines of different threads do not interleave.
void writeStderr(uint32_t channel, uint32_t level, const char* function, const char* file, uint32_t line,
                 const char* text) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm local;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  char stamp[64];
  size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(stamp + n, sizeof stamp - n, ".%06ld", static_cast<long>(tv.tv_usec));

  std::string body(text);
  if (!body.empty() && body.back() == '\n') body.pop_back();
  std::string out;
  out.reserve(body.size() + 128);
  out += stamp;
  out += " [";
  out += zenlar::qobm::logLevelName(level);
  out += "] [";
  out += zenlar::qobm::logChannelName(channel);
  out += "] ";
  out += file;
  out += ':';
  out += std::to_string(line);
  out += ' ';
  out += function;
  out += ": ";
  out += body;
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stderr);
}

void deliver(uint32_t channel, uint32_t level, const char* function, const char* file, uint32_t line,
             const char* text) {
  if (tInSink) {  // a sink logging from inside its own call goes straight to stderr
    writeStderr(channel, level, function, file, line, text);
    return;
  }
  SinkState& s = sinkState();
  std::shared_lock<std::shared_mutex> lock(s.mu);
  struct Mark {
    Mark() { tInSink = true; }
    ~Mark() { tInSink = false; }
  } mark;
  if (s.sink != nullptr) {
    s.sink(channel, level, function, file, line, text, s.user);
  } else {
    writeStderr(channel, level, function, file, line, text);
  }
}

}  // namespace

extern "C" {

int qobmSetLogSink(qobmLogSink sink, void* user) {
  return guarded([&] {
    if (tInSink) return QOBM_ERR_INVALID_PARAM;  // replacing the sink from inside a sink would deadlock
    SinkState& s = sinkState();
    std::unique_lock<std::shared_mutex> lock(s.mu);
    s.sink = sink;
    s.user = sink != nullptr ? user : nullptr;
    return QOBM_SUCCESS;
  });
}

int qobmSetLogLevel(uint32_t level) {
  if (level > kMaxLogLevel) return QOBM_ERR_INVALID_PARAM;
  gThreshold.store(level);
  return QOBM_SUCCESS;
}

int qobmGetLogLevel(uint32_t* level) {
  if (level == nullptr) return QOBM_ERR_INVALID_PARAM;
  *level = threshold();
  return QOBM_SUCCESS;
}

int qobmLogLevelEnabled(uint32_t channel, uint32_t level, qobmBool* enabled) {
  if (enabled == nullptr || channel > kMaxLogChannel || level > kMaxLogLevel) return QOBM_ERR_INVALID_PARAM;
  *enabled = level >= threshold() ? qobmTRUE : qobmFALSE;
  return QOBM_SUCCESS;
}

int qobmLogMessage(uint32_t channel, uint32_t level, const char* function, const char* file, uint32_t line,
                   const char* format, ...) {
  if (format == nullptr || channel > kMaxLogChannel || level > kMaxLogLevel) return QOBM_ERR_INVALID_PARAM;
  if (level < threshold()) return QOBM_SUCCESS;
  va_list args;
  va_start(args, format);
  int rc = guarded([&] {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return QOBM_ERR_INVALID_PARAM;
    std::string large;
    const char* text = small;
    if (static_cast<size_t>(n) >= sizeof small) {
      large.resize(static_cast<size_t>(n) + 1);
      va_copy(copy, args);
      std::vsnprintf(&large[0], large.size(), format, copy);
      va_end(copy);
      large.resize(static_cast<size_t>(n));
      text = large.c_str();
    }
    deliver(channel, level, function != nullptr ? function : "", file != nullptr ? file : "", line, text);
    return QOBM_SUCCESS;
  });
  va_end(args);
  return rc;
}

}  // extern "C"
