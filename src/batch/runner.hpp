// The runner of vbsfit-batch: each configuration of a run set is fitted in a
// child process of its own, a fork of this one that runs vbsfit's main
// program for it in the working directory, with standard output and error
// going to files in the report, so that it prints, writes and ends exactly as
// a vbsfit built for that configuration does there. A configuration whose
// results file exists is kept, not refitted. After each run that succeeded,
// and for each kept configuration, another short-lived child analyses the
// record of the fit (batch/analysis.hpp): it writes the configuration's page
// and hands the batch the numbers for the tables. Up to `jobs` children run
// at once, runs and analyses alike.
//
// SIGINT, SIGTERM and SIGHUP stop the launching of runs and are passed on to
// the running ones; the runner waits for them, analyses what finished and
// returns it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "batch/outcome.hpp"
#include "batch/run_set.hpp"

namespace batch {

struct RunnerSettings {
  std::string workdir = ".";  // where the runs run
  std::string report;         // the report directory, which exists
  int jobs = 1;
  bool progress = false;      // keep one progress line on standard error
  double se_limit = quality::kDefaultSeLimit;  // of a determined coefficient
  bool pages = true;          // write each fitted configuration's page
};

struct BatchResult {
  std::vector<Outcome> outcomes;  // one per entry, in the same order
  int stop_signal = 0;            // the signal that stopped the batch, or 0
  std::string page_error;         // why a page could not be written, or empty
};

BatchResult run_configurations(const std::vector<RunEntry>& entries,
                               const RunnerSettings& settings);

// The first line of the message of a run that failed: the first line of its
// standard error `err`; else, for a run a signal ended, that signal; else
// (the solver prints its message on standard output) standard output's last
// non-blank line without its surrounding blanks.
std::string failure_message(const std::string& stdout_file, std::string_view err,
                            int wait_status);

}  // namespace batch
