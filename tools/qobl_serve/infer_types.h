// The server's protocol-neutral view of inference: tensor datatypes by their protocol names, what a model
// takes and returns, one inference request with its tensors, its result, and the error classes both
// front ends (HTTP/REST and gRPC) map to their own status codes.
#ifndef QOBL_SERVE_INFER_TYPES_H
#define QOBL_SERVE_INFER_TYPES_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qobl_tools/model_dir.h"

namespace zenlar {
namespace qoblserve {

using qobltools::DType;

// Error classes.  HTTP status and gRPC status code of each: see httpStatus() / the gRPC front end.
enum class ErrorKind {
  kNone = 0,
  kInvalidArgument,     // 400 / INVALID_ARGUMENT: malformed body, wrong names, shapes, datatypes, sizes
  kNotFound,            // 404 / NOT_FOUND: no such model or version
  kResourceExhausted,   // 413 / RESOURCE_EXHAUSTED: the request is larger than the server takes
  kUnavailable,         // 503 / UNAVAILABLE: the model's queue is full, or the server is stopping
  kInternal,            // 500 / INTERNAL: the card failed a run, or no result came back in time
  kCancelled            // 499 / CANCELLED: the client gave the request up (it is not there to be answered)
};

struct Error {
  ErrorKind kind = ErrorKind::kNone;
  std::string message;
  explicit operator bool() const { return kind != ErrorKind::kNone; }
};

inline Error makeError(ErrorKind kind, std::string message) { return Error{kind, std::move(message)}; }
int httpStatus(ErrorKind kind);
const char* errorKindName(ErrorKind kind);   // "INVALID_ARGUMENT", ...

// Bytes of one element.  Defined here (as qobltools::dtypeBytes computes it) so that the codecs need no
// library: the fuzz target builds them alone.
inline uint64_t elementBytes(DType t) { return (uint64_t{t.bits} * t.lanes + 7) / 8; }

// Protocol datatype names ("FP32", "UINT8", ...).  Empty when the element type has no protocol name
// (vector lanes, odd widths); such a model cannot be served.
std::string datatypeName(DType t);
// False when `name` is no datatype the server can carry (BYTES is not: no model takes strings).
bool datatypeByName(const std::string& name, DType* out);

// One input or output of a model as clients see it.
struct TensorSpec {
  std::string name;
  std::string datatype;          // protocol name
  DType dtype;
  std::vector<int64_t> shape;    // protocol shape: -1 for the batch dimension and for variable extents
};

// The number of elements of a shape whose extents are all >= 0, or -1 when the product exceeds `limit`.
int64_t elementCount(const std::vector<int64_t>& shape, int64_t limit);
std::string shapeText(const std::vector<int64_t>& shape);   // "[2,3,16,16]"

// One input tensor of a request.  `data` points at `bytes` bytes of row-major little-endian elements:
// into `owned`, or into storage the request's owner keeps alive (the HTTP body).
struct InputTensor {
  std::string name;
  std::string datatype;
  DType dtype;
  std::vector<int64_t> shape;
  const uint8_t* data = nullptr;
  uint64_t bytes = 0;
  std::vector<uint8_t> owned;
};

struct RequestedOutput {
  std::string name;
  bool binary = false;   // REST: return this output as raw bytes after the JSON header
};

struct InferRequest {
  std::string model, version, id;
  std::vector<InputTensor> inputs;
  std::vector<RequestedOutput> outputs;   // empty: every output, in model order
  bool binaryOutputs = false;             // REST "binary_data_output": outputs not named return as bytes
};

struct OutputTensor {
  std::string name;
  std::string datatype;
  DType dtype;
  std::vector<int64_t> shape;
  std::vector<uint8_t> data;
  bool binary = false;
};

struct InferResult {
  std::string model, version, id;
  std::vector<OutputTensor> outputs;
};

// Checks a request's inputs against a model's inputs: every input present once and known, each with the
// model's datatype and a shape of the model's rank whose fixed extents match, the same batch size N >= 1 on
// every input, and byte counts equal to the element count times the element size.  The requested outputs
// must name outputs of the model, each once.  On success *batch is N.
Error checkRequest(const InferRequest& r, const std::vector<TensorSpec>& inputs,
                   const std::vector<TensorSpec>& outputs, uint32_t maxBatch, uint32_t* batch);

}  // namespace qoblserve
}  // namespace zenlar

#endif  // QOBL_SERVE_INFER_TYPES_H
