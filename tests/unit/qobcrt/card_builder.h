// Test helpers: lay out runs in card memory byte by byte (op records, argument arrays), collect the
// card's reports, and a small test model node.
#ifndef QOBCRT_TEST_CARD_BUILDER_H
#define QOBCRT_TEST_CARD_BUILDER_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qobcrt/qobcrt.h"
#include "qobcrt/qobcrt_model.h"
#include "qobcrt/qobcrt_preproc.h"
#include "qobcrt/qobcrt_sim.h"
#include "qobl_test/card_stats.h"

namespace cardtest {

constexpr uint32_t kEnd = 0x80000000u;
constexpr uint32_t kRunModel = 20000, kPreprocess = 30000, kMemCopy = 40000;

using MallocFn = int (*)(uint32_t, uint32_t, uint64_t, uint64_t*);
using FreeFn = int (*)(uint32_t, uint64_t);
inline int mallocApp(uint32_t dev, uint32_t, uint64_t size, uint64_t* addr) {
  return qobcrt_malloc_app(dev, size, addr);
}
// Indexed by block kind (QOBCRT_SIM_STREAM, _INOUT, _DDR_SHARE, _APP).
const MallocFn kMalloc[4] = {qobcrt_malloc_stream, qobcrt_malloc_inout, qobcrt_malloc_ddr_share, mallocApp};
const FreeFn kFree[4] = {qobcrt_free_stream, qobcrt_free_inout, qobcrt_free_ddr_share, qobcrt_free_app};

// Device blocks made by a test, freed (each once) when it ends.
class Blocks {
 public:
  explicit Blocks(uint32_t dev = 0) : dev_(dev) {}
  ~Blocks() { freeAll(); }
  uint64_t alloc(uint32_t kind, uint64_t size) {
    uint64_t a = 0;
    EXPECT_EQ(kMalloc[kind](dev_, 0, size, &a), rtSuccess);
    held_.push_back({kind, a});
    return a;
  }
  uint64_t upload(uint32_t kind, const void* data, uint64_t size) {
    const uint64_t a = alloc(kind, size);
    EXPECT_EQ(qobcrt_memcpy(dev_, data, size, a, kHost2Ddr), rtSuccess);
    return a;
  }
  void freeAll() {
    for (auto& h : held_) EXPECT_EQ(kFree[h.first](dev_, h.second), rtSuccess);
    held_.clear();
  }

 private:
  uint32_t dev_;
  std::vector<std::pair<uint32_t, uint64_t>> held_;
};

template <class T>
void put(std::vector<uint8_t>& buf, T v) {
  const size_t at = buf.size();
  buf.resize(at + sizeof v);
  std::memcpy(buf.data() + at, &v, sizeof v);
}

// Argument array: 24-byte header ("*$%!", L, B, C, I, O) then the pointer list.  drop_entries leaves the
// last entries out of the block so that it is too small for its header.
inline uint64_t argArray(Blocks& b, uint32_t L, uint32_t B, uint32_t C, uint32_t I, uint32_t O,
                         const std::vector<uint64_t>& ptrs, const char* sep = "*$%!", size_t drop_entries = 0) {
  std::vector<uint8_t> buf(sep, sep + 4);
  for (uint32_t v : {L, B, C, I, O}) put(buf, v);
  for (size_t i = 0; i + drop_entries < ptrs.size(); ++i) put(buf, ptrs[i]);
  return b.upload(QOBCRT_SIM_STREAM, buf.data(), buf.size());
}

struct Rec {
  uint32_t uid;       // as stored (end mark included)
  uint32_t type_id;
  uint32_t flag;
  uint64_t args;
  const char* sep = "#$%&";
};

// The run's stream block: 64-byte op records back to back.
inline uint64_t runBlock(Blocks& b, const std::vector<Rec>& recs, uint32_t stream_id = 0) {
  std::vector<uint8_t> buf;
  for (const Rec& r : recs) {
    const size_t at = buf.size();
    buf.insert(buf.end(), r.sep, r.sep + 4);
    for (uint32_t v : {stream_id, 0u, r.uid, r.type_id}) put(buf, v);
    put(buf, uint64_t{0});
    put(buf, r.args);
    for (uint32_t v : {0u, 0u, r.flag, static_cast<uint32_t>(recs.size()), 0u}) put(buf, v);
    put(buf, uint64_t{0});
    EXPECT_EQ(buf.size() - at, 64u);
  }
  return b.upload(QOBCRT_SIM_STREAM, buf.data(), buf.size());
}

template <class T>
std::vector<T> readBack(uint32_t dev, uint64_t addr, size_t count) {
  std::vector<T> v(count);
  EXPECT_EQ(qobcrt_memcpy_d2h(dev, addr, count * sizeof(T), v.data()), rtSuccess);
  return v;
}

// Collects the reports of the completion function.
class Reports {
 public:
  static Reports& get() {
    static Reports r;
    return r;
  }
  static void callback(uint32_t dev, get_desc* desc, void* arg) {
    Reports* self = static_cast<Reports*>(arg);
    std::lock_guard<std::mutex> lock(self->mu_);
    self->items_.push_back(Item{dev, *desc});
    self->cv_.notify_all();
  }
  struct Item {
    uint32_t dev;
    get_desc desc;
  };
  void install(uint32_t dev) {
    get_output_register reg{};
    reg.dev_id = dev;
    reg.func_arg = this;
    reg.func_get_output = &Reports::callback;
    ASSERT_EQ(qobcrt_get_output_register(dev, &reg), rtSuccess);
  }
  // Waits for the final report of data_id (the end op or an error) and returns every report of data_id.
  std::vector<Item> waitRun(uint32_t data_id, int timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    auto ended = [&] {
      for (const Item& i : items_)
        if (i.desc.data_id == data_id && ((i.desc.context_id & 0x80000000u) != 0 || i.desc.error_code != 0))
          return true;
      return false;
    };
    EXPECT_TRUE(cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ended)) << "run " << data_id;
    std::vector<Item> out;
    for (const Item& i : items_)
      if (i.desc.data_id == data_id) out.push_back(i);
    return out;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Item> items_;
};

// Test model node "affine": one input of n floats; output 0 = 2x + 1 (n floats); output 1 = sum of x,
// a 4-byte real output stored in a 64-byte core layout.
struct Affine {
  uint32_t n;
  static int run(void* self, const void* const* in, void* const* out, char*, size_t) {
    const uint32_t n = static_cast<Affine*>(self)->n;
    const float* x = static_cast<const float*>(in[0]);
    float* y = static_cast<float*>(out[0]);
    float sum = 0;
    for (uint32_t i = 0; i < n; ++i) {
      y[i] = 2 * x[i] + 1;
      sum += x[i];
    }
    std::memset(out[1], 0xee, 64);
    std::memcpy(out[1], &sum, 4);
    return 0;
  }
  qobcrt_model_desc desc(const char* name, uint32_t batch) {
    qobcrt_model_desc d{};
    d.name = name;
    d.batch_size = batch;
    d.num_inputs = 1;
    d.num_outputs = 2;
    d.input_bytes[0] = n * 4;
    d.output_bytes[0] = n * 4;
    d.align_output_bytes[0] = n * 4;
    d.output_bytes[1] = 4;
    d.align_output_bytes[1] = 64;
    d.run = &Affine::run;
    d.self = this;
    return d;
  }
};

// A model with no inputs and one 4-byte output at batch 1, whose runs call `run` with `self`.
inline qobcrt_model_desc oneOutputModel(const char* name, decltype(qobcrt_model_desc::run) run, void* self) {
  qobcrt_model_desc d{};
  d.name = name;
  d.batch_size = 1;
  d.num_outputs = 1;
  d.output_bytes[0] = 4;
  d.run = run;
  d.self = self;
  return d;
}

// A pre-processing op's configuration block: the header, then one 32-byte entry per tensor.
inline std::vector<uint8_t> preprocBlock(const std::vector<qobcrt_preproc_tensor>& tensors) {
  qobcrt_preproc_header h{};
  h.magic = QOBCRT_PREPROC_MAGIC;
  h.version = QOBCRT_PREPROC_VERSION;
  h.header_bytes = 32;
  h.tensor_count = static_cast<uint32_t>(tensors.size());
  h.block_bytes = static_cast<uint32_t>(32 + 32 * tensors.size());
  std::vector<uint8_t> buf(h.block_bytes);
  std::memcpy(buf.data(), &h, 32);
  for (size_t t = 0; t < tensors.size(); ++t) std::memcpy(buf.data() + 32 + 32 * t, &tensors[t], 32);
  return buf;
}

inline qobcrt_sim_stats stats(uint32_t dev = 0) { return qobltest::cardStats(dev); }

}  // namespace cardtest

#endif  // QOBCRT_TEST_CARD_BUILDER_H
