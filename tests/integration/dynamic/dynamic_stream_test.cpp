// The demo dynamic-shape suite run through a stream on the simulated card: each run takes its input shape
// from the input op's output shapes, the model is reshaped and reloaded before the run, the card runs the
// member that covers the shape, and the output equals the CPU reference for that size.
#include <qobcrt/qobcrt.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "i_model.h"
#include "md5.h"
#include "qobl_api_impl.h"
#include "stream_test_util.h"

using namespace streamtest;

namespace {

// Each test leaves the card as it found it.
class DynamicStreamTest : public qobltest::LiveBlocksTest {};

std::string dynamicFile(const std::string& name) { return modelFile("dynamic", name); }

struct Sample {
  int64_t side;
  int member;  // the suite member whose range covers side x side
  std::string input, expected;
};

Sample sample(int64_t side, int member) {
  const std::string dir = "samples/" + std::to_string(side) + "x" + std::to_string(side) + "/";
  return {side, member, readBytes(dynamicFile(dir + "sample_input.bin")),
          readBytes(dynamicFile(dir + "expected_output.bin"))};
}

// The model's name: MD5 over the members' digests (library, graph, parameters) and the hardware
// configuration's digest.
std::string suiteName() {
  std::string joined;
  for (const std::string m : {"member0/", "member1/"}) {
    joined += zenlar::qobl::MD5(readBytes(dynamicFile(m + "model.so")) + readBytes(dynamicFile(m + "graph.json")) +
                                readBytes(dynamicFile(m + "params.bin")))
                  .hexdigest();
  }
  joined += zenlar::qobl::MD5(readBytes(dynamicFile("hw.json"))).hexdigest();
  const std::string digest = zenlar::qobl::MD5(joined).hexdigest();
  return digest + "::" + digest;
}

// The suite loaded at 8x8 with `batch` under input op -> run-model op in a built stream.
Pipeline::Options suiteAt8(uint32_t batch) {
  Pipeline::Options o;
  o.model = "dynamic";
  o.side = 8;
  o.batch = batch;
  return o;
}

// The model's current input extents, and the card holds the node of the sample's member at those shapes
// at the address the model runs from.  Returns the node's name.
std::string expectLoadedAs(const Pipeline& p, const Sample& s) {
  qobmShape shape{};
  uint32_t batch = 0;
  EXPECT_EQ(0u, qoblGetModelInputShapeByIndex(p.model(), 0, &shape));
  EXPECT_EQ(0u, qoblGetModelBatchSize(p.model(), &batch));
  EXPECT_EQ(s.side, shape.shapes[2]);
  EXPECT_EQ(s.side, shape.shapes[3]);
  const std::string side = std::to_string(s.side);
  const std::string node =
      suiteName() + ":m" + std::to_string(s.member) + ":1x3x" + side + "x" + side + ":b" + std::to_string(batch);
  uint64_t cardAddr = 0, modelAddr = 0;
  EXPECT_EQ(0, qobcrt_model_addr(0, node.c_str(), &cardAddr)) << node;
  EXPECT_TRUE(p.model()->ptr_->getModelAddress(modelAddr));
  EXPECT_EQ(cardAddr, modelAddr) << node;
  return node;
}

}  // namespace

// Sizes 8, 16 (member 0), 24, 32 (member 1) and back, asynchronous then synchronous: every run yields the
// reference output of its size, and the card runs the node of the member that covers it.  Only the
// asynchronous runs are reported.  The node leaves the card with the model.
TEST_F(DynamicStreamTest, EachRunUsesItsInputSizeAndTheCoveringMember) {
  std::string lastNode;
  {
    Pipeline p(suiteAt8(1));
    ASSERT_NE(nullptr, p.stream());
    Recorder rec;
    ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &rec.sub));
    const Sample s8 = sample(8, 0), s16 = sample(16, 0), s24 = sample(24, 1), s32 = sample(32, 1);
    const std::vector<const Sample*> runs = {&s8, &s16, &s24, &s32, &s16, &s8, &s32, &s8};
    const size_t asyncRuns = 6;
    const qobcrt_sim_stats before = stats();
    for (size_t i = 0; i < runs.size(); ++i) {
      const Sample& s = *runs[i];
      SCOPED_TRACE(i);
      setInputShape(p.inputOp(), image(s.side, s.side));
      CardDataset in(s.input);
      CardDataset out(std::string(s.expected.size(), '\0'));
      if (i < asyncRuns) {
        ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), in.get(), out.get()));
        ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
        const std::vector<Report> reports = rec.snapshot();
        ASSERT_EQ(i + 1, reports.size());
        EXPECT_EQ(0u, reports.back().errorCode);
        EXPECT_EQ(p.runOp(), reports.back().op);
        EXPECT_EQ(s.expected, reports.back().output);
      } else {
        ASSERT_EQ(0u, qoblRunStream(p.stream(), in.get(), out.get(), 10000));
      }
      lastNode = expectLoadedAs(p, s);
      EXPECT_EQ(s.expected, readBuffer(out.get(), 0));
    }
    const qobcrt_sim_stats after = stats();
    EXPECT_EQ(before.runs_submitted + runs.size(), after.runs_submitted);
    EXPECT_EQ(before.runs_failed, after.runs_failed);
    EXPECT_EQ(asyncRuns, rec.snapshot().size());
  }
  uint64_t addr = 0;
  EXPECT_NE(0, qobcrt_model_addr(0, lastNode.c_str(), &addr));
}

// With batch 4 loaded, a run at 24x24 (room for 3) is refused before it reaches the card and the model
// keeps its shapes; so is an input shape of the wrong rank.  (Runs going on after a refused input: the
// one-shape-per-device-run test below.)
TEST_F(DynamicStreamTest, ShapesThatDoNotFitTheBatchFailTheRun) {
  Pipeline p(suiteAt8(4));
  ASSERT_NE(nullptr, p.stream());
  const Sample big = sample(24, 1);
  const uint64_t submitted = stats().runs_submitted;
  {
    LogCapture log;
    setInputShape(p.inputOp(), image(24, 24));
    CardDataset in(big.input);
    CardDataset out(std::string(big.expected.size(), '\0'));
    EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStreamAsync(p.stream(), in.get(), out.get()));
    EXPECT_TRUE(log.has(
        "exception to set inputshape last batchsize is exceed max batchsize that current shape support\n"));
    EXPECT_TRUE(log.has("Failed to set input Shape for dynamic shape model.\n"));

    qobmShape flat = image(24, 24);
    flat.ndims = 3;
    setInputShape(p.inputOp(), flat);
    EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStreamAsync(p.stream(), in.get(), out.get()));
    EXPECT_TRUE(log.has("Wrong input Op's shapes, op name is input_op_" + std::to_string(p.opUid(p.inputOp())) + ". \n"));
  }
  EXPECT_EQ(submitted, stats().runs_submitted);
  qobmShape shape{};
  ASSERT_EQ(0u, qoblGetModelInputShapeByIndex(p.model(), 0, &shape));
  EXPECT_EQ(8, shape.shapes[2]);

}

// One device run holds inputs of one shape only.  With batch 2, an 8x8 input waits for a second one; a
// 16x16 input given meanwhile (asynchronously or synchronously) is refused with 301034 and changes
// nothing, and the next 8x8 input completes the run: both 8x8 inputs get the reference output of their
// size.  A run of two 16x16 inputs then follows.
TEST_F(DynamicStreamTest, OneDeviceRunHoldsInputsOfOneShape) {
  Pipeline p(suiteAt8(2));
  ASSERT_NE(nullptr, p.stream());
  ASSERT_EQ(2u, p.cacheNumber());
  Recorder tally;
  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &tally.sub));
  const Sample s8 = sample(8, 0), s16 = sample(16, 0);
  std::vector<std::unique_ptr<CardDataset>> ins, outs;
  auto give = [&](const Sample& s, bool sync) {
    setInputShape(p.inputOp(), image(s.side, s.side));
    ins.emplace_back(new CardDataset(s.input));
    outs.emplace_back(new CardDataset(std::string(s.expected.size(), '\0')));
    return sync ? qoblRunStream(p.stream(), ins.back()->get(), outs.back()->get(), 10000)
                : qoblRunStreamAsync(p.stream(), ins.back()->get(), outs.back()->get());
  };
  EXPECT_EQ(qoblERR_RUN_PENDING, give(s8, false));
  {
    LogCapture log;
    EXPECT_EQ(qoblERR_RUN_STREAM, give(s16, false));
    EXPECT_EQ(qoblERR_RUN_STREAM, give(s16, true));
    EXPECT_TRUE(log.hasPrefix("Failed to run stream "));
  }
  EXPECT_EQ(0u, give(s8, false));
  EXPECT_EQ(qoblERR_RUN_PENDING, give(s16, false));
  EXPECT_EQ(0u, give(s16, false));
  ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  const std::vector<const Sample*> given = {&s8, &s16, &s16, &s8, &s16, &s16};
  const std::vector<int> reported = {1, 0, 0, 1, 1, 1};
  for (size_t i = 0; i < given.size(); ++i) {
    EXPECT_EQ(reported[i], tally.of(ins[i]->get())) << i;
    if (reported[i] == 1) {
      EXPECT_EQ(given[i]->expected, tally.output(ins[i]->get())) << i;
    }
  }
  EXPECT_EQ(0, tally.errors());
}

// A synchronous run that outlasts its time-out fails with the card's time-out in the log; the card still
// finishes the run later (on blocks the library has already let go of), and the stream runs on.
TEST_F(DynamicStreamTest, SyncRunPastItsTimeOutFailsAndTheCardStillFinishesIt) {
  Pipeline p(suiteAt8(1));
  ASSERT_NE(nullptr, p.stream());
  const Sample s8 = sample(8, 0);
  CardDataset in(s8.input), out(std::string(s8.expected.size(), '\0'));
  const uint64_t completed = stats().runs_completed;
  {
    SlowCard slow(300000);
    LogCapture log;
    EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStream(p.stream(), in.get(), out.get(), 20));
    EXPECT_TRUE(log.hasPrefix("Failed to run stream sync, returned: " + std::to_string(rtErrTimeout) + ","));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (stats().runs_completed == completed && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(completed + 1, stats().runs_completed);
  ASSERT_EQ(0u, qoblRunStream(p.stream(), in.get(), out.get(), 10000));
  EXPECT_EQ(s8.expected, readBuffer(out.get(), 0));
}
