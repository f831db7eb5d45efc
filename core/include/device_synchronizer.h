// Per-device waiter: qoblSynchronizeDevice waits for every stream of one device.
//
// One synchronizer exists per device that ever had a stream; OpStreamController creates it and never
// deletes it.  It does not own its streams.
//
// Threads: streamsMutex_ (recursive) guards the stream set and the count of device waits in progress; it is
// held only briefly, never while waiting and never together with another lock.  A device wait takes the
// streams of the device at its start and waits for each in turn holding a reference on it
// (StreamRef::byId), which a destroy waits for: a device wait never uses a deleted stream.
// While a device wait is in progress, an application thread that creates or destroys a stream of the
// device waits in addStream / removedStream until it has ended; a report callback does not wait (its
// thread may be the one delivering the reports the device wait waits for), so callbacks may create and
// destroy streams of a device while a thread waits for it.
#ifndef QOBL_DEVICE_SYNCHRONIZER_H
#define QOBL_DEVICE_SYNCHRONIZER_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

#include "qobl_api.h"

namespace zenlar {
namespace qobl {

class IOpStream;

class IDeviceSynchronizer {
 public:
  virtual ~IDeviceSynchronizer() = default;
  // Waits for every stream of the device: 0, or qoblERR_DEVICE_SYNC_TIMEOUT.
  virtual qoblErr synchronize(uint32_t timeout) = 0;
  // False when the stream belongs to another device; adding twice keeps one entry.
  virtual bool addStream(IOpStream* stream) = 0;
  virtual void removedStream(IOpStream* stream) = 0;
};

class DeviceSynchronizer final : public IDeviceSynchronizer {
 public:
  explicit DeviceSynchronizer(uint32_t deviceId) : deviceId_(deviceId) {}
  // The device wait: every stream of the device at its start is announced as waiting first (so none
  // accepts new asynchronous runs), then waited for in address order; streams created meanwhile are not
  // waited for, streams destroyed meanwhile are skipped.  `timeout` (ms, UINT32_MAX without limit) bounds the whole device
  // wait: each stream is given what is left of it.  At the first stream that times out the remaining
  // streams are released from waiting and qoblERR_DEVICE_SYNC_TIMEOUT is returned.
  qoblErr synchronize(uint32_t timeout) override;
  bool addStream(IOpStream* stream) override;
  void removedStream(IOpStream* stream) override;
  uint32_t deviceId() const { return deviceId_; }

 private:
  uint32_t deviceId_;
  // Waits while a device wait is in progress, unless the caller is a report callback.  Holds `lock`.
  void waitForDeviceWaits(std::unique_lock<std::recursive_mutex>& lock);

  std::set<IOpStream*> streams_;
  std::recursive_mutex streamsMutex_;
  uint32_t waitsInProgress_ = 0;                // device waits of this device now
  std::condition_variable_any waitsDone_;       // signalled when one ends
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_DEVICE_SYNCHRONIZER_H
