#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "boundedls/boundedls.hpp"
#include "diagnostics/float_mode.hpp"

namespace {

using boundedls::qr;

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Bit-for-bit equality of two arrays of doubles, so that -0.0 and NaN payloads
// count as changes.
void expect_same_bits(const std::vector<double>& expected, const std::vector<double>& actual,
                      const char* what) {
  ASSERT_EQ(expected.size(), actual.size()) << what;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(bits(expected[i]), bits(actual[i])) << what << " element " << i + 1 << ": expected "
                                                  << expected[i] << ", got " << actual[i];
  }
}

class QrTest : public ::testing::Test {
 protected:
  void SetUp() override { diagnostics::set_float_mode(); }
};

// The worked 2 x 1 example: s = 5, d = -5, u = 8, h = 40, f = 16 / 40. Each
// value is the textbook one to rounding; the bits are those of qr's own
// operations in their order (B(1) = 1 - 8 f, B(2) = 2 - 4 f, X = B(1) / d,
// RSQ = B(2)^2).
TEST_F(QrTest, WorkedTwoByOneExample) {
  std::int32_t m = 2, n = 1;
  std::vector<double> a = {3.0, 4.0}, b = {1.0, 2.0}, x = {-7.0};
  double rsq = 99.0;
  qr(m, n, a.data(), b.data(), x.data(), rsq);
  expect_same_bits({-5.0, 4.0}, a, "A");
  expect_same_bits({-2.2000000000000002, 0.39999999999999991}, b, "B");
  expect_same_bits({0.44000000000000006}, x, "X");
  EXPECT_EQ(bits(0.15999999999999992), bits(rsq));
  EXPECT_NEAR(0.44, x[0], 1e-15);
  EXPECT_NEAR(0.16, rsq, 1e-15);
}

// A 5 x 3 problem against qr's sequence of operations (reflections, column
// and right-hand-side updates, back-substitution) carried out independently
// in IEEE double arithmetic without fused operations: catches any change in
// the order of a sum or of the column and right-hand-side updates.
TEST_F(QrTest, FiveByThreeFollowsTheOperationOrderBitForBit) {
  std::int32_t m = 5, n = 3;
  std::vector<double> a = {0.5, -1.25, 2.0, 0.75, -3.0,  //
                           1.0, 0.1,   -0.3, 2.5, 0.7,   //
                           -2.0, 0.6,  1.1,  -0.9, 0.2};
  std::vector<double> b = {1.0, -0.5, 0.25, 2.0, -1.5};
  std::vector<double> x(3, -7.0);
  double rsq = 99.0;
  qr(m, n, a.data(), b.data(), x.data(), rsq);
  expect_same_bits({0x1.ff0aab36d80c9p-2, 0x1.09887b6ab7aacp-1, -0x1.cbe9b30baf5cfp-3}, x, "X");
  EXPECT_EQ(bits(0x1.505797d64a8cap-2), bits(rsq));
  expect_same_bits({-0x1.f5e67fdcbdf44p+1, -0x1.4p+0, 0x1p+1, 0x1.8p-1, -0x1.8p+1,
                    0x1.d612933a238c0p-4, -0x1.66194ccd6ff85p+1, -0x1.66a2b12b9c326p-1,
                    0x1.2cc725ca4fc1bp+1, 0x1.4cfa04e0b525cp+0, 0x1.aee65c4aa0950p-3,
                    0x1.9300e2dab8c5ep+0, -0x1.f96625c50f2cep+0, 0x1.56620d9c98853p-1,
                    -0x1.473c645ff74cfp-1},
                   a, "A");
  expect_same_bits({-0x1.f1d1e4ce75a52p+0, -0x1.cdef6a21fa19ap+0, 0x1.c5fbc29518488p-2,
                    0x1.81794ad1fda06p-4, -0x1.217373da54444p-1},
                   b, "B");
}

TEST_F(QrTest, SquareSystemSolvesWithExactlyZeroResidual) {
  std::int32_t m = 3, n = 3;
  const std::vector<double> a0 = {4.0, -2.0, 1.0, 3.0, 6.0, -1.0, 2.0, 1.0, 5.0};
  const std::vector<double> x_true = {1.5, -2.0, 0.25};
  std::vector<double> b(3, 0.0);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) b[i] += a0[j * 3 + i] * x_true[j];
  }
  std::vector<double> a = a0, x(3, 0.0);
  double rsq = -5.0;
  qr(m, n, a.data(), b.data(), x.data(), rsq);
  EXPECT_EQ(bits(0.0), bits(rsq));
  for (int j = 0; j < 3; ++j) EXPECT_NEAR(x_true[j], x[j], 1e-14) << "X(" << j + 1 << ")";
}

TEST_F(QrTest, NoColumnsSumsSquaresOfRightHandSideOnly) {
  std::int32_t m = 3, n = 0;
  std::vector<double> a = {7.0}, b = {1.0, -2.0, 2.0}, x = {-7.0};
  double rsq = -5.0;
  qr(m, n, a.data(), b.data(), x.data(), rsq);
  EXPECT_EQ(bits(9.0), bits(rsq));
  expect_same_bits({7.0}, a, "A");
  expect_same_bits({1.0, -2.0, 2.0}, b, "B");
  expect_same_bits({-7.0}, x, "X");
}

// Status -2.0 for more unknowns than equations, whatever A holds: nothing is
// read or written.
TEST_F(QrTest, MoreColumnsThanRowsTouchesNothing) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::int32_t m = 1, n = 2;
  std::vector<double> a = {nan, 0.0}, b = {3.0}, x = {-7.0, -8.0};
  double rsq = 99.0;
  qr(m, n, a.data(), b.data(), x.data(), rsq);
  EXPECT_EQ(bits(-2.0), bits(rsq));
  expect_same_bits({nan, 0.0}, a, "A");
  expect_same_bits({3.0}, b, "B");
  expect_same_bits({-7.0, -8.0}, x, "X");
}

struct DependentCase {
  const char* name;
  std::int32_t m, n;
  std::vector<double> a, b;
  std::vector<double> a_after, b_after;  // as after the completed steps
};

// Status -1.0: the reduction stops at the first column whose part from the
// diagonal down is exactly zero, with X untouched and A, B as after the steps
// before it.
TEST_F(QrTest, ColumnThatIsExactlyZeroFromTheDiagonalDownStops) {
  const std::vector<DependentCase> cases = {
      {"first column zero", 2, 2, {0.0, -0.0, 1.0, 2.0}, {1.0, 2.0},
       {0.0, -0.0, 1.0, 2.0}, {1.0, 2.0}},
      // Column 2 is twice column 1: step 1 gives f = 80 / 40 = 2 for it and
      // leaves exact zeros below the diagonal; B is reflected once
      // (f = 16 / 40).
      {"later column cancels exactly", 3, 2, {3.0, 4.0, 0.0, 6.0, 8.0, 0.0}, {1.0, 2.0, 5.0},
       {-5.0, 4.0, 0.0, -10.0, 0.0, 0.0}, {-2.2000000000000002, 0.39999999999999991, 5.0}},
      // Squares below the smallest normal double flush to zero.
      {"column too small to square", 2, 1, {1e-155, -1e-155}, {1.0, 2.0},
       {1e-155, -1e-155}, {1.0, 2.0}},
  };
  for (const DependentCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> a = c.a, b = c.b, x(c.n, -7.0);
    double rsq = 99.0;
    qr(c.m, c.n, a.data(), b.data(), x.data(), rsq);
    EXPECT_EQ(bits(-1.0), bits(rsq));
    expect_same_bits(c.a_after, a, "A");
    expect_same_bits(c.b_after, b, "B");
    expect_same_bits(std::vector<double>(c.n, -7.0), x, "X");
  }
}

// No tolerance: a column whose squares are tiny but normal is solved.
TEST_F(QrTest, TinyColumnIsProcessedLikeAnyOther) {
  std::int32_t m = 2, n = 1;
  std::vector<double> a = {3e-150, 4e-150}, b = {3.0, 4.0}, x = {-7.0};
  double rsq = 99.0;
  qr(m, n, a.data(), b.data(), x.data(), rsq);
  EXPECT_GE(rsq, 0.0);
  EXPECT_NEAR(1e150, x[0], 1e136);
}

// A zero diagonal of either sign counts as non-negative: d = -s, u = +s. With
// A = (0, 3, 4) and B = (1, 0, 0): h = 25, f = 5 / 25, so B(2) = -3 f < 0
// (the opposite sign rule would make it positive).
TEST_F(QrTest, ZeroDiagonalOfEitherSignTakesNegativeD) {
  for (double diagonal : {0.0, -0.0}) {
    SCOPED_TRACE(std::signbit(diagonal) ? "-0.0" : "+0.0");
    std::int32_t m = 3, n = 1;
    std::vector<double> a = {diagonal, 3.0, 4.0}, b = {1.0, 0.0, 0.0}, x = {-7.0};
    double rsq = 99.0;
    qr(m, n, a.data(), b.data(), x.data(), rsq);
    EXPECT_EQ(bits(-5.0), bits(a[0]));
    EXPECT_EQ(bits(-3.0 * 0.2), bits(b[1]));
    EXPECT_EQ(bits(-4.0 * 0.2), bits(b[2]));
    EXPECT_EQ(bits(1.0000000000000002), bits(rsq));
  }
}

}  // namespace
