// The analysis of a recorded fit as the batch receives it from the process
// that made it: its numbers bit for bit, its notes, and nothing from bytes
// that are not a whole analysis. (Analyses of real fits are checked through
// vbsfit-batch in e2e_batch_test.)
#include "batch/analysis.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "batch/tables.hpp"
#include "run_program.hpp"

namespace {

using batch::Analysis;

// Numbers whose every double differs, with the values that compare badly.
batch::FitNumbers numbers() {
  batch::FitNumbers n;
  double v = 0.5;
  auto next = [&v] { return v = v * 1.37; };
  for (double& w : n.avgwmol) w = next();
  for (batch::BinFit& bin : n.bins) {
    for (auto* row : {&bin.coefficient, &bin.lower, &bin.upper}) {
      for (double& x : *row) x = next();
    }
    bin.quality.rss = next();
    bin.quality.r_squared = std::numeric_limits<double>::quiet_NaN();
    bin.quality.relative_residual = -0.0;
    bin.quality.free_count = 5;
    bin.quality.coefficients[2] = {std::numeric_limits<double>::infinity(),
                                   quality::Flag::undetermined, true, true};
  }
  return n;
}

// The rows the tables make of a configuration's numbers: every double in
// the shortest text that reads back to it.
std::string rows_of(const batch::FitNumbers& n) {
  batch::Outcome outcome;
  outcome.state = batch::State::succeeded;
  outcome.numbers = n;
  const batch::Tables t = batch::table_rows({{1, {"OLE2_OH", "0.1", "allgas"}, ""}}, {outcome});
  return batch::csv_text(batch::runs_header(), t.runs) +
         batch::csv_text(batch::coefficients_header(), t.coefficients) +
         batch::csv_text(batch::fits_header(), t.fits);
}

TEST(AnalysisBytes, NumbersAndNotesComeBackAsTheyWent) {
  Analysis with;
  with.numbers = numbers();
  with.page = true;
  Analysis without;
  without.note = "kept: the fit recorded in this report is not the one in its results file";
  without.error = "cannot write x: No space left on device";
  for (const Analysis* sent : {&with, &without}) {
    const std::string bytes = batch::encode(*sent);
    EXPECT_LE(bytes.size(), batch::kAnalysisBytes);
    Analysis got;
    got.note = "left from before";
    ASSERT_TRUE(batch::decode(bytes, got));
    ASSERT_EQ(got.numbers.has_value(), sent->numbers.has_value());
    if (got.numbers) {
      EXPECT_EQ(rows_of(*got.numbers), rows_of(*sent->numbers));
    }
    EXPECT_EQ(got.page, sent->page);
    EXPECT_EQ(got.note, sent->note);
    EXPECT_EQ(got.error, sent->error);
    // Bytes cut short, or with more after them, are no analysis.
    for (std::size_t size = 0; size < bytes.size(); ++size) {
      EXPECT_FALSE(batch::decode(std::string_view(bytes).substr(0, size), got)) << size;
    }
    EXPECT_FALSE(batch::decode(bytes + "x", got));
  }
}

TEST(AnalysisBytes, ALongNoteIsCutNotLost) {
  Analysis long_note;
  long_note.note = std::string(5000, 'n');
  long_note.error = std::string(5000, 'e');
  const std::string bytes = batch::encode(long_note);
  EXPECT_LE(bytes.size(), batch::kAnalysisBytes);
  Analysis got;
  ASSERT_TRUE(batch::decode(bytes, got));
  EXPECT_EQ(got.note, std::string(got.note.size(), 'n'));
  EXPECT_GE(got.note.size(), 500u);
  EXPECT_EQ(got.error, std::string(got.error.size(), 'e'));
}

TEST(Analyze, WithoutARecordThereAreNoNumbersAndTheNoteSaysWhy) {
  testsupport::ScratchDir report;
  const batch::Configuration config{"OLE2_OH", "0.1", "allgas"};
  const std::string record = report.path().string() + "/runs/OLE2_OH/0.1/allgas/fit.dump";
  const std::string results = report.path().string() + "/fit6_coef.OLE2_OH.0.1.allgas";
  const Analysis fitted = batch::analyze(report.path().string(), config, {});
  EXPECT_FALSE(fitted.numbers);
  EXPECT_EQ(fitted.note, "cannot read " + record + ": No such file or directory");
  const Analysis kept = batch::analyze(report.path().string(), config, {}, &results);
  EXPECT_FALSE(kept.numbers);
  EXPECT_EQ(kept.note, "kept: no record of its fit in this report");
  EXPECT_FALSE(fitted.page || kept.page);
}

}  // namespace
