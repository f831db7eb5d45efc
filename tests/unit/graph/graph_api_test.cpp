// The exported graph functions: their checks in order with codes and messages, the graph they build, the
// op registry that any graph's destruction clears, and the in-use query.  Run-model ops get a fake model:
// only the graph logic and the loop planning it triggers matter here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "graph_validation.h"
#include "model_mgr.h"
#include "op_directed_graph.h"
#include "op_graph_controller.h"
#include "op_manager.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "qobl_test/fake_model.h"
#include "qobl_test/log_capture.h"
#include "singleton.h"

using namespace zenlar::qobl;
using qobltest::LogCapture;
using Lines = std::vector<std::string>;

namespace {

// A model for loop planning: one input of 16 bytes, one float output of 8 bytes.  Live for the library
// while it exists, as a model it made would be.
class FakeModel : public qobltest::FakeModel {
 public:
  FakeModel() {
    inputSizes = {16};
    setOutputSizes({8});
    ModelMgr::trackLive(this);
  }
  ~FakeModel() override { ModelMgr::forgetLive(this); }
};

// Op-engine ops destroyed with the test.
class EngineOps {
 public:
  ~EngineOps() {
    for (qobeOp* op : ops_) qobeDestroyOp(op);
  }
  qobeOp* make(uint32_t kind) {
    qobeOp* op = nullptr;
    EXPECT_EQ(qobeCreateOp(kind, &op), 0);
    return keep(op);
  }
  qobeOp* keep(qobeOp* op) {
    if (op != nullptr) ops_.push_back(op);
    return op;
  }

 private:
  std::vector<qobeOp*> ops_;
};

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

}  // namespace

// Null handles and the handle checks shared by every function are in the API frame test.
TEST(GraphApi, TheSingleInputOpAndDestroyingTwice) {
  LogCapture log(qobmLL_ERROR);
  EngineOps ops;
  qobeOp* op = nullptr;
  Graph graph;
  EXPECT_EQ(qoblCreateGraphInputOp(graph.h, 1, nullptr), qoblERR_INVALID_PARAM);
  EXPECT_EQ(log.take(), Lines{"Invalid parameter: NULL != op"});
  qobeOp* in = graph.input(ops, 3);
  ASSERT_EQ(graph.g().size(), 1u);
  EXPECT_EQ((*graph.g().begin())->getStreamOp()->getOp(), in);
  EXPECT_EQ(qoblCreateGraphInputOp(graph.h, 1, &op), qoblERR_INPUT_OP_EXISTS);
  EXPECT_EQ(op, nullptr);
  EXPECT_EQ(log.take(), Lines{"Op graph can't has more than one input op. \n"});
  EXPECT_EQ(graph.g().size(), 1u);

  // Destroying twice: the second call finds the handle empty, and an emptied handle takes no input op.
  OpDirectedGraph* raw = graph.h->ptr_;
  EXPECT_EQ(qoblDestroyOpGraph(graph.h), qoblERR_SUCCESS);
  EXPECT_FALSE(OpGraphController::find(raw));
  EXPECT_EQ(qoblDestroyOpGraph(graph.h), qoblERR_SUCCESS);
  EXPECT_EQ(qoblCreateGraphInputOp(graph.h, 1, &op), qoblERR_INVALID_PARAM);
  EXPECT_EQ(log.take(), Lines{"Invalid parameter: NULL != graph"});
  uint32_t uid = 0;  // the op engine's op is the application's: alive after its graph
  EXPECT_EQ(qobeGetOpAttr(in, "uid", qobeATTR_UINT32, &uid), 0);
}

// The checks of qoblConnectOps in their order, then the planning after the child is placed: a failure
// there is not undone, so the child stays in the graph and cannot be connected again.
TEST(GraphApi, ConnectChecksInOrder) {
  LogCapture log(qobmLL_ERROR);
  EngineOps ops;
  FakeModel byFour, byTwo, broken;
  byFour.batch = 4;
  byTwo.batch = 2;
  broken.batchOk = false;
  qoblModel h4{&byFour}, h2{&byTwo}, hb{&broken};
  Graph graph, other;
  qobeOp* in = graph.input(ops, 1);
  qobeOp* otherIn = other.input(ops, 1);
  qobeOp* model = runModelOp(ops, &h4);
  qobeOp* model2 = runModelOp(ops, &h4);
  qobeOp* sameCount = runModelOp(ops, &h4);
  qobeOp* conflicting = runModelOp(ops, &h2);
  qobeOp* failing = runModelOp(ops, &hb);
  qobeOp* copy = ops.make(qobeOP_MEM_COPY_OP);
  struct Row {
    qobeOp *parent, *child;
    qoblErr code;
    Lines lines;
  };
  const Row rows[] = {
      {in, nullptr, qoblERR_INVALID_PARAM, {kConnectParam}},
      {model, model, qoblERR_SAME_OP, {kSameOp}},  // even when in no graph
      {in, in, qoblERR_SAME_OP, {kSameOp}},
      // A run-model parent with a child that is not a memory-copy op, before the registry is asked.
      {model, model2, qoblERR_CONNECT_OPS, {kOnlyMemCopy}},
      {model, in, qoblERR_CONNECT_OPS, {kOnlyMemCopy}},
      {model, copy, qoblERR_PARENT_NOT_IN_GRAPH, {kParentNotIn}},
      {copy, in, qoblERR_PARENT_NOT_IN_GRAPH, {kParentNotIn}},  // the parent is checked before the child
      {in, copy, qoblERR_SUCCESS, {}},
      {copy, in, qoblERR_CHILD_HAS_PARENT, {kChildHasParent}},
      {otherIn, copy, qoblERR_CHILD_HAS_PARENT, {kChildHasParent}},
      {otherIn, in, qoblERR_CHILD_HAS_PARENT, {kChildHasParent}},
      {in, model, qoblERR_SUCCESS, {}},
      {in, sameCount, qoblERR_SUCCESS, {}},  // a second model that plans the same loop count
      // A second model under the input op wants it to loop twice, not four times.
      {in, conflicting, qoblERR_CONNECT_OPS, {"Loop count conflict!", kSetInputFailed}},
      {in, failing, qoblERR_CONNECT_OPS, {kSetInputFailed}},  // a model that cannot tell its batch size
      {in, failing, qoblERR_CHILD_HAS_PARENT, {kChildHasParent}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(&r - rows);
    log.take();
    EXPECT_EQ(qoblConnectOps(r.parent, r.child), r.code);
    EXPECT_EQ(log.take(), r.lines);
  }
  EXPECT_EQ(graph.g().size(), 6u);
  EXPECT_EQ((*graph.g().begin())->getEdges().size(), 5u);
  EXPECT_EQ((*graph.g().begin())->getStreamOp()->loopCount(), 4u);
  EXPECT_EQ(other.g().size(), 1u);
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

  a.reset();
  EXPECT_EQ(registry().size(), 0u);
  // B is intact and still validates, but its ops are no longer known as parents ...
  EXPECT_EQ(b.g().size(), 2u);
  EXPECT_TRUE(validateDRGraph(b.g()));
  qobeOp* late = runModelOp(ops, &handle);
  EXPECT_EQ(qoblConnectOps(inB, late), qoblERR_PARENT_NOT_IN_GRAPH);
  EXPECT_EQ(qoblConnectOps(inC, late), qoblERR_PARENT_NOT_IN_GRAPH);
  EXPECT_EQ(log.take(), Lines(2, kParentNotIn));
  // ... nor as children: B's run-model op can be connected under another graph's op as well, with a node
  // and stream op of its own there; destroying both graphs frees each once.
  Graph d;
  EXPECT_EQ(qoblConnectOps(d.input(ops, 1), childB), qoblERR_SUCCESS);
  EXPECT_EQ(d.g().size(), 2u);
  EXPECT_NE((*(d.g().begin() + 1))->getStreamOp(), (*(b.g().begin() + 1))->getStreamOp());
  // B still refuses a second input op: that check looks at the graph, not the registry.
  qobeOp* extra = nullptr;
  EXPECT_EQ(qoblCreateGraphInputOp(b.h, 1, &extra), qoblERR_INPUT_OP_EXISTS);
}

// Run-model ops keep their model's address after the model is gone (or carry any address the application
// wrote): placing or planning such an op would use freed memory, so it is refused before anything changes.
// An input op is never a child, also once the registry has forgotten it.
TEST(GraphApi, OpsOfDestroyedModelsAndInputOpsAreNoChildren) {
  LogCapture log(qobmLL_ERROR);
  EngineOps ops;
  auto gone = std::make_unique<FakeModel>();
  auto later = std::make_unique<FakeModel>();
  qoblModel hGone{gone.get()}, hLater{later.get()};
  Graph graph;
  qobeOp* in = graph.input(ops, 1);
  qobeOp* orphan = runModelOp(ops, &hGone);
  qobeOp* parent = runModelOp(ops, &hLater);
  qobeOp* forged = runModelOp(ops, &hLater);
  ASSERT_EQ(qobeSetOpAttr(forged, "model_addr", qobeATTR_UINT64, 1, uint64_t{0xdead0}), 0);
  ASSERT_EQ(qoblConnectOps(in, parent), qoblERR_SUCCESS);
  gone.reset();
  later.reset();  // the connected op's model goes too: its graph has no stream

  const std::string childGone = "Failed to connect ops: the child run-model op's model was destroyed or never made.\n";
  EXPECT_EQ(qoblConnectOps(in, orphan), qoblERR_CONNECT_OPS);
  EXPECT_EQ(qoblConnectOps(in, forged), qoblERR_CONNECT_OPS);
  EXPECT_EQ(log.take(), (Lines{childGone, childGone}));
  EXPECT_EQ(qoblConnectOps(parent, ops.make(qobeOP_MEM_COPY_OP)), qoblERR_CONNECT_OPS);
  EXPECT_EQ(log.take(), Lines{"Failed to connect ops: the parent run-model op's model was destroyed.\n"});
  EXPECT_EQ(graph.g().size(), 2u);
  EXPECT_EQ(registry().findNode(orphan), nullptr);

  // Graph A's destruction clears the registry; B's input op is still no child of C.
  auto a = std::make_unique<Graph>();
  Graph b, c;
  qobeOp* inB = b.input(ops, 1);
  a.reset();
  qobeOp* inC = c.input(ops, 1);
  EXPECT_EQ(qoblConnectOps(inC, inB), qoblERR_CHILD_HAS_PARENT);
  EXPECT_EQ(log.take(), Lines{kChildHasParent});
  EXPECT_EQ(c.g().size(), 1u);
}

TEST(GraphApi, AGraphInUseByAStreamStays) {
  LogCapture log(qobmLL_ERROR);
  Graph graph, free;
  OpDirectedGraph* raw = graph.h->ptr_;
  qoblStream* stream = nullptr;
  ASSERT_EQ(0, qobmSetDevice(0));
  ASSERT_EQ(qoblCreateOpStream(graph.h, qoblBM_ONCE, &stream), qoblERR_SUCCESS);
  EXPECT_EQ(qoblDestroyOpGraph(graph.h), qoblERR_GRAPH_IN_USE);
  EXPECT_EQ(log.take(), Lines{"The stream bound to graph must be destroyed first.\n"});
  EXPECT_EQ(graph.h->ptr_, raw);
  EXPECT_TRUE(OpGraphController::find(raw));
  EXPECT_EQ(qoblDestroyOpGraph(free.h), qoblERR_SUCCESS);
  ASSERT_EQ(qoblDestroyOpStream(stream), qoblERR_SUCCESS);  // the stream is gone
  EXPECT_EQ(qoblDestroyOpGraph(graph.h), qoblERR_SUCCESS);
  OpDirectedGraph stray;  // an unknown graph cannot be released
  qoblOpGraph strayHandle{&stray};
  EXPECT_EQ(qoblDestroyOpGraph(&strayHandle), qoblERR_INVALID_PARAM);
}
