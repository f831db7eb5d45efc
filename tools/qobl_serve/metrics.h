// The server's counters and histograms, rendered in the Prometheus text exposition format for /metrics:
// requests and items per model (success / failure), inference latency and queue time histograms, device
// runs with the items they carried and their capacity (the dynamic-batching fill ratio), HTTP connections
// dropped for a request head that came too slowly or was too large or for a response the client did not
// take in time, and the card memory in use per card.
//
// Every model's entry is made before serving starts (model()); afterwards only the atomic counters change,
// from any thread.
#ifndef QOBL_SERVE_METRICS_H
#define QOBL_SERVE_METRICS_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zenlar {
namespace qoblserve {

// Cumulative histogram over fixed bucket bounds (seconds).
class Histogram {
 public:
  Histogram();
  void observe(double seconds);
  // Appends the _bucket, _sum and _count lines of `name` with the given label text (`model="x"`).
  void render(const std::string& name, const std::string& labels, std::string* out) const;
  uint64_t count() const { return count_.load(); }

 private:
  std::vector<double> bounds_;
  std::unique_ptr<std::atomic<uint64_t>[]> buckets_;   // per bound, non-cumulative
  std::atomic<uint64_t> count_{0};
  std::atomic<uint64_t> sumNs_{0};
};

struct ModelMetrics {
  std::atomic<uint64_t> requestsOk{0}, requestsFailed{0};
  std::atomic<uint64_t> itemsOk{0}, itemsFailed{0};
  std::atomic<uint64_t> runs{0};          // device runs sent
  std::atomic<uint64_t> runItems{0};      // request items those runs carried
  std::atomic<uint64_t> runCapacity{0};   // items they could have carried (runs x batch)
  Histogram latency;                      // request arrival to its last output (or failure)
  Histogram queueTime;                    // an item's wait from its request's arrival to its device run
  double fillRatio() const;               // runItems / runCapacity, 0 before the first run
};

class Metrics {
 public:
  explicit Metrics(uint32_t cards) : cards_(cards) {}
  // The entry of a model, made on first use; call for every model before serving starts.
  ModelMetrics& model(const std::string& name);
  const ModelMetrics* find(const std::string& name) const;
  std::string render() const;
  // An HTTP connection dropped because a request's head did not arrive in time (any thread).
  void headTimedOut() { ++headTimeouts_; }
  // An HTTP connection dropped because a request's head was too large (any thread).
  void headTooLarge() { ++headsTooLarge_; }
  // An HTTP connection reset because the client did not take a response in time (any thread).
  void responseTimedOut() { ++responseTimeouts_; }

 private:
  uint32_t cards_;
  std::atomic<uint64_t> headTimeouts_{0}, headsTooLarge_{0}, responseTimeouts_{0};
  std::map<std::string, std::unique_ptr<ModelMetrics>> models_;
};

// A Prometheus label value: backslash, double quote and newline escaped.
std::string labelValue(const std::string& v);

}  // namespace qoblserve
}  // namespace zenlar

#endif  // QOBL_SERVE_METRICS_H
