// The study page's coefficient explorer: per target bin and term, a small
// chart of the value and its standard error across scenarios, one series
// per species and tag.
#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <unordered_set>
#include <utility>

#include "report/chart.hpp"
#include "report/html.hpp"
#include "report/study_view_parts.hpp"

namespace report::study_page {
namespace {

using quality::Verdict;

// Small chart geometry, SVG user units.
constexpr int kChartWidth = 240, kChartHeight = 150;
constexpr int kPlotLeft = 40, kPlotRight = 234, kPlotTop = 8, kPlotBottom = 116;
constexpr int kTicks = 3;  // about this many on the value axis

struct Series {
  std::string species, tag;
  std::vector<std::size_t> rows;  // per drawn scenario: the row, or npos
};

// One chart's coefficient: target bin `bin`, term `term`.
struct Cell {
  int bin, term;
};

int round_to_int(double v) { return static_cast<int>(std::lround(v)); }

// A coefficient as a chart draws it.
struct Term {
  double value, standard_error;
  Verdict verdict;
};

// The cell's coefficient in row `row` of the study (npos: none).
std::optional<Term> figures_at(const Study& s, std::size_t row, Cell c) {
  if (row == std::string::npos) return std::nullopt;
  const quality::BinFigures& bin = s.rows[row].bins[c.bin - 1];
  return Term{bin.coefficient[c.term], bin.coefficients[c.term].standard_error,
              quality::verdict_of(bin.coefficients[c.term], bin.misfit)};
}

std::string ticks_and_frame(double low, double high) {
  std::string out = "<rect class=\"frame\" x=\"" + std::to_string(kPlotLeft) + "\" y=\"" +
                    std::to_string(kPlotTop) + "\" width=\"" + std::to_string(kPlotRight - kPlotLeft) +
                    "\" height=\"" + std::to_string(kPlotBottom - kPlotTop) + "\"/>";
  for (double v : axis_ticks(low, high, kTicks)) {
    const int y = round_to_int(kPlotBottom - (v - low) / (high - low) * (kPlotBottom - kPlotTop));
    out += "<path class=\"grid\" d=\"M" + std::to_string(kPlotLeft) + " " + std::to_string(y) + "H" +
           std::to_string(kPlotRight) + "\"/><text x=\"" + std::to_string(kPlotLeft - 3) + "\" y=\"" +
           std::to_string(y + 3) + "\" text-anchor=\"end\">" + shown(v, 3) + "</text>";
  }
  return out;
}

// The values' range: those to be trusted (all values when none is); empty
// (low above high) when no value is drawn.
std::pair<double, double> value_range(const Study& s, Cell c, const std::vector<Series>& series) {
  double vlow = INFINITY, vhigh = -INFINITY;
  for (bool trusted_only : {true, false}) {
    for (const Series& se : series) {
      for (std::size_t row : se.rows) {
        const std::optional<Term> k = figures_at(s, row, c);
        if (!k || k->verdict == Verdict::no_effect || !std::isfinite(k->value)) continue;
        if (trusted_only && k->verdict != Verdict::trusted) continue;
        vlow = std::min(vlow, k->value);
        vhigh = std::max(vhigh, k->value);
      }
    }
    if (vlow <= vhigh) break;
  }
  return {vlow, vhigh};
}

// The axis: the values' range `v` with their error bars as far as they
// stay within the values' own span again on either side, padded. An
// undetermined coefficient can be far off and its error millions: it
// would flatten every other point, so it is drawn at the edge instead.
std::pair<double, double> axis_range(const Study& s, Cell c, const std::vector<Series>& series,
                                     std::pair<double, double> v) {
  const auto [vlow, vhigh] = v;
  const double span = std::max(vhigh - vlow, std::max(std::fabs(vhigh), 1e-3) * 0.1);
  double low = vlow, high = vhigh;
  for (const Series& se : series) {
    for (std::size_t row : se.rows) {
      const std::optional<Term> k = figures_at(s, row, c);
      if (!k || k->verdict == Verdict::no_effect || !std::isfinite(k->value) ||
          !std::isfinite(k->standard_error)) {
        continue;
      }
      low = std::min(low, std::max(k->value - k->standard_error, vlow - span));
      high = std::max(high, std::min(k->value + k->standard_error, vhigh + span));
    }
  }
  const double pad = (high - low) * 0.06 + (high == low ? 0.05 * std::max(std::fabs(high), 1.0) : 0.0);
  return {low - pad, high + pad};
}

// Where a chart puts values and scenarios.
struct Plot {
  double low, high;
  double slot;  // the width of a scenario
  int y_of(double v) const {
    v = std::clamp(v, low, high);
    return round_to_int(kPlotBottom - (v - low) / (high - low) * (kPlotBottom - kPlotTop));
  }
  int x_of(std::size_t i) const { return round_to_int(kPlotLeft + (i + 0.5) * slot); }
};

// The scenario labels: all when they fit, else about six of them.
void append_scenario_axis(std::string& out, const Plot& plot, const std::vector<std::string>& scenarios) {
  const std::size_t every = std::max<std::size_t>(1, (scenarios.size() + 5) / 6);
  for (std::size_t i = 0; i < scenarios.size(); i += every) {
    std::string name = scenarios[i].size() > 8 ? scenarios[i].substr(0, 7) + "…" : scenarios[i];
    out += "<text x=\"" + std::to_string(plot.x_of(i)) + "\" y=\"" + std::to_string(kPlotBottom + 12) +
           "\" text-anchor=\"middle\">" + escape(name) + "</text>";
  }
  out += "<text x=\"" + std::to_string((kPlotLeft + kPlotRight) / 2) + "\" y=\"" +
         std::to_string(kChartHeight - 6) + "\" text-anchor=\"middle\">scenario</text>";
}

// The paths of series `n`: its line, error bars, and points filled (to be
// trusted) or hollow.
void append_series(std::string& out, const Study& s, Cell c, const Plot& plot, const Series& se,
                   std::size_t n) {
  std::string line, bars, filled, hollow;
  bool pen_down = false;
  for (std::size_t i = 0; i < se.rows.size(); ++i) {
    const std::optional<Term> k = figures_at(s, se.rows[i], c);
    if (!k || k->verdict == Verdict::no_effect || !std::isfinite(k->value)) {
      pen_down = false;
      continue;
    }
    const std::string x = std::to_string(plot.x_of(i)), y = std::to_string(plot.y_of(k->value));
    // A point beyond the axis stands at its edge, unconnected.
    const bool inside = k->value >= plot.low && k->value <= plot.high;
    if (inside) line += (pen_down ? "L" : "M") + x + " " + y;
    pen_down = inside;
    if (std::isfinite(k->standard_error) && k->standard_error > 0) {
      bars += "M" + x + " " + std::to_string(plot.y_of(k->value - k->standard_error)) + "V" +
              std::to_string(plot.y_of(k->value + k->standard_error));
    }
    const bool open = k->verdict != Verdict::trusted;
    (open ? hollow : filled) += "M" + x + " " + y + "h0";
  }
  const std::string cls = "s" + std::to_string(n);
  const std::string name = escape(se.species) + " " + escape(se.tag);
  if (!line.empty()) out += "<path class=\"series " + cls + "\" data-series=\"" + name + "\" d=\"" + line + "\"/>";
  if (!bars.empty()) out += "<path class=\"bars " + cls + "\" d=\"" + bars + "\"/>";
  if (!filled.empty()) out += "<path class=\"points filled " + cls + "\" d=\"" + filled + "\"/>";
  if (!hollow.empty()) {
    out += "<path class=\"points hollow " + cls + "\" d=\"" + hollow + "\"/><path class=\"holes\" d=\"" +
           hollow + "\"/>";
  }
}

void explorer_chart(std::string& out, const Study& s, Cell c, const std::vector<Series>& series,
                    const std::vector<std::string>& scenarios) {
  const std::string label = config::term_label(c.bin) + ", term " + config::term_label(c.term);
  out += "<figure class=\"explorer\" data-bin=\"" + std::to_string(c.bin) + "\" data-term=\"" +
         config::term_label(c.term) + "\"><figcaption>" + config::term_label(c.term) +
         "</figcaption><svg viewBox=\"0 0 " + std::to_string(kChartWidth) + " " +
         std::to_string(kChartHeight) + "\" role=\"img\" aria-label=\"Target bin " + label +
         ": value and standard error across scenarios\">";
  const std::pair<double, double> values = value_range(s, c, series);
  if (!(values.first <= values.second)) {
    out += "<text x=\"" + std::to_string(kChartWidth / 2) + "\" y=\"" + std::to_string(kChartHeight / 2) +
           "\" text-anchor=\"middle\">no effect, or no figures</text></svg></figure>\n";
    return;
  }
  const auto [low, high] = axis_range(s, c, series, values);
  const Plot plot{low, high, static_cast<double>(kPlotRight - kPlotLeft) / scenarios.size()};
  out += ticks_and_frame(low, high);
  append_scenario_axis(out, plot, scenarios);
  for (std::size_t n = 0; n < series.size(); ++n) append_series(out, s, c, plot, series[n], n);
  out += "</svg></figure>\n";
}

// The series drawn: the first kExplorerSeries species and tags fitted, each
// with its row per scenario of the first `drawn` of `scenarios`; `all`
// counts the species and tags there are.
std::vector<Series> series_of(const Study& s, const std::vector<std::string>& scenarios,
                              std::size_t drawn, std::size_t& all) {
  std::vector<Series> series;
  std::map<std::pair<std::string, std::string>, std::size_t> at;
  all = 0;
  for (std::size_t n = 0; n < s.rows.size(); ++n) {
    const StudyRow& r = s.rows[n];
    if (!r.fitted) continue;
    auto [it, added] = at.emplace(std::make_pair(r.species, r.tag), all);
    if (added) {
      ++all;
      if (series.size() < static_cast<std::size_t>(kExplorerSeries)) {
        series.push_back({r.species, r.tag, std::vector<std::size_t>(drawn, std::string::npos)});
      }
    }
    if (it->second >= series.size()) continue;
    const auto place = std::find(scenarios.begin(), scenarios.begin() + drawn, r.scenario);
    if (place != scenarios.begin() + drawn) series[it->second].rows[place - scenarios.begin()] = n;
  }
  return series;
}

// The key of the series, and what was left out of the charts.
std::string key_and_left_out(const std::vector<Series>& series, std::size_t all_series,
                             std::size_t drawn_scenarios, std::size_t all_scenarios) {
  std::string out = "<p id=\"explorer-key\">";
  for (std::size_t n = 0; n < series.size(); ++n) {
    out += "<span class=\"key\"><svg viewBox=\"0 0 22 8\" aria-hidden=\"true\"><path class=\"series s" +
           std::to_string(n) + "\" stroke-width=\"2.5\" d=\"M1 4H21\"/></svg>" + escape(series[n].species) +
           " &middot; " + escape(series[n].tag) + "</span> ";
  }
  out += "</p>\n";
  std::vector<std::string> left_out;
  if (all_series > series.size()) {
    left_out.push_back("the first " + std::to_string(series.size()) + " of " +
                       std::to_string(all_series) + " species and tags");
  }
  if (all_scenarios > drawn_scenarios) {
    left_out.push_back("the first " + std::to_string(drawn_scenarios) + " of " +
                       std::to_string(all_scenarios) + " scenarios");
  }
  if (!left_out.empty()) {
    out += "<p class=\"note\">Drawn: " + left_out[0] + (left_out.size() > 1 ? " and " + left_out[1] : "") +
           ", to keep this page small; coefficients.csv holds every value.</p>\n";
  }
  return out;
}

}  // namespace

std::string explorer(const Study& s) {
  std::vector<std::string> seen;
  std::unordered_set<std::string> seen_set;
  for (const StudyRow& r : s.rows) {
    if (r.fitted && seen_set.insert(r.scenario).second) seen.push_back(r.scenario);
  }
  std::vector<std::string> scenarios = scenario_order(seen, s.scenarios);
  std::string out =
      "<h2 id=\"explorer-heading\">Coefficient explorer</h2>\n<section id=\"explorer\">\n<p>For "
      "each target bin and term, the coefficient (as the results files report it) with its "
      "standard error as a bar, across the scenarios, one line per species and tag. "
      "<strong>Hollow</strong> points are not to be used as results: undetermined, or in a misfit "
      "bin. The value axis covers the points to be trusted; hollow points beyond it and error bars "
      "are drawn up to the chart's edge. Coefficients with no effect are not drawn.</p>\n";
  const std::size_t drawn_scenarios = std::min<std::size_t>(scenarios.size(), kExplorerScenarios);
  std::size_t all_series = 0;
  const std::vector<Series> series = series_of(s, scenarios, drawn_scenarios, all_series);
  if (series.empty()) return out + "<p class=\"note\">No configuration has figures yet.</p>\n</section>\n";
  scenarios.resize(drawn_scenarios);
  out += key_and_left_out(series, all_series, drawn_scenarios, seen.size());
  for (int bin = 1; bin <= config::kBins; ++bin) {
    out += "<h3>Target bin " + config::term_label(bin) + "</h3>\n<div class=\"explorer-row\">\n";
    for (int term = 0; term < config::kCoefficients; ++term) explorer_chart(out, s, {bin, term}, series, scenarios);
    out += "</div>\n";
  }
  return out + "</section>\n";
}

}  // namespace report::study_page
