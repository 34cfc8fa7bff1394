#include "report/chart.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "report/html.hpp"

namespace report {
namespace {

// The drawing, in SVG user units: the main plot above, the residual strip
// below it, tick labels and axis titles around both.
constexpr double kWidth = 800, kHeight = 350;
constexpr double kLeft = 96, kRight = 785;
constexpr double kMainTop = 26, kMainBottom = 214;
constexpr double kStripTop = 236, kStripBottom = 296;
constexpr int kTickTarget = 5;  // about this many ticks per axis

struct Range {
  double low, high;
};

// The finite values' range, widened by 5 % on both sides; a single value gets
// a range around it.
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
std::vector<double> ticks(Range r) {
  const double raw = (r.high - r.low) / kTickTarget;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = power;
  for (double m : {2.0, 5.0, 10.0}) {
    if (raw > step) step = power * m;
  }
  std::vector<double> out;
  const double first = std::ceil(r.low / step);
  for (int k = 0; k <= 2 * kTickTarget + 1; ++k) {
    const double v = (first + k) * step;
    if (!(v <= r.high)) break;
    out.push_back(std::fabs(v) < step * 1e-9 ? 0.0 : v);  // no "1e-21" for zero
  }
  return out;
}

double scale(double v, Range from, double to_low, double to_high) {
  return to_low + (v - from.low) / (from.high - from.low) * (to_high - to_low);
}

// Appends the polyline of one series, every point of it whose time and value
// are finite; returns how many points it has.
int append_series(std::string& out, const char* name, const TimeAxis& time,
                  std::span<const double> y, Range yr, double top, double bottom) {
  out += "<polyline class=\"series ";
  out += name;
  out += "\" data-series=\"";
  out += name;
  out += "\" points=\"";
  // The points go through a buffer of their own and into `out` a few
  // hundred at a time.
  char buffer[8192];
  char* const last = buffer + sizeof buffer - 2 * (kCoordinateChars + 1);  // room for a point
  char* at = buffer;
  int count = 0;
  for (std::size_t i = 0; i < time.hours.size() && i < y.size(); ++i) {
    if (!std::isfinite(time.hours[i]) || !std::isfinite(y[i])) continue;
    if (at > last) {
      out.append(buffer, at);
      at = buffer;
    }
    if (count > 0) *at++ = ' ';
    const TimeAxis::Text& x = time.x[i];
    std::memcpy(at, x.chars.data(), x.chars.size());  // one fixed-size copy; the length counts
    at += x.length;
    *at++ = ',';
    at = put_coordinate(at, scale(y[i], yr, bottom, top));
    ++count;
  }
  out.append(buffer, at);
  out += "\" data-points=\"" + std::to_string(count) + "\"/>\n";
  return count;
}

std::string text(double x, double y, const std::string& body, const char* anchor,
                 const std::string& extra = "") {
  return "<text x=\"" + coordinate(x) + "\" y=\"" + coordinate(y) + "\" text-anchor=\"" + anchor +
         "\"" + extra + ">" + body + "</text>\n";
}

std::string line(double x1, double y1, double x2, double y2, const char* cls) {
  return "<line class=\"" + std::string(cls) + "\" x1=\"" + coordinate(x1) + "\" y1=\"" +
         coordinate(y1) + "\" x2=\"" + coordinate(x2) + "\" y2=\"" + coordinate(y2) + "\"/>\n";
}

// Horizontal grid lines and labels of a value axis between top and bottom.
std::string value_axis(Range r, double top, double bottom) {
  std::string out;
  for (double v : ticks(r)) {
    const double y = scale(v, r, bottom, top);
    out += line(kLeft, y, kRight, y, "grid");
    out += text(kLeft - 6, y + 4, shown(v, 3), "end");
  }
  out += "<rect class=\"frame\" x=\"" + coordinate(kLeft) + "\" y=\"" + coordinate(top) +
         "\" width=\"" + coordinate(kRight - kLeft) + "\" height=\"" + coordinate(bottom - top) +
         "\"/>\n";
  return out;
}

}  // namespace

TimeAxis time_axis(std::span<const double> hours) {
  TimeAxis time;
  time.hours.assign(hours.begin(), hours.end());
  const Range xr = range_of({hours});
  time.low = xr.low;
  time.high = xr.high;
  time.x.resize(hours.size());
  for (std::size_t i = 0; i < hours.size(); ++i) {
    TimeAxis::Text& x = time.x[i];
    x.chars.fill(' ');
    char* const end = put_coordinate(x.chars.data(), scale(hours[i], xr, kLeft, kRight));
    x.length = static_cast<unsigned char>(end - x.chars.data());
  }
  return time;
}

void render_chart(std::string& svg, int bin, const TimeAxis& time,
                  std::span<const double> observed, std::span<const double> fitted,
                  std::span<const double> residual) {
  const Range xr = {time.low, time.high};
  const Range yr = range_of({observed, fitted});
  Range rr = range_of({residual});
  const double reach = std::max(std::fabs(rr.low), std::fabs(rr.high));
  rr = {-reach, reach};  // symmetric about zero, so the sign of a misfit shows

  const std::string b = std::to_string(bin);
  svg += "<figure class=\"chart\" id=\"chart-bin-" + b + "\" data-bin=\"" + b + "\">\n";
  svg += "<svg viewBox=\"0 0 " + coordinate(kWidth) + " " + coordinate(kHeight) +
         "\" role=\"img\" aria-labelledby=\"chart-title-" + b + "\">\n";
  svg += "<title id=\"chart-title-" + b + "\">Target bin VB" + b +
         ": observed and fitted rate of change against time, residual below</title>\n";
  svg += value_axis(yr, kMainTop, kMainBottom);
  svg += value_axis(rr, kStripTop, kStripBottom);
  svg += line(kLeft, scale(0.0, rr, kStripBottom, kStripTop), kRight,
              scale(0.0, rr, kStripBottom, kStripTop), "zero");
  for (double h : ticks(xr)) {
    const double x = scale(h, xr, kLeft, kRight);
    svg += line(x, kStripBottom, x, kStripBottom + 4, "tick");
    svg += text(x, kStripBottom + 18, shown(h, 4), "middle");
  }
  const int drawn = std::min(
      {append_series(svg, "observed", time, observed, yr, kMainTop, kMainBottom),
       append_series(svg, "fitted", time, fitted, yr, kMainTop, kMainBottom),
       append_series(svg, "residual", time, residual, rr, kStripTop, kStripBottom)});
  // Axis titles and legend.
  svg += text(kWidth / 2 + 40, kHeight - 10, "time (h)", "middle", " class=\"axis-title\"");
  const double main_middle = (kMainTop + kMainBottom) / 2;
  svg += text(14, main_middle, "rate of change (input unit/s)", "middle",
              " class=\"axis-title\" transform=\"rotate(-90 14 " + coordinate(main_middle) + ")\"");
  const double strip_middle = (kStripTop + kStripBottom) / 2;
  svg += text(14, strip_middle, "residual", "middle",
              " class=\"axis-title\" transform=\"rotate(-90 14 " + coordinate(strip_middle) + ")\"");
  svg += line(kRight - 190, 12, kRight - 166, 12, "key observed");
  svg += text(kRight - 160, 16, "observed", "start");
  svg += line(kRight - 90, 12, kRight - 66, 12, "key fitted");
  svg += text(kRight - 60, 16, "fitted", "start");
  svg += "</svg>\n<figcaption>Target bin VB" + b +
         ": observed (blue) and fitted (orange) rate of change of the bin against time; "
         "below, the residual (observed minus fitted) on its own scale.";
  const int omitted = static_cast<int>(time.hours.size()) - drawn;
  if (omitted > 0) {
    svg += " " + std::to_string(omitted) + " intervals with values that are not finite are not drawn.";
  }
  svg += "</figcaption>\n</figure>\n";
}

}  // namespace report
