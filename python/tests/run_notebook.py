#!/usr/bin/env python3
"""Runs the example notebook (examples/study.ipynb) headless for CTest, on
the module and programs of a build: every cell must run without raising.

    run_notebook.py --build BUILD_DIR --notebook NOTEBOOK [--not-built REASON]

The notebook is stored without outputs (checked here); the executed copy is
written to a scratch directory, removed afterwards, so the source stays as
it is. Exit status 77 (CTest's skip) with a line "SKIPPED: <reason>" when
the module was not built or Jupyter (jupyter-nbconvert, python3-ipykernel),
pandas or Matplotlib is missing; 1 when a cell raised.

The kernel is started by nbconvert on 127.0.0.1 and shut down by it when
the notebook ends or fails (a cell over its time limit fails it); a run
that outlives the whole limit is terminated, and nbconvert with it ends
its kernel.
"""
import argparse
import importlib.util
import json
import os
import signal
import subprocess
import sys
import tempfile

SKIP = 77
CELL_TIMEOUT = 240  # seconds; a cell runs a small study in a few
WHOLE_TIMEOUT = 600


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


def stored_outputs(notebook):
    """The code cells of the notebook that carry outputs or counts."""
    with open(notebook, encoding="utf-8") as f:
        cells = json.load(f)["cells"]
    return [n for n, c in enumerate(cells) if c["cell_type"] == "code"
            and (c.get("outputs") or c.get("execution_count") is not None)]


def without_last_cell(notebook, directory):
    """A copy of the notebook without its last cell."""
    with open(notebook, encoding="utf-8") as f:
        content = json.load(f)
    content["cells"] = content["cells"][:-1]
    copy = os.path.join(directory, os.path.basename(notebook))
    with open(copy, "w", encoding="utf-8") as f:
        json.dump(content, f)
    return copy


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--notebook", required=True)
    parser.add_argument("--not-built")
    args = parser.parse_args()
    notebook = os.path.abspath(args.notebook)
    carrying = stored_outputs(notebook)
    if carrying:
        print(f"{args.notebook}: code cells {carrying} are stored with outputs; clear them "
              "(jupyter nbconvert --clear-output --inplace)")
        return 1
    if args.not_built:
        skip(f"example notebook: {args.not_built}")
    for module, package in (("nbconvert", "jupyter-nbconvert"), ("ipykernel", "python3-ipykernel"),
                            ("pandas", "python3-pandas"), ("matplotlib", "python3-matplotlib")):
        if importlib.util.find_spec(module) is None:
            skip(f"example notebook: {module} is missing for {sys.executable} "
                 f"(tools/deps.sh check installs {package})")
    build = os.path.abspath(args.build)
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"), VBSFIT_BUILD=build,
               PYTHONDONTWRITEBYTECODE="1")
    with tempfile.TemporaryDirectory(prefix="vbsfit-notebook-") as scratch:
        env["TMPDIR"] = scratch  # the notebook's study, removed with the rest
        env["JUPYTER_RUNTIME_DIR"] = os.path.join(scratch, "runtime")
        # vbsfit.compare comes with the study's history; a build without it
        # runs the notebook but its last cell, which is the comparison.
        has_compare = subprocess.call(
            [sys.executable, "-c", "import sys, vbsfit; sys.exit(not hasattr(vbsfit, 'compare'))"],
            env=env) == 0
        source = notebook if has_compare else without_last_cell(notebook, scratch)
        if not has_compare:
            print("note: this build's vbsfit has no compare(): the notebook's last cell was "
                  "not run")
        command = [sys.executable, "-m", "nbconvert", "--to", "notebook", "--execute",
                   f"--ExecutePreprocessor.timeout={CELL_TIMEOUT}",
                   "--ExecutePreprocessor.kernel_name=python3",
                   "--KernelManager.ip=127.0.0.1", "--output-dir", scratch, "--output", "executed.ipynb",
                   source]
        # Run from the notebook's own directory, as a user opening it would.
        process = subprocess.Popen(command, cwd=os.path.dirname(notebook), env=env,
                                   start_new_session=True)
        try:
            status = process.wait(timeout=WHOLE_TIMEOUT)
        except subprocess.TimeoutExpired:
            # nbconvert shuts its kernel down when it is terminated; only
            # one that does not end is killed, with its process group.
            os.killpg(process.pid, signal.SIGTERM)
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
            print(f"the notebook did not finish in {WHOLE_TIMEOUT} s")
            return 1
    if status != 0:
        print(f"{args.notebook}: a cell raised (nbconvert's status {status}); its traceback "
              "is above")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
