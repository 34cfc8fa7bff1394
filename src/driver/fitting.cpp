#include "driver/fitting.hpp"

#include <emmintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <span>
#include <string>

#include "boundedls/boundedls.hpp"
#include "boundedls/side_by_side.hpp"
#include "config/config.hpp"
#include "declare/declare.hpp"
#include "driver/reject.hpp"
#include "driver/run_observer.hpp"
#include "textio/list_directed.hpp"

namespace driver {

using namespace declare;
using diagnostics::unchecked_if;

// The loops below run over whole ranges of the run data: each finds its range
// inside the bounds once and then runs without a check per element (the
// program's extents always are; other run data may be too small), or else
// runs checked, so that a bad subscript ends the run with its message at the
// very access it always would (diagnostics::unchecked_if).

namespace {

// The bins' rates of change and means over the `n` intervals; DELTAT is
// recomputed for every (j, i).
void bin_rates_and_means(int n) {
  unchecked_if(
      TIME.contains(1, n + 1) && YKELPO.contains(1, kBins, 1, n + 1) &&
          DYKELPO.contains(1, kBins, 1, n) && AVGKELPO.contains(1, kBins, 1, n),
      [&](const auto& TIME, const auto& YKELPO, const auto& DYKELPO, const auto& AVGKELPO) {
        if constexpr (std::decay_t<decltype(TIME)>::checks == diagnostics::Checks::off) {
          // No access can fail: the same expressions, interval by interval,
          // so that the six bins of a record, side by side in each array,
          // go two at a time in SSE2 registers (each lane an ordinary IEEE
          // operation). Every DELTAT is the same difference; the last one
          // stays, as it would.
          static_assert(kBins % 2 == 0);
          const __m128d half = _mm_set1_pd(0.5);
          for (int i = 1; i <= n; ++i) {
            const __m128d deltat = _mm_set1_pd(TIME(i + 1) - TIME(i));
            const double* const before = &YKELPO(1, i);
            const double* const after = &YKELPO(1, i + 1);
            double* const rates = &DYKELPO(1, i);
            double* const means = &AVGKELPO(1, i);
            for (int j = 0; j < kBins; j += 2) {
              const __m128d y0 = _mm_loadu_pd(before + j);
              const __m128d y1 = _mm_loadu_pd(after + j);
              _mm_storeu_pd(rates + j, _mm_div_pd(_mm_sub_pd(y1, y0), deltat));
              _mm_storeu_pd(means + j, _mm_mul_pd(_mm_add_pd(y1, y0), half));
            }
          }
          if (n >= 1) DELTAT = TIME(n + 1) - TIME(n);
          return;
        }
        for (int j = 1; j <= kBins; ++j) {
          for (int i = 1; i <= n; ++i) {
            DELTAT = TIME(i + 1) - TIME(i);
            DYKELPO(j, i) = (YKELPO(j, i + 1) - YKELPO(j, i)) / DELTAT;
            AVGKELPO(j, i) = (YKELPO(j, i + 1) + YKELPO(j, i)) * 0.5;
          }
        }
      },
      TIME, YKELPO, DYKELPO, AVGKELPO);
}

// The precursor's mean over each of the `n` intervals.
void precursor_means(int n) {
  unchecked_if(
      PRECURSOR.contains(1, n + 1) && AVGPRECURSOR.contains(1, n),
      [&](const auto& PRECURSOR, const auto& AVGPRECURSOR) {
        for (int i = 1; i <= n; ++i) {
          AVGPRECURSOR(i) = (PRECURSOR(i + 1) + PRECURSOR(i)) * 0.5;
        }
      },
      PRECURSOR, AVGPRECURSOR);
}

// The bins' mean molar masses: one term per interval over the records (1440
// over 1441.0): stored results depend on this mean as it stands.
void mean_molar_masses(int n) {
  unchecked_if(
      WMOL.contains(1, kBins, 1, n),
      [&](const auto& WMOL) {
        for (int j = 1; j <= kBins; ++j) {
          double sum = 0.0;
          #pragma GCC unroll 4  // one sum in record order; the turns share the count
          for (int t = 1; t <= n; ++t) sum = sum + WMOL(j, t);
          AVGWMOL(j) = sum / static_cast<double>(n + 1);
        }
      },
      WMOL);
}

// The reaction rates of the precursor and the bins, and the fit's matrix
// ABVLSX whose columns they are.
void reaction_rates(int n) {
  unchecked_if(
      AVGPRECURSOR.contains(1, n) && KPRECURSOR.contains(1, n) &&
          ABVLSX.contains(1, n, 1, kCoefficients) && K.contains(1, kBins) &&
          AVGKELPO.contains(1, kBins, 1, n) && KYKELPO.contains(1, kBins, 1, n),
      [&](const auto& AVGPRECURSOR, const auto& KPRECURSOR, const auto& ABVLSX, const auto& K,
          const auto& AVGKELPO, const auto& KYKELPO) {
        for (int i = 1; i <= n; ++i) {
          KPRECURSOR(i) = KP * AVGPRECURSOR(i);
          ABVLSX(i, 1) = KPRECURSOR(i);
          for (int j = 1; j <= kBins; ++j) {
            KYKELPO(j, i) = K(j) * AVGKELPO(j, i);
            ABVLSX(i, j + 1) = KYKELPO(j, i);
          }
        }
      },
      AVGPRECURSOR, KPRECURSOR, ABVLSX, K, AVGKELPO, KYKELPO);
}

}  // namespace

void build_problem() {
  const int n = intervals();
  bin_rates_and_means(n);
  precursor_means(n);
  mean_molar_masses(n);
  textio::write_list(textio::standard_output(),
                     {"WMOL ", std::span<const double>(AVGWMOL.data(), kBins)});
  reaction_rates(n);
}

namespace {

// Whether all of the `count` doubles at p are finite: x - x is zero for a
// finite x (a denormal included, which the floating-point mode takes as
// zero) and NaN for an infinity or a NaN, and a sum with a NaN term is NaN.
bool all_finite(const double* p, std::int64_t count) {
  __m128d lanes = _mm_setzero_pd();
  std::int64_t k = 0;
  for (; k + 1 < count; k += 2) {
    const __m128d v = _mm_loadu_pd(p + k);
    lanes = _mm_add_pd(lanes, _mm_sub_pd(v, v));
  }
  double sum = _mm_cvtsd_f64(lanes) + _mm_cvtsd_f64(_mm_unpackhi_pd(lanes, lanes));
  if (k < count) sum = sum + (p[k] - p[k]);
  return sum == 0.0;
}

// Whether every step of the `count` + 1 times at p is above zero and
// finite, as check_problem's test of each interval computes it.
bool all_steps_forward(const double* p, std::int64_t count) {
  const __m128d zero = _mm_setzero_pd();
  const __m128d infinity = _mm_set1_pd(HUGE_VAL);
  __m128d ok = _mm_castsi128_pd(_mm_set1_epi32(-1));
  std::int64_t k = 0;
  for (; k + 1 < count; k += 2) {
    const __m128d step = _mm_sub_pd(_mm_loadu_pd(p + k + 1), _mm_loadu_pd(p + k));
    ok = _mm_and_pd(ok, _mm_and_pd(_mm_cmpgt_pd(step, zero), _mm_cmplt_pd(step, infinity)));
  }
  bool forward = _mm_movemask_pd(ok) == 3;
  if (k < count) {
    const double step = p[k + 1] - p[k];
    forward = forward && step > 0.0 && std::isfinite(step);
  }
  return forward;
}

}  // namespace

void check_problem() {
  // Printed just before: an overflowing sum of the molar-mass file.
  for (int j = 1; j <= kBins; ++j) {
    if (!std::isfinite(AVGWMOL(j))) {
      reject_input("bin " + std::to_string(j) + ": mean molar mass is not finite (" +
                   shortest(AVGWMOL(j)) + ")");
    }
  }
  const int n = intervals();
  unchecked_if(
      TIME.contains(1, n + 1) && DYKELPO.contains(1, kBins, 1, n) &&
          ABVLSX.contains(1, n, 1, kCoefficients),
      [&](const auto& TIME, const auto& DYKELPO, const auto& ABVLSX) {
        if constexpr (std::decay_t<decltype(TIME)>::checks == diagnostics::Checks::off) {
          // Nearly always nothing is to be reported: found so in one pass
          // over each array; else the loop below finds the first failure.
          if (n < 1) return;
          bool fine = all_steps_forward(&TIME(1), n);
          const double* const rates = &DYKELPO(1, 1);
          if (&DYKELPO(kBins, n) - rates + 1 == static_cast<std::ptrdiff_t>(kBins) * n) {
            fine = fine && all_finite(rates, static_cast<std::int64_t>(kBins) * n);
          } else {
            for (int i = 1; i <= n && fine; ++i) fine = all_finite(&DYKELPO(1, i), kBins);
          }
          for (int c = 1; c <= kCoefficients && fine; ++c) fine = all_finite(&ABVLSX(1, c), n);
          if (fine) return;
        }
        for (int i = 1; i <= n; ++i) {
          double deltat = TIME(i + 1) - TIME(i);
          if (!(deltat > 0.0) || !std::isfinite(deltat)) {
            reject_input("interval " + std::to_string(i) + ": time does not increase from " +
                         shortest(TIME(i)) + " to " + shortest(TIME(i + 1)) +
                         "; no rate of change can be formed");
          }
          for (int j = 1; j <= kBins; ++j) {
            if (!std::isfinite(DYKELPO(j, i))) {
              reject_input("interval " + std::to_string(i) + ": rate of change of bin " +
                           std::to_string(j) + " is not finite (" + shortest(DYKELPO(j, i)) +
                           ")");
            }
          }
          for (int c = 1; c <= kCoefficients; ++c) {
            if (!std::isfinite(ABVLSX(i, c))) {
              reject_input("interval " + std::to_string(i) + ": reaction rate of column " +
                           std::to_string(c) + " is not finite (" + shortest(ABVLSX(i, c)) +
                           ")");
            }
          }
        }
      },
      TIME, DYKELPO, ABVLSX);
}

void solve(int r, RunObserver* observer) {
  const int n = intervals();
  KEYBVLS = 0;
  for (int c = 1; c <= kCoefficients; ++c) {
    ALPHAL(c) = config::kLowerBound;
    ALPHAU(c) = config::kUpperBound;
    ISTATEBVLS(c) = c;
  }
  ALPHAL(r + 1) = config::kSelfLowerBound;
  ISTATEBVLS(kCoefficients + 1) = 0;
  ALPHAU(r + 1) = config::kSelfUpperBound;
  unchecked_if(
      BBVLS.contains(1, n) && DYKELPO.contains(r, r, 1, n) &&
          ABVLS.contains(1, n, 1, kCoefficients) && ABVLSX.contains(1, n, 1, kCoefficients),
      [&](const auto& BBVLS, const auto& DYKELPO, const auto& ABVLS, const auto& ABVLSX) {
        if constexpr (std::decay_t<decltype(ABVLS)>::checks == diagnostics::Checks::off) {
          // No access can fail: the same copies, a column at a time.
          for (int i = 1; i <= n; ++i) BBVLS(i) = DYKELPO(r, i);
          for (int c = 1; c <= kCoefficients; ++c) {
            boundedls::copy_rows(boundedls::Column{ABVLS, c}, boundedls::Column{ABVLSX, c}, 1, n);
          }
        } else {
          for (int i = 1; i <= n; ++i) {
            BBVLS(i) = DYKELPO(r, i);
            for (int c = 1; c <= kCoefficients; ++c) ABVLS(i, c) = ABVLSX(i, c);
          }
        }
      },
      BBVLS, DYKELPO, ABVLS, ABVLSX);
  const std::int32_t rows = n;
  const std::int32_t cols = kCoefficients;
  if (observer != nullptr) observer->solving(r);
  boundedls::bvls(KEYBVLS, rows, cols, ABVLS.data(), BBVLS.data(), ALPHAL.data(), ALPHAU.data(),
                  ALPHA.data(), ISTATEBVLS.data(), LOOPABVLS);
  if (observer != nullptr) observer->solved(r);
  // The target bin's own coefficient was fitted in [-1, 0]; report it in [0, 1].
  ALPHA(r + 1) = config::shift_own(ALPHA(r + 1));
  // Finite rates can still be too large for the solver's sums of squares.
  for (int c = 1; c <= kCoefficients; ++c) {
    if (!std::isfinite(ALPHA(c))) {
      reject_input("solve for bin " + std::to_string(r) + ": coefficient a" +
                   std::to_string(c - 1) + std::to_string(r) + " (" + config::term_label(c - 1) +
                   ") is not finite (" + shortest(ALPHA(c)) + ")");
    }
  }
}

}  // namespace driver
