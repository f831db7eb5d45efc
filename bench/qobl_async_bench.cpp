// The asynchronous round trip through libqobl beside the card's own floor, in one process.
//
//  BM_CardFloor   the card's floor (card_floor.h): a prebuilt single-op run whose model copies 64 bytes,
//                 submitted straight with qobcrt_run_stream, waiting for its end report; one or two threads.
//  BM_QoblAsync   the demo model `trivial` (qobl_pipeline.h: data [1,16] plus a bias, 64 bytes in and 64
//                 bytes out per input) as input op -> run-model op (the leaf), through qoblRunStreamAsync and
//                 qoblSynchronizeStream.  The argument is the model's batch size, which makes the stream's
//                 cache number (inputs gathered into one device run): 1 or 8, checked with
//                 qoblGetStreamCacheNumber.  One stream on one thread, or two streams on two threads, each
//                 with its own model, graph and datasets.  After the measurement every input must have been
//                 reported without error and every output must hold expected_output.bin.
// Each reports microseconds per input; at the end the ratio of every libqobl case to the floor with the
// same number of threads is printed (with --benchmark_repetitions=N: the ratio of the medians and the range
// of the per-repetition ratios), and the two-thread gain (throughput of two streams on two threads over one
// stream on one thread) of libqobl beside the floor's own, as a fraction of the floor's (with repetitions,
// also the range of that fraction within each repetition).  The table's time is one submitting thread's wall
// time per input of its own, so with two threads it is about twice Google Benchmark's "Time" column, which
// divides by the inputs of both threads.  Per input both sides move the same 64 bytes through one kernel
// call on the card, so the ratio is what libqobl's asynchronous path costs over a bare card run: the
// argument arrays and op records built and uploaded per device run, the report callbacks, the recycling of
// the run's memory and the wait.  At cache number 8 one device run, and its fixed costs, serve eight inputs.
//
// After the timed benchmarks, phases of their own (none of them timed by Google Benchmark):
//  - heap allocations per input at steady state, charged to the library or to the card by the code on the
//    stack (alloc_by_code.h), for the floor and for libqobl at cache numbers 1 and 8;
//  - host CPU time of the calling thread inside qoblRunStreamAsync (CLOCK_THREAD_CPUTIME_ID around each
//    call, the clock's own cost taken off), at cache numbers 1 and 8, beside the floor's own
//    qobcrt_run_stream, which every sending call also makes.  A sending call's time is also split into
//    the card's qobcrt_run_stream within it (this program takes that function's place to time it, see
//    below) and the rest: the card's submission costs a system call whenever the card's engine has gone to
//    sleep, which depends on how soon the next run follows the last, so on a virtual machine it can swing
//    the total from run to run while the rest stays put;
//  - resident memory growth over 20 000 device runs at cache number 1 after 2 000 of warm-up.
// Repetitions (--benchmark_repetitions=N) run interleaved in a random order unless
// --benchmark_enable_random_interleaving=false is given, so that the machine's slow and fast spells fall on
// every case alike instead of on whichever case ran during them.
//
// --floor_busy_ns=S[,R[,after]] adds a control, the loaded floor ("floor+busy"): the floor with S
// nanoseconds of plain busy work on the submitting thread before each submission (after it with ",after")
// and R on the card's reporter thread in each end report.  Its ratios and two-thread gain show what that
// much extra host work per input costs by itself on the machine at hand, to set beside libqobl's.  (On a
// virtual machine, work done after the submission can make the round trip faster than the floor's: a
// thread that sleeps at once lets its processor go idle, and waking an idle virtual processor is slow.)
//
// --no_extras skips those phases, --only_extras runs only them, --only_rss only the resident memory phase
// (in a fresh process: the phases before it have already run the card's windows and histories to their
// steady size).  Instruction counts per device run come
// from bench/callgrind_run_path.sh (valgrind), not from this program.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <qobcrt/qobcrt.h>
#include <qobm/qobm.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "alloc_by_code.h"
#include "card_floor.h"
#include "qobl_api.h"
#include "qobl_pipeline.h"

namespace {

std::mutex gResultsMu;
// Benchmark label -> iterations of each run and microseconds per input.  Google Benchmark first calls a
// benchmark with growing iteration counts to find how many to measure; the runs it reports (every
// repetition) are those with the largest count.
std::map<std::string, std::vector<std::pair<int64_t, double>>> gRuns;
std::map<std::string, std::vector<double>> gUsPerInput;   // the reported runs only, filled by keepReported

// Records thread 0's time per input under `label`.
void record(benchmark::State& state, const std::string& label, double seconds, uint64_t inputs) {
  if (state.thread_index() != 0 || inputs == 0) return;
  std::lock_guard<std::mutex> lock(gResultsMu);
  gRuns[label].emplace_back(static_cast<int64_t>(state.iterations()), seconds * 1e6 / static_cast<double>(inputs));
}

void keepReported() {
  for (const auto& kv : gRuns) {
    int64_t most = 0;
    for (const auto& run : kv.second) most = std::max(most, run.first);
    for (const auto& run : kv.second)
      if (run.first == most) gUsPerInput[kv.first].push_back(run.second);
  }
}

// The floor's loop, recorded under `label`.
void floorCase(benchmark::State& state, const std::string& label) {
  qoblbench::CardFloor& f = qoblbench::CardFloor::get();
  if (state.thread_index() == 0 && (!f.ready() || !f.claimReports())) {
    state.SkipWithError("card set-up failed");
    return;
  }
  const double secs = f.measure(state);
  state.SetItemsProcessed(state.iterations());
  record(state, label + "/threads:" + std::to_string(state.threads()), secs, state.iterations());
}

void BM_CardFloor(benchmark::State& state) { floorCase(state, "floor"); }

// The loaded floor (--floor_busy_ns): the floor's loop with the busy work that the run's Setup sets.
uint64_t gSubmitBusyNs = 0, gReportBusyNs = 0;
bool gBusyAfterSubmit = false;
void BM_CardFloorBusy(benchmark::State& state) { floorCase(state, "floor+busy"); }

void BM_QoblAsync(benchmark::State& state) {
  const uint32_t cache = static_cast<uint32_t>(state.range(0));
  qoblbench::Pipeline lib("trivial", cache);
  if (!lib.error().empty()) {
    state.SkipWithError(lib.error().c_str());
    return;
  }
  uint64_t inputs = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!lib.runOnce()) {
      state.SkipWithError("qoblRunStreamAsync or qoblSynchronizeStream failed");
      break;
    }
    inputs += lib.inputsPerRun();
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (state.error_occurred()) return;
  const std::string wrong = lib.check(inputs);
  if (!wrong.empty()) {
    state.SkipWithError(wrong.c_str());
    return;
  }
  state.SetItemsProcessed(static_cast<int64_t>(inputs));
  record(state, "qobl/cache:" + std::to_string(cache) + "/threads:" + std::to_string(state.threads()), secs, inputs);
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The value below which a tenth of the samples lie.
double lowTenth(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 10];
}

// The ratios of the timed benchmarks: each libqobl case against the floor with the same number of threads,
// then the two-thread gains.
void printRatios() {
  keepReported();
  std::printf("\nmicroseconds per input on one submitting thread (median of the runs), and ratio to the card's"
              " floor with the same number of threads (ratio of the medians; range of the per-run ratios):\n");
  for (const auto& kv : gUsPerInput) {
    const std::string threads = kv.first.substr(kv.first.rfind("threads:"));
    const auto floorIt = gUsPerInput.find("floor/" + threads);
    const double us = median(kv.second);
    if (floorIt == gUsPerInput.end() || kv.first.rfind("floor/", 0) == 0) {
      std::printf("  %-28s %10.2f us\n", kv.first.c_str(), us);
      continue;
    }
    double lo = 1e300, hi = 0;
    for (size_t i = 0; i < kv.second.size() && i < floorIt->second.size(); ++i) {
      const double r = kv.second[i] / floorIt->second[i];
      lo = std::min(lo, r);
      hi = std::max(hi, r);
    }
    std::printf("  %-28s %10.2f us   x%.2f   (x%.2f - x%.2f over %zu runs)\n", kv.first.c_str(), us,
                us / median(floorIt->second), lo, hi, std::min(kv.second.size(), floorIt->second.size()));
  }
  // Throughput of two streams on two threads over one stream on one thread: each thread's time per input
  // is its own, so the gain is 2 x (time with one thread) / (time with two).
  auto gain = [](const std::string& prefix) {
    const auto one = gUsPerInput.find(prefix + "/threads:1"), two = gUsPerInput.find(prefix + "/threads:2");
    if (one == gUsPerInput.end() || two == gUsPerInput.end() || median(two->second) <= 0) return 0.0;
    return 2 * median(one->second) / median(two->second);
  };
  // The same relative gain within each repetition (the i-th run of every case): its spread shows how far
  // one repetition's figure can be trusted on the machine at hand.
  auto gainRange = [](const std::string& prefix, double* lo, double* hi) {
    static const std::vector<double> kNone;
    auto runs = [](const std::string& label) -> const std::vector<double>& {
      const auto it = gUsPerInput.find(label);
      return it == gUsPerInput.end() ? kNone : it->second;
    };
    const auto& f1 = runs("floor/threads:1");
    const auto& f2 = runs("floor/threads:2");
    const auto& c1 = runs(prefix + "/threads:1");
    const auto& c2 = runs(prefix + "/threads:2");
    const size_t n = std::min(std::min(f1.size(), f2.size()), std::min(c1.size(), c2.size()));
    *lo = 1e300;
    *hi = 0;
    for (size_t i = 0; i < n; ++i) {
      if (f2[i] <= 0 || c2[i] <= 0) continue;
      const double r = (c1[i] / c2[i]) / (f1[i] / f2[i]);
      *lo = std::min(*lo, r);
      *hi = std::max(*hi, r);
    }
    return n;
  };
  const double floorGain = gain("floor");
  if (floorGain <= 0) return;
  std::printf("\ntwo streams on two threads, throughput over one stream on one thread (of the floor's gain: ratio"
              " of the medians; range of the per-run ratios):\n");
  std::printf("  %-28s x%.2f\n", "floor", floorGain);
  for (const char* c : {"qobl/cache:1", "qobl/cache:8", "floor+busy"}) {
    const double g = gain(c);
    if (g <= 0) continue;
    double lo = 0, hi = 0;
    const size_t n = gainRange(c, &lo, &hi);
    if (n > 1 && hi > 0) {
      std::printf("  %-28s x%.2f   (%.2f of the floor's gain; %.2f - %.2f over %zu runs)\n", c, g, g / floorGain, lo,
                  hi, n);
    } else {
      std::printf("  %-28s x%.2f   (%.2f of the floor's gain)\n", c, g, g / floorGain);
    }
  }
}

// ---------------------------------------------------------------- phases after the timed benchmarks

constexpr uint64_t kWarmRuns = 2000;

bool runMany(qoblbench::Pipeline& s, uint64_t runs) {
  for (uint64_t i = 0; i < runs; ++i)
    if (!s.runOnce()) return false;
  return true;
}

void printAllocs(const char* what, const qoblbench::AllocCounts& c, uint64_t runs, uint64_t inputs) {
  const double r = static_cast<double>(runs), in = static_cast<double>(inputs);
  using qoblbench::kAllocCard;
  using qoblbench::kAllocCardForLibrary;
  using qoblbench::kAllocLibrary;
  std::printf("  %-14s %8.2f %8.2f %10.2f %12.2f %10.2f %8.2f\n", what, c.by[kAllocLibrary] / in,
              c.by[kAllocLibrary] / r, c.by[kAllocCardForLibrary] / in, c.by[kAllocCardForLibrary] / r,
              c.by[kAllocCard] / r, c.by[qoblbench::kAllocOther] / r);
}

void countAllocations(uint64_t runs) {
  std::printf("\nheap allocations at steady state (%llu device runs after %llu of warm-up), charged by the code on"
              " the stack:\n",
              static_cast<unsigned long long>(runs), static_cast<unsigned long long>(kWarmRuns));
  std::printf("  %-14s %17s %23s %10s %8s\n", "", "library", "card called by library", "card", "other");
  std::printf("  %-14s %8s %8s %10s %12s %10s %8s\n", "", "/input", "/run", "/input", "/run", "/run", "/run");
  {
    qoblbench::Pipeline first("trivial", 1);   // loads libqobl's code paths before the ranges are taken
    if (!first.error().empty() || !qoblbench::allocByCodeInit()) {
      std::printf("  cannot count: %s\n", first.error().empty() ? "libqobl.so or libqobcrt.so not mapped"
                                                                 : first.error().c_str());
      return;
    }
  }
  qoblbench::CardFloor& f = qoblbench::CardFloor::get();
  if (f.ready() && f.claimReports()) {
    uint32_t id = 0;
    bool ok = true;
    for (uint64_t i = 0; ok && i < kWarmRuns; ++i) ok = f.runOnce(0, ++id);
    qoblbench::allocByCodeStart();
    for (uint64_t i = 0; ok && i < runs; ++i) ok = f.runOnce(0, ++id);
    const qoblbench::AllocCounts c = qoblbench::allocByCodeStop();
    if (ok) printAllocs("floor", c, runs, runs);
  }
  for (uint32_t cache : {1u, 8u}) {
    qoblbench::Pipeline s("trivial", cache);
    if (!s.error().empty() || !runMany(s, kWarmRuns)) {
      std::printf("  cache %u: %s\n", cache, s.error().empty() ? "a run failed" : s.error().c_str());
      continue;
    }
    qoblbench::allocByCodeStart();
    const bool ok = runMany(s, runs);
    const qoblbench::AllocCounts c = qoblbench::allocByCodeStop();
    const std::string wrong = ok ? s.check((kWarmRuns + runs) * cache) : "a run failed";
    if (!wrong.empty()) {
      std::printf("  cache %u: %s\n", cache, wrong.c_str());
      continue;
    }
    printAllocs(("qobl/cache:" + std::to_string(cache)).c_str(), c, runs, runs * cache);
  }
}

uint64_t threadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// While set on a thread, qobcrt_run_stream (below) adds the thread's CPU time inside the card's
// submission to tCardSubmitNs and counts the call in tCardSubmits.
thread_local bool tTimeCardSubmit = false;
thread_local uint64_t tCardSubmitNs = 0;
thread_local uint32_t tCardSubmits = 0;

// CPU time of the calling thread inside qoblRunStreamAsync: every call of a device run (at cache number 8
// seven calls only gather an input, the eighth builds and sends the run) and the sending calls alone.
//
// Reading the thread CPU clock is a system call whose cost (0.6 to 0.9 us here) exceeds what it times and
// drifts with the machine's load, so it is sampled right after each timed call of a section, under the
// conditions of the call.  Disturbances only add to it: right after a sending call, while the card's
// threads wake, most samples took 14 us in one run.  So the figure taken off is the low tenth of the
// samples, the clock's undisturbed cost; a disturbed timed call is then overstated, never understated.
// (A single figure taken up front, as before, once came out above every call's and took them all to zero.)
void hostCpuInRunAsync(uint64_t runs) {
  auto clockPairNs = [] {
    const uint64_t a = threadCpuNs(), b = threadCpuNs();
    return static_cast<double>(b - a);
  };
  std::printf("\nhost CPU time of the calling thread inside qoblRunStreamAsync (median over %llu device runs;"
              " the CPU clock's own undisturbed cost, sampled after each call, taken off):\n",
              static_cast<unsigned long long>(runs));
  // The card's own share: the floor's qobcrt_run_stream, which every sending call also makes.
  qoblbench::CardFloor& f = qoblbench::CardFloor::get();
  if (f.ready() && f.claimReports()) {
    std::vector<double> raw, clock;
    bool ok = true;
    for (uint64_t r = 0; ok && r < kWarmRuns + runs; ++r) {
      uint64_t target = 0;
      const uint64_t t0 = threadCpuNs();
      ok = f.submit(0, static_cast<uint32_t>(r + 1), &target);
      const uint64_t t1 = threadCpuNs();
      // The clock is sampled right after the call, while the thread is as warm as it was for the call.
      if (r >= kWarmRuns) {
        raw.push_back(static_cast<double>(t1 - t0));
        clock.push_back(clockPairNs());
      }
      if (ok) f.waitEnd(0, target);
    }
    if (ok) {
      const double clockNs = lowTenth(clock);
      std::vector<double> submit;
      for (double ns : raw) submit.push_back(std::max(0.0, ns - clockNs));
      std::printf("  floor            qobcrt_run_stream %7.2f us   (clock read %.2f us)\n", median(submit) / 1000,
                  clockNs / 1000);
    } else {
      std::printf("  floor: a run was refused\n");
    }
  }
  for (uint32_t cache : {1u, 8u}) {
    qoblbench::Pipeline s("trivial", cache);
    if (!s.error().empty() || !runMany(s, kWarmRuns)) {
      std::printf("  cache %u: %s\n", cache, s.error().empty() ? "a run failed" : s.error().c_str());
      continue;
    }
    struct Call {
      double ns, cardNs;
      uint32_t cardSubmits;
      bool sending;
    };
    std::vector<Call> calls;
    std::vector<double> clock;
    bool ok = true;
    tTimeCardSubmit = true;
    for (uint64_t r = 0; ok && r < runs; ++r) {
      for (uint32_t i = 0; ok && i < cache; ++i) {
        tCardSubmitNs = 0;
        tCardSubmits = 0;
        const uint64_t t0 = threadCpuNs();
        const qoblErr rc = qoblRunStreamAsync(s.stream(), s.input(), s.output(i));
        const uint64_t t1 = threadCpuNs();
        ok = rc == 0 || rc == qoblERR_RUN_PENDING;
        calls.push_back(Call{static_cast<double>(t1 - t0), static_cast<double>(tCardSubmitNs), tCardSubmits,
                             i + 1 == cache});
        clock.push_back(clockPairNs());
      }
      ok = ok && qoblSynchronizeStream(s.stream(), 10000) == 0;
    }
    tTimeCardSubmit = false;
    const double clockNs = lowTenth(clock);
    std::vector<double> all, sending, cardSubmit, rest;
    for (const Call& c : calls) {
      // The card's submission was timed with one clock read of its own inside and two reads in all
      // inside this call's interval.
      const double card = std::max(0.0, c.cardNs - c.cardSubmits * clockNs);
      const double ns = std::max(0.0, c.ns - (1 + 2.0 * c.cardSubmits) * clockNs);
      all.push_back(ns);
      if (c.sending) {
        sending.push_back(ns);
        cardSubmit.push_back(card);
        rest.push_back(std::max(0.0, ns - card));
      }
    }
    // The same calls again, timed by the wall clock alone: it is read without a system call (about 20 ns
    // against the CPU clock's 0.6 us here), so it does not disturb what it times.  The call never waits
    // for the card, so its wall time is its CPU time unless the thread is preempted inside it, and the
    // median leaves such calls out; it can only overstate the CPU time, never understate it.
    std::vector<double> wallSending;
    for (uint64_t r = 0; ok && r < runs; ++r) {
      for (uint32_t i = 0; ok && i < cache; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        const qoblErr rc = qoblRunStreamAsync(s.stream(), s.input(), s.output(i));
        const auto t1 = std::chrono::steady_clock::now();
        ok = rc == 0 || rc == qoblERR_RUN_PENDING;
        if (i + 1 == cache) wallSending.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count());
      }
      ok = ok && qoblSynchronizeStream(s.stream(), 10000) == 0;
    }
    if (!ok) {
      std::printf("  cache %u: a run failed\n", cache);
      continue;
    }
    std::printf("  qobl/cache:%-4u every call %7.2f us   the sending call %7.2f us (qobcrt_run_stream %.2f us,"
                " the rest %.2f us); by the wall clock, the sending call %.2f us   (clock read %.2f us)\n",
                cache, median(all) / 1000, median(sending) / 1000, median(cardSubmit) / 1000, median(rest) / 1000,
                median(wallSending) / 1000, clockNs / 1000);
  }
}

long rssKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void rssGrowth(uint64_t runs) {
  qoblbench::Pipeline s("trivial", 1);
  if (!s.error().empty() || !runMany(s, kWarmRuns)) {
    std::printf("\nresident memory: %s\n", s.error().empty() ? "a run failed" : s.error().c_str());
    return;
  }
  const long before = rssKiB();
  const bool ok = runMany(s, runs);
  const long after = rssKiB();
  std::printf("\nresident memory growth over %llu device runs at cache number 1 after %llu of warm-up: %+ld KiB%s\n",
              static_cast<unsigned long long>(runs), static_cast<unsigned long long>(kWarmRuns), after - before,
              ok ? "" : " (a run failed)");
}

}  // namespace

// The card's run submission, in this program's place (the program's definition comes before the card
// library's for libqobl too): it passes every call on to the card's own and times it on threads that ask
// for it.
extern "C" int qobcrt_run_stream(uint32_t dev, run_stream* rec) {
  using SubmitFn = int (*)(uint32_t, run_stream*);
  static const SubmitFn card = reinterpret_cast<SubmitFn>(dlsym(RTLD_NEXT, "qobcrt_run_stream"));
  if (card == nullptr) return -1;
  if (!tTimeCardSubmit) return card(dev, rec);
  const uint64_t t0 = threadCpuNs();
  const int rc = card(dev, rec);
  tCardSubmitNs += threadCpuNs() - t0;
  ++tCardSubmits;
  return rc;
}

BENCHMARK(BM_CardFloor)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_QoblAsync)->Arg(1)->Arg(8)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Registers the loaded floor for --floor_busy_ns=S[,R[,after]]; false when the value is not of that form.
bool addLoadedFloor(const char* value) {
  char* end = nullptr;
  gSubmitBusyNs = std::strtoull(value, &end, 10);
  if (end == value) return false;
  if (*end == ',') gReportBusyNs = std::strtoull(end + 1, &end, 10);
  gBusyAfterSubmit = std::strcmp(end, ",after") == 0;
  if (*end != '\0' && !gBusyAfterSubmit) return false;
  benchmark::RegisterBenchmark("BM_CardFloorBusy", BM_CardFloorBusy)
      ->Threads(1)
      ->Threads(2)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond)
      ->Setup([](const benchmark::State&) {
        qoblbench::CardFloor::get().setBusyWork(gSubmitBusyNs, gReportBusyNs, gBusyAfterSubmit);
      })
      ->Teardown([](const benchmark::State&) { qoblbench::CardFloor::get().setBusyWork(0, 0); });
  return true;
}

int main(int argc, char** argv) {
  // Errors only: the library's warnings about models without pre-process ops would bury the table.
  qobmSetLogLevel(qobmLL_ERROR);
  bool timed = true, extras = true, rssOnly = false, interleavingGiven = false;
  const std::string busyFlag = "--floor_busy_ns=", interleaveFlag = "--benchmark_enable_random_interleaving";
  std::vector<char*> args{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind(busyFlag, 0) == 0) {
      if (!addLoadedFloor(argv[i] + busyFlag.size())) {
        std::fprintf(stderr, "%s takes nanoseconds on the submitting thread and, after a comma, on the reporter;"
                     " \",after\" puts the submitting thread's after its submission\n",
                     busyFlag.c_str());
        return 1;
      }
    } else if (a == "--no_extras") {
      extras = false;
    } else if (a == "--only_extras") {
      timed = false;
    } else if (a == "--only_rss") {
      timed = false;
      rssOnly = true;
    } else {
      interleavingGiven = interleavingGiven || a.rfind(interleaveFlag, 0) == 0;
      args.push_back(argv[i]);
    }
  }
  std::string interleave = interleaveFlag + "=true";
  if (!interleavingGiven) args.push_back(&interleave[0]);
  argc = static_cast<int>(args.size());
  argv = args.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (timed) {
    benchmark::RunSpecifiedBenchmarks();
    printRatios();
  }
  benchmark::Shutdown();
  if (rssOnly) {
    rssGrowth(20000);
  } else if (extras) {
    countAllocations(1000);
    hostCpuInRunAsync(5000);
    rssGrowth(20000);
  }
  return 0;
}
