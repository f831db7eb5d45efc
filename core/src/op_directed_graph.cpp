// The op graph container and its traversals.
#include "op_directed_graph.h"

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "qobl_log.h"

namespace zenlar {
namespace qobl {

OpDirectedGraph::~OpDirectedGraph() { freeAll(); }

OpDirectedGraph::OpDirectedGraph(OpDirectedGraph&& other) noexcept : nodes_(std::move(other.nodes_)) {
  other.nodes_.clear();
}

OpDirectedGraph& OpDirectedGraph::operator=(OpDirectedGraph&& other) noexcept {
  if (this != &other) {
    freeAll();
    nodes_ = std::move(other.nodes_);
    other.nodes_.clear();
  }
  return *this;
}

void OpDirectedGraph::freeAll() {
  // An edge object may have been linked into more than one node's list; free each object once.
  std::unordered_set<OpDGEdge*> freed;
  for (OpDGNode* node : nodes_) {
    if (node == nullptr) continue;
    for (OpDGEdge* edge : node->getEdges()) {
      if (freed.insert(edge).second) delete edge;
    }
    node->clear();
    delete node;
  }
  nodes_.clear();
}

qoblErr OpDirectedGraph::addNode(OpDGNode& node) {
  if (findNode(node) != nodes_.end()) return qoblERR_NODE_EXISTS;
  nodes_.push_back(&node);
  return qoblERR_SUCCESS;
}

OpDirectedGraph::iterator OpDirectedGraph::findNode(const OpDGNode& node) {
  return std::find(nodes_.begin(), nodes_.end(), &node);
}

OpDirectedGraph::const_iterator OpDirectedGraph::findNode(const OpDGNode& node) const {
  return std::find(nodes_.begin(), nodes_.end(), &node);
}

OpDGNode* OpDirectedGraph::findNode(uint32_t uid) {
  for (OpDGNode* node : nodes_) {
    IStreamOp* op = node->getStreamOp();
    if (op != nullptr && op->uid() == uid) return node;
  }
  return nullptr;
}

bool OpDirectedGraph::isInGraph(uint64_t op) const {
  for (const OpDGNode* node : nodes_) {
    IStreamOp* streamOp = node->getStreamOp();
    if (streamOp != nullptr && reinterpret_cast<uintptr_t>(streamOp->getOp()) == op) return true;
  }
  return false;
}

bool OpDirectedGraph::bothPresent(OpDGNode& src, OpDGNode& dst) {
  if (findNode(src) == nodes_.end()) {
    QOBL_LOG_ERROR("src node should be present.");
    return false;
  }
  if (findNode(dst) == nodes_.end()) {
    QOBL_LOG_ERROR("dst node should be present.");
    return false;
  }
  return true;
}

bool OpDirectedGraph::connect(OpDGNode& src, OpDGNode& dst, OpDGEdge& edge) {
  if (!bothPresent(src, dst)) return false;
  if (&edge.getTargetNode() != &dst) {
    QOBL_LOG_ERROR("Target of the given edge does not match dst.");
    return false;
  }
  src.addEdge(edge);
  return true;
}

bool OpDirectedGraph::disconnect(OpDGNode& src, OpDGNode& dst) {
  if (!bothPresent(src, dst)) return false;
  EdgeList edges;
  src.findEdgesTo(dst, edges);
  for (OpDGEdge* edge : edges) {
    src.removeEdge(*edge);
    delete edge;
  }
  return true;
}

bool OpDirectedGraph::removeNode(OpDGNode& node) {
  auto pos = findNode(node);
  if (pos == nodes_.end()) return false;
  // Edges into the node from the others, then the node's own edges; each edge object is freed once.
  std::unordered_set<OpDGEdge*> unlinked;
  for (OpDGNode* other : nodes_) {
    if (other == &node) continue;
    EdgeList edges;
    other->findEdgesTo(node, edges);
    for (OpDGEdge* edge : edges) {
      other->removeEdge(*edge);
      unlinked.insert(edge);
    }
  }
  for (OpDGEdge* edge : node.getEdges()) unlinked.insert(edge);
  node.clear();
  for (OpDGEdge* edge : unlinked) delete edge;
  nodes_.erase(pos);
  return true;
}

bool OpDirectedGraph::findIncomingEdgesToNode(const OpDGNode& node, EdgeList& out) const {
  if (!out.empty()) {
    QOBL_LOG_ERROR("Expected the list of edges to be empty.");
    return false;
  }
  for (const OpDGNode* other : nodes_) {
    if (other == &node) continue;
    for (OpDGEdge* edge : other->getEdges()) {
      if (&edge->getTargetNode() == &node) out.push_back(edge);
    }
  }
  return !out.empty();
}

bool OpDirectedGraph::findIncomingNodesToNode(const OpDGNode& node, NodeList& out) const {
  for (OpDGNode* other : nodes_) {
    if (other->findEdgeTo(node) != other->end()) out.push_back(other);
  }
  return !out.empty();
}

bool OpDirectedGraph::isCyclic() const { return isCyclicGraph(*this); }

bool isCyclicGraph(const OpDirectedGraph& graph) {
  if (graph.size() == 0 || *graph.begin() == nullptr) return false;
  // Remaining incoming edges per node; signed, so that walking an edge into an already released node (the
  // first node, or a node with a self edge) can never release it a second time.
  std::unordered_map<const OpDGNode*, int64_t> remaining;
  std::vector<OpDGNode*> stack;
  std::size_t pushed = 0;
  OpDGNode* first = *graph.begin();
  stack.push_back(first);
  ++pushed;
  remaining[first] = 0;
  while (!stack.empty()) {
    OpDGNode* node = stack.back();
    stack.pop_back();
    for (OpDGEdge* edge : node->getEdges()) {
      OpDGNode* target = &edge->getTargetNode();
      auto it = remaining.find(target);
      if (it == remaining.end()) {
        OpDirectedGraph::EdgeList incoming;
        graph.findIncomingEdgesToNode(*target, incoming);
        it = remaining.emplace(target, static_cast<int64_t>(incoming.size())).first;
      }
      if (--it->second == 0) {
        stack.push_back(target);
        ++pushed;
      }
    }
  }
  return pushed != graph.size();
}

bool isDescendantNode(OpDGNode& from, OpDGNode& target) {
  std::deque<OpDGNode*> queue;
  std::unordered_set<const OpDGNode*> visited;
  visited.insert(&from);
  queue.push_back(&from);
  while (!queue.empty()) {
    OpDGNode* node = queue.front();
    queue.pop_front();
    if (node == &target) return true;
    for (OpDGEdge* edge : node->getEdges()) {
      OpDGNode* next = &edge->getTargetNode();
      if (visited.insert(next).second) queue.push_back(next);
    }
  }
  return false;
}

}  // namespace qobl
}  // namespace zenlar
