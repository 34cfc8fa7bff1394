// How far one bounded least-squares fit can be trusted, from the fit itself:
// residuals and the usual fit figures, and for every coefficient a standard
// error, a flag that says whether the data determine it, and the verdict
// that shows it to the user with its bin's misfit.
//
// The standard errors are those of the unconstrained problem,
// s^2 (A'A)^-1 with s^2 = RSS / (rows - coefficients strictly inside their
// bounds), taken from a singular value decomposition of A with its columns
// scaled to unit length, so that columns whose scales differ by many orders
// of magnitude (slow bins: K(6) = 4e-9 per second) keep their precision.
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
};

enum class Flag {
  determined,    // standard error at most the limit, column independent of the others
  undetermined,  // standard error above the limit (or unknown), or column dependent on others
  no_effect,     // the column is zero: the coefficient does not enter the fit at all
};
// "determined", "undetermined", "no effect".
const char* flag_name(Flag);

struct Coefficient {
  double standard_error;  // sqrt of the covariance diagonal; NaN where it has no meaning
                          // (no-effect column, no degrees of freedom), +infinity for a
                          // column dependent on the others
  Flag flag;
  bool at_bound;   // x equals its lower or its upper bound exactly
  bool dependent;  // the column lies (numerically) in the span of the others
  // The same from s^2 (A'A)^-1 alone, kept for comparison (NaN where it was
  // not computed).
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
  std::vector<double> fitted;    // A x, rows
  std::vector<double> residual;  // b - A x, rows
  std::vector<Coefficient> coefficients;  // cols
};

inline constexpr double kDefaultSeLimit = 0.1;

// Residuals that are differences of measurement noise have a lag-1
// autocorrelation of about -0.5 (measured on fits of the model that made the
// data: -0.59 to -0.37); a model that misses the structure of a bin's data
// leaves residuals that run in long stretches of one sign, near +1 (a tag
// that drops reactions the data had: 0.49 to 0.999). A fit above this limit
// is a misfit: its coefficients are not to be trusted, whatever their
// standard errors say.
inline constexpr double kDefaultMisfitLimit = 0.2;

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

// Whether `fit` is a misfit under `limit`: its residuals' autocorrelation
// exceeds it. Residuals that are all zero (NaN) fit perfectly and never are.
bool is_misfit(const Fit& fit, double limit = kDefaultMisfitLimit);

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
};

// The design of `a` (rows x cols, column by column).
Design design_of(int rows, int cols, std::span<const double> a);

// The figures of one fit, `design` being design_of(problem's rows, cols, a)
// (the solves of one configuration share it). The extents of the spans must
// match rows and cols. se_limit is the largest standard error a determined
// coefficient may have.
Fit assess(const Problem& problem, const Design& design, double se_limit = kDefaultSeLimit);

}  // namespace quality
