#include "config/config.hpp"

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

std::string name_fault(std::string_view name, std::size_t limit) {
  if (name.empty()) return "is empty";
  if (name.size() > limit) return "is longer than " + std::to_string(limit) + " characters";
  if (name == "." || name == "..") return "cannot name a directory";
  for (unsigned char c : name) {
    if (c == ' ') return "contains a blank";
    if (c == '/') return "contains '/'";
    if (c < 0x20 || c == 0x7f) return "contains a control character";
  }
  return {};
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

RateConstants rate_constants(std::string_view species, std::string_view tag) {
  const SpeciesRow* found = find_species(species);
  const SpeciesRow& row = found != nullptr ? *found : kOtherSpecies;
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
  std::string directory = "INPUTS_ODE/5days/";
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
  InputPaths paths = standard_input_paths(species, scenario);
  if (layout_of(species) == Layout::ideal) {
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
