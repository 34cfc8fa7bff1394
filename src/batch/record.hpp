// A configuration's outcome as the study records it, and the study as the
// report's tables show it: the one translation between the batch's outcomes
// and the study's rows (study/study.hpp), both ways.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
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

// The species rows that the batches of a study recorded, by batch and
// name: what each configuration was fitted with, whatever species table
// the batch reading the study has.
class RecordedSpecies {
 public:
  RecordedSpecies() = default;
  explicit RecordedSpecies(const std::vector<study::BatchRecord>& batches);
  // The row and source of `record`'s species: its batch's row and source
  // (the built-in table's row when the batch recorded none; for a study of
  // version 2, which kept no source, the source found from the record's
  // known_species and whether the built-in table has that same row).
  SpeciesChoice of(const study::ConfigurationRecord& record) const;

 private:
  std::map<std::pair<std::int64_t, std::string>, study::SpeciesRow> rows_;
};

// The entry and outcome a stored configuration stands for, its species row
// the one `species` shows its batch used.
RunEntry entry_of(const study::Stored& stored, const RecordedSpecies& species);
Outcome outcome_of(const study::Stored& stored);

// The tables' rows of the whole study.
Tables tables_of(const study::Snapshot& snapshot);

}  // namespace batch
