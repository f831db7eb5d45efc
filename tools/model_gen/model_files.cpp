// model_files.cpp - writers for graph JSON, parameter blobs and raw sample files.
#include "model_files.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace zenlar::qobl::modelgen {

static_assert(sizeof(float) == 4, "float32 expected");

namespace {

constexpr uint64_t kListMagic = 0xF7E58D4F05049CB7ull;
constexpr uint64_t kArrayMagic = 0xDD5E40F096B4A13Full;

bool hostIsLittleEndian() {
  const uint16_t probe = 1;
  uint8_t first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

template <typename T>
void putLE(std::vector<uint8_t>& out, T value) {
  uint64_t v = 0;
  std::memcpy(&v, &value, sizeof(T));
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void putFloats(std::vector<uint8_t>& out, const std::vector<float>& values) {
  for (float f : values) {
    uint32_t bits = 0;
    std::memcpy(&bits, &f, 4);
    putLE<uint32_t>(out, bits);
  }
}

}  // namespace

Tensor::Tensor(std::vector<int64_t> s) : shape(std::move(s)), data(static_cast<size_t>(elementCount(shape))) {}

int64_t Tensor::elementCount(const std::vector<int64_t>& shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

uint32_t Prng::next() {
  uint32_t x = state_;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  state_ = x;
  return x;
}

float Prng::weight() { return static_cast<float>(static_cast<int>(next() % 256u) - 128) / 128.0f; }

void Prng::fill(Tensor& t) {
  for (float& v : t.data) v = weight();
}

int GraphBuilder::addPlaceholder(const std::string& name, const std::vector<int64_t>& shape, const std::string& dtype) {
  nodes_.push_back(Node{"null", name, "", {}, shape, dtype});
  return static_cast<int>(nodes_.size()) - 1;
}

int GraphBuilder::addOp(const std::string& name, const std::string& func, const std::vector<int>& inputs,
                        const std::vector<int64_t>& outShape, const std::string& dtype) {
  for (int in : inputs) {
    if (in < 0 || in >= static_cast<int>(nodes_.size())) throw std::runtime_error("graph input out of range");
  }
  nodes_.push_back(Node{"tvm_op", name, func, inputs, outShape, dtype});
  return static_cast<int>(nodes_.size()) - 1;
}

std::string GraphBuilder::toJson() const {
  rapidjson::StringBuffer buf;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buf);
  w.SetIndent(' ', 2);
  w.SetFormatOptions(rapidjson::kFormatSingleLineArray);
  w.StartObject();

  w.Key("nodes");
  w.StartArray();
  for (const Node& n : nodes_) {
    w.StartObject();
    w.Key("op");
    w.String(n.op.c_str());
    w.Key("name");
    w.String(n.name.c_str());
    w.Key("inputs");
    w.StartArray();
    for (int in : n.inputs) {
      w.StartArray();
      w.Int(in);
      w.Int(0);
      w.Int(0);
      w.EndArray();
    }
    w.EndArray();
    if (n.op == "tvm_op") {
      w.Key("attrs");
      w.StartObject();
      w.Key("func_name");
      w.String(n.func.c_str());
      w.Key("num_inputs");
      w.String(std::to_string(n.inputs.size()).c_str());
      w.Key("num_outputs");
      w.String("1");
      w.Key("flatten_data");
      w.String("0");
      w.EndObject();
    }
    w.EndObject();
  }
  w.EndArray();

  w.Key("arg_nodes");
  w.StartArray();
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i].op == "null") w.Int(static_cast<int>(i));
  }
  w.EndArray();

  w.Key("heads");
  w.StartArray();
  for (int h : heads_) {
    w.StartArray();
    w.Int(h);
    w.Int(0);
    w.Int(0);
    w.EndArray();
  }
  w.EndArray();

  w.Key("attrs");
  w.StartObject();
  w.Key("dltype");
  w.StartArray();
  w.String("list_str");
  w.StartArray();
  for (const Node& n : nodes_) w.String(n.dtype.c_str());
  w.EndArray();
  w.EndArray();
  w.Key("shape");
  w.StartArray();
  w.String("list_shape");
  w.StartArray();
  for (const Node& n : nodes_) {
    w.StartArray();
    for (int64_t d : n.shape) w.Int64(d);
    w.EndArray();
  }
  w.EndArray();
  w.EndArray();
  w.Key("storage_id");
  w.StartArray();
  w.String("list_int");
  w.StartArray();
  for (size_t i = 0; i < nodes_.size(); ++i) w.Int(static_cast<int>(i));
  w.EndArray();
  w.EndArray();
  w.EndObject();

  w.Key("node_row_ptr");
  w.StartArray();
  for (size_t i = 0; i <= nodes_.size(); ++i) w.Int(static_cast<int>(i));
  w.EndArray();

  w.EndObject();
  return std::string(buf.GetString(), buf.GetSize()) + "\n";
}

std::vector<uint8_t> makeParamBlob(const std::vector<std::pair<std::string, const Tensor*>>& params) {
  std::vector<RawParam> raw;
  for (const auto& p : params) {
    RawParam r;
    r.name = p.first;
    r.shape = p.second->shape;
    putFloats(r.bytes, p.second->data);
    raw.push_back(std::move(r));
  }
  return makeParamBlob(raw);
}

std::vector<uint8_t> makeParamBlob(const std::vector<RawParam>& params) {
  std::vector<uint8_t> out;
  putLE<uint64_t>(out, kListMagic);
  putLE<uint64_t>(out, 0);
  putLE<uint64_t>(out, params.size());
  for (const auto& p : params) {
    putLE<uint64_t>(out, p.name.size());
    out.insert(out.end(), p.name.begin(), p.name.end());
  }
  putLE<uint64_t>(out, params.size());
  for (const auto& p : params) {
    putLE<uint64_t>(out, kArrayMagic);
    putLE<uint64_t>(out, 0);
    putLE<int32_t>(out, 1);  // device type: CPU
    putLE<int32_t>(out, 0);  // device id
    putLE<int32_t>(out, static_cast<int32_t>(p.shape.size()));
    putLE<uint8_t>(out, p.code);
    putLE<uint8_t>(out, p.bits);
    putLE<uint16_t>(out, p.lanes);
    for (int64_t d : p.shape) putLE<int64_t>(out, d);
    putLE<int64_t>(out, static_cast<int64_t>(p.bytes.size()));
    out.insert(out.end(), p.bytes.begin(), p.bytes.end());
  }
  return out;
}

std::vector<uint8_t> rawBytes(const std::vector<const Tensor*>& tensors) {
  std::vector<uint8_t> out;
  for (const Tensor* t : tensors) putFloats(out, t->data);
  return out;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  if (!hostIsLittleEndian()) throw std::runtime_error("the generator expects a little-endian host");
  const std::filesystem::path p(path);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot open " + path + " for writing");
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

void writeFile(const std::string& path, const std::string& text) {
  writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

}  // namespace zenlar::qobl::modelgen
