#include "config/species_file.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "config/formats.hpp"

namespace config {
namespace {

// The text quoted for a message, bytes that would not print as \xNN and cut
// after a screenful.
std::string shown(std::string_view text) {
  constexpr std::size_t kLongest = 40;
  static const char kHex[] = "0123456789abcdef";
  std::string out = "'";
  for (std::size_t n = 0; n < text.size() && n < kLongest; ++n) {
    const unsigned char c = static_cast<unsigned char>(text[n]);
    if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + (text.size() > kLongest ? "...'" : "'");
}

// Why a constant is refused below single precision's normal range: a run,
// which sets denormals-are-zero, takes such a constant for 0, while the
// batch's check of its results and its tables would use the number written.
std::string below_normal(std::string_view column, std::string_view text) {
  return std::string(column) + " " + shown(text) +
         " is below single precision's normal range (nonzero and under " +
         shortest(std::numeric_limits<float>::min()) + ")";
}

// Reads a non-negative single-precision number, 0 or normal. Returns why
// `text` is not one, or empty.
std::string read_constant(std::string_view column, std::string_view text, float& value) {
  if (text.empty()) return std::string(column) + " is empty";
  const char* end = text.data() + text.size();
  // from_chars takes "inf" and "nan" and a leading '-', none of which a rate
  // constant may be; a leading '+' it refuses, and so do we.
  const auto result = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    // Too small even for a subnormal, or too large: the double tells which.
    double wide = 0.0;
    const auto as_double = std::from_chars(text.data(), end, wide, std::chars_format::general);
    if (as_double.ec == std::errc() && as_double.ptr == end && wide > 0.0 &&
        wide < std::numeric_limits<float>::min()) {
      return below_normal(column, text);
    }
    return std::string(column) + " " + shown(text) + " is beyond single precision";
  }
  if (result.ec != std::errc() || result.ptr != end || !std::isfinite(value)) {
    return std::string(column) + " " + shown(text) + " is not a number";
  }
  if (std::signbit(value)) return std::string(column) + " " + shown(text) + " is negative";
  if (std::fpclassify(value) == FP_SUBNORMAL) return below_normal(column, text);
  return {};
}

}  // namespace

std::string parse_species_file(std::string_view text, std::string_view file,
                               std::vector<SpeciesFileRow>& rows) {
  rows.clear();
  const std::vector<std::string_view> header = config::split_list(kSpeciesFileHeader);
  bool have_header = false;
  int line_number = 0;
  for (std::string_view line; config::next_line(text, line, line_number);) {

    const std::string where = std::string(file) + " line " + std::to_string(line_number) + ": ";
    const std::vector<std::string_view> fields = config::split_list(line);
    if (!have_header) {
      // The layout column is optional, in the header as in the rows.
      const bool matches =
          (fields.size() == header.size() || fields.size() == header.size() - 1) &&
          std::equal(fields.begin(), fields.end(), header.begin());
      if (!matches) {
        return where + "expected the header " + std::string(kSpeciesFileHeader) +
               " (--list-species prints the built-in table in this form), found " + shown(line);
      }
      have_header = true;
      continue;
    }
    if (fields.size() < header.size() - 1 || fields.size() > header.size()) {
      return where + "expected " + std::to_string(header.size() - 1) + " or " +
             std::to_string(header.size()) + " fields (" + std::string(kSpeciesFileHeader) +
             "), found " + std::to_string(fields.size());
    }
    SpeciesFileRow row;
    row.line = line_number;
    row.name = std::string(fields[0]);
    if (std::string fault = species_fault(row.name); !fault.empty()) {
      return where + "the species " + shown(row.name) + " " + fault;
    }
    float* const values[] = {&row.kp, &row.multiplier, &row.multiplier6};
    for (std::size_t n = 0; n < 3; ++n) {
      const std::string fault = read_constant(header[n + 1], fields[n + 1], *values[n]);
      if (!fault.empty()) return where + fault;
    }
    const std::string_view layout = fields.size() == header.size() ? fields.back() : "";
    if (layout == "ideal") {
      row.ideal = true;
    } else if (!layout.empty() && layout != "standard") {
      return where + "the layout " + shown(layout) + " is neither standard nor ideal";
    }
    for (const SpeciesFileRow& earlier : rows) {
      if (earlier.name == row.name) {
        return where + "the species " + shown(row.name) + " has a row already, on line " +
               std::to_string(earlier.line);
      }
    }
    rows.push_back(std::move(row));
  }
  if (!have_header) {
    return std::string(file) + ": no header; a species table starts with " +
           std::string(kSpeciesFileHeader);
  }
  return {};
}

std::string species_file_text(std::span<const SpeciesRow> rows) {
  const SpeciesRow& other = other_species();
  std::string text =
      "# K(j) = factor(j) x multiplier for j = 1...5 and factor(j) x multiplier6 for\n"
      "# j = 6, factor(j) = CSTR(j) / (CSTR(j) + 10); the tags static, no56 and no6\n"
      "# set K(1...6), K(5) and K(6), or K(6) to 0. A species in no row runs with\n"
      "# kp " + shortest(other.kp) + " and multipliers " + shortest(other.multiplier) +
      " (vbsfit-batch --allow-unknown-species).\n";
  text += kSpeciesFileHeader;
  text += "\n";
  for (const SpeciesRow& row : rows) {
    text += std::string(row.key) + "," + shortest(row.kp) + "," + shortest(row.multiplier) + "," +
            shortest(row.multiplier6) + "," + (row.ideal ? "ideal" : "standard") + "\n";
  }
  return text;
}

}  // namespace config
