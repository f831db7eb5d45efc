// Attribute store of one op and the configuration-block update of the generic pre-processing op.
#include "op.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include <qobcrt/qobcrt.h>
#include <qobe/qobe.h>
#include <qobcrt/qobcrt_preproc.h>

namespace zenlar {
namespace qobe {

namespace {

constexpr uint32_t kMaxConfigBlocks = 64;

bool hasDecimalSuffix(const std::string& key, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (key.size() <= n || key.compare(0, n, prefix) != 0) return false;
  for (size_t i = n; i < key.size(); ++i) {
    if (key[i] < '0' || key[i] > '9') return false;
  }
  return true;
}

// Type code of the keys whose type is fixed by the engine; 0 for free keys.
uint32_t builtinType(const std::string& key) {
  static const std::unordered_map<std::string, uint32_t> kTypes = {
      {"uid", qobeATTR_UINT32},
      {"op_type", qobeATTR_UINT32},
      {"type_id", qobeATTR_INT32},
      {"name", qobeATTR_UINT64},
      {"device_id", qobeATTR_UINT32},
      {"config_count", qobeATTR_UINT32},
      {"buffer_count", qobeATTR_UINT32},
      {"buffer_size", qobeATTR_UINT32},
      {"input_count", qobeATTR_UINT32},
      {"output_count", qobeATTR_UINT32},
      {"input_size", qobeATTR_UINT32},
      {"output_size", qobeATTR_UINT32},
      {"input_shape", qobeATTR_UINT64},
      {"output_shape", qobeATTR_UINT64},
      {"is_runmodel_input", qobeATTR_BOOL},
      {"is_all_properties_configured", qobeATTR_BOOL},
      {"model_addr", qobeATTR_UINT64},
      {"config_address", qobeATTR_UINT64},
      {"buffer_address", qobeATTR_UINT64},
      {"update_config_list", qobeATTR_UINT32},
  };
  auto it = kTypes.find(key);
  if (it != kTypes.end()) return it->second;
  if (hasDecimalSuffix(key, "scale")) return qobeATTR_FLOAT32;
  if (hasDecimalSuffix(key, "tensor_type")) return qobeATTR_INT32;
  return 0;
}

float rawToFloat(uint64_t raw) {
  const uint32_t bits = static_cast<uint32_t>(raw);
  float f;
  std::memcpy(&f, &bits, sizeof(f));
  return f;
}

const char* kindName(uint32_t kind) {
  switch (kind) {
    case qobeOP_INPUT_OP: return "input_op_";
    case qobeOP_RUN_MODEL_OP: return "run_model_op_";
    case qobeOP_PREPROCESS_OP: return "preprocess_op_";
    default: return "mem_copy_op_";
  }
}

int32_t kindTypeId(uint32_t kind) {
  switch (kind) {
    case qobeOP_INPUT_OP: return qobeTYPE_ID_INPUT;
    case qobeOP_RUN_MODEL_OP: return qobeTYPE_ID_RUN_MODEL;
    case qobeOP_PREPROCESS_OP: return qobeTYPE_ID_PREPROCESS;
    default: return qobeTYPE_ID_MEM_COPY;
  }
}

// Conversion of a tensorisation type, or -1 for values the op cannot apply.
int conversionOf(int32_t tensorType) {
  switch (tensorType) {
    case qobeTENSORIZATION_NONE: return QOBCRT_PREPROC_CONV_COPY;
    case qobeTENSORIZATION_UINT8:
    case qobeTENSORIZATION_UINT8_INTERLEAVE: return QOBCRT_PREPROC_CONV_QUANT_U8;
    case qobeTENSORIZATION_FP16:
    case qobeTENSORIZATION_FP16_INTERLEAVE:
    case qobeTENSORIZATION_FP16_INTERLEAVE_RGB: return QOBCRT_PREPROC_CONV_F16;
    default: return -1;
  }
}

// Frees the blocks of a failed update; the first code that matters was already returned to the caller.
void releaseAll(uint32_t dev, const std::vector<uint64_t>& configs, const std::vector<uint64_t>& buffers) {
  for (uint64_t a : configs) (void)qobcrt_free_stream(dev, a);
  for (uint64_t a : buffers) (void)qobcrt_free_ddr_share(dev, a);
}

// A number of the calling thread that no later thread gets again, unlike its std::thread::id, which Linux
// gives to a new thread once the old one was joined.
uint64_t threadSerial() {
  static std::atomic<uint64_t> next{0};
  thread_local const uint64_t serial = ++next;
  return serial;
}

}  // namespace

bool isKnownType(uint32_t type) {
  return type == qobeATTR_INT32 || type == qobeATTR_BOOL || type == qobeATTR_UINT32 || type == qobeATTR_UINT64 ||
         type == qobeATTR_FLOAT32;
}

uint64_t floatToRaw(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

Op::Op(uint32_t kind, uint32_t uid) : kind_(kind), uid_(uid) {
  attrs_["uid"] = {qobeATTR_UINT32, {uid}};
  attrs_["op_type"] = {qobeATTR_UINT32, {kind}};
  attrs_["type_id"] = {qobeATTR_INT32, {static_cast<uint32_t>(kindTypeId(kind))}};
  names_.push_back(std::string(kindName(kind)) + std::to_string(uid));
  attrs_["name"] = {qobeATTR_UINT64, {reinterpret_cast<uint64_t>(names_.back().c_str())}};
  attrs_["device_id"] = {qobeATTR_UINT32, {0}};
  attrs_["config_count"] = {qobeATTR_UINT32, {kind == qobeOP_PREPROCESS_OP ? 1u : 0u}};
  attrs_["buffer_count"] = {qobeATTR_UINT32, {0}};
  if (kind == qobeOP_PREPROCESS_OP) attrs_["buffer_size"] = {qobeATTR_UINT32, {4096}};
  attrs_["input_count"] = {qobeATTR_UINT32, {0}};
  attrs_["output_count"] = {qobeATTR_UINT32, {0}};
  attrs_["is_runmodel_input"] = {qobeATTR_BOOL, {0}};
  // For a pre-processing op this one is computed on every read.
  if (kind != qobeOP_PREPROCESS_OP) attrs_["is_all_properties_configured"] = {qobeATTR_BOOL, {1}};
}

const AttrValue* Op::find(const std::string& key) const {
  auto it = attrs_.find(key);
  return it == attrs_.end() ? nullptr : &it->second;
}

uint32_t Op::readU32(const char* key, uint32_t fallback) const {
  const AttrValue* a = find(key);
  if (a == nullptr || a->type != qobeATTR_UINT32 || a->values.empty()) return fallback;
  return static_cast<uint32_t>(a->values[0]);
}

int Op::set(const std::string& key, uint32_t type, const std::vector<uint64_t>& values) {
  if (!isKnownType(type)) return qobeERR_TYPE;
  if (values.empty()) return qobeERR_INVALID_ARG;
  const uint32_t fixed = builtinType(key);
  if (fixed != 0 && fixed != type) return qobeERR_TYPE;

  std::lock_guard<std::mutex> lock(mutex_);
  if (key == "uid") return qobeERR_READ_ONLY;
  if (key == "is_all_properties_configured" && kind_ == qobeOP_PREPROCESS_OP) return qobeERR_READ_ONLY;
  if (key == "name") return setName(values);
  if (key == "input_shape" || key == "output_shape") return setShapes(key, values);
  if (key == "update_config_list") {
    if (values.size() != 1) return qobeERR_INVALID_ARG;
    return updateConfigList(static_cast<uint32_t>(values[0]));
  }
  if (key == "config_address") {
    for (auto& p : published_) p.second.configs = values;
  } else if (key == "buffer_address") {
    for (auto& p : published_) p.second.buffers = values;
  }
  AttrValue& a = attrs_[key];
  a.type = type;
  a.values = values;
  return qobeSUCCESS;
}

int Op::setName(const std::vector<uint64_t>& values) {
  if (values.size() != 1 || values[0] == 0) return qobeERR_INVALID_ARG;
  names_.emplace_back(reinterpret_cast<const char*>(static_cast<uintptr_t>(values[0])));
  attrs_["name"] = {qobeATTR_UINT64, {reinterpret_cast<uint64_t>(names_.back().c_str())}};
  return qobeSUCCESS;
}

int Op::setShapes(const std::string& key, const std::vector<uint64_t>& values) {
  for (uint64_t v : values) {
    if (v == 0) return qobeERR_INVALID_ARG;
    if (reinterpret_cast<const qobmShape*>(static_cast<uintptr_t>(v))->ndims > 6) return qobeERR_INVALID_ARG;
  }
  std::vector<uint64_t> own;
  own.reserve(values.size());
  for (uint64_t v : values) {
    shapes_.push_back(*reinterpret_cast<const qobmShape*>(static_cast<uintptr_t>(v)));
    own.push_back(reinterpret_cast<uint64_t>(&shapes_.back()));
  }
  attrs_[key] = {qobeATTR_UINT64, std::move(own)};
  return qobeSUCCESS;
}

int Op::get(const std::string& key, uint32_t type, uint32_t index, void* result) {
  if (!isKnownType(type)) return qobeERR_TYPE;
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t raw = 0;
  if (key == "is_all_properties_configured" && kind_ == qobeOP_PREPROCESS_OP) {
    if (type != qobeATTR_BOOL) return qobeERR_TYPE;
    if (index != 0) return qobeERR_INDEX;
    raw = allConfigured() ? 1 : 0;
  } else {
    const std::vector<uint64_t>* values = nullptr;
    if (key == "config_address" || key == "buffer_address") {
      if (const Published* own = ownUpdate()) {
        if (type != qobeATTR_UINT64) return qobeERR_TYPE;
        values = key == "config_address" ? &own->configs : &own->buffers;
      }
    }
    if (values == nullptr) {
      const AttrValue* a = find(key);
      if (a == nullptr) return qobeERR_NOT_FOUND;
      if (a->type != type) return qobeERR_TYPE;
      values = &a->values;
    }
    if (index >= values->size()) return qobeERR_INDEX;
    raw = (*values)[index];
  }
  switch (type) {
    case qobeATTR_BOOL: {
      const uint8_t b = raw != 0 ? 1 : 0;
      std::memcpy(result, &b, 1);
      break;
    }
    case qobeATTR_UINT64:
      std::memcpy(result, &raw, 8);
      break;
    default: {  // INT32, UINT32, FLOAT32: 32 bits
      const uint32_t w = static_cast<uint32_t>(raw);
      std::memcpy(result, &w, 4);
      break;
    }
  }
  return qobeSUCCESS;
}

int Op::count(const std::string& key, uint32_t* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (key == "is_all_properties_configured" && kind_ == qobeOP_PREPROCESS_OP) {
    *count = 1;
    return qobeSUCCESS;
  }
  if (key == "config_address" || key == "buffer_address") {
    if (const Published* own = ownUpdate()) {
      *count = static_cast<uint32_t>(key == "config_address" ? own->configs.size() : own->buffers.size());
      return qobeSUCCESS;
    }
  }
  const AttrValue* a = find(key);
  if (a == nullptr) return qobeERR_NOT_FOUND;
  *count = static_cast<uint32_t>(a->values.size());
  return qobeSUCCESS;
}

bool Op::allConfigured() const {
  std::vector<unsigned char> block;
  return buildBlock({}, 0, block);
}

bool Op::buildBlock(const std::vector<uint64_t>& buffers, uint32_t bufferSize,
                    std::vector<unsigned char>& block) const {
  const uint32_t inputs = readU32("input_count", 0);
  const uint32_t outputs = readU32("output_count", 0);
  if (inputs == 0 || inputs != outputs || inputs > QOBCRT_PREPROC_MAX_TENSORS) return false;
  const AttrValue* inSizes = find("input_size");
  const AttrValue* outSizes = find("output_size");
  if (inSizes == nullptr || outSizes == nullptr || inSizes->values.size() < inputs ||
      outSizes->values.size() < inputs)
    return false;

  const uint32_t nbuf = static_cast<uint32_t>(buffers.size());
  block.assign(qobcrt_preproc_block_bytes(inputs, nbuf), 0);
  qobcrt_preproc_header h{};
  h.magic = QOBCRT_PREPROC_MAGIC;
  h.version = QOBCRT_PREPROC_VERSION;
  h.header_bytes = sizeof(qobcrt_preproc_header);
  h.block_bytes = static_cast<uint32_t>(block.size());
  h.op_uid = uid_;
  h.tensor_count = inputs;
  h.buffer_count = nbuf;
  std::memcpy(block.data(), &h, sizeof(h));

  const AttrValue* scale0 = find("scale0");
  for (uint32_t t = 0; t < inputs; ++t) {
    const std::string idx = std::to_string(t);
    const AttrValue* tt = find("tensor_type" + idx);
    const int32_t tensorType = (tt != nullptr && !tt->values.empty()) ? static_cast<int32_t>(tt->values[0]) : 0;
    const int conv = conversionOf(tensorType);
    if (conv < 0) return false;
    const AttrValue* sc = find("scale" + idx);
    if (sc == nullptr) sc = scale0;
    float scale = (sc != nullptr && !sc->values.empty()) ? rawToFloat(sc->values[0]) : 1.0f;
    if (!(scale > 0.0f) || std::isinf(scale)) scale = 1.0f;

    qobcrt_preproc_tensor e{};
    e.conversion = static_cast<uint32_t>(conv);
    e.tensor_type = tensorType;
    e.scale = scale;
    e.in_bytes = static_cast<uint32_t>(inSizes->values[t]);
    e.out_bytes = static_cast<uint32_t>(outSizes->values[t]);
    if (conv == QOBCRT_PREPROC_CONV_COPY) {
      e.in_elem_bytes = 1;
      e.out_elem_bytes = 1;
      e.element_count = e.in_bytes;
    } else {
      e.in_elem_bytes = 4;
      e.out_elem_bytes = conv == QOBCRT_PREPROC_CONV_QUANT_U8 ? 1 : 2;
      if (e.in_bytes % 4 != 0) return false;
      e.element_count = e.in_bytes / 4;
    }
    if (static_cast<uint64_t>(e.element_count) * e.out_elem_bytes > e.out_bytes) return false;
    std::memcpy(block.data() + sizeof(h) + t * sizeof(e), &e, sizeof(e));
  }
  for (uint32_t k = 0; k < nbuf; ++k) {
    qobcrt_preproc_buffer b{buffers[k], bufferSize};
    std::memcpy(block.data() + sizeof(h) + inputs * sizeof(qobcrt_preproc_tensor) + k * sizeof(b), &b, sizeof(b));
  }
  return true;
}

int Op::updateConfigList(uint32_t count) {
  if (kind_ != qobeOP_PREPROCESS_OP) return qobeERR_UNSUPPORTED;
  const uint32_t configCount = readU32("config_count", 0);
  if (configCount == 0) return qobeERR_UNSUPPORTED;
  if (count != configCount || count > kMaxConfigBlocks) return qobeERR_INVALID_ARG;
  const uint32_t nbuf = readU32("buffer_count", 0);
  const uint32_t bufferSize = readU32("buffer_size", 0);
  if (nbuf > QOBCRT_PREPROC_MAX_BUFFERS || (nbuf > 0 && bufferSize == 0)) return qobeERR_INVALID_ARG;
  if (!allConfigured()) return qobeERR_NOT_CONFIGURED;
  const uint32_t dev = readU32("device_id", 0);

  std::vector<uint64_t> buffers;
  std::vector<uint64_t> configs;
  for (uint32_t k = 0; k < nbuf; ++k) {
    uint64_t addr = 0;
    const int rc = qobcrt_malloc_ddr_share(dev, 0, bufferSize, &addr);
    if (rc != 0) {
      releaseAll(dev, configs, buffers);
      return rc;
    }
    buffers.push_back(addr);
  }
  std::vector<unsigned char> block;
  if (!buildBlock(buffers, bufferSize, block)) {  // cannot happen after allConfigured(); kept for safety
    releaseAll(dev, configs, buffers);
    return qobeERR_NOT_CONFIGURED;
  }
  for (uint32_t i = 0; i < count; ++i) {
    qobcrt_preproc_header h;
    std::memcpy(&h, block.data(), sizeof(h));
    h.block_index = i;
    std::memcpy(block.data(), &h, sizeof(h));
    uint64_t addr = 0;
    int rc = qobcrt_malloc_stream(dev, 0, block.size(), &addr);
    if (rc != 0) {
      releaseAll(dev, configs, buffers);
      return rc;
    }
    configs.push_back(addr);
    rc = qobcrt_memcpy(dev, block.data(), block.size(), addr, kHost2Ddr);
    if (rc != 0) {
      releaseAll(dev, configs, buffers);
      return rc;
    }
  }
  attrs_["config_address"] = {qobeATTR_UINT64, configs};
  attrs_["buffer_address"] = {qobeATTR_UINT64, buffers};
  attrs_["update_config_list"] = {qobeATTR_UINT32, {count}};
  published_[std::this_thread::get_id()] = Published{std::move(configs), std::move(buffers), threadSerial()};
  return qobeSUCCESS;
}

const Op::Published* Op::ownUpdate() const {
  const auto it = published_.find(std::this_thread::get_id());
  return it != published_.end() && it->second.thread == threadSerial() ? &it->second : nullptr;
}

}  // namespace qobe
}  // namespace zenlar
