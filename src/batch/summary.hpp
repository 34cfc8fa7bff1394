// The summary vbsfit-batch ends with, read from the rows of runs.csv so that
// a batch and a merge of shards say the same about the same study.
#pragma once

#include <string>
#include <vector>

#include "batch/csv.hpp"
#include "batch/outcome.hpp"

namespace batch {

// The tally of the rows of runs.csv: the same as that of the outcomes the
// rows were made from. Rows of another width or state are not counted.
Tally tally_of_rows(const std::vector<CsvRow>& runs);

// The summary's lines for standard error. `tally` counts the rows `runs`;
// `stop_signal` is the signal that stopped the batch, or 0. `shown` is what
// the last line points the reader to: the report's index page, or the
// directory itself when it has no pages. `misfit_limit` is the one the
// rows' misfit bins were flagged under.
std::string summarize(const Tally& tally, const std::vector<CsvRow>& runs,
                      const std::string& shown, int stop_signal,
                      double misfit_limit = quality::kDefaultMisfitLimit);

}  // namespace batch
