// The op registry: op-engine op -> (graph, node).
#include "op_manager.h"

namespace zenlar {
namespace qobl {

bool OpManager::registerOp(qobeOp* op, OpDirectedGraph* graph, OpDGNode* node) {
  if (op == nullptr || graph == nullptr || node == nullptr) return false;
  std::lock_guard<std::mutex> guard(qobeOp2OpNodeDictMutex_);
  qobeOp2OpNodeDict_.emplace(op, std::make_pair(graph, node));  // an existing entry is kept
  return true;
}

OpDirectedGraph* OpManager::findGraph(qobeOp* op) {
  if (op == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(qobeOp2OpNodeDictMutex_);
  auto it = qobeOp2OpNodeDict_.find(op);
  return it == qobeOp2OpNodeDict_.end() ? nullptr : it->second.first;
}

OpDGNode* OpManager::findNode(qobeOp* op) {
  if (op == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(qobeOp2OpNodeDictMutex_);
  auto it = qobeOp2OpNodeDict_.find(op);
  return it == qobeOp2OpNodeDict_.end() ? nullptr : it->second.second;
}

bool OpManager::unRegisterOp(qobeOp* op) {
  std::lock_guard<std::mutex> guard(qobeOp2OpNodeDictMutex_);
  return qobeOp2OpNodeDict_.erase(op) != 0;
}

bool OpManager::clearOps() {
  std::lock_guard<std::mutex> guard(qobeOp2OpNodeDictMutex_);
  qobeOp2OpNodeDict_.clear();
  return true;
}

std::size_t OpManager::size() {
  std::lock_guard<std::mutex> guard(qobeOp2OpNodeDictMutex_);
  return qobeOp2OpNodeDict_.size();
}

}  // namespace qobl
}  // namespace zenlar
