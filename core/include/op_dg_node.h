// OpDGNode: one node of an op graph, wrapping one stream op, with its outgoing edges in insertion order.
//
// OWNERSHIP:
//  - The node owns its stream op: the node's destructor deletes it (through IStreamOp's virtual
//    destructor).  The op-engine op behind the stream op is never freed by the library.  Because of this a
//    node cannot be copied; moving it hands the stream op to the new node.
//  - The node does not own its edges.  Edges linked into a node of a graph belong to the graph, which
//    frees them (op_directed_graph.h); clear() and removeEdge() only unlink.
// Node identity is object identity: two nodes wrapping the same stream op are still different nodes.
// No locks: a node is changed only while its graph is built, from the caller's thread.
#ifndef QOBL_OP_DG_NODE_H
#define QOBL_OP_DG_NODE_H

#include <vector>

#include "i_stream_op.h"
#include "op_dg_edge.h"

namespace zenlar {
namespace qobl {

class OpDGNode {
 public:
  using EdgeList = std::vector<OpDGEdge*>;
  using iterator = EdgeList::iterator;
  using const_iterator = EdgeList::const_iterator;

  // streamOp: becomes owned by the node (may be null).
  explicit OpDGNode(IStreamOp* streamOp);
  ~OpDGNode();
  OpDGNode(const OpDGNode&) = delete;
  OpDGNode& operator=(const OpDGNode&) = delete;
  // Moves the edge list and the stream op; the source node is left empty, without a stream op.
  OpDGNode(OpDGNode&& other) noexcept;
  OpDGNode& operator=(OpDGNode&& other) noexcept;

  IStreamOp* getStreamOp() const { return streamOp_; }

  // Set by the graph API when the connect that placed this node failed after adding it: the node stays in
  // the graph (its op cannot be connected a second time), but the graph is no longer runnable and the
  // stream build refuses it.
  void markConnectFailed() { connectFailed_ = true; }
  bool connectFailed() const { return connectFailed_; }

  iterator begin() { return Edges.begin(); }
  iterator end() { return Edges.end(); }
  const_iterator begin() const { return Edges.begin(); }
  const_iterator end() const { return Edges.end(); }
  EdgeList& getEdges() { return Edges; }
  const EdgeList& getEdges() const { return Edges; }

  // Appends the edge unless this very edge object is already in the list.  A second, distinct edge
  // object to the same target is appended.
  void addEdge(OpDGEdge& edge);
  // Unlinks this edge object, keeping the order of the rest; does not free it.  Absent edges are ignored.
  void removeEdge(OpDGEdge& edge);
  // Appends to `out` (which must be empty), in edge order, every edge whose target is `target`.  True when
  // at least one was found.  A non-empty `out` is refused: false, logged, `out` untouched.
  bool findEdgesTo(const OpDGNode& target, EdgeList& out) const;
  // First edge whose target is `target`, or end().
  const_iterator findEdgeTo(const OpDGNode& target) const;
  // Empties the edge list without freeing the edges.
  void clear() { Edges.clear(); }

  bool isEqualTo(const OpDGNode& other) const { return this == &other; }
  bool operator==(const OpDGNode& other) const { return isEqualTo(other); }
  bool operator!=(const OpDGNode& other) const { return !isEqualTo(other); }

 private:
  EdgeList Edges;         // outgoing edges, insertion order; not owned by the node
  IStreamOp* streamOp_;   // owned
  bool connectFailed_ = false;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_DG_NODE_H
