// The study view: totals, the grouped configuration table and its script's
// hooks, the tags compared, the explorer's points, and its size at 10,000
// configurations. Its rendering in a browser is browser_test.py's.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "report/study_view.hpp"
#include "run_program.hpp"

namespace {

using testsupport::count_of;
using quality::Flag;

// A configuration whose 42 coefficients are determined, with figures that
// look like a good fit.
report::StudyRow fitted_row(const std::string& species, const std::string& scenario,
                            const std::string& tag) {
  report::StudyRow r{species, scenario, tag, "succeeded", "", true, true, true, {}};
  r.reactions = report::reactions_of(config::rate_constants(species, tag).k);
  for (quality::BinFigures& bin : r.bins) {
    bin = {};
    bin.rss = 1e-9;
    bin.r_squared = 0.999;
    bin.free_count = 7;
    bin.autocorrelation = -0.5;
    for (int t = 0; t < 7; ++t) {
      bin.coefficient[t] = 0.1 * t;
      bin.coefficients[t] = {0.01, Flag::determined, false, false, 0.5};
    }
  }
  return r;
}

report::StudyRow failed_row(const std::string& species, const std::string& scenario) {
  return {species, scenario, "allgas", "failed", "forrtl: severe (29): file not found", true,
          false, false, {}};
}

TEST(ScenarioOrder, GivenOrderFirstElseNumericWhenAllAreNumbers) {
  const struct {
    std::vector<std::string> seen, given, expected;
  } cases[] = {
      {{"10", "0.1", "1"}, {}, {"0.1", "1", "10"}},
      {{"1e-3", "0.01", "2"}, {}, {"1e-3", "0.01", "2"}},
      {{"10", "0.1", "x"}, {}, {"10", "0.1", "x"}},  // not all numbers: as seen
      {{"10", "inf", "1"}, {}, {"10", "inf", "1"}},  // nor is infinity
      {{"high", "low"}, {}, {"high", "low"}},
      {{"a", "b", "c"}, {"c", "z", "a"}, {"c", "a", "b"}},  // given first, then as seen
      {{"10", "1"}, {"10", "1"}, {"10", "1"}},              // given beats numeric
  };
  for (const auto& c : cases) EXPECT_EQ(report::scenario_order(c.seen, c.given), c.expected);
}

TEST(ReactionsOf, TagRulesGiveTheModelsSize) {
  const struct {
    const char* tag;
    int reactions;
  } cases[] = {{"static", 0}, {"no56", 4}, {"no6", 5}, {"allgas", 6}, {"run-7", 6}, {"static  ", 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(report::reactions_of(config::rate_constants("OLE2_OH", c.tag).k), c.reactions) << c.tag;
  }
}

// The text of span[data-total=name]'s count.
std::string total(const std::string& html, const std::string& name) {
  const std::string start = "<span data-total=\"" + name + "\">";
  const std::size_t at = html.find(start);
  if (at == std::string::npos) return "missing";
  const std::size_t from = at + start.size();
  return html.substr(from, html.find('<', from) - from);
}

TEST(StudyView, TotalsCountStatesAndCoefficientsFromTheRows) {
  report::Study study;
  study.rows = {fitted_row("A", "0.1", "allgas"), fitted_row("A", "1", "no56"),
                fitted_row("B", "0.1", "allgas"), failed_row("B", "1")};
  study.rows[1].state = "kept";
  for (int b = 0; b < 6; ++b) {
    for (int t = 5; t < 7; ++t) study.rows[1].bins[b].coefficients[t].flag = Flag::no_effect;
  }
  study.rows[2].bins[0].coefficients[3].flag = Flag::undetermined;
  study.rows[2].bins[4].misfit = true;  // 7 coefficients in a misfit bin
  study.rows[2].bins[4].coefficients[2].flag = Flag::undetermined;  // misfit still
  study.rows[1].bins[0].misfit = true;  // 5 misfit, and 2 of no effect still
  study.rows.push_back(failed_row("C", "0.1"));
  study.rows.back().state = "stale";
  const std::string html = report::render_study(study);
  // Four disjoint verdicts that add up to the 3 x 42 coefficients.
  const struct {
    const char *name, *count;
  } expected[] = {{"configurations", "5"}, {"succeeded", "2"},     {"kept", "1"},
                  {"stale", "1"},          {"failed", "1"},        {"trusted", "101"},
                  {"undetermined", "1"},   {"misfit", "12"},       {"no-effect", "12"},
                  {"coefficients", "126"}};
  for (const auto& e : expected) EXPECT_EQ(total(html, e.name), e.count) << e.name;
}

TEST(StudyView, ConfigurationsGroupedBySpeciesWithSortAndFilterHooks) {
  report::Study study;
  study.rows = {fitted_row("B", "1", "allgas"), fitted_row("A", "1", "allgas"),
                fitted_row("B", "0.1", "static"), failed_row("A", "10")};
  const std::string html = report::render_study(study);
  // Groups in the order species first appear; rows in the given order.
  const std::size_t group_b = html.find("<tbody class=\"species-group\" data-species=\"B\">");
  const std::size_t group_a = html.find("<tbody class=\"species-group\" data-species=\"A\">");
  ASSERT_NE(group_b, std::string::npos);
  ASSERT_NE(group_a, std::string::npos);
  EXPECT_LT(group_b, group_a);
  EXPECT_LT(html.find("<td>B<td>1<td>"), html.find("<td>B<td>0.1<td>"));
  EXPECT_EQ(count_of(html, "<tr><td>") + count_of(html, "<tr class=\"failed\"><td>"), 4);
  // Every column sortable, with its kind for the script.
  EXPECT_EQ(count_of(html, "<th scope=\"col\" data-column=\""), 8);
  EXPECT_EQ(count_of(html, "data-type=\"number\""), 4);
  for (const char* hook : {"getElementById(\"configurations\")", "addEventListener(\"click\"",
                           "aria-sort", "tr:not(.group)", "\"filter\"", "shown-count"}) {
    EXPECT_NE(html.find(hook), std::string::npos) << hook;
  }
  // Inline scripts only (the table's, the explorer's and its data),
  // nothing loaded from elsewhere.
  EXPECT_EQ(count_of(html, "<script"), 3);
  for (const char* outside : {"src=", "http:", "https:", "<link", "url(", "@import"}) {
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  }
  // The tag links to the page; a configuration without one is plain text.
  EXPECT_NE(html.find("<a href=\"B,1,allgas.html\">allgas</a>"), std::string::npos);
  EXPECT_NE(html.find("<div class=message>forrtl: severe (29): file not found</div><td>n/a"),
            std::string::npos);
}

TEST(StudyView, GroupsStartClosedOnlyBeyondTheRowsABrowserLaysOutQuickly) {
  const struct {
    int rows;
    bool open;
  } cases[] = {{1, true}, {report::kOpenRows, true}, {report::kOpenRows + 1, false}};
  for (const auto& c : cases) {
    report::Study study;
    for (int n = 0; n < c.rows; ++n) {
      study.rows.push_back(fitted_row(n % 3 == 0 ? "A" : "B", std::to_string(n), "allgas"));
    }
    const std::string html = report::render_study(study);
    // Every row is in the page either way; only the groups' boxes differ.
    EXPECT_EQ(count_of(html, "<tr><td>"), c.rows) << c.rows;
    const int groups = c.rows > 1 ? 2 : 1;
    EXPECT_EQ(count_of(html, "class=\"expand\" checked>"), c.open ? groups : 0) << c.rows;
    EXPECT_EQ(count_of(html, "class=\"expand\">"), c.open ? 0 : groups) << c.rows;
    EXPECT_EQ(html.find("tick a group's box") != std::string::npos, !c.open) << c.rows;
  }
}

TEST(StudyView, ConfigurationsNotSucceededAreListedUpToABoundThenRunsCsvHoldsThem) {
  const struct {
    int failed;
    int listed;
    bool more;  // says how many more, and links runs.csv
  } cases[] = {{0, 0, false}, {1, 1, false}, {report::kListedFailures, report::kListedFailures, false},
               {report::kListedFailures + 1, report::kListedFailures, true},
               {100'000, report::kListedFailures, true}};
  for (const auto& c : cases) {
    report::Study study;
    study.rows = {fitted_row("A", "0", "allgas")};
    for (int n = 0; n < c.failed; ++n) study.rows.push_back(failed_row("A", std::to_string(n + 1)));
    study.rows.push_back(fitted_row("A", "x", "allgas"));
    study.rows.back().state = "kept";
    const std::string html = report::render_study(study);
    const std::size_t section = html.find("<section id=\"not-succeeded\">");
    EXPECT_EQ(section != std::string::npos, c.failed > 0) << c.failed;
    if (section == std::string::npos) continue;
    const std::string list = html.substr(section, html.find("</section>", section) - section);
    EXPECT_EQ(count_of(list, "<li>"), c.listed) << c.failed;
    // The first ones in the order of the study, each with why.
    EXPECT_NE(list.find("<li><b>A &middot; 1 &middot; allgas</b>: failed<div class=message>forrtl"),
              std::string::npos);
    EXPECT_EQ(list.find("&middot; 0 &middot;"), std::string::npos);  // succeeded: not listed
    const std::string all = std::to_string(c.failed) + (c.failed == 1 ? " configuration" : " configurations");
    EXPECT_NE(list.find("<p>" + all + " did not succeed"), std::string::npos) << c.failed;
    const std::string more =
        std::to_string(c.failed - c.listed) + " more are not listed here: <a href=\"runs.csv\">";
    EXPECT_EQ(list.find(more) != std::string::npos, c.more) << c.failed;
    // The contents lead to it.
    EXPECT_NE(html.find("<a href=\"#not-succeeded-heading\">"), std::string::npos);
    // Every one has its row; the first kMessageRows of them say why there.
    EXPECT_EQ(count_of(html, "<tr class=\"failed\">"), c.failed);
    const int messages = std::min(c.failed, report::kMessageRows);
    EXPECT_EQ(count_of(html, "<div class=message>forrtl"), messages + c.listed) << c.failed;
    EXPECT_EQ(html.find("runs.csv</a> has every message") != std::string::npos, messages < c.failed)
        << c.failed;
  }
}

TEST(StudyView, MisfitBinsAndNegativeRSquaredAreMarkedAndExplained) {
  report::Study study;
  study.rows = {fitted_row("A", "1", "static"), fitted_row("A", "1", "allgas")};
  study.rows[0].bins[2].misfit = study.rows[0].bins[5].misfit = true;
  for (report::StudyRow& r : study.rows) {
    for (quality::BinFigures& bin : r.bins) bin.drift = 0.4;
  }
  study.rows[0].bins[2].drift = 0.9975;
  study.rows[0].bins[5].r_squared = -1.6;
  const std::string html = report::render_study(study);
  // The highest drift: what misfit is judged on.
  EXPECT_NE(html.find("<td class=bad>-1.6<td>0<td class=bad>2<td>0.998"), std::string::npos);
  EXPECT_NE(html.find("<td>0.999<td>0<td>0<td>0.4"), std::string::npos);
  for (const char* words : {"the model misses part of this bin's dynamics, by enough to matter",
                            "not to be trusted whatever their standard errors",
                            "strays from the observed bin by more than the replay limit",
                            "worse than the bin's mean"}) {
    EXPECT_NE(html.find(words), std::string::npos) << words;
  }
  // In the grid: the misfit bins' seven coefficients each.
  EXPECT_EQ(count_of(html, "<td class=m>"), 14);
}

// A coefficient of no effect stays one in a misfit bin: it is counted
// once, as no effect, in the totals and in the grid; the species group
// counts configurations with misfit bins, not the bins.
TEST(StudyView, NoEffectInAMisfitBinIsNoEffectAndGroupsCountConfigurations) {
  report::Study study;
  study.rows = {fitted_row("A", "0.1", "allgas"), fitted_row("A", "1", "no56"),
                fitted_row("A", "10", "allgas")};
  study.rows[0].bins[0].misfit = study.rows[0].bins[4].misfit = true;  // 14 coefficients
  for (quality::BinFigures& bin : study.rows[1].bins) {
    bin.coefficients[5].flag = bin.coefficients[6].flag = Flag::no_effect;
  }
  study.rows[1].bins[4].misfit = true;  // 5 coefficients, and 2 of no effect
  const std::string html = report::render_study(study);
  EXPECT_EQ(total(html, "misfit"), "19");
  EXPECT_EQ(total(html, "no-effect"), "12");
  EXPECT_NE(html.find("<b>A</b>: 3 configurations, 3 with figures, 2 with misfit bins</label>"),
            std::string::npos);
  EXPECT_EQ(count_of(html, "<td class=m>"), 19);
  EXPECT_EQ(count_of(html, "<td class=z>"), 12);
}

TEST(StudyView, TagsComparedWithThePreferredMarked) {
  report::Study study;
  study.rows = {fitted_row("A", "1", "static"), fitted_row("A", "1", "allgas"),
                fitted_row("A", "2", "allgas")};  // one tag only: not compared
  for (quality::BinFigures& bin : study.rows[0].bins) {
    bin.rss = 4e-9;  // 1440 ln 4 = 1996 higher than allgas's, for 12 coefficients fewer
    bin.free_count = 1;
  }
  const std::string html = report::render_study(study);
  EXPECT_EQ(count_of(html, "<tr class=\"model"), 2);
  EXPECT_NE(html.find("data-tag=\"allgas\" data-preferred=\"true\""), std::string::npos);
  EXPECT_NE(html.find("data-tag=\"static\" data-preferred=\"false\""), std::string::npos);
  EXPECT_NE(html.find("<b>A</b>: preferred allgas in 1 scenario</li>"), std::string::npos);
  EXPECT_EQ(html.find("data-scenario=\"2\" data-tag"), std::string::npos);
}

// The explorer's data block, and in it the figures of `species`: per tag
// (in the study's order), per scenario the configuration's 48 fields, or
// none for a scenario it lacks.
std::string data_block(const std::string& html) {
  const std::size_t at = html.find("<script type=\"application/json\" id=\"explorer-data\">");
  if (at == std::string::npos) return {};
  return html.substr(at, html.find("</script>", at) - at);
}

std::vector<std::vector<std::vector<std::string>>> figures_of(const std::string& html, const std::string& species) {
  const std::string block = data_block(html);
  std::vector<std::vector<std::vector<std::string>>> tags;
  std::size_t at = block.find("[\"" + species + "\",[");
  if (at == std::string::npos) return tags;
  const std::size_t end = block.find("]]]", at);
  for (at = block.find("[", at + 1) + 1; at < end;) {
    const std::size_t open = block.find(",[", at);
    if (open == std::string::npos || open > end) break;
    std::vector<std::vector<std::string>> scenarios;
    std::size_t p = open + 2;
    while (block[p] != ']') {
      if (block.compare(p, 4, "null") == 0) {
        scenarios.emplace_back();
        p += 4;
      } else {
        const std::size_t q = block.find('"', p + 1);
        std::vector<std::string> fields(1);
        for (char c : block.substr(p + 1, q - p - 1)) {
          if (c == ' ') {
            fields.emplace_back();
          } else {
            fields.back() += c;
          }
        }
        scenarios.push_back(fields);
        p = q + 1;
      }
      if (block[p] == ',') ++p;
    }
    tags.push_back(scenarios);
    at = p + 2;
  }
  return tags;
}

TEST(Explorer, EveryTermTravelsWithItsStandardErrorAndVerdict) {
  report::Study study;
  for (const char* scenario : {"10", "0.1", "100", "1"}) study.rows.push_back(fitted_row("A", scenario, "allgas"));
  study.rows[0].bins[0].coefficients[0].flag = Flag::undetermined;  // scenario 10
  study.rows[1].bins[0].misfit = true;                               // 0.1
  study.rows[2].bins[0].coefficients[0].flag = Flag::no_effect;      // 100
  study.rows[3].bins[5].coefficient[6] = 0.123456;                   // 1: VB6 of bin 6, the 42nd term
  const std::string html = report::render_study(study);
  // Scenarios in numeric order; per scenario 42 terms and 6 replay errors.
  EXPECT_NE(data_block(html).find("{\"scenarios\":[\"0.1\",\"1\",\"10\",\"100\"]"), std::string::npos);
  const auto tags = figures_of(html, "A");
  ASSERT_EQ(tags.size(), 1u);
  ASSERT_EQ(tags[0].size(), 4u);
  for (const auto& fields : tags[0]) ASSERT_EQ(fields.size(), 48u);
  EXPECT_EQ(tags[0][0][0], "0/0.01/m");  // misfit bin
  EXPECT_EQ(tags[0][1][0], "0/0.01/t");
  EXPECT_EQ(tags[0][1][41], "0.1235/0.01/t");
  EXPECT_EQ(tags[0][2][0], "0/0.01/u");
  EXPECT_EQ(tags[0][3][0], "z");  // no effect: not drawn, its letter alone
  EXPECT_EQ(tags[0][1][42], "");  // replay error not recorded
}

// Every species and tag is reachable: one picker button per species and
// its tags in the data, whatever their number.
TEST(Explorer, EverySpeciesHasItsButtonAndEveryTagItsSeries) {
  report::Study study;
  for (int s = 0; s < 10; ++s) {
    for (const char* tag : {"static", "allgas"}) study.rows.push_back(fitted_row("S" + std::to_string(s), "1", tag));
  }
  study.rows.push_back(fitted_row("S3", "2", "no6"));  // a tag of one species only
  const std::string html = report::render_study(study);
  EXPECT_EQ(count_of(html, "<input type=\"radio\" name=\"explorer-species\""), 10);
  EXPECT_EQ(count_of(html, "<input type=\"radio\" name=\"explorer-bin\""), 6);
  EXPECT_NE(data_block(html).find("\"tags\":[\"static\",\"allgas\",\"no6\"]"), std::string::npos);
  for (int s = 0; s < 10; ++s) {
    const auto tags = figures_of(html, "S" + std::to_string(s));
    ASSERT_EQ(tags.size(), s == 3 ? 3u : 2u) << s;
    EXPECT_EQ(tags[0].size(), 2u);  // scenarios 1 and 2
    EXPECT_EQ(tags[0][0].size(), 48u);
    EXPECT_TRUE(tags[0][1].empty());  // none fitted at 2
  }
  EXPECT_EQ(html.find("Drawn: "), std::string::npos);
}

TEST(Explorer, ReplayErrorsTravelWithTheirConfiguration) {
  report::Study study;
  study.rows.push_back(fitted_row("A", "1", "allgas"));
  const double errors[] = {0.0123, 0.2, 0.3, 0.4, 0.5, NAN};
  for (int bin = 0; bin < 6; ++bin) study.rows[0].bins[bin].replay_error = errors[bin];
  const auto tags = figures_of(report::render_study(study), "A");
  ASSERT_EQ(tags.size(), 1u);
  const std::vector<std::string>& fields = tags[0][0];
  ASSERT_EQ(fields.size(), 48u);
  EXPECT_EQ(std::vector<std::string>(fields.begin() + 42, fields.end()),
            (std::vector<std::string>{"0.0123", "0.2", "0.3", "0.4", "0.5", ""}));
}

TEST(StudyView, TextsFromUsersAndFilesShowAsTyped) {
  report::Study study;
  study.rows = {fitted_row("<i>&x", "<u>", "t'\""), failed_row("<i>&x", "<script>")};
  study.rows[1].message = "<script>alert(1)</script>";
  study.batches = {{"0.1 <u>", "vbsfit-batch --plan '<i>'", "now", "later", "<host>", "<set>"}};
  const std::string html = report::render_study(study);
  for (const char* raw : {"<i>", "<u>", "<script>alert", "<host>", "<set>", "t'\""}) {
    EXPECT_EQ(html.find(raw), std::string::npos) << raw;
  }
  EXPECT_NE(html.find("&lt;i&gt;&amp;x"), std::string::npos);
}

// A study of `species` x `scenarios` x the four tags with varied figures.
report::Study large_study(int species, int scenarios) {
  std::mt19937 random(11);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  report::Study study;
  for (int s = 0; s < species; ++s) {
    for (int n = 0; n < scenarios; ++n) {
      for (const char* tag : {"static", "no56", "no6", "allgas"}) {
        const std::string name = "SPECIES_" + std::to_string(s), scenario = std::to_string(0.05 * (n + 1));
        if (uniform(random) < 0.02) {
          study.rows.push_back(failed_row(name, scenario));
          continue;
        }
        report::StudyRow r = fitted_row(name, scenario, tag);
        for (quality::BinFigures& bin : r.bins) {
          bin.rss = 1e-9 * (1 + uniform(random));
          bin.r_squared = 1.0 - uniform(random) * 0.1;
          bin.autocorrelation = uniform(random) - 0.6;
          bin.misfit = bin.autocorrelation > 0.2;
          for (int t = 0; t < 7; ++t) {
            bin.coefficient[t] = uniform(random);
            quality::Coefficient& k = bin.coefficients[t];
            k.standard_error = uniform(random) * 0.2;
            k.flag = k.standard_error > 0.1 ? Flag::undetermined : Flag::determined;
          }
        }
        study.rows.push_back(r);
      }
    }
    study.batches.push_back({"0.1.0", "vbsfit-batch --species SPECIES_" + std::to_string(s) + " -j 16",
                             "2026-12-07T10:00:00Z", "2026-12-07T10:20:00Z", "node-" + std::to_string(s % 8),
                             "shard " + std::to_string(s)});
  }
  return study;
}

// issue-size budget: an index opens quickly even for a large study.
constexpr std::size_t kIndexBudget = 2'000'000;

TEST(StudyView, AnIndexOfTenThousandConfigurationsStaysUnderTwoMegabytes) {
  const report::Study study = large_study(50, 50);
  ASSERT_EQ(study.rows.size(), 10'000u);
  const std::string html = report::render_study(study);
  EXPECT_LT(html.size(), kIndexBudget);
  // Every one listed: fitted, and failed.
  EXPECT_EQ(count_of(html, "<tr><td>SPECIES_") + count_of(html, "<tr class=\"failed\"><td>SPECIES_"), 10'000);
  EXPECT_NE(html.find("one row per species and tag"), std::string::npos);  // the grid summarised
  EXPECT_NE(html.find("more species and scenarios compared are not shown here; models.csv"),
            std::string::npos);
  // Every species and tag, of as many scenarios as the budget allows.
  EXPECT_NE(html.find("Drawn: the first 26 of 50 species (every tag) and the first 3 of 50 scenarios"),
            std::string::npos);
}

}  // namespace
