// Drives built pipelines on the card: one stream and one thread per --streams, the streams spread
// round-robin over the cards (one loaded pipeline per card), inputs submitted asynchronously (completions
// through report callbacks) or synchronously; warm-up, a number of runs or a duration, or fewer when told
// to stop (a signal); latencies, errors, output checks and dumps, per-card throughput, the card's memory
// high-water mark, the trace and the card-time profile.
#ifndef QOBL_RUN_RUNNER_H
#define QOBL_RUN_RUNNER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "durations.h"
#include "qobl_tools/card_memory.h"
#include "qobl_tools/pipeline.h"

namespace zenlar {
namespace qoblrun {

using qobltools::MemoryWatcher;

struct RunConfig {
  uint32_t streams = 1;     // stream i runs on cards[i % cards.size()]
  uint64_t runs = 1;        // inputs over all streams (rounded up per stream to whole device runs)
  double duration = 0;      // > 0: each stream runs whole device runs until this many seconds are spent
  uint32_t warmup = 0;      // device runs per stream before measuring, not counted
  bool sync = false;
  uint32_t inFlight = 4;    // asynchronous: device runs each stream keeps in flight
  bool verify = false;      // compare every output with `expected`
  bool trace = false;       // record trace events; also asks for the reports of every op but the input op
  bool profile = false;     // collect the card time of every op and device run; also asks for every op's report
  std::string dumpDir;      // non-empty: write the outputs of runs 0 .. dumpCount-1 there
  uint32_t dumpCount = 1;
  uint32_t timeoutMs = 60000;
  // When set and holding a signal number (non-zero): every stream stops submitting at the end of the device
  // run it is gathering, waits for its runs in flight and ends; warm-up included, and the measured runs do
  // not start after an interrupted warm-up.  Read, never written, by the runner.
  const std::atomic<int>* stop = nullptr;
};

// The inputs every run is fed (one batch item, all model inputs back to back) and, with verify, the
// outputs every run must produce (all outputs back to back).
struct RunData {
  std::vector<uint8_t> input, expected;
};

// One event of the Chrome trace; times in nanoseconds since the start of the measured runs.
struct TraceEvent {
  std::string name;
  const char* cat = "run";   // "run", "op" (an op of one input, card-side times) or "card" (an op of one
                             // device run on the card)
  uint32_t pid = 1, tid = 0;
  int64_t startNs = 0, durNs = 0;
  uint64_t run = 0;          // the run (for "card": the first run of the device run)
  uint32_t error = 0;
};

// A named lane of the trace (process pid, thread tid; tid 0 names the process).
struct TraceLane {
  uint32_t pid = 1, tid = 0;
  std::string name;
};

// The card time of one op of the pipeline over the measured device runs: one duration per device run it
// completed in (the device run's op serves every input the run gathered, so it counts once).  The input op
// is not executed by the card: its entry holds, per device run, the host time of the submission that sent
// the run (the library builds the run's arguments and records, uploads them and hands the run to the card).
struct OpCardTimes {
  std::string name;
  bool onHost = false;   // the input op: host times, no card time
  Durations ns;
};

struct Mismatch {
  uint64_t run = 0;
  uint32_t stream = 0, output = 0;
  uint64_t element = 0, byteOffset = 0;
  std::string got, expected;
};

struct DeviceResult {
  uint32_t device = 0;
  uint64_t completed = 0, failed = 0;
  double seconds = 0;                // this card's first submission to its last completion
};

// Latency statistics of a set of completed inputs, in microseconds (nearest-rank percentiles, exact or
// within Durations::kRelativeError: `exact`); `any` false (and every figure 0) when none completed.
struct LatencyStats {
  bool any = false;
  bool exact = true;
  double p50 = 0, p90 = 0, p95 = 0, p99 = 0, mean = 0, min = 0, max = 0;
};

// What one stream did in the measured runs.
struct StreamResult {
  uint32_t stream = 0, device = 0;
  uint64_t completed = 0, failed = 0;
  double seconds = 0;                // the stream's first submission to its last completion
  LatencyStats latency;
};

struct RunResult {
  uint32_t cacheNumber = 0;          // inputs gathered per device run
  uint64_t submitted = 0, completed = 0, failed = 0, verified = 0;
  uint64_t deviceRuns = 0, deviceRunsFailed = 0;   // from the cards' counters (measured runs only)
  double seconds = 0;                // the first submission of any stream to the last completion
  bool measured = false;             // the measured runs started (not stopped before or during warm-up)
  int stopSignal = 0;                // the signal that stopped the runs early (set by the caller), 0: none
  Durations latency;                 // completed runs, submit to completion
  std::vector<DeviceResult> perDevice;
  std::vector<StreamResult> perStream;
  uint64_t memPeakBytes = 0;         // device memory high-water mark (all kinds, all cards used)
  uint64_t memBaseBytes = 0;         // live before the streams were made (models loaded)
  uint64_t memAfterBytes = 0;        // live after everything was released
  std::vector<std::string> errors;   // first messages, at most a few
  bool mismatch = false;
  Mismatch firstMismatch;
  uint64_t dumped = 0;               // output files written
  std::string dumpError;             // the first output file that could not be written
  std::vector<TraceEvent> events;
  std::vector<TraceLane> lanes;
  bool profiled = false;             // the two below were collected (RunConfig::profile)
  std::vector<OpCardTimes> opCardTimes;   // every op of the pipeline, in pipeline order (the input op first)
  Durations cardRuns;                // per device run that completed: its first op's card start to its last
                                     // op's card end
};

// Checks, before any run, that the card memory the streams' slots keep (a batch of output buffers for each
// of `inFlight` device runs; measured on trial streams one and two runs deep) takes at most a quarter of
// each card's free memory: the runs take more while in flight (their intermediate buffers).  Returns "" or
// what does not fit, naming --in-flight and the deepest value that would; *setupFailed tells a trial
// stream the library refused (or a card whose memory could not be read) from a depth that does not fit.
// `everyOp`: the streams will ask for the reports of every op (trace or profile).
std::string checkSlotMemory(const std::vector<const qobltools::Pipeline*>& cards, uint32_t streams,
                            uint32_t inFlight, bool everyOp, bool* setupFailed);

// Runs the pipelines (one per card, all of the same model and stages).  Returns "" when the streams could
// be set up (run failures are in *result), else what failed while creating streams or inputs.
std::string runPipelines(const std::vector<const qobltools::Pipeline*>& cards, const RunData& data,
                         const RunConfig& cfg, MemoryWatcher* mem, RunResult* result);

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_RUNNER_H
