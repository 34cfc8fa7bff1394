"""Shared by the tests: where the build and the bundled example are, and
simulations made with the build's vbsgen from known coefficients."""
import os
import pathlib
import shutil
import subprocess

import numpy as np
import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VBSFIT_BUILD", SOURCE / "build"))


# What a study of schema 4 lacks, as SQL that takes a study of this version
# back to it: the history and batch log, the replay and the drift, and the
# inputs' format (PRAGMA user_version left to the caller).
BEFORE_VERSION_5 = (
    "DROP TABLE batch_log; DROP TABLE history_fits; DROP TABLE history_coefficients; "
    "DROP TABLE history; ALTER TABLE batches DROP COLUMN kind; "
    "ALTER TABLE batches DROP COLUMN replay_limit; "
    + "".join(f"ALTER TABLE configurations DROP COLUMN {c}; "
              for c in ("fit", "ran_by", "input_format", "input_variables", "replay_total_error",
                        "replay_total_rms_error", "replay_mass_error", "replay_mass_rms_error"))
    + "".join(f"ALTER TABLE fits DROP COLUMN {c}; "
              for c in ("drift", "replay_error", "replay_rms_error")))


def program(name):
    path = BUILD / name
    if not path.exists():
        pytest.fail(f"{path} is missing: build it first (cmake --build build)")
    return path


@pytest.fixture
def example(tmp_path):
    """A scratch copy of examples/ in which build/vbsfit has run: its run
    directory, with the results file the program wrote."""
    shutil.copytree(SOURCE / "examples", tmp_path, dirs_exist_ok=True)
    run = tmp_path / "run"
    (run / "FITS").mkdir(exist_ok=True)
    subprocess.run([program("vbsfit")], cwd=run, check=True, stdout=subprocess.DEVNULL)
    return run


def numbers(path, skip):
    """The numbers of a text file after its first `skip` numbers (headers)."""
    return np.array([float(v) for v in path.read_text().split()[skip:]])


def simulate(directory, records, tag="allgas", seed=1, noise=0.0):
    """A run of the species "ideal" (its layout carries 14 digits) made by
    vbsgen: the arrays fit takes, and the true coefficients (6 x 7)."""
    directory = pathlib.Path(directory)
    subprocess.run([program("vbsgen"), "--species", "ideal", "--records", str(records),
                    "--tag", tag, "--seed", str(seed), "--noise", str(noise),
                    "--output", str(directory)], check=True, stdout=subprocess.DEVNULL)
    text = (directory / "aer.precursor.ideal").read_text().split("\n", 1)[1]
    precursor = np.array(text.split(), dtype=float).reshape(-1, 2)
    text = (directory / "aer.ideal").read_text().split("\n", 1)[1]
    bins = np.array([float(v) for v in text.split()]).reshape(-1, 7)
    truth_lines = (directory / f"true_coef.ideal.0.1.{tag}").read_text().splitlines()[2:8]
    truth = np.array([[float(v) for v in line.split()] for line in truth_lines])
    assert precursor.shape[0] == records and bins.shape[0] == records
    arrays = {"time": bins[:, 0], "precursor": precursor[:, 1], "bins": bins[:, 1:]}
    return arrays, truth
