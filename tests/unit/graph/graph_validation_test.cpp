// Validation of a graph before a stream is built from it, the node order, the leaf marks, the device id
// stamping, and what the graph frees.  Stream ops are fakes, so each check is provoked by exactly the sizes
// and counts it reads.  (The cycle test's reachability: the unreachable-op row.)
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "graph_validation.h"
#include "op_directed_graph.h"
#include "qobl_test/fake_stream_op.h"
#include "qobl_test/log_capture.h"

using namespace zenlar::qobl;
using qobltest::FakeStreamOp;
using qobltest::LogCapture;
using Lines = std::vector<std::string>;

namespace {

constexpr uint32_t kInput = 1, kRunModel = 2, kMemCopy = 10;

struct Builder {
  OpDirectedGraph graph;
  std::vector<OpDGNode*> nodes;
  FakeStreamOp* add(const char* name, uint32_t kind, int parent = -1) {
    auto* op = new FakeStreamOp(name, kind);
    auto* node = new OpDGNode(op);
    EXPECT_EQ(graph.addNode(*node), qoblERR_SUCCESS);
    if (parent >= 0) {
      EXPECT_TRUE(graph.connect(*nodes.at(parent), *node, *new OpDGEdge(node)));
    }
    nodes.push_back(node);
    return op;
  }
};

std::string mismatch(bool count, const char* parent, const char* child, bool inputCheck = false) {
  char buf[512];
  std::snprintf(buf, sizeof(buf),
                "%s to validate op graph because the output %s of op %s doesn't match with the input %s of op %s.\n",
                inputCheck ? "CheckInputOp:fail" : "Fail", count ? "number" : "size", parent, count ? "number" : "size",
                child);
  return buf;
}

std::vector<std::string> names(const OpDirectedGraph::NodeList& nodes) {
  std::vector<std::string> out;
  for (OpDGNode* n : nodes) out.push_back(n->getStreamOp()->name());
  return out;
}

}  // namespace

// Each row: an input op "in" (input count, output count, output sizes fixed earlier, whether it takes new
// sizes) above the listed ops; the graph validates exactly when no error lines are expected, and then the
// input op's output sizes are those of its first child.
TEST(GraphValidation, EachCheckFromTheGraphThatProvokesIt) {
  struct Op {
    const char* name;
    uint32_t kind;
    int parent;
    std::vector<uint32_t> in, out;
  };
  struct Case {
    const char* what;
    uint32_t inCount, outCount;
    std::vector<uint32_t> earlier;
    bool accepts;
    std::vector<Op> ops;
    Lines errors;
  };
  const std::string failed = "checkInputOp faile.\n";
  const std::vector<Case> cases = {
      {"input op alone", 1, 1, {}, true, {}, {"The DR graph has no valid node.\n"}},
      {"unreachable op", 1, 1, {}, true, {{"stray", kMemCopy, -1, {}, {}}}, {"The DR graph has a loop.\n"}},
      // Below a run-model child the sizes are copied from it: one tensor in, two for the model, still valid.
      {"sizes from the model", 1, 1, {}, true,
       {{"model", kRunModel, 0, {64, 32}, {8}}, {"copy", kMemCopy, 1, {8}, {}}}, {}},
      {"count conflict above a model", 2, 3, {}, true, {{"model", kRunModel, 0, {4, 4}, {}}},
       {"input op's output count conflict!"}},
      {"count conflict above a copy", 1, 2, {}, true, {{"copy", kMemCopy, 0, {4}, {}}},
       {"input op's output count conflict!", failed}},
      {"sizes refused", 1, 1, {}, false, {{"copy", kMemCopy, 0, {4}, {}}},
       {"faile to set input op output sizes!", failed}},
      // The first copy child fixes the sizes, a second one must match them.
      {"second child size", 2, 2, {}, true,
       {{"first", kMemCopy, 0, {4, 4}, {}}, {"second", kMemCopy, 0, {4, 5}, {}}}, {mismatch(false, "in", "second")}},
      {"second child count", 2, 2, {}, true,
       {{"first", kMemCopy, 0, {4, 4}, {}}, {"second", kMemCopy, 0, {4}, {}}}, {mismatch(true, "in", "second")}},
      {"second child matches", 2, 2, {}, true,
       {{"first", kMemCopy, 0, {4, 4}, {}}, {"second", kMemCopy, 0, {4, 4}, {}}}, {}},
      // Sizes fixed earlier must agree with the first child now.
      {"earlier size", 2, 2, {16, 16}, true, {{"child", kMemCopy, 0, {16, 12}, {}}},
       {mismatch(false, "in", "child", true), failed}},
      {"earlier count", 2, 2, {16, 12}, true, {{"child", kMemCopy, 0, {16}, {}}},
       {mismatch(true, "in", "child", true), failed}},
      {"earlier agrees", 2, 2, {16, 16}, true, {{"child", kMemCopy, 0, {16, 16}, {}}}, {}},
      // Between two ops below the input op.
      {"model to copy count", 1, 1, {}, true,
       {{"model", kRunModel, 0, {12}, {40, 8}}, {"copy", kMemCopy, 1, {40}, {}}}, {mismatch(true, "model", "copy")}},
      {"model to copy size", 1, 1, {}, true,
       {{"model", kRunModel, 0, {12}, {40, 8}}, {"copy", kMemCopy, 1, {40, 9}, {}}}, {mismatch(false, "model", "copy")}},
  };
  LogCapture log;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Builder b;
    FakeStreamOp* in = b.add("in", kInput);
    in->inCount_ = c.inCount;
    in->outCount_ = c.outCount;
    in->outSizes_ = c.earlier;
    in->storesOutputSizes_ = true;
    in->acceptOutputSizes_ = c.accepts;
    for (const Op& o : c.ops) {
      FakeStreamOp* op = b.add(o.name, o.kind, o.parent);
      op->inSizes_ = o.in;
      op->outSizes_ = o.out;
    }
    log.take();
    EXPECT_EQ(validateDRGraph(b.graph), c.errors.empty());
    EXPECT_EQ(log.take(), c.errors);
    if (c.errors.empty()) {
      EXPECT_EQ(in->outSizes_, c.ops.front().in);
    }
  }
  Builder empty;
  EXPECT_FALSE(validateDRGraph(empty.graph));
  EXPECT_EQ(log.take(), Lines{"The DR graph has no valid node.\n"});
}

TEST(GraphOrdering, LastEdgeFirstDepthFirstAndLeafMarks) {
  Builder b;
  b.add("R", kInput);
  b.add("A", kRunModel, 0);
  b.add("B", kMemCopy, 0);
  b.add("C", kMemCopy, 1);
  OpDirectedGraph::NodeList order;
  ASSERT_TRUE(generateOpNodeStream(b.graph, order));
  EXPECT_EQ(names(order), (Lines{"R", "B", "A", "C"}));
  for (OpDGNode* n : order) {
    const bool leaf = n->getEdges().empty();
    EXPECT_EQ(n->getStreamOp()->getOutputFlag(), leaf) << n->getStreamOp()->name();
    EXPECT_EQ(n->getStreamOp()->isLeafNode(), leaf) << n->getStreamOp()->name();
  }

  LogCapture log;
  Builder empty;
  OpDirectedGraph::NodeList none;
  EXPECT_FALSE(generateOpNodeStream(empty.graph, none));
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(log.take(qobmLL_TRACE), Lines{"Failed to generate node stream because ir graph is empty! \n"});
}

TEST(GraphOrdering, DeviceIdStopsAtTheFirstRefusal) {
  LogCapture log;
  Builder b;
  FakeStreamOp* ops[] = {b.add("R", kInput), b.add("A", kRunModel), b.add("B", kMemCopy)};
  OpDirectedGraph::NodeList nodes(b.nodes.begin(), b.nodes.end());
  EXPECT_TRUE(setDeviceId(nodes, 3));
  ops[1]->acceptDeviceId_ = false;
  EXPECT_FALSE(setDeviceId(nodes, 5));
  EXPECT_EQ(ops[0]->deviceId_, 5u);
  EXPECT_EQ(ops[1]->deviceId_, 3u);
  EXPECT_EQ(ops[2]->deviceId_, 3u);  // after the refusal: untouched
  EXPECT_EQ(log.take(), Lines{"Failed to set device id for op [A].\n"});
}

// The graph frees its nodes, edges and stream ops once each, even an edge object held by two nodes (ASan
// reports a double free), and a moved-from graph frees nothing.
TEST(GraphOwnership, DestructionFreesNodesEdgesAndStreamOpsOnce) {
  const int before = FakeStreamOp::live;
  {
    Builder b;
    b.add("R", kInput);
    b.add("A", kRunModel, 0);
    b.add("C", kMemCopy, 1);
    ASSERT_TRUE(b.graph.connect(*b.nodes[2], *b.nodes[1], *b.nodes[0]->getEdges().front()));
    EXPECT_EQ(FakeStreamOp::live, before + 3);
    OpDirectedGraph moved(std::move(b.graph));
    EXPECT_EQ(moved.size(), 3u);
  }
  EXPECT_EQ(FakeStreamOp::live, before);
}
