// vbsfit-batch with the names and files people get wrong: each refused
// before anything runs, with what was meant; species of a species table
// file fitted exactly as built-in ones; --dry-run's plan read back.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "batch/tables.hpp"
#include "batch_study.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::column;
using testsupport::read_file;
using testsupport::read_table;
using testsupport::run_row;
using testsupport::write_file;

// The built-in OLE2_OH row under another name.
const char* const kCopiedTable =
    "species,kp,multiplier,multiplier6,layout\nMY_OLE,0.0001412,4e-05,4e-05,standard\n";

class BatchNames : public testsupport::BatchStudy {
 protected:
  bool nothing_written() const {
    return !fs::exists(report()) && fs::is_empty(run_dir() / "FITS");
  }
};

struct Refusal {
  std::vector<std::string> args;
  std::string message;  // a part of standard error's first line
};

TEST_F(BatchNames, EachRefusalEndsWithStatusTwoBeforeAnythingRuns) {
  write_file(run_dir() / "lower.plan", "species,scenario,tag\nole2_oh,0.1,allgas\n");
  write_file(run_dir() / "bad.csv", "species,kp,multiplier,multiplier6\nNEW,1e-5,x,4e-05\n");
  write_file(run_dir() / "twice.csv",
             "species,kp,multiplier,multiplier6\nNEW,1e-5,4e-05,4e-05\nNEW,1e-5,4e-05,4e-05\n");
  write_file(run_dir() / "bidi.plan", "OLE2_OH,0.1,allgas\nOLE2_OH,0.1,\xE2\x81\xA6x\n");
  write_file(run_dir() / "c1.csv",
             "species,kp,multiplier,multiplier6\nN\xC2\x85,1e-5,4e-05,4e-05\n");
  write_file(run_dir() / "afile", "");
  write_file(run_dir() / "huge.plan", std::string((4u << 20) + 1, '#'));
  fs::create_directory(run_dir() / "share");
  // A share whose study is a text file.
  fs::create_directory(run_dir() / "odd-share");
  write_file(run_dir() / "odd-share" / "study.sqlite", "not a database\n");
  const Refusal cases[] = {
      {{"--species", "tol"},
       "--species: the species 'tol' is in no species table; did you mean TOL? (names are "
       "case-sensitive;"},
      {{"--species", "OLE2OH"}, "did you mean OLE2_OH or OLE1_OH?"},
      {{"--species", "BENZENE"}, "the species 'BENZENE' is in no species table (names are"},
      {{"--tag", "allgas,No6"}, "--tag: the tag 'No6' is not the tag rule no6; did you mean no6?"},
      {{"--tag", "no-56"}, "did you mean no56?"},
      {{"--plan", "lower.plan"},
       "lower.plan:2: the species 'ole2_oh' is in no species table; did you mean OLE2_OH?"},
      {{"--species", "NEW", "--species-table", "bad.csv"},
       "bad.csv line 2: multiplier 'x' is not a number"},
      {{"--species", "NEW", "--species-table", "twice.csv"},
       "twice.csv line 3: the species 'NEW' has a row already, on line 2"},
      {{"--plan", "."}, "cannot read the plan .: is a directory"},
      {{"--plan", "/dev/zero"}, "cannot read the plan /dev/zero: is not a regular file"},
      {{"--plan", "huge.plan"}, "cannot read the plan huge.plan: is larger than 4 MiB, the limit"},
      {{"--species-table", "share"}, "cannot read the species table share: is a directory"},
      {{"--species-table", "missing.csv"},
       "cannot read the species table missing.csv: No such file"},
      {{"--species", "\xff\xfe" "A", "--allow-unknown-species"},
       "species '\\xff\\xfeA' is not valid UTF-8"},
      // C1 controls and bidirectional formatting characters, shown escaped,
      // from the command line, a plan and a species table; a species
      // beginning with '#', which a plan would read as a comment.
      {{"--species", "A\xC2\x85", "--allow-unknown-species"},
       "--species: species 'A\\u0085' contains a control character"},
      {{"--scenario", "0\xC2\x9B" "1"},
       "--scenario: scenario '0\\u009b1' contains a control character"},
      {{"--tag", "all\xE2\x80\xAEgas"},
       "--tag: tag 'all\\u202egas' contains a bidirectional formatting character"},
      {{"--plan", "bidi.plan"},
       "bidi.plan:2: tag '\\u2066x' contains a bidirectional formatting character"},
      {{"--species", "N\xC2\x85", "--species-table", "c1.csv"},
       "c1.csv line 2: the species 'N\\xc2\\x85' contains a control character"},
      {{"--species", "TOL,#TOL", "--dry-run"},
       "--species: species '#TOL' begins with '#', which starts a comment in a plan"},
      {{"--report", "afile"}, "--report afile exists and is not a directory"},
      {{"--merge", "--report", "joined", "afile"}, "afile is not a directory"},
      {{"--merge", "--report", "joined", "share"}, "share is not a report of vbsfit-batch"},
      {{"--merge", "--report", "joined", "odd-share"},
       "odd-share/study.sqlite is not a study database"},
  };
  for (const Refusal& c : cases) {
    const auto run = batch(c.args);
    EXPECT_EQ(run.exit_status, 2) << c.args.front() << " " << c.args.back();
    EXPECT_NE(run.first_err_line().find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(nothing_written()) << c.message;
    EXPECT_FALSE(fs::exists(run_dir() / "joined"));
  }
}

TEST_F(BatchNames, ARowCopiedUnderANewNameFitsByteForByteAsTheBuiltInOne) {
  write_file(root() / "species.csv", kCopiedTable);
  // The same simulation as OLE2_OH's (seed 1), under the new name.
  const auto made = testsupport::run_program(
      testsupport::binary("vbsgen"), root(),
      {"--species", "MY_OLE", "--species-table", "species.csv", "--seed", "1"});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  const auto run = batch({"--species", "OLE2_OH,MY_OLE", "--species-table", "../species.csv"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(read_file(results("MY_OLE", "0.1", "allgas")),
            read_file(results("OLE2_OH", "0.1", "allgas")));
  // Standard output differs only in the three input paths, which name the species.
  const auto lines_of = [&](const std::string& species) {
    return testsupport::lines_of(
        read_file(with_suffix(run_files(species, "0.1", "allgas", report()), batch::kStdoutSuffix)));
  };
  const std::vector<std::string> builtin = lines_of("OLE2_OH"), copied = lines_of("MY_OLE");
  ASSERT_EQ(builtin.size(), copied.size());
  for (std::size_t n = 0; n < builtin.size(); ++n) {
    if (n >= 2 && n <= 4) continue;
    EXPECT_EQ(builtin[n], copied[n]) << n;
  }
  const auto runs = read_table(report() / "runs.csv");
  const batch::CsvRow a = run_row(runs, "OLE2_OH", "0.1", "allgas");
  const batch::CsvRow b = run_row(runs, "MY_OLE", "0.1", "allgas");
  for (const char* same : {"known_species", "kp", "k1", "k6", "wmol1", "undetermined"}) {
    EXPECT_EQ(a[column(runs, same)], b[column(runs, same)]) << same;
  }
  EXPECT_EQ(a[column(runs, "species_source")], "built-in");
  EXPECT_EQ(b[column(runs, "species_source")], "file");
  // The rows used are kept with the report.
  EXPECT_NE(read_file(report() / "species.csv").find("\nMY_OLE,0.0001412,4e-05,4e-05,standard\n"),
            std::string::npos);
}

TEST_F(BatchNames, AFileRowReplacesTheBuiltInOneAndTheSummarySaysSo) {
  write_file(run_dir() / "species.csv",
             "species,kp,multiplier,multiplier6\nOLE2_OH,2e-05,4e-05,4e-05\n");
  const auto listed = batch({"--list-species", "--species-table", "species.csv"});
  ASSERT_EQ(listed.exit_status, 0);
  EXPECT_NE(listed.out.find("\nOLE2_OH,2e-05,4e-05,4e-05,standard\n"), std::string::npos);
  EXPECT_EQ(listed.out.find("0.0001412"), std::string::npos);

  const auto run = batch({"--species-table", "species.csv"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("\n  rows of the species table file used in place of the built-in "
                         "ones: OLE2_OH\n"),
            std::string::npos)
      << run.err;
  const auto runs = read_table(report() / "runs.csv");
  const batch::CsvRow row = run_row(runs, "OLE2_OH", "0.1", "allgas");
  EXPECT_EQ(row[column(runs, "kp")], "1.9999999494757503e-05");
  EXPECT_EQ(row[column(runs, "species_source")], "file-replaces-built-in");
  EXPECT_NE(read_file(with_suffix(run_files("OLE2_OH", "0.1", "allgas", report()), ".stdout"))
                .find("k per sec"),
            std::string::npos);
}

TEST_F(BatchNames, ATableStartedFromListSpeciesReplacesNothingWorthAWord) {
  const auto listed = batch({"--list-species"});
  ASSERT_EQ(listed.exit_status, 0);
  write_file(run_dir() / "species.csv", listed.out);
  const auto run = batch({"--species-table", "species.csv"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err.find("used in place of the built-in"), std::string::npos) << run.err;
  // The record still says where the row came from.
  const auto runs = read_table(report() / "runs.csv");
  EXPECT_EQ(run_row(runs, "OLE2_OH", "0.1", "allgas")[column(runs, "species_source")],
            "file-replaces-built-in");
}

TEST_F(BatchNames, ATagOneEditFromATagNameRunsWithAWarning) {
  const struct {
    const char* tags;
    const char* warning;  // empty: none
  } cases[] = {
      {"alllgas", "vbsfit-batch: warning: the tag 'alllgas' is none of allgas, static, no56 "
                  "and no6: it runs every reaction, as a label of its own; did you mean allgas?\n"},
      {"no66", "did you mean no56 or no6?\n"},
      {"allgas,no6,winter", ""},
  };
  for (const auto& c : cases) {
    // Two species: a tag is warned of once, not per configuration.
    const auto run = batch({"--species", "OLE2_OH,TOL", "--tag", c.tags, "--dry-run"});
    EXPECT_EQ(run.exit_status, 0) << c.tags;
    if (*c.warning == 0) {
      EXPECT_EQ(run.err, "") << c.tags;
      continue;
    }
    EXPECT_NE(run.err.find(c.warning), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("warning"), run.err.rfind("warning")) << "warned once: " << run.err;
  }
}

TEST_F(BatchNames, AWorkdirOneLevelTooHighSaysWhereTheWorkingDirectoryBelongs) {
  ASSERT_TRUE(fs::is_directory(root() / "INPUTS_ODE"));
  const auto run = batch({"--workdir", ".."});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.first_err_line(),
            "vbsfit-batch: --workdir .. holds INPUTS_ODE, but a run looks for its inputs in "
            "../INPUTS_ODE beside its working directory (here ../../INPUTS_ODE); the working "
            "directory should be a directory in .. beside ../INPUTS_ODE, such as ../batch: "
            "mkdir -p ../batch/FITS and give --workdir ../batch");
  EXPECT_FALSE(fs::exists(root() / "batch"));
  EXPECT_FALSE(fs::exists(root() / "FITS"));
}

TEST_F(BatchNames, FailedConfigurationsAreToldHowToLeaveTheStudy) {
  const auto run = batch({"--scenario", "0,1"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("vbsfit-batch: 2 configurations: 0 succeeded, 0 kept, 2 failed\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("\n  failed configurations stay in the study until they are fitted; "
                         "--forget with a run set of only them (--species, --scenario, --tag or "
                         "--plan) removes them\n"),
            std::string::npos)
      << run.err;
  const auto forgot = batch({"--scenario", "0,1", "--forget"});
  EXPECT_EQ(forgot.exit_status, 0) << forgot.err;
  EXPECT_EQ(read_table(report() / "runs.csv").size(), 1u);  // the header alone
}

TEST_F(BatchNames, AllowUnknownSpeciesRunsWithTheDefaultConstantsAndSaysSo) {
  const auto run = batch({"--species", "ABCDEFGHIJ", "--scenario", "NOX_LABEL_20_CHARS__",
                          "--allow-unknown-species"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("not in the species table, run with the default rate constants: "
                         "ABCDEFGHIJ"),
            std::string::npos);
  const auto runs = read_table(report() / "runs.csv");
  const batch::CsvRow row = run_row(runs, "ABCDEFGHIJ", "NOX_LABEL_20_CHARS__", "allgas");
  EXPECT_EQ(row[column(runs, "known_species")], "false");
  EXPECT_EQ(row[column(runs, "species_source")], "default");
}

TEST_F(BatchNames, DryRunPrintsAPlanThatReadsBackToTheSameRunSet) {
  write_file(run_dir() / "species.csv", kCopiedTable);
  const std::vector<std::string> lists = {"--species", "OLE2_OH,MY_OLE", "--scenario", "0.1,0.5",
                                          "--tag", "allgas,no6", "--species-table", "species.csv"};
  std::vector<std::string> dry = lists;
  dry.push_back("--dry-run");
  const auto printed = batch(dry);
  ASSERT_EQ(printed.exit_status, 0) << printed.err;
  EXPECT_EQ(printed.out,
            "species,scenario,tag\nOLE2_OH,0.1,allgas\nOLE2_OH,0.1,no6\nOLE2_OH,0.5,allgas\n"
            "OLE2_OH,0.5,no6\nMY_OLE,0.1,allgas\nMY_OLE,0.1,no6\nMY_OLE,0.5,allgas\nMY_OLE,0.5,"
            "no6\n");
  EXPECT_TRUE(nothing_written());
  write_file(run_dir() / "study.plan", printed.out);
  const auto again =
      batch({"--plan", "study.plan", "--species-table", "species.csv", "--dry-run"});
  EXPECT_EQ(again.exit_status, 0) << again.err;
  EXPECT_EQ(again.out, printed.out);
  // The same run set: the shards of one may be joined with those of the other.
  const auto from_lists = batch([&] {
    auto args = lists;
    for (const char* a : {"--shard", "1/2", "--report", "r1", "--no-pages"}) args.push_back(a);
    return args;
  }());
  const auto from_plan = batch({"--plan", "study.plan", "--species-table", "species.csv",
                                "--shard", "2/2", "--report", "r2", "--no-pages"});
  EXPECT_EQ(from_lists.exit_status, 1);  // the 0.5 scenarios have no simulation
  EXPECT_EQ(from_plan.exit_status, 1);
  const auto joined = batch({"--merge", "--report", "joined", "--no-pages", "r1", "r2"});
  // Status 1 for the failed runs; the report must still be whole.
  ASSERT_EQ(joined.exit_status, 1) << joined.err;
  ASSERT_TRUE(fs::exists(run_dir() / "joined" / "runs.csv")) << joined.err;
  EXPECT_NE(joined.err.find("8 configurations"), std::string::npos) << joined.err;
  // The joined report knows the file's species as the shares did.
  EXPECT_EQ(read_file(run_dir() / "joined" / "species.csv"),
            read_file(run_dir() / "r1" / "species.csv"));
  const auto runs = read_table(run_dir() / "joined" / "runs.csv");
  EXPECT_EQ(run_row(runs, "MY_OLE", "0.1", "allgas")[column(runs, "known_species")], "true");
}

// Names that a spreadsheet would take for formulas are written into the
// tables as text, and read back as they were: a report whose study is gone
// is taken over from its runs.csv with the same configurations.
TEST_F(BatchNames, NamesThatLookLikeFormulasAreTextInTheTablesAndReadBackUnchanged) {
  const std::vector<std::string> args = {"--tag", "=1+1,-x,@y", "--no-pages"};
  const auto first = batch(args);
  ASSERT_EQ(first.exit_status, 0) << first.err;
  const std::string runs_text = read_file(report() / "runs.csv");
  for (const char* cell : {",\"'=1+1\",", ",\"'-x\",", ",\"'@y\","}) {
    EXPECT_NE(runs_text.find(cell), std::string::npos) << cell << "\n" << runs_text;
  }
  const std::string coefficients = read_file(report() / "coefficients.csv");
  EXPECT_NE(coefficients.find("OLE2_OH,0.1,\"'-x\",1,VOC,"), std::string::npos) << coefficients;
  fs::remove(report() / "study.sqlite");
  const auto again = batch(args);
  ASSERT_EQ(again.exit_status, 0) << again.err;
  const auto runs = read_table(report() / "runs.csv");
  ASSERT_EQ(runs.size(), 4u) << read_file(report() / "runs.csv");
  for (const char* tag : {"=1+1", "-x", "@y"}) {
    EXPECT_EQ(run_row(runs, "OLE2_OH", "0.1", tag)[column(runs, "state")], "kept") << tag;
  }
}

TEST_F(BatchNames, OutputThatCannotBeWrittenEndsWithStatusOne) {
  const std::string program = testsupport::binary("vbsfit-batch");
  for (const char* option : {"--help", "--list-species", "--dry-run", "--version"}) {
    const auto run = testsupport::run_in_child([&] {
      const int full = ::open("/dev/full", O_WRONLY);
      if (full < 0 || ::dup2(full, STDOUT_FILENO) < 0 || ::chdir(run_dir().c_str()) != 0) {
        ::_exit(127);
      }
      ::execl(program.c_str(), program.c_str(), option, static_cast<char*>(nullptr));
      ::_exit(127);
    });
    EXPECT_EQ(run.exit_status, 1) << option;
    EXPECT_EQ(run.first_err_line(),
              "vbsfit-batch: cannot write to standard output: No space left on device")
        << option;
  }
  EXPECT_TRUE(nothing_written());
}

}  // namespace
