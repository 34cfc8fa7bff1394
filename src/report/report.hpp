// The study report: self-contained HTML pages (no scripts, fonts, styles or
// images from elsewhere; readable from disk and in print), made by pure
// functions from the numbers of each configuration's fit.
//
//   index.html         the study view (report/study_view.hpp)
//   <page_name(...)>   one page per fitted configuration: the 6 x 7
//                      coefficients with standard errors and flags, the fit
//                      figures of every target bin, the rate constants,
//                      input paths and mean molar masses, and one chart per
//                      target bin
//
// Every text that comes from a user or a file is escaped. Elements that tests
// and scripts look for carry ids, classes and data- attributes, documented
// with the functions below.
#pragma once

#include <array>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
#include "quality/quality.hpp"
#include "quality/replay.hpp"

namespace report {

// One target bin of a fitted configuration as its page shows it.
struct BinSeries {
  std::vector<double> observed;  // the bin's rate of change per interval: the solve's b
  std::vector<double> reported;  // the seven coefficients as the results file reports them
  quality::Fit fit;              // quality::assess() of the solve
};

// A target bin's numbers from its solve: observed = b, reported = x with the
// target's own coefficient (c = target) shifted (config::shift_own), and
// `fit`, quality::assess() of the solve. target is 1 ... 6.
BinSeries bin_series(const quality::Problem& solve, int target, quality::Fit fit);

// One fitted configuration: what its page is drawn from.
struct PageData {
  std::string species, scenario, tag;
  bool known_species = true;  // false: not in the species table, default constants used
  config::RateConstants rates;
  config::InputPaths inputs;  // as the run reads them, relative to its working directory
  std::string results;        // the results file, relative to the working directory
  std::array<double, config::kBins> molar_masses{};  // AVGWMOL(1 ... 6)
  std::vector<double> time;   // TIME(1 ... 1441), seconds
  std::vector<BinSeries> bins;   // target bins 1 ... 6
  // The stored bins record by record (records x 6, a record's bins
  // adjacent), and the fitted model run alone over the same records
  // (quality::replay). Empty: not known, and the page says so.
  std::vector<double> stored_bins;
  quality::Replay replay;
};

// The lowest of the R² of a configuration's target bins that are known (not
// NaN); NaN when none is.
double worst_r_squared(std::span<const double> r_squared);

// The file name of a configuration's page: the three names joined by ',',
// every byte other than A-Z a-z 0-9 . _ - written as ~XX (hex), then ".html".
// Distinct configurations get distinct names, and the name needs no
// escaping in a file system or a link.
std::string page_name(std::string_view species, std::string_view scenario, std::string_view tag);
// The same name without ".html": what names a configuration's other files.
std::string file_stem(std::string_view species, std::string_view scenario, std::string_view tag);

// A configuration's page. Hooks: table#coefficients with a tr[data-bin] per
// target bin 1 ... 6 and in it one td per term, in the order of the column
// headings VOC ... VB6; the cell's classes say its flag (determined,
// undetermined or no-effect) and at-bound; data-value and data-se hold the
// coefficient and its standard error in full precision; undetermined and
// no-effect cells say the flag in words in a b, bound hits "at bound" in an
// em; table#fits with tr[data-bin]; table#rates, table#inputs,
// table#molar-masses; one figure.chart per target bin (see render_chart),
// with the bin's replay chart (render_replay_chart) before its rates of
// change when the replay is known, and figure.total#chart-total with the replay
// chart of the bins' total; td.replay-error in table#fits (data-replay-error,
// the largest error over the peak, NaN when not known).
std::string render_page(const PageData& configuration, double se_limit);

}  // namespace report
