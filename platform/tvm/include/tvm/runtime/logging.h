/* tvm/runtime/logging.h - the runtime's exception type. */
#ifndef TVM_RUNTIME_LOGGING_H_
#define TVM_RUNTIME_LOGGING_H_

#include <stdexcept>
#include <string>

namespace tvm {
namespace runtime {

/* Every failure the C++ runtime raises: a wrong value type in a conversion, a missing function, a
   library that cannot be loaded, a malformed argument. */
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& msg) : std::runtime_error(msg) {}
};

}  // namespace runtime
using runtime::Error;
}  // namespace tvm

#endif  // TVM_RUNTIME_LOGGING_H_
