#!/usr/bin/env python3
"""The study report in a real browser: vbsfit-batch fits a small study made
from the bundled example, then headless Chromium opens its index.html and
configuration pages from disk; the rendered DOM must hold the rows, cells,
flags and charts, and a screenshot of a page must not be blank.

    browser_test.py --batch VBSFIT_BATCH --examples DIR [--vbsgen VBSGEN] [--artifacts DIR]

The study: the example itself (allgas), the same run under no56, the same data
under the species "<i>&x" (not in the table), a configuration without data
whose scenario holds markup characters (it fails), and one whose results
file exists already, not made from its inputs (stale). With --vbsgen, a study of 60 configurations on
simulated data (5 species x 3 scenarios, made with bin reactions or
without, each fitted under the four tags) is checked too: its study view
renders, a `static` fit of data made with bin reactions is marked misfit
and no fit under the tag that made the data is, a click on a column heading
reorders the rows (the page's own script, run by the browser), typing in a
filter field hides the others, with the groups closed (as a large study's
start) no row is laid out until a box opens its group or a filter keeps a
few, the coefficient explorer's species picker reaches all 20 species and
tags and each species' screenshot shows its tags' colours, every page stays
under 100 kB, and a page and the study view at 800 px have nothing beyond
the window and no table cell wider than its column. With
--artifacts the reports and the screenshots are kept there for a look. Exit status 0 when every check passes, 1 when one
fails, 77 (skipped) when Chromium is not installed. Chromium never reaches
the network: it only opens file:// pages, with every host name resolving to
nothing and background networking off; the browser and every process it
started are gone when the test ends.
"""

import argparse
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from html.parser import HTMLParser
from pathlib import Path

SKIPPED = 77
INSTALL_HINT = ("Chromium was not found (chromium on PATH, or VBSFIT_CHROMIUM); the browser test "
                "is skipped. Install it with "
                "'make deps' (as root) or: apt-get install -y --no-install-recommends chromium")
BROWSER_TIMEOUT = 120  # seconds for one page; a loaded machine can be slow to start it
ROWS = 1440            # points per chart series: one per interval
BINS, TERMS = 6, 7
UNDETERMINED_FILL = (0xfd, 0xe2, 0xc8)  # td.undetermined's background


def find_browser():
    """VBSFIT_CHROMIUM names the browser to use, if set; else chromium on PATH."""
    chosen = os.environ.get("VBSFIT_CHROMIUM")
    for name in [chosen] if chosen else ["chromium", "chromium-browser"]:
        if shutil.which(name):
            return shutil.which(name)
    return None


class Browser:
    """Headless Chromium with a profile of its own in a scratch directory.
    Every run starts a new process group; whatever of it is left is killed
    by pid, found by its group or its profile path, never by name."""

    FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-extensions", "--disable-default-apps", "--no-default-browser-check",
             "--disable-breakpad", "--host-resolver-rules=MAP * ~NOTFOUND"]

    def __init__(self, executable, scratch):
        self.executable = executable
        self.profile = Path(scratch) / "profile"
        self.profile.mkdir()
        self.groups = []

    def run(self, url, *extra):
        command = [self.executable, *self.FLAGS, f"--user-data-dir={self.profile}", *extra, url]
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   stdin=subprocess.DEVNULL, start_new_session=True)
        self.groups.append(process.pid)
        try:
            out, err = process.communicate(timeout=BROWSER_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.stop()
            process.communicate()
            raise AssertionError(f"chromium did not finish {url} in {BROWSER_TIMEOUT} s")
        finally:
            self.stop()
        if process.returncode != 0:
            raise AssertionError(f"chromium exited with {process.returncode} on {url}:\n"
                                 + err.decode(errors="replace")[-2000:])
        return out.decode("utf-8", errors="replace")

    def leftovers(self):
        """Pids of processes started by this browser: in one of its process
        groups, or running with its profile directory."""
        found = []
        marker = str(self.profile).encode()
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    cmdline = f.read()
                pgid = os.getpgid(int(entry))
            except (OSError, ProcessLookupError):
                continue
            if pgid in self.groups or marker in cmdline:
                found.append(int(entry))
        return found

    def stop(self):
        for _ in range(50):
            pids = self.leftovers()
            if not pids:
                self.groups.clear()  # all gone: their ids may be reused by others now
                return
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.1)
        raise AssertionError(f"chromium processes would not end: {self.leftovers()}")


class Node:
    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent = tag, dict(attrs), parent
        self.children, self.text_parts = [], []

    def classes(self):
        return self.attrs.get("class", "").split()

    def text(self):
        return "".join(part if isinstance(part, str) else part.text() for part in self.text_parts)

    def find_all(self, tag=None, cls=None, **attrs):
        out = []
        for child in self.children:
            if ((tag is None or child.tag == tag) and (cls is None or cls in child.classes())
                    and all(child.attrs.get(k.replace("_", "-")) == v for k, v in attrs.items())):
                out.append(child)
            out.extend(child.find_all(tag, cls, **attrs))
        return out


class Dom(HTMLParser):
    """The dumped DOM as a small tree (the dump is serialised HTML)."""
    VOID = {"meta", "link", "br", "img", "input", "hr", "line", "rect", "polyline", "path",
            "circle", "source", "col", "area", "base", "wbr"}

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.root = Node("#document", {}, None)
        self.current = self.root
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        node = Node(tag, attrs, self.current)
        self.current.children.append(node)
        self.current.text_parts.append(node)
        if tag not in self.VOID:
            self.current = node

    def handle_startendtag(self, tag, attrs):
        node = Node(tag, attrs, self.current)
        self.current.children.append(node)
        self.current.text_parts.append(node)

    def handle_endtag(self, tag):
        node = self.current
        while node is not self.root and node.tag != tag:
            node = node.parent
        if node is not self.root:
            self.current = node.parent

    def handle_data(self, data):
        self.current.text_parts.append(data)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def self_contained(dom, name):
    """Nothing is loaded from anywhere: no external scripts or styles, no
    images or frames, and every link stays in the report directory."""
    for tag in ("link", "img", "iframe", "object", "embed"):
        check(not dom.root.find_all(tag), f"{name}: has a <{tag}> element")
    for script in dom.root.find_all("script"):
        check("src" not in script.attrs, f"{name}: loads a script")
    for a in dom.root.find_all("a"):
        href = a.attrs.get("href", "")
        check("/" not in href and ":" not in href, f"{name}: link leaves the report: {href}")


ODD_SPECIES = "<i>&x"
ODD_SCENARIO = '<b>&"'  # no simulation: the configuration fails, its path in the message
STUDY = [("OLE2_OH", "0.1", "allgas"), ("OLE2_OH", "0.1", "no56"), (ODD_SPECIES, "0.1", "allgas"),
         ("TOL", ODD_SCENARIO, "allgas"), ("OLE2_OH", "0.1", "no6")]


def run_study(batch, examples, scratch):
    """Fits STUDY with vbsfit-batch; returns the report directory."""
    study = Path(scratch) / "study"
    shutil.copytree(examples, study)
    inputs = study / "INPUTS_ODE" / "5days"
    shutil.copytree(inputs / "0.1_aer.OLE2_OH", inputs / f"0.1_aer.{ODD_SPECIES}")
    (study / "batch" / "FITS").mkdir(parents=True)
    (study / "batch" / "FITS" / "fit6_coef.OLE2_OH.0.1.no6").write_text("made before\n")
    (study / "study.plan").write_text("".join(",".join(c) + "\n" for c in STUDY))
    run = subprocess.run([batch, "--allow-unknown-species", "--plan", str(study / "study.plan"),
                          "--workdir", str(study / "batch"), "-j", "2"],
                         capture_output=True, text=True, timeout=300)
    check(run.returncode == 1, f"vbsfit-batch ended with {run.returncode}:\n{run.stderr}")
    check("4 coefficients undetermined in 2 of 3 configurations; see the report" in run.stderr,
          f"vbsfit-batch's summary does not count the undetermined coefficients:\n{run.stderr}")
    return study / "batch" / "vbsfit-report"


# The columns of the study view's configuration table.
SPECIES, SCENARIO, TAG, STATE, WORST_R2, UNDETERMINED, MISFIT_BINS = range(7)


def check_index(dom, directory):
    """The example study's index, in run-set order (a group per species)."""
    rows = [r for g in configuration_rows(dom) for r in g]
    order = {c: n for n, c in enumerate(STUDY)}
    def configuration(row):
        species, scenario, tag = cell_texts(row)[:3]
        return species.replace(" (not in the species table)", ""), scenario, tag
    rows.sort(key=lambda r: order.get(configuration(r), len(order)))
    check(len(rows) == 5, f"index: {len(rows)} configuration rows, expected 5")
    states = [r.find_all("td")[STATE].text_parts[0].strip() for r in rows]
    check(states == ["succeeded"] * 3 + ["failed", "stale"], f"index: states {states}")
    species = cell_texts(rows[2])[SPECIES]
    check(species == f"{ODD_SPECIES} (not in the species table)",
          f"index: the species {ODD_SPECIES} shows as {species!r}")
    scenario = cell_texts(rows[3])[SCENARIO]
    check(scenario == ODD_SCENARIO, f"index: the scenario {ODD_SCENARIO} shows as {scenario!r}")
    check(not [e for e in dom.root.find_all("i") + dom.root.find_all("b")
               if e.text().startswith("&")], "index: a name became markup")
    message = rows[3].find_all("div", cls="message")
    check(message and message[0].text().startswith("forrtl: severe (29): file not found")
          and f"/{ODD_SCENARIO}_aer.TOL/" in message[0].text(),
          "index: the failure's message is not shown as written")
    counts = [cell_texts(r)[UNDETERMINED] for r in rows]
    check(counts == ["2", "0", "2", "n/a", "n/a"], f"index: undetermined counts {counts}")
    totals = {s.attrs["data-total"]: s.text() for s in dom.root.find_all("span")
              if "data-total" in s.attrs}
    check(totals.get("undetermined") == "4" and totals.get("configurations") == "5",
          f"index: totals {totals}")
    links = [a for r in rows for a in r.find_all("a")]
    check(len(links) == 3, f"index: {len(links)} page links, expected 3")
    for a in links:
        check((directory / a.attrs["href"]).is_file(), f"index: {a.attrs['href']} is missing")
    return [a.attrs["href"] for a in links]


FLAGS = ("trusted", "undetermined", "misfit", "no-effect")  # a cell's verdict, as a class


def check_page(dom, name, expect):
    """expect(bin, term) gives the flag a coefficient must carry. A cell's
    bin is its row's data-bin, its term its column's heading, its flag and
    misfit mark its classes."""
    tables = dom.root.find_all("table", id="coefficients")
    check(tables, f"{name}: no table#coefficients")
    headings = [th.text().strip() for th in tables[0].find_all("thead")[0].find_all("th")]
    terms = ["VOC"] + [f"VB{j}" for j in range(1, BINS + 1)]
    check(headings[1:] == terms, f"{name}: coefficient columns {headings}")
    rows = tables[0].find_all("tbody")[0].find_all("tr")
    check([r.attrs.get("data-bin") for r in rows] == [str(b) for b in range(1, BINS + 1)],
          f"{name}: coefficient rows {[r.attrs.get('data-bin') for r in rows]}")
    for row in rows:
        b = int(row.attrs["data-bin"])
        row_cells = row.find_all("td")
        check(len(row_cells) == TERMS, f"{name}: bin {b} has {len(row_cells)} coefficient cells")
        for term, cell in zip(terms, row_cells):
            flags = [f for f in FLAGS if f in cell.classes()]
            check(len(flags) == 1, f"{name}: bin {b} {term} has flags {flags}")
            flag = flags[0]
            check(flag == expect(b, term), f"{name}: bin {b} {term} is {flag}, expected {expect(b, term)}")
            words = " ".join(s.text() for s in cell.find_all("b"))
            misfit = flag == "misfit"
            check(misfit == bool(cell.find_all("s")), f"{name}: bin {b} {term}: misfit {misfit}, struck "
                  f"through {bool(cell.find_all('s'))}")
            if flag == "trusted":
                check(not words, f"{name}: bin {b} {term}: trusted cell says {words!r}")
            else:
                check(flag.replace("-", " ") in words, f"{name}: bin {b} {term} does not say {flag}")
            value = float(cell.attrs["data-value"])
            check(value == value, f"{name}: bin {b} {term} has no value")
            check("data-se" in cell.attrs, f"{name}: bin {b} {term} has no standard error")
            bound = "at bound" in " ".join(s.text() for s in cell.find_all("em"))
            check(bound == ("at-bound" in cell.classes()), f"{name}: bin {b} {term}: at bound {bound}, "
                  f"classes {cell.classes()}")
            shown = cell.text_parts[0] if cell.text_parts else ""
            shown = shown.text() if isinstance(shown, Node) else shown
            check(abs(float(shown) - value) <= 1e-3 * abs(value) + 1e-300,
                  f"{name}: bin {b} {term} shows {shown!r} for {value!r}")
    check(len(dom.root.find_all("tr", **{"data_bin": "1"})) >= 2, f"{name}: no fit rows")
    charts = dom.root.find_all("figure", cls="chart")
    check([c.attrs.get("data-bin") for c in charts] == [str(b) for b in range(1, BINS + 1)],
          f"{name}: charts {[c.attrs.get('data-bin') for c in charts]}")
    # The bins' total and every bin replayed: the fit run alone over the
    # 1441 records, beside the observed values.
    replays = [g for f in dom.root.find_all("figure", id="chart-total") + charts
               for g in f.find_all("g", data_panel="replay")]
    check(len(replays) == BINS + 1, f"{name}: {len(replays)} replay charts, expected {BINS + 1}")
    for g in replays:
        series = {p.classes()[0]: p.attrs.get("d", "") for p in g.find_all("path") if p.classes()}
        check(g.attrs.get("data-records") == str(ROWS + 1) and sorted(series) == ["replayed", "stored"]
              and all(d.startswith("M") and "l" in d for d in series.values()),
              f"{name}: a replay chart draws {sorted(series)} over {g.attrs.get('data-records')} records")
    errors = dom.root.find_all("td", cls="replay-error")
    check(len(errors) == BINS and all(e.text().endswith(" %") for e in errors),
          f"{name}: replay errors {[e.text() for e in errors]}")
    for chart in charts:
        b = chart.attrs["data-bin"]
        for panel in ("run", "late"):
            groups = chart.find_all("g", data_panel=panel)
            check(len(groups) == 1, f"{name}: chart {b} has {len(groups)} {panel} panels")
            series = {p.classes()[0]: p for p in groups[0].find_all("path") if p.classes()}
            check(sorted(series) == ["fitted", "observed", "residual"],
                  f"{name}: chart {b} {panel} series {sorted(series)}")
            for label, path in series.items():
                intervals = path.attrs.get("data-intervals", groups[0].attrs.get("data-intervals"))
                check(panel != "run" or intervals == str(ROWS),
                      f"{name}: chart {b} {label} stands for {intervals} intervals")
                d = path.attrs.get("d", "")
                check(d.startswith("M") and "l" in d, f"{name}: chart {b} {label} is not drawn")
        # The axes, titles and key that the charts share are drawn by <use>.
        svg = chart.find_all("svg")
        uses = svg[-1].find_all("use") if svg else []
        check(len(uses) == 1 and uses[0].attrs.get("href", "").startswith("#"),
              f"{name}: chart {b} draws no frame")
        frame = dom.root.find_all("g", id=uses[0].attrs["href"][1:])
        titles = [t.text() for t in frame[0].find_all("text")] if frame else []
        check("time (h)" in titles and any("rate of change" in t for t in titles),
              f"{name}: chart {b}'s frame lacks axis titles")
    check(dom.root.find_all("section", id="how-to-read"), f"{name}: no 'how to read this'")


# The study on simulated data: 5 species x 3 scenarios x 4 tags. The data of
# STATIC_DATA were made without bin reactions, the others with all of them.
VBSGEN_SPECIES = ["OLE2_OH", "TOL", "API_OH", "C16", "ISO_OH"]
VBSGEN_SCENARIOS = ["10", "1", "0.1"]  # given out of order: the explorer sorts them by value
VBSGEN_TAGS = ["static", "no56", "no6", "allgas"]
STATIC_DATA = {("C16", "0.1"), ("C16", "1"), ("C16", "10"), ("TOL", "1")}
SAMPLE_CONFIGURATIONS = 60
SAMPLE_GROUPS = 15  # species and scenarios, each fitted under the four tags
EXPLORER_CHARTS = 7  # one species and target bin at a time, a chart per term
PAGE_LIMIT = 100_000  # bytes of a configuration's page
# The explorer's series colours (.s0 ... .s7), a tag's colour by its place
# in the study: this study's four tags draw the first four.
SERIES_COLOURS = [(0x00, 0x72, 0xb2), (0xd5, 0x5e, 0x00), (0x00, 0x9e, 0x73), (0xcc, 0x79, 0xa7),
                  (0xe6, 0x9f, 0x00), (0x56, 0xb4, 0xe9), (0x00, 0x00, 0x00), (0xa6, 0x76, 0x1d)]


def run_vbsgen_study(batch, vbsgen, scratch):
    """Simulates and fits the 60-configuration study; returns its report."""
    study = Path(scratch) / "simulated"
    (study / "batch" / "FITS").mkdir(parents=True)
    for seed, (species, scenario) in enumerate(
            (s, n) for s in VBSGEN_SPECIES for n in VBSGEN_SCENARIOS):
        tag = "static" if (species, scenario) in STATIC_DATA else "allgas"
        made = subprocess.run([vbsgen, "--species", species, "--scenario", scenario, "--tag", tag,
                               "--seed", str(seed + 1), "--output", str(study)],
                              capture_output=True, text=True, timeout=60)
        check(made.returncode == 0, f"vbsgen failed:\n{made.stderr}")
    run = subprocess.run([batch, "--species", ",".join(VBSGEN_SPECIES),
                          "--scenario", ",".join(VBSGEN_SCENARIOS), "--tag", ",".join(VBSGEN_TAGS),
                          "--workdir", str(study / "batch"), "-j", "2"],
                         capture_output=True, text=True, timeout=300)
    check(run.returncode == 0, f"vbsfit-batch ended with {run.returncode}:\n{run.stderr}")
    check(" misfit: the model does not describe their data" in run.stderr,
          f"vbsfit-batch's summary does not count the misfit bins:\n{run.stderr}")
    return study / "batch" / "vbsfit-report"


def check_misfit_marks(groups):
    """A static fit of data made with bin reactions is marked misfit (in the
    bins whose replay it misses); a fit under the tag that made the data is
    not."""
    marked = 0
    for row in (r for g in groups for r in g):
        species, scenario, tag = cell_texts(row)[:3]
        cell = row.find_all("td")[MISFIT_BINS]
        made_by = "static" if (species, scenario) in STATIC_DATA else "allgas"
        if tag == made_by:
            check(cell.text().strip() == "0" and "bad" not in cell.classes(),
                  f"study view: {species}/{scenario}/{tag} fits its own data but shows misfit")
        elif tag == "static":
            check(cell.text().strip() in {"1", "2", "3", "4", "5", "6"} and "bad" in cell.classes(),
                  f"study view: {species}/{scenario}/static on data with bin reactions is not "
                  f"marked misfit ({cell.text()!r})")
            marked += 1
    check(marked == SAMPLE_GROUPS - len(STATIC_DATA), f"study view: {marked} misfit marks")
    return marked


def with_extra(page, copy, head="", body=""):
    """A copy of `page` with markup added at the end of its head and body:
    how the test clicks and types on the page, which runs its own script."""
    text = page.read_text(encoding="utf-8")
    copy.write_text(text.replace("</head>", head + "</head>", 1).replace("</body>", body + "</body>", 1),
                    encoding="utf-8")


# What is done to the study view before counting the rows laid out; all
# but "open" start from a copy whose groups are closed.
CLOSED_GROUP_ACTIONS = {
    "open": None,
    "closed": "",
    "one box ticked": "document.querySelector('#configurations input.expand').click();",
    "filtered": "var field = document.querySelectorAll('#configurations tr.filters input')[2];"
                " field.value = 'no56'; field.dispatchEvent(new Event('input'));",
}


def laid_out_rows(browser, index, copy, action):
    """The configuration rows the browser lays out (gives a box) in a copy of
    the index, after `action`; with an action, the copy's groups start
    closed, as those of a study of more than a thousand configurations do."""
    text = index.read_text(encoding="utf-8")
    if action is not None:
        text = text.replace('class="expand" checked>', 'class="expand">')
    copy.write_text(text, encoding="utf-8")
    with_extra(copy, copy, body="<script>" + (action or "") + "document.body.dataset.laidOut = "
               "Array.prototype.filter.call(document.querySelectorAll('#configurations tbody "
               "tr:not(.group)'), function (r) { return r.getClientRects().length > 0; "
               "}).length;</script>")
    body = Dom(browser.run(copy.as_uri(), "--dump-dom")).root.find_all("body")
    return int(body[0].attrs.get("data-laid-out", "-1"))


def configuration_rows(dom):
    """Per species group, its configuration rows in the order shown."""
    tables = dom.root.find_all("table", id="configurations")
    check(tables, "study view: no table#configurations")
    return [[r for r in group.find_all("tr") if "group" not in r.classes()]
            for group in tables[0].find_all("tbody", cls="species-group")]


def cell_texts(row):
    return [c.text().strip() for c in row.find_all("td")]


def worst_r2_of(row):
    text = cell_texts(row)[WORST_R2]
    return float("inf") if text == "n/a" else float(text)


def check_study_view(browser, batch, vbsgen, scratch):
    """The simulated study's view: rendered, misfits marked, sorted by a
    click, filtered by typing, its explorer drawn, its pages light. Returns
    the report directory and a line for the summary."""
    directory = run_vbsgen_study(batch, vbsgen, scratch)
    index = directory / "index.html"
    size = index.stat().st_size
    pages = sorted(directory.glob("*,*.html"))
    check(len(pages) == SAMPLE_CONFIGURATIONS, f"study view: {len(pages)} pages")
    heaviest = max(p.stat().st_size for p in pages)
    check(heaviest <= PAGE_LIMIT, f"study view: a page of {heaviest} bytes")
    dom = Dom(browser.run(index.as_uri(), "--dump-dom"))
    self_contained(dom, "study view")
    groups = configuration_rows(dom)
    check(len(groups) == 5 and sum(len(g) for g in groups) == SAMPLE_CONFIGURATIONS,
          f"study view: {[len(g) for g in groups]} configuration rows per species")
    check(dom.root.find_all("tr", cls="filters"), "study view: the script added no filter fields")
    for group in groups:
        for row in group:
            links = row.find_all("a")
            check(links and (directory / links[0].attrs["href"]).is_file(),
                  f"study view: no page for {cell_texts(row)[:3]}")
    models = dom.root.find_all("tr", cls="model")
    preferred = [m for m in models if m.attrs.get("data-preferred") == "true"]
    check(len(models) == SAMPLE_CONFIGURATIONS and len(preferred) == SAMPLE_GROUPS,
          f"study view: {len(models)} tags compared, {len(preferred)} preferred")
    misfits = check_misfit_marks(groups)

    # A click on the Worst R² heading sorts every group by it, ascending.
    clicked = directory / "clicked.html"
    with_extra(index, clicked, body="<script>document.querySelector("
               f"'#configurations th[data-column=\"{WORST_R2}\"]').click();</script>")
    sorted_dom = Dom(browser.run(clicked.as_uri(), "--dump-dom"))
    after = configuration_rows(sorted_dom)
    moved = 0
    for before_rows, after_rows in zip(groups, after):
        values = [worst_r2_of(r) for r in after_rows]
        check(values == sorted(values), f"study view: not sorted by worst R² after the click: {values}")
        check(sorted(map(cell_texts, before_rows)) == sorted(map(cell_texts, after_rows)),
              "study view: the click changed the rows, not only their order")
        moved += [cell_texts(r) for r in before_rows] != [cell_texts(r) for r in after_rows]
    check(moved > 0, "study view: the click reordered no rows")
    heading = sorted_dom.root.find_all("th", **{"data_column": str(WORST_R2)})
    check(heading and heading[0].attrs.get("aria-sort") == "ascending",
          "study view: the heading does not say how the rows are sorted")

    # Typing in the Tag column's filter keeps that tag's rows only.
    typed = directory / "filtered.html"
    with_extra(index, typed, body="<script>var field = document.querySelectorAll("
               "'#configurations tr.filters input')[2]; field.value = 'no56'; "
               "field.dispatchEvent(new Event('input'));</script>")
    shown = [r for g in configuration_rows(Dom(browser.run(typed.as_uri(), "--dump-dom"))) for r in g
             if "hidden" not in r.attrs]
    check(len(shown) == SAMPLE_GROUPS and all(cell_texts(r)[2] == "no56" for r in shown),
          f"study view: the filter shows {[cell_texts(r)[2] for r in shown]}")

    # A large study's groups start closed: only what a box opens, or a
    # filter keeps, is laid out (the style sheet alone opens a group).
    laid_out = {what: laid_out_rows(browser, index, directory / "closed.html", action)
                for what, action in CLOSED_GROUP_ACTIONS.items()}
    check(laid_out == {"open": SAMPLE_CONFIGURATIONS, "closed": 0, "one box ticked": len(groups[0]),
                       "filtered": SAMPLE_GROUPS},
          f"study view: rows laid out with the groups closed: {laid_out}")

    # Every species and tag is reachable: the species picker's buttons,
    # clicked in turn, show every one of the 20 series.
    reached = explorer_series(browser, index, directory / "picked.html")
    expected = sorted(f"{s} {t}" for s in VBSGEN_SPECIES for t in VBSGEN_TAGS)
    check(reached == expected, f"explorer: series reached by the picker {reached}, expected {expected}")
    explorer_dom = dom  # as the script drew it on opening: the first species, VB1
    explorer_charts = explorer_dom.root.find_all("figure", cls="explorer")
    check(len(explorer_charts) == EXPLORER_CHARTS, f"explorer: {len(explorer_charts)} charts drawn")
    check(explorer_dom.root.find_all("table", cls="replay-errors") or
          explorer_dom.root.find_all("p", cls="replay-errors"), "explorer: no replay errors beside the charts")

    # Each species' charts drawn, in a screenshot with its button picked:
    # every tag's colour is on the screen.
    fewest = None
    for n, species in enumerate(VBSGEN_SPECIES):
        view = directory / "explorer-view.html"
        with_extra(index, view, head="<style>body > :not(#explorer) { display: none; }</style>")
        text = view.read_text(encoding="utf-8").replace('id="xs0" checked', 'id="xs0"')
        view.write_text(text.replace(f'id="xs{n}"', f'id="xs{n}" checked', 1), encoding="utf-8")
        shot = Path(scratch) / f"explorer-{n}.png"
        browser.run(view.as_uri(), f"--screenshot={shot}", "--window-size=1400,1300", "--hide-scrollbars")
        width, height, channels, pixels = png_pixels(shot)
        counts = dict.fromkeys(SERIES_COLOURS[:len(VBSGEN_TAGS)], 0)
        for row in pixels:
            for x in range(0, width * channels, channels):
                rgb = tuple(row[x:x + 3])
                if rgb in counts:
                    counts[rgb] += 1
        faint = [c for c, k in counts.items() if k < 10]
        check(not faint, f"explorer, {species}: series colours barely drawn: {faint} ({counts})")
        fewest = min(counts.values()) if fewest is None else min(fewest, min(counts.values()))
    shutil.copy(Path(scratch) / "explorer-0.png", Path(scratch) / "explorer.png")

    # At 800 px a page's tables and charts fit: nothing reaches beyond the
    # window, and no heading or cell is wider than its column.
    for page in ("OLE2_OH,1,static.html", "TOL,0.1,allgas.html", "index.html"):
        over = beyond_the_window(browser, directory / page, directory / "narrow.html", 800)
        check(not over, f"{page} at 800 px: {over}")
    return directory, f"study view of {SAMPLE_CONFIGURATIONS} configurations ({size} bytes) rendered, " \
                      f"{misfits} misfit configurations marked, sorted, filtered and drawn " \
                      f"({len(reached)} series reached by the picker, {fewest}+ pixels per tag colour); pages " \
                      f"of at most {heaviest} bytes; pages and study view fit 800 px"


def explorer_series(browser, index, copy):
    """The series of the explorer that show (are laid out) as each species'
    button is clicked in turn: "species tag", sorted."""
    with_extra(index, copy, body="<script>var seen = {};"
               "document.querySelectorAll('input[name=\"explorer-species\"]').forEach(function (b) {"
               " b.click();"
               " document.querySelectorAll('#explorer path.series[data-series]').forEach(function (p) {"
               "  if (p.getClientRects().length > 0) seen[p.dataset.series] = 1; }); });"
               "document.body.dataset.series = Object.keys(seen).sort().join('|');</script>")
    body = Dom(browser.run(copy.as_uri(), "--dump-dom")).root.find_all("body")
    return sorted(s for s in body[0].attrs.get("data-series", "").split("|") if s)


def beyond_the_window(browser, page, copy, width):
    """What of `page`, in a window `width` pixels wide, reaches beyond the
    window, and the table cells whose content is wider than the cell."""
    with_extra(page, copy, body="<script>var w = document.documentElement.clientWidth, over = [];"
               "document.querySelectorAll('body *').forEach(function (e) {"
               " var r = e.getBoundingClientRect();"
               " if (r.width > 0 && (r.right > w + 1 || r.left < -1))"
               "  over.push(e.tagName + (e.id ? '#' + e.id : '') + ' to ' + Math.round(r.right));"
               " if ((e.tagName === 'TH' || e.tagName === 'TD') && e.scrollWidth > e.clientWidth + 1)"
               "  over.push(e.tagName + ' ' + JSON.stringify(e.textContent.slice(0, 24)) + ' wider than its column');"
               "});"
               "document.body.dataset.over = over.slice(0, 8).join('; ') + (over.length > 8 ? ' ...' : '');"
               "</script>")
    body = Dom(browser.run(copy.as_uri(), "--dump-dom", f"--window-size={width},1400", "--hide-scrollbars"))
    return body.root.find_all("body")[0].attrs.get("data-over", "")


def png_pixels(path):
    """Width, height and the RGB(A) rows of an 8-bit PNG, unfiltered."""
    data = Path(path).read_bytes()
    check(data[:8] == b"\x89PNG\r\n\x1a\n", "screenshot: not a PNG")
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            check(depth == 8 and colour in (2, 6) and interlace == 0,
                  f"screenshot: unexpected PNG format {depth}/{colour}/{interlace}")
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind == 1:
            for i in range(channels, stride):
                line[i] = (line[i] + line[i - channels]) & 0xFF
        elif kind == 2:
            line = bytearray((a + b) & 0xFF for a, b in zip(line, previous))
        elif kind == 3:
            for i in range(stride):
                left = line[i - channels] if i >= channels else 0
                line[i] = (line[i] + ((left + previous[i]) >> 1)) & 0xFF
        elif kind == 4:
            for i in range(stride):
                a = line[i - channels] if i >= channels else 0
                b, c = previous[i], previous[i - channels] if i >= channels else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append(bytes(line))
        previous = line
    return width, height, channels, rows


def check_screenshot(path):
    width, height, channels, rows = png_pixels(path)
    colours, inked, undetermined = set(), 0, 0
    for row in rows:
        for x in range(0, width * channels, channels):
            rgb = tuple(row[x:x + 3])
            colours.add(rgb)
            inked += rgb != (255, 255, 255)
            undetermined += rgb == UNDETERMINED_FILL
    share = inked / (width * height)
    check(share > 0.02, f"screenshot: only {share:.2%} of the pixels are not white")
    check(len(colours) > 16, f"screenshot: only {len(colours)} colours")
    check(undetermined > 1000, "screenshot: the undetermined cells' fill is not visible")
    return f"{width}x{height}, {share:.1%} of pixels not white, {len(colours)} colours, " \
           f"{undetermined} pixels of the undetermined fill"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--batch", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--vbsgen", help="vbsgen, for the study view of simulated data")
    parser.add_argument("--artifacts")
    args = parser.parse_args()
    browser_path = find_browser()
    if browser_path is None:
        print(INSTALL_HINT)
        return SKIPPED
    with tempfile.TemporaryDirectory(prefix="vbsfit-browser-") as scratch:
        browser = Browser(browser_path, scratch)
        try:
            report = run_study(args.batch, args.examples, scratch)
            index = Dom(browser.run((report / "index.html").as_uri(), "--dump-dom"))
            self_contained(index, "index")
            pages = check_index(index, report)

            # The example's values carry only the rounding of their digits:
            # only the slowest bin's term of bins 5 and 6 stays undetermined.
            slow = {"VB5", "VB6"}
            def allgas(b, t):
                return "undetermined" if t == "VB6" and int(b) >= 5 else "trusted"
            expectations = {
                "OLE2_OH,0.1,allgas.html": allgas,
                # no56 leaves out reactions the data have: the residuals of
                # bins 5 and 6 drift, but no56 replays them within 1.5 % of
                # their peaks, so no bin is misfit.
                "OLE2_OH,0.1,no56.html": lambda b, t: "no-effect" if t in slow else "trusted",
                "~3Ci~3E~26x,0.1,allgas.html": allgas,
            }
            check(sorted(pages) == sorted(expectations), f"index: pages {pages}")
            for page, expect in expectations.items():
                dom = Dom(browser.run((report / page).as_uri(), "--dump-dom"))
                self_contained(dom, page)
                check_page(dom, page, expect)
                if page.startswith("~"):
                    shown = dom.root.find_all("span", id="species")
                    check(shown and shown[0].text() == ODD_SPECIES,
                          f"{page}: the species shows as {shown[0].text() if shown else None!r}")
                    check(not dom.root.find_all("i"), f"{page}: a species name became markup")

            shot = Path(scratch) / "page.png"
            browser.run((report / "OLE2_OH,0.1,allgas.html").as_uri(), f"--screenshot={shot}",
                        "--window-size=1000,1600", "--hide-scrollbars")
            summary = check_screenshot(shot)
            study_line = ""
            if args.vbsgen:
                simulated, study_line = check_study_view(browser, args.batch, args.vbsgen, scratch)
                study_line = "; " + study_line
            if args.artifacts:
                keep = Path(args.artifacts)
                shutil.rmtree(keep, ignore_errors=True)
                shutil.copytree(report, keep)
                shutil.copy(shot, keep / "screenshot.png")
                if args.vbsgen:
                    shutil.copytree(simulated, keep / "study-view")
                    shutil.copy(Path(scratch) / "explorer.png", keep / "explorer.png")
                    browser.run((simulated / "index.html").as_uri(),
                                f"--screenshot={keep / 'study-view.png'}",
                                "--window-size=1400,1800", "--hide-scrollbars")
                    browser.run((simulated / "OLE2_OH,1,static.html").as_uri(),
                                f"--screenshot={keep / 'misfit-page.png'}",
                                "--window-size=1400,1800", "--hide-scrollbars")
            print(f"index and {len(expectations)} pages checked; screenshot {summary}{study_line}")
        except (AssertionError, subprocess.SubprocessError) as failure:
            print(f"FAILED: {failure}")
            return 1
        finally:
            browser.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
