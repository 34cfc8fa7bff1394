// What became of one configuration of a batch, the numbers of its fit that
// the tables show, and the tally of a batch's outcomes that everything it
// reports counts from.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
#include "driver/in_memory.hpp"
#include "quality/figures.hpp"
#include "quality/quality.hpp"
#include "study/study.hpp"

namespace batch {

// What became of a configuration. A run that succeeded stays succeeded
// whatever became of its record (its numbers, its standard error): that is a
// note in its message, not another state.
enum class State {
  pending,      // never started: the batch was interrupted first
  succeeded,    // fitted, results file written
  kept,         // its results file existed before; not refitted
  failed,       // the run ended with another status or a signal, or could not start
  interrupted,  // was running when the batch was interrupted
  stale,        // its results file is not what its inputs fit to (they changed since it
                // was written, or the file was edited): not a success
};
inline constexpr int kStates = 6;
const char* state_name(State state);
// The state named `name` (as state_name gives it); false when none is.
bool state_from_name(std::string_view name, State& state);

struct Outcome;

// What moves a configuration from one state to another.
enum class Event {
  results_found,    // its results file is there before its run: kept until checked
  checked,          // its results file is what its inputs fit to
  cannot_run,       // the batch could not run it (its results path, the set-aside, a start)
  run_succeeded,    // the run ended with status 0
  run_failed,       // the run ended with another status or a signal
  run_interrupted,  // the run was stopped by the batch's interrupt
  not_on_disk,      // a write of its results file failed: it may not be whole
  found_stale,      // its results file is not what its inputs fit to, or could not be checked
  results_gone,     // recorded as fitted, but its results file is no longer there
};
// The one place a state moves on: sets the state `event` leads to from
// `outcome`'s, and returns true; false, the state left as it is, when
// `event` does not apply to that state.
bool move_on(Outcome& outcome, Event event);

// A fit's numbers: its mean molar masses and its six target bins' figures.
// Fixed in size and free of pointers, so that the process that computes it
// can hand it to the batch as bytes.
struct FitNumbers {
  std::array<double, config::kBins> avgwmol{};
  std::array<quality::BinFigures, config::kBins> bins;
  quality::ReplayError replay_total;  // the replay of the bins' total
  quality::ReplayError replay_mass;   // of the total weighted by the mean molar masses
};
static_assert(quality::kTerms == config::kCoefficients);
static_assert(quality::BinFigures{}.rows == config::kIntervals);

// quality::assess of each of a fit's six solves (from its own matrix,
// right-hand side, solution and bounds, and the stored series of `input` it
// was fitted from) under `se_limit`; the six share one decomposition of the
// matrix and one estimate of the series' noise.
std::vector<quality::Fit> assess_solves(const driver::FitOutcome& fit,
                                        const driver::FitInput& input, double se_limit);

// quality::replay of a fit's reported coefficients on the stored series of
// `input` it was fitted from, weighted by its mean molar masses.
quality::Replay replay_fit(const driver::FitOutcome& fit, const driver::FitInput& input);

// The limits a fit's bins are judged misfits by (quality::is_misfit).
struct MisfitLimits {
  double misfit = quality::kDefaultMisfitLimit;
  double replay = quality::kDefaultReplayLimit;
};

// The numbers of a fit: the coefficients shifted exactly as the run shifts
// them, the figures `fits` of its solves (assess_solves) and its `replay`
// (replay_fit), each bin judged a misfit or not under `limits`.
FitNumbers fit_numbers(const driver::FitOutcome& fit, const std::vector<quality::Fit>& fits,
                       const quality::Replay& replay, MisfitLimits limits = {});

// The target bins of a fit flagged misfit.
int misfit_count(const FitNumbers& numbers);

// The coefficients of a fit flagged undetermined.
int undetermined_count(const FitNumbers& numbers);

// An optional value held on the heap, copied whole: an outcome without its
// numbers costs a pointer rather than their 2 kB, which a batch of ten
// thousand outcomes feels.
template <typename T>
class HeapOptional {
 public:
  HeapOptional() = default;
  HeapOptional(const T& value) : value_(std::make_unique<T>(value)) {}
  HeapOptional(const std::optional<T>& value) { *this = value; }
  HeapOptional(const HeapOptional& other) { *this = other; }
  HeapOptional(HeapOptional&&) noexcept = default;
  HeapOptional& operator=(HeapOptional&&) noexcept = default;
  HeapOptional& operator=(const HeapOptional& other) {
    if (this != &other) value_ = other ? std::make_unique<T>(*other) : nullptr;
    return *this;
  }
  HeapOptional& operator=(const std::optional<T>& value) {
    value_ = value ? std::make_unique<T>(*value) : nullptr;
    return *this;
  }
  HeapOptional& operator=(const T& value) {
    value_ = std::make_unique<T>(value);
    return *this;
  }
  bool has_value() const { return value_ != nullptr; }
  explicit operator bool() const { return has_value(); }
  const T& operator*() const { return *value_; }
  T& operator*() { return *value_; }
  const T* operator->() const { return value_.get(); }
  T* operator->() { return value_.get(); }
  void reset() { value_.reset(); }

 private:
  std::unique_ptr<T> value_;
};

// What runs.csv and the summary count of a fit's numbers.
struct FitCounts {
  int undetermined = 0;  // coefficients
  int misfit = 0;        // target bins
};

struct Outcome {
  State state = State::pending;
  std::optional<int> exit_status;  // 128 + the signal number for a run a signal ended
  std::string message;             // the first line of its message, or notes
  std::optional<double> seconds;   // wall time of the run
  HeapOptional<FitNumbers> numbers;
  std::optional<FitCounts> counts;  // of the numbers, once released (release_recorded)
  bool page = false;               // its page is in the report
  int input_records = 0;           // of its longest input file, when beyond what a fit reads
  // Its files as last observed, for the study's record: the inputs (paths
  // relative to the working directory) and the results file's digest.
  std::array<study::FileRecord, 3> inputs;
  std::string results_sha256;
  // The format they were read in and the NetCDF variables mapped, as the
  // study records them; empty: the batch's own (batch/run_inputs.hpp).
  std::string input_format;
  std::string input_variables;
};

// Adds `note` to the message of `outcome`, after what is there ("; ").
void add_note(Outcome& outcome, const std::string& note);

// The counts of the outcome's fit: of its numbers, or as kept when they
// were released; nullopt when it has neither.
std::optional<FitCounts> fit_counts(const Outcome& outcome);

// Lets go of what only the study's record needed of a recorded outcome, its
// numbers and the files observed, keeping the counts of the numbers: what
// the summary reads of it stays the same.
void release_recorded(Outcome& outcome);

// The counts of a batch's configurations by state: the progress line, the
// summary, the index page and the exit status all read one of these.
struct Tally {
  std::array<int, kStates> by_state{};
  int noted = 0;  // succeeded, with a note beside it
  int total = 0;

  void add(State state, bool noted);
  int of(State state) const { return by_state[static_cast<int>(state)]; }
  // Nothing failed, is stale, was interrupted or is pending.
  bool complete() const {
    return of(State::failed) + of(State::stale) + of(State::interrupted) + of(State::pending) ==
           0;
  }
};
Tally tally_of(const std::vector<Outcome>& outcomes);

}  // namespace batch
