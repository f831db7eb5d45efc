// HTTP/REST bodies of the inference protocol: the inference request (JSON, or a JSON header followed by
// raw tensor bytes - the binary tensor data extension) parsed into an InferRequest, and the response, the
// metadata documents and error bodies written as JSON.
//
// The request parser takes untrusted bytes: it never recurses on the input, bounds the JSON nesting depth
// and value count, checks every input's name, datatype and shape against the model before it looks at the
// data, and checks that the data holds exactly the shape's element count before it allocates anything for
// it.  It allocates at most the request's tensor bytes beyond the parsed JSON.
#ifndef QOBL_SERVE_REST_CODEC_H
#define QOBL_SERVE_REST_CODEC_H

#include <cstdint>
#include <string>
#include <vector>

#include "infer_types.h"

namespace zenlar {
namespace qoblserve {

struct RestLimits {
  uint32_t maxDepth = 16;            // nesting of JSON arrays and objects (a rank-6 tensor nests 9 deep)
  uint64_t maxValues = 1u << 22;     // JSON values of one request (numbers, strings, keys, containers)
  uint32_t maxBatch = 1u << 16;      // items of one request
};

// What the parser needs to know about the model the URL named.
struct ModelSignature {
  std::string name;
  std::vector<TensorSpec> inputs, outputs;
};

// Parses a request body.  `headerLength` is the Inference-Header-Content-Length header's value, -1 when
// the header is absent (the whole body is JSON).  Input tensors sent as binary data point into `body`,
// which must outlive `out`; JSON data is decoded into each tensor's own bytes.  On success *batch holds
// the request's item count.
Error parseRestRequest(const std::string& body, int64_t headerLength, const ModelSignature& model,
                       const RestLimits& limits, InferRequest* out, uint32_t* batch);

// Parses the text of an Inference-Header-Content-Length header: a decimal number no larger than
// `bodySize`.  -1 when it is anything else.
int64_t parseHeaderLength(const std::string& text, uint64_t bodySize);

// Writes the response body.  Outputs marked binary (and FP16/BF16 outputs, which have no JSON form) follow
// the JSON header as raw bytes; *headerLength is then the JSON header's length, else 0.
void writeRestResponse(const InferResult& r, std::string* body, uint64_t* headerLength);

// {"error": "<message>"}
std::string errorJson(const std::string& message);

std::string serverMetadataJson(const std::string& name, const std::string& version,
                               const std::vector<std::string>& extensions);
std::string modelMetadataJson(const ModelSignature& m, const std::vector<std::string>& versions,
                              const std::string& platform);

}  // namespace qoblserve
}  // namespace zenlar

#endif  // QOBL_SERVE_REST_CODEC_H
