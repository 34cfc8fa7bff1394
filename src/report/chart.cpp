#include "report/chart.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "report/html.hpp"

namespace report {
namespace {

// The drawing, in SVG user units. Two panels side by side: the whole run,
// and the run after its first tenth on its own value scale. A logarithmic
// time axis would spread out the first hours, but the values would still
// share one scale, and the first hours' transient is what flattens the
// slow bins' late course; a second panel with its own scale shows that
// course as it is.
constexpr double kHeight = 328;
constexpr double kRunLeft = 100, kRunRight = 600;  // room left of each panel for its value labels
constexpr double kLateLeft = 700, kLateRight = 975;  // room right for the last time label
constexpr double kMainTop = 28, kMainBottom = 206;
constexpr double kStripTop = 222, kStripBottom = 278;
constexpr double kLateShare = 0.1;  // the late panel starts after this share of the run
constexpr int kTickTarget = 5;      // about this many ticks per axis
// Points closer than this (in user units) to the line through their
// neighbours add nothing a reader sees.
constexpr double kTolerance = 0.45;
// A band's edges may stray further: a unit is at most a pixel or so, and
// the steps that rounded input values leave in a band's edges cost a point
// each while they show as no more than a rough edge.
constexpr double kBandTolerance = 1.0;
// Observed values are drawn as their range over every this many units of
// time axis: noise becomes a ribbon as wide as the noise, and a smooth
// series a line, at a few kilobytes whatever the noise.
constexpr double kBandWidth = 12;
// The residual strip only has to show where the residual is and how large:
// its band is coarser, a few pixels a column. Noise (a near-exact fit
// leaves digit noise) keeps every column's range, so this width sets what
// the strip costs.
constexpr double kResidualBandWidth = 24;

struct Range {
  double low, high;
};

// The finite values' range, widened by 5 % on both sides; a single value
// gets a range around it.
Range range_of(std::initializer_list<std::span<const double>> series) {
  double low = INFINITY, high = -INFINITY;
  for (std::span<const double> s : series) {
    for (double v : s) {
      if (!std::isfinite(v)) continue;
      low = std::min(low, v);
      high = std::max(high, v);
    }
  }
  if (!(low <= high)) return {-1.0, 1.0};
  if (low == high) {
    const double half = low == 0.0 ? 1.0 : std::fabs(low) * 0.5;
    return {low - half, high + half};
  }
  const double pad = (high - low) * 0.05;
  return {low - pad, high + pad};
}

// Ticks at a step of 1, 2 or 5 times a power of ten, inside `r`.
std::vector<double> ticks(Range r, int target = kTickTarget) { return axis_ticks(r.low, r.high, target); }

double scale(double v, Range from, double to_low, double to_high) {
  return to_low + (v - from.low) / (from.high - from.low) * (to_high - to_low);
}

// Coordinates: whole units, about a pixel of a page on a wide screen, are
// as fine as the drawing can show.
std::string whole(double v) { return std::to_string(std::lround(v)); }

// <text> at (x, y); its anchor comes from the group it is in.
std::string text(double x, double y, const std::string& body, const std::string& extra = "") {
  return "<text x=\"" + whole(x) + "\" y=\"" + whole(y) + "\"" + extra + ">" + body + "</text>";
}

// The outline of a frame from (left, top) to (right, bottom), as path data.
std::string box(double left, double top, double right, double bottom) {
  return "M" + whole(left) + " " + whole(top) + "H" + whole(right) + "V" + whole(bottom) + "H" +
         whole(left) + "z";
}

// Horizontal grid lines and tick labels of a value axis: appended to `grid`
// (path data) and `labels` (right-aligned texts left of the frame).
void value_axis(std::string& grid, std::string& labels, Range r, double left, double right,
                double top, double bottom, int target) {
  for (double v : ticks(r, target)) {
    const double y = scale(v, r, bottom, top);
    grid += "M" + whole(left) + " " + whole(y) + "H" + whole(right);
    labels += text(left - 5, y + 4, shown(v, 3));
  }
}

// One panel of the chart: the intervals in [from, to) of the run.
struct Panel {
  const char* name;  // "run", "late"
  double left, right;
  std::size_t from, to;
  Range time;  // of its time axis
};

// The two panels over `time`: the whole run, and the run after its first tenth.
std::array<Panel, 2> panels_of(const TimeAxis& time) {
  const std::size_t n = time.hours.size();
  const double start = time.low + kLateShare * (time.high - time.low);
  std::size_t late_from = 0;
  while (late_from < n && !(time.hours[late_from] >= start)) ++late_from;
  return {Panel{"run", kRunLeft, kRunRight, 0, n, {time.low, time.high}},
          Panel{"late", kLateLeft, kLateRight, late_from, n, {start, time.high}}};
}

// About this many ticks on the panel's axes: fewer on the narrow one.
int tick_target(const Panel& p) { return p.from == 0 ? kTickTarget : 4; }

// The finite times of a panel: the intervals its series stand for at most.
int finite_times(const Panel& p, const TimeAxis& time) {
  int n = 0;
  for (std::size_t i = p.from; i < p.to; ++i) n += std::isfinite(time.hours[i]);
  return n;
}

// Appends the path of one series in a panel, a line or a band of `width`
// units, with data-intervals if it stands for fewer than `intervals`;
// returns the finite intervals it stands for.
int append_series(std::string& out, const char* name, double width, const Panel& p,
                  const TimeAxis& time, int intervals, std::span<const double> y, Range yr,
                  double top, double bottom) {
  std::vector<double> xs, ys;
  for (std::size_t i = p.from; i < p.to && i < y.size(); ++i) {
    if (!std::isfinite(time.hours[i]) || !std::isfinite(y[i])) continue;
    xs.push_back(scale(time.hours[i], p.time, p.left, p.right));
    ys.push_back(scale(y[i], yr, bottom, top));
  }
  const bool band = width > 0;
  const std::vector<Point> points = band ? band_points(xs, ys, width) : compact_points(xs, ys);
  const int drawn = static_cast<int>(xs.size());
  out += "<path class=\"" + std::string(name) + "\"" +
         (drawn < intervals ? " data-intervals=\"" + std::to_string(drawn) + "\"" : "") + " d=\"" +
         path_data(points) + (band && !points.empty() ? "z" : "") + "\"/>\n";
  return drawn;
}

// Douglas-Peucker: marks in `keep` the points of (first, last) that lie
// farther than kTolerance from the chord between first and last.
struct Exact {
  double x, y;
};

void simplify(const std::vector<Exact>& p, std::size_t first, std::size_t last, double tolerance,
              std::vector<bool>& keep) {
  while (last > first + 1) {
    const double dx = p[last].x - p[first].x, dy = p[last].y - p[first].y;
    const double length = std::hypot(dx, dy);
    double farthest = -1.0;
    std::size_t at = first;
    for (std::size_t i = first + 1; i < last; ++i) {
      const double ex = p[i].x - p[first].x, ey = p[i].y - p[first].y;
      const double d = length > 0 ? std::fabs(ex * dy - ey * dx) / length : std::hypot(ex, ey);
      if (d > farthest) {
        farthest = d;
        at = i;
      }
    }
    if (farthest <= tolerance) return;
    keep[at] = true;
    simplify(p, first, at, tolerance, keep);
    first = at;  // the right half without recursion
  }
}

// The points of `p` that simplify() keeps, rounded to whole units; a point
// that rounds to the one before it is left out.
std::vector<Point> simplified(const std::vector<Exact>& p, double tolerance = kTolerance) {
  std::vector<bool> keep(p.size(), true);
  if (p.size() >= 3) {
    keep.assign(p.size(), false);
    keep.front() = keep.back() = true;
    simplify(p, 0, p.size() - 1, tolerance, keep);
  }
  std::vector<Point> out;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (!keep[i]) continue;
    const Point q{static_cast<int>(std::lround(p[i].x)), static_cast<int>(std::lround(p[i].y))};
    if (out.empty() || out.back().x != q.x || out.back().y != q.y) out.push_back(q);
  }
  return out;
}

}  // namespace

double strip_reach(double largest) {
  if (!(largest > 0) || !std::isfinite(largest)) return 1.0;
  const double power = std::pow(10.0, std::floor(std::log10(largest)));
  for (double m : {1.0, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0}) {
    if (power * m >= largest) return power * m;
  }
  return power * 10.0;
}

std::vector<double> axis_ticks(double low, double high, int target) {
  const double raw = (high - low) / target;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = power;
  for (double m : {2.0, 5.0, 10.0}) {
    if (raw > step) step = power * m;
  }
  std::vector<double> out;
  const double first = std::ceil(low / step);
  for (int k = 0; k <= 2 * target + 1; ++k) {
    const double v = (first + k) * step;
    if (!(v <= high)) break;
    out.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);  // no "1e-21" for zero
  }
  return out;
}

std::vector<Point> band_points(std::span<const double> xs, std::span<const double> ys, double width) {
  std::vector<Exact> upper, lower;  // SVG's y grows downwards: upper is the smaller y
  for (std::size_t i = 0; i < xs.size() && i < ys.size();) {
    const double column = std::floor(xs[i] / width);
    std::size_t low = i, high = i, end = i;
    for (; end < xs.size() && end < ys.size() && std::floor(xs[end] / width) == column; ++end) {
      if (ys[end] < ys[low]) low = end;
      if (ys[end] > ys[high]) high = end;
    }
    // Each extreme where it is: a smooth series' edges then both run along
    // it, so that a steep stretch stays a line rather than a ribbon as
    // thick as its fall across the column.
    upper.push_back({xs[low], ys[low] - 0.5});  // outwards, so the band is never thinner than a unit
    lower.push_back({xs[high], ys[high] + 0.5});
    i = end;
  }
  std::vector<Point> out = simplified(upper, kBandTolerance);
  const std::vector<Point> back = simplified(lower, kBandTolerance);
  out.insert(out.end(), back.rbegin(), back.rend());
  return out;
}

std::vector<Point> compact_points(std::span<const double> xs, std::span<const double> ys) {
  // The lowest and highest point of every unit of x, in their time order.
  std::vector<Exact> columns;
  for (std::size_t i = 0; i < xs.size() && i < ys.size();) {
    const double column = std::floor(xs[i]);
    std::size_t low = i, high = i, end = i;
    for (; end < xs.size() && std::floor(xs[end]) == column; ++end) {
      if (ys[end] < ys[low]) low = end;
      if (ys[end] > ys[high]) high = end;
    }
    columns.push_back({xs[std::min(low, high)], ys[std::min(low, high)]});
    if (low != high) columns.push_back({xs[std::max(low, high)], ys[std::max(low, high)]});
    i = end;
  }
  return simplified(columns);
}

std::string path_data(std::span<const Point> points) {
  std::string d;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i == 0) {
      d += "M" + std::to_string(points[0].x) + " " + std::to_string(points[0].y);
      continue;
    }
    const int dx = points[i].x - points[i - 1].x, dy = points[i].y - points[i - 1].y;
    if (i == 1) {
      d += 'l';
    } else if (dx >= 0) {
      d += ' ';  // a minus sign separates by itself
    }
    d += std::to_string(dx);
    if (dy >= 0) d += ' ';
    d += std::to_string(dy);
  }
  return d;
}

TimeAxis time_axis(std::span<const double> hours) {
  TimeAxis time;
  time.hours.assign(hours.begin(), hours.end());
  double low = INFINITY, high = -INFINITY;
  for (double h : hours) {
    if (!std::isfinite(h)) continue;
    low = std::min(low, h);
    high = std::max(high, h);
  }
  if (!(low < high)) {
    low = std::isfinite(low) ? low - 1.0 : 0.0;
    high = low + 2.0;
  }
  time.low = low;
  time.high = high;
  return time;
}

void render_chart_frame(std::string& out, const TimeAxis& time, std::string_view id) {
  const std::array<Panel, 2> panels = panels_of(time);
  std::string frames, ticks_path, middle;
  for (const Panel& p : panels) {
    frames += box(p.left, kMainTop, p.right, kMainBottom) + box(p.left, kStripTop, p.right, kStripBottom);
    for (double h : ticks(p.time, tick_target(p) + 1)) {
      const double x = scale(h, p.time, p.left, p.right);
      ticks_path += "M" + whole(x) + " " + whole(kStripBottom) + "v4";
      middle += text(x, kStripBottom + 17, shown(h, 4));
    }
    middle += text((p.left + p.right) / 2, kHeight - 8, "time (h)", " class=\"axis-title\"");
  }
  // The residual strip is symmetric about zero: its zero line is its middle.
  const double zero = (kStripTop + kStripBottom) / 2;
  const double main_middle = (kMainTop + kMainBottom) / 2;
  const std::string rotate = " class=\"axis-title\" transform=\"rotate(-90 14 ";
  middle += text(14, main_middle, "rate of change (unit/s)", rotate + whole(main_middle) + ")\"");
  middle += text(14, zero, "residual", rotate + whole(zero) + ")\"");
  out += "<svg class=\"chart-frame\" aria-hidden=\"true\"><defs><g id=\"" + std::string(id) + "\">\n";
  out += "<path class=\"frame\" d=\"" + frames + "\"/>\n<path class=\"zero\" d=\"M" + whole(kRunLeft) + " " +
         whole(zero) + "H" + whole(kRunRight) + "M" + whole(kLateLeft) + " " + whole(zero) + "H" +
         whole(kLateRight) + "\"/>\n<path class=\"tick\" d=\"" + ticks_path + "\"/>\n";
  out += "<g text-anchor=\"middle\">" + middle + "</g>\n";
  out += text(kRunLeft, 18, "whole run", " class=\"panel-title\"") +
         text(kLateLeft, 18, "from " + shown(panels[1].time.low, 3) + " h, own scale",
              " class=\"panel-title\"") +
         "\n";
  out += "<path class=\"key observed\" d=\"M" + whole(kRunRight - 230) + " 14h24\"/>" +
         text(kRunRight - 200, 18, "observed") + "<path class=\"key fitted\" d=\"M" +
         whole(kRunRight - 90) + " 14h24\"/>" + text(kRunRight - 60, 18, "fitted") + "\n";
  out += "</g></defs></svg>\n";
}

void render_chart(std::string& svg, int bin, const TimeAxis& time, std::string_view frame,
                  std::span<const double> observed, std::span<const double> fitted,
                  std::span<const double> residual, std::string_view note, std::string_view before) {
  const std::size_t n = time.hours.size();
  const std::string b = std::to_string(bin);
  svg += "<figure class=\"chart\" id=\"chart-bin-" + b + "\" data-bin=\"" + b + "\">\n";
  svg += "<figcaption><strong>Target bin VB" + b + "</strong>.";
  if (!note.empty()) svg += " " + std::string(note);
  svg += "</figcaption>\n" + std::string(before) + "<svg viewBox=\"0 0 " + whole(kChartWidth) + " " + whole(kHeight) +
         "\" role=\"img\" aria-label=\"VB" + b + ": observed, fitted and residual against time\">\n";
  std::string grid, labels, series;
  int drawn = 0;
  for (const Panel& p : panels_of(time)) {
    const std::span<const double> o = observed.subspan(std::min(p.from, observed.size()));
    const std::span<const double> f = fitted.subspan(std::min(p.from, fitted.size()));
    const std::span<const double> e = residual.subspan(std::min(p.from, residual.size()));
    const Range yr = range_of({o, f});
    const Range er = range_of({e});
    // Symmetric about zero, so the sign of a misfit shows, and labelled at
    // its edges: a reader sees how large the residual is, not only where 0 is.
    const double reach = strip_reach(std::max(std::fabs(er.low), std::fabs(er.high)) / 1.05);
    const Range rr{-reach, reach};
    value_axis(grid, labels, yr, p.left, p.right, kMainTop, kMainBottom, tick_target(p));
    for (double v : {reach, 0.0, -reach}) {
      const double y = scale(v, rr, kStripBottom, kStripTop);
      labels += text(p.left - 5, y + 4, shown(v, 3));
    }
    // Residual first, then the observed band, then the fitted line over it.
    const int intervals = finite_times(p, time);
    series += "<g data-panel=\"" + std::string(p.name) + "\" data-intervals=\"" + std::to_string(intervals) +
              "\">\n";
    const int shown_points = std::min(
        {append_series(series, "residual", kResidualBandWidth, p, time, intervals, residual, rr, kStripTop,
                       kStripBottom),
         append_series(series, "observed", kBandWidth, p, time, intervals, observed, yr, kMainTop, kMainBottom),
         append_series(series, "fitted", 0, p, time, intervals, fitted, yr, kMainTop, kMainBottom)});
    series += "</g>\n";
    if (p.from == 0) drawn = shown_points;
  }
  // The grid goes under the frame and the residual's zero line.
  svg += "<path class=\"grid\" d=\"" + grid + "\"/>\n<use href=\"#" + std::string(frame) +
         "\"/>\n<g text-anchor=\"end\">" + labels + "</g>\n" + series;
  svg += "</svg>\n";
  const int omitted = static_cast<int>(n) - drawn;
  if (omitted > 0) {
    svg += "<p class=\"note\">" + std::to_string(omitted) +
           " intervals with values that are not finite are not drawn.</p>\n";
  }
  svg += "</figure>\n";
}

}  // namespace report

namespace report {
namespace {

// The replay chart: one panel over the records of the whole run.
constexpr double kReplayHeight = 246;
constexpr double kReplayLeft = kRunLeft, kReplayRight = kLateRight;
constexpr double kReplayTop = 28, kReplayBottom = 200;

// The range the replay chart's value axis covers: the observed values',
// widened to take in the replayed ones as far as half the observed span
// again on either side. A replay that runs away stays on the chart's edge
// instead of flattening the observed series to a line.
Range replay_range(std::span<const double> observed, std::span<const double> replayed) {
  const Range o = range_of({observed});
  const double reach = (o.high - o.low) / 2;
  Range r{o.low, o.high};
  for (double v : replayed) {
    if (!std::isfinite(v)) continue;
    r.low = std::min(r.low, v);
    r.high = std::max(r.high, v);
  }
  return {std::max(r.low, o.low - reach), std::min(r.high, o.high + reach)};
}

}  // namespace

void render_replay_frame(std::string& out, const TimeAxis& records, std::string_view id) {
  const Range t{records.low, records.high};
  std::string ticks_path, middle;
  for (double h : ticks(t, 8)) {
    const double x = scale(h, t, kReplayLeft, kReplayRight);
    ticks_path += "M" + whole(x) + " " + whole(kReplayBottom) + "v4";
    middle += text(x, kReplayBottom + 17, shown(h, 4));
  }
  middle += text((kReplayLeft + kReplayRight) / 2, kReplayHeight - 8, "time (h)", " class=\"axis-title\"");
  const double main_middle = (kReplayTop + kReplayBottom) / 2;
  middle += text(14, main_middle, "concentration (unit)",
                 " class=\"axis-title\" transform=\"rotate(-90 14 " + whole(main_middle) + ")\"");
  out += "<svg class=\"chart-frame\" aria-hidden=\"true\"><defs><g id=\"" + std::string(id) + "\">\n";
  out += "<path class=\"frame\" d=\"" + box(kReplayLeft, kReplayTop, kReplayRight, kReplayBottom) +
         "\"/>\n<path class=\"tick\" d=\"" + ticks_path + "\"/>\n<g text-anchor=\"middle\">" + middle + "</g>\n";
  out += text(kReplayLeft, 18, "the fit run alone", " class=\"panel-title\"") + "\n";
  out += "<path class=\"key stored\" d=\"M" + whole(kReplayRight - 290) + " 14h24\"/>" +
         text(kReplayRight - 260, 18, "observed") + "<path class=\"key replayed\" d=\"M" +
         whole(kReplayRight - 170) + " 14h24\"/>" + text(kReplayRight - 140, 18, "replayed") + "\n";
  out += "</g></defs></svg>\n";
}

void render_replay_chart(std::string& out, const TimeAxis& records, std::string_view frame,
                         std::span<const double> observed, std::span<const double> replayed,
                         std::string_view label) {
  const Range yr = replay_range(observed, replayed);
  const Range t{records.low, records.high};
  std::string grid, labels;
  value_axis(grid, labels, yr, kReplayLeft, kReplayRight, kReplayTop, kReplayBottom, kTickTarget);
  out += "<svg viewBox=\"0 0 " + whole(kChartWidth) + " " + whole(kReplayHeight) +
         "\" role=\"img\" aria-label=\"" + std::string(label) +
         ": observed and replayed against time\">\n<path class=\"grid\" d=\"" + grid + "\"/>\n<use href=\"#" +
         std::string(frame) + "\"/>\n<g text-anchor=\"end\">" + labels + "</g>\n";
  out += "<g data-panel=\"replay\" data-records=\"" + std::to_string(records.hours.size()) + "\">\n";
  for (const auto& [name, series] : {std::pair{"stored", observed}, std::pair{"replayed", replayed}}) {
    std::vector<double> xs, ys;
    for (std::size_t i = 0; i < records.hours.size() && i < series.size(); ++i) {
      if (!std::isfinite(records.hours[i]) || !std::isfinite(series[i])) continue;
      xs.push_back(scale(records.hours[i], t, kReplayLeft, kReplayRight));
      // Beyond the axis: on its edge.
      ys.push_back(scale(std::clamp(series[i], yr.low, yr.high), yr, kReplayBottom, kReplayTop));
    }
    out += "<path class=\"" + std::string(name) + "\" d=\"" + path_data(compact_points(xs, ys)) + "\"/>\n";
  }
  out += "</g>\n</svg>\n";
}

}  // namespace report
