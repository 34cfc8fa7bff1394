#include "textio/decimal.hpp"

#include <charconv>
#include <system_error>

namespace textio {

RoundedDecimal round_significant(double magnitude, int significant) {
  RoundedDecimal out{};
  out.count = significant;
  if (magnitude == 0.0) {
    for (int i = 0; i < significant; ++i) out.digits[i] = '0';
    out.exponent = 0;
    return out;
  }
  // to_chars with a precision rounds the exact binary value, ties to even.
  char text[RoundedDecimal::kMaxDigits + 16];
  auto result = std::to_chars(text, text + sizeof text, magnitude,
                              std::chars_format::scientific, significant - 1);
  // text is d[.ddd]e[+-]xx
  const char* p = text;
  int n = 0;
  for (; p < result.ptr && *p != 'e'; ++p) {
    if (*p != '.') out.digits[n++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), result.ptr, exponent);
  out.exponent = exponent + 1;
  return out;
}

namespace {

// Beyond this an exponent's digits no longer change the sign of the scale
// below: no text can hold this many mantissa digits.
constexpr long long kExponentBound = 1'000'000'000'000'000'000;

// The decimal scale of the unsigned mantissa text [first, last): the power of
// ten of its leading significant digit plus one, so that a scale above zero
// means a magnitude of at least 1 and below zero one under 0.1. Digit counts
// are exact and the exponent is held at kExponentBound once it passes a tenth
// of it, which keeps the sign right for any length of text and any exponent.
long long decimal_scale(const char* first, const char* last) {
  long long digits_before_point = 0;
  long long leading_zeros_after_point = 0;
  bool seen_nonzero = false;
  bool after_point = false;
  const char* p = first;
  for (; p < last && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      after_point = true;
    } else if (!seen_nonzero && *p == '0') {
      if (after_point) ++leading_zeros_after_point;
    } else {
      seen_nonzero = true;
      if (!after_point) ++digits_before_point;
    }
  }
  long long exponent = 0;
  if (p < last) {
    const char* e = p + 1;
    bool negative_exponent = e < last && *e == '-';
    if (e < last && (*e == '+' || *e == '-')) ++e;
    for (; e < last; ++e) {
      exponent = exponent < kExponentBound / 10 ? exponent * 10 + (*e - '0') : kExponentBound;
    }
    if (negative_exponent) exponent = -exponent;
  }
  return digits_before_point > 0 ? digits_before_point + exponent
                                 : exponent - leading_zeros_after_point;
}

}  // namespace

Conversion to_double(std::string_view text, double& value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  bool negative = false;
  if (first < last && (*first == '+' || *first == '-')) {
    negative = *first == '-';
    ++first;  // from_chars takes no plus sign; the minus is put back below
  }
  double magnitude = 0.0;
  auto result = std::from_chars(first, last, magnitude);
  if (result.ec == std::errc::result_out_of_range) {
    if (decimal_scale(first, last) > 0) return Conversion::out_of_range;
    magnitude = 0.0;  // an underflow: below the smallest double
  }
  value = negative ? -magnitude : magnitude;
  return Conversion::ok;
}

}  // namespace textio
