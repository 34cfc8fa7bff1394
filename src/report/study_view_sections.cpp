// The study page's sections over its configurations: the table of
// configurations, the tags compared and the flag grid.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "quality/models.hpp"
#include "report/html.hpp"
#include "report/report.hpp"
#include "report/study_view_parts.hpp"

namespace report::study_page {
namespace {

using quality::Flag;

double worst_r2(const StudyRow& r) {
  std::array<double, config::kBins> r2{};
  for (int b = 0; b < config::kBins; ++b) r2[b] = r.bins[b].r_squared;
  return worst_r_squared(r2);
}

// ---- configurations -------------------------------------------------------

struct Column {
  const char* name;
  const char* type;  // "text" or "number"
};
constexpr Column kColumns[] = {{"Species", "text"},      {"Scenario", "text"},
                               {"Tag", "text"},          {"State", "text"},
                               {"Worst R²", "number"},   {"Undetermined", "number"},
                               {"Misfit bins", "number"}, {"Highest drift", "number"}};

// The species in the order they first appear, each with its rows' indices.
std::vector<std::pair<std::string, std::vector<std::size_t>>> by_species(const Study& s) {
  std::vector<std::pair<std::string, std::vector<std::size_t>>> groups;
  std::map<std::string, std::size_t> at;
  for (std::size_t n = 0; n < s.rows.size(); ++n) {
    auto [it, added] = at.emplace(s.rows[n].species, groups.size());
    if (added) groups.push_back({s.rows[n].species, {}});
    groups[it->second].second.push_back(n);
  }
  return groups;
}

// The highest drift of its bins' residuals: what misfit is judged on.
double highest_drift(const StudyRow& r) {
  double high = std::numeric_limits<double>::quiet_NaN();
  for (const quality::BinFigures& bin : r.bins) {
    if (!std::isnan(bin.drift) && !(bin.drift <= high)) high = bin.drift;
  }
  return high;
}

// `with_message`: the row shows why it did not succeed (when it says).
void append_row(std::string& out, const StudyRow& r, bool with_message) {
  const std::string state = escape(r.state);
  // A row takes about 130 bytes: no class unless it did not succeed.
  out += succeeded(r) ? "<tr><td>" : "<tr class=\"" + state + "\"><td>";
  out += "" + escape(r.species) + (r.known_species ? "" : " <i class=note>(not in the species table)</i>") +
         "<td>" + escape(r.scenario) + "<td>";
  if (r.linked) {
    out += "<a href=\"" + escape(page_name(r.species, r.scenario, r.tag)) + "\">" + escape(r.tag) + "</a>";
  } else {
    out += escape(r.tag);
  }
  out += "<td>" + state;
  if (with_message && !r.message.empty()) out += "<div class=message>" + escape(r.message) + "</div>";
  if (!r.fitted) {
    out += "<td>n/a<td>n/a<td>n/a<td>n/a\n";
    return;
  }
  const double r2 = worst_r2(r);
  out += (r2 < 0 ? "<td class=bad>" : "<td>") + shown(r2, 4);
  out += "<td>" + std::to_string(count(r).undetermined);
  const int misfits = misfit_bins(r);
  out += (misfits > 0 ? "<td class=bad>" : "<td>") + std::to_string(misfits);
  out += "<td>" + shown(highest_drift(r), 3) + "\n";
}

// ---- tags compared --------------------------------------------------------

struct Group {
  std::string species, scenario;
  std::vector<std::size_t> rows;  // fitted, distinct tags
};

std::vector<Group> compared_groups(const Study& s) {
  std::vector<Group> groups;
  std::map<std::pair<std::string, std::string>, std::size_t> at;
  std::set<std::tuple<std::string, std::string, std::string>> seen;  // a group may hold many tags
  for (std::size_t n = 0; n < s.rows.size(); ++n) {
    const StudyRow& r = s.rows[n];
    if (!r.fitted || !seen.insert({r.species, r.scenario, r.tag}).second) continue;
    auto [it, added] = at.emplace(std::make_pair(r.species, r.scenario), groups.size());
    if (added) groups.push_back({r.species, r.scenario, {}});
    groups[it->second].rows.push_back(n);
  }
  std::erase_if(groups, [](const Group& g) { return g.rows.size() < 2; });
  return groups;
}

std::vector<quality::Candidate> candidates(const Study& s, const Group& g) {
  std::vector<quality::Candidate> out;
  for (std::size_t n : g.rows) {
    const StudyRow& r = s.rows[n];
    quality::Candidate c{r.tag, r.reactions, {}};
    c.bins.assign(r.bins.begin(), r.bins.end());
    out.push_back(std::move(c));
  }
  return out;
}

// Which tag each species prefers, over its scenarios (the groups', each
// compared in `comparisons`); species in the order first compared.
std::string preferred_summary(const Study& s, const std::vector<Group>& groups,
                              const std::vector<quality::Comparison>& comparisons) {
  std::vector<std::pair<std::string, std::map<std::string, int>>> preferred_by_species;
  std::unordered_map<std::string, std::size_t> species_at;
  for (std::size_t gi = 0; gi < groups.size(); ++gi) {
    const Group& g = groups[gi];
    const int p = comparisons[gi].preferred;
    const auto [at, added] = species_at.emplace(g.species, preferred_by_species.size());
    if (added) preferred_by_species.push_back({g.species, {}});
    if (p >= 0) ++preferred_by_species[at->second].second[s.rows[g.rows[p]].tag];
  }
  std::string out = "<ul id=\"preferred-summary\">\n";
  for (const auto& [species, tags] : preferred_by_species) {
    out += "<li><b>" + escape(species) + "</b>: preferred ";
    bool first = true;
    for (const auto& [tag, n] : tags) {
      out += (first ? "" : ", ") + escape(tag) + " in " + std::to_string(n) +
             (n == 1 ? " scenario" : " scenarios");
      first = false;
    }
    if (tags.empty()) out += "no tag (no AIC known)";
    out += "</li>\n";
  }
  return out;
}

// The rows of table#models of one species and scenario, compared in `cmp`.
void append_model_rows(std::string& out, const Study& s, const Group& g,
                       const quality::Comparison& cmp) {
  double lowest = INFINITY;
  for (const quality::Score& sc : cmp.scores) lowest = std::min(lowest, sc.aic);
  for (std::size_t t = 0; t < g.rows.size(); ++t) {
    const StudyRow& r = s.rows[g.rows[t]];
    const quality::Score& sc = cmp.scores[t];
    const bool preferred = static_cast<int>(t) == cmp.preferred;
    out += "<tr class=\"model" + std::string(preferred ? " preferred" : "") + "\" data-species=\"" +
           escape(r.species) + "\" data-scenario=\"" + escape(r.scenario) + "\" data-tag=\"" +
           escape(r.tag) + "\" data-preferred=\"" + (preferred ? "true" : "false") +
           "\" data-aic=\"" + exact(sc.aic) + "\"><td>" + escape(r.species) + "<td>" +
           escape(r.scenario) + "<td>" + escape(r.tag) + (preferred ? " &#10003; preferred" : "") +
           "<td>" + shown(sc.aic, 6) + "<small>" +
           (std::isfinite(sc.aic) && std::isfinite(lowest) ? "+" + shown(sc.aic - lowest, 3) : "") +
           "</small>";
    for (int b = 0; b < config::kBins; ++b) {
      out += "<td>" + shown(sc.bin_aic[b], 6) + "<small>" + shown(r.bins[b].rss, 3) +
             " &middot; " + shown(r.bins[b].r_squared, 4) + "</small>";
    }
    out += "<td>" + std::to_string(sc.free_count) + "\n";
  }
}

// ---- flags ----------------------------------------------------------------

// The grid's letter for a coefficient's verdict: none for a trusted one.
const char* flag_code(const quality::BinFigures& bin, const quality::Coefficient& k) {
  switch (quality::verdict_of(k, bin.misfit)) {
    case quality::Verdict::trusted: return nullptr;
    case quality::Verdict::undetermined: return "u";
    case quality::Verdict::misfit: return "m";
    case quality::Verdict::no_effect: return "z";
  }
  return nullptr;
}

std::string grid_head(const char* first) {
  std::string out = "<thead><tr><th rowspan=\"2\">" + std::string(first) + "</th>";
  for (int b = 1; b <= config::kBins; ++b) out += "<th colspan=\"7\">target " + config::term_label(b) + "</th>";
  out += "</tr><tr>";
  for (int b = 1; b <= config::kBins; ++b) {
    for (int t = 0; t < config::kCoefficients; ++t) out += "<th>" + std::string(t == 0 ? "P" : std::to_string(t)) + "</th>";
  }
  return out + "</tr></thead>\n";
}

// The grid with a row per fitted configuration (`fitted`, rows of `s`).
std::string configuration_grid(const Study& s, const std::vector<std::size_t>& fitted) {
  std::string out = "<table id=\"flags\">\n" + grid_head("Configuration") + "<tbody>\n";
  for (std::size_t n : fitted) {
    const StudyRow& r = s.rows[n];
    out += "<tr><th>" + escape(r.species) + " &middot; " + escape(r.scenario) + " &middot; " + escape(r.tag) + "</th>";
    for (const quality::BinFigures& bin : r.bins) {
      for (const quality::Coefficient& k : bin.coefficients) {
        const char* code = flag_code(bin, k);
        out += code ? "<td class=" + std::string(code) + ">" : "<td>";
      }
    }
    out += "\n";
  }
  return out + "</tbody>\n</table>\n";
}

// The cell of coefficient `t` of bin `b` over the configurations `members`:
// how many are not determined or misfit, shaded by their share.
std::string group_cell(const Study& s, const std::vector<std::size_t>& members, int b, int t) {
  int bad = 0, none = 0;
  for (std::size_t n : members) {
    const char* code = flag_code(s.rows[n].bins[b], s.rows[n].bins[b].coefficients[t]);
    bad += code != nullptr && *code != 'z';
    none += code != nullptr && *code == 'z';
  }
  if (none == static_cast<int>(members.size())) return "<td class=z>";
  if (bad == 0) return "<td>";
  const int shade = 1 + std::min(3, 4 * bad / static_cast<int>(members.size()));
  return "<td class=a" + std::to_string(shade) + ">" + std::to_string(bad);
}

// Too many rows to read: one per species and tag, each cell the number of
// its configurations where the coefficient is not determined or misfit.
std::string group_grid(const Study& s, const std::vector<std::size_t>& fitted) {
  std::vector<std::pair<std::pair<std::string, std::string>, std::vector<std::size_t>>> groups;
  std::map<std::pair<std::string, std::string>, std::size_t> at;
  for (std::size_t n : fitted) {
    auto key = std::make_pair(s.rows[n].species, s.rows[n].tag);
    auto [it, added] = at.emplace(key, groups.size());
    if (added) groups.push_back({key, {}});
    groups[it->second].second.push_back(n);
  }
  std::string out = "<p class=\"note\">" + std::to_string(fitted.size()) +
         " configurations with figures: one row per species and tag, each cell counting the "
         "configurations (scenarios) where that coefficient is undetermined or in a misfit bin, "
         "darker the larger their share.</p>\n<table id=\"flags\">\n" + grid_head("Species &middot; tag (configurations)") +
         "<tbody>\n";
  for (const auto& [key, members] : groups) {
    out += "<tr><th>" + escape(key.first) + " &middot; " + escape(key.second) + " (" +
           std::to_string(members.size()) + ")</th>";
    for (int b = 0; b < config::kBins; ++b) {
      for (int t = 0; t < config::kCoefficients; ++t) out += group_cell(s, members, b, t);
    }
    out += "\n";
  }
  return out + "</tbody>\n</table>\n";
}

}  // namespace

std::string configurations(const Study& s) {
  // Every row is in the page; a large study's groups start closed, so that
  // the browser lays out a line per species, not every row, until asked.
  const bool open = s.rows.size() <= static_cast<std::size_t>(kOpenRows);
  // The messages of the first kMessageRows rows that have one: a message
  // (often a path) costs more than the rest of its row.
  std::vector<bool> with_message(s.rows.size(), false);
  std::size_t messages = 0, all_messages = 0;
  for (std::size_t n = 0; n < s.rows.size(); ++n) {
    if (s.rows[n].message.empty()) continue;
    ++all_messages;
    if (messages == static_cast<std::size_t>(kMessageRows)) continue;
    with_message[n] = true;
    ++messages;
  }
  std::string out =
      "<h2 id=\"configurations-heading\">Configurations</h2>\n<p>Grouped by species in the "
      "order of the study";
  out += open ? ". " : "; tick a group's box to show its rows. ";
  out += "Click a heading to sort each group by that column; type in the fields below the "
         "headings to filter (text, or a comparison for numbers: <code>&lt;0</code>, "
         "<code>&gt;=2</code>). The tag links to the configuration's page. ";
  if (messages < all_messages) {
    out += "Why a configuration did not succeed is shown for the first " + std::to_string(messages) +
           " of the " + std::to_string(all_messages) +
           " that say; <a href=\"runs.csv\">runs.csv</a> has every message. ";
  }
  out += "<span id=\"shown-count\" class=\"note\"></span></p>\n"
         "<table id=\"configurations\" data-filter-opens=\"" + std::to_string(kFilterOpens) +
         "\">\n<thead><tr>";
  for (std::size_t c = 0; c < std::size(kColumns); ++c) {
    out += "<th scope=\"col\" data-column=\"" + std::to_string(c) + "\" data-type=\"" +
           kColumns[c].type + "\">" + kColumns[c].name + "</th>";
  }
  out += "</tr></thead>\n";
  for (const auto& [species, members] : by_species(s)) {
    int fitted = 0, misfit = 0, unsucceeded = 0;
    for (std::size_t n : members) {
      fitted += s.rows[n].fitted;
      misfit += misfit_bins(s.rows[n]) > 0;
      unsucceeded += !succeeded(s.rows[n]);
    }
    out += "<tbody class=\"species-group\" data-species=\"" + escape(species) +
           "\"><tr class=\"group\"><th colspan=\"" + std::to_string(std::size(kColumns)) +
           "\"><label><input type=\"checkbox\" class=\"expand\"" + (open ? " checked" : "") +
           "> <b>" + escape(species) + "</b>: " + std::to_string(members.size()) +
           " configurations, " + std::to_string(fitted) + " with figures, " +
           std::to_string(misfit) + " with misfit bins" +
           (unsucceeded > 0 ? ", " + std::to_string(unsucceeded) + " not succeeded" : "") +
           "</label></th></tr>\n";
    for (std::size_t n : members) append_row(out, s.rows[n], with_message[n]);
    out += "</tbody>\n";
  }
  return out + "</table>\n";
}

std::string models(const Study& s) {
  const std::vector<Group> groups = compared_groups(s);
  std::string out =
      "<h2 id=\"models-heading\">Tags compared</h2>\n<p>For each species and scenario fitted "
      "under more than one tag: Akaike's information criterion, AIC = n ln(RSS/n) + 2k, with n "
      "the intervals of a bin and k its coefficients strictly inside their bounds, per target "
      "bin (with RSS and R&sup2; below it) and in total (the sum over the bins). Lower is "
      "better; the <strong>preferred</strong> tag has the lowest total AIC, or, among tags "
      "within " + shown(quality::kAicTie, 2) +
      " of it, the fewest reactions (static, then no56, no6, allgas). A difference of more "
      "than about 10 is strong evidence against the tag with the higher AIC.</p>\n";
  if (groups.empty()) return out + "<p class=\"note\">No species and scenario was fitted under more than one tag.</p>\n";

  std::vector<quality::Comparison> comparisons;
  for (const Group& g : groups) comparisons.push_back(quality::compare_models(candidates(s, g)));
  out += preferred_summary(s, groups, comparisons);
  out += "</ul>\n<table id=\"models\">\n<thead><tr><th scope=\"col\">Species</th><th "
         "scope=\"col\">Scenario</th><th scope=\"col\">Tag</th><th scope=\"col\">Total AIC<small>"
         "&Delta; from the lowest</small></th>";
  for (int b = 1; b <= config::kBins; ++b) {
    out += "<th scope=\"col\">" + config::term_label(b) + "<small>RSS &middot; R&sup2;</small></th>";
  }
  out += "<th scope=\"col\">k</th></tr></thead>\n<tbody>\n";
  const std::size_t shown_groups = std::min<std::size_t>(groups.size(), kComparedGroups);
  for (std::size_t gi = 0; gi < shown_groups; ++gi) append_model_rows(out, s, groups[gi], comparisons[gi]);
  out += "</tbody>\n</table>\n";
  if (shown_groups < groups.size()) {
    out += "<p class=\"note\">" + std::to_string(groups.size() - shown_groups) +
           " more species and scenarios compared are not shown here; models.csv holds every "
           "one.</p>\n";
  }
  return out;
}

std::string flags(const Study& s) {
  std::vector<std::size_t> fitted;
  for (std::size_t n = 0; n < s.rows.size(); ++n) {
    if (s.rows[n].fitted) fitted.push_back(n);
  }
  std::string out =
      "<h2 id=\"flags-heading\">Flags at a glance</h2>\n<p>One column per coefficient: the "
      "target bin above, the term below (P the precursor VOC, 1 to 6 the bins VB1 to VB6). "
      "<b>u</b> undetermined, <b>m</b> in a misfit bin, <b>&middot;</b> no effect, empty: "
      "determined.</p>\n";
  return out + (fitted.size() <= static_cast<std::size_t>(kGridRows) ? configuration_grid(s, fitted)
                                                                    : group_grid(s, fitted));
}

}  // namespace report::study_page
