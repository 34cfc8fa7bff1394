// bvls: bounded-variable least squares by an active-set method.
//
// Each variable is either held at one of its bounds or free. A main iteration
// computes the residual and W = A'(B - A X), frees the bound variable whose
// gradient points most steeply into the box, and solves for the free
// variables with qr while the bound ones stay fixed. If that solution leaves
// the box, the inner loop moves only part of the way, binds the variables
// that reach a bound and solves again, until the free solution lies inside.
//
// ISTATE holds the partition: positions 1 ... NATBOUND the bound variables
// (+j at BU(j), -j at BL(j)), positions NATBOUND + 1 ... N the free ones, and
// ISTATE(N + 1) = NATBOUND on return. The order inside both parts follows from
// the swaps below and decides ties, so it is kept exactly as it is.
//
// Every sum starts at 0.0 and adds its terms in ascending index order, and
// every product is rounded before it is added: the results, down to the last
// bit, depend on it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "boundedls/boundedls.hpp"
#include "diagnostics/checked.hpp"
#include "diagnostics/diagnostic.hpp"
#include "diagnostics/termination.hpp"
#include "textio/list_directed.hpp"
#include "textio/unit.hpp"

namespace boundedls {
namespace {

using diagnostics::Matrix;
using diagnostics::Vector;

// The solver cannot go on: its message as one list-directed record on standard
// output, then the stop. The status is 1, not 0, so that a failed fit is never
// reported as a success.
[[noreturn]] void fail(const char* message) {
  textio::write_list(textio::standard_output(), {message});
  diagnostics::stop_run(1);
}

constexpr const char* kNoFreeVariables = " No free variables in BVLS--check input bounds.";
constexpr const char* kInconsistentBounds = " Inconsistent bounds in BVLS. ";
constexpr const char* kTooManyActive = " Too many active variables in BVLS starting solution!";
constexpr const char* kTooManyFree = " Too many free variables in BVLS!";
constexpr const char* kNoConvergence = " BVLS fails to converge! ";

std::size_t nonnegative(std::int64_t n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }

}  // namespace

void bvls(const std::int32_t& KEY, const std::int32_t& M, const std::int32_t& N, const double* A,
          const double* B, const double* BL, const double* BU, double* X, std::int32_t* ISTATE,
          std::int32_t& LOOPA) {
  diagnostics::RoutineScope scope("bvls");
  // The checked variables start undefined on every entry: reading one before
  // it is assigned in this call ends the run with message 193.
  diagnostics::CheckedScalar<std::int32_t> IACT("boundedls_mp_bvls_$IACT");
  diagnostics::CheckedScalar<double> SJ("boundedls_mp_bvls_$SJ");
  diagnostics::CheckedScalar<double> BOUND("boundedls_mp_bvls_$BOUND");

  const Matrix<const double> a("A", A, M, N);
  const Vector<const double> b("B", B, M);
  const Vector<const double> bl("BL", BL, N);
  const Vector<const double> bu("BU", BU, N);
  const Vector<double> x("X", X, N);
  const Vector<std::int32_t> istate("ISTATE", ISTATE, static_cast<std::int64_t>(N) + 1);

  // Step 1: the bounds must leave at least one variable room to move. These
  // messages come before the line of blanks.
  if (N <= 0) fail(kNoFreeVariables);
  double widest = 0.0;
  for (std::int32_t j = 1; j <= N; ++j) {
    const double width = bu(j) - bl(j);
    if (width > widest) widest = width;
    if (bl(j) > bu(j)) fail(kInconsistentBounds);
  }
  if (widest == 0.0) fail(kNoFreeVariables);

  // Step 2: one line of blanks on every call that gets this far.
  textio::write_list(textio::standard_output(), {" "});

  // Step 3: the starting partition.
  const std::int32_t MINMN = M < N ? M : N;
  std::int32_t NATBOUND;
  if (KEY == 0) {
    for (std::int32_t j = 1; j <= N; ++j) istate(j) = -j;
    NATBOUND = N;
  } else {
    NATBOUND = istate(static_cast<std::int64_t>(N) + 1);
  }
  if (static_cast<std::int64_t>(N) - NATBOUND > MINMN) fail(kTooManyActive);
  std::int32_t NFREE = N - NATBOUND;

  // Work storage, per call. ACT is declared M x (M + 2), but no column beyond
  // MINMN + 2 is ever touched: columns 1 ... NFREE take the free columns of A
  // (NFREE <= MINMN), MINMN + 1 the reduced right-hand side and MINMN + 2 the
  // copy of it that qr overwrites. Sizing it M x (MINMN + 2) keeps the solver
  // in O(M N) memory. ZZ receives at most MINMN values from qr.
  const std::int32_t act_cols = MINMN + 2;
  std::vector<double> act_storage(nonnegative(M) * nonnegative(act_cols));
  std::vector<double> w_storage(nonnegative(N));
  std::vector<double> zz_storage(nonnegative(MINMN));
  const Matrix<double> act("ACT", act_storage.data(), M, act_cols);
  const Vector<double> w("W", w_storage.data(), N);
  const Vector<double> zz("ZZ", zz_storage.data(), MINMN);
  const std::int32_t RHS = MINMN + 1;    // the reduced right-hand side
  const std::int32_t COPY = MINMN + 2;   // the copy handed to qr

  // Step 4: the starting point. An entry 0 in the bound part sets nothing;
  // the free part is read without removing a sign.
  for (std::int32_t p = 1; p <= NATBOUND; ++p) {
    const std::int32_t entry = istate(p);
    const std::int64_t j = entry < 0 ? -static_cast<std::int64_t>(entry) : entry;
    if (entry < 0) x(j) = bl(j);
    if (entry > 0) x(j) = bu(j);
  }
  for (std::int32_t p = NATBOUND + 1; p <= N; ++p) {
    const std::int32_t j = istate(p);
    x(j) = (bu(j) + bl(j)) * 0.5;
  }

  // Step 5.
  double sumsq = 0.0;
  for (std::int32_t i = 1; i <= M; ++i) sumsq = sumsq + b(i) * b(i);
  const double FITTOL = std::sqrt(sumsq) * 1.0e-11;
  std::int32_t LASTBOUND = 0;
  LOOPA = 1;
  const std::int64_t loop_limit = 3 * static_cast<std::int64_t>(N);

  std::int32_t IPOS = 0;
  double RSQ = 0.0;

  for (;;) {  // Step 6: main iteration.
    std::int32_t CAMEFROM = 0;

    // Step 6.1: residual r = B - A X into ACT(., RHS), SSQ = r.r and
    // W = A' r. Each row's s sums over j in ascending order and each W(j)
    // sums over i in ascending order, exactly as a row-by-row pass would;
    // the loops only run down the columns so that A is read in storage order.
    for (std::int32_t i = 1; i <= M; ++i) act(i, RHS) = 0.0;
    for (std::int32_t j = 1; j <= N; ++j) {
      const double xj = x(j);
      for (std::int32_t i = 1; i <= M; ++i) act(i, RHS) = act(i, RHS) + a(i, j) * xj;
    }
    double SSQ = 0.0;
    for (std::int32_t i = 1; i <= M; ++i) {
      const double r = b(i) - act(i, RHS);
      SSQ = SSQ + r * r;
      act(i, RHS) = r;
    }
    for (std::int32_t j = 1; j <= N; ++j) {
      double wj = 0.0;
      for (std::int32_t i = 1; i <= M; ++i) wj = wj + a(i, j) * act(i, RHS);
      w(j) = wj;
    }

    // Step 6.2: early returns.
    if (std::sqrt(SSQ) <= FITTOL) break;
    if (LOOPA > 1 && NATBOUND == 0) break;

    // Step 6.3: add the free variables back, leaving B minus the bound part.
    for (std::int32_t p = NATBOUND + 1; p <= N; ++p) {
      const std::int32_t j = istate(p);
      const double xj = x(j);
      for (std::int32_t i = 1; i <= M; ++i) act(i, RHS) = act(i, RHS) + a(i, j) * xj;
    }

    // Step 6.4: the first main iteration of a warm start solves for the
    // supplied free set at once. A warm start that supplies no free variable
    // has nothing to solve for; it goes to the optimality test like any other
    // main iteration.
    bool solve_supplied_set = LOOPA == 1 && KEY != 0 && NFREE > 0;

    bool returned = false;
    for (;;) {  // Steps 7 and 8, repeated after every rejected solve.
      if (!solve_supplied_set) {
        // Step 7: optimality test. v < 0 means the gradient points into the
        // box; the most negative v wins, ties to the earliest position, and
        // 0.0 or -0.0 never qualifies.
        double GMIN;
        for (;;) {
          GMIN = 0.0;
          for (std::int32_t p = 1; p <= NATBOUND; ++p) {
            const std::int32_t entry = istate(p);
            const std::int64_t j = entry < 0 ? -static_cast<std::int64_t>(entry) : entry;
            const double v = (entry < 0 ? -1.0 : 1.0) * w(j);
            if (v < GMIN) {
              GMIN = v;
              IPOS = p;
              IACT = static_cast<std::int32_t>(j);
            }
          }
          if (GMIN >= 0.0) break;
          // The variable the last interpolation forced to a bound may not be
          // freed again until another one has been freed successfully.
          if (IACT.get() != LASTBOUND) break;
          w(LASTBOUND) = 0.0;
        }
        if (GMIN >= 0.0) {
          returned = true;
          break;
        }

        // Step 8: free IACT into the first free position.
        const std::int32_t iact = IACT.get();
        if (istate(IPOS) > 0) BOUND = bu(iact);
        if (istate(IPOS) < 0) BOUND = bl(iact);
        for (std::int32_t i = 1; i <= M; ++i) {
          act(i, RHS) = act(i, RHS) + BOUND.get() * a(i, iact);
        }
        CAMEFROM = istate(IPOS);
        istate(IPOS) = istate(NATBOUND);
        NATBOUND = NATBOUND - 1;
        NFREE = NFREE + 1;
        istate(NATBOUND + 1) = iact;
        if (NFREE > MINMN) fail(kTooManyFree);
      }
      solve_supplied_set = false;

      bool rejected = false;
      for (;;) {  // Step 9: the inner loop.
        // Load the free columns in reverse order of their positions: the
        // first free position (the variable freed last) goes to column NFREE.
        for (std::int32_t i = 1; i <= M; ++i) act(i, COPY) = act(i, RHS);
        for (std::int32_t p = NATBOUND + 1; p <= N; ++p) {
          const std::int32_t j = istate(p);
          const std::int32_t col = NFREE + NATBOUND + 1 - p;
          for (std::int32_t i = 1; i <= M; ++i) act(i, col) = a(i, j);
        }
        qr(M, NFREE, act.data(), act.data() + nonnegative(M) * nonnegative(COPY - 1),
           zz.data(), RSQ);
        // The solve value of free position NATBOUND + k is ZZ(NFREE + 1 - k).
        auto z = [&](std::int32_t k) { return zz(NFREE + 1 - k); };

        // Step 10: reject a dependent free set, or a freed variable that
        // would leave through the bound it was freed from. IACT is read only
        // when a variable was freed or the solve failed: a failed first solve
        // of a warm start, which freed nothing, ends the run with the
        // undefined-variable diagnostic for IACT.
        if (RSQ < 0.0 || (CAMEFROM > 0 && zz(NFREE) > bu(IACT.get())) ||
            (CAMEFROM < 0 && zz(NFREE) < bl(IACT.get()))) {
          const std::int32_t iact = IACT.get();
          NATBOUND = NATBOUND + 1;
          const double sign = x(iact) - bu(iact) < 0.0 ? -1.0 : 1.0;
          istate(NATBOUND) = static_cast<std::int32_t>(istate(NATBOUND) * sign);
          NFREE = NFREE - 1;
          const double xi = x(iact);
          for (std::int32_t i = 1; i <= M; ++i) act(i, RHS) = act(i, RHS) - a(i, iact) * xi;
          // Barred for the rest of this main iteration: the gradient is not
          // recomputed before the next optimality test.
          w(iact) = 0.0;
          rejected = true;
          break;
        }

        // Step 11: acceptance.
        if (CAMEFROM != 0) LASTBOUND = 0;
        CAMEFROM = 0;

        // Step 12: feasibility; a value equal to a bound counts as inside.
        std::int32_t KFIRST = 0;
        for (std::int32_t k = 1; k <= NFREE; ++k) {
          const std::int32_t j = istate(NATBOUND + k);
          if (z(k) < bl(j) || z(k) > bu(j)) {
            KFIRST = k;
            break;
          }
        }
        if (KFIRST == 0) {
          for (std::int32_t k = 1; k <= NFREE; ++k) x(istate(NATBOUND + k)) = z(k);
          break;
        }

        // Step 13: interpolation. Move every free variable the same fraction
        // of the way to its solve value, the largest fraction that keeps all
        // of them in the box. RATIO carries over from one k to the next; a
        // variable inside its bounds leaves it unchanged, and since a carried
        // value is never below STEPFRAC it cannot win again.
        double STEPFRAC = 2.0;
        double RATIO = 2.0;
        for (std::int32_t k = KFIRST; k <= NFREE; ++k) {
          const std::int32_t j = istate(NATBOUND + k);
          if (z(k) > bu(j)) {
            RATIO = (bu(j) - x(j)) / (z(k) - x(j));
          } else if (z(k) < bl(j)) {
            RATIO = (bl(j) - x(j)) / (z(k) - x(j));
          }
          if (RATIO < STEPFRAC) {
            STEPFRAC = RATIO;
            LASTBOUND = j;
            SJ = z(k) - bl(j) < 0.0 ? -1.0 : 1.0;
          }
        }
        for (std::int32_t k = 1; k <= NFREE; ++k) {
          const std::int32_t j = istate(NATBOUND + k);
          x(j) = x(j) + (z(k) - x(j)) * STEPFRAC;
        }

        // Step 14: binding. A newly bound variable swaps with the first free
        // position and that position joins the bound part, so every variable
        // is examined once. LASTBOUND is bound here even if rounding left it a
        // hair inside, so each pass binds at least one variable.
        const std::int32_t NATBOUND0 = NATBOUND;
        const std::int32_t nfree0 = NFREE;
        for (std::int32_t k = 1; k <= nfree0; ++k) {
          const std::int32_t j = istate(NATBOUND0 + k);
          double held;
          std::int32_t entry;
          if (bu(j) - x(j) <= 0.0 || (j == LASTBOUND && SJ.get() > 0.0)) {
            held = bu(j);
            entry = j;
          } else if (x(j) - bl(j) <= 0.0 || (j == LASTBOUND && SJ.get() < 0.0)) {
            held = bl(j);
            entry = -j;
          } else {
            continue;
          }
          x(j) = held;
          istate(NATBOUND0 + k) = istate(NATBOUND + 1);
          istate(NATBOUND + 1) = entry;
          NATBOUND = NATBOUND + 1;
          for (std::int32_t i = 1; i <= M; ++i) act(i, RHS) = act(i, RHS) - a(i, j) * held;
        }
        NFREE = N - NATBOUND;
        if (NFREE <= 0) break;
      }
      if (!rejected) break;  // on to step 15
    }
    if (returned) break;

    // Step 15: end of the main iteration.
    LOOPA = LOOPA + 1;
    if (LOOPA > loop_limit) fail(kNoConvergence);
  }

  // Step 16: return.
  istate(static_cast<std::int64_t>(N) + 1) = NATBOUND;
}

}  // namespace boundedls
