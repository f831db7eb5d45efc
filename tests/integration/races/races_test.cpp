// The C API driven from many threads at once, as multi-threaded applications drive it: streams of one
// shared model made, run and destroyed in loops while other models come and go; one stream run, waited for
// and destroyed by three threads; report callbacks that run other streams while subscriptions grow; device
// waits from several threads; a dynamic model shared by streams of different input sizes, and model
// reloads under running streams; two cards used from two threads.
//
// Every case checks outcomes, not timings: each accepted input gets exactly one terminal report and the
// reference output, every refusal carries its code, nothing hangs, and the cards keep no block afterwards.
// The program runs with two cards (QOBCRT_DEVICE_COUNT=2, set by its CMake file).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "op_directed_graph.h"
#include "qobl_api_impl.h"
#include "stream_test_util.h"

using namespace streamtest;

namespace {

bool accepted(qoblErr rc) { return rc == 0 || rc == qoblERR_RUN_PENDING; }

class RacesTest : public qobltest::LiveBlocksTest {};

// A dataset over one block of application memory on card `dev` holding `bytes`.
class DevDataset {
 public:
  DevDataset(uint32_t dev, const std::string& bytes) {
    EXPECT_EQ(0, qobmMalloc(bytes.size(), &addr_));
    EXPECT_EQ(0, qobmMemcpy(addr_, reinterpret_cast<uint64_t>(bytes.data()), bytes.size(), 0));
    EXPECT_EQ(0, qobmCreateDataset(qobmDM_BUFFER, &ds_));
    EXPECT_EQ(0, qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_QOBC, dev}, addr_, bytes.size(), &buf_));
    EXPECT_EQ(0, qobmAddDatasetBuffer(ds_, buf_));
  }
  ~DevDataset() {
    qobmDestroyDataBuffer(buf_);
    qobmDestroyDataset(ds_);
    qobmFree(addr_);
  }
  DevDataset(const DevDataset&) = delete;
  DevDataset& operator=(const DevDataset&) = delete;
  qobmDataset* get() const { return ds_; }

 private:
  uint64_t addr_ = 0;
  qobmDataset* ds_ = nullptr;
  qobmDataBuffer* buf_ = nullptr;
};

// input op -> run-model op of a model shared with other threads, and a built stream of it on the calling
// thread's current device; for a dynamic model (`side` not 0) the input op hands on side x side images.
// Made, used and torn down by one thread.
class StreamOn {
 public:
  explicit StreamOn(qoblModel* model, int64_t side = 0) : shape_(image(side, side)) {
    EXPECT_EQ(0u, qoblCreateOpGraph(&graph_));
    EXPECT_EQ(0u, qoblCreateGraphInputOp(graph_, 1, &input_));
    if (side != 0) setInputShape(input_, shape_);
    EXPECT_EQ(0u, qoblCreateRunModelOp(model, &run_));
    EXPECT_EQ(0u, qoblConnectOps(input_, run_));
    EXPECT_EQ(0u, qoblCreateOpStream(graph_, qoblBM_ONCE, &stream_));
    EXPECT_EQ(0u, qoblBuildStream(stream_));
  }
  ~StreamOn() {
    if (stream_ != nullptr) {
      EXPECT_EQ(0u, qoblDestroyOpStream(stream_));
    }
    EXPECT_EQ(0u, qoblDestroyOpGraph(graph_));
    std::free(graph_);
    qobeDestroyOp(input_);
    qobeDestroyOp(run_);
  }
  StreamOn(const StreamOn&) = delete;
  StreamOn& operator=(const StreamOn&) = delete;
  qoblStream* stream() const { return stream_; }

 private:
  qobmShape shape_;
  qoblOpGraph* graph_ = nullptr;
  qoblStream* stream_ = nullptr;
  qobeOp* input_ = nullptr;
  qobeOp* run_ = nullptr;
};

// Holds each of `n` threads in wait() until all of them arrived, round after round.
class Barrier {
 public:
  explicit Barrier(int n) : n_(n) {}
  void wait() {
    std::unique_lock<std::mutex> lock(mu_);
    const int round = round_;
    if (++arrived_ == n_) {
      arrived_ = 0;
      ++round_;
      cv_.notify_all();
      return;
    }
    cv_.wait(lock, [&] { return round_ != round; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  const int n_;
  int arrived_ = 0, round_ = 0;
};

qoblModel* loadStatic(const char* name, uint32_t batch) {
  qoblModel* m = nullptr;
  EXPECT_EQ(0u, qoblCreateModel(modelFile(name, "model.so").c_str(), modelFile(name, "graph.json").c_str(),
                                modelFile(name, "params.bin").c_str(), modelFile(name, "hw.json").c_str(), &m));
  if (m != nullptr) {
    EXPECT_EQ(0u, qoblSetModelBatchSize(m, &batch));
  }
  return m;
}

// Three threads each make their own graph and stream of one shared model, run it asynchronously and
// synchronously, check the outputs and tear everything down, in a loop; meanwhile one thread loads and
// destroys other models (among them a second copy of the shared one) and another asks the shared model
// its shapes and sizes.  (Destroying a graph unregisters the ops of every graph as parents for
// qoblConnectOps, so the workers finish connecting before any of them destroys its graph: one barrier
// before the graphs are made, one after.)  Every output is the reference, every input is reported once, and the card ends
// with no block of the library or the models.
TEST_F(RacesTest, StreamsOfOneModelComeAndGoWhileOtherModelsLoad) {
  ASSERT_EQ(0, qobmSetDevice(0));
  const std::string input = readBytes(modelFile("classifier", "sample_input.bin"));
  const std::string expected = readBytes(modelFile("classifier", "expected_output.bin"));
  qoblModel* shared = loadStatic("classifier", 1);
  ASSERT_NE(nullptr, shared);
  constexpr int kWorkers = 3, kRounds = 6, kAsync = 3;
  std::atomic<int> working{kWorkers}, faults{0};
  Barrier connected(kWorkers);
  auto worker = [&](int w) {
    qobmSetDevice(0);
    for (int round = 0; round < kRounds; ++round) {
      Recorder tally;
      connected.wait();
      {
        StreamOn s(shared);
        connected.wait();
        if (qoblSubscribeStreamReport(s.stream(), &recordReport, &tally.sub) != 0) ++faults;
        CardDataset in(input);
        std::vector<std::unique_ptr<Output>> outs;
        for (int i = 0; i < kAsync; ++i) {
          outs.emplace_back(new Output(s.stream()));
          if (qoblRunStreamAsync(s.stream(), in.get(), outs.back()->get()) != 0) ++faults;
        }
        Output syncOut(s.stream());
        if (qoblRunStream(s.stream(), in.get(), syncOut.get(), 10000) != 0) ++faults;
        if (readBuffer(syncOut.get(), 0) != expected) ++faults;
        if (qoblSynchronizeStream(s.stream(), 10000) != 0) ++faults;
        for (auto& o : outs) {
          if (readBuffer(o->get(), 0) != expected) ++faults;
        }
      }
      const std::vector<Report> reports = tally.snapshot();
      EXPECT_EQ(static_cast<size_t>(kAsync), reports.size()) << "worker " << w << " round " << round;
      for (const Report& r : reports) {
        EXPECT_EQ(0u, r.errorCode);
        EXPECT_EQ(expected, r.output);
      }
    }
    --working;
  };
  auto loader = [&] {
    qobmSetDevice(0);
    for (int k = 0; working.load() > 0; ++k) {
      qoblModel* other = loadStatic(k % 2 == 0 ? "segmenter" : "classifier", 1 + k % 2);
      uint64_t size = 0;
      if (other == nullptr || qoblGetModelOutputSizeByIndex(other, 0, &size) != 0 || size == 0) ++faults;
      if (other != nullptr && qoblDestroyModel(other) != 0) ++faults;
    }
  };
  auto asker = [&] {
    uint64_t size = 0, wantSize = 0;
    qobmShape shape{}, wantShape{};
    uint32_t batch = 0, count = 0;
    EXPECT_EQ(0u, qoblGetModelOutputSizeByIndex(shared, 0, &wantSize));
    EXPECT_EQ(0u, qoblGetModelInputShapeByIndex(shared, 0, &wantShape));
    while (working.load() > 0) {
      if (qoblGetModelOutputSizeByIndex(shared, 0, &size) != 0 || size != wantSize) ++faults;
      if (qoblGetModelInputShapeByIndex(shared, 0, &shape) != 0 || shape.shapes[3] != wantShape.shapes[3]) ++faults;
      if (qoblGetModelBatchSize(shared, &batch) != 0 || batch != 1) ++faults;
      if (qoblGetModelInputCount(shared, &count) != 0 || count != 1) ++faults;
      std::this_thread::yield();
    }
  };
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) threads.emplace_back(worker, w);
  threads.emplace_back(loader);
  threads.emplace_back(asker);
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, faults.load());
  EXPECT_EQ(0u, qoblDestroyModel(shared));
}

// Thread A gives a stream inputs, thread B waits for the stream over and over, thread D waits for the
// device, and thread C destroys the stream once A had some inputs accepted.  Every call of A is accepted
// or refused with a code (qoblERR_RUN_STREAM while a wait or the destroy is on, qoblERR_INVALID_STREAM
// once the stream is gone); the waits end with 0, with qoblERR_STREAM_SYNC_TIMEOUT when the destroy
// ended them, or with qoblERR_INVALID_STREAM afterwards; every accepted input is reported exactly once,
// before the destroy returns.
TEST_F(RacesTest, OneStreamRunWaitedForAndDestroyedByDifferentThreads) {
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Recorder tally;
    {
      Pipeline p(Pipeline::Options().withBatch(round % 2 == 0 ? 1 : 4));
      SlowCard slow(200);
      ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &tally.sub));
      constexpr size_t kInputs = 40;
      Inputs in(p, kInputs);
      qoblStream* stream = p.stream();  // used after the destroy on purpose
      std::vector<qoblErr> rcs(kInputs, UINT32_MAX);
      std::atomic<int> acceptedCount{0}, faults{0};
      std::atomic<bool> destroying{false}, gone{false};
      std::thread a([&] {
        qobmSetDevice(0);
        for (size_t i = 0; i < kInputs; ++i) {
          qoblErr rc = qoblRunStreamAsync(stream, in.in(i), in.out(i));
          // Refused while B waits: tried again until the destroy starts.
          while (rc == qoblERR_RUN_STREAM && !destroying.load()) {
            std::this_thread::yield();
            rc = qoblRunStreamAsync(stream, in.in(i), in.out(i));
          }
          rcs[i] = rc;
          if (accepted(rc)) ++acceptedCount;
          std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
      });
      // With four inputs per device run, a wait may find a run still gathering inputs, which it refuses
      // meanwhile: such a wait can only time out (briefly, here).
      const bool gathers = round % 2 != 0;
      auto waiter = [&](bool device) {
        // Without a limit otherwise: the destroy must end a wait it finds (closing the stream wakes it).
        const uint32_t timeout = gathers ? 20 : UINT32_MAX;
        const qoblErr timedOut = device ? qoblERR_DEVICE_SYNC_TIMEOUT : qoblERR_STREAM_SYNC_TIMEOUT;
        while (!gone.load()) {
          const qoblErr rc = device ? qoblSynchronizeDevice(0, timeout) : qoblSynchronizeStream(stream, timeout);
          const bool ok = rc == 0 || (rc == timedOut && (gathers || destroying.load())) ||
                          (rc == qoblERR_INVALID_STREAM && !device && destroying.load());
          if (!ok) ++faults;
          std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
      };
      std::thread b(waiter, false), d(waiter, true);
      while (acceptedCount.load() < 4 + 3 * round) std::this_thread::yield();
      destroying = true;
      EXPECT_EQ(0u, qoblDestroyOpStream(stream));
      p.forgetStream();
      const size_t reportedAtDestroy = tally.total();
      gone = true;
      a.join();
      b.join();
      d.join();
      EXPECT_EQ(0, faults.load());
      EXPECT_EQ(reportedAtDestroy, tally.total());
      uint32_t n = 0;
      EXPECT_EQ(qoblERR_INVALID_STREAM, qoblGetStreamCacheNumber(stream, &n));
      for (size_t i = 0; i < kInputs; ++i) {
        if (accepted(rcs[i])) {
          EXPECT_EQ(1, tally.of(in.in(i))) << i;
        } else {
          EXPECT_TRUE(rcs[i] == qoblERR_RUN_STREAM || rcs[i] == qoblERR_INVALID_STREAM) << i << ": " << rcs[i];
          EXPECT_EQ(0, tally.of(in.in(i))) << i;
        }
      }
    }
    expectNoLibraryBlocks();
  }
}

// A report callback of stream X that, for each end report, runs stream Y synchronously (checking its
// output), gives stream Z an input, and tries to destroy X itself (refused).
struct Relay {
  qoblStream* x = nullptr;
  qoblStream* y = nullptr;
  qoblStream* z = nullptr;
  qobmDataset* yIn = nullptr;
  qobmDataset* yOut = nullptr;
  std::vector<qobmDataset*> zIn, zOut;
  const std::string* expected = nullptr;
  std::atomic<int> ends{0}, faults{0};
  static void fn(qobeOp*, qobmDataset*, qobmDataset*, qoblCallbackStatus* st, void* user) {
    auto* self = static_cast<Relay*>(user);
    if (st->isStreamEnd == 0 || st->errorCode != 0) return;
    const int k = self->ends++;
    if (qoblRunStream(self->y, self->yIn, self->yOut, 10000) != 0) ++self->faults;
    if (readBuffer(self->yOut, 0) != *self->expected) ++self->faults;
    if (qoblRunStreamAsync(self->z, self->zIn[k], self->zOut[k]) != 0) ++self->faults;
    if (qoblDestroyOpStream(self->x) != qoblERR_DESTROY_STREAM) ++self->faults;
    if (qoblRunStreamAsync(self->x, self->yIn, self->yOut) != qoblERR_RUN_STREAM) ++self->faults;
  }
};

// A report callback that takes a while and counts its calls.
struct SlowCallbackCount {
  std::atomic<int> n{0};
  static void fn(qobeOp*, qobmDataset*, qobmDataset*, qoblCallbackStatus*, void* user) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++static_cast<SlowCallbackCount*>(user)->n;
  }
};

// Counts the calls of one subscription.
struct Counter {
  std::atomic<int> calls{0};
  static void fn(qobeOp*, qobmDataset*, qobmDataset*, qoblCallbackStatus* st, void* user) {
    if (st->isStreamEnd != 0) ++static_cast<Counter*>(user)->calls;
  }
};

// While X's runs are delivered (its callback runs Y and feeds Z), another thread subscribes twenty more
// callbacks to X one after the other.  Every X input reaches the relay once, Y's runs from the callback
// yield the reference, every Z input is reported once, and a later subscription never sees more reports
// than an earlier one (nor more than there were inputs).
TEST_F(RacesTest, CallbacksRunOtherStreamsWhileSubscriptionsGrow) {
  constexpr int kRuns = 12, kSubs = 20;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    {
      Pipeline x, y, z;
      SlowCard slow(300);
      Relay relay;
      Recorder zTally;
      CardDataset yIn(y.input());
      Output yOut(y.stream());
      Inputs zs(z, kRuns);
      relay.x = x.stream();
      relay.y = y.stream();
      relay.z = z.stream();
      relay.yIn = yIn.get();
      relay.yOut = yOut.get();
      relay.expected = &y.expected();
      for (int i = 0; i < kRuns; ++i) {
        relay.zIn.push_back(zs.in(static_cast<size_t>(i)));
        relay.zOut.push_back(zs.out(static_cast<size_t>(i)));
      }
      ASSERT_EQ(0u, qoblSubscribeStreamReport(x.stream(), &Relay::fn, &relay));
      ASSERT_EQ(0u, qoblSubscribeStreamReport(z.stream(), &recordReport, &zTally.sub));
      std::vector<Counter> counters(kSubs);
      std::atomic<bool> started{false};
      std::thread subscriber([&] {
        while (!started.load()) std::this_thread::yield();
        for (int k = 0; k < kSubs; ++k) {
          EXPECT_EQ(0u, qoblSubscribeStreamReport(x.stream(), &Counter::fn, &counters[static_cast<size_t>(k)]));
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      });
      Inputs xs(x, kRuns);
      for (int i = 0; i < kRuns; ++i) {
        ASSERT_EQ(0u, qoblRunStreamAsync(x.stream(), xs.in(static_cast<size_t>(i)), xs.out(static_cast<size_t>(i))));
        started = true;
      }
      subscriber.join();
      ASSERT_EQ(0u, qoblSynchronizeStream(x.stream(), 10000));
      ASSERT_EQ(0u, qoblSynchronizeStream(z.stream(), 10000));
      EXPECT_EQ(kRuns, relay.ends.load());
      EXPECT_EQ(0, relay.faults.load());
      for (int i = 0; i < kRuns; ++i) {
        EXPECT_EQ(1, zTally.of(zs.in(static_cast<size_t>(i)))) << i;
        EXPECT_EQ(z.expected(), zTally.output(zs.in(static_cast<size_t>(i)))) << i;
      }
      for (int k = 0; k < kSubs; ++k) {
        const int calls = counters[static_cast<size_t>(k)].calls.load();
        EXPECT_LE(calls, kRuns) << k;
        if (k > 0) {
          EXPECT_LE(calls, counters[static_cast<size_t>(k - 1)].calls.load()) << k;
        }
      }
    }
    expectNoLibraryBlocks();
  }
}

// Three threads wait for the device over and over while two threads feed their own streams and a fifth
// makes and destroys streams of the device.  Every device wait ends with 0, every accepted input is
// reported once with the reference output, and inputs refused during the waits (qoblERR_RUN_STREAM) are
// given again.
TEST_F(RacesTest, DeviceWaitsFromSeveralThreadsWhileStreamsRunAndChange) {
  Pipeline a, b, spare(Pipeline::Options().unbuilt());
  SlowCard slow(100);
  Recorder ta, tb;
  ASSERT_EQ(0u, qoblSubscribeStreamReport(a.stream(), &recordReport, &ta.sub));
  ASSERT_EQ(0u, qoblSubscribeStreamReport(b.stream(), &recordReport, &tb.sub));
  constexpr size_t kInputs = 30;
  Inputs ia(a, kInputs), ib(b, kInputs);
  std::atomic<int> feeding{2}, faults{0}, waiting{0};
  auto feed = [&](Pipeline& p, Inputs& in) {
    qobmSetDevice(0);
    while (waiting.load() < 3) std::this_thread::yield();  // the waits overlap the feeding
    for (size_t i = 0; i < kInputs; ++i) {
      qoblErr rc;
      while ((rc = qoblRunStreamAsync(p.stream(), in.in(i), in.out(i))) == qoblERR_RUN_STREAM)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      if (rc != 0) ++faults;
    }
    --feeding;
  };
  auto wait = [&] {
    ++waiting;
    while (feeding.load() > 0) {
      if (qoblSynchronizeDevice(0, UINT32_MAX) != 0) ++faults;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  };
  auto churn = [&] {
    qobmSetDevice(0);
    while (feeding.load() > 0) {
      qoblStream* s = nullptr;
      if (qoblCreateOpStream(spare.graph(), qoblBM_ONCE, &s) != 0 || qoblBuildStream(s) != 0 ||
          qoblDestroyOpStream(s) != 0)
        ++faults;
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(feed, std::ref(a), std::ref(ia));
  threads.emplace_back(feed, std::ref(b), std::ref(ib));
  for (int k = 0; k < 3; ++k) threads.emplace_back(wait);
  threads.emplace_back(churn);
  for (auto& t : threads) t.join();
  EXPECT_EQ(0u, qoblSynchronizeDevice(0, 10000));
  EXPECT_EQ(0, faults.load());
  for (size_t i = 0; i < kInputs; ++i) {
    EXPECT_EQ(1, ta.of(ia.in(i))) << i;
    EXPECT_EQ(a.expected(), ta.output(ia.in(i))) << i;
    EXPECT_EQ(1, tb.of(ib.in(i))) << i;
    EXPECT_EQ(b.expected(), tb.output(ib.in(i))) << i;
  }
}

// One dynamic model shared by two streams whose inputs have different sizes (8x8 and 24x24, run by
// different suite members), each run from its own thread, while a third thread sets the model's input
// shape and asks it its largest batch size.  Each stream's runs use its own size: every output is the
// reference of that size.
TEST_F(RacesTest, DynamicModelSharedByStreamsOfDifferentSizes) {
  ASSERT_EQ(0, qobmSetDevice(0));
  const std::string suite = modelFile("dynamic", "suite.json"), hw = modelFile("dynamic", "hw.json");
  qoblModel* model = nullptr;
  ASSERT_EQ(0u, qoblCreateDynamicModel(suite.c_str(), hw.c_str(), &model));
  qobmShape start = image(8, 8);
  ASSERT_EQ(0u, qoblSetDynamicModelInputShape(model, &start, 1));
  uint32_t batch = 1;
  ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
  constexpr int kRuns = 15;
  std::atomic<int> running{2}, faults{0};
  auto worker = [&](int64_t side, bool async) {
    qobmSetDevice(0);
    const std::string dir = "samples/" + std::to_string(side) + "x" + std::to_string(side) + "/";
    const std::string input = readBytes(modelFile("dynamic", dir + "sample_input.bin"));
    const std::string expected = readBytes(modelFile("dynamic", dir + "expected_output.bin"));
    {
      StreamOn s(model, side);
      Recorder tally;
      EXPECT_EQ(0u, qoblSubscribeStreamReport(s.stream(), &recordReport, &tally.sub));
      CardDataset in(input);
      CardDataset out(std::string(expected.size(), '\0'));  // sized for this stream's size
      for (int i = 0; i < kRuns; ++i) {
        const qoblErr rc = async ? qoblRunStreamAsync(s.stream(), in.get(), out.get())
                                 : qoblRunStream(s.stream(), in.get(), out.get(), 10000);
        if (rc != 0 || (async && qoblSynchronizeStream(s.stream(), 10000) != 0)) ++faults;
        if (readBuffer(out.get(), 0) != expected) ++faults;
      }
      for (const Report& r : tally.snapshot()) {
        if (r.errorCode != 0 || r.output != expected) ++faults;
      }
    }
    --running;
  };
  auto shaper = [&] {
    qobmShape mid = image(16, 16);
    while (running.load() > 0) {
      const qoblErr rc = qoblSetDynamicModelInputShape(model, &mid, 1);
      if (rc != 0 && rc != qoblERR_MODEL_OPERATION) ++faults;
      uint32_t most = 0;
      if (qoblGetDynamicModelMaxBatchSize(model, &mid, 1, &most) != 0 || most == 0) ++faults;
      std::this_thread::yield();
    }
  };
  std::thread small(worker, 8, false), large(worker, 24, true), third(shaper);
  small.join();
  large.join();
  third.join();
  EXPECT_EQ(0, faults.load());
  EXPECT_EQ(0u, qoblDestroyModel(model));
}

// A thread sets a static model's batch size again (to the same value) over and over while another runs a
// stream of it: the reloads do not disturb the runs, which all yield the reference.
TEST_F(RacesTest, BatchSizeSetAgainWhileAStreamRunsTheModel) {
  ASSERT_EQ(0, qobmSetDevice(0));
  Pipeline p;
  std::atomic<bool> done{false};
  std::atomic<int> faults{0};
  std::thread setter([&] {
    while (!done.load()) {
      uint32_t batch = 1;
      if (qoblSetModelBatchSize(p.model(), &batch) != 0 || batch != 1) ++faults;
      std::this_thread::yield();
    }
  });
  CardDataset in(p.input());
  Output out(p.stream());
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(0u, qoblRunStream(p.stream(), in.get(), out.get(), 10000)) << i;
    EXPECT_EQ(p.expected(), readBuffer(out.get(), 0)) << i;
  }
  done = true;
  setter.join();
  EXPECT_EQ(0, faults.load());
}

// Two cards, one thread each: each loads its own model on its card, runs a stream there asynchronously and
// synchronously, waits for its card and for the other one; a stream is refused on a thread whose current
// card is the other one.  A stream on card 1 of a model loaded on card 0 is refused at its build.  Both
// cards end with the blocks they started with.
TEST_F(RacesTest, TwoCardsFromTwoThreads) {
  const qobltest::LiveBlocks before1 = qobltest::liveBlocks(1);
  const std::string input = readBytes(modelFile("classifier", "sample_input.bin"));
  const std::string expected = readBytes(modelFile("classifier", "expected_output.bin"));
  std::atomic<int> faults{0};
  std::atomic<qoblStream*> streams[2] = {{nullptr}, {nullptr}};
  std::atomic<int> ready{0}, checked{0};
  auto card = [&](uint32_t dev) {
    ASSERT_EQ(0, qobmSetDevice(dev));
    qoblModel* model = loadStatic("classifier", 1);
    {
      StreamOn s(model);
      Recorder tally;
      EXPECT_EQ(0u, qoblSubscribeStreamReport(s.stream(), &recordReport, &tally.sub));
      DevDataset in(dev, input);
      std::vector<std::unique_ptr<Output>> outs;
      for (int i = 0; i < 10; ++i) {
        outs.emplace_back(new Output(s.stream()));
        // Refused while the other thread waits for this card: given again.
        qoblErr rc;
        while ((rc = qoblRunStreamAsync(s.stream(), in.get(), outs.back()->get())) == qoblERR_RUN_STREAM)
          std::this_thread::yield();
        if (rc != 0) ++faults;
        outs.emplace_back(new Output(s.stream()));
        if (qoblRunStream(s.stream(), in.get(), outs.back()->get(), 10000) != 0) ++faults;
        if (qoblSynchronizeDevice(1 - dev, 10000) != 0) ++faults;
      }
      if (qoblSynchronizeDevice(dev, 10000) != 0) ++faults;
      for (auto& o : outs) {
        if (readBuffer(o->get(), 0) != expected) ++faults;
      }
      EXPECT_EQ(10u, tally.total());
      for (const Report& r : tally.snapshot()) {
        if (r.errorCode != 0 || r.output != expected) ++faults;
      }
      // The other thread's stream is on the other card: refused here, whatever the datasets.
      streams[dev] = s.stream();
      ++ready;
      while (ready.load() < 2) std::this_thread::yield();
      if (qoblRunStream(streams[1 - dev].load(), in.get(), outs[0]->get(), 10000) != qoblERR_RUN_STREAM) ++faults;
      ++checked;
      while (checked.load() < 2) std::this_thread::yield();
    }
    EXPECT_EQ(0u, qoblDestroyModel(model));
  };
  std::thread t0(card, 0u), t1(card, 1u);
  t0.join();
  t1.join();
  EXPECT_EQ(0, faults.load());
  // A model loaded on card 0 in a stream on card 1: refused at the build, with the cards named.
  ASSERT_EQ(0, qobmSetDevice(0));
  qoblModel* model = loadStatic("classifier", 1);
  ASSERT_EQ(0, qobmSetDevice(1));
  {
    LogCapture log(qobmLL_ERROR);
    qoblOpGraph* graph = nullptr;
    qobeOp *in = nullptr, *run = nullptr;
    qoblStream* stream = nullptr;
    ASSERT_EQ(0u, qoblCreateOpGraph(&graph));
    ASSERT_EQ(0u, qoblCreateGraphInputOp(graph, 1, &in));
    ASSERT_EQ(0u, qoblCreateRunModelOp(model, &run));
    ASSERT_EQ(0u, qoblConnectOps(in, run));
    ASSERT_EQ(0u, qoblCreateOpStream(graph, qoblBM_ONCE, &stream));
    EXPECT_EQ(qoblERR_BUILD_STREAM, qoblBuildStream(stream));
    EXPECT_TRUE(log.contains("runs a model loaded on card 0, but the stream is on card 1"));
    EXPECT_EQ(0u, qoblDestroyOpStream(stream));
    EXPECT_EQ(0u, qoblDestroyOpGraph(graph));
    std::free(graph);
    qobeDestroyOp(in);
    qobeDestroyOp(run);
  }
  EXPECT_EQ(0u, qoblDestroyModel(model));
  qobmSetDevice(0);
  EXPECT_EQ(before1, qobltest::liveBlocks(1)) << "card 1 blocks leaked";
}

// Two streams of one graph (input op -> run-model op -> memory-copy op: the streams share the graph's ops)
// run from two threads at once, asynchronously and synchronously: every output is the reference.
TEST_F(RacesTest, TwoStreamsOfOneGraphOnTwoThreads) {
  Pipeline p(Pipeline::Options().withModel("segmenter").withMemCopy().withBatch(2));
  qoblStream* second = nullptr;
  ASSERT_EQ(0u, qoblCreateOpStream(p.graph(), qoblBM_ONCE, &second));
  ASSERT_EQ(0u, qoblBuildStream(second));
  std::atomic<int> faults{0};
  auto run = [&](qoblStream* s) {
    qobmSetDevice(0);
    Recorder tally;
    EXPECT_EQ(0u, qoblSubscribeStreamReport(s, &recordReport, &tally.sub));
    CardDataset in(p.input());
    std::vector<std::unique_ptr<Output>> outs;
    for (int i = 0; i < 12; ++i) {
      outs.emplace_back(new Output(s));
      const qoblErr rc = i % 3 == 2 ? qoblRunStream(s, in.get(), outs.back()->get(), 10000)
                                    : qoblRunStreamAsync(s, in.get(), outs.back()->get());
      if (!accepted(rc)) ++faults;
    }
    if (qoblSynchronizeStream(s, 10000) != 0) ++faults;
    for (auto& o : outs) {
      if (readBuffer(o->get(), 0) != p.expected()) ++faults;
    }
    for (const Report& r : tally.snapshot()) {
      if (r.terminal() && (r.errorCode != 0 || r.output != p.expected())) ++faults;
    }
  };
  std::thread a(run, p.stream()), b(run, second);
  a.join();
  b.join();
  EXPECT_EQ(0, faults.load());
  EXPECT_EQ(0u, qoblDestroyOpStream(second));
}

// Two threads connect memory-copy ops below the same run-model op of one graph at once, and in each round
// both try to connect the same op: each of their own connects succeeds, exactly one of the two connects of
// the shared op does (the other is refused, qoblERR_CHILD_HAS_PARENT), and the graph holds every op once.
TEST_F(RacesTest, TwoThreadsConnectIntoOneGraph) {
  ASSERT_EQ(0, qobmSetDevice(0));
  Pipeline p(Pipeline::Options().unbuilt());
  p.destroyStream();  // the graph is changed below: no stream may be built of it meanwhile
  constexpr int kRounds = 20;
  std::vector<qobeOp*> shared(kRounds, nullptr), own[2];
  for (qobeOp*& op : shared) ASSERT_EQ(0, qobeCreateOp(qobeOP_MEM_COPY_OP, &op));
  std::atomic<int> faults{0}, sharedWins{0}, sharedRefusals{0};
  std::atomic<int> ready{0};
  auto connect = [&](int t) {
    for (int r = 0; r < kRounds; ++r) {
      qobeOp* op = nullptr;
      if (qobeCreateOp(qobeOP_MEM_COPY_OP, &op) != 0) ++faults;
      own[t].push_back(op);
      ++ready;
      while (ready.load() < 2 * (r + 1)) std::this_thread::yield();
      const qoblErr rs = qoblConnectOps(p.runOp(), shared[static_cast<size_t>(r)]);
      if (rs == 0) ++sharedWins;
      else if (rs == qoblERR_CHILD_HAS_PARENT) ++sharedRefusals;
      else ++faults;
      if (qoblConnectOps(p.runOp(), op) != 0) ++faults;
    }
  };
  std::thread a(connect, 0), b(connect, 1);
  a.join();
  b.join();
  EXPECT_EQ(0, faults.load());
  EXPECT_EQ(kRounds, sharedWins.load());
  EXPECT_EQ(kRounds, sharedRefusals.load());
  EXPECT_EQ(static_cast<size_t>(2 + 3 * kRounds), p.graph()->ptr_->size());
  EXPECT_EQ(0u, qoblDestroyOpGraph(p.graph()));  // the pipeline's teardown finds it destroyed already
  for (qobeOp* op : shared) qobeDestroyOp(op);
  for (auto& ops : own)
    for (qobeOp* op : ops) qobeDestroyOp(op);
}

// An application that ends (exit) while runs are on the card and report callbacks are being delivered,
// with streams, graphs and models never destroyed: the process ends with its own exit code, without a
// crash or a hang in the library's teardown.
TEST(RacesExitTest, ExitWithRunsOnTheCard) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [] {
    qobmSetDevice(0);
    // Never destroyed, but reachable to the end (the leak checker is about the library, not this test).
    struct App {
      Pipeline p;
      CardDataset in{p.input()};
      std::vector<std::unique_ptr<Output>> outs;
      SlowCallbackCount calls;
    };
    static App* app = new App();
    qobcrt_sim_set_op_delay_us(0, 2000);
    qoblSubscribeStreamReport(app->p.stream(), &SlowCallbackCount::fn, &app->calls);
    for (int i = 0; i < 20; ++i) {
      app->outs.emplace_back(new Output(app->p.stream()));
      if (qoblRunStreamAsync(app->p.stream(), app->in.get(), app->outs.back()->get()) != 0) std::exit(3);
    }
    while (app->calls.n.load() == 0) std::this_thread::yield();
    std::exit(7);
  };
  EXPECT_EXIT(run(), testing::ExitedWithCode(7), "");
}

}  // namespace
