// Exact decimal conversion: rounding of the exact binary value to a number of
// significant digits (ties to even) and the nearest double to a decimal text.
// Expected digits are those of the exact binary values, worked out by hand.
#include "textio/decimal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

using textio::Conversion;
using textio::round_significant;
using textio::to_double;

// The digits and exponent of a rounding as "0.ddd...E<exponent>".
std::string shown(double magnitude, int significant) {
  textio::RoundedDecimal r = round_significant(magnitude, significant);
  return "0." + std::string(r.digits, r.count) + "E" + std::to_string(r.exponent);
}

TEST(RoundSignificant, GivesTheDigitsAndTheExponentOfTheLeadingDigit) {
  EXPECT_EQ("0.150000000000000E1", shown(1.5, 15));
  EXPECT_EQ("0.333333333333333E0", shown(1.0 / 3.0, 15));
  EXPECT_EQ("0.5000000000000000E-1", shown(0.05, 16));
  EXPECT_EQ("0.123456789012345E15", shown(123456789012345.0, 15));
  EXPECT_EQ("0.000000000000000E0", shown(0.0, 15));
}

TEST(RoundSignificant, RoundsTheExactBinaryValue) {
  // 1.0E-20 is stored as 9.99999999999999945...E-21.
  EXPECT_EQ("0.9999999999999999E-20", shown(1.0e-20, 16));
  EXPECT_EQ("0.100000000000000E-19", shown(1.0e-20, 15));
  // 0.1 is stored as 0.1000000000000000055511151231257827...
  EXPECT_EQ("0.10000000000000000555E0", shown(0.1, 20));
  EXPECT_EQ("0.4940656458412465E-323", shown(std::numeric_limits<double>::denorm_min(), 16));
  EXPECT_EQ("0.1797693134862315708145274237317043567981E309",
            shown(std::numeric_limits<double>::max(), 40));
}

TEST(RoundSignificant, CarriesAcrossAPowerOfTen) {
  EXPECT_EQ("0.100000000000000E0", shown(0.09999999999999999, 15));
  EXPECT_EQ("0.100000000000000E16", shown(999999999999999.9, 15));
  EXPECT_EQ("0.9999999999999999E15", shown(999999999999999.9, 16));
  EXPECT_EQ("0.1E2", shown(9.5, 1));
}

TEST(RoundSignificant, TiesGoToTheEvenDigit) {
  EXPECT_EQ("0.2E1", shown(2.5, 1));
  EXPECT_EQ("0.4E1", shown(3.5, 1));
  EXPECT_EQ("0.12E0", shown(0.125, 2));
  EXPECT_EQ("0.38E0", shown(0.375, 2));
  EXPECT_EQ("0.123456789012342E14", shown(12345678901234.25, 15));
  EXPECT_EQ("0.123456789012348E14", shown(12345678901234.75, 15));
  // 2625/2^18 = 0.010013580322265625 exactly.
  EXPECT_EQ("0.1001358032226562E-1", shown(2625.0 / 262144.0, 16));
  EXPECT_EQ("0.1000595092773438E-1", shown(2623.0 / 262144.0, 16));
}

// to_double's result for `text`, or NaN when it reports out_of_range.
double converted(const char* text) {
  double value = -1.0;
  if (to_double(text, value) != Conversion::ok) return std::numeric_limits<double>::quiet_NaN();
  return value;
}

TEST(ToDouble, GivesTheNearestDouble) {
  EXPECT_EQ(1.5, converted("1.5"));
  EXPECT_EQ(-0.25, converted("-0.25"));
  EXPECT_EQ(7.0, converted("+7"));
  EXPECT_EQ(1.0, converted("1."));
  EXPECT_EQ(0.5, converted(".5"));
  EXPECT_EQ(1500.0, converted("1.5e3"));
  EXPECT_EQ(0.0015, converted("1.5e-3"));
  EXPECT_EQ(1500.0, converted("1.5E+3"));
  EXPECT_EQ(0.1, converted("0.1"));
  EXPECT_EQ(9.999000574869534e-05, converted("9.999000574869534E-005"));
  // 2^53 + 1 lies halfway between two doubles: the even one wins.
  EXPECT_EQ(9007199254740992.0, converted("9007199254740993"));
  EXPECT_EQ(1.0e308, converted("0.0000001e315"));
  EXPECT_EQ(1.0e-5, converted("00000000000000000000000000000001e-5"));
}

TEST(ToDouble, ValuesNearTheEndsOfTheRange) {
  EXPECT_EQ(std::numeric_limits<double>::max(), converted("1.7976931348623158e308"));
  EXPECT_TRUE(std::isnan(converted("1.7976931348623159e308")));
  // Half the smallest subnormal: just above rounds up to it, just below to zero.
  EXPECT_EQ(std::numeric_limits<double>::denorm_min(), converted("2.4703282292062328e-324"));
  EXPECT_EQ(0.0, converted("2.4703282292062327e-324"));
}

TEST(ToDouble, UnderflowGivesASignedZero) {
  double value = converted("1e-400");
  EXPECT_EQ(0.0, value);
  EXPECT_FALSE(std::signbit(value));
  value = converted("-1e-400");
  EXPECT_EQ(0.0, value);
  EXPECT_TRUE(std::signbit(value));
  EXPECT_EQ(0.0, converted("0.000000000000000000000000000001e-380"));
  EXPECT_EQ(0.0, converted("1e-99999999999999999999"));
  EXPECT_EQ(0.0, converted(("1" + std::string(400, '0') + "e-800").c_str()));
  EXPECT_EQ(0.0, converted("0e999"));
}

TEST(ToDouble, OverflowIsOutOfRange) {
  double value = 0.0;
  EXPECT_EQ(Conversion::out_of_range, to_double("1e999", value));
  EXPECT_EQ(Conversion::out_of_range, to_double("-1e999", value));
  EXPECT_EQ(Conversion::out_of_range, to_double("0.0000001e316", value));
  EXPECT_EQ(Conversion::out_of_range, to_double("1e99999999999999999999", value));
  EXPECT_EQ(Conversion::out_of_range, to_double("1" + std::string(400, '0'), value));
}

// Leading zeros or digits beyond any exponent cap must not move the value
// across the range: the scale is the exponent plus the digit count, exactly.
TEST(ToDouble, LongMantissasWithHugeExponentsKeepTheirScale) {
  double value = -1.0;
  const std::string zeros = "0." + std::string(100000, '0');
  EXPECT_EQ(Conversion::out_of_range, to_double(zeros + "1e10000000", value));
  EXPECT_EQ(Conversion::ok, to_double(std::string(100001, '1') + "e-10000000", value));
  EXPECT_EQ(0.0, value);
  EXPECT_EQ(0.1, converted((zeros + "1e100000").c_str()));
  EXPECT_EQ(Conversion::out_of_range,
            to_double(zeros + "1e" + std::string(30, '9'), value));
  EXPECT_EQ(0.0, converted((std::string(200000, '9') + "e-" + std::string(30, '9')).c_str()));
}

}  // namespace
