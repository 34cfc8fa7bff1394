// Choosing between the tags one species and scenario were fitted under:
// Akaike's information criterion of every target bin's fit and of the whole
// configuration, and the tag to prefer.
//
//   AIC = n ln(RSS / n) + 2k   n: the bin's rows, k: its coefficients
//                              strictly inside their bounds
//
// A configuration's total is the sum of its bins' AICs: each bin is its own
// least-squares problem with its own noise scale, so one pooled RSS would be
// ruled by the bin with the largest rates of change.
#pragma once

#include <limits>
#include <span>
#include <string>
#include <vector>

#include "quality/figures.hpp"

namespace quality {

// n ln(rss / n) + 2k; -infinity for an exact fit (rss = 0); NaN when n < 1 or
// rss is negative or NaN.
double aic(int rows, double rss, int free_count);

// One tag's fit of a species and scenario. `reactions` orders tags by the
// model's size when their AICs tie: the rate constants the tag leaves
// nonzero (static 0, no56 4, no6 5, allgas and every other label 6); the
// caller counts them from the tag rules.
struct Candidate {
  std::string tag;
  int reactions = 0;
  std::vector<BinFigures> bins;  // target bins 1 ... 6: rows, rss, r_squared, free_count (k),
                                 // replay_error
};

struct Score {
  std::vector<double> bin_aic;  // per target bin
  double rss;                   // summed over the bins, in bin order
  double worst_r_squared;       // the lowest known R² of the bins; NaN when none is
  int free_count;               // summed over the bins
  double aic;                   // summed over the bins; NaN when one bin's is
  double worst_replay_error = std::numeric_limits<double>::quiet_NaN();  // the largest known
                                                                         // bin's replay error
};

// AICs closer than this are a tie: the smaller model is preferred.
inline constexpr double kAicTie = 2.0;

// The scores of `candidates`, in their order, and the preferred one: among
// those whose total AIC is within kAicTie of the lowest, the one with the
// fewest reactions, then the lowest AIC, then the first given. preferred is
// -1 when no candidate has a known AIC.
struct Comparison {
  std::vector<Score> scores;
  int preferred = -1;
};
Comparison compare_models(std::span<const Candidate> candidates);

}  // namespace quality
