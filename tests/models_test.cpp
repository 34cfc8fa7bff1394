// The comparison of tags: AIC per bin and in total, and which tag is
// preferred, on fits whose true tag is known by construction.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "quality/models.hpp"

namespace {

constexpr int kRows = 1440;

TEST(Aic, IsRowsTimesLogMeanSquareplusTwicePerFreeCoefficient) {
  const struct {
    int rows;
    double rss;
    int k;
    double expected;
  } cases[] = {
      {1440, 1440.0, 0, 0.0},                        // ln(1) = 0
      {1440, 1440.0, 7, 14.0},                       // only the penalty
      {100, 100.0 * std::exp(-2.0), 3, -200.0 + 6},  // n ln(e^-2) + 2k
      {1, 4.0, 1, std::log(4.0) + 2},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(quality::aic(c.rows, c.rss, c.k), c.expected, 1e-9) << c.rows << " " << c.rss;
  }
  EXPECT_EQ(quality::aic(kRows, 0.0, 3), -INFINITY);  // an exact fit
  EXPECT_TRUE(std::isnan(quality::aic(0, 1.0, 1)));
  EXPECT_TRUE(std::isnan(quality::aic(kRows, -1.0, 1)));
  EXPECT_TRUE(std::isnan(quality::aic(kRows, NAN, 1)));
}

// The tags from the smallest model to the largest, with the rate constants
// each leaves nonzero.
struct Tag {
  const char* name;
  int reactions;
};
constexpr Tag kTags[] = {{"static", 0}, {"no56", 4}, {"no6", 5}, {"allgas", 6}};

// The fit of data made under `truth` with the model of `tag`, as least
// squares gives it: a model that lacks reactions the data hold leaves a
// systematic residual (RSS several times the noise's); one with more
// reactions than the data hold fits the noise a little better (nested
// models never fit worse), by less than its extra coefficients cost.
quality::Candidate fit_of(const Tag& tag, const Tag& truth) {
  quality::Candidate c{tag.name, tag.reactions, {}};
  for (int bin = 1; bin <= 6; ++bin) {
    const double noise = 1e-12 * bin * bin;  // each bin its own noise scale
    const int extra = tag.reactions - truth.reactions;
    const double rss = extra >= 0 ? kRows * noise * (1.0 - 3e-4 * extra)
                                  : kRows * noise * (1.0 + 0.5 * -extra);
    c.bins.push_back({kRows, rss, 0.99, 1 + std::min(tag.reactions, 6)});
  }
  return c;
}

TEST(CompareModels, PrefersTheTagTheDataWereMadeWith) {
  for (const Tag& truth : kTags) {
    std::vector<quality::Candidate> candidates;
    for (const Tag& tag : kTags) candidates.push_back(fit_of(tag, truth));
    // Every order of the candidates gives the same answer.
    std::vector<int> order = {0, 1, 2, 3};
    do {
      std::vector<quality::Candidate> shuffled;
      for (int n : order) shuffled.push_back(candidates[n]);
      const quality::Comparison result = quality::compare_models(shuffled);
      ASSERT_GE(result.preferred, 0);
      EXPECT_EQ(shuffled[result.preferred].tag, truth.name) << "order starting " << order[0];
    } while (std::next_permutation(order.begin(), order.end()));
  }
}

// Total AIC of a one-bin candidate with `rss` and k: rows ln(rss / rows) + 2k.
quality::Candidate one_bin(const char* tag, int reactions, double total_aic, int k) {
  const double rss = kRows * std::exp((total_aic - 2.0 * k) / kRows);
  return {tag, reactions, {{kRows, rss, 0.5, k}}};
}

TEST(CompareModels, WithinTwoTheSmallerModelElseTheLowestAic) {
  const struct {
    const char* name;
    std::vector<quality::Candidate> candidates;
    const char* preferred;
  } cases[] = {
      {"larger better by 1.5: a tie", {one_bin("static", 0, 100.0, 1), one_bin("allgas", 6, 98.5, 7)}, "static"},
      {"larger better by 2.5", {one_bin("static", 0, 100.0, 1), one_bin("allgas", 6, 97.5, 7)}, "allgas"},
      // RSS = rows: the AICs are exactly 2k, 8 and 6.
      {"larger better by exactly 2: a tie",
       {{"static", 0, {{kRows, kRows, 0.5, 4}}}, {"allgas", 6, {{kRows, kRows, 0.5, 3}}}}, "static"},
      {"larger better by just under 2",
       {{"static", 0, {{kRows, kRows, 0.5, 4}}}, {"allgas", 6, {{kRows, kRows * (1 + 1e-6), 0.5, 3}}}},
       "static"},
      {"larger better by just over 2",
       {{"static", 0, {{kRows, kRows, 0.5, 4}}}, {"allgas", 6, {{kRows, kRows * (1 - 1e-6), 0.5, 3}}}},
       "allgas"},
      {"smallest of three within 2",
       {one_bin("allgas", 6, 50.0, 7), one_bin("no6", 5, 51.0, 6), one_bin("no56", 4, 51.9, 5)}, "no56"},
      {"the tie is with the lowest, not a chain",
       {one_bin("allgas", 6, 50.0, 7), one_bin("no6", 5, 51.5, 6), one_bin("no56", 4, 53.0, 5)}, "no6"},
      {"labels rank as allgas: lowest AIC", {one_bin("run-a", 6, 10.0, 7), one_bin("run-b", 6, 9.0, 7)}, "run-b"},
      {"same AIC and size: the first", {one_bin("run-a", 6, 10.0, 7), one_bin("run-b", 6, 10.0, 7)}, "run-a"},
      {"exact fits tie with each other only",
       {{"allgas", 6, {{kRows, 0.0, 1.0, 7}}}, {"no6", 5, {{kRows, 0.0, 1.0, 6}}}, one_bin("static", 0, -1e4, 1)},
       "no6"},
      {"unknown AIC is never preferred",
       {{"static", 0, {{kRows, NAN, NAN, 1}}}, one_bin("allgas", 6, 10.0, 7)}, "allgas"},
  };
  for (const auto& c : cases) {
    const quality::Comparison result = quality::compare_models(c.candidates);
    ASSERT_GE(result.preferred, 0) << c.name;
    EXPECT_EQ(c.candidates[result.preferred].tag, c.preferred) << c.name;
  }
  const std::vector<quality::Candidate> unknown = {{"static", 0, {{kRows, NAN, NAN, 1}}}, {"no6", 5, {}}};
  EXPECT_EQ(quality::compare_models(unknown).preferred, -1);
}

TEST(CompareModels, TotalsAreSumsOverTheBinsInOrder) {
  const quality::Candidate c{"no6", 5, {{kRows, 2.0, 0.9, 3}, {kRows, 0.5, -0.25, 4}, {kRows, 1.0, NAN, 6}}};
  const quality::Comparison result = quality::compare_models(std::vector{c});
  const quality::Score& s = result.scores[0];
  ASSERT_EQ(s.bin_aic.size(), 3u);
  EXPECT_EQ(s.bin_aic[1], quality::aic(kRows, 0.5, 4));
  EXPECT_EQ(s.aic, (s.bin_aic[0] + s.bin_aic[1]) + s.bin_aic[2]);
  EXPECT_EQ(s.rss, 3.5);
  EXPECT_EQ(s.free_count, 13);
  EXPECT_EQ(s.worst_r_squared, -0.25);
  EXPECT_EQ(result.preferred, 0);
}

}  // namespace
