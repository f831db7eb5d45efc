// Test doubles for the graph tests: a stream op whose answers are plain fields (counting live instances, so
// a test sees that a graph deletes exactly the stream ops it owns), a model for loop planning, op-engine ops
// destroyed with the test, and a capture of the library's log lines.
#ifndef QOBL_TESTS_GRAPH_TEST_SUPPORT_H
#define QOBL_TESTS_GRAPH_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <qobe/qobe.h>
#include <qobm/qobm.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "i_model.h"
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

// One input of 16 bytes, one output of 8; `batch` is the batch size, unknown when !batchOk.
class FakeModel : public IModel {
 public:
  uint32_t batch = 1;
  bool batchOk = true;

  bool setBatchSize(uint32_t&) override { return true; }
  bool getInputCount(uint32_t& c) override { c = 1; return true; }
  bool getOutputCount(uint32_t& c) override { c = 1; return true; }
  bool getBatchSize(uint32_t& s) override { s = batch; return batchOk; }
  bool getMaxBatchSize(uint32_t& s) override { s = batch; return true; }
  bool getMaxBatchSize(const std::vector<qoblShape>&, uint32_t&) override { return false; }
  bool getModelAddress(uint64_t& a) override { a = 0x5000; return true; }
  bool setInputShape(const std::vector<qoblShape>&) override { return false; }
  bool getInputShapeByIndex(int32_t, qobmShape&) override { return false; }
  bool getInputSizeByIndex(int32_t i, int64_t& s) override { s = 16; return i == 0; }
  bool getOutputShapeByIndex(int32_t, qobmShape&) override { return false; }
  bool getOutputCoreShapes(int32_t, modelShape&) override { return false; }
  bool getOutPutSizeByIndex(int32_t i, int64_t& s) override { s = 8; return i == 0; }
  bool getAlignOutPutSizeByIndex(int32_t i, int64_t& s) override { return getOutPutSizeByIndex(i, s); }
  bool getOutPutDtype(int32_t, DLDataType& t) override { t = DLDataType{kDLFloat, 32, 1}; return true; }
  bool getPreOpCfgScaleFactorByIndex(int32_t, uint16_t&) override { return false; }
  bool getPreOpCfgTensorTypeByIndex(int32_t, uint16_t&) override { return false; }
  bool getPreOpCfgExtraMeanStdValues(std::vector<std::vector<uint16_t>>&) override { return true; }
  bool getPreOpCfgAddrList(std::vector<uint64_t>&) override { return true; }
  bool isDynamic() override { return false; }
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

// The library channel's lines from `level` up while alive; take() hands over the texts logged at `wanted`.
class LogCapture {
 public:
  explicit LogCapture(uint32_t level = qobmLL_TRACE) {
    qobmSetLogSink(&LogCapture::sink, this);
    qobmSetLogLevel(level);
  }
  ~LogCapture() {
    qobmSetLogLevel(qobmLL_WARN);
    qobmSetLogSink(nullptr, nullptr);
  }
  std::vector<std::string> take(uint32_t wanted = qobmLL_ERROR) {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<std::string> out;
    for (const auto& l : lines_) {
      if (l.first == wanted) out.push_back(l.second);
    }
    lines_.clear();
    return out;
  }

 private:
  static void sink(uint32_t channel, uint32_t level, const char*, const char*, uint32_t, const char* text,
                   void* user) {
    if (channel != qobmLC_CL) return;
    auto* self = static_cast<LogCapture*>(user);
    std::lock_guard<std::mutex> g(self->mu_);
    self->lines_.emplace_back(level, text ? text : "");
  }
  std::mutex mu_;
  std::vector<std::pair<uint32_t, std::string>> lines_;
};

}  // namespace test
}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_TESTS_GRAPH_TEST_SUPPORT_H
