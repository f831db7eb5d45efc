// OpGraphController: the process-wide registry of live op graphs.  It creates and destroys every graph the
// API hands out, and builds graphs: creating input and run-model ops in the op engine, placing them in a
// graph (a stream op wrapped in a node, registered with the op registry OpManager) and connecting them.
//
// OWNERSHIP: the controller owns every graph it created until releaseGraph destroys it (which frees the
// graph's nodes, edges and stream ops, op_directed_graph.h).  Graphs that are never released live until
// the process ends.
//
// Whether a graph is still in use by a stream is asked of the stream registry (OpStreamController).
//
// Threads: all members are static; the graph set is guarded by a recursive mutex held only inside one
// operation.  The stream registry is asked without that mutex held.  Graphs have no lock of their own:
// the operations that change a graph (createInputOp, connectOps, destroyGraph) hold buildMutex_ for their
// whole duration, so that threads building graphs at once (also into one graph) do not interleave their
// changes; the op registry's and the set's mutexes are taken inside it.
#ifndef QOBL_OP_GRAPH_CONTROLLER_H
#define QOBL_OP_GRAPH_CONTROLLER_H

#include <cstdint>
#include <mutex>
#include <unordered_set>

#include "op_directed_graph.h"
#include "qobl_api.h"

namespace zenlar {
namespace qobl {

class IModel;

class OpGraphController {
 public:
  OpGraphController() = delete;

  // A new empty graph, registered.  Throws std::bad_alloc when memory runs out.
  static OpDirectedGraph* createGraph();
  // Unregisters and destroys the graph.  False for null or a graph this controller does not hold.
  static bool releaseGraph(OpDirectedGraph* graph);
  // Whether the graph is registered.
  static bool find(OpDirectedGraph* graph);

  // True when a live stream was made from the graph; false for null.
  static bool isGraphBound(const OpDirectedGraph* graph);
  // Destroys a registered graph unless a stream still uses it (qoblERR_GRAPH_IN_USE, logged); clears the
  // op registry (op_manager.h says why).  qoblERR_INVALID_PARAM for a graph this controller does not hold.
  static qoblErr destroyGraph(OpDirectedGraph* graph);
  // Creates the graph's input op with `inputCnt` inputs per run into *op and places it in the graph.
  // qoblERR_INVALID_PARAM (logged, nothing read) when `graph` is not a live graph of this registry;
  // qoblERR_INPUT_OP_EXISTS when the graph has nodes; qoblERR_CREATE_OP when the op engine refuses (*op is
  // set to what it made, possibly null).  The op belongs to the application.
  static qoblErr createInputOp(OpDirectedGraph* graph, uint32_t inputCnt, qobeOp** op);
  // Creates a run-model op bound to `model` into *op (placed in a graph by connectOps).
  static qoblErr createRunModelOp(IModel* model, qobeOp** op);
  // Places `child` in the graph of `parent` and connects parent -> child, planning the child's loops.
  // qoblERR_SAME_OP, qoblERR_CONNECT_OPS (a run-model op's child must be a memory-copy op; a failed
  // connection marks the child's node so that a stream of the graph is refused at build),
  // qoblERR_PARENT_NOT_IN_GRAPH, qoblERR_CHILD_HAS_PARENT.
  static qoblErr connectOps(qobeOp* parent, qobeOp* child);

 private:
  static std::unordered_set<OpDirectedGraph*> graphSet_;
  static std::recursive_mutex graphSetMutex_;
  static std::mutex buildMutex_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_GRAPH_CONTROLLER_H
