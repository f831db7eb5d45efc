#include "pipeline_core.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <utility>

#include "call_error.h"

namespace zenlar {
namespace qobl {
namespace python {

namespace {

using Clock = PipelineCore::Clock;

// How long a finished request may wait for others to join its batch when nobody waits for it.
constexpr std::chrono::microseconds kResolveWait(500);
constexpr std::chrono::milliseconds kPaddingWait(PipelineCore::kPaddingWaitMs);
constexpr std::chrono::milliseconds kCloseWait(PipelineCore::kCloseWaitMs);
// Device runs in flight when the application does not say.
constexpr uint32_t kDefaultRunsInFlight = 8;

int64_t toNs(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

int64_t nowNs() { return toNs(Clock::now()); }

uint64_t hostAddr(const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

// Sets an array attribute of `count` values (the op engine takes them as variadic arguments, so the count
// picks one of a few fixed-arity calls).
template <typename T, size_t... I>
int setAttrValues(qobeOp* op, const char* key, uint32_t type, const T* v, std::index_sequence<I...>) {
  return qobeSetOpAttr(op, key, type, static_cast<uint32_t>(sizeof...(I)), v[I]...);
}

template <typename T>
int setAttrArray(qobeOp* op, const char* key, uint32_t type, const std::vector<T>& v) {
  switch (v.size()) {
    case 1: return setAttrValues(op, key, type, v.data(), std::make_index_sequence<1>());
    case 2: return setAttrValues(op, key, type, v.data(), std::make_index_sequence<2>());
    case 3: return setAttrValues(op, key, type, v.data(), std::make_index_sequence<3>());
    case 4: return setAttrValues(op, key, type, v.data(), std::make_index_sequence<4>());
    default: return -1;
  }
}

void checkOpEngine(int rc, const std::string& what) {
  if (rc != 0) throw CallError(static_cast<uint32_t>(rc), what + " failed");
}

// Frees an output dataset made by qoblRequestOutputDataset: card memory, buffers, container.
void releaseOutputDataset(qobmDataset* ds) {
  if (ds == nullptr) return;
  uint32_t count = 0;
  qobmGetDatasetBufferCount(ds, &count);
  for (uint32_t i = 0; i < count; ++i) {
    qobmDataBuffer* b = nullptr;
    uint64_t addr = 0;
    if (qobmGetDatasetBuffer(ds, i, &b) != 0) continue;
    if (qobmGetDataBufferAddr(b, &addr) == 0 && addr != 0) qobmFree(addr);
    qobmDestroyDataBuffer(b);
  }
  qobmDestroyDataset(ds);
}

// Makes an input dataset over fresh card memory, one zero-filled block per model input.
void makeInputDataset(uint32_t device, const std::vector<TensorSpec>& inputs, qobmDataset** ds,
                      std::vector<qobmDataBuffer*>* bufs, std::vector<uint64_t>* addrs) {
  check(static_cast<uint32_t>(qobmCreateDataset(qobmDM_BUFFER, ds)), "qobmCreateDataset");
  for (const TensorSpec& t : inputs) {
    uint64_t addr = 0;
    check(static_cast<uint32_t>(qobmMalloc(t.bytes, &addr)), "qobmMalloc");
    addrs->push_back(addr);
    const std::vector<uint8_t> zeros(t.bytes, 0);
    check(static_cast<uint32_t>(qobmMemcpy(addr, hostAddr(zeros.data()), t.bytes, qobmMEMCPY_HOST_TO_DEVICE)),
          "qobmMemcpy");
    qobmDataBuffer* b = nullptr;
    check(static_cast<uint32_t>(qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_QOBC, device}, addr, t.bytes, &b)),
          "qobmCreateDataBuffer");
    bufs->push_back(b);
    check(static_cast<uint32_t>(qobmAddDatasetBuffer(*ds, b)), "qobmAddDatasetBuffer");
  }
}

void releaseInputDataset(qobmDataset* ds, const std::vector<qobmDataBuffer*>& bufs,
                         const std::vector<uint64_t>& addrs) {
  for (qobmDataBuffer* b : bufs) qobmDestroyDataBuffer(b);
  if (ds != nullptr) qobmDestroyDataset(ds);
  for (uint64_t a : addrs) qobmFree(a);
}

// Copies each host input to its card block.
void uploadInputs(const Request& req, const std::vector<TensorSpec>& inputs, const std::vector<uint64_t>& addrs) {
  for (size_t i = 0; i < inputs.size(); ++i) {
    const int rc = qobmMemcpy(addrs[i], hostAddr(req.in[i]), inputs[i].bytes, qobmMEMCPY_HOST_TO_DEVICE);
    if (rc != 0) check(static_cast<uint32_t>(rc), "copying input " + std::to_string(i) + " to the card");
  }
}

// Copies each output of a leaf-op dataset back to the request's host buffers; "" or what failed.
std::string downloadOutputs(qobmDataset* ds, const std::vector<TensorSpec>& outputs, Request& req) {
  for (size_t o = 0; o < outputs.size(); ++o) {
    qobmDataBuffer* b = nullptr;
    uint64_t addr = 0, size = 0;
    if (qobmGetDatasetBuffer(ds, static_cast<uint32_t>(o), &b) != 0 || qobmGetDataBufferAddr(b, &addr) != 0 ||
        qobmGetDataBufferSize(b, &size) != 0)
      return "output " + std::to_string(o) + " is missing from the run's output dataset";
    if (size < outputs[o].bytes)
      return "output " + std::to_string(o) + " holds " + std::to_string(size) + " bytes, " +
             std::to_string(outputs[o].bytes) + " expected";
    const int rc = qobmMemcpy(hostAddr(req.out[o]), addr, outputs[o].bytes, qobmMEMCPY_DEVICE_TO_HOST);
    if (rc != 0) return "copying output " + std::to_string(o) + " from the card failed with " + std::to_string(rc);
  }
  return "";
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Construction and the op graph

PipelineCore::PipelineCore(std::shared_ptr<ModelCore> model, const std::vector<std::string>& stages,
                           uint32_t device, uint32_t maxInFlight, uint32_t gatherUs)
    : model_(std::move(model)), device_(device), gather_(gatherUs) {
  if (model_->device() != device)
    throw std::invalid_argument("the model is loaded on device " + std::to_string(model_->device()) +
                                ", not on device " + std::to_string(device));
  handle_ = model_->acquireUse();
  inputs_ = model_->inputs();
  outputs_ = model_->outputs();
  for (const auto& s : model_->inputShapes()) {
    qobmShape q{};
    q.ndims = static_cast<uint32_t>(s.size());
    for (size_t d = 0; d < s.size() && d < 6; ++d) q.shapes[d] = s[d];
    inputOpShapes_.push_back(q);
  }
  try {
    check(static_cast<uint32_t>(qobmSetDevice(device_)), "qobmSetDevice");
    buildGraph(stages);
    stream_ = makeStream(&PipelineCore::onReport);
    readNormalizeTypes();
    check(qoblGetStreamCacheNumber(stream_, &cache_), "qoblGetStreamCacheNumber");
    if (cache_ == 0) throw CallError(qoblERR_BUILD_STREAM, "the stream gathers no input per device run");
    if (maxInFlight == 0) maxInFlight = kDefaultRunsInFlight * cache_;
    maxSlots_ = std::max<uint32_t>(1, (maxInFlight + cache_ - 1) / cache_) * cache_;
    resolveBatch_ = std::max<uint32_t>(cache_, maxSlots_ / 2);
  } catch (...) {
    close(Clock::now() + kCloseWait);
    throw;
  }
}

PipelineCore::~PipelineCore() {
  try {
    close(Clock::now() + kCloseWait);
  } catch (...) {
  }
}

void PipelineCore::buildGraph(const std::vector<std::string>& stagesIn) {
  std::vector<std::string> stages = stagesIn;
  auto count = [&](const char* s) { return std::count(stages.begin(), stages.end(), s); };
  auto pos = [&](const char* s) { return std::find(stages.begin(), stages.end(), s) - stages.begin(); };
  for (const auto& s : stages) {
    if (s != "input" && s != "normalize" && s != "model" && s != "copy")
      throw std::invalid_argument("unknown stage \"" + s + "\" (stages: input, normalize, model, copy)");
  }
  if (stages.empty() || stages.front() != "input" || count("input") != 1)
    throw std::invalid_argument("the stages must start with \"input\", once");
  if (count("model") != 1) throw std::invalid_argument("the stages must hold \"model\" once");
  if (count("normalize") > 1 || count("copy") > 1) throw std::invalid_argument("a stage is given twice");
  if (count("normalize") == 1 && pos("normalize") > pos("model"))
    throw std::invalid_argument("\"normalize\" must come before \"model\"");
  if (count("copy") == 1 && pos("copy") < pos("model")) throw std::invalid_argument("\"copy\" must come after \"model\"");
  const bool needsCopy = std::any_of(outputs_.begin(), outputs_.end(),
                                     [](const TensorSpec& t) { return t.alignBytes != t.bytes; });
  if (needsCopy && count("copy") == 0) stages.push_back("copy");

  check(qoblCreateOpGraph(&graph_), "qoblCreateOpGraph");
  std::vector<uint64_t> shapePtrs;
  for (auto& s : inputOpShapes_) shapePtrs.push_back(hostAddr(&s));
  std::vector<uint32_t> inBytes;
  for (const auto& t : inputs_) inBytes.push_back(static_cast<uint32_t>(t.bytes));
  const uint32_t inCount = static_cast<uint32_t>(inputs_.size());

  for (const std::string& stage : stages) {
    qobeOp* op = nullptr;
    if (stage == "input") {
      check(qoblCreateGraphInputOp(graph_, inCount, &op), "qoblCreateGraphInputOp");
    } else if (stage == "normalize") {
      checkOpEngine(qobeCreateOp(qobeOP_PREPROCESS_OP, &op), "creating the pre-processing op");
    } else if (stage == "model") {
      check(qoblCreateRunModelOp(handle_, &op), "qoblCreateRunModelOp");
    } else {
      checkOpEngine(qobeCreateOp(qobeOP_MEM_COPY_OP, &op), "creating the memory-copy op");
    }
    opHandles_.push_back(op);
    if (stage == "normalize") {
      // Converts every model input in place of size; the run-model op below writes its scale and tensor
      // type onto it.
      checkOpEngine(qobeSetOpAttr(op, "input_count", qobeATTR_UINT32, 1, inCount) != 0 ||
                            qobeSetOpAttr(op, "output_count", qobeATTR_UINT32, 1, inCount) != 0 ||
                            setAttrArray(op, "input_size", qobeATTR_UINT32, inBytes) != 0 ||
                            setAttrArray(op, "output_size", qobeATTR_UINT32, inBytes) != 0 ||
                            qobeSetOpAttr(op, "is_runmodel_input", qobeATTR_BOOL, 1, 1) != 0,
                        "configuring the pre-processing op");
    }
    // A dynamic model takes its shapes for each run from the op right above it.
    if ((stage == "input" || stage == "normalize") && !shapePtrs.empty())
      checkOpEngine(qobeSetOpAttr(op, "output_count", qobeATTR_UINT32, 1, inCount) != 0 ||
                        setAttrArray(op, "output_shape", qobeATTR_UINT64, shapePtrs) != 0,
                    "setting the input shapes of the " + stage + " op");
    if (stage != "input") check(qoblConnectOps(opHandles_[opHandles_.size() - 2], op), "qoblConnectOps");
    OpInfo info;
    info.stage = stage;
    uint64_t name = 0;
    if (qobeGetOpAttr(op, "name", qobeATTR_UINT64, &name) == 0 && name != 0)
      info.name = reinterpret_cast<const char*>(static_cast<uintptr_t>(name));
    qobeGetOpAttr(op, "uid", qobeATTR_UINT32, &info.uid);
    ops_.push_back(info);
  }
}

void PipelineCore::readNormalizeTypes() {
  normalizeTypes_.assign(inputs_.size(), qobeTENSORIZATION_NONE);
  const auto at = std::find_if(ops_.begin(), ops_.end(), [](const OpInfo& o) { return o.stage == "normalize"; });
  if (at == ops_.end()) return;
  qobeOp* op = opHandles_[static_cast<size_t>(at - ops_.begin())];
  for (size_t i = 0; i < inputs_.size(); ++i) {
    int32_t type = qobeTENSORIZATION_NONE;
    const std::string key = "tensor_type" + std::to_string(i);
    if (qobeGetOpAttr(op, key.c_str(), qobeATTR_INT32, &type) == 0) normalizeTypes_[i] = type;
  }
}

qoblStream* PipelineCore::makeStream(qoblStreamReportCallback report) {
  qoblStream* s = nullptr;
  clearLoggedErrors();
  check(qoblCreateOpStream(graph_, qoblBM_ONCE, &s), "qoblCreateOpStream");
  try {
    check(qoblSubscribeStreamReport(s, report, this), "qoblSubscribeStreamReport");
    check(qoblBuildStream(s), "qoblBuildStream");
  } catch (...) {
    qoblDestroyOpStream(s);
    throw;
  }
  return s;
}

// ---------------------------------------------------------------------------------------------------------
// Slots

PipelineCore::Slot* PipelineCore::makeSlot() {
  std::unique_ptr<Slot> s(new Slot);
  try {
    makeInputDataset(device_, inputs_, &s->in, &s->inBufs, &s->inAddrs);
    clearLoggedErrors();
    check(qoblRequestOutputDataset(stream_, &s->out), "qoblRequestOutputDataset");
  } catch (...) {
    freeSlot(s.get());
    throw;
  }
  return s.release();
}

void PipelineCore::freeSlot(Slot* s) {
  releaseInputDataset(s->in, s->inBufs, s->inAddrs);
  releaseOutputDataset(s->out);
  s->in = nullptr;
  s->out = nullptr;
  s->inBufs.clear();
  s->inAddrs.clear();
}

PipelineCore::Slot* PipelineCore::acquireSlot(bool forPadding, Clock::time_point until) {
  std::unique_lock<std::mutex> lk(stateMu_);
  for (;;) {
    if (stopped_ || (!forPadding && closed_.load())) return nullptr;
    if (!free_.empty()) {
      Slot* s = free_.back();
      free_.pop_back();
      ++holders_;
      return s;
    }
    if (live_ + growing_ < maxSlots_) {
      ++growing_;
      lk.unlock();
      Slot* s = nullptr;
      try {
        s = makeSlot();
      } catch (...) {
        lk.lock();
        --growing_;
        slotCv_.notify_all();
        throw;
      }
      lk.lock();
      --growing_;
      ++live_;
      slots_.emplace_back(s);
      slotOf_[s->in] = s;
      stats_.slots = static_cast<uint32_t>(slots_.size());
      ++holders_;
      return s;
    }
    if (slotCv_.wait_until(lk, until) == std::cv_status::timeout && free_.empty()) return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------------------
// Asynchronous runs

uint64_t PipelineCore::submit(Request* req, Clock::time_point until) {
  if (closed_.load()) throw std::invalid_argument(kPipelineClosed);
  check(static_cast<uint32_t>(qobmSetDevice(device_)), "qobmSetDevice");
  std::unique_lock<DeadlineMutex> sub(submitMu_, until);
  return submitWith(req, sub, until);
}

uint64_t PipelineCore::submitWith(Request* req, std::unique_lock<DeadlineMutex>& sub, Clock::time_point until) {
  // The slot is taken under the submission lock: a flush, which also needs a slot, then never waits for
  // slots held by submitters that wait for the lock.  The slots it waits for are in flight on the card.
  if (!sub.owns_lock()) return 0;
  Slot* s = acquireSlot(false, until);
  if (s == nullptr) {
    if (closed_.load()) throw std::invalid_argument(kPipelineClosed);
    return 0;
  }
  try {
    uploadInputs(*req, inputs_, s->inAddrs);
  } catch (...) {
    std::lock_guard<std::mutex> g(stateMu_);
    free_.push_back(s);
    --holders_;
    slotCv_.notify_all();
    throw;
  }
  uint64_t seq = 0;
  {
    std::lock_guard<std::mutex> g(stateMu_);
    seq = req->seq = nextSeq_++;
    s->req = req;
    s->state = Slot::State::kBusy;
    ++busy_;
    outstanding_.push_back(req->seq);
    ++stats_.submitted;
    if (--holders_ == 0 && closed_.load()) slotCv_.notify_all();   // close() waits for the holders
  }
  submitLocked(s);
  return seq;
}

void PipelineCore::submitLocked(Slot* s) {
  clearLoggedErrors();
  const qoblErr rc = qoblRunStreamAsync(stream_, s->in, s->out);
  if (rc == qoblERR_RUN_PENDING) {
    if (gatheredFirstSeq_ == 0 && s->req != nullptr) gatheredFirstSeq_ = s->req->seq;
    gathered_.push_back(s);
    const int64_t now = nowNs();
    const bool opened = lastGatherNs_.exchange(now) == 0;
    // The resolver fills the run once it has waited gather_ without a new input: it is woken only when it
    // would sleep past that (while runs finish it mostly wakes sooner anyway).  The exchange above and its
    // announcement of the time it sleeps until are ordered so that either this call sees the announcement
    // or the resolver sees the new run before it sleeps.
    if (opened && resolverSleepsPast(now + std::chrono::duration_cast<std::chrono::nanoseconds>(gather_).count())) {
      { std::lock_guard<std::mutex> g(stateMu_); }   // it is then asleep in the wait, not about to enter it
      doneCv_.notify_all();
    }
    return;
  }
  if (rc == qoblERR_SUCCESS) {
    gathered_.clear();
    gatheredFirstSeq_ = 0;
    lastGatherNs_.store(0);
    return;
  }
  // The input was refused, and the device run it was gathered into is dropped with every input gathered
  // for it: none of them reports.  The refused input's slot is free again at once; the gathered ones stay
  // out of use until a report for them arrives (none is expected, but the card may still hold them).
  const std::string why = failureText("qoblRunStreamAsync");
  Wakes w;
  {
    std::lock_guard<std::mutex> g(stateMu_);
    finishLocked(s, rc, why, false, w);
    for (Slot* q : gathered_) {
      if (!q->delivering) finishLocked(q, rc, why + " (the device run gathering this input was dropped)", true, w);
    }
  }
  wake(w);
  gathered_.clear();
  gatheredFirstSeq_ = 0;
  lastGatherNs_.store(0);
}

bool PipelineCore::resolverSleepsPast(int64_t dueNs) const {
  const int64_t wake = resolverWakeNs_.load();
  return wake != 0 && wake > dueNs;
}

void PipelineCore::wake(const Wakes& w) {
  if (w.slots) slotCv_.notify_all();
  if (w.done) doneCv_.notify_all();
  if (w.finished) finishCv_.notify_all();
}

void PipelineCore::finishLocked(Slot* s, uint32_t error, const std::string& why, bool quarantine, Wakes& w) {
  Request* r = s->req;
  s->req = nullptr;
  if (s->state == Slot::State::kBusy) --busy_;
  if (quarantine) {
    s->state = Slot::State::kQuarantined;
    --live_;   // a fresh slot may take its place
    w.slots = true;
  } else {
    s->state = Slot::State::kFree;
    free_.push_back(s);
    // A device run's inputs finish one after another: submitters waiting for slots are woken once a
    // device run's worth is free, not once per slot.  Fewer busy slots than that may be all that is left
    // (a gathering run, a refused input), and no further report may come: they are woken then too.
    if (free_.size() >= cache_ || busy_ < cache_) w.slots = true;
  }
  if (r == nullptr) return;
  r->error = error;
  if (error != 0) r->message = why;
  // Runs usually finish in submission order: the seq is found at or near the front.
  const auto at = std::lower_bound(outstanding_.begin(), outstanding_.end(), r->seq);
  if (at != outstanding_.end() && *at == r->seq) outstanding_.erase(at);
  ++(error == 0 ? stats_.completed : stats_.failed);
  const bool first = done_.empty();
  if (first) firstDone_ = Clock::now();
  done_.push_back(r);
  // The resolver is woken when the batch becomes due, and by the first request of a batch (to time the
  // batch) when it would sleep past the batch's time limit; not by every request.  Awake, it looks at the
  // queue before it sleeps again.
  if (r->seq <= expedited_) urgent_ = true;
  if (urgent_ || outstanding_.empty() || done_.size() == resolveBatch_) {
    if (resolverWakeNs_.load() != 0) w.done = true;
  } else if (first && resolverSleepsPast(toNs(firstDone_ + kResolveWait))) {
    w.done = true;
  }
  w.finished = true;
}

void PipelineCore::onReport(qobeOp* op, qobmDataset* input, qobmDataset* output, qoblCallbackStatus* status,
                            void* ctx) {
  if (ctx == nullptr || status == nullptr) return;
  static_cast<PipelineCore*>(ctx)->report(op, input, output, *status);
}

void PipelineCore::report(qobeOp* op, qobmDataset* input, qobmDataset* output, const qoblCallbackStatus& status) {
  if (status.errorCode == 0 && status.isStreamEnd == 0) return;   // an op in the middle: nothing to deliver
  Slot* s = nullptr;
  Request* req = nullptr;
  {
    std::unique_lock<std::mutex> lk(stateMu_);
    auto it = slotOf_.find(input);
    if (it == slotOf_.end()) return;
    s = it->second;
    if (s->state == Slot::State::kQuarantined) {   // a late report: the slot may be used again
      s->state = Slot::State::kFree;
      ++live_;
      free_.push_back(s);
      lk.unlock();
      slotCv_.notify_all();
      return;
    }
    if (s->state != Slot::State::kBusy) return;
    s->delivering = true;
    req = s->req;
  }
  std::string why;
  uint32_t error = status.errorCode;
  if (error != 0) {
    why = opName(op) + " failed on the card";
  } else if (req != nullptr) {
    why = downloadOutputs(output, outputs_, *req);
    if (!why.empty()) error = qoblERR_RUN_STREAM;
  }
  Wakes w;
  {
    std::lock_guard<std::mutex> g(stateMu_);
    s->delivering = false;
    finishLocked(s, error, why, false, w);
  }
  wake(w);   // the stream's destruction waits for this callback: the pipeline outlives it
}

bool PipelineCore::waitDone(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lk(stateMu_);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done_.empty() && stopped_) return false;
    const auto now = Clock::now();
    if (!done_.empty() && (urgent_ || stopped_ || outstanding_.empty() || done_.size() >= resolveBatch_ ||
                           now >= firstDone_ + kResolveWait))
      return true;
    auto wake = deadline;
    // Finished requests not due yet: look again when the oldest of them is.
    if (!done_.empty()) wake = std::min(wake, firstDone_ + kResolveWait);
    const int64_t gathered = lastGatherNs_.load();
    if (gathered != 0) {
      const auto due = Clock::time_point(std::chrono::nanoseconds(gathered)) + gather_;
      if (now >= due) {
        lk.unlock();
        {
          std::lock_guard<DeadlineMutex> sub(submitMu_);
          // Fill it only when no input joined in the meantime.
          if (lastGatherNs_.load() == gathered) flushLocked(Clock::now() + kPaddingWait);
        }
        lk.lock();
        continue;
      }
      wake = std::min(wake, due);
    }
    if (now >= deadline) return true;
    // Announced before the gathering run is looked at again: a submission that opens a run after that look
    // sees the announcement (and wakes this thread if it sleeps past the run's fill time).
    resolverWakeNs_.store(toNs(wake));
    if (lastGatherNs_.load() != gathered) {
      resolverWakeNs_.store(0);
      continue;
    }
    doneCv_.wait_until(lk, wake);
    resolverWakeNs_.store(0);
  }
}

std::vector<Request*> PipelineCore::takeDone() {
  std::lock_guard<std::mutex> g(stateMu_);
  std::vector<Request*> out(done_.begin(), done_.end());
  done_.clear();
  urgent_ = false;
  return out;
}

void PipelineCore::expedite(uint64_t seq) {
  std::lock_guard<std::mutex> g(stateMu_);
  if (seq <= expedited_) return;
  expedited_ = seq;
  for (const Request* r : done_) {
    if (r->seq <= seq) {
      urgent_ = true;
      doneCv_.notify_all();
      return;
    }
  }
}

void PipelineCore::flushLocked(Clock::time_point until) {
  if (gathered_.empty()) return;
  qobmSetDevice(device_);   // also called from the resolver thread, which runs nothing else on the card
  while (!gathered_.empty()) {
    Slot* s = acquireSlot(true, until);
    if (s == nullptr) return;
    {
      std::lock_guard<std::mutex> g(stateMu_);
      s->req = nullptr;
      s->state = Slot::State::kBusy;
      ++busy_;
      ++stats_.fillers;
      if (--holders_ == 0 && closed_.load()) slotCv_.notify_all();   // close() waits for the holders
    }
    submitLocked(s);
  }
}

bool PipelineCore::flush(Clock::time_point until) {
  check(static_cast<uint32_t>(qobmSetDevice(device_)), "qobmSetDevice");
  std::unique_lock<DeadlineMutex> sub(submitMu_, until);
  if (!sub.owns_lock()) return false;
  if (stream_ != nullptr) flushLocked(until);
  return gathered_.empty();
}

bool PipelineCore::flushIfGathering(uint64_t seq, Clock::time_point until) {
  expedite(seq);
  check(static_cast<uint32_t>(qobmSetDevice(device_)), "qobmSetDevice");
  std::unique_lock<DeadlineMutex> sub(submitMu_, until);
  if (!sub.owns_lock()) return false;
  if (stream_ == nullptr || gatheredFirstSeq_ == 0 || seq < gatheredFirstSeq_) return true;
  flushLocked(until);
  return gathered_.empty();
}

bool PipelineCore::waitFinished(uint64_t seq, Clock::time_point until) {
  std::unique_lock<std::mutex> lk(stateMu_);
  return finishCv_.wait_until(lk, until, [&] { return outstanding_.empty() || outstanding_.front() > seq; });
}

PipelineStats PipelineCore::stats() const {
  std::lock_guard<std::mutex> g(stateMu_);
  PipelineStats s = stats_;
  s.inFlight = static_cast<uint32_t>(outstanding_.size());
  s.cacheNumber = cache_;
  return s;
}

// ---------------------------------------------------------------------------------------------------------
// Synchronous runs

bool PipelineCore::run(Request& req, SyncTurn& turn, Clock::time_point until) {
  if (!turn.lock.owns_lock()) {
    if (closed_.load()) throw std::invalid_argument(kPipelineClosed);
    turn.lock = std::unique_lock<DeadlineMutex>(syncMu_, until);
    if (!turn.lock.owns_lock()) return false;
    if (closed_.load()) {
      turn.lock.unlock();
      throw std::invalid_argument(kPipelineClosed);
    }
  }
  if (!turn.sent) {
    // The stream's card memory is reused: a run left behind by a caller who stopped waiting ends first.
    if (!waitSyncIdle(until)) return false;
    if (closed_.load()) throw std::invalid_argument(kPipelineClosed);
    check(static_cast<uint32_t>(qobmSetDevice(device_)), "qobmSetDevice");
    uint32_t cache = 0;
    if (syncStream_ == nullptr) {
      try {
        syncStream_ = makeStream(&PipelineCore::onSyncReport);
        check(qoblGetStreamCacheNumber(syncStream_, &cache), "qoblGetStreamCacheNumber");
        makeInputDataset(device_, inputs_, &syncIn_, &syncInBufs_, &syncInAddrs_);
        syncOuts_.assign(std::max<uint32_t>(cache, 1), nullptr);
        for (auto& o : syncOuts_) check(qoblRequestOutputDataset(syncStream_, &o), "qoblRequestOutputDataset");
      } catch (...) {
        releaseSyncStream();
        throw;
      }
    }
    uploadInputs(req, inputs_, syncInAddrs_);
    {
      std::lock_guard<std::mutex> g(syncDoneMu_);
      syncError_ = 0;
      syncFailedOp_ = nullptr;
    }
    // The first input is the item; the others of the device run are copies of it, each with its own output
    // dataset.  The runs are sent asynchronously and their reports counted, so that the wait for them can
    // be cut short and resumed.
    for (size_t k = 0; k < syncOuts_.size(); ++k) {
      {
        std::lock_guard<std::mutex> g(syncDoneMu_);
        ++syncPending_;   // before the call: its report may come before it returns
      }
      clearLoggedErrors();
      const qoblErr rc = qoblRunStreamAsync(syncStream_, syncIn_, syncOuts_[k]);
      if (rc == qoblERR_SUCCESS) break;
      if (rc == qoblERR_RUN_PENDING && k + 1 < syncOuts_.size()) continue;
      const std::string why = failureText("qoblRunStreamAsync");
      bool gathering = false;
      {
        // A refused input gets no report; the call reported those gathered before it, when it dropped them.
        std::lock_guard<std::mutex> g(syncDoneMu_);
        if (rc != qoblERR_RUN_PENDING) --syncPending_;
        gathering = syncPending_ != 0;
      }
      // Inputs still gathering (the device run holds more than the stream said, or the call kept them):
      // the stream goes, reporting them as dropped, and the next run makes a fresh one.
      if (gathering) releaseSyncStream();
      throw CallError(rc, why);
    }
    turn.sent = true;
  }
  if (!waitSyncIdle(until)) return false;
  uint32_t error = 0;
  const qobeOp* failed = nullptr;
  {
    std::lock_guard<std::mutex> g(syncDoneMu_);
    if (syncPending_ != 0)   // close() gave up on the card meanwhile
      throw CallError(qoblERR_RUN_STREAM,
                      "the pipeline was closed before this run completed (the card had not finished it when "
                      "close() stopped waiting)");
    error = syncError_;
    failed = syncFailedOp_;
  }
  if (error != 0) {
    const std::string text = platformErrorText(error);
    throw CallError(qoblERR_RUN_STREAM, "the run failed on the card: " + opName(failed) + " reported " +
                                            std::to_string(error) + (text.empty() ? "" : " (" + text + ")"));
  }
  const std::string why = downloadOutputs(syncOuts_.front(), outputs_, req);
  if (!why.empty()) throw CallError(qoblERR_RUN_STREAM, why);
  return true;
}

void PipelineCore::onSyncReport(qobeOp* op, qobmDataset*, qobmDataset*, qoblCallbackStatus* status, void* ctx) {
  if (ctx == nullptr || status == nullptr) return;
  if (status->errorCode == 0 && status->isStreamEnd == 0) return;   // an op in the middle
  PipelineCore* self = static_cast<PipelineCore*>(ctx);
  bool last = false;
  {
    std::lock_guard<std::mutex> g(self->syncDoneMu_);
    if (status->errorCode != 0 && self->syncError_ == 0) {
      self->syncError_ = status->errorCode;
      self->syncFailedOp_ = op;
    }
    last = self->syncPending_ > 0 && --self->syncPending_ == 0;
  }
  // Woken once the lock is free.  The stream's destruction waits for this callback: the pipeline outlives it.
  if (last) self->syncDoneCv_.notify_all();
}

bool PipelineCore::waitSyncIdle(Clock::time_point until) {
  std::unique_lock<std::mutex> lk(syncDoneMu_);
  // close() giving up on the card ends the wait too: the caller then finds the pipeline closed.
  return syncDoneCv_.wait_until(lk, until, [&] { return syncPending_ == 0 || releasing_.load(); });
}

std::string PipelineCore::opName(const qobeOp* op) const {
  for (size_t i = 0; i < opHandles_.size(); ++i) {
    if (opHandles_[i] == op) return "op " + ops_[i].name;
  }
  return "an op";
}

void PipelineCore::releaseSyncStream() {
  if (syncStream_ != nullptr) qoblDestroyOpStream(syncStream_);
  syncStream_ = nullptr;
  releaseInputDataset(syncIn_, syncInBufs_, syncInAddrs_);
  syncIn_ = nullptr;
  syncInBufs_.clear();
  syncInAddrs_.clear();
  for (qobmDataset* o : syncOuts_) releaseOutputDataset(o);
  syncOuts_.clear();
}

// ---------------------------------------------------------------------------------------------------------
// Teardown

namespace {

// Teardowns going on in the background (see PipelineCore::close), polled rather than waited for with a
// condition variable, so that a forked child (which has none of them) can reset the count whatever thread
// of the parent held a lock.
std::atomic<int> gTeardowns{0};

}  // namespace

bool waitBackgroundTeardowns(Clock::time_point until) {
  while (gTeardowns.load() != 0) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void forgetBackgroundTeardowns() { gTeardowns.store(0); }

void PipelineCore::close(Clock::time_point until) {
  if (cardLostByFork()) {   // a forked child: only marked closed (see watchForks)
    closed_.store(true);
    return;
  }
  if (releasing_.load()) return;   // given up on: being released in the background
  std::lock_guard<std::mutex> once(closeMu_);
  if (handle_ == nullptr || releasing_.load()) return;   // closed before, or never built
  closed_.store(true);
  qobmSetDevice(device_);
  {
    // Submissions waiting for a slot give up; those holding one return it.
    std::unique_lock<std::mutex> lk(stateMu_);
    slotCv_.notify_all();
    slotCv_.wait(lk, [&] { return holders_ == 0 && growing_ == 0; });
  }
  // What gathers is sent, so that it completes rather than being dropped; then the runs on the card are
  // waited for, all until `until`.
  bool drained = false;
  {
    std::unique_lock<DeadlineMutex> sub(submitMu_, until);
    if (sub.owns_lock()) {
      if (stream_ != nullptr) flushLocked(until);
      drained = gathered_.empty();
    }
  }
  if (drained) {
    std::unique_lock<std::mutex> lk(stateMu_);
    drained = finishCv_.wait_until(lk, until, [&] { return outstanding_.empty(); });
  }
  if (drained) drained = waitSyncIdle(until);
  std::shared_ptr<PipelineCore> self = weak_from_this().lock();
  if (drained || !self) {
    release(false);
    return;
  }
  // The card has not finished in time.  Every request still in flight fails now, and no report touches
  // its outputs afterwards, so the caller is done with the pipeline; the streams, which the library
  // destroys only once the card has finished their runs (or after its own time limit), are released by
  // a thread of their own, with the rest.
  releasing_.store(true);
  {
    std::lock_guard<std::mutex> g(syncDoneMu_);   // a synchronous run waiting for the card gives up
  }
  syncDoneCv_.notify_all();
  model_->detachUse();   // the model may be closed meanwhile; it is destroyed once this release is done
  {
    std::unique_lock<std::mutex> lk(stateMu_);
    Wakes w;   // every waiter is woken below
    for (;;) {   // outputs being copied by a report callback right now are let through
      const bool copying =
          std::any_of(slots_.begin(), slots_.end(), [](const std::unique_ptr<Slot>& s) { return s->delivering; });
      if (!copying) break;
      lk.unlock();
      std::this_thread::yield();
      lk.lock();
    }
    for (auto& s : slots_) {
      if (s->state == Slot::State::kBusy && s->req != nullptr)
        finishLocked(s.get(), qoblERR_RUN_STREAM,
                     "the pipeline was closed before this input's run completed (the card had not finished it "
                     "when close() stopped waiting)",
                     true, w);
    }
    stopped_ = true;
    doneCv_.notify_all();
    finishCv_.notify_all();
  }
  ++gTeardowns;
  try {
    std::thread([self]() mutable {
      self->release(true);
      self.reset();
      --gTeardowns;
    }).detach();
  } catch (...) {   // no thread to be had: released here after all
    --gTeardowns;
    release(true);
  }
}

void PipelineCore::release(bool abandoned) {
  qobmSetDevice(device_);
  // When close() gave up on the card, both streams may have runs on it that it never finishes, and the
  // library waits up to its own limit for each stream it destroys: the synchronous stream is destroyed on
  // a thread of its own meanwhile, so that the two waits overlap instead of adding up.
  std::thread syncRelease;
  struct JoinOnExit {
    std::thread& t;
    ~JoinOnExit() {
      if (t.joinable()) t.join();
    }
  } joinOnExit{syncRelease};   // also when what follows throws
  if (abandoned) {
    try {
      syncRelease = std::thread([this] {
        qobmSetDevice(device_);
        std::lock_guard<DeadlineMutex> g(syncMu_);
        releaseSyncStream();
      });
    } catch (...) {   // no thread to be had: released below, after the other stream
    }
  }
  {
    // The report callback takes no submission lock, so holding it while the stream is destroyed (which
    // waits for the callbacks) is safe, and keeps the resolver's flushes off the dying stream.
    std::lock_guard<DeadlineMutex> sub(submitMu_);
    if (stream_ != nullptr) {
      // Normally nothing gathers any more; when close() gave up, the stream drops what still does.
      if (!abandoned) flushLocked(Clock::now() + kPaddingWait);
      qoblDestroyOpStream(stream_);   // waits for the runs on the card; no report follows
      stream_ = nullptr;
    }
    gathered_.clear();
    gatheredFirstSeq_ = 0;
    lastGatherNs_.store(0);
  }
  if (syncRelease.joinable()) syncRelease.join();
  {
    std::lock_guard<DeadlineMutex> g(syncMu_);
    releaseSyncStream();   // waits for a run left on the card; its reports come before it returns
  }
  {
    std::lock_guard<std::mutex> g(stateMu_);
    Wakes w;   // every waiter is woken below
    for (auto& s : slots_) {
      if (s->state == Slot::State::kBusy)
        finishLocked(s.get(), qoblERR_RUN_STREAM, "the pipeline was closed before this input's run completed",
                     false, w);
    }
    for (auto& s : slots_) freeSlot(s.get());
    slots_.clear();
    free_.clear();
    slotOf_.clear();
    live_ = 0;
    stopped_ = true;
    doneCv_.notify_all();
    finishCv_.notify_all();
  }
  if (graph_ != nullptr) {
    qoblDestroyOpGraph(graph_);
    std::free(graph_);   // the handle record is the caller's (malloc'ed by qoblCreateOpGraph)
    graph_ = nullptr;
  }
  for (qobeOp* op : opHandles_) qobeDestroyOp(op);
  opHandles_.clear();
  if (abandoned) {
    model_->releaseDetached();
  } else {
    model_->releaseUse();
  }
  handle_ = nullptr;
}

}  // namespace python
}  // namespace qobl
}  // namespace zenlar
