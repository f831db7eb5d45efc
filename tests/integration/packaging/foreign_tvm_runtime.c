/* Stands for another TVM runtime on the system (a real TVM's libtvm_runtime.so): the same file name and
   soname, a few of the same C entry points, none of the behaviour.  It says so on stderr when it is
   loaded, so a test sees which programs picked it up. */
#include <stdio.h>

__attribute__((constructor)) static void foreign_tvm_runtime_announce(void) {
  fputs("foreign TVM runtime loaded\n", stderr);
}

const char* TVMGetLastError(void) { return "foreign TVM runtime"; }

int TVMFuncGetGlobal(const char* name, void** out) {
  (void)name;
  if (out != NULL) *out = NULL;
  return -1;
}

/* Only this runtime has it: a program linked against it fails to start with any other libtvm_runtime.so. */
int foreign_tvm_runtime_id(void) { return 4242; }
