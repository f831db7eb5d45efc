// The models a server holds and how their requests reach the cards.
//
// Every subdirectory of the model repository that holds a model directory or a dynamic-shape suite is a
// model named after the subdirectory, loaded on every used card at start-up.  For each (model, card) the
// server builds one pipeline (input -> model [-> copy]) and K streams over it, the instances.  A static
// model has one such set; a dynamic model has one per input shape it has been asked for (its first sample
// shape at start-up, others on first use, up to ServeConfig::maxShapes).
//
// Scheduling.  A request's items all go to the least-loaded instance of its model (fewest items queued or
// on the card).  Each instance has a dispatcher thread that gathers the items queued to it - from any number
// of requests - into device runs of the model's batch, waiting at most maxQueueDelayUs after the oldest
// waiting item arrived for a run to fill; a partly filled run is completed with filler copies.  A request
// of N items may span several runs; its outputs are put back in item order.  Each model's waiting items are
// bounded (queueCapacity): a request that does not fit is refused as UNAVAILABLE, never buffered.  A card
// error on a run fails the requests with items in that run (INTERNAL) and nothing else.
//
// Threads and ownership.  A Repository owns its models, their pipelines, streams and dispatcher threads.
// infer() may be called from any number of threads; it blocks until the request's outputs are complete
// or it failed.  shutdown() (also run by the destructor) lets the dispatchers send what is queued, waits
// for the cards, then releases every stream, pipeline and model on its card.  Completion functions run on
// the cards' reporting threads and only copy outputs and count.
//
// Locks: a model's variant lock (variantsMu_, held while a new shape is loaded) comes before its queue lock
// (mu_); a request's lock (Job::mu) is held with no other, except after a GiveUp's lock (GiveUp::now()).
// Stream calls are made holding only variantsMu_ (while loading) or none.  shutdown() must not race a call
// of Repository::open.
#ifndef QOBL_SERVE_REPOSITORY_H
#define QOBL_SERVE_REPOSITORY_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infer_types.h"
#include "metrics.h"
#include "qobl_tools/model_dir.h"
#include "rest_codec.h"

namespace zenlar {
namespace qoblserve {

struct ServeConfig {
  uint32_t devices = 1;              // cards used: 0 .. devices-1
  uint32_t instancesPerDevice = 1;   // streams per (model, card)
  uint32_t maxQueueDelayUs = 200;    // longest wait for a device run to fill
  uint32_t queueCapacity = 256;      // items waiting per model
  uint32_t maxShapes = 4;            // shapes served at once per dynamic model
  uint32_t inFlight = 2;             // device runs in flight per instance
  uint32_t resultTimeoutMs = 60000;  // longest wait for a request's outputs
};

class ServedModel;

// A caller's handle for giving up a request that ServedModel::infer() is waiting for, from any thread: the
// waiting call returns at once, without polling.  One per infer() call; it must outlive the call.
class GiveUp {
 public:
  // Gives the request up (any thread, any number of times, also before infer() begins waiting).
  void now();
  bool given() const { return given_.load(); }

 private:
  friend class ServedModel;
  std::mutex mu_;
  std::atomic<bool> given_{false};
  std::function<void()> wake_;   // mu_: wakes the waiting infer() call, set while it waits
};

class Repository {
 public:
  // Opens every model under `dir` and loads it on every card.  Returns "" or what failed; a
  // subdirectory that is no model directory is skipped with a line in *skipped.
  static std::string open(const std::string& dir, const ServeConfig& cfg, Metrics* metrics,
                          std::unique_ptr<Repository>* out, std::vector<std::string>* skipped);
  ~Repository();
  Repository(const Repository&) = delete;
  Repository& operator=(const Repository&) = delete;

  // The model of that name; nullptr for any other text (names are only compared, never used as paths).
  ServedModel* find(const std::string& name) const;
  std::vector<std::string> names() const;
  const ServeConfig& config() const { return cfg_; }

  // Stops taking requests: infer() fails with UNAVAILABLE from now on; requests already inside go on.
  void beginShutdown() { stopping_ = true; }
  // beginShutdown(), then lets the queued requests finish and releases everything on the cards.  Call it
  // once no front end calls infer() any more.  Idempotent.
  void shutdown();
  bool stopping() const { return stopping_.load(); }

  // Test support: the next execution of the run-model op of `model` on `card` (every shape of a dynamic
  // model) is reported by the simulated card with `code`.  Returns "" or what is wrong.
  std::string failNextRun(const std::string& model, uint32_t card, uint32_t code);

 private:
  Repository() = default;
  ServeConfig cfg_;
  std::map<std::string, std::unique_ptr<ServedModel>> models_;
  std::atomic<bool> stopping_{false};
};

class ServedModel {
 public:
  ~ServedModel();
  const std::string& name() const { return sig_.name; }
  // Inputs and outputs as clients see them (batch dimension and variable extents -1).
  const ModelSignature& signature() const { return sig_; }
  bool dynamic() const { return dir_.dynamic; }
  uint32_t batch() const;   // device-run batch of the first shape

  // Runs a request already checked against signature() (checkRequest / parseRestRequest) with `items`
  // batch items.  `owner` keeps whatever the request's input data point into alive until the last item has
  // been copied to the card (it may be released after infer() returns).  Blocks until done.
  //
  // `giveUp`, when given, lets another thread end the wait: once giveUp->now() has been called the caller
  // no longer wants the result, and infer() returns kCancelled at once (also when it was called before the
  // request was queued).  The request's items still waiting are then dropped unsent; those already on the
  // card finish there and their outputs are discarded.  Counted as a failed request.
  Error infer(InferRequest&& req, uint32_t items, std::shared_ptr<const void> owner, InferResult* out,
              GiveUp* giveUp = nullptr);

  // infer() in two steps, for a caller that keeps several requests in flight from one thread and collects
  // their outputs in its own order.  submit() queues the request as infer() does and returns at once:
  // nullptr and an error when it was refused (counted as a failed request), else the request in flight.
  // collect() then waits for it as infer() does (giveUp as there).  A Pending holds the model as a call
  // inside infer() does: the repository's shutdown() waits for it, so collect or destroy every Pending
  // before that.  Destroying one uncollected gives its request up.
  class Pending;
  std::unique_ptr<Pending> submit(InferRequest&& req, uint32_t items, std::shared_ptr<const void> owner, Error* err);
  Error collect(std::unique_ptr<Pending> pending, InferResult* out, GiveUp* giveUp = nullptr);
  // Counts a request for this model that was refused before it reached infer() (a malformed body).
  void rejected();

 private:
  friend class Repository;
  struct Variant;
  struct Instance;
  struct Job;
  struct Item;

  ServedModel(const qobltools::ModelDir& dir, const ServeConfig& cfg, ModelMetrics* metrics,
              const std::atomic<bool>* stopping);
  std::string loadVariant(const std::vector<std::vector<int64_t>>& itemShapes, Variant** out);
  Variant* variantFor(const InferRequest& req, Error* err);
  void dispatch(Variant* v, Instance* in);
  void submitRun(Variant* v, Instance* in, std::vector<Item>& items);
  void finishItem(Instance* in, Job& job, uint32_t index, const Error& err);
  // Stops taking requests, sends what is queued and waits for the cards; idempotent.
  void stop();
  // After stop(): releases every stream, pipeline and model on its card.
  void release();

  qobltools::ModelDir dir_;
  ServeConfig cfg_;
  ModelMetrics* metrics_;
  const std::atomic<bool>* stopping_;
  ModelSignature sig_;

  std::mutex variantsMu_;                          // creating variants
  std::vector<std::unique_ptr<Variant>> variants_; // grows only until stop()
  std::vector<std::unique_ptr<Variant>> failed_;   // shapes that failed to load, released at stop()
  std::mutex mu_;                                  // queues, loads, queued_, stop_, failed_
  uint32_t queued_ = 0;                            // items waiting in every queue of the model
  bool stop_ = false;
  std::atomic<int> active_{0};                     // calls inside infer(), Pending requests
};

class ServedModel::Pending {
 public:
  ~Pending();
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;

 private:
  friend class ServedModel;
  Pending() = default;
  // Counts the failed request, once; the request's items not yet on a card are dropped unsent.
  Error failed(Error e);

  ServedModel* model_ = nullptr;
  std::shared_ptr<Job> job_;
  Variant* variant_ = nullptr;
  uint32_t items_ = 0;
  std::chrono::steady_clock::time_point arrived_;
  bool counted_ = false;   // the request's outcome was counted in the metrics
};

}  // namespace qoblserve
}  // namespace zenlar

#endif  // QOBL_SERVE_REPOSITORY_H
