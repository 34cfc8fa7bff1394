#include "report/compare_view.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <utility>

#include "report/html.hpp"
#include "report/study_view_parts.hpp"

namespace report {

double ComparedCoefficient::combined_standard_error() const {
  return std::sqrt(standard_error_a * standard_error_a + standard_error_b * standard_error_b);
}

double ComparedCoefficient::change_in_standard_errors() const {
  const double delta = change();
  if (delta == 0.0) return 0.0;
  const double combined = combined_standard_error();
  if (std::isnan(combined) || std::isnan(delta)) return kUnknown;
  if (combined == 0.0) return delta > 0 ? INFINITY : -INFINITY;
  return delta / combined;
}

bool ComparedCoefficient::changed() const {
  const bool same_value = value_a == value_b || (std::isnan(value_a) && std::isnan(value_b));
  return !same_value || verdict_a != verdict_b;
}

std::vector<const ComparedCoefficient*> largest_changes(const Comparison& comparison) {
  std::vector<const ComparedCoefficient*> changed;
  for (const ComparedCoefficient& row : comparison.rows) {
    if (row.changed()) changed.push_back(&row);
  }
  const auto size = [](const ComparedCoefficient* r) {
    const double x = std::fabs(r->change_in_standard_errors());
    return std::isnan(x) ? -1.0 : x;
  };
  std::stable_sort(changed.begin(), changed.end(), [&](const auto* a, const auto* b) {
    const double x = size(a), y = size(b);
    if (x != y) return x > y;
    const double dx = std::fabs(a->change()), dy = std::fabs(b->change());
    return (std::isnan(dx) ? -1.0 : dx) > (std::isnan(dy) ? -1.0 : dy);
  });
  return changed;
}

namespace {

std::string name_of(const std::string& species, const std::string& scenario,
                    const std::string& tag) {
  return escape(species + "/" + scenario + "/" + tag);
}

std::string td(const std::string& text, const char* cls = nullptr) {
  return cls ? "<td class=\"" + std::string(cls) + "\">" + text + "</td>" : "<td>" + text + "</td>";
}

// At most this many changes are listed on the page; compare.csv has all.
constexpr std::size_t kListed = 400;

std::string changes_table(const std::vector<const ComparedCoefficient*>& changed) {
  std::string out =
      "<table id=\"changes\">\n<thead><tr><th class=\"text\">Configuration<th>Bin"
      "<th class=\"text\">Term<th>A<th>B<th>Change<th>Combined SE<th>Change / SE"
      "<th class=\"text\">Verdict A<th class=\"text\">Verdict B<th>Replay error A"
      "<th>Replay error B</tr></thead>\n<tbody>\n";
  for (std::size_t n = 0; n < changed.size() && n < kListed; ++n) {
    const ComparedCoefficient& r = *changed[n];
    const double in_se = r.change_in_standard_errors();
    const bool verdict = r.verdict_a != r.verdict_b;
    out += "<tr data-in-se=\"" + exact(in_se) + "\"" + (verdict ? " class=\"verdict\"" : "") +
           ">" + td(name_of(r.species, r.scenario, r.tag), "text") +
           td(std::to_string(r.bin)) + td(escape(r.term), "text") + td(shown(r.value_a, 4)) +
           td(shown(r.value_b, 4)) + td(shown(r.change(), 3)) +
           td(shown(r.combined_standard_error(), 3)) + td(shown(in_se, 3)) +
           td(escape(r.verdict_a), "text") + td(escape(r.verdict_b), "text") +
           td(shown(r.replay_error_a, 3)) + td(shown(r.replay_error_b, 3)) + "</tr>\n";
  }
  out += "</tbody>\n</table>\n";
  if (changed.size() > kListed) {
    out += "<p>The " + std::to_string(changed.size() - kListed) +
           " smaller changes are in compare.csv.</p>\n";
  }
  return out;
}

// One bar per coefficient (target bin and term): the largest change in
// standard errors any configuration shows there, on a scale of
// log10(1 + |change / SE|).
std::string change_chart(const std::vector<const ComparedCoefficient*>& changed) {
  std::map<std::pair<int, std::string>, double> largest;
  for (const ComparedCoefficient* r : changed) {
    double x = std::fabs(r->change_in_standard_errors());
    if (std::isnan(x)) continue;
    double& at = largest[{r->bin, r->term}];
    at = std::max(at, x);
  }
  constexpr double kBar = 12, kLeft = 70, kTop = 16, kHeight = 120;
  constexpr int kTerms = 7, kBins = 6;
  double top = 1.0;  // log10(1 + 9): a change of 9 SE fills the chart unless more is shown
  for (const auto& [at, x] : largest) top = std::max(top, std::log10(1.0 + std::min(x, 1e12)));
  const double width = kLeft + kBins * (kTerms * kBar + kBar) + 10;
  std::string out = "<svg id=\"change-chart\" role=\"img\" width=\"" + coordinate(width) +
                    "\" height=\"" + coordinate(kTop + kHeight + 40) + "\" viewBox=\"0 0 " +
                    coordinate(width) + " " + coordinate(kTop + kHeight + 40) +
                    "\">\n<title>The largest change in standard errors per coefficient</title>\n";
  out += "<text x=\"4\" y=\"" + coordinate(kTop - 1) +
         "\" font-size=\"10\">|change| / SE</text>\n";
  for (double tick = 0.0; tick <= 1e12; tick = tick == 0.0 ? 10.0 : tick * 10.0) {
    const double level = std::log10(1.0 + tick) / top;
    if (level > 1.0) break;
    const double y = kTop + kHeight * (1.0 - level);
    out += "<line x1=\"" + coordinate(kLeft) + "\" x2=\"" + coordinate(width - 10) + "\" y1=\"" +
           coordinate(y) + "\" y2=\"" + coordinate(y) + "\" stroke=\"#ddd\"/><text x=\"" +
           coordinate(kLeft - 4) + "\" y=\"" + coordinate(y + 4) +
           "\" text-anchor=\"end\" font-size=\"10\">" +
           std::to_string(static_cast<long long>(tick)) + "</text>\n";
  }
  for (int bin = 1; bin <= kBins; ++bin) {
    const double x0 = kLeft + (bin - 1) * (kTerms * kBar + kBar);
    out += "<text x=\"" + coordinate(x0 + kTerms * kBar / 2) + "\" y=\"" +
           coordinate(kTop + kHeight + 30) + "\" text-anchor=\"middle\" font-size=\"11\">bin " +
           std::to_string(bin) + "</text>\n";
    for (int t = 0; t < kTerms; ++t) {
      const std::string term = t == 0 ? "VOC" : "VB" + std::to_string(t);
      const auto at = largest.find({bin, term});
      const double x = x0 + t * kBar;
      out += "<text x=\"" + coordinate(x + kBar / 2) + "\" y=\"" + coordinate(kTop + kHeight + 12) +
             "\" text-anchor=\"middle\" font-size=\"8\">" + (t == 0 ? "V" : std::to_string(t)) +
             "</text>\n";
      if (at == largest.end()) continue;
      const double h = kHeight * std::log10(1.0 + std::min(at->second, 1e12)) / top;
      out += "<rect data-bin=\"" + std::to_string(bin) + "\" data-term=\"" + term +
             "\" data-in-se=\"" + exact(at->second) + "\" x=\"" + coordinate(x + 1) + "\" y=\"" +
             coordinate(kTop + kHeight - h) + "\" width=\"" + coordinate(kBar - 2) +
             "\" height=\"" + coordinate(h) + "\" fill=\"#0072b2\"><title>bin " +
             std::to_string(bin) + " " + term + ": " + shown(at->second, 3) +
             " SE</title></rect>\n";
    }
  }
  return out + "</svg>\n";
}

std::string only_list(const char* id, const std::vector<ComparedKey>& keys) {
  if (keys.empty()) return "<p id=\"" + std::string(id) + "\">None.</p>\n";
  std::string out = "<ul id=\"" + std::string(id) + "\">\n";
  for (const ComparedKey& k : keys) {
    out += "<li>" + name_of(k.species, k.scenario, k.tag) + "</li>\n";
  }
  return out + "</ul>\n";
}

}  // namespace

std::string render_comparison(const Comparison& c) {
  const std::vector<const ComparedCoefficient*> changed = largest_changes(c);
  std::size_t verdicts = 0;
  for (const ComparedCoefficient* r : changed) verdicts += r->verdict_a != r->verdict_b;
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Two fits compared</title>\n" +
      std::string(study_page::kStyle) +
      "\n<style>\n#changes td:nth-child(2), #changes td:nth-child(n+4) { text-align: right; }\n"
      "#changes td:nth-child(9), #changes td:nth-child(10) { text-align: left; }\n"
      "tr.verdict td { background: #fff4d6; }\n</style>\n</head>\n<body>\n"
      "<h1>Two fits compared</h1>\n<p id=\"sides\">A: " +
      escape(c.side_a) + "<br>B: " + escape(c.side_b) + "</p>\n<p id=\"totals\">" +
      std::to_string(c.configurations) + " configurations in both; " +
      std::to_string(changed.size()) + " of their " + std::to_string(c.rows.size()) +
      " coefficients changed, " + std::to_string(verdicts) +
      " of them in verdict. A change is measured against the combined standard error, "
      "sqrt(SE<sub>A</sub><sup>2</sup> + SE<sub>B</sub><sup>2</sup>); the largest come "
      "first.</p>\n<h2>Changes per coefficient</h2>\n" +
      change_chart(changed) + "<h2>Changed coefficients</h2>\n" +
      (changed.empty() ? std::string("<p>No coefficient changed.</p>\n") : changes_table(changed)) +
      "<h2>Only in A</h2>\n" + only_list("only-a", c.only_a) + "<h2>Only in B</h2>\n" +
      only_list("only-b", c.only_b) + "</body>\n</html>\n";
  return out;
}

}  // namespace report
