#include "study/study.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iostream>
#include <limits>

#include "run_program.hpp"
#include "study/sha256.hpp"
#include "study_records.hpp"

namespace {

using namespace testsupport;
using study::Error;
using study::Study;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Runs SQL on the database outside the study's API: the faults a test
// plants (a newer version, a writer that has not committed yet).
sqlite3* raw_open(const fs::path& path) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  return db;
}
void raw_exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
}

class StudyTest : public ::testing::Test {
 protected:
  std::string path() const { return (scratch_.path() / "report" / study::kDatabaseName).string(); }
  // A study with one batch; `batch_` is its id.
  Study open_with_batch() {
    Study study;
    Error e = Study::open(path(), study);
    EXPECT_FALSE(e) << e.message;
    e = study.begin_batch(sample_batch(), batch_);
    EXPECT_FALSE(e) << e.message;
    return study;
  }
  void record(Study& study, const study::Key& k, int run, int variant = 1) {
    Error e = study.record(sample_configuration(k, run, batch_, variant),
                           sample_coefficients(variant), sample_fits(variant));
    ASSERT_FALSE(e) << e.message;
  }
  ScratchDir scratch_;
  std::int64_t batch_ = 0;
};

void expect_same(const study::ConfigurationRecord& got, const study::ConfigurationRecord& want) {
  EXPECT_EQ(got.key, want.key);
  EXPECT_EQ(got.run, want.run);
  EXPECT_EQ(got.known_species, want.known_species);
  EXPECT_EQ(got.state, want.state);
  EXPECT_EQ(got.exit_status, want.exit_status);
  EXPECT_EQ(got.message, want.message);
  EXPECT_EQ(got.results_path, want.results_path);
  EXPECT_EQ(got.input_format, want.input_format);
  EXPECT_EQ(got.input_variables, want.input_variables);
  EXPECT_EQ(got.results_sha256, want.results_sha256);
  EXPECT_EQ(got.inputs, want.inputs);
  EXPECT_TRUE(same_bits(got.kp, want.kp));
  for (int j = 0; j < 6; ++j) {
    EXPECT_TRUE(same_bits(got.k[j], want.k[j])) << "k" << j + 1 << ": " << got.k[j];
    EXPECT_TRUE(same_bits(got.wmol[j], want.wmol[j])) << "wmol" << j + 1 << ": " << got.wmol[j];
  }
  EXPECT_EQ(got.undetermined, want.undetermined);
  EXPECT_EQ(got.misfit, want.misfit);
  EXPECT_EQ(got.seconds.has_value(), want.seconds.has_value());
  if (got.seconds && want.seconds) {
    EXPECT_TRUE(same_bits(*got.seconds, *want.seconds));
  }
  EXPECT_EQ(got.records, want.records);
  EXPECT_EQ(got.batch, want.batch);
  for (auto member : {&study::ConfigurationRecord::replay_total_error,
                      &study::ConfigurationRecord::replay_total_rms_error,
                      &study::ConfigurationRecord::replay_mass_error,
                      &study::ConfigurationRecord::replay_mass_rms_error}) {
    EXPECT_TRUE(same_bits(got.*member, want.*member)) << got.*member;
  }
}

void expect_same(const std::vector<study::CoefficientRow>& got,
                 const std::vector<study::CoefficientRow>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t n = 0; n < got.size(); ++n) {
    SCOPED_TRACE("coefficient row " + std::to_string(n));
    EXPECT_EQ(got[n].target_bin, want[n].target_bin);
    EXPECT_EQ(got[n].term, want[n].term);
    EXPECT_TRUE(same_bits(got[n].coefficient, want[n].coefficient)) << got[n].coefficient;
    EXPECT_TRUE(same_bits(got[n].lower, want[n].lower));
    EXPECT_TRUE(same_bits(got[n].upper, want[n].upper));
    EXPECT_EQ(got[n].at_bound, want[n].at_bound);
    EXPECT_TRUE(same_bits(got[n].standard_error, want[n].standard_error)) << got[n].standard_error;
    EXPECT_EQ(got[n].flag, want[n].flag);
  }
}

void expect_same(const std::vector<study::FitRow>& got, const std::vector<study::FitRow>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t n = 0; n < got.size(); ++n) {
    SCOPED_TRACE("fit row " + std::to_string(n));
    EXPECT_EQ(got[n].target_bin, want[n].target_bin);
    for (auto member : {&study::FitRow::rss, &study::FitRow::rms, &study::FitRow::r_squared,
                        &study::FitRow::relative_residual, &study::FitRow::autocorrelation,
                        &study::FitRow::drift, &study::FitRow::replay_error,
                        &study::FitRow::replay_rms_error}) {
      EXPECT_TRUE(same_bits(got[n].*member, want[n].*member)) << got[n].*member;
    }
    EXPECT_EQ(got[n].misfit, want[n].misfit);
  }
}

// Values a REAL column would not give back exactly: -0.0 (stored as the
// integer 0), integral values, the extremes, NaN (absent) and infinities.
TEST_F(StudyTest, EveryColumnRoundTripsBitForBitAcrossReopening) {
  study::ConfigurationRecord c = sample_configuration(key("OLE2_OH"), 3, 0);
  c.exit_status.reset();
  c.seconds.reset();
  c.records.reset();
  c.misfit.reset();
  c.inputs[study::kMolarMasses] = {};  // the ideal layout reads no molar masses
  c.wmol = {kNaN, -0.0, 0.1 + 0.2, std::numeric_limits<double>::denorm_min(),
            std::numeric_limits<double>::max(), 1e300};
  c.k = {0.0, -0.0, 1.0, -1.0, 3.9996e-09, std::nextafter(1.0, 2.0)};
  c.message = "kept: \"quoted\", a comma, and \xc3\xa9";
  c.input_format = "netcdf";
  c.input_variables = "time=t_h,bin6=vb6";
  std::vector<study::CoefficientRow> coefficients = sample_coefficients();
  coefficients[0].coefficient = -0.0;
  coefficients[1].standard_error = kInf;
  coefficients[2].standard_error = kNaN;
  coefficients[3].lower = -kInf;
  coefficients[4].coefficient = 2.0;
  std::vector<study::FitRow> fits = sample_fits();
  fits[0].r_squared = -1.6;
  fits[1].autocorrelation = kNaN;
  fits[2].rss = 0.0;
  study::BatchRecord batch = sample_batch();
  batch.command_line.push_back("\xff\xfe" "A");  // not UTF-8: kept byte for byte
  batch.command_line.push_back("line\nbreak\ttab \"q\" \\ \x01");
  batch.command_line.push_back("");
  batch.ended = "2026-01-02T03:05:00Z";
  {
    Study study;
    ASSERT_FALSE(Study::open(path(), study));
    std::int64_t id = 0;
    ASSERT_FALSE(study.begin_batch(batch, id));
    c.batch = id;
    batch.id = id;
    ASSERT_FALSE(study.end_batch(id, batch.ended));
    ASSERT_FALSE(study.record(c, coefficients, fits));
    ASSERT_FALSE(study.set_model(c.key, study::ModelRow{1.5e-19, -61234.5, 37, true}));
  }
  Study study;
  ASSERT_FALSE(Study::open(path(), study));
  std::optional<study::Stored> found;
  ASSERT_FALSE(study.find(c.key, found));
  ASSERT_TRUE(found);
  expect_same(found->record, c);
  expect_same(found->coefficients, coefficients);
  expect_same(found->fits, fits);
  // The digest kept with the row is that of what was recorded: NaN read
  // back as absent, and the rows in the order read, digest alike.
  EXPECT_EQ(found->record_sha256, study::record_digest(*found));
  std::reverse(coefficients.begin(), coefficients.end());
  EXPECT_EQ(found->record_sha256, study::record_digest({c, coefficients, fits, {}, {}}));
  // Every column but the batch's (which a merge renumbers) is in it: one
  // edit of each kind of field changes it; a renumbered batch does not.
  const study::Stored recorded = *found;
  const struct {
    const char* edit;
    std::function<void(study::Stored&)> apply;
    bool changes;
  } edits[] = {
      {"state", [](study::Stored& s) { s.record.state = "kept"; }, true},
      {"k6", [](study::Stored& s) { s.record.k[5] = std::nextafter(s.record.k[5], 1.0); }, true},
      {"an input's time", [](study::Stored& s) { s.record.inputs[study::kBins].mtime_ns += 1; },
       true},
      {"records", [](study::Stored& s) { s.record.records = s.record.records.value_or(0) + 1; },
       true},
      {"a coefficient's OLS error",
       [](study::Stored& s) { s.coefficients.back().ols_standard_error = 0.5; }, true},
      {"a fit's misfit", [](study::Stored& s) { s.fits.front().misfit = !s.fits.front().misfit; },
       true},
      {"the batch", [](study::Stored& s) { s.record.batch += 7; }, false},
  };
  for (const auto& e : edits) {
    study::Stored edited = recorded;
    e.apply(edited);
    EXPECT_EQ(study::record_digest(edited) != recorded.record_sha256, e.changes) << e.edit;
  }
  ASSERT_TRUE(found->model);
  EXPECT_EQ(found->model->k, 37);
  EXPECT_TRUE(found->model->preferred);
  EXPECT_TRUE(same_bits(found->model->aic, -61234.5));

  study::Snapshot snapshot;
  ASSERT_FALSE(study.read(snapshot));
  ASSERT_EQ(snapshot.batches.size(), 1u);
  EXPECT_EQ(snapshot.batches[0], batch);
  ASSERT_EQ(snapshot.configurations.size(), 1u);
  expect_same(snapshot.configurations[0].record, c);
  EXPECT_FALSE(study.integrity_check());
}

TEST_F(StudyTest, RecordReplacesAConfigurationsRowsAndDropsItsModel) {
  Study study = open_with_batch();
  record(study, key("OLE2_OH"), 1, 1);
  ASSERT_FALSE(study.set_model(key("OLE2_OH"), study::ModelRow{1.0, 2.0, 3, true}));
  // The rerun has fewer rows (say, a failed run with no fit): none of the
  // first run's rows may survive beside them.
  study::ConfigurationRecord failed = sample_configuration(key("OLE2_OH"), 1, batch_, 2);
  failed.state = "failed";
  failed.results_sha256.clear();
  std::vector<study::CoefficientRow> some = sample_coefficients(2);
  some.resize(7);
  ASSERT_FALSE(study.record(failed, some, {}));

  study::Snapshot snapshot;
  ASSERT_FALSE(study.read(snapshot));
  ASSERT_EQ(snapshot.configurations.size(), 1u);
  const study::Stored& s = snapshot.configurations[0];
  expect_same(s.record, failed);
  expect_same(s.coefficients, some);
  EXPECT_TRUE(s.fits.empty());
  EXPECT_FALSE(s.model);
}

TEST_F(StudyTest, ReadGivesRunOrderAndForgetRemovesOnlyTheGivenConfigurations) {
  Study study = open_with_batch();
  record(study, key("TOL"), 3);
  record(study, key("OLE2_OH"), 1);
  record(study, key("API_OH"), 2);
  record(study, key("API_OH", "0.1", "static"), 2);  // same run of another batch's run set
  study::Snapshot snapshot;
  ASSERT_FALSE(study.read(snapshot));
  std::vector<std::string> order;
  for (const study::Stored& s : snapshot.configurations) order.push_back(display_name(s.record.key));
  EXPECT_EQ(order, (std::vector<std::string>{"OLE2_OH/0.1/allgas", "API_OH/0.1/allgas",
                                             "API_OH/0.1/static", "TOL/0.1/allgas"}));

  std::vector<study::Key> removed;
  ASSERT_FALSE(study.forget({key("API_OH"), key("NEVER"), key("TOL")}, removed));
  EXPECT_EQ(removed, (std::vector<study::Key>{key("API_OH"), key("TOL")}));
  ASSERT_FALSE(study.read(snapshot));
  ASSERT_EQ(snapshot.configurations.size(), 2u);
  EXPECT_EQ(snapshot.configurations[0].record.key, key("OLE2_OH"));
  EXPECT_EQ(snapshot.configurations[1].record.key, key("API_OH", "0.1", "static"));
  for (const study::Stored& s : snapshot.configurations) {
    EXPECT_EQ(s.coefficients.size(), 42u);
    EXPECT_EQ(s.fits.size(), 6u);
  }
  std::optional<study::Stored> found;
  ASSERT_FALSE(study.find(key("TOL"), found));
  EXPECT_FALSE(found);
  ASSERT_FALSE(study.integrity_check());  // no orphaned coefficient or fit rows
}

// read_each hands over each configuration with its own rows and nothing of
// the one before (a configuration without rows or model after one with
// them), in run order, the batches first; read and find give the same.
TEST_F(StudyTest, ReadEachGivesEveryConfigurationWithItsOwnRowsInRunOrder) {
  Study study = open_with_batch();
  record(study, key("TOL"), 4, 4);
  record(study, key("OLE2_OH"), 1, 1);
  study::ConfigurationRecord failed = sample_configuration(key("API_OH"), 2, batch_, 2);
  failed.state = "failed";
  ASSERT_FALSE(study.record(failed, {}, {}));
  record(study, key("API_OH", "0.1", "static"), 3, 3);
  ASSERT_FALSE(study.set_model(key("OLE2_OH"), study::ModelRow{1.5, -2.5, 3, true}));
  const struct {
    study::Key key;
    int variant;
    bool rows, model;
  } expected[] = {{key("OLE2_OH"), 1, true, true},
                  {key("API_OH"), 2, false, false},
                  {key("API_OH", "0.1", "static"), 3, true, false},
                  {key("TOL"), 4, true, false}};

  std::vector<study::BatchRecord> batches;
  std::vector<study::Stored> seen;
  ASSERT_FALSE(study.read_each(batches, [&](study::Stored& s) {
    EXPECT_EQ(batches.size(), 1u) << "the batches come first";
    seen.push_back(std::move(s));
    return true;
  }));
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].command_line, sample_batch().command_line);
  study::Snapshot snapshot;
  ASSERT_FALSE(study.read(snapshot));
  ASSERT_EQ(seen.size(), std::size(expected));
  ASSERT_EQ(snapshot.configurations.size(), std::size(expected));
  for (std::size_t n = 0; n < std::size(expected); ++n) {
    const auto& e = expected[n];
    SCOPED_TRACE(display_name(e.key));
    std::optional<study::Stored> found;
    ASSERT_FALSE(study.find(e.key, found));
    ASSERT_TRUE(found);
    for (const study::Stored* s : {&seen[n], &snapshot.configurations[n], &*found}) {
      EXPECT_EQ(s->record.key, e.key);
      expect_same(s->coefficients,
                  e.rows ? sample_coefficients(e.variant) : std::vector<study::CoefficientRow>{});
      expect_same(s->fits, e.rows ? sample_fits(e.variant) : std::vector<study::FitRow>{});
      EXPECT_EQ(s->model.has_value(), e.model);
    }
  }
  EXPECT_EQ(seen[0].model->aic, -2.5);

  // A visit that declines ends the reading there, with no error.
  int visits = 0;
  ASSERT_FALSE(study.read_each(batches, [&](study::Stored&) { return ++visits < 2; }));
  EXPECT_EQ(visits, 2);
}

TEST_F(StudyTest, EndingABatchThatIsNotThereIsAnError) {
  Study study = open_with_batch();
  const Error e = study.end_batch(batch_ + 1, "2026-01-02T04:00:00Z");
  EXPECT_NE(e.message.find("holds no batch"), std::string::npos) << e.message;
  EXPECT_FALSE(e.refusal);
}

TEST_F(StudyTest, OpenCreatesTheStudyInAMissingOrEmptyDirectory) {
  for (const fs::path& directory : {scratch_.path() / "new" / "report", scratch_.path() / "empty"}) {
    if (directory.filename() == "empty") fs::create_directory(directory);
    const std::string file = (directory / study::kDatabaseName).string();
    Study study;
    const Error e = Study::open(file, study);
    ASSERT_FALSE(e) << e.message;
    study::Snapshot snapshot;
    ASSERT_FALSE(study.read(snapshot));
    EXPECT_TRUE(snapshot.batches.empty());
    EXPECT_TRUE(fs::is_regular_file(file));
  }
}

// Each refusal names the file, says what is wrong, and leaves the file's
// bytes exactly as they were.
TEST_F(StudyTest, FilesThatAreNotAStudyOfThisVersionAreRefusedAndLeftAlone) {
  const fs::path dir = scratch_.path();
  auto make_database = [&](const fs::path& file, const std::string& sql) {
    {
      Study study;
      ASSERT_FALSE(Study::open(file.string(), study));
      std::int64_t id = 0;
      ASSERT_FALSE(study.begin_batch(sample_batch(), id));
      for (int run = 1; run <= 40; ++run) {
        ASSERT_FALSE(study.record(sample_configuration(key(("S" + std::to_string(run)).c_str()),
                                                       run, id),
                                  sample_coefficients(), sample_fits()));
      }
    }
    if (!sql.empty()) {
      sqlite3* db = raw_open(file);
      raw_exec(db, sql);
      sqlite3_close(db);
    }
  };
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
    std::string message;  // after the path
  };
  const Case cases[] = {
      {"text file", [](const fs::path& f) { write_file(f, "species,scenario,tag\nTOL,0.1,allgas\n"); },
       " is not a study database (not an SQLite database); move it away or give another --report"},
      {"short file", [](const fs::path& f) { write_file(f, "SQLite"); },
       " is not a study database (not an SQLite database); move it away or give another --report"},
      {"directory", [](const fs::path& f) { fs::create_directory(f); },
       " is not a study database (it is a directory); move it away or give another --report"},
      {"newer schema", [&](const fs::path& f) { make_database(f, "PRAGMA user_version = 6"); },
       " was written by a newer vbsfit-batch (schema 6); this one reads up to 5"},
      {"other database",
       [&](const fs::path& f) {
         sqlite3* db = raw_open(f);
         raw_exec(db, "CREATE TABLE notes (text TEXT); INSERT INTO notes VALUES ('mine')");
         sqlite3_close(db);
       },
       " is not a study database (an SQLite database of other tables); move it away or give "
       "another --report"},
      {"table dropped", [&](const fs::path& f) { make_database(f, "DROP TABLE models"); },
       " is not a study database (it has no table models); move it away or give another --report"},
      {"column dropped",
       [&](const fs::path& f) {
         make_database(f, "ALTER TABLE configurations DROP COLUMN message");
       },
       " is a damaged study: its table configurations has no column message; it is left as it "
       "is: restore it from a copy, or give another --report"},
      {"negative version", [&](const fs::path& f) { make_database(f, "PRAGMA user_version = -1"); },
       " has the schema version -1, which no vbsfit-batch writes; it is left as it is: restore "
       "it from a copy, or give another --report"},
      {"negative version, damaged page",  // refused before its pages are read
       [&](const fs::path& f) {
         make_database(f, "PRAGMA user_version = -1");
         std::string bytes = read_file(f);
         for (std::size_t n = 4 * 4096 + 100; n < 5 * 4096; ++n) bytes[n] = '\x5a';
         write_file(f, bytes);
       },
       " has the schema version -1, which no vbsfit-batch writes"},
      {"version far ahead",
       [&](const fs::path& f) { make_database(f, "PRAGMA user_version = 99"); },
       " was written by a newer vbsfit-batch (schema 99); this one reads up to " +
           std::to_string(study::kSchemaVersion)},
      {"schema of binary names",  // the message shows the bytes, escaped
       [&](const fs::path& f) {
         make_database(f,
                       "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET name = "
                       "CAST(x'6dff9b' AS TEXT), sql = CAST(x'435245415445205441424c45206dff9b2878"
                       "2900' AS TEXT) WHERE name = 'models'");
       },
       " is not a study database (malformed database schema (m\\xff\\x9b)); move it away or "
       "give another --report"},
      {"damaged page",
       [&](const fs::path& f) {
         make_database(f, "");
         std::string bytes = read_file(f);
         ASSERT_GT(bytes.size(), 6u * 4096);
         for (std::size_t n = 4 * 4096 + 100; n < 5 * 4096; ++n) bytes[n] = '\x5a';
         write_file(f, bytes);
       },
       " fails SQLite's integrity check ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = dir / c.name / study::kDatabaseName;
    fs::create_directories(file.parent_path());
    c.make(file);
    const bool regular = fs::is_regular_file(file);
    const std::string before = regular ? read_file(file) : "";
    Study study;
    const Error e = Study::open(file.string(), study);
    EXPECT_TRUE(e.refusal);
    EXPECT_EQ(e.message.substr(0, file.string().size() + c.message.size()), file.string() + c.message);
    EXPECT_FALSE(study.is_open());
    if (regular) {
      EXPECT_EQ(read_file(file), before);
    }
    EXPECT_FALSE(fs::exists(file.string() + "-wal") && fs::file_size(file.string() + "-wal") > 0);
  }
}

// What a study of schema 4 lacks: the history and batch log, the replay and
// the drift, and the inputs' format.
constexpr const char* kBeforeVersion5 =
    "DROP TABLE batch_log; DROP TABLE history_fits; DROP TABLE history_coefficients; "
    "DROP TABLE history; ALTER TABLE configurations DROP COLUMN fit; "
    "ALTER TABLE configurations DROP COLUMN ran_by; ALTER TABLE batches DROP COLUMN kind; "
    "ALTER TABLE configurations DROP COLUMN input_format; "
    "ALTER TABLE configurations DROP COLUMN input_variables; "
    "ALTER TABLE batches DROP COLUMN replay_limit; "
    "ALTER TABLE configurations DROP COLUMN replay_total_error; "
    "ALTER TABLE configurations DROP COLUMN replay_total_rms_error; "
    "ALTER TABLE configurations DROP COLUMN replay_mass_error; "
    "ALTER TABLE configurations DROP COLUMN replay_mass_rms_error; "
    "ALTER TABLE fits DROP COLUMN drift; ALTER TABLE fits DROP COLUMN replay_error; "
    "ALTER TABLE fits DROP COLUMN replay_rms_error; ";

// A study of schema 1 (no record_sha256, no species source), 2 (no
// species source) or 3 (no ols_standard_error; the flags and standard
// errors of the earlier kind), none with the replay: a read-only open reads
// its rows unhashed, without sources, each ols_standard_error its
// standard_error, and writes nothing; a writer's open upgrades it to the
// same, leaving every record unhashed so that the next batch refits it.
TEST_F(StudyTest, AnEarlierStudyIsReadAsItIsAndUpgradedByAWriter) {
  const struct {
    int version;
    std::string made;  // from a study of this version
  } cases[] = {
      {1, "ALTER TABLE configurations DROP COLUMN record_sha256; "
          "ALTER TABLE species_rows DROP COLUMN source; "
          "ALTER TABLE coefficients DROP COLUMN ols_standard_error; PRAGMA user_version = 1"},
      {2, "ALTER TABLE species_rows DROP COLUMN source; "
          "ALTER TABLE coefficients DROP COLUMN ols_standard_error; PRAGMA user_version = 2"},
      {3, "UPDATE species_rows SET source = NULL; "
          "ALTER TABLE coefficients DROP COLUMN ols_standard_error; PRAGMA user_version = 3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    fs::remove(path());
    {
      Study study = open_with_batch();
      for (int run = 1; run <= 3; ++run) {
        ASSERT_FALSE(study.record(
            sample_configuration(key(("S" + std::to_string(run)).c_str()), run, batch_, run),
            sample_coefficients(run), sample_fits(run)));
      }
    }
    sqlite3* db = raw_open(path());
    raw_exec(db, std::string(kBeforeVersion5) + c.made);
    sqlite3_close(db);
    const std::string earlier = read_file(path());

    auto read = [&](bool read_only) {
      Study study;
      const Error e = Study::open(path(), study, read_only);
      EXPECT_FALSE(e) << e.message;
      study::Snapshot snapshot;
      EXPECT_FALSE(study.read(snapshot));
      EXPECT_EQ(snapshot.configurations.size(), 3u);
      EXPECT_EQ(snapshot.batches.size(), 1u);
      for (const study::BatchRecord& b : snapshot.batches) {
        EXPECT_EQ(b.species.size(), 2u);
        for (const study::SpeciesRow& row : b.species) EXPECT_EQ(row.source, "") << row.name;
      }
      return snapshot;
    };
    auto earlier_kind = [](const study::Stored& s) {
      EXPECT_EQ(s.record_sha256, "");
      ASSERT_EQ(s.coefficients.size(), 42u);
      for (const study::CoefficientRow& row : s.coefficients) {
        EXPECT_EQ(row.ols_standard_error, row.standard_error) << row.target_bin << row.term;
      }
    };
    for (const study::Stored& s : read(true).configurations) earlier_kind(s);
    EXPECT_EQ(read_file(path()), earlier);

    for (const study::Stored& s : read(false).configurations) earlier_kind(s);
    db = raw_open(path());
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &query, nullptr);
    ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(query, 0), study::kSchemaVersion);
    sqlite3_finalize(query);
    sqlite3_close(db);
    {
      // Upgraded: a batch's species sources are recorded again.
      Study study;
      ASSERT_FALSE(Study::open(path(), study));
      std::int64_t id = 0;
      ASSERT_FALSE(study.begin_batch(sample_batch(), id));
      study::Snapshot snapshot;
      ASSERT_FALSE(study.read(snapshot));
      ASSERT_EQ(snapshot.batches.size(), 2u);
      EXPECT_EQ(snapshot.batches[1].species, sample_batch().species);
    }
  }
}

// A study of schema 4: read-only, its replay figures, drift and replay
// limit read as absent and its records do not match their digests (so a
// batch checks them again); a writer's open adds the columns and leaves
// every record unhashed.
TEST_F(StudyTest, AStudyBeforeTheReplayReadsItsFiguresAsAbsentAndIsUpgraded) {
  {
    Study study = open_with_batch();
    ASSERT_FALSE(study.record(sample_configuration(key("S1"), 1, batch_), sample_coefficients(),
                              sample_fits()));
  }
  sqlite3* db = raw_open(path());
  raw_exec(db, std::string(kBeforeVersion5) + "PRAGMA user_version = 4");
  sqlite3_close(db);
  const std::string earlier = read_file(path());
  for (const bool read_only : {true, false}) {
    SCOPED_TRACE(read_only ? "read-only" : "writer");
    Study study;
    ASSERT_FALSE(Study::open(path(), study, read_only));
    study::Snapshot snapshot;
    ASSERT_FALSE(study.read(snapshot));
    ASSERT_EQ(snapshot.configurations.size(), 1u);
    ASSERT_EQ(snapshot.batches.size(), 1u);
    EXPECT_TRUE(std::isnan(snapshot.batches[0].replay_limit));
    const study::Stored& s = snapshot.configurations[0];
    EXPECT_TRUE(std::isnan(s.record.replay_total_error));
    EXPECT_TRUE(std::isnan(s.record.replay_mass_rms_error));
    ASSERT_EQ(s.fits.size(), 6u);
    for (const study::FitRow& f : s.fits) {
      EXPECT_TRUE(std::isnan(f.drift) && std::isnan(f.replay_error));
      EXPECT_EQ(f.autocorrelation, sample_fits()[f.target_bin - 1].autocorrelation);
    }
    EXPECT_NE(s.record_sha256, study::record_digest(s));
    if (read_only) {
      EXPECT_EQ(read_file(path()), earlier);
    } else {
      EXPECT_EQ(s.record_sha256, "");
    }
  }
}

// Runs `body` in a child process and returns what it returned.
std::string in_child(const std::function<std::string()>& body) {
  int channel[2];
  if (::pipe(channel) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    const std::string said = body();
    const ssize_t written = ::write(channel[1], said.data(), said.size());
    ::_exit(written == static_cast<ssize_t>(said.size()) ? 0 : 1);
  }
  ::close(channel[1]);
  std::string said;
  char buffer[4096];
  for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;) {
    said.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(channel[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return said;
}

// in_child for a process that file permissions bind (as root it gives up
// the capabilities that override them) and, when `read_only_mount`, that
// sees `directory` through a read-only bind mount (which only root can
// make: "skip" otherwise).
std::string in_restricted_child(const fs::path& directory, bool read_only_mount,
                                const std::function<std::string()>& body) {
  return in_child([&]() -> std::string {
    if (read_only_mount) {
      const char* dir = directory.c_str();
      if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
          ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount(dir, dir, nullptr, MS_BIND, nullptr) != 0 ||
          ::mount(nullptr, dir, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        return "skip";
      }
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    ::syscall(SYS_capget, &header, data);
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
      data[cap / 32].effective &= ~(1u << (cap % 32));
      data[cap / 32].permitted &= ~(1u << (cap % 32));
    }
    ::syscall(SYS_capset, &header, data);
    return body();
  });
}

// A record that cannot be committed (here the file size limit stops the
// log's growth) says which configuration was lost.
// A study of schema 4 (no input format) reads as read in the fixed layout,
// before and after a writer upgrades it; the format is part of a record's
// digest.
TEST_F(StudyTest, AStudyOfVersion4ReadsAsTheFixedLayout) {
  {
    Study study = open_with_batch();
    record(study, key("S1"), 1);
    record(study, key("S2"), 2, 2);
  }
  sqlite3* db = raw_open(path());
  raw_exec(db, std::string(kBeforeVersion5) + "PRAGMA user_version = 4");
  sqlite3_close(db);
  for (bool read_only : {true, false}) {
    Study study;
    ASSERT_FALSE(Study::open(path(), study, read_only));
    study::Snapshot snapshot;
    ASSERT_FALSE(study.read(snapshot));
    ASSERT_EQ(snapshot.configurations.size(), 2u);
    for (const study::Stored& s : snapshot.configurations) {
      EXPECT_EQ(s.record.input_format, "fixed");
      study::Stored csv = s;
      csv.record.input_format = "csv";
      EXPECT_NE(study::record_digest(csv), study::record_digest(s));
    }
  }
}

TEST_F(StudyTest, ARecordThatFailsNamesItsConfiguration) {
  const std::string said = in_child([&] {
    Study study = open_with_batch();
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{0, RLIM_INFINITY};  // nothing more may be written
    ::setrlimit(RLIMIT_FSIZE, &limit);
    return study
        .record(sample_configuration(key("TOL", "0.1", "no6"), 1, batch_), sample_coefficients(),
                sample_fits())
        .message;
  });
  EXPECT_EQ(said.substr(0, ("cannot record TOL/0.1/no6 in " + path() + ": ").size()),
            "cannot record TOL/0.1/no6 in " + path() + ": ")
      << said;
}

// A valid study where it cannot be written is said to be so (never "not a
// study", which might send it away), and is still read where only reading
// is asked (merge's shares); its bytes stay as they were.
TEST_F(StudyTest, AValidStudyThatCannotBeWrittenIsRefusedAsSuchAndStillRead) {
  struct Case {
    const char* name;
    bool mount;               // a read-only mount
    fs::perms directory, file;  // or these permissions
    const char* written;      // what opening it to write says, after the path
    const char* read;         // and what reading it gives
  };
  const char* const kRead = "3 configurations read";
  const Case cases[] = {
      {"read-only directory", false, fs::perms(0555), fs::perms(0644),
       ": its directory {dir}: permission denied; it is left as it is: make it writable, or give "
       "a --report you can write",
       kRead},
      {"read-only file", false, fs::perms(0755), fs::perms(0444),
       ": permission denied; it is left as it is: make it writable, or give a --report you can "
       "write",
       kRead},
      {"read-only disk", true, fs::perms(0755), fs::perms(0644),
       ": read-only file system; it is left as it is: give a --report on a writable disk", kRead},
      {"unreadable file", false, fs::perms(0755), fs::perms(0),
       ": permission denied; it is left as it is",
       "cannot read the study database {file}: permission denied; it is left as it is"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = scratch_.path() / c.name;
    const fs::path file = dir / study::kDatabaseName;
    {
      Study study;
      ASSERT_FALSE(Study::open(file.string(), study));
      std::int64_t id = 0;
      ASSERT_FALSE(study.begin_batch(sample_batch(), id));
      for (int run = 1; run <= 3; ++run) {
        ASSERT_FALSE(study.record(sample_configuration(key(("S" + std::to_string(run)).c_str()),
                                                       run, id),
                                  sample_coefficients(), sample_fits()));
      }
    }
    const std::string before = read_file(file);
    fs::permissions(file, c.file);
    fs::permissions(dir, c.directory);
    const std::string said = in_restricted_child(dir, c.mount, [&] {
      Study study;
      const Error written = Study::open(file.string(), study);
      std::string said = (written.refusal ? "refused: " : "") + written.message + "\n";
      Study reader;
      study::Snapshot snapshot;
      Error read = Study::open(file.string(), reader, /*read_only=*/true);
      if (!read) read = reader.read(snapshot);
      return said + (read ? read.message : std::to_string(snapshot.configurations.size()) +
                                               " configurations read");
    });
    fs::permissions(dir, fs::perms(0755));
    if (said == "skip") {
      std::cout << "skipped " << c.name << ": only root makes a read-only mount\n";
      continue;
    }
    auto with_paths = [&](std::string text) {
      for (auto [mark, path] : {std::pair{"{dir}", dir}, {"{file}", file}}) {
        if (const auto at = text.find(mark); at != std::string::npos) {
          text.replace(at, std::string_view(mark).size(), path.string());
        }
      }
      return text;
    };
    const std::string verb = c.file == fs::perms(0) ? "read" : "write";
    EXPECT_EQ(said, "refused: cannot " + verb + " the study database " + file.string() +
                        with_paths(c.written) + "\n" + with_paths(c.read));
    EXPECT_EQ(read_file(file), before);
  }
}

TEST(StudyUnchanged, OnlyEqualSizesTimesAndDigestsOfEveryFileAndEqualConstantsCount) {
  const study::ConfigurationRecord stored = sample_configuration(key("TOL"), 1, 1);
  const config::RateConstants recorded{stored.kp, stored.k};
  struct Case {
    const char* change;
    std::function<void(std::array<study::FileRecord, 3>&, std::string&, config::RateConstants&)>
        apply;
    bool unchanged;
  };
  const Case cases[] = {
      {"nothing", [](auto&, auto&, auto&) {}, true},
      {"an input's size", [](auto& in, auto&, auto&) { in[study::kBins].size += 1; }, false},
      {"an input's time", [](auto& in, auto&, auto&) { in[study::kPrecursor].mtime_ns += 1; },
       false},
      {"an input's digest",
       [](auto& in, auto&, auto&) { in[study::kMolarMasses].sha256[5] = 'f'; }, false},
      // The other layout reads other files.
      {"an input's path", [](auto& in, auto&, auto&) { in[study::kPrecursor].path += ".ideal"; },
       false},
      {"the results' digest", [](auto&, auto& results, auto&) { results[0] = 'z'; }, false},
      {"no results file", [](auto&, auto& results, auto&) { results.clear(); }, false},
      {"kp by one bit",
       [](auto&, auto&, auto& rates) { rates.kp = std::nextafter(rates.kp, 1.0); }, false},
      {"K(6) by one bit",
       [](auto&, auto&, auto& rates) { rates.k[5] = std::nextafter(rates.k[5], 1.0); }, false},
  };
  for (const Case& c : cases) {
    std::array<study::FileRecord, 3> inputs = stored.inputs;
    std::string results = stored.results_sha256;
    config::RateConstants rates = recorded;
    c.apply(inputs, results, rates);
    EXPECT_EQ(study::unchanged(stored, inputs, results, rates), c.unchanged) << c.change;
  }
  study::ConfigurationRecord never_written = stored;
  never_written.results_sha256.clear();
  EXPECT_FALSE(study::unchanged(never_written, stored.inputs, "", recorded));
}

TEST_F(StudyTest, ObserveFileGivesSizeTimeAndDigest) {
  const fs::path file = scratch_.path() / "aer.precursor";
  write_file(file, "abc");
  fs::last_write_time(file, fs::file_time_type{} + std::chrono::nanoseconds{0});
  study::FileRecord observed;
  ASSERT_FALSE(study::observe_file(file.string(), observed));
  EXPECT_EQ(observed.path, file.string());
  EXPECT_EQ(observed.size, 3);
  EXPECT_EQ(observed.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  write_file(file, "abd");
  study::FileRecord again;
  ASSERT_FALSE(study::observe_file(file.string(), again));
  EXPECT_NE(again.mtime_ns, observed.mtime_ns);
  EXPECT_TRUE(study::observe_file((scratch_.path() / "none").string(), again));
}

// A batch killed at any moment leaves a database that opens, passes the
// integrity check and holds whole configurations only: each the rows of one
// record call, with all 42 coefficients and 6 fits of that call's variant.
// Three kills, each at another point of the writer's progress.
TEST_F(StudyTest, KilledWriterLeavesWholeConfigurationsOnly) {
  if (VBSFIT_SANITIZED) GTEST_SKIP() << "signal delivery under the sanitizers";
  constexpr int kConfigurations = 50;
  Study created = open_with_batch();
  created = Study();  // closed before the fork: the child opens its own connection
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE("kill " + std::to_string(round));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Study study;
      if (Study::open(path(), study)) ::_exit(3);
      // The same configurations again and again, as reruns would record them.
      for (int n = 0;; ++n) {
        const int run = n % kConfigurations + 1;
        const int variant = (round - 1) * 10 + n / kConfigurations + 1;
        const study::Key k = key(("S" + std::to_string(run)).c_str());
        if (study.record(sample_configuration(k, run, batch_, variant),
                         sample_coefficients(variant), sample_fits(variant))) {
          ::_exit(4);
        }
      }
    }
    // Killed once it has rerun some configurations of this round.
    const std::string awaited = "variant " + std::to_string((round - 1) * 10 + 1 + round);
    Study reader;
    ASSERT_FALSE(Study::open(path(), reader));
    for (int polls = 0; polls < 100000; ++polls) {
      std::optional<study::Stored> found;
      ASSERT_FALSE(reader.find(key("S7"), found));
      if (found && found->record.message == awaited) break;
      ::usleep(1000);
    }
    reader = Study();
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself with " << WEXITSTATUS(status);

    Study study;
    const Error opened = Study::open(path(), study);
    ASSERT_FALSE(opened) << opened.message;
    ASSERT_FALSE(study.integrity_check());
    study::Snapshot snapshot;
    ASSERT_FALSE(study.read(snapshot));
    ASSERT_EQ(snapshot.configurations.size(), std::size_t{kConfigurations});
    for (const study::Stored& s : snapshot.configurations) {
      SCOPED_TRACE(display_name(s.record.key));
      const int variant = std::stoi(s.record.message.substr(std::string("variant ").size()));
      expect_same(s.record, sample_configuration(s.record.key, s.record.run, batch_, variant));
      expect_same(s.coefficients, sample_coefficients(variant));
      expect_same(s.fits, sample_fits(variant));
    }
  }
}

// A reader in another connection during a write transaction sees the last
// commit, whole, and is not kept waiting; after the commit it sees the new
// one.
TEST_F(StudyTest, ReaderDuringAWriteSeesTheLastCommit) {
  Study study = open_with_batch();
  record(study, key("OLE2_OH"), 1, 1);
  study::Snapshot before;
  ASSERT_FALSE(study.read(before));

  sqlite3* writer = raw_open(path());
  raw_exec(writer,
           "BEGIN IMMEDIATE; DELETE FROM coefficients; "
           "UPDATE configurations SET state = 'failed', message = 'half written'");
  Study reader;
  ASSERT_FALSE(Study::open(path(), reader));
  study::Snapshot during;
  ASSERT_FALSE(reader.read(during));
  ASSERT_EQ(during.configurations.size(), 1u);
  EXPECT_EQ(during.configurations[0].record.message, "variant 1");
  EXPECT_EQ(during.configurations[0].coefficients.size(), 42u);
  raw_exec(writer, "COMMIT");
  sqlite3_close(writer);
  study::Snapshot after;
  ASSERT_FALSE(reader.read(after));
  EXPECT_EQ(after.configurations[0].record.message, "half written");
  EXPECT_TRUE(after.configurations[0].coefficients.empty());
}

}  // namespace

namespace {

// What history holds of one configuration: its fits' batches and whether
// each has its results file's bytes.
std::vector<std::pair<std::int64_t, bool>> fits_of(const study::Snapshot& s, const study::Key& k) {
  std::vector<std::pair<std::int64_t, bool>> fits;
  for (const study::FitRecord& fit : s.history) {
    if (fit.stored.record.key == k) fits.push_back({fit.stored.record.batch, fit.results.has_value()});
  }
  return fits;
}

}  // namespace

// A fit made now adds to history; a result kept is matched to its fit by
// the results file's digest (its batch stays the fitting one, the bytes
// added when history lacked them) and adds none; a failure points to no
// fit. Each recording by a batch is logged.
TEST_F(StudyTest, HistoryKeepsEveryFitAndAKeptResultAddsNone) {
  Study study = open_with_batch();
  const study::Key k = key("TOL");
  const std::string bytes = "results file\n";
  study::ConfigurationRecord first = sample_configuration(k, 1, batch_, 1);
  first.results_sha256 = study::sha256(bytes);
  ASSERT_FALSE(study.record(first, sample_coefficients(1), sample_fits(1),
                            {batch_, "", /*new_fit=*/true, std::string("not the file")}));
  std::int64_t second_batch = 0;
  ASSERT_FALSE(study.begin_batch(sample_batch(), second_batch));
  study::ConfigurationRecord kept = first;
  kept.state = "kept";
  kept.batch = second_batch;
  ASSERT_FALSE(study.record(kept, sample_coefficients(1), sample_fits(1),
                            {second_batch, "", false, bytes}));
  std::optional<study::Stored> found;
  ASSERT_FALSE(study.find(k, found));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->record.batch, batch_);  // the fitting batch, not the keeping one
  EXPECT_EQ(found->ran_by, second_batch);
  study::Snapshot s;
  ASSERT_FALSE(study.read_history(s));
  // The bytes that were not the recorded file were not kept; the kept
  // result's were, into the same fit.
  EXPECT_EQ(fits_of(s, k), (std::vector<std::pair<std::int64_t, bool>>{{batch_, true}}));
  EXPECT_EQ(*s.history[0].results, bytes);

  // Judged anew (other verdicts, the same file): the configuration shows
  // them, its fit keeps the rows it was recorded with (checked below).
  std::vector<study::CoefficientRow> rejudged = sample_coefficients(1);
  for (study::CoefficientRow& row : rejudged) row.flag = "undetermined";
  ASSERT_FALSE(study.record(kept, rejudged, sample_fits(1), {second_batch, "", false, bytes}));
  ASSERT_FALSE(study.find(k, found));
  EXPECT_EQ(found->coefficients.front().flag, "undetermined");

  std::int64_t third_batch = 0;
  ASSERT_FALSE(study.begin_batch(sample_batch(), third_batch));
  study::ConfigurationRecord refit = sample_configuration(k, 1, third_batch, 2);
  ASSERT_FALSE(study.record(refit, sample_coefficients(2), sample_fits(2),
                            {third_batch, "", true, std::nullopt}));
  study::ConfigurationRecord failed = sample_configuration(k, 1, third_batch, 3);
  failed.state = "failed";
  failed.results_sha256.clear();
  ASSERT_FALSE(study.record(failed, {}, {}, {third_batch, "", false, std::nullopt}));
  ASSERT_FALSE(study.read_history(s));
  EXPECT_EQ(fits_of(s, k),
            (std::vector<std::pair<std::int64_t, bool>>{{batch_, true}, {third_batch, false}}));
  ASSERT_EQ(s.history.size(), 2u);
  // The first fit, whole: its rows' digest is that of what was recorded.
  EXPECT_EQ(study::record_digest(s.history[0].stored),
            study::record_digest({first, sample_coefficients(1), sample_fits(1), {}, {}}));
  ASSERT_FALSE(study.find(k, found));
  EXPECT_EQ(found->fit, 0);  // failed: no current fit
  // Forgotten, the refit stays in history with its rows.
  std::vector<study::Key> removed;
  ASSERT_FALSE(study.forget({k}, removed));
  ASSERT_FALSE(study.read_history(s));
  ASSERT_EQ(s.history.size(), 2u);
  EXPECT_EQ(study::record_digest(s.history[1].stored),
            study::record_digest({refit, sample_coefficients(2), sample_fits(2), {}, {}}));
  std::vector<std::string> log;
  for (const study::LogRow& row : s.log) log.push_back(std::to_string(row.batch) + " " + row.action);
  EXPECT_EQ(log, (std::vector<std::string>{std::to_string(batch_) + " fitted",
                                           std::to_string(second_batch) + " kept",
                                           std::to_string(third_batch) + " failed"}));
}

// A study of version 4: its current numbers become each configuration's
// first fit (under its batch's limits, without the results file's bytes),
// logged as its batch's; a configuration without coefficients has none.
TEST_F(StudyTest, AVersionFourStudyIsUpgradedWithItsNumbersAsTheFirstFits) {
  {
    Study study = open_with_batch();
    record(study, key("S1"), 1, 1);
    record(study, key("S2"), 2, 2);
    study::ConfigurationRecord failed = sample_configuration(key("S3"), 3, batch_, 3);
    failed.state = "failed";
    failed.results_sha256.clear();
    ASSERT_FALSE(study.record(failed, {}, {}));
  }
  sqlite3* db = raw_open(path());
  raw_exec(db, std::string(kBeforeVersion5) + "PRAGMA user_version = 4");
  sqlite3_close(db);
  Study study;
  ASSERT_FALSE(Study::open(path(), study));
  study::Snapshot s;
  ASSERT_FALSE(study.read(s));
  ASSERT_FALSE(study.read_history(s));
  ASSERT_EQ(s.history.size(), 2u);
  for (const study::FitRecord& fit : s.history) {
    const study::Stored& now = s.configurations[fit.id - 1];
    EXPECT_EQ(now.fit, fit.id);
    // The digest reads every column of the row and its rows (NaN, which no
    // == matches, as NULL): the first fit is the row as it stood.
    EXPECT_EQ(study::record_digest(fit.stored), study::record_digest(now));
    EXPECT_EQ(fit.stored.record_sha256, now.record_sha256);
    EXPECT_EQ(fit.se_limit, sample_batch().se_limit);
    EXPECT_FALSE(fit.results.has_value());
  }
  EXPECT_EQ(s.configurations[2].fit, 0);
  ASSERT_EQ(s.log.size(), 3u);
  EXPECT_EQ(s.log[0].action, "fitted");
  EXPECT_EQ(s.log[2].action, "failed");
  EXPECT_EQ(s.batches[0].kind, study::kBatchKind);
  EXPECT_FALSE(study.integrity_check());
}
