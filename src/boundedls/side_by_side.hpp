// Loops of qr and bvls that work on several vectors in one pass over the
// rows. Each sum is its own: started where its caller says, added in
// ascending row order with every product rounded on its own, so the results
// are bit for bit those of one vector at a time; only the passes over the
// rows are shared. A sum down a column is a chain of additions, each waiting
// for the one before, so a pass costs about as long for eight independent
// sums as for one: the solver gets its speed from sharing passes. Generic
// over the views (checked or not).
//
// Where every view skips its checks (the caller has found the whole range
// inside the bounds), the loops take two rows at a time in SSE2 registers,
// x86-64's baseline: each lane does exactly the operations of one element,
// each an IEEE operation rounded as the scalar one is, under the same
// rounding and flush-to-zero mode. Two rows' products for a sum are formed
// together and then added one after the other. Checked views run the plain
// loops, so that a bad subscript is reported at the access it always was.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <type_traits>
#include <utility>

#include "diagnostics/checked.hpp"

namespace boundedls {

// Vectors per pass: the sums stay in registers (two to a register) and
// enough of them run side by side to hide the wait of each addition. The
// loops over the vectors of a block are unrolled (GCC unroll, which clang
// takes too), so that their pointers and factors stay in registers.
constexpr int kSideBySide = 8;

// Row pairs per turn of a loop over the rows: the loop's own count, compare
// and jump are shared by four pairs. Each pair's operations stay as they are,
// in the same order, so the values do not change.
constexpr int kRowPairsPerTurn = 4;

template <int K>
using Columns = std::integral_constant<int, K>;

// Calls block(k, Columns<K>{}) for first ... last, in ascending blocks of
// kSideBySide and one shorter block at the end.
template <typename Block>
void in_blocks(std::int64_t first, std::int64_t last, Block&& block) {
  std::int64_t k = first;
  for (; last - k + 1 >= kSideBySide; k += kSideBySide) block(k, Columns<kSideBySide>{});
  const std::int64_t left = last - k + 1;
  [&]<int... R>(std::integer_sequence<int, R...>) {
    ((left == R + 1 ? block(k, Columns<R + 1>{}) : void()), ...);
  }(std::make_integer_sequence<int, kSideBySide - 1>{});
}

// Column j of a matrix view as a vector, checked or not as the view is.
template <typename Mat>
struct Column {
  static constexpr diagnostics::Checks checks = Mat::checks;
  const Mat& m;
  std::int64_t j;
  decltype(auto) operator()(std::int64_t i) const { return m(i, j); }
};
template <typename Mat>
Column(const Mat&, std::int64_t) -> Column<Mat>;

// A list of vectors: columns k ... k + count - 1 of m, then `then`. Element
// (c, i) is row i of vector c, counted from 0.
template <typename Mat, typename Vec>
struct ColumnsThen {
  static constexpr diagnostics::Checks checks =
      Mat::checks == diagnostics::Checks::off && Vec::checks == diagnostics::Checks::off
          ? diagnostics::Checks::off
          : diagnostics::Checks::on;
  const Mat& m;
  std::int64_t k;
  std::int64_t count;
  const Vec& then;
  decltype(auto) operator()(std::int64_t c, std::int64_t i) const {
    return c < count ? m(i, k + c) : then(i);
  }
};
template <typename Mat, typename Vec>
ColumnsThen(const Mat&, std::int64_t, std::int64_t, const Vec&) -> ColumnsThen<Mat, Vec>;

// Whether all of the views skip their checks, so that rows may be taken two
// at a time through pointers: a vector's elements lie next to each other.
template <typename... Views>
constexpr bool kUnchecked = ((Views::checks == diagnostics::Checks::off) && ...);

// t[c] = t[c] + y(c0 + c, i) * v(i) for i = first ... last, c < K, each sum
// in ascending row order.
template <int K, typename List, typename Vec>
void add_dots_block(const List& y, std::int64_t c0, const Vec& v, std::int64_t first,
                    std::int64_t last, double* t) {
  double sum[K];  // apart from t, so that the sums can stay in registers
  for (int c = 0; c < K; ++c) sum[c] = t[c];
  std::int64_t i = first;
  if constexpr (kUnchecked<List, Vec>) {
    if (last - first >= 1) {
      const double* col[K];
      for (int c = 0; c < K; ++c) col[c] = &y(c0 + c, first);
      const double* const pv = &v(first);
      // Lanes: the sums of vectors c and c + 1 (of vector K - 1 alone in the
      // low lane when K is odd).
      __m128d pair[(K + 1) / 2];
      for (int c = 0; c < K; c += 2) {
        pair[c / 2] = c + 1 < K ? _mm_setr_pd(sum[c], sum[c + 1]) : _mm_set_sd(sum[c]);
      }
      const std::int64_t rows = last - first + 1;
      std::int64_t r = 0;
      #pragma GCC unroll kRowPairsPerTurn
      for (; r + 1 < rows; r += 2) {
        const __m128d vr = _mm_loadu_pd(pv + r);
        #pragma GCC unroll kSideBySide
        for (int c = 0; c + 1 < K; c += 2) {
          const __m128d p0 = _mm_mul_pd(_mm_loadu_pd(col[c] + r), vr);  // rows r, r + 1
          const __m128d p1 = _mm_mul_pd(_mm_loadu_pd(col[c + 1] + r), vr);
          pair[c / 2] = _mm_add_pd(pair[c / 2], _mm_unpacklo_pd(p0, p1));  // row r
          pair[c / 2] = _mm_add_pd(pair[c / 2], _mm_unpackhi_pd(p0, p1));  // row r + 1
        }
        if constexpr (K % 2 == 1) {
          const __m128d p = _mm_mul_pd(_mm_loadu_pd(col[K - 1] + r), vr);
          pair[K / 2] = _mm_add_sd(pair[K / 2], p);
          pair[K / 2] = _mm_add_sd(pair[K / 2], _mm_unpackhi_pd(p, p));
        }
      }
      for (int c = 0; c < K; ++c) {
        sum[c] = c % 2 == 0 ? _mm_cvtsd_f64(pair[c / 2])
                            : _mm_cvtsd_f64(_mm_unpackhi_pd(pair[c / 2], pair[c / 2]));
      }
      i = first + r;
    }
  }
  for (; i <= last; ++i) {
    const double vi = v(i);
    for (int c = 0; c < K; ++c) sum[c] = sum[c] + y(c0 + c, i) * vi;
  }
  for (int c = 0; c < K; ++c) t[c] = sum[c];
}

// t[c] = t[c] + y(c, i) * v(i) for i = first ... last and every vector c of
// the `count` in y: kSideBySide sums per pass over the rows.
template <typename List, typename Vec>
void add_dots(const List& y, std::int64_t count, const Vec& v, std::int64_t first,
              std::int64_t last, double* t) {
  in_blocks(0, count - 1, [&]<int K>(std::int64_t c0, Columns<K>) {
    add_dots_block<K>(y, c0, v, first, last, t + c0);
  });
}

// y(c0 + c, i) = y(c0 + c, i) - v(i) * f[c] for i = first ... last, c < K.
template <int K, typename List, typename Vec>
void subtract_multiples_block(const List& y, std::int64_t c0, const Vec& v, std::int64_t first,
                              std::int64_t last, const double* f) {
  std::int64_t i = first;
  if constexpr (kUnchecked<List, Vec>) {
    if (last - first >= 1) {
      double* col[K];
      __m128d fc[K];
      for (int c = 0; c < K; ++c) {
        col[c] = &y(c0 + c, first);
        fc[c] = _mm_set1_pd(f[c]);
      }
      const double* const pv = &v(first);
      const std::int64_t rows = last - first + 1;
      std::int64_t r = 0;
      #pragma GCC unroll kRowPairsPerTurn
      for (; r + 1 < rows; r += 2) {
        const __m128d vr = _mm_loadu_pd(pv + r);
        #pragma GCC unroll kSideBySide
        for (int c = 0; c < K; ++c) {
          _mm_storeu_pd(col[c] + r, _mm_sub_pd(_mm_loadu_pd(col[c] + r), _mm_mul_pd(vr, fc[c])));
        }
      }
      i = first + r;
    }
  }
  for (; i <= last; ++i) {
    const double vi = v(i);
    for (int c = 0; c < K; ++c) y(c0 + c, i) = y(c0 + c, i) - vi * f[c];
  }
}

// y(c, i) = y(c, i) - v(i) * f[c] for i = first ... last and every vector c
// of the `count` in y.
template <typename List, typename Vec>
void subtract_multiples(const List& y, std::int64_t count, const Vec& v, std::int64_t first,
                        std::int64_t last, const double* f) {
  in_blocks(0, count - 1, [&]<int K>(std::int64_t c0, Columns<K>) {
    subtract_multiples_block<K>(y, c0, v, first, last, f + c0);
  });
}

// s(i) = s0 + m(i, k) * x[0] + ... + m(i, k + K - 1) * x[K - 1] for
// i = first ... last, added left to right, where s0 is s(i), or 0.0 for the
// first block (`start`): a row sum over the columns in ascending order,
// carried in s from one block to the next.
template <int K, typename Mat, typename Vec>
void row_sums(const Mat& m, std::int64_t k, const double (&x)[K], std::int64_t first,
              std::int64_t last, bool start, const Vec& s) {
  std::int64_t i = first;
  if constexpr (kUnchecked<Mat, Vec>) {
    if (last - first >= 1) {
      const double* col[K];
      __m128d xc[K];
      for (int c = 0; c < K; ++c) {
        col[c] = &m(first, k + c);
        xc[c] = _mm_set1_pd(x[c]);
      }
      double* const ps = &s(first);
      const std::int64_t rows = last - first + 1;
      std::int64_t r = 0;
      #pragma GCC unroll kRowPairsPerTurn
      for (; r + 1 < rows; r += 2) {
        __m128d sr = start ? _mm_setzero_pd() : _mm_loadu_pd(ps + r);
        #pragma GCC unroll kSideBySide
        for (int c = 0; c < K; ++c) {
          sr = _mm_add_pd(sr, _mm_mul_pd(_mm_loadu_pd(col[c] + r), xc[c]));
        }
        _mm_storeu_pd(ps + r, sr);
      }
      i = first + r;
    }
  }
  for (; i <= last; ++i) {
    double si = start ? 0.0 : s(i);
    for (int c = 0; c < K; ++c) si = si + m(i, k + c) * x[c];
    s(i) = si;
  }
}

// y(i) = y(i) + x(i) * factor for i = first ... last, or minus (kSubtract).
template <bool kSubtract, typename Y, typename X>
void add_multiple(const Y& y, const X& x, double factor, std::int64_t first, std::int64_t last) {
  std::int64_t i = first;
  if constexpr (kUnchecked<Y, X>) {
    if (last - first >= 1) {
      double* const py = &y(first);
      const double* const px = &x(first);
      const __m128d f = _mm_set1_pd(factor);
      const std::int64_t rows = last - first + 1;
      std::int64_t r = 0;
      #pragma GCC unroll kRowPairsPerTurn
      for (; r + 1 < rows; r += 2) {
        const __m128d term = _mm_mul_pd(_mm_loadu_pd(px + r), f);
        const __m128d yr = _mm_loadu_pd(py + r);
        _mm_storeu_pd(py + r, kSubtract ? _mm_sub_pd(yr, term) : _mm_add_pd(yr, term));
      }
      i = first + r;
    }
  }
  for (; i <= last; ++i) {
    if constexpr (kSubtract) {
      y(i) = y(i) - x(i) * factor;
    } else {
      y(i) = y(i) + x(i) * factor;
    }
  }
}

// r(i) = b(i) - r(i) for i = first ... last.
template <typename B, typename R>
void subtract_from(const B& b, const R& r, std::int64_t first, std::int64_t last) {
  std::int64_t i = first;
  if constexpr (kUnchecked<B, R>) {
    if (last - first >= 1) {
      const double* const pb = &b(first);
      double* const pr = &r(first);
      const std::int64_t rows = last - first + 1;
      std::int64_t n = 0;
      #pragma GCC unroll kRowPairsPerTurn
      for (; n + 1 < rows; n += 2) {
        _mm_storeu_pd(pr + n, _mm_sub_pd(_mm_loadu_pd(pb + n), _mm_loadu_pd(pr + n)));
      }
      i = first + n;
    }
  }
  for (; i <= last; ++i) r(i) = b(i) - r(i);
}

// to(i) = from(i) for i = first ... last.
template <typename To, typename From>
void copy_rows(const To& to, const From& from, std::int64_t first, std::int64_t last) {
  std::int64_t i = first;
  if constexpr (kUnchecked<To, From>) {
    if (last - first >= 1) {
      double* const pt = &to(first);
      const double* const pf = &from(first);
      const std::int64_t rows = last - first + 1;
      std::int64_t r = 0;
      #pragma GCC unroll kRowPairsPerTurn
      for (; r + 1 < rows; r += 2) _mm_storeu_pd(pt + r, _mm_loadu_pd(pf + r));
      i = first + r;
    }
  }
  for (; i <= last; ++i) to(i) = from(i);
}

}  // namespace boundedls
