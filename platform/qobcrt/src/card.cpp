// The card object: devices built from the environment on first use, torn down at process exit.
#include "card.h"

#include <cstdlib>
#include <cstring>

namespace zenlar {
namespace qobcrt {

namespace {

// Parses a decimal environment value in [lo, hi]; anything else yields fallback.
uint64_t envNumber(const char* name, uint64_t fallback, uint64_t lo, uint64_t hi) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0' || std::strlen(text) > 9) return fallback;
  uint64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return fallback;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  return (v < lo || v > hi) ? fallback : v;
}

}  // namespace

Card::Card() {
  const uint32_t count = static_cast<uint32_t>(envNumber("QOBCRT_DEVICE_COUNT", 1, 1, kMaxDevices));
  // Each kind owns a window of about 1 GiB, so more than four windows' worth could never be used.
  const uint64_t mb = envNumber("QOBCRT_MEMORY_MB", 1024, 1, 4096);
  devices_.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    auto d = std::make_unique<Device>();
    d->index = i;
    d->capacity = mb << 20;
    devices_.push_back(std::move(d));
  }
}

Card::~Card() {
  for (auto& d : devices_) stopDevice(*d);
}

std::atomic<Card*> g_card{nullptr};

Card& makeCard() {
  static Card instance;
  g_card.store(&instance, std::memory_order_release);
  return instance;
}

}  // namespace qobcrt
}  // namespace zenlar

extern "C" int qobcrt_get_device_count(uint32_t* count) {
  QOBCRT_FAULT_POINT();
  if (count == nullptr) return rtErrInvalidParam;
  return zenlar::qobcrt::guarded([&] {
    *count = zenlar::qobcrt::card().deviceCount();
    return static_cast<int>(rtSuccess);
  });
}
