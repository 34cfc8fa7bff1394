// The summary vbsfit-batch ends with, read from the rows of runs.csv so that
// a batch and a merge of shards say the same about the same study.
#pragma once

#include <string>
#include <vector>

#include "batch/csv.hpp"

namespace batch {

struct Summary {
  std::string text;      // lines for standard error
  bool complete = true;  // nothing failed, was interrupted, pending or unrecorded
};

// `stop_signal` is the signal that stopped the batch, or 0. `shown` is what
// the last line points the reader to: the report's index page, or the
// directory itself when it has no pages.
Summary summarize(const std::vector<CsvRow>& runs, const std::string& shown, int stop_signal);

}  // namespace batch
