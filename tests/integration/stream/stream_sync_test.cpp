// Waiting for streams and devices: completion only after the run is recycled, time-outs with a slow card,
// asynchronous runs refused while a wait is in progress and accepted after it.
#include <atomic>
#include <chrono>
#include <thread>

#include "stream_test_util.h"

using namespace streamtest;

namespace {

TEST(StreamSyncTest, StreamWaitEndsWithCompletionOrTimeout) {
  {
    Pipeline p;
    // Nothing outstanding: the wait returns at once; a device without streams also returns 0.
    EXPECT_EQ(0u, qoblSynchronizeStream(p.stream(), 0));
    EXPECT_EQ(0u, qoblSynchronizeDevice(7, 0));

    Recorder rec;
    Sub sub{&rec, 1};
    ASSERT_EQ(0u, qoblSubscribeStreamReport(p.stream(), &recordReport, &sub));
    CardDataset in(p.input());
    Output out(p.stream());
    {
      SlowCard slow(300000);  // one op takes 300 ms
      LogCapture log;
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
  expectNoLibraryBlocks();
}

// While one thread waits (for a stream or its device), runs on that stream are refused with 301034.
TEST(StreamSyncTest, RunsRefusedDuringWaitsAndAcceptedAfter) {
  {
    Pipeline a, b;
    CardDataset in(a.input());
    Output outA(a.stream()), outB(b.stream());
    SlowCard slow(200000);
    LogCapture log;
    ASSERT_EQ(0u, qoblRunStreamAsync(a.stream(), in.get(), outA.get()));
    ASSERT_EQ(0u, qoblRunStreamAsync(b.stream(), in.get(), outB.get()));

    std::atomic<qoblErr> waitRc{1};
    std::thread waiter([&] { waitRc = qoblSynchronizeStream(a.stream(), UINT32_MAX); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Output extra(a.stream());
    EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStreamAsync(a.stream(), in.get(), extra.get()));
    EXPECT_TRUE(log.has("Run stream: waiting=true"));
    waiter.join();
    EXPECT_EQ(0u, waitRc.load());

    // A device wait holds back every stream of the device; its time-out releases them all again.
    ASSERT_EQ(0u, qoblRunStreamAsync(a.stream(), in.get(), outA.get()));
    std::atomic<qoblErr> devRc{1};
    std::thread devWaiter([&] { devRc = qoblSynchronizeDevice(0, 100); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(qoblERR_RUN_STREAM, qoblRunStreamAsync(b.stream(), in.get(), extra.get()));
    devWaiter.join();
    EXPECT_EQ(qoblERR_DEVICE_SYNC_TIMEOUT, devRc.load());
    Output again(b.stream());
    EXPECT_EQ(0u, qoblRunStreamAsync(b.stream(), in.get(), again.get()));
    EXPECT_EQ(0u, qoblRunStreamAsync(a.stream(), in.get(), extra.get()));
    EXPECT_EQ(0u, qoblSynchronizeDevice(0, UINT32_MAX));
    EXPECT_EQ(a.expected(), readBuffer(again.get(), 0));
  }
  expectNoLibraryBlocks();
}

// With a cache number of 4, three gathered inputs have not reached the card: the wait is not satisfied by
// them, and only the fourth input's run completes them all.
TEST(StreamSyncTest, PendingInputsAreWaitedFor) {
  {
    Pipeline::Options o;
    o.batch = 4;
    Pipeline p(o);
    CardDataset in(p.input());
    std::vector<std::unique_ptr<Output>> outs;
    for (int i = 0; i < 3; ++i) {
      outs.emplace_back(new Output(p.stream()));
      ASSERT_EQ(qoblERR_RUN_PENDING, qoblRunStreamAsync(p.stream(), in.get(), outs.back()->get()));
    }
    EXPECT_EQ(qoblERR_STREAM_SYNC_TIMEOUT, qoblSynchronizeStream(p.stream(), 30));
    outs.emplace_back(new Output(p.stream()));
    ASSERT_EQ(0u, qoblRunStreamAsync(p.stream(), in.get(), outs.back()->get()));
    EXPECT_EQ(0u, qoblSynchronizeStream(p.stream(), 10000));
    for (auto& out : outs) EXPECT_EQ(p.expected(), readBuffer(out->get(), 0));
  }
  expectNoLibraryBlocks();
}

}  // namespace
