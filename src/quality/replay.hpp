// The replay of a fit: the fitted coefficients run as the model alone, from
// the first record's bins, driven by the observed precursor, and the
// replayed bins compared with the observed ones. It answers the question a
// modeller asks of a parameterisation (does it reproduce the simulation when
// it runs on its own?) in the units of the stored values, where the rates of
// change the fit sees are differences of rounded digits.
//
// The model is the fit's own interval model, integrated with the
// trapezoidal rule over the stored times: for each interval i of length h,
//   (y(i+1) - y(i)) / h = a0 KP (P(i) + P(i+1)) / 2 + M (y(i) + y(i+1)) / 2,
// M(r, j) = a_jr K(j) with the raw coefficients (the target's own as
// reported minus 1), so one 6 x 6 linear solve per interval. On data the
// model made (vbsgen) the replay gives back the bins up to rounding; a model
// that misses the data's structure drifts away from them.
#pragma once

#include <limits>
#include <span>
#include <string>
#include <vector>

#include "quality/quality.hpp"

namespace quality {

// How far one replayed series lies from the observed one. NaN when not
// known (an observed series that is zero throughout, or a replay that could
// not be taken).
struct ReplayError {
  double max_error = std::numeric_limits<double>::quiet_NaN();  // max |replayed - observed|
                                                                // over max |observed|
  double rms_error = std::numeric_limits<double>::quiet_NaN();   // RMS of replayed - observed
                                                                 // over the mean of |observed|
};

struct Replay {
  int records = 0;
  // records x bins, the bins of a record adjacent (as Stored::bins); record 0
  // is the observed first record. Empty when the replay could not be taken.
  std::vector<double> bins;
  std::vector<ReplayError> bin;  // per target bin 1 ... bins; bin[0] is bin 1.
                                 // bin[r].max_error is bin r + 1's replay error
  ReplayError total;             // the bins' sum
  ReplayError weighted_total;    // the bins' sum weighted by the mean molar masses
  // Empty when the replay was taken; otherwise why not ("a step matrix is
  // singular", "the replay overflowed"), every figure NaN.
  std::string problem;
};

// Replays the model whose coefficients are `coefficients` (bins x (bins +
// 1), target bin by target bin, each row VOC, VB1 ... as reported: the
// target's own shifted by +1) on `stored` (its rates KP, K(1 ...)).
// `molar_masses` (bins values, or empty) weight the weighted total; when it
// is empty or all zero (the ideal layout) that figure is NaN.
Replay replay(const Stored& stored, std::span<const double> coefficients,
              std::span<const double> molar_masses = {});

}  // namespace quality
