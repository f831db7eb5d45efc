// Drives built pipelines on the card: one stream and one thread per --streams, inputs submitted
// asynchronously (completions through report callbacks) or synchronously, latencies, errors, output checks,
// the card's memory high-water mark and the trace events.
#ifndef QOBL_RUN_RUNNER_H
#define QOBL_RUN_RUNNER_H

#include <cstdint>
#include <string>
#include <vector>

#include "qobl_tools/card_memory.h"
#include "qobl_tools/model_dir.h"
#include "qobl_tools/pipeline.h"

namespace zenlar {
namespace qoblrun {

using qobltools::MemoryWatcher;

struct RunConfig {
  uint32_t streams = 1;
  uint32_t runs = 1;        // inputs over all streams (rounded up per stream to whole device runs)
  bool sync = false;
  bool verify = false;
  bool trace = false;       // record trace events; also asks for the reports of every op but the input op
  uint32_t timeoutMs = 60000;
};

// One Chrome trace "complete" event.
struct TraceEvent {
  std::string name;
  const char* cat = "run";
  int64_t startUs = 0, durUs = 0;
  uint32_t tid = 0;
  uint64_t run = 0;
  uint32_t error = 0;
};

struct Mismatch {
  uint64_t run = 0;
  uint32_t stream = 0, output = 0;
  uint64_t element = 0, byteOffset = 0;
  std::string got, expected;
};

struct RunResult {
  uint32_t cacheNumber = 0;          // inputs gathered per device run
  uint64_t submitted = 0, completed = 0, failed = 0, verified = 0;
  uint64_t deviceRuns = 0, deviceRunsFailed = 0;   // from the card's counters
  double seconds = 0;                // first submit to last completion
  std::vector<double> latenciesUs;   // completed runs, submit to completion
  uint64_t memPeakBytes = 0;         // device memory high-water mark (all kinds)
  uint64_t memBaseBytes = 0;         // live before the streams were made (model loaded)
  uint64_t memAfterBytes = 0;        // live after everything was released
  std::vector<std::string> errors;   // first messages, at most a few
  bool mismatch = false;
  Mismatch firstMismatch;
  std::vector<TraceEvent> events;
};

// Runs the pipeline with the sample's input (and, with verify, its expected outputs).  Returns "" when the
// streams could be set up (run failures are in *result), else what failed while creating streams or
// datasets.
std::string runPipeline(const qobltools::Pipeline& p, const qobltools::Sample& sample, const RunConfig& cfg,
                        MemoryWatcher* mem, RunResult* result);

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_RUNNER_H
