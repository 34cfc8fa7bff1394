"""The extension vbsfit._vbsfit, compiled from vbsfit's own sources (../src)
with the flags its CMake build uses for them: C++20, -O2, and no fused or
reordered floating-point operations, so that the numbers are the program's.
The rest of the package's description is in pyproject.toml."""
import os
import pathlib
import subprocess

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE.parent / "src"
LIBRARY = ["config", "diagnostics", "textio", "declare", "boundedls", "driver", "quality"]


def eigen_include():
    try:
        flags = subprocess.run(["pkg-config", "--cflags-only-I", "eigen3"], check=True,
                               capture_output=True, text=True).stdout.split()
        return [flag[2:] for flag in flags]
    except (OSError, subprocess.CalledProcessError):
        return ["/usr/include/eigen3"]  # where Debian's libeigen3-dev puts it


# Relative to this directory, from which pip runs the build (setuptools takes
# no absolute source paths).
sources = ["src/binding.cpp"]
for folder in LIBRARY:
    sources += sorted(os.path.relpath(p, HERE) for p in (SOURCE / folder).glob("*.cpp")
                      if p.name != "main.cpp")

setup(ext_modules=[Pybind11Extension(
    "vbsfit._vbsfit", sources, include_dirs=["../src"] + eigen_include(), cxx_std=20,
    extra_compile_args=["-O2", "-ffp-contract=off", "-fno-fast-math"])])
