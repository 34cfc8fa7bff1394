#!/usr/bin/python3
"""vbsfit.fit against scipy.optimize.lsq_linear (method "trf") on the bundled
example's six bounded problems, side by side: time per fit (all six target
bins) and the largest difference between their coefficients.

    make python
    PYTHONPATH=build/python /usr/bin/python3 bench/python_vs_scipy.py [--repeat N]

The SciPy side is what a hand-written script does: the same design matrix
and right-hand sides formed with NumPy, one lsq_linear call per target bin.
Needs Debian's python3-scipy.
"""
import argparse
import pathlib
import statistics
import sys
import time

import numpy as np

try:
    from scipy.optimize import lsq_linear
except ImportError:
    sys.exit("SciPy is missing for this interpreter: apt-get install python3-scipy")
try:
    import vbsfit
except ImportError:
    sys.exit("vbsfit is missing: run `make python` and set PYTHONPATH=build/python")

ROOT = pathlib.Path(__file__).resolve().parents[1]
RUN = ROOT / "examples" / "run"


def scipy_fit(inputs, rates):
    """The six solves with lsq_linear: the coefficients as vbsfit reports them."""
    t, p, y = inputs["time"], inputs["precursor"], inputs["bins"]
    dt = np.diff(t)
    a = np.column_stack([rates[0] * (p[1:] + p[:-1]) * 0.5]
                        + [rates[j] * (y[1:, j - 1] + y[:-1, j - 1]) * 0.5 for j in range(1, 7)])
    rows = []
    for r in range(1, 7):
        lower, upper = np.zeros(7), np.full(7, 10000.0)
        lower[r], upper[r] = -1.0, 0.0
        b = (y[1:, r - 1] - y[:-1, r - 1]) / dt
        x = lsq_linear(a, b, bounds=(lower, upper), method="trf").x
        x[r] += 1.0
        rows.append(x)
    return np.array(rows)


def per_fit(function, repeat):
    """The median wall time of one call, in milliseconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=20, help="fits timed per side (20)")
    args = parser.parse_args()
    inputs = vbsfit.read_inputs(RUN, "OLE2_OH", "0.1")
    result = vbsfit.fit(**inputs)
    theirs = scipy_fit(inputs, result.rates)
    ours_ms = per_fit(lambda: vbsfit.fit(**inputs), args.repeat)
    theirs_ms = per_fit(lambda: scipy_fit(inputs, result.rates), args.repeat)
    difference = np.abs(result.coefficients - theirs)
    r, c = np.unravel_index(np.argmax(difference), difference.shape)
    determined = result.flags == "determined"
    print(f"bundled example, 1441 records, six target bins; median of {args.repeat} fits")
    print(f"{'':32}{'time per fit':>14}")
    print(f"{'vbsfit.fit':32}{ours_ms:11.2f} ms")
    print(f"{'scipy lsq_linear (trf), x6':32}{theirs_ms:11.2f} ms")
    print(f"largest coefficient difference: {difference.max():.3g} "
          f"(target bin {r + 1}, term {vbsfit.TERMS[c]}, flagged {result.flags[r, c]})")
    print(f"largest among determined coefficients: {difference[determined].max():.3g}")


if __name__ == "__main__":
    main()
