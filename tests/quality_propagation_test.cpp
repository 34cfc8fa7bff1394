// Standard errors propagated from the noise of the stored values: each
// series' noise as its third differences show it, and the errors of a fit
// against the spread of many fits of the same model with fresh noise.
#include <gtest/gtest.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "quality/quality.hpp"

namespace {

// splitmix64: a fixed stream, the same on every library.
struct Stream {
  std::uint64_t state;
  double uniform() {  // in [-1, 1)
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return 2.0 * static_cast<double>(z >> 11) * 0x1.0p-53 - 1.0;
  }
};

// v rounded to `digits` significant digits, as a text file stores it.
double rounded(double v, int digits) {
  char text[40];
  const auto end = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific,
                                 digits - 1).ptr;
  double r = 0.0;
  std::from_chars(text, end, r);
  return r;
}

// A smooth, slowly decaying series of n values.
std::vector<double> smooth(int n) {
  std::vector<double> y(n);
  for (int t = 0; t < n; ++t) y[t] = 25.0 * std::exp(-t / 700.0) + 3.0;
  return y;
}

TEST(NoiseVariance, SeparatesRelativeNoiseFromTheRoundingOfDigits) {
  constexpr int kRecords = 1441;
  struct Case {
    const char* name;
    double relative;  // uniform relative noise: variance relative^2 / 3
    int digits;       // significant digits stored; 0 for exact doubles
    double low, high;  // bounds of the mean estimated variance over the truth's
  };
  // 1441 values estimate a variance to about 7 per cent (neighbouring
  // differences share values); the signal's own shape can only add to it.
  const Case cases[] = {
      {"one per cent, exact doubles", 0.01, 0, 0.8, 1.2},
      {"0.1 per cent, five digits", 0.001, 5, 0.8, 1.2},
      {"no noise, five digits: rounding alone", 0.0, 5, 0.95, 1.3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Stream stream{7};
    std::vector<double> y = smooth(kRecords);
    double truth = 0.0, estimate = 0.0;
    for (double& v : y) {
      v *= 1.0 + c.relative * stream.uniform();
      if (c.digits > 0) v = rounded(v, c.digits);
    }
    const std::vector<double> variance = quality::noise_variance(y);
    ASSERT_EQ(variance.size(), y.size());
    for (int t = 0; t < kRecords; ++t) {
      const double ulp = std::pow(10.0, std::floor(std::log10(y[t])) + 1 - c.digits);
      truth += c.relative * c.relative / 3.0 * y[t] * y[t] + (c.digits > 0 ? ulp * ulp / 12 : 0);
      estimate += variance[t];
    }
    EXPECT_GE(estimate / truth, c.low);
    EXPECT_LE(estimate / truth, c.high);
  }
}

TEST(NoiseVariance, ZerosAndShortSeriesHaveNone) {
  EXPECT_EQ(quality::noise_variance(std::vector<double>(10, 0.0)), std::vector<double>(10, 0.0));
  // Three values have no third difference: their rounding only.
  const std::vector<double> two = quality::noise_variance(std::vector<double>{1.5, 2.5, 3.5});
  EXPECT_DOUBLE_EQ(two[0], 0.01 / 12);
  EXPECT_DOUBLE_EQ(two[1], 0.01 / 12);
}

// A precursor P and one bin y with d y / dt = a0 KP P + a1 K y, integrated
// with the trapezoidal rule (the fit's interval model, exact), noise added
// to every stored value; then b and A as the fit makes them.
struct Model {
  static constexpr int kRecords = 1441;
  static constexpr double kStep = 300.0;
  static constexpr double kKp = 2e-4, kK = 1e-4;
  static constexpr double kA0 = 0.2, kA1 = -0.5;  // a1 as solved, in [-1, 0]
  std::vector<double> time, precursor, bin, a, b;

  Model(double relative, std::uint64_t seed) {
    Stream stream{seed};
    double y = 0.0;
    for (int t = 0; t < kRecords; ++t) {
      const double p = 25.0 * std::exp(-kKp * kStep * t);
      if (t > 0) {
        const double h = kStep * 0.5, m = kA1 * kK;
        y = (y * (1.0 + h * m) + h * kA0 * kKp * (p + precursor.back())) /
            (1.0 - h * m);
      }
      time.push_back(kStep * t);
      precursor.push_back(p);
      bin.push_back(y);
    }
    // The model ran on exact values; the files store them with noise.
    for (int t = 0; t < kRecords; ++t) {
      precursor[t] *= 1.0 + relative * stream.uniform();
      bin[t] *= 1.0 + relative * stream.uniform();
    }
    const int m = kRecords - 1;
    a.resize(2 * m);
    b.resize(m);
    for (int i = 0; i < m; ++i) {
      a[i] = kKp * (precursor[i + 1] + precursor[i]) * 0.5;
      a[m + i] = kK * (bin[i + 1] + bin[i]) * 0.5;
      b[i] = (bin[i + 1] - bin[i]) / kStep;
    }
  }

  // The least-squares solution (both coefficients inside their bounds).
  std::array<double, 2> solve() const {
    const int m = kRecords - 1;
    double s00 = 0, s01 = 0, s11 = 0, r0 = 0, r1 = 0;
    for (int i = 0; i < m; ++i) {
      s00 += a[i] * a[i];
      s01 += a[i] * a[m + i];
      s11 += a[m + i] * a[m + i];
      r0 += a[i] * b[i];
      r1 += a[m + i] * b[i];
    }
    const double det = s00 * s11 - s01 * s01;
    return {(s11 * r0 - s01 * r1) / det, (s00 * r1 - s01 * r0) / det};
  }
};

// The errors of one noisy fit against the spread of the estimates over many
// fits with fresh noise: the OLS figure misses it many times over (the
// residuals are differences of noise, the regressors noisy), the propagated
// one must not.
TEST(PropagatedErrors, MatchTheSpreadOfFitsWithFreshNoise) {
  constexpr int kFits = 300, kAssessed = 10;
  // 300 fits estimate a standard deviation to about 4 per cent (1 / sqrt(2
  // * 300)); each fit's noise estimate scatters by about 10 per cent, a few
  // over ten fits.
  constexpr double kAgreement = 0.15;
  for (const double relative : {0.001, 0.01}) {
    SCOPED_TRACE(relative);
    std::array<double, 2> sum{}, squares{};
    for (int k = 0; k < kFits; ++k) {
      const auto x = Model(relative, 100 + k).solve();
      for (int c = 0; c < 2; ++c) {
        sum[c] += x[c];
        squares[c] += x[c] * x[c];
      }
    }
    // Each fit estimates its noise from its own series; their errors are
    // averaged over a few fits.
    std::array<double, 2> error{}, ols_error{};
    for (int k = 0; k < kAssessed; ++k) {
      const Model one(relative, 1 + k);
      const auto x = one.solve();
      const std::array<double, 2> lower{0.0, -1.0}, upper{10000.0, 0.0};
      const std::array<double, 2> rates{Model::kKp, Model::kK};
      quality::Problem p{Model::kRecords - 1, 2, one.a, one.b, x, lower, upper, 1};
      const quality::Design design = quality::design_of(
          p.rows, p.cols, p.a, {one.time, one.precursor, one.bin, rates});
      const quality::Fit fit = quality::assess(p, design);
      for (int c = 0; c < 2; ++c) {
        error[c] += fit.coefficients[c].standard_error / kAssessed;
        ols_error[c] += fit.coefficients[c].ols_standard_error / kAssessed;
      }
      // Without the stored values the OLS figure is all there is.
      p.target = 0;
      const quality::Fit alone = quality::assess(p, design);
      EXPECT_EQ(alone.coefficients[1].standard_error, alone.coefficients[1].ols_standard_error);
    }
    for (int c = 0; c < 2; ++c) {
      SCOPED_TRACE(c);
      const double mean = sum[c] / kFits;
      const double spread = std::sqrt((squares[c] - kFits * mean * mean) / (kFits - 1));
      EXPECT_NEAR(error[c] / spread, 1.0, kAgreement);
      EXPECT_GT(ols_error[c] / spread, 2.0);  // 3.6 and 8 here
    }
  }
}

}  // namespace
