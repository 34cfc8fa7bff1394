// Two fits compared: a change against the combined standard error, which
// coefficients count as changed and in what order the page lists them,
// the configurations only one side holds, and the fits of a study as it
// stood after a given batch.
#include "batch/compare.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "run_program.hpp"
#include "study_records.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Compare, AChangeIsMeasuredAgainstTheCombinedStandardError) {
  const struct {
    const char* what;
    double a, b, se_a, se_b;
    const char* verdict_b;
    double in_se;  // NaN: unknown
    bool changed;
  } cases[] = {
      {"three against four", 1.0, 1.5, 0.3, 0.4, "trusted", 1.0, true},
      {"a fall", 1.5, 1.0, 0.3, 0.4, "trusted", -1.0, true},
      {"no change", 0.25, 0.25, 0.1, 0.2, "trusted", 0.0, false},
      {"-0 is 0", 0.0, -0.0, 0.1, 0.1, "trusted", 0.0, false},
      {"the verdict alone", 0.25, 0.25, 0.1, 0.2, "undetermined", 0.0, true},
      {"exact fits", 1.0, 2.0, 0.0, 0.0, "trusted", kInf, true},
      {"an error of no meaning", 1.0, 2.0, kNaN, 0.1, "trusted", kNaN, true},
      {"a dependent column", 1.0, 2.0, kInf, 0.1, "trusted", 0.0, true},
      {"unknown on both", kNaN, kNaN, kNaN, kNaN, "trusted", 0.0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    report::ComparedCoefficient row;
    row.value_a = c.a;
    row.value_b = c.b;
    row.standard_error_a = c.se_a;
    row.standard_error_b = c.se_b;
    row.verdict_a = "trusted";
    row.verdict_b = c.verdict_b;
    const double in_se = row.change_in_standard_errors();
    if (std::isnan(c.in_se)) {
      EXPECT_TRUE(std::isnan(in_se)) << in_se;
    } else if (!std::isnan(row.change())) {
      EXPECT_DOUBLE_EQ(in_se, c.in_se);
    }
    EXPECT_EQ(row.changed(), c.changed);
  }
}

study::Stored fit_of(const char* species, int variant) {
  return {testsupport::sample_configuration({species, "0.1", "allgas"}, 1, 1, variant),
          testsupport::sample_coefficients(variant), testsupport::sample_fits(variant), {}, {}};
}

TEST(Compare, OnlyConfigurationsOnBothSidesAreComparedTheOthersListed) {
  const std::vector<study::Stored> a = {fit_of("TOL", 1), fit_of("API_OH", 1)};
  std::vector<study::Stored> b = {fit_of("TOL", 2), fit_of("OLE2_OH", 1)};
  const report::Comparison c = batch::compare_fits(a, b);
  EXPECT_EQ(c.configurations, 1);
  EXPECT_EQ(c.rows.size(), 42u);
  ASSERT_EQ(c.only_a.size(), 1u);
  EXPECT_EQ(c.only_a[0].species, "API_OH");
  ASSERT_EQ(c.only_b.size(), 1u);
  EXPECT_EQ(c.only_b[0].species, "OLE2_OH");
  for (const report::ComparedCoefficient& row : c.rows) EXPECT_EQ(row.species, "TOL");

  // The largest changes in standard errors first, unknown ones last.
  const std::vector<const report::ComparedCoefficient*> listed = report::largest_changes(c);
  ASSERT_FALSE(listed.empty());
  for (std::size_t n = 1; n < listed.size(); ++n) {
    const double before = std::fabs(listed[n - 1]->change_in_standard_errors());
    const double here = std::fabs(listed[n]->change_in_standard_errors());
    if (!std::isnan(here)) {
      EXPECT_GE(before, here) << n;
    }
  }
  EXPECT_EQ(batch::compare_rows(c).size(), 42u);
  EXPECT_EQ(batch::compare_rows(c)[0].size(), batch::compare_header().size());
}

// Batch 1 fits TOL and API_OH, batch 2 refits TOL, batch 3 forgets API_OH:
// as of each batch, the fits it left current.
TEST(Compare, TheFitsAsOfABatchAreThoseItsLogLeftCurrent) {
  testsupport::ScratchDir scratch;
  study::Study db;
  ASSERT_FALSE(study::Study::open((scratch.path() / study::kDatabaseName).string(), db));
  std::int64_t first = 0, second = 0;
  ASSERT_FALSE(db.begin_batch(testsupport::sample_batch(), first));
  for (const char* species : {"TOL", "API_OH"}) {
    const study::Stored s = fit_of(species, 1);
    ASSERT_FALSE(db.record(s.record, s.coefficients, s.fits, {first, "", true, std::nullopt}));
  }
  ASSERT_FALSE(db.begin_batch(testsupport::sample_batch(), second));
  study::Stored refit = fit_of("TOL", 2);
  refit.record.batch = second;
  ASSERT_FALSE(
      db.record(refit.record, refit.coefficients, refit.fits, {second, "", true, std::nullopt}));
  std::vector<study::Key> removed;
  study::BatchRecord forgetting = testsupport::sample_batch();
  forgetting.kind = study::kForgetKind;
  ASSERT_FALSE(db.forget({{"API_OH", "0.1", "allgas"}}, removed, &forgetting));

  const auto as_of = [&](std::int64_t batch) {
    std::vector<study::Stored> fits;
    EXPECT_FALSE(batch::fits_as_of(db, batch, fits));
    std::vector<std::string> seen;
    for (const study::Stored& s : fits) {
      seen.push_back(s.record.key.species + " " + s.record.message);
    }
    return seen;
  };
  EXPECT_EQ(as_of(1), (std::vector<std::string>{"API_OH variant 1", "TOL variant 1"}));
  EXPECT_EQ(as_of(2), (std::vector<std::string>{"API_OH variant 1", "TOL variant 2"}));
  EXPECT_EQ(as_of(3), (std::vector<std::string>{"TOL variant 2"}));
  std::vector<study::Stored> none;
  const study::Error unknown = batch::fits_as_of(db, 4, none);
  EXPECT_TRUE(unknown.refusal);
  EXPECT_NE(unknown.message.find("records no batch 4 (its batches: 1, 2, 3)"), std::string::npos)
      << unknown.message;
}

}  // namespace
