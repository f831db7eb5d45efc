/* An application of the other TVM runtime (foreign_tvm_runtime.c): it needs libtvm_runtime.so and calls a
   function only that runtime has, so it starts only when the loader gives it that runtime. */
#include <stdio.h>

const char* TVMGetLastError(void);
int foreign_tvm_runtime_id(void);

int main(void) {
  printf("foreign TVM application: runtime %d, \"%s\"\n", foreign_tvm_runtime_id(), TVMGetLastError());
  return foreign_tvm_runtime_id() == 4242 ? 0 : 1;
}
