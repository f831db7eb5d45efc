// Packed-function values and loading model libraries.  Strings, binary blobs, containers and error slots
// travel through every model load (the card runtime and bridge tests, and end to end).
#include <gtest/gtest.h>
#include <tvm/ir/expr.h>
#include <tvm/runtime/c_backend_api.h>
#include <tvm/runtime/data_type.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/packed_func.h>
#include <tvm/runtime/registry.h>

#include <thread>

#include "qobl_test/files.h"

using namespace tvm::runtime;

namespace {

// Returns its single argument unchanged.
PackedFunc Echo() {
  return PackedFunc([](TVMArgs args, TVMRetValue* rv) { *rv = args[0]; });
}

}  // namespace

TEST(PackedFunc, WrongTypesThrowError) {
  PackedFunc echo = Echo();
  EXPECT_THROW({ std::string s = echo(5); }, tvm::Error);
  EXPECT_THROW({ int x = echo(1.5); (void)x; }, tvm::Error);
  EXPECT_THROW({ int x = echo(int64_t(1) << 33); (void)x; }, tvm::Error);   // does not fit in int
  EXPECT_THROW({ uint32_t x = echo(-1); (void)x; }, tvm::Error);
  EXPECT_THROW({ PackedFunc f = echo(std::string("f")); }, tvm::Error);
  EXPECT_THROW({ tvm::Array<tvm::Integer> a = echo(nullptr); }, tvm::Error);

  tvm::Array<tvm::String> strings;
  strings.push_back("a");
  EXPECT_THROW({ tvm::Array<tvm::Integer> a = echo(strings); }, tvm::Error);  // element type checked
  tvm::Array<tvm::Array<tvm::Integer>> nested;
  nested.push_back({1});
  EXPECT_THROW({ tvm::Array<tvm::Integer> a = echo(nested); }, tvm::Error);
  EXPECT_THROW(nested[1], tvm::Error);

  // Null functions and modules: undefined, not a crash.
  PackedFunc null_f = echo(PackedFunc());
  EXPECT_FALSE(null_f.defined());
  EXPECT_THROW(null_f(1), tvm::Error);
  PackedFunc missing_arg([](TVMArgs args, TVMRetValue* rv) { *rv = static_cast<int>(args[1]); });
  EXPECT_THROW(missing_arg(1), tvm::Error);
  EXPECT_THROW(Module().GetFunction("x"), tvm::Error);
}

TEST(PackedFunc, ReferenceCountsAreThreadSafe) {
  tvm::Array<tvm::Integer> shared;
  shared.push_back(1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([shared] {
      for (int i = 0; i < 20000; ++i) {
        tvm::Array<tvm::Integer> copy = shared;
        tvm::ObjectRef r = copy;
        (void)r;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(shared.use_count(), 1);
  // Copy-on-write: a mutation of a copy leaves the original alone.
  tvm::Array<tvm::Integer> copy = shared;
  copy.push_back(2);
  EXPECT_EQ(shared.size(), 1u);
  EXPECT_EQ(copy.size(), 2u);
}

TEST(ModuleLoad, BadFilesThrowWithAClearText) {
  auto message_of = [](const std::string& path) {
    try {
      Module::LoadFromFile(path, "");
    } catch (const tvm::Error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  std::string missing = message_of("/nonexistent/dir/model.so");
  EXPECT_NE(missing.find("/nonexistent/dir/model.so"), std::string::npos) << missing;
  EXPECT_NE(missing.find("No such file"), std::string::npos) << missing;

  qobltest::TempDir dir;
  std::string foreign = message_of(dir.put("foreign.so", "this is not a library at all"));
  EXPECT_NE(foreign.find("not a shared object"), std::string::npos) << foreign;

  const std::string full = qobltest::readBytes(TVM_TEST_MODEL);
  ASSERT_GT(full.size(), 1000u);
  std::string truncated = message_of(dir.put("truncated.so", full.substr(0, 200)));
  EXPECT_NE(truncated.find("cannot load model library"), std::string::npos) << truncated;

  EXPECT_THROW(Module::LoadFromFile(TVM_TEST_MODEL, "onnx"), tvm::Error);
}

// The workspace and worker-pool pointers a library's kernels call through are used by every demo model, and
// a function of the library itself found through the module context by the graph-form test's relay graph.
// Here a global function found through the context, and the library's lifetime: a function keeps its
// library loaded after every module of the file is gone.
TEST(ModuleLoad, GlobalFunctionsThroughTheContextAndTheLibraryLifetime) {
  Registry::Register("test.plus_one", true).set_body([](TVMArgs args, TVMRetValue* rv) { *rv = int64_t(args[0]) + 1; });
  Module lib = Module::LoadFromFile(TVM_TEST_MODEL, "");
  EXPECT_FALSE(lib.GetFunction("no_such_function").defined());
  EXPECT_FALSE(lib.GetFunction("__tvm_module_ctx").defined());  // runtime slots are not functions
  PackedFunc f;
  {
    Module again = Module::LoadFromFile(TVM_TEST_MODEL, "");
    f = again.GetFunction("call_env");
  }
  lib = Module();
  std::vector<float> x = {1, 2, 3, 4, 5}, y(5, 0);
  int64_t shape[1] = {5};
  DLTensor tx{x.data(), {kDLCPU, 0}, 1, {kDLFloat, 32, 1}, shape, nullptr, 0};
  DLTensor ty{y.data(), {kDLCPU, 0}, 1, {kDLFloat, 32, 1}, shape, nullptr, 0};
  f(&tx, &ty);  // y = x + plus_one(41) - 42
  EXPECT_EQ(y, x);
}

// Data-type texts as TVM's own parser reads them (graph dltypes, module dtype results), and back.
TEST(DataTypeText, AsTvmReadsAndWritesThem) {
  struct Case {
    const char* text;
    int code, bits, lanes;
    const char* back;
  } const cases[] = {
      {"", 3, 0, 0, ""},          {"void", 3, 0, 0, ""},           {"int", 0, 32, 1, "int32"},
      {"int8", 0, 8, 1, "int8"},  {"uint8", 1, 8, 1, "uint8"},     {"float16", 2, 16, 1, "float16"},
      {"int8x4", 0, 8, 4, "int8x4"}, {"float32x4", 2, 32, 4, "float32x4"}, {"handle", 3, 64, 1, "handle"},
      {"bool", 1, 1, 1, "bool"},  {"bfloat16", 4, 16, 1, "bfloat16"}, {"int0", 0, 32, 1, "int32"},
      {"uint1", 1, 1, 1, "bool"}, {"float", 2, 32, 1, "float32"},  {"int4x2", 0, 4, 2, "int4x2"},
  };
  for (const Case& c : cases) {
    DLDataType t = String2DLDataType(c.text);
    EXPECT_EQ(t.code, c.code) << c.text;
    EXPECT_EQ(t.bits, c.bits) << c.text;
    EXPECT_EQ(t.lanes, c.lanes) << c.text;
    EXPECT_EQ(DLDataType2String(t), c.back) << c.text;
  }
  for (const char* bad : {"complex64", "boolx4", "int8x", "int8y", "float32x0", "Float32", "int256"})
    EXPECT_THROW(String2DLDataType(bad), tvm::Error) << bad;
}
