// FakeModel: a model object whose answers are plain fields, for tests of the layers above the model
// (stream ops, graph building, arguments, run instructions).  An index past a list fails like the real
// model does.  Header-only: it needs the library core's headers (i_model.h).
#ifndef QOBL_TEST_FAKE_MODEL_H
#define QOBL_TEST_FAKE_MODEL_H

#include <cstdint>
#include <vector>

#include "i_model.h"

namespace qobltest {

using zenlar::qobl::modelShape;
using zenlar::qobl::qoblShape;

struct FakeOutput {
  DLDataType dtype{kDLFloat, 32, 1};
  std::vector<int64_t> shape;
  modelShape cores;
  int64_t bytes = -1;  // the output's byte size; -1: elements of `shape` times the element size
};

class FakeModel : public zenlar::qobl::IModel {
 public:
  uint32_t inputs = 1, batch = 1;
  bool batchOk = true, inputCountOk = true, dynamic = false, addrOk = true;
  uint64_t addr = 0x5000;             // never a block of ours: must never be released
  std::vector<int64_t> inputSizes;   // per input index; shorter than inputs makes later indexes fail
  std::vector<FakeOutput> outputs;
  std::vector<uint16_t> scales, tensorTypes;

  // Outputs of the given byte sizes.
  void setOutputSizes(const std::vector<int64_t>& sizes) {
    outputs.assign(sizes.size(), FakeOutput{});
    for (size_t i = 0; i < sizes.size(); ++i) outputs[i].bytes = sizes[i];
  }
  uint32_t outputCount() const { return static_cast<uint32_t>(outputs.size()); }

  bool setBatchSize(uint32_t& b) override {
    batch = b;
    return true;
  }
  bool getInputCount(uint32_t& c) override {
    if (inputCountOk) c = inputs;
    return inputCountOk;
  }
  bool getOutputCount(uint32_t& c) override {
    c = outputCount();
    return true;
  }
  bool getBatchSize(uint32_t& s) override {
    if (batchOk) s = batch;
    return batchOk;
  }
  bool getMaxBatchSize(uint32_t& s) override {
    s = batch;
    return true;
  }
  bool getMaxBatchSize(const std::vector<qoblShape>&, uint32_t&) override { return false; }
  bool getModelAddress(uint64_t& a) override {
    if (addrOk) a = addr;
    return addrOk;
  }
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
    s = outputs[i].bytes;
    if (s >= 0) return true;
    s = outputs[i].dtype.bits / 8;
    for (int64_t d : outputs[i].shape) s *= d;
    return true;
  }
  bool getAlignOutPutSizeByIndex(int32_t, int64_t&) override { return false; }
  bool getOutPutDtype(int32_t i, DLDataType& t) override {
    if (has(i)) t = outputs[i].dtype;
    return has(i);
  }
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

}  // namespace qobltest

#endif  // QOBL_TEST_FAKE_MODEL_H
