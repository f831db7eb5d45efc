// Test doubles for the stream op tests: a scriptable model, op-engine ops that clean up after themselves,
// and a capture of the library's log lines.
#ifndef QOBL_TESTS_STREAM_OP_TEST_SUPPORT_H
#define QOBL_TESTS_STREAM_OP_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <qobe/qobe.h>
#include <qobm/qobm.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "i_model.h"
#include "i_stream_op.h"

namespace zenlar {
namespace qobl {
namespace test {

struct FakeOutput {
  DLDataType dtype{kDLFloat, 32, 1};
  std::vector<int64_t> shape;
  modelShape cores;
};

// A model whose answers are plain fields; an index past a list fails like the real model does.
class FakeModel : public IModel {
 public:
  uint32_t inputs = 1, batch = 1;
  bool batchOk = true, inputCountOk = true, dynamic = false;
  uint64_t addr = 0x5000;
  bool addrOk = true;
  std::vector<int64_t> inputSizes;   // per input index; shorter than inputs makes later indexes fail
  std::vector<FakeOutput> outputs;
  std::vector<uint16_t> scales, tensorTypes;

  bool setBatchSize(uint32_t&) override { return true; }
  bool getInputCount(uint32_t& c) override { if (inputCountOk) c = inputs; return inputCountOk; }
  bool getOutputCount(uint32_t& c) override { c = static_cast<uint32_t>(outputs.size()); return true; }
  bool getBatchSize(uint32_t& s) override { if (batchOk) s = batch; return batchOk; }
  bool getMaxBatchSize(uint32_t& s) override { s = batch; return true; }
  bool getMaxBatchSize(const std::vector<qoblShape>&, uint32_t&) override { return false; }
  bool getModelAddress(uint64_t& a) override { if (addrOk) a = addr; return addrOk; }
  bool setInputShape(const std::vector<qoblShape>&) override { return false; }
  bool getInputShapeByIndex(int32_t, qobmShape&) override { return false; }
  bool getInputSizeByIndex(int32_t i, int64_t& s) override {
    if (i < 0 || static_cast<size_t>(i) >= inputSizes.size()) return false;
    s = inputSizes[i];
    return true;
  }
  bool getOutputShapeByIndex(int32_t i, qobmShape& s) override {
    if (!has(i)) return false;
    s = qobmShape{};
    s.ndims = static_cast<uint32_t>(outputs[i].shape.size());
    for (size_t d = 0; d < outputs[i].shape.size(); ++d) s.shapes[d] = outputs[i].shape[d];
    return true;
  }
  bool getOutputCoreShapes(int32_t i, modelShape& s) override {
    if (!has(i)) return false;
    s.insert(s.end(), outputs[i].cores.begin(), outputs[i].cores.end());
    return true;
  }
  bool getOutPutSizeByIndex(int32_t i, int64_t& s) override {
    if (!has(i)) return false;
    s = outputs[i].dtype.bits / 8;
    for (int64_t d : outputs[i].shape) s *= d;
    return true;
  }
  bool getAlignOutPutSizeByIndex(int32_t, int64_t&) override { return false; }
  bool getOutPutDtype(int32_t i, DLDataType& t) override { if (has(i)) t = outputs[i].dtype; return has(i); }
  bool getPreOpCfgScaleFactorByIndex(int32_t i, uint16_t& v) override { return pick(scales, i, v); }
  bool getPreOpCfgTensorTypeByIndex(int32_t i, uint16_t& v) override { return pick(tensorTypes, i, v); }
  bool getPreOpCfgExtraMeanStdValues(std::vector<std::vector<uint16_t>>&) override { return true; }
  bool getPreOpCfgAddrList(std::vector<uint64_t>&) override { return true; }
  bool isDynamic() override { return dynamic; }

 private:
  bool has(int32_t i) const { return i >= 0 && static_cast<size_t>(i) < outputs.size(); }
  static bool pick(const std::vector<uint16_t>& v, int32_t i, uint16_t& out) {
    if (i < 0 || static_cast<size_t>(i) >= v.size()) return false;
    out = v[i];
    return true;
  }
};

// An op-engine op, destroyed with the test.
struct EngineOp {
  explicit EngineOp(uint32_t kind) { EXPECT_EQ(qobeCreateOp(kind, &op), 0); }
  ~EngineOp() { qobeDestroyOp(op); }
  EngineOp(const EngineOp&) = delete;
  EngineOp& operator=(const EngineOp&) = delete;
  qobeOp* op = nullptr;
};


// Every line of the library's channel at trace level and above while alive.
class LogCapture {
 public:
  LogCapture() {
    qobmSetLogSink(&LogCapture::sink, this);
    qobmSetLogLevel(qobmLL_TRACE);
  }
  ~LogCapture() {
    qobmSetLogLevel(qobmLL_WARN);
    qobmSetLogSink(nullptr, nullptr);
  }
  bool contains(const std::string& piece) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(piece) != std::string::npos; });
  }
  std::vector<std::string> lines;

 private:
  static void sink(uint32_t channel, uint32_t, const char*, const char*, uint32_t, const char* text, void* user) {
    if (channel == qobmLC_CL) static_cast<LogCapture*>(user)->lines.emplace_back(text);
  }
};

}  // namespace test
}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_TESTS_STREAM_OP_TEST_SUPPORT_H
