// Small pieces of HTML text shared by the pages and the charts: escaping and
// locale-free number formatting.
#pragma once

#include <string>
#include <string_view>

namespace report {

// `text` with &, <, >, " and ' replaced by their character references, so it
// shows as typed in element content and in quoted attribute values.
std::string escape(std::string_view text);

// `value` with `digits` significant digits ("1.25e-05", "0.303"); "n/a" for
// NaN, "∞" or "-∞" for infinities.
std::string shown(double value, int digits);

// The shortest text that reads back to `value` ("nan", "inf", "-inf" for the
// others), for data- attributes that tests and scripts read.
std::string exact(double value);

// `value` with one decimal, for SVG coordinates: written at `out`, which has
// room for kCoordinateChars, returning the end; appended to `out`; or as a
// string. Rounded to the nearest tenth, halves away from zero; values
// outside +-1e15 are written as 0.
inline constexpr int kCoordinateChars = 20;  // sign, 16 digits, point, tenth
char* put_coordinate(char* out, double value);
void append_coordinate(std::string& out, double value);
std::string coordinate(double value);

}  // namespace report
