#include "infer_types.h"

#include <set>

namespace zenlar {
namespace qoblserve {

namespace {

struct NamedType {
  const char* name;
  DType type;
};

const NamedType kTypes[] = {
    {"BOOL", DType{1, 1, 1}},    {"UINT8", DType{1, 8, 1}},  {"UINT16", DType{1, 16, 1}},
    {"UINT32", DType{1, 32, 1}}, {"UINT64", DType{1, 64, 1}}, {"INT8", DType{0, 8, 1}},
    {"INT16", DType{0, 16, 1}},  {"INT32", DType{0, 32, 1}},  {"INT64", DType{0, 64, 1}},
    {"FP16", DType{2, 16, 1}},   {"FP32", DType{2, 32, 1}},   {"FP64", DType{2, 64, 1}},
    {"BF16", DType{4, 16, 1}},
};

}  // namespace

int httpStatus(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNone:
      return 200;
    case ErrorKind::kInvalidArgument:
      return 400;
    case ErrorKind::kNotFound:
      return 404;
    case ErrorKind::kResourceExhausted:
      return 413;
    case ErrorKind::kUnavailable:
      return 503;
    case ErrorKind::kInternal:
      return 500;
    case ErrorKind::kCancelled:
      return 499;
  }
  return 500;
}

const char* errorKindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNone:
      return "OK";
    case ErrorKind::kInvalidArgument:
      return "INVALID_ARGUMENT";
    case ErrorKind::kNotFound:
      return "NOT_FOUND";
    case ErrorKind::kResourceExhausted:
      return "RESOURCE_EXHAUSTED";
    case ErrorKind::kUnavailable:
      return "UNAVAILABLE";
    case ErrorKind::kInternal:
      return "INTERNAL";
    case ErrorKind::kCancelled:
      return "CANCELLED";
  }
  return "INTERNAL";
}

std::string datatypeName(DType t) {
  for (const auto& n : kTypes) {
    if (n.type == t) return n.name;
  }
  return "";
}

bool datatypeByName(const std::string& name, DType* out) {
  for (const auto& n : kTypes) {
    if (name == n.name) {
      *out = n.type;
      return true;
    }
  }
  return false;
}

int64_t elementCount(const std::vector<int64_t>& shape, int64_t limit) {
  int64_t n = 1;
  for (int64_t d : shape) {
    if (d < 0) return -1;
    if (d != 0 && n > limit / d) return -1;
    n *= d;
  }
  return n <= limit ? n : -1;
}

std::string shapeText(const std::vector<int64_t>& shape) {
  std::string t = "[";
  for (size_t i = 0; i < shape.size(); ++i) t += (i ? "," : "") + std::to_string(shape[i]);
  return t + "]";
}

Error checkRequest(const InferRequest& r, const std::vector<TensorSpec>& inputs,
                   const std::vector<TensorSpec>& outputs, uint32_t maxBatch, uint32_t* batch) {
  const auto bad = [](std::string m) { return makeError(ErrorKind::kInvalidArgument, std::move(m)); };
  std::set<std::string> seen;
  int64_t n = -1;
  for (const auto& in : r.inputs) {
    const TensorSpec* declared = nullptr;
    for (const auto& s : inputs) {
      if (s.name == in.name) declared = &s;
    }
    if (declared == nullptr) {
      std::string names;
      for (const auto& s : inputs) names += (names.empty() ? "" : ", ") + s.name;
      return bad("unknown input \"" + in.name + "\": model " + r.model + " takes " + names);
    }
    if (!seen.insert(in.name).second) return bad("input \"" + in.name + "\" is given twice");
    if (in.datatype != declared->datatype)
      return bad("input \"" + in.name + "\" has datatype " + in.datatype + ", the model takes " + declared->datatype);
    if (in.shape.size() != declared->shape.size())
      return bad("input \"" + in.name + "\" has shape " + shapeText(in.shape) + ", the model takes " +
                 shapeText(declared->shape) + " (-1: any extent)");
    for (size_t d = 0; d < in.shape.size(); ++d) {
      if (in.shape[d] < 0 || (declared->shape[d] >= 0 && in.shape[d] != declared->shape[d]) ||
          (d == 0 && in.shape[d] == 0))
        return bad("input \"" + in.name + "\" has shape " + shapeText(in.shape) + ", the model takes " +
                   shapeText(declared->shape) + " (-1: any extent, the batch at least 1)");
    }
    if (n >= 0 && in.shape[0] != n)
      return bad("the inputs disagree on the batch size: " + std::to_string(n) + " and " +
                 std::to_string(in.shape[0]) + " (input \"" + in.name + "\")");
    n = in.shape[0];
    if (n > static_cast<int64_t>(maxBatch))
      return bad("input \"" + in.name + "\" holds " + std::to_string(n) + " items, the server takes at most " +
                 std::to_string(maxBatch) + " per request for model " + r.model);
    const int64_t count = elementCount(in.shape, INT64_MAX / 8);
    if (count < 0) return bad("input \"" + in.name + "\" of shape " + shapeText(in.shape) + " is too large");
    const uint64_t want = static_cast<uint64_t>(count) * elementBytes(declared->dtype);
    if (in.bytes != want)
      return bad("input \"" + in.name + "\" of shape " + shapeText(in.shape) + " " + in.datatype + " takes " +
                 std::to_string(want) + " bytes, " + std::to_string(in.bytes) + " given");
  }
  for (const auto& s : inputs) {
    if (seen.count(s.name) == 0) return bad("input \"" + s.name + "\" is missing");
  }
  std::set<std::string> requested;
  for (const auto& o : r.outputs) {
    bool known = false;
    for (const auto& s : outputs) known = known || s.name == o.name;
    if (!known) {
      std::string names;
      for (const auto& s : outputs) names += (names.empty() ? "" : ", ") + s.name;
      return bad("unknown output \"" + o.name + "\": model " + r.model + " returns " + names);
    }
    if (!requested.insert(o.name).second) return bad("output \"" + o.name + "\" is asked for twice");
  }
  *batch = static_cast<uint32_t>(n);
  return Error();
}

}  // namespace qoblserve
}  // namespace zenlar
