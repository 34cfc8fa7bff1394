// The study page's coefficient explorer: for one species and one target
// bin at a time (two pickers of radio buttons, so every species is one
// click away), per term a chart of the value and its standard error across
// scenarios, one series per tag, and beside the charts the bin's replay
// error per tag and scenario.
//
// The page carries the figures, not the drawings: a configuration's 42
// coefficients with their standard errors and verdicts and its six replay
// errors take about 600 bytes as text, where 42 drawn points take about
// 5 kB of SVG. The page's script draws the charts of the species and bin
// picked (kExplorerScript); a few dozen charts are drawn at a time, however
// large the study.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <unordered_set>
#include <utility>

#include "report/html.hpp"
#include "report/study_view_parts.hpp"

namespace report::study_page {
namespace {

using quality::Verdict;

// One tag of a species: its row per drawn scenario (npos: none).
struct Series {
  std::size_t tag;  // its place in the study's tags: its colour and marker
  std::vector<std::size_t> rows;
};

struct SpeciesPanel {
  std::string species;
  std::vector<Series> series;
};

// `text` as a JSON string that may stand inside a <script> element: no
// "</script>" can end it early, as every '<' is written \u003c.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char ch : text) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch < 0x20 || ch == '<' || ch == '>' || ch == '&') {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", ch);
      out += code;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out + "\"";
}

// A figure as the data block writes it: four significant digits (two for
// a standard error), empty when not finite.
std::string figure_text(double v, int digits) { return std::isfinite(v) ? shown(v, digits) : std::string(); }

// One verdict as a letter: t trusted, u undetermined, m misfit, z no effect.
char verdict_letter(Verdict v) {
  switch (v) {
    case Verdict::trusted: return 't';
    case Verdict::undetermined: return 'u';
    case Verdict::misfit: return 'm';
    default: return 'z';
  }
}

// What the explorer draws: per species (in the order first seen) its tags,
// each with its row per scenario of the first `drawn` of `scenarios`; and
// the tags of the study in the order first seen.
struct Layout {
  std::vector<SpeciesPanel> species;
  std::vector<std::string> tags;
  std::size_t series_count() const {
    std::size_t n = 0;
    for (const SpeciesPanel& panel : species) n += panel.series.size();
    return n;
  }
};

Layout layout_of(const Study& s, const std::vector<std::string>& scenarios, std::size_t drawn) {
  Layout out;
  std::map<std::string, std::size_t> species_at, tag_at;
  std::map<std::pair<std::size_t, std::size_t>, std::size_t> series_at;  // (species, tag) -> series
  for (std::size_t n = 0; n < s.rows.size(); ++n) {
    const StudyRow& r = s.rows[n];
    if (!r.fitted) continue;
    const auto [sp, new_species] = species_at.emplace(r.species, out.species.size());
    if (new_species) out.species.push_back({r.species, {}});
    const auto [tg, new_tag] = tag_at.emplace(r.tag, out.tags.size());
    if (new_tag) out.tags.push_back(r.tag);
    SpeciesPanel& panel = out.species[sp->second];
    const auto [se, new_series] = series_at.emplace(std::make_pair(sp->second, tg->second), panel.series.size());
    if (new_series) panel.series.push_back({tg->second, std::vector<std::size_t>(drawn, std::string::npos)});
    const auto place = std::find(scenarios.begin(), scenarios.begin() + drawn, r.scenario);
    if (place != scenarios.begin() + drawn) panel.series[se->second].rows[place - scenarios.begin()] = n;
  }
  // Tags in the order the study first shows them, in each species too.
  for (SpeciesPanel& panel : out.species) {
    std::sort(panel.series.begin(), panel.series.end(), [](const Series& a, const Series& b) { return a.tag < b.tag; });
  }
  return out;
}

// A configuration's figures as one string of 48 fields separated by
// blanks: per target bin and term (VB1 VOC, VB1 VB1, ... VB6 VB6)
// "value/standard error/verdict letter" ("z" alone for a term of no
// effect), then the six bins' replay errors.
std::string configuration_text(const StudyRow& r) {
  std::string out;
  for (int bin = 0; bin < config::kBins; ++bin) {
    const quality::BinFigures& b = r.bins[bin];
    for (int term = 0; term < config::kCoefficients; ++term) {
      const quality::Coefficient& k = b.coefficients[term];
      const Verdict verdict = quality::verdict_of(k, b.misfit);
      // A term of no effect is not drawn: its letter alone.
      out += verdict == Verdict::no_effect
                 ? std::string("z ")
                 : figure_text(b.coefficient[term], 4) + "/" + figure_text(k.standard_error, 2) + "/" +
                       verdict_letter(verdict) + " ";
    }
  }
  for (int bin = 0; bin < config::kBins; ++bin) {
    out += figure_text(r.bins[bin].replay_error, 3) + (bin + 1 < config::kBins ? " " : "");
  }
  return out;
}

// The data block: {"scenarios": [...], "tags": [...], "species": [[name,
// [[tag, [configuration text or null per scenario]], ...]], ...]}.
std::string data_block(const Study& s, const Layout& layout, std::size_t species,
                       const std::vector<std::string>& scenarios) {
  std::string out = "<script type=\"application/json\" id=\"explorer-data\">{\"scenarios\":[";
  for (std::size_t i = 0; i < scenarios.size(); ++i) out += (i ? "," : "") + json_string(scenarios[i]);
  out += "],\n\"tags\":[";
  for (std::size_t i = 0; i < layout.tags.size(); ++i) out += (i ? "," : "") + json_string(layout.tags[i]);
  out += "],\n\"species\":[";
  for (std::size_t n = 0; n < species; ++n) {
    const SpeciesPanel& panel = layout.species[n];
    out += std::string(n ? ",\n" : "") + "[" + json_string(panel.species) + ",[";
    for (std::size_t k = 0; k < panel.series.size(); ++k) {
      out += std::string(k ? ",\n" : "") + "[" + std::to_string(panel.series[k].tag) + ",[";
      for (std::size_t i = 0; i < panel.series[k].rows.size(); ++i) {
        const std::size_t row = panel.series[k].rows[i];
        out += std::string(i ? "," : "") + (row == std::string::npos ? "null" : json_string(configuration_text(s.rows[row])));
      }
      out += "]]";
    }
    out += "]]";
  }
  return out + "]}</script>\n";
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
      "<h2 id=\"explorer-heading\">Coefficient explorer</h2>\n<section id=\"explorer\">\n<p>Pick a species "
      "and a target bin: for each term, the coefficient (as the results files report it) with its "
      "standard error as a bar, across the scenarios, one line per tag, the tags' points side by side "
      "at each scenario; a caption names tags whose values are the same. <strong>Hollow</strong> points "
      "are not to be used as results: undetermined, or in a misfit bin. The value axis covers the points "
      "to be trusted; hollow points beyond it and error bars are drawn up to the chart's edge. "
      "Coefficients with no effect are not drawn. Above the charts, the bin's replay error: how far the "
      "fit, run alone, strays from the observed bin.</p>\n";
  // Every species and tag first: the scenarios drawn are as many as the
  // explorer's budget allows for all of them (at least kExplorerMinScenarios),
  // and only when even those pass it are species left out; the first
  // species is always drawn.
  const std::size_t series = layout_of(s, scenarios, 0).series_count();
  const std::size_t drawn_scenarios = std::min<std::size_t>(
      {scenarios.size(), kExplorerScenarios,
       std::max<std::size_t>(kExplorerMinScenarios, kExplorerConfigurations / std::max<std::size_t>(series, 1))});
  const Layout layout = layout_of(s, scenarios, drawn_scenarios);
  if (layout.species.empty()) return out + "<p class=\"note\">No configuration has figures yet.</p>\n</section>\n";
  scenarios.resize(drawn_scenarios);
  std::size_t drawn_species = 0, configurations = 0;
  for (const SpeciesPanel& panel : layout.species) {
    const std::size_t more = panel.series.size() * drawn_scenarios;
    if (drawn_species > 0 && configurations + more > static_cast<std::size_t>(kExplorerConfigurations)) break;
    configurations += more;
    ++drawn_species;
  }
  std::vector<std::string> left_out;
  if (drawn_species < layout.species.size()) {
    left_out.push_back("the first " + std::to_string(drawn_species) + " of " +
                       std::to_string(layout.species.size()) + " species (every tag)");
  }
  if (seen.size() > drawn_scenarios) {
    left_out.push_back("the first " + std::to_string(drawn_scenarios) + " of " + std::to_string(seen.size()) +
                       " scenarios");
  }
  if (!left_out.empty()) {
    out += "<p class=\"note\" id=\"explorer-left-out\">Drawn: " + left_out[0] +
           (left_out.size() > 1 ? " and " + left_out[1] : "") +
           ", to keep this page small; coefficients.csv holds every value.</p>\n";
  }
  out += "<div class=\"explorer-picks\">\n<span class=\"pick-title\">Species</span>\n";
  for (std::size_t n = 0; n < drawn_species; ++n) {
    const std::string id = "xs" + std::to_string(n);
    out += "<input type=\"radio\" name=\"explorer-species\" value=\"" + std::to_string(n) + "\" id=\"" + id +
           "\"" + (n == 0 ? " checked" : "") + "><label for=\"" + id + "\">" + escape(layout.species[n].species) +
           "</label>\n";
  }
  out += "<br><span class=\"pick-title\">Target bin</span>\n";
  for (int bin = 1; bin <= config::kBins; ++bin) {
    const std::string id = "xb" + std::to_string(bin);
    out += "<input type=\"radio\" name=\"explorer-bin\" value=\"" + std::to_string(bin) + "\" id=\"" + id +
           "\"" + (bin == 1 ? " checked" : "") + "><label for=\"" + id + "\">" + config::term_label(bin) +
           "</label>\n";
  }
  out += "</div>\n<div id=\"explorer-charts\"><p class=\"note\">The charts are drawn by the page's script, "
         "which this browser did not run; coefficients.csv holds every value.</p></div>\n";
  out += data_block(s, layout, drawn_species, scenarios) + kExplorerScript;
  return out + "</section>\n";
}

}  // namespace report::study_page
