// A report directory is the batch's own, or it is refused: a batch and a
// merge write and delete only inside a report, and there only the files of
// its layout; a directory that is not a report is refused untouched, and so
// is a merge that would drop a report's own records. The report's own files
// follow its study: no index or page of an earlier batch beside a report
// without pages, no output of a configuration forgotten or of a failure
// beside a kept result, no row of an earlier report with names the run set
// refuses.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "batch/csv.hpp"
#include "batch_study.hpp"

namespace {

namespace fs = std::filesystem;
using batch::CsvRow;
using testsupport::column;
using testsupport::read_file;
using testsupport::read_table;
using testsupport::run_row;
using testsupport::write_file;

const char kPlan[] = "OLE2_OH,0.1,allgas\nAPI_OH,0.1,allgas\nOLE2_OH,0.1,no6\n";

// Every file and directory below `top` (relative path, a directory's with a
// '/' at its end) with its bytes.
using Tree = std::map<std::string, std::string>;
Tree tree(const fs::path& top) {
  Tree files;
  for (const auto& e : fs::recursive_directory_iterator(top)) {
    const std::string relative = fs::relative(e.path(), top).string();
    if (e.is_directory()) {
      files[relative + "/"] = "";
    } else {
      files[relative] = read_file(e.path());
    }
  }
  return files;
}

// Whether `relative` (to the report) is a file that the report layout names,
// as README's "Reading the report" lists them.
bool layout_file(const std::string& relative) {
  static const std::regex layout(
      R"((runs|coefficients|fits|models|species)\.csv|index\.html|study\.sqlite(-wal|-shm)?|)"
      R"(\.vbsfit-batch\.lock|[^,/]+,[^,/]+,[^,/]+\.html|runs/[^,/]+,[^,/]+,[^,/]+\.std(out|err))");
  return std::regex_match(relative, layout);
}

class ReportDir : public testsupport::BatchStudy {
 protected:
  void SetUp() override {
    BatchStudy::SetUp();
    write_file(root() / "study.plan", kPlan);
  }

  // The two shares of the plan, in shards/1-of-2 and shards/2-of-2.
  void run_shares() {
    fs::create_directories(root() / "shards");
    for (const char* k : {"1", "2"}) {
      const auto run = batch({"--plan", "../study.plan", "--shard", std::string(k) + "/2",
                              "--report", "../shards/" + std::string(k) + "-of-2"});
      ASSERT_EQ(run.exit_status, 0) << run.err;
    }
  }

  testsupport::ProgramRun merge(const std::string& report) const {
    return batch({"--merge", "--report", report, "../shards/1-of-2", "../shards/2-of-2"});
  }
};

// Every file outside the report's layout is in `after` as it was in
// `before`: the report `report` (relative to the root) may have changed its
// own files only.
void expect_only_layout_changed(const Tree& before, const Tree& after, const std::string& report) {
  const std::string prefix = report + "/";
  for (const auto& [path, bytes] : before) {
    const bool own = path.rfind(prefix, 0) == 0 && layout_file(path.substr(prefix.size()));
    if (own) continue;
    const auto now = after.find(path);
    if (now == after.end()) {
      ADD_FAILURE() << path << " was removed";
    } else {
      EXPECT_TRUE(now->second == bytes) << path << " was changed";
    }
  }
}

// Every file and directory of `before` is in `after` as it was, and what
// is new is at most the shared memory and log of a database that SQLite
// made as it was read (in a share, or in a report whose study was looked at).
void expect_untouched(const Tree& before, const Tree& after) {
  static const std::regex sqlite_files(R"(.*/study\.sqlite-(shm|wal))");
  for (const auto& [path, bytes] : before) {
    const auto now = after.find(path);
    if (now == after.end()) {
      ADD_FAILURE() << path << " was removed";
    } else {
      EXPECT_TRUE(now->second == bytes) << path << " was changed";
    }
  }
  for (const auto& [path, bytes] : after) {
    if (before.count(path) == 0 && !std::regex_match(path, sqlite_files)) {
      ADD_FAILURE() << path << " was made";
    }
  }
}

TEST_F(ReportDir, ABatchOrAMergeWritesOnlyIntoAReportAndThereOnlyItsOwnFiles) {
  run_shares();
  const std::string not_a_report = "vbsfit-batch: --report ";
  const struct {
    const char* what;
    const char* report;  // below the root, "run" for the working directory
    std::function<void()> make;
    // Empty: accepted. Else the first line of standard error, or with a
    // trailing '*' its start.
    std::string merge_refusal;
    std::string batch_refusal;
    std::string warning;  // of an accepted report: the first line
  } cases[] = {
      {"the working directory", "run", [] {},
       not_a_report + ". is not a report of vbsfit-batch (it holds FITS/, aer.ideal, "
                      "aer.precursor.ideal, true_coef.ideal.0.1.allgas); give a new or empty "
                      "directory",
       not_a_report + ". is not a report of vbsfit-batch (it holds FITS/, aer.ideal, "
                      "aer.precursor.ideal, true_coef.ideal.0.1.allgas); give a new or empty "
                      "directory",
       ""},
      {"the parent of the shares", "shards", [] {},
       not_a_report + "../shards is not a report of vbsfit-batch (it holds 1-of-2/, 2-of-2/); "
                      "give a new or empty directory",
       not_a_report + "../shards is not a report of vbsfit-batch (it holds 1-of-2/, 2-of-2/); "
                      "give a new or empty directory",
       ""},
      {"a directory of other files", "notes",
       [this] {
         fs::create_directories(root() / "notes" / "data");
         write_file(root() / "notes" / "NOTES.txt", "mine\n");
         write_file(root() / "notes" / "data" / "runs.csv", "mine too\n");
         write_file(root() / "notes" / "index.html", "my index\n");
       },
       not_a_report + "../notes is not a report of vbsfit-batch (it holds NOTES.txt, data/); "
                      "give a new or empty directory",
       not_a_report + "../notes is not a report of vbsfit-batch (it holds NOTES.txt, data/); "
                      "give a new or empty directory",
       ""},
      {"a report with batches of its own", "other",
       [this] {
         ASSERT_EQ(batch({"--tag", "no6", "--report", "../other"}).exit_status, 0);
       },
       not_a_report + "../other holds the record of a batch that none of the shares holds "
                      "(begun *",
       "", ""},
      {"an earlier report without a record", "old",
       [this] {
         ASSERT_EQ(batch({"--tag", "no6", "--report", "../old"}).exit_status, 0);
         fs::remove(root() / "old" / "study.sqlite");
       },
       not_a_report + "../old is the report of an earlier vbsfit-batch (runs.csv without "
                      "study.sqlite): the join would drop its rows; give a new or empty directory",
       "", ""},
      {"a new directory", "new", [] {}, "", "", ""},
      {"an empty directory", "empty",
       [this] { fs::create_directories(root() / "empty"); }, "", "", ""},
      {"an earlier join of the shares, a share run again since", "joined",
       [this] {
         ASSERT_EQ(merge("../joined").exit_status, 0);
         write_file(root() / "joined" / "mine.txt", "mine\n");
         write_file(root() / "joined" / "runs" / "mine.log", "mine\n");
         ASSERT_EQ(batch({"--plan", "../study.plan", "--shard", "1/2", "--report",
                            "../shards/1-of-2"})
                       .exit_status,
                   0);
       },
       "", "",
       "vbsfit-batch: warning: the report ../joined holds files that are not the report's (left "
       "as they are): mine.txt, runs/mine.log"},
  };
  for (const bool merging : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(merging ? "--merge into " : "a batch into ") + c.what);
      const std::string report = c.report;
      if (report != "run" && report != "shards") fs::remove_all(root() / report);
      c.make();
      const std::string given = report == "run" ? "." : "../" + report;
      const Tree before = tree(root());
      const auto run = merging ? merge(given)
                               : batch({"--plan", "../study.plan", "--report", given});
      const Tree after = tree(root());
      const std::string& refusal = merging ? c.merge_refusal : c.batch_refusal;
      if (!refusal.empty()) {
        EXPECT_EQ(run.exit_status, 2) << run.err;
        if (refusal.back() == '*') {
          EXPECT_EQ(run.first_err_line().rfind(refusal.substr(0, refusal.size() - 1), 0), 0u)
              << run.err;
        } else {
          EXPECT_EQ(run.first_err_line(), refusal);
        }
        expect_untouched(before, after);
        continue;
      }
      EXPECT_EQ(run.exit_status, 0) << run.err;
      if (!c.warning.empty()) {
        EXPECT_EQ(run.first_err_line(), c.warning);
      }
      expect_only_layout_changed(before, after, report);
      EXPECT_EQ(read_table(root() / report / "runs.csv").size(), 4u);
    }
  }
}

TEST_F(ReportDir, WithoutPagesTheIndexAndThePagesOfAnEarlierBatchAreRemoved) {
  ASSERT_EQ(batch({"--plan", "../study.plan"}).exit_status, 0);
  ASSERT_TRUE(fs::exists(report() / "index.html"));
  ASSERT_TRUE(fs::exists(report() / "API_OH,0.1,allgas.html"));
  write_file(report() / "about.html", "mine\n");
  const auto tables = batch({"--species", "OLE2_OH", "--no-pages"});
  ASSERT_EQ(tables.exit_status, 0) << tables.err;
  std::vector<std::string> html;
  for (const auto& e : fs::directory_iterator(report())) {
    if (e.path().extension() == ".html") html.push_back(e.path().filename().string());
  }
  EXPECT_EQ(html, std::vector<std::string>{"about.html"});
  EXPECT_EQ(read_table(report() / "runs.csv").size(), 4u);
  // The next batch with pages draws them all again.
  ASSERT_EQ(batch({"--species", "OLE2_OH"}).exit_status, 0);
  for (const char* page : {"index.html", "API_OH,0.1,allgas.html", "OLE2_OH,0.1,no6.html"}) {
    EXPECT_TRUE(fs::exists(report() / page)) << page;
  }
}

TEST_F(ReportDir, AForgottenConfigurationLeavesNoOutputInTheReport) {
  write_file(root() / "INPUTS_ODE/5days/0.1_aer.API_OH/aer.precursor", "not numbers\n");
  ASSERT_EQ(batch({"--plan", "../study.plan", "--no-pages"}).exit_status, 1);
  const fs::path failed = run_files("API_OH", "0.1", "allgas", report());
  const fs::path fitted = run_files("OLE2_OH", "0.1", "allgas", report());
  ASSERT_TRUE(fs::exists(with_suffix(failed, ".stderr")));
  ASSERT_TRUE(fs::exists(with_suffix(failed, ".stdout")));
  const auto forgot = batch({"--species", "API_OH,OLE2_OH", "--forget", "--no-pages"});
  EXPECT_EQ(forgot.exit_status, 0) << forgot.err;
  for (const fs::path& files : {failed, fitted}) {
    EXPECT_FALSE(fs::exists(with_suffix(files, ".stdout"))) << files;
    EXPECT_FALSE(fs::exists(with_suffix(files, ".stderr"))) << files;
  }
  EXPECT_TRUE(fs::exists(with_suffix(run_files("OLE2_OH", "0.1", "no6", report()), ".stdout")));
}

TEST_F(ReportDir, AConfigurationKeptAfterAFailureKeepsNoOutputOfTheFailure) {
  const fs::path precursor = root() / "INPUTS_ODE/5days/0.1_aer.API_OH/aer.precursor";
  const std::string good = read_file(precursor);
  write_file(precursor, "not numbers\n");
  ASSERT_EQ(batch({"--plan", "../study.plan", "--no-pages"}).exit_status, 1);
  const fs::path failed = run_files("API_OH", "0.1", "allgas", report());
  ASSERT_TRUE(fs::exists(with_suffix(failed, ".stderr")));
  // Its results file made by a batch with another report: here it is kept.
  write_file(precursor, good);
  ASSERT_EQ(batch({"--species", "API_OH", "--report", "../elsewhere", "--no-pages"}).exit_status,
            0);
  const auto kept = batch({"--plan", "../study.plan", "--no-pages"});
  ASSERT_EQ(kept.exit_status, 0) << kept.err;
  const auto runs = read_table(report() / "runs.csv");
  EXPECT_EQ(run_row(runs, "API_OH", "0.1", "allgas")[column(runs, "state")], "kept");
  EXPECT_FALSE(fs::exists(with_suffix(failed, ".stderr")));
  EXPECT_FALSE(fs::exists(with_suffix(failed, ".stdout")));
  // The output of the run that wrote a results file kept stays.
  EXPECT_TRUE(fs::exists(with_suffix(run_files("OLE2_OH", "0.1", "allgas", report()), ".stdout")));
}

TEST_F(ReportDir, AnEarlierReportsRowsWithNamesTheRunSetRefusesAreNotTakenOver) {
  ASSERT_EQ(batch({"--plan", "../study.plan", "--no-pages"}).exit_status, 0);
  fs::remove(report() / "study.sqlite");
  // runs.csv as a report before the study's record may hold it, edited or
  // written by something else: rows appended after the three of the plan.
  std::vector<CsvRow> rows = read_table(report() / "runs.csv");
  ASSERT_EQ(rows.size(), 4u);
  const CsvRow model = rows[1];
  auto row = [&](const char* run, const std::string& species, const std::string& scenario,
                 const std::string& tag) {
    CsvRow r = model;
    r[0] = run;
    r[1] = species;
    r[2] = scenario;
    r[3] = tag;
    r[column(rows, "state")] = "failed";
    return r;
  };
  std::string text = read_file(report() / "runs.csv");
  for (const CsvRow& r : {row("4", "../../..", "0.1", "allgas"),       // line 5
                          row("5", "OLE2_OH", "a\nb", "allgas"),       // lines 6-7
                          row("6", "OLE2_OH", "0.1", std::string(5000, 't')),  // line 8
                          row("1", "API_OH", "0.1", "no6"),            // line 9
                          row("7", "OLE2_OH", "0.1", "allgas"),        // line 10
                          row("x", "API_OH", "0.1", "static")}) {      // line 11
    batch::append_csv_record(text, r);
  }
  write_file(report() / "runs.csv", text);

  // A batch of one configuration takes the report over.
  const auto one = batch({"--species", "OLE2_OH", "--tag", "no6", "--no-pages"});
  EXPECT_EQ(one.exit_status, 0) << one.err;
  const std::string where = "vbsfit-batch: ./vbsfit-report/runs.csv line ";
  const std::vector<std::string> lines = testsupport::lines_of(one.err);
  ASSERT_GE(lines.size(), 6u) << one.err;
  EXPECT_EQ(lines[0], where + "5 is not taken over: species '../../..' contains '/'");
  EXPECT_EQ(lines[1],
            where + "6 is not taken over: scenario 'a\\x0ab' contains a control character");
  EXPECT_EQ(lines[2], where + "8 is not taken over: tag '" + std::string(40, 't') +
                          "'... is longer than 20 characters");
  EXPECT_EQ(lines[3], where + "9 is not taken over: run 1 comes again");
  EXPECT_EQ(lines[4], where + "10 is not taken over: the configuration 'OLE2_OH/0.1/allgas' "
                              "comes again");
  EXPECT_EQ(lines[5], where + "11 is not taken over: its run 'x' is not a run number");
  // The three of the plan, each in its own place: the one run keeps the
  // place the earlier report gave it.
  const auto runs = read_table(report() / "runs.csv");
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(run_row(runs, "OLE2_OH", "0.1", "allgas")[0], "1");
  EXPECT_EQ(run_row(runs, "API_OH", "0.1", "allgas")[0], "2");
  EXPECT_EQ(run_row(runs, "OLE2_OH", "0.1", "no6")[0], "3");
}

}  // namespace
