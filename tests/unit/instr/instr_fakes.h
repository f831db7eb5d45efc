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
#include "qobl_test/card_stats.h"
#include "qobl_test/fake_model.h"
#include "qobl_test/log_capture.h"

namespace instrtest {

using zenlar::qobl::IModel;
using zenlar::qobl::IStreamOp;
using zenlar::qobl::modelShape;
using zenlar::qobl::qoblShape;

using qobltest::FakeModel;

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

using qobltest::blockSize;
using qobltest::LiveBlocksTest;
using qobltest::LogCapture;
using Live = qobltest::LiveBlocks;
inline Live live() { return qobltest::liveBlocks(0); }

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
