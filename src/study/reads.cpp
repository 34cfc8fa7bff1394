// Reading the study: one configuration, the whole study, or the study one
// configuration at a time, each in one read transaction.
#include <sqlite3.h>

#include <map>
#include <string>

#include "study/columns.hpp"
#include "study/database.hpp"
#include "study/statement.hpp"
#include "study/study.hpp"

namespace study {

Error Study::find(const Key& key, std::optional<Stored>& found) {
  std::optional<Stored> row;
  Error error = read_transaction([&]() {
    return read_configurations(db_, version_, &key, [&](Stored& stored) {
      row = std::move(stored);
      return false;
    });
  });
  if (error) return error;
  found = std::move(row);
  return {};
}

template <typename Body>
Error Study::read_transaction(Body body) {
  // One read transaction: every SELECT in it sees the same commit.
  if (exec("BEGIN") != SQLITE_OK) return failure("read");
  Error error = body();
  if (error && error.message.empty()) error = failure("read");
  exec(error ? "ROLLBACK" : "COMMIT");
  if (error && !error.refusal && error.message.find(path_) == std::string::npos) {
    error.message = "cannot read " + path_ + ": " + error.message;
  }
  return error;
}

Error Study::read(Snapshot& snapshot) {
  Snapshot read;
  Error error = read_each(read.batches, [&](Stored& stored) {
    read.configurations.push_back(std::move(stored));
    return true;
  });
  if (!error) snapshot = std::move(read);
  return error;
}

Error Study::count(std::size_t& configurations) {
  Statement query(db_, "SELECT count(*) FROM configurations");
  if (!query.row()) return failure("read");
  configurations = static_cast<std::size_t>(query.integer64(0));
  return {};
}

namespace {

// "a, b, c" as column_list makes it, each column that a study of schema
// `version` lacks read as NULL (an absent value).
template <typename Row>
std::string present_list(std::string_view table, int version,
                         std::span<const std::string_view> leading,
                         std::span<const Column<Row>> columns,
                         std::span<const std::string_view> trailing = {}) {
  std::string list;
  const auto add = [&](std::string_view name) {
    list += (list.empty() ? "" : ", ") +
            (added_after(table, name, version) ? std::string("NULL") : std::string(name));
  };
  for (std::string_view name : leading) add(name);
  for (const Column<Row>& c : columns) add(c.name);
  for (std::string_view name : trailing) add(name);
  return list;
}

// Reads the batches, by id, with their species rows (`sourced`: with where
// each row came from, which a study of version 3 records).
Error read_batches(sqlite3* db, int version, std::vector<BatchRecord>& batches) {
  const bool sourced = version >= 3;
  std::map<std::int64_t, std::size_t> index;  // batch id -> its place in batches
  constexpr std::string_view kId[] = {"id"};
  Statement query(db, "SELECT " + present_list<BatchRecord>("batches", version, kId, kBatchColumns) +
                          " FROM batches ORDER BY id");
  while (query.row()) {
    BatchRecord& b = batches.emplace_back();
    b.id = query.integer64(0);
    if (const Column<BatchRecord>* bad = read_row<BatchRecord>(query, 1, kBatchColumns, b)) {
      if (bad->name == "command_line") {
        return Error{"the command line of batch " + std::to_string(b.id) +
                     " is not a JSON array of strings"};
      }
      return Error{"batch " + std::to_string(b.id) + " does not say which run set or shard it ran"};
    }
    index[b.id] = batches.size() - 1;
  }
  if (!query.done()) return Error{sqlite_says(db)};
  constexpr std::string_view kBatch[] = {"batch"};
  constexpr std::string_view kSource[] = {kSpeciesSourceColumn.name};
  const std::span<const std::string_view> source = sourced ? kSource : std::span(kSource, 0);
  Statement species(db, "SELECT " + column_list<SpeciesRow>(kBatch, kSpeciesColumns, source) +
                            " FROM species_rows ORDER BY batch, rowid");
  constexpr int kSourceColumn = static_cast<int>(kSpeciesColumns.size()) + 1;
  while (species.row()) {
    auto at = index.find(species.integer64(0));
    if (at == index.end()) continue;  // the integrity check rules this out
    SpeciesRow& row = batches[at->second].species.emplace_back();
    read_row<SpeciesRow>(species, 1, kSpeciesColumns, row);
    if (sourced) kSpeciesSourceColumn.read(species, kSourceColumn, row);
  }
  if (!species.done()) return Error{sqlite_says(db)};
  return {};
}

// The statements that read a configuration's rows by its key (the tables'
// primary keys): the coefficients in term order, the precursor's, then the
// bins' (whose labels VB1 ... VB6 sort as text).
struct RowQueries {
  static constexpr const char* kOfKey = " WHERE species = ?1 AND scenario = ?2 AND tag = ?3";
  // `ols`: the table has ols_standard_error (version 4); without it, the
  // standard error stands in for it, which is of the same kind there.
  RowQueries(sqlite3* db, int version)
      : coefficients(db, "SELECT " + coefficient_list(version >= 4) + " FROM coefficients" +
                             kOfKey + " ORDER BY target_bin, term <> ?4, term"),
        fits(db, "SELECT " + present_list<FitRow>("fits", version, {}, kFitColumns) + " FROM fits" +
                     kOfKey + " ORDER BY target_bin"),
        models(db, "SELECT " + column_list<ModelRow>({}, kModelColumns) + " FROM models" +
                       kOfKey) {}
  static std::string coefficient_list(bool ols) {
    constexpr std::string_view kStandardError[] = {"standard_error"};
    const std::span<const Column<CoefficientRow>> all = kCoefficientColumns;
    return ols ? column_list<CoefficientRow>({}, all)
               : column_list<CoefficientRow>({}, all.first(all.size() - 1), kStandardError);
  }
  Statement coefficients;
  Statement fits;
  Statement models;
};

// Reads the coefficients, fits and model of `stored`'s configuration into
// it. Returns false on an error of the database.
bool read_rows(RowQueries& queries, Stored& stored) {
  Statement& coefficients = queries.coefficients;
  coefficients.reset();
  coefficients.bind_key(stored.record.key);
  coefficients.bind(4, config::term_label(0));
  while (coefficients.row()) {
    read_row<CoefficientRow>(coefficients, 0, kCoefficientColumns,
                             stored.coefficients.emplace_back());
  }
  if (!coefficients.done()) return false;
  Statement& fits = queries.fits;
  fits.reset();
  fits.bind_key(stored.record.key);
  while (fits.row()) read_row<FitRow>(fits, 0, kFitColumns, stored.fits.emplace_back());
  if (!fits.done()) return false;
  Statement& models = queries.models;
  models.reset();
  models.bind_key(stored.record.key);
  if (models.row()) {
    read_row<ModelRow>(models, 0, kModelColumns, stored.model.emplace());
    return true;
  }
  return models.done();
}

}  // namespace

Error Study::read_each(std::vector<BatchRecord>& batches,
                       const std::function<bool(Stored&)>& visit) {
  return read_transaction([&]() -> Error {
    std::vector<BatchRecord> read;
    if (Error e = read_batches(db_, version_, read)) return e;
    batches = std::move(read);
    return read_configurations(db_, version_, nullptr, visit);
  });
}

Error read_configurations(sqlite3* db, int version, const Key* key,
                          const std::function<bool(Stored&)>& visit) {
  const bool hashed = version >= 4;
  const std::string where = key ? " WHERE species = ?1 AND scenario = ?2 AND tag = ?3" : "";
  constexpr std::string_view kDigest[] = {kDigestColumn};
  Statement query(db, "SELECT " +
                          present_list<ConfigurationRecord>("configurations", version, {},
                                                            kConfigurationColumns, kDigest) +
                          ", " +
                          present_list<ConfigurationRecord>("configurations", version, {},
                                                            kConfigurationReplayColumns) +
                          ", " +
                          present_list<ConfigurationRecord>("configurations", version, {},
                                                            kInputFormatColumns) +
                          " FROM configurations" + where + " ORDER BY run, species, scenario, tag");
  if (key) query.bind_key(*key);
  RowQueries rows(db, version);
  constexpr int kDigestAt = static_cast<int>(kConfigurationColumns.size());
  while (query.row()) {
    Stored stored;
    read_row<ConfigurationRecord>(query, 0, kConfigurationColumns, stored.record);
    read_row<ConfigurationRecord>(query, kDigestAt + 1, kConfigurationReplayColumns,
                                  stored.record);
    read_row<ConfigurationRecord>(
        query, kDigestAt + 1 + static_cast<int>(kConfigurationReplayColumns.size()),
        kInputFormatColumns, stored.record);
    if (hashed) stored.record_sha256 = query.text(kDigestAt);
    if (!read_rows(rows, stored)) return Error{sqlite_says(db)};
    if (!visit(stored)) return {};
  }
  if (!query.done()) return Error{sqlite_says(db)};
  return {};
}

}  // namespace study
