// Accessors of op-engine attributes (see op_attr_utils.h).
#include "utils/op_attr_utils.h"

namespace zenlar {
namespace qobl {

namespace {

template <typename T>
T readScalar(qobeOp* op, const char* key, uint32_t type) {
  T value = 0;
  (void)qobeGetOpAttr(op, key, type, &value);  // a failed read leaves the pre-set 0
  return value;
}

bool readBool(qobeOp* op, const char* key) {
  uint8_t value = 0;
  (void)qobeGetOpAttr(op, key, qobeATTR_BOOL, &value);
  return value != 0;
}

uint32_t readCount(qobeOp* op, const char* key) {
  uint32_t value = 0;
  if (qobeGetOpAttr(op, key, qobeATTR_UINT32, &value) != 0) return 0;
  return value;
}

// `count` entries of an array attribute of type `type`, each converted with `take`; empty when one is
// missing or refused (take returns false).
template <class Raw, class Out, class Take>
std::vector<Out> readArray(qobeOp* op, const char* key, uint32_t type, uint32_t count, Take&& take) {
  std::vector<Out> values;
  values.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    Raw raw{};
    if (qobeGetOpAttrArray(op, key, type, i, &raw) != 0 || !take(raw, values)) return {};
  }
  return values;
}

std::vector<uint32_t> readSizes(qobeOp* op, const char* key, uint32_t count) {
  return readArray<uint32_t, uint32_t>(op, key, qobeATTR_UINT32, count, [](uint32_t v, std::vector<uint32_t>& out) {
    out.push_back(v);
    return true;
  });
}

std::vector<qoblShape> readShapes(qobeOp* op, const char* key, uint32_t count) {
  return readArray<uint64_t, qoblShape>(op, key, qobeATTR_UINT64, count, [](uint64_t p, std::vector<qoblShape>& out) {
    if (p == 0) return false;
    out.emplace_back(*reinterpret_cast<const qobmShape*>(static_cast<uintptr_t>(p)));
    return true;
  });
}

}  // namespace

uint32_t qobeOpUid(qobeOp* op) { return readScalar<uint32_t>(op, "uid", qobeATTR_UINT32); }

int32_t qobeOpTypeId(qobeOp* op) { return readScalar<int32_t>(op, "type_id", qobeATTR_INT32); }

uint32_t getQobeOpType(qobeOp* op) { return readScalar<uint32_t>(op, "op_type", qobeATTR_UINT32); }

uint32_t qobeOpDeviceId(qobeOp* op) { return readScalar<uint32_t>(op, "device_id", qobeATTR_UINT32); }

bool setQobeOpDeviceId(qobeOp* op, uint32_t deviceId) {
  return qobeSetOpAttr(op, "device_id", qobeATTR_UINT32, 1, deviceId) == 0;
}

uint32_t qobeOpConfigCount(qobeOp* op) { return readScalar<uint32_t>(op, "config_count", qobeATTR_UINT32); }

std::vector<uint64_t> qobeOpConfigList(qobeOp* op) {
  const uint32_t count = qobeOpConfigCount(op);
  if (count == 0) return {};
  if (qobeSetOpAttr(op, "update_config_list", qobeATTR_UINT32, 1, count) != 0) return {};
  std::vector<uint64_t> addresses;
  addresses.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t addr = 0;
    if (qobeGetOpAttrArray(op, "config_address", qobeATTR_UINT64, i, &addr) != 0) return {};
    addresses.push_back(addr);
  }
  return addresses;
}

uint32_t qobeOpBufferCount(qobeOp* op) { return readScalar<uint32_t>(op, "buffer_count", qobeATTR_UINT32); }

std::string qobeOpName(qobeOp* op) {
  const uint64_t text = readScalar<uint64_t>(op, "name", qobeATTR_UINT64);
  if (text == 0) return std::string();
  return std::string(reinterpret_cast<const char*>(static_cast<uintptr_t>(text)));
}

uint32_t qobeOpInputCount(qobeOp* op) { return readCount(op, "input_count"); }

uint32_t qobeOpOutputCount(qobeOp* op) { return readCount(op, "output_count"); }

std::vector<uint32_t> qobeOpInputSizes(qobeOp* op) { return readSizes(op, "input_size", qobeOpInputCount(op)); }

std::vector<uint32_t> qobeOpOutputSizes(qobeOp* op) {
  return readSizes(op, "output_size", qobeOpOutputCount(op));
}

bool isRunmodelInput(qobeOp* op) { return readBool(op, "is_runmodel_input"); }

bool isAllPropertiesConfigured(qobeOp* op) { return readBool(op, "is_all_properties_configured"); }

bool keepsCoreLayout(qobeOp* op) { return readBool(op, kKeepCoreLayoutAttr); }

uint64_t qobeBufferAddr(qobeOp* op) { return readScalar<uint64_t>(op, "buffer_address", qobeATTR_UINT64); }

std::vector<qoblShape> qobeOpInputShape(qobeOp* op) {
  return readShapes(op, "input_shape", qobeOpInputCount(op));
}

std::vector<qoblShape> qobeOpOutputShape(qobeOp* op) {
  return readShapes(op, "output_shape", qobeOpOutputCount(op));
}

}  // namespace qobl
}  // namespace zenlar
