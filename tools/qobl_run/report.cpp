#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace zenlar {
namespace qoblrun {

namespace {

std::string fixed(double v, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

std::string jsonEscape(const std::string& s) {
  std::string o;
  for (char ch : s) {
    if (ch == '"' || ch == '\\') {
      o += '\\';
      o += ch;
    } else if (static_cast<unsigned char>(ch) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", ch);
      o += buf;
    } else {
      o += ch;
    }
  }
  return o;
}

}  // namespace

double percentile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(std::ceil(q / 100.0 * static_cast<double>(values.size())));
  if (rank < 1) rank = 1;
  if (rank > values.size()) rank = values.size();
  return values[rank - 1];
}

std::string bytesText(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  if (bytes < 1024 * 1024) return fixed(static_cast<double>(bytes) / 1024.0, 1) + " KiB";
  return fixed(static_cast<double>(bytes) / (1024.0 * 1024.0), 2) + " MiB";
}

std::string summaryTable(const SummaryHeader& h, const RunResult& r) {
  std::vector<std::pair<std::string, std::string>> rows;
  rows.emplace_back("model", h.model);
  rows.emplace_back("pipeline", h.pipeline);
  rows.emplace_back("mode", h.mode);
  rows.emplace_back("batch", std::to_string(h.batch) + " (largest " + std::to_string(h.maxBatch) + "), " +
                                 std::to_string(r.cacheNumber) + " inputs per device run");
  rows.emplace_back("runs", std::to_string(r.completed + r.failed) + " of " + std::to_string(r.submitted) +
                                " submitted (" + std::to_string(r.deviceRuns) + " device runs)");
  const double ips = r.seconds > 0 ? static_cast<double>(r.completed) / r.seconds : 0;
  rows.emplace_back("inferences/s", fixed(ips, 1) + " (" + fixed(r.seconds * 1000.0, 1) + " ms)");
  rows.emplace_back("latency p50", fixed(percentile(r.latenciesUs, 50), 1) + " us");
  rows.emplace_back("latency p90", fixed(percentile(r.latenciesUs, 90), 1) + " us");
  rows.emplace_back("latency p99", fixed(percentile(r.latenciesUs, 99), 1) + " us");
  double sum = 0;
  for (double l : r.latenciesUs) sum += l;
  const auto range = std::minmax_element(r.latenciesUs.begin(), r.latenciesUs.end());
  const bool none = r.latenciesUs.empty();
  rows.emplace_back("latency mean", none ? std::string("- us") : fixed(sum / static_cast<double>(r.latenciesUs.size()), 1) + " us");
  rows.emplace_back("latency min/max",
                    none ? std::string("- / - us") : fixed(*range.first, 1) + " / " + fixed(*range.second, 1) + " us");
  rows.emplace_back("device memory peak", bytesText(r.memPeakBytes) + " (" + bytesText(r.memBaseBytes) +
                                              " with the model loaded, " + bytesText(r.memAfterBytes) +
                                              " after teardown)");
  rows.emplace_back("errors", std::to_string(r.failed) + (r.deviceRunsFailed != 0
                                                               ? " (" + std::to_string(r.deviceRunsFailed) +
                                                                     " device runs failed)"
                                                               : ""));
  if (h.verify) {
    rows.emplace_back("verified", std::to_string(r.verified) + " of " + std::to_string(r.completed + r.failed) +
                                      (r.mismatch ? " match; MISMATCH found" : " match expected_output.bin"));
  }
  size_t w = 0;
  for (const auto& row : rows) w = std::max(w, row.first.size());
  size_t v = 0;
  for (const auto& row : rows) v = std::max(v, row.second.size());
  const std::string rule = "+" + std::string(w + 2, '-') + "+" + std::string(v + 2, '-') + "+\n";
  std::ostringstream os;
  os << rule;
  for (const auto& row : rows) {
    os << "| " << row.first << std::string(w - row.first.size(), ' ') << " | " << row.second
       << std::string(v - row.second.size(), ' ') << " |\n";
  }
  os << rule;
  return os.str();
}

std::string traceJson(const std::vector<TraceEvent>& events, const std::string& processName) {
  std::ostringstream os;
  os << "{\"displayTimeUnit\":\"ms\",\"otherData\":{\"tool\":\"qobl-run\",\"process\":\"" << jsonEscape(processName)
     << "\"},\"traceEvents\":[";
  bool first = true;
  for (const auto& e : events) {
    os << (first ? "\n" : ",\n") << "{\"name\":\"" << jsonEscape(e.name) << "\",\"cat\":\"" << e.cat
       << "\",\"ph\":\"X\",\"pid\":1,\"tid\":" << e.tid << ",\"ts\":" << e.startUs << ",\"dur\":" << e.durUs
       << ",\"args\":{\"run\":" << e.run << ",\"error\":" << e.error << "}}";
    first = false;
  }
  os << "\n]}\n";
  return os.str();
}

}  // namespace qoblrun
}  // namespace zenlar
