// What qobl-run prints and writes: the summary table, latency percentiles and the Chrome trace.
#ifndef QOBL_RUN_REPORT_H
#define QOBL_RUN_REPORT_H

#include <string>
#include <vector>

#include "runner.h"

namespace zenlar {
namespace qoblrun {

// Nearest-rank percentile (q in 0..100) of unsorted values; 0 for an empty list.
double percentile(std::vector<double> values, double q);

// "1.50 MiB", "812 B"
std::string bytesText(uint64_t bytes);

struct SummaryHeader {
  std::string model;      // "classifier (static)"
  std::string pipeline;   // op names joined by " -> "
  std::string mode;       // "asynchronous, 2 streams"
  uint32_t batch = 0, maxBatch = 0;
  bool verify = false;
};

std::string summaryTable(const SummaryHeader& h, const RunResult& r);

// Chrome trace JSON ("traceEvents" of complete events, microseconds).
std::string traceJson(const std::vector<TraceEvent>& events, const std::string& processName);

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_REPORT_H
