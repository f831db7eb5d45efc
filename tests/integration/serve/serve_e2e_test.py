"""qobl-serve end to end: the server on free loopback ports, driven by real clients (urllib and curl for
HTTP/REST, grpcio for gRPC).  Each class starts its own server; ctest runs one class per test."""
import http.client
import json
import os
import queue
import select
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import grpc

from serve_client import (SERVE, Server, curl, float_bytes, floats, model_repository, nest, pb, pbg, raw_http,
                          read_until_closed, sample)

CLASSIFIER_IN, CLASSIFIER_OUT = sample("classifier")


def classifier_request(items, data=None):
    values = floats(data if data is not None else CLASSIFIER_IN * items)
    return {"inputs": [{"name": "data", "datatype": "FP32", "shape": [items, 3, 16, 16], "data": values}]}


class ServerTestCase(unittest.TestCase):
    ARGS = ()
    CARDS = 2
    HOOKS = False

    @classmethod
    def setUpClass(cls):
        cls.server = Server(*cls.ARGS, cards=cls.CARDS, hooks=cls.HOOKS)

    @classmethod
    def tearDownClass(cls):
        code, out = cls.server.stop()
        # Every request finished, every card block released, exit 0.
        assert code == 0, (code, cls.server.stderr())
        assert "stopped: card memory in use 0 bytes in 0 blocks" in out, out

    def assertError(self, status, doc, want_status, fragment):
        self.assertEqual(status, want_status, doc)
        self.assertIn(fragment, doc["error"])

    # The classifier's request and item counters and card 0's memory blocks, from the server's metrics.
    def counters(self):
        m = self.server.metrics()
        get = lambda name, **labels: m.get((name, frozenset((k, '"%s"' % v) for k, v in labels.items())), 0)
        return {"ok": get("qobl_inference_requests_total", model="classifier", status="success"),
                "failed": get("qobl_inference_requests_total", model="classifier", status="failure"),
                "items_failed": get("qobl_inference_items_total", model="classifier", status="failure"),
                "sent": get("qobl_device_run_items_total", model="classifier"),
                "blocks": get("qobl_card_memory_blocks", card="0")}

    def wait_for(self, what, cond, timeout=30):
        deadline = time.monotonic() + timeout
        while not cond():
            self.assertLess(time.monotonic(), deadline, what)
            time.sleep(0.02)


class ProtocolTest(ServerTestCase):
    """Every endpoint, the three kinds of demo model, JSON and binary, REST and gRPC, every error class."""
    ARGS = ("--instances-per-device", "2")

    def test_health_and_metadata(self):
        s = self.server
        for path in ("/v2/health/live", "/v2/health/ready", "/v2/models/classifier/ready",
                     "/v2/models/dynamic/versions/1/ready"):
            status, _, body = s.get(path)
            self.assertEqual((status, body), (200, b""), path)
        status, _, body = s.get("/v2")
        self.assertEqual(status, 200)
        meta = json.loads(body)
        self.assertEqual(meta["name"], "qobl-serve")
        self.assertIn("binary_tensor_data", meta["extensions"])
        expected = {
            "classifier": ([("data", "FP32", [-1, 3, 16, 16])], [("FP32", [-1, 10])]),
            "segmenter": ([("data", "FP32", [-1, 3, 12, 12])], [("FP32", [-1, 5, 12, 12])]),
            "dynamic": ([("data", "FP32", [-1, 3, -1, -1])], [("FP32", [-1, 4, -1, -1])]),
            "trivial": ([("data", "FP32", [-1, 16])], [("FP32", [-1, 16])]),
        }
        for model, (inputs, outputs) in expected.items():
            for path in ("/v2/models/" + model, "/v2/models/%s/versions/1" % model):
                status, _, body = s.get(path)
                self.assertEqual(status, 200, path)
                m = json.loads(body)
                self.assertEqual((m["name"], m["versions"], m["platform"]), (model, ["1"], "qobl"))
                self.assertEqual([(t["name"], t["datatype"], t["shape"]) for t in m["inputs"]], inputs)
                self.assertEqual([(t["datatype"], t["shape"]) for t in m["outputs"]], outputs)
            g = s.stub.ModelMetadata(pb.ModelMetadataRequest(name=model))
            self.assertEqual([(t.name, t.datatype, list(t.shape)) for t in g.inputs], inputs)
            self.assertEqual([(t.datatype, list(t.shape)) for t in g.outputs], outputs)
        # The directory that holds no model is not one.
        self.assertEqual(s.get("/v2/models/notes")[0], 404)
        # curl sees the same.
        code, body = curl(s.base + "/v2/models/segmenter")
        self.assertEqual((code, json.loads(body)["name"]), (200, "segmenter"))
        # gRPC health and server metadata.
        self.assertTrue(s.stub.ServerLive(pb.ServerLiveRequest()).live)
        self.assertTrue(s.stub.ServerReady(pb.ServerReadyRequest()).ready)
        self.assertTrue(s.stub.ModelReady(pb.ModelReadyRequest(name="segmenter", version="1")).ready)
        sm = s.stub.ServerMetadata(pb.ServerMetadataRequest())
        self.assertEqual((sm.name, list(sm.extensions)), ("qobl-serve", ["binary_tensor_data"]))

    def test_concurrent_clients(self):
        """REST and gRPC clients all at once, with others reading /metrics and the health endpoints meanwhile:
        each gets its own outputs, and the counters, bumped from every connection and handler thread, add up."""
        s = self.server
        zeros = bytes(len(CLASSIFIER_IN))
        status, doc = s.infer_json("classifier", classifier_request(1, zeros))
        self.assertEqual(status, 200, doc)
        zero_out = float_bytes(doc["outputs"][0]["data"])
        # Every request a different mix of sample and zero items, so that outputs handed to the wrong request,
        # or in the wrong order, by the device runs the requests share would show.
        patterns = [[(i >> b) & 1 for b in range(1 + i % 5)] for i in range(1, 25)]
        expected = [b"".join(CLASSIFIER_OUT if p else zero_out for p in pat) for pat in patterns]
        items = [b"".join(CLASSIFIER_IN if p else zeros for p in pat) for pat in patterns]
        shapes = ("24x24", "32x32") * 3   # the first use of a shape may come from several clients at once
        calls = []
        for i, pat in enumerate(patterns):
            if i % 3 == 2:
                calls.append(lambda i=i, n=len(pat): s.grpc_infer(
                    "classifier", [("data", "FP32", [n, 3, 16, 16], None)], raw=[items[i]]).raw_output_contents[0])
            else:
                calls.append(lambda i=i, n=len(pat): self._rest_outputs(classifier_request(n, items[i])))
        for shape in shapes:
            h, w = map(int, shape.split("x"))
            din, _ = sample("dynamic", shape)
            calls.append(lambda din=din, h=h, w=w: self._rest_outputs(
                {"inputs": [{"name": "data", "datatype": "FP32", "shape": [2, 3, h, w], "data": floats(din * 2)}]},
                "dynamic"))
        want = expected + [sample("dynamic", shape)[1] * 2 for shape in shapes]
        before = s.metrics()
        done = threading.Event()
        results = [None] * len(calls)
        read_errors = []

        def client(i):
            try:
                results[i] = calls[i]()
            except Exception as e:   # noqa: BLE001 - reported with the other results below
                results[i] = e

        def reader():
            while not done.is_set():
                for path in ("/metrics", "/v2/health/ready", "/v2/models/classifier/ready"):
                    status, _, _ = s.get(path)
                    if status != 200:
                        read_errors.append((path, status))
                if not s.stub.ServerReady(pb.ServerReadyRequest()).ready:
                    read_errors.append(("gRPC ServerReady", False))

        readers = [threading.Thread(target=reader) for _ in range(3)]
        clients = [threading.Thread(target=client, args=(i,)) for i in range(len(calls))]
        for t in readers + clients:
            t.start()
        for t in clients:
            t.join()
        done.set()
        for t in readers:
            t.join()
        after = s.metrics()
        self.assertEqual(read_errors, [])
        for i, (got, exp) in enumerate(zip(results, want)):
            self.assertEqual(got, exp, "client %d: %r" % (i, got if isinstance(got, Exception) else len(got)))

        def delta(name, **labels):
            key = (name, frozenset((k, '"%s"' % v) for k, v in labels.items()))
            return after.get(key, 0) - before.get(key, 0)

        sent = sum(map(len, patterns))
        self.assertEqual(delta("qobl_inference_requests_total", model="classifier", status="success"), len(patterns))
        self.assertEqual(delta("qobl_inference_requests_total", model="classifier", status="failure"), 0)
        self.assertEqual(delta("qobl_inference_items_total", model="classifier", status="success"), sent)
        self.assertEqual(delta("qobl_inference_latency_seconds_count", model="classifier"), len(patterns))
        self.assertEqual(delta("qobl_queue_time_seconds_count", model="classifier"), sent)
        self.assertEqual(delta("qobl_device_run_items_total", model="classifier"), sent)
        self.assertEqual(delta("qobl_inference_requests_total", model="dynamic", status="success"), len(shapes))

    def _rest_outputs(self, req, model="classifier"):
        """The output bytes of a JSON inference request that must succeed."""
        status, doc = self.server.infer_json(model, req)
        if status != 200:
            raise AssertionError("status %d: %s" % (status, doc))
        return float_bytes(doc["outputs"][0]["data"])

    def test_json_outputs_are_bit_exact(self):
        s = self.server
        # Classifier, flat data, several items spanning two device runs of 4.
        status, doc = s.infer_json("classifier", dict(classifier_request(6), id="req-7"))
        self.assertEqual(status, 200, doc)
        self.assertEqual((doc["model_name"], doc["model_version"], doc["id"]), ("classifier", "1", "req-7"))
        out = doc["outputs"][0]
        self.assertEqual((out["datatype"], out["shape"]), ("FP32", [6, 10]))
        self.assertEqual(float_bytes(out["data"]), CLASSIFIER_OUT * 6)
        # Segmenter (an output the card stores in a core layout), nested data, through the versioned path.
        seg_in, seg_out = sample("segmenter")
        req = {"inputs": [{"name": "data", "datatype": "FP32", "shape": [2, 3, 12, 12],
                           "data": nest(floats(seg_in * 2), [2, 3, 12, 12])}]}
        status, doc = s.infer_json("segmenter", req, path="/v2/models/segmenter/versions/1/infer")
        self.assertEqual(status, 200, doc)
        self.assertEqual(doc["outputs"][0]["shape"], [2, 5, 12, 12])
        self.assertEqual(float_bytes(doc["outputs"][0]["data"]), seg_out * 2)
        # Dynamic suite at two shapes served by different members, the second loaded on first use.
        for shape, items in (("8x8", 3), ("24x24", 2)):
            h, w = map(int, shape.split("x"))
            din, dout = sample("dynamic", shape)
            req = {"inputs": [{"name": "data", "datatype": "FP32", "shape": [items, 3, h, w],
                               "data": floats(din * items)}]}
            status, doc = s.infer_json("dynamic", req)
            self.assertEqual(status, 200, doc)
            self.assertEqual(doc["outputs"][0]["shape"], [items, 4, h, w])
            self.assertEqual(float_bytes(doc["outputs"][0]["data"]), dout * items, shape)

    def test_binary_tensor_data(self):
        s = self.server
        header = {"inputs": [{"name": "data", "datatype": "FP32", "shape": [3, 3, 16, 16],
                              "parameters": {"binary_data_size": len(CLASSIFIER_IN) * 3}}],
                  "outputs": [{"name": "fused_dense_add", "parameters": {"binary_data": True}}]}
        status, doc, raw = s.infer_binary("classifier", header, [CLASSIFIER_IN * 3])
        self.assertEqual(status, 200, doc)
        self.assertEqual(doc["outputs"][0]["parameters"]["binary_data_size"], len(CLASSIFIER_OUT) * 3)
        self.assertEqual(raw["fused_dense_add"], CLASSIFIER_OUT * 3)
        # Request-wide binary_data_output, binary input mixed with nothing else, dynamic model.
        din, dout = sample("dynamic", "16x16")
        header = {"parameters": {"binary_data_output": True},
                  "inputs": [{"name": "data", "datatype": "FP32", "shape": [1, 3, 16, 16],
                              "parameters": {"binary_data_size": len(din)}}]}
        status, doc, raw = s.infer_binary("dynamic", header, [din])
        self.assertEqual(status, 200, doc)
        self.assertEqual(list(raw.values()), [dout])
        # JSON input, binary output; curl sends a binary body.
        seg_in, seg_out = sample("segmenter")
        head = json.dumps({"inputs": [{"name": "data", "datatype": "FP32", "shape": [1, 3, 12, 12],
                                       "parameters": {"binary_data_size": len(seg_in)}}],
                           "parameters": {"binary_data_output": True}}).encode()
        with tempfile.NamedTemporaryFile() as f:
            f.write(head + seg_in)
            f.flush()
            r = subprocess.run(
                ["curl", "-s", "--data-binary", "@" + f.name, "-H", "Inference-Header-Content-Length: %d" % len(head),
                 "-D", "-", s.base + "/v2/models/segmenter/infer"], capture_output=True, timeout=60)
        head_end = r.stdout.index(b"\r\n\r\n") + 4
        headers = r.stdout[:head_end].decode()
        body = r.stdout[head_end:]
        self.assertIn("200 OK", headers)
        hlen = int([l.split(":")[1] for l in headers.split("\r\n") if l.lower().startswith("inference-header")][0])
        self.assertEqual(body[hlen:], seg_out)

    def test_grpc_inference(self):
        s = self.server
        r = s.grpc_infer("classifier", [("data", "FP32", [5, 3, 16, 16], None)], raw=[CLASSIFIER_IN * 5])
        self.assertEqual((r.model_name, r.model_version, r.id), ("classifier", "1", "g1"))
        self.assertEqual(list(r.outputs[0].shape), [5, 10])
        self.assertEqual(r.raw_output_contents[0], CLASSIFIER_OUT * 5)
        # Typed contents instead of raw bytes.
        seg_in, seg_out = sample("segmenter")
        r = s.grpc_infer("segmenter", [("data", "FP32", [1, 3, 12, 12], floats(seg_in))])
        self.assertEqual(r.raw_output_contents[0], seg_out)
        din, dout = sample("dynamic", "32x32")
        r = s.grpc_infer("dynamic", [("data", "FP32", [2, 3, 32, 32], None)], raw=[din * 2])
        self.assertEqual((list(r.outputs[0].shape), r.raw_output_contents[0]), ([2, 4, 32, 32], dout * 2))

    def test_rest_errors(self):
        s = self.server
        good = classifier_request(1)
        cases = [
            # (what, model path, body, status, fragment of the message)
            ("malformed JSON", "classifier", b'{"inputs": [', 400, "malformed JSON"),
            ("not an object", "classifier", b"[1, 2]", 400, "not a JSON object"),
            ("unknown model", "resnet", json.dumps(good).encode(), 404, 'unknown model "resnet"'),
            ("unknown version", "classifier/versions/7", json.dumps(good).encode(), 404, 'no version "7"'),
            ("wrong input name", "classifier", json.dumps(
                {"inputs": [dict(good["inputs"][0], name="image")]}).encode(), 400, 'unknown input "image"'),
            ("wrong shape", "classifier", json.dumps(
                {"inputs": [dict(good["inputs"][0], shape=[1, 3, 16, 15])]}).encode(), 400, "shape [1,3,16,15]"),
            ("zero items", "classifier", json.dumps(
                {"inputs": [dict(good["inputs"][0], shape=[0, 3, 16, 16], data=[])]}).encode(), 400, "batch at least 1"),
            ("wrong datatype", "classifier", json.dumps(
                {"inputs": [dict(good["inputs"][0], datatype="INT32")]}).encode(), 400, "datatype INT32"),
            ("unknown datatype", "classifier", json.dumps(
                {"inputs": [dict(good["inputs"][0], datatype="FP128")]}).encode(), 400, "datatype FP128"),
            ("too few elements", "classifier", json.dumps(
                {"inputs": [dict(good["inputs"][0], data=good["inputs"][0]["data"][:-1])]}).encode(), 400,
             "holds 768 elements, \"data\" has 767"),
            ("non-numbers", "classifier", json.dumps(
                {"inputs": [dict(good["inputs"][0], data=["x"] * 768)]}).encode(), 400, "other than numbers"),
            ("missing input", "classifier", b'{"inputs": []}', 400, '"inputs" is missing'),
            ("unknown output", "classifier", json.dumps(dict(good, outputs=[{"name": "logits"}])).encode(), 400,
             'unknown output "logits"'),
            ("output twice", "classifier", json.dumps(dict(good, outputs=[{"name": "fused_dense_add"}] * 2)).encode(),
             400, 'output "fused_dense_add" is asked for twice'),
            ("nested too deep", "classifier", b'{"inputs": ' + b"[" * 40 + b"]" * 40 + b"}", 400, "nests deeper"),
            ("dynamic shape outside the suite", "dynamic", json.dumps(
                {"inputs": [{"name": "data", "datatype": "FP32", "shape": [1, 3, 40, 40],
                             "data": [0.0] * 4800}]}).encode(), 400, "outside the shape ranges"),
        ]
        for what, model, body, status, fragment in cases:
            st, _, out = s.request("POST", "/v2/models/%s/infer" % model, body, {"Content-Type": "application/json"})
            self.assertEqual(st, status, (what, out))
            self.assertIn(fragment, json.loads(out)["error"], what)
        # Binary bodies: a size that does not match the shape, data past the end, bytes no input claims.
        n = len(CLASSIFIER_IN)
        for size, tensors, fragment in ((n - 4, [CLASSIFIER_IN[:-4]], "binary_data_size\" says %d" % (n - 4)),
                                        (n, [CLASSIFIER_IN[:-4]], "runs past the end"),
                                        (n, [CLASSIFIER_IN + b"xx"], "that no input")):
            head = {"inputs": [{"name": "data", "datatype": "FP32", "shape": [1, 3, 16, 16],
                                "parameters": {"binary_data_size": size}}]}
            status, doc, _ = s.infer_binary("classifier", head, tensors)
            self.assertError(status, doc, 400, fragment)
        st, _, out = s.request("POST", "/v2/models/classifier/infer", b"{}",
                               {"Inference-Header-Content-Length": "99"})
        self.assertEqual(st, 400)
        self.assertIn("Inference-Header-Content-Length", json.loads(out)["error"])
        # Model names are only looked up among the loaded models: a path out of the repository is unknown.
        # An encoded '/' is refused outright.
        for path, want in (("/v2/models/../classifier/infer", 404), ("/v2/models/..%2Fclassifier/infer", 400),
                           ("/v2/models/%2e%2e/infer", 404), ("/v2/models/..%2F..%2Fetc%2Fpasswd", 400)):
            code, body = curl("--path-as-is", "-X", "POST", "-d", json.dumps(good), s.base + path)
            self.assertEqual(code, want, path)
            self.assertIn("error", json.loads(body), path)
        # Unknown endpoints answer with a JSON error too.
        status, _, body = s.get("/v3/models")
        self.assertEqual(status, 404)
        self.assertIn("no such endpoint", json.loads(body)["error"])

    def test_grpc_errors(self):
        s = self.server
        cases = [
            ("unknown model", "../classifier", [("data", "FP32", [1, 3, 16, 16], None)], [CLASSIFIER_IN],
             grpc.StatusCode.NOT_FOUND, 'unknown model "../classifier"'),
            ("wrong input name", "classifier", [("image", "FP32", [1, 3, 16, 16], None)], [CLASSIFIER_IN],
             grpc.StatusCode.INVALID_ARGUMENT, 'unknown input "image"'),
            ("wrong shape", "classifier", [("data", "FP32", [1, 3, 8, 8], None)], [CLASSIFIER_IN[:768]],
             grpc.StatusCode.INVALID_ARGUMENT, "shape [1,3,8,8]"),
            ("wrong datatype", "classifier", [("data", "FP64", [1, 3, 16, 16], None)], [CLASSIFIER_IN * 2],
             grpc.StatusCode.INVALID_ARGUMENT, "datatype FP64"),
            ("wrong byte count", "classifier", [("data", "FP32", [1, 3, 16, 16], None)], [CLASSIFIER_IN[:-1]],
             grpc.StatusCode.INVALID_ARGUMENT, "3071 given"),
            ("raw count", "classifier", [("data", "FP32", [1, 3, 16, 16], None)], [CLASSIFIER_IN, b""],
             grpc.StatusCode.INVALID_ARGUMENT, "raw_input_contents holds 2"),
            ("contents count", "classifier", [("data", "FP32", [1, 3, 16, 16], [1.0, 2.0])], None,
             grpc.StatusCode.INVALID_ARGUMENT, "the contents 2"),
        ]
        for what, model, inputs, raw, code, fragment in cases:
            with self.assertRaises(grpc.RpcError, msg=what) as cm:
                s.grpc_infer(model, inputs, raw=raw)
            self.assertEqual(cm.exception.code(), code, what)
            self.assertIn(fragment, cm.exception.details(), what)

        # Requests built field by field: typed contents in another field than the datatype's, outputs asked
        # for twice, flag parameters that are not bools (refused as REST refuses them).
        def request(contents=(), outputs=(), params=None, output_params=None):
            q = pb.ModelInferRequest(model_name="classifier")
            t = q.inputs.add(name="data", datatype="FP32", shape=[1, 3, 16, 16])
            if not contents:
                q.raw_input_contents.append(CLASSIFIER_IN)
            for field, values in contents:
                getattr(t.contents, field).extend(values)
            for o in outputs:
                ro = q.outputs.add(name=o)
                for k, v in (output_params or {}).items():
                    ro.parameters[k].CopyFrom(v)
            for k, v in (params or {}).items():
                q.parameters[k].CopyFrom(v)
            return q
        out = "fused_dense_add"
        fp32 = ("fp32_contents", floats(CLASSIFIER_IN))
        refused = [
            ("values in int_contents", request([("int_contents", [1] * 768)]),
             "FP32 values go in fp32_contents, the contents hold 768 in int_contents"),
            ("values in two fields", request([fp32, ("fp64_contents", [1.0])]),
             "the contents hold 1 in fp64_contents"),
            ("output twice", request(outputs=[out, out]), 'output "%s" is asked for twice' % out),
            ("binary_data_output a string", request(params={"binary_data_output": pb.InferParameter(string_param="true")}),
             'parameter "binary_data_output" is not true or false'),
            ("binary_data_output unset", request(params={"binary_data_output": pb.InferParameter()}),
             'parameter "binary_data_output" is not true or false'),
            ("binary_data an int", request(outputs=[out], output_params={"binary_data": pb.InferParameter(int64_param=1)}),
             'outputs[0]: parameter "binary_data" is not true or false'),
        ]
        for what, q, fragment in refused:
            with self.assertRaises(grpc.RpcError, msg=what) as cm:
                s.stub.ModelInfer(q, timeout=60)
            self.assertEqual(cm.exception.code(), grpc.StatusCode.INVALID_ARGUMENT, what)
            self.assertIn(fragment, cm.exception.details(), what)
        # Bytes that are not the method's request message: a truncated field, a string that is not UTF-8.
        for method, message in (("ModelInfer", "ModelInferRequest"), ("ModelMetadata", "ModelMetadataRequest")):
            call = s.channel.unary_unary("/inference.GRPCInferenceService/" + method)   # bytes in, bytes out
            for what, data in (("truncated", b"\x0a\x20classifier"), ("not UTF-8", b"\x0a\x02\xc3\x28")):
                with self.assertRaises(grpc.RpcError, msg=(method, what)) as cm:
                    call(data, timeout=60)
                self.assertEqual(cm.exception.code(), grpc.StatusCode.INVALID_ARGUMENT, (method, what))
                self.assertIn("the request is not a valid inference.%s message" % message, cm.exception.details())
        # Bool flags and parameters the server has no use for are taken.
        q = request([fp32], outputs=[out], params={"binary_data_output": pb.InferParameter(bool_param=True),
                                                 "priority": pb.InferParameter(int64_param=3)},
                    output_params={"binary_data": pb.InferParameter(bool_param=False)})
        self.assertEqual(s.stub.ModelInfer(q, timeout=60).raw_output_contents[0], CLASSIFIER_OUT)
        # A long name is cut in the message, which must fit the client's bound on trailing metadata (8 KiB):
        # the status still reaches the client as NOT_FOUND.
        for call in (lambda n: s.stub.ModelMetadata(pb.ModelMetadataRequest(name=n)),
                     lambda n: s.stub.ModelReady(pb.ModelReadyRequest(name=n)),
                     lambda n: s.grpc_infer(n, [("data", "FP32", [1, 3, 16, 16], None)], raw=[CLASSIFIER_IN])):
            with self.assertRaises(grpc.RpcError) as cm:
                call("é" * 50000)
            self.assertEqual(cm.exception.code(), grpc.StatusCode.NOT_FOUND, cm.exception.details()[:100])
            self.assertTrue(cm.exception.details().startswith('unknown model "éé'), cm.exception.details()[:100])
            self.assertIn("message cut, %d bytes in all" % len(('unknown model "%s"' % ("é" * 50000)).encode()),
                          cm.exception.details())
            self.assertLessEqual(len(cm.exception.details().encode()), 1024)
        with self.assertRaises(grpc.RpcError) as cm:
            s.stub.ModelMetadata(pb.ModelMetadataRequest(name="classifier", version="2"))
        self.assertEqual(cm.exception.code(), grpc.StatusCode.NOT_FOUND)
        with self.assertRaises(grpc.RpcError) as cm:
            s.stub.ModelReady(pb.ModelReadyRequest(name="nope"))
        self.assertEqual(cm.exception.code(), grpc.StatusCode.NOT_FOUND)

    def test_metrics(self):
        s = self.server
        before = s.metrics()
        self.assertEqual(s.infer_json("trivial", {"inputs": [{"name": "data", "datatype": "FP32", "shape": [3, 16],
                                                               "data": [0.5] * 48}]})[0], 200)
        self.assertEqual(s.infer_json("trivial", {"inputs": [{"name": "data", "datatype": "FP32", "shape": [3, 15],
                                                               "data": [0.5] * 45}]})[0], 400)
        after = s.metrics()

        def delta(name, **labels):
            key = (name, frozenset((k, '"%s"' % v) for k, v in labels.items()))
            return after[key] - before.get(key, 0)

        self.assertEqual(delta("qobl_inference_requests_total", model="trivial", status="success"), 1)
        self.assertEqual(delta("qobl_inference_requests_total", model="trivial", status="failure"), 1)
        self.assertEqual(delta("qobl_inference_items_total", model="trivial", status="success"), 3)
        self.assertEqual(delta("qobl_inference_latency_seconds_count", model="trivial"), 1)
        self.assertEqual(delta("qobl_queue_time_seconds_count", model="trivial"), 3)
        self.assertGreaterEqual(delta("qobl_device_runs_total", model="trivial"), 1)
        self.assertEqual(delta("qobl_device_run_items_total", model="trivial"), 3)
        for card in ("0", "1"):
            self.assertGreater(after[("qobl_card_memory_bytes", frozenset({("card", '"%s"' % card)}))], 0)
        inf = after[("qobl_inference_latency_seconds_bucket", frozenset({("model", '"trivial"'), ("le", '"+Inf"')}))]
        self.assertEqual(inf, after[("qobl_inference_latency_seconds_count", frozenset({("model", '"trivial"')}))])


class LimitsTest(ServerTestCase):
    """Oversized bodies, slow and stalled clients, the shapes a dynamic model serves at once."""
    ARGS = ("--max-request-bytes", "65536", "--read-timeout-ms", "300", "--request-timeout-ms", "1500",
            "--http-threads", "2", "--idle-timeout-s", "1", "--max-shapes", "2")
    CARDS = 1

    def test_dynamic_model_serves_at_most_its_shape_limit(self):
        # 8x8 is loaded at start-up, 24x24 on first use; 16x16 would be a third shape while both are held.
        for shape, error in (("24x24", None), ("16x16", "at most 2 input shapes at once (8x8, 24x24)"),
                             ("24x24", None)):
            h, w = map(int, shape.split("x"))
            din, dout = sample("dynamic", shape)
            status, doc = self.server.infer_json("dynamic", {"inputs": [
                {"name": "data", "datatype": "FP32", "shape": [2, 3, h, w], "data": floats(din * 2)}]})
            if error:
                self.assertError(status, doc, 400, error)
            else:
                self.assertEqual(status, 200, doc)
                self.assertEqual(float_bytes(doc["outputs"][0]["data"]), dout * 2, shape)

    def test_oversized_bodies(self):
        s = self.server
        big = json.dumps(classifier_request(12)).encode()   # about 100 KB
        self.assertGreater(len(big), 65536)
        status, _, body = s.request("POST", "/v2/models/classifier/infer", big)
        self.assertEqual(status, 413)
        self.assertIn("--max-request-bytes", json.loads(body)["error"])
        # The refusal comes from the declared length alone: the body is never sent.
        got, secs, _ = raw_http(s.http, b"POST /v2/models/classifier/infer HTTP/1.1\r\nHost: x\r\n"
                                        b"Content-Length: 10000000000\r\n\r\n{", read_timeout=5)
        self.assertTrue(got.startswith(b"HTTP/1.1 413"), got)
        self.assertLess(secs, 2.0)
        # A chunked body is cut off as soon as it passes the limit.
        chunk = b"x" * 40000
        chunked = b"".join(b"%x\r\n%s\r\n" % (len(chunk), chunk) for _ in range(3)) + b"0\r\n\r\n"
        got, _, _ = raw_http(s.http, b"POST /v2/models/classifier/infer HTTP/1.1\r\nHost: x\r\n"
                                     b"Transfer-Encoding: chunked\r\n\r\n" + chunked, read_timeout=5)
        self.assertTrue(got.startswith(b"HTTP/1.1 413"), got[:200])
        # gRPC refuses the message from its length prefix.
        with self.assertRaises(grpc.RpcError) as cm:
            s.grpc_infer("classifier", [("data", "FP32", [24, 3, 16, 16], None)], raw=[CLASSIFIER_IN * 24])
        self.assertEqual(cm.exception.code(), grpc.StatusCode.RESOURCE_EXHAUSTED)
        # The server still serves.
        self.assertEqual(s.infer_json("classifier", classifier_request(1))[0], 200)

    def test_slow_and_stalled_clients(self):
        s = self.server
        # More stalled connections than the server has HTTP workers, each with half a request line.
        stalled = []
        for _ in range(4):
            c = socket.create_connection(("127.0.0.1", s.http))
            c.sendall(b"POST /v2/models/classifier/in")
            stalled.append(c)
        # A well-behaved client is still served once the stalled ones have been dropped.
        start = time.time()
        status, doc = s.infer_json("classifier", classifier_request(1))
        self.assertEqual(status, 200, doc)
        self.assertLess(time.time() - start, 10)
        for c in stalled:
            c.settimeout(5)
            try:
                self.assertEqual(c.recv(100), b"")   # closed by the server
            except ConnectionResetError:
                pass
            c.close()
        # A client that trickles its body slower than the request time-out gets 408, also when what trickles
        # is a chunked body's framing (a size line's extension, a trailer) rather than data.
        for name, head, drip in (
                ("data", b"Content-Length: 4000\r\n\r\n", b" "),
                ("chunk extension", b"Transfer-Encoding: chunked\r\n\r\n5;", b"a"),
                ("trailer", b"Transfer-Encoding: chunked\r\n\r\n0\r\nX-T: ", b"a")):
            c = socket.create_connection(("127.0.0.1", s.http))
            c.sendall(b"POST /v2/models/classifier/infer HTTP/1.1\r\nHost: x\r\n" + head)
            c.settimeout(0.25)
            got = b""
            start = time.time()
            while time.time() < start + 8 and not got:
                try:
                    c.sendall(drip)
                    got = c.recv(1000)
                except socket.timeout:
                    continue
                except (BrokenPipeError, ConnectionResetError):
                    break
            c.close()
            self.assertTrue(got.startswith(b"HTTP/1.1 408"), (name, got))
            self.assertLess(time.time() - start, 3, name)
        # A client that falls silent midway through its body for longer than the read time-out gets 408 too.
        c = socket.create_connection(("127.0.0.1", s.http))
        c.sendall(b"POST /v2/models/classifier/infer HTTP/1.1\r\nHost: x\r\nContent-Length: 4000\r\n\r\n{")
        c.settimeout(8)
        got = b""
        while True:                          # the server closes the connection after its answer
            part = c.recv(1000)
            if not part:
                break
            got += part
        c.close()
        self.assertTrue(got.startswith(b"HTTP/1.1 408"), got)
        self.assertIn(b"stalled for 300 ms (--read-timeout-ms)", got)


class SchedulingTest(ServerTestCase):
    """One card and one instance: dynamic batching, requests spanning runs, full queues, card failures."""
    # A long gathering window: requests started together must meet in one run even when a loaded machine
    # (or a sanitizer build) starts the client threads far apart. Only a partial run ever waits for it.
    ARGS = ("--max-queue-delay-us", "2000000", "--max-queue-size", "8")
    CARDS = 1
    HOOKS = True

    def concurrently(self, calls):
        results = [None] * len(calls)

        def run(i):
            results[i] = calls[i]()
        threads = [threading.Thread(target=run, args=(i,)) for i in range(len(calls))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return results

    def runs(self):
        s = self.server
        return (s.metric("qobl_device_runs_total", model="classifier"),
                s.metric("qobl_device_run_items_total", model="classifier"))

    def test_concurrent_requests_share_device_runs(self):
        runs0, items0 = self.runs()
        results = self.concurrently([lambda: self.server.infer_json("classifier", classifier_request(1))] * 4)
        for status, doc in results:
            self.assertEqual(status, 200, doc)
            self.assertEqual(float_bytes(doc["outputs"][0]["data"]), CLASSIFIER_OUT)
        runs1, items1 = self.runs()
        self.assertEqual((runs1 - runs0, items1 - items0), (1, 4))   # one full run of the batch of 4

    def test_request_spans_runs_in_order(self):
        s = self.server
        zeros = bytes(len(CLASSIFIER_IN))
        status, doc = s.infer_json("classifier", classifier_request(1, zeros))
        self.assertEqual(status, 200)
        zero_out = float_bytes(doc["outputs"][0]["data"])
        self.assertNotEqual(zero_out, CLASSIFIER_OUT)
        pattern = [1, 0, 0, 1, 1, 0, 1, 0]   # 8 items: two runs of 4 ... plus ordering
        data = b"".join(CLASSIFIER_IN if p else zeros for p in pattern)
        runs0, _ = self.runs()
        status, doc = s.infer_json("classifier", classifier_request(len(pattern), data))
        self.assertEqual(status, 200, doc)
        self.assertEqual(float_bytes(doc["outputs"][0]["data"]),
                         b"".join(CLASSIFIER_OUT if p else zero_out for p in pattern))
        self.assertEqual(self.runs()[0] - runs0, 2)

    def test_full_queue_is_refused(self):
        s = self.server
        # Each run holds the card 1 s, so that the six requests meet a full queue even when a loaded
        # machine (or a sanitizer build) starts their threads far apart.
        s.hook("/test-hooks/op-delay?card=0&us=1000000")
        try:
            calls = [lambda: s.infer_json("classifier", classifier_request(4))] * 6
            results = self.concurrently(calls)
        finally:
            s.hook("/test-hooks/op-delay?card=0&us=0")
        statuses = sorted(st for st, _ in results)
        self.assertIn(200, statuses)
        self.assertIn(503, statuses)
        self.assertEqual(set(statuses), {200, 503})
        for status, doc in results:
            if status == 503:
                self.assertIn("try again later", doc["error"])
            else:
                self.assertEqual(float_bytes(doc["outputs"][0]["data"]), CLASSIFIER_OUT * 4)

    def test_card_failure_fails_only_its_run(self):
        s = self.server
        idle = s.metric("qobl_card_memory_blocks", card="0")
        # One request filling one run.
        s.hook("/test-hooks/fail-next-run?model=classifier&card=0&code=507011")
        status, doc = s.infer_json("classifier", classifier_request(4))
        self.assertError(status, doc, 500, "the card failed the device run")
        status, doc = s.infer_json("classifier", classifier_request(4))
        self.assertEqual(status, 200, doc)
        # Two requests gathered into one failing run both fail; a request in the next run succeeds.
        s.hook("/test-hooks/fail-next-run?model=classifier&card=0&code=507011")
        results = self.concurrently([lambda: s.infer_json("classifier", classifier_request(2))] * 2)
        self.assertEqual([st for st, _ in results], [500, 500])
        # A request spanning two runs of which the first fails, over gRPC.
        s.hook("/test-hooks/fail-next-run?model=classifier&card=0&code=507011")
        with self.assertRaises(grpc.RpcError) as cm:
            s.grpc_infer("classifier", [("data", "FP32", [8, 3, 16, 16], None)], raw=[CLASSIFIER_IN * 8])
        self.assertEqual(cm.exception.code(), grpc.StatusCode.INTERNAL)
        r = s.grpc_infer("classifier", [("data", "FP32", [8, 3, 16, 16], None)], raw=[CLASSIFIER_IN * 8])
        self.assertEqual(r.raw_output_contents[0], CLASSIFIER_OUT * 8)
        # Nothing leaked on the card.  A run's blocks are freed on the completion thread after its callbacks
        # answered the request, so the count may still be settling when the last response arrives.
        deadline = time.monotonic() + 5
        while s.metric("qobl_card_memory_blocks", card="0") != idle and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(s.metric("qobl_card_memory_blocks", card="0"), idle)


class GrpcClientsTest(ServerTestCase):
    """gRPC clients that give calls up (cancel, deadline, a killed process) and more calls at once than the
    server has handler threads, on one card slowed by the test hooks with one device run in flight."""
    ARGS = ("--max-queue-delay-us", "0", "--in-flight", "1", "--http-threads", "2")
    CARDS = 1
    HOOKS = True

    @staticmethod
    def request(items):
        q = pb.ModelInferRequest(model_name="classifier", id="r%d" % items)
        q.inputs.add(name="data", datatype="FP32", shape=[items, 3, 16, 16])
        q.raw_input_contents.append(CLASSIFIER_IN * items)
        return q

    def test_given_up_calls_drop_their_waiting_items(self):
        s = self.server
        # A client process that connects, says so, makes its call when told to and is killed meanwhile.
        build = os.environ.get("QOBL_BUILD_DIR", "build")
        kill_client = (
            "import sys, grpc\n"
            "sys.path.insert(0, %r)\n"
            "import inference_pb2 as pb, inference_pb2_grpc as pbg\n"
            "q = pb.ModelInferRequest(model_name='classifier')\n"
            "q.inputs.add(name='data', datatype='FP32', shape=[16, 3, 16, 16])\n"
            "q.raw_input_contents.append(open(%r, 'rb').read() * 16)\n"
            "channel = grpc.insecure_channel('127.0.0.1:%d')\n"
            "grpc.channel_ready_future(channel).result(timeout=60)\n"
            "print('ready', flush=True)\n"
            "sys.stdin.readline()\n"
            "pbg.GRPCInferenceServiceStub(channel).ModelInfer(q)\n"
            % (os.path.join(build, "tools", "qobl_serve", "python"),
               os.path.abspath(os.path.join(build, "models", "classifier", "sample_input.bin")), s.grpc))

        # Each way of giving up: (prepare, give up) where give up makes the call and leaves it 0.3 s later.
        def cancel():
            f = s.stub.ModelInfer.future(self.request(16), timeout=60)
            time.sleep(0.3)
            f.cancel()
            return f.cancelled()

        def deadline():
            try:
                s.stub.ModelInfer(self.request(16), timeout=0.3)
            except grpc.RpcError as e:
                return e.code() == grpc.StatusCode.DEADLINE_EXCEEDED
            return False

        client = []

        def start_client():
            client.append(subprocess.Popen(["/usr/bin/python3", "-c", kill_client], stdin=subprocess.PIPE,
                                           stdout=subprocess.PIPE))
            self.assertEqual(client[0].stdout.readline(), b"ready\n")

        def kill():
            p = client.pop()
            p.stdin.write(b"go\n")
            p.stdin.flush()
            time.sleep(0.3)
            p.kill()
            p.wait()
            p.stdin.close()
            p.stdout.close()
            return True

        idle = self.counters()["blocks"]
        s.hook("/test-hooks/op-delay?card=0&us=400000")
        try:
            for name, prepare, give_up in (("cancel", None, cancel), ("deadline", None, deadline),
                                           ("killed client", start_client, kill)):
                if prepare:
                    prepare()
                before = self.counters()
                # A run of 4 items holds the card; the given-up call's 16 items wait behind it.
                first = s.stub.ModelInfer.future(self.request(4), timeout=60)
                self.wait_for(name, lambda: self.counters()["sent"] - before["sent"] >= 4)
                self.assertTrue(give_up(), name)
                self.assertEqual(first.result().raw_output_contents[0], CLASSIFIER_OUT * 4, name)
                # The server notices within its poll interval and counts the call as failed.
                self.wait_for(name, lambda: self.counters()["failed"] - before["failed"] == 1)
                r = s.stub.ModelInfer(self.request(4), timeout=60)
                self.assertEqual((r.id, r.raw_output_contents[0]), ("r4", CLASSIFIER_OUT * 4), name)
                after = self.counters()
                self.assertEqual((after["ok"] - before["ok"], after["failed"] - before["failed"],
                                  after["items_failed"] - before["items_failed"]), (2, 1, 16), name)
                # Of the given-up call's 16 items at most 5 reached the card: a run of 4 on the card when it
                # was given up and one the dispatcher was holding for the next; the rest were dropped (24
                # items in all would have been sent had they all run).
                self.assertLessEqual(after["sent"] - before["sent"], 8 + 5, name)
        finally:
            s.hook("/test-hooks/op-delay?card=0&us=0")
        self.wait_for("card memory back to idle", lambda: self.counters()["blocks"] == idle, timeout=5)

    def test_more_calls_than_handler_threads(self):
        s = self.server
        s.hook("/test-hooks/op-delay?card=0&us=100000")
        channels = [grpc.insecure_channel("127.0.0.1:%d" % s.grpc) for _ in range(4)]
        try:
            stubs = [pbg.GRPCInferenceServiceStub(c) for c in channels]

            def run(calls):
                results = [None] * len(calls)

                def one(i, items):
                    try:
                        r = stubs[i % len(stubs)].ModelInfer(self.request(items), timeout=120)
                        results[i] = ("OK", r.raw_output_contents[0] == CLASSIFIER_OUT * items)
                    except grpc.RpcError as e:
                        results[i] = (e.code(), e.details())
                threads = [threading.Thread(target=one, args=(i, n)) for i, n in enumerate(calls)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                return results
            # 24 one-item calls, 12 times the handler threads (--http-threads 2): each waits its turn in the
            # model's queue, none is refused for want of a thread.
            self.assertEqual(run([1] * 24), [("OK", True)] * 24)
            # Calls beyond the model's queue (256 items) are refused as UNAVAILABLE, which clients retry.
            results = run([128] * 4)
            self.assertIn(("OK", True), results)
            refused = [r for r in results if r[0] != "OK"]
            self.assertTrue(refused, results)
            for code, details in refused:
                self.assertEqual(code, grpc.StatusCode.UNAVAILABLE, details)
                self.assertIn("try again later", details)
        finally:
            for c in channels:
                c.close()
            s.hook("/test-hooks/op-delay?card=0&us=0")


STREAM_METHOD = "/inference.GRPCInferenceService/ModelStreamInfer"


def open_stream(channel, timeout=60):
    """A ModelStreamInfer call whose requests are sent as the test puts them: (send, call).  send() takes a
    request message, or raw bytes sent as they are, or None to half-close; the call yields the responses."""
    pending = queue.Queue()

    def requests():
        while True:
            item = pending.get()
            if item is None:
                return
            yield item if isinstance(item, bytes) else item.SerializeToString()
    method = channel.stream_stream(STREAM_METHOD, request_serializer=lambda b: b,
                                   response_deserializer=pb.ModelStreamInferResponse.FromString)
    return pending.put, method(requests(), timeout=timeout)


class StreamInferTest(ServerTestCase):
    """ModelStreamInfer: many requests on one stream answered in order with their ids, errors answered in
    place, half-close, cancellation, on one card slowed by the test hooks and two instances (so that a later
    small request can finish before an earlier large one)."""
    ARGS = ("--max-queue-delay-us", "0", "--in-flight", "1", "--instances-per-device", "2")
    CARDS = 1
    HOOKS = True

    @staticmethod
    def request(items, rid, model="classifier", **fields):
        q = pb.ModelInferRequest(model_name=model, id=rid, **fields)
        q.inputs.add(name="data", datatype="FP32", shape=[items, 3, 16, 16])
        q.raw_input_contents.append(CLASSIFIER_IN * items)
        return q

    def test_requests_answered_in_order_errors_in_place(self):
        s = self.server
        trivial_in, trivial_out = sample("trivial")
        trivial = pb.ModelInferRequest(model_name="trivial", id="typed")
        trivial.inputs.add(name="data", datatype="FP32", shape=[1, 16]).contents.fp32_contents.extend(floats(trivial_in))
        bad_shape = pb.ModelInferRequest(model_name="classifier", id="shape")
        bad_shape.inputs.add(name="data", datatype="FP32", shape=[1, 3, 16, 15])
        bad_shape.raw_input_contents.append(CLASSIFIER_IN[:-64])
        # (request, id, expected output bytes or the fragment of the error)
        cases = [
            (self.request(16, "big"), "big", CLASSIFIER_OUT * 16),
            (self.request(1, "small"), "small", CLASSIFIER_OUT),
            (pb.ModelInferRequest(model_name="nosuch", id="unknown"), "unknown", 'unknown model "nosuch"'),
            (b"\xff\xff\xff", "", "is not a valid inference.ModelInferRequest message"),
            (bad_shape, "shape", "shape [1,3,16,15]"),
            (self.request(1, "version", model_version="7"), "version", 'has no version "7"'),
            (trivial, "typed", trivial_out),
            (self.request(2, "last"), "last", CLASSIFIER_OUT * 2),
        ]
        before = self.counters()
        s.hook("/test-hooks/op-delay?card=0&us=20000")
        try:
            # Ping-pong: each request answered before the next is sent, the stream still open.
            send, call = open_stream(s.channel)
            for i in range(3):
                send(self.request(1, "ping%d" % i))
                r = next(call)
                self.assertEqual((r.error_message, r.infer_response.id, r.infer_response.raw_output_contents[0]),
                                 ("", "ping%d" % i, CLASSIFIER_OUT))
            send(None)
            self.assertEqual(list(call), [])
            self.assertEqual(call.code(), grpc.StatusCode.OK)
            # All sent at once and half-closed at once: every request answered, in the order sent, the errors
            # in their place, and then the stream ends OK.
            send, call = open_stream(s.channel)
            for q, _, _ in cases:
                send(q)
            send(None)
            answers = list(call)
            self.assertEqual(call.code(), grpc.StatusCode.OK)
        finally:
            s.hook("/test-hooks/op-delay?card=0&us=0")
        self.assertEqual([a.infer_response.id for a in answers], [rid for _, rid, _ in cases])
        for a, (_, rid, want) in zip(answers, cases):
            if isinstance(want, bytes):
                self.assertEqual(a.error_message, "", rid)
                self.assertEqual(a.infer_response.raw_output_contents[0], want, rid)
                self.assertEqual(a.infer_response.model_version, "1", rid)
            else:
                self.assertIn(want, a.error_message, rid)
                self.assertEqual(len(a.infer_response.outputs), 0, rid)
        self.assertEqual(answers[2].infer_response.model_name, "nosuch")
        after = self.counters()
        self.assertEqual(after["ok"] - before["ok"], 3 + 3)
        self.assertEqual(after["failed"] - before["failed"], 1)   # the shape; unknown names reach no model

    def test_cancelled_stream_gives_its_requests_up(self):
        s = self.server
        idle = self.counters()["blocks"]
        before = self.counters()
        s.hook("/test-hooks/op-delay?card=0&us=300000")
        try:
            send, call = open_stream(s.channel)
            send(self.request(4, "first"))
            send(self.request(16, "behind"))
            # The first run of 4 holds the card; the 16 items wait behind it.
            self.wait_for("the first run on the card", lambda: self.counters()["sent"] - before["sent"] >= 4)
            call.cancel()
            with self.assertRaises(grpc.RpcError) as cm:
                list(call)
            self.assertEqual(cm.exception.code(), grpc.StatusCode.CANCELLED)
            # Both requests given up and counted as failed; most of the waiting items never sent.
            self.wait_for("both requests given up", lambda: self.counters()["failed"] - before["failed"] == 2)
            after = self.counters()
            self.assertEqual(after["items_failed"] - before["items_failed"], 20)
            self.assertLessEqual(after["sent"] - before["sent"], 4 + 5)
        finally:
            s.hook("/test-hooks/op-delay?card=0&us=0")
        # The server goes on: a new stream is served, and nothing is left on the card.
        send, call = open_stream(s.channel)
        send(self.request(3, "again"))
        send(None)
        answers = list(call)
        self.assertEqual([(a.error_message, a.infer_response.id) for a in answers], [("", "again")])
        self.wait_for("card memory back to idle", lambda: self.counters()["blocks"] == idle, timeout=5)

    def test_every_declared_method_is_served(self):
        """The service registers its methods itself: each one inference.proto declares answers (with a
        status of its own, not UNIMPLEMENTED)."""
        s = self.server
        service = pb.DESCRIPTOR.services_by_name["GRPCInferenceService"]
        names = []
        for m in service.methods:
            path = "/%s/%s" % (service.full_name, m.name)
            names.append(m.name)
            request_type = getattr(pb, m.input_type.name)
            if m.client_streaming:
                call = s.channel.stream_stream(path, request_serializer=request_type.SerializeToString,
                                               response_deserializer=lambda b: b)(iter([request_type()]), timeout=30)
                responses = list(call)   # an empty request: answered with an error, the stream ends OK
                self.assertEqual((len(responses), call.code()), (1, grpc.StatusCode.OK), m.name)
                continue
            try:
                s.channel.unary_unary(path, request_serializer=request_type.SerializeToString,
                                      response_deserializer=lambda b: b)(request_type(), timeout=30)
            except grpc.RpcError as e:
                self.assertNotEqual(e.code(), grpc.StatusCode.UNIMPLEMENTED, m.name)
        self.assertIn("ModelStreamInfer", names)


class HeadDeadlineTest(ServerTestCase):
    """Clients that send a request head too slowly lose their connection; everyone else is still served."""
    DEADLINE = 1.0
    # Two HTTP workers; reads may stay silent far longer than the trickles' gaps, so only the head deadline
    # can end a trickle.
    ARGS = ("--http-threads", "2", "--header-timeout-ms", str(int(DEADLINE * 1000)), "--read-timeout-ms", "2000",
            "--idle-timeout-s", "1")
    CARDS = 1

    @staticmethod
    def trickle_head(sock, gap=0.2, limit=15.0, before=b""):
        """Starts a head on `sock` that never ends (behind the bytes `before`, in the same packet) and sends one
        more byte of it every `gap` s until the server closes the connection or `limit` s pass: (seconds to
        the close or None, what the server sent)."""
        start = time.time()
        got = b""
        sock.sendall(before + b"GET /v2/health/ready HTTP/1.1\r\nHost: x\r\nX-Slow: ")
        while time.time() - start < limit:
            readable, _, _ = select.select([sock], [], [], gap)
            try:
                if not readable:
                    sock.sendall(b"a")
                    continue
                part = sock.recv(4096)
            except (BrokenPipeError, ConnectionResetError):
                part = b""
            if not part:
                return time.time() - start, got
            got += part
        return None, got

    def head_timeouts(self):
        return self.server.metric("qobl_http_head_timeouts_total")

    def test_trickled_heads_are_cut_off_and_others_served(self):
        s = self.server
        before = self.head_timeouts()
        stop = threading.Event()
        # (seconds, answer, what came before the trickle) of every trickling connection, each run until the
        # server dropped it.
        closes = []
        lock = threading.Lock()

        def attacker(first):
            while not stop.is_set():
                with socket.create_connection(("127.0.0.1", s.http)) as c:
                    result = self.trickle_head(c, before=first)
                with lock:
                    closes.append(result + (first,))

        # Twice the server's workers, trickling on new connections and behind a whole first request.
        served = b"GET /v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n"
        attackers = [threading.Thread(target=attacker, args=(b"" if i % 2 else served,)) for i in range(4)]
        for t in attackers:
            t.start()
        try:
            time.sleep(0.2)
            # A normal client gets its answers at once while the trickles go on (the attackers reconnect at
            # once): trickling heads hold no worker.
            for _ in range(3):
                start = time.time()
                status, _, _ = s.request("GET", "/v2/health/ready", timeout=20)
                self.assertEqual(status, 200)
                status, doc = s.infer_json("classifier", classifier_request(1))
                self.assertEqual(status, 200, doc)
                self.assertEqual(float_bytes(doc["outputs"][0]["data"]), CLASSIFIER_OUT)
                self.assertLess(time.time() - start, self.DEADLINE / 2)
                time.sleep(self.DEADLINE / 3)
        finally:
            stop.set()
            for t in attackers:
                t.join()
        self.assertGreaterEqual(len(closes), 4)
        for secs, answer, behind in closes:
            # Each cut at its own deadline, neither before it nor behind others'.
            self.assertIsNotNone(secs, "a trickling connection was never closed")
            self.assertGreaterEqual(secs, self.DEADLINE * 0.9)
            self.assertLess(secs, self.DEADLINE * 2)
            if behind:
                self.assertTrue(answer.startswith(b"HTTP/1.1 200"), answer)
                answer = answer[answer.index(b"HTTP/1.1", 1):]
            self.assertTrue(answer.startswith(b"HTTP/1.1 408"), answer)
            self.assertIn(b"--header-timeout-ms", answer)
        self.assertEqual(self.head_timeouts() - before, len(closes))

    def test_slow_heads_within_the_deadline_and_kept_alive_connections(self):
        s = self.server
        before = self.head_timeouts()
        with socket.create_connection(("127.0.0.1", s.http)) as c:
            c.settimeout(10)
            reader = c.makefile("rb")

            def response():
                status = int(reader.readline().split()[1])
                length = 0
                while True:
                    line = reader.readline().strip()
                    if not line:
                        break
                    name, _, value = line.partition(b":")
                    if name.lower() == b"content-length":
                        length = int(value)
                return status, reader.read(length)

            head = b"GET /v2/health/ready HTTP/1.1\r\nHost: x\r\n\r\n"
            # Two requests in one packet: the second, read along with the first, is answered too.
            c.sendall(head + head)
            self.assertEqual([response(), response()], [(200, b"")] * 2)
            # A head sent in pieces, all of it well within the deadline, is served.
            for i in range(0, len(head), 10):
                c.sendall(head[i:i + 10])
                time.sleep(0.08)
            self.assertEqual(response(), (200, b""))
            # The deadline covers the head only: a body that takes longer than it still arrives.
            body = json.dumps(classifier_request(1)).encode()
            c.sendall(b"POST /v2/models/classifier/infer HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n"
                      % len(body))
            for i in range(4):
                time.sleep(0.5)
                c.sendall(body[i * len(body) // 4:(i + 1) * len(body) // 4])
            status, answer = response()
            self.assertEqual(status, 200, answer)
            self.assertEqual(float_bytes(json.loads(answer)["outputs"][0]["data"]), CLASSIFIER_OUT)
            # The next head of the kept-alive connection has the same deadline.
            secs, answer = self.trickle_head(c)
            self.assertIsNotNone(secs)
            self.assertTrue(self.DEADLINE * 0.9 <= secs < self.DEADLINE * 5, secs)
            self.assertTrue(answer.startswith(b"HTTP/1.1 408"), answer)
        # A connection that never starts a request is closed after the idle time-out, without an answer.
        got, secs, closed = raw_http(s.http, b"", read_timeout=10)
        self.assertEqual((got, closed), (b"", True))
        self.assertLess(secs, 6)
        self.assertEqual(self.head_timeouts() - before, 1)


class ConnectionBoundsTest(ServerTestCase):
    """Request heads larger than the server takes are refused without being read whole; a client that does
    not take its response in time is cut off; everyone else is still served."""
    MAX_HEAD = 16384
    MAX_FIELDS = 20
    DEADLINE = 2.0
    # Each write may wait far longer than the response deadline: only the deadline can end a slow reader.
    ARGS = ("--http-threads", "2", "--max-header-bytes", str(MAX_HEAD), "--max-header-fields", str(MAX_FIELDS),
            "--response-timeout-ms", str(int(DEADLINE * 1000)), "--read-timeout-ms", "20000")
    CARDS = 1

    def head(self, total=None, fields=None, line=b"GET /v2/health/live HTTP/1.1\r\n"):
        """A head of `fields` header fields (Host and Connection: close among them) and, when `total` is
        given, exactly `total` bytes, spread evenly over the fields."""
        fields = fields or self.MAX_FIELDS
        lines = [b"Host: x\r\n", b"Connection: close\r\n"] + [b"X-Fill-%02d: \r\n" % i for i in range(fields - 2)]
        if total is not None:
            pad = total - len(line) - sum(map(len, lines)) - 2
            self.assertGreaterEqual(pad, 0)
            for i in range(2, fields):
                share = pad // (fields - 2) + (1 if i - 2 < pad % (fields - 2) else 0)
                lines[i] = lines[i][:-2] + b"a" * share + b"\r\n"
        return line + b"".join(lines) + b"\r\n"

    def assertHealthy(self):
        s = self.server
        self.assertEqual(s.get("/v2/health/live")[0], 200)
        status, doc = s.infer_json("classifier", classifier_request(1))
        self.assertEqual(status, 200, doc)
        self.assertEqual(float_bytes(doc["outputs"][0]["data"]), CLASSIFIER_OUT)

    def test_oversized_heads_are_refused(self):
        s = self.server
        before = s.metric("qobl_http_head_too_large_total")
        # At the bounds: as many bytes and fields as allowed is served.
        exact = self.head(total=self.MAX_HEAD)
        self.assertEqual(len(exact), self.MAX_HEAD)
        for data in (exact, self.head(fields=self.MAX_FIELDS)):
            got, _, _ = raw_http(s.http, data)
            self.assertTrue(got.startswith(b"HTTP/1.1 200"), got[:200])
        refused = [
            # (what, head, status line, fragment of the message)
            ("one byte too many", self.head(total=self.MAX_HEAD + 1), b"431", "--max-header-bytes"),
            ("one field too many", self.head(fields=self.MAX_FIELDS + 1), b"431", "--max-header-fields"),
            ("a header line past what the HTTP library takes", self.head(fields=3)[:-2] + b"X-Long: " + b"a" * 9000
             + b"\r\n\r\n", b"431", "header field is longer than 8192 bytes"),
            ("a request line alone over the bound", b"GET /v2/health/live?" + b"a" * self.MAX_HEAD + b" HTTP/1.1\r\n"
             b"Host: x\r\n\r\n", b"414", "request line is longer than %d bytes" % self.MAX_HEAD),
        ]
        for what, data, status, fragment in refused:
            got, _, closed = raw_http(s.http, data)
            self.assertTrue(got.startswith(b"HTTP/1.1 " + status), (what, got[:200]))
            self.assertTrue(closed, what)
            self.assertIn(fragment, json.loads(got[got.index(b"\r\n\r\n") + 4:])["error"], what)
        # A header line that never ends, sent as fast as the client can: the server stops parsing it at the
        # bound, answers, drops what follows for a few seconds at most and then drops the connection.
        chunk = b"a" * 65536
        start = time.time()
        with socket.create_connection(("127.0.0.1", s.http)) as c:
            c.settimeout(20)
            with self.assertRaises((BrokenPipeError, ConnectionResetError)):
                c.sendall(b"GET /v2/health/live HTTP/1.1\r\nHost: x\r\nX-Endless: ")
                while time.time() - start < 20:
                    c.sendall(chunk)
        self.assertLess(time.time() - start, 10)
        self.assertEqual(s.metric("qobl_http_head_too_large_total") - before, len(refused) + 1)
        self.assertHealthy()

    def test_slow_response_reader_is_cut_off(self):
        s = self.server
        before = s.metric("qobl_http_response_timeouts_total")
        # About 10 MB of JSON output from 3 MB of binary input.
        items = 256
        din, dout = sample("dynamic", "32x32")
        head = json.dumps({"inputs": [{"name": "data", "datatype": "FP32", "shape": [items, 3, 32, 32],
                                       "parameters": {"binary_data_size": len(din) * items}}]}).encode()
        body = head + din * items
        # A normal reader gets all of it.
        status, hdrs, answer = s.request("POST", "/v2/models/dynamic/infer", body,
                                         {"Inference-Header-Content-Length": str(len(head))})
        self.assertEqual(status, 200)
        self.assertGreater(len(answer), 8 << 20)
        out = json.loads(answer)["outputs"][0]
        self.assertEqual(out["shape"], [items, 4, 32, 32])
        self.assertEqual(float_bytes(out["data"][:len(dout) // 4]), dout)
        # A reader taking a few hundred bytes every 50 ms (with a small receive buffer, so the kernels hold
        # little for it) is cut off once the response deadline passes.
        c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        c.connect(("127.0.0.1", s.http))
        c.sendall(b"POST /v2/models/dynamic/infer HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n"
                  b"Inference-Header-Content-Length: %d\r\n\r\n" % (len(body), len(head)) + body)
        got, first, end = b"", None, time.time() + 60
        c.setblocking(False)
        try:
            while time.time() < end:
                time.sleep(0.05)
                try:
                    part = c.recv(512)
                except BlockingIOError:
                    continue
                if not part:
                    break
                if first is None:
                    first = time.time()
                got += part
        except ConnectionResetError:
            pass
        ended = time.time()
        c.close()
        self.assertTrue(got.startswith(b"HTTP/1.1 200"), got[:200])
        self.assertLess(len(got), len(answer))
        # Never before the deadline (counted from the response's first byte); loosely after it.
        self.assertGreaterEqual(ended - first, self.DEADLINE * 0.8)
        self.assertLess(ended - first, self.DEADLINE + 10)
        self.assertEqual(s.metric("qobl_http_response_timeouts_total") - before, 1)
        self.assertHealthy()


class LingeringCloseTest(ServerTestCase):
    """Clients that send a whole request before reading get the answer to a request refused before its
    bytes were all read; one that never stops sending is cut off a few seconds later."""
    MAX_BODY = 1000000
    LINGER = 3.0   # the longest a closing connection keeps taking in what its client still sends
    ARGS = ("--max-request-bytes", str(MAX_BODY), "--max-header-bytes", "16384", "--http-threads", "2")
    CARDS = 1
    REFUSED_HEAD = b"POST /v2/models/classifier/infer HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n"

    def post(self, path, body, **kwargs):
        """(status, Connection header, error message) of one http.client POST, which sends the whole body
        before it reads the response."""
        c = http.client.HTTPConnection("127.0.0.1", self.server.http, timeout=30)
        try:
            c.request("POST", path, body, {"Content-Type": "application/json"}, **kwargs)
            r = c.getresponse()
            return r.status, r.getheader("Connection"), json.loads(r.read())["error"]
        finally:
            c.close()

    def peak_memory(self):
        with open("/proc/%d/status" % self.server.proc.pid) as f:
            return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmHWM:"))

    def flood(self, port, results):
        """A refused request whose body never ends, sent as fast as possible: appends the seconds until the
        server cut the connection (None if it had not after 30 s)."""
        chunk = bytes(65536)
        with socket.create_connection(("127.0.0.1", port)) as c:
            c.sendall(self.REFUSED_HEAD % (1 << 40))
            start = time.time()
            try:
                while time.time() - start < 30:
                    c.sendall(chunk)
                results.append(None)
            except (BrokenPipeError, ConnectionResetError):
                results.append(time.time() - start)

    def test_refusals_reach_clients_still_sending(self):
        s = self.server
        failed = s.metric("qobl_inference_requests_total", model="classifier", status="failure") or 0
        heads = s.metric("qobl_http_head_too_large_total")
        peak = self.peak_memory()
        too_large = "larger than %d bytes (--max-request-bytes)" % self.MAX_BODY
        cases = [("classifier", 20 << 20, 413, too_large), ("classifier", 128 << 20, 413, too_large),
                 ("nosuch", 20 << 20, 404, 'unknown model "nosuch"')]
        for model, size, status, fragment in cases:
            got = self.post("/v2/models/%s/infer" % model, bytes(size))
            self.assertEqual(got[:2], (status, "close"), (model, size))
            self.assertIn(fragment, got[2])
        # A chunked body cut off once it passes the limit.
        got = self.post("/v2/models/classifier/infer", (bytes(65536) for _ in range(320)), encode_chunked=True)
        self.assertEqual(got[:2], (413, "close"))
        self.assertIn(too_large, got[2])
        # Other endpoints read a body whole before routing: one over the limit, or chunked, is refused unread.
        only = "only inference requests take a body of unknown length or one larger than %d bytes" % self.MAX_BODY
        for body, kwargs in ((bytes(20 << 20), {}), ((bytes(65536) for _ in range(2048)), {"encode_chunked": True})):
            got = self.post("/v2/health/live", body, **kwargs)
            self.assertEqual(got[:2], (413, "close"))
            self.assertIn(only, got[2])
        # What was dropped was never held: far less than the 128 MB bodies.
        self.assertLess(self.peak_memory() - peak, 64 << 20)
        # The answer to a refused body is the only one, and says only that the connection closes: the body,
        # which here holds a whole request, is never read as a next request.
        got, _, closed = raw_http(s.http, self.REFUSED_HEAD % (2 * self.MAX_BODY)
                                  + b"GET /v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n" + bytes(300000))
        head = got.split(b"\r\n\r\n", 1)[0].lower()
        self.assertTrue(got.startswith(b"HTTP/1.1 413"), got[:200])
        self.assertEqual((got.count(b"HTTP/1.1"), closed), (1, True), got)
        self.assertIn(b"\r\nconnection: close", head)
        self.assertNotIn(b"keep-alive", head)
        # A head over the bound, followed by 8 MB more before the client reads: it still reads the 431.
        with socket.create_connection(("127.0.0.1", s.http)) as c:
            c.settimeout(10)
            c.sendall(b"GET /v2/health/live HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 20000)
            for _ in range(128):
                c.sendall(b"a" * 65536)
            got, closed = read_until_closed(c)
        self.assertTrue(closed, "no clean close after the 431: %r" % got[:200])
        self.assertTrue(got.startswith(b"HTTP/1.1 431"), got[:200])
        self.assertIn(b"header field is longer than 8192 bytes", got)
        # Each refusal counted once.
        self.assertEqual(s.metric("qobl_inference_requests_total", model="classifier", status="failure") - failed, 4)
        self.assertEqual(s.metric("qobl_http_head_too_large_total") - heads, 1)

    def test_endless_senders_are_cut_off(self):
        s = self.server
        # A client that never stops sending keeps its worker for the lingering time, not longer, and the
        # other worker serves everyone else meanwhile.
        results = []
        flood = threading.Thread(target=self.flood, args=(s.http, results))
        flood.start()
        try:
            time.sleep(0.3)
            start = time.time()
            self.assertEqual(s.get("/v2/health/live")[0], 200)
            status, doc = s.infer_json("classifier", classifier_request(1))
            self.assertEqual(status, 200, doc)
            self.assertEqual(float_bytes(doc["outputs"][0]["data"]), CLASSIFIER_OUT)
            self.assertLess(time.time() - start, self.LINGER / 2)
        finally:
            flood.join()
        self.assertEqual(len(results), 1)
        self.assertIsNotNone(results[0], "an endless body was taken in for 30 s")
        self.assertGreater(results[0], self.LINGER * 0.8)
        self.assertLess(results[0], self.LINGER + 2)
        # Clients that fall silent after part of a refused body, without closing, hold both workers only
        # until they have been silent for 1 s.
        silent = []
        try:
            for _ in range(2):
                c = socket.create_connection(("127.0.0.1", s.http))
                c.sendall(self.REFUSED_HEAD % (2 * self.MAX_BODY) + bytes(100000))
                silent.append(c)
            time.sleep(0.2)
            start = time.time()
            self.assertEqual(s.get("/v2/health/live")[0], 200)
            self.assertLess(time.time() - start, self.LINGER - 0.8)
            for c in silent:
                c.settimeout(5)
                self.assertTrue(c.recv(65536).startswith(b"HTTP/1.1 413"))
        finally:
            for c in silent:
                c.close()
        # A stopping server does not wait out a lingering connection.
        other = Server(*self.ARGS, cards=1)
        try:
            results = []
            flood = threading.Thread(target=self.flood, args=(other.http, results))
            flood.start()
            time.sleep(0.5)
            code, out, stopped = other.stop_under_clients([flood])
        finally:
            other.kill()
        self.assertEqual(code, 0, other.stderr())
        self.assertIn("stopped: card memory in use 0 bytes in 0 blocks", out)
        self.assertLess(stopped, self.LINGER - 1)
        self.assertIsNotNone(results[0])
        self.assertLess(results[0], self.LINGER - 0.5)

    def test_lingering_holds_at_most_half_the_workers(self):
        """Clients that go on sending after their refusals, queued behind each other on the two workers: one
        at a time lingers the full time, the others only briefly, so a client queued behind eight of them is
        served within seconds (had each lingered 3 s, two at a time, it would wait 12 s)."""
        s = self.server
        results = []   # (seconds to the first answer byte, seconds to the cut, answer) per sender
        lock = threading.Lock()

        def sender():
            with socket.create_connection(("127.0.0.1", s.http)) as c:
                c.settimeout(0.05)
                start, answered, got = time.time(), None, b""
                c.sendall(self.REFUSED_HEAD % (1 << 30))
                try:
                    while time.time() - start < 30:
                        c.sendall(bytes(200))
                        try:
                            part = c.recv(65536)
                        except socket.timeout:
                            continue
                        if not part:   # the server ended its side; this client sends on regardless
                            time.sleep(0.05)
                            continue
                        answered = answered or time.time() - start
                        got += part
                    cut = None
                except (BrokenPipeError, ConnectionResetError):
                    cut = time.time() - start
            with lock:
                results.append((answered, cut, got))

        senders = [threading.Thread(target=sender) for _ in range(8)]
        try:
            for t in senders:
                t.start()
                time.sleep(0.02)
            time.sleep(0.3)
            start = time.time()
            self.assertEqual(s.get("/v2/health/live")[0], 200)
            served = time.time() - start
        finally:
            for t in senders:
                t.join()
        self.assertLess(served, 6)
        self.assertEqual(len(results), 8)
        long_ones = []
        for answered, cut, got in results:
            self.assertTrue(got.startswith(b"HTTP/1.1 413"), got[:200])
            self.assertIsNotNone(cut, "a sender was never cut off")
            if cut - answered > 1.5:
                long_ones.append((answered, cut))
        # One lingered the full time (3 s); no two long ones at once.
        self.assertGreaterEqual(len(long_ones), 1, results)
        self.assertTrue(any(cut - answered > self.LINGER * 0.8 for answered, cut in long_ones), long_ones)
        long_ones.sort()
        for (_, cut), (answered, _) in zip(long_ones, long_ones[1:]):
            self.assertGreater(answered, cut - 0.3, long_ones)


class WireFramingTest(ServerTestCase):
    """Requests a proxy in front could frame differently from the server (two body lengths, unusual line
    ends or field names, malformed chunked bodies) are refused with a JSON error and a close, never served
    and never read on as a next request; the forms HTTP allows are served."""
    MAX_BODY = 100000
    ARGS = ("--max-request-bytes", str(MAX_BODY), "--http-threads", "2")
    CARDS = 1
    HOOKS = True
    INFER = b"POST /v2/models/classifier/infer HTTP/1.1\r\nHost: x\r\n"
    LIVE = b"GET /v2/health/live HTTP/1.1\r\nHost: x\r\n"
    # Sent behind every refused request: a server reading on after the refusal would answer it too.
    SMUGGLED = b"GET /v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.body = json.dumps(classifier_request(1)).encode()

    @staticmethod
    def chunked(*parts):
        return b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in parts) + b"0\r\n\r\n"

    @staticmethod
    def responses(got, head_only=()):
        """[(status, {lower-case header: value}, body)] of the responses in `got`, in order; the i-th has no
        body when i is in `head_only`."""
        out = []
        while got:
            head, sep, rest = got.partition(b"\r\n\r\n")
            assert sep, got
            lines = head.decode().split("\r\n")
            headers = dict((k.lower(), v.strip()) for k, v in (line.split(":", 1) for line in lines[1:]))
            n = 0 if len(out) in head_only else int(headers.get("content-length", 0))
            out.append((int(lines[0].split()[1]), headers, rest[:n]))
            got = rest[n:]
        return out

    def assertRefused(self, name, data, status, fragment):
        """One answer, `status` with `fragment` in its JSON error, then the connection closed."""
        got, _, closed = raw_http(self.server.http, data + self.SMUGGLED)
        answers = self.responses(got)
        self.assertEqual([a[0] for a in answers], [status], "%s: %r" % (name, got[:300]))
        self.assertIn(fragment, json.loads(answers[0][2])["error"], name)
        self.assertEqual(answers[0][1].get("connection"), "close", name)
        self.assertTrue(closed, name)

    def test_ambiguous_body_framing_is_refused(self):
        s = self.server
        body, ch = self.body, self.chunked(self.body)
        both = "may not carry both Content-Length and Transfer-Encoding"
        not_count = "is not a decimal byte count"
        cases = [
            ("CL then TE", self.INFER + b"Content-Length: %d\r\nTransfer-Encoding: chunked\r\n\r\n" % len(body) + ch,
             400, both),
            ("TE then CL", self.INFER + b"Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n" + ch, 400, both),
            ("two different CLs", self.INFER + b"Content-Length: %d\r\nContent-Length: 5\r\n\r\n" % len(body) + body,
             400, "only one Content-Length"),
            ("CL list", self.INFER + b"Content-Length: 5, 6\r\n\r\n" + body, 400, not_count),
            ("CL not a number", self.INFER + b"Content-Length: abc\r\n\r\n", 400, not_count),
            ("CL negative", self.INFER + b"Content-Length: -1\r\n\r\n" + body, 400, not_count),
            ("CL with a sign", self.LIVE + b"Content-Length: +5\r\n\r\nhello", 400, not_count),
            ("CL over 2^64", self.INFER + b"Content-Length: 99999999999999999999999\r\n\r\n", 413,
             "larger than %d bytes" % self.MAX_BODY),
            ("TE gzip", self.INFER + b"Transfer-Encoding: gzip\r\n\r\n" + body, 400, "must end in chunked"),
            ("TE chunked, identity", self.INFER + b"Transfer-Encoding: chunked, identity\r\n\r\n" + ch, 400,
             "must end in chunked"),
            ("TE xchunked", self.INFER + b"Transfer-Encoding: xchunked\r\n\r\n" + ch, 400, "must end in chunked"),
            ("TE gzip, chunked", self.INFER + b"Transfer-Encoding: gzip, chunked\r\n\r\n" + ch, 501,
             "only the chunked transfer coding"),
            ("TE chunked twice", self.INFER + b"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n" + ch,
             400, "applied only once"),
            # A body where the library reads none: it would read it as the next request (here, a second GET).
            ("GET with a body", self.LIVE + b"Content-Length: %d\r\n\r\n" % len(self.SMUGGLED) + self.SMUGGLED, 400,
             "a GET request may not carry a body"),
            ("OPTIONS with a body", b"OPTIONS /v2 HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", 400,
             "an OPTIONS request may not carry a body"),
            ("GET with a chunked body", self.LIVE + b"Transfer-Encoding: chunked\r\n\r\n" + self.chunked(self.SMUGGLED),
             400, "a GET request may not carry a body"),
            # HTTP/1.0 has no transfer codings: a proxy of that version would read the body to the close.
            ("TE in HTTP/1.0", b"POST /v2/models/classifier/infer HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n" + ch,
             400, "HTTP/1.0 request may not carry Transfer-Encoding"),
            # Chunked bodies the library would take in part and read the rest of as a next request; the
            # answer says what was out of place.
            ("chunk data without CRLF", self.INFER + b"Transfer-Encoding: chunked\r\n\r\n%x\r\n" % len(body) + body
             + b"XX0\r\n\r\n", 400, "malformed chunked body: a chunk's data is not followed by CRLF"),
            ("chunked with bare LFs", self.INFER + b"Transfer-Encoding: chunked\r\n\r\n%x\n" % len(body) + body
             + b"\n0\n\n", 400, "chunk-size line ends in a bare LF"),
            ("chunk size 0x-prefixed", self.INFER + b"Transfer-Encoding: chunked\r\n\r\n0x%x\r\n" % len(body) + body
             + b"\r\n0\r\n\r\n", 400, "chunk size is not a hexadecimal number"),
            ("chunk size over 2^64", self.INFER + b"Transfer-Encoding: chunked\r\n\r\n1" + b"0" * 16
             + b"\r\nabc\r\n0\r\n\r\n", 400, "chunk size is larger than 2^64"),
            ("bare LF in the trailer", self.INFER + b"Transfer-Encoding: chunked\r\n\r\n" + ch[:-2] + b"X-T: 1\n\r\n",
             400, "trailer line ends in a bare LF"),
            ("trailer over the head bound", self.INFER + b"Transfer-Encoding: chunked\r\n\r\n" + ch[:-2] + b"X-T: "
             + b"a" * 70000 + b"\r\n\r\n", 400, "trailer of a chunked body is too large"),
            # An endless chunk extension is cut off (1 MB sent), not buffered.
            ("endless chunk extension", self.INFER + b"Transfer-Encoding: chunked\r\n\r\n5;" + b"a" * (1 << 20),
             400, "chunk-size line is too long"),
            ("chunks over the limit", self.INFER + b"Transfer-Encoding: chunked\r\n\r\n"
             + self.chunked(*[bytes(30000)] * 5), 413, "larger than %d bytes" % self.MAX_BODY),
            # Asked to confirm first, a body over the limit or for an unknown model is refused without
            # "100 Continue" (asserted by the single answer).
            ("Expect over the limit", self.INFER + b"Content-Length: 200000\r\nExpect: 100-continue\r\n\r\n", 413,
             "larger than %d bytes" % self.MAX_BODY),
            ("Expect unknown model", b"POST /v2/models/nosuch/infer HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n"
             b"Expect: 100-continue\r\n\r\n", 404, 'unknown model "nosuch"'),
            ("Expect with CL and TE", self.INFER + b"Content-Length: 10\r\nTransfer-Encoding: chunked\r\n"
             b"Expect: 100-continue\r\n\r\n", 400, both),
        ]
        for name, data, status, fragment in cases:
            self.assertRefused(name, data, status, fragment)
        # A client that ends its side of the connection before the body is told so.
        for name, data in (("length", b"Content-Length: %d\r\n\r\n" % len(body) + body[:50]),
                           ("chunked", b"Transfer-Encoding: chunked\r\n\r\n" + ch[:50])):
            with socket.create_connection(("127.0.0.1", s.http)) as c:
                c.settimeout(10)
                c.sendall(self.INFER + data)
                c.shutdown(socket.SHUT_WR)
                got, closed = read_until_closed(c)
            answers = self.responses(got)
            self.assertEqual([a[0] for a in answers], [400], got[:300])
            self.assertIn("connection ended before the whole request body", json.loads(answers[0][2])["error"], name)
        # The sound forms are served: a chunked body with an extension, then the next request on the same
        # connection; a body confirmed with "100 Continue".
        got, _, closed = raw_http(s.http, self.INFER + b"Transfer-Encoding: Chunked\r\n\r\n%x;ext=1\r\n" % len(body)
                                  + body + b"\r\n0\r\n\r\n" + self.LIVE + b"Connection: close\r\n\r\n")
        answers = self.responses(got)
        self.assertEqual([a[0] for a in answers], [200, 200], got[:300])
        self.assertEqual(float_bytes(json.loads(answers[0][2])["outputs"][0]["data"]), CLASSIFIER_OUT)
        with socket.create_connection(("127.0.0.1", s.http)) as c:
            c.settimeout(10)
            c.sendall(self.INFER + b"Content-Length: %d\r\nExpect: 100-continue\r\nConnection: close\r\n\r\n" % len(body))
            self.assertEqual(c.recv(100), b"HTTP/1.1 100 Continue\r\n\r\n")
            c.sendall(body)
            got, closed = read_until_closed(c)
        self.assertTrue(closed, got[:300])
        self.assertEqual([a[0] for a in self.responses(got)], [200], got[:300])

    def test_head_syntax_and_request_forms(self):
        s = self.server
        bad_name = "a header field name holds whitespace"
        cases = [
            ("bare LF line ends", b"GET /v2/health/live HTTP/1.1\nHost: x\n\n", 400, "bare LF"),
            ("bare CR in a value", self.LIVE + b"X-A: a\rb\r\n\r\n", 400, "CR that does not end a line"),
            ("NUL in a value", self.LIVE + b"X-A: a\x00b\r\n\r\n", 400, "NUL"),
            ("space before the colon", self.INFER + b"Transfer-Encoding : chunked\r\nContent-Length: %d\r\n\r\n"
             % len(self.body) + self.body, 400, bad_name),
            ("tab before the colon", self.LIVE + b"Content-Length\t: 5\r\n\r\nhello", 400, bad_name),
            ("obs-fold", self.LIVE + b"X-A: 1\r\n continued\r\n\r\n", 400, "obsolete line folding"),
            ("fold of the first field", b"GET /v2/health/live HTTP/1.1\r\n Host: x\r\n\r\n", 400,
             "obsolete line folding"),
            ("line without a colon", self.LIVE + b"garbage\r\n\r\n", 400, "no colon"),
            ("empty field name", self.LIVE + b": x\r\n\r\n", 400, "empty name"),
            ("unknown method", b"BREW /v2 HTTP/1.1\r\nHost: x\r\n\r\n", 501, 'method "BREW" is not supported'),
            ("request target over 8192 bytes", b"GET /" + b"a" * 9000 + b" HTTP/1.1\r\nHost: x\r\n\r\n", 414,
             "target is longer than 8192 bytes"),
            ("target without its leading /", b"GET v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n", 400,
             "not a path starting with '/'"),
            ("target of another scheme", b"GET ftp://x/v2 HTTP/1.1\r\nHost: x\r\n\r\n", 400,
             "not a path starting with '/'"),
            ("asterisk form on GET", b"GET * HTTP/1.1\r\nHost: x\r\n\r\n", 400, "taken by OPTIONS only"),
        ]
        for name, data, status, fragment in cases:
            self.assertRefused(name, data, status, fragment)

        # Pipelined requests, sent at once: each answered once, in order (an extra CRLF after a body is
        # skipped).
        got, _, closed = raw_http(s.http, self.LIVE + b"\r\n" + b"GET /v2 HTTP/1.1\r\nHost: x\r\n\r\n"
                                  + b"PUT /v2 HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nab\r\n"
                                  + b"GET /v2/models/classifier/ready HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        answers = self.responses(got)
        self.assertEqual([a[0] for a in answers], [200, 200, 405, 200], got)
        self.assertEqual(json.loads(answers[1][2])["name"], "qobl-serve")
        self.assertIn("/v2 takes GET, HEAD, OPTIONS, not PUT", json.loads(answers[2][2])["error"])
        self.assertEqual(("connection" in answers[0][1], answers[3][1].get("connection"), closed), (False, "close", True))
        # HTTP/1.0, with or without asking to keep the connection: served, and closed.
        for name, extra in (("HTTP/1.0", b""), ("HTTP/1.0 keep-alive", b"Connection: keep-alive\r\n")):
            got, _, closed = raw_http(s.http, b"GET /v2 HTTP/1.0\r\n" + extra + b"\r\n")
            answers = self.responses(got)
            self.assertEqual([a[0] for a in answers], [200], name)
            self.assertEqual((answers[0][1].get("connection"), "keep-alive" in answers[0][1], closed),
                             ("close", False, True), name)
        # HEAD: the GET answer's head alone (the next response follows right after it).
        got, _, _ = raw_http(s.http, b"HEAD /v2 HTTP/1.1\r\nHost: x\r\n\r\n" + self.LIVE + b"Connection: close\r\n\r\n")
        answers = self.responses(got, head_only=(0,))
        self.assertEqual([a[0] for a in answers], [200, 200], got)
        self.assertGreater(int(answers[0][1]["content-length"]), 0)
        # A '?' inside the query is part of it: the path is routed, the parameter keeps the '?'.
        got, _, _ = raw_http(s.http, b"GET /v2/health/live?a=1?b HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        self.assertEqual([a[0] for a in self.responses(got)], [200], got)
        got, _, _ = raw_http(s.http, b"POST /test-hooks/fail-next-run?model=a?b&card=0&code=1 HTTP/1.1\r\nHost: x\r\n"
                                     b"Content-Length: 0\r\nConnection: close\r\n\r\n")
        answers = self.responses(got)
        self.assertEqual([a[0] for a in answers], [400], got)
        self.assertIn('unknown model "a?b"', json.loads(answers[0][2])["error"])
        # A response closing the connection says so once, also when the request asked to close it as well.
        for line in (b"POST /v2/models/nosuch/infer", b"TRACE /v2", b"GET v2"):
            got, _, _ = raw_http(s.http, line + b" HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            head = got.partition(b"\r\n\r\n")[0].lower()
            self.assertEqual(head.count(b"\r\nconnection:"), 1, (line, got))
            self.assertIn(b"\r\nconnection: close", head, line)
        # A target in absolute form names its path.
        got, _, _ = raw_http(s.http, b"GET http://example:8080/v2 HTTP/1.1\r\nHost: example\r\nConnection: close\r\n\r\n")
        answers = self.responses(got)
        self.assertEqual(answers[0][0], 200, got)
        self.assertEqual(json.loads(answers[0][2])["name"], "qobl-serve")

    def test_request_line_host_and_field_values(self):
        s = self.server
        form = "not a method, a target and a version, each after a single space"
        version = "version is not HTTP/digit.digit"
        cases = [
            # The library splits a request line at runs of spaces and trims it: it served the first four.
            ("two spaces after the method", b"GET  /v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n", 400, form),
            ("two spaces before the version", b"GET /v2/health/live  HTTP/1.1\r\nHost: x\r\n\r\n", 400, form),
            ("leading space", b" GET /v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n", 400, form),
            ("trailing space", b"GET /v2/health/live HTTP/1.1 \r\nHost: x\r\n\r\n", 400, form),
            ("tab after the method", b"GET\t/v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n", 400, form),
            ("tab in the target", b"GET /v2/health\t/live HTTP/1.1\r\nHost: x\r\n\r\n", 400,
             "target holds a control byte (a tab)"),
            ("tab ending the target", b"GET /v2/health/live\tHTTP/1.1\r\nHost: x\r\n\r\n", 400,
             "target holds a control byte (a tab)"),
            ("control byte in the target", b"GET /v2/health/li\x01ve HTTP/1.1\r\nHost: x\r\n\r\n", 400,
             "target holds a control byte"),
            ("empty target", b"GET  HTTP/1.1\r\nHost: x\r\n\r\n", 400, form),
            ("no version", b"GET /v2/health/live\r\nHost: x\r\n\r\n", 400, form),
            ("method not a token", b"GE(T /v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n", 400,
             "method holds a byte a method cannot hold"),
            ("lower-case version", b"GET /v2/health/live http/1.1\r\nHost: x\r\n\r\n", 400, version),
            ("two-digit version", b"GET /v2/health/live HTTP/11\r\nHost: x\r\n\r\n", 400, version),
            ("version with a suffix", b"GET /v2/health/live HTTP/1.1x\r\nHost: x\r\n\r\n", 400, version),
            ("no minor digit", b"GET /v2/health/live HTTP/1.\r\nHost: x\r\n\r\n", 400, version),
            ("two-digit major", b"GET /v2/health/live HTTP/01.1\r\nHost: x\r\n\r\n", 400, version),
            ("two-digit minor", b"GET /v2/health/live HTTP/1.10\r\nHost: x\r\n\r\n", 400, version),
            # Targets a proxy could route otherwise than the library decodes them.
            ("encoded slash in the path", b"GET /v2/models/classifier%2fready HTTP/1.1\r\nHost: x\r\n\r\n", 400,
             "path holds an encoded '/' (%2F)"),
            ("encoded NUL", b"GET /v2/models/classifier%00 HTTP/1.1\r\nHost: x\r\n\r\n", 400, "encoded NUL"),
            ("%u escape", b"GET /v2/models/%u0063lassifier HTTP/1.1\r\nHost: x\r\n\r\n", 400,
             "'%' not followed by two hexadecimal digits"),
            ("% at the target's end", b"GET /v2/models/classifier% HTTP/1.1\r\nHost: x\r\n\r\n", 400,
             "'%' not followed by two hexadecimal digits"),
            ("fragment", b"GET /v2/health/live#x HTTP/1.1\r\nHost: x\r\n\r\n", 400, "fragment"),
            ("raw UTF-8 in the target", b"GET /v2/models/cl\xc3\xa4ss HTTP/1.1\r\nHost: x\r\n\r\n", 400,
             "byte above 0x7F"),
        ] + [
            # Bytes no URI holds unencoded, in the path and in the query.
            ("raw %r in the target" % chr(c), target % bytes([c]), 400, "byte a URI cannot hold unencoded")
            for c in b'"<>\\^`{|}'
            for target in (b"GET /v2/models/%s HTTP/1.1\r\nHost: x\r\n\r\n", b"GET /v2?q=%s HTTP/1.1\r\nHost: x\r\n\r\n")
        ] + [
            # Well formed, but of another major version.
            ("HTTP/2.0 request line", b"GET /v2/health/live HTTP/2.0\r\nHost: x\r\n\r\n", 505, "HTTP/1.0 and HTTP/1.1"),
            ("HTTP/2 preface", b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 505, "HTTP/1.0 and HTTP/1.1"),
            ("HTTP/0.9 request line", b"GET /v2/health/live HTTP/0.9\r\nHost: x\r\n\r\n", 505, "HTTP/1.0 and HTTP/1.1"),
            # Host: exactly one in HTTP/1.1, at most one in HTTP/1.0.
            ("HTTP/1.1 without Host", b"GET /v2/health/live HTTP/1.1\r\nX-A: 1\r\n\r\n", 400, "must carry a Host"),
            ("HTTP/1.2 without Host", b"GET /v2/health/live HTTP/1.2\r\nX-A: 1\r\n\r\n", 400, "must carry a Host"),
            ("space in the Host value", b"GET /v2/health/live HTTP/1.1\r\nHost: a b\r\n\r\n", 400, "Host header field is not"),
            ("path in the Host value", b"GET /v2/health/live HTTP/1.1\r\nHost: a/b\r\n\r\n", 400, "Host header field is not"),
            ("two Host fields", self.LIVE + b"host: y\r\n\r\n", 400, "only one Host"),
            ("two Host fields in HTTP/1.0", b"GET /v2 HTTP/1.0\r\nHost: x\r\nHOST: x\r\n\r\n", 400, "only one Host"),
            # Control bytes in field values other than HTAB.
            ("SOH in a value", self.LIVE + b"X-A: a\x01b\r\n\r\n", 400, "value holds a control byte"),
            ("DEL in a value", self.LIVE + b"X-A: a\x7f\r\n\r\n", 400, "value holds a control byte"),
            ("control byte in the Host value", b"GET /v2/health/live HTTP/1.1\r\nHost: a\x1fb\r\n\r\n", 400,
             "value holds a control byte"),
        ]
        for name, data, status, fragment in cases:
            self.assertRefused(name, data, status, fragment)
        # Served: HTAB and bytes 0x80-0xFF in values, Host in any case or empty, names that only start
        # like Host, HTTP/1.0 without Host (the connection then closes).
        for name, data in (
                ("tab and obs-text in a value", self.LIVE + b"X-A: a\tb\x80\xff\r\n\r\n"),
                ("Host in another case", b"GET /v2/health/live HTTP/1.1\r\nhOsT: x\r\nX-Host: y\r\nHosts: z\r\n\r\n"),
                ("empty Host", b"GET /v2/health/live HTTP/1.1\r\nHost:\r\n\r\n"),
                ("IPv6 Host with a port", b"GET /v2/health/live HTTP/1.1\r\nHost: [::1]:8000\r\n\r\n"),
                ("GET with an empty body", self.LIVE + b"Content-Length: 00\r\n\r\n"),
                ("escapes in the path and query", b"GET /v2/models/classifie%72/ready?a=%2F%2f%41 HTTP/1.1\r\nHost: x\r\n\r\n"),
                ("every other URI byte", b"GET /v2?a=-._~:/[]@!$&'()*+,;=%7B%7C%7D HTTP/1.1\r\nHost: x\r\n\r\n"),
                ("HTTP/1.0 without Host", b"GET /v2/health/live HTTP/1.0\r\n\r\n")):
            got, _, closed = raw_http(s.http, data + b"GET /v2/health/live HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            answers = self.responses(got)
            self.assertEqual([a[0] for a in answers], [200] if b"HTTP/1.0" in data else [200, 200], (name, got[:300]))
            self.assertTrue(closed, name)


    def test_later_minor_versions_and_expect(self):
        s = self.server
        # HTTP/1.2 and HTTP/1.9 are served as HTTP/1.1: answered as HTTP/1.1 and kept alive until asked to close.
        got, _, closed = raw_http(s.http, b"GET /v2 HTTP/1.2\r\nHost: x\r\n\r\n"
                                  + b"GET /v2/health/live HTTP/1.9\r\nHost: x\r\nConnection: close\r\n\r\n")
        answers = self.responses(got)
        self.assertEqual([a[0] for a in answers], [200, 200], got)
        self.assertEqual(got.count(b"HTTP/1.1 200 OK\r\n"), 2, got)
        self.assertEqual(json.loads(answers[0][2])["name"], "qobl-serve")
        self.assertEqual(("connection" in answers[0][1], answers[1][1].get("connection"), closed), (False, "close", True))
        body = self.body
        # An HTTP/1.2 client waiting for "100 Continue" gets it, as an HTTP/1.1 one does.
        with socket.create_connection(("127.0.0.1", s.http)) as c:
            c.settimeout(10)
            c.sendall(self.INFER.replace(b"HTTP/1.1", b"HTTP/1.2")
                      + b"Content-Length: %d\r\nExpect: 100-continue\r\nConnection: close\r\n\r\n" % len(body))
            self.assertEqual(c.recv(100), b"HTTP/1.1 100 Continue\r\n\r\n")
            c.sendall(body)
            got, _ = read_until_closed(c)
        self.assertEqual([a[0] for a in self.responses(got)], [200], got[:300])
        # An HTTP/1.0 client knows no interim responses: its expectation is ignored, the final answer alone sent.
        got, _, closed = raw_http(s.http, b"POST /v2/models/classifier/infer HTTP/1.0\r\nContent-Length: %d\r\n"
                                  b"Expect: 100-continue\r\n\r\n" % len(body) + body)
        self.assertTrue(got.startswith(b"HTTP/1.1 200 OK\r\n"), got[:300])
        self.assertEqual(float_bytes(json.loads(self.responses(got)[0][2])["outputs"][0]["data"]), CLASSIFIER_OUT)

    def test_methods_per_endpoint_and_options(self):
        s = self.server
        get, post = "GET, HEAD, OPTIONS", "POST, OPTIONS"
        # (request line, status, Allow, fragment of the error or None, connection closed after it)
        cases = [
            (b"HEAD /v2/models/classifier/infer", 405, post, None, False),
            (b"GET /v2/models/classifier/infer", 405, post, "takes POST, OPTIONS, not GET", False),
            (b"GET /v2/models/nosuch/versions/1/infer", 405, post, "not GET", False),
            (b"DELETE /v2/models/classifier", 405, get, "not DELETE", False),
            (b"POST /v2/health/live", 405, get, "/v2/health/live takes GET, HEAD, OPTIONS, not POST", False),
            (b"TRACE /v2", 405, get, "not TRACE", True),
            (b"OPTIONS *", 200, "GET, HEAD, POST, OPTIONS", None, False),
            (b"OPTIONS /v2/models/classifier/infer", 200, post, None, False),
            (b"OPTIONS /v3", 404, None, "no such endpoint: OPTIONS /v3", False),
            (b"CONNECT example:443", 404, None, "no such endpoint: CONNECT example:443", True),
        ]
        for line, status, allow, fragment, closes in cases:
            name = line.decode()
            extra = b"Content-Length: 0\r\n" if line.startswith(b"POST") else b""
            got, _, closed = raw_http(s.http, line + b" HTTP/1.1\r\nHost: x\r\n" + extra + b"\r\n"
                                      + self.LIVE + b"Connection: close\r\n\r\n")
            answers = self.responses(got, head_only=(0,) if line.startswith(b"HEAD") else ())
            # A refusal that leaves a body unread closes; the others keep the connection for the next request.
            self.assertEqual([a[0] for a in answers], [status] if closes else [status, 200], (name, got[:300]))
            self.assertEqual(answers[0][1].get("allow"), allow, name)
            if fragment is not None:
                self.assertIn(fragment, json.loads(answers[0][2])["error"], name)
            self.assertTrue(closed, name)


class InFlightTest(unittest.TestCase):
    """--in-flight: the card memory each depth sets aside, and a depth the card's memory cannot hold."""

    def start(self, *args, env=None):
        s = Server(*args, cards=1, env=env)
        self.addCleanup(s.kill)
        return s

    def stop(self, s):
        code, out = s.stop()
        self.assertEqual(code, 0, s.stderr())
        self.assertIn("stopped: card memory in use 0 bytes in 0 blocks", out)

    def test_card_memory_grows_by_the_same_room_per_run_in_flight(self):
        held = {}
        for depth in (1, None, 5):   # None: the default depth, 2
            s = self.start(*(() if depth is None else ("--in-flight", str(depth))))
            depth = depth or 2
            held[depth] = s.metric("qobl_card_memory_bytes", card="0")
            self.assertIn("model classifier (static, batch 4) on 1 card x 1 instance, %d device run%s in flight each"
                          % (depth, "" if depth == 1 else "s"), s.stderr())
            status, doc = s.infer_json("classifier", classifier_request(6))   # two runs at any depth
            self.assertEqual(status, 200, doc)
            self.assertEqual(float_bytes(doc["outputs"][0]["data"]), CLASSIFIER_OUT * 6)
            self.stop(s)
        step = held[2] - held[1]
        self.assertGreater(step, 0, held)
        self.assertEqual(held[5] - held[1], 4 * step, held)

    def test_depth_the_card_cannot_hold_stops_the_start(self):
        small = {"QOBCRT_MEMORY_MB": "8"}
        r = subprocess.run([SERVE, "--model-repository", model_repository(), "--http-port", "0", "--grpc-port", "0",
                            "--in-flight", "1024"], capture_output=True, text=True, timeout=60,
                           env=dict(os.environ, QOBCRT_DEVICE_COUNT="1", **small))
        self.assertEqual(r.returncode, 4, r.stderr)
        self.assertEqual(r.stdout, "")
        self.assertIn("qobl-serve: model classifier: card 0, instance 0: ", r.stderr)
        self.assertIn("device memory exhausted); 1024 device runs of 4 items in flight do not fit on the card, "
                      "one does: use a smaller --in-flight", r.stderr)
        # The same card serves at the default depth.
        s = self.start(env=small)
        status, doc = s.infer_json("classifier", classifier_request(4))
        self.assertEqual(status, 200, doc)
        self.stop(s)


class ShutdownTest(unittest.TestCase):
    """SIGTERM while requests are in flight: they all finish, the card is left empty, exit 0."""

    def test_sigterm_with_requests_in_flight(self):
        s = Server("--max-queue-delay-us", "0", cards=2, hooks=True)
        try:
            for card in (0, 1):
                s.hook("/test-hooks/op-delay?card=%d&us=1500000" % card)
            results = []

            def rest():
                results.append(s.infer_json("classifier", classifier_request(4)))

            def grpc_call():
                try:
                    r = s.grpc_infer("classifier", [("data", "FP32", [4, 3, 16, 16], None)], raw=[CLASSIFIER_IN * 4])
                    results.append((200, r.raw_output_contents[0]))
                except grpc.RpcError as e:
                    results.append((e.code(), e.details()))
            threads = [threading.Thread(target=f) for f in (rest, rest, rest, grpc_call, grpc_call)]
            for t in threads:
                t.start()
            # Each request is one device run of 4 items, and the two cards hold 4 runs: wait until those
            # are sent (a slow machine may take a while to connect the clients), then give the fifth,
            # queued behind them, a moment.  The runs take 1.5 s, so all five are still in flight.
            deadline = time.monotonic() + 30
            while (s.metric("qobl_device_run_items_total", model="classifier") or 0) < 16:
                self.assertLess(time.monotonic(), deadline, "the requests did not reach the cards")
                time.sleep(0.05)
            time.sleep(0.5)
            in_flight = len(threads) - len(results)
            s.proc.send_signal(signal.SIGTERM)
            for t in threads:
                t.join()
            code, out = s.stop()
        finally:
            s.kill()
        self.assertEqual(code, 0, s.stderr())
        self.assertGreater(in_flight, 0)
        self.assertEqual(len(results), 5)
        for status, body in results:
            self.assertEqual(status, 200, body)
            data = body if isinstance(body, bytes) else float_bytes(body["outputs"][0]["data"])
            self.assertEqual(data, CLASSIFIER_OUT * 4)
        self.assertIn("stopped: card memory in use 0 bytes in 0 blocks", out)
        self.assertIn("SIGTERM: stopping", s.stderr())


class StopTest(unittest.TestCase):
    """What open connections meet when the server stops: inference streams are answered what they sent and
    then ended, idle kept-alive HTTP connections get an answer or a clean close, never a reset."""

    def start(self, *args, **kwargs):
        s = Server(*args, **kwargs)
        self.addCleanup(s.kill)
        return s

    def test_sigterm_with_streams_open(self):
        s = self.start("--max-queue-delay-us", "0", "--in-flight", "1", cards=1, hooks=True)
        # An idle stream: open on the server (its one request answered), waiting for the next.
        idle_send, idle = open_stream(s.channel)
        idle_send(StreamInferTest.request(1, "warm"))
        self.assertEqual(next(idle).infer_response.raw_output_contents[0], CLASSIFIER_OUT)
        # A stream with a request on the card when the signal comes.
        s.hook("/test-hooks/op-delay?card=0&us=1000000")
        send, busy = open_stream(s.channel)
        send(StreamInferTest.request(4, "in-flight"))
        deadline = time.monotonic() + 30
        while (s.metric("qobl_device_run_items_total", model="classifier") or 0) < 5:
            self.assertLess(time.monotonic(), deadline, "the request did not reach the card")
            time.sleep(0.02)
        outcomes = {}

        def drain(name, call):
            got = []
            try:
                for r in call:
                    got.append((r.error_message, r.infer_response.id, r.infer_response.raw_output_contents[:1]))
                outcomes[name] = (got, grpc.StatusCode.OK)
            except grpc.RpcError as e:
                outcomes[name] = (got, e.code())
        threads = [threading.Thread(target=drain, args=a) for a in (("idle", idle), ("busy", busy))]
        for t in threads:
            t.start()
        code, out, stopped_in = s.stop_under_clients(threads)
        self.assertEqual(code, 0, s.stderr())
        self.assertIn("stopped: card memory in use 0 bytes in 0 blocks", out)
        # Not held up by the streams left open (gRPC's grace for calls in flight is 30 s).
        self.assertLess(stopped_in, 15)
        ended = (grpc.StatusCode.CANCELLED, grpc.StatusCode.UNAVAILABLE)
        self.assertEqual(outcomes["idle"][0], [])
        self.assertIn(outcomes["idle"][1], ended)
        self.assertEqual(outcomes["busy"][0], [("", "in-flight", [CLASSIFIER_OUT * 4])])
        self.assertIn(outcomes["busy"][1], ended)

    def test_requests_on_idle_connections_at_stop(self):
        """Requests sent on idle kept-alive connections as the server stops: those that arrive before the
        close get an answer, those that cross the close (sent after the server ended the connection, before
        the client could see it) meet a clean close, never a reset."""
        s = self.start(cards=1)
        live = b"GET /v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n"
        conns = []
        for _ in range(40):
            c = socket.create_connection(("127.0.0.1", s.http))
            c.settimeout(10)
            c.sendall(live)
            got = b""
            while b"\r\n\r\n" not in got:
                got += c.recv(4096)
            self.assertTrue(got.startswith(b"HTTP/1.1 200"), got)
            conns.append(c)
        time.sleep(0.2)   # every connection idle, waiting for its next request
        early, crossing = conns[:20], conns[20:]
        outcomes = []

        def send(c):
            try:
                c.sendall(live)
            except OSError as e:
                outcomes.append(("send failed", repr(e)))

        s.proc.send_signal(signal.SIGTERM)
        for c in early:
            send(c)
        # The others send once the server's end of the connection has reached them.
        waiting = list(crossing)
        deadline = time.monotonic() + 10
        while waiting and time.monotonic() < deadline:
            ready, _, _ = select.select(waiting, [], [], 1)
            for c in ready:
                waiting.remove(c)
                send(c)
        self.assertEqual(waiting, [], "the server did not close the idle connections")
        for c in conns:
            got = b""
            try:
                while True:
                    d = c.recv(65536)
                    if not d:
                        break
                    got += d
            except OSError as e:
                outcomes.append(("broken, not closed", repr(e), got[:12]))
                continue
            finally:
                c.close()
            if got and not (got.startswith(b"HTTP/1.1 200") or got.startswith(b"HTTP/1.1 503")):
                outcomes.append(("partial answer", got))
        code, out = s.stop()
        self.assertEqual(code, 0, s.stderr())
        self.assertEqual(outcomes, [])


if __name__ == "__main__":
    unittest.main()
