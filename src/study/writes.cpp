// Recording in the study: batches, configurations with their rows, models,
// forgetting, and a merge's whole new study, each in one transaction.
#include <sqlite3.h>

#include <iterator>
#include <string>
#include <string_view>

#include "study/columns.hpp"
#include "study/database.hpp"
#include "study/statement.hpp"
#include "study/study.hpp"

namespace study {

Error Study::begin_batch(const BatchRecord& batch, std::int64_t& id) {
  return transaction("record the batch in", [&]() -> Error {
    if (Error e = insert_batch(batch, std::nullopt)) return e;
    id = sqlite3_last_insert_rowid(db_);
    return insert_species(id, batch.species);
  });
}

Error Study::insert_batch(const BatchRecord& batch, std::optional<std::int64_t> id) {
  constexpr std::string_view kId[] = {"id"};
  Statement insert(db_, insert_sql<BatchRecord>("batches", kId, kBatchColumns));
  if (id) insert.bind(1, *id);  // NULL: the database numbers it
  bind_row<BatchRecord>(insert, 2, kBatchColumns, batch);
  if (!insert.done()) return failure("record the batch in");
  return {};
}

Error Study::insert_species(std::int64_t batch, const std::vector<SpeciesRow>& rows) {
  constexpr std::string_view kBatch[] = {"batch"};
  constexpr std::string_view kSource[] = {kSpeciesSourceColumn.name};
  Statement insert(db_,
                   insert_sql<SpeciesRow>("species_rows", kBatch, kSpeciesColumns, kSource));
  constexpr int kSourceParameter = static_cast<int>(kSpeciesColumns.size()) + 2;
  for (const SpeciesRow& row : rows) {
    insert.bind(1, batch);
    bind_row<SpeciesRow>(insert, 2, kSpeciesColumns, row);
    kSpeciesSourceColumn.bind(insert, kSourceParameter, row);
    if (!insert.done()) return failure("record the species table of a batch in");
    insert.reset();
  }
  return {};
}

Error Study::end_batch(std::int64_t id, const std::string& ended) {
  return transaction("record the end of the batch in", [&]() -> Error {
    Statement update(db_, "UPDATE batches SET ended = ?2 WHERE id = ?1");
    update.bind(1, id);
    update.bind(2, ended);
    if (!update.done()) return failure("record the end of the batch in");
    if (sqlite3_changes(db_) != 1) return {path_ + " holds no batch " + std::to_string(id)};
    return {};
  });
}

Error Study::delete_configuration(const Key& key, int* removed) {
  // Children first: the rows go whether or not foreign keys are enforced.
  for (const char* table : {"coefficients", "fits", "models", "configurations"}) {
    Statement remove(db_, std::string("DELETE FROM ") + table +
                              " WHERE species = ?1 AND scenario = ?2 AND tag = ?3");
    remove.bind(1, key.species);
    remove.bind(2, key.scenario);
    remove.bind(3, key.tag);
    if (!remove.done()) return failure("remove " + display_name(key) + " from");
    if (removed && std::string_view(table) == "configurations") *removed += sqlite3_changes(db_);
  }
  return {};
}

namespace {

// Inserts each of `rows` after its configuration's key.
template <typename Row>
bool insert_rows(sqlite3* db, std::string_view table, std::span<const Column<Row>> columns,
                 const Key& key, const std::vector<Row>& rows) {
  Statement insert(db, insert_sql<Row>(table, kKeyColumns, columns));
  for (const Row& row : rows) {
    insert.bind_key(key);
    bind_row<Row>(insert, static_cast<int>(kKeyColumns.size()) + 1, columns, row);
    if (!insert.done()) return false;
    insert.reset();
  }
  return true;
}

}  // namespace

Error Study::insert_configuration(const Stored& stored, const std::string& digest) {
  const ConfigurationRecord& c = stored.record;
  constexpr std::string_view kTrailing[] = {
      kDigestColumn, kConfigurationReplayColumns[0].name, kConfigurationReplayColumns[1].name,
      kConfigurationReplayColumns[2].name, kConfigurationReplayColumns[3].name,
      kInputFormatColumns[0].name, kInputFormatColumns[1].name};
  static_assert(std::size(kTrailing) ==
                kConfigurationReplayColumns.size() + kInputFormatColumns.size() + 1);
  Statement insert(db_, insert_sql<ConfigurationRecord>("configurations", {},
                                                        kConfigurationColumns, kTrailing));
  bind_row<ConfigurationRecord>(insert, 1, kConfigurationColumns, c);
  const int digest_parameter = static_cast<int>(kConfigurationColumns.size()) + 1;
  if (!digest.empty()) insert.bind(digest_parameter, digest);
  bind_row<ConfigurationRecord>(insert, digest_parameter + 1, kConfigurationReplayColumns, c);
  bind_row<ConfigurationRecord>(
      insert, digest_parameter + 1 + static_cast<int>(kConfigurationReplayColumns.size()),
      kInputFormatColumns, c);
  if (!insert.done()) return failure("record " + display_name(c.key) + " in");
  if (!insert_rows<CoefficientRow>(db_, "coefficients", kCoefficientColumns, c.key,
                                   stored.coefficients)) {
    return failure("record the coefficients of " + display_name(c.key) + " in");
  }
  if (!insert_rows<FitRow>(db_, "fits", kFitColumns, c.key, stored.fits)) {
    return failure("record the fits of " + display_name(c.key) + " in");
  }
  if (stored.model) return insert_model(c.key, *stored.model);
  return {};
}

Error Study::insert_model(const Key& key, const ModelRow& model) {
  if (!insert_rows<ModelRow>(db_, "models", kModelColumns, key, {model})) {
    return failure("record the model of " + display_name(key) + " in");
  }
  return {};
}

Error Study::record(const ConfigurationRecord& configuration,
                    const std::vector<CoefficientRow>& coefficients,
                    const std::vector<FitRow>& fits, void (*before_commit)()) {
  const std::string what = "record " + config::printable(display_name(configuration.key)) + " in";
  return transaction(what, [&]() -> Error {
    if (Error e = delete_configuration(configuration.key, nullptr)) return e;
    const Stored stored{configuration, coefficients, fits, std::nullopt, {}};
    Error inserted = insert_configuration(stored, record_digest(stored));
    if (!inserted && before_commit != nullptr) before_commit();
    return inserted;
  });
}

Error Study::set_model(const Key& key, const std::optional<ModelRow>& model) {
  return transaction("record a model in", [&]() -> Error {
    Statement remove(db_, "DELETE FROM models WHERE species = ?1 AND scenario = ?2 AND tag = ?3");
    remove.bind_key(key);
    if (!remove.done()) return failure("record a model in");
    if (!model) return {};
    return insert_model(key, *model);
  });
}

Error Study::forget(const std::vector<Key>& keys, int& removed) {
  int count = 0;
  Error error = transaction("forget configurations in", [&]() -> Error {
    for (const Key& key : keys) {
      if (Error e = delete_configuration(key, &count)) return e;
    }
    return {};
  });
  if (!error) removed = count;
  return error;
}

Error Study::write_snapshot(const Snapshot& snapshot) {
  return transaction("write", [&]() -> Error {
    for (const char* table : {"models", "fits", "coefficients", "configurations", "species_rows",
                              "batches"}) {
      if (exec(std::string("DELETE FROM ") + table) != SQLITE_OK) return failure("write");
    }
    for (const BatchRecord& batch : snapshot.batches) {
      if (Error e = insert_batch(batch, batch.id)) return e;
      if (Error e = insert_species(batch.id, batch.species)) return e;
    }
    for (const Stored& stored : snapshot.configurations) {
      if (Error e = insert_configuration(stored, stored.record_sha256)) return e;
    }
    return {};
  });
}

}  // namespace study
