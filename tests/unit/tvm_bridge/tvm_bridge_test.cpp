// The TVM bridge against scripted runtime functions: what each creation and query passes to the graph
// runtime, and how results and error slots come back.  A real model goes through the bridge in the model
// integration tests.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>
#include <qobm/qobm.h>
#include <tvm/ir/expr.h>
#include <tvm/runtime/container.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/packed_func.h>
#include <tvm/runtime/registry.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qobl_test/log_capture.h"
#include "tvm_model_runtime/tvm_model_runtime_api.h"
#include "tvm_model_runtime/tvm_model_runtime_creator.h"

using tvm::Integer;
using tvm::ir::StringImm;
using tvm::runtime::Array;
using tvm::runtime::Map;
using tvm::runtime::Module;
using tvm::runtime::ModuleNode;
using tvm::runtime::Object;
using tvm::runtime::ObjectPtr;
using tvm::runtime::PackedFunc;
using tvm::runtime::Registry;
using tvm::runtime::TVMArgs;
using tvm::runtime::TVMRetValue;
using namespace zenlar::qobl;

// Counts the device-interface registrations made by the bridge and forwards them to the card runtime.
static std::atomic<int> g_registerCalls{0};
extern "C" void QOBCRegisterDeviceAPI(void) {
  g_registerCalls.fetch_add(1);
  auto real = reinterpret_cast<void (*)(void)>(dlsym(RTLD_NEXT, "QOBCRegisterDeviceAPI"));
  if (real != nullptr) real();
}

namespace {

// A module whose functions are scripted by the test.
class ScriptedModule : public ModuleNode {
 public:
  const char* type_key() const override { return "scripted"; }
  PackedFunc GetFunction(const std::string& name, const ObjectPtr<Object>&) override {
    auto it = funcs.find(name);
    return it == funcs.end() ? PackedFunc() : it->second;
  }
  std::map<std::string, PackedFunc> funcs;
};

Module makeModule(std::map<std::string, PackedFunc> funcs) {
  auto node = tvm::runtime::make_object<ScriptedModule>();
  node->funcs = std::move(funcs);
  return Module(ObjectPtr<Object>(node));
}

// The integer arguments of a call, in order.
std::vector<int64_t> intArgs(const TVMArgs& args) {
  std::vector<int64_t> out;
  for (int i = 0; i < args.size(); ++i) {
    if (args[i].type_code() == kTVMArgInt) out.push_back(args[i].operator int64_t());
  }
  return out;
}

std::vector<std::string> strings(const Array<StringImm>& list) {
  std::vector<std::string> out;
  for (const StringImm& s : list) out.push_back(s->value);
  return out;
}

// What the scripted create functions saw.
struct Seen {
  std::vector<std::string> graphs;
  size_t libCount = 0;
  std::map<std::string, std::string> config;
  std::vector<int64_t> ints;  // the integers after the map: mode, device type, device id
  std::vector<std::string> params;
  int createCalls = 0;
  bool loadParamsInImport = false;
};

const char* const kGlobals[] = {"tvm.graph_runtime.create", "tvm.graph_runtime.dynamic_create2",
                                "tvm.graph_runtime.error_string"};

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kGlobals) {
      const PackedFunc* f = Registry::Get(name);
      if (f != nullptr) saved_[name] = *f;
    }
    seen_ = std::make_shared<Seen>();
    std::shared_ptr<Seen> seen = seen_;
    auto create = [seen](TVMArgs args, TVMRetValue* rv) {
      seen->createCalls++;
      seen->config.clear();
      if (args[0].type_code() == kTVMStr) {
        seen->graphs = {args[0].operator std::string()};
        seen->libCount = 1;
      } else {
        seen->graphs = strings(args[0].AsObjectRef<Array<StringImm>>());
        seen->libCount = args[1].AsObjectRef<Array<Module>>().size();
      }
      for (const auto& kv : args[2].AsObjectRef<Map<std::string, StringImm>>().items())
        seen->config[kv.first] = kv.second->value;
      seen->ints = intArgs(args);
      *args[4].ptr<int>() = 0;
      auto load = PackedFunc([seen](TVMArgs a, TVMRetValue* r) {
        seen->params = strings(a[0].AsObjectRef<Array<StringImm>>());
        *a[1].ptr<int>() = 0;
        *r = 0;
      });
      if (seen->loadParamsInImport) {
        Module outer = makeModule({});
        outer.Import(makeModule({{"load_params", load}}));
        *rv = outer;
      } else {
        *rv = makeModule({{"load_params", load}});
      }
    };
    Registry::Register("tvm.graph_runtime.create", true).set_body(create);
    Registry::Register("tvm.graph_runtime.dynamic_create2", true).set_body(create);
  }

  void TearDown() override {
    for (const char* name : kGlobals) {
      auto it = saved_.find(name);
      if (it != saved_.end()) {
        Registry::Register(name, true).set_body(it->second);
      } else {
        Registry::Remove(name);
      }
    }
  }

  std::shared_ptr<Seen> seen_;
  std::map<std::string, PackedFunc> saved_;
};

const std::string kLib = TVM_BRIDGE_TEST_LIB;
const char kGraph[] = "{\"nodes\": []}";
const char kParams[] = {'\x4f', '\x00', '\x01', '\x00', '\x00', 'z'};  // NUL bytes inside and at its end

// What a creation passes to the runtime (device, model name, configuration, every member's files and whole
// parameter blob, in suite order) is checked by loading the demo models through the library: bit-exact runs
// on devices 0 and 1, the node names on the card, the members the shapes select (qobl_run_test,
// qobl_run_options_test, static_model_test, dynamic_stream_test).  A suite of one member, which no demo
// model has, still goes through the dynamic create function, named with "::".
TEST_F(BridgeTest, ASuiteOfOneMemberIsCreatedAsADynamicModel) {
  Registry::Remove("tvm.graph_runtime.create");
  ModelFileSuiteCollection suite{ModelFileSuite{kLib, "g0", kParams, sizeof(kParams)}};
  void* model = nullptr;
  ASSERT_EQ(TvmModelRuntimeCreator::createDynamicTvmModelRuntime("x", "r", "s", suite, 1, "y", nullptr, &model), 0);
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(seen_->graphs, std::vector<std::string>{"g0"});
  EXPECT_EQ(seen_->libCount, 1u);
  EXPECT_EQ(seen_->ints, (std::vector<int64_t>{0, 14, 1}));
  EXPECT_EQ(seen_->config, (std::map<std::string, std::string>{
                               {"model_name", "y::x"}, {"shape_ranges", "r"}, {"shared_params", "s"}}));
  EXPECT_EQ(seen_->params, std::vector<std::string>{std::string(kParams, sizeof(kParams))});
  TvmModelRuntimeApi::freeTvmModule(model);
}

TEST_F(BridgeTest, CreationFailuresReturnCodesAndLeaveTheSlotUntouched) {
  void* const sentinel = reinterpret_cast<void*>(0x1);
  void* model = sentinel;
  ModelFileSuiteCollection suite{ModelFileSuite{kLib, "g", kParams, 1}};

  // The runtime's codes from create and load_params and a static library that cannot be loaded reach the
  // user as the library's codes (qobl_info_test LoadErrorsSayWhy, static_model_test FileFailures).
  // load_params found only in an imported module does not count.
  seen_->loadParamsInImport = true;
  EXPECT_EQ(TvmModelRuntimeCreator::createTvmModelRuntime("n", kLib, kGraph, kParams, 1, 0, "m", nullptr, &model),
            kTvmBridgeMissingFunction);
  seen_->loadParamsInImport = false;
  // A member library that cannot be loaded: nothing is created.
  ModelFileSuiteCollection badSuite{ModelFileSuite{kLib, "g", kParams, 1},
                                    ModelFileSuite{"/nonexistent/m1.so", "g", kParams, 1}};
  EXPECT_EQ(TvmModelRuntimeCreator::createDynamicTvmModelRuntime("n", "r", "s", badSuite, 0, "m", nullptr, &model),
            kTvmBridgeLoadFailed);
  EXPECT_EQ(seen_->createCalls, 1);
  // A runtime that throws.
  Registry::Register("tvm.graph_runtime.create", true).set_body([](TVMArgs, TVMRetValue*) {
    throw tvm::Error("create failed");
  });
  EXPECT_EQ(TvmModelRuntimeCreator::createTvmModelRuntime("n", kLib, kGraph, kParams, 1, 0, "m", nullptr, &model),
            kTvmBridgeException);
  // Missing global functions.
  Registry::Remove("tvm.graph_runtime.create");
  Registry::Remove("tvm.graph_runtime.dynamic_create2");
  EXPECT_EQ(TvmModelRuntimeCreator::createTvmModelRuntime("n", kLib, kGraph, kParams, 1, 0, "m", nullptr, &model),
            kTvmBridgeMissingFunction);
  EXPECT_EQ(TvmModelRuntimeCreator::createDynamicTvmModelRuntime("n", "r", "s", suite, 0, "m", nullptr, &model),
            kTvmBridgeMissingFunction);
  EXPECT_EQ(model, sentinel);
}

TEST_F(BridgeTest, ErrorTextsComeFromTheRuntimeOrAFixedFallback) {
  Registry::Register("tvm.graph_runtime.error_string", true).set_body([](TVMArgs args, TVMRetValue* rv) {
    *rv = "text of " + std::to_string(args[0].operator int());
  });
  EXPECT_EQ(TvmModelRuntimeCreator::tvmErrorCodeToString(6005), "text of 6005");
  // The bridge's own codes are not the runtime's to describe.
  const std::string missing = TvmModelRuntimeCreator::tvmErrorCodeToString(kTvmBridgeMissingFunction);
  EXPECT_EQ(missing.find("text of"), std::string::npos);
  EXPECT_NE(missing, TvmModelRuntimeCreator::tvmErrorCodeToString(kTvmBridgeNullModule));

  Registry::Register("tvm.graph_runtime.error_string", true).set_body([](TVMArgs, TVMRetValue*) {
    throw tvm::Error("no text");
  });
  const std::string fallback = TvmModelRuntimeCreator::tvmErrorCodeToString(6005);
  EXPECT_FALSE(fallback.empty());
  Registry::Remove("tvm.graph_runtime.error_string");
  EXPECT_EQ(TvmModelRuntimeCreator::tvmErrorCodeToString(6005), fallback);
}

TEST(BridgeInit, DeviceInterfaceIsRegisteredOnceAcrossThreads) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([] {
      for (int k = 0; k < 50; ++k) TvmModelRuntimeCreator::initTvmRuntime();
    });
  }
  for (std::thread& t : threads) t.join();
  TvmModelRuntimeCreator::initTvmRuntime();
  EXPECT_EQ(g_registerCalls.load(), 1);
  EXPECT_EQ(qobcrt_device_api_registered(), 1);
}

// ---- queries ----

// A non-zero error slot comes back unchanged through the library (dynamic_api_test ShapesAndLargestBatch,
// qobl_info_test LoadErrorsSayWhy); a result of the wrong type raises in the runtime's own conversion
// (tvm_runtime_api_test PackedFunc).  Here what a runtime that lacks a piece gives.
TEST(BridgeQueries, MissingPiecesReturnCodes) {
  int count = 0;
  std::string name;
  // A module without the functions, and no module at all.
  void* bare = new Module(makeModule({}));
  uint32_t batch = 0;
  DLDataType type{};
  int64_t size = 0;
  EXPECT_EQ(TvmModelRuntimeApi::getMaxBatchSize(bare, batch), kTvmBridgeMissingFunction);
  EXPECT_EQ(TvmModelRuntimeApi::getOutputDataType(bare, 0, type), kTvmBridgeMissingFunction);
  EXPECT_EQ(TvmModelRuntimeApi::getAlignOutputSize(nullptr, "n", 0, size), kTvmBridgeNullModule);
  EXPECT_EQ(TvmModelRuntimeApi::setBatchSize(nullptr, 1, modelShape{{1}}, name), kTvmBridgeNullModule);
  // Functions of imported modules are not used.
  Module withImport = makeModule({});
  withImport.Import(makeModule({{"get_module_input_num", PackedFunc([](TVMArgs args, TVMRetValue* rv) {
                                   *args[1].ptr<int>() = 0;
                                   *rv = 1;
                                 })}}));
  EXPECT_EQ(TvmModelRuntimeApi::getInputCountPerBatch(&withImport, "n", count), kTvmBridgeMissingFunction);
  TvmModelRuntimeApi::freeTvmModule(bare);
  EXPECT_EQ(TvmModelRuntimeApi::freeTvmModule(nullptr), 0);
}

// ---- data-type texts ----

TEST(BridgeDataTypes, TextsAndUnknownTypes) {
  struct Case {
    const char* text;
    int code, bits, lanes;
  };
  const Case cases[] = {{"bool", 1, 1, 1},       {"float16", 2, 16, 1}, {"int8x4", 0, 8, 4},  {"", 3, 0, 0},
                        {"uint8", 1, 8, 1},      {"handle", 3, 64, 1},  {"bfloat16", 4, 16, 1},
                        {"int", 0, 32, 1},       {"int0", 0, 32, 1},    {"float32x4", 2, 32, 4},
                        {"uint1x16", 1, 1, 16}};
  qobltest::LogCapture log(qobmLL_WARN);
  for (const Case& c : cases) {
    DLDataType t = str_to_dltype(c.text);
    EXPECT_EQ(t.code, c.code) << c.text;
    EXPECT_EQ(t.bits, c.bits) << c.text;
    EXPECT_EQ(t.lanes, c.lanes) << c.text;
  }
  EXPECT_TRUE(log.lines().empty());

  // Unknown texts are reported on the library channel at error level.
  EXPECT_EQ(str_to_dltype("16").bits, 16);
  EXPECT_EQ(str_to_dltype("int8x").lanes, 1);
  EXPECT_EQ(log.take(qobmLL_ERROR), (std::vector<std::string>{"unknown type 16\n", "unknown type int8x\n"}));
}

}  // namespace
