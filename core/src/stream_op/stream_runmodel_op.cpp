#include "stream_op/stream_runmodel_op.h"

#include <deque>
#include <string>

#include "qobl_log.h"
#include "utils/op_attr_utils.h"
#include "utils/utils.h"

namespace zenlar {
namespace qobl {

uint32_t StreamRunModelOp::configCount() { return 1; }

std::vector<uint64_t> StreamRunModelOp::getConfigAddressList() {
  std::vector<uint64_t> out;
  configAddressesInto(out);
  return out;
}

void StreamRunModelOp::configAddressesInto(std::vector<uint64_t>& out) {
  out.clear();
  uint64_t addr = 0;
  if (model_ != nullptr && model_->getModelAddress(addr)) out.push_back(addr);
}

std::vector<uint64_t> StreamRunModelOp::getBufferAddresses() { return {}; }

uint32_t StreamRunModelOp::inputCount() {
  uint32_t count = 0;
  if (model_ != nullptr) (void)model_->getInputCount(count);
  return count;
}

uint32_t StreamRunModelOp::outputCount() {
  uint32_t count = 0;
  if (model_ != nullptr) (void)model_->getOutputCount(count);
  return count;
}

uint32_t StreamRunModelOp::batchSize() {
  uint32_t size = 0;
  if (model_ != nullptr) (void)model_->getBatchSize(size);
  return size;
}

std::vector<uint32_t> StreamRunModelOp::inputSizes() {
  std::vector<uint32_t> sizes;
  const uint32_t count = inputCount();
  for (uint32_t i = 0; i < count; ++i) {
    int64_t size = 0;
    if (model_->getInputSizeByIndex(static_cast<int32_t>(i), size)) sizes.push_back(static_cast<uint32_t>(size));
  }
  return sizes;
}

std::vector<uint32_t> StreamRunModelOp::outputSizes() {
  std::vector<uint32_t> sizes;
  const uint32_t count = outputCount();
  // An application that keeps the core layout on purpose receives the outputs as the card stores them.
  const bool core = keepsCoreLayout(getOp());
  for (uint32_t i = 0; i < count; ++i) {
    int64_t size = 0;
    const int32_t index = static_cast<int32_t>(i);
    if (core ? model_->getAlignOutPutSizeByIndex(index, size) : model_->getOutPutSizeByIndex(index, size))
      sizes.push_back(static_cast<uint32_t>(size));
  }
  return sizes;
}

bool StreamRunModelOp::setPreOpArg() {
  if (inOp_ == nullptr) return false;
  if (model_ == nullptr) {
    QOBL_LOG_ERROR("Run-model op [%s] has no model.\n", name().c_str());
    return false;
  }
  const uint32_t parentOutputs = inOp_->outputCount();  // T: tensors one run of the parent chain produces
  uint32_t parentLoops = 1;                              // P: runs of the parent chain per stream run
  uint32_t batch = 0;
  uint32_t inputs = 0;
  if (!model_->getBatchSize(batch)) return false;
  if (!model_->getInputCount(inputs)) return false;
  const uint64_t perRun64 = static_cast<uint64_t>(inputs) * batch;  // N: tensors one model run consumes
  // Both counts must be non-zero for the two sides to come out even; a zero has no common multiple.
  const uint32_t lcm = (perRun64 == 0 || perRun64 > UINT32_MAX)
                           ? 0
                           : qoblCalculateLCM(parentOutputs, static_cast<uint32_t>(perRun64));
  if (lcm == 0 || lcm / perRun64 > kMaxLoopCount || lcm / parentOutputs > kMaxLoopCount) {
    QOBL_LOG_ERROR("Cannot plan loop counts: op [%s] produces %u tensors per run, model of op [%s] consumes "
                   "%u inputs x batch %u (a device run holds at most %u runs of an op).\n",
                   inOp_->name().c_str(), parentOutputs, name().c_str(), inputs, batch, kMaxLoopCount);
    return false;
  }
  const uint32_t perRun = static_cast<uint32_t>(perRun64);
  if (parentOutputs == lcm) {
    loopCount_ = lcm / perRun;
  } else if (perRun == lcm) {
    parentLoops = lcm / parentOutputs;
  } else {
    parentLoops = lcm / parentOutputs;
    loopCount_ = lcm / perRun;
  }

  // Every op of the parent chain runs parentLoops times; a chain already planned differently by another
  // run-model op below it cannot serve both.
  std::deque<IStreamOp*> queue{inOp_};
  while (!queue.empty()) {
    IStreamOp* op = queue.front();
    queue.pop_front();
    if (op->loopCount() != 1 && op->loopCount() != parentLoops) {
      QOBL_LOG_ERROR("Loop count conflict!");
      return false;
    }
    op->setLoopCount(parentLoops);
    IStreamOp* parent = op->getInputOp();
    if (parent == nullptr || parent->opType() == qobeOP_RUN_MODEL_OP) continue;
    if (parent->opType() == qobeOP_INPUT_OP && op->inputCount() != parent->outputCount()) {
      QOBL_LOG_ERROR("input op's output count conflict!");
      return false;
    }
    std::vector<uint32_t> sizes = op->inputSizes();
    if (!parent->setOutputSizes(sizes)) return false;
    queue.push_back(parent);
  }
  return setModelSeparateOpAttrs();
}

bool StreamRunModelOp::setModelSeparateOpAttrs() {
  if (inOp_ == nullptr || model_ == nullptr) return false;
  qobeOp* parentOp = inOp_->getOp();
  // The op engine reads one scale per position; the model's first pre-op scale serves all three.
  for (int i = 0; i < 3; ++i) {
    uint16_t half = 0;
    if (!model_->getPreOpCfgScaleFactorByIndex(0, half)) continue;
    float scale = 0.0f;
    (void)qobmFloat16ToFloat32(half, &scale);
    const std::string key = "scale" + std::to_string(i);
    (void)qobeSetOpAttr(parentOp, key.c_str(), qobeATTR_FLOAT32, 1, static_cast<double>(scale));
  }
  const uint32_t parentOutputs = inOp_->outputCount();
  for (uint32_t i = 0; i < parentOutputs; ++i) {
    uint16_t tensorType = 0;
    (void)model_->getPreOpCfgTensorTypeByIndex(static_cast<int32_t>(i), tensorType);
    const std::string key = "tensor_type" + std::to_string(i);
    (void)qobeSetOpAttr(parentOp, key.c_str(), qobeATTR_INT32, 1, static_cast<int>(tensorType));
  }
  return true;
}

}  // namespace qobl
}  // namespace zenlar
