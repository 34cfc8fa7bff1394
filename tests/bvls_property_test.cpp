// bvls on random problems: the solution it returns must lie in the box,
// agree with the partition it reports, satisfy the optimality conditions of
// the bounded problem, and, where there are few enough variables to try every
// partition into lower-bound / upper-bound / free, reach the optimum that
// brute force finds independently (normal equations in long double).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "boundedls/boundedls.hpp"
#include "diagnostics/float_mode.hpp"

#include "quiet_stdout.hpp"

namespace {

using Real = long double;
constexpr double kInf = std::numeric_limits<double>::infinity();

// W = A'(B - A X) for a free variable, or pointing the wrong way for a bound
// one, may be this far from zero relative to ||A(., j)|| times the size of
// the fit (||B|| + sum ||A(., k)|| |X(k)|). Householder least squares is
// backward stable, so W is small in this sense however ill-conditioned the
// free columns; the factor leaves room for the incremental updates of the
// reduced right-hand side over many iterations.
constexpr double kGradientTolerance = 1e-12;
// The misfit ||B - A X||^2 may exceed the brute-force optimum by this much,
// relative to the optimum, plus the same factor times the squared fit size
// for problems fitted almost exactly.
constexpr double kMisfitTolerance = 1e-9;
// For well-conditioned problems the solutions agree to this, measured as
// ||A(., j)|| |X(j) - x(j)| relative to the fit size.
constexpr double kSolutionTolerance = 1e-7;

struct Problem {
  int m = 0, n = 0;
  std::vector<double> a, b, bl, bu;
  bool well_conditioned = true;
};

double column_norm(const Problem& p, int j) {
  Real s = 0;
  for (int i = 0; i < p.m; ++i) s += static_cast<Real>(p.a[j * p.m + i]) * p.a[j * p.m + i];
  return static_cast<double>(std::sqrt(s));
}

double fit_size(const Problem& p, const std::vector<double>& x) {
  Real bb = 0;
  for (double v : p.b) bb += static_cast<Real>(v) * v;
  double s = static_cast<double>(std::sqrt(bb));
  for (int j = 0; j < p.n; ++j) s += column_norm(p, j) * std::fabs(x[j]);
  return s;
}

// ||B - A x||^2 and W = A'(B - A x), in long double.
Real misfit(const Problem& p, const std::vector<double>& x, std::vector<Real>* w = nullptr) {
  std::vector<Real> r(p.m);
  Real f = 0;
  for (int i = 0; i < p.m; ++i) {
    Real s = 0;
    for (int j = 0; j < p.n; ++j) s += static_cast<Real>(p.a[j * p.m + i]) * x[j];
    r[i] = p.b[i] - s;
    f += r[i] * r[i];
  }
  if (w != nullptr) {
    w->assign(p.n, 0);
    for (int j = 0; j < p.n; ++j) {
      for (int i = 0; i < p.m; ++i) (*w)[j] += p.a[j * p.m + i] * r[i];
    }
  }
  return f;
}

// Solves g x = c in place by Gaussian elimination with partial pivoting;
// false if a pivot vanishes.
bool solve_dense(std::vector<Real>& g, std::vector<Real>& c, int n) {
  for (int k = 0; k < n; ++k) {
    int piv = k;
    for (int i = k + 1; i < n; ++i) {
      if (std::fabs(g[i * n + k]) > std::fabs(g[piv * n + k])) piv = i;
    }
    if (g[piv * n + k] == 0) return false;
    if (piv != k) {
      for (int j = 0; j < n; ++j) std::swap(g[k * n + j], g[piv * n + j]);
      std::swap(c[k], c[piv]);
    }
    for (int i = k + 1; i < n; ++i) {
      const Real f = g[i * n + k] / g[k * n + k];
      for (int j = k; j < n; ++j) g[i * n + j] -= f * g[k * n + j];
      c[i] -= f * c[k];
    }
  }
  for (int k = n - 1; k >= 0; --k) {
    Real s = c[k];
    for (int j = k + 1; j < n; ++j) s -= g[k * n + j] * c[j];
    c[k] = s / g[k * n + k];
  }
  return true;
}

// The optimum by brute force: for every assignment of the variables to lower
// bound, upper bound or free, the least-squares values of the free ones with
// the others at their bounds, moved into the box. Each candidate is then a
// feasible point, and the one of the optimal partition is the optimum, so the
// smallest misfit among them is the optimal misfit.
std::vector<double> brute_force_optimum(const Problem& p) {
  const int n = p.n;
  std::vector<Real> gram(n * n, 0), atb(n, 0);
  Real btb = 0;
  for (int i = 0; i < p.m; ++i) btb += static_cast<Real>(p.b[i]) * p.b[i];
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < p.m; ++i) atb[j] += static_cast<Real>(p.a[j * p.m + i]) * p.b[i];
    for (int k = 0; k < n; ++k) {
      for (int i = 0; i < p.m; ++i) {
        gram[j * n + k] += static_cast<Real>(p.a[j * p.m + i]) * p.a[k * p.m + i];
      }
    }
  }
  int partitions = 1;
  for (int j = 0; j < n; ++j) partitions *= 3;
  std::vector<double> best;
  Real best_f = std::numeric_limits<Real>::infinity();
  std::vector<int> state(n);
  std::vector<double> x(n);
  for (int code = 0; code < partitions; ++code) {
    std::vector<int> free_vars;
    bool usable = true;
    for (int j = 0, c = code; j < n; ++j, c /= 3) {
      state[j] = c % 3;  // 0 lower, 1 upper, 2 free
      if (state[j] == 0) x[j] = p.bl[j];
      if (state[j] == 1) x[j] = p.bu[j];
      if (state[j] == 2) free_vars.push_back(j);
      if (state[j] == 1 && std::isinf(p.bu[j])) usable = false;
    }
    if (!usable) continue;
    const int nf = static_cast<int>(free_vars.size());
    std::vector<Real> g(nf * nf), c(nf);
    for (int r = 0; r < nf; ++r) {
      const int j = free_vars[r];
      c[r] = atb[j];
      for (int k = 0; k < n; ++k) {
        if (state[k] != 2) c[r] -= gram[j * n + k] * x[k];
      }
      for (int s = 0; s < nf; ++s) g[r * nf + s] = gram[j * n + free_vars[s]];
    }
    if (!solve_dense(g, c, nf)) continue;
    for (int r = 0; r < nf; ++r) {
      const int j = free_vars[r];
      x[j] = std::clamp(static_cast<double>(c[r]), p.bl[j], p.bu[j]);
    }
    // The misfit from the normal equations: b'b - 2 x'A'b + x'A'A x.
    Real f = btb;
    for (int j = 0; j < n; ++j) {
      Real gx = 0;
      for (int k = 0; k < n; ++k) gx += gram[j * n + k] * x[k];
      f += x[j] * (gx - 2 * atb[j]);
    }
    if (f < best_f) {
      best_f = f;
      best = x;
    }
  }
  return best;
}

struct Result {
  std::vector<double> x;
  std::vector<std::int32_t> istate;
  std::int32_t loopa;
};


Result run_bvls(const Problem& p) {
  Result r{std::vector<double>(p.n, 0.0), std::vector<std::int32_t>(p.n + 1, 0), 0};
  const std::int32_t key = 0, m = p.m, n = p.n;
  testsupport::QuietStdout quiet;
  boundedls::bvls(key, m, n, p.a.data(), p.b.data(), p.bl.data(), p.bu.data(), r.x.data(),
                  r.istate.data(), r.loopa);
  return r;
}

// Checks everything that holds for any problem: the box, the partition and
// its agreement with X, the iteration count and the optimality conditions.
void check_solution(const Problem& p, const Result& r) {
  const int n = p.n;
  const int natbound = r.istate[n];
  ASSERT_GE(natbound, 0);
  ASSERT_LE(natbound, n);
  EXPECT_GE(r.loopa, 1);
  EXPECT_LE(r.loopa, 3 * n);
  std::vector<int> seen(n + 1, 0);
  std::vector<int> side(n + 1, 0);  // -1 lower, +1 upper, 0 free
  for (int pos = 1; pos <= n; ++pos) {
    const int entry = r.istate[pos - 1];
    const int j = std::abs(entry);
    ASSERT_GE(j, 1);
    ASSERT_LE(j, n);
    ++seen[j];
    if (pos > natbound) {
      EXPECT_GT(entry, 0) << "free position " << pos;
    } else {
      side[j] = entry < 0 ? -1 : 1;
    }
  }
  for (int j = 1; j <= n; ++j) EXPECT_EQ(1, seen[j]) << "variable " << j << " in ISTATE";

  std::vector<Real> w;
  misfit(p, r.x, &w);
  const double size = fit_size(p, r.x);
  for (int j = 1; j <= n; ++j) {
    const double xj = r.x[j - 1];
    EXPECT_GE(xj, p.bl[j - 1]) << "X(" << j << ")";
    EXPECT_LE(xj, p.bu[j - 1]) << "X(" << j << ")";
    const double tol = kGradientTolerance * column_norm(p, j - 1) * size;
    const double wj = static_cast<double>(w[j - 1]);
    if (side[j] == 0) {
      EXPECT_LE(std::fabs(wj), tol) << "gradient of free X(" << j << ")";
    } else if (side[j] < 0) {
      EXPECT_EQ(p.bl[j - 1], xj) << "X(" << j << ") held at BL";
      EXPECT_LE(wj, tol) << "gradient into the box at BL, X(" << j << ")";
    } else {
      EXPECT_EQ(p.bu[j - 1], xj) << "X(" << j << ") held at BU";
      EXPECT_GE(wj, -tol) << "gradient into the box at BU, X(" << j << ")";
    }
  }
}

void check_against_brute_force(const Problem& p, const Result& r) {
  const std::vector<double> best = brute_force_optimum(p);
  ASSERT_EQ(static_cast<std::size_t>(p.n), best.size());
  const double f_bvls = static_cast<double>(misfit(p, r.x));
  const double f_best = static_cast<double>(misfit(p, best));
  const double size = fit_size(p, best);
  EXPECT_LE(f_bvls, f_best + kMisfitTolerance * (f_best + size * size))
      << "misfit above the brute-force optimum";
  if (!p.well_conditioned) return;
  for (int j = 0; j < p.n; ++j) {
    EXPECT_LE(column_norm(p, j) * std::fabs(r.x[j] - best[j]), kSolutionTolerance * size)
        << "X(" << j + 1 << ") = " << r.x[j] << ", brute force " << best[j];
  }
}

// Random problems: columns of very different scales, data from a point that
// lies partly outside the box plus noise, and bounds of several kinds (a box
// around that point, a box beside it, a lower bound only, the driver's
// [0, 10000] and [-1, 0], a very narrow box). Some problems get a column
// that nearly repeats another one.
Problem random_problem(std::mt19937_64& rng, int m, int n, bool near_dependent) {
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  Problem p;
  p.m = m;
  p.n = n;
  p.a.resize(static_cast<std::size_t>(m) * n);
  std::vector<double> scale(n), x_true(n);
  for (int j = 0; j < n; ++j) {
    scale[j] = std::pow(10.0, -2.0 + 4.0 * uniform(rng));
    for (int i = 0; i < m; ++i) p.a[j * m + i] = scale[j] * normal(rng);
    x_true[j] = 2.0 * normal(rng) / scale[j];
  }
  if (near_dependent && n >= 2) {
    const int j = static_cast<int>(rng() % n);
    const int k = (j + 1 + static_cast<int>(rng() % (n - 1))) % n;
    const double factor = normal(rng);
    for (int i = 0; i < m; ++i) {
      p.a[k * m + i] = factor * p.a[j * m + i] + 1e-7 * scale[j] * normal(rng);
    }
    p.well_conditioned = false;
  }
  p.b.resize(m);
  for (int i = 0; i < m; ++i) {
    double s = 0.0;
    for (int j = 0; j < n; ++j) s += p.a[j * m + i] * x_true[j];
    p.b[i] = s + 0.05 * normal(rng) * (1.0 + std::fabs(s));
  }
  p.bl.resize(n);
  p.bu.resize(n);
  for (int j = 0; j < n; ++j) {
    const double t = x_true[j], unit = 1.0 / scale[j];
    switch (rng() % 6) {
      case 0:  // around the point
        p.bl[j] = t - unit * uniform(rng);
        p.bu[j] = t + unit * uniform(rng);
        break;
      case 1:  // beside it, on either side
        p.bl[j] = t + unit * (uniform(rng) - 0.5) * 2.0 + (rng() % 2 ? unit : -3.0 * unit);
        p.bu[j] = p.bl[j] + unit * (0.1 + uniform(rng));
        break;
      case 2:  // a lower bound only
        p.bl[j] = t + unit * normal(rng);
        p.bu[j] = kInf;
        break;
      case 3:
        p.bl[j] = 0.0;
        p.bu[j] = 10000.0;
        break;
      case 4:
        p.bl[j] = -1.0;
        p.bu[j] = 0.0;
        break;
      default:  // very narrow
        p.bl[j] = t + unit * normal(rng);
        p.bu[j] = p.bl[j] + 1e-6 * unit;
        break;
    }
  }
  return p;
}

class BvlsProperty : public ::testing::Test {
 protected:
  void SetUp() override { diagnostics::set_float_mode(); }
};

TEST_F(BvlsProperty, SmallProblemsReachTheBruteForceOptimum) {
  std::mt19937_64 rng(20240611);
  for (int trial = 0; trial < 300; ++trial) {
    const int n = 1 + static_cast<int>(rng() % 8);
    const int m = n + static_cast<int>(rng() % 40);
    const Problem p = random_problem(rng, m, n, trial % 3 == 0);
    SCOPED_TRACE("trial " + std::to_string(trial) + ", " + std::to_string(m) + " x " +
                 std::to_string(n));
    const Result r = run_bvls(p);
    check_solution(p, r);
    check_against_brute_force(p, r);
    if (HasFailure()) return;
  }
}

TEST_F(BvlsProperty, ProgramSizedProblemsReachTheBruteForceOptimum) {
  std::mt19937_64 rng(1440);
  for (int trial = 0; trial < 12; ++trial) {
    const Problem p = random_problem(rng, 1440, 7, trial % 3 == 0);
    SCOPED_TRACE("trial " + std::to_string(trial));
    const Result r = run_bvls(p);
    check_solution(p, r);
    check_against_brute_force(p, r);
    if (HasFailure()) return;
  }
}

// Beyond eight variables trying every partition is too slow; the optimality
// conditions still say that the point is the optimum of the convex problem.
TEST_F(BvlsProperty, LargerProblemsSatisfyTheOptimalityConditions) {
  std::mt19937_64 rng(12);
  for (int trial = 0; trial < 40; ++trial) {
    const int n = 9 + static_cast<int>(rng() % 4);
    const int m = n + static_cast<int>(rng() % 200);
    const Problem p = random_problem(rng, m, n, trial % 4 == 0);
    SCOPED_TRACE("trial " + std::to_string(trial) + ", " + std::to_string(m) + " x " +
                 std::to_string(n));
    check_solution(p, run_bvls(p));
    if (HasFailure()) return;
  }
}

}  // namespace
