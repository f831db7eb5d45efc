// Graph validation and node ordering for the stream build.
#include "graph_validation.h"

#include <unordered_map>
#include <vector>

#include "i_model.h"
#include "qobe/qobe.h"
#include "qobl_log.h"
#include "utils/op_attr_utils.h"

namespace zenlar {
namespace qobl {

namespace {

// Remaining incoming edges per node during a walk.
using ParentCounts = std::unordered_map<const OpDGNode*, uint32_t>;

// Walk bookkeeping for one edge target: on first sight the count becomes the target's number of incoming
// edges; each walked edge takes one off.  True when the target is now released (its count reached 0).
bool releaseChild(const OpDirectedGraph& graph, ParentCounts& counts, OpDGNode* child) {
  auto it = counts.find(child);
  if (it == counts.end()) {
    OpDirectedGraph::EdgeList incoming;
    graph.findIncomingEdgesToNode(*child, incoming);
    it = counts.emplace(child, static_cast<uint32_t>(incoming.size())).first;
  }
  return --it->second == 0;
}

// Visits the nodes from the input op on, each once all of its parents were visited; stops at the first
// visit that returns false.
template <class Visit>
bool walkParentsFirst(OpDirectedGraph& graph, Visit&& visit) {
  ParentCounts counts;
  std::vector<OpDGNode*> stack{*graph.begin()};
  counts[stack.back()] = 0;
  while (!stack.empty()) {
    OpDGNode* node = stack.back();
    stack.pop_back();
    if (!visit(node)) return false;
    for (OpDGEdge* edge : node->getEdges()) {
      OpDGNode* child = &edge->getTargetNode();
      if (releaseChild(graph, counts, child)) stack.push_back(child);
    }
  }
  return true;
}

// The input sizes of the node's first child (edge order); false when the node has no child.
bool firstChildInputSizes(OpDGNode* node, std::vector<uint32_t>& sizes) {
  if (node->getEdges().empty()) return false;
  sizes = node->getEdges().front()->getTargetNode().getStreamOp()->inputSizes();
  return true;
}

}  // namespace

bool checkInputOp(OpDGNode* node) {
  if (node == nullptr || node->getStreamOp() == nullptr) return false;
  IStreamOp* op = node->getStreamOp();
  for (OpDGEdge* edge : node->getEdges()) {
    if (edge->getTargetNode().getStreamOp()->opType() == qobeOP_RUN_MODEL_OP) return true;
  }
  const std::vector<uint32_t> earlier = op->outputSizes();
  if (op->opType() != qobeOP_INPUT_OP) return true;
  if (op->inputCount() != op->outputCount()) {
    QOBL_LOG_ERROR("input op's output count conflict!");
    return false;
  }
  std::vector<uint32_t> childSizes;
  if (!firstChildInputSizes(node, childSizes)) return true;  // nothing below to take sizes from
  if (!op->setOutputSizes(childSizes)) {
    QOBL_LOG_ERROR("faile to set input op output sizes!");
    return false;
  }
  IStreamOp* child = node->getEdges().front()->getTargetNode().getStreamOp();
  for (size_t i = 0; i < earlier.size(); ++i) {
    if (i >= childSizes.size()) {
      QOBL_LOG_ERROR(
          "CheckInputOp:fail to validate op graph because the output number of op %s doesn't match with the "
          "input number of op %s.\n",
          op->name().c_str(), child->name().c_str());
      return false;
    }
    if (earlier[i] != childSizes[i]) {
      QOBL_LOG_ERROR(
          "CheckInputOp:fail to validate op graph because the output size of op %s doesn't match with the "
          "input size of op %s.\n",
          op->name().c_str(), child->name().c_str());
      return false;
    }
  }
  return true;
}

bool validateDRGraph(OpDirectedGraph& graph) {
  if (graph.size() < 2) {
    QOBL_LOG_ERROR("The DR graph has no valid node.\n");
    return false;
  }
  for (OpDGNode* node : graph) {
    if (node->connectFailed()) {
      QOBL_LOG_ERROR("Fail to validate op graph because op %s could not be connected to its parent.\n",
                     node->getStreamOp() != nullptr ? node->getStreamOp()->name().c_str() : "?");
      return false;
    }
  }
  if (graph.isCyclic()) {
    QOBL_LOG_ERROR("The DR graph has a loop.\n");
    return false;
  }
  return walkParentsFirst(graph, [](OpDGNode* node) {
    IStreamOp* op = node->getStreamOp();
    if (!checkInputOp(node)) {
      QOBL_LOG_ERROR("checkInputOp faile.\n");
      return false;
    }
    std::vector<uint32_t> outSizes = op->outputSizes();
    if (outSizes.empty() && op->opType() == qobeOP_INPUT_OP) {
      // An input op feeding a run-model op: checkInputOp left its sizes alone.
      if (op->inputCount() != op->outputCount()) {
        QOBL_LOG_ERROR("input op's output count conflict!");
        return false;
      }
      std::vector<uint32_t> childSizes;
      if (firstChildInputSizes(node, childSizes)) {
        if (!op->setOutputSizes(childSizes)) return false;
        outSizes = op->outputSizes();
      }
    }
    for (OpDGEdge* edge : node->getEdges()) {
      OpDGNode* childNode = &edge->getTargetNode();
      IStreamOp* child = childNode->getStreamOp();
      const std::vector<uint32_t> inSizes = child->inputSizes();
      if (inSizes.size() != outSizes.size()) {
        QOBL_LOG_ERROR(
            "Fail to validate op graph because the output number of op %s doesn't match with the input number "
            "of op %s.\n",
            op->name().c_str(), child->name().c_str());
        return false;
      }
      for (size_t i = 0; i < inSizes.size(); ++i) {
        if (inSizes[i] != outSizes[i]) {
          QOBL_LOG_ERROR(
              "Fail to validate op graph because the output size of op %s doesn't match with the input size "
              "of op %s.\n",
              op->name().c_str(), child->name().c_str());
          return false;
        }
      }
    }
    return true;
  });
}

bool checkModelsOnCard(OpDirectedGraph& graph, uint32_t dev) {
  for (OpDGNode* node : graph) {
    IStreamOp* op = node->getStreamOp();
    IModel* model = op != nullptr && op->opType() == qobeOP_RUN_MODEL_OP ? op->getModel() : nullptr;
    uint32_t card = 0;
    if (model == nullptr || !model->cardOf(card) || card == dev) continue;
    QOBL_LOG_ERROR("Run-model op [%s] runs a model loaded on card %u, but the stream is on card %u: load the model "
                   "with card %u current to run it there.\n",
                   op->name().c_str(), card, dev, dev);
    return false;
  }
  return true;
}

bool checkCoreLayoutOutputs(OpDirectedGraph& graph) {
  for (OpDGNode* node : graph) {
    IStreamOp* op = node->getStreamOp();
    if (op == nullptr || op->opType() != qobeOP_RUN_MODEL_OP) continue;
    bool copyBelow = false;
    for (OpDGEdge* edge : node->getEdges()) {
      if (edge->getTargetNode().getStreamOp()->opType() == qobeOP_MEM_COPY_OP) copyBelow = true;
    }
    const bool keep = keepsCoreLayout(op->getOp());
    if (keep && copyBelow) {
      QOBL_LOG_ERROR("Run-model op [%s] asks for its outputs in the card's core layout (\"%s\") but a memory-copy "
                     "op below it converts them; drop one of the two.\n",
                     op->name().c_str(), kKeepCoreLayoutAttr);
      return false;
    }
    IModel* model = op->getModel();
    if (keep || !node->getEdges().empty() || model == nullptr) continue;
    uint32_t outputs = 0;
    if (!model->getOutputCount(outputs)) continue;
    for (uint32_t i = 0; i < outputs; ++i) {
      int64_t plain = 0, aligned = 0;
      const int32_t index = static_cast<int32_t>(i);
      if (!model->getOutPutSizeByIndex(index, plain) || !model->getAlignOutPutSizeByIndex(index, aligned)) continue;
      if (plain == aligned) continue;
      QOBL_LOG_ERROR("Run-model op [%s] stores output %u in the card's core layout (%lld bytes on the card, %lld "
                     "plain) and no memory-copy op converts it: connect a memory-copy op (kind %d) below it, or set "
                     "its bool attribute \"%s\" to read the core layout on purpose.\n",
                     op->name().c_str(), i, static_cast<long long>(aligned), static_cast<long long>(plain),
                     qobeOP_MEM_COPY_OP, kKeepCoreLayoutAttr);
      return false;
    }
  }
  return true;
}

bool generateOpNodeStream(OpDirectedGraph& graph, OpDirectedGraph::NodeList& out) {
  if (graph.size() == 0) {
    QOBL_LOG_TRACE("Failed to generate node stream because ir graph is empty! \n");
    return false;
  }
  return walkParentsFirst(graph, [&out](OpDGNode* node) {
    IStreamOp* op = node->getStreamOp();
    QOBL_LOG_TRACE("Node [%d] pop up from node stack \n", op->typeId());
    out.push_back(node);
    if (node->getEdges().empty()) {
      op->markGetOutputFlag();
      op->markAsLeafNode();
    }
    return true;
  });
}

bool setDeviceId(OpDirectedGraph::NodeList& nodes, uint32_t deviceId) {
  for (OpDGNode* node : nodes) {
    IStreamOp* op = node->getStreamOp();
    if (!op->setDeviceId(deviceId)) {
      QOBL_LOG_ERROR("Failed to set device id for op [%s].\n", op->name().c_str());
      return false;
    }
  }
  return true;
}

}  // namespace qobl
}  // namespace zenlar
