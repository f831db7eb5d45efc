/* tvm/runtime/data_type.h - data-type texts ("float32", "int8x4", "bool", ...) and DLDataType. */
#ifndef TVM_RUNTIME_DATA_TYPE_H_
#define TVM_RUNTIME_DATA_TYPE_H_

#include <dlpack/dlpack.h>

#include <string>

namespace tvm {
namespace runtime {

/* Parses a data-type text: "" or "void" -> handle/0/0; otherwise bits 32 and lanes 1 by default, prefix
   int, uint, float, handle (bits 64), bfloat, or exactly "bool" (uint/1/1); then decimal bits (0 keeps the
   default) and an optional "x" and lanes.  Throws tvm::Error on an unknown prefix or trailing text. */
DLDataType String2DLDataType(const std::string& text);
/* The text of a data type ("float32", "int8x4", "bool", "handle"). */
std::string DLDataType2String(DLDataType t);
/* Bytes of one element: ceil(bits * lanes / 8). */
inline size_t DataTypeBytes(DLDataType t) { return (static_cast<size_t>(t.bits) * t.lanes + 7) / 8; }

}  // namespace runtime
}  // namespace tvm

#endif  // TVM_RUNTIME_DATA_TYPE_H_
