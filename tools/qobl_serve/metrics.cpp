#include "metrics.h"

#include <cstdio>

#include <qobcrt/qobcrt_sim.h>

namespace zenlar {
namespace qoblserve {

namespace {

std::string number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

void line(std::string* out, const std::string& name, const std::string& labels, const std::string& value) {
  *out += name;
  if (!labels.empty()) *out += "{" + labels + "}";
  *out += " " + value + "\n";
}

void header(std::string* out, const std::string& name, const char* type, const char* help) {
  *out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

std::string labelValue(const std::string& v) {
  std::string o;
  for (char c : v) {
    if (c == '\\' || c == '"') {
      o += '\\';
      o += c;
    } else if (c == '\n') {
      o += "\\n";
    } else {
      o += c;
    }
  }
  return o;
}

Histogram::Histogram()
    : bounds_{0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10},
      buckets_(new std::atomic<uint64_t>[16]) {
  for (size_t i = 0; i < bounds_.size(); ++i) buckets_[i] = 0;
}

void Histogram::observe(double seconds) {
  for (size_t i = 0; i < bounds_.size(); ++i) {
    if (seconds <= bounds_[i]) {
      ++buckets_[i];
      break;
    }
  }
  sumNs_ += static_cast<uint64_t>(seconds > 0 ? seconds * 1e9 : 0);
  ++count_;
}

void Histogram::render(const std::string& name, const std::string& labels, std::string* out) const {
  const std::string sep = labels.empty() ? "" : labels + ",";
  // Read the count first: buckets observed after it may make the +Inf line smaller than the last bucket,
  // so +Inf takes the larger of the two.
  const uint64_t count = count_.load();
  uint64_t cumulative = 0;
  for (size_t i = 0; i < bounds_.size(); ++i) {
    cumulative += buckets_[i].load();
    line(out, name + "_bucket", sep + "le=\"" + number(bounds_[i]) + "\"", std::to_string(cumulative));
  }
  line(out, name + "_bucket", sep + "le=\"+Inf\"", std::to_string(count > cumulative ? count : cumulative));
  line(out, name + "_sum", labels, number(static_cast<double>(sumNs_.load()) / 1e9));
  line(out, name + "_count", labels, std::to_string(count > cumulative ? count : cumulative));
}

double ModelMetrics::fillRatio() const {
  const uint64_t cap = runCapacity.load();
  return cap == 0 ? 0.0 : static_cast<double>(runItems.load()) / static_cast<double>(cap);
}

ModelMetrics& Metrics::model(const std::string& name) {
  auto& m = models_[name];
  if (!m) m.reset(new ModelMetrics);
  return *m;
}

const ModelMetrics* Metrics::find(const std::string& name) const {
  const auto it = models_.find(name);
  return it == models_.end() ? nullptr : it->second.get();
}

std::string Metrics::render() const {
  std::string out;
  struct Counter {
    const char* name;
    const char* help;
    std::atomic<uint64_t> ModelMetrics::*ok;
    std::atomic<uint64_t> ModelMetrics::*failed;
  };
  const Counter counters[] = {
      {"qobl_inference_requests_total", "Inference requests by model and outcome.", &ModelMetrics::requestsOk,
       &ModelMetrics::requestsFailed},
      {"qobl_inference_items_total", "Batch items of inference requests by model and outcome.",
       &ModelMetrics::itemsOk, &ModelMetrics::itemsFailed},
  };
  for (const auto& c : counters) {
    header(&out, c.name, "counter", c.help);
    for (const auto& m : models_) {
      const std::string l = "model=\"" + labelValue(m.first) + "\",status=\"";
      line(&out, c.name, l + "success\"", std::to_string((m.second.get()->*c.ok).load()));
      line(&out, c.name, l + "failure\"", std::to_string((m.second.get()->*c.failed).load()));
    }
  }
  header(&out, "qobl_inference_latency_seconds", "histogram",
         "Time from a request's arrival to its response, by model.");
  for (const auto& m : models_)
    m.second->latency.render("qobl_inference_latency_seconds", "model=\"" + labelValue(m.first) + "\"", &out);
  header(&out, "qobl_queue_time_seconds", "histogram",
         "Time a batch item waited from its request's arrival to its device run, by model.");
  for (const auto& m : models_)
    m.second->queueTime.render("qobl_queue_time_seconds", "model=\"" + labelValue(m.first) + "\"", &out);

  const struct {
    const char* name;
    const char* help;
    std::atomic<uint64_t> ModelMetrics::*field;
  } runs[] = {
      {"qobl_device_runs_total", "Device runs sent to the cards, by model.", &ModelMetrics::runs},
      {"qobl_device_run_items_total", "Request items carried by those runs.", &ModelMetrics::runItems},
      {"qobl_device_run_capacity_total", "Items those runs could have carried (runs times the model's batch).",
       &ModelMetrics::runCapacity},
  };
  for (const auto& r : runs) {
    header(&out, r.name, "counter", r.help);
    for (const auto& m : models_)
      line(&out, r.name, "model=\"" + labelValue(m.first) + "\"", std::to_string((m.second.get()->*r.field).load()));
  }
  header(&out, "qobl_device_run_fill_ratio", "gauge",
         "Items carried over items the device runs could carry, by model (dynamic batching).");
  for (const auto& m : models_)
    line(&out, "qobl_device_run_fill_ratio", "model=\"" + labelValue(m.first) + "\"", number(m.second->fillRatio()));

  const struct {
    const char* name;
    const char* help;
    const std::atomic<uint64_t>& count;
  } dropped[] = {
      {"qobl_http_head_timeouts_total",
       "HTTP connections closed because a request's head did not arrive within the head time-out.", headTimeouts_},
      {"qobl_http_head_too_large_total",
       "HTTP connections closed because a request's head had too many bytes or header fields.", headsTooLarge_},
      {"qobl_http_response_timeouts_total",
       "HTTP connections reset because the client did not take a response within the response time-out.",
       responseTimeouts_},
  };
  for (const auto& d : dropped) {
    header(&out, d.name, "counter", d.help);
    line(&out, d.name, "", std::to_string(d.count.load()));
  }

  std::vector<std::pair<uint64_t, uint64_t>> cards;   // live bytes and blocks of every memory kind
  for (uint32_t d = 0; d < cards_; ++d) {
    qobcrt_sim_stats st{};
    uint64_t bytes = 0, blocks = 0;
    if (qobcrt_sim_get_stats(d, &st) == 0) {
      for (int k : {QOBCRT_SIM_STREAM, QOBCRT_SIM_INOUT, QOBCRT_SIM_DDR_SHARE, QOBCRT_SIM_APP}) {
        bytes += st.live_bytes[k];
        blocks += st.live_blocks[k];
      }
    }
    cards.emplace_back(bytes, blocks);
  }
  header(&out, "qobl_card_memory_bytes", "gauge", "Card memory in use (every memory kind), by card.");
  for (uint32_t d = 0; d < cards_; ++d)
    line(&out, "qobl_card_memory_bytes", "card=\"" + std::to_string(d) + "\"", std::to_string(cards[d].first));
  header(&out, "qobl_card_memory_blocks", "gauge", "Card memory blocks in use (every memory kind), by card.");
  for (uint32_t d = 0; d < cards_; ++d)
    line(&out, "qobl_card_memory_blocks", "card=\"" + std::to_string(d) + "\"", std::to_string(cards[d].second));
  return out;
}

}  // namespace qoblserve
}  // namespace zenlar
