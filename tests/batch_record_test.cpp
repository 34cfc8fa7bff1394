// A configuration's outcome through the study and back: the tables written
// from the database hold what the batch's own outcome gives, bit for bit;
// and the run numbers a batch's configurations take in a study.
#include "batch/record.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>
#include <vector>

#include "batch/study_report.hpp"
#include "batch/tables.hpp"
#include "run_program.hpp"

namespace {

// Numbers whose every double differs, with the values that compare badly.
batch::FitNumbers numbers() {
  batch::FitNumbers n;
  double v = 0.5;
  auto next = [&v] { return v = v * -1.37; };
  for (double& w : n.avgwmol) w = next();
  for (quality::BinFigures& bin : n.bins) {
    for (auto* row : {&bin.coefficient, &bin.lower, &bin.upper}) {
      for (double& x : *row) x = next();
    }
    bin.rss = next();
    bin.rms = next();
    bin.r_squared = std::numeric_limits<double>::quiet_NaN();
    bin.relative_residual = -0.0;
    bin.autocorrelation = next();
    bin.misfit = bin.autocorrelation > 0.2;
    for (quality::Coefficient& c : bin.coefficients) {
      // The record does not keep the OLS figure yet: 0 as a record read back has it.
      c = {next(), quality::Flag::determined, false, false, 0.0};
    }
    bin.coefficients[2] = {std::numeric_limits<double>::infinity(),
                                   quality::Flag::undetermined, true, true, 0.0};
    bin.coefficients[6] = {std::numeric_limits<double>::quiet_NaN(),
                                   quality::Flag::no_effect, true, false, 0.0};
  }
  return n;
}

std::string text_of(const batch::Tables& t) {
  return batch::csv_text(batch::runs_header(), t.runs) +
         batch::csv_text(batch::coefficients_header(), t.coefficients) +
         batch::csv_text(batch::fits_header(), t.fits);
}

TEST(StudyRecord, TablesFromTheDatabaseEqualTheBatchsOwnBitForBit) {
  testsupport::ScratchDir dir;
  study::Study db;
  ASSERT_FALSE(study::Study::open((dir.path() / "study.sqlite").string(), db));
  std::int64_t id = 0;
  ASSERT_FALSE(db.begin_batch({}, id));

  const std::vector<batch::RunEntry> entries = {{1, {"OLE2_OH", "0.1", "allgas"}, ""},
                                                {2, {"TOL", "0.5", "no6"}, ""},
                                                {3, {"API_OH", "0.1", "static"}, ""}};
  std::vector<batch::Outcome> outcomes(3);
  outcomes[0].state = batch::State::succeeded;
  outcomes[0].exit_status = 0;
  outcomes[0].seconds = 0.012345678901234567;
  outcomes[0].numbers = numbers();
  outcomes[0].input_records = 2881;
  outcomes[1].state = batch::State::failed;
  outcomes[1].exit_status = 29;
  outcomes[1].message = "forrtl: severe (29): file not found, unit 20, file x";
  outcomes[2].state = batch::State::stale;
  outcomes[2].message = "FITS/fit6_coef.API_OH.0.1.static does not match its inputs";
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const study::Stored row = batch::stored_of(entries[n], outcomes[n], id);
    ASSERT_FALSE(db.record(row.record, row.coefficients, row.fits));
  }
  study::Snapshot snapshot;
  ASSERT_FALSE(db.read(snapshot));
  EXPECT_EQ(text_of(batch::tables_of(snapshot)), text_of(batch::table_rows(entries, outcomes)));
  // The misfit flags are the fit's own, as the batch judged them.
  const study::Stored& fitted = snapshot.configurations[0];
  for (const study::FitRow& f : fitted.fits) {
    EXPECT_EQ(f.misfit, outcomes[0].numbers->bins[f.target_bin - 1].misfit)
        << f.target_bin;
  }
}

TEST(StudyNumbers, ABatchOfAFewLeavesTheStudysOrder) {
  std::map<study::Key, int> study;  // each configuration's place
  for (auto [run, tag] : {std::pair{1, "allgas"}, {2, "no6"}, {3, "static"}}) {
    study[{"TOL", "0.1", tag}] = run;
  }
  const struct {
    std::vector<batch::RunEntry> share;
    std::vector<int> numbers;
  } cases[] = {
      // Known configurations keep their places, whatever their place now.
      {{{1, {"TOL", "0.1", "static"}, ""}, {2, {"TOL", "0.1", "allgas"}, ""}}, {3, 1}},
      // A new one takes its place in the run set when it is free ...
      {{{1, {"TOL", "0.1", "allgas"}, ""}, {5, {"TOL", "0.5", "allgas"}, ""}}, {1, 5}},
      // ... else the next after the study's last.
      {{{1, {"TOL", "0.5", "allgas"}, ""}, {2, {"TOL", "0.5", "no6"}, ""}}, {4, 5}},
  };
  for (const auto& c : cases) {
    std::vector<int> got;
    for (const batch::RunEntry& e : batch::study_numbers(c.share, study)) got.push_back(e.number);
    EXPECT_EQ(got, c.numbers);
  }
  // A fresh study (a shard's) numbers as the run set does.
  const std::vector<batch::RunEntry> share = {{4, {"TOL", "0.1", "allgas"}, ""},
                                              {7, {"TOL", "0.1", "no6"}, ""}};
  EXPECT_EQ(batch::study_numbers(share, {})[1].number, 7);
}

}  // namespace
