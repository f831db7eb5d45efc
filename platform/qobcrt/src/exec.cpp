// Executes one run: decodes the op records and argument arrays in card memory and runs each op.
#include "exec.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "card.h"
#include "formats.h"
#include "qobcrt/qobcrt_preproc.h"

namespace zenlar {
namespace qobcrt {

namespace {

constexpr uint32_t kMaxCount = 4096;   // sanity bound of the argument header counts

// A failed op: its runtime code and a text for qobcrt_sim_last_error.
struct Failure {
  uint32_t code = 0;
  std::string why;
};

// Decoded argument array: the header and its pointer list, read lazily from card memory.
class Args {
 public:
  ArgHeader h{};
  const uint8_t* list = nullptr;
  uint64_t config_entries = 0;   // length of the configuration region

  uint64_t at(uint64_t index) const {
    uint64_t v;
    std::memcpy(&v, list + index * 8, 8);
    return v;
  }
  // Configuration address c of loop l.  A configuration region of L entries (one per loop, whatever C)
  // is the memory-copy layout.
  uint64_t config(uint32_t l, uint32_t c) const {
    return config_entries == uint64_t{h.loop_count} * h.config_count ? at(uint64_t{l} * h.config_count + c) : at(l);
  }
  uint64_t slot(uint32_t l, uint32_t b) const {
    return config_entries + (uint64_t{l} * h.batch_size + b) * (uint64_t{h.input_count} + h.output_count);
  }
  uint64_t input(uint32_t l, uint32_t b, uint32_t i) const { return at(slot(l, b) + i); }
  uint64_t output(uint32_t l, uint32_t b, uint32_t o) const { return at(slot(l, b) + h.input_count + o); }
};

// An address-keyed table of one run, emptied between runs without giving its memory back: open addressing
// with linear probing; an entry belongs to the current run when its stamp is the table's.  Erased entries
// stay as tombstones until the next run.
template <class V>
class RunTable {
 public:
  void clear() {
    if (++stamp_ == 0) {   // the stamp wrapped: forget every entry for real
      for (Entry& e : entries_) e.stamp = 0;
      stamp_ = 1;
    }
    used_ = 0;
  }
  const V* find(uint64_t key) const {
    if (used_ == 0) return nullptr;   // nothing put in this run
    const Entry* e = slot(key);
    return e != nullptr && e->stamp == stamp_ && e->key == key && e->live ? &e->value : nullptr;
  }
  void put(uint64_t key, const V& value) {
    if ((used_ + 1) * 2 > entries_.size()) grow();
    Entry* e = slot(key);
    if (e->stamp != stamp_) {
      e->stamp = stamp_;
      e->key = key;
      ++used_;
    }
    e->live = true;
    e->value = value;
  }
  void erase(uint64_t key) {
    if (used_ == 0) return;
    Entry* e = slot(key);
    if (e != nullptr && e->stamp == stamp_ && e->key == key) e->live = false;
  }

 private:
  struct Entry {
    uint64_t key = 0;
    uint32_t stamp = 0;
    bool live = false;
    V value{};
  };
  // The entry of key in this run, else the empty one where it would go; null when the table is empty.
  Entry* slot(uint64_t key) const {
    if (entries_.empty()) return nullptr;
    const size_t mask = entries_.size() - 1;
    for (size_t i = static_cast<size_t>((key >> 6) * 0x9E3779B97F4A7C15ull) & mask;; i = (i + 1) & mask) {
      Entry& e = const_cast<Entry&>(entries_[i]);
      if (e.stamp != stamp_ || e.key == key) return &e;
    }
  }
  // The bigger table is made before anything changes: without host memory for it the table stays as it
  // was (the put throws std::bad_alloc).
  void grow() {
    std::vector<Entry> old(entries_.empty() ? 16 : entries_.size() * 2);
    old.swap(entries_);
    const uint32_t was = stamp_;
    stamp_ = 1;
    used_ = 0;
    for (const Entry& e : old) {
      if (e.stamp != was) continue;
      Entry* n = slot(e.key);
      *n = e;
      n->stamp = stamp_;
      ++used_;
    }
  }
  std::vector<Entry> entries_;
  uint32_t stamp_ = 1;
  size_t used_ = 0;
};

std::string hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

class Executor::State {
 public:
  explicit State(Device& d) : d_(d) {}

  // A run also ends when the host fails under an op: no host memory for a table, a report or a text, or
  // another exception.  The op in progress is then reported as failing (rtErrMalloc, rtErrOthers for
  // anything but a lack of memory), and the executor stays usable for the next run.
  uint32_t run(uint64_t seq, uint64_t stream_addr, ReportSink& report) {
    try {
      return runOps(seq, stream_addr, report);
    } catch (const std::bad_alloc&) {
      return hostFailure(rtErrMalloc, "the card ran out of host memory", report);
    } catch (const std::exception& e) {
      return hostFailure(rtErrOthers, e.what(), report);
    } catch (...) {
      return hostFailure(rtErrOthers, "unknown host error", report);
    }
  }

 private:
  // The op in progress is op_ (or, for a run that ends without an end record, its last record).
  uint32_t runOps(uint64_t seq, uint64_t stream_addr, ReportSink& report) {
    seq_ = seq;
    core_bytes_.clear();
    converted_.clear();
    uint32_t last_uid = 0;
    // The run's records are those of its own stream block: a run without an end record stops at the
    // block's end, never reading on into whatever block lies next in the window.
    uint8_t* records = nullptr;
    uint64_t bytes = 0;
    if (span(stream_addr, 0, &records, &bytes, "run") != 0) bytes = 0;
    for (uint64_t index = 0;; ++index) {
      if (index >= bytes / sizeof(OpRecord)) {
        op_.uid = last_uid;
        return finish(last_uid,
                      Failure{rtErrRunRecord, "run ends without an end record after " + std::to_string(index) +
                                                  " records"},
                      report, OpTimes{monotonicNs(), monotonicNs()});
      }
      OpRecord& rec = op_;
      std::memcpy(&rec, records + index * sizeof(OpRecord), sizeof rec);
      const auto start = std::chrono::steady_clock::now();
      OpTimes times;
      times.start_ns = monotonicNs(start);
      Failure f;
      uint32_t injected = 0;
      if (std::memcmp(rec.separator, "#$%&", 4) != 0) {
        f = {rtErrRunRecord, "op record " + std::to_string(index) + " has a bad separator"};
      } else if (takeOpFault(rec.uid & kUidMask, &injected)) {
        f = {injected, "injected fault on op " + std::to_string(rec.uid & kUidMask)};
      } else if (execOp(rec) != 0) {
        f = fail_;
      }
      const uint32_t delay = d_.op_delay_us.load(std::memory_order_relaxed);
      if (delay != 0) std::this_thread::sleep_until(start + std::chrono::microseconds(delay));
      times.end_ns = monotonicNs();
      if (f.code != 0) return finish(rec.uid, f, report, times);
      if ((rec.uid & kEndMark) != 0) {
        report.report(rec.uid, 0, true, times);
        return 0;
      }
      if ((rec.op_flag & kGetOutputFlag) != 0) report.report(rec.uid, 0, false, times);
      last_uid = rec.uid;
    }
  }

  uint32_t finish(uint32_t uid, const Failure& f, ReportSink& report, const OpTimes& times) {
    setLastError(uid, f.why.c_str());
    report.report(uid, f.code, true, times);
    return f.code;
  }

  // Takes no host memory: it is how a run ends when there is none.
  [[gnu::noinline, gnu::cold]] uint32_t hostFailure(uint32_t code, const char* why, ReportSink& report) noexcept {
    setLastError(op_.uid, why);
    const uint64_t now = monotonicNs();
    report.report(op_.uid, code, true, OpTimes{now, now});
    return code;
  }

  void setLastError(uint32_t uid, const char* why) noexcept {
    std::lock_guard<std::mutex> lock(d_.err_mu);
    std::snprintf(d_.last_error, sizeof d_.last_error, "op %u: %s", static_cast<unsigned>(uid & kUidMask), why);
  }

  int fail(uint32_t code, std::string why) {
    fail_ = {code, std::move(why)};
    return 1;
  }

  // Host view of [addr, addr+need) in card memory; *avail receives the bytes from addr to the block's end.
  int span(uint64_t addr, uint64_t need, uint8_t** p, uint64_t* avail, const char* what) {
    Block* b = nullptr;
    uint64_t off = 0;
    const int rc = d_.resolveForRun(addr, need, seq_, &b, &off);
    if (rc != rtSuccess) return failSpan(rc, addr, need, what);
    *p = b->data + off;
    if (avail != nullptr) *avail = b->size.load() - off;
    return 0;
  }

  [[gnu::noinline, gnu::cold]] int failSpan(int rc, uint64_t addr, uint64_t need, const char* what) {
    return fail(static_cast<uint32_t>(rc), std::string(what) + " at " + hex(addr) +
                                               (rc == rtErrOutOfBounds ? " is smaller than " + std::to_string(need) +
                                                                             " bytes"
                                                                       : " is not in a live block"));
  }

  int readArgs(const OpRecord& rec, Args* a) {
    uint8_t* p = nullptr;
    uint64_t avail = 0;
    if (span(rec.args_array, sizeof(ArgHeader), &p, &avail, "argument array") != 0) return 1;
    std::memcpy(&a->h, p, sizeof a->h);
    const ArgHeader& h = a->h;
    if (std::memcmp(h.separator, "*$%!", 4) != 0) return fail(rtErrRunRecord, "argument array has a bad separator");
    if (h.loop_count == 0 || h.batch_size == 0 || h.loop_count > kMaxCount || h.batch_size > kMaxCount ||
        h.config_count > kMaxCount || h.input_count > kMaxCount || h.output_count > kMaxCount)
      return fail(rtErrRunRecord, "argument array header has impossible counts");
    const uint64_t data = uint64_t{h.loop_count} * h.batch_size * (uint64_t{h.input_count} + h.output_count);
    const uint64_t entries = (avail - sizeof(ArgHeader)) / 8;
    a->config_entries = uint64_t{h.loop_count} * h.config_count;
    if (a->config_entries + data > entries) {
      // A memory-copy op with several loops lists one configuration per loop although its header says C = L.
      if (rec.type_id == kTypeMemCopy && h.config_count == h.loop_count && h.loop_count + data <= entries) {
        a->config_entries = h.loop_count;
      } else {
        return fail(rtErrOutOfBounds, "argument array block holds " + std::to_string(entries) +
                                          " pointers, fewer than its header needs");
      }
    }
    a->list = p + sizeof(ArgHeader);
    return 0;
  }

  int execOp(const OpRecord& rec) {
    Args a;
    switch (rec.type_id) {
      case kTypeRunModel:
        return readArgs(rec, &a) != 0 ? 1 : runModel(a);
      case kTypeMemCopy:
        return readArgs(rec, &a) != 0 ? 1 : memCopy(a);
      case kTypePreprocess:
        return readArgs(rec, &a) != 0 ? 1 : preprocess(a);
      default:
        return fail(rtErrRunRecord, "unknown op type id " + std::to_string(rec.type_id));
    }
  }

  // ---- run-model: every loop and batch position through the loaded model node ----
  int runModel(const Args& a) {
    if (a.h.config_count == 0) return fail(rtErrRunRecord, "run-model op without a model address");
    for (uint32_t l = 0; l < a.h.loop_count; ++l) {
      ModelNode* node = acquireModel(d_, a.config(l, 0));
      if (node == nullptr) return fail(rtErrModel, "no loaded model at " + hex(a.config(l, 0)));
      const int rc = runModelLoop(a, l, *node);
      releaseModel(d_, node);
      if (rc != 0) return rc;
    }
    return 0;
  }

  int runModelLoop(const Args& a, uint32_t l, const ModelNode& node) {
    const qobcrt_model_desc& m = node.desc;
    if (a.h.input_count != m.num_inputs || a.h.output_count != m.num_outputs)
      return fail(rtErrRunRecord, "run-model op counts differ from model " + node.name);
    const void* in[QOBCRT_MODEL_MAX_IO];
    void* out[QOBCRT_MODEL_MAX_IO];
    for (uint32_t b = 0; b < a.h.batch_size; ++b) {
      uint8_t* p = nullptr;
      for (uint32_t i = 0; i < m.num_inputs; ++i) {
        const qobcrt_preproc_tensor* conv = converted_.find(a.input(l, b, i));
        if (conv != nullptr) {
          if (widen(*conv, a.input(l, b, i), m.input_bytes[i], &widened_[i]) != 0) return 1;
          in[i] = widened_[i].data();
          continue;
        }
        if (span(a.input(l, b, i), m.input_bytes[i], &p, nullptr, "model input") != 0) return 1;
        in[i] = p;
      }
      for (uint32_t o = 0; o < m.num_outputs; ++o) {
        if (span(a.output(l, b, o), m.align_output_bytes[o], &p, nullptr, "model output") != 0) return 1;
        out[o] = p;
        core_bytes_.push_back({a.output(l, b, o), m.align_output_bytes[o]});
        converted_.erase(a.output(l, b, o));
      }
      char err[256];
      err[0] = '\0';   // a kernel that fails without a text leaves it empty
      const int rc = m.run(m.self, in, out, err, sizeof err);
      if (rc != 0) {
        err[sizeof err - 1] = '\0';
        return fail(rtErrKernel, "model " + node.name + " failed (" + std::to_string(rc) + "): " + err);
      }
    }
    return 0;
  }

  // A model input that a pre-processing op of this run converted (uint8 or binary16) is read back as the
  // float32 tensor the model's kernels take: the card's model input stage widens it element by element.
  int widen(const qobcrt_preproc_tensor& e, uint64_t addr, uint64_t model_bytes, std::vector<float>* out) {
    if (uint64_t{e.element_count} * sizeof(float) != model_bytes)
      return fail(rtErrRunRecord, "pre-processed input at " + hex(addr) + " holds " + std::to_string(e.element_count) +
                                      " elements, the model reads " + std::to_string(model_bytes / sizeof(float)));
    uint8_t* p = nullptr;
    if (span(addr, uint64_t{e.element_count} * e.out_elem_bytes, &p, nullptr, "model input") != 0) return 1;
    out->resize(e.element_count);
    for (uint32_t k = 0; k < e.element_count; ++k) {
      if (e.conversion == QOBCRT_PREPROC_CONV_QUANT_U8) {
        (*out)[k] = qobcrt_preproc_dequantize_u8(p[k], e.scale);
      } else {
        uint16_t h;
        std::memcpy(&h, p + 2 * k, sizeof h);
        (*out)[k] = qobcrt_preproc_f16_to_f32(h);
      }
    }
    return 0;
  }

  // ---- memory-copy: gathers each plain output from its core tensors ----
  int memCopy(const Args& a) {
    if (a.h.input_count != a.h.output_count)
      return fail(rtErrRunRecord, "memory-copy op with different input and output counts");
    if (a.config_entries == 0) return fail(rtErrRunRecord, "memory-copy op without configuration");
    for (uint32_t l = 0; l < a.h.loop_count; ++l) {
      uint8_t* p = nullptr;
      const uint64_t cfg = a.config(l, 0);
      if (span(cfg, sizeof(TensorCopyHead), &p, nullptr, "tensor copy configuration") != 0) return 1;
      TensorCopyHead head;
      std::memcpy(&head, p, sizeof head);
      if (head.count < 0 || static_cast<uint32_t>(head.count) != a.h.output_count)
        return fail(rtErrRunRecord, "tensor copy configuration lists " + std::to_string(head.count) +
                                        " outputs, the op has " + std::to_string(a.h.output_count));
      if (span(cfg, sizeof head + sizeof(TensorCopyInfo) * head.count, &p, nullptr, "tensor copy configuration") != 0)
        return 1;
      const uint8_t* records = p + sizeof head;
      for (uint32_t b = 0; b < a.h.batch_size; ++b) {
        for (uint32_t o = 0; o < a.h.output_count; ++o) {
          TensorCopyInfo info;
          std::memcpy(&info, records + sizeof info * o, sizeof info);
          if (gather(info, a.input(l, b, o), a.output(l, b, o)) != 0) return 1;
          converted_.erase(a.output(l, b, o));
        }
      }
    }
    return 0;
  }

  static bool product(const int32_t* dims, uint64_t* out) {
    uint64_t p = 1;
    for (int i = 0; i < 4; ++i) {
      if (dims[i] < 0) return false;
      p *= static_cast<uint64_t>(dims[i]);
      if (p > (1ull << 40)) return false;
    }
    *out = p;
    return true;
  }

  // Bytes of one element in the core tensors of a record.  Core elements are element_byte wide, except
  // that a 2-byte (16-bit bfloat) output may keep each element in a 32-bit core slot: the record says so
  // through its offsets, or the model that wrote the input in this run says so through its core size.
  //  - two consecutive used cores whose offsets lie exactly (aligned elements of the first) x 4 bytes
  //    apart hold 32-bit slots;
  //  - otherwise, an input written by a run-model op of this run whose core size equals the last used
  //    core's offset + its aligned elements x 4 holds 32-bit slots;
  //  - otherwise core elements are element_byte wide.
  uint64_t coreElementBytes(const TensorCopyInfo& info, uint64_t in_addr) const {
    const uint64_t eb = info.element_byte;
    if (eb != 2) return eb;
    int prev = -1;
    uint64_t last_elems = 0;
    for (int j = 0; j < 8; ++j) {
      if ((info.core_in_mask & (1u << j)) == 0) continue;
      uint64_t elems = 0;
      if (!product(info.core_in[j].shape_align, &elems)) return eb;
      if (prev >= 0) {
        const TensorInfo& p = info.core_in[prev];
        if (info.core_in[j].core_offset > p.core_offset && info.core_in[j].core_offset - p.core_offset == last_elems * 4)
          return 4;
      }
      prev = j;
      last_elems = elems;
    }
    const uint64_t* known = nullptr;
    for (auto it = core_bytes_.rbegin(); it != core_bytes_.rend() && known == nullptr; ++it)
      if (it->first == in_addr) known = &it->second;   // the latest write of the address
    if (prev >= 0 && known != nullptr && *known == info.core_in[prev].core_offset + last_elems * 4)
      return 4;
    return eb;
  }

  // Joins the used core tensors along the concatenation dimension into the plain output.  Each core lies at
  // its stored byte offset from the input, laid out with its stored aligned extents; its real extent says
  // how much of it is data.  A core whose real extent is all zero is wholly real data (up to what the
  // output still lacks).  With 32-bit core slots for 2-byte elements (see coreElementBytes) each output
  // element is the high half of its slot (the slot holds the value as a float32 whose top 16 bits are the
  // bfloat16), and a flat record (copy type 1) is read as consecutive chunks of the data: the stored real
  // extents of such a record were measured in output bytes against core bytes, so every core supplies
  // its aligned extent up to what the output still lacks.  Four-dimensional records keep their stored
  // real extents, which count elements whatever their width.
  int gather(const TensorCopyInfo& info, uint64_t in_addr, uint64_t out_addr) {
    const uint64_t eb = info.element_byte;
    const uint32_t d = info.concat_dim;
    const int32_t* R = info.core_out.shape_real;
    uint64_t out_elems = 0;
    if (eb == 0 || d > 3 || !product(R, &out_elems)) return fail(rtErrRunRecord, "bad tensor copy record");
    if (out_elems == 0 || info.core_in_mask == 0) return 0;
    const uint64_t cw = coreElementBytes(info, in_addr);
    const bool wide = cw != eb;
    uint8_t* out = nullptr;
    uint8_t* in = nullptr;
    uint64_t in_avail = 0;
    if (span(out_addr, out_elems * eb, &out, nullptr, "memory-copy output") != 0) return 1;
    if (span(in_addr, 0, &in, &in_avail, "memory-copy input") != 0) return 1;
    const uint8_t* cores = unshared(in, in_avail, out, out_elems * eb);
    int64_t filled = 0;   // extent of the output already covered along d
    for (int j = 0; j < 8; ++j) {
      if ((info.core_in_mask & (1u << j)) == 0) continue;
      const TensorInfo& core = info.core_in[j];
      const int32_t* A = core.shape_align;
      int32_t r[4];
      std::memcpy(r, core.shape_real, sizeof r);
      if ((r[0] == 0 && r[1] == 0 && r[2] == 0 && r[3] == 0) || (wide && info.copy_type != 0)) {
        if (filled >= R[d]) continue;
        std::memcpy(r, A, sizeof r);
        if (r[d] > R[d] - filled) r[d] = static_cast<int32_t>(R[d] - filled);
      }
      uint64_t core_elems = 0;
      if (!product(A, &core_elems)) return fail(rtErrRunRecord, "bad core tensor shape");
      for (uint32_t k = 0; k < 4; ++k) {
        if (r[k] < 0 || r[k] > A[k] || (k != d && r[k] > R[k]))
          return fail(rtErrRunRecord, "core tensor " + std::to_string(j) + " does not fit the output");
      }
      if (filled + r[d] > R[d]) return fail(rtErrRunRecord, "core tensors exceed the output");
      if (core.core_offset > in_avail || core_elems * cw > in_avail - core.core_offset)
        return fail(rtErrOutOfBounds, "core tensor " + std::to_string(j) + " lies beyond the input block");
      const uint8_t* src = cores + core.core_offset;
      for (int64_t i0 = 0; i0 < r[0]; ++i0) {
        for (int64_t i1 = 0; i1 < r[1]; ++i1) {
          for (int64_t i2 = 0; i2 < r[2]; ++i2) {
            int64_t o[4] = {i0, i1, i2, 0};
            o[d] += filled;
            const uint64_t s = static_cast<uint64_t>(((i0 * A[1] + i1) * A[2] + i2) * A[3]);
            const uint64_t t = static_cast<uint64_t>(((o[0] * R[1] + o[1]) * R[2] + o[2]) * R[3] + o[3]);
            if (!wide) {
              std::memcpy(out + t * eb, src + s * eb, static_cast<uint64_t>(r[3]) * eb);
            } else {
              for (int64_t i3 = 0; i3 < r[3]; ++i3)
                std::memcpy(out + (t + i3) * eb, src + (s + i3) * cw + (cw - eb), eb);
            }
          }
        }
      }
      filled += r[d];
    }
    return 0;
  }

  // An op whose output overlaps its input reads the input as it was before the op wrote anything: the
  // input bytes are read from a copy then.  Otherwise the input itself.
  const uint8_t* unshared(const uint8_t* in, uint64_t in_bytes, const uint8_t* out, uint64_t out_bytes) {
    const auto i = reinterpret_cast<uintptr_t>(in), o = reinterpret_cast<uintptr_t>(out);
    if (in_bytes == 0 || out_bytes == 0 || i >= o + out_bytes || o >= i + in_bytes) return in;
    scratch_.assign(in, in + in_bytes);
    return scratch_.data();
  }

  // ---- the op engine's generic pre-processing op ----
  int preprocess(const Args& a) {
    if (a.h.config_count == 0) return fail(rtErrRunRecord, "pre-processing op without configuration");
    for (uint32_t l = 0; l < a.h.loop_count; ++l) {
      uint8_t* block = nullptr;
      uint64_t avail = 0;
      if (span(a.config(l, 0), sizeof(qobcrt_preproc_header), &block, &avail, "pre-processing configuration") != 0)
        return 1;
      qobcrt_preproc_header h;
      const int why = qobcrt_preproc_check(block, avail, a.h.input_count, a.h.output_count, &h);
      if (why != QOBCRT_PREPROC_OK)
        return fail(rtErrRunRecord, "pre-processing configuration rejected (reason " + std::to_string(why) + ")");
      for (uint32_t b = 0; b < a.h.batch_size; ++b) {
        for (uint32_t t = 0; t < h.tensor_count; ++t) {
          qobcrt_preproc_tensor e;
          qobcrt_preproc_read_tensor(block, t, &e);
          uint8_t* in = nullptr;
          uint8_t* out = nullptr;
          if (span(a.input(l, b, t), e.in_bytes, &in, nullptr, "pre-processing input") != 0 ||
              span(a.output(l, b, t), uint64_t{e.element_count} * e.out_elem_bytes, &out, nullptr,
                   "pre-processing output") != 0)
            return 1;
          qobcrt_preproc_run_tensor(&e, unshared(in, e.in_bytes, out, uint64_t{e.element_count} * e.out_elem_bytes),
                                    out);
          if (e.conversion == QOBCRT_PREPROC_CONV_COPY) {
            converted_.erase(a.output(l, b, t));
          } else {
            converted_.put(a.output(l, b, t), e);
          }
        }
      }
    }
    return 0;
  }

  Device& d_;
  uint64_t seq_ = 0;
  OpRecord op_{};   // the record of the op in progress
  // Run-model outputs of this run, in the order written: (address, core size).  Appending is all a kernel
  // call pays; only a memory-copy op of 2-byte elements looks an address up.  Keeps its memory between runs.
  std::vector<std::pair<uint64_t, uint64_t>> core_bytes_;
  // Outputs that a pre-processing op of this run converted, with the conversion that wrote them.
  RunTable<qobcrt_preproc_tensor> converted_;
  std::vector<float> widened_[QOBCRT_MODEL_MAX_IO];   // converted model inputs read back as float32
  std::vector<uint8_t> scratch_;   // an overlapped op input (unshared); keeps its memory between runs
  Failure fail_;
};

Executor::Executor(Device& d) : state_(new State(d)) {}
Executor::~Executor() = default;

uint32_t Executor::run(uint64_t seq, uint64_t stream_addr, ReportSink& reports) {
  return state_->run(seq, stream_addr, reports);
}

}  // namespace qobcrt
}  // namespace zenlar
