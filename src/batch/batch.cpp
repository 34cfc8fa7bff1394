#include "batch/batch.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <iterator>

#include "batch/files.hpp"
#include "batch/input_faults.hpp"
#include "batch/merge.hpp"
#include "batch/pages.hpp"
#include "batch/report_layout.hpp"
#include "batch/runner.hpp"
#include "batch/signal_watch.hpp"
#include "batch/species_table.hpp"
#include "batch/study_index.hpp"
#include "batch/summary.hpp"
#include "batch/tables.hpp"
#include "config/config.hpp"
#include "config/species_file.hpp"

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

// Reads the --species-table file, if one is given, for the rest of the run.
std::string load_species_table(const Options& options) {
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
  use_species_file(std::move(rows));
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
// does not leave it behind, while runs it left going keep it until they end.
// Returns false when another batch holds it. A file system without locks
// leaves the batch unlocked rather than stopped.
bool claim_report(const std::string& report) {
  const std::string name = report + "/" + kLockFile;
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return true;  // the tables cannot be written either, and will say why
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;  // kept open until the batch ends
  const bool held = errno == EWOULDBLOCK;
  ::close(fd);
  return !held;
}

// The command line as a shell would take it back: the words that hold
// anything but letters, digits and -_./,=:+ in single quotes.
std::string command_text(const std::vector<std::string>& args) {
  std::string text = "vbsfit-batch";
  for (const std::string& arg : args) {
    bool plain = !arg.empty();
    for (const char c : arg) {
      plain = plain && (std::isalnum(static_cast<unsigned char>(c)) ||
                        std::strchr("-_./,=:+", c) != nullptr);
    }
    text += " ";
    if (plain) {
      text += arg;
      continue;
    }
    text += "'";
    for (const char c : arg) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += "'";
  }
  return text;
}

std::string host_name() {
  char name[256] = "";
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string now_text() { return utc_time(static_cast<long long>(std::time(nullptr))); }

int merge_mode(const Options& options) {
  if (!options.report) return usage_error("--merge needs --report, the directory to join into");
  // No write of the joined report is cut short by a signal; one that comes
  // ends the merge once it is written and summarized.
  std::string species_kept;
  if (std::string why = use_species_of_reports(options.operands, species_kept); !why.empty()) {
    return usage_error(why);
  }
  SignalWatch signals;
  MergeResult merged = merge_reports(options.operands, *options.report);
  const Tally tally = tally_of_rows(merged.tables.runs);
  if (merged.refusal.empty() && merged.error.empty() && !species_kept.empty()) {
    merged.error = write_file_atomically(*options.report + "/" + kSpeciesUsed, species_kept);
  }
  if (merged.refusal.empty() && merged.error.empty() && options.pages) {
    AnalysisSettings settings;
    settings.se_limit = merged.se_limit;
    settings.misfit_limit = merged.misfit_limit;
    settings.notes.misfit_limit = merged.misfit_limit;
    merged.error =
        write_pages(*options.report, fitted_configurations(merged.tables.runs), settings);
  }
  if (merged.refusal.empty() && merged.error.empty()) {
    merged.error = write_study_view(*options.report, merged.tables, {}, merged.se_limit,
                                    merged.misfit_limit, options.pages);
  }
  if (!merged.refusal.empty()) return usage_error(merged.refusal);
  if (!merged.error.empty()) return run_error(merged.error);
  std::cerr << summarize(tally, merged.tables.runs, report_shown(*options.report, options.pages),
                         0, merged.misfit_limit);
  return exit_status(tally, signals.take());
}

// The run set of the command line: its lists' product or its plan, checked.
// Returns the refusal, or empty with `entries` filled.
std::string read_run_set(const Options& options, const BuildFacts& build,
                         std::vector<RunEntry>& entries) {
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
  if (refusal.empty()) refusal = check_names(entries, options.allow_unknown_species);
  return refusal;
}

// Why the working directory cannot take the runs, or empty.
std::string check_workdir(const std::string& workdir) {
  std::error_code ec;
  if (!fs::is_directory(workdir, ec)) return "--workdir: " + workdir + " is not a directory";
  const std::string results = workdir + "/" + std::string(config::kResultsDirectory);
  if (!fs::is_directory(results, ec)) {
    return "the working directory has no directory " + std::string(config::kResultsDirectory) +
           " for the results files; create it: mkdir " + results;
  }
  return {};
}

// `notes`: the batch's version, command line, date and host for its pages.
RunnerSettings runner_settings(const Options& options, const Manifest& manifest,
                               const report::PageNotes& notes) {
  RunnerSettings settings;
  settings.workdir = options.workdir;
  settings.report = options.report.value_or(options.workdir + "/vbsfit-report");
  settings.jobs = options.jobs.value_or(available_cpus());
  settings.progress = ::isatty(STDERR_FILENO) == 1;
  settings.analysis.se_limit = manifest.se_limit;
  settings.analysis.misfit_limit = manifest.misfit_limit;
  settings.analysis.notes = notes;
  settings.analysis.notes.misfit_limit = manifest.misfit_limit;
  settings.analysis.workdir = options.workdir;
  settings.pages = options.pages;
  return settings;
}

// Creates the report directory and claims it for this batch. Returns the
// exit status of why it cannot be had, or kSucceeded.
int prepare_report(const std::string& report) {
  if (std::string fault = report_path_fault(report); !fault.empty()) {
    return usage_error("--report " + report + " " + fault);
  }
  std::error_code ec;
  fs::create_directories(report, ec);
  if (ec || !fs::is_directory(report)) {
    return run_error("cannot create the report directory " + report + ": " +
                     (ec ? ec.message() : "not a directory"));
  }
  if (!claim_report(report)) {
    std::cerr << "vbsfit-batch: another vbsfit-batch is writing the report " << report
              << " (or runs it started are still going); wait until it ends, or give another "
                 "--report\n";
    return kUsage;
  }
  return kSucceeded;
}

// Writes the tables, the manifest, the tags compared and the index of what
// finished (the pages are the analyses'); `batch` is this batch's record.
// Returns why one could not be written, or empty.
std::string write_report(const RunnerSettings& settings, const Manifest& manifest,
                         const std::vector<RunEntry>& share, const BatchResult& result,
                         const Tables& tables, const report::BatchRecord& batch) {
  std::string error = write_tables(settings.report, tables);
  if (error.empty()) {
    error = write_file_atomically(settings.report + "/" + kManifest, manifest_text(manifest));
  }
  if (const std::string used = species_used_text(share); error.empty() && !used.empty()) {
    error = write_file_atomically(settings.report + "/" + kSpeciesUsed, used);
  }
  if (error.empty()) error = result.page_error;
  if (error.empty()) {
    error = write_study_view(settings.report, tables, {batch}, manifest.se_limit,
                             manifest.misfit_limit, settings.pages);
  }
  return error;
}

int run_mode(const Options& options, const BuildFacts& build,
             const std::vector<std::string>& args) {
  std::vector<RunEntry> entries;
  if (std::string refusal = read_run_set(options, build, entries); !refusal.empty()) {
    return usage_error(refusal);
  }
  if (options.dry_run) return print_out(plan_text(entries));
  if (std::string refusal = check_workdir(options.workdir); !refusal.empty()) {
    return usage_error(refusal);
  }
  const Shard shard = options.shard.value_or(Shard{});
  const Manifest manifest{shard, static_cast<int>(entries.size()), fingerprint(entries),
                          options.se_limit.value_or(quality::kDefaultSeLimit),
                          options.misfit_limit.value_or(quality::kDefaultMisfitLimit)};
  const std::vector<RunEntry> share = shard_of(entries, shard);
  report::BatchRecord batch{std::string(build.version), command_text(args), now_text(), "",
                            host_name(), ""};
  batch.run_set = std::to_string(share.size()) + " of " + std::to_string(entries.size()) +
                  " configurations (share " + std::to_string(shard.index) + "/" +
                  std::to_string(shard.count) + ")";
  report::PageNotes notes;
  notes.version = batch.version;
  notes.command = batch.command;
  notes.date = batch.started;
  notes.host = batch.host;
  const RunnerSettings settings = runner_settings(options, manifest, notes);
  if (const int status = prepare_report(settings.report); status != kSucceeded) return status;

  // Held until the summary is out: the report says what finished, whole.
  SignalWatch signals;
  BatchResult result = run_configurations(share, settings, signals);
  note_input_facts(share, result.outcomes, settings.workdir);
  const Tables tables = table_rows(share, result.outcomes);
  const Tally tally = tally_of(result.outcomes);
  batch.ended = now_text();
  const std::string error = write_report(settings, manifest, share, result, tables, batch);
  std::cerr << summarize(tally, tables.runs, report_shown(settings.report, options.pages),
                         result.stop_signal, manifest.misfit_limit);
  std::vector<int> stops = signals.take();  // those that came while the report was written
  if (!error.empty()) return run_error("the report was not written: " + error);
  if (result.stop_signal != 0) stops.insert(stops.begin(), result.stop_signal);
  return exit_status(tally, stops);
}

}  // namespace

int batch_main(const std::vector<std::string>& args, const BuildFacts& build) {
  keep_standard_streams_open();
  Options options;
  if (std::string error = parse_options(args, options); !error.empty()) return usage_error(error);
  if (options.help) return print_out(help_text(build, available_cpus()));
  if (options.version) return print_out("vbsfit-batch " + std::string(build.version) + "\n");
  if (std::string error = load_species_table(options); !error.empty()) return usage_error(error);
  if (options.list_species) return print_out(species_list_text());
  if (options.merge) return merge_mode(options);
  return run_mode(options, build, args);
}

}  // namespace batch
