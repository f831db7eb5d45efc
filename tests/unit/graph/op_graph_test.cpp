// The graph container: insertion order, node and edge identity, removal, the cycle/reachability test,
// the descendant test, and what the graph frees.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "graph_test_support.h"
#include "op_directed_graph.h"

using namespace zenlar::qobl;
using zenlar::qobl::test::FakeStreamOp;

namespace {

// A graph of named fake nodes; edges are made on the heap and handed to the graph.
struct Builder {
  OpDirectedGraph graph;
  OpDGNode* add(const char* name, uint32_t uid = 0) {
    auto* op = new FakeStreamOp(name);
    op->uid_ = uid;
    auto* node = new OpDGNode(op);
    EXPECT_EQ(graph.addNode(*node), qoblERR_SUCCESS);
    return node;
  }
  OpDGEdge* link(OpDGNode* src, OpDGNode* dst) {
    auto* edge = new OpDGEdge(dst);
    EXPECT_TRUE(graph.connect(*src, *dst, *edge));
    return edge;
  }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (OpDGNode* n : graph) out.push_back(n->getStreamOp()->name());
    return out;
  }
};

std::vector<OpDGNode*> targets(const OpDGNode& node) {
  std::vector<OpDGNode*> out;
  for (OpDGEdge* e : node) out.push_back(&e->getTargetNode());
  return out;
}

}  // namespace

TEST(OpGraph, CycleTestCountsIncomingEdgesAndReachability) {
  Builder empty;
  EXPECT_FALSE(empty.graph.isCyclic());

  Builder b;
  OpDGNode* r = b.add("R");
  EXPECT_FALSE(b.graph.isCyclic());  // the root alone

  // Root to A and B, and A to B: B has two incoming edges and is released only after both are walked.
  OpDGNode* a = b.add("A");
  OpDGNode* c = b.add("B");
  b.link(r, a);
  b.link(r, c);
  b.link(a, c);
  EXPECT_FALSE(b.graph.isCyclic());

  // A node nobody points at is never reached from the first node: reported as cyclic.
  OpDGNode* lone = b.add("lone");
  EXPECT_TRUE(b.graph.isCyclic());
  b.link(lone, a);  // pointing out of it does not help, and A now waits for it too
  EXPECT_TRUE(b.graph.isCyclic());

  // A real cycle below the root.
  Builder cyc;
  OpDGNode* root = cyc.add("R");
  OpDGNode* x = cyc.add("X");
  OpDGNode* y = cyc.add("Y");
  cyc.link(root, x);
  cyc.link(x, y);
  EXPECT_FALSE(cyc.graph.isCyclic());
  cyc.link(y, x);
  EXPECT_TRUE(cyc.graph.isCyclic());
}

TEST(OpGraph, NodeAndEdgeIdentity) {
  Builder b;
  OpDGNode* r = b.add("R", 7);
  OpDGNode* a = b.add("A", 9);

  // The same node object twice: refused, nothing changes.
  EXPECT_EQ(b.graph.addNode(*a), qoblERR_NODE_EXISTS);
  EXPECT_EQ(b.graph.size(), 2u);

  // Two nodes wrapping the same kind of op are still different nodes.
  OpDGNode other(nullptr);
  EXPECT_TRUE(*a == *a);
  EXPECT_TRUE(*a != other);
  EXPECT_FALSE(a->isEqualTo(other));
  EXPECT_EQ(b.graph.findNode(other), b.graph.end());

  // Preconditions of connect: target must be dst, both nodes present.  Nothing is added on failure.
  OpDGEdge wrongTarget(r);
  EXPECT_FALSE(b.graph.connect(*r, *a, wrongTarget));
  OpDGEdge toOther(&other);
  EXPECT_FALSE(b.graph.connect(*r, other, toOther));
  OpDGEdge fromOther(a);
  EXPECT_FALSE(b.graph.connect(other, *a, fromOther));
  EXPECT_TRUE(r->getEdges().empty());
  EXPECT_TRUE(other.getEdges().empty());

  // The same edge object is held once; a second, distinct edge to the same target is appended.
  OpDGEdge* e1 = b.link(r, a);
  EXPECT_TRUE(b.graph.connect(*r, *a, *e1));
  EXPECT_EQ(r->getEdges().size(), 1u);
  OpDGEdge* e2 = b.link(r, a);
  ASSERT_EQ(r->getEdges().size(), 2u);
  EXPECT_EQ(r->getEdges()[0], e1);
  EXPECT_EQ(r->getEdges()[1], e2);
  EXPECT_EQ(*r->findEdgeTo(*a), e1);
  EXPECT_EQ(r->findEdgeTo(*r), r->end());

  OpDGNode::EdgeList found;
  EXPECT_TRUE(r->findEdgesTo(*a, found));
  EXPECT_EQ(found, (OpDGNode::EdgeList{e1, e2}));
  // A non-empty output list is refused and left alone.
  EXPECT_FALSE(r->findEdgesTo(*a, found));
  EXPECT_EQ(found.size(), 2u);

  // Lookups by uid and by op-engine op.
  EXPECT_EQ(b.graph.findNode(9u), a);
  EXPECT_EQ(b.graph.findNode(8u), nullptr);
  int engineOp = 0;
  static_cast<FakeStreamOp*>(a->getStreamOp())->op_ = reinterpret_cast<qobeOp*>(&engineOp);
  EXPECT_TRUE(b.graph.isInGraph(reinterpret_cast<uintptr_t>(&engineOp)));
  EXPECT_FALSE(b.graph.isInGraph(reinterpret_cast<uintptr_t>(&engineOp) + 1));
}

TEST(OpGraph, RemovalKeepsOrderAndUnlinks) {
  Builder b;
  OpDGNode* r = b.add("R");
  OpDGNode* m = b.add("M");
  OpDGNode* l = b.add("L");
  b.link(r, m);
  b.link(r, l);
  b.link(r, m);  // a second edge to M
  b.link(m, l);
  b.link(l, m);
  b.link(m, m);  // a self edge

  // Incoming edges ignore the self edge; incoming nodes include the node itself.
  OpDirectedGraph::EdgeList in;
  EXPECT_TRUE(b.graph.findIncomingEdgesToNode(*m, in));
  EXPECT_EQ(in.size(), 3u);  // R twice, L once
  OpDirectedGraph::NodeList from;
  EXPECT_TRUE(b.graph.findIncomingNodesToNode(*m, from));
  EXPECT_EQ(from, (OpDirectedGraph::NodeList{r, m, l}));
  OpDirectedGraph::EdgeList none;
  EXPECT_FALSE(b.graph.findIncomingEdgesToNode(*r, none));

  ASSERT_TRUE(b.graph.removeNode(*m));
  std::unique_ptr<OpDGNode> removed(m);  // the caller owns a removed node
  EXPECT_EQ(b.names(), (std::vector<std::string>{"R", "L"}));
  EXPECT_EQ(targets(*r), (std::vector<OpDGNode*>{l}));
  EXPECT_TRUE(targets(*l).empty());
  EXPECT_TRUE(m->getEdges().empty());
  EXPECT_FALSE(b.graph.removeNode(*m));
  EXPECT_FALSE(b.graph.isCyclic());

  // disconnect removes every edge to the target and keeps the rest in order.
  OpDGNode* z = b.add("Z");
  b.link(r, z);
  b.link(r, l);
  b.link(r, z);
  EXPECT_TRUE(b.graph.disconnect(*r, *z));
  EXPECT_EQ(targets(*r), (std::vector<OpDGNode*>{l, l}));
  EXPECT_TRUE(b.graph.disconnect(*r, *z));  // none left: still true
  EXPECT_FALSE(b.graph.disconnect(*r, *m));  // M is no longer in the graph
}

TEST(OpGraph, DescendantTest) {
  Builder b;
  OpDGNode* r = b.add("R");
  OpDGNode* a = b.add("A");
  OpDGNode* c = b.add("C");
  OpDGNode* s = b.add("S");
  b.link(r, a);
  b.link(a, c);
  b.link(r, s);
  EXPECT_TRUE(isDescendantNode(*r, *r));
  EXPECT_TRUE(isDescendantNode(*r, *c));
  EXPECT_TRUE(isDescendantNode(*a, *c));
  EXPECT_FALSE(isDescendantNode(*c, *a));
  EXPECT_FALSE(isDescendantNode(*s, *c));
  b.link(c, r);  // a cycle: the search still ends
  EXPECT_TRUE(isDescendantNode(*c, *s));
  EXPECT_FALSE(isDescendantNode(*s, *a));
}

TEST(OpGraph, DestructionFreesNodesEdgesAndStreamOpsOnce) {
  const int before = FakeStreamOp::live();
  {
    Builder b;
    OpDGNode* r = b.add("R");
    OpDGNode* a = b.add("A");
    OpDGNode* c = b.add("C");
    OpDGEdge* shared = b.link(r, a);
    // The same edge object linked into a second node's list is freed once (ASan reports a double free).
    ASSERT_TRUE(b.graph.connect(*c, *a, *shared));
    b.link(a, c);
    EXPECT_EQ(FakeStreamOp::live(), before + 3);

    // Moving hands everything over; the moved-from graph frees nothing.
    OpDirectedGraph moved(std::move(b.graph));
    EXPECT_EQ(b.graph.size(), 0u);
    EXPECT_EQ(moved.size(), 3u);
  }
  EXPECT_EQ(FakeStreamOp::live(), before);
}
