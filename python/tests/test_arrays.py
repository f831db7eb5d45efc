"""The arrays numpy users hand over and get back: element types as the model declares them, layouts and byte
sources, outputs that stay the caller's, objects that outlive their pipeline, no growth over many calls; and
the type stubs against the module."""

import ast
import gc
import inspect
import json
import mmap
import pathlib
import shutil
import sys
import tracemalloc
import weakref

import numpy as np
import pytest

import qobl
from conftest import MODELS, assert_bit_exact, load_sample, package_model


@pytest.fixture
def classifier():
    with qobl.Model(MODELS / "classifier") as model, qobl.Pipeline(model) as pipe:
        (x,), expected = load_sample(MODELS / "classifier", model)
        yield pipe, x, expected


@pytest.fixture(scope="module")
def uint8_model(tmp_path_factory):
    """A model whose input is uint8 [1, 4]: scaled = data * w (float32), sum = scaled summed."""
    d = tmp_path_factory.mktemp("uint8_model")
    np.array([0.5, 2.0, -1.0, 0.25], np.float32).tofile(d / "w.bin")
    np.array([2, 3, 4, 8], np.uint8).tofile(d / "x.bin")
    np.array([1.0, 6.0, -4.0, 2.0], np.float32).tofile(d / "scaled.bin")
    np.array([5.0], np.float32).tofile(d / "sum.bin")
    return package_model(d, {
        "inputs": [{"name": "data", "shape": [1, 4], "dtype": "uint8"}],
        "params": [{"name": "w", "shape": [4], "file": "w.bin"}],
        "nodes": [{"name": "scaled", "func": "byom_scale", "inputs": ["data", "w"], "shape": [1, 4]},
                  {"name": "sum", "func": "byom_sum", "inputs": ["scaled"], "shape": [1, 1]}],
        "outputs": ["scaled", "sum"],
        "hw": {"max_batch_size": 2},
        "sample": {"input": ["x.bin"], "expected": ["scaled.bin", "sum.bin"]},
    })


def test_inputs_are_passed_as_the_graph_declares_them(uint8_model):
    with qobl.Model(uint8_model) as model, qobl.Pipeline(model) as pipe:
        assert model.inputs == [qobl.TensorInfo("data", (1, 4), np.uint8)]
        assert [t.dtype for t in model.outputs] == [np.float32, np.float32]
        (x,), expected = load_sample(uint8_model, model)
        assert x.dtype == np.uint8 and x.tolist() == [[2, 3, 4, 8]]
        for arg in (x, x[0], x[0, ::-1][::-1], bytearray(x.tobytes())):   # a bytearray holds uint8 already
            assert_bit_exact(pipe.infer(arg), expected)
            assert_bit_exact(pipe.infer_async(arg).result(timeout=30), expected)
        for got in pipe.infer_batch([x] * 5):
            assert_bit_exact(got, expected)
        # The same numbers as float32 are another model's input: refused, with the conversion that fits.
        with pytest.raises(ValueError) as info:
            pipe.infer(x.astype(np.float32))
        assert "expected uint8 of shape (1, 4)" in str(info.value)
        assert "numpy.asarray(x, dtype=numpy.uint8)" in str(info.value)
        assert pipe.stats()["failed"] == 0


def test_normalize_is_refused_on_inputs_it_would_read_as_float32(uint8_model, tmp_path):
    # The stage quantises float32 values for a uint8 model input (to float16 for a float16 one); on an input
    # that holds uint8 or float16 data already it would read the bytes as float32 and hand the model zeros.
    half_model = package_model(tmp_path, {
        "inputs": [{"name": "image", "shape": [1, 8], "dtype": "float16"}],
        "nodes": [{"name": "out", "func": "byom_zero", "inputs": ["image"], "shape": [1, 2]}],
        "outputs": ["out"],
    })
    for path, name, held, made in ((uint8_model, "data", "uint8", "uint8"), (half_model, "image", "float16", "float16")):
        with qobl.Model(path) as model:
            with pytest.raises(ValueError) as info:
                qobl.Pipeline(model, ("input", "normalize", "model"))
            text = str(info.value)
            assert f"to {made} for input '{name}', which holds {held}" in text and "leave \"normalize\" out" in text
    # Without the stage the uint8 model computes on its data.
    with qobl.Model(uint8_model) as model, qobl.Pipeline(model) as pipe:
        (x,), expected = load_sample(uint8_model, model)
        assert_bit_exact(pipe.infer(x), expected)


def test_an_input_type_numpy_has_no_equal_for_is_refused_when_opening(uint8_model, tmp_path):
    model_dir = tmp_path / "m"
    shutil.copytree(uint8_model, model_dir)
    graph = json.loads((model_dir / "graph.json").read_text())
    graph["attrs"]["dltype"][1][0] = "bfloat16"
    (model_dir / "graph.json").write_text(json.dumps(graph))
    with pytest.raises(ValueError, match="input 'data' .* bfloat16, which no numpy type holds"):
        qobl.Model(model_dir)


def test_layouts_and_byte_sources_give_the_same_outputs(classifier, tmp_path):
    pipe, x, expected = classifier
    ro = x.copy()
    ro.flags.writeable = False
    unaligned = np.frombuffer(b"\0" + x.tobytes(), np.float32, offset=1).reshape(x.shape)
    assert not unaligned.flags.aligned
    (tmp_path / "x.bin").write_bytes(x.tobytes())
    with open(tmp_path / "x.bin", "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        mapped = np.frombuffer(mm, np.float32).reshape(x.shape)
        cases = [
            np.ascontiguousarray(x[..., ::-1])[..., ::-1],                    # negative strides
            np.ascontiguousarray(x[::-1, ::-1, ::-1, ::-1])[::-1, ::-1, ::-1, ::-1],
            ro, unaligned, mapped, np.memmap(tmp_path / "x.bin", np.float32, "r", shape=x.shape),
            memoryview(x),
        ]
        for arr in cases:
            assert_bit_exact(pipe.infer(arr), expected)
            assert_bit_exact(pipe.infer_async(arr).result(timeout=30), expected)
        del mapped, cases, arr   # the mapping is closed with exports gone
    # The input is on the card once infer_async returns: the buffer under it is the caller's again at once
    # (closed, resized), while the run still gathers for its device run.
    with qobl.Pipeline(pipe.model, gather_timeout_ms=60_000) as gathering:
        with open(tmp_path / "x.bin", "rb") as f:
            with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
                from_map = gathering.infer_async(np.frombuffer(mm, np.float32).reshape(x.shape))
        raw = bytearray(x.tobytes())
        from_bytes = gathering.infer_async(np.frombuffer(raw, np.float32).reshape(x.shape))
        raw[:] = bytes(len(raw) + 4)
        assert not from_map.done() and not from_bytes.done()
        assert_bit_exact(from_map.result(timeout=30), expected)
        assert_bit_exact(from_bytes.result(timeout=30), expected)
    # A broadcast view (stride 0) runs as its contiguous copy does.
    b = np.broadcast_to(x[:, :1], x.shape)
    assert b.strides[1] == 0
    assert_bit_exact(pipe.infer(b), pipe.infer(np.ascontiguousarray(b)))
    # Raw bytes are the data itself: the hint is frombuffer, not a per-byte conversion that would give 3072
    # numbers made of byte values.
    for raw in (x.tobytes(), bytearray(x.tobytes()), memoryview(x.tobytes())):
        with pytest.raises(ValueError) as info:
            pipe.infer_async(raw)
        assert "numpy.frombuffer(x, dtype=numpy.float32)" in str(info.value)
        assert "numpy.asarray" not in str(info.value)
    # A masked array runs as its data when nothing is masked; masked values are not data.
    assert_bit_exact(pipe.infer(np.ma.masked_array(x, mask=False)), expected)
    for masked in (np.ma.masked_greater(x, 0), np.ma.masked_invalid(np.where(x > 0, np.nan, x))):
        for call in (pipe.infer, pipe.infer_async):
            with pytest.raises(ValueError, match=r"input 'data': a masked array with \d+ masked element"):
                call(masked)
    for bad in (np.float32(1), np.zeros((0, 3, 16, 16), np.float32), np.concatenate([x, x])):
        with pytest.raises(ValueError, match=r"expected float32 of shape \(1, 3, 16, 16\)"):
            pipe.infer(bad)


def test_outputs_and_futures_outlive_their_pipeline():
    model = qobl.Model(MODELS / "segmenter")
    (x,), expected = load_sample(MODELS / "segmenter", model)
    seen = []

    def start():
        pipe = qobl.Pipeline(model, gather_timeout_ms=60_000)
        futures = [pipe.infer_async(x) for _ in range(3)]
        # A callback closing over its own pipeline: a cycle through the runs in flight.
        futures[0].add_done_callback(lambda f, p=pipe: seen.append((f.result(), p.closed)))
        return weakref.ref(pipe), futures, pipe.infer(x)

    ref, futures, sync_out = start()
    outs = [f.result(timeout=30) for f in futures]
    del futures
    for _ in range(100):   # the resolver drops its last reference to the callback just after resolving
        gc.collect()
        if ref() is None:
            break
    assert ref() is None and len(seen) == 1
    for out in [sync_out, seen[0][0]] + outs:
        assert_bit_exact(out, expected)
        assert out[0].flags.owndata and out[0].flags.writeable and out[0].flags.c_contiguous
    model.close()
    outs[0][0][...] = 1   # still the caller's memory after everything is closed
    assert_bit_exact(outs[1], expected)
    assert outs[0][0].sum() == outs[0][0].size


def test_many_calls_do_not_grow_memory_or_references(classifier):
    pipe, x, _ = classifier
    bad = x.astype(np.float64)

    def calls(n):
        for i in range(n):
            pipe.infer_async(x[..., ::-1] if i % 2 else x)
            for wrong in (bad, [x, x], {"data": x}):
                try:
                    pipe.infer_async(wrong)
                except (ValueError, TypeError):
                    pass
        pipe.infer(x)
        pipe.synchronize()
        gc.collect()

    calls(1000)   # spare items, slots and caches made
    refs = sys.getrefcount(x), sys.getrefcount(bad)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        calls(8000)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert (sys.getrefcount(x), sys.getrefcount(bad)) == refs
    assert grown < 32 * 1024, f"{grown} bytes more after 8000 rounds"   # a leaked object per call: 500 KiB
    assert pipe.stats()["in_flight"] == 0


def _signature_of(node):
    """(name, kind, has default) per parameter of a stub function."""
    a = node.args
    params = [(p.arg, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs]
    params += [(p.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL))
    params += [(p.arg, inspect.Parameter.KEYWORD_ONLY) for p in a.kwonlyargs]
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD))
    positional = a.posonlyargs + a.args
    defaults = {p.arg for p in positional[len(positional) - len(a.defaults):]}
    defaults |= {p.arg for p, d in zip(a.kwonlyargs, a.kw_defaults) if d is not None}
    return [(name, kind, name in defaults) for name, kind in params]


def _runtime_signature(func):
    return [(p.name, p.kind, p.default is not p.empty) for p in inspect.signature(func).parameters.values()]


def test_type_stubs_match_the_module():
    tree = ast.parse((pathlib.Path(qobl.__file__).parent / "__init__.pyi").read_text())
    with qobl.Model(MODELS / "classifier") as model, qobl.Pipeline(model) as pipe:
        instances = {"Model": model, "Pipeline": pipe, "TensorInfo": model.inputs[0], "Error": qobl.Error(1, "m")}
        checked = 0
        for node in tree.body:
            name = getattr(node, "name", None) or getattr(getattr(node, "target", None), "id", None)
            if name is None or name.startswith("_"):
                continue   # imports, and the stub's own helper names
            assert hasattr(qobl, name), f"the stub declares qobl.{name}, which the module does not have"
            runtime = getattr(qobl, name)
            if isinstance(node, ast.FunctionDef):
                assert _signature_of(node) == _runtime_signature(runtime), name
            elif isinstance(node, ast.ClassDef) and name in instances:
                for member in node.body:
                    if isinstance(member, ast.FunctionDef):
                        attr = inspect.getattr_static(runtime, member.name)
                        if any(getattr(d, "id", None) == "property" for d in member.decorator_list):
                            assert isinstance(attr, property), f"{name}.{member.name} is not a property"
                        else:
                            assert _signature_of(member) == _runtime_signature(attr), f"{name}.{member.name}"
                    elif isinstance(member, ast.AnnAssign):
                        assert hasattr(instances[name], member.target.id), f"{name}.{member.target.id}"
                    checked += 1
        # Every public name of the module is in the stub.
        declared = {getattr(n, "name", None) or getattr(getattr(n, "target", None), "id", None) for n in tree.body}
        assert set(qobl.__all__) - declared == set()
        assert checked > 30
