"""One verdict per coefficient, the same in every view: study.sqlite,
coefficients.csv, read_study, vbsfit.fit and the index's totals, on a study
of TOL data with trusted, undetermined (the slow bins), misfit (static drops
the data's reactions) and no-effect coefficients; and a study of the earlier
schema, read and then upgraded and refitted by a batch."""
import csv
import re
import sqlite3
import subprocess

import pytest

import vbsfit
from conftest import BEFORE_VERSION_5, program

TAGS = ("allgas", "no6", "static")
VERDICTS = ("trusted", "undetermined", "misfit", "no effect")
TERMS = ["VOC"] + [f"VB{j}" for j in range(1, 7)]


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    root = tmp_path_factory.mktemp("verdicts")
    subprocess.run([program("vbsgen"), "--species", "TOL", "--scenario", "0.1",
                    "--output", str(root)], check=True, stdout=subprocess.DEVNULL)
    run = root / "run"
    (run / "FITS").mkdir(parents=True)
    (root / "study.plan").write_text("".join(f"TOL,0.1,{tag}\n" for tag in TAGS))
    batch = [program("vbsfit-batch"), "--plan", "../study.plan"]
    done = subprocess.run(batch, cwd=run, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return run, batch


def stored_verdicts(report):
    """(tag, bin, term) -> flag, as study.sqlite keeps it."""
    with sqlite3.connect(report / "study.sqlite") as db:
        return {(tag, b, term): flag for tag, b, term, flag in db.execute(
            "SELECT tag, target_bin, term, flag FROM coefficients")}


def index_totals(report):
    html = (report / "index.html").read_text()
    return {name: int(n) for name, n in re.findall(r'data-total="([a-z-]+)">(\d+)<', html)}


def test_every_view_gives_each_coefficient_the_same_one_of_four_verdicts(study):
    run, _ = study
    report = run / "vbsfit-report"
    stored = stored_verdicts(report)
    assert len(stored) == len(TAGS) * 42
    counts = {v: sum(f == v for f in stored.values()) for v in VERDICTS}
    assert all(counts[v] > 0 for v in VERDICTS), counts  # the study has every kind

    with open(report / "coefficients.csv", newline="") as f:
        table = {(r["tag"], int(r["target_bin"]), r["term"]): r for r in csv.DictReader(f)}
    assert {k: r["flag"] for k, r in table.items()} == stored
    for r in table.values():  # misfit, the bin's column, agrees with the verdict
        assert (r["flag"] == "misfit") == (r["misfit"] == "true" and r["flag"] != "no effect")

    read = vbsfit.read_study(report, pandas=False)["coefficients"]
    assert {(r["tag"], r["target_bin"], r["term"]): r["flag"] for r in read} == stored
    for r in read:
        key = (r["tag"], r["target_bin"], r["term"])
        assert r["ols_standard_error"] is None or float(table[key]["ols_standard_error"]) == \
            r["ols_standard_error"], key

    inputs = vbsfit.read_inputs(run, "TOL", "0.1")
    for tag in TAGS:
        result = vbsfit.fit(**inputs, tag=tag)
        for b in range(6):
            for t, term in enumerate(TERMS):
                assert result.flags[b, t] == stored[(tag, b + 1, term)], (tag, b + 1, term)
        assert result.ols_standard_errors.shape == (6, 7)

    totals = index_totals(report)
    shown = {v: totals[v.replace(" ", "-")] for v in VERDICTS}
    assert shown == counts
    assert sum(shown.values()) == totals["coefficients"] == len(stored)


def test_a_study_of_the_earlier_schema_is_read_mapped_and_refitted_when_a_batch_opens_it(study):
    run, batch = study
    report = run / "vbsfit-report"
    now = stored_verdicts(report)
    # Back to schema 3: the flag where the verdict is, no ols_standard_error, no replay
    # (and none of schema 5's history, batch log, batch kinds or current fits).
    with sqlite3.connect(report / "study.sqlite") as db:
        db.executescript(
            BEFORE_VERSION_5 +
            "UPDATE coefficients SET flag = CASE WHEN flag = 'trusted' THEN 'determined' "
            "WHEN flag = 'misfit' AND standard_error <= 0.1 THEN 'determined' "
            "WHEN flag = 'misfit' THEN 'undetermined' ELSE flag END; "
            "ALTER TABLE coefficients DROP COLUMN ols_standard_error; "
            "PRAGMA user_version = 3;")
    with pytest.warns(UserWarning, match="schema 3: its coefficients' verdicts are mapped"):
        read = vbsfit.read_study(report, pandas=False)["coefficients"]
    assert {(r["tag"], r["target_bin"], r["term"]): r["flag"] for r in read} == now
    assert all(r["ols_standard_error"] == r["standard_error"] for r in read
               if r["standard_error"] is not None)

    done = subprocess.run(batch, cwd=run, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    with sqlite3.connect(report / "study.sqlite") as db:
        assert db.execute("PRAGMA user_version").fetchone()[0] == vbsfit.study.SCHEMA_VERSION
        unhashed = db.execute(
            "SELECT count(*) FROM configurations WHERE record_sha256 IS NULL").fetchone()[0]
    assert unhashed == 0  # each refitted from its results file and recorded anew
    assert stored_verdicts(report) == now
