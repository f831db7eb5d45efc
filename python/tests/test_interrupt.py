"""Ctrl-C during the waits of the main thread, and what an interrupted or timed-out wait leaves behind."""

import time

import pytest

import qobl
from conftest import MODELS, assert_bit_exact, load_sample, run_script

# Runs in a fresh interpreter, so that a real SIGINT (sent to the whole process, as a terminal's Ctrl-C
# is) reaches the main thread.  Each wait starts while the card's ops take 2 s each, so that nothing
# finishes for seconds; the signal comes 0.3 s into the call.
INTERRUPT_SCRIPT = r"""
import os, signal, sys, threading, time, traceback
import numpy as np, qobl
from conftest import Card

card = Card()
model = qobl.Model(sys.argv[1])
x = np.random.default_rng(7).random(model.inputs[0].shape, dtype=np.float32)
memory = qobl.devices()[0]["memory_used_bytes"]
pipe = qobl.Pipeline(model, max_in_flight=model.batch, gather_timeout_ms=60_000)   # one device run of slots
reference = pipe.infer(x)
futures = []

def same(got):
    assert len(got) == len(reference) and all(g.tobytes() == r.tobytes() for g, r in zip(got, reference))

def interrupted(name, call):
    # call() while the card's ops take 2 s each, SIGINT 0.3 s in: KeyboardInterrupt must come from the
    # method `name` before any run could finish.  Then one more item must run right, and every future
    # complete with the right outputs.
    completed = card.stats().runs_completed
    card.set_op_delay_us(2_000_000)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    try:
        call()
        raise AssertionError(f"{name} returned after {time.monotonic() - start:.1f} s, not interrupted")
    except KeyboardInterrupt as e:
        took = time.monotonic() - start
        frames = [f.name for f in traceback.extract_tb(e.__traceback__)]
        assert name in frames, (name, frames)
        assert card.stats().runs_completed == completed, f"{name}: interrupted only once a run ended"
        assert took < 3.0, f"{name}: interrupted after {took:.1f} s"
    finally:
        timer.join()
        card.set_op_delay_us(0)
    same(pipe.infer(x))                   # waits for a synchronous run left on the card, then runs
    pipe.synchronize()
    for f in futures:
        same(f.result(0))

def start(n):
    futures.extend(pipe.infer_async(x) for _ in range(n))

def synchronize_one():
    start(1)
    pipe.synchronize()

def wait_for_one():
    start(1)
    futures[-1].result()

interrupted("infer", lambda: pipe.infer(x))
interrupted("synchronize", synchronize_one)
interrupted("result", wait_for_one)
submitted = pipe.stats()["submitted"]
interrupted("infer_async", lambda: start(pipe.cache_number + 1))   # the last waits for a free slot
assert pipe.stats()["submitted"] == submitted + pipe.cache_number, "the interrupted item was started"
interrupted("infer_batch", lambda: pipe.infer_batch([x] * (pipe.cache_number + 1)))   # the last waits for a slot
interrupted("close", lambda: (start(pipe.cache_number), pipe.close()))
assert not pipe.closed
pipe.close()
assert pipe.closed and pipe.stats()["completed"] == len(futures) + pipe.cache_number   # + infer_batch's
assert qobl.devices()[0]["memory_used_bytes"] == memory, (qobl.devices(), memory)
print("ok")
"""


def test_ctrl_c_interrupts_every_wait_and_the_pipeline_goes_on():
    proc = run_script(INTERRUPT_SCRIPT, MODELS / "classifier", timeout=180)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stdout + proc.stderr


def test_a_timed_out_infer_goes_on_on_the_card(card):
    with qobl.Model(MODELS / "classifier") as model, qobl.Pipeline(model) as pipe:
        (x,), expected = load_sample(MODELS / "classifier", model)
        card.set_op_delay_us(1_500_000)   # a run takes 1.5 s
        start = time.monotonic()
        with pytest.raises(qobl.Error) as info:
            pipe.infer(x, timeout_ms=100)
        assert info.value.code == qobl.ERR_RUN_STREAM and "100 ms" in str(info.value)
        assert time.monotonic() - start < 1.0, "the time-out did not cut the wait short"
        card.set_op_delay_us(0)
        # The next run waits for the one left on the card, whose card memory it reuses.
        assert_bit_exact(pipe.infer(x), expected)
        card.set_op_delay_us(300_000)
        with pytest.raises(qobl.Error):
            pipe.infer(x, timeout_ms=100)
    # Closing waited for that run: nothing is left on the card (checked by the fixture).
    assert pipe.closed
