/*
 * tvm/runtime/packed_func.h - type-erased functions and their argument and result values.
 *
 * A PackedFunc takes TVMArgs (values + type codes) and writes a TVMRetValue.  Calling f(a, b, ...) packs
 * each argument with TVMArgsSetter:
 *   integers and bool -> kTVMArgInt; float/double -> kTVMArgFloat; const char* and std::string -> kTVMStr
 *   (not binary-safe; pass binary data as TVMByteArray or as an object); TVMByteArray -> kTVMBytes;
 *   DLTensor* -> kTVMDLTensorHandle; any other pointer (e.g. an int* result slot) -> kTVMOpaqueHandle;
 *   nullptr -> kTVMNullptr; Module -> kTVMModuleHandle; PackedFunc -> kTVMPackedFuncHandle; other object
 *   references (Array, Map, String, Integer, ir::StringImm, ...) -> kTVMObjectHandle.
 * Argument and result values convert back with typed conversions (int, int64_t, uint32_t, double, bool,
 * void*, DLTensor*, std::string, String, Module, PackedFunc, Array<T>, Map<K,V>, Integer, ...).  A value
 * of another type throws tvm::Error; container conversions check every element.  Objects converted from
 * an argument are new references; the argument itself is only borrowed for the duration of the call.
 */
#ifndef TVM_RUNTIME_PACKED_FUNC_H_
#define TVM_RUNTIME_PACKED_FUNC_H_

#include <dlpack/dlpack.h>
#include <tvm/ir/expr.h>
#include <tvm/runtime/c_runtime_api.h>
#include <tvm/runtime/container.h>
#include <tvm/runtime/data_type.h>
#include <tvm/runtime/logging.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/object.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

namespace tvm {
namespace runtime {

class TVMArgs;
class TVMArgValue;
class TVMRetValue;

/* Name of a type code, for error texts. */
const char* ArgTypeCode2Str(int type_code);

class PackedFuncNode : public Object {
 public:
  static constexpr const char* _type_key = "runtime.PackedFunc";
  const char* GetTypeKey() const override { return _type_key; }
  using FType = std::function<void(TVMArgs args, TVMRetValue* rv)>;
  explicit PackedFuncNode(FType f) : body(std::move(f)) {}
  FType body;
};

class PackedFunc : public ObjectRef {
 public:
  using ContainerType = PackedFuncNode;
  using FType = PackedFuncNode::FType;
  PackedFunc() = default;
  PackedFunc(std::nullptr_t) {}  // NOLINT(runtime/explicit)
  explicit PackedFunc(ObjectPtr<Object> n) : ObjectRef(std::move(n)) {}
  explicit PackedFunc(FType body) : ObjectRef(make_object<PackedFuncNode>(std::move(body))) {}
  /* Calls the function; throws tvm::Error when it is null, and lets the body's exceptions through. */
  template <typename... Args>
  inline TVMRetValue operator()(Args&&... args) const;
  inline void CallPacked(TVMArgs args, TVMRetValue* rv) const;
  explicit operator bool() const { return defined(); }
};

/* ---- values ---- */
class TVMPODValue_ {
 public:
  int type_code() const { return type_code_; }
  const TVMValue& value() const { return value_; }

  operator double() const {
    if (type_code_ == kTVMArgInt) return static_cast<double>(value_.v_int64);
    Expect(kTVMArgFloat, "float");
    return value_.v_float64;
  }
  operator int64_t() const {
    Expect(kTVMArgInt, "int");
    return value_.v_int64;
  }
  operator uint64_t() const {
    Expect(kTVMArgInt, "int");
    return static_cast<uint64_t>(value_.v_int64);
  }
  operator int() const {
    Expect(kTVMArgInt, "int");
    if (value_.v_int64 < std::numeric_limits<int>::min() || value_.v_int64 > std::numeric_limits<int>::max())
      throw Error("int value " + std::to_string(value_.v_int64) + " does not fit in 32 bits");
    return static_cast<int>(value_.v_int64);
  }
  operator uint32_t() const {
    Expect(kTVMArgInt, "int");
    if (value_.v_int64 < 0 || value_.v_int64 > static_cast<int64_t>(std::numeric_limits<uint32_t>::max()))
      throw Error("int value " + std::to_string(value_.v_int64) + " does not fit in unsigned 32 bits");
    return static_cast<uint32_t>(value_.v_int64);
  }
  operator bool() const {
    Expect(kTVMArgInt, "int");
    return value_.v_int64 != 0;
  }
  operator void*() const {
    if (type_code_ == kTVMNullptr) return nullptr;
    if (type_code_ == kTVMDLTensorHandle) return value_.v_handle;
    Expect(kTVMOpaqueHandle, "handle");
    return value_.v_handle;
  }
  operator DLTensor*() const {
    if (type_code_ == kTVMNullptr) return nullptr;
    Expect(kTVMDLTensorHandle, "DLTensor*");
    return static_cast<DLTensor*>(value_.v_handle);
  }
  operator DLDevice() const {
    Expect(kDLDevice, "Device");
    return value_.v_device;
  }
  /* The opaque pointer as T*. */
  template <typename T>
  T* ptr() const {
    return static_cast<T*>(static_cast<void*>(*this));
  }
  /* Object conversions: Array<T>, Map<K,V>, String, Integer, ir::StringImm, Module, PackedFunc, ObjectRef. */
  template <typename T, typename = std::enable_if_t<std::is_base_of<ObjectRef, T>::value>>
  operator T() const {
    return AsObjectRef<T>();
  }
  template <typename T>
  T AsObjectRef() const;

  bool IsObjectRef() const {
    return type_code_ == kTVMObjectHandle || type_code_ == kTVMModuleHandle || type_code_ == kTVMPackedFuncHandle;
  }

 protected:
  TVMPODValue_() { value_.v_int64 = 0; }
  TVMPODValue_(TVMValue v, int code) : value_(v), type_code_(code) {}
  void Expect(int code, const char* what) const {
    if (type_code_ != code)
      throw Error(std::string("expected ") + what + " but got " + ArgTypeCode2Str(type_code_));
  }
  /* String content of a kTVMStr / kTVMBytes value (overridden storage in TVMRetValue). */
  virtual bool StringContent(std::string* out) const;
  virtual ~TVMPODValue_() = default;

  TVMValue value_;
  int type_code_ = kTVMNullptr;
};

class TVMArgValue : public TVMPODValue_ {
 public:
  TVMArgValue() = default;
  TVMArgValue(TVMValue v, int code) : TVMPODValue_(v, code) {}
  operator std::string() const;
  operator DLDataType() const;
};

class TVMArgs {
 public:
  const TVMValue* values;
  const int* type_codes;
  int num_args;
  TVMArgs(const TVMValue* v, const int* c, int n) : values(v), type_codes(c), num_args(n) {}
  int size() const { return num_args; }
  /* Argument i; throws tvm::Error when i is out of range. */
  TVMArgValue operator[](int i) const {
    if (i < 0 || i >= num_args)
      throw Error("not enough arguments: index " + std::to_string(i) + " of " + std::to_string(num_args));
    return TVMArgValue(values[i], type_codes[i]);
  }
};

/* Owning result value. */
class TVMRetValue : public TVMPODValue_ {
 public:
  TVMRetValue() = default;
  TVMRetValue(const TVMRetValue& o) : TVMPODValue_() { Assign(o); }
  TVMRetValue(TVMRetValue&& o) noexcept : TVMPODValue_() { Assign(o); }
  TVMRetValue& operator=(const TVMRetValue& o) {
    if (this != &o) Assign(o);
    return *this;
  }
  TVMRetValue& operator=(TVMRetValue&& o) noexcept {
    if (this != &o) Assign(o);
    return *this;
  }
  ~TVMRetValue() override = default;

  operator std::string() const;
  operator DLDataType() const;
  template <typename T, typename = std::enable_if_t<std::is_integral<T>::value>>
  TVMRetValue& operator=(T v) {
    Clear();
    type_code_ = kTVMArgInt;
    value_.v_int64 = static_cast<int64_t>(v);
    return *this;
  }
  TVMRetValue& operator=(double v) {
    Clear();
    type_code_ = kTVMArgFloat;
    value_.v_float64 = v;
    return *this;
  }
  TVMRetValue& operator=(float v) { return *this = static_cast<double>(v); }
  TVMRetValue& operator=(std::nullptr_t) {
    Clear();
    return *this;
  }
  TVMRetValue& operator=(void* v) {
    Clear();
    type_code_ = kTVMOpaqueHandle;
    value_.v_handle = v;
    return *this;
  }
  TVMRetValue& operator=(std::string s) {
    Clear();
    type_code_ = kTVMStr;
    str_ = std::move(s);
    return *this;
  }
  TVMRetValue& operator=(const char* s) { return *this = std::string(s); }
  TVMRetValue& operator=(DLDataType t) {
    Clear();
    type_code_ = kTVMDataType;
    value_.v_type = t;
    return *this;
  }
  TVMRetValue& operator=(const TVMArgValue& a);
  template <typename T, typename = std::enable_if_t<std::is_base_of<ObjectRef, T>::value>, typename = void>
  TVMRetValue& operator=(const T& ref) {
    SetObject(ref, std::is_base_of<Module, T>::value      ? kTVMModuleHandle
                   : std::is_base_of<PackedFunc, T>::value ? kTVMPackedFuncHandle
                                                           : kTVMObjectHandle);
    return *this;
  }

 protected:
  bool StringContent(std::string* out) const override;

 private:
  friend class TVMArgsSetter;
  void Clear() {
    obj_ = ObjectRef();
    str_.clear();
    type_code_ = kTVMNullptr;
    value_.v_int64 = 0;
  }
  void SetObject(const ObjectRef& ref, int code) {
    ObjectRef keep = ref;
    Clear();
    if (!keep.defined()) return;
    obj_ = keep;
    type_code_ = code;
    value_.v_handle = const_cast<Object*>(obj_.get());
  }
  void Assign(const TVMRetValue& o) {
    ObjectRef keep = o.obj_;
    std::string s = o.str_;
    TVMValue v = o.value_;
    int code = o.type_code_;
    Clear();
    obj_ = keep;
    str_ = std::move(s);
    value_ = v;
    type_code_ = code;
  }
  ObjectRef obj_;
  std::string str_;
};

/* Packs arguments (see the file comment for the mapping). */
class TVMArgsSetter {
 public:
  TVMArgsSetter(TVMValue* values, int* type_codes) : values_(values), type_codes_(type_codes) {}
  template <typename T, typename = std::enable_if_t<std::is_integral<T>::value>>
  void operator()(size_t i, T v) const {
    values_[i].v_int64 = static_cast<int64_t>(v);
    type_codes_[i] = kTVMArgInt;
  }
  void operator()(size_t i, double v) const {
    values_[i].v_float64 = v;
    type_codes_[i] = kTVMArgFloat;
  }
  void operator()(size_t i, float v) const { (*this)(i, static_cast<double>(v)); }
  void operator()(size_t i, std::nullptr_t) const {
    values_[i].v_handle = nullptr;
    type_codes_[i] = kTVMNullptr;
  }
  template <typename T>
  void operator()(size_t i, T* p) const {
    using U = std::remove_cv_t<T>;
    if (p == nullptr) {
      (*this)(i, nullptr);
    } else if (std::is_same<U, char>::value) {
      values_[i].v_str = reinterpret_cast<const char*>(p);
      type_codes_[i] = kTVMStr;
    } else if (std::is_same<U, DLTensor>::value) {
      values_[i].v_handle = const_cast<void*>(static_cast<const void*>(p));
      type_codes_[i] = kTVMDLTensorHandle;
    } else {
      values_[i].v_handle = const_cast<void*>(static_cast<const void*>(p));
      type_codes_[i] = kTVMOpaqueHandle;
    }
  }
  void operator()(size_t i, const std::string& s) const {
    values_[i].v_str = s.c_str();
    type_codes_[i] = kTVMStr;
  }
  void operator()(size_t i, const TVMByteArray& b) const {
    values_[i].v_handle = const_cast<TVMByteArray*>(&b);
    type_codes_[i] = kTVMBytes;
  }
  void operator()(size_t i, DLDataType t) const {
    values_[i].v_type = t;
    type_codes_[i] = kTVMDataType;
  }
  void operator()(size_t i, DLDevice d) const {
    values_[i].v_device = d;
    type_codes_[i] = kDLDevice;
  }
  void operator()(size_t i, const TVMArgValue& a) const {
    values_[i] = a.value();
    type_codes_[i] = a.type_code();
  }
  /* A string result is passed as kTVMStr pointing into the TVMRetValue, which must outlive the call. */
  void operator()(size_t i, const TVMRetValue& r) const;
  template <typename T, typename = std::enable_if_t<std::is_base_of<ObjectRef, T>::value>, typename = void>
  void operator()(size_t i, const T& ref) const {
    if (!ref.defined()) {
      (*this)(i, nullptr);
      return;
    }
    values_[i].v_handle = const_cast<Object*>(ref.get());
    type_codes_[i] = std::is_base_of<Module, T>::value       ? kTVMModuleHandle
                     : std::is_base_of<PackedFunc, T>::value ? kTVMPackedFuncHandle
                                                             : kTVMObjectHandle;
  }

 private:
  TVMValue* values_;
  int* type_codes_;
};

/* ---- inline definitions ---- */
namespace detail {
template <typename T>
struct NullableRef : std::integral_constant<bool, std::is_same<T, Module>::value || std::is_same<T, PackedFunc>::value ||
                                                      std::is_same<T, ObjectRef>::value> {};
}  // namespace detail

template <typename T>
T TVMPODValue_::AsObjectRef() const {
  if (type_code_ == kTVMNullptr) {
    if (detail::NullableRef<T>::value) return T(ObjectPtr<Object>());
    throw Error("expected " + ObjectTypeChecker<T>::TypeName() + " but got NULL");
  }
  if (std::is_same<T, Integer>::value && type_code_ == kTVMArgInt) {
    return T(Integer(value_.v_int64).object_ptr());
  }
  if (std::is_same<T, String>::value && (type_code_ == kTVMStr || type_code_ == kTVMBytes)) {
    std::string s;
    StringContent(&s);
    return T(String(std::move(s)).object_ptr());
  }
  if (!IsObjectRef())
    throw Error("expected " + ObjectTypeChecker<T>::TypeName() + " but got " + ArgTypeCode2Str(type_code_));
  const Object* obj = static_cast<const Object*>(value_.v_handle);
  if (!ObjectTypeChecker<T>::Check(obj))
    throw Error("expected " + ObjectTypeChecker<T>::TypeName() + " but got " + obj->GetTypeKey());
  return T(ObjectPtr<Object>(const_cast<Object*>(obj)));
}

inline void PackedFunc::CallPacked(TVMArgs args, TVMRetValue* rv) const {
  if (!defined()) throw Error("call of a null PackedFunc");
  static_cast<const PackedFuncNode*>(data_.get())->body(args, rv);
}

template <typename... Args>
inline TVMRetValue PackedFunc::operator()(Args&&... args) const {
  constexpr size_t kNum = sizeof...(Args);
  TVMValue values[kNum > 0 ? kNum : 1];
  int codes[kNum > 0 ? kNum : 1];
  TVMArgsSetter setter(values, codes);
  size_t i = 0;
  (void)setter;
  (void)i;
  (setter(i++, std::forward<Args>(args)), ...);
  TVMRetValue rv;
  CallPacked(TVMArgs(values, codes, static_cast<int>(kNum)), &rv);
  return rv;
}

}  // namespace runtime
using runtime::PackedFunc;
using runtime::TVMArgs;
using runtime::TVMRetValue;
}  // namespace tvm

#endif  // TVM_RUNTIME_PACKED_FUNC_H_
