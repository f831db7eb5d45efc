// The registry of live op graphs and the building of graphs.
#include "op_graph_controller.h"

#include <memory>

#include "i_stream_op.h"
#include "op_manager.h"
#include "op_stream_controller.h"
#include "qobl_log.h"
#include "singleton.h"
#include "stream_op/stream_op.h"
#include "utils/op_attr_utils.h"

namespace zenlar {
namespace qobl {

std::unordered_set<OpDirectedGraph*> OpGraphController::graphSet_;
std::recursive_mutex OpGraphController::graphSetMutex_;
std::mutex OpGraphController::buildMutex_;

namespace {

OpManager* opManager() { return Singleton<OpManager>::getInstance(); }

// Makes the stream op and node for `op`, adds the node to `graph` and registers the op.  The result is
// addNode's; on a non-zero result nothing stays allocated.
qoblErr placeOpInGraph(qobeOp* op, OpDirectedGraph* graph, OpDGNode** placed) {
  std::unique_ptr<IStreamOp> streamOp(qoblUtilsCreateStreamOp(op));
  auto node = std::make_unique<OpDGNode>(streamOp.get());
  streamOp.release();  // the node owns it now
  const qoblErr rc = graph->addNode(*node);
  if (rc != qoblERR_SUCCESS) return rc;
  OpDGNode* raw = node.release();  // the graph owns it now
  opManager()->registerOp(op, graph, raw);
  *placed = raw;
  return qoblERR_SUCCESS;
}

// Connects the placed child node under the parent's node and hands the child its input op.  Nothing is
// undone on failure: the child's node stays in the graph and registered (a second connect of the same child
// fails with qoblERR_CHILD_HAS_PARENT) and is marked, so that a stream of this graph is refused at build
// rather than accepting runs it cannot serve.
qoblErr wireChild(OpDirectedGraph* graph, OpDGNode* parentNode, OpDGNode* childNode) {
  auto edge = std::make_unique<OpDGEdge>(childNode);
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

}  // namespace

OpDirectedGraph* OpGraphController::createGraph() {
  std::lock_guard<std::recursive_mutex> guard(graphSetMutex_);
  auto graph = std::make_unique<OpDirectedGraph>();
  graphSet_.insert(graph.get());
  return graph.release();
}

bool OpGraphController::releaseGraph(OpDirectedGraph* graph) {
  if (graph == nullptr) return false;
  std::lock_guard<std::recursive_mutex> guard(graphSetMutex_);
  if (graphSet_.erase(graph) == 0) return false;
  delete graph;
  return true;
}

bool OpGraphController::find(OpDirectedGraph* graph) {
  std::lock_guard<std::recursive_mutex> guard(graphSetMutex_);
  return graphSet_.count(graph) != 0;
}

bool OpGraphController::isGraphBound(const OpDirectedGraph* graph) {
  return graph != nullptr &&
         OpStreamController::getStreamByGraphAddr(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(graph))) !=
             nullptr;
}

qoblErr OpGraphController::destroyGraph(OpDirectedGraph* graph) {
  std::lock_guard<std::mutex> building(buildMutex_);
  if (isGraphBound(graph)) {
    QOBL_LOG_ERROR("The stream bound to graph must be destroyed first.\n");
    return qoblERR_GRAPH_IN_USE;
  }
  if (!releaseGraph(graph)) return qoblERR_INVALID_PARAM;
  // Every entry points into some graph; clearing all of them keeps none pointing into the freed one.
  opManager()->clearOps();
  return qoblERR_SUCCESS;
}

qoblErr OpGraphController::createInputOp(OpDirectedGraph* graph, uint32_t inputCnt, qobeOp** op) {
  std::lock_guard<std::mutex> building(buildMutex_);
  // The handle's graph is looked up by address only: a record that names no live graph is not read.
  if (!find(graph)) {
    QOBL_LOG_ERROR("Invalid parameter: the graph is not a live op graph.\n");
    return qoblERR_INVALID_PARAM;
  }
  if (graph->size() != 0) {
    QOBL_LOG_ERROR("Op graph can't has more than one input op. \n");
    return qoblERR_INPUT_OP_EXISTS;
  }
  qobeOp* created = nullptr;
  (void)qobeCreateOp(qobeOP_INPUT_OP, &created);
  *op = created;
  if (created == nullptr) return qoblERR_CREATE_OP;
  (void)qobeSetOpAttr(created, "input_count", qobeATTR_UINT32, 1, static_cast<unsigned int>(inputCnt));
  OpDGNode* node = nullptr;
  return placeOpInGraph(created, graph, &node);
}

qoblErr OpGraphController::createRunModelOp(IModel* model, qobeOp** op) {
  qobeOp* created = nullptr;
  (void)qobeCreateOp(qobeOP_RUN_MODEL_OP, &created);
  *op = created;
  if (created == nullptr) return qoblERR_CREATE_OP;
  // The op carries the model object's address; the stream op made at connect time reads it back.
  const uint64_t modelAddr = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(model));
  return qobeSetOpAttr(created, "model_addr", qobeATTR_UINT64, 1, modelAddr) == 0 ? qoblERR_SUCCESS
                                                                                    : qoblERR_CREATE_OP;
}

qoblErr OpGraphController::connectOps(qobeOp* parent, qobeOp* child) {
  if (parent == child) {
    QOBL_LOG_ERROR("Parent op and child op is same one op. \n");
    return qoblERR_SAME_OP;
  }
  if (getQobeOpType(parent) == qobeOP_RUN_MODEL_OP && getQobeOpType(child) != qobeOP_MEM_COPY_OP) {
    QOBL_LOG_ERROR("Can only mem copy op be child of run model op. \n");
    return qoblERR_CONNECT_OPS;
  }
  // The parent's graph is looked up, the child placed and wired with no other change of a graph between.
  std::lock_guard<std::mutex> building(buildMutex_);
  OpDirectedGraph* graph = opManager()->findGraph(parent);
  if (graph == nullptr) {
    QOBL_LOG_ERROR("Parent op must already be added in a graph. \n");
    return qoblERR_PARENT_NOT_IN_GRAPH;
  }
  if (opManager()->findNode(child) != nullptr) {
    QOBL_LOG_ERROR("Child op can't be input op or already has a parent op. \n");
    return qoblERR_CHILD_HAS_PARENT;
  }
  OpDGNode* childNode = nullptr;
  if (placeOpInGraph(child, graph, &childNode) != qoblERR_SUCCESS) return qoblERR_CONNECT_OPS;
  return wireChild(graph, opManager()->findNode(parent), childNode);
}

}  // namespace qobl
}  // namespace zenlar
