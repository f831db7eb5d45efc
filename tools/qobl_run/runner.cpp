#include "runner.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <qobcrt/qobcrt_sim.h>

#include "qobl_tools/library.h"
#include "qobl_tools/stream.h"

namespace zenlar {
namespace qoblrun {

namespace {

using qobltools::Clock;
using qobltools::codeText;
using qobltools::DeviceInputs;
using qobltools::Outcome;
using qobltools::OpReport;
using qobltools::Pipeline;
using qobltools::Stream;
using qobltools::SubmitResult;

// Error messages kept for the summary.
constexpr size_t kMaxErrors = 8;

double usBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

struct Shared;

struct StreamCtx {
  Shared* sh = nullptr;
  uint32_t index = 0;
  std::unique_ptr<Stream> stream;
  uint64_t runs = 0;
  std::vector<Clock::time_point> lastMark;   // per slot: the input's submission or its last op report
};

struct Shared {
  const Pipeline* p = nullptr;
  const qobltools::Sample* sample = nullptr;
  const RunConfig* cfg = nullptr;
  MemoryWatcher* mem = nullptr;
  DeviceInputs inputs;                // the sample input in card memory; every input points at it
  std::vector<uint64_t> expectedOffsets;
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

std::string valueText(const uint8_t* p, const qobltools::DType& t) {
  char buf[64];
  if (t == qobltools::DType{2, 32, 1}) {
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
  const qobltools::ModelInfo& info = sh.p->info();
  thread_local std::vector<uint8_t> host;
  for (uint32_t o = 0; o < info.outputs.size(); ++o) {
    const qobltools::TensorInfo& t = info.outputs[o];
    const std::string err = qobltools::readOutput(out, o, t, &host);
    if (!err.empty()) return "run " + std::to_string(run) + ": " + err;
    const uint8_t* exp = sh.sample->expected.data() + sh.expectedOffsets[o];
    if (std::memcmp(host.data(), exp, t.bytes) == 0) continue;
    const uint64_t eb = qobltools::dtypeBytes(t.dtype);
    uint64_t b = 0;
    while (b < t.bytes && host[b] == exp[b]) ++b;
    b -= b % eb;
    mm->run = run;
    mm->stream = stream;
    mm->output = o;
    mm->byteOffset = b;
    mm->element = b / eb;
    mm->got = valueText(host.data() + b, t.dtype);
    mm->expected = valueText(exp + b, t.dtype);
    return "mismatch";
  }
  return "";
}

// Records the end of one input: counts, latency, errors and its trace event.
void record(StreamCtx& c, const Outcome& oc, uint32_t error, const std::string& why) {
  Shared& sh = *c.sh;
  std::lock_guard<std::mutex> g(sh.mu);
  if (error == 0) {
    sh.out->latenciesUs.push_back(usBetween(oc.submitted, oc.completed));
    ++sh.completed;
  } else {
    ++sh.failed;
    if (sh.out->errors.size() < kMaxErrors)
      sh.out->errors.push_back("run " + std::to_string(oc.tag) + " (stream " + std::to_string(c.index) + "): " + why);
  }
  if (oc.completed > sh.lastDone) sh.lastDone = oc.completed;
  if (sh.cfg->trace) {
    TraceEvent e;
    e.name = "run " + std::to_string(oc.tag);
    e.cat = "run";
    e.startUs = static_cast<int64_t>(usBetween(sh.start, oc.submitted));
    e.durUs = static_cast<int64_t>(usBetween(oc.submitted, oc.completed));
    e.tid = c.index * 1000 + oc.slot;
    e.run = oc.tag;
    e.error = error;
    sh.out->events.push_back(std::move(e));
  }
}

// The completion of one input: verification (when asked) and the record.
void onDone(StreamCtx& c, const Outcome& oc) {
  Shared& sh = *c.sh;
  sh.mem->sample();
  if (oc.error != 0) {
    record(c, oc, oc.error, oc.why);
    return;
  }
  if (sh.cfg->verify) {
    Mismatch mm;
    const std::string err = checkOutputs(sh, oc.output, oc.tag, c.index, &mm);
    if (err == "mismatch") {
      std::lock_guard<std::mutex> g(sh.mu);
      if (!sh.out->mismatch || mm.run < sh.out->firstMismatch.run) sh.out->firstMismatch = mm;
      sh.out->mismatch = true;
      sh.abort = true;
    } else if (!err.empty()) {
      record(c, oc, qoblERR_RUN_STREAM, err);
      return;
    } else {
      ++sh.verified;
    }
  }
  record(c, oc, 0, "");
}

// Every reported op of an input: one trace event from the input's previous mark to this report.
void onOpReport(StreamCtx& c, const OpReport& r) {
  Shared& sh = *c.sh;
  sh.mem->sample();
  if (!sh.cfg->trace) return;
  Clock::time_point& mark = c.lastMark[r.slot];
  if (mark < r.submitted) mark = r.submitted;
  std::lock_guard<std::mutex> g(sh.mu);
  TraceEvent e;
  e.name = r.op != nullptr ? r.op->name : "an unknown op";
  e.cat = "op";
  e.startUs = static_cast<int64_t>(usBetween(sh.start, mark));
  e.durUs = static_cast<int64_t>(usBetween(mark, r.arrived));
  e.tid = c.index * 1000 + r.slot;
  e.run = r.tag;
  e.error = r.error;
  sh.out->events.push_back(std::move(e));
  mark = r.arrived;
}

void asyncLoop(StreamCtx& c) {
  Shared& sh = *c.sh;
  for (uint64_t k = 0; k < c.runs; ++k) {
    if (sh.abort && c.stream->pendingInputs() == 0) break;
    const uint64_t run = sh.nextRun++;
    std::string why;
    StreamCtx* cp = &c;
    const SubmitResult r =
        c.stream->submit(sh.inputs, run, [cp](const Outcome& oc) { onDone(*cp, oc); }, &why);
    sh.mem->sample();
    if (r == SubmitResult::kNoSlot) {
      addError(sh, "stream " + std::to_string(c.index) + ": " + why);
      sh.abort = true;
      break;
    }
    ++sh.submitted;
    if (r == SubmitResult::kFailed) sh.abort = true;
  }
  const std::string err = c.stream->synchronize();
  if (!err.empty()) addError(sh, "stream " + std::to_string(c.index) + ": " + err);
}

void syncLoop(StreamCtx& c) {
  Shared& sh = *c.sh;
  const uint32_t cache = c.stream->cacheNumber();
  StreamCtx* cp = &c;
  for (uint64_t k = 0; k < c.runs && !sh.abort; k += cache) {
    std::vector<uint64_t> tags;
    for (uint32_t i = 0; i < cache; ++i) tags.push_back(sh.nextRun++);
    uint64_t seen = 0;
    const std::string err = c.stream->runSync(sh.inputs, tags, [cp, &seen](const Outcome& oc) {
      ++seen;
      onDone(*cp, oc);
    });
    sh.submitted += seen;
    sh.mem->sample();
    if (!err.empty()) sh.abort = true;
  }
}

}  // namespace

std::string runPipeline(const Pipeline& p, const qobltools::Sample& sample, const RunConfig& cfg,
                        MemoryWatcher* mem, RunResult* result) {
  Shared sh;
  sh.p = &p;
  sh.sample = &sample;
  sh.cfg = &cfg;
  sh.mem = mem;
  sh.out = result;
  uint64_t off = 0;
  for (const auto& t : p.info().outputs) {
    sh.expectedOffsets.push_back(off);
    off += t.bytes;
  }
  result->memBaseBytes = qobltools::cardLiveBytes(1);

  qobcrt_sim_stats before{}, after{};
  qobcrt_sim_get_stats(p.device(), &before);

  std::vector<std::unique_ptr<StreamCtx>> ctx;
  std::string err = sh.inputs.create(p);
  if (err.empty()) err = sh.inputs.upload(sample.input.data(), sample.input.size());
  if (!err.empty()) err = "could not place the sample input in card memory: " + err;

  qobltools::StreamOptions so;
  so.sync = cfg.sync;
  so.reportEveryOp = cfg.trace;
  so.poisonOutputs = cfg.verify;
  so.timeoutMs = cfg.timeoutMs;
  uint32_t cache = 1;
  for (uint32_t i = 0; i < cfg.streams && err.empty(); ++i) {
    ctx.emplace_back(new StreamCtx);
    StreamCtx* c = ctx.back().get();
    c->sh = &sh;
    c->index = i;
    err = Stream::create(p, so, &c->stream);
    if (err.empty()) {
      cache = c->stream->cacheNumber();
      c->lastMark.resize(c->stream->slotCount());
      c->stream->setOpReportHook([c](const OpReport& r) { onOpReport(*c, r); });
    }
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
      threads.emplace_back([cp, &cfg, &sh] {
        cfg.sync ? syncLoop(*cp) : asyncLoop(*cp);
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

  ctx.clear();   // destroys the streams
  sh.inputs.release();
  qobcrt_sim_get_stats(p.device(), &after);
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
