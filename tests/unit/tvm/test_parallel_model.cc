// The demo model `parallel` on the card graph runtime, run item by item on the test's thread: its kernels'
// argument checks, and no heap allocation in steady state.
#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <tvm/ir/expr.h>
#include <tvm/runtime/card_graph_runtime.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/registry.h>
#include <tvm/runtime/threading_backend.h>

#include <functional>
#include <string>
#include <vector>

#include "alloc_counter.h"
#include "qobl_test/files.h"

using namespace tvm::runtime;
using tvm::ir::StringImm;

namespace {

std::string ModelFile(const std::string& name) { return qobltest::modelFile("parallel", name); }
std::string Read(const std::string& path) { return qobltest::readBytes(path); }

const PackedFunc& Global(const char* name) {
  const PackedFunc* f = Registry::Get(name);
  if (!f) throw std::runtime_error(name);
  return *f;
}

TVMBackendStats Stats() {
  TVMBackendStats s{};
  TVMBackendGetStats(&s);
  return s;
}

// The model loaded on device 0 at batch size 1, and the card address of its module node.
class ParallelModel : public testing::Test {
 protected:
  void SetUp() override {
    QOBCRegisterDeviceAPI();
    tvm::Map<std::string, StringImm> cfg;
    cfg.Set("model_name", StringImm::make("parallel:0:parallel"));
    cfg.Set("hwconfig_json", StringImm::make(Read(ModelFile("hw.json"))));
    int err = 0;
    module_ = Global("tvm.graph_runtime.create")(Read(ModelFile("graph.json")),
                                                 Module::LoadFromFile(ModelFile("model.so"), ""), cfg, 0, &err, 14, 0);
    ASSERT_EQ(err, 0);
    tvm::Array<StringImm> blobs;
    blobs.push_back(StringImm(Read(ModelFile("params.bin"))));
    module_.GetFunction("load_params")(blobs, &err);
    ASSERT_EQ(err, 0);
    std::string node = module_.GetFunction("set_batch_size")(1u, &err);
    ASSERT_EQ(err, 0);
    ASSERT_EQ(0, qobcrt_model_addr(0, node.c_str(), &addr_));
    input_ = Read(ModelFile("sample_input.bin"));
    expected_ = Read(ModelFile("expected_output.bin"));
    ASSERT_EQ(input_.size(), 16u * 32 * 32 * 4);
    ASSERT_EQ(expected_.size(), 10u * 4);
  }

  // One item; returns the node's code and the output in *out.
  int Run(const std::string& input, std::string* out) {
    out->assign(expected_.size(), '\0');
    const void* in[1] = {input.data()};
    void* outs[1] = {&(*out)[0]};
    char text[256] = {0};
    return qobcrt_sim_run_model(0, addr_, in, outs, text, sizeof text);
  }

  Module module_;
  uint64_t addr_ = 0;
  std::string input_, expected_;
};

// The kernels' argument checks (shared by every demo model's kernels) report through the runtime's error
// text.  Bit-exact results at several pool sizes and a failing task are checked through the library in
// parallel_model_test.
TEST_F(ParallelModel, KernelArgumentChecksNameTheKernel) {
  Module lib = Module::LoadFromFile(ModelFile("model.so"), "");
  std::vector<float> x(10);
  int64_t shape[2] = {1, 10};
  DLTensor t{x.data(), {kDLCPU, 0}, 2, {kDLFloat, 32, 1}, shape, nullptr, 0};
  struct Case {
    std::function<void()> call;
    std::string text;
  } const cases[] = {
      {[&] { lib.GetFunction("parallel_fused_mean_dense")(&t, &t, &t, &t); },
       "parallel_fused_mean_dense: argument shapes or types do not fit"},
      {[&] { lib.GetFunction("parallel_fused_conv2d_relu_conv2d_relu")(&t, &t); },
       "parallel_fused_conv2d_relu_conv2d_relu: expects 6 tensor arguments"},
  };
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no error for " << c.text;
    } catch (const tvm::Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
    }
  }
}

// After the first items every workspace comes from the pools and the run path takes nothing from the
// heap: counted by the allocation counter of this program (normal builds) and by the runtime's own
// count of fresh workspace memory (every build).
TEST_F(ParallelModel, SteadyStateAllocatesNothing) {
  std::string out;
  for (int i = 0; i < 2; ++i) ASSERT_EQ(0, Run(input_, &out));
  const uint64_t sys = Stats().workspace_sys_allocs;
  const uint64_t uses = Stats().workspace_allocs;
  const void* in[1] = {input_.data()};
  void* outs[1] = {&out[0]};
  char text[256];
  if (alloc_counter::available()) {  // the counter sees the heap allocations of the libraries
    alloc_counter::start();
    int slot = 0;
    std::string probe = module_.GetFunction("get_output_dtype")(0, &slot);
    ASSERT_GT(alloc_counter::stop(), 0u) << probe;
  }
  alloc_counter::start();
  for (int i = 0; i < 6; ++i) ASSERT_EQ(0, qobcrt_sim_run_model(0, addr_, in, outs, text, sizeof text));
  const uint64_t allocs = alloc_counter::stop();
  EXPECT_EQ(out, expected_);
  EXPECT_EQ(Stats().workspace_sys_allocs, sys);
  EXPECT_GE(Stats().workspace_allocs - uses, 6u * 2);  // the kernels did use workspaces
  if (alloc_counter::available()) {
    EXPECT_EQ(allocs, 0u) << "heap allocations in 6 steady-state items";
  }
}

}  // namespace
