/* A model library whose kernel calls a runtime function that no runtime provides: refused when loaded,
   rather than stopping the process when the kernel first runs. */
#include <tvm/runtime/c_runtime_api.h>

#define EXPORT __attribute__((visibility("default")))

extern int TVMBackendNoSuchFunction(int);

EXPORT int add_one(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* rh) {
  (void)args; (void)codes; (void)ret; (void)ret_code; (void)rh;
  return TVMBackendNoSuchFunction(n);
}
