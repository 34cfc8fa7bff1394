// Runs stored by another box model: the formats vbsfit-batch reads besides
// the fixed text layout, and where a configuration's run is found. Pure
// functions, no state.
//
// A path pattern names one file per run, relative to the working directory,
// with {species} and {scenario} standing for the configuration's names
// ("../INPUTS_CSV/{scenario}_aer.{species}.csv"); "{{" and "}}" stand for a
// brace.
#pragma once

#include <string>
#include <string_view>

namespace config {

enum class InputFormat { fixed, csv, netcdf };

// "fixed", "csv", "netcdf"; and back (false for another name).
std::string_view format_name(InputFormat format);
bool format_from_name(std::string_view name, InputFormat& format);

// The pattern a study of `format` uses when none is given: beside the fixed
// layout's INPUTS_ODE, "../INPUTS_CSV/{scenario}_aer.{species}.csv" and
// "../INPUTS_NETCDF/{scenario}_aer.{species}.nc". Empty for the fixed layout,
// whose paths are its own (input_paths).
std::string_view default_run_pattern(InputFormat format);

// Why `pattern` cannot name runs (empty, a brace left open, a name other than
// species or scenario in braces), or empty.
std::string pattern_fault(std::string_view pattern);

// The file of one run: `pattern` (free of pattern_fault) with the names put in.
std::string run_file_path(std::string_view pattern, std::string_view species,
                          std::string_view scenario);

// The side file of a CSV run that holds its six molar masses: the run's path
// with ".csv" (when it ends so) replaced by ".molar_masses.csv".
std::string molar_mass_file(std::string_view run_path);

}  // namespace config
