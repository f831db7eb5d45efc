/*
 * tvm/runtime/object.h - reference-counted objects.
 *
 * Object is the base of every node (arrays, maps, strings, modules, functions).  ObjectPtr<T> and
 * ObjectRef hold a counted reference; the count is atomic, so references may be copied and dropped on
 * any thread.  An object is deleted when its last reference goes.
 */
#ifndef TVM_RUNTIME_OBJECT_H_
#define TVM_RUNTIME_OBJECT_H_

#include <tvm/runtime/logging.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

namespace tvm {
namespace runtime {

class Object {
 public:
  Object() = default;
  Object(const Object&) : ref_counter_(0) {}
  Object& operator=(const Object&) { return *this; }
  virtual ~Object() = default;
  /* Short name of the node type, used in error texts. */
  virtual const char* GetTypeKey() const { return "runtime.Object"; }
  int use_count() const { return ref_counter_.load(std::memory_order_relaxed); }

  void IncRef() { ref_counter_.fetch_add(1, std::memory_order_relaxed); }
  void DecRef() {
    if (ref_counter_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 private:
  std::atomic<int32_t> ref_counter_{0};
};

template <typename T>
class ObjectPtr {
 public:
  ObjectPtr() = default;
  ObjectPtr(std::nullptr_t) {}  // NOLINT(runtime/explicit)
  explicit ObjectPtr(T* p) : data_(p) {
    if (data_) data_->IncRef();
  }
  ObjectPtr(const ObjectPtr& o) : ObjectPtr(o.data_) {}
  ObjectPtr(ObjectPtr&& o) noexcept : data_(o.data_) { o.data_ = nullptr; }
  template <typename U, typename = std::enable_if_t<std::is_base_of<T, U>::value>>
  ObjectPtr(const ObjectPtr<U>& o) : ObjectPtr(static_cast<T*>(o.get())) {}  // NOLINT
  ~ObjectPtr() { reset(); }
  ObjectPtr& operator=(ObjectPtr o) noexcept {
    std::swap(data_, o.data_);
    return *this;
  }
  void reset() {
    if (data_) {
      T* d = data_;
      data_ = nullptr;
      d->DecRef();
    }
  }
  T* get() const { return data_; }
  T* operator->() const { return data_; }
  T& operator*() const { return *data_; }
  explicit operator bool() const { return data_ != nullptr; }
  bool operator==(std::nullptr_t) const { return data_ == nullptr; }
  bool operator!=(std::nullptr_t) const { return data_ != nullptr; }
  int use_count() const { return data_ ? data_->use_count() : 0; }

 private:
  T* data_ = nullptr;
};

template <typename T, typename... Args>
ObjectPtr<T> make_object(Args&&... args) {
  return ObjectPtr<T>(new T(std::forward<Args>(args)...));
}

/* Base of the typed handles (Array, Map, String, Module, PackedFunc, Integer, ...).  A default-constructed
   reference is undefined (holds nothing). */
class ObjectRef {
 public:
  using ContainerType = Object;
  ObjectRef() = default;
  explicit ObjectRef(ObjectPtr<Object> data) : data_(std::move(data)) {}
  bool defined() const { return data_ != nullptr; }
  bool same_as(const ObjectRef& o) const { return data_.get() == o.data_.get(); }
  const Object* get() const { return data_.get(); }
  const Object* operator->() const { return data_.get(); }
  int use_count() const { return data_.use_count(); }
  bool operator==(std::nullptr_t) const { return data_ == nullptr; }
  bool operator!=(std::nullptr_t) const { return data_ != nullptr; }
  const ObjectPtr<Object>& object_ptr() const { return data_; }

  /* The node as T, or nullptr when it is not one. */
  template <typename T>
  const T* as() const {
    return dynamic_cast<const T*>(data_.get());
  }

 protected:
  ObjectPtr<Object> data_;
  Object* get_mutable() const { return data_.get(); }
};

/* Reference to an existing node. */
template <typename RefT, typename NodeT>
RefT GetRef(const NodeT* node) {
  return RefT(ObjectPtr<Object>(const_cast<NodeT*>(node)));
}

template <typename SubRef>
struct ObjectTypeChecker;

/* Whether `obj` (possibly null) may be viewed as RefT; containers also check their elements. */
template <typename RefT>
struct ObjectTypeChecker {
  static bool Check(const Object* obj) {
    return obj == nullptr || dynamic_cast<const typename RefT::ContainerType*>(obj) != nullptr;
  }
  static std::string TypeName() { return RefT::ContainerType::_type_key; }
};
template <>
struct ObjectTypeChecker<ObjectRef> {
  static bool Check(const Object*) { return true; }
  static std::string TypeName() { return "Object"; }
};

/* Converts a reference to a subtype; throws tvm::Error when the node is of another type. */
template <typename SubRef, typename BaseRef>
SubRef Downcast(BaseRef ref) {
  if (!ObjectTypeChecker<SubRef>::Check(ref.get())) {
    throw Error(std::string("Downcast from ") + ref->GetTypeKey() + " to " + ObjectTypeChecker<SubRef>::TypeName() +
                " failed");
  }
  return SubRef(ref.object_ptr());
}

}  // namespace runtime
using runtime::Object;
using runtime::ObjectRef;
}  // namespace tvm

/* Declares the usual constructors and accessors of an ObjectRef subclass. */
#define TVM_DEFINE_OBJECT_REF_METHODS(TypeName, ParentType, ObjectName)                        \
  TypeName() = default;                                                                        \
  explicit TypeName(::tvm::runtime::ObjectPtr<::tvm::runtime::Object> n) : ParentType(n) {}   \
  const ObjectName* operator->() const { return static_cast<const ObjectName*>(data_.get()); } \
  const ObjectName* get() const { return static_cast<const ObjectName*>(data_.get()); }      \
  using ContainerType = ObjectName;

#endif  // TVM_RUNTIME_OBJECT_H_
