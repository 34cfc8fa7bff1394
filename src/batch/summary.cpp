#include "batch/summary.hpp"

#include <csignal>
#include <cstdlib>
#include <map>

#include "batch/summary_notes.hpp"
#include "batch/tables.hpp"

namespace batch {
namespace {

// Failures listed one by one; runs.csv has the rest.
constexpr int kListedFailures = 20;

std::string signal_name(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
  }
  return "signal " + std::to_string(signal);
}

}  // namespace

Summary summarize(const std::vector<CsvRow>& runs, const std::string& shown, int stop_signal) {
  static const std::size_t species = runs_column("species"), scenario = runs_column("scenario"),
                           tag = runs_column("tag"), known = runs_column("known_species"),
                           state = runs_column("state"), status = runs_column("exit_status"),
                           message = runs_column("message"),
                           undetermined = runs_column("undetermined");
  // The states in the order the summary counts them; the last two only when
  // there are any.
  const struct {
    State state;
    bool always;
  } order[] = {{State::succeeded, true}, {State::kept, true}, {State::failed, true},
               {State::interrupted, false}, {State::pending, false}};
  const std::string succeeded = state_name(State::succeeded), kept = state_name(State::kept),
                    failed_state = state_name(State::failed);
  std::map<std::string, int> counts;
  std::string problems;
  int listed = 0, unlisted = 0;
  std::map<std::string, int> unknown;  // species not in the table, with their count
  int with_figures = 0, flagged = 0, undetermined_total = 0;
  Summary summary;
  for (const CsvRow& row : runs) {
    if (row.size() != runs_header().size()) continue;
    ++counts[row[state]];
    if (!row[undetermined].empty()) {
      const int count = std::atoi(row[undetermined].c_str());
      ++with_figures;
      flagged += count > 0;
      undetermined_total += count;
    }
    if (row[known] == "false") ++unknown[row[species]];
    const bool failed = row[state] == failed_state;
    const bool unrecorded = row[state] == succeeded && !row[message].empty();
    if (row[state] != succeeded && row[state] != kept) summary.complete = false;
    if (unrecorded) summary.complete = false;
    if (!failed && !unrecorded) continue;
    if (listed == kListedFailures) {
      ++unlisted;
      continue;
    }
    ++listed;
    const std::string name = row[species] + "/" + row[scenario] + "/" + row[tag];
    problems += "  " + std::string(failed ? "failed" : "not recorded") + ": " + name +
                (row[status].empty() ? "" : " (exit status " + row[status] + ")") + ": " +
                row[message] + "\n";
  }
  if (unlisted > 0) {
    problems += "  ... and " + std::to_string(unlisted) + " more; see " + kRunsTable + "\n";
  }

  std::string text = "vbsfit-batch: " + std::to_string(runs.size()) +
                     (runs.size() == 1 ? " configuration: " : " configurations: ");
  bool first = true;
  for (const auto& [counted, always] : order) {
    const std::string name = state_name(counted);
    const int count = counts[name];
    if (count == 0 && !always) continue;
    text += (first ? "" : ", ") + std::to_string(count) + " " + name;
    first = false;
  }
  text += "\n" + problems;
  if (!unknown.empty()) {
    text += "  not in the species table, run with the default rate constants:";
    for (const auto& [name, count] : unknown) {
      text += " " + name + (count > 1 ? " (" + std::to_string(count) + ")" : "");
    }
    text += "\n";
  }
  text += summary_notes(runs);
  if (stop_signal != 0) {
    text += "  stopped by " + signal_name(stop_signal) +
            "; the same command again finishes the rest\n";
  }
  if (with_figures > 0) {
    text += "  " + std::to_string(undetermined_total) +
            (undetermined_total == 1 ? " coefficient" : " coefficients") + " undetermined in " +
            std::to_string(flagged) + " of " + std::to_string(with_figures) +
            " configurations; see the report\n";
  }
  text += "  report: " + shown + "\n";
  summary.text = text;
  return summary;
}

}  // namespace batch
