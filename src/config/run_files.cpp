#include "config/run_files.hpp"

namespace config {

std::string_view format_name(InputFormat format) {
  switch (format) {
    case InputFormat::csv: return "csv";
    case InputFormat::netcdf: return "netcdf";
    case InputFormat::fixed: break;
  }
  return "fixed";
}

bool format_from_name(std::string_view name, InputFormat& format) {
  for (InputFormat f : {InputFormat::fixed, InputFormat::csv, InputFormat::netcdf}) {
    if (name == format_name(f)) {
      format = f;
      return true;
    }
  }
  return false;
}

std::string_view default_run_pattern(InputFormat format) {
  switch (format) {
    case InputFormat::csv: return "../INPUTS_CSV/{scenario}_aer.{species}.csv";
    case InputFormat::netcdf: return "../INPUTS_NETCDF/{scenario}_aer.{species}.nc";
    case InputFormat::fixed: break;
  }
  return {};
}

namespace {

// Walks `pattern`, handing each literal piece and each name in braces to
// `literal` and `name`. Returns why the pattern is malformed, or empty.
template <typename Literal, typename Name>
std::string walk(std::string_view pattern, Literal literal, Name name) {
  std::size_t k = 0;
  while (k < pattern.size()) {
    const char c = pattern[k];
    if ((c == '{' || c == '}') && k + 1 < pattern.size() && pattern[k + 1] == c) {
      literal(pattern.substr(k, 1));
      k += 2;
    } else if (c == '{') {
      const std::size_t close = pattern.find('}', k);
      if (close == std::string_view::npos) {
        return "the brace at character " + std::to_string(k + 1) + " is never closed";
      }
      const std::string_view inside = pattern.substr(k + 1, close - k - 1);
      if (inside != "species" && inside != "scenario") {
        return "{" + std::string(inside) +
               "} names nothing: only {species} and {scenario} are filled in ({{ and }} stand "
               "for braces)";
      }
      name(inside);
      k = close + 1;
    } else if (c == '}') {
      return "the brace at character " + std::to_string(k + 1) + " closes nothing";
    } else {
      literal(pattern.substr(k, 1));
      ++k;
    }
  }
  return {};
}

}  // namespace

std::string pattern_fault(std::string_view pattern) {
  if (pattern.empty()) return "the pattern is empty";
  return walk(pattern, [](std::string_view) {}, [](std::string_view) {});
}

std::string run_file_path(std::string_view pattern, std::string_view species,
                          std::string_view scenario) {
  std::string path;
  walk(pattern, [&](std::string_view piece) { path += piece; },
       [&](std::string_view name) { path += name == "species" ? species : scenario; });
  return path;
}

std::string molar_mass_file(std::string_view run_path) {
  constexpr std::string_view kCsv = ".csv";
  std::string_view stem = run_path;
  if (stem.ends_with(kCsv)) stem.remove_suffix(kCsv.size());
  return std::string(stem) + ".molar_masses.csv";
}

}  // namespace config
