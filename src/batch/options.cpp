#include "batch/options.hpp"

#include <sched.h>
#include <unistd.h>

#include <charconv>
#include <cmath>

#include "batch/tables.hpp"

namespace batch {
namespace {

bool parse_count(std::string_view text, int& value) {
  const char* end = text.data() + text.size();
  auto result = std::from_chars(text.data(), end, value);
  return !text.empty() && result.ec == std::errc() && result.ptr == end && value >= 1;
}

// The options that take a value, and where it goes.
std::string assign(Options& o, std::string_view name, const std::string& value) {
  const std::string option = "--" + std::string(name);
  if (name == "species") {
    o.species = value;
  } else if (name == "scenario") {
    o.scenarios = value;
  } else if (name == "tag") {
    o.tags = value;
  } else if (name == "plan") {
    if (value.empty()) return option + " needs a file name";
    o.plan = value;
  } else if (name == "species-table") {
    if (value.empty()) return option + " needs a file name";
    o.species_table = value;
  } else if (name == "workdir") {
    if (value.empty()) return option + " needs a directory";
    o.workdir = value;
  } else if (name == "report") {
    if (value.empty()) return option + " needs a directory";
    o.report = value;
  } else if (name == "jobs") {
    int jobs = 0;
    if (!parse_count(value, jobs)) return option + " needs a whole number of at least 1, not '" + value + "'";
    o.jobs = jobs;
  } else if (name == "se-limit" || name == "misfit-limit") {
    double limit = 0.0;
    const char* end = value.data() + value.size();
    auto result = std::from_chars(value.data(), end, limit);
    if (value.empty() || result.ec != std::errc() || result.ptr != end || !(limit > 0.0) ||
        !std::isfinite(limit)) {
      return option + " needs a positive number, not '" + value + "'";
    }
    (name == "se-limit" ? o.se_limit : o.misfit_limit) = limit;
  } else if (name == "shard") {
    Shard shard;
    if (!parse_shard(value, shard)) {
      return option + " needs K/N with 1 <= K <= N (share K of N), not '" + value + "'";
    }
    o.shard = shard;
  } else {
    return "unknown option '" + option + "'";
  }
  return {};
}

bool takes_value(std::string_view name) {
  for (std::string_view n : {"species", "scenario", "tag", "plan", "workdir", "report", "jobs",
                             "shard", "se-limit", "misfit-limit", "species-table"}) {
    if (n == name) return true;
  }
  return false;
}

// The options that take no value.
std::string set_flag(Options& o, std::string_view name, const std::string& arg) {
  if (name == "merge") {
    o.merge = true;
  } else if (name == "forget") {
    o.forget = true;
  } else if (name == "no-pages") {
    o.pages = false;
  } else if (name == "list-species") {
    o.list_species = true;
  } else if (name == "allow-unknown-species") {
    o.allow_unknown_species = true;
  } else if (name == "dry-run") {
    o.dry_run = true;
  } else if (name == "help") {
    o.help = true;
  } else if (name == "version") {
    o.version = true;
  } else {
    return "unknown option '" + arg + "'";
  }
  return {};
}

// The options that cannot go together, and the operands only --merge takes.
std::string check_combination(const Options& o) {
  if (o.help || o.version || o.list_species) return {};
  const bool lists = o.species || o.scenarios || o.tags;
  if (o.merge) {
    if (lists || o.plan || o.shard || o.jobs || o.se_limit || o.misfit_limit ||
        o.species_table || o.allow_unknown_species || o.dry_run || o.forget ||
        o.refit != Options::Refit::none) {
      return "--merge takes only --report, --workdir, --no-pages and the report directories to "
             "join";
    }
    if (o.operands.empty()) return "--merge needs the report directories of the shards";
    return {};
  }
  if (!o.operands.empty()) return "unexpected argument '" + o.operands.front() + "'";
  if (o.plan && lists) return "--plan cannot be combined with --species, --scenario or --tag";
  if (o.forget && (o.refit != Options::Refit::none || o.dry_run)) {
    return "--forget cannot be combined with --refit or --dry-run";
  }
  return {};
}

// The option `arg` as its long name and the value given with it ("-j4",
// "--jobs=4"). False when it is no option this program knows the form of.
bool split_option(const std::string& arg, std::string& name, std::optional<std::string>& value) {
  if (arg == "-h") {
    name = "help";
  } else if (arg.rfind("-j", 0) == 0) {
    name = "jobs";
    if (arg.size() > 2) value = arg.substr(2);
  } else if (arg.rfind("--", 0) == 0) {
    name = arg.substr(2);
    if (std::size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string parse_options(const std::vector<std::string>& args, Options& o) {
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      o.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    std::string name;
    std::optional<std::string> value;
    if (!split_option(arg, name, value)) return "unknown option '" + arg + "'";
    if (name == "refit") {  // its value is optional, and only after '='
      if (!value || *value == "stale") {
        o.refit = Options::Refit::stale;
      } else if (*value == "all") {
        o.refit = Options::Refit::all;
      } else {
        return "--refit takes stale (the default) or all, not '" + *value + "'";
      }
      continue;
    }
    if (!takes_value(name)) {
      if (value) return "option '--" + name + "' takes no value";
      if (std::string error = set_flag(o, name, arg); !error.empty()) return error;
      continue;
    }
    if (!value) {
      if (i + 1 == args.size()) return "option '--" + name + "' needs a value";
      value = args[++i];
    }
    if (std::string error = assign(o, name, *value); !error.empty()) return error;
  }
  return check_combination(o);
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
                    "per fitted configuration and target bin: " + help_list(kFitsColumns));
}

}  // namespace

int available_cpus() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

std::string help_text(const BuildFacts& build, int default_jobs) {
  const std::string species(build.species), scenario(build.scenario), tag(build.tag);
  return R"(Usage: vbsfit-batch [OPTION]...
       vbsfit-batch --merge --report DIR SHARD_REPORT...
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
they were recorded, no refit is needed. So running the same command again
finishes an interrupted study, and what it keeps is what its inputs give.

Configurations (a value may also be given as --option=VALUE):
  --species LIST     comma-separated species (default )" + species + R"()
  --scenario LIST    comma-separated scenario labels (default )" + scenario + R"()
  --tag LIST         comma-separated run tags (default )" + tag + R"()
                     the run set is their product, species varying slowest
  --plan FILE        one species,scenario,tag per line instead of the lists;
                     blank lines, lines starting with # and the header line
                     species,scenario,tag are skipped; - reads standard
                     input (at most 4 MiB)
  --dry-run          print the run set as a plan (that header, then one line
                     per configuration) and exit: --dry-run > study.plan
  A species holds at most 10 characters, a scenario label or tag at most 20,
  all UTF-8, none a blank, '/' or control character; a configuration may come
  only once. Names are case-sensitive. A species in no table is refused, with
  the names it may have meant, and so is a tag that differs from static, no56
  or no6 only in case, '-' or '_'.
  --species-table FILE  species and their constants, in the form that
                     --list-species prints (at most 4 MiB); a row replaces the
                     built-in one of the same name, and the summary says so
  --allow-unknown-species  run a species in no table with the default rate
                     constants, as vbsfit does; the tables and summary say so

Running:
  --workdir DIR      the working directory of every run (default .); input
                     paths are relative to it, and DIR/FITS must exist
  --report DIR       the report directory, created when missing (default
                     vbsfit-report in the working directory); a relative DIR
                     is relative to the current directory. It must be new,
                     empty or a report (it holds study.sqlite, or only the
                     files listed below); any other directory is refused
                     (status 2). Only the report's own files are written or
                     removed; anything else in it stays, and is named
  -j, --jobs N       runs at once (default )" + std::to_string(default_jobs) + R"(, the CPUs available); the
                     analyses of their fits take turns with them, and one
                     more may run beside N runs, so that no CPU waits while
                     a run's end is handed over
  --shard K/N        run only share K of N (1 <= K <= N): configuration i of
                     the run set, counted from 0 in run-set order, belongs to
                     share (i mod N) + 1; for job arrays and several hosts
  --se-limit X       the largest standard error of a determined coefficient
                     (default 0.1); see "Flags" below
  --misfit-limit X   the largest lag-1 autocorrelation of a target bin's
                     residuals that still fits (default 0.2); see "Flags"
  --no-pages         write the tables only: no index.html and no page per
                     configuration (a page takes about 60 kB, and drawing
                     the pages adds about a sixth to the batch's time); the
                     index and pages of an earlier batch are removed, and a
                     batch with pages draws them again

  --refit[=all]      run stale configurations again, replacing their results
                     files (=all: every configuration whose results file
                     exists); an old file is removed only once the new one is
                     complete, and put back if the run fails

Other modes:
  --forget           remove the run set's configurations from the study's
                     record (their results files stay), with their pages and
                     runs' output, and rewrite the report
  --merge            join the reports of all N shards of one study, given as
                     arguments, into the report directory --report names
                     (written anew from their study records; pages are drawn
                     from the inputs below --workdir); it must be new, empty
                     or an earlier join of the same shares: a report whose
                     study records a batch no share holds is refused
  --list-species     print the species table (with --species-table's rows) as
                     a species table file and exit
  -h, --help         show this help and exit
  --version          print the version and exit

On a terminal one progress line is kept on standard error; the summary at
the end gives the counts, the first message line of every failure and the
report directory. Ctrl-C (SIGINT), SIGTERM, SIGQUIT and SIGHUP stop the
launching, end the running configurations as vbsfit ends on that signal, and
write the tables of what finished; a configuration that cannot start for
want of file descriptors, processes or memory waits for a running one to end.

Report directory (a batch adds to the study there, never replaces it):
  study.sqlite       the study's record (SQLite): every batch (version,
                     command line, host, times) and every configuration with
                     its files' digests and its fit's numbers; the tables and
                     pages are written from it at the end of each batch
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
)" + table_help() + R"(  models.csv         per species and scenario fitted under more than one
                     tag, one row per tag: species, scenario, tag, rss, aic
                     (summed over the six bins: 1440 ln(RSS/1440) + 2k, k
                     the coefficients strictly inside their bounds), k,
                     preferred (the lowest AIC; within 2, the tag with fewer
                     reactions)
  species.csv        the rows of --species-table that the run set used
  runs/SPECIES,SCENARIO,TAG.stdout and .stderr (when not empty): each run's
                     output, named as its page is; a configuration kept
                     after a failed run has none
  The tables and the index hold the whole study, from one read of its
  record. Numbers are the fit's own doubles in the shortest text that reads
  back exactly; an empty cell has no value. Each table is replaced only
  whole, and runs.csv last: a report without runs.csv is not whole.

Flags: the standard error of a coefficient is that of the fit without its
bounds, sqrt of the diagonal of s^2 (A'A)^-1, s^2 = RSS / (1440 - the
coefficients strictly inside their bounds). determined: at most --se-limit,
and the column independent of the others; undetermined: larger, or a column
the data cannot tell apart from the others (do not use the value); no effect:
the column is zero (K(j) = 0 under the tags static, no56, no6). misfit: a
target bin whose residuals' lag-1 autocorrelation exceeds --misfit-limit
leaves residuals that run in long stretches of one sign, so the model does
not describe that bin's data and none of its coefficients is to be trusted,
whatever its flag. A negative R² means the fit describes the bin's rate of
change worse than its mean alone would.

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
SIGTERM, SIGQUIT or SIGHUP. A note beside a
configuration that succeeded does not make the status 1.

Examples:
  vbsfit-batch --species TOL,API_OH --scenario 0.1,0.5 --tag allgas,no6 -j 4
  vbsfit-batch --plan study.plan --workdir run --shard 2/3 --report report-2
  vbsfit-batch --merge --report report report-1 report-2 report-3
  vbsfit-batch --list-species > species.csv
  vbsfit-batch --species-table mine.csv --species MY_VOC --dry-run > study.plan
)";
}

}  // namespace batch
