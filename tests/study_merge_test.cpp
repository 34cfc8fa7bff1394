// Joining the studies of a run set's shards (study::merge).
#include <gtest/gtest.h>

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
      {"other limits",
       [&] {
         return std::vector<std::string>{
             s1, share("c6", 2, {2, 4}, 1, [](auto& b) { b.se_limit = 0.05; })};
       },
       "was flagged under other limits"},
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

}  // namespace
