// Fit quality on real fits: the bundled example, the same run without the
// slow bins' reactions, and simulated runs with known coefficients, fitted
// through vbsfit's own stages. What the flags and standard errors say must
// agree with what the truth shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver_fit.hpp"
#include "quality/quality.hpp"
#include "run_program.hpp"

namespace {

// The figures of one fit, its design made for it alone, as the batch makes
// it once for a configuration's six solves.
quality::Fit assess_alone(const quality::Problem& p, double se_limit = quality::kDefaultSeLimit) {
  return quality::assess(p, quality::design_of(p.rows, p.cols, p.a), se_limit);
}

// The figures of solve r with the errors propagated from the stored series
// that `fit` was made from, read again from its input files in `workdir`.
quality::Fit assess_stored(const testsupport::DriverFit& fit, const std::filesystem::path& workdir,
                           const std::string& species, int r) {
  const quality::Fit q = testsupport::assess_with_inputs(fit, workdir, species, "0.1", r);
  EXPECT_EQ(q.coefficients.size(), 7u) << "the inputs in " << workdir << " cannot be read";
  return q;
}

namespace fs = std::filesystem;
using quality::Flag;
using testsupport::DriverFit;
using testsupport::fit_through_driver;
using testsupport::ScratchDir;

constexpr int kVB5 = 5, kVB6 = 6;  // column indices, from 0 = VOC

DriverFit fit_bundled_example(const ScratchDir& dir, const char* tag) {
  testsupport::copy_tree(fs::path(VBSFIT_SOURCE_DIR) / "examples", dir.path() / "example");
  return fit_through_driver(dir.path() / "example" / "run", {"OLE2_OH", "0.1", tag});
}

// The standard error below which a determined coefficient of the bundled
// example must lie: the fit recovers those columns to about 0.001.
constexpr double kDeterminedError = 0.05;
// The example's values carry only the rounding of their five digits, whose
// differences the OLS figure takes for independent residuals: it overstates
// the slow bins' errors by at least this factor (50 to 40000 here).
constexpr double kOlsOverstates = 20.0;

// The OLS figure calls the slow bins' columns undetermined; the errors of the
// rounding that is the example's only noise are far smaller.
TEST(BundledExample, SlowBinsAreUndeterminedByTheOlsFigureOnlyAndTheRestDetermined) {
  ScratchDir dir;
  const DriverFit fit = fit_bundled_example(dir, "allgas");
  ASSERT_TRUE(fit.ok) << fit.err;
  for (int r = 1; r <= 6; ++r) {
    const quality::Fit q = assess_stored(fit, dir.path() / "example" / "run", "OLE2_OH", r);
    // The solution handed over is the one the results file reports, unshifted.
    EXPECT_EQ(fit.solves[r - 1].x[r] + 1.0, fit.solves[r - 1].reported[r]);
    for (int c = 0; c < 7; ++c) {
      SCOPED_TRACE("row " + std::to_string(r) + " column " + std::to_string(c));
      const quality::Coefficient& k = q.coefficients[c];
      if (c == kVB5 || c == kVB6) {
        EXPECT_GT(k.ols_standard_error, quality::kDefaultSeLimit);
        EXPECT_GT(k.ols_standard_error, kOlsOverstates * k.standard_error);
      } else {
        EXPECT_EQ(k.flag, Flag::determined);
        EXPECT_LT(k.standard_error, kDeterminedError);
      }
    }
  }
}

TEST(BundledExample, ColumnsWithoutReactionHaveNoEffect) {
  struct Case {
    const char* tag;
    std::vector<int> zero;  // columns whose rate constant the tag sets to 0
  };
  for (const Case& c : {Case{"static", {1, 2, 3, 4, 5, 6}}, Case{"no56", {5, 6}},
                        Case{"no6", {6}}}) {
    SCOPED_TRACE(c.tag);
    ScratchDir dir;
    const DriverFit fit = fit_bundled_example(dir, c.tag);
    ASSERT_TRUE(fit.ok) << fit.err;
    for (int r = 1; r <= 6; ++r) {
      const quality::Fit q = assess_alone(fit.problem(r));
      for (int col : c.zero) {
        EXPECT_EQ(q.coefficients[col].flag, Flag::no_effect) << "row " << r << " column " << col;
        EXPECT_TRUE(std::isnan(q.coefficients[col].standard_error));
      }
      EXPECT_NE(q.coefficients[0].flag, Flag::no_effect);
    }
  }
}

// Recovery on simulated runs: a coefficient that misses its truth by more
// than kMiss must be flagged undetermined or no effect, or have its truth
// within kSpread standard errors, but for a share kBeyond of the determined
// ones: errors that mean what they say leave 0.3 per cent of normal errors
// beyond 3 of them, and a coefficient whose partner a bound holds away from
// its truth (the fit at another vertex) lies further off than the local
// error says; the bound gives those a few per cent.
constexpr double kMiss = 0.02;
constexpr double kSpread = 3.0;
constexpr double kBeyond = 0.05;

// Coverage of the errors on simulated runs with noise, among the determined
// coefficients strictly inside their bounds in bins that are not misfits: the
// share whose truth lies within 1.96 standard errors, and the median of
// |error| / se. Errors that mean what they say give 0.95 and 0.67; the OLS
// figure gives 1.0 and about 0.005, errors that miss the regressors' noise
// far less than 0.9. A handful of fits spreads the share by a few points.
constexpr double kCoverageLow = 0.8, kCoverageHigh = 0.995;
constexpr double kMedianLow = 0.35, kMedianHigh = 1.1;

struct Counts {
  int coefficients = 0;
  int undetermined = 0, no_effect = 0;
  int missed = 0;             // |reported - truth| > kMiss
  int missed_flagged = 0;     // of those, flagged undetermined or no effect
  int missed_within = 0;      // of those, determined with the truth within kSpread errors
  int determined = 0;         // determined coefficients
  int determined_within = 0;  // of those, truth within kSpread errors (any miss)
  std::vector<double> ratios;  // |error| / se of the free determined coefficients of fits
                               // that are not misfits
  std::vector<std::string> violations;

  void add(const Counts& o) {
    coefficients += o.coefficients;
    undetermined += o.undetermined;
    no_effect += o.no_effect;
    missed += o.missed;
    missed_flagged += o.missed_flagged;
    missed_within += o.missed_within;
    determined += o.determined;
    determined_within += o.determined_within;
    ratios.insert(ratios.end(), o.ratios.begin(), o.ratios.end());
    violations.insert(violations.end(), o.violations.begin(), o.violations.end());
  }
  double coverage() const {
    return static_cast<double>(std::count_if(ratios.begin(), ratios.end(),
                                             [](double z) { return z <= 1.96; })) /
           static_cast<double>(ratios.size());
  }
  double median_ratio() const {
    std::vector<double> sorted = ratios;
    std::sort(sorted.begin(), sorted.end());
    return sorted.empty() ? std::nan("") : sorted[sorted.size() / 2];
  }
};


Counts recovery(bool ideal, const std::string& seed, const std::string& noise) {
  ScratchDir dir;
  const std::string species = ideal ? "ideal" : "OLE2_OH";
  Counts counts;
  const auto gen = testsupport::run_program(
      testsupport::binary("vbsgen"), dir.path(),
      {"--species", species, "--seed", seed, "--noise", noise, "--truth", "truth"});
  const std::string label = species + " seed " + seed + " noise " + noise;
  if (gen.exit_status != 0) {
    counts.violations.push_back(label + ": vbsgen failed: " + gen.err);
    return counts;
  }
  const fs::path work = ideal ? dir.path() : dir.path() / "run";
  fs::create_directories(work);
  const DriverFit fit = fit_through_driver(work, {species, "0.1", "allgas"});
  const auto truth = testsupport::coefficient_rows(dir.path() / "truth");
  if (!fit.ok || truth.size() != 6) {
    counts.violations.push_back(label + ": no fit: " + fit.err);
    return counts;
  }
  for (int r = 1; r <= 6; ++r) {
    const quality::Fit q = assess_stored(fit, work, species, r);
    for (int c = 0; c < 7; ++c) {
      const quality::Coefficient& k = q.coefficients[c];
      const double error = std::fabs(fit.solves[r - 1].reported[c] - truth[r - 1][c]);
      const bool within = error <= kSpread * k.standard_error;
      if (k.flag == Flag::determined && !k.at_bound && !quality::is_misfit(q)) {
        counts.ratios.push_back(error / k.standard_error);
      }
      ++counts.coefficients;
      counts.undetermined += k.flag == Flag::undetermined;
      counts.no_effect += k.flag == Flag::no_effect;
      if (k.flag == Flag::determined) {
        ++counts.determined;
        counts.determined_within += within;
      }
      if (error <= kMiss) continue;
      ++counts.missed;
      if (k.flag != Flag::determined) {
        ++counts.missed_flagged;
      } else if (within) {
        ++counts.missed_within;
      } else {
        char text[160];
        std::snprintf(text, sizeof text, "%s: row %d column %d misses by %.4g, se %.3g", label.c_str(),
                      r, c, error, k.standard_error);
        counts.violations.push_back(text);
      }
    }
  }
  return counts;
}

// Runs every layout and noise level over `seeds` and prints the counts.
Counts recovery_study(int seeds) {
  Counts all;
  for (bool ideal : {true, false}) {
    for (const char* noise : {"0", "0.001", "0.01"}) {
      Counts level;
      for (int seed = 1; seed <= seeds; ++seed) {
        level.add(recovery(ideal, std::to_string(seed), noise));
      }
      std::printf(
          "%-8s noise %-5s: %4d coefficients, %3d undetermined, %3d no effect; %3d miss by "
          "> %.2f: %3d flagged, %3d within %.0f se, %zu neither; truth within %.0f se for %d of "
          "%d determined; coverage %.3f, median |error| / se %.3f\n",
          ideal ? "ideal" : "standard", noise, level.coefficients, level.undetermined,
          level.no_effect, level.missed, kMiss, level.missed_flagged, level.missed_within,
          kSpread, level.violations.size(), kSpread, level.determined_within, level.determined,
          level.coverage(), level.median_ratio());
      all.add(level);
    }
  }
  return all;
}

TEST(Recovery, ErrorsCoverTheTruthAsOftenAsTheySay) {
  Counts noisy;
  for (bool ideal : {true, false}) {
    for (const char* noise : {"0.001", "0.01"}) {
      for (const char* seed : {"1", "2"}) noisy.add(recovery(ideal, seed, noise));
    }
  }
  ASSERT_GT(noisy.ratios.size(), 50u);
  EXPECT_GE(noisy.coverage(), kCoverageLow);
  EXPECT_LE(noisy.coverage(), kCoverageHigh);
  EXPECT_GE(noisy.median_ratio(), kMedianLow);
  EXPECT_LE(noisy.median_ratio(), kMedianHigh);
}

TEST(Recovery, CoefficientsMissingTheirTruthAreFlaggedOrWithinTheirErrors) {
  const Counts all = recovery_study(3);
  ASSERT_GT(all.determined, 0);
  EXPECT_LE(static_cast<double>(all.violations.size()) / all.determined, kBeyond);
  for (const std::string& v : all.violations) std::printf("beyond %.0f se: %s\n", kSpread, v.c_str());
}

// The full count for the record: many seeds. Run with
//   build/e2e_quality_test --gtest_also_run_disabled_tests --gtest_filter='*Full*'
TEST(Recovery, DISABLED_FullStudy) {
  const char* seeds = std::getenv("VBSFIT_RECOVERY_SEEDS");
  const Counts all = recovery_study(seeds != nullptr ? std::atoi(seeds) : 50);
  EXPECT_LE(static_cast<double>(all.violations.size()) / all.determined, kBeyond);
}

}  // namespace
