"""Shared fixtures: the demo models of the build, their samples, and the simulated card's test controls
(live-block accounting, fault injection, op delays) reached through ctypes."""

import ctypes
import faulthandler
import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import qobl

BUILD = pathlib.Path(os.environ.get("QOBL_BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build"))
MODELS = BUILD / "models"

# A hang (a deadlock between the card's threads and the interpreter) fails the run with every thread's
# stack instead of blocking CI until its time-out.
faulthandler.dump_traceback_later(240, exit=True)


class Stats(ctypes.Structure):
    _fields_ = [("live_blocks", ctypes.c_uint64 * 4), ("live_bytes", ctypes.c_uint64 * 4),
                ("allocs", ctypes.c_uint64 * 4), ("frees", ctypes.c_uint64 * 4),
                ("runs_submitted", ctypes.c_uint64), ("runs_completed", ctypes.c_uint64),
                ("runs_failed", ctypes.c_uint64), ("reports_delivered", ctypes.c_uint64)]


class Card:
    """The simulated card's test-support calls (qobcrt_sim.h)."""

    def __init__(self):
        self.lib = ctypes.CDLL(str(BUILD / "lib" / "libqobcrt.so"))
        self.lib.qobcrt_sim_fail_call.argtypes = [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_uint32]

    def stats(self, dev=0):
        s = Stats()
        assert self.lib.qobcrt_sim_get_stats(dev, ctypes.byref(s)) == 0
        return s

    def live_blocks(self, dev=0):
        return list(self.stats(dev).live_blocks)

    def fail_op(self, uid, code):
        assert self.lib.qobcrt_sim_fail_op(uid, code) == 0

    def fail_call(self, name, nth, code):
        assert self.lib.qobcrt_sim_fail_call(name.encode(), nth, code) == 0

    def call_count(self, name):
        """Calls of the runtime function `name` made so far, counted as each call starts."""
        n = ctypes.c_uint64()
        assert self.lib.qobcrt_sim_call_count(name.encode(), ctypes.byref(n)) == 0
        return n.value

    def set_op_delay_us(self, us, dev=0):
        assert self.lib.qobcrt_sim_set_op_delay_us(dev, us) == 0

    def clear(self):
        self.lib.qobcrt_sim_clear_faults()
        self.set_op_delay_us(0)


@pytest.fixture(scope="session")
def card():
    return Card()


@pytest.fixture(autouse=True)
def no_leaked_blocks(card):
    """Every test leaves the card as it found it: no live block of any memory kind, no fault, no delay."""
    before = card.live_blocks()
    yield
    card.clear()
    assert card.live_blocks() == before, "card blocks leaked (stream, inout, shared DDR, application)"


def load_sample(sample_dir, model):
    """The sample input arrays and expected output arrays in sample_dir, shaped for `model`."""
    raw_in = np.fromfile(pathlib.Path(sample_dir) / "sample_input.bin", np.uint8)
    raw_out = np.fromfile(pathlib.Path(sample_dir) / "expected_output.bin", np.uint8)
    return split(raw_in, model.inputs), split(raw_out, model.outputs)


def split(raw, infos):
    arrays, off = [], 0
    for t in infos:
        n = int(np.prod(t.shape)) * t.dtype.itemsize
        arrays.append(raw[off:off + n].view(t.dtype).reshape(t.shape))
        off += n
    assert off == raw.size, "sample file size does not match the model"
    return arrays


def assert_bit_exact(got, expected):
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert g.dtype == e.dtype and g.shape == e.shape
        assert g.tobytes() == e.tobytes()


def package_model(directory, description):
    """Packages a model of one's own from `description` (qobl-model-gen's JSON, as a dict; its kernels
    from the test kernel library unless it names another) into directory/m; returns that directory."""
    directory = pathlib.Path(directory)
    description = dict({"library": str(BUILD / "tests" / "byom" / "byom_kernels.so")}, **description)
    (directory / "model.json").write_text(json.dumps(description))
    proc = subprocess.run([str(BUILD / "bin" / "qobl-model-gen"), "package", str(directory / "model.json"),
                           str(directory / "m")], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return directory / "m"


def run_script(script, *args, timeout, env=None):
    """Runs `script` in a fresh interpreter that imports this package and these fixtures (sys.path passed on),
    with `args` as its sys.argv[1:]; the finished process, its output captured as text."""
    env = dict(os.environ if env is None else env, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", script, *map(str, args)], env=env, capture_output=True, text=True,
                          timeout=timeout)
