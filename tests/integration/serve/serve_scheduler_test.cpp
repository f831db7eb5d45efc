// The server's scheduling without its front ends: a Repository over the demo models on two simulated
// cards, driven from many threads at once (dynamic batching across requests, requests spanning runs,
// several instances and shapes), full queues, a card failure, and shutdown racing requests.  Every test
// ends with the cards' live-block counts back at zero.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include <qobcrt/qobcrt_sim.h>

#include "qobl_test/card_stats.h"
#include "qobl_test/files.h"
#include "repository.h"

namespace zenlar {
namespace qoblserve {
namespace {

using qobltest::buildDir;

std::vector<uint8_t> readBytes(const std::string& path) {
  const std::string bytes = qobltest::readBytes(path);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

uint64_t liveBlocks(uint32_t cards) {
  uint64_t n = 0;
  for (uint32_t d = 0; d < cards; ++d) n += qobltest::liveBlocks(d).total();
  return n;
}

// A model repository of links to demo models, removed at the end of the scope.
class Repo {
 public:
  Repo() {
    for (const char* m : {"classifier", "segmenter", "dynamic"}) root_.link(m, qobltest::modelDir(m));
  }
  const std::string& dir() const { return root_.dir(); }

 private:
  qobltest::TempDir root_;
};

// One demo model's sample: input and expected output of one item, the item shape as a request sees it.
struct Case {
  std::string model;
  std::vector<int64_t> itemShape;   // without the batch dimension
  std::vector<uint8_t> in, out;
};

Case loadCase(const std::string& model, const std::vector<int64_t>& itemShape, const std::string& sub = "") {
  Case c{model, itemShape, {}, {}};
  const std::string d = buildDir() + "/models/" + model + "/" + sub;
  c.in = readBytes(d + "sample_input.bin");
  c.out = readBytes(d + "expected_output.bin");
  return c;
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

class SchedulerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    qobcrt_sim_clear_faults();
    for (uint32_t d = 0; d < 2; ++d) qobcrt_sim_set_op_delay_us(d, 0);
    EXPECT_EQ(liveBlocks(2), 0u);
  }
  std::unique_ptr<Repository> open(const ServeConfig& cfg) {
    std::unique_ptr<Repository> repo;
    std::vector<std::string> skipped;
    metrics_.reset(new Metrics(cfg.devices));
    const std::string err = Repository::open(dir_.dir(), cfg, metrics_.get(), &repo, &skipped);
    EXPECT_EQ(err, "");
    return repo;
  }
  Repo dir_;
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

TEST_F(SchedulerTest, FullQueueRefusesAndCardFailureFailsOnlyItsRun) {
  ServeConfig cfg;
  cfg.devices = 1;
  cfg.maxQueueDelayUs = 100000;
  cfg.queueCapacity = 8;
  auto repo = open(cfg);
  ASSERT_TRUE(repo);
  const Case c = loadCase("classifier", {3, 16, 16});
  std::string why;
  // A request larger than the whole queue can never fit.
  EXPECT_EQ(runChecked(*repo, c, 9, &why), ErrorKind::kUnavailable) << why;
  EXPECT_NE(why.find("try again later"), std::string::npos) << why;

  // The first run fails: the two requests of two items gathered into it fail, nothing else does.
  ASSERT_EQ(repo->failNextRun("classifier", 0, 507011), "");
  std::vector<ErrorKind> kinds(2);
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) threads.emplace_back([&, i] {
    std::string w;
    kinds[i] = runChecked(*repo, c, 2, &w);
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(kinds, std::vector<ErrorKind>(2, ErrorKind::kInternal));
  EXPECT_EQ(runChecked(*repo, c, 4, &why), ErrorKind::kNone) << why;

  // With the card slowed down, six concurrent requests of four items overflow the queue of eight.
  qobcrt_sim_set_op_delay_us(0, 100000);
  std::vector<ErrorKind> results(6);
  threads.clear();
  for (int i = 0; i < 6; ++i) threads.emplace_back([&, i] {
    std::string w;
    results[i] = runChecked(*repo, c, 4, &w);
  });
  for (auto& t : threads) t.join();
  int ok = 0, refused = 0;
  for (ErrorKind k : results) {
    ok += k == ErrorKind::kNone;
    refused += k == ErrorKind::kUnavailable;
  }
  EXPECT_GT(ok, 0);
  EXPECT_GT(refused, 0);
  EXPECT_EQ(ok + refused, 6);
  qobcrt_sim_set_op_delay_us(0, 0);
  repo.reset();
}

TEST_F(SchedulerTest, DynamicModelServesAtMostItsShapeLimit) {
  ServeConfig cfg;
  cfg.maxShapes = 2;
  auto repo = open(cfg);
  ASSERT_TRUE(repo);
  std::string why;
  // 8x8 is loaded at start-up, 24x24 on first use; 16x16 would be a third size.
  EXPECT_EQ(runChecked(*repo, loadCase("dynamic", {3, 8, 8}, "samples/8x8/"), 2, &why), ErrorKind::kNone) << why;
  EXPECT_EQ(runChecked(*repo, loadCase("dynamic", {3, 24, 24}, "samples/24x24/"), 4, &why), ErrorKind::kNone) << why;
  EXPECT_EQ(runChecked(*repo, loadCase("dynamic", {3, 16, 16}, "samples/16x16/"), 1, &why),
            ErrorKind::kInvalidArgument);
  EXPECT_NE(why.find("at most 2 input shapes at once (8x8, 24x24)"), std::string::npos) << why;
  EXPECT_EQ(runChecked(*repo, loadCase("dynamic", {3, 24, 24}, "samples/24x24/"), 1, &why), ErrorKind::kNone) << why;
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

}  // namespace
}  // namespace qoblserve
}  // namespace zenlar
