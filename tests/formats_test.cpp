// The shortest text of a number and the UTC text of a moment, which the
// messages, tables, pages and the study's record share.
#include "config/formats.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace {

TEST(Shortest, WritesTheFewestDigitsThatReadBack) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    const char* text;
  } doubles[] = {
      {0.1, "0.1"},
      {1e-05, "1e-05"},
      {-0.0, "-0"},
      {123456789012345680.0, "123456789012345680"},  // fixed when no longer
      {1e+22, "1e+22"},
      {-2.2250738585072014e-308, "-2.2250738585072014e-308"},  // the longest there is
      {5e-324, "5e-324"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
  };
  for (const auto& row : doubles) EXPECT_EQ(config::shortest(row.value), row.text) << row.text;
  // A single-precision constant in the digits single precision needs, not
  // those of its double.
  const struct {
    float value;
    const char* text;
  } floats[] = {
      {0.1f, "0.1"},
      {0.35f, "0.35"},
      {std::numeric_limits<float>::min(), "1.1754944e-38"},
      {3.4028235e+38f, "3.4028235e+38"},
  };
  for (const auto& row : floats) EXPECT_EQ(config::shortest(row.value), row.text) << row.text;
}

// UTC whatever the local zone (here five and a half hours east), to the
// second; empty for a year the C library cannot hold.
TEST(UtcTime, IsUniversalTimeInIso8601) {
  ASSERT_EQ(::setenv("TZ", "XST-5:30", 1), 0);
  ::tzset();
  const struct {
    long long seconds;
    const char* text;
  } rows[] = {
      {0, "1970-01-01T00:00:00Z"},
      {-1, "1969-12-31T23:59:59Z"},
      {951782400, "2000-02-29T00:00:00Z"},
      {1765126554, "2025-12-07T16:55:54Z"},
      {253402300799, "9999-12-31T23:59:59Z"},
      {LLONG_MAX, ""},
  };
  for (const auto& row : rows) EXPECT_EQ(config::utc_time(row.seconds), row.text) << row.seconds;
  ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
