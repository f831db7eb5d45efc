// Modules, loading model libraries with dlopen, and the C calls that loaded libraries make.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <tvm/runtime/c_backend_api.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/packed_func.h>
#include <tvm/runtime/registry.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "runtime/backend_func.h"

namespace tvm {
namespace runtime {

// ---- ModuleNode / Module ----
PackedFunc ModuleNode::GetFunction(const std::string& name, bool query_imports) {
  ObjectPtr<Object> self(this);
  PackedFunc f = GetFunction(name, self);
  if (f.defined() || !query_imports) return f;
  for (const Module& m : imports_) {
    f = m->GetFunction(name, true);
    if (f.defined()) return f;
  }
  return PackedFunc();
}

void ModuleNode::Import(Module other) {
  if (!other.defined()) throw Error("cannot import an undefined module");
  imports_.push_back(std::move(other));
}

PackedFunc Module::GetFunction(const std::string& name, bool query_imports) const {
  if (!defined()) throw Error("GetFunction(\"" + name + "\") on an undefined module");
  return (*this)->GetFunction(name, query_imports);
}

void Module::Import(Module other) const {
  if (!defined()) throw Error("Import into an undefined module");
  (*this)->Import(std::move(other));
}

namespace {

thread_local std::string tls_last_error;
thread_local std::string tls_ret_string;

// Runs a library function with the backend packed signature.
void CallBackend(TVMBackendPackedCFunc fn, const std::string& name, TVMArgs args, TVMRetValue* rv) {
  TVMValue ret;
  ret.v_int64 = 0;
  int ret_code = kTVMNullptr;
  const uint32_t serial = tls_error_serial;
  if (fn(const_cast<TVMValue*>(args.values), const_cast<int*>(args.type_codes), args.num_args, &ret, &ret_code,
         nullptr) != 0)
    throw Error(BackendFailureText(name, serial));
  switch (ret_code) {
    case kTVMArgInt: *rv = ret.v_int64; break;
    case kTVMArgFloat: *rv = ret.v_float64; break;
    case kTVMOpaqueHandle: *rv = ret.v_handle; break;
    case kTVMDataType: *rv = ret.v_type; break;
    case kTVMStr: *rv = std::string(ret.v_str ? ret.v_str : ""); break;
    default: *rv = nullptr; break;
  }
}

// A packed function wrapping a library function: it keeps the function and its name where a caller that
// packs its own arguments finds them (BackendFunctionOf).
class BackendFuncNode final : public PackedFuncNode {
 public:
  BackendFuncNode(TVMBackendPackedCFunc fn, std::string name, ObjectPtr<Object> keep_alive)
      : PackedFuncNode([this](TVMArgs args, TVMRetValue* rv) { CallBackend(fn_, name_, args, rv); }),
        fn_(fn),
        name_(std::move(name)),
        keep_alive_(std::move(keep_alive)) {}
  TVMBackendPackedCFunc fn() const { return fn_; }
  const std::string& name() const { return name_; }

 private:
  TVMBackendPackedCFunc fn_;
  std::string name_;
  ObjectPtr<Object> keep_alive_;   // the module the library belongs to
};

PackedFunc WrapBackend(TVMBackendPackedCFunc fn, const std::string& name, ObjectPtr<Object> keep_alive) {
  return PackedFunc(ObjectPtr<Object>(make_object<BackendFuncNode>(fn, name, std::move(keep_alive))));
}

// One per dlopen handle, shared by every module loaded from the same file; its address is what the
// library's __tvm_module_ctx holds.
struct LibContext {
  void* handle = nullptr;
  int users = 0;
  std::mutex mutex;
  std::map<std::string, PackedFunc> env_funcs;  // wrappers handed out by TVMBackendGetFuncFromEnv
};

std::mutex& ContextMutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}
std::map<void*, LibContext*>& Contexts() {
  static auto* m = new std::map<void*, LibContext*>();
  return *m;
}

void FillLibraryPointers(void* handle, LibContext* ctx) {
  struct Slot {
    const char* name;
    void* value;
  };
  const Slot slots[] = {
      {"__TVMFuncCall", reinterpret_cast<void*>(&TVMFuncCall)},
      {"__TVMBackendGetFuncFromEnv", reinterpret_cast<void*>(&TVMBackendGetFuncFromEnv)},
      {"__TVMAPISetLastError", reinterpret_cast<void*>(&TVMAPISetLastError)},
      {"__TVMBackendParallelLaunch", reinterpret_cast<void*>(&TVMBackendParallelLaunch)},
      {"__TVMBackendParallelBarrier", reinterpret_cast<void*>(&TVMBackendParallelBarrier)},
      {"__TVMBackendAllocWorkspace", reinterpret_cast<void*>(&TVMBackendAllocWorkspace)},
      {"__TVMBackendFreeWorkspace", reinterpret_cast<void*>(&TVMBackendFreeWorkspace)},
      {"__tvm_module_ctx", static_cast<void*>(ctx)},
  };
  for (const Slot& s : slots) {
    void** p = static_cast<void**>(dlsym(handle, s.name));
    if (p) *p = s.value;
  }
}

// True unless sym is known to be defined by another object than the library `handle`: dlsym also finds
// the symbols of the libraries it depends on (the C library's "abs", "exp", ...), which are no model
// functions and would be called with packed arguments.
bool DefinedByLibrary(void* handle, void* sym) {
  struct link_map* own = nullptr;
  struct link_map* where = nullptr;
  Dl_info info;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 || own == nullptr) return true;  // cannot tell
  if (dladdr1(sym, &info, reinterpret_cast<void**>(&where), RTLD_DL_LINKMAP) == 0 || where == nullptr) return true;
  return where == own;
}

// The library's function `name`.  "__tvm_main__" is the library's entry function: its symbol is the
// text naming the function.  Other names starting with "__" are runtime slots, not functions.  *entry
// receives the name of the function found.
void* FindFunction(void* handle, const std::string& name, std::string* entry) {
  *entry = name;
  if (name == "__tvm_main__") {
    const char* text = static_cast<const char*>(dlsym(handle, "__tvm_main__"));
    if (!text || !*text || strnlen(text, 1025) > 1024) return nullptr;  // not a name
    *entry = text;
  }
  if (entry->empty() || entry->compare(0, 2, "__") == 0) return nullptr;
  void* sym = dlsym(handle, entry->c_str());
  return sym != nullptr && DefinedByLibrary(handle, sym) ? sym : nullptr;
}

class DSOModuleNode : public ModuleNode {
 public:
  DSOModuleNode(void* handle, LibContext* ctx, std::string path)
      : handle_(handle), ctx_(ctx), path_(std::move(path)) {}
  ~DSOModuleNode() override {
    std::lock_guard<std::mutex> lock(ContextMutex());
    if (--ctx_->users == 0) {
      Contexts().erase(handle_);
      delete ctx_;
    }
    dlclose(handle_);
  }
  const char* type_key() const override { return "so"; }
  PackedFunc GetFunction(const std::string& name, const ObjectPtr<Object>& sptr_to_self) override {
    std::string entry;
    void* sym = FindFunction(handle_, name, &entry);
    if (!sym) return PackedFunc();
    return WrapBackend(reinterpret_cast<TVMBackendPackedCFunc>(sym), entry, sptr_to_self);
  }

 private:
  void* handle_;
  LibContext* ctx_;
  std::string path_;
};

Module LoadSharedObject(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) throw Error("cannot open model library " + path + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) throw Error("cannot load model library " + path + ": not a regular file");
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw Error("cannot open model library " + path + ": " + std::strerror(errno));
  unsigned char magic[4] = {0, 0, 0, 0};
  size_t got = std::fread(magic, 1, 4, f);
  std::fclose(f);
  if (got != 4 || magic[0] != 0x7f || magic[1] != 'E' || magic[2] != 'L' || magic[3] != 'F')
    throw Error("cannot load model library " + path + ": not a shared object (no ELF header)");
  dlerror();
  // Every symbol is bound now: a library that needs a function nothing provides is refused here, naming
  // it, instead of stopping the process when its kernel first runs.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* e = dlerror();
    throw Error("cannot load model library " + path + ": " + (e ? e : "dlopen failed"));
  }
  LibContext* ctx;
  {
    std::lock_guard<std::mutex> lock(ContextMutex());
    auto it = Contexts().find(handle);
    if (it == Contexts().end()) {
      ctx = new LibContext();
      ctx->handle = handle;
      Contexts()[handle] = ctx;
      FillLibraryPointers(handle, ctx);
    } else {
      ctx = it->second;
    }
    ++ctx->users;
  }
  return Module(make_object<DSOModuleNode>(handle, ctx, path));
}

}  // namespace

TVMBackendPackedCFunc BackendFunctionOf(const PackedFunc& f, const std::string** name) {
  const auto* node = dynamic_cast<const BackendFuncNode*>(f.get());
  if (node == nullptr) return nullptr;
  *name = &node->name();
  return node->fn();
}

__thread uint32_t tls_error_serial __attribute__((tls_model("initial-exec"))) = 0;

std::string BackendFailureText(const std::string& name, uint32_t serial) {
  std::string text = "function " + name + " failed";
  if (tls_error_serial != serial && !tls_last_error.empty()) text += ": " + tls_last_error;
  return text;
}

Module Module::LoadFromFile(const std::string& file_name, const std::string& format) {
  std::string fmt = format;
  if (fmt.empty()) {
    size_t dot = file_name.find_last_of('.');
    size_t slash = file_name.find_last_of('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) fmt = file_name.substr(dot + 1);
    if (fmt != "so" && fmt != "dll" && fmt != "dylib") fmt = "so";  // anything else is tried as a shared object
  }
  if (fmt != "so" && fmt != "dll" && fmt != "dylib")
    throw Error("cannot load " + file_name + ": unknown module format \"" + format + "\"");
  return LoadSharedObject(file_name);
}

// ---- the C calls ----
}  // namespace runtime
}  // namespace tvm

using tvm::runtime::LibContext;
using tvm::runtime::PackedFunc;
using tvm::runtime::PackedFuncNode;
using tvm::runtime::tls_last_error;
using tvm::runtime::tls_ret_string;

extern "C" {

const char* TVMGetLastError(void) { return tls_last_error.c_str(); }

void TVMAPISetLastError(const char* msg) {
  tls_last_error = msg ? msg : "";
  ++tvm::runtime::tls_error_serial;
}

int TVMFuncGetGlobal(const char* name, TVMFunctionHandle* out) {
  if (!name || !out) {
    TVMAPISetLastError("TVMFuncGetGlobal: null argument");
    return -1;
  }
  const PackedFunc* f = tvm::runtime::Registry::Get(name);
  *out = f ? const_cast<tvm::runtime::Object*>(f->get()) : nullptr;
  return 0;
}

int TVMFuncCall(TVMFunctionHandle func, TVMValue* args, int* type_codes, int num_args, TVMValue* ret_val,
                int* ret_type_code) {
  if (!func || (num_args > 0 && (!args || !type_codes)) || num_args < 0 || !ret_val || !ret_type_code) {
    TVMAPISetLastError("TVMFuncCall: bad argument");
    return -1;
  }
  try {
    auto* node = static_cast<PackedFuncNode*>(static_cast<tvm::runtime::Object*>(func));
    tvm::runtime::TVMRetValue rv;
    node->body(tvm::runtime::TVMArgs(args, type_codes, num_args), &rv);
    int code = rv.type_code();
    if (code == kTVMStr || code == kTVMBytes) {
      tls_ret_string = static_cast<std::string>(rv);
      ret_val->v_str = tls_ret_string.c_str();
      *ret_type_code = kTVMStr;
    } else if (rv.IsObjectRef()) {
      TVMAPISetLastError("TVMFuncCall: object results are not supported through the C interface");
      return -1;
    } else {
      *ret_val = rv.value();
      *ret_type_code = code;
    }
    return 0;
  } catch (const std::exception& e) {
    TVMAPISetLastError(e.what());
    return -1;
  }
}

int TVMBackendGetFuncFromEnv(void* mod_node, const char* func_name, TVMFunctionHandle* func) {
  if (!mod_node || !func_name || !func) {
    TVMAPISetLastError("TVMBackendGetFuncFromEnv: null argument");
    return -1;
  }
  auto* ctx = static_cast<LibContext*>(mod_node);
  std::string name(func_name);
  {
    std::lock_guard<std::mutex> lock(ctx->mutex);
    auto it = ctx->env_funcs.find(name);
    if (it == ctx->env_funcs.end()) {
      std::string entry;
      void* sym = tvm::runtime::FindFunction(ctx->handle, name, &entry);
      if (sym) {
        it = ctx->env_funcs
                 .emplace(name, tvm::runtime::WrapBackend(reinterpret_cast<TVMBackendPackedCFunc>(sym), entry,
                                                          tvm::runtime::ObjectPtr<tvm::runtime::Object>()))
                 .first;
      }
    }
    if (it != ctx->env_funcs.end()) {
      *func = const_cast<tvm::runtime::Object*>(it->second.get());
      return 0;
    }
  }
  const PackedFunc* f = tvm::runtime::Registry::Get(name);
  if (!f) {
    TVMAPISetLastError(("cannot find function " + name + " in the module or the registry").c_str());
    return -1;
  }
  *func = const_cast<tvm::runtime::Object*>(f->get());
  return 0;
}

}  // extern "C"
