"""Bad input, bad models, card failures and use after close: clear exceptions, nothing leaked."""

import gc
import pickle
import shutil
import time

import numpy as np
import pytest

import qobl
from conftest import MODELS, assert_bit_exact, load_sample

RT_ERR_KERNEL = 500010


@pytest.fixture
def classifier():
    # Inputs submitted back to back always share a device run: it is sent when full or waited on, never
    # by the gather timer (a slow machine would otherwise split them).
    with qobl.Model(MODELS / "classifier") as model, qobl.Pipeline(model, gather_timeout_ms=60_000) as pipe:
        (x,), expected = load_sample(MODELS / "classifier", model)
        yield pipe, x, expected


def test_wrong_inputs_name_the_input_and_what_was_expected(classifier):
    pipe, x, _ = classifier
    cases = [
        (x.astype(np.float64), ValueError, ["'data'", "float32", "(1, 3, 16, 16)", "float64", "numpy.asarray"]),
        (x.astype(np.int32), ValueError, ["int32", "numpy.asarray"]),
        (x[:, :2], ValueError, ["'data'", "(1, 3, 16, 16) or (3, 16, 16)", "(1, 2, 16, 16)"]),
        (x.reshape(1, 1, 3, 16, 16), ValueError, ["(1, 1, 3, 16, 16)"]),
        (x.astype(">f4"), ValueError, ["'data'", ">f4", "numpy.asarray"]),
        ({"data": x}, TypeError, ["by position", "'data'", "not a dict"]),
        ("data", ValueError, ["'data'", "<U4"]),
        (x.tolist(), ValueError, ["'data'", "float64"]),   # a list is taken as one array per input
        ([x, x], ValueError, ["expected 1 input array(s), got 2"]),
        (x[0, 0, 0].tolist(), ValueError, ["got 16", "pass the array of input 'data' itself", "numpy.asarray"]),
        ([], ValueError, ["expected 1 input array(s), got 0"]),
        (object(), ValueError, ["'data'", "object"]),
    ]
    for bad, exc, words in cases:
        for call in (pipe.infer, pipe.infer_async, lambda a: pipe.infer_batch([a])):
            with pytest.raises(exc) as info:
                call(bad)
            for w in words:
                assert w in str(info.value), (w, str(info.value))
    assert pipe.stats()["submitted"] == 0

    # Items of a batch before a bad one still run, sent at once rather than after the (minute-long) gather
    # time-out.
    with pytest.raises(ValueError, match="float64"):
        pipe.infer_batch([x, x, x.astype(np.float64)])
    deadline = time.monotonic() + 20
    while pipe.stats()["in_flight"] and time.monotonic() < deadline:
        time.sleep(0.01)
    assert pipe.stats()["completed"] == 2


def test_bad_arguments_name_the_argument(classifier):
    pipe, x, expected = classifier
    model = pipe.model
    calls = [
        (lambda: pipe.infer(x, timeout_ms=-5), ValueError, "timeout_ms must be at least 0"),
        (lambda: pipe.infer(x, timeout_ms="1"), TypeError, "timeout_ms must be a number"),
        (lambda: pipe.synchronize(timeout_ms=float("nan")), ValueError, "timeout_ms must be at least 0"),
        (lambda: qobl.Pipeline(model, gather_timeout_ms=-1), ValueError, "gather_timeout_ms must be between"),
        (lambda: qobl.Pipeline(model, gather_timeout_ms="1"), TypeError, "gather_timeout_ms must be a number"),
        (lambda: qobl.Pipeline(model, max_in_flight=1.5), TypeError, "max_in_flight must be an integer"),
        (lambda: qobl.Pipeline(model, device=-1), ValueError, "device must be at least 0"),
        (lambda: qobl.Model(MODELS / "classifier", device=-1), ValueError, "device must be at least 0"),
        (lambda: qobl.Model(MODELS / "classifier", batch=True), ValueError, "batch must be a positive integer"),
        (lambda: qobl.Model(MODELS / "classifier", device=len(qobl.devices())), ValueError,
         r"does not exist: this machine has \d+ card"),
        (lambda: pickle.dumps(model), TypeError, "Model .* cannot be pickled .* open the model in that process"),
        (lambda: pickle.dumps(pipe), TypeError, "Pipeline .* cannot be pickled"),
    ]
    for call, exc, words in calls:
        with pytest.raises(exc, match=words):
            call()
    # More milliseconds than the extension counts means no limit.
    assert_bit_exact(pipe.infer(x, timeout_ms=1e12), expected)
    pipe.synchronize(timeout_ms=1e12)


def test_bad_models_and_stages(tmp_path):
    with pytest.raises(FileNotFoundError):
        qobl.Model(tmp_path / "nowhere")
    with pytest.raises(FileNotFoundError, match="params.bin"):
        shutil.copytree(MODELS / "classifier", tmp_path / "m")
        (tmp_path / "m" / "params.bin").unlink()
        qobl.Model(tmp_path / "m")
    (tmp_path / "m" / "params.bin").write_bytes(b"not a parameter blob")
    with pytest.raises(qobl.Error) as info:
        qobl.Model(tmp_path / "m")
    assert info.value.code in (qobl.ERR_MODEL_FILE, qobl.ERR_CREATE_MODEL)
    assert "qoblCreateModel failed" in str(info.value)
    with pytest.raises(qobl.Error) as info:
        qobl.Model(MODELS / "dynamic", shapes=(1, 3, 64, 64))   # beyond every member's range
    assert info.value.code == qobl.ERR_MODEL_OPERATION
    assert "the suite takes [(1, 3, 4..16, 4..16)] or [(1, 3, 17..32, 17..32)]" in str(info.value)
    with pytest.raises(ValueError, match=r"one tuple of integers per input .* the suite takes \[\(1, 3, 4\.\.16"):
        qobl.Model(MODELS / "dynamic", shapes="abc")
    with pytest.raises(ValueError, match="dynamic"):
        qobl.Model(MODELS / "classifier", shapes=(1, 3, 16, 16))
    with pytest.raises(ValueError):
        qobl.Model(MODELS / "classifier", batch=0)

    bad_stages = [
        (("model",), "start with"),
        (("input",), "\"model\" once"),
        (("input", "model", "normalize"), "before"),
        (("input", "copy", "model"), "after"),
        (("input", "model", "model"), "\"model\" once"),
        (("input", "resize", "model"), "unknown stage"),
    ]
    with qobl.Model(MODELS / "classifier") as model:
        for stages, words in bad_stages:
            with pytest.raises(ValueError, match=words):
                qobl.Pipeline(model, stages)
        with pytest.raises(ValueError, match="device"):
            qobl.Pipeline(model, device=1)
        with pytest.raises(TypeError):
            qobl.Pipeline("classifier")


def test_card_error_fails_the_runs_and_the_pipeline_goes_on(classifier, card):
    pipe, x, expected = classifier
    model_op = next(op["uid"] for op in pipe.ops if op["stage"] == "model")

    # Asynchronous: every input of the failed device run gets the card's code.
    card.fail_op(model_op, RT_ERR_KERNEL)
    futures = [pipe.infer_async(x) for _ in range(pipe.cache_number)]
    for f in futures:
        err = f.exception(timeout=30)
        assert isinstance(err, qobl.Error) and err.code == RT_ERR_KERNEL
        assert "run_model_op" in str(err) and "kernel" in str(err)
        with pytest.raises(qobl.Error):
            f.result()

    # Synchronous: the library's message carries the card's code.
    card.fail_op(model_op, RT_ERR_KERNEL)
    with pytest.raises(qobl.Error) as info:
        pipe.infer(x)
    assert info.value.code == qobl.ERR_RUN_STREAM and str(RT_ERR_KERNEL) in str(info.value)

    # The card refuses a device run: the inputs gathered for it fail, later runs work.
    card.fail_call("qobcrt_run_stream", 1, 500100)
    futures = [pipe.infer_async(x) for _ in range(pipe.cache_number)]
    for f in futures:
        assert f.exception(timeout=30).code == qobl.ERR_RUN_STREAM
    assert_bit_exact(pipe.infer_async(x).result(timeout=30), expected)
    assert_bit_exact(pipe.infer(x), expected)
    s = pipe.stats()
    assert s["failed"] == 2 * pipe.cache_number and s["in_flight"] == 0


def test_an_input_the_card_cannot_take_raises_from_infer_async(classifier, card):
    pipe, x, expected = classifier
    pipe.infer_async(x)
    pipe.synchronize()   # a free slot: the next submission makes none, so its first copy is the input's
    submitted = pipe.stats()["submitted"]
    card.fail_call("qobcrt_memcpy", 1, 500100)
    with pytest.raises(qobl.Error) as info:
        pipe.infer_async(x)
    assert info.value.code == 500100 and "copying input 0 to the card" in str(info.value)
    assert pipe.stats()["submitted"] == submitted
    # The slot was given back: the pipeline goes on.
    assert_bit_exact(pipe.infer_async(x).result(timeout=30), expected)


def test_use_after_close_raises(classifier):
    pipe, x, expected = classifier
    model = pipe.model
    # A pipeline nobody refers to any more is closed when collected; its futures still complete.
    dropped = qobl.Pipeline(model)
    future = dropped.infer_async(x)
    del dropped
    gc.collect()
    assert_bit_exact(future.result(timeout=30), expected)

    pipe.close()
    pipe.close()   # a second close does nothing
    calls = [lambda: pipe.infer(x), lambda: pipe.infer_async(x), lambda: pipe.infer_batch([x]),
             lambda: pipe.infer_batch([]), pipe.synchronize, pipe.flush]
    for call in calls:
        with pytest.raises(ValueError, match="closed: make a new qobl.Pipeline"):
            call()
    assert pipe.closed and not model.closed
    other = qobl.Pipeline(model)
    model.close()   # closes the pipelines built on it first
    assert other.closed and model.closed
    with pytest.raises(ValueError, match="closed: open it again"):
        qobl.Pipeline(model)
    with pytest.raises(ValueError, match="closed"):
        other.infer(x)
    # The extension's own objects refuse too, without the Python layer's checks.
    with pytest.raises(ValueError, match="closed: make a new qobl.Pipeline"):
        other._core.submit(x, None)
    with pytest.raises(ValueError, match="closed: make a new qobl.Pipeline"):
        other._core.infer(x, 1000)
