// Run-stream instructions: output distribution over leaf ops, readiness over loops, and release of every
// device block in every state (the record bytes are read by the simulated card in every stream test).
#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <qobm/qobm.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "op_dataset_id.h"
#include "op_dg_node.h"
#include "op_instruction.h"
#include "qobl_test/card_stats.h"
#include "qobl_test/fake_model.h"
#include "qobl_test/fake_stream_op.h"
#include "qobl_test/log_capture.h"
#include "stream.h"
#include "stream_instruction.h"

namespace {

using qobltest::FakeModel;
using qobltest::FakeStreamOp;
using zenlar::qobl::IOpArgument;
using zenlar::qobl::OpDGNode;
using zenlar::qobl::OpIRInstruction;
using zenlar::qobl::RunStreamInstruction;

using qobltest::blockSize;
using qobltest::LiveBlocksTest;
using qobltest::LogCapture;
using Live = qobltest::LiveBlocks;
inline Live live() { return qobltest::liveBlocks(0); }

constexpr uint32_t kDataset = 4242;
using Addrs = std::vector<uint64_t>;

// A pipeline of fake ops, each wrapped in a graph node (which owns it), with one IR record per node.
class Pipeline {
 public:
  FakeStreamOp* add(uint32_t opType, uint32_t uid, FakeStreamOp* parent, uint32_t inputs, uint32_t outputs) {
    auto* op = new FakeStreamOp("op" + std::to_string(uid), opType);
    op->uid_ = uid;
    op->streamId_ = 3;
    op->inOp_ = parent;
    op->inCount_ = inputs;
    op->outCount_ = outputs;
    nodes_.emplace_back(new OpDGNode(op));
    return op;
  }
  // Snapshots every node; call once the ops are configured.
  std::vector<OpIRInstruction*> records() {
    std::vector<OpIRInstruction*> out;
    for (size_t i = 0; i < nodes_.size(); ++i) {
      irs_.emplace_back(new OpIRInstruction(nodes_[i].get(), static_cast<uint32_t>(i)));
      out.push_back(irs_.back().get());
    }
    return out;
  }
  // Drops the records and the nodes with their stream ops, as a torn-down stream and graph would.
  void destroy() {
    irs_.clear();
    nodes_.clear();
  }

 private:
  std::vector<std::unique_ptr<OpDGNode>> nodes_;
  std::vector<std::unique_ptr<OpIRInstruction>> irs_;
};

class RunStreamInstructionTest : public LiveBlocksTest {
 protected:

  // input (uid 1, `loops` loops) [-> pre-processing (2, fresh configuration and buffer per loop, feeds the
  // model)] -> run-model (3, batch = loops, non-leaf) -> memory-copy (4, leaf, fresh configuration per loop).
  void pipeline(uint32_t loops, bool withPre, std::vector<int64_t> outputSizes) {
    model_.batch = loops;
    model_.setOutputSizes(outputSizes);
    FakeStreamOp* prev = p_.add(qobeOP_INPUT_OP, 1, nullptr, 1, 1);
    prev->loopCount_ = loops;
    if (withPre) {
      prev = p_.add(qobeOP_PREPROCESS_OP, 2, prev, 1, 1);
      prev->typeId_ = 30000;
      prev->loopCount_ = loops;
      prev->configCount_ = prev->bufferCount_ = 1;
      prev->outSizes_ = {16};
      prev->runmodelInput_ = true;
      prev->configMode_ = FakeStreamOp::kFresh;
    }
    FakeStreamOp* rm = p_.add(qobeOP_RUN_MODEL_OP, 3, prev, 1, model_.outputCount());
    rm->typeId_ = 20000;
    rm->model_ = &model_;
    rm->configCount_ = 1;
    rm->configMode_ = FakeStreamOp::kModel;
    rm->batchSize_ = loops;
    rm->outSizes_.assign(outputSizes.begin(), outputSizes.end());
    FakeStreamOp* cp = p_.add(qobeOP_MEM_COPY_OP, 4, rm, model_.outputCount(), model_.outputCount());
    cp->typeId_ = 40000;
    cp->model_ = &model_;
    cp->configCount_ = 1;
    cp->configMode_ = FakeStreamOp::kFresh;
    cp->batchSize_ = loops;
    cp->isLeafNode_ = true;
    irs_ = p_.records();
  }

  // Gives the instruction `sets` loops' input and output addresses: 0xC0000100 + loop, 0xC0001000 + loop.
  void fill(RunStreamInstruction& inst, int sets) {
    for (int s = 0; s < sets; ++s) {
      uint64_t in = 0xC0000100 + s, out = 0xC0001000 + s;
      ASSERT_TRUE(inst.setInOutputData(&in, 1, &out, 1));
    }
  }

  FakeModel model_;
  Pipeline p_;
  std::vector<OpIRInstruction*> irs_;
};

TEST_F(RunStreamInstructionTest, OutputsAreSplitOverLeafOpsInOrder) {
  FakeStreamOp* in = p_.add(qobeOP_INPUT_OP, 1, nullptr, 1, 1);
  p_.add(21, 2, in, 1, 1)->isLeafNode_ = true;
  p_.add(21, 3, in, 1, 2)->isLeafNode_ = true;
  const auto irs = p_.records();
  uint64_t input = 0xC0000010;
  uint64_t outputs[] = {0xA, 0xB, 0xC, 0xD};
  {
    RunStreamInstruction inst(kDataset, irs, 0);
    LogCapture log;
    EXPECT_FALSE(inst.setInOutputData(&input, 1, outputs, 4));
    EXPECT_TRUE(log.has("Output number mismatch with stream output number.\n"));
    EXPECT_FALSE(inst.setInOutputData(&input, 1, outputs, 0));
    EXPECT_FALSE(inst.setInOutputData(nullptr, 1, outputs, 3));
    EXPECT_FALSE(inst.isReady());
  }
  RunStreamInstruction inst(kDataset, irs, 0);
  ASSERT_TRUE(inst.setInOutputData(&input, 1, outputs, 3));
  ASSERT_TRUE(inst.build());
  EXPECT_EQ(Addrs{0xA}, inst.getInstructionArchive(2)->opArg->getOutputs(0, 0));
  EXPECT_EQ((Addrs{0xB, 0xC}), inst.getInstructionArchive(3)->opArg->getOutputs(0, 0));
}

// A run-model op fed by the input op reads the inputs of every loop, in loop order, one per batch position.
TEST_F(RunStreamInstructionTest, RunModelOpTakesTheInputsOfEveryLoop) {
  pipeline(3, false, {32});
  RunStreamInstruction inst(kDataset, irs_, 0);
  ASSERT_NO_FATAL_FAILURE(fill(inst, 3));
  ASSERT_TRUE(inst.build());
  IOpArgument* rm = inst.getInstructionArchive(3)->opArg.get();
  for (uint32_t b = 0; b < 3; ++b) EXPECT_EQ(Addrs{0xC0000100 + b}, rm->getInputs(0, b)) << b;
}

// A recycled run whose addresses repeat the last built run's keeps the run-model op's list; a changed input
// or output address, a changed model address, or a failed run in between, is in the run's list all the same.
TEST_F(RunStreamInstructionTest, RepeatedRunsKeepListsOnlyWhileTheirAddressesStayTheSame) {
  model_.batch = 2;
  model_.setOutputSizes({32});
  FakeStreamOp* in = p_.add(qobeOP_INPUT_OP, 1, nullptr, 1, 1);
  in->loopCount_ = 2;
  FakeStreamOp* rm = p_.add(qobeOP_RUN_MODEL_OP, 2, in, 1, 1);
  rm->model_ = &model_;
  rm->configCount_ = 1;
  rm->configMode_ = FakeStreamOp::kModel;
  rm->batchSize_ = 2;
  rm->isLeafNode_ = true;
  const auto irs = p_.records();
  struct Run {
    uint64_t input0, output1, model;
    bool failsAtFirstInput;  // the model has no address: the run is discarded at its first input
  };
  const Run runs[] = {{0xC100, 0xD101, 0x5000, false}, {0xC100, 0xD101, 0x5000, false},
                      {0xC100, 0xD201, 0x5000, false}, {0xC200, 0xD201, 0x5000, false},
                      {0xC200, 0xD201, 0x6000, false}, {0xC200, 0xD201, 0x6000, false},
                      {0xC300, 0xD201, 0x6000, true},  {0xC300, 0xD201, 0x6000, false}};
  RunStreamInstruction inst(kDataset, irs, 0);
  for (const Run& r : runs) {
    SCOPED_TRACE(testing::Message() << std::hex << r.input0 << " " << r.output1 << " " << r.model);
    inst.reset(kDataset);
    model_.addr = r.model;
    model_.addrOk = !r.failsAtFirstInput;
    uint64_t ins[] = {r.input0, 0xC111}, outs[] = {0xD100, r.output1};
    if (r.failsAtFirstInput) {
      EXPECT_FALSE(inst.setInOutputData(&ins[0], 1, &outs[0], 1));
      continue;
    }
    for (int s = 0; s < 2; ++s) ASSERT_TRUE(inst.setInOutputData(&ins[s], 1, &outs[s], 1));
    ASSERT_TRUE(inst.build());
    IOpArgument* arg = inst.getInstructionArchive(2)->opArg.get();
    Addrs list;
    for (uint32_t e = 0; e < arg->getArgArraySize(); ++e) list.push_back(arg->getPointerInArgArray(e));
    EXPECT_EQ((Addrs{r.model, r.input0, 0xD100, 0xC111, r.output1}), list);
    EXPECT_NE(0u, arg->address());
  }
  inst.reset(kDataset);
  EXPECT_EQ(base_, live());
}

class ReleaseTest : public RunStreamInstructionTest {
 protected:
  void SetUp() override {
    RunStreamInstructionTest::SetUp();
    pipeline(2, true, {32});
  }
};

// Every card call of a build, failed in turn: the build fails with an error logged and no run block, and
// destroying the instruction releases everything once (no leak, no failed free).
TEST_F(ReleaseTest, FailedBuildsReleaseEverythingOnce) {
  auto probe = std::make_unique<RunStreamInstruction>(kDataset, irs_, 0);
  fill(*probe, 2);
  const auto points = qobltest::callPoints([&probe] { ASSERT_TRUE(probe->build()); });
  probe.reset();
  ASSERT_GE(points.size(), 8u);
  for (const qobltest::CallPoint& p : points) {
    if (p.call.find("free") != std::string::npos) continue;  // a build frees nothing
    SCOPED_TRACE(testing::Message() << p);
    auto inst = std::make_unique<RunStreamInstruction>(kDataset, irs_, 0);
    fill(*inst, 2);
    LogCapture log;
    ASSERT_EQ(0, qobcrt_sim_fail_call(p.call.c_str(), p.nth, rtErrInjected));
    EXPECT_FALSE(inst->build());
    qobcrt_sim_clear_faults();
    EXPECT_FALSE(log.errors().empty());
    EXPECT_EQ(0u, inst->address());
    inst.reset();
    EXPECT_EQ(base_, live());
    for (const std::string& e : log.errors()) EXPECT_EQ(std::string::npos, e.find("free")) << e;
  }
}

// A stream reuses its instructions: reset() releases what destruction would, in every state (collecting,
// built, failed while building), and the reset instruction then fills and builds a run as a new one does.
// (An instruction destroyed while collecting: the fault sweep's input left to the stream's destroy.)
TEST_F(ReleaseTest, ResetInstructionsReleaseEverythingAndBuildLikeNewOnes) {
  auto inst = std::make_unique<RunStreamInstruction>(kDataset, irs_, 0);
  const Live built{base_.stream + 8, base_.inout + 4, base_.ddr + 2};
  LogCapture log;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    inst->reset(kDataset + 1 + round);
    EXPECT_EQ(kDataset + 1 + round, inst->datesetId());
    EXPECT_EQ(0u, inst->address());
    EXPECT_FALSE(inst->isReady());
    fill(*inst, 1);
    EXPECT_FALSE(inst->isReady());
    EXPECT_EQ((Live{base_.stream + 2, base_.inout, base_.ddr + 1}), live());
    if (round == 1) {
      inst->reset(kDataset);   // discarded while collecting
      EXPECT_EQ(base_, live());
      fill(*inst, 1);
    }
    uint64_t in = 0xC0000105, out = 0xC0001005;   // the second loop's set
    ASSERT_TRUE(inst->setInOutputData(&in, 1, &out, 1));
    ASSERT_TRUE(inst->isReady());
    if (round == 2) {   // the records' block cannot be had: the half-built run goes with the next reset
      ASSERT_EQ(0, qobcrt_sim_fail_call("qobcrt_malloc_stream", 4, rtErrInjected));
      EXPECT_FALSE(inst->build());
      qobcrt_sim_clear_faults();
      EXPECT_EQ(0u, inst->address());
      continue;
    }
    ASSERT_TRUE(inst->build());
    EXPECT_FALSE(inst->build());
    EXPECT_EQ(built, live());
    EXPECT_EQ(4u, inst->archiveCount());
    EXPECT_EQ(128u + 64u, blockSize(inst->address()));
    EXPECT_EQ(Addrs{0xC0000100}, inst->getInstructionArchive(2)->opArg->getInputs(0, 0));
    EXPECT_EQ(Addrs{0xC0000105}, inst->getInstructionArchive(2)->opArg->getInputs(1, 0));
    EXPECT_EQ(Addrs{0xC0001005}, inst->getInstructionArchive(4)->opArg->getOutputs(0, 1));
    // The input op's addresses of each loop are its inputs and outputs; the run-model op reads its inputs,
    // the pre-processing op's outputs, over both loops in order.
    IOpArgument* head = inst->getInstructionArchive(1)->opArg.get();
    EXPECT_EQ(Addrs{0xC0000105}, head->getInputs(1, 0));
    EXPECT_EQ(Addrs{0xC0000105}, head->getOutputs(1, 0));
    IOpArgument* pre = inst->getInstructionArchive(2)->opArg.get();
    IOpArgument* rm = inst->getInstructionArchive(3)->opArg.get();
    EXPECT_EQ(pre->getOutputs(0, 0), rm->getInputs(0, 0));
    EXPECT_EQ(pre->getOutputs(1, 0), rm->getInputs(0, 1));
  }
  inst->reset(kDataset);
  EXPECT_EQ(base_, live());
  // A built run outlives its records and stream ops (a torn-down stream and graph) and releases everything.
  fill(*inst, 2);
  ASSERT_TRUE(inst->build());
  p_.destroy();
  inst.reset();
  EXPECT_EQ(base_, live());
  for (const std::string& e : log.errors()) EXPECT_EQ(std::string::npos, e.find("free")) << e;
}

TEST(DatasetIdTest, CountsUpAcrossThreads) {
  // Nothing else in this program draws dataset ids: the ones after this are the threads' alone.
  const uint32_t first = zenlar::qobl::DatasetId::generateId();
  std::vector<uint32_t> ids[4], all;
  std::vector<std::thread> threads;
  for (auto& list : ids) {
    threads.emplace_back([&list] {
      for (int i = 0; i < 500; ++i) list.push_back(zenlar::qobl::DatasetId::generateId());
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& list : ids) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(2000u, all.size());
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(first + 1 + i, all[i]);
}

}  // namespace

// A stream's runs: more runs in flight than the ring has slots spill into its overflow map, and each
// dataset id still finds and takes exactly its own run, whichever of two ids sharing a slot goes first.
TEST(RunTable, RunsBeyondTheRingAreKeptAndFoundByTheirIds) {
  using zenlar::qobl::RunStreamInstruction;
  using zenlar::qobl::RunTable;
  constexpr uint32_t kRing = RunTable::kRing;
  const std::vector<zenlar::qobl::OpIRInstruction*> noOps;
  auto run = [&noOps](uint32_t id) { return std::make_unique<RunStreamInstruction>(id, noOps, 0); };
  RunTable table;
  const uint32_t n = kRing + 40;
  for (uint32_t id = 1; id <= n; ++id) table.put(id, run(id));
  EXPECT_EQ(n, table.size());
  for (uint32_t id = 1; id <= n; ++id) {
    RunStreamInstruction* r = table.find(id);
    ASSERT_NE(r, nullptr) << id;
    EXPECT_EQ(r->key(), id);
  }
  auto first = table.take(3);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->key(), 3u);
  EXPECT_EQ(table.find(3), nullptr);
  EXPECT_EQ(table.take(3), nullptr);
  ASSERT_NE(table.find(3 + kRing), nullptr);
  table.put(3 + 2 * kRing, run(3 + 2 * kRing));  // the freed slot serves a newer id again
  for (uint32_t id : {3 + kRing, 3 + 2 * kRing}) {
    auto r = table.take(id);
    ASSERT_NE(r, nullptr) << id;
    EXPECT_EQ(r->key(), id);
  }
  for (uint32_t id = n; id >= 1; --id) {
    if (id == 3 || id == 3 + kRing) continue;
    auto r = table.take(id);
    ASSERT_NE(r, nullptr) << id;
    EXPECT_EQ(r->key(), id);
  }
  EXPECT_EQ(0u, table.size());
  EXPECT_EQ(table.find(1), nullptr);
  EXPECT_EQ(table.find(n + 1), nullptr);
}
