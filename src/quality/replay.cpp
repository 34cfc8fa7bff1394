#include "quality/replay.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <limits>

namespace quality {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A step matrix I - (h/2) M whose reciprocal condition number is below this
// cannot be solved to any useful digit: the replay stops there.
constexpr double kSmallestRcond = 1e-14;
// The target's own coefficient is reported shifted by this (config's
// kSelfShift; quality uses nothing of config).
constexpr double kOwnShift = 1.0;

// Accumulates one series' comparison record by record.
class Comparison {
 public:
  void add(double replayed, double observed) {
    const double d = replayed - observed;
    largest_ = std::max(largest_, std::fabs(d));
    peak_ = std::max(peak_, std::fabs(observed));
    squares_ += d * d;
    sum_ += std::fabs(observed);
    ++count_;
  }
  ReplayError figures() const {
    ReplayError e;
    if (count_ == 0) return e;
    if (peak_ > 0.0) e.max_error = largest_ / peak_;
    const double mean = sum_ / count_;
    if (mean > 0.0) e.rms_error = std::sqrt(squares_ / count_) / mean;
    return e;
  }

 private:
  double largest_ = 0.0, peak_ = 0.0, squares_ = 0.0, sum_ = 0.0;
  long count_ = 0;
};

}  // namespace

Replay replay(const Stored& stored, std::span<const double> coefficients,
              std::span<const double> molar_masses) {
  const int bins = static_cast<int>(stored.rates.size()) - 1;
  const int records = static_cast<int>(stored.time.size());
  assert(bins >= 1);
  assert(stored.precursor.size() == stored.time.size());
  assert(stored.bins.size() == stored.time.size() * bins);
  assert(coefficients.size() == static_cast<std::size_t>(bins) * (bins + 1));
  assert(molar_masses.empty() || molar_masses.size() == static_cast<std::size_t>(bins));

  Replay out;
  out.records = records;
  out.bin.assign(bins, ReplayError{});
  if (records < 1) return out;

  // M(r, j) = a_jr K(j) and the precursor's yields a0r KP.
  Eigen::MatrixXd m(bins, bins);
  Eigen::VectorXd yield(bins);
  for (int r = 0; r < bins; ++r) {
    const double* row = coefficients.data() + static_cast<std::size_t>(r) * (bins + 1);
    yield(r) = row[0] * stored.rates[0];
    for (int j = 0; j < bins; ++j) {
      const double a = j == r ? row[j + 1] - kOwnShift : row[j + 1];
      m(r, j) = a * stored.rates[j + 1];
    }
  }

  std::vector<double> y(static_cast<std::size_t>(records) * bins);
  std::copy_n(stored.bins.begin(), bins, y.begin());
  const Eigen::MatrixXd identity = Eigen::MatrixXd::Identity(bins, bins);
  Eigen::PartialPivLU<Eigen::MatrixXd> lu;
  Eigen::MatrixXd forward(bins, bins);
  double factored_step = kNaN;  // the h whose step matrix lu holds
  for (int i = 0; i + 1 < records; ++i) {
    const double h = stored.time[i + 1] - stored.time[i];
    if (!(h == factored_step)) {  // vbsgen's and most models' steps are all equal
      lu.compute(identity - (0.5 * h) * m);
      forward = identity + (0.5 * h) * m;
      factored_step = h;
      if (!(lu.rcond() >= kSmallestRcond)) {
        out.problem = "the step matrix of interval " + std::to_string(i + 1) + " is singular";
        out.bins.clear();
        return out;
      }
    }
    const Eigen::Map<const Eigen::VectorXd> before(y.data() + static_cast<std::size_t>(i) * bins,
                                                   bins);
    const double source = h * 0.5 * (stored.precursor[i] + stored.precursor[i + 1]);
    const Eigen::VectorXd after = lu.solve(forward * before + source * yield);
    if (!after.allFinite()) {
      out.problem = "the replay overflowed in interval " + std::to_string(i + 1);
      out.bins.clear();
      return out;
    }
    Eigen::Map<Eigen::VectorXd>(y.data() + static_cast<std::size_t>(i + 1) * bins, bins) = after;
  }

  std::vector<Comparison> per_bin(bins);
  Comparison total, weighted;
  const bool weighing =
      std::any_of(molar_masses.begin(), molar_masses.end(), [](double w) { return w != 0.0; });
  for (int t = 0; t < records; ++t) {
    const double* replayed = y.data() + static_cast<std::size_t>(t) * bins;
    const double* observed = stored.bins.data() + static_cast<std::size_t>(t) * bins;
    double replayed_sum = 0.0, observed_sum = 0.0, replayed_mass = 0.0, observed_mass = 0.0;
    for (int j = 0; j < bins; ++j) {
      per_bin[j].add(replayed[j], observed[j]);
      replayed_sum += replayed[j];
      observed_sum += observed[j];
      if (weighing) {
        replayed_mass += molar_masses[j] * replayed[j];
        observed_mass += molar_masses[j] * observed[j];
      }
    }
    total.add(replayed_sum, observed_sum);
    if (weighing) weighted.add(replayed_mass, observed_mass);
  }
  for (int j = 0; j < bins; ++j) out.bin[j] = per_bin[j].figures();
  out.total = total.figures();
  if (weighing) out.weighted_total = weighted.figures();
  out.bins = std::move(y);
  return out;
}

}  // namespace quality
