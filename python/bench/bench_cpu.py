#!/usr/bin/env python3
"""CPU time per call of Pipeline.infer_async and Pipeline.infer, spent by the calling thread and by the rest
of the process.

    usage: PYTHONPATH=build/python /usr/bin/python3 python/bench/bench_cpu.py [--model DIR] [--calls N]
                                                                            [--rounds R] [--package DIR ...]

Not a timed test: the figures are CPU time, which the machine's other load changes far less than wall time.
Each round measures, in a fresh interpreter:

  async       N infer_async calls with all N in flight (max_in_flight=N, so no call waits for a free slot);
              CPU time of the calling thread (time.thread_time_ns) over the calls, divided by N.  Then the
              runs are waited for (synchronize), and the CPU time of the whole process from the first call
              to the end of that wait, and of the pipeline's resolver thread alone, is also divided by N
              (the rest of the process is mostly the simulated card's threads).
  async-cap   the same with the default max_in_flight (8 device runs): the steady state of a producer that
              outruns the card, where each call waits for a slot that a finished run frees.
  infer       N // 4 synchronous infer calls; CPU time of the calling thread per call (each call also fills
              its device run with copies of its item, one qoblRunStreamAsync per copy).

Every output of every call is checked bit for bit against the model's expected_output.bin.  The median over
the rounds is printed per case.  With --package DIR given more than once (for example a build of an older
revision's package and the current one: each DIR holds a qobl/ package directory), every round measures
each package in turn in its own interpreter, so that the machine's slow and fast spells fall on all of them
alike, and the ratio of each package's median to the first package's is printed as well.
"""

import argparse
import json
import pathlib
import statistics
import sys
import threading
import time

import bench_worker

CASES = ("async", "async-cap", "infer")


def thread_cpu_ns(native_id):
    """CPU time of one thread of this process (0 where the kernel does not keep per-thread figures)."""
    try:
        with open(f"/proc/self/task/{native_id}/schedstat") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 0


def thread_sleeps(native_id):
    """Times one thread of this process gave up the processor to wait (its voluntary context switches)."""
    try:
        with open(f"/proc/self/task/{native_id}/status") as f:
            for line in f:
                if line.startswith("voluntary_ctxt_switches:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return 0


def measure(model_dir, calls):
    """One round in this interpreter: a dict of figures in nanoseconds per call."""
    import numpy as np  # pylint: disable=import-outside-toplevel - the worker imports what --package points to
    import qobl  # pylint: disable=import-outside-toplevel

    out = {}
    with qobl.Model(model_dir) as model:
        x = np.fromfile(model_dir / "sample_input.bin", np.float32).reshape(model.inputs[0].shape)
        expected = (model_dir / "expected_output.bin").read_bytes()

        def check(results):
            assert all(b"".join(a.tobytes() for a in r) == expected for r in results), \
                "an output differs from expected_output.bin"

        for case, cap in (("async", calls), ("async-cap", None)):
            with qobl.Pipeline(model, max_in_flight=cap) as pipe:
                check([f.result() for f in [pipe.infer_async(x) for _ in range(2000)]])   # warm-up
                me, resolver = threading.get_native_id(), pipe._thread.native_id  # pylint: disable=protected-access
                s0, rs0 = thread_sleeps(me), thread_sleeps(resolver)
                p0, r0, t0 = time.process_time_ns(), thread_cpu_ns(resolver), time.thread_time_ns()
                futures = [pipe.infer_async(x) for _ in range(calls)]
                t1 = time.thread_time_ns()
                s1 = thread_sleeps(me)
                pipe.synchronize()
                p1, r1, rs1 = time.process_time_ns(), thread_cpu_ns(resolver), thread_sleeps(resolver)
                check([f.result(0) for f in futures])
                out[case] = (t1 - t0) / calls
                out[case + " sleeps"] = (s1 - s0) / calls
                out[case + " process"] = (p1 - p0) / calls
                out[case + " resolver"] = (r1 - r0) / calls
                out[case + " resolver sleeps"] = (rs1 - rs0) / calls

        with qobl.Pipeline(model) as pipe:
            n = max(calls // 4, 1)
            check([pipe.infer(x) for _ in range(200)])   # warm-up
            s0, t0 = thread_sleeps(threading.get_native_id()), time.thread_time_ns()
            results = [pipe.infer(x) for _ in range(n)]
            out["infer"] = (time.thread_time_ns() - t0) / n
            out["infer sleeps"] = (thread_sleeps(threading.get_native_id()) - s0) / n
            check(results)
        out["batch"] = model.batch
    return out


def worker(args):
    print(json.dumps(measure(args.model, args.calls)))
    return 0


def run_worker(package, args):
    return bench_worker.run_worker(__file__, package, ["--model", args.model, "--calls", args.calls])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    root = pathlib.Path(__file__).resolve().parents[2]
    ap.add_argument("--build", type=pathlib.Path, default=root / "build",
                    help="build directory whose models/classifier is the default model")
    ap.add_argument("--model", type=pathlib.Path)
    ap.add_argument("--calls", type=int, default=20000, help="infer_async calls per round (infer: a quarter)")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--package", type=pathlib.Path, action="append",
                    help="a directory holding a qobl package to measure (repeatable; default: the one on "
                         "PYTHONPATH)")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.model = (args.model or args.build / "models" / "classifier").resolve()
    if args.calls < 1 or args.rounds < 1:
        ap.error("--calls and --rounds must be at least 1")
    if args.worker:
        return worker(args)

    packages = args.package or [None]
    names = [str(p) if p is not None else "qobl" for p in packages]
    figures = {name: [] for name in names}
    for r in range(args.rounds):
        for package, name in zip(packages, names):
            figures[name].append(run_worker(package, args))
            f = figures[name][-1]
            print(f"round {r + 1} {name}: " + "   ".join(f"{c} {f[c] / 1000:.2f} us" for c in CASES), flush=True)

    keys = [k for k in figures[names[0]][0] if k != "batch"]
    print(f"\nmodel {args.model.name} (batch {figures[names[0]][0]['batch']}), {args.calls} calls per round, "
          f"{args.rounds} rounds.  Per call: CPU microseconds (median, and the least of any round: the machine's "
          f"other load only adds to it), and times the thread went to sleep (sleeps, median):")
    width = max(len(k) for k in keys)
    print(f"  {'':{width}}  " + "  ".join(f"{n[-30:]:>30}" for n in names))
    for k in keys:
        cells = []
        for n in names:
            values = [f[k] for f in figures[n]]
            base = [f[k] for f in figures[names[0]]]
            if k.endswith("sleeps"):
                cell = f"{statistics.median(values):.3f}"
            else:
                cell = f"{statistics.median(values) / 1000:.2f} min {min(values) / 1000:.2f}"
            if n != names[0] and statistics.median(base) > 0:
                cell += f" (x{statistics.median(values) / statistics.median(base):.2f})"
            cells.append(f"{cell:>30}")
        print(f"  {k:{width}}  " + "  ".join(cells))
    if thread_cpu_ns(threading.get_native_id()) == 0:
        print("(no per-thread CPU figures from /proc on this system: the resolver's figures are 0)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
