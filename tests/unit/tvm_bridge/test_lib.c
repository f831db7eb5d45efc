/* Stands for a model library: a shared object with one function of the backend packed-function signature. */
int tvm_bridge_test_nop(void* args, int* type_codes, int num_args, void* ret, int* ret_type_code, void* resource) {
  (void)args;
  (void)type_codes;
  (void)num_args;
  (void)ret;
  (void)ret_type_code;
  (void)resource;
  return 0;
}
