#include "batch/options.hpp"

#include <sched.h>
#include <unistd.h>

#include <charconv>
#include <cmath>

#include "batch/option_table.hpp"
#include "batch/tables.hpp"

namespace batch {
namespace {

// True when `text` is a whole number of at least 1, stored in `value`.
bool parse_count(std::string_view text, int& value) {
  const char* end = text.data() + text.size();
  auto result = std::from_chars(text.data(), end, value);
  return !text.empty() && result.ec == std::errc() && result.ptr == end && value >= 1;
}

// True when `value` is a finite positive number, stored in `limit`.
bool parse_limit(const std::string& value, double& limit) {
  const char* end = value.data() + value.size();
  auto result = std::from_chars(value.data(), end, limit);
  return !value.empty() && result.ec == std::errc() && result.ptr == end && limit > 0.0 &&
         std::isfinite(limit);
}

using Value = std::optional<std::string>;
using OptionRow = Option<Options>;

// The error of an option that needs what `what` says and was given `value`.
std::string needs(std::string_view option, std::string_view what, const std::string& value) {
  return "--" + std::string(option) + " needs " + std::string(what) + ", not '" + value + "'";
}

// Sets `field` to a file or directory name, which may not be empty.
template <typename Field>
std::string set_name(Field& field, std::string_view option, std::string_view what,
                     const std::string& value) {
  if (value.empty()) return "--" + std::string(option) + " needs " + std::string(what);
  field = value;
  return {};
}

std::string set_limit(std::optional<double>& field, std::string_view option,
                      const std::string& value) {
  double limit = 0.0;
  if (!parse_limit(value, limit)) return needs(option, "a positive number", value);
  field = limit;
  return {};
}

// As set_limit, but 0 is a limit too.
std::string set_replay_limit(std::optional<double>& field, const std::string& value) {
  double limit = 0.0;
  const char* end = value.data() + value.size();
  const auto result = std::from_chars(value.data(), end, limit);
  if (value.empty() || result.ec != std::errc() || result.ptr != end || !(limit >= 0.0) ||
      !std::isfinite(limit)) {
    return needs("replay-limit", "a number of at least 0", value);
  }
  field = limit;
  return {};
}

constexpr unsigned kWithMerge = 1;  // an option --merge takes
constexpr unsigned kWithCompare = 2;  // an option --compare takes

// The options, in the order --help lists them, with the lines between them.
// "{species}", "{scenario}", "{tag}" and "{jobs}" stand for the defaults.
constexpr OptionRow kOptions[] = {
    help_row<Options>("Configurations (a value may also be given as --option=VALUE):"),
    {"species", '\0', OptionValue::required, "LIST",
     [](Options& o, const Value& v) { o.species = *v; return std::string(); },
     "comma-separated species (default {species})"},
    {"scenario", '\0', OptionValue::required, "LIST",
     [](Options& o, const Value& v) { o.scenarios = *v; return std::string(); },
     "comma-separated scenario labels (default {scenario})"},
    {"tag", '\0', OptionValue::required, "LIST",
     [](Options& o, const Value& v) { o.tags = *v; return std::string(); },
     "comma-separated run tags (default {tag})\n"
     "the run set is their product, species varying slowest"},
    {"plan", '\0', OptionValue::required, "FILE",
     [](Options& o, const Value& v) { return set_name(o.plan, "plan", "a file name", *v); },
     "one species,scenario,tag per line instead of the lists;\n"
     "blank lines, lines starting with # and the header line\n"
     "species,scenario,tag are skipped; - reads standard\n"
     "input (at most 4 MiB)"},
    {"dry-run", '\0', OptionValue::none, "",
     [](Options& o, const Value&) { o.dry_run = true; return std::string(); },
     "print the run set as a plan (that header, then one line\n"
     "per configuration) and exit: --dry-run > study.plan"},
    help_row<Options>(
        "  A species holds at most 10 characters, a scenario label or tag at most 20,\n"
        "  all UTF-8, none a blank, '/' or control character; a configuration may come\n"
        "  only once. Names are case-sensitive. A species in no table is refused, with\n"
        "  the names it may have meant, and so is a tag that differs from static, no56\n"
        "  or no6 only in case, '-' or '_'; a tag one edit from one of these or allgas\n"
        "  runs with a warning."),
    {"species-table", '\0', OptionValue::required, "FILE",
     [](Options& o, const Value& v) {
       return set_name(o.species_table, "species-table", "a file name", *v);
     },
     "species and their constants, in the form that\n"
     "--list-species prints (at most 4 MiB); a row replaces the\n"
     "built-in one of the same name, and the summary says so\n"
     "when it gives other constants"},
    {"allow-unknown-species", '\0', OptionValue::none, "",
     [](Options& o, const Value&) { o.allow_unknown_species = true; return std::string(); },
     "run a species in no table with the default rate\n"
     "constants, as vbsfit does; the tables and summary say so"},
    help_row<Options>("\nRunning:"),
    {"workdir", '\0', OptionValue::required, "DIR",
     [](Options& o, const Value& v) { return set_name(o.workdir, "workdir", "a directory", *v); },
     "the working directory of every run (default .); input\n"
     "paths are relative to it, and DIR/FITS must exist",
     kWithMerge | kWithCompare},
    {"input-format", '\0', OptionValue::required, "FORMAT",
     [](Options& o, const Value& v) { o.input_format = *v; return std::string(); },
     "how the runs are stored: fixed (default: the layout\n"
     "vbsfit reads), csv or netcdf (one file per run, found\n"
     "by --inputs; see \"Runs from another box model\" below)"},
    {"inputs", '\0', OptionValue::required, "PATTERN",
     [](Options& o, const Value& v) { return set_name(o.inputs, "inputs", "a path pattern", *v); },
     "where a run of csv or netcdf is, relative to the working\n"
     "directory, {species} and {scenario} filled in (default\n"
     "../INPUTS_CSV/{scenario}_aer.{species}.csv, and\n"
     "../INPUTS_NETCDF/{scenario}_aer.{species}.nc)"},
    {"netcdf-variables", '\0', OptionValue::required, "MAP",
     [](Options& o, const Value& v) { o.netcdf_variables = *v; return std::string(); },
     "NetCDF variables of other names, as NAME=VARIABLE,...\n"
     "for NAME among time, precursor, bin1 ... bin6,\n"
     "molar_mass1 ... molar_mass6"},
    {"report", '\0', OptionValue::required, "DIR",
     [](Options& o, const Value& v) { return set_name(o.report, "report", "a directory", *v); },
     "the report directory, created when missing (default\n"
     "vbsfit-report in the working directory); a relative DIR\n"
     "is relative to the current directory. It must be new,\n"
     "empty or a report (it holds study.sqlite, or only the\n"
     "files listed below); any other directory is refused\n"
     "(status 2). Only the report's own files are written or\n"
     "removed; anything else in it stays, and is named",
     kWithMerge | kWithCompare},
    {"jobs", 'j', OptionValue::required, "N",
     [](Options& o, const Value& v) {
       int jobs = 0;
       if (!parse_count(*v, jobs)) return needs("jobs", "a whole number of at least 1", *v);
       o.jobs = jobs;
       return std::string();
     },
     "runs at once (default {jobs}, the CPUs available); the\n"
     "analyses of their fits take turns with them, and one\n"
     "more may run beside N runs, so that no CPU waits while\n"
     "a run's end is handed over"},
    {"shard", '\0', OptionValue::required, "K/N",
     [](Options& o, const Value& v) {
       Shard shard;
       if (!parse_shard(*v, shard)) {
         return needs("shard", "K/N with 1 <= K <= N (share K of N)", *v);
       }
       o.shard = shard;
       return std::string();
     },
     "run only share K of N (1 <= K <= N): configuration i of\n"
     "the run set, counted from 0 in run-set order, belongs to\n"
     "share (i mod N) + 1; for job arrays and several hosts"},
    {"se-limit", '\0', OptionValue::required, "X",
     [](Options& o, const Value& v) { return set_limit(o.se_limit, "se-limit", *v); },
     "the largest standard error of a determined coefficient\n"
     "(default 0.1); see \"Flags\" below"},
    {"misfit-limit", '\0', OptionValue::required, "X",
     [](Options& o, const Value& v) { return set_limit(o.misfit_limit, "misfit-limit", *v); },
     "the largest drift of a target bin's residuals (the\n"
     "lag-1 autocorrelation of their running sum) that still\n"
     "fits (default 0.98); see \"Verdicts\" below"},
    {"replay-limit", '\0', OptionValue::required, "X",
     [](Options& o, const Value& v) { return set_replay_limit(o.replay_limit, *v); },
     "a bin whose replay error is at most X (default 0.05,\n"
     "5 % of the bin's peak) is not a misfit for the drift of\n"
     "its residuals alone; 0 judges by the drift alone"},
    {"no-pages", '\0', OptionValue::none, "",
     [](Options& o, const Value&) { o.pages = false; return std::string(); },
     "write the tables only: no index.html and no page per\n"
     "configuration (a page takes about 60 kB, and drawing\n"
     "the pages adds about a sixth to the batch's time); the\n"
     "index and pages of an earlier batch are removed, and a\n"
     "batch with pages draws them again",
     kWithMerge},
    help_row<Options>(""),
    {"refit", '\0', OptionValue::optional, "[=all]",
     [](Options& o, const Value& v) {
       if (!v || *v == "stale") {
         o.refit = Options::Refit::stale;
       } else if (*v == "all") {
         o.refit = Options::Refit::all;
       } else {
         return "--refit takes stale (the default) or all, not '" + *v + "'";
       }
       return std::string();
     },
     "run stale configurations again, replacing their results\n"
     "files (=all: every configuration whose results file\n"
     "exists); an old file is removed only once the new one is\n"
     "complete, and put back if the run fails"},
    help_row<Options>("\nOther modes:"),
    {"forget", '\0', OptionValue::none, "",
     [](Options& o, const Value&) { o.forget = true; return std::string(); },
     "remove the run set's configurations from the study's\n"
     "record (their results files stay), with their pages and\n"
     "runs' output, and rewrite the report"},
    {"history", '\0', OptionValue::none, "",
     [](Options& o, const Value&) { o.history = true; return std::string(); },
     "\nwith --forget: remove their earlier fits from the\n"
     "study's history too (without it, every fit stays\n"
     "queryable; the batch log keeps the forget either way)"},
    {"compare", '\0', OptionValue::none, "",
     [](Options& o, const Value&) { o.compare = true; return std::string(); },
     "compare two fits of every configuration, given as two\n"
     "arguments A B: two batch numbers of the study --report\n"
     "names, or two report directories; writes compare.csv\n"
     "and compare.html (the largest changes against their\n"
     "combined standard error first) into --report (for two\n"
     "report directories, default the second)",
     kWithCompare},
    {"merge", '\0', OptionValue::none, "",
     [](Options& o, const Value&) { o.merge = true; return std::string(); },
     "join the reports of all N shards of one study, given as\n"
     "arguments, into the report directory --report names\n"
     "(written anew from their study records; pages are drawn\n"
     "from the inputs below --workdir); it must be new, empty\n"
     "or an earlier join of the same shares: a report whose\n"
     "study records a batch no share holds is refused. Each\n"
     "configuration is checked against its files below\n"
     "--workdir as a rerun checks it, and shares fitted with\n"
     "other constants for one species are refused",
     kWithMerge},
    {"allow-mixed-constants", '\0', OptionValue::none, "",
     [](Options& o, const Value&) { o.allow_mixed_constants = true; return std::string(); },
     "\nwith --merge: join such shares all the same (the\n"
     "summary names each species)",
     kWithMerge},
    {"list-species", '\0', OptionValue::none, "",
     [](Options& o, const Value&) { o.list_species = true; return std::string(); },
     "print the species table (with --species-table's rows) as\n"
     "a species table file and exit"},
    {"help", 'h', OptionValue::none, "",
     [](Options& o, const Value&) { o.help = true; return std::string(); },
     "show this help and exit"},
    {"version", '\0', OptionValue::none, "",
     [](Options& o, const Value&) { o.version = true; return std::string(); },
     "print the version and exit"},
};

// The options that cannot go together, and the operands only --merge takes.
// `given`: the rows of kOptions given.
std::string check_combination(const Options& o, const std::vector<std::size_t>& given) {
  if (o.help || o.version || o.list_species) return {};
  const bool lists = o.species || o.scenarios || o.tags;
  if (o.merge) {  // the table marks what --merge takes; this message names them
    for (std::size_t row : given) {
      if ((kOptions[row].groups & kWithMerge) == 0) {
        return "--merge takes only --report, --workdir, --no-pages, --allow-mixed-constants and "
               "the report directories to join";
      }
    }
    if (o.operands.empty()) return "--merge needs the report directories of the shards";
    return {};
  }
  if (o.compare) {
    for (std::size_t row : given) {
      if ((kOptions[row].groups & kWithCompare) == 0) {
        return "--compare takes only --report, --workdir and the two sides to compare (two batch numbers "
               "of the study, or two report directories)";
      }
    }
    if (o.operands.size() != 2) {
      return "--compare needs two arguments: two batch numbers of the study --report names, "
             "or two report directories";
    }
    return {};
  }
  if (!o.operands.empty()) return "unexpected argument '" + o.operands.front() + "'";
  if (o.history && !o.forget) return "--history goes only with --forget";
  if (o.allow_mixed_constants) return "--allow-mixed-constants goes only with --merge";
  if (o.plan && lists) return "--plan cannot be combined with --species, --scenario or --tag";
  if (o.forget && (o.refit != Options::Refit::none || o.dry_run)) {
    return "--forget cannot be combined with --refit or --dry-run";
  }
  return {};
}

}  // namespace

std::string parse_options(const std::vector<std::string>& args, Options& o) {
  ParsedLine line = parse_command_line<Options>(kOptions, args, o, true);
  if (!line.error.empty()) return line.error;
  o.operands.insert(o.operands.end(), line.operands.begin(), line.operands.end());
  return check_combination(o, line.given);
}

namespace {

// `text` in lines of at most kHelpWidth columns, the first starting with
// `label` in a column of its own, the others indented to match.
std::string help_entry(std::string_view label, std::string_view text) {
  constexpr std::size_t kHelpWidth = 77, kIndent = 21;
  std::string out = "  " + std::string(label), line;
  out.resize(kIndent, ' ');
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view word = text.substr(at, end - at);
    if (!line.empty() && kIndent + line.size() + 1 + word.size() > kHelpWidth) {
      out += line + "\n" + std::string(kIndent, ' ');
      line.clear();
    }
    line += (line.empty() ? "" : " ") + std::string(word);
    at = end + 1;
  }
  return out + line + "\n";
}

// The tables' entries of --help, their columns listed from the tables.
std::string table_help() {
  return help_entry(kRunsTable, "one row per configuration: " + help_list(kRunsColumns)) +
         help_entry(kCoefficientsTable,
                    "per fitted configuration, target bin and term (VOC, VB1...VB6): " +
                        help_list(kCoefficientsColumns)) +
         help_entry(kFitsTable,
                    "per fitted configuration and target bin: " + help_list(kFitsColumns)) +
         help_entry(kModelsTable,
                    "per species and scenario fitted under more than one tag, one row per tag: " +
                        help_list(kModelsColumns));
}

}  // namespace

int available_cpus() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

namespace {

// The options' part of --help, with the build's defaults in it.
std::string options_help_text(const BuildFacts& build, int default_jobs) {
  std::string text = options_help<Options>(kOptions, 21);
  const std::string jobs = std::to_string(default_jobs);
  using Default = std::pair<std::string_view, std::string_view>;
  for (auto [key, value] : {Default{"{species}", build.species},
                            Default{"{scenario}", build.scenario}, Default{"{tag}", build.tag},
                            Default{"{jobs}", jobs}}) {
    const std::size_t at = text.find(key);
    if (at != std::string::npos) text.replace(at, key.size(), value);
  }
  return text;
}

}  // namespace

std::string help_text(const BuildFacts& build, int default_jobs) {
  return R"(Usage: vbsfit-batch [OPTION]...
       vbsfit-batch --merge --report DIR SHARD_REPORT...
       vbsfit-batch --compare [--report DIR] A B
Fits every configuration of a study with vbsfit's own program, several at
once, and writes tables of the results.

A configuration is a species, a scenario label and a run tag. Each runs in a
child process in the working directory exactly as a vbsfit built for it runs
there: same input files, same results file FITS/fit6_coef.SPECIES.SCENARIO.TAG,
same standard output, standard error and exit status (kept in the report).
One failing configuration never stops or disturbs the others.

A configuration whose results file exists is checked, not run: its inputs
are fitted again in memory (no file written) and the file compared byte for
byte with what the fit gives. Equal, it is kept, with the fit's numbers in
the tables; different, it is stale (its inputs changed since it was written,
or the file was edited): not a success, and the summary names the file. When
the study's record shows the inputs and the results file unchanged since
they were recorded, the fit made with the rate constants and the layout the
species table gives now, and its numbers flagged under the same limits, no
refit is needed. So running the same command again finishes an interrupted
study, and what it keeps is what its inputs give.

)" + options_help_text(build, default_jobs) + R"(
On a terminal one progress line is kept on standard error; the summary at
the end gives the counts, the first message line of every failure and the
report directory. Ctrl-C (SIGINT), SIGTERM, SIGQUIT and SIGHUP stop the
launching, end the running configurations as vbsfit ends on that signal, and
write the tables of what finished; a configuration that cannot start for
want of file descriptors, processes or memory waits for a running one to end.

Report directory (a batch adds to the study there, never replaces it):
  study.sqlite       the study's record (SQLite): every batch, merge and
                     forget (version, command line, host, times) with what it
                     did to each configuration, every configuration with its
                     files' digests and its current fit's numbers, and every
                     earlier fit (its results file's bytes, coefficients,
                     verdicts and the limits they were judged under; a refit
                     never removes one); the tables and pages are written
                     from it at the end of each batch
  index.html         the report to open in a browser: totals, the first
                     configurations that did not succeed and why, the
                     configurations grouped by species (sort and filter by
                     any column; in a study of more than 1000 the groups
                     start closed), the tags compared, the coefficients across
                     scenarios, the flags at a glance; each configuration
                     links to its page (coefficients with standard errors
                     and flags, fit figures, charts, provenance)
  SPECIES,SCENARIO,TAG.html  that page (characters other than letters,
                     digits, . _ and - written ~XX)
)" + table_help() + R"(  compare.csv, compare.html  written by --compare: one row per coefficient
                     of each configuration on both sides (value_a, value_b,
                     change, their standard errors and combined one, the
                     change in combined standard errors, verdicts and
                     replay errors), and its page
  species.csv        the rows of --species-table that the run set used
  runs/SPECIES,SCENARIO,TAG.stdout and .stderr (when not empty): each run's
                     output, named as its page is; a configuration kept
                     after a failed run has none
  The tables and the index hold the whole study, from one read of its
  record. Numbers are the fit's own doubles in the shortest text that reads
  back exactly; an empty cell has no value. Each table is replaced only
  whole, and runs.csv last: a report without runs.csv is not whole.

Verdicts: the standard error of a coefficient is the noise of the stored
values (estimated from each series' third differences and its digits)
propagated through the fit without its bounds (docs/uncertainty.md); the
textbook sqrt(s^2 (A'A)^-1) is kept beside it as ols_standard_error. Each
fit is replayed: its
coefficients run as the model alone from the first record's bins, driven by
the observed precursor; a bin's replay error is the largest difference of
its replayed and observed values over its observed peak (fits.csv,
replay_error; the bins' total's in runs.csv). A target bin is a misfit when
the drift of its residuals (the lag-1 autocorrelation of their running sum,
each times its interval: the model's error in the stored values) exceeds
--misfit-limit and its replay error exceeds --replay-limit: the model
leaves a systematic error in that bin's data that shows when it runs alone.
Each coefficient has one verdict of four: trusted: standard error at most
--se-limit, the column independent of the others, in a bin that fits;
undetermined: in a bin that fits, with a larger error or a column the data
cannot tell apart from the others (do not use the value); misfit: in a
misfit bin, whatever its error (do not use the value); no effect: the column
is zero (K(j) = 0 under the tags static, no56, no6). A negative R² means the
fit describes the bin's rate of change worse than its mean alone would.

Runs from another box model (--input-format csv or netcdf): one file per
run, fitted by vbsfit's own stages in memory, the same results file written.
  CSV: a header row naming time (s), precursor, bin1 ... bin6 and
  molar_mass1 ... molar_mass6 (g/mol), in any order (other columns are
  ignored), then one row per record, at least 2, time increasing. Without
  molar-mass columns they come from RUN.molar_masses.csv beside RUN.csv:
  those six names and one row, which every record takes.
  NetCDF: a time dimension and one variable over it per series, named as in
  a CSV run (or mapped by --netcdf-variables); a molar mass may be a scalar.
  A units attribute is checked where present: time in s, min, h or days
  (converted), precursor and bins in one unit, molar masses in g/mol.
  Bad input is refused with the file, the line or variable, and the record.

A run that fails on its input (exit status 59 or 64: a field that is not a
number; 24: a file that ends early) has the file, line and columns of the
field, or the records found, added to its message in the tables.

Exit status: 0 when every configuration succeeded or was kept, 1 when one
failed or is stale, or the report could not be written whole (then it has
no runs.csv, and the summary says why: tell the two apart by runs.csv), 2
for a bad command line, plan, species table or name, a path that is not what
it must be, a --report directory that is not a report, a study.sqlite that
is not a study this program can write, or a report directory that another
batch is writing (nothing runs), 130, 143, 131 or 129 after SIGINT,
SIGTERM, SIGQUIT or SIGHUP. --forget of configurations the study does not
hold is status 1 and names them. A note beside a configuration that succeeded
does not make the status 1.

Examples:
  vbsfit-batch --species TOL,API_OH --scenario 0.1,0.5 --tag allgas,no6 -j 4
  vbsfit-batch --plan study.plan --workdir run --shard 2/3 --report report-2
  vbsfit-batch --merge --report report report-1 report-2 report-3
  vbsfit-batch --compare --report report 1 2
  vbsfit-batch --list-species > species.csv
  vbsfit-batch --species-table mine.csv --species MY_VOC --dry-run > study.plan
)";
}

}  // namespace batch
