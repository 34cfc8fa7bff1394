#!/usr/bin/env python3
"""Runs the Python module's tests (pytest) for CTest, on the module of a build.

    run_pytest.py --build BUILD_DIR [--not-built REASON]

Exit status 77 (CTest's skip) with a line "SKIPPED: <reason>" when the module
was not built or NumPy or pytest is missing; otherwise pytest's own status,
except that pytest's 5 (no tests collected) is a failure, never a pass.
"""
import argparse
import importlib.util
import os
import subprocess
import sys

SKIP = 77
NO_TESTS_COLLECTED = 5


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--not-built")
    args = parser.parse_args()
    if args.not_built:
        skip(f"Python module: {args.not_built}")
    for module, package in (("numpy", "python3-numpy"), ("pytest", "python3-pytest")):
        if importlib.util.find_spec(module) is None:
            skip(f"Python module: {module} is missing for {sys.executable} "
                 f"(apt-get install {package})")
    package_dir = os.path.join(os.path.abspath(args.build), "python")
    env = dict(os.environ, PYTHONPATH=package_dir, VBSFIT_BUILD=os.path.abspath(args.build),
               PYTHONDONTWRITEBYTECODE="1")
    tests = os.path.dirname(os.path.abspath(__file__))
    status = subprocess.call([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                              tests], env=env)
    if status == NO_TESTS_COLLECTED:
        print("pytest collected no tests: counted as a failure")
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
