// The C API as a careless application uses it: graphs and models destroyed while other threads make
// streams of them, models destroyed while graphs still name them, and shape counts larger than the
// caller's array.  Each case checks the code, that nothing was half done, and that no card memory stayed.
#include <gtest/gtest.h>
#include <qobe/qobe.h>
#include <qobm/qobm.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "qobl_test/card_stats.h"
#include "stream.h"
#include "stream_test_util.h"

using namespace streamtest;
using Lines = std::vector<std::string>;

namespace {

qoblModel* loadClassifier() {
  const std::string c = "classifier";
  qoblModel* model = nullptr;
  EXPECT_EQ(0u, qoblCreateModel(modelFile(c, "model.so").c_str(), modelFile(c, "graph.json").c_str(),
                                modelFile(c, "params.bin").c_str(), modelFile(c, "hw.json").c_str(), &model));
  uint32_t batch = 1;
  EXPECT_EQ(0u, qoblSetModelBatchSize(model, &batch));
  return model;
}

// A graph handle with its input op and, given a model, a run-model op below it.  The ops are destroyed
// with it, and the handle record freed; the graph itself is the test's to destroy.
struct Built {
  qoblOpGraph* graph = nullptr;
  qobeOp* input = nullptr;
  qobeOp* run = nullptr;
  explicit Built(qoblModel* model = nullptr) {
    EXPECT_EQ(0u, qoblCreateOpGraph(&graph));
    EXPECT_EQ(0u, qoblCreateGraphInputOp(graph, 1, &input));
    if (model != nullptr) {
      EXPECT_EQ(0u, qoblCreateRunModelOp(model, &run));
      EXPECT_EQ(0u, qoblConnectOps(input, run));
    }
  }
  ~Built() {
    std::free(graph);
    for (qobeOp* op : {input, run})
      if (op != nullptr) qobeDestroyOp(op);
  }
};

// Runs `a` and `b` on two threads released at the same moment.
template <class A, class B>
void together(A&& a, B&& b) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  auto start = [&] {
    ready.fetch_add(1);
    while (!go.load()) {
    }
  };
  std::thread ta([&] {
    EXPECT_EQ(0, qobmSetDevice(0));
    start();
    a();
  });
  std::thread tb([&] {
    EXPECT_EQ(0, qobmSetDevice(0));
    start();
    b();
  });
  while (ready.load() != 2) std::this_thread::yield();
  go.store(true);
  ta.join();
  tb.join();
}

}  // namespace

// A graph destroyed by one thread while another makes a stream of it: either the stream comes first and
// the destroy is refused (the graph stays for the stream), or the destroy comes first and the stream is
// refused.  Never both: a stream bound to a freed graph would read it at build and at every run.
TEST(ApiMisuse, GraphDestroyedWhileAStreamIsMadeOfIt) {
  ASSERT_EQ(0, qobmSetDevice(0));
  LogCapture log(qobmLL_ERROR);
  const qobltest::LiveBlocks before = qobltest::liveBlocks();
  int streamFirst = 0, destroyFirst = 0;
  for (int i = 0; i < 300; ++i) {
    SCOPED_TRACE(i);
    Built b;
    qoblStream* stream = nullptr;
    qoblErr created = 1, destroyed = 1;
    together([&] { created = qoblCreateOpStream(b.graph, qoblBM_ONCE, &stream); },
             [&] { destroyed = qoblDestroyOpGraph(b.graph); });
    if (created == qoblERR_SUCCESS) {
      ++streamFirst;
      ASSERT_EQ(qoblERR_GRAPH_IN_USE, destroyed);
      ASSERT_EQ(0u, qoblDestroyOpStream(stream));
      ASSERT_EQ(0u, qoblDestroyOpGraph(b.graph));
    } else {
      ++destroyFirst;
      ASSERT_EQ(qoblERR_INVALID_PARAM, created);
      ASSERT_EQ(qoblERR_SUCCESS, destroyed);
      ASSERT_EQ(nullptr, stream);
    }
    EXPECT_EQ(nullptr, b.graph->ptr_);
  }
  log.take();
  EXPECT_EQ(before, qobltest::liveBlocks());
  std::printf("stream first %d, destroy first %d\n", streamFirst, destroyFirst);
}

// The same with the model a graph runs: a model destroyed while a stream is made of its graph is either
// refused (the stream came first) or the stream is refused; a stream never runs a freed model.  Two
// threads destroying one graph at once both succeed, the graph freed once.
TEST(ApiMisuse, ModelDestroyedWhileAStreamIsMadeOfItsGraph) {
  ASSERT_EQ(0, qobmSetDevice(0));
  LogCapture log(qobmLL_ERROR);
  const qobltest::LiveBlocks before = qobltest::liveBlocks();
  for (int i = 0; i < 60; ++i) {
    SCOPED_TRACE(i);
    qoblModel* model = loadClassifier();
    Built b(model);
    qoblStream* stream = nullptr;
    qoblErr created = 1, destroyed = 1;
    together([&] { created = qoblCreateOpStream(b.graph, qoblBM_ONCE, &stream); },
             [&] { destroyed = qoblDestroyModel(model); });
    if (created == qoblERR_SUCCESS) {
      ASSERT_EQ(qoblERR_MODEL_OPERATION, destroyed);
      ASSERT_EQ(0u, qoblBuildStream(stream));
      ASSERT_EQ(0u, qoblDestroyOpStream(stream));
      ASSERT_EQ(0u, qoblDestroyModel(model));
    } else {
      ASSERT_EQ(qoblERR_CREATE_STREAM, created);
      ASSERT_EQ(qoblERR_SUCCESS, destroyed);
    }
    qoblErr first = 1, second = 1;
    together([&] { first = qoblDestroyOpGraph(b.graph); }, [&] { second = qoblDestroyOpGraph(b.graph); });
    EXPECT_EQ(0u, first);
    EXPECT_EQ(0u, second);
  }
  log.take();
  EXPECT_EQ(before, qobltest::liveBlocks());
}

// A graph whose run-model op's model was destroyed (legal while no stream uses it) gives no stream: the
// stream would run the freed model.  The graph can still be destroyed; nothing stays on the card.
TEST(ApiMisuse, AGraphWhoseModelIsGoneGivesNoStream) {
  ASSERT_EQ(0, qobmSetDevice(0));
  LogCapture log(qobmLL_ERROR);
  const qobltest::LiveBlocks before = qobltest::liveBlocks();
  qoblModel* model = loadClassifier();
  Built b(model);
  ASSERT_EQ(0u, qoblDestroyModel(model));
  qoblStream* stream = nullptr;
  EXPECT_EQ(qoblERR_CREATE_STREAM, qoblCreateOpStream(b.graph, qoblBM_ONCE, &stream));
  EXPECT_EQ(nullptr, stream);
  const Lines lines = log.take();
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("runs a model that was destroyed")) << lines[0];
  EXPECT_EQ(0u, qoblDestroyOpGraph(b.graph));
  EXPECT_EQ(before, qobltest::liveBlocks());
}

// Calls refused for the stream's state or a destroyed stream's handle say why, under the exported function's
// name; qoblRequestOutputDataset alone answers a stale handle without a line.
TEST(ApiMisuse, RefusedStreamCallsSayWhy) {
  LogCapture log(qobmLL_ERROR);
  Pipeline p(Pipeline::Options().unbuilt());
  Pipeline other(Pipeline::Options().unbuilt());
  const uint32_t id = p.stream()->ptr_->id();
  const std::string sid = std::to_string(id);
  uint32_t n = 0;
  qobmDataset* ds = nullptr;
  log.takeLines();
  EXPECT_EQ(qoblERR_STREAM_NOT_BUILT, qoblRequestOutputDataset(p.stream(), &ds));
  EXPECT_EQ(qoblERR_STREAM_NOT_BUILT, qoblGetStreamCacheNumber(p.stream(), &n));
  EXPECT_EQ(qoblERR_OP_NOT_IN_STREAM, qoblRegisterGetOutput(p.stream(), other.runOp()));
  qobeOp* ops[] = {p.inputOp(), other.runOp()};
  EXPECT_EQ(qoblERR_OP_NOT_IN_STREAM, qoblRegisterGetOutputs(p.stream(), ops, 2));
  ASSERT_EQ(0u, qoblBuildStream(p.stream()));
  EXPECT_EQ(qoblERR_STREAM_ALREADY_BUILT, qoblRegisterGetOutput(p.stream(), p.runOp()));
  const std::string notIn = "Failed to register an output op: the op is not in the graph of stream " + sid + ".\n";
  EXPECT_EQ((Lines{"Failed to request an output dataset: stream " + sid + " is not built.\n",
                   "Failed to get the cache number: stream " + sid + " is not built.\n", notIn, notIn,
                   "Failed to register an output op: stream " + sid + " is already built.\n"}),
            log.take());

  qoblStream* stale = p.stream();
  p.destroyStream();
  log.takeLines();
  CardDataset in(p.input());
  EXPECT_EQ(qoblERR_INVALID_STREAM, qoblRequestOutputDataset(stale, &ds));
  EXPECT_EQ(Lines{}, log.take());
  EXPECT_EQ(qoblERR_INVALID_STREAM, qoblBuildStream(stale));
  EXPECT_EQ(qoblERR_INVALID_STREAM, qoblRunStream(stale, in.get(), in.get(), 0));
  EXPECT_EQ(qoblERR_INVALID_STREAM, qoblSynchronizeStream(stale, 0));
  const std::vector<qobltest::LogLine> lines = log.takeLines();
  std::vector<std::string> funcs;
  for (const qobltest::LogLine& l : lines) {
    EXPECT_EQ("Invalid stream: the handle names no live stream (destroyed, or not made by qoblCreateOpStream).\n",
              l.text);
    funcs.push_back(l.function);
  }
  EXPECT_EQ((Lines{"qoblBuildStream", "qoblRunStream", "qoblSynchronizeStream"}), funcs);
}

// Counts of shapes other than the model's inputs fail before the caller's array is read: the one shape
// sits at the very end of readable memory, so reading a second one would fault.
TEST(ApiMisuse, ShapeCountsBeyondTheCallersArray) {
  Pipeline::Options o = Pipeline::Options().withModel("dynamic").unbuilt();
  o.side = 24;
  Pipeline p(o);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* mem = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, mem);
  ASSERT_EQ(0, mprotect(static_cast<char*>(mem) + page, page, PROT_NONE));
  auto* shape = reinterpret_cast<qobmShape*>(static_cast<char*>(mem) + page - sizeof(qobmShape));
  *shape = image(20, 28);

  LogCapture log(qobmLL_ERROR);
  for (uint32_t count : {2u, 1000u, 0xffffffffu}) {
    SCOPED_TRACE(count);
    uint32_t batch = 77;
    EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetDynamicModelInputShape(p.model(), shape, count));
    EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetDynamicModelMaxBatchSize(p.model(), shape, count, &batch));
    EXPECT_EQ(77u, batch);
    EXPECT_EQ((Lines{"exception to set inputshape shape count is wrong\n",
                     "exception to get maxbatchsize shape count is wrong\n"}),
              log.take());
  }
  // The one shape the array holds is read and used.
  uint32_t batch = 0;
  EXPECT_EQ(0u, qoblGetDynamicModelMaxBatchSize(p.model(), shape, 1, &batch));
  EXPECT_GT(batch, 0u);
  EXPECT_EQ(0u, qoblSetDynamicModelInputShape(p.model(), shape, 1));
  qobmShape now{};
  EXPECT_EQ(0u, qoblGetModelInputShapeByIndex(p.model(), 0, &now));
  EXPECT_EQ((std::vector<int64_t>{1, 3, 20, 28}), std::vector<int64_t>(now.shapes, now.shapes + now.ndims));
  // A static model refuses any count without reading the array either.
  Pipeline fixed(Pipeline::Options().unbuilt());
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetDynamicModelInputShape(fixed.model(), shape, 5));
  EXPECT_EQ(Lines{"exception to set inputshape must dynamic model\n"}, log.take());
  EXPECT_EQ(0, munmap(mem, 2 * page));
}
