#include "study/columns.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "run_program.hpp"
#include "study_records.hpp"

namespace {

using namespace testsupport;

// The columns of `table` in the database at `path`, in the schema's order.
std::vector<std::string> table_columns(const fs::path& path, const std::string& table) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* query = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info(?1) ORDER BY cid", -1,
                               &query, nullptr),
            SQLITE_OK);
  sqlite3_bind_text(query, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  std::vector<std::string> names;
  while (sqlite3_step(query) == SQLITE_ROW) {
    names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)));
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  return names;
}

template <typename Row, std::size_t N>
std::vector<std::string> named(std::vector<std::string> leading,
                               const std::array<study::Column<Row>, N>& columns,
                               std::vector<std::string> trailing = {}) {
  for (const study::Column<Row>& c : columns) leading.emplace_back(c.name);
  leading.insert(leading.end(), trailing.begin(), trailing.end());
  return leading;
}

// A column of the schema that no table binds is never written (NULL for
// ever); one out of place is a value under another column's name.
TEST(StudyColumns, EveryTableBindsEveryColumnOfTheSchemaInItsOrder) {
  ScratchDir scratch;
  const fs::path path = scratch.path() / study::kDatabaseName;
  {
    study::Study created;
    ASSERT_FALSE(study::Study::open(path.string(), created));
  }
  const std::vector<std::string> key = {"species", "scenario", "tag"};
  const struct {
    const char* table;
    std::vector<std::string> columns;
  } kTables[] = {
      {"batches", named({"id"}, study::kBatchColumns, {std::string(study::kBatchKindColumn.name)})},
      {"species_rows",
       named({"batch"}, study::kSpeciesColumns, {std::string(study::kSpeciesSourceColumn.name)})},
      {"configurations",
       named({}, study::kConfigurationColumns,
             named(named({std::string(study::kDigestColumn)}, study::kConfigurationReplayColumns),
                   study::kInputFormatColumns,
                   {std::string(study::kCurrentColumns[0]), std::string(study::kCurrentColumns[1])}))},
      {"coefficients", named(key, study::kCoefficientColumns)},
      {"fits", named(key, study::kFitColumns)},
      {"models", named(key, study::kModelColumns)},
      // A fit in history keeps every column of the configuration's rows.
      {"history", named({"id"}, study::kHistoryColumns,
                        {std::string(study::kDigestColumn), "se_limit", "misfit_limit", "replay_limit",
                         "results"})},
      {"history_coefficients", named({"fit"}, study::kCoefficientColumns)},
      {"history_fits", named({"fit"}, study::kFitColumns)},
  };
  for (const auto& t : kTables) {
    EXPECT_EQ(t.columns, table_columns(path, t.table)) << t.table;
  }
}

// The columns a slip of an index would exchange, read by name from the
// database as a user's query reads them.
TEST(StudyColumns, NumberedColumnsHoldTheirOwnBinAndInput) {
  ScratchDir scratch;
  const fs::path path = scratch.path() / study::kDatabaseName;
  study::ConfigurationRecord c = sample_configuration({"OLE2_OH", "0.1", "allgas"}, 1, 0);
  {
    study::Study study;
    ASSERT_FALSE(study::Study::open(path.string(), study));
    ASSERT_FALSE(study.begin_batch(sample_batch(), c.batch));
    ASSERT_FALSE(study.record(c, sample_coefficients(), sample_fits()));
  }
  std::vector<std::pair<std::string, double>> reals;
  for (int j = 0; j < 6; ++j) {
    reals.emplace_back("k" + std::to_string(j + 1), c.k[j]);
    reals.emplace_back("wmol" + std::to_string(j + 1), c.wmol[j]);
  }
  std::vector<std::pair<std::string, std::int64_t>> integers;
  const char* inputs[] = {"precursor", "bins", "molar_masses"};
  for (int n = 0; n < 3; ++n) {
    integers.emplace_back(std::string(inputs[n]) + "_size", c.inputs[n].size);
    integers.emplace_back(std::string(inputs[n]) + "_mtime_ns", c.inputs[n].mtime_ns);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  const auto select = [&](const std::string& column) {
    sqlite3_stmt* query = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, ("SELECT " + column + " FROM configurations").c_str(), -1,
                                 &query, nullptr),
              SQLITE_OK)
        << column;
    EXPECT_EQ(sqlite3_step(query), SQLITE_ROW) << column;
    return query;
  };
  for (const auto& [column, value] : reals) {
    sqlite3_stmt* query = select(column);
    EXPECT_EQ(sqlite3_column_type(query, 0), SQLITE_FLOAT) << column;
    EXPECT_EQ(sqlite3_column_double(query, 0), value) << column;
    sqlite3_finalize(query);
  }
  for (const auto& [column, value] : integers) {
    sqlite3_stmt* query = select(column);
    EXPECT_EQ(sqlite3_column_type(query, 0), SQLITE_INTEGER) << column;
    EXPECT_EQ(sqlite3_column_int64(query, 0), value) << column;
    sqlite3_finalize(query);
  }
  sqlite3_close(db);
}

}  // namespace
