// The stream registry.
#include "op_stream_controller.h"

#include <qobcrt/qobcrt.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "device_synchronizer.h"
#include "i_stream_op.h"
#include "op_dg_node.h"
#include "op_graph_controller.h"
#include "qobl_log.h"
#include "singleton.h"
#include "stream.h"
#include "stream_callback_manager.h"

namespace zenlar {
namespace qobl {

// A stream's place in the registry.  The handle record comes first, so a handle's address is its slot's
// address.  The stream pointer and id are written under streamDictMutex_; the counts are taken by the
// lock-free lookups (see op_stream_controller.h).  One cache line each, so that streams used by different
// threads do not share lines.
struct alignas(64) OpStreamController::Slot {
  qoblStream record{nullptr};
  std::atomic<IOpStream*> stream{nullptr};  // null while the slot is free or its stream left the registry
  std::atomic<uint32_t> id{0};              // the id of the stream that has or last had the slot
  std::atomic<uint32_t> refs{0};            // exported calls, device waits and report deliveries (StreamRef)
};

std::unordered_map<uint32_t, OpStreamController::Slot*> OpStreamController::streamDict_;
std::unordered_map<uint32_t, IDeviceSynchronizer*>& OpStreamController::deviceSynchronizerDict_ =
    *new std::unordered_map<uint32_t, IDeviceSynchronizer*>();
std::recursive_mutex OpStreamController::streamDictMutex_;
std::set<uint32_t> OpStreamController::deviceIdSet_;

namespace {

using Slot = OpStreamController::Slot;

// The slots, in chunks of 64, 128, 256, ... slots that are never freed.  A chunk is published (its address
// stored, then the chunk count raised) before any of its slots is used, so a reader that sees the count
// sees the chunk.  Slots are written under streamDictMutex_; readers use only their atomics.
class SlotStore {
 public:
  // The slot whose handle record is at `handle`, or null when the address is not the start of a slot.
  // Only addresses are compared: nothing at `handle` is read.
  Slot* find(const qoblStream* handle) const {
    const uintptr_t p = reinterpret_cast<uintptr_t>(handle);
    const uint32_t n = chunkCount_.load(std::memory_order_acquire);
    for (uint32_t k = 0; k < n; ++k) {
      Slot* chunk = chunks_[k].load(std::memory_order_relaxed);
      const uintptr_t offset = p - reinterpret_cast<uintptr_t>(chunk);  // wraps above the chunk's size below it
      if (offset < chunkSlots(k) * sizeof(Slot)) {
        return offset % sizeof(Slot) == 0 ? chunk + offset / sizeof(Slot) : nullptr;
      }
    }
    return nullptr;
  }

  // A slot for a new stream: the oldest retired one once more than kRetiredSlots are retired, else a slot
  // never used.  Caller holds streamDictMutex_.  Throws std::bad_alloc when no chunk can be made.
  Slot* take() {
    if (retired_.size() > kRetiredSlots) {
      Slot* slot = retired_.front();
      retired_.pop_front();
      return slot;
    }
    const uint32_t k = chunkCount_.load(std::memory_order_relaxed);
    if (k == 0 || used_ == chunkSlots(k - 1)) {
      if (k == kMaxChunks) throw std::bad_alloc();
      chunks_[k].store(new Slot[chunkSlots(k)], std::memory_order_relaxed);
      chunkCount_.store(k + 1, std::memory_order_release);
      used_ = 0;
      return chunks_[k].load(std::memory_order_relaxed) + used_++;
    }
    return chunks_[k - 1].load(std::memory_order_relaxed) + used_++;
  }

  // A slot whose stream was destroyed and whose counts drained.  Caller holds streamDictMutex_.
  void retire(Slot* slot) { retired_.push_back(slot); }

 private:
  // A retired slot is handed out again only after this many later ones were retired.
  static constexpr size_t kRetiredSlots = 1024;
  static constexpr uint32_t kMaxChunks = 26;  // about 2^32 slots in all
  static size_t chunkSlots(uint32_t k) { return size_t{64} << k; }

  std::atomic<Slot*> chunks_[kMaxChunks] = {};
  std::atomic<uint32_t> chunkCount_{0};
  size_t used_ = 0;  // slots handed out of the last chunk
  std::deque<Slot*> retired_;  // oldest first
};

// Stream id -> slot, read without a lock by the completion path and device waits.  Open addressing with
// linear probing over a power-of-two array at most half full; written under streamDictMutex_.  A reader
// that finds an entry checks the slot itself (its id and stream, under a count), so only a miss has to be
// confirmed: every change makes version_ odd while it lasts, and a miss counts only when the version was
// even and the same before and after the probe.  A full array is replaced by one twice its size; the old
// arrays are kept (a reader may still be probing one), so at most twice the largest array is held.
class IdIndex {
 public:
  IdIndex() { grow(64); }

  Slot* find(uint32_t id) const {
    for (;;) {
      const uint32_t before = version_.load();
      if ((before & 1u) == 0) {
        const Table* t = table_.load();
        for (uint32_t i = home(id, t->mask), n = 0; n <= t->mask; i = (i + 1) & t->mask, ++n) {
          Slot* slot = t->entries[i].load();
          if (slot == nullptr) break;
          if (slot->id.load() == id) return slot;
        }
        if (version_.load() == before) return nullptr;
      }
      std::this_thread::yield();  // a create or destroy is changing the index: a few stores
    }
  }

  // Caller holds streamDictMutex_; `slot`'s id is `id`.
  void insert(uint32_t id, Slot* slot) {
    Change change(version_);
    if (2 * (count_ + 1) > tableOf().mask + 1) grow(2 * (tableOf().mask + 1));
    place(tableOf(), id, slot);
    ++count_;
  }

  // Caller holds streamDictMutex_.  Later entries of the probe run move back into the gap (no markers of
  // erased entries accumulate).
  void erase(uint32_t id) {
    Table& t = tableOf();
    uint32_t gap = home(id, t.mask);
    for (;; gap = (gap + 1) & t.mask) {
      Slot* slot = t.entries[gap].load();
      if (slot == nullptr) return;
      if (slot->id.load() == id) break;
    }
    Change change(version_);
    t.entries[gap].store(nullptr);
    --count_;
    for (uint32_t i = (gap + 1) & t.mask;; i = (i + 1) & t.mask) {
      Slot* slot = t.entries[i].load();
      if (slot == nullptr) return;
      const uint32_t h = home(slot->id.load(), t.mask);
      // The entry stays when its home lies cyclically in (gap, i]; otherwise it moves into the gap.
      const bool stays = gap <= i ? (gap < h && h <= i) : (gap < h || h <= i);
      if (!stays) {
        t.entries[gap].store(slot);
        t.entries[i].store(nullptr);
        gap = i;
      }
    }
  }

 private:
  struct Table {
    explicit Table(uint32_t size) : mask(size - 1), entries(new std::atomic<Slot*>[size]) {
      for (uint32_t i = 0; i < size; ++i) entries[i].store(nullptr, std::memory_order_relaxed);
    }
    uint32_t mask;
    std::unique_ptr<std::atomic<Slot*>[]> entries;
  };
  // Makes version_ odd for its lifetime.
  struct Change {
    explicit Change(std::atomic<uint32_t>& v) : version(v) { version.fetch_add(1); }
    ~Change() { version.fetch_add(1); }
    std::atomic<uint32_t>& version;
  };

  // Fibonacci hashing spreads consecutive ids over the array.
  static uint32_t home(uint32_t id, uint32_t mask) {
    return static_cast<uint32_t>((uint64_t{id} * 0x9E3779B97F4A7C15ull) >> 32) & mask;
  }
  static void place(Table& t, uint32_t id, Slot* slot) {
    uint32_t i = home(id, t.mask);
    while (t.entries[i].load(std::memory_order_relaxed) != nullptr) i = (i + 1) & t.mask;
    t.entries[i].store(slot);
  }
  Table& tableOf() { return *tables_.back(); }
  // Throws std::bad_alloc, changing nothing.
  void grow(uint32_t size) {
    std::unique_ptr<Table> next(new Table(size));
    if (!tables_.empty()) {
      const Table& old = tableOf();
      for (uint32_t i = 0; i <= old.mask; ++i) {
        Slot* slot = old.entries[i].load(std::memory_order_relaxed);
        if (slot != nullptr) place(*next, slot->id.load(std::memory_order_relaxed), slot);
      }
    }
    tables_.push_back(std::move(next));
    table_.store(tables_.back().get());
  }

  std::atomic<const Table*> table_{nullptr};
  std::atomic<uint32_t> version_{0};
  std::vector<std::unique_ptr<Table>> tables_;  // the current one last
  uint32_t count_ = 0;
};

// Never destroyed: streams may still be destroyed, and reports looked up, while the process exits.  Made
// when the library is loaded, before any stream can be, so that the lookup of every call reads a plain
// pointer rather than testing a one-time initialisation.
SlotStore* const gSlots = new SlotStore();
IdIndex* const gIdIndex = new IdIndex();
SlotStore& slots() { return *gSlots; }
IdIndex& idIndex() { return *gIdIndex; }

// Waits until a count of a slot drained (references and lookups are short, except a device wait's, which
// the teardown ends by closing the stream first).
void waitDrained(const std::atomic<uint32_t>& count) {
  while (count.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(10));
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
  if (rc != 0) {
    QOBL_LOG_ERROR("Failed to create stream for a new Stream [%d]. Error code is [%d].\n", s->id(), rc);
    destroyStream(s->id());
    return qoblERR_CREATE_STREAM;
  }
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  Slot* slot = slotOf(s->id());
  if (slot == nullptr) {  // destroyed meanwhile (through a handle of an old stream whose slot it has)
    QOBL_LOG_ERROR("Failed to create stream: stream [%u] was destroyed while it was being created.\n", s->id());
    return qoblERR_CREATE_STREAM;
  }
  *handle = &slot->record;
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
  std::unique_ptr<OpStream> made(new OpStream(deviceId, mode, graph));
  OpStream* stream = made.get();
  IDeviceSynchronizer* sync = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
    auto it = deviceSynchronizerDict_.find(deviceId);
    if (it == deviceSynchronizerDict_.end()) {
      it = deviceSynchronizerDict_.emplace(deviceId, new DeviceSynchronizer(deviceId)).first;
    }
    sync = it->second;
    // Everything that may throw comes first; the stream pointer, last, makes the stream visible to the
    // lookups (a lookup that reaches the slot earlier finds no stream).  A slot taken by a failed attempt
    // is not used again, which costs nothing but its 64 bytes.
    Slot* slot = slots().take();
    slot->record.ptr_ = stream;
    slot->id.store(stream->id());
    streamDict_[stream->id()] = slot;
    try {
      idIndex().insert(stream->id(), slot);
      deviceIdSet_.insert(deviceId);
    } catch (...) {
      idIndex().erase(stream->id());
      streamDict_.erase(stream->id());
      throw;
    }
    slot->stream.store(stream);
    made.release();
  }
  sync->addStream(stream);
  return stream;
}

bool OpStreamController::destroyStream(uint32_t streamId) {
  // From a report callback this thread may be the one that delivers the stream's reports: it cannot wait
  // for runs on the card.
  const bool inCallback = deliveringStream() != nullptr;
  IOpStream* stream = nullptr;
  Slot* slot = nullptr;
  InputRecords gathered;
  {
    std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
    slot = slotOf(streamId);
    if (slot != nullptr) stream = slot->stream.load();
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
    idIndex().erase(streamId);
    slot->stream.store(nullptr);
    auto sit = deviceSynchronizerDict_.find(stream->deviceId());
    if (sit != deviceSynchronizerDict_.end()) sync = sit->second;
  }
  if (sync != nullptr) sync->removedStream(stream);
  // 5. Closing: reports are dropped from now on; wait for the completion path and for the exported calls
  //    and device waits still working on the stream.
  stream->close();
  waitDrained(slot->refs);
  // 6. Runs the card did not report in time: their inputs are reported as failed (late reports are dropped).
  InputRecords unreported = stream->takeAllRuns();
  stream->failInputs(unreported, qoblERR_DESTROY_STREAM);
  Singleton<StreamCallbackManager>::getInstance()->removeStream(streamId);
  // 7. Free everything.
  stream->release();
  delete stream;
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  slots().retire(slot);
  return true;
}

bool OpStreamController::isValidStream(IOpStream* stream) {
  if (stream == nullptr) return false;
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  for (const auto& kv : streamDict_) {
    if (kv.second->stream.load() == stream) return true;
  }
  return false;
}

IOpStream* OpStreamController::getStreamById(uint32_t streamId) {
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  Slot* slot = slotOf(streamId);
  if (slot == nullptr) {
    QOBL_LOG_ERROR("Can't get stream because stream - [%d] is not exist.\n ", streamId);
    return nullptr;
  }
  return slot->stream.load();
}

IOpStream* OpStreamController::getStreamByGraphAddr(uint64_t graphAddr) {
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  for (const auto& kv : streamDict_) {
    IOpStream* stream = kv.second->stream.load();
    if (reinterpret_cast<uint64_t>(stream->bindingGraph()) == graphAddr) return stream;
  }
  return nullptr;
}

uint32_t OpStreamController::streamUsingModel(const IModel* model) {
  std::lock_guard<std::recursive_mutex> lock(streamDictMutex_);
  for (const auto& kv : streamDict_) {
    IOpStream* stream = kv.second->stream.load();
    OpDirectedGraph* graph = stream != nullptr ? stream->bindingGraph() : nullptr;
    if (graph == nullptr) continue;
    for (OpDGNode* node : *graph) {
      IStreamOp* op = node != nullptr ? node->getStreamOp() : nullptr;
      if (op != nullptr && op->getModel() == model) return kv.first;
    }
  }
  return 0;
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

OpStreamController::Slot* OpStreamController::slotOf(uint32_t streamId) {
  auto it = streamDict_.find(streamId);
  return it != streamDict_.end() ? it->second : nullptr;
}

IOpStream* OpStreamController::acquire(const qoblStream* handle, Slot*& slot) {
  slot = handle != nullptr ? slots().find(handle) : nullptr;
  if (slot == nullptr) return nullptr;
  slot->refs.fetch_add(1);
  IOpStream* stream = slot->stream.load();
  if (stream == nullptr || stream->isDestroying()) {
    releaseRef(slot);
    slot = nullptr;
    return nullptr;
  }
  return stream;
}

IOpStream* OpStreamController::acquireById(uint32_t streamId, Slot*& slot) {
  slot = idIndex().find(streamId);
  if (slot == nullptr) return nullptr;
  slot->refs.fetch_add(1);
  IOpStream* stream = slot->stream.load();
  if (stream == nullptr || slot->id.load() != streamId) {
    releaseRef(slot);
    slot = nullptr;
    return nullptr;
  }
  return stream;
}

void OpStreamController::releaseRef(Slot* slot) {
  if (slot != nullptr) slot->refs.fetch_sub(1);
}

}  // namespace qobl
}  // namespace zenlar
