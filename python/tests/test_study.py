"""vbsfit.read_study on a small study that the build's vbsfit-batch fits:
the same rows and full-precision numbers as the report's tables."""
import csv
import math
import subprocess

import pytest

import vbsfit
from conftest import program

CONFIGURATIONS = [("TOL", "0.1", "allgas"), ("TOL", "0.1", "no6"), ("API_OH", "0.1", "allgas"),
                  ("NONE", "0.1", "allgas")]  # NONE has no simulation: it fails


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    """A report directory of CONFIGURATIONS, one results file edited after its
    fit (stale)."""
    root = tmp_path_factory.mktemp("study")
    for species in ("TOL", "API_OH"):
        subprocess.run([program("vbsgen"), "--species", species, "--scenario", "0.1",
                        "--output", str(root)], check=True, stdout=subprocess.DEVNULL)
    run = root / "run"
    (run / "FITS").mkdir(parents=True)
    plan = "".join(",".join(c) + "\n" for c in CONFIGURATIONS)
    (root / "study.plan").write_text(plan)
    batch = [program("vbsfit-batch"), "--plan", "../study.plan", "--no-pages",
             "--allow-unknown-species"]
    assert subprocess.run(batch, cwd=run, capture_output=True).returncode == 1
    edited = run / "FITS" / "fit6_coef.TOL.0.1.no6"
    edited.write_text(edited.read_text() + "\n")
    assert subprocess.run(batch, cwd=run, capture_output=True).returncode == 1
    return run / "vbsfit-report"


def csv_rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def same_number(text, value):
    if text == "":
        return value is None or (isinstance(value, float) and math.isnan(value))
    return float(text) == value


@pytest.mark.parametrize("pandas", [False, True])
def test_read_study_gives_the_tables_rows_in_full_precision(study, pandas):
    if pandas:
        pd = pytest.importorskip("pandas")
    tables = vbsfit.read_study(study, pandas=pandas)
    assert set(tables) == {"runs", "coefficients", "fits", "models"}
    if pandas:
        assert all(isinstance(t, pd.DataFrame) for t in tables.values())
        tables = {k: t.to_dict("records") for k, t in tables.items()}
    runs = tables["runs"]
    assert [(r["species"], r["scenario"], r["tag"]) for r in runs] == CONFIGURATIONS
    assert [r["state"] for r in runs] == ["kept", "stale", "kept", "failed"]
    assert all(len(r["results_sha256"]) == 64 for r in runs[:3])
    coefficients = csv_rows(study / "coefficients.csv")
    assert len(tables["coefficients"]) == len(coefficients) == 2 * 42
    for row, text in zip(tables["coefficients"], coefficients):
        for key in ("species", "scenario", "tag", "term", "flag"):
            assert row[key] == text[key]
        for key in ("coefficient", "lower", "upper", "standard_error"):
            assert same_number(text[key], row[key]), (key, text[key], row[key])
    fits = csv_rows(study / "fits.csv")
    assert len(tables["fits"]) == len(fits) == 2 * 6
    for row, text in zip(tables["fits"], fits):
        for key in ("rss", "rms", "r_squared", "relative_residual"):
            assert same_number(text[key], row[key]), (key, text[key], row[key])


def test_read_study_refuses_what_is_no_study(tmp_path):
    with pytest.raises(FileNotFoundError, match="no study here"):
        vbsfit.read_study(tmp_path)
    (tmp_path / "study.sqlite").write_text("species,scenario\n")
    with pytest.raises(ValueError, match="is not a study database"):
        vbsfit.read_study(tmp_path)


def damaged_copy(study, tmp_path, sql):
    """A copy of the study's database, changed by `sql` as damage would."""
    import shutil
    import sqlite3
    shutil.copy(study / "study.sqlite", tmp_path / "study.sqlite")
    db = sqlite3.connect(tmp_path / "study.sqlite")
    db.executescript(sql)
    db.close()
    return tmp_path


@pytest.mark.parametrize("sql, message", [
    # SQLite's message quotes the schema's bytes, which are not UTF-8.
    ("PRAGMA writable_schema = ON; UPDATE sqlite_schema SET name = CAST(x'6dff9b' AS TEXT), "
     "sql = CAST(x'435245415445205441424c45206dff9b28782900' AS TEXT) WHERE name = 'models';",
     r"is not a study database \(it holds bytes that are not UTF-8 where text belongs"),
    ("UPDATE configurations SET message = CAST(x'61ff62' AS TEXT) WHERE run = 1;",
     r"is not a readable study \(Could not decode to UTF-8 column 'message'"),
])
def test_read_study_says_a_damaged_study_cannot_be_read(study, tmp_path, sql, message):
    with pytest.raises(ValueError, match=message):
        vbsfit.read_study(damaged_copy(study, tmp_path, sql))


def test_read_study_reads_a_study_on_a_read_only_disk(study, tmp_path):
    """A directory this process cannot write: as root, a process that gives
    up the capabilities that override file permissions (setpriv)."""
    import os
    import shutil
    import sys
    copy = tmp_path / "report"
    copy.mkdir()
    shutil.copy(study / "study.sqlite", copy / "study.sqlite")
    copy.chmod(0o555)
    command = [sys.executable, "-c",
               "import sys, vbsfit; print(len(vbsfit.read_study(sys.argv[1], pandas=False)"
               "['runs']))", str(copy)]
    if os.geteuid() == 0:
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            pytest.skip("as root without setpriv, no directory is read-only")
        command = [setpriv, "--inh-caps=-all",
                   "--bounding-set=-dac_override,-dac_read_search,-fowner"] + command
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    finally:
        copy.chmod(0o755)
    assert done.stderr == ""
    assert done.stdout == f"{len(CONFIGURATIONS)}\n"
