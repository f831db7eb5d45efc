// The `qobl._qobl` extension: binds ModelCore and PipelineCore for the pure-Python layer (qobl/__init__.py),
// converting numpy arrays to requests and back.  Every call that may wait releases the interpreter lock;
// nothing here is called by the card's reporting thread.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

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

// Waits, without the interpreter lock, up to timeoutMs until no other thread is inside an Unlocked scope.
bool waitCallsFinished(uint32_t timeoutMs) {
  py::gil_scoped_release release;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (gCallsUnlocked.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
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
  for (const TensorSpec& s : specs) l.append(py::make_tuple(shapeTuple(s.shape), py::str(numpyTypeName(s.dtype))));
  return l;
}

std::string shapeText(const std::vector<int64_t>& shape) { return py::str(shapeTuple(shape)); }

// The Python objects of one request: its future and the output arrays the card's results are copied to.
struct Payload {
  py::object future;
  py::list outputs;
  std::vector<py::array> inputs;   // kept alive until the data is on the card
};

// Binding of PipelineCore: checks and converts inputs, makes the output arrays.
class Pipeline {
 public:
  Pipeline(std::shared_ptr<ModelCore> model, const std::vector<std::string>& stages, uint32_t device,
           uint32_t maxInFlight, uint32_t gatherUs, std::vector<std::string> inputNames)
      : names_(std::move(inputNames)) {
    {
      Unlocked nogil;
      core_.reset(new PipelineCore(model, stages, device, maxInFlight, gatherUs));
    }
    for (const TensorSpec& t : model->outputs()) outTypes_.push_back(py::dtype(numpyTypeName(t.dtype)));
    inputs_ = model->inputs();
    outputs_ = model->outputs();
    while (names_.size() < inputs_.size()) names_.push_back("input" + std::to_string(names_.size()));
  }

  ~Pipeline() {
    Unlocked nogil;
    core_.reset();
  }

  // Starts an asynchronous run of x; returns the request's number.
  uint64_t submit(const py::object& x, const py::object& future) {
    std::unique_ptr<Request> req(new Request);
    std::unique_ptr<Payload> p(new Payload);
    p->future = future;
    prepare(x, req.get(), p.get());
    req->user = p.get();
    uint64_t seq = 0;
    {
      // On an exception the request stays ours: the unique_ptrs release it once the lock is held again.
      Unlocked nogil;
      seq = core_->submit(req.get());
    }
    req.release();   // the pipeline's now, handed back by takeDone
    p.release();
    return seq;
  }

  py::list infer(const py::object& x, uint32_t timeoutMs) {
    Request req;
    Payload p;
    prepare(x, &req, &p);
    {
      Unlocked nogil;
      core_->run(req, timeoutMs);
    }
    return p.outputs;
  }

  bool waitDone(uint32_t timeoutMs) {
    Unlocked nogil;
    return core_->waitDone(timeoutMs);
  }

  // Finished requests as (future, outputs, 0, "") or (future, None, code, message).
  py::list takeDone() {
    std::vector<Request*> done = core_->takeDone();
    py::list out;
    for (Request* r : done) {
      std::unique_ptr<Request> req(r);
      std::unique_ptr<Payload> p(static_cast<Payload*>(r->user));
      if (r->error == 0) {
        out.append(py::make_tuple(p->future, p->outputs, 0, ""));
      } else {
        out.append(py::make_tuple(p->future, py::none(), r->error, r->message));
      }
    }
    return out;
  }

  void flush() {
    Unlocked nogil;
    core_->flush();
  }

  bool flushIfGathering(uint64_t seq) {
    Unlocked nogil;
    return core_->flushIfGathering(seq);
  }

  void expedite(uint64_t seq) { core_->expedite(seq); }   // takes no lock a thread waiting for ours holds

  bool waitFinished(uint64_t seq, uint32_t timeoutMs) {
    Unlocked nogil;
    return core_->waitFinished(seq, timeoutMs);
  }

  void close() {
    Unlocked nogil;
    core_->close();
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
    const PipelineStats s = core_->stats();
    return py::dict(py::arg("submitted") = s.submitted, py::arg("completed") = s.completed,
                    py::arg("failed") = s.failed, py::arg("in_flight") = s.inFlight,
                    py::arg("padding_inputs") = s.fillers, py::arg("slots") = s.slots,
                    py::arg("cache_number") = s.cacheNumber);
  }

 private:
  void checkOpen() const {
    if (core_->closed()) throw std::invalid_argument("the pipeline is closed");
  }

  // Checks x against the model's inputs and fills the request's host pointers and fresh output arrays.
  void prepare(const py::object& x, Request* req, Payload* p) {
    checkOpen();
    std::vector<py::object> items;
    if (py::isinstance<py::list>(x) || py::isinstance<py::tuple>(x)) {
      for (auto h : x) items.push_back(py::reinterpret_borrow<py::object>(h));
      if (items.size() != inputs_.size())
        throw py::value_error("expected " + std::to_string(inputs_.size()) + " input array(s), got " +
                              std::to_string(items.size()));
    } else if (inputs_.size() == 1) {
      items.push_back(x);
    } else {
      throw py::value_error("the model has " + std::to_string(inputs_.size()) +
                            " inputs: pass a list with one array per input");
    }
    static const py::dtype f32("float32");
    for (size_t i = 0; i < items.size(); ++i) {
      py::array a = py::array::ensure(items[i]);
      if (!a) {
        PyErr_Clear();
        throw py::type_error("input '" + names_[i] + "': expected a numpy array, got " +
                             std::string(py::str(py::type::of(items[i]).attr("__name__"))));
      }
      const std::vector<int64_t>& want = inputs_[i].shape;
      std::vector<int64_t> got(a.shape(), a.shape() + a.ndim());
      const bool sameShape = got == want || (!want.empty() && want.front() == 1 &&
                                             std::vector<int64_t>(want.begin() + 1, want.end()) == got);
      if (!sameShape || !a.dtype().equal(f32))
        throw py::value_error("input '" + names_[i] + "': expected float32 of shape " + shapeText(want) + ", got " +
                              std::string(py::str(a.dtype())) + " of shape " + shapeText(got));
      if (!(a.flags() & py::array::c_style)) a = py::array::ensure(a, py::array::c_style);
      req->in.push_back(a.data());
      p->inputs.push_back(std::move(a));
    }
    for (size_t o = 0; o < outputs_.size(); ++o) {
      py::array out(outTypes_[o], outputs_[o].shape);
      req->out.push_back(out.mutable_data());
      p->outputs.append(std::move(out));
    }
  }

  std::unique_ptr<PipelineCore> core_;
  std::vector<std::string> names_;
  std::vector<TensorSpec> inputs_, outputs_;
  std::vector<py::dtype> outTypes_;
};

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

std::shared_ptr<ModelCore> openModel(const std::string& lib, const std::string& graph, const std::string& params,
                                     const std::string& hw, const std::string& suite, uint32_t batch, uint32_t device,
                                     const std::vector<std::vector<int64_t>>& shapes) {
  Unlocked nogil;
  return std::make_shared<ModelCore>(ModelFiles{lib, graph, params, hw, suite}, batch, device, shapes);
}

}  // namespace

}  // namespace python
}  // namespace qobl
}  // namespace zenlar

PYBIND11_MODULE(_qobl, m) {
  using namespace zenlar::qobl::python;
  m.doc() = "Bindings of libqobl for the qobl package; use the qobl package, not this module.";
  installLogSink();
  // Like qobl-run: warnings of the library stay quiet unless QOBM_LOG_LEVEL asks for them.
  if (std::getenv("QOBM_LOG_LEVEL") == nullptr) qobmSetLogLevel(qobmLL_ERROR);

  py::register_exception_translator([](std::exception_ptr e) {
    try {
      if (e) std::rethrow_exception(e);
    } catch (const CallError& err) {
      if (errorClass()) {
        py::object exc = errorClass()(err.code(), err.what());
        PyErr_SetObject(errorClass().ptr(), exc.ptr());
      } else {
        PyErr_SetString(PyExc_RuntimeError, err.what());
      }
    }
  });

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

  py::class_<ModelCore, std::shared_ptr<ModelCore>>(m, "_Model")
      .def(py::init(&openModel), py::arg("lib"), py::arg("graph"), py::arg("params"), py::arg("hw"),
           py::arg("suite"), py::arg("batch"), py::arg("device"), py::arg("shapes"))
      .def("close", &ModelCore::close)
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
      .def("submit", &Pipeline::submit)
      .def("infer", &Pipeline::infer)
      .def("wait_done", &Pipeline::waitDone)
      .def("take_done", &Pipeline::takeDone)
      .def("flush", &Pipeline::flush)
      .def("flush_if_gathering", &Pipeline::flushIfGathering)
      .def("wait_finished", &Pipeline::waitFinished)
      .def("expedite", &Pipeline::expedite)
      .def("close", &Pipeline::close)
      .def_property_readonly("last_submitted", &Pipeline::lastSubmitted)
      .def_property_readonly("closed", &Pipeline::closed)
      .def_property_readonly("cache_number", &Pipeline::cacheNumber)
      .def_property_readonly("ops", &Pipeline::ops)
      .def("stats", &Pipeline::stats);
}
