#include "report/study_view.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <unordered_set>

#include "report/html.hpp"
#include "report/study_view_parts.hpp"

namespace report {

namespace study_page {

using quality::Flag;

Counts count(const StudyRow& r) {
  Counts c;
  if (!r.fitted) return c;
  using quality::Verdict;
  for (const quality::BinFigures& bin : r.bins) {
    for (const quality::Coefficient& k : bin.coefficients) {
      const Verdict v = quality::verdict_of(k, bin.misfit);
      c.trusted += v == Verdict::trusted;
      c.undetermined += v == Verdict::undetermined;
      c.misfit += v == Verdict::misfit;
      c.no_effect += v == Verdict::no_effect;
    }
  }
  return c;
}

int misfit_bins(const StudyRow& r) {
  int n = 0;
  for (const quality::BinFigures& bin : r.bins) n += bin.misfit;
  return n;
}

bool succeeded(const StudyRow& r) { return r.state == "succeeded" || r.state == "kept"; }

}  // namespace study_page

namespace {

using quality::Flag;
using study_page::Counts;
using study_page::count;
using study_page::succeeded;

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
    all.trusted += c.trusted;
    all.undetermined += c.undetermined;
    all.misfit += c.misfit;
    all.no_effect += c.no_effect;
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
  const long long coefficients =
      static_cast<long long>(all.trusted) + all.undetermined + all.misfit + all.no_effect;
  out += ".<br>Coefficients of the fitted configurations: " +
         total("trusted", all.trusted, "trusted + ") +
         total("undetermined", all.undetermined, "undetermined + ") +
         total("misfit", all.misfit, "misfit + ") +
         total("no-effect", all.no_effect, "with no effect = ") +
         total("coefficients", coefficients, "in all") + ".</p>\n";
  return out;
}

// The warning that the verdicts were judged under more than one pair of
// limits (batches over parts of the study with other --se-limit or
// --misfit-limit), each with its count; empty when they were not.
std::string mixed_limits(const Study& s) {
  if (s.limits.size() < 2) return {};
  std::string out =
      "<p id=\"mixed-limits\"><strong>The verdicts were judged under different limits:</strong> ";
  for (std::size_t n = 0; n < s.limits.size(); ++n) {
    const LimitsUsed& l = s.limits[n];
    out += (n > 0 ? "; " : "") + std::to_string(l.configurations) +
           (l.configurations == 1 ? " configuration" : " configurations") +
           " under a standard error limit of " + shown(l.se_limit, 6) +
           ", a misfit limit of " + shown(l.misfit_limit, 3) +
           (std::isnan(l.replay_limit) ? std::string(" and no replay limit recorded")
                                       : " and a replay limit of " + shown(l.replay_limit, 3));
  }
  return out + ". The sentence above gives the limits most were judged under; run vbsfit-batch "
               "over the whole study with one --se-limit, --misfit-limit and --replay-limit "
               "to judge them alike.</p>\n";
}

std::string meaning(const Study& s) {
  const std::string limit = shown(s.misfit_limit, 3);
  return "<p>Each coefficient has one verdict of four. It is <strong>undetermined</strong> "
         "when its standard error exceeds " +
         shown(s.se_limit, 6) +
         " or its column cannot be told apart from the others: the data do not pin it down. It "
         "is <strong>misfit</strong> when its target bin is: when the drift of the bin's "
         "residuals (the lag-1 autocorrelation of their running sum, the model's error in the "
         "stored values themselves) exceeds " + limit +
         " and the fit, run alone, strays from the observed bin by more than the replay limit: "
         "the model misses part of this bin's dynamics, by enough to matter, and its "
         "coefficients are not to be trusted whatever their standard errors. It has <strong>no "
         "effect</strong> when its column is zero, and is <strong>trusted</strong> otherwise. "
         "The replay error on each page says how closely the fit run alone follows the "
         "simulation; compare the tags below. A "
         "<strong>negative R&sup2;</strong> means the fit is worse than the bin's mean "
         "value: the model does not describe the data.</p>\n" + mixed_limits(s);
}
// ---- not succeeded ----------------------------------------------------------

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
  out += study_page::kStyle;
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
  out += study_page::configurations(s);
  out += study_page::models(s);
  out += study_page::explorer(s);
  out += study_page::flags(s);
  out += provenance(s);
  out += study_page::kScript;
  out += "</body>\n</html>\n";
  return out;
}

}  // namespace report