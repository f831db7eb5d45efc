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

// A card address as a pointer, for "%p" in log lines.
inline void* qoblAsPtr(uint64_t addr) { return reinterpret_cast<void*>(static_cast<uintptr_t>(addr)); }

}  // namespace qobl
}  // namespace zenlar

// QOBL_LOG(qobmLL_ERROR, "format %d\n", value);  the format is printf-style.
#define QOBL_LOG(level, ...)                                                                          \
  ::qobmLogMessage(qobmLC_CL, (level), __func__, ::zenlar::qobl::qoblBaseName(__FILE__), __LINE__,  \
                   __VA_ARGS__)
#define QOBL_LOG_TRACE(...) QOBL_LOG(qobmLL_TRACE, __VA_ARGS__)
#define QOBL_LOG_DEBUG(...) QOBL_LOG(qobmLL_DEBUG, __VA_ARGS__)
#define QOBL_LOG_INFO(...) QOBL_LOG(qobmLL_INFO, __VA_ARGS__)
#define QOBL_LOG_WARN(...) QOBL_LOG(qobmLL_WARN, __VA_ARGS__)
#define QOBL_LOG_ERROR(...) QOBL_LOG(qobmLL_ERROR, __VA_ARGS__)

#endif  // QOBL_LOG_H
