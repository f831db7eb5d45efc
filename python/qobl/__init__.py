"""Run compiled models on the accelerator card from Python, with numpy arrays in and out.

A short session::

    import numpy as np
    import qobl

    with qobl.Model("build/models/classifier") as model, qobl.Pipeline(model) as pipe:
        x = np.zeros(model.inputs[0].shape, np.float32)
        scores, = pipe.infer(x)                          # synchronous, one item
        futures = [pipe.infer_async(x) for _ in range(100)]
        results = [f.result() for f in futures]          # gathered into device runs of model.batch

Threads: the card reports finished runs on its own thread, which never takes the interpreter lock; each
pipeline has one resolver thread that takes the lock only to resolve futures.  Every call that waits for
the card releases the interpreter lock; on the main thread Ctrl-C interrupts it (KeyboardInterrupt), and
runs already sent go on and resolve their futures.

A process forked after it opened a model cannot use the card (its threads stay with the parent): every call
of the child raises RuntimeError; start workers with multiprocessing's "spawn" or "forkserver" method.
"""

import atexit
import concurrent.futures
from concurrent.futures import _base as _futures_base
import hashlib
import json
import os
import struct
import threading
import time
import weakref

import numpy as np

from . import _qobl

__all__ = ["Error", "Model", "Pipeline", "TensorInfo", "devices", "library_version", "__version__"]

library_version, _numbers = _qobl.version()
#: The library's version, "major.minor.rev.build".
__version__ = ".".join(str(n) for n in _numbers)

_WAIT_FOREVER = 0xFFFFFFFF

# Result codes of the library (see qobl_api.h), usable as ``err.code == qobl.ERR_RUN_STREAM``.
ERR_INVALID_PARAM = 301002
ERR_MODEL_OPERATION = 301005
ERR_MODEL_FILE = 301006
ERR_CREATE_MODEL = 301007
ERR_BUILD_STREAM = 301031
ERR_RUN_STREAM = 301034
ERR_STREAM_SYNC_TIMEOUT = 301052

_CODE_TEXT = {
    301002: "invalid parameter",
    301005: "a model getter or setter failed",
    301006: "a model file is missing, unreadable, empty or malformed",
    301007: "the model runtime or its parameters could not be created",
    301010: "the graph already has its input op",
    301011: "the parent op is in no graph",
    301012: "the node is already in the graph",
    301013: "the ops cannot be connected",
    301014: "the op could not be created",
    301015: "parent and child are the same op",
    301016: "the child is an input op or already has a parent",
    301021: "a stream still uses the graph",
    301022: "the op is not in the stream's graph",
    301023: "the stream is already built",
    301024: "the stream has not been built",
    301025: "the stream is not registered",
    301030: "the device stream could not be created",
    301031: "the stream build failed",
    301034: "a run could not be started or failed",
    301035: "the stream could not be destroyed",
    301052: "waiting for the runs timed out",
}


def describe(code):
    """A short text for a result code of the library, the card platform or the card ("unknown error code N"
    for a code none of them has)."""
    return _CODE_TEXT.get(code) or _qobl.error_text(code)


class Error(Exception):
    """A call of the library failed, or the card reported an error for a run.

    ``code`` is the result code (a library code 301xxx, a platform code, or the card's error code 500xxx
    for a failed op); ``message`` says what failed, with the library's own error message where it logged
    one.
    """

    def __init__(self, code, message):
        super().__init__(code, message)
        self.code = int(code)
        self.message = message

    def __str__(self):
        text = describe(self.code)
        return f"{self.message} (code {self.code}{': ' + text if text else ''})"


_qobl._set_error_class(Error)


def devices():
    """The cards of this machine: a list of ``{"id", "memory_bytes", "memory_used_bytes"}`` dicts."""
    return _qobl.devices()


class TensorInfo:
    """One input or output of a model, for one batch item: ``name``, ``shape`` (tuple), ``dtype``."""

    __slots__ = ("name", "shape", "dtype")

    def __init__(self, name, shape, dtype):
        self.name = name
        self.shape = tuple(shape)
        self.dtype = np.dtype(dtype)

    def __repr__(self):
        return f"TensorInfo(name={self.name!r}, shape={self.shape}, dtype={self.dtype})"

    def __eq__(self, other):
        return isinstance(other, TensorInfo) and (self.name, self.shape, self.dtype) == (
            other.name, other.shape, other.dtype)


# Everything still open, closed at interpreter exit (pipelines first) so that no run is in flight while
# the interpreter tears down.
_open_pipelines = weakref.WeakSet()
_open_models = weakref.WeakSet()


@atexit.register
def _close_everything():
    for p in list(_open_pipelines):
        p._close(interruptible=False)
    for m in list(_open_models):
        m._close(interruptible=False)
    # Threads still inside a call that waited for the card (now returning, since everything is closed)
    # get the interpreter lock back before the interpreter finalizes, and pipelines whose runs the card
    # had not finished are released (the library waits up to 10 s per stream for the card).
    _qobl._wait_calls_finished(30000)


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _param_names(path):
    """Names in a saved-parameter blob (empty when it cannot be read)."""
    try:
        data = _read(path)
        magic, _, count = struct.unpack_from("<QQQ", data, 0)
        if magic != 0xF7E58D4F05049CB7:
            return set()
        names, off = set(), 24
        for _ in range(count):
            (n,) = struct.unpack_from("<Q", data, off)
            names.add(data[off + 8:off + 8 + n].decode())
            off += 8 + n
        return names
    except (OSError, struct.error, UnicodeDecodeError):
        return set()


# Element types a graph may declare ("float32", "uint8", ...) that numpy holds as they are laid out.
_GRAPH_TYPES = {f"{kind}{bits}": np.dtype(f"{kind}{bits}")
                for kind, sizes in (("int", (8, 16, 32, 64)), ("uint", (8, 16, 32, 64)), ("float", (16, 32, 64)))
                for bits in sizes}
_GRAPH_TYPES["bool"] = np.dtype(np.bool_)


def _graph_signature(graph_path, params_path):
    """Input names (graph placeholders that are not parameters) with their element types as the graph
    declares them ("float32" where it declares none), and output names (the graph's heads); empty lists
    when the graph cannot be read."""
    try:
        graph = json.loads(_read(graph_path))
        params = _param_names(params_path)
        nodes, rows = graph["nodes"], graph["node_row_ptr"]
        types = graph.get("attrs", {}).get("dltype", [None, []])[1]
        inputs = []
        for i in graph["arg_nodes"]:
            if nodes[i]["name"] in params:
                continue
            entry = rows[i]
            inputs.append((nodes[i]["name"], types[entry] if entry < len(types) else "float32"))
        outputs = [nodes[h[0]]["name"] for h in graph["heads"]]
        return inputs, outputs
    except (OSError, ValueError, KeyError, IndexError, TypeError, AttributeError):
        return [], []


def _count(name, value, least):
    """value as an int of at least `least`, or a TypeError / ValueError naming the argument."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__} {value!r}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, got {value}")
    return value


def _wait_ms(name, value):
    """A time-out in milliseconds for the extension: a non-negative number; None, or more than the
    extension can count, waits without a limit."""
    if value is None:
        return _WAIT_FOREVER
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of milliseconds or None, got {type(value).__name__}")
    if not value >= 0:   # also NaN
        raise ValueError(f"{name} must be at least 0 ms (None waits without a limit), got {value}")
    return int(value) if value < _WAIT_FOREVER else _WAIT_FOREVER


def _ranges_text(ranges):
    """A dynamic suite's shape ranges as text: per member, one range per input ("(1, 3, 4..16, 4..16)")."""
    def one(low, high):
        return "(" + ", ".join(str(a) if a == b else f"{a}..{b}" for a, b in zip(low, high)) + ")"
    try:
        return " or ".join("[" + ", ".join(one(*r) for r in member) + "]" for member in ranges)
    except (TypeError, ValueError):
        return "shapes in the ranges of its suite.json"


def _need_file(path):
    if not os.path.isfile(path):
        raise FileNotFoundError(2, "model file missing", path)
    return path


class _Closable:
    """Context manager, and close() when collected, for objects whose __init__ completed (_opened).

    _close(interruptible) closes: with interruptible, the waits for runs on the card give way to Ctrl-C
    (the object then stays open); collection and interpreter exit close without, since nobody could
    catch the KeyboardInterrupt and try again.
    """

    _opened = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __reduce__(self):
        raise TypeError(f"a {type(self).__qualname__} holds card resources of this process and cannot be pickled "
                        "or sent to another process: open the model in that process instead")

    def __del__(self):
        if self._opened:
            try:
                self._close(interruptible=False)
            except Exception:  # noqa: BLE001 - nothing to report to at collection time
                pass


class Model(_Closable):
    """A compiled model loaded on a card: a static model directory or a dynamic suite directory.

    ``Model(path, batch=None, device=0, shapes=None)``

    - ``path``: a directory with ``model.so``, ``graph.json``, ``params.bin`` and optionally ``hw.json``,
      or a dynamic suite directory with ``suite.json`` (and optionally ``hw.json``).
    - ``batch``: items per device run; ``None`` takes the model's largest (clamped to it otherwise).
    - ``device``: the card to load it on.
    - ``shapes``: dynamic suites only, the input shapes to run at (one tuple per input, a bare tuple for a
      one-input model); default the smallest shapes of the suite's first member.

    Attributes: ``name`` (the model's digest, as the library names it), ``path``, ``dynamic``, ``batch``,
    ``max_batch``, ``device``, ``inputs`` and ``outputs`` (lists of :class:`TensorInfo`, per batch item).
    Close it with :meth:`close` or use it as a context manager; closing a model closes its pipelines.
    """

    def __init__(self, path, batch=None, *, device=0, shapes=None):
        self.path = os.fspath(path)
        if not os.path.isdir(self.path):
            raise FileNotFoundError(2, "model directory missing", self.path)
        if batch is not None and (isinstance(batch, bool) or not isinstance(batch, int) or batch < 1):
            raise ValueError(f"batch must be a positive integer or None, got {batch!r}")
        device = _count("device", device, 0)
        cards = len(devices())
        if device >= cards:
            raise ValueError(f"device {device} does not exist: this machine has {cards} card(s), "
                             f"ids 0 to {cards - 1} (see qobl.devices())")
        join = lambda f: os.path.join(self.path, f)  # noqa: E731
        hw = join("hw.json") if os.path.isfile(join("hw.json")) else ""
        suite = join("suite.json") if os.path.isfile(join("suite.json")) else ""
        self._pipelines = weakref.WeakSet()
        # Held while a pipeline is built on the model (until it is among _pipelines), and by a close as it
        # starts (_closing): the close then finds every pipeline built before it in _pipelines, and one built
        # after it is refused.  Not held while the pipelines close, which may wait for a done-callback that
        # builds a pipeline.
        self._lock = threading.RLock()
        self._closing = False
        if suite:
            config = json.loads(_read(suite))
            members = [config[f"{config['module_name']}{i}"] for i in range(int(config["module_num"]))]
            ranges = json.loads(config["shape_ranges"])
            if shapes is None:
                shapes = [r[0] for r in ranges[0]]
            elif shapes and isinstance(shapes[0], int):
                shapes = [shapes]
            try:
                shapes = [[int(d) for d in s] for s in shapes]
            except (TypeError, ValueError):
                raise ValueError(f"shapes must be one tuple of integers per input (a bare tuple for a one-input "
                                 f"model), got {shapes!r}; the suite takes {_ranges_text(ranges)}") from None
            lib = graph = params = ""
            names_from = (join(members[0][2]), join(members[0][1]))
        else:
            if shapes is not None:
                raise ValueError("shapes applies to dynamic suites only (no suite.json in " + self.path + ")")
            lib, graph, params = (_need_file(join(f)) for f in ("model.so", "graph.json", "params.bin"))
            shapes, members = [], []
            names_from = (graph, params)
        # The library does not report what its inputs hold: the graph says, and the inputs are handed over
        # as it declares them.
        in_sig, out_names = _graph_signature(*names_from)
        in_names = [name for name, _ in in_sig]
        in_types = []
        for name, text in in_sig:
            if text not in _GRAPH_TYPES:
                raise ValueError(f"input '{name}' of {self.path} holds elements of type {text}, which no numpy "
                                 f"type holds: the qobl package cannot pass it (qobl-run can run the model)")
            in_types.append((_GRAPH_TYPES[text].name, _GRAPH_TYPES[text].itemsize))
        try:
            self._core = _qobl._Model(lib, graph, params, hw, suite, batch or 0, device, shapes, in_types)
        except Error as e:
            if not suite:
                raise
            # The library says what it did not like; the suite's ranges say what to pass instead.
            raise Error(e.code, f"{e.message}; the suite takes {_ranges_text(ranges)}") from None
        self.name = self._digest(lib, graph, params, hw, members)
        self.inputs = [TensorInfo(in_names[i] if i < len(in_names) else f"input{i}", s, t)
                       for i, (s, t) in enumerate(self._core.inputs)]
        self.outputs = [TensorInfo(out_names[i] if i < len(out_names) else f"output{i}", s, t)
                        for i, (s, t) in enumerate(self._core.outputs)]
        _open_models.add(self)
        self._opened = True

    def _digest(self, lib, graph, params, hw, members):
        """MD5 over the model's file bytes, as the library names the model."""
        if not members:
            md5 = hashlib.md5()
            for path in (lib, graph, params) + ((hw,) if hw else ()):
                md5.update(_read(path))
            return md5.hexdigest()
        text = ""
        for files in members:   # [library, parameters, graph] per member, digested as library, graph, parameters
            md5 = hashlib.md5()
            for f in (files[0], files[2], files[1]):
                md5.update(_read(os.path.join(self.path, f)))
            text += md5.hexdigest()
        if hw:
            text += hashlib.md5(_read(hw)).hexdigest()
        return hashlib.md5(text.encode()).hexdigest()

    batch = property(lambda self: self._core.batch, doc="Items per device run.")
    max_batch = property(lambda self: self._core.max_batch, doc="The largest batch the model accepts.")
    device = property(lambda self: self._core.device, doc="The card the model is loaded on.")
    dynamic = property(lambda self: self._core.dynamic, doc="True for a dynamic-shape suite.")
    closed = property(lambda self: self._core.closed, doc="True once closed.")

    def close(self, timeout_ms=10000):
        """Closes the model's pipelines (each waiting up to ``timeout_ms`` for its runs, see
        :meth:`Pipeline.close`), then releases the model on the card.  A second close does nothing.

        Ctrl-C while a pipeline waits for its runs leaves the model open (see :meth:`Pipeline.close`)."""
        self._close(interruptible=True, timeout_ms=timeout_ms)

    def _close(self, interruptible, timeout_ms=10000):
        with self._lock:
            self._closing = True
        try:
            for p in list(self._pipelines):
                p._close(interruptible, timeout_ms)
        except BaseException:   # interrupted: the model stays open
            self._closing = False
            raise
        self._core.close()
        _open_models.discard(self)

    def __repr__(self):
        state = "closed" if self.closed else f"batch {self.batch} of {self.max_batch}"
        return f"<qobl.Model {self.path!r} {self.name[:8]} {state}>"


# The states of concurrent.futures.Future.
_RUNNING, _FINISHED = _futures_base.RUNNING, _futures_base.FINISHED
_DONE = frozenset((_futures_base.CANCELLED, _futures_base.CANCELLED_AND_NOTIFIED, _FINISHED))
# Orders the first use of a _Future's condition against its resolution (see _Future).  Held only over
# reads and stores into slots and lists made beforehand: nothing under it makes an object the cyclic
# collector tracks, so no collection (and no __del__ closing a pipeline, which resolves futures too) runs
# on a thread that holds it.
_first_use = threading.Lock()


class _Future(concurrent.futures.Future):
    """A future of one asynchronous run: waiting on it sends the device run it is gathered in at once.

    A plain Future makes a condition (a lock and several bound methods) and two lists when it is created,
    and every one of its calls takes that lock.  Most futures of a run are resolved before anyone waits on
    them, so a _Future makes them on first use (a wait, a done-callback, concurrent.futures.wait), and
    installs them under _first_use.  _resolve takes _first_use too: a future nobody used yet is finished by
    setting its fields, one in use goes through set_result / set_exception, which wake its waiters and call
    its callbacks.  A finished future's fields no longer change, so reading them needs no lock.
    """

    # Future.__init__'s fields, in slots: storing into them never allocates.
    __slots__ = ("_state", "_result", "_exception", "_qobl_condition", "_qobl_waiters", "_qobl_callbacks",
                 "_qobl_calls", "_qobl_seq")

    def __init__(self, calls):  # pylint: disable=super-init-not-called - Future's fields are made on first use
        self._state = _RUNNING   # runs from the start
        self._result = self._exception = self._qobl_condition = None
        self._qobl_calls = calls
        self._qobl_seq = 0

    def _qobl_first_use(self):
        waiters, callbacks, condition = [], [], threading.Condition()
        with _first_use:
            if self._qobl_condition is None:
                self._qobl_waiters = waiters
                self._qobl_callbacks = callbacks
                self._qobl_condition = condition
        # Someone waits for it or for its callbacks: resolve it as soon as its run finishes.
        self._qobl_calls.expedite(self._qobl_seq)
        return self._qobl_condition

    @property
    def _condition(self):
        condition = self._qobl_condition
        return condition if condition is not None else self._qobl_first_use()

    @property
    def _waiters(self):
        self._condition  # pylint: disable=pointless-statement - made together
        return self._qobl_waiters

    @property
    def _done_callbacks(self):
        self._condition  # pylint: disable=pointless-statement - made together
        return self._qobl_callbacks

    def done(self):
        return self._state in _DONE

    def result(self, timeout=None):
        if self._state == _FINISHED and self._exception is None:
            return self._result
        if self._state not in _DONE:
            self._qobl_calls.hurry(self, timeout)
        return super().result(timeout)

    def exception(self, timeout=None):
        if self._state == _FINISHED:
            return self._exception
        if self._state not in _DONE:
            self._qobl_calls.hurry(self, timeout)
        return super().exception(timeout)

    def _invoke_callbacks(self):
        # Done-callbacks run on the pipeline's resolver thread.  One that raises is logged, as Future does
        # for an Exception, also when it raises SystemExit or KeyboardInterrupt: letting that through would
        # end the resolver thread, and no future of the pipeline would be resolved any more.
        for callback in self._done_callbacks:
            try:
                callback(self)
            except BaseException:  # noqa: BLE001 - see above
                _futures_base.LOGGER.exception("exception calling callback for %r", self)


def _resolve(items):
    """Resolves the futures of finished runs: (future, outputs, 0, "") or (future, None, code, message)."""
    outcomes = [(item[0], item[1], None) if item[2] == 0 else (item[0], None, Error(item[2], item[3]))
                for item in items]
    in_use = [None] * len(outcomes)   # made before _first_use is taken (see there)
    n = 0
    with _first_use:
        for outcome in outcomes:
            future = outcome[0]
            if future._qobl_condition is not None:
                in_use[n] = outcome
                n += 1
            else:
                future._result = outcome[1]
                future._exception = outcome[2]
                future._state = _FINISHED
    for future, outputs, error in in_use[:n]:
        if error is None:
            future.set_result(outputs)
        else:
            future.set_exception(error)


def _resolver(core, lock):
    # Runs until the pipeline is closed and every finished run is resolved; holds no reference to the
    # Pipeline object, so an unreferenced pipeline is collected (and closed) as usual.
    wait_done, take_done = core.wait_done, core.take_done
    more = True
    while more:
        more = wait_done(1000)
        with lock:
            _resolve(take_done())


class _Calls:
    """The calls of one pipeline's extension object that its futures make, looked up once: looking up a
    method on an extension object costs more than calling it."""

    __slots__ = ("flush_if_gathering", "expedite", "wait_done", "take_done", "lock", "resolver")

    def __init__(self, core, lock):
        self.flush_if_gathering = core.flush_if_gathering
        self.expedite = core.expedite
        self.wait_done, self.take_done, self.lock = core.wait_done, core.take_done, lock
        self.resolver = None   # the pipeline's resolver thread, once started

    def hurry(self, future, timeout):
        """Sends the device run the future's input gathers in.  On the resolver thread (a done-callback
        waiting on a future of its own pipeline) the finished runs are resolved right here until the future
        is done or `timeout` (seconds, None: no limit) has passed: nobody else would resolve them meanwhile."""
        self.flush_if_gathering(future._qobl_seq)
        if self.resolver is not threading.current_thread():
            return
        end = None if timeout is None else time.monotonic() + timeout
        while not future.done():
            left = 1.0 if end is None else min(end - time.monotonic(), 1.0)
            if left <= 0:
                return
            more = self.wait_done(int(left * 1000))
            with self.lock:   # held by this thread already, around the callback that waits
                _resolve(self.take_done())
            if not more:   # closed, and every finished run resolved
                return


class Pipeline(_Closable):
    """An op graph over a model, runnable on a card: synchronous and asynchronous inference.

    ``Pipeline(model, stages=("input", "model"), device=0, max_in_flight=None, gather_timeout_ms=1.0)``

    - ``stages``: op names as ``qobl-run --graph`` takes them: ``"input"`` first, optionally
      ``"normalize"`` (the model's pre-processing on the card), ``"model"``, optionally ``"copy"``;
      ``"copy"`` is added when an output is stored in the card's core layout.
    - ``device``: the card; it must be the model's.
    - ``max_in_flight``: asynchronous inputs in flight at most (rounded up to whole device runs; default
      8 device runs).  :meth:`infer_async` waits while that many are in flight.
    - ``gather_timeout_ms``: an asynchronous input that waits this long for others to fill its device run
      gets the run filled with padding inputs and sent.  Waiting on its future sends it at once.

    Inputs: one numpy array per model input (a bare array for a one-input model), of the input's dtype
    (``model.inputs[i].dtype``, float32 for most models; nothing is converted) and shape (its leading extent
    of 1 may be left out), any layout (copied to contiguous when needed).
    Outputs: a list of fresh numpy arrays, one per model output, owned by the caller.

    Ctrl-C interrupts every wait of the main thread (:meth:`infer`, :meth:`infer_async` while
    ``max_in_flight`` inputs are in flight, :meth:`flush`, :meth:`synchronize`, :meth:`close`, and
    ``result()`` of the futures) with KeyboardInterrupt within about 50 ms.  Runs already sent go on and
    resolve their futures; the pipeline stays usable and closable.
    """

    def __init__(self, model, stages=("input", "model"), device=0, *, max_in_flight=None, gather_timeout_ms=1.0):
        if not isinstance(model, Model):
            raise TypeError(f"model must be a qobl.Model, got {type(model).__name__}")
        if model.closed:
            raise ValueError("the model is closed: open it again with qobl.Model(path) to build pipelines on it")
        if isinstance(stages, str):
            stages = stages.split(",")
        if max_in_flight is not None:
            _count("max_in_flight", max_in_flight, 1)
        device = _count("device", device, 0)
        if isinstance(gather_timeout_ms, bool) or not isinstance(gather_timeout_ms, (int, float)):
            raise TypeError(f"gather_timeout_ms must be a number, got {type(gather_timeout_ms).__name__}")
        if not 0 <= gather_timeout_ms <= 3_600_000:
            raise ValueError(f"gather_timeout_ms must be between 0 and 3600000 (an hour), got {gather_timeout_ms}")
        self.model = model
        with model._lock:   # until the model knows of it (see Model._lock)
            if model._closing:
                raise ValueError("the model is closed: open it again with qobl.Model(path) to build pipelines on it")
            self._core = _qobl._Pipeline(model._core, [s.strip() for s in stages], device, max_in_flight or 0,
                                         int(gather_timeout_ms * 1000), [t.name for t in model.inputs])
            self._lock = threading.RLock()
            # Bound once: infer and infer_async are called per item, and a method lookup on the extension
            # object costs about as much as the rest of the Python side of such a call.
            self._submit, self._infer = self._core.submit_function(), self._core.infer
            self._calls = _Calls(self._core, self._lock)
            self.ops = self._core.ops
            self.stages = tuple(op["stage"] for op in self.ops)
            self.device = device
            self._thread = threading.Thread(target=_resolver, args=(self._core, self._lock),
                                            name=f"qobl-resolver-{model.name[:8]}", daemon=True)
            self._calls.resolver = self._thread
            self._thread.start()
            model._pipelines.add(self)
            _open_pipelines.add(self)
            self._opened = True

    closed = property(lambda self: self._core.closed, doc="True once closed.")
    cache_number = property(lambda self: self._core.cache_number,
                            doc="Inputs gathered per device run (the model's batch for one-tensor inputs).")

    def _check_open(self):
        if self._core.closed:
            raise ValueError("the pipeline is closed: make a new qobl.Pipeline (on an open qobl.Model) to run more")

    def infer(self, x, timeout_ms=None):
        """Runs one item synchronously and returns its outputs (a list of numpy arrays).

        When the model's batch is larger than 1 the device run is filled with copies of the item, so one
        call costs one device run; use :meth:`infer_async` or :meth:`infer_batch` for throughput.
        Raises :class:`Error` when the run fails or times out (``timeout_ms``, default no limit).  A run
        that timed out or was interrupted (Ctrl-C) goes on on the card, its outputs dropped; the next
        ``infer`` waits for it before it starts.
        """
        if timeout_ms is None:
            return self._infer(x, _WAIT_FOREVER)   # raises ValueError when closed, as _check_open does
        timeout = _wait_ms("timeout_ms", timeout_ms)
        self._check_open()
        return self._infer(x, timeout)

    def infer_async(self, x):
        """Starts a run of one item; returns a :class:`concurrent.futures.Future` of its outputs.

        Inputs in flight are gathered into device runs of the model's batch.  The future fails with
        :class:`Error` when the card reports an error for the run.  Input errors raise here
        (``ValueError``, ``TypeError``).  Waits while ``max_in_flight`` inputs are in flight; Ctrl-C
        then raises KeyboardInterrupt and the item is not started.
        """
        future = _Future(self._calls)
        future._qobl_seq = self._submit(x, future)   # raises ValueError when closed
        return future

    def infer_batch(self, xs):
        """Runs many items (an iterable of inputs, or an array whose first axis enumerates the items) and
        returns one output list per item, in order.  Raises the first failed item's :class:`Error`; an item
        that is not a valid input raises (``ValueError``, ``TypeError``) once the items before it are sent,
        and those still run."""
        self._check_open()
        futures = []
        try:
            for x in xs:
                futures.append(self.infer_async(x))
        except Exception:   # not on Ctrl-C, which must not wait for the flush's padding slots
            if futures:     # the items started before a bad one still run, without waiting to be gathered
                self._core.flush()
            raise
        self._core.flush()
        return [f.result() for f in futures]

    def flush(self):
        """Sends the device run that is gathering inputs now, filled with padding inputs."""
        self._check_open()
        self._core.flush()

    def synchronize(self, timeout_ms=None):
        """Waits until every run started before the call has finished and its future is resolved.

        Other threads may keep starting runs meanwhile.  Raises :class:`Error` with code
        ``ERR_STREAM_SYNC_TIMEOUT`` after ``timeout_ms`` (default no limit).  Ctrl-C raises
        KeyboardInterrupt; the runs go on and resolve their futures.
        """
        timeout = _wait_ms("timeout_ms", timeout_ms)
        self._check_open()
        last = self._core.last_submitted
        self._core.flush()
        done = self._core.wait_finished(last, timeout)
        with self._lock:
            _resolve(self._core.take_done())
        if not done:
            raise Error(ERR_STREAM_SYNC_TIMEOUT, f"synchronize: runs still in flight after {timeout_ms} ms")

    def stats(self):
        """Counters: ``submitted``, ``completed``, ``failed``, ``in_flight``, ``padding_inputs``, ``slots``
        (card-memory slots made), ``cache_number``."""
        return self._core.stats()

    def close(self, timeout_ms=10000):
        """Sends what gathers, waits for the runs in flight, resolves every future and releases the
        pipeline on the card.  A second close does nothing.

        The runs are waited for up to ``timeout_ms`` (``None``: without a limit).  Runs the
        card has not finished by then (a card that is stuck) fail their futures with :class:`Error` (code
        ``ERR_RUN_STREAM``), and the pipeline's card resources are released in the background once the card
        has finished those runs, or the library gave up on them (after at most 10 s per stream): close()
        itself returns after about ``timeout_ms``.  Interpreter exit waits for such releases.

        Ctrl-C while it waits for the runs raises KeyboardInterrupt and leaves the pipeline open and usable,
        its runs going on; close it again later."""
        self._close(interruptible=True, timeout_ms=timeout_ms)

    def _close(self, interruptible, timeout_ms=10000):
        timeout = _wait_ms("timeout_ms", timeout_ms)
        if _qobl._card_lost():
            # A forked child: marked closed only.  Its resolver thread did not survive the fork, and a lock
            # that thread held then would stay held here.
            self._core.close(False, 0)
            _open_pipelines.discard(self)
            return
        self._core.close(interruptible, timeout)
        with self._lock:
            _resolve(self._core.take_done())
        if self._thread is not threading.current_thread():
            self._thread.join()
        _open_pipelines.discard(self)

    def __repr__(self):
        state = "closed" if self.closed else f"{self.cache_number} inputs per device run"
        return f"<qobl.Pipeline {' -> '.join(self.stages)} on device {self.device}, {state}>"
