// bvls: bounded-variable least squares by an active-set method.
//
// Each variable is either held at one of its bounds or free. After the bounds
// are checked and the starting partition and point are set, every main
// iteration
//   - computes the residual and W = A'(B - A X), and returns when the misfit
//     is within FITTOL or every variable is free;
//   - frees the bound variable whose gradient points most steeply into the
//     box, and returns when there is none;
//   - solves for the free variables with qr while the bound ones stay fixed;
//     a failed solve, or one that would take the variable just freed out
//     through the bound it came from, puts that variable back and frees
//     another;
//   - while the solution leaves the box, moves every free variable the same
//     fraction of the way, as far as the box allows, binds the variables that
//     reach a bound and solves again.
// The first main iteration of a warm start solves for the supplied free set
// without freeing anything.
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
#include <memory>

#include "boundedls/boundedls.hpp"
#include "boundedls/side_by_side.hpp"
#include "diagnostics/checked.hpp"
#include "diagnostics/diagnostic.hpp"
#include "diagnostics/termination.hpp"
#include "textio/list_directed.hpp"
#include "textio/unit.hpp"

namespace boundedls {
namespace {

using diagnostics::CheckedScalar;
using diagnostics::Matrix;
using diagnostics::unchecked_if;
using diagnostics::Vector;

// The solver cannot go on: its message as one list-directed record on standard
// output, then the stop. The status is 1, not 0, so that a failed fit is never
// reported as a success. The message is also the stop's reason, which a fit
// in memory returns to its caller.
[[noreturn]] void fail(const char* message) {
  textio::write_list(textio::standard_output(), {message});
  diagnostics::stop_run(1, message);
}

constexpr const char* kNoFreeVariables = " No free variables in BVLS--check input bounds.";
constexpr const char* kInconsistentBounds = " Inconsistent bounds in BVLS. ";
constexpr const char* kTooManyActive = " Too many active variables in BVLS starting solution!";
constexpr const char* kTooManyFree = " Too many free variables in BVLS!";
constexpr const char* kNoConvergence = " BVLS fails to converge! ";

std::size_t nonnegative(std::int64_t n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }

// One call of bvls: its arguments as checked views against the extents passed
// in, its work storage and the scalars of the iteration. The member functions
// are the solver's steps, in the order bvls() below runs them.
struct Bvls {
  Bvls(std::int32_t key, std::int32_t m, std::int32_t n, const double* A, const double* B,
       const double* BL, const double* BU, double* X, std::int32_t* ISTATE, std::int32_t& loopa)
      : KEY(key), M(m), N(n), a("A", A, m, n), b("B", B, m), bl("BL", BL, n), bu("BU", BU, n),
        x("X", X, n), istate("ISTATE", ISTATE, static_cast<std::int64_t>(n) + 1), LOOPA(loopa) {}

  void check_bounds() const;
  void choose_partition();
  void obtain_work_storage();
  void set_starting_point();
  void set_fit_tolerance();
  bool main_iteration();
  double residual_and_gradient();
  void reduce_right_hand_side();
  bool choose_variable_to_free();
  double most_negative_gradient();
  void free_chosen_variable();
  bool solve_until_inside();
  void solve_free_variables();
  bool solve_rejected();
  void return_to_bound();
  std::int32_t first_outside();
  void take_solution();
  void interpolate(std::int32_t KFIRST);
  void bind_at_bounds();
  template <bool kSubtract>
  void update_rhs(std::int32_t j, double factor);

  // The solve value of free position NATBOUND + k: qr returns the values in
  // the order of the columns it was given, which is reversed.
  double z(std::int32_t k) const { return zz(NFREE + 1 - k); }

  const std::int32_t KEY, M, N;
  const Matrix<const double> a;
  const Vector<const double> b, bl, bu;
  const Vector<double> x;
  const Vector<std::int32_t> istate;
  std::int32_t& LOOPA;  // the caller's variable is the counter

  // Checked before use: they start undefined on every entry, so reading one
  // before it is assigned in this call ends the run with message 193.
  CheckedScalar<std::int32_t> IACT{"boundedls_mp_bvls_$IACT"};
  CheckedScalar<double> SJ{"boundedls_mp_bvls_$SJ"};
  CheckedScalar<double> BOUND{"boundedls_mp_bvls_$BOUND"};

  std::int32_t MINMN = 0, NATBOUND = 0, NFREE = 0;
  std::int32_t IPOS = 0, LASTBOUND = 0, CAMEFROM = 0;
  double FITTOL = 0.0, RSQ = 0.0;

  // Work storage, per call. ACT is declared M x (M + 2), but no column beyond
  // MINMN + 2 is ever touched: columns 1 ... NFREE take the free columns of A
  // (NFREE <= MINMN), RHS the reduced right-hand side and COPY the copy of it
  // that qr overwrites. Sizing it M x (MINMN + 2) keeps the solver in O(M N)
  // memory. ZZ receives at most MINMN values from qr, and the N + 1 sums of
  // the gradient pass are formed in SUMS. None of it is cleared: every
  // element is written before it is read (RHS by the residual, COPY and the
  // free columns before each solve, W and SUMS by the gradient, ZZ by qr).
  std::unique_ptr<double[]> act_storage, w_storage, zz_storage, sums_storage;
  Matrix<double> act{"ACT", nullptr, 0, 0};
  Vector<double> w{"W", nullptr, 0};
  Vector<double> zz{"ZZ", nullptr, 0};
  std::int32_t RHS = 0, COPY = 0;
};

// The bounds must leave at least one variable room to move. These messages
// come before the line of blanks.
void Bvls::check_bounds() const {
  if (N <= 0) fail(kNoFreeVariables);
  double widest = 0.0;
  for (std::int32_t j = 1; j <= N; ++j) {
    const double width = bu(j) - bl(j);
    if (width > widest) widest = width;
    if (bl(j) > bu(j)) fail(kInconsistentBounds);
  }
  if (widest == 0.0) fail(kNoFreeVariables);
}

// Cold start: every variable at its lower bound. Warm start: the caller's
// partition, of which only the count is checked.
void Bvls::choose_partition() {
  MINMN = M < N ? M : N;
  if (KEY == 0) {
    for (std::int32_t j = 1; j <= N; ++j) istate(j) = -j;
    NATBOUND = N;
  } else {
    NATBOUND = istate(static_cast<std::int64_t>(N) + 1);
  }
  if (static_cast<std::int64_t>(N) - NATBOUND > MINMN) fail(kTooManyActive);
  NFREE = N - NATBOUND;
}

void Bvls::obtain_work_storage() {
  const std::int32_t act_cols = MINMN + 2;
  act_storage = std::make_unique_for_overwrite<double[]>(nonnegative(M) * nonnegative(act_cols));
  w_storage = std::make_unique_for_overwrite<double[]>(nonnegative(N));
  zz_storage = std::make_unique_for_overwrite<double[]>(nonnegative(MINMN));
  sums_storage = std::make_unique_for_overwrite<double[]>(nonnegative(N) + 1);
  act = Matrix<double>("ACT", act_storage.get(), M, act_cols);
  w = Vector<double>("W", w_storage.get(), N);
  zz = Vector<double>("ZZ", zz_storage.get(), MINMN);
  RHS = MINMN + 1;
  COPY = MINMN + 2;
}

// Bound variables at their bounds, free ones at the midpoint. An entry 0 in
// the bound part sets nothing; the free part is read without removing a sign.
void Bvls::set_starting_point() {
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
}

// A misfit at or below 1e-11 ||B|| ends the routine.
void Bvls::set_fit_tolerance() {
  double sumsq = 0.0;
  #pragma GCC unroll 4  // one sum in row order; the turns share the count
  for (std::int32_t i = 1; i <= M; ++i) sumsq = sumsq + b(i) * b(i);
  FITTOL = std::sqrt(sumsq) * 1.0e-11;
}

// One main iteration. Returns false when the routine is to return, true when
// the iteration ended with a new point and the next one follows.
bool Bvls::main_iteration() {
  CAMEFROM = 0;
  const double SSQ = residual_and_gradient();
  if (std::sqrt(SSQ) <= FITTOL) return false;
  if (LOOPA > 1 && NATBOUND == 0) return false;
  reduce_right_hand_side();
  // A warm start that supplies no free variable has nothing to solve for; it
  // goes to the optimality test like any other main iteration.
  bool solve_supplied_set = LOOPA == 1 && KEY != 0 && NFREE > 0;
  for (;;) {  // once more after every rejected solve
    if (!solve_supplied_set) {
      if (!choose_variable_to_free()) return false;
      free_chosen_variable();
    }
    solve_supplied_set = false;
    if (solve_until_inside()) return true;
  }
}

// The residual r = B - A X into ACT(., RHS); returns SSQ = r.r and sets
// W = A' r. Each row's A X sums over j in ascending order and each W(j), as
// SSQ, over i in ascending order, exactly as a row-by-row pass would; the
// row sums run over blocks of columns side by side, so that A is read in
// storage order, and W and SSQ are formed side by side in one pass.
double Bvls::residual_and_gradient() {
  const bool inside = a.contains(1, M, 1, N) && x.contains(1, N) && b.contains(1, M) &&
                      act.contains(1, M, RHS, RHS) && w.contains(1, N);
  return unchecked_if(
      inside,
      [&](const auto& a, const auto& x, const auto& b, const auto& act, const auto& w) {
        const Column r{act, RHS};
        in_blocks(1, N, [&]<int K>(std::int64_t j, Columns<K>) {
          double xj[K];
          for (int c = 0; c < K; ++c) xj[c] = x(j + c);
          row_sums(a, j, xj, 1, M, j == 1, r);
        });
        subtract_from(b, r, 1, M);
        // sums[0 ... N - 1] the columns of A times r, sums[N] r.r.
        double* const sums = sums_storage.get();
        for (std::int32_t j = 0; j <= N; ++j) sums[j] = 0.0;
        add_dots(ColumnsThen{a, 1, N, r}, static_cast<std::int64_t>(N) + 1, r, 1, M, sums);
        for (std::int32_t j = 1; j <= N; ++j) w(j) = sums[j - 1];
        return sums[N];
      },
      a, x, b, act, w);
}

// ACT(i, RHS) = ACT(i, RHS) + A(i, j) * factor for every row, or minus
// (kSubtract). j comes from ISTATE: a column found outside A runs the checked
// loop, which ends the run at its first access as it always has.
template <bool kSubtract>
void Bvls::update_rhs(std::int32_t j, double factor) {
  const bool inside = act.contains(1, M, RHS, RHS) && a.contains(1, M, j, j);
  unchecked_if(
      inside,
      [&](const auto& act, const auto& a) {
        add_multiple<kSubtract>(Column{act, RHS}, Column{a, j}, factor, 1, M);
      },
      act, a);
}

// Adds the free variables' part back, leaving B minus the bound part.
void Bvls::reduce_right_hand_side() {
  for (std::int32_t p = NATBOUND + 1; p <= N; ++p) {
    const std::int32_t j = istate(p);
    update_rhs<false>(j, x(j));
  }
}

// The optimality test: sets IPOS and IACT to the variable to free, or returns
// false when none qualifies. The variable the last interpolation forced to a
// bound may not be freed again until another one has been freed successfully:
// it is barred and the choice made again, without a new gradient.
bool Bvls::choose_variable_to_free() {
  for (;;) {
    if (most_negative_gradient() >= 0.0) return false;
    if (IACT.get() != LASTBOUND) return true;
    w(LASTBOUND) = 0.0;
  }
}

// GMIN over the bound part, v = -W(j) at a lower bound and +W(j) at an upper
// one: v < 0 means the gradient points into the box. The most negative v wins
// and sets IPOS and IACT, ties to the earliest position; 0.0 or -0.0 never
// qualifies.
double Bvls::most_negative_gradient() {
  double GMIN = 0.0;
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
  return GMIN;
}

// Moves IACT from the bound part into the first free position; the last bound
// entry fills its place.
void Bvls::free_chosen_variable() {
  const std::int32_t iact = IACT.get();
  if (istate(IPOS) > 0) BOUND = bu(iact);
  if (istate(IPOS) < 0) BOUND = bl(iact);
  // M >= 1 here (with no rows the misfit is 0, within FITTOL), so BOUND is
  // read just as the first row would.
  update_rhs<false>(iact, BOUND.get());
  CAMEFROM = istate(IPOS);
  istate(IPOS) = istate(NATBOUND);
  NATBOUND = NATBOUND - 1;
  NFREE = NFREE + 1;
  istate(NATBOUND + 1) = iact;
  if (NFREE > MINMN) fail(kTooManyFree);
}

// The inner loop: solves for the free set and, while the solution leaves the
// box, interpolates, binds and solves again. Returns false when the solve was
// rejected (another variable is then to be chosen), true when the main
// iteration has its new point.
bool Bvls::solve_until_inside() {
  for (;;) {
    solve_free_variables();
    if (solve_rejected()) {
      return_to_bound();
      return false;
    }
    if (CAMEFROM != 0) LASTBOUND = 0;  // a variable was freed successfully
    CAMEFROM = 0;
    const std::int32_t KFIRST = first_outside();
    if (KFIRST == 0) {
      take_solution();
      return true;
    }
    interpolate(KFIRST);
    bind_at_bounds();
    if (NFREE <= 0) return true;
  }
}

// Loads the free columns in reverse order of their positions (the first free
// position, the variable freed last, goes to column NFREE) and the reduced
// right-hand side, and calls qr.
void Bvls::solve_free_variables() {
  unchecked_if(
      act.contains(1, M, RHS, COPY),
      [&](const auto& act) { copy_rows(Column{act, COPY}, Column{act, RHS}, 1, M); }, act);
  for (std::int32_t p = NATBOUND + 1; p <= N; ++p) {
    const std::int32_t j = istate(p);
    const std::int32_t col = NFREE + NATBOUND + 1 - p;
    unchecked_if(
        act.contains(1, M, col, col) && a.contains(1, M, j, j),
        [&](const auto& act, const auto& a) { copy_rows(Column{act, col}, Column{a, j}, 1, M); },
        act, a);
  }
  qr(M, NFREE, act.data(), act.data() + nonnegative(M) * nonnegative(COPY - 1), zz.data(), RSQ);
}

// A dependent free set, or a freed variable that would leave through the
// bound it was freed from. IACT is read only when a variable was freed or the
// solve failed: a failed first solve of a warm start, which freed nothing,
// ends the run with the undefined-variable diagnostic for IACT.
bool Bvls::solve_rejected() {
  return RSQ < 0.0 || (CAMEFROM > 0 && zz(NFREE) > bu(IACT.get())) ||
         (CAMEFROM < 0 && zz(NFREE) < bl(IACT.get()));
}

// The first free position returns to the bound part, its sign from where X
// stands, and IACT is barred for the rest of this main iteration: the
// gradient is not recomputed before the next optimality test.
void Bvls::return_to_bound() {
  const std::int32_t iact = IACT.get();
  NATBOUND = NATBOUND + 1;
  const double sign = x(iact) - bu(iact) < 0.0 ? -1.0 : 1.0;
  istate(NATBOUND) = static_cast<std::int32_t>(istate(NATBOUND) * sign);
  NFREE = NFREE - 1;
  update_rhs<true>(iact, x(iact));
  w(iact) = 0.0;
}

// The first k whose solve value lies outside its bounds, or 0; a value equal
// to a bound counts as inside.
std::int32_t Bvls::first_outside() {
  for (std::int32_t k = 1; k <= NFREE; ++k) {
    const std::int32_t j = istate(NATBOUND + k);
    if (z(k) < bl(j) || z(k) > bu(j)) return k;
  }
  return 0;
}

void Bvls::take_solution() {
  for (std::int32_t k = 1; k <= NFREE; ++k) x(istate(NATBOUND + k)) = z(k);
}

// Moves every free variable the same fraction of the way to its solve value,
// the largest fraction that keeps all of them in the box, and makes the
// variable that sets it LASTBOUND, SJ saying which bound it reaches. RATIO
// carries over from one k to the next; a variable inside its bounds leaves it
// unchanged, and since a carried value is never below STEPFRAC it cannot win
// again.
void Bvls::interpolate(std::int32_t KFIRST) {
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
}

// Binds every free variable that reached a bound, the upper one tested first.
// A newly bound variable swaps with the first free position and that position
// joins the bound part, so every variable is examined once. LASTBOUND is bound
// here even if rounding left it a hair inside, so each pass binds at least one
// variable.
void Bvls::bind_at_bounds() {
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
    update_rhs<true>(j, held);
  }
  NFREE = N - NATBOUND;
}

}  // namespace

void bvls(const std::int32_t& KEY, const std::int32_t& M, const std::int32_t& N, const double* A,
          const double* B, const double* BL, const double* BU, double* X, std::int32_t* ISTATE,
          std::int32_t& LOOPA) {
  diagnostics::RoutineScope scope("bvls");
  Bvls s(KEY, M, N, A, B, BL, BU, X, ISTATE, LOOPA);
  s.check_bounds();
  textio::write_list(textio::standard_output(), {" "});  // on every call that gets this far
  s.choose_partition();
  s.obtain_work_storage();
  s.set_starting_point();
  s.set_fit_tolerance();
  s.LASTBOUND = 0;
  LOOPA = 1;
  const std::int64_t loop_limit = 3 * static_cast<std::int64_t>(N);
  while (s.main_iteration()) {
    LOOPA = LOOPA + 1;
    if (LOOPA > loop_limit) fail(kNoConvergence);
  }
  s.istate(static_cast<std::int64_t>(N) + 1) = s.NATBOUND;
}

}  // namespace boundedls
