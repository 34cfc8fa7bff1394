"""The replay of a fit from Python: the series and figures of vbsfit.fit,
the replay limit, and the figures read_study gives of a study."""
import sqlite3
import subprocess

import numpy as np
import pytest

import vbsfit

from conftest import BEFORE_VERSION_5, program, simulate


def test_the_datas_own_model_replays_the_bins_and_a_wrong_one_does_not(tmp_path):
    arrays, _ = simulate(tmp_path, 1441, tag="allgas", seed=4)
    right = vbsfit.fit(**arrays, species="ideal", tag="allgas")
    assert right.replay_problem == ""
    assert right.replayed_bins.shape == (1441, 6)
    # From the first record's bins, and back on the observed ones throughout.
    assert np.array_equal(right.replayed_bins[0], arrays["bins"][0])
    peak = np.abs(arrays["bins"]).max(axis=0)
    largest = np.abs(right.replayed_bins - arrays["bins"]).max(axis=0) / peak
    assert largest.max() < 1e-6
    assert [f.replay_error for f in right.fits] == pytest.approx(largest, rel=1e-9, abs=1e-15)
    assert right.replay_total.max_error < 1e-6
    # Without molar masses (the ideal layout) the weighted total is not known.
    assert np.isnan(right.replay_mass.max_error)

    wrong = vbsfit.fit(**arrays, species="ideal", tag="static")
    assert wrong.replay_total.max_error > 0.05
    assert max(f.replay_error for f in wrong.fits) > 0.05


def test_a_bin_within_the_replay_limit_is_no_misfit_for_its_drift_alone(tmp_path):
    arrays, _ = simulate(tmp_path, 1441, tag="allgas", seed=2)
    wrong = vbsfit.fit(**arrays, species="ideal", tag="static")
    drifting = [f for f in wrong.fits if f.drift > vbsfit.DEFAULT_MISFIT_LIMIT]
    assert drifting
    # A limit above every bin's replay error calls none of them misfit; none
    # (0) leaves the drift alone to judge.
    above = max(f.replay_error for f in wrong.fits) * 1.01
    assert not any(f.misfit for f in vbsfit.fit(**arrays, species="ideal", tag="static",
                                                 replay_limit=above).fits)
    judged = vbsfit.fit(**arrays, species="ideal", tag="static", replay_limit=0)
    assert [f.bin for f in judged.fits if f.misfit] == [f.bin for f in drifting]
    with pytest.raises(ValueError, match="replay_limit must be a number"):
        vbsfit.fit(**arrays, species="ideal", replay_limit="none")


def test_read_study_gives_the_replay_of_every_fit(example):
    report = example / "vbsfit-report"
    subprocess.run([program("vbsfit-batch"), "--tag", "allgas,static", "--no-pages"],
                   cwd=example, check=True, capture_output=True)
    study = vbsfit.read_study(report, pandas=False)
    inputs = vbsfit.read_inputs(example, "OLE2_OH", "0.1")
    for tag in ("allgas", "static"):
        result = vbsfit.fit(**inputs, tag=tag)
        run = next(r for r in study["runs"] if r["tag"] == tag)
        assert run["replay_total_error"] == result.replay_total.max_error
        assert run["replay_mass_rms_error"] == result.replay_mass.rms_error
        fits = [f for f in study["fits"] if f["tag"] == tag]
        assert [f["replay_error"] for f in fits] == [f.replay_error for f in result.fits]
        assert [f["drift"] for f in fits] == [f.drift for f in result.fits]
        assert [bool(f["misfit"]) for f in fits] == [f.misfit for f in result.fits]


def test_a_study_before_the_replay_reads_with_its_figures_absent(example):
    report = example / "vbsfit-report"
    subprocess.run([program("vbsfit-batch"), "--no-pages"], cwd=example, check=True,
                   capture_output=True)
    with sqlite3.connect(report / "study.sqlite") as db:
        db.executescript(BEFORE_VERSION_5 + "PRAGMA user_version = 4;")
    with pytest.warns(UserWarning, match="schema 4: its misfit flags were set by the residuals"):
        study = vbsfit.read_study(report, pandas=False)
    assert study["runs"][0]["replay_total_error"] is None
    assert study["runs"][0]["replay_mass_rms_error"] is None
    assert len(study["fits"]) == 6
    assert all(f["drift"] is None and f["replay_error"] is None for f in study["fits"])
    assert all(f["autocorrelation"] is not None for f in study["fits"])
