// The study's tables as columns: one array per table naming each column and
// how a row's field is bound into an INSERT and read back from a SELECT, from
// which the statements' column lists, their parameters and the bindings are
// all made. A column is added to the record by adding it to the schema
// (schema.cpp) and one line here. For the study's own use.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "study/statement.hpp"
#include "study/study.hpp"

namespace study {

// What a record's digest reads of a row: each value as the database keeps
// it, written with its length so that no two rows read alike; NULL (an
// absent value, a NaN, an empty text kept as NULL) is one mark of its own.
class Serial {
 public:
  void null() { bytes_ += 'N'; }
  void text(const std::string& value) {
    bytes_ += 'T';
    integer(static_cast<std::int64_t>(value.size()));
    bytes_ += value;
  }
  void integer(std::int64_t value) {
    bytes_ += 'I';
    for (int n = 0; n < 8; ++n) {
      bytes_ += static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * n)) & 0xff);
    }
  }
  void real(double value) {
    if (std::isnan(value)) return null();
    bytes_ += 'R';
    integer(std::bit_cast<std::int64_t>(value));
  }
  std::string take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

template <typename Row>
struct Column {
  std::string_view name;
  void (*bind)(Statement& statement, int parameter, const Row& row);
  // False when the stored text is not what the field holds.
  bool (*read)(const Statement& statement, int column, Row& row);
  // Writes the value to a digest; null for the tables no digest covers.
  void (*serialise)(Serial& out, const Row& row) = nullptr;
};

// Each field type's binding and reading; NaN and absent values are NULL.
inline void bind_value(Statement& s, int n, const std::string& v) { s.bind(n, v); }
inline void bind_value(Statement& s, int n, std::int64_t v) { s.bind(n, v); }
inline void bind_value(Statement& s, int n, int v) { s.bind(n, std::int64_t{v}); }
inline void bind_value(Statement& s, int n, bool v) { s.bind(n, std::int64_t{v}); }
inline void bind_value(Statement& s, int n, double v) { s.bind(n, v); }
inline void bind_value(Statement& s, int n, std::optional<int> v) { s.bind(n, v); }
inline void bind_value(Statement& s, int n, std::optional<double> v) { s.bind(n, v); }

inline void serialise_value(Serial& s, const std::string& v) { s.text(v); }
inline void serialise_value(Serial& s, std::int64_t v) { s.integer(v); }
inline void serialise_value(Serial& s, int v) { s.integer(v); }
inline void serialise_value(Serial& s, bool v) { s.integer(v); }
inline void serialise_value(Serial& s, double v) { s.real(v); }
template <typename T>
void serialise_value(Serial& s, const std::optional<T>& v) {
  if (v) {
    serialise_value(s, *v);
  } else {
    s.null();
  }
}

inline void read_value(const Statement& s, int n, std::string& v) { v = s.text(n); }
inline void read_value(const Statement& s, int n, std::int64_t& v) { v = s.integer64(n); }
inline void read_value(const Statement& s, int n, int& v) { v = s.integer(n); }
inline void read_value(const Statement& s, int n, bool& v) { v = s.integer(n) != 0; }
inline void read_value(const Statement& s, int n, double& v) { v = s.real(n); }
inline void read_value(const Statement& s, int n, std::optional<int>& v) {
  v = s.optional_integer(n);
}
inline void read_value(const Statement& s, int n, std::optional<double>& v) {
  v = s.optional_real(n);
}

// A column of the field that `field` (a lambda from a row to its field)
// gives.
template <typename Row, auto field>
constexpr Column<Row> column(std::string_view name) {
  return {name, [](Statement& s, int n, const Row& row) { bind_value(s, n, field(row)); },
          [](const Statement& s, int n, Row& row) {
            read_value(s, n, field(row));
            return true;
          },
          [](Serial& out, const Row& row) { serialise_value(out, field(row)); }};
}

// A column of text that is NULL when the text is empty (and reads back
// empty).
template <typename Row, auto field>
constexpr Column<Row> text_or_null(std::string_view name) {
  return {name,
          [](Statement& s, int n, const Row& row) {
            if (field(row).empty()) {
              s.bind_null(n);
            } else {
              s.bind(n, field(row));
            }
          },
          [](const Statement& s, int n, Row& row) {
            field(row) = s.text(n);
            return true;
          },
          [](Serial& out, const Row& row) {
            if (field(row).empty()) {
              out.null();
            } else {
              out.text(field(row));
            }
          }};
}

// A column of one field of an input file: all four are NULL for an input
// the configuration has none of (an empty path).
template <Input input, auto member>
constexpr Column<ConfigurationRecord> input_column(std::string_view name) {
  return {name,
          [](Statement& s, int n, const ConfigurationRecord& c) {
            const FileRecord& file = c.inputs[input];
            if (file.path.empty()) {
              s.bind_null(n);
            } else {
              bind_value(s, n, file.*member);
            }
          },
          [](const Statement& s, int n, ConfigurationRecord& c) {
            read_value(s, n, c.inputs[input].*member);
            return true;
          },
          [](Serial& out, const ConfigurationRecord& c) {
            const FileRecord& file = c.inputs[input];
            if (file.path.empty()) {
              out.null();
            } else {
              serialise_value(out, file.*member);
            }
          }};
}

// The row of `configurations` but for its digest (the last column, which
// came with schema version 2: see kDigestColumn).
inline constexpr std::array<Column<ConfigurationRecord>, 40> kConfigurationColumns = {{
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.key.species; }>("species"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.key.scenario; }>("scenario"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.key.tag; }>("tag"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.run; }>("run"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.known_species; }>("known_species"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.state; }>("state"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.exit_status; }>("exit_status"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.message; }>("message"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.results_path; }>("results_path"),
    text_or_null<ConfigurationRecord, [](auto& c) -> auto& { return c.results_sha256; }>(
        "results_sha256"),
    input_column<kPrecursor, &FileRecord::path>("precursor_path"),
    input_column<kPrecursor, &FileRecord::size>("precursor_size"),
    input_column<kPrecursor, &FileRecord::mtime_ns>("precursor_mtime_ns"),
    input_column<kPrecursor, &FileRecord::sha256>("precursor_sha256"),
    input_column<kBins, &FileRecord::path>("bins_path"),
    input_column<kBins, &FileRecord::size>("bins_size"),
    input_column<kBins, &FileRecord::mtime_ns>("bins_mtime_ns"),
    input_column<kBins, &FileRecord::sha256>("bins_sha256"),
    input_column<kMolarMasses, &FileRecord::path>("molar_masses_path"),
    input_column<kMolarMasses, &FileRecord::size>("molar_masses_size"),
    input_column<kMolarMasses, &FileRecord::mtime_ns>("molar_masses_mtime_ns"),
    input_column<kMolarMasses, &FileRecord::sha256>("molar_masses_sha256"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.kp; }>("kp"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.k[0]; }>("k1"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.k[1]; }>("k2"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.k[2]; }>("k3"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.k[3]; }>("k4"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.k[4]; }>("k5"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.k[5]; }>("k6"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.wmol[0]; }>("wmol1"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.wmol[1]; }>("wmol2"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.wmol[2]; }>("wmol3"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.wmol[3]; }>("wmol4"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.wmol[4]; }>("wmol5"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.wmol[5]; }>("wmol6"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.undetermined; }>("undetermined"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.misfit; }>("misfit"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.seconds; }>("seconds"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.records; }>("records"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.batch; }>("batch"),
}};
// The format the inputs were read in, after the replay figures (schema
// version 5; NULL, in an earlier row, reads as "fixed").
inline constexpr std::array<Column<ConfigurationRecord>, 2> kInputFormatColumns = {{
    {"input_format",
     [](Statement& s, int n, const ConfigurationRecord& c) { s.bind(n, c.input_format); },
     [](const Statement& s, int n, ConfigurationRecord& c) {
       c.input_format = s.text(n);
       if (c.input_format.empty()) c.input_format = "fixed";
       return true;
     },
     [](Serial& out, const ConfigurationRecord& c) { out.text(c.input_format); }},
    text_or_null<ConfigurationRecord, [](auto& c) -> auto& { return c.input_variables; }>(
        "input_variables"),
}};

// The record's digest, kept after the row's other columns (NULL: unhashed).
inline constexpr std::string_view kDigestColumn = "record_sha256";

// The replay figures of the configuration's fit, after the digest (they came
// with schema version 5).
inline constexpr std::array<Column<ConfigurationRecord>, 4> kConfigurationReplayColumns = {{
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.replay_total_error; }>(
        "replay_total_error"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.replay_total_rms_error; }>(
        "replay_total_rms_error"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.replay_mass_error; }>(
        "replay_mass_error"),
    column<ConfigurationRecord, [](auto& c) -> auto& { return c.replay_mass_rms_error; }>(
        "replay_mass_rms_error"),
}};

// A fit in history keeps every column of the configuration's row as the fit
// made it: the record's, its replay figures and its inputs' format.
inline constexpr auto kHistoryColumns = [] {
  std::array<Column<ConfigurationRecord>, kConfigurationColumns.size() +
                                              kConfigurationReplayColumns.size() +
                                              kInputFormatColumns.size()>
      all{};
  auto at = std::copy(kConfigurationColumns.begin(), kConfigurationColumns.end(), all.begin());
  at = std::copy(kConfigurationReplayColumns.begin(), kConfigurationReplayColumns.end(), at);
  std::copy(kInputFormatColumns.begin(), kInputFormatColumns.end(), at);
  return all;
}();

// The tables of a configuration's rows, each after its key (species,
// scenario, tag: kKeyColumns).
inline constexpr std::array<std::string_view, 3> kKeyColumns = {"species", "scenario", "tag"};

// ols_standard_error comes last: a study of schema 3 and before lacks it.
inline constexpr std::array<Column<CoefficientRow>, 9> kCoefficientColumns = {{
    column<CoefficientRow, [](auto& r) -> auto& { return r.target_bin; }>("target_bin"),
    column<CoefficientRow, [](auto& r) -> auto& { return r.term; }>("term"),
    column<CoefficientRow, [](auto& r) -> auto& { return r.coefficient; }>("coefficient"),
    column<CoefficientRow, [](auto& r) -> auto& { return r.lower; }>("lower"),
    column<CoefficientRow, [](auto& r) -> auto& { return r.upper; }>("upper"),
    column<CoefficientRow, [](auto& r) -> auto& { return r.at_bound; }>("at_bound"),
    column<CoefficientRow, [](auto& r) -> auto& { return r.standard_error; }>("standard_error"),
    column<CoefficientRow, [](auto& r) -> auto& { return r.flag; }>("flag"),
    column<CoefficientRow, [](auto& r) -> auto& { return r.ols_standard_error; }>(
        "ols_standard_error"),
}};

// drift and the replay errors came with schema version 5.
inline constexpr std::array<Column<FitRow>, 10> kFitColumns = {{
    column<FitRow, [](auto& r) -> auto& { return r.target_bin; }>("target_bin"),
    column<FitRow, [](auto& r) -> auto& { return r.rss; }>("rss"),
    column<FitRow, [](auto& r) -> auto& { return r.rms; }>("rms"),
    column<FitRow, [](auto& r) -> auto& { return r.r_squared; }>("r_squared"),
    column<FitRow, [](auto& r) -> auto& { return r.relative_residual; }>("relative_residual"),
    column<FitRow, [](auto& r) -> auto& { return r.autocorrelation; }>("autocorrelation"),
    column<FitRow, [](auto& r) -> auto& { return r.misfit; }>("misfit"),
    column<FitRow, [](auto& r) -> auto& { return r.drift; }>("drift"),
    column<FitRow, [](auto& r) -> auto& { return r.replay_error; }>("replay_error"),
    column<FitRow, [](auto& r) -> auto& { return r.replay_rms_error; }>("replay_rms_error"),
}};

inline constexpr std::array<Column<ModelRow>, 4> kModelColumns = {{
    column<ModelRow, [](auto& r) -> auto& { return r.total_rss; }>("total_rss"),
    column<ModelRow, [](auto& r) -> auto& { return r.aic; }>("aic"),
    column<ModelRow, [](auto& r) -> auto& { return r.k; }>("k"),
    column<ModelRow, [](auto& r) -> auto& { return r.preferred; }>("preferred"),
}};

// `batches` after its id (which the database gives a new batch), and
// `species_rows` after its batch.
extern const std::array<Column<BatchRecord>, 13> kBatchColumns;

inline constexpr std::array<Column<SpeciesRow>, 5> kSpeciesColumns = {{
    column<SpeciesRow, [](auto& r) -> auto& { return r.name; }>("name"),
    column<SpeciesRow, [](auto& r) -> auto& { return r.kp; }>("kp"),
    column<SpeciesRow, [](auto& r) -> auto& { return r.multiplier; }>("multiplier"),
    column<SpeciesRow, [](auto& r) -> auto& { return r.multiplier6; }>("multiplier6"),
    column<SpeciesRow, [](auto& r) -> auto& { return r.layout; }>("layout"),
}};
// Where a species row came from: the last column of `species_rows`, which
// came with schema version 3 (a study of an earlier one has none to read).
inline constexpr Column<SpeciesRow> kSpeciesSourceColumn =
    text_or_null<SpeciesRow, [](auto& r) -> auto& { return r.source; }>("source");

// What kind of row of `batches` it is: its last column, which came with
// schema version 5 (NULL, in a study upgraded from 4: a batch).
inline constexpr Column<BatchRecord> kBatchKindColumn = {
    "kind", [](Statement& s, int n, const BatchRecord& b) { s.bind(n, b.kind); },
    [](const Statement& s, int n, BatchRecord& b) {
      b.kind = s.null(n) ? std::string(kBatchKind) : s.text(n);
      return true;
    }};

// The columns of `configurations` after its digest: its current fit and
// the batch that last ran it (schema version 5); NULL for none.
inline constexpr std::array<std::string_view, 2> kCurrentColumns = {"fit", "ran_by"};

// "a, b, c": the leading names, the columns', then the trailing names.
template <typename Row>
std::string column_list(std::span<const std::string_view> leading,
                        std::span<const Column<Row>> columns,
                        std::span<const std::string_view> trailing = {}) {
  std::string list;
  const auto add = [&](std::string_view name) {
    list += (list.empty() ? "" : ", ") + std::string(name);
  };
  for (std::string_view name : leading) add(name);
  for (const Column<Row>& c : columns) add(c.name);
  for (std::string_view name : trailing) add(name);
  return list;
}

// "INSERT INTO table (leading..., columns..., trailing...) VALUES (?1, ?2,
// ...)": the leading columns are parameters 1 ..., the row's follow them,
// then the trailing ones.
template <typename Row>
std::string insert_sql(std::string_view table, std::span<const std::string_view> leading,
                       std::span<const Column<Row>> columns,
                       std::span<const std::string_view> trailing = {}) {
  std::string values;
  const std::size_t count = leading.size() + columns.size() + trailing.size();
  for (std::size_t n = 1; n <= count; ++n) values += (n > 1 ? ", ?" : "?") + std::to_string(n);
  return "INSERT INTO " + std::string(table) + " (" + column_list(leading, columns, trailing) +
         ") VALUES (" + values + ")";
}

// Binds `row` to the parameters from `first` on.
template <typename Row>
void bind_row(Statement& statement, int first, std::span<const Column<Row>> columns,
              const Row& row) {
  for (const Column<Row>& c : columns) c.bind(statement, first++, row);
}

// Reads `row` from the result columns from `first` on. Returns the column
// whose text is not what its field holds, or nullptr.
template <typename Row>
const Column<Row>* read_row(const Statement& statement, int first,
                            std::span<const Column<Row>> columns, Row& row) {
  for (const Column<Row>& c : columns) {
    if (!c.read(statement, first++, row)) return &c;
  }
  return nullptr;
}

}  // namespace study
