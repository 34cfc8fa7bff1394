#include "quality/quality.hpp"

#include <Eigen/Dense>
#include <Eigen/SVD>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <limits>

namespace quality {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

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

}  // namespace

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

bool is_misfit(const Fit& fit, double limit) { return fit.autocorrelation > limit; }

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
    coefficient.standard_error =
        coefficient.dependent ? kInfinity : s * design.root[k] / design.norm[k];
    coefficient.ols_standard_error = coefficient.standard_error;
    // An unknown (NaN) error is no evidence of a determined coefficient.
    const bool small = coefficient.standard_error <= se_limit;
    coefficient.flag = small && !coefficient.dependent ? Flag::determined : Flag::undetermined;
  }
  return fit;
}

}  // namespace quality
