// Exported functions of op graphs: creating and destroying graphs, creating input and run-model ops, and
// connecting ops parent to child.
//
// Lifetimes of what these functions make:
//  - The graph handle record is allocated with malloc by qoblCreateOpGraph and is never freed by the
//    library (qoblDestroyOpGraph only empties it); the application may free() it once the graph is destroyed.
//  - The graph is owned by OpGraphController until qoblDestroyOpGraph; the graph owns its nodes and edges,
//    each node owns its stream op (op_directed_graph.h, op_dg_node.h).
//  - Op-engine ops made here belong to the application (qobeDestroyOp); the library never frees them.
//  - The op registry (OpManager) owns nothing; destroying any graph clears it entirely (op_manager.h).
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "i_stream_op.h"
#include "op_directed_graph.h"
#include "op_graph_controller.h"
#include "op_manager.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "qobl_log.h"
#include "singleton.h"
#include "stream_op/stream_op.h"
#include "utils/op_attr_utils.h"

using namespace zenlar::qobl;

namespace {

OpManager* opManager() { return Singleton<OpManager>::getInstance(); }

// Makes the stream op and node for `op`, adds the node to `graph` and registers the op.  The result is
// addNode's; on a non-zero result nothing stays allocated.
qoblErr placeOpInGraph(qobeOp* op, OpDirectedGraph* graph, OpDGNode** placed) {
  std::unique_ptr<IStreamOp> streamOp(qoblUtilsCreateStreamOp(op));
  std::unique_ptr<OpDGNode> node(new OpDGNode(streamOp.get()));
  streamOp.release();  // the node owns it now
  const qoblErr rc = graph->addNode(*node);
  if (rc != qoblERR_SUCCESS) return rc;
  OpDGNode* raw = node.release();  // the graph owns it now
  opManager()->registerOp(op, graph, raw);
  *placed = raw;
  return qoblERR_SUCCESS;
}

}  // namespace

qoblErr qoblCreateOpGraph(qoblOpGraph** graph) {
  QOBL_CHECK_PARAM(NULL != graph, "Invalid parameter: NULL != graph");
  if (NULL != *graph) return qoblERR_SUCCESS;  // an existing handle is left as it is
  QOBL_API_TRY {
    auto* handle = static_cast<qoblOpGraph*>(std::malloc(sizeof(qoblOpGraph)));
    if (handle == nullptr) {
      QOBL_LOG_ERROR("Failed to allocate the graph handle.\n");
      return qoblERR_INVALID_PARAM;
    }
    try {
      handle->ptr_ = OpGraphController::createGraph();
    } catch (...) {
      std::free(handle);
      throw;
    }
    *graph = handle;
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_INVALID_PARAM)
}

qoblErr qoblDestroyOpGraph(qoblOpGraph* graph) {
  QOBL_CHECK_PARAM(NULL != graph, "Invalid parameter: NULL != graph");
  if (NULL == graph->ptr_) return qoblERR_SUCCESS;  // already destroyed
  QOBL_API_TRY {
    if (OpGraphController::isGraphBound(graph->ptr_)) {
      QOBL_LOG_ERROR("The stream bound to graph must be destroyed first.\n");
      return qoblERR_GRAPH_IN_USE;
    }
    if (!OpGraphController::releaseGraph(graph->ptr_)) return qoblERR_INVALID_PARAM;
    graph->ptr_ = nullptr;
    // Every entry points into some graph; clearing all of them keeps none pointing into the freed one.
    opManager()->clearOps();
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_INVALID_PARAM)
}

qoblErr qoblCreateGraphInputOp(qoblOpGraph* graph, uint32_t inputCnt, qobeOp** op) {
  // A handle emptied by qoblDestroyOpGraph is rejected like a null one.
  QOBL_CHECK_PARAM(NULL != graph && NULL != graph->ptr_, "Invalid parameter: NULL != graph");
  QOBL_CHECK_PARAM(NULL != op, "Invalid parameter: NULL != op");
  QOBL_API_TRY {
    OpDirectedGraph* g = graph->ptr_;
    if (g->size() != 0) {
      QOBL_LOG_ERROR("Op graph can't has more than one input op. \n");
      return qoblERR_INPUT_OP_EXISTS;
    }
    qobeOp* created = nullptr;
    (void)qobeCreateOp(qobeOP_INPUT_OP, &created);
    *op = created;
    if (created == nullptr) return qoblERR_CREATE_OP;
    (void)qobeSetOpAttr(created, "input_count", qobeATTR_UINT32, 1, static_cast<unsigned int>(inputCnt));
    OpDGNode* node = nullptr;
    return placeOpInGraph(created, g, &node);
  }
  QOBL_API_CATCH(qoblERR_CREATE_OP)
}

qoblErr qoblCreateRunModelOp(qoblModel* model, qobeOp** op) {
  QOBL_CHECK_PARAM((NULL != op) && (NULL != model), "Invalid parameter: (NULL != op) && (NULL != model)");
  QOBL_API_TRY {
    qobeOp* created = nullptr;
    (void)qobeCreateOp(qobeOP_RUN_MODEL_OP, &created);
    *op = created;
    if (created == nullptr) return qoblERR_CREATE_OP;
    // The op carries the model object's address; the stream op made at connect time reads it back.
    const uint64_t modelAddr = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(model->ptr_));
    if (qobeSetOpAttr(created, "model_addr", qobeATTR_UINT64, 1, modelAddr) != 0) return qoblERR_CREATE_OP;
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_CREATE_OP)
}

qoblErr qoblConnectOps(qobeOp* parent, qobeOp* child) {
  QOBL_CHECK_PARAM((NULL != parent) && (NULL != child), "Invalid parameter: (NULL != parent) && (NULL != child)");
  QOBL_API_TRY {
    if (parent == child) {
      QOBL_LOG_ERROR("Parent op and child op is same one op. \n");
      return qoblERR_SAME_OP;
    }
    if (getQobeOpType(parent) == qobeOP_RUN_MODEL_OP && getQobeOpType(child) != qobeOP_MEM_COPY_OP) {
      QOBL_LOG_ERROR("Can only mem copy op be child of run model op. \n");
      return qoblERR_CONNECT_OPS;
    }
    OpDirectedGraph* graph = opManager()->findGraph(parent);
    if (graph == nullptr) {
      QOBL_LOG_ERROR("Parent op must already be added in a graph. \n");
      return qoblERR_PARENT_NOT_IN_GRAPH;
    }
    if (opManager()->findNode(child) != nullptr) {
      QOBL_LOG_ERROR("Child op can't be input op or already has a parent op. \n");
      return qoblERR_CHILD_HAS_PARENT;
    }
    // Nothing below is undone on failure: the child's node stays in the graph and registered, so a second
    // connect of the same child fails with qoblERR_CHILD_HAS_PARENT.  The node is marked, so that a stream
    // of this graph is refused at build rather than accepting runs it cannot serve.
    OpDGNode* childNode = nullptr;
    if (placeOpInGraph(child, graph, &childNode) != qoblERR_SUCCESS) return qoblERR_CONNECT_OPS;  // fresh node: cannot happen
    std::unique_ptr<OpDGEdge> edge(new OpDGEdge(childNode));
    OpDGNode* parentNode = opManager()->findNode(parent);
    if (parentNode == nullptr || !graph->connect(*parentNode, *childNode, *edge)) {
      childNode->markConnectFailed();
      return qoblERR_CONNECT_OPS;
    }
    edge.release();  // the graph owns it now
    if (!childNode->getStreamOp()->setInputOp(parentNode->getStreamOp())) {
      childNode->markConnectFailed();
      QOBL_LOG_ERROR("Failed to set input op of child op. \n");
      return qoblERR_CONNECT_OPS;
    }
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_CONNECT_OPS)
}
