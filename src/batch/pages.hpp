// The HTML report of a report directory: index.html, one row per
// configuration, and a page for every configuration whose fit the tables
// show, drawn from the record of that fit in the report (its fit.dump), so
// that the pages hold the fit's own doubles and every point of its series.
#pragma once

#include <string>
#include <vector>

#include "batch/csv.hpp"
#include "batch/outcome.hpp"
#include "batch/run_set.hpp"

namespace batch {

// One configuration as the index lists it.
struct PageEntry {
  Configuration config;
  std::string state;     // as runs.csv says it
  std::string message;   // the first line of its message, or a note
  bool numbers = false;  // the tables show its fit: it gets a page
};

// The entries of a batch's run set, and of the rows of a runs.csv (a merge).
std::vector<PageEntry> page_entries(const std::vector<RunEntry>& entries,
                                    const std::vector<Outcome>& outcomes);
std::vector<PageEntry> page_entries(const std::vector<CsvRow>& runs);

// Writes the page of every entry with numbers, then index.html, each
// replacing its old version only once complete; `se_limit` flags the
// coefficients as in the tables. Returns why a page could not be written, or
// empty. A record that cannot be read leaves its entry without a page, and
// its row says why.
std::string write_pages(const std::string& report, const std::vector<PageEntry>& entries,
                        double se_limit);

}  // namespace batch
