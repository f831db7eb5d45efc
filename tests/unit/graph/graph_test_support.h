// Test doubles for the graph tests: a stream op whose answers are plain fields (counting live instances, so
// a test sees that a graph deletes exactly the stream ops it owns), a model for loop planning, op-engine ops
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
#include "qobl_test/log_capture.h"
#include "stream_op/stream_op.h"

namespace zenlar {
namespace qobl {
namespace test {

// Leaf and output marks, the parent link and the loop count are the base class's own.
class FakeStreamOp : public StreamOp {
 public:
  static inline int live = 0;
  explicit FakeStreamOp(std::string opName, uint32_t kind = 21)
      : StreamOp(nullptr), kind_(kind), name_(std::move(opName)) {
    ++live;
  }
  ~FakeStreamOp() override { --live; }

  uint32_t kind_;
  std::string name_;
  uint32_t uid_ = 0, inCount_ = 0, outCount_ = 0, deviceId_ = 0xffffffffu;
  qobeOp* op_ = nullptr;
  std::vector<uint32_t> inSizes_, outSizes_;
  bool acceptOutputSizes_ = true;   // refused: setOutputSizes returns false and changes nothing
  bool storesOutputSizes_ = false;  // like the input op: setOutputSizes replaces outSizes_
  bool acceptDeviceId_ = true;

  int32_t typeId() override { return 0; }
  uint32_t opType() override { return kind_; }
  uint32_t uid() override { return uid_; }
  std::string name() override { return name_; }
  qobeOp* getOp() override { return op_; }
  uint32_t inputCount() override { return inCount_; }
  uint32_t outputCount() override { return outCount_; }
  std::vector<uint32_t> inputSizes() override { return inSizes_; }
  std::vector<uint32_t> outputSizes() override { return outSizes_; }
  bool setOutputSizes(std::vector<uint32_t>& s) override {
    if (acceptOutputSizes_ && storesOutputSizes_) outSizes_ = s;
    return acceptOutputSizes_;
  }
  uint32_t deviceId() override { return deviceId_; }
  bool setDeviceId(uint32_t id) override {
    if (acceptDeviceId_) deviceId_ = id;
    return acceptDeviceId_;
  }
  bool setPreOpArg() override { return true; }
};

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
