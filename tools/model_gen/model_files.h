// model_files.h - writers for the model file formats: graph-executor JSON, saved-parameter blob and raw
// little-endian sample files, plus the small tensor type and PRNG the demo models are generated with.
#ifndef QOBL_TOOLS_MODEL_GEN_MODEL_FILES_H
#define QOBL_TOOLS_MODEL_GEN_MODEL_FILES_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zenlar::qobl::modelgen {

// A float32 tensor, row-major, with int64 extents.
struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> data;

  Tensor() = default;
  explicit Tensor(std::vector<int64_t> s);
  static int64_t elementCount(const std::vector<int64_t>& shape);
};

// xorshift32: small, fixed and portable, so the generated weights are the same on every machine.
class Prng {
 public:
  explicit Prng(uint32_t seed) : state_(seed != 0 ? seed : 0x9E3779B9u) {}
  uint32_t next();
  // A multiple of 1/128 in [-1, 1).
  float weight();
  // Fills `t` with weight() values.
  void fill(Tensor& t);

 private:
  uint32_t state_;
};

// Builds a graph-executor JSON document in which every node has exactly one output (so an entry id is
// the node id).  Entries are float32 unless given another TVM data-type text; every entry gets its own
// storage id.
class GraphBuilder {
 public:
  // A placeholder: a real input or a parameter (parameters are the names present in params.bin).
  int addPlaceholder(const std::string& name, const std::vector<int64_t>& shape, const std::string& dtype = "float32");
  // A "tvm_op" node calling `func` on the given node outputs; returns the node id.
  int addOp(const std::string& name, const std::string& func, const std::vector<int>& inputs,
            const std::vector<int64_t>& outShape, const std::string& dtype = "float32");
  void setHeads(const std::vector<int>& nodes) { heads_ = nodes; }
  std::string toJson() const;

 private:
  struct Node {
    std::string op;  // "null" or "tvm_op"
    std::string name;
    std::string func;
    std::vector<int> inputs;
    std::vector<int64_t> shape;
    std::string dtype;
  };
  std::vector<Node> nodes_;
  std::vector<int> heads_;
};

// Serialises named float32 arrays as a saved-parameter blob (CPU device, in the given order).
std::vector<uint8_t> makeParamBlob(const std::vector<std::pair<std::string, const Tensor*>>& params);

// One array of any scalar element type (lanes 1) for a saved-parameter blob: its raw little-endian bytes,
// exactly ((bits + 7) / 8) x elements of them.
struct RawParam {
  std::string name;
  uint8_t code = 2, bits = 32;   // DLPack type code and bits
  uint16_t lanes = 1;
  std::vector<int64_t> shape;
  std::vector<uint8_t> bytes;
};
std::vector<uint8_t> makeParamBlob(const std::vector<RawParam>& params);

// Appends the raw little-endian bytes of the tensors, one after the other.
std::vector<uint8_t> rawBytes(const std::vector<const Tensor*>& tensors);

// Writes `bytes` to `path`, creating the parent directories; throws std::runtime_error on failure.
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeFile(const std::string& path, const std::string& text);

}  // namespace zenlar::qobl::modelgen

#endif  // QOBL_TOOLS_MODEL_GEN_MODEL_FILES_H
