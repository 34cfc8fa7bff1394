"""Figures of fits, studies and comparisons, with Matplotlib (Debian's
python3-matplotlib), imported only when a figure is asked for. Every
function returns the Matplotlib Figure (a notebook shows it) and saves it to
`file` when one is given, the format from its suffix (.png, .pdf, .svg).

The colours are the Okabe-Ito palette, told apart with the common forms of
colour blindness; the verdicts are told apart by their markers as well.
"""

import math

# Okabe & Ito, "Color Universal Design" (2008).
BLACK = "#000000"
ORANGE = "#E69F00"
SKY_BLUE = "#56B4E9"
GREEN = "#009E73"
BLUE = "#0072B2"
VERMILLION = "#D55E00"
PURPLE = "#CC79A7"
GREY = "#999999"
SERIES = (BLUE, ORANGE, GREEN, VERMILLION, PURPLE, SKY_BLUE, BLACK)

OBSERVED = BLUE       # what the inputs hold
FITTED = ORANGE       # what the fit gives
REPLAYED = VERMILLION  # the fitted model integrated on its own
RESIDUAL = GREEN

# How each verdict is drawn: a marker, and whether it is filled.
VERDICT_MARKERS = {
    "trusted": ("o", True),
    "undetermined": ("o", False),
    "misfit": ("X", True),
    "no effect": ("s", False),
}

SECONDS_PER_HOUR = 3600.0
UNIT = "the inputs' unit"  # the box model's concentrations, as the files hold them


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("vbsfit's figures need Matplotlib: apt-get install python3-matplotlib "
                          "(for /usr/bin/python3)") from None
    return plt


def _finish(figure, file):
    figure.tight_layout()
    if file is not None:
        figure.savefig(file, dpi=100, bbox_inches="tight")  # legends beside the axes too
    return figure


def plot_fit(result, bins=None, file=None):
    """The figure of FitResult.plot: a row per target bin, with its observed
    values over time (and the replayed ones, where the fit reports them),
    its rates of change with the fit's, and the residuals."""
    plt = _pyplot()
    chosen = list(range(1, 7)) if bins is None else [int(b) for b in bins]
    for b in chosen:
        if not 1 <= b <= 6:
            raise ValueError(f"vbsfit: target bin {b} is not one of 1 ... 6")
    hours = result.time / SECONDS_PER_HOUR
    middle = result.interval_times / SECONDS_PER_HOUR
    figure, axes = plt.subplots(len(chosen), 3, figsize=(13, 2.8 * len(chosen)), squeeze=False)
    for row, b in zip(axes, chosen):
        values, rates, residuals = row
        values.plot(hours, result.bins[:, b - 1], color=OBSERVED, label="observed")
        # The fitted model integrated alone from the first record, where the
        # result carries it; it shows how far the fit drifts from the data.
        replayed = getattr(result, "replayed_bins", None)
        if replayed is not None:
            values.plot(hours, replayed[:, b - 1], color=REPLAYED, linestyle="--",
                        label="replayed")
        values.set_title(f"VB{b}: values")
        values.set_ylabel(f"concentration ({UNIT})")
        rates.plot(middle, result.rates_of_change[:, b - 1], color=OBSERVED,
                   label="rate of change")
        rates.plot(middle, result.fitted_rates[:, b - 1], color=FITTED, linestyle="--",
                   label="fit")
        rates.set_title(f"VB{b}: rates" + (" (misfit)" if result.fits[b - 1].misfit else ""))
        rates.set_ylabel(f"rate ({UNIT} per s)")
        residual = result.rates_of_change[:, b - 1] - result.fitted_rates[:, b - 1]
        residuals.plot(middle, residual, color=RESIDUAL, label="residual")
        residuals.axhline(0.0, color=GREY, linewidth=0.8)
        residuals.set_title(f"VB{b}: residuals, lag-1 autocorrelation "
                            f"{result.fits[b - 1].autocorrelation:.2f}")
        residuals.set_ylabel(f"residual ({UNIT} per s)")
        for ax in row:
            ax.set_xlabel("time (h)")
            ax.legend(fontsize="small", loc="best")
    return _finish(figure, file)


def _records(table):
    """A table of read_study or compare as a list of dicts."""
    if hasattr(table, "to_dict"):
        return table.to_dict("records")
    return list(table)


def _scenario_key(name):
    try:
        return (0, float(name), name)
    except ValueError:
        return (1, 0.0, name)


def _verdict_handles(verdicts):
    from matplotlib.lines import Line2D
    handles = []
    for verdict in verdicts:
        marker, filled = VERDICT_MARKERS.get(verdict, ("o", True))
        handles.append(Line2D([], [], linestyle="none", marker=marker, color=BLACK,
                              markerfacecolor=BLACK if filled else "none", label=verdict))
    return handles


def plot_study(study, term="VOC", target_bin=1, species=None, tags=None, file=None):
    """One coefficient across the scenarios of a study: `term` ("VOC",
    "VB1" ... "VB6") of target bin `target_bin`, a line per species and tag
    (all by default, or the given lists), each point with its standard error
    as an error bar and its verdict as its marker. `study` is a report
    directory or what read_study returned."""
    if isinstance(study, dict):
        tables = study
    else:
        from .study import read_study
        tables = read_study(study, pandas=False)
    rows = [r for r in _records(tables["coefficients"])
            if r["term"] == term and int(r["target_bin"]) == int(target_bin)
            and (species is None or r["species"] in species)
            and (tags is None or r["tag"] in tags)]
    if not rows:
        raise ValueError(f"vbsfit.plot_study: the study has no coefficient {term} of target bin "
                         f"{target_bin} for the species {species or 'any'} and tags "
                         f"{tags or 'any'}")
    scenarios = sorted({r["scenario"] for r in rows}, key=_scenario_key)
    place = {s: n for n, s in enumerate(scenarios)}
    plt = _pyplot()
    figure, ax = plt.subplots(figsize=(9, 4.5))
    lines = sorted({(r["species"], r["tag"]) for r in rows})
    seen = []
    for n, (name, tag) in enumerate(lines):
        colour = SERIES[n % len(SERIES)]
        mine = sorted((r for r in rows if (r["species"], r["tag"]) == (name, tag)),
                      key=lambda r: place[r["scenario"]])
        x = [place[r["scenario"]] for r in mine]
        y = [r["coefficient"] for r in mine]
        errors = [0.0 if r["standard_error"] is None or math.isnan(r["standard_error"])
                  else r["standard_error"] for r in mine]
        ax.errorbar(x, y, yerr=errors, color=colour, capsize=3, linewidth=1.2,
                    label=f"{name} {tag}")
        for xi, yi, r in zip(x, y, mine):
            marker, filled = VERDICT_MARKERS.get(r["flag"], ("o", True))
            ax.plot([xi], [yi], linestyle="none", marker=marker, markersize=8, color=colour,
                    markerfacecolor=colour if filled else "white")
            if r["flag"] not in seen:
                seen.append(r["flag"])
    ax.set_xticks(range(len(scenarios)), scenarios)
    ax.set_xlabel("scenario")
    ax.set_ylabel(f"{term} coefficient of VB{target_bin} (dimensionless)")
    ax.set_title(f"{term} of target bin VB{target_bin}, with standard errors")
    # One legend beside the axes: the lines (species, tag), then the verdicts' markers.
    handles, labels = ax.get_legend_handles_labels()
    markers = _verdict_handles(seen)
    ax.legend(handles + markers, labels + [f"verdict: {h.get_label()}" for h in markers],
              fontsize="small", loc="upper left", bbox_to_anchor=(1.02, 1.0))
    return _finish(figure, file)


# |change| beyond this many combined standard errors is drawn as a change.
CHANGE_IN_STANDARD_ERRORS = 2.0


def plot_compare(table, file=None):
    """Two fits of the same configurations side by side, from the table
    vbsfit.compare returns (one row per coefficient): each coefficient's
    value after (b) against before (a) with their standard errors, and its
    change in combined standard errors; changes beyond 2 are drawn in
    vermillion."""
    rows = [r for r in _records(table) if r["value_a"] is not None and r["value_b"] is not None]
    if not rows:
        raise ValueError("vbsfit.plot_compare: the table has no coefficient fitted on both sides")
    plt = _pyplot()
    figure, (values, changes) = plt.subplots(1, 2, figsize=(12, 4.8))

    def number(v):
        return float("nan") if v is None else float(v)

    def changed(r):
        z = number(r["change_in_standard_errors"])
        return not math.isnan(z) and abs(z) > CHANGE_IN_STANDARD_ERRORS

    for group, colour, label in ((False, BLUE, "within 2 standard errors"),
                                 (True, VERMILLION, "changed by more")):
        mine = [r for r in rows if changed(r) == group]
        if not mine:
            continue
        values.errorbar([number(r["value_a"]) for r in mine], [number(r["value_b"]) for r in mine],
                        xerr=[_finite(number(r["standard_error_a"])) for r in mine],
                        yerr=[_finite(number(r["standard_error_b"])) for r in mine],
                        linestyle="none", marker="o", markersize=4, color=colour, label=label,
                        ecolor=_faint(colour), elinewidth=0.8)
    low = min(min(number(r["value_a"]), number(r["value_b"])) for r in rows)
    high = max(max(number(r["value_a"]), number(r["value_b"])) for r in rows)
    values.plot([low, high], [low, high], color=GREY, linewidth=0.8, label="no change")
    # The values set the scale: the error bars of undetermined coefficients
    # (thousands, where the data do not pin them down) would flatten the rest.
    pad = 0.05 * (high - low) or 0.05
    values.set_xlim(low - pad, high + pad)
    values.set_ylim(low - pad, high + pad)
    values.set_xlabel("coefficient, fit a (dimensionless)")
    values.set_ylabel("coefficient, fit b (dimensionless)")
    values.set_title("coefficients of both fits, with standard errors")
    values.legend(fontsize="small")

    z = [number(r["change_in_standard_errors"]) for r in rows]
    colours = [VERMILLION if changed(r) else BLUE for r in rows]
    changes.scatter(range(len(rows)), z, c=colours, s=14)
    for limit in (-CHANGE_IN_STANDARD_ERRORS, CHANGE_IN_STANDARD_ERRORS):
        changes.axhline(limit, color=GREY, linewidth=0.8, linestyle="--")
    # Linear within the limit, logarithmic beyond: small and large changes both show.
    changes.set_yscale("symlog", linthresh=CHANGE_IN_STANDARD_ERRORS)
    changes.set_xlabel("coefficient (by configuration, target bin and term)")
    changes.set_ylabel("change (combined standard errors)")
    changes.set_title("change b - a over sqrt(se_a² + se_b²)")
    return _finish(figure, file)


def _faint(colour):
    """The colour, mostly transparent: error bars behind the points."""
    from matplotlib.colors import to_rgba
    return to_rgba(colour, 0.35)


def _finite(v):
    return 0.0 if math.isnan(v) else v
