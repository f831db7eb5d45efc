// Nodes of the op graph.
#include "op_dg_node.h"

#include <algorithm>
#include <utility>

#include "qobl_log.h"

namespace zenlar {
namespace qobl {

OpDGNode::OpDGNode(IStreamOp* streamOp) : streamOp_(streamOp) {}

OpDGNode::~OpDGNode() { delete streamOp_; }

OpDGNode::OpDGNode(OpDGNode&& other) noexcept
    : Edges(std::move(other.Edges)),
      streamOp_(std::exchange(other.streamOp_, nullptr)),
      connectFailed_(std::exchange(other.connectFailed_, false)) {
  other.Edges.clear();
}

OpDGNode& OpDGNode::operator=(OpDGNode&& other) noexcept {
  if (this != &other) {
    delete streamOp_;
    streamOp_ = std::exchange(other.streamOp_, nullptr);
    connectFailed_ = std::exchange(other.connectFailed_, false);
    Edges = std::move(other.Edges);
    other.Edges.clear();
  }
  return *this;
}

void OpDGNode::addEdge(OpDGEdge& edge) {
  if (std::find(Edges.begin(), Edges.end(), &edge) == Edges.end()) Edges.push_back(&edge);
}

void OpDGNode::removeEdge(OpDGEdge& edge) {
  auto it = std::find(Edges.begin(), Edges.end(), &edge);
  if (it != Edges.end()) Edges.erase(it);
}

bool OpDGNode::findEdgesTo(const OpDGNode& target, EdgeList& out) const {
  if (!out.empty()) {
    QOBL_LOG_ERROR("Expected the list of edges to be empty.");
    return false;
  }
  for (OpDGEdge* edge : Edges) {
    if (&edge->getTargetNode() == &target) out.push_back(edge);
  }
  return !out.empty();
}

OpDGNode::const_iterator OpDGNode::findEdgeTo(const OpDGNode& target) const {
  return std::find_if(Edges.begin(), Edges.end(),
                      [&target](const OpDGEdge* edge) { return &edge->getTargetNode() == &target; });
}

}  // namespace qobl
}  // namespace zenlar
