/* A model library whose parameters are linked in (it exports _lookup_linked_param): refused. */
#include <tvm/runtime/c_runtime_api.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT int _lookup_linked_param(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* rh) {
  (void)args; (void)codes; (void)n; (void)rh;
  ret->v_handle = 0;
  *ret_code = kTVMOpaqueHandle;
  return 0;
}

EXPORT int add_param(TVMValue* args, int* codes, int n, TVMValue* ret, int* ret_code, void* rh) {
  (void)args; (void)codes; (void)n; (void)ret; (void)ret_code; (void)rh;
  return 0;
}
