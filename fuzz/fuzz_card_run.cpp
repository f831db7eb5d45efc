// The card's run decoder: op records, argument arrays and configuration blocks in card memory, as an
// application (or a buggy library) may leave them.  Each input describes a few device blocks and how to run
// the first one; the target allocates the blocks, fills them, runs the first as a run's stream memory
// (synchronously, asynchronously, or abandoned while it runs), frees everything and then checks that the
// card's accounting is whole: every run ended once, every async run got exactly one final report (its
// last), and no block or byte stayed in use.  The demo models classifier, segmenter and trivial are loaded
// once per process, so that run-model ops can reach real kernels.
//
// Input format (little-endian):
//   "QCRD" u8 mode, u8 block count, u16 unused, then per block
//   u8 kind (0 stream, 1 inout, 2 shared DDR, 3 app), u8 u16 unused, u32 size, u32 label, u32 length,
//   length bytes of content (the rest of the block is zero).
// A label is the address the block had where the input was made: before the run, every 8-byte value at a
// 4-byte aligned offset of any block that lies inside a labelled block is moved to the same offset of that
// block's new address, so pointers between blocks survive the move.  Without the "QCRD" head the whole
// input is the content of a single stream block (raw records).
//   mode bit 0: asynchronous run (qobcrt_run_stream, reported through the completion function)
//   mode bit 1: the blocks are freed as soon as the run is queued; a synchronous run is then waited for
//               with a time-out of 0 ms, i.e. abandoned while it runs
//   mode bit 2: the run is queued twice (asynchronous) or run twice (synchronous)
//
// Inputs that start with "QOBE" drive the op engine instead: they configure a pre-processing op (tensor
// counts, byte sizes, tensor types, scales as doubles, configuration and buffer counts) and ask it for
// configuration blocks.  Every block the engine makes must be one the card accepts: each is run on inputs
// and outputs of the configured sizes and must succeed; then the blocks and buffers are freed and the
// card's accounting checked as above.
//   "QOBE" u8 inputs, u8 outputs, u8 config_count, u8 buffer_count, u32 buffer_size, u32 update count,
//   then per tensor (up to 8): u8 what to set (1 tensor_type<t>, 2 scale<t>, 4 scale0), u32 input size,
//   u32 output size, i32 tensor type, f64 scale.
//
// With QOBL_FUZZ_CARD_SEEDS=DIR the target instead writes seed inputs to DIR and exits: the runs the
// library makes for the demo pipelines (pre-processing -> run-model, run-model -> memory-copy, run-model),
// captured when the library hands them to qobcrt_run_stream_sync, in every mode.
#include <dlfcn.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <qobe/qobe.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"

namespace {

constexpr uint32_t kDev = 0;
constexpr uint32_t kStreamId = 0x7eed;
constexpr uint32_t kMaxBlocks = 12;
constexpr uint32_t kMaxBlockBytes = 1u << 20;
constexpr int kWaitMs = 15000;   // a run that has not ended by then is a hang

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "fuzz_card_run: %s\n", what);
  std::abort();
}

bool isRuntimeCode(int rc) { return rc == 0 || (rc >= 500000 && rc <= 500124); }

template <class T>
T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// ---- the card's completion reports of this process's runs ----
struct Report {
  uint32_t data_id, context_id, error_code;
};
std::mutex g_mu;
std::condition_variable g_cv;
std::vector<Report> g_reports;

void onReport(uint32_t, get_desc* desc, void*) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_reports.push_back({desc->data_id, desc->context_id, desc->error_code});
  g_cv.notify_all();
}
bool isFinal(const Report& r) { return (r.context_id & 0x80000000u) != 0 || r.error_code != 0; }

// ---- the real qobcrt_run_stream_sync, and the capture of the library's runs for the seeds ----
using RunSyncFn = int (*)(uint32_t, uint64_t, uint32_t, uint32_t*);
RunSyncFn realRunSync() {
  static const RunSyncFn fn = reinterpret_cast<RunSyncFn>(dlsym(RTLD_NEXT, "qobcrt_run_stream_sync"));
  if (fn == nullptr) die("qobcrt_run_stream_sync not found");
  return fn;
}

struct Block {
  uint32_t kind = 0;
  uint64_t size = 0;
  uint64_t label = 0;
  std::vector<uint8_t> content;
};
bool g_capturing = false;
std::vector<std::vector<Block>> g_captured;

// The live block holding addr, read back whole; false when addr is in none.
bool readBlock(uint64_t addr, Block* out) {
  uint32_t kind = 0;
  uint64_t base = 0, size = 0;
  if (qobcrt_query_block(kDev, addr, &kind, &base, &size) != 0 || size == 0) return false;
  out->kind = kind;
  out->size = size;
  out->label = base;
  out->content.resize(size);
  if (qobcrt_memcpy_d2h(kDev, base, size, out->content.data()) != 0) return false;
  return true;
}

// Every block a run reaches: its stream block, then each op's argument array and what its pointer list
// names (configuration blocks, inputs, outputs).
void captureRun(uint64_t stream_addr) {
  std::vector<Block> blocks(1);
  if (!readBlock(stream_addr, &blocks[0]) || blocks[0].label != stream_addr) return;
  std::map<uint64_t, size_t> seen{{blocks[0].label, 0}};
  auto add = [&](uint64_t addr) -> const Block* {
    Block b;
    if (!readBlock(addr, &b)) return nullptr;
    auto it = seen.find(b.label);
    if (it != seen.end()) return &blocks[it->second];
    seen[b.label] = blocks.size();
    blocks.push_back(std::move(b));
    return &blocks.back();
  };
  const std::vector<uint8_t> records = blocks[0].content;
  for (size_t at = 0; at + 64 <= records.size(); at += 64) {
    const uint64_t args = load<uint64_t>(&records[at + 28]);
    if (const Block* a = add(args)) {
      const std::vector<uint8_t> bytes = a->content;
      const uint64_t off = args - a->label;
      if (off + 24 <= bytes.size()) {
        const uint64_t L = load<uint32_t>(&bytes[off + 4]), B = load<uint32_t>(&bytes[off + 8]),
                       C = load<uint32_t>(&bytes[off + 12]), I = load<uint32_t>(&bytes[off + 16]),
                       O = load<uint32_t>(&bytes[off + 20]);
        const uint64_t n = L * C + L * B * (I + O);
        for (uint64_t k = 0; k < n && off + 24 + 8 * (k + 1) <= bytes.size(); ++k)
          add(load<uint64_t>(&bytes[off + 24 + 8 * k]));
      }
    }
    if ((load<uint32_t>(&records[at + 12]) & 0x80000000u) != 0) break;
  }
  g_captured.push_back(std::move(blocks));
}

// ---- one input ----
template <class T>
void put(std::vector<uint8_t>& out, T v) {
  const size_t at = out.size();
  out.resize(at + sizeof v);
  std::memcpy(out.data() + at, &v, sizeof v);
}

std::vector<uint8_t> encode(uint8_t mode, const std::vector<Block>& blocks) {
  std::vector<uint8_t> out{'Q', 'C', 'R', 'D', mode, static_cast<uint8_t>(blocks.size()), 0, 0};
  for (const Block& b : blocks) {
    size_t len = b.content.size();
    while (len > 0 && b.content[len - 1] == 0) --len;   // zeros need not be spelled out
    put<uint32_t>(out, b.kind);
    put<uint32_t>(out, static_cast<uint32_t>(b.size));
    put<uint32_t>(out, static_cast<uint32_t>(b.label));
    put<uint32_t>(out, static_cast<uint32_t>(len));
    out.insert(out.end(), b.content.begin(), b.content.begin() + static_cast<std::ptrdiff_t>(len));
  }
  return out;
}

bool decode(const uint8_t* data, size_t size, uint8_t* mode, std::vector<Block>* blocks) {
  if (size < 8 || std::memcmp(data, "QCRD", 4) != 0) {
    if (size == 0 || size > kMaxBlockBytes) return false;
    Block b;
    b.size = (size + 63) / 64 * 64;
    b.content.assign(data, data + size);
    blocks->push_back(std::move(b));
    *mode = 0;
    return true;
  }
  *mode = data[4];
  const uint32_t count = data[5] < kMaxBlocks ? data[5] : kMaxBlocks;
  size_t at = 8;
  for (uint32_t i = 0; i < count && at + 16 <= size; ++i) {
    Block b;
    b.kind = load<uint32_t>(data + at) & 3u;
    b.size = load<uint32_t>(data + at + 4);
    b.label = load<uint32_t>(data + at + 8);
    uint64_t len = load<uint32_t>(data + at + 12);
    at += 16;
    if (b.size == 0 || b.size > kMaxBlockBytes) b.size = 64;
    if (len > b.size) len = b.size;
    if (len > size - at) len = size - at;
    b.content.assign(data + at, data + at + len);
    at += len;
    blocks->push_back(std::move(b));
  }
  return !blocks->empty() && (*blocks)[0].kind == QOBCRT_SIM_STREAM;
}

int allocBlock(uint32_t kind, uint64_t size, uint64_t* addr) {
  switch (kind) {
    case QOBCRT_SIM_STREAM: return qobcrt_malloc_stream(kDev, 0, size, addr);
    case QOBCRT_SIM_INOUT: return qobcrt_malloc_inout(kDev, 0, size, addr);
    case QOBCRT_SIM_DDR_SHARE: return qobcrt_malloc_ddr_share(kDev, 0, size, addr);
    default: return qobcrt_malloc_app(kDev, size, addr);
  }
}
int freeBlock(uint32_t kind, uint64_t addr) {
  switch (kind) {
    case QOBCRT_SIM_STREAM: return qobcrt_free_stream(kDev, addr);
    case QOBCRT_SIM_INOUT: return qobcrt_free_inout(kDev, addr);
    case QOBCRT_SIM_DDR_SHARE: return qobcrt_free_ddr_share(kDev, addr);
    default: return qobcrt_free_app(kDev, addr);
  }
}

qobcrt_sim_stats stats() {
  qobcrt_sim_stats s{};
  if (qobcrt_sim_get_stats(kDev, &s) != 0) die("qobcrt_sim_get_stats failed");
  return s;
}
uint64_t usedBytes() {
  uint64_t total = 0, used = 0;
  if (qobcrt_get_memory_info(kDev, &total, &used) != 0) die("qobcrt_get_memory_info failed");
  return used;
}

// Waits until every run submitted has ended and the memory in use is back to `used`.
void waitIdle(uint64_t used) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  for (;;) {
    const qobcrt_sim_stats s = stats();
    if (s.runs_submitted == s.runs_completed + s.runs_failed && usedBytes() == used) return;
    if (std::chrono::steady_clock::now() > deadline) die("a run never ended, or its memory stayed in use");
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

// Everything this process keeps on the card between inputs, and the state to return to after each.
struct Baseline {
  qobcrt_sim_stats stats;
  uint64_t used;
};

void checkBack(const Baseline& base) {
  waitIdle(base.used);
  const qobcrt_sim_stats s = stats();
  for (uint32_t k = 0; k < 4; ++k)
    if (s.live_blocks[k] != base.stats.live_blocks[k] || s.live_bytes[k] != base.stats.live_bytes[k])
      die("live blocks or bytes differ from before the input");
  if (s.allocs[0] - base.stats.allocs[0] + s.allocs[1] - base.stats.allocs[1] + s.allocs[2] -
          base.stats.allocs[2] + s.allocs[3] - base.stats.allocs[3] !=
      s.frees[0] - base.stats.frees[0] + s.frees[1] - base.stats.frees[1] + s.frees[2] - base.stats.frees[2] +
          s.frees[3] - base.stats.frees[3])
    die("allocations and frees of the input differ");
}

uint32_t g_data_id = 0;

// Runs the blocks per mode and checks the card afterwards; returns the status of the last synchronous run
// (0 for an asynchronous one).
uint32_t runOne(uint8_t mode, std::vector<Block>& blocks, const Baseline& base) {
  // Allocate, relocate the pointers between blocks, upload.
  std::vector<uint64_t> addr(blocks.size(), 0);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const int rc = allocBlock(blocks[i].kind, blocks[i].size, &addr[i]);
    if (!isRuntimeCode(rc)) die("allocation returned a code outside the runtime's");
    if (rc != 0) addr[i] = 0;
  }
  for (Block& b : blocks) {
    b.content.resize(b.size, 0);
    for (size_t at = 0; at + 8 <= b.content.size(); at += 4) {
      const uint64_t v = load<uint64_t>(&b.content[at]);
      for (size_t j = 0; j < blocks.size(); ++j) {
        if (blocks[j].label == 0 || v < blocks[j].label || v - blocks[j].label >= blocks[j].size || addr[j] == 0)
          continue;
        const uint64_t moved = addr[j] + (v - blocks[j].label);
        std::memcpy(&b.content[at], &moved, 8);
        at += 4;   // the next value starts after this one
        break;
      }
    }
  }
  for (size_t i = 0; i < blocks.size(); ++i)
    if (addr[i] != 0 && qobcrt_memcpy(kDev, blocks[i].content.data(), blocks[i].size, addr[i], kHost2Ddr) != 0)
      die("uploading a block into its own allocation failed");

  const bool async = (mode & 1) != 0, early_free = (mode & 2) != 0;
  const uint32_t times = (mode & 4) != 0 ? 2 : 1;
  const qobcrt_sim_stats before = stats();
  auto freeAll = [&] {
    for (size_t i = 0; i < blocks.size(); ++i) {
      if (addr[i] != 0 && freeBlock(blocks[i].kind, addr[i]) != 0) die("freeing a block failed");
      addr[i] = 0;
    }
  };
  uint32_t accepted = 0, sync_ok = 0, sync_failed = 0, last_status = rtErrOthers;
  std::vector<uint32_t> ids;
  if (addr[0] != 0 && async) {
    for (uint32_t t = 0; t < times; ++t) {
      run_stream rec{};
      rec.dev = kDev;
      rec.stream_id = kStreamId;
      rec.data_id = ++g_data_id;
      rec.stream_addr = static_cast<uint32_t>(addr[0]);
      const int rc = qobcrt_run_stream(kDev, &rec);
      if (!isRuntimeCode(rc)) die("qobcrt_run_stream returned a code outside the runtime's");
      if (rc == 0) {
        ++accepted;
        ids.push_back(rec.data_id);
      }
    }
    if (early_free) freeAll();
    // Every accepted run reports exactly once finally, and that report is its last.
    std::unique_lock<std::mutex> lock(g_mu);
    for (uint32_t id : ids) {
      auto ended = [&] {
        for (const Report& r : g_reports)
          if (r.data_id == id && isFinal(r)) return true;
        return false;
      };
      if (!g_cv.wait_for(lock, std::chrono::milliseconds(kWaitMs), ended)) die("an async run never reported its end");
    }
  } else if (addr[0] != 0) {
    for (uint32_t t = 0; t < times; ++t) {
      uint32_t status = 0;
      const int rc = realRunSync()(kDev, addr[0], early_free ? 0 : static_cast<uint32_t>(kWaitMs), &status);
      if (!isRuntimeCode(rc)) die("qobcrt_run_stream_sync returned a code outside the runtime's");
      if (rc == rtErrTimeout && !early_free) die("a synchronous run did not finish in time");
      if (rc == 0 || rc == rtErrTimeout) ++accepted;
      if (rc == 0) ++(status == 0 ? sync_ok : sync_failed);
      last_status = rc == 0 ? status : static_cast<uint32_t>(rc);
      if (rc == 0 && !isRuntimeCode(static_cast<int>(status))) die("a run's status is not a runtime code");
    }
  }
  freeAll();
  waitIdle(base.used);

  const qobcrt_sim_stats after = stats();
  if (after.runs_submitted - before.runs_submitted != accepted) die("runs submitted differ from runs accepted");
  if (!async && (after.runs_completed - before.runs_completed < sync_ok ||
                 after.runs_failed - before.runs_failed < sync_failed))
    die("a synchronous run's status disagrees with the run counters");
  if (async) {
    std::lock_guard<std::mutex> lock(g_mu);
    uint64_t failed = 0;
    for (uint32_t id : ids) {
      int finals = 0;
      bool last_final = false;
      for (const Report& r : g_reports) {
        if (r.data_id != id) continue;
        finals += isFinal(r) ? 1 : 0;
        last_final = isFinal(r);
        if (isFinal(r) && r.error_code != 0) ++failed;
      }
      if (finals != 1 || !last_final) die("an async run's final report is not exactly one, or not its last");
    }
    if (after.runs_failed - before.runs_failed != failed) die("failed runs differ from failing reports");
    if (after.reports_delivered - before.reports_delivered != g_reports.size())
      die("reports delivered differ from reports received");
    g_reports.clear();
    last_status = 0;
  }
  checkBack(base);
  return last_status;
}

// ---- the op engine's configuration blocks ----
constexpr uint32_t kMaxTensors = 8;
constexpr uint32_t kMaxRunBytes = 1u << 16;   // larger tensors are configured but not run

void engineOne(const uint8_t* data, size_t size, const Baseline& base) {
  std::vector<uint8_t> in(data + 4, data + size);
  in.resize(16 + kMaxTensors * 21, 0);
  const uint32_t inputs = in[0], outputs = in[1], configs = in[2], buffers = in[3];
  const uint32_t buffer_size = load<uint32_t>(&in[4]), update = load<uint32_t>(&in[8]);
  uint32_t in_size[kMaxTensors], out_size[kMaxTensors];
  qobeOp* op = nullptr;
  if (qobeCreateOp(qobeOP_PREPROCESS_OP, &op) != 0) die("qobeCreateOp failed");
  qobeSetOpAttr(op, "input_count", qobeATTR_UINT32, 1, inputs);
  qobeSetOpAttr(op, "output_count", qobeATTR_UINT32, 1, outputs);
  qobeSetOpAttr(op, "config_count", qobeATTR_UINT32, 1, configs);
  qobeSetOpAttr(op, "buffer_count", qobeATTR_UINT32, 1, buffers);
  qobeSetOpAttr(op, "buffer_size", qobeATTR_UINT32, 1, buffer_size);
  for (uint32_t t = 0; t < kMaxTensors; ++t) {
    const uint8_t* e = &in[12 + 21 * t];
    in_size[t] = load<uint32_t>(e + 1);
    out_size[t] = load<uint32_t>(e + 5);
    const std::string idx = std::to_string(t);
    if ((e[0] & 1) != 0) qobeSetOpAttr(op, ("tensor_type" + idx).c_str(), qobeATTR_INT32, 1, load<int32_t>(e + 9));
    if ((e[0] & 2) != 0) qobeSetOpAttr(op, ("scale" + idx).c_str(), qobeATTR_FLOAT32, 1, load<double>(e + 13));
    if ((e[0] & 4) != 0) qobeSetOpAttr(op, "scale0", qobeATTR_FLOAT32, 1, load<double>(e + 13));
  }
  const uint32_t n = inputs < kMaxTensors ? inputs : kMaxTensors;
  const uint32_t* sz[2] = {in_size, out_size};
  for (int k = 0; k < 2; ++k)   // the first n sizes (the engine reads as many as the op has tensors)
    qobeSetOpAttr(op, k == 0 ? "input_size" : "output_size", qobeATTR_UINT32, n == 0 ? 1 : n, sz[k][0], sz[k][1],
                  sz[k][2], sz[k][3], sz[k][4], sz[k][5], sz[k][6], sz[k][7]);
  const int rc = qobeSetOpAttr(op, "update_config_list", qobeATTR_UINT32, 1, update);
  if (rc != 0 && rc != qobeERR_INVALID_ARG && rc != qobeERR_NOT_CONFIGURED && rc != qobeERR_UNSUPPORTED &&
      !isRuntimeCode(rc))
    die("update_config_list returned an unexpected code");
  std::vector<uint64_t> cfg, buf;
  if (rc == 0) {
    uint32_t count = 0;
    for (int k = 0; k < 2; ++k) {
      const char* key = k == 0 ? "config_address" : "buffer_address";
      std::vector<uint64_t>& out = k == 0 ? cfg : buf;
      if (qobeGetOpAttrCount(op, key, &count) != 0) die("no addresses after an update");
      out.resize(count);
      for (uint32_t i = 0; i < count; ++i)
        if (qobeGetOpAttrArray(op, key, qobeATTR_UINT64, i, &out[i]) != 0) die("an address cannot be read");
    }
    if (cfg.size() != update || buf.size() != buffers) die("an update made the wrong number of blocks");
    // Each block on inputs and outputs of exactly the configured sizes: the card must accept it.  The
    // blocks and buffers stay meanwhile: the state to return to after each run includes them.
    const Baseline with_blocks{stats(), usedBytes()};
    bool small = inputs == outputs && inputs <= kMaxTensors;
    for (uint32_t t = 0; small && t < inputs; ++t)
      small = in_size[t] != 0 && out_size[t] != 0 && in_size[t] <= kMaxRunBytes && out_size[t] <= kMaxRunBytes;
    for (size_t c = 0; small && c < cfg.size(); ++c) {
      std::vector<Block> blocks(2);
      std::vector<uint8_t> args{'*', '$', '%', '!'};
      for (uint32_t v : {1u, 1u, 1u, inputs, outputs}) put<uint32_t>(args, v);
      put<uint64_t>(args, cfg[c]);
      for (uint32_t t = 0; t < 2 * inputs; ++t) {
        Block b;
        b.kind = t < inputs ? QOBCRT_SIM_APP : QOBCRT_SIM_INOUT;
        b.size = t < inputs ? in_size[t] : out_size[t - inputs];
        b.label = 0xc0000000u + 0x100000u * (t + 1);   // names the block in the pointer list below
        b.content.assign(t < inputs ? b.size : 0, static_cast<uint8_t>(0x3c));
        put<uint64_t>(args, b.label);
        blocks.push_back(std::move(b));
      }
      blocks[1].kind = QOBCRT_SIM_STREAM;
      blocks[1].size = args.size();
      blocks[1].label = 0x01800000u;
      blocks[1].content = args;
      std::vector<uint8_t> rec(64, 0);
      std::memcpy(rec.data(), "#$%&", 4);
      const uint32_t uid = 0x80000001u, type = 30000;
      std::memcpy(&rec[12], &uid, 4);
      std::memcpy(&rec[16], &type, 4);
      std::memcpy(&rec[28], &blocks[1].label, 4);
      blocks[0].kind = QOBCRT_SIM_STREAM;
      blocks[0].size = 64;
      blocks[0].content = rec;
      if (runOne(0, blocks, with_blocks) != 0) die("the card refused a configuration block the op engine made");
    }
  }
  for (uint64_t a : cfg)
    if (qobcrt_free_stream(kDev, a) != 0) die("a configuration block cannot be freed");
  for (uint64_t a : buf)
    if (qobcrt_free_ddr_share(kDev, a) != 0) die("a working buffer cannot be freed");
  if (qobeDestroyOp(op) != 0) die("qobeDestroyOp failed");
  checkBack(base);
}

// ---- process set-up ----
struct Loaded {
  qoblModel* classifier = nullptr;
  qoblModel* segmenter = nullptr;
  qoblModel* trivial = nullptr;
};

qoblModel* loadModel(const char* name, uint32_t batch) {
  using qoblfuzz::modelFile;
  qoblModel* m = nullptr;
  if (qoblCreateModel(modelFile(name, "model.so").c_str(), modelFile(name, "graph.json").c_str(),
                      modelFile(name, "params.bin").c_str(), modelFile(name, "hw.json").c_str(), &m) != 0 ||
      qoblSetModelBatchSize(m, &batch) != 0)
    die("a demo model did not load (is QOBL_BUILD_DIR or the build's models dir right?)");
  return m;
}

Loaded& models() {
  static Loaded l = [] {
    qoblfuzz::setUp();
    Loaded m;
    m.classifier = loadModel("classifier", 2);
    m.segmenter = loadModel("segmenter", 2);
    m.trivial = loadModel("trivial", 1);
    return m;
  }();
  return l;
}

const Baseline& baseline() {
  static const Baseline b = [] {
    models();
    create_stream cs{};
    cs.stream_id = kStreamId;
    get_output_register reg{};
    reg.dev_id = kDev;
    reg.func_get_output = &onReport;
    if (qobcrt_create_stream(kDev, &cs) != 0 || qobcrt_get_output_register(kDev, &reg) != 0)
      die("cannot set up the card's stream and completion function");
    return Baseline{stats(), usedBytes()};
  }();
  return b;
}

// ---- seeds: the library's runs of the demo pipelines ----
std::vector<uint8_t> fileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool u32Array(qobeOp* op, const char* key, uint32_t v) { return qobeSetOpAttr(op, key, qobeATTR_UINT32, 1, v) == 0; }

// Builds input -> [pre-processing] -> run-model -> [memory-copy] for the model (loaded with that batch
// size, 1 or 2) and runs its sample once per batch position.
void libraryRun(qoblModel* model, const char* name, int batch, bool preprocess, bool copy) {
  const std::vector<uint8_t> sample = fileBytes(qoblfuzz::modelFile(name, "sample_input.bin"));
  if (sample.empty()) die("no sample input");
  qoblOpGraph* graph = nullptr;
  qobeOp *input = nullptr, *pre = nullptr, *run = nullptr, *mc = nullptr;
  qoblStream* stream = nullptr;
  if (qoblCreateOpGraph(&graph) != 0 || qoblCreateGraphInputOp(graph, 1, &input) != 0) die("graph");
  qobeOp* parent = input;
  if (preprocess) {
    const uint32_t n = static_cast<uint32_t>(sample.size());
    if (qobeCreateOp(qobeOP_PREPROCESS_OP, &pre) != 0 || !u32Array(pre, "input_count", 1) ||
        !u32Array(pre, "output_count", 1) || !u32Array(pre, "input_size", n) || !u32Array(pre, "output_size", n) ||
        qobeSetOpAttr(pre, "is_runmodel_input", qobeATTR_BOOL, 1, 1) != 0 || qoblConnectOps(parent, pre) != 0)
      die("pre-processing op");
    parent = pre;
  }
  if (qoblCreateRunModelOp(model, &run) != 0 || qoblConnectOps(parent, run) != 0) die("run-model op");
  if (copy && (qobeCreateOp(qobeOP_MEM_COPY_OP, &mc) != 0 || qoblConnectOps(run, mc) != 0)) die("memory-copy op");
  if (qoblCreateOpStream(graph, qoblBM_ONCE, &stream) != 0 || qoblBuildStream(stream) != 0) die("stream");

  // Two inputs fill the batch of 2: the first is gathered, the second runs both synchronously.
  const qobmDeviceInfo dev = {qobmDE_QOBC, 0};
  std::vector<qobmDataBuffer*> bufs;
  std::vector<uint64_t> addrs;
  qobmDataset* ins[2] = {nullptr, nullptr};
  qobmDataset* outs[2] = {nullptr, nullptr};
  for (int b = 0; b < batch; ++b) {
    uint64_t a = 0;
    qobmDataBuffer* buf = nullptr;
    if (qobmCreateDataset(qobmDM_BUFFER, &ins[b]) != 0 || qobmMalloc(sample.size(), &a) != 0 ||
        qobmMemcpy(a, reinterpret_cast<uint64_t>(sample.data()), sample.size(), 0) != 0 ||
        qobmCreateDataBuffer(dev, a, sample.size(), &buf) != 0 || qobmAddDatasetBuffer(ins[b], buf) != 0 ||
        qoblRequestOutputDataset(stream, &outs[b]) != 0)
      die("input or output dataset");
    bufs.push_back(buf);
    addrs.push_back(a);
  }
  if (batch == 2 && qoblRunStreamAsync(stream, ins[0], outs[0]) != qoblERR_RUN_PENDING) die("gathering an input");
  if (qoblRunStream(stream, ins[batch - 1], outs[batch - 1], 10000) != 0) die("the library's run failed");
  if (qoblSynchronizeStream(stream, 10000) != 0) die("synchronizing the stream");
  if (qoblDestroyOpStream(stream) != 0) die("destroy stream");
  for (int b = 0; b < batch; ++b) {
    uint32_t n = 0;
    qobmGetDatasetBufferCount(outs[b], &n);
    for (uint32_t i = 0; i < n; ++i) {
      qobmDataBuffer* buf = nullptr;
      uint64_t a = 0;
      if (qobmGetDatasetBuffer(outs[b], i, &buf) == 0 && qobmGetDataBufferAddr(buf, &a) == 0) {
        qobmFree(a);
        qobmDestroyDataBuffer(buf);
      }
    }
    qobmDestroyDataset(outs[b]);
    qobmDestroyDataset(ins[b]);
  }
  for (qobmDataBuffer* buf : bufs) qobmDestroyDataBuffer(buf);
  for (uint64_t a : addrs) qobmFree(a);
  qoblDestroyOpGraph(graph);
  std::free(graph);
  for (qobeOp* op : {input, pre, run, mc})
    if (op != nullptr) qobeDestroyOp(op);
}

void writeSeeds(const std::string& dir) {
  Loaded& m = models();
  g_capturing = true;
  libraryRun(m.classifier, "classifier", 2, true, false);
  libraryRun(m.segmenter, "segmenter", 2, false, true);
  libraryRun(m.trivial, "trivial", 1, false, false);
  g_capturing = false;
  if (g_captured.size() != 3) die("not every library run was captured");
  int written = 0;
  for (const std::vector<Block>& run : g_captured) {
    for (uint8_t mode : {0, 1, 2, 3, 4, 5}) {
      const std::vector<uint8_t> bytes = encode(mode, run);
      std::ofstream(dir + "/seed" + std::to_string(written++), std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    // Raw mode: the op records alone.
    std::ofstream(dir + "/seed" + std::to_string(written++), std::ios::binary)
        .write(reinterpret_cast<const char*>(run[0].content.data()), static_cast<std::streamsize>(run[0].size));
  }
  // The op engine: one quantising tensor (the classifier's), two float16 tensors with working buffers and
  // three copies of the block, and a plain copy.
  struct Tensor {
    uint8_t set;
    uint32_t in, out;
    int32_t type;
    double scale;
  };
  auto engineSeed = [&](uint8_t n, uint8_t configs, uint8_t buffers, const std::vector<Tensor>& ts) {
    std::vector<uint8_t> bytes{'Q', 'O', 'B', 'E', n, n, configs, buffers};
    put<uint32_t>(bytes, 4096);
    put<uint32_t>(bytes, configs);
    for (const Tensor& t : ts) {
      bytes.push_back(t.set);
      put(bytes, t.in);
      put(bytes, t.out);
      put(bytes, t.type);
      put(bytes, t.scale);
    }
    std::ofstream(dir + "/seed" + std::to_string(written++), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  };
  engineSeed(1, 1, 0, {{3, 3072, 768, 1, 1.0 / 64}});
  engineSeed(2, 3, 2, {{1, 64, 32, 3, 0}, {5, 256, 128, 4, 0.5}});
  engineSeed(1, 1, 0, {{0, 100, 100, 0, 0}});
  std::printf("fuzz_card_run: %d seeds written to %s\n", written, dir.c_str());
}

}  // namespace

// The library's synchronous runs go through here (the executable's definition comes first): while seeds
// are made, the run's blocks are captured before the card executes it.
extern "C" int qobcrt_run_stream_sync(uint32_t dev, uint64_t stream_addr, uint32_t timeout_ms, uint32_t* status) {
  if (g_capturing && dev == kDev) captureRun(stream_addr);
  return realRunSync()(dev, stream_addr, timeout_ms, status);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The card backs its memory with host memory: a card of 128 MiB keeps a block as large as the card
  // below the fuzzer's allocation limit (256 MiB), so that asking for all of it is no failure.
  setenv("QOBCRT_MEMORY_MB", "128", 0);
  if (const char* dir = std::getenv("QOBL_FUZZ_CARD_SEEDS")) {
    writeSeeds(dir);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Baseline& base = baseline();
  if (size >= 4 && std::memcmp(data, "QOBE", 4) == 0) {
    engineOne(data, size, base);
    return 0;
  }
  uint8_t mode = 0;
  std::vector<Block> blocks;
  if (!decode(data, size, &mode, &blocks)) return -1;   // not worth keeping in the corpus
  runOne(mode, blocks, base);
  return 0;
}
