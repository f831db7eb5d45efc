// Completion reports of the card: report callbacks, recycling, subscriptions.
#include "stream_callback_manager.h"

#include <array>
#include <cstring>
#include <memory>
#include <exception>
#include <string>

#include "i_op_argument.h"
#include "i_stream_op.h"
#include "op_stream_controller.h"
#include "per_thread.h"
#include "qobl_log.h"
#include "singleton.h"
#include "stream.h"
#include "stream_instruction.h"

namespace zenlar {
namespace qobl {

namespace {

void sdkGetOutputsEntry(uint32_t dev, get_desc* desc, void* arg) { sdkGetOutputs(dev, desc, arg); }

// Destroys a dataset the library made for a callback; with ownBuffers also the buffer handles in it.
void dropDataset(qobmDataset* ds, bool ownBuffers) {
  if (ds == nullptr) return;
  if (ownBuffers) {
    uint32_t count = 0;
    qobmGetDatasetBufferCount(ds, &count);
    for (uint32_t i = 0; i < count; ++i) {
      qobmDataBuffer* buffer = nullptr;
      if (qobmGetDatasetBuffer(ds, i, &buffer) == 0 && buffer != nullptr) qobmDestroyDataBuffer(buffer);
    }
  }
  qobmDestroyDataset(ds);
}

// A buffer-mode dataset over device addresses the argument allocated; null on failure.
qobmDataset* makeDataset(const std::vector<uint64_t>& addrs, IOpArgument* arg, uint32_t dev) {
  qobmDataset* ds = nullptr;
  if (qobmCreateDataset(qobmDM_BUFFER, &ds) != 0 || ds == nullptr) return nullptr;
  const qobmDeviceInfo info{qobmDE_QOBC, dev};
  for (uint64_t a : addrs) {
    qobmDataBuffer* buffer = nullptr;
    if (qobmCreateDataBuffer(info, a, arg->getOutputSize(a), &buffer) != 0 ||
        qobmAddDatasetBuffer(ds, buffer) != 0) {
      if (buffer != nullptr) qobmDestroyDataBuffer(buffer);
      dropDataset(ds, true);
      return nullptr;
    }
  }
  return ds;
}

void invokeAll(const std::vector<qoblCallbackTuple>& callbacks, IOpStream* stream, qobeOp* op, uint32_t opUid,
               uint32_t inputId, qobmDataset* input, qobmDataset* output, const qoblCallbackStatus& status) {
  for (const qoblCallbackTuple& t : callbacks) {
    if (t.callback == nullptr) continue;
    QOBL_LOG_TRACE("Invoke registered callback, stream id: %d, context id: %d, input id: %d.\n", stream->id(),
                   opUid, inputId);
    qoblCallbackStatus st = status;  // each callback gets an untouched record
    const LogLevelReading::Pause callbackMayChangeLevel;
    t.callback(op, input, output, &st, t.userPtr);
  }
}

// The subscription lists a thread keeps (StreamCallbackManager::getCallbackList): those of the last few
// streams it delivered reports of, each with the subscription version it was read at, and the lists it
// stopped keeping during its current delivery, which a delivery further out (a report callback that runs a
// synchronous run delivers again on its thread) may still be reading.
struct KeptLists {
  struct Entry {
    uint32_t streamId = 0;
    uint64_t version = 0;  // 0: empty (versions start at 1)
    bool found = false;
    StreamCallbackManager::SharedCallbackList list;
  };
  std::array<Entry, 4> entries;
  size_t next = 0;
  std::vector<StreamCallbackManager::SharedCallbackList> retired;  // until the outermost delivery ends
};

// Marks the calling thread as delivering reports of `stream` for its lifetime (restoring the outer mark).
// The outermost delivery of a thread lets go, when it ends, of the lists its deliveries stopped keeping.
class DeliveringScope {
 public:
  explicit DeliveringScope(IOpStream* stream) : outer_(deliveringStream()) { setDeliveringStream(stream); }
  ~DeliveringScope() {
    setDeliveringStream(outer_);
    if (outer_ == nullptr) {
      std::vector<StreamCallbackManager::SharedCallbackList>& retired = PerThread<KeptLists>::get().retired;
      if (!retired.empty()) retired.clear();
    }
  }
  DeliveringScope(const DeliveringScope&) = delete;
  DeliveringScope& operator=(const DeliveringScope&) = delete;

 private:
  IOpStream* outer_;
};

}  // namespace

int sdkGetOutputs(uint32_t /*dev_id*/, get_desc* outputId, void* /*func_arg*/) {
  if (outputId == nullptr) return 0;
  // The log checks of this report read the threshold once, and again after each report callback.
  const LogLevelReading logLevel;
  const uint32_t dataId = outputId->data_id;
  const uint32_t opUid = outputId->context_id & PIPELINE_END_UNMASK;
  const uint32_t streamId = outputId->stream_id;
  QOBL_LOG_DEBUG("Get callback from runtime, stream id: %u, stream address: %p, dataset Id: %u, opUid: %u",
                 streamId, reinterpret_cast<void*>(static_cast<uintptr_t>(outputId->stream_addr)), dataId, opUid);
  // The reference keeps the stream, and the event its waiters sleep on, until setBusy(false) has woken them.
  const StreamRef ref = StreamRef::byId(streamId);
  IOpStream* stream = ref.get();
  if (stream == nullptr) {
    QOBL_LOG_ERROR("Failed to process output because not find stream with id [%d].\n", streamId);
    return 0;
  }
  if (!stream->setBusy(true)) {
    QOBL_LOG_WARN("Stream %u is closing, skip result processing.\n", streamId);
    return 0;
  }
  {
    DeliveringScope delivering(stream);
    try {
      Singleton<StreamCallbackManager>::getInstance()->process(stream, dataId, opUid, outputId->error_code);
    } catch (const std::exception& e) {
      // Nothing may escape into the card's reporter thread, and the stream must not stay busy.
      QOBL_LOG_ERROR("Catch exception in process thread: %s\n", e.what());
    }
  }
  stream->setBusy(false);
  return 0;
}

void StreamCallbackManager::registerRuntimeCallback(uint32_t deviceId) {
  get_output_register rec;
  std::memset(&rec, 0, sizeof rec);
  rec.dev_id = deviceId;
  rec.func_arg = nullptr;
  rec.func_get_output = &sdkGetOutputsEntry;
  const int rc = qobcrt_get_output_register(deviceId, &rec);
  if (rc != 0) QOBL_LOG_ERROR("Failed to register get output callback, error code is %d.\n", rc);
}

void StreamCallbackManager::registerSdkCallback(uint32_t streamId, qoblStreamReportCallback callback,
                                                void* userPtr) {
  auto guard = streamReportCallbackDict_.write_guard();
  SharedCallbackList& list = streamReportCallbackDict_[streamId];
  auto next = list != nullptr ? std::make_shared<std::vector<qoblCallbackTuple>>(*list)
                              : std::make_shared<std::vector<qoblCallbackTuple>>();
  next->push_back(qoblCallbackTuple{callback, userPtr});
  list = std::move(next);
  subscriptionVersion_.fetch_add(1, std::memory_order_release);
}

void StreamCallbackManager::unregisterSdkCallback(uint32_t streamId, qoblStreamReportCallback callback,
                                                  void* userPtr) {
  auto guard = streamReportCallbackDict_.write_guard();
  auto it = streamReportCallbackDict_.find(streamId);
  if (it == streamReportCallbackDict_.end()) return;
  if (it->second == nullptr) return;
  const qoblCallbackTuple t{callback, userPtr};
  auto next = std::make_shared<std::vector<qoblCallbackTuple>>();
  for (const qoblCallbackTuple& kept : *it->second) {
    if (!(kept == t)) next->push_back(kept);
  }
  it->second = std::move(next);
  subscriptionVersion_.fetch_add(1, std::memory_order_release);
}

void StreamCallbackManager::removeStream(uint32_t streamId) {
  streamReportCallbackDict_.erase(streamId);
  subscriptionVersion_.fetch_add(1, std::memory_order_release);
}

StreamCallbackManager::CallbackList StreamCallbackManager::getCallbackList(uint32_t streamId) {
  // A kept list stays good while no subscription changed.  The version is read before the map, so a
  // change made meanwhile only makes the next report read the map again.
  KeptLists& kept = PerThread<KeptLists>::get();
  const uint64_t version = subscriptionVersion_.load(std::memory_order_acquire);
  KeptLists::Entry* entry = nullptr;
  for (KeptLists::Entry& e : kept.entries) {
    if (e.streamId == streamId) {  // an id has at most one entry
      entry = &e;
      break;
    }
  }
  if (entry == nullptr || entry->version != version) {
    if (entry == nullptr) entry = &kept.entries[kept.next++ % kept.entries.size()];
    if (entry->list != nullptr) kept.retired.push_back(std::move(entry->list));
    entry->streamId = streamId;
    entry->version = version;
    entry->list = nullptr;
    entry->found = streamReportCallbackDict_.find(streamId, entry->list);
  }
  if (!entry->found) QOBL_LOG_ERROR("Can't find callback list for stream: %d.\n", streamId);
  return entry->list.get();
}

void StreamCallbackManager::process(IOpStream* stream, uint32_t dataId, uint32_t opUid, uint32_t errorCode) {
  uint32_t status = 0;
  if (errorCode != 0) qobmNormalizeErrorCode(errorCode, &status);
  if (!deliver(stream, dataId, opUid, status, 0)) {
    QOBL_LOG_ERROR("Failed to process output because not find corresponding op argument. datasetId: %d, opUid: %d.\n",
                   dataId, opUid);
    // The run is gone (recycled after an earlier error report, or failed by a teardown that could not wait
    // for it) or never existed: its inputs were already reported and counted, so this one counts nothing.
    stream->countStaleReport();
    return;
  }
  if (status != 0 || opUid == stream->endOpUid()) {
    if (status != 0) {
      char text[256];
      std::memset(text, 0, sizeof text);
      qobmGetErrDesc(status, text, sizeof text);
      QOBL_LOG_ERROR("Recycle stream's memory because of error: %u (%s) \n", status, text);
    } else {
      QOBL_LOG_TRACE("Recycle stream's memory\n");
    }
    // Releases the run and counts one completion per asynchronous input of it.
    stream->recycleInstructionMemory(dataId, true);
  }
}

// One report on its way to the inputs of a run.
struct StreamCallbackManager::Delivery {
  IOpStream* stream;
  IOpArgument* arg;
  IStreamOp* streamOp;
  qobeOp* op;
  uint32_t opUid;
  uint32_t skipInputId;
  qoblCallbackStatus status;
  const InputRecords& inputs;  // the run's, read in place
  CallbackList callbacks;
  // Calls the callbacks for input number `index` of the run with `out`, unless it is the skipped one.
  void invoke(size_t index, qobmDataset* out) const {
    const StreamDataset& rec = *inputs[index];
    if (rec.inputId != skipInputId) invoke(rec, out);
  }
  // The same for the input of `rec`.
  void invoke(const StreamDataset& rec, qobmDataset* out) const {
    if (callbacks == nullptr) return;
    invokeAll(*callbacks, stream, op, opUid, rec.inputId, rec.input, out, status);
  }
};

bool StreamCallbackManager::deliver(IOpStream* stream, uint32_t dataId, uint32_t opUid, uint32_t status,
                                    uint32_t skipInputId) {
  IRunStreamInstruction* inst = stream->getRunstreamInstruction(dataId);
  InstructionArchive* archive = inst != nullptr ? inst->getInstructionArchive(opUid) : nullptr;
  if (archive == nullptr || archive->opArg == nullptr) return false;
  IStreamOp* streamOp = archive->opIr != nullptr ? archive->opIr->getStreamOp() : nullptr;
  const Delivery d{stream,
                   archive->opArg.get(),
                   streamOp,
                   streamOp != nullptr ? streamOp->getOp() : nullptr,
                   opUid,
                   skipInputId,
                   qoblCallbackStatus{status, opUid == stream->endOpUid() ? 1u : 0u},
                   inst->inputs(),
                   getCallbackList(stream->id())};
  // The archive's IR record tells whether the op is a leaf, without searching the stream's records.
  const bool leaf = archive->opIr != nullptr ? archive->opIr->isLeafNode : stream->isLeafNode(opUid);
  try {
    if (leaf) {
      deliverLeaf(d);
    } else if (d.arg->opType() == qobeOP_RUN_MODEL_OP) {
      deliverRunModel(d);
    } else {
      deliverPerLoop(d);
    }
  } catch (const std::exception& e) {
    QOBL_LOG_ERROR("Catch exception in process thread: %s\n", e.what());
  }
  return true;
}

void StreamCallbackManager::deliverLeaf(const Delivery& d) {
  for (const std::unique_ptr<StreamDataset>& rec : d.inputs) {
    if (rec->inputId == d.skipInputId) continue;
    bool borrowed = false;
    qobmDataset* out = d.stream->leafOutputDataset(d.opUid, *rec, borrowed);
    d.invoke(*rec, out);
    if (!borrowed) dropDataset(out, false);
  }
}

void StreamCallbackManager::deliverRunModel(const Delivery& d) {
  IStreamOp* parent = d.streamOp != nullptr ? d.streamOp->getInputOp() : nullptr;
  IOpArgument* arg = d.arg;
  uint32_t perInput = 0;
  if (parent != nullptr && arg->inputCount() != 0) {
    perInput = parent->outputCount() / arg->inputCount() * arg->outputCount();
  }
  std::vector<uint64_t> pending;
  size_t next = 0;
  for (uint32_t l = 0; perInput != 0 && l < arg->loopCount() && next < d.inputs.size(); ++l) {
    for (uint64_t b = 0; b < arg->batchSize() && next < d.inputs.size(); ++b) {
      for (uint64_t a : arg->getOutputs(l, static_cast<uint32_t>(b))) {
        pending.push_back(a);
        if (pending.size() != perInput || next >= d.inputs.size()) continue;
        qobmDataset* out = makeDataset(pending, arg, d.stream->deviceId());
        d.invoke(next++, out);
        dropDataset(out, true);
        pending.clear();
      }
    }
  }
}

void StreamCallbackManager::deliverPerLoop(const Delivery& d) {
  if (d.inputs.size() != d.arg->loopCount()) {
    QOBL_LOG_ERROR("Failed to process output because input id num is not equal to Op loop count.\n ");
    return;
  }
  for (uint32_t l = 0; l < d.arg->loopCount(); ++l) {
    qobmDataset* out = makeDataset(d.arg->getOutputs(l, 0), d.arg, d.stream->deviceId());
    d.invoke(l, out);
    dropDataset(out, true);
  }
}

void StreamCallbackManager::reportSyncRun(IOpStream* stream, uint32_t datasetId, uint32_t ownInputId,
                                          const std::vector<uint32_t>& opUids) {
  DeliveringScope delivering(stream);
  for (uint32_t uid : opUids) deliver(stream, datasetId, uid, 0, ownInputId);
}

void StreamCallbackManager::reportFailedInputs(IOpStream* stream, const InputRecords& inputs, uint32_t code) {
  SharedCallbackList callbacks;
  if (!streamReportCallbackDict_.find(stream->id(), callbacks) || callbacks == nullptr || callbacks->empty()) return;
  DeliveringScope delivering(stream);
  qobeOp* op = stream->endOp();
  const uint32_t endUid = stream->endOpUid();
  const qoblCallbackStatus st{code, 1u};
  for (const auto& rec : inputs) {
    bool borrowed = false;
    qobmDataset* out = stream->leafOutputDataset(endUid, *rec, borrowed);
    try {
      invokeAll(*callbacks, stream, op, endUid, rec->inputId, rec->input, out, st);
    } catch (const std::exception& e) {
      QOBL_LOG_ERROR("Catch exception in process thread: %s\n", e.what());
    }
    if (!borrowed) dropDataset(out, false);
  }
}

}  // namespace qobl
}  // namespace zenlar
