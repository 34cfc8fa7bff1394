#include "config/config.hpp"

#include <algorithm>

namespace config {
namespace {

// The float literals make the widening to double exact.
constexpr SpeciesRow kSpeciesTable[] = {
    {"ideal", 2e-05f, 3.4722223e-05f, 3.4722223e-05f, true},
    {"c12", 2.6400001e-05f, 4e-05f, 4e-05f, false},
    {"C16", 3.92e-05f, 4e-05f, 4e-05f, false},
    {"ALK4", 8.7626395e-06f, 4e-05f, 4e-05f, false},
    {"c18", 4.48e-05f, 4e-05f, 4e-05f, false},
    {"c22", 5.62e-05f, 4e-05f, 4e-05f, false},
    {"TOL", 1.12e-05f, 4e-05f, 4e-05f, false},
    {"xyl", 2.86e-05f, 4e-05f, 4e-05f, false},
    {"API_OH", 0.000104399995f, 4e-05f, 0.00027777778f, false},
    {"lim", 0.000328f, 4e-05f, 4e-05f, false},
    {"TERP_OH", 0.0001651344f, 4e-05f, 4e-05f, false},
    {"ISO_OH", 0.0001966f, 4e-05f, 4e-05f, false},
    {"OLE1_OH", 9.36e-05f, 4e-05f, 4e-05f, false},
    {"OLE2_OH", 0.0001412f, 4e-05f, 4e-05f, false},
};
constexpr SpeciesRow kOtherSpecies = {"", 2e-05f, 4e-05f, 4e-05f, false};

std::string_view without_trailing_blanks(std::string_view text) {
  std::size_t last = text.find_last_not_of(' ');
  return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

}  // namespace

namespace {

// The length of the well-formed UTF-8 sequence at the front of `text`, its
// code point in `code`; 0 when the sequence there is malformed (overlong,
// a surrogate, beyond U+10FFFF, cut short or not a sequence at all).
std::size_t decode_utf8(std::string_view text, char32_t& code) {
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  std::size_t more = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if ((lead & 0xe0) == 0xc0) {
    more = 1, code = lead & 0x1f, least = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    more = 2, code = lead & 0x0f, least = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    more = 3, code = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (text.size() <= more) return 0;
  for (std::size_t m = 1; m <= more; ++m) {
    const unsigned char next = static_cast<unsigned char>(text[m]);
    if ((next & 0xc0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3f);
  }
  if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  return more + 1;
}

bool bidirectional_formatting(char32_t code) {
  return code == 0x061c || code == 0x200e || code == 0x200f ||
         (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string name_fault(std::string_view name, std::size_t limit) {
  if (name.empty()) return "is empty";
  if (name.size() > limit) return "is longer than " + std::to_string(limit) + " characters";
  if (name == "." || name == "..") return "cannot name a directory";
  for (unsigned char c : name) {
    if (c == ' ') return "contains a blank";
    if (c == '/') return "contains '/'";
    if (c < 0x20 || c == 0x7f) return "contains a control character";
  }
  if (!valid_utf8(name)) return "is not valid UTF-8";
  for (std::size_t n = 0; n < name.size();) {
    char32_t code = 0;
    n += decode_utf8(name.substr(n), code);
    if (bidirectional_formatting(code)) return "contains a bidirectional formatting character";
    if (unprintable(code)) return "contains a control character";
  }
  return {};
}

std::string species_fault(std::string_view name) {
  if (!name.empty() && name.front() == '#') {
    return "begins with '#', which starts a comment in a plan or a species table";
  }
  return name_fault(name, kSpeciesLength);
}

bool valid_utf8(std::string_view text) {
  for (std::size_t n = 0; n < text.size();) {
    char32_t code = 0;
    const std::size_t length = decode_utf8(text.substr(n), code);
    if (length == 0) return false;
    n += length;
  }
  return true;
}

bool unprintable(char32_t code) {
  return code < 0x20 || (code >= 0x7f && code <= 0x9f) || bidirectional_formatting(code);
}

std::string printable(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t n = 0; n < text.size();) {
    char32_t code = 0;
    const std::size_t length = decode_utf8(text.substr(n), code);
    if (length == 0 || (code < 0x80 && unprintable(code))) {
      const unsigned char byte = static_cast<unsigned char>(text[n]);
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
      ++n;
    } else if (unprintable(code)) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xf];
      n += length;
    } else {
      out.append(text.substr(n, length));
      n += length;
    }
  }
  return out;
}

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The optimal string alignment distance of the two names with case folded:
// insertions, deletions, substitutions and swaps of neighbours, one each.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// A tag with case folded and every '-' and '_' dropped.
std::string folded_tag(std::string_view tag) {
  std::string folded;
  for (char c : tag) {
    if (c != '-' && c != '_') folded += lower(c);
  }
  return folded;
}

}  // namespace

std::vector<std::string_view> near_names(std::string_view name,
                                         std::span<const std::string_view> candidates) {
  constexpr std::size_t kShown = 3;
  // Longer names than this are not names of the table, and the distance
  // table would only grow.
  constexpr std::size_t kLongest = 64;
  if (name.empty() || name.size() > kLongest) return {};
  const std::size_t allowed = name.size() <= 4 ? 1 : 2;
  std::vector<std::pair<std::size_t, std::string_view>> near;
  for (std::string_view candidate : candidates) {
    if (candidate == name || candidate.size() > kLongest) continue;
    const std::size_t distance = edit_distance(name, candidate);
    const bool same_but_case = distance == 0;
    if (same_but_case || distance <= allowed) near.emplace_back(distance, candidate);
  }
  std::stable_sort(near.begin(), near.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  // A name equal but for case is surely the one meant; the others would
  // only distract from it.
  const std::size_t best = near.empty() ? 0 : near.front().first;
  std::vector<std::string_view> names;
  for (std::size_t n = 0; n < near.size() && n < kShown; ++n) {
    if (best == 0 && near[n].first != 0) break;
    names.push_back(near[n].second);
  }
  return names;
}

std::string_view tag_meant(std::string_view tag) {
  tag = without_trailing_blanks(tag);
  const std::string folded = folded_tag(tag);
  for (std::string_view key : {"static", "no56", "no6"}) {
    if (tag != key && folded == key) return key;
  }
  return {};
}

namespace {

std::string quoted(std::string_view name) { return "'" + printable(name) + "'"; }

}  // namespace

std::string did_you_mean(std::string_view name, std::span<const std::string_view> candidates) {
  const std::vector<std::string_view> near = near_names(name, candidates);
  if (near.empty()) return {};
  std::string text = "; did you mean ";
  for (std::size_t n = 0; n < near.size(); ++n) {
    text += n == 0 ? "" : n + 1 == near.size() ? " or " : ", ";
    text += near[n];
  }
  return text + "?";
}

std::string tag_refusal(std::string_view tag) {
  const std::string_view meant = tag_meant(tag);
  if (meant.empty()) return {};
  return "the tag " + quoted(tag) + " is not the tag rule " + std::string(meant) +
         "; did you mean " + std::string(meant) +
         "? (tags are case-sensitive; only static, no56 and no6 change the rate constants)";
}

std::string tag_warning(std::string_view tag) {
  tag = without_trailing_blanks(tag);
  if (!tag_meant(tag).empty()) return {};  // refused, not warned of
  for (std::string_view name : kTagNames) {
    if (tag == name) return {};
  }
  const std::string near = did_you_mean(tag, kTagNames);
  if (near.empty()) return {};
  return "the tag " + quoted(tag) +
         " is none of allgas, static, no56 and no6: it runs every reaction, as a label of its "
         "own" + near;
}

std::string unknown_species(std::string_view species,
                            std::span<const std::string_view> file_names) {
  std::vector<std::string_view> names(file_names.begin(), file_names.end());
  for (const SpeciesRow& row : species_table()) names.push_back(row.key);
  return "the species " + quoted(species) + " is in no species table" +
         did_you_mean(species, names);
}

std::string_view trim_blanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::vector<std::string_view> split_list(std::string_view text) {
  std::vector<std::string_view> items;
  for (;;) {
    const std::size_t comma = text.find(',');
    items.push_back(trim_blanks(text.substr(0, comma)));
    if (comma == std::string_view::npos) return items;
    text.remove_prefix(comma + 1);
  }
}

bool next_line(std::string_view& text, std::string_view& line, int& number) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (number == 0 && text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = trim_blanks(line);
    if (!line.empty() && line.front() != '#') return true;
  }
  return false;
}

std::array<double, kBins> rate_factors() {
  std::array<double, kBins> factor{};
  for (int j = 0; j < kBins; ++j) {
    factor[j] = kSaturationConcentrations[j] / (kSaturationConcentrations[j] + 10.0);
  }
  return factor;
}

std::span<const SpeciesRow> species_table() { return kSpeciesTable; }

const SpeciesRow& other_species() { return kOtherSpecies; }

const SpeciesRow* find_species(std::string_view species) {
  species = without_trailing_blanks(species);
  for (const SpeciesRow& row : kSpeciesTable) {
    if (row.key == species) return &row;
  }
  return nullptr;
}

const SpeciesRow& species_row(std::string_view species, const SpeciesRow* given) {
  if (given != nullptr) return *given;
  const SpeciesRow* found = find_species(species);
  return found != nullptr ? *found : kOtherSpecies;
}

RateConstants rate_constants(std::string_view species, std::string_view tag) {
  return rate_constants(species_row(species), tag);
}

RateConstants rate_constants(const SpeciesRow& row, std::string_view tag) {
  const std::array<double, kBins> factor = rate_factors();
  RateConstants rates;
  rates.kp = static_cast<double>(row.kp);
  for (int j = 0; j < kBins - 1; ++j) rates.k[j] = factor[j] * static_cast<double>(row.multiplier);
  rates.k[kBins - 1] = factor[kBins - 1] * static_cast<double>(row.multiplier6);

  tag = without_trailing_blanks(tag);
  if (tag == "static") {
    rates.k.fill(0.0);
  } else if (tag == "no56") {
    rates.k[4] = 0.0;
    rates.k[5] = 0.0;
  } else if (tag == "no6") {
    rates.k[5] = 0.0;
  }
  return rates;
}

Layout layout_of(std::string_view species) {
  const SpeciesRow* row = find_species(species);
  return row != nullptr && row->ideal ? Layout::ideal : Layout::standard;
}

std::string standard_input_directory(std::string_view species, std::string_view scenario) {
  std::string directory(kInputsDirectory);
  directory += "/5days/";
  directory += without_trailing_blanks(scenario);
  directory += "_aer.";
  directory += without_trailing_blanks(species);
  return directory;
}

InputPaths standard_input_paths(std::string_view species, std::string_view scenario) {
  const std::string directory = "../" + standard_input_directory(species, scenario) + "/";
  auto in_directory = [&](std::string_view file) { return directory + std::string(file); };
  return {in_directory(kPrecursorFile), in_directory(kBinsFile), in_directory(kMolarMassFile)};
}

InputPaths input_paths(std::string_view species, std::string_view scenario) {
  return input_paths(species, scenario, species_row(species));
}

InputPaths input_paths(std::string_view species, std::string_view scenario, const SpeciesRow& row) {
  InputPaths paths = standard_input_paths(species, scenario);
  if (layout_of(row) == Layout::ideal) {
    paths.precursor = kIdealPrecursorFile;
    paths.bins = kIdealBinsFile;
  }
  return paths;
}

std::string results_path(std::string_view species, std::string_view scenario,
                         std::string_view tag) {
  std::string path(kResultsDirectory);
  path += "/fit6_coef.";
  path += without_trailing_blanks(species);
  path += ".";
  path += without_trailing_blanks(scenario);
  path += ".";
  path += without_trailing_blanks(tag);
  return path;
}

std::string term_label(int term) {
  return term == 0 ? "VOC" : "VB" + std::to_string(term);
}

}  // namespace config
