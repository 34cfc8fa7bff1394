#include "batch/runner.hpp"

#include <sys/wait.h>

#include <cstring>

#include "batch/analysis.hpp"
#include "batch/child_run.hpp"
#include "batch/files.hpp"
#include "batch/progress.hpp"
#include "batch/report_layout.hpp"
#include "batch/workers.hpp"
#include "config/config.hpp"

namespace batch {

Launch next_launch(const Schedule& s) {
  for (std::size_t n = s.awaiting_from; n < s.phases.size(); ++n) {
    if (s.phases[n] == Phase::awaiting_analysis) return {Launch::Kind::analysis, n};
  }
  for (std::size_t n = s.queued_from; n < s.phases.size(); ++n) {
    if (s.phases[n] != Phase::queued) continue;
    if (s.outcomes[n].state == State::kept) return {Launch::Kind::analysis, n};
    if (!s.stopping) return {Launch::Kind::run, n};
  }
  return {};
}

namespace {

// The process name of the workers that analyse the fits.
constexpr const char* kAnalysisProcessName = "vbsfit-analysis";

// An analysis for a worker: which configuration, and whether it was kept
// (its results file made before this batch, to be checked against the
// record).
struct AnalysisJob {
  std::size_t index;
  bool kept;
};

class Runner {
 public:
  Runner(const std::vector<RunEntry>& entries, const RunnerSettings& settings,
         SignalWatch& signals);
  BatchResult run();

 private:
  std::string directory(std::size_t index) const {
    return run_directory(settings_.report, entries_[index].config);
  }
  // The one place a configuration moves on.
  void move(std::size_t index, Phase phase);
  int busy() const { return static_cast<int>(running_.size()) + analysts_.busy(); }
  bool stopping() const { return result_.stop_signal != 0; }
  // Launches what is due while slots are free and it can start.
  void fill_slots();
  // False when it cannot start for want of a resource while others run: it
  // then waits for one of them to end.
  bool launch_run(std::size_t index);
  bool launch_analysis(std::size_t index);
  // In an analysing worker: the analysis of configuration `index`, encoded.
  std::string analyse(std::uint64_t index) const;
  // The batch's descriptors that a child closes.
  std::vector<int> inherited() const;
  void reap_runs();
  void end_run(std::size_t index, ChildRun& child, int wait_status);
  void finish_analysis(const WorkerPool::Result& result);
  // Sets the note of a configuration whose fit has no numbers.
  void note_missing_numbers(std::size_t index, const std::string& why);
  void take_signals();
  // Fails every configuration: without its signals the batch cannot wait
  // for a child.
  void start_nothing(int error);

  const std::vector<RunEntry>& entries_;
  const RunnerSettings& settings_;
  SignalWatch& signals_;
  BatchResult result_;
  std::vector<Phase> phases_;
  std::size_t queued_from_ = 0, awaiting_from_ = 0;  // see Schedule
  std::vector<std::pair<std::size_t, ChildRun>> running_;
  ProgressLine progress_;
  WorkerPool analysts_;
};

Runner::Runner(const std::vector<RunEntry>& entries, const RunnerSettings& settings,
               SignalWatch& signals)
    : entries_(entries),
      settings_(settings),
      signals_(signals),
      phases_(entries.size(), Phase::queued),
      progress_(settings.progress),
      analysts_(kAnalysisProcessName, [this](std::uint64_t job) { return analyse(job); }) {
  // Kept or not is settled here, before the first worker is made, and never
  // changes: every worker's copy of the outcomes says it.
  result_.outcomes.resize(entries.size());
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const Configuration& c = entries[n].config;
    if (path_exists(join(settings_.workdir, config::results_path(c.species, c.scenario, c.tag)))) {
      result_.outcomes[n].state = State::kept;
    }
  }
}

void Runner::move(std::size_t index, Phase phase) {
  phases_[index] = phase;
  if (phase == Phase::queued) queued_from_ = std::min(queued_from_, index);
  if (phase == Phase::awaiting_analysis) awaiting_from_ = std::min(awaiting_from_, index);
}

std::vector<int> Runner::inherited() const {
  std::vector<int> fds = analysts_.descriptors();
  fds.push_back(signals_.fd());
  for (const auto& [index, child] : running_) {
    fds.push_back(child.setup_fd);
    fds.push_back(child.stderr_fd);
  }
  return fds;
}

void Runner::fill_slots() {
  while (busy() < settings_.jobs) {
    const Launch next = next_launch(
        {phases_, result_.outcomes, stopping(), queued_from_, awaiting_from_});
    if (next.kind == Launch::Kind::none) return;
    const bool analysis = next.kind == Launch::Kind::analysis;
    if (analysis && phases_[next.index] == Phase::awaiting_analysis) {
      awaiting_from_ = next.index + 1;
    } else {
      queued_from_ = next.index + 1;
    }
    if (!(analysis ? launch_analysis(next.index) : launch_run(next.index))) return;
  }
}

bool Runner::launch_run(std::size_t index) {
  ChildRun child;
  auto start = [&] {
    return start_run(entries_[index].config, directory(index), settings_.workdir,
                     signals_.original_mask(), inherited(), child);
  };
  int error = start();
  if (for_want_of_resource(error) && busy() == 0) {
    analysts_.close();  // idle workers hold descriptors and memory too
    error = start();
  }
  if (error == 0) {
    running_.emplace_back(index, child);
    move(index, Phase::running);
    return true;
  }
  if (for_want_of_resource(error) && busy() > 0) {
    move(index, Phase::queued);
    return false;
  }
  Outcome& outcome = result_.outcomes[index];
  outcome.state = State::failed;
  outcome.message = std::string("vbsfit-batch: cannot start a run: ") + std::strerror(error);
  move(index, Phase::done);
  return true;
}

bool Runner::launch_analysis(std::size_t index) {
  const Phase before = phases_[index];
  const int error = analysts_.start(index, inherited());
  if (error == 0) {
    move(index, Phase::analysing);
    return true;
  }
  if (for_want_of_resource(error) && busy() > 0) {
    move(index, before);
    return false;
  }
  note_missing_numbers(index, std::string("cannot start its analysis: ") + std::strerror(error));
  move(index, Phase::done);
  return true;
}

std::string Runner::analyse(std::uint64_t index) const {
  const AnalysisJob job{static_cast<std::size_t>(index),
                        result_.outcomes[index].state == State::kept};
  const Configuration& c = entries_[job.index].config;
  const std::string results =
      join(settings_.workdir, config::results_path(c.species, c.scenario, c.tag));
  return encode(analyze(settings_.report, c, settings_.analysis, job.kept ? &results : nullptr,
                        settings_.pages));
}

void Runner::note_missing_numbers(std::size_t index, const std::string& why) {
  Outcome& outcome = result_.outcomes[index];
  if (outcome.state == State::kept) {
    outcome.message = "kept: " + why;
  } else {
    add_note(outcome, "vbsfit-batch: the fit's numbers were not recorded: " + why);
  }
}

void Runner::reap_runs() {
  for (std::size_t n = 0; n < running_.size();) {
    auto& [index, child] = running_[n];
    int status = 0;
    if (::waitpid(child.pid, &status, WNOHANG) != child.pid) {
      ++n;
      continue;
    }
    const std::size_t ended = index;
    ChildRun run = child;
    running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(n));
    end_run(ended, run, status);
  }
}

void Runner::end_run(std::size_t index, ChildRun& child, int wait_status) {
  const RunEnding ending = finish_run(child, wait_status, directory(index));
  if (!ending.started && for_want_of_resource(ending.setup_error) && busy() > 0) {
    move(index, Phase::queued);  // tried again once a slot is free
    return;
  }
  Outcome& outcome = result_.outcomes[index];
  outcome.seconds = ending.seconds;
  outcome.exit_status = ending.exit_status;
  if (ending.succeeded) {
    outcome.state = State::succeeded;
    if (!ending.note.empty()) add_note(outcome, ending.note);
    move(index, Phase::awaiting_analysis);
    return;
  }
  outcome.state = ending.started && stopping() ? State::interrupted : State::failed;
  outcome.message = ending.message;
  move(index, Phase::done);
}

void Runner::finish_analysis(const WorkerPool::Result& result) {
  const std::size_t index = static_cast<std::size_t>(result.job);
  Outcome& outcome = result_.outcomes[index];
  move(index, Phase::done);
  Analysis analysis;
  if (!result.done || !decode(result.bytes, analysis)) {
    note_missing_numbers(index, "its analysis " + ending_text(result.wait_status));
    return;
  }
  if (!analysis.numbers) {
    if (outcome.state == State::kept) {
      outcome.message = analysis.note;  // says "kept: " and why
    } else {
      note_missing_numbers(index, analysis.note);
    }
    return;
  }
  outcome.numbers = analysis.numbers;
  outcome.page = analysis.page;
  if (result_.page_error.empty()) result_.page_error = analysis.error;
}

void Runner::take_signals() {
  for (int signal : signals_.take()) {
    if (result_.stop_signal == 0) result_.stop_signal = signal;
    for (const auto& [index, child] : running_) ::kill(child.pid, signal);
  }
}

void Runner::start_nothing(int error) {
  const std::string why = std::strerror(error);
  for (std::size_t n = 0; n < entries_.size(); ++n) {
    if (result_.outcomes[n].state == State::kept) {
      note_missing_numbers(n, "cannot start its analysis: " + why);
    } else {
      result_.outcomes[n].state = State::failed;
      result_.outcomes[n].message = "vbsfit-batch: cannot start a run: " + why;
    }
    move(n, Phase::done);
  }
}

BatchResult Runner::run() {
  if (signals_.error() != 0) start_nothing(signals_.error());
  for (;;) {
    reap_runs();
    for (const WorkerPool::Result& result : analysts_.collect()) finish_analysis(result);
    fill_slots();
    if (busy() == 0) break;
    progress_.draw(tally_of(result_.outcomes), stopping());
    std::vector<pollfd> fds;
    analysts_.add_poll_fds(fds);
    signals_.wait(std::move(fds), progress_.tick_milliseconds());
    take_signals();
  }
  analysts_.close();
  progress_.clear();
  // An interrupt that came while the last ones were analysed still counts.
  take_signals();
  return std::move(result_);
}

}  // namespace

BatchResult run_configurations(const std::vector<RunEntry>& entries,
                               const RunnerSettings& settings, SignalWatch& signals) {
  return Runner(entries, settings, signals).run();
}

}  // namespace batch
