// The whole life cycle of the library on the simulated card, repeated with each device-runtime call of the
// cycle failed in turn and with each op of a run failed in turn.
//
// The cycle: load the classifier (batch 2) and the segmenter (batch 1); graph A = input op -> the op
// engine's pre-processing op (registered for output) -> classifier, graph B = input op -> segmenter ->
// memory-copy op; a stream on each; asynchronous runs and waits (stream and device), synchronous runs, a
// synchronous run completing a gathered asynchronous input, a gathered input left to the destroy; then
// everything is destroyed.
//
// The call points are found by counting: one clean pass counts, per runtime function, the calls the cycle
// makes (qobcrt_sim_call_count); then one pass per call fails exactly that call (qobcrt_sim_fail_call).
// For every point:
//  - every exported call returns success or a code documented for it, a call fails only once the fault
//    has fired, and a call that met the fault succeeds only when the failed call was a release (which is
//    logged and absorbed);
//  - every accepted input (0 or 301041) gets exactly one terminal report, except a synchronous input whose
//    call returned 0 or an error (none); a successful end report carries the reference output;
//  - every wait ends with 0 (nothing lost, nothing hangs; a watchdog aborts a pass that takes a minute);
//  - afterwards the card holds no more blocks of any kind than before, except the one block whose own
//    free was failed.
// To rerun one point: QOBL_FAULT_POINT="qobcrt_malloc_stream #3" (the text the failures are traced with).
#include <qobcrt/qobcrt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qobl_api_impl.h"
#include "qobl_test/card_stats.h"
#include "stream.h"
#include "stream_test_util.h"

using namespace streamtest;

namespace {

uint64_t callCount(const std::string& call) {
  uint64_t n = 0;
  EXPECT_EQ(0, qobcrt_sim_call_count(call.c_str(), &n));
  return n;
}

// Failing these is logged and absorbed by the call that meets it: releases (the block or registration
// survives), the completion-function installation (already installed by earlier streams), the test's own
// copies of outputs back to the host, the device count the dataset library checks a buffer against when
// the library describes a report's outputs (that report comes without an output dataset), and the model
// address lookup the card's graph runtime also uses as a probe for a free node name (a failed probe reads
// as "free").
bool absorbable(const std::string& call) {
  static const std::set<std::string> calls = {
      "qobcrt_free_stream",    "qobcrt_free_inout",       "qobcrt_free_ddr_share", "qobcrt_free_app",
      "qobcrt_destroy_stream", "qobcrt_unregister_model", "qobcrt_memcpy_d2h",     "qobcrt_get_output_register",
      "qobcrt_get_device_count", "qobcrt_model_addr"};
  return calls.count(call) != 0;
}

// One fault of a pass: the nth call of a runtime function from the start of the cycle, or the next
// execution of one op of the cycle armed before one of its run phases.
struct Fault {
  std::string call;
  uint64_t nth = 0;
  int op = -1;     // index into Cycle::ops() order: pre-processing, classifier, segmenter, memory copy
  int phase = -1;  // 0: before the asynchronous runs, 1: before the synchronous runs
  std::string text() const {
    if (!call.empty()) return call + " #" + std::to_string(nth);
    return "op " + std::to_string(op) + " in phase " + std::to_string(phase);
  }
};

// Input datasets made once (their card memory is outside every pass) and the reference outputs.
struct Samples {
  std::string classifierIn = readBytes(modelFile("classifier", "sample_input.bin"));
  std::string classifierOut = readBytes(modelFile("classifier", "expected_output.bin"));
  std::string segmenterIn = readBytes(modelFile("segmenter", "sample_input.bin"));
  std::string segmenterOut = readBytes(modelFile("segmenter", "expected_output.bin"));
  std::vector<std::unique_ptr<CardDataset>> a, b;  // inputs of stream A and stream B
  Samples() {
    for (int i = 0; i < 7; ++i) a.emplace_back(new CardDataset(classifierIn));
    for (int i = 0; i < 2; ++i) b.emplace_back(new CardDataset(segmenterIn));
  }
};

class Cycle {
 public:
  Cycle(Samples& s, const Fault& fault) : s_(s), fault_(fault) {}

  // Runs the cycle; the checks report through gtest.
  void run() {
    const qobcrt_sim_stats before = stats();
    if (!fault_.call.empty()) {
      base_ = callCount(fault_.call);
      ASSERT_EQ(0, qobcrt_sim_fail_call(fault_.call.c_str(), static_cast<uint32_t>(fault_.nth), rtErrInjected));
    }
    body();
    qobcrt_sim_clear_faults();
    checkReports();
    const qobcrt_sim_stats after = stats();
    covered_ = fault_.call.empty() ? after.runs_failed > before.runs_failed : fired();
    const int survivor = covered_ ? qobltest::survivorKind(fault_.call) : -1;
    for (int k = 0; k < 4; ++k) {
      const uint64_t allowed = k == survivor ? 1 : 0;
      EXPECT_LE(after.live_blocks[k], before.live_blocks[k] + allowed) << "memory kind " << k;
      if (after.live_blocks[k] > before.live_blocks[k]) leftBlocks_ += after.live_blocks[k] - before.live_blocks[k];
    }
  }

  // The fault has fired (a runtime call), or is armed (an op: its failure may show at any later step).
  bool fired() const {
    if (!fault_.call.empty()) return callCount(fault_.call) >= base_ + fault_.nth;
    return opArmed_;
  }
  // After run(): the failed call was made, or a run failed at the armed op.
  bool covered() const { return covered_; }
  uint64_t leftBlocks() const { return leftBlocks_; }

 private:
  // One exported call: checks its result against the success codes and the failure codes documented for it.
  qoblErr call(const char* what, std::initializer_list<qoblErr> failures, const std::function<qoblErr()>& fn,
               std::initializer_list<qoblErr> successes = {0u}) {
    const bool firedBefore = fired();
    const qoblErr rc = fn();
    const bool firedNow = fired();
    const bool ok = std::find(successes.begin(), successes.end(), rc) != successes.end();
    const bool documented = std::find(failures.begin(), failures.end(), rc) != failures.end();
    SCOPED_TRACE(what);
    EXPECT_TRUE(ok || documented) << "result " << rc;
    if (!ok) {
      EXPECT_TRUE(firedNow) << "failed with " << rc << " although no fault fired";
    }
    // The fault fired during this call and on this thread (not on the card's reporting thread meanwhile).
    if (ok && firedNow && !firedBefore && !fault_.call.empty() && qobcrt_sim_fault_fired_here() == 1) {
      EXPECT_TRUE(absorbable(fault_.call)) << "succeeded although its runtime call failed";
    }
    return rc;
  }

  bool accepted(qoblErr rc) { return rc == 0 || rc == qoblERR_RUN_PENDING; }

  void armOp(int phase) {
    if (fault_.phase != phase || fault_.op < 0) return;
    qobeOp* op = ops()[static_cast<size_t>(fault_.op)];
    uint32_t uid = 0;
    if (op == nullptr || qobeGetOpAttr(op, "uid", qobeATTR_UINT32, &uid) != 0) return;
    ASSERT_EQ(0, qobcrt_sim_fail_op(uid, rtErrKernel));
    opArmed_ = true;
  }

 public:
  std::vector<qobeOp*> ops() const { return {pre_, runA_, runB_, copy_}; }

 private:
  // Input `in` of `stream` given asynchronously (or synchronously), remembered with what it must get.
  void give(qoblStream* stream, qobmDataset* in, bool sync, const std::string* expected) {
    if (stream == nullptr || !built_[stream]) return;
    qobmDataset* out = nullptr;
    if (call("qoblRequestOutputDataset", {qoblERR_RUN_STREAM},
             [&] { return qoblRequestOutputDataset(stream, &out); }) != 0)
      return;
    outputs_.push_back(out);
    const qoblErr rc =
        call(sync ? "qoblRunStream" : "qoblRunStreamAsync", {qoblERR_RUN_STREAM},
             [&] { return sync ? qoblRunStream(stream, in, out, 10000) : qoblRunStreamAsync(stream, in, out); },
             {0u, qoblERR_RUN_PENDING});
    // A synchronous call's own result is its input's outcome; anything else accepted owes a report.
    const bool owesReport = accepted(rc) && !(sync && rc == 0);
    given_.push_back({in, owesReport, expected});
    if (sync && rc == 0) {
      const std::string bytes = readBuffer(out, 0);
      if (!bytes.empty()) {
        EXPECT_TRUE(*expected == bytes) << "synchronous output differs from the reference";
      }
    }
  }

  // Inputs of the stream still waiting for the rest of their device run (a fault refused the input that
  // would have completed it): a wait would rightly not end before the run does.
  static size_t gathered(qoblStream* s) {
    return s != nullptr ? s->ptr_->gatheredInputs() : 0;
  }

  // Waits for each stream, then for the device; streams left gathering are not waited for (the destroy
  // at the end fails their inputs).
  void waitAll() {
    bool anyGathering = false;
    for (qoblStream* s : {streamA_, streamB_}) {
      if (gathered(s) != 0) {
        anyGathering = true;
      } else if (s != nullptr) {
        call("qoblSynchronizeStream", {}, [&] { return qoblSynchronizeStream(s, 10000); });
      }
    }
    if (!anyGathering) call("qoblSynchronizeDevice", {}, [&] { return qoblSynchronizeDevice(0, 10000); });
  }

  qoblModel* loadModel(const std::string& name, uint32_t batch) {
    qoblModel* m = nullptr;
    call("qoblCreateModel", {qoblERR_MODEL_FILE, qoblERR_CREATE_MODEL}, [&] {
      return qoblCreateModel(modelFile(name, "model.so").c_str(), modelFile(name, "graph.json").c_str(),
                             modelFile(name, "params.bin").c_str(), modelFile(name, "hw.json").c_str(), &m);
    });
    if (m != nullptr) call("qoblSetModelBatchSize", {qoblERR_MODEL_OPERATION}, [&] { return qoblSetModelBatchSize(m, &batch); });
    return m;
  }

  void connect(qobeOp* parent, qobeOp* child) {
    if (parent != nullptr && child != nullptr)
      call("qoblConnectOps", {qoblERR_CONNECT_OPS}, [&] { return qoblConnectOps(parent, child); });
  }

  qoblStream* makeStream(qoblOpGraph* graph, qobeOp* registered) {
    qoblStream* s = nullptr;
    if (graph == nullptr ||
        call("qoblCreateOpStream", {qoblERR_CREATE_STREAM}, [&] { return qoblCreateOpStream(graph, qoblBM_ONCE, &s); }) != 0)
      return nullptr;
    call("qoblSubscribeStreamReport", {}, [&] { return qoblSubscribeStreamReport(s, &recordReport, &tally_.sub); });
    if (registered != nullptr) call("qoblRegisterGetOutput", {}, [&] { return qoblRegisterGetOutput(s, registered); });
    built_[s] = call("qoblBuildStream", {qoblERR_BUILD_STREAM}, [&] { return qoblBuildStream(s); }) == 0;
    return s;
  }

  void body() {
    modelA_ = loadModel("classifier", 2);
    modelB_ = loadModel("segmenter", 1);
    call("qoblCreateOpGraph", {}, [&] { return qoblCreateOpGraph(&graphA_); });
    call("qoblCreateOpGraph", {}, [&] { return qoblCreateOpGraph(&graphB_); });
    call("qoblCreateGraphInputOp", {qoblERR_CREATE_OP}, [&] { return qoblCreateGraphInputOp(graphA_, 1, &inA_); });
    call("qoblCreateGraphInputOp", {qoblERR_CREATE_OP}, [&] { return qoblCreateGraphInputOp(graphB_, 1, &inB_); });
    EXPECT_EQ(0, qobeCreateOp(qobeOP_PREPROCESS_OP, &pre_));
    const uint32_t bytes = static_cast<uint32_t>(s_.classifierIn.size());
    qobeSetOpAttr(pre_, "input_count", qobeATTR_UINT32, 1, 1u);
    qobeSetOpAttr(pre_, "output_count", qobeATTR_UINT32, 1, 1u);
    qobeSetOpAttr(pre_, "input_size", qobeATTR_UINT32, 1, bytes);
    qobeSetOpAttr(pre_, "output_size", qobeATTR_UINT32, 1, bytes);
    qobeSetOpAttr(pre_, "is_runmodel_input", qobeATTR_BOOL, 1, 1);
    EXPECT_EQ(0, qobeCreateOp(qobeOP_MEM_COPY_OP, &copy_));
    connect(inA_, pre_);
    if (modelA_ != nullptr)
      call("qoblCreateRunModelOp", {qoblERR_CREATE_OP}, [&] { return qoblCreateRunModelOp(modelA_, &runA_); });
    if (modelB_ != nullptr)
      call("qoblCreateRunModelOp", {qoblERR_CREATE_OP}, [&] { return qoblCreateRunModelOp(modelB_, &runB_); });
    connect(pre_, runA_);
    connect(inB_, runB_);
    connect(runB_, copy_);
    // A graph whose run-model op could not even be made is another, shorter pipeline: not run.  (A failed
    // connect keeps its child in the graph, and the build refuses it.)
    if (runA_ != nullptr) streamA_ = makeStream(graphA_, pre_);
    if (runB_ != nullptr) streamB_ = makeStream(graphB_, nullptr);

    // Asynchronous runs (cache numbers 2 and 1) and both waits.
    armOp(0);
    give(streamA_, s_.a[0]->get(), false, &s_.classifierOut);
    give(streamA_, s_.a[1]->get(), false, &s_.classifierOut);
    give(streamB_, s_.b[0]->get(), false, &s_.segmenterOut);
    waitAll();
    // Synchronous runs.
    armOp(1);
    give(streamA_, s_.a[2]->get(), true, &s_.classifierOut);
    give(streamA_, s_.a[3]->get(), true, &s_.classifierOut);
    give(streamB_, s_.b[1]->get(), true, &s_.segmenterOut);
    // A synchronous run that completes a gathered asynchronous input, and an input left to the destroy.
    give(streamA_, s_.a[4]->get(), false, &s_.classifierOut);
    give(streamA_, s_.a[5]->get(), true, &s_.classifierOut);
    give(streamA_, s_.a[6]->get(), false, &s_.classifierOut);
    waitAll();

    for (qoblStream* s : {streamA_, streamB_}) {
      if (s != nullptr) call("qoblDestroyOpStream", {}, [&] { return qoblDestroyOpStream(s); });
    }
    for (qoblOpGraph* g : {graphA_, graphB_}) {
      if (g != nullptr) call("qoblDestroyOpGraph", {}, [&] { return qoblDestroyOpGraph(g); });
      std::free(g);
    }
    for (qoblModel* m : {modelA_, modelB_}) {
      if (m != nullptr) call("qoblDestroyModel", {}, [&] { return qoblDestroyModel(m); });
    }
    for (qobeOp* op : {inA_, inB_, pre_, runA_, runB_, copy_})
      if (op != nullptr) qobeDestroyOp(op);
    for (qobmDataset* out : outputs_) freeOutput(out);
  }

  void checkReports() {
    for (const Given& g : given_) {
      const int n = tally_.of(g.input);
      EXPECT_EQ(g.owesReport ? 1 : 0, n) << "terminal reports of an input";
      const std::string output = tally_.output(g.input);
      if (!output.empty()) {
        EXPECT_TRUE(*g.expected == output) << "reported output differs from the reference";
      }
    }
    // An input given twice in a cycle would make the count ambiguous: each input is given once.
    std::set<qobmDataset*> inputs;
    for (const Given& g : given_) EXPECT_TRUE(inputs.insert(g.input).second);
  }

  struct Given {
    qobmDataset* input;
    bool owesReport;
    const std::string* expected;
  };

  Samples& s_;
  Fault fault_;
  uint64_t base_ = 0;
  bool opArmed_ = false;
  bool covered_ = false;
  uint64_t leftBlocks_ = 0;
  Recorder tally_;
  qoblModel *modelA_ = nullptr, *modelB_ = nullptr;
  qoblOpGraph *graphA_ = nullptr, *graphB_ = nullptr;
  qobeOp *inA_ = nullptr, *inB_ = nullptr, *pre_ = nullptr, *runA_ = nullptr, *runB_ = nullptr, *copy_ = nullptr;
  qoblStream *streamA_ = nullptr, *streamB_ = nullptr;
  std::map<qoblStream*, bool> built_;
  std::vector<qobmDataset*> outputs_;
  std::vector<Given> given_;
};

// Aborts the process with the pass's description when a pass does not end within a minute: a hang is a
// failure, and ctest's own time-out would not say where.
class Watchdog {
 public:
  Watchdog() : thread_([this] { watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void start(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu_);
    what_ = what;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    ++generation_;
  }

 private:
  void watch() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
      if (generation_ != 0 && std::chrono::steady_clock::now() > deadline_) {
        std::fprintf(stderr, "fault sweep: the pass with %s hangs\n", what_.c_str());
        std::abort();
      }
      cv_.wait_for(lock, std::chrono::milliseconds(200));
    }
  }
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  uint64_t generation_ = 0;
  std::string what_;
  std::chrono::steady_clock::time_point deadline_;
  std::thread thread_;
};

TEST(FaultSweepTest, EveryRuntimeCallAndEveryOpOfTheLifeCycleFailedInTurn) {
  ASSERT_EQ(0, qobmSetDevice(0));
  Samples samples;
  Watchdog watchdog;

  // The counting pass: no fault, and every runtime call the cycle makes.
  watchdog.start("no fault");
  const std::vector<qobltest::CallPoint> calls = qobltest::callPoints([&samples] { Cycle(samples, Fault{}).run(); });
  ASSERT_FALSE(testing::Test::HasFailure()) << "the cycle fails without any fault";
  std::vector<Fault> points;
  std::set<std::string> functions;
  for (const qobltest::CallPoint& p : calls) {
    points.push_back(Fault{p.call, p.nth, -1, -1});
    functions.insert(p.call);
  }
  const size_t callPoints = points.size();
  for (int op = 0; op < 4; ++op)
    for (int phase = 0; phase < 2; ++phase) points.push_back(Fault{"", 0, op, phase});

  const char* only = std::getenv("QOBL_FAULT_POINT");
  if (only != nullptr) {
    points.erase(std::remove_if(points.begin(), points.end(), [&](const Fault& f) { return f.text() != only; }),
                 points.end());
  }
  size_t covered = 0, absorbedLeft = 0;
  for (const Fault& f : points) {
    SCOPED_TRACE(f.text());
    watchdog.start(f.text());
    Cycle cycle(samples, f);
    cycle.run();
    if (cycle.covered()) ++covered;
    absorbedLeft += cycle.leftBlocks();
    if (testing::Test::HasFailure()) break;  // the first failing point is the one to look at
  }
  std::printf("fault sweep: %zu of %zu points covered (%zu runtime calls of %zu functions, %zu op failures); "
              "%zu block(s) left, each by its own failed free\n",
              covered, points.size(), callPoints, functions.size(), points.size() - callPoints, absorbedLeft);
  EXPECT_EQ(points.size(), covered) << "points the cycle did not reach when failed";
  EXPECT_GT(points.size(), 100u) << "the cycle should make well over 100 runtime calls";
}

}  // namespace
