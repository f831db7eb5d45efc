// Datasets, data buffers and tensors.
//
// Each kind lives in an arena of never-freed slots (arena.h), so handles are checked by address alone.
// Each slot has its own lock, held while a call reads or changes the object: the calls on different objects
// never contend, and concurrent use of one object from several threads is safe.  It is a spinning lock (a
// few pauses, then yielding the processor): it is held for a field or two.  A destroyed dataset's slot
// keeps its entry list capacity, so a clone per input makes no heap allocation.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "arena.h"
#include "qobcrt/qobcrt.h"
#include "qobm_internal.h"
#include "spin_lock.h"

// The fields a call reads without the slot's lock are atomics, written under the lock (release) and read
// after the slot's state (acquire).  A reader that meets a slot being destroyed and made again reads either
// object's fields, as it would had it come before or after.
struct qobmDataBuffer {
  std::atomic<uint64_t> dev;    // qobmDeviceInfo, as eight bytes
  std::atomic<uint64_t> addr;
  std::atomic<uint64_t> size;
};

struct qobmTensor {
  qobmDeviceInfo dev;
  uint64_t addr;
  uint64_t size;
  qobmShape shape;
  qobmDType dtype;
};

static_assert(sizeof(qobmDeviceInfo) == sizeof(uint64_t), "a device info packs into one word");

constexpr uint32_t kInlineEntries = 6;   // entries of a dataset readable without its lock

// A dataset's mode and entry count are in its slot's state word.
struct qobmDataset {
  std::atomic<void*> first[kInlineEntries];   // the first entries: qobmDataBuffer* or qobmTensor*, not owned
  std::vector<void*> more;                    // the entries after them (the slot's lock)
};

namespace {

using zenlar::platform::SpinLock;
using zenlar::qobm::Arena;
using zenlar::qobm::Locked;
using zenlar::qobm::create;
using zenlar::qobm::destroy;
using zenlar::qobm::kLive;
using zenlar::qobm::guarded;
using zenlar::qobm::rawEnum;

constexpr uint32_t kMaxDims = 6;
constexpr size_t kKeptEntryCapacity = 64;   // a destroyed dataset keeps an entry list up to this capacity

// A dataset adds its mode and entry count to its slot's state word.
constexpr uint64_t kModeTensor = uint64_t{1} << 32;
constexpr uint64_t kCountMask = 0xffffffffu;

// Made when the library is loaded and never destroyed: other libraries' threads may still call in while
// the process exits.  Plain pointers, so that a call reaches them without a guard of first use.
Arena<qobmDataset>* const gDatasets = new Arena<qobmDataset>;
Arena<qobmDataBuffer>* const gBuffers = new Arena<qobmDataBuffer>;
Arena<qobmTensor>* const gTensors = new Arena<qobmTensor>;

// What stateOf<true> answers for an address outside the first chunk: ask stateOf<false>.  The calls that
// read without a lock look in the first chunk only and hand anything else to their own general version,
// so that their common path calls nothing.
constexpr int kLookFurther = -1;

// The state word of the object at p (0 when it is not live), or a code: QOBM_ERR_INVALID_PARAM for null,
// QOBM_ERR_INVALID_HANDLE for an address that is no object of the arena, kLookFurther (kFirstOnly) for
// an address outside the first chunk.
template <bool kFirstOnly, typename T>
[[gnu::always_inline]] inline int stateOf(const Arena<T>& arena, const T* p, uint64_t* state) {
  if (p == nullptr) return QOBM_ERR_INVALID_PARAM;
  typename Arena<T>::Slot* s = nullptr;
  if (!arena.findFirst(p, &s)) {
    if (kFirstOnly) return kLookFurther;
    s = arena.find(p);
  }
  if (s == nullptr) return QOBM_ERR_INVALID_HANDLE;
  *state = s->state.load(std::memory_order_acquire);
  return QOBM_SUCCESS;
}

bool validDeviceInfo(const qobmDeviceInfo& dev) {
  const long long type = rawEnum(dev.dev);
  if (type == qobmDE_CPU) return true;
  if (type != qobmDE_QOBC) return false;
  uint32_t count = 0;
  return qobcrt_get_device_count(&count) == 0 && dev.devIdx < count;
}

// A null address is only acceptable for an empty region.
bool validRegion(uint64_t addr, uint64_t size) { return addr != 0 || size == 0; }

bool validDType(qobmDType t) {
  switch (rawEnum(t)) {
    case qobmDT_UINT8: case qobmDT_INT8: case qobmDT_UINT16: case qobmDT_INT16: case qobmDT_UINT32:
    case qobmDT_INT32: case qobmDT_FLOAT16: case qobmDT_FLOAT32: case qobmDT_BFLOAT:
      return true;
    default:
      return false;
  }
}

uint64_t modeBits(qobmDatasetMode mode) { return mode == qobmDM_TENSOR ? kModeTensor : 0; }

// The state word of a live dataset holding entries of the wanted kind, or a code (as stateOf).
template <bool kFirstOnly>
[[gnu::always_inline]] inline int datasetState(const qobmDataset* ds, qobmDatasetMode wanted, uint64_t* state) {
  const int rc = stateOf<kFirstOnly>(*gDatasets, ds, state);
  if (rc != QOBM_SUCCESS) return rc;
  if ((*state & kLive) == 0) return QOBM_ERR_INVALID_HANDLE;
  return (*state & kModeTensor) == modeBits(wanted) ? QOBM_SUCCESS : QOBM_ERR_MODE;
}

// The general versions of the calls below, out of line so that the calls' common path makes no call.
int countEntriesAnywhere(qobmDataset* dataset, qobmDatasetMode wanted, uint32_t* count);
template <typename T>
int entryAtAnywhere(qobmDataset* dataset, qobmDatasetMode wanted, uint32_t index, T** out);
template <typename Out>
int readBufferAnywhere(qobmDataBuffer* buffer, const std::atomic<uint64_t> qobmDataBuffer::*field, Out* out);
int datasetModeAnywhere(qobmDataset* dataset, qobmDatasetMode* mode);

template <bool kFirstOnly = true>
int countEntries(qobmDataset* dataset, qobmDatasetMode wanted, uint32_t* count) {
  if (count == nullptr) return QOBM_ERR_INVALID_PARAM;
  uint64_t state = 0;
  const int rc = datasetState<kFirstOnly>(dataset, wanted, &state);
  if (rc == kLookFurther) return countEntriesAnywhere(dataset, wanted, count);
  if (rc != QOBM_SUCCESS) return rc;
  *count = static_cast<uint32_t>(state & kCountMask);
  return QOBM_SUCCESS;
}

template <typename T>
int entryAfterFirst(qobmDataset* dataset, qobmDatasetMode wanted, uint32_t index, T** out);

template <typename T, bool kFirstOnly = true>
int entryAt(qobmDataset* dataset, qobmDatasetMode wanted, uint32_t index, T** out) {
  if (out == nullptr) return QOBM_ERR_INVALID_PARAM;
  uint64_t state = 0;
  int rc = datasetState<kFirstOnly>(dataset, wanted, &state);
  if (rc == kLookFurther) return entryAtAnywhere(dataset, wanted, index, out);
  if (rc != QOBM_SUCCESS) return rc;
  if (index < kInlineEntries) {
    if (index >= (state & kCountMask)) return QOBM_ERR_INDEX;
    *out = static_cast<T*>(dataset->first[index].load(std::memory_order_relaxed));
    return QOBM_SUCCESS;
  }
  return entryAfterFirst(dataset, wanted, index, out);
}

// Entries past the first few live in a vector that a concurrent add may move: read under the lock.
template <typename T>
[[gnu::noinline]] int entryAfterFirst(qobmDataset* dataset, qobmDatasetMode wanted, uint32_t index, T** out) {
  Locked<qobmDataset> l(*gDatasets, dataset);
  if (l.rc() != QOBM_SUCCESS) return l.rc();
  const uint64_t now = l.slot()->state.load(std::memory_order_relaxed);
  if ((now & kModeTensor) != modeBits(wanted)) return QOBM_ERR_MODE;
  if (index >= (now & kCountMask)) return QOBM_ERR_INDEX;
  *out = static_cast<T*>(l.obj().more[index - kInlineEntries]);
  return QOBM_SUCCESS;
}

// Adds an entry past the first few, to the vector that may have to grow; the dataset's slot locked.
[[gnu::noinline]] int addToVector(Arena<qobmDataset>::Slot* s, uint64_t state, void* entry) {
  if ((state & kCountMask) >= UINT32_MAX) return QOBM_ERR_INDEX;
  return guarded([&] {
    s->obj.more.push_back(entry);
    s->state.store(state + 1, std::memory_order_release);
    return QOBM_SUCCESS;
  });
}

template <typename T>
int addEntryAnywhere(qobmDataset* dataset, qobmDatasetMode wanted, const Arena<T>& arena, T* entry);

// Adds a live entry of the arena to a live dataset of the wanted mode.
template <typename T, bool kFirstOnly = true>
int addEntry(qobmDataset* dataset, qobmDatasetMode wanted, const Arena<T>& arena, T* entry) {
  if (dataset == nullptr) return QOBM_ERR_INVALID_PARAM;
  Arena<qobmDataset>::Slot* s = nullptr;
  if (!gDatasets->findFirst(dataset, &s)) {
    if (kFirstOnly) return addEntryAnywhere(dataset, wanted, arena, entry);
    s = gDatasets->find(dataset);
  }
  if (s == nullptr) return QOBM_ERR_INVALID_HANDLE;
  std::lock_guard<SpinLock> lock(s->mu);
  const uint64_t state = s->state.load(std::memory_order_relaxed);
  if ((state & kLive) == 0) return QOBM_ERR_INVALID_HANDLE;
  if ((state & kModeTensor) != modeBits(wanted)) return QOBM_ERR_MODE;
  uint64_t entryState = 0;
  int rc = stateOf<false>(arena, entry, &entryState);
  if (rc == QOBM_SUCCESS && (entryState & kLive) == 0) rc = QOBM_ERR_INVALID_HANDLE;
  if (rc != QOBM_SUCCESS) return rc;
  const uint64_t count = state & kCountMask;
  if (count >= kInlineEntries) return addToVector(s, state, entry);
  s->obj.first[count].store(entry, std::memory_order_relaxed);
  s->state.store(state + 1, std::memory_order_release);
  return QOBM_SUCCESS;
}

template <typename T>
[[gnu::noinline]] int addEntryAnywhere(qobmDataset* dataset, qobmDatasetMode wanted, const Arena<T>& arena, T* entry) {
  return addEntry<T, false>(dataset, wanted, arena, entry);
}

template <bool kFirstOnly = true>
int datasetMode(qobmDataset* dataset, qobmDatasetMode* mode) {
  if (mode == nullptr) return QOBM_ERR_INVALID_PARAM;
  uint64_t state = 0;
  const int rc = stateOf<kFirstOnly>(*gDatasets, dataset, &state);
  if (rc == kLookFurther) return datasetModeAnywhere(dataset, mode);
  if (rc != QOBM_SUCCESS) return rc;
  if ((state & kLive) == 0) return QOBM_ERR_INVALID_HANDLE;
  *mode = (state & kModeTensor) != 0 ? qobmDM_TENSOR : qobmDM_BUFFER;
  return QOBM_SUCCESS;
}

// Reads one field of a live buffer without its lock.
template <typename Out, bool kFirstOnly = true>
int readBuffer(qobmDataBuffer* buffer, const std::atomic<uint64_t> qobmDataBuffer::*field, Out* out) {
  if (out == nullptr) return QOBM_ERR_INVALID_PARAM;
  uint64_t state = 0;
  const int rc = stateOf<kFirstOnly>(*gBuffers, buffer, &state);
  if (rc == kLookFurther) return readBufferAnywhere(buffer, field, out);
  if (rc != QOBM_SUCCESS) return rc;
  if ((state & kLive) == 0) return QOBM_ERR_INVALID_HANDLE;
  const uint64_t v = (buffer->*field).load(std::memory_order_relaxed);
  static_assert(sizeof(Out) == sizeof v, "a buffer field is one word");
  std::memcpy(out, &v, sizeof v);
  return QOBM_SUCCESS;
}

// Reads one field of a live tensor under its lock.
template <typename Out, typename Get>
int readTensor(qobmTensor* tensor, Out* out, Get get) {
  if (out == nullptr) return QOBM_ERR_INVALID_PARAM;
  Locked<qobmTensor> l(*gTensors, tensor);
  if (l.rc() != QOBM_SUCCESS) return l.rc();
  *out = get(l.obj());
  return QOBM_SUCCESS;
}

[[gnu::noinline]] int countEntriesAnywhere(qobmDataset* dataset, qobmDatasetMode wanted, uint32_t* count) {
  return countEntries<false>(dataset, wanted, count);
}
template <typename T>
[[gnu::noinline]] int entryAtAnywhere(qobmDataset* dataset, qobmDatasetMode wanted, uint32_t index, T** out) {
  return entryAt<T, false>(dataset, wanted, index, out);
}
template <typename Out>
[[gnu::noinline]] int readBufferAnywhere(qobmDataBuffer* buffer, const std::atomic<uint64_t> qobmDataBuffer::*field,
                                         Out* out) {
  return readBuffer<Out, false>(buffer, field, out);
}
[[gnu::noinline]] int datasetModeAnywhere(qobmDataset* dataset, qobmDatasetMode* mode) {
  return datasetMode<false>(dataset, mode);
}

}  // namespace

extern "C" {

// ---- datasets ----

int qobmCreateDataset(qobmDatasetMode mode, qobmDataset** dataset) {
  return guarded([&] {
    const long long rawMode = rawEnum(mode);
    if (dataset == nullptr || (rawMode != qobmDM_BUFFER && rawMode != qobmDM_TENSOR)) return QOBM_ERR_INVALID_PARAM;
    *dataset = create(*gDatasets, modeBits(mode), [](qobmDataset& ds) { ds.more.clear(); });  // keeps the capacity
    return QOBM_SUCCESS;
  });
}

int qobmDestroyDataset(qobmDataset* dataset) {
  return destroy(*gDatasets, dataset, [](qobmDataset& ds) {
    if (ds.more.capacity() > kKeptEntryCapacity) std::vector<void*>().swap(ds.more);
  });
}

int qobmGetDatasetMode(qobmDataset* dataset, qobmDatasetMode* mode) {
  return datasetMode(dataset, mode);
}

int qobmGetDatasetBufferCount(qobmDataset* dataset, uint32_t* count) {
  return countEntries(dataset, qobmDM_BUFFER, count);
}

int qobmGetDatasetTensorCount(qobmDataset* dataset, uint32_t* count) {
  return countEntries(dataset, qobmDM_TENSOR, count);
}

int qobmGetDatasetBuffer(qobmDataset* dataset, uint32_t index, qobmDataBuffer** buffer) {
  return entryAt(dataset, qobmDM_BUFFER, index, buffer);
}

int qobmGetDatasetTensor(qobmDataset* dataset, uint32_t index, qobmTensor** tensor) {
  return entryAt(dataset, qobmDM_TENSOR, index, tensor);
}

int qobmAddDatasetBuffer(qobmDataset* dataset, qobmDataBuffer* buffer) {
  return addEntry(dataset, qobmDM_BUFFER, *gBuffers, buffer);
}

int qobmAddDatasetTensor(qobmDataset* dataset, qobmTensor* tensor) {
  return addEntry(dataset, qobmDM_TENSOR, *gTensors, tensor);
}

// ---- data buffers ----

int qobmCreateDataBuffer(qobmDeviceInfo dev, uint64_t addr, uint64_t size, qobmDataBuffer** buffer) {
  return guarded([&] {
    if (buffer == nullptr || !validRegion(addr, size)) return QOBM_ERR_INVALID_PARAM;
    if (!validDeviceInfo(dev)) return QOBM_ERR_DEVICE;
    uint64_t devWord = 0;
    std::memcpy(&devWord, &dev, sizeof devWord);
    *buffer = create(*gBuffers, 0, [&](qobmDataBuffer& b) {
      b.dev.store(devWord, std::memory_order_relaxed);
      b.addr.store(addr, std::memory_order_relaxed);
      b.size.store(size, std::memory_order_relaxed);
    });
    return QOBM_SUCCESS;
  });
}

int qobmDestroyDataBuffer(qobmDataBuffer* buffer) {
  return destroy(*gBuffers, buffer, [](qobmDataBuffer&) {});
}

int qobmGetDataBufferAddr(qobmDataBuffer* buffer, uint64_t* addr) {
  return readBuffer(buffer, &qobmDataBuffer::addr, addr);
}

int qobmGetDataBufferSize(qobmDataBuffer* buffer, uint64_t* size) {
  return readBuffer(buffer, &qobmDataBuffer::size, size);
}

int qobmGetDataBufferDeviceInfo(qobmDataBuffer* buffer, qobmDeviceInfo* info) {
  return readBuffer(buffer, &qobmDataBuffer::dev, info);
}

// ---- tensors ----

int qobmCreateTensor(qobmDeviceInfo dev, uint64_t addr, uint64_t size, const qobmShape* shape, qobmDType dtype,
                     qobmTensor** tensor) {
  return guarded([&] {
    if (tensor == nullptr || shape == nullptr || !validRegion(addr, size)) return QOBM_ERR_INVALID_PARAM;
    if (shape->ndims > kMaxDims || !validDType(dtype)) return QOBM_ERR_INVALID_PARAM;
    for (uint32_t i = 0; i < shape->ndims; ++i) {
      if (shape->shapes[i] < 0) return QOBM_ERR_INVALID_PARAM;
    }
    if (!validDeviceInfo(dev)) return QOBM_ERR_DEVICE;
    // Extents beyond ndims are stored as 0 so that a read-back shape is fully defined.
    qobmShape copy{};
    copy.ndims = shape->ndims;
    for (uint32_t i = 0; i < shape->ndims; ++i) copy.shapes[i] = shape->shapes[i];
    *tensor = create(*gTensors, 0, [&](qobmTensor& t) { t = qobmTensor{dev, addr, size, copy, dtype}; });
    return QOBM_SUCCESS;
  });
}

int qobmDestroyTensor(qobmTensor* tensor) {
  return destroy(*gTensors, tensor, [](qobmTensor&) {});
}

int qobmGetTensorDataHandle(qobmTensor* tensor, uint64_t* addr) {
  return readTensor(tensor, addr, [](const qobmTensor& t) { return t.addr; });
}

int qobmGetTensorSize(qobmTensor* tensor, uint64_t* size) {
  return readTensor(tensor, size, [](const qobmTensor& t) { return t.size; });
}

int qobmGetTensorShape(qobmTensor* tensor, qobmShape* shape) {
  return readTensor(tensor, shape, [](const qobmTensor& t) { return t.shape; });
}

int qobmGetTensorDataType(qobmTensor* tensor, qobmDType* dtype) {
  return readTensor(tensor, dtype, [](const qobmTensor& t) { return t.dtype; });
}

int qobmGetTensorDeviceInfo(qobmTensor* tensor, qobmDeviceInfo* info) {
  return readTensor(tensor, info, [](const qobmTensor& t) { return t.dev; });
}

}  // extern "C"
