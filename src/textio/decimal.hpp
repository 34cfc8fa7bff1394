// Exact decimal conversion in both directions. Output rounds the exact binary
// value to a number of significant digits, a tie going to the even digit;
// input yields the double nearest to the decimal text.
#pragma once

#include <cstdint>
#include <string_view>

namespace textio {

// |x| = 0.d1 d2 ... dn x 10^exponent with d1 != 0; for zero every digit is '0'
// and the exponent is 0.
struct RoundedDecimal {
  static constexpr int kMaxDigits = 40;
  char digits[kMaxDigits];
  int count;
  int exponent;
};

// Rounds the finite, non-negative `magnitude` to `significant` digits
// (1 ... RoundedDecimal::kMaxDigits).
RoundedDecimal round_significant(double magnitude, int significant);

enum class Conversion {
  ok,
  out_of_range,  // the magnitude exceeds the largest double
};

// Converts text of the form [sign] digits [. digits] [e [sign] digits] (at
// least one digit in the mantissa, already checked by the caller) to the
// nearest double. A magnitude below the smallest double gives a signed zero.
Conversion to_double(std::string_view text, double& value);

// The fast path of input conversion: sets `magnitude` to the double nearest
// to digits x 10^scale and returns true when one correctly rounded operation
// can give it, false when only to_double can. Agrees bit for bit with
// to_double on every value it takes.
bool nearest_double_fast(std::uint64_t digits, long long scale, double& magnitude);

}  // namespace textio
