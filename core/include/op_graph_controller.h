// OpGraphController: the process-wide registry of live op graphs.  It creates and destroys every graph the
// API hands out.
//
// OWNERSHIP: the controller owns every graph it created until releaseGraph destroys it (which frees the
// graph's nodes, edges and stream ops, op_directed_graph.h).  Graphs that are never released live until
// the process ends.
//
// Whether a graph is still in use by a stream is asked through a query the stream registry installs with
// setGraphBindingQuery (the graph layer does not depend on stream code).  Until one is installed no graph
// counts as bound.
//
// Threads: all members are static; the graph set is guarded by a recursive mutex held only inside one
// operation.  The binding query is called without that mutex held.
#ifndef QOBL_OP_GRAPH_CONTROLLER_H
#define QOBL_OP_GRAPH_CONTROLLER_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_set>

#include "op_directed_graph.h"

namespace zenlar {
namespace qobl {

class OpGraphController {
 public:
  // True when a live stream was made from the graph at `graphAddr` (the graph's address as uint64_t).
  // Must not call back into OpGraphController.
  using GraphBindingQuery = bool (*)(uint64_t graphAddr);

  OpGraphController() = delete;

  // A new empty graph, registered.  Throws std::bad_alloc when memory runs out.
  static OpDirectedGraph* createGraph();
  // Unregisters and destroys the graph.  False for null or a graph this controller does not hold.
  static bool releaseGraph(OpDirectedGraph* graph);
  // Whether the graph is registered.
  static bool find(OpDirectedGraph* graph);

  // Installs (or, with null, removes) the stream registry's binding query.  Safe at any time, also from a
  // static initialiser of another unit.
  static void setGraphBindingQuery(GraphBindingQuery query);
  // The installed query's answer for this graph; false when none is installed or the graph is null.
  static bool isGraphBound(const OpDirectedGraph* graph);

 private:
  static std::unordered_set<OpDirectedGraph*> graphSet_;
  static std::recursive_mutex graphSetMutex_;
  static std::atomic<GraphBindingQuery> bindingQuery_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_GRAPH_CONTROLLER_H
