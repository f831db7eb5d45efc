// Value conversions of packed calls, container key comparison and data-type texts.
#include <tvm/ir/expr.h>
#include <tvm/runtime/container.h>
#include <tvm/runtime/data_type.h>
#include <tvm/runtime/packed_func.h>

#include <cctype>
#include <cstdlib>

namespace tvm {
namespace runtime {

const char* ArgTypeCode2Str(int code) {
  switch (code) {
    case kTVMArgInt: return "int";
    case kDLUInt: return "uint";
    case kTVMArgFloat: return "float";
    case kTVMOpaqueHandle: return "handle";
    case kTVMNullptr: return "NULL";
    case kTVMDataType: return "DLDataType";
    case kDLDevice: return "DLDevice";
    case kTVMDLTensorHandle: return "ArrayHandle";
    case kTVMObjectHandle: return "Object";
    case kTVMModuleHandle: return "ModuleHandle";
    case kTVMPackedFuncHandle: return "FunctionHandle";
    case kTVMStr: return "str";
    case kTVMBytes: return "bytes";
    case kTVMNDArrayHandle: return "NDArrayContainer";
    default: return "unknown type code";
  }
}

bool MapNode::KeyEqual(const ObjectRef& a, const ObjectRef& b) {
  if (a.same_as(b)) return true;
  const auto* sa = a.as<StringObj>();
  const auto* sb = b.as<StringObj>();
  if (sa && sb) return sa->data == sb->data;
  const auto* ia = a.as<IntImmNode>();
  const auto* ib = b.as<IntImmNode>();
  if (ia && ib) return ia->value == ib->value;
  return false;
}

bool TVMPODValue_::StringContent(std::string* out) const {
  if (type_code_ == kTVMStr) {
    *out = value_.v_str ? value_.v_str : "";
    return true;
  }
  if (type_code_ == kTVMBytes) {
    const auto* b = static_cast<const TVMByteArray*>(value_.v_handle);
    out->assign(b->data, b->size);
    return true;
  }
  if (type_code_ == kTVMObjectHandle) {
    const auto* obj = static_cast<const Object*>(value_.v_handle);
    if (const auto* s = dynamic_cast<const StringObj*>(obj)) {
      *out = s->data;
      return true;
    }
    if (const auto* s = dynamic_cast<const ir::StringImmNode*>(obj)) {
      *out = s->value;
      return true;
    }
  }
  return false;
}

bool TVMRetValue::StringContent(std::string* out) const {
  if (type_code_ == kTVMStr || type_code_ == kTVMBytes) {
    *out = str_;
    return true;
  }
  return TVMPODValue_::StringContent(out);
}

static std::string StringOrThrow(const TVMPODValue_& v, bool ok, std::string s) {
  if (!ok) throw Error(std::string("expected str but got ") + ArgTypeCode2Str(v.type_code()));
  return s;
}

TVMArgValue::operator std::string() const {
  std::string s;
  bool ok = StringContent(&s);
  return StringOrThrow(*this, ok, std::move(s));
}

TVMRetValue::operator std::string() const {
  std::string s;
  bool ok = StringContent(&s);
  return StringOrThrow(*this, ok, std::move(s));
}

TVMArgValue::operator DLDataType() const {
  if (type_code_ == kTVMDataType) return value_.v_type;
  return String2DLDataType(static_cast<std::string>(*this));
}

TVMRetValue::operator DLDataType() const {
  if (type_code_ == kTVMDataType) return value_.v_type;
  return String2DLDataType(static_cast<std::string>(*this));
}

TVMRetValue& TVMRetValue::operator=(const TVMArgValue& a) {
  switch (a.type_code()) {
    case kTVMStr:
    case kTVMBytes:
      return *this = static_cast<std::string>(a);
    case kTVMObjectHandle:
    case kTVMModuleHandle:
    case kTVMPackedFuncHandle:
      SetObject(ObjectRef(ObjectPtr<Object>(static_cast<Object*>(a.value().v_handle))), a.type_code());
      return *this;
    default:
      Clear();
      value_ = a.value();
      type_code_ = a.type_code();
      return *this;
  }
}

void TVMArgsSetter::operator()(size_t i, const TVMRetValue& r) const {
  if (r.type_code() == kTVMStr || r.type_code() == kTVMBytes) {
    values_[i].v_str = r.str_.c_str();
    type_codes_[i] = kTVMStr;
    return;
  }
  values_[i] = r.value();
  type_codes_[i] = r.type_code();
}

// ---- data-type texts ----
DLDataType String2DLDataType(const std::string& text) {
  DLDataType t;
  if (text.empty() || text == "void") {
    t.code = kDLOpaqueHandle;
    t.bits = 0;
    t.lanes = 0;
    return t;
  }
  t.bits = 32;
  t.lanes = 1;
  const char* scan;
  if (text == "bool") {
    t.code = kDLUInt;
    t.bits = 1;
    return t;
  }
  if (text.compare(0, 3, "int") == 0) {
    t.code = kDLInt;
    scan = text.c_str() + 3;
  } else if (text.compare(0, 4, "uint") == 0) {
    t.code = kDLUInt;
    scan = text.c_str() + 4;
  } else if (text.compare(0, 5, "float") == 0) {
    t.code = kDLFloat;
    scan = text.c_str() + 5;
  } else if (text.compare(0, 6, "handle") == 0) {
    t.code = kDLOpaqueHandle;
    t.bits = 64;
    scan = text.c_str() + 6;
  } else if (text.compare(0, 6, "bfloat") == 0) {
    t.code = kDLBfloat;
    scan = text.c_str() + 6;
  } else {
    throw Error("unknown data type \"" + text + "\"");
  }
  char* end = const_cast<char*>(scan);
  if (std::isdigit(static_cast<unsigned char>(*scan))) {
    unsigned long bits = std::strtoul(scan, &end, 10);
    if (bits > 255) throw Error("data type \"" + text + "\" has too many bits");
    if (bits != 0) t.bits = static_cast<uint8_t>(bits);
  }
  if (*end == 'x') {
    const char* l = end + 1;
    if (!std::isdigit(static_cast<unsigned char>(*l))) throw Error("data type \"" + text + "\" has no lane count");
    unsigned long lanes = std::strtoul(l, &end, 10);
    if (lanes == 0 || lanes > 65535) throw Error("data type \"" + text + "\" has a bad lane count");
    t.lanes = static_cast<uint16_t>(lanes);
  }
  if (*end != '\0') throw Error("unknown data type \"" + text + "\"");
  return t;
}

std::string DLDataType2String(DLDataType t) {
  if (t.bits == 1 && t.lanes == 1 && t.code == kDLUInt) return "bool";
  if (t.code == kDLOpaqueHandle) return t.bits == 0 && t.lanes == 0 ? "" : "handle";
  std::string s;
  switch (t.code) {
    case kDLInt: s = "int"; break;
    case kDLUInt: s = "uint"; break;
    case kDLFloat: s = "float"; break;
    case kDLBfloat: s = "bfloat"; break;
    default: s = "unknown"; break;
  }
  s += std::to_string(t.bits);
  if (t.lanes != 1) s += "x" + std::to_string(t.lanes);
  return s;
}

}  // namespace runtime
}  // namespace tvm
