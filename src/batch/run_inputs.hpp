// Where a study's runs are read from: the fixed layout that vbsfit reads
// (its three files, or two in the ideal layout), or one CSV or NetCDF file
// per run found by a path pattern (--input-format, --inputs,
// --netcdf-variables). A run of another format is fitted by vbsfit's own
// stages in memory (driver/in_memory.hpp) and writes the same results file.
//
// The batch sets the source once, from its command line, before anything
// forks: its runs and analyses, forks of it, read the same one.
#pragma once

#include <array>
#include <string>

#include "batch/run_set.hpp"
#include "config/run_files.hpp"
#include "driver/in_memory.hpp"
#include "driver/run_files.hpp"
#include "study/study.hpp"

namespace batch {

struct InputSource {
  config::InputFormat format = config::InputFormat::fixed;
  std::string pattern;    // csv, netcdf: the run file's path pattern, from the workdir
  std::string variables;  // netcdf: the mapping as given, or empty
  driver::NetcdfNames names;
};

// The source from the options (format, pattern or empty for the default,
// mapping or empty). Returns the usage error, or empty.
std::string make_input_source(std::string_view format, const std::string& pattern,
                              const std::string& variables, InputSource& source);

// The batch's source; the fixed layout until set.
void set_input_source(InputSource source);
const InputSource& input_source();

// The source a configuration's record says it was read from: its format,
// its run file's recorded path, its mapping. False when the record's format
// is none of the three or its mapping does not read.
bool recorded_source(const study::ConfigurationRecord& record, InputSource& source);

// The input files of `entry` relative to the working directory, by
// study::Input: for a CSV run, the run file and its molar masses' side file
// (when there is one in `workdir`); for NetCDF the run file; empty paths for
// the files a format does not have.
std::array<std::string, 3> run_input_paths(const InputSource& source, const RunEntry& entry,
                                           const std::string& workdir);

// Where `path` (relative to the working directory, or absolute) is seen
// from here, the working directory being `workdir`.
std::string in_workdir(const std::string& workdir, const std::string& path);

// The series of `entry`'s run, read from `workdir`.
driver::ReadOutcome read_run(const InputSource& source, const RunEntry& entry,
                             const std::string& workdir);

// A run of a CSV or NetCDF input in the child, which stands in the working
// directory: read, fitted in memory, the results file written and the
// progress lines printed as vbsfit does; refused input ends it with one
// line "vbsfit: ..." on standard error and status 1. Never returns.
[[noreturn]] void run_from_file(const InputSource& source, const RunEntry& entry);

}  // namespace batch
