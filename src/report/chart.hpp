// The chart of one target bin as inline SVG: observed and fitted rates of
// change against time, the whole run on the left and the run after its
// first tenth on the right, each on its own value scale, with the residual
// in a strip below each.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "report/html.hpp"

namespace report {

// The time axis that the charts of a page share: the hours of the
// intervals (NaN where not known) and the range they cover.
struct TimeAxis {
  std::vector<double> hours;
  double low = 0.0, high = 0.0;  // the finite hours' range
};
TimeAxis time_axis(std::span<const double> hours);

// The drawing's width in SVG user units; charts fill the page's width, and
// a path keeps at most two points (the lowest and the highest, in time
// order) per unit of width, one unit being about a pixel of a page on a
// wide screen.
inline constexpr double kChartWidth = 1000;

// Appends the parts that every chart over `time` shares, once for a page:
// a hidden svg.chart-frame holding, under the id `id`, the frames of both
// panels and their residual strips, the strips' zero lines, the time axes
// (ticks in hours), the axis and panel titles and the key.
void render_chart_frame(std::string& out, const TimeAxis& time, std::string_view id);

// Appends the chart of target bin `bin` to `out`, its caption first; `note`
// (HTML, may be empty) is added to the caption. The chart draws the frame
// `frame` (render_chart_frame over the same `time`, earlier on the page)
// and its own value axes and series. The spans have one value per interval
// of `time`; points whose time or value is not finite are left out and
// counted in the caption. `before` (SVG or HTML, may be empty) goes between
// the caption and the chart: the bin's replay chart. Hooks: figure.chart with id="chart-bin-<bin>" and
// data-bin; in its svg, per panel a g with data-panel
// (run, late) and data-intervals (the intervals of the panel with a finite
// time), holding one path per series with the series as its class
// (residual, observed, fitted) and, when it stands for fewer intervals (its
// values not all finite), its own data-intervals. Observed and residual are
// bands (a closed outline: their range per few units of time), fitted a
// line drawn over them.
void render_chart(std::string& out, int bin, const TimeAxis& time, std::string_view frame,
                  std::span<const double> observed, std::span<const double> fitted,
                  std::span<const double> residual, std::string_view note = {},
                  std::string_view before = {});

// The replay chart of a stored series over the records of the run: the
// observed values (a broad light line) and the fitted model's replay of them
// (a thin line drawn over it, so that where they agree the replay shows
// inside the observed line). `records` holds the records' hours. Its frame
// (time axis, axis titles and key), appended once per page by
// render_replay_frame, is drawn by <use> of `frame`. Hooks: in the svg, a
// g[data-panel="replay"] with data-records, holding path.stored and
// path.replayed. The value axis covers the observed values and the replayed
// ones up to half the observed span beyond them; replayed values further
// out are drawn on its edge. `label` names the series in the svg's
// aria-label.
void render_replay_frame(std::string& out, const TimeAxis& records, std::string_view id);
void render_replay_chart(std::string& out, const TimeAxis& records, std::string_view frame,
                         std::span<const double> observed, std::span<const double> replayed,
                         std::string_view label);

// The points of a series on its way into a path: decimation to the lowest
// and highest point per unit of x, rounding to whole units, and dropping
// points within a fraction of a unit of the line through their neighbours.
// Exposed for tests. xs ascend.
struct Point {
  int x, y;
};
std::vector<Point> compact_points(std::span<const double> xs, std::span<const double> ys);

// The outline of a band: per `width` units of x the lowest and highest
// value (half a unit outwards, so a smooth series still shows as a line),
// the upper edge left to right, then the lower edge back, each simplified
// as compact_points does.
std::vector<Point> band_points(std::span<const double> xs, std::span<const double> ys, double width);

// The ticks of a value axis over [low, high]: about `target` of them, at a
// step of 1, 2 or 5 times a power of ten; one within a billionth of a step
// of zero is 0 (no "1e-21"). The page's charts and the study's explorer
// share them.
std::vector<double> axis_ticks(double low, double high, int target);

// The half-height of a residual strip whose largest |value| is `largest`:
// the smallest of 1, 1.5, 2, 2.5, 3, 4, 5, 6 or 8 times a power of ten that
// is at least `largest` (1 when it is zero or not finite). The strip is
// labelled at -reach, 0 and +reach, so its scale reads off at a glance and
// the residual fills at least two thirds of it.
double strip_reach(double largest);

// "M x0 y0l dx dy ..." for `points`: the first absolute, the rest relative.
std::string path_data(std::span<const Point> points);

}  // namespace report
