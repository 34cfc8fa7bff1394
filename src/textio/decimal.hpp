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
//
// This is Clinger's fast path: an integer up to 2^53 is exactly a double, and
// so is every power of ten up to 10^22 (5^22 < 2^53; the factor 2^22 only
// moves the exponent). One IEEE multiplication or division of two exact
// operands is correctly rounded, so it gives the nearest double to
// digits x 10^scale, the very value the exact conversion gives. The results
// lie between 10^-22 and 2^53 x 10^22, far inside the normal range: flushing
// denormals changes nothing. Anything else goes the exact way.
inline bool nearest_double_fast(std::uint64_t digits, long long scale, double& magnitude) {
  constexpr std::uint64_t kExactIntegers = std::uint64_t{1} << 53;
  constexpr long long kExactPowers = 22;
  static constexpr double kPowerOfTen[kExactPowers + 1] = {
      1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (digits > kExactIntegers || scale < -kExactPowers || scale > kExactPowers) return false;
  const double w = static_cast<double>(digits);
  magnitude = scale < 0 ? w / kPowerOfTen[-scale] : w * kPowerOfTen[scale];
  return true;
}

}  // namespace textio
