// Shared helpers of the library's sources: the exported C API and the exception guard that keeps C++
// exceptions from crossing it.
#ifndef QOBM_INTERNAL_H
#define QOBM_INTERNAL_H

// The library is built with hidden visibility; the public C API is exported explicitly.
#pragma GCC visibility push(default)
#include "qobm/qobm.h"
#pragma GCC visibility pop

#include <cstring>
#include <new>
#include <type_traits>

namespace zenlar {
namespace qobm {

// Runs f() and turns an escaping exception into a result code.
template <typename F>
int guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return QOBM_ERR_BAD_ALLOC;
  } catch (...) {
    return QOBM_ERR_INVALID_PARAM;
  }
}

// The integer a C caller stored in an enum argument.  C code may pass any int, including values outside the
// C++ enum's range, so the value is copied out rather than loaded as the enum type.
template <typename E>
long long rawEnum(const E& value) {
  std::underlying_type_t<E> raw;
  static_assert(sizeof raw == sizeof value, "enum size");
  std::memcpy(&raw, &value, sizeof raw);
  return static_cast<long long>(raw);
}

}  // namespace qobm
}  // namespace zenlar

#endif  // QOBM_INTERNAL_H
