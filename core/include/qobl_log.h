// Logging helper of libqobl: every line goes to the platform log on the library's channel (3) with the
// level, the calling function's bare name, the source file name and line.
#ifndef QOBL_LOG_H
#define QOBL_LOG_H

#include <qobm/qobm.h>

#include <cstdint>

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

// Whether the platform log takes lines of `level` on the library's channel.  The trace and debug macros
// ask this first, so a filtered line costs one plain call and no formatting or argument evaluation.
inline bool qoblLogWanted(uint32_t level) {
  qobmBool enabled = qobmFALSE;
  return qobmLogLevelEnabled(qobmLC_CL, level, &enabled) == 0 && enabled == qobmTRUE;
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
