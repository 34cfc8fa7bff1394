"""The figures render: each one drawn to PNG shows its series in their
colours, and none is blank."""
import subprocess

import numpy as np
import pytest

import vbsfit
from conftest import program

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.image  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402

from vbsfit import plots  # noqa: E402

# A drawn line's pixels are its colour give or take antialiasing at its edges.
COLOUR_TOLERANCE = 0.02
# Lines of a few hundred points cover at least this many pixels of a figure.
SERIES_PIXELS = 150


def pixels_of(png, colour):
    image = matplotlib.image.imread(png)[:, :, :3]
    rgb = np.array(matplotlib.colors.to_rgb(colour))
    return int(np.all(np.abs(image - rgb) <= COLOUR_TOLERANCE, axis=2).sum())


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    root = tmp_path_factory.mktemp("plots")
    for seed, (species, scenario) in enumerate(
            [(s, n) for s in ("TOL", "API_OH") for n in ("0.1", "0.5", "1.0")], start=1):
        subprocess.run([program("vbsgen"), "--species", species, "--scenario", scenario,
                        "--seed", str(seed), "--noise", "0.001", "--output", str(root)],
                       check=True, stdout=subprocess.DEVNULL)
    (root / "batch" / "FITS").mkdir(parents=True)
    subprocess.run([program("vbsfit-batch"), "--no-pages", "--species", "TOL,API_OH", "--scenario",
                    "0.1,0.5,1.0", "--tag", "allgas,no6"], cwd=root / "batch", check=True,
                   capture_output=True)
    return root


def compare_table(study):
    """The agreed compare table of the study against itself, nudged: one
    coefficient moved by far more than its standard error."""
    rows = []
    for r in vbsfit.read_study(study / "batch" / "vbsfit-report", pandas=False)["coefficients"]:
        se = r["standard_error"]
        moved = r["target_bin"] == 1 and r["term"] == "VOC"
        value_b = r["coefficient"] + (1.0 if moved else 0.0)
        rows.append({"species": r["species"], "scenario": r["scenario"], "tag": r["tag"],
                     "bin": r["target_bin"], "term": r["term"], "value_a": r["coefficient"],
                     "value_b": value_b, "change": value_b - r["coefficient"],
                     "standard_error_a": se, "standard_error_b": se,
                     "combined_standard_error": None if se is None else se * np.sqrt(2),
                     "change_in_standard_errors": None if not se else
                     (value_b - r["coefficient"]) / (se * np.sqrt(2)),
                     "verdict_a": r["flag"], "verdict_b": r["flag"],
                     "replay_error_a": None, "replay_error_b": None})
    return rows


@pytest.mark.parametrize("figure, colours", [
    ("fit", [plots.OBSERVED, plots.FITTED, plots.RESIDUAL]),
    ("study", [plots.SERIES[0], plots.SERIES[1]]),
    ("compare", [plots.BLUE, plots.VERMILLION]),
])
def test_each_figure_shows_its_series_in_their_colours(study, tmp_path, figure, colours):
    png = tmp_path / f"{figure}.png"
    if figure == "fit":
        inputs = vbsfit.read_inputs(study, "TOL", "0.5")
        drawn = vbsfit.fit(**inputs).plot(bins=[1, 2], file=png)
    elif figure == "study":
        # As a notebook has it: the tables read into pandas.
        tables = vbsfit.read_study(study / "batch" / "vbsfit-report", pandas=True)
        drawn = vbsfit.plot_study(tables, term="VOC", target_bin=2, tags=["allgas"], file=png)
    else:
        drawn = vbsfit.plot_compare(compare_table(study), file=png)
    assert isinstance(drawn, matplotlib.figure.Figure)
    for ax in drawn.axes:
        assert ax.get_xlabel() and ax.get_ylabel()
    plt.close(drawn)
    for colour in colours:
        assert pixels_of(png, colour) >= SERIES_PIXELS, colour


def test_figures_refuse_what_they_cannot_draw(study):
    report = study / "batch" / "vbsfit-report"
    with pytest.raises(ValueError, match="no coefficient VB9"):
        vbsfit.plot_study(report, term="VB9")
    with pytest.raises(ValueError, match="target bin 7"):
        vbsfit.fit(**vbsfit.read_inputs(study, "TOL", "0.1")).plot(bins=[7])
