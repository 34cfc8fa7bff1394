"""The module takes species and tags by the batch's rules: the species of
the inputs read, the batch's refusals and suggestions word for word, its
species tables, and the directory a study's inputs sit in."""
import re
import subprocess

import numpy as np
import pytest

import vbsfit
from conftest import program

# A species the built-in table lacks, and a built-in one given other constants.
TABLE = ("species,kp,multiplier,multiplier6,layout\n"
         "LIMONENE,0.000163,5e-05,2.5e-05,standard\n"
         "TOL,0.0001,3e-05,3e-05,standard\n")


def batch(root, *args):
    """vbsfit-batch in root/batch (made here), without pages."""
    workdir = root / "batch"
    (workdir / "FITS").mkdir(parents=True, exist_ok=True)
    return subprocess.run([program("vbsfit-batch"), "--no-pages", *args], cwd=workdir,
                          capture_output=True, text=True)


def simulate(root, species, *extra):
    subprocess.run([program("vbsgen"), "--species", species, "--scenario", "0.1",
                    "--output", str(root), *extra], check=True, stdout=subprocess.DEVNULL)


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    """API_OH and the table's LIMONENE simulated, and fitted by the batch
    with the tag no6."""
    root = tmp_path_factory.mktemp("names")
    (root / "species.csv").write_text(TABLE)
    simulate(root, "API_OH", "--seed", "4")
    simulate(root, "LIMONENE", "--seed", "5", "--species-table", str(root / "species.csv"))
    done = batch(root, "--species", "API_OH,LIMONENE", "--tag", "no6",
                 "--species-table", "../species.csv")
    assert done.returncode == 0, done.stderr
    return root


def results(root, species):
    return (root / "batch" / "FITS" / f"fit6_coef.{species}.0.1.no6").read_bytes()


@pytest.mark.parametrize("where", ["root", "workdir", "new workdir"])
def test_the_inputs_species_is_fitted_as_the_batch_fits_it(study, where):
    directory = {"root": study, "workdir": study / "batch",
                 "new workdir": study / "not-yet"}[where]
    inputs = vbsfit.read_inputs(directory, "API_OH", "0.1")
    assert (inputs["species"], inputs["scenario"]) == ("API_OH", "0.1")
    result = vbsfit.fit(**inputs, tag="no6")
    assert result.results_text() == results(study, "API_OH")
    stored = vbsfit.read_study(study / "batch" / "vbsfit-report", pandas=False)["coefficients"]
    mine = {(r["target_bin"], r["term"]): r["coefficient"] for r in stored
            if r["species"] == "API_OH"}
    for b in range(6):
        for t, term in enumerate(vbsfit.TERMS):
            assert result.coefficients[b, t] == mine[(b + 1, term)]  # bit for bit
    assert not (study / "not-yet").exists()


def test_a_species_table_species_fits_as_in_the_batch(study):
    path = study / "species.csv"
    rows = [r for r in vbsfit.list_species(path) if r["species"] == "LIMONENE"]
    for table in (path, str(path), rows):
        inputs = vbsfit.read_inputs(study, "LIMONENE", "0.1", species_table=table)
        result = vbsfit.fit(**inputs, tag="no6")  # with the table read_inputs was given
        assert result.results_text() == results(study, "LIMONENE")
    # The table's row of a built-in species takes its place, as in the batch.
    tol = [r for r in vbsfit.list_species(path) if r["species"] == "TOL"]
    assert tol == [{"species": "TOL", "kp": 0.0001, "multiplier": 3e-05, "multiplier6": 3e-05,
                    "layout": "standard"}]
    inputs = vbsfit.read_inputs(study, "API_OH", "0.1")
    replaced = vbsfit.fit(**dict(inputs, species="TOL"), species_table=path)
    assert replaced.rates[0] == np.float32(0.0001)


def test_list_species_rows_are_the_built_in_table():
    listed = vbsfit.list_species()
    printed = subprocess.run([program("vbsfit-batch"), "--list-species"], capture_output=True,
                             text=True, check=True).stdout
    lines = [line for line in printed.splitlines() if line and not line.startswith("#")][1:]
    assert [r["species"] for r in listed] == [line.split(",")[0] for line in lines]
    # The list given back as a table changes nothing, as rows or as a DataFrame.
    assert vbsfit.list_species(listed) == listed
    pandas = pytest.importorskip("pandas")
    assert vbsfit.list_species(pandas.DataFrame(listed)) == listed


def refusal(stderr):
    """The batch's words after its option name, without its hints."""
    text = stderr.splitlines()[0]
    return re.sub(r"^vbsfit-batch: --\w+: ", "", text).split(" (")[0]


@pytest.mark.parametrize("species, tag, suggestion", [
    ("api_oh", "allgas", "did you mean API_OH?"),
    ("OLE2OH", "allgas", "did you mean OLE2_OH or OLE1_OH?"),
    ("LIMONEN", "allgas", "did you mean LIMONENE?"),
    ("BENZENE", "allgas", "is in no species table"),
    ("API_OH", "No-6", "did you mean no6?"),
    ("API_OH", "STATIC", "did you mean static?"),
])
def test_names_the_batch_refuses_raise_with_its_suggestion(study, species, tag, suggestion):
    table = study / "species.csv"
    inputs = vbsfit.read_inputs(study, "API_OH", "0.1")
    with pytest.raises(ValueError) as raised:
        vbsfit.fit(**dict(inputs, species=species), tag=tag, species_table=table)
    refused = batch(study, "--species", species, "--tag", tag, "--species-table",
                    "../species.csv", "--dry-run")
    assert refused.returncode == 2
    assert suggestion in str(raised.value)
    assert f"vbsfit.fit: {refusal(refused.stderr)} (" in str(raised.value)


def test_a_species_given_nowhere_is_an_error_and_a_near_tag_warns(study):
    inputs = vbsfit.read_inputs(study, "API_OH", "0.1")
    arrays = {k: inputs[k] for k in ("time", "precursor", "bins", "molar_masses")}
    with pytest.raises(ValueError, match="no species given"):
        vbsfit.fit(**arrays)
    with pytest.raises(ValueError, match="did you mean API_OH"):
        vbsfit.read_inputs(study, "API-OH", "0.1")
    with pytest.warns(UserWarning, match="did you mean allgas"):
        vbsfit.fit(**inputs, tag="alllgas")
    warned = batch(study, "--species", "API_OH", "--tag", "alllgas", "--dry-run")
    assert warned.returncode == 0
    assert "warning: the tag 'alllgas' is none of" in warned.stderr
    assert "did you mean allgas?" in warned.stderr
    # Unknown species are fitted with the default constants only when asked.
    fitted = vbsfit.fit(**dict(inputs, species="BENZENE"), allow_unknown_species=True)
    assert fitted.records == 1441


@pytest.mark.parametrize("rows, message", [
    ([("NEW", 1e-4, 2e-5)], "species_table row 0: "),
    ([("NEW", 1e-4, 2e-5, 2e-5, "standard"), ("NEW", 1e-4, 2e-5, 2e-5, "standard")],
     "species_table row 1: "),
    ([{"species": "NEW", "kp": -1.0, "multiplier": 1e-5, "multiplier6": 1e-5}],
     "species_table row 0: "),
])
def test_species_table_rows_are_checked_by_the_batchs_rules(rows, message):
    with pytest.raises(ValueError) as raised:
        vbsfit.list_species(rows)
    assert str(raised.value).startswith("vbsfit.list_species: " + message)


def test_read_inputs_says_where_it_looked(tmp_path):
    with pytest.raises(FileNotFoundError) as raised:
        vbsfit.read_inputs(tmp_path / "run", "TOL", "0.1")
    assert f"{tmp_path}/INPUTS_ODE/5days/0.1_aer.TOL/aer.precursor" in str(raised.value)
    assert "/../" not in str(raised.value)
