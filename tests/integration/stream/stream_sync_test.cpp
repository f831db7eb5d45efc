// Waiting for streams and devices: completion only after the run is recycled, time-outs with a slow card,
// asynchronous runs refused while a wait is in progress and accepted after it.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <qobcrt/qobcrt.h>

#include "stream_test_util.h"

using namespace streamtest;

namespace {

// Each test leaves the card as it found it.
class StreamSyncTest : public qobltest::LiveBlocksTest {};

TEST_F(StreamSyncTest, StreamWaitEndsWithCompletionOrTimeout) {
  Pipeline p;
  // Nothing outstanding: the wait returns at once; a device without streams also returns 0.
  EXPECT_EQ(0u, qoblSynchronizeStream(p.stream(), 0));
  EXPECT_EQ(0u, qoblSynchronizeDevice(7, 0));

  Recorder rec;
  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &rec.sub));
  CardDataset in(p.input());
  Output out(p.stream());
  {
    SlowCard slow(300000);  // one op takes 300 ms
    LogCapture log(qobmLL_INFO);
    ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), in.get(), out.get()));
    EXPECT_EQ(qoblERR_STREAM_SYNC_TIMEOUT, qoblSynchronizeStream(p.stream(), 20));
    EXPECT_TRUE(log.has("Timeout occured when waiting for stream completion."));
    EXPECT_TRUE(rec.snapshot().empty());
    // After the time-out the stream accepts runs again; this one waits behind the first on the card.
    CardDataset in2(p.input());
    Output out2(p.stream());
    EXPECT_EQ(0u, qoblRunStreamAsync(p.stream(), in2.get(), out2.get()));
    EXPECT_EQ(0u, qoblSynchronizeStream(p.stream(), UINT32_MAX));
    // Both runs were reported and recycled before the wait returned.
    EXPECT_EQ(2u, rec.snapshot().size());
  }
  for (const Report& r : rec.snapshot()) EXPECT_EQ(p.expected(), r.output);
}

// While one thread waits (for a stream or its device), runs on that stream are refused with 301034.
TEST_F(StreamSyncTest, RunsRefusedDuringWaitsAndAcceptedAfter) {
  Pipeline a, b;
  CardDataset in(a.input());
  Output outA(a.stream()), outB(b.stream());
  SlowCard slow(200000);
  LogCapture log(qobmLL_INFO);
  ASSERT_EQ(0u, qoblRunStreamAsync(a.stream(), in.get(), outA.get()));
  ASSERT_EQ(0u, qoblRunStreamAsync(b.stream(), in.get(), outB.get()));

  // Offers runs on `s` until one is refused, which happens once the waiting thread has begun its wait,
  // however late the machine lets it start.  A run accepted before that only lengthens the wait (the card
  // takes 200 ms per run), so the wait is still in progress when the refusal comes.  The outputs of the
  // accepted runs stay alive until the device wait at the end.
  std::vector<std::unique_ptr<Output>> early;
  auto refusedWhileWaiting = [&](qoblStream* s) {
    for (int attempt = 0; attempt < 400; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      early.emplace_back(new Output(s));
      const qoblErr rc = qoblRunStreamAsync(s, in.get(), early.back()->get());
      if (rc == qoblERR_RUN_STREAM) return true;
      if (rc != 0) return false;
    }
    return false;
  };

  std::atomic<qoblErr> waitRc{1};
  std::thread waiter([&] { waitRc = qoblSynchronizeStream(a.stream(), UINT32_MAX); });
  EXPECT_TRUE(refusedWhileWaiting(a.stream()));
  EXPECT_TRUE(log.has("Run stream: waiting=true"));
  waiter.join();
  EXPECT_EQ(0u, waitRc.load());

  // A device wait holds back every stream of the device; its time-out releases them all again.
  ASSERT_EQ(0u, qoblRunStreamAsync(a.stream(), in.get(), outA.get()));
  std::atomic<qoblErr> devRc{1};
  std::thread devWaiter([&] { devRc = qoblSynchronizeDevice(0, 100); });
  EXPECT_TRUE(refusedWhileWaiting(b.stream()));
  devWaiter.join();
  EXPECT_EQ(qoblERR_DEVICE_SYNC_TIMEOUT, devRc.load());
  Output again(b.stream()), extra(a.stream());
  EXPECT_EQ(0u, qoblRunStreamAsync(b.stream(), in.get(), again.get()));
  EXPECT_EQ(0u, qoblRunStreamAsync(a.stream(), in.get(), extra.get()));
  EXPECT_EQ(0u, qoblSynchronizeDevice(0, UINT32_MAX));
  EXPECT_EQ(a.expected(), readBuffer(again.get(), 0));
}

// A synchronous run that completes gathered asynchronous inputs reports them: with a cache number of 4,
// three inputs given with qoblRunStreamAsync (a stream wait times out on them: they have not reached the
// card) and a fourth with qoblRunStream make one device run; the three get their end report with the
// reference output before the synchronous call returns (the synchronous input's outcome is its call's
// result).  When that device run fails, the three get an error report.
TEST_F(StreamSyncTest, SyncRunReportsTheAsyncInputsItCompletes) {
  Pipeline p(Pipeline::Options().withBatch(4));
  Recorder tally;
  ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &tally.sub));
  const Inputs io(p, 8);  // both rounds' inputs stay alive, so that their reports are told apart
  for (bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "failing run" : "run");
    const size_t first = fail ? 4 : 0, last = first + 3;
    for (size_t i = first; i < last; ++i)
      ASSERT_EQ(qoblERR_RUN_PENDING, qoblRunStreamAsync(p.stream(), io.in(i), io.out(i)));
    // Gathered inputs that have not reached the card hold a stream wait open.
    EXPECT_EQ(qoblERR_STREAM_SYNC_TIMEOUT, qoblSynchronizeStream(p.stream(), 30));
    if (fail) {
      ASSERT_EQ(0, qobcrt_sim_fail_call("qobcrt_run_stream_sync", 1, rtErrInjected));
    }
    EXPECT_EQ(fail ? qoblERR_RUN_STREAM : 0u, qoblRunStream(p.stream(), io.in(last), io.out(last), 10000));
    qobcrt_sim_clear_faults();
    for (size_t i = first; i < last; ++i) {
      EXPECT_EQ(1, tally.of(io.in(i))) << i;
      if (!fail) {
        EXPECT_EQ(p.expected(), tally.output(io.in(i))) << i;
      }
    }
    EXPECT_EQ(0, tally.of(io.in(last)));
    EXPECT_EQ(fail ? 3 : 0, tally.errors());
    EXPECT_EQ(0u, qoblSynchronizeStream(p.stream(), 0));
  }
}

// An application thread that creates or destroys a stream of a device while a device wait of that device is
// in progress waits until the wait has ended (a report callback would not: see the interleaving tests).
// The wait is held open by an input that waits for the rest of its device run, until its time-out.
TEST_F(StreamSyncTest, StreamsMadeOrDestroyedDuringADeviceWaitWaitForIt) {
  Pipeline gathering(Pipeline::Options().withBatch(4)), probe;
  Pipeline spare(Pipeline::Options().unbuilt());
  CardDataset in(probe.input());
  Output pendingOut(gathering.stream()), probeOut(probe.stream());
  ASSERT_EQ(qoblERR_RUN_PENDING, qoblRunStreamAsync(gathering.stream(), in.get(), pendingOut.get()));
  qobmDataset* noOutputs = nullptr;
  ASSERT_EQ(0, qobmCreateDataset(qobmDM_BUFFER, &noOutputs));
  for (bool create : {true, false}) {
    SCOPED_TRACE(create ? "create" : "destroy");
    qoblStream* extra = nullptr;
    if (!create) {
      ASSERT_EQ(0u, qoblCreateOpStream(spare.graph(), qoblBM_ONCE, &extra));
    }
    LogCapture log(qobmLL_INFO);
    std::thread waiter([&] { EXPECT_EQ(qoblERR_DEVICE_SYNC_TIMEOUT, qoblSynchronizeDevice(0, 300)); });
    // The wait has started once the gathering stream refuses runs because of it: the device wait holds that
    // stream until its time-out, whatever order it waits for the streams in (a stream it has already
    // waited for accepts runs again).  The probes give no output buffers, so every one of them is refused
    // and changes nothing.
    bool started = false;
    while (!started) {
      EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStreamAsync(gathering.stream(), in.get(), noOutputs));
      for (const std::string& line : log.take(qobmLL_INFO)) started = started || line == "Run stream: waiting=true";
      std::this_thread::yield();
    }
    if (create) {
      ASSERT_EQ(0u, qoblCreateOpStream(spare.graph(), qoblBM_ONCE, &extra));
    } else {
      ASSERT_EQ(0u, qoblDestroyOpStream(extra));
    }
    // The wait is over when the call returns: the device's streams accept runs again.
    EXPECT_EQ(0u, qoblRunStreamAsync(probe.stream(), in.get(), probeOut.get()));
    waiter.join();
    ASSERT_EQ(0u, qoblSynchronizeStream(probe.stream(), 10000));
    if (create) {
      ASSERT_EQ(0u, qoblDestroyOpStream(extra));
    }
  }
  qobmDestroyDataset(noOutputs);
}

// What a report callback of stream `own` waits for, on its first call; the calls' results and durations.
struct WaitingCallback {
  enum Kind { kOwn, kSentOther, kDevice, kIdleOther } kind;
  Pipeline* own;
  Pipeline* other;
  const Inputs* otherIo;
  std::atomic<int> calls{0};
  std::atomic<qoblErr> rc{1};
  std::atomic<long long> ms{-1};
  static void fn(qobeOp*, qobmDataset*, qobmDataset*, qoblCallbackStatus*, void* user) {
    auto* self = static_cast<WaitingCallback*>(user);
    if (self->calls++ != 0) return;
    const auto start = std::chrono::steady_clock::now();
    qoblErr rc = 1;
    switch (self->kind) {
      case kOwn:
        rc = qoblSynchronizeStream(self->own->stream(), kWaitMs);
        break;
      case kSentOther:  // a run this callback sends, which the card reports on the callback's thread
        if (qoblRunStreamAsync(self->other->stream(), self->otherIo->in(0), self->otherIo->out(0)) == 0)
          rc = qoblSynchronizeStream(self->other->stream(), kWaitMs);
        break;
      case kDevice:
        rc = qoblSynchronizeDevice(0, kWaitMs);
        break;
      case kIdleOther:
        rc = qoblSynchronizeStream(self->other->stream(), kWaitMs);
        break;
    }
    self->rc = rc;
    self->ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  }
  static constexpr uint32_t kWaitMs = 4000;
};

// A report callback cannot wait for completions that need its own thread: those of its own stream (counted
// once the callbacks returned) or of runs on the card (reported by the device's reporting thread, which is
// running the callback).  Such waits return the time-out code at once instead of blocking the reports
// until their time-out (for ever with UINT32_MAX), and every input is reported once afterwards.  A wait
// for a stream with nothing outstanding returns 0.
TEST_F(StreamSyncTest, ReportCallbackWaitsDoNotWaitForTheirOwnThread) {
  using K = WaitingCallback;
  const std::pair<K::Kind, qoblErr> cases[] = {{K::kOwn, qoblERR_STREAM_SYNC_TIMEOUT},
                                              {K::kSentOther, qoblERR_STREAM_SYNC_TIMEOUT},
                                              {K::kDevice, qoblERR_DEVICE_SYNC_TIMEOUT},
                                              {K::kIdleOther, 0u}};
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(c.first));
    Pipeline own, other;
    const Inputs ownIo(own, 1), otherIo(other, 1);
    Recorder tally;
    WaitingCallback cb{c.first, &own, &other, &otherIo};
    ASSERT_EQ(0u, qoblSubscribeStreamReport(own.stream(), &WaitingCallback::fn, &cb));
    ASSERT_EQ(0u, qoblSubscribeStreamReport(own.stream(), &recordReport, &tally.sub));
    ASSERT_EQ(0u, qoblSubscribeStreamReport(other.stream(), &recordReport, &tally.sub));
    const Inputs again(own, 1), againOther(other, 1);
    ASSERT_EQ(0u, qoblRunStreamAsync(own.stream(), ownIo.in(0), ownIo.out(0)));
    // No wait of the application's: the callback's waits must not leave either stream announced as waited
    // for (which would refuse their runs) once the callback has returned.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (cb.ms.load() < 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(c.second, cb.rc.load());
    EXPECT_LT(cb.ms.load(), 1000);
    EXPECT_EQ(0u, qoblRunStreamAsync(own.stream(), again.in(0), again.out(0)));
    EXPECT_EQ(0u, qoblRunStreamAsync(other.stream(), againOther.in(0), againOther.out(0)));
    ASSERT_EQ(0u, qoblSynchronizeDevice(0, 20000));
    EXPECT_EQ(1, tally.of(ownIo.in(0)));
    EXPECT_EQ(c.first == K::kSentOther ? 1 : 0, tally.of(otherIo.in(0)));
    EXPECT_EQ(1, tally.of(again.in(0)));
    EXPECT_EQ(1, tally.of(againOther.in(0)));
    EXPECT_EQ(0, tally.errors());
  }
}

}  // namespace
