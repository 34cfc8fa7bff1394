#include "batch/tables.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "batch/test_points.hpp"
#include "batch/files.hpp"
#include "config/config.hpp"

namespace batch {
namespace {

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
    const quality::BinFigures& bin = numbers.bins[r - 1];
    for (int t = 0; t < config::kCoefficients; ++t) {
      tables.coefficients.push_back(row_of(kCoefficientsColumns, {c, r, t, bin}));
    }
    tables.fits.push_back(row_of(kFitsColumns, {c, r, bin}));
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

const CsvRow& models_header() {
  static const CsvRow header = header_of(kModelsColumns);
  return header;
}

std::vector<CsvRow> models_rows(const std::string& species, const std::string& scenario,
                                std::span<const quality::Candidate> candidates,
                                std::span<const ReplayTotals> replays) {
  const quality::Comparison comparison = quality::compare_models(candidates);
  std::vector<CsvRow> rows;
  for (std::size_t n = 0; n < candidates.size(); ++n) {
    const ModelRowSource source{species, scenario, candidates[n], comparison.scores[n],
                                static_cast<int>(n) == comparison.preferred,
                                n < replays.size() ? replays[n] : ReplayTotals{}};
    CsvRow& row = rows.emplace_back();
    for (const Column<ModelRowSource>& c : kModelsColumns) row.push_back(c.value(source));
  }
  return rows;
}

void add_rows(const RunEntry& entry, const Outcome& outcome, const config::RateConstants& rates,
              Tables& tables) {
  tables.runs.push_back(row_of(kRunsColumns, {entry, outcome, rates}));
  if (outcome.numbers) add_fit_rows(entry.config, *outcome.numbers, tables);
}

Tables table_rows(const std::vector<RunEntry>& entries, const std::vector<Outcome>& outcomes) {
  Tables tables;
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const RunEntry& e = entries[n];
    add_rows(e, outcomes[n], config::rate_constants(e.species.row, e.config.tag), tables);
  }
  return tables;
}


TableWriter::TableWriter(const std::string& report)
    : report_(report),
      coefficients_(report + "/" + kCoefficientsTable),
      fits_(report + "/" + kFitsTable),
      runs_(report + "/" + kRunsTable) {}

std::string TableWriter::open() {
  const std::string runs = report_ + "/" + kRunsTable;
  if (::unlink(runs.c_str()) != 0 && errno != ENOENT) {
    return "cannot remove " + runs + ": " + std::strerror(errno);
  }
  for (auto [file, header] : {std::pair{&coefficients_, &coefficients_header()},
                              {&fits_, &fits_header()}, {&runs_, &runs_header()}}) {
    if (std::string error = file->open(); !error.empty()) return error;
    record_.clear();
    append_csv_record(record_, *header);
    file->append(record_);
  }
  return {};
}

void TableWriter::add(const Tables& rows) {
  struct Table {
    AtomicFile* file;
    const std::vector<CsvRow>* rows;
    TextFields text;
  };
  for (const Table& table : {Table{&coefficients_, &rows.coefficients, kCoefficientsText},
                             Table{&fits_, &rows.fits, kFitsText},
                             Table{&runs_, &rows.runs, kRunsText}}) {
    for (const CsvRow& row : *table.rows) {
      record_.clear();
      append_csv_record(record_, row, table.text);
      table.file->append(record_);
    }
  }
}

std::string TableWriter::commit(const std::function<std::string()>& before_runs) {
  for (auto [name, file] : {std::pair{kCoefficientsTable, &coefficients_},
                            {kFitsTable, &fits_}, {kRunsTable, &runs_}}) {
    if (name == kRunsTable && before_runs) {
      if (std::string error = before_runs(); !error.empty()) return error;
    }
    if (std::string error = file->commit(); !error.empty()) return error;
    reach(TestPoint::table_written, name);
  }
  return {};
}

std::string write_tables(const std::string& report, const Tables& tables,
                         const std::function<std::string()>& before_runs) {
  TableWriter writer(report);
  if (std::string error = writer.open(); !error.empty()) return error;
  writer.add(tables);
  return writer.commit(before_runs);
}

}  // namespace batch
