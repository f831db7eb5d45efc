// OpDirectedGraph: the op graph of one processing pipeline.  Nodes are kept in insertion order; the graph
// API adds the input op to an empty graph and every later node as a child of a node already present, so
// the first node is always the input op.
//
// OWNERSHIP (who frees what):
//  - The graph owns every node in it and every edge linked into one of its nodes.  The destructor frees,
//    for every node in insertion order, each of its edges (an edge object linked more than once is freed
//    once), then the node, which deletes its stream op (op_dg_node.h).  Op-engine ops are never freed.
//  - connect() takes ownership of the edge only when it returns true; on false the caller keeps it.
//  - disconnect() frees the edges it unlinks.  removeNode() frees the edges it unlinks (those into the node
//    and the node's own) and hands the node back to the caller, who then owns it (and its stream op).
//  - Graphs are created and destroyed through OpGraphController (op_graph_controller.h).  A graph cannot be
//    copied (it owns its nodes); it can be moved.
// No locks: a graph is built, validated and destroyed from the caller's thread; concurrent calls on one
// graph are not protected.  Reading a built graph from several threads is safe.
#ifndef QOBL_OP_DIRECTED_GRAPH_H
#define QOBL_OP_DIRECTED_GRAPH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "op_dg_edge.h"
#include "op_dg_node.h"
#include "qobl_api.h"

namespace zenlar {
namespace qobl {

class OpDirectedGraph {
 public:
  using NodeList = std::vector<OpDGNode*>;
  using EdgeList = OpDGNode::EdgeList;
  using iterator = NodeList::iterator;
  using const_iterator = NodeList::const_iterator;

  OpDirectedGraph() = default;
  ~OpDirectedGraph();
  OpDirectedGraph(const OpDirectedGraph&) = delete;
  OpDirectedGraph& operator=(const OpDirectedGraph&) = delete;
  // The moved-from graph is left empty.
  OpDirectedGraph(OpDirectedGraph&& other) noexcept;
  OpDirectedGraph& operator=(OpDirectedGraph&& other) noexcept;

  std::size_t size() const { return nodes_.size(); }
  iterator begin() { return nodes_.begin(); }
  iterator end() { return nodes_.end(); }
  const_iterator begin() const { return nodes_.begin(); }
  const_iterator end() const { return nodes_.end(); }

  // Appends the node, which the graph then owns.  qoblERR_NODE_EXISTS (nothing changes) when this node
  // object is already in the graph.
  qoblErr addNode(OpDGNode& node);
  // Position of this node object, or end().
  iterator findNode(const OpDGNode& node);
  const_iterator findNode(const OpDGNode& node) const;
  // First node (insertion order) whose stream op has this uid; null if none.
  OpDGNode* findNode(uint32_t uid);
  // True when some node's stream op wraps the op-engine op at address `op`.
  bool isInGraph(uint64_t op) const;

  // Links `edge` (whose target must be `dst`) into `src`; both nodes must be in the graph.  True: the
  // graph owns the edge.  False (a precondition broken, logged): nothing changes, the caller keeps it.
  bool connect(OpDGNode& src, OpDGNode& dst, OpDGEdge& edge);
  // Unlinks and frees every edge of `src` that targets `dst`.  False when either node is not in the graph;
  // true otherwise, also when there was no such edge.
  bool disconnect(OpDGNode& src, OpDGNode& dst);
  // Unlinks and frees every edge into `node` from the other nodes and every edge of `node`, then takes
  // the node out of the graph keeping the order of the rest.  The caller owns the node afterwards.  False
  // (nothing changes) when the node is not in the graph.
  bool removeNode(OpDGNode& node);

  // Appends to `out` (which must be empty) the edges into `node` from every other node, in node order and
  // then edge order.  An edge from the node to itself does not count.  True when `out` is non-empty.
  bool findIncomingEdgesToNode(const OpDGNode& node, EdgeList& out) const;
  // Appends to `out`, in node order, every node (the node itself included) with an edge to `node`.  True
  // when `out` is non-empty.
  bool findIncomingNodesToNode(const OpDGNode& node, NodeList& out) const;

  // True when the graph has a cycle or a node that cannot be reached from its first node.
  bool isCyclic() const;

 private:
  // Both nodes belong to the graph (a missing one is logged).
  bool bothPresent(OpDGNode& src, OpDGNode& dst);
  void freeAll();

  NodeList nodes_;  // owned, insertion order, input op first
};

// The cycle/reachability test behind OpDirectedGraph::isCyclic: a walk from the first node that releases a
// node once all its incoming edges were walked; the graph is cyclic when not every node was released.
// (A self edge does not hold its node back, and the first node starts released.)
bool isCyclicGraph(const OpDirectedGraph& graph);

// True when `target` can be reached from `from` by following edges; a node is its own descendant.
bool isDescendantNode(OpDGNode& from, OpDGNode& target);

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_DIRECTED_GRAPH_H
