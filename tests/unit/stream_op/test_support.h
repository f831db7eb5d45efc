// Test doubles for the stream op tests: op-engine ops that clean up after themselves; the model and the log
// capture are the shared ones (tests/support).
#ifndef QOBL_TESTS_STREAM_OP_TEST_SUPPORT_H
#define QOBL_TESTS_STREAM_OP_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <qobe/qobe.h>
#include <qobm/qobm.h>

#include <vector>

#include "i_stream_op.h"
#include "qobl_test/fake_model.h"
#include "qobl_test/log_capture.h"

namespace zenlar {
namespace qobl {
namespace test {

using qobltest::FakeModel;
using qobltest::FakeOutput;
using qobltest::LogCapture;

// An op-engine op, destroyed with the test.
struct EngineOp {
  explicit EngineOp(uint32_t kind) { EXPECT_EQ(qobeCreateOp(kind, &op), 0); }
  ~EngineOp() { qobeDestroyOp(op); }
  EngineOp(const EngineOp&) = delete;
  EngineOp& operator=(const EngineOp&) = delete;
  qobeOp* op = nullptr;
};

}  // namespace test
}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_TESTS_STREAM_OP_TEST_SUPPORT_H
