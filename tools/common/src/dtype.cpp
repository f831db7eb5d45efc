#include "qobl_tools/dtype.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace zenlar {
namespace qobltools {

std::string dtypeText(DType t) {
  if (t.code == 1 && t.bits == 1 && t.lanes == 1) return "bool";
  static const char* const kPrefix[] = {"int", "uint", "float", "handle", "bfloat"};
  std::string s = t.code < 5 ? kPrefix[t.code] : "custom" + std::to_string(t.code) + "_";
  s += std::to_string(t.bits);
  if (t.lanes != 1) s += "x" + std::to_string(t.lanes);
  return s;
}

bool parseDType(const std::string& text, DType* out) {
  if (text == "bool") {
    *out = DType{1, 1, 1};
    return true;
  }
  DType t;
  size_t pos = 0;
  for (const auto& p : {std::make_pair("uint", 1), std::make_pair("int", 0), std::make_pair("float", 2),
                        std::make_pair("bfloat", 4)}) {
    if (text.compare(0, std::strlen(p.first), p.first) == 0) {
      t.code = static_cast<uint8_t>(p.second);
      pos = std::strlen(p.first);
      break;
    }
  }
  if (pos == 0) return false;
  // Decimal bits, then optionally "x" and decimal lanes, and nothing else.
  const char* p = text.c_str() + pos;
  auto number = [&p](unsigned long* v) {
    if (*p < '0' || *p > '9') return false;
    char* end = nullptr;
    *v = std::strtoul(p, &end, 10);
    p = end;
    return true;
  };
  unsigned long bits = 0, lanes = 1;
  if (!number(&bits)) return false;
  if (*p == 'x' && !(++p, number(&lanes))) return false;
  if (*p != '\0' || bits == 0 || bits > 255 || lanes == 0 || lanes > 65535) return false;
  t.bits = static_cast<uint8_t>(bits);
  t.lanes = static_cast<uint16_t>(lanes);
  *out = t;
  return true;
}

uint64_t dtypeBytes(DType t) { return (uint64_t{t.bits} * t.lanes + 7) / 8; }

}  // namespace qobltools
}  // namespace zenlar
