/*
 * tvm/runtime/container.h - String, Array<T> and Map<K, V>.
 *
 * Arrays and maps are copy-on-write: a mutation makes a private copy when the node is shared, so a
 * container handed to another owner never changes under it.  Elements are object references; Array<T>
 * and Map<K, V> check the element types when converted from an untyped value (see packed_func.h).
 */
#ifndef TVM_RUNTIME_CONTAINER_H_
#define TVM_RUNTIME_CONTAINER_H_

#include <tvm/runtime/object.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace tvm {
namespace runtime {

/* ---- String ---- */
class StringObj : public Object {
 public:
  static constexpr const char* _type_key = "runtime.String";
  const char* GetTypeKey() const override { return _type_key; }
  explicit StringObj(std::string s) : data(std::move(s)) {}
  std::string data;  // binary-safe
};

class String : public ObjectRef {
 public:
  using ContainerType = StringObj;
  String() : String(std::string()) {}
  String(std::string s) : ObjectRef(make_object<StringObj>(std::move(s))) {}  // NOLINT
  String(const char* s) : String(std::string(s)) {}                           // NOLINT
  explicit String(ObjectPtr<Object> n) : ObjectRef(std::move(n)) {}
  const std::string& str() const { return static_cast<const StringObj*>(data_.get())->data; }
  const char* c_str() const { return str().c_str(); }
  const char* data() const { return str().data(); }
  size_t size() const { return str().size(); }
  bool empty() const { return str().empty(); }
  operator std::string() const { return str(); }  // NOLINT
  bool operator==(const String& o) const { return str() == o.str(); }
  bool operator==(const std::string& o) const { return str() == o; }
  bool operator==(const char* o) const { return str() == o; }
  bool operator!=(const String& o) const { return !(*this == o); }
  bool operator<(const String& o) const { return str() < o.str(); }
};

/* ---- Array ---- */
class ArrayNode : public Object {
 public:
  static constexpr const char* _type_key = "Array";
  const char* GetTypeKey() const override { return _type_key; }
  std::vector<ObjectRef> data;
};

template <typename T>
struct ObjectTypeChecker;

template <typename T>
class Array : public ObjectRef {
 public:
  using ContainerType = ArrayNode;
  using value_type = T;

  Array() : ObjectRef(make_object<ArrayNode>()) {}
  explicit Array(ObjectPtr<Object> n) : ObjectRef(n ? std::move(n) : make_object<ArrayNode>()) {}
  Array(std::initializer_list<T> init) : Array() {
    for (const T& v : init) push_back(v);
  }
  Array(const std::vector<T>& init) : Array() {  // NOLINT
    for (const T& v : init) push_back(v);
  }

  size_t size() const { return node()->data.size(); }
  bool empty() const { return size() == 0; }
  /* Element i; throws tvm::Error when i is out of range. */
  T operator[](size_t i) const {
    if (i >= size()) throw Error("Array index " + std::to_string(i) + " out of range " + std::to_string(size()));
    return T(node()->data[i].object_ptr());
  }
  void push_back(const T& v) { mutable_node()->data.push_back(v); }
  void Set(size_t i, const T& v) {
    if (i >= size()) throw Error("Array index " + std::to_string(i) + " out of range " + std::to_string(size()));
    mutable_node()->data[i] = v;
  }
  void clear() { mutable_node()->data.clear(); }

  class iterator {
   public:
    iterator(const ArrayNode* n, size_t i) : n_(n), i_(i) {}
    T operator*() const { return T(n_->data[i_].object_ptr()); }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator!=(const iterator& o) const { return i_ != o.i_; }
    bool operator==(const iterator& o) const { return i_ == o.i_; }

   private:
    const ArrayNode* n_;
    size_t i_;
  };
  iterator begin() const { return iterator(node(), 0); }
  iterator end() const { return iterator(node(), size()); }

 private:
  const ArrayNode* node() const { return static_cast<const ArrayNode*>(data_.get()); }
  ArrayNode* mutable_node() {
    if (data_.use_count() > 1) {
      auto copy = make_object<ArrayNode>();
      copy->data = node()->data;
      data_ = ObjectPtr<Object>(copy);
    }
    return static_cast<ArrayNode*>(data_.get());
  }
};

/* ---- Map ---- */
/* Keys compare by content when both are strings, by value when both are integers, else by identity.
   Entries keep insertion order. */
class MapNode : public Object {
 public:
  static constexpr const char* _type_key = "Map";
  const char* GetTypeKey() const override { return _type_key; }
  std::vector<std::pair<ObjectRef, ObjectRef>> data;
  static bool KeyEqual(const ObjectRef& a, const ObjectRef& b);
  const ObjectRef* Find(const ObjectRef& key) const {
    for (const auto& kv : data)
      if (KeyEqual(kv.first, key)) return &kv.second;
    return nullptr;
  }
};

/* How a key type is stored: std::string keys are stored as String objects. */
template <typename K>
struct MapKeyTraits {
  static ObjectRef ToRef(const K& k) { return k; }
  static K FromRef(const ObjectRef& r) { return K(r.object_ptr()); }
  static bool Check(const Object* o) { return ObjectTypeChecker<K>::Check(o); }
};
template <>
struct MapKeyTraits<std::string> {
  static ObjectRef ToRef(const std::string& k) { return String(k); }
  static std::string FromRef(const ObjectRef& r) { return String(r.object_ptr()).str(); }
  static bool Check(const Object* o) { return dynamic_cast<const StringObj*>(o) != nullptr; }
};

template <typename K, typename V>
class Map : public ObjectRef {
 public:
  using ContainerType = MapNode;
  using KT = MapKeyTraits<K>;

  Map() : ObjectRef(make_object<MapNode>()) {}
  explicit Map(ObjectPtr<Object> n) : ObjectRef(n ? std::move(n) : make_object<MapNode>()) {}

  size_t size() const { return node()->data.size(); }
  bool empty() const { return size() == 0; }
  size_t count(const K& key) const { return node()->Find(KT::ToRef(key)) ? 1 : 0; }
  /* Value of key; throws tvm::Error when absent. */
  V at(const K& key) const {
    const ObjectRef* v = node()->Find(KT::ToRef(key));
    if (!v) throw Error("Map has no such key");
    return V(v->object_ptr());
  }
  V operator[](const K& key) const { return at(key); }
  void Set(const K& key, const V& value) {
    ObjectRef k = KT::ToRef(key);
    MapNode* n = mutable_node();
    for (auto& kv : n->data) {
      if (MapNode::KeyEqual(kv.first, k)) {
        kv.second = value;
        return;
      }
    }
    n->data.emplace_back(k, value);
  }
  void erase(const K& key) {
    ObjectRef k = KT::ToRef(key);
    MapNode* n = mutable_node();
    for (auto it = n->data.begin(); it != n->data.end(); ++it) {
      if (MapNode::KeyEqual(it->first, k)) {
        n->data.erase(it);
        return;
      }
    }
  }
  /* Entries in insertion order. */
  std::vector<std::pair<K, V>> items() const {
    std::vector<std::pair<K, V>> out;
    for (const auto& kv : node()->data) out.emplace_back(KT::FromRef(kv.first), V(kv.second.object_ptr()));
    return out;
  }

 private:
  const MapNode* node() const { return static_cast<const MapNode*>(data_.get()); }
  MapNode* mutable_node() {
    if (data_.use_count() > 1) {
      auto copy = make_object<MapNode>();
      copy->data = node()->data;
      data_ = ObjectPtr<Object>(copy);
    }
    return static_cast<MapNode*>(data_.get());
  }
};

/* Element-type checks of the containers. */
template <typename T>
struct ObjectTypeChecker<Array<T>> {
  static bool Check(const Object* obj) {
    if (obj == nullptr) return true;
    const auto* n = dynamic_cast<const ArrayNode*>(obj);
    if (!n) return false;
    for (const ObjectRef& e : n->data)
      if (!e.defined() || !ObjectTypeChecker<T>::Check(e.get())) return false;
    return true;
  }
  static std::string TypeName() { return "Array[" + ObjectTypeChecker<T>::TypeName() + "]"; }
};
template <typename K, typename V>
struct ObjectTypeChecker<Map<K, V>> {
  static bool Check(const Object* obj) {
    if (obj == nullptr) return true;
    const auto* n = dynamic_cast<const MapNode*>(obj);
    if (!n) return false;
    for (const auto& kv : n->data)
      if (!MapKeyTraits<K>::Check(kv.first.get()) || !kv.second.defined() ||
          !ObjectTypeChecker<V>::Check(kv.second.get()))
        return false;
    return true;
  }
  static std::string TypeName() { return "Map"; }
};

}  // namespace runtime
using runtime::Array;
using runtime::Map;
using runtime::String;
}  // namespace tvm

#endif  // TVM_RUNTIME_CONTAINER_H_
