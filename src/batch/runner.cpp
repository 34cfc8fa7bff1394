#include "batch/runner.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "batch/analysis.hpp"
#include "batch/child_run.hpp"
#include "batch/files.hpp"
#include "batch/flusher.hpp"
#include "batch/launcher.hpp"
#include "batch/progress.hpp"
#include "batch/record.hpp"
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

std::string set_aside_path(const std::string& workdir, const Configuration& c) {
  return join(join(workdir, std::string(config::kResultsDirectory)),
              "." + config::results_path(c.species, c.scenario, c.tag).substr(
                        config::kResultsDirectory.size() + 1) +
                  ".before-refit");
}

std::string results_path_fault(const std::string& workdir, const Configuration& c) {
  const std::string relative = config::results_path(c.species, c.scenario, c.tag);
  const std::string other = other_than_file(join(workdir, relative));
  if (other.empty()) return {};
  return relative + " is " + other + ", not a results file; remove or rename it";
}

std::string recover_set_aside(const std::string& workdir, const Configuration& c) {
  const std::string old = set_aside_path(workdir, c);
  if (!path_exists(old) || !other_than_file(old).empty()) return {};
  const std::string results = join(workdir, config::results_path(c.species, c.scenario, c.tag));
  if (!results_path_fault(workdir, c).empty()) return {};
  // The new file is linked under its name only once complete: when it is
  // there, the old one has had its day.
  const int done = path_exists(results) ? ::unlink(old.c_str())
                                        : std::rename(old.c_str(), results.c_str());
  if (done == 0) return {};
  return "cannot put back " + old + " as " + results + ": " + std::strerror(errno);
}

namespace {

// The process name of the workers that analyse the fits.
constexpr const char* kAnalysisProcessName = "vbsfit-analysis";

// An analysis for a worker: which configuration, and whether its results
// file was there before its run (to be checked) rather than written by it.
// It travels as the worker's job number.
struct AnalysisJob {
  std::size_t index;
  bool kept;
  std::uint64_t number() const { return index * 2 + (kept ? 1 : 0); }
  static AnalysisJob of(std::uint64_t number) { return {number / 2, number % 2 == 1}; }
};

class Runner {
 public:
  Runner(const std::vector<RunEntry>& entries, const RunnerSettings& settings,
         SignalWatch& signals);
  BatchResult run();

 private:
  std::string output(std::size_t index) const {
    return run_output(settings_.report, entries_[index].config);
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
  // The batch's descriptors that a worker closes.
  std::vector<int> inherited() const;
  void reap_runs();
  void end_run(std::size_t index, const RunEnding& ending);
  void finish_analysis(const WorkerPool::Result& result);
  // Sets the note of a configuration whose fit has no numbers.
  void note_missing_numbers(std::size_t index, const std::string& why);
  // Its outcome is final: hands it to settings_.finished, once; a result it
  // stands on once the flush that follows has put it on disk.
  void finish(std::size_t index);
  void hand_over(std::size_t index);
  // Hands over those whose flush has completed; with `all`, waits for them.
  void hand_over_flushed(bool all);
  // The study's record of a configuration to check, when it can stand for
  // the files (a fit recorded with its numbers); else null.
  const study::ConfigurationRecord* stored(std::size_t index) const;
  // Moves the results file aside before a refit; false (and failed) when
  // it cannot be.
  bool set_aside(std::size_t index);
  // Fails a configuration that is not run, with `why` (said by the batch).
  void fail_unrun(std::size_t index, const std::string& why);
  // After a refit's run: drops the old file, or puts it back.
  void end_set_aside(std::size_t index);
  void take_signals();
  // Fails every configuration: without its signals the batch cannot wait
  // for a child.
  void start_nothing(int error);

  const std::vector<RunEntry>& entries_;
  const RunnerSettings& settings_;
  SignalWatch& signals_;
  BatchResult result_;
  std::vector<Phase> phases_;
  std::vector<bool> refit_;     // its run replaces a results file set aside
  std::vector<bool> finished_;  // handed to settings_.finished
  std::size_t queued_from_ = 0, awaiting_from_ = 0;  // see Schedule
  Launcher own_launcher_;  // when the settings bring none
  Launcher& launcher_;
  std::vector<std::size_t> running_;
  Flusher flusher_;
  // Final, waiting for their flush: the configuration and its ticket.
  std::vector<std::pair<std::size_t, std::uint64_t>> unflushed_;
  ProgressLine progress_;
  WorkerPool analysts_;
};

Runner::Runner(const std::vector<RunEntry>& entries, const RunnerSettings& settings,
               SignalWatch& signals)
    : entries_(entries),
      settings_(settings),
      signals_(signals),
      phases_(entries.size(), Phase::queued),
      refit_(entries.size(), false),
      finished_(entries.size(), false),
      launcher_(settings.launcher != nullptr ? *settings.launcher : own_launcher_),
      flusher_(join(settings.workdir, std::string(config::kResultsDirectory))),
      progress_(settings.progress),
      analysts_(kAnalysisProcessName, [this](std::uint64_t job) { return analyse(job); }) {
  // A configuration whose results file exists is to be checked (kept until
  // its check says otherwise), or with --refit=all run again.
  result_.outcomes.resize(entries.size());
  if (!launcher_.is_open()) launcher_.open(settings_.workdir, signals_.original_mask());
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const Configuration& c = entries[n].config;
    if (std::string fault = results_path_fault(settings_.workdir, c); !fault.empty()) {
      fail_unrun(n, fault);
      continue;
    }
    if (path_exists(join(settings_.workdir, config::results_path(c.species, c.scenario, c.tag)))) {
      if (settings_.refit_all) {
        refit_[n] = true;
      } else {
        move_on(result_.outcomes[n], Event::results_found);
      }
    }
  }
}

const study::ConfigurationRecord* Runner::stored(std::size_t index) const {
  if (settings_.stored == nullptr) return nullptr;
  const auto found = settings_.stored->find(key_of(entries_[index].config));
  return found == settings_.stored->end() ? nullptr : &found->second;
}

void Runner::finish(std::size_t index) {
  if (finished_[index]) return;
  finished_[index] = true;
  const State state = result_.outcomes[index].state;
  if (state == State::succeeded || state == State::kept) {
    unflushed_.emplace_back(index, flusher_.ticket());
  } else {
    hand_over(index);
  }
}

void Runner::hand_over(std::size_t index) {
  Outcome& outcome = result_.outcomes[index];
  if (refit_[index]) {
    // The old results file goes only once the new one is on disk.
    refit_[index] = false;
    if (outcome.state == State::succeeded) {
      ::unlink(set_aside_path(settings_.workdir, entries_[index].config).c_str());
    }
  }
  if (settings_.finished) settings_.finished(index, outcome);
}

void Runner::hand_over_flushed(bool all) {
  if (all && !unflushed_.empty()) flusher_.wait(unflushed_.back().second);
  flusher_.take();
  std::size_t kept = 0;
  for (const auto& [index, ticket] : unflushed_) {
    if (!flusher_.done(ticket)) {
      unflushed_[kept++] = {index, ticket};
      continue;
    }
    if (const int error = flusher_.error(ticket); error != 0) {
      // The file system said a write failed: only the file's own flush can
      // say whether this result is whole on disk.
      const Configuration& c = entries_[index].config;
      const std::string results =
          join(settings_.workdir, config::results_path(c.species, c.scenario, c.tag));
      if (std::string why = sync_file(results); !why.empty()) {
        Outcome& outcome = result_.outcomes[index];
        move_on(outcome, Event::not_on_disk);
        outcome.message = "vbsfit-batch: " + results + " may not be whole on disk: " + why;
        outcome.numbers.reset();
      }
    }
    hand_over(index);
  }
  unflushed_.resize(kept);
}

bool Runner::set_aside(std::size_t index) {
  const Configuration& c = entries_[index].config;
  if (std::string fault = results_path_fault(settings_.workdir, c); !fault.empty()) {
    refit_[index] = false;
    fail_unrun(index, fault);
    finish(index);
    return false;
  }
  const std::string results = join(settings_.workdir, config::results_path(c.species, c.scenario, c.tag));
  const std::string old = set_aside_path(settings_.workdir, c);
  if (std::string other = other_than_file(old); !other.empty()) {
    refit_[index] = false;
    fail_unrun(index, "cannot set " + results + " aside for its refit: " + old + " is " + other +
                          "; remove or rename it");
    finish(index);
    return false;
  }
  if (std::rename(results.c_str(), old.c_str()) == 0 || errno == ENOENT) return true;
  const int error = errno;
  refit_[index] = false;
  fail_unrun(index, "cannot set " + results + " aside for its refit: " + std::strerror(error));
  finish(index);
  return false;
}

void Runner::fail_unrun(std::size_t index, const std::string& why) {
  Outcome& outcome = result_.outcomes[index];
  outcome = Outcome{};
  move_on(outcome, Event::cannot_run);
  outcome.message = "vbsfit-batch: " + why;
  move(index, Phase::done);
}

void Runner::end_set_aside(std::size_t index) {
  if (!refit_[index]) return;
  refit_[index] = false;
  if (std::string why = recover_set_aside(settings_.workdir, entries_[index].config);
      !why.empty()) {
    add_note(result_.outcomes[index], "vbsfit-batch: " + why);
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
  fds.push_back(launcher_.fd());
  fds.push_back(flusher_.fd());
  return fds;
}

void Runner::fill_slots() {
  // One analysis more than the slots may run: a run's end and its analysis
  // are handed over through the batch, and meanwhile a core would wait.
  while (busy() < settings_.jobs + 1) {
    const Launch next = next_launch(
        {phases_, result_.outcomes, stopping(), queued_from_, awaiting_from_});
    if (next.kind == Launch::Kind::none) return;
    const bool analysis = next.kind == Launch::Kind::analysis;
    if (!analysis && static_cast<int>(running_.size()) >= settings_.jobs) return;
    if (analysis && phases_[next.index] == Phase::awaiting_analysis) {
      awaiting_from_ = next.index + 1;
    } else {
      queued_from_ = next.index + 1;
    }
    if (!(analysis ? launch_analysis(next.index) : launch_run(next.index))) return;
  }
}

bool Runner::launch_run(std::size_t index) {
  if (refit_[index] && !set_aside(index)) return true;
  auto start = [&] { return launcher_.start(index, entries_[index].config, entries_[index].species.row,
                           output(index)); };
  int error = start();
  if (for_want_of_resource(error) && busy() == 0) {
    analysts_.close();  // idle workers hold descriptors and memory too
    error = start();
  }
  if (error == 0) {
    running_.push_back(index);
    move(index, Phase::running);
    return true;
  }
  if (for_want_of_resource(error) && busy() > 0) {
    end_set_aside(index);  // set aside again when it starts
    refit_[index] = true;
    move(index, Phase::queued);
    return false;
  }
  end_set_aside(index);
  Outcome& outcome = result_.outcomes[index];
  move_on(outcome, Event::cannot_run);
  outcome.message = std::string("vbsfit-batch: cannot start a run: ") + std::strerror(error);
  move(index, Phase::done);
  finish(index);
  return true;
}

bool Runner::launch_analysis(std::size_t index) {
  const Phase before = phases_[index];
  const AnalysisJob job{index, result_.outcomes[index].state == State::kept};
  const int error = analysts_.start(job.number(), inherited());
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
  finish(index);
  return true;
}

std::string Runner::analyse(std::uint64_t number) const {
  const AnalysisJob job = AnalysisJob::of(number);
  AnalysisRequest request{entries_[job.index], settings_.workdir, settings_.report,
                          settings_.analysis, settings_.pages,
                          job.kept ? stored(job.index) : nullptr};
  return encode(analyze(request));
}

void Runner::note_missing_numbers(std::size_t index, const std::string& why) {
  Outcome& outcome = result_.outcomes[index];
  if (outcome.state == State::kept) {
    // Not checked, so not kept.
    move_on(outcome, Event::found_stale);
    outcome.message = "its results file could not be checked: " + why;
  } else {
    add_note(outcome, "vbsfit-batch: the fit's numbers were not recorded: " + why);
  }
}

void Runner::reap_runs() {
  for (const Launcher::Ended& ended : launcher_.collect()) {
    const auto at = std::find(running_.begin(), running_.end(), ended.id);
    if (at == running_.end()) continue;
    running_.erase(at);
    end_run(ended.id, ended.ending);
  }
}

void Runner::end_run(std::size_t index, const RunEnding& ending) {
  if (!ending.started && for_want_of_resource(ending.setup_error) && busy() > 0) {
    move(index, Phase::queued);  // tried again once a slot is free
    return;
  }
  Outcome& outcome = result_.outcomes[index];
  outcome.seconds = ending.seconds;
  outcome.exit_status = ending.exit_status;
  if (ending.succeeded) {
    move_on(outcome, Event::run_succeeded);
    if (!ending.note.empty()) add_note(outcome, ending.note);
    move(index, Phase::awaiting_analysis);
    return;
  }
  move_on(outcome, ending.started && stopping() ? Event::run_interrupted : Event::run_failed);
  outcome.message = ending.message;
  end_set_aside(index);
  move(index, Phase::done);
  finish(index);
}

void Runner::finish_analysis(const WorkerPool::Result& result) {
  const AnalysisJob job = AnalysisJob::of(result.job);
  const std::size_t index = job.index;
  Outcome& outcome = result_.outcomes[index];
  move(index, Phase::done);
  Analysis analysis;
  if (!result.done || !decode(result.bytes, analysis)) {
    note_missing_numbers(index, "its analysis " + ending_text(result.wait_status));
    finish(index);
    return;
  }
  outcome.inputs = analysis.inputs;
  outcome.results_sha256 = analysis.results_sha256;
  if (result_.page_error.empty()) result_.page_error = analysis.error;
  switch (analysis.verdict) {
    case Analysis::Verdict::fitted:
      outcome.numbers = analysis.numbers;
      outcome.input_records = analysis.input_records;
      outcome.page = analysis.page;
      break;
    case Analysis::Verdict::unchanged:
      if (const study::ConfigurationRecord* s = stored(index)) {
        if (settings_.recorded_numbers) outcome.numbers = settings_.recorded_numbers(s->key);
        outcome.input_records = s->records.value_or(0);
      }
      if (!outcome.numbers) {
        note_missing_numbers(index, "its numbers could not be read from the study's record");
        break;
      }
      outcome.page = analysis.page;
      break;
    case Analysis::Verdict::stale:
      if (job.kept && settings_.refit_stale && !stopping()) {
        outcome = Outcome{};  // run again, the stale file set aside meanwhile
        refit_[index] = true;
        move(index, Phase::queued);
        return;
      }
      move_on(outcome, Event::found_stale);
      outcome.message = analysis.note;
      break;
    case Analysis::Verdict::unfitted:
      note_missing_numbers(index, analysis.note);
      break;
  }
  finish(index);
}

void Runner::take_signals() {
  for (int signal : signals_.take()) {
    if (result_.stop_signal == 0) result_.stop_signal = signal;
    launcher_.signal(signal);
  }
}

void Runner::start_nothing(int error) {
  const std::string why = std::strerror(error);
  for (std::size_t n = 0; n < entries_.size(); ++n) {
    if (phases_[n] == Phase::done) continue;
    if (result_.outcomes[n].state == State::kept) {
      note_missing_numbers(n, "cannot start its analysis: " + why);
    } else {
      move_on(result_.outcomes[n], Event::cannot_run);
      result_.outcomes[n].message = "vbsfit-batch: cannot start a run: " + why;
    }
    move(n, Phase::done);
    finish(n);
  }
}

BatchResult Runner::run() {
  for (std::size_t n = 0; n < entries_.size(); ++n) {
    if (phases_[n] == Phase::done) finish(n);  // failed before a run: recorded at once
  }
  if (signals_.error() != 0) start_nothing(signals_.error());
  for (;;) {
    reap_runs();
    for (const WorkerPool::Result& result : analysts_.collect()) finish_analysis(result);
    hand_over_flushed(false);
    fill_slots();
    if (busy() == 0) break;
    if (progress_.due()) progress_.draw(tally_of(result_.outcomes), stopping());
    std::vector<pollfd> fds;
    analysts_.add_poll_fds(fds);
    fds.push_back({launcher_.fd(), POLLIN, 0});
    if (!unflushed_.empty()) fds.push_back({flusher_.fd(), POLLIN, 0});
    signals_.wait(std::move(fds), progress_.tick_milliseconds());
    take_signals();
  }
  analysts_.close();
  progress_.clear();
  // An interrupt that came while the last ones were analysed still counts.
  take_signals();
  for (std::size_t n = 0; n < entries_.size(); ++n) finish(n);  // those left pending
  hand_over_flushed(true);
  return std::move(result_);
}

}  // namespace

BatchResult run_configurations(const std::vector<RunEntry>& entries,
                               const RunnerSettings& settings, SignalWatch& signals) {
  return Runner(entries, settings, signals).run();
}

}  // namespace batch
