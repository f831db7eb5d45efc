// What qobl-run prints and writes: the summary table, the card-time profile, the JSON summary, latency
// percentiles and the Chrome trace.
#ifndef QOBL_RUN_REPORT_H
#define QOBL_RUN_REPORT_H

#include <string>
#include <vector>

#include "runner.h"

namespace zenlar {
namespace qoblrun {

// p50, p90, p95, p99, mean, min and max of latencies, in microseconds.
LatencyStats latencyStats(const Durations& latency);

// "1.50 MiB", "812 B"
std::string bytesText(uint64_t bytes);

// "SIGINT", "SIGTERM", else "signal N".
std::string signalName(int sig);

// One element of type t at p (little-endian) as text: the number for integers and for 16-, 32- and 64-bit
// floats ("-3", "0.5"), else its bytes in hexadecimal, last byte first ("0x0102").
std::string elementText(const uint8_t* p, qobltools::DType t);

struct SummaryHeader {
  std::string model;        // "classifier (static)"
  std::string modelName;    // "classifier"
  std::string pipeline;     // op names joined by " -> "
  std::string mode;         // "asynchronous, 2 streams on 2 threads, 4 device runs in flight per stream"
  std::string input;        // "sample_input.bin", "random (seed 1)", ...
  bool sync = false;
  uint32_t streams = 1;
  uint32_t inFlight = 0;    // device runs each stream keeps in flight; 0 when synchronous
  uint32_t batch = 0, maxBatch = 0;
  uint32_t warmup = 0;      // device runs each stream made before measuring
  bool verify = false;
  std::string asked;        // how many runs were asked for: "--runs 200", "--duration 60"
};

// The summary table: a row per card with several cards (or another than card 0); a row per stream with 2
// to 8 streams, and with more two rows that summarise them (throughput lowest, median and highest, and the
// range of the streams' p99 latencies).
std::string summaryTable(const SummaryHeader& h, const RunResult& r);

// The card-time profile (r.profiled) as a table in the summary's style: per op the device runs it ran in,
// total, mean, p50, p90 and p99 card time and its share of all ops' card time (the input op: its host
// times, "host" for a share, and a note below the table saying so); then the card time of whole device
// runs and, beside it, the input latency.
std::string profileTable(const RunResult& r);

// The summary as JSON (keys listed in README.md): model, mode, streams, in_flight (null when synchronous),
// devices, batch, max_batch, inputs_per_device_run, warmup_device_runs, submitted, runs, device_runs,
// errors, interrupted (a signal stopped the runs early), signal (its name; null when not interrupted),
// wall_time_s, inferences_per_s, latency_us (p50, p90, p95, p99, mean, min, max; null without a completed
// run), latency_exact (false: the percentiles come from the histogram, within 0.1 %),
// device_memory_peak_bytes, verified (null without verification), per_device (device, runs, errors,
// wall_time_s, inferences_per_s), per_stream (stream, device, runs, errors, wall_time_s, inferences_per_s,
// latency_us, latency_exact); with a profile (r.profiled) also profile: device_runs, ops (name, on_card,
// runs, total_us, mean_us, median_us, p90_us, p99_us, share; the statistics null for an op that never
// completed; the input op's on_card false, its times the host's and its share 0) and card_run_us (p50, p90,
// p99, mean; null without a completed device run).
std::string summaryJson(const SummaryHeader& h, const RunResult& r);

// Chrome trace JSON: the lanes' names as metadata events, then one complete event per TraceEvent, times in
// microseconds with nanosecond digits.
std::string traceJson(const std::vector<TraceEvent>& events, const std::vector<TraceLane>& lanes);

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_REPORT_H
