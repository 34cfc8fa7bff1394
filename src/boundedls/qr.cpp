// qr: Householder least squares, in place in A and B.
//
// Column j is reflected onto d e_j with |d| = ||A(j:M, j)||, the sign of d
// opposite to the old diagonal so that u = A(j, j) - d never cancels. The
// reflection vector v = (u, A(j+1:M, j)) keeps its tail below the diagonal;
// u lives only for the duration of step j. With h = |d u| = v.v / 2 the
// reflection of a vector y is y - v (v.y) / h.
//
// Every sum starts at 0.0 and runs in ascending index order, and every product
// is rounded before it is added: the order is part of the result, since bvls
// compares these values with its bounds.
#include "boundedls/boundedls.hpp"

#include <cmath>
#include <vector>

#include "boundedls/side_by_side.hpp"
#include "diagnostics/checked.hpp"
#include "diagnostics/diagnostic.hpp"

namespace boundedls {
namespace {

// Step 3 for column j: the reflection of columns j ... N and of B. Returns
// false when the column is exactly dependent on the earlier ones. One pass
// over the rows below the diagonal forms every sum of the step, side by
// side: ||A(j:M, j)||^2 and v.y for the later columns and B; a second pass
// updates them. Each sum and update is that of reflecting the vector alone,
// since no vector's reflection reads another's. `work` holds 2 (N - j + 2)
// values.
template <typename A, typename B>
bool reflect(const A& a, const B& b, std::int32_t M, std::int32_t N, std::int32_t j,
             double* work) {
  const Column v{a, j};  // the column reflected, and below the diagonal its vector
  const std::int64_t n = static_cast<std::int64_t>(N) - j + 2;  // columns j ... N, then B
  double* const t = work;
  double* const f = work + n;
  for (std::int64_t c = 0; c < n; ++c) t[c] = 0.0;
  t[0] = t[0] + a(j, j) * a(j, j);  // the squares start at the diagonal, the rest below it
  add_dots(ColumnsThen{a, j, n - 1, b}, n, v, j + 1, M, t);
  const double sq = t[0];
  // Exactly zero only: the column is dependent on the earlier ones (or so
  // small that its squares flush to zero). A NaN is not zero and goes on.
  if (sq == 0.0) return false;
  const double s = std::sqrt(sq);
  const double old_diagonal = a(j, j);
  // Only a diagonal that compares below zero takes d = +s; +0.0, -0.0 and
  // NaN all take d = -s.
  const double d = old_diagonal < 0.0 ? s : -s;
  const double u = old_diagonal - d;
  a(j, j) = d;
  const double h = std::fabs(d * u);

  for (std::int64_t c = 1; c < n - 1; ++c) f[c] = (a(j, j + c) * u + t[c]) / h;
  f[n - 1] = (b(j) * u + t[n - 1]) / h;
  subtract_multiples(ColumnsThen{a, j + 1, n - 2, b}, n - 1, v, j + 1, M, f + 1);
  for (std::int64_t c = 1; c < n - 1; ++c) a(j, j + c) = a(j, j + c) - f[c] * u;
  b(j) = b(j) - u * f[n - 1];
  return true;
}

// Steps 3 to 5 on views that the caller has checked (or not) against M and N.
template <typename A, typename B, typename X>
void solve(const A& a, const B& b, const X& x, std::int32_t M, std::int32_t N, double& RSQ) {
  // Step 3: reduction, one reflection per column.
  std::vector<double> work(2 * (static_cast<std::size_t>(N) + 1));
  for (std::int32_t j = 1; j <= N; ++j) {
    if (!reflect(a, b, M, N, j, work.data())) return;
  }

  // Step 4: back-substitution; every diagonal is a non-zero d.
  for (std::int32_t i = N; i >= 1; --i) {
    double t = 0.0;
    for (std::int32_t k = i + 1; k <= N; ++k) t = t + a(i, k) * x(k);
    x(i) = (b(i) - t) / a(i, i);
  }

  // Step 5: the residual is what the reflections left below row N.
  // One sum in row order: four rows per turn only share the loop's count.
  double r = 0.0;
  #pragma GCC unroll 4
  for (std::int32_t i = N + 1; i <= M; ++i) r = r + b(i) * b(i);
  RSQ = r;
}

}  // namespace

void qr(const std::int32_t& M, const std::int32_t& N, double* A, double* B, double* X,
        double& RSQ) {
  diagnostics::RoutineScope scope("qr");

  // Step 1: an under-determined system is refused before anything is touched.
  if (M < N) {
    RSQ = -2.0;
    return;
  }
  const diagnostics::Matrix<double> a("A", A, M, N);
  const diagnostics::Vector<double> b("B", B, M);
  const diagnostics::Vector<double> x("X", X, N);

  // Step 2: the status of every early return below.
  RSQ = -1.0;

  // Every subscript below runs within 1 ... M and 1 ... N, the views' own
  // extents, so one check here covers them all.
  const bool inside = a.contains(1, M, 1, N) && b.contains(1, M) && x.contains(1, N);
  diagnostics::unchecked_if(
      inside, [&](const auto& a, const auto& b, const auto& x) { solve(a, b, x, M, N, RSQ); }, a,
      b, x);
}

}  // namespace boundedls
