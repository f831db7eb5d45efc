// The server's scheduling without its front ends: a Repository over the demo models on two simulated
// cards, driven from many threads at once (dynamic batching across requests, requests spanning runs,
// several instances and shapes), shutdown racing requests, and the bound an instance's in-flight depth
// puts on its device runs on the card.  Every test ends with the cards' live-block counts back at zero.
// Full queues, card failures and the shape limit of dynamic models are checked through the server itself
// (serve_e2e_test.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "qobl_test/card_stats.h"
#include "qobl_test/files.h"
#include "repository.h"

namespace zenlar {
namespace qoblserve {
namespace {

// One demo model's sample: input and expected output of one item, the item shape as a request sees it.
struct Case {
  std::string model;
  std::vector<int64_t> itemShape;   // without the batch dimension
  std::string in, out;
};

Case loadCase(const std::string& model, const std::vector<int64_t>& itemShape, const std::string& sub = "") {
  return Case{model, itemShape, qobltest::readBytes(qobltest::modelFile(model, sub + "sample_input.bin")),
              qobltest::readBytes(qobltest::modelFile(model, sub + "expected_output.bin"))};
}

InferRequest request(const Case& c, uint32_t items) {
  InferRequest r;
  r.model = c.model;
  InputTensor t;
  t.name = "data";
  t.datatype = "FP32";
  t.dtype = DType{2, 32, 1};
  t.shape.push_back(items);
  t.shape.insert(t.shape.end(), c.itemShape.begin(), c.itemShape.end());
  for (uint32_t k = 0; k < items; ++k) t.owned.insert(t.owned.end(), c.in.begin(), c.in.end());
  t.data = t.owned.data();
  t.bytes = t.owned.size();
  r.inputs.push_back(std::move(t));
  return r;
}

// Runs one request through the model and checks every item's output bytes.  Returns the error kind.
ErrorKind runChecked(Repository& repo, const Case& c, uint32_t items, std::string* why) {
  ServedModel* m = repo.find(c.model);
  if (m == nullptr) return *why = "no model", ErrorKind::kNotFound;
  InferRequest r = request(c, items);
  uint32_t n = 0;
  Error e = checkRequest(r, m->signature().inputs, m->signature().outputs, 1000, &n);
  InferResult res;
  if (!e) e = m->infer(std::move(r), n, nullptr, &res);
  if (e) return *why = e.message, e.kind;
  std::vector<uint8_t> want;
  for (uint32_t k = 0; k < items; ++k) want.insert(want.end(), c.out.begin(), c.out.end());
  if (res.outputs.size() != 1 || res.outputs[0].data != want) return *why = "outputs differ", ErrorKind::kInternal;
  if (res.outputs[0].shape.front() != static_cast<int64_t>(items)) return *why = "batch", ErrorKind::kInternal;
  return ErrorKind::kNone;
}

// Every op on cards 0 .. cards-1 takes at least `us` while this lives.
struct OpDelay {
  OpDelay(uint32_t cards, uint32_t us) : cards_(cards) {
    for (uint32_t d = 0; d < cards_; ++d) qobcrt_sim_set_op_delay_us(d, us);
  }
  ~OpDelay() {
    for (uint32_t d = 0; d < cards_; ++d) qobcrt_sim_set_op_delay_us(d, 0);
  }
  uint32_t cards_;
};

class SchedulerTest : public ::testing::Test {
 protected:
  // The repository: links to the demo models.
  SchedulerTest() {
    for (const char* m : {"classifier", "segmenter", "dynamic"}) repo_.link(m, qobltest::modelDir(m));
  }
  void TearDown() override {
    for (uint32_t d = 0; d < 2; ++d) EXPECT_EQ(qobltest::liveBlocks(d).total(), 0u) << "card " << d;
  }
  std::unique_ptr<Repository> open(const ServeConfig& cfg) {
    std::unique_ptr<Repository> repo;
    std::vector<std::string> skipped;
    metrics_.reset(new Metrics(cfg.devices));
    const std::string err = Repository::open(repo_.dir(), cfg, metrics_.get(), &repo, &skipped);
    EXPECT_EQ(err, "");
    return repo;
  }
  qobltest::TempDir repo_;
  std::unique_ptr<Metrics> metrics_;
};

TEST_F(SchedulerTest, ManyThreadsManyModelsEveryOutputExact) {
  ServeConfig cfg;
  cfg.devices = 2;
  cfg.instancesPerDevice = 2;
  cfg.maxQueueDelayUs = 500;
  cfg.queueCapacity = 1000;
  auto repo = open(cfg);
  ASSERT_TRUE(repo);
  const std::vector<Case> cases = {
      loadCase("classifier", {3, 16, 16}), loadCase("segmenter", {3, 12, 12}),
      loadCase("dynamic", {3, 8, 8}, "samples/8x8/"), loadCase("dynamic", {3, 24, 24}, "samples/24x24/")};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int i = 0; i < 12; ++i) {
        const Case& c = cases[rng() % cases.size()];
        std::string why;
        if (runChecked(*repo, c, 1 + rng() % 7, &why) != ErrorKind::kNone) {
          ++failures;
          ADD_FAILURE() << c.model << ": " << why;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  const ModelMetrics* m = metrics_->find("classifier");
  ASSERT_NE(m, nullptr);
  EXPECT_GT(m->runs.load(), 0u);
  EXPECT_LE(m->runItems.load(), m->runCapacity.load());
  EXPECT_EQ(metrics_->find("dynamic")->requestsFailed.load(), 0u);
  repo.reset();
}

TEST_F(SchedulerTest, ShutdownRacingRequestsAnswersEveryone) {
  ServeConfig cfg;
  cfg.devices = 2;
  cfg.maxQueueDelayUs = 1000;
  cfg.queueCapacity = 64;
  auto repo = open(cfg);
  ASSERT_TRUE(repo);
  const Case c = loadCase("segmenter", {3, 12, 12});
  std::atomic<int> done{0}, ok{0}, unavailable{0}, other{0};
  std::vector<std::thread> threads;
  // Slow ops keep the requests coming long after the first four are answered, however the threads are
  // scheduled, so shutdown always meets some of them.
  OpDelay slow(2, 3000);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        std::string why;
        const ErrorKind k = runChecked(*repo, c, 3, &why);
        (k == ErrorKind::kNone ? ok : k == ErrorKind::kUnavailable ? unavailable : other)++;
        ++done;
      }
    });
  }
  while (done.load() < 4) std::this_thread::yield();
  repo->beginShutdown();
  for (auto& t : threads) t.join();
  repo->shutdown();
  EXPECT_EQ(done.load(), 40);
  EXPECT_GE(ok.load(), 4);
  EXPECT_GT(unavailable.load(), 0);
  EXPECT_EQ(other.load(), 0);
  repo.reset();
}

// A request given up from another thread returns at once, while the run ahead of it is still on the card,
// and its items not yet sent are dropped; requests given up at random moments from many threads each end
// either with their exact outputs or as given up, and every one is counted once.
TEST_F(SchedulerTest, GivenUpRequestsReturnAtOnce) {
  ServeConfig cfg;
  cfg.devices = 1;
  cfg.inFlight = 1;
  cfg.maxQueueDelayUs = 0;
  auto repo = open(cfg);
  ASSERT_TRUE(repo);
  const Case c = loadCase("classifier", {3, 16, 16});
  ServedModel* m = repo->find("classifier");
  const auto giveUpRun = [&](uint32_t items, GiveUp* g) {
    InferRequest r = request(c, items);
    uint32_t n = 0;
    Error e = checkRequest(r, m->signature().inputs, m->signature().outputs, 1000, &n);
    InferResult res;
    if (!e) e = m->infer(std::move(r), n, nullptr, &res, g);
    if (!e) {
      std::string want;
      for (uint32_t k = 0; k < items; ++k) want += c.out;
      if (res.outputs.size() != 1 || std::string(res.outputs[0].data.begin(), res.outputs[0].data.end()) != want)
        return ErrorKind::kInternal;
    }
    return e.kind;
  };
  const ModelMetrics& mm = *metrics_->find("classifier");
  const uint64_t submitted = qobltest::cardStats(0).runs_submitted;
  {
    GiveUp g;   // given up before it is queued: nothing goes to the card
    g.now();
    EXPECT_EQ(giveUpRun(4, &g), ErrorKind::kCancelled);
    EXPECT_EQ(qobltest::cardStats(0).runs_submitted, submitted);
  }
  {
    OpDelay slow(1, 1000000);
    std::atomic<bool> firstDone{false}, firstDoneWhenGivenUp{true};
    std::thread first([&] {
      EXPECT_EQ(giveUpRun(4, nullptr), ErrorKind::kNone);
      firstDone = true;
    });
    while (qobltest::cardStats(0).runs_submitted == submitted) std::this_thread::yield();
    GiveUp g;
    std::atomic<int> kind{-1};
    std::thread second([&] {
      kind = static_cast<int>(giveUpRun(16, &g));   // four runs, queued behind the first
      firstDoneWhenGivenUp = firstDone.load();
    });
    // Most likely waiting in the queue by now; a request given up before it is queued ends the same way.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    g.now();
    second.join();
    EXPECT_EQ(kind.load(), static_cast<int>(ErrorKind::kCancelled));
    EXPECT_FALSE(firstDoneWhenGivenUp.load()) << "the given-up request waited for the run ahead of it";
    first.join();
  }
  // The first request's run and at most one of the given-up request's, which the dispatcher held for the
  // card when it was given up.
  EXPECT_LE(qobltest::cardStats(0).runs_submitted - submitted, 2u);
  EXPECT_EQ(mm.requestsFailed.load(), 2u);
  EXPECT_EQ(mm.itemsFailed.load(), 20u);

  std::atomic<int> ok{0}, cancelled{0}, other{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int i = 0; i < 8; ++i) {
        GiveUp g;
        const uint32_t wait = rng() % 4000;
        std::thread giver([&g, wait] {
          std::this_thread::sleep_for(std::chrono::microseconds(wait));
          g.now();
        });
        const ErrorKind k = giveUpRun(1 + rng() % 6, &g);
        giver.join();
        (k == ErrorKind::kNone ? ok : k == ErrorKind::kCancelled ? cancelled : other)++;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(ok.load() + cancelled.load(), 48);
  EXPECT_EQ(mm.requestsOk.load(), 1u + ok.load());
  EXPECT_EQ(mm.requestsFailed.load(), 2u + cancelled.load());
  repo.reset();
}

// Shutdown while requests for new shapes of a dynamic model wait to load them: each is answered (served
// or refused as the server stopping), and nothing loaded for them outlives the shutdown.  A request that
// loaded its shape after shutdown had collected the model's instances would leave dispatcher threads
// nobody joins.
TEST_F(SchedulerTest, ShutdownRacingNewShapes) {
  const std::vector<Case> shapes = {loadCase("dynamic", {3, 16, 16}, "samples/16x16/"),
                                    loadCase("dynamic", {3, 24, 24}, "samples/24x24/"),
                                    loadCase("dynamic", {3, 32, 32}, "samples/32x32/")};
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ServeConfig cfg;
    cfg.devices = 2;
    cfg.instancesPerDevice = 2;
    auto repo = open(cfg);
    ASSERT_TRUE(repo);
    std::atomic<int> started{0}, other{0};
    std::vector<std::thread> threads;
    for (const Case& c : shapes) {
      threads.emplace_back([&, c] {
        ++started;
        std::string why;
        const ErrorKind k = runChecked(*repo, c, 2, &why);
        if (k != ErrorKind::kNone && k != ErrorKind::kUnavailable) {
          ++other;
          ADD_FAILURE() << why;
        }
      });
    }
    while (started.load() < static_cast<int>(shapes.size())) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(200 * round));   // meets the loads at various points
    repo->shutdown();
    for (auto& t : threads) t.join();
    EXPECT_EQ(other.load(), 0);
    repo.reset();
  }
}

// One thread keeping several requests in flight (as a stream's reader does) and collecting them in
// another order than it submitted them: each gets its own outputs.  A request dropped uncollected is
// counted as failed, its items still queued are not sent, and a collector racing a client giving up
// (another thread) gets either outputs or kCancelled.
TEST_F(SchedulerTest, SubmittedRequestsCollectedInAnyOrderOrDropped) {
  const Case c = loadCase("classifier", {3, 16, 16});
  ServeConfig cfg;
  cfg.devices = 1;
  cfg.inFlight = 1;
  cfg.maxQueueDelayUs = 0;
  auto repo = open(cfg);
  ASSERT_TRUE(repo);
  ServedModel* m = repo->find("classifier");
  const ModelMetrics& mm = *metrics_->find("classifier");
  const auto submit = [&](uint32_t items) {
    Error e;
    auto p = m->submit(request(c, items), items, nullptr, &e);
    EXPECT_FALSE(e) << e.message;
    return p;
  };
  const auto want = [&](uint32_t items) {
    std::string w;
    for (uint32_t k = 0; k < items; ++k) w += c.out;
    return std::vector<uint8_t>(w.begin(), w.end());
  };
  {
    std::vector<std::unique_ptr<ServedModel::Pending>> pending;
    for (uint32_t items = 1; items <= 6; ++items) pending.push_back(submit(items));
    for (uint32_t items = 6; items >= 1; --items) {
      InferResult res;
      const Error e = m->collect(std::move(pending[items - 1]), &res);
      ASSERT_FALSE(e) << e.message;
      ASSERT_EQ(res.outputs.size(), 1u);
      EXPECT_EQ(res.outputs[0].shape.front(), static_cast<int64_t>(items));
      EXPECT_EQ(res.outputs[0].data, want(items));
    }
  }
  EXPECT_EQ(mm.requestsOk.load(), 6u);

  // With slow ops, a request of 16 items dropped behind one of 4: most of its items never reach the card.
  {
    OpDelay slow(1, 100000);
    const uint64_t sentBefore = mm.runItems.load();
    auto first = submit(4);
    submit(16).reset();
    InferResult res;
    EXPECT_FALSE(m->collect(std::move(first), &res));
    EXPECT_EQ(mm.requestsFailed.load(), 1u);
    EXPECT_EQ(mm.itemsFailed.load(), 16u);
    // The run of 4 and at most the next run the dispatcher had taken before the drop.
    EXPECT_LE(mm.runItems.load() - sentBefore, 8u);
  }

  // Collecting while another thread gives up.
  int ok = 0, cancelled = 0;
  for (int i = 0; i < 20; ++i) {
    GiveUp g;
    auto p = submit(1 + i % 5);
    std::thread giver([&g, i] {
      std::this_thread::sleep_for(std::chrono::microseconds(200 * i));
      g.now();
    });
    InferResult res;
    const Error e = m->collect(std::move(p), &res, &g);
    giver.join();
    if (!e) ++ok;
    else if (e.kind == ErrorKind::kCancelled) ++cancelled;
    else ADD_FAILURE() << e.message;
  }
  EXPECT_EQ(ok + cancelled, 20);
  EXPECT_EQ(mm.requestsFailed.load(), 1u + cancelled);
  repo.reset();
}

// An instance never has more device runs on the card than its in-flight depth, and reaches that depth
// when enough full runs wait: slow ops keep every run on the card long enough for the sampling to see it.
TEST_F(SchedulerTest, InFlightDepthBoundsTheRunsOnTheCard) {
  const Case c = loadCase("classifier", {3, 16, 16});
  for (uint32_t depth : {1u, 3u}) {
    SCOPED_TRACE("in flight " + std::to_string(depth));
    ServeConfig cfg;
    cfg.devices = 1;
    cfg.inFlight = depth;
    cfg.maxQueueDelayUs = 0;   // each request below is one full run, sent as soon as it is queued
    auto repo = open(cfg);
    ASSERT_TRUE(repo);
    const uint32_t batch = repo->find("classifier")->batch();
    const qobcrt_sim_stats before = qobltest::cardStats(0);
    std::atomic<int> failures{0}, done{0};
    const int requests = static_cast<int>(depth) + 2;
    uint64_t deepest = 0;
    {
      OpDelay slow(1, 100000);
      std::vector<std::thread> threads;
      for (int t = 0; t < requests; ++t) {
        threads.emplace_back([&] {
          std::string why;
          if (runChecked(*repo, c, batch, &why) != ErrorKind::kNone) {
            ++failures;
            ADD_FAILURE() << why;
          }
          ++done;
        });
      }
      while (done.load() < requests) {
        const qobcrt_sim_stats st = qobltest::cardStats(0);
        const uint64_t ended = st.runs_completed + st.runs_failed - before.runs_completed - before.runs_failed;
        deepest = std::max<uint64_t>(deepest, st.runs_submitted - before.runs_submitted - ended);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      for (auto& t : threads) t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(deepest, depth);
    EXPECT_EQ(qobltest::cardStats(0).runs_submitted - before.runs_submitted, static_cast<uint64_t>(requests));
    repo.reset();
  }
}

}  // namespace
}  // namespace qoblserve
}  // namespace zenlar
