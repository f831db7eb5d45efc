// The demo classifier on the simulated card through the stream API: asynchronous runs with report
// callbacks, gathering of inputs per device run, synchronous runs, and release of every card block.  (The
// op engine's pre-processing op in the pipeline: qobl_run_test and the fault sweep.)
#include <algorithm>
#include <utility>

#include "op_stream_controller.h"
#include "stream.h"
#include "stream_test_util.h"

using namespace streamtest;

namespace {

// Each test leaves the card as it found it.
class StreamPipelineTest : public qobltest::LiveBlocksTest {};

// The classifier (input op -> run-model op) and the segmenter, whose output stays in a split core layout
// until the memory-copy leaf gathers it, at cache number 1 and 4: outputs equal the reference, 301041 for
// the inputs that only fill the run, one device run per cache-full of inputs, reports in input order and
// per input in subscription order from the leaf op.  A synchronous run writes the reference output and
// raises no report.  After the runs the card holds exactly the blocks it held when the stream was built.
TEST_F(StreamPipelineTest, AsyncAndSyncRunsDeliverReferenceOutputsInOrder) {
  for (const char* model : {"classifier", "segmenter"}) {
    for (uint32_t batch : {1u, 4u}) {
      SCOPED_TRACE(std::string(model) + " batch " + std::to_string(batch));
      {
        Pipeline::Options o;
        o.model = model;
        o.memCopy = std::string(model) == "segmenter";
        o.batch = batch;
        Pipeline p(o);
        ASSERT_EQ(batch, p.cacheNumber());
        qobeOp* leaf = o.memCopy ? p.copyOp() : p.runOp();
        const qobltest::LiveBlocks idle = qobltest::liveBlocks();
        Recorder rec;
        Sub second{&rec, 2};
        ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &rec.sub));
        ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &second));

        const uint32_t inputs = 2 * batch;
        const Inputs io(p, inputs);
        const uint64_t runsBefore = stats().runs_submitted;
        for (uint32_t i = 0; i < inputs; ++i) {
          const qoblErr rc = qoblRunStreamAsync(p.stream(), io.in(i), io.out(i));
          EXPECT_EQ((i + 1) % batch == 0 ? 0u : qoblERR_RUN_PENDING, rc) << "input " << i;
        }
        ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
        EXPECT_EQ(runsBefore + 2, stats().runs_submitted);

        const std::vector<Report> reports = rec.snapshot();
        ASSERT_EQ(2 * inputs, reports.size());
        for (uint32_t i = 0; i < inputs; ++i) {
          for (int s = 0; s < 2; ++s) {
            const Report& r = reports[2 * i + s];
            EXPECT_EQ(io.in(i), r.input) << "input " << i;
            EXPECT_EQ(s + 1, r.tag);
            EXPECT_EQ(leaf, r.op);
            EXPECT_EQ(0u, r.errorCode);
            EXPECT_EQ(1u, r.isStreamEnd);
            EXPECT_EQ(p.expected(), r.output) << "input " << i;
          }
          // The application's own output buffers hold the result too.
          EXPECT_EQ(p.expected(), readBuffer(io.out(i), 0));
        }
        if (batch == 1) {
          Output out(p.stream());
          ASSERT_EQ(0u, qoblRunStream(p.stream(), io.in(0), out.get(), 10000));
          EXPECT_EQ(p.expected(), readBuffer(out.get(), 0));
          EXPECT_EQ(2 * inputs, rec.snapshot().size());
        }
        const qobltest::LiveBlocks after = qobltest::liveBlocks();
        EXPECT_EQ(idle.inout, after.inout);
        EXPECT_EQ(idle.stream, after.stream);
      }
      expectNoLibraryBlocks();
    }
  }
}

// Raises the log level from inside a report callback.
void raiseLogLevel(qobeOp*, qobmDataset*, qobmDataset*, qoblCallbackStatus*, void*) {
  qobmSetLogLevel(qobmLL_TRACE);
}

// The completion path keeps what it read for later reports only while it stays true: a subscription made
// between runs receives the next run's report, and a log level raised by a report callback applies to the
// rest of that same report (its recycling trace line), while the lines before the callback kept the level
// in force when they were checked.
TEST_F(StreamPipelineTest, ReportsFollowSubscriptionAndLogLevelChanges) {
  Pipeline p(Pipeline::Options{});
  const Inputs io(p, 3);
  Recorder rec;
  Sub second{&rec, 2};
  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &rec.sub));
  ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), io.in(0), io.out(0)));
  ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &second));
  ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), io.in(1), io.out(1)));
  ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  std::vector<std::pair<qobmDataset*, int>> seen;
  for (const Report& r : rec.snapshot()) seen.emplace_back(r.input, r.tag);
  const std::vector<std::pair<qobmDataset*, int>> expected{{io.in(0), 1}, {io.in(1), 1}, {io.in(1), 2}};
  EXPECT_EQ(expected, seen);

  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &raiseLogLevel, nullptr));
  LogCapture log(qobmLL_WARN);
  ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), io.in(2), io.out(2)));
  ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  const std::vector<std::string> traces = log.take(qobmLL_TRACE);
  EXPECT_NE(traces.end(), std::find(traces.begin(), traces.end(), "Recycle stream's memory\n"));
  for (const std::string& t : traces) EXPECT_EQ(std::string::npos, t.find("Invoke registered callback")) << t;
  EXPECT_EQ(5u, rec.snapshot().size());
}

// What the callback of the test below does the first time it is called: subscribe a second callback to its
// own stream, then complete a device run of that stream with two synchronous calls.
struct NestedRun {
  Pipeline* p;
  const Inputs* io;
  Recorder rec;
  Sub later{&rec, 2};
  int calls = 0;
  qoblErr first = 0, second = 0;
};

void subscribeAndRunOwnStream(qobeOp* op, qobmDataset* input, qobmDataset* output, qoblCallbackStatus* st,
                              void* user) {
  auto* n = static_cast<NestedRun*>(user);
  recordReport(op, input, output, st, &n->rec.sub);
  if (n->calls++ != 0) return;
  qoblSubscribeStreamReport(n->p->stream(), &recordReport, &n->later);
  n->first = qoblRunStream(n->p->stream(), n->io->in(2), n->io->out(2), 10000);
  n->second = qoblRunStream(n->p->stream(), n->io->in(3), n->io->out(3), 10000);
}

// A report callback that subscribes a further callback and then completes a device run of its own stream
// synchronously: the synchronous run reports the other input it gathered on the same thread, inside the
// first delivery and with the new subscription; the first delivery goes on with the subscriptions it
// started with, and later device runs are delivered with both.  Every input is reported once per
// subscription it was delivered with.
TEST_F(StreamPipelineTest, ReportCallbackSubscribesAndRunsItsOwnStream) {
  Pipeline p(Pipeline::Options().withBatch(2));
  const Inputs io(p, 6);
  NestedRun n{&p, &io, {}};
  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &subscribeAndRunOwnStream, &n));
  ASSERT_EQ(qoblERR_RUN_PENDING, qoblRunStreamAsync(p.stream(), io.in(0), io.out(0)));
  ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), io.in(1), io.out(1)));
  ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  EXPECT_EQ(qoblERR_RUN_PENDING, n.first);
  EXPECT_EQ(0u, n.second);
  ASSERT_EQ(qoblERR_RUN_PENDING, qoblRunStreamAsync(p.stream(), io.in(4), io.out(4)));
  ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), io.in(5), io.out(5)));
  ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  std::vector<std::pair<qobmDataset*, int>> seen;
  for (const Report& r : n.rec.snapshot()) seen.emplace_back(r.input, r.tag);
  const std::vector<std::pair<qobmDataset*, int>> expected{{io.in(0), 1}, {io.in(2), 1}, {io.in(2), 2}, {io.in(1), 1},
                                                           {io.in(4), 1}, {io.in(4), 2}, {io.in(5), 1}, {io.in(5), 2}};
  EXPECT_EQ(expected, seen);
  for (size_t i : {0, 1, 2, 4, 5}) EXPECT_EQ(p.expected(), n.rec.output(io.in(i))) << i;
}

// Records the first buffer of each report's output dataset.
void recordOutputBuffer(qobeOp*, qobmDataset*, qobmDataset* output, qoblCallbackStatus*, void* user) {
  qobmDataBuffer* b = nullptr;
  if (output == nullptr || qobmGetDatasetBuffer(output, 0, &b) != 0) b = nullptr;
  static_cast<std::vector<qobmDataBuffer*>*>(user)->push_back(b);
}

// Inputs whose output datasets alternate: each report hands over the buffer of its own input's output
// dataset, whatever output dataset the stream served before.
TEST_F(StreamPipelineTest, EachReportCarriesItsOwnOutputBuffer) {
  Pipeline p;
  const Inputs io(p, 2);
  std::vector<qobmDataBuffer*> seen;
  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordOutputBuffer, &seen));
  std::vector<qobmDataBuffer*> expected;
  for (size_t o : {0, 1, 0, 0, 1, 1, 0}) {
    qobmDataBuffer* b = nullptr;
    ASSERT_EQ(0, qobmGetDatasetBuffer(io.out(o), 0, &b));
    expected.push_back(b);
    ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), io.in(o), io.out(o)));
    ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  }
  EXPECT_EQ(expected, seen);
}

// A device run asks the log level when it is built and logs its debug lines (stream memory, argument array
// uploads, the run) only while debug lines are wanted: an application that raises the level between two
// runs sees none from the second.
TEST_F(StreamPipelineTest, RunDebugLinesFollowTheLogLevel) {
  Pipeline p;
  const Inputs io(p, 2);
  qobltest::LogCapture log(qobmLL_DEBUG);
  ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), io.in(0), io.out(0)));
  ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  for (const char* line : {"[qobl:] Malloc stream memory ", "[qobl]: Malloc stream memory for the argument array of op",
                           "Copy argument array header from host to device for Op",
                           "Copy argument array from host to device for Op", "Run stream async, input id - ["}) {
    EXPECT_TRUE(log.hasPrefix(line)) << line;
  }
  ASSERT_EQ(0, qobmSetLogLevel(qobmLL_INFO));
  log.clear();
  ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), io.in(1), io.out(1)));
  ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  for (const qobltest::LogLine& l : log.lines()) EXPECT_GT(l.level, static_cast<uint32_t>(qobmLL_DEBUG)) << l.text;
}

// A memory-copy op whose parent is not a run-model op has nothing to gather: the graph builds, but every
// run is refused with 301034 and its reason logged, and nothing is left on the card.
TEST_F(StreamPipelineTest, CopyOpWithoutRunModelParentIsRefused) {
  ASSERT_EQ(0, qobmSetDevice(0));
  LogCapture log(qobmLL_ERROR);
  HandGraph g;
  ASSERT_EQ(0u, qoblConnectOps(g.input(), g.engineOp(qobeOP_MEM_COPY_OP)));
  qoblStream* s = g.stream();
  ASSERT_EQ(0u, qoblBuildStream(s));
  CardDataset input(std::string(64, '\1'));
  qobmDataset* out = nullptr;
  ASSERT_EQ(0u, qoblRequestOutputDataset(s, &out));
  EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStream(s, input.get(), out, 1000));
  EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStreamAsync(s, input.get(), out));
  EXPECT_EQ(0u, qoblSynchronizeStream(s, 1000));  // nothing outstanding after the refusal
  EXPECT_TRUE(log.hasPrefix("Failed to run stream"));
  qobmDestroyDataset(out);
}

// A run-model leaf whose output stays in a core layout that differs from the plain tensor is refused by the
// build (the qobl-run options test checks that message) unless asked for: with "keep_core_layout" the
// application receives the card's own bytes (the aligned size, real data at the top-left of each 16x16
// plane, zeros around it) and every run succeeds; asking for it while a copy op converts it is refused.
TEST_F(StreamPipelineTest, CoreLayoutLeafIsRefusedUnlessAskedFor) {
  Pipeline::Options o = Pipeline::Options().withModel("segmenter").withBatch(2).unbuilt();
  {
    Pipeline p(o);
    ASSERT_EQ(0, qobeSetOpAttr(p.runOp(), "keep_core_layout", qobeATTR_BOOL, 1, 1));
    ASSERT_EQ(0u, qoblBuildStream(p.stream()));
    const Inputs io(p, 2);
    for (uint32_t i = 0; i < 2; ++i)
      EXPECT_EQ(i == 1 ? 0u : qoblERR_RUN_PENDING, qoblRunStreamAsync(p.stream(), io.in(i), io.out(i)));
    ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
    // The plain output [1, 5, 12, 12] float32 sits in three cores [1, 2, 16, 16]: channel c in plane c.
    const std::string& plain = p.expected();
    for (uint32_t i = 0; i < 2; ++i) {
      const std::string core = readBuffer(io.out(i), 0);
      ASSERT_EQ(6144u, core.size());
      std::string gathered, padding;
      for (size_t c = 0; c < 6; ++c) {
        for (size_t y = 0; y < 16; ++y) {
          const std::string row = core.substr(((c * 16 + y) * 16) * 4, 16 * 4);
          if (c < 5 && y < 12) {
            gathered += row.substr(0, 12 * 4);
            padding += row.substr(12 * 4);
          } else {
            padding += row;
          }
        }
      }
      EXPECT_EQ(plain, gathered) << i;
      EXPECT_EQ(std::string(padding.size(), '\0'), padding) << i;
    }
  }
  {
    LogCapture log(qobmLL_ERROR);
    o.memCopy = true;
    Pipeline p(o);
    ASSERT_EQ(0, qobeSetOpAttr(p.runOp(), "keep_core_layout", qobeATTR_BOOL, 1, 1));
    EXPECT_EQ(qoblERR_BUILD_STREAM, qoblBuildStream(p.stream()));
    EXPECT_TRUE(log.hasPrefix("Run-model op [run_model_op_" + std::to_string(p.opUid(p.runOp())) +
                              "] asks for its outputs in the card's core layout (\"keep_core_layout\") but a "
                              "memory-copy op below it converts them"));
  }
}

}  // namespace

// The stream finds the record of an input it gathered by the input's id (its arrival number on the
// stream, from 1) while the input waits in an unsent run, and no longer once the run's report released it.
TEST_F(StreamPipelineTest, InputRecordsFoundByIdWhileTheirRunGathers) {
  Pipeline p(Pipeline::Options().withBatch(4));
  const Inputs io(p, 4);
  ASSERT_EQ(qoblERR_RUN_PENDING, qoblRunStreamAsync(p.stream(), io.in(0), io.out(0)));
  ASSERT_EQ(qoblERR_RUN_PENDING, qoblRunStreamAsync(p.stream(), io.in(1), io.out(1)));
  {
    zenlar::qobl::StreamRef s(p.stream());
    ASSERT_TRUE(s);
    for (uint64_t id : {1u, 2u}) {
      const zenlar::qobl::StreamDataset* rec = s->getDatasets(id);
      ASSERT_NE(nullptr, rec) << id;
      EXPECT_EQ(id, rec->inputId);
      EXPECT_EQ(io.in(id - 1), rec->input) << id;
    }
    EXPECT_EQ(nullptr, s->getDatasets(3));
    EXPECT_EQ(nullptr, s->getDatasets(0));
  }
  ASSERT_EQ(qoblERR_RUN_PENDING, qoblRunStreamAsync(p.stream(), io.in(2), io.out(2)));
  ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), io.in(3), io.out(3)));
  ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
  zenlar::qobl::StreamRef s(p.stream());
  ASSERT_TRUE(s);
  for (uint64_t id = 1; id <= 4; ++id) EXPECT_EQ(nullptr, s->getDatasets(id)) << id;
}
