/*
 * tvm/runtime/module.h - modules: a set of named packed functions (a loaded model library, a graph
 * runtime) plus the modules it imports.
 */
#ifndef TVM_RUNTIME_MODULE_H_
#define TVM_RUNTIME_MODULE_H_

#include <tvm/runtime/c_runtime_api.h>
#include <tvm/runtime/object.h>

#include <string>
#include <vector>

namespace tvm {
namespace runtime {

class PackedFunc;
class Module;

class ModuleNode : public Object {
 public:
  static constexpr const char* _type_key = "runtime.Module";
  const char* GetTypeKey() const override { return _type_key; }
  /* Short name of the module kind ("so", "GraphRuntime", ...). */
  virtual const char* type_key() const = 0;
  /* The function called `name`, or a null PackedFunc.  sptr_to_self is a reference to this node; a
     returned function that needs the module keeps it alive by capturing it. */
  virtual PackedFunc GetFunction(const std::string& name, const ObjectPtr<Object>& sptr_to_self) = 0;
  /* Looks up `name` here and, when query_imports is true, in the imported modules (depth first). */
  PackedFunc GetFunction(const std::string& name, bool query_imports = false);
  const std::vector<Module>& imports() const { return imports_; }
  void Import(Module other);

 protected:
  std::vector<Module> imports_;
};

class Module : public ObjectRef {
 public:
  using ContainerType = ModuleNode;
  Module() = default;
  explicit Module(ObjectPtr<Object> n) : ObjectRef(std::move(n)) {}
  ModuleNode* operator->() const { return static_cast<ModuleNode*>(get_mutable()); }
  /* Function `name` of the module (and of its imports when query_imports); a null PackedFunc when there
     is none.  Throws tvm::Error on an undefined module. */
  PackedFunc GetFunction(const std::string& name, bool query_imports = false) const;
  void Import(Module other) const;
  /* Loads a module from a file.  format "" or "so"/"dll"/"dylib" (or the file's extension when format is
     empty) opens a shared object with dlopen: every exported function with the backend packed-function
     signature is reachable by name ("__tvm_main__": the function the library's __tvm_main__ symbol
     names), and the library's runtime pointers (__TVMFuncCall,
     __TVMBackendAllocWorkspace, ..., __tvm_module_ctx) are filled when present.  The library stays open
     while the module or any function obtained from it lives.  Throws tvm::Error on a missing, truncated
     or foreign file, or an unknown format. */
  static Module LoadFromFile(const std::string& file_name, const std::string& format = "");
};

}  // namespace runtime
}  // namespace tvm

#endif  // TVM_RUNTIME_MODULE_H_
