// Validation of a graph before a stream is built from it, the node order, the leaf marks and the device
// id stamping.  Stream ops are fakes, so each check is provoked by exactly the sizes and counts it reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph_test_support.h"
#include "graph_validation.h"
#include "op_directed_graph.h"

using namespace zenlar::qobl;
using zenlar::qobl::test::FakeStreamOp;
using zenlar::qobl::test::LogCapture;

namespace {

constexpr uint32_t kInput = 1, kRunModel = 2, kMemCopy = 10;

struct Builder {
  OpDirectedGraph graph;
  FakeStreamOp* add(const char* name, uint32_t kind, OpDGNode* parent = nullptr) {
    auto* op = new FakeStreamOp(name, kind);
    auto* node = new OpDGNode(op);
    EXPECT_EQ(graph.addNode(*node), qoblERR_SUCCESS);
    if (parent != nullptr) {
      auto* edge = new OpDGEdge(node);
      EXPECT_TRUE(graph.connect(*parent, *node, *edge));
    }
    nodes.push_back(node);
    return op;
  }
  // The input op the graph API makes: as many outputs as inputs, output sizes fixed from outside.
  FakeStreamOp* addInput(uint32_t count) {
    FakeStreamOp* op = add("in", kInput);
    op->inCount_ = op->outCount_ = count;
    op->storesOutputSizes_ = true;
    return op;
  }
  OpDGNode* node(size_t i) { return nodes.at(i); }
  std::vector<OpDGNode*> nodes;
};

const std::string kNumber =
    "Fail to validate op graph because the output number of op %s doesn't match with the input number of op "
    "%s.\n";
const std::string kSize =
    "Fail to validate op graph because the output size of op %s doesn't match with the input size of op "
    "%s.\n";

// The library logs formats with their arguments; build the expected line the same way.
std::string fmt(const std::string& format, const char* a, const char* b) {
  char buf[512];
  std::snprintf(buf, sizeof(buf), format.c_str(), a, b);
  return buf;
}

std::vector<std::string> names(const OpDirectedGraph::NodeList& nodes) {
  std::vector<std::string> out;
  for (OpDGNode* n : nodes) out.push_back(n->getStreamOp()->name());
  return out;
}

}  // namespace

TEST(GraphValidation, GraphLevelChecks) {
  LogCapture log;
  Builder empty;
  EXPECT_FALSE(validateDRGraph(empty.graph));
  Builder single;
  single.addInput(1);
  EXPECT_FALSE(validateDRGraph(single.graph));
  EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{"The DR graph has no valid node.\n",
                                                         "The DR graph has no valid node.\n"}));

  // An op that is not reachable from the input op is reported as a loop.
  Builder unreachable;
  unreachable.addInput(1);
  unreachable.add("stray", kMemCopy);
  EXPECT_FALSE(validateDRGraph(unreachable.graph));
  EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{"The DR graph has a loop.\n"}));
}

TEST(GraphValidation, InputOpTakesItsSizesFromItsChildren) {
  LogCapture log;
  // Feeding a run-model op: the sizes are copied from that child, so the comparison with it passes even
  // though the input op itself hands on one tensor and the model takes two.
  {
    Builder b;
    FakeStreamOp* in = b.addInput(1);
    FakeStreamOp* model = b.add("model", kRunModel, b.node(0));
    model->inSizes_ = {64, 32};
    model->outSizes_ = {8};
    FakeStreamOp* copy = b.add("copy", kMemCopy, b.node(1));
    copy->inSizes_ = {8};
    EXPECT_TRUE(validateDRGraph(b.graph));
    EXPECT_EQ(in->outSizes_, (std::vector<uint32_t>{64, 32}));
    EXPECT_TRUE(log.takeTexts().empty());
  }
  // An input op whose inputs and outputs disagree, below a run-model child.
  {
    Builder b;
    FakeStreamOp* in = b.addInput(2);
    in->outCount_ = 3;
    b.add("model", kRunModel, b.node(0))->inSizes_ = {4, 4};
    EXPECT_FALSE(validateDRGraph(b.graph));
    EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{"input op's output count conflict!"}));
  }
  // Two memory-copy children: the first one fixes the sizes, the second must match them.
  {
    Builder b;
    b.addInput(2);
    b.add("first", kMemCopy, b.node(0))->inSizes_ = {4, 4};
    FakeStreamOp* second = b.add("second", kMemCopy, b.node(0));
    second->inSizes_ = {4, 5};
    EXPECT_FALSE(validateDRGraph(b.graph));
    EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{fmt(kSize, "in", "second")}));
    second->inSizes_ = {4};
    EXPECT_FALSE(validateDRGraph(b.graph));
    EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{fmt(kNumber, "in", "second")}));
    second->inSizes_ = {4, 4};
    EXPECT_TRUE(validateDRGraph(b.graph));
    EXPECT_TRUE(log.takeTexts().empty());
  }
}

TEST(GraphValidation, InputOpOwnCheck) {
  LogCapture log;
  const std::string failed = "checkInputOp faile.\n";
  // Sizes fixed earlier (by planning or an earlier validation) must agree with the first child now.
  Builder b;
  FakeStreamOp* in = b.addInput(2);
  FakeStreamOp* child = b.add("child", kMemCopy, b.node(0));
  child->inSizes_ = {16, 16};
  EXPECT_TRUE(validateDRGraph(b.graph));
  EXPECT_EQ(in->outSizes_, (std::vector<uint32_t>{16, 16}));
  child->inSizes_ = {16, 12};
  EXPECT_FALSE(validateDRGraph(b.graph));
  EXPECT_EQ(log.takeTexts(),
            (std::vector<std::string>{
                "CheckInputOp:fail to validate op graph because the output size of op in doesn't match with the "
                "input size of op child.\n",
                failed}));
  // Earlier sizes now {16, 12}; a child taking fewer tensors is a count mismatch.
  child->inSizes_ = {16};
  EXPECT_FALSE(checkInputOp(b.node(0)));
  EXPECT_EQ(log.takeTexts(),
            (std::vector<std::string>{
                "CheckInputOp:fail to validate op graph because the output number of op in doesn't match with "
                "the input number of op child.\n"}));

  // Count conflict and a refused size update.
  Builder c;
  FakeStreamOp* in2 = c.addInput(1);
  c.add("child", kMemCopy, c.node(0))->inSizes_ = {4};
  in2->outCount_ = 2;
  EXPECT_FALSE(validateDRGraph(c.graph));
  EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{"input op's output count conflict!", failed}));
  in2->outCount_ = 1;
  in2->acceptOutputSizes_ = false;
  EXPECT_FALSE(validateDRGraph(c.graph));
  EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{"faile to set input op output sizes!", failed}));

  // Not an input op: nothing to check.
  EXPECT_TRUE(checkInputOp(c.node(1)));
  EXPECT_TRUE(log.takeTexts().empty());
}

TEST(GraphValidation, ParentChildSizesBelowTheInputOp) {
  LogCapture log;
  Builder b;
  b.addInput(1);
  FakeStreamOp* model = b.add("model", kRunModel, b.node(0));
  model->inSizes_ = {12};
  model->outSizes_ = {40, 8};
  FakeStreamOp* copy = b.add("copy", kMemCopy, b.node(1));
  copy->inSizes_ = {40};
  EXPECT_FALSE(validateDRGraph(b.graph));
  EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{fmt(kNumber, "model", "copy")}));
  copy->inSizes_ = {40, 9};
  EXPECT_FALSE(validateDRGraph(b.graph));
  EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{fmt(kSize, "model", "copy")}));
  copy->inSizes_ = {40, 8};
  EXPECT_TRUE(validateDRGraph(b.graph));
  EXPECT_TRUE(log.takeTexts().empty());
}

TEST(GraphOrdering, LastEdgeFirstDepthFirstAndLeafMarks) {
  Builder b;
  FakeStreamOp* r = b.add("R", kInput);
  FakeStreamOp* a = b.add("A", kRunModel, b.node(0));
  FakeStreamOp* bb = b.add("B", kMemCopy, b.node(0));
  FakeStreamOp* c = b.add("C", kMemCopy, b.node(1));
  OpDirectedGraph::NodeList order;
  ASSERT_TRUE(generateOpNodeStream(b.graph, order));
  EXPECT_EQ(names(order), (std::vector<std::string>{"R", "B", "A", "C"}));
  for (FakeStreamOp* leaf : {bb, c}) {
    EXPECT_TRUE(leaf->outputFlag_) << leaf->name_;
    EXPECT_TRUE(leaf->leaf_) << leaf->name_;
  }
  for (FakeStreamOp* inner : {r, a}) {
    EXPECT_FALSE(inner->outputFlag_) << inner->name_;
    EXPECT_FALSE(inner->leaf_) << inner->name_;
  }

  // A node with two parents comes after both.
  Builder d;
  d.add("R", kInput);
  d.add("X", 21, d.node(0));
  d.add("Y", 21, d.node(0));
  auto* edge = new OpDGEdge(d.node(2));
  ASSERT_TRUE(d.graph.connect(*d.node(1), *d.node(2), *edge));
  OpDirectedGraph::NodeList order2;
  ASSERT_TRUE(generateOpNodeStream(d.graph, order2));
  EXPECT_EQ(names(order2), (std::vector<std::string>{"R", "X", "Y"}));

  LogCapture log;
  Builder empty;
  OpDirectedGraph::NodeList none;
  EXPECT_FALSE(generateOpNodeStream(empty.graph, none));
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(log.takeTexts(qobmLL_TRACE),
            (std::vector<std::string>{"Failed to generate node stream because ir graph is empty! \n"}));
}

TEST(GraphOrdering, DeviceIdStopsAtTheFirstRefusal) {
  LogCapture log;
  Builder b;
  FakeStreamOp* ops[] = {b.add("R", kInput), b.add("A", kRunModel), b.add("B", kMemCopy)};
  OpDirectedGraph::NodeList nodes(b.nodes.begin(), b.nodes.end());
  EXPECT_TRUE(setDeviceId(nodes, 3));
  for (FakeStreamOp* op : ops) EXPECT_EQ(op->deviceId_, 3u);

  ops[1]->acceptDeviceId_ = false;
  EXPECT_FALSE(setDeviceId(nodes, 5));
  EXPECT_EQ(ops[0]->deviceId_, 5u);
  EXPECT_EQ(ops[2]->deviceId_, 3u);  // after the refusal: untouched
  EXPECT_EQ(log.takeTexts(), (std::vector<std::string>{"Failed to set device id for op [A].\n"}));
}
