// Recording in the study: batches, configurations with their rows, models,
// forgetting, and a merge's whole new study, each in one transaction.
#include <sqlite3.h>

#include <iterator>
#include <algorithm>
#include <map>
#include <string>
#include <string_view>

#include "study/columns.hpp"
#include "study/database.hpp"
#include "study/sha256.hpp"
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
  constexpr std::string_view kKind[] = {kBatchKindColumn.name};
  Statement insert(db_, insert_sql<BatchRecord>("batches", kId, kBatchColumns, kKind));
  if (id) insert.bind(1, *id);  // NULL: the database numbers it
  bind_row<BatchRecord>(insert, 2, kBatchColumns, batch);
  kBatchKindColumn.bind(insert, static_cast<int>(kBatchColumns.size()) + 2, batch);
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
      kInputFormatColumns[0].name, kInputFormatColumns[1].name, kCurrentColumns[0],
      kCurrentColumns[1]};
  static_assert(std::size(kTrailing) == kConfigurationReplayColumns.size() +
                                            kInputFormatColumns.size() + kCurrentColumns.size() +
                                            1);
  Statement insert(db_, insert_sql<ConfigurationRecord>("configurations", {},
                                                        kConfigurationColumns, kTrailing));
  bind_row<ConfigurationRecord>(insert, 1, kConfigurationColumns, c);
  const int digest_parameter = static_cast<int>(kConfigurationColumns.size()) + 1;
  if (!digest.empty()) insert.bind(digest_parameter, digest);
  bind_row<ConfigurationRecord>(insert, digest_parameter + 1, kConfigurationReplayColumns, c);
  bind_row<ConfigurationRecord>(
      insert, digest_parameter + 1 + static_cast<int>(kConfigurationReplayColumns.size()),
      kInputFormatColumns, c);
  const int current = static_cast<int>(digest_parameter + 1 + kConfigurationReplayColumns.size() +
                                       kInputFormatColumns.size());
  if (stored.fit != 0) insert.bind(current, stored.fit);
  if (stored.ran_by != 0) insert.bind(current + 1, stored.ran_by);
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

namespace {

// Inserts each of `rows` after the id of their fit.
template <typename Row>
bool insert_fit_rows(sqlite3* db, std::string_view table, std::span<const Column<Row>> columns,
                     std::int64_t fit, const std::vector<Row>& rows) {
  constexpr std::string_view kFit[] = {"fit"};
  Statement insert(db, insert_sql<Row>(table, kFit, columns));
  for (const Row& row : rows) {
    insert.bind(1, fit);
    bind_row<Row>(insert, 2, columns, row);
    if (!insert.done()) return false;
    insert.reset();
  }
  return true;
}

}  // namespace

// Whether two fits have the same coefficients and fits rows, bit for bit.
static bool same_rows(const Stored& a, const Stored& b) {
  return record_digest({{}, a.coefficients, a.fits, std::nullopt, {}}) ==
         record_digest({{}, b.coefficients, b.fits, std::nullopt, {}});
}

Error Study::keep_rows(const Stored& current, const Stored* next) {
  if (current.fit == 0) return {};
  if (next != nullptr && next->fit == current.fit && same_rows(current, *next)) return {};
  Statement held(db_, "SELECT 1 FROM history_coefficients WHERE fit = ?1 UNION ALL "
                      "SELECT 1 FROM history_fits WHERE fit = ?1 LIMIT 1");
  held.bind(1, current.fit);
  if (held.row()) return {};  // they were kept before they first changed
  if (!held.done() ||
      !insert_fit_rows<CoefficientRow>(db_, "history_coefficients", kCoefficientColumns,
                                       current.fit, current.coefficients) ||
      !insert_fit_rows<FitRow>(db_, "history_fits", kFitColumns, current.fit, current.fits)) {
    return failure("keep the fit of " + display_name(current.record.key) + " in");
  }
  return {};
}

Error Study::insert_fit(const FitRecord& fit, std::optional<std::int64_t> given,
                        std::int64_t& id, bool with_rows) {
  const Stored& stored = fit.stored;
  const std::string what = "record a fit of " + display_name(stored.record.key) + " in";
  constexpr std::string_view kId[] = {"id"};
  constexpr std::string_view kTrailing[] = {kDigestColumn, "se_limit", "misfit_limit",
                                            "replay_limit", "results"};
  Statement insert(db_, insert_sql<ConfigurationRecord>("history", kId, kHistoryColumns,
                                                        kTrailing));
  if (given) insert.bind(1, *given);
  bind_row<ConfigurationRecord>(insert, 2, kHistoryColumns, stored.record);
  const int after = static_cast<int>(kHistoryColumns.size()) + 2;
  if (!stored.record_sha256.empty()) insert.bind(after, stored.record_sha256);
  insert.bind(after + 1, fit.se_limit);
  insert.bind(after + 2, fit.misfit_limit);
  insert.bind(after + 3, fit.replay_limit);
  if (fit.results) insert.bind_blob(after + 4, *fit.results);
  if (!insert.done()) return failure(what);
  id = sqlite3_last_insert_rowid(db_);
  if (!with_rows) return {};
  if (!insert_fit_rows<CoefficientRow>(db_, "history_coefficients", kCoefficientColumns, id,
                                       stored.coefficients) ||
      !insert_fit_rows<FitRow>(db_, "history_fits", kFitColumns, id, stored.fits)) {
    return failure(what);
  }
  return {};
}

Error Study::insert_log(const LogRow& row) {
  Statement insert(db_,
                   "INSERT OR REPLACE INTO batch_log (species, scenario, tag, batch, action, fit) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  insert.bind_key(row.key);
  insert.bind(4, row.batch);
  insert.bind(5, row.action);
  if (row.fit != 0) insert.bind(6, row.fit);
  if (!insert.done()) return failure("log " + display_name(row.key) + " in");
  return {};
}

std::string action_of_state(const std::string& state) {
  return state == "succeeded" ? "fitted" : state;
}

Error Study::insert_model(const Key& key, const ModelRow& model) {
  if (!insert_rows<ModelRow>(db_, "models", kModelColumns, key, {model})) {
    return failure("record the model of " + display_name(key) + " in");
  }
  return {};
}

Error Study::record(const ConfigurationRecord& configuration,
                    const std::vector<CoefficientRow>& coefficients,
                    const std::vector<FitRow>& fits, const Recording& recording,
                    void (*before_commit)()) {
  const Key& key = configuration.key;
  const std::string what = "record " + config::printable(display_name(key)) + " in";
  return transaction(what, [&]() -> Error {
    // What the configuration holds now: its current fit's rows, which
    // history takes over below when they are about to change.
    std::optional<Stored> before;
    if (Error e = read_configurations(db_, version_, &key, [&](Stored& s) {
          before = std::move(s);
          return false;
        })) {
      return failure(what);
    }
    Stored stored{configuration, coefficients, fits, std::nullopt, {}};
    stored.ran_by = recording.batch != 0 ? recording.batch : configuration.batch;
    const std::string digest = record_digest(stored);
    const std::string& results_sha256 = configuration.results_sha256;
    // The bytes are kept only when they are the file the row records.
    std::optional<std::string> results;
    if (recording.results && !results_sha256.empty() &&
        sha256(*recording.results) == results_sha256) {
      results = recording.results;
    }
    if (!recording.new_fit && !results_sha256.empty()) {
      // A result kept: the fit history holds of that file, the latest.
      Statement query(db_,
                      "SELECT id, batch, results IS NULL FROM history WHERE species = ?1 AND "
                      "scenario = ?2 AND tag = ?3 AND results_sha256 = ?4 ORDER BY id DESC "
                      "LIMIT 1");
      query.bind_key(key);
      query.bind(4, results_sha256);
      if (query.row()) {
        stored.fit = query.integer64(0);
        stored.record.batch = query.integer64(1);
        if (query.integer(2) != 0 && results) {
          Statement update(db_, "UPDATE history SET results = ?2 WHERE id = ?1");
          update.bind(1, stored.fit);
          update.bind_blob(2, *results);
          if (!update.done()) return failure(what);
        }
      } else if (!query.done()) {
        return failure(what);
      }
    }
    const bool fitted = configuration.state == "succeeded" || configuration.state == "kept";
    if (stored.fit == 0 && !coefficients.empty() && !results_sha256.empty() &&
        (recording.new_fit || fitted)) {
      FitRecord fit{0, stored, 0.0, 0.0, std::numeric_limits<double>::quiet_NaN(), results};
      fit.stored.record_sha256 = digest;
      Statement limits(db_,
                       "SELECT se_limit, misfit_limit, replay_limit FROM batches WHERE id = ?1");
      limits.bind(1, configuration.batch);
      if (limits.row()) {
        fit.se_limit = limits.real(0);
        fit.misfit_limit = limits.real(1);
        fit.replay_limit = limits.real(2);
      }
      if (Error e = insert_fit(fit, std::nullopt, stored.fit, /*with_rows=*/false)) return e;
    }
    if (before) {
      if (Error e = keep_rows(*before, &stored)) return e;
    }
    if (Error e = delete_configuration(key, nullptr)) return e;
    Error inserted = insert_configuration(stored, digest);
    if (!inserted && recording.batch != 0) {
      const std::string action =
          recording.action.empty() ? action_of_state(configuration.state) : recording.action;
      inserted = insert_log({recording.batch, key, action, stored.fit});
    }
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

Error Study::set_models(const std::vector<std::pair<Key, ModelRow>>& models) {
  return transaction("record the models in", [&]() -> Error {
    if (exec("DELETE FROM models") != SQLITE_OK) return failure("record the models in");
    for (const auto& [key, model] : models) {
      if (Error e = insert_model(key, model)) return e;
    }
    return {};
  });
}

Error Study::forget(const std::vector<Key>& keys, std::vector<Key>& removed,
                    const BatchRecord* forgetting, bool with_history) {
  std::vector<Key> held;
  Error error = transaction("forget configurations in", [&]() -> Error {
    Statement configuration(db_, "SELECT 1 FROM configurations WHERE species = ?1 AND "
                                 "scenario = ?2 AND tag = ?3");
    Statement history(db_, "SELECT 1 FROM history WHERE species = ?1 AND scenario = ?2 AND "
                           "tag = ?3 LIMIT 1");
    for (const Key& key : keys) {
      configuration.reset();
      configuration.bind_key(key);
      bool there = configuration.row();
      if (!there && with_history) {
        history.reset();
        history.bind_key(key);
        there = history.row();
      }
      if (there && std::find(held.begin(), held.end(), key) == held.end()) held.push_back(key);
    }
    if (held.empty()) return {};  // nothing to forget: nothing written, not even the log
    std::int64_t batch = 0;
    if (forgetting != nullptr) {
      if (Error e = insert_batch(*forgetting, std::nullopt)) return e;
      batch = sqlite3_last_insert_rowid(db_);
    }
    for (const Key& key : held) {
      if (!with_history) {
        // Its fit stays in history, rows and all.
        std::optional<Stored> current;
        if (Error e = read_configurations(db_, version_, &key, [&](Stored& s) {
              current = std::move(s);
              return false;
            })) {
          return failure("forget configurations in");
        }
        if (current) {
          if (Error e = keep_rows(*current, nullptr)) return e;
        }
      }
      if (Error e = delete_configuration(key, nullptr)) return e;
      if (with_history) {
        Statement remove(db_, "DELETE FROM history WHERE species = ?1 AND scenario = ?2 AND "
                              "tag = ?3");
        remove.bind_key(key);
        if (!remove.done()) return failure("forget the history of " + display_name(key) + " in");
      }
      if (batch != 0) {
        if (Error e = insert_log({batch, key, "forgotten", 0})) return e;
      }
    }
    return {};
  });
  if (!error) removed = std::move(held);
  return error;
}

Error Study::write_snapshot(const Snapshot& snapshot) {
  return transaction("write", [&]() -> Error {
    for (const char* table : {"batch_log", "models", "fits", "coefficients", "configurations",
                              "history_fits", "history_coefficients", "history", "species_rows",
                              "batches"}) {
      if (exec(std::string("DELETE FROM ") + table) != SQLITE_OK) return failure("write");
    }
    for (const BatchRecord& batch : snapshot.batches) {
      if (Error e = insert_batch(batch, batch.id)) return e;
      if (Error e = insert_species(batch.id, batch.species)) return e;
    }
    std::map<std::int64_t, const Stored*> current;  // fit -> the configuration it is current for
    for (const Stored& stored : snapshot.configurations) {
      if (stored.fit != 0) current[stored.fit] = &stored;
    }
    for (const FitRecord& fit : snapshot.history) {
      const auto at = current.find(fit.id);
      const bool held_by_configuration =
          at != current.end() && same_rows(fit.stored, *at->second);
      std::int64_t id = 0;
      if (Error e = insert_fit(fit, fit.id, id, !held_by_configuration)) return e;
    }
    for (const Stored& stored : snapshot.configurations) {
      if (Error e = insert_configuration(stored, stored.record_sha256)) return e;
    }
    for (const LogRow& row : snapshot.log) {
      if (Error e = insert_log(row)) return e;
    }
    return {};
  });
}

}  // namespace study
