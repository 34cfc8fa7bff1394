// Loops of qr and bvls that work on several neighbouring columns in one pass
// over the rows. Each column keeps its own sum, started at 0.0 and added in
// ascending row order with every product rounded on its own, so the results
// are bit for bit those of one column at a time; only the passes over the
// rows are shared. Generic over the views (checked or not) and over the
// accessor of the one column or vector the block is combined with.
#pragma once

#include <cstdint>
#include <type_traits>

namespace boundedls {

// Columns per pass: enough to share the row loop, few enough that the sums
// stay in registers (wider blocks measured slower).
constexpr int kSideBySide = 4;

template <int K>
using Columns = std::integral_constant<int, K>;

// Calls block(k, Columns<K>{}) for the columns first ... last, in ascending
// blocks of kSideBySide columns and one shorter block at the end.
template <typename Block>
void in_blocks(std::int64_t first, std::int64_t last, Block&& block) {
  std::int64_t k = first;
  for (; last - k + 1 >= kSideBySide; k += kSideBySide) block(k, Columns<kSideBySide>{});
  static_assert(kSideBySide == 4, "one case for every shorter block");
  switch (last - k + 1) {
    case 3: block(k, Columns<3>{}); break;
    case 2: block(k, Columns<2>{}); break;
    case 1: block(k, Columns<1>{}); break;
    default: break;
  }
}

// t[c] = sum over i = first ... last of m(i, k + c) * v(i), for c < K.
template <int K, typename Mat, typename Vec>
void column_dots(const Mat& m, std::int64_t k, const Vec& v, std::int64_t first,
                 std::int64_t last, double (&t)[K]) {
  double sum[K];  // kept apart from t, so that the sums can stay in registers
  for (int c = 0; c < K; ++c) sum[c] = 0.0;
  for (std::int64_t i = first; i <= last; ++i) {
    const double vi = v(i);
    for (int c = 0; c < K; ++c) sum[c] = sum[c] + m(i, k + c) * vi;
  }
  for (int c = 0; c < K; ++c) t[c] = sum[c];
}

// m(i, k + c) = m(i, k + c) - v(i) * f[c] for i = first ... last, c < K.
template <int K, typename Mat, typename Vec>
void column_updates(const Mat& m, std::int64_t k, const Vec& v, std::int64_t first,
                    std::int64_t last, const double (&f)[K]) {
  for (std::int64_t i = first; i <= last; ++i) {
    const double vi = v(i);
    for (int c = 0; c < K; ++c) m(i, k + c) = m(i, k + c) - vi * f[c];
  }
}

// s(i) = s0 + m(i, k) * x[0] + ... + m(i, k + K - 1) * x[K - 1] for
// i = first ... last, added left to right, where s0 is s(i), or 0.0 for the
// first block (`start`): a row sum over the columns in ascending order,
// carried in s from one block to the next.
template <int K, typename Mat, typename Vec>
void row_sums(const Mat& m, std::int64_t k, const double (&x)[K], std::int64_t first,
              std::int64_t last, bool start, const Vec& s) {
  for (std::int64_t i = first; i <= last; ++i) {
    double si = start ? 0.0 : s(i);
    for (int c = 0; c < K; ++c) si = si + m(i, k + c) * x[c];
    s(i) = si;
  }
}

}  // namespace boundedls
