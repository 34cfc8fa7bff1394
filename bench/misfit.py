#!/usr/bin/python3
"""Whether the misfit rule tells the right model from a wrong one, and what
the replay shows on runs the model cannot describe exactly: vbsgen data of
known coefficients, fitted with vbsfit.fit.

    make python
    PYTHONPATH=build/python /usr/bin/python3 bench/misfit.py [--seeds N]

Misfit table: for each layout (standard: OLE2_OH, TOL, c12 by default;
ideal) and relative noise 0, 0.1 % and 1 %, over seeds 1 ... N, data made
with allgas and no6 and fitted with allgas, no56 and static:
  misses      bins of a wrong tag (one that drops reactions the data had)
              whose VOC coefficient missed its truth by more than 0.02
  flagged     how many of those were called misfit (wants all)
  right       bins fitted with the data's own tag
  flagged     how many of those were called misfit (wants none)
  drift       the highest drift of a right bin, the lowest of a miss
  replay      the highest replay error of a right bin, the lowest of a miss
(allgas on no6 data holds the truth too and is counted with neither.)

Replay table: runs with absorptive partitioning (vbsgen --partitioning,
background aerosol 0 and 2 by default), made with allgas at noise 0 and
1 %, fitted with allgas, no56, no6 and static: per tag the bins' replay
errors (median, largest), the bins' total's replay error (range), the
drift's median, the misfit bins and the verdicts of the coefficients, the
bins whose drift alone is above the misfit limit, and how many bins under
the replay limit were called misfit (wants none).
"""
import argparse
import os
import pathlib
import statistics
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
DATA_TAGS = ("allgas", "no6")
FIT_TAGS = ("allgas", "no56", "static")
NONLINEAR_TAGS = ("allgas", "no56", "no6", "static")
MISS = 0.02  # a VOC coefficient further than this from its truth is a miss


def generate(vbsgen, directory, species, tag, noise, seed, ideal, partitioning=None):
    """Writes one run; returns (workdir, true coefficients as reported)."""
    truth = os.path.join(directory, "truth")
    args = [vbsgen, "--species", species, "--tag", tag, "--seed", str(seed),
            "--output", directory, "--truth", truth]
    if noise:
        args += ["--noise", repr(noise)]
    if partitioning is not None:
        args += ["--partitioning", repr(partitioning)]
    subprocess.run(args, check=True, capture_output=True)
    workdir = directory if ideal else os.path.join(directory, "run")
    os.makedirs(workdir, exist_ok=True)
    return workdir, np.loadtxt(truth, skiprows=2)


def runs(args, tags, noises, partitioning=None):
    """Yields (layout, noise, data tag, species, inputs, truth) for every run."""
    layouts = [("standard", s, False) for s in args.species] + [("ideal", "ideal", True)]
    for layout, species, ideal in layouts:
        for noise in noises:
            for seed in range(1, args.seeds + 1):
                for tag in tags:
                    with tempfile.TemporaryDirectory() as directory:
                        workdir, truth = generate(args.vbsgen, directory, species, tag, noise,
                                                  seed, ideal, partitioning)
                        inputs = vbsfit.read_inputs(workdir, species, "0.1")
                    yield layout, noise, tag, species, inputs, truth


def span(values, pick):
    return f"{pick(values):8.4g}" if values else "       -"


def misfit_table(args):
    print("Misfit: wrong-tag bins that miss VOC by more than 0.02, and right-tag bins")
    print(f"{'layout':8s} {'noise':>6s} {'misses':>7s} {'flagged':>7s} {'right':>6s} "
          f"{'flagged':>7s} {'drift right<=':>13s} {'drift miss>=':>12s} "
          f"{'replay right<=':>14s} {'replay miss>=':>13s}")
    rows = {}
    for layout, noise, data_tag, species, inputs, truth in runs(args, DATA_TAGS, NOISES):
        row = rows.setdefault((layout, noise), {"miss": [], "right": []})
        for tag in FIT_TAGS:
            result = vbsfit.fit(**inputs, tag=tag)
            for r, f in enumerate(result.fits):
                if tag == data_tag:
                    row["right"].append(f)
                elif not (data_tag == "no6" and tag == "allgas"):
                    if abs(result.coefficients[r, 0] - truth[r, 0]) > MISS:
                        row["miss"].append(f)
    for (layout, noise), row in rows.items():
        miss, right = row["miss"], row["right"]
        print(f"{layout:8s} {noise:6.1%} {len(miss):7d} {sum(f.misfit for f in miss):7d} "
              f"{len(right):6d} {sum(f.misfit for f in right):7d} "
              f"{span([f.drift for f in right], max):>13s} "
              f"{span([f.drift for f in miss], min):>12s} "
              f"{span([f.replay_error for f in right], max):>14s} "
              f"{span([f.replay_error for f in miss], min):>13s}", flush=True)


def replay_table(args):
    for background in args.backgrounds:
        print(f"\nReplay on runs with absorptive partitioning, background aerosol {background} "
              f"(made with allgas; replay limit {vbsfit.DEFAULT_REPLAY_LIMIT})")
        print(f"{'noise':>6s} {'tag':7s} {'bin replay med':>14s} {'max':>8s} "
              f"{'total replay':>17s} {'drift med':>9s} {'misfit bins':>11s} "
              f"{'trusted':>7s} {'undet.':>6s} {'misfit':>6s} {'no eff.':>7s} "
              f"{'drifting':>8s} {'under limit, misfit':>19s}")
        tallies = {}
        for layout, noise, _, species, inputs, _ in runs(args, ("allgas",), (0.0, 0.01),
                                                         background):
            for tag in NONLINEAR_TAGS:
                result = vbsfit.fit(**inputs, tag=tag)
                t = tallies.setdefault((noise, tag), {"bins": [], "total": [], "flags": []})
                t["bins"].extend(result.fits)
                t["total"].append(result.replay_total.max_error)
                t["flags"].extend(result.flags.ravel())
        for (noise, tag), t in tallies.items():
            errors = [f.replay_error for f in t["bins"]]
            flags = t["flags"]
            under = sum(f.misfit for f in t["bins"] if f.replay_error <= vbsfit.DEFAULT_REPLAY_LIMIT)
            drifting = sum(f.drift > vbsfit.DEFAULT_MISFIT_LIMIT for f in t["bins"])
            total = f"{min(t['total']):.3g} - {max(t['total']):.3g}"
            print(f"{noise:6.1%} {tag:7s} {statistics.median(errors):14.3g} {max(errors):8.3g} "
                  f"{total:>17s} {statistics.median([f.drift for f in t['bins']]):9.3f} "
                  f"{sum(f.misfit for f in t['bins']):5d} of {len(t['bins']):3d} "
                  f"{sum(v == 'trusted' for v in flags):7d} "
                  f"{sum(v == 'undetermined' for v in flags):6d} "
                  f"{sum(v == 'misfit' for v in flags):6d} "
                  f"{sum(v == 'no effect' for v in flags):7d} {drifting:8d} {under:19d}",
                  flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=10)
    parser.add_argument("--species", nargs="+", default=["OLE2_OH", "TOL", "c12"])
    parser.add_argument("--backgrounds", nargs="+", type=float, default=[0.0, 2.0])
    parser.add_argument("--vbsgen", default=str(ROOT / "build" / "vbsgen"))
    args = parser.parse_args()
    misfit_table(args)
    replay_table(args)


if __name__ == "__main__":
    main()
