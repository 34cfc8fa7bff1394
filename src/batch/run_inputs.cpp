#include "batch/run_inputs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "batch/files.hpp"
#include "config/config.hpp"

namespace batch {
namespace {

InputSource g_source;

bool standard_layout(const RunEntry& entry) {
  return config::layout_of(entry.species.row) == config::Layout::standard;
}

// A path as a pattern that names only it: its braces doubled.
std::string literal_pattern(const std::string& path) {
  std::string pattern;
  for (char c : path) {
    pattern += c;
    if (c == '{' || c == '}') pattern += c;
  }
  return pattern;
}

// Writes all of `text` to `fd`. False when it cannot.
bool write_text(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

[[noreturn]] void end_run(const std::string& progress, const std::string& message, int status) {
  write_text(STDOUT_FILENO, progress);
  if (!message.empty()) write_text(STDERR_FILENO, "vbsfit: " + message + "\n");
  ::_exit(status);
}

}  // namespace

std::string make_input_source(std::string_view format, const std::string& pattern,
                              const std::string& variables, InputSource& source) {
  InputSource made;
  if (!config::format_from_name(format, made.format)) {
    return "--input-format must be 'fixed', 'csv' or 'netcdf', not '" + std::string(format) + "'";
  }
  if (made.format == config::InputFormat::fixed) {
    if (!pattern.empty()) {
      return "--inputs applies to --input-format csv or netcdf; the fixed layout's paths are "
             "its own";
    }
  } else {
    made.pattern = pattern.empty() ? std::string(config::default_run_pattern(made.format)) : pattern;
    if (std::string fault = config::pattern_fault(made.pattern); !fault.empty()) {
      return "--inputs '" + made.pattern + "': " + fault;
    }
  }
  if (!variables.empty()) {
    if (made.format != config::InputFormat::netcdf) {
      return "--netcdf-variables applies to --input-format netcdf only";
    }
    if (std::string fault = driver::parse_netcdf_names(variables, made.names); !fault.empty()) {
      return "--netcdf-variables: " + fault;
    }
    made.variables = variables;
  }
  source = std::move(made);
  return {};
}

void set_input_source(InputSource source) { g_source = std::move(source); }
const InputSource& input_source() { return g_source; }

bool recorded_source(const study::ConfigurationRecord& record, InputSource& source) {
  InputSource made;
  if (!config::format_from_name(record.input_format, made.format)) return false;
  if (made.format != config::InputFormat::fixed) {
    made.pattern = literal_pattern(record.inputs[study::kPrecursor].path);
  }
  if (!record.input_variables.empty()) {
    if (!driver::parse_netcdf_names(record.input_variables, made.names).empty()) return false;
    made.variables = record.input_variables;
  }
  source = std::move(made);
  return true;
}

std::string in_workdir(const std::string& workdir, const std::string& path) {
  return path.starts_with('/') ? path : join(workdir, path);
}

std::array<std::string, 3> run_input_paths(const InputSource& source, const RunEntry& entry,
                                           const std::string& workdir) {
  const Configuration& c = entry.config;
  if (source.format == config::InputFormat::fixed) {
    const config::InputPaths paths = config::input_paths(c.species, c.scenario, entry.species.row);
    return {paths.precursor, paths.bins, standard_layout(entry) ? paths.molar_masses : ""};
  }
  const std::string run = config::run_file_path(source.pattern, c.species, c.scenario);
  std::string side;
  if (source.format == config::InputFormat::csv && standard_layout(entry)) {
    side = config::molar_mass_file(run);
    if (::access(in_workdir(workdir, side).c_str(), F_OK) != 0) side.clear();
  }
  return {run, "", side};
}

driver::ReadOutcome read_run(const InputSource& source, const RunEntry& entry,
                             const std::string& workdir) {
  const Configuration& c = entry.config;
  if (source.format == config::InputFormat::fixed) {
    return driver::read_inputs(workdir, c.species, c.scenario, &entry.species.row);
  }
  const std::string path = config::run_file_path(source.pattern, c.species, c.scenario);
  const std::string file = workdir.empty() || workdir == "." ? path : in_workdir(workdir, path);
  driver::ReadOutcome read =
      source.format == config::InputFormat::csv
          ? driver::read_csv_run(file, standard_layout(entry))
          : driver::read_netcdf_run(file, source.names, standard_layout(entry));
  return read;
}

void run_from_file(const InputSource& source, const RunEntry& entry) {
  const Configuration& c = entry.config;
  const driver::ReadOutcome read = read_run(source, entry, ".");
  if (!read.ending.ok()) end_run("", read.ending.message, read.ending.status);
  const driver::InputArrays& a = read.arrays;
  const driver::FitInput input{a.time,    a.precursor, a.bins,
                               a.molar_masses, c.species, c.scenario,
                               c.tag,     config::rate_constants(entry.species.row, c.tag)};
  const driver::FitOutcome fit = driver::fit_in_memory(input);
  if (!fit.ending.ok()) {
    // The solver's stop prints its message among the progress lines.
    const bool printed = fit.ending.kind == driver::Ending::Kind::solver &&
                         fit.progress.find(fit.ending.message) != std::string::npos;
    end_run(fit.progress, printed ? "" : fit.ending.message, fit.ending.status);
  }
  const std::string results = config::results_path(c.species, c.scenario, c.tag);
  if (std::string why = write_file_atomically(results, fit.results_text); !why.empty()) {
    end_run(fit.progress, "cannot write the results file: " + why, 1);
  }
  end_run(fit.progress, "", 0);
}

}  // namespace batch
