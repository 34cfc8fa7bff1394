// What a configuration's page shows beyond its fit: how and when it was
// made, its inputs as the study recorded them, and each target bin's misfit
// figure. The caller fills these from the study's record; a page made
// without them says that they are not known.
#pragma once

#include <limits>
#include <string>
#include <vector>

#include "report/report.hpp"

namespace report {

// One input file as the study recorded it.
struct InputRecord {
  std::string role;      // "Precursor", "Bins", "Molar masses"
  std::string path;      // relative to the run's working directory
  long long bytes = -1;  // -1: not known
  std::string modified;  // as recorded, e.g. "2026-12-07T16:55:54Z"; empty: not known
  std::string sha256;    // hex; empty: not known
};

// The residuals' structure of one target bin.
struct BinMisfit {
  double autocorrelation = std::numeric_limits<double>::quiet_NaN();  // lag 1; NaN: not known
  bool misfit = false;  // drift above the misfit limit, replay error above the replay limit
  double drift = std::numeric_limits<double>::quiet_NaN();  // of the residuals' running sum
};

struct PageNotes {
  std::string batch;    // the number of the batch that fitted it in its study; empty: not known
  std::string version;  // of the program that fitted it
  std::string command;  // the batch's command line
  std::string date;     // when it was fitted
  std::string host;
  std::vector<InputRecord> inputs;  // empty: the configuration's input paths only
  std::vector<BinMisfit> bins;      // per target bin 1 ... 6; empty: not known
  double misfit_limit = quality::kDefaultMisfitLimit;  // the limits the flags were set with
  double replay_limit = quality::kDefaultReplayLimit;
  std::string results_sha256;       // of the results file the page shows; empty: not known
};

// A configuration's page with its notes (render_page's hooks, and): a
// coefficient cell in a misfit bin with class misfit, its value struck
// through (s), and b.misfit-mark "misfit"; table#fits rows with data-misfit and td.autocorrelation
// (data-autocorrelation), td.aic; p#made; section#provenance with table#fitted-by and
// table#inputs. At most about 100 kB for a run of 1441 records.
std::string render_page(const PageData& configuration, const PageNotes& notes,
                        double se_limit);

}  // namespace report
