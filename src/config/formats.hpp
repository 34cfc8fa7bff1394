// The plain texts of a number and of a moment that the programs' messages,
// tables and pages share, so that one value reads the same in each.
#pragma once

#include <string>

namespace config {

// The shortest text that reads back to `value` exactly, as std::to_chars
// writes it ("inf", "-inf", "nan", "-nan" for those).
std::string shortest(double value);
std::string shortest(float value);

// `seconds` since 1970-01-01 00:00 UTC as "YYYY-MM-DDTHH:MM:SSZ"; empty when
// the year is beyond what the C library can say.
std::string utc_time(long long seconds);

}  // namespace config
