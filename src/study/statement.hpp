// A prepared SQLite statement, for the study's own use: binds by number
// (NaN and absent values as NULL), steps, and reads columns back (NULL as
// NaN, 0, empty text or nullopt).
#pragma once

#include <sqlite3.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "study/study.hpp"

namespace study {

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
      statement_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  void bind(int n, const std::string& text) {
    sqlite3_bind_text(statement_, n, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void bind(int n, const char* text) { bind(n, std::string(text)); }
  void bind(int n, std::int64_t value) { sqlite3_bind_int64(statement_, n, value); }
  void bind(int n, double value) {
    if (std::isnan(value)) {
      sqlite3_bind_null(statement_, n);
    } else {
      sqlite3_bind_double(statement_, n, value);
    }
  }
  void bind(int n, std::optional<int> value) {
    if (value) {
      sqlite3_bind_int64(statement_, n, *value);
    } else {
      sqlite3_bind_null(statement_, n);
    }
  }
  void bind(int n, std::optional<double> value) { bind(n, value.value_or(std::nan(""))); }
  void bind_null(int n) { sqlite3_bind_null(statement_, n); }
  // Bytes kept as they are (a results file), not as text.
  void bind_blob(int n, const std::string& bytes) {
    sqlite3_bind_blob(statement_, n, bytes.data(), static_cast<int>(bytes.size()),
                      SQLITE_TRANSIENT);
  }
  void bind_key(const Key& key) {
    bind(1, key.species);
    bind(2, key.scenario);
    bind(3, key.tag);
  }

  // True while the statement gives a row; then done() says whether it ended
  // without an error.
  bool row() { return statement_ && (last_ = sqlite3_step(statement_)) == SQLITE_ROW; }
  // Steps a statement that gives no rows: true when it ran.
  bool done() {
    if (last_ == 0 && statement_) last_ = sqlite3_step(statement_);
    return statement_ && last_ == SQLITE_DONE;
  }
  // Ready to be stepped again (bindings kept, to be replaced).
  void reset() {
    if (statement_) sqlite3_reset(statement_);
    last_ = 0;
  }

  bool null(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string text(int column) const {
    const unsigned char* text = sqlite3_column_text(statement_, column);
    if (!text) return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
  }
  std::optional<std::string> optional_blob(int column) const {
    if (null(column)) return std::nullopt;
    const void* bytes = sqlite3_column_blob(statement_, column);
    const int size = sqlite3_column_bytes(statement_, column);
    if (bytes == nullptr) return std::string();
    return std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
  }
  int integer(int column) const { return sqlite3_column_int(statement_, column); }
  std::int64_t integer64(int column) const { return sqlite3_column_int64(statement_, column); }
  double real(int column) const {
    return null(column) ? std::numeric_limits<double>::quiet_NaN()
                        : sqlite3_column_double(statement_, column);
  }
  std::optional<int> optional_integer(int column) const {
    if (null(column)) return std::nullopt;
    return integer(column);
  }
  std::optional<double> optional_real(int column) const {
    if (null(column)) return std::nullopt;
    return real(column);
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
  int last_ = 0;  // the last step's result, 0 before the first
};

}  // namespace study
