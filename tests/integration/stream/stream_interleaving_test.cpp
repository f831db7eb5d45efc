// Streams under adversarial interleavings: report callbacks that destroy or create other streams, waits
// while they do, submissions racing a destroy, two destroys at once, several threads and mixed synchronous
// and asynchronous inputs on one stream.  The card's op delay widens the windows; each case is repeated.
// In every case each accepted input (0 or 301041) gets exactly one terminal report (its end report or an
// error report), nothing hangs, and the card keeps no block of the library afterwards.
#include <atomic>
#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "op_stream_controller.h"
#include "qobl_api_impl.h"
#include "stream.h"
#include "stream_test_util.h"

using namespace streamtest;
using zenlar::qobl::StreamRef;

namespace {

bool accepted(qoblErr rc) { return rc == 0 || rc == qoblERR_RUN_PENDING; }

// Runs `body` `rounds` times, each on a new stream gathering four inputs per device run, its reports
// recorded, on a card slowed to `us` per op.  The recorder outlives the stream (whose destroy may still
// report), the card is fast again before the teardown, and afterwards it keeps no block of the library.
template <typename F>
void eachRound(int rounds, uint32_t us, F body) {
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    {
      Recorder tally;
      Pipeline p(Pipeline::Options().withBatch(4));
      SlowCard slow(us);
      EXPECT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &tally.sub));
      body(p, tally, round);
    }
    expectNoLibraryBlocks();
  }
}

// A report callback of stream X that destroys stream Y: on its first call it waits until the test has
// given Y its inputs, then destroys Y.
struct Killer {
  qoblStream* victim = nullptr;
  std::atomic<bool> go{false};
  std::atomic<int> calls{0};
  std::atomic<qoblErr> rc{UINT32_MAX};
  static void fn(qobeOp*, qobmDataset*, qobmDataset*, qoblCallbackStatus*, void* user) {
    auto* self = static_cast<Killer*>(user);
    if (self->calls++ != 0) return;
    while (!self->go.load()) std::this_thread::yield();
    self->rc = qoblDestroyOpStream(self->victim);
  }
};

// Y with runs on the card is destroyed from a report callback of X: the destroy cannot wait for Y's
// reports (this very thread delivers them), so it is refused and every one of Y's inputs is reported
// afterwards.  Y with only gathered inputs (cache number 4, two inputs) is destroyed from the callback, and
// those two inputs get an error report before the destroy returns.
TEST(StreamInterleavingTest, CallbackDestroysAnotherStream) {
  for (bool onCard : {true, false}) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::string(onCard ? "runs on the card" : "gathered inputs") + ", round " +
                   std::to_string(round));
      {
        Pipeline x;
        Pipeline y(Pipeline::Options().withBatch(onCard ? 1 : 4));
        SlowCard slow(1000);
        Killer killer;
        killer.victim = y.stream();
        Recorder tally;
        ASSERT_EQ(0u, qoblSubscribeStreamReport(x.stream(), &Killer::fn, &killer));
        ASSERT_EQ(0u, qoblSubscribeStreamReport(y.stream(), &recordReport, &tally.sub));
        Inputs xs(x, 1);
        Inputs ys(y, onCard ? 12 : 2);
        ASSERT_EQ(0u, qoblRunStreamAsync(x.stream(), xs.in(0), xs.out(0)));
        for (size_t i = 0; i < ys.ins.size(); ++i)
          ASSERT_TRUE(accepted(qoblRunStreamAsync(y.stream(), ys.in(i), ys.out(i))));
        killer.go = true;
        ASSERT_EQ(0u, qoblSynchronizeStream(x.stream(), 10000));
        if (onCard) {
          EXPECT_EQ(qoblERR_DESTROY_STREAM, killer.rc.load());
          EXPECT_EQ(0u, qoblSynchronizeStream(y.stream(), 10000));
        } else {
          EXPECT_EQ(0u, killer.rc.load());
          y.forgetStream();
          EXPECT_EQ(static_cast<int>(ys.ins.size()), tally.errors());
        }
        for (size_t i = 0; i < ys.ins.size(); ++i) EXPECT_EQ(1, tally.of(ys.in(i))) << i;
      }
      expectNoLibraryBlocks();
    }
  }
}

// A report callback that creates, builds and destroys a stream of another graph.
struct Churn {
  qoblOpGraph* graph = nullptr;
  std::atomic<int> made{0}, failures{0};
  static void fn(qobeOp*, qobmDataset*, qobmDataset*, qoblCallbackStatus* st, void* user) {
    auto* self = static_cast<Churn*>(user);
    if (st->isStreamEnd == 0) return;
    qoblStream* s = nullptr;
    if (qoblCreateOpStream(self->graph, qoblBM_ONCE, &s) != 0) {
      ++self->failures;
      return;
    }
    if (qoblBuildStream(s) != 0) ++self->failures;
    if (qoblDestroyOpStream(s) != 0) ++self->failures;
    ++self->made;
  }
};

// Device and stream waits while report callbacks create and destroy streams of the same device: the
// callbacks never wait for the waiting thread, so every wait ends with completion, long before its
// time-out.
TEST(StreamInterleavingTest, WaitsWhileCallbacksCreateAndDestroyStreams) {
  {
    Pipeline x;
    Pipeline spare(Pipeline::Options().unbuilt());
    Churn churn;
    churn.graph = spare.graph();
    ASSERT_EQ(0u, qoblSubscribeStreamReport(x.stream(), &Churn::fn, &churn));
    SlowCard slow(500);
    constexpr int kRuns = 8;
    int expected = 0;
    for (int round = 0; round < 6; ++round) {
      const bool device = round % 2 == 0;
      SCOPED_TRACE(device ? "device wait" : "stream wait");
      Inputs xs(x, kRuns);
      for (int i = 0; i < kRuns; ++i) ASSERT_EQ(0u, qoblRunStreamAsync(x.stream(), xs.in(i), xs.out(i)));
      expected += kRuns;
      EXPECT_EQ(0u, device ? qoblSynchronizeDevice(0, 5000) : qoblSynchronizeStream(x.stream(), 5000));
      EXPECT_EQ(expected, churn.made.load());
      EXPECT_EQ(0, churn.failures.load());
    }
  }
  expectNoLibraryBlocks();
}

// Two threads submit to a stream (cache number 4) while a third destroys it: every call is either accepted
// or refused with a code, and by the time the destroy returns every accepted input has had exactly one
// terminal report (the runs on the card reported, the gathered ones failed); refused inputs get none.
TEST(StreamInterleavingTest, SubmitWhileAnotherThreadDestroys) {
  eachRound(8, 200, [](Pipeline& p, Recorder& tally, int round) {
    constexpr size_t kPerThread = 12;
    Inputs a(p, kPerThread), b(p, kPerThread);
    std::vector<qoblErr> rcA(kPerThread, UINT32_MAX), rcB(kPerThread, UINT32_MAX);
    std::atomic<int> acceptedCount{0};
    qoblStream* stream = p.stream();  // kept: the handle is used after the destroy on purpose
    auto submit = [&](const Inputs& in, std::vector<qoblErr>& rcs) {
      qobmSetDevice(0);
      for (size_t i = 0; i < kPerThread; ++i) {
        rcs[i] = qoblRunStreamAsync(stream, in.in(i), in.out(i));
        if (accepted(rcs[i])) ++acceptedCount;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    };
    std::thread ta(submit, std::cref(a), std::ref(rcA)), tb(submit, std::cref(b), std::ref(rcB));
    while (acceptedCount.load() < 2 + 2 * round) std::this_thread::yield();
    EXPECT_EQ(0u, qoblDestroyOpStream(stream));
    p.forgetStream();
    // Everything accepted so far has been reported; calls still coming in are refused.
    const size_t reportedAtDestroy = tally.total();
    ta.join();
    tb.join();
    EXPECT_EQ(reportedAtDestroy, tally.total());
    for (const auto* set : {&a, &b}) {
      const std::vector<qoblErr>& rcs = set == &a ? rcA : rcB;
      for (size_t i = 0; i < kPerThread; ++i) {
        if (accepted(rcs[i])) {
          EXPECT_EQ(1, tally.of(set->in(i))) << i;
        } else {
          EXPECT_TRUE(rcs[i] == qoblERR_RUN_STREAM || rcs[i] == qoblERR_INVALID_STREAM) << rcs[i];
          EXPECT_EQ(0, tally.of(set->in(i))) << i;
        }
      }
    }
  });
}

// Two threads destroy the same stream at once: one destroy succeeds, the other is refused, and the inputs
// (one run on the card, two gathered) are each reported once.
TEST(StreamInterleavingTest, TwoDestroysAtOnce) {
  eachRound(10, 300, [](Pipeline& p, Recorder& tally, int) {
    Inputs in(p, 6);
    for (size_t i = 0; i < 6; ++i) ASSERT_TRUE(accepted(qoblRunStreamAsync(p.stream(), in.in(i), in.out(i))));
    std::atomic<int> ready{0};
    qoblErr rc[2] = {UINT32_MAX, UINT32_MAX};
    auto destroy = [&](int k) {
      ++ready;
      while (ready.load() < 2) std::this_thread::yield();
      rc[k] = qoblDestroyOpStream(p.stream());
    };
    std::thread t0(destroy, 0), t1(destroy, 1);
    t0.join();
    t1.join();
    p.forgetStream();
    EXPECT_EQ(1, (rc[0] == 0) + (rc[1] == 0));
    EXPECT_EQ(1, (rc[0] == qoblERR_DESTROY_STREAM) + (rc[1] == qoblERR_DESTROY_STREAM));
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(1, tally.of(in.in(i))) << i;
    EXPECT_EQ(2, tally.errors());
  });
}

// Several threads give inputs to one stream (cache number 4), some of them synchronously.  Every input
// given asynchronously, and every synchronous input left pending (301041), gets exactly one end report
// with the reference output; a synchronous call that returns 0 has its output written and is not reported.
TEST(StreamInterleavingTest, SeveralThreadsMixingSyncAndAsyncInputs) {
  // Round n has n synchronous threads.
  eachRound(3, 100, [](Pipeline& p, Recorder& tally, int syncThreads) {
    constexpr int kThreads = 4;
    constexpr size_t kPerThread = 12;  // 48 inputs: 12 full device runs
    std::vector<std::unique_ptr<Inputs>> sets;
    std::vector<std::vector<qoblErr>> rcs(kThreads, std::vector<qoblErr>(kPerThread, UINT32_MAX));
    for (int t = 0; t < kThreads; ++t) sets.emplace_back(new Inputs(p, kPerThread));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        qobmSetDevice(0);
        const bool sync = t < syncThreads;
        for (size_t i = 0; i < kPerThread; ++i) {
          rcs[t][i] = sync ? qoblRunStream(p.stream(), sets[t]->in(i), sets[t]->out(i), 10000)
                           : qoblRunStreamAsync(p.stream(), sets[t]->in(i), sets[t]->out(i));
          std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
    for (int t = 0; t < kThreads; ++t) {
      const bool sync = t < syncThreads;
      for (size_t i = 0; i < kPerThread; ++i) {
        SCOPED_TRACE("thread " + std::to_string(t) + ", input " + std::to_string(i));
        ASSERT_TRUE(accepted(rcs[t][i])) << rcs[t][i];
        qobmDataset* in = sets[t]->in(i);
        if (sync && rcs[t][i] == 0) {
          EXPECT_EQ(0, tally.of(in));
          EXPECT_EQ(p.expected(), readBuffer(sets[t]->out(i), 0));
        } else {
          EXPECT_EQ(1, tally.of(in));
          EXPECT_EQ(p.expected(), tally.output(in));
        }
      }
    }
    EXPECT_EQ(0, tally.errors());
  });
}

// Exported calls with live, stale, foreign and null handles race a thread that creates 1100 streams and
// destroys them in a scrambled order, up to 48 alive at a time (so that the id index grows and its entries
// collide, and the slots of destroyed streams come back), while device waits run: a live handle gets its
// stream's answer, every other handle is refused with its code, each destroy waits for the calls holding
// its stream, every live stream and no destroyed one is found by its id, and no destroyed stream's handle
// address goes to a new stream before 1024 later destroys (nor do the addresses grow without bound).
TEST(StreamInterleavingTest, HandlesRaceCreateAndDestroy) {
  constexpr size_t kStreams = 1100, kLive = 48, kReuseAfter = 1024;
  Pipeline p;
  std::atomic<qoblStream*> newest{nullptr};
  std::vector<std::atomic<qoblStream*>> gone(kStreams);  // in destroy order
  std::atomic<size_t> destroyed{0};
  std::atomic<int> faults{0};
  qoblStream forged{p.stream()->ptr_};
  auto* inside = reinterpret_cast<qoblStream*>(reinterpret_cast<char*>(p.stream()) + sizeof(void*));
  auto expect = [&faults](qoblErr got, qoblErr want) {
    if (got != want) ++faults;
  };
  auto caller = [&](bool deviceWaits) {
    qobmSetDevice(0);
    for (uint32_t n = 0, k = 0; destroyed.load() < kStreams; ++k) {
      expect(qoblGetStreamCacheNumber(p.stream(), &n), 0);
      expect(qoblGetStreamCacheNumber(&forged, &n), qoblERR_INVALID_STREAM);
      expect(qoblGetStreamCacheNumber(inside, &n), qoblERR_INVALID_STREAM);
      if (deviceWaits) expect(qoblSynchronizeDevice(0, 10000), 0);
      // The newest stream: not built while it lives, refused once destroyed.
      if (qoblStream* s = newest.load()) {
        const qoblErr rc = qoblGetStreamCacheNumber(s, &n);
        if (rc != qoblERR_STREAM_NOT_BUILT && rc != qoblERR_INVALID_STREAM) ++faults;
      }
      // A destroyed stream's handle, while fewer than 1024 later destroys may have given its slot away.
      const size_t d = destroyed.load();
      if (d != 0) {
        const size_t i = d - 1 - k % std::min<size_t>(d, 512);
        const qoblErr rc = qoblSynchronizeStream(gone[i].load(), 0);
        if (destroyed.load() - i < kReuseAfter) expect(rc, qoblERR_INVALID_STREAM);
      }
    }
  };
  expect(qoblSynchronizeStream(nullptr, 0), qoblERR_INVALID_PARAM);
  std::thread a(caller, false), b(caller, true);
  std::map<const qoblStream*, size_t> lastDestroy;  // handle address -> destroys done when it was destroyed
  std::vector<std::pair<qoblStream*, uint32_t>> live;  // handle, stream id
  uint32_t lastGone = 0, scramble = 12345;
  for (size_t created = 0; destroyed.load() < kStreams;) {
    if (created < kStreams) {
      qoblStream* s = nullptr;
      EXPECT_EQ(0u, qoblCreateOpStream(p.graph(), qoblBM_ONCE, &s));
      if (s == nullptr) break;
      ++created;
      auto seen = lastDestroy.find(s);
      if (seen != lastDestroy.end()) {
        EXPECT_GE(destroyed.load() - seen->second, kReuseAfter) << created;
      }
      live.emplace_back(s, s->ptr_->id());
      newest = s;
    }
    if (live.size() > kLive || created == kStreams) {
      scramble = scramble * 1103515245u + 12345u;
      const size_t victim = (scramble >> 8) % live.size();
      qoblStream* s = live[victim].first;
      EXPECT_EQ(0u, qoblDestroyOpStream(s));
      lastGone = live[victim].second;
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(victim));
      gone[destroyed.load()] = s;
      lastDestroy[s] = ++destroyed;
    }
    for (const auto& h : live) {
      if (StreamRef::byId(h.second).get() != h.first->ptr_) ++faults;
    }
    if (lastGone != 0 && StreamRef::byId(lastGone)) ++faults;
  }
  destroyed = kStreams;  // also when the loop broke off
  a.join();
  b.join();
  EXPECT_EQ(0, faults.load());
  // Slots come back: at most one per stream alive at a time plus 1025 retired ones.
  EXPECT_LE(lastDestroy.size(), kReuseAfter + kLive + 8);
  uint32_t n = 0;
  EXPECT_EQ(0u, qoblGetStreamCacheNumber(p.stream(), &n));
}

}  // namespace
