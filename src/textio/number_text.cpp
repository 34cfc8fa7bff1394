#include "textio/number_text.hpp"

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

}  // namespace textio
