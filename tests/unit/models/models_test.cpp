// The demo models' kernels refuse bad arguments without writing their output.  That the model files are
// consistent and reproduce expected_output.bin bit for bit is checked end to end, through the runtime and
// the card (qobl_run_test's --verify of every demo model, tvm_parallel_model_test, the serve tests).
#include <dlfcn.h>
#include <dlpack/dlpack.h>
#include <gtest/gtest.h>

#include <cstdint>
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

int64_t product(const std::vector<int64_t>& s) {
  int64_t n = 1;
  for (int64_t d : s) n *= d;
  return n;
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

}  // namespace
