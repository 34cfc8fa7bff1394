// vbsgen: writes one synthetic box-model run, in the layout that vbsfit
// reads, from coefficients that are known, and writes those coefficients
// beside it, so that a fit can be checked against the truth.
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.hpp"
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

constexpr const char* kHelp = R"(Usage: vbsgen [OPTION]...
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
coefficient a standard error and a flag:
  determined     standard error at most 0.1 (--se-limit) and the term's
                 column independent of the others: the data fix it
  undetermined   a larger standard error, or a column the data cannot tell
                 apart from the others: the value may be far from the truth
  no effect      K(j) = 0 (tags static, no56, no6): the term does not enter
                 the fit and its value means nothing
On vbsgen runs of both layouts, with and without noise, every coefficient
that missed its truth by more than 0.02 was flagged undetermined.

Options (a value may also be given as --option=VALUE):
  --species NAME        species, at most 10 characters (default OLE2_OH); it
                        selects KP and K and goes into the paths
  --scenario LABEL      scenario label, at most 20 characters (default 0.1)
  --tag TAG             run tag, at most 20 characters (default allgas);
                        "static" sets every K(j) to 0, "no56" K(5) and K(6),
                        "no6" K(6); a term ajr with K(j) = 0 has no effect and
                        cannot be recovered by a fit
  --layout LAYOUT       standard or ideal (default: ideal for the species
                        "ideal", standard for every other); vbsfit reads the
                        ideal layout for the species "ideal" only, so the two
                        must agree
  --output DIR          where to write (default .):
                        standard: DIR/INPUTS_ODE/5days/LABEL_aer.NAME/ with
                          aer.precursor, aer.cdis_all.6 and aer.wmol_vbs.6;
                          run vbsfit in a directory beside INPUTS_ODE
                        ideal: DIR/aer.precursor.ideal and DIR/aer.ideal;
                          run vbsfit in DIR
                        missing directories are created
  --coefficients FILE   true coefficients from FILE instead of a seed
  --seed N              seed of the drawn coefficients and of the noise, an
                        unsigned 64-bit integer (default 1)
  --records N           number of records, 2 ... 1000000 (default 1441; vbsfit
                        reads exactly 1441)
  --step SECONDS        time step, positive (default 300: 1441 records span
                        five days)
  --noise REL           relative noise in [0, 1) (default 0): every precursor
                        and bin value is multiplied by 1 + REL u, u uniform in
                        [-1, 1); times and molar masses stay exact
  --truth FILE          where to write the true coefficients (default
                        true_coef.NAME.LABEL.TAG in the data directory)
  -h, --help            show this help and exit

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
before writing anything. Exit status 0 on success, 2 for a bad option or
coefficient file, 1 when the files cannot be written.
)";

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
  bool help = false;
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

template <typename T>
bool parse_number(const std::string& text, T& value) {
  const char* end = text.data() + text.size();
  auto result = std::from_chars(text.data(), end, value);
  return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

Options parse_command_line(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      o.help = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) usage_error("unexpected argument '" + arg + "'");
    std::string name = arg.substr(2);
    std::optional<std::string> value;
    if (std::size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    static const char* const kValued[] = {"species", "scenario",     "tag",  "layout",
                                          "output",  "coefficients", "seed", "records",
                                          "step",    "noise",        "truth"};
    bool known = false;
    for (const char* k : kValued) known = known || name == k;
    if (!known) usage_error("unknown option '--" + name + "'");
    if (!value) {
      if (i + 1 == argc) usage_error("option '--" + name + "' needs a value");
      value = argv[++i];
    }
    const std::string& v = *value;
    if (name == "species") {
      o.species = v;
    } else if (name == "scenario") {
      o.scenario = v;
    } else if (name == "tag") {
      o.tag = v;
    } else if (name == "layout") {
      if (v == "standard") {
        o.layout = Layout::standard;
      } else if (v == "ideal") {
        o.layout = Layout::ideal;
      } else {
        usage_error("--layout must be 'standard' or 'ideal', not '" + v + "'");
      }
    } else if (name == "output") {
      if (v.empty()) usage_error("--output must not be empty");
      o.output = v;
    } else if (name == "coefficients") {
      if (v.empty()) usage_error("--coefficients must not be empty");
      o.coefficients = v;
    } else if (name == "seed") {
      if (!parse_number(v, o.seed)) {
        usage_error("--seed must be an unsigned integer, not '" + v + "'");
      }
    } else if (name == "records") {
      if (!parse_number(v, o.records) || o.records < 2 || o.records > kMaxRecords) {
        usage_error("--records must be an integer from 2 to 1000000, not '" + v + "'");
      }
    } else if (name == "step") {
      if (!parse_number(v, o.step) || !std::isfinite(o.step) || !(o.step > 0.0)) {
        usage_error("--step must be a positive number of seconds, not '" + v + "'");
      }
    } else if (name == "noise") {
      if (!parse_number(v, o.noise) || !(o.noise >= 0.0 && o.noise < 1.0)) {
        usage_error("--noise must be a number in [0, 1), not '" + v + "'");
      }
    } else if (name == "truth") {
      if (v.empty()) usage_error("--truth must not be empty");
      o.truth = v;
    }
  }
  if (o.help) return o;

  // The fit reads these into fixed-length names: a longer value would be cut
  // there and the paths would no longer match.
  check_name("species", o.species, config::kSpeciesLength);
  check_name("scenario", o.scenario, config::kScenarioLength);
  check_name("tag", o.tag, config::kTagLength);
  const Layout expected =
      config::layout_of(o.species) == config::Layout::ideal ? Layout::ideal : Layout::standard;
  if (!o.layout) o.layout = expected;
  if (*o.layout != expected) {
    usage_error(*o.layout == Layout::ideal
                    ? "vbsfit reads the ideal layout only for the species 'ideal', not '" +
                          o.species + "'"
                    : "vbsfit reads the species 'ideal' in the ideal layout only");
  }
  return o;
}

vbsgen::Coefficients load_coefficients(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  struct stat st {};
  if (!in || (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
    usage_error("cannot read the coefficient file '" + path + "'");
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) usage_error("cannot read the coefficient file '" + path + "'");
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

// The text units take the file name as given, so hand them absolute paths.
textio::Unit& create(int unit, const fs::path& path) {
  return textio::open_unit(unit, fs::absolute(path).string(), textio::OpenStatus::new_file);
}

void write_standard(const Targets& t, const vbsgen::Run& run) {
  textio::Unit& precursor = create(20, t.data[0]);
  textio::write_list(precursor, {"    time(s)    precursor"});
  for (std::size_t i = 0; i < run.time.size(); ++i) {
    const double record[] = {run.time[i], run.precursor[i]};
    textio::write_formatted(precursor, textio::FMT4, record);
  }

  for (int file = 1; file <= 2; ++file) {
    const auto& series = file == 1 ? run.bins : run.wmol;
    textio::Unit& unit = create(file == 1 ? 30 : 60, t.data[file]);
    for (std::size_t i = 0; i < run.time.size(); ++i) {
      double record[vbsgen::kColumns] = {run.time[i]};
      for (int j = 0; j < vbsgen::kBins; ++j) record[j + 1] = series[i][j];
      textio::write_formatted(unit, textio::FMT3, record);
    }
  }
}

void write_ideal(const Targets& t, const vbsgen::Run& run) {
  textio::Unit& precursor = create(20, t.data[0]);
  const std::string header = std::string(16, ' ') + "time(s)" + std::string(15, ' ') + "precursor";
  textio::write_list(precursor, {std::string_view(header)});  // the names end over their columns
  for (std::size_t i = 0; i < run.time.size(); ++i) {
    const double record[] = {run.time[i], run.precursor[i]};
    textio::write_formatted(precursor, textio::FMT5, record);
  }

  textio::Unit& bins = create(30, t.data[1]);
  textio::write_list(bins, {"time  vb1  vb2  vb3  vb4  vb5  vb6"});
  for (std::size_t i = 0; i < run.time.size(); ++i) {
    double record[vbsgen::kColumns] = {run.time[i]};
    for (int j = 0; j < vbsgen::kBins; ++j) record[j + 1] = run.bins[i][j];
    textio::write_list(bins, {std::span<const double>(record)});
  }
}

void write_truth(const fs::path& path, const vbsgen::Coefficients& coef) {
  textio::Unit& unit = create(11, path);
  textio::write_list(unit, {config::kResultsTitle});
  textio::write_list(unit, {config::kResultsColumns});
  for (int r = 0; r < vbsgen::kBins; ++r) {
    std::array<double, vbsgen::kColumns> row = coef[r];
    row[r + 1] += config::kSelfShift;  // reported as the fit reports it
    textio::write_formatted(unit, kTruthFormat, row);
  }
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
  if (o.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  const vbsgen::Coefficients coef = o.coefficients.empty() ? vbsgen::draw_coefficients(o.seed)
                                                           : load_coefficients(o.coefficients);
  // KP and K as vbsfit sets them for this species and tag.
  const vbsgen::RateConstants rates = config::rate_constants(o.species, o.tag);

  vbsgen::Run run;
  std::string problem = vbsgen::simulate(rates, coef, o.records, o.step, kInitialPrecursor, run);
  if (!problem.empty()) usage_error(problem);
  if (o.noise > 0.0) vbsgen::add_noise(run, o.noise, o.seed);

  const Targets targets = target_paths(o);
  prepare_targets(targets);
  if (*o.layout == Layout::standard) {
    write_standard(targets, run);
  } else {
    write_ideal(targets, run);
  }
  write_truth(targets.truth, coef);
  // The files appear only now, each complete: a run that fails on the way
  // (a full disk, an interrupt) leaves none of them behind.
  for (int unit : {20, 30, 60, 11}) textio::close_unit(unit);

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
  return 0;
}
