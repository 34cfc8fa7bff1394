// The HTML report: page names, escaping of every text from users and files,
// the index's figures and the charts' points. The page of a real fit is
// checked on vbsfit-batch's output (e2e_batch_quality_test) and in a browser.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "report/chart.hpp"
#include "report/html.hpp"
#include "report/page_notes.hpp"
#include "report/report.hpp"
#include "report_fixture.hpp"
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
// The value axes of the pages' charts and of the study's explorer.
TEST(AxisTicks, StepsOfOneTwoOrFiveTimesAPowerOfTenInsideTheRange) {
  const struct {
    double low, high;
    int target;
    std::vector<double> ticks;
  } cases[] = {
      {0.0, 1.0, 3, {0.0, 0.5, 1.0}},
      {1.0, 1e4, 5, {2000, 4000, 6000, 8000, 10000}},
      {-0.25, 0.25, 3, {-0.2, 0.0, 0.2}},
      {0.31, 0.39, 3, {0.35}},  // a raw step of 0.027 rounds up to 0.05
  };
  for (const auto& c : cases) {
    const std::vector<double> ticks = report::axis_ticks(c.low, c.high, c.target);
    ASSERT_EQ(ticks.size(), c.ticks.size()) << c.low << " " << c.high;
    for (std::size_t n = 0; n < ticks.size(); ++n) {
      EXPECT_NEAR(ticks[n], c.ticks[n], 1e-12 * (c.high - c.low)) << c.low << " " << c.high;
    }
  }
}

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
  const std::string escaped = report::escape(hostile);
  const std::string html = report::render_page(c, 0.1);
  EXPECT_EQ(html.find("<i>"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("x\"'"), std::string::npos);
  EXPECT_GE(count_of(html, escaped), 3);
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

// The text of `svg` from the element that starts with `start` to its end tag `end`.
std::string element(const std::string& svg, const std::string& start, const std::string& end = "</g>") {
  const std::size_t at = svg.find(start);
  if (at == std::string::npos) return {};
  return svg.substr(at, svg.find(end, at) + end.size() - at);
}

TEST(Chart, PointsThatAreNotFiniteAreLeftOutAndSaidSo) {
  const std::vector<double> hours = {0, 1, 2, 3}, y = {1, NAN, 3, INFINITY}, zero(4, 0.0);
  std::string svg;
  report::render_chart(svg, 3, report::time_axis(hours), "frame", y, y, zero);
  EXPECT_NE(svg.find("id=\"chart-bin-3\""), std::string::npos);
  // The run panel has four intervals; observed and fitted stand for two of
  // them, the residual strip for all four.
  const std::string run = element(svg, "<g data-panel=\"run\" data-intervals=\"4\">");
  ASSERT_FALSE(run.empty()) << svg;
  EXPECT_EQ(count_of(run, "data-intervals=\"2\""), 2);
  EXPECT_EQ(count_of(run, "<path class=\"residual\" d="), 1);
  EXPECT_NE(svg.find("2 intervals with values that are not finite are not drawn"),
            std::string::npos);
}

// The points of a path written by path_data ("M x y l dx dy ... [z]").
std::vector<report::Point> parse_path(const std::string& d) {
  std::vector<report::Point> points;
  const char* at = d.c_str();
  char* end = nullptr;
  bool relative = false;
  while (*at != '\0') {
    if (*at == 'M' || *at == 'l') {
      relative = *at == 'l';
      ++at;
    } else if (*at == ' ' || *at == 'z') {
      ++at;
    } else {
      const long x = std::strtol(at, &end, 10);
      const long y = std::strtol(end, &end, 10);
      at = end;
      if (relative) {
        points.push_back({points.back().x + static_cast<int>(x), points.back().y + static_cast<int>(y)});
      } else {
        points.push_back({static_cast<int>(x), static_cast<int>(y)});
      }
    }
  }
  return points;
}

// The d attribute of the path of `series` in `panel` of `svg`.
std::string path_of(const std::string& svg, const std::string& series, const std::string& panel) {
  const std::string group = element(svg, "<g data-panel=\"" + panel + "\"");
  const std::size_t at = group.find("<path class=\"" + series + "\"");
  if (at == std::string::npos) return {};
  const std::size_t d = group.find(" d=\"", at) + 4;
  return group.substr(d, group.find('"', d) - d);
}

TEST(CompactPoints, KeepsExtremesAndAtMostTwoPointsPerUnit) {
  std::vector<double> xs, line, spike, noise;
  std::mt19937 random(7);
  std::uniform_real_distribution<double> uniform(0.0, 100.0);
  for (int i = 0; i < 1440; ++i) {
    xs.push_back(10.0 + i * 0.35);  // about three intervals per unit
    line.push_back(200.0 - i * 0.1);
    spike.push_back(i == 700 ? 20.0 : 150.0);
    noise.push_back(uniform(random));
  }
  const std::vector<report::Point> straight = report::compact_points(xs, line);
  ASSERT_EQ(straight.size(), 2u);  // a straight line needs its ends only
  EXPECT_EQ(straight.front().x, 10);
  EXPECT_EQ(straight.front().y, 200);
  EXPECT_EQ(straight.back().y, 56);  // 200 - 143.9, rounded
  const std::vector<report::Point> peak = report::compact_points(xs, spike);
  EXPECT_TRUE(std::any_of(peak.begin(), peak.end(), [](report::Point p) { return p.y == 20; }));
  EXPECT_LE(peak.size(), 5u);
  const std::vector<report::Point> noisy = report::compact_points(xs, noise);
  const int units = static_cast<int>(xs.back() - xs.front()) + 1;
  EXPECT_LE(static_cast<int>(noisy.size()), 2 * units);
  EXPECT_GT(noisy.size(), 400u);  // noise is kept, not smoothed away
  for (const auto& points : {straight, peak, noisy}) {
    const std::vector<report::Point> back = parse_path(report::path_data(points));
    ASSERT_EQ(back.size(), points.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
      EXPECT_EQ(back[i].x, points[i].x);
      EXPECT_EQ(back[i].y, points[i].y);
    }
  }
}

// A band's outline: a smooth series, however steep, stays a line a unit
// thick; noise keeps its whole range in every column.
TEST(BandPoints, SmoothSeriesStayLinesAndNoiseKeepsItsRange) {
  std::vector<double> xs, steep, noise;
  std::mt19937 random(11);
  std::uniform_real_distribution<double> uniform(20.0, 80.0);
  for (int i = 0; i < 1440; ++i) {
    xs.push_back(70.0 + i * 0.368);  // the whole-run panel: 530 units
    steep.push_back(30.0 + i * 0.2);  // over 4 units of fall across a band column of 8
    noise.push_back(uniform(random));
  }
  for (double width : {2.0, 8.0}) {
    const std::vector<report::Point> line = report::band_points(xs, steep, width);
    ASSERT_GE(line.size(), 4u);
    for (const report::Point& p : line) {
      // Within a unit and a half of the series at its own x (half a unit
      // outwards, a unit of tolerance, and rounding).
      const double on_line = 30.0 + (p.x - 70.0) / 0.368 * 0.2;
      EXPECT_LE(std::abs(p.y - on_line), 2.0) << "width " << width << " at x " << p.x;
    }
    const std::vector<report::Point> band = report::band_points(xs, noise, width);
    const int columns = static_cast<int>(530 / width) + 1;
    EXPECT_LE(static_cast<int>(band.size()), 2 * columns) << width;
    const auto [low, high] = std::minmax_element(band.begin(), band.end(),
                                                 [](report::Point a, report::Point b) { return a.y < b.y; });
    EXPECT_LE(low->y, 20);   // the lowest value, half a unit outwards
    EXPECT_GE(high->y, 80);
  }
}

TEST(Chart, RisingValuesGoUpAndTimeRunsRightInHours) {
  std::vector<double> hours, rising, zero;
  for (int i = 0; i < 1440; ++i) {
    hours.push_back((i + 0.5) / 12.0);  // five-minute intervals over five days
    rising.push_back(1e-6 * i);
    zero.push_back(0.0);
  }
  const report::TimeAxis time = report::time_axis(hours);
  std::string frame, svg;
  report::render_chart_frame(frame, time, "frame-1");
  report::render_chart(svg, 1, time, "frame-1", rising, rising, zero);
  EXPECT_NE(frame.find("<g id=\"frame-1\">"), std::string::npos);
  EXPECT_NE(svg.find("<use href=\"#frame-1\"/>"), std::string::npos);
  for (const char* panel : {"run", "late"}) {
    const std::vector<report::Point> fitted = parse_path(path_of(svg, "fitted", panel));
    ASSERT_GE(fitted.size(), 2u) << panel;
    EXPECT_LT(fitted.front().x, fitted.back().x) << panel;  // later is to the right
    EXPECT_GT(fitted.front().y, fitted.back().y) << panel;  // larger is higher up
  }
  // The late panel holds the intervals from a tenth of the run on: 12 h.
  const int late = static_cast<int>(std::count_if(hours.begin(), hours.end(), [&](double h) {
    return h >= hours.front() + 0.1 * (hours.back() - hours.front());
  }));
  const std::string late_panel =
      element(svg, "<g data-panel=\"late\" data-intervals=\"" + std::to_string(late) + "\">");
  EXPECT_EQ(count_of(late_panel, "<path "), 3);
  EXPECT_EQ(count_of(late_panel, "data-intervals="), 1);  // the panel's: every series is finite
  EXPECT_EQ(count_of(frame, ">time (h)</text>"), 2);
  EXPECT_NE(frame.find(">from 12 h, own scale</text>"), std::string::npos);
  // Time ticks in hours, left to right: 20 h before 40 h before 100 h.
  const std::size_t t20 = frame.find(">20</text>"), t40 = frame.find(">40</text>"),
                    t100 = frame.find(">100</text>");
  ASSERT_NE(t100, std::string::npos);
  EXPECT_LT(t20, t40);
  EXPECT_LT(t40, t100);
  // Value labels (right-aligned, left of each frame): on every axis, the
  // larger value sits higher up. The residual strips' frames (the second
  // box of each panel's frame path) start below the main ones'.
  const std::string boxes = element(frame, "<path class=\"frame\" d=\"", "\"/>");
  const std::size_t second_box = boxes.find('M', boxes.find('M') + 1);
  ASSERT_NE(second_box, std::string::npos);
  const int strip_top = std::stoi(boxes.substr(boxes.find(' ', second_box) + 1));
  std::map<std::pair<int, bool>, std::map<int, double>> axes;  // (x, strip) -> y -> value
  const std::string labels = element(svg, "<g text-anchor=\"end\">");
  ASSERT_FALSE(labels.empty());
  for (std::size_t at = labels.find("<text "); at != std::string::npos; at = labels.find("<text ", at + 1)) {
    const int x = std::stoi(labels.substr(labels.find(" x=\"", at) + 4));
    const int y = std::stoi(labels.substr(labels.find(" y=\"", at) + 4));
    axes[{x, y > strip_top}][y] = std::stod(labels.substr(labels.find('>', at) + 1));
  }
  ASSERT_EQ(axes.size(), 4u);  // two panels, each with its main axis and its strip
  for (const auto& [axis, values] : axes) {
    ASSERT_GE(values.size(), 2u);
    for (auto it = std::next(values.begin()); it != values.end(); ++it) {
      EXPECT_LT(it->second, std::prev(it)->second) << "x " << axis.first << ", y " << it->first;
    }
  }
  // The caption comes first.
  EXPECT_LT(svg.find("<figcaption>"), svg.find("<svg"));
}

// A residual strip is labelled at its edges with values a reader can use:
// the scale that left 3.1e-6 with a "0" tick alone now reads +-4e-06.
TEST(StripReach, ANiceValueAtLeastTheLargestAndNotFarAboveIt) {
  const struct {
    double largest, reach;
  } cases[] = {
      {3.1e-6, 4e-6}, {1.0, 1.0}, {1.01, 1.5}, {0.26, 0.3}, {8.1, 10.0},
      {7e-6, 8e-6},   {0.0, 1.0}, {NAN, 1.0},  {-2.0, 1.0},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(report::strip_reach(c.largest), c.reach, 1e-12 * c.reach) << c.largest;
  }
  for (double largest = 1e-9; largest < 1e9; largest *= 1.37) {
    const double reach = report::strip_reach(largest);
    EXPECT_GE(reach, largest);
    EXPECT_LE(reach, 1.5 * largest);  // the residual fills two thirds of the strip or more
  }
}

TEST(Chart, ResidualStripsAreLabelledAtTheirEdgesAndZero) {
  std::vector<double> hours, values, residual;
  for (int i = 0; i < 1440; ++i) {
    hours.push_back((i + 0.5) / 12.0);
    values.push_back(1e-5 * std::exp(-i / 300.0));
    residual.push_back(3.1e-6 / 1.05 * std::sin(i / 50.0));  // peaks near 2.95e-6: padded to 3.1e-6
  }
  const report::TimeAxis time = report::time_axis(hours);
  std::string svg;
  report::render_chart(svg, 2, time, "frame", values, values, residual);
  const std::string labels = element(svg, "<g text-anchor=\"end\">");
  // Per panel: the main axis' labels, then the strip's top, zero and bottom.
  for (const char* strip : {">4e-06</text><text x=\"95\" y=\"254\">0</text><text x=\"95\" y=\"282\">-4e-06<",
                            ">4e-06</text><text x=\"695\" y=\"254\">0</text><text x=\"695\" y=\"282\">-4e-06<"}) {
    EXPECT_NE(labels.find(strip), std::string::npos) << strip << " in " << labels;
  }
}

// The replay chart: a sharp peak of the observed values survives the
// thinning of 1441 records into a path, a smooth series costs few points,
// and a replay that runs away stays on the chart's edge.
TEST(ReplayChart, KeepsThePeakAndHoldsARunawayReplayAtTheEdge) {
  std::vector<double> hours, peaked, runaway;
  for (int i = 0; i < 1441; ++i) {
    hours.push_back(i / 12.0);
    peaked.push_back(1.0 + 4.0 * std::exp(-0.5 * std::pow((i - 700) / 1.5, 2)));  // 5 at record 700
    runaway.push_back(std::exp(i / 100.0));                                       // 1.8e6 at the end
  }
  const report::TimeAxis records = report::time_axis(hours);
  std::string svg;
  report::render_replay_chart(svg, records, "replay-frame", peaked, runaway, "VB1");
  const std::string panel = element(svg, "<g data-panel=\"replay\" data-records=\"1441\">");
  ASSERT_FALSE(panel.empty());
  const std::vector<report::Point> stored = parse_path(path_of(svg, "stored", "replay"));
  const std::vector<report::Point> replayed = parse_path(path_of(svg, "replayed", "replay"));
  const auto top = [](const std::vector<report::Point>& p) {
    return std::min_element(p.begin(), p.end(), [](report::Point a, report::Point b) { return a.y < b.y; })->y;
  };
  // The axis: the observed range 1 ... 5 padded by 5 % (0.8 ... 5.2), then
  // widened for the replay by half the observed span (to 7.4). The frame
  // runs from y 28 to 200: 5 lies at 200 - (5 - 0.8) / 6.6 * 172 = 90.5.
  EXPECT_NEAR(top(stored), 90.5, 1.0);
  EXPECT_EQ(top(replayed), 28);  // held at the top edge, not off the chart
  EXPECT_LT(stored.size(), 12u);  // flat, one peak, flat
  // Smooth: a decay over the run is a few dozen points, not 1441.
  std::vector<double> decay;
  for (int i = 0; i < 1441; ++i) decay.push_back(std::exp(-i / 300.0));
  std::string smooth;
  report::render_replay_chart(smooth, records, "replay-frame", decay, decay, "VB2");
  EXPECT_LT(parse_path(path_of(smooth, "stored", "replay")).size(), 60u);
  EXPECT_EQ(path_of(smooth, "stored", "replay"), path_of(smooth, "replayed", "replay"));
}

// The largest page a configuration gets is the one with the noisiest data.
constexpr std::size_t kPageBudget = 100'000;

TEST(PageSize, AFitOf1441RecordsStaysUnder100kB) {
  const struct {
    const char *tag, *truth;
    double noise;
  } cases[] = {
      {"allgas", "allgas", 0.0},  {"allgas", "allgas", 0.001}, {"allgas", "allgas", 0.01},
      {"allgas", "allgas", 0.05}, {"static", "allgas", 0.0},   {"no56", "allgas", 0.01},
  };
  for (const auto& c : cases) {
    const fixture::Fitted f = fixture::fit("OLE2_OH", "0.1", c.tag, c.truth, c.noise, 3);
    ASSERT_EQ(f.page.time.size(), 1441u);
    const std::string page = report::render_page(f.page, f.notes, quality::kDefaultSeLimit);
    EXPECT_LT(page.size(), kPageBudget) << c.tag << " on " << c.truth << " data, noise " << c.noise;
    EXPECT_EQ(count_of(page, "<figure class=\"chart\""), 6);
    EXPECT_EQ(count_of(page, "<g data-panel=\"run\" data-intervals=\"1440\">"), 6);
    EXPECT_EQ(count_of(page, "<svg class=\"chart-frame\""), 2);  // the bins share one time axis, the replays another
    // The bins' total and each bin replayed, with its replay error in the table.
    EXPECT_EQ(count_of(page, "<figure class=\"total\" id=\"chart-total\">"), 1);
    EXPECT_EQ(count_of(page, "<g data-panel=\"replay\" data-records=\"1441\">"), 7);
    EXPECT_EQ(count_of(page, "<td class=\"replay-error\" data-replay-error=\""), 6);
    EXPECT_EQ(count_of(page, "data-replay-error=\"nan\""), 0);
  }
  // Without the stored bins the page says that the replay is not shown.
  fixture::Fitted f = fixture::fit("OLE2_OH", "0.1", "allgas", "allgas", 0.0, 3);
  f.page.stored_bins.clear();
  f.page.replay = {};
  const std::string page = report::render_page(f.page, f.notes, quality::kDefaultSeLimit);
  EXPECT_NE(page.find("<p class=\"note\" id=\"no-replay\">"), std::string::npos);
  EXPECT_EQ(count_of(page, "data-panel=\"replay\""), 0);
  EXPECT_EQ(count_of(page, "data-replay-error=\"nan\">n/a<"), 6);
}

TEST(Misfit, ABinOverTheLimitMarksItsCoefficientsAndSaysWhy) {
  fixture::Fitted f = fixture::fit("OLE2_OH", "0.1", "no56", "no56", 0.0, 5);
  f.notes.bins.assign(6, {-0.45, false, 0.5});
  f.notes.bins[1] = {0.93, true, 0.995};
  f.page.bins[3].fit.r_squared = -1.6;
  const std::string page = report::render_page(f.page, f.notes, quality::kDefaultSeLimit);
  // Bin 2's five coefficients that enter the fit (no56: VB5 and VB6 have no effect).
  const std::string row = page.substr(page.find("<tr data-bin=\"2\">"));
  EXPECT_EQ(count_of(row.substr(0, row.find("</tr>")), "<td class=\"misfit"), 5);
  EXPECT_EQ(count_of(page, "<td class=\"misfit"), 5);
  EXPECT_EQ(count_of(page, "<b class=\"misfit-mark\">misfit</b>"), 5);
  EXPECT_EQ(count_of(page, "<s>"), 5);  // their values struck through
  EXPECT_NE(page.find("<tr data-bin=\"2\" data-misfit=\"true\" class=\"misfit\">"), std::string::npos);
  EXPECT_NE(page.find("class=\"autocorrelation\" data-autocorrelation=\"0.93\">0.93<"), std::string::npos);
  EXPECT_NE(page.find("class=\"drift\" data-drift=\"0.995\">0.995<"), std::string::npos);
  EXPECT_NE(page.find("Drift of the residuals 0.995: <span class=\"misfit-mark\">misfit</span>"), std::string::npos);
  EXPECT_EQ(count_of(page, "Drift of the residuals 0.5."), 5);
  EXPECT_NE(page.find("class=\"misfit-count\" data-count=\"1\""), std::string::npos);
  EXPECT_NE(page.find("<td class=\"negative\">-1.6<td>"), std::string::npos);
  for (const char* words : {"whatever its standard errors, do not use it",
                            "the replay error says how much that matters",
                            "worse than the bin's mean"}) {
    EXPECT_NE(page.find(words), std::string::npos) << words;
  }
  // Without the figures the page says so and marks nothing.
  const std::string bare = report::render_page(f.page, quality::kDefaultSeLimit);
  EXPECT_EQ(count_of(bare, "data-misfit=\"true\""), 0);
  EXPECT_EQ(count_of(bare, " misfit\" data-value="), 0);
  EXPECT_NE(bare.find("misfit not assessed"), std::string::npos);
}

TEST(Provenance, VersionCommandDateHostAndInputsAreShownAsRecorded) {
  fixture::Fitted f = fixture::fit("OLE2_OH", "0.1", "allgas", "allgas", 0.0, 5);
  f.notes.command = "vbsfit-batch --plan '<b>.plan'";
  f.notes.batch = "7";
  f.notes.results_sha256 = std::string(64, 'e');
  f.notes.inputs = {{"Precursor", "../INPUTS_ODE/x/aer.precursor", 46125, "2026-12-01T10:00:00Z",
                     "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"}};
  const std::string page = report::render_page(f.page, f.notes, quality::kDefaultSeLimit);
  for (const std::string& shown :
       {std::string("0.1.0"), std::string("vbsfit-batch --plan &#39;&lt;b&gt;.plan&#39;"),
        std::string("2026-12-07T16:55:54Z"), std::string("node-1"), std::string("46125"),
        std::string("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"),
        f.page.results, std::string("<th>Batch<td class=\"text\">7</tr>"),
        "<td class=\"text message\">" + std::string(64, 'e') + "</tr>"}) {
    EXPECT_NE(page.find(shown), std::string::npos) << shown;
  }
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  EXPECT_NE(page.find("<p id=\"made\">Fitted 2026-12-07T16:55:54Z by vbsfit-batch 0.1.0 on node-1; "),
            std::string::npos);
  const std::string bare = report::render_page(f.page, quality::kDefaultSeLimit);
  EXPECT_EQ(count_of(bare, "not recorded"), 5);  // batch, version, command, date, host
  EXPECT_EQ(bare.find("id=\"made\""), std::string::npos);
  EXPECT_NE(bare.find(f.page.inputs.bins), std::string::npos);
}

}  // namespace
