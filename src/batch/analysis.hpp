// The analysis of a configuration's fit: its inputs read and fitted again in
// memory (driver/in_memory.hpp, no file written), the fit compared byte for
// byte with its results file, the numbers the tables show and, when asked,
// its page. The runner does it in a process of its own for every run that
// succeeded and every configuration whose results file was there before the
// batch, beside the runs and apart from them, so that nothing in it can
// change a run; a joined report does it in turn (batch/pages.hpp).
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "batch/outcome.hpp"
#include "batch/run_set.hpp"
#include "report/page_notes.hpp"
#include "study/study.hpp"

namespace batch {

struct InputSource;  // batch/run_inputs.hpp

// What to analyse.
// The limits a batch judges its fits by, and what its pages say of it.
struct AnalysisSettings {
  double se_limit = quality::kDefaultSeLimit;
  double misfit_limit = quality::kDefaultMisfitLimit;
  double replay_limit = quality::kDefaultReplayLimit;
  // The batch's version, command line, date and host, which the page of a
  // fit this batch made shows; the analysis adds the inputs and the misfit
  // figures.
  report::PageNotes notes;
  // The facts of each batch of the study, by its number: the page of a fit
  // an earlier batch made (or a merge's share) is signed with that batch.
  std::map<std::int64_t, report::PageNotes> signatures;
};

// Sets the limits of `settings` to those the first of `batches` that
// recorded a replay limit judged its fits by; none left as they are. A
// batch recorded before the replay (no replay limit) judged misfits by the
// autocorrelation of the residuals, which its misfit limit is of: only its
// se_limit is taken, when no batch recorded one, and the defaults stand for
// the others.
void take_limits(const std::vector<study::BatchRecord>& batches, AnalysisSettings& settings);

struct AnalysisRequest {
  const RunEntry& entry;  // its configuration and the species row it takes
  std::string workdir;  // where the runs run
  std::string report;   // where its page goes
  const AnalysisSettings& settings;
  bool page = false;    // write its page
  // The study's record of it, when the results file was there before this
  // batch: if it still describes the files as they are and was fitted with
  // the constants its species row gives (study::unchanged), no refit
  // is needed (unless its page is asked for and missing).
  const study::ConfigurationRecord* stored = nullptr;
  // The constants to fit with, when not those its species row gives:
  // a merge checks a share's record against the constants it was fitted with.
  std::optional<config::RateConstants> rates = std::nullopt;
  // Where its inputs are read from; null: the batch's (batch/run_inputs.hpp).
  const InputSource* source = nullptr;
  // The batch that fitted it, when the study records one (0: the stored
  // record's batch, or, without one, this batch): its page is signed with it.
  std::int64_t fitted_by = 0;
};

struct Analysis {
  enum class Verdict : char {
    fitted,     // the results file is exactly what its inputs fit to: `numbers`
    unchanged,  // the study's record still describes the files: its numbers stand
    stale,      // the results file is not what its inputs fit to
    unfitted,   // the inputs could not be read or fitted: `note` says why
  };
  Verdict verdict = Verdict::unfitted;
  std::optional<FitNumbers> numbers;
  std::array<study::FileRecord, 3> inputs;  // as observed, paths relative to the workdir
  std::string results_sha256;               // of the results file, empty when it cannot be read
  int input_records = 0;                    // surplus_records of its inputs, when fitted
  std::string note;                         // why not fitted, or what is stale
  bool page = false;                        // its page is written
  std::string error;                        // why its page could not be written
};

// The analysis of `request`'s configuration, its page written (when asked)
// if the numbers can be had.
Analysis analyze(const AnalysisRequest& request);

// The input files of `entry` as they are now, read from `source` (paths
// relative to `workdir`; empty for a file the layout or format does not
// read). Returns why one cannot be read, or empty.
std::string observe_inputs(const RunEntry& entry, const std::string& workdir,
                           std::array<study::FileRecord, 3>& inputs,
                           const InputSource& source);

// What the message of a stale configuration says; the other when the
// study's record of it shows other rate constants than it is fitted with now.
std::string stale_note(const Configuration& config);
std::string other_constants_note(const Configuration& config);

// The analysis as bytes for the batch, at most kAnalysisBytes of them (notes
// and errors cut short), and back; false when `bytes` is not a whole one.
inline constexpr std::size_t kAnalysisBytes = 8192;
std::string encode(const Analysis& analysis);
bool decode(std::string_view bytes, Analysis& analysis);

}  // namespace batch
