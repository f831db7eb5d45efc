// Durations (input latencies, card times of ops) summarised in bounded memory, however long qobl-run runs.
//
// The first kExactLimit durations are kept as they are: their percentiles are exact nearest ranks.  From the
// next one on, all of them are counted in a log-linear histogram of fixed size instead (the kept ones are
// moved into it and freed): exact below 1024 ns, above that 512 buckets per power of two, each reported by
// its midpoint, so that a percentile is within kRelativeError (1/1024, under 0.1 %) of the exact nearest-rank
// one.  Durations of kHistogramMaxNs and more count in the histogram's last bucket (only their percentiles
// lose the bound).  Count, total, mean, min and max are exact in every case.
//
// Not thread-safe: the caller serialises add() and merge() on one object.
#ifndef QOBL_RUN_DURATIONS_H
#define QOBL_RUN_DURATIONS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zenlar {
namespace qoblrun {

class Durations {
 public:
  static constexpr size_t kExactLimit = 16384;
  static constexpr double kRelativeError = 1.0 / 1024;
  static constexpr uint64_t kHistogramMaxNs = uint64_t{1} << 44;   // about 4.9 hours

  void add(uint64_t ns);
  // Adds every duration of `other` (which is left as it was).
  void merge(const Durations& other);

  uint64_t count() const { return count_; }
  // Whether percentiles are exact nearest ranks (no more than kExactLimit durations were added).
  bool exact() const { return buckets_.empty(); }
  uint64_t minNs() const { return min_; }   // 0 when empty, as are the three below
  uint64_t maxNs() const { return max_; }
  double totalNs() const { return static_cast<double>(sum_); }
  double meanNs() const;
  // Nearest-rank percentiles for each q (0 to 100) of qs, in the same order; 0 each when empty.
  std::vector<double> percentilesNs(const std::vector<double>& qs) const;

  // Heap bytes held: at most kExactLimit kept durations or the histogram, whichever is larger.
  size_t memoryBytes() const;
  static size_t maxMemoryBytes();

 private:
  void toHistogram();
  void count(uint64_t ns, uint64_t n);

  std::vector<uint64_t> kept_;      // while exact()
  std::vector<uint64_t> buckets_;   // once past kExactLimit: counts per bucket
  uint64_t count_ = 0, min_ = 0, max_ = 0;
  unsigned __int128 sum_ = 0;       // exact whatever the count and durations
};

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_DURATIONS_H
