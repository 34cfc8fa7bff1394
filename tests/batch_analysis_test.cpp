// The analysis of a fit as the batch receives it from the process that made
// it: its verdict, numbers bit for bit, the files observed, its notes, and
// nothing from bytes that are not a whole analysis. (Analyses of real fits
// are checked through vbsfit-batch in e2e_batch_test and e2e_study_test.)
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
  for (quality::BinFigures& bin : n.bins) {
    for (auto* row : {&bin.coefficient, &bin.lower, &bin.upper}) {
      for (double& x : *row) x = next();
    }
    bin.rss = next();
    bin.r_squared = std::numeric_limits<double>::quiet_NaN();
    bin.relative_residual = -0.0;
    bin.free_count = 5;
    bin.coefficients[2] = {std::numeric_limits<double>::infinity(),
                           quality::Flag::undetermined, true, true,
                           std::numeric_limits<double>::infinity()};
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
  with.verdict = Analysis::Verdict::fitted;
  with.numbers = numbers();
  with.page = true;
  with.inputs[0] = {"../INPUTS_ODE/5days/0.1_aer.TOL/aer.precursor", 123456, -7, std::string(64, 'a')};
  with.inputs[1] = {"../INPUTS_ODE/5days/0.1_aer.TOL/aer.cdis_all.6", 1, 1700000000123456789, "b"};
  with.results_sha256 = std::string(64, 'f');
  with.input_records = 2881;
  Analysis without;
  without.verdict = Analysis::Verdict::stale;
  without.note = "FITS/fit6_coef.TOL.0.1.allgas does not match its inputs";
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
    EXPECT_EQ(got.verdict, sent->verdict);
    EXPECT_EQ(got.inputs, sent->inputs);
    EXPECT_EQ(got.results_sha256, sent->results_sha256);
    EXPECT_EQ(got.input_records, sent->input_records);
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

TEST(Analyze, WithoutInputsThereAreNoNumbersAndTheNoteSaysWhich) {
  testsupport::ScratchDir workdir;
  const batch::RunEntry entry{1, {"OLE2_OH", "0.1", "allgas"}, ""};
  const std::string w = workdir.path().string();
  const batch::AnalysisSettings settings;
  const Analysis analysis = batch::analyze({entry, w, w, settings, true, nullptr});
  EXPECT_EQ(analysis.verdict, Analysis::Verdict::unfitted);
  EXPECT_FALSE(analysis.numbers);
  EXPECT_FALSE(analysis.page);
  EXPECT_EQ(analysis.note, "its inputs cannot be read: cannot read " + w +
                               "/../INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.precursor: No such "
                               "file or directory");
}

}  // namespace
