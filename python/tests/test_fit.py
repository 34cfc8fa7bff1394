"""vbsfit.fit and vbsfit.read_inputs: the program's own results from Python,
any number of records, every refusal, and threads."""
import concurrent.futures
import subprocess
import shutil
import sys

import numpy as np
import pytest

import vbsfit
from conftest import SOURCE, simulate

ACCEPTANCE = SOURCE / "tests" / "data" / "acceptance"
RESULTS = "FITS/fit6_coef.OLE2_OH.0.1.allgas"


def test_bundled_example_gives_the_programs_results_file_byte_for_byte(example):
    result = vbsfit.fit(**vbsfit.read_inputs(example, "OLE2_OH", "0.1"))
    assert result.results_text() == (example / RESULTS).read_bytes()
    assert result.coefficients.shape == result.standard_errors.shape == (6, 7)
    assert result.flags.shape == (6, 7)
    assert result.records == 1441
    # Every reported coefficient rounds to the one in the results file.
    rows = [line.split() for line in result.results_text().decode().splitlines()[2:8]]
    assert np.array_equal(np.array(rows, dtype=float),
                          np.array([[float(f"{v:.2e}") for v in row]
                                    for row in result.coefficients]))


@pytest.mark.parametrize("layout, species", [("standard", "OLE2_OH"), ("ideal", "ideal")])
def test_reference_runs_give_their_expected_results(layout, species):
    expected = (ACCEPTANCE / layout / "expected" / "results").read_bytes()
    inputs = vbsfit.read_inputs(ACCEPTANCE / layout / "run", species, "0.1")
    assert (inputs["molar_masses"] is None) == (layout == "ideal")
    assert inputs["species"] == species
    assert vbsfit.fit(**inputs).results_text() == expected


# vbsgen's model is the one fitted, with 14 digits in the ideal layout: every
# determined coefficient is within this of the truth it was simulated from
# (vbsgen's own promise for flagged fits).
TRUTH_TOLERANCE = 0.02


@pytest.mark.parametrize("records", [200, 2881])
def test_any_number_of_records_recovers_the_simulated_coefficients(tmp_path, records):
    arrays, truth = simulate(tmp_path, records, seed=3)
    result = vbsfit.fit(**arrays, species="ideal")
    assert result.records == records
    determined = result.flags == "trusted"
    assert determined.sum() >= 20
    assert np.all(np.abs(result.coefficients - truth)[determined] <= TRUTH_TOLERANCE)
    assert len(result.results_text().splitlines()) == 9


def test_a_tag_that_drops_the_datas_reactions_is_flagged_misfit(tmp_path):
    arrays, _ = simulate(tmp_path, 1441, tag="allgas", seed=2)
    right = vbsfit.fit(**arrays, species="ideal", tag="allgas")
    wrong = vbsfit.fit(**arrays, species="ideal", tag="static")
    assert not any(f.misfit for f in right.fits)
    misfits = [f for f in wrong.fits if f.misfit]
    assert misfits
    for f in misfits:
        assert f.autocorrelation > vbsfit.DEFAULT_MISFIT_LIMIT
        row = wrong.flags[f.bin - 1]
        # With every K(j) = 0 only the precursor's term has an effect.
        assert list(row) == ["misfit"] + ["no effect"] * 6
    # The limit is the caller's.
    lenient = vbsfit.fit(**arrays, species="ideal", tag="static", misfit_limit=1.0)
    assert not any(f.misfit for f in lenient.fits)


def test_rates_are_taken_as_given(example):
    inputs = vbsfit.read_inputs(example, "OLE2_OH", "0.1")
    table = vbsfit.fit(**inputs)
    given = vbsfit.fit(**dict(inputs, species="NOTATABLE"), rates=table.rates)
    assert given.results_text() == table.results_text()
    assert np.array_equal(given.rates, table.rates)


def valid():
    rng = np.random.default_rng(5)
    return {"time": np.arange(10.0) * 300, "precursor": np.linspace(25, 20, 10),
            "bins": rng.random((10, 6)), "molar_masses": np.full((10, 6), 200.0),
            "species": "OLE2_OH"}


def changed(**changes):
    arrays = valid()
    for name, change in changes.items():
        arrays[name] = change(arrays[name]) if callable(change) else change
    return arrays


def with_value(index, value):
    def change(array):
        array = array.copy()
        array[index] = value
        return array
    return change


@pytest.mark.parametrize("arrays, extra, message", [
    (changed(time=lambda t: t.reshape(2, 5)), {}, "time must be 1-D"),
    (changed(precursor=lambda p: p[:-1]), {}, "precursor has 9 records; time has 10"),
    (changed(bins=lambda b: b[:, :5]), {}, "bins must be 2-D with 6 columns"),
    (changed(bins=lambda b: b[:-2]), {}, "bins has 8 records; time has 10"),
    (changed(molar_masses=np.ones(10)), {}, "molar_masses must be 2-D with 6 columns"),
    (changed(time=[0.0], precursor=[1.0], bins=np.ones((1, 6)), molar_masses=None), {},
     "at least 2 records are needed"),
    (changed(bins=with_value((3, 2), np.nan)), {}, "bins[3, 2] is not finite (nan)"),
    (changed(time=with_value(4, np.inf)), {}, "time[4] is not finite (inf)"),
    (changed(precursor=with_value(0, -np.inf)), {}, "precursor[0] is not finite (-inf)"),
    (changed(time=with_value(6, 1500.0)), {},
     "time must increase from record to record: time[6] = 1500 follows time[5] = 1500"),
    (changed(time=["a"] * 10), {}, "time cannot be read as numbers"),
    (valid(), {"rates": [1.0] * 6}, "rates must hold KP and K(1) ... K(6)"),
    (valid(), {"rates": [1.0] * 6 + [np.nan]}, "rate K(6) is not finite"),
    (valid(), {"species": "ELEVENCHARS"}, 'species "ELEVENCHARS"'),
    (valid(), {"tag": "a b"}, 'tag "a b"'),
    (valid(), {"se_limit": "0.1"}, "se_limit must be a number"),
])
def test_input_that_cannot_be_fitted_raises_value_error(arrays, extra, message):
    with pytest.raises(ValueError) as raised:
        vbsfit.fit(**{**arrays, **extra})
    assert message in str(raised.value)
    assert str(raised.value).startswith("vbsfit.fit: ")


def test_a_solver_stop_raises_runtime_error_naming_the_target_bin(example):
    # Finite rates so large that the solver's sums of squares overflow.
    inputs = vbsfit.read_inputs(example, "OLE2_OH", "0.1")
    with pytest.raises(RuntimeError, match=r"target bin 1 \(VB1\) stopped: coefficient a01 "
                                           r"\(VOC\) is not finite"):
        vbsfit.fit(**inputs, rates=[1e160] * 7)


def standard_copy(tmp_path):
    """A copy of the bundled example's inputs, and the directory the
    standard layout's files are in."""
    shutil.copytree(SOURCE / "examples" / "INPUTS_ODE", tmp_path / "INPUTS_ODE")
    (tmp_path / "run").mkdir()
    return tmp_path / "run", tmp_path / "INPUTS_ODE" / "5days" / "0.1_aer.OLE2_OH"


def truncate(path):
    lines = path.read_text().splitlines(keepends=True)
    path.write_text("".join(lines[:100]))


def spoil(path):
    lines = path.read_text().splitlines(keepends=True)
    lines[50] = lines[50].replace("E", "X", 1)
    path.write_text("".join(lines))


@pytest.mark.parametrize("damage, file, error, message", [
    (lambda f: f.unlink(), "aer.precursor", FileNotFoundError, "file not found"),
    (lambda f: f.unlink(), "aer.wmol_vbs.6", FileNotFoundError, "file not found"),
    (truncate, "aer.cdis_all.6", ValueError, "ends before its 1441st data record"),
    (spoil, "aer.precursor", ValueError, "cannot be read as a number"),
])
def test_read_inputs_names_the_file_and_what_went_wrong(tmp_path, damage, file, error, message):
    run, data = standard_copy(tmp_path)
    damage(data / file)
    with pytest.raises(error) as raised:
        vbsfit.read_inputs(run, "OLE2_OH", "0.1")
    assert message in str(raised.value)
    assert file in str(raised.value)
    # The units of the failed read are closed: a good read follows.
    good, _ = standard_copy(tmp_path / "again")
    assert vbsfit.read_inputs(good, "OLE2_OH", "0.1")["time"].shape == (1441,)


def test_read_inputs_refuses_names_the_program_could_not_take(tmp_path):
    with pytest.raises(ValueError, match='species "MUCH_TOO_LONG"'):
        vbsfit.read_inputs(tmp_path, "MUCH_TOO_LONG", "0.1")
    with pytest.raises(FileNotFoundError, match="file not found"):
        vbsfit.read_inputs(tmp_path, "TOL", "0.1")


def test_two_threads_give_the_results_of_one(tmp_path, example):
    series = [vbsfit.read_inputs(example, "OLE2_OH", "0.1")]
    for seed, records in ((1, 1441), (2, 700), (3, 2881)):
        arrays, _ = simulate(tmp_path / str(seed), records, seed=seed)
        series.append(dict(arrays, species="ideal"))
    series = series * 3
    alone = [vbsfit.fit(**s) for s in series]
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        together = list(pool.map(lambda s: vbsfit.fit(**s), series))
    for a, b in zip(alone, together):
        assert a.results_text() == b.results_text()
        assert np.array_equal(a.coefficients, b.coefficients)
        assert np.array_equal(a.standard_errors, b.standard_errors, equal_nan=True)
        assert [f.rss for f in a.fits] == [f.rss for f in b.fits]


def test_an_interpreter_without_numpy_is_told_which_to_use():
    # sys.modules[name] = None makes `import name` fail, as where it is missing.
    done = subprocess.run([sys.executable, "-c",
                           "import sys; sys.modules['numpy'] = None; import vbsfit"],
                          capture_output=True, text=True)
    assert done.returncode != 0
    assert "vbsfit needs NumPy" in done.stderr
    assert "run it with /usr/bin/python3" in done.stderr
