// How far one bounded least-squares fit can be trusted, from the fit itself:
// residuals and the usual fit figures, and for every coefficient a standard
// error, a flag that says whether the data determine it, and the verdict
// that shows it to the user with its bin's misfit.
//
// Two standard errors per coefficient:
// - standard_error propagates the noise of the stored values that b and A are
//   made from (each series' noise estimated from its own third differences,
//   plus the rounding of its stored digits) through the solution to first
//   order. b is a difference of stored values and A their means, so the
//   residuals are differences of noise (lag-1 autocorrelation near -0.5) and
//   the regressors carry the same noise: the textbook covariance below
//   assumes neither and overstates the error by orders of magnitude.
// - ols_standard_error is that textbook figure, kept for comparison: the
//   unconstrained problem's s^2 (A'A)^-1 with s^2 = RSS / (rows -
//   coefficients strictly inside their bounds), taken from a singular value
//   decomposition of A with its columns scaled to unit length, so that
//   columns whose scales differ by many orders of magnitude (slow bins:
//   K(6) = 4e-9 per second) keep their precision.
#pragma once

#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quality {

// One bounded least-squares fit as the solver returned it.
struct Problem {
  int rows = 0;                   // 1440 in vbsfit
  int cols = 0;                   // 7
  std::span<const double> a;      // rows x cols, column by column (the design matrix)
  std::span<const double> b;      // rows (the target bin's rates of change)
  std::span<const double> x;      // cols, the solution exactly as bvls returned it (before
                                  // the +1 shift of the target's own coefficient)
  std::span<const double> lower;  // cols, the bounds of that solve
  std::span<const double> upper;  // cols
  int target = 0;  // the bin (1 ... cols - 1) whose rates of change b holds; 0 when b
                   // is not made from the design's stored values
};

// The stored series that a fit's b and A are made from, record by record:
// b(i) = (y_target(i + 1) - y_target(i)) / (time(i + 1) - time(i)) and column
// c of A is rates(c) times the mean of series c over interval i, series 0
// being the precursor and series j the bin j.
struct Stored {
  std::span<const double> time;       // rows + 1
  std::span<const double> precursor;  // rows + 1
  std::span<const double> bins;       // (rows + 1) x (cols - 1), the bins of a record adjacent
  std::span<const double> rates;      // cols
};

enum class Flag {
  determined,    // standard error at most the limit, column independent of the others
  undetermined,  // standard error above the limit (or unknown), or column dependent on others
  no_effect,     // the column is zero: the coefficient does not enter the fit at all
};
// "determined", "undetermined", "no effect".
const char* flag_name(Flag);

struct Coefficient {
  double standard_error;  // from the noise of the stored values (the first figure
                          // above); the OLS figure when the stored values are not
                          // known. NaN where it has no meaning (no-effect column, no
                          // degrees of freedom), +infinity for a column dependent on
                          // the others
  Flag flag;
  bool at_bound;   // x equals its lower or its upper bound exactly
  bool dependent;  // the column lies (numerically) in the span of the others
  // sqrt of s^2 (A'A)^-1's diagonal, NaN and +infinity as above: the
  // figure kept for comparison (NaN where it was not computed).
  double ols_standard_error = std::numeric_limits<double>::quiet_NaN();
};

struct Fit {
  double rss;                // e'e, e = b - A x, summed in row order
  double rms;                // sqrt(rss / rows)
  double r_squared;          // 1 - rss / sum((b - mean b)^2); NaN when b is constant
  double relative_residual;  // sqrt(rss) / ||b||; NaN when b = 0
  int free_count;            // coefficients strictly inside their bounds
  double residual_variance;  // s^2 = rss / (rows - free_count); NaN when rows <= free_count
  double autocorrelation;    // lag 1 of the residuals: sum over i >= 2 of e(i) e(i - 1),
                             // over rss; NaN when rss is 0 (every residual zero)
  double drift;              // the residuals' drift: lag 1 autocorrelation of their running
                             // sum, each residual times its interval's length (see
                             // kDefaultMisfitLimit); NaN when every residual is zero
  std::vector<double> fitted;    // A x, rows
  std::vector<double> residual;  // b - A x, rows
  std::vector<Coefficient> coefficients;  // cols
};

inline constexpr double kDefaultSeLimit = 0.1;

// The misfit seen in the stored values. A residual times its interval's
// length is what the bin's stored value moved by beyond what the model says,
// so the running sum S(k) of those is the model's error in the bin's values
// themselves after k intervals (each interval driven by the observed bins).
// Noise in the stored values telescopes out of that sum (the rate of change
// is a difference of two of them), leaving S with no structure from one
// record to the next; a model that misses part of the data's dynamics lets
// S wander away in long smooth excursions. The drift is the lag-1
// autocorrelation of S about its mean:
//   sum over k >= 2 of s(k) s(k - 1) / sum of s(k)^2,  s = S - mean(S).
// It reads near 1 for a systematic departure whatever the noise, where the
// rates' own residuals, ruled by the -0.5 that differenced noise gives,
// hide it at 1 per cent noise. Measured on vbsgen data (bench/misfit.py:
// OLE2_OH, TOL, c12 and the ideal layout, 40 seeds, data made with allgas
// and no6, fitted with allgas, no56 and static, noise 0, 0.1 % and 1 %): at
// most 0.979 for the data's own model and at least 0.9897 for every bin of
// another tag whose VOC coefficient missed its truth by more than 0.02.
// A bin whose drift exceeds this limit is a misfit, unless its replay
// error is within the replay limit (below).
inline constexpr double kDefaultMisfitLimit = 0.98;

// A bin whose replay error (quality::replay: the largest error of its
// replayed values over their observed peak) is at most this is not called a
// misfit for structure in its residuals alone. Real simulations never
// follow the linear model exactly, and with 1440 intervals any systematic
// departure shows in the drift; this says when it is too small to matter.
// Measured as above: at most 0.022 for the data's own model at 1 % noise
// (the noise itself), at most 0.021 for allgas on runs with absorptive
// partitioning (vbsgen --partitioning), at least 0.095 for every bin that
// missed its VOC coefficient by more than 0.02.
inline constexpr double kDefaultReplayLimit = 0.05;

// What a user is to make of a coefficient: one of four disjoint classes,
// the one word every view (the study, the tables, the pages, the Python
// module) shows for it.
enum class Verdict {
  trusted,       // determined, in a bin whose model describes its data
  undetermined,  // not determined, in a bin that fits
  misfit,        // in a misfit bin, whatever its standard error: not to be used
  no_effect,     // the column is zero: the coefficient does not enter the fit
};
inline constexpr Verdict kVerdicts[] = {Verdict::trusted, Verdict::undetermined, Verdict::misfit,
                                        Verdict::no_effect};

// "trusted", "undetermined", "misfit", "no effect".
const char* verdict_name(Verdict);

// The verdict named `name`, or nothing.
std::optional<Verdict> verdict_from_name(std::string_view name);

// The verdict of `coefficient` in a bin that is (`bin_misfit`) or is not a
// misfit: no effect first (a zero column is in no fit), then misfit, then
// its flag.
Verdict verdict_of(const Coefficient& coefficient, bool bin_misfit);

// Whether the residuals of `fit` show structure under `limit`: their drift
// exceeds it. Residuals that are all zero (NaN) fit perfectly and never do.
bool is_misfit(const Fit& fit, double limit = kDefaultMisfitLimit);

// Whether `fit`, whose bin's replay error is `replay_error`, is a misfit:
// its drift exceeds `misfit_limit` and its replay error is not at most
// `replay_limit` (an unknown, NaN, replay error is no evidence of a good
// one). replay_limit 0 judges by the residuals alone, or nearly.
bool is_misfit(const Fit& fit, double replay_error, double misfit_limit, double replay_limit);

// What the standard errors take from the design matrix alone, so that fits
// of one matrix (vbsfit's six target bins) share one decomposition: the
// nonzero columns and, for each, its length, whether it depends on the
// others, and `root`, the standard error per unit s of its coefficient once
// the column is scaled to unit length; a fit's standard error is then
// s * root / norm.
struct Design {
  int rows = 0;
  int cols = 0;
  std::vector<int> nonzero;     // the columns that are not zero, ascending
  std::vector<double> norm;     // per nonzero column
  std::vector<double> root;     // per nonzero column; NaN when not known
  std::vector<bool> dependent;  // per nonzero column
  // What the propagated errors take from the stored values; empty when they
  // are not known.
  std::vector<double> per_step;  // rows: 1 / the interval lengths
  std::vector<double> rate;      // cols
  std::vector<double> variance;  // (rows + 1) x cols, series by series: each stored
                                 // value's noise variance
  std::vector<int> independent;  // the nonzero columns that are not dependent, ascending
  std::vector<double> unit;      // rows x independent: those columns scaled to unit length
  std::vector<double> gram;      // independent x independent: unit' unit
};

// The design of `a` (rows x cols, column by column), and with `stored` the
// noise of the values it was made from.
Design design_of(int rows, int cols, std::span<const double> a);
Design design_of(int rows, int cols, std::span<const double> a, const Stored& stored);

// The noise variance of each value of one stored series: (rho y)^2 + u, u
// the variance ulp^2 / 12 of rounding to the fewest significant decimal
// digits that write every value exactly (0 for values that need all of a
// double's), rho^2 the relative noise that the series' third differences
// show beyond u. Exposed for its tests.
std::vector<double> noise_variance(std::span<const double> y);

// The figures of one fit, `design` being design_of(problem's rows, cols, a)
// (the solves of one configuration share it). The extents of the spans must
// match rows and cols. se_limit is the largest standard error a determined
// coefficient may have.
Fit assess(const Problem& problem, const Design& design, double se_limit = kDefaultSeLimit);

}  // namespace quality
