/*
 * tvm/runtime/card_graph_runtime.h - result codes of the card's graph runtime.
 *
 * Global functions registered by libtvm_runtime:
 *   "tvm.graph_runtime.create"          (graph json, library Module, config Map, int, int* err, int dev_type, int dev_id) -> Module
 *   "tvm.graph_runtime.dynamic_create2" (Array<StringImm> graphs, Array<Module> libs, config Map, int, int* err,
 *                                        int dev_type, int dev_id) -> Module
 *   "tvm.graph_runtime.error_string"    (int code) -> string
 * Every module function ends in an int* error slot, which receives one of the codes below, and returns a
 * value of its result type also on failure (0, "", or an empty list).  The text of a code comes from
 * "tvm.graph_runtime.error_string"; when the calling thread's last failure had that code, the text also
 * carries that failure's detail.  See docs/hardware_config.md for the configuration texts.
 */
#ifndef TVM_RUNTIME_CARD_GRAPH_RUNTIME_H_
#define TVM_RUNTIME_CARD_GRAPH_RUNTIME_H_

namespace tvm {
namespace runtime {

enum CardGraphRuntimeCode : int {
  kCardOk = 0,
  kCardErrInvalidArgument = 6001,   // wrong argument count or type, missing configuration key
  kCardErrDeviceType = 6002,        // device type is not 14
  kCardErrDeviceApi = 6003,         // QOBCRegisterDeviceAPI() has not run
  kCardErrDeviceId = 6004,          // no such device
  kCardErrGraphJson = 6005,         // malformed or inconsistent graph JSON
  kCardErrLibrary = 6006,           // the model library lacks a function the graph calls
  kCardErrParams = 6007,            // malformed parameter blob or a parameter that does not fit the graph
  kCardErrHwConfig = 6008,          // malformed hardware configuration
  kCardErrShapeRanges = 6009,       // malformed "shape_ranges" or "shared_params"
  kCardErrNotLoaded = 6010,         // parameters not loaded yet
  kCardErrBatchSize = 6011,         // batch size 0 or above the largest
  kCardErrUnknownNode = 6012,       // no module node of that name
  kCardErrIndex = 6013,             // input or output index out of range
  kCardErrShape = 6014,             // shapes of the wrong count or rank, or in no member's range
  kCardErrNotDynamic = 6015,        // shape operation on a static model, or no shapes set on a dynamic one
  kCardErrMemoryBudget = 6016,      // not even one batch item fits the memory budget
  kCardErrCard = 6017,              // the card refused to register the module node
  kCardErrExecution = 6018,         // a model function failed while running
};

}  // namespace runtime
}  // namespace tvm

#endif  // TVM_RUNTIME_CARD_GRAPH_RUNTIME_H_
