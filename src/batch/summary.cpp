#include "batch/summary.hpp"

#include <csignal>
#include <cstdlib>
#include <map>
#include <set>

#include "batch/species_table.hpp"
#include "batch/tables.hpp"
#include "config/config.hpp"

namespace batch {
namespace {

// Failures and notes listed one by one; runs.csv has the rest.
constexpr int kListedProblems = 20;

constexpr std::size_t kSpecies = column_index(kRunsColumns, "species");
constexpr std::size_t kScenario = column_index(kRunsColumns, "scenario");
constexpr std::size_t kTag = column_index(kRunsColumns, "tag");
constexpr std::size_t kKnown = column_index(kRunsColumns, "known_species");
constexpr std::size_t kState = column_index(kRunsColumns, "state");
constexpr std::size_t kStatus = column_index(kRunsColumns, "exit_status");
constexpr std::size_t kMessage = column_index(kRunsColumns, "message");
constexpr std::size_t kUndetermined = column_index(kRunsColumns, "undetermined");
constexpr std::size_t kSource = column_index(kRunsColumns, "species_source");
constexpr std::size_t kRecords = column_index(kRunsColumns, "input_records");
constexpr std::size_t kMisfit = column_index(kRunsColumns, "misfit");

bool whole(const CsvRow& row) { return row.size() == kRunsColumns.size(); }

// "N configurations: S succeeded, K kept, F failed", then interrupted and
// pending when there are any.
std::string count_line(const Tally& tally) {
  std::string text = "vbsfit-batch: " + std::to_string(tally.total) +
                     (tally.total == 1 ? " configuration: " : " configurations: ");
  const struct {
    State state;
    bool always;
  } order[] = {{State::succeeded, true}, {State::kept, true}, {State::failed, true},
               {State::stale, false}, {State::interrupted, false}, {State::pending, false}};
  bool first = true;
  for (const auto& [state, always] : order) {
    if (tally.of(state) == 0 && !always) continue;
    text += (first ? "" : ", ") + std::to_string(tally.of(state)) + " " + state_name(state);
    first = false;
  }
  return text + "\n";
}

// One line per failure, per stale results file and per note beside a run
// that succeeded, in run-set order, kListedProblems at most.
std::string problem_lines(const std::vector<CsvRow>& runs) {
  const std::string failed = state_name(State::failed), succeeded = state_name(State::succeeded);
  const std::string stale = state_name(State::stale);
  std::string lines;
  int listed = 0, unlisted = 0;
  for (const CsvRow& row : runs) {
    if (!whole(row)) continue;
    const bool failure = row[kState] == failed;
    if (row[kState] == stale) {
      if (listed == kListedProblems) {
        ++unlisted;
      } else {
        ++listed;
        lines += "  stale: " + row[kSpecies] + "/" + row[kScenario] + "/" + row[kTag] + ": " +
                 row[kMessage] + "\n";
      }
      continue;
    }
    if (!failure && !(row[kState] == succeeded && !row[kMessage].empty())) continue;
    if (listed == kListedProblems) {
      ++unlisted;
      continue;
    }
    ++listed;
    const std::string name = row[kSpecies] + "/" + row[kScenario] + "/" + row[kTag];
    const std::string status =
        failure && !row[kStatus].empty() ? " (exit status " + row[kStatus] + ")" : "";
    lines += "  " + std::string(failure ? "failed" : "note") + ": " + name + status + ": " +
             row[kMessage] + "\n";
  }
  if (unlisted > 0) {
    lines += "  ... and " + std::to_string(unlisted) + " more; see " + kRunsTable + "\n";
  }
  return lines;
}

// The species not in the table, with their count; empty when there are none.
std::string unknown_species_line(const std::vector<CsvRow>& runs) {
  std::map<std::string, int> unknown;
  for (const CsvRow& row : runs) {
    if (whole(row) && row[kKnown] == "false") ++unknown[row[kSpecies]];
  }
  if (unknown.empty()) return {};
  std::string line = "  not in the species table, run with the default rate constants:";
  for (const auto& [name, count] : unknown) {
    line += " " + name + (count > 1 ? " (" + std::to_string(count) + ")" : "");
  }
  return line + "\n";
}

// How many coefficients are undetermined, in how many of the configurations
// with figures; empty when none has figures.
std::string undetermined_line(const std::vector<CsvRow>& runs) {
  int with_figures = 0, flagged = 0, total = 0;
  for (const CsvRow& row : runs) {
    if (!whole(row) || row[kUndetermined].empty()) continue;
    const int count = std::atoi(row[kUndetermined].c_str());
    ++with_figures;
    flagged += count > 0;
    total += count;
  }
  if (with_figures == 0) return {};
  return "  " + std::to_string(total) + (total == 1 ? " coefficient" : " coefficients") +
         " undetermined in " + std::to_string(flagged) + " of " + std::to_string(with_figures) +
         " configurations; see the report\n";
}

// How many target bins are misfit, in how many configurations; empty when
// none is.
std::string misfit_line(const std::vector<CsvRow>& runs, double limit) {
  int bins = 0, configurations = 0;
  for (const CsvRow& row : runs) {
    if (!whole(row) || row[kMisfit].empty()) continue;
    const int count = std::atoi(row[kMisfit].c_str());
    bins += count;
    configurations += count > 0;
  }
  if (bins == 0) return {};
  return "  " + std::to_string(bins) + (bins == 1 ? " target bin in " : " target bins in ") +
         std::to_string(configurations) +
         (configurations == 1 ? " configuration" : " configurations") +
         " misfit: the model does not describe their data (residuals' lag-1 autocorrelation "
         "above " + csv_number(limit) + "); see the report\n";
}

// The species whose row of the species table file took the place of the
// built-in one; empty when there are none.
std::string replaced_species_line(const std::vector<CsvRow>& runs) {
  std::set<std::string> replaced;
  for (const CsvRow& row : runs) {
    if (whole(row) && row[kSource] == source_name(SpeciesSource::replaced)) {
      replaced.insert(row[kSpecies]);
    }
  }
  if (replaced.empty()) return {};
  std::string line = "  rows of the species table file used in place of the built-in ones:";
  for (const std::string& name : replaced) line += " " + name;
  return line + "\n";
}

// The configurations whose inputs hold more records than a fit reads, the
// first ten named; empty when there are none.
std::string surplus_records_line(const std::vector<CsvRow>& runs) {
  constexpr int kListed = 10;  // configurations named; runs.csv has every one
  std::string named;
  int count = 0;
  for (const CsvRow& row : runs) {
    if (!whole(row) || row[kRecords].empty()) continue;
    if (++count <= kListed) {
      named += " " + row[kSpecies] + "/" + row[kScenario] + "/" + row[kTag] + " (" +
               row[kRecords] + ")";
    }
  }
  if (count == 0) return {};
  const std::string records = std::to_string(config::kRecords);
  return "  warning: input files with more than " + records +
         " records, of which the fit used the first " + records + ":" + named +
         (count > kListed ? " and " + std::to_string(count - kListed) + " more (input_records in " +
                                kRunsTable + ")"
                          : "") +
         "\n";
}

std::string signal_name(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
  }
  return "signal " + std::to_string(signal);
}

}  // namespace

Tally tally_of_rows(const std::vector<CsvRow>& runs) {
  Tally tally;
  for (const CsvRow& row : runs) {
    State state;
    if (whole(row) && state_from_name(row[kState], state)) {
      tally.add(state, !row[kMessage].empty());
    }
  }
  return tally;
}

std::string summarize(const Tally& tally, const std::vector<CsvRow>& runs,
                      const std::string& shown, int stop_signal, double misfit_limit) {
  std::string text = count_line(tally) + problem_lines(runs) + unknown_species_line(runs) +
                     replaced_species_line(runs) + surplus_records_line(runs);
  if (stop_signal != 0) {
    text += "  stopped by " + signal_name(stop_signal) +
            "; the same command again finishes the rest\n";
  }
  return text + undetermined_line(runs) + misfit_line(runs, misfit_limit) + "  report: " + shown +
         "\n";
}

}  // namespace batch
