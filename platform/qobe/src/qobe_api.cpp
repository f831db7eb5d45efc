// C entry points of the op engine and the registry of live ops.
//
// Handles are opaque tokens made from the op's uid (never pointers to memory), so a destroyed or foreign
// handle is simply not found in the registry, and a handle value is never reused.  The registry holds a
// shared_ptr per op: a call looks the op up, keeps it alive while it runs, and a concurrent destroy only
// removes it from the registry.
#include <cstdarg>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include <qobe/qobe.h>

#include "op.h"

namespace zenlar {
namespace qobe {
namespace {

constexpr uint32_t kMaxUid = 0x7fffffffu;      // bit 31 marks the end of a run and is never part of a uid
constexpr uint32_t kMaxValues = 1u << 20;      // values of one attribute
constexpr uintptr_t kHandleTag = 0x0b0e000000000000ull;

struct Registry {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<Op>> ops;
  uint32_t nextUid = 1;
};

// Never destroyed, so calls made while the process exits still find a valid registry.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

uintptr_t handleOf(uint32_t uid) { return kHandleTag | (static_cast<uintptr_t>(uid) << 4); }

std::shared_ptr<Op> lookup(qobeOp* op) {
  if (op == nullptr) return nullptr;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.ops.find(reinterpret_cast<uintptr_t>(op));
  return it == r.ops.end() ? nullptr : it->second;
}

template <typename F>
int guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return qobeERR_NO_MEMORY;
  } catch (...) {
    return qobeERR_INTERNAL;
  }
}

}  // namespace
}  // namespace qobe
}  // namespace zenlar

using zenlar::qobe::Op;
using zenlar::qobe::guarded;
using zenlar::qobe::lookup;
using zenlar::qobe::registry;

extern "C" int qobeCreateOp(uint32_t kind, qobeOp** op) {
  if (op == nullptr) return qobeERR_INVALID_ARG;
  if (kind != qobeOP_INPUT_OP && kind != qobeOP_RUN_MODEL_OP && kind != qobeOP_PREPROCESS_OP &&
      kind != qobeOP_MEM_COPY_OP)
    return qobeERR_INVALID_ARG;
  return guarded([&] {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.nextUid > zenlar::qobe::kMaxUid) return static_cast<int>(qobeERR_EXHAUSTED);
    const uint32_t uid = r.nextUid;
    auto created = std::make_shared<Op>(kind, uid);
    const uintptr_t handle = zenlar::qobe::handleOf(uid);
    r.ops.emplace(handle, std::move(created));
    ++r.nextUid;
    *op = reinterpret_cast<qobeOp*>(handle);
    return static_cast<int>(qobeSUCCESS);
  });
}

extern "C" int qobeDestroyOp(qobeOp* op) {
  if (op == nullptr) return qobeERR_INVALID_ARG;
  return guarded([&] {
    std::shared_ptr<Op> doomed;  // released after the registry lock
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.ops.find(reinterpret_cast<uintptr_t>(op));
    if (it == r.ops.end()) return static_cast<int>(qobeERR_INVALID_OP);
    doomed = std::move(it->second);
    r.ops.erase(it);
    return static_cast<int>(qobeSUCCESS);
  });
}

extern "C" int qobeSetOpAttr(qobeOp* op, const char* key, uint32_t type, uint32_t count, ...) {
  if (key == nullptr || count == 0 || count > zenlar::qobe::kMaxValues) return qobeERR_INVALID_ARG;
  if (!zenlar::qobe::isKnownType(type)) return qobeERR_TYPE;
  // Consume the variadic part first: it belongs to this call frame.
  std::vector<uint64_t> values;
  try {
    values.reserve(count);
  } catch (...) {
    return qobeERR_NO_MEMORY;
  }
  va_list ap;
  va_start(ap, count);
  for (uint32_t i = 0; i < count; ++i) {
    switch (type) {
      case qobeATTR_INT32:
        values.push_back(static_cast<uint32_t>(va_arg(ap, int)));
        break;
      case qobeATTR_BOOL:
        values.push_back(va_arg(ap, int) != 0 ? 1 : 0);
        break;
      case qobeATTR_UINT32:
        values.push_back(va_arg(ap, unsigned int));
        break;
      case qobeATTR_UINT64:
        values.push_back(va_arg(ap, uint64_t));
        break;
      default:  // FLOAT32, promoted to double
        values.push_back(zenlar::qobe::floatToRaw(static_cast<float>(va_arg(ap, double))));
        break;
    }
  }
  va_end(ap);
  return guarded([&] {
    auto o = lookup(op);
    if (!o) return static_cast<int>(qobeERR_INVALID_OP);
    return o->set(key, type, values);
  });
}

extern "C" int qobeGetOpAttr(qobeOp* op, const char* key, uint32_t type, void* result) {
  if (key == nullptr || result == nullptr) return qobeERR_INVALID_ARG;
  return guarded([&] {
    auto o = lookup(op);
    if (!o) return static_cast<int>(qobeERR_INVALID_OP);
    return o->get(key, type, 0, result);
  });
}

extern "C" int qobeGetOpAttrArray(qobeOp* op, const char* key, uint32_t type, uint32_t index, void* result) {
  if (key == nullptr || result == nullptr) return qobeERR_INVALID_ARG;
  return guarded([&] {
    auto o = lookup(op);
    if (!o) return static_cast<int>(qobeERR_INVALID_OP);
    return o->get(key, type, index, result);
  });
}

extern "C" int qobeGetOpAttrCount(qobeOp* op, const char* key, uint32_t* count) {
  if (key == nullptr || count == nullptr) return qobeERR_INVALID_ARG;
  return guarded([&] {
    auto o = lookup(op);
    if (!o) return static_cast<int>(qobeERR_INVALID_OP);
    return o->count(key, count);
  });
}

extern "C" uint32_t qobeLiveOpCount(void) {
  try {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return static_cast<uint32_t>(r.ops.size());
  } catch (...) {
    return 0;
  }
}

extern "C" int qobeDebugSetNextUid(uint32_t next) {
  return guarded([&] {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (next < r.nextUid || next > zenlar::qobe::kMaxUid) return static_cast<int>(qobeERR_INVALID_ARG);
    r.nextUid = next;
    return static_cast<int>(qobeSUCCESS);
  });
}
