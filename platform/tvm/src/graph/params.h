// Reading TVM's saved-parameter blob.
#ifndef TVM_SRC_GRAPH_PARAMS_H_
#define TVM_SRC_GRAPH_PARAMS_H_

#include <dlpack/dlpack.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tvm {
namespace runtime {
namespace graph {

struct ParamArray {
  std::string name;
  DLDataType dtype;
  std::vector<int64_t> shape;
  std::string data;  // exactly the saved bytes
};

constexpr uint64_t kParamListMagic = 0xF7E58D4F05049CB7ULL;
constexpr uint64_t kParamArrayMagic = 0xDD5E40F096B4A13FULL;

/* Parses a blob; false with a text in *err when anything does not add up (magic, counts, lengths, sizes,
   device, duplicate names, trailing bytes). */
bool ParseParams(const std::string& blob, std::vector<ParamArray>* out, std::string* err);

/* Writes a blob in the same format (used to make test and demo files). */
std::string SaveParams(const std::vector<ParamArray>& params);

}  // namespace graph
}  // namespace runtime
}  // namespace tvm

#endif  // TVM_SRC_GRAPH_PARAMS_H_
