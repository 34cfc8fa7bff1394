// The tables of vbsfit-batch's report: their header rows, and their
// replacement, which a signal that stops the batch never cuts short.
#include "batch/tables.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string_view>

#include "batch/batch.hpp"
#include "batch/test_points.hpp"
#include "batch_study.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::read_file;
using testsupport::read_table;

TEST(Tables, HeaderRowsAreTheColumnsTheReportHasAlwaysHad) {
  EXPECT_EQ(batch::csv_text(batch::runs_header(), {}),
            "run,species,scenario,tag,known_species,state,exit_status,message,results_path,kp,"
            "k1,k2,k3,k4,k5,k6,wmol1,wmol2,wmol3,wmol4,wmol5,wmol6,undetermined,seconds,"
            "species_source,input_records,misfit,replay_total_error,replay_total_rms_error,"
            "replay_mass_error,replay_mass_rms_error\n");
  EXPECT_EQ(batch::csv_text(batch::coefficients_header(), {}),
            "species,scenario,tag,target_bin,term,coefficient,lower,upper,at_bound,"
            "standard_error,flag,misfit,ols_standard_error\n");
  EXPECT_EQ(batch::csv_text(batch::fits_header(), {}),
            "species,scenario,tag,target_bin,rss,rms,r_squared,relative_residual,autocorrelation,"
            "misfit,drift,replay_error,replay_rms_error\n");
}

// The cells of names, messages, paths and flags are text, kept from being
// taken for formulas; those of numbers are not, so that -0.5 stays a number.
TEST(Tables, OnlyTextColumnsAreKeptFromBeingTakenForFormulas) {
  const struct {
    const batch::CsvRow& header;
    batch::TextFields text;
    std::vector<std::string> text_columns;
  } tables[] = {
      {batch::runs_header(), batch::kRunsText,
       {"species", "scenario", "tag", "known_species", "state", "message", "results_path",
        "species_source"}},
      {batch::coefficients_header(), batch::kCoefficientsText,
       {"species", "scenario", "tag", "term", "at_bound", "flag", "misfit"}},
      {batch::fits_header(), batch::kFitsText, {"species", "scenario", "tag", "misfit"}},
  };
  for (const auto& t : tables) {
    SCOPED_TRACE(t.header.front() + "... " + t.header.back());
    const batch::CsvRow row(t.header.size(), "-1");
    std::string expected;
    for (const std::string& name : t.header) {
      const bool text = std::find(t.text_columns.begin(), t.text_columns.end(), name) !=
                        t.text_columns.end();
      expected += (expected.empty() ? "" : ",") + std::string(text ? "\"'-1\"" : "-1");
    }
    std::string written;
    batch::append_csv_record(written, row, t.text);
    EXPECT_EQ(written, expected + "\n");
  }
}

// Hangs up on this process once runs.csv is replaced and the other tables
// are not yet.
void hang_up_after_runs(batch::TestPoint point, std::string_view subject) {
  if (point == batch::TestPoint::table_written && subject == batch::kRunsTable) {
    ::kill(::getpid(), SIGHUP);
  }
}

// The wait status of batch_main run with `args` in a child process (it keeps
// its report's lock until it ends), its standard error in `err`, with
// `action` on the batch's test points.
int batch_in_child(const std::vector<std::string>& args, const fs::path& err,
                   batch::TestPointAction action) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGHUP, SIG_DFL);
    const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDERR_FILENO);
    batch::set_test_point_action(action);
    ::_exit(batch::batch_main(args, {"OLE2_OH", "0.1", "allgas", "0", ""}));
  }
  int status = -1;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) ADD_FAILURE() << "no batch child";
  return status;
}

TEST(WriteTables, AHangUpWhileTheTablesAreReplacedWaitsForTheWholeReportAndItsSummary) {
  testsupport::ScratchDir dir;
  testsupport::copy_tree(fs::path(VBSFIT_SOURCE_DIR) / "examples", dir.path() / "example");
  const std::string run = (dir.path() / "example" / "run").string();
  const fs::path report = dir.path() / "report";
  auto args = [&](const std::string& tags) {
    return std::vector<std::string>{"--workdir", run, "--report", report.string(), "--tag", tags,
                                    "--no-pages"};
  };
  const fs::path err = dir.path() / "batch.err";
  // The old report: one configuration.
  ASSERT_EQ(batch_in_child(args("allgas"), err, nullptr), 0) << read_file(err);

  const int status = batch_in_child(args("allgas,no6"), err, hang_up_after_runs);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGHUP);
  // The new report, whole: two configurations in every table.
  EXPECT_EQ(read_table(report / batch::kRunsTable).size(), 1 + 2u);
  EXPECT_EQ(read_table(report / batch::kCoefficientsTable).size(), 1 + 2 * 6 * 7u);
  EXPECT_EQ(read_table(report / batch::kFitsTable).size(), 1 + 2 * 6u);
  const std::string summary = read_file(err);
  EXPECT_EQ(summary.rfind("vbsfit-batch: 2 configurations: 1 succeeded, 1 kept, 0 failed\n", 0),
            0u)
      << summary;
  EXPECT_NE(summary.find("  report: " + report.string() + "/\n"), std::string::npos) << summary;
}

TEST(ModelsTable, OneRowPerTagWithThePreferredMarked) {
  constexpr int kRows = 1440;
  std::vector<quality::Candidate> candidates = {
      {"static", 0, {{kRows, 1440.0, 0.5, 1}}},
      {"allgas", 6, {{kRows, 0.0, 1.0, 7}, {kRows, 0.0, 1.0, 7}}}};
  // The worst replay error is the largest known of a candidate's bins.
  candidates[0].bins[0].replay_error = 0.25;
  candidates[1].bins[0].replay_error = 0.002;  // and the second bin's is not known
  const std::vector<batch::ReplayTotals> replays = {{{0.5, 0.1}, {0.75, 0.2}},
                                                    {{0.001, 0.0005}, {}}};
  const std::vector<batch::CsvRow> expected = {
      {"TOL", "0.1", "static", "1440", "2", "1", "false", "0.25", "0.5", "0.75"},
      {"TOL", "0.1", "allgas", "0", "-inf", "14", "true", "0.002", "0.001", ""},
  };
  EXPECT_EQ(batch::models_rows("TOL", "0.1", candidates, replays), expected);
  EXPECT_EQ(batch::models_header(),
            (batch::CsvRow{"species", "scenario", "tag", "rss", "aic", "k", "preferred",
                           "worst_replay_error", "replay_total_error", "replay_mass_error"}));
  const std::vector<quality::Candidate> unknown = {{"no56", 4, {{kRows, NAN, NAN, 5}}}};
  EXPECT_EQ(batch::models_rows("a,b", "s", unknown)[0],
            (batch::CsvRow{"a,b", "s", "no56", "", "", "5", "false", "", "", ""}));
}

}  // namespace
