#!/usr/bin/python3
"""Configures the project the way python/setup.py does for `pip install ./python`, on a machine without the
tests' and benchmarks' packages (GoogleTest and Google Benchmark hidden from CMake): a Python user needs
only what the package itself needs.  Then lays libraries out into a package as setup.py does: each one
once, under its soname, with its content.

  setup_configure_check.py SOURCE_DIR
"""
import os
import pathlib
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
    # A library directory as the build leaves it: lib<name>.so -> lib<name>.so.0 -> lib<name>.so.0.1.0.
    with tempfile.TemporaryDirectory() as tmp:
        lib_dir, package = pathlib.Path(tmp, "lib"), pathlib.Path(tmp, "qobl")
        lib_dir.mkdir()
        package.mkdir()
        for name in setup["LIBS"]:
            (lib_dir / f"lib{name}.so.0.1.0").write_bytes(name.encode())
            os.symlink(f"lib{name}.so.0.1.0", lib_dir / f"lib{name}.so.0")
            os.symlink(f"lib{name}.so.0", lib_dir / f"lib{name}.so")
        copied = setup["copy_libraries"](lib_dir, package)
        laid_out = {f.name: (f.is_symlink(), f.read_bytes()) for f in package.iterdir()}
        wanted = {f"lib{name}.so.0": (False, name.encode()) for name in setup["LIBS"]}
        if laid_out != wanted or sorted(copied) != sorted(wanted):
            print(f"FAIL: setup.py lays out {laid_out}, expected {wanted}")
            return 1
    print("setup.py configures without the tests' and benchmarks' packages and copies each library once")
    return 0


if __name__ == "__main__":
    sys.exit(main())
