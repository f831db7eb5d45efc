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

/* Calls fn with packed arguments, ignoring its result value: true, or false with the text a failing call
   gives through TVMAPISetLastError ("function NAME failed[: text]") in *err. */
bool CallBackendFunction(TVMBackendPackedCFunc fn, const std::string& name, TVMValue* values, int* codes,
                         int num_args, std::string* err);

}  // namespace runtime
}  // namespace tvm

#endif  // TVM_SRC_RUNTIME_BACKEND_FUNC_H_
