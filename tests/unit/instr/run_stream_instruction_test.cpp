// Op records and run-stream instructions: the record bytes, the run block as the card reads it, output
// distribution over leaf ops, readiness over loops, and release of every device block in every state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "instr_fakes.h"
#include "op_dataset_id.h"
#include "op_dg_node.h"
#include "op_instruction.h"
#include "stream_instruction.h"

using namespace instrtest;
using zenlar::qobl::OpDGNode;
using zenlar::qobl::OpInstruction;
using zenlar::qobl::OpIRInstruction;
using zenlar::qobl::RunStreamInstruction;

namespace {

constexpr uint32_t kDataset = 4242;
using Addrs = std::vector<uint64_t>;

// A pipeline of fake ops, each wrapped in a graph node (which owns it), with one IR record per node.
class Pipeline {
 public:
  FakeStreamOp* add(uint32_t opType, uint32_t uid, FakeStreamOp* parent, uint32_t inputs, uint32_t outputs) {
    auto* op = new FakeStreamOp;
    op->opType_ = opType;
    op->uid_ = uid;
    op->streamId_ = 3;
    op->inOp_ = parent;
    op->inputCount_ = inputs;
    op->outputCount_ = outputs;
    op->name_ = "op" + std::to_string(uid);
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
      prev->outputSizes_ = {16};
      prev->runmodelInput_ = true;
      prev->configMode_ = FakeStreamOp::kFresh;
    }
    FakeStreamOp* rm = p_.add(qobeOP_RUN_MODEL_OP, 3, prev, 1, model_.outputCount());
    rm->typeId_ = 20000;
    rm->model_ = &model_;
    rm->configCount_ = 1;
    rm->configMode_ = FakeStreamOp::kModel;
    rm->batchSize_ = loops;
    rm->outputSizes_.assign(outputSizes.begin(), outputSizes.end());
    FakeStreamOp* cp = p_.add(qobeOP_MEM_COPY_OP, 4, rm, model_.outputCount(), model_.outputCount());
    cp->typeId_ = 40000;
    cp->model_ = &model_;
    cp->configCount_ = 1;
    cp->configMode_ = FakeStreamOp::kFresh;
    cp->batchSize_ = loops;
    cp->leaf_ = true;
    irs_ = p_.records();
  }

  FakeModel model_;
  Pipeline p_;
  std::vector<OpIRInstruction*> irs_;
};

TEST_F(RunStreamInstructionTest, RecordBytesComeFromASnapshotOfTheOp) {
  FakeStreamOp* op = p_.add(qobeOP_RUN_MODEL_OP, 7, p_.add(qobeOP_INPUT_OP, 5, nullptr, 1, 1), 1, 1);
  op->typeId_ = 20000;
  const auto irs = p_.records();
  op->uid_ = 99;   // later changes of the stream op do not reach the record
  const OpInstruction rec(*irs[1], 5);
  uint8_t expected[64] = {'#', '$', '%', '&', 3, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0x20, 0x4E};
  expected[44] = 1;   // the common flag
  EXPECT_EQ(0, std::memcmp(expected, &rec, 64));
}

TEST_F(RunStreamInstructionTest, RunBlockIsBuiltOnceEveryLoopHasItsInputs) {
  pipeline(2, false, {40, 24});
  irs_[1]->opFlag |= zenlar::qobe::GET_OUTPUT_FLAG;
  RunStreamInstruction inst(kDataset, irs_, 0);
  uint64_t in[] = {0xC0000100, 0xC0000200};
  uint64_t outs[] = {0xC1, 0xC2, 0xC3, 0xC4};   // two outputs per input, one input per call
  ASSERT_TRUE(inst.setInOutputData(&in[0], 1, outs, 2));
  EXPECT_FALSE(inst.isReady());
  ASSERT_TRUE(inst.setInOutputData(&in[1], 1, outs + 2, 2));
  ASSERT_TRUE(inst.isReady());
  ASSERT_TRUE(inst.build());
  EXPECT_FALSE(inst.build());   // once only
  EXPECT_EQ(3u, inst.archiveCount());
  EXPECT_EQ(128u, blockSize(inst.address()));
  auto* rm = inst.getInstructionArchive(3)->opArg.get();
  auto* cp = inst.getInstructionArchive(4)->opArg.get();
  EXPECT_EQ(nullptr, inst.getInstructionArchive(4 | zenlar::qobl::PIPELINE_END_MASK));
  EXPECT_EQ(Addrs{in[0]}, rm->getInputs(0, 0));
  EXPECT_EQ(Addrs{in[1]}, rm->getInputs(0, 1));
  EXPECT_EQ(rm->getOutputs(0, 1), cp->getInputs(0, 1));
  EXPECT_EQ((Addrs{0xC3, 0xC4}), cp->getOutputs(0, 1));

  // One record per op after the input op: streamId, uid (end mark on the last), typeId, opFlag, opTotalNum,
  // and the argument array.
  std::vector<uint8_t> dev(128);
  ASSERT_EQ(0, qobcrt_memcpy_d2h(0, inst.address(), dev.size(), dev.data()));
  auto u32 = [&](size_t rec, size_t off) {
    uint32_t v;
    std::memcpy(&v, dev.data() + 64 * rec + off, 4);
    return v;
  };
  const struct {
    std::vector<uint32_t> fields;
    uint64_t args;
  } want[] = {{{3, 3, 20000, 0x11, 2}, rm->address()}, {{3, 4 | 0x80000000u, 40000, 1, 2}, cp->address()}};
  for (size_t r = 0; r < 2; ++r) {
    EXPECT_EQ(0, std::memcmp(dev.data() + 64 * r, "#$%&", 4));
    EXPECT_EQ(want[r].fields, (std::vector<uint32_t>{u32(r, 4), u32(r, 12), u32(r, 16), u32(r, 44), u32(r, 48)}));
    uint64_t args;
    std::memcpy(&args, dev.data() + 64 * r + 28, 8);
    EXPECT_EQ(want[r].args, args);
  }
}

TEST_F(RunStreamInstructionTest, OutputsAreSplitOverLeafOpsInOrder) {
  FakeStreamOp* in = p_.add(qobeOP_INPUT_OP, 1, nullptr, 1, 1);
  p_.add(21, 2, in, 1, 1)->leaf_ = true;
  p_.add(21, 3, in, 1, 2)->leaf_ = true;
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

class ReleaseTest : public RunStreamInstructionTest {
 protected:
  void SetUp() override {
    RunStreamInstructionTest::SetUp();
    pipeline(2, true, {32});
  }
  void fill(RunStreamInstruction& inst, int sets) {
    for (int s = 0; s < sets; ++s) {
      uint64_t in = 0xC0000100 + s, out = 0xC0001000 + s;
      ASSERT_TRUE(inst.setInOutputData(&in, 1, &out, 1));
    }
  }
};

TEST_F(ReleaseTest, DiscardedAndBuiltRunsReleaseEverythingTheyHold) {
  auto inst = std::make_unique<RunStreamInstruction>(kDataset, irs_, 0);
  fill(*inst, 1);
  // Discarded while collecting: the pre-processing and memory-copy configurations, the pre-processing buffer.
  EXPECT_EQ((Live{base_.stream + 2, base_.inout, base_.ddr + 1}), live());
  LogCapture log;
  inst.reset();
  EXPECT_EQ(base_, live());

  inst = std::make_unique<RunStreamInstruction>(kDataset, irs_, 0);
  fill(*inst, 2);
  ASSERT_TRUE(inst->build());
  // 2 + 2 configurations, 3 arrays and the records' block; 2 buffers; 2 pre-processing and 2 model outputs.
  EXPECT_EQ((Live{base_.stream + 8, base_.inout + 4, base_.ddr + 2}), live());
  p_.destroy();   // the built run outlives its records and stream ops
  inst.reset();
  EXPECT_EQ(base_, live());
  EXPECT_TRUE(log.errors().empty());
}

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
TEST_F(ReleaseTest, ResetInstructionsReleaseEverythingAndBuildLikeNewOnes) {
  RunStreamInstruction inst(kDataset, irs_, 0);
  const Live built{base_.stream + 8, base_.inout + 4, base_.ddr + 2};
  LogCapture log;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    inst.reset(kDataset + 1 + round);
    EXPECT_EQ(kDataset + 1 + round, inst.datesetId());
    EXPECT_EQ(0u, inst.address());
    EXPECT_FALSE(inst.isReady());
    fill(inst, 1);
    EXPECT_FALSE(inst.isReady());
    EXPECT_EQ((Live{base_.stream + 2, base_.inout, base_.ddr + 1}), live());
    if (round == 1) {
      inst.reset(kDataset);   // discarded while collecting
      EXPECT_EQ(base_, live());
      fill(inst, 1);
    }
    uint64_t in = 0xC0000105, out = 0xC0001005;   // the second loop's set
    ASSERT_TRUE(inst.setInOutputData(&in, 1, &out, 1));
    ASSERT_TRUE(inst.isReady());
    if (round == 2) {   // the records' block cannot be had: the half-built run goes with the next reset
      ASSERT_EQ(0, qobcrt_sim_fail_call("qobcrt_malloc_stream", 4, rtErrInjected));
      EXPECT_FALSE(inst.build());
      qobcrt_sim_clear_faults();
      EXPECT_EQ(0u, inst.address());
      continue;
    }
    ASSERT_TRUE(inst.build());
    EXPECT_FALSE(inst.build());
    EXPECT_EQ(built, live());
    EXPECT_EQ(4u, inst.archiveCount());
    EXPECT_EQ(128u + 64u, blockSize(inst.address()));
    EXPECT_EQ(Addrs{0xC0000100}, inst.getInstructionArchive(2)->opArg->getInputs(0, 0));
    EXPECT_EQ(Addrs{0xC0000105}, inst.getInstructionArchive(2)->opArg->getInputs(1, 0));
    EXPECT_EQ(Addrs{0xC0001005}, inst.getInstructionArchive(4)->opArg->getOutputs(0, 1));
  }
  inst.reset(kDataset);
  EXPECT_EQ(base_, live());
  for (const std::string& e : log.errors()) EXPECT_EQ(std::string::npos, e.find("free")) << e;
}

TEST(DatasetIdTest, StartsInItsRandomRangeAndCountsUpAcrossThreads) {
  // Nothing else in this program draws dataset ids, so this is the process's first.
  const uint32_t first = zenlar::qobl::DatasetId::generateId();
  EXPECT_GE(first, 22u);
  EXPECT_LE(first, 1011u);
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
