// What counts as a report of vbsfit-batch and as the report's own files:
// names of the layout, directories told apart by what they hold, and the
// removals that touch nothing else.
#include "batch/report_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "run_program.hpp"

namespace {

namespace fs = std::filesystem;
using batch::ReportDirectory;
using testsupport::read_file;
using testsupport::write_file;

// Writes `files` (relative path -> bytes; a path ending in '/' is an empty
// directory) below `top`.
void make_tree(const fs::path& top, const std::map<std::string, std::string>& files) {
  fs::create_directories(top);
  for (const auto& [path, bytes] : files) {
    if (path.back() == '/') {
      fs::create_directories(top / path);
      continue;
    }
    fs::create_directories((top / path).parent_path());
    write_file(top / path, bytes);
  }
}

// Every file and directory below `top`, relative, a directory with '/'.
std::vector<std::string> tree(const fs::path& top) {
  std::vector<std::string> paths;
  for (const auto& e : fs::recursive_directory_iterator(top)) {
    const std::string relative = fs::relative(e.path(), top).string();
    paths.push_back(relative + (e.is_directory() ? "/" : ""));
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(ReportNames, PagesAndRunOutputAreNamedByTheFileStemOfThreeNames) {
  const struct {
    const char* name;
    bool page;
    bool output;
  } cases[] = {
      {"OLE2_OH,0.1,allgas.html", true, false},
      {"OLE2_OH,0.1,allgas.stdout", false, true},
      {"OLE2_OH,0.1,allgas.stderr", false, true},
      {"a~20b,c~2Cd,~7E.html", true, false},  // a blank, a comma, a tilde
      {"index.html", false, false},
      {"left-over.html", false, false},
      {"a,b.html", false, false},          // two names
      {"a,b,c,d.html", false, false},      // four
      {"a,,c.html", false, false},         // an empty name
      {"a b,c,d.html", false, false},      // a blank not written ~20
      {"a~2c,c,d.html", false, false},     // lower-case hex: not how file_stem writes it
      {"a~41,c,d.html", false, false},     // 'A' written as ~41: not how file_stem writes it
      {"a~4,c,d.html", false, false},      // half a byte
      {"a,b,c.html.Xy12Zq", false, false}, // a temporary file
      {"a,b,c.stdout.bak", false, false},
      {"a,b,c.txt", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(batch::is_page_name(c.name), c.page) << c.name;
    EXPECT_EQ(batch::is_run_output_name(c.name), c.output) << c.name;
  }
}

TEST(ExamineReport, TellsAReportFromADirectoryThatIsNone) {
  using Kind = ReportDirectory::Kind;
  const std::string db = "SQLite format 3";  // only its name counts here
  const struct {
    const char* what;
    std::map<std::string, std::string> files;
    Kind kind;
    std::vector<std::string> foreign;
  } cases[] = {
      {"empty", {}, Kind::empty, {}},
      {"the lock of an ended batch", {{".vbsfit-batch.lock", ""}}, Kind::empty, {}},
      {"a study", {{"study.sqlite", db}, {"runs.csv", "run\n"}}, Kind::study, {}},
      {"a study beside other files",
       {{"study.sqlite", db},
        {"NOTES.txt", "mine"},
        {"runs/a,b,c.stdout", ""},
        {"runs/a,b,c.log", ""},
        {"extra/x", ""}},
       Kind::study,
       {"NOTES.txt", "extra/", "runs/a,b,c.log"}},
      {"an earlier report",
       {{"runs.csv", "run\n"},
        {"coefficients.csv", ""},
        {"batch.txt", ""},
        {"index.html", ""},
        {"TOL,0.1,allgas.html", ""},
        {"runs/TOL/0.1/allgas/stdout", ""},
        {"runs/TOL/0.1/allgas/fit.dump", ""},
        {"runs/TOL,0.1,no6.stderr", ""}},
       Kind::earlier,
       {}},
      {"an earlier report with a file of its user",
       {{"runs.csv", "run\n"}, {"notes.md", ""}},
       Kind::foreign,
       {"notes.md"}},
      {"a working directory", {{"FITS/fit6_coef.TOL.0.1.allgas", ""}, {"aer.ideal", ""}},
       Kind::foreign, {"FITS/", "aer.ideal"}},
      {"the parent of shares",
       {{"1-of-2/study.sqlite", db}, {"2-of-2/study.sqlite", db}},
       Kind::foreign,
       {"1-of-2/", "2-of-2/"}},
      // The batch cannot write its table there, and fails saying so.
      {"a table's name on a directory", {{"fits.csv/in the way", ""}}, Kind::earlier, {}},
      {"run output's name on a directory", {{"study.sqlite", db}, {"runs/a,b,c.stdout/", ""}},
       Kind::study, {}},
      {"run output of an odd depth",
       {{"runs.csv", ""}, {"runs/TOL/0.1/stdout", ""}, {"runs/TOL/0.1/allgas/x/stdout", ""}},
       Kind::foreign,
       {"runs/TOL/0.1/allgas/x/", "runs/TOL/0.1/stdout"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::ScratchDir scratch;
    const fs::path report = scratch.path() / "r";
    make_tree(report, c.files);
    const ReportDirectory found = batch::examine_report(report.string());
    EXPECT_EQ(found.kind, c.kind);
    EXPECT_EQ(found.foreign, c.foreign);
    EXPECT_EQ(found.error, "");
  }
  testsupport::ScratchDir scratch;
  EXPECT_EQ(batch::examine_report((scratch.path() / "new").string()).kind, Kind::absent);
}

TEST(ExamineReport, ARefusalSaysWhatTheDirectoryHoldsAndWhatToDo) {
  testsupport::ScratchDir scratch;
  make_tree(scratch.path() / "shards", {{"NOTES.txt", ""},
                                        {"1-of-2/study.sqlite", ""},
                                        {"2-of-2/study.sqlite", ""},
                                        {"3-of-4/study.sqlite", ""},
                                        {"4-of-4/study.sqlite", ""},
                                        {"5-of-5/study.sqlite", ""}});
  const std::string shards = (scratch.path() / "shards").string();
  EXPECT_EQ(batch::report_refusal("shards", batch::examine_report(shards)),
            "--report shards is not a report of vbsfit-batch (it holds 1-of-2/, 2-of-2/, 3-of-4/, "
            "4-of-4/ and 2 more); give a new or empty directory");
  make_tree(scratch.path() / "report", {{"study.sqlite", ""}, {"mine.txt", ""}});
  const ReportDirectory report = batch::examine_report((scratch.path() / "report").string());
  EXPECT_EQ(batch::report_refusal("report", report), "");
  EXPECT_EQ(batch::foreign_warning("report", report),
            "vbsfit-batch: warning: the report report holds files that are not the report's "
            "(left as they are): mine.txt\n");
}

TEST(ClearReport, RemovesTheReportsOwnFilesAndNothingElse) {
  testsupport::ScratchDir scratch;
  const fs::path report = scratch.path() / "r";
  make_tree(report, {{".vbsfit-batch.lock", ""},
                     {"study.sqlite", ""},
                     {"study.sqlite-wal", ""},
                     {"study.sqlite-shm", ""},
                     {"runs.csv", ""},
                     {"coefficients.csv", ""},
                     {"fits.csv", ""},
                     {"models.csv", ""},
                     {"species.csv", ""},
                     {"batch.txt", ""},
                     {"index.html", ""},
                     {"TOL,0.1,allgas.html", ""},
                     {"runs/TOL,0.1,allgas.stdout", ""},
                     {"runs/TOL,0.1,allgas.stderr", ""},
                     {"runs/TOL/0.1/allgas/stdout", ""},
                     {"runs/TOL/0.1/allgas/fit.dump", ""},
                     {"runs/TOL/0.1/no6/stdout", ""},
                     {"runs/TOL/0.1/no6/mine", "kept"},
                     {"runs/notes.txt", "kept"},
                     {"left-over.html", "kept"},
                     {"runs.csv.bak", "kept"},
                     {"data/runs.csv", "kept"},
                     {"index.html.d/", ""}});
  EXPECT_EQ(batch::clear_report(report.string()), "");
  EXPECT_EQ(tree(report),
            (std::vector<std::string>{".vbsfit-batch.lock", "data/", "data/runs.csv",
                                      "index.html.d/", "left-over.html", "runs.csv.bak", "runs/",
                                      "runs/TOL/", "runs/TOL/0.1/", "runs/TOL/0.1/no6/",
                                      "runs/TOL/0.1/no6/mine", "runs/notes.txt"}));
  EXPECT_EQ(read_file(report / "runs/TOL/0.1/no6/mine"), "kept");
}

}  // namespace
