/*
 * tvm/runtime/registry.h - process-wide named functions.
 *
 *   TVM_REGISTER_GLOBAL("my.func").set_body([](TVMArgs args, TVMRetValue* rv) { ... });
 *   const PackedFunc* f = Registry::Get("my.func");   // nullptr when absent
 *
 * The registry is thread-safe.  A pointer from Get stays valid until the function is removed or
 * replaced; functions registered by this library are never removed.
 */
#ifndef TVM_RUNTIME_REGISTRY_H_
#define TVM_RUNTIME_REGISTRY_H_

#include <tvm/runtime/packed_func.h>

#include <string>
#include <vector>

namespace tvm {
namespace runtime {

class Registry {
 public:
  /* Sets the body of this function. */
  Registry& set_body(PackedFunc f);
  Registry& set_body(PackedFunc::FType f) { return set_body(PackedFunc(std::move(f))); }
  const std::string& name() const { return name_; }

  /* Registers `name`.  Throws tvm::Error when it exists and can_override is false. */
  static Registry& Register(const std::string& name, bool can_override = false);
  /* Removes `name`; false when it was not registered. */
  static bool Remove(const std::string& name);
  /* The function, or nullptr when `name` is not registered (or has no body yet). */
  static const PackedFunc* Get(const std::string& name);
  /* Names of all registered functions, sorted. */
  static std::vector<std::string> ListNames();

 private:
  explicit Registry(std::string name) : name_(std::move(name)) {}
  std::string name_;
  PackedFunc func_;
  friend struct RegistryManager;
};

}  // namespace runtime
}  // namespace tvm

#define TVM_STR_CONCAT_(a, b) a##b
#define TVM_STR_CONCAT(a, b) TVM_STR_CONCAT_(a, b)
#define TVM_REGISTER_GLOBAL(OpName) \
  static ::tvm::runtime::Registry& TVM_STR_CONCAT(__mk_TVM, __COUNTER__) __attribute__((unused)) = \
      ::tvm::runtime::Registry::Register(OpName)

#endif  // TVM_RUNTIME_REGISTRY_H_
