"""The container and Kubernetes/KServe files under deploy/ cannot be run here: this checks that they parse
and agree with each other and with qobl-serve's own command line."""
import os
import re
import subprocess
import unittest

import yaml

SOURCE = os.environ.get("QOBL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..", ".."))
BUILD = os.environ.get("QOBL_BUILD_DIR", "build")
DEPLOY = os.path.join(SOURCE, "deploy")


def documents(rel):
    with open(os.path.join(DEPLOY, rel)) as f:
        return {d["kind"]: d for d in yaml.safe_load_all(f) if d}


def desired(obj):
    """The desired state of a Kubernetes object or pod template: its one field besides apiVersion, kind,
    metadata and status."""
    rest = [v for k, v in obj.items() if k not in ("apiVersion", "kind", "metadata", "status")]
    assert len(rest) == 1, list(obj)
    return rest[0]


def arg(args, name):
    return args[args.index(name) + 1]


def seconds_before_restart(container):
    """How long a container that does not answer yet (qobl-serve loading its models) runs before the kubelet
    restarts it: the startup probe's budget when there is one (the liveness probe waits for it), else the
    liveness probe's, with Kubernetes' defaults for what the probe leaves out."""
    probe = container.get("startupProbe") or container["livenessProbe"]
    return (probe.get("initialDelaySeconds", 0)
            + probe.get("periodSeconds", 10) * probe.get("failureThreshold", 3))


def docker_ignored(patterns, path):
    """Whether .dockerignore patterns leave path (relative to the context) out of the build context: a path
    is out when it or one of its parent directories matches the last pattern that applies to it (with "!"
    patterns taking it back in).  "*" and "?" stay within one path element, "**" spans any number."""
    def regex(pattern):
        out, i = "", 0
        while i < len(pattern):
            if pattern.startswith("**/", i):
                out, i = out + "(?:.*/)?", i + 3
            elif pattern.startswith("**", i):
                out, i = out + ".*", i + 2
            elif pattern[i] == "*":
                out, i = out + "[^/]*", i + 1
            elif pattern[i] == "?":
                out, i = out + "[^/]", i + 1
            else:
                out, i = out + re.escape(pattern[i]), i + 1
        return re.compile(out + r"\Z")
    parts = path.split("/")
    prefixes = ["/".join(parts[:n]) for n in range(1, len(parts) + 1)]
    excluded = False
    for p in patterns:
        negate = p.startswith("!")
        body = os.path.normpath(p[1:] if negate else p).lstrip("/")
        if any(regex(body).match(prefix) for prefix in prefixes):
            excluded = not negate
    return excluded


class DeployFilesTest(unittest.TestCase):
    def accepted_by_server(self, args):
        """qobl-serve parses the arguments (--help after them stops before anything is loaded)."""
        r = subprocess.run([os.path.join(BUILD, "bin", "qobl-serve")] + args + ["--help"], capture_output=True,
                           text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_command_line_errors(self):
        """A bad command line stops qobl-serve at once with exit code 2 and says what is wrong."""
        self.accepted_by_server(["--model-repository", "/m", "--max-queue-delay-us", "0", "--in-flight", "1"])
        self.accepted_by_server(["--model-repository=/m", "--in-flight=1024", "--log-level=warn"])
        for args, fragment in (([], "--model-repository DIR is required"),
                               (["--model-repository"], "--model-repository: 1 required DIR missing"),
                               (["--model-repository", ""], "--model-repository: needs a directory"),
                               (["--in-flight"], "--in-flight: 1 required N missing"),
                               (["--http-port", "70000"], "--http-port: expects a whole number from 0 to 65535"),
                               (["--http-port=70000"], "--http-port: expects a whole number from 0 to 65535"),
                               (["--devices", "0"], "--devices: expects a whole number from 1 to 16"),
                               (["--devices", "-1"], "--devices: expects"),
                               (["--in-flight", "0"], "--in-flight: expects a whole number from 1 to 1024"),
                               (["--in-flight", "1025"], "--in-flight: expects a whole number from 1 to 1024"),
                               (["--in-flight", "two"], "--in-flight: expects"),
                               (["--in-flight", "0x10"], "--in-flight: expects"),
                               (["--http-port", "9000", "--grpc-port", "9000"], "must differ"),
                               (["--http-port=9000", "--grpc-port=9000"], "must differ"),
                               (["--header-timeout-ms", "5"], "--header-timeout-ms: expects a whole number from 10"),
                               (["--header-timeout-ms", "1s"], "--header-timeout-ms: expects"),
                               (["--max-header-bytes", "1023"], "--max-header-bytes: expects a whole number from 1024"),
                               (["--max-header-fields", "0"], "--max-header-fields: expects"),
                               (["--response-timeout-ms", "9"], "--response-timeout-ms: expects"),
                               (["--log-level", "LOUD"], "--log-level: expects TRACE, DEBUG"),
                               (["--frobnicate", "1"], "--frobnicate"),
                               (["--frobnicate"], "not expected: --frobnicate"),
                               (["extra"], "not expected: extra")):
            full = args if args[:1] in ([], ["--model-repository"]) else ["--model-repository", "/m"] + args
            r = subprocess.run([os.path.join(BUILD, "bin", "qobl-serve")] + full, capture_output=True, text=True,
                               timeout=60)
            self.assertEqual(r.returncode, 2, (full, r.stderr))
            self.assertTrue(r.stderr.startswith("qobl-serve: "), r.stderr)
            self.assertIn(fragment, r.stderr, full)
            self.assertEqual(r.stdout, "", full)

    def test_version_and_help(self):
        """--version and --help print to stdout and exit 0, without a model repository and before anything is
        loaded; --help lists every option, --version among them."""
        serve = os.path.join(BUILD, "bin", "qobl-serve")
        r = subprocess.run([serve, "--version"], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"^qobl-serve \(qobl\) \d+\.\d+\.\d+")
        self.assertIn("\nlibrary: QOBL API ", r.stdout)
        self.assertEqual(r.stderr, "")
        r = subprocess.run([serve, "-h"], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith("Usage: %s --model-repository DIR [options]\n" % serve), r.stdout)
        for line in ("  --model-repository DIR     the models to serve (required)",
                     "  --in-flight N              device runs each instance keeps in flight (1 to 1024, default 2)",
                     "  --log-level L ", "  --version ", "  -h,--help ",
                     "Exit codes: 0 stopped by a signal, 2 bad command line"):
            self.assertIn("\n" + line, r.stdout)

    def test_kserve_runtime_and_inference_service(self):
        runtime = documents("kserve/serving-runtime.yaml")["ServingRuntime"]
        isvc = documents("kserve/inference-service.yaml")["InferenceService"]
        self.assertEqual(runtime["apiVersion"], "serving.kserve.io/v1alpha1")
        self.assertEqual(isvc["apiVersion"], "serving.kserve.io/v1beta1")
        self.assertIn("v2", desired(runtime)["protocolVersions"])
        container = desired(runtime)["containers"][0]
        self.assertEqual(container["name"], "kserve-container")
        args = container["args"]
        self.assertEqual(arg(args, "--model-repository"), "/mnt/models")   # where KServe mounts storageUri
        self.assertEqual(arg(args, "--host"), "0.0.0.0")
        http = int(arg(args, "--http-port"))
        self.assertEqual([p["containerPort"] for p in container["ports"]], [http])
        for probe, path in (("readinessProbe", "/v2/health/ready"), ("livenessProbe", "/v2/health/live")):
            self.assertEqual(container[probe]["httpGet"], {"path": path, "port": http})
        self.assertEqual(runtime["metadata"]["annotations"]["prometheus.kserve.io/path"], "/metrics")
        # The ports open only once the models are loaded: the liveness probe must not restart the server
        # while it loads them.
        self.assertGreaterEqual(seconds_before_restart(container), 60)
        self.accepted_by_server(args)
        # The InferenceService selects this runtime by name and model format.
        model = desired(isvc)["predictor"]["model"]
        self.assertEqual(model["runtime"], runtime["metadata"]["name"])
        self.assertIn(model["modelFormat"]["name"], [f["name"] for f in desired(runtime)["supportedModelFormats"]])
        self.assertEqual(model["protocolVersion"], "v2")
        predictor = desired(isvc)["predictor"]
        self.assertLessEqual(predictor["minReplicas"], predictor["maxReplicas"])

    def test_deployment_and_service(self):
        docs = documents("kubernetes/qobl-serve.yaml")
        deployment, service = docs["Deployment"], docs["Service"]
        pod = desired(deployment)["template"]
        self.assertEqual(desired(deployment)["selector"]["matchLabels"], pod["metadata"]["labels"])
        self.assertEqual(desired(service)["selector"], pod["metadata"]["labels"])
        container = desired(pod)["containers"][0]
        args = container["args"]
        self.assertEqual(arg(args, "--host"), "0.0.0.0")
        ports = {p["name"]: p["containerPort"] for p in container["ports"]}
        self.assertEqual(ports, {"http": int(arg(args, "--http-port")), "grpc": int(arg(args, "--grpc-port"))})
        self.assertEqual({p["targetPort"] for p in desired(service)["ports"]}, set(ports))
        mounts = {m["mountPath"]: m["name"] for m in container["volumeMounts"]}
        self.assertIn(mounts[arg(args, "--model-repository")], [v["name"] for v in desired(pod)["volumes"]])
        self.assertEqual(container["readinessProbe"]["httpGet"]["path"], "/v2/health/ready")
        for probe in ("livenessProbe", "startupProbe"):
            self.assertEqual(container[probe]["httpGet"], {"path": "/v2/health/live", "port": "http"})
        self.assertGreaterEqual(seconds_before_restart(container), 60)
        # A terminating pod keeps taking requests until the Service has dropped it: qobl-serve, which
        # refuses new requests on SIGTERM, gets the signal only after a pause that fits in the grace period.
        command = container["lifecycle"]["preStop"]["exec"]["command"]
        self.assertEqual(command[0], "sleep")
        self.assertTrue(5 <= int(command[1]) < desired(pod)["terminationGracePeriodSeconds"] - 30, command)
        self.assertEqual(pod["metadata"]["annotations"]["prometheus.io/port"], str(ports["http"]))
        self.accepted_by_server(args)

    def test_dockerfile(self):
        with open(os.path.join(DEPLOY, "Dockerfile")) as f:
            text = f.read()
        bases = re.findall(r"^FROM (\S+)", text, re.M)
        self.assertTrue(bases and all(b.startswith("debian:") for b in bases), bases)
        self.assertIn("bash scripts/install_deps.sh", text)   # the project's own build
        exposed = re.search(r"^EXPOSE (.+)$", text, re.M).group(1).split()
        entry = re.search(r"^ENTRYPOINT (.+)$", text, re.M).group(1)
        cmd = yaml.safe_load(re.search(r"^CMD (.+)$", text, re.M).group(1))   # a JSON list
        self.assertEqual(yaml.safe_load(entry), ["/opt/qobl/bin/qobl-serve"])
        # The program is where the build stage installs it, and that tree is what the image copies.
        prefix = re.search(r"cmake --install /build --prefix (\S+)", text).group(1)
        self.assertEqual(yaml.safe_load(entry)[0], prefix + "/bin/qobl-serve")
        self.assertRegex(text, r"(?m)^COPY --from=build %s %s$" % (re.escape(prefix), re.escape(prefix)))
        self.assertEqual(exposed, [arg(cmd, "--http-port"), arg(cmd, "--grpc-port")])
        self.assertEqual(arg(cmd, "--host"), "0.0.0.0")
        self.accepted_by_server(cmd)
        # The plain Deployment listens where the image says.
        args = desired(desired(documents("kubernetes/qobl-serve.yaml")["Deployment"])["template"])["containers"][0]["args"]
        self.assertEqual([arg(args, "--http-port"), arg(args, "--grpc-port")], exposed)


    def test_docker_context(self):
        """The build context is the source tree without what builds leave in it: build directories (several
        hundred MB each) and Python build output stay out, every file of the source stays in."""
        with open(os.path.join(SOURCE, ".dockerignore")) as f:
            patterns = [line.strip() for line in f if line.strip() and not line.lstrip().startswith("#")]
        for left_out in ("build/CMakeCache.txt", "build-deb/packages/x.deb", "build-asan/lib/libqobl.so",
                         "python/build/lib/qobl/_qobl.so", "python/qobl.egg-info/PKG-INFO",
                         "python/qobl/__pycache__/x.pyc", "python/tests/__pycache__/x.pyc"):
            self.assertTrue(docker_ignored(patterns, left_out), left_out)
        r = subprocess.run(["git", "-C", SOURCE, "ls-files"], capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            self.skipTest("not a git checkout: no list of source files")
        kept_out = [p for p in r.stdout.splitlines() if docker_ignored(patterns, p)]
        self.assertEqual(kept_out, [])


if __name__ == "__main__":
    unittest.main()
