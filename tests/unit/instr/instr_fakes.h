// Test doubles for the instruction tests: a stream op and a model whose answers are plain fields, a log
// capture, and card-memory helpers.
#ifndef QOBL_TESTS_INSTR_FAKES_H
#define QOBL_TESTS_INSTR_FAKES_H

#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <qobm/qobm.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "i_model.h"
#include "i_stream_op.h"
#include "op_argument/op_base_argument.h"

namespace instrtest {

using zenlar::qobl::IModel;
using zenlar::qobl::IStreamOp;
using zenlar::qobl::modelShape;
using zenlar::qobl::qoblShape;

// Answers batch, counts, output sizes and address; everything else is refused.
class FakeModel : public IModel {
 public:
  uint32_t batch = 1, inputs = 1, outputs = 1;
  std::vector<int64_t> outputSizes{16};
  uint64_t address = 0x5a5a00;  // never a block of ours: must never be released

  bool setBatchSize(uint32_t& b) override { batch = b; return true; }
  bool getInputCount(uint32_t& c) override { c = inputs; return true; }
  bool getOutputCount(uint32_t& c) override { c = outputs; return true; }
  bool getBatchSize(uint32_t& s) override { s = batch; return true; }
  bool getMaxBatchSize(uint32_t& s) override { s = batch; return true; }
  bool getModelAddress(uint64_t& a) override { a = address; return true; }
  bool getOutPutSizeByIndex(int32_t i, int64_t& s) override {
    if (i < 0 || static_cast<size_t>(i) >= outputSizes.size()) return false;
    s = outputSizes[i];
    return true;
  }
  bool getAlignOutPutSizeByIndex(int32_t i, int64_t& s) override { return getOutPutSizeByIndex(i, s); }
  bool getMaxBatchSize(const std::vector<qoblShape>&, uint32_t&) override { return false; }
  bool setInputShape(const std::vector<qoblShape>&) override { return false; }
  bool getInputShapeByIndex(int32_t, qobmShape&) override { return false; }
  bool getInputSizeByIndex(int32_t, int64_t&) override { return false; }
  bool getOutputShapeByIndex(int32_t, qobmShape&) override { return false; }
  bool getOutputCoreShapes(int32_t, modelShape&) override { return false; }
  bool getOutPutDtype(int32_t, DLDataType&) override { return false; }
  bool getPreOpCfgScaleFactorByIndex(int32_t, uint16_t&) override { return false; }
  bool getPreOpCfgTensorTypeByIndex(int32_t, uint16_t&) override { return false; }
  bool getPreOpCfgExtraMeanStdValues(std::vector<std::vector<uint16_t>>&) override { return false; }
  bool getPreOpCfgAddrList(std::vector<uint64_t>&) override { return false; }
  bool isDynamic() override { return false; }
};

// A stream op whose answers are fields.  getConfigAddressList returns per call: kNone an empty list, kModel
// { model address }, kFresh `configCount` new 64-byte stream blocks (a per-run configuration).
// getBufferAddresses makes `bufferCount` new 64-byte shared-DDR blocks per call.
class FakeStreamOp : public IStreamOp {
 public:
  enum ConfigMode { kNone, kModel, kFresh };

  int32_t typeId_ = 0;
  uint32_t opType_ = 0, deviceId_ = 0, uid_ = 0, configCount_ = 0, bufferCount_ = 0, streamId_ = 0;
  uint32_t inputCount_ = 0, outputCount_ = 0, loopCount_ = 1, batchSize_ = 1;
  std::vector<uint32_t> outputSizes_;
  IModel* model_ = nullptr;
  IStreamOp* inOp_ = nullptr;
  bool runmodelInput_ = false, leaf_ = false;
  std::string name_ = "op";
  ConfigMode configMode_ = kNone;
  std::vector<uint64_t> madeConfigs_;  // every configuration block handed out, in order

  std::vector<uint64_t> getConfigAddressList() override {
    std::vector<uint64_t> out;
    uint64_t a = 0;
    if (configMode_ == kModel && model_ != nullptr && model_->getModelAddress(a)) out.push_back(a);
    for (uint32_t c = 0; configMode_ == kFresh && c < configCount_; ++c) {
      EXPECT_EQ(0, qobcrt_malloc_stream(deviceId_, 0, 64, &a));
      out.push_back(a);
      madeConfigs_.push_back(a);
    }
    return out;
  }
  std::vector<uint64_t> getBufferAddresses() override {
    std::vector<uint64_t> out(bufferCount_);
    for (uint64_t& a : out) EXPECT_EQ(0, qobcrt_malloc_ddr_share(deviceId_, 0, 64, &a));
    return out;
  }
  int32_t typeId() override { return typeId_; }
  uint32_t opType() override { return opType_; }
  uint32_t deviceId() override { return deviceId_; }
  bool setDeviceId(uint32_t d) override { deviceId_ = d; return true; }
  uint32_t uid() override { return uid_; }
  uint32_t configCount() override { return configCount_; }
  uint32_t bufferCount() override { return bufferCount_; }
  IModel* getModel() override { return model_; }
  bool setModel(IModel* m) override { model_ = m; return true; }
  std::string name() override { return name_; }
  uint32_t streamId() override { return streamId_; }
  void setStreamId(uint32_t s) override { streamId_ = s; }
  uint32_t inputCount() override { return inputCount_; }
  uint32_t outputCount() override { return outputCount_; }
  std::vector<uint32_t> inputSizes() override { return {}; }
  std::vector<uint32_t> outputSizes() override { return outputSizes_; }
  bool setOutputSizes(std::vector<uint32_t>& s) override { outputSizes_ = s; return true; }
  bool isRunmodelInput() override { return runmodelInput_; }
  bool isAllPropertiesConfigured() override { return true; }
  uint64_t bufferAddr() override { return 0; }
  qobeOp* getOp() override { return nullptr; }
  bool setInputOp(IStreamOp* in) override { inOp_ = in; return true; }
  IStreamOp* getInputOp() override { return inOp_; }
  uint32_t loopCount() override { return loopCount_; }
  void setLoopCount(uint32_t l) override { loopCount_ = l; }
  bool setPreOpArg() override { return true; }
  uint32_t batchSize() override { return batchSize_; }
  void markGetOutputFlag() override {}
  bool getOutputFlag() override { return false; }
  bool isLeafNode() override { return leaf_; }
  void markAsLeafNode() override { leaf_ = true; }
  std::vector<qoblShape> getInputShapes() override { return {}; }
  std::vector<qoblShape> getOutputShapes() override { return {}; }
};

// Receives every line of the library's channel, at every level, while alive.
class LogCapture {
 public:
  LogCapture() {
    qobmSetLogLevel(qobmLL_TRACE);
    qobmSetLogSink(&LogCapture::sink, this);
  }
  ~LogCapture() {
    qobmSetLogSink(nullptr, nullptr);
    qobmSetLogLevel(qobmLL_WARN);
  }
  std::vector<std::string> errors() {
    std::lock_guard<std::mutex> lock(mu_);
    return errors_;
  }
  bool has(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    return std::find(lines_.begin(), lines_.end(), text) != lines_.end();
  }

 private:
  static void sink(uint32_t channel, uint32_t level, const char*, const char*, uint32_t, const char* text,
                   void* user) {
    if (channel != qobmLC_CL) return;
    auto* self = static_cast<LogCapture*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    self->lines_.push_back(text != nullptr ? text : "");
    if (level == qobmLL_ERROR) self->errors_.push_back(self->lines_.back());
  }
  std::mutex mu_;
  std::vector<std::string> lines_, errors_;
};

// Live blocks per memory kind on device 0.
struct Live {
  uint64_t stream = 0, inout = 0, ddr = 0;
  bool operator==(const Live& o) const { return stream == o.stream && inout == o.inout && ddr == o.ddr; }
};
inline Live live() {
  qobcrt_sim_stats s{};
  EXPECT_EQ(0, qobcrt_sim_get_stats(0, &s));
  return Live{s.live_blocks[QOBCRT_SIM_STREAM], s.live_blocks[QOBCRT_SIM_INOUT], s.live_blocks[QOBCRT_SIM_DDR_SHARE]};
}
inline std::ostream& operator<<(std::ostream& os, const Live& l) {
  return os << "{stream " << l.stream << ", inout " << l.inout << ", ddr " << l.ddr << "}";
}

// Checks that a test leaves device 0's live blocks as it found them; clears injected faults.
class LiveBlocksTest : public testing::Test {
 protected:
  void SetUp() override {
    qobcrt_sim_clear_faults();
    base_ = live();
  }
  void TearDown() override {
    qobcrt_sim_clear_faults();
    EXPECT_EQ(base_, live()) << "device blocks leaked";
  }
  Live base_;
};

// Size and kind of the card block at addr (size 0 when none).
inline uint64_t blockSize(uint64_t addr, uint32_t* kind = nullptr) {
  uint64_t size = 0;
  qobcrt_query_block(0, addr, kind, nullptr, &size);
  return size;
}

// Checks an argument array as the card reads it: "*$%!", the counts (loops, batch positions, configurations,
// inputs, outputs), then the pointers.
inline void expectArgsOnCard(uint64_t addr, const std::array<uint32_t, 5>& counts, const std::vector<uint64_t>& list) {
  std::vector<uint8_t> want(24 + 8 * list.size()), got(want.size());
  std::memcpy(want.data(), "*$%!", 4);
  std::memcpy(want.data() + 4, counts.data(), 20);
  if (!list.empty()) std::memcpy(want.data() + 24, list.data(), 8 * list.size());
  ASSERT_EQ(0, qobcrt_memcpy_d2h(0, addr, got.size(), got.data()));
  EXPECT_EQ(0, std::memcmp(want.data(), got.data(), want.size()));
}

// What the run instruction does for each op: the argument adopts the blocks it owns among the gathered
// ones, then builds.
inline bool adoptAndBuild(zenlar::qobl::IOpArgument& arg, zenlar::qobl::IOpArgument* in,
                          const std::vector<zenlar::qobl::OpIRBuffer>& buffers, const std::vector<uint64_t>& outputs) {
  std::vector<zenlar::qobl::DeviceBlock> blocks;
  for (const auto& b : buffers) {
    zenlar::qobl::BaseOpArgument::ownedBlocks(static_cast<uint32_t>(arg.opType()), arg.deviceId(), b, blocks);
  }
  arg.adoptBlocks(std::move(blocks));
  return arg.buildOpArgArray(in, buffers, outputs);
}

}  // namespace instrtest

#endif  // QOBL_TESTS_INSTR_FAKES_H
