// The exported graph functions: their checks in order with codes and messages, the graph they build, the
// op registry that any graph's destruction clears, the in-use query, and lifetimes over many graphs.
// Run-model ops get a fake model: only the graph logic and the loop planning it triggers matter here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "graph_test_support.h"
#include "graph_validation.h"
#include "op_directed_graph.h"
#include "op_graph_controller.h"
#include "op_manager.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "singleton.h"

using namespace zenlar::qobl;
using zenlar::qobl::test::EngineOps;
using zenlar::qobl::test::FakeModel;
using zenlar::qobl::test::LogCapture;

namespace {

const char* const kConnectParam = "Invalid parameter: (NULL != parent) && (NULL != child)";
const char* const kSameOp = "Parent op and child op is same one op. \n";
const char* const kOnlyMemCopy = "Can only mem copy op be child of run model op. \n";
const char* const kParentNotIn = "Parent op must already be added in a graph. \n";
const char* const kChildHasParent = "Child op can't be input op or already has a parent op. \n";
const char* const kSetInputFailed = "Failed to set input op of child op. \n";

// A graph handle that is destroyed and whose record is freed with the test.
struct Graph {
  qoblOpGraph* h = nullptr;
  Graph() { EXPECT_EQ(qoblCreateOpGraph(&h), qoblERR_SUCCESS); }
  ~Graph() {
    if (h != nullptr) {
      EXPECT_EQ(qoblDestroyOpGraph(h), qoblERR_SUCCESS);
      std::free(h);
    }
  }
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;
  OpDirectedGraph& g() { return *h->ptr_; }
  qobeOp* input(EngineOps& ops, uint32_t count) {
    qobeOp* op = nullptr;
    EXPECT_EQ(qoblCreateGraphInputOp(h, count, &op), qoblERR_SUCCESS);
    return ops.keep(op);
  }
};

qobeOp* runModelOp(EngineOps& ops, qoblModel* model) {
  qobeOp* op = nullptr;
  EXPECT_EQ(qoblCreateRunModelOp(model, &op), qoblERR_SUCCESS);
  return ops.keep(op);
}

OpManager& registry() { return *Singleton<OpManager>::getInstance(); }

// One connect call: its code and the error lines it logged.
struct Outcome {
  qoblErr code;
  std::vector<std::string> lines;
  bool operator==(const Outcome& o) const { return code == o.code && lines == o.lines; }
};
std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << o.code;
  for (const auto& l : o.lines) os << " [" << l << "]";
  return os;
}
Outcome connect(LogCapture& log, qobeOp* parent, qobeOp* child) {
  log.take();
  const qoblErr code = qoblConnectOps(parent, child);
  return {code, log.takeTexts()};
}

}  // namespace

TEST(GraphApi, HandlesAndTheSingleInputOp) {
  LogCapture log(qobmLL_ERROR);
  EXPECT_EQ(qoblCreateOpGraph(nullptr), qoblERR_INVALID_PARAM);
  EXPECT_EQ(qoblDestroyOpGraph(nullptr), qoblERR_INVALID_PARAM);
  EngineOps ops;
  qobeOp* op = nullptr;
  EXPECT_EQ(qoblCreateGraphInputOp(nullptr, 1, &op), qoblERR_INVALID_PARAM);
  EXPECT_EQ(log.takeTexts(), std::vector<std::string>(3, "Invalid parameter: NULL != graph"));

  Graph graph;
  ASSERT_NE(graph.h, nullptr);
  ASSERT_NE(graph.h->ptr_, nullptr);
  EXPECT_TRUE(OpGraphController::find(graph.h->ptr_));
  qoblOpGraph* same = graph.h;
  EXPECT_EQ(qoblCreateOpGraph(&same), qoblERR_SUCCESS);  // an existing handle is kept
  EXPECT_EQ(same, graph.h);

  EXPECT_EQ(qoblCreateGraphInputOp(graph.h, 1, nullptr), qoblERR_INVALID_PARAM);
  EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{"Invalid parameter: NULL != op"}));

  qobeOp* in = graph.input(ops, 3);
  ASSERT_NE(in, nullptr);
  ASSERT_EQ(graph.g().size(), 1u);
  IStreamOp* inOp = (*graph.g().begin())->getStreamOp();
  EXPECT_EQ(inOp->getOp(), in);
  EXPECT_EQ(inOp->opType(), 1u);
  EXPECT_EQ(inOp->inputCount(), 3u);
  EXPECT_EQ(registry().findNode(in), *graph.g().begin());
  EXPECT_EQ(registry().findGraph(in), graph.h->ptr_);

  qobeOp* second = nullptr;
  EXPECT_EQ(qoblCreateGraphInputOp(graph.h, 1, &second), qoblERR_INPUT_OP_EXISTS);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{"Op graph can't has more than one input op. \n"}));
  EXPECT_EQ(graph.g().size(), 1u);

  // Destroying twice: the second call finds the handle empty.  An emptied handle takes no input op.
  OpDirectedGraph* raw = graph.h->ptr_;
  EXPECT_EQ(qoblDestroyOpGraph(graph.h), qoblERR_SUCCESS);
  EXPECT_EQ(graph.h->ptr_, nullptr);
  EXPECT_FALSE(OpGraphController::find(raw));
  EXPECT_EQ(qoblDestroyOpGraph(graph.h), qoblERR_SUCCESS);
  EXPECT_EQ(qoblCreateGraphInputOp(graph.h, 1, &second), qoblERR_INVALID_PARAM);
  EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{"Invalid parameter: NULL != graph"}));
  // The op engine's op is the application's: still alive after its graph is gone.
  uint32_t uid = 0;
  EXPECT_EQ(qobeGetOpAttr(in, "uid", qobeATTR_UINT32, &uid), 0);
  EXPECT_NE(uid, 0u);

  // The run-model op carries the model object and is in no graph yet.
  FakeModel model;
  qoblModel handle{&model};
  EXPECT_EQ(qoblCreateRunModelOp(nullptr, &op), qoblERR_INVALID_PARAM);
  EXPECT_EQ(qoblCreateRunModelOp(&handle, nullptr), qoblERR_INVALID_PARAM);
  EXPECT_EQ(log.takeTexts(),
            std::vector<std::string>(2, "Invalid parameter: (NULL != op) && (NULL != model)"));
  qobeOp* rm = runModelOp(ops, &handle);
  uint64_t addr = 0;
  EXPECT_EQ(qobeGetOpAttr(rm, "model_addr", qobeATTR_UINT64, &addr), 0);
  EXPECT_EQ(addr, reinterpret_cast<uintptr_t>(&model));
  EXPECT_EQ(registry().findNode(rm), nullptr);
}

TEST(GraphApi, ConnectChecksInOrder) {
  LogCapture log(qobmLL_ERROR);
  EngineOps ops;
  FakeModel model;
  qoblModel handle{&model};
  Graph graph;
  qobeOp* in = graph.input(ops, 1);
  qobeOp* looseModel = runModelOp(ops, &handle);
  qobeOp* looseModel2 = runModelOp(ops, &handle);
  qobeOp* looseCopy = ops.make(qobeOP_MEM_COPY_OP);

  // 1. null pointers, before anything else.
  EXPECT_EQ(connect(log, nullptr, in), (Outcome{qoblERR_INVALID_PARAM, {kConnectParam}}));
  EXPECT_EQ(connect(log, in, nullptr), (Outcome{qoblERR_INVALID_PARAM, {kConnectParam}}));
  // 2. the same op, even when it is in no graph.
  EXPECT_EQ(connect(log, looseModel, looseModel), (Outcome{qoblERR_SAME_OP, {kSameOp}}));
  EXPECT_EQ(connect(log, in, in), (Outcome{qoblERR_SAME_OP, {kSameOp}}));
  // 3. run-model parent with a child that is not a memory-copy op: before the registry is asked.
  EXPECT_EQ(connect(log, looseModel, looseModel2), (Outcome{qoblERR_CONNECT_OPS, {kOnlyMemCopy}}));
  EXPECT_EQ(connect(log, looseModel, in), (Outcome{qoblERR_CONNECT_OPS, {kOnlyMemCopy}}));
  // 4. the parent must be registered, checked before the child is.
  EXPECT_EQ(connect(log, looseModel, looseCopy), (Outcome{qoblERR_PARENT_NOT_IN_GRAPH, {kParentNotIn}}));
  EXPECT_EQ(connect(log, looseCopy, in), (Outcome{qoblERR_PARENT_NOT_IN_GRAPH, {kParentNotIn}}));
  // 5. the child must not be registered: the input op, or an op connected before.
  EXPECT_EQ(connect(log, in, looseCopy), (Outcome{qoblERR_SUCCESS, {}}));
  EXPECT_EQ(connect(log, looseCopy, in), (Outcome{qoblERR_CHILD_HAS_PARENT, {kChildHasParent}}));
  Graph other;
  qobeOp* otherIn = other.input(ops, 1);
  EXPECT_EQ(connect(log, otherIn, looseCopy), (Outcome{qoblERR_CHILD_HAS_PARENT, {kChildHasParent}}));
  EXPECT_EQ(connect(log, otherIn, in), (Outcome{qoblERR_CHILD_HAS_PARENT, {kChildHasParent}}));
  // None of the refused calls changed a graph.
  EXPECT_EQ(graph.g().size(), 2u);
  EXPECT_EQ(other.g().size(), 1u);
}

TEST(GraphApi, AFailedConnectLeavesTheChildPlaced) {
  LogCapture log(qobmLL_ERROR);
  EngineOps ops;
  FakeModel byFour, byTwo, broken;
  byFour.batch = 4;
  byTwo.batch = 2;
  broken.batchOk = false;
  qoblModel h4{&byFour}, h2{&byTwo}, hb{&broken};
  Graph graph;
  qobeOp* in = graph.input(ops, 1);
  qobeOp* first = runModelOp(ops, &h4);
  qobeOp* conflicting = runModelOp(ops, &h2);
  qobeOp* failing = runModelOp(ops, &hb);
  ASSERT_EQ(qoblConnectOps(in, first), qoblERR_SUCCESS);

  // A second model under the same input op wants the input op to loop twice, not four times.
  EXPECT_EQ(connect(log, in, conflicting),
            (Outcome{qoblERR_CONNECT_OPS, {"Loop count conflict!", kSetInputFailed}}));
  // A model that cannot tell its batch size fails its planning.
  EXPECT_EQ(connect(log, in, failing), (Outcome{qoblERR_CONNECT_OPS, {kSetInputFailed}}));

  // Neither is undone: both stay in the graph, connected and registered, so connecting them again is
  // refused as a child that already has a parent.
  EXPECT_EQ(graph.g().size(), 4u);
  EXPECT_EQ((*graph.g().begin())->getEdges().size(), 3u);
  EXPECT_EQ(connect(log, in, failing), (Outcome{qoblERR_CHILD_HAS_PARENT, {kChildHasParent}}));
  EXPECT_EQ((*graph.g().begin())->getStreamOp()->loopCount(), 4u);
}

TEST(GraphApi, DestroyingAnyGraphClearsTheWholeOpRegistry) {
  LogCapture log(qobmLL_ERROR);
  EngineOps ops;
  FakeModel model;
  qoblModel handle{&model};
  auto a = std::make_unique<Graph>();
  Graph b, c;
  a->input(ops, 1);
  qobeOp* inB = b.input(ops, 1);
  qobeOp* childB = runModelOp(ops, &handle);
  ASSERT_EQ(qoblConnectOps(inB, childB), qoblERR_SUCCESS);
  qobeOp* inC = c.input(ops, 1);
  EXPECT_EQ(registry().size(), 4u);

  a.reset();  // destroys graph A
  EXPECT_EQ(registry().size(), 0u);

  // B is intact and still validates, but its ops are no longer known as parents ...
  EXPECT_EQ(b.g().size(), 2u);
  EXPECT_TRUE(validateDRGraph(b.g()));
  qobeOp* late = runModelOp(ops, &handle);
  EXPECT_EQ(connect(log, inB, late), (Outcome{qoblERR_PARENT_NOT_IN_GRAPH, {kParentNotIn}}));
  EXPECT_EQ(connect(log, inC, late), (Outcome{qoblERR_PARENT_NOT_IN_GRAPH, {kParentNotIn}}));
  // ... nor as children: B's run-model op can now be connected under another graph's op as well.  It gets
  // a node and stream op of its own there; destroying both graphs frees each once.
  qobeOp* inD = nullptr;
  Graph d;
  inD = d.input(ops, 1);
  EXPECT_EQ(connect(log, inD, childB), (Outcome{qoblERR_SUCCESS, {}}));
  EXPECT_EQ(d.g().size(), 2u);
  EXPECT_NE((*(d.g().begin() + 1))->getStreamOp(), (*(b.g().begin() + 1))->getStreamOp());
  // B's graph still refuses a second input op: that check looks at the graph, not the registry.
  qobeOp* extra = nullptr;
  EXPECT_EQ(qoblCreateGraphInputOp(b.h, 1, &extra), qoblERR_INPUT_OP_EXISTS);
}

TEST(GraphApi, AGraphInUseByAStreamStays) {
  LogCapture log(qobmLL_ERROR);
  static uint64_t boundAddr = 0;
  OpGraphController::setGraphBindingQuery([](uint64_t addr) { return addr == boundAddr; });
  Graph graph, free;
  OpDirectedGraph* raw = graph.h->ptr_;
  boundAddr = reinterpret_cast<uintptr_t>(raw);
  EXPECT_EQ(qoblDestroyOpGraph(graph.h), qoblERR_GRAPH_IN_USE);
  EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{"The stream bound to graph must be destroyed first.\n"}));
  EXPECT_EQ(graph.h->ptr_, raw);
  EXPECT_TRUE(OpGraphController::find(raw));
  // Another graph is not affected.
  EXPECT_EQ(qoblDestroyOpGraph(free.h), qoblERR_SUCCESS);
  boundAddr = 0;  // the stream is gone
  EXPECT_EQ(qoblDestroyOpGraph(graph.h), qoblERR_SUCCESS);
  OpGraphController::setGraphBindingQuery(nullptr);
  // An unknown graph cannot be released.
  OpDirectedGraph stray;
  qoblOpGraph strayHandle{&stray};
  EXPECT_EQ(qoblDestroyOpGraph(&strayHandle), qoblERR_INVALID_PARAM);
}

TEST(GraphApi, ManyGraphsLeaveNothingBehind) {
  const uint32_t liveOpsBefore = qobeLiveOpCount();
  FakeModel model;
  model.batch = 2;
  qoblModel handle{&model};
  for (int i = 0; i < 200; ++i) {
    EngineOps ops;
    Graph graph;
    qobeOp* in = graph.input(ops, 2);
    qobeOp* rm = runModelOp(ops, &handle);
    qobeOp* copy = ops.make(qobeOP_MEM_COPY_OP);
    ASSERT_EQ(qoblConnectOps(in, rm), qoblERR_SUCCESS);
    ASSERT_EQ(qoblConnectOps(rm, copy), qoblERR_SUCCESS);
    ASSERT_TRUE(validateDRGraph(graph.g()));
  }
  // Graphs freed their nodes, edges and stream ops (checked by the leak sanitizer), never an engine op
  // (the test's EngineOps destroyed those), and the registry holds nothing.
  EXPECT_EQ(qobeLiveOpCount(), liveOpsBefore);
  EXPECT_EQ(registry().size(), 0u);
}
