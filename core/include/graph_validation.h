// Checks that make an op graph runnable, and the node order a stream is built in.  The stream build calls
// them in the order validateDRGraph, generateOpNodeStream, setDeviceId.
//
// All four walk the graph from its first node (the input op) with a LIFO stack, releasing a node once all
// its incoming edges were walked.  Among the children released by one node, the child of its last edge is
// handled first, with its whole released subtree, before the next-to-last child: in the tree shapes the
// graph API allows this is a depth-first pre-order visiting siblings from last edge to first.  Each
// function logs at most one message (ERROR unless said otherwise) and stops at the first failure; nothing
// it already changed is undone.  None changes the graph's structure.
#ifndef QOBL_GRAPH_VALIDATION_H
#define QOBL_GRAPH_VALIDATION_H

#include <cstdint>

#include "op_directed_graph.h"

namespace zenlar {
namespace qobl {

// Whole-graph checks: at least two nodes, no cycle and no node unreachable from the input op; then, per
// node in walk order, checkInputOp and the size match between the node's outputs and every child's
// inputs (same count, equal byte sizes position by position).  An input op whose outputs are still
// unknown (it feeds a run-model op) takes its output sizes from its first child.
bool validateDRGraph(OpDirectedGraph& graph);

// The input op's own check: unless one of the node's children is a run-model op, an input op must have as
// many outputs as inputs, takes its output sizes from its first child, and any output sizes it had before
// must agree with them.  True for every other node.
bool checkInputOp(OpDGNode* node);

// Outputs in the card's core layout: a run-model op without children stores its outputs for the
// application, and when one of them is kept in a core layout that differs from the plain tensor (its
// aligned size differs from its real size) only a memory-copy op below it yields the plain tensor.  Such a
// leaf is refused, naming the op, the output and what to add, unless its op carries the bool attribute
// "keep_core_layout" = true (the application reads the core layout on purpose; its output buffers then
// hold the aligned sizes).  A run-model op with that attribute and a memory-copy op below it is refused
// too.  Every other node passes.
bool checkCoreLayoutOutputs(OpDirectedGraph& graph);

// True when every run-model op of the graph runs a model loaded on card `dev` (the stream's card): the card
// knows only the models loaded on it.  Otherwise logs the op and both cards and returns false.
bool checkModelsOnCard(OpDirectedGraph& graph, uint32_t dev);

// Appends every node reachable from the input op to `out` (which the caller passes empty) in walk order,
// input op first; a node without outgoing edges is marked for output and as a leaf.  False (logged at
// trace level) for an empty graph.
bool generateOpNodeStream(OpDirectedGraph& graph, OpDirectedGraph::NodeList& out);

// Writes the device id on every node's op, in list order.  False at the first op that refuses it (the ops
// after it stay unstamped).
bool setDeviceId(OpDirectedGraph::NodeList& nodes, uint32_t deviceId);

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_GRAPH_VALIDATION_H
