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

// One reading of the platform log's answers, for a stretch of the library's own work that makes several
// log checks (the completion path's handling of one report).  While a reading is held, the trace and debug
// checks of the calling thread ask the platform log (qobmLogLevelEnabled) and reuse its answers.  The
// level can change at any time (qobmSetLogLevel), so a reading is held only around work that runs no
// application code: a report callback, which may change the level, runs under a LogLevelReading::Pause,
// after which the answers are asked anew.  Readings nest; a thread holds at most one at a time.
class LogLevelReading {
 public:
  LogLevelReading() : outer_(held_) { held_ = kHeld; }
  ~LogLevelReading() { held_ = outer_; }
  LogLevelReading(const LogLevelReading&) = delete;
  LogLevelReading& operator=(const LogLevelReading&) = delete;

  // Whether the platform log takes lines of `level` on the library's channel: the answer of the calling
  // thread's reading when it holds one, else the platform log's.
  // Levels are ordered (a level the log takes, it takes every level above it too), so one answer also
  // tells the levels above a yes and below a no.  A trace check asks about the debug level first: the log
  // usually takes neither, and that one answer then serves the reading's trace and debug checks alike.
  static bool wanted(uint32_t level) {
    if (held_ == 0 || level >= kLevels) return ask(level);
    if ((held_ & (1u << level)) == 0) {
      if (level < kDebug && (held_ & (1u << kDebug)) == 0) learn(kDebug);
      if ((held_ & (1u << level)) == 0) learn(level);
    }
    return (held_ & (1u << (kLevels + level))) != 0;
  }

  // Suspends the calling thread's reading for its lifetime (the checks ask the platform log each time) and
  // starts it again, with no answer kept, at its end.
  class Pause {
   public:
    Pause() : paused_(held_ != 0) { held_ = 0; }
    ~Pause() {
      if (paused_) held_ = kHeld;
    }
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

   private:
    bool paused_;
  };

 private:
  // held_: 0 when the thread holds no reading; else kHeld, bit l set once level l's answer is known and bit
  // kLevels + l when the answer was yes.
  static constexpr uint32_t kLevels = 7;  // qobmLL_TRACE .. qobmLL_FATAL
  static constexpr uint32_t kHeld = 1u << 31;
  static constexpr uint32_t kDebug = qobmLL_DEBUG;
  // Asks the platform log about `level` and keeps the answer for it and for the levels it tells.
  static void learn(uint32_t level) {
    const uint32_t upFrom = (1u << kLevels) - (1u << level);  // levels >= level
    const uint32_t upTo = (2u << level) - 1u;                   // levels <= level
    held_ |= ask(level) ? upFrom | (upFrom << kLevels) : upTo;
  }
  static bool ask(uint32_t level) {
    qobmBool enabled = qobmFALSE;
    return qobmLogLevelEnabled(qobmLC_CL, level, &enabled) == 0 && enabled == qobmTRUE;
  }
  static QOBL_THREAD_LOCAL inline uint32_t held_ = 0;
  uint32_t outer_;
};

// Whether the platform log takes lines of `level` on the library's channel.  The trace and debug macros
// ask this first, so a filtered line costs one plain call (at most one per level under a LogLevelReading)
// and no formatting or argument evaluation.
inline bool qoblLogWanted(uint32_t level) { return LogLevelReading::wanted(level); }

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
