#include "runner.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include <qobcrt/qobcrt_sim.h>

namespace zenlar {
namespace qoblrun {

namespace {

using Clock = std::chrono::steady_clock;

// Device runs each stream keeps in flight in asynchronous mode.
constexpr uint32_t kRunsInFlight = 4;
// Error messages kept for the summary.
constexpr size_t kMaxErrors = 8;

double usBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

// One application input's datasets and its state.  A slot is reused once its run has completed.
struct Slot {
  qobmDataset* in = nullptr;
  std::vector<qobmDataBuffer*> inBufs;
  qobmDataset* out = nullptr;
  bool busy = false;       // submitted, completion not seen yet
  uint64_t run = 0;        // run number over the whole program
  Clock::time_point submit, lastMark;
};

struct Shared;

struct StreamCtx {
  Shared* sh = nullptr;
  uint32_t index = 0;
  qoblStream* stream = nullptr;
  uint64_t runs = 0;
  std::vector<Slot> slots;
  std::unordered_map<const qobmDataset*, size_t> slotOf;   // fixed after setup
  std::mutex mu;                                           // slots' state
  std::condition_variable cv;
};

struct Shared {
  const Pipeline* p = nullptr;
  const ModelDir* dir = nullptr;
  const RunConfig* cfg = nullptr;
  MemoryWatcher* mem = nullptr;
  uint32_t device = 0;
  std::vector<uint64_t> expectedOffsets;
  std::vector<uint64_t> inputAddrs;   // the sample input in card memory, one block per model input
  std::atomic<uint64_t> nextRun{0}, submitted{0}, completed{0}, failed{0}, verified{0};
  std::atomic<bool> abort{false};
  std::atomic<uint32_t> threadsDone{0};
  Clock::time_point start, lastDone;
  std::mutex mu;                      // everything below
  RunResult* out = nullptr;
};

void addError(Shared& sh, const std::string& msg) {
  std::lock_guard<std::mutex> g(sh.mu);
  if (sh.out->errors.size() < kMaxErrors) sh.out->errors.push_back(msg);
}

std::string valueText(const uint8_t* p, qobmDType t) {
  char buf[64];
  if (t == qobmDT_FLOAT32) {
    float f;
    std::memcpy(&f, p, sizeof f);
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(f));
  } else {
    std::snprintf(buf, sizeof buf, "0x%02x", p[0]);
  }
  return buf;
}

// Copies the leaf op's outputs of one run back from the card and compares them with expected_output.bin.
// Returns "" when they match; a mismatch fills *mm and returns "mismatch"; other failures say what failed.
std::string checkOutputs(Shared& sh, qobmDataset* out, uint64_t run, uint32_t stream, Mismatch* mm) {
  const ModelInfo& info = sh.p->info();
  uint32_t count = 0;
  if (qobmGetDatasetBufferCount(out, &count) != 0 || count < info.outputs)
    return "run " + std::to_string(run) + ": the output dataset holds " + std::to_string(count) +
           " buffers, the model has " + std::to_string(info.outputs) + " outputs";
  thread_local std::vector<uint8_t> host;
  for (uint32_t o = 0; o < info.outputs; ++o) {
    qobmDataBuffer* buf = nullptr;
    uint64_t addr = 0, size = 0;
    if (qobmGetDatasetBuffer(out, o, &buf) != 0 || qobmGetDataBufferAddr(buf, &addr) != 0 ||
        qobmGetDataBufferSize(buf, &size) != 0)
      return "run " + std::to_string(run) + ": output " + std::to_string(o) + " cannot be read from its dataset";
    const uint64_t need = info.outBytes[o];
    if (size < need)
      return "run " + std::to_string(run) + ": output " + std::to_string(o) + " buffer holds " +
             std::to_string(size) + " bytes, " + std::to_string(need) + " expected";
    host.resize(need);
    const int rc = qobmMemcpy(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(host.data())), addr, need, 1);
    if (rc != 0)
      return "run " + std::to_string(run) + ": copying output " + std::to_string(o) + " from the card failed: " +
             codeText(static_cast<uint32_t>(rc));
    const uint8_t* exp = sh.dir->expectedOutput.data() + sh.expectedOffsets[o];
    if (std::memcmp(host.data(), exp, need) == 0) continue;
    const uint64_t eb = info.outTypes[o] == qobmDT_FLOAT32 ? 4 : 1;
    uint64_t b = 0;
    while (b < need && host[b] == exp[b]) ++b;
    b -= b % eb;
    mm->run = run;
    mm->stream = stream;
    mm->output = o;
    mm->byteOffset = b;
    mm->element = b / eb;
    mm->got = valueText(host.data() + b, info.outTypes[o]);
    mm->expected = valueText(exp + b, info.outTypes[o]);
    return "mismatch";
  }
  return "";
}

// Fills the slot's output buffers with 0xff bytes so that a run that writes nothing cannot pass --verify
// with the outputs of an earlier run.
void poisonOutputs(Slot& s) {
  uint32_t count = 0;
  qobmGetDatasetBufferCount(s.out, &count);
  thread_local std::vector<uint8_t> ff;
  for (uint32_t i = 0; i < count; ++i) {
    qobmDataBuffer* buf = nullptr;
    uint64_t addr = 0, size = 0;
    if (qobmGetDatasetBuffer(s.out, i, &buf) != 0 || qobmGetDataBufferAddr(buf, &addr) != 0 ||
        qobmGetDataBufferSize(buf, &size) != 0)
      continue;
    ff.assign(size, 0xff);
    qobmMemcpy(addr, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ff.data())), size, 0);
  }
}

// Records the end of one slot's run; the caller holds c.mu.
void finishLocked(StreamCtx& c, size_t slot, Clock::time_point now, uint32_t error, const std::string& why) {
  Shared& sh = *c.sh;
  Slot& s = c.slots[slot];
  if (!s.busy) return;
  s.busy = false;
  {
    std::lock_guard<std::mutex> g(sh.mu);
    if (error == 0) {
      sh.out->latenciesUs.push_back(usBetween(s.submit, now));
      ++sh.completed;
    } else {
      ++sh.failed;
      if (sh.out->errors.size() < kMaxErrors)
        sh.out->errors.push_back("run " + std::to_string(s.run) + " (stream " + std::to_string(c.index) + "): " + why);
    }
    if (now > sh.lastDone) sh.lastDone = now;
    if (sh.cfg->trace) {
      TraceEvent e;
      e.name = "run " + std::to_string(s.run);
      e.cat = "run";
      e.startUs = static_cast<int64_t>(usBetween(sh.start, s.submit));
      e.durUs = static_cast<int64_t>(usBetween(s.submit, now));
      e.tid = c.index * 1000 + static_cast<uint32_t>(slot);
      e.run = s.run;
      e.error = error;
      sh.out->events.push_back(std::move(e));
    }
  }
  c.cv.notify_all();
}

void onReport(qobeOp* op, qobmDataset* input, qobmDataset* output, qoblCallbackStatus* status, void* user) {
  auto& c = *static_cast<StreamCtx*>(user);
  Shared& sh = *c.sh;
  const Clock::time_point now = Clock::now();
  sh.mem->sample();
  const auto it = c.slotOf.find(input);
  if (it == c.slotOf.end()) {
    addError(sh, "stream " + std::to_string(c.index) + ": a report named an input dataset this stream never used");
    return;
  }
  const PipelineOp* pop = sh.p->findOp(op);
  const std::string opName = pop != nullptr ? pop->name : "an unknown op";
  std::lock_guard<std::mutex> g(c.mu);
  Slot& s = c.slots[it->second];
  if (!s.busy) return;   // a report after the run was already counted (e.g. after an earlier error)
  if (sh.cfg->trace) {
    std::lock_guard<std::mutex> g2(sh.mu);
    TraceEvent e;
    e.name = opName;
    e.cat = "op";
    e.startUs = static_cast<int64_t>(usBetween(sh.start, s.lastMark));
    e.durUs = static_cast<int64_t>(usBetween(s.lastMark, now));
    e.tid = c.index * 1000 + static_cast<uint32_t>(it->second);
    e.run = s.run;
    e.error = status->errorCode;
    sh.out->events.push_back(std::move(e));
  }
  s.lastMark = now;
  if (status->errorCode != 0) {
    finishLocked(c, it->second, now, status->errorCode,
                 "op " + opName + " reported error " + codeText(status->errorCode));
    return;
  }
  if (sh.cfg->verify && pop == &sh.p->leaf()) {
    Mismatch mm;
    const std::string err = checkOutputs(sh, output, s.run, c.index, &mm);
    if (err == "mismatch") {
      std::lock_guard<std::mutex> g2(sh.mu);
      if (!sh.out->mismatch || mm.run < sh.out->firstMismatch.run) sh.out->firstMismatch = mm;
      sh.out->mismatch = true;
      sh.abort = true;
    } else if (!err.empty()) {
      finishLocked(c, it->second, now, qoblERR_RUN_STREAM, err);
      return;
    } else {
      ++sh.verified;
    }
  }
  if (status->isStreamEnd != 0) finishLocked(c, it->second, now, 0, "");
}

// Waits for a free slot of the stream; returns its index, or -1 after the time-out.
int acquireSlot(StreamCtx& c) {
  std::unique_lock<std::mutex> lk(c.mu);
  const auto deadline = Clock::now() + std::chrono::milliseconds(c.sh->cfg->timeoutMs);
  for (;;) {
    for (size_t i = 0; i < c.slots.size(); ++i) {
      if (!c.slots[i].busy) return static_cast<int>(i);
    }
    if (c.cv.wait_until(lk, deadline) == std::cv_status::timeout) return -1;
  }
}

void beginRun(StreamCtx& c, size_t slot) {
  Shared& sh = *c.sh;
  if (sh.cfg->verify) poisonOutputs(c.slots[slot]);
  std::lock_guard<std::mutex> g(c.mu);
  Slot& s = c.slots[slot];
  s.busy = true;
  s.run = sh.nextRun++;
  s.submit = s.lastMark = Clock::now();
  ++sh.submitted;
}

void failSlots(StreamCtx& c, const std::vector<size_t>& slots, uint32_t code, const std::string& why) {
  std::lock_guard<std::mutex> g(c.mu);
  for (size_t i : slots) finishLocked(c, i, Clock::now(), code, why);
}

void asyncLoop(StreamCtx& c, uint32_t cache) {
  Shared& sh = *c.sh;
  qobmSetDevice(sh.device);
  std::vector<size_t> group;   // slots accepted with "pending" since the last device run was sent
  for (uint64_t k = 0; k < c.runs; ++k) {
    if (sh.abort && group.empty()) break;
    const int slot = acquireSlot(c);
    if (slot < 0) {
      addError(sh, "stream " + std::to_string(c.index) + ": no run completed within " +
                       std::to_string(sh.cfg->timeoutMs) + " ms");
      sh.abort = true;
      break;
    }
    beginRun(c, static_cast<size_t>(slot));
    group.push_back(static_cast<size_t>(slot));
    const qoblErr rc = qoblRunStreamAsync(c.stream, c.slots[slot].in, c.slots[slot].out);
    sh.mem->sample();
    if (rc == qoblERR_SUCCESS) {
      group.clear();
    } else if (rc != qoblERR_RUN_PENDING || group.size() >= cache) {
      // A refused input discards the inputs gathered with it.
      failSlots(c, group, rc, "qoblRunStreamAsync failed: " + codeText(rc));
      group.clear();
      sh.abort = true;
    }
  }
  const qoblErr rc = qoblSynchronizeStream(c.stream, sh.cfg->timeoutMs);
  if (rc != 0) addError(sh, "stream " + std::to_string(c.index) + ": qoblSynchronizeStream failed: " + codeText(rc));
  // Every report of a completed input has been delivered once the stream is synchronised; wait briefly for
  // stragglers, then count what never reported as failed.
  std::unique_lock<std::mutex> lk(c.mu);
  c.cv.wait_for(lk, std::chrono::milliseconds(rc == 0 ? 1000 : 1), [&] {
    return std::none_of(c.slots.begin(), c.slots.end(), [](const Slot& s) { return s.busy; });
  });
  for (size_t i = 0; i < c.slots.size(); ++i) {
    if (c.slots[i].busy) finishLocked(c, i, Clock::now(), qoblERR_RUN_STREAM, "no report of its end");
  }
}

void syncLoop(StreamCtx& c, uint32_t cache) {
  Shared& sh = *c.sh;
  qobmSetDevice(sh.device);
  for (uint64_t k = 0; k < c.runs && !sh.abort; k += cache) {
    std::vector<size_t> group;
    qoblErr rc = 0;
    for (uint32_t i = 0; i < cache; ++i) {
      beginRun(c, i);
      group.push_back(i);
      rc = qoblRunStream(c.stream, c.slots[i].in, c.slots[i].out, sh.cfg->timeoutMs);
      sh.mem->sample();
      const bool last = i + 1 == cache;
      if ((!last && rc != qoblERR_RUN_PENDING) || (last && rc != qoblERR_SUCCESS)) break;
    }
    if (rc != qoblERR_SUCCESS || group.size() != cache) {
      failSlots(c, group, rc == 0 ? qoblERR_RUN_STREAM : rc, "qoblRunStream failed: " + codeText(rc));
      sh.abort = true;
      continue;
    }
    const Clock::time_point now = Clock::now();
    for (size_t i : group) {
      std::string err;
      if (sh.cfg->verify) {
        Mismatch mm;
        err = checkOutputs(sh, c.slots[i].out, c.slots[i].run, c.index, &mm);
        if (err == "mismatch") {
          std::lock_guard<std::mutex> g(sh.mu);
          if (!sh.out->mismatch) sh.out->firstMismatch = mm;
          sh.out->mismatch = true;
          sh.abort = true;
          err.clear();
        } else if (err.empty()) {
          ++sh.verified;
        }
      }
      std::lock_guard<std::mutex> g(c.mu);
      finishLocked(c, i, now, err.empty() ? 0 : qoblERR_RUN_STREAM, err);
    }
  }
}

void releaseOutput(qobmDataset* ds) {
  if (ds == nullptr) return;
  uint32_t count = 0;
  qobmGetDatasetBufferCount(ds, &count);
  for (uint32_t i = 0; i < count; ++i) {
    qobmDataBuffer* buf = nullptr;
    uint64_t addr = 0;
    if (qobmGetDatasetBuffer(ds, i, &buf) != 0) continue;
    if (qobmGetDataBufferAddr(buf, &addr) == 0 && addr != 0) qobmFree(addr);
    qobmDestroyDataBuffer(buf);
  }
  qobmDestroyDataset(ds);
}

// Creates, registers, subscribes and builds one stream with its slots.
std::string setupStream(Shared& sh, StreamCtx& c, uint32_t* cache) {
  const Pipeline& p = *sh.p;
  qoblErr rc = qoblCreateOpStream(p.graph(), qoblBM_ONCE, &c.stream);
  if (rc != 0) return "qoblCreateOpStream failed: " + codeText(rc);
  if (sh.cfg->trace) {
    // Ask for the reports of every op but the input op, so the trace shows each stage of a run.
    std::vector<qobeOp*> ops;
    for (size_t i = 1; i + 1 < p.ops().size(); ++i) ops.push_back(p.ops()[i].op);
    if (!ops.empty() && (rc = qoblRegisterGetOutputs(c.stream, ops.data(), static_cast<uint32_t>(ops.size()))) != 0)
      return "qoblRegisterGetOutputs failed: " + codeText(rc);
  }
  if (!sh.cfg->sync && (rc = qoblSubscribeStreamReport(c.stream, onReport, &c)) != 0)
    return "qoblSubscribeStreamReport failed: " + codeText(rc);
  if ((rc = qoblBuildStream(c.stream)) != 0) return "qoblBuildStream failed: " + codeText(rc);
  if ((rc = qoblGetStreamCacheNumber(c.stream, cache)) != 0) return "qoblGetStreamCacheNumber failed: " + codeText(rc);
  if (*cache == 0) return "the stream gathers 0 inputs per device run";

  const ModelInfo& info = p.info();
  c.slots.resize(sh.cfg->sync ? *cache : *cache * kRunsInFlight);
  for (auto& s : c.slots) {
    if (qobmCreateDataset(qobmDM_BUFFER, &s.in) != 0) return "qobmCreateDataset failed";
    for (uint32_t i = 0; i < info.inputs; ++i) {
      qobmDataBuffer* b = nullptr;
      const qobmDeviceInfo dev{qobmDE_QOBC, sh.device};
      if (qobmCreateDataBuffer(dev, sh.inputAddrs[i], info.inBytes[i], &b) != 0) return "qobmCreateDataBuffer failed";
      s.inBufs.push_back(b);
      if (qobmAddDatasetBuffer(s.in, b) != 0) return "qobmAddDatasetBuffer failed";
    }
    if ((rc = qoblRequestOutputDataset(c.stream, &s.out)) != 0) return "qoblRequestOutputDataset failed: " + codeText(rc);
    c.slotOf[s.in] = static_cast<size_t>(&s - c.slots.data());
  }
  return "";
}

void teardownStream(Shared& sh, StreamCtx& c) {
  if (c.stream != nullptr) {
    const qoblErr rc = qoblDestroyOpStream(c.stream);
    if (rc != 0) addError(sh, "qoblDestroyOpStream failed: " + codeText(rc));
    c.stream = nullptr;
  }
  for (auto& s : c.slots) {
    for (auto* b : s.inBufs) qobmDestroyDataBuffer(b);
    if (s.in != nullptr) qobmDestroyDataset(s.in);
    releaseOutput(s.out);
  }
  c.slots.clear();
}

}  // namespace

MemoryWatcher::MemoryWatcher() {
  sample();
  thread_.reset(new std::thread([this] {
    while (!stop_) {
      sample();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }));
}

MemoryWatcher::~MemoryWatcher() {
  stop_ = true;
  thread_->join();
}

uint64_t MemoryWatcher::liveBytes() {
  qobcrt_sim_stats st;
  std::memset(&st, 0, sizeof st);
  if (qobcrt_sim_get_stats(0, &st) != 0) return 0;
  return st.live_bytes[QOBCRT_SIM_STREAM] + st.live_bytes[QOBCRT_SIM_INOUT] + st.live_bytes[QOBCRT_SIM_DDR_SHARE] +
         st.live_bytes[QOBCRT_SIM_APP];
}

void MemoryWatcher::sample() {
  const uint64_t v = liveBytes();
  uint64_t cur = peak_.load();
  while (v > cur && !peak_.compare_exchange_weak(cur, v)) {
  }
}

std::string runPipeline(const Pipeline& p, const ModelDir& dir, const RunConfig& cfg, MemoryWatcher* mem,
                        RunResult* result) {
  Shared sh;
  sh.p = &p;
  sh.dir = &dir;
  sh.cfg = &cfg;
  sh.mem = mem;
  sh.out = result;
  uint64_t off = 0;
  for (uint64_t b : p.info().outBytes) {
    sh.expectedOffsets.push_back(off);
    off += b;
  }
  result->memBaseBytes = MemoryWatcher::liveBytes();

  qobcrt_sim_stats before{}, after{};
  qobcrt_sim_get_stats(sh.device, &before);

  std::vector<std::unique_ptr<StreamCtx>> ctx;
  std::string err;
  // The sample input, once in card memory; every slot's input dataset points at it.
  uint64_t inOff = 0;
  for (uint32_t i = 0; i < p.info().inputs && err.empty(); ++i) {
    uint64_t addr = 0;
    const uint64_t n = p.info().inBytes[i];
    int rc = qobmMalloc(n, &addr);
    if (rc == 0) {
      sh.inputAddrs.push_back(addr);
      rc = qobmMemcpy(addr, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(dir.sampleInput.data() + inOff)), n, 0);
    }
    if (rc != 0) err = "could not place the sample input in card memory: " + codeText(static_cast<uint32_t>(rc));
    inOff += n;
  }
  uint32_t cache = 1;
  for (uint32_t i = 0; i < cfg.streams && err.empty(); ++i) {
    ctx.emplace_back(new StreamCtx);
    ctx.back()->sh = &sh;
    ctx.back()->index = i;
    err = setupStream(sh, *ctx.back(), &cache);
  }
  result->cacheNumber = cache;

  if (err.empty()) {
    const uint64_t perStream = (cfg.runs + cfg.streams - 1) / cfg.streams;
    for (auto& c : ctx) c->runs = (perStream + cache - 1) / cache * cache;
    const uint64_t total = ctx.front()->runs * ctx.size();
    sh.start = sh.lastDone = Clock::now();
    std::vector<std::thread> threads;
    for (auto& c : ctx) {
      StreamCtx* cp = c.get();
      threads.emplace_back([cp, cache, &cfg, &sh] {
        cfg.sync ? syncLoop(*cp, cache) : asyncLoop(*cp, cache);
        ++sh.threadsDone;
      });
    }
    // Progress on stderr once the runs take longer than a second.
    bool printed = false;
    for (;;) {
      if (sh.threadsDone == threads.size()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const double s = usBetween(sh.start, Clock::now()) / 1e6;
      if (s >= 1.0) {
        std::fprintf(stderr, "\rqobl-run: %llu/%llu runs done, %.0f inferences/s   ",
                     static_cast<unsigned long long>(sh.completed + sh.failed), static_cast<unsigned long long>(total),
                     static_cast<double>(sh.completed) / s);
        printed = true;
      }
    }
    for (auto& t : threads) t.join();
    if (printed) std::fprintf(stderr, "\n");
    result->seconds = usBetween(sh.start, sh.lastDone) / 1e6;
  }

  for (auto& c : ctx) teardownStream(sh, *c);
  for (uint64_t a : sh.inputAddrs) qobmFree(a);
  qobcrt_sim_get_stats(sh.device, &after);
  result->deviceRuns = after.runs_submitted - before.runs_submitted;
  result->deviceRunsFailed = after.runs_failed - before.runs_failed;
  result->submitted = sh.submitted;
  result->completed = sh.completed;
  result->failed = sh.failed;
  result->verified = sh.verified;
  return err;
}

}  // namespace qoblrun
}  // namespace zenlar
