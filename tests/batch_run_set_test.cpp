// The run set of vbsfit-batch: refusals that name the option or the line,
// the order of lists and plans, configurations that would collide, and
// shards.
#include "batch/run_set.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using batch::RunEntry;

std::vector<std::string> names(const std::vector<RunEntry>& entries) {
  std::vector<std::string> out;
  for (const RunEntry& e : entries) {
    out.push_back(std::to_string(e.number) + " " + batch::display_name(e.config) + " " + e.origin);
  }
  return out;
}

TEST(RunSet, ListsMakeTheProductWithSpeciesSlowest) {
  std::vector<RunEntry> entries;
  ASSERT_EQ(batch::product_run_set("TOL, API_OH", "0.1,0.2", "allgas,no6", entries), "");
  EXPECT_EQ(names(entries),
            (std::vector<std::string>{"1 TOL/0.1/allgas ", "2 TOL/0.1/no6 ", "3 TOL/0.2/allgas ",
                                      "4 TOL/0.2/no6 ", "5 API_OH/0.1/allgas ",
                                      "6 API_OH/0.1/no6 ", "7 API_OH/0.2/allgas ",
                                      "8 API_OH/0.2/no6 "}));
}

struct ListCase {
  const char* species;
  const char* scenarios;
  const char* tags;
  const char* refusal;
};

TEST(RunSet, ListRefusalsNameTheOption) {
  const ListCase cases[] = {
      {"TOL,", "0.1", "allgas", "--species: species '' is empty"},
      {"TOL", "0.1", "a\tb", "--tag: tag 'a\\x09b' contains a control character"},
      {"TOL", "0.1", "a\x7f" "b", "--tag: tag 'a\\x7fb' contains a control character"},
      {"TOL", "0.1,0.1", "allgas", "--scenario: '0.1' is listed twice"},
      {"TOL", "0.1", "all gas", "--tag: tag 'all gas' contains a blank"},
      {"TOL", "NOX_LABEL_21_CHARS___", "allgas",
       "--scenario: scenario 'NOX_LABEL_21_CHARS___' is longer than 20 characters"},
      // C1 controls and bidirectional formatting, shown escaped.
      {"A\xC2\x85", "0.1", "allgas", "--species: species 'A\\u0085' contains a control character"},
      {"TOL", "0.1", "all\xE2\x80\xAEgas",
       "--tag: tag 'all\\u202egas' contains a bidirectional formatting character"},
      {"#TOL", "0.1", "allgas",
       "--species: species '#TOL' begins with '#', which starts a comment in a plan or a species "
       "table"},
  };
  for (const ListCase& c : cases) {
    std::vector<RunEntry> entries;
    EXPECT_EQ(batch::product_run_set(c.species, c.scenarios, c.tags, entries), c.refusal);
  }
}

TEST(RunSet, PlanLinesInOrderWithCommentsBlanksAndCarriageReturns) {
  std::vector<RunEntry> entries;
  const char* plan =
      "# study\n"
      "\n"
      "TOL,0.1,allgas\r\n"
      "  API_OH , 0.5 ,\tno6  \n"
      "   # indented comment\n"
      "ideal,0.1,static";  // no final line feed
  ASSERT_EQ(batch::plan_run_set(plan, "p.plan", entries), "");
  EXPECT_EQ(names(entries), (std::vector<std::string>{"1 TOL/0.1/allgas p.plan:3",
                                                      "2 API_OH/0.5/no6 p.plan:4",
                                                      "3 ideal/0.1/static p.plan:6"}));
}

struct PlanCase {
  const char* plan;
  const char* refusal;
};

TEST(RunSet, PlanRefusalsNameTheLine) {
  const PlanCase cases[] = {
      {"TOL,0.1\n", "p:1: expected species,scenario,tag, found 2 fields"},
      {"TOL,0.1,allgas,x\n", "p:1: expected species,scenario,tag, found 4 fields"},
      {"TOL,0.1,allgas\nTOL,,allgas\n", "p:2: scenario '' is empty"},
      {"\n\nA/B,0.1,allgas\n", "p:3: species 'A/B' contains '/'"},
      {"TOL,0.1,..\n", "p:1: tag '..' cannot name a directory"},
      {"# nothing\n\n", "p: the plan holds no configuration"},
      {"species,scenario,tag\n", "p: the plan holds no configuration"},
      {"\xff\xfe" "A,0.1,allgas\n", "p:1: species '\\xff\\xfeA' is not valid UTF-8"},
      {"TOL,0.1,allgas\nA\xC2\x85,0.1,allgas\n",
       "p:2: species 'A\\u0085' contains a control character"},
      {"\xE2\x81\xA6TOL,0.1,allgas\n",
       "p:1: species '\\u2066TOL' contains a bidirectional formatting character"},
  };
  for (const PlanCase& c : cases) {
    std::vector<RunEntry> entries;
    EXPECT_EQ(batch::plan_run_set(c.plan, "p", entries), c.refusal) << c.plan;
  }
}

TEST(RunSet, HeaderLinesAndAByteOrderMarkAreSkipped) {
  std::vector<RunEntry> entries;
  // Two plans written by --dry-run, joined with cat, one saved with a mark.
  ASSERT_EQ(batch::plan_run_set("\xEF\xBB\xBFspecies,scenario,tag\r\nOLE2_OH,0.1,allgas\r\n"
                                " species , scenario , tag \nTOL,0.1,no6\n",
                                "p", entries),
            "");
  EXPECT_EQ(names(entries),
            (std::vector<std::string>{"1 OLE2_OH/0.1/allgas p:2", "2 TOL/0.1/no6 p:4"}));
  // Only the exact three names make a header.
  ASSERT_EQ(batch::plan_run_set("Species,scenario,tag\n", "p", entries), "");
  EXPECT_EQ(entries.size(), 1u);
}

TEST(RunSet, APlanOfTheRunSetReadsBackToTheSameRunSet) {
  std::vector<RunEntry> lists, again;
  ASSERT_EQ(batch::product_run_set("TOL,API_OH,\xC3\xA9", "0.1,0.5", "allgas,no6,#x", lists), "");
  const std::string plan = batch::plan_text(lists);
  EXPECT_EQ(plan.substr(0, plan.find('\n')), "species,scenario,tag");
  ASSERT_EQ(batch::plan_run_set(plan, "p", again), "");
  ASSERT_EQ(again.size(), lists.size());
  for (std::size_t n = 0; n < lists.size(); ++n) EXPECT_EQ(again[n].config, lists[n].config);
  EXPECT_EQ(batch::fingerprint(again), batch::fingerprint(lists));
}

TEST(RunSet, ConfigurationsThatWouldShareAResultsFileAreRefused) {
  std::vector<RunEntry> entries;
  ASSERT_EQ(batch::plan_run_set("TOL,0.1,allgas\nx,y,z\nTOL,0.1,allgas\n", "p", entries), "");
  EXPECT_EQ(batch::check_distinct(entries),
            "p:3: the configuration 'TOL/0.1/allgas' comes twice (p:1)");
  // The results file joins the names with dots.
  ASSERT_EQ(batch::plan_run_set("a.b,c,t\na,b.c,t\n", "p", entries), "");
  EXPECT_EQ(batch::check_distinct(entries),
            "p:2: 'a/b.c/t' and 'a.b/c/t' (p:1) would write the same results file "
            "FITS/fit6_coef.a.b.c.t");
  ASSERT_EQ(batch::product_run_set("a.b,a", "c,b.c", "t", entries), "");
  EXPECT_NE(batch::check_distinct(entries), "");
  ASSERT_EQ(batch::product_run_set("a,b", "c", "t,u", entries), "");
  EXPECT_EQ(batch::check_distinct(entries), "");
}

TEST(RunSet, ShardText) {
  const struct {
    const char* text;
    bool ok;
    int index, count;
  } cases[] = {{"1/1", true, 1, 1}, {"2/3", true, 2, 3}, {"3/3", true, 3, 3},
               {"0/3", false, 0, 0}, {"4/3", false, 0, 0}, {"1/0", false, 0, 0},
               {"-1/3", false, 0, 0}, {"1/", false, 0, 0}, {"/3", false, 0, 0},
               {"1/3x", false, 0, 0}, {"13", false, 0, 0}, {" 1/3", false, 0, 0}};
  for (const auto& c : cases) {
    batch::Shard shard;
    EXPECT_EQ(batch::parse_shard(c.text, shard), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(shard.index, c.index) << c.text;
      EXPECT_EQ(shard.count, c.count) << c.text;
    }
  }
}

TEST(RunSet, ShardsAreDisjointAndCoverTheRunSetInOrder) {
  std::vector<RunEntry> entries;
  ASSERT_EQ(batch::product_run_set("a,b,c,d,e", "1,2", "t", entries), "");  // 10 entries
  for (int count : {1, 2, 3, 4, 10, 12}) {
    std::multiset<int> seen;
    for (int index = 1; index <= count; ++index) {
      const std::vector<RunEntry> share = batch::shard_of(entries, {index, count});
      for (std::size_t n = 0; n < share.size(); ++n) {
        seen.insert(share[n].number);
        // Entry i (from 0) is in share (i mod count) + 1, in run-set order.
        EXPECT_EQ((share[n].number - 1) % count + 1, index);
        if (n > 0) {
          EXPECT_LT(share[n - 1].number, share[n].number);
        }
      }
    }
    std::multiset<int> all;
    for (const RunEntry& e : entries) all.insert(e.number);
    EXPECT_EQ(seen, all) << count << " shards";
  }
}

TEST(RunSet, FingerprintDependsOnNamesAndOrder) {
  std::vector<RunEntry> ab, ba, joined;
  ASSERT_EQ(batch::product_run_set("a,b", "1", "t", ab), "");
  ASSERT_EQ(batch::product_run_set("b,a", "1", "t", ba), "");
  ASSERT_EQ(batch::plan_run_set("a,1,t\nb,1,t\n", "p", joined), "");
  EXPECT_NE(batch::fingerprint(ab), batch::fingerprint(ba));
  EXPECT_EQ(batch::fingerprint(ab), batch::fingerprint(joined));
  // The names are kept apart: "ab" + "c" is not "a" + "bc".
  std::vector<RunEntry> x, y;
  ASSERT_EQ(batch::plan_run_set("ab,c,t\n", "p", x), "");
  ASSERT_EQ(batch::plan_run_set("a,bc,t\n", "p", y), "");
  EXPECT_NE(batch::fingerprint(x), batch::fingerprint(y));
}

}  // namespace
