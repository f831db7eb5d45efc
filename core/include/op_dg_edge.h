// OpDGEdge: one directed edge of an op graph, held by its source node and pointing at its target node.
//
// OWNERSHIP: an edge does not own its target.  Edges linked into a node of a graph belong to that graph
// (see op_directed_graph.h), which frees them.  Edges are compared by object identity wherever the graph
// looks one up.
#ifndef QOBL_OP_DG_EDGE_H
#define QOBL_OP_DG_EDGE_H

namespace zenlar {
namespace qobl {

class OpDGNode;

class OpDGEdge {
 public:
  // target: the node the edge points at; not owned, must outlive the edge.
  explicit OpDGEdge(OpDGNode* target) : targetNode_(target) {}
  OpDGEdge(const OpDGEdge&) = default;
  OpDGEdge(OpDGEdge&&) = default;
  OpDGEdge& operator=(const OpDGEdge&) = default;
  OpDGEdge& operator=(OpDGEdge&&) = default;
  ~OpDGEdge() = default;

  OpDGNode& getTargetNode() const { return *targetNode_; }

 private:
  OpDGNode* targetNode_;  // not owned
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_DG_EDGE_H
