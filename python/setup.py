"""Builds the qobl package with the project's CMake (the extension and the libraries it needs) and lays
the libraries next to the extension, so that the installed package needs nothing else.  No network: the
build uses the project's sources one directory up and Debian's packages."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
LIBS = ("qobl", "qobm", "qobe", "qobcrt", "tvm_runtime")


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(qobl VERSION ([0-9.]+)", text).group(1)


def cmake_configure_command(build_temp, python):
    """The CMake configuration of the build behind the package: the extension and the libraries only, so
    that neither the tests' nor the benchmarks' packages are needed."""
    return ["cmake", "-S", str(ROOT), "-B", str(build_temp), "-DCMAKE_BUILD_TYPE=Release",
            "-DQOBL_BUILD_TESTS=OFF", "-DQOBL_BUILD_BENCH=OFF", "-DQOBL_PYTHON=ON",
            f"-DQOBL_PYTHON_EXECUTABLE={python}",
            # Binaries get their installed search path ($ORIGIN) right away.
            "-DCMAKE_BUILD_WITH_INSTALL_RPATH=ON"]


def copy_libraries(lib_dir, package):
    """Copies each library the extension loads into the package, once, under its soname
    (lib<name>.so.<major>, the name the loader asks for): the development link and the fully versioned
    file would be two more copies of the same bytes.  Returns the names copied."""
    copied = []
    for lib in LIBS:
        sonames = [f for f in pathlib.Path(lib_dir).glob(f"lib{lib}.so.*") if re.fullmatch(r"lib\w+\.so\.\d+", f.name)]
        if len(sonames) != 1:
            raise RuntimeError(f"expected one lib{lib}.so.<major> in {lib_dir}, found {sorted(map(str, sonames))}")
        shutil.copy2(sonames[0], pathlib.Path(package) / sonames[0].name, follow_symlinks=True)
        copied.append(sonames[0].name)
    return copied


class BuildWithCMake(build_py):
    def run(self):
        super().run()
        build_temp = pathlib.Path(self.get_finalized_command("build").build_temp).resolve() / "cmake"
        jobs = os.environ.get("QOBL_BUILD_JOBS", "2")
        subprocess.run(cmake_configure_command(build_temp, sys.executable), check=True)
        subprocess.run(["cmake", "--build", str(build_temp), "-j", jobs, "--target", "qobl_python"], check=True)
        package = pathlib.Path(self.build_lib) / "qobl"
        for ext in (build_temp / "python" / "qobl").glob("_qobl*.so"):
            shutil.copy2(ext, package / ext.name)
        copy_libraries(build_temp / "lib", package)


class BinaryDistribution(Distribution):
    def has_ext_modules(self):
        return True


setup(
    version=project_version(),
    packages=["qobl"],
    package_data={"qobl": ["__init__.pyi", "py.typed"]},
    cmdclass={"build_py": BuildWithCMake},
    distclass=BinaryDistribution,
    zip_safe=False,
)
