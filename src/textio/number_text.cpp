#include "textio/number_text.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cstdint>

#include "textio/decimal.hpp"

namespace textio {

namespace {

// Takes the digits at p onward into `digits` (past 19 of them it wraps, and
// the caller gives up); returns where they end.
const char* take_digits(const char* p, const char* end, std::uint64_t& digits) {
  for (; p < end; ++p) {
    const unsigned d = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (d > 9) break;
    digits = digits * 10 + d;
  }
  return p;
}

const char* skip_zeros(const char* p, const char* end) {
  while (p < end && *p == '0') ++p;
  return p;
}

}  // namespace

// Blanks are taken only before and after the number: one inside it is left to
// the exact reader, which is rare enough not to matter.
bool read_number_fast(std::string_view text, int implied, double& value) {
  constexpr long long kMaxSignificant = 19;    // 10^19 - 1 still fits 64 bits
  constexpr long long kMaxExponentDigits = 5;  // far beyond any fast scale
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && *p == ' ') ++p;
  while (end > p && end[-1] == ' ') --end;

  const bool negative = p < end && *p == '-';
  if (p < end && (*p == '+' || *p == '-')) ++p;
  std::uint64_t digits = 0;
  const char* const whole = p;
  const char* significant = skip_zeros(p, end);
  p = take_digits(significant, end, digits);
  long long significant_count = p - significant;
  long long digit_count = p - whole;
  long long fraction_digits = 0;
  const bool point = p < end && *p == '.';
  if (point) {
    const char* const fraction = ++p;
    significant = digits == 0 ? skip_zeros(p, end) : p;
    p = take_digits(significant, end, digits);
    significant_count += p - significant;
    fraction_digits = p - fraction;
    digit_count += fraction_digits;
  }
  if (digit_count == 0 || significant_count > kMaxSignificant) return false;

  long long exponent = 0;
  if (p < end) {
    if (is_exponent_letter(*p)) {
      ++p;
    } else if (*p != '+' && *p != '-') {
      return false;
    }
    const bool negative_exponent = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* const exponent_digits = p;
    std::uint64_t e = 0;
    p = take_digits(p, end, e);
    if (p != end || p == exponent_digits || p - exponent_digits > kMaxExponentDigits) return false;
    exponent = negative_exponent ? -static_cast<long long>(e) : static_cast<long long>(e);
  }

  double magnitude = 0.0;
  if (!nearest_double_fast(digits, exponent - (point ? fraction_digits : implied), magnitude)) {
    return false;
  }
  value = negative ? -magnitude : magnitude;
  return true;
}

namespace {

// A row of Ew.d fields in the form the E descriptor writes, w <= 16 (so
// d <= 8: one word of digits), each checked with one 16-byte SSE2 compare
// (x86-64's baseline) against what every byte must be. The window of a
// field ends with it; the first field's starts with it.
template <int W, int D>
class FieldWindows {
  static_assert(W <= 16 && D >= 1 && D <= 8 && W >= D + 7 && W - D - 7 <= 8 && W >= 12);

 public:
  FieldWindows() : at_end_(registers(16 - W)), at_start_(registers(0)) {}

  // The fields of `record` from the first column, as EOutputField::read_row.
  std::size_t read_row(std::string_view record, std::span<double* const> destinations) const {
    const char* const data = record.data();
    const std::size_t count = destinations.size();
    if (count == 0) return 0;
    // A record shorter than a window holds at most one field; it is read
    // the scalar way.
    if (record.size() < 16) {
      return W <= record.size() && EOutputField(W, D).read(record.substr(0, W), *destinations[0])
                 ? 1
                 : 0;
    }
    if (!read_one(data, data, at_start_, *destinations[0])) return 0;
    // The fields wholly inside the record, found once.
    const std::size_t inside = std::min(count, record.size() / W);
    std::size_t n = 1;
    for (const char* field = data + W; n < inside; ++n, field += W) {
      if (!read_one(field + W - 16, field, at_end_, *destinations[n])) break;
    }
    return n;
  }

 private:
  static constexpr int kSignColumn = W - D - 7;

  // What the byte of a window must be: `text` where `equal` is set, a digit
  // where `digit` is, '+' or '-' where `sign` is (the mantissa's sign column
  // is in `equal` as well, as a blank), anything where `free` is (the
  // columns outside the field).
  struct Pattern {
    __m128i text, equal, digit, sign, free;
  };

  // The pattern of a field whose first column is byte `first` of its window.
  static Pattern registers(int first) {
    alignas(16) unsigned char bytes[5][16] = {};
    enum { text, equal, digit, sign, free };
    for (int b = 0; b < 16; ++b) {
      const int c = b - first;
      if (c < 0 || c >= W) {
        bytes[free][b] = 0xFF;
      } else if (c <= kSignColumn) {
        bytes[text][b] = ' ';
        bytes[equal][b] = 0xFF;
        if (c == kSignColumn) bytes[sign][b] = 0xFF;
      } else if (c == kSignColumn + 1 || c == kSignColumn + 2 || c == W - 4) {
        bytes[text][b] = c == W - 4 ? 'E' : c == kSignColumn + 1 ? '0' : '.';
        bytes[equal][b] = 0xFF;
      } else if (c == W - 3) {
        bytes[sign][b] = 0xFF;
      } else {
        bytes[digit][b] = 0xFF;
      }
    }
    auto load = [](const unsigned char* p) {
      return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
    };
    return {load(bytes[text]), load(bytes[equal]), load(bytes[digit]), load(bytes[sign]),
            load(bytes[free])};
  }

  // Reads the field at `field`, whose window starts at `window`, when it
  // has the form. Its value is the exact reader's: the fast conversion's
  // where it applies, else the exact conversion of its text.
  [[gnu::always_inline]] static bool read_one(const char* window, const char* field,
                                              const Pattern& p, double& value) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window));
    // A byte minus '0' is at most 9, unsigned, only for a digit.
    const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
    const __m128i sign =
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('+')), _mm_cmpeq_epi8(v, _mm_set1_epi8('-')));
    const __m128i ok = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(_mm_cmpeq_epi8(v, p.text), p.equal),
                     _mm_and_si128(digit, p.digit)),
        _mm_or_si128(_mm_and_si128(sign, p.sign), p.free));
    if (_mm_movemask_epi8(ok) != 0xFFFF) return false;

    // The digits' low four bits are their values; the word's top D bytes
    // are the digits, the first in the lowest of them.
    constexpr std::uint64_t kDigitBits = 0x0F0F0F0F0F0F0F0Fu << (8 * (8 - D));
    const char* const e = field + W - 4;  // "E+01"
    std::uint64_t x;
    std::memcpy(&x, e - 8, 8);
    x &= kDigitBits;
    x = (x * 10 + (x >> 8)) & 0x00FF00FF00FF00FF;
    x = (x * 100 + (x >> 16)) & 0x0000FFFF0000FFFF;
    const std::uint64_t mantissa = (x * 10000 + (x >> 32)) & 0xFFFFFFFF;
    const long long exponent = (e[2] & 0x0F) * 10 + (e[3] & 0x0F);
    const char sign_column = field[kSignColumn];
    double magnitude = 0.0;
    if (nearest_double_fast(mantissa, (e[1] == '-' ? -exponent : exponent) - D, magnitude)) {
      value = sign_column == '-' ? -magnitude : magnitude;
      return true;
    }
    // "[sign]0.digitsE[sign]dd" is a number as to_double takes it, and the
    // same number the exact reader forms from the field.
    const char* const text = field + kSignColumn + (sign_column == ' ' ? 1 : 0);
    return to_double(std::string_view(text, static_cast<std::size_t>(field + W - text)), value) ==
           Conversion::ok;
  }

  Pattern at_end_;
  Pattern at_start_;
};

}  // namespace

std::size_t EOutputField::read_row(std::string_view record,
                                   std::span<double* const> destinations) const {
  // E13.5, the form of the input files' fields, has a reader of its own.
  if (width_ == 13 && digits_ == 5) {
    static const FieldWindows<13, 5> e13_5;
    return e13_5.read_row(record, destinations);
  }
  const std::size_t w = width_;
  std::size_t n = 0;
  for (; n < destinations.size() && (n + 1) * w <= record.size(); ++n) {
    if (!read(std::string_view(record.data() + n * w, w), *destinations[n])) break;
  }
  return n;
}

}  // namespace textio
