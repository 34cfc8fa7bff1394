// The bounded least-squares solver: bvls, an active-set method for
//   minimise ||A X - B||  subject to  BL <= X <= BU,
// and qr, the Householder least-squares routine it calls on the free columns.
// Arrays are passed with their extents as separate arguments, column by column
// with a leading dimension equal to the row count, and are reached through
// checked views against exactly those extents.
#pragma once

#include <cstdint>

namespace boundedls {

// Solves A X ~ B in the least-squares sense for an M x N matrix (M >= N).
// RSQ returns the residual sum of squares, or -2.0 when M < N (nothing touched)
// or -1.0 when a column is exactly dependent on the earlier ones (X untouched).
// A and B are overwritten by the reduction.
void qr(const std::int32_t& M, const std::int32_t& N, double* A, double* B, double* X,
        double& RSQ);

// Bounded-variable least squares. KEY 0 starts cold (every variable at its
// lower bound), any other value warm from ISTATE (N + 1 entries). Writes one
// line of blanks to standard output on every call that passes the bound checks.
// Unusable input or non-convergence writes the solver's message to standard
// output and ends the run with exit status 1.
void bvls(const std::int32_t& KEY, const std::int32_t& M, const std::int32_t& N, const double* A,
          const double* B, const double* BL, const double* BU, double* X, std::int32_t* ISTATE,
          std::int32_t& LOOPA);

}  // namespace boundedls
