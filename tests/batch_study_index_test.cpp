// The study view and models.csv as the batch makes them from the rows the
// study records.
#include "batch/study_index.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "batch/record.hpp"
#include "batch/tables.hpp"
#include "report/report.hpp"
#include "run_program.hpp"

namespace {

using batch::CsvRow;

// The misfit limit the fixture's bins are flagged under.
constexpr double kMisfitLimit = 0.25;

// A fitted outcome whose every bin has residual sum of squares `rss`, lag-1
// autocorrelation and drift `rho` (a misfit above kMisfitLimit) and
// `at_bound` coefficients at a bound (the first ones).
batch::Outcome fitted(double rss, double rho, int at_bound) {
  batch::Outcome o;
  o.state = batch::State::succeeded;
  o.exit_status = 0;
  batch::FitNumbers numbers{};
  for (quality::BinFigures& bin : numbers.bins) {
    bin.rss = rss;
    bin.r_squared = 1.0 - rss;
    bin.autocorrelation = rho;
    bin.drift = rho;
    bin.misfit = rho > kMisfitLimit;
    for (int c = 0; c < config::kCoefficients; ++c) {
      bin.coefficients[c] = {0.01, quality::Flag::determined, c < at_bound, false};
    }
  }
  o.numbers = numbers;
  return o;
}

struct Study {
  // The rows of the entries and outcomes as the study records them.
  batch::StudyRows recorded() const {
    batch::StudyRows rows;
    for (std::size_t n = 0; n < entries.size(); ++n) {
      const study::Stored stored = batch::stored_of(entries[n], outcomes[n], 1);
      rows.add({batch::entry_of(stored, batch::RecordedSpecies()), batch::outcome_of(stored),
                {stored.record.kp, stored.record.k}});
    }
    return rows;
  }
  std::vector<batch::RunEntry> entries = {
      {1, {"OLE2_OH", "0.1", "static"}, ""},
      {2, {"OLE2_OH", "0.1", "allgas"}, ""},
      {3, {"TOL", "0.1", "allgas"}, ""},  // the only tag of its species and scenario
      {4, {"OLE2_OH", "1", "static"}, ""},
      {5, {"OLE2_OH", "1", "allgas"}, ""},  // failed: one tag left with figures
  };
  std::vector<batch::Outcome> outcomes = {fitted(1.0, 0.95, 5), fitted(1e-6, -0.5, 0),
                                          fitted(1e-6, -0.5, 0), fitted(1.0, 0.3, 5),
                                          batch::Outcome{}};
  Study() { outcomes[4].state = batch::State::failed; }
};

TEST(ModelsTable, ComparesTheTagsOfASpeciesAndScenarioWithKFromTheBoundHits) {
  const Study s;
  const std::vector<CsvRow> rows = s.recorded().models();
  ASSERT_EQ(rows.size(), 2u);  // TOL/0.1 and OLE2_OH/1 have one tag with figures
  // k: 7 - 5 at bound = 2 per bin under static, 7 under allgas.
  const double n = config::kIntervals;
  const double static_aic = 6 * (n * std::log(1.0 / n) + 2 * 2);
  const double allgas_aic = 6 * (n * std::log(1e-6 / n) + 2 * 7);
  EXPECT_EQ(rows[0][0], "OLE2_OH");
  EXPECT_EQ(rows[0][2], "static");
  EXPECT_EQ(rows[0][5], "12");
  EXPECT_NEAR(std::stod(rows[0][4]), static_aic, 1e-9 * std::fabs(static_aic));
  EXPECT_EQ(rows[0][6], "false");
  EXPECT_EQ(rows[1][2], "allgas");
  EXPECT_EQ(rows[1][5], "42");
  EXPECT_NEAR(std::stod(rows[1][4]), allgas_aic, 1e-9 * std::fabs(allgas_aic));
  EXPECT_EQ(rows[1][6], "true");
}

// The size of a tag's model is counted from the rate constants its
// configuration was fitted with, not from its species' name: a species row
// whose K(6) is zero gives allgas as few reactions as no6, and the lower AIC
// decides between them.
TEST(ModelsTable, CountsTheReactionsOfTheRowTheSpeciesWasFittedWith) {
  batch::SpeciesChoice file;
  file.row = {{}, 1.4e-4f, 4e-5f, 0.0f, false};
  file.source = batch::SpeciesSource::file;
  const std::vector<batch::RunEntry> entries = {{1, {"FILE_SP", "0.1", "no6"}, "", file},
                                                {2, {"FILE_SP", "0.1", "allgas"}, "", file}};
  const std::vector<batch::Outcome> outcomes = {fitted(1e-6 * (1 + 1e-5), -0.5, 0),
                                                fitted(1e-6, -0.5, 0)};
  const std::vector<CsvRow> rows = batch::study_rows(entries, outcomes).models();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][2] + " " + rows[0][6], "no6 false");
  EXPECT_EQ(rows[1][2] + " " + rows[1][6], "allgas true");
}

TEST(StudyOf, CarriesTheMisfitFiguresAndLinksOnlyPagesThatExist) {
  const Study s;
  testsupport::ScratchDir report;
  std::ofstream(report.path() / report::page_name("OLE2_OH", "0.1", "static")) << "page";
  const report::Study study =
      s.recorded().study(report.path().string(), {}, 0.1, kMisfitLimit);
  ASSERT_EQ(study.rows.size(), 5u);
  EXPECT_EQ(study.misfit_limit, kMisfitLimit);
  const struct {
    bool fitted, linked, misfit;
    double autocorrelation;
    int free_count;
  } expected[] = {{true, true, true, 0.95, 2},  {true, false, false, -0.5, 7},
                  {true, false, false, -0.5, 7}, {true, false, true, 0.3, 2},
                  {false, false, false, NAN, 0}};
  for (std::size_t n = 0; n < std::size(expected); ++n) {
    SCOPED_TRACE(n);
    const report::StudyRow& row = study.rows[n];
    EXPECT_EQ(row.fitted, expected[n].fitted);
    EXPECT_EQ(row.linked, expected[n].linked);
    if (!row.fitted) continue;
    for (const quality::BinFigures& bin : row.bins) {
      EXPECT_EQ(bin.misfit, expected[n].misfit);
      EXPECT_EQ(bin.autocorrelation, expected[n].autocorrelation);
      EXPECT_EQ(bin.drift, expected[n].autocorrelation);
      EXPECT_EQ(bin.free_count, expected[n].free_count);
      EXPECT_EQ(quality::verdict_of(bin.coefficients[6], bin.misfit),
                expected[n].misfit ? quality::Verdict::misfit : quality::Verdict::trusted);
    }
  }
  EXPECT_EQ(study.rows[4].state, "failed");
}

}  // namespace
