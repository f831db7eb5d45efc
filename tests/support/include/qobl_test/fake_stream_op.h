// FakeStreamOp: a stream op whose answers are plain fields, for tests of the graph and of the run-stream
// instructions.  The parent link, model, loop count, stream id and the leaf and output marks are the base
// class's own (and public here).  getConfigAddressList returns per call: kNone an empty list, kModel
// { the model's address }, kFresh `configCount_` new 64-byte stream blocks (a per-run configuration, each
// also listed in madeConfigs_); getBufferAddresses makes `bufferCount_` new 64-byte shared-DDR blocks per
// call, on device deviceId_.  `live` counts the instances, so a test sees that a graph deletes exactly the
// stream ops it owns.  Header-only: it needs the library core's headers (stream_op/stream_op.h).
#ifndef QOBL_TEST_FAKE_STREAM_OP_H
#define QOBL_TEST_FAKE_STREAM_OP_H

#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "i_model.h"
#include "stream_op/stream_op.h"

namespace qobltest {

class FakeStreamOp : public zenlar::qobl::StreamOp {
 public:
  enum ConfigMode { kNone, kModel, kFresh };
  static inline int live = 0;
  explicit FakeStreamOp(std::string opName = "op", uint32_t kind = 21)
      : StreamOp(nullptr), kind_(kind), name_(std::move(opName)) {
    ++live;
  }
  ~FakeStreamOp() override { --live; }

  using StreamOp::inOp_;
  using StreamOp::isLeafNode_;
  using StreamOp::loopCount_;
  using StreamOp::model_;
  using StreamOp::streamId_;
  uint32_t kind_;
  std::string name_;
  int32_t typeId_ = 0;
  uint32_t uid_ = 0, inCount_ = 0, outCount_ = 0, deviceId_ = 0, configCount_ = 0, bufferCount_ = 0;
  uint32_t batchSize_ = 1;
  qobeOp* op_ = nullptr;
  std::vector<uint32_t> inSizes_, outSizes_;
  bool acceptOutputSizes_ = true;   // refused: setOutputSizes returns false and changes nothing
  bool storesOutputSizes_ = false;  // like the input op: setOutputSizes replaces outSizes_
  bool acceptDeviceId_ = true, runmodelInput_ = false;
  ConfigMode configMode_ = kNone;
  std::vector<uint64_t> madeConfigs_;

  int32_t typeId() override { return typeId_; }
  uint32_t opType() override { return kind_; }
  uint32_t uid() override { return uid_; }
  std::string name() override { return name_; }
  qobeOp* getOp() override { return op_; }
  uint32_t inputCount() override { return inCount_; }
  uint32_t outputCount() override { return outCount_; }
  uint32_t configCount() override { return configCount_; }
  uint32_t bufferCount() override { return bufferCount_; }
  uint32_t batchSize() override { return batchSize_; }
  bool isRunmodelInput() override { return runmodelInput_; }
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
};

}  // namespace qobltest

#endif  // QOBL_TEST_FAKE_STREAM_OP_H
