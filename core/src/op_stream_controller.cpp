// The stream registry.
#include "op_stream_controller.h"

#include <qobcrt/qobcrt.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <thread>

#include "device_synchronizer.h"
#include "op_graph_controller.h"
#include "qobl_log.h"
#include "singleton.h"
#include "stream.h"
#include "stream_callback_manager.h"

namespace zenlar {
namespace qobl {

std::unordered_map<uint32_t, IOpStream*> OpStreamController::streamDict_;
std::unordered_map<uint32_t, IDeviceSynchronizer*>& OpStreamController::deviceSynchronizerDict_ =
    *new std::unordered_map<uint32_t, IDeviceSynchronizer*>();
std::recursive_mutex OpStreamController::streamDictMutex_;
std::set<uint32_t> OpStreamController::deviceIdSet_;
std::unordered_map<const qoblStream*, IOpStream*> OpStreamController::handleDict_;

namespace {
// Handle records of destroyed streams, oldest first.  A record is kept (so that no new stream gets a record
// at its address and a stale handle stays recognisable) until kRetiredHandles later streams were
// destroyed; then it is freed, so a process that makes and destroys streams forever keeps a bounded
// number of them.  Never destroyed itself: destroys may still run while the process exits.
constexpr size_t kRetiredHandles = 1024;
std::deque<qoblStream*>& retiredHandles() {
  static auto* records = new std::deque<qoblStream*>();
  return *records;
}
void retireHandle(qoblStream* record) {
  std::deque<qoblStream*>& records = retiredHandles();
  records.push_back(record);
  if (records.size() > kRetiredHandles) {
    delete records.front();
    records.pop_front();
  }
}
}  // namespace

qoblErr OpStreamController::openStream(OpDirectedGraph* graph, qoblBalanceMode mode, qoblStream** handle) {
  if (!OpGraphController::find(graph)) {
    QOBL_LOG_ERROR("Invalid parameter: the graph is not a live op graph.\n");
    return qoblERR_INVALID_PARAM;
  }
  uint32_t dev = 0;
  const int devRc = qobmGetDevice(&dev);
  if (devRc != 0) {
    QOBL_LOG_ERROR("Failed to create stream: no current device (error %d).\n", devRc);
    return qoblERR_CREATE_STREAM;
  }
  IOpStream* s = nullptr;
  try {
    s = createStream(dev, mode, graph);
  } catch (const std::exception& e) {
    QOBL_LOG_ERROR("Failed to create stream: %s\n", e.what());
    return qoblERR_CREATE_STREAM;
  }
  Singleton<StreamCallbackManager>::getInstance()->registerRuntimeCallback(dev);
  create_stream rec;
  std::memset(&rec, 0, sizeof rec);
  rec.stream_id = s->id();
  rec.vdsp_balance_mode = static_cast<uint32_t>(mode);
  const int rc = qobcrt_create_stream(dev, &rec);
  auto* record = rc == 0 ? new (std::nothrow) qoblStream{s} : nullptr;
  if (record == nullptr) {
    if (rc != 0) QOBL_LOG_ERROR("Failed to create stream for a new Stream [%d]. Error code is [%d].\n", s->id(), rc);
    destroyStream(s->id());
    return qoblERR_CREATE_STREAM;
  }
  registerHandle(record, s);
  *handle = record;
  return qoblERR_SUCCESS;
}

qoblErr OpStreamController::closeStream(const qoblStream* handle) {
  uint32_t id = 0, dev = 0;
  {
    StreamRef s(handle);
    if (!s) {
      QOBL_LOG_ERROR("Failed to destroy op stream because the handle names no live stream.\n");
      return qoblERR_DESTROY_STREAM;
    }
    id = s->id();
    dev = s->deviceId();
  }
  if (!destroyStream(id)) return qoblERR_DESTROY_STREAM;
  // The card forgets the stream id announced by openStream; a failure is logged, the stream is gone.
  const int rc = qobcrt_destroy_stream(dev, id);
  if (rc != 0) QOBL_LOG_ERROR("Failed to destroy the card stream of stream [%u]. Error code is [%d].\n", id, rc);
  return qoblERR_SUCCESS;
}

IOpStream* OpStreamController::createStream(uint32_t deviceId, qoblBalanceMode mode, OpDirectedGraph* graph) {
  auto* stream = new OpStream(deviceId, mode, graph);
  IDeviceSynchronizer* sync = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
    streamDict_[stream->id()] = stream;
    deviceIdSet_.insert(deviceId);
    auto it = deviceSynchronizerDict_.find(deviceId);
    if (it == deviceSynchronizerDict_.end()) {
      it = deviceSynchronizerDict_.emplace(deviceId, new DeviceSynchronizer(deviceId)).first;
    }
    sync = it->second;
  }
  sync->addStream(stream);
  return stream;
}

bool OpStreamController::destroyStream(uint32_t streamId) {
  // From a report callback this thread may be the one that delivers the stream's reports: it cannot wait
  // for runs on the card.
  const bool inCallback = deliveringStream() != nullptr;
  IOpStream* stream = nullptr;
  InputRecords gathered;
  {
    std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
    auto it = streamDict_.find(streamId);
    if (it != streamDict_.end()) stream = it->second;
    if (stream == nullptr || stream->isDestroying()) {
      QOBL_LOG_ERROR("Failed to destroy op stream because stream %d is not exist.\n", streamId);
      return false;
    }
    if (deliveringStream() == stream) {
      QOBL_LOG_ERROR("Failed to destroy op stream %u: a report callback may not destroy its own stream.\n",
                     streamId);
      return false;
    }
    // 1. No run is accepted from now on; the run being filled is taken out.
    if (!stream->beginDestroy(inCallback, gathered)) {
      QOBL_LOG_ERROR("Failed to destroy op stream %u: it has runs on the card, which a report callback cannot "
                     "wait for; destroy it from an application thread.\n",
                     streamId);
      return false;
    }
  }
  // 2. The inputs that were still gathering never reach the card: they are reported as failed.
  stream->failInputs(gathered, qoblERR_DESTROY_STREAM);
  // 3. Let the card finish what it was given; its reports are still delivered.
  if (!inCallback && !stream->waitRunsInFlight(kDrainTimeoutMs)) {
    QOBL_LOG_WARN("Stream %u: %zu run(s) still on the card after %u ms; their inputs are reported as failed.\n",
                  streamId, stream->runsInFlight(), kDrainTimeoutMs);
  }
  // 4. Out of the registry and the device's synchronizer.
  IDeviceSynchronizer* sync = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
    streamDict_.erase(streamId);
    auto sit = deviceSynchronizerDict_.find(stream->deviceId());
    if (sit != deviceSynchronizerDict_.end()) sync = sit->second;
    for (auto it = handleDict_.begin(); it != handleDict_.end();) {
      if (it->second == stream) {
        retireHandle(const_cast<qoblStream*>(it->first));
        it = handleDict_.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (sync != nullptr) sync->removedStream(stream);
  // 5. Closing: reports are dropped from now on; wait for the completion path and for the exported calls
  //    and device waits still working on the stream.
  stream->close();
  while (stream->apiRefs().load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(10));
  // 6. Runs the card did not report in time: their inputs are reported as failed (late reports are dropped).
  InputRecords unreported = stream->takeAllRuns();
  stream->failInputs(unreported, qoblERR_DESTROY_STREAM);
  Singleton<StreamCallbackManager>::getInstance()->removeStream(streamId);
  // 7. Free everything.
  stream->release();
  delete stream;
  return true;
}

bool OpStreamController::isValidStream(IOpStream* stream) {
  if (stream == nullptr) return false;
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  for (const auto& kv : streamDict_) {
    if (kv.second == stream) return true;
  }
  return false;
}

IOpStream* OpStreamController::getStreamById(uint32_t streamId) {
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  auto it = streamDict_.find(streamId);
  if (it == streamDict_.end()) {
    QOBL_LOG_ERROR("Can't get stream because stream - [%d] is not exist.\n ", streamId);
    return nullptr;
  }
  return it->second;
}

IOpStream* OpStreamController::getStreamByIdBusy(uint32_t streamId, bool& closing) {
  closing = false;
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  auto it = streamDict_.find(streamId);
  if (it == streamDict_.end()) return nullptr;
  if (!it->second->setBusy(true)) {
    closing = true;
    return nullptr;
  }
  return it->second;
}

IOpStream* OpStreamController::getStreamByGraphAddr(uint64_t graphAddr) {
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  for (const auto& kv : streamDict_) {
    if (reinterpret_cast<uint64_t>(kv.second->bindingGraph()) == graphAddr) return kv.second;
  }
  return nullptr;
}

qoblErr OpStreamController::synchronizeDevice(uint32_t deviceId, uint32_t timeout) {
  IDeviceSynchronizer* sync = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
    auto it = deviceSynchronizerDict_.find(deviceId);
    if (it == deviceSynchronizerDict_.end()) return qoblERR_SUCCESS;
    sync = it->second;
  }
  return sync->synchronize(timeout);
}

std::set<uint32_t> OpStreamController::getAllDeviceId() {
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  return deviceIdSet_;
}

void OpStreamController::release() {
  std::vector<uint32_t> ids;
  {
    std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
    for (const auto& kv : streamDict_) ids.push_back(kv.first);
  }
  for (uint32_t id : ids) destroyStream(id);
}

void OpStreamController::registerHandle(qoblStream* handle, IOpStream* stream) {
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  handleDict_[handle] = stream;
}

IOpStream* OpStreamController::acquireById(uint32_t streamId) {
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  auto it = streamDict_.find(streamId);
  if (it == streamDict_.end()) return nullptr;
  ++it->second->apiRefs();
  return it->second;
}

IOpStream* OpStreamController::acquire(const qoblStream* handle) {
  if (handle == nullptr) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  auto it = handleDict_.find(handle);
  if (it == handleDict_.end() || it->second->isDestroying()) return nullptr;
  ++it->second->apiRefs();
  return it->second;
}

void OpStreamController::releaseStream(IOpStream* stream) {
  if (stream != nullptr) --stream->apiRefs();
}

}  // namespace qobl
}  // namespace zenlar
