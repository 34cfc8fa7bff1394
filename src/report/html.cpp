#include "report/html.hpp"

#include <charconv>
#include <cmath>

namespace report {

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string shown(double value, int digits) {
  if (std::isnan(value)) return "n/a";
  if (std::isinf(value)) return value > 0 ? "\u221e" : "-\u221e";
  char text[64];
  auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits).ptr;
  return std::string(text, end);
}

std::string exact(double value) {
  if (std::isnan(value)) return "nan";
  char text[64];
  auto end = std::to_chars(text, text + sizeof text, value).ptr;  // "inf", "-inf" for infinities
  return std::string(text, end);
}

void append_coordinate(std::string& out, double value) {
  // Tenths as an integer: a chart draws tens of thousands of these, and the
  // drawing needs neither more digits nor the exact decimal rounding.
  if (!(std::fabs(value) < 1e15)) value = 0.0;  // nothing drawn lies out there
  const long long tenths = std::llround(value * 10.0);
  const unsigned long long size = tenths < 0 ? 0ULL - static_cast<unsigned long long>(tenths)
                                             : static_cast<unsigned long long>(tenths);
  char text[32];
  char* end = text;
  if (tenths < 0) *end++ = '-';
  end = std::to_chars(end, text + sizeof text, size / 10).ptr;
  *end++ = '.';
  *end++ = static_cast<char>('0' + size % 10);
  out.append(text, end);
}

std::string coordinate(double value) {
  std::string out;
  append_coordinate(out, value);
  return out;
}

}  // namespace report
