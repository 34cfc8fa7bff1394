// Joining the studies of a run set's shards (study::merge).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>

#include "run_program.hpp"
#include "study/study.hpp"
#include "study_records.hpp"

namespace {

using namespace testsupport;
using study::Error;
using study::Study;

// The run set of these tests: four configurations; share k/2 holds runs
// k and k + 2.
const study::Key kRunSet[] = {key("OLE2_OH"), key("API_OH"), key("TOL"), key("ideal")};

class StudyMerge : public ::testing::Test {
 protected:
  // A share's study at <name>/study.sqlite holding the given runs (from 1),
  // recorded by one batch of share index/2, each with results variant
  // `variant`.
  std::string share(const std::string& name, int index, std::vector<int> runs, int variant = 1,
                    std::function<void(study::BatchRecord&)> change = nullptr) {
    const std::string path = (scratch_.path() / name / study::kDatabaseName).string();
    Study study;
    Error e = Study::open(path, study);
    EXPECT_FALSE(e) << e.message;
    study::BatchRecord batch = sample_batch(index, 2, 4);
    batch.host = name;
    if (change) change(batch);
    std::int64_t id = 0;
    EXPECT_FALSE(study.begin_batch(batch, id));
    for (int run : runs) {
      e = study.record(sample_configuration(kRunSet[run - 1], run, id, variant),
                       sample_coefficients(variant), sample_fits(variant));
      EXPECT_FALSE(e) << e.message;
    }
    return path;
  }
  std::string into() const { return (scratch_.path() / "joined" / study::kDatabaseName).string(); }
  study::Snapshot joined() {
    Study study;
    study::Snapshot snapshot;
    EXPECT_FALSE(Study::open(into(), study));
    EXPECT_FALSE(study.read(snapshot));
    return snapshot;
  }
  ScratchDir scratch_;
};

// Runs SQL on a share's database outside the study's API, as a hand would.
void edit(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

std::vector<std::string> keys_of(const study::Snapshot& snapshot) {
  std::vector<std::string> names;
  for (const study::Stored& s : snapshot.configurations) names.push_back(display_name(s.record.key));
  return names;
}

TEST_F(StudyMerge, SharesJoinInRunOrderWithTheirBatchesAndEveryRow) {
  const std::string first = share("s1", 1, {1, 3});
  const std::string second = share("s2", 2, {2, 4});
  // An earlier study at the target is replaced as a whole, not added to.
  share("joined", 1, {1});
  {
    Study earlier;
    ASSERT_FALSE(Study::open(into(), earlier));
    ASSERT_FALSE(earlier.record(sample_configuration(key("OLD"), 9, 1), {}, {}));
  }
  const Error e = study::merge({second, first}, into());
  ASSERT_FALSE(e) << e.message;

  const study::Snapshot s = joined();
  EXPECT_EQ(keys_of(s), (std::vector<std::string>{"OLE2_OH/0.1/allgas", "API_OH/0.1/allgas",
                                                  "TOL/0.1/allgas", "ideal/0.1/allgas"}));
  ASSERT_EQ(s.batches.size(), 2u);
  EXPECT_EQ(s.batches[0].id, 1);
  EXPECT_EQ(s.batches[0].host, "s2");
  EXPECT_EQ(s.batches[1].id, 2);
  EXPECT_EQ(s.batches[1].host, "s1");
  EXPECT_EQ(s.batches[1].species, sample_batch().species);
  for (const study::Stored& c : s.configurations) {
    // Each row points to the batch of the share that ran it.
    EXPECT_EQ(s.batches[c.record.batch - 1].shard_index, (c.record.run - 1) % 2 + 1);
    EXPECT_EQ(c.coefficients.size(), 42u);
    EXPECT_EQ(c.fits.size(), 6u);
    EXPECT_TRUE(same_bits(c.coefficients[5].coefficient, sample_coefficients()[5].coefficient));
  }
}

TEST_F(StudyMerge, AConfigurationInTwoSharesWithTheSameResultsIsOneRow) {
  const std::string first = share("s1", 1, {1, 3});
  const std::string again = share("s1-again", 1, {1, 3});
  const std::string second = share("s2", 2, {2, 4});
  const Error e = study::merge({first, second, again}, into());
  ASSERT_FALSE(e) << e.message;
  const study::Snapshot s = joined();
  EXPECT_EQ(s.configurations.size(), 4u);
  EXPECT_EQ(s.batches.size(), 3u);
}

// Each refusal names what is wrong and where, and the target study stays
// byte for byte as it was.
TEST_F(StudyMerge, SharesThatDoNotFormOneStudyAreRefusedAndNothingIsWritten) {
  struct Case {
    const char* name;
    std::function<std::vector<std::string>()> shares;
    std::string message;  // a part of it
  };
  const std::string s2 = share("s2", 2, {2, 4});
  const std::string s1 = share("s1", 1, {1, 3});
  const Case cases[] = {
      {"different results",
       [&] { return std::vector<std::string>{s1, s2, share("c1", 1, {1, 3}, 2)}; },
       "OLE2_OH/0.1/allgas has different results in " + s1 + " and " +
           (scratch_.path() / "c1" / study::kDatabaseName).string()},
      {"a configuration missing",
       [&] { return std::vector<std::string>{share("c2", 1, {1}), s2}; },
       "holds 1 of the 2 configurations of its share 1/2 (runs missing: 3); run that share again"},
      {"a run outside its share",
       [&] { return std::vector<std::string>{share("c3", 1, {1, 2, 3}), s2}; },
       "holds API_OH/0.1/allgas as run 2, which is not in its share 1/2 of 4 configurations"},
      {"another run set",
       [&] {
         return std::vector<std::string>{
             s1, share("c4", 2, {2, 4}, 1, [](auto& b) { b.fingerprint ^= 1; })};
       },
       "holds a share of another run set than " + s1},
      {"two run sets in one share",
       [&] {
         const std::string path = share("c5", 1, {1, 3});
         Study study;
         EXPECT_FALSE(Study::open(path, study));
         study::BatchRecord other = sample_batch(1, 3, 4);
         std::int64_t id;
         EXPECT_FALSE(study.begin_batch(other, id));
         return std::vector<std::string>{path, s2};
       },
       "holds batches of more than one run set or shard (1/2 and 1/3)"},
      {"another --se-limit",
       [&] {
         return std::vector<std::string>{
             s1, share("c6", 2, {2, 4}, 1, [](auto& b) { b.se_limit = 0.05; })};
       },
       "was flagged under other limits"},
      {"another --misfit-limit",
       [&] {
         return std::vector<std::string>{
             s1, share("c6m", 2, {2, 4}, 1, [](auto& b) { b.misfit_limit = 0.9; })};
       },
       "was flagged under other limits"},
      {"two --misfit-limits in one share",
       [&] {
         const std::string path = share("c6b", 1, {1, 3});
         Study study;
         EXPECT_FALSE(Study::open(path, study));
         study::BatchRecord again = sample_batch(1, 2, 4);
         again.misfit_limit = 0.9;
         std::int64_t id;
         EXPECT_FALSE(study.begin_batch(again, id));
         return std::vector<std::string>{path, s2};
       },
       "holds batches flagged under different limits"},
      {"a share missing", [&] { return std::vector<std::string>{s1}; },
       "the study of share 2/2 is missing; give every share's study"},
      {"not a database",
       [&] {
         const fs::path text = scratch_.path() / "c7" / study::kDatabaseName;
         fs::create_directories(text.parent_path());
         write_file(text, "run,species\n");
         return std::vector<std::string>{s1, text.string()};
       },
       "is not a study database (not an SQLite database)"},
      {"no batch",
       [&] {
         const std::string path = (scratch_.path() / "c8" / study::kDatabaseName).string();
         Study empty;
         EXPECT_FALSE(Study::open(path, empty));
         return std::vector<std::string>{s1, path, s2};
       },
       "records no batch"},
      {"the target among the shares", [&] { return std::vector<std::string>{s1, s2, into()}; },
       into() + " is one of the studies to join"},
  };
  share("joined", 1, {1, 3});
  const std::string before = read_file(into());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Error e = study::merge(c.shares(), into());
    EXPECT_TRUE(e.refusal);
    EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
    EXPECT_EQ(read_file(into()), before);
  }
}

// A share whose database was changed after its batch recorded a row (any
// value of the row or of its rows; e2e_merge_test edits a coefficient and a
// results digest) is refused, naming the share and the configuration;
// nothing is written.
TEST_F(StudyMerge, AShareEditedByHandIsRefusedNamingItAndTheConfiguration) {
  const std::string s2 = share("s2", 2, {2, 4});
  const struct {
    const char* name;
    std::string sql;
  } edits[] = {
      {"a fit removed", "DELETE FROM fits WHERE species = 'TOL' AND target_bin = 6"},
      {"the state", "UPDATE configurations SET state = 'kept' WHERE species = 'TOL'"},
      {"a negative zero", "UPDATE coefficients SET lower = -0.0 WHERE species = 'TOL' AND "
                          "target_bin = 1 AND term = 'VOC'"},
  };
  for (const auto& e : edits) {
    SCOPED_TRACE(e.name);
    const std::string s1 = share(std::string("edited-") + e.name, 1, {1, 3});
    edit(s1, e.sql);
    const Error refused = study::merge({s1, s2}, into());
    EXPECT_TRUE(refused.refusal);
    EXPECT_EQ(refused.message,
              s1 + " holds TOL/0.1/allgas with a record changed since its batch wrote it (its rows "
                   "do not match their record_sha256); run that share's batch again to check it "
                   "against its files");
    EXPECT_FALSE(fs::exists(into()));
  }
}

// A share of schema 1 has no digests: it joins, its rows unhashed, so that
// whoever reads the joined study knows they were never checked.
TEST_F(StudyMerge, AVersionOneShareJoinsWithItsRowsUnhashed) {
  const std::string s1 = share("s1", 1, {1, 3});
  edit(s1, "ALTER TABLE configurations DROP COLUMN record_sha256; PRAGMA user_version = 1");
  const Error e = study::merge({s1, share("s2", 2, {2, 4})}, into());
  ASSERT_FALSE(e) << e.message;
  for (const study::Stored& c : joined().configurations) {
    SCOPED_TRACE(display_name(c.record.key));
    EXPECT_EQ(c.record_sha256.empty(), c.record.run % 2 == 1);
    if (!c.record_sha256.empty()) {
      EXPECT_EQ(c.record_sha256, study::record_digest(c));
    }
  }
}

// One species fitted with other constants in two shares (its species row,
// here its layout, or a configuration's own KP and K; e2e_merge_test changes
// a kp) is refused, or joined and named when asked.
TEST_F(StudyMerge, SharesWithOtherConstantsForASpeciesAreRefusedUnlessAllowed) {
  const std::string s1 = share("s1", 1, {1, 3});
  const struct {
    const char* name;
    std::function<std::string()> other;
    std::string said;  // a part of the message
  } cases[] = {
      {"its layout",
       [&] { return share("layout", 2, {2, 4}, 1, [](auto& b) { b.species[1].layout = "standard"; }); },
       "the species ideal was fitted with other constants in " + s1 + " (kp "},
      {"a configuration's K",
       [&] {
         const std::string path = share("k", 2, {2, 4});
         Study study;
         EXPECT_FALSE(Study::open(path, study));
         study::ConfigurationRecord c = sample_configuration(kRunSet[3], 4, 1);
         c.k[5] = 0.0;
         EXPECT_FALSE(study.record(c, sample_coefficients(), sample_fits()));
         return path;
       },
       "the species ideal was fitted with other constants in "},
  };
  // The run set's fourth configuration (ideal) is in share 2; share 1 gets
  // one of the same species and tag in another scenario.
  {
    Study study;
    ASSERT_FALSE(Study::open(s1, study));
    ASSERT_FALSE(study.record(sample_configuration(key("ideal", "0.5"), 3, 1), sample_coefficients(),
                              sample_fits()));
    std::vector<study::Key> removed;
    ASSERT_FALSE(study.forget({kRunSet[2]}, removed));
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string other = c.other();
    const Error refused = study::merge({s1, other}, into());
    EXPECT_TRUE(refused.refusal);
    EXPECT_NE(refused.message.find(c.said), std::string::npos) << refused.message;
    EXPECT_NE(refused.message.find("give --allow-mixed-constants"), std::string::npos);
    EXPECT_FALSE(fs::exists(into()));

    std::vector<std::string> notes;
    const Error joined = study::merge({s1, other}, into(), {.allow_mixed_constants = true}, &notes);
    EXPECT_FALSE(joined) << joined.message;
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("models.csv compares its tags as they were fitted"), std::string::npos);
    fs::remove_all(fs::path(into()).parent_path());
  }
}

}  // namespace
