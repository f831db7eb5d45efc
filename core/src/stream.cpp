// OpStream: build, runs, run bookkeeping, recycling, the busy/closing handshake and the completion count.
#include "stream.h"

#include <qobcrt/qobcrt.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "graph_validation.h"
#include "i_model.h"
#include "i_stream_op.h"
#include "op_dataset_id.h"
#include "per_thread.h"
#include "qobl_log.h"
#include "singleton.h"
#include "stream_callback_manager.h"
#include "stream_instruction.h"
#include "utils/utils.h"

namespace zenlar {
namespace qobl {

// ---------------------------------------------------------------------------------------------------------
// The stream's lock

void StreamLock::waitForLock() {
  // The holder usually leaves within microseconds: the first passes only yield the processor.
  constexpr int kYieldPasses = 16;
  for (int pass = 0; pass < kYieldPasses; ++pass) {
    std::this_thread::yield();
    if (!held_.load(std::memory_order_relaxed) && !held_.exchange(true, std::memory_order_seq_cst)) return;
  }
  std::unique_lock<std::mutex> guard(mu_);
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  cv_.wait(guard, [this] { return !held_.exchange(true, std::memory_order_seq_cst); });
  waiters_.fetch_sub(1, std::memory_order_seq_cst);
}

void StreamLock::wakeOne() {
  // Taking mu_ orders the notification after the sleeper's wait began (it announced itself under mu_).
  { std::lock_guard<std::mutex> guard(mu_); }
  cv_.notify_one();
}

// ---------------------------------------------------------------------------------------------------------
// Construction, teardown

std::atomic<uint32_t> OpStream::idMaker_{0};

uint64_t ringKey(const RunStreamInstruction& run) { return run.key(); }

OpStream::OpStream(uint32_t devId, qoblBalanceMode balMode, OpDirectedGraph* graph)
    : streamId_(++idMaker_), deviceId_(devId), balMode_(balMode), graph_(graph) {
  qobmCreateEvent(1, &waitEvent_);
  if (waitEvent_ == nullptr) {
    throw std::logic_error("can't create qobm event in OpStream constructor");
  }
  logBusy_ = _qoblIsEnvSet("QOBL_LOG_BUSY");
  printRuns_ = std::getenv("NIMBRA_PIPELINE") != nullptr;
  // The bookkeeping keeps the records of finished inputs for the next ones, so that a stream running at a
  // steady rate does not allocate for them.
  spareRecords_.reserve(kSpareRecords);
}

OpStream::~OpStream() {
  destroy();
  // Anything the registry's teardown did not release (a stream deleted without release()).
  release();
}

void OpStream::destroy() {
  closing_.store(true);
  checkBusy(false);
  if (waitEvent_ != nullptr) {
    qobmDestroyEvent(waitEvent_);
    waitEvent_ = nullptr;
  }
}

void OpStream::release() {
  std::lock_guard<StreamLock> lock(streamLock_);
  graph_ = nullptr;
  // Whatever the registry's teardown did not take out (a stream deleted without it) goes without reports.
  // The device runtime keeps freed blocks valid until a run using them is done, so releasing them is safe.
  InputRecords left = takeAllRuns();
  finishInputs(left);
  spareRecords_.clear();  // with the clones they keep
  runs_.clear();
  spareRuns_.clear();
  leafNodeIRs_.clear();
  irStream_.clear();
  irRecords_.clear();
}

bool OpStream::beginDestroy(bool refuseIfRunsOnCard, InputRecords& gathered) {
  std::lock_guard<StreamLock> lock(streamLock_);
  if (destroying_.load() || (refuseIfRunsOnCard && runsInFlight() != 0)) return false;
  destroying_.store(true);
  gathered = takeCurrentRun(0);
  return true;
}

InputRecords OpStream::takeAllRuns() {
  std::lock_guard<StreamLock> lock(streamLock_);
  InputRecords all = takeCurrentRun(0);
  std::vector<uint64_t> datasetIds;
  runs_.ids(datasetIds);
  for (uint64_t id : datasetIds) {
    InputRecords run = takeRun(static_cast<uint32_t>(id), 0);
    for (auto& rec : run) all.push_back(std::move(rec));
  }
  return all;
}

size_t OpStream::runsInFlight() {
  std::lock_guard<StreamLock> lock(streamLock_);
  size_t n = runs_.size();
  if (curRunStream_ != nullptr && runs_.find(curRunStream_->datesetId()) != nullptr) --n;
  return n;
}

size_t OpStream::gatheredInputs() {
  std::lock_guard<StreamLock> lock(streamLock_);
  return curRunStream_ != nullptr ? curRunStream_->inputs().size() : 0;
}

bool OpStream::waitRunsInFlight(uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (runsInFlight() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

void OpStream::close() {
  closing_.store(true);
  checkBusy(false);
  // Wake a thread still waiting in synchronize; it sees closing_ and returns.
  if (waitEvent_ != nullptr) qobmSetEvent(waitEvent_);
}

// ---------------------------------------------------------------------------------------------------------
// Busy handshake

bool OpStream::checkBusy(bool noWait) {
  // The completion path usually leaves the stream within microseconds: the first passes only yield the
  // processor, then the thread waits until setBusy(false) wakes it (a short sleep instead would cost the
  // kernel's timer slack, about 50 microseconds on Linux).  The wait's time limit only guards the loop.
  constexpr uint32_t kYieldPasses = 16;
  // An idle stream answers at once: busy_ is only set by the completion path, which may start a delivery
  // right after this check with the lock as well as without it.
  if (!busy_.load()) return false;
  for (uint32_t pass = 0;; ++pass) {
    {
      std::lock_guard<StreamLock> lock(streamLock_);
      if (!busy_.load()) return false;
      if (noWait) return true;
    }
    if (logBusy_) QOBL_LOG_WARN("Waiting for stream %u recycle process to complete ...\n", streamId_);
    if (pass < kYieldPasses) {
      std::this_thread::yield();
      continue;
    }
    // Announced under busyMu_ before the condition is read: setBusy(false) clears busy_ and then looks for
    // announced waiters, so either this thread sees the stream idle or setBusy(false) wakes it.
    std::unique_lock<std::mutex> idle(busyMu_);
    ++busyWaiters_;
    busyCv_.wait_for(idle, std::chrono::milliseconds(1), [this] { return !busy_.load(); });
    --busyWaiters_;
  }
}

namespace {
// The stream the calling thread has marked busy (the completion path, between setBusy(true) and
// setBusy(false)): its completion wake waits for setBusy(false).
QOBL_THREAD_LOCAL OpStream* tBusyStream = nullptr;
}  // namespace

bool OpStream::setBusy(bool busy) {
  // Only the completion path marks a stream busy, and it takes no lock for it: busy_ and closing_ are
  // sequentially consistent, and each side writes its own flag before it reads the other's.  So either
  // close() sees the stream busy (and waits for setBusy(false)) or this call sees it closing (and backs
  // off, as if it had never marked it).
  if (busy) {
    if (busy_.load()) return true;
    if (closing_.load()) return false;
    busy_.store(true);
    if (closing_.load()) {
      leaveBusy();
      return false;
    }
    tBusyStream = this;
    return true;
  }
  if (!busy_.load()) return !closing_.load();
  leaveBusy();
  if (tBusyStream == this) tBusyStream = nullptr;
  // The waiter a completion satisfied is woken only now, with the stream idle: woken earlier it would find
  // the stream busy at its next submission and wait for this thread a second time.  The caller's reference
  // (StreamRef) keeps the event until then.
  if (wakeOnIdle_) {
    wakeOnIdle_ = false;
    qobmSetEvent(waitEvent_);
  }
  return true;
}

void OpStream::leaveBusy() {
  busy_.store(false);
  // Waiters announce themselves under busyMu_ before they read busy_ (checkBusy), so one that this load
  // misses has not read busy_ yet and finds the stream idle.  Taking busyMu_ orders the wake after its wait
  // began.
  if (busyWaiters_.load() == 0) return;
  { std::lock_guard<std::mutex> idle(busyMu_); }
  busyCv_.notify_all();
}

void OpStream::signalCompleted() {
  if (!isCompleted() || waitEvent_ == nullptr) return;
  if (tBusyStream == this) {
    wakeOnIdle_ = true;  // the completion path wakes the waiter when it leaves (setBusy(false))
    return;
  }
  qobmSetEvent(waitEvent_);
}

// ---------------------------------------------------------------------------------------------------------
// Build and queries

namespace {
// Holds the locks of a stream's dynamic models (in the order given) for its lifetime.
class ModelLocks {
 public:
  explicit ModelLocks(const std::vector<IModel*>& models) : models_(models) {
    for (IModel* m : models_) {
      if (std::recursive_mutex* mu = m->configurationLock()) mu->lock();
    }
  }
  ~ModelLocks() {
    for (auto it = models_.rbegin(); it != models_.rend(); ++it) {
      if (std::recursive_mutex* mu = (*it)->configurationLock()) mu->unlock();
    }
  }
  ModelLocks(const ModelLocks&) = delete;
  ModelLocks& operator=(const ModelLocks&) = delete;

 private:
  const std::vector<IModel*>& models_;
};

// The dynamic models of a graph's run-model ops, each once, in address order (the order their locks are
// taken in).
std::vector<IModel*> dynamicModelsOf(OpDirectedGraph& graph) {
  std::vector<IModel*> models;
  for (OpDGNode* node : graph) {
    IStreamOp* op = node->getStreamOp();
    IModel* model = op != nullptr && op->opType() == qobeOP_RUN_MODEL_OP ? op->getModel() : nullptr;
    if (model != nullptr && model->isDynamic()) models.push_back(model);
  }
  std::sort(models.begin(), models.end());
  models.erase(std::unique(models.begin(), models.end()), models.end());
  return models;
}
}  // namespace

bool OpStream::build() {
  std::lock_guard<StreamLock> lock(streamLock_);
  if (isBuilt_.load()) {
    QOBL_LOG_ERROR("Failed to build stream %d, it has been built before.\n", streamId_);
    return false;
  }
  // Building reads a dynamic model's sizes several times (validation, then the records): its lock keeps
  // another thread from loading the model at other shapes in between.
  const std::vector<IModel*> graphDynamic = graph_ != nullptr ? dynamicModelsOf(*graph_) : std::vector<IModel*>{};
  const ModelLocks held(graphDynamic);
  if (graph_ == nullptr || !validateDRGraph(*graph_) || !checkCoreLayoutOutputs(*graph_) ||
      !checkModelsOnCard(*graph_, deviceId_))
    return false;
  OpDirectedGraph::NodeList nodes;
  if (!generateOpNodeStream(*graph_, nodes)) {
    QOBL_LOG_ERROR("Failed to generate node stream %d.\n", streamId_);
    return false;
  }
  setDeviceId(nodes, deviceId_);
  std::vector<std::unique_ptr<OpIRInstruction>> records;
  try {
    for (size_t i = 0; i < nodes.size(); ++i) {
      nodes[i]->getStreamOp()->setStreamId(streamId_);
      records.push_back(std::make_unique<OpIRInstruction>(nodes[i], static_cast<uint32_t>(i)));
    }
  } catch (const std::exception& e) {
    QOBL_LOG_ERROR("Failed to build stream %d: %s\n", streamId_, e.what());
    return false;
  }
  irRecords_ = std::move(records);
  spareRuns_.reserve(kSpareRuns);
  irStream_.clear();
  for (const auto& r : irRecords_) irStream_.push_back(r.get());
  leafNodeIRs_.clear();
  streamLeafNodeOutputCount_ = 0;
  for (OpIRInstruction* ir : irStream_) {
    if (ir->isLeafNode) {
      leafNodeIRs_.push_back(ir);
      streamLeafNodeOutputCount_ += ir->outputCount;
    }
  }
  for (OpIRInstruction* ir : irStream_) {
    if (ir->getStreamOp() != nullptr && ir->getStreamOp()->getOutputFlag()) ir->opFlag |= qobe::GET_OUTPUT_FLAG;
  }
  endOpUId_ = nodes.empty() ? 0 : nodes.back()->getStreamOp()->uid();
  hasDynamicModels_ = false;
  dynamicModels_.clear();
  for (size_t i = 1; i < irStream_.size(); ++i) {
    IStreamOp* op = irStream_[i]->opType == qobeOP_RUN_MODEL_OP ? irStream_[i]->getStreamOp() : nullptr;
    IModel* model = op != nullptr ? op->getModel() : nullptr;
    if (model != nullptr && model->isDynamic()) {
      hasDynamicModels_ = true;
      dynamicModels_.push_back(model);
    }
  }
  std::sort(dynamicModels_.begin(), dynamicModels_.end());
  dynamicModels_.erase(std::unique(dynamicModels_.begin(), dynamicModels_.end()), dynamicModels_.end());
  loadedGenerations_.assign(dynamicModels_.size(), 0);
  isBuilt_.store(true);
  return true;
}

qoblErr OpStream::registerOpGetOutput(qobeOp* op) {
  std::lock_guard<StreamLock> lock(streamLock_);
  if (isBuilt_.load()) return qoblERR_STREAM_ALREADY_BUILT;
  uint32_t uid = 0;
  if (op == nullptr || graph_ == nullptr || qobeGetOpAttr(op, "uid", qobeATTR_UINT32, &uid) != 0)
    return qoblERR_OP_NOT_IN_STREAM;
  OpDGNode* node = graph_->findNode(uid);
  if (node == nullptr || node->getStreamOp() == nullptr) return qoblERR_OP_NOT_IN_STREAM;
  node->getStreamOp()->markGetOutputFlag();
  return qoblERR_SUCCESS;
}

qoblErr OpStream::requestOutputDataset(qobmDataset** dataset) {
  if (!isBuilt_.load()) return qoblERR_STREAM_NOT_BUILT;
  if (dataset == nullptr || leafNodeIRs_.empty()) return qoblERR_RUN_STREAM;
  qobmDeviceInfo dev{qobmDE_QOBC, leafNodeIRs_.front()->deviceId};
  qobmDataset* ds = nullptr;
  if (qobmCreateDataset(qobmDM_BUFFER, &ds) != 0 || ds == nullptr) return qoblERR_RUN_STREAM;
  bool ok = true;
  std::string why;   // what failed, for the log
  for (OpIRInstruction* ir : leafNodeIRs_) {
    for (uint32_t j = 0; ok && j < ir->outputCount; ++j) {
      const uint64_t size = j < ir->outputSizes.size() ? ir->outputSizes[j] : 0;
      uint64_t addr = 0;
      if (qobmMalloc(size, &addr) != 0) {
        why = "the card's memory ran out (" + std::to_string(size) + " bytes for output " + std::to_string(j) +
              " of op " + ir->opName + ")";
        ok = false;
        break;
      }
      QOBL_LOG_TRACE("[qobl]: Malloc DDR buffer for output. Address: %p, size is %d, in op [%s].\n",
                     reinterpret_cast<void*>(addr), static_cast<int>(size), ir->opName.c_str());
      qobmDataBuffer* buffer = nullptr;
      if (qobmCreateDataBuffer(dev, addr, size, &buffer) != 0 || qobmAddDatasetBuffer(ds, buffer) != 0) {
        if (buffer != nullptr) qobmDestroyDataBuffer(buffer);
        qobmFree(addr);
        why = "the buffer of output " + std::to_string(j) + " of op " + ir->opName + " could not be added";
        ok = false;
      }
    }
    if (!ok) break;
  }
  if (!ok) {
    // Undo everything made so far: the dataset is the caller's only when complete.
    uint32_t count = 0;
    qobmGetDatasetBufferCount(ds, &count);
    for (uint32_t i = 0; i < count; ++i) {
      qobmDataBuffer* buffer = nullptr;
      uint64_t addr = 0;
      if (qobmGetDatasetBuffer(ds, i, &buffer) == 0 && buffer != nullptr) {
        if (qobmGetDataBufferAddr(buffer, &addr) == 0) qobmFree(addr);
        qobmDestroyDataBuffer(buffer);
      }
    }
    qobmDestroyDataset(ds);
    QOBL_LOG_ERROR("Failed to make the output dataset of stream %u: %s.\n", streamId_, why.c_str());
    return qoblERR_RUN_STREAM;
  }
  *dataset = ds;
  return qoblERR_SUCCESS;
}

bool OpStream::isLeafNode(uint32_t uid) {
  for (OpIRInstruction* ir : irStream_) {
    if (ir->isLeafNode && ir->uid == uid) return true;
  }
  return false;
}

void OpStream::getCacheNumber(uint32_t& num) {
  num = irStream_.empty() ? 0 : irStream_.front()->loopCount;
}

qobeOp* OpStream::endOp() {
  if (irStream_.empty() || irStream_.back()->getStreamOp() == nullptr) return nullptr;
  return irStream_.back()->getStreamOp()->getOp();
}

std::vector<uint32_t> OpStream::getInstanceInputIds(uint32_t datasetId) {
  std::vector<uint32_t> ids;
  // Under the table's lock, which keeps the run in the table while its ids are copied.
  runs_.visit(datasetId, [&ids](RunStreamInstruction& run) {
    for (const auto& rec : run.inputs()) ids.push_back(rec->inputId);
  });
  return ids;
}

size_t OpStream::inputsOf(uint32_t datasetId) {
  size_t n = 0;
  runs_.visit(datasetId, [&n](RunStreamInstruction& run) { n = run.inputs().size(); });
  return n;
}

IRunStreamInstruction* OpStream::getRunstreamInstruction(uint32_t datasetId) {
  return runs_.find(datasetId);
}

StreamDataset* OpStream::getDatasets(uint64_t inputSeq) {
  std::lock_guard<StreamLock> lock(streamLock_);
  std::vector<uint64_t> datasetIds;
  runs_.ids(datasetIds);
  StreamDataset* found = nullptr;
  for (size_t r = 0; r < datasetIds.size() && found == nullptr; ++r) {
    runs_.visit(datasetIds[r], [&found, inputSeq](RunStreamInstruction& run) {
      for (const std::unique_ptr<StreamDataset>& rec : run.inputs()) {
        if (rec->inputId == inputSeq) found = rec.get();
      }
    });
  }
  return found;
}

qobmDataset* OpStream::getLeafNodeDataset(uint32_t uid, qobmDataset* outputDataset) {
  qobmDatasetMode mode = qobmDM_BUFFER;
  int rc = 0;
  QOBL_CALL_OR(rc, qobmGetDatasetMode(outputDataset, &mode), return nullptr);
  qobmDataset* dataset = nullptr;
  QOBL_CALL_OR(rc, qobmCreateDataset(mode, &dataset), return nullptr);
  uint32_t offset = 0;
  for (OpIRInstruction* ir : leafNodeIRs_) {
    for (uint32_t j = 0; ir->uid == uid && j < ir->outputCount; ++j) {
      if (!qoblUtilsCopyDatasetEntry(outputDataset, offset + j, mode, dataset, "outputDataset", "offset + j")) {
        qobmDestroyDataset(dataset);
        return nullptr;
      }
    }
    offset += ir->outputCount;
  }
  return dataset;
}

qobmDataset* OpStream::leafOutputDataset(uint32_t uid, const StreamDataset& rec, bool& borrowed) {
  // The clone holds the leaf ops' outputs in leaf order: with one leaf op, they are all of that op's.
  borrowed = rec.ownsOutput && rec.output != nullptr && leafNodeIRs_.size() == 1 && leafNodeIRs_[0]->uid == uid;
  if (borrowed) return rec.output;
  return rec.output != nullptr ? getLeafNodeDataset(uid, rec.output) : nullptr;
}

// ---------------------------------------------------------------------------------------------------------
// Completion count and synchronisation

bool OpStream::callbackCount() {
  uint64_t cur = waitHandleCount_.load();
  while (true) {
    if (cur == 0) {
      QOBL_LOG_ERROR("Failed to callback count for stream [%d] because of waiting handle count is zero.\n",
                     streamId_);
      return false;
    }
    if (waitHandleCount_.compare_exchange_weak(cur, cur - 1)) break;
  }
  signalCompleted();
  return true;
}

void OpStream::uncount(uint32_t n) {
  if (n == 0) return;
  // Each of the n inputs was counted once, so the count holds them all: they go in one step, and the event
  // is set once, as the last of n single steps would have set it.
  uint64_t cur = waitHandleCount_.load();
  while (cur >= n) {
    if (waitHandleCount_.compare_exchange_weak(cur, cur - n)) {
      signalCompleted();
      return;
    }
  }
  for (uint32_t i = 0; i < n; ++i) callbackCount();  // a miscount: refused and logged one by one
}

bool OpStream::isCompleted() {
  // A thread inside synchronize counts as waiting from its first step on (waiters_ is raised first).
  return (waiting_.load() || waiters_.load() != 0) && waitHandleCount_.load() == 0;
}

bool OpStream::waitWouldBlockReports() {
  // The inputs of the stream whose report this thread delivers complete only after the delivery; a run on
  // the card may be reported by this very thread (the device's reporting thread).
  IOpStream* delivering = deliveringStream();
  return delivering != nullptr && (delivering == this || runsInFlight() != 0);
}

qoblErr OpStream::synchronize(uint32_t timeout) {
  // From a report callback the wait cannot end while it needs this thread's reports: it ends at once, and a
  // wait for other runs ends once one of them is on the card.
  const bool inDelivery = deliveringStream() != nullptr;
  // Several threads may wait at once: the stream counts as waiting until the last of them leaves.
  ++waiters_;
  waiting_.store(true);
  // The event is a hint: a signal left over from an earlier completion only makes the loop look again, so
  // the wait ends exactly when the count reaches 0 or the time-out passes.
  // The clock is read once before the first wait (which may take the whole time-out) and again only before
  // a later one.
  const bool forever = timeout == UINT32_MAX;
  std::chrono::steady_clock::time_point deadline;
  bool timed = false;
  qoblErr result = qoblERR_STREAM_SYNC_TIMEOUT;
  while (true) {
    if (waitHandleCount_.load() == 0) {
      result = qoblERR_SUCCESS;
      break;
    }
    if (closing_.load()) break;
    if (inDelivery && waitWouldBlockReports()) {
      QOBL_LOG_ERROR("Failed to synchronize stream %u: from a report callback, the callback's own stream and a "
                     "stream with runs on the card cannot be waited for; wait from an application thread.\n",
                     streamId_);
      break;
    }
    uint32_t slice = UINT32_MAX;
    if (!forever) {
      if (!timed) {
        if (timeout == 0) break;
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
        timed = true;
        slice = timeout;
      } else {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        slice = static_cast<uint32_t>(left > 0 ? left : 1);
      }
    }
    // From a report callback the wait looks again every few milliseconds for a run sent meanwhile.
    if (inDelivery) slice = std::min<uint32_t>(slice, kDeliveryWaitSliceMs);
    qobmWaitEvent(waitEvent_, slice);
  }
  if (--waiters_ == 0) waiting_.store(false);
  if (result == qoblERR_SUCCESS) {
    QOBL_LOG_TRACE("Stream [%d] synchronized successfully because wait to event.", streamId_);
  } else {
    QOBL_LOG_INFO("Timeout occured when waiting for stream completion.");
  }
  return result;
}

// ---------------------------------------------------------------------------------------------------------
// Runs

qoblErr OpStream::applyShapes(IStreamOp* op, IModel* model) {
  IStreamOp* inputOp = op->getInputOp();
  std::vector<qoblShape> shapes;
  if (inputOp != nullptr) shapes = inputOp->getOutputShapes();
  for (const qoblShape& s : shapes) {
    if (s.ndims != 4) {
      QOBL_LOG_ERROR("Wrong input Op's shapes, op name is %s. \n", inputOp->name().c_str());
      return qoblERR_RUN_STREAM;
    }
  }
  uint32_t batch = 0;
  if (!model->getBatchSize(batch)) {
    QOBL_LOG_ERROR("Can't get batch size of model. \n");
    return qoblERR_RUN_STREAM;
  }
  if (!model->setInputShape(shapes)) {
    QOBL_LOG_ERROR("Failed to set input Shape for dynamic shape model.\n");
    return qoblERR_RUN_STREAM;
  }
  if (!model->setBatchSize(batch)) {
    QOBL_LOG_ERROR("Failed to set batch size for dynamic shape model.\n");
    return qoblERR_RUN_STREAM;
  }
  return qoblERR_SUCCESS;
}

qoblErr OpStream::updateDynamicModel() {
  if (!hasDynamicModels_) return qoblERR_SUCCESS;
  for (size_t i = 1; i < irStream_.size(); ++i) {
    OpIRInstruction* ir = irStream_[i];
    IStreamOp* op = ir->opType == qobeOP_RUN_MODEL_OP ? ir->getStreamOp() : nullptr;
    IModel* model = op != nullptr ? op->getModel() : nullptr;
    if (model == nullptr || !model->isDynamic()) continue;
    const qoblErr rc = applyShapes(op, model);
    if (rc != qoblERR_SUCCESS) return rc;
  }
  return qoblERR_SUCCESS;
}

void OpStream::dynamicShapes(std::vector<qoblShape>& shapes) {
  shapes.clear();
  if (!hasDynamicModels_) return;
  for (size_t i = 1; i < irStream_.size(); ++i) {
    OpIRInstruction* ir = irStream_[i];
    if (ir->opType != qobeOP_RUN_MODEL_OP) continue;
    IStreamOp* op = ir->getStreamOp();
    IModel* model = op != nullptr ? op->getModel() : nullptr;
    if (model == nullptr || !model->isDynamic() || op->getInputOp() == nullptr) continue;
    const std::vector<qoblShape> opShapes = op->getInputOp()->getOutputShapes();
    shapes.insert(shapes.end(), opShapes.begin(), opShapes.end());
  }
}

bool OpStream::fitsRunBeingFilled() {
  if (curRunStream_ == nullptr || !hasDynamicModels_) return true;
  std::vector<qoblShape> now;
  dynamicShapes(now);
  auto same = [](const qoblShape& a, const qoblShape& b) {
    return a.ndims == b.ndims && std::equal(a.shapes, a.shapes + std::min<uint32_t>(a.ndims, 6), b.shapes);
  };
  if (now.size() == runShapes_.size() && std::equal(now.begin(), now.end(), runShapes_.begin(), same)) return true;
  QOBL_LOG_ERROR("Failed to run stream %u: the input's shapes differ from those of the inputs gathered for the "
                 "device run being filled; a device run holds inputs of one shape.\n",
                 streamId_);
  return false;
}


bool OpStream::dynamicModelsLoadedElsewhere() {
  for (size_t i = 0; i < dynamicModels_.size(); ++i) {
    if (dynamicModels_[i]->configurationGeneration() != loadedGenerations_[i]) return true;
  }
  return false;
}

void OpStream::noteDynamicModelsLoaded() {
  for (size_t i = 0; i < dynamicModels_.size(); ++i) loadedGenerations_[i] = dynamicModels_[i]->configurationGeneration();
}

qoblErr OpStream::generateRunStreamInstruction(std::unique_ptr<StreamDataset>& input, const uint64_t* inputs,
                                               uint64_t inputCount, const uint64_t* outputs, uint64_t outputCount) {
  if (input == nullptr) return qoblERR_STREAM_INPUT;
  // Input ids come from one counter, so an id can only repeat within the run being filled.
  if (curRunStream_ != nullptr && curRunStream_->hasInputId(input->inputId)) {
    QOBL_LOG_ERROR("Repeated inputDataId for stream %d.\n", streamId_);
    return qoblERR_STREAM_INPUT;
  }
  if (irStream_.empty()) return qoblERR_STREAM_INPUT;
  if (inputCount != irStream_.front()->inputCount) {
    QOBL_LOG_ERROR("Input count mismatch with stream's allowed input count. \n");
    return qoblERR_STREAM_INPUT;
  }
  // The dynamic models are loaded for this run and the run is prepared with no load of another thread in
  // between (no model, and no lock, for a stream without dynamic models).
  const ModelLocks held(dynamicModels_);
  if (curRunStream_ == nullptr) {
    std::unique_ptr<RunStreamInstruction> run;
    if (!spareRuns_.empty()) {
      run = std::move(spareRuns_.back());
      spareRuns_.pop_back();
      run->reuse(DatasetId::generateId());
    } else {
      run = std::make_unique<RunStreamInstruction>(DatasetId::generateId(), irStream_, deviceId_);
    }
    curRunStream_ = run.get();
    const uint32_t datasetId = run->key();
    runs_.put(datasetId, std::move(run));
    // The run's first input sets the dynamic models' shapes for the whole run (fitsRunBeingFilled keeps
    // inputs of other shapes out of it).
    if (hasDynamicModels_) {
      const qoblErr dyn = updateDynamicModel();
      if (dyn != qoblERR_SUCCESS) return dyn;
      noteDynamicModelsLoaded();
      dynamicShapes(runShapes_);
    }
  }
  if (!curRunStream_->setInOutputData(inputs, inputCount, outputs, outputCount)) return qoblERR_STREAM_INPUT;
  qoblErr status = qoblERR_RUN_PENDING;
  if (curRunStream_->isReady()) {
    // Loaded by another stream or the application since the run's first input: loaded again for the
    // run's shapes (the input op still declares them: fitsRunBeingFilled).
    bool loaded = true;
    if (hasDynamicModels_ && dynamicModelsLoadedElsewhere()) {
      loaded = updateDynamicModel() == qoblERR_SUCCESS;
      if (loaded) noteDynamicModelsLoaded();
    }
    status = loaded && curRunStream_->build() ? qoblERR_SUCCESS : qoblERR_STREAM_INSTRUCTION;
  }
  // The input is recorded also when the build failed, so that taking the run out takes it with the others.
  // No lock but the stream's: the records of the run being filled are read only under the stream's lock
  // (run bookkeeping, teardown) and by the completion path once the card reports the run, which it can do
  // only after the run was handed to it, after this call.
  curRunStream_->addInput(std::move(input));
  if (printRuns_) curRunStream_->print();
  return status;
}

void OpStream::dropFailedInput(std::unique_ptr<StreamDataset>& rec) {
  const bool counted = rec != nullptr && rec->counted;
  rec.reset();
  if (counted) uncount(1);
}

InputRecords OpStream::takeRun(uint32_t datasetId, uint32_t exceptInputId) {
  InputRecords taken;
  takeRun(datasetId, exceptInputId, taken);
  return taken;
}

void OpStream::detachRun(uint32_t datasetId, InputRecords& inputs) {
  std::unique_ptr<RunStreamInstruction> inst = runs_.take(datasetId);
  if (inst != nullptr && inst.get() == curRunStream_) curRunStream_ = nullptr;
  if (inst == nullptr) return;
  inst->takeInputs(inputs);
  inst->reset(0);  // the run's device memory goes now
  if (spareRuns_.size() < kSpareRuns && isBuilt_.load() && graph_ != nullptr) spareRuns_.push_back(std::move(inst));
}

void OpStream::takeRun(uint32_t datasetId, uint32_t exceptInputId, InputRecords& taken) {
  std::lock_guard<StreamLock> lock(streamLock_);
  // takenInputs_ is only used under streamLock_, by calls that do not take a run again meanwhile.
  InputRecords& inputs = takenInputs_;
  detachRun(datasetId, inputs);
  std::unique_ptr<StreamDataset> failed;
  for (std::unique_ptr<StreamDataset>& rec : inputs) {
    if (exceptInputId != 0 && rec->inputId == exceptInputId) {
      failed = std::move(rec);
    } else {
      taken.push_back(std::move(rec));
    }
  }
  inputs.clear();
  dropFailedInput(failed);
}

InputRecords OpStream::takeCurrentRun(uint32_t exceptInputId) {
  std::lock_guard<StreamLock> lock(streamLock_);
  if (curRunStream_ == nullptr) return {};
  return takeRun(curRunStream_->datesetId(), exceptInputId);
}

bool OpStream::keepRecord(std::unique_ptr<StreamDataset>& rec) {
  const bool counted = rec->counted;
  // The record waits for a later input with its clone, which serves that input again when its output
  // dataset holds the same entries; a record that is not kept destroys it.
  if (rec->ownsOutput && rec->output != nullptr) {
    rec->dropKeptClone();
    rec->keptClone = rec->output;
  }
  rec->output = nullptr;
  rec->ownsOutput = false;
  if (spareRecords_.size() < kSpareRecords) spareRecords_.push_back(std::move(rec));
  rec.reset();
  return counted;
}

namespace {
// The record keeps a clone of exactly these entries (a handful: compared one by one).
bool keepsCloneOf(const StreamDataset& rec, const DatasetEntries& entries) {
  const size_t n = entries.handles.size();
  if (rec.keptClone == nullptr || rec.cloneMode != entries.mode || rec.cloneEntries.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (rec.cloneEntries[i] != entries.handles[i]) return false;
  }
  return true;
}
}  // namespace

std::unique_ptr<StreamDataset> OpStream::takeSpareRecord(const DatasetEntries* entries, bool& keepsClone) {
  keepsClone = false;
  const size_t n = spareRecords_.size();
  if (n == 0) return nullptr;
  size_t pick = n - 1;
  if (entries != nullptr) {
    for (size_t i = n, stop = n > kCloneSearch ? n - kCloneSearch : 0; i-- > stop;) {
      if (keepsCloneOf(*spareRecords_[i], *entries)) {
        pick = i;
        keepsClone = true;
        break;
      }
    }
  }
  if (pick != n - 1) spareRecords_[pick].swap(spareRecords_.back());
  std::unique_ptr<StreamDataset> rec = std::move(spareRecords_.back());
  spareRecords_.pop_back();
  return rec;
}

qobmDataset* OpStream::outputClone(StreamDataset& rec, const DatasetEntries& entries) {
  qobmDataset* clone = qoblCloneDataset(entries);
  if (clone == nullptr) return nullptr;
  rec.dropKeptClone();
  rec.cloneMode = entries.mode;
  rec.cloneEntries = entries.handles;
  return clone;
}

void OpStream::finishInputs(InputRecords& inputs) {
  uint32_t completed = 0;
  {
    std::lock_guard<StreamLock> lock(streamLock_);
    for (auto& rec : inputs) {
      if (keepRecord(rec)) ++completed;
    }
  }
  inputs.clear();
  uncount(completed);
}

void OpStream::failInputs(InputRecords& inputs, uint32_t code) {
  if (!inputs.empty()) Singleton<StreamCallbackManager>::getInstance()->reportFailedInputs(this, inputs, code);
  finishInputs(inputs);
}

void OpStream::recycleInstructionMemory(uint32_t datasetId, bool /*destroyOutputDataset*/) {
  // takeRun and finishInputs in one hold of the lock, without the list between them: the run's device
  // memory goes first, then the inputs' records.  They are kept last input first, so that the next run's
  // inputs, which usually come with the same output datasets in the same order, find the records keeping
  // their clones at the top of the spares.
  uint32_t completed = 0;
  {
    std::lock_guard<StreamLock> lock(streamLock_);
    InputRecords& inputs = takenInputs_;
    detachRun(datasetId, inputs);
    for (size_t k = inputs.size(); k-- > 0;) {
      if (keepRecord(inputs[k])) ++completed;
    }
    inputs.clear();
  }
  uncount(completed);
}

qoblErr OpStream::gatherInput(std::unique_ptr<StreamDataset>& input, const std::vector<uint64_t>& ins,
                              const std::vector<uint64_t>& outs, RunStreamInstruction*& ready) {
  const qoblErr rc = generateRunStreamInstruction(input, ins.data(), ins.size(), outs.data(), outs.size());
  if (rc == qoblERR_RUN_PENDING) return rc;
  if (rc != qoblERR_SUCCESS) return qoblERR_RUN_STREAM;
  // The run leaves curRunStream_ now so that other inputs start a new one while the card works.
  ready = curRunStream_;
  curRunStream_ = nullptr;
  return qoblERR_SUCCESS;
}

qoblErr OpStream::openRun(qobmDataset* input, qobmDataset* output, const DatasetEntries* asyncOutput,
                          uint32_t& inputId, RunStreamInstruction*& ready) {
  const bool async = asyncOutput != nullptr;
  if (!isBuilt_.load()) {
    QOBL_LOG_ERROR("Failed to run stream %d because it has not been built before.\n", streamId_);
    return qoblERR_RUN_STREAM;
  }
  if (async && waiting_.load()) {
    QOBL_LOG_INFO("Run stream: waiting=%s", "true");
    return qoblERR_RUN_STREAM;
  }
  if (async && tDeliveringStream == this) {
    QOBL_LOG_ERROR("Failed to run stream %u: a report callback may not run its own stream.\n", streamId_);
    return qoblERR_RUN_STREAM;
  }
  if (async && busy_.load()) checkBusy(false);  // an idle stream needs no call
  // The addresses are copied into the run before openRun returns, and nothing openRun calls runs another
  // openRun on this thread, so each thread's scratch lists serve all its calls (one per-thread record,
  // reached once).
  struct Scratch {
    std::vector<uint64_t> ins, outs;
  };
  Scratch& scratch = PerThread<Scratch>::get();
  std::vector<uint64_t>& ins = scratch.ins;
  qoblGetDatasetDataAddrs(input, ins);
  // An asynchronous input's output addresses were read with its memory check.
  if (!async) qoblGetDatasetDataAddrs(output, scratch.outs);
  const std::vector<uint64_t>& outs = async ? asyncOutput->addrs : scratch.outs;
  if (outs.size() != streamLeafNodeOutputCount_) {
    QOBL_LOG_ERROR("Failed to run stream %d because output datasets is not incomplete.\n", streamId_);
    return qoblERR_RUN_STREAM;
  }
  // Held in a unique_lock: a failed gathering releases it before the run's other inputs are failed.
  std::unique_lock<StreamLock> lock(streamLock_);
  if (destroying_.load()) {
    QOBL_LOG_ERROR("Failed to run stream %u because it is being destroyed.\n", streamId_);
    return qoblERR_RUN_STREAM;
  }
  if (hasDynamicModels_ && !fitsRunBeingFilled()) return qoblERR_RUN_STREAM;
  bool keepsClone = false;
  std::unique_ptr<StreamDataset> rec = takeSpareRecord(asyncOutput, keepsClone);
  if (rec == nullptr) rec = std::make_unique<StreamDataset>(0, nullptr, nullptr, false, false);
  // An asynchronous input's outputs are reported through a clone the stream owns: the one the record
  // keeps when it holds these entries, else a new one.
  qobmDataset* out = output;
  if (keepsClone) {
    out = rec->keptClone;
    rec->keptClone = nullptr;
  } else if (async) {
    out = outputClone(*rec, *asyncOutput);
  }
  if (out == nullptr) {
    if (spareRecords_.size() < kSpareRecords) spareRecords_.push_back(std::move(rec));
    return qoblERR_RUN_STREAM;
  }
  inputId = ++inputSeq_;
  rec->inputId = inputId;
  rec->input = input;
  rec->output = out;
  rec->ownsOutput = async;
  rec->counted = async;
  if (async) ++waitHandleCount_;
  const qoblErr rc = gatherInput(rec, ins, outs, ready);
  if (rc == qoblERR_RUN_PENDING || rc == qoblERR_SUCCESS) return rc;
  // This input is released (whether or not its run took its record) and the run being filled is taken
  // out, under the lock; the others are failed without it.
  dropFailedInput(rec);
  InputRecords dropped = takeCurrentRun(inputId);
  lock.unlock();
  failInputs(dropped, qoblERR_RUN_STREAM);
  QOBL_LOG_ERROR("Failed to run stream %d because fail to generate stream instruction.\n", streamId_);
  return qoblERR_RUN_STREAM;
}

qoblErr OpStream::run(qobmDataset* input, qobmDataset* output, uint32_t timeout) {
  uint32_t inputId = 0;
  RunStreamInstruction* inst = nullptr;
  const qoblErr rc = openRun(input, output, nullptr, inputId, inst);
  if (rc != qoblERR_SUCCESS) return rc;
  uint32_t devStatus = 0;
  const int result =
      qobcrt_run_stream_sync(deviceId_, static_cast<uint32_t>(inst->address() & 0xffffffffu), timeout, &devStatus);
  return finishSyncRun(inst->datesetId(), inputId, result, devStatus);
}

qoblErr OpStream::finishSyncRun(uint32_t datasetId, uint32_t inputId, int result, uint32_t devStatus) {
  uint32_t status = 0;
  if (devStatus != 0) qobmNormalizeErrorCode(devStatus, &status);
  // Other inputs gathered in this run (asynchronous ones, or synchronous ones left pending) learn their
  // outcome from the report callbacks, as if the card had reported the run.
  const uint32_t failure = status != 0 ? status : (result != 0 ? static_cast<uint32_t>(qoblERR_RUN_STREAM) : 0u);
  if (failure == 0 && inputsOf(datasetId) > 1) {
    std::vector<uint32_t> reported;
    for (size_t i = 1; i < irStream_.size(); ++i) {
      if ((irStream_[i]->opFlag & qobe::GET_OUTPUT_FLAG) != 0) reported.push_back(irStream_[i]->uid);
    }
    Singleton<StreamCallbackManager>::getInstance()->reportSyncRun(this, datasetId, inputId, reported);
  }
  // On a time-out the card still finishes the run later; the device runtime keeps the blocks freed here
  // valid until then.
  InputRecords others = takeRun(datasetId, inputId);
  if (failure != 0) {
    failInputs(others, failure);
  } else {
    finishInputs(others);
  }
  if (result != 0 || status != 0) {
    QOBL_LOG_ERROR("Failed to run stream sync, returned: %d, error: %u (%s).\n", result, status,
                   qoblUtilsErrDesc(status).c_str());
    return qoblERR_RUN_STREAM;
  }
  return qoblERR_SUCCESS;
}

qoblErr OpStream::runAsync(qobmDataset* input, const DatasetEntries& output) {
  // The log checks of this submission (the build's debug lines among them) read the threshold once; the
  // report callbacks a failing submission calls on this thread read it again after them.
  const LogLevelReading logLevel;
  uint32_t inputId = 0;
  RunStreamInstruction* inst = nullptr;
  const qoblErr rc = openRun(input, output.dataset, &output, inputId, inst);
  if (rc != qoblERR_SUCCESS) return rc;
  const uint32_t datasetId = inst->datesetId();
  run_stream rec;
  std::memset(&rec, 0, sizeof rec);
  rec.dev = deviceId_;
  rec.stream_id = streamId_;
  rec.data_id = datasetId;
  rec.stream_addr = static_cast<uint32_t>(inst->address() & 0xffffffffu);
  const int result = qobcrt_run_stream(deviceId_, &rec);
  if (result != 0) {
    // Nothing will report this run: the inputs gathered before this one are failed now.
    InputRecords others = takeRun(datasetId, inputId);
    failInputs(others, qoblERR_RUN_STREAM);
    QOBL_LOG_ERROR("Failed to invoke qobcrt_run_stream, error code is %d.\n", result);
    return qoblERR_RUN_STREAM;
  }
  QOBL_LOG_DEBUG("Run stream async, input id - [%d], dataset id - [%d], device id - [%d], stream id - [%d].\n",
                 inputId, datasetId, deviceId_, streamId_);
  return qoblERR_SUCCESS;
}

}  // namespace qobl
}  // namespace zenlar
