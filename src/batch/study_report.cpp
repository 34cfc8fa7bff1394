#include "batch/study_report.hpp"

#include "batch/run_inputs.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "batch/analysis.hpp"
#include "batch/csv.hpp"
#include "batch/files.hpp"
#include "batch/pages.hpp"
#include "batch/record.hpp"
#include "batch/report_dir.hpp"
#include "batch/report_layout.hpp"
#include "batch/runner.hpp"
#include "batch/species_table.hpp"
#include "batch/study_index.hpp"
#include "batch/summary.hpp"
#include "batch/tables.hpp"
#include "config/config.hpp"

namespace batch {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kRun = column_index(kRunsColumns, "run");
constexpr std::size_t kSpecies = column_index(kRunsColumns, "species");
constexpr std::size_t kState = column_index(kRunsColumns, "state");
constexpr std::size_t kMessage = column_index(kRunsColumns, "message");

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

// The command line as a shell would take it back: the words that hold
// anything but letters, digits and -_./,=:+ in single quotes.
std::string command_text(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    bool plain = !word.empty();
    for (const char c : word) {
      plain = plain && (std::isalnum(static_cast<unsigned char>(c)) ||
                        std::strchr("-_./,=:+", c) != nullptr);
    }
    text += text.empty() ? "" : " ";
    if (plain) {
      text += word;
      continue;
    }
    text += "'";
    for (const char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += "'";
  }
  return text;
}

std::string working_directory() {
  std::error_code ec;
  const fs::path here = fs::current_path(ec);
  return ec ? std::string() : here.string();
}

// A row of an earlier report's runs.csv and the line it begins on.
struct EarlierRow {
  CsvRow fields;
  int line = 0;
};

// The rows of an earlier report's runs.csv, when the study has no record
// yet; empty when there are none. A row of another width than the header
// is left out, and `dropped` says so.
std::vector<EarlierRow> earlier_rows(const std::string& report, std::vector<std::string>& dropped) {
  const std::string file = report + "/" + kRunsTable;
  std::string text;
  std::vector<CsvRow> rows;
  if (!read_whole_file(file, text) || !parse_csv(text, rows).empty() || rows.empty()) {
    return {};
  }
  // Columns are only ever added at the end: an earlier header starts as ours.
  const CsvRow& header = rows.front();
  const CsvRow& ours = runs_header();
  for (std::size_t n : {kRun, kSpecies, kSpecies + 1, kSpecies + 2, kState, kMessage}) {
    if (n >= header.size() || header[n] != ours[n]) return {};
  }
  std::vector<EarlierRow> earlier;
  int line = 1;
  for (std::size_t n = 0; n < rows.size(); ++n) {
    const int first = line;
    line += 1;  // its end; a quoted field may hold line ends of its own
    for (const std::string& field : rows[n]) {
      line += static_cast<int>(std::count(field.begin(), field.end(), '\n'));
    }
    if (n == 0) continue;
    if (rows[n].size() != header.size()) {
      dropped.push_back(file + " line " + std::to_string(first) + " is not taken over: it has " +
                        std::to_string(rows[n].size()) + " fields, the header " +
                        std::to_string(header.size()));
      continue;
    }
    earlier.push_back({std::move(rows[n]), first});
  }
  return earlier;
}

// The row the views of the study make of `stored`, whose entry and outcome
// (entry_of, outcome_of) are given.
RunRowSource row_of(const study::Stored& stored, const RunEntry& entry, const Outcome& outcome) {
  return {entry, outcome, {stored.record.kp, stored.record.k}};
}

// The run number `text` holds (from 1), or 0 when it holds none.
int run_number(const std::string& text) {
  int run = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, run);
  return ec == std::errc() && ptr == end && run > 0 ? run : 0;
}

}  // namespace

study::BatchRecord batch_record(const std::vector<std::string>& args, const BuildFacts& build,
                                const Shard& shard, const std::vector<RunEntry>& entries,
                                const std::vector<RunEntry>& share, double se_limit,
                                double misfit_limit, double replay_limit) {
  study::BatchRecord b;
  b.program_version = std::string(build.version);
  b.source_revision = std::string(build.revision);
  b.command_line.emplace_back(build.program);
  b.command_line.insert(b.command_line.end(), args.begin(), args.end());
  b.working_directory = working_directory();
  b.host = host_name();
  b.started = study::utc_timestamp();
  b.fingerprint = fingerprint(entries);
  b.run_set_size = static_cast<int>(entries.size());
  b.shard_index = shard.index;
  b.shard_count = shard.count;
  b.se_limit = se_limit;
  b.misfit_limit = misfit_limit;
  b.replay_limit = replay_limit;
  std::set<std::string> species;
  for (const RunEntry& e : share) {
    if (!species.insert(e.config.species).second) continue;
    const config::SpeciesRow& row = e.species.row;
    b.species.push_back({e.config.species, row.kp, row.multiplier, row.multiplier6,
                         config::layout_of(row) == config::Layout::ideal ? "ideal" : "standard",
                         source_name(e.species.source)});
  }
  return b;
}

study::Error read_start(study::Study& db, double se_limit, double misfit_limit,
                        double replay_limit, StudyStart& start) {
  StudyStart read;
  std::map<std::int64_t, const study::BatchRecord*> batches;
  // The batches come first: the records are judged by them as they come.
  const study::Error error = db.read_each(read.batches, [&](study::Stored& s) {
    if (batches.empty()) {
      for (const study::BatchRecord& b : read.batches) batches[b.id] = &b;
    }
    read.places[s.record.key] = s.record.run;
    // Its verdicts were judged under the limits of the batch that last
    // checked it (a kept result keeps the batch that fitted it).
    const auto by = batches.find(s.ran_by != 0 ? s.ran_by : s.record.batch);
    const bool fitted =
        s.record.state == state_name(State::succeeded) || s.record.state == state_name(State::kept);
    // A record that is not what was recorded (edited by hand, or joined
    // from a share without digests), or whose figures are of an earlier
    // schema (read unhashed), is checked in memory like a new one.
    const bool intact = !s.record_sha256.empty() && s.record_sha256 == study::record_digest(s);
    if (!fitted) read.not_fitted.insert(s.record.key);
    if (fitted && intact && !s.coefficients.empty() && by != batches.end() &&
        by->second->se_limit == se_limit && by->second->misfit_limit == misfit_limit &&
        by->second->replay_limit == replay_limit) {
      const study::Key key = s.record.key;
      read.standing.emplace(key, std::move(s.record));
    }
    return true;
  });
  if (!error) start = std::move(read);
  return error;
}

std::optional<FitNumbers> recorded_numbers(study::Study& db, const study::Key& key) {
  std::optional<study::Stored> found;
  if (db.find(key, found) || !found || found->coefficients.empty()) return std::nullopt;
  return numbers_of(*found);
}

report::BatchRecord shown_batch(const study::BatchRecord& b) {
  std::string what = std::to_string(b.run_set_size) + " configurations, share " +
                     std::to_string(b.shard_index) + "/" + std::to_string(b.shard_count);
  if (b.kind == study::kMergeKind) {
    what = "merge of the shares of " + std::to_string(b.run_set_size) + " configurations";
  } else if (b.kind == study::kForgetKind) {
    what = "forget, of a run set of " + std::to_string(b.run_set_size) + " configurations";
  }
  return {b.program_version + (b.source_revision.empty() ? "" : " (" + b.source_revision + ")"),
          command_text(b.command_line), b.started, b.ended, b.host, std::move(what)};
}

report::PageNotes page_signature(const study::BatchRecord& b) {
  const report::BatchRecord shown = shown_batch(b);
  report::PageNotes notes;
  notes.batch = std::to_string(b.id);
  notes.version = shown.version;
  notes.command = shown.command;
  notes.date = shown.started;
  notes.host = shown.host;
  return notes;
}

study::Error summarize_study(study::Study& db, Summary& summary) {
  std::vector<study::BatchRecord> batches;
  RecordedSpecies species;  // made once the batches are read, before the first configuration
  bool first = true;
  return db.read_each(batches, [&](const study::Stored& stored) {
    if (first) species = RecordedSpecies(batches);
    first = false;
    const RunEntry entry = entry_of(stored, species);
    const Outcome outcome = outcome_of(stored);
    summary.add(row_of(stored, entry, outcome));
    return true;
  });
}

std::string write_study_report(study::Study& db, const std::string& report,
                               const std::string& workdir, const std::string& species_used,
                               bool pages, const AnalysisSettings& settings,
                               std::vector<std::string>* undrawn, Summary* summary) {
  if (!pages) {
    // The index and pages of an earlier batch would show fits that the
    // study no longer holds, and link pages that this one removed.
    if (std::string error = remove_views(report); !error.empty()) return error;
  }
  TableWriter tables(report);
  if (std::string error = tables.open(); !error.empty()) return error;
  StudyRows rows;
  if (std::size_t count = 0; !db.count(count)) rows.reserve(count);  // a hint only
  std::vector<RunEntry> missing;  // pages
  std::vector<InputSource> missing_sources;  // by entry of `missing`
  std::vector<std::int64_t> missing_fitted_by;  // the batch that fitted each
  RecordedSpecies species;  // made once the batches are read, before the first configuration
  std::vector<study::BatchRecord> recorded;
  std::map<std::int64_t, const study::BatchRecord*> judged;  // batch -> it, with its limits
  Tables one;  // one configuration's rows
  bool first = true;
  const study::Error read = db.read_each(recorded, [&](const study::Stored& stored) {
    one.runs.clear();
    one.coefficients.clear();
    one.fits.clear();
    if (first) species = RecordedSpecies(recorded);
    first = false;
    const RunEntry entry = entry_of(stored, species);
    const Outcome outcome = outcome_of(stored);
    const RunRowSource row = row_of(stored, entry, outcome);
    add_rows(row.entry, row.outcome, row.rates, one);
    tables.add(one);
    rows.add(row);
    if (!stored.coefficients.empty()) {
      if (judged.empty()) {
        for (const study::BatchRecord& b : recorded) judged[b.id] = &b;
      }
      const auto by = judged.find(stored.ran_by);
      if (by != judged.end()) {
        rows.count_limits(by->second->se_limit, by->second->misfit_limit, by->second->replay_limit);
      }
    }
    if (summary != nullptr) summary->add(row);
    if (pages && missing_page(stored, report)) {
      missing.push_back(entry);
      // Read as it was recorded, whatever this batch reads.
      InputSource& source = missing_sources.emplace_back(input_source());
      recorded_source(stored.record, source);
      missing_fitted_by.push_back(stored.record.batch);
    }
    return true;
  });
  if (read) return read.message;
  // The tags compared go into the record as into models.csv.
  if (study::Error error = db.set_models(rows.model_records())) return error.message;
  if (!species_used.empty()) {
    if (std::string error = write_file_atomically(report + "/" + kSpeciesUsed, species_used);
        !error.empty()) {
      return error;
    }
  }
  std::vector<report::BatchRecord> batches;
  for (const study::BatchRecord& b : recorded) batches.push_back(shown_batch(b));
  // Written before runs.csv, which comes last: the pages that are missing,
  // then the tags compared and the index.
  auto views = [&] {
    std::string error;
    if (pages) {
      AnalysisSettings signed_by = settings;
      for (const study::BatchRecord& b : recorded) signed_by.signatures[b.id] = page_signature(b);
      error = write_pages(report, workdir, missing, signed_by, undrawn, &missing_sources,
                          &missing_fitted_by);
    }
    if (error.empty()) {
      error = write_study_view(report, rows, std::move(batches), settings.se_limit,
                               settings.misfit_limit, pages);
    }
    return error;
  };
  return tables.commit(views);
}

namespace {

// Why the earlier row `row` (its entry `entry`) is not taken over, or
// empty: its run is no number, its names fail the run set's checks, or its
// configuration, its run or its results file is an earlier row's (or the
// share's). `seen`, `runs` and `results_files` gather what rows took.
std::string refusal_of(const CsvRow& row, const RunEntry& entry, std::set<study::Key>& seen,
                       std::set<int>& runs,
                       std::map<std::string, Configuration>& results_files) {
  const Configuration& c = entry.config;
  constexpr std::size_t kShownBytes = 40;  // of a run that is no number
  std::string why = entry.number == 0
                        ? "its run " + batch::quoted(row[kRun].substr(0, kShownBytes)) +
                              (row[kRun].size() > kShownBytes ? "..." : "") +
                              " is not a run number"
                        : configuration_refusal(c);
  if (why.empty() && !seen.insert(key_of(c)).second) {
    why = "the configuration " + batch::quoted(display_name(c)) + " comes again";
  }
  if (why.empty() && !runs.insert(entry.number).second) {
    why = "run " + std::to_string(entry.number) + " comes again";
  }
  if (why.empty()) {
    const auto [at, added] =
        results_files.emplace(config::results_path(c.species, c.scenario, c.tag), c);
    if (!added && !(at->second == c)) {
      why = batch::quoted(display_name(c)) + " and " + batch::quoted(display_name(at->second)) +
            " would write the same results file " + at->first;
    }
  }
  return why;
}

// What became of a configuration an earlier report's row `row` lists:
// checked against its results file (kept or stale), or as recorded when it
// has none. A configuration kept whose row said it did not succeed loses
// its run's output from the report.
Outcome outcome_taken_over(const CsvRow& row, const RunEntry& entry, const std::string& report,
                           const std::string& workdir, bool pages,
                           const AnalysisSettings& settings) {
  const Configuration& c = entry.config;
  Outcome outcome;
  if (std::string fault = results_path_fault(workdir, c); !fault.empty()) {
    move_on(outcome, Event::cannot_run);
    outcome.message = "vbsfit-batch: " + fault;
  } else if (path_exists(join(workdir, config::results_path(c.species, c.scenario, c.tag)))) {
    const Analysis analysis = analyze({entry, workdir, report, settings, pages, nullptr});
    outcome.inputs = analysis.inputs;
    outcome.results_sha256 = analysis.results_sha256;
    if (analysis.verdict == Analysis::Verdict::fitted) {
      move_on(outcome, Event::checked);
      outcome.numbers = analysis.numbers;
      outcome.input_records = analysis.input_records;
      State was = State::pending;
      if (!state_from_name(row[kState], was) || (was != State::succeeded && was != State::kept)) {
        remove_run_output(report, c);
      }
    } else {
      move_on(outcome, Event::found_stale);
      outcome.message = analysis.verdict == Analysis::Verdict::stale
                            ? analysis.note
                            : "its results file could not be checked: " + analysis.note;
    }
  } else {
    // As recorded (pending when no state is named), but not fitted
    // without its results file.
    state_from_name(row[kState], outcome.state);
    move_on(outcome, Event::results_gone);
    outcome.message = row[kMessage];
  }
  return outcome;
}

// Removes runs/<species>/<scenario>/<tag>/fit.dump, as reports before the
// study's record kept it; a file of that name anywhere else is not the
// report's.
void remove_fit_dumps(const std::string& report) {
  constexpr int kFitDumpDepth = 3;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(report + "/" + kRunsDirectory, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    if (it.depth() == kFitDumpDepth && it->path().filename() == kOldFitDumpName &&
        it->symlink_status(ignored).type() == fs::file_type::regular) {
      fs::remove(it->path(), ignored);
    }
  }
}

}  // namespace

TakenOver take_over(const std::string& report, const std::string& workdir,
                    const std::vector<RunEntry>& share, const SpeciesTable& species, bool pages,
                    const AnalysisSettings& settings,
                    const std::function<void(const RunEntry&, Outcome&)>& record) {
  TakenOver taken;
  std::set<study::Key> in_share, seen;
  std::map<std::string, Configuration> results_files;  // and whose they are
  std::set<int> runs;
  for (const RunEntry& e : share) {
    in_share.insert(key_of(e.config));
    results_files.emplace(config::results_path(e.config.species, e.config.scenario, e.config.tag),
                          e.config);
  }
  for (EarlierRow& earlier : earlier_rows(report, taken.dropped)) {
    const CsvRow& row = earlier.fields;
    RunEntry entry{run_number(row[kRun]),
                   {row[kSpecies], row[kSpecies + 1], row[kSpecies + 2]},
                   {},
                   species.choose(row[kSpecies])};
    const study::Key key = key_of(entry.config);
    if (std::string why = refusal_of(row, entry, seen, runs, results_files); !why.empty()) {
      taken.dropped.push_back(report + "/" + kRunsTable + " line " + std::to_string(earlier.line) +
                              " is not taken over: " + why);
      continue;
    }
    taken.places.emplace(key, entry.number);
    if (in_share.count(key) != 0) continue;  // the batch runs it
    Outcome outcome = outcome_taken_over(row, entry, report, workdir, pages, settings);
    record(entry, outcome);
    taken.entries.push_back(std::move(entry));
    taken.outcomes.push_back(std::move(outcome));
  }
  remove_fit_dumps(report);
  return taken;
}

std::vector<RunEntry> study_numbers(const std::vector<RunEntry>& share,
                                    const std::map<study::Key, int>& places) {
  std::set<int> taken;
  int last = 0;
  for (const auto& [key, run] : places) {
    taken.insert(run);
    last = std::max(last, run);
  }
  std::vector<RunEntry> numbered = share;
  for (RunEntry& e : numbered) {
    if (const auto at = places.find(key_of(e.config)); at != places.end()) {
      e.number = at->second;
    } else if (!taken.insert(e.number).second) {
      e.number = ++last;
      taken.insert(e.number);
    }
    last = std::max(last, e.number);
  }
  return numbered;
}

}  // namespace batch
