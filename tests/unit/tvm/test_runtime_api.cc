// Packed-function values and loading model libraries.  Strings, binary blobs, containers and error slots
// travel through every model load (the card runtime and bridge tests, and end to end).
#include <gtest/gtest.h>
#include <tvm/ir/expr.h>
#include <tvm/runtime/c_backend_api.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/packed_func.h>
#include <tvm/runtime/registry.h>

#include <fstream>
#include <thread>

using namespace tvm::runtime;

namespace {

// Returns its single argument unchanged.
PackedFunc Echo() {
  return PackedFunc([](TVMArgs args, TVMRetValue* rv) { *rv = args[0]; });
}

std::string TempFile(const std::string& name, const std::string& content) {
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

}  // namespace

TEST(PackedFunc, TypedConversionsRoundTrip) {
  PackedFunc echo = Echo();
  int64_t big = echo(int64_t(1) << 40);
  uint32_t u = echo(uint32_t(4000000000u));
  double from_int = echo(3);
  EXPECT_EQ(big, int64_t(1) << 40);
  EXPECT_EQ(u, 4000000000u);
  EXPECT_DOUBLE_EQ(from_int, 3.0);

  // Binary-safe strings travel as TVMByteArray.
  std::string bin("a\0b\0c", 5);
  TVMByteArray arr{bin.data(), bin.size()};
  std::string via_bytes = echo(arr);
  EXPECT_EQ(via_bytes, bin);
}

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

  std::string foreign = message_of(TempFile("foreign.so", "this is not a library at all"));
  EXPECT_NE(foreign.find("not a shared object"), std::string::npos) << foreign;

  std::string full;
  {
    std::ifstream in(TVM_TEST_MODEL, std::ios::binary);
    full.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GT(full.size(), 1000u);
  std::string truncated = message_of(TempFile("truncated.so", full.substr(0, 200)));
  EXPECT_NE(truncated.find("cannot load model library"), std::string::npos) << truncated;

  EXPECT_THROW(Module::LoadFromFile(TVM_TEST_MODEL, "onnx"), tvm::Error);
}

TEST(ModuleLoad, LibraryFunctionsAndRuntimePointers) {
  Registry::Register("test.plus_one", true).set_body([](TVMArgs args, TVMRetValue* rv) { *rv = int64_t(args[0]) + 1; });
  Module lib = Module::LoadFromFile(TVM_TEST_MODEL, "");
  EXPECT_FALSE(lib.GetFunction("no_such_function").defined());
  EXPECT_FALSE(lib.GetFunction("__tvm_module_ctx").defined());  // runtime slots are not functions

  std::vector<float> x = {1, 2, 3, 4, 5}, y(5, 0);
  int64_t shape[1] = {5};
  DLTensor tx{x.data(), {kDLCPU, 0}, 1, {kDLFloat, 32, 1}, shape, nullptr, 0};
  DLTensor ty{y.data(), {kDLCPU, 0}, 1, {kDLFloat, 32, 1}, shape, nullptr, 0};

  // scale2 needs the workspace and parallel pointers, call_env the context, GetFuncFromEnv and FuncCall.
  lib.GetFunction("scale2")(&tx, &ty);
  EXPECT_EQ(y, (std::vector<float>{2, 4, 6, 8, 10}));
  lib.GetFunction("call_env")(&tx, &ty);
  EXPECT_EQ(y, x);

  // A second module of the same file shares the library; the first stays usable when it goes.
  PackedFunc f;
  {
    Module again = Module::LoadFromFile(TVM_TEST_MODEL, "");
    f = again.GetFunction("call_env");
  }
  lib = Module();
  f(&tx, &ty);  // the function keeps its library loaded
  EXPECT_EQ(y, x);
}
