// The HTML report of a report directory: index.html, one row per
// configuration, and a page for every configuration whose fit the tables
// show, drawn from the record of that fit in the report (its fit.dump), so
// that the pages hold the fit's own doubles and every point of its series.
// A batch's runs get their pages from their analyses (batch/analysis.hpp);
// a joined report's are drawn here.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "batch/csv.hpp"
#include "batch/outcome.hpp"
#include "batch/run_set.hpp"
#include "report/report.hpp"

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
// analyses, and of the rows of a runs.csv (a merge), without.
std::vector<PageEntry> page_entries(const std::vector<RunEntry>& entries,
                                    const std::vector<Outcome>& outcomes);
std::vector<PageEntry> page_entries(const std::vector<CsvRow>& runs);

// The row of index.html of an entry: its names and state, and, when its page
// is written, the lowest R² of its bins and its undetermined coefficients.
report::IndexRow index_row(const PageEntry& entry);

// Writes the page of every entry with numbers whose page is not written yet,
// then index.html, each replacing its old version only once complete;
// `tally` counts the entries' states, `se_limit` flags the coefficients as
// in the tables. Returns why a page could not be written, or empty. A record
// that cannot be read leaves its entry without a page, and its row says why.
std::string write_pages(const std::string& report, std::vector<PageEntry> entries,
                        const Tally& tally, double se_limit);

}  // namespace batch
