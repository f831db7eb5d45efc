// The registry of live op graphs.
#include "op_graph_controller.h"

#include <memory>

namespace zenlar {
namespace qobl {

std::unordered_set<OpDirectedGraph*> OpGraphController::graphSet_;
std::recursive_mutex OpGraphController::graphSetMutex_;
std::atomic<OpGraphController::GraphBindingQuery> OpGraphController::bindingQuery_{nullptr};

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

void OpGraphController::setGraphBindingQuery(GraphBindingQuery query) {
  bindingQuery_.store(query, std::memory_order_release);
}

bool OpGraphController::isGraphBound(const OpDirectedGraph* graph) {
  if (graph == nullptr) return false;
  GraphBindingQuery query = bindingQuery_.load(std::memory_order_acquire);
  return query != nullptr && query(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(graph)));
}

}  // namespace qobl
}  // namespace zenlar
