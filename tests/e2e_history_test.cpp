// The study's memory as users meet it: a refit keeps the earlier fit (with
// its results file's bytes) and --compare of the two batches finds exactly
// what changed; a rerun that only keeps results leaves each configuration's
// fitting batch; a merged report's pages are signed with the share's batch;
// the tags compared are in the record; --forget of nothing is an error.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "batch/report_layout.hpp"
#include "batch_study.hpp"
#include "study/study.hpp"

namespace {

using batch::CsvRow;
using namespace testsupport;

class History : public BatchStudy {
 protected:
  void SetUp() override {
    BatchStudy::SetUp();
    // API_OH/allgas is the one configuration whose inputs change below.
    write_file(root() / "study.plan", "OLE2_OH,0.1,allgas\nOLE2_OH,0.1,no6\nAPI_OH,0.1,allgas\n");
  }
  ProgramRun run(std::vector<std::string> more = {}) const {
    std::vector<std::string> args = {"--plan", "../study.plan", "--no-pages"};
    args.insert(args.end(), more.begin(), more.end());
    return batch(args);
  }
  static study::Snapshot recorded(const fs::path& report_dir) {
    study::Study db;
    study::Snapshot snapshot;
    EXPECT_FALSE(study::Study::open((report_dir / study::kDatabaseName).string(), db, true));
    EXPECT_FALSE(db.read(snapshot));
    EXPECT_FALSE(db.read_history(snapshot));
    return snapshot;
  }
  static std::string configuration(const study::Key& key) { return study::display_name(key); }
};

// coefficients.csv's value per (configuration, bin, term).
std::map<std::string, std::string> coefficient_values(const fs::path& report_dir) {
  const std::vector<CsvRow> table = read_table(report_dir / batch::kCoefficientsTable);
  std::map<std::string, std::string> values;
  for (std::size_t n = 1; n < table.size(); ++n) {
    const CsvRow& r = table[n];
    values[r[0] + "/" + r[1] + "/" + r[2] + " " + r[column(table, "target_bin")] + " " +
           r[column(table, "term")]] = r[column(table, "coefficient")];
  }
  return values;
}

TEST_F(History, ARefitKeepsTheFirstFitAndCompareFindsExactlyWhatChanged) {
  ASSERT_EQ(run().exit_status, 0);
  const std::string first_results = read_file(results("API_OH", "0.1", "allgas"));
  const std::map<std::string, std::string> before = coefficient_values(report());

  simulate_again("API_OH");
  const ProgramRun refit = run({"--refit"});
  ASSERT_EQ(refit.exit_status, 0) << refit.err;
  const std::map<std::string, std::string> after = coefficient_values(report());
  ASSERT_NE(first_results, read_file(results("API_OH", "0.1", "allgas")));

  // The first fit stays in the record with its results file's bytes.
  const study::Snapshot snapshot = recorded(report());
  ASSERT_EQ(snapshot.history.size(), 4u);  // three fits of batch 1, one of batch 2
  int first_fits = 0;
  for (const study::FitRecord& fit : snapshot.history) {
    if (configuration(fit.stored.record.key) != "API_OH/0.1/allgas") continue;
    ASSERT_TRUE(fit.results.has_value());
    if (fit.stored.record.batch == 1) {
      ++first_fits;
      EXPECT_EQ(*fit.results, first_results);
      EXPECT_EQ(fit.stored.coefficients.size(), 42u);
    }
  }
  EXPECT_EQ(first_fits, 1);

  const ProgramRun compared = batch({"--compare", "1", "2"});
  ASSERT_EQ(compared.exit_status, 0) << compared.err;
  const std::vector<CsvRow> table = read_table(report() / batch::kCompareTable);
  ASSERT_EQ(table.size(), 1 + 3 * 42u);
  std::set<std::string> listed, expected;
  for (std::size_t n = 1; n < table.size(); ++n) {
    const CsvRow& r = table[n];
    const std::string id = r[0] + "/" + r[1] + "/" + r[2] + " " + r[3] + " " + r[4];
    EXPECT_EQ(r[column(table, "value_a")], before.at(id)) << id;
    EXPECT_EQ(r[column(table, "value_b")], after.at(id)) << id;
    if (r[column(table, "change")] != "0") listed.insert(id);
    if (before.at(id) != after.at(id)) expected.insert(id);
  }
  EXPECT_EQ(listed, expected);
  ASSERT_FALSE(expected.empty());
  for (const std::string& id : expected) EXPECT_EQ(id.rfind("API_OH/0.1/allgas ", 0), 0u) << id;
  const std::string page = read_file(report() / batch::kComparePage);
  EXPECT_NE(page.find("<p id=\"only-a\">None.</p>"), std::string::npos);
  EXPECT_NE(page.find("<svg id=\"change-chart\""), std::string::npos);

  // A batch the study does not record is refused, naming those it does.
  const ProgramRun unknown = batch({"--compare", "1", "9"});
  EXPECT_EQ(unknown.exit_status, 2);
  EXPECT_NE(unknown.err.find("records no batch 9 (its batches: 1, 2)"), std::string::npos)
      << unknown.err;
}

TEST_F(History, AKeepOnlyRerunLeavesEachFittingBatchAndAddsNoFit) {
  ASSERT_EQ(run().exit_status, 0);
  ASSERT_EQ(run().exit_status, 0);
  const study::Snapshot snapshot = recorded(report());
  ASSERT_EQ(snapshot.batches.size(), 2u);
  for (const study::Stored& s : snapshot.configurations) {
    EXPECT_EQ(s.record.batch, 1) << configuration(s.record.key);
    EXPECT_EQ(s.ran_by, 2) << configuration(s.record.key);
    EXPECT_NE(s.fit, 0);
  }
  EXPECT_EQ(snapshot.history.size(), 3u);
  std::map<std::int64_t, std::multiset<std::string>> actions;
  for (const study::LogRow& row : snapshot.log) actions[row.batch].insert(row.action);
  EXPECT_EQ(actions[1], (std::multiset<std::string>{"fitted", "fitted", "fitted"}));
  EXPECT_EQ(actions[2], (std::multiset<std::string>{"kept", "kept", "kept"}));
  // The tags compared are in the record as in models.csv.
  std::size_t models = 0;
  for (const study::Stored& s : snapshot.configurations) models += s.model.has_value();
  EXPECT_EQ(models, read_table(report() / batch::kModelsTable).size() - 1);
  EXPECT_EQ(models, 2u);
}

// One configuration judged again under another limit: each fit keeps the
// limits it was judged under, and the index says the study's verdicts were
// judged under two, with how many configurations each.
TEST_F(History, TheIndexWarnsWhenVerdictsWereJudgedUnderDifferentLimits) {
  ASSERT_EQ(batch({"--plan", "../study.plan"}).exit_status, 0);
  std::string index = read_file(report() / batch::kIndexPage);
  EXPECT_EQ(index.find("id=\"mixed-limits\""), std::string::npos);
  const ProgramRun one = batch({"--species", "API_OH", "--se-limit", "0.01"});
  ASSERT_NE(one.exit_status, 2) << one.err;
  index = read_file(report() / batch::kIndexPage);
  const std::size_t at = index.find("<p id=\"mixed-limits\">");
  ASSERT_NE(at, std::string::npos);
  const std::string warning = index.substr(at, index.find("</p>", at) - at);
  EXPECT_NE(warning.find("2 configurations under a standard error limit of 0.1, a misfit "
                         "limit of 0.98 and a replay limit of 0.05; 1 configuration under a "
                         "standard error limit of 0.01"),
            std::string::npos)
      << warning;
  EXPECT_NE(index.find("exceeds 0.1 or its column"), std::string::npos);  // as most were judged
  const study::Snapshot snapshot = recorded(report());
  ASSERT_EQ(snapshot.history.size(), 3u);  // a keep under another limit adds no fit
  for (const study::FitRecord& fit : snapshot.history) EXPECT_EQ(fit.se_limit, 0.1);
}

TEST_F(History, ForgetOfNothingHeldIsAnErrorAndForgetWithHistoryRemovesEarlierFits) {
  ASSERT_EQ(run().exit_status, 0);
  const ProgramRun nothing = batch({"--species", "TOL", "--forget"});
  EXPECT_EQ(nothing.exit_status, 1);
  EXPECT_NE(nothing.err.find("holds none of the configurations asked to forget (TOL/0.1/allgas"),
            std::string::npos)
      << nothing.err;
  EXPECT_EQ(recorded(report()).batches.size(), 1u);  // nothing logged either

  const ProgramRun kept_history =
      batch({"--species", "OLE2_OH", "--tag", "no6", "--forget", "--no-pages"});
  ASSERT_EQ(kept_history.exit_status, 0) << kept_history.err;
  study::Snapshot snapshot = recorded(report());
  EXPECT_EQ(snapshot.configurations.size(), 2u);
  EXPECT_EQ(snapshot.history.size(), 3u);
  ASSERT_EQ(snapshot.batches.size(), 2u);
  EXPECT_EQ(snapshot.batches[1].kind, study::kForgetKind);
  EXPECT_EQ(snapshot.log.back().action, "forgotten");

  const ProgramRun removed =
      batch({"--species", "OLE2_OH", "--tag", "no6", "--forget", "--history", "--no-pages"});
  ASSERT_EQ(removed.exit_status, 0) << removed.err;
  snapshot = recorded(report());
  EXPECT_EQ(snapshot.history.size(), 2u);
  for (const study::FitRecord& fit : snapshot.history) {
    EXPECT_NE(configuration(fit.stored.record.key), "OLE2_OH/0.1/no6");
  }
}

// Shares fitted in their own batches, joined: each page is signed with the
// batch that fitted it, and the record holds the tags compared.
TEST_F(History, AMergedPageIsSignedWithItsSharesBatchAndModelsAreRecorded) {
  for (int k = 1; k <= 2; ++k) {
    ASSERT_EQ(batch({"--plan", "../study.plan", "--shard", std::to_string(k) + "/2", "--report",
                     "../s-" + std::to_string(k)})
                  .exit_status,
              0);
  }
  const ProgramRun joined = batch({"--merge", "--report", "../joined", "../s-1", "../s-2"});
  ASSERT_EQ(joined.exit_status, 0) << joined.err;
  const study::Snapshot snapshot = recorded(root() / "joined");
  ASSERT_EQ(snapshot.batches.size(), 3u);
  EXPECT_EQ(snapshot.batches[2].kind, study::kMergeKind);
  for (const study::Stored& s : snapshot.configurations) {
    // Run 1 and 3 are share 1's (its batch, number 1 here), run 2 share 2's.
    const std::int64_t share_batch = s.record.run == 2 ? 2 : 1;
    EXPECT_EQ(s.record.batch, share_batch);
    const std::string page = read_file(root() / "joined" /
                                       (s.record.key.species + ",0.1," + s.record.key.tag + ".html"));
    EXPECT_NE(page.find("<th>Batch<td class=\"text\">" + std::to_string(share_batch) + "</tr>"),
              std::string::npos)
        << configuration(s.record.key);
    EXPECT_NE(page.find("--shard " + std::to_string(share_batch) + "/2"), std::string::npos);
    EXPECT_NE(page.find(s.record.results_sha256), std::string::npos);
    EXPECT_EQ(page.find("not recorded"), std::string::npos);
  }
  std::size_t models = 0;
  for (const study::Stored& s : snapshot.configurations) models += s.model.has_value();
  const std::size_t table_rows = read_table(root() / "joined" / batch::kModelsTable).size() - 1;
  EXPECT_EQ(models, table_rows);
  EXPECT_EQ(table_rows, 2u);  // OLE2_OH's two tags
}

}  // namespace
