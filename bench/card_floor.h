// card_floor.h - the floor of the simulated card, shared by the benchmarks.
//
// One prebuilt single-op run per lane (a run-model op over a model registered straight with the card that
// copies 64 bytes, input 64 bytes in application memory, output 64 bytes in inout memory) is submitted with
// qobcrt_run_stream, and the submitting thread waits for the run's end report on the card's completion
// function.  Nothing of libqobl is involved: this is what a run costs the card itself.
#ifndef QOBL_BENCH_CARD_FLOOR_H
#define QOBL_BENCH_CARD_FLOOR_H

#include <benchmark/benchmark.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_model.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace qoblbench {

class CardFloor {
 public:
  // Lanes, one per submitting thread: each has its own card stream and its own run.
  static constexpr uint32_t kLanes = 8;
  // Bytes the floor's model copies per run.
  static constexpr uint32_t kBytes = 64;

  // The process's floor on device 0, set up on first use.  It is never destroyed: the card's reporter
  // thread may still hold its address at exit.
  static CardFloor& get() {
    static CardFloor* f = [] {
      auto* p = new CardFloor();
      p->ready_ = p->setUp();
      return p;
    }();
    return *f;
  }

  bool ready() const { return ready_; }

  // Plain busy work added to every run, for the loaded floor (qobl_async_bench --floor_busy_ns): `submitNs`
  // on the submitting thread before each submission (after it when `afterSubmit`) and `reportNs` on the
  // card's reporter thread in each end report, as loops calibrated once against the steady clock.  (0, 0),
  // the default, is the floor itself.
  void setBusyWork(uint64_t submitNs, uint64_t reportNs, bool afterSubmit = false) {
    submitBusy_.store(busyIterations(submitNs));
    reportBusy_.store(busyIterations(reportNs));
    busyAfterSubmit_.store(afterSubmit);
  }

  // Installs the floor's completion function on device 0.  The function is per device and libqobl
  // installs its own for every stream it creates, so a process that also runs libqobl claims the reports
  // again before measuring the floor.
  bool claimReports() {
    get_output_register reg{};
    reg.dev_id = 0;
    reg.func_arg = this;
    reg.func_get_output = &CardFloor::onReport;
    return qobcrt_get_output_register(0, &reg) == 0;
  }

  // Submits one run on lane `lane`; *target is the end-report count that marks its end (waitEnd).  False
  // when the card refused the run.
  bool submit(uint32_t lane, uint32_t dataId, uint64_t* target) {
    Lane& l = lanes_[lane % kLanes];
    const uint64_t work = submitBusy_.load(std::memory_order_relaxed);
    const bool after = busyAfterSubmit_.load(std::memory_order_relaxed);
    if (!after) busy(work);
    run_stream rec = l.rec;
    rec.data_id = dataId;
    {
      std::lock_guard<std::mutex> lock(l.mu);
      *target = l.ended + 1;
    }
    const bool ok = qobcrt_run_stream(0, &rec) == 0;
    if (after) busy(work);
    return ok;
  }

  // Waits until lane `lane` has received `target` end reports.
  void waitEnd(uint32_t lane, uint64_t target) {
    Lane& l = lanes_[lane % kLanes];
    std::unique_lock<std::mutex> lock(l.mu);
    l.cv.wait(lock, [&] { return l.ended >= target; });
  }

  // One run on lane `lane`: submit it, wait for its end report.  False when the card refused the run.
  bool runOnce(uint32_t lane, uint32_t dataId) {
    uint64_t target = 0;
    if (!submit(lane, dataId, &target)) return false;
    waitEnd(lane, target);
    return true;
  }

  // The measurement loop of one benchmark thread on the lane of its thread index: submit, wait for the end
  // report, repeat.  Returns the loop's wall-clock seconds; a refused submission is reported on `state`
  // and ends the loop.
  double measure(benchmark::State& state) {
    const uint32_t lane = static_cast<uint32_t>(state.thread_index());
    uint32_t dataId = lane << 24;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
      if (!runOnce(lane, ++dataId)) {
        state.SkipWithError("qobcrt_run_stream failed");
        break;
      }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }

 private:
  static constexpr uint32_t kFirstStream = 70000;

  struct Lane {
    std::mutex mu;
    std::condition_variable cv;
    uint64_t ended = 0;  // end reports received
    run_stream rec{};
  };

  CardFloor() = default;

  static int copyModel(void*, const void* const* in, void* const* out, char*, size_t) {
    std::memcpy(out[0], in[0], kBytes);
    return 0;
  }

  static void onReport(uint32_t, get_desc* desc, void* arg) {
    auto* self = static_cast<CardFloor*>(arg);
    const uint32_t lane = desc->stream_id - kFirstStream;
    if (lane >= kLanes || (desc->context_id & 0x80000000u) == 0) return;
    Lane& l = self->lanes_[lane];
    busy(self->reportBusy_.load(std::memory_order_relaxed));
    {
      std::lock_guard<std::mutex> lock(l.mu);
      ++l.ended;
    }
    l.cv.notify_one();
  }

  // Work that the compiler cannot drop: `n` dependent steps of a small hash.
  static void busy(uint64_t n) {
    uint64_t x = n;
    for (uint64_t i = 0; i < n; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
    sink_.store(x, std::memory_order_relaxed);
  }

  // Iterations of busy() that take about `ns` nanoseconds on this machine (the fastest of a few trials).
  static uint64_t busyIterations(uint64_t ns) {
    if (ns == 0) return 0;
    constexpr uint64_t kTrial = 1 << 20;
    double best = 1e300;
    for (int t = 0; t < 5; ++t) {
      const auto t0 = std::chrono::steady_clock::now();
      busy(kTrial);
      best = std::min(best, std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count());
    }
    return static_cast<uint64_t>(static_cast<double>(ns) * kTrial / best);
  }

  template <class T>
  static void put(uint8_t* p, size_t at, T v) {
    std::memcpy(p + at, &v, sizeof v);
  }

  // Registers the copy model and the completion function and lays out one run per lane in card memory:
  // an argument array (header, model address, input, output) and one run-model op record that is also the
  // run's end record.
  bool setUp() {
    static qobcrt_model_desc d{};
    d.name = "bench-floor-copy";
    d.batch_size = 1;
    d.num_inputs = 1;
    d.num_outputs = 1;
    d.input_bytes[0] = d.output_bytes[0] = d.align_output_bytes[0] = kBytes;
    d.run = &CardFloor::copyModel;
    uint64_t model = 0;
    if (qobcrt_register_model(0, &d, &model) != 0 || !claimReports()) return false;
    for (uint32_t i = 0; i < kLanes; ++i) {
      create_stream cs{kFirstStream + i, 0, 0};
      uint64_t in = 0, out = 0, args = 0, run = 0;
      if (qobcrt_create_stream(0, &cs) != 0 || qobcrt_malloc_app(0, kBytes, &in) != 0 ||
          qobcrt_malloc_inout(0, 0, kBytes, &out) != 0 || qobcrt_malloc_stream(0, 0, 24 + 3 * 8, &args) != 0 ||
          qobcrt_malloc_stream(0, 0, 64, &run) != 0)
        return false;
      uint8_t a[48] = {'*', '$', '%', '!'};
      put(a, 4, uint32_t{1});   // loops
      put(a, 8, uint32_t{1});   // batch positions
      put(a, 12, uint32_t{1});  // configurations
      put(a, 16, uint32_t{1});  // inputs
      put(a, 20, uint32_t{1});  // outputs
      put(a, 24, model);
      put(a, 32, in);
      put(a, 40, out);
      uint8_t r[64] = {'#', '$', '%', '&'};
      put(r, 4, kFirstStream + i);
      put(r, 12, 0x80000001u);  // the only record is the end record
      put(r, 16, uint32_t{20000});
      put(r, 28, args);
      put(r, 44, uint32_t{1});
      put(r, 48, uint32_t{1});
      if (qobcrt_memcpy(0, a, sizeof a, args, kHost2Ddr) != 0 || qobcrt_memcpy(0, r, sizeof r, run, kHost2Ddr) != 0)
        return false;
      lanes_[i].rec.dev = 0;
      lanes_[i].rec.stream_id = kFirstStream + i;
      lanes_[i].rec.stream_addr = static_cast<uint32_t>(run);
    }
    return true;
  }

  Lane lanes_[kLanes];
  bool ready_ = false;
  std::atomic<uint64_t> submitBusy_{0}, reportBusy_{0};
  std::atomic<bool> busyAfterSubmit_{false};
  static inline std::atomic<uint64_t> sink_{0};
};

}  // namespace qoblbench

#endif  // QOBL_BENCH_CARD_FLOOR_H
