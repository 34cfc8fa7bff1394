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
