// Accessors of op-engine attributes.  They hold no state and take no lock: whatever the op engine offers per
// op is what they have.  Failure is signalled only by neutral results (0, false, empty); nothing is logged.
// Every read pre-sets its result, and relies on a failed op-engine read leaving it untouched.
#ifndef QOBL_UTILS_OP_ATTR_UTILS_H
#define QOBL_UTILS_OP_ATTR_UTILS_H

#include <cstdint>
#include <string>
#include <vector>

#include <qobe/qobe.h>

#include "qobl_shape.h"

namespace zenlar {
namespace qobl {

uint32_t qobeOpUid(qobeOp* op);                // "uid"; 0 on failure
int32_t qobeOpTypeId(qobeOp* op);              // "type_id"; 0 on failure
uint32_t getQobeOpType(qobeOp* op);            // "op_type"; 0 on failure
uint32_t qobeOpDeviceId(qobeOp* op);           // "device_id"; 0 on failure
bool setQobeOpDeviceId(qobeOp* op, uint32_t deviceId);  // true when the engine accepted the write
uint32_t qobeOpConfigCount(qobeOp* op);        // "config_count"; 0 on failure
// Asks the engine for fresh configuration blocks ("update_config_list" = config count) and returns their
// addresses ("config_address"); empty when the count is 0 (then nothing is written) or on any failure.
// The blocks belong to the caller, who frees each with qobcrt_free_stream on the op's device.
std::vector<uint64_t> qobeOpConfigList(qobeOp* op);
uint32_t qobeOpBufferCount(qobeOp* op);        // "buffer_count"; 0 on failure
std::string qobeOpName(qobeOp* op);            // text behind "name"; empty when absent
uint32_t qobeOpInputCount(qobeOp* op);         // "input_count"; 0 on failure
uint32_t qobeOpOutputCount(qobeOp* op);        // "output_count"; 0 on failure
// "input_size" / "output_size" elements 0..count-1; empty at the first element that cannot be read.
std::vector<uint32_t> qobeOpInputSizes(qobeOp* op);
std::vector<uint32_t> qobeOpOutputSizes(qobeOp* op);
bool isRunmodelInput(qobeOp* op);              // "is_runmodel_input"; false on failure
bool isAllPropertiesConfigured(qobeOp* op);    // "is_all_properties_configured"; false on failure
// "keep_core_layout" (BOOL, set by the application on a run-model op): the op's outputs are wanted in the
// card's core layout, without a memory-copy op; false when absent.
constexpr const char* kKeepCoreLayoutAttr = "keep_core_layout";
bool keepsCoreLayout(qobeOp* op);
uint64_t qobeBufferAddr(qobeOp* op);           // "buffer_address" (element 0); 0 on failure
// One shape per input / output, copied from the qobmShape each "input_shape" / "output_shape" element
// points to; empty at the first element that cannot be read.
std::vector<qoblShape> qobeOpInputShape(qobeOp* op);
std::vector<qoblShape> qobeOpOutputShape(qobeOp* op);

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_UTILS_OP_ATTR_UTILS_H
