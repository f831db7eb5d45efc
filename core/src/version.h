// Version of the library: the static version text and its four numbers, fixed at build time.
#ifndef QOBL_VERSION_H
#define QOBL_VERSION_H

#include <cstdint>

namespace zenlar {
namespace qobl {

// "QOBL API <version>, Commit: <commit>, Built: <weekday, day month year, hh:mm:ss>"; static storage.
const char* qoblVersionText();

// Parses "%u.%u.%u.%u"; true (and `numbers` written) only when all four fields were read.
bool qoblParseVersionNumbers(const char* text, uint32_t numbers[4]);

// The four numbers of the build's version, parsed once under a lock (retried while the parse has not
// succeeded).  True and `numbers` written when they are known; false and `numbers` untouched otherwise.
bool qoblVersionNumbers(uint32_t numbers[4]);

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_VERSION_H
