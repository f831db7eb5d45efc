"""What the package benchmarks share: each measurement runs in a fresh interpreter (so that one package's
state, threads and caches do not carry into the next), with the package to measure first on PYTHONPATH."""

import json
import os
import subprocess
import sys


def run_worker(script, package, worker_args):
    """Runs `script --worker worker_args...` with `package` (a directory, or None: the one already on
    PYTHONPATH) first on PYTHONPATH, and returns the JSON object its last line of output holds.  Exits with
    the worker's error output when it fails."""
    env = dict(os.environ)
    if package is not None:
        env["PYTHONPATH"] = os.pathsep.join([str(package)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep)
                                                                 if p])
    proc = subprocess.run([sys.executable, str(script), "--worker"] + [str(a) for a in worker_args],
                          env=env, capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        sys.exit(f"measuring {package or 'the package on PYTHONPATH'} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])
