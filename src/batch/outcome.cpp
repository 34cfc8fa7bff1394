#include "batch/outcome.hpp"

#include <algorithm>
#include <initializer_list>


namespace batch {

const char* state_name(State state) {
  switch (state) {
    case State::pending: return "pending";
    case State::succeeded: return "succeeded";
    case State::kept: return "kept";
    case State::failed: return "failed";
    case State::interrupted: return "interrupted";
    case State::stale: return "stale";
  }
  return "";
}

bool state_from_name(std::string_view name, State& state) {
  for (int n = 0; n < kStates; ++n) {
    if (name == state_name(static_cast<State>(n))) {
      state = static_cast<State>(n);
      return true;
    }
  }
  return false;
}

namespace {

constexpr unsigned from(std::initializer_list<State> states) {
  unsigned set = 0;
  for (State s : states) set |= 1u << static_cast<int>(s);
  return set;
}

// The legal moves: an event, the states it applies to, the state it leads to.
struct Move {
  Event event;
  unsigned from;
  State to;
};
constexpr Move kMoves[] = {
    {Event::results_found, from({State::pending}), State::kept},
    {Event::checked, from({State::pending, State::succeeded, State::kept}), State::kept},
    {Event::cannot_run, from({State::pending}), State::failed},
    {Event::run_succeeded, from({State::pending}), State::succeeded},
    {Event::run_failed, from({State::pending}), State::failed},
    {Event::run_interrupted, from({State::pending}), State::interrupted},
    {Event::not_on_disk, from({State::succeeded, State::kept}), State::failed},
    {Event::found_stale, from({State::pending, State::succeeded, State::kept}), State::stale},
    {Event::results_gone, from({State::succeeded, State::kept}), State::pending},
};

}  // namespace

bool move_on(Outcome& outcome, Event event) {
  for (const Move& m : kMoves) {
    if (m.event != event) continue;
    if ((m.from & from({outcome.state})) == 0) return false;
    outcome.state = m.to;
    return true;
  }
  return false;
}

void add_note(Outcome& outcome, const std::string& note) {
  outcome.message += (outcome.message.empty() ? "" : "; ") + note;
}

std::optional<FitCounts> fit_counts(const Outcome& outcome) {
  if (outcome.numbers) {
    return FitCounts{undetermined_count(*outcome.numbers), misfit_count(*outcome.numbers)};
  }
  return outcome.counts;
}

void release_recorded(Outcome& outcome) {
  outcome.counts = fit_counts(outcome);
  outcome.numbers.reset();
  outcome.inputs = {};
  outcome.results_sha256 = std::string();
}

void Tally::add(State state, bool with_note) {
  ++by_state[static_cast<int>(state)];
  noted += state == State::succeeded && with_note;
  ++total;
}

Tally tally_of(const std::vector<Outcome>& outcomes) {
  Tally tally;
  for (const Outcome& o : outcomes) tally.add(o.state, !o.message.empty());
  return tally;
}

namespace {

quality::Problem solve_problem(const driver::FitOutcome& fit, const driver::SolveRecord& s,
                               int target) {
  return {fit.intervals, config::kCoefficients, fit.a, s.b, s.x, s.lower, s.upper, target};
}

}  // namespace

std::vector<quality::Fit> assess_solves(const driver::FitOutcome& fit,
                                        const driver::FitInput& input, double se_limit) {
  const std::array<double, config::kCoefficients> rates = config::rate_row(fit.rates);
  const quality::Stored stored{input.time, input.precursor, input.bins, rates};
  const quality::Design design =
      quality::design_of(fit.intervals, config::kCoefficients, fit.a, stored);
  std::vector<quality::Fit> fits;
  for (int r = 1; r <= config::kBins; ++r) {
    fits.push_back(quality::assess(solve_problem(fit, fit.solves[r - 1], r), design, se_limit));
  }
  return fits;
}

quality::Replay replay_fit(const driver::FitOutcome& fit, const driver::FitInput& input) {
  const std::array<double, config::kCoefficients> rates = config::rate_row(fit.rates);
  std::vector<double> coefficients;
  for (const driver::SolveRecord& s : fit.solves) {
    coefficients.insert(coefficients.end(), s.reported.begin(), s.reported.end());
  }
  return quality::replay({input.time, input.precursor, input.bins, rates}, coefficients,
                         fit.avgwmol);
}

FitNumbers fit_numbers(const driver::FitOutcome& fit, const std::vector<quality::Fit>& fits,
                       const quality::Replay& replay, MisfitLimits limits) {
  FitNumbers numbers;
  numbers.avgwmol = fit.avgwmol;
  numbers.replay_total = replay.total;
  numbers.replay_mass = replay.weighted_total;
  for (int r = 1; r <= config::kBins; ++r) {
    const driver::SolveRecord& s = fit.solves[r - 1];
    quality::BinFigures& bin = numbers.bins[r - 1];
    bin.coefficient = s.x;
    bin.lower = s.lower;
    bin.upper = s.upper;
    bin.coefficient[r] = config::shift_own(bin.coefficient[r]);
    bin.lower[r] = config::shift_own(bin.lower[r]);
    bin.upper[r] = config::shift_own(bin.upper[r]);
    const quality::Fit& q = fits[r - 1];
    quality::BinFigures& f = bin;
    f.rows = fit.intervals;
    f.rss = q.rss;
    f.rms = q.rms;
    f.r_squared = q.r_squared;
    f.relative_residual = q.relative_residual;
    f.residual_variance = q.residual_variance;
    f.free_count = q.free_count;
    f.autocorrelation = q.autocorrelation;
    f.drift = q.drift;
    if (static_cast<int>(replay.bin.size()) >= r) {
      f.replay_error = replay.bin[r - 1].max_error;
      f.replay_rms_error = replay.bin[r - 1].rms_error;
    }
    f.misfit = quality::is_misfit(q, f.replay_error, limits.misfit, limits.replay);
    std::copy(q.coefficients.begin(), q.coefficients.end(), f.coefficients.begin());
  }
  return numbers;
}

int undetermined_count(const FitNumbers& numbers) {
  int count = 0;
  for (const quality::BinFigures& bin : numbers.bins) {
    for (const quality::Coefficient& c : bin.coefficients) {
      count += quality::verdict_of(c, bin.misfit) == quality::Verdict::undetermined;
    }
  }
  return count;
}

int misfit_count(const FitNumbers& numbers) {
  int count = 0;
  for (const quality::BinFigures& bin : numbers.bins) count += bin.misfit;
  return count;
}

}  // namespace batch
