#include "qobl_tools/stream.h"

#include <algorithm>
#include <cstring>

#include <qobcrt/qobcrt_sim.h>

#include "qobl_tools/library.h"

namespace zenlar {
namespace qobltools {

namespace {

uint64_t hostAddr(const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

// Frees every buffer's card memory (application memory), the buffers and the dataset.
void releaseOutputDataset(qobmDataset* ds) {
  if (ds == nullptr) return;
  uint32_t count = 0;
  qobmGetDatasetBufferCount(ds, &count);
  for (uint32_t i = 0; i < count; ++i) {
    qobmDataBuffer* buf = nullptr;
    uint64_t addr = 0;
    if (qobmGetDatasetBuffer(ds, i, &buf) != 0) continue;
    if (qobmGetDataBufferAddr(buf, &addr) == 0 && addr != 0) qobmFree(addr);
    qobmDestroyDataBuffer(buf);
  }
  qobmDestroyDataset(ds);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// DeviceInputs

DeviceInputs::~DeviceInputs() { release(); }

std::string DeviceInputs::create(const Pipeline& p) {
  release();
  device_ = p.device();
  if (!useDevice(device_)) return "qobmSetDevice(" + std::to_string(device_) + ") failed";
  for (const auto& t : p.info().inputs) {
    uint64_t addr = 0;
    const int rc = qobmMalloc(t.bytes, &addr);
    if (rc != 0) {
      release();
      return "could not allocate " + std::to_string(t.bytes) + " bytes of card memory for input " +
             std::to_string(t.index) + ": " + codeText(static_cast<uint32_t>(rc));
    }
    addrs_.push_back(addr);
    sizes_.push_back(t.bytes);
  }
  return "";
}

std::string DeviceInputs::uploadInput(uint32_t index, const void* data, uint64_t size) {
  if (index >= addrs_.size()) return "input " + std::to_string(index) + " does not exist";
  if (size != sizes_[index])
    return "input " + std::to_string(index) + " takes " + std::to_string(sizes_[index]) + " bytes, " +
           std::to_string(size) + " given";
  if (!useDevice(device_)) return "qobmSetDevice(" + std::to_string(device_) + ") failed";
  const int rc = qobmMemcpy(addrs_[index], hostAddr(data), size, 0);
  if (rc != 0)
    return "could not copy input " + std::to_string(index) + " to the card: " + codeText(static_cast<uint32_t>(rc));
  return "";
}

std::string DeviceInputs::upload(const uint8_t* bytes, uint64_t size) {
  uint64_t total = 0;
  for (uint64_t s : sizes_) total += s;
  if (size != total)
    return "the inputs take " + std::to_string(total) + " bytes, " + std::to_string(size) + " given";
  uint64_t off = 0;
  for (uint32_t i = 0; i < sizes_.size(); ++i) {
    const std::string err = uploadInput(i, bytes + off, sizes_[i]);
    if (!err.empty()) return err;
    off += sizes_[i];
  }
  return "";
}

void DeviceInputs::release() {
  if (addrs_.empty()) return;
  useDevice(device_);
  for (uint64_t a : addrs_) qobmFree(a);
  addrs_.clear();
  sizes_.clear();
}

// ---------------------------------------------------------------------------------------------------------
// Stream

struct Stream::Slot {
  qobmDataset* in = nullptr;
  std::vector<qobmDataBuffer*> inBufs;
  std::vector<uint64_t> inAddrs;       // the card blocks `in` points at
  qobmDataset* out = nullptr;
  std::unique_ptr<DeviceInputs> own;   // ownInputs
  bool busy = false;                   // submitted, completion not delivered yet
  bool completing = false;             // its completion function is running
  bool filler = false;
  uint64_t tag = 0;
  CompletionFn done;
  Clock::time_point submitted;
};

Stream::Stream(const Pipeline& p, const StreamOptions& o) : p_(p), o_(o) {}

std::string Stream::create(const Pipeline& p, const StreamOptions& o, std::unique_ptr<Stream>* out) {
  std::unique_ptr<Stream> s(new Stream(p, o));
  const std::string err = s->setup();
  if (!err.empty()) return err;
  *out = std::move(s);
  return "";
}

std::string Stream::setup() {
  ErrorCapture cap;
  if (!useDevice(device())) return "qobmSetDevice(" + std::to_string(device()) + ") failed";
  std::lock_guard<std::mutex> graph(p_.graphLock());
  qoblErr rc = qoblCreateOpStream(p_.graph(), qoblBM_ONCE, &stream_);
  if (rc != 0) return "qoblCreateOpStream failed: " + codeText(rc) + cap.reason();
  if (o_.reportEveryOp) {
    std::vector<qobeOp*> ops;
    for (size_t i = 1; i + 1 < p_.ops().size(); ++i) ops.push_back(p_.ops()[i].op);
    if (!ops.empty() && (rc = qoblRegisterGetOutputs(stream_, ops.data(), static_cast<uint32_t>(ops.size()))) != 0)
      return "qoblRegisterGetOutputs failed: " + codeText(rc) + cap.reason();
  }
  if (!o_.sync && (rc = qoblSubscribeStreamReport(stream_, onReport, this)) != 0)
    return "qoblSubscribeStreamReport failed: " + codeText(rc) + cap.reason();
  if ((rc = qoblBuildStream(stream_)) != 0) return "qoblBuildStream failed: " + codeText(rc) + cap.reason();
  if ((rc = qoblGetStreamCacheNumber(stream_, &cache_)) != 0)
    return "qoblGetStreamCacheNumber failed: " + codeText(rc) + cap.reason();
  if (cache_ == 0) return "the stream gathers 0 inputs per device run";

  const size_t count = o_.sync ? cache_ : static_cast<size_t>(cache_) * std::max<uint32_t>(1, o_.inFlight);
  for (size_t i = 0; i < count; ++i) {
    slots_.emplace_back(new Slot);
    Slot& s = *slots_.back();
    if (qobmCreateDataset(qobmDM_BUFFER, &s.in) != 0) return "qobmCreateDataset failed";
    slotOf_[s.in] = i;
    if ((rc = qoblRequestOutputDataset(stream_, &s.out)) != 0)
      return "qoblRequestOutputDataset failed: " + codeText(rc) + cap.reason();
    if (o_.ownInputs) {
      s.own.reset(new DeviceInputs);
      const std::string err = s.own->create(p_);
      if (!err.empty()) return err;
    }
  }
  return "";
}

Stream::~Stream() {
  useDevice(device());
  if (stream_ != nullptr) qoblDestroyOpStream(stream_);   // waits for the runs handed to the card
  for (auto& s : slots_) {
    for (auto* b : s->inBufs) qobmDestroyDataBuffer(b);
    if (s->in != nullptr) qobmDestroyDataset(s->in);
    releaseOutputDataset(s->out);
  }
}

uint32_t Stream::pendingInputs() const {
  std::lock_guard<std::mutex> g(mu_);
  return static_cast<uint32_t>(group_.size());
}

int Stream::acquireSlot(bool wait) {
  std::unique_lock<std::mutex> lk(mu_);
  const auto deadline = Clock::now() + std::chrono::milliseconds(o_.timeoutMs);
  for (;;) {
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (!slots_[i]->busy) return static_cast<int>(i);
    }
    if (!wait || cv_.wait_until(lk, deadline) == std::cv_status::timeout) return -1;
  }
}

// Points the slot's input dataset at the given card blocks, remaking it when they changed.
bool Stream::pointInputs(Slot& s, const std::vector<uint64_t>& addrs, const std::vector<uint64_t>& sizes,
                         std::string* why) {
  if (s.inAddrs == addrs && !s.inBufs.empty()) return true;
  if (addrs.size() != p_.info().inputs.size()) {
    *why = "the inputs hold " + std::to_string(addrs.size()) + " tensors, the model takes " +
           std::to_string(p_.info().inputs.size());
    return false;
  }
  qobmDataset* ds = nullptr;
  std::vector<qobmDataBuffer*> bufs;
  bool ok = qobmCreateDataset(qobmDM_BUFFER, &ds) == 0;
  for (size_t i = 0; ok && i < addrs.size(); ++i) {
    qobmDataBuffer* b = nullptr;
    const qobmDeviceInfo dev{qobmDE_QOBC, device()};
    ok = qobmCreateDataBuffer(dev, addrs[i], sizes[i], &b) == 0;
    if (ok) {
      bufs.push_back(b);
      ok = qobmAddDatasetBuffer(ds, b) == 0;
    }
  }
  if (!ok) {
    for (auto* b : bufs) qobmDestroyDataBuffer(b);
    if (ds != nullptr) qobmDestroyDataset(ds);
    *why = "could not make an input dataset";
    return false;
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    const size_t index = slotOf_.at(s.in);
    slotOf_.erase(s.in);
    slotOf_[ds] = index;
  }
  for (auto* b : s.inBufs) qobmDestroyDataBuffer(b);
  qobmDestroyDataset(s.in);
  s.in = ds;
  s.inBufs = bufs;
  s.inAddrs = addrs;
  return true;
}

void Stream::poison(Slot& s) {
  uint32_t count = 0;
  qobmGetDatasetBufferCount(s.out, &count);
  thread_local std::vector<uint8_t> ff;
  for (uint32_t i = 0; i < count; ++i) {
    qobmDataBuffer* buf = nullptr;
    uint64_t addr = 0, size = 0;
    if (qobmGetDatasetBuffer(s.out, i, &buf) != 0 || qobmGetDataBufferAddr(buf, &addr) != 0 ||
        qobmGetDataBufferSize(buf, &size) != 0)
      continue;
    ff.assign(size, 0xff);
    qobmMemcpy(addr, hostAddr(ff.data()), size, 0);
  }
}

SubmitResult Stream::submit(const DeviceInputs& in, uint64_t tag, CompletionFn done, std::string* why,
                            Clock::duration* sent) {
  return submitInputs(&in, nullptr, tag, std::move(done), why, sent);
}

SubmitResult Stream::submitHost(const std::vector<const void*>& inputs, uint64_t tag, CompletionFn done,
                                std::string* why) {
  return submitInputs(nullptr, &inputs, tag, std::move(done), why, nullptr);
}

SubmitResult Stream::submitInputs(const DeviceInputs* in, const std::vector<const void*>* host, uint64_t tag,
                                  CompletionFn done, std::string* why, Clock::duration* sent) {
  std::lock_guard<std::mutex> serial(submitMu_);
  std::string err;
  if (host != nullptr && !o_.ownInputs) err = "submitHost needs a stream made with ownInputs";
  if (err.empty() && host != nullptr && host->size() != p_.info().inputs.size())
    err = std::to_string(host->size()) + " inputs given, the model takes " + std::to_string(p_.info().inputs.size());
  if (err.empty() && !useDevice(device())) err = "qobmSetDevice(" + std::to_string(device()) + ") failed";
  const int slot = err.empty() ? acquireSlot(true) : -1;
  if (err.empty() && slot < 0) {
    if (why != nullptr) *why = "no run completed within " + std::to_string(o_.timeoutMs) + " ms";
    return SubmitResult::kNoSlot;
  }
  if (err.empty()) {
    Slot& s = *slots_[static_cast<size_t>(slot)];
    const DeviceInputs& src = host != nullptr ? *s.own : *in;
    for (uint32_t i = 0; host != nullptr && i < host->size() && err.empty(); ++i)
      err = s.own->uploadInput(i, (*host)[i], s.own->sizes()[i]);
    if (err.empty() && pointInputs(s, src.addrs(), src.sizes(), &err))
      return submitSlot(slot, tag, std::move(done), false, why, sent);
  }
  // Refused before it reached the library: its completion carries the reason.
  Outcome oc;
  oc.tag = tag;
  oc.error = qoblERR_STREAM_INPUT;
  oc.why = err;
  oc.submitted = oc.completed = Clock::now();
  if (done) done(oc);
  if (why != nullptr) *why = err;
  return SubmitResult::kFailed;
}

SubmitResult Stream::submitSlot(int slotIndex, uint64_t tag, CompletionFn done, bool filler, std::string* why,
                                Clock::duration* sent) {
  const size_t index = static_cast<size_t>(slotIndex);
  Slot& s = *slots_[index];
  if (o_.poisonOutputs) poison(s);
  {
    std::lock_guard<std::mutex> g(mu_);
    s.busy = true;
    s.filler = filler;
    s.tag = tag;
    s.done = std::move(done);
    s.submitted = Clock::now();
    group_.push_back(index);
  }
  ErrorCapture cap;
  const Clock::time_point callStart = Clock::now();
  const qoblErr rc = qoblRunStreamAsync(stream_, s.in, s.out);
  gathering_ += Clock::now() - callStart;
  std::vector<size_t> refused;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (rc == qoblERR_SUCCESS) {
      group_.clear();
      if (sent != nullptr) *sent = gathering_;
      gathering_ = Clock::duration::zero();
      return SubmitResult::kStarted;
    }
    if (rc == qoblERR_RUN_PENDING && group_.size() < cache_) return SubmitResult::kPending;
    refused.swap(group_);   // a refused input discards the inputs gathered with it
    gathering_ = Clock::duration::zero();
  }
  const std::string err = "qoblRunStreamAsync failed: " + codeText(rc) + cap.reason();
  for (size_t i : refused) complete(i, rc == qoblERR_RUN_PENDING ? qoblERR_RUN_STREAM : rc, err, Clock::now());
  if (why != nullptr) *why = err;
  return SubmitResult::kFailed;
}

int Stream::flush(std::string* why) {
  std::lock_guard<std::mutex> serial(submitMu_);
  std::vector<uint64_t> addrs, sizes;
  size_t pending = 0;
  {
    std::lock_guard<std::mutex> g(mu_);
    pending = group_.size();
    if (pending == 0) return 0;
    addrs = slots_[group_.front()]->inAddrs;
  }
  for (const auto& t : p_.info().inputs) sizes.push_back(t.bytes);
  if (!useDevice(device())) {
    if (why != nullptr) *why = "qobmSetDevice(" + std::to_string(device()) + ") failed";
    return -1;
  }
  int sent = 0;
  for (size_t k = pending; k < cache_; ++k) {
    const int slot = acquireSlot(true);
    std::string err;
    if (slot < 0) {
      err = "no slot came free within " + std::to_string(o_.timeoutMs) + " ms for a filler input";
    } else if (pointInputs(*slots_[static_cast<size_t>(slot)], addrs, sizes, &err)) {
      if (submitSlot(slot, 0, nullptr, true, &err, nullptr) != SubmitResult::kFailed) {
        ++sent;
        continue;
      }
    }
    if (why != nullptr) *why = err;
    return -1;
  }
  return sent;
}

void Stream::complete(size_t index, uint32_t error, const std::string& why, Clock::time_point now) {
  Slot& s = *slots_[index];
  Outcome oc;
  CompletionFn done;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (!s.busy || s.completing) return;
    s.completing = true;
    oc.tag = s.tag;
    oc.slot = static_cast<uint32_t>(index);
    oc.error = error;
    oc.why = why;
    oc.output = s.out;
    oc.submitted = s.submitted;
    oc.completed = now;
    if (!s.filler) done = std::move(s.done);
    s.done = nullptr;
  }
  if (done) done(oc);
  {
    std::lock_guard<std::mutex> g(mu_);
    s.busy = false;
    s.completing = false;
  }
  cv_.notify_all();
}

void Stream::onReport(qobeOp* op, qobmDataset* input, qobmDataset* /*output*/, qoblCallbackStatus* status,
                      void* user) {
  if (status != nullptr) static_cast<Stream*>(user)->report(op, input, *status);
}

void Stream::report(qobeOp* op, qobmDataset* input, const qoblCallbackStatus& status) {
  const Clock::time_point now = Clock::now();
  size_t index = 0;
  OpReport r;
  bool filler = false;
  {
    std::lock_guard<std::mutex> g(mu_);
    const auto it = slotOf_.find(input);
    if (it == slotOf_.end()) return;   // not one of this stream's inputs
    index = it->second;
    const Slot& s = *slots_[index];
    if (!s.busy || s.completing) return;   // a report after the input was already completed
    r.tag = s.tag;
    r.slot = static_cast<uint32_t>(index);
    r.submitted = s.submitted;
    filler = s.filler;
  }
  r.op = p_.findOp(op);
  r.error = status.errorCode;
  r.end = status.isStreamEnd != 0;
  r.arrived = now;
  uint64_t startNs = 0, endNs = 0;
  if (qobcrt_sim_report_op_times(&startNs, &endNs) == 0) {
    r.cardTimes = true;
    r.cardStart = Clock::time_point(std::chrono::nanoseconds(startNs));
    r.cardEnd = Clock::time_point(std::chrono::nanoseconds(endNs));
  }
  if (hook_ && !filler) hook_(r);
  if (status.errorCode != 0) {
    complete(index, status.errorCode,
             "op " + (r.op != nullptr ? r.op->name : std::string("an unknown op")) + " reported error " +
                 codeText(status.errorCode),
             now);
  } else if (r.end) {
    complete(index, 0, "", now);
  }
}

std::string Stream::synchronize() {
  std::string flushErr;
  const bool flushed = o_.sync || flush(&flushErr) >= 0;
  std::lock_guard<std::mutex> serial(submitMu_);
  useDevice(device());
  std::vector<size_t> never;
  {
    std::lock_guard<std::mutex> g(mu_);
    never.swap(group_);
  }
  gathering_ = Clock::duration::zero();
  for (size_t i : never)
    complete(i, qoblERR_RUN_STREAM,
             "never ran: its device run waited for " + std::to_string(cache_) + " inputs" +
                 (flushed ? std::string() : " and filling it failed: " + flushErr),
             Clock::now());
  std::string err;
  qoblErr rc = 0;
  if (!o_.sync) {
    ErrorCapture cap;
    rc = qoblSynchronizeStream(stream_, o_.timeoutMs);
    if (rc != 0) err = "qoblSynchronizeStream failed: " + codeText(rc) + cap.reason();
  }
  // Every report of a completed input has been delivered once the stream is synchronised; wait briefly for
  // stragglers, then complete what never reported with an error.
  {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait_for(lk, std::chrono::milliseconds(rc == 0 ? 1000 : 1), [&] {
      return std::none_of(slots_.begin(), slots_.end(), [](const std::unique_ptr<Slot>& s) { return s->busy; });
    });
  }
  for (size_t i = 0; i < slots_.size(); ++i) complete(i, qoblERR_RUN_STREAM, "no report of its end", Clock::now());
  return err;
}

std::string Stream::runSync(const DeviceInputs& in, const std::vector<uint64_t>& tags, const CompletionFn& done) {
  std::lock_guard<std::mutex> serial(submitMu_);
  if (tags.size() != cache_ || slots_.size() < cache_)
    return "a synchronous run takes " + std::to_string(cache_) + " inputs, " + std::to_string(tags.size()) + " given";
  if (!useDevice(device())) return "qobmSetDevice(" + std::to_string(device()) + ") failed";
  ErrorCapture cap;
  std::string err;
  size_t begun = 0;
  qoblErr rc = 0;
  for (size_t i = 0; i < cache_; ++i) {
    Slot& s = *slots_[i];
    if (!pointInputs(s, in.addrs(), in.sizes(), &err)) break;
    if (o_.poisonOutputs) poison(s);
    {
      std::lock_guard<std::mutex> g(mu_);
      s.busy = true;
      s.filler = false;
      s.tag = tags[i];
      s.done = done;
      s.submitted = Clock::now();
    }
    ++begun;
    rc = qoblRunStream(stream_, s.in, s.out, o_.timeoutMs);
    const bool last = i + 1 == cache_;
    if ((!last && rc != qoblERR_RUN_PENDING) || (last && rc != qoblERR_SUCCESS)) break;
  }
  const Clock::time_point now = Clock::now();
  if (err.empty() && (rc != qoblERR_SUCCESS || begun != cache_)) err = "qoblRunStream failed: " + codeText(rc) + cap.reason();
  const uint32_t code = err.empty() ? 0 : (rc == 0 || rc == qoblERR_RUN_PENDING ? qoblERR_RUN_STREAM : rc);
  for (size_t i = 0; i < begun; ++i) complete(i, code, err, now);
  return err;
}

std::string readOutput(qobmDataset* ds, uint32_t index, const TensorInfo& t, std::vector<uint8_t>* host) {
  uint32_t count = 0;
  if (ds == nullptr || qobmGetDatasetBufferCount(ds, &count) != 0 || index >= count)
    return "the output dataset holds " + std::to_string(count) + " buffers, output " + std::to_string(index) +
           " was asked for";
  qobmDataBuffer* buf = nullptr;
  uint64_t addr = 0, size = 0;
  if (qobmGetDatasetBuffer(ds, index, &buf) != 0 || qobmGetDataBufferAddr(buf, &addr) != 0 ||
      qobmGetDataBufferSize(buf, &size) != 0)
    return "output " + std::to_string(index) + " cannot be read from its dataset";
  if (size < t.bytes)
    return "output " + std::to_string(index) + " buffer holds " + std::to_string(size) + " bytes, " +
           std::to_string(t.bytes) + " expected";
  host->resize(t.bytes);
  const int rc = qobmMemcpy(hostAddr(host->data()), addr, t.bytes, 1);
  if (rc != 0)
    return "copying output " + std::to_string(index) + " from the card failed: " + codeText(static_cast<uint32_t>(rc));
  return "";
}

}  // namespace qobltools
}  // namespace zenlar
