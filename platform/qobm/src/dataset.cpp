// Datasets, data buffers and tensors.
//
// Every object lives in a set of live handles; a call first looks its handle up there, so a null, foreign
// or destroyed handle is answered with a code and never dereferenced.  One lock guards the sets and the
// objects' contents: the calls are short, and holding it throughout makes concurrent use from several
// threads safe.  It is a spinning lock (a few pauses, then yielding the processor): it is held for a probe
// of a small table and a field or two, so waiting for it costs less than sleeping and waking.
//
// A destroyed dataset is not freed but kept, with its entry list's capacity, for a later qobmCreateDataset:
// creating and destroying datasets at a steady rate (a clone per input) then makes no heap allocation.  A
// kept dataset is handed out again only once kDatasetQuarantine others were destroyed after it, so a handle
// just destroyed does not at once name a live dataset again.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "qobcrt/qobcrt.h"
#include "qobm_internal.h"
#include "spin_lock.h"

struct qobmDataBuffer {
  qobmDeviceInfo dev;
  uint64_t addr;
  uint64_t size;
};

struct qobmTensor {
  qobmDeviceInfo dev;
  uint64_t addr;
  uint64_t size;
  qobmShape shape;
  qobmDType dtype;
};

struct qobmDataset {
  qobmDatasetMode mode;
  std::vector<void*> entries;  // qobmDataBuffer* or qobmTensor*, as the mode says; not owned
};

namespace {

using zenlar::qobm::guarded;
using zenlar::qobm::rawEnum;

constexpr uint32_t kMaxDims = 6;

constexpr size_t kDatasetPool = 64;        // destroyed datasets kept at most
constexpr size_t kDatasetQuarantine = 16;  // destroyed datasets kept before the oldest is handed out again

using zenlar::platform::SpinLock;

// The addresses of the live objects of one type: open addressing with linear probing in a power-of-two
// table kept at most half full, so a probe of a live handle reads one or two slots; erasing moves the
// entries after it back instead of leaving markers, so probes stay short however many objects came and
// went.  Only doubling the table allocates: a steady population of objects never does.
template <typename T>
class HandleSet {
 public:
  HandleSet() : slots_(kInitialSlots, nullptr), mask_(kInitialSlots - 1), shift_(64 - kInitialBits) {}

  bool contains(const T* p) const {
    for (size_t i = home(p);; i = (i + 1) & mask_) {
      const T* s = slots_[i];
      if (s == p) return true;
      if (s == nullptr) return false;
    }
  }
  // p is not null and not in the set.  Throws std::bad_alloc (set unchanged) when the table cannot grow.
  void insert(const T* p) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    place(p);
    ++count_;
  }
  void erase(const T* p) {
    size_t i = home(p);
    while (slots_[i] != p) {
      if (slots_[i] == nullptr) return;
      i = (i + 1) & mask_;
    }
    slots_[i] = nullptr;
    --count_;
    // Entries after the hole that could not sit at or before their home move into it.
    for (size_t j = (i + 1) & mask_; slots_[j] != nullptr; j = (j + 1) & mask_) {
      const size_t k = home(slots_[j]);
      const bool homeInHole = i <= j ? (k <= i || k > j) : (k <= i && k > j);
      if (homeInHole) {
        slots_[i] = slots_[j];
        slots_[j] = nullptr;
        i = j;
      }
    }
  }

 private:
  static constexpr unsigned kInitialBits = 6;
  static constexpr size_t kInitialSlots = size_t{1} << kInitialBits;

  // Fibonacci hashing: the top bits of the address times 2^64 / golden ratio.
  size_t home(const T* p) const {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(p) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void place(const T* p) {
    size_t i = home(p);
    while (slots_[i] != nullptr) i = (i + 1) & mask_;
    slots_[i] = p;
  }
  void grow() {
    std::vector<const T*> old(slots_.size() * 2, nullptr);
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    --shift_;
    for (const T* p : old) {
      if (p != nullptr) place(p);
    }
  }

  std::vector<const T*> slots_;
  size_t mask_;
  unsigned shift_;
  size_t count_ = 0;
};

struct Registry {
  SpinLock mu;
  HandleSet<qobmDataset> datasets;
  HandleSet<qobmDataBuffer> buffers;
  HandleSet<qobmTensor> tensors;
  // Destroyed datasets, oldest first (a ring of kDatasetPool).
  qobmDataset* spare[kDatasetPool] = {};
  size_t spareFirst = 0;
  size_t spareCount = 0;
};

// Made when the library is loaded and never destroyed: other libraries' threads may still call in while
// the process exits.  A plain pointer, so that a call reaches it without a guard of first use.
Registry* const gRegistry = new Registry;

Registry& registry() { return *gRegistry; }

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

// Looks the dataset up and, when checkMode is set, checks that it holds entries of the wanted kind.
int findDataset(Registry& r, const qobmDataset* ds, qobmDatasetMode wanted, bool checkMode) {
  if (ds == nullptr) return QOBM_ERR_INVALID_PARAM;
  if (!r.datasets.contains(ds)) return QOBM_ERR_INVALID_HANDLE;
  if (checkMode && ds->mode != wanted) return QOBM_ERR_MODE;
  return QOBM_SUCCESS;
}

template <typename T>
int findObject(const HandleSet<T>& set, const T* obj) {
  if (obj == nullptr) return QOBM_ERR_INVALID_PARAM;
  return set.contains(obj) ? QOBM_SUCCESS : QOBM_ERR_INVALID_HANDLE;
}

int countEntries(qobmDataset* dataset, qobmDatasetMode wanted, uint32_t* count) {
  return guarded([&] {
    if (count == nullptr) return QOBM_ERR_INVALID_PARAM;
    Registry& r = registry();
    std::lock_guard<SpinLock> lock(r.mu);
    int rc = findDataset(r, dataset, wanted, true);
    if (rc != QOBM_SUCCESS) return rc;
    *count = static_cast<uint32_t>(dataset->entries.size());
    return QOBM_SUCCESS;
  });
}

// Reads one field of a live buffer or tensor into *out under the registry lock.
template <typename T, typename Out, typename Get>
int readField(const HandleSet<T>& (*setOf)(Registry&), T* obj, Out* out, Get get) {
  return guarded([&] {
    if (out == nullptr) return QOBM_ERR_INVALID_PARAM;
    Registry& r = registry();
    std::lock_guard<SpinLock> lock(r.mu);
    int rc = findObject<T>(setOf(r), obj);
    if (rc != QOBM_SUCCESS) return rc;
    *out = get(*obj);
    return QOBM_SUCCESS;
  });
}

const HandleSet<qobmDataBuffer>& bufferSet(Registry& r) { return r.buffers; }
const HandleSet<qobmTensor>& tensorSet(Registry& r) { return r.tensors; }

}  // namespace

extern "C" {

// ---- datasets ----

int qobmCreateDataset(qobmDatasetMode mode, qobmDataset** dataset) {
  return guarded([&] {
    const long long rawMode = rawEnum(mode);
    if (dataset == nullptr || (rawMode != qobmDM_BUFFER && rawMode != qobmDM_TENSOR)) return QOBM_ERR_INVALID_PARAM;
    Registry& r = registry();
    {
      std::lock_guard<SpinLock> lock(r.mu);
      if (r.spareCount > kDatasetQuarantine) {
        const size_t slot = r.spareFirst;
        r.spareFirst = (r.spareFirst + 1) % kDatasetPool;
        --r.spareCount;
        qobmDataset* ds = r.spare[slot];
        r.spare[slot] = nullptr;
        ds->mode = mode;
        ds->entries.clear();  // keeps the capacity
        try {
          r.datasets.insert(ds);
        } catch (...) {
          delete ds;
          throw;
        }
        *dataset = ds;
        return QOBM_SUCCESS;
      }
    }
    auto* ds = new qobmDataset{mode, {}};
    try {
      std::lock_guard<SpinLock> lock(r.mu);
      r.datasets.insert(ds);
    } catch (...) {
      delete ds;
      throw;
    }
    *dataset = ds;
    return QOBM_SUCCESS;
  });
}

int qobmDestroyDataset(qobmDataset* dataset) {
  return guarded([&] {
    Registry& r = registry();
    {
      std::lock_guard<SpinLock> lock(r.mu);
      int rc = findDataset(r, dataset, qobmDM_BUFFER, false);
      if (rc != QOBM_SUCCESS) return rc;
      r.datasets.erase(dataset);
      if (r.spareCount < kDatasetPool) {
        const size_t slot = (r.spareFirst + r.spareCount) % kDatasetPool;
        r.spare[slot] = dataset;
        ++r.spareCount;
        return QOBM_SUCCESS;
      }
    }
    delete dataset;
    return QOBM_SUCCESS;
  });
}

int qobmGetDatasetMode(qobmDataset* dataset, qobmDatasetMode* mode) {
  return guarded([&] {
    if (mode == nullptr) return QOBM_ERR_INVALID_PARAM;
    Registry& r = registry();
    std::lock_guard<SpinLock> lock(r.mu);
    int rc = findDataset(r, dataset, qobmDM_BUFFER, false);
    if (rc != QOBM_SUCCESS) return rc;
    *mode = dataset->mode;
    return QOBM_SUCCESS;
  });
}

int qobmGetDatasetBufferCount(qobmDataset* dataset, uint32_t* count) {
  return countEntries(dataset, qobmDM_BUFFER, count);
}

int qobmGetDatasetTensorCount(qobmDataset* dataset, uint32_t* count) {
  return countEntries(dataset, qobmDM_TENSOR, count);
}

int qobmGetDatasetBuffer(qobmDataset* dataset, uint32_t index, qobmDataBuffer** buffer) {
  return guarded([&] {
    if (buffer == nullptr) return QOBM_ERR_INVALID_PARAM;
    Registry& r = registry();
    std::lock_guard<SpinLock> lock(r.mu);
    int rc = findDataset(r, dataset, qobmDM_BUFFER, true);
    if (rc != QOBM_SUCCESS) return rc;
    if (index >= dataset->entries.size()) return QOBM_ERR_INDEX;
    *buffer = static_cast<qobmDataBuffer*>(dataset->entries[index]);
    return QOBM_SUCCESS;
  });
}

int qobmGetDatasetTensor(qobmDataset* dataset, uint32_t index, qobmTensor** tensor) {
  return guarded([&] {
    if (tensor == nullptr) return QOBM_ERR_INVALID_PARAM;
    Registry& r = registry();
    std::lock_guard<SpinLock> lock(r.mu);
    int rc = findDataset(r, dataset, qobmDM_TENSOR, true);
    if (rc != QOBM_SUCCESS) return rc;
    if (index >= dataset->entries.size()) return QOBM_ERR_INDEX;
    *tensor = static_cast<qobmTensor*>(dataset->entries[index]);
    return QOBM_SUCCESS;
  });
}

int qobmAddDatasetBuffer(qobmDataset* dataset, qobmDataBuffer* buffer) {
  return guarded([&] {
    Registry& r = registry();
    std::lock_guard<SpinLock> lock(r.mu);
    int rc = findDataset(r, dataset, qobmDM_BUFFER, true);
    if (rc == QOBM_SUCCESS) rc = findObject<qobmDataBuffer>(r.buffers, buffer);
    if (rc != QOBM_SUCCESS) return rc;
    if (dataset->entries.size() >= UINT32_MAX) return QOBM_ERR_INDEX;
    dataset->entries.push_back(buffer);
    return QOBM_SUCCESS;
  });
}

int qobmAddDatasetTensor(qobmDataset* dataset, qobmTensor* tensor) {
  return guarded([&] {
    Registry& r = registry();
    std::lock_guard<SpinLock> lock(r.mu);
    int rc = findDataset(r, dataset, qobmDM_TENSOR, true);
    if (rc == QOBM_SUCCESS) rc = findObject<qobmTensor>(r.tensors, tensor);
    if (rc != QOBM_SUCCESS) return rc;
    if (dataset->entries.size() >= UINT32_MAX) return QOBM_ERR_INDEX;
    dataset->entries.push_back(tensor);
    return QOBM_SUCCESS;
  });
}

// ---- data buffers ----

int qobmCreateDataBuffer(qobmDeviceInfo dev, uint64_t addr, uint64_t size, qobmDataBuffer** buffer) {
  return guarded([&] {
    if (buffer == nullptr || !validRegion(addr, size)) return QOBM_ERR_INVALID_PARAM;
    if (!validDeviceInfo(dev)) return QOBM_ERR_DEVICE;
    Registry& r = registry();
    auto* b = new qobmDataBuffer{dev, addr, size};
    try {
      std::lock_guard<SpinLock> lock(r.mu);
      r.buffers.insert(b);
    } catch (...) {
      delete b;
      throw;
    }
    *buffer = b;
    return QOBM_SUCCESS;
  });
}

int qobmDestroyDataBuffer(qobmDataBuffer* buffer) {
  return guarded([&] {
    Registry& r = registry();
    {
      std::lock_guard<SpinLock> lock(r.mu);
      int rc = findObject<qobmDataBuffer>(r.buffers, buffer);
      if (rc != QOBM_SUCCESS) return rc;
      r.buffers.erase(buffer);
    }
    delete buffer;
    return QOBM_SUCCESS;
  });
}

int qobmGetDataBufferAddr(qobmDataBuffer* buffer, uint64_t* addr) {
  return readField(bufferSet, buffer, addr, [](const qobmDataBuffer& b) { return b.addr; });
}

int qobmGetDataBufferSize(qobmDataBuffer* buffer, uint64_t* size) {
  return readField(bufferSet, buffer, size, [](const qobmDataBuffer& b) { return b.size; });
}

int qobmGetDataBufferDeviceInfo(qobmDataBuffer* buffer, qobmDeviceInfo* info) {
  return readField(bufferSet, buffer, info, [](const qobmDataBuffer& b) { return b.dev; });
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
    Registry& r = registry();
    auto* t = new qobmTensor{dev, addr, size, copy, dtype};
    try {
      std::lock_guard<SpinLock> lock(r.mu);
      r.tensors.insert(t);
    } catch (...) {
      delete t;
      throw;
    }
    *tensor = t;
    return QOBM_SUCCESS;
  });
}

int qobmDestroyTensor(qobmTensor* tensor) {
  return guarded([&] {
    Registry& r = registry();
    {
      std::lock_guard<SpinLock> lock(r.mu);
      int rc = findObject<qobmTensor>(r.tensors, tensor);
      if (rc != QOBM_SUCCESS) return rc;
      r.tensors.erase(tensor);
    }
    delete tensor;
    return QOBM_SUCCESS;
  });
}

int qobmGetTensorDataHandle(qobmTensor* tensor, uint64_t* addr) {
  return readField(tensorSet, tensor, addr, [](const qobmTensor& t) { return t.addr; });
}

int qobmGetTensorSize(qobmTensor* tensor, uint64_t* size) {
  return readField(tensorSet, tensor, size, [](const qobmTensor& t) { return t.size; });
}

int qobmGetTensorShape(qobmTensor* tensor, qobmShape* shape) {
  return readField(tensorSet, tensor, shape, [](const qobmTensor& t) { return t.shape; });
}

int qobmGetTensorDataType(qobmTensor* tensor, qobmDType* dtype) {
  return readField(tensorSet, tensor, dtype, [](const qobmTensor& t) { return t.dtype; });
}

int qobmGetTensorDeviceInfo(qobmTensor* tensor, qobmDeviceInfo* info) {
  return readField(tensorSet, tensor, info, [](const qobmTensor& t) { return t.dev; });
}

}  // extern "C"
