"""Two fits of a study's configurations compared coefficient by coefficient,
as vbsfit-batch --compare writes them into compare.csv: pure Python, with the
standard library's sqlite3 and pandas."""

import math
import os

from .study import _connect, _reason, read_study

COLUMNS = ["species", "scenario", "tag", "bin", "term", "value_a", "value_b", "change",
           "standard_error_a", "standard_error_b", "combined_standard_error",
           "change_in_standard_errors", "verdict_a", "verdict_b", "replay_error_a",
           "replay_error_b"]
HISTORY_SCHEMA_VERSION = 5  # the first schema with fits kept as history


def _term_order(term):
    return 0 if term == "VOC" else int(term[2:])


def _report_side(report_dir):
    """{(species, scenario, tag): {(bin, term): (value, se, verdict)}} of the
    current fits of the study in report_dir, and {(species, scenario, tag,
    bin): replay error} of their bins."""
    side, replay = {}, {}
    study = read_study(report_dir, pandas=False)
    for row in study["coefficients"]:
        key = (row["species"], row["scenario"], row["tag"])
        side.setdefault(key, {})[(row["target_bin"], row["term"])] = (
            row["coefficient"], row["standard_error"], row["flag"])
    for row in study["fits"]:
        replay[(row["species"], row["scenario"], row["tag"], row["target_bin"])] = \
            row.get("replay_error")
    return side, replay


def _batch_side(report_dir, batch):
    """The same of the fits that the study's log left current after batch
    `batch` (a configuration forgotten or without a fit then is absent)."""
    db, path, version = _connect(report_dir)
    try:
        if version < HISTORY_SCHEMA_VERSION:
            raise ValueError(f"{path} has schema {version}, which keeps no earlier fits; "
                             "run vbsfit-batch over it to upgrade it")
        db.execute("BEGIN")
        ids = [r[0] for r in db.execute("SELECT id FROM batches ORDER BY id")]
        if batch not in ids:
            raise ValueError(f"{path} records no batch {batch} (its batches: "
                             f"{', '.join(map(str, ids)) or 'none'})")
        current = {}
        for species, scenario, tag, fit in db.execute(
                "SELECT species, scenario, tag, fit FROM batch_log WHERE batch <= ? "
                "ORDER BY batch", (batch,)):
            current[(species, scenario, tag)] = fit
        fits = {fit: key for key, fit in current.items() if fit is not None}
        side = {}
        # A fit's rows are in history once they changed; until then they are
        # those of the configuration it is current for.
        for fit, target_bin, term, value, se, flag in db.execute(
                "SELECT fit, target_bin, term, coefficient, standard_error, flag "
                "FROM history_coefficients UNION ALL "
                "SELECT c.fit, t.target_bin, t.term, t.coefficient, t.standard_error, t.flag "
                "FROM coefficients t JOIN configurations c USING (species, scenario, tag) "
                "WHERE c.fit IS NOT NULL AND c.fit NOT IN (SELECT fit FROM history_coefficients)"):
            if fit in fits:
                side.setdefault(fits[fit], {})[(target_bin, term)] = (value, se, flag)
        replay = {}
        for fit, target_bin, error in db.execute(
                "SELECT fit, target_bin, replay_error FROM history_fits UNION ALL "
                "SELECT c.fit, t.target_bin, t.replay_error "
                "FROM fits t JOIN configurations c USING (species, scenario, tag) "
                "WHERE c.fit IS NOT NULL AND c.fit NOT IN (SELECT fit FROM history_fits)"):
            if fit in fits:
                replay[(*fits[fit], target_bin)] = error
        db.execute("COMMIT")
        return side, replay
    except Exception as e:
        import sqlite3
        if isinstance(e, (sqlite3.DatabaseError, UnicodeDecodeError)):
            raise ValueError(f"{path} is not a readable study ({_reason(e)})") from None
        raise
    finally:
        db.close()


def _number(value):
    return math.nan if value is None else float(value)


def _in_standard_errors(change, combined):
    if change == 0:
        return 0.0
    if math.isnan(combined) or math.isnan(change):
        return math.nan
    if combined == 0:
        return math.copysign(math.inf, change)
    return change / combined


def compare(a, b=None, *, batch_a=None, batch_b=None, pandas=None):
    """Every coefficient of each configuration fitted on both sides, as
    compare.csv has it: value_a, value_b, change (b - a), the standard
    errors, combined_standard_error = sqrt(se_a^2 + se_b^2),
    change_in_standard_errors, the verdicts, and the bins' replay errors
    (NaN where the record has none). The sides are two report directories
    (compare(a, b)), or two batches of the study in one report directory
    (compare(report, batch_a=1, batch_b=2)): the fits its batch log left
    current after each. A pandas DataFrame whose attrs["only_a"] and
    attrs["only_b"] list the configurations (species, scenario, tag) fitted
    on one side only; without pandas (or with pandas=False) a dict with
    "rows" (a list of dicts), "only_a" and "only_b"."""
    if (batch_a is None) != (batch_b is None):
        raise TypeError("give both batch_a and batch_b, or neither")
    if batch_a is not None:
        if b is not None:
            raise TypeError("give one report directory with batch_a and batch_b")
        (side_a, replay_a), (side_b, replay_b) = (_batch_side(a, int(batch_a)),
                                                  _batch_side(a, int(batch_b)))
    else:
        if b is None:
            raise TypeError("give two report directories, or one with batch_a and batch_b")
        (side_a, replay_a), (side_b, replay_b) = (_report_side(os.fspath(a)),
                                                  _report_side(os.fspath(b)))
    rows = []
    for key in sorted(side_b):
        if key not in side_a:
            continue
        before = side_a[key]
        for (target_bin, term) in sorted(side_b[key], key=lambda k: (k[0], _term_order(k[1]))):
            value_b, se_b, verdict_b = side_b[key][(target_bin, term)]
            value_a, se_a, verdict_a = before.get((target_bin, term), (None, None, ""))
            value_a, value_b = _number(value_a), _number(value_b)
            se_a, se_b = _number(se_a), _number(se_b)
            change = value_b - value_a
            combined = math.sqrt(se_a * se_a + se_b * se_b)
            rows.append(dict(zip(COLUMNS, [
                *key, target_bin, term, value_a, value_b, change, se_a, se_b, combined,
                _in_standard_errors(change, combined), verdict_a, verdict_b,
                _number(replay_a.get((*key, target_bin))),
                _number(replay_b.get((*key, target_bin)))])))
    only_a = sorted(k for k in side_a if k not in side_b)
    only_b = sorted(k for k in side_b if k not in side_a)
    pd = None
    if pandas is None or pandas:
        try:
            import pandas as pd
        except ImportError:
            if pandas:
                raise
    if pd is None:
        return {"rows": rows, "only_a": only_a, "only_b": only_b}
    frame = pd.DataFrame.from_records(rows, columns=COLUMNS)
    frame.attrs["only_a"] = only_a
    frame.attrs["only_b"] = only_b
    return frame
