"""Threads: many submitters, closing with runs in flight, the interpreter lock while the card works, and
interpreter exit with pipelines left open."""

import concurrent.futures
import ctypes
import threading
import time

import numpy as np

import pytest

import qobl
from conftest import BUILD, MODELS, assert_bit_exact, load_sample, package_model, run_script


@pytest.fixture
def classifier():
    with qobl.Model(MODELS / "classifier") as model, qobl.Pipeline(model, max_in_flight=16) as pipe:
        (x,), expected = load_sample(MODELS / "classifier", model)
        yield pipe, x, expected


def run_threads(n, target):
    errors = []

    def guarded(i):
        try:
            target(i)
        except BaseException as e:  # noqa: BLE001 - reported by the test below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    assert not errors, errors


def test_many_futures_from_several_threads(classifier):
    pipe, x, expected = classifier
    per_thread, results = 150, {}

    def submit(i):
        futures = [pipe.infer_async(x) for _ in range(per_thread)]
        if i % 2:
            assert_bit_exact(pipe.infer(x), expected)   # synchronous runs beside the asynchronous ones
            pipe.synchronize()
            assert all(f.done() for f in futures)
        results[i] = [f.result(timeout=60) for f in futures]

    run_threads(6, submit)
    assert sum(len(r) for r in results.values()) == 6 * per_thread
    for r in results.values():
        for got in r:
            assert_bit_exact(got, expected)
    s = pipe.stats()
    assert (s["submitted"], s["completed"], s["in_flight"]) == (6 * per_thread, 6 * per_thread, 0)
    assert s["slots"] <= 16


def test_close_with_runs_in_flight_resolves_every_future(card):
    card.set_op_delay_us(2000)
    model = qobl.Model(MODELS / "classifier")
    pipe = qobl.Pipeline(model, max_in_flight=64)
    (x,), expected = load_sample(MODELS / "classifier", model)
    futures = [pipe.infer_async(x) for _ in range(4 * 10 + 1)]   # the last one still gathers
    pipe.close()
    assert all(f.done() for f in futures)
    for f in futures:
        assert_bit_exact(f.result(0), expected)

    # Closing from another thread while threads submit: every submission either raises because the
    # pipeline is closed, or its future is resolved when close returns.
    pipe = qobl.Pipeline(model, max_in_flight=8)
    submitted, refused = [], []

    def submit(_):
        while True:
            try:
                submitted.append(pipe.infer_async(x))
            except ValueError as e:
                assert "closed" in str(e)
                refused.append(e)
                return

    threads = [threading.Thread(target=submit, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    time.sleep(0.05)
    model.close()   # closes the pipeline first
    for t in threads:
        t.join(60)
    assert len(refused) == 3 and submitted
    assert all(f.done() for f in submitted)
    for f in submitted:
        if f.exception() is None:
            assert_bit_exact(f.result(), expected)
        else:
            assert f.exception().code == qobl.ERR_RUN_STREAM


def test_closing_a_model_while_threads_build_pipelines_on_it():
    """A pipeline being built when its model is closed is either closed with the model's others, or
    refused because the model is closed; the close itself goes through."""
    for _ in range(3):
        model = qobl.Model(MODELS / "classifier")
        (x,), expected = load_sample(MODELS / "classifier", model)
        outcomes, start = [], threading.Barrier(5)

        def build(_):
            start.wait()
            try:
                with qobl.Pipeline(model) as pipe:
                    assert_bit_exact(pipe.infer(x), expected)
                outcomes.append("ran")
            except ValueError as e:
                assert "closed" in str(e)
                outcomes.append("closed")

        threads = [threading.Thread(target=build, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        start.wait()
        model.close()
        for t in threads:
            t.join(60)
        assert model.closed and len(outcomes) == 4

    # A done-callback builds a pipeline while the model closes, and the close waits for that callback.
    model = qobl.Model(MODELS / "classifier")
    pipe = qobl.Pipeline(model, gather_timeout_ms=60_000)
    in_callback, built = threading.Event(), []

    def build_in_callback(_):
        in_callback.set()
        time.sleep(0.2)   # the close has begun
        try:
            qobl.Pipeline(model).close()
            built.append("ran")
        except ValueError as e:
            built.append(str(e))

    pipe.infer_async(x).add_done_callback(build_in_callback)
    pipe.flush()
    assert in_callback.wait(30)
    closer = threading.Thread(target=model.close)
    closer.start()
    closer.join(30)
    assert not closer.is_alive(), "closing the model and a callback building a pipeline wait for each other"
    assert model.closed and len(built) == 1 and "closed" in built[0]


def test_close_on_a_stuck_card_returns_after_its_time_out(card):
    """The library waits up to 10 s per stream for runs the card does not finish: close(timeout_ms) waits
    for them only that long, fails what is left, and the card's memory is released in the background."""
    model = qobl.Model(MODELS / "classifier")
    pipe = qobl.Pipeline(model, gather_timeout_ms=60_000)
    (x,), expected = load_sample(MODELS / "classifier", model)
    assert_bit_exact(pipe.infer(x), expected)
    card.set_op_delay_us(2_000_000)   # each op of a run takes 2 s: stuck, for a 0.3 s close
    futures = [pipe.infer_async(x) for _ in range(pipe.cache_number + 1)]   # a device run sent, one gathering
    with pytest.raises(qobl.Error):
        pipe.infer(x, timeout_ms=50)   # a synchronous run left on the card as well
    waited = []

    def infer_without_limit():   # waits for its turn behind the run left on the card, then for its own
        try:
            pipe.infer(x)
        except (qobl.Error, ValueError) as e:   # closed while it waited for the card, or for its turn
            waited.append((time.monotonic(), e))

    waiter = threading.Thread(target=infer_without_limit)
    waiter.start()
    time.sleep(0.1)
    start = time.monotonic()
    pipe.close(timeout_ms=300)
    took = time.monotonic() - start
    model.close()   # its pipeline is still being released: the model goes once that is done
    waiter.join(30)
    assert took < 2.0, took
    assert waited and waited[0][0] - start < 2.0, "an infer waiting for the card did not end with the close"
    assert pipe.closed and model.closed
    for f in futures:
        assert f.exception(0).code == qobl.ERR_RUN_STREAM and "closed before" in str(f.exception(0))
    with pytest.raises(ValueError):
        pipe.infer_async(x)
    with pytest.raises(ValueError):
        qobl.Pipeline(model)
    card.set_op_delay_us(0)
    assert qobl._qobl._wait_calls_finished(60_000)   # released once the card is done; the fixture checks it

    # A card that finishes in time: close waits for it, without a limit with None.
    with qobl.Model(MODELS / "classifier") as model:
        pipe = qobl.Pipeline(model)
        card.set_op_delay_us(200_000)
        futures = [pipe.infer_async(x) for _ in range(pipe.cache_number)]
        pipe.close(timeout_ms=None)
        for f in futures:
            assert_bit_exact(f.result(0), expected)
        with pytest.raises(ValueError):
            qobl.Pipeline(model).close(timeout_ms=-1)


def test_a_pipeline_given_up_on_releases_its_two_streams_side_by_side(card):
    """Each stream's destruction waits up to 10 s for runs the card does not finish.  A pipeline whose
    close gave up with a run of each stream on a stuck card is released in about those 10 s, not 20."""
    with qobl.Model(MODELS / "classifier") as model:
        pipe = qobl.Pipeline(model, gather_timeout_ms=60_000)
        (x,), _ = load_sample(MODELS / "classifier", model)
        pipe.infer(x)   # the synchronous stream is made
        card.set_op_delay_us(12_000_000)   # longer than the library waits for a stream's runs
        futures = [pipe.infer_async(x) for _ in range(pipe.cache_number)]   # a device run on the card
        with pytest.raises(qobl.Error):
            pipe.infer(x, timeout_ms=50)   # and one of the synchronous stream behind it
        start = time.monotonic()
        pipe.close(timeout_ms=300)
        assert qobl._qobl._wait_calls_finished(60_000)
        took = time.monotonic() - start
        card.set_op_delay_us(0)   # the op on the card now ends after its 12 s, the next one at once
        assert all(f.exception(0).code == qobl.ERR_RUN_STREAM for f in futures)
        assert took < 16, f"the release took {took:.1f} s"
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:   # the card's last runs end before the leak check
            s = card.stats()
            if s.runs_submitted == s.runs_completed + s.runs_failed:
                break
            time.sleep(0.05)


def test_runs_nobody_waits_for_complete_while_the_resolver_sleeps(card):
    """The resolver sleeps up to a second when nothing is in flight: a lone input must still be sent after
    its gather time and its future resolved, without anyone waiting on it; and submitters blocked on
    max_in_flight must be woken as runs finish."""
    with qobl.Model(MODELS / "classifier") as model:
        (x,), expected = load_sample(MODELS / "classifier", model)
        with qobl.Pipeline(model, gather_timeout_ms=2) as pipe:
            latencies = []
            for _ in range(20):
                time.sleep(0.02)   # the resolver goes back to sleep
                start = time.monotonic()
                future = pipe.infer_async(x)
                while not future.done() and time.monotonic() - start < 5:
                    time.sleep(0.0005)
                latencies.append(time.monotonic() - start)
                assert_bit_exact(future.result(0), expected)
            # Woken in time, the resolver sends the run after 2 ms; asleep until its next look, after up to 1 s.
            assert sorted(latencies)[len(latencies) // 2] < 0.25 and max(latencies) < 0.8, latencies

        card.set_op_delay_us(1000)
        with qobl.Pipeline(model, max_in_flight=1, gather_timeout_ms=60_000) as pipe:
            per_thread, results = 40, {}

            def submit(i):
                futures = []
                for k in range(per_thread):
                    futures.append(pipe.infer_async(x))
                    if i == 0 and k % 3 == 0:
                        futures[-1].result(timeout=60)   # sends a partly gathered run while others wait
                results[i] = [f.result(timeout=60) for f in futures]

            run_threads(3, submit)
            for r in results.values():
                for got in r:
                    assert_bit_exact(got, expected)
            assert pipe.stats()["completed"] == 3 * per_thread


def test_interpreter_lock_is_free_while_the_card_works(classifier, card):
    pipe, x, expected = classifier
    card.set_op_delay_us(50_000)   # each op of a run takes 50 ms

    ticks = [0]
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks[0] += 1

    t = threading.Thread(target=tick)
    t.start()
    try:
        for wait in (lambda: pipe.infer(x), lambda: pipe.infer_async(x).result(), pipe.synchronize,
                     lambda: pipe.infer_batch([x] * 4)):
            before = ticks[0]
            pipe.infer_async(x)
            wait()
            assert ticks[0] - before > 1000, "another thread could not run Python while this one waited"
    finally:
        stop.set()
        t.join()
    card.set_op_delay_us(0)

    # The card's report thread finishes runs while this thread holds the interpreter lock: a C call made
    # through PyDLL keeps the lock for its whole duration.
    pipe.synchronize()
    done = pipe.stats()["completed"]
    futures = [pipe.infer_async(x) for _ in range(pipe.cache_number)]
    ctypes.PyDLL(None).usleep(300_000)
    assert pipe.stats()["completed"] == done + pipe.cache_number
    for f in futures:
        assert_bit_exact(f.result(timeout=30), expected)


def test_other_threads_run_python_while_an_input_is_copied_to_the_card(card, tmp_path):
    """A submission copies its input to the card without the interpreter lock: another thread sees the
    copy started (the card counts its copy calls as they start) while the pipeline has not counted the
    submission yet, which it does once the copy is done."""
    model_dir = package_model(tmp_path, {
        "inputs": [{"name": "data", "shape": [1, 1 << 23]}],   # 32 MiB of float32 per input
        "nodes": [{"name": "out", "func": "byom_zero", "inputs": ["data"], "shape": [1, 1]}],
        "outputs": ["out"], "hw": {"max_batch_size": 1}})
    with qobl.Model(model_dir) as model, qobl.Pipeline(model, max_in_flight=1) as pipe:
        x = np.ones(model.inputs[0].shape, np.float32)
        pipe.infer_async(x).result(60)   # the slot's card memory is made, and free again
        base, seen, stop = [None], [], threading.Event()

        def watch():
            while not stop.is_set() and not seen:
                copies, submitted = card.call_count("qobcrt_memcpy"), pipe.stats()["submitted"]
                if base[0] is not None and copies > base[0][0] and submitted == base[0][1]:
                    seen.append(copies)

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            for _ in range(20):
                base[0] = (card.call_count("qobcrt_memcpy"), pipe.stats()["submitted"])
                future = pipe.infer_async(x)   # finds the slot free: waits for nothing but the copy
                base[0] = None
                assert future.result(60)[0].shape == (1, 1)
                if seen:
                    break
        finally:
            stop.set()
            watcher.join()
        assert seen, "no other thread ran Python while an input was copied to the card"


def test_done_callbacks_may_call_the_pipeline(classifier):
    pipe, x, expected = classifier
    seen, finished = [], threading.Event()

    def again(f):
        assert_bit_exact(f.result(), expected)
        seen.append(pipe.infer(x))                  # a synchronous run from the resolver thread
        inner = pipe.infer_async(x)
        pipe.synchronize()                          # resolves `inner` on this very thread
        seen.append(inner.result(0))
        if len(seen) == 20:
            finished.set()

    for _ in range(10):
        pipe.infer_async(x).add_done_callback(again)
    assert finished.wait(60)
    for got in seen:
        assert_bit_exact(got, expected)

    # A callback waiting on other futures of the pipeline, which only this thread resolves: one that
    # finished in the same device run, and one it starts itself.
    chained = []

    def wait_on(f, other):
        chained.append(other.result(timeout=20))
        chained.append(pipe.infer_async(x).result(timeout=20))
        chained.append(pipe.infer_batch([x] * 3))

    first, second = pipe.infer_async(x), pipe.infer_async(x)
    first.add_done_callback(lambda f: wait_on(f, second))
    first.result(timeout=30)
    pipe.synchronize()
    assert len(chained) == 3
    for got in chained[:2] + chained[2]:
        assert_bit_exact(got, expected)


def test_futures_used_in_every_way_while_their_runs_are_on_the_card(classifier, card):
    """Futures make their condition on first use: waits, callbacks and concurrent.futures helpers that
    start while the run is on the card must all see its resolution, failed runs included."""
    pipe, x, expected = classifier
    # Long enough that no run ends while the 16 are submitted and checked, nearly always.  A machine that
    # stalls this thread longer (seen under ASan beside a build) lets the card complete a run meanwhile,
    # which the card's count shows: the checks are then made again on fresh runs.
    card.set_op_delay_us(1_000_000)
    for _ in range(3):
        completed = card.stats().runs_completed
        futures = [pipe.infer_async(x) for _ in range(16)]   # the pipeline's max_in_flight
        states = [(f.done(), f.running()) for f in futures]
        text = repr(futures[0])
        try:
            futures[0].result(timeout=0)
            timed_out = False
        except concurrent.futures.TimeoutError:
            timed_out = True
        callback_threads = []
        for f in futures[:8]:
            f.add_done_callback(lambda f, seen=callback_threads: seen.append(threading.current_thread().name))
        if card.stats().runs_completed == completed:
            break
        pipe.synchronize()
    assert card.stats().runs_completed == completed, "the card completed runs during the checks three times"
    assert not any(done for done, _ in states) and all(running for _, running in states)
    assert "state=running" in text and timed_out
    waited = {}
    run_threads(2, lambda i: waited.setdefault(i, concurrent.futures.wait(futures[8 * i:8 * i + 8], timeout=60)))
    in_order = list(concurrent.futures.as_completed(futures, timeout=60))
    card.set_op_delay_us(0)
    assert all(not w.not_done and len(w.done) == 8 for w in waited.values())
    assert sorted(map(id, in_order)) == sorted(map(id, futures))
    assert len(callback_threads) == 8 and all(n.startswith("qobl-resolver-") for n in callback_threads)
    for f in futures:
        assert f.done() and f.exception() is None and not f.cancel()
        assert_bit_exact(f.result(0), expected)
    # A callback added once the future is done runs at once, on the caller's thread.
    futures[0].add_done_callback(lambda f: callback_threads.append(threading.current_thread().name))
    assert callback_threads[-1] == threading.current_thread().name

    # Futures nobody waits for are resolved in batches, yet in bounded time while the pipeline stays busy:
    # one device run completes while the next gathers (for a minute), and done() of the first becomes true.
    with qobl.Pipeline(pipe.model, max_in_flight=64, gather_timeout_ms=60_000) as busy:
        first = [busy.infer_async(x) for _ in range(busy.cache_number)]
        gathering = busy.infer_async(x)
        deadline = time.monotonic() + 60
        while not all(f.done() for f in first) and time.monotonic() < deadline:
            time.sleep(0.001)
        assert all(f.done() for f in first) and not gathering.done()
        assert_bit_exact(gathering.result(60), expected)   # waiting sends its device run

    # Failed runs, resolved with and without anyone waiting.  Each group of inputs makes one device run, the
    # one that fails: the gathering time is long, so that a slow machine (seen under TSan) does not send a
    # partial run that takes the fault and leaves the group's later inputs to a run that succeeds.
    with qobl.Pipeline(pipe.model, gather_timeout_ms=60_000) as gathering_pipe:
        model_op = next(op["uid"] for op in gathering_pipe.ops if op["stage"] == "model")
        card.fail_op(model_op, 500010)
        failed = [gathering_pipe.infer_async(x) for _ in range(gathering_pipe.cache_number)]
        gathering_pipe.synchronize()
        waiting = failed[0]
        card.fail_op(model_op, 500010)
        failed += [gathering_pipe.infer_async(x) for _ in range(gathering_pipe.cache_number)]
        waiters = concurrent.futures.wait(failed, timeout=60)
    assert not waiters.not_done and waiting.done()
    for f in failed:
        assert f.exception(0).code == 500010 and "raised Error" in repr(f)
        with pytest.raises(qobl.Error):
            f.result(0)


COLLECTION_SCRIPT = r"""
import sys, threading, numpy as np, qobl
model = qobl.Model(sys.argv[1])
pipe, orphan = qobl.Pipeline(model), qobl.Pipeline(model)
x = np.zeros(model.inputs[0].shape, np.float32)
future, orphan_future = pipe.infer_async(x), orphan.infer_async(x)
made = threading.Condition
def condition(*args):                  # making an object may start a collection, whose finalizers may
    orphan.close()                     # close an unreferenced pipeline, resolving its futures
    return made(*args)
threading.Condition = condition
future.add_done_callback(lambda f: None)   # the future's first use: it makes its condition
assert future.result(60)[0].shape == model.outputs[0].shape and orphan_future.done()
print("ok")
"""


def test_a_pipeline_closed_during_a_futures_first_use():
    proc = run_script(COLLECTION_SCRIPT, MODELS / "classifier", timeout=120)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr


EXIT_SCRIPT = r"""
import ctypes, sys, threading, numpy as np, qobl
ctypes.CDLL(sys.argv[2]).qobcrt_sim_set_op_delay_us(0, 1000)
model = qobl.Model(sys.argv[1])
pipe = qobl.Pipeline(model, max_in_flight=4)
x = np.zeros(model.inputs[0].shape, np.float32)
futures = [pipe.infer_async(x) for _ in range(4)]
def keep_submitting():                 # blocked waiting for a free slot when the interpreter exits
    try:
        while True:
            pipe.infer_async(x)
    except ValueError:                 # closed at exit
        pass
threading.Thread(target=keep_submitting, daemon=True).start()
def say(line):                        # one write per line: print() writes the text and its end separately,
    sys.stdout.write(line + "\n")     # so lines printed from two threads could interleave
    sys.stdout.flush()
futures[0].add_done_callback(lambda f: say("first done"))
say("exiting")
"""


def test_interpreter_exit_with_open_pipelines_is_clean():
    for _ in range(3):
        proc = run_script(EXIT_SCRIPT, MODELS / "classifier", BUILD / "lib" / "libqobcrt.so", timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert sorted(proc.stdout.split()) == ["done", "exiting", "first"], proc.stdout
        assert "Traceback" not in proc.stderr and "ERROR" not in proc.stderr, proc.stderr


def test_callbacks_that_raise_do_not_stop_the_resolver(classifier, caplog):
    pipe, x, expected = classifier
    ran = []

    def raises(exc):
        def callback(_):
            raise exc
        return callback

    for exc in (RuntimeError("plain"), SystemExit(3), KeyboardInterrupt()):
        f = pipe.infer_async(x)
        f.add_done_callback(raises(exc))
        f.add_done_callback(lambda f: ran.append(f))   # the future's other callbacks still run
        assert_bit_exact(f.result(timeout=30), expected)
    # Futures resolved later, by the resolver thread (nobody waits on them), still complete.
    later = [pipe.infer_async(x) for _ in range(2 * pipe.cache_number + 1)]
    pipe.flush()
    deadline = time.monotonic() + 30
    while not all(f.done() for f in later) and time.monotonic() < deadline:
        time.sleep(0.005)
    assert all(f.done() for f in later), "the resolver thread ended"
    assert len(ran) == 3
    assert sum("exception calling callback" in r.getMessage() for r in caplog.records) == 3


FORK_SCRIPT = r"""
import os, sys, time, numpy as np, qobl
def child_calls(model, pipe, x, pending):
    calls = {"infer": lambda: pipe.infer(x), "infer_async": lambda: pipe.infer_async(x),
             "result": pending.result, "synchronize": pipe.synchronize,
             "Model": lambda: qobl.Model(sys.argv[1]), "Pipeline": lambda: qobl.Pipeline(model)}
    for name, call in calls.items():
        try:
            call()
            print(name, "returned")
        except RuntimeError as e:
            assert "forked" in str(e) and "spawn" in str(e), e
    pipe.close()
    assert pipe.closed
    print("child done", flush=True)
    sys.exit(7)                        # the interpreter's normal exit, with a pipeline left open

x = np.zeros((1, 3, 16, 16), np.float32)
pid = os.fork()                        # before any model is opened: the child may use the card
if pid == 0:
    with qobl.Model(sys.argv[1]) as m, qobl.Pipeline(m) as p:
        p.infer(x)
    os._exit(0)
assert os.waitpid(pid, 0)[1] == 0
model = qobl.Model(sys.argv[1])
pipe, other = qobl.Pipeline(model, gather_timeout_ms=60_000), qobl.Pipeline(model)
pipe.infer(x)
pending = pipe.infer_async(x)          # still gathering at the fork
pid = os.fork()
if pid == 0:
    child_calls(model, other, x, pending)
start = time.monotonic()
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if time.monotonic() - start > 20:    # a hung child is not left behind
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        raise AssertionError("the forked child hangs")
    time.sleep(0.02)
assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 7, status
assert pending.result(30)[0].shape == (1, 10) and pipe.infer(x)[0].shape == (1, 10)   # the parent goes on
print("ok")
"""


def test_a_forked_child_gets_a_clear_error_and_exits():
    proc = run_script(FORK_SCRIPT, MODELS / "classifier", timeout=120)
    assert proc.returncode == 0 and proc.stdout == "child done\nok\n", proc.stdout + proc.stderr


FORK_RELEASE_SCRIPT = r"""
import ctypes, gc, multiprocessing, os, sys, time, numpy as np, qobl
card = ctypes.CDLL(sys.argv[2])
model = qobl.Model(sys.argv[1])
pipe = qobl.Pipeline(model)
x = np.zeros((1, 3, 16, 16), np.float32)
expected = pipe.infer(x)[0]
card.qobcrt_sim_set_op_delay_us(0, 1_000_000)
stuck = qobl.Pipeline(model)
stuck.infer_async(x)
stuck.close(timeout_ms=50)             # released in a thread of the parent while the children run
card.qobcrt_sim_set_op_delay_us(0, 0)

def drop_the_parents_objects():        # a child collects what it inherited: nothing of the parent's is freed
    global pipe, stuck
    try:
        pipe.infer(x)
        raise AssertionError("the parent's pipeline ran in the child")
    except RuntimeError:
        pass
    pipe = stuck = None
    gc.collect()

def worker():
    drop_the_parents_objects()
    sys.exit(5)

start = time.monotonic()
proc = multiprocessing.get_context("fork").Process(target=worker)
proc.start()
proc.join(20)
assert proc.exitcode == 5, proc.exitcode
pid = os.fork()
if pid == 0:
    drop_the_parents_objects()
    model.close()
    sys.exit(3)                        # the interpreter's own exit, with no release of the parent to wait for
assert os.waitpid(pid, 0)[1] >> 8 == 3
assert time.monotonic() - start < 5, time.monotonic() - start
assert not pipe.closed and (pipe.infer(x)[0] == expected).all() and pipe.infer_async(x).result(30)[0].shape == (1, 10)
print("ok")
"""


def test_forked_children_that_collect_the_parents_objects_leave_them_alone():
    proc = run_script(FORK_RELEASE_SCRIPT, MODELS / "classifier", BUILD / "lib" / "libqobcrt.so", timeout=120)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stdout + proc.stderr
