// The summary's notes on what the rows of runs.csv say about names and
// inputs: species whose row came from a species table file in place of the
// built-in one, and inputs that hold more records than a fit reads.
#pragma once

#include <string>
#include <vector>

#include "batch/csv.hpp"

namespace batch {

// Lines for the summary ("  ...\n"), or empty when there is nothing to note.
std::string summary_notes(const std::vector<CsvRow>& runs);

}  // namespace batch
