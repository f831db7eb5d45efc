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
// Threads: all members are static; the graph set and the pins are guarded by a recursive mutex held only
// inside one operation.  Graphs have no lock of their own: the operations that change or read a graph's
// nodes (createInputOp, connectOps, destroyGraph, pinStreamGraph, destroyModel) hold buildMutex_ for their
// whole duration, so that threads building graphs at once (also into one graph) do not interleave their
// changes; the set's, the op registry's, the live models' and the stream registry's mutexes are taken
// inside it, in that order.  A graph handle's ptr_ is read and written with atomic operations, and only
// under buildMutex_ once the handle is made, so that a destroy racing with any other call on the handle
// is seen whole: the other call finds the graph live (and a destroy then refused, or waiting for it) or
// the handle empty.  The stream that pinStreamGraph allows is made without these mutexes held.
#ifndef QOBL_OP_GRAPH_CONTROLLER_H
#define QOBL_OP_GRAPH_CONTROLLER_H

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "op_directed_graph.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"

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
  // Destroys the graph of a handle unless a stream uses it or is being made of it (qoblERR_GRAPH_IN_USE,
  // logged), then empties the handle and clears the op registry (op_manager.h says why).  An empty handle
  // gives qoblERR_SUCCESS (already destroyed, also by another thread at the same time);
  // qoblERR_INVALID_PARAM for a graph this controller does not hold.
  static qoblErr destroyGraph(qoblOpGraph* handle);
  // Creates the input op of the handle's graph with `inputCnt` inputs per run into *op and places it in
  // the graph.  qoblERR_INVALID_PARAM (logged, nothing read) when the handle holds no live graph of this
  // registry; qoblERR_INPUT_OP_EXISTS when the graph has nodes; qoblERR_CREATE_OP when the op engine
  // refuses (*op is set to what it made, possibly null).  The op belongs to the application.
  static qoblErr createInputOp(const qoblOpGraph* handle, uint32_t inputCnt, qobeOp** op);
  // Creates a run-model op bound to `model` into *op (placed in a graph by connectOps).
  static qoblErr createRunModelOp(IModel* model, qobeOp** op);
  // Places `child` in the graph of `parent` and connects parent -> child, planning the child's loops.
  // qoblERR_SAME_OP; qoblERR_CONNECT_OPS (a run-model op's child must be a memory-copy op; a run-model
  // parent or child whose model was destroyed is refused before anything changes; a failed connection
  // marks the child's node so that a stream of the graph is refused at build);
  // qoblERR_PARENT_NOT_IN_GRAPH; qoblERR_CHILD_HAS_PARENT (also for any input op).
  static qoblErr connectOps(qobeOp* parent, qobeOp* child);

  // ---- streams being made of a graph ----
  // Pins the live graph of `handle` into *graph while a stream is made of it: until unpinStreamGraph the
  // graph cannot be destroyed (qoblERR_GRAPH_IN_USE) nor a model its run-model ops run (destroyModel).
  // qoblERR_INVALID_PARAM (logged) when the handle holds no live graph; qoblERR_CREATE_STREAM (logged) when
  // a run-model op of the graph runs a model that was destroyed.
  static qoblErr pinStreamGraph(const qoblOpGraph* handle, OpDirectedGraph** graph);
  static void unpinStreamGraph(OpDirectedGraph* graph);
  // Destroys a model (ModelMgr::releaseModel) unless a live stream's graph, or a graph a stream is being
  // made of, runs it: then qoblERR_MODEL_OPERATION (logged) and nothing changes.  Graphs without a stream
  // do not keep their models: their run-model ops are refused from then on (connectOps, pinStreamGraph).
  static qoblErr destroyModel(IModel* model);

 private:
  static std::unordered_set<OpDirectedGraph*> graphSet_;
  // Graphs streams are being made of, with the number of such streams.
  static std::unordered_map<OpDirectedGraph*, uint32_t> pinned_;
  static std::recursive_mutex graphSetMutex_;
  static std::mutex buildMutex_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_GRAPH_CONTROLLER_H
