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
    // Tell underflow from overflow by the sign of the decimal exponent of the
    // leading significant digit.
    long digits_before_point = 0;
    long leading_zeros_after_point = 0;
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
    long exponent = 0;
    if (p < last) {
      const char* e = p + 1;
      bool negative_exponent = e < last && *e == '-';
      if (e < last && (*e == '+' || *e == '-')) ++e;
      for (; e < last; ++e) {
        if (exponent < 100000) exponent = exponent * 10 + (*e - '0');
      }
      if (negative_exponent) exponent = -exponent;
    }
    long scale = digits_before_point > 0 ? digits_before_point + exponent
                                         : exponent - leading_zeros_after_point;
    if (scale > 0) return Conversion::out_of_range;
    magnitude = 0.0;
  }
  value = negative ? -magnitude : magnitude;
  return Conversion::ok;
}

}  // namespace textio
