// Exported functions of op graphs: creating and destroying graphs, creating input and run-model ops, and
// connecting ops parent to child (all forwarded to OpGraphController).
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

#include "op_graph_controller.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"

using zenlar::qobl::OpGraphController;

qoblErr qoblCreateOpGraph(qoblOpGraph** graph) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != graph, "Invalid parameter: NULL != graph");
    if (NULL != *graph) return qoblERR_SUCCESS;  // an existing handle is left as it is
    std::unique_ptr<qoblOpGraph, void (*)(void*)> handle(
        static_cast<qoblOpGraph*>(std::malloc(sizeof(qoblOpGraph))), &std::free);
    QOBL_CHECK_PARAM(handle != nullptr, "Failed to allocate the graph handle.\n");
    handle->ptr_ = OpGraphController::createGraph();
    *graph = handle.release();
    return qoblERR_SUCCESS;
  }
  QOBL_API_CATCH(qoblERR_INVALID_PARAM)
}

qoblErr qoblDestroyOpGraph(qoblOpGraph* graph) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM(NULL != graph, "Invalid parameter: NULL != graph");
    return OpGraphController::destroyGraph(graph);  // an emptied handle gives 0
  }
  QOBL_API_CATCH(qoblERR_INVALID_PARAM)
}

qoblErr qoblCreateGraphInputOp(qoblOpGraph* graph, uint32_t inputCnt, qobeOp** op) {
  QOBL_API_TRY {
    // A handle emptied by qoblDestroyOpGraph is rejected like a null one.
    QOBL_CHECK_PARAM(NULL != graph && NULL != qoblGraphOf(graph), "Invalid parameter: NULL != graph");
    QOBL_CHECK_PARAM(NULL != op, "Invalid parameter: NULL != op");
    return OpGraphController::createInputOp(graph, inputCnt, op);
  }
  QOBL_API_CATCH(qoblERR_CREATE_OP)
}

qoblErr qoblCreateRunModelOp(qoblModel* model, qobeOp** op) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM((NULL != op) && (NULL != model), "Invalid parameter: (NULL != op) && (NULL != model)");
    // An op without a model could never be connected or run.
    QOBL_CHECK_PARAM(NULL != model->ptr_, "Invalid parameter: NULL != model->ptr_");
    return OpGraphController::createRunModelOp(model->ptr_, op);
  }
  QOBL_API_CATCH(qoblERR_CREATE_OP)
}

qoblErr qoblConnectOps(qobeOp* parent, qobeOp* child) {
  QOBL_API_TRY {
    QOBL_CHECK_PARAM((NULL != parent) && (NULL != child), "Invalid parameter: (NULL != parent) && (NULL != child)");
    return OpGraphController::connectOps(parent, child);
  }
  QOBL_API_CATCH(qoblERR_CONNECT_OPS)
}
