// Standard errors and flags through vbsfit-batch: coefficients.csv carries
// the errors of the fit the run made (the same matrix and solution, bit for
// bit, as vbsfit's own stages build), runs.csv and the summary count the
// undetermined coefficients, and the report has a page per fitted
// configuration; --se-limit moves the line, kept configurations included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "batch/csv.hpp"
#include "batch_study.hpp"
#include "driver_fit.hpp"

namespace {

using batch::CsvRow;
using testsupport::column;
using testsupport::read_file;
using testsupport::read_table;
using testsupport::run_row;
using testsupport::write_file;

// The figures of one fit, its design made for it alone, as the batch makes
// it once for a configuration's six solves.
quality::Fit assess_alone(const quality::Problem& p, double se_limit = quality::kDefaultSeLimit) {
  return quality::assess(p, quality::design_of(p.rows, p.cols, p.a), se_limit);
}

namespace fs = std::filesystem;

class BatchQuality : public testsupport::BatchStudy {
 protected:
  // Expects the rows of coefficients.csv of a configuration to hold the
  // errors and flags of the fit that vbsfit's stages make in run/.
  void expect_flags(const std::vector<CsvRow>& table, const driver::StartValues& start,
                    double se_limit) {
    const testsupport::DriverFit fit = testsupport::fit_through_driver(run_dir(), start);
    ASSERT_TRUE(fit.ok) << fit.err;
    const std::size_t bin = column(table, "target_bin"), term = column(table, "term"),
                      error = column(table, "standard_error"), flag = column(table, "flag");
    int seen = 0;
    for (const CsvRow& row : table) {
      if (row[0] != start.species || row[2] != start.tag) continue;
      const int r = std::stoi(row[bin]);
      const int c = row[term] == "VOC" ? 0 : row[term][2] - '0';
      const quality::Coefficient k = assess_alone(fit.problem(r), se_limit).coefficients[c];
      EXPECT_EQ(row[error], batch::csv_number(k.standard_error)) << r << " " << row[term];
      EXPECT_EQ(row[flag], quality::flag_name(k.flag)) << r << " " << row[term];
      ++seen;
    }
    EXPECT_EQ(seen, 42);
  }
};

TEST_F(BatchQuality, FlagsReachTheTablesTheSummaryAndThePages) {
  write_file(root() / "study.plan", "OLE2_OH,0.1,allgas\nOLE2_OH,0.1,no56\nTOL,0.1,allgas\n");
  const auto run = batch({"--plan", "../study.plan"});
  EXPECT_EQ(run.exit_status, 1);  // TOL has no simulation
  EXPECT_NE(run.err.find("  12 coefficients undetermined in 1 of 2 configurations; see the "
                         "report\n  report: ./vbsfit-report/index.html\n"),
            std::string::npos)
      << run.err;

  const auto coefficients = read_table(report() / "coefficients.csv");
  expect_flags(coefficients, {"OLE2_OH", "0.1", "allgas"}, 0.1);
  expect_flags(coefficients, {"OLE2_OH", "0.1", "no56"}, 0.1);
  const std::size_t term = column(coefficients, "term"), flag = column(coefficients, "flag");
  for (const CsvRow& row : coefficients) {
    if (row[term] != "VB5" && row[term] != "VB6") continue;
    EXPECT_EQ(row[flag], row[2] == "allgas" ? "undetermined" : "no effect");
  }
  const auto runs = read_table(report() / "runs.csv");
  const std::size_t undetermined = column(runs, "undetermined");
  EXPECT_EQ(run_row(runs, "OLE2_OH", "0.1", "allgas")[undetermined], "12");
  EXPECT_EQ(run_row(runs, "OLE2_OH", "0.1", "no56")[undetermined], "0");
  EXPECT_EQ(run_row(runs, "TOL", "0.1", "allgas")[undetermined], "");

  const std::string index = read_file(report() / "index.html");
  EXPECT_EQ(testsupport::count_of(index, "<tr class=\"configuration "), 3);
  EXPECT_EQ(testsupport::count_of(index, "<a class=\"page\""), 2);
  EXPECT_NE(index.find("forrtl: severe (29): file not found"), std::string::npos);
  EXPECT_TRUE(fs::exists(report() / "OLE2_OH,0.1,allgas.html"));
  EXPECT_TRUE(fs::exists(report() / "OLE2_OH,0.1,no56.html"));
  EXPECT_FALSE(fs::exists(report() / "TOL,0.1,allgas.html"));

  // A lenient limit on the rerun: the kept fits are flagged anew.
  const auto rerun = batch({"--plan", "../study.plan", "--se-limit", "1000"});
  EXPECT_NE(rerun.err.find("  0 coefficients undetermined in 0 of 2 configurations"),
            std::string::npos)
      << rerun.err;
  expect_flags(read_table(report() / "coefficients.csv"), {"OLE2_OH", "0.1", "allgas"}, 1000);
  EXPECT_NE(read_file(report() / "OLE2_OH,0.1,allgas.html").find("0 of 42 coefficients undetermined"),
            std::string::npos);
}

TEST_F(BatchQuality, WithoutPagesTheTablesAreTheSame) {
  const auto tables_only = batch({"--species", "OLE2_OH", "--no-pages"});
  ASSERT_EQ(tables_only.exit_status, 0) << tables_only.err;
  EXPECT_NE(tables_only.err.find("  report: ./vbsfit-report/\n"), std::string::npos)
      << tables_only.err;
  for (const auto& entry : fs::directory_iterator(report())) {
    EXPECT_NE(entry.path().extension(), ".html") << entry.path();
  }
  const std::string coefficients = read_file(report() / "coefficients.csv");
  const std::string fits = read_file(report() / "fits.csv");

  // The same configuration again, kept, with its pages: the same numbers.
  ASSERT_EQ(batch({"--species", "OLE2_OH"}).exit_status, 0);
  EXPECT_TRUE(fs::exists(report() / "index.html"));
  EXPECT_TRUE(fs::exists(report() / "OLE2_OH,0.1,allgas.html"));
  EXPECT_EQ(read_file(report() / "coefficients.csv"), coefficients);
  EXPECT_EQ(read_file(report() / "fits.csv"), fits);
}

// A page must open quickly from disk or in a mail.
constexpr std::size_t kPageLimit = 1 << 20;

TEST_F(BatchQuality, ThePageOfTheBundledExampleHoldsEveryCellFlagAndChart) {
  // OLE2_OH with seed 1 is the bundled example.
  ASSERT_EQ(batch({"--species", "OLE2_OH"}).exit_status, 0);
  const std::string page = read_file(report() / "OLE2_OH,0.1,allgas.html");
  EXPECT_LT(page.size(), kPageLimit);
  for (const char* outside : {"http:", "https:", "<script", "<link", "<img", "url(", "@import",
                              "src="}) {
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  }
  using testsupport::count_of;
  EXPECT_EQ(count_of(page, "<td class=\"coefficient "), 42);
  EXPECT_EQ(count_of(page, "data-flag=\"determined\""), 30);
  for (const char* term : {"VB5", "VB6"}) {
    EXPECT_EQ(count_of(page, "data-term=\"" + std::string(term) + "\" data-flag=\"undetermined\""), 6);
  }
  EXPECT_EQ(count_of(page, "<span class=\"flag\">undetermined"), 12);
  EXPECT_EQ(count_of(page, "<figure class=\"chart\""), 6);
  EXPECT_EQ(count_of(page, "data-points=\"1440\""), 18);
  EXPECT_NE(page.find("How to read this"), std::string::npos);
  EXPECT_NE(page.find("../INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.cdis_all.6"), std::string::npos);
}

}  // namespace
