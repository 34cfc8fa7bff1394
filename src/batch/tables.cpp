#include "batch/tables.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <cstdio>
#include <string_view>

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

std::string manifest_text(const Manifest& manifest) {
  char fingerprint[17];
  std::snprintf(fingerprint, sizeof fingerprint, "%016llx",
                static_cast<unsigned long long>(manifest.fingerprint));
  return "shard: " + std::to_string(manifest.shard.index) + "/" +
         std::to_string(manifest.shard.count) + "\nconfigurations: " +
         std::to_string(manifest.total) + "\nrun set: " + fingerprint +
         "\nse limit: " + csv_number(manifest.se_limit) + "\n";
}

std::string parse_manifest(const std::string& text, Manifest& manifest) {
  Manifest read;
  bool have_shard = false, have_total = false, have_fingerprint = false, have_limit = false;
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    const std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, colon);
    const std::string_view value = line.substr(colon + 2);
    const char* last = value.data() + value.size();
    if (key == "shard") {
      have_shard = parse_shard(value, read.shard);
    } else if (key == "configurations") {
      auto result = std::from_chars(value.data(), last, read.total);
      have_total = result.ec == std::errc() && result.ptr == last && read.total >= 0;
    } else if (key == "run set") {
      auto result = std::from_chars(value.data(), last, read.fingerprint, 16);
      have_fingerprint = result.ec == std::errc() && result.ptr == last;
    } else if (key == "se limit") {
      auto result = std::from_chars(value.data(), last, read.se_limit);
      have_limit = result.ec == std::errc() && result.ptr == last && read.se_limit > 0.0;
    }
  }
  if (!have_shard || !have_total || !have_fingerprint || !have_limit) {
    return "it does not say which shard of which run set it holds, and with which --se-limit";
  }
  manifest = read;
  return {};
}

}  // namespace batch
