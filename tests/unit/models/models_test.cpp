// Tests of the demo models as built: the files parse, the graphs are consistent with the libraries and
// parameter blobs, and the kernels refuse bad arguments.  That the models reproduce expected_output.bin
// is checked end to end, through the runtime and the card (qobl-run --verify, the stream and Python tests).
#include <dlfcn.h>
#include <dlpack/dlpack.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "qobl_test/files.h"

namespace {

union Value {
  int64_t v_int64;
  double v_float64;
  void* v_handle;
};
using PackedFn = int (*)(Value*, int*, int, Value*, int*, void*);

std::string modelsDir() { return qobltest::buildDir() + "/models"; }

std::vector<uint8_t> readBytes(const std::string& path) {
  const std::string bytes = qobltest::readBytes(path);
  EXPECT_FALSE(bytes.empty()) << path;
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::vector<float> readFloats(const std::string& path) {
  const std::vector<uint8_t> b = readBytes(path);
  EXPECT_EQ(b.size() % 4, 0u) << path;
  std::vector<float> out(b.size() / 4);
  std::memcpy(out.data(), b.data(), out.size() * 4);
  return out;
}

void parseJsonFile(const std::string& path, rapidjson::Document& doc) {
  const std::vector<uint8_t> b = readBytes(path);
  doc.Parse(reinterpret_cast<const char*>(b.data()), b.size());
  ASSERT_FALSE(doc.HasParseError()) << path;
  ASSERT_TRUE(doc.IsObject()) << path;
}

int64_t product(const std::vector<int64_t>& s) {
  int64_t n = 1;
  for (int64_t d : s) n *= d;
  return n;
}

struct Param {
  std::vector<int64_t> shape;
  std::vector<float> data;
};

// Strict reader of a saved-parameter blob holding float32 arrays; fails the test on anything that does
// not add up.
void parseParams(const std::string& path, std::map<std::string, Param>& out) {
  const std::vector<uint8_t> b = readBytes(path);
  size_t pos = 0;
  bool ok = true;
  auto take = [&](void* dst, size_t n) {
    if (!ok || b.size() - pos < n) {
      ok = false;
      return;
    }
    std::memcpy(dst, b.data() + pos, n);
    pos += n;
  };
  auto u64 = [&] { uint64_t v = 0; take(&v, 8); return v; };
  auto i32 = [&] { int32_t v = 0; take(&v, 4); return v; };
  ASSERT_EQ(u64(), 0xF7E58D4F05049CB7ull) << path;
  ASSERT_EQ(u64(), 0u);
  const uint64_t names = u64();
  ASSERT_TRUE(ok && names > 0 && names < 64);
  std::vector<std::string> keys;
  for (uint64_t i = 0; i < names; ++i) {
    const uint64_t len = u64();
    ASSERT_TRUE(ok && len < 256);
    std::string s(len, '\0');
    take(s.data(), len);
    keys.push_back(s);
  }
  ASSERT_EQ(u64(), names);
  for (const std::string& key : keys) {
    ASSERT_EQ(u64(), 0xDD5E40F096B4A13Full) << key;
    ASSERT_EQ(u64(), 0u);
    EXPECT_EQ(i32(), 1);  // CPU
    EXPECT_EQ(i32(), 0);
    const int32_t ndim = i32();
    ASSERT_TRUE(ok && ndim >= 1 && ndim <= 6);
    uint8_t code = 0, bits = 0;
    uint16_t lanes = 0;
    take(&code, 1);
    take(&bits, 1);
    take(&lanes, 2);
    ASSERT_TRUE(code == 2 && bits == 32 && lanes == 1) << key;
    Param p;
    p.shape.resize(ndim);
    take(p.shape.data(), 8 * static_cast<size_t>(ndim));
    int64_t bytes = 0;
    take(&bytes, 8);
    ASSERT_TRUE(ok);
    ASSERT_EQ(bytes, 4 * product(p.shape)) << key;
    p.data.resize(static_cast<size_t>(bytes / 4));
    take(p.data.data(), static_cast<size_t>(bytes));
    ASSERT_TRUE(ok) << key;
    EXPECT_TRUE(out.emplace(key, std::move(p)).second) << "duplicate " << key;
  }
  EXPECT_EQ(pos, b.size()) << "trailing bytes in " << path;
}

std::vector<int64_t> shapeOf(const rapidjson::Value& a) {
  std::vector<int64_t> s;
  for (const auto& d : a.GetArray()) s.push_back(d.GetInt64());
  return s;
}

// Checks the structure of a graph JSON and that every function it calls is exported by the library.
void checkGraph(const std::string& dir, const std::map<std::string, Param>& params) {
  rapidjson::Document g;
  ASSERT_NO_FATAL_FAILURE(parseJsonFile(dir + "/graph.json", g));
  for (const char* k : {"nodes", "arg_nodes", "node_row_ptr", "heads", "attrs"}) ASSERT_TRUE(g.HasMember(k)) << k;
  const auto& nodes = g["nodes"];
  const auto& rowPtr = g["node_row_ptr"];
  ASSERT_EQ(rowPtr.Size(), nodes.Size() + 1);
  ASSERT_EQ(rowPtr[0].GetInt(), 0);
  std::vector<int> placeholders;
  void* lib = dlopen((dir + "/model.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (rapidjson::SizeType i = 0; i < nodes.Size(); ++i) {
    const auto& n = nodes[i];
    const std::string op = n["op"].GetString();
    int outputs = 1;
    if (op == "null") {
      placeholders.push_back(static_cast<int>(i));
    } else {
      ASSERT_EQ(op, "tvm_op");
      const auto& a = n["attrs"];
      EXPECT_EQ(std::stoul(a["num_inputs"].GetString()), n["inputs"].Size());
      outputs = std::stoi(a["num_outputs"].GetString());
      EXPECT_NE(dlsym(lib, a["func_name"].GetString()), nullptr) << a["func_name"].GetString();
      for (const auto& in : n["inputs"].GetArray()) EXPECT_LT(in[0].GetUint(), i) << "inputs must precede";
    }
    EXPECT_EQ(rowPtr[i + 1].GetInt(), rowPtr[i].GetInt() + outputs);
  }
  dlclose(lib);
  const int entries = rowPtr[nodes.Size()].GetInt();
  std::vector<int> argNodes;
  for (const auto& a : g["arg_nodes"].GetArray()) argNodes.push_back(a.GetInt());
  EXPECT_EQ(argNodes, placeholders);
  for (const auto& h : g["heads"].GetArray()) {
    ASSERT_EQ(h.Size(), 3u);
    EXPECT_LT(h[0].GetUint(), nodes.Size());
  }
  const auto& attrs = g["attrs"];
  for (const char* k : {"dltype", "shape", "storage_id"}) {
    ASSERT_TRUE(attrs.HasMember(k)) << k;
    EXPECT_EQ(attrs[k][1].Size(), static_cast<rapidjson::SizeType>(entries)) << k;
  }
  EXPECT_STREQ(attrs["dltype"][0].GetString(), "list_str");
  EXPECT_STREQ(attrs["shape"][0].GetString(), "list_shape");
  EXPECT_STREQ(attrs["storage_id"][0].GetString(), "list_int");
  // Every parameter is a placeholder of the same shape; exactly one placeholder ("data") is a real input.
  int realInputs = 0;
  for (int p : placeholders) {
    const std::string name = nodes[p]["name"].GetString();
    auto it = params.find(name);
    if (it == params.end()) {
      ++realInputs;
      EXPECT_EQ(name, "data");
      continue;
    }
    EXPECT_EQ(shapeOf(attrs["shape"][1][rowPtr[p].GetInt()]), it->second.shape) << name;
  }
  EXPECT_EQ(realInputs, 1);
  EXPECT_EQ(params.size() + 1, placeholders.size());
}

TEST(ModelFiles, ParamBlobsAndGraphsAreConsistent) {
  const std::string m = modelsDir();
  for (const std::string& dir :
       {m + "/classifier", m + "/segmenter", m + "/dynamic/member0", m + "/dynamic/member1", m + "/trivial",
        m + "/parallel"}) {
    SCOPED_TRACE(dir);
    std::map<std::string, Param> params;
    ASSERT_NO_FATAL_FAILURE(parseParams(dir + "/params.bin", params));
    ASSERT_NO_FATAL_FAILURE(checkGraph(dir, params));
  }
}

// Owns a float32 tensor for direct kernel calls.
struct HostTensor {
  std::vector<int64_t> shape;
  std::vector<float> data;
  DLTensor t{};
  explicit HostTensor(std::vector<int64_t> s, float fill = 0.5f) : shape(std::move(s)) {
    data.assign(static_cast<size_t>(product(shape)), fill);
    t.data = data.data();
    t.device = DLDevice{kDLCPU, 0};
    t.ndim = static_cast<int32_t>(shape.size());
    t.dtype = DLDataType{kDLFloat, 32, 1};
    t.shape = shape.data();
  }
};

int call(PackedFn fn, std::vector<DLTensor*> tensors, int num_args = -1, int bad_code_at = -1) {
  std::vector<Value> args(tensors.size());
  std::vector<int> codes(tensors.size(), 7);
  for (size_t i = 0; i < tensors.size(); ++i) args[i].v_handle = tensors[i];
  if (bad_code_at >= 0) codes[bad_code_at] = 3;
  Value ret{};
  int retCode = 0;
  return fn(args.data(), codes.data(), num_args >= 0 ? num_args : static_cast<int>(args.size()), &ret, &retCode,
            nullptr);
}

TEST(Kernels, RejectBadArgumentsWithoutWriting) {
  const std::string m = modelsDir();
  void* lib = dlopen((m + "/dynamic/member0/model.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto fn = reinterpret_cast<PackedFn>(dlsym(lib, "dynamic_fused_conv2d_add_relu"));
  ASSERT_NE(fn, nullptr);
  HostTensor in({1, 3, 5, 7}), w({4, 3, 1, 1}), b({4}), out({1, 4, 5, 7}, -7.0f);
  auto untouched = [&] {
    for (float v : out.data) {
      if (v != -7.0f) return false;
    }
    return true;
  };
  // Wrong count, wrong type code, null handle.
  EXPECT_EQ(call(fn, {&in.t, &w.t, &b.t, &out.t}, 3), -1);
  EXPECT_EQ(call(fn, {&in.t, &w.t, &b.t}), -1);
  EXPECT_EQ(call(fn, {&in.t, &w.t, &b.t, &out.t}, -1, 1), -1);
  EXPECT_EQ(call(fn, {&in.t, &w.t, nullptr, &out.t}), -1);
  // Wrong dtypes.
  in.t.dtype = DLDataType{kDLFloat, 16, 1};
  EXPECT_EQ(call(fn, {&in.t, &w.t, &b.t, &out.t}), -1);
  in.t.dtype = DLDataType{kDLInt, 32, 1};
  EXPECT_EQ(call(fn, {&in.t, &w.t, &b.t, &out.t}), -1);
  in.t.dtype = DLDataType{kDLFloat, 32, 1};
  out.t.dtype = DLDataType{kDLFloat, 32, 4};
  EXPECT_EQ(call(fn, {&in.t, &w.t, &b.t, &out.t}), -1);
  out.t.dtype = DLDataType{kDLFloat, 32, 1};
  // Wrong shapes: output spatial extent differs from the input's, wrong channel count, wrong rank,
  // mismatched leading extent, weight of the wrong shape, non-positive extent.
  HostTensor outH({1, 4, 6, 7}), outC({1, 5, 5, 7}), in3({3, 5, 7}), outN({2, 4, 5, 7}), w2({4, 2, 1, 1}), in0({1, 3, 0, 7});
  EXPECT_EQ(call(fn, {&in.t, &w.t, &b.t, &outH.t}), -1);
  EXPECT_EQ(call(fn, {&in.t, &w.t, &b.t, &outC.t}), -1);
  EXPECT_EQ(call(fn, {&in3.t, &w.t, &b.t, &out.t}), -1);
  EXPECT_EQ(call(fn, {&in.t, &w.t, &b.t, &outN.t}), -1);
  EXPECT_EQ(call(fn, {&in.t, &w2.t, &b.t, &out.t}), -1);
  EXPECT_EQ(call(fn, {&in0.t, &w.t, &b.t, &out.t}), -1);
  // Strided (non-compact) input.
  std::vector<int64_t> strides = {105, 35, 1, 5};
  in.t.strides = strides.data();
  EXPECT_EQ(call(fn, {&in.t, &w.t, &b.t, &out.t}), -1);
  in.t.strides = nullptr;
  EXPECT_TRUE(untouched());
  // The same arguments, well formed, succeed at a size no sample uses.
  EXPECT_EQ(call(fn, {&in.t, &w.t, &b.t, &out.t}), 0);
  EXPECT_FALSE(untouched());
  dlclose(lib);

  // Fixed-shape kernels refuse another spatial size and a swapped argument order.
  lib = dlopen((m + "/classifier/model.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto conv = reinterpret_cast<PackedFn>(dlsym(lib, "classifier_fused_conv2d_add_relu"));
  auto pool = reinterpret_cast<PackedFn>(dlsym(lib, "classifier_fused_global_avg_pool2d"));
  auto dense = reinterpret_cast<PackedFn>(dlsym(lib, "classifier_fused_dense_add"));
  ASSERT_TRUE(conv && pool && dense);
  HostTensor img({1, 3, 16, 16}), img15({1, 3, 15, 16}), cw({8, 3, 3, 3}), cb({8}), feat({1, 8, 16, 16});
  HostTensor pooled({1, 8}), dw({10, 8}), db({10}), scores({1, 10});
  EXPECT_EQ(call(conv, {&img15.t, &cw.t, &cb.t, &feat.t}), -1);
  EXPECT_EQ(call(conv, {&img.t, &cb.t, &cw.t, &feat.t}), -1);
  EXPECT_EQ(call(pool, {&feat.t, &scores.t}), -1);
  EXPECT_EQ(call(dense, {&pooled.t, &dw.t, &db.t, &pooled.t}), -1);
  EXPECT_EQ(call(conv, {&img.t, &cw.t, &cb.t, &feat.t}), 0);
  EXPECT_EQ(call(pool, {&feat.t, &pooled.t}), 0);
  EXPECT_EQ(call(dense, {&pooled.t, &dw.t, &db.t, &scores.t}), 0);
  dlclose(lib);

  lib = dlopen((m + "/trivial/model.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto add = reinterpret_cast<PackedFn>(dlsym(lib, "trivial_add"));
  ASSERT_NE(add, nullptr);
  HostTensor row({2, 16}), row15({2, 15}), bias({16}), sum({2, 16}), sum1({1, 16});
  EXPECT_EQ(call(add, {&row15.t, &bias.t, &sum.t}), -1);
  EXPECT_EQ(call(add, {&row.t, &bias.t, &sum1.t}), -1);
  EXPECT_EQ(call(add, {&row.t, &bias.t, &sum.t}), 0);
  EXPECT_EQ(sum.data, std::vector<float>(32, 1.0f));
  dlclose(lib);
}

TEST(HwConfig, DeclaredSettingsFitTheModels) {
  const std::string m = modelsDir();
  {
    rapidjson::Document hw;
    ASSERT_NO_FATAL_FAILURE(parseJsonFile(m + "/classifier/hw.json", hw));
    EXPECT_EQ(hw["max_batch_size"].GetInt(), 4);
    EXPECT_FALSE(hw.HasMember("outputs"));
    ASSERT_EQ(hw["preprocess_ops"].Size(), 1u);
    const auto& op = hw["preprocess_ops"][0];
    EXPECT_EQ(op["opcode"].GetInt(), 197);
    ASSERT_EQ(op["outputs"].Size(), 1u);
    const auto& o = op["outputs"][0];
    EXPECT_EQ(o["precision"].GetInt(), 1);
    EXPECT_EQ(o["is_quant"].GetInt(), 1);
    const float scale = static_cast<float>(o["quant_scale"].GetDouble());
    int exp = 0;
    EXPECT_EQ(std::frexp(scale, &exp), 0.5f) << "scale must be a power of two";
    // Quantising the sample with that scale and back is lossless and inside the declared range.
    const int qmin = o["quant_min"].GetInt(), qmax = o["quant_max"].GetInt();
    for (float x : readFloats(m + "/classifier/sample_input.bin")) {
      const float q = std::nearbyint(x / scale);
      ASSERT_TRUE(q >= qmin && q <= qmax && q >= 0 && q <= 255) << x;
      ASSERT_EQ(q * scale, x);
    }
  }
  {
    rapidjson::Document hw;
    ASSERT_NO_FATAL_FAILURE(parseJsonFile(m + "/segmenter/hw.json", hw));
    EXPECT_EQ(hw["max_batch_size"].GetInt(), 4);
    EXPECT_FALSE(hw.HasMember("preprocess_ops"));
    ASSERT_EQ(hw["outputs"].Size(), 1u);
    // The core tensors hold all five channels (the last one partly), planes aligned to 16.
    int64_t channels = 0, lastChannels = 0;
    for (const auto& s : hw["outputs"][0]["core_shapes"].GetArray()) {
      const std::vector<int64_t> shape = shapeOf(s);
      ASSERT_EQ(shape.size(), 4u);
      EXPECT_EQ(shape[2], 16);
      EXPECT_EQ(shape[3], 16);
      channels += shape[1];
      lastChannels = shape[1];
    }
    EXPECT_GE(channels, 5);
    EXPECT_LT(channels - lastChannels, 5);
  }
  {
    rapidjson::Document hw;
    ASSERT_NO_FATAL_FAILURE(parseJsonFile(m + "/dynamic/hw.json", hw));
    const int64_t maxBatch = hw["max_batch_size"].GetInt();
    const int64_t budget = hw["memory_budget_bytes"].GetInt64();
    auto largest = [&](int64_t h, int64_t w) { return std::min<int64_t>(maxBatch, budget / ((3 + 4) * 4 * h * w)); };
    EXPECT_EQ(maxBatch, 8);
    EXPECT_EQ(largest(8, 8), 8);
    EXPECT_LT(largest(32, 32), largest(24, 24));
    EXPECT_LT(largest(24, 24), largest(16, 16));
    EXPECT_GE(largest(32, 32), 1);
  }
  {
    // Batches up to 8, plain layout, nothing before the model.
    rapidjson::Document hw;
    ASSERT_NO_FATAL_FAILURE(parseJsonFile(m + "/trivial/hw.json", hw));
    EXPECT_EQ(hw["max_batch_size"].GetInt(), 8);
    EXPECT_FALSE(hw.HasMember("outputs"));
    EXPECT_FALSE(hw.HasMember("preprocess_ops"));
  }
}

TEST(Suite, MembersResolveAndCoverDisjointRanges) {
  const std::string base = modelsDir() + "/dynamic/";
  rapidjson::Document s;
  ASSERT_NO_FATAL_FAILURE(parseJsonFile(base + "suite.json", s));
  ASSERT_TRUE(s["module_name"].IsString() && s["module_num"].IsInt());
  ASSERT_TRUE(s["shape_ranges"].IsString() && s["shared_params"].IsString());
  EXPECT_STREQ(s["shared_params"].GetString(), "[]");
  const int n = s["module_num"].GetInt();
  ASSERT_EQ(n, 2);
  rapidjson::Document ranges;
  ranges.Parse(s["shape_ranges"].GetString());
  ASSERT_FALSE(ranges.HasParseError());
  ASSERT_EQ(ranges.Size(), 2u);
  std::vector<std::string> graphs;
  for (int i = 0; i < n; ++i) {
    const std::string key = std::string(s["module_name"].GetString()) + std::to_string(i);
    ASSERT_TRUE(s.HasMember(key.c_str())) << key;
    const auto& member = s[key.c_str()];
    ASSERT_EQ(member.Size(), 3u);
    for (const auto& p : member.GetArray()) EXPECT_TRUE(std::filesystem::is_regular_file(base + p.GetString())) << p.GetString();
    void* lib = dlopen((base + member[0].GetString()).c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    EXPECT_NE(dlsym(lib, "dynamic_fused_conv2d_add_relu"), nullptr);
    dlclose(lib);
    const std::vector<uint8_t> g = readBytes(base + member[2].GetString());
    graphs.emplace_back(g.begin(), g.end());
    // One input per member: [smallest, largest], channels fixed, spatial extents ordered.
    ASSERT_EQ(ranges[i].Size(), 1u);
    const std::vector<int64_t> lo = shapeOf(ranges[i][0][0]), hi = shapeOf(ranges[i][0][1]);
    ASSERT_EQ(lo.size(), 4u);
    ASSERT_EQ(hi.size(), 4u);
    EXPECT_EQ(lo[1], 3);
    EXPECT_EQ(hi[1], 3);
    EXPECT_LE(lo[2], hi[2]);
  }
  EXPECT_NE(graphs[0], graphs[1]) << "members must have distinct digests";
  // Member 1 starts right after member 0 ends.
  EXPECT_EQ(shapeOf(ranges[0][0][1])[2] + 1, shapeOf(ranges[1][0][0])[2]);
  EXPECT_EQ(shapeOf(ranges[0][0][0])[2], 4);
  EXPECT_EQ(shapeOf(ranges[1][0][1])[2], 32);
}

}  // namespace
