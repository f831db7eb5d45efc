// Test doubles for the graph tests: a stream op whose answers are plain fields (and which counts live
// instances, so a test can see that a graph deletes exactly the stream ops it owns), a model for loop
// planning, op-engine ops that clean up after themselves, and a capture of the library's log lines.
#ifndef QOBL_TESTS_GRAPH_TEST_SUPPORT_H
#define QOBL_TESTS_GRAPH_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <qobe/qobe.h>
#include <qobm/qobm.h>

#include <mutex>
#include <string>
#include <vector>

#include "i_model.h"
#include "i_stream_op.h"

namespace zenlar {
namespace qobl {
namespace test {

class FakeStreamOp : public IStreamOp {
 public:
  static int& live() {
    static int count = 0;
    return count;
  }

  explicit FakeStreamOp(std::string opName = "op", uint32_t kind = 21) : kind_(kind), name_(std::move(opName)) {
    ++live();
  }
  ~FakeStreamOp() override { --live(); }

  uint32_t kind_;
  std::string name_;
  int32_t typeId_ = 0;
  uint32_t uid_ = 0;
  qobeOp* op_ = nullptr;
  uint32_t inCount_ = 0, outCount_ = 0;
  std::vector<uint32_t> inSizes_, outSizes_;
  bool acceptOutputSizes_ = true;  // refused: setOutputSizes returns false and changes nothing
  bool storesOutputSizes_ = false; // like the input op: setOutputSizes replaces outSizes_
  bool acceptDeviceId_ = true;
  uint32_t deviceId_ = 0xffffffffu;
  bool outputFlag_ = false, leaf_ = false;
  IStreamOp* inOp_ = nullptr;
  uint32_t loop_ = 1;

  int32_t typeId() override { return typeId_; }
  uint32_t opType() override { return kind_; }
  uint32_t deviceId() override { return deviceId_; }
  bool setDeviceId(uint32_t id) override {
    if (acceptDeviceId_) deviceId_ = id;
    return acceptDeviceId_;
  }
  uint32_t uid() override { return uid_; }
  uint32_t configCount() override { return 0; }
  uint32_t bufferCount() override { return 0; }
  IModel* getModel() override { return nullptr; }
  bool setModel(IModel*) override { return true; }
  std::vector<uint64_t> getConfigAddressList() override { return {}; }
  std::vector<uint64_t> getBufferAddresses() override { return {}; }
  std::string name() override { return name_; }
  uint32_t streamId() override { return 0; }
  void setStreamId(uint32_t) override {}
  uint32_t inputCount() override { return inCount_; }
  uint32_t outputCount() override { return outCount_; }
  std::vector<uint32_t> inputSizes() override { return inSizes_; }
  std::vector<uint32_t> outputSizes() override { return outSizes_; }
  bool setOutputSizes(std::vector<uint32_t>& sizes) override {
    if (!acceptOutputSizes_) return false;
    if (storesOutputSizes_) outSizes_ = sizes;
    return true;
  }
  bool isRunmodelInput() override { return false; }
  bool isAllPropertiesConfigured() override { return true; }
  uint64_t bufferAddr() override { return 0; }
  qobeOp* getOp() override { return op_; }
  bool setInputOp(IStreamOp* in) override {
    inOp_ = in;
    return true;
  }
  uint32_t loopCount() override { return loop_; }
  void setLoopCount(uint32_t l) override { loop_ = l; }
  IStreamOp* getInputOp() override { return inOp_; }
  bool setPreOpArg() override { return true; }
  uint32_t batchSize() override { return 1; }
  void markGetOutputFlag() override { outputFlag_ = true; }
  bool getOutputFlag() override { return outputFlag_; }
  bool isLeafNode() override { return leaf_; }
  void markAsLeafNode() override { leaf_ = true; }
  std::vector<qoblShape> getInputShapes() override { return {}; }
  std::vector<qoblShape> getOutputShapes() override { return {}; }
};

// A model for loop planning and sizes: I inputs of inputSize bytes, outputs of the given byte sizes.
class FakeModel : public IModel {
 public:
  uint32_t inputs = 1, batch = 1;
  bool batchOk = true;
  int64_t inputSize = 16;
  std::vector<int64_t> outputSizes{8};

  bool setBatchSize(uint32_t&) override { return true; }
  bool getInputCount(uint32_t& c) override { c = inputs; return true; }
  bool getOutputCount(uint32_t& c) override { c = static_cast<uint32_t>(outputSizes.size()); return true; }
  bool getBatchSize(uint32_t& s) override { if (batchOk) s = batch; return batchOk; }
  bool getMaxBatchSize(uint32_t& s) override { s = batch; return true; }
  bool getMaxBatchSize(const std::vector<qoblShape>&, uint32_t&) override { return false; }
  bool getModelAddress(uint64_t& a) override { a = 0x5000; return true; }
  bool setInputShape(const std::vector<qoblShape>&) override { return false; }
  bool getInputShapeByIndex(int32_t, qobmShape&) override { return false; }
  bool getInputSizeByIndex(int32_t i, int64_t& s) override {
    if (i < 0 || static_cast<uint32_t>(i) >= inputs) return false;
    s = inputSize;
    return true;
  }
  bool getOutputShapeByIndex(int32_t, qobmShape&) override { return false; }
  bool getOutputCoreShapes(int32_t, modelShape&) override { return false; }
  bool getOutPutSizeByIndex(int32_t i, int64_t& s) override {
    if (i < 0 || static_cast<size_t>(i) >= outputSizes.size()) return false;
    s = outputSizes[i];
    return true;
  }
  bool getAlignOutPutSizeByIndex(int32_t i, int64_t& s) override { return getOutPutSizeByIndex(i, s); }
  bool getOutPutDtype(int32_t, DLDataType& t) override { t = DLDataType{kDLFloat, 32, 1}; return true; }
  bool getPreOpCfgScaleFactorByIndex(int32_t, uint16_t&) override { return false; }
  bool getPreOpCfgTensorTypeByIndex(int32_t, uint16_t&) override { return false; }
  bool getPreOpCfgExtraMeanStdValues(std::vector<std::vector<uint16_t>>&) override { return true; }
  bool getPreOpCfgAddrList(std::vector<uint64_t>&) override { return true; }
  bool isDynamic() override { return false; }
};

// Op-engine ops made by a test (directly or through the API), destroyed with it.
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

struct LogLine {
  uint32_t level;
  std::string function, text;
};

// Every line of the library's channel (from `level` up) while alive.
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
  std::vector<LogLine> take() {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<LogLine> out;
    out.swap(lines_);
    return out;
  }
  // Texts of the lines at `level`, taken.
  std::vector<std::string> takeTexts(uint32_t level = qobmLL_ERROR) {
    std::vector<std::string> texts;
    for (const auto& l : take()) {
      if (l.level == level) texts.push_back(l.text);
    }
    return texts;
  }

 private:
  static void sink(uint32_t channel, uint32_t level, const char* function, const char*, uint32_t,
                   const char* text, void* user) {
    if (channel != qobmLC_CL) return;
    auto* self = static_cast<LogCapture*>(user);
    std::lock_guard<std::mutex> g(self->mu_);
    self->lines_.push_back({level, function ? function : "", text ? text : ""});
  }
  std::mutex mu_;
  std::vector<LogLine> lines_;
};

}  // namespace test
}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_TESTS_GRAPH_TEST_SUPPORT_H
