// OpManager: the process-wide op registry.  It remembers, for each op-engine op placed in a graph, the
// graph and the node it was placed in, so that qoblConnectOps can find a parent's node from its op handle.
//
// Obtain the one instance with Singleton<OpManager>::getInstance(); it is created on first use and never
// destroyed.
//
// OWNERSHIP: the registry owns nothing.  Entries point at graphs owned by OpGraphController and nodes owned
// by their graph; keys are op-engine ops owned by the application.  Destroying any graph clears the whole
// registry (qoblDestroyOpGraph calls clearOps), so no entry ever outlives the graph it points into.  The
// price: after any graph is destroyed, the ops of every other graph are unregistered as well.  Those graphs
// stay intact and usable for streams, but their ops can no longer serve as parents in qoblConnectOps
// (301011), and an op that was a child there can be connected again under an op of another graph (it then
// gets a second, independent node and stream op in that graph).
//
// Threads: every operation holds the registry's mutex for its whole duration and takes no other lock.
#ifndef QOBL_OP_MANAGER_H
#define QOBL_OP_MANAGER_H

#include <qobe/qobe.h>

#include <cstddef>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace zenlar {
namespace qobl {

class OpDirectedGraph;
class OpDGNode;

class OpManager {
 public:
  OpManager() = default;
  OpManager(const OpManager&) = delete;
  OpManager& operator=(const OpManager&) = delete;

  // Stores (graph, node) for the op.  False when any argument is null.  An op that already has an entry
  // keeps it unchanged; the result is then true as well.
  bool registerOp(qobeOp* op, OpDirectedGraph* graph, OpDGNode* node);
  // The graph / node stored for the op; null for a null op or an op without entry.
  OpDirectedGraph* findGraph(qobeOp* op);
  OpDGNode* findNode(qobeOp* op);
  // Removes the op's entry; true if there was one.
  bool unRegisterOp(qobeOp* op);
  // Removes every entry of every graph; true.
  bool clearOps();
  // Number of entries.
  std::size_t size();

 private:
  std::unordered_map<qobeOp*, std::pair<OpDirectedGraph*, OpDGNode*>> qobeOp2OpNodeDict_;
  std::mutex qobeOp2OpNodeDictMutex_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_OP_MANAGER_H
