#include "quality/models.hpp"

#include <cmath>

namespace quality {
namespace {

Score score_of(const Candidate& c) {
  Score s{{}, 0.0, std::numeric_limits<double>::quiet_NaN(), 0, 0.0};
  for (const BinFigures& b : c.bins) {
    const double a = aic(b.rows, b.rss, b.free_count);
    s.bin_aic.push_back(a);
    s.rss += b.rss;
    s.free_count += b.free_count;
    s.aic += a;
    if (!std::isnan(b.r_squared) && !(b.r_squared >= s.worst_r_squared)) s.worst_r_squared = b.r_squared;
    if (!std::isnan(b.replay_error) && !(b.replay_error <= s.worst_replay_error)) {
      s.worst_replay_error = b.replay_error;
    }
  }
  if (c.bins.empty()) s.aic = s.rss = std::numeric_limits<double>::quiet_NaN();
  return s;
}

}  // namespace

double aic(int rows, double rss, int free_count) {
  if (rows < 1 || !(rss >= 0.0)) return std::numeric_limits<double>::quiet_NaN();
  return rows * std::log(rss / rows) + 2.0 * free_count;
}

Comparison compare_models(std::span<const Candidate> candidates) {
  Comparison out;
  double lowest = INFINITY;
  for (const Candidate& c : candidates) {
    out.scores.push_back(score_of(c));
    if (out.scores.back().aic < lowest) lowest = out.scores.back().aic;
  }
  for (std::size_t n = 0; n < candidates.size(); ++n) {
    const double a = out.scores[n].aic;
    if (std::isnan(a)) continue;
    // Exact fits (-infinity) tie only with each other.
    const bool close = std::isinf(lowest) ? a == lowest : a - lowest <= kAicTie;
    if (!close) continue;
    if (out.preferred < 0) {
      out.preferred = static_cast<int>(n);
      continue;
    }
    const Candidate& best = candidates[out.preferred];
    if (candidates[n].reactions < best.reactions ||
        (candidates[n].reactions == best.reactions && a < out.scores[out.preferred].aic)) {
      out.preferred = static_cast<int>(n);
    }
  }
  return out;
}

}  // namespace quality
