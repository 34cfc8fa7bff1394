#include "batch/outcome.hpp"

#include <algorithm>

#include "textio/formatted.hpp"

namespace batch {

const char* state_name(State state) {
  switch (state) {
    case State::pending: return "pending";
    case State::succeeded: return "succeeded";
    case State::kept: return "kept";
    case State::failed: return "failed";
    case State::interrupted: return "interrupted";
  }
  return "";
}

namespace {

quality::Problem solve_problem(const FitDump& dump, const SolveRecord& s) {
  return {config::kIntervals, config::kCoefficients, dump.a, s.b, s.x, s.lower, s.upper};
}

}  // namespace

std::vector<quality::Fit> assess_solves(const FitDump& dump, double se_limit) {
  const quality::Design design =
      quality::design_of(config::kIntervals, config::kCoefficients, dump.a);
  std::vector<quality::Fit> fits;
  for (const SolveRecord& s : dump.solves) {
    fits.push_back(quality::assess(solve_problem(dump, s), design, se_limit));
  }
  return fits;
}

FitNumbers fit_numbers(const FitDump& dump, const std::vector<quality::Fit>& fits) {
  FitNumbers numbers;
  numbers.avgwmol = dump.avgwmol;
  for (int r = 1; r <= config::kBins; ++r) {
    const SolveRecord& s = dump.solves[r - 1];
    BinFit& bin = numbers.bins[r - 1];
    bin.coefficient = s.x;
    bin.lower = s.lower;
    bin.upper = s.upper;
    // The run reports the target's own coefficient shifted by this one
    // addition; the same addition here gives the same double.
    bin.coefficient[r] = bin.coefficient[r] + config::kSelfShift;
    bin.lower[r] = bin.lower[r] + config::kSelfShift;
    bin.upper[r] = bin.upper[r] + config::kSelfShift;
    const quality::Fit& q = fits[r - 1];
    FitFigures& f = bin.quality;
    f.rss = q.rss;
    f.rms = q.rms;
    f.r_squared = q.r_squared;
    f.relative_residual = q.relative_residual;
    f.residual_variance = q.residual_variance;
    f.free_count = q.free_count;
    std::copy(q.coefficients.begin(), q.coefficients.end(), f.coefficients.begin());
  }
  return numbers;
}

int undetermined_count(const FitNumbers& numbers) {
  int count = 0;
  for (const BinFit& bin : numbers.bins) {
    for (const quality::Coefficient& c : bin.quality.coefficients) {
      count += c.flag == quality::Flag::undetermined;
    }
  }
  return count;
}

std::vector<std::string> results_records(const FitNumbers& numbers) {
  std::vector<std::string> records;
  for (const BinFit& bin : numbers.bins) {
    for (std::string& record : textio::render_formatted(textio::FMT2, bin.coefficient)) {
      records.push_back(std::move(record));
    }
  }
  const auto& w = numbers.avgwmol;
  const std::array<double, config::kCoefficients> masses = {0.0, w[0], w[1], w[2], w[3], w[4], w[5]};
  for (std::string& record : textio::render_formatted(textio::FMT1, masses)) {
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace batch
