// The `qobl._qobl` extension: binds ModelCore and PipelineCore for the pure-Python layer (qobl/__init__.py),
// converting numpy arrays to requests and back.  Every call that may wait releases the interpreter lock,
// and on the main thread waits in slices so that Ctrl-C (any signal whose handler raises) interrupts it;
// nothing here is called by the card's reporting thread.
#include <cxxabi.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pthread.h>
#include <pythread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include <qobcrt/qobcrt.h>

#include "call_error.h"
#include "model_core.h"
#include "pipeline_core.h"

namespace py = pybind11;

namespace zenlar {
namespace qobl {
namespace python {

namespace {

// Calls that run with the interpreter lock released, counted until they hold it again.  At interpreter exit
// the Python layer closes every pipeline and then waits for this count to drop (waitCallsFinished): a
// daemon thread must not be inside such a call when the interpreter finalizes, since taking the lock back
// then ends the thread from within a destructor, which terminates the process.
std::atomic<int> gCallsUnlocked{0};

struct CountedCall {
  CountedCall() { ++gCallsUnlocked; }
  ~CountedCall() { --gCallsUnlocked; }
};

// Releases the interpreter lock for its scope, counted in gCallsUnlocked until the lock is held again.
struct Unlocked {
  CountedCall count;
  py::gil_scoped_release release;
};

// Waits, without the interpreter lock, up to timeoutMs until no other thread is inside an Unlocked scope and
// no closed pipeline is being released in the background.
bool waitCallsFinished(uint32_t timeoutMs) {
  py::gil_scoped_release release;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (gCallsUnlocked.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return waitBackgroundTeardowns(deadline);
}

using Clock = PipelineCore::Clock;

// Waits of the main thread last at most this long between two looks at pending signals.
constexpr std::chrono::milliseconds kWaitSlice(50);
// A wait without a time limit waits in steps of this length (so that no deadline overflows).
constexpr std::chrono::hours kLongestStep(24);
constexpr uint32_t kForever = UINT32_MAX;
// The longest wait of a close for the runs in flight (a day: "no limit" without overflowing a deadline).
constexpr uint32_t kLongestCloseWaitMs = 24 * 3600 * 1000;

// The interpreter's main thread, the one that runs signal handlers (set when the module is imported).
unsigned long gMainThread = 0;

// Calls step(until) without the interpreter lock until it returns true (then returns true) or timeoutMs
// (kForever: no limit) has passed (then returns false).  step waits at most until `until` and returns
// whether it got what it waited for; it is called again after returning false.  On the main thread
// `until` is at most kWaitSlice away, and between two calls the thread takes the interpreter lock back and
// runs the handlers of pending signals: an exception they raise (KeyboardInterrupt for Ctrl-C) propagates
// from here.  Other threads get no signals and wait in one call.  A wait that ends at once costs one
// release of the lock, as a plain call does.
template <typename Step>
bool waitInterruptibly(uint32_t timeoutMs, Step step) {
  const bool sliced = PyThread_get_thread_ident() == gMainThread;
  const bool forever = timeoutMs == kForever;
  const Clock::time_point end = forever ? Clock::time_point() : Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    bool done = false, expired = false;
    {
      Unlocked nogil;
      const Clock::time_point now = Clock::now();
      Clock::time_point until = forever ? now + kLongestStep : end;
      if (sliced) until = std::min(until, now + kWaitSlice);
      done = step(until);
      expired = !done && !forever && Clock::now() >= end;
    }
    if (done) return true;
    if (expired) return false;
    if (sliced && PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

// The Python class raised for CallError; set by the pure-Python layer (qobl.Error).
py::object& errorClass() {
  static py::object* cls = new py::object();   // never destroyed: outlives the interpreter's teardown
  return *cls;
}

const char* numpyTypeName(qobmDType t) {
  switch (t) {
    case qobmDT_UINT8: return "uint8";
    case qobmDT_INT8: return "int8";
    case qobmDT_UINT16: return "uint16";
    case qobmDT_INT16: return "int16";
    case qobmDT_UINT32: return "uint32";
    case qobmDT_INT32: return "int32";
    case qobmDT_FLOAT16: return "float16";
    case qobmDT_FLOAT32: return "float32";
    default: return nullptr;
  }
}

py::tuple shapeTuple(const std::vector<int64_t>& shape) {
  py::tuple t(shape.size());
  for (size_t i = 0; i < shape.size(); ++i) t[i] = py::int_(shape[i]);
  return t;
}

py::list specList(const std::vector<TensorSpec>& specs) {
  py::list l;
  for (const TensorSpec& s : specs)
    l.append(py::make_tuple(shapeTuple(s.shape), py::str(s.typeName.empty() ? numpyTypeName(s.dtype) : s.typeName)));
  return l;
}

std::string shapeText(const std::vector<int64_t>& shape) { return py::str(shapeTuple(shape)); }

// One asynchronous or synchronous request with its Python objects: its future, the list of output arrays
// the card's results are copied to, and the inputs, kept alive until the data is on the card (an
// asynchronous request lets go of them as soon as it is submitted).  Items are reused (the binding keeps
// finished ones), so their vectors keep their capacity.  Touched only with the
// interpreter lock held, except `req`, which the pipeline core owns while the request is in flight.
struct Item {
  Request req;
  py::object future;
  py::object outputs;
  std::vector<py::object> inputs;
};

// Binding of PipelineCore: checks and converts inputs, makes the output arrays.
class Pipeline {
 public:
  Pipeline(std::shared_ptr<ModelCore> model, const std::vector<std::string>& stages, uint32_t device,
           uint32_t maxInFlight, uint32_t gatherUs, std::vector<std::string> inputNames)
      : names_(std::move(inputNames)) {
    {
      Unlocked nogil;
      core_ = std::make_shared<PipelineCore>(model, stages, device, maxInFlight, gatherUs);
    }
    inputs_ = model->inputs();
    outputs_ = model->outputs();
    for (const TensorSpec& t : inputs_) inTypes_.push_back(py::dtype(t.typeName));
    for (const TensorSpec& t : outputs_) {
      outTypes_.push_back(py::dtype(numpyTypeName(t.dtype)));
      outDims_.emplace_back(t.shape.begin(), t.shape.end());
      // C order: each extent's stride is the product of the later extents times the element size.
      std::vector<py::ssize_t> strides(t.shape.size());
      py::ssize_t step = outTypes_.back().itemsize();
      for (size_t d = t.shape.size(); d-- > 0;) {
        strides[d] = step;
        step *= static_cast<py::ssize_t>(t.shape[d]);
      }
      outStrides_.push_back(std::move(strides));
    }
    ndarrayType_ = py::module_::import("numpy").attr("ndarray");
    while (names_.size() < inputs_.size()) names_.push_back("input" + std::to_string(names_.size()));
    try {
      checkNormalizeFits();
    } catch (...) {
      Unlocked nogil;
      core_.reset();
      throw;
    }
  }

  ~Pipeline() {
    if (cardLostByFork()) {
      new std::shared_ptr<PipelineCore>(std::move(core_));   // the parent's, in a forked child: kept (see PipelineCore::close)
    } else if (core_) {
      Unlocked nogil;
      // Closed here only when dropped open (the Python layer closes what it made before it lets go): as
      // close() does with its default time-out, while this object still shares the core, so that runs a
      // stuck card does not finish hold the caller up that long at most, the rest being released in the
      // background.  The core's own destructor, without an owner left to hand over, would wait for the
      // card as long as the library does, stream by stream.
      core_->close(Clock::now() + std::chrono::milliseconds(PipelineCore::kCloseWaitMs));
      core_.reset();
    }
    spare_.clear();   // Python objects: released with the interpreter lock held
  }

  // Starts an asynchronous run of x; returns the request's number.
  uint64_t submit(py::handle x, py::handle future) {
    std::unique_ptr<Item> item = takeItem();
    prepare(x, *item);
    item->future = py::reinterpret_borrow<py::object>(future);
    // The inputs are on the card once the submission returns: they are held here, not by the item, so
    // that the caller's buffers are free again then (an mmap closed, a bytearray resized) rather than once
    // the run finishes.  Held over the submission, which reads them without the interpreter lock (their
    // buffers stay exported meanwhile, so nobody can resize or close them); released with the lock held,
    // which every way out of here holds.
    std::vector<py::object> inputs;
    inputs.swap(item->inputs);
    // The submission copies the inputs to the card and may wait for the library's locks and for a free
    // slot: other threads run Python meanwhile.  On an exception (a signal's among them) the request stays
    // ours: the item is released once the lock is held again.  Once submitted, the request may finish and
    // be handed to the resolver before the lock is back: the item is not touched again.
    uint64_t seq = 0;
    waitInterruptibly(kForever, [&](Clock::time_point until) {
      seq = core_->submit(&item->req, until);
      return seq != 0;
    });
    item.release();   // the pipeline's now, handed back by takeDone
    return seq;
  }

  // An interrupted or timed-out run goes on on the card; the next one waits for it before it starts.
  py::object infer(const py::object& x, uint32_t timeoutMs) {
    std::unique_ptr<Item> item = takeItem();
    prepare(x, *item);
    PipelineCore::SyncTurn turn;
    if (!waitInterruptibly(timeoutMs, [&](Clock::time_point until) { return core_->run(item->req, turn, until); }))
      throw CallError(qoblERR_RUN_STREAM,
                      "infer: no result within " + std::to_string(timeoutMs) + " ms (the run goes on on the card)");
    py::object outputs = std::move(item->outputs);
    giveBack(std::move(item));
    return outputs;
  }

  bool waitDone(uint32_t timeoutMs) {
    checkCardUsable();
    Unlocked nogil;
    return core_->waitDone(timeoutMs);
  }

  // Finished requests as (future, outputs, 0, "") or (future, None, code, message).
  py::list takeDone() {
    if (cardLostByFork()) return py::list();   // a forked child: nothing finishes here
    std::vector<Request*> done = core_->takeDone();
    py::list out(done.size());
    for (size_t i = 0; i < done.size(); ++i) {
      std::unique_ptr<Item> item(static_cast<Item*>(done[i]->user));
      const Request& r = item->req;
      py::tuple t = r.error == 0 ? py::make_tuple(std::move(item->future), std::move(item->outputs), 0, emptyText())
                                 : py::make_tuple(std::move(item->future), py::none(), r.error, r.message);
      PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), t.release().ptr());
      giveBack(std::move(item));
    }
    return out;
  }

  // Flushes give up quietly when the card frees no slot for padding for kPaddingWaitMs.
  void flush() {
    checkCardUsable();
    waitInterruptibly(PipelineCore::kPaddingWaitMs, [&](Clock::time_point until) { return core_->flush(until); });
  }

  void flushIfGathering(uint64_t seq) {
    checkCardUsable();
    waitInterruptibly(PipelineCore::kPaddingWaitMs,
                      [&](Clock::time_point until) { return core_->flushIfGathering(seq, until); });
  }

  void expedite(uint64_t seq) {   // takes no lock a thread waiting for ours holds
    checkCardUsable();
    core_->expedite(seq);
  }

  bool waitFinished(uint64_t seq, uint32_t timeoutMs) {
    checkCardUsable();
    return waitInterruptibly(timeoutMs, [&](Clock::time_point until) { return core_->waitFinished(seq, until); });
  }

  // Waits up to timeoutMs for the runs in flight, then closes (see PipelineCore::close: runs the card has
  // not finished by then fail, and the pipeline is released in the background).  With `interruptible`, on
  // the main thread, the runs sent so far are waited for in slices that Ctrl-C interrupts: an interrupted
  // close leaves the pipeline open, its runs going on.  Without, or on another thread, the close waits for
  // them in one piece.
  void close(bool interruptible, uint32_t timeoutMs) {
    if (cardLostByFork()) return core_->close(Clock::now());   // marks it closed, nothing more
    const Clock::time_point end =
        Clock::now() + std::chrono::milliseconds(std::min<uint32_t>(timeoutMs, kLongestCloseWaitMs));
    if (interruptible && !core_->closed() && PyThread_get_thread_ident() == gMainThread) {
      const uint64_t last = core_->lastSeq();
      auto left = [&] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        return static_cast<uint32_t>(std::max<int64_t>(ms, 0));
      };
      waitInterruptibly(left(), [&](Clock::time_point until) { return core_->flush(until); });
      waitInterruptibly(left(), [&](Clock::time_point until) { return core_->waitFinished(last, until); });
      waitInterruptibly(left(), [&](Clock::time_point until) { return core_->waitSyncIdle(until); });
    }
    Unlocked nogil;
    core_->close(end);
  }

  uint64_t lastSubmitted() const { return core_->lastSeq(); }
  bool closed() const { return core_->closed(); }
  uint32_t cacheNumber() const { return core_->cacheNumber(); }

  py::list ops() const {
    py::list l;
    for (const OpInfo& o : core_->ops())
      l.append(py::dict(py::arg("name") = o.name, py::arg("stage") = o.stage, py::arg("uid") = o.uid));
    return l;
  }

  py::dict stats() const {
    checkCardUsable();
    const PipelineStats s = core_->stats();
    return py::dict(py::arg("submitted") = s.submitted, py::arg("completed") = s.completed,
                    py::arg("failed") = s.failed, py::arg("in_flight") = s.inFlight,
                    py::arg("padding_inputs") = s.fillers, py::arg("slots") = s.slots,
                    py::arg("cache_number") = s.cacheNumber);
  }

 private:
  // Finished items kept for reuse, at most this many or the asynchronous inputs in flight at most, if more:
  // then a producer that keeps the pipeline full makes none.
  static constexpr size_t kSpareItems = 256;

  static const py::str& emptyText() {
    static const py::str* text = new py::str("");   // never destroyed: outlives the interpreter's teardown
    return *text;
  }

  void checkOpen() const {
    checkCardUsable();
    if (core_->closed()) throw std::invalid_argument(kPipelineClosed);
  }

  std::unique_ptr<Item> takeItem() {
    if (spare_.empty()) return std::unique_ptr<Item>(new Item);
    std::unique_ptr<Item> item = std::move(spare_.back());
    spare_.pop_back();
    return item;
  }

  // Keeps a finished item for reuse, without its Python objects.
  void giveBack(std::unique_ptr<Item> item) {
    if (spare_.size() >= std::max<size_t>(kSpareItems, core_->maxInFlight())) return;
    item->future = py::object();
    item->outputs = py::object();
    item->inputs.clear();
    spare_.push_back(std::move(item));
  }

  // Checks x against the model's inputs and fills the item's request (host pointers, a fresh output array
  // per model output) and Python objects.
  void prepare(py::handle x, Item& item) {
    checkOpen();
    Request& req = item.req;
    req.in.clear();
    req.out.clear();
    req.error = 0;
    req.message.clear();
    req.user = &item;
    item.inputs.clear();
    PyObject* obj = x.ptr();
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
      // A list is copied first: converting one of its items could change it.
      const py::tuple items = PyTuple_Check(obj) ? py::reinterpret_borrow<py::tuple>(obj)
                                                 : py::reinterpret_steal<py::tuple>(PyList_AsTuple(obj));
      if (!items) throw py::error_already_set();
      if (items.size() != inputs_.size())
        throw py::value_error(
            "expected " + std::to_string(inputs_.size()) + " input array(s), got " + std::to_string(items.size()) +
            (inputs_.size() == 1 ? " (a list or tuple holds one array per input: pass the array of input '" +
                                       names_[0] + "' itself, numpy.asarray(x, dtype=numpy.float32) for a list)"
                                 : " (one per input: " + joinedNames() + ")"));
      for (size_t i = 0; i < inputs_.size(); ++i) addInput(i, items[i], item);
    } else if (PyDict_Check(obj)) {
      throw py::type_error("inputs are passed by position, not by name: pass " +
                           std::string(inputs_.size() == 1 ? "the array of input '" + names_[0] + "'"
                                                           : "a list of arrays in the order of model.inputs (" +
                                                                 joinedNames() + ")") +
                           ", not a dict");
    } else if (inputs_.size() == 1) {
      addInput(0, x, item);
    } else {
      throw py::value_error("the model has " + std::to_string(inputs_.size()) +
                            " inputs: pass a list with one array per input (" + joinedNames() + ")");
    }
    item.outputs = py::reinterpret_steal<py::object>(PyList_New(static_cast<Py_ssize_t>(outputs_.size())));
    if (!item.outputs) throw py::error_already_set();
    for (size_t o = 0; o < outputs_.size(); ++o) {
      py::array out(outTypes_[o], outDims_[o], outStrides_[o]);
      req.out.push_back(out.mutable_data());
      PyList_SET_ITEM(item.outputs.ptr(), static_cast<Py_ssize_t>(o), out.release().ptr());
    }
  }

  // Checks one input (an array of the input's element type in native byte order, of the input's shape, its
  // leading 1 optional) and adds it to the item, made contiguous when it is not.  Nothing is converted: an
  // array of another type is refused with what to do about it.
  void addInput(size_t i, py::handle h, Item& item) {
    const bool isArray = py::isinstance<py::array>(h);
    // A masked array hands over the values under its mask too, which the card would take for data.
    if (isArray && Py_TYPE(h.ptr()) != reinterpret_cast<PyTypeObject*>(ndarrayType_.ptr())) refuseMasked(i, h);
    py::array a = isArray ? py::reinterpret_borrow<py::array>(h) : py::array::ensure(h);
    if (!a) {
      PyErr_Clear();
      throw py::type_error("input '" + names_[i] + "': expected a numpy array, got " +
                           std::string(py::str(py::type::handle_of(h).attr("__name__"))));
    }
    const py::dtype type = a.dtype();
    const bool typed = sameType(type, inTypes_[i]);
    if (!typed || !sameShape(inputs_[i].shape, a.shape(), a.ndim())) {
      const std::vector<int64_t>& want = inputs_[i].shape;
      const std::string name = inputs_[i].typeName;
      std::string text = "input '" + names_[i] + "': expected " + name + " of shape " + shapeText(want);
      if (want.size() > 1 && want.front() == 1)
        text += " or " + shapeText(std::vector<int64_t>(want.begin() + 1, want.end()));
      text += ", got " + std::string(py::str(static_cast<const py::handle&>(type))) + " of shape " +
              shapeText(std::vector<int64_t>(a.shape(), a.shape() + a.ndim()));
      // What to do about it.  The bytes of a bytes-like object (bytes, bytearray, mmap, a byte memoryview) are
      // the data itself: numpy.asarray would turn each byte into one element.  An array of numbers only needs
      // converting (a foreign byte order included).
      const char kind = type.kind();
      const bool rawBytes = !isArray && type.itemsize() == 1 && (kind == 'u' || kind == 'S');
      const bool byteString = kind == 'S' && a.ndim() == 0;
      if (!typed && (rawBytes || byteString) && inTypes_[i].itemsize() != 1)
        text += "; for raw bytes use numpy.frombuffer(x, dtype=numpy." + name + ")";
      else if (!typed && kind != 'O' && kind != 'U' && kind != 'S' && kind != 'V')
        text += "; convert it with numpy.asarray(x, dtype=numpy." + name + ")";
      throw py::value_error(text);
    }
    if (!(a.flags() & py::array::c_style)) {
      a = py::array::ensure(a, py::array::c_style);
      if (!a) throw py::error_already_set();
    }
    item.req.in.push_back(a.data());
    item.inputs.push_back(std::move(a));
  }

  // The same element type in the machine's byte order (or one where order does not apply): the element
  // types inputs take are plain numbers, told apart by kind and size.
  static bool sameType(const py::dtype& got, const py::dtype& want) {
    if (got.kind() != want.kind() || got.itemsize() != want.itemsize()) return false;
    const char order = got.byteorder();
    const char native = PY_BIG_ENDIAN ? '>' : '<';
    return order == '=' || order == '|' || order == native;
  }

  // The "normalize" stage converts float32 values to the uint8 or float16 data the model computes on (an
  // input it does not convert is copied as it is).  It reads the model input's bytes: an input that holds
  // anything but float32 would be read as float32 values and reach the model as garbage (a uint8 input as
  // zeros, quantised from the tiny floats its bytes make), so such a stage is refused.
  void checkNormalizeFits() const {
    const std::vector<int32_t>& types = core_->normalizeTypes();
    for (size_t i = 0; i < inputs_.size() && i < types.size(); ++i) {
      if (types[i] == qobeTENSORIZATION_NONE || inputs_[i].typeName == "float32") continue;
      const bool toU8 = types[i] == qobeTENSORIZATION_UINT8 || types[i] == qobeTENSORIZATION_UINT8_INTERLEAVE;
      throw std::invalid_argument(
          "the \"normalize\" stage converts float32 values to " + std::string(toU8 ? "uint8" : "float16") +
          " for input '" + names_[i] + "', which holds " + inputs_[i].typeName +
          " already: the model would get its bytes read as float32 values (zeros for uint8 data); leave "
          "\"normalize\" out of the stages to hand the input to the model as it is");
    }
  }

  // Refuses a numpy masked array with masked elements (one whose mask is all False is plain data).
  void refuseMasked(size_t i, py::handle h) const {
    const py::module_ ma = py::module_::import("numpy.ma");
    if (!py::isinstance(h, ma.attr("MaskedArray"))) return;
    const size_t masked = ma.attr("count_masked")(h).cast<size_t>();
    if (masked != 0)
      throw py::value_error("input '" + names_[i] + "': a masked array with " + std::to_string(masked) +
                            " masked element(s), whose values are not data: fill them first (x.filled(value))");
  }

  std::string joinedNames() const {
    std::string text;
    for (const std::string& n : names_) text += (text.empty() ? "'" : ", '") + n + "'";
    return text;
  }

  // The input's shape, or the input's shape without its leading extent of 1.
  static bool sameShape(const std::vector<int64_t>& want, const py::ssize_t* got, py::ssize_t nd) {
    const size_t n = static_cast<size_t>(nd);
    const size_t skip = n + 1 == want.size() && want.front() == 1 ? 1 : 0;
    if (n + skip != want.size()) return false;
    for (size_t d = 0; d < n; ++d) {
      if (got[d] != want[d + skip]) return false;
    }
    return true;
  }

  std::shared_ptr<PipelineCore> core_;   // shared with a release going on in the background
  std::vector<std::string> names_;
  std::vector<TensorSpec> inputs_, outputs_;
  std::vector<py::dtype> inTypes_, outTypes_;
  std::vector<std::vector<py::ssize_t>> outDims_, outStrides_;
  py::object ndarrayType_;   // numpy.ndarray, which a masked array is a subclass of
  std::vector<std::unique_ptr<Item>> spare_;   // interpreter lock held
};

// Raises qobl.Error (or RuntimeError before the Python layer set it) for a failed library call.
void setCallError(const CallError& err) {
  if (!errorClass()) {
    PyErr_SetString(PyExc_RuntimeError, err.what());
    return;
  }
  try {
    py::object exc = errorClass()(err.code(), err.what());
    PyErr_SetObject(errorClass().ptr(), exc.ptr());
  } catch (py::error_already_set& e) {   // making the exception failed: that error is raised instead
    e.restore();
  }
}

// Sets the Python error for the C++ exception being handled, as a pybind11 function would: qobl.Error for
// CallError, pybind11's own exceptions as themselves, ValueError for std::invalid_argument, MemoryError for
// std::bad_alloc, RuntimeError for the rest.  In a catch block only.
void setPythonError() {
  try {
    throw;
  } catch (const CallError& e) {
    setCallError(e);
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "out of memory");
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

constexpr const char* kSubmitCapsule = "qobl._qobl.Pipeline.submit";

// Pipeline.submit(x, future) as a plain function of the interpreter, called through its vector call: a
// pybind11 method's argument conversion and overload dispatch cost a sizeable part of a submission.  Its
// `self` is a capsule of the Pipeline that holds a reference to the Python object owning it.
PyObject* submitFunction(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  auto* pipeline = static_cast<Pipeline*>(PyCapsule_GetPointer(self, kSubmitCapsule));
  if (pipeline == nullptr) return nullptr;
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "submit() takes 2 positional arguments (%zd given)", nargs);
    return nullptr;
  }
  try {
    return PyLong_FromUnsignedLongLong(pipeline->submit(args[0], args[1]));
  } catch (py::error_already_set& e) {
    e.restore();
#ifdef __GLIBCXX__
  } catch (abi::__forced_unwind&) {   // a thread being cancelled: not an error to report
    throw;
#endif
  } catch (...) {
    setPythonError();
  }
  return nullptr;
}

PyMethodDef gSubmitDef = {"submit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&submitFunction)),
                          METH_FASTCALL, "submit(x, future) -> the request's number"};

// The submit function of the pipeline `owner` (a _Pipeline object), keeping it alive.
py::object submitFunctionOf(py::handle owner) {
  Pipeline* pipeline = owner.cast<Pipeline*>();
  py::capsule self(pipeline, kSubmitCapsule, [](PyObject* capsule) { Py_XDECREF(PyCapsule_GetContext(capsule)); });
  if (PyCapsule_SetContext(self.ptr(), owner.inc_ref().ptr()) != 0) {
    owner.dec_ref();
    throw py::error_already_set();
  }
  PyObject* f = PyCFunction_New(&gSubmitDef, self.ptr());
  if (f == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(f);
}

py::list devices() {
  uint32_t count = 0;
  check(static_cast<uint32_t>(qobcrt_get_device_count(&count)), "qobcrt_get_device_count");
  py::list l;
  for (uint32_t d = 0; d < count; ++d) {
    uint64_t total = 0, used = 0;
    check(static_cast<uint32_t>(qobcrt_get_memory_info(d, &total, &used)), "qobcrt_get_memory_info");
    l.append(py::dict(py::arg("id") = d, py::arg("memory_bytes") = total, py::arg("memory_used_bytes") = used));
  }
  return l;
}

// inputTypes: (numpy's name, size in bytes) of each input's element type, as the graph declares them.
std::shared_ptr<ModelCore> openModel(const std::string& lib, const std::string& graph, const std::string& params,
                                     const std::string& hw, const std::string& suite, uint32_t batch, uint32_t device,
                                     const std::vector<std::vector<int64_t>>& shapes,
                                     const std::vector<std::pair<std::string, uint32_t>>& inputTypes) {
  std::vector<ElementType> types;
  for (const auto& t : inputTypes) types.push_back(ElementType{t.first, t.second});
  Unlocked nogil;
  return std::make_shared<ModelCore>(ModelFiles{lib, graph, params, hw, suite}, batch, device, shapes, types);
}

}  // namespace

}  // namespace python
}  // namespace qobl
}  // namespace zenlar

PYBIND11_MODULE(_qobl, m) {
  using namespace zenlar::qobl::python;
  m.doc() = "Bindings of libqobl for the qobl package; use the qobl package, not this module.";
  installLogSink();
  watchForks();
  // A forked child has only the thread that forked, which is inside no unlocked call.
  pthread_atfork(nullptr, nullptr, [] {
    gCallsUnlocked.store(0);
    forgetBackgroundTeardowns();
  });
  // Like qobl-run: warnings of the library stay quiet unless QOBM_LOG_LEVEL asks for them (set and not empty).
  const char* envLevel = std::getenv("QOBM_LOG_LEVEL");
  if (envLevel == nullptr || envLevel[0] == '\0') qobmSetLogLevel(qobmLL_ERROR);

  py::register_exception_translator([](std::exception_ptr e) {
    try {
      if (e) std::rethrow_exception(e);
    } catch (const CallError& err) {
      setCallError(err);
    }
  });

  gMainThread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  m.def("_set_error_class", [](py::object cls) { errorClass() = std::move(cls); });
  m.def("version", [] {
    const char* text = nullptr;
    uint32_t v[4] = {0, 0, 0, 0};
    check(qoblGetVersion(&text, &v[0], &v[1], &v[2], &v[3]), "qoblGetVersion");
    return py::make_tuple(std::string(text), py::make_tuple(v[0], v[1], v[2], v[3]));
  });
  m.def("_wait_calls_finished", &waitCallsFinished, py::arg("timeout_ms"));
  m.def("error_text", &platformErrorText, "The platform's text for one of its codes or a device code.");
  m.def("devices", &devices);
  m.def("_card_lost", &cardLostByFork, "True in a process forked after the card was used");

  py::class_<ModelCore, std::shared_ptr<ModelCore>>(m, "_Model")
      .def(py::init(&openModel), py::arg("lib"), py::arg("graph"), py::arg("params"), py::arg("hw"),
           py::arg("suite"), py::arg("batch"), py::arg("device"), py::arg("shapes"), py::arg("input_types"))
      .def("close", [](ModelCore& c) {
        Unlocked nogil;   // unloading the model from the card
        c.close();
      })
      .def_property_readonly("closed", &ModelCore::closed)
      .def_property_readonly("batch", &ModelCore::batch)
      .def_property_readonly("max_batch", &ModelCore::maxBatch)
      .def_property_readonly("device", &ModelCore::device)
      .def_property_readonly("dynamic", &ModelCore::dynamic)
      .def_property_readonly("inputs", [](const ModelCore& c) { return specList(c.inputs()); })
      .def_property_readonly("outputs", [](const ModelCore& c) { return specList(c.outputs()); });

  py::class_<Pipeline>(m, "_Pipeline")
      .def(py::init<std::shared_ptr<ModelCore>, const std::vector<std::string>&, uint32_t, uint32_t, uint32_t,
                    std::vector<std::string>>(),
           py::arg("model"), py::arg("stages"), py::arg("device"), py::arg("max_in_flight"), py::arg("gather_us"),
           py::arg("input_names"))
      .def("submit", [](Pipeline& p, const py::object& x, const py::object& future) { return p.submit(x, future); })
      .def("submit_function", [](py::handle self) { return submitFunctionOf(self); },
           "submit(x, future) as a function that is cheaper to call")
      .def("infer", &Pipeline::infer)
      .def("wait_done", &Pipeline::waitDone)
      .def("take_done", &Pipeline::takeDone)
      .def("flush", &Pipeline::flush)
      .def("flush_if_gathering", &Pipeline::flushIfGathering)
      .def("wait_finished", &Pipeline::waitFinished)
      .def("expedite", &Pipeline::expedite)
      .def("close", &Pipeline::close, py::arg("interruptible"), py::arg("timeout_ms"))
      .def_property_readonly("last_submitted", &Pipeline::lastSubmitted)
      .def_property_readonly("closed", &Pipeline::closed)
      .def_property_readonly("cache_number", &Pipeline::cacheNumber)
      .def_property_readonly("ops", &Pipeline::ops)
      .def("stats", &Pipeline::stats);
}
