// IModel: the library's view of one model (static or dynamic-shape).
//
// The API handle qoblModel holds an IModel* (ptr_).  Models are made by ModelMgr::createModel /
// createDynamicModel and destroyed by ModelMgr::releaseModel; the model owns its model module and its
// pre-process configuration on the card.  A model must outlive every stream whose graph uses it.
//
// States: a static model starts SHAPED, a dynamic one CREATED; setInputShape (dynamic only) makes it
// SHAPED, setBatchSize loads it on the device and makes it LOADED.  Most getters need LOADED and fail
// ("state wrong") before; getOutputCount, getOutPutDtype, getMaxBatchSize(size) (from SHAPED),
// getMaxBatchSize(shapes, size) and isDynamic work earlier.
//
// Every operation returns true on success.  A failure is logged once at ERROR (the pre-process getters
// fail silently) and leaves the model's state unchanged.  No operation throws.  Indexes are checked as
// unsigned values, so a negative index fails.  Calls on one model may come from several threads: the
// model serialises them (configurationLock), except the getters a device run asks, which read values a
// load publishes whole.  A stream of a dynamic model holds the lock around the loads it makes for a run
// and the run's preparation, so that another stream's loads do not come in between.
#ifndef QOBL_I_MODEL_H
#define QOBL_I_MODEL_H

#include <dlpack/dlpack.h>
#include <qobm/qobm.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "qobl_shape.h"

namespace zenlar {
namespace qobl {

// One inner list of extents per tensor, outermost dimension first.
using modelShape = std::vector<std::vector<int64_t>>;

class IModel {
 public:
  virtual ~IModel() = default;

  // Clamps batchSize to the largest supported batch size (the caller sees the clamped value), selects the
  // matching module node and loads it on the device (model address and pre-process configuration).
  // Needs SHAPED or LOADED; success makes the model LOADED.  A batch size of 0 is refused and changes
  // nothing.
  virtual bool setBatchSize(uint32_t& batchSize) = 0;
  // Inputs per batch item.  LOADED.
  virtual bool getInputCount(uint32_t& count) = 0;
  // Outputs per batch item.  Any state.
  virtual bool getOutputCount(uint32_t& count) = 0;
  // Current batch size.  LOADED.
  virtual bool getBatchSize(uint32_t& size) = 0;
  // Largest batch size for the current shapes.  SHAPED or LOADED.
  virtual bool getMaxBatchSize(uint32_t& size) = 0;
  // Largest batch size for the given input shapes (one per input).  Dynamic models only, any state;
  // changes nothing.
  virtual bool getMaxBatchSize(const std::vector<qoblShape>& shapes, uint32_t& size) = 0;
  // Device address of the loaded module node.  LOADED.
  virtual bool getModelAddress(uint64_t& modelAddr) = 0;
  // Sets the input shapes (one per input) of a dynamic model; on a LOADED model reloads it with the
  // current batch size, which the new shapes must allow.
  virtual bool setInputShape(const std::vector<qoblShape>& shapes) = 0;
  // Shape of input index (ndims = rank, at most 6).  LOADED.
  virtual bool getInputShapeByIndex(int32_t index, qobmShape& shape) = 0;
  // Byte size of input index for one batch item.  LOADED.
  virtual bool getInputSizeByIndex(int32_t index, int64_t& size) = 0;
  // Shape of output index.  LOADED.
  virtual bool getOutputShapeByIndex(int32_t index, qobmShape& shape) = 0;
  // Core tensors holding output index in the card's layout (appended to shapes).  LOADED.
  virtual bool getOutputCoreShapes(int32_t index, modelShape& shapes) = 0;
  // Plain byte size of output index: product of its extents times the element bytes.  LOADED.
  virtual bool getOutPutSizeByIndex(int32_t index, int64_t& size) = 0;
  // Bytes output index occupies in the card's core layout.  LOADED.
  virtual bool getAlignOutPutSizeByIndex(int32_t index, int64_t& size) = 0;
  // Element type of output index.  Any state.
  virtual bool getOutPutDtype(int32_t index, DLDataType& type) = 0;
  // Pre-process configuration of the loaded node (LOADED; false without a log line otherwise or when
  // index is out of range): the half-precision quantisation scale of pre-process op output index ...
  virtual bool getPreOpCfgScaleFactorByIndex(int32_t index, uint16_t& value) = 0;
  // ... its qobeTensorizationType (or, for a model without pre-process ops, entry 0 is input 0's type) ...
  virtual bool getPreOpCfgTensorTypeByIndex(int32_t index, uint16_t& value) = 0;
  // ... the extra mean/std values (copied; empty in this library) ...
  virtual bool getPreOpCfgExtraMeanStdValues(std::vector<std::vector<uint16_t>>& values) = 0;
  // ... and the stream-memory addresses of the uploaded op records, in record order (copied).  The blocks
  // stay owned by the model and valid until its next load or its destruction.
  virtual bool getPreOpCfgAddrList(std::vector<uint64_t>& addrs) = 0;
  virtual bool isDynamic() = 0;

  // The operations above come first, in that order; what follows is this library's own addition.
  //
  // getMaxBatchSize(shapes, size) for the application's array of `count` shapes.  The model checks the
  // count against its inputs before it reads the array, so a count larger than the array reads nothing
  // beyond it.
  virtual bool getMaxBatchSize(const qobmShape* shapes, uint32_t count, uint32_t& size) {
    return getMaxBatchSize(std::vector<qoblShape>(shapes, shapes + count), size);
  }
  // setInputShape(shapes) from the application's array of `count` shapes, checked the same way.
  virtual bool setInputShape(const qobmShape* shapes, uint32_t count) {
    return setInputShape(std::vector<qoblShape>(shapes, shapes + count));
  }
  // getBatchSize, getInputCount and getOutputCount in that order, each output left as it was when its
  // getter fails (with that getter's log line): what every device run of a run-model op asks.
  virtual void getRunCounts(uint32_t& batch, uint32_t& inputs, uint32_t& outputs) {
    getBatchSize(batch);
    getInputCount(inputs);
    getOutputCount(outputs);
  }
  // The card the model was loaded on into `dev`; false when the model does not say.
  virtual bool cardOf(uint32_t& dev) {
    (void)dev;
    return false;
  }
  // The lock that serialises the model's operations (null: the model serialises nothing).  Whoever holds
  // it may call the model; its loads cannot interleave with another thread's.
  virtual std::recursive_mutex* configurationLock() { return nullptr; }
  // Raised by every load of the model (batch size or shapes set), so that a holder of the lock sees
  // whether the model was loaded by someone else since it looked.
  virtual uint64_t configurationGeneration() { return 0; }
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_I_MODEL_H
