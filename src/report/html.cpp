#include "report/html.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "config/formats.hpp"

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
  return std::isnan(value) ? "nan" : config::shortest(value);  // "inf", "-inf" for infinities
}

namespace {

// The text of every tenth below kTabled / 10 ("0.0" ... "999.9"), where a
// chart's coordinates lie: a lookup and one store each.
constexpr int kTabled = 10000;
struct Tenths {
  char text[7];
  unsigned char length;
};
constexpr std::array<Tenths, kTabled> tenths_table() {
  std::array<Tenths, kTabled> table{};
  for (int n = 0; n < kTabled; ++n) {
    Tenths& t = table[n];
    const int whole = n / 10;
    if (whole >= 100) t.text[t.length++] = static_cast<char>('0' + whole / 100);
    if (whole >= 10) t.text[t.length++] = static_cast<char>('0' + whole / 10 % 10);
    t.text[t.length++] = static_cast<char>('0' + whole % 10);
    t.text[t.length++] = '.';
    t.text[t.length++] = static_cast<char>('0' + n % 10);
  }
  return table;
}
constexpr std::array<Tenths, kTabled> kTenths = tenths_table();

}  // namespace

char* put_coordinate(char* out, double value) {
  // Tenths as an integer: a page draws some fifty thousand of these, and the
  // drawing needs neither more digits nor the exact decimal rounding.
  if (!(std::fabs(value) < 1e15)) value = 0.0;  // nothing drawn lies out there
  const double scaled = value * 10.0;
  // The rounding of llround without its call: the truncation is exact, and
  // so is the fraction it leaves (the two share sign and leading bits).
  long long tenths = static_cast<long long>(scaled);
  const double fraction = scaled - static_cast<double>(tenths);
  tenths += static_cast<int>(fraction >= 0.5) - static_cast<int>(fraction <= -0.5);
  const unsigned long long size = tenths < 0 ? 0ULL - static_cast<unsigned long long>(tenths)
                                             : static_cast<unsigned long long>(tenths);
  if (tenths < 0) *out++ = '-';
  if (size < kTabled) {
    const Tenths& t = kTenths[size];
    std::memcpy(out, t.text, sizeof t.text);  // one store; the caller leaves room for it
    return out + t.length;
  }
  unsigned long long whole = size / 10;
  int length = 1;
  for (unsigned long long rest = whole; rest >= 10; rest /= 10) ++length;
  char* const end = out + length + 2;
  end[-1] = static_cast<char>('0' + size % 10);
  end[-2] = '.';
  for (char* digit = out + length - 1; digit >= out; --digit) {
    *digit = static_cast<char>('0' + whole % 10);
    whole /= 10;
  }
  return end;
}

void append_coordinate(std::string& out, double value) {
  char text[kCoordinateChars];
  out.append(text, put_coordinate(text, value));
}

std::string coordinate(double value) {
  std::string out;
  append_coordinate(out, value);
  return out;
}

}  // namespace report
