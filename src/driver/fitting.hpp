// The fitting problem: rates of change, interval means and reaction rates
// built into the design matrix (1440 x 7 in the program: one row per
// interval of the run data), and the six bounded solves.
#pragma once

namespace driver {

class RunObserver;

// Derived series, mean molar masses (printed) and the design matrix ABVLSX.
void build_problem();

// Ends the run with one line on standard error and status 1 at the first
// mean molar mass that is not finite, or else at the first interval whose
// times do not increase or whose rates are not finite: such input cannot be
// fitted, and nothing of it should reach the solver.
void check_problem();

// Solve for target bin r (1 ... 6): bounds, a fresh copy of the matrix, the
// bin's rates of change as right-hand side, bvls, and the shift of the target
// coefficient. Leaves the reported coefficients in ALPHA; a coefficient that
// is not finite ends the run as check_problem does. The observer, when given,
// sees the solution before the shift.
void solve(int r, RunObserver* observer = nullptr);

}  // namespace driver
