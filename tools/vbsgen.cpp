// vbsgen: writes one synthetic box-model run, in the layout that vbsfit
// reads, from coefficients that are known, and writes those coefficients
// beside it, so that a fit can be checked against the truth.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch/option_table.hpp"
#include "config/config.hpp"
#include "config/species_file.hpp"
#include "textio/formatted.hpp"
#include "textio/list_directed.hpp"
#include "textio/unit.hpp"
#include "vbsgen_model.hpp"

namespace {

namespace fs = std::filesystem;

constexpr int kUsageError = 2;  // a bad command line or coefficient file
constexpr int kRunError = 1;    // the run could not be made or written
constexpr double kInitialPrecursor = 25.0;
constexpr int kMaxRecords = 1'000'000;


// The truth file's coefficient rows: seven values with 15 significant digits,
// as many as a decimal can have and still read back unchanged, so that the
// values of a coefficient file show as they were given, and the self term
// shifted by 1 shows without the rounding of that addition.
const textio::Format kTruthFormat{
    {{textio::EditDescriptor::Kind::skip, 1, 0}, {textio::EditDescriptor::Kind::e_field, 22, 15}},
    7};


enum class Layout { standard, ideal };

struct Options {
  std::string species = "OLE2_OH";
  std::string scenario = "0.1";
  std::string tag = "allgas";
  std::optional<Layout> layout;
  std::string output = ".";
  std::string coefficients;
  std::uint64_t seed = 1;
  int records = config::kRecords;
  double step = 300.0;
  double noise = 0.0;
  std::string truth;
  std::string species_table;
  bool allow_unknown = false;
  bool help = false;
  bool version = false;
  // The species table file's rows; `row` is the one the species takes.
  std::vector<config::SpeciesFileRow> file_rows;
  config::SpeciesRow row{};
};

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "vbsgen: %s\nTry 'vbsgen --help' for more information.\n", message.c_str());
  std::exit(kUsageError);
}

[[noreturn]] void run_error(const std::string& message) {
  std::fprintf(stderr, "vbsgen: %s\n", message.c_str());
  std::exit(kRunError);
}

// A name that goes into a path and into one of the fit's fixed-length names.
void check_name(std::string_view option, const std::string& value, std::size_t limit) {
  const std::string fault = config::name_fault(value, limit);
  if (!fault.empty()) usage_error("--" + std::string(option) + " '" + value + "' " + fault);
}

// A species table or coefficient file is text of a few kilobytes; larger
// is not one.
constexpr std::size_t kTextFileLimit = std::size_t{4} << 20;

// Reads a regular file (or a pipe) of at most kTextFileLimit bytes. Returns
// why it cannot, or empty.
std::string read_text_file(const std::string& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat st {};
  std::string why;
  if (::fstat(fd, &st) != 0) {
    why = std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    why = "it is a directory";
  } else if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
    why = "it is not a regular file";
  } else {
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        why = std::strerror(errno);
        break;
      }
      if (got == 0) break;
      if (text.size() + static_cast<std::size_t>(got) > kTextFileLimit) {
        why = "it is larger than 4 MiB, the limit";
        break;
      }
      text.append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  return why;
}

template <typename T>
bool parse_number(const std::string& text, T& value) {
  const char* end = text.data() + text.size();
  auto result = std::from_chars(text.data(), end, value);
  return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

using Value = std::optional<std::string>;
using OptionRow = batch::Option<Options>;

// Reads `value` into `field` when it is a number that `fits`; otherwise the
// usage error `refusal` + " not '" + value + "'".
template <typename T, typename Fits>
std::string set_number(T& field, const std::string& value, Fits fits, std::string_view refusal) {
  if (parse_number(value, field) && fits(field)) return {};
  return std::string(refusal) + ", not '" + value + "'";
}

// Sets a file or directory name, which may not be empty.
std::string set_path(std::string& field, std::string_view option, const std::string& value) {
  if (value.empty()) return "--" + std::string(option) + " must not be empty";
  field = value;
  return {};
}

// The options, in the order --help lists them.
constexpr OptionRow kOptions[] = {
    batch::help_row<Options>("Options (a value may also be given as --option=VALUE):"),
    {"species", '\0', batch::OptionValue::required, "NAME",
     [](Options& o, const Value& v) { o.species = *v; return std::string(); },
     "species, at most 10 characters (default OLE2_OH); it\n"
     "selects KP and K and goes into the paths. Names are\n"
     "case-sensitive; a species in no table is refused, with\n"
     "the names it may have meant"},
    {"species-table", '\0', batch::OptionValue::required, "FILE",
     [](Options& o, const Value& v) { return set_path(o.species_table, "species-table", *v); },
     "species and their constants, in the form that\n"
     "vbsfit-batch --list-species prints; a row replaces\n"
     "the built-in one of the same name"},
    {"allow-unknown-species", '\0', batch::OptionValue::none, "",
     [](Options& o, const Value&) { o.allow_unknown = true; return std::string(); },
     "use the default rate constants for a species in\n"
     "no table, as vbsfit does"},
    {"scenario", '\0', batch::OptionValue::required, "LABEL",
     [](Options& o, const Value& v) { o.scenario = *v; return std::string(); },
     "scenario label, at most 20 characters (default 0.1)"},
    {"tag", '\0', batch::OptionValue::required, "TAG",
     [](Options& o, const Value& v) { o.tag = *v; return std::string(); },
     "run tag, at most 20 characters (default allgas);\n"
     "\"static\" sets every K(j) to 0, \"no56\" K(5) and K(6),\n"
     "\"no6\" K(6); a term ajr with K(j) = 0 has no effect and\n"
     "cannot be recovered by a fit; a tag that differs from\n"
     "these only in case, '-' or '_' is refused, and one a\n"
     "single edit from one of them or allgas is warned of"},
    {"layout", '\0', batch::OptionValue::required, "LAYOUT",
     [](Options& o, const Value& v) {
       if (*v == "standard") {
         o.layout = Layout::standard;
       } else if (*v == "ideal") {
         o.layout = Layout::ideal;
       } else {
         return "--layout must be 'standard' or 'ideal', not '" + *v + "'";
       }
       return std::string();
     },
     "standard or ideal (default: the species' layout in the\n"
     "table, standard for a species in none); vbsfit reads\n"
     "the ideal layout only for a species whose row says\n"
     "so, so the two must agree"},
    {"output", '\0', batch::OptionValue::required, "DIR",
     [](Options& o, const Value& v) { return set_path(o.output, "output", *v); },
     "where to write (default .):\n"
     "standard: DIR/INPUTS_ODE/5days/LABEL_aer.NAME/ with\n"
     "  aer.precursor, aer.cdis_all.6 and aer.wmol_vbs.6;\n"
     "  run vbsfit in a directory beside INPUTS_ODE\n"
     "ideal: DIR/aer.precursor.ideal and DIR/aer.ideal;\n"
     "  run vbsfit in DIR\n"
     "missing directories are created"},
    {"coefficients", '\0', batch::OptionValue::required, "FILE",
     [](Options& o, const Value& v) { return set_path(o.coefficients, "coefficients", *v); },
     "true coefficients from FILE instead of a seed"},
    {"seed", '\0', batch::OptionValue::required, "N",
     [](Options& o, const Value& v) {
       return set_number(o.seed, *v, [](std::uint64_t) { return true; },
                         "--seed must be an unsigned integer");
     },
     "seed of the drawn coefficients and of the noise, an\n"
     "unsigned 64-bit integer (default 1)"},
    {"records", '\0', batch::OptionValue::required, "N",
     [](Options& o, const Value& v) {
       return set_number(o.records, *v, [](int n) { return n >= 2 && n <= kMaxRecords; },
                         "--records must be an integer from 2 to 1000000");
     },
     "number of records, 2 ... 1000000 (default 1441; vbsfit\n"
     "reads exactly 1441)"},
    {"step", '\0', batch::OptionValue::required, "SECONDS",
     [](Options& o, const Value& v) {
       return set_number(o.step, *v, [](double x) { return std::isfinite(x) && x > 0.0; },
                         "--step must be a positive number of seconds");
     },
     "time step, positive (default 300: 1441 records span\n"
     "five days)"},
    {"noise", '\0', batch::OptionValue::required, "REL",
     [](Options& o, const Value& v) {
       return set_number(o.noise, *v, [](double x) { return x >= 0.0 && x < 1.0; },
                         "--noise must be a number in [0, 1)");
     },
     "relative noise in [0, 1) (default 0): every precursor\n"
     "and bin value is multiplied by 1 + REL u, u uniform in\n"
     "[-1, 1); times and molar masses stay exact"},
    {"truth", '\0', batch::OptionValue::required, "FILE",
     [](Options& o, const Value& v) { return set_path(o.truth, "truth", *v); },
     "where to write the true coefficients (default\n"
     "true_coef.NAME.LABEL.TAG in the data directory)"},
    {"help", 'h', batch::OptionValue::none, "",
     [](Options& o, const Value&) { o.help = true; return std::string(); },
     "show this help and exit"},
    {"version", '\0', batch::OptionValue::none, "",
     [](Options& o, const Value&) { o.version = true; return std::string(); },
     "print the version and exit"},
};

// --help, its options' part made from kOptions.
std::string help_text() {
  return R"(Usage: vbsgen [OPTION]...
Writes one synthetic simulation run in the input layout that vbsfit reads,
driven by known coefficients, and writes those coefficients beside it.

The precursor starts at 25 and decays at the species' rate constant KP; the
six volatility bins start empty and follow the linear model that vbsfit fits,
  d(bin r)/dt = a0r KP precursor + sum over j of ajr K(j) (bin j),
integrated with the trapezoidal rule, for which the fit's interval model is
exact. KP and K(1...6) come from vbsfit's own species table and tag rules.

What a fit can recover depends on the data, not only on the model: a term
whose reaction is too slow to show in the digits of the files (K(5) and K(6)
of most species, in the standard layout) or that noise drowns is not pinned
down, and the fit may report any value there. vbsfit-batch gives every
coefficient a standard error and one verdict of four:
  trusted        standard error at most 0.1 (--se-limit) and the term's
                 column independent of the others, in a bin that fits: the
                 data fix it
  undetermined   a larger standard error, or a column the data cannot tell
                 apart from the others: the value may be far from the truth
  misfit         its bin's residuals run in stretches of one sign (a tag
                 that drops reactions the data had): the model does not
                 describe the data, whatever the error
  no effect      K(j) = 0 (tags static, no56, no6): the term does not enter
                 the fit and its value means nothing
On vbsgen runs of both layouts, with and without noise, the truth of 90 %
to 97 % of the determined coefficients lay within 1.96 standard errors of
the fitted value, as it should for 95 %.

)" + batch::options_help<Options>(kOptions, 24) + R"(
Coefficient file (--coefficients): six lines, one per target bin r = 1...6,
of seven numbers each: a0r a1r a2r a3r a4r a5r a6r, separated by blanks, tabs
or commas. a0r is the precursor yield of bin r, ajr (j != r) what bin j feeds
into bin r, both in [0, 10000]; arr is the raw self term, in [-1, 0]. Blank
lines and lines beginning with # are ignored.

Drawn coefficients (--seed): a0r in [0.01, 0.3], arr in [-0.9, -0.1], bin r-1
feeding bin r in [0.05, 0.8], with even odds bin r-2 feeding bin r in
[0.02, 0.3]; every other term 0. All are multiples of 0.001.

Truth file: the layout of vbsfit's results file without its molar-mass record:
the same two header records, then one row per target bin r = 1...6 of the
seven values a0r ... a6r in the format (7(1X,E22.15)), with the self term
reported as vbsfit reports it: arr + 1.

Nothing is overwritten: if any file to be written exists, vbsgen stops
before writing anything, and a run that cannot write every file (a full
disk) leaves none of them. Exit status 0 on success, 2 for a bad option,
name, species table or coefficient file, 1 when the files cannot be written.
)";
}

// Sets o.row: the species table file's row of the species, else the built-in
// one, else (with --allow-unknown-species) the default; refuses a species in
// no table with the names it may have meant.
void choose_species_row(Options& o) {
  if (!o.species_table.empty()) {
    std::string text;
    const std::string why = read_text_file(o.species_table, text);
    if (!why.empty()) {
      usage_error("cannot read the species table '" + o.species_table + "': " + why);
    }
    const std::string refusal = config::parse_species_file(text, o.species_table, o.file_rows);
    if (!refusal.empty()) usage_error(refusal);
  }
  std::vector<std::string_view> names;
  for (const config::SpeciesFileRow& r : o.file_rows) {
    if (r.name == o.species) {
      o.row = {"", r.kp, r.multiplier, r.multiplier6, r.ideal};
      return;
    }
    names.push_back(r.name);
  }
  o.row = config::species_row(o.species);
  if (config::find_species(o.species) != nullptr || o.allow_unknown) return;
  for (const config::SpeciesRow& r : config::species_table()) names.push_back(r.key);
  usage_error("--species '" + o.species + "' is in no species table" +
              config::did_you_mean(o.species, names) +
              " (names are case-sensitive; vbsfit-batch --list-species shows the table, "
              "--species-table FILE adds species, --allow-unknown-species uses the default rate "
              "constants)");
}

Options parse_command_line(int argc, char** argv) {
  Options o;
  const batch::ParsedLine line = batch::parse_command_line<Options>(
      kOptions, std::vector<std::string>(argv + 1, argv + argc), o, false);
  if (!line.error.empty()) usage_error(line.error);
  if (o.help || o.version) return o;

  // The fit reads these into fixed-length names: a longer value would be cut
  // there and the paths would no longer match.
  check_name("species", o.species, config::kSpeciesLength);
  check_name("scenario", o.scenario, config::kScenarioLength);
  check_name("tag", o.tag, config::kTagLength);
  if (std::string refusal = config::tag_refusal(o.tag); !refusal.empty()) {
    usage_error("--tag: " + refusal);
  }
  if (std::string warning = config::tag_warning(o.tag); !warning.empty()) {
    std::fprintf(stderr, "vbsgen: warning: %s\n", warning.c_str());
  }
  choose_species_row(o);
  const Layout expected =
      config::layout_of(o.row) == config::Layout::ideal ? Layout::ideal : Layout::standard;
  if (!o.layout) o.layout = expected;
  if (*o.layout != expected) {
    usage_error(*o.layout == Layout::ideal
                    ? "vbsfit reads the ideal layout only for a species whose row says so, not '" +
                          o.species + "'"
                    : "vbsfit reads the species '" + o.species + "' in the ideal layout only");
  }
  return o;
}

vbsgen::Coefficients load_coefficients(const std::string& path) {
  std::string text;
  if (const std::string why = read_text_file(path, text); !why.empty()) {
    usage_error("cannot read the coefficient file '" + path + "': " + why);
  }
  vbsgen::Coefficients coef{};
  std::string problem = vbsgen::parse_coefficients(text, coef);
  if (!problem.empty()) usage_error("coefficient file '" + path + "': " + problem);
  return coef;
}

struct Targets {
  fs::path directory;  // created if missing
  std::vector<fs::path> data;
  fs::path truth;
};

Targets target_paths(const Options& o) {
  Targets t;
  if (*o.layout == Layout::standard) {
    t.directory = fs::path(o.output) / config::standard_input_directory(o.species, o.scenario);
    t.data = {t.directory / config::kPrecursorFile, t.directory / config::kBinsFile,
              t.directory / config::kMolarMassFile};
  } else {
    t.directory = fs::path(o.output);
    t.data = {t.directory / config::kIdealPrecursorFile, t.directory / config::kIdealBinsFile};
  }
  t.truth = o.truth.empty()
                ? t.directory / ("true_coef." + o.species + "." + o.scenario + "." + o.tag)
                : fs::path(o.truth);
  for (const fs::path& p : t.data) {
    if (fs::absolute(p).lexically_normal() == fs::absolute(t.truth).lexically_normal()) {
      usage_error("--truth '" + o.truth + "' names one of the data files");
    }
  }
  return t;
}

// Stops before anything is written if any target exists (a dangling link
// counts) or a directory cannot be made; afterwards the directories exist.
void prepare_targets(const Targets& t) {
  std::vector<fs::path> all = t.data;
  all.push_back(t.truth);
  for (const fs::path& p : all) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) == 0) {
      run_error("'" + p.string() + "' exists already; nothing was written");
    }
  }
  for (const fs::path& dir : {t.directory, t.truth.parent_path()}) {
    if (dir.empty()) continue;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) run_error("cannot create the directory '" + dir.string() + "': " + ec.message());
    if (::access(dir.c_str(), W_OK) != 0) {
      run_error("cannot write into the directory '" + dir.string() + "'");
    }
  }
}

// The text of a file: its records, each ending in a line feed.
struct FileText {
  std::string text;
  void add(const std::vector<std::string>& records) {
    for (const std::string& record : records) text += record + "\n";
  }
};

// The data files' texts, in the order of Targets::data.
std::vector<FileText> standard_texts(const vbsgen::Run& run) {
  std::vector<FileText> files(3);
  files[0].add(textio::render_list({"    time(s)    precursor"}));
  for (std::size_t i = 0; i < run.time.size(); ++i) {
    const double record[] = {run.time[i], run.precursor[i]};
    files[0].add(textio::render_formatted(textio::FMT4, record));
  }
  for (int file = 1; file <= 2; ++file) {
    const auto& series = file == 1 ? run.bins : run.wmol;
    for (std::size_t i = 0; i < run.time.size(); ++i) {
      double record[vbsgen::kColumns] = {run.time[i]};
      for (int j = 0; j < vbsgen::kBins; ++j) record[j + 1] = series[i][j];
      files[file].add(textio::render_formatted(textio::FMT3, record));
    }
  }
  return files;
}

std::vector<FileText> ideal_texts(const vbsgen::Run& run) {
  std::vector<FileText> files(2);
  const std::string header = std::string(16, ' ') + "time(s)" + std::string(15, ' ') + "precursor";
  // The names end over their columns.
  files[0].add(textio::render_list({std::string_view(header)}));
  for (std::size_t i = 0; i < run.time.size(); ++i) {
    const double record[] = {run.time[i], run.precursor[i]};
    files[0].add(textio::render_formatted(textio::FMT5, record));
  }
  files[1].add(textio::render_list({"time  vb1  vb2  vb3  vb4  vb5  vb6"}));
  for (std::size_t i = 0; i < run.time.size(); ++i) {
    double record[vbsgen::kColumns] = {run.time[i]};
    for (int j = 0; j < vbsgen::kBins; ++j) record[j + 1] = run.bins[i][j];
    files[1].add(textio::render_list({std::span<const double>(record)}));
  }
  return files;
}

FileText truth_text(const vbsgen::Coefficients& coef) {
  FileText file;
  file.add(textio::render_list({config::kResultsTitle}));
  file.add(textio::render_list({config::kResultsColumns}));
  for (int r = 0; r < vbsgen::kBins; ++r) {
    std::array<double, vbsgen::kColumns> row = coef[r];
    row[r + 1] += config::kSelfShift;  // reported as the fit reports it
    file.add(textio::render_formatted(kTruthFormat, row));
  }
  return file;
}

// Writes every file of `texts` to its path in `paths`, all or none: each
// goes to a temporary file beside it first, and only when all are written
// are they given their names (a link, which never replaces a file). Ends
// the run with status 1 and no file left behind when one cannot be written.
void write_all_or_none(const std::vector<fs::path>& paths, const std::vector<FileText>& texts) {
  std::vector<fs::path> temporary, named;
  auto fail = [&](const std::string& why) {
    for (const fs::path& p : temporary) ::unlink(p.c_str());
    for (const fs::path& p : named) ::unlink(p.c_str());
    run_error(why + "; nothing was written");
  };
  for (std::size_t n = 0; n < paths.size(); ++n) {
    fs::path temp = paths[n];
    temp += ".vbsgen-" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) fail("cannot create '" + temp.string() + "': " + std::strerror(errno));
    temporary.push_back(temp);
    std::string_view rest = texts[n].text;
    while (!rest.empty()) {
      const ssize_t written = ::write(fd, rest.data(), rest.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        const int error = written < 0 ? errno : ENOSPC;
        ::close(fd);
        fail("cannot write '" + paths[n].string() + "': " + std::strerror(error));
      }
      rest.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::close(fd) != 0) fail("cannot write '" + paths[n].string() + "': " + std::strerror(errno));
  }
  for (std::size_t n = 0; n < paths.size(); ++n) {
    if (::link(temporary[n].c_str(), paths[n].c_str()) != 0) {
      fail("cannot create '" + paths[n].string() + "': " + std::strerror(errno));
    }
    named.push_back(paths[n]);
  }
  for (const fs::path& p : temporary) ::unlink(p.c_str());
}

// The first record whose time the files cannot show exactly, or 0. The fit
// takes its intervals from the times in the files, so rounded times would
// make its model differ from the one simulated.
std::size_t first_inexact_time(const vbsgen::Run& run, Layout layout) {
  for (std::size_t i = 0; i < run.time.size(); ++i) {
    const double t = run.time[i];
    std::string text =
        layout == Layout::standard ? textio::render_e(t, 13, 5) : textio::render_list({t}).front();
    double back = 0.0;
    if (layout == Layout::standard) {
      textio::parse_e_field(text, 5, back);
    } else {
      std::from_chars(text.data() + text.find_first_not_of(' '), text.data() + text.size(), back);
    }
    if (back != t) return i + 1;
  }
  return 0;
}

// A number for the summary lines: its list-directed rendering, unpadded.
std::string show(double value) {
  std::string text = textio::render_list({value}).front();
  const std::size_t first = text.find_first_not_of(' ');
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse_command_line(argc, argv);
  if (o.help || o.version) {
    if (o.help) std::fputs(help_text().c_str(), stdout);
    if (o.version) std::printf("vbsgen %s\n", VBSFIT_VERSION);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      run_error(std::string("cannot write to standard output: ") + std::strerror(errno));
    }
    return 0;
  }
  const vbsgen::Coefficients coef = o.coefficients.empty() ? vbsgen::draw_coefficients(o.seed)
                                                           : load_coefficients(o.coefficients);
  // KP and K as vbsfit sets them for this species and tag.
  const vbsgen::RateConstants rates = config::rate_constants(o.row, o.tag);

  vbsgen::Run run;
  std::string problem = vbsgen::simulate(rates, coef, o.records, o.step, kInitialPrecursor, run);
  if (!problem.empty()) usage_error(problem);
  if (o.noise > 0.0) vbsgen::add_noise(run, o.noise, o.seed);

  const Targets targets = target_paths(o);
  prepare_targets(targets);
  std::vector<FileText> texts =
      *o.layout == Layout::standard ? standard_texts(run) : ideal_texts(run);
  texts.push_back(truth_text(coef));
  std::vector<fs::path> paths = targets.data;
  paths.push_back(targets.truth);
  write_all_or_none(paths, texts);

  std::printf("vbsgen: %d records of %s (scenario %s, tag %s), step %s s\n", o.records,
              o.species.c_str(), o.scenario.c_str(), o.tag.c_str(), show(o.step).c_str());
  std::printf("  KP %s\n  K", show(rates.kp).c_str());
  for (double k : rates.k) std::printf(" %s", show(k).c_str());
  std::printf("\n");
  for (const fs::path& p : targets.data) std::printf("  wrote %s\n", p.string().c_str());
  std::printf("  wrote %s (true coefficients)\n", targets.truth.string().c_str());
  if (o.records != config::kRecords) {
    std::printf("  note: vbsfit reads exactly %d records; these files hold %d\n", config::kRecords,
                o.records);
  }
  if (std::size_t t = first_inexact_time(run, *o.layout); t != 0) {
    std::fprintf(stderr,
                 "vbsgen: warning: the time of record %zu (%s s) is rounded in the files; the "
                 "fit's intervals will not all equal the step\n",
                 t, show(run.time[t - 1]).c_str());
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    run_error(std::string("the files were written, but not the summary: ") + std::strerror(errno));
  }
  return 0;
}
