// Readers of runs stored by another box model, for the fit in memory: one
// CSV file (with an optional side file of molar masses) or one NetCDF file
// per run, into the series FitInput takes. Bad input is refused with where
// it stands: the file, the line or variable, and the record or index.
//
// CSV: a header row naming the columns time (seconds), precursor, bin1 ...
// bin6 and, optionally, molar_mass1 ... molar_mass6 (g/mol), in any order
// (other columns are ignored); then one row per record, at least 2, time
// increasing. Without molar-mass columns they come from the side file
// (config::molar_mass_file): the same six names as header and one row of
// values, which every record takes.
//
// NetCDF: variables of one dimension, the time dimension, named as above or
// mapped (NetcdfNames); a molar mass may instead be a scalar variable, which
// every record takes. Where a variable has a `units` attribute it is checked:
// time in s, min, h or days (also CF's "UNIT since DATE"), converted to
// seconds; the precursor and bins all in one unit; molar masses in g/mol.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "config/config.hpp"
#include "driver/in_memory.hpp"

namespace driver {

// CSV text `text` of the run at `path` (the name messages give). `side` is
// the side file's text and `side_path` its name, or null when there is none.
// Molar masses are read only when `molar_masses` (the standard layout).
ReadOutcome parse_csv_run(std::string_view text, std::string_view path, bool molar_masses,
                          const std::string* side = nullptr, std::string_view side_path = {});

// Reads the CSV run at `path` (and its side file when it has no molar-mass
// columns and `molar_masses`).
ReadOutcome read_csv_run(const std::string& path, bool molar_masses);

// The variables of a NetCDF run: time, precursor, bin1 ... bin6,
// molar_mass1 ... molar_mass6, unless mapped.
struct NetcdfNames {
  std::string time = "time";
  std::string precursor = "precursor";
  std::array<std::string, config::kBins> bins{"bin1", "bin2", "bin3", "bin4", "bin5", "bin6"};
  std::array<std::string, config::kBins> molar_masses{"molar_mass1", "molar_mass2",
                                                      "molar_mass3", "molar_mass4",
                                                      "molar_mass5", "molar_mass6"};
};

// Reads a mapping "time=t,bin1=vb1,..." (each key one of the names above,
// once) into `names`. Returns why it cannot, or empty.
std::string parse_netcdf_names(std::string_view mapping, NetcdfNames& names);

// The NetCDF run at `path`, or held in memory (`bytes`, `path` its name in
// messages). The NetCDF library is not thread-safe: reads take turns.
ReadOutcome read_netcdf_run(const std::string& path, const NetcdfNames& names, bool molar_masses);
ReadOutcome read_netcdf_bytes(std::string_view bytes, std::string_view path,
                              const NetcdfNames& names, bool molar_masses);

// Sets the NetCDF library up (its plugins, its configuration files) once,
// so that the processes a program forks afterwards find it ready instead of
// each doing it again.
void prepare_netcdf();

// The factor that takes time in `units` (a CF units text) to seconds, or 0
// when they are not a time unit of s, min, h or days.
double seconds_per_unit(std::string_view units);

}  // namespace driver
