#include "driver/readers.hpp"

#include <array>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
#include "declare/declare.hpp"
#include "driver/reject.hpp"
#include "textio/formatted.hpp"
#include "textio/list_directed.hpp"

namespace driver {
namespace {

using declare::kBins;
using declare::records;
using declare::PRECURSOR;
using declare::TIME;
using declare::WMOL;
using declare::YKELPO;

// The units the input files are read on; their numbers appear in the
// diagnostics of a missing or unreadable file.
constexpr int kPrecursorUnit = 20;
constexpr int kBinsUnit = 30;
constexpr int kMolarMassUnit = 60;

enum class Header { none, skip_one };
enum class Series { precursor, bins, molar_masses };

// Reads one data record into record t of `series`, with `format` (nullptr:
// list-directed): the time into TIME(t), then the precursor or the six bins
// (`values`, YKELPO or WMOL).
template <typename Series1, typename Series2>
textio::ReadOutcome read_data_record(textio::Unit& unit, const textio::Format* format,
                                     Series series, int t, const Series1& TIME,
                                     const Series1& PRECURSOR, const Series2& values) {
  std::array<double*, kBins + 1> dest{};
  std::size_t count = 0;
  dest[count++] = &TIME(t);
  if (series == Series::precursor) {
    dest[count++] = &PRECURSOR(t);
  } else {
    for (int j = 1; j <= kBins; ++j) dest[count++] = &values(j, t);
  }
  std::span<double* const> list(dest.data(), count);
  return format != nullptr ? textio::read_formatted(unit, *format, list)
                           : textio::read_list(unit, list);
}

// Reads one input file: open with status OLD, skip the header, read the data
// records t = 1 ... records() (1441 in the program; further records are
// never read) and close.
//
// A file that ends before its last data record would leave the rest of the
// series at zero and feed the zeros into the fit; that is bad input, so it
// ends the run with the end-of-file diagnostic for this unit instead.
void read_file(int unit_number, std::string_view directory,
               const textio::FixedText<config::kPathLength>& path, Header header,
               const textio::Format* format, Series series) {
  const auto old_file = textio::OpenStatus::old_file;
  textio::Unit& unit =
      directory.empty()
          ? textio::open_unit(unit_number, path.view(), old_file)
          : textio::open_unit(unit_number,
                              std::string(directory) + "/" + std::string(path.trimmed()), old_file);
  if (header == Header::skip_one) textio::require_complete(unit, textio::read_list(unit, {}));
  const int n = records();
  const auto& values = series == Series::bins ? YKELPO : WMOL;
  // Every record's places found inside the bounds once, for the whole file.
  diagnostics::unchecked_if(
      TIME.contains(1, n) && PRECURSOR.contains(1, n) && values.contains(1, kBins, 1, n),
      [&](const auto& TIME, const auto& PRECURSOR, const auto& values) {
        for (int t = 1; t <= n; ++t) {
          textio::require_complete(
              unit, read_data_record(unit, format, series, t, TIME, PRECURSOR, values));
        }
      },
      TIME, PRECURSOR, values);
  textio::close_unit(unit_number);
}

// The files carry five significant digits: copies of one time agree to this
// fraction of the larger magnitude, and times that differ by more are not
// one time column.
constexpr double kTimeAgreement = 1e-4;

// The time column of one file, as it was read.
struct FileTimes {
  std::string_view path;
  std::vector<double> time;
};

FileTimes times_of(const textio::FixedText<config::kPathLength>& path) {
  FileTimes f{path.trimmed(), std::vector<double>(static_cast<std::size_t>(records()))};
  for (int t = 1; t <= records(); ++t) f.time[t - 1] = TIME(t);
  return f;
}

// Ends the run at the first record whose time differs between two files;
// a fit would otherwise take the last file's times for all of them.
void check_times(const std::vector<FileTimes>& files) {
  const int n = records();
  for (int t = 1; t <= n; ++t) {
    for (std::size_t b = 1; b < files.size(); ++b) {
      for (std::size_t a = 0; a < b; ++a) {
        const double x = files[a].time[t - 1];
        const double y = files[b].time[t - 1];
        // A difference of zero agrees whatever the magnitudes (neither time
        // is NaN then, so neither is the bound): the common case, decided
        // without the bound.
        const double difference = x - y;
        if (difference == 0.0 ||
            std::fabs(difference) <= kTimeAgreement * std::fmax(std::fabs(x), std::fabs(y))) {
          continue;
        }
        reject_input("data record " + std::to_string(t) + ": time " + shortest(x) + " in " +
                     std::string(files[a].path) + " differs from time " + shortest(y) + " in " +
                     std::string(files[b].path) + "; the files must share one time column");
      }
    }
  }
}

}  // namespace

void run_readers(const MainVariables& v, std::string_view directory) {
  std::vector<FileTimes> files;
  if (config::layout_of(config::species_row(v.SPECIES.view(), v.species_row)) ==
      config::Layout::ideal) {
    read_file(kPrecursorUnit, directory, v.FILEP, Header::skip_one, &textio::FMT5,
              Series::precursor);
    files.push_back(times_of(v.FILEP));
    read_file(kBinsUnit, directory, v.FILES, Header::skip_one, nullptr, Series::bins);
    files.push_back(times_of(v.FILES));
  } else {
    read_file(kPrecursorUnit, directory, v.FILEP, Header::skip_one, &textio::FMT4,
              Series::precursor);
    files.push_back(times_of(v.FILEP));
    read_file(kBinsUnit, directory, v.FILES, Header::none, &textio::FMT3, Series::bins);
    files.push_back(times_of(v.FILES));
    read_file(kMolarMassUnit, directory, v.FILEW, Header::none, &textio::FMT3,
              Series::molar_masses);
    files.push_back(times_of(v.FILEW));
  }
  check_times(files);
}

}  // namespace driver
