#!/usr/bin/env python3
"""classify.py: the qobl Python package on a model directory.

    usage: PYTHONPATH=build/python /usr/bin/python3 samples/classify.py [MODEL_DIR] [RUNS]

Loads the model (default build/models/classifier), runs its sample input once synchronously and RUNS
times (default 100) asynchronously (gathered into device runs of the model's batch), checks every output
against the model's expected_output.bin and prints the top classes.  Exits non-zero unless every output
matches.
"""

import pathlib
import sys
import time

import numpy as np

import qobl


def read_arrays(path, infos):
    """Splits a raw little-endian file into arrays of the given tensors' shapes and types."""
    raw = np.fromfile(path, np.uint8)
    arrays, offset = [], 0
    for t in infos:
        size = int(np.prod(t.shape)) * t.dtype.itemsize
        arrays.append(raw[offset:offset + size].view(t.dtype).reshape(t.shape))
        offset += size
    return arrays


def main():
    model_dir = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/models/classifier")
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    with qobl.Model(model_dir) as model, qobl.Pipeline(model) as pipe:
        print(f"model {model.name} (batch {model.batch}): {pipe}")
        x = read_arrays(model_dir / "sample_input.bin", model.inputs)
        expected = read_arrays(model_dir / "expected_output.bin", model.outputs)
        same = lambda outs: all(np.array_equal(o, e) for o, e in zip(outs, expected))  # noqa: E731

        outputs = pipe.infer(x)
        scores = outputs[0].reshape(-1)
        print("top classes:", ", ".join(f"{c} ({scores[c]:.4f})" for c in np.argsort(scores)[::-1][:3]))

        start = time.perf_counter()
        futures = [pipe.infer_async(x) for _ in range(runs)]
        good = sum(same(f.result()) for f in futures)
        seconds = time.perf_counter() - start
        print(f"{runs} asynchronous runs in {seconds * 1e3:.1f} ms ({runs / seconds:.0f} inferences/s), "
              f"{good} of {runs} as expected")
        return 0 if same(outputs) and good == runs else 1


if __name__ == "__main__":
    sys.exit(main())
