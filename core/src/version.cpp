#include "version.h"

#include <cstdio>
#include <mutex>

#ifndef QOBL_VERSION_TEXT
#define QOBL_VERSION_TEXT ""
#endif
#ifndef QOBL_COMMIT_TEXT
#define QOBL_COMMIT_TEXT "unknown"
#endif
#ifndef QOBL_BUILD_DATE_TEXT
#define QOBL_BUILD_DATE_TEXT "unknown"
#endif

namespace zenlar {
namespace qobl {

namespace {
// Composed from the three build-time values; part of the library image, so it exists once the library is
// loaded and never changes.
const char _gVersion[] = "QOBL API " QOBL_VERSION_TEXT ", Commit: " QOBL_COMMIT_TEXT ", Built: " QOBL_BUILD_DATE_TEXT;
const char _gVersionNumbersText[] = QOBL_VERSION_TEXT;

std::recursive_mutex _gVerLock;
bool _gVerInit = false;
uint32_t _gMajor = 0, _gMinor = 0, _gRev = 0, _gBn = 0;
}  // namespace

const char* qoblVersionText() { return _gVersion; }

bool qoblParseVersionNumbers(const char* text, uint32_t numbers[4]) {
  if (text == nullptr) return false;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return false;
  numbers[0] = a;
  numbers[1] = b;
  numbers[2] = c;
  numbers[3] = d;
  return true;
}

bool qoblVersionNumbers(uint32_t numbers[4]) {
  std::lock_guard<std::recursive_mutex> guard(_gVerLock);
  if (!_gVerInit) {
    uint32_t parsed[4];
    if (qoblParseVersionNumbers(_gVersionNumbersText, parsed)) {
      _gMajor = parsed[0];
      _gMinor = parsed[1];
      _gRev = parsed[2];
      _gBn = parsed[3];
      _gVerInit = true;
    }
  }
  if (!_gVerInit) return false;
  numbers[0] = _gMajor;
  numbers[1] = _gMinor;
  numbers[2] = _gRev;
  numbers[3] = _gBn;
  return true;
}

}  // namespace qobl
}  // namespace zenlar
