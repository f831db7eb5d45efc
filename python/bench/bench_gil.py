#!/usr/bin/env python3
"""What infer_async's handling of the interpreter lock costs when another Python thread is CPU-bound, and
what it gives that thread while a large input is copied to the card.

    usage: PYTHONPATH=build/python /usr/bin/python3 python/bench/bench_gil.py [--build DIR] [--model DIR]
                                                                            [--calls N] [--rounds R]
                                                                            [--big-mib M] [--package DIR ...]

Each round runs, in a fresh interpreter per package (old and new side by side with --package, as for
bench_cpu.py):

  small       N infer_async calls of a small input from one thread, every call in flight (max_in_flight=N,
              so that no call waits for a slot), then synchronize: wall-clock calls per second, first with
              the thread alone ("alone"), then with a second Python thread spinning in a pure-Python loop
              ("busy"), three times in turn.  Their ratio is what the spinning thread costs the submitter
              (the pipeline's resolver thread takes the interpreter lock too, so fair sharing gives
              between a third and a half).  A thread that gives the lock away on every call could find the spinner
              holding it when it wants it back, and then wait up to the switch interval (5 ms), or wake
              the spinner for nothing on every call: "busy sleeps/call" and "spinner sleeps/call" count
              the waits per call of the calling thread and of the spinner (voluntary context switches).
  big         infer_async calls of an input of M MiB (a packaged model whose node ignores it), one in flight,
              for about a second, with the spinning thread: the spinner's loop iterations per second during
              the calls, against its rate alone.  A submission that copies its input holding the lock
              stalls the spinner for the whole copy.

Every output is checked.  The median over the rounds is printed, with the least and greatest.
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import bench_worker


class Spinner:
    """A thread running pure Python until stopped, counting its loop iterations."""

    def __init__(self):
        self.count = 0
        self._stop = False
        self._thread = threading.Thread(target=self._spin, daemon=True)

    def _spin(self):
        n = 0
        while not self._stop:
            n += 1
            if n & 0xFF == 0:
                self.count = n

    @property
    def native_id(self):
        return self._thread.native_id

    def __enter__(self):
        self._thread.start()
        while self.count == 0:
            time.sleep(0.001)
        return self

    def __exit__(self, *exc):
        self._stop = True
        self._thread.join()


def thread_sleeps(native_id=None):
    """Times a thread of this process (default the calling one) gave up the processor to wait (its
    voluntary context switches): with another thread running Python, mostly waits for the interpreter
    lock."""
    with open(f"/proc/self/task/{native_id or threading.get_native_id()}/status") as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    return 0


def spinner_rate(seconds=0.5):
    """The spinner's iterations per second with nothing else running Python."""
    with Spinner() as s:
        c0, t0 = s.count, time.perf_counter()
        time.sleep(seconds)   # sleeps without the lock
        return (s.count - c0) / (time.perf_counter() - t0)


def package_big_model(build, directory, mib):
    elements = mib * (1 << 20) // 4
    description = {"library": str(build / "tests" / "byom" / "byom_kernels.so"),
                   "inputs": [{"name": "data", "shape": [1, elements]}],
                   "nodes": [{"name": "out", "func": "byom_zero", "inputs": ["data"], "shape": [1, 1]}],
                   "outputs": ["out"], "hw": {"max_batch_size": 1}}
    (directory / "model.json").write_text(json.dumps(description))
    subprocess.run([str(build / "bin" / "qobl-model-gen"), "package", str(directory / "model.json"),
                    str(directory / "m")], check=True, capture_output=True)
    return directory / "m"


def measure(args):
    import numpy as np  # pylint: disable=import-outside-toplevel - the worker imports what --package points to
    import qobl  # pylint: disable=import-outside-toplevel

    out = {}
    with qobl.Model(args.model) as model:
        x = np.fromfile(args.model / "sample_input.bin", np.float32).reshape(model.inputs[0].shape)
        expected = (args.model / "expected_output.bin").read_bytes()
        with qobl.Pipeline(model, max_in_flight=args.calls) as pipe:
            for f in [pipe.infer_async(x) for _ in range(args.calls)]:   # warm-up: every slot made
                f.result()

            def small_rate(spinner=None):
                """Calls per second; times the calling thread, and the spinner, slept per call."""
                other = spinner.native_id if spinner else None
                s0, o0, t0 = thread_sleeps(), other and thread_sleeps(other), time.perf_counter()
                futures = [pipe.infer_async(x) for _ in range(args.calls)]
                s1, o1 = thread_sleeps(), other and thread_sleeps(other)
                pipe.synchronize()
                took = time.perf_counter() - t0
                assert all(b"".join(a.tobytes() for a in f.result(0)) == expected for f in futures)
                return args.calls / took, (s1 - s0) / args.calls, ((o1 - o0) / args.calls if other else 0)

            # Alone and busy in turn, three times: the machine's slow and fast spells fall on both alike.
            alone, busy = [], []
            for _ in range(3):
                alone.append(small_rate())
                with Spinner() as spinner:
                    busy.append(small_rate(spinner))
            out["small alone"] = statistics.median(r[0] for r in alone)
            out["small busy"] = statistics.median(r[0] for r in busy)
            out["small busy/alone"] = statistics.median(b[0] / a[0] for a, b in zip(alone, busy))
            out["small busy sleeps/call"] = statistics.median(r[1] for r in busy)
            out["small spinner sleeps/call"] = statistics.median(r[2] for r in busy)

    with tempfile.TemporaryDirectory() as tmp, qobl.Model(package_big_model(args.build, pathlib.Path(tmp),
                                                                             args.big_mib)) as model:
        x = np.ones(model.inputs[0].shape, np.float32)
        with qobl.Pipeline(model, max_in_flight=1) as pipe:
            pipe.infer_async(x).result()
            alone = spinner_rate()
            calls = 0
            with Spinner() as s:
                c0, t0 = s.count, time.perf_counter()
                while time.perf_counter() - t0 < 1.0:
                    assert pipe.infer_async(x).result()[0].shape == (1, 1)
                    calls += 1
                took = time.perf_counter() - t0
                rate = (s.count - c0) / took
            out["big calls/s"] = calls / took
            out["big spinner share"] = rate / alone
    return out


def run_worker(package, args):
    return bench_worker.run_worker(__file__, package, ["--build", args.build, "--model", args.model,
                                                       "--calls", args.calls, "--big-mib", args.big_mib])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    root = pathlib.Path(__file__).resolve().parents[2]
    ap.add_argument("--build", type=pathlib.Path, default=root / "build",
                    help="build directory (its models/trivial, qobl-model-gen and test kernels)")
    ap.add_argument("--model", type=pathlib.Path, help="the small-input model (default: trivial)")
    ap.add_argument("--calls", type=int, default=5000, help="small infer_async calls per measurement")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--big-mib", type=int, default=32, help="size of the big input in MiB")
    ap.add_argument("--package", type=pathlib.Path, action="append",
                    help="a directory holding a qobl package to measure (repeatable; default: the one on "
                         "PYTHONPATH)")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.build = args.build.resolve()
    args.model = (args.model or args.build / "models" / "trivial").resolve()
    if args.calls < 1 or args.rounds < 1 or args.big_mib < 1:
        ap.error("--calls, --rounds and --big-mib must be at least 1")
    if args.worker:
        print(json.dumps(measure(args)))
        return 0

    packages = args.package or [None]
    names = [str(p) if p is not None else "qobl" for p in packages]
    figures = {name: [] for name in names}
    for r in range(args.rounds):
        for package, name in zip(packages, names):
            f = run_worker(package, args)
            figures[name].append(f)
            print(f"round {r + 1} {name}: " + "   ".join(f"{k} {v:.3g}" for k, v in f.items()), flush=True)

    print(f"\nsmall: {args.model.name}, {args.calls} calls; big: {args.big_mib} MiB; {args.rounds} rounds "
          f"(median [least, greatest]; calls/s, or a ratio)")
    keys = list(figures[names[0]][0])
    width = max(len(k) for k in keys)
    print(f"  {'':{width}}  " + "  ".join(f"{n[-34:]:>34}" for n in names))
    for k in keys:
        cells = []
        for n in names:
            v = [f[k] for f in figures[n]]
            cells.append(f"{statistics.median(v):.3g} [{min(v):.3g}, {max(v):.3g}]".rjust(34))
        print(f"  {k:{width}}  " + "  ".join(cells))
    return 0


if __name__ == "__main__":
    sys.exit(main())
