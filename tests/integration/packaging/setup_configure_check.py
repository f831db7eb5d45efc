#!/usr/bin/python3
"""Configures the project the way python/setup.py does for `pip install ./python`, on a machine without the
tests' and benchmarks' packages (GoogleTest and Google Benchmark hidden from CMake): a Python user needs
only what the package itself needs.

  setup_configure_check.py SOURCE_DIR
"""
import runpy
import subprocess
import sys
import tempfile
from unittest import mock


def main():
    source = sys.argv[1]
    with mock.patch("setuptools.setup"):   # the module's definitions, without running setup()
        setup = runpy.run_path(f"{source}/python/setup.py")
    with tempfile.TemporaryDirectory() as tmp:
        command = setup["cmake_configure_command"](f"{tmp}/build", "/usr/bin/python3")
        command += ["-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON", "-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"]
        r = subprocess.run(command, capture_output=True, text=True)
        if r.returncode != 0:
            print(r.stdout[-4000:], r.stderr[-4000:])
            print("FAIL: setup.py's configuration needs the tests' or benchmarks' packages")
            return 1
        # The configuration it made builds the extension.
        with open(f"{tmp}/build/CMakeCache.txt") as f:
            cache = f.read()
        if "QOBL_PYTHON:BOOL=ON" not in cache:
            print("FAIL: setup.py's configuration has no Python package")
            return 1
    print("setup.py configures without the tests' and benchmarks' packages")
    return 0


if __name__ == "__main__":
    sys.exit(main())
