// Element types as TVM writes them ("float32", "uint8", "int8x4", "bool").  No dependency on the library:
// the model file generator uses it too.
#ifndef QOBL_TOOLS_DTYPE_H
#define QOBL_TOOLS_DTYPE_H

#include <cstdint>
#include <string>

namespace zenlar {
namespace qobltools {

// An element type as TVM writes it ("float32", "uint8", "float16x4"...): DLPack code (0 int, 1 uint,
// 2 float, 4 bfloat), bits and lanes.
struct DType {
  uint8_t code = 2;
  uint8_t bits = 32;
  uint16_t lanes = 1;
  bool operator==(const DType& o) const { return code == o.code && bits == o.bits && lanes == o.lanes; }
  bool operator!=(const DType& o) const { return !(*this == o); }
};
// "float32"; "bool" for 1-bit unsigned.
std::string dtypeText(DType t);
// Parses a TVM data-type text; false (and *out untouched) when it is not one.
bool parseDType(const std::string& text, DType* out);
// Bytes of one element: (bits * lanes + 7) / 8.
uint64_t dtypeBytes(DType t);

}  // namespace qobltools
}  // namespace zenlar

#endif  // QOBL_TOOLS_DTYPE_H
