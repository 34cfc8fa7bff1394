#include "batch/batch.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <set>

#include "batch/compare.hpp"
#include "batch/files.hpp"
#include "batch/input_faults.hpp"
#include "batch/run_inputs.hpp"
#include "batch/merge_check.hpp"
#include "batch/record.hpp"
#include "batch/report_dir.hpp"
#include "batch/report_layout.hpp"
#include "batch/runner.hpp"
#include "batch/signal_watch.hpp"
#include "batch/species_table.hpp"
#include "batch/study_report.hpp"
#include "batch/summary.hpp"
#include "batch/tables.hpp"
#include "batch/test_points.hpp"
#include "config/config.hpp"
#include "config/species_file.hpp"
#include "report/compare_view.hpp"
#include "report/report.hpp"
#include "study/study.hpp"

namespace batch {
namespace {

namespace fs = std::filesystem;

constexpr int kSucceeded = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

int usage_error(const std::string& message) {
  std::cerr << "vbsfit-batch: " << message << "\nTry 'vbsfit-batch --help' for more information.\n";
  return kUsage;
}

int run_error(const std::string& message) {
  std::cerr << "vbsfit-batch: " << message << "\n";
  return kFailed;
}

// Reads a plan or a species table file: `what` names it in messages.
// Returns the refusal, or empty with `text` filled.
std::string read_named_file(const std::string& file, const char* what, std::string& text) {
  const std::string why = read_input_file(file, kInputFileLimit, text);
  if (why.empty()) return {};
  return std::string("cannot read the ") + what + " " + (file == "-" ? "(standard input)" : file) +
         ": " + why;
}

// Writes `text` (the help, the species table, a plan) to standard output.
// Returns the exit status: 0, or 1 with a message when it cannot be written
// whole (a full disk, a closed pipe).
int print_out(const std::string& text) {
  std::cout << text << std::flush;
  if (std::cout) return kSucceeded;
  return run_error(std::string("cannot write to standard output: ") +
                   (errno != 0 ? std::strerror(errno) : "write error"));
}

// Reads the --species-table file, if one is given, into `table`.
std::string load_species_table(const Options& options, SpeciesTable& table) {
  if (!options.species_table) return {};
  std::string text;
  if (std::string why = read_named_file(*options.species_table, "species table", text);
      !why.empty()) {
    return why;
  }
  std::vector<config::SpeciesFileRow> rows;
  const std::string& given = *options.species_table;
  const std::string file = given == "-" ? "(standard input)" : given;
  if (std::string why = config::parse_species_file(text, file, rows); !why.empty()) return why;
  table = SpeciesTable(std::move(rows));
  return {};
}

// File descriptors 0, 1 and 2 open, so that no file the batch opens takes
// one of their numbers (a child's output file must not become its own
// standard stream by accident).
void keep_standard_streams_open() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      const int opened = ::open("/dev/null", O_RDWR);
      if (opened >= 0 && opened != fd) ::close(opened);
    }
  }
}

// The exit status of a batch whose outcomes `tally` counts: 128 + the first
// of `signals` that stopped it, if any; else whether it is complete.
int exit_status(const Tally& tally, const std::vector<int>& signals) {
  if (!signals.empty()) return 128 + signals.front();
  return tally.complete() ? kSucceeded : kFailed;
}

// What the summary points the reader to: the index page, or the tables'
// directory when the batch writes no pages.
std::string report_shown(const std::string& report, bool pages) {
  return pages ? report + "/" + kIndexPage : report + "/";
}

// Claims the report directory for this batch: two batches writing the same
// tables and run directories at once would mix them. The lock is the
// kernel's (flock on a file in the directory) and is never released by
// hand: it goes with the last process holding it, so a batch killed outright
// does not leave it behind, while the runs it started, which hold it too
// (Launcher::share_lock), keep it until they end. Returns false when another
// batch holds it; else true with `lock` the descriptor held, kept open until
// the batch ends (-1 on a file system without locks, which leaves the batch
// unlocked rather than stopped).
bool claim_report(const std::string& report, int& lock) {
  lock = -1;
  const std::string name = report + "/" + kLockFile;
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return true;  // the tables cannot be written either, and will say why
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    lock = fd;
    return true;
  }
  const bool held = errno == EWOULDBLOCK;
  ::close(fd);
  return !held;
}

// The run set of the command line: its lists' product or its plan, checked,
// each entry given the row `species` chooses for it. Returns the refusal, or
// empty with `entries` filled.
std::string read_run_set(const Options& options, const BuildFacts& build,
                         const SpeciesTable& species, std::vector<RunEntry>& entries) {
  std::string refusal;
  if (options.plan) {
    std::string text;
    if (std::string error = read_named_file(*options.plan, "plan", text); !error.empty()) {
      return error;
    }
    refusal = plan_run_set(text, *options.plan == "-" ? "(standard input)" : *options.plan, entries);
  } else {
    refusal = product_run_set(options.species.value_or(std::string(build.species)),
                              options.scenarios.value_or(std::string(build.scenario)),
                              options.tags.value_or(std::string(build.tag)), entries);
  }
  if (refusal.empty()) refusal = check_distinct(entries);
  if (refusal.empty()) refusal = check_names(species, entries, options.allow_unknown_species);
  if (refusal.empty()) resolve_species(species, entries);
  return refusal;
}

// Why the working directory cannot take the runs, or empty.
std::string check_workdir(const std::string& workdir) {
  std::error_code ec;
  if (!fs::is_directory(workdir, ec)) return "--workdir: " + workdir + " is not a directory";
  const std::string results = workdir + "/" + std::string(config::kResultsDirectory);
  if (!fs::is_directory(results, ec)) {
    // One level too high: the inputs are looked for beside the working
    // directory, not in it, so FITS made here would not help.
    if (std::string inputs = workdir + "/" + std::string(config::kInputsDirectory);
        fs::is_directory(inputs, ec)) {
      const std::string below = workdir + "/batch";
      return "--workdir " + workdir + " holds " + std::string(config::kInputsDirectory) +
             ", but a run looks for its inputs in ../" + std::string(config::kInputsDirectory) +
             " beside its working directory (here " + workdir + "/../" +
             std::string(config::kInputsDirectory) + "); the working directory should be a directory in " +
             workdir + " beside " + inputs + ", such as " + below + ": mkdir -p " + below + "/" +
             std::string(config::kResultsDirectory) + " and give --workdir " + below;
    }
    return "the working directory has no directory " + std::string(config::kResultsDirectory) +
           " for the results files; create it: mkdir " + results;
  }
  return {};
}

RunnerSettings runner_settings(const Options& options, double se_limit, double misfit_limit,
                               double replay_limit) {
  RunnerSettings settings;
  settings.workdir = options.workdir;
  settings.report = options.report.value_or(options.workdir + "/vbsfit-report");
  settings.jobs = options.jobs.value_or(available_cpus());
  settings.progress = ::isatty(STDERR_FILENO) == 1;
  settings.analysis.se_limit = se_limit;
  settings.analysis.misfit_limit = misfit_limit;
  settings.analysis.replay_limit = replay_limit;
  settings.analysis.notes.misfit_limit = misfit_limit;
  settings.pages = options.pages;
  return settings;
}

// Why `report` cannot be the report directory: a path that is no
// directory, or a directory that is not a report (batch/report_dir.hpp).
// Returns the exit status, or kSucceeded with `found` filled.
int check_report(const std::string& report, ReportDirectory& found) {
  if (std::string fault = report_path_fault(report); !fault.empty()) {
    return usage_error("--report " + report + " " + fault);
  }
  found = examine_report(report);
  if (std::string refusal = report_refusal(report, found); !refusal.empty()) {
    return usage_error(refusal);
  }
  return kSucceeded;
}

// Creates the report directory and claims it for this batch, once it is
// known to be a report (or nothing yet), and warns of what it holds that
// is not the report's (the lock's descriptor in `lock`, when asked for, as
// claim_report leaves it). Returns the exit status of why it cannot be had,
// or kSucceeded with `found` filled.
int prepare_report(const std::string& report, ReportDirectory& found, int* lock = nullptr) {
  if (const int status = check_report(report, found); status != kSucceeded) return status;
  std::error_code ec;
  fs::create_directories(report, ec);
  if (ec || !fs::is_directory(report)) {
    return run_error("cannot create the report directory " + report + ": " +
                     (ec ? ec.message() : "not a directory"));
  }
  int held = -1;
  if (!claim_report(report, held)) {
    std::cerr << "vbsfit-batch: another vbsfit-batch is writing the report " << report
              << " (or runs it started are still going); wait until it ends, or give another "
                 "--report\n";
    return kUsage;
  }
  if (lock != nullptr) *lock = held;
  std::cerr << foreign_warning(report, found);
  return kSucceeded;
}

// Opens the study's record in `report` (its lock held). Returns the exit
// status of why it cannot be had, or kSucceeded.
int open_study(const std::string& report, study::Study& db) {
  const std::string path = report + "/" + study::kDatabaseName;
  study::Error error = study::Study::open(path, db);
  if (!error) return kSucceeded;
  if (error.refusal) {
    std::cerr << "vbsfit-batch: " << error.message << "\n";
    return kUsage;
  }
  return run_error(error.message);
}

// Removes the share's configurations from the study (with --history their
// earlier fits too), logged as a batch of kind forget. Asking to forget
// what the study does not hold is an error that names what was asked.
int forget_mode(study::Study& db, const RunnerSettings& settings,
                const std::vector<RunEntry>& share, study::BatchRecord record,
                bool with_history) {
  std::vector<study::Key> keys;
  for (const RunEntry& e : share) keys.push_back(key_of(e.config));
  record.kind = study::kForgetKind;
  record.ended = record.started;
  std::vector<study::Key> removed;
  SignalWatch signals;
  if (study::Error error = db.forget(keys, removed, &record, with_history)) {
    return run_error(error.message);
  }
  if (removed.empty()) {
    std::string asked;
    constexpr std::size_t kShown = 5;
    for (std::size_t n = 0; n < keys.size() && n < kShown; ++n) {
      asked += (n > 0 ? ", " : "") + config::printable(study::display_name(keys[n]));
    }
    if (keys.size() > kShown) asked += " and " + std::to_string(keys.size() - kShown) + " more";
    return run_error("the study " + settings.report + "/" + study::kDatabaseName +
                     " holds none of the configurations asked to forget (" +
                     (keys.empty() ? std::string("none") : asked) +
                     "); nothing was removed: check --species, --scenario and --tag against "
                     "runs.csv");
  }
  for (const study::Key& key : removed) {
    const Configuration c{key.species, key.scenario, key.tag};
    ::unlink((settings.report + "/" + report::page_name(c.species, c.scenario, c.tag)).c_str());
    remove_run_output(settings.report, c);
  }
  const std::string error =
      write_study_report(db, settings.report, settings.workdir, {}, settings.pages, settings.analysis);
  const std::size_t count = removed.size();
  std::cerr << "vbsfit-batch: " << count << (count == 1 ? " configuration" : " configurations")
            << " removed from the study's record (results files kept"
            << (with_history ? "; their earlier fits removed from its history too" : "")
            << ")\n";
  if (count < keys.size()) {
    std::cerr << "vbsfit-batch: " << keys.size() - count
              << " of the configurations asked were not in the study's record\n";
  }
  std::cerr << "  report: " << report_shown(settings.report, settings.pages) << "\n";
  if (!error.empty()) return run_error("the report was not written whole: " + error);
  const std::vector<int> stops = signals.take();
  return stops.empty() ? kSucceeded : 128 + stops.front();
}

// The databases of the shares' reports that --merge joins. Returns the
// refusal, or empty with `shares` filled.
std::string share_databases(const Options& options, std::vector<std::string>& shares) {
  const std::string& report = *options.report;
  std::error_code ec;
  for (const std::string& shard : options.operands) {
    if (fs::exists(report, ec) && fs::equivalent(shard, report, ec)) {
      return "--report " + report + " is one of the reports to join";
    }
    if (!fs::is_directory(shard, ec)) {
      return shard + " is not a directory; --merge joins the report directories of shards";
    }
    const std::string database = shard + "/" + study::kDatabaseName;
    if (!fs::exists(database, ec)) {
      return shard + " is not a report of vbsfit-batch (no " + study::kDatabaseName + ")";
    }
    shares.push_back(database);
  }
  return {};
}

// A directory of its own under TMPDIR, removed with everything in it.
struct ScratchDirectory {
  std::string path;
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
};

// The batches that the study at `path` records. Returns why they cannot be
// read, or empty.
study::Error recorded_batches(const std::string& path, std::vector<study::BatchRecord>& batches) {
  std::error_code ec;
  // SQLite's empty database, as a batch killed as it made the study leaves it.
  if (fs::is_regular_file(path, ec) && fs::file_size(path, ec) == 0) return {};
  study::Study db;
  if (study::Error error = study::Study::open(path, db, /*read_only=*/true)) return error;
  return db.read_each(batches, [](study::Stored&) { return false; });
}

// Whether two records are of one batch: the same in all but the number a
// study gives it and its end (which a share may have recorded after an
// earlier join took its batch).
bool same_batch(study::BatchRecord a, study::BatchRecord b) {
  a.id = b.id = 0;
  a.ended = b.ended = "";
  return a == b;
}

// Why the report `report`, as `found` shows it, may not be replaced by the
// join in `joined_study`: its record holds a batch that no share holds, or
// it is a report of an earlier version (tables without a record), whose
// rows the join would drop. Returns the exit status, or kSucceeded when it
// holds nothing or only what the shares hold (an earlier join of them).
int check_replaceable(const std::string& report, const ReportDirectory& found,
                      const std::string& joined_study) {
  if (found.kind == ReportDirectory::Kind::earlier && found.tables) {
    return usage_error("--report " + report + " is the report of an earlier vbsfit-batch (" +
                       kRunsTable + " without " + study::kDatabaseName +
                       "): the join would drop its rows; give a new or empty directory");
  }
  if (found.kind != ReportDirectory::Kind::study) return kSucceeded;
  std::vector<study::BatchRecord> own, shares;
  const std::string path = report + "/" + study::kDatabaseName;
  if (study::Error error = recorded_batches(path, own)) {
    return error.refusal ? usage_error(error.message) : run_error(error.message);
  }
  if (study::Error error = recorded_batches(joined_study, shares)) return run_error(error.message);
  for (const study::BatchRecord& batch : own) {
    if (batch.kind == study::kMergeKind) continue;  // an earlier join's own row
    const bool joined = std::any_of(shares.begin(), shares.end(), [&](const study::BatchRecord& b) {
      return same_batch(batch, b);
    });
    if (joined) continue;
    const report::BatchRecord shown = shown_batch(batch);
    return usage_error("--report " + report + " holds the record of a batch that none of the "
                       "shares holds (begun " + shown.started + " on " + shown.host + ": " +
                       shown.command + "): the join would drop its records; give a new or empty "
                       "directory");
  }
  return kSucceeded;
}

// Puts the joined study and the shares' run output in `report` in place of
// the report's own files: the joined report is the shares' and nothing an
// earlier join left. What the report layout does not name stays. Returns
// why it could not, or empty.
std::string refill_report(const std::string& report, const std::string& joined_study,
                          const std::vector<std::string>& shards) {
  if (std::string error = clear_report(report); !error.empty()) return error;
  std::error_code ec;
  const std::string into = report + "/" + study::kDatabaseName;
  fs::copy_file(joined_study, into, ec);
  if (ec) return "cannot write " + into + ": " + ec.message();
  for (const std::string& shard : shards) {
    if (std::string error = copy_run_output(shard, report); !error.empty()) return error;
  }
  return {};
}

// Writes the joined report from its study and summarizes it.
int write_joined_report(const Options& options, const std::string& species_kept,
                        SignalWatch& signals) {
  const std::string& report = *options.report;
  study::Study db;
  if (const int status = open_study(report, db); status != kSucceeded) return status;
  std::vector<study::BatchRecord> batches;
  if (study::Error error = db.read_each(batches, [](study::Stored&) { return false; })) {
    return run_error(error.message);
  }
  AnalysisSettings settings;  // the shares', which the merge found alike
  take_limits(batches, settings);
  settings.notes.misfit_limit = settings.misfit_limit;
  std::vector<std::string> undrawn;
  Summary summary;
  const std::string error = write_study_report(db, report, options.workdir, species_kept,
                                               options.pages, settings, &undrawn, &summary);
  if (!error.empty() && summary.tally().total == 0) {
    summarize_study(db, summary);  // the report failed before the study was read
  }
  const Tally& tally = summary.tally();
  std::cerr << summary.text(tally, report_shown(report, options.pages), 0, settings.misfit_limit);
  for (const std::string& line : undrawn) std::cerr << "  no page: " << line << "\n";
  if (!error.empty()) return run_error("the report was not written whole: " + error);
  const int status = exit_status(tally, signals.take());
  return status == kSucceeded && !undrawn.empty() ? kFailed : status;
}

int merge_mode(const Options& options, const study::BatchRecord& merging) {
  if (!options.report) return usage_error("--merge needs --report, the directory to join into");
  std::vector<std::string> shares;
  if (std::string refusal = share_databases(options, shares); !refusal.empty()) {
    return usage_error(refusal);
  }
  std::string species_kept;
  if (std::string why = species_of_reports(options.operands, species_kept,
                                           options.allow_mixed_constants);
      !why.empty()) {
    return usage_error(why);
  }
  // Refused before the join, which may take a while; looked at again once
  // the report is claimed.
  ReportDirectory found;
  if (const int status = check_report(*options.report, found); status != kSucceeded) {
    return status;
  }
  // The shares are joined into a scratch study first: one that fails its
  // checks leaves the report as it was (or never made).
  std::error_code ec;
  std::string scratch = (fs::temp_directory_path(ec) / "vbsfit-merge-XXXXXX").string();
  if (::mkdtemp(scratch.data()) == nullptr) {
    return run_error(std::string("cannot create a scratch directory: ") + std::strerror(errno));
  }
  const ScratchDirectory joined{scratch};
  const std::string joined_study = joined.path + "/" + study::kDatabaseName;
  std::vector<std::string> notes;
  if (study::Error error =
          study::merge(shares, joined_study, {options.allow_mixed_constants, &merging}, &notes)) {
    return error.refusal ? usage_error(error.message) : run_error(error.message);
  }
  {
    study::Study db;
    if (const int status = open_study(joined.path, db); status != kSucceeded) return status;
    if (std::string error = check_against_files(db, options.workdir, notes); !error.empty()) {
      return run_error(error);
    }
  }
  if (const int status = prepare_report(*options.report, found); status != kSucceeded) {
    return status;
  }
  if (const int status = check_replaceable(*options.report, found, joined_study);
      status != kSucceeded) {
    return status;
  }
  // No write of the joined report is cut short by a signal; one that comes
  // ends the merge once it is written and summarized.
  SignalWatch signals;
  if (std::string error = refill_report(*options.report, joined_study, options.operands);
      !error.empty()) {
    return run_error(error);
  }
  for (const std::string& note : notes) std::cerr << "vbsfit-batch: " << note << "\n";
  return write_joined_report(options, species_kept, signals);
}

// A batch number as --compare takes it: a positive decimal integer.
bool batch_number(const std::string& text, std::int64_t& number) {
  if (text.empty() || text.size() > 18) return false;
  number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  return number > 0;
}

// How the page names batch `id` of the study at `path`.
std::string batch_side(const std::string& path, std::int64_t id,
                       const std::vector<study::BatchRecord>& batches) {
  std::string side = "batch " + std::to_string(id) + " of " + path;
  for (const study::BatchRecord& b : batches) {
    if (b.id != id) continue;
    const report::BatchRecord shown = shown_batch(b);
    side += " (" + b.kind + " begun " + shown.started + " on " + shown.host + ": " +
            shown.command + ")";
  }
  return side;
}

// Reads the side `operand` of --compare: the current fits of the report
// directory's study. Returns why it cannot be read (a refusal for what is
// not a report).
study::Error report_side(const std::string& operand, std::vector<study::Stored>& fits) {
  std::error_code ec;
  const std::string database = operand + "/" + study::kDatabaseName;
  if (!fs::is_directory(operand, ec) || !fs::exists(database, ec)) {
    return {operand + " is neither a batch number nor a report directory of vbsfit-batch (no " +
                database + ")",
            true};
  }
  study::Study db;
  if (study::Error error = study::Study::open(database, db, /*read_only=*/true)) return error;
  study::Snapshot snapshot;
  if (study::Error error = db.read(snapshot)) return error;
  fits = std::move(snapshot.configurations);
  return {};
}

// --compare A B: two batches of the study --report names, or two report
// directories; compare.csv and compare.html go into --report (for two
// report directories, by default the second).
int compare_mode(const Options& options) {
  const std::string& a = options.operands[0];
  const std::string& b = options.operands[1];
  std::int64_t batch_a = 0, batch_b = 0;
  std::error_code ec;
  const bool batches = batch_number(a, batch_a) && batch_number(b, batch_b) &&
                       !fs::is_directory(a, ec) && !fs::is_directory(b, ec);
  std::vector<study::Stored> side_a, side_b;
  report::Comparison comparison;
  std::string out;
  const auto failed = [](const study::Error& error) {
    return error.refusal ? usage_error(error.message) : run_error(error.message);
  };
  if (batches) {
    out = options.report.value_or(options.workdir + "/vbsfit-report");
    const std::string database = out + "/" + study::kDatabaseName;
    if (!fs::exists(database, ec)) {
      return usage_error("--report " + out + " holds no study (" + database +
                         "); give the report directory whose batches " + a + " and " + b +
                         " are to be compared");
    }
    study::Study db;
    if (study::Error error = study::Study::open(database, db, /*read_only=*/true)) {
      return failed(error);
    }
    if (study::Error error = fits_as_of(db, batch_a, side_a)) return failed(error);
    if (study::Error error = fits_as_of(db, batch_b, side_b)) return failed(error);
    std::vector<study::BatchRecord> recorded;
    if (study::Error error = db.read_each(recorded, [](study::Stored&) { return false; })) {
      return failed(error);
    }
    comparison = compare_fits(side_a, side_b);
    comparison.side_a = batch_side(database, batch_a, recorded);
    comparison.side_b = batch_side(database, batch_b, recorded);
  } else {
    if (study::Error error = report_side(a, side_a)) return failed(error);
    if (study::Error error = report_side(b, side_b)) return failed(error);
    comparison = compare_fits(side_a, side_b);
    comparison.side_a = "the study in " + a;
    comparison.side_b = "the study in " + b;
    out = options.report.value_or(b);
  }
  ReportDirectory found;
  if (const int status = prepare_report(out, found); status != kSucceeded) return status;
  SignalWatch signals;
  std::string error = write_file_atomically(
      out + "/" + kCompareTable,
      csv_text(compare_header(), compare_rows(comparison), kCompareText));
  if (error.empty()) {
    error = write_file_atomically(out + "/" + kComparePage, report::render_comparison(comparison));
  }
  if (!error.empty()) return run_error(error);
  const std::vector<const report::ComparedCoefficient*> changed = report::largest_changes(comparison);
  std::size_t verdicts = 0;
  for (const report::ComparedCoefficient* r : changed) verdicts += r->verdict_a != r->verdict_b;
  std::cerr << "vbsfit-batch: " << comparison.configurations << " configurations in both; "
            << changed.size() << " coefficients changed (" << verdicts << " in verdict); "
            << comparison.only_a.size() << " only in A, " << comparison.only_b.size()
            << " only in B\n  compare: " << out << "/" << kComparePage << " and "
            << kCompareTable << "\n";
  const std::vector<int> stops = signals.take();
  return stops.empty() ? kSucceeded : 128 + stops.front();
}

// Records each configuration of a batch in the study as soon as its outcome
// is final, and keeps the first error.
class Recorder {
 public:
  // `not_fitted`: the configurations whose record says their last outcome
  // was no fit (see StudyStart).
  Recorder(study::Study& db, std::int64_t batch, const RunnerSettings& settings,
           const std::set<study::Key>& not_fitted)
      : db_(db), batch_(batch), settings_(settings), not_fitted_(not_fitted) {}
  void operator()(const RunEntry& entry, Outcome& outcome) {
    note_input_fault(entry, outcome, settings_.workdir);
    const Configuration& c = entry.config;
    if (!outcome.page && (outcome.state != State::kept || !outcome.numbers)) {
      // A page of another fit than the one recorded must not stay.
      ::unlink((settings_.report + "/" + report::page_name(c.species, c.scenario, c.tag)).c_str());
    }
    if (outcome.state == State::kept && not_fitted_.count(key_of(c)) != 0) {
      // The output of a run that did not write the results file kept (a
      // failure's standard error, say) must not stand beside it.
      remove_run_output(settings_.report, c);
    }
    const study::Stored row = stored_of(entry, outcome, batch_);
    study::Recording recording;
    recording.batch = batch_;
    recording.new_fit = outcome.state == State::succeeded;
    if (outcome.state == State::succeeded || outcome.state == State::kept) {
      const std::string results =
          join(settings_.workdir, config::results_path(c.species, c.scenario, c.tag));
      reach(TestPoint::claim, results);
      // The fit's own bytes go into its history (the study checks them
      // against the digest recorded).
      if (std::string bytes; !outcome.results_sha256.empty() && read_whole_file(results, bytes)) {
        recording.results = std::move(bytes);
      }
    }
    reach(TestPoint::before_record);
    note(db_.record(row.record, row.coefficients, row.fits, recording,
                    [] { reach(TestPoint::in_record); }));
    reach(TestPoint::after_record);
    release_recorded(outcome);  // the summary needs only its counts now
  }
  void note(const study::Error& error) {
    if (error && error_.empty()) error_ = error.message;
  }
  const std::string& error() const { return error_; }

 private:
  study::Study& db_;
  std::int64_t batch_;
  const RunnerSettings& settings_;
  const std::set<study::Key>& not_fitted_;
  std::string error_;
};

// The batch's own facts on the pages of the fits it makes, and the facts
// of the study's earlier batches on those of the fits they made.
void sign_pages(RunnerSettings& settings, study::BatchRecord record, std::int64_t id,
                const std::vector<study::BatchRecord>& earlier) {
  for (const study::BatchRecord& b : earlier) {
    settings.analysis.signatures[b.id] = page_signature(b);
  }
  record.id = id;
  const double misfit_limit = settings.analysis.notes.misfit_limit;
  settings.analysis.notes = page_signature(record);
  settings.analysis.notes.misfit_limit = misfit_limit;
  settings.analysis.signatures[id] = settings.analysis.notes;
}

// A report of tables without a study (or one whose first batch never ended,
// killed while it took the report over): the batch takes it over.
bool earlier_report(const StudyStart& before) {
  return std::none_of(before.batches.begin(), before.batches.end(),
                      [](const study::BatchRecord& b) { return !b.ended.empty(); });
}

// The end of a batch: its record closed, the report written from the study,
// the summary. Returns the exit status.
// `species_used`: the report's species.csv.
int finish_batch(study::Study& db, std::int64_t batch_id, Recorder& recorder,
                 const BatchResult& result, const std::vector<RunEntry>& summarized,
                 const std::vector<Outcome>& outcomes, const std::string& species_used,
                 const RunnerSettings& settings, SignalWatch& signals) {
  recorder.note(db.end_batch(batch_id, study::utc_timestamp()));
  const Tally tally = tally_of(outcomes);
  std::string error = recorder.error().empty() ? result.page_error : recorder.error();
  if (error.empty()) {
    error = write_study_report(db, settings.report, settings.workdir, species_used,
                               settings.pages, settings.analysis);
  }
  if (!error.empty()) {
    // Whatever tables are there are not this study's whole: no runs.csv says so.
    ::unlink((settings.report + "/" + kRunsTable).c_str());
  }
  // Of this batch's configurations: what it ran and what it took over. Its
  // outcomes, not the study's rows, so that a record that could not be
  // written is still summarized.
  std::cerr << summarize(tally, summarized, outcomes,
                         report_shown(settings.report, settings.pages), result.stop_signal,
                         settings.analysis.misfit_limit);
  std::vector<int> stops = signals.take();  // those that came while the report was written
  if (!error.empty()) return run_error("the report was not written whole: " + error);
  if (result.stop_signal != 0) stops.insert(stops.begin(), result.stop_signal);
  return exit_status(tally, stops);
}

// Runs `share` as one batch recorded in `db` as `record` says; `species` is
// the batch's table, for what it takes over of an earlier report.
int run_batch(study::Study& db, const Options& options, const study::BatchRecord& record,
              const std::vector<RunEntry>& share, const SpeciesTable& species,
              RunnerSettings settings) {
  std::int64_t batch_id = 0;
  if (study::Error error = db.begin_batch(record, batch_id)) return run_error(error.message);
  StudyStart before;
  if (study::Error error =
          read_start(db, record.se_limit, record.misfit_limit, record.replay_limit, before)) {
    return run_error(error.message);
  }
  sign_pages(settings, record, batch_id, before.batches);
  const bool take_over_report = earlier_report(before);
  const std::map<study::Key, study::ConfigurationRecord>& stored = before.standing;
  for (const RunEntry& e : share) {
    if (std::string why = recover_set_aside(settings.workdir, e.config); !why.empty()) {
      return run_error(why);
    }
  }
  Recorder recorder(db, batch_id, settings, before.not_fitted);
  std::vector<RunEntry> numbered;  // once the places of a report taken over are known
  settings.stored = &stored;
  settings.recorded_numbers = [&db](const study::Key& key) { return recorded_numbers(db, key); };
  settings.refit_stale = options.refit == Options::Refit::stale;
  settings.refit_all = options.refit == Options::Refit::all;
  settings.finished = [&](std::size_t n, Outcome& outcome) { recorder(numbered[n], outcome); };

  // Held until the summary is out: the report says what finished, whole.
  SignalWatch signals;
  std::vector<RunEntry> summarized;
  std::vector<Outcome> outcomes;
  if (take_over_report) {
    TakenOver taken = take_over(settings.report, settings.workdir, share, species, settings.pages,
                                settings.analysis, std::ref(recorder));
    for (const std::string& why : taken.dropped) std::cerr << "vbsfit-batch: " << why << "\n";
    before.places.merge(taken.places);  // what the study holds already stays
    summarized = std::move(taken.entries);
    outcomes = std::move(taken.outcomes);
  }
  numbered = study_numbers(share, before.places);
  // From here on the tables are behind the study until they are written
  // again: a report is whole only with runs.csv.
  ::unlink((settings.report + "/" + kRunsTable).c_str());
  BatchResult result = run_configurations(numbered, settings, signals);
  before = {};  // the records were the runner's: the report has room for its rows
  summarized.insert(summarized.begin(), numbered.begin(), numbered.end());
  outcomes.insert(outcomes.begin(), std::make_move_iterator(result.outcomes.begin()),
                  std::make_move_iterator(result.outcomes.end()));
  return finish_batch(db, batch_id, recorder, result, summarized, outcomes,
                      species_used_text(species, share), settings, signals);
}

int run_mode(const Options& options, const BuildFacts& build, const SpeciesTable& species,
             const std::vector<std::string>& args) {
  // Made before the run set is read: the runs start from this small process.
  Launcher launcher;
  if (!options.dry_run && !options.forget) {
    sigset_t mask;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    launcher.open(options.workdir, mask);
  }
  std::vector<RunEntry> entries;
  if (std::string refusal = read_run_set(options, build, species, entries); !refusal.empty()) {
    return usage_error(refusal);
  }
  for (const std::string& warning : tag_warnings(entries)) {
    std::cerr << "vbsfit-batch: warning: " << warning << "\n";
  }
  if (options.dry_run) return print_out(plan_text(entries));
  if (std::string refusal = check_workdir(options.workdir); !refusal.empty()) {
    return usage_error(refusal);
  }
  const Shard shard = options.shard.value_or(Shard{});
  const double se_limit = options.se_limit.value_or(quality::kDefaultSeLimit);
  const double misfit_limit = options.misfit_limit.value_or(quality::kDefaultMisfitLimit);
  const double replay_limit = options.replay_limit.value_or(quality::kDefaultReplayLimit);
  const std::vector<RunEntry> share = shard_of(entries, shard);
  RunnerSettings settings = runner_settings(options, se_limit, misfit_limit, replay_limit);
  settings.launcher = &launcher;
  ReportDirectory found;
  int lock = -1;
  if (const int status = prepare_report(settings.report, found, &lock); status != kSucceeded) {
    return status;
  }
  launcher.share_lock(lock);
  study::Study db;
  if (const int status = open_study(settings.report, db); status != kSucceeded) return status;
  study::BatchRecord record =
      batch_record(args, build, shard, entries, share, se_limit, misfit_limit, replay_limit);
  if (options.forget) return forget_mode(db, settings, share, record, options.history);
  return run_batch(db, options, record, share, species, settings);
}

}  // namespace

int batch_main(const std::vector<std::string>& args, const BuildFacts& build) {
  keep_standard_streams_open();
  Options options;
  if (std::string error = parse_options(args, options); !error.empty()) return usage_error(error);
  if (options.help) return print_out(help_text(build, available_cpus()));
  if (options.version) return print_out("vbsfit-batch " + std::string(build.version) + "\n");
  // Before anything forks: the runs and analyses read the same source.
  InputSource source;
  if (std::string error = make_input_source(options.input_format, options.inputs,
                                            options.netcdf_variables, source);
      !error.empty()) {
    return usage_error(error);
  }
  if (source.format == config::InputFormat::netcdf) driver::prepare_netcdf();
  set_input_source(std::move(source));
  SpeciesTable species;
  if (std::string error = load_species_table(options, species); !error.empty()) {
    return usage_error(error);
  }
  if (options.list_species) return print_out(species_list_text(species));
  if (options.merge) {
    study::BatchRecord merging = batch_record(args, build, {}, {}, {}, 0.0, 0.0, 0.0);
    merging.kind = study::kMergeKind;
    return merge_mode(options, merging);
  }
  if (options.compare) return compare_mode(options);
  return run_mode(options, build, species, args);
}

}  // namespace batch
