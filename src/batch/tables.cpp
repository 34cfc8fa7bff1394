#include "batch/tables.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "batch/species_table.hpp"
#include "batch/files.hpp"
#include "config/config.hpp"

namespace batch {
namespace {

TableWrittenHook g_table_written = nullptr;

template <typename Source, std::size_t N>
CsvRow row_of(const std::array<Column<Source>, N>& columns, const Source& source) {
  CsvRow row;
  row.reserve(N);
  for (const Column<Source>& c : columns) row.push_back(c.value(source));
  return row;
}

// The coefficients and fits rows of one fitted configuration.
void add_fit_rows(const Configuration& c, const FitNumbers& numbers, Tables& tables) {
  for (int r = 1; r <= config::kBins; ++r) {
    const BinFit& bin = numbers.bins[r - 1];
    for (int t = 0; t < config::kCoefficients; ++t) {
      tables.coefficients.push_back(row_of(kCoefficientsColumns, {c, r, t, bin}));
    }
    tables.fits.push_back(row_of(kFitsColumns, {c, r, bin.quality}));
  }
}

}  // namespace

std::string column_values::yes_no(bool value) { return value ? "true" : "false"; }

const CsvRow& runs_header() {
  static const CsvRow header = header_of(kRunsColumns);
  return header;
}

const CsvRow& coefficients_header() {
  static const CsvRow header = header_of(kCoefficientsColumns);
  return header;
}

const CsvRow& fits_header() {
  static const CsvRow header = header_of(kFitsColumns);
  return header;
}

void add_rows(const RunEntry& entry, const Outcome& outcome, const config::RateConstants& rates,
              Tables& tables) {
  tables.runs.push_back(row_of(kRunsColumns, {entry, outcome, rates}));
  if (outcome.numbers) add_fit_rows(entry.config, *outcome.numbers, tables);
}

Tables table_rows(const std::vector<RunEntry>& entries, const std::vector<Outcome>& outcomes) {
  Tables tables;
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const Configuration& c = entries[n].config;
    add_rows(entries[n], outcomes[n], config::rate_constants(species_row(c.species), c.tag),
             tables);
  }
  return tables;
}

void set_table_written_hook(TableWrittenHook hook) { g_table_written = hook; }

std::string write_tables(const std::string& report, const Tables& tables,
                         const std::function<std::string()>& before_runs) {
  const std::string runs = report + "/" + kRunsTable;
  if (::unlink(runs.c_str()) != 0 && errno != ENOENT) {
    return "cannot remove " + runs + ": " + std::strerror(errno);
  }
  const std::pair<const char*, std::string> files[] = {
      {kCoefficientsTable, csv_text(coefficients_header(), tables.coefficients)},
      {kFitsTable, csv_text(fits_header(), tables.fits)},
      {kRunsTable, csv_text(runs_header(), tables.runs)},
  };
  for (const auto& [name, text] : files) {
    if (name == kRunsTable && before_runs) {
      if (std::string error = before_runs(); !error.empty()) return error;
    }
    std::string error = write_file_atomically(report + "/" + name, text);
    if (!error.empty()) return error;
    if (g_table_written != nullptr) g_table_written(name);
  }
  return {};
}

}  // namespace batch
