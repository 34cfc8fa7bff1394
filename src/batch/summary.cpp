#include "batch/summary.hpp"

#include <csignal>
#include <map>

#include "batch/tables.hpp"

namespace batch {
namespace {

// Failures listed one by one; runs.csv has the rest.
constexpr int kListedFailures = 20;

// The index of a column of runs.csv.
std::size_t column(const char* name) {
  const CsvRow& header = runs_header();
  for (std::size_t n = 0; n < header.size(); ++n) {
    if (header[n] == name) return n;
  }
  return 0;
}

std::string signal_name(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
  }
  return "signal " + std::to_string(signal);
}

}  // namespace

Summary summarize(const std::vector<CsvRow>& runs, const std::string& report, int stop_signal) {
  static const std::size_t species = column("species"), scenario = column("scenario"),
                           tag = column("tag"), known = column("known_species"),
                           state = column("state"), status = column("exit_status"),
                           message = column("message");
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
  Summary summary;
  for (const CsvRow& row : runs) {
    if (row.size() != runs_header().size()) continue;
    ++counts[row[state]];
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
  if (stop_signal != 0) {
    text += "  stopped by " + signal_name(stop_signal) +
            "; the same command again finishes the rest\n";
  }
  text += "  report: " + report + "\n";
  summary.text = text;
  return summary;
}

}  // namespace batch
