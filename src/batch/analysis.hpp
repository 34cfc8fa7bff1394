// The analysis of a configuration's recorded fit (its fit.dump in the
// report): the numbers the tables show and the configuration's page, made
// from one reading of the record and one assessment of each solve. The runner
// does it in a process of its own for every run that succeeded and every
// kept configuration, beside the runs and apart from them, so that nothing in
// it can change a run; a joined report does it in turn (batch/pages.hpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "batch/outcome.hpp"
#include "batch/run_set.hpp"
#include "report/page_notes.hpp"

namespace batch {

struct Analysis {
  std::optional<FitNumbers> numbers;  // the fit's numbers, when they can be had
  std::string note;                   // otherwise why not
  bool page = false;                  // its page is written
  std::string error;                  // why its page could not be written
};

// How an analysis judges a fit, and what its page says of the batch.
struct AnalysisSettings {
  double se_limit = quality::kDefaultSeLimit;
  double misfit_limit = quality::kDefaultMisfitLimit;
  // The batch's version, command line, date and host, which the page of a
  // fit this batch made shows; the analysis adds the inputs and the misfit
  // figures.
  report::PageNotes notes;
  // The runs' working directory, where the inputs' sizes, times and digests
  // are read; empty: the page gives their paths only.
  std::string workdir;
};

// The analysis of the record of `config`'s fit in `report`, flagged under
// `settings`' limits, and its page written (when `page`) if the numbers can be had. A
// configuration kept from an earlier run (`kept_results` names its results
// file) gets numbers only when the record gives exactly that file's
// coefficients and molar masses; its note is then the message of its row
// ("kept: ..."). Otherwise the note is why the record cannot be read.
Analysis analyze(const std::string& report, const Configuration& config,
                 const AnalysisSettings& settings,
                 const std::string* kept_results = nullptr, bool page = true);

// The analysis as bytes for the batch, at most kAnalysisBytes of them (notes
// and errors cut short), and back; false when `bytes` is not a whole one.
inline constexpr std::size_t kAnalysisBytes = 6144;  // within WorkerPool::kMaxResult
std::string encode(const Analysis& analysis);
bool decode(std::string_view bytes, Analysis& analysis);

}  // namespace batch
