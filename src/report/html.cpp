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

std::string coordinate(double value) {
  char text[64];
  auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1).ptr;
  std::string out(text, end);
  return out == "-0.0" ? "0.0" : out;
}

}  // namespace report
