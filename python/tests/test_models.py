"""Every demo model, synchronously and asynchronously, reproduces its expected output bit for bit; the log level."""

import hashlib
import os

import numpy as np
import pytest

import qobl
from conftest import MODELS, assert_bit_exact, load_sample, run_script

# (model directory, model arguments, sample directory, stages, copy op expected)
CASES = [
    ("classifier", {}, "classifier", ("input", "model"), False),
    ("classifier", {"batch": 1}, "classifier", ("input", "model"), False),
    ("classifier", {}, "classifier", ("input", "normalize", "model"), False),
    ("segmenter", {}, "segmenter", ("input", "model"), True),
    ("segmenter", {"batch": 3}, "segmenter", "input,model,copy", True),
    ("dynamic", {"shapes": (1, 3, 8, 8)}, "dynamic/samples/8x8", ("input", "model"), False),
    ("dynamic", {"shapes": [(1, 3, 24, 24)]}, "dynamic/samples/24x24", ("input", "model"), False),
    ("dynamic", {"shapes": (1, 3, 32, 32), "batch": 1}, "dynamic/samples/32x32", ("input", "model"), False),
]


@pytest.mark.parametrize("name,kwargs,sample_dir,stages,copy", CASES)
def test_sync_async_and_batch_match_expected_output(name, kwargs, sample_dir, stages, copy):
    with qobl.Model(MODELS / name, **kwargs) as model, qobl.Pipeline(model, stages) as pipe:
        x, expected = load_sample(MODELS / sample_dir, model)
        assert ("copy" in pipe.stages) == copy
        assert pipe.cache_number == model.batch
        arg = x[0] if len(x) == 1 else x
        assert_bit_exact(pipe.infer(arg), expected)
        assert_bit_exact(pipe.infer_async(arg).result(timeout=30), expected)
        # More items than one device run, not a multiple of it: the last run is filled with padding.
        n = 3 * model.batch + 1
        for got in pipe.infer_batch([arg] * n):
            assert_bit_exact(got, expected)
        s = pipe.stats()
        assert s["completed"] == n + 1 and s["failed"] == 0 and s["in_flight"] == 0


def test_model_description():
    with qobl.Model(MODELS / "classifier") as m:
        assert (m.batch, m.max_batch, m.dynamic, m.device) == (4, 4, False, 0)
        assert m.inputs == [qobl.TensorInfo("data", (1, 3, 16, 16), np.float32)]
        assert m.outputs == [qobl.TensorInfo("fused_dense_add", (1, 10), np.float32)]
        files = ["model.so", "graph.json", "params.bin", "hw.json"]
        assert m.name == hashlib.md5(b"".join((MODELS / "classifier" / f).read_bytes() for f in files)).hexdigest()
    with qobl.Model(MODELS / "classifier", batch=99) as m:
        assert m.batch == 4   # clamped to the largest
    # A dynamic suite's largest batch shrinks as its shapes grow; each member has its own digest.
    names = set()
    for hw, batch in ((8, 8), (16, 8), (24, 3), (32, 2)):
        with qobl.Model(MODELS / "dynamic", shapes=(1, 3, hw, hw)) as m:
            assert m.dynamic and m.batch == batch and m.inputs[0].shape == (1, 3, hw, hw)
            assert m.outputs[0].shape == (1, 4, hw, hw)
            names.add(m.name)
    assert len(names) == 1   # the suite's name covers all members, whatever the shapes


def test_input_layouts_and_fresh_outputs(capfd):
    with qobl.Model(MODELS / "classifier") as model, qobl.Pipeline(model) as pipe:
        (x,), expected = load_sample(MODELS / "classifier", model)
        layouts = [
            x,
            x[0],                                             # leading extent of 1 left out
            np.asfortranarray(x),                             # column-major
            np.ascontiguousarray(x.transpose(0, 2, 3, 1)).transpose(0, 3, 1, 2),   # permuted strides
            np.repeat(x, 2, axis=3)[..., ::2],                # every other element of a wider array
        ]
        for arr in layouts:
            assert_bit_exact(pipe.infer(arr), expected)
            assert_bit_exact(pipe.infer_async(arr).result(), expected)
        a, b = pipe.infer(x), pipe.infer(x)
        assert a[0] is not b[0] and not np.shares_memory(a[0], b[0])
        assert a[0].flags.owndata and a[0].flags.writeable
        a[0][:] = 0   # the caller's to change
        assert_bit_exact(pipe.infer(x), expected)
        # A stacked array enumerates its items along the first axis.
        for got in pipe.infer_batch(np.stack([x[0]] * 5)):
            assert_bit_exact(got, expected)
    # Runs that succeed log nothing (the library logs an error for reports of a stream without a
    # subscriber: the synchronous stream has one).
    assert "ERROR" not in capfd.readouterr().err


def test_devices_and_version():
    devs = qobl.devices()
    assert devs and devs[0]["id"] == 0 and devs[0]["memory_bytes"] > 0
    assert qobl.__version__.count(".") == 3
    assert qobl.library_version.startswith("QOBL API " + qobl.__version__)


def test_log_level_from_the_environment():
    # The segmenter has no pre-processing op, which the library reports at WARN on every load: shown only
    # when QOBM_LOG_LEVEL asks for warnings; unset or empty, the package shows errors only.
    script = ("import sys, numpy as np, qobl\n"
              "with qobl.Model(sys.argv[1]) as m, qobl.Pipeline(m) as p:\n"
              "    p.infer(np.zeros(m.inputs[0].shape, np.float32))\n")
    for level, shown in ((None, False), ("", False), ("WARN", True)):
        env = {k: v for k, v in os.environ.items() if k != "QOBM_LOG_LEVEL"}
        if level is not None:
            env["QOBM_LOG_LEVEL"] = level
        proc = run_script(script, MODELS / "segmenter", env=env, timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert ("[WARN]" in proc.stderr) == shown, (level, proc.stderr)
