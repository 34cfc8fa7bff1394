#include "report/study_view.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "quality/models.hpp"
#include "report/html.hpp"
#include "report/report.hpp"

namespace report {
namespace {

using quality::Flag;

// The style sheet, once. Series colours are the Okabe-Ito palette, which
// readers with the common colour-vision deficiencies tell apart; flags
// carry a letter as well as a colour (::after), so that print shows them.
constexpr const char* kStyle = R"(<style>
body { font-family: sans-serif; margin: 1.5em; color: #111; line-height: 1.35; }
p, ul { max-width: 60em; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.8em; border-bottom: 1px solid #ccc; }
h3 { font-size: 1em; margin: 1em 0 0.3em; }
table { border-collapse: collapse; margin: 0.5em 0 1em; font-size: 0.92em; }
caption { text-align: left; padding-bottom: 0.3em; }
th, td { border: 1px solid #bbb; padding: 0.2em 0.45em; text-align: left; vertical-align: top; }
thead th { background: #eee; }
#configurations td:nth-child(n+5), #models td:nth-child(n+4) { text-align: right; }
#configurations thead th[data-column] { cursor: pointer; }
#configurations th[aria-sort=ascending]::after { content: " \25B2"; }
#configurations th[aria-sort=descending]::after { content: " \25BC"; }
#configurations { table-layout: fixed; width: 100%; max-width: 75em; }
#configurations thead th:nth-child(-n+2) { width: 9%; }
#configurations thead th:nth-child(3) { width: 8%; }
#configurations thead th:nth-child(4) { width: 18%; }
#configurations:not(.filtering) tbody:not(:has(input.expand:checked)) > tr:not(.group) { display: none; }
tr.group th { background: #f4f4f4; font-weight: normal; }
tr.group label { display: block; cursor: pointer; }
tr.group b { font-size: 1.05em; }
tr.failed td, tr.stale td { background: #fbe3e3; }
td.bad { background: #fde2c8; font-weight: bold; }
tr.filters input { width: 100%; box-sizing: border-box; font-size: 0.9em; }
.message { font-family: monospace; font-size: 0.9em; white-space: pre-wrap; overflow-wrap: anywhere; }
.note { font-style: italic; color: #333; }
#totals span[data-total] { font-weight: bold; }
tr.preferred td { background: #e3f1e0; font-weight: bold; }
#models small { display: block; font-weight: normal; color: #444; }
.explorer-row { display: grid; grid-template-columns: repeat(auto-fill, minmax(11em, 1fr)); gap: 0.4em 0.8em; }
figure.explorer { margin: 0; }
figure.explorer figcaption { font-size: 0.85em; font-weight: bold; }
figure.explorer svg { width: 100%; height: auto; font-size: 9px; }
svg .frame { fill: none; stroke: #999; } svg .grid { stroke: #e4e4e4; }
svg .series, svg .bars { fill: none; stroke-width: 1.2; }
svg .bars { stroke-width: 0.8; stroke-opacity: 0.5; }
svg .points { fill: none; stroke-linecap: round; stroke-width: 6; }
svg .holes { fill: none; stroke: #fff; stroke-linecap: round; stroke-width: 3; }
.s0 { stroke: #0072b2; } .s1 { stroke: #d55e00; } .s2 { stroke: #009e73; } .s3 { stroke: #cc79a7; }
.s4 { stroke: #e69f00; } .s5 { stroke: #56b4e9; } .s6 { stroke: #000; } .s7 { stroke: #a6761d; }
.key { display: inline-block; margin-right: 1.2em; white-space: nowrap; }
.key svg { width: 2.2em; height: 0.9em; vertical-align: middle; }
#flags { font-size: 0.8em; }
#flags td { width: 1.1em; padding: 0; text-align: center; }
#flags th { white-space: nowrap; }
#flags td.u { background: #fde2c8; } #flags td.u::after { content: "u"; }
#flags td.z { background: #e6e6e6; } #flags td.z::after { content: "\00b7"; }
#flags td.m { background: #d7301f; color: #fff; } #flags td.m::after { content: "m"; }
#flags td.a1 { background: #fde2c8; } #flags td.a2 { background: #fdae6b; }
#flags td.a3 { background: #e6550d; color: #fff; } #flags td.a4 { background: #a63603; color: #fff; }
@media print { body { margin: 0; } td, th { print-color-adjust: exact; -webkit-print-color-adjust: exact; } }
</style>
)";

// Sorting and filtering of table#configurations. Clicking a heading sorts
// the rows of every species group by that column (again: the other way);
// numbers by value, unknown ones last; text in natural order ("a2" < "a10").
// The filter fields under the headings keep rows whose cell contains the
// text typed, or for numbers a comparison: "<0", ">=0.9". The original
// order breaks ties, so the order is stable.
//
// Built for 10,000 rows and more: the cells' texts are read from the page
// once, when first needed, and a sort compares those (one collator, made
// once), then moves each group's rows in one fragment. A filter changes
// only the rows whose state changes. While the rows a filter keeps are few
// (kFilterOpens), they show even in closed groups; beyond, the count says
// how many there are and a group shows them when opened.
constexpr const char* kScript = R"js(<script>
(function () {
  var table = document.getElementById("configurations");
  if (!table) return;
  var filterOpens = Number(table.dataset.filterOpens);
  var heads = table.tHead.rows[0].cells;
  var collator = new Intl.Collator(undefined, { numeric: true });
  var groups = Array.prototype.map.call(table.tBodies, function (body) {
    return { body: body, texts: null,
             rows: Array.prototype.filter.call(body.rows, function (r) { return !r.classList.contains("group"); }) };
  });
  var filters = table.tHead.insertRow(-1);
  filters.className = "filters";
  Array.prototype.forEach.call(heads, function (th, i) {
    var input = document.createElement("input");
    input.type = "search"; input.placeholder = "filter";
    input.setAttribute("aria-label", "filter by " + th.textContent);
    input.addEventListener("input", apply);
    filters.insertCell(-1).appendChild(input);
    th.tabIndex = 0;
    th.addEventListener("click", function () { sort(i); });
    th.addEventListener("keydown", function (e) { if (e.key === "Enter") sort(i); });
  });
  // A group's cells' texts, row by row in the order given; read once.
  function textsOf(g) {
    if (!g.texts) {
      g.texts = g.rows.map(function (r) {
        return Array.prototype.map.call(r.cells, function (c) { return c.textContent.trim(); });
      });
    }
    return g.texts;
  }
  function isNumber(i) { return heads[i].dataset.type === "number"; }
  function sort(i) {
    var down = heads[i].getAttribute("aria-sort") === "ascending";
    Array.prototype.forEach.call(heads, function (th) { th.removeAttribute("aria-sort"); });
    heads[i].setAttribute("aria-sort", down ? "descending" : "ascending");
    var sign = down ? -1 : 1, numeric = isNumber(i);
    groups.forEach(function (g) {
      var keys = textsOf(g).map(function (cells) {
        var text = cells[i] || "";
        return numeric ? parseFloat(text) : text;
      });
      var order = keys.map(function (k, n) { return n; });
      order.sort(function (a, b) {
        var x = keys[a], y = keys[b], c;
        if (numeric) c = isNaN(x) || isNaN(y) ? isNaN(x) - isNaN(y) : sign * (x - y);
        else c = sign * collator.compare(x, y);
        return c || a - b;
      });
      var moved = document.createDocumentFragment();
      order.forEach(function (n) { moved.appendChild(g.rows[n]); });
      g.body.appendChild(moved);
    });
  }
  function matches(text, wanted, numeric) {
    var m = numeric && /^\s*(<=|>=|<|>|=)\s*(-?[0-9.]+(e-?[0-9]+)?)\s*$/i.exec(wanted);
    if (m) {
      var v = parseFloat(text), w = parseFloat(m[2]);
      if (isNaN(v)) return false;
      return m[1] === "<" ? v < w : m[1] === ">" ? v > w : m[1] === "<=" ? v <= w : m[1] === ">=" ? v >= w : v === w;
    }
    return text.toLowerCase().indexOf(wanted) >= 0;
  }
  function apply() {
    var wanted = Array.prototype.map.call(filters.cells, function (c) { return c.firstChild.value.trim().toLowerCase(); });
    var numeric = wanted.map(function (w, i) { return isNumber(i); });
    var shown = 0, total = 0;
    groups.forEach(function (g) {
      var texts = textsOf(g), any = false;
      g.rows.forEach(function (r, n) {
        var keep = wanted.every(function (w, i) { return !w || matches(texts[n][i] || "", w, numeric[i]); });
        if (r.hidden === keep) r.hidden = !keep;
        any = any || keep; shown += keep; total++;
      });
      if (g.body.hidden === any) g.body.hidden = !any;
    });
    table.classList.toggle("filtering", shown < total && shown <= filterOpens);
    document.getElementById("shown-count").textContent = shown === total ? "" :
      "Showing " + shown + " of " + total + " configurations" +
      (shown > filterOpens && table.querySelector("input.expand:not(:checked)") ?
       " (a closed group shows them when opened)." : ".");
  }
})();
</script>
)js";

bool is_number(const std::string& text) {
  double value;
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

double number_of(const std::string& text) {
  double value = 0.0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// The states in the order the totals list them; any other state follows.
constexpr const char* kStates[] = {"succeeded", "kept", "stale", "failed", "interrupted", "not run"};

struct Counts {
  int determined = 0, undetermined = 0, no_effect = 0, misfit = 0;  // coefficients
};

Counts count(const StudyRow& r) {
  Counts c;
  if (!r.fitted) return c;
  for (const BinFigures& bin : r.bins) {
    for (const CoefficientFigures& k : bin.coefficients) {
      c.determined += k.flag == Flag::determined;
      c.undetermined += k.flag == Flag::undetermined;
      c.no_effect += k.flag == Flag::no_effect;
      c.misfit += bin.misfit && k.flag != Flag::no_effect;
    }
  }
  return c;
}

int misfit_bins(const StudyRow& r) {
  int n = 0;
  for (const BinFigures& bin : r.bins) n += bin.misfit;
  return n;
}

double worst_r2(const StudyRow& r) {
  std::array<double, config::kBins> r2{};
  for (int b = 0; b < config::kBins; ++b) r2[b] = r.bins[b].r_squared;
  return worst_r_squared(r2);
}

std::string total(const char* name, long long value, const std::string& words) {
  return "<span data-total=\"" + std::string(name) + "\">" + std::to_string(value) + "</span> " +
         words;
}

std::string totals(const Study& s) {
  std::map<std::string, int> states;
  Counts all;
  for (const StudyRow& r : s.rows) {
    ++states[r.state];
    const Counts c = count(r);
    all.determined += c.determined;
    all.undetermined += c.undetermined;
    all.no_effect += c.no_effect;
    all.misfit += c.misfit;
  }
  std::string out = "<p id=\"totals\">" +
                    total("configurations", static_cast<long long>(s.rows.size()), "configurations: ");
  bool first = true;
  auto add_state = [&](const std::string& state, int n) {
    out += (first ? "" : ", ") + total(escape(state).c_str(), n, escape(state));
    first = false;
  };
  for (const char* state : kStates) {
    if (auto at = states.find(state); at != states.end()) add_state(state, at->second);
  }
  for (const auto& [state, n] : states) {
    if (std::find(std::begin(kStates), std::end(kStates), state) == std::end(kStates)) add_state(state, n);
  }
  out += ".<br>Coefficients of the fitted configurations: " +
         total("determined", all.determined, "determined, ") +
         total("undetermined", all.undetermined, "undetermined, ") +
         total("no-effect", all.no_effect, "with no effect; ") +
         total("misfit", all.misfit, "in misfit bins") + ".</p>\n";
  return out;
}

std::string meaning(const Study& s) {
  const std::string limit = shown(s.misfit_limit, 3);
  return "<p>A coefficient is <strong>undetermined</strong> when its standard error exceeds " +
         shown(s.se_limit, 6) +
         " or its column cannot be told apart from the others: the data do not pin it down. A "
         "target bin is <strong>misfit</strong> when the lag-1 autocorrelation of its residuals "
         "exceeds " + limit +
         ": the residuals follow a pattern instead of scattering like noise, so the model does "
         "not describe this bin's data, and its coefficients are not to be trusted whatever "
         "their standard errors. When the data are noisy, the noise can hide that pattern: a bin "
         "not flagged is not proof that the model fits; compare the tags below. A "
         "<strong>negative R&sup2;</strong> means the fit is worse than the bin's mean "
         "value: the model does not describe the data.</p>\n";
}

// ---- not succeeded ----------------------------------------------------------

bool succeeded(const StudyRow& r) { return r.state == "succeeded" || r.state == "kept"; }

// The configurations that did not succeed: how many, and the first
// kListedFailures of them with why; empty when every one succeeded. A
// study where everything fails lists no more than a study where a few do:
// runs.csv has every one.
std::string not_succeeded(const Study& s) {
  std::vector<std::size_t> listed;
  std::size_t all = 0;
  for (std::size_t n = 0; n < s.rows.size(); ++n) {
    if (succeeded(s.rows[n])) continue;
    ++all;
    if (listed.size() < static_cast<std::size_t>(kListedFailures)) listed.push_back(n);
  }
  if (all == 0) return "";
  std::string out = "<section id=\"not-succeeded\">\n<h2 id=\"not-succeeded-heading\">Not succeeded</h2>\n<p>" +
                    std::to_string(all) + (all == 1 ? " configuration" : " configurations") +
                    " did not succeed" +
                    (all > listed.size() ? "; the first " + std::to_string(listed.size()) + ":" : ":") +
                    "</p>\n<ul>\n";
  for (std::size_t n : listed) {
    const StudyRow& r = s.rows[n];
    out += "<li><b>" + escape(r.species) + " &middot; " + escape(r.scenario) + " &middot; " +
           escape(r.tag) + "</b>: " + escape(r.state);
    if (!r.message.empty()) out += "<div class=message>" + escape(r.message) + "</div>";
    out += "</li>\n";
  }
  out += "</ul>\n";
  if (all > listed.size()) {
    out += "<p class=\"note\">" + std::to_string(all - listed.size()) +
           " more are not listed here: <a href=\"runs.csv\">runs.csv</a> has every configuration "
           "with its state and message, and the configurations below show them (filter the "
           "State column).</p>\n";
  }
  return out + "</section>\n";
}

// ---- configurations -------------------------------------------------------

struct Column {
  const char* name;
  const char* type;  // "text" or "number"
};
constexpr Column kColumns[] = {{"Species", "text"},      {"Scenario", "text"},
                               {"Tag", "text"},          {"State", "text"},
                               {"Worst R²", "number"},   {"Undetermined", "number"},
                               {"Misfit bins", "number"}, {"Highest autocorrelation", "number"}};

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

double highest_autocorrelation(const StudyRow& r) {
  double high = std::numeric_limits<double>::quiet_NaN();
  for (const BinFigures& bin : r.bins) {
    if (!std::isnan(bin.autocorrelation) && !(bin.autocorrelation <= high)) high = bin.autocorrelation;
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
  out += "<td>" + shown(highest_autocorrelation(r), 2) + "\n";
}

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
    for (const BinFigures& b : r.bins) c.bins.push_back({b.rows, b.rss, b.r_squared, b.free_count});
    out.push_back(std::move(c));
  }
  return out;
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

  // Which tag each species prefers, over its scenarios; species in the
  // order first compared.
  std::vector<std::pair<std::string, std::map<std::string, int>>> preferred_by_species;
  std::unordered_map<std::string, std::size_t> species_at;
  std::vector<quality::Comparison> comparisons;
  for (const Group& g : groups) {
    comparisons.push_back(quality::compare_models(candidates(s, g)));
    const int p = comparisons.back().preferred;
    const auto [at, added] = species_at.emplace(g.species, preferred_by_species.size());
    if (added) preferred_by_species.push_back({g.species, {}});
    if (p >= 0) ++preferred_by_species[at->second].second[s.rows[g.rows[p]].tag];
  }
  out += "<ul id=\"preferred-summary\">\n";
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
  out += "</ul>\n<table id=\"models\">\n<thead><tr><th scope=\"col\">Species</th><th "
         "scope=\"col\">Scenario</th><th scope=\"col\">Tag</th><th scope=\"col\">Total AIC<small>"
         "&Delta; from the lowest</small></th>";
  for (int b = 1; b <= config::kBins; ++b) {
    out += "<th scope=\"col\">" + config::term_label(b) + "<small>RSS &middot; R&sup2;</small></th>";
  }
  out += "<th scope=\"col\">k</th></tr></thead>\n<tbody>\n";
  const std::size_t shown_groups = std::min<std::size_t>(groups.size(), kComparedGroups);
  for (std::size_t gi = 0; gi < shown_groups; ++gi) {
    const Group& g = groups[gi];
    const quality::Comparison& cmp = comparisons[gi];
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
  out += "</tbody>\n</table>\n";
  if (shown_groups < groups.size()) {
    out += "<p class=\"note\">" + std::to_string(groups.size() - shown_groups) +
           " more species and scenarios compared are not shown here; models.csv holds every "
           "one.</p>\n";
  }
  return out;
}

// ---- explorer -------------------------------------------------------------

// Small chart geometry, SVG user units.
constexpr int kChartWidth = 240, kChartHeight = 150;
constexpr int kPlotLeft = 40, kPlotRight = 234, kPlotTop = 8, kPlotBottom = 116;

struct Series {
  std::string species, tag;
  std::vector<std::size_t> rows;  // per drawn scenario: the row, or npos
};

int round_to_int(double v) { return static_cast<int>(std::lround(v)); }

std::string ticks_and_frame(double low, double high) {
  std::string out = "<rect class=\"frame\" x=\"" + std::to_string(kPlotLeft) + "\" y=\"" +
                    std::to_string(kPlotTop) + "\" width=\"" + std::to_string(kPlotRight - kPlotLeft) +
                    "\" height=\"" + std::to_string(kPlotBottom - kPlotTop) + "\"/>";
  const double raw = (high - low) / 3;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = power;
  for (double m : {2.0, 5.0, 10.0}) {
    if (raw > step) step = power * m;
  }
  for (double v = std::ceil(low / step) * step; v <= high; v += step) {
    const double shown_v = std::fabs(v) < step * 1e-9 ? 0.0 : v;
    const int y = round_to_int(kPlotBottom - (shown_v - low) / (high - low) * (kPlotBottom - kPlotTop));
    out += "<path class=\"grid\" d=\"M" + std::to_string(kPlotLeft) + " " + std::to_string(y) + "H" +
           std::to_string(kPlotRight) + "\"/><text x=\"" + std::to_string(kPlotLeft - 3) + "\" y=\"" +
           std::to_string(y + 3) + "\" text-anchor=\"end\">" + shown(shown_v, 3) + "</text>";
  }
  return out;
}

void explorer_chart(std::string& out, const Study& s, int bin, int term,
                    const std::vector<Series>& series, const std::vector<std::string>& scenarios) {
  // The range: the values to be trusted (all values when none is), and
  // their error bars as far as they stay within the values' own span again
  // on either side. An undetermined coefficient can be far off and its
  // error millions: it would flatten every other point, so it is drawn at
  // the edge instead.
  double vlow = INFINITY, vhigh = -INFINITY;
  for (bool trusted_only : {true, false}) {
    for (const Series& se : series) {
      for (std::size_t row : se.rows) {
        if (row == std::string::npos) continue;
        const BinFigures& figures = s.rows[row].bins[bin - 1];
        const CoefficientFigures& k = figures.coefficients[term];
        if (k.flag == Flag::no_effect || !std::isfinite(k.value)) continue;
        if (trusted_only && (k.flag != Flag::determined || figures.misfit)) continue;
        vlow = std::min(vlow, k.value);
        vhigh = std::max(vhigh, k.value);
      }
    }
    if (vlow <= vhigh) break;
  }
  const std::string label = config::term_label(bin) + ", term " + config::term_label(term);
  out += "<figure class=\"explorer\" data-bin=\"" + std::to_string(bin) + "\" data-term=\"" +
         config::term_label(term) + "\"><figcaption>" + config::term_label(term) +
         "</figcaption><svg viewBox=\"0 0 " + std::to_string(kChartWidth) + " " +
         std::to_string(kChartHeight) + "\" role=\"img\" aria-label=\"Target bin " + label +
         ": value and standard error across scenarios\">";
  if (!(vlow <= vhigh)) {
    out += "<text x=\"" + std::to_string(kChartWidth / 2) + "\" y=\"" + std::to_string(kChartHeight / 2) +
           "\" text-anchor=\"middle\">no effect, or no figures</text></svg></figure>\n";
    return;
  }
  const double span = std::max(vhigh - vlow, std::max(std::fabs(vhigh), 1e-3) * 0.1);
  double low = vlow, high = vhigh;
  for (const Series& se : series) {
    for (std::size_t row : se.rows) {
      if (row == std::string::npos) continue;
      const CoefficientFigures& k = s.rows[row].bins[bin - 1].coefficients[term];
      if (k.flag == Flag::no_effect || !std::isfinite(k.value) || !std::isfinite(k.standard_error)) continue;
      low = std::min(low, std::max(k.value - k.standard_error, vlow - span));
      high = std::max(high, std::min(k.value + k.standard_error, vhigh + span));
    }
  }
  const double pad = (high - low) * 0.06 + (high == low ? 0.05 * std::max(std::fabs(high), 1.0) : 0.0);
  low -= pad;
  high += pad;
  auto y_of = [&](double v) {
    v = std::clamp(v, low, high);
    return round_to_int(kPlotBottom - (v - low) / (high - low) * (kPlotBottom - kPlotTop));
  };
  const double slot = static_cast<double>(kPlotRight - kPlotLeft) / scenarios.size();
  auto x_of = [&](std::size_t i) { return round_to_int(kPlotLeft + (i + 0.5) * slot); };
  out += ticks_and_frame(low, high);
  // Scenario labels: all when they fit, else about six of them.
  const std::size_t every = std::max<std::size_t>(1, (scenarios.size() + 5) / 6);
  for (std::size_t i = 0; i < scenarios.size(); i += every) {
    std::string name = scenarios[i].size() > 8 ? scenarios[i].substr(0, 7) + "…" : scenarios[i];
    out += "<text x=\"" + std::to_string(x_of(i)) + "\" y=\"" + std::to_string(kPlotBottom + 12) +
           "\" text-anchor=\"middle\">" + escape(name) + "</text>";
  }
  out += "<text x=\"" + std::to_string((kPlotLeft + kPlotRight) / 2) + "\" y=\"" +
         std::to_string(kChartHeight - 6) + "\" text-anchor=\"middle\">scenario</text>";
  for (std::size_t n = 0; n < series.size(); ++n) {
    const Series& se = series[n];
    std::string line, bars, filled, hollow;
    bool pen_down = false;
    for (std::size_t i = 0; i < se.rows.size(); ++i) {
      const std::size_t row = se.rows[i];
      const CoefficientFigures* k =
          row == std::string::npos ? nullptr : &s.rows[row].bins[bin - 1].coefficients[term];
      if (k == nullptr || k->flag == Flag::no_effect || !std::isfinite(k->value)) {
        pen_down = false;
        continue;
      }
      const std::string x = std::to_string(x_of(i)), y = std::to_string(y_of(k->value));
      // A point beyond the axis stands at its edge, unconnected.
      const bool inside = k->value >= low && k->value <= high;
      if (inside) line += (pen_down ? "L" : "M") + x + " " + y;
      pen_down = inside;
      if (std::isfinite(k->standard_error) && k->standard_error > 0) {
        bars += "M" + x + " " + std::to_string(y_of(k->value - k->standard_error)) + "V" +
                std::to_string(y_of(k->value + k->standard_error));
      }
      const bool open = k->flag == Flag::undetermined || s.rows[row].bins[bin - 1].misfit;
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
  out += "</svg></figure>\n";
}

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
  std::vector<Series> series;
  std::map<std::pair<std::string, std::string>, std::size_t> at;
  std::size_t all_series = 0;
  const std::size_t drawn_scenarios = std::min<std::size_t>(scenarios.size(), kExplorerScenarios);
  for (std::size_t n = 0; n < s.rows.size(); ++n) {
    const StudyRow& r = s.rows[n];
    if (!r.fitted) continue;
    auto [it, added] = at.emplace(std::make_pair(r.species, r.tag), all_series);
    if (added) {
      ++all_series;
      if (series.size() < static_cast<std::size_t>(kExplorerSeries)) {
        series.push_back({r.species, r.tag, std::vector<std::size_t>(drawn_scenarios, std::string::npos)});
      }
    }
    if (it->second >= series.size()) continue;
    const auto place = std::find(scenarios.begin(), scenarios.begin() + drawn_scenarios, r.scenario);
    if (place != scenarios.begin() + drawn_scenarios) series[it->second].rows[place - scenarios.begin()] = n;
  }
  if (series.empty()) return out + "<p class=\"note\">No configuration has figures yet.</p>\n</section>\n";
  scenarios.resize(drawn_scenarios);
  out += "<p id=\"explorer-key\">";
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
  if (seen.size() > drawn_scenarios) {
    left_out.push_back("the first " + std::to_string(drawn_scenarios) + " of " +
                       std::to_string(seen.size()) + " scenarios");
  }
  if (!left_out.empty()) {
    out += "<p class=\"note\">Drawn: " + left_out[0] + (left_out.size() > 1 ? " and " + left_out[1] : "") +
           ", to keep this page small; coefficients.csv holds every value.</p>\n";
  }
  for (int bin = 1; bin <= config::kBins; ++bin) {
    out += "<h3>Target bin " + config::term_label(bin) + "</h3>\n<div class=\"explorer-row\">\n";
    for (int term = 0; term < config::kCoefficients; ++term) explorer_chart(out, s, bin, term, series, scenarios);
    out += "</div>\n";
  }
  return out + "</section>\n";
}

// ---- flags ----------------------------------------------------------------

const char* flag_code(const BinFigures& bin, const CoefficientFigures& k) {
  if (k.flag == Flag::no_effect) return "z";
  if (bin.misfit) return "m";
  return k.flag == Flag::undetermined ? "u" : nullptr;
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
  if (fitted.size() <= static_cast<std::size_t>(kGridRows)) {
    out += "<table id=\"flags\">\n" + grid_head("Configuration") + "<tbody>\n";
    for (std::size_t n : fitted) {
      const StudyRow& r = s.rows[n];
      out += "<tr><th>" + escape(r.species) + " &middot; " + escape(r.scenario) + " &middot; " + escape(r.tag) + "</th>";
      for (const BinFigures& bin : r.bins) {
        for (const CoefficientFigures& k : bin.coefficients) {
          const char* code = flag_code(bin, k);
          out += code ? "<td class=" + std::string(code) + ">" : "<td>";
        }
      }
      out += "\n";
    }
    return out + "</tbody>\n</table>\n";
  }
  // Too many rows to read: one per species and tag, each cell the number of
  // its configurations where the coefficient is not determined or misfit.
  std::vector<std::pair<std::pair<std::string, std::string>, std::vector<std::size_t>>> groups;
  std::map<std::pair<std::string, std::string>, std::size_t> at;
  for (std::size_t n : fitted) {
    auto key = std::make_pair(s.rows[n].species, s.rows[n].tag);
    auto [it, added] = at.emplace(key, groups.size());
    if (added) groups.push_back({key, {}});
    groups[it->second].second.push_back(n);
  }
  out += "<p class=\"note\">" + std::to_string(fitted.size()) +
         " configurations with figures: one row per species and tag, each cell counting the "
         "configurations (scenarios) where that coefficient is undetermined or in a misfit bin, "
         "darker the larger their share.</p>\n<table id=\"flags\">\n" + grid_head("Species &middot; tag (configurations)") +
         "<tbody>\n";
  for (const auto& [key, members] : groups) {
    out += "<tr><th>" + escape(key.first) + " &middot; " + escape(key.second) + " (" +
           std::to_string(members.size()) + ")</th>";
    for (int b = 0; b < config::kBins; ++b) {
      for (int t = 0; t < config::kCoefficients; ++t) {
        int bad = 0, none = 0;
        for (std::size_t n : members) {
          const char* code = flag_code(s.rows[n].bins[b], s.rows[n].bins[b].coefficients[t]);
          bad += code != nullptr && *code != 'z';
          none += code != nullptr && *code == 'z';
        }
        if (none == static_cast<int>(members.size())) {
          out += "<td class=z>";
        } else if (bad == 0) {
          out += "<td>";
        } else {
          const int shade = 1 + std::min(3, 4 * bad / static_cast<int>(members.size()));
          out += "<td class=a" + std::to_string(shade) + ">" + std::to_string(bad);
        }
      }
    }
    out += "\n";
  }
  return out + "</tbody>\n</table>\n";
}

// ---- provenance -----------------------------------------------------------

std::string provenance(const Study& s) {
  std::string out =
      "<h2 id=\"provenance-heading\">Tables and provenance</h2>\n<p>The tables behind this page, "
      "in this directory: <a class=\"table\" href=\"runs.csv\">runs.csv</a> (one row per "
      "configuration), <a class=\"table\" href=\"coefficients.csv\">coefficients.csv</a>, <a "
      "class=\"table\" href=\"fits.csv\">fits.csv</a> (one row per target bin, with its misfit "
      "figure), <a class=\"table\" href=\"models.csv\">models.csv</a> (the tags compared), and "
      "the study's record, <a class=\"table\" href=\"study.sqlite\">study.sqlite</a>.</p>\n"
      "<table id=\"batches\">\n<caption>Every batch that wrote into this study.</caption>\n"
      "<thead><tr><th scope=\"col\">Version</th><th scope=\"col\">Command</th><th "
      "scope=\"col\">Started</th><th scope=\"col\">Ended</th><th scope=\"col\">Host</th><th "
      "scope=\"col\">Run set</th></tr></thead>\n<tbody>\n";
  for (const BatchRecord& b : s.batches) {
    out += "<tr><td>" + escape(b.version) + "<td class=message>" + escape(b.command) + "<td>" +
           escape(b.started) + "<td>" + escape(b.ended) + "<td>" + escape(b.host) + "<td>" +
           escape(b.run_set) + "\n";
  }
  if (s.batches.empty()) out += "<tr><td colspan=\"6\" class=\"note\">No batch recorded.\n";
  return out + "</tbody>\n</table>\n";
}

}  // namespace

std::vector<std::string> scenario_order(const std::vector<std::string>& seen,
                                        const std::vector<std::string>& given) {
  // Sets, not searches of the lists: a study may have as many scenarios as
  // configurations, and the index must stay linear in its size.
  const std::unordered_set<std::string> occurs(seen.begin(), seen.end());
  std::unordered_set<std::string> placed;
  std::vector<std::string> out;
  for (const std::string& g : given) {
    if (occurs.count(g) != 0 && placed.insert(g).second) out.push_back(g);
  }
  for (const std::string& n : seen) {
    if (placed.insert(n).second) out.push_back(n);
  }
  if (given.empty() && std::all_of(out.begin(), out.end(), is_number)) {
    std::stable_sort(out.begin(), out.end(),
                     [](const std::string& a, const std::string& b) { return number_of(a) < number_of(b); });
  }
  return out;
}

int reactions_of(std::span<const double, config::kBins> k) {
  return static_cast<int>(std::count_if(k.begin(), k.end(), [](double value) { return value != 0.0; }));
}

std::string render_study(const Study& s) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<meta "
      "name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>vbsfit study</title>\n";
  out += kStyle;
  out += "</head>\n<body>\n<h1>vbsfit study</h1>\n";
  out += "<p>Contents: ";
  if (std::any_of(s.rows.begin(), s.rows.end(), [](const StudyRow& r) { return !succeeded(r); })) {
    out += "<a href=\"#not-succeeded-heading\">not succeeded</a> &middot; ";
  }
  out += "<a href=\"#configurations-heading\">configurations</a> &middot; <a "
         "href=\"#models-heading\">tags compared</a> &middot; <a href=\"#explorer-heading\">coefficient "
         "explorer</a> &middot; <a href=\"#flags-heading\">flags</a> &middot; <a "
         "href=\"#provenance-heading\">tables and provenance</a></p>\n";
  out += totals(s) + meaning(s);
  out += not_succeeded(s);
  out += configurations(s);
  out += models(s);
  out += explorer(s);
  out += flags(s);
  out += provenance(s);
  out += kScript;
  out += "</body>\n</html>\n";
  return out;
}

}  // namespace report
