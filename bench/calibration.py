#!/usr/bin/python3
"""Whether the standard errors mean what they say: vbsgen data of known
coefficients, fitted with vbsfit.fit, and the coverage table of the errors.

    make python
    PYTHONPATH=build/python /usr/bin/python3 bench/calibration.py [--seeds N]

For each layout (standard: OLE2_OH, TOL, c12 by default; ideal), relative
noise 0, 0.1 % and 1 %, and tag (the data's own, and tags that drop
reactions the data have), over seeds 1 ... N it prints, among the
coefficients outside misfit bins:
  trusted      how many were called trusted (determined, outside misfit bins)
  cover        the share of those whose 95 % interval, value +- 1.96 se,
               holds the truth
  median       the median |(estimate - truth) / se| of those (0.67 for
               errors that mean what they say)
  ols median   the same ratio with the OLS figure (ols_standard_errors)
  undetermined how many were called undetermined (finite error above the
               limit, or a dependent column)
  within       the share of those within 0.02 of the truth anyway
  free ...     the same three among the coefficients strictly inside their
               bounds (an estimate at a bound sits on the truth whenever the
               truth is that bound, as most absent terms' 0 is)
Coefficients of no effect (K(j) = 0) are left out. Wants cover 0.90 to 0.98
and median 0.5 to 0.9 at noise 0.1 % and 1 % with the data's own tag.
"""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

import numpy as np

try:
    import vbsfit
except ImportError:
    sys.exit("vbsfit is missing: run `make python` and set PYTHONPATH=build/python")

ROOT = pathlib.Path(__file__).resolve().parents[1]
NOISES = (0.0, 0.001, 0.01)
DATA_TAG = "allgas"
FIT_TAGS = ("allgas", "no56", "static")  # the data's own first
WITHIN = 0.02


def generate(vbsgen, directory, species, noise, seed, ideal):
    """Writes one run; returns (workdir, true coefficients as reported)."""
    truth = os.path.join(directory, "truth")
    args = [vbsgen, "--species", species, "--tag", DATA_TAG, "--seed", str(seed),
            "--output", directory, "--truth", truth]
    if noise:
        args += ["--noise", repr(noise)]
    if ideal:
        args += ["--allow-unknown-species"]
    subprocess.run(args, check=True, capture_output=True)
    workdir = directory if ideal else os.path.join(directory, "run")
    os.makedirs(workdir, exist_ok=True)
    return workdir, np.loadtxt(truth, skiprows=2)


class Tally:
    def __init__(self):
        self.ratio, self.ols_ratio, self.within = [], [], []
        self.free_ratio, self.free_within = [], []

    def add(self, result, truth):
        for r, fit in enumerate(result.fits):
            if fit.misfit:
                continue
            for c in range(len(vbsfit.TERMS)):
                flag = result.flags[r, c]
                value = result.coefficients[r, c]
                error = abs(value - truth[r, c])
                bounds = (0.0, 1.0) if c == r + 1 else (0.0, 10000.0)
                free = value not in bounds
                if flag == "trusted":
                    self.ratio.append(error / result.standard_errors[r, c])
                    self.ols_ratio.append(error / result.ols_standard_errors[r, c])
                    if free:
                        self.free_ratio.append(self.ratio[-1])
                elif flag == "undetermined":
                    self.within.append(error <= WITHIN)
                    if free:
                        self.free_within.append(error <= WITHIN)

    def row(self):
        ratio = np.array(self.ratio)
        free = np.array(self.free_ratio)
        def share(values):
            return f"{np.mean(values):6.3f}" if len(values) else "     -"
        def median(values):
            return f"{np.median(values):8.3f}" if len(values) else "       -"
        return (f"{len(ratio):10d} {share(ratio <= 1.96)} {median(ratio)} "
                f"{median(self.ols_ratio)} {len(self.within):12d} {share(self.within)} "
                f"{share(free <= 1.96):>10s} {median(free)} {share(self.free_within):>11s}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=20)
    parser.add_argument("--species", nargs="+", default=["OLE2_OH", "TOL", "c12"])
    parser.add_argument("--vbsgen", default=str(ROOT / "build" / "vbsgen"))
    args = parser.parse_args()

    print(f"{'layout':8s} {'noise':>6s} {'tag':7s} {'trusted':>10s} {'cover':>6s} "
          f"{'median':>8s} {'ols med':>8s} {'undetermined':>12s} {'within':>6s} "
          f"{'free cover':>10s} {'free med':>8s} {'free within':>11s}")
    for ideal in (False, True):
        species_list = ["ideal"] if ideal else args.species
        for noise in NOISES:
            tallies = {tag: Tally() for tag in FIT_TAGS}
            for species in species_list:
                for seed in range(1, args.seeds + 1):
                    with tempfile.TemporaryDirectory() as directory:
                        workdir, truth = generate(args.vbsgen, directory, species, noise,
                                                  seed, ideal)
                        inputs = vbsfit.read_inputs(workdir, species, "0.1")
                    for tag in FIT_TAGS:
                        tallies[tag].add(vbsfit.fit(**inputs, tag=tag), truth)
            for tag in FIT_TAGS:
                layout = "ideal" if ideal else "standard"
                print(f"{layout:8s} {noise:6.3%} {tag:7s} {tallies[tag].row()}", flush=True)


if __name__ == "__main__":
    main()
