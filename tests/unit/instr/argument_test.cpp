// Argument arrays on the simulated card: pointer order, header and block size as the card reads them,
// output blocks by kind, failure messages, and that destroying an argument releases exactly what it owns.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "instr_fakes.h"
#include "op_argument/op_argument_factory.h"
#include "op_argument/op_input_argument.h"
#include "op_instruction.h"

using namespace instrtest;
using zenlar::qobl::IOpArgument;
using zenlar::qobl::OpInputArgument;
using zenlar::qobl::OpIRBuffer;
using zenlar::qobl::OpIRInstruction;
using zenlar::qobl::QoblOpArgumentFactory;

namespace {

constexpr uint32_t kDataset = 77;
using Addrs = std::vector<uint64_t>;

std::unique_ptr<IOpArgument> argOf(OpIRInstruction* ir) {
  return std::unique_ptr<IOpArgument>(QoblOpArgumentFactory::createOpArgument(ir, kDataset));
}

Addrs listOf(IOpArgument* a) {
  Addrs out;
  for (uint32_t i = 0; i < a->getArgArraySize(); ++i) out.push_back(a->getPointerInArgArray(i));
  return out;
}

// One buffer per loop from the op, as the run-stream instruction gathers them.
std::vector<OpIRBuffer> gather(FakeStreamOp& op, uint32_t loops) {
  std::vector<OpIRBuffer> list;
  for (uint32_t l = 0; l < loops; ++l) list.push_back(OpIRBuffer{op.getConfigAddressList(), op.getBufferAddresses()});
  return list;
}

class ArgumentTest : public LiveBlocksTest {
 protected:

  // An input op with `inputs` tensors and `loops` loops, and its argument filled with addresses 0x100, ...
  std::unique_ptr<IOpArgument> inputArg(uint32_t inputs, uint32_t loops, uint32_t filled) {
    inOp_.opType_ = qobeOP_INPUT_OP;
    inOp_.inputCount_ = inOp_.outputCount_ = inputs;
    inOp_.loopCount_ = loops;
    inIr_.reset(new OpIRInstruction(&inOp_, 0));
    auto arg = argOf(inIr_.get());
    auto* in = dynamic_cast<OpInputArgument*>(arg.get());
    EXPECT_NE(nullptr, in);
    for (uint32_t l = 0; l < filled; ++l) {
      Addrs set;
      for (uint32_t i = 0; i < inputs; ++i) set.push_back(0x100 + 0x10 * (l * inputs + i));
      EXPECT_TRUE(in->addInputArg(set.data(), inputs));
    }
    return arg;
  }

  FakeStreamOp inOp_;
  std::unique_ptr<OpIRInstruction> inIr_;
};

TEST_F(ArgumentTest, CommonOpListsConfigsThenInputsAndOutputsAndReleasesEverythingItOwns) {
  for (bool feedsRunModel : {true, false}) {
    SCOPED_TRACE(feedsRunModel ? "feeds a run-model op" : "feeds another op");
    auto in = inputArg(1, 2, 2);
    FakeStreamOp op;
    op.opType_ = qobeOP_PREPROCESS_OP;
    op.loopCount_ = 2;
    op.configCount_ = op.inputCount_ = op.outputCount_ = op.bufferCount_ = 1;
    op.outputSizes_ = {48};
    op.runmodelInput_ = feedsRunModel;
    op.configMode_ = FakeStreamOp::kFresh;
    OpIRInstruction ir(&op, 1);
    auto arg = argOf(&ir);
    ASSERT_TRUE(adoptAndBuild(*arg, in.get(), gather(op, 2), {}));

    // Both loops' configurations, then per loop its input and its output; a block of (6 + 3) * 8 bytes.
    const Addrs list = listOf(arg.get());
    ASSERT_EQ(6u, list.size());
    EXPECT_EQ((Addrs{op.madeConfigs_[0], op.madeConfigs_[1], 0x100, list[3], 0x110, list[5]}), list);
    EXPECT_EQ(Addrs{list[5]}, arg->getOutputs(1, 0));
    EXPECT_EQ(Addrs{0x110}, arg->getInputs(1, 0));
    for (uint64_t out : {list[3], list[5]}) {
      uint32_t kind = 99;
      EXPECT_EQ(48u, blockSize(out, &kind));
      EXPECT_EQ(feedsRunModel ? QOBCRT_SIM_INOUT : QOBCRT_SIM_DDR_SHARE, static_cast<int>(kind));
      EXPECT_EQ(48u, arg->getOutputSize(out));
    }
    EXPECT_EQ(0u, arg->getOutputSize(list[2]));   // an input is not an output block of ours
    EXPECT_EQ(72u, blockSize(arg->address()));
    expectArgsOnCard(arg->address(), {2, 1, 1, 1, 1}, list);
    // 2 configurations, 2 buffers, 2 outputs and the array were made for this argument; all go with it.
    EXPECT_EQ(base_.ddr + 2 + (feedsRunModel ? 0 : 2), live().ddr);
    LogCapture log;
    arg.reset();
    EXPECT_EQ(base_, live());
    EXPECT_TRUE(log.errors().empty());
  }
}

TEST_F(ArgumentTest, LeafOpTakesExactlyTheApplicationsOutputsAndNeverReleasesThem) {
  auto in = inputArg(1, 2, 2);
  FakeStreamOp op;
  op.opType_ = 21;
  op.loopCount_ = 2;
  op.inputCount_ = op.outputCount_ = 1;
  op.leaf_ = true;
  OpIRInstruction ir(&op, 1);
  const std::vector<OpIRBuffer> buffers(2);
  LogCapture log;
  EXPECT_FALSE(adoptAndBuild(*argOf(&ir), in.get(), buffers, {}));
  EXPECT_FALSE(adoptAndBuild(*argOf(&ir), in.get(), buffers, {0xC0000100}));   // one loop's worth only
  auto arg = argOf(&ir);
  ASSERT_TRUE(adoptAndBuild(*arg, in.get(), buffers, {0xC0000100, 0xC0000200}));
  EXPECT_EQ((Addrs{0x100, 0xC0000100, 0x110, 0xC0000200}), listOf(arg.get()));
  EXPECT_EQ(0u, arg->getOutputSize(0xC0000100));
  arg.reset();
  EXPECT_TRUE(log.errors().empty());   // releasing an application address would have failed loudly
}

TEST_F(ArgumentTest, InputArgumentTakesOneSetPerLoop) {
  const uint64_t ab[] = {0xa, 0xb};
  auto arg = inputArg(1, 2, 0);
  auto* in = static_cast<OpInputArgument*>(arg.get());
  LogCapture log;
  EXPECT_FALSE(in->addInputArg(ab, 2));
  EXPECT_TRUE(log.has("Real input shape mismatch with the shape of stream. \n"));
  EXPECT_TRUE(in->addInputArg(ab, 1));
  EXPECT_FALSE(in->isBufferReady());   // the refused set did not count as a loop
  EXPECT_TRUE(in->addInputArg(ab + 1, 1));
  EXPECT_TRUE(in->isBufferReady());
  EXPECT_EQ(Addrs{0xb}, in->getOutputs(1, 0));
  EXPECT_FALSE(in->addInputArg(ab, 1));
  EXPECT_TRUE(log.has("Input buffer overflow. \n"));
}

class RunModelArgumentTest : public ArgumentTest {
 protected:
  // A run-model op of the model under the input op, with B, counts and output sizes from the model.
  void makeOp(uint32_t batch, uint32_t outputs, std::vector<int64_t> sizes, bool leaf = false) {
    model_.batch = batch;
    model_.setOutputSizes(sizes);
    op_.opType_ = qobeOP_RUN_MODEL_OP;
    op_.typeId_ = 20000;
    op_.model_ = &model_;
    op_.configCount_ = 1;
    op_.batchSize_ = batch;
    op_.inputCount_ = 1;
    op_.outputCount_ = outputs;
    op_.outputSizes_.assign(sizes.begin(), sizes.end());
    op_.leaf_ = leaf;
    op_.configMode_ = FakeStreamOp::kModel;
    ir_.reset(new OpIRInstruction(&op_, 1));
  }
  std::unique_ptr<IOpArgument> build(IOpArgument* in, const Addrs& outputs, bool expect) {
    auto arg = argOf(ir_.get());
    EXPECT_EQ(expect, adoptAndBuild(*arg, in, gather(op_, 1), outputs));
    return arg;
  }

  FakeModel model_;
  FakeStreamOp op_;
  std::unique_ptr<OpIRInstruction> ir_;
};

TEST_F(RunModelArgumentTest, FourBatchPositionsOfOneInputAndTwoOutputsMakeThirteenPointers) {
  makeOp(4, 2, {40, 24});
  auto in = inputArg(1, 4, 4);
  auto arg = build(in.get(), {}, true);
  const Addrs list = listOf(arg.get());
  ASSERT_EQ(13u, list.size());
  EXPECT_EQ(128u, blockSize(arg->address()));
  EXPECT_EQ(model_.addr, list[0]);
  for (uint32_t b = 0; b < 4; ++b) {
    EXPECT_EQ(0x100u + 0x10 * b, list[1 + 3 * b]);
    EXPECT_EQ((Addrs{list[2 + 3 * b], list[3 + 3 * b]}), arg->getOutputs(0, b));
    uint32_t kind = 99;
    EXPECT_EQ(40u, blockSize(list[2 + 3 * b], &kind));
    EXPECT_EQ(QOBCRT_SIM_INOUT, static_cast<int>(kind));
    EXPECT_EQ(24u, arg->getOutputSize(list[3 + 3 * b]));
  }
  expectArgsOnCard(arg->address(), {1, 4, 1, 1, 2}, list);

  // Destroying it releases the 4 x 2 inout blocks and the array, nothing else (not the model's address).
  EXPECT_EQ((Live{base_.stream + 1, base_.inout + 8, base_.ddr}), live());
  LogCapture log;
  arg.reset();
  EXPECT_EQ(base_, live());
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(RunModelArgumentTest, TooFewInputsOrApplicationOutputsFailTheBuild) {
  makeOp(4, 1, {16});
  {
    LogCapture log;
    auto in = inputArg(1, 3, 3);   // three addresses for four batch positions
    build(in.get(), {}, false);
    EXPECT_TRUE(log.has("Failed to build run model argument because input count of run model op mismatch with "
                        "output count of input op.\n"));
  }
  makeOp(2, 2, {8, 8}, true);
  LogCapture log;
  auto in = inputArg(1, 2, 2);
  auto arg = build(in.get(), {0xC0000100, 0xC0000200, 0xC0000300}, false);
  EXPECT_TRUE(log.has("Failed to build run model argument because user input output address count is not enough.\n"));
  EXPECT_EQ((Addrs{0xC0000100, 0xC0000200}), arg->getOutputs(0, 0));   // position 0 was complete
}

TEST_F(RunModelArgumentTest, CopyMemArgumentGathersTheModelsOutputsPositionByPosition) {
  makeOp(1, 2, {40, 24});
  auto in = inputArg(1, 1, 1);
  auto rm = build(in.get(), {}, true);
  FakeStreamOp copy;
  copy.opType_ = qobeOP_MEM_COPY_OP;
  copy.model_ = &model_;
  copy.configCount_ = 1;
  copy.configMode_ = FakeStreamOp::kFresh;
  OpIRInstruction ir(&copy, 2);
  const Live beforeCopy = live();
  auto arg = argOf(&ir);
  ASSERT_TRUE(adoptAndBuild(*arg, rm.get(), gather(copy, 1), {}));
  const Addrs list = listOf(arg.get());
  ASSERT_EQ(5u, list.size());
  const Addrs rmOut = rm->getOutputs(0, 0);
  EXPECT_EQ((Addrs{copy.madeConfigs_[0], rmOut[0], rmOut[1], list[3], list[4]}), list);
  EXPECT_EQ(64u, blockSize(arg->address()));
  uint32_t kind = 99;
  EXPECT_EQ(24u, blockSize(list[4], &kind));
  EXPECT_EQ(QOBCRT_SIM_DDR_SHARE, static_cast<int>(kind));
  expectArgsOnCard(arg->address(), {1, 1, 1, 2, 2}, list);
  arg.reset();
  EXPECT_EQ(beforeCopy, live());   // the configuration block and both outputs went with the array

  // A model output of size 0 gets the address 0 and no block.
  model_.setOutputSizes({40, 0});
  arg = argOf(&ir);
  ASSERT_TRUE(adoptAndBuild(*arg, rm.get(), gather(copy, 1), {}));
  EXPECT_EQ(0u, arg->getPointerInArgArray(4));
  EXPECT_NE(0u, arg->getPointerInArgArray(3));
  EXPECT_EQ(beforeCopy.ddr + 1, live().ddr);
  arg.reset();

  copy.leaf_ = true;
  OpIRInstruction leafIr(&copy, 2);
  LogCapture log;
  EXPECT_FALSE(adoptAndBuild(*argOf(&leafIr), rm.get(), gather(copy, 1), {0xC0000100}));
  EXPECT_EQ((std::vector<std::string>{"Mismatch output address count, expected 2 but 1 is specified.\n"}),
            log.errors());
  EXPECT_EQ(beforeCopy, live());
}

// Every card call of a run-model argument's build, failed in turn: an error is logged and destroying the
// argument leaks nothing.
TEST_F(RunModelArgumentTest, InjectedDeviceFailuresFailTheBuildAndLeakNothing) {
  makeOp(2, 2, {40, 24});
  auto probe = inputArg(1, 2, 2);
  const auto points = qobltest::callPoints([&] { build(probe.get(), {}, true); });
  probe.reset();
  ASSERT_GE(points.size(), 4u);
  for (const qobltest::CallPoint& p : points) {
    if (p.call.find("free") != std::string::npos) continue;  // a build frees nothing
    SCOPED_TRACE(testing::Message() << p);
    auto in = inputArg(1, 2, 2);
    LogCapture log;
    ASSERT_EQ(0, qobcrt_sim_fail_call(p.call.c_str(), p.nth, rtErrInjected));
    auto arg = build(in.get(), {}, false);
    qobcrt_sim_clear_faults();
    EXPECT_FALSE(log.errors().empty());
    arg.reset();
    in.reset();
    EXPECT_EQ(base_, live());
  }
}

}  // namespace
