"""vbsfit.compare against vbsfit-batch --compare on a study refitted after
one species' inputs were simulated anew: the same rows and numbers, and the
configurations on one side only."""
import csv
import math
import shutil
import subprocess

import pytest

import vbsfit
from conftest import program

PLAN = "TOL,0.1,allgas\nTOL,0.1,no6\nAPI_OH,0.1,allgas\n"


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    """A report directory of two batches: the first fits PLAN, the second
    refits API_OH after its inputs were simulated with another seed."""
    root = tmp_path_factory.mktemp("compare")

    def simulate(species, seed, where):
        subprocess.run([program("vbsgen"), "--species", species, "--scenario", "0.1",
                        "--seed", str(seed), "--output", str(where)], check=True,
                       stdout=subprocess.DEVNULL)

    for n, species in enumerate(("TOL", "API_OH")):
        simulate(species, n + 1, root)
    run = root / "run"
    (run / "FITS").mkdir(parents=True)
    (root / "study.plan").write_text(PLAN)
    batch = [program("vbsfit-batch"), "--plan", "../study.plan", "--no-pages"]
    subprocess.run(batch, cwd=run, check=True, capture_output=True)
    shutil.copytree(run / "vbsfit-report", root / "first-report")
    simulate("API_OH", 9, root / "again")
    inputs = "INPUTS_ODE/5days/0.1_aer.API_OH"
    for f in (root / "again" / inputs).iterdir():
        shutil.copyfile(f, root / inputs / f.name)
    subprocess.run(batch + ["--refit"], cwd=run, check=True, capture_output=True)
    return run


def same(text, value):
    if text == "":
        return value is None or (isinstance(value, float) and math.isnan(value))
    if isinstance(value, str):
        return text == value
    return float(text) == value


def test_compare_gives_what_vbsfit_batch_writes(study):
    report = study / "vbsfit-report"
    subprocess.run([program("vbsfit-batch"), "--compare", "1", "2"], cwd=study, check=True,
                   capture_output=True)
    with open(report / "compare.csv", newline="") as f:
        written = list(csv.DictReader(f))
    result = vbsfit.compare(report, batch_a=1, batch_b=2, pandas=False)
    assert len(result["rows"]) == len(written) == 3 * 42
    for row, text in zip(result["rows"], written):
        for key, value in row.items():
            assert same(text[key], value), (key, text[key], value)
    changed = {(r["species"], r["tag"]) for r in result["rows"] if r["change"] != 0}
    assert changed == {("API_OH", "allgas")}
    # Each row carries its bin's replay error, before and after: the record's.
    fits = {(f["species"], f["tag"], f["target_bin"]): f["replay_error"]
            for f in vbsfit.read_study(report, pandas=False)["fits"]}
    for r in result["rows"]:
        key = (r["species"], r["tag"])
        assert r["replay_error_b"] == fits[(*key, r["bin"])]
        assert (r["replay_error_a"] == r["replay_error_b"]) == (key not in changed)
    assert result["only_a"] == result["only_b"] == []


def test_two_report_directories_and_configurations_on_one_side(study, tmp_path):
    pd = pytest.importorskip("pandas")
    first = study.parent / "first-report"
    frame = vbsfit.compare(first, study / "vbsfit-report")
    assert isinstance(frame, pd.DataFrame)
    by_batches = vbsfit.compare(study / "vbsfit-report", batch_a=1, batch_b=2)
    pd.testing.assert_frame_equal(frame, by_batches)
    subprocess.run([program("vbsfit-batch"), "--species", "TOL", "--tag", "no6", "--forget",
                    "--no-pages"], cwd=study, check=True, capture_output=True)
    after_forget = vbsfit.compare(first, study / "vbsfit-report")
    assert after_forget.attrs["only_a"] == [("TOL", "0.1", "no6")]
    assert after_forget.attrs["only_b"] == []
    assert len(after_forget) == 2 * 42
    with pytest.raises(ValueError, match="records no batch 7"):
        vbsfit.compare(study / "vbsfit-report", batch_a=1, batch_b=7)
    with pytest.raises(TypeError):
        vbsfit.compare(first)
