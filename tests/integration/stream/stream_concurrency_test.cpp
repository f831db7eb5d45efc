// Streams under concurrency: several streams and threads running at once, and destroying a stream while its
// reports are being delivered.  (A report callback that subscribes another callback: the pipeline test.)
#include <atomic>
#include <chrono>
#include <thread>

#include "stream_test_util.h"

using namespace streamtest;

namespace {

// Each test leaves the card as it found it.
class StreamConcurrencyTest : public qobltest::LiveBlocksTest {};

// Three threads build their models, graphs and streams at the same time (the graph, op and stream
// registries under concurrent use), then each runs its own stream, plus a fourth thread that shares the
// first stream: every output equals the reference and every input gets exactly one report.  The streams
// are destroyed from three threads at once.
TEST_F(StreamConcurrencyTest, SeveralStreamsAndThreads) {
  constexpr int kStreams = 3, kRuns = 20;
  std::vector<std::unique_ptr<Pipeline>> pipes(kStreams);
  std::vector<std::unique_ptr<Recorder>> recs(kStreams);
  {
    std::vector<std::thread> builders;
    for (int s = 0; s < kStreams; ++s) builders.emplace_back([&pipes, s] { pipes[s].reset(new Pipeline()); });
    for (auto& t : builders) t.join();
  }
  for (int s = 0; s < kStreams; ++s) {
    ASSERT_NE(nullptr, pipes[s]->stream());
    recs[s].reset(new Recorder());
    ASSERT_EQ(0u, qoblSubscribeStreamReport(pipes[s]->stream(), &recordReport, &recs[s]->sub));
  }
  std::atomic<int> failures{0};
  auto worker = [&](int s) {
    qobmSetDevice(0);
    CardDataset in(pipes[s]->input());
    for (int i = 0; i < kRuns; ++i) {
      Output out(pipes[s]->stream());
      qoblErr rc = qoblRunStreamAsync(pipes[s]->stream(), in.get(), out.get());
      // Another thread may be waiting on the shared stream right now.
      while (rc == qoblERR_RUN_STREAM) {
        std::this_thread::yield();
        rc = qoblRunStreamAsync(pipes[s]->stream(), in.get(), out.get());
      }
      if (rc != 0 || qoblSynchronizeStream(pipes[s]->stream(), 10000) != 0) ++failures;
      if (readBuffer(out.get(), 0) != pipes[s]->expected()) ++failures;
    }
  };
  std::vector<std::thread> threads;
  for (int s = 0; s < kStreams; ++s) threads.emplace_back(worker, s);
  threads.emplace_back(worker, 0);
  for (auto& t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0u, qoblSynchronizeDevice(0, 10000));
  for (int s = 0; s < kStreams; ++s) {
    const std::vector<Report> reports = recs[s]->snapshot();
    EXPECT_EQ(static_cast<size_t>(s == 0 ? 2 * kRuns : kRuns), reports.size());
    for (const Report& r : reports) EXPECT_EQ(pipes[s]->expected(), r.output);
  }
  threads.clear();
  for (int s = 0; s < kStreams; ++s) threads.emplace_back([&pipes, s] { pipes[s]->destroyStream(); });
  for (auto& t : threads) t.join();
}

struct SlowCallback {
  std::atomic<int> calls{0};
  std::atomic<bool> inside{false};
  static void fn(qobeOp*, qobmDataset*, qobmDataset* out, qoblCallbackStatus*, void* user) {
    auto* self = static_cast<SlowCallback*>(user);
    self->inside = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(readBuffer(out, 0).empty());  // the output is still readable during the call
    ++self->calls;
    self->inside = false;
  }
};

// Destroying a stream while its reports are being delivered: the destroy waits for the runs on the card,
// no callback runs after it returned, and every block is released.
TEST_F(StreamConcurrencyTest, DestroyWhileReportsAreDelivered) {
  for (int round = 0; round < 3; ++round) {
    SlowCallback cb;
    {
      Pipeline p;
      ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &SlowCallback::fn, &cb));
      CardDataset in(p.input());
      std::vector<std::unique_ptr<Output>> outs;
      for (int i = 0; i < 8; ++i) {
        outs.emplace_back(new Output(p.stream()));
        ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), in.get(), outs.back()->get()));
      }
      while (cb.calls.load() == 0) std::this_thread::yield();
      p.destroyStream();
      EXPECT_FALSE(cb.inside.load());
      const int seen = cb.calls.load();
      EXPECT_EQ(8, seen);  // the runs already on the card were delivered before the destroy returned
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(seen, cb.calls.load());
    }
    expectNoLibraryBlocks();
  }
}

}  // namespace
