// The loops qr and bvls share: with views that skip their checks they take
// two rows at a time in SSE2 registers, with checked views one row at a time
// as plain scalar code. Both must give the same bits for every value, every
// number of rows (odd and even, none, one) and every block of vectors.
#include "boundedls/side_by_side.hpp"

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "diagnostics/float_mode.hpp"

namespace {

using boundedls::Column;
using boundedls::ColumnsThen;
using diagnostics::Matrix;
using diagnostics::Vector;

constexpr int kRows = 41;
constexpr int kCols = 11;  // more vectors than one block holds

// Storage for one run: a matrix and two vectors, filled the same way for the
// SSE2 run and the scalar run.
struct Data {
  std::vector<double> m, b, x;
  explicit Data(std::uint64_t seed) : m(kRows * kCols), b(kRows), x(kRows) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1e3);
    // Values whose rounding shows: signed zeros, infinities, values that
    // flush to zero, and (in the matrix only, so that no operation meets two
    // NaNs) a NaN.
    const double special[] = {0.0, -0.0, std::numeric_limits<double>::infinity(), 1e-310, 1e300};
    for (auto* v : {&m, &b, &x}) {
      for (double& e : *v) e = rng() % 23 == 0 ? special[rng() % 5] : normal(rng);
    }
    m[rng() % m.size()] = std::numeric_limits<double>::quiet_NaN();
  }
  bool operator==(const Data& other) const {
    auto same = [](const std::vector<double>& p, const std::vector<double>& q) {
      for (std::size_t i = 0; i < p.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(p[i]) != std::bit_cast<std::uint64_t>(q[i])) return false;
      }
      return true;
    };
    return same(m, other.m) && same(b, other.b) && same(x, other.x);
  }
};

class SideBySide : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = _mm_getcsr();
    diagnostics::set_float_mode();
  }
  void TearDown() override { _mm_setcsr(saved_); }

  // Runs body(m, b, x, first, last, t) on checked views and on unchecked
  // ones, over rows first ... last of every seed's data, and expects the same
  // bits in the data and in the sums t.
  template <typename Body>
  void expect_same_results(Body body) {
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
      for (std::int64_t first : {1, 2, 5}) {
        for (std::int64_t last = first - 1; last <= kRows; ++last) {
          Data scalar(seed), sse2(seed);
          std::vector<double> t_scalar = run(scalar, body, first, last, false);
          std::vector<double> t_sse2 = run(sse2, body, first, last, true);
          ASSERT_TRUE(scalar == sse2) << "seed " << seed << ", rows " << first << " ... " << last;
          for (std::size_t c = 0; c < t_scalar.size(); ++c) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(t_scalar[c]),
                      std::bit_cast<std::uint64_t>(t_sse2[c]))
                << "sum " << c << ", seed " << seed << ", rows " << first << " ... " << last;
          }
        }
      }
    }
  }

 private:
  template <typename Body>
  static std::vector<double> run(Data& d, Body body, std::int64_t first, std::int64_t last,
                                 bool unchecked) {
    const Matrix<double> m("M", d.m.data(), kRows, kCols);
    const Vector<double> b("B", d.b.data(), kRows);
    const Vector<double> x("X", d.x.data(), kRows);
    std::vector<double> t(kCols + 1, 0.5);  // sums, started off zero
    if (unchecked) {
      body(m.unchecked(), b.unchecked(), x.unchecked(), first, last, t.data());
    } else {
      body(m, b, x, first, last, t.data());
    }
    return t;
  }

  unsigned saved_ = 0;
};

TEST_F(SideBySide, DotsOfEveryBlockOfVectorsWithAColumn) {
  for (std::int64_t count = 1; count <= kCols - 1; ++count) {
    expect_same_results([&](const auto& m, const auto& b, const auto&, auto first, auto last,
                            double* t) {
      boundedls::add_dots(ColumnsThen{m, 2, count, b}, count + 1, Column{m, 1}, first, last, t);
    });
  }
}

TEST_F(SideBySide, MultiplesOfAColumnSubtractedFromEveryBlockOfVectors) {
  for (std::int64_t count = 1; count <= kCols - 1; ++count) {
    expect_same_results([&](const auto& m, const auto& b, const auto&, auto first, auto last,
                            double* t) {
      const double f[kCols + 1] = {0.75, -1e-3, 3.0, -0.0, 1e200, 2.5,
                                   -7.0, 0.1,   9.0, 1.0,  -1.0,  4.0};
      boundedls::subtract_multiples(ColumnsThen{m, 2, count, b}, count + 1, Column{m, 1}, first,
                                    last, f);
      t[0] = 0.0;
    });
  }
}

TEST_F(SideBySide, RowSumsOfEveryBlockStartedOrCarried) {
  expect_same_results([](const auto& m, const auto&, const auto& x, auto first, auto last,
                         double*) {
    // Blocks of 1 ... 8 columns: a full block, then shorter ones.
    boundedls::in_blocks(1, kCols, [&]<int K>(std::int64_t k, boundedls::Columns<K>) {
      double factors[K];
      for (int c = 0; c < K; ++c) factors[c] = 0.5 + c * 1.25 - (k % 3);
      boundedls::row_sums(m, k, factors, first, last, k == 1, x);
    });
  });
}

TEST_F(SideBySide, RowUpdatesDifferencesAndCopies) {
  expect_same_results([](const auto& m, const auto& b, const auto& x, auto first, auto last,
                         double*) {
    boundedls::add_multiple<false>(x, Column{m, 3}, 0.3, first, last);
    boundedls::add_multiple<true>(b, Column{m, 4}, -1.7, first, last);
    boundedls::subtract_from(b, Column{m, 5}, first, last);
    boundedls::copy_rows(Column{m, 6}, x, first, last);
  });
}

}  // namespace
