#include "quality/quality.hpp"

#include <Eigen/Dense>
#include <Eigen/SVD>

#include <algorithm>
#include <charconv>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <limits>

namespace quality {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// A double needs at most 17 significant digits to be written exactly: values
// that need them carry no rounding of a text file.
constexpr int kExactDigits = 17;

// Relative singular-value cut-off, applied to the design matrix with its
// nonzero columns scaled to unit length: a singular value at most
// max(rows, cols) * eps times the largest counts as zero. A backward-stable
// SVD returns the exact singular values of a matrix that differs from the one
// given by about that much, so a smaller one cannot be told from zero; it is
// the cut-off of the usual numerical rank (NumPy's matrix_rank, MATLAB's
// rank). Scaling first makes the test about the directions of the columns,
// not their sizes: a column of 1e-9 per second is small, not dependent.
double rank_tolerance(int rows, int cols) {
  return static_cast<double>(std::max(rows, cols)) * kEpsilon;
}

// A column is dependent on the others when its share of the directions that
// the cut-off drops, sqrt(sum over those k of V(c, k)^2), exceeds this. The
// computed singular vectors carry rounding of order eps (divided by the gap
// to the kept singular values), so a share below sqrt(eps) is noise of the
// decomposition rather than a part of the dependence.
const double kNullShare = std::sqrt(kEpsilon);

bool zero_column(std::span<const double> a, int rows, int c) {
  const auto column = a.subspan(static_cast<std::size_t>(c) * rows, rows);
  return std::all_of(column.begin(), column.end(), [](double v) { return v == 0.0; });
}

// The significant decimal digits of the shortest text that reads back as v
// (v finite and not zero): 17 at most.
int significant_digits(double v) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific);
  if (error != std::errc()) return kExactDigits;
  int digits = 0;
  for (const char* p = text; p != end && *p != 'e'; ++p) digits += *p >= '0' && *p <= '9';
  return digits;
}

// Every this-many-th value is looked at for the digits of a series: the
// file's precision shows in nearly every value (only a trailing zero hides
// a digit, in one value of ten), so some sixty values of a run's 1441 find
// it at a fraction of the cost.
constexpr int kDigitSample = 24;

// The variance ulp^2 / 12 of rounding v to `digits` significant digits: the
// rounding error is uniform over one unit in the last place.
double rounding_variance(double v, int digits) {
  if (v == 0.0 || digits >= kExactDigits) return 0.0;
  const double ulp = std::pow(10.0, std::floor(std::log10(std::fabs(v))) + 1 - digits);
  return ulp * ulp / 12.0;
}

}  // namespace

std::vector<double> noise_variance(std::span<const double> y) {
  const std::size_t n = y.size();
  int digits = 0;
  for (std::size_t t = 0; t < n; t += kDigitSample) {
    if (y[t] != 0.0 && std::isfinite(y[t])) digits = std::max(digits, significant_digits(y[t]));
  }
  std::vector<double> variance(n, 0.0);
  if (digits > 0 && digits < kExactDigits) {
    // The decade [low, high) of the last value seen: a series stays in one
    // for many values, so pow and log10 run only where it changes.
    double low = 1.0, high = 0.0, ulp_variance = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
      const double magnitude = std::fabs(y[t]);
      if (magnitude == 0.0 || !std::isfinite(magnitude)) continue;
      if (!(magnitude >= low && magnitude < high)) {
        const double decade = std::floor(std::log10(magnitude));
        low = std::pow(10.0, decade);
        high = std::pow(10.0, decade + 1);
        ulp_variance = rounding_variance(magnitude, digits);
      }
      variance[t] = ulp_variance;
    }
  }
  if (n < 4) return variance;
  // A third difference -y(t) + 3 y(t+1) - 3 y(t+2) + y(t+3) of independent
  // noise has the variance v(t) + 9 v(t+1) + 9 v(t+2) + v(t+3). What the
  // smooth signal adds can only make rho larger; third differences cancel a
  // quadratic, so that even a series that changes by several per cent a
  // step (a fast precursor) adds little beside noise of 0.1 per cent.
  double squares = 0.0, rounding = 0.0, scale = 0.0;
  for (std::size_t t = 0; t + 3 < n; ++t) {
    const double d = y[t + 3] - 3.0 * y[t + 2] + 3.0 * y[t + 1] - y[t];
    squares += d * d;
    rounding += variance[t] + 9.0 * (variance[t + 1] + variance[t + 2]) + variance[t + 3];
    scale += y[t] * y[t] + 9.0 * (y[t + 1] * y[t + 1] + y[t + 2] * y[t + 2]) + y[t + 3] * y[t + 3];
  }
  const double rho2 = scale > 0.0 ? std::max(0.0, (squares - rounding) / scale) : 0.0;
  for (std::size_t t = 0; t < n; ++t) variance[t] += rho2 * y[t] * y[t];
  return variance;
}

// With A S = U Sigma V' for S scaling each nonzero column to unit length,
// (A'A)^-1 = S V Sigma^-2 V' S, so the diagonal is
// sum over k of (V(c, k) / sigma_k)^2 / ||a_c||^2, taken over the kept
// singular values: a dependent column has no finite standard error, and the
// others get theirs from the part of the problem the data do determine.
Design design_of(int rows, int cols, std::span<const double> a) {
  assert(rows >= 0 && cols >= 0);
  assert(a.size() == static_cast<std::size_t>(rows) * cols);
  Design d;
  d.rows = rows;
  d.cols = cols;
  for (int c = 0; c < cols; ++c) {
    if (!zero_column(a, rows, c)) d.nonzero.push_back(c);
  }
  const int m = rows;
  const int n = static_cast<int>(d.nonzero.size());
  d.norm.assign(n, kNaN);
  d.root.assign(n, kNaN);
  d.dependent.assign(n, false);
  if (n == 0) return d;

  Eigen::Map<const Eigen::MatrixXd> matrix(a.data(), m, cols);
  Eigen::MatrixXd scaled(m, n);
  for (int k = 0; k < n; ++k) {
    d.norm[k] = matrix.col(d.nonzero[k]).blueNorm();  // safe from overflow and underflow, and quick
    scaled.col(k) = matrix.col(d.nonzero[k]) / d.norm[k];
  }
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(scaled, Eigen::ComputeFullV);
  if (svd.info() != Eigen::Success) return d;  // non-finite input: errors unknown
  const Eigen::VectorXd& sigma = svd.singularValues();  // min(m, n) values, descending
  const Eigen::MatrixXd& v = svd.matrixV();
  const double cutoff = rank_tolerance(m, n) * sigma(0);
  auto kept = [&](int k) { return k < sigma.size() && sigma(k) > cutoff; };

  for (int c = 0; c < n; ++c) {
    double null_share = 0.0;
    double variance = 0.0;  // of the scaled coefficient, per unit s2
    for (int k = 0; k < n; ++k) {
      if (kept(k)) {
        const double term = v(c, k) / sigma(k);
        variance += term * term;
      } else {
        null_share += v(c, k) * v(c, k);
      }
    }
    d.dependent[c] = std::sqrt(null_share) > kNullShare;
    d.root[c] = std::sqrt(variance);
  }
  return d;
}
Design design_of(int rows, int cols, std::span<const double> a, const Stored& stored) {
  assert(stored.time.size() == static_cast<std::size_t>(rows) + 1);
  assert(stored.precursor.size() == stored.time.size());
  assert(stored.bins.size() == stored.time.size() * (cols - 1));
  assert(stored.rates.size() == static_cast<std::size_t>(cols));
  Design d = design_of(rows, cols, a);
  d.per_step.resize(rows);
  for (int i = 0; i < rows; ++i) d.per_step[i] = 1.0 / (stored.time[i + 1] - stored.time[i]);
  d.rate.assign(stored.rates.begin(), stored.rates.end());
  d.variance.reserve(stored.time.size() * cols);
  const std::vector<double> precursor = noise_variance(stored.precursor);
  d.variance.insert(d.variance.end(), precursor.begin(), precursor.end());
  std::vector<double> series(stored.time.size());
  for (int j = 0; j + 1 < cols; ++j) {
    for (int t = 0; t <= rows; ++t) series[t] = stored.bins[static_cast<std::size_t>(t) * (cols - 1) + j];
    const std::vector<double> v = noise_variance(series);
    d.variance.insert(d.variance.end(), v.begin(), v.end());
  }
  // The columns the propagated errors work on, scaled to unit length as for
  // the OLS figure, and their Gram matrix: the same for every solve.
  for (std::size_t k = 0; k < d.nonzero.size(); ++k) {
    if (!d.dependent[k]) d.independent.push_back(d.nonzero[k]);
  }
  const int n = static_cast<int>(d.independent.size());
  d.unit.resize(static_cast<std::size_t>(rows) * n);
  Eigen::Map<const Eigen::MatrixXd> matrix(a.data(), rows, cols);
  Eigen::Map<Eigen::MatrixXd> unit(d.unit.data(), rows, n);
  for (int q = 0; q < n; ++q) {
    const int c = d.independent[q];
    const auto k = std::find(d.nonzero.begin(), d.nonzero.end(), c) - d.nonzero.begin();
    unit.col(q) = matrix.col(c) / d.norm[k];
  }
  d.gram.resize(static_cast<std::size_t>(n) * n);
  // Products of a few columns: dot products (lazyProduct) rather than the
  // blocked matrix product, whose set-up (the cache sizes it queries once
  // in every process) costs more than the product in the batch's short-lived
  // analysing processes.
  Eigen::Map<Eigen::MatrixXd>(d.gram.data(), n, n) = unit.transpose().lazyProduct(unit);
  return d;
}

namespace {

// A stored value e of series s at record t moves b and A, and so the
// residual b - A x of the rows t - 1 and t, by e times (db - dA x) per unit
// e. Row i is made from the values at records i (weight `before`) and i + 1
// (`after`) of each series, so the rows' perturbations are correlated only
// with their neighbours: their covariance C is tridiagonal, given here by its
// diagonal and its first off-diagonal (`next`, rows - 1 long). It is the same
// for every set of free coefficients.
struct RowCovariance {
  Eigen::VectorXd diagonal, next;
};

RowCovariance row_covariance(const Problem& p, const Design& design) {
  const int m = p.rows;
  RowCovariance c{Eigen::VectorXd::Zero(m), Eigen::VectorXd::Zero(std::max(m - 1, 0))};
  const std::size_t records = static_cast<std::size_t>(m) + 1;
  for (int s = 0; s < p.cols; ++s) {
    const double half = p.x[s] * design.rate[s] * 0.5;
    const double* v = design.variance.data() + s * records;
    if (s != p.target) {  // the value moves only a column: the same weight in both rows
      const double w2 = half * half;
      for (int i = 0; i < m; ++i) c.diagonal(i) += (v[i] + v[i + 1]) * w2;
      for (int i = 0; i + 1 < m; ++i) c.next(i) += v[i + 1] * w2;
      continue;
    }
    const double* per_step = design.per_step.data();
    for (int i = 0; i < m; ++i) {
      const double before = -per_step[i] - half;
      const double after = per_step[i] - half;
      c.diagonal(i) += v[i] * before * before + v[i + 1] * after * after;
      if (i + 1 < m) c.next(i) += v[i + 1] * after * (-per_step[i + 1] - half);
    }
  }
  return c;
}

// The propagated errors of one solve. On a set S of independent columns the
// solution moves by H' d for a perturbation d of the residual, H = A_S
// (A_S' A_S)^-1, so its covariance is H' C H = G_SS^-1 (A' C A)_SS G_SS^-1
// with G = A'A, over the independent columns scaled to unit length (as for
// the OLS figure): G comes with the design, A' C A costs O(rows k^2) per
// solve, and each set then O(k^3) with k <= cols.
class Propagation {
 public:
  Propagation(const Problem& p, const Design& design, const RowCovariance& c)
      : n_(static_cast<int>(design.independent.size())),
        gram_(design.gram.data(), n_, n_) {
    const int m = p.rows;
    const Eigen::Map<const Eigen::MatrixXd> unit(design.unit.data(), m, n_);
    Eigen::MatrixXd cu(m, n_);  // C unit, C tridiagonal: one pass per column
    const double* d = c.diagonal.data();
    const double* next = c.next.data();
    for (int q = 0; q < n_; ++q) {
      const double* u = unit.col(q).data();
      double* out = cu.col(q).data();
      for (int i = 0; i < m; ++i) out[i] = d[i] * u[i];
      for (int i = 0; i + 1 < m; ++i) {
        out[i] += next[i] * u[i + 1];
        out[i + 1] += next[i] * u[i];
      }
    }
    middle_ = unit.transpose().lazyProduct(cu);
    for (int q = 0; q < n_; ++q) {
      const int c = design.independent[q];
      norm_.push_back(design.norm[std::find(design.nonzero.begin(), design.nonzero.end(), c) -
                                  design.nonzero.begin()]);
    }
  }

  // The errors of the columns `set` (positions in design.independent), when
  // they are the ones that move.
  std::vector<double> errors(const std::vector<int>& set) const {
    const int k = static_cast<int>(set.size());
    Eigen::MatrixXd g(k, k), mid(k, k);
    for (int i = 0; i < k; ++i) {
      for (int j = 0; j < k; ++j) {
        g(i, j) = gram_(set[i], set[j]);
        mid(i, j) = middle_(set[i], set[j]);
      }
    }
    const Eigen::MatrixXd inverse = g.ldlt().solve(Eigen::MatrixXd::Identity(k, k));
    const Eigen::MatrixXd covariance = inverse * mid * inverse;
    std::vector<double> e(k);
    for (int q = 0; q < k; ++q) e[q] = std::sqrt(std::max(0.0, covariance(q, q))) / norm_[set[q]];
    return e;
  }

 private:
  int n_;
  Eigen::Map<const Eigen::MatrixXd> gram_;
  Eigen::MatrixXd middle_;
  std::vector<double> norm_;
};

// Sets the propagated standard errors of `fit`'s independent columns. The
// coefficients strictly inside their bounds move together, as the solution
// on the free set (a change of the data small enough leaves the others at
// their bounds); one at a bound gets the error it would have if it alone
// were freed beside them: how far the data could move it off its bound.
void propagate(const Problem& p, const Design& design, Fit& fit) {
  const std::vector<int>& independent = design.independent;
  std::vector<int> free, held;  // positions in independent
  for (std::size_t q = 0; q < independent.size(); ++q) {
    (fit.coefficients[independent[q]].at_bound ? held : free).push_back(static_cast<int>(q));
  }
  if (independent.empty()) return;
  const Propagation propagation(p, design, row_covariance(p, design));
  if (!free.empty()) {
    const std::vector<double> errors = propagation.errors(free);
    for (std::size_t q = 0; q < free.size(); ++q) {
      fit.coefficients[independent[free[q]]].standard_error = errors[q];
    }
  }
  for (const int position : held) {
    std::vector<int> set = free;
    set.push_back(position);
    fit.coefficients[independent[position]].standard_error = propagation.errors(set).back();
  }
}

// The lag-1 autocorrelation, about its mean, of the running sum of
// `residual` each times its interval's length (1 / per_step; 1 when the
// lengths are not known); NaN when that sum is constant.
double drift_of(const std::vector<double>& residual, const std::vector<double>& per_step) {
  const std::size_t m = residual.size();
  std::vector<double> sum(m);
  double running = 0.0, total = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    running += per_step.empty() ? residual[i] : residual[i] / per_step[i];
    sum[i] = running;
    total += running;
  }
  const double mean = total / static_cast<double>(m);
  double squares = 0.0, lagged = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const double s = sum[i] - mean;
    squares += s * s;
    if (i > 0) lagged += s * (sum[i - 1] - mean);
  }
  return squares > 0.0 ? lagged / squares : kNaN;
}

}  // namespace

const char* flag_name(Flag flag) {
  switch (flag) {
    case Flag::determined: return "determined";
    case Flag::undetermined: return "undetermined";
    case Flag::no_effect: return "no effect";
  }
  return "?";
}

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::trusted: return "trusted";
    case Verdict::undetermined: return "undetermined";
    case Verdict::misfit: return "misfit";
    case Verdict::no_effect: return "no effect";
  }
  return "?";
}

std::optional<Verdict> verdict_from_name(std::string_view name) {
  for (Verdict verdict : kVerdicts) {
    if (name == verdict_name(verdict)) return verdict;
  }
  return std::nullopt;
}

Verdict verdict_of(const Coefficient& coefficient, bool bin_misfit) {
  if (coefficient.flag == Flag::no_effect) return Verdict::no_effect;
  if (bin_misfit) return Verdict::misfit;
  return coefficient.flag == Flag::determined ? Verdict::trusted : Verdict::undetermined;
}

bool is_misfit(const Fit& fit, double limit) { return fit.drift > limit; }

bool is_misfit(const Fit& fit, double replay_error, double misfit_limit, double replay_limit) {
  return is_misfit(fit, misfit_limit) && !(replay_error <= replay_limit);
}

Fit assess(const Problem& p, const Design& design, double se_limit) {
  const int m = p.rows;
  const int n = p.cols;
  assert(m >= 0 && n >= 0);
  assert(p.a.size() == static_cast<std::size_t>(m) * n);
  assert(p.b.size() == static_cast<std::size_t>(m));
  assert(p.x.size() == static_cast<std::size_t>(n));
  assert(p.lower.size() == static_cast<std::size_t>(n) && p.upper.size() == p.lower.size());
  assert(design.rows == m && design.cols == n);

  Fit fit{};
  fit.fitted.assign(m, 0.0);
  fit.residual.assign(m, 0.0);
  double rss = 0.0, b_sum = 0.0, b_squares = 0.0;
  for (int i = 0; i < m; ++i) {
    double ax = 0.0;
    for (int c = 0; c < n; ++c) ax = ax + p.a[static_cast<std::size_t>(c) * m + i] * p.x[c];
    fit.fitted[i] = ax;
    fit.residual[i] = p.b[i] - ax;
    rss = rss + fit.residual[i] * fit.residual[i];
    b_sum = b_sum + p.b[i];
    b_squares = b_squares + p.b[i] * p.b[i];
  }
  // In row order, as the sum of squares.
  double lagged = 0.0;
  for (int i = 1; i < m; ++i) lagged = lagged + fit.residual[i] * fit.residual[i - 1];
  fit.autocorrelation = rss > 0.0 ? lagged / rss : kNaN;
  fit.drift = rss > 0.0 ? drift_of(fit.residual, design.per_step) : kNaN;
  const double b_mean = b_sum / m;
  double spread = 0.0;
  for (int i = 0; i < m; ++i) spread = spread + (p.b[i] - b_mean) * (p.b[i] - b_mean);

  fit.rss = rss;
  fit.rms = std::sqrt(rss / m);
  fit.r_squared = spread > 0.0 ? 1.0 - rss / spread : kNaN;
  fit.relative_residual = b_squares > 0.0 ? std::sqrt(rss) / std::sqrt(b_squares) : kNaN;
  fit.free_count = 0;
  for (int c = 0; c < n; ++c) fit.free_count += p.lower[c] < p.x[c] && p.x[c] < p.upper[c];
  const int freedom = m - fit.free_count;
  fit.residual_variance = freedom > 0 ? rss / freedom : kNaN;

  fit.coefficients.assign(n, Coefficient{kNaN, Flag::no_effect, false, false, kNaN});
  for (int c = 0; c < n; ++c) {
    fit.coefficients[c].at_bound = p.x[c] == p.lower[c] || p.x[c] == p.upper[c];
  }
  const double s = std::sqrt(fit.residual_variance);
  for (std::size_t k = 0; k < design.nonzero.size(); ++k) {
    Coefficient& coefficient = fit.coefficients[design.nonzero[k]];
    coefficient.dependent = design.dependent[k];
    coefficient.ols_standard_error =
        coefficient.dependent ? kInfinity : s * design.root[k] / design.norm[k];
    coefficient.standard_error = coefficient.ols_standard_error;
  }
  if (p.target > 0 && !design.variance.empty() && m > 1) propagate(p, design, fit);
  for (std::size_t k = 0; k < design.nonzero.size(); ++k) {
    Coefficient& coefficient = fit.coefficients[design.nonzero[k]];
    // An unknown (NaN) error is no evidence of a determined coefficient.
    const bool small = coefficient.standard_error <= se_limit;
    coefficient.flag = small && !coefficient.dependent ? Flag::determined : Flag::undetermined;
  }
  return fit;
}

}  // namespace quality
