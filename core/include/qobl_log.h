// Logging helper of libqobl: every line goes to the platform log on the library's channel (3) with the
// level, the calling function's bare name, the source file name and line.
#ifndef QOBL_LOG_H
#define QOBL_LOG_H

#include <qobm/qobm.h>

#include <cstdint>

#include "per_thread.h"

namespace zenlar {
namespace qobl {

// Base name of a source path, computed at compile time.
constexpr const char* qoblBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}

// One reading of the platform log's threshold, for a stretch of the library's own work that makes several
// log checks (the completion path's handling of one report).  While a reading is held, the trace and debug
// checks of the calling thread compare with it instead of asking the platform log each time.  The level
// can change at any time (qobmSetLogLevel), so a reading is held only around work that runs no application
// code: a report callback, which may change the level, runs under a LogLevelReading::Pause, after which
// the threshold is read again.  Readings nest; a thread holds at most one at a time.
class LogLevelReading {
 public:
  LogLevelReading() : outer_(held_) { read(); }
  ~LogLevelReading() { held_ = outer_; }
  LogLevelReading(const LogLevelReading&) = delete;
  LogLevelReading& operator=(const LogLevelReading&) = delete;

  // The calling thread's reading: the threshold plus one, or 0 when it holds none.
  static uint32_t held() { return held_; }

  // Suspends the calling thread's reading for its lifetime (the checks ask the platform log again) and
  // reads the threshold anew at its end.
  class Pause {
   public:
    Pause() : paused_(held_ != 0) { held_ = 0; }
    ~Pause() {
      if (paused_) read();
    }
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

   private:
    bool paused_;
  };

 private:
  static void read() {
    uint32_t threshold = 0;
    held_ = qobmGetLogLevel(&threshold) == 0 ? threshold + 1 : 0;
  }
  static QOBL_THREAD_LOCAL inline uint32_t held_ = 0;
  uint32_t outer_;
};

// Whether the platform log takes lines of `level` on the library's channel.  The trace and debug macros
// ask this first, so a filtered line costs one plain call (none under a LogLevelReading) and no formatting
// or argument evaluation.  The platform log has one threshold for every channel, so the check compares
// with it, as a reading does.
inline bool qoblLogWanted(uint32_t level) {
  uint32_t held = LogLevelReading::held();
  if (held == 0) {
    uint32_t threshold = 0;
    if (qobmGetLogLevel(&threshold) != 0) return false;
    held = threshold + 1;
  }
  return level + 1 >= held;
}

// A card address as a pointer, for "%p" in log lines.
inline void* qoblAsPtr(uint64_t addr) { return reinterpret_cast<void*>(static_cast<uintptr_t>(addr)); }

}  // namespace qobl
}  // namespace zenlar

// QOBL_LOG(qobmLL_ERROR, "format %d\n", value);  the format is printf-style.
#define QOBL_LOG(level, ...)                                                                          \
  ::qobmLogMessage(qobmLC_CL, (level), __func__, ::zenlar::qobl::qoblBaseName(__FILE__), __LINE__,  \
                   __VA_ARGS__)
// Trace and debug lines, usually filtered, evaluate their arguments only when the level is on.
#define QOBL_LOG_TRACE(...)                                                                          \
  do {                                                                                               \
    if (::zenlar::qobl::qoblLogWanted(qobmLL_TRACE)) QOBL_LOG(qobmLL_TRACE, __VA_ARGS__);            \
  } while (0)
#define QOBL_LOG_DEBUG(...)                                                                          \
  do {                                                                                               \
    if (::zenlar::qobl::qoblLogWanted(qobmLL_DEBUG)) QOBL_LOG(qobmLL_DEBUG, __VA_ARGS__);            \
  } while (0)
#define QOBL_LOG_INFO(...) QOBL_LOG(qobmLL_INFO, __VA_ARGS__)
#define QOBL_LOG_WARN(...) QOBL_LOG(qobmLL_WARN, __VA_ARGS__)
#define QOBL_LOG_ERROR(...) QOBL_LOG(qobmLL_ERROR, __VA_ARGS__)

#endif  // QOBL_LOG_H
