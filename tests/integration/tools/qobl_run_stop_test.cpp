// qobl-run's runner told to stop (what its signal handlers do) while the streams are still warming up, on
// the simulated card: the warm-up ends at a device run's end, the measured runs never start, and nothing
// is left on the card.  qobl-run on a slowed-down card, waiting after a first signal for device runs that
// take many seconds, ended at once by a second one; and qobl-run signalled while it writes its trace,
// ending once the file is whole.  (Stops during the measured runs: qobl_run_test, through the program and
// signals.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

#include <qobcrt/qobcrt_sim.h>

#include "qobl_tools/card_memory.h"
#include "qobl_tools/library.h"
#include "qobl_tools/model_dir.h"
#include "qobl_tools/pipeline.h"
#include "runner.h"
#include "tool_test_util.h"

namespace {

using namespace zenlar::qoblrun;
using namespace zenlar::qobltools;

qobcrt_sim_stats cardStats() {
  qobcrt_sim_stats st{};
  EXPECT_EQ(0, qobcrt_sim_get_stats(0, &st));
  return st;
}

TEST(QoblRunStopTest, StopDuringWarmUpSkipsTheMeasuredRuns) {
  // The library's lines go where qobl-run sends them: those of a call that succeeds are dropped.
  installLogSink("qobl_run_stop_test");
  ModelDir dir;
  Sample sample;
  Pipeline p;
  ASSERT_EQ("", openModelDir(tooltest::modelDir("classifier"), &dir));
  ASSERT_EQ("", findSample(dir, "", true, &sample));
  ASSERT_EQ("", p.load(dir, LoadOptions()));
  ASSERT_EQ("", p.build({Stage::kInput, Stage::kModel}));
  RunData data;
  data.input = sample.input;
  const uint64_t loaded = cardLiveBytes(1);

  for (const bool sync : {true, false}) {
    SCOPED_TRACE(sync ? "sync" : "async");
    std::atomic<int> stop{0};
    RunConfig cfg;
    cfg.streams = 2;
    cfg.sync = sync;
    cfg.warmup = 100000;   // minutes: far more than the test waits for
    cfg.duration = 60;
    cfg.stop = &stop;
    const qobcrt_sim_stats before = cardStats();
    // The stop comes once the card has completed a few warm-up device runs.
    std::thread stopper([&stop, &before] {
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (cardStats().runs_completed < before.runs_completed + 4 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      stop = SIGINT;
    });
    MemoryWatcher mem(1);
    RunResult r;
    EXPECT_EQ("", runPipelines({&p}, data, cfg, &mem, &r));
    stopper.join();
    EXPECT_FALSE(r.measured);
    EXPECT_EQ(0u, r.submitted);
    EXPECT_TRUE(r.errors.empty()) << r.errors.front();
    // Every warm-up device run sent to the card completed, and the streams' memory went back.
    const qobcrt_sim_stats after = cardStats();
    const uint64_t ran = after.runs_submitted - before.runs_submitted;
    EXPECT_GE(ran, 4u);
    EXPECT_LT(ran, 50000u) << "the warm-up went on after the stop";
    EXPECT_EQ(ran, after.runs_completed - before.runs_completed);
    EXPECT_EQ(loaded, cardLiveBytes(1));
  }
}

// Every op of the card takes at least 30 s, and so does every device run: a first signal leaves qobl-run
// waiting that long for the runs in flight, and a second one must end it well before.
TEST(QoblRunStopTest, SecondSignalEndsQoblRunAtOnceWhileRunsAreInFlight) {
  const std::pair<int, int> cases[] = {{SIGINT, SIGINT}, {SIGTERM, SIGINT}, {SIGINT, SIGTERM}};
  for (const auto& [first, second] : cases) {
    SCOPED_TRACE(std::string(strsignal(first)) + " then " + strsignal(second));
    const tooltest::ScratchDir d;
    tooltest::Background run("qobl_run_slow_card",
                             {"30000000", "--duration", "600", "--in-flight", "2", "--json", d.file("s.json"),
                              "--trace", d.file("t.json"), "--dot", d.file("g.dot")});
    tooltest::Result r;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (run.errSoFar().find("device runs in flight") == std::string::npos) {
      ASSERT_FALSE(run.finish(0.02, &r)) << "ended before its runs started\n" << r.out << r.err;
      ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "no device run started within 60 s";
    }

    ::kill(run.pid(), first);
    // Still waiting for the runs in flight, with nothing reported yet.
    ASSERT_FALSE(run.finish(2, &r)) << "did not wait for its runs in flight\n" << r.out << r.err;
    EXPECT_EQ("", tooltest::readText(d.file("s.json")));

    ::kill(run.pid(), second);
    ASSERT_TRUE(run.finish(8, &r)) << "still running 8 s after the second signal";
    EXPECT_EQ(-1, r.code);
    EXPECT_EQ(second, r.signal) << "exit code " << r.code << "\n" << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("qobl-run: " + std::string(second == SIGINT ? "SIGINT" : "SIGTERM") +
                                            " after a first signal: ending at once, without a summary\n"))
        << r.err;
    // No summary: neither on stdout nor in the --json and --trace files, which stay as qobl-run created
    // them, empty (and so never half-written); the op graph, written before the runs, is whole.
    EXPECT_EQ("", r.out);
    EXPECT_EQ(std::string::npos, r.err.find("interrupted by")) << r.err;
    ASSERT_TRUE(std::filesystem::exists(d.file("s.json")));
    EXPECT_EQ(0u, std::filesystem::file_size(d.file("s.json")));
    EXPECT_EQ(0u, std::filesystem::file_size(d.file("t.json")));
    const std::string dot = tooltest::readText(d.file("g.dot"));
    EXPECT_NE(std::string::npos, dot.find("digraph")) << dot;
  }
}

// Before any run (here: opening its --json file, a pipe nobody reads yet) a signal ends qobl-run at once by
// that signal, saying that nothing was measured; the --trace file, created before, is left empty.
TEST(QoblRunStopTest, SignalBeforeTheRunsSaysNothingWasMeasured) {
  for (const int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(sig));
    const tooltest::ScratchDir d;
    const std::string fifo = d.file("summary.fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    tooltest::Background run("qobl-run", {"--runs", "100", "--json", fifo, "--trace", d.file("t.json")});
    tooltest::Result r;
    // Its open of the pipe waits for a reader: qobl-run is held there, before it loads the model.
    ASSERT_FALSE(run.finish(0.5, &r)) << "did not wait for its --json pipe\n" << r.out << r.err;
    ::kill(run.pid(), sig);
    // The pipe is opened for reading only now: a process whose signal handlers run only once it is out of
    // a blocking call (as under a thread sanitizer) gets out of its open and sees the signal then.
    const int rd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    const bool ended = run.finish(8, &r);
    ::close(rd);
    ASSERT_TRUE(ended) << "still running 8 s after the signal";
    EXPECT_EQ(sig, r.signal) << "exit code " << r.code << "\n" << r.out << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_NE(std::string::npos, r.err.find(std::string("qobl-run: interrupted by ") +
                                            (sig == SIGINT ? "SIGINT" : "SIGTERM") +
                                            " before any run: nothing was measured\n"))
        << r.err;
    EXPECT_EQ(0u, std::filesystem::file_size(d.file("t.json")));   // created first, never written
  }
}

// A signal during the warm-up (device runs of 20 ms each, far more of them than the test waits for) ends
// it at a device run's end: the summary and the JSON say that nothing was measured, the card is left
// empty, and the status is the signal's.
TEST(QoblRunStopTest, SignalDuringTheWarmUpSaysNothingWasMeasured) {
  const tooltest::ScratchDir d;
  tooltest::Background run("qobl_run_slow_card", {"20000", "--warmup", "100000", "--json", d.file("s.json")});
  tooltest::Result r;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (run.errSoFar().find("device runs in flight") == std::string::npos) {
    ASSERT_FALSE(run.finish(0.02, &r)) << "ended before its warm-up started\n" << r.out << r.err;
    ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "no device run started within 60 s";
  }
  ::kill(run.pid(), SIGINT);
  ASSERT_TRUE(run.finish(20, &r)) << "still running 20 s after the signal";
  EXPECT_EQ(130, r.code) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("qobl-run: interrupted by SIGINT before the measured runs: nothing was "
                                          "measured\n"))
      << r.err;
  auto rows = tooltest::tableRows(r.out);
  EXPECT_EQ("0 of 0 submitted (0 device runs), interrupted by SIGINT before the measured runs", rows["runs"]);
  EXPECT_NE(std::string::npos, rows["device memory peak"].find("0 B after teardown")) << rows["device memory peak"];
  const rapidjson::Document j = tooltest::parseJson(tooltest::readText(d.file("s.json")));
  ASSERT_TRUE(j.IsObject());
  EXPECT_TRUE(j["interrupted"].GetBool());
  EXPECT_EQ(0u, j["runs"].GetUint());
  EXPECT_TRUE(j["latency_us"]["p50"].IsNull());
}

// The trace goes to a pipe the test reads slowly: qobl-run, its runs over, is held in the middle of writing
// it when SIGINT comes.  It writes the rest as the test reads on, and only then ends by the signal.
TEST(QoblRunStopTest, SignalWhileWritingTheTraceEndsOnceTheFileIsWhole) {
  const tooltest::ScratchDir d;
  const std::string fifo = d.file("trace.fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  // Open for reading first, so that qobl-run's open for writing does not wait.
  const int rd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(rd, 0);
  tooltest::Background run("qobl-run", {"--runs", "1000", "--trace", fifo});
  std::string trace;
  // Reads what is there (waiting a millisecond when nothing is); false at the end of the file.
  const auto readSome = [&trace, rd]() -> bool {
    char buf[4096];
    const ssize_t n = ::read(rd, buf, sizeof buf);
    if (n > 0) trace.append(buf, static_cast<size_t>(n));
    if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return n != 0;
  };
  tooltest::Result r;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (trace.empty()) {
    readSome();
    if (run.finish(0, &r)) break;
    ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "no trace written within 60 s";
  }
  ASSERT_FALSE(trace.empty()) << "ended before writing its trace\n" << r.out << r.err;

  ::kill(run.pid(), SIGINT);
  // The pipe is full: qobl-run waits to write the rest of the trace.
  EXPECT_FALSE(run.finish(0.5, &r)) << "ended in the middle of its trace\n" << r.out << r.err;
  while (readSome()) {
    ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "the trace did not end within 60 s";
  }
  ::close(rd);
  ASSERT_TRUE(run.finish(20, &r)) << "still running 20 s after its trace was read";
  EXPECT_EQ(SIGINT, r.signal) << "exit code " << r.code << "\n" << r.err;
  // The runs were over: the summary is whole and not marked as interrupted, and so is the trace.
  EXPECT_EQ("1000 of 1000 submitted (250 device runs)", tooltest::tableRows(r.out)["runs"]) << r.out;
  const rapidjson::Document t = tooltest::parseJson(trace);
  ASSERT_TRUE(t.IsObject()) << trace.size() << " bytes";
  uint64_t runs = 0;
  for (const auto& e : t["traceEvents"].GetArray())
    runs += std::string(e["ph"].GetString()) == "X" && std::string(e["cat"].GetString()) == "run" ? 1 : 0;
  EXPECT_EQ(1000u, runs);
}

}  // namespace
