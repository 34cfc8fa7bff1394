#include "batch/outcome.hpp"

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

FitNumbers fit_numbers(const FitDump& dump, double se_limit) {
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
    const quality::Problem problem{config::kIntervals, config::kCoefficients, dump.a, s.b,
                                   s.x, s.lower, s.upper};
    bin.quality = quality::assess(problem, se_limit);
    // The per-row series can be had again from the record; a study of many
    // configurations should not hold them all.
    bin.quality.fitted = {};
    bin.quality.residual = {};
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
