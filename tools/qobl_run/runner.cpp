#include "runner.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>

#include "qobl_tools/library.h"
#include "qobl_tools/stream.h"
#include "report.h"

namespace zenlar {
namespace qoblrun {

namespace {

using qobltools::Clock;
using qobltools::DeviceInputs;
using qobltools::OpReport;
using qobltools::Outcome;
using qobltools::Pipeline;
using qobltools::Stream;
using qobltools::SubmitResult;

// Error messages kept for the summary.
constexpr size_t kMaxErrors = 8;
// Trace lanes: the host's input slots are pid 1, tid 1000 x (stream + 1) + slot; card d is pid 100 + d.
constexpr uint32_t kHostPid = 1;
constexpr uint32_t kCardPid = 100;

double usBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

int64_t nsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count();
}

struct Shared;

struct Card {
  const Pipeline* p = nullptr;
  DeviceInputs inputs;                // the run data's input on this card; every input points at it
  std::atomic<uint64_t> completed{0}, failed{0};
  std::mutex mu;                      // first and last below
  bool started = false;
  Clock::time_point first, last;
  // --profile: the times of the card's streams, per op of the pipeline and per whole device run.  Taken
  // on the card's reporter thread, and by a stream's thread for the input op (host times).
  std::mutex profMu;
  std::vector<Durations> opNs;
  Durations runNs;
};

// Which of one stream's op reports count in the card times (--profile), which go to its card's Card.  The
// card reports each op of a device run once; the stream hands that report on once per input the run
// gathered, one input after the other, all with the same card times.  An op's report whose card start
// differs from the last one of the same op is therefore the first of a new device run, and only that one
// is counted.
struct StreamProfile {
  struct Input {                      // the card span of the ops one input has reported so far
    bool any = false;
    uint64_t tag = 0;
    int64_t startNs = 0, endNs = 0;
  };
  std::mutex mu;                      // everything below: taken on the card's reporter thread only while
                                      // profiling
  std::vector<int64_t> lastStartNs;   // per op of the pipeline: card start of the last device run counted
  std::vector<Input> slots;           // per input slot of the stream
};

struct StreamCtx {
  Shared* sh = nullptr;
  Card* card = nullptr;
  uint32_t index = 0;
  std::unique_ptr<Stream> stream;
  uint64_t runs = 0;
  StreamProfile prof;
  size_t inputOp = SIZE_MAX;          // --profile: the input op's index in the pipeline
  // The measured runs of this stream.  `started` and `first` are written by the stream's thread before its
  // first submission and read once the threads have ended; the rest is guarded by Shared::mu.
  bool started = false;
  Clock::time_point first, last;
  uint64_t completed = 0, failed = 0;
  Durations latency;
};

struct Shared {
  const RunData* data = nullptr;
  const RunConfig* cfg = nullptr;
  MemoryWatcher* mem = nullptr;
  std::vector<uint64_t> expectedOffsets;
  std::atomic<uint64_t> nextRun{0}, submitted{0}, completed{0}, failed{0}, verified{0}, dumped{0};
  std::atomic<bool> abort{false}, measuring{false};
  std::atomic<uint32_t> threadsDone{0};
  Clock::time_point start, lastDone;
  std::mutex mu;                      // everything below
  RunResult* out = nullptr;
  std::set<std::tuple<uint32_t, uint32_t, int64_t>> cardOps;   // (device, op uid, start) already traced
};

// Whether the caller asked the streams to stop submitting (RunConfig::stop).
bool stopAsked(const Shared& sh) { return sh.cfg->stop != nullptr && sh.cfg->stop->load() != 0; }

void addError(Shared& sh, const std::string& msg) {
  std::lock_guard<std::mutex> g(sh.mu);
  if (sh.out->errors.size() < kMaxErrors) sh.out->errors.push_back(msg);
}

// Copies the leaf op's outputs of one run back from the card and compares them with the expected outputs.
// Returns "" when they match; a mismatch fills *mm and returns "mismatch"; other failures say what failed.
std::string checkOutputs(Shared& sh, const Pipeline& p, qobmDataset* out, uint64_t run, uint32_t stream,
                         Mismatch* mm) {
  thread_local std::vector<uint8_t> host;
  const auto& outputs = p.info().outputs;
  for (uint32_t o = 0; o < outputs.size(); ++o) {
    const qobltools::TensorInfo& t = outputs[o];
    const std::string err = qobltools::readOutput(out, o, t, &host);
    if (!err.empty()) return "run " + std::to_string(run) + ": " + err;
    const uint8_t* exp = sh.data->expected.data() + sh.expectedOffsets[o];
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
    mm->got = elementText(host.data() + b, t.dtype);
    mm->expected = elementText(exp + b, t.dtype);
    return "mismatch";
  }
  return "";
}

// Writes every output of one run to <dumpDir>/run<R>_output<O>.bin.
void dumpOutputs(Shared& sh, const Pipeline& p, qobmDataset* out, uint64_t run) {
  std::vector<uint8_t> host;
  const auto& outputs = p.info().outputs;
  for (uint32_t o = 0; o < outputs.size(); ++o) {
    const std::string path = sh.cfg->dumpDir + "/run" + std::to_string(run) + "_output" + std::to_string(o) + ".bin";
    std::string err = qobltools::readOutput(out, o, outputs[o], &host);
    if (err.empty()) {
      std::ofstream f(path, std::ios::binary | std::ios::trunc);
      f.write(reinterpret_cast<const char*>(host.data()), static_cast<std::streamsize>(host.size()));
      f.close();
      if (!f) err = "cannot write " + path + ": " + std::strerror(errno);
    }
    std::lock_guard<std::mutex> g(sh.mu);
    if (err.empty()) {
      ++sh.out->dumped;
    } else if (sh.out->dumpError.empty()) {
      sh.out->dumpError = err;
    }
  }
}

// A trace event on the lane of one of the stream's input slots.
TraceEvent slotEvent(const StreamCtx& c, std::string name, const char* cat, uint32_t slot, Clock::time_point start,
                     Clock::time_point end, uint64_t run, uint32_t error) {
  TraceEvent e;
  e.name = std::move(name);
  e.cat = cat;
  e.pid = kHostPid;
  e.tid = 1000 * (c.index + 1) + slot;
  e.startNs = nsBetween(c.sh->start, start);
  e.durNs = nsBetween(start, end);
  e.run = run;
  e.error = error;
  return e;
}

// Bytes of live blocks of every kind on one card.
uint64_t liveBytes(uint32_t device) {
  qobcrt_sim_stats st{};
  if (qobcrt_sim_get_stats(device, &st) != 0) return 0;
  uint64_t total = 0;
  for (uint64_t b : st.live_bytes) total += b;
  return total;
}

// Records the end of one measured input: counts, latency, errors and its trace event.
void record(StreamCtx& c, const Outcome& oc, uint32_t error, const std::string& why) {
  Shared& sh = *c.sh;
  (error == 0 ? c.card->completed : c.card->failed)++;
  {
    std::lock_guard<std::mutex> g(c.card->mu);
    if (oc.completed > c.card->last) c.card->last = oc.completed;
  }
  std::lock_guard<std::mutex> g(sh.mu);
  if (oc.completed > c.last) c.last = oc.completed;
  if (error == 0) {
    c.latency.add(static_cast<uint64_t>(std::max<int64_t>(0, nsBetween(oc.submitted, oc.completed))));
    ++c.completed;
    ++sh.completed;
  } else {
    ++c.failed;
    ++sh.failed;
    if (sh.out->errors.size() < kMaxErrors)
      sh.out->errors.push_back("run " + std::to_string(oc.tag) + " (stream " + std::to_string(c.index) + "): " + why);
  }
  if (oc.completed > sh.lastDone) sh.lastDone = oc.completed;
  if (sh.cfg->trace)
    sh.out->events.push_back(slotEvent(c, "run " + std::to_string(oc.tag), "run", oc.slot, oc.submitted, oc.completed,
                                       oc.tag, error));
}

// The completion of one measured input: verification and dump (when asked) and the record.
void onDone(StreamCtx& c, const Outcome& oc) {
  Shared& sh = *c.sh;
  sh.mem->sample();
  if (oc.error != 0) {
    record(c, oc, oc.error, oc.why);
    return;
  }
  const Pipeline& p = c.stream->pipeline();
  if (!sh.cfg->dumpDir.empty() && oc.tag < sh.cfg->dumpCount) dumpOutputs(sh, p, oc.output, oc.tag);
  if (sh.cfg->verify) {
    Mismatch mm;
    const std::string err = checkOutputs(sh, p, oc.output, oc.tag, c.index, &mm);
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

int64_t sinceEpochNs(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// Adds one op report of a measured input to the stream's profile: the op's card time once per device run,
// and, at the run's end op, the card time of the whole device run.  Failed ops, and the device runs they
// end, are left out.
void profileReport(StreamCtx& c, const OpReport& r) {
  const auto& ops = c.card->p->ops();
  if (r.op == nullptr || r.op < ops.data() || r.op >= ops.data() + ops.size()) return;
  const size_t op = static_cast<size_t>(r.op - ops.data());
  const int64_t start = sinceEpochNs(r.cardStart), end = sinceEpochNs(r.cardEnd);
  StreamProfile& pf = c.prof;
  std::lock_guard<std::mutex> g(pf.mu);
  if (r.slot >= pf.slots.size()) return;
  StreamProfile::Input& in = pf.slots[r.slot];
  if (in.any && in.tag != r.tag) in = StreamProfile::Input();   // an input that ended without its end op
  if (r.error != 0) {
    in = StreamProfile::Input();
    return;
  }
  const bool firstOfRun = pf.lastStartNs[op] != start;
  if (firstOfRun) {
    pf.lastStartNs[op] = start;
    std::lock_guard<std::mutex> cg(c.card->profMu);
    c.card->opNs[op].add(static_cast<uint64_t>(std::max<int64_t>(0, end - start)));
  }
  if (!in.any) {
    in.any = true;
    in.tag = r.tag;
    in.startNs = start;
    in.endNs = end;
  } else {
    in.startNs = std::min(in.startNs, start);
    in.endNs = std::max(in.endNs, end);
  }
  if (r.end) {
    if (firstOfRun) {
      std::lock_guard<std::mutex> cg(c.card->profMu);
      c.card->runNs.add(static_cast<uint64_t>(std::max<int64_t>(0, in.endNs - in.startNs)));
    }
    in = StreamProfile::Input();
  }
}

// Every reported op of a measured input: for the trace, the op's card-side execution, nested in the input's
// run on its slot's lane, and once per device run on the card's lane; for the profile, its card time.
void onOpReport(StreamCtx& c, const OpReport& r) {
  Shared& sh = *c.sh;
  sh.mem->sample();
  if ((!sh.cfg->trace && !sh.cfg->profile) || !r.cardTimes || !sh.measuring) return;
  if (sh.cfg->profile) profileReport(c, r);
  if (!sh.cfg->trace) return;
  const uint32_t device = c.card->p->device();
  TraceEvent e = slotEvent(c, r.op != nullptr ? r.op->name : "an unknown op", "op", r.slot, r.cardStart, r.cardEnd,
                           r.tag, r.error);
  std::lock_guard<std::mutex> g(sh.mu);
  sh.out->events.push_back(e);
  if (sh.cardOps.emplace(device, r.op != nullptr ? r.op->uid : 0, e.startNs).second) {
    e.cat = "card";
    e.pid = kCardPid + device;
    e.tid = 1;
    sh.out->events.push_back(std::move(e));
  }
}

// Runs whole device runs of warm-up inputs on the stream; failures are reported as errors.
void warmUp(StreamCtx& c, const RunConfig& cfg) {
  Shared& sh = *c.sh;
  const uint32_t cache = c.stream->cacheNumber();
  std::atomic<uint64_t> failed{0};
  std::string firstWhy;
  std::mutex mu;
  auto done = [&](const Outcome& oc) {
    if (oc.error == 0) return;
    ++failed;
    std::lock_guard<std::mutex> g(mu);
    if (firstWhy.empty()) firstWhy = oc.why;
  };
  std::string err;
  for (uint64_t k = 0; k < uint64_t{cfg.warmup} * cache && err.empty(); k += cfg.sync ? cache : 1) {
    if (k % cache == 0 && stopAsked(sh)) break;   // only between device runs
    if (cfg.sync) {
      err = c.stream->runSync(c.card->inputs, std::vector<uint64_t>(cache, 0), done);
    } else if (c.stream->submit(c.card->inputs, 0, done, &err) != SubmitResult::kFailed) {
      err.clear();
    }
  }
  const std::string syncErr = c.stream->synchronize();
  if (err.empty()) err = syncErr;
  if (failed != 0 || !err.empty()) {
    addError(sh, "stream " + std::to_string(c.index) + ": warm-up failed: " + (firstWhy.empty() ? err : firstWhy));
    sh.abort = true;
  }
}

// Whether the stream should submit its input number k (a multiple of the device run for a duration).  For
// a duration every stream makes at least one device run, however short the duration or late the stream's
// thread starts, so that each has a figure and the summary is never of nothing.
bool more(const StreamCtx& c, uint64_t k, uint32_t cache) {
  const Shared& sh = *c.sh;
  if (sh.cfg->duration <= 0) return k < c.runs;
  if (k % cache != 0 || k == 0) return true;
  return std::chrono::duration<double>(Clock::now() - sh.start).count() < sh.cfg->duration;
}

// Notes the time of a stream's (and its card's) first submission.
void markStarted(StreamCtx& c, Clock::time_point t) {
  if (!c.started) {
    c.started = true;
    c.first = t;
  }
  Card& card = *c.card;
  std::lock_guard<std::mutex> g(card.mu);
  if (!card.started) {
    card.started = true;
    card.first = t;
  }
}

void asyncLoop(StreamCtx& c) {
  Shared& sh = *c.sh;
  const uint32_t cache = c.stream->cacheNumber();
  for (uint64_t k = 0; more(c, k, cache); ++k) {
    // Stopping waits for the device run being gathered to fill, so that every device run is whole.
    if ((sh.abort || stopAsked(sh)) && c.stream->pendingInputs() == 0) break;
    const uint64_t run = sh.nextRun++;
    std::string why;
    StreamCtx* cp = &c;
    markStarted(c, Clock::now());
    Clock::duration sent{};
    const SubmitResult r =
        c.stream->submit(c.card->inputs, run, [cp](const Outcome& oc) { onDone(*cp, oc); }, &why, &sent);
    sh.mem->sample();
    if (r == SubmitResult::kStarted && sh.cfg->profile && c.inputOp < c.card->opNs.size()) {
      std::lock_guard<std::mutex> g(c.card->profMu);
      c.card->opNs[c.inputOp].add(
          static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(sent).count()));
    }
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
  for (uint64_t k = 0; more(c, k, cache) && !sh.abort && !stopAsked(sh); k += cache) {
    std::vector<uint64_t> tags;
    for (uint32_t i = 0; i < cache; ++i) tags.push_back(sh.nextRun++);
    uint64_t seen = 0;
    markStarted(c, Clock::now());
    const std::string err = c.stream->runSync(c.card->inputs, tags, [cp, &seen](const Outcome& oc) {
      ++seen;
      onDone(*cp, oc);
    });
    sh.submitted += seen;
    sh.mem->sample();
    if (!err.empty()) sh.abort = true;
  }
}

// Gathers the cards' profiles into the result: every op of the pipeline, in pipeline order.
void collectProfile(const std::vector<std::unique_ptr<Card>>& cards, RunResult* result) {
  result->profiled = true;
  const auto& ops = cards.front()->p->ops();
  for (const auto& op : ops) {
    result->opCardTimes.emplace_back();
    result->opCardTimes.back().name = op.name;
    result->opCardTimes.back().onHost = op.stage == qobltools::Stage::kInput;
  }
  for (const auto& card : cards) {
    std::lock_guard<std::mutex> g(card->profMu);
    for (size_t i = 0; i < card->opNs.size() && i < ops.size(); ++i) result->opCardTimes[i].ns.merge(card->opNs[i]);
    result->cardRuns.merge(card->runNs);
  }
}

// Names the trace's processes and the lanes that hold events.
void nameLanes(const std::vector<std::unique_ptr<StreamCtx>>& ctx, const std::vector<std::unique_ptr<Card>>& cards,
               RunResult* result) {
  std::set<std::pair<uint32_t, uint32_t>> used;
  for (const auto& e : result->events) used.emplace(e.pid, e.tid);
  auto& lanes = result->lanes;
  lanes.push_back({kHostPid, 0, "qobl-run " + cards.front()->p->dir().name});
  for (const auto& c : ctx) {
    for (uint32_t s = 0; s < c->stream->slotCount(); ++s) {
      const uint32_t tid = 1000 * (c->index + 1) + s;
      if (used.count({kHostPid, tid}) != 0)
        lanes.push_back({kHostPid, tid, "stream " + std::to_string(c->index) + " (card " +
                                            std::to_string(c->card->p->device()) + ") input slot " + std::to_string(s)});
    }
  }
  for (const auto& card : cards) {
    const uint32_t d = card->p->device();
    if (used.count({kCardPid + d, 1}) == 0) continue;
    lanes.push_back({kCardPid + d, 0, "card " + std::to_string(d)});
    lanes.push_back({kCardPid + d, 1, "card " + std::to_string(d) + " engine"});
  }
}

}  // namespace

std::string checkSlotMemory(const std::vector<const Pipeline*>& cards, uint32_t streams, uint32_t inFlight,
                            bool everyOp, bool* setupFailed) {
  *setupFailed = true;
  const uint64_t n = cards.size();
  for (uint64_t c = 0; c < n; ++c) {
    const Pipeline& p = *cards[c];
    const uint64_t onCard = streams / n + (c < streams % n ? 1 : 0);   // stream i runs on card i % n
    if (onCard == 0) continue;
    uint64_t total = 0, used = 0;
    if (qobcrt_get_memory_info(p.device(), &total, &used) != 0 || used > total)
      return "cannot read the memory of card " + std::to_string(p.device());
    // What a stream keeps on the card, from two trial streams one and two device runs deep: the difference
    // is what each further device run in flight adds (the output buffers of its inputs' slots).
    uint64_t taken[2] = {0, 0};
    for (uint32_t depth = 1; depth <= 2; ++depth) {
      qobltools::StreamOptions so;
      so.inFlight = depth;
      so.reportEveryOp = everyOp;
      const uint64_t before = liveBytes(p.device());
      std::unique_ptr<Stream> s;
      const std::string err = Stream::create(p, so, &s);
      if (!err.empty()) return "measuring what a stream keeps on card " + std::to_string(p.device()) + ": " + err;
      taken[depth - 1] = liveBytes(p.device()) - before;
    }
    const uint64_t perRun = taken[1] > taken[0] ? taken[1] - taken[0] : 0;
    const uint64_t fixed = taken[0] - std::min(taken[0], perRun);
    const uint64_t need = onCard * (fixed + inFlight * perRun);
    const uint64_t allowed = (total - used) / 4;
    if (need <= allowed) continue;
    *setupFailed = false;
    const uint64_t room = allowed / onCard;
    const uint64_t deepest = perRun == 0 || room < fixed ? 0 : (room - fixed) / perRun;
    return "--in-flight " + std::to_string(inFlight) + ": " + std::to_string(onCard) + " stream" +
           (onCard == 1 ? "" : "s") + " on card " + std::to_string(p.device()) + " would take " + bytesText(need) +
           " (" + bytesText(perRun) + " per device run in flight), more than a quarter of the card's " +
           bytesText(total - used) + " free; " +
           (deepest == 0 ? "not even --in-flight 1 fits: use fewer --streams or a smaller --batch"
                         : "--in-flight " + std::to_string(deepest) + " is the most that fits");
  }
  *setupFailed = false;
  return "";
}

std::string runPipelines(const std::vector<const Pipeline*>& pipelines, const RunData& data, const RunConfig& cfg,
                         MemoryWatcher* mem, RunResult* result) {
  Shared sh;
  sh.data = &data;
  sh.cfg = &cfg;
  sh.mem = mem;
  sh.out = result;
  uint64_t off = 0;
  for (const auto& t : pipelines.front()->info().outputs) {
    sh.expectedOffsets.push_back(off);
    off += t.bytes;
  }
  result->memBaseBytes = qobltools::cardLiveBytes(mem->devices());

  std::string err;
  std::vector<std::unique_ptr<Card>> cards;
  for (const Pipeline* p : pipelines) {
    cards.emplace_back(new Card);
    cards.back()->p = p;
    if (err.empty()) err = cards.back()->inputs.create(*p);
    if (err.empty()) err = cards.back()->inputs.upload(data.input.data(), data.input.size());
    if (!err.empty()) err = "could not place the input in card memory: " + err;
  }

  qobltools::StreamOptions so;
  so.sync = cfg.sync;
  so.inFlight = cfg.inFlight;
  so.reportEveryOp = cfg.trace || cfg.profile;
  so.poisonOutputs = cfg.verify;
  so.timeoutMs = cfg.timeoutMs;
  std::vector<std::unique_ptr<StreamCtx>> ctx;
  uint32_t cache = 1;
  for (uint32_t i = 0; i < cfg.streams && err.empty(); ++i) {
    ctx.emplace_back(new StreamCtx);
    StreamCtx* c = ctx.back().get();
    c->sh = &sh;
    c->index = i;
    c->card = cards[i % cards.size()].get();
    err = Stream::create(*c->card->p, so, &c->stream);
    if (err.empty()) {
      cache = c->stream->cacheNumber();
      if (cfg.profile) {
        const auto& ops = c->card->p->ops();
        c->prof.lastStartNs.assign(ops.size(), INT64_MIN);
        c->prof.slots.resize(c->stream->slotCount());
        c->card->opNs.resize(ops.size());
        for (size_t k = 0; k < ops.size(); ++k) {
          if (ops[k].stage == qobltools::Stage::kInput) c->inputOp = k;
        }
      }
      c->stream->setOpReportHook([c](const OpReport& r) { onOpReport(*c, r); });
    }
  }
  result->cacheNumber = cache;
  if (err.empty() && cfg.warmup > 0) {
    for (auto& c : ctx) warmUp(*c, cfg);
  }

  std::vector<qobcrt_sim_stats> before(cards.size()), after(cards.size());
  for (size_t i = 0; i < cards.size(); ++i) qobcrt_sim_get_stats(cards[i]->p->device(), &before[i]);
  if (err.empty() && !sh.abort && !stopAsked(sh)) {
    result->measured = true;
    const uint64_t perStream = (cfg.runs + cfg.streams - 1) / cfg.streams;
    for (auto& c : ctx) c->runs = (perStream + cache - 1) / cache * cache;
    const uint64_t total = ctx.front()->runs * ctx.size();
    sh.start = sh.lastDone = Clock::now();
    sh.measuring = true;
    std::vector<std::thread> threads;
    for (auto& c : ctx) {
      StreamCtx* cp = c.get();
      threads.emplace_back([cp, &cfg, &sh] {
        cfg.sync ? syncLoop(*cp) : asyncLoop(*cp);
        ++sh.threadsDone;
      });
    }
    // Progress on a terminal once the runs take longer than a second.
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    bool printed = false, stopNoted = false;
    while (sh.threadsDone != threads.size()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      // Said while runs in flight may still keep the user waiting (up to the time-out); not when the
      // streams ended within the pause.
      if (!stopNoted && stopAsked(sh) && sh.threadsDone != threads.size()) {
        stopNoted = true;
        std::fprintf(stderr, "%sqobl-run: %s: submitting no more runs, waiting for those in flight (a second signal "
                     "ends qobl-run at once)\n", printed ? "\n" : "", signalName(cfg.stop->load()).c_str());
      }
      const double s = usBetween(sh.start, Clock::now()) / 1e6;
      if (terminal && s >= 1.0) {
        const std::string of = cfg.duration > 0 ? "" : "/" + std::to_string(total);
        std::fprintf(stderr, "\rqobl-run: %llu%s runs done, %.0f inferences/s   ",
                     static_cast<unsigned long long>(sh.completed + sh.failed), of.c_str(),
                     static_cast<double>(sh.completed) / s);
        printed = true;
      }
    }
    for (auto& t : threads) t.join();
    sh.measuring = false;
    if (printed) std::fprintf(stderr, "\n");
    // Throughput counts from the first submission, as each card's and stream's does: the threads' start
    // is not the card's time.
    bool any = false;
    Clock::time_point first = sh.lastDone;
    for (const auto& c : ctx) {
      if (c->started && (!any || c->first < first)) first = c->first;
      any = any || c->started;
    }
    result->seconds = any && sh.lastDone > first ? usBetween(first, sh.lastDone) / 1e6 : 0;
  }
  for (const auto& c : ctx) {
    StreamResult s;
    s.stream = c->index;
    s.device = c->card->p->device();
    s.completed = c->completed;
    s.failed = c->failed;
    s.seconds = c->started && c->last > c->first ? usBetween(c->first, c->last) / 1e6 : 0;
    s.latency = latencyStats(c->latency);
    result->perStream.push_back(s);
    result->latency.merge(c->latency);
    c->latency = Durations();
  }
  if (cfg.trace && !ctx.empty() && err.empty()) nameLanes(ctx, cards, result);
  if (cfg.profile && !ctx.empty() && err.empty()) collectProfile(cards, result);

  ctx.clear();   // destroys the streams
  for (size_t i = 0; i < cards.size(); ++i) {
    cards[i]->inputs.release();
    qobcrt_sim_get_stats(cards[i]->p->device(), &after[i]);
    result->deviceRuns += after[i].runs_submitted - before[i].runs_submitted;
    result->deviceRunsFailed += after[i].runs_failed - before[i].runs_failed;
    DeviceResult d;
    d.device = cards[i]->p->device();
    d.completed = cards[i]->completed;
    d.failed = cards[i]->failed;
    d.seconds = cards[i]->started ? usBetween(cards[i]->first, cards[i]->last) / 1e6 : 0;
    if (d.seconds < 0) d.seconds = 0;
    result->perDevice.push_back(d);
  }
  result->submitted = sh.submitted;
  result->completed = sh.completed;
  result->failed = sh.failed;
  result->verified = sh.verified;
  return err;
}

}  // namespace qoblrun
}  // namespace zenlar
