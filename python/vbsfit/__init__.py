"""vbsfit from Python: fit the six bins of a box-model simulation.

    import vbsfit
    result = vbsfit.fit(time, precursor, bins, molar_masses)
    result.coefficients      # 6 x 7: row r is target bin r+1; columns VOC, VB1 ... VB6
    result.flags             # "trusted", "undetermined", "misfit" or "no effect"
    result.replayed_bins     # the bins replayed by the fitted model alone, records x 6
    result.fits[r].replay_error  # target bin r+1's replay error (largest error / peak)
    result.results_text()    # the bytes vbsfit writes as its results file

The fit is vbsfit's own: the same stages, solver and rounding, so for 1441
records the numbers are bit for bit those of the command-line program on the
same doubles. It releases the GIL, so a thread pool fits several series at
once.
"""

from dataclasses import dataclass
import csv
import errno
import io
import os
import re
import sys
import warnings

try:
    import numpy as np
except ImportError as _error:  # a pyenv, conda or venv python3 first on PATH
    raise ImportError(
        f"vbsfit needs NumPy, which {sys.executable} does not have; the module is built for "
        "Debian's /usr/bin/python3 with its python3-numpy: run it with /usr/bin/python3 "
        "(PYTHONPATH=build/python /usr/bin/python3)") from _error

from . import _vbsfit

from .study import read_study
from .compare import compare
from .plots import plot_compare, plot_study

__all__ = ["fit", "read_inputs", "read_study", "compare", "list_species", "plot_study", "plot_compare",
           "FitResult", "BinFit", "ReplayError", "TERMS", "DEFAULT_SE_LIMIT",
           "DEFAULT_MISFIT_LIMIT", "DEFAULT_REPLAY_LIMIT"]

BINS = _vbsfit.BINS
TERMS = ("VOC",) + tuple(f"VB{j}" for j in range(1, BINS + 1))
DEFAULT_SE_LIMIT = _vbsfit.DEFAULT_SE_LIMIT
DEFAULT_MISFIT_LIMIT = _vbsfit.DEFAULT_MISFIT_LIMIT
DEFAULT_REPLAY_LIMIT = _vbsfit.DEFAULT_REPLAY_LIMIT


@dataclass(frozen=True)
class BinFit:
    """How well the fit of one target bin describes its rates of change."""
    bin: int                # 1 ... 6
    rss: float              # residual sum of squares
    rms: float              # sqrt(rss / intervals)
    r_squared: float        # 1 - rss / total sum of squares (NaN for constant data)
    autocorrelation: float  # lag 1, of the residuals (NaN when they are all zero)
    misfit: bool            # drift above misfit_limit and replay_error above replay_limit
    drift: float = float("nan")  # lag 1 of the residuals' running sum (each times its
                                 # interval): the model's error in the stored values
    replay_error: float = float("nan")      # the replayed bin's largest error over its peak
    replay_rms_error: float = float("nan")  # its RMS error over its mean


@dataclass(frozen=True)
class ReplayError:
    """How far a replayed series lies from the observed one (NaN: not known)."""
    max_error: float  # the largest |replayed - observed| over the observed peak
    rms_error: float  # the RMS of replayed - observed over the observed mean


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
    # Per target bin, interval by interval: its rate of change (observed)
    # and the fitted combination of the reaction rates; both per second.
    rates_of_change: np.ndarray = None  # intervals x 6
    fitted_rates: np.ndarray = None     # intervals x 6
    interval_times: np.ndarray = None   # each interval's midpoint, in seconds
    time: np.ndarray = None             # the records fitted: their times (s)
    bins: np.ndarray = None             # and their bins, records x 6
    # The fit replayed: its coefficients run as the model alone from the first
    # record's bins, driven by the observed precursor (records x 6; None when
    # the replay could not be taken, replay_problem says why).
    replayed_bins: np.ndarray = None
    replay_total: ReplayError = ReplayError(float("nan"), float("nan"))  # of the bins' total
    replay_mass: ReplayError = ReplayError(float("nan"), float("nan"))   # weighted by the mean
                                                                         # molar masses
    replay_problem: str = ""

    def results_text(self):
        """The bytes vbsfit writes as its results file for this fit."""
        return self._results

    def plot(self, bins=None, file=None):
        """A figure of each target bin's fit, a row per bin: its observed
        values over time, its rates of change with the fit's, and the
        residuals. `bins` chooses target bins (1 ... 6; default all); `file`
        saves the figure there (the format from its suffix). Returns the
        Matplotlib Figure (imported only now)."""
        from .plots import plot_fit
        return plot_fit(self, bins=bins, file=file)

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


def _species_table(species_table, caller):
    """The text of a species table (its file's, or the given rows written
    as one) and the name its refusals give it; ("", "") for none."""
    if species_table is None:
        return "", ""
    if isinstance(species_table, (str, bytes, os.PathLike)):
        path = os.fsdecode(species_table)
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as error:
            raise type(error)(error.errno, f"vbsfit.{caller}: cannot read the species table "
                              f"{path}: {error.strerror}") from None
        try:
            return data.decode("utf-8"), path
        except UnicodeDecodeError:
            raise ValueError(f"vbsfit.{caller}: the species table {path} is not UTF-8 "
                             "text") from None
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(_SPECIES_COLUMNS)
    try:
        # A DataFrame (list_species() into pandas) by its rows, not its columns.
        rows = (species_table.to_dict("records") if hasattr(species_table, "to_dict")
                else list(species_table))
    except TypeError:
        raise ValueError(f"vbsfit.{caller}: species_table must be a path or rows (dicts with "
                         f"the keys {', '.join(_SPECIES_COLUMNS)}, or sequences in that "
                         f"order); it is {species_table!r}") from None
    for row in rows:
        if isinstance(row, dict):
            row = [row.get(k, "standard" if k == "layout" else "") for k in _SPECIES_COLUMNS]
        writer.writerow([repr(float(v)) if isinstance(v, (float, np.floating)) else v
                         for v in row])
    return out.getvalue(), _ROWS_NAME


_SPECIES_COLUMNS = ("species", "kp", "multiplier", "multiplier6", "layout")
_ROWS_NAME = "species_table"


def _table_call(caller, function, *args):
    """Calls the extension with a species table, its refusal a ValueError
    in the caller's name (rows counted from 0, as the caller gave them)."""
    try:
        return function(*args)
    except ValueError as error:
        message = str(error)
        match = re.match(rf"{re.escape(_ROWS_NAME)} line (\d+): ", message)
        if match:
            message = f"species_table row {int(match.group(1)) - 2}: " + message[match.end():]
        raise ValueError(f"vbsfit.{caller}: {message}") from None


def _check_names(caller, table, species, tag, allow_unknown_species):
    """Refuses what vbsfit-batch refuses (a tag that looks like a misspelt
    tag rule, a species no table has) and warns of what it warns of.
    Returns how the species runs (its source, layout and rate constants)."""
    choice = _table_call(caller, _vbsfit.resolve, *table, species, tag, allow_unknown_species)
    if choice["tag_refusal"]:
        raise ValueError(f"vbsfit.{caller}: {choice['tag_refusal']}")
    if choice["species_refusal"]:
        raise ValueError(f"vbsfit.{caller}: {choice['species_refusal']} (names are "
                         "case-sensitive; vbsfit.list_species() shows the table, "
                         "species_table= adds species, allow_unknown_species=True fits it "
                         "with the default rate constants)")
    if choice["tag_warning"]:
        warnings.warn(f"vbsfit.{caller}: {choice['tag_warning']}", UserWarning, stacklevel=3)
    return choice


def list_species(species_table=None):
    """The species table, as vbsfit-batch --list-species prints it: the
    built-in rows (each replaced by species_table's row of its name), then
    species_table's other rows. One dict per row: "species", "kp",
    "multiplier", "multiplier6" (single-precision numbers, in the shortest
    text that reads back to them) and "layout" ("standard" or "ideal").
    Rows of this list serve as species_table= as they are."""
    table = _species_table(species_table, "list_species")
    text = _table_call("list_species", _vbsfit.species_list, *table)
    lines = [line for line in text.splitlines() if line and not line.startswith("#")]
    rows = []
    for record in csv.DictReader(lines):
        rows.append({k: (float(v) if k in ("kp", "multiplier", "multiplier6") else v)
                     for k, v in record.items()})
    return rows


def fit(time, precursor, bins, molar_masses=None, species=None, tag="allgas", rates=None,
        se_limit=DEFAULT_SE_LIMIT, misfit_limit=DEFAULT_MISFIT_LIMIT, scenario=None,
        species_table=None, allow_unknown_species=False, replay_limit=DEFAULT_REPLAY_LIMIT):
    """Fits the six target bins of one simulation.

    time, precursor: 1-D, one value per record (at least 2 records; time in
    seconds, increasing). bins, molar_masses: 2-D, a row per record and a
    column per bin; without molar masses their means are 0, as in vbsfit's
    ideal layout. The dict read_inputs returns holds all of these with the
    species and scenario, so fit(**vbsfit.read_inputs(...), tag="no6") fits a
    configuration's files.

    The rate constants come from the species' row (species_table's, as
    vbsfit-batch --species-table gives it, a path or rows, else the built-in
    table's) and the tag's rules ("static", "no56", "no6"), or are given as
    rates: KP and K(1) ... K(6), taken as they are (species is then a label).
    A species is needed unless rates are given; one that no table has, or a
    tag that looks like a misspelt tag rule ("No-6"), is refused as
    vbsfit-batch refuses it, with the names it may have meant
    (allow_unknown_species=True fits an unknown species with the default
    rate constants, as vbsfit does); a tag one edit from a tag name
    ("alllgas") is fitted with a warning. The scenario is a label here.

    Each coefficient has one verdict, in flags: "no effect" when its column
    is zero; "misfit" when its bin's drift (the lag-1 autocorrelation of
    the residuals' running sum, each times its interval) exceeds
    misfit_limit and its replay error exceeds replay_limit (the model leaves
    a systematic error in that bin's data, whatever the standard error);
    otherwise "trusted" when its standard error is at
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
    for name, value in (("se_limit", se_limit), ("misfit_limit", misfit_limit),
                        ("replay_limit", replay_limit)):
        if not isinstance(value, (int, float, np.floating, np.integer)) or np.isnan(value):
            raise ValueError(f"vbsfit.fit: {name} must be a number; it is {value!r}")
    if species is None:
        if rates is None:
            raise ValueError("vbsfit.fit: no species given: name it (species=\"TOL\"; "
                             "vbsfit.list_species() lists them), fit the dict read_inputs "
                             "returns, which names it, or give the rates")
        species = "given"  # a label: the rates say everything
    if scenario is None:
        scenario = _vbsfit.DEFAULT_SCENARIO
    for name, value in (("species", species), ("scenario", scenario), ("tag", tag)):
        if not isinstance(value, str):
            raise ValueError(f"vbsfit.fit: {name} must be a string; it is {value!r}")
    if rates is None:
        table = _species_table(species_table, "fit")
        choice = _check_names("fit", table, species, tag, allow_unknown_species)
        if choice["source"] == "file":
            rates = choice["rates"]  # the table file's row, as the batch hands it to the run
    else:  # the species is a label; a misspelt tag rule is still refused
        _check_names("fit", ("", ""), species, tag, True)

    out = _vbsfit.fit(time, precursor, bins, molar_masses, species, scenario, tag, rates,
                      float(se_limit), float(misfit_limit), float(replay_limit))
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

    fits = tuple(BinFit(bin=r + 1, **f) for r, f in enumerate(out["fits"]))
    return FitResult(coefficients=out["coefficients"],
                     standard_errors=out["standard_errors"],
                     flags=np.array(out["flags"], dtype=object), fits=fits, rates=out["rates"],
                     mean_molar_masses=out["mean_molar_masses"],
                     records=out["records"], _results=out["results_text"],
                     ols_standard_errors=out["ols_standard_errors"],
                     rates_of_change=out["rates_of_change"],
                     fitted_rates=out["fitted_rates"],
                     interval_times=(time[1:] + time[:-1]) / 2, time=time, bins=bins,
                     replayed_bins=out["replayed_bins"],
                     replay_total=ReplayError(*out["replay_total"]),
                     replay_mass=ReplayError(*out["replay_mass"]),
                     replay_problem=out["replay_problem"])


# What a numbered message of a read says in plain words, and what to do.
_READ_HINTS = {
    24: "the file ends before its 1441st data record",
    59: "a value cannot be read as a number",
    64: "a value cannot be read as a number",
}


def _working_directory(directory, layout_ideal):
    """The working directory a run of `directory` reads from, and the text
    to show for the one it gives messages (None when they stand as they
    are). `directory` is a working directory (existing or not) beside
    INPUTS_ODE, or the directory that holds INPUTS_ODE."""
    inputs = _vbsfit.INPUTS_DIRECTORY
    holds = os.path.isdir(os.path.join(directory, inputs))
    if layout_ideal or (os.path.isdir(directory) and not holds):
        return directory, None
    parent = directory if holds else os.path.dirname(os.path.normpath(directory)) or "."
    # The readers look in ../INPUTS_ODE of the working directory they are
    # given; INPUTS_ODE itself is one that exists, whose parent is `parent`.
    workdir = os.path.join(parent, inputs)
    return workdir, (os.path.join(workdir, "..", inputs), os.path.join(parent, inputs))


def read_inputs(directory, species, scenario, species_table=None, allow_unknown_species=False):
    """Reads one configuration's input files as vbsfit does. `directory` is
    the directory that holds INPUTS_ODE, or a working directory beside it
    (such as run/, whether or not it exists yet): the standard layout's
    files are INPUTS_ODE/5days/<scenario>_aer.<species>/; the ideal layout's
    (a species whose row says so, such as "ideal") aer.precursor.ideal and
    aer.ideal in the working directory. The species is refused, as
    vbsfit-batch refuses it, when no table has it; species_table (a path or
    rows, as fit takes it) adds species and may change their layout.

    Returns a dict keyed as fit's parameters: "time", "precursor", "bins",
    "molar_masses" (None in the ideal layout), "species" and "scenario",
    and "species_table" and "allow_unknown_species" when they were given,
    so that fit(**read_inputs(d, "TOL", "0.1"), tag="no6") fits them with
    the species' rate constants.

    Raises FileNotFoundError for a missing file and ValueError for one that
    cannot be read, naming the file.
    """
    for name, value in (("species", species), ("scenario", scenario)):
        if not isinstance(value, str):
            raise ValueError(f"vbsfit.read_inputs: {name} must be a string; it is {value!r}")
    directory = os.fspath(directory)
    table = _species_table(species_table, "read_inputs")
    choice = _table_call("read_inputs", _vbsfit.resolve, *table, species, "allgas",
                         allow_unknown_species)
    if choice["species_refusal"]:
        raise ValueError(f"vbsfit.read_inputs: {choice['species_refusal']} (names are "
                         "case-sensitive; vbsfit.list_species() shows the table, "
                         "species_table= adds species, allow_unknown_species=True reads "
                         "it in the standard layout)")
    workdir, shown = _working_directory(directory, choice["ideal"])
    out = _table_call("read_inputs", _vbsfit.read_inputs, workdir, species, scenario, *table)
    ending = out.pop("ending")
    if ending["kind"] == "finished":
        named = dict(out, species=species, scenario=scenario)
        if species_table is not None:
            named["species_table"] = species_table  # so that fit takes the same row
        if allow_unknown_species:
            named["allow_unknown_species"] = True
        return named
    text = ending["message"]
    if shown is not None:
        text = text.replace(*shown)
    message = f"vbsfit.read_inputs: {text}"
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
