// Library functions with the backend packed signature, reached without the packed-function wrapper.
//
// A module loaded from a shared object hands its functions out as packed functions whose body converts
// the arguments and the result.  A caller that runs the same function many times with arguments it packed
// itself once (the graph executor's run plan) asks for the library function behind it and calls it
// directly.
#ifndef TVM_SRC_RUNTIME_BACKEND_FUNC_H_
#define TVM_SRC_RUNTIME_BACKEND_FUNC_H_

#include <tvm/runtime/c_backend_api.h>
#include <tvm/runtime/packed_func.h>

#include <string>

namespace tvm {
namespace runtime {

/* The library function behind f and its name (valid while f is), when f wraps one; null otherwise. */
TVMBackendPackedCFunc BackendFunctionOf(const PackedFunc& f, const std::string** name);

/* Counts the calling thread's TVMAPISetLastError calls, so that a caller learns whether a call it made set
   the text.  A word in the static TLS block: reading it is one load. */
extern __thread uint32_t tls_error_serial __attribute__((tls_model("initial-exec")));

/* The text of a failed library call: "function NAME failed", with the thread's last error when the call
   set one (tls_error_serial moved from `serial`). */
std::string BackendFailureText(const std::string& name, uint32_t serial);

/* Calls fn with packed arguments, ignoring its result value: true, or false with the text of the failure
   (BackendFailureText) in *err. */
inline bool CallBackendFunction(TVMBackendPackedCFunc fn, const std::string& name, TVMValue* values, int* codes,
                                int num_args, std::string* err) {
  TVMValue ret;
  ret.v_int64 = 0;
  int ret_code = kTVMNullptr;
  const uint32_t serial = tls_error_serial;
  if (fn(values, codes, num_args, &ret, &ret_code, nullptr) == 0) return true;
  *err = BackendFailureText(name, serial);
  return false;
}

}  // namespace runtime
}  // namespace tvm

#endif  // TVM_SRC_RUNTIME_BACKEND_FUNC_H_
