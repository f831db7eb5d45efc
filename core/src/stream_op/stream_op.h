// StreamOp: the generic stream op, answering from the op engine's attributes; and the factory that makes the
// stream op of the right class for an op-engine op.
#ifndef QOBL_STREAM_OP_STREAM_OP_H
#define QOBL_STREAM_OP_STREAM_OP_H

#include <cstdint>
#include <string>
#include <vector>

#include "i_stream_op.h"

namespace zenlar {
namespace qobl {

class StreamOp : public IStreamOp {
 public:
  // op: the op-engine op this stream op stands for; not owned, never freed here.
  explicit StreamOp(qobeOp* op);
  ~StreamOp() override = default;

  StreamOp(const StreamOp&) = delete;
  StreamOp& operator=(const StreamOp&) = delete;

  int32_t typeId() override;
  uint32_t opType() override;
  uint32_t deviceId() override;
  bool setDeviceId(uint32_t deviceId) override;
  uint32_t uid() override;
  uint32_t configCount() override;
  uint32_t bufferCount() override;
  IModel* getModel() override;
  bool setModel(IModel* model) override;
  std::vector<uint64_t> getConfigAddressList() override;
  std::vector<uint64_t> getBufferAddresses() override;
  std::string name() override;
  uint32_t streamId() override;
  void setStreamId(uint32_t streamId) override;
  uint32_t inputCount() override;
  uint32_t outputCount() override;
  std::vector<uint32_t> inputSizes() override;
  std::vector<uint32_t> outputSizes() override;
  bool setOutputSizes(std::vector<uint32_t>& sizes) override;
  bool isRunmodelInput() override;
  bool isAllPropertiesConfigured() override;
  uint64_t bufferAddr() override;
  qobeOp* getOp() override;
  bool setInputOp(IStreamOp* inputOp) override;
  uint32_t loopCount() override;
  void setLoopCount(uint32_t loopCount) override;
  IStreamOp* getInputOp() override;
  bool setPreOpArg() override;
  uint32_t batchSize() override;
  void markGetOutputFlag() override;
  bool getOutputFlag() override;
  bool isLeafNode() override;
  void markAsLeafNode() override;
  std::vector<qoblShape> getInputShapes() override;
  std::vector<qoblShape> getOutputShapes() override;

 protected:
  qobeOp* qobeOp_;             // not owned
  uint32_t streamId_ = 0;      // stream the op was built into
  IModel* model_ = nullptr;    // not owned (the model manager's)
  IStreamOp* inOp_ = nullptr;  // the parent's stream op; null for the graph's input op
  uint32_t loopCount_ = 1;     // runs per stream run
  bool getOutputFlag_ = false;
  bool isLeafNode_ = false;
};

// Makes the stream op for an op-engine op by its kind: 1 StreamInputOp, 2 StreamRunModelOp (its model taken
// from the op's "model_addr" attribute when readable), 10 StreamCopyMemOp, any other kind a StreamOp.
// Null for a null op.  The caller owns the result and deletes it (virtual destructor of IStreamOp).
IStreamOp* qoblUtilsCreateStreamOp(qobeOp* op);

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_OP_STREAM_OP_H
