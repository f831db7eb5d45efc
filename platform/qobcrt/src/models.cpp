// Loaded model nodes registered by the graph runtime, their pre-process op records, and the device
// interface registration.
#include <cstring>
#include <thread>

#include "card.h"

namespace zenlar {
namespace qobcrt {

namespace {

std::atomic<int> g_device_api_registered{0};

// The newest live node of that name; model_mu held.
ModelPtr findByNameLocked(Device& d, const char* name) {
  ModelPtr best;
  for (const auto& entry : d.models) {
    const ModelPtr& m = entry.second;
    if (!m->dying && m->name == name && (!best || m->serial > best->serial)) best = m;
  }
  return best;
}

// Pre-process op records: `num` records back to back filling exactly `size` bytes, each at least as long
// as its 24-byte head says it is.
bool recordsConsistent(const void* ops, uint64_t size, uint32_t num) {
  if (size == 0) return num == 0;
  if (ops == nullptr) return false;
  const uint8_t* p = static_cast<const uint8_t*>(ops);
  uint64_t pos = 0;
  for (uint32_t i = 0; i < num; ++i) {
    if (size - pos < 24) return false;
    uint32_t len = 0;
    std::memcpy(&len, p + pos + 4, 4);
    if (len < 24 || len > size - pos) return false;
    pos += len;
  }
  return pos == size;
}

// Rewrites the (real, aligned) output sizes that inout allocations read without the lock; model_mu held.
void publishInoutSizesLocked(Device& d) {
  InoutSizes& t = d.inout_sizes;
  uint32_t n = 0;
  bool overflow = false;
  t.version.fetch_add(1);   // odd: readers retry
  for (const auto& entry : d.models) {
    const qobcrt_model_desc& m = entry.second->desc;
    for (uint32_t o = 0; o < m.num_outputs; ++o) {
      if (m.align_output_bytes[o] <= m.output_bytes[o]) continue;
      if (n == InoutSizes::kMax) {
        overflow = true;
        continue;
      }
      t.real[n].store(m.output_bytes[o]);
      t.aligned[n].store(m.align_output_bytes[o]);
      ++n;
    }
  }
  t.count.store(n);
  t.overflow.store(overflow);
  t.version.fetch_add(1);
}

}  // namespace

uint64_t inoutCapacity(Device& d, uint64_t requested) {
  const InoutSizes& t = d.inout_sizes;
  for (;;) {
    const uint32_t v = t.version.load();
    if ((v & 1) != 0) {
      std::this_thread::yield();
      continue;
    }
    if (t.overflow.load()) break;
    uint64_t found = requested;
    const uint32_t n = t.count.load();
    for (uint32_t i = 0; i < n && found == requested; ++i)
      if (t.real[i].load() == requested) found = t.aligned[i].load();
    if (t.version.load() == v) return found;
  }
  std::lock_guard<std::mutex> lock(d.model_mu);
  for (const auto& entry : d.models) {
    const qobcrt_model_desc& m = entry.second->desc;
    for (uint32_t o = 0; o < m.num_outputs; ++o) {
      if (m.output_bytes[o] == requested && m.align_output_bytes[o] > requested) return m.align_output_bytes[o];
    }
  }
  return requested;
}

ModelNode* acquireModel(Device& d, uint64_t addr) {
  std::lock_guard<SpinLock> lock(d.model_spin);
  auto it = d.models.find(addr);
  if (it == d.models.end() || it->second->dying) return nullptr;
  ++it->second->active;
  return it->second.get();
}

void releaseModel(Device& d, ModelNode* node) {
  bool wake;
  {
    std::lock_guard<SpinLock> lock(d.model_spin);
    wake = --node->active == 0 && node->dying;
  }
  if (!wake) return;
  // The unregistering thread reads the count under model_mu before it waits: taking model_mu here means
  // it either saw the count at zero or is already waiting for this notification.
  { std::lock_guard<std::mutex> lock(d.model_mu); }
  d.model_cv.notify_all();
}

namespace {
// Active runs of the node; model_mu held.
uint32_t activeRuns(Device& d, const ModelNode& node) {
  std::lock_guard<SpinLock> lock(d.model_spin);
  return node.active;
}
}  // namespace

}  // namespace qobcrt
}  // namespace zenlar

using zenlar::qobcrt::Device;
using zenlar::qobcrt::ModelPtr;

extern "C" {

int qobcrt_register_model(uint32_t dev, const qobcrt_model_desc* desc, uint64_t* addr) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (desc == nullptr || addr == nullptr || desc->name == nullptr || desc->name[0] == '\0' ||
        desc->run == nullptr || desc->batch_size == 0 || desc->num_inputs > QOBCRT_MODEL_MAX_IO ||
        desc->num_outputs > QOBCRT_MODEL_MAX_IO ||
        !zenlar::qobcrt::recordsConsistent(desc->vdsp_ops, desc->vdsp_ops_size, desc->vdsp_ops_num))
      return static_cast<int>(rtErrInvalidParam);
    auto node = std::make_shared<zenlar::qobcrt::ModelNode>();
    node->name = desc->name;
    node->desc = *desc;
    for (uint32_t o = 0; o < desc->num_outputs; ++o) {
      uint64_t& align = node->desc.align_output_bytes[o];
      if (align == 0) align = desc->output_bytes[o];
      if (align < desc->output_bytes[o]) return static_cast<int>(rtErrInvalidParam);
    }
    if (desc->vdsp_ops_size != 0) {
      const uint8_t* p = static_cast<const uint8_t*>(desc->vdsp_ops);
      node->vdsp_ops.assign(p, p + desc->vdsp_ops_size);
    }
    node->desc.name = node->name.c_str();
    node->desc.vdsp_ops = node->vdsp_ops.empty() ? nullptr : node->vdsp_ops.data();
    std::lock_guard<std::mutex> lock(d->model_mu);
    // Next free 64-byte slot of the model window, wrapping around.
    const uint64_t slots = (zenlar::qobcrt::kModelAddrHigh - zenlar::qobcrt::kModelAddrLow) / zenlar::qobcrt::kAlign;
    uint64_t a = d->next_model_addr;
    for (uint64_t tries = 0;; ++tries) {
      if (tries == slots) return static_cast<int>(rtErrMalloc);
      if (a >= zenlar::qobcrt::kModelAddrHigh) a = zenlar::qobcrt::kModelAddrLow;
      if (d->models.count(a) == 0) break;
      a += zenlar::qobcrt::kAlign;
    }
    d->next_model_addr = a + zenlar::qobcrt::kAlign;
    node->addr = a;
    node->serial = ++d->model_serial;
    {
      std::lock_guard<zenlar::qobcrt::SpinLock> spin(d->model_spin);
      d->models[a] = node;
    }
    zenlar::qobcrt::publishInoutSizesLocked(*d);
    *addr = a;
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_unregister_model(uint32_t dev, uint64_t addr) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    // From a model's run function the wait below could be for the run making the call (or, across
    // devices, for an engine waiting in turn for this one): refused rather than waiting for ever.
    if (zenlar::qobcrt::onEngineThread()) return static_cast<int>(rtErrOthers);
    std::unique_lock<std::mutex> lock(d->model_mu);
    auto it = d->models.find(addr);
    if (it == d->models.end() || it->second->dying) return static_cast<int>(rtErrModel);
    ModelPtr node = it->second;
    {
      std::lock_guard<zenlar::qobcrt::SpinLock> spin(d->model_spin);
      node->dying = true;   // runs that reach the node from now on fail with rtErrModel
    }
    d->model_cv.wait(lock, [&] { return zenlar::qobcrt::activeRuns(*d, *node) == 0; });
    {
      std::lock_guard<zenlar::qobcrt::SpinLock> spin(d->model_spin);
      d->models.erase(addr);
    }
    zenlar::qobcrt::publishInoutSizesLocked(*d);
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_sim_run_model(uint32_t dev, uint64_t addr, const void* const* inputs, void* const* outputs, char* err,
                         size_t err_size) {
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (inputs == nullptr || outputs == nullptr) return static_cast<int>(rtErrInvalidParam);
    zenlar::qobcrt::ModelNode* node = zenlar::qobcrt::acquireModel(*d, addr);
    if (node == nullptr) return static_cast<int>(rtErrModel);
    char text[256] = {0};
    const int rc = node->desc.run(node->desc.self, inputs, outputs, text, sizeof text);
    zenlar::qobcrt::releaseModel(*d, node);
    text[sizeof text - 1] = '\0';
    if (err != nullptr && err_size > 0) {
      std::strncpy(err, rc != 0 ? text : "", err_size - 1);
      err[err_size - 1] = '\0';
    }
    return rc != 0 ? static_cast<int>(rtErrKernel) : static_cast<int>(rtSuccess);
  });
}

int qobcrt_model_addr(uint32_t dev, const char* name, uint64_t* addr) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (name == nullptr || addr == nullptr) return static_cast<int>(rtErrInvalidParam);
    std::lock_guard<std::mutex> lock(d->model_mu);
    ModelPtr node = zenlar::qobcrt::findByNameLocked(*d, name);
    if (!node) return static_cast<int>(rtErrModel);
    *addr = node->addr;
    return static_cast<int>(rtSuccess);
  });
}

int qobcrt_get_vdsp_ops(uint32_t dev, const char* name, multi_dsp_ops* ops) {
  QOBCRT_FAULT_POINT();
  return zenlar::qobcrt::guarded([&] {
    Device* d = zenlar::qobcrt::card().device(dev);
    if (d == nullptr) return static_cast<int>(rtErrInvalidDevice);
    if (name == nullptr || ops == nullptr) return static_cast<int>(rtErrInvalidParam);
    std::lock_guard<std::mutex> lock(d->model_mu);
    ModelPtr node = zenlar::qobcrt::findByNameLocked(*d, name);
    if (!node) return static_cast<int>(rtErrModel);
    void* copy = nullptr;
    if (!node->vdsp_ops.empty()) {
      copy = std::malloc(node->vdsp_ops.size());
      if (copy == nullptr) return static_cast<int>(rtErrMalloc);
      std::memcpy(copy, node->vdsp_ops.data(), node->vdsp_ops.size());
    }
    // The pointer sits unaligned at offset 4 of the packed record.
    const uint32_t num = node->desc.vdsp_ops_num;
    std::memcpy(reinterpret_cast<uint8_t*>(ops) + offsetof(multi_dsp_ops, num), &num, sizeof num);
    std::memcpy(reinterpret_cast<uint8_t*>(ops) + offsetof(multi_dsp_ops, ops), &copy, sizeof copy);
    return static_cast<int>(rtSuccess);
  });
}

void QOBCRegisterDeviceAPI(void) { zenlar::qobcrt::g_device_api_registered.store(1); }

int qobcrt_device_api_registered(void) { return zenlar::qobcrt::g_device_api_registered.load(); }

}  // extern "C"
