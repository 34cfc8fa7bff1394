// The simulated run that vbsgen writes: the true coefficients (drawn from a
// seed or read from a text file), the trapezoidal integration of the linear
// model that vbsfit fits, the molar masses and the optional noise.
//
// Everything here is plain double arithmetic (+, -, *, /, no library
// functions whose last bit may differ between C libraries) driven by a
// generator of our own, so that one seed gives the same files everywhere.
// Header-only, so that its test can use it in-process.
#pragma once

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"

namespace vbsgen {

inline constexpr int kBins = config::kBins;
inline constexpr int kColumns = config::kCoefficients;  // the precursor, then bins 1 ... 6


// coef[r][c] for target bin r + 1: c = 0 the precursor yield a0(r+1), c = j
// the term a_j(r+1) fed by bin j; the self term is coef[r][r + 1].
using Coefficients = std::array<std::array<double, kColumns>, kBins>;

// The rate constants of one species and tag: KP for the precursor, K(j) for
// bin j.
using RateConstants = config::RateConstants;

// One simulated run, record t = 0 ... records - 1 at time t * step.
struct Run {
  std::vector<double> time;
  std::vector<double> precursor;
  std::vector<std::array<double, kBins>> bins;
  std::vector<std::array<double, kBins>> wmol;
};

// splitmix64 (Steele, Lea and Flood, 2014): a tiny generator whose output is
// fixed by its definition, unlike the standard distributions, whose results
// differ between library versions.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1), a multiple of 2^-53.
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  // Uniform in [low, high), rounded to three decimals so that the true
  // coefficients read as short decimals in files and reports.
  double draw(double low, double high) {
    return std::round((low + (high - low) * uniform()) * 1000.0) / 1000.0;
  }

 private:
  std::uint64_t state_;
};

// A realistic structure: every bin gets a precursor yield in [0.01, 0.3] and
// a self term in [-0.9, -0.1]; each bin r >= 2 is fed by the next more
// volatile bin r - 1 (in [0.05, 0.8]) and, with even odds, bins r >= 3 also
// by bin r - 2 (in [0.02, 0.3]); every other term is exactly 0.
inline Coefficients draw_coefficients(std::uint64_t seed) {
  SplitMix64 rng(seed);
  Coefficients coef{};
  for (int r = 0; r < kBins; ++r) {
    coef[r][0] = rng.draw(0.01, 0.3);
    coef[r][r + 1] = -rng.draw(0.1, 0.9);
    const double feed = rng.draw(0.05, 0.8);
    const bool second = rng.uniform() < 0.5;
    const double feed2 = rng.draw(0.02, 0.3);
    if (r >= 1) coef[r][r] = feed;
    if (r >= 2 && second) coef[r][r - 1] = feed2;
  }
  return coef;
}

// The name a report gives coefficient c of target bin r (both 0-based):
// "a03" for the precursor yield of bin 3, "a23" for bin 2 feeding bin 3.
inline std::string coefficient_name(int r, int c) {
  return "a" + std::to_string(c) + std::to_string(r + 1);
}

// Checks that the seven coefficients of target bin r + 1 are finite and
// within the fit's bounds. Returns an empty string, or a message naming the
// first offending value.
inline std::string check_row(int r, const std::array<double, kColumns>& row) {
  for (int c = 0; c < kColumns; ++c) {
    const double a = row[c];
    const std::string what = "value " + std::to_string(c + 1) + " (" + coefficient_name(r, c) + ")";
    if (!std::isfinite(a)) return what + " is not a finite number";
    if (c == r + 1) {
      if (a < config::kSelfLowerBound || a > config::kSelfUpperBound) {
        return what + " is the self term of bin " + std::to_string(r + 1) +
               " and must lie in [-1, 0]";
      }
    } else if (a < config::kLowerBound || a > config::kUpperBound) {
      return what + " must lie in [0, 10000]";
    }
  }
  return {};
}

// check_row for every row; the message starts with the row ("row 2: ...").
inline std::string check_coefficients(const Coefficients& coef) {
  for (int r = 0; r < kBins; ++r) {
    std::string problem = check_row(r, coef[r]);
    if (!problem.empty()) return "row " + std::to_string(r + 1) + ": " + problem;
  }
  return {};
}

// Reads a coefficient file: six lines of seven numbers (a0r a1r ... a6r for
// target bin r = 1 ... 6), separated by blanks, tabs or commas; blank lines
// and lines starting with '#' are skipped. Every value must pass check_row.
// Returns an empty string, or a message with the line number of the problem.
inline std::string parse_coefficients(std::string_view text, Coefficients& coef) {
  int row = 0;
  int line_number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;

    const std::string at = "line " + std::to_string(line_number) + ": ";
    if (row == kBins) return at + "more than six rows of coefficients";
    std::array<double, kColumns> values{};
    int count = 0;
    std::size_t pos = 0;
    while (true) {
      pos = line.find_first_not_of(" \t,", pos);
      if (pos == std::string_view::npos) break;
      const std::size_t stop = std::min(line.find_first_of(" \t,", pos), line.size());
      const std::string_view token = line.substr(pos, stop - pos);
      double value = 0.0;
      const char* begin = token.data();
      if (!token.empty() && token[0] == '+') ++begin;  // from_chars takes no '+'
      const auto result = std::from_chars(begin, token.data() + token.size(), value);
      if (result.ec != std::errc() || result.ptr != token.data() + token.size()) {
        return at + "'" + std::string(token) + "' is not a number";
      }
      if (count < kColumns) values[count] = value;
      ++count;
      pos = stop;
    }
    if (count != kColumns) {
      return at + "expected 7 numbers (a0r a1r ... a6r), found " + std::to_string(count);
    }
    if (std::string problem = check_row(row, values); !problem.empty()) return at + problem;
    coef[row++] = values;
  }
  if (row < kBins) {
    return "expected six rows of seven numbers, found " + std::to_string(row) + " row" +
           (row == 1 ? "" : "s");
  }
  return {};
}

// The molar mass of bin j (0-based) at time t (seconds): rising slowly from
// 120 + 30 j towards 160 + 37 j g/mol, halfway after one day.
inline double molar_mass(int j, double t) {
  constexpr double kHalfway = 86400.0;
  const double start = 120.0 + 30.0 * j;
  const double end = 160.0 + 37.0 * j;
  return start + (end - start) * (t / (t + kHalfway));
}

// The largest pivot growth we accept in the step matrix below; beyond it the
// step is far too coarse for the rate constants anyway.
inline constexpr double kSmallestPivot = 1e-12;

// Integrates the precursor and the six bins from `precursor0` and empty bins:
//   dP/dt = -KP P,   dy_r/dt = a0r KP P + sum_j a_jr K(j) y_j,
// with the trapezoidal (Crank-Nicolson) rule, so that for every interval
//   (y(i+1) - y(i)) / step = a0 KP (P(i+1) + P(i)) / 2 + M (y(i+1) + y(i)) / 2,
// M(r, j) = a_jr K(j): the discrete model that the fit assumes, exactly up to
// rounding. Returns an empty string, or why the step cannot be taken.
inline std::string simulate(const RateConstants& rates, const Coefficients& coef, int records,
                            double step, double precursor0, Run& run) {
  const double half = step * 0.5;
  if (!(rates.kp * half < 1.0)) {
    return "the step is too long for KP: KP * step / 2 must be below 1, or the precursor "
           "turns negative";
  }

  // A = I - (step/2) M and B = I + (step/2) M; every step solves
  // A y(i+1) = B y(i) + step a0 KP (P(i+1) + P(i)) / 2.
  double a[kBins][kBins];
  double b[kBins][kBins];
  for (int r = 0; r < kBins; ++r) {
    for (int j = 0; j < kBins; ++j) {
      const double m = coef[r][j + 1] * rates.k[j];
      a[r][j] = (r == j ? 1.0 : 0.0) - half * m;
      b[r][j] = (r == j ? 1.0 : 0.0) + half * m;
    }
  }
  // LU factors of A with partial pivoting, once for all steps.
  std::array<int, kBins> perm{};
  for (int r = 0; r < kBins; ++r) perm[r] = r;
  for (int col = 0; col < kBins; ++col) {
    int pivot = col;
    for (int r = col + 1; r < kBins; ++r) {
      if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
    }
    if (!(std::fabs(a[pivot][col]) > kSmallestPivot)) {
      return "the step matrix I - (step/2) M is singular: choose a shorter step";
    }
    if (pivot != col) {
      for (int j = 0; j < kBins; ++j) std::swap(a[col][j], a[pivot][j]);
      std::swap(perm[col], perm[pivot]);
    }
    for (int r = col + 1; r < kBins; ++r) {
      a[r][col] /= a[col][col];
      for (int j = col + 1; j < kBins; ++j) a[r][j] -= a[r][col] * a[col][j];
    }
  }

  const std::size_t n = static_cast<std::size_t>(records);
  run.time.assign(n, 0.0);
  run.precursor.assign(n, 0.0);
  run.bins.assign(n, std::array<double, kBins>{});
  run.wmol.assign(n, std::array<double, kBins>{});
  // The precursor's step factor; below 1 and positive by the check above.
  const double decay = (1.0 - rates.kp * half) / (1.0 + rates.kp * half);
  run.precursor[0] = precursor0;
  for (std::size_t i = 0; i < n; ++i) {
    run.time[i] = static_cast<double>(i) * step;
    for (int j = 0; j < kBins; ++j) run.wmol[i][j] = molar_mass(j, run.time[i]);
    if (i == 0) continue;
    run.precursor[i] = run.precursor[i - 1] * decay;
    const double source = step * rates.kp * ((run.precursor[i] + run.precursor[i - 1]) * 0.5);
    const std::array<double, kBins>& y = run.bins[i - 1];
    std::array<double, kBins> rhs{};
    for (int r = 0; r < kBins; ++r) {
      double sum = coef[r][0] * source;
      for (int j = 0; j < kBins; ++j) sum += b[r][j] * y[j];
      rhs[r] = sum;
    }
    // Forward and back substitution with the permuted right-hand side.
    std::array<double, kBins> x{};
    for (int r = 0; r < kBins; ++r) {
      double sum = rhs[perm[r]];
      for (int j = 0; j < r; ++j) sum -= a[r][j] * x[j];
      x[r] = sum;
    }
    for (int r = kBins - 1; r >= 0; --r) {
      double sum = x[r];
      for (int j = r + 1; j < kBins; ++j) sum -= a[r][j] * x[j];
      x[r] = sum / a[r][r];
    }
    for (int r = 0; r < kBins; ++r) {
      if (!std::isfinite(x[r])) return "the simulation overflowed: choose a shorter step";
    }
    run.bins[i] = x;
  }
  return {};
}

// The aerosol mass at which the rate constants K(j) hold: vbsfit's factors
// C*(j) / (C*(j) + 10) are bin j's gas-phase share at 10 (in the bins' units).
inline constexpr double kReferenceAerosol = 10.0;
// Substeps of each interval in simulate_partitioning: with K h / substeps
// below 0.05 for every species (KP of lim, 3.3e-4 per second, and 3000 s
// steps aside), the classical Runge-Kutta error is far below the files' digits.
inline constexpr int kPartitioningSubsteps = 20;

// The organic aerosol mass C of bins `y` under absorptive partitioning with
// `background` mass already condensed: the root of
//   C = background + sum over j of y_j C / (C + C*(j)),
// which lies between background and background + sum y (the right side is
// increasing in C and below the left at the upper end); by bisection, plain
// arithmetic, to the last bit or 200 halvings.
inline double aerosol_mass(const std::array<double, kBins>& y, double background) {
  double low = background, high = background;
  for (double v : y) high += v > 0.0 ? v : 0.0;
  for (int n = 0; n < 200 && low < high; ++n) {
    const double mid = low + (high - low) * 0.5;
    if (mid <= low || mid >= high) break;
    double absorbed = background;
    for (int j = 0; j < kBins; ++j) {
      const double v = y[j] > 0.0 ? y[j] : 0.0;
      absorbed += v * mid / (mid + config::kSaturationConcentrations[j]);
    }
    (absorbed > mid ? low : high) = mid;
  }
  return low + (high - low) * 0.5;
}

// A run that is not of the fitted model's form: the reactions of bin j act
// on its gas-phase share C*(j) / (C*(j) + C), C the aerosol mass the bins
// form with `background` (aerosol_mass), so that
//   dP/dt = -KP P,
//   dy_r/dt = a0r KP P + sum_j a_jr K(j) (C*(j) + 10) / (C*(j) + C) y_j,
// which is the linear model exactly when C stays at 10 and otherwise
// nonlinear in the bins: more aerosol slows the aging of the semi-volatile
// bins, less speeds it. Integrated with the classical Runge-Kutta method,
// kPartitioningSubsteps per interval. Returns an empty string, or why the
// run cannot be made.
inline std::string simulate_partitioning(const RateConstants& rates, const Coefficients& coef,
                                         int records, double step, double precursor0,
                                         double background, Run& run) {
  if (!(background >= 0.0)) return "the background aerosol mass must not be negative";
  const double h = step / kPartitioningSubsteps;
  if (!(rates.kp * h < 1.0)) {
    return "the step is too long for KP: KP * step / 20 must be below 1";
  }
  // dy/dt of the state (P, y).
  auto derivative = [&](double p, const std::array<double, kBins>& y, double& dp,
                        std::array<double, kBins>& dy) {
    const double mass = aerosol_mass(y, background);
    std::array<double, kBins> reacting{};
    for (int j = 0; j < kBins; ++j) {
      const double cstar = config::kSaturationConcentrations[j];
      reacting[j] = rates.k[j] * ((cstar + kReferenceAerosol) / (cstar + mass)) * y[j];
    }
    dp = -rates.kp * p;
    for (int r = 0; r < kBins; ++r) {
      double sum = coef[r][0] * rates.kp * p;
      for (int j = 0; j < kBins; ++j) sum += coef[r][j + 1] * reacting[j];
      dy[r] = sum;
    }
  };
  const std::size_t n = static_cast<std::size_t>(records);
  run.time.assign(n, 0.0);
  run.precursor.assign(n, 0.0);
  run.bins.assign(n, std::array<double, kBins>{});
  run.wmol.assign(n, std::array<double, kBins>{});
  double p = precursor0;
  std::array<double, kBins> y{};
  for (std::size_t i = 0; i < n; ++i) {
    run.time[i] = static_cast<double>(i) * step;
    for (int j = 0; j < kBins; ++j) run.wmol[i][j] = molar_mass(j, run.time[i]);
    if (i > 0) {
      for (int s = 0; s < kPartitioningSubsteps; ++s) {
        double dp1, dp2, dp3, dp4;
        std::array<double, kBins> d1, d2, d3, d4, at;
        derivative(p, y, dp1, d1);
        for (int j = 0; j < kBins; ++j) at[j] = y[j] + 0.5 * h * d1[j];
        derivative(p + 0.5 * h * dp1, at, dp2, d2);
        for (int j = 0; j < kBins; ++j) at[j] = y[j] + 0.5 * h * d2[j];
        derivative(p + 0.5 * h * dp2, at, dp3, d3);
        for (int j = 0; j < kBins; ++j) at[j] = y[j] + h * d3[j];
        derivative(p + h * dp3, at, dp4, d4);
        p += h / 6.0 * (dp1 + 2.0 * dp2 + 2.0 * dp3 + dp4);
        for (int j = 0; j < kBins; ++j) {
          y[j] += h / 6.0 * (d1[j] + 2.0 * d2[j] + 2.0 * d3[j] + d4[j]);
        }
      }
      for (int j = 0; j < kBins; ++j) {
        if (!std::isfinite(y[j])) return "the simulation overflowed: choose a shorter step";
      }
    }
    run.precursor[i] = p;
    run.bins[i] = y;
  }
  return {};
}

// Multiplies every precursor and bin value by 1 + relative * u, u uniform in
// [-1, 1), drawn in record order (precursor first, then bins 1 ... 6). Times
// and molar masses are left exact. `relative` lies in [0, 1), so no value
// changes sign.
inline void add_noise(Run& run, double relative, std::uint64_t seed) {
  // A stream of its own, so that the coefficients drawn from the same seed
  // do not depend on whether noise is asked for.
  SplitMix64 rng(seed ^ 0x6E6F697365ULL);
  auto factor = [&] { return 1.0 + relative * (2.0 * rng.uniform() - 1.0); };
  for (std::size_t i = 0; i < run.time.size(); ++i) {
    run.precursor[i] *= factor();
    for (double& y : run.bins[i]) y *= factor();
  }
}

}  // namespace vbsgen
