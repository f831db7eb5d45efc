"""qobl-serve under load and through its stop: many REST keep-alive connections and gRPC channels on every
demo model at once, clients that vanish or crawl, tensors at the size bound, SIGTERM with the load running.
Every response is checked byte for byte against the models' expected outputs, and the server's counters
against what the clients saw.  Each class starts its own server; ctest runs one class per test."""
import http.client
import json
import os
import socket
import threading
import time
import unittest

import grpc

from serve_client import MODELS, Server, float_bytes, floats, model_repository, pb, pbg, sample

# Spatial sizes the dynamic model ships samples for, two of them served here.
DYNAMIC_SHAPES = ("24x24", "32x32")


class Model:
    """One demo model (or one shape of the dynamic one) as clients see it: per input and output its name
    and item shape, one sample item and its expected outputs, and the outputs of an all-zero item."""

    def __init__(self, server, name, hw=None):
        self.name = name
        _, _, body = server.get("/v2/models/%s" % name)
        meta = json.loads(body)
        h, w = map(int, hw.split("x")) if hw else (None, None)

        def item_shape(shape):
            dims = shape[1:]
            if hw:   # the dynamic model's -1 extents are the spatial ones
                dims = dims[:-2] + [h, w]
            return dims

        self.inputs = [(t["name"], item_shape(t["shape"])) for t in meta["inputs"]]
        self.outputs = [(t["name"], item_shape(t["shape"])) for t in meta["outputs"]]
        sin, sout = sample(name, hw)
        self.sample_in = self._split(sin, self.inputs)
        self.sample_out = self._split(sout, self.outputs)
        self.zero_in = [bytes(len(b)) for b in self.sample_in]
        conn = server.base_conn()
        status, _, outs = rest_binary(conn, self, [0], "zero")
        conn.close()
        assert status == 200, outs
        self.zero_out = outs

    @staticmethod
    def _split(raw, tensors):
        out, pos = [], 0
        for _, shape in tensors:
            n = 4
            for d in shape:
                n *= d
            out.append(raw[pos:pos + n])
            pos += n
        assert pos == len(raw), (pos, len(raw))
        return out

    def request_inputs(self, pattern):
        """Per input: the bytes of the items of `pattern` (1 = the sample item, 0 = an all-zero one)."""
        return [b"".join(self.sample_in[i] if p else self.zero_in[i] for p in pattern)
                for i in range(len(self.inputs))]

    def expected(self, pattern):
        return [b"".join(self.sample_out[i] if p else self.zero_out[i] for p in pattern)
                for i in range(len(self.outputs))]


def rest_binary(conn, model, pattern, rid, as_json=False):
    """One inference request on a kept-alive connection: (status, echoed id, per output its bytes)."""
    n = len(pattern)
    data = model.request_inputs(pattern)
    tensors = []
    for (name, shape), raw in zip(model.inputs, data):
        t = {"name": name, "datatype": "FP32", "shape": [n] + shape}
        if as_json:
            t["data"] = floats(raw)
        else:
            t["parameters"] = {"binary_data_size": len(raw)}
        tensors.append(t)
    head = json.dumps({"id": rid, "inputs": tensors,
                       "outputs": [{"name": o, "parameters": {"binary_data": not as_json}} for o, _ in model.outputs]}
                      ).encode()
    if as_json:
        conn.request("POST", "/v2/models/%s/infer" % model.name, head, {"Content-Type": "application/json"})
    else:
        conn.request("POST", "/v2/models/%s/infer" % model.name, head + b"".join(data),
                     {"Inference-Header-Content-Length": str(len(head)), "Content-Type": "application/octet-stream"})
    r = conn.getresponse()
    body = r.read()
    if r.status != 200:
        return r.status, None, body
    hlen = int(r.getheader("Inference-Header-Content-Length") or len(body))
    doc = json.loads(body[:hlen])
    outs, pos = [], hlen
    for o in doc["outputs"]:
        if "data" in o:
            outs.append(float_bytes(o["data"]))
        else:
            size = o["parameters"]["binary_data_size"]
            outs.append(body[pos:pos + size])
            pos += size
    return r.status, doc.get("id"), outs


def read_response(sock):
    """(status line, body) of one HTTP response with a Content-Length read from a raw socket."""
    got = b""
    while b"\r\n\r\n" not in got:
        part = sock.recv(65536)
        if not part:
            raise ConnectionError("closed before the response's head: %r" % got[:200])
        got += part
    head, _, body = got.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    length = next(int(v) for k, _, v in (ln.partition(b":") for ln in lines[1:]) if k.lower() == b"content-length")
    while len(body) < length:
        part = sock.recv(65536)
        if not part:
            raise ConnectionError("closed within the response's body")
        body += part
    return lines[0], body


def grpc_call(stub, model, pattern, rid, timeout=120):
    q = pb.ModelInferRequest(model_name=model.name, id=rid)
    for (name, shape), raw in zip(model.inputs, model.request_inputs(pattern)):
        q.inputs.add(name=name, datatype="FP32", shape=[len(pattern)] + shape)
        q.raw_input_contents.append(raw)
    r = stub.ModelInfer(q, timeout=timeout)
    return r.id, list(r.raw_output_contents)


def patterns(seed, count):
    """`count` item patterns of 1 to 4 items, different for every seed."""
    return [[((seed * 7 + k * 13) >> b) & 1 for b in range(1 + (seed + k) % 4)] for k in range(count)]


class Counters:
    """The server's counters for a set of models, read from /metrics."""

    def __init__(self, server, models):
        m = server.metrics()
        get = lambda name, **labels: m.get((name, frozenset((k, '"%s"' % v) for k, v in labels.items())), 0)
        self.ok = {n: get("qobl_inference_requests_total", model=n, status="success") for n in models}
        self.failed = {n: get("qobl_inference_requests_total", model=n, status="failure") for n in models}
        self.items_ok = {n: get("qobl_inference_items_total", model=n, status="success") for n in models}
        self.latency = {n: get("qobl_inference_latency_seconds_count", model=n) for n in models}
        self.queued = {n: get("qobl_queue_time_seconds_count", model=n) for n in models}
        self.run_items = {n: get("qobl_device_run_items_total", model=n) for n in models}
        self.blocks = sum(v for (name, _), v in m.items() if name == "qobl_card_memory_blocks")
        self.head_timeouts = get("qobl_http_head_timeouts_total")

    def delta(self, before, field):
        return {n: getattr(self, field)[n] - getattr(before, field)[n] for n in getattr(self, field)}


class LoadServer(Server):
    """The server over the demo models, the one with two inputs and two outputs among them."""

    def __init__(self, *args, **kwargs):
        repo = model_repository()
        os.symlink(os.path.abspath(os.path.join(MODELS, "pair")), os.path.join(repo, "pair"))
        super().__init__(*args, repo=repo, **kwargs)

    def base_conn(self):
        return http.client.HTTPConnection("127.0.0.1", self.http, timeout=120)


class LoadTest(unittest.TestCase):
    """64 clients at once on five models (two shapes of the dynamic one), REST kept-alive connections and
    gRPC channels mixed; clients that vanish; slow clients beside fast ones; tensors at the size bound."""
    MAX_BYTES = 400000

    @classmethod
    def setUpClass(cls):
        cls.server = LoadServer("--http-threads", "64", "--max-request-bytes", str(cls.MAX_BYTES),
                                "--read-timeout-ms", "2000", cards=2)
        s = cls.server
        cls.models = [Model(s, n) for n in ("classifier", "segmenter", "trivial", "pair")]
        cls.models += [Model(s, "dynamic", hw) for hw in DYNAMIC_SHAPES]
        cls.names = sorted({m.name for m in cls.models})

    @classmethod
    def tearDownClass(cls):
        code, out = cls.server.stop()
        assert code == 0, (code, cls.server.stderr())
        assert "stopped: card memory in use 0 bytes in 0 blocks" in out, out

    def counters(self):
        return Counters(self.server, self.names)

    def settle(self, idle):
        """Waits until the cards hold only what the idle server holds (outputs of given-up runs drain)."""
        deadline = time.monotonic() + 20
        while self.counters().blocks != idle:
            self.assertLess(time.monotonic(), deadline, "card memory did not return to idle")
            time.sleep(0.05)

    def run_load(self, rest_clients, grpc_clients, per_client, results):
        """Starts the clients; each appends (model name, items, ok, what) per request to `results`.
        Returns the threads."""
        s = self.server

        def rest_client(c):
            conn = s.base_conn()
            try:
                for k, pat in enumerate(patterns(c, per_client)):
                    m = self.models[(c + k) % len(self.models)]
                    rid = "rest-%d-%d" % (c, k)
                    status, got_id, outs = rest_binary(conn, m, pat, rid, as_json=(k % 3 == 2))
                    ok = status == 200 and got_id == rid and outs == m.expected(pat)
                    results.append((m.name, len(pat), ok, (rid, status, got_id)))
            except Exception as e:   # noqa: BLE001 - reported with the results
                results.append(("?", 0, False, repr(e)))
            finally:
                conn.close()

        def grpc_client(c):
            channel = grpc.insecure_channel("127.0.0.1:%d" % s.grpc)
            stub = pbg.GRPCInferenceServiceStub(channel)
            try:
                for k, pat in enumerate(patterns(1000 + c, per_client)):
                    m = self.models[(c + k) % len(self.models)]
                    rid = "grpc-%d-%d" % (c, k)
                    got_id, outs = grpc_call(stub, m, pat, rid)
                    results.append((m.name, len(pat), got_id == rid and outs == m.expected(pat), (rid, got_id)))
            except Exception as e:   # noqa: BLE001
                results.append(("?", 0, False, repr(e)))
            finally:
                channel.close()

        threads = [threading.Thread(target=rest_client, args=(c,)) for c in range(rest_clients)]
        threads += [threading.Thread(target=grpc_client, args=(c,)) for c in range(grpc_clients)]
        for t in threads:
            t.start()
        return threads

    def assertCounted(self, before, after, results, failed=None):
        """The counters moved by exactly what the clients saw succeed (and `failed` per model)."""
        want_ok = {n: sum(1 for r in results if r[0] == n) for n in self.names}
        want_items = {n: sum(r[1] for r in results if r[0] == n) for n in self.names}
        failed = failed or {}
        want_failed = {n: failed.get(n, 0) for n in self.names}
        self.assertEqual(after.delta(before, "ok"), want_ok)
        self.assertEqual(after.delta(before, "failed"), want_failed)
        self.assertEqual(after.delta(before, "items_ok"), want_items)
        self.assertEqual(after.delta(before, "latency"), {n: want_ok[n] + want_failed[n] for n in self.names})
        # Every successful item waited in a queue and went to the card once, and only those.
        self.assertEqual(after.delta(before, "queued"), want_items)
        self.assertEqual(after.delta(before, "run_items"), want_items)

    def test_many_mixed_clients_get_their_own_outputs(self):
        before = self.counters()
        results = []
        for t in self.run_load(48, 16, 4, results):
            t.join()
        bad = [r for r in results if not r[2]]
        self.assertEqual(bad, [])
        self.assertEqual(len(results), 64 * 4)
        self.settle(before.blocks)
        self.assertCounted(before, self.counters(), results)

    def test_vanishing_clients_beside_the_load(self):
        s = self.server
        before = self.counters()
        results = []
        threads = self.run_load(24, 8, 3, results)
        m = self.models[0]   # classifier
        pat = [1, 0, 1, 1]
        head = json.dumps({"inputs": [{"name": "data", "datatype": "FP32", "shape": [4, 3, 16, 16],
                                       "parameters": {"binary_data_size": 4 * len(m.sample_in[0])}}]}).encode()
        body = head + m.request_inputs(pat)[0]
        request = (b"POST /v2/models/classifier/infer HTTP/1.1\r\nHost: x\r\nInference-Header-Content-Length: %d\r\n"
                   b"Content-Length: %d\r\n\r\n" % (len(head), len(body)))
        cut_bodies = 8
        for k in range(cut_bodies):
            # Half the body, then gone: refused, counted as a failed request.
            c = socket.create_connection(("127.0.0.1", s.http))
            c.sendall(request + body[:len(body) // 2])
            c.close()
        unread = 8
        for k in range(unread):
            # The whole request, then gone before the response: the inference itself succeeds.
            c = socket.create_connection(("127.0.0.1", s.http))
            c.sendall(request + body)
            c.shutdown(socket.SHUT_WR)
            c.close()
        cancelled = 0
        channel = grpc.insecure_channel("127.0.0.1:%d" % s.grpc)
        grpc.channel_ready_future(channel).result(timeout=60)
        stub = pbg.GRPCInferenceServiceStub(channel)
        for k in range(8):
            q = pb.ModelInferRequest(model_name="segmenter", id="gone-%d" % k)
            q.inputs.add(name="data", datatype="FP32", shape=[4, 3, 12, 12])
            q.raw_input_contents.append(self.models[1].sample_in[0] * 4)
            f = stub.ModelInfer.future(q, timeout=60)
            time.sleep(0.02 + 0.005 * k)
            if f.cancel():
                cancelled += 1
            else:   # finished before it could be cancelled
                self.assertEqual(f.result().raw_output_contents[0], self.models[1].sample_out[0] * 4)
                results.append(("segmenter", 4, True, "finished before cancel"))
        for t in threads:
            t.join()
        channel.close()
        self.assertEqual([r for r in results if not r[2]], [])
        # The server has seen every vanished REST client once it has counted one request more for each.  (A
        # cancelled gRPC call may end before the server has read it whole, and then is never counted.)
        served = lambda n: sum(1 for r in results if r[0] == n)
        expected_requests = sum(served(n) for n in self.names) + cut_bodies + unread
        deadline = time.monotonic() + 20
        while True:
            after = self.counters()
            counted = sum(after.delta(before, "ok").values()) + sum(after.delta(before, "failed").values())
            if counted >= expected_requests or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertGreaterEqual(counted, expected_requests)
        self.settle(before.blocks)
        after = self.counters()
        # Every cut-off body is a failure, every unread response a success; a cancelled gRPC call is counted
        # at most once: a failure, or a success when it had finished before the cancellation reached it.
        self.assertEqual(after.delta(before, "failed")["classifier"], cut_bodies)
        self.assertEqual(after.delta(before, "ok")["classifier"], served("classifier") + unread)
        seg_ok = after.delta(before, "ok")["segmenter"] - served("segmenter")
        self.assertLessEqual(seg_ok + after.delta(before, "failed")["segmenter"], cancelled)
        for n in ("trivial", "pair", "dynamic"):
            self.assertEqual(after.delta(before, "failed")[n], 0, n)
            self.assertEqual(after.delta(before, "ok")[n], served(n), n)
        # The server still serves every model.
        conn = s.base_conn()
        for m in self.models:
            status, _, outs = rest_binary(conn, m, [1, 1], "after")
            self.assertEqual((status, outs), (200, m.expected([1, 1])), m.name)
        conn.close()

    def test_slow_clients_do_not_hold_up_others(self):
        """A body sent a byte at a time, a large response read a few bytes at a time and connections that
        never send: the other clients are all served while those are still at it."""
        s = self.server
        before = self.counters()
        trivial = self.models[2]
        head = json.dumps({"id": "slow", "parameters": {"note": "." * 400},
                           "inputs": [{"name": "data", "datatype": "FP32", "shape": [1, 16],
                                       "data": floats(trivial.sample_in[0])}]}).encode()
        slow_done = threading.Event()
        fast_done = threading.Event()
        slow_result = []

        def trickle_body():
            c = socket.create_connection(("127.0.0.1", s.http))
            c.sendall(b"POST /v2/models/trivial/infer HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(head))
            for b in head:   # a byte every 20 ms (about 15 s in all), well within the read time-out
                c.sendall(bytes([b]))
                if not fast_done.is_set():
                    time.sleep(0.02)
            c.settimeout(30)
            slow_result.append(read_response(c))
            c.close()
            slow_done.set()

        # A response of 64 segmenter items (about 180 KiB of outputs in JSON), read 100 bytes every 20 ms.
        seg = self.models[1]
        big = json.dumps({"inputs": [{"name": "data", "datatype": "FP32", "shape": [64, 3, 12, 12],
                                      "data": floats(seg.sample_in[0] * 64)}]}).encode()
        reader_state = []

        def slow_reader():
            c = socket.create_connection(("127.0.0.1", s.http))
            c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            c.sendall(b"POST /v2/models/segmenter/infer HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n"
                      b"Connection: close\r\n\r\n" % len(big) + big)
            c.settimeout(30)
            got = b""
            while True:
                part = c.recv(100)
                if not part:
                    break
                got += part
                if not fast_done.is_set():
                    time.sleep(0.02)
            c.close()
            head_, _, body_ = got.partition(b"\r\n\r\n")
            reader_state.append((head_.split(b"\r\n")[0], body_))

        slow = [threading.Thread(target=trickle_body), threading.Thread(target=slow_reader)]
        for t in slow:
            t.start()
        # More connections that never send than the server has HTTP workers (64).
        idle = [socket.create_connection(("127.0.0.1", s.http)) for _ in range(80)]
        time.sleep(0.2)
        results = []
        for t in self.run_load(24, 8, 3, results):
            t.join()
        # Every other client was served while the slow body was still coming in, and while the connections
        # that never sent anything were still open: they held up no one.
        self.assertFalse(slow_done.is_set())
        for c in idle:
            with self.assertRaises(BlockingIOError):
                c.recv(1, socket.MSG_DONTWAIT)
        fast_done.set()
        for t in slow:
            t.join()
        self.assertEqual([r for r in results if not r[2]], [])
        self.assertEqual(slow_result[0][0], b"HTTP/1.1 200 OK", slow_result[0][1][:200])
        self.assertEqual(json.loads(slow_result[0][1])["id"], "slow")
        status, body = reader_state[0]
        self.assertEqual(status, b"HTTP/1.1 200 OK")
        out = json.loads(body)["outputs"][0]
        self.assertEqual(float_bytes(out["data"]), seg.sample_out[0] * 64)
        for c in idle:
            c.close()
        results += [("trivial", 1, True, "slow"), ("segmenter", 64, True, "slow reader")]
        self.assertCounted(before, self.counters(), results)

    def test_connection_burst_and_idle_connections(self):
        """200 clients connecting at once are all let in without a retry (a dropped connection attempt is
        retried by the client's kernel after 1 s), and the idle connections, far more than the server's
        workers, each still get served once they send a request."""
        s = self.server
        socks = []
        try:
            for _ in range(200):
                socks.append(socket.create_connection(("127.0.0.1", s.http), timeout=0.9))
        except socket.timeout:
            self.fail("connection attempt %d was dropped and retried" % len(socks))
        finally:
            for c in socks:
                c.settimeout(60)
        trivial = self.models[2]
        body = json.dumps({"inputs": [{"name": "data", "datatype": "FP32", "shape": [1, 16],
                                       "data": floats(trivial.sample_in[0])}]}).encode()
        request = (b"POST /v2/models/trivial/infer HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(body)
                   + body)
        # Every connection sends its request, in reverse order of connecting, then all are read.
        for c in reversed(socks):
            c.sendall(request)
        for i, c in enumerate(socks):
            status, body = read_response(c)
            self.assertEqual(status, b"HTTP/1.1 200 OK", (i, body[:200]))
            doc = json.loads(body)
            self.assertEqual(float_bytes(doc["outputs"][0]["data"]), trivial.sample_out[0], i)
            c.close()

    def test_tensors_at_the_size_bound(self):
        """A request of exactly --max-request-bytes is served, one byte more refused, over REST and gRPC."""
        s = self.server
        m = self.models[0]
        items = 128
        data = m.sample_in[0] * items

        def rest_body(pad):
            head = json.dumps({"id": "big", "parameters": {"binary_data_output": True},
                               "inputs": [{"name": "data", "datatype": "FP32", "shape": [items, 3, 16, 16],
                                           "parameters": {"binary_data_size": len(data)}}]}).encode()
            head += b" " * (pad - len(head) - len(data))
            return head, head + data

        conn = s.base_conn()
        for size, want in ((self.MAX_BYTES, 200), (self.MAX_BYTES + 1, 413)):
            head, body = rest_body(size)
            self.assertEqual(len(body), size)
            conn.request("POST", "/v2/models/classifier/infer", body,
                         {"Inference-Header-Content-Length": str(len(head))})
            r = conn.getresponse()
            got = r.read()
            self.assertEqual(r.status, want, got[:300])
            if want == 200:
                hlen = int(r.getheader("Inference-Header-Content-Length"))
                self.assertEqual(json.loads(got[:hlen])["id"], "big")
                self.assertEqual(got[hlen:], m.sample_out[0] * items)
            else:
                conn.close()
                conn = s.base_conn()
        conn.close()

        # gRPC bounds the serialized message: padded with an id to exactly the bound, then one byte over.
        channel = grpc.insecure_channel("127.0.0.1:%d" % s.grpc)
        stub = pbg.GRPCInferenceServiceStub(channel)
        q = pb.ModelInferRequest(model_name="classifier")
        q.inputs.add(name="data", datatype="FP32", shape=[items, 3, 16, 16])
        q.raw_input_contents.append(data)
        q.id = "x" * 200
        q.id = "x" * (200 + self.MAX_BYTES - q.ByteSize())
        self.assertEqual(q.ByteSize(), self.MAX_BYTES)
        r = stub.ModelInfer(q, timeout=60)
        self.assertEqual((r.id, r.raw_output_contents[0]), (q.id, m.sample_out[0] * items))
        q.id += "x"
        with self.assertRaises(grpc.RpcError) as cm:
            stub.ModelInfer(q, timeout=60)
        self.assertEqual(cm.exception.code(), grpc.StatusCode.RESOURCE_EXHAUSTED)
        channel.close()


class StopUnderLoadTest(unittest.TestCase):
    """SIGTERM while 32 clients keep sending: every request either completes with its own outputs or gets
    a clear refusal; the server exits promptly with the cards empty."""

    def test_sigterm_under_load(self):
        s = LoadServer("--http-threads", "32", cards=2, hooks=True)
        try:
            models = [Model(s, n) for n in ("classifier", "segmenter", "trivial")]
            for card in (0, 1):
                s.hook("/test-hooks/op-delay?card=%d&us=20000" % card)
            stop = threading.Event()
            outcomes = []   # (kind, detail)
            lock = threading.Lock()

            def note(kind, detail=""):
                with lock:
                    outcomes.append((kind, detail))

            def rest_client(c):
                conn = None
                k = 0
                while not stop.is_set():
                    m = models[(c + k) % len(models)]
                    pat = patterns(c, k + 1)[k]
                    k += 1
                    try:
                        if conn is None:
                            conn = s.base_conn()
                        status, got_id, outs = rest_binary(conn, m, pat, "r%d-%d" % (c, k))
                    except (ConnectionRefusedError, ConnectionResetError, BrokenPipeError,
                            http.client.RemoteDisconnected) as e:
                        note("rest refused", type(e).__name__)
                        conn = None
                        if isinstance(e, ConnectionRefusedError):
                            return
                        continue
                    if status == 200:
                        note("ok" if got_id == "r%d-%d" % (c, k) and outs == m.expected(pat) else "WRONG",
                             (c, k))
                    elif status == 503:
                        note("rest 503", outs[:200])
                    else:
                        note("WRONG", (status, outs[:200]))

            def grpc_client(c):
                channel = grpc.insecure_channel("127.0.0.1:%d" % s.grpc)
                stub = pbg.GRPCInferenceServiceStub(channel)
                k = 0
                while not stop.is_set():
                    m = models[(c + k) % len(models)]
                    pat = patterns(500 + c, k + 1)[k]
                    k += 1
                    try:
                        got_id, outs = grpc_call(stub, m, pat, "g%d-%d" % (c, k), timeout=30)
                        note("ok" if got_id == "g%d-%d" % (c, k) and outs == m.expected(pat) else "WRONG", (c, k))
                    except grpc.RpcError as e:
                        if e.code() == grpc.StatusCode.UNAVAILABLE:
                            note("grpc unavailable", e.details())
                            if "shutting down" not in (e.details() or ""):
                                break   # the server is gone
                        elif e.code() == grpc.StatusCode.CANCELLED:
                            # A call that arrived as gRPC began to shut down, before a handler took it:
                            # gRPC itself cancels it.
                            note("grpc cancelled", e.details())
                            break
                        else:
                            note("WRONG", (e.code(), e.details()))
                            break
                channel.close()

            threads = [threading.Thread(target=rest_client, args=(c,)) for c in range(24)]
            threads += [threading.Thread(target=grpc_client, args=(c,)) for c in range(8)]
            for t in threads:
                t.start()
            deadline = time.monotonic() + 30
            while sum(1 for o in outcomes if o[0] == "ok") < 64:
                self.assertLess(time.monotonic(), deadline, outcomes[-5:])
                time.sleep(0.02)
            code, out, stopped_in = s.stop_under_clients(threads, then=stop.set)
        finally:
            s.kill()
        self.assertEqual(code, 0, s.stderr())
        self.assertIn("stopped: card memory in use 0 bytes in 0 blocks", out)
        kinds = {}
        for kind, detail in outcomes:
            key = kind + ("" if kind != "rest refused" else " " + detail)
            kinds[key] = kinds.get(key, 0) + 1
        print("outcomes:", kinds, "stopped in %.2f s" % stopped_in)
        self.assertEqual([o for o in outcomes if o[0] == "WRONG"], [])
        for kind, detail in outcomes:
            if kind == "rest 503":
                self.assertIn(b"shutting down", detail)
        self.assertLess(stopped_in, 30, "the server took %.1f s to stop" % stopped_in)

    def test_response_in_flight_at_sigterm_closes_its_connection(self):
        """A kept-alive connection whose request is on the card when SIGTERM comes gets its answer, saying that
        the connection closes, rather than an offer to keep it open that the stopping server cannot keep."""
        s = LoadServer(cards=1, hooks=True)
        try:
            m = Model(s, "classifier")
            s.hook("/test-hooks/op-delay?card=0&us=1000000")
            conn = s.base_conn()
            result = []
            t = threading.Thread(target=lambda: result.append(rest_binary(conn, m, [1, 0, 1], "last") + (
                conn.sock is None,)))
            t.start()
            deadline = time.monotonic() + 30
            while (s.metric("qobl_device_run_items_total", model="classifier") or 0) < 4:   # zero item + these 3
                self.assertLess(time.monotonic(), deadline, "the request did not reach the card")
                time.sleep(0.02)
            code, out, _ = s.stop_under_clients([t])
        finally:
            s.kill()
        self.assertEqual(code, 0, s.stderr())
        status, rid, outs, closed = result[0]
        self.assertEqual((status, rid, outs), (200, "last", m.expected([1, 0, 1])))
        # http.client drops its socket after a response that says "Connection: close".
        self.assertTrue(closed, "the response offered to keep the connection open")
        self.assertIn("stopped: card memory in use 0 bytes in 0 blocks", out)


if __name__ == "__main__":
    unittest.main()
