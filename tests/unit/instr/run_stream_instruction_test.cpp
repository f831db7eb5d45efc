// Op records and run-stream instructions: the record bytes, the run block as the card reads it, output
// distribution over leaf ops, readiness over loops, and release of every device block in every state.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "instr_fakes.h"
#include "op_dg_node.h"
#include "op_instruction.h"
#include "stream_instruction.h"

using namespace instrtest;
using zenlar::qobl::InstructionArchive;
using zenlar::qobl::IOpArgument;
using zenlar::qobl::OpDGNode;
using zenlar::qobl::OpInstruction;
using zenlar::qobl::OpIRInstruction;
using zenlar::qobl::RunStreamInstruction;

namespace {

constexpr uint32_t kDataset = 4242;

// A pipeline of fake ops, each wrapped in a graph node (which owns it), with one IR record per node.
class Pipeline {
 public:
  FakeStreamOp* add(uint32_t opType, uint32_t uid, FakeStreamOp* parent) {
    auto* op = new FakeStreamOp;
    op->opType_ = opType;
    op->uid_ = uid;
    op->streamId_ = 3;
    op->inOp_ = parent;
    op->name_ = "op" + std::to_string(uid);
    nodes_.emplace_back(new OpDGNode(op));
    return op;
  }
  // Snapshots every node; call once the ops are configured.
  std::vector<OpIRInstruction*> records() {
    irs_.clear();
    for (size_t i = 0; i < nodes_.size(); ++i) {
      irs_.emplace_back(new OpIRInstruction(nodes_[i].get(), static_cast<uint32_t>(i)));
    }
    std::vector<OpIRInstruction*> out;
    for (auto& ir : irs_) out.push_back(ir.get());
    return out;
  }
  OpIRInstruction* ir(size_t i) { return irs_[i].get(); }
  // Drops the records and the nodes with their stream ops, as a torn-down stream and graph would.
  void destroy() {
    irs_.clear();
    nodes_.clear();
  }

 private:
  std::vector<std::unique_ptr<OpDGNode>> nodes_;
  std::vector<std::unique_ptr<OpIRInstruction>> irs_;
};

// The run block as the card holds it.
struct DeviceRecords {
  std::vector<uint8_t> bytes;
  uint32_t u32(size_t rec, size_t off) const {
    uint32_t v;
    std::memcpy(&v, bytes.data() + 64 * rec + off, 4);
    return v;
  }
  uint64_t u64(size_t rec, size_t off) const {
    uint64_t v;
    std::memcpy(&v, bytes.data() + 64 * rec + off, 8);
    return v;
  }
};
DeviceRecords readRecords(uint64_t addr, size_t count) {
  DeviceRecords r;
  r.bytes.resize(64 * count);
  EXPECT_EQ(0, qobcrt_memcpy_d2h(0, addr, r.bytes.size(), r.bytes.data()));
  return r;
}

class RunStreamInstructionTest : public testing::Test {
 protected:
  void SetUp() override {
    qobcrt_sim_clear_faults();
    base_ = live();
  }
  void TearDown() override {
    qobcrt_sim_clear_faults();
    EXPECT_EQ(base_, live()) << "device blocks leaked";
  }

  // input (uid 10) -> run-model (11, non-leaf, model with 2 outputs) -> memory-copy (12, leaf).
  void threeOps(uint32_t inputLoops = 1) {
    model_.batch = inputLoops;
    model_.outputs = 2;
    model_.outputSizes = {40, 24};
    in_ = p_.add(qobeOP_INPUT_OP, 10, nullptr);
    in_->inputCount_ = in_->outputCount_ = 1;
    in_->loopCount_ = inputLoops;
    rm_ = p_.add(qobeOP_RUN_MODEL_OP, 11, in_);
    rm_->typeId_ = 20000;
    rm_->model_ = &model_;
    rm_->configCount_ = 1;
    rm_->configMode_ = FakeStreamOp::kModel;
    rm_->batchSize_ = model_.batch;
    rm_->inputCount_ = 1;
    rm_->outputCount_ = 2;
    rm_->outputSizes_ = {40, 24};
    cp_ = p_.add(qobeOP_MEM_COPY_OP, 12, rm_);
    cp_->typeId_ = 40000;
    cp_->model_ = &model_;
    cp_->configCount_ = 1;
    cp_->configMode_ = FakeStreamOp::kFresh;
    cp_->batchSize_ = model_.batch;
    cp_->inputCount_ = cp_->outputCount_ = 2;
    cp_->leaf_ = true;
  }

  Live base_;
  FakeModel model_;
  Pipeline p_;
  FakeStreamOp* in_ = nullptr;
  FakeStreamOp* rm_ = nullptr;
  FakeStreamOp* cp_ = nullptr;
};

TEST_F(RunStreamInstructionTest, RecordBytesAndSnapshots) {
  FakeStreamOp* in = p_.add(qobeOP_INPUT_OP, 5, nullptr);
  FakeStreamOp* op = p_.add(qobeOP_RUN_MODEL_OP, 7, in);
  op->typeId_ = 20000;
  const auto irs = p_.records();
  EXPECT_EQ(0u, irs[0]->inputOpUid);
  EXPECT_EQ(5u, irs[1]->inputOpUid);
  EXPECT_EQ(static_cast<uint32_t>(zenlar::qobe::COMMON_FLAG), irs[1]->opFlag);
  EXPECT_EQ(0u, irs[1]->sequenceId);
  op->uid_ = 99;   // a snapshot: later changes of the stream op do not reach it
  EXPECT_EQ(7u, irs[1]->uid);

  const OpInstruction rec(*irs[1], 5);
  const uint8_t expected[64] = {0x23, 0x24, 0x25, 0x26, 3, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0x20, 0x4E, 0, 0,
                                0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0, 0,
                                0,    0,    0,    0,    1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0, 0,
                                0,    0,    0,    0};
  EXPECT_EQ(0, std::memcmp(expected, &rec, 64));
}

TEST_F(RunStreamInstructionTest, RunBlockHoldsOneRecordPerOpWithTheEndMarkOnTheLast) {
  threeOps();
  const auto irs = p_.records();
  irs[1]->opFlag |= zenlar::qobe::GET_OUTPUT_FLAG;
  auto inst = std::make_unique<RunStreamInstruction>(kDataset, irs, 0);
  uint64_t input = 0xC0000100;
  uint64_t outputs[] = {0xC0000200, 0xC0000300};
  EXPECT_FALSE(inst->isReady());
  ASSERT_TRUE(inst->setInOutputData(&input, 1, outputs, 2));
  ASSERT_TRUE(inst->isReady());
  EXPECT_EQ(0u, inst->address());
  ASSERT_TRUE(inst->build());
  EXPECT_EQ(kDataset, inst->datesetId());
  EXPECT_EQ(3u, inst->archiveCount());
  EXPECT_EQ(128u, blockSize(inst->address()));

  InstructionArchive* a0 = inst->getInstructionArchive(10);
  InstructionArchive* a1 = inst->getInstructionArchive(11);
  InstructionArchive* a2 = inst->getInstructionArchive(12);
  ASSERT_TRUE(a0 != nullptr && a1 != nullptr && a2 != nullptr);
  EXPECT_EQ(nullptr, a0->instruction);
  EXPECT_EQ(std::vector<uint64_t>{input}, a0->opArg->getOutputs(0, 0));
  EXPECT_EQ(irs[2], a2->opIr);
  EXPECT_EQ(nullptr, inst->getInstructionArchive(12 | zenlar::qobl::PIPELINE_END_MASK));
  EXPECT_EQ(nullptr, inst->getInstructionArchive(999));

  const DeviceRecords dev = readRecords(inst->address(), 2);
  for (size_t r = 0; r < 2; ++r) {
    EXPECT_EQ(0, std::memcmp(dev.bytes.data() + 64 * r, "#$%&", 4));
    EXPECT_EQ(3u, dev.u32(r, 4));
    EXPECT_EQ(2u, dev.u32(r, 48));   // opTotalNum
  }
  EXPECT_EQ(11u, dev.u32(0, 12));
  EXPECT_EQ(20000u, dev.u32(0, 16));
  EXPECT_EQ(0x11u, dev.u32(0, 44));
  EXPECT_EQ(a1->opArg->address(), dev.u64(0, 28));
  EXPECT_EQ(12u | 0x80000000u, dev.u32(1, 12));
  EXPECT_EQ(1u, dev.u32(1, 44));
  EXPECT_EQ(a2->opArg->address(), dev.u64(1, 28));
  // The leaf memory-copy op writes the application's addresses, reading the run-model op's outputs.
  const std::vector<uint64_t> rmOut = a1->opArg->getOutputs(0, 0);
  EXPECT_EQ(rmOut, a2->opArg->getInputs(0, 0));
  EXPECT_EQ((std::vector<uint64_t>{outputs[0], outputs[1]}), a2->opArg->getOutputs(0, 0));

  const std::string text = inst->printText();
  EXPECT_NE(std::string::npos, text.find("\n=========== op instruction info ===========\nOp StreamId: 3\nOp TypeId: "
                                         "40000\nOp Uid: 12\nOp Name: op12\n---- Arguments"));
  char line[80];
  std::snprintf(line, sizeof line, "Op Input  0-0-1: %p\nOp Output 0-0-0: %p\n",
                reinterpret_cast<void*>(static_cast<uintptr_t>(rmOut[1])),
                reinterpret_cast<void*>(static_cast<uintptr_t>(outputs[0])));
  EXPECT_NE(std::string::npos, text.find(line)) << text;
  EXPECT_NE(std::string::npos, text.find("Op Output Cout: 2\nOp Config 0-0: "));
}

TEST_F(RunStreamInstructionTest, OutputsAreSplitOverLeafOpsInOrder) {
  FakeStreamOp* in = p_.add(qobeOP_INPUT_OP, 1, nullptr);
  in->inputCount_ = in->outputCount_ = 1;
  for (uint32_t uid : {2u, 3u}) {
    FakeStreamOp* leaf = p_.add(21, uid, in);
    leaf->inputCount_ = 1;
    leaf->outputCount_ = uid - 1;
    leaf->leaf_ = true;
  }
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
  EXPECT_EQ(std::vector<uint64_t>{0xA}, inst.getInstructionArchive(2)->opArg->getOutputs(0, 0));
  EXPECT_EQ((std::vector<uint64_t>{0xB, 0xC}), inst.getInstructionArchive(3)->opArg->getOutputs(0, 0));
  EXPECT_FALSE(inst.build());   // once only
}

TEST_F(RunStreamInstructionTest, ReadyOnlyWhenEveryLoopOfTheInputOpHasItsInputs) {
  threeOps(2);   // input op with 2 loops feeding a model of batch 2
  RunStreamInstruction inst(kDataset, p_.records(), 0);
  uint64_t in0 = 0xC0000100, in1 = 0xC0000200;
  uint64_t outs0[] = {0xC1, 0xC2, 0xC3, 0xC4};   // two outputs per input, one input per call
  ASSERT_TRUE(inst.setInOutputData(&in0, 1, outs0, 2));
  EXPECT_FALSE(inst.isReady());
  ASSERT_TRUE(inst.setInOutputData(&in1, 1, outs0 + 2, 2));
  EXPECT_TRUE(inst.isReady());
  ASSERT_TRUE(inst.build());
  IOpArgument* rm = inst.getInstructionArchive(11)->opArg;
  EXPECT_EQ(std::vector<uint64_t>{in0}, rm->getInputs(0, 0));
  EXPECT_EQ(std::vector<uint64_t>{in1}, rm->getInputs(0, 1));
  IOpArgument* cp = inst.getInstructionArchive(12)->opArg;
  EXPECT_EQ((std::vector<uint64_t>{0xC3, 0xC4}), cp->getOutputs(0, 1));
  // Two loops gathered two configuration copies for the memory-copy op; its argument owns both.
  EXPECT_EQ(2u, cp_->madeConfigs_.size());
  for (uint64_t c : cp_->madeConfigs_) EXPECT_EQ(64u, blockSize(c));
}

// input (L=2) -> pre-processing op (fresh configuration and buffer per loop, feeds the model)
//   -> run-model (batch 2, non-leaf) -> memory-copy (leaf, fresh configuration per loop)
class ReleaseTest : public RunStreamInstructionTest {
 protected:
  void SetUp() override {
    RunStreamInstructionTest::SetUp();
    model_.batch = 2;
    model_.outputs = 1;
    model_.outputSizes = {32};
    FakeStreamOp* in = p_.add(qobeOP_INPUT_OP, 1, nullptr);
    in->inputCount_ = in->outputCount_ = 1;
    in->loopCount_ = 2;
    pre_ = p_.add(qobeOP_PREPROCESS_OP, 2, in);
    pre_->typeId_ = 30000;
    pre_->loopCount_ = 2;
    pre_->configCount_ = pre_->bufferCount_ = pre_->inputCount_ = pre_->outputCount_ = 1;
    pre_->outputSizes_ = {16};
    pre_->runmodelInput_ = true;
    pre_->configMode_ = FakeStreamOp::kFresh;
    FakeStreamOp* rm = p_.add(qobeOP_RUN_MODEL_OP, 3, pre_);
    rm->typeId_ = 20000;
    rm->model_ = &model_;
    rm->configCount_ = 1;
    rm->configMode_ = FakeStreamOp::kModel;
    rm->batchSize_ = 2;
    rm->inputCount_ = rm->outputCount_ = 1;
    rm->outputSizes_ = {32};
    cp_ = p_.add(qobeOP_MEM_COPY_OP, 4, rm);
    cp_->typeId_ = 40000;
    cp_->model_ = &model_;
    cp_->configCount_ = 1;
    cp_->configMode_ = FakeStreamOp::kFresh;
    cp_->batchSize_ = 2;
    cp_->inputCount_ = cp_->outputCount_ = 1;
    cp_->leaf_ = true;
    irs_ = p_.records();
  }
  void fill(RunStreamInstruction& inst, int sets) {
    for (int s = 0; s < sets; ++s) {
      uint64_t in = 0xC0000100 + s;
      uint64_t out = 0xC0001000 + s;
      ASSERT_TRUE(inst.setInOutputData(&in, 1, &out, 1));
    }
  }
  FakeStreamOp* pre_ = nullptr;
  std::vector<OpIRInstruction*> irs_;
};

TEST_F(ReleaseTest, DiscardingWhileCollectingReleasesTheGatheredBlocks) {
  auto inst = std::make_unique<RunStreamInstruction>(kDataset, irs_, 0);
  fill(*inst, 1);
  EXPECT_FALSE(inst->isReady());
  EXPECT_EQ(base_.stream + 2, live().stream);   // pre-processing and memory-copy configurations
  EXPECT_EQ(base_.ddr + 1, live().ddr);         // pre-processing buffer
  LogCapture log;
  inst.reset();
  EXPECT_EQ(base_, live());
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(ReleaseTest, FailedBuildsReleaseEverythingOnce) {
  struct Case {
    const char* call;
    uint32_t nth;
    const char* message;
  };
  // During a build: arrays of the pre-processing, run-model and memory-copy ops, then the records' block;
  // two copies per array, then one per record.
  const Case cases[] = {
      {"qobcrt_malloc_inout", 3, "Can't generate Op op3's input argument array. \n"},
      {"qobcrt_malloc_stream", 1, "Can't generate Op op2's input argument array. \n"},
      {"qobcrt_malloc_stream", 3, "Can't generate Op op4's input argument array. \n"},
      {"qobcrt_malloc_stream", 4, "Failed to malloc stream memory for stream in DDR. Error code is 500100.\n"},
      {"qobcrt_memcpy", 4, "Can't generate Op op3's input argument array. \n"},
      {"qobcrt_memcpy", 8, "Failed to copy Op instruction to stream in DDR. Error code is 500100 .\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
    auto inst = std::make_unique<RunStreamInstruction>(kDataset, irs_, 0);
    fill(*inst, 2);
    ASSERT_TRUE(inst->isReady());
    LogCapture log;
    ASSERT_EQ(0, qobcrt_sim_fail_call(c.call, c.nth, rtErrInjected));
    EXPECT_FALSE(inst->build());
    qobcrt_sim_clear_faults();
    EXPECT_TRUE(log.has(c.message));
    EXPECT_EQ(0u, inst->address());
    inst.reset();
    EXPECT_EQ(base_, live());
    for (const std::string& e : log.errors()) EXPECT_EQ(std::string::npos, e.find("free")) << e;
  }
}

TEST_F(ReleaseTest, BuiltRunOutlivesItsRecordsAndStreamOps) {
  auto inst = std::make_unique<RunStreamInstruction>(kDataset, irs_, 0);
  fill(*inst, 2);
  ASSERT_TRUE(inst->build());
  // 2 + 2 configurations, 2 buffers, 2 x 1 pre-processing outputs (inout), 2 model outputs (inout),
  // 2 memory-copy outputs are the application's, 3 arrays and the records' block.
  EXPECT_EQ(base_.stream + 4 + 3 + 1, live().stream);
  EXPECT_EQ(base_.ddr + 2, live().ddr);
  EXPECT_EQ(base_.inout + 4, live().inout);
  p_.destroy();
  LogCapture log;
  inst.reset();
  EXPECT_EQ(base_, live());
  EXPECT_TRUE(log.errors().empty());
}

}  // namespace

#include <algorithm>
#include <thread>

#include "op_dataset_id.h"

namespace {

TEST(DatasetIdTest, StartsInItsRandomRangeAndCountsUpAcrossThreads) {
  // Nothing else in this program draws dataset ids, so this is the process's first.
  const uint32_t first = zenlar::qobl::DatasetId::generateId();
  EXPECT_GE(first, 22u);
  EXPECT_LE(first, 1011u);
  std::vector<uint32_t> ids[4];
  std::vector<std::thread> threads;
  for (auto& list : ids) {
    threads.emplace_back([&list] {
      for (int i = 0; i < 500; ++i) list.push_back(zenlar::qobl::DatasetId::generateId());
    });
  }
  for (auto& t : threads) t.join();
  std::vector<uint32_t> all;
  for (const auto& list : ids) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(2000u, all.size());
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(first + 1 + i, all[i]);
}

}  // namespace
