// Device-wide waits.
#include "device_synchronizer.h"

#include <chrono>
#include <vector>

#include "op_stream_controller.h"
#include "qobl_log.h"
#include "stream.h"

namespace zenlar {
namespace qobl {

void DeviceSynchronizer::waitForDeviceWaits(std::unique_lock<std::recursive_mutex>& lock) {
  // A report callback's thread may be the one the device wait needs: it goes ahead.
  if (deliveringStream() != nullptr) return;
  waitsDone_.wait(lock, [this] { return waitsInProgress_ == 0; });
}

bool DeviceSynchronizer::addStream(IOpStream* stream) {
  std::unique_lock<std::recursive_mutex> lock(streamsMutex_);
  if (stream == nullptr || stream->deviceId() != deviceId_) return false;
  waitForDeviceWaits(lock);
  streams_.insert(stream);
  return true;
}

void DeviceSynchronizer::removedStream(IOpStream* stream) {
  std::unique_lock<std::recursive_mutex> lock(streamsMutex_);
  waitForDeviceWaits(lock);
  streams_.erase(stream);
}

qoblErr DeviceSynchronizer::synchronize(uint32_t timeout) {
  const auto start = std::chrono::steady_clock::now();
  // The streams of the device now, announced as waiting; the set's lock is not held while waiting, so that
  // report callbacks may create and destroy streams of this device meanwhile.
  std::vector<uint32_t> ids;
  {
    std::lock_guard<std::recursive_mutex> lock(streamsMutex_);
    ++waitsInProgress_;
    for (IOpStream* s : streams_) {
      s->setWaitingState();
      ids.push_back(s->id());
    }
  }
  // Application threads that create or destroy a stream of this device wait until the wait has ended.
  struct Done {
    DeviceSynchronizer* self;
    ~Done() {
      {
        std::lock_guard<std::recursive_mutex> lock(self->streamsMutex_);
        --self->waitsInProgress_;
      }
      self->waitsDone_.notify_all();
    }
  } done{this};
  for (size_t i = 0; i < ids.size(); ++i) {
    uint32_t left = timeout;
    if (timeout != UINT32_MAX) {
      const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start).count();
      left = spent >= static_cast<int64_t>(timeout) ? 0 : static_cast<uint32_t>(timeout - spent);
    }
    // A stream destroyed since the snapshot has nothing left to wait for: its destroy reported every input.
    qoblErr rc = qoblERR_SUCCESS;
    {
      const StreamRef stream = StreamRef::byId(ids[i]);
      if (!stream) continue;
      rc = stream->synchronize(left);
    }
    if (rc == qoblERR_STREAM_SYNC_TIMEOUT) {
      const std::set<uint32_t> rest(ids.begin() + static_cast<std::ptrdiff_t>(i) + 1, ids.end());
      {
        std::lock_guard<std::recursive_mutex> lock(streamsMutex_);
        for (IOpStream* s : streams_) {
          if (rest.count(s->id()) != 0) s->clearWaitingState();
        }
      }
      QOBL_LOG_INFO("Timeout occured when waiting for device completion.");
      return qoblERR_DEVICE_SYNC_TIMEOUT;
    }
  }
  return qoblERR_SUCCESS;
}

}  // namespace qobl
}  // namespace zenlar
