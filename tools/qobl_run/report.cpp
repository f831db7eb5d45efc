#include "report.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace zenlar {
namespace qoblrun {

namespace {

std::string fixed(double v, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

double perSecond(uint64_t count, double seconds) { return seconds > 0 ? static_cast<double>(count) / seconds : 0; }

// Streams beyond this many are summarised in the table rather than given a row each.
constexpr size_t kStreamRows = 8;

// "1 device run", "2 device runs"
std::string counted(uint64_t n, const std::string& what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// Card-time statistics of one op or of whole device runs; none without a device run.
struct CardTime {
  bool any = false;
  uint64_t runs = 0;
  double total = 0, mean = 0, p50 = 0, p90 = 0, p99 = 0;
};

CardTime cardTime(const Durations& d) {
  CardTime t;
  if (d.count() == 0) return t;
  t.any = true;
  t.runs = d.count();
  t.total = d.totalNs() / 1e3;
  t.mean = d.meanNs() / 1e3;
  const std::vector<double> p = d.percentilesNs({50, 90, 99});
  t.p50 = p[0] / 1e3;
  t.p90 = p[1] / 1e3;
  t.p99 = p[2] / 1e3;
  return t;
}

// The statistics of every profiled op, and each op's share of the card time of all ops (*anyShare false
// when no op took any); the input op, which takes no card time, has a share of 0.
std::vector<CardTime> opStats(const RunResult& r, std::vector<double>* share, bool* anyShare) {
  std::vector<CardTime> ops;
  double sum = 0;
  for (const auto& o : r.opCardTimes) {
    ops.push_back(cardTime(o.ns));
    if (!o.onHost) sum += ops.back().total;
  }
  *anyShare = sum > 0;
  share->clear();
  for (size_t i = 0; i < ops.size(); ++i)
    share->push_back(sum > 0 && !r.opCardTimes[i].onHost ? ops[i].total / sum : 0);
  return ops;
}

// Rows of cells as a table; an empty row draws a rule.  The first column is left-aligned, the others
// right-aligned when `rightAligned` (figures), else left-aligned too.
std::string gridText(const std::vector<std::vector<std::string>>& rows, bool rightAligned) {
  std::vector<size_t> w;
  for (const auto& row : rows) {
    if (w.size() < row.size()) w.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) w[i] = std::max(w[i], row[i].size());
  }
  std::string rule = "+";
  for (size_t c : w) rule += std::string(c + 2, '-') + "+";
  rule += "\n";
  std::ostringstream os;
  os << rule;
  for (const auto& row : rows) {
    if (row.empty()) {
      os << rule;
      continue;
    }
    os << "|";
    for (size_t i = 0; i < w.size(); ++i) {
      const std::string cell = i < row.size() ? row[i] : "";
      const std::string pad(w[i] - cell.size(), ' ');
      os << " " << (i == 0 || !rightAligned ? cell + pad : pad + cell) << " |";
    }
    os << "\n";
  }
  os << rule;
  return os.str();
}

// Microseconds with nanosecond digits, from whole nanoseconds: exact, so that events that do not overlap
// in time do not overlap in the trace either.
std::string usText(int64_t ns) {
  char buf[48];
  const char* sign = ns < 0 ? "-" : "";
  const long long a = ns < 0 ? -static_cast<long long>(ns) : static_cast<long long>(ns);
  std::snprintf(buf, sizeof buf, "%s%lld.%03lld", sign, a / 1000, a % 1000);
  return buf;
}

// The table's rows for many streams: throughput lowest, median (nearest rank) and highest, and the range
// of the streams' p99 latencies, naming the streams at the ends; every stream's own figures are in --json.
template <typename Add>
void streamSummary(const std::vector<StreamResult>& streams, Add add) {
  std::vector<std::pair<double, uint32_t>> rate, p99;
  for (const auto& s : streams) {
    rate.emplace_back(perSecond(s.completed, s.seconds), s.stream);
    if (s.latency.any) p99.emplace_back(s.latency.p99, s.stream);
  }
  std::sort(rate.begin(), rate.end());
  std::sort(p99.begin(), p99.end());
  const auto named = [](const std::pair<double, uint32_t>& v, const char* unit) {
    return fixed(v.first, 1) + unit + " (stream " + std::to_string(v.second) + ")";
  };
  add(std::to_string(streams.size()) + " streams",
      "inferences/s lowest " + named(rate.front(), "") + ", median " + fixed(rate[(rate.size() + 1) / 2 - 1].first, 1) +
          ", highest " + named(rate.back(), "") + "; each stream's figures in --json");
  add("streams' latency p99", p99.empty() ? std::string("-")
                                          : "lowest " + named(p99.front(), " us") + ", highest " +
                                                named(p99.back(), " us"));
}

}  // namespace

LatencyStats latencyStats(const Durations& d) {
  LatencyStats l;
  if (d.count() == 0) return l;
  const std::vector<double> p = d.percentilesNs({50, 90, 95, 99});
  l.any = true;
  l.exact = d.exact();
  l.p50 = p[0] / 1e3;
  l.p90 = p[1] / 1e3;
  l.p95 = p[2] / 1e3;
  l.p99 = p[3] / 1e3;
  l.mean = d.meanNs() / 1e3;
  l.min = static_cast<double>(d.minNs()) / 1e3;
  l.max = static_cast<double>(d.maxNs()) / 1e3;
  return l;
}

std::string bytesText(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  if (bytes < 1024 * 1024) return fixed(static_cast<double>(bytes) / 1024.0, 1) + " KiB";
  return fixed(static_cast<double>(bytes) / (1024.0 * 1024.0), 2) + " MiB";
}

std::string signalName(int sig) {
  switch (sig) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    default:
      return "signal " + std::to_string(sig);
  }
}

std::string elementText(const uint8_t* p, qobltools::DType t) {
  char buf[64];
  const uint64_t bytes = qobltools::dtypeBytes(t);
  uint64_t u = 0;
  if (t.lanes == 1 && (t.bits == 8 || t.bits == 16 || t.bits == 32 || t.bits == 64)) {
    for (uint64_t i = 0; i < bytes; ++i) u |= uint64_t{p[i]} << (8 * i);
    const int shift = 64 - t.bits;
    if (t.code == 0) {   // sign-extended from its width
      std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(static_cast<int64_t>(u << shift) >> shift));
      return buf;
    }
    if (t.code == 1) {
      std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(u));
      return buf;
    }
    double v = 0;
    bool number = true;
    if (t.code == 2 && t.bits == 16) {   // IEEE binary16
      const int exp = static_cast<int>((u >> 10) & 0x1f);
      const double mant = static_cast<double>(u & 0x3ff);
      v = exp == 0    ? std::ldexp(mant, -24)
          : exp == 31 ? (mant == 0 ? HUGE_VAL : NAN)
                      : std::ldexp(1024.0 + mant, exp - 25);
      if ((u & 0x8000) != 0) v = -v;
    } else if ((t.code == 2 && t.bits == 32) || (t.code == 4 && t.bits == 16)) {
      const uint32_t x = t.bits == 16 ? static_cast<uint32_t>(u) << 16 : static_cast<uint32_t>(u);
      float f;
      std::memcpy(&f, &x, sizeof f);
      v = f;
    } else if (t.code == 2 && t.bits == 64) {
      std::memcpy(&v, &u, sizeof v);
    } else {
      number = false;
    }
    if (number) {
      std::snprintf(buf, sizeof buf, t.bits == 64 ? "%.17g" : "%.9g", v);
      return buf;
    }
  }
  std::string hex = "0x";
  for (uint64_t i = bytes; i-- > 0;) {
    std::snprintf(buf, sizeof buf, "%02x", p[i]);
    hex += buf;
  }
  return hex;
}

std::string summaryTable(const SummaryHeader& h, const RunResult& r) {
  std::vector<std::vector<std::string>> rows;
  auto add = [&rows](std::string name, std::string value) { rows.push_back({std::move(name), std::move(value)}); };
  add("model", h.model);
  add("pipeline", h.pipeline);
  add("mode", h.mode);
  if (!h.input.empty()) add("input", h.input);
  add("batch", std::to_string(h.batch) + " (largest " + std::to_string(h.maxBatch) + "), " +
                   counted(r.cacheNumber, "input") + " per device run");
  std::string runs = std::to_string(r.completed + r.failed) + " of " + std::to_string(r.submitted) + " submitted (" +
                     counted(r.deviceRuns, "device run") + ")";
  if (r.stopSignal != 0) {
    runs += ", interrupted by " + signalName(r.stopSignal) +
            (r.measured ? (h.asked.empty() ? "" : " (asked: " + h.asked + ")") : " before the measured runs");
  }
  add("runs", runs);
  add("inferences/s", fixed(perSecond(r.completed, r.seconds), 1) + " (" + fixed(r.seconds * 1000.0, 1) + " ms)");
  if (r.perDevice.size() > 1 || (r.perDevice.size() == 1 && r.perDevice[0].device != 0)) {
    for (const auto& d : r.perDevice)
      add("card " + std::to_string(d.device), fixed(perSecond(d.completed, d.seconds), 1) + " inferences/s (" +
                                                  std::to_string(d.completed) + " runs in " +
                                                  fixed(d.seconds * 1000.0, 1) + " ms)");
  }
  if (r.perStream.size() > kStreamRows) {
    streamSummary(r.perStream, add);
  } else if (r.perStream.size() > 1) {
    for (const auto& s : r.perStream) {
      const LatencyStats& sl = s.latency;
      add("stream " + std::to_string(s.stream) + " (card " + std::to_string(s.device) + ")",
          fixed(perSecond(s.completed, s.seconds), 1) + " inferences/s (" + std::to_string(s.completed) + " runs in " +
              fixed(s.seconds * 1000.0, 1) + " ms), latency p50 " + (sl.any ? fixed(sl.p50, 1) : "-") + " / p99 " +
              (sl.any ? fixed(sl.p99, 1) : "-") + " us");
    }
  }
  const LatencyStats l = latencyStats(r.latency);
  auto us = [&](double v) { return l.any ? fixed(v, 1) + " us" : std::string("- us"); };
  add("latency p50", us(l.p50));
  add("latency p90", us(l.p90));
  add("latency p95", us(l.p95));
  add("latency p99", us(l.p99));
  add("latency mean", us(l.mean));
  add("latency min/max", l.any ? fixed(l.min, 1) + " / " + fixed(l.max, 1) + " us" : "- / - us");
  if (!l.exact)
    add("latency precision", "percentiles within 0.1 % (over " + std::to_string(Durations::kExactLimit) +
                                 " inputs: histogram); mean, min, max exact");
  add("device memory peak", bytesText(r.memPeakBytes) + " (" + bytesText(r.memBaseBytes) +
                                " with the model loaded, " + bytesText(r.memAfterBytes) + " after teardown)");
  add("errors", std::to_string(r.failed) + (r.deviceRunsFailed != 0
                                                ? " (" + std::to_string(r.deviceRunsFailed) + " device runs failed)"
                                                : ""));
  if (h.verify) {
    add("verified", std::to_string(r.verified) + " of " + std::to_string(r.completed + r.failed) +
                        (r.mismatch ? " match; MISMATCH found" : " match expected_output.bin"));
  }
  return gridText(rows, false);
}

std::string profileTable(const RunResult& r) {
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"op", "device runs", "total ms", "mean us", "p50 us", "p90 us", "p99 us", "share"});
  rows.emplace_back();
  std::vector<double> share;
  bool anyShare = false;
  const std::vector<CardTime> ops = opStats(r, &share, &anyShare);
  auto us = [](bool any, double v) { return any ? fixed(v, 1) : std::string("-"); };
  std::string hostNote;
  for (size_t i = 0; i < ops.size(); ++i) {
    const CardTime& t = ops[i];
    const OpCardTimes& op = r.opCardTimes[i];
    rows.push_back({op.name, std::to_string(t.runs), t.any ? fixed(t.total / 1000.0, 2) : "-", us(t.any, t.mean),
                    us(t.any, t.p50), us(t.any, t.p90), us(t.any, t.p99),
                    op.onHost ? "host" : anyShare ? fixed(share[i] * 100.0, 1) + "%" : "-"});
    if (op.onHost)
      hostNote += op.name + " is not executed by the card; its times are the host's: the library's calls that\n"
                  "gather each device run's inputs, build and upload its arguments and hand it to the card.\n";
  }
  rows.emplace_back();
  const CardTime run = cardTime(r.cardRuns);
  rows.push_back({"whole device run", std::to_string(run.runs), run.any ? fixed(run.total / 1000.0, 2) : "-",
                  us(run.any, run.mean), us(run.any, run.p50), us(run.any, run.p90), us(run.any, run.p99), ""});
  const LatencyStats l = latencyStats(r.latency);
  rows.push_back({"input latency", "", "", us(l.any, l.mean), us(l.any, l.p50), us(l.any, l.p90), us(l.any, l.p99),
                  ""});
  return gridText(rows, true) + hostNote;
}

namespace {

// {"p50": .., "p90": .., "p95": .., "p99": .., "mean": .., "min": .., "max": ..}, every figure null without a
// completed input.
template <typename Writer>
void latencyJson(Writer& w, const LatencyStats& l) {
  w.StartObject();
  for (const auto& kv : {std::make_pair("p50", l.p50), std::make_pair("p90", l.p90), std::make_pair("p95", l.p95),
                         std::make_pair("p99", l.p99), std::make_pair("mean", l.mean), std::make_pair("min", l.min),
                         std::make_pair("max", l.max)}) {
    w.Key(kv.first);
    if (l.any) {
      w.Double(kv.second);
    } else {
      w.Null();
    }
  }
  w.EndObject();
}

// "runs", "errors", "wall_time_s" and "inferences_per_s" of one card's or one stream's share of the runs.
template <typename Writer, typename Share>
void countsJson(Writer& w, const Share& s) {
  w.Key("runs");
  w.Uint64(s.completed + s.failed);
  w.Key("errors");
  w.Uint64(s.failed);
  w.Key("wall_time_s");
  w.Double(s.seconds);
  w.Key("inferences_per_s");
  w.Double(perSecond(s.completed, s.seconds));
}

}  // namespace

std::string summaryJson(const SummaryHeader& h, const RunResult& r) {
  rapidjson::StringBuffer sb;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> w(sb);
  w.SetFormatOptions(rapidjson::kFormatSingleLineArray);
  w.StartObject();
  w.Key("model");
  w.String(h.modelName.c_str());
  w.Key("mode");
  w.String(h.sync ? "sync" : "async");
  w.Key("streams");
  w.Uint(h.streams);
  w.Key("in_flight");
  if (h.inFlight != 0) {
    w.Uint(h.inFlight);
  } else {
    w.Null();
  }
  w.Key("devices");
  w.Uint(static_cast<unsigned>(r.perDevice.size()));
  w.Key("batch");
  w.Uint(h.batch);
  w.Key("max_batch");
  w.Uint(h.maxBatch);
  w.Key("inputs_per_device_run");
  w.Uint(r.cacheNumber);
  w.Key("warmup_device_runs");
  w.Uint(h.warmup);
  w.Key("submitted");
  w.Uint64(r.submitted);
  w.Key("runs");
  w.Uint64(r.completed + r.failed);
  w.Key("device_runs");
  w.Uint64(r.deviceRuns);
  w.Key("errors");
  w.Uint64(r.failed);
  w.Key("interrupted");
  w.Bool(r.stopSignal != 0);
  w.Key("signal");
  if (r.stopSignal != 0) {
    w.String(signalName(r.stopSignal).c_str());
  } else {
    w.Null();
  }
  w.Key("wall_time_s");
  w.Double(r.seconds);
  w.Key("inferences_per_s");
  w.Double(perSecond(r.completed, r.seconds));
  const LatencyStats latency = latencyStats(r.latency);
  w.Key("latency_us");
  latencyJson(w, latency);
  w.Key("latency_exact");
  w.Bool(latency.exact);
  w.Key("device_memory_peak_bytes");
  w.Uint64(r.memPeakBytes);
  w.Key("verified");
  if (h.verify) {
    w.Uint64(r.verified);
  } else {
    w.Null();
  }
  w.Key("per_device");
  w.StartArray();
  for (const auto& d : r.perDevice) {
    w.StartObject();
    w.Key("device");
    w.Uint(d.device);
    countsJson(w, d);
    w.EndObject();
  }
  w.EndArray();
  w.Key("per_stream");
  w.StartArray();
  for (const auto& st : r.perStream) {
    w.StartObject();
    w.Key("stream");
    w.Uint(st.stream);
    w.Key("device");
    w.Uint(st.device);
    countsJson(w, st);
    w.Key("latency_us");
    latencyJson(w, st.latency);
    w.Key("latency_exact");
    w.Bool(st.latency.exact);
    w.EndObject();
  }
  w.EndArray();
  if (r.profiled) {
    std::vector<double> share;
    bool anyShare = false;
    const std::vector<CardTime> ops = opStats(r, &share, &anyShare);
    auto value = [&](bool any, double v) {
      if (any) {
        w.Double(v);
      } else {
        w.Null();
      }
    };
    w.Key("profile");
    w.StartObject();
    w.Key("device_runs");
    w.Uint64(r.cardRuns.count());
    w.Key("ops");
    w.StartArray();
    for (size_t i = 0; i < ops.size(); ++i) {
      const CardTime& t = ops[i];
      w.StartObject();
      w.Key("name");
      w.String(r.opCardTimes[i].name.c_str());
      w.Key("on_card");
      w.Bool(!r.opCardTimes[i].onHost);
      w.Key("runs");
      w.Uint64(t.runs);
      for (const auto& kv : {std::make_pair("total_us", t.total), std::make_pair("mean_us", t.mean),
                             std::make_pair("median_us", t.p50), std::make_pair("p90_us", t.p90),
                             std::make_pair("p99_us", t.p99)}) {
        w.Key(kv.first);
        value(t.any, kv.second);
      }
      w.Key("share");
      value(anyShare, share[i]);
      w.EndObject();
    }
    w.EndArray();
    const CardTime run = cardTime(r.cardRuns);
    w.Key("card_run_us");
    w.StartObject();
    for (const auto& kv : {std::make_pair("p50", run.p50), std::make_pair("p90", run.p90),
                           std::make_pair("p99", run.p99), std::make_pair("mean", run.mean)}) {
      w.Key(kv.first);
      value(run.any, kv.second);
    }
    w.EndObject();
    w.EndObject();
  }
  w.EndObject();
  return std::string(sb.GetString()) + "\n";
}

std::string traceJson(const std::vector<TraceEvent>& events, const std::vector<TraceLane>& lanes) {
  // Writes the times itself (raw numbers) so that the microseconds keep their nanosecond digits.
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> w(sb);
  auto raw = [&](const std::string& n) { w.RawValue(n.c_str(), n.size(), rapidjson::kNumberType); };
  w.StartObject();
  w.Key("displayTimeUnit");
  w.String("ms");
  w.Key("otherData");
  w.StartObject();
  w.Key("tool");
  w.String("qobl-run");
  w.EndObject();
  w.Key("traceEvents");
  w.StartArray();
  for (const auto& lane : lanes) {
    w.StartObject();
    w.Key("name");
    w.String(lane.tid == 0 ? "process_name" : "thread_name");
    w.Key("ph");
    w.String("M");
    w.Key("pid");
    w.Uint(lane.pid);
    w.Key("tid");
    w.Uint(lane.tid);
    w.Key("args");
    w.StartObject();
    w.Key("name");
    w.String(lane.name.c_str());
    w.EndObject();
    w.EndObject();
  }
  for (const auto& e : events) {
    w.StartObject();
    w.Key("name");
    w.String(e.name.c_str());
    w.Key("cat");
    w.String(e.cat);
    w.Key("ph");
    w.String("X");
    w.Key("pid");
    w.Uint(e.pid);
    w.Key("tid");
    w.Uint(e.tid);
    w.Key("ts");
    raw(usText(e.startNs));
    w.Key("dur");
    raw(usText(e.durNs));
    w.Key("args");
    w.StartObject();
    w.Key("run");
    w.Uint64(e.run);
    w.Key("error");
    w.Uint(e.error);
    w.EndObject();
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  return std::string(sb.GetString()) + "\n";
}

}  // namespace qoblrun
}  // namespace zenlar
