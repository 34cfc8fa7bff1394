// The chart of one target bin: observed and fitted rates of change against
// time, with the residual in a strip below, as inline SVG.
#pragma once

#include <array>
#include <span>
#include <string>
#include <vector>

#include "report/html.hpp"

namespace report {

// The time axis that the charts of a page share: the hours of the
// intervals, the range drawn, and every point's x coordinate as text, made
// once for all of them.
struct TimeAxis {
  struct Text {
    std::array<char, kCoordinateChars> chars;  // put_coordinate's, then anything
    unsigned char length;
  };
  std::vector<double> hours;
  double low = 0.0, high = 0.0;  // the range drawn
  std::vector<Text> x;           // per interval
};
TimeAxis time_axis(std::span<const double> hours);

// Appends the chart of target bin `bin` to `out`. The spans have one value
// per interval of `time`. Every finite point is drawn; the chart says how
// many were not. Hooks: the figure carries id="chart-bin-<bin>" and
// data-bin, each polyline class="series <name>", data-series (observed,
// fitted, residual) and data-points (points drawn).
void render_chart(std::string& out, int bin, const TimeAxis& time,
                  std::span<const double> observed, std::span<const double> fitted,
                  std::span<const double> residual);

}  // namespace report
