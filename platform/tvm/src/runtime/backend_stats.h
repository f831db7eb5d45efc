// Process-wide counters of the backend calls (TVMBackendGetStats reads them).
#ifndef TVM_SRC_RUNTIME_BACKEND_STATS_H_
#define TVM_SRC_RUNTIME_BACKEND_STATS_H_

#include <atomic>
#include <cstdint>

namespace tvm {
namespace runtime {

struct BackendCounters {
  std::atomic<uint64_t> launches{0};
  std::atomic<uint64_t> inline_launches{0};
  std::atomic<uint64_t> failed_launches{0};
  std::atomic<uint64_t> workers_started{0};
  std::atomic<uint64_t> workspace_allocs{0};
  std::atomic<uint64_t> workspace_sys_allocs{0};
  std::atomic<int64_t> workspace_in_use{0};
  std::atomic<int64_t> workspace_cached{0};
};

BackendCounters& Counters();

}  // namespace runtime
}  // namespace tvm

#endif  // TVM_SRC_RUNTIME_BACKEND_STATS_H_
