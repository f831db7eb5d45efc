#include "durations.h"

#include <algorithm>
#include <cmath>

namespace zenlar {
namespace qoblrun {

namespace {

// Buckets: one per nanosecond below kLinear; from there kPerOctave per power of two, each 2^(e - kSubBits)
// wide in the octave [2^e, 2^(e + 1)), up to kHistogramMaxNs.  A bucket is at most 1/512 of its lower bound
// wide, so its midpoint is less than 1/1024 of any duration in it away from that duration.
constexpr int kSubBits = 9;
constexpr uint64_t kPerOctave = uint64_t{1} << kSubBits;
constexpr uint64_t kLinear = kPerOctave * 2;
constexpr int kFirstOctave = kSubBits + 1;
constexpr int kLastOctave = 43;
static_assert(Durations::kHistogramMaxNs == uint64_t{1} << (kLastOctave + 1), "the last octave ends at the maximum");
constexpr size_t kBuckets = kLinear + (kLastOctave - kFirstOctave + 1) * kPerOctave;

size_t bucketOf(uint64_t ns) {
  ns = std::min(ns, Durations::kHistogramMaxNs - 1);
  if (ns < kLinear) return static_cast<size_t>(ns);
  const int e = 63 - __builtin_clzll(ns);
  const int shift = e - kSubBits;
  return static_cast<size_t>(kLinear + static_cast<uint64_t>(e - kFirstOctave) * kPerOctave +
                             ((ns >> shift) - kPerOctave));
}

// The duration a bucket stands for: itself below kLinear, else the bucket's midpoint.
double bucketValue(size_t i) {
  if (i < kLinear) return static_cast<double>(i);
  const uint64_t j = i - kLinear;
  const int shift = kFirstOctave + static_cast<int>(j / kPerOctave) - kSubBits;
  const uint64_t lo = (kPerOctave + j % kPerOctave) << shift;
  const uint64_t width = uint64_t{1} << shift;
  return static_cast<double>(lo) + static_cast<double>(width - 1) / 2.0;
}

// Nearest rank of q (0 to 100) among n values: 1 to n.
uint64_t rankOf(double q, uint64_t n) {
  const double r = std::ceil(q / 100.0 * static_cast<double>(n));
  if (!(r >= 1)) return 1;
  return r >= static_cast<double>(n) ? n : static_cast<uint64_t>(r);
}

}  // namespace

void Durations::add(uint64_t ns) {
  if (count_ == 0 || ns < min_) min_ = ns;
  if (count_ == 0 || ns > max_) max_ = ns;
  ++count_;
  sum_ += ns;
  if (buckets_.empty() && kept_.size() < kExactLimit) {
    // Grown by hand: the vector's own growth could overshoot the limit.
    if (kept_.size() == kept_.capacity()) kept_.reserve(std::min(std::max<size_t>(2 * kept_.size(), 64), kExactLimit));
    kept_.push_back(ns);
    return;
  }
  if (buckets_.empty()) toHistogram();
  ++buckets_[bucketOf(ns)];
}

void Durations::count(uint64_t ns, uint64_t n) { buckets_[bucketOf(ns)] += n; }

void Durations::toHistogram() {
  buckets_.assign(kBuckets, 0);
  for (uint64_t ns : kept_) count(ns, 1);
  std::vector<uint64_t>().swap(kept_);
}

void Durations::merge(const Durations& other) {
  if (other.count_ == 0) return;
  if (count_ == 0 || other.min_ < min_) min_ = other.min_;
  if (count_ == 0 || other.max_ > max_) max_ = other.max_;
  count_ += other.count_;
  sum_ += other.sum_;
  if (buckets_.empty() && other.buckets_.empty() && kept_.size() + other.kept_.size() <= kExactLimit) {
    kept_.reserve(kept_.size() + other.kept_.size());
    kept_.insert(kept_.end(), other.kept_.begin(), other.kept_.end());
    return;
  }
  if (buckets_.empty()) toHistogram();
  for (uint64_t ns : other.kept_) count(ns, 1);
  for (size_t i = 0; i < other.buckets_.size(); ++i) buckets_[i] += other.buckets_[i];
}

double Durations::meanNs() const {
  return count_ == 0 ? 0 : static_cast<double>(static_cast<long double>(sum_) / static_cast<long double>(count_));
}

std::vector<double> Durations::percentilesNs(const std::vector<double>& qs) const {
  std::vector<double> out(qs.size(), 0);
  if (count_ == 0) return out;
  if (buckets_.empty()) {
    std::vector<uint64_t> sorted(kept_);
    std::sort(sorted.begin(), sorted.end());
    for (size_t k = 0; k < qs.size(); ++k) out[k] = static_cast<double>(sorted[rankOf(qs[k], count_) - 1]);
    return out;
  }
  for (size_t k = 0; k < qs.size(); ++k) {
    const uint64_t rank = rankOf(qs[k], count_);
    // The first and last ranks are the exact min and max.
    if (rank == 1 || rank == count_) {
      out[k] = static_cast<double>(rank == 1 ? min_ : max_);
      continue;
    }
    uint64_t seen = 0;
    size_t i = 0;
    while (i + 1 < buckets_.size() && seen + buckets_[i] < rank) seen += buckets_[i++];
    // The exact min and max bound every percentile.
    out[k] = std::min(std::max(bucketValue(i), static_cast<double>(min_)), static_cast<double>(max_));
  }
  return out;
}

size_t Durations::memoryBytes() const { return (kept_.capacity() + buckets_.capacity()) * sizeof(uint64_t); }

size_t Durations::maxMemoryBytes() { return std::max(kExactLimit, kBuckets) * sizeof(uint64_t); }

}  // namespace qoblrun
}  // namespace zenlar
