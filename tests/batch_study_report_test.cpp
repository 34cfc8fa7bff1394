// The report written as the study is read, a configuration at a time
// (write_study_report), is byte for byte the report of the whole study read
// at once: the tables, models.csv and the index, replaced in the same order.
#include "batch/study_report.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "batch/record.hpp"
#include "batch/study_index.hpp"
#include "batch/tables.hpp"
#include "batch/test_points.hpp"
#include "report/report.hpp"
#include "run_program.hpp"
#include "study_records.hpp"

namespace {

namespace fs = std::filesystem;
using batch::State;

// Numbers that differ from bin to bin and from `variant` to variant, with
// coefficients at their bounds and a misfit bin, so that the models compare.
batch::FitNumbers numbers(int variant) {
  batch::FitNumbers n;
  for (int j = 0; j < config::kBins; ++j) n.avgwmol[j] = 150.0 + j / 7.0 + variant;
  for (int b = 0; b < config::kBins; ++b) {
    quality::BinFigures& bin = n.bins[b];
    for (int t = 0; t < config::kCoefficients; ++t) {
      bin.coefficient[t] = (b * 7 + t) / 3.0 * variant;
      bin.lower[t] = 0.0;
      bin.upper[t] = t < variant ? bin.coefficient[t] : 1e4;
      bin.coefficients[t] = {1e-3 * (t + 1) / variant,
                                     t == 6 ? quality::Flag::no_effect : quality::Flag::determined,
                                     t < variant, false};
    }
    bin.rss = 1e-6 * (b + 1) * variant;
    bin.rms = 1e-4 / (b + 1);
    bin.r_squared = 0.999 - b / 1e4;
    bin.relative_residual = 1e-3 / (b + 1);
    bin.autocorrelation = b == 5 ? 0.7 : -0.1 * variant;
    bin.misfit = b == 5;
  }
  return n;
}

std::string read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> g_written;

TEST(StudyReport, WrittenAsTheStudyIsReadEqualsTheReportOfTheWholeStudy) {
  testsupport::ScratchDir dir;
  const fs::path streamed = dir.path() / "streamed", whole = dir.path() / "whole";
  fs::create_directories(streamed);
  fs::create_directories(whole);
  study::Study db;
  ASSERT_FALSE(study::Study::open((streamed / study::kDatabaseName).string(), db));
  std::int64_t id = 0;
  // The built-in table's rows, as the entries below have them.
  study::BatchRecord batch = testsupport::sample_batch();
  batch.species.clear();
  ASSERT_FALSE(db.begin_batch(batch, id));

  // Fitted, kept, failed (a message CSV must quote), stale, pending, and a
  // species the table does not know; two species and scenarios under
  // several tags, so that models.csv compares them.
  const std::vector<batch::RunEntry> entries = {
      {1, {"OLE2_OH", "0.1", "allgas"}, ""}, {2, {"OLE2_OH", "0.1", "static"}, ""},
      {3, {"TOL", "0.5", "no6"}, ""},        {4, {"API_OH", "0.1", "static"}, ""},
      {5, {"API_OH", "0.1", "allgas"}, ""},  {6, {"API_OH", "0.1", "no56"}, ""},
      {7, {"ABCDEFGHIJ", "0.1", "allgas"}, ""}, {8, {"OLE2_OH", "1", "allgas"}, ""},
  };
  std::vector<batch::Outcome> outcomes(entries.size());
  const struct {
    State state;
    const char* message;
    int variant;  // of its numbers; 0: none
  } made[] = {{State::succeeded, "", 1},
              {State::kept, "", 2},
              {State::failed, "forrtl: severe (29): file not found, unit 20, file \"x\"", 0},
              {State::stale, "FITS/fit6_coef.API_OH.0.1.static does not match its inputs", 0},
              {State::succeeded, "vbsfit-batch: its standard error was not kept: no room", 3},
              {State::kept, "", 4},
              {State::succeeded, "", 5},
              {State::pending, "", 0}};
  for (std::size_t n = 0; n < entries.size(); ++n) {
    batch::Outcome& o = outcomes[n];
    o.state = made[n].state;
    o.message = made[n].message;
    if (made[n].variant > 0) {
      o.exit_status = 0;
      o.seconds = 0.25 * made[n].variant;
      o.numbers = numbers(made[n].variant);
    }
    const study::Stored row = batch::stored_of(entries[n], o, id);
    ASSERT_FALSE(db.record(row.record, row.coefficients, row.fits));
  }
  // Every fitted configuration's page is there but one: it has no inputs
  // to be drawn from, and is shown unlinked.
  for (std::size_t n = 0; n < entries.size(); ++n) {
    const batch::Configuration& c = entries[n].config;
    if (made[n].variant == 0 || n == 4) continue;
    for (const fs::path& report : {streamed, whole}) {
      std::ofstream(report / report::page_name(c.species, c.scenario, c.tag)) << "page";
    }
  }

  batch::AnalysisSettings settings;
  batch::set_test_point_action([](batch::TestPoint point, std::string_view subject) {
    if (point == batch::TestPoint::table_written) g_written.emplace_back(subject);
  });
  batch::Summary summary;
  ASSERT_EQ(batch::write_study_report(db, streamed.string(), (dir.path() / "run").string(),
                                      "species\n", true, settings, nullptr, &summary),
            "");
  batch::set_test_point_action(nullptr);
  EXPECT_EQ(g_written, (std::vector<std::string>{batch::kCoefficientsTable, batch::kFitsTable,
                                                  batch::kRunsTable}));

  // The summary made from the study's rows, as the report is written or
  // alone, is the one the batch makes from its outcomes.
  const std::string said = batch::summarize(batch::tally_of(outcomes), entries, outcomes, "r/", 0);
  EXPECT_EQ(summary.text(summary.tally(), "r/", 0, settings.misfit_limit), said);
  batch::Summary alone;
  ASSERT_FALSE(batch::summarize_study(db, alone));
  EXPECT_EQ(alone.text(alone.tally(), "r/", 0, settings.misfit_limit), said);

  study::Snapshot snapshot;
  ASSERT_FALSE(db.read(snapshot));
  const batch::Tables tables = batch::tables_of(snapshot);
  batch::StudyRows rows;
  const batch::RecordedSpecies species(snapshot.batches);
  for (const study::Stored& stored : snapshot.configurations) {
    const batch::Outcome outcome = batch::outcome_of(stored);
    rows.add({batch::entry_of(stored, species), outcome, {stored.record.kp, stored.record.k}});
  }
  std::vector<report::BatchRecord> batches;
  for (const study::BatchRecord& b : snapshot.batches) batches.push_back(batch::shown_batch(b));
  ASSERT_EQ(batch::write_tables(whole.string(), tables,
                                [&] {
                                  return batch::write_study_view(
                                      whole.string(), rows, std::move(batches),
                                      settings.se_limit, settings.misfit_limit, true);
                                }),
            "");
  for (const char* name : {batch::kRunsTable, batch::kCoefficientsTable, batch::kFitsTable,
                           batch::kModelsTable, batch::kIndexPage}) {
    SCOPED_TRACE(name);
    const std::string text = read(streamed / name);
    EXPECT_EQ(text, read(whole / name));
    EXPECT_GT(text.size(), 100u);
  }
  EXPECT_EQ(read(streamed / batch::kSpeciesUsed), "species\n");
  EXPECT_NE(read(streamed / batch::kModelsTable).find("API_OH,0.1,no56"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(streamed)) {
    EXPECT_EQ(entry.path().string().find(".csv."), std::string::npos)
        << "a temporary file stayed: " << entry.path();
  }
}

}  // namespace
