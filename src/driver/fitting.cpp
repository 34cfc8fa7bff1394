#include "driver/fitting.hpp"

#include <cmath>
#include <span>
#include <string>

#include "boundedls/boundedls.hpp"
#include "config/config.hpp"
#include "declare/declare.hpp"
#include "driver/reject.hpp"
#include "driver/run_observer.hpp"
#include "textio/list_directed.hpp"

namespace driver {

using namespace declare;

void build_problem() {
  // Rates of change and bin means; DELTAT is recomputed for every (j, i).
  for (int j = 1; j <= kBins; ++j) {
    for (int i = 1; i <= kIntervals; ++i) {
      DELTAT = TIME(i + 1) - TIME(i);
      DYKELPO(j, i) = (YKELPO(j, i + 1) - YKELPO(j, i)) / DELTAT;
      AVGKELPO(j, i) = (YKELPO(j, i + 1) + YKELPO(j, i)) * 0.5;
    }
  }
  for (int i = 1; i <= kIntervals; ++i) {
    AVGPRECURSOR(i) = (PRECURSOR(i + 1) + PRECURSOR(i)) * 0.5;
  }
  // kIntervals terms over kRecords (1440 over 1441.0): stored results depend
  // on this mean as it stands.
  for (int j = 1; j <= kBins; ++j) {
    double sum = 0.0;
    for (int t = 1; t <= kIntervals; ++t) sum = sum + WMOL(j, t);
    AVGWMOL(j) = sum / static_cast<double>(kRecords);
  }
  textio::write_list(textio::standard_output(),
                     {"WMOL ", std::span<const double>(AVGWMOL.data(), kBins)});
  for (int i = 1; i <= kIntervals; ++i) {
    KPRECURSOR(i) = KP * AVGPRECURSOR(i);
    ABVLSX(i, 1) = KPRECURSOR(i);
    for (int j = 1; j <= kBins; ++j) {
      KYKELPO(j, i) = K(j) * AVGKELPO(j, i);
      ABVLSX(i, j + 1) = KYKELPO(j, i);
    }
  }
}

void check_problem() {
  // Printed just before: an overflowing sum of the molar-mass file.
  for (int j = 1; j <= kBins; ++j) {
    if (!std::isfinite(AVGWMOL(j))) {
      reject_input("bin " + std::to_string(j) + ": mean molar mass is not finite (" +
                   shortest(AVGWMOL(j)) + ")");
    }
  }
  for (int i = 1; i <= kIntervals; ++i) {
    double deltat = TIME(i + 1) - TIME(i);
    if (!(deltat > 0.0) || !std::isfinite(deltat)) {
      reject_input("interval " + std::to_string(i) + ": time does not increase from " +
                   shortest(TIME(i)) + " to " + shortest(TIME(i + 1)) +
                   "; no rate of change can be formed");
    }
    for (int j = 1; j <= kBins; ++j) {
      if (!std::isfinite(DYKELPO(j, i))) {
        reject_input("interval " + std::to_string(i) + ": rate of change of bin " +
                     std::to_string(j) + " is not finite (" + shortest(DYKELPO(j, i)) + ")");
      }
    }
    for (int c = 1; c <= kCoefficients; ++c) {
      if (!std::isfinite(ABVLSX(i, c))) {
        reject_input("interval " + std::to_string(i) + ": reaction rate of column " +
                     std::to_string(c) + " is not finite (" + shortest(ABVLSX(i, c)) + ")");
      }
    }
  }
}

void solve(int r, RunObserver* observer) {
  KEYBVLS = 0;
  for (int c = 1; c <= kCoefficients; ++c) {
    ALPHAL(c) = config::kLowerBound;
    ALPHAU(c) = config::kUpperBound;
    ISTATEBVLS(c) = c;
  }
  ALPHAL(r + 1) = config::kSelfLowerBound;
  ISTATEBVLS(kCoefficients + 1) = 0;
  ALPHAU(r + 1) = config::kSelfUpperBound;
  for (int i = 1; i <= kIntervals; ++i) {
    BBVLS(i) = DYKELPO(r, i);
    for (int c = 1; c <= kCoefficients; ++c) ABVLS(i, c) = ABVLSX(i, c);
  }
  const std::int32_t rows = kIntervals;
  const std::int32_t cols = kCoefficients;
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
