// A configuration's outcome as the study records it, and the study as the
// report's tables show it: the one translation between the batch's outcomes
// and the study's rows (study/study.hpp), both ways.
#pragma once

#include <cstdint>
#include <vector>

#include "batch/outcome.hpp"
#include "batch/run_set.hpp"
#include "batch/tables.hpp"
#include "study/study.hpp"

namespace batch {

study::Key key_of(const Configuration& config);

// The row of `entry`, whose outcome is `outcome`, for the batch `batch`.
study::Stored stored_of(const RunEntry& entry, const Outcome& outcome, std::int64_t batch);

// The numbers a stored configuration's rows hold: the coefficients, bounds
// and figures the tables show (what a fit's numbers are, less the figures
// the study does not keep).
FitNumbers numbers_of(const study::Stored& stored);

// The entry and outcome a stored configuration stands for.
RunEntry entry_of(const study::Stored& stored);
Outcome outcome_of(const study::Stored& stored);

// The tables' rows of the whole study.
Tables tables_of(const study::Snapshot& snapshot);

}  // namespace batch
