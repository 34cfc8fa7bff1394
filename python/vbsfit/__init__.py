"""vbsfit from Python: fit the six bins of a box-model simulation.

    import vbsfit
    result = vbsfit.fit(time, precursor, bins, molar_masses)
    result.coefficients      # 6 x 7: row r is target bin r+1; columns VOC, VB1 ... VB6
    result.flags             # "trusted", "undetermined", "misfit" or "no effect"
    result.results_text()    # the bytes vbsfit writes as its results file

The fit is vbsfit's own: the same stages, solver and rounding, so for 1441
records the numbers are bit for bit those of the command-line program on the
same doubles. It releases the GIL, so a thread pool fits several series at
once.
"""

from dataclasses import dataclass
import errno
import os

import numpy as np

from . import _vbsfit

from .study import read_study
from .compare import compare

__all__ = ["fit", "read_inputs", "read_study", "compare", "FitResult", "BinFit", "TERMS",
           "DEFAULT_SE_LIMIT", "DEFAULT_MISFIT_LIMIT"]

BINS = _vbsfit.BINS
TERMS = ("VOC",) + tuple(f"VB{j}" for j in range(1, BINS + 1))
DEFAULT_SE_LIMIT = _vbsfit.DEFAULT_SE_LIMIT
DEFAULT_MISFIT_LIMIT = _vbsfit.DEFAULT_MISFIT_LIMIT


@dataclass(frozen=True)
class BinFit:
    """How well the fit of one target bin describes its rates of change."""
    bin: int                # 1 ... 6
    rss: float              # residual sum of squares
    rms: float              # sqrt(rss / intervals)
    r_squared: float        # 1 - rss / total sum of squares (NaN for constant data)
    autocorrelation: float  # lag 1, of the residuals (NaN when they are all zero)
    misfit: bool            # autocorrelation above the misfit limit


@dataclass(frozen=True, eq=False)
class FitResult:
    """The fit of six target bins; row r of each 6 x 7 table is target bin r+1,
    column c its term TERMS[c] (the precursor, then bins 1 ... 6)."""
    coefficients: np.ndarray     # 6 x 7, as the results file reports them
    standard_errors: np.ndarray  # 6 x 7
    ols_standard_errors: np.ndarray  # 6 x 7, from s^2 (A'A)^-1 alone, for comparison
    flags: np.ndarray            # 6 x 7 strings: each coefficient's verdict
    fits: tuple                  # six BinFit
    rates: np.ndarray            # KP, K(1) ... K(6), per second
    mean_molar_masses: np.ndarray  # 6 (zero without molar masses)
    records: int
    _results: bytes

    def results_text(self):
        """The bytes vbsfit writes as its results file for this fit."""
        return self._results

    def __repr__(self):
        misfits = [f.bin for f in self.fits if f.misfit]
        return (f"<vbsfit.FitResult of {self.records} records; misfit bins: "
                f"{misfits if misfits else 'none'}>")


def _series(name, values, records=None):
    try:
        array = np.ascontiguousarray(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"vbsfit.fit: {name} cannot be read as numbers ({error})") from None
    if array.ndim != 1:
        raise ValueError(f"vbsfit.fit: {name} must be 1-D (one value per record); "
                         f"it has shape {array.shape}")
    if records is not None and array.shape[0] != records:
        raise ValueError(f"vbsfit.fit: {name} has {array.shape[0]} records; "
                         f"time has {records}")
    return array


def _table(name, values, records):
    try:
        array = np.ascontiguousarray(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"vbsfit.fit: {name} cannot be read as numbers ({error})") from None
    if array.ndim != 2 or array.shape[1] != BINS:
        raise ValueError(f"vbsfit.fit: {name} must be 2-D with {BINS} columns (one per bin, "
                         f"a row per record); it has shape {array.shape}")
    if array.shape[0] != records:
        raise ValueError(f"vbsfit.fit: {name} has {array.shape[0]} records; "
                         f"time has {records}")
    return array


def fit(time, precursor, bins, molar_masses=None, species="OLE2_OH", tag="allgas",
        rates=None, se_limit=DEFAULT_SE_LIMIT, misfit_limit=DEFAULT_MISFIT_LIMIT):
    """Fits the six target bins of one simulation.

    time, precursor: 1-D, one value per record (at least 2 records; time in
    seconds, increasing). bins, molar_masses: 2-D, a row per record and a
    column per bin; without molar masses their means are 0, as in vbsfit's
    ideal layout. The rate constants come from vbsfit's species table and
    the tag's rules ("static", "no56", "no6"), or are given as rates: KP and
    K(1) ... K(6), taken as they are.

    Each coefficient has one verdict, in flags: "no effect" when its column
    is zero; "misfit" when its bin's residuals' lag-1 autocorrelation
    exceeds misfit_limit (the model does not describe that bin's data,
    whatever the error); otherwise "trusted" when its standard error is at
    most se_limit and its column independent of the others, "undetermined"
    when not. These are the words of study.sqlite and coefficients.csv.

    Raises ValueError for input that cannot be fitted and RuntimeError, naming
    the target bin, when the solver stops.
    """
    time = _series("time", time)
    records = time.shape[0]
    precursor = _series("precursor", precursor, records)
    bins = _table("bins", bins, records)
    if molar_masses is not None:
        molar_masses = _table("molar_masses", molar_masses, records)
    if rates is not None:
        rates = np.asarray(rates, dtype=np.float64)
        if rates.shape != (BINS + 1,):
            raise ValueError(f"vbsfit.fit: rates must hold KP and K(1) ... K(6), "
                             f"7 values; it has shape {rates.shape}")
        rates = [float(r) for r in rates]
    for name, value in (("se_limit", se_limit), ("misfit_limit", misfit_limit)):
        if not isinstance(value, (int, float, np.floating, np.integer)) or np.isnan(value):
            raise ValueError(f"vbsfit.fit: {name} must be a number; it is {value!r}")
    for name, value in (("species", species), ("tag", tag)):
        if not isinstance(value, str):
            raise ValueError(f"vbsfit.fit: {name} must be a string; it is {value!r}")

    out = _vbsfit.fit(time, precursor, bins, molar_masses, species, tag, rates,
                      float(se_limit), float(misfit_limit))
    ending = out["ending"]
    if ending["kind"] == "input":
        raise ValueError(f"vbsfit.fit: {ending['message']}")
    if ending["kind"] == "solver":
        r = ending["bin"]
        message = ending["message"].removeprefix(f"solve for bin {r}: ")
        raise RuntimeError(f"vbsfit.fit: the solve for target bin {r} (VB{r}) stopped: "
                           f"{message}")
    if ending["kind"] != "finished":
        raise RuntimeError(f"vbsfit.fit: ended with message {ending['status']}: "
                           f"{ending['message']}")

    fits = tuple(BinFit(bin=r + 1, misfit=bool(f["autocorrelation"] > misfit_limit), **f)
                 for r, f in enumerate(out["fits"]))
    return FitResult(coefficients=out["coefficients"],
                     standard_errors=out["standard_errors"],
                     flags=np.array(out["flags"], dtype=object), fits=fits, rates=out["rates"],
                     mean_molar_masses=out["mean_molar_masses"],
                     records=out["records"], _results=out["results_text"],
                     ols_standard_errors=out["ols_standard_errors"])


# What a numbered message of a read says in plain words, and what to do.
_READ_HINTS = {
    24: "the file ends before its 1441st data record",
    59: "a value cannot be read as a number",
    64: "a value cannot be read as a number",
}


def read_inputs(workdir, species, scenario):
    """Reads one configuration's input files as vbsfit does, relative to
    workdir as its working directory: the standard layout
    (../INPUTS_ODE/5days/<scenario>_aer.<species>/) or, for the ideal
    species, aer.precursor.ideal and aer.ideal in workdir. Returns a dict of
    the arrays keyed as fit's parameters (molar_masses None in the ideal
    layout), so that fit(**read_inputs(w, "TOL", "0.1"), species="TOL")
    fits them.

    Raises FileNotFoundError for a missing file and ValueError for one that
    cannot be read, naming the file.
    """
    for name, value in (("species", species), ("scenario", scenario)):
        if not isinstance(value, str):
            raise ValueError(f"vbsfit.read_inputs: {name} must be a string; it is {value!r}")
    out = _vbsfit.read_inputs(os.fspath(workdir), species, scenario)
    ending = out.pop("ending")
    if ending["kind"] == "finished":
        return out
    message = f"vbsfit.read_inputs: {ending['message']}"
    status = ending["status"]
    if status in _READ_HINTS:
        message += f" ({_READ_HINTS[status]})"
    if status == 29:
        raise FileNotFoundError(errno.ENOENT, message)
    if status == 9:
        raise PermissionError(errno.EACCES, message)
    if ending["kind"] == "diagnostic" and status not in _READ_HINTS:
        raise OSError(message)
    raise ValueError(message)
