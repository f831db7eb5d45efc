// Device-wide waits.
#include "device_synchronizer.h"

#include <chrono>

#include "qobl_log.h"
#include "stream.h"

namespace zenlar {
namespace qobl {

bool DeviceSynchronizer::addStream(IOpStream* stream) {
  std::lock_guard<std::recursive_mutex> lock(streamsMutex_);
  if (stream == nullptr || stream->deviceId() != deviceId_) return false;
  streams_.insert(stream);
  return true;
}

void DeviceSynchronizer::removedStream(IOpStream* stream) {
  std::lock_guard<std::recursive_mutex> lock(streamsMutex_);
  streams_.erase(stream);
}

qoblErr DeviceSynchronizer::synchronize(uint32_t timeout) {
  std::lock_guard<std::recursive_mutex> lock(streamsMutex_);
  const auto start = std::chrono::steady_clock::now();
  for (IOpStream* s : streams_) s->setWaitingState();
  for (auto it = streams_.begin(); it != streams_.end(); ++it) {
    uint32_t left = timeout;
    if (timeout != UINT32_MAX) {
      const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start).count();
      left = spent >= static_cast<int64_t>(timeout) ? 0 : static_cast<uint32_t>(timeout - spent);
    }
    if ((*it)->synchronize(left) == qoblERR_STREAM_SYNC_TIMEOUT) {
      for (auto rest = std::next(it); rest != streams_.end(); ++rest) {
        if (auto* op = dynamic_cast<OpStream*>(*rest)) op->clearWaitingState();
      }
      QOBL_LOG_INFO("Timeout occured when waiting for device completion.");
      return qoblERR_DEVICE_SYNC_TIMEOUT;
    }
  }
  return qoblERR_SUCCESS;
}

}  // namespace qobl
}  // namespace zenlar
