// The registry of live op graphs and the building of graphs.
#include "op_graph_controller.h"

#include <memory>

#include "i_stream_op.h"
#include "model_mgr.h"
#include "op_manager.h"
#include "op_stream_controller.h"
#include "qobl_log.h"
#include "singleton.h"
#include "stream_op/stream_op.h"
#include "utils/op_attr_utils.h"

namespace zenlar {
namespace qobl {

std::unordered_set<OpDirectedGraph*> OpGraphController::graphSet_;
std::unordered_map<OpDirectedGraph*, uint32_t> OpGraphController::pinned_;
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

// The model a run-model op names (its "model_addr" attribute), or null for any other op or no attribute.
// Only the address: nothing is read at it.
const IModel* modelNamedBy(qobeOp* op) {
  if (getQobeOpType(op) != qobeOP_RUN_MODEL_OP) return nullptr;
  uint64_t addr = 0;
  if (qobeGetOpAttr(op, "model_addr", qobeATTR_UINT64, &addr) != 0) return nullptr;
  return reinterpret_cast<const IModel*>(static_cast<uintptr_t>(addr));
}

// The first run-model node of `graph` whose model is not live (destroyed, or never made), or null.
OpDGNode* nodeOfDeadModel(OpDirectedGraph& graph) {
  for (OpDGNode* node : graph) {
    IStreamOp* op = node->getStreamOp();
    if (op != nullptr && op->opType() == qobeOP_RUN_MODEL_OP && !ModelMgr::isLive(op->getModel())) return node;
  }
  return nullptr;
}

// Whether some run-model node of `graph` runs `model`.
bool runsModel(OpDirectedGraph& graph, const IModel* model) {
  for (OpDGNode* node : graph) {
    IStreamOp* op = node->getStreamOp();
    if (op != nullptr && op->opType() == qobeOP_RUN_MODEL_OP && op->getModel() == model) return true;
  }
  return false;
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

qoblErr OpGraphController::destroyGraph(qoblOpGraph* handle) {
  OpDirectedGraph* graph = nullptr;
  {
    std::lock_guard<std::mutex> building(buildMutex_);
    std::lock_guard<std::recursive_mutex> guard(graphSetMutex_);
    graph = qoblGraphOf(handle);
    if (graph == nullptr) return qoblERR_SUCCESS;  // destroyed before, or by another thread meanwhile
    if (pinned_.count(graph) != 0 || isGraphBound(graph)) {
      QOBL_LOG_ERROR("The stream bound to graph must be destroyed first.\n");
      return qoblERR_GRAPH_IN_USE;
    }
    if (graphSet_.erase(graph) == 0) return qoblERR_INVALID_PARAM;
    qoblSetGraphOf(handle, nullptr);
    // Every entry points into some graph; clearing all of them keeps none pointing into this one.
    opManager()->clearOps();
  }
  delete graph;  // out of every registry: no other thread can reach it
  return qoblERR_SUCCESS;
}

qoblErr OpGraphController::createInputOp(const qoblOpGraph* handle, uint32_t inputCnt, qobeOp** op) {
  std::lock_guard<std::mutex> building(buildMutex_);
  // The handle's graph is looked up by address only: a record that names no live graph is not read.
  OpDirectedGraph* graph = qoblGraphOf(handle);
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
  // An input op is refused also once the registry has forgotten it (any graph's destruction clears it
  // while the input op's own graph lives on).
  if (opManager()->findNode(child) != nullptr || getQobeOpType(child) == qobeOP_INPUT_OP) {
    QOBL_LOG_ERROR("Child op can't be input op or already has a parent op. \n");
    return qoblERR_CHILD_HAS_PARENT;
  }
  // Placing the child, and planning it against its parent, asks the models of run-model ops: one that was
  // destroyed (its op kept by the application) would be used after it was freed.
  OpDGNode* parentNode = opManager()->findNode(parent);
  IStreamOp* parentOp = parentNode != nullptr ? parentNode->getStreamOp() : nullptr;
  if (parentOp != nullptr && parentOp->opType() == qobeOP_RUN_MODEL_OP && !ModelMgr::isLive(parentOp->getModel())) {
    QOBL_LOG_ERROR("Failed to connect ops: the parent run-model op's model was destroyed.\n");
    return qoblERR_CONNECT_OPS;
  }
  const IModel* childModel = modelNamedBy(child);
  if (getQobeOpType(child) == qobeOP_RUN_MODEL_OP && !ModelMgr::isLive(childModel)) {
    QOBL_LOG_ERROR("Failed to connect ops: the child run-model op's model was destroyed or never made.\n");
    return qoblERR_CONNECT_OPS;
  }
  OpDGNode* childNode = nullptr;
  if (placeOpInGraph(child, graph, &childNode) != qoblERR_SUCCESS) return qoblERR_CONNECT_OPS;
  return wireChild(graph, parentNode, childNode);
}

qoblErr OpGraphController::pinStreamGraph(const qoblOpGraph* handle, OpDirectedGraph** graph) {
  std::lock_guard<std::mutex> building(buildMutex_);
  std::lock_guard<std::recursive_mutex> guard(graphSetMutex_);
  OpDirectedGraph* g = qoblGraphOf(handle);
  if (g == nullptr || graphSet_.count(g) == 0) {
    QOBL_LOG_ERROR("Invalid parameter: the graph is not a live op graph.\n");
    return qoblERR_INVALID_PARAM;
  }
  if (OpDGNode* node = nodeOfDeadModel(*g)) {
    QOBL_LOG_ERROR("Failed to create stream: run-model op [%s] of the graph runs a model that was destroyed.\n",
                   node->getStreamOp()->name().c_str());
    return qoblERR_CREATE_STREAM;
  }
  ++pinned_[g];
  *graph = g;
  return qoblERR_SUCCESS;
}

void OpGraphController::unpinStreamGraph(OpDirectedGraph* graph) {
  std::lock_guard<std::recursive_mutex> guard(graphSetMutex_);
  auto it = pinned_.find(graph);
  if (it != pinned_.end() && --it->second == 0) pinned_.erase(it);
}

qoblErr OpGraphController::destroyModel(IModel* model) {
  {
    std::lock_guard<std::mutex> building(buildMutex_);
    std::lock_guard<std::recursive_mutex> guard(graphSetMutex_);
    // A stream would run (or its teardown read) the model after it is gone: refused, nothing changes.
    for (const auto& pin : pinned_) {
      if (runsModel(*pin.first, model)) {
        QOBL_LOG_ERROR("Failed to destroy the model: a stream is being made of a graph that runs it.\n");
        return qoblERR_MODEL_OPERATION;
      }
    }
    if (const uint32_t user = OpStreamController::streamUsingModel(model)) {
      QOBL_LOG_ERROR("Failed to destroy the model: stream %u still runs it; destroy the stream first.\n", user);
      return qoblERR_MODEL_OPERATION;
    }
    // From here on no graph operation and no new stream accepts the model.
    ModelMgr::forgetLive(model);
  }
  ModelMgr::releaseModel(model);
  return qoblERR_SUCCESS;
}

}  // namespace qobl
}  // namespace zenlar
