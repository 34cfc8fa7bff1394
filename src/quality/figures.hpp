// A target bin's figures as a study keeps and shows them: the one shape
// that the batch's record, its tables, the study page and the comparison of
// tags share. Fixed in size and free of pointers, so that the process that
// computes them can hand them over as bytes. A figure not known is NaN.
#pragma once

#include <array>
#include <limits>

#include "quality/quality.hpp"
#include "quality/replay.hpp"

namespace quality {

// A bin's coefficients: the precursor's and each bin's (VOC, VB1 ... VB6).
inline constexpr int kTerms = 7;

inline constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();
inline constexpr std::array<double, kTerms> kUnknownTerms = {kUnknown, kUnknown, kUnknown, kUnknown,
                                                             kUnknown, kUnknown, kUnknown};

// One target bin's fit: what the comparison of tags needs first (rows, RSS,
// R², coefficients strictly inside their bounds), the other statistics of
// quality::Fit without its per-row series, and per coefficient its value as
// reported (the target's own shifted into [0, 1]), its bounds shifted alike
// and its standard error and flag.
struct BinFigures {
  int rows = 1440;  // the intervals of vbsfit's 1441 records
  double rss = kUnknown;
  double r_squared = kUnknown;
  int free_count = 0;
  double rms = kUnknown;
  double relative_residual = kUnknown;
  double residual_variance = kUnknown;
  double autocorrelation = kUnknown;  // lag 1 of the residuals; NaN when every residual is zero
  bool misfit = false;  // drift above the study's misfit limit and replay error above its
                        // replay limit (quality::is_misfit)
  double drift = kUnknown;             // lag 1 of the residuals' running sum (Fit::drift)
  double replay_error = kUnknown;      // the replayed bin's largest error over its peak
  double replay_rms_error = kUnknown;  // its RMS error over its mean
  std::array<double, kTerms> coefficient = kUnknownTerms;
  std::array<double, kTerms> lower = kUnknownTerms;
  std::array<double, kTerms> upper = kUnknownTerms;
  std::array<Coefficient, kTerms> coefficients{};
};

}  // namespace quality
