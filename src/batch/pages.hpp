// The HTML report of a report directory: index.html, one row per
// configuration of the study, and a page for every configuration whose fit
// the tables show, drawn from its inputs fitted again in memory, so that the
// pages hold the fit's own doubles and every point of its series. A batch's
// runs get their pages from their analyses (batch/analysis.hpp); a page that
// is missing (a joined report, one written with --no-pages before) is drawn
// here.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "batch/csv.hpp"
#include "batch/outcome.hpp"
#include "batch/run_set.hpp"
#include "report/report.hpp"
#include "study/study.hpp"

namespace batch {

// One configuration as the index lists it.
struct PageEntry {
  Configuration config;
  std::string state;     // as runs.csv says it
  std::string message;   // the first line of its message, or a note
  bool numbers = false;  // the tables show its fit: it gets a page
  // Its fit's numbers and whether its page is written, once known.
  std::optional<FitNumbers> fit;
  bool page = false;
};

// The entries of a batch's run set, with the numbers and pages of its
// analyses, and of a whole study, with its numbers and the pages that are
// in `report`.
std::vector<PageEntry> page_entries(const std::vector<RunEntry>& entries,
                                    const std::vector<Outcome>& outcomes);
std::vector<PageEntry> page_entries(const study::Snapshot& snapshot, const std::string& report);

// The row of index.html of an entry: its names and state, and, when its page
// is written, the lowest R² of its bins and its undetermined coefficients.
report::IndexRow index_row(const PageEntry& entry);

// Writes the page of every entry with numbers whose page is not written yet
// (its inputs read from `workdir`), then index.html, each replacing its old
// version only once complete; `tally` counts the entries' states, `se_limit`
// flags the coefficients as in the tables. Returns why a page could not be
// written, or empty. A fit that cannot be had again leaves its entry without
// a page, and its row says why.
std::string write_pages(const std::string& report, const std::string& workdir,
                        std::vector<PageEntry> entries, const Tally& tally, double se_limit);

}  // namespace batch
