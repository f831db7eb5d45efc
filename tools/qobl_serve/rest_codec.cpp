#include "rest_codec.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace zenlar {
namespace qoblserve {

namespace {

using rapidjson::Document;
using rapidjson::SizeType;
using rapidjson::Value;
using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                     rapidjson::CrtAllocator, rapidjson::kWriteNanAndInfFlag>;

Error bad(std::string m) { return makeError(ErrorKind::kInvalidArgument, std::move(m)); }

// Forwards the reader's events to the document while counting nesting depth and values; stops the parse
// (returns false) when either limit is passed.
class LimitedBuilder {
 public:
  LimitedBuilder(Document& doc, const RestLimits& limits) : doc_(doc), limits_(limits) {}

  bool Null() { return value() && doc_.Null(); }
  bool Bool(bool b) { return value() && doc_.Bool(b); }
  bool Int(int i) { return value() && doc_.Int(i); }
  bool Uint(unsigned u) { return value() && doc_.Uint(u); }
  bool Int64(int64_t i) { return value() && doc_.Int64(i); }
  bool Uint64(uint64_t u) { return value() && doc_.Uint64(u); }
  bool Double(double d) { return value() && doc_.Double(d); }
  // Numbers arrive as text (kParseNumbersAsStringsFlag) and are converted here with the C library, which
  // rounds decimal text to the nearest double exactly; RapidJSON 1.1's own full-precision conversion
  // misbehaves on some huge exponents.
  bool RawNumber(const char* s, SizeType n, bool /*copy*/) {
    if (!value()) return false;
    const std::string text(s, n);
    const bool integral = text.find_first_of(".eEIN") == std::string::npos;
    errno = 0;
    char* end = nullptr;
    if (integral && text[0] == '-') {
      const long long v = std::strtoll(text.c_str(), &end, 10);
      if (errno == 0 && *end == '\0') return doc_.Int64(v);
    } else if (integral) {
      const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
      if (errno == 0 && *end == '\0') return doc_.Uint64(v);
    }
    errno = 0;
    const double d = std::strtod(text.c_str(), &end);
    return *end == '\0' && doc_.Double(d);   // out of range: +-inf or 0, as the text's magnitude says
  }
  bool String(const char* s, SizeType n, bool copy) { return value() && doc_.String(s, n, copy); }
  bool Key(const char* s, SizeType n, bool copy) { return value() && doc_.Key(s, n, copy); }
  bool StartObject() { return open() && doc_.StartObject(); }
  bool EndObject(SizeType n) { return close() && doc_.EndObject(n); }
  bool StartArray() { return open() && doc_.StartArray(); }
  bool EndArray(SizeType n) { return close() && doc_.EndArray(n); }

  bool tooDeep() const { return tooDeep_; }
  bool tooMany() const { return tooMany_; }

 private:
  bool value() {
    if (++values_ > limits_.maxValues) tooMany_ = true;
    return !tooMany_;
  }
  bool open() {
    if (++depth_ > limits_.maxDepth) tooDeep_ = true;
    return !tooDeep_ && value();
  }
  bool close() {
    --depth_;
    return true;
  }

  Document& doc_;
  const RestLimits& limits_;
  uint32_t depth_ = 0;
  uint64_t values_ = 0;
  bool tooDeep_ = false, tooMany_ = false;
};

constexpr unsigned kParseFlags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseNanAndInfFlag;

// Parses `size` bytes of JSON into *doc within the limits.
Error parseJson(const char* text, size_t size, const RestLimits& limits, Document* doc) {
  LimitedBuilder builder(*doc, limits);
  rapidjson::ParseResult result;
  auto generate = [&](Document& /*target*/) {
    rapidjson::MemoryStream ms(text, size);
    rapidjson::Reader reader;
    result = reader.Parse<kParseFlags>(ms, builder);
    return !result.IsError();
  };
  doc->Populate(generate);
  if (builder.tooDeep())
    return bad("the JSON nests deeper than " + std::to_string(limits.maxDepth) + " levels");
  if (builder.tooMany())
    return bad("the JSON holds more than " + std::to_string(limits.maxValues) +
               " values (send large tensors as binary data)");
  if (result.IsError())
    return bad(std::string("malformed JSON at offset ") + std::to_string(result.Offset()) + ": " +
               rapidjson::GetParseError_En(result.Code()));
  return Error();
}

const Value* member(const Value& obj, const char* key) {
  const auto it = obj.FindMember(key);
  return it == obj.MemberEnd() ? nullptr : &it->value;
}

// The request's "parameters" (or an input's / output's): absent is fine, anything but an object is not.
Error parameters(const Value& obj, const std::string& where, const Value** out) {
  *out = member(obj, "parameters");
  if (*out != nullptr && !(*out)->IsObject()) return bad(where + "\"parameters\" is not an object");
  return Error();
}

bool boolParam(const Value* params, const char* key, bool* out, std::string* why) {
  if (params == nullptr) return true;
  const Value* v = member(*params, key);
  if (v == nullptr) return true;
  if (!v->IsBool()) {
    *why = std::string("parameter \"") + key + "\" is not true or false";
    return false;
  }
  *out = v->GetBool();
  return true;
}

// Counts the scalar elements of `data` (a scalar, or arrays nested to any depth the parser allowed).
// -1 when something other than a number or boolean sits among them.
int64_t countElements(const Value& v) {
  if (!v.IsArray()) return v.IsNumber() || v.IsBool() ? 1 : -1;
  int64_t n = 0;
  for (const auto& e : v.GetArray()) {
    const int64_t c = countElements(e);
    if (c < 0) return -1;
    n += c;
  }
  return n;
}

template <typename T>
void put(uint8_t** p, T v) {
  std::memcpy(*p, &v, sizeof v);
  *p += sizeof v;
}

// Writes one JSON element as `t` at *p.  False (with *why) when it does not fit the type.
bool convert(const Value& v, DType t, uint8_t** p, std::string* why) {
  if (t == DType{1, 1, 1}) {
    if (!v.IsBool()) return *why = "BOOL data holds a value that is not true or false", false;
    put<uint8_t>(p, v.GetBool() ? 1 : 0);
    return true;
  }
  if (t.code == 2) {
    if (!v.IsNumber()) return *why = "floating-point data holds a value that is not a number", false;
    if (t.bits == 32)
      put<float>(p, static_cast<float>(v.GetDouble()));
    else
      put<double>(p, v.GetDouble());
    return true;
  }
  const bool isSigned = t.code == 0;
  if (!v.IsInt64() && !v.IsUint64()) return *why = "integer data holds a value that is not an integer", false;
  // The signed range is [-hi - 1, hi]; computed from hi so that 64 bits do not overflow.
  const uint64_t hi = isSigned ? (uint64_t{1} << (t.bits - 1)) - 1
                               : (t.bits == 64 ? std::numeric_limits<uint64_t>::max() : (uint64_t{1} << t.bits) - 1);
  const int64_t signedHi = static_cast<int64_t>(hi);
  const bool inRange = isSigned ? v.IsInt64() && v.GetInt64() >= -signedHi - 1 && v.GetInt64() <= signedHi
                                : v.IsUint64() && v.GetUint64() <= hi;
  if (!inRange) return *why = "integer data holds a value outside the datatype's range", false;
  const uint64_t bits = isSigned ? static_cast<uint64_t>(v.GetInt64()) : v.GetUint64();
  switch (t.bits) {
    case 8:
      put<uint8_t>(p, static_cast<uint8_t>(bits));
      break;
    case 16:
      put<uint16_t>(p, static_cast<uint16_t>(bits));
      break;
    case 32:
      put<uint32_t>(p, static_cast<uint32_t>(bits));
      break;
    default:
      put<uint64_t>(p, bits);
      break;
  }
  return true;
}

bool convertAll(const Value& v, DType t, uint8_t** p, std::string* why) {
  if (!v.IsArray()) return convert(v, t, p, why);
  for (const auto& e : v.GetArray()) {
    if (!convertAll(e, t, p, why)) return false;
  }
  return true;
}

bool jsonForm(DType t) { return !(t.code == 4 || (t.code == 2 && t.bits == 16)); }

// Parses one entry of "inputs": name, datatype and shape against the model, then its data (JSON or the
// next bytes of the binary section).
Error parseInput(const Value& in, size_t index, const ModelSignature& model, const RestLimits& limits,
                 const std::string& body, uint64_t* binaryPos, InputTensor* out) {
  const std::string where = "inputs[" + std::to_string(index) + "]: ";
  if (!in.IsObject()) return bad(where + "not an object");
  const Value* name = member(in, "name");
  const Value* datatype = member(in, "datatype");
  const Value* shape = member(in, "shape");
  if (name == nullptr || !name->IsString()) return bad(where + "\"name\" is missing or not a string");
  out->name = std::string(name->GetString(), name->GetStringLength());
  const std::string at = "input \"" + out->name + "\": ";
  if (datatype == nullptr || !datatype->IsString()) return bad(at + "\"datatype\" is missing or not a string");
  if (shape == nullptr || !shape->IsArray()) return bad(at + "\"shape\" is missing or not a list");
  out->datatype = datatype->GetString();
  for (const auto& d : shape->GetArray()) {
    if (!d.IsInt64() || d.GetInt64() < 0) return bad(at + "\"shape\" holds something other than an extent >= 0");
    out->shape.push_back(d.GetInt64());
  }
  const TensorSpec* declared = nullptr;
  for (const auto& s : model.inputs) {
    if (s.name == out->name) declared = &s;
  }
  if (declared == nullptr) {
    std::string names;
    for (const auto& s : model.inputs) names += (names.empty() ? "" : ", ") + s.name;
    return bad("unknown input \"" + out->name + "\": model " + model.name + " takes " + names);
  }
  if (out->datatype != declared->datatype)
    return bad(at + "datatype " + out->datatype + ", the model takes " + declared->datatype);
  out->dtype = declared->dtype;
  bool shapeOk = out->shape.size() == declared->shape.size() && !out->shape.empty() && out->shape[0] >= 1;
  for (size_t d = 0; shapeOk && d < out->shape.size(); ++d)
    shapeOk = declared->shape[d] < 0 || declared->shape[d] == out->shape[d];
  if (!shapeOk)
    return bad(at + "shape " + shapeText(out->shape) + ", the model takes " + shapeText(declared->shape) +
               " (-1: any extent, the batch at least 1)");
  if (out->shape[0] > static_cast<int64_t>(limits.maxBatch))
    return bad(at + std::to_string(out->shape[0]) + " items, the server takes at most " +
               std::to_string(limits.maxBatch) + " per request");
  const uint64_t elemBytes = elementBytes(declared->dtype);
  // No request can carry more elements than its body has bytes (binary) or its JSON has values.
  const int64_t count = elementCount(out->shape, static_cast<int64_t>(std::max<uint64_t>(body.size(), limits.maxValues)));
  if (count < 0) return bad(at + "shape " + shapeText(out->shape) + " holds more elements than the request can");
  const uint64_t bytes = static_cast<uint64_t>(count) * elemBytes;

  const Value* params = nullptr;
  Error e = parameters(in, at, &params);
  if (e) return e;
  const Value* size = params != nullptr ? member(*params, "binary_data_size") : nullptr;
  const Value* data = member(in, "data");
  if (size != nullptr) {
    if (!size->IsUint64()) return bad(at + "\"binary_data_size\" is not a byte count");
    if (data != nullptr) return bad(at + "has both \"data\" and \"binary_data_size\"");
    if (size->GetUint64() != bytes)
      return bad(at + "shape " + shapeText(out->shape) + " " + out->datatype + " takes " + std::to_string(bytes) +
                 " bytes, \"binary_data_size\" says " + std::to_string(size->GetUint64()));
    if (bytes > body.size() - *binaryPos)
      return bad(at + "\"binary_data_size\" " + std::to_string(bytes) + " runs past the end of the body (" +
                 std::to_string(body.size() - *binaryPos) + " bytes left)");
    out->data = reinterpret_cast<const uint8_t*>(body.data()) + *binaryPos;
    out->bytes = bytes;
    *binaryPos += bytes;
    return Error();
  }
  if (data == nullptr) return bad(at + "has neither \"data\" nor \"binary_data_size\"");
  if (!jsonForm(declared->dtype)) return bad(at + out->datatype + " has no JSON form: send it as binary data");
  const int64_t given = countElements(*data);
  if (given < 0) return bad(at + "\"data\" holds something other than numbers and booleans");
  if (given != count)
    return bad(at + "shape " + shapeText(out->shape) + " holds " + std::to_string(count) + " elements, \"data\" has " +
               std::to_string(given));
  out->owned.resize(bytes);
  uint8_t* p = out->owned.data();
  std::string why;
  if (!convertAll(*data, declared->dtype, &p, &why)) return bad(at + why);
  out->data = out->owned.data();
  out->bytes = bytes;
  return Error();
}

void writeShape(JsonWriter& w, const std::vector<int64_t>& shape) {
  w.StartArray();
  for (int64_t d : shape) w.Int64(d);
  w.EndArray();
}

template <typename T>
T get(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void writeData(JsonWriter& w, const OutputTensor& t) {
  const uint64_t eb = elementBytes(t.dtype);
  w.StartArray();
  for (uint64_t off = 0; off + eb <= t.data.size(); off += eb) {
    const uint8_t* p = t.data.data() + off;
    if (t.dtype == DType{1, 1, 1}) {
      w.Bool(p[0] != 0);
    } else if (t.dtype.code == 2) {
      w.Double(t.dtype.bits == 32 ? static_cast<double>(get<float>(p)) : get<double>(p));
    } else if (t.dtype.code == 0) {
      w.Int64(t.dtype.bits == 8    ? get<int8_t>(p)
              : t.dtype.bits == 16 ? get<int16_t>(p)
              : t.dtype.bits == 32 ? get<int32_t>(p)
                                   : get<int64_t>(p));
    } else {
      w.Uint64(t.dtype.bits == 8    ? get<uint8_t>(p)
               : t.dtype.bits == 16 ? get<uint16_t>(p)
               : t.dtype.bits == 32 ? get<uint32_t>(p)
                                    : get<uint64_t>(p));
    }
  }
  w.EndArray();
}

void writeTensorMeta(JsonWriter& w, const TensorSpec& t) {
  w.StartObject();
  w.Key("name");
  w.String(t.name.c_str(), static_cast<SizeType>(t.name.size()));
  w.Key("datatype");
  w.String(t.datatype.c_str());
  w.Key("shape");
  writeShape(w, t.shape);
  w.EndObject();
}

void writeString(JsonWriter& w, const std::string& s) { w.String(s.c_str(), static_cast<SizeType>(s.size())); }

}  // namespace

int64_t parseHeaderLength(const std::string& text, uint64_t bodySize) {
  if (text.empty() || text.size() > 19) return -1;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return v <= bodySize ? static_cast<int64_t>(v) : -1;
}

Error parseRestRequest(const std::string& body, int64_t headerLength, const ModelSignature& model,
                       const RestLimits& limits, InferRequest* out, uint32_t* batch) {
  const uint64_t jsonSize = headerLength < 0 ? body.size() : static_cast<uint64_t>(headerLength);
  if (jsonSize > body.size())
    return bad("Inference-Header-Content-Length " + std::to_string(headerLength) + " exceeds the body's " +
               std::to_string(body.size()) + " bytes");
  Document doc;
  Error e = parseJson(body.data(), static_cast<size_t>(jsonSize), limits, &doc);
  if (e) return e;
  if (!doc.IsObject()) return bad("the request is not a JSON object");
  InferRequest r;
  r.model = model.name;
  if (const Value* id = member(doc, "id")) {
    if (!id->IsString()) return bad("\"id\" is not a string");
    r.id.assign(id->GetString(), id->GetStringLength());
  }
  const Value* params = nullptr;
  if ((e = parameters(doc, "", &params))) return e;
  std::string why;
  if (!boolParam(params, "binary_data_output", &r.binaryOutputs, &why)) return bad(why);

  const Value* inputs = member(doc, "inputs");
  if (inputs == nullptr || !inputs->IsArray() || inputs->Empty()) return bad("\"inputs\" is missing or not a non-empty list");
  uint64_t binaryPos = jsonSize;
  r.inputs.resize(inputs->Size());
  for (SizeType i = 0; i < inputs->Size(); ++i) {
    if ((e = parseInput((*inputs)[i], i, model, limits, body, &binaryPos, &r.inputs[i]))) return e;
  }
  if (binaryPos != body.size())
    return bad("the body holds " + std::to_string(body.size() - binaryPos) +
               " bytes of binary data that no input's \"binary_data_size\" accounts for");

  if (const Value* outputs = member(doc, "outputs")) {
    if (!outputs->IsArray()) return bad("\"outputs\" is not a list");
    for (SizeType i = 0; i < outputs->Size(); ++i) {
      const Value& o = (*outputs)[i];
      const std::string where = "outputs[" + std::to_string(i) + "]: ";
      if (!o.IsObject() || member(o, "name") == nullptr || !member(o, "name")->IsString())
        return bad(where + "not an object with a string \"name\"");
      RequestedOutput ro;
      ro.name = member(o, "name")->GetString();
      ro.binary = r.binaryOutputs;
      const Value* op = nullptr;
      if ((e = parameters(o, where, &op))) return e;
      if (!boolParam(op, "binary_data", &ro.binary, &why)) return bad(where + why);
      r.outputs.push_back(ro);
    }
  }
  if ((e = checkRequest(r, model.inputs, model.outputs, limits.maxBatch, batch))) return e;
  *out = std::move(r);
  return Error();
}

void writeRestResponse(const InferResult& r, std::string* body, uint64_t* headerLength) {
  rapidjson::StringBuffer sb;
  JsonWriter w(sb);
  w.StartObject();
  w.Key("model_name");
  writeString(w, r.model);
  if (!r.version.empty()) {
    w.Key("model_version");
    writeString(w, r.version);
  }
  if (!r.id.empty()) {
    w.Key("id");
    writeString(w, r.id);
  }
  w.Key("outputs");
  w.StartArray();
  bool anyBinary = false;
  for (const auto& t : r.outputs) {
    const bool binary = t.binary || !jsonForm(t.dtype);
    anyBinary = anyBinary || binary;
    w.StartObject();
    w.Key("name");
    writeString(w, t.name);
    w.Key("datatype");
    writeString(w, t.datatype);
    w.Key("shape");
    writeShape(w, t.shape);
    if (binary) {
      w.Key("parameters");
      w.StartObject();
      w.Key("binary_data_size");
      w.Uint64(t.data.size());
      w.EndObject();
    } else {
      w.Key("data");
      writeData(w, t);
    }
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  body->assign(sb.GetString(), sb.GetSize());
  *headerLength = anyBinary ? body->size() : 0;
  for (const auto& t : r.outputs) {
    if (t.binary || !jsonForm(t.dtype)) body->append(reinterpret_cast<const char*>(t.data.data()), t.data.size());
  }
}

std::string errorJson(const std::string& message) {
  rapidjson::StringBuffer sb;
  JsonWriter w(sb);
  w.StartObject();
  w.Key("error");
  writeString(w, message);
  w.EndObject();
  return sb.GetString();
}

std::string serverMetadataJson(const std::string& name, const std::string& version,
                               const std::vector<std::string>& extensions) {
  rapidjson::StringBuffer sb;
  JsonWriter w(sb);
  w.StartObject();
  w.Key("name");
  writeString(w, name);
  w.Key("version");
  writeString(w, version);
  w.Key("extensions");
  w.StartArray();
  for (const auto& e : extensions) writeString(w, e);
  w.EndArray();
  w.EndObject();
  return sb.GetString();
}

std::string modelMetadataJson(const ModelSignature& m, const std::vector<std::string>& versions,
                              const std::string& platform) {
  rapidjson::StringBuffer sb;
  JsonWriter w(sb);
  w.StartObject();
  w.Key("name");
  writeString(w, m.name);
  w.Key("versions");
  w.StartArray();
  for (const auto& v : versions) writeString(w, v);
  w.EndArray();
  w.Key("platform");
  writeString(w, platform);
  w.Key("inputs");
  w.StartArray();
  for (const auto& t : m.inputs) writeTensorMeta(w, t);
  w.EndArray();
  w.Key("outputs");
  w.StartArray();
  for (const auto& t : m.outputs) writeTensorMeta(w, t);
  w.EndArray();
  w.EndObject();
  return sb.GetString();
}

}  // namespace qoblserve
}  // namespace zenlar
