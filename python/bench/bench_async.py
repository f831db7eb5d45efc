#!/usr/bin/env python3
"""Throughput of Pipeline.infer_async with many runs in flight, beside qobl-run on the same model.

    usage: PYTHONPATH=build/python /usr/bin/python3 python/bench/bench_async.py [--model DIR] [--runs N]
                                                                              [--rounds R] [--build DIR]

Each round runs qobl-run (one stream, asynchronous, its own runs in flight) and then the same number of
infer_async calls from one Python thread, every output checked against expected_output.bin.  Prints the
inferences per second of both per round, the medians, and their ratio (Python / qobl-run).
"""

import argparse
import pathlib
import re
import statistics
import subprocess
import sys
import time

import numpy as np

import qobl


def qobl_run(build, model, runs):
    out = subprocess.run([str(build / "bin" / "qobl-run"), "--model", str(model), "--runs", str(runs), "--verify"],
                         capture_output=True, text=True, check=True).stdout
    return float(re.search(r"inferences/s\s*\|\s*([0-9.]+)", out).group(1))


def python_async(pipe, x, expected, runs):
    start = time.perf_counter()
    futures = [pipe.infer_async(x) for _ in range(runs)]
    results = [f.result() for f in futures]
    seconds = time.perf_counter() - start
    assert all(r[0].tobytes() == expected for r in results), "an output differs from expected_output.bin"
    return runs / seconds


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    root = pathlib.Path(__file__).resolve().parents[2]
    ap.add_argument("--build", type=pathlib.Path, default=root / "build")
    ap.add_argument("--model", type=pathlib.Path)
    ap.add_argument("--runs", type=int, default=20000)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    model_dir = args.model or args.build / "models" / "classifier"

    with qobl.Model(model_dir) as model, qobl.Pipeline(model) as pipe:
        x = np.fromfile(model_dir / "sample_input.bin", np.float32).reshape(model.inputs[0].shape)
        expected = (model_dir / "expected_output.bin").read_bytes()
        python_async(pipe, x, expected, 1000)   # warm-up: slots made, code paths warm
        native, py = [], []
        for r in range(args.rounds):
            native.append(qobl_run(args.build, model_dir, args.runs))
            py.append(python_async(pipe, x, expected, args.runs))
            print(f"round {r + 1}: qobl-run {native[-1]:9.1f}/s   infer_async {py[-1]:9.1f}/s", flush=True)
        s = pipe.stats()
    n, p = statistics.median(native), statistics.median(py)
    print(f"model {model_dir.name}, batch {model.batch}, {args.runs} runs, {s['padding_inputs']} padding inputs")
    print(f"median: qobl-run {n:.1f}/s, infer_async {p:.1f}/s, ratio {p / n:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
