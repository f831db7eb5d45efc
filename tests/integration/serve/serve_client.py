"""Starting qobl-serve on free loopback ports and talking to it with real clients: Python's standard library
and curl for HTTP/REST, grpcio with stubs generated from inference.proto for gRPC."""
import json
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

BUILD = os.environ.get("QOBL_BUILD_DIR", "build")
SERVE = os.path.join(BUILD, "bin", "qobl-serve")
MODELS = os.path.join(BUILD, "models")
sys.path.insert(0, os.path.join(BUILD, "tools", "qobl_serve", "python"))

import grpc  # noqa: E402
import inference_pb2 as pb  # noqa: E402
import inference_pb2_grpc as pbg  # noqa: E402

DEMO_MODELS = ("classifier", "segmenter", "dynamic", "trivial")

# The first line of a sanitizer's report (the sanitizer builds run the server under TSan or ASan + UBSan).
SANITIZER_REPORT = re.compile(r"WARNING: ThreadSanitizer|ERROR: \w*Sanitizer|SUMMARY: UndefinedBehaviorSanitizer")


def sanitizer_report(text):
    """The sanitizer reports in a process's stderr (from the first one on, at most 200 lines), or ""."""
    m = SANITIZER_REPORT.search(text)
    return "" if m is None else "\n".join(text[m.start():].splitlines()[:200])


def model_repository():
    """A scratch repository holding the demo models (symbolic links) and one directory that is no model."""
    root = tempfile.mkdtemp(prefix="qobl_serve_repo_")
    for m in DEMO_MODELS:
        os.symlink(os.path.abspath(os.path.join(MODELS, m)), os.path.join(root, m))
    os.mkdir(os.path.join(root, "notes"))
    return root


def sample(model, shape=None):
    """(input bytes, expected output bytes) of one item of a demo model."""
    d = os.path.join(MODELS, model) if shape is None else os.path.join(MODELS, model, "samples", shape)
    with open(os.path.join(d, "sample_input.bin"), "rb") as f:
        inp = f.read()
    with open(os.path.join(d, "expected_output.bin"), "rb") as f:
        out = f.read()
    return inp, out


def floats(raw):
    return list(struct.unpack("<%df" % (len(raw) // 4), raw))


def float_bytes(values):
    return struct.pack("<%df" % len(values), *values)


def nest(values, shape):
    """Row-major nesting of a flat list into lists of the given shape."""
    if len(shape) == 1:
        return list(values)
    step = len(values) // shape[0]
    return [nest(values[i * step:(i + 1) * step], shape[1:]) for i in range(shape[0])]


class Server:
    """One qobl-serve process on free loopback ports; stop() sends a signal and returns its exit code and
    the rest of its stdout."""

    def __init__(self, *args, cards=2, hooks=False, repo=None, env=None):
        env = dict(os.environ, QOBCRT_DEVICE_COUNT=str(cards), **(env or {}))
        if hooks:
            env["QOBL_SERVE_TEST_HOOKS"] = "1"
        self.err = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [SERVE, "--model-repository", repo or model_repository(), "--http-port", "0", "--grpc-port", "0"]
            + list(args), stdout=subprocess.PIPE, stderr=self.err, env=env)
        line = self._line(60)
        if not line.startswith("listening http="):
            self.proc.kill()
            raise RuntimeError("qobl-serve did not start: %r\n%s" % (line, self.stderr()))
        parts = dict(p.split("=") for p in line.split()[1:])
        self.http, self.grpc = int(parts["http"]), int(parts["grpc"])
        self.base = "http://127.0.0.1:%d" % self.http
        self.channel = grpc.insecure_channel("127.0.0.1:%d" % self.grpc)
        self.stub = pbg.GRPCInferenceServiceStub(self.channel)

    def _line(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        return self.proc.stdout.readline().decode().strip() if ready else ""

    def stderr(self):
        self.err.seek(0)
        return self.err.read().decode(errors="replace")

    def __del__(self):
        self.err.close()

    def stop(self, sig=signal.SIGTERM, timeout=60):
        """Raises AssertionError with the report when a sanitizer reported anything while the server ran,
        whatever became of the requests (a TSan build stops the server at its first report)."""
        self.channel.close()
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
        out = self.proc.stdout.read().decode()
        self.proc.stdout.close()
        report = sanitizer_report(self.stderr())
        if report:
            raise AssertionError("qobl-serve (exit status %s) had a sanitizer report:\n%s" % (code, report))
        return code, out

    def stop_under_clients(self, clients, then=None, timeout=60):
        """Stops the server with SIGTERM while the `clients` (threads) may still be talking to it: waits for
        its exit, calls `then` (to tell the clients to end), joins the clients and checks the server's end as
        stop() does.  (exit code, rest of stdout, seconds from SIGTERM to exit).  The server is killed should
        any step fail, so that no test leaves one behind."""
        try:
            start = time.monotonic()
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout)
            stopped_in = time.monotonic() - start
            if then is not None:
                then()
            for t in clients:
                t.join()
            code, out = self.stop()
            return code, out, stopped_in
        finally:
            self.kill()

    def kill(self):
        """Kills the server if it still runs: for a test's clean-up, whatever became of the test."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    # HTTP/REST with Python's standard library.
    def request(self, method, path, body=None, headers=None, timeout=60):
        """(status, headers, body bytes); error statuses are returned, not raised."""
        req = urllib.request.Request(self.base + path, data=body, method=method, headers=headers or {})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                return r.status, dict(r.headers), r.read()
        except urllib.error.HTTPError as e:
            return e.code, dict(e.headers), e.read()

    def get(self, path):
        return self.request("GET", path)

    def infer_json(self, model, req, path=None):
        """(status, parsed JSON body) of a JSON inference request."""
        status, _, body = self.request("POST", path or "/v2/models/%s/infer" % model, json.dumps(req).encode(),
                                       {"Content-Type": "application/json"})
        return status, json.loads(body) if body else None

    def infer_binary(self, model, header, tensors):
        """Binary tensor data extension: (status, JSON header, {output name: raw bytes})."""
        head = json.dumps(header).encode()
        status, hdrs, body = self.request(
            "POST", "/v2/models/%s/infer" % model, head + b"".join(tensors),
            {"Inference-Header-Content-Length": str(len(head)), "Content-Type": "application/octet-stream"})
        hlen = int(hdrs.get("Inference-Header-Content-Length", len(body)))
        doc = json.loads(body[:hlen])
        raw, pos = {}, hlen
        for o in doc.get("outputs", []):
            size = o.get("parameters", {}).get("binary_data_size")
            if size is not None:
                raw[o["name"]] = body[pos:pos + size]
                pos += size
        return status, doc, raw

    def metrics(self):
        """{(name, frozenset of label pairs): value} of the Prometheus text on /metrics."""
        status, _, body = self.get("/metrics")
        assert status == 200
        out = {}
        for line in body.decode().splitlines():
            if not line or line.startswith("#"):
                continue
            name_labels, value = line.rsplit(" ", 1)
            labels = frozenset()
            if "{" in name_labels:
                name, rest = name_labels.split("{", 1)
                labels = frozenset(tuple(kv.split("=", 1)) for kv in rest.rstrip("}").split(","))
            else:
                name = name_labels
            out[(name, labels)] = float(value)
        return out

    def metric(self, name, **labels):
        want = frozenset((k, '"%s"' % v) for k, v in labels.items())
        return self.metrics().get((name, want))

    def hook(self, path):
        status, _, body = self.request("POST", path, b"")
        assert status == 200, body

    # gRPC
    def grpc_infer(self, model, inputs, raw=None, outputs=()):
        req = pb.ModelInferRequest(model_name=model, id="g1")
        for name, datatype, shape, contents in inputs:
            t = req.inputs.add(name=name, datatype=datatype, shape=shape)
            if contents is not None:
                t.contents.fp32_contents.extend(contents)
        for o in outputs:
            req.outputs.add(name=o)
        if raw is not None:
            req.raw_input_contents.extend(raw)
        return self.stub.ModelInfer(req, timeout=60)


def read_until_closed(sock):
    """Reads from a socket until the server closes it, the socket's time-out passes or the connection is
    reset: (bytes read, closed by the server)."""
    got = b""
    try:
        while True:
            d = sock.recv(65536)
            if not d:
                return got, True
            got += d
    except (socket.timeout, ConnectionResetError):
        return got, False


def raw_http(port, data, read_timeout=10.0):
    """Sends bytes on a fresh connection and reads until the server closes it or the time runs out:
    (response bytes, seconds, closed by the server)."""
    s = socket.create_connection(("127.0.0.1", port))
    s.settimeout(read_timeout)
    start = time.time()
    s.sendall(data)
    got, closed = read_until_closed(s)
    s.close()
    return got, time.time() - start, closed


def curl(*args):
    """(HTTP status, body text) of one curl call."""
    r = subprocess.run(["curl", "-s", "-S", "-o", "-", "-w", "\n%{http_code}", *args], capture_output=True, text=True,
                       timeout=60)
    body, _, code = r.stdout.rpartition("\n")
    return int(code or 0), body
