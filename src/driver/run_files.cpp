// The CSV reader, and what the NetCDF reader (netcdf_run.cpp, which only
// the programs around vbsfit link) shares with it.
#include "driver/run_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "config/formats.hpp"
#include "config/run_files.hpp"

namespace driver {
namespace {

using config::kBins;
using config::shortest;

ReadOutcome refused(std::string message) {
  ReadOutcome out;
  out.ending = {Ending::Kind::input, 1, 0, std::move(message)};
  return out;
}

std::string_view trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// A cell without the blanks around it and the double quotes a spreadsheet
// may put around it.
std::string_view cell_text(std::string_view cell) {
  cell = trim(cell);
  if (cell.size() >= 2 && cell.front() == '"' && cell.back() == '"') {
    cell = trim(cell.substr(1, cell.size() - 2));
  }
  return cell;
}

// Reads the whole of `text` as a decimal number (a leading '+' allowed).
// False when it is not one.
bool parse_number(std::string_view text, double& value) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+' || (text.front() == '-' && text.size() == 1)) {
    return false;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// The lines of a CSV text, each with its line number, blank lines left out
// and a carriage return before the line feed dropped.
struct Line {
  int number;
  std::string_view text;
};
std::vector<Line> lines_of(std::string_view text) {
  // The byte order mark spreadsheets put first is no part of the header.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::vector<Line> lines;
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!trim(line).empty()) lines.push_back({number, line});
  }
  return lines;
}

// The cells of `line` into `cells` (whose storage is reused line by line).
void split(std::string_view line, std::vector<std::string_view>& cells) {
  cells.clear();
  for (;;) {
    const std::size_t comma = line.find(',');
    cells.push_back(cell_text(line.substr(0, comma)));
    if (comma == std::string_view::npos) return;
    line.remove_prefix(comma + 1);
  }
}

std::vector<std::string_view> split(std::string_view line) {
  std::vector<std::string_view> cells;
  split(line, cells);
  return cells;
}

// The columns of a CSV header: for each wanted name, its place, if any.
struct Columns {
  std::vector<std::string_view> names;
  std::optional<std::size_t> find(std::string_view name) const {
    for (std::size_t c = 0; c < names.size(); ++c) {
      if (names[c] == name) return c;
    }
    return std::nullopt;
  }
};

// Reads the header line of `path`. Returns why it is not one, or empty.
std::string read_header(const std::vector<Line>& lines, std::string_view path, Columns& columns) {
  if (lines.empty()) return std::string(path) + " is empty: it needs a header row and records";
  columns.names = split(lines[0].text);
  for (std::size_t c = 0; c < columns.names.size(); ++c) {
    for (std::size_t d = 0; d < c; ++d) {
      if (!columns.names[c].empty() && columns.names[c] == columns.names[d]) {
        return std::string(path) + " line " + std::to_string(lines[0].number) +
               ": the header names the column " + std::string(columns.names[c]) + " twice";
      }
    }
  }
  return {};
}

std::string bin_name(std::string_view stem, int j) { return std::string(stem) + std::to_string(j); }

// Where each of `names` stands in `columns`, or why one is missing.
std::string locate(const Columns& columns, const std::vector<std::string>& names,
                   std::string_view path, std::string_view needs,
                   std::vector<std::size_t>& places) {
  places.clear();
  for (const std::string& name : names) {
    const auto place = columns.find(name);
    if (!place) {
      std::string header;
      for (std::string_view n : columns.names) header += (header.empty() ? "" : ",") + std::string(n);
      return std::string(path) + " has no column " + name + " (its header: " +
             config::printable(header) + "); " + std::string(needs);
    }
    places.push_back(*place);
  }
  return {};
}

// The numbers of one data line at `places`, or why a cell is not one (the
// message made only then: most runs have none).
std::string read_cells(const Line& line, std::size_t record, std::size_t width,
                       const Columns& columns, const std::vector<std::size_t>& places,
                       std::string_view path, std::vector<double>& values,
                       std::vector<std::string_view>& cells) {
  split(line.text, cells);
  auto where = [&] {
    return std::string(path) + " line " + std::to_string(line.number) + " (record " +
           std::to_string(record) + ")";
  };
  if (cells.size() != width) {
    return where() + ": " + std::to_string(cells.size()) + " fields where the header names " +
           std::to_string(width);
  }
  values.clear();
  for (std::size_t place : places) {
    double value = 0.0;
    if (!parse_number(cells[place], value)) {
      return where() + ", column " + std::string(columns.names[place]) + ": '" +
             config::printable(cells[place]) + "' is not a number";
    }
    if (!std::isfinite(value)) {
      return where() + ", column " + std::string(columns.names[place]) + ": " +
             std::string(cells[place]) + " is not a finite number";
    }
    values.push_back(value);
  }
  return {};
}

std::vector<std::string> names_of(std::string_view stem) {
  std::vector<std::string> names;
  for (int j = 1; j <= kBins; ++j) names.push_back(bin_name(stem, j));
  return names;
}

// The six molar masses of a side file: a header and one row.
std::string read_side_file(const std::string& text, std::string_view path,
                           std::vector<double>& masses) {
  const std::vector<Line> lines = lines_of(text);
  Columns columns;
  if (std::string why = read_header(lines, path, columns); !why.empty()) return why;
  std::vector<std::size_t> places;
  if (std::string why = locate(columns, names_of("molar_mass"), path,
                               "it needs molar_mass1,...,molar_mass6 and one row", places);
      !why.empty()) {
    return why;
  }
  if (lines.size() != 2) {
    return std::string(path) + " holds " + std::to_string(lines.size() - 1) +
           " rows of molar masses; it needs exactly one";
  }
  std::vector<std::string_view> cells;
  return read_cells(lines[1], 1, columns.names.size(), columns, places, path, masses, cells);
}

}  // namespace

ReadOutcome parse_csv_run(std::string_view text, std::string_view path, bool molar_masses,
                          const std::string* side, std::string_view side_path) {
  const std::vector<Line> lines = lines_of(text);
  Columns columns;
  if (std::string why = read_header(lines, path, columns); !why.empty()) return refused(why);
  std::vector<std::string> wanted = {"time", "precursor"};
  for (const std::string& name : names_of("bin")) wanted.push_back(name);
  bool mass_columns = false;
  if (molar_masses) {
    for (const std::string& name : names_of("molar_mass")) {
      if (columns.find(name)) mass_columns = true;
    }
    if (mass_columns) {
      for (const std::string& name : names_of("molar_mass")) wanted.push_back(name);
    } else if (side == nullptr) {
      return refused(std::string(path) +
                     " has no molar-mass columns (molar_mass1,...,molar_mass6) and no side file " +
                     config::molar_mass_file(path) + " holds them");
    }
  }
  std::vector<std::size_t> places;
  if (std::string why = locate(columns, wanted, path,
                               mass_columns ? "a run with molar masses needs all six"
                                            : "a run needs time,precursor,bin1,...,bin6",
                               places);
      !why.empty()) {
    return refused(why);
  }
  const std::size_t records = lines.size() - 1;
  if (records < 2) {
    return refused(std::string(path) + " holds " + std::to_string(records) +
                   (records == 1 ? " record" : " records") +
                   "; a fit needs at least 2 (one interval)");
  }
  std::vector<double> side_masses;
  if (molar_masses && !mass_columns) {
    if (std::string why = read_side_file(*side, side_path, side_masses); !why.empty()) {
      return refused(why);
    }
  }
  ReadOutcome out;
  InputArrays& a = out.arrays;
  a.time.reserve(records);
  a.precursor.reserve(records);
  a.bins.reserve(records * kBins);
  if (molar_masses) a.molar_masses.reserve(records * kBins);
  std::vector<double> values;
  std::vector<std::string_view> cells;
  for (std::size_t r = 1; r <= records; ++r) {
    const Line& line = lines[r];
    if (std::string why =
            read_cells(line, r, columns.names.size(), columns, places, path, values, cells);
        !why.empty()) {
      return refused(why);
    }
    if (r > 1 && !(values[0] > a.time.back())) {
      return refused(std::string(path) + " line " + std::to_string(line.number) + " (record " +
                     std::to_string(r) + "): time " + shortest(values[0]) +
                     " does not follow time " + shortest(a.time.back()) +
                     " of the record before; time must increase from record to record");
    }
    a.time.push_back(values[0]);
    a.precursor.push_back(values[1]);
    a.bins.insert(a.bins.end(), values.begin() + 2, values.begin() + 2 + kBins);
    if (mass_columns) {
      a.molar_masses.insert(a.molar_masses.end(), values.begin() + 2 + kBins, values.end());
    } else if (molar_masses) {
      a.molar_masses.insert(a.molar_masses.end(), side_masses.begin(), side_masses.end());
    }
  }
  return out;
}

namespace {

// Reads the file at `path` whole into `text`. Returns why it cannot, or empty.
std::string read_file(const std::string& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
  char buffer[1 << 16];
  std::string why;
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      why = "cannot read " + path + ": " + std::strerror(errno);
      break;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return why;
}

}  // namespace

ReadOutcome read_csv_run(const std::string& path, bool molar_masses) {
  std::string text;
  if (std::string why = read_file(path, text); !why.empty()) return refused(why);
  // The side file is read only when the run has no molar-mass columns.
  const std::string side_path = config::molar_mass_file(path);
  std::string side;
  bool have_side = false;
  if (molar_masses && ::access(side_path.c_str(), F_OK) == 0) {
    if (std::string why = read_file(side_path, side); !why.empty()) return refused(why);
    have_side = true;
  }
  return parse_csv_run(text, path, molar_masses, have_side ? &side : nullptr, side_path);
}

std::string parse_netcdf_names(std::string_view mapping, NetcdfNames& names) {
  NetcdfNames mapped = names;
  std::vector<std::string> seen;
  while (!mapping.empty()) {
    const std::size_t comma = mapping.find(',');
    const std::string_view item = trim(mapping.substr(0, comma));
    mapping.remove_prefix(comma == std::string_view::npos ? mapping.size() : comma + 1);
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      return "'" + std::string(item) + "' is not NAME=VARIABLE";
    }
    const std::string key(trim(item.substr(0, equals)));
    const std::string variable(trim(item.substr(equals + 1)));
    if (variable.empty()) return key + " is mapped to no variable";
    std::string* target = nullptr;
    if (key == "time") target = &mapped.time;
    if (key == "precursor") target = &mapped.precursor;
    for (int j = 1; j <= kBins; ++j) {
      if (key == bin_name("bin", j)) target = &mapped.bins[j - 1];
      if (key == bin_name("molar_mass", j)) target = &mapped.molar_masses[j - 1];
    }
    if (target == nullptr) {
      return "'" + key +
             "' is not a name to map: time, precursor, bin1 ... bin6, molar_mass1 ... "
             "molar_mass6";
    }
    for (const std::string& s : seen) {
      if (s == key) return key + " is mapped twice";
    }
    seen.push_back(key);
    *target = variable;
  }
  names = mapped;
  return {};
}

double seconds_per_unit(std::string_view units) {
  units = trim(units);
  // CF's "UNIT since DATE": only the unit matters to intervals.
  if (const std::size_t since = units.find(" since "); since != std::string_view::npos) {
    units = trim(units.substr(0, since));
  }
  struct Unit {
    std::string_view name;
    double seconds;
  };
  static constexpr Unit kUnits[] = {
      {"s", 1.0},       {"sec", 1.0},      {"second", 1.0},   {"seconds", 1.0},
      {"min", 60.0},    {"minute", 60.0},  {"minutes", 60.0}, {"h", 3600.0},
      {"hr", 3600.0},   {"hour", 3600.0},  {"hours", 3600.0}, {"d", 86400.0},
      {"day", 86400.0}, {"days", 86400.0},
  };
  for (const Unit& u : kUnits) {
    if (units == u.name) return u.seconds;
  }
  return 0.0;
}

}  // namespace driver
