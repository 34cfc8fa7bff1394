// What the study's own files share: its messages' pieces, its transactions
// and the reading of configurations (schema.cpp opens and upgrades, writes.cpp
// records, reads.cpp reads). For the study's own use.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <string>
#include <string_view>

#include "config/config.hpp"
#include "study/study.hpp"

namespace study {

inline Error refusal(std::string message) { return {std::move(message), true}; }

// What SQLite says of the last failure on `db`, as a message may quote it:
// a damaged file's bytes can reach it (a malformed schema's names).
inline std::string sqlite_says(sqlite3* db) { return config::printable(sqlite3_errmsg(db)); }

// Whether `column` of `table` came with a schema version after `version`:
// a study of that version lacks it (reads take it as NULL).
bool added_after(std::string_view table, std::string_view column, int version);

// Reads the configuration `key`, or every one when it is null, by run,
// then species, scenario and tag, each with its rows, and hands each to
// `visit` in turn (only one is held at a time); stops when `visit` returns
// false. A study of a schema `version` before 4 is read as unhashed (its
// figures are of the earlier kind: to be checked again), its
// ols_standard_error its standard_error.
Error read_configurations(sqlite3* db, int version, const Key* key,
                          const std::function<bool(Stored&)>& visit);

// Runs `body` in a write transaction, committed when it returns no error
// and rolled back otherwise.
template <typename Body>
Error Study::transaction(const std::string& what, Body body) {
  if (exec("BEGIN IMMEDIATE") != SQLITE_OK) return failure(what);
  Error error = body();
  if (!error && exec("COMMIT") != SQLITE_OK) error = failure(what);
  if (error) exec("ROLLBACK");
  return error;
}

}  // namespace study
