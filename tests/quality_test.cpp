// Fit figures, standard errors and flags on problems whose answers are known
// in closed form: a straight-line fit, and the same fit with a zero column, a
// repeated column, a column scaled by 1e-9 and coefficients at their bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "quality/quality.hpp"

namespace {

using quality::Flag;

// The figures of one fit, its design made for it alone, as the batch makes
// it once for a configuration's six solves.
quality::Fit assess_alone(const quality::Problem& p, double se_limit = quality::kDefaultSeLimit) {
  return quality::assess(p, quality::design_of(p.rows, p.cols, p.a), se_limit);
}

constexpr double kWide = 1e6;  // bounds no coefficient reaches
// The decomposition is backward stable and these problems are well
// conditioned (after scaling), so results agree with the closed forms to
// near rounding; this leaves a few hundred units of the last place.
constexpr double kRelative = 1e-12;

// A problem that owns its numbers; columns are given one after another.
struct Owned {
  int rows = 0;
  std::vector<double> a, b, x, lower, upper;

  void add_column(const std::vector<double>& column, double value, double lo = -kWide,
                  double hi = kWide) {
    a.insert(a.end(), column.begin(), column.end());
    x.push_back(value);
    lower.push_back(lo);
    upper.push_back(hi);
  }
  quality::Problem problem() const {
    return {rows, static_cast<int>(x.size()), a, b, x, lower, upper};
  }
};

// y = 2 + 3 t + a small fixed disturbance, t = i / rows, and its least-squares
// line in closed form (long double), with the textbook standard errors
// var(slope) = s2 / Sxx, var(intercept) = s2 (1 / n + mean(t)^2 / Sxx).
struct Line {
  std::vector<double> one, t, y;
  double intercept = 0, slope = 0;
  double rss = 0, se_intercept = 0, se_slope = 0;
};

Line line(int n) {
  Line l;
  long double t_sum = 0, y_sum = 0;
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / n;
    l.one.push_back(1.0);
    l.t.push_back(t);
    l.y.push_back(2.0 + 3.0 * t + 0.01 * std::sin(1.7 * i));
    t_sum += t;
    y_sum += l.y.back();
  }
  const long double t_mean = t_sum / n, y_mean = y_sum / n;
  long double sxx = 0, sxy = 0;
  for (int i = 0; i < n; ++i) {
    sxx += (l.t[i] - t_mean) * (l.t[i] - t_mean);
    sxy += (l.t[i] - t_mean) * (l.y[i] - y_mean);
  }
  const long double slope = sxy / sxx, intercept = y_mean - slope * t_mean;
  long double rss = 0;
  for (int i = 0; i < n; ++i) {
    const long double e = l.y[i] - intercept - slope * l.t[i];
    rss += e * e;
  }
  const long double s2 = rss / (n - 2);
  l.intercept = static_cast<double>(intercept);
  l.slope = static_cast<double>(slope);
  l.rss = static_cast<double>(rss);
  l.se_slope = static_cast<double>(std::sqrt(s2 / sxx));
  l.se_intercept = static_cast<double>(std::sqrt(s2 * (1.0L / n + t_mean * t_mean / sxx)));
  return l;
}

constexpr int kRows = 200;

Owned line_problem(const Line& l) {
  Owned o;
  o.rows = kRows;
  o.b = l.y;
  o.add_column(l.one, l.intercept);
  o.add_column(l.t, l.slope);
  return o;
}

TEST(Assess, StraightLineMatchesTheClosedForm) {
  const Line l = line(kRows);
  const Owned o = line_problem(l);
  const quality::Fit fit = assess_alone(o.problem());

  EXPECT_NEAR(fit.rss, l.rss, l.rss * 1e-9);  // x rounded to double moves the minimum slightly
  EXPECT_DOUBLE_EQ(fit.rms, std::sqrt(fit.rss / kRows));
  EXPECT_EQ(fit.free_count, 2);
  EXPECT_DOUBLE_EQ(fit.residual_variance, fit.rss / (kRows - 2));
  ASSERT_EQ(fit.coefficients.size(), 2u);
  EXPECT_NEAR(fit.coefficients[0].standard_error, l.se_intercept, l.se_intercept * 1e-9);
  EXPECT_NEAR(fit.coefficients[1].standard_error, l.se_slope, l.se_slope * 1e-9);
  for (const auto& c : fit.coefficients) {
    EXPECT_EQ(c.flag, Flag::determined);
    EXPECT_FALSE(c.at_bound);
    EXPECT_FALSE(c.dependent);
  }
  // Fitted values and residuals, row by row, exactly as A x and b - A x.
  ASSERT_EQ(fit.fitted.size(), static_cast<std::size_t>(kRows));
  for (int i = 0; i < kRows; i += 37) {
    const double ax = 0.0 + l.intercept + l.t[i] * l.slope;
    EXPECT_EQ(fit.fitted[i], ax);
    EXPECT_EQ(fit.residual[i], l.y[i] - ax);
  }
  // R^2 and the relative residual from their definitions.
  long double mean = 0, spread = 0, squares = 0;
  for (double y : l.y) mean += y;
  mean /= kRows;
  for (double y : l.y) {
    spread += (y - mean) * (y - mean);
    squares += static_cast<long double>(y) * y;
  }
  EXPECT_NEAR(fit.r_squared, static_cast<double>(1.0L - fit.rss / spread), kRelative);
  EXPECT_NEAR(fit.relative_residual, static_cast<double>(std::sqrt(fit.rss / squares)),
              kRelative);
}

TEST(Assess, ZeroColumnHasNoEffectAndLeavesTheOthersAlone) {
  const Line l = line(kRows);
  Owned o = line_problem(l);
  o.add_column(std::vector<double>(kRows, 0.0), 0.0, 0.0, 10000.0);  // K = 0: "static"
  const quality::Fit fit = assess_alone(o.problem());
  ASSERT_EQ(fit.coefficients.size(), 3u);
  EXPECT_EQ(fit.coefficients[2].flag, Flag::no_effect);
  EXPECT_TRUE(std::isnan(fit.coefficients[2].standard_error));
  EXPECT_TRUE(fit.coefficients[2].at_bound);
  EXPECT_EQ(fit.free_count, 2);
  EXPECT_NEAR(fit.coefficients[0].standard_error, l.se_intercept, l.se_intercept * 1e-9);
  EXPECT_NEAR(fit.coefficients[1].standard_error, l.se_slope, l.se_slope * 1e-9);
  EXPECT_EQ(fit.coefficients[0].flag, Flag::determined);
  EXPECT_EQ(fit.coefficients[1].flag, Flag::determined);
}

TEST(Assess, RepeatedColumnIsDependentAndTheRestKeepTheirErrors) {
  const Line l = line(kRows);
  Owned o;
  o.rows = kRows;
  o.b = l.y;
  o.add_column(l.one, l.intercept);
  o.add_column(l.t, l.slope / 2);
  o.add_column(l.t, l.slope / 2);
  const quality::Fit fit = assess_alone(o.problem());
  ASSERT_EQ(fit.coefficients.size(), 3u);
  for (int c : {1, 2}) {
    EXPECT_TRUE(fit.coefficients[c].dependent) << c;
    EXPECT_EQ(fit.coefficients[c].flag, Flag::undetermined) << c;
    EXPECT_EQ(fit.coefficients[c].standard_error, std::numeric_limits<double>::infinity());
  }
  // The intercept is orthogonal to the dependence: its error is the line's,
  // with one more free coefficient taking one degree of freedom.
  EXPECT_FALSE(fit.coefficients[0].dependent);
  EXPECT_EQ(fit.coefficients[0].flag, Flag::determined);
  const double fewer_freedoms = std::sqrt((kRows - 2.0) / (kRows - 3.0));
  EXPECT_NEAR(fit.coefficients[0].standard_error, l.se_intercept * fewer_freedoms,
              l.se_intercept * 1e-9);
}

// Scaling a column by 1e-9 (and its coefficient by 1e9) leaves the fit as it
// was and multiplies that coefficient's error by exactly 1e9. Forming A'A
// would square the ratio of the columns' sizes (1e-18) and lose the small
// column against the others.
TEST(Assess, ColumnScaledBy1e9KeepsItsPrecision) {
  const Line l = line(kRows);
  Owned wide = line_problem(l);
  std::vector<double> wave(kRows);
  for (int i = 0; i < kRows; ++i) wave[i] = std::cos(0.05 * i);
  wide.add_column(wave, 0.0);
  const quality::Fit reference = assess_alone(wide.problem());

  Owned small = wide;
  for (int i = 0; i < kRows; ++i) small.a[2 * kRows + i] = wave[i] * 1e-9;
  const quality::Fit fit = assess_alone(small.problem());
  ASSERT_EQ(fit.coefficients.size(), 3u);
  for (int c : {0, 1}) {
    EXPECT_NEAR(fit.coefficients[c].standard_error, reference.coefficients[c].standard_error,
                reference.coefficients[c].standard_error * kRelative);
    EXPECT_EQ(fit.coefficients[c].flag, Flag::determined);
  }
  const double expected = reference.coefficients[2].standard_error * 1e9;
  EXPECT_NEAR(fit.coefficients[2].standard_error, expected, expected * 1e-10);
  EXPECT_FALSE(fit.coefficients[2].dependent);  // small, not dependent
  EXPECT_EQ(fit.coefficients[2].flag, Flag::undetermined);
  EXPECT_EQ(reference.coefficients[2].flag, Flag::determined);
}

// Coefficients at a bound do not count as free: s2 has more degrees of
// freedom, and the error of every coefficient scales with it.
TEST(Assess, BoundHitsLeaveTheFreeCountAndWidenTheFreedom) {
  const Line l = line(kRows);
  const quality::Fit free = assess_alone(line_problem(l).problem());
  struct Case {
    const char* name;
    double lower, upper;  // bounds of the slope; its value stays l.slope
    int free_count;
    bool at_bound;
  };
  const Case cases[] = {
      {"inside", -kWide, kWide, 2, false},
      {"at lower", l.slope, kWide, 1, true},
      {"at upper", -kWide, l.slope, 1, true},
      {"fixed", l.slope, l.slope, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Owned o = line_problem(l);
    o.lower[1] = c.lower;
    o.upper[1] = c.upper;
    const quality::Fit fit = assess_alone(o.problem());
    EXPECT_EQ(fit.free_count, c.free_count);
    EXPECT_EQ(fit.coefficients[1].at_bound, c.at_bound);
    EXPECT_FALSE(fit.coefficients[0].at_bound);
    EXPECT_EQ(fit.rss, free.rss);
    EXPECT_EQ(fit.residual_variance, fit.rss / (kRows - c.free_count));
    const double scale = std::sqrt((kRows - c.free_count) / (kRows - 2.0));
    for (int k : {0, 1}) {
      EXPECT_NEAR(fit.coefficients[k].standard_error * scale,
                  free.coefficients[k].standard_error,
                  free.coefficients[k].standard_error * kRelative);
    }
  }
}

TEST(Assess, LimitSeparatesDeterminedFromUndetermined) {
  const Line l = line(kRows);
  const quality::Fit fit = assess_alone(line_problem(l).problem());
  const double se = fit.coefficients[1].standard_error;
  struct Case {
    double limit;
    Flag flag;
  };
  for (const Case& c : {Case{se, Flag::determined}, Case{std::nextafter(se, 0.0), Flag::undetermined},
                        Case{se * 2, Flag::determined}, Case{0.0, Flag::undetermined}}) {
    EXPECT_EQ(assess_alone(line_problem(l).problem(), c.limit).coefficients[1].flag, c.flag)
        << c.limit;
  }
}

TEST(Assess, FiguresWithoutMeaningAreNaN) {
  struct Case {
    const char* name;
    double b;  // every row of b
    bool r_squared_nan, relative_nan;
  };
  for (const Case& c : {Case{"constant", 1.5, true, false}, Case{"zero", 0.0, true, true}}) {
    SCOPED_TRACE(c.name);
    Owned o;
    o.rows = 4;
    o.b.assign(4, c.b);
    o.add_column({1, 2, 3, 4}, 0.0, 0.0, 1.0);
    const quality::Fit fit = assess_alone(o.problem());
    EXPECT_EQ(std::isnan(fit.r_squared), c.r_squared_nan);
    EXPECT_EQ(std::isnan(fit.relative_residual), c.relative_nan);
    EXPECT_EQ(fit.rss, 4 * c.b * c.b);
  }
  // No degrees of freedom left: no error, and so no claim of being determined,
  // even though the one row is missed (rss 0.25 over 0 freedoms).
  Owned square;
  square.rows = 1;
  square.b = {2.0};
  square.add_column({1.0}, 1.5);
  const quality::Fit fit = assess_alone(square.problem());
  EXPECT_TRUE(std::isnan(fit.residual_variance));
  EXPECT_TRUE(std::isnan(fit.coefficients[0].standard_error));
  EXPECT_EQ(fit.coefficients[0].flag, Flag::undetermined);
}

// A third column t + d beside (1, t): how much of it the other two explain
// decides which columns are dependent. The scaled matrix's smallest singular
// value is about |d| / ||t|| against a cut-off of 200 eps times the largest
// (about 5e-14 here). A wave of 1e-14 (singular value near 1e-15) is below
// it: t and t + d cannot be told apart, the intercept stays out of it. A
// constant offset d lies in the span of (1, t) itself, so t and t + d are
// dependent whatever d is, and the intercept's share of the dependence is
// about |d| ||1|| / ||t||: 1e-10 (noise, below sqrt(eps) = 1.5e-8) leaves the
// intercept determined, 1e-5 makes it part of the dependence.
TEST(Assess, NearlyRepeatedColumnsAreDependentToTheirShareOfTheDependence) {
  const Line l = line(kRows);
  struct Case {
    const char* name;
    double offset;  // d(i) = offset + wave * cos(0.05 i)
    double wave;
    bool intercept_dependent;
  };
  const Case cases[] = {
      {"t plus a wave of 1e-14", 0.0, 1e-14, false},
      {"t plus 1e-10", 1e-10, 0.0, false},
      {"t plus 1e-5", 1e-5, 0.0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Owned o = line_problem(l);
    std::vector<double> near(kRows);
    for (int i = 0; i < kRows; ++i) near[i] = l.t[i] + (c.offset + c.wave * std::cos(0.05 * i));
    o.add_column(near, 0.0);
    const quality::Fit fit = assess_alone(o.problem());
    ASSERT_EQ(fit.coefficients.size(), 3u);
    EXPECT_EQ(fit.coefficients[0].dependent, c.intercept_dependent);
    EXPECT_EQ(fit.coefficients[0].flag == Flag::determined, !c.intercept_dependent);
    for (int k : {1, 2}) {
      EXPECT_TRUE(fit.coefficients[k].dependent) << k;
      EXPECT_EQ(fit.coefficients[k].standard_error, std::numeric_limits<double>::infinity()) << k;
    }
  }
}

TEST(FlagName, NamesEveryFlag) {
  EXPECT_STREQ(quality::flag_name(Flag::determined), "determined");
  EXPECT_STREQ(quality::flag_name(Flag::undetermined), "undetermined");
  EXPECT_STREQ(quality::flag_name(Flag::no_effect), "no effect");
}

// The four verdicts are disjoint: no effect whatever the bin, misfit
// whatever the error, and the flag only in a bin that fits; each word
// reads back as its verdict, and the flags' words are none of them.
TEST(Verdict, NoEffectThenMisfitThenTheFlag) {
  using quality::Verdict;
  const struct {
    Flag flag;
    bool misfit;
    Verdict verdict;
    const char* word;
  } cases[] = {
      {Flag::determined, false, Verdict::trusted, "trusted"},
      {Flag::undetermined, false, Verdict::undetermined, "undetermined"},
      {Flag::no_effect, false, Verdict::no_effect, "no effect"},
      {Flag::determined, true, Verdict::misfit, "misfit"},
      {Flag::undetermined, true, Verdict::misfit, "misfit"},
      {Flag::no_effect, true, Verdict::no_effect, "no effect"},
  };
  for (const auto& c : cases) {
    const quality::Coefficient k{0.01, c.flag, false, false, 0.01};
    EXPECT_EQ(quality::verdict_of(k, c.misfit), c.verdict) << c.word;
    EXPECT_STREQ(quality::verdict_name(c.verdict), c.word);
    EXPECT_EQ(quality::verdict_from_name(c.word), c.verdict);
  }
  EXPECT_EQ(quality::verdict_from_name("determined"), std::nullopt);
  EXPECT_EQ(quality::verdict_from_name("no-effect"), std::nullopt);
}

// Residuals chosen outright (b with the one coefficient at 0, so e = b), and
// their lag-1 autocorrelation and drift (of the running sum S, intervals of
// length 1, about its mean) worked out by hand.
TEST(Autocorrelation, OfResidualsAndOfTheirRunningSum) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<double> e;
    double autocorrelation;  // sum e(i) e(i - 1) / sum e(i)^2
    double drift;            // the same of s = S - mean(S)
  };
  const Case cases[] = {
      // S = 1, 0, 1, 0: s = +-1/2 alternating.
      {"alternating signs, as differenced noise", {1, -1, 1, -1}, -3.0 / 4.0, -3.0 / 4.0},
      // S = 1, 2, 3, 4: s = -3/2, -1/2, 1/2, 3/2.
      {"one sign throughout, a missed trend", {1, 1, 1, 1}, 3.0 / 4.0, 1.0 / 4.0},
      // S = 1, 1, 1, 0: s = 1/4, 1/4, 1/4, -3/4.
      {"a step that returns", {1, 0, 0, -1}, 0.0, -1.0 / 12.0},
      {"one residual: no pairs, S constant", {2}, 0.0, kNaN},
      {"all zero: a perfect fit", {0, 0, 0}, kNaN, kNaN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Owned o;
    o.rows = static_cast<int>(c.e.size());
    o.b = c.e;
    o.add_column(std::vector<double>(c.e.size(), 1.0), 0.0, 0.0, 1.0);
    const quality::Fit fit = assess_alone(o.problem());
    for (const auto& [figure, expected] :
         {std::pair{fit.autocorrelation, c.autocorrelation}, {fit.drift, c.drift}}) {
      if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(figure));
      } else {
        EXPECT_DOUBLE_EQ(figure, expected);
      }
    }
    EXPECT_FALSE(quality::is_misfit(fit));  // none drifts above the default limit
  }
}

// The misfit rule: a drift above the limit makes a misfit unless the bin's
// replay error is within the replay limit; neither limit is itself exceeded.
TEST(MisfitRule, DriftAboveTheLimitAndAReplayErrorAboveItsOwn) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  Owned ramp;  // S = 1, 2, 3, 4: drift 1/4
  ramp.rows = 4;
  ramp.b = {1, 1, 1, 1};
  ramp.add_column({1, 1, 1, 1}, 0.0, 0.0, 1.0);
  const quality::Fit fit = assess_alone(ramp.problem());
  ASSERT_DOUBLE_EQ(fit.drift, 0.25);
  struct Case {
    double replay_error, misfit_limit, replay_limit;
    bool misfit;
  } cases[] = {
      {0.5, 0.2, 0.05, true},    // drifts, and replays badly
      {0.5, 0.3, 0.05, false},   // under the misfit limit
      {0.5, 0.25, 0.05, false},  // at it
      {0.01, 0.2, 0.05, false},  // replays within the limit
      {0.05, 0.2, 0.05, false},  // at it
      {kNaN, 0.2, 0.05, true},   // replay unknown: the drift alone
      {0.01, 0.2, 0.0, true},    // replay limit 0: the drift alone
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quality::is_misfit(fit, c.replay_error, c.misfit_limit, c.replay_limit), c.misfit)
        << c.replay_error << " " << c.misfit_limit << " " << c.replay_limit;
  }
  EXPECT_TRUE(quality::is_misfit(fit, 0.2));
  EXPECT_FALSE(quality::is_misfit(fit, 0.25));
}

}  // namespace
