#include "report/report.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <utility>

#include "report/chart.hpp"
#include "report/html.hpp"
#include "report/page_notes.hpp"
#include "quality/models.hpp"

namespace report {
namespace {

using quality::Flag;

// The page's style sheet, inline so that a page needs nothing else.
// Undetermined and no-effect cells differ in border style as well as colour,
// and say what they are in words, so print and colour-blind readers see it.
// The charts' shared frame is drawn by <use>: only selectors without
// ancestors reach its copies, so the charts' rules name classes alone.
constexpr const char* kStyle = R"(<style>
body{font-family:sans-serif;margin:1.5em;color:#111;line-height:1.35}
p{max-width:62em}
h1{font-size:1.4em}h2{font-size:1.15em;margin-top:1.6em}
table{border-collapse:collapse;margin:.5em 0 1em}
caption{text-align:left;padding-bottom:.3em}
th,td{border:1px solid #999;padding:.25em .5em;text-align:right;vertical-align:top}
th{background:#eee}
tbody th,.text{text-align:left}
#fits td{white-space:nowrap}
.undetermined{background:#fde2c8;border:2px dashed #b35900}
.no-effect{background:#e6e6e6;color:#555;border:2px dotted #666}
td.misfit,.misfit td,.misfit th{background:#f9d0c4}
#coefficients .misfit{border:2px solid #b2182b}
s{text-decoration-color:#b2182b}
.negative,.misfit-mark{color:#b2182b;font-weight:bold}
#coefficients small,#coefficients b,#coefficients em{display:block;white-space:nowrap;font-size:.8em}
#coefficients small{font-size:.9em;color:#333}
#coefficients b{white-space:normal;max-width:11em}
.message{font-family:monospace;white-space:pre-wrap;overflow-wrap:anywhere}
.note{font-style:italic}
figure{margin:1em 0 2em;break-inside:avoid;page-break-inside:avoid}
figcaption{margin-bottom:.3em;max-width:62em}
figure svg{display:block;width:100%;max-width:1150px;height:auto;font:14px sans-serif}
figure svg+svg{margin-top:.4em}
.chart-frame{position:absolute;width:0;height:0}
.grid{fill:none;stroke:#e2e2e2;stroke-width:.7}
.frame{fill:none;stroke:#888}
.zero{stroke:#777;stroke-dasharray:4 3}
.tick{stroke:#888}
.axis-title,.panel-title{font-weight:bold;fill:#333;font-size:.8em}
.observed,.fitted,.residual{fill:none;stroke-linejoin:round;stroke-linecap:round}
.observed{stroke:#3b7dd8;fill:#a9c9ef;stroke-width:.8}
.key.observed{stroke-width:4;stroke:#8db7ea}
.fitted{stroke:#d9480f;stroke-width:2.2}
.residual{stroke:#666;stroke-width:.6;fill:#aaa}
.stored,.replayed{fill:none;stroke-linejoin:round;stroke-linecap:round}
.stored{stroke:#8db7ea;stroke-width:6}
.replayed{stroke:#d9480f;stroke-width:1.8}
@media (max-width:900px){body{margin:.6em}figure svg{font-size:17px}table{font-size:.9em}
th,td{padding:.2em .3em}}
@media print{body{margin:0}th,td{print-color-adjust:exact;-webkit-print-color-adjust:exact}}
</style>
)";

std::string head(const std::string& title) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
         title + "</title>\n" + kStyle + "</head>\n<body>\n";
}

constexpr const char* kFoot = "</body>\n</html>\n";
// What a page of six charts of 1440 intervals takes at most, about: reserved at once.
constexpr std::size_t kPageSize = 128 * 1024;

// The verdict's name as a class: "no effect" becomes "no-effect".
std::string verdict_class(quality::Verdict verdict) {
  std::string name = quality::verdict_name(verdict);
  std::replace(name.begin(), name.end(), ' ', '-');
  return name;
}

// A table cell; its end tag is implied by the next cell or the row's end.
std::string cell(const std::string& body, const char* cls = nullptr) {
  return std::string("<td") + (cls != nullptr ? std::string(" class=\"") + cls + "\"" : "") + ">" + body;
}

// A row's heading, left-aligned by the style sheet.
std::string row_heading(const std::string& body) { return "<th>" + body; }

std::string how_to_read(double se_limit) {
  return "<section id=\"how-to-read\">\n<h2>How to read this</h2>\n<p>One row per target bin: "
         "its rate of change, fitted over the run's intervals as a combination of the reaction "
         "rates of the precursor (VOC) and the six bins (VB1 to VB6). A cell gives the "
         "coefficient as the results file reports it (the target bin's own term shifted by +1, "
         "into [0, 1]) and, after &plusmn;, its standard error: the noise of the stored values "
         "propagated through the fit.</p>\n<p><strong>Trusted</strong>: standard error at most " +
         shown(se_limit, 6) +
         ", a column independent of the others, in a bin that fits. <strong>Undetermined</strong> "
         "(dashed): a larger error, or a column the data cannot tell apart from the others; the "
         "number is not a result. <strong>No effect</strong> (dotted, grey): rate constant 0 (tags "
         "static, no56, no6), the term is not in the fit. <strong>Misfit</strong> (red, struck "
         "through): the residuals drift (the lag-1 autocorrelation of their running sum, the "
         "model's error in the stored values, is above the misfit limit) and the fit run alone "
         "strays from the bin by more than the replay limit; whatever its standard errors, do "
         "not use it. Residuals that drift while the replay stays within the limit are not "
         "flagged: the replay error says how much that matters. <em>At bound</em>: on a bound, its standard error only a guide. A negative "
         "R&sup2;: worse than the bin's mean.</p>\n<p>The charts show the fit run alone (thin "
         "orange): the coefficients as the model, from the first record's bins, driven by the "
         "observed precursor, against the observed values (broad blue), for the bins' total and "
         "each bin. Its <strong>replay error</strong>, the largest distance in per cent of the "
         "observed peak, says how far the parameterisation holds on its own. Below, each bin's "
         "rate of change, observed (a band as wide as its noise) and fitted, over the whole run "
         "and, on its own scale, after the first tenth, with the residual underneath. Values are "
         "in the unit of the input files.</p>\n</section>\n";
}

// One coefficient: its verdict as a class (the row says the bin, the column
// the term), the value and standard error as shown and, once, in full
// precision; any verdict but trusted in words below them.
std::string coefficient_cell(int c, const BinSeries& fit, bool bin_misfit) {
  const quality::Coefficient& k = fit.fit.coefficients[c];
  const double value = fit.reported[c];
  const quality::Verdict verdict = quality::verdict_of(k, bin_misfit);
  const bool misfit = verdict == quality::Verdict::misfit;
  std::string out = "<td class=\"" + verdict_class(verdict) + (k.at_bound ? " at-bound" : "") +
                    "\" data-value=\"" + exact(value) + "\" data-se=\"" +
                    exact(k.standard_error) + "\">";
  // A misfit bin's value is struck through: no longer to be relied on.
  out += misfit ? "<s>" + shown(value, 4) + "</s>" : shown(value, 4);
  if (k.flag != Flag::no_effect) out += "<small>\u00b1 " + shown(k.standard_error, 2) + "</small>";
  if (misfit) {
    out += "<b class=\"misfit-mark\">misfit</b>";
  } else if (verdict != quality::Verdict::trusted) {
    out += "<b>" + std::string(quality::verdict_name(verdict)) +
           (k.dependent ? " (column dependent on others)" : "") + "</b>";
  }
  if (k.at_bound) out += "<em>at bound</em>";
  return out;
}

// A share as a percentage with two significant digits ("0.12 %", "58 %"),
// whole from 100 % on; "n/a"
// when not known.
std::string percent(double share) {
  if (std::isnan(share)) return "n/a";
  const double v = 100.0 * share;
  // Whole per cents from 100 on: "130 %", not "1.3e+02 %".
  const int digits = std::fabs(v) >= 100 ? std::min(15, static_cast<int>(std::log10(std::fabs(v))) + 1) : 2;
  return shown(v, digits) + " %";
}

// Target bin r + 1's replay error; NaN when its replay is not known.
double replay_error(const PageData& c, std::size_t r) {
  return r < c.replay.bin.size() ? c.replay.bin[r].max_error : std::nan("");
}

bool misfit_of(const PageNotes& notes, std::size_t r) {
  return r < notes.bins.size() && notes.bins[r].misfit;
}

std::string coefficient_table(const PageData& c, const PageNotes& notes) {
  std::string out =
      "<table id=\"coefficients\">\n<caption>Coefficients as the results file orders them: one "
      "row per target bin, one column per term, each &plusmn; its standard error.</caption>\n"
      "<thead><tr><th class=\"text\">Target bin";
  for (int t = 0; t < config::kCoefficients; ++t) out += "<th>" + config::term_label(t);
  out += "</tr></thead>\n<tbody>\n";
  for (std::size_t r = 0; r < c.bins.size(); ++r) {
    const int bin = static_cast<int>(r) + 1;
    const bool misfit = misfit_of(notes, r);
    out += "<tr data-bin=\"" + std::to_string(bin) + "\">" +
           row_heading(config::term_label(bin) + (misfit ? " <span class=\"misfit-mark\">misfit</span>" : ""));
    for (int t = 0; t < config::kCoefficients; ++t) out += coefficient_cell(t, c.bins[r], misfit);
    out += "</tr>\n";
  }
  return out + "</tbody>\n</table>\n";
}

std::string fit_table(const PageData& c, const PageNotes& notes) {
  std::string out =
      "<table id=\"fits\">\n<caption>Fit of each target bin: residual sum of squares, RMS "
      "residual, R&sup2; of its rate of change, relative residual norm, coefficients strictly "
      "inside their bounds (k), the residual standard deviation s, the residuals' lag-1 "
      "autocorrelation and drift, AIC = n ln(RSS/n) + 2k (the index compares tags by it) and "
      "the replay error. A bin is misfit when its drift is above " +
      shown(notes.misfit_limit, 3) + " and its replay error above " +
      percent(notes.replay_limit) + ".</caption>\n<thead><tr><th "
      "class=\"text\">Target bin<th>RSS<th>RMS<th>R&sup2;<th>Relative residual<th>k<th>s"
      "<th>Auto&shy;corre&shy;lation<th>Drift<th>AIC<th>Replay error</tr></thead>\n<tbody>\n";
  for (std::size_t r = 0; r < c.bins.size(); ++r) {
    const quality::Fit& f = c.bins[r].fit;
    const int bin = static_cast<int>(r) + 1;
    const bool misfit = misfit_of(notes, r);
    const double rho = r < notes.bins.size() ? notes.bins[r].autocorrelation : std::nan("");
    const double drift = r < notes.bins.size() ? notes.bins[r].drift : std::nan("");
    const int rows = static_cast<int>(f.residual.size());
    out += "<tr data-bin=\"" + std::to_string(bin) + "\" data-misfit=\"" + (misfit ? "true" : "false") +
           "\"" + (misfit ? " class=\"misfit\"" : "") + ">" +
           row_heading(config::term_label(bin) + (misfit ? " <span class=\"misfit-mark\">misfit</span>" : "")) +
           cell(shown(f.rss, 4)) + cell(shown(f.rms, 4)) +
           cell(shown(f.r_squared, 7), f.r_squared < 0 ? "negative" : nullptr) +
           cell(shown(f.relative_residual, 4)) + cell(std::to_string(f.free_count)) +
           cell(shown(std::sqrt(f.residual_variance), 4)) +
           "<td class=\"autocorrelation\" data-autocorrelation=\"" + exact(rho) + "\">" + shown(rho, 3) +
           "<td class=\"drift\" data-drift=\"" + exact(drift) + "\">" + shown(drift, 4) +
           cell(shown(quality::aic(rows, f.rss, f.free_count), 7), "aic") +
           "<td class=\"replay-error\" data-replay-error=\"" + exact(replay_error(c, r)) + "\">" +
           percent(replay_error(c, r)) + "</tr>\n";
  }
  return out + "</tbody>\n</table>\n";
}

std::string provenance(const PageData& c, const PageNotes& notes);

std::string run_tables(const PageData& c, const PageNotes& notes) {
  std::string out =
      "<h2>Rate constants</h2>\n<table id=\"rates\">\n<caption>First-order rate constants, per "
      "second" +
      std::string(c.known_species ? "" : ": the default ones, for a species not in the table") +
      ".</caption>\n<thead><tr><th>KP";
  for (int j = 1; j <= config::kBins; ++j) out += "<th>K(" + std::to_string(j) + ")";
  out += "</tr></thead>\n<tbody><tr>" + cell(shown(c.rates.kp, 6));
  for (double k : c.rates.k) out += cell(shown(k, 6));
  out += "</tr></tbody>\n</table>\n";

  out += provenance(c, notes);

  out += "<h2>Mean molar masses</h2>\n<table id=\"molar-masses\">\n<caption>Mean molar mass of "
         "each bin over the run, as the results file's last record gives it.</caption>\n"
         "<thead><tr>";
  for (int j = 1; j <= config::kBins; ++j) out += "<th>" + config::term_label(j);
  out += "</tr></thead>\n<tbody><tr>";
  for (double w : c.molar_masses) out += cell(shown(w, 6));
  return out + "</tr></tbody>\n</table>\n";
}

// How the fit was made and from what: the batch's version, command, date and
// host, and the files with their sizes, times and hashes where recorded.
std::string provenance(const PageData& c, const PageNotes& notes) {
  auto known = [](const std::string& text) { return text.empty() ? std::string("not recorded") : escape(text); };
  std::string out =
      "<section id=\"provenance\">\n<h2>Provenance</h2>\n<table id=\"fitted-by\">\n<tbody>\n"
      "<tr>" + row_heading("Batch") + cell(known(notes.batch), "text") + "</tr>\n"
      "<tr>" + row_heading("Program version") + cell(known(notes.version), "text") +
      "</tr>\n<tr>" + row_heading("Command") + cell(known(notes.command), "text message") +
      "</tr>\n<tr>" + row_heading("Fitted") + cell(known(notes.date), "text") +
      "</tr>\n<tr>" + row_heading("Host") + cell(known(notes.host), "text") +
      "</tr>\n</tbody>\n</table>\n<table id=\"inputs\">\n<caption>Files, paths relative to the working "
      "directory of the run.</caption>\n<thead><tr><th class=\"text\">File<th class=\"text\">Path<th>Bytes"
      "<th class=\"text\">Modified<th class=\"text\">SHA-256</tr></thead>\n<tbody>\n";
  std::vector<InputRecord> files = notes.inputs;
  if (files.empty()) {
    files = {{"Precursor", c.inputs.precursor, -1, "", ""}, {"Bins", c.inputs.bins, -1, "", ""},
             {"Molar masses", c.inputs.molar_masses, -1, "", ""}};
  }
  files.push_back({"Results file", c.results, -1, "", notes.results_sha256});
  for (const InputRecord& f : files) {
    out += "<tr>" + row_heading(escape(f.role)) +
           cell(escape(f.path), "text path") + cell(f.bytes >= 0 ? std::to_string(f.bytes) : "") +
           cell(escape(f.modified), "text") + cell(escape(f.sha256), "text message") + "</tr>\n";
  }
  return out + "</tbody>\n</table>\n</section>\n";
}

// The replay figures of a series in words, for a caption.
std::string replay_words(const quality::ReplayError& e) {
  return "Replay error <strong>" + percent(e.max_error) + "</strong> of the peak (RMS " +
         percent(e.rms_error) + " of the mean).";
}

// Series `bin` (0: the bins' total, 1 ... 6: that bin) of records x 6
// values, a record's bins adjacent.
std::vector<double> series_of(const std::vector<double>& bins, int bin) {
  std::vector<double> out;
  for (std::size_t i = 0; i + config::kBins <= bins.size(); i += config::kBins) {
    double v = 0.0;
    if (bin == 0) {
      for (int j = 0; j < config::kBins; ++j) v += bins[i + j];
    } else {
      v = bins[i + bin - 1];
    }
    out.push_back(v);
  }
  return out;
}

// The replay charts are drawn when the stored bins and their replay are
// known and agree in size with the run's records.
bool replay_known(const PageData& c) {
  return !c.stored_bins.empty() && c.stored_bins.size() == c.time.size() * config::kBins &&
         c.replay.bins.size() == c.stored_bins.size();
}

// Appends the bins' total as replayed, and for every target bin its replay
// and its rates of change.
void append_charts(std::string& out, const PageData& c, const PageNotes& notes) {
  out += "<h2>The fit run alone, and the rates of change</h2>\n";  // how to read them: see how_to_read
  const bool replayed = replay_known(c);
  TimeAxis records;
  if (replayed) {
    std::vector<double> hours;
    for (double s : c.time) hours.push_back(s / 3600.0);
    records = time_axis(hours);
    render_replay_frame(out, records, "replay-frame");
    out += "<figure class=\"total\" id=\"chart-total\"><figcaption><strong>The bins' total</strong>. " +
           replay_words(c.replay.total) +
           (std::isnan(c.replay.weighted_total.max_error)
                ? std::string()
                : " Weighted by the mean molar masses: " + percent(c.replay.weighted_total.max_error) + ".") +
           "</figcaption>\n";
    render_replay_chart(out, records, "replay-frame", series_of(c.stored_bins, 0),
                        series_of(c.replay.bins, 0), "The bins' total");
    out += "</figure>\n";
  } else {
    out += "<p class=\"note\" id=\"no-replay\">The fit run alone is not shown: " +
           (c.replay.problem.empty() ? std::string("the stored bins were not given")
                                     : escape(c.replay.problem)) +
           ".</p>\n";
  }
  TimeAxis time;  // of the bins before, while they have as many intervals
  std::string frame;  // its chart frame's id
  for (std::size_t r = 0; r < c.bins.size(); ++r) {
    const BinSeries& bin = c.bins[r];
    const std::size_t n = bin.observed.size();
    if (r == 0 || time.hours.size() != n) {
      std::vector<double> hours(n, std::nan(""));
      for (std::size_t i = 0; i < n && i + 1 < c.time.size(); ++i) {
        hours[i] = (c.time[i] + c.time[i + 1]) / 2.0 / 3600.0;  // the middle of interval i
      }
      time = time_axis(hours);
      frame = "chart-frame-" + std::to_string(r + 1);
      render_chart_frame(out, time, frame);
    }
    const int target = static_cast<int>(r) + 1;
    std::string note, replay;
    if (replayed && r < c.replay.bin.size()) {
      note = replay_words(c.replay.bin[r]);
      render_replay_chart(replay, records, "replay-frame", series_of(c.stored_bins, target),
                          series_of(c.replay.bins, target), "VB" + std::to_string(target));
    }
    if (r < notes.bins.size() && !std::isnan(notes.bins[r].drift)) {
      note += (note.empty() ? "" : " ") + std::string("Drift of the residuals ") + shown(notes.bins[r].drift, 4);
      note += notes.bins[r].misfit
                  ? ": <span class=\"misfit-mark\">misfit</span>, the model misses part of the bin's "
                    "dynamics and its replay strays beyond the limit."
                  : ".";
    }
    render_chart(out, target, time, frame, bin.observed, bin.fit.fitted, bin.fit.residual, note, replay);
  }
}

}  // namespace


BinSeries bin_series(const quality::Problem& solve, int target, quality::Fit fit) {
  BinSeries bin;
  bin.observed.assign(solve.b.begin(), solve.b.end());
  bin.reported.assign(solve.x.begin(), solve.x.end());
  bin.reported[target] = config::shift_own(bin.reported[target]);
  bin.fit = std::move(fit);
  return bin;
}

double worst_r_squared(std::span<const double> r_squared) {
  double worst = std::numeric_limits<double>::quiet_NaN();
  for (double r2 : r_squared) {
    if (!std::isnan(r2) && !(r2 >= worst)) worst = r2;
  }
  return worst;
}

std::string page_name(std::string_view species, std::string_view scenario, std::string_view tag) {
  return file_stem(species, scenario, tag) + ".html";
}

std::string file_stem(std::string_view species, std::string_view scenario, std::string_view tag) {
  std::string name;
  for (std::string_view part : {species, scenario, tag}) {
    if (!name.empty()) name += ',';
    for (unsigned char ch : part) {
      const bool plain = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                         (ch >= '0' && ch <= '9') || ch == '.' || ch == '_' || ch == '-';
      if (plain) {
        name += static_cast<char>(ch);
      } else {
        char hex[4];
        std::snprintf(hex, sizeof hex, "~%02X", ch);
        name += hex;
      }
    }
  }
  return name;
}

std::string render_page(const PageData& c, double se_limit) {
  return render_page(c, PageNotes{}, se_limit);
}

std::string render_page(const PageData& c, const PageNotes& notes, double se_limit) {
  const std::string name = escape(c.species) + " &middot; " + escape(c.scenario) + " &middot; " +
                           escape(c.tag);
  std::string out = head("vbsfit: " + name);
  out.reserve(kPageSize);
  out += "<p><a href=\"index.html\">All configurations</a></p>\n";
  out += "<h1>Species <span id=\"species\">" + escape(c.species) +
         "</span>, scenario <span id=\"scenario\">" + escape(c.scenario) +
         "</span>, tag <span id=\"tag\">" + escape(c.tag) + "</span></h1>\n";
  if (!c.known_species) {
    out += "<p class=\"note\">This species is not in the species table: the default rate "
           "constants were used.</p>\n";
  }
  if (!notes.date.empty() || !notes.version.empty()) {
    out += "<p id=\"made\">Fitted " + (notes.date.empty() ? "" : escape(notes.date) + " ") +
           (notes.version.empty() ? "" : "by vbsfit-batch " + escape(notes.version) + " ") +
           (notes.host.empty() ? "" : "on " + escape(notes.host) + "; ") +
           "<a href=\"#provenance\">command and inputs</a> below.</p>\n";
  }
  std::array<int, std::size(quality::kVerdicts)> verdicts{};
  int misfits = 0;
  for (std::size_t r = 0; r < c.bins.size(); ++r) {
    misfits += misfit_of(notes, r);
    for (const quality::Coefficient& k : c.bins[r].fit.coefficients) {
      ++verdicts[static_cast<std::size_t>(quality::verdict_of(k, misfit_of(notes, r)))];
    }
  }
  out += "<p id=\"flag-summary\">Of " +
         std::to_string(static_cast<int>(c.bins.size()) * config::kCoefficients) +
         " coefficients: ";
  for (quality::Verdict v : quality::kVerdicts) {
    const int n = verdicts[static_cast<std::size_t>(v)];
    out += "<span data-verdict=\"" + verdict_class(v) + "\">" + std::to_string(n) + "</span> " +
           (v == quality::Verdict::no_effect ? "with no effect; " : quality::verdict_name(v) +
                                                                    std::string(", "));
  }
  out += (notes.bins.empty() ? std::string("misfit not assessed")
                             : "<span class=\"misfit-count\" data-count=\"" + std::to_string(misfits) +
                                   "\">" + std::to_string(misfits) + "</span> of " +
                                   std::to_string(c.bins.size()) + " target bins misfit") +
         ".</p>\n";
  out += how_to_read(se_limit);
  out += "<h2>Coefficients</h2>\n" + coefficient_table(c, notes);
  out += "<h2>Fit of each target bin</h2>\n" + fit_table(c, notes);
  append_charts(out, c, notes);
  out += run_tables(c, notes);
  out += kFoot;
  return out;
}

}  // namespace report
