// Test doubles for the graph tests: the shared fake stream op, a model for loop planning, op-engine ops
// destroyed with the test, and a capture of the library's log lines.
#ifndef QOBL_TESTS_GRAPH_TEST_SUPPORT_H
#define QOBL_TESTS_GRAPH_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <qobe/qobe.h>
#include <qobm/qobm.h>

#include <string>
#include <utility>
#include <vector>

#include "qobl_test/fake_model.h"
#include "qobl_test/fake_stream_op.h"
#include "qobl_test/log_capture.h"

namespace zenlar {
namespace qobl {
namespace test {

using qobltest::FakeStreamOp;

// A model for loop planning: one input of 16 bytes, one float output of 8 bytes.
class FakeModel : public qobltest::FakeModel {
 public:
  FakeModel() {
    inputSizes = {16};
    setOutputSizes({8});
  }
};

class EngineOps {
 public:
  EngineOps() = default;
  EngineOps(const EngineOps&) = delete;
  EngineOps& operator=(const EngineOps&) = delete;
  ~EngineOps() {
    for (qobeOp* op : ops_) qobeDestroyOp(op);
  }
  qobeOp* make(uint32_t kind) {
    qobeOp* op = nullptr;
    EXPECT_EQ(qobeCreateOp(kind, &op), 0);
    return keep(op);
  }
  qobeOp* keep(qobeOp* op) {
    if (op != nullptr) ops_.push_back(op);
    return op;
  }

 private:
  std::vector<qobeOp*> ops_;
};

using qobltest::LogCapture;

}  // namespace test
}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_TESTS_GRAPH_TEST_SUPPORT_H
