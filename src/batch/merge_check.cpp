#include "batch/merge_check.hpp"

#include "batch/run_inputs.hpp"

#include "batch/files.hpp"
#include "batch/record.hpp"
#include "config/config.hpp"

namespace batch {
namespace {

// A record that shows numbers, whose files the report stands for.
bool fitted(const study::Stored& stored) {
  return !stored.coefficients.empty() && (stored.record.state == state_name(State::succeeded) ||
                                          stored.record.state == state_name(State::kept));
}

// What a configuration becomes when its record cannot stand as it is.
// Returns false when it stands.
bool outcome_after(const study::Stored& stored, const Analysis& analysis, Outcome& outcome) {
  const study::ConfigurationRecord& r = stored.record;
  outcome = outcome_of(stored);
  outcome.inputs = analysis.inputs;
  outcome.results_sha256 = analysis.results_sha256;
  switch (analysis.verdict) {
    case Analysis::Verdict::unchanged:
      return false;
    case Analysis::Verdict::fitted:
      // A record without its digest is of a share of version 3 or before: the
      // same state.
      if (!stored.record_sha256.empty()) move_on(outcome, Event::checked);
      outcome.numbers = analysis.numbers;
      outcome.input_records = analysis.input_records;
      outcome.message.clear();
      return true;
    case Analysis::Verdict::stale:
      outcome.message = analysis.results_sha256.empty()
                            ? "its results file " + r.results_path + " cannot be read"
                            : analysis.note;
      break;
    case Analysis::Verdict::unfitted:
      outcome.message = "its results file could not be checked: " + analysis.note;
      break;
  }
  move_on(outcome, Event::found_stale);
  outcome.numbers.reset();
  outcome.input_records = 0;
  return true;
}

}  // namespace

std::string check_against_files(study::Study& db, const std::string& workdir,
                                std::vector<std::string>& notes) {
  // The records only, without their rows: what a check replaces them with
  // is made anew.
  std::vector<study::Stored> checked;
  std::vector<study::BatchRecord> batches;
  if (study::Error error = db.read_each(batches, [&](study::Stored& stored) {
        if (!fitted(stored)) return true;
        checked.push_back({std::move(stored.record), {}, {}, {}, std::move(stored.record_sha256)});
        return true;
      })) {
    return error.message;
  }
  AnalysisSettings settings;
  take_limits(batches, settings);
  int without_inputs = 0, without_results = 0;
  const RecordedSpecies species(batches);
  for (study::Stored& stored : checked) {
    // Checked in the layout and against the constants it was fitted with:
    // its share's species row.
    const RunEntry entry = entry_of(stored, species);
    const bool hashed = !stored.record_sha256.empty();
    // Read as its share read it.
    InputSource source;
    if (!recorded_source(stored.record, source)) {
      return display_name(entry.config) + " is recorded as read in the format " +
             stored.record.input_format + " with the variables '" +
             stored.record.input_variables + "', which this program cannot read";
    }
    const Analysis analysis =
        analyze({entry, workdir, {}, settings, false, hashed ? &stored.record : nullptr,
                 config::RateConstants{stored.record.kp, stored.record.k}, &source});
    Outcome outcome;
    if (!outcome_after(stored, analysis, outcome)) continue;
    if (analysis.verdict == Analysis::Verdict::unfitted &&
        analysis.note.rfind("its inputs cannot be read", 0) == 0) {
      ++without_inputs;
    } else if (analysis.verdict == Analysis::Verdict::stale && analysis.results_sha256.empty()) {
      ++without_results;
    }
    if (analysis.verdict == Analysis::Verdict::fitted && hashed) {
      notes.push_back(display_name(entry.config) + ": its share recorded other files than " +
                      stored.record.results_path +
                      " and its inputs are now; its numbers are its results file's, checked in "
                      "memory");
    }
    study::Stored row = stored_of(entry, outcome, stored.record.batch);
    // The constants it was fitted with are its record's.
    row.record.known_species = stored.record.known_species;
    row.record.kp = stored.record.kp;
    row.record.k = stored.record.k;
    if (study::Error error = db.record(row.record, row.coefficients, row.fits)) {
      return error.message;
    }
  }
  auto lacks = [&](const char* what, int count) {
    if (count == 0) return;
    notes.push_back("the working directory " + workdir + " lacks the " + what + " of " +
                    std::to_string(count) + (count == 1 ? " configuration" : " configurations") +
                    ": their records cannot be checked and their pages cannot be drawn (give "
                    "the shares' working directory with --workdir)");
  };
  lacks("inputs", without_inputs);
  lacks("results files", without_results);
  return {};
}

}  // namespace batch
