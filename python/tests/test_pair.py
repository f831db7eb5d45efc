"""The demo model with two inputs of different shapes (data [1,4,8,8], scale [1,4]) and two outputs ([1,4,8,8],
[1,3]): both inputs and outputs described, every way of running it bit for bit against the reference with each
item's inputs kept together, and wrong inputs refused naming the input at fault."""

import numpy as np
import pytest

import qobl
from conftest import MODELS, assert_bit_exact, load_sample


def rotated(x, k):
    """The sample's inputs with the scale vector rotated by k channels: another item with other outputs."""
    data, scale = x
    return [data, np.roll(scale, k, axis=-1).copy()]


def test_description():
    with qobl.Model(MODELS / "pair") as m:
        assert (m.batch, m.max_batch) == (4, 4)
        assert m.inputs == [qobl.TensorInfo("data", (1, 4, 8, 8), np.float32),
                            qobl.TensorInfo("scale", (1, 4), np.float32)]
        assert m.outputs == [qobl.TensorInfo("scale_add", (1, 4, 8, 8), np.float32),
                             qobl.TensorInfo("mean_dense", (1, 3), np.float32)]


@pytest.mark.parametrize("batch,stages", [(1, ("input", "model")), (4, ("input", "model")),
                                          (2, ("input", "model", "copy"))])
def test_runs_match_the_reference_and_keep_items_apart(batch, stages):
    with qobl.Model(MODELS / "pair", batch=batch) as model, qobl.Pipeline(model, stages) as pipe:
        x, expected = load_sample(MODELS / "pair", model)
        assert pipe.cache_number == batch
        # By position, as a list or a tuple, the leading 1 given or left out.
        for arg in (x, tuple(x), [x[0][0], x[1][0]]):
            assert_bit_exact(pipe.infer(arg), expected)
            assert_bit_exact(pipe.infer_async(arg).result(timeout=30), expected)
        # Distinct items: each item's two inputs stay together in the device runs they share.
        items = [rotated(x, k) for k in range(4)] * 2 + [x]
        alone = [pipe.infer(item) for item in items[:4]]
        assert all(a[0].tobytes() != alone[0][0].tobytes() and a[1].tobytes() != alone[0][1].tobytes()
                   for a in alone[1:])
        got = pipe.infer_batch(items)
        for i, outs in enumerate(got):
            assert_bit_exact(outs, alone[i % 4] if i < 8 else expected)
        futures = [pipe.infer_async(item) for item in reversed(items)]
        for i, f in enumerate(futures):
            assert_bit_exact(f.result(timeout=30), got[len(items) - 1 - i])
        s = pipe.stats()
        assert s["failed"] == 0 and s["in_flight"] == 0


def test_wrong_inputs_name_the_input_at_fault():
    with qobl.Model(MODELS / "pair") as model, qobl.Pipeline(model, gather_timeout_ms=60_000) as pipe:
        (data, scale), _ = load_sample(MODELS / "pair", model)
        cases = [
            ([data], ValueError, ["expected 2 input array(s), got 1", "'data', 'scale'"]),
            ([data, scale, scale], ValueError, ["expected 2 input array(s), got 3"]),
            (data, ValueError, ["the model has 2 inputs", "'data', 'scale'"]),
            ([scale, data], ValueError, ["input 'data'", "(1, 4, 8, 8) or (4, 8, 8)", "got float32 of shape (1, 4)"]),
            ([data, scale[:, :3]], ValueError, ["input 'scale'", "(1, 4) or (4,)", "(1, 3)"]),
            ([data, scale.astype(np.float64)], ValueError, ["input 'scale'", "float64", "numpy.asarray"]),
            ([data.astype(np.float16), scale], ValueError, ["input 'data'", "float16"]),
            ([data, "scale"], ValueError, ["input 'scale'", "<U5"]),
            ({"data": data, "scale": scale}, TypeError, ["by position", "order of model.inputs", "'data', 'scale'"]),
        ]
        for bad, exc, words in cases:
            for call in (pipe.infer, pipe.infer_async, lambda a: pipe.infer_batch([a])):
                with pytest.raises(exc) as info:
                    call(bad)
                for w in words:
                    assert w in str(info.value), (bad, w, str(info.value))
        assert pipe.stats()["submitted"] == 0
