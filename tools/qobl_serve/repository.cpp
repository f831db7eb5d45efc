#include "repository.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>

#include <qobcrt/qobcrt_sim.h>

#include "qobl_tools/pipeline.h"
#include "qobl_tools/stream.h"

namespace zenlar {
namespace qoblserve {

namespace {

using qobltools::Clock;
using qobltools::ModelDir;
using qobltools::Outcome;
using qobltools::Pipeline;
using qobltools::Stage;
using qobltools::Stream;
using qobltools::SubmitResult;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The protocol shape of one item's extents: the leading extent 1 of an item becomes the batch dimension
// `batch` (an item without a leading 1 gets the batch dimension in front).
std::vector<int64_t> batchShape(const std::vector<int64_t>& item, int64_t batch) {
  std::vector<int64_t> s{batch};
  s.insert(s.end(), item.begin() + (!item.empty() && item[0] == 1 ? 1 : 0), item.end());
  return s;
}

// The item shape a request shape stands for (the inverse of batchShape for the model's item rank).
std::vector<int64_t> itemShape(const std::vector<int64_t>& request, size_t itemRank) {
  std::vector<int64_t> s(request.begin() + 1, request.end());
  if (s.size() < itemRank) s.insert(s.begin(), 1);
  return s;
}

std::vector<std::string> subdirectories(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      struct stat st;
      if (::stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) names.push_back(e->d_name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Called when a stream `so.inFlight` device runs deep could not be made over `p`: when a stream one run deep
// can be made there now, the depth is what the card could not hold (its memory, as a rule), and the returned
// text says so and names the option that sets it; otherwise "".  The trial stream is released at once.
std::string depthHint(const Pipeline& p, qobltools::StreamOptions so) {
  if (so.inFlight <= 1) return "";
  const uint32_t depth = so.inFlight;
  so.inFlight = 1;
  std::unique_ptr<Stream> trial;
  if (!Stream::create(p, so, &trial).empty()) return "";
  return "; " + std::to_string(depth) + " device runs of " + std::to_string(trial->cacheNumber()) +
         " items in flight do not fit on the card, one does: use a smaller --in-flight";
}

}  // namespace

struct ServedModel::Instance {
  uint32_t card = 0;
  std::unique_ptr<Stream> stream;
  std::deque<Item> queue;    // mu_
  uint64_t load = 0;         // mu_: items queued here or on the card
  std::condition_variable cv;
  std::thread thread;
};

struct ServedModel::Variant {
  std::vector<std::vector<int64_t>> itemShapes;   // per model input, one item: the variant's key
  uint32_t batch = 0;                             // items per device run
  qobltools::ModelInfo info;
  std::vector<std::unique_ptr<Pipeline>> pipelines;   // per card (dynamic: per card and instance)
  std::vector<std::unique_ptr<Instance>> instances;

  ~Variant() {
    instances.clear();   // streams first, then the pipelines they run over
    pipelines.clear();
  }
};

struct ServedModel::Job {
  std::shared_ptr<const void> owner;
  InferRequest req;
  Variant* variant = nullptr;
  uint32_t items = 0;
  std::vector<const uint8_t*> inputs;            // per model input: item 0's bytes
  std::vector<std::vector<uint8_t>> outputs;     // per model output: every item's bytes
  Clock::time_point arrived;
  std::atomic<bool> cancelled{false};
  std::mutex mu;
  std::condition_variable cv;
  uint32_t remaining = 0;   // mu
  Error error;              // mu: the first failure
};

struct ServedModel::Item {
  std::shared_ptr<Job> job;
  uint32_t index = 0;
};

// ---------------------------------------------------------------------------------------------------------
// GiveUp

void GiveUp::now() {
  std::lock_guard<std::mutex> g(mu_);
  given_ = true;
  if (wake_) wake_();
}

// ---------------------------------------------------------------------------------------------------------
// Repository

std::string Repository::open(const std::string& dir, const ServeConfig& cfg, Metrics* metrics,
                             std::unique_ptr<Repository>* out, std::vector<std::string>* skipped) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "model repository " + dir + " is not a directory";
  std::unique_ptr<Repository> repo(new Repository);
  repo->cfg_ = cfg;
  for (const auto& name : subdirectories(dir)) {
    ModelDir md;
    const std::string why = qobltools::openModelDir(dir + "/" + name, &md);
    if (!why.empty()) {
      skipped->push_back(name + ": " + why);
      continue;
    }
    std::unique_ptr<ServedModel> m(new ServedModel(md, cfg, &metrics->model(name), &repo->stopping_));
    m->sig_.name = name;
    std::vector<std::vector<int64_t>> shapes;
    if (md.dynamic) {
      // The first sample shape when the suite ships samples, else the smallest shape of its first member.
      int64_t h = md.members.front().minShapes.front()[2], w = md.members.front().minShapes.front()[3];
      const auto samples = qobltools::sampleShapes(md);
      if (!samples.empty()) qobltools::parseHxW(samples.front(), &h, &w);
      shapes = md.inputShapesAt(h, w);
    }
    ServedModel::Variant* v = nullptr;
    std::string err = m->loadVariant(shapes, &v);
    if (!err.empty()) return "model " + name + ": " + err;
    // Clients see the graph's shapes (with -1 where a dynamic member's extents vary) behind a batch
    // dimension; element types from the loaded model.
    qobltools::GraphSignature graph;
    if (!qobltools::readSignature(md, &graph).empty()) graph = qobltools::GraphSignature();
    const auto describe = [&](const qobltools::TensorInfo& t, const std::vector<qobltools::GraphTensor>& g,
                          TensorSpec* s) {
      s->name = t.name;
      s->dtype = t.dtype;
      s->datatype = datatypeName(t.dtype);
      const bool fromGraph = md.dynamic && g.size() > t.index && g[t.index].shape.size() == t.dims().size();
      s->shape = batchShape(fromGraph ? g[t.index].shape : t.dims(), -1);
      return !s->datatype.empty();
    };
    for (const auto* list : {&v->info.inputs, &v->info.outputs}) {
      const bool in = list == &v->info.inputs;
      for (const auto& t : *list) {
        TensorSpec s;
        if (!describe(t, in ? graph.inputs : graph.outputs, &s))
          return "model " + name + ": " + (in ? "input" : "output") + " \"" + t.name + "\" has element type " +
                 qobltools::dtypeText(t.dtype) + ", which the inference protocol cannot carry";
        (in ? m->sig_.inputs : m->sig_.outputs).push_back(s);
      }
    }
    repo->models_[name] = std::move(m);
  }
  if (repo->models_.empty()) return "model repository " + dir + " holds no model directory";
  *out = std::move(repo);
  return "";
}

Repository::~Repository() { shutdown(); }

ServedModel* Repository::find(const std::string& name) const {
  const auto it = models_.find(name);
  return it == models_.end() ? nullptr : it->second.get();
}

std::vector<std::string> Repository::names() const {
  std::vector<std::string> n;
  for (const auto& m : models_) n.push_back(m.first);
  return n;
}

void Repository::shutdown() {
  stopping_ = true;
  // Every model stops before any releases its streams and pipelines: destroying a graph on a card may
  // disturb a graph another thread is still connecting, and until its model has stopped a request may be
  // loading a new shape of it.
  for (auto& m : models_) m.second->stop();
  for (auto& m : models_) m.second->release();
}

std::string Repository::failNextRun(const std::string& model, uint32_t card, uint32_t code) {
  ServedModel* m = find(model);
  if (m == nullptr) return "unknown model \"" + model + "\"";
  if (card >= cfg_.devices) return "card " + std::to_string(card) + " is not used";
  std::lock_guard<std::mutex> g(m->variantsMu_);
  for (const auto& v : m->variants_) {
    for (const auto& p : v->pipelines) {
      for (const auto& op : p->ops()) {
        if (p->device() == card && op.stage == Stage::kModel) qobcrt_sim_fail_op(op.uid, code);
      }
    }
  }
  return "";
}

// ---------------------------------------------------------------------------------------------------------
// ServedModel

ServedModel::ServedModel(const ModelDir& dir, const ServeConfig& cfg, ModelMetrics* metrics,
                         const std::atomic<bool>* stopping)
    : dir_(dir), cfg_(cfg), metrics_(metrics), stopping_(stopping) {}

ServedModel::~ServedModel() {
  stop();
  release();
}

uint32_t ServedModel::batch() const { return variants_.empty() ? 0 : variants_.front()->batch; }

void ServedModel::rejected() { ++metrics_->requestsFailed; }

std::string ServedModel::loadVariant(const std::vector<std::vector<int64_t>>& itemShapes, Variant** out) {
  std::unique_ptr<Variant> v(new Variant);
  v->itemShapes = itemShapes;
  // Streams over one dynamic model re-apply its shapes before each run, which the library does not guard
  // against a second stream doing the same: every instance of a dynamic model gets a model of its own.
  const uint32_t perCard = dir_.dynamic ? cfg_.instancesPerDevice : 1;
  std::string err;
  for (uint32_t card = 0; card < cfg_.devices && err.empty(); ++card) {
    for (uint32_t j = 0; j < perCard && err.empty(); ++j) {
      std::unique_ptr<Pipeline> p(new Pipeline);
      qobltools::LoadOptions lo;
      lo.device = card;
      lo.inputShapes = itemShapes;
      err = p->load(dir_, lo);
      if (err.empty()) {
        std::vector<Stage> stages{Stage::kInput, Stage::kModel};
        if (p->info().needsCopy()) stages.push_back(Stage::kCopy);
        err = p->build(stages);
      }
      if (!err.empty()) err = "card " + std::to_string(card) + ": " + err;
      v->pipelines.push_back(std::move(p));
    }
  }
  qobltools::StreamOptions so;
  so.ownInputs = true;
  so.inFlight = cfg_.inFlight;
  so.timeoutMs = cfg_.resultTimeoutMs;
  for (uint32_t card = 0; card < cfg_.devices && err.empty(); ++card) {
    for (uint32_t k = 0; k < cfg_.instancesPerDevice && err.empty(); ++k) {
      std::unique_ptr<Instance> in(new Instance);
      in->card = card;
      const Pipeline& p = *v->pipelines[card * perCard + (dir_.dynamic ? k : 0)];
      err = Stream::create(p, so, &in->stream);
      if (!err.empty())
        err = "card " + std::to_string(card) + ", instance " + std::to_string(k) + ": " + err + depthHint(p, so);
      v->instances.push_back(std::move(in));
    }
  }
  if (!err.empty()) {
    // Keep what was built until shutdown: destroying a graph while other graphs are in use is not
    // allowed to disturb them, and a failed shape is rare.
    std::lock_guard<std::mutex> g(mu_);
    failed_.push_back(std::move(v));
    return err;
  }
  v->info = v->pipelines.front()->info();
  v->batch = v->instances.front()->stream->cacheNumber();
  if (v->itemShapes.empty()) {
    for (const auto& t : v->info.inputs) v->itemShapes.push_back(t.dims());
  }
  Variant* raw = v.get();
  for (auto& in : v->instances) {
    Instance* ip = in.get();
    in->thread = std::thread([this, raw, ip] { dispatch(raw, ip); });
  }
  variants_.push_back(std::move(v));
  *out = raw;
  return "";
}

ServedModel::Variant* ServedModel::variantFor(const InferRequest& req, Error* err) {
  std::lock_guard<std::mutex> g(variantsMu_);
  if (!dir_.dynamic) return variants_.front().get();
  // Item shapes of the request, in model input order (the request was checked: every input is present),
  // with the items' rank as the first shape loaded them.
  std::vector<std::vector<int64_t>> shapes;
  const auto& loaded = variants_.front()->info.inputs;
  for (const auto& t : loaded) {
    for (const auto& in : req.inputs) {
      if (in.name == t.name) shapes.push_back(itemShape(in.shape, t.dims().size()));
    }
  }
  for (const auto& v : variants_) {
    if (v->itemShapes == shapes) return v.get();
  }
  const auto& first = shapes.front();
  if (first.size() != 4 || !dir_.suiteCovers(first[2], first[3])) {
    *err = makeError(ErrorKind::kInvalidArgument,
                     "input shape " + shapeText(req.inputs.front().shape) + " is outside the shape ranges of model " +
                         name());
    return nullptr;
  }
  if (dir_.inputShapesAt(first[2], first[3]) != shapes) {
    *err = makeError(ErrorKind::kInvalidArgument, "the inputs' shapes do not match one shape of model " + name() +
                                                      " at spatial size " + std::to_string(first[2]) + "x" +
                                                      std::to_string(first[3]));
    return nullptr;
  }
  if (variants_.size() >= cfg_.maxShapes) {
    std::string sizes;
    for (const auto& v : variants_)
      sizes += (sizes.empty() ? "" : ", ") + std::to_string(v->itemShapes[0][2]) + "x" + std::to_string(v->itemShapes[0][3]);
    *err = makeError(ErrorKind::kInvalidArgument, "model " + name() + " serves at most " +
                                                      std::to_string(cfg_.maxShapes) + " input shapes at once (" +
                                                      sizes + "); see --max-shapes");
    return nullptr;
  }
  {
    // stop() sets stop_ holding variantsMu_, as this is: a shape is never loaded after stop() collected the
    // instances it stops and joins.
    std::lock_guard<std::mutex> queues(mu_);
    if (stop_) {
      *err = makeError(ErrorKind::kUnavailable, "the server is shutting down");
      return nullptr;
    }
  }
  Variant* v = nullptr;
  const std::string why = loadVariant(shapes, &v);
  if (!why.empty()) {
    *err = makeError(ErrorKind::kInternal, "loading model " + name() + " at spatial size " + std::to_string(first[2]) +
                                               "x" + std::to_string(first[3]) + " failed: " + why);
    return nullptr;
  }
  return v;
}

Error ServedModel::infer(InferRequest&& req, uint32_t items, std::shared_ptr<const void> owner, InferResult* out,
                         GiveUp* giveUp) {
  Error err;
  if (giveUp != nullptr && giveUp->given()) {
    ++metrics_->requestsFailed;
    metrics_->itemsFailed += items;
    metrics_->latency.observe(0);
    return makeError(ErrorKind::kCancelled, "the client gave up the request");
  }
  std::unique_ptr<Pending> p = submit(std::move(req), items, std::move(owner), &err);
  if (!p) return err;
  return collect(std::move(p), out, giveUp);
}

std::unique_ptr<ServedModel::Pending> ServedModel::submit(InferRequest&& req, uint32_t items,
                                                          std::shared_ptr<const void> owner, Error* err) {
  // Counted in active_ before stopping_ is read: stop() waits for every request that may have missed the
  // flag, and for every request in flight.
  std::unique_ptr<Pending> p(new Pending);
  ++active_;
  p->model_ = this;
  p->items_ = items;
  p->arrived_ = Clock::now();
  const auto refused = [&](Error e) {
    *err = p->failed(std::move(e));
    return nullptr;
  };
  if (stopping_->load()) return refused(makeError(ErrorKind::kUnavailable, "the server is shutting down"));
  Variant* v = variantFor(req, err);
  if (v == nullptr) return refused(*err);

  auto job = std::make_shared<Job>();
  job->owner = std::move(owner);
  job->variant = v;
  job->items = items;
  job->arrived = p->arrived_;
  job->remaining = items;
  for (const auto& t : v->info.inputs) {
    const InputTensor* in = nullptr;
    for (const auto& r : req.inputs) {
      if (r.name == t.name) in = &r;
    }
    if (in == nullptr || in->bytes != uint64_t{items} * t.bytes)
      return refused(makeError(ErrorKind::kInvalidArgument, "input \"" + t.name + "\" does not hold " +
                                                                 std::to_string(items) + " items of " +
                                                                 std::to_string(t.bytes) + " bytes"));
    job->inputs.push_back(in->data);
  }
  for (const auto& t : v->info.outputs) job->outputs.emplace_back(uint64_t{items} * t.bytes);
  job->req = std::move(req);

  Instance* best = nullptr;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (stop_) return refused(makeError(ErrorKind::kUnavailable, "the server is shutting down"));
    if (queued_ + items > cfg_.queueCapacity)
      return refused(makeError(ErrorKind::kUnavailable,
                               "model " + name() + " has " + std::to_string(queued_) + " items waiting and takes at most " +
                                   std::to_string(cfg_.queueCapacity) + "; try again later"));
    for (auto& in : v->instances) {
      if (best == nullptr || in->load < best->load) best = in.get();
    }
    for (uint32_t k = 0; k < items; ++k) best->queue.push_back(Item{job, k});
    best->load += items;
    queued_ += items;
  }
  best->cv.notify_one();
  p->job_ = std::move(job);
  p->variant_ = v;
  return p;
}

Error ServedModel::collect(std::unique_ptr<Pending> p, InferResult* out, GiveUp* giveUp) {
  const std::shared_ptr<Job> job = p->job_;
  Variant* const v = p->variant_;
  const uint32_t items = p->items_;
  {
    // Waits for the last item, the deadline, or the caller giving the request up, whichever comes first;
    // giving up wakes this wait (under job->mu, so the wake-up cannot slip in between the check and the
    // wait).
    struct Registration {
      GiveUp* g;
      Registration(GiveUp* giveUp, const std::shared_ptr<Job>& job) : g(giveUp) {
        if (g == nullptr) return;
        std::lock_guard<std::mutex> lk(g->mu_);
        g->wake_ = [job] {
          { std::lock_guard<std::mutex> jl(job->mu); }
          job->cv.notify_all();
        };
      }
      ~Registration() {
        if (g == nullptr) return;
        std::lock_guard<std::mutex> lk(g->mu_);
        g->wake_ = nullptr;
      }
    } registration(giveUp, job);
    const auto deadline = Clock::now() + std::chrono::milliseconds(cfg_.resultTimeoutMs);
    std::unique_lock<std::mutex> lk(job->mu);
    const bool done = job->cv.wait_until(lk, deadline, [&] {
      return job->remaining == 0 || (giveUp != nullptr && giveUp->given());
    });
    if (!done || job->remaining != 0) {   // a request finished meanwhile is answered after all
      lk.unlock();
      return p->failed(done ? makeError(ErrorKind::kCancelled, "the client gave up the request")
                            : makeError(ErrorKind::kInternal, "no result from the card within " +
                                                                  std::to_string(cfg_.resultTimeoutMs) + " ms"));
    }
    if (job->error) {
      Error e = job->error;
      lk.unlock();
      return p->failed(e);
    }
  }

  InferResult r;
  r.model = name();
  r.id = job->req.id;
  const auto add = [&](uint32_t o, bool binary) {
    const auto& t = v->info.outputs[o];
    OutputTensor ot;
    ot.name = t.name;
    ot.dtype = t.dtype;
    ot.datatype = sig_.outputs[o].datatype;
    ot.shape = batchShape(t.dims(), items);
    ot.data = std::move(job->outputs[o]);
    ot.binary = binary;
    r.outputs.push_back(std::move(ot));
  };
  if (job->req.outputs.empty()) {
    for (uint32_t o = 0; o < v->info.outputs.size(); ++o) add(o, job->req.binaryOutputs);
  } else {
    for (const auto& ro : job->req.outputs) {
      for (uint32_t o = 0; o < v->info.outputs.size(); ++o) {
        if (v->info.outputs[o].name == ro.name && !job->outputs[o].empty()) add(o, ro.binary);
      }
    }
  }
  p->counted_ = true;
  ++metrics_->requestsOk;
  metrics_->itemsOk += items;
  metrics_->latency.observe(secondsSince(p->arrived_));
  *out = std::move(r);
  return Error();
}

// ---------------------------------------------------------------------------------------------------------
// ServedModel::Pending

Error ServedModel::Pending::failed(Error e) {
  if (job_) job_->cancelled = true;   // its items still queued are dropped unsent
  if (!counted_) {
    counted_ = true;
    ModelMetrics* m = model_->metrics_;
    ++m->requestsFailed;
    m->itemsFailed += items_;
    m->latency.observe(secondsSince(arrived_));
  }
  return e;
}

ServedModel::Pending::~Pending() {
  if (!counted_) failed(Error());
  --model_->active_;
}

void ServedModel::dispatch(Variant* v, Instance* in) {
  const auto delay = std::chrono::microseconds(cfg_.maxQueueDelayUs);
  std::vector<Item> run;
  for (;;) {
    {
      std::unique_lock<std::mutex> lk(mu_);
      in->cv.wait(lk, [&] { return stop_ || !in->queue.empty(); });
      if (in->queue.empty()) return;   // stopping, and everything queued has been sent
      // Wait for the run to fill, at most `delay` after the oldest waiting item's request arrived.
      const Clock::time_point deadline = in->queue.front().job->arrived + delay;
      while (!stop_ && in->queue.size() < v->batch && Clock::now() < deadline) in->cv.wait_until(lk, deadline);
      const size_t n = std::min<size_t>(in->queue.size(), v->batch);
      run.assign(std::make_move_iterator(in->queue.begin()), std::make_move_iterator(in->queue.begin() + n));
      in->queue.erase(in->queue.begin(), in->queue.begin() + n);
      queued_ -= static_cast<uint32_t>(n);
    }
    submitRun(v, in, run);
    run.clear();
  }
}

void ServedModel::submitRun(Variant* v, Instance* in, std::vector<Item>& run) {
  const Clock::time_point now = Clock::now();
  uint32_t sent = 0;
  std::vector<const void*> ptrs(v->info.inputs.size());
  for (auto& it : run) {
    std::shared_ptr<Job> job = it.job;
    const uint32_t index = it.index;
    if (job->cancelled) {
      finishItem(in, *job, index, makeError(ErrorKind::kInternal, "the request was given up"));
      continue;
    }
    metrics_->queueTime.observe(std::chrono::duration<double>(now - job->arrived).count());
    for (size_t i = 0; i < ptrs.size(); ++i) ptrs[i] = job->inputs[i] + uint64_t{index} * v->info.inputs[i].bytes;
    std::string why;
    const SubmitResult r = in->stream->submitHost(
        ptrs, index,
        [this, v, in, job, index](const Outcome& oc) {
          Error e;
          if (oc.error != 0) {
            e = makeError(ErrorKind::kInternal, "the card failed the device run carrying this request: " + oc.why);
          } else {
            thread_local std::vector<uint8_t> host;
            for (uint32_t o = 0; o < v->info.outputs.size() && !e; ++o) {
              const auto& t = v->info.outputs[o];
              const std::string err = qobltools::readOutput(oc.output, o, t, &host);
              if (!err.empty())
                e = makeError(ErrorKind::kInternal, err);
              else
                std::memcpy(job->outputs[o].data() + uint64_t{index} * t.bytes, host.data(), t.bytes);
            }
          }
          finishItem(in, *job, index, e);
        },
        &why);
    if (r == SubmitResult::kNoSlot)
      finishItem(in, *job, index, makeError(ErrorKind::kInternal, "the card took no new run: " + why));
    else if (r != SubmitResult::kFailed)
      ++sent;   // kFailed: the completion has already reported the error
  }
  if (sent == 0) return;
  ++metrics_->runs;
  metrics_->runItems += sent;
  metrics_->runCapacity += v->batch;
  if (in->stream->pendingInputs() > 0) {
    std::string why;
    if (in->stream->flush(&why) < 0) in->stream->synchronize();   // fails what could not be sent
  }
}

void ServedModel::finishItem(Instance* in, Job& job, uint32_t /*index*/, const Error& err) {
  bool last = false;
  {
    std::lock_guard<std::mutex> g(job.mu);
    if (err && !job.error) job.error = err;
    last = --job.remaining == 0;
  }
  if (last) job.cv.notify_all();
  std::lock_guard<std::mutex> g(mu_);
  --in->load;
}

void ServedModel::stop() {
  std::vector<Instance*> all;
  {
    std::lock_guard<std::mutex> vg(variantsMu_);
    std::lock_guard<std::mutex> g(mu_);
    if (stop_) return;
    stop_ = true;
    for (auto& v : variants_) {
      for (auto& in : v->instances) all.push_back(in.get());
    }
  }
  for (Instance* in : all) in->cv.notify_all();
  for (Instance* in : all) {
    if (in->thread.joinable()) in->thread.join();
  }
  // Requests still inside infer() have been answered or are about to find the flag set.
  while (active_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (Instance* in : all) in->stream->synchronize();
}

void ServedModel::release() {
  std::lock_guard<std::mutex> vg(variantsMu_);
  variants_.clear();
  std::lock_guard<std::mutex> g(mu_);
  failed_.clear();
}

}  // namespace qoblserve
}  // namespace zenlar
