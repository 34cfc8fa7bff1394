// vbsfit-batch --merge checked against the working directory's files and
// the shares' records: what changed since a share ran is found as a rerun
// finds it, and a share edited by hand or fitted with other constants is
// refused.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "batch_study.hpp"
#include "report/report.hpp"

namespace {

using batch::CsvRow;
using namespace testsupport;

// Two shares of a plan of four configurations: share 1 holds the allgas
// ones, share 2 the no6 ones.
class Merge : public BatchStudy {
 protected:
  void SetUp() override {
    BatchStudy::SetUp();
    write_file(root() / "study.plan",
               "OLE2_OH,0.1,allgas\nOLE2_OH,0.1,no6\nAPI_OH,0.1,allgas\nAPI_OH,0.1,no6\n");
  }
  ProgramRun share(int k, std::vector<std::string> more = {}) const {
    std::vector<std::string> args = {"--plan", "../study.plan", "--shard",
                                     std::to_string(k) + "/2", "--report",
                                     "../s-" + std::to_string(k)};
    args.insert(args.end(), more.begin(), more.end());
    return batch(args);
  }
  ProgramRun merge(std::vector<std::string> more = {}) const {
    std::vector<std::string> args = {"--merge", "--report", "../joined", "../s-1", "../s-2"};
    args.insert(args.end(), more.begin(), more.end());
    return batch(args);
  }
  // The coefficients.csv rows of one configuration in `report_dir`.
  static std::vector<CsvRow> coefficients_of(const fs::path& report_dir, const std::string& species,
                                             const std::string& tag) {
    std::vector<CsvRow> rows;
    for (const CsvRow& row : read_table(report_dir / "coefficients.csv")) {
      if (row.size() > 2 && row[0] == species && row[2] == tag) rows.push_back(row);
    }
    return rows;
  }
};

// A share whose results file was replaced after it was recorded (a --refit
// killed between the two) gives the file's numbers, checked in memory; a
// share whose inputs changed after it ran is stale and named.
TEST_F(Merge, ChangedFilesAreFoundAsARerunFindsThem) {
  ASSERT_EQ(share(1).exit_status, 0);
  ASSERT_EQ(share(2).exit_status, 0);
  const std::vector<CsvRow> recorded = coefficients_of(root() / "s-1", "OLE2_OH", "allgas");
  ASSERT_FALSE(recorded.empty());

  // OLE2_OH fitted anew outside the shares; API_OH's inputs changed, unfitted.
  simulate_again("OLE2_OH");
  ASSERT_EQ(batch({"--species", "OLE2_OH", "--tag", "allgas,no6", "--refit", "--report",
                   "../elsewhere"})
                .exit_status,
            0);
  simulate_again("API_OH");

  const ProgramRun joined = merge();
  EXPECT_EQ(joined.exit_status, 1) << joined.err;
  const std::vector<CsvRow> now = coefficients_of(root() / "joined", "OLE2_OH", "allgas");
  EXPECT_NE(now, recorded);
  EXPECT_EQ(now, coefficients_of(root() / "elsewhere", "OLE2_OH", "allgas"));
  EXPECT_TRUE(coefficients_of(root() / "joined", "API_OH", "allgas").empty());
  EXPECT_TRUE(fs::exists(root() / "joined" / "OLE2_OH,0.1,allgas.html"));
  EXPECT_FALSE(fs::exists(root() / "joined" / "API_OH,0.1,allgas.html"));

  const std::vector<CsvRow> runs = read_table(root() / "joined" / "runs.csv");
  EXPECT_EQ(run_row(runs, "OLE2_OH", "0.1", "allgas")[column(runs, "state")], "kept");
  EXPECT_EQ(run_row(runs, "API_OH", "0.1", "no6")[column(runs, "state")], "stale");
  for (const char* line :
       {"vbsfit-batch: OLE2_OH/0.1/allgas: its share recorded other files than "
        "FITS/fit6_coef.OLE2_OH.0.1.allgas and its inputs are now; its numbers are its results "
        "file's, checked in memory\n",
        "vbsfit-batch: 4 configurations: 0 succeeded, 2 kept, 0 failed, 2 stale\n",
        "  stale: API_OH/0.1/allgas: FITS/fit6_coef.API_OH.0.1.allgas does not match its inputs: "
        "they changed since it was written, or the file was edited; --refit replaces it\n"}) {
    EXPECT_NE(joined.err.find(line), std::string::npos) << line << "\nin:\n" << joined.err;
  }
}

// A working directory without the inputs: every configuration is named, as
// one whose record cannot be checked and whose page cannot be drawn.
TEST_F(Merge, AWorkingDirectoryWithoutTheInputsIsSaidAndEachConfigurationNamed) {
  ASSERT_EQ(share(1).exit_status, 0);
  ASSERT_EQ(share(2).exit_status, 0);
  fs::create_directories(root() / "elsewhere" / "empty" / "FITS");
  const ProgramRun joined = merge({"--workdir", "../elsewhere/empty"});
  EXPECT_EQ(joined.exit_status, 1);
  EXPECT_NE(joined.err.find("vbsfit-batch: the working directory ../elsewhere/empty lacks the inputs of 4 "
                            "configurations: their records cannot be checked and their pages "
                            "cannot be drawn (give the shares' working directory with --workdir)\n"),
            std::string::npos)
      << joined.err;
  EXPECT_NE(joined.err.find("  stale: OLE2_OH/0.1/no6: its results file could not be checked: its "
                            "inputs cannot be read: cannot read ../elsewhere/empty/../INPUTS_ODE/"),
            std::string::npos)
      << joined.err;
  EXPECT_EQ(read_table(root() / "joined" / "coefficients.csv").size(), 1u);  // the header
}

// A share's database changed by hand is refused, naming it and the
// configuration; so is a share fitted with another species table, unless
// asked.
TEST_F(Merge, EditedSharesAndSharesOfOtherConstantsAreRefused) {
  write_file(root() / "species.csv", "species,kp,multiplier,multiplier6,layout\n"
                                     "OLE2_OH,3.1e-11,1.2e-12,4e-13,standard\n");
  ASSERT_EQ(share(1).exit_status, 0);
  ASSERT_EQ(share(2, {"--species-table", "../species.csv"}).exit_status, 0);

  const ProgramRun mixed = merge();
  EXPECT_EQ(mixed.exit_status, 2);
  EXPECT_EQ(mixed.first_err_line().rfind("vbsfit-batch: the species OLE2_OH was fitted with other "
                                         "constants in ../s-1/study.sqlite (kp ",
                                         0),
            0u)
      << mixed.err;
  EXPECT_NE(mixed.err.find("give --allow-mixed-constants to join them as they are"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(root() / "joined"));

  const ProgramRun allowed = merge({"--allow-mixed-constants", "--no-pages"});
  EXPECT_EQ(allowed.exit_status, 0) << allowed.err;
  EXPECT_NE(allowed.err.find("models.csv compares its tags as they were fitted"), std::string::npos)
      << allowed.err;
  // With pages: each is drawn with the constants its share fitted it with,
  // which its record keeps.
  const ProgramRun drawn = merge({"--allow-mixed-constants"});
  EXPECT_EQ(drawn.exit_status, 0) << drawn.err;
  EXPECT_EQ(drawn.err.find("no page:"), std::string::npos) << drawn.err;
  for (const char* tag : {"allgas", "no6"}) {
    EXPECT_TRUE(fs::exists(root() / "joined" / report::page_name("OLE2_OH", "0.1", tag))) << tag;
  }

  ASSERT_EQ(share(2, {"--refit"}).exit_status, 0);  // refitted with the built-in constants
  const struct {
    const char* name;
    const char* sql;
    const char* configuration;
  } edits[] = {
      {"a coefficient", "UPDATE coefficients SET coefficient = 0.5 WHERE tag = 'no6'",
       "OLE2_OH/0.1/no6"},
      {"a results digest",
       "UPDATE configurations SET results_sha256 = upper(results_sha256) WHERE species = 'API_OH'",
       "API_OH/0.1/no6"},
  };
  for (const auto& e : edits) {
    SCOPED_TRACE(e.name);
    fs::remove_all(root() / "s-edited");
    fs::copy(root() / "s-2", root() / "s-edited", fs::copy_options::recursive);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root() / "s-edited" / "study.sqlite").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, e.sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    const ProgramRun edited = batch({"--merge", "--report", "../edited", "../s-1", "../s-edited"});
    EXPECT_EQ(edited.exit_status, 2);
    EXPECT_EQ(edited.first_err_line(),
              "vbsfit-batch: ../s-edited/study.sqlite holds " + std::string(e.configuration) +
                  " with a record changed since its batch wrote it (its rows do not match their "
                  "record_sha256); run that share's batch again to check it against its files")
        << edited.err;
  }
  EXPECT_FALSE(fs::exists(root() / "edited"));
}

// A share of schema 1 has no digests to check: its fitted configurations
// are checked in memory against their results files, so an edit made to it
// never reaches the joined tables.
// A share of schema 1 (no digests) or 3 (digests of the flags and standard
// errors of the earlier kind, no ols_standard_error): its rows are refitted
// from its files, and the joined study holds this version's figures.
TEST_F(Merge, AnEarlierShareIsCheckedAgainstItsFilesNotTrusted) {
  const struct {
    int version;
    const char* made;  // from a share of this version, its numbers then changed
  } cases[] = {
      {1, "ALTER TABLE configurations DROP COLUMN record_sha256; "
          "ALTER TABLE coefficients DROP COLUMN ols_standard_error; PRAGMA user_version = 1"},
      {3, "UPDATE coefficients SET flag = 'determined' WHERE flag = 'trusted'; "
          "ALTER TABLE coefficients DROP COLUMN ols_standard_error; PRAGMA user_version = 3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    for (const char* made : {"s-1", "s-2", "joined"}) fs::remove_all(root() / made);
    ASSERT_EQ(share(1).exit_status, 0);
    ASSERT_EQ(share(2).exit_status, 0);
    const std::vector<CsvRow> fitted = coefficients_of(root() / "s-1", "API_OH", "allgas");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root() / "s-1" / "study.sqlite").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, (std::string(c.made) + "; UPDATE coefficients SET coefficient = 0.5").c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const ProgramRun joined = merge({"--no-pages"});
    EXPECT_EQ(joined.exit_status, 0) << joined.err;
    EXPECT_EQ(coefficients_of(root() / "joined", "API_OH", "allgas"), fitted);
  }
}

}  // namespace
