// The demo models on the simulated card: loaded through the TVM runtime as the library loads them, run
// from op records and argument arrays written byte by byte in card memory, submitted straight to the
// device runtime.
#include <tvm/ir/expr.h>
#include <tvm/runtime/container.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/packed_func.h>
#include <tvm/runtime/registry.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include "card_builder.h"

namespace {

using namespace cardtest;
using tvm::ir::StringImm;
using tvm::runtime::Array;
using tvm::runtime::Map;
using tvm::runtime::Module;
using tvm::runtime::PackedFunc;
using tvm::runtime::Registry;

constexpr uint32_t kGetOutput = 0x10;

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  EXPECT_TRUE(f.good()) << path;
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string modelDir(const std::string& name) {
  const char* build = std::getenv("QOBL_BUILD_DIR");
  EXPECT_NE(build, nullptr) << "QOBL_BUILD_DIR is not set";
  return std::string(build != nullptr ? build : ".") + "/models/" + name + "/";
}

// A demo model created on device 0 exactly as the library creates it; "set_batch_size" gives the node.
class LoadedModel {
 public:
  explicit LoadedModel(const std::string& name) : dir_(modelDir(name)) {
    try {
      load(name);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "loading " << name << ": " << e.what();
      module_ = Module();
    }
  }
  // Selects batch size B and returns the node's device address (0 on failure); node names are kept.
  uint64_t node(uint32_t batch) {
    if (!module_.defined()) return 0;
    int err = 0;
    const std::string name = module_.GetFunction("set_batch_size")(batch, static_cast<void*>(&err));
    EXPECT_EQ(err, 0) << "set_batch_size " << batch;
    uint64_t addr = 0;
    EXPECT_EQ(qobcrt_model_addr(0, name.c_str(), &addr), rtSuccess) << name;
    names_.push_back(name);
    return addr;
  }
  std::string sample(const char* file) const { return readFile(dir_ + file); }
  const std::vector<std::string>& names() const { return names_; }
  void destroy() { module_ = Module(); }

 private:
  void load(const std::string& name) {
    QOBCRegisterDeviceAPI();
    const PackedFunc* create = Registry::Get("tvm.graph_runtime.create");
    if (create == nullptr) {
      ADD_FAILURE() << "tvm.graph_runtime.create is not registered";
      return;
    }
    Map<std::string, StringImm> config;
    config.Set("model_name", StringImm("e2edigest:0:" + name));
    config.Set("hwconfig_json", StringImm(readFile(dir_ + "hw.json")));
    int err = 0;
    module_ = (*create)(readFile(dir_ + "graph.json"), Module::LoadFromFile(dir_ + "model.so", ""), config, 0,
                        static_cast<void*>(&err), 14, 0);
    EXPECT_EQ(err, 0) << "create";
    if (err != 0 || !module_.defined()) return;
    Array<StringImm> params;
    params.push_back(StringImm(readFile(dir_ + "params.bin")));
    module_.GetFunction("load_params")(params, static_cast<void*>(&err));
    EXPECT_EQ(err, 0) << "load_params";
  }

  std::string dir_;
  Module module_;
  std::vector<std::string> names_;
};

class CardE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    before_ = stats();
    Reports::get().install(0);
    create_stream cs{stream_id_, 0, 0};
    ASSERT_EQ(qobcrt_create_stream(0, &cs), rtSuccess);
  }
  void TearDown() override {
    EXPECT_EQ(qobcrt_destroy_stream(0, stream_id_), rtSuccess);
    qobcrt_sim_clear_faults();
    qobcrt_sim_set_op_delay_us(0, 0);
  }
  // Submits the run at addr and returns every report of it once its final report arrived.
  std::vector<Reports::Item> runAsync(uint64_t addr, uint32_t data_id) {
    run_stream rs{};
    rs.dev = 0;
    rs.stream_id = stream_id_;
    rs.data_id = data_id;
    rs.stream_addr = static_cast<uint32_t>(addr);
    EXPECT_EQ(qobcrt_run_stream(0, &rs), rtSuccess);
    return Reports::get().waitRun(data_id);
  }
  // Checks that every block made during the test is gone (models' nodes included).
  void expectNothingLive() {
    const qobcrt_sim_stats now = stats();
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(now.live_blocks[k], before_.live_blocks[k]) << "memory kind " << k;
      EXPECT_EQ(now.live_bytes[k], before_.live_bytes[k]) << "memory kind " << k;
    }
  }

  static uint32_t nextStream() {
    static uint32_t id = 7700;
    return ++id;
  }
  static uint32_t nextData() {
    static uint32_t id = 0x5eed0000u;
    return ++id;
  }
  uint32_t stream_id_ = nextStream();
  qobcrt_sim_stats before_{};
};

// Classifier run of one run-model op (end mark on its uid): L loops of B positions, inputs from app
// memory, outputs into app blocks of 40 bytes.  Returns the run block.
uint64_t classifierRun(Blocks& b, uint64_t model, uint32_t L, uint32_t B, const std::vector<uint64_t>& in,
                       const std::vector<uint64_t>& out, uint32_t uid) {
  std::vector<uint64_t> ptrs(L, model);
  for (uint32_t i = 0; i < L * B; ++i) {
    ptrs.push_back(in[i]);
    ptrs.push_back(out[i]);
  }
  return runBlock(b, {{uid | kEnd, kRunModel, 1, argArray(b, L, B, 1, 1, 1, ptrs)}}, 0);
}

TEST_F(CardE2E, ClassifierRunsFromHandBuiltRunsWithOneAndFourBatchPositions) {
  const std::thread::id test_thread = std::this_thread::get_id();
  std::vector<std::string> node_names;
  {
    LoadedModel m("classifier");
    const std::string sample = m.sample("sample_input.bin");
    const std::string expected = m.sample("expected_output.bin");
    ASSERT_EQ(sample.size(), 3072u);
    ASSERT_EQ(expected.size(), 40u);
    const uint64_t node1 = m.node(1);
    const uint64_t node4 = m.node(4);
    ASSERT_NE(node1, 0u);
    ASSERT_NE(node4, 0u);
    EXPECT_NE(node1, node4);
    Blocks b;
    const std::vector<uint8_t> zeros(3072, 0);
    const uint64_t in_sample = b.upload(QOBCRT_SIM_APP, sample.data(), sample.size());
    const uint64_t in_zero = b.upload(QOBCRT_SIM_APP, zeros.data(), zeros.size());

    // B = 1 over two loops (the model address once per loop): the sample, then an all-zero image.
    std::vector<uint64_t> out1 = {b.alloc(QOBCRT_SIM_APP, 40), b.alloc(QOBCRT_SIM_APP, 40)};
    const uint32_t data1 = nextData();
    const auto reports = runAsync(classifierRun(b, node1, 2, 1, {in_sample, in_zero}, out1, 41), data1);
    ASSERT_EQ(reports.size(), 1u);
    const get_desc& d = reports[0].desc;
    EXPECT_EQ(d.dev, 0u);
    EXPECT_EQ(d.stream_id, stream_id_);
    EXPECT_EQ(d.data_id, data1);
    EXPECT_EQ(d.context_id, 41u | kEnd);
    EXPECT_EQ(d.error_code, 0u);
    EXPECT_NE(reports[0].thread, test_thread) << "reported on the caller's thread";
    EXPECT_EQ(reports[0].thread_device, 0u);
    const auto got = readBack<uint8_t>(0, out1[0], 40);
    EXPECT_EQ(0, std::memcmp(got.data(), expected.data(), 40)) << "classifier scores differ from the sample's";
    const auto zero_scores = readBack<uint8_t>(0, out1[1], 40);
    ASSERT_NE(0, std::memcmp(zero_scores.data(), expected.data(), 40)) << "second loop did not run on its own input";

    // B = 4: positions 0, 1 and 3 hold the sample, position 2 the zero image.
    std::vector<uint64_t> out4;
    for (int i = 0; i < 4; ++i) out4.push_back(b.alloc(QOBCRT_SIM_APP, 40));
    const uint32_t data4 = nextData();
    const auto reports4 =
        runAsync(classifierRun(b, node4, 1, 4, {in_sample, in_sample, in_zero, in_sample}, out4, 42), data4);
    ASSERT_EQ(reports4.size(), 1u);
    EXPECT_EQ(reports4[0].desc.context_id, 42u | kEnd);
    EXPECT_EQ(reports4[0].desc.error_code, 0u);
    EXPECT_EQ(reports4[0].desc.stream_id, stream_id_);
    for (int i = 0; i < 4; ++i) {
      const auto scores = readBack<uint8_t>(0, out4[i], 40);
      const uint8_t* want = i == 2 ? zero_scores.data() : reinterpret_cast<const uint8_t*>(expected.data());
      EXPECT_EQ(0, std::memcmp(scores.data(), want, 40)) << "batch position " << i;
    }

    // The same run again, synchronously: nothing goes through the completion function.
    const uint64_t sync_run = classifierRun(b, node4, 1, 4, {in_zero, in_sample, in_sample, in_sample}, out4, 43);
    const uint64_t delivered = stats().reports_delivered;
    uint32_t status = 0xdeadu;
    ASSERT_EQ(qobcrt_run_stream_sync(0, sync_run, 10000, &status), rtSuccess);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(0, std::memcmp(readBack<uint8_t>(0, out4[0], 40).data(), zero_scores.data(), 40));
    EXPECT_EQ(0, std::memcmp(readBack<uint8_t>(0, out4[2], 40).data(), expected.data(), 40));

    // A synchronous run that outlasts its time-out: status untouched, the run still completes later.
    const uint64_t completed = stats().runs_completed;
    ASSERT_EQ(qobcrt_sim_set_op_delay_us(0, 300000), rtSuccess);
    status = 0xdeadu;
    EXPECT_EQ(qobcrt_run_stream_sync(0, sync_run, 20, &status), static_cast<int>(rtErrTimeout));
    EXPECT_EQ(status, 0xdeadu);
    ASSERT_EQ(qobcrt_sim_set_op_delay_us(0, 0), rtSuccess);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (stats().runs_completed == completed && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(stats().runs_completed, completed + 1);
    EXPECT_EQ(stats().reports_delivered, delivered);
    node_names = m.names();
  }
  // Module gone: its nodes are unregistered from the card.
  ASSERT_EQ(node_names.size(), 2u);
  for (const std::string& name : node_names) {
    uint64_t addr = 0;
    EXPECT_EQ(qobcrt_model_addr(0, name.c_str(), &addr), static_cast<int>(rtErrModel)) << name;
  }
  expectNothingLive();
}

TEST_F(CardE2E, InjectedOpFaultIsReportedAndEndsTheRun) {
  LoadedModel m("classifier");
  const std::string sample = m.sample("sample_input.bin");
  const uint64_t node = m.node(1);
  ASSERT_NE(node, 0u);
  {
    Blocks b;
    const uint64_t in = b.upload(QOBCRT_SIM_APP, sample.data(), sample.size());
    const std::vector<uint8_t> guard(40, 0xcd);
    const uint64_t out_a = b.upload(QOBCRT_SIM_APP, guard.data(), 40);
    const uint64_t out_b = b.upload(QOBCRT_SIM_APP, guard.data(), 40);
    const uint64_t out_c = b.upload(QOBCRT_SIM_APP, guard.data(), 40);
    // Three run-model ops: 51 (reported), 52 (faulted), 53 (end).
    const uint64_t run = runBlock(b,
                                  {{51, kRunModel, 1 | kGetOutput, argArray(b, 1, 1, 1, 1, 1, {node, in, out_a})},
                                   {52, kRunModel, 1, argArray(b, 1, 1, 1, 1, 1, {node, in, out_b})},
                                   {53 | kEnd, kRunModel, 1, argArray(b, 1, 1, 1, 1, 1, {node, in, out_c})}},
                                  0);
    const uint64_t failed = stats().runs_failed;
    ASSERT_EQ(qobcrt_sim_fail_op(52, 500123), rtSuccess);
    const uint32_t data = nextData();
    const auto reports = runAsync(run, data);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].desc.context_id, 51u);
    EXPECT_EQ(reports[0].desc.error_code, 0u);
    EXPECT_EQ(reports[1].desc.context_id, 52u);
    EXPECT_EQ(reports[1].desc.error_code, 500123u);
    EXPECT_EQ(reports[1].desc.data_id, data);
    EXPECT_EQ(stats().runs_failed, failed + 1);
    const std::vector<uint8_t> untouched(40, 0xcd);
    EXPECT_NE(readBack<uint8_t>(0, out_a, 40), untouched) << "op before the fault did not run";
    EXPECT_EQ(readBack<uint8_t>(0, out_c, 40), untouched) << "op after the fault ran";

    // The fault is spent: the same run now completes with its end report.
    const uint32_t again = nextData();
    const auto ok = runAsync(run, again);
    ASSERT_EQ(ok.size(), 2u);
    EXPECT_EQ(ok[1].desc.context_id, 53u | kEnd);
    EXPECT_EQ(ok[1].desc.error_code, 0u);
    EXPECT_EQ(Reports::get().count(data), 2u) << "the faulted run reported again";
  }
  m.destroy();
  expectNothingLive();
}

// Tensor copy configuration of the segmenter's one output: [1,5,12,12] float32 from three [1,2,16,16] cores.
std::vector<uint8_t> segmenterCopyConfig() {
  std::vector<uint8_t> cfg;
  put(cfg, int32_t{1});
  put(cfg, uint32_t{0});
  const int32_t real_c[3] = {2, 2, 1};
  for (int j = 0; j < 8; ++j) {
    const bool used = j < 3;
    for (int32_t v : {used ? 1 : 0, used ? real_c[j] : 0, used ? 12 : 0, used ? 12 : 0}) put(cfg, v);
    for (int32_t v : {used ? 1 : 0, used ? 2 : 0, used ? 16 : 0, used ? 16 : 0}) put(cfg, v);
    put(cfg, uint64_t{used ? 2048u * j : 0u});
  }
  for (int i = 0; i < 2; ++i)
    for (int32_t v : {1, 5, 12, 12}) put(cfg, v);
  put(cfg, uint64_t{0});
  for (uint8_t v : {uint8_t{1}, uint8_t{0x7}, uint8_t{4}, uint8_t{0}}) put(cfg, v);   // concat, mask, bytes, type
  cfg.resize(cfg.size() + 12, 0);                                                       // no quantisation
  EXPECT_EQ(cfg.size(), 8u + 376u);
  return cfg;
}

TEST_F(CardE2E, SegmenterCoreOutputGatheredIntoThePlainTensorByAMemoryCopyOp) {
  LoadedModel m("segmenter");
  const std::string sample = m.sample("sample_input.bin");
  const std::string expected = m.sample("expected_output.bin");
  ASSERT_EQ(sample.size(), 1728u);
  ASSERT_EQ(expected.size(), 2880u);
  const uint64_t node = m.node(2);
  ASSERT_NE(node, 0u);
  {
    Blocks b;
    const uint64_t in = b.upload(QOBCRT_SIM_APP, sample.data(), sample.size());
    // Core-layout outputs: asking for the real size gives the card's aligned capacity.
    uint64_t core[2], plain[2];
    for (int i = 0; i < 2; ++i) {
      core[i] = b.alloc(QOBCRT_SIM_INOUT, 2880);
      uint64_t capacity = 0;
      ASSERT_EQ(qobcrt_query_block(0, core[i], nullptr, nullptr, &capacity), rtSuccess);
      EXPECT_EQ(capacity, 6144u);
      std::vector<uint8_t> guard(2944, 0xcd);
      plain[i] = b.upload(QOBCRT_SIM_DDR_SHARE, guard.data(), guard.size());
    }
    const std::vector<uint8_t> cfg = segmenterCopyConfig();
    const uint64_t cfg_addr = b.upload(QOBCRT_SIM_STREAM, cfg.data(), cfg.size());
    const uint64_t run_args = argArray(b, 1, 2, 1, 1, 1, {node, in, core[0], in, core[1]});
    const uint64_t copy_args = argArray(b, 1, 2, 1, 1, 1, {cfg_addr, core[0], plain[0], core[1], plain[1]});
    const uint64_t run =
        runBlock(b, {{61, kRunModel, 1 | kGetOutput, run_args}, {62 | kEnd, kMemCopy, 1, copy_args}}, 0);
    const uint32_t data = nextData();
    const auto reports = runAsync(run, data);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].desc.context_id, 61u);
    EXPECT_EQ(reports[1].desc.context_id, 62u | kEnd);
    EXPECT_EQ(reports[1].desc.error_code, 0u);
    for (int i = 0; i < 2; ++i) {
      const auto got = readBack<uint8_t>(0, plain[i], 2944);
      EXPECT_EQ(0, std::memcmp(got.data(), expected.data(), 2880)) << "batch position " << i;
      EXPECT_EQ(std::vector<uint8_t>(got.begin() + 2880, got.end()), std::vector<uint8_t>(64, 0xcd))
          << "written past the plain tensor";
    }
    // The core layout itself is not the plain tensor.
    EXPECT_NE(0, std::memcmp(readBack<uint8_t>(0, core[0], 2880).data(), expected.data(), 2880));
  }
  m.destroy();
  uint64_t addr = 0;
  EXPECT_EQ(qobcrt_model_addr(0, m.names().at(0).c_str(), &addr), static_cast<int>(rtErrModel));
  expectNothingLive();
}

}  // namespace
