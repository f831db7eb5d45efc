// The run executor of a device's engine thread: decodes the op records and argument arrays of a run in
// card memory and executes each op.  One executor serves every run of its engine, so the tables a run
// needs keep their memory from run to run.
#ifndef QOBCRT_SRC_EXEC_H
#define QOBCRT_SRC_EXEC_H

#include <cstdint>
#include <memory>

#include "card.h"

namespace zenlar {
namespace qobcrt {

class Executor {
 public:
  explicit Executor(Device& d);
  ~Executor();
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  // Executes the run with sequence number seq whose op records start at stream_addr, handing every report
  // to `reports`.  Returns the first failing op's code, 0 when none failed.
  uint32_t run(uint64_t seq, uint64_t stream_addr, ReportSink& reports);

 private:
  class State;
  std::unique_ptr<State> state_;
};

}  // namespace qobcrt
}  // namespace zenlar

#endif  // QOBCRT_SRC_EXEC_H
