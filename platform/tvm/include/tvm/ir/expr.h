/*
 * tvm/ir/expr.h - the constant expressions the runtime passes around: Integer (an IntImm) and
 * ir::StringImm (a binary-safe string constant).
 */
#ifndef TVM_IR_EXPR_H_
#define TVM_IR_EXPR_H_

#include <dlpack/dlpack.h>
#include <tvm/runtime/container.h>
#include <tvm/runtime/object.h>

#include <cstdint>
#include <string>
#include <utility>

namespace tvm {

class IntImmNode : public runtime::Object {
 public:
  static constexpr const char* _type_key = "IntImm";
  const char* GetTypeKey() const override { return _type_key; }
  IntImmNode(DLDataType t, int64_t v) : dtype(t), value(v) {}
  DLDataType dtype;
  int64_t value;
};

/* A 64-bit integer constant (dtype int64; int32 when made from an int). */
class Integer : public runtime::ObjectRef {
 public:
  using ContainerType = IntImmNode;
  Integer() = default;
  explicit Integer(runtime::ObjectPtr<runtime::Object> n) : ObjectRef(std::move(n)) {}
  Integer(int value)  // NOLINT(runtime/explicit)
      : ObjectRef(runtime::make_object<IntImmNode>(DLDataType{kDLInt, 32, 1}, value)) {}
  Integer(int64_t value)  // NOLINT(runtime/explicit)
      : ObjectRef(runtime::make_object<IntImmNode>(DLDataType{kDLInt, 64, 1}, value)) {}
  const IntImmNode* operator->() const { return static_cast<const IntImmNode*>(data_.get()); }
  /* The value; throws tvm::Error on an undefined Integer. */
  int64_t IntValue() const {
    if (!defined()) throw Error("Integer is undefined");
    return operator->()->value;
  }
  operator int64_t() const { return IntValue(); }  // NOLINT(runtime/explicit)
};
using IntImm = Integer;

namespace ir {

class StringImmNode : public runtime::Object {
 public:
  static constexpr const char* _type_key = "StringImm";
  const char* GetTypeKey() const override { return _type_key; }
  explicit StringImmNode(std::string v) : value(std::move(v)) {}
  std::string value;  // binary-safe: may hold NUL bytes
};

/* A string constant; holds any bytes (use the std::string constructor with an explicit length for
   binary data). */
class StringImm : public runtime::ObjectRef {
 public:
  using ContainerType = StringImmNode;
  StringImm() = default;
  explicit StringImm(runtime::ObjectPtr<runtime::Object> n) : ObjectRef(std::move(n)) {}
  explicit StringImm(std::string value) : ObjectRef(runtime::make_object<StringImmNode>(std::move(value))) {}
  static StringImm make(std::string value) { return StringImm(std::move(value)); }
  const StringImmNode* operator->() const { return static_cast<const StringImmNode*>(data_.get()); }
};

}  // namespace ir
namespace tir {
using ir::StringImm;
using ir::StringImmNode;
}  // namespace tir
}  // namespace tvm

#endif  // TVM_IR_EXPR_H_
