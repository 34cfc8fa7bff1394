// The scheduler of vbsfit-batch: each configuration of a run set is fitted
// in a child process of its own (batch/child_run.hpp). A configuration whose
// results file exists is checked instead: kept when the file is exactly what
// its inputs fit to, stale otherwise (and run again with --refit, the old
// file set aside until the new one is complete). After each run that
// succeeded, and for each configuration to check, a worker analyses the fit
// in memory (batch/analysis.hpp): it writes the configuration's page and
// hands the batch the numbers for the tables. Each configuration is handed
// to `finished` as soon as its outcome is final, so that the study records
// it at once. Up to `jobs` children run at once, runs
// and analyses alike. A configuration that cannot start for want of a
// resource (descriptors, processes, memory) waits until a child ends and is
// tried again; only when nothing runs and it still cannot start has it
// failed.
//
// A signal that stops the batch (batch/signal_watch.hpp) stops the launching
// of runs and is passed on to the running ones; the runner waits for them,
// analyses what finished and returns it.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "batch/analysis.hpp"
#include "batch/launcher.hpp"
#include "batch/outcome.hpp"
#include "batch/run_set.hpp"
#include "batch/signal_watch.hpp"

namespace batch {

struct RunnerSettings {
  std::string workdir = ".";  // where the runs run
  std::string report;         // the report directory, which exists
  int jobs = 1;
  bool progress = false;      // keep one progress line on standard error
  AnalysisSettings analysis;  // the limits the fits are judged by, and the pages' notes
  bool pages = true;          // write each fitted configuration's page
  bool refit_stale = false;   // run a stale configuration again (--refit)
  bool refit_all = false;     // run every configuration again (--refit=all)
  // The study's record before the batch: what a kept configuration's files
  // are checked against first (no refit when they are unchanged), the
  // records that may stand for their files (batch::read_start).
  const std::map<study::Key, study::ConfigurationRecord>* stored = nullptr;
  // The numbers recorded of one of those, read from the study when its
  // files are found unchanged (in the batch process); nullopt when they
  // cannot be read.
  std::function<std::optional<FitNumbers>(const study::Key&)> recorded_numbers;
  // Called with a configuration's index and outcome once the outcome is
  // final (those still pending at the end included), in the batch process;
  // it may add notes to the outcome.
  std::function<void(std::size_t, Outcome&)> finished;
  // Where the runs start: made while the batch was still small; null: the
  // runner makes its own.
  Launcher* launcher = nullptr;
};

// Why the results path of `config` in `workdir` cannot take its results
// file: something other than a file is there ("FITS/fit6_coef.X.Y.Z is a
// directory, not a results file; remove or rename it"). Empty when a file
// or nothing is. Such a configuration fails without a run, and what is
// there is never moved.
std::string results_path_fault(const std::string& workdir, const Configuration& config);

// Where a --refit keeps the old results file of `config` until the new one
// is complete: a hidden name beside it.
std::string set_aside_path(const std::string& workdir, const Configuration& config);
// Puts back an old results file that a batch set aside and did not replace
// (a batch killed during a --refit), or removes it when the new one is
// there; while something other than a file has the results file's name it
// stays aside. Anything other than a file at the set-aside name is not the
// batch's and is left as it is. Returns why it could not, or empty.
std::string recover_set_aside(const std::string& workdir, const Configuration& config);

struct BatchResult {
  std::vector<Outcome> outcomes;  // one per entry, in the same order
  int stop_signal = 0;            // the signal that stopped the batch, or 0
  std::string page_error;         // why a page could not be written, or empty
};

// Runs `entries` under `signals`, which the caller holds until its report
// is written.
BatchResult run_configurations(const std::vector<RunEntry>& entries,
                               const RunnerSettings& settings, SignalWatch& signals);

// Where a configuration is in the batch. Its outcome's state says what
// became of it.
enum class Phase {
  queued,             // not started (a kept one: its analysis not started)
  running,            // its run is going
  awaiting_analysis,  // its run succeeded; its analysis waits for a slot
  analysing,
  done,
};

// What to launch in a free slot.
struct Launch {
  enum class Kind { none, run, analysis };
  Kind kind = Kind::none;
  std::size_t index = 0;  // of the configuration
};

// What the choice of the next launch reads: the phases and outcomes of the
// configurations, side by side, and two places to start looking from (no
// configuration before `queued_from` is queued, none before `awaiting_from`
// awaits analysis), which spare a long run set a scan from its start.
struct Schedule {
  std::span<const Phase> phases;
  std::span<const Outcome> outcomes;
  bool stopping = false;
  std::size_t queued_from = 0;
  std::size_t awaiting_from = 0;
};

// The analysis of the first run that awaits one, in run-set order; else the
// first queued configuration: its analysis when it is kept, its run unless
// the batch is stopping (a run not started then stays pending, while the
// kept configurations' numbers still belong in the tables); else none.
Launch next_launch(const Schedule& schedule);

}  // namespace batch
