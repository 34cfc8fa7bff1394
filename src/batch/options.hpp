// The command line of vbsfit-batch: GNU-style options (a value may follow as
// the next argument or after '='), and its --help text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/run_set.hpp"

namespace batch {

// What the program has built in: the start values a vbsfit of this build
// runs with (the default run set), and the version.
struct BuildFacts {
  std::string_view species;
  std::string_view scenario;
  std::string_view tag;
  std::string_view version;
  std::string_view revision;                  // the source's git revision, or empty
  std::string_view program = "vbsfit-batch";  // argv[0], as the study records the command
};

struct Options {
  std::optional<std::string> species;    // comma-separated lists
  std::optional<std::string> scenarios;
  std::optional<std::string> tags;
  std::optional<std::string> plan;       // a file, or "-" for standard input
  std::string workdir = ".";
  std::string input_format = "fixed";    // fixed, csv or netcdf (batch/run_inputs.hpp)
  std::string inputs;                    // the run files' path pattern, or empty: the default
  std::string netcdf_variables;          // NAME=VARIABLE,...
  std::optional<std::string> report;
  std::optional<int> jobs;
  std::optional<Shard> shard;
  std::optional<double> se_limit;        // largest standard error of a determined coefficient
  std::optional<double> misfit_limit;    // largest drift of a bin that fits
  std::optional<double> replay_limit;    // replay error within which no bin is a misfit
  bool pages = true;                     // false: tables only (--no-pages)
  bool merge = false;
  bool allow_mixed_constants = false;    // --merge: join shares fitted with other constants
  enum class Refit { none, stale, all };
  Refit refit = Refit::none;             // --refit (stale results files), --refit=all
  bool forget = false;                   // remove the run set from the study's record
  bool history = false;                  // --forget: their earlier fits too
  bool compare = false;                  // compare two batches or two reports (the operands)
  std::vector<std::string> operands;     // the reports to merge, or the two sides to compare
  bool list_species = false;
  std::optional<std::string> species_table;  // a species table file
  bool allow_unknown_species = false;
  bool dry_run = false;                  // print the run set as a plan and exit
  bool help = false;
  bool version = false;
};

// Reads the command line into `options`. Returns the usage error, or empty.
std::string parse_options(const std::vector<std::string>& args, Options& options);

std::string help_text(const BuildFacts& build, int default_jobs);

// The CPUs this process may run on (what `nproc` says), at least 1.
int available_cpus();

}  // namespace batch
