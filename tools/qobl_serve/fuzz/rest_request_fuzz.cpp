// libFuzzer target over the HTTP/REST inference request parser: JSON bodies and binary tensor data
// extension bodies (a JSON header of a given length followed by raw tensor bytes), against a model with
// inputs of several datatypes and a variable extent.  Whatever the bytes, the parser must return an error
// or a request whose every input holds exactly its shape's bytes, inside the body or its own storage; an
// accepted request's outputs must then be writable as a response.
//
// Input layout: byte 0 selects the mode (even: the whole input is the JSON body; odd: bytes 1-2 give the
// JSON header's length, little-endian, and the rest is the body).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rest_codec.h"

namespace {

using namespace zenlar::qoblserve;

TensorSpec tensor(const char* name, const char* type, std::vector<int64_t> shape) {
  TensorSpec s;
  s.name = name;
  s.datatype = type;
  datatypeByName(type, &s.dtype);
  s.shape = std::move(shape);
  return s;
}

const ModelSignature& model() {
  static const ModelSignature* m = [] {
    auto* s = new ModelSignature;
    s->name = "fuzzed";
    s->inputs = {tensor("data", "FP32", {-1, 3, -1, -1}), tensor("ids", "INT64", {-1, 4}), tensor("mask", "BOOL", {-1, 2}),
                 tensor("half", "FP16", {-1, 2}), tensor("small", "UINT8", {-1, 3})};
    s->outputs = {tensor("scores", "FP32", {-1, 10}), tensor("labels", "INT16", {-1, 2})};
    return s;
  }();
  return *m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int64_t headerLength = -1;
  size_t offset = 1;
  if ((data[0] & 1) != 0) {
    if (size < 3) return 0;
    headerLength = data[1] | (data[2] << 8);
    offset = 3;
  }
  const std::string body(reinterpret_cast<const char*>(data) + offset, size - offset);
  if (headerLength > static_cast<int64_t>(body.size())) headerLength = static_cast<int64_t>(body.size());
  RestLimits limits;
  limits.maxValues = 1 << 16;
  limits.maxBatch = 64;
  InferRequest r;
  uint32_t batch = 0;
  const Error e = parseRestRequest(body, headerLength, model(), limits, &r, &batch);
  if (e) {
    if (e.kind != ErrorKind::kInvalidArgument || e.message.empty()) std::abort();
    return 0;
  }
  if (batch == 0 || batch > limits.maxBatch || r.inputs.size() != model().inputs.size()) std::abort();
  const char* lo = body.data();
  for (const auto& in : r.inputs) {
    const int64_t count = elementCount(in.shape, INT64_MAX / 8);
    if (count < 0 || in.bytes != static_cast<uint64_t>(count) * elementBytes(in.dtype)) std::abort();
    const char* p = reinterpret_cast<const char*>(in.data);
    const bool inBody = p >= lo && p + in.bytes <= lo + body.size();
    const bool owned = in.data == in.owned.data() && in.owned.size() == in.bytes;
    if (in.bytes != 0 && !inBody && !owned) std::abort();
  }
  // Echo the inputs back as outputs of the same types, through the response writer.
  InferResult res;
  res.model = model().name;
  res.id = r.id;
  for (const auto& in : r.inputs) {
    OutputTensor o;
    o.name = in.name;
    o.datatype = in.datatype;
    o.dtype = in.dtype;
    o.shape = in.shape;
    o.data.assign(in.data, in.data + in.bytes);
    o.binary = r.binaryOutputs;
    res.outputs.push_back(std::move(o));
  }
  std::string out;
  uint64_t jsonLength = 0;
  writeRestResponse(res, &out, &jsonLength);
  if (jsonLength > out.size()) std::abort();
  return 0;
}
