// The scheduler of vbsfit-batch: each configuration of a run set is fitted
// in a child process of its own (batch/child_run.hpp); a configuration whose
// results file exists is kept, not refitted. After each run that succeeded,
// and for each kept configuration, a worker analyses the record of the fit
// (batch/analysis.hpp): it writes the configuration's page and hands the
// batch the numbers for the tables. Up to `jobs` children run at once, runs
// and analyses alike. A configuration that cannot start for want of a
// resource (descriptors, processes, memory) waits until a child ends and is
// tried again; only when nothing runs and it still cannot start has it
// failed.
//
// A signal that stops the batch (batch/signal_watch.hpp) stops the launching
// of runs and is passed on to the running ones; the runner waits for them,
// analyses what finished and returns it.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "batch/analysis.hpp"
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
};

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
