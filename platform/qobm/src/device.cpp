// The calling thread's current device and the card's application memory on it.
#include <cstdint>

#include "qobcrt/qobcrt.h"
#include "qobm_internal.h"

namespace {

using zenlar::qobm::guarded;

constexpr int64_t kNoDevice = -1;
// In the static TLS block: reading it is one load, with no __tls_get_addr call.
__attribute__((tls_model("initial-exec"))) thread_local int64_t tCurrentDevice = kNoDevice;

// The thread's current device: the one it set, or for the card's own threads (engine and reporter) the
// device they serve.  False when there is none.
bool currentDevice(uint32_t* dev) {
  if (tCurrentDevice != kNoDevice) {
    *dev = static_cast<uint32_t>(tCurrentDevice);
    return true;
  }
  uint32_t cardDev = 0;
  if (qobcrt_thread_device(&cardDev) != 0) return false;
  *dev = cardDev;
  return true;
}

}  // namespace

extern "C" {

int qobmSetDevice(uint32_t dev) {
  return guarded([&] {
    uint32_t count = 0;
    int rc = qobcrt_get_device_count(&count);
    if (rc != 0) return rc;
    if (dev >= count) return QOBM_ERR_DEVICE;
    tCurrentDevice = dev;
    return QOBM_SUCCESS;
  });
}

int qobmGetDevice(uint32_t* dev) {
  return guarded([&] {
    if (dev == nullptr) return QOBM_ERR_INVALID_PARAM;
    uint32_t current = 0;
    if (!currentDevice(&current)) return QOBM_ERR_NO_DEVICE;
    *dev = current;
    return QOBM_SUCCESS;
  });
}

int qobmMalloc(uint64_t size, uint64_t* addr) {
  return guarded([&] {
    if (addr == nullptr) return QOBM_ERR_INVALID_PARAM;
    uint32_t dev = 0;
    if (!currentDevice(&dev)) return QOBM_ERR_NO_DEVICE;
    uint64_t got = 0;
    int rc = qobcrt_malloc_app(dev, size, &got);
    if (rc != 0) return rc;
    *addr = got;
    return QOBM_SUCCESS;
  });
}

int qobmFree(uint64_t addr) {
  return guarded([&] {
    uint32_t dev = 0;
    if (!currentDevice(&dev)) return QOBM_ERR_NO_DEVICE;
    return qobcrt_free_app(dev, addr);
  });
}

int qobmMemcpy(uint64_t dst, uint64_t src, uint64_t size, uint32_t kind) {
  return guarded([&] {
    uint32_t dev = 0;
    if (!currentDevice(&dev)) return QOBM_ERR_NO_DEVICE;
    switch (kind) {
      case qobmMEMCPY_HOST_TO_DEVICE:
        if (src == 0) return QOBM_ERR_INVALID_PARAM;
        return qobcrt_memcpy(dev, reinterpret_cast<const void*>(static_cast<uintptr_t>(src)), size, dst, kHost2Ddr);
      case qobmMEMCPY_DEVICE_TO_HOST:
        if (dst == 0) return QOBM_ERR_INVALID_PARAM;
        return qobcrt_memcpy_d2h(dev, src, size, reinterpret_cast<void*>(static_cast<uintptr_t>(dst)));
      case qobmMEMCPY_DEVICE_TO_DEVICE:
        return qobcrt_memcpy_d2d(dev, src, size, dst);
      default:
        return QOBM_ERR_INVALID_PARAM;
    }
  });
}

}  // extern "C"
