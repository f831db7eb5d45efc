// Argument arrays on the simulated card: pointer order, header and block size as the card reads them,
// output blocks by kind, failure messages, and that destroying an argument releases exactly what it owns.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "instr_fakes.h"
#include "op_argument/op_argument_factory.h"
#include "op_argument/op_copy_mem_argument.h"
#include "op_argument/op_input_argument.h"
#include "op_argument/op_runmodel_argument.h"
#include "op_instruction.h"

using namespace instrtest;
using zenlar::qobl::IOpArgument;
using zenlar::qobl::OpInputArgument;
using zenlar::qobl::OpIRBuffer;
using zenlar::qobl::OpIRInstruction;
using zenlar::qobl::QoblOpArgumentFactory;

namespace {

constexpr uint32_t kDataset = 77;

class ArgumentTest : public testing::Test {
 protected:
  void SetUp() override {
    qobcrt_sim_clear_faults();
    base_ = live();
  }
  void TearDown() override {
    qobcrt_sim_clear_faults();
    EXPECT_EQ(base_, live()) << "device blocks leaked";
  }

  // An input op with `inputs` tensors and `loops` loops, and its argument filled with addresses 0x100, ...
  std::unique_ptr<IOpArgument> inputArg(uint32_t inputs, uint32_t loops, uint32_t filled) {
    inOp_.opType_ = qobeOP_INPUT_OP;
    inOp_.uid_ = 1;
    inOp_.inputCount_ = inOp_.outputCount_ = inputs;
    inOp_.loopCount_ = loops;
    inIr_.reset(new OpIRInstruction(&inOp_, 0));
    std::unique_ptr<IOpArgument> arg(QoblOpArgumentFactory::createOpArgument(inIr_.get(), kDataset));
    auto* in = dynamic_cast<OpInputArgument*>(arg.get());
    EXPECT_NE(nullptr, in);
    for (uint32_t l = 0; l < filled; ++l) {
      std::vector<uint64_t> set;
      for (uint32_t i = 0; i < inputs; ++i) set.push_back(0x100 + 0x10 * (l * inputs + i));
      EXPECT_TRUE(in->addInputArg(set.data(), inputs));
    }
    return arg;
  }

  // One buffer per loop from the op, as the run-stream instruction gathers them.
  static std::vector<OpIRBuffer> gather(FakeStreamOp& op, uint32_t loops) {
    std::vector<OpIRBuffer> list;
    for (uint32_t l = 0; l < loops; ++l) list.push_back(OpIRBuffer{op.getConfigAddressList(), op.getBufferAddresses()});
    return list;
  }

  Live base_;
  FakeStreamOp inOp_;
  std::unique_ptr<OpIRInstruction> inIr_;
};

std::vector<uint64_t> listOf(IOpArgument* a) {
  std::vector<uint64_t> out;
  for (uint32_t i = 0; i < a->getArgArraySize(); ++i) out.push_back(a->getPointerInArgArray(i));
  return out;
}

TEST_F(ArgumentTest, CommonOpListsConfigsThenInputsAndOutputsAndReleasesEverythingItOwns) {
  for (bool feedsRunModel : {true, false}) {
    SCOPED_TRACE(feedsRunModel ? "feeds a run-model op" : "feeds another op");
    auto in = inputArg(1, 2, 2);
    FakeStreamOp op;
    op.opType_ = qobeOP_PREPROCESS_OP;
    op.uid_ = 2;
    op.loopCount_ = 2;
    op.configCount_ = op.inputCount_ = op.outputCount_ = 1;
    op.bufferCount_ = 1;
    op.outputSizes_ = {48};
    op.runmodelInput_ = feedsRunModel;
    op.configMode_ = FakeStreamOp::kFresh;
    OpIRInstruction ir(&op, 1);
    std::unique_ptr<IOpArgument> arg(QoblOpArgumentFactory::createOpArgument(&ir, kDataset));
    ASSERT_TRUE(arg->buildOpArgArray(in.get(), gather(op, 2), {}));

    const std::vector<uint64_t> list = listOf(arg.get());
    ASSERT_EQ(6u, list.size());
    EXPECT_EQ(op.madeConfigs_[0], list[0]);
    EXPECT_EQ(op.madeConfigs_[1], list[1]);
    EXPECT_EQ(0x100u, list[2]);
    EXPECT_EQ(0x110u, list[4]);
    EXPECT_EQ(std::vector<uint64_t>{list[5]}, arg->getOutputs(1, 0));
    EXPECT_EQ(std::vector<uint64_t>{list[4]}, arg->getInputs(1, 0));
    EXPECT_EQ((std::vector<uint64_t>{list[0], list[1]}), arg->getConfigs());
    for (uint64_t out : {list[3], list[5]}) {
      uint32_t kind = 99;
      EXPECT_EQ(48u, blockSize(out, &kind));
      EXPECT_EQ(feedsRunModel ? QOBCRT_SIM_INOUT : QOBCRT_SIM_DDR_SHARE, static_cast<int>(kind));
      EXPECT_EQ(48u, arg->getOutputSize(out));
    }
    EXPECT_EQ(0u, arg->getOutputSize(list[2]));   // an input is not an output block of ours

    // What the card reads: header, then the list, in a block of (6 + 3) * 8 bytes.
    EXPECT_EQ(72u, blockSize(arg->address()));
    const DeviceArgs dev = readArgs(arg->address(), 6);
    EXPECT_EQ(0, std::memcmp(dev.header.data(), "*$%!", 4));
    EXPECT_EQ(2u, dev.field(1));
    EXPECT_EQ(1u, dev.field(2));
    EXPECT_EQ(1u, dev.field(3));
    EXPECT_EQ(1u, dev.field(4));
    EXPECT_EQ(1u, dev.field(5));
    EXPECT_EQ(list, dev.list);

    {
      LogCapture log;
      EXPECT_TRUE(arg->getOutputs(2, 0).empty());
      EXPECT_TRUE(arg->getInputs(0, 1).empty());
      EXPECT_FALSE(arg->setOutputArg(0, 0, 1, 5));
      EXPECT_EQ(0u, arg->getPointerInArgArray(6));
      const auto errors = log.errors();
      ASSERT_EQ(3u, errors.size());
      EXPECT_EQ("The parameter of setOutputArg is out of scope. loopIndex: 2, batchIndex: 0.\n", errors[0]);
      EXPECT_EQ("The parameter of setOutputArg is out of scope. loopIndex: 0, batchIndex: 0, outputIndex: 1.\n",
                errors[2]);
    }
    EXPECT_TRUE(arg->setOutputArg(1, 0, 0, 0xbeef));
    EXPECT_EQ(0xbeefu, arg->getPointerInArgArray(5));
    EXPECT_TRUE(arg->setOutputArg(1, 0, 0, list[5]));   // put it back: the block is released by address

    // 2 configurations, 2 buffers, 2 outputs and the array were made for this argument; all go with it.
    const Live built = live();
    EXPECT_EQ(base_.ddr + 2 + (feedsRunModel ? 0 : 2), built.ddr);
    LogCapture log;
    arg.reset();
    EXPECT_EQ(base_, live());
    EXPECT_TRUE(log.errors().empty());
  }
}

TEST_F(ArgumentTest, CommonLeafOpTakesTheApplicationsOutputsAndNeverReleasesThem) {
  auto in = inputArg(1, 2, 2);
  FakeStreamOp op;
  op.opType_ = 21;
  op.uid_ = 2;
  op.loopCount_ = 2;
  op.inputCount_ = op.outputCount_ = 1;
  op.leaf_ = true;
  OpIRInstruction ir(&op, 1);
  const std::vector<OpIRBuffer> buffers(2);
  {
    LogCapture log;
    std::unique_ptr<IOpArgument> arg(QoblOpArgumentFactory::createOpArgument(&ir, kDataset));
    EXPECT_FALSE(arg->buildOpArgArray(in.get(), buffers, {}));
    std::unique_ptr<IOpArgument> arg2(QoblOpArgumentFactory::createOpArgument(&ir, kDataset));
    EXPECT_FALSE(arg2->buildOpArgArray(in.get(), buffers, {0xC0000100}));   // one loop's worth only
    EXPECT_TRUE(log.errors().empty());
  }
  LogCapture log;
  std::unique_ptr<IOpArgument> arg(QoblOpArgumentFactory::createOpArgument(&ir, kDataset));
  ASSERT_TRUE(arg->buildOpArgArray(in.get(), buffers, {0xC0000100, 0xC0000200}));
  EXPECT_EQ((std::vector<uint64_t>{0x100, 0xC0000100, 0x110, 0xC0000200}), listOf(arg.get()));
  EXPECT_EQ(0u, arg->getOutputSize(0xC0000100));
  arg.reset();
  EXPECT_TRUE(log.errors().empty());   // releasing an application address would have failed loudly
}

TEST_F(ArgumentTest, InputArgumentPresentsEachLoopsInputsAsItsOutputs) {
  auto one = inputArg(2, 1, 0);
  auto* in = static_cast<OpInputArgument*>(one.get());
  const uint64_t ab[] = {0xa, 0xb};
  EXPECT_FALSE(in->isBufferReady());
  ASSERT_TRUE(in->addInputArg(ab, 2));
  EXPECT_EQ((std::vector<uint64_t>{0xa, 0xb, 0xa, 0xb}), listOf(in));
  EXPECT_EQ((std::vector<uint64_t>{0xa, 0xb}), in->getOutputs(0, 0));
  EXPECT_EQ(0u, in->configCount());
  EXPECT_TRUE(in->isBufferReady());

  auto two = inputArg(1, 2, 0);
  in = static_cast<OpInputArgument*>(two.get());
  LogCapture log;
  EXPECT_FALSE(in->addInputArg(ab, 2));
  EXPECT_TRUE(log.has("Real input shape mismatch with the shape of stream. \n"));
  EXPECT_TRUE(in->addInputArg(ab, 1));
  EXPECT_FALSE(in->isBufferReady());   // the refused set did not count as a loop
  EXPECT_TRUE(in->addInputArg(ab + 1, 1));
  EXPECT_TRUE(in->isBufferReady());
  EXPECT_EQ(std::vector<uint64_t>{0xb}, in->getOutputs(1, 0));
  EXPECT_FALSE(in->addInputArg(ab, 1));
  EXPECT_TRUE(log.has("Input buffer overflow. \n"));
  EXPECT_FALSE(in->isBufferReady());
  EXPECT_EQ(0u, in->address());
}

class RunModelArgumentTest : public ArgumentTest {
 protected:
  // A run-model op of `model` under the input op; B and the counts come from the model.
  void makeOp(bool leaf, uint32_t loops = 1) {
    op_.opType_ = qobeOP_RUN_MODEL_OP;
    op_.typeId_ = 20000;
    op_.uid_ = 2;
    op_.model_ = &model_;
    op_.loopCount_ = loops;
    op_.configCount_ = 1;
    op_.batchSize_ = model_.batch;
    op_.inputCount_ = model_.inputs;
    op_.outputCount_ = model_.outputs;
    op_.outputSizes_.clear();
    for (int64_t s : model_.outputSizes) op_.outputSizes_.push_back(static_cast<uint32_t>(s));
    op_.leaf_ = leaf;
    op_.configMode_ = FakeStreamOp::kModel;
    ir_.reset(new OpIRInstruction(&op_, 1));
  }
  std::unique_ptr<IOpArgument> build(IOpArgument* in, const std::vector<uint64_t>& outputs, bool expect) {
    std::unique_ptr<IOpArgument> arg(QoblOpArgumentFactory::createOpArgument(ir_.get(), kDataset));
    EXPECT_EQ(expect, arg->buildOpArgArray(in, gather(op_, op_.loopCount_), outputs));
    return arg;
  }

  FakeModel model_;
  FakeStreamOp op_;
  std::unique_ptr<OpIRInstruction> ir_;
};

TEST_F(RunModelArgumentTest, FourBatchPositionsOfOneInputAndTwoOutputsMakeThirteenPointers) {
  model_.batch = 4;
  model_.inputs = 1;
  model_.outputs = 2;
  model_.outputSizes = {40, 24};
  makeOp(false);
  auto in = inputArg(1, 4, 4);
  auto arg = build(in.get(), {}, true);
  ASSERT_EQ(13u, arg->getArgArraySize());
  EXPECT_EQ(128u, blockSize(arg->address()));
  const std::vector<uint64_t> list = listOf(arg.get());
  EXPECT_EQ(model_.address, list[0]);
  for (uint32_t b = 0; b < 4; ++b) {
    EXPECT_EQ(0x100u + 0x10 * b, list[1 + 3 * b]);
    const std::vector<uint64_t> outs = arg->getOutputs(0, b);
    ASSERT_EQ(2u, outs.size());
    EXPECT_EQ(list[2 + 3 * b], outs[0]);
    EXPECT_EQ(list[3 + 3 * b], outs[1]);
    EXPECT_EQ(40u, arg->getOutputSize(outs[0]));
    EXPECT_EQ(24u, arg->getOutputSize(outs[1]));
    uint32_t kind = 99;
    EXPECT_EQ(40u, blockSize(outs[0], &kind));
    EXPECT_EQ(QOBCRT_SIM_INOUT, static_cast<int>(kind));
  }
  const DeviceArgs dev = readArgs(arg->address(), 13);
  EXPECT_EQ((std::vector<uint32_t>{1, 4, 1, 1, 2}),
            (std::vector<uint32_t>{dev.field(1), dev.field(2), dev.field(3), dev.field(4), dev.field(5)}));
  EXPECT_EQ(list, dev.list);

  // Destroying it releases the 4 x 2 inout blocks and the array, nothing else (not the model's address).
  EXPECT_EQ(base_.inout + 8, live().inout);
  EXPECT_EQ(base_.stream + 1, live().stream);
  LogCapture log;
  arg.reset();
  EXPECT_EQ(base_, live());
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(RunModelArgumentTest, TooFewInputsOrApplicationOutputsFailTheBuild) {
  model_.batch = 4;
  makeOp(false);
  {
    LogCapture log;
    auto in = inputArg(1, 3, 3);   // three addresses for four batch positions
    auto arg = build(in.get(), {}, false);
    EXPECT_TRUE(log.has("Failed to build run model argument because input count of run model op mismatch with "
                        "output count of input op.\n"));
  }
  model_.batch = 2;
  model_.outputs = 2;
  model_.outputSizes = {8, 8};
  makeOp(true);
  LogCapture log;
  auto in = inputArg(1, 2, 2);
  auto arg = build(in.get(), {0xC0000100, 0xC0000200, 0xC0000300}, false);
  EXPECT_TRUE(log.has("Failed to build run model argument because user input output address count is not enough.\n"));
  // Position 0 got its two outputs before position 1 ran short.
  EXPECT_EQ((std::vector<uint64_t>{0xC0000100, 0xC0000200}), arg->getOutputs(0, 0));
}

TEST_F(RunModelArgumentTest, CopyMemArgumentGathersTheModelsOutputsPositionByPosition) {
  model_.outputs = 2;
  model_.outputSizes = {40, 24};
  makeOp(false);
  auto in = inputArg(1, 1, 1);
  auto rm = build(in.get(), {}, true);

  FakeStreamOp copy;
  copy.opType_ = qobeOP_MEM_COPY_OP;
  copy.uid_ = 3;
  copy.model_ = &model_;
  copy.configCount_ = 1;
  copy.configMode_ = FakeStreamOp::kFresh;
  OpIRInstruction ir(&copy, 2);
  const Live beforeCopy = live();
  std::unique_ptr<IOpArgument> arg(QoblOpArgumentFactory::createOpArgument(&ir, kDataset));
  ASSERT_TRUE(arg->buildOpArgArray(rm.get(), gather(copy, 1), {}));
  const std::vector<uint64_t> list = listOf(arg.get());
  ASSERT_EQ(5u, list.size());
  EXPECT_EQ(copy.madeConfigs_[0], list[0]);
  EXPECT_EQ(rm->getOutputs(0, 0), (std::vector<uint64_t>{list[1], list[2]}));
  EXPECT_EQ(64u, blockSize(arg->address()));
  uint32_t kind = 99;
  EXPECT_EQ(24u, blockSize(list[4], &kind));
  EXPECT_EQ(QOBCRT_SIM_DDR_SHARE, static_cast<int>(kind));
  EXPECT_EQ(0u, arg->getOutputSize(list[3]));
  const DeviceArgs dev = readArgs(arg->address(), 5);
  EXPECT_EQ((std::vector<uint32_t>{1, 1, 1, 2, 2}),
            (std::vector<uint32_t>{dev.field(1), dev.field(2), dev.field(3), dev.field(4), dev.field(5)}));
  EXPECT_EQ(list, dev.list);
  arg.reset();
  EXPECT_EQ(beforeCopy, live());   // the configuration block and both outputs went with the array

  // A model output of size 0 gets the address 0 and no block.
  model_.outputSizes = {40, 0};
  arg.reset(QoblOpArgumentFactory::createOpArgument(&ir, kDataset));
  ASSERT_TRUE(arg->buildOpArgArray(rm.get(), gather(copy, 1), {}));
  EXPECT_EQ(0u, arg->getPointerInArgArray(4));
  EXPECT_NE(0u, arg->getPointerInArgArray(3));
  EXPECT_EQ(beforeCopy.ddr + 1, live().ddr);
  arg.reset();

  LogCapture log;
  copy.leaf_ = true;
  OpIRInstruction leafIr(&copy, 2);
  arg.reset(QoblOpArgumentFactory::createOpArgument(&leafIr, kDataset));
  EXPECT_FALSE(arg->buildOpArgArray(rm.get(), gather(copy, 1), {0xC0000100}));
  EXPECT_TRUE(log.has("Mismatch output address count, expected 2 but 1 is specified.\n"));
  arg.reset();
  // Without a configuration (its input is not a run-model op) the build fails silently.
  const size_t errorsBefore = log.errors().size();
  arg.reset(QoblOpArgumentFactory::createOpArgument(&leafIr, kDataset));
  EXPECT_FALSE(arg->buildOpArgArray(rm.get(), std::vector<OpIRBuffer>(1), {0xC0000100, 0xC0000200}));
  EXPECT_EQ(errorsBefore, log.errors().size());
  arg.reset();
  EXPECT_EQ(beforeCopy, live());
}

TEST_F(RunModelArgumentTest, InjectedDeviceFailuresFailTheBuildAndLeakNothing) {
  model_.batch = 2;
  model_.outputs = 2;
  model_.outputSizes = {40, 24};
  makeOp(false);
  struct Case {
    const char* call;
    uint32_t nth;
    const char* message;
  };
  const Case cases[] = {
      {"qobcrt_malloc_inout", 3, "Failed to malloc for outputs in DDR. Error code is 500100, op [op]\n"},
      {"qobcrt_malloc_stream", 1,
       "Failed to malloc stream memory for op argument array in DDR. Error code is 500100 .\n"},
      {"qobcrt_memcpy", 1,
       "Failed to copy argument array header from host to device for Op op, Error code is 500100.\n"},
      {"qobcrt_memcpy", 2, "Failed to copy argument array from host to device for Op op, Error code is 500100.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
    auto in = inputArg(1, 2, 2);
    LogCapture log;
    ASSERT_EQ(0, qobcrt_sim_fail_call(c.call, c.nth, rtErrInjected));
    auto arg = build(in.get(), {}, false);
    qobcrt_sim_clear_faults();
    EXPECT_TRUE(log.has(c.message));
    EXPECT_EQ(1u, log.errors().size());
    if (std::string(c.call) == "qobcrt_memcpy" && c.nth == 2) {
      // The header went first: the card holds it, the list is still zero.
      const DeviceArgs dev = readArgs(arg->address(), 1);
      EXPECT_EQ(0, std::memcmp(dev.header.data(), "*$%!", 4));
      EXPECT_EQ(0u, dev.list[0]);
    }
    arg.reset();
    EXPECT_EQ(base_, live());
  }
}

}  // namespace
