// The chart of one target bin: observed and fitted rates of change against
// time, with the residual in a strip below, as inline SVG.
#pragma once

#include <span>
#include <string>

namespace report {

// Appends the chart of target bin `bin` to `out`. All four spans have one
// value per interval. Every finite point is drawn; the chart says how many
// were not. Hooks: the figure carries id="chart-bin-<bin>" and data-bin, each
// polyline class="series <name>", data-series (observed, fitted, residual)
// and data-points (points drawn).
void render_chart(std::string& out, int bin, std::span<const double> hours,
                  std::span<const double> observed, std::span<const double> fitted,
                  std::span<const double> residual);

}  // namespace report
