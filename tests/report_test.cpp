// The HTML report: page names, escaping of every text from users and files,
// the index's figures and the charts' points. The page of a real fit is
// checked on vbsfit-batch's output (e2e_batch_quality_test) and in a browser.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "report/chart.hpp"
#include "report/html.hpp"
#include "report/report.hpp"
#include "run_program.hpp"

namespace {


using testsupport::count_of;

TEST(PageName, EveryConfigurationGetsAPlainDistinctName) {
  struct Case {
    const char *species, *scenario, *tag, *name;
  };
  const Case cases[] = {
      {"OLE2_OH", "0.1", "allgas", "OLE2_OH,0.1,allgas.html"},
      {"<i>&x", "0.1", "no56", "~3Ci~3E~26x,0.1,no56.html"},
      {"a,b", "c", "d", "a~2Cb,c,d.html"},
      {"a", "b,c", "d", "a,b~2Cc,d.html"},
      {"~", "%20", "t?#", "~7E,~2520,t~3F~23.html"},
      {"\xC3\xA9", "..", "-", "~C3~A9,..,-.html"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(report::page_name(c.species, c.scenario, c.tag), c.name);
  }
}

TEST(Escape, MarkupCharactersBecomeReferences) {
  EXPECT_EQ(report::escape("<i>&x"), "&lt;i&gt;&amp;x");
  EXPECT_EQ(report::escape("\"a\" 'b'"), "&quot;a&quot; &#39;b&#39;");
  EXPECT_EQ(report::escape("OLE2_OH"), "OLE2_OH");
}

TEST(Shown, NumbersWithoutLocaleAndWordsForTheRest) {
  EXPECT_EQ(report::shown(0.30298, 4), "0.303");
  EXPECT_EQ(report::shown(1.25e-5, 3), "1.25e-05");
  EXPECT_EQ(report::shown(std::nan(""), 3), "n/a");
  EXPECT_EQ(report::shown(INFINITY, 3), "\u221e");
  EXPECT_EQ(report::exact(0.1), "0.1");
  EXPECT_EQ(report::exact(INFINITY), "inf");
  EXPECT_EQ(report::coordinate(-0.04), "0.0");
}

// Coordinates are tenths, rounded as llround rounds (halves away from zero),
// whichever way the digits are made: from a table below 1000, by division
// above.
TEST(Coordinate, TenthsRoundedAsLlroundRoundsThem) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0.0"},       {-0.04, "0.0"},        {0.05, "0.1"},     {-0.05, "-0.1"},
      {12.25, "12.3"},    {-12.25, "-12.3"},     {785.0, "785.0"},  {999.94, "999.9"},
      {999.95, "1000.0"}, {123456789.06, "123456789.1"},            {0.049999999999999996, "0.0"},
      {1e15, "0.0"},      {NAN, "0.0"},          {-INFINITY, "0.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(report::coordinate(c.value), c.text) << c.value;
  // Every tenth of the drawing and the halves between them, against llround.
  for (int n = -20000; n <= 20000; ++n) {
    for (double value : {n / 10.0, (n + 0.5) / 10.0, std::nextafter(n / 20.0, 0.0)}) {
      const long long tenths = std::llround(value * 10.0);
      const long long size = tenths < 0 ? -tenths : tenths;
      const std::string expected = (tenths < 0 ? "-" : "") + std::to_string(size / 10) + "." +
                                   std::to_string(size % 10);
      ASSERT_EQ(report::coordinate(value), expected) << value;
    }
  }
}

// A small configuration with every text field set to `text`.
report::PageData named(const std::string& text) {
  constexpr int kRows = 20;
  std::vector<double> a, b(kRows), x = {0.5, -0.25, 0, 0, 0, 0, 0};
  for (int c = 0; c < 7; ++c) {
    for (int i = 0; i < kRows; ++i) a.push_back(c < 2 ? std::cos(0.3 * i * (c + 1)) : 0.0);
  }
  for (int i = 0; i < kRows; ++i) b[i] = 0.5 * a[i] - 0.25 * a[kRows + i] + 1e-3 * std::sin(i);
  const std::vector<double> lower = {0, -1, 0, 0, 0, 0, 0}, upper = {1e4, 0, 1e4, 1e4, 1e4, 1e4, 1e4};
  report::PageData c;
  c.species = c.scenario = c.tag = text;
  c.known_species = false;
  c.inputs = {text, text, text};
  c.results = text;
  for (int t = 0; t <= kRows; ++t) c.time.push_back(300.0 * t);
  const quality::Problem p{kRows, 7, a, b, x, lower, upper};
  const quality::Design design = quality::design_of(kRows, 7, a);
  for (int r = 1; r <= 6; ++r) c.bins.push_back(report::bin_series(p, 1, quality::assess(p, design)));
  return c;
}

TEST(Render, TextsFromUsersAndFilesShowAsTyped) {
  const std::string hostile = "<i>&x\"'";  // as a name, path and message
  const report::PageData c = named(hostile);
  report::IndexRow fitted;
  fitted.species = fitted.scenario = fitted.tag = hostile;
  fitted.state = "succeeded";
  fitted.linked = true;
  report::IndexRow failed = fitted;
  failed.state = "failed<b>";
  failed.message = "<script>alert(1)</script> " + hostile;
  failed.linked = false;
  const std::vector<report::IndexRow> rows = {fitted, failed};
  const std::string escaped = report::escape(hostile);
  for (const std::string& html : {report::render_page(c, 0.1), report::render_index(rows, {1, 0, 1}, 0.1)}) {
    EXPECT_EQ(html.find("<i>"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_EQ(html.find("x\"'"), std::string::npos);
    EXPECT_GE(count_of(html, escaped), 3);
  }
  EXPECT_NE(report::render_page(c, 0.1).find("<span id=\"species\">" + escaped + "</span>"),
            std::string::npos);
}

TEST(BinSeries, OnlyTheTargetsOwnCoefficientIsShifted) {
  const std::vector<double> a(14, 1.0), b(2, 1.0), x = {0.1, -0.7, 0.3, 0, 0, 0, 0.9};
  const std::vector<double> lower(7, -1.0), upper(7, 1.0);
  const quality::Problem solve{2, 7, a, b, x, lower, upper};
  const report::BinSeries bin =
      report::bin_series(solve, 1, quality::assess(solve, quality::design_of(2, 7, a), 0.1));
  const std::vector<double> expected = {0.1, -0.7 + 1.0, 0.3, 0, 0, 0, 0.9};
  EXPECT_EQ(bin.reported, expected);
  EXPECT_EQ(bin.observed, b);
}

TEST(Chart, PointsThatAreNotFiniteAreLeftOutAndSaidSo) {
  const std::vector<double> hours = {0, 1, 2, 3}, y = {1, NAN, 3, INFINITY}, zero(4, 0.0);
  std::string svg;
  report::render_chart(svg, 3, report::time_axis(hours), y, y, zero);
  EXPECT_NE(svg.find("id=\"chart-bin-3\""), std::string::npos);
  EXPECT_EQ(count_of(svg, "data-points=\"2\""), 2);
  EXPECT_EQ(count_of(svg, "data-points=\"4\""), 1);  // the residual strip
  EXPECT_NE(svg.find("2 intervals with values that are not finite are not drawn"),
            std::string::npos);
}

}  // namespace
