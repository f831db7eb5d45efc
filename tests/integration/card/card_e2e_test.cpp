// The demo classifier on the simulated card: loaded through the TVM runtime as the library loads it, run
// from op records and argument arrays written by hand in card memory, submitted straight to the device
// runtime.  (The segmenter's core-layout gather is covered end to end by the stream pipeline tests.)
#include <tvm/ir/expr.h>
#include <tvm/runtime/container.h>
#include <tvm/runtime/module.h>
#include <tvm/runtime/packed_func.h>
#include <tvm/runtime/registry.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "qobl_test/files.h"
#include "card_builder.h"

namespace {

using namespace cardtest;
using tvm::ir::StringImm;
using tvm::runtime::Module;

constexpr uint32_t kGetOutput = 0x10;

std::string readFile(const std::string& path) {
  const std::string bytes = qobltest::readBytes(path);
  EXPECT_FALSE(bytes.empty()) << path;
  return bytes;
}

// The classifier created on device 0 exactly as the library creates it; node(B) selects batch size B and
// returns the node's device address (0 on failure).
class Classifier {
 public:
  Classifier() {
    dir_ = qobltest::modelDir("classifier") + "/";
    QOBCRegisterDeviceAPI();
    const tvm::runtime::PackedFunc* create = tvm::runtime::Registry::Get("tvm.graph_runtime.create");
    if (create == nullptr) {
      ADD_FAILURE() << "tvm.graph_runtime.create is not registered";
      return;
    }
    tvm::runtime::Map<std::string, StringImm> config;
    config.Set("model_name", StringImm("e2edigest:0:classifier"));
    config.Set("hwconfig_json", StringImm(readFile(dir_ + "hw.json")));
    int err = 0;
    module_ = (*create)(readFile(dir_ + "graph.json"), Module::LoadFromFile(dir_ + "model.so", ""), config, 0,
                        static_cast<void*>(&err), 14, 0);
    EXPECT_EQ(err, 0) << "create";
    tvm::runtime::Array<StringImm> params;
    params.push_back(StringImm(readFile(dir_ + "params.bin")));
    if (err == 0 && module_.defined()) module_.GetFunction("load_params")(params, static_cast<void*>(&err));
    EXPECT_EQ(err, 0) << "load_params";
  }
  uint64_t node(uint32_t batch) {
    if (!module_.defined()) return 0;
    int err = 0;
    const std::string name = module_.GetFunction("set_batch_size")(batch, static_cast<void*>(&err));
    EXPECT_EQ(err, 0) << "set_batch_size " << batch;
    uint64_t addr = 0;
    EXPECT_EQ(qobcrt_model_addr(0, name.c_str(), &addr), rtSuccess) << name;
    names.push_back(name);
    return addr;
  }
  std::string file(const char* name) const { return readFile(dir_ + name); }
  std::vector<std::string> names;

 private:
  std::string dir_;
  Module module_;
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
    // Every block made during the test is gone, the models' nodes included.
    const qobcrt_sim_stats now = stats();
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(now.live_blocks[k], before_.live_blocks[k]) << "memory kind " << k;
      EXPECT_EQ(now.live_bytes[k], before_.live_bytes[k]) << "memory kind " << k;
    }
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
  static uint32_t nextData() {
    static uint32_t id = 0x5eed0000u;
    return ++id;
  }
  uint32_t stream_id_ = [] { static uint32_t id = 7700; return ++id; }();
  qobcrt_sim_stats before_{};
};

// One run-model op (end mark on its uid): L loops of B positions, inputs and 40-byte outputs in app memory.
uint64_t classifierRun(Blocks& b, uint64_t model, uint32_t L, uint32_t B, const std::vector<uint64_t>& in,
                       const std::vector<uint64_t>& out, uint32_t uid) {
  std::vector<uint64_t> ptrs(L, model);
  for (uint32_t i = 0; i < L * B; ++i) ptrs.insert(ptrs.end(), {in[i], out[i]});
  return runBlock(b, {{uid | kEnd, kRunModel, 1, argArray(b, L, B, 1, 1, 1, ptrs)}}, 0);
}

TEST_F(CardE2E, ClassifierRunsWithOneAndFourBatchPositionsAsyncAndSync) {
  const std::thread::id test_thread = std::this_thread::get_id();
  std::vector<std::string> node_names;
  {
    Classifier m;
    const std::string sample = m.file("sample_input.bin"), expected = m.file("expected_output.bin");
    ASSERT_EQ(sample.size(), 3072u);
    ASSERT_EQ(expected.size(), 40u);
    const uint64_t node1 = m.node(1), node4 = m.node(4);
    ASSERT_TRUE(node1 != 0 && node4 != 0 && node1 != node4);
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
    EXPECT_EQ((std::vector<uint32_t>{0, stream_id_, data1, 41u | kEnd, 0}),
              (std::vector<uint32_t>{d.dev, d.stream_id, d.data_id, d.context_id, d.error_code}));
    EXPECT_NE(reports[0].thread, test_thread) << "reported on the caller's thread";
    EXPECT_EQ(reports[0].thread_device, 0u);
    EXPECT_EQ(0, std::memcmp(readBack<uint8_t>(0, out1[0], 40).data(), expected.data(), 40));
    const auto zero_scores = readBack<uint8_t>(0, out1[1], 40);
    ASSERT_NE(0, std::memcmp(zero_scores.data(), expected.data(), 40)) << "second loop did not run on its input";

    // B = 4: positions 0, 1 and 3 hold the sample, position 2 the zero image.
    std::vector<uint64_t> out4;
    for (int i = 0; i < 4; ++i) out4.push_back(b.alloc(QOBCRT_SIM_APP, 40));
    const auto reports4 =
        runAsync(classifierRun(b, node4, 1, 4, {in_sample, in_sample, in_zero, in_sample}, out4, 42), nextData());
    ASSERT_EQ(reports4.size(), 1u);
    EXPECT_EQ(reports4[0].desc.context_id, 42u | kEnd);
    EXPECT_EQ(reports4[0].desc.error_code, 0u);
    for (int i = 0; i < 4; ++i) {
      const uint8_t* want = i == 2 ? zero_scores.data() : reinterpret_cast<const uint8_t*>(expected.data());
      EXPECT_EQ(0, std::memcmp(readBack<uint8_t>(0, out4[i], 40).data(), want, 40)) << "batch position " << i;
    }

    // Synchronously: nothing goes through the completion function.
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
    node_names = m.names;
  }
  // Module gone: its nodes are unregistered from the card.
  ASSERT_EQ(node_names.size(), 2u);
  for (const std::string& name : node_names) {
    uint64_t addr = 0;
    EXPECT_EQ(qobcrt_model_addr(0, name.c_str(), &addr), static_cast<int>(rtErrModel)) << name;
  }
}

// Three run-model ops 51 (reported), 52 (faulted), 53 (end): the fault is reported with its code, the op
// after it does not run, and the spent fault lets the same run complete.
TEST_F(CardE2E, InjectedOpFaultIsReportedAndEndsTheRun) {
  Classifier m;
  const std::string sample = m.file("sample_input.bin");
  const uint64_t node = m.node(1);
  ASSERT_NE(node, 0u);
  Blocks b;
  const uint64_t in = b.upload(QOBCRT_SIM_APP, sample.data(), sample.size());
  const std::vector<uint8_t> untouched(40, 0xcd);
  uint64_t out[3];
  for (uint64_t& o : out) o = b.upload(QOBCRT_SIM_APP, untouched.data(), 40);
  const uint64_t run = runBlock(b,
                                {{51, kRunModel, 1 | kGetOutput, argArray(b, 1, 1, 1, 1, 1, {node, in, out[0]})},
                                 {52, kRunModel, 1, argArray(b, 1, 1, 1, 1, 1, {node, in, out[1]})},
                                 {53 | kEnd, kRunModel, 1, argArray(b, 1, 1, 1, 1, 1, {node, in, out[2]})}},
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
  EXPECT_EQ(stats().runs_failed, failed + 1);
  EXPECT_NE(readBack<uint8_t>(0, out[0], 40), untouched) << "op before the fault did not run";
  EXPECT_EQ(readBack<uint8_t>(0, out[2], 40), untouched) << "op after the fault ran";

  const auto ok = runAsync(run, nextData());
  ASSERT_EQ(ok.size(), 2u);
  EXPECT_EQ(ok[1].desc.context_id, 53u | kEnd);
  EXPECT_EQ(ok[1].desc.error_code, 0u);
  EXPECT_EQ(Reports::get().count(data), 2u) << "the faulted run reported again";
}

}  // namespace
