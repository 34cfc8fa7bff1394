// Reading the study: one configuration, the whole study, or the study one
// configuration at a time, each in one read transaction.
#include <sqlite3.h>

#include <map>
#include <span>
#include <string>
#include <type_traits>

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
// each row came from, which a study of version 3 records; `kinds`: with
// their kind, which a study of version 5 records).
Error read_batches(sqlite3* db, int version, std::vector<BatchRecord>& batches) {
  const bool sourced = version >= 3;
  const bool kinds = version >= 5;
  std::map<std::int64_t, std::size_t> index;  // batch id -> its place in batches
  constexpr std::string_view kId[] = {"id"};
  constexpr std::string_view kKind[] = {kBatchKindColumn.name};
  Statement query(db, "SELECT " +
                          present_list<BatchRecord>("batches", version, kId, kBatchColumns, kKind) +
                          " FROM batches ORDER BY id");
  while (query.row()) {
    BatchRecord& b = batches.emplace_back();
    b.id = query.integer64(0);
    if (kinds) kBatchKindColumn.read(query, static_cast<int>(kBatchColumns.size()) + 1, b);
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
                          ", " +
                          present_list<ConfigurationRecord>("configurations", version,
                                                            kCurrentColumns, {}) +
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
    stored.ran_by = stored.record.batch;
    if (version >= 5) {
      const int current = kDigestAt + 1 + static_cast<int>(kConfigurationReplayColumns.size() +
                                                           kInputFormatColumns.size());
      stored.fit = query.integer64(current);
      if (!query.null(current + 1)) stored.ran_by = query.integer64(current + 1);
    }
    if (!read_rows(rows, stored)) return Error{sqlite_says(db)};
    if (!visit(stored)) return {};
  }
  if (!query.done()) return Error{sqlite_says(db)};
  return {};
}

namespace {

// Reads the rows of each fit in history into `history` (by id, as `index`
// places them): `Row` from `table` after the fit's id.
constexpr std::string_view kFitKey[] = {"fit"};

template <typename Row>
bool read_fit_rows(sqlite3* db, const std::string& table, const std::string& order,
                   std::span<const Column<Row>> columns,
                   const std::map<std::int64_t, std::size_t>& index, std::vector<FitRecord>& history,
                   std::vector<Row> Stored::*rows) {
  // A fit's rows are in history once they changed; until then they are
  // those of the configuration it is current for.
  std::string current;
  for (const Column<Row>& c : columns) current += ", t." + std::string(c.name);
  Statement query(db, "SELECT fit, * FROM (SELECT " + column_list<Row>(kFitKey, columns) +
                          " FROM history_" + table + " UNION ALL SELECT c.fit" + current +
                          " FROM " + table + " t JOIN configurations c USING (species, scenario, "
                          "tag) WHERE c.fit IS NOT NULL AND c.fit NOT IN (SELECT fit FROM "
                          "history_" + table + ")) ORDER BY fit, " + order);
  if constexpr (std::is_same_v<Row, CoefficientRow>) query.bind(1, config::term_label(0));
  while (query.row()) {
    const auto at = index.find(query.integer64(0));
    if (at == index.end()) continue;  // the foreign keys rule this out
    read_row<Row>(query, 2, columns, (history[at->second].stored.*rows).emplace_back());
  }
  return query.done();
}

}  // namespace

Error Study::read_history(Snapshot& snapshot, bool with_results) {
  std::vector<FitRecord> history;
  std::vector<LogRow> log;
  Error error = read_transaction([&]() -> Error {
    if (version_ < 5) return {};  // a share of version 4 (read only): no history yet
    constexpr std::string_view kId[] = {"id"};
    constexpr std::string_view kTrailing[] = {kDigestColumn, "se_limit", "misfit_limit",
                                              "replay_limit", "results"};
    const std::span<const std::string_view> trailing = std::span(kTrailing, with_results ? 5 : 4);
    Statement query(db_, "SELECT " +
                             column_list<ConfigurationRecord>(kId, kHistoryColumns,
                                                              trailing) +
                             " FROM history ORDER BY id");
    std::map<std::int64_t, std::size_t> index;
    const int after = static_cast<int>(kHistoryColumns.size()) + 1;
    while (query.row()) {
      FitRecord& fit = history.emplace_back();
      fit.id = query.integer64(0);
      read_row<ConfigurationRecord>(query, 1, kHistoryColumns, fit.stored.record);
      fit.stored.record_sha256 = query.text(after);
      fit.stored.fit = fit.id;
      fit.stored.ran_by = fit.stored.record.batch;
      fit.se_limit = query.real(after + 1);
      fit.misfit_limit = query.real(after + 2);
      fit.replay_limit = query.real(after + 3);
      if (with_results) fit.results = query.optional_blob(after + 4);
      index[fit.id] = history.size() - 1;
    }
    if (!query.done()) return Error{sqlite_says(db_)};
    if (!read_fit_rows<CoefficientRow>(db_, "coefficients", "target_bin, term <> ?1, term",
                                       kCoefficientColumns, index, history,
                                       &Stored::coefficients) ||
        !read_fit_rows<FitRow>(db_, "fits", "target_bin", kFitColumns, index, history,
                               &Stored::fits)) {
      return Error{sqlite_says(db_)};
    }
    Statement logged(db_, "SELECT batch, species, scenario, tag, action, fit FROM batch_log "
                          "ORDER BY batch, species, scenario, tag");
    while (logged.row()) {
      log.push_back({logged.integer64(0),
                     {logged.text(1), logged.text(2), logged.text(3)},
                     logged.text(4),
                     logged.integer64(5)});
    }
    if (!logged.done()) return Error{sqlite_says(db_)};
    return {};
  });
  if (error) return error;
  snapshot.history = std::move(history);
  snapshot.log = std::move(log);
  return {};
}

}  // namespace study
