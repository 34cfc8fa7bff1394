// The synthetic run generator: its model in-process (the integration must make
// the fit's discrete model exact), and the built tool as a user runs it: the
// record layouts, the readers reading its files back, the fit recovering its
// coefficients, and its refusals.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "../tools/vbsgen_model.hpp"
#include "config/config.hpp"
#include "declare/declare.hpp"
#include "driver/readers.hpp"
#include "driver/setup.hpp"
#include "run_program.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::read_file;
using testsupport::run_program;
using testsupport::ScratchDir;
using vbsgen::Coefficients;

const std::string kData = "INPUTS_ODE/5days/0.1_aer.OLE2_OH";

// Rates as the program sets them for a species and tag.
vbsgen::RateConstants rates_for(const std::string& species, const std::string& tag) {
  driver::MainVariables v;
  driver::set_start_values(v, {species, "0.1", tag});
  driver::choose_rate_constants(v);
  vbsgen::RateConstants rates;
  rates.kp = declare::KP;
  for (int j = 0; j < 6; ++j) rates.k[j] = declare::K(j + 1);
  return rates;
}

testsupport::ProgramRun vbsgen_run(const fs::path& dir, const std::vector<std::string>& args) {
  return run_program(testsupport::binary("vbsgen"), dir, args);
}

std::vector<std::string> lines_of(const fs::path& path) {
  return testsupport::lines_of(read_file(path));
}

// The numbers of lines first ... last of a file, whitespace-separated.
std::vector<std::vector<double>> rows_of(const fs::path& path, std::size_t first,
                                         std::size_t last) {
  std::vector<std::vector<double>> rows;
  std::vector<std::string> lines = lines_of(path);
  for (std::size_t i = first; i <= last && i < lines.size(); ++i) {
    std::istringstream in(lines[i]);
    rows.emplace_back(std::istream_iterator<double>(in), std::istream_iterator<double>());
  }
  return rows;
}

TEST(VbsgenModel, GeneratorAndDrawsAreFixedByTheSeed) {
  vbsgen::SplitMix64 rng(0);
  EXPECT_EQ(rng.next(), 0xE220A8397B1DCDAFULL);  // the published first output for seed 0
  // The bundled example's first rows; a change here changes the example.
  Coefficients coef = vbsgen::draw_coefficients(1);
  EXPECT_EQ(coef[0][0], 0.174);
  EXPECT_EQ(coef[0][1], -0.697);
  EXPECT_EQ(coef[1][1], 0.442);
  for (std::uint64_t seed = 0; seed < 200; ++seed) {
    coef = vbsgen::draw_coefficients(seed);
    ASSERT_EQ(vbsgen::check_coefficients(coef), "") << seed;
    for (int r = 0; r < 6; ++r) {
      EXPECT_TRUE(coef[r][0] >= 0.01 && coef[r][0] <= 0.3) << seed;
      EXPECT_TRUE(coef[r][r + 1] >= -0.9 && coef[r][r + 1] <= -0.1) << seed;
      for (int c = 1; c <= 6; ++c) {  // only the two more volatile bins feed bin r
        if (c != r + 1 && (c > r || c < r - 1)) {
          EXPECT_EQ(coef[r][c], 0.0) << seed;
        }
      }
      if (r >= 1) {
        EXPECT_GE(coef[r][r], 0.05) << seed;
      }
    }
  }
}

TEST(VbsgenModel, CoefficientFilesAreValidatedWithTheLineOfTheProblem) {
  const std::string good_row = "0.1 -0.5 0 0 0 0 0\n";
  std::string good = "# target bin 1\r\n0.12, -0.85, 0,0,0,0,0\r\n\n";
  for (int r = 2; r <= 6; ++r) {
    std::string row = "+1e-2";
    for (int c = 1; c <= 6; ++c) row += c == r ? " -1" : c == r - 1 ? " 10000" : " 0";
    good += row + "\n";
  }
  Coefficients coef{};
  ASSERT_EQ(vbsgen::parse_coefficients(good, coef), "");
  EXPECT_EQ(coef[0][1], -0.85);
  EXPECT_EQ(coef[5][0], 0.01);
  EXPECT_EQ(coef[5][5], 10000.0);

  auto rows = [&](int n) {
    std::string text;
    for (int r = 0; r < n; ++r) text += "0.1 0 0 0 0 0 0\n";
    return text;
  };
  const struct {
    std::string text;
    std::string message;
  } bad[] = {
      {good_row + "0.1 0 -0.5 0 0 0\n", "line 2: expected 7 numbers (a0r a1r ... a6r), found 6"},
      {good_row + "0.1 0 -0.5 0 0 0 0 0\n",
       "line 2: expected 7 numbers (a0r a1r ... a6r), found 8"},
      {good_row + "0.1 0 -0.5 x 0 0 0\n", "line 2: 'x' is not a number"},
      {rows(5), "expected six rows of seven numbers, found 5 rows"},
      {rows(7), "line 7: more than six rows of coefficients"},
      {"", "expected six rows of seven numbers, found 0 rows"},
      {"#\n" + good_row + "0.1 -0.5 -0.5 0 0 0 0\n",
       "line 3: value 2 (a12) must lie in [0, 10000]"},
      {"0.1 0.5 0 0 0 0 0\n",
       "line 1: value 2 (a11) is the self term of bin 1 and must lie in [-1, 0]"},
      {good_row + "0.1 0 -1.5 0 0 0 0\n",
       "line 2: value 3 (a22) is the self term of bin 2 and must lie in [-1, 0]"},
      {"-0.1 0 0 0 0 0 0\n", "line 1: value 1 (a01) must lie in [0, 10000]"},
      {"10000.5 0 0 0 0 0 0\n", "line 1: value 1 (a01) must lie in [0, 10000]"},
      {"inf 0 0 0 0 0 0\n", "line 1: value 1 (a01) is not a finite number"},
  };
  for (const auto& c : bad) {
    EXPECT_EQ(vbsgen::parse_coefficients(c.text, coef), c.message) << c.text;
  }
}

// The residual of the fit's interval model may only be the rounding of the
// series themselves, amplified by the division by the step, and of the terms.
constexpr double kModelRounding = 16 * 0x1.0p-52;

TEST(VbsgenModel, SimulatedSeriesSatisfyTheFitsDiscreteModel) {
  Coefficients dense{};  // every bin feeds every other: the LU solve must pivot
  for (int r = 0; r < 6; ++r) {
    for (int c = 0; c < 7; ++c) dense[r][c] = c == r + 1 ? -1.0 : 500.0 * (c + 1);
  }
  const struct {
    const char* species;
    const char* tag;
    Coefficients coef;
    double step;
    int records;
  } cases[] = {
      {"OLE2_OH", "allgas", vbsgen::draw_coefficients(1), 300.0, 1441},
      {"API_OH", "no6", vbsgen::draw_coefficients(2), 60.0, 1441},
      {"lim", "static", vbsgen::draw_coefficients(3), 3000.0, 1441},
      {"ideal", "allgas", dense, 300.0, 20},  // grows fast: a short run
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.species);
    const vbsgen::RateConstants rates = rates_for(c.species, c.tag);
    vbsgen::Run run;
    ASSERT_EQ(vbsgen::simulate(rates, c.coef, c.records, c.step, 25.0, run), "");
    double worst = 0.0;
    for (std::size_t i = 0; i + 1 < run.time.size(); ++i) {
      ASSERT_EQ(run.time[i + 1] - run.time[i], c.step);
      const double p_mean = (run.precursor[i + 1] + run.precursor[i]) * 0.5;
      const double p_rate = (run.precursor[i + 1] - run.precursor[i]) / c.step;
      double scale = (std::fabs(run.precursor[i + 1]) + std::fabs(run.precursor[i])) / c.step;
      worst = std::max(worst, std::fabs(p_rate + rates.kp * p_mean) / scale);
      for (int r = 0; r < 6; ++r) {
        const double rate = (run.bins[i + 1][r] - run.bins[i][r]) / c.step;
        double model = c.coef[r][0] * rates.kp * p_mean;
        scale =
            std::fabs(model) + (std::fabs(run.bins[i + 1][r]) + std::fabs(run.bins[i][r])) / c.step;
        for (int j = 0; j < 6; ++j) {
          double term =
              c.coef[r][j + 1] * rates.k[j] * ((run.bins[i + 1][j] + run.bins[i][j]) * 0.5);
          model += term;
          scale += std::fabs(term);
        }
        if (scale > 0.0) worst = std::max(worst, std::fabs(rate - model) / scale);
      }
    }
    EXPECT_LE(worst, kModelRounding);
    EXPECT_NE(run.bins.back()[0], 0.0);  // the run is not trivially empty
  }
  vbsgen::Run run;
  EXPECT_NE(vbsgen::simulate(rates_for("lim", "allgas"), dense, 10, 6100.0, 25.0, run), "");
}

TEST(VbsgenTool, FilesHaveTheExactRecordLayouts) {
  ScratchDir dir;
  ASSERT_EQ(vbsgen_run(dir.path(), {"--output", "std"}).exit_status, 0);
  ASSERT_EQ(
      vbsgen_run(dir.path(), {"--species=ideal", "--output=ideal", "--records=3"}).exit_status, 0);
  const fs::path std_dir = dir.path() / "std" / kData;

  std::vector<std::string> p = lines_of(std_dir / "aer.precursor");
  ASSERT_EQ(p.size(), 1442u);
  EXPECT_EQ(p[0], "     time(s)    precursor");
  EXPECT_EQ(p[1], "  0.00000E+00  0.25000E+02");
  EXPECT_EQ(p[1441].substr(0, 13), "  0.43200E+06");
  for (const char* name : {"aer.cdis_all.6", "aer.wmol_vbs.6"}) {
    std::vector<std::string> lines = lines_of(std_dir / name);
    ASSERT_EQ(lines.size(), 1441u) << name;
    for (const std::string& line : lines) ASSERT_EQ(line.size(), 91u) << name;
  }
  std::string zero_record;
  for (int c = 0; c < 7; ++c) zero_record += "  0.00000E+00";
  EXPECT_EQ(lines_of(std_dir / "aer.cdis_all.6")[0], zero_record);
  EXPECT_EQ(lines_of(std_dir / "aer.wmol_vbs.6")[0],
            "  0.00000E+00  0.12000E+03  0.15000E+03  0.18000E+03  0.21000E+03  0.24000E+03  "
            "0.27000E+03");

  std::vector<std::string> t = lines_of(std_dir / "true_coef.OLE2_OH.0.1.allgas");
  ASSERT_EQ(t.size(), 8u);
  EXPECT_EQ(t[0], " Outputs given as");
  EXPECT_EQ(t[1], " VOC   VB1    VB2     VB3    VB4    VB5   VB6    ");
  EXPECT_EQ(t[2].substr(0, 46), "  0.174000000000000E+00  0.303000000000000E+00");
  for (std::size_t i = 2; i < 8; ++i) EXPECT_EQ(t[i].size(), 7u * 23u);

  std::vector<std::string> ip = lines_of(dir.path() / "ideal" / "aer.precursor.ideal");
  ASSERT_EQ(ip.size(), 4u);
  EXPECT_EQ(ip[0], "                 time(s)               precursor");
  EXPECT_EQ(ip[1], "    0.00000000000000E+00    0.25000000000000E+02");
  std::vector<std::string> ib = lines_of(dir.path() / "ideal" / "aer.ideal");
  ASSERT_EQ(ib.size(), 1u + 3u * 3u);  // each record of seven reals takes 3 + 3 + 1 lines
  EXPECT_EQ(ib[0], " time  vb1  vb2  vb3  vb4  vb5  vb6");
  EXPECT_EQ(ib[7], "   600.000000000000     " + ib[7].substr(24));
  for (std::size_t i = 1; i < ib.size(); ++i) EXPECT_EQ(ib[i].size(), i % 3 == 0 ? 24u : 72u);
}

// The value that a file field shows for x, read back as the nearest double:
// `digits` significant digits in E form, or the list-directed choice of 15
// digits in fixed form (0.1 <= x < 1E15) and 16 in exponent form.
double shown(double x, int digits) {
  char text[64];
  if (digits == 0) {
    std::snprintf(text, sizeof text, "%.14e", x);
    const int k = std::atoi(std::strchr(text, 'e') + 1) + 1;
    if (x == 0.0 || (k >= 0 && k <= 15)) return std::strtod(text, nullptr);
    digits = 16;
  }
  std::snprintf(text, sizeof text, "%.*e", digits - 1, x);
  return std::strtod(text, nullptr);
}

TEST(VbsgenTool, ReadersReadBackTheSimulatedValues) {
  for (const bool ideal : {false, true}) {
    for (const char* noise : {"0", "0.01"}) {
      SCOPED_TRACE(std::string(ideal ? "ideal" : "standard") + " noise " + noise);
      ScratchDir dir;
      const std::string species = ideal ? "ideal" : "OLE2_OH";
      ASSERT_EQ(vbsgen_run(dir.path(), {"--species", species, "--seed", "5", "--noise", noise,
                                        "--output", ideal ? "run" : "."})
                    .exit_status,
                0);
      vbsgen::Run run;
      ASSERT_EQ(vbsgen::simulate(rates_for(species, "allgas"), vbsgen::draw_coefficients(5), 1441,
                                 300.0, 25.0, run),
                "");
      if (std::string(noise) != "0") vbsgen::add_noise(run, 0.01, 5);
      fs::create_directories(dir.path() / "run");

      auto child = testsupport::run_in_child([&] {
        if (::chdir((dir.path() / "run").c_str()) != 0) ::_exit(2);
        static driver::MainVariables v;
        driver::run_setup(v, {species, "0.1", "allgas"});
        driver::run_readers(v);
        const int series_digits = ideal ? 0 : 5;  // list-directed or E13.5
        for (int t = 1; t <= 1441; ++t) {
          const std::size_t i = t - 1;
          bool ok = declare::TIME(t) == run.time[i] &&
                    declare::PRECURSOR(t) == shown(run.precursor[i], ideal ? 14 : 5);
          for (int j = 1; j <= 6; ++j) {
            ok = ok && declare::YKELPO(j, t) == shown(run.bins[i][j - 1], series_digits);
            ok = ok && declare::WMOL(j, t) == (ideal ? 0.0 : shown(run.wmol[i][j - 1], 5));
          }
          if (!ok) {
            std::fprintf(stderr, "record %d differs\n", t);
            ::_exit(1);
          }
        }
      });
      EXPECT_EQ(child.exit_status, testsupport::kBodyReturned) << child.err;
    }
  }
}

// The results file shows three significant digits.
constexpr double kResultsPrecision = 1e-3;

TEST(VbsgenTool, TheFitRecoversTheTrueCoefficientsOfAnIdealRun) {
  ScratchDir dir;
  ASSERT_EQ(vbsgen_run(dir.path(), {"--species", "ideal", "--seed", "11"}).exit_status, 0);
  fs::create_directory(dir.path() / "FITS");
  ASSERT_EQ(run_program(testsupport::binary("vbsfit_ideal"), dir.path()).exit_status, 0);
  auto truth = rows_of(dir.path() / "true_coef.ideal.0.1.allgas", 2, 7);
  auto fit = rows_of(dir.path() / "FITS" / "fit6_coef.ideal.0.1.allgas", 2, 7);
  ASSERT_EQ(truth.size(), 6u);
  ASSERT_EQ(fit.size(), 6u);
  for (int r = 0; r < 6; ++r) {
    ASSERT_EQ(fit[r].size(), 7u);
    for (int c = 0; c < 7; ++c) EXPECT_NEAR(fit[r][c], truth[r][c], kResultsPrecision) << r << c;
  }
}

TEST(VbsgenTool, BundledExampleIsWhatItsCommandWrites) {
  ScratchDir dir;
  ASSERT_EQ(vbsgen_run(dir.path(), {"--output", ".", "--seed", "1"}).exit_status, 0);
  const fs::path example = fs::path(VBSFIT_SOURCE_DIR) / "examples";
  for (const char* name :
       {"aer.precursor", "aer.cdis_all.6", "aer.wmol_vbs.6", "true_coef.OLE2_OH.0.1.allgas"}) {
    EXPECT_TRUE(read_file(dir.path() / kData / name) == read_file(example / kData / name)) << name;
  }
}

// FNV-1a, 64 bits: a fingerprint of a file's bytes that any tool can
// recompute.
std::uint64_t fingerprint(const std::string& bytes) {
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ULL;
  }
  return hash;
}

// The ideal layout writes every value with 15 or 16 digits, so a change in
// the order of the integration's sums or of the noise shows in its files,
// which the readers test cannot see (it runs the same model in-process). The
// standard layout is pinned by the bundled example above.
TEST(VbsgenTool, IdealLayoutFilesAreFixedByTheSeed) {
  const struct {
    const char* noise;
    std::uint64_t precursor, bins;  // fingerprints of aer.precursor.ideal and aer.ideal
  } cases[] = {
      {"0", 0x58310AAF089232E7ULL, 0x3FDF29254925A28CULL},
      {"0.01", 0x7D55CA3B1C28C8A7ULL, 0xD1D46A01ADD6E074ULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("noise ") + c.noise);
    ScratchDir dir;
    ASSERT_EQ(vbsgen_run(dir.path(), {"--species", "ideal", "--seed", "3", "--noise", c.noise})
                  .exit_status,
              0);
    EXPECT_EQ(fingerprint(read_file(dir.path() / "aer.precursor.ideal")), c.precursor);
    EXPECT_EQ(fingerprint(read_file(dir.path() / "aer.ideal")), c.bins);
  }
}

TEST(VbsgenTool, BadInputGivesAClearMessageAndWritesNothing) {
  ScratchDir dir;
  testsupport::write_file(dir.path() / "coef.txt", "0.1 -0.5 0 0 0 0\n");
  testsupport::write_file(dir.path() / "bad.csv",
                          "species,kp,multiplier,multiplier6\nNEW,-1,4e-05,4e-05\n");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {{"--colour", "red"}, 2, "vbsgen: unknown option '--colour'"},
      {{"extra"}, 2, "vbsgen: unexpected argument 'extra'"},
      {{"--records"}, 2, "vbsgen: option '--records' needs a value"},
      {{"--records", "1"}, 2, "vbsgen: --records must be an integer from 2 to 1000000, not '1'"},
      {{"--step=-5"}, 2, "vbsgen: --step must be a positive number of seconds, not '-5'"},
      {{"--noise", "1"}, 2, "vbsgen: --noise must be a number in [0, 1), not '1'"},
      {{"--layout", "wide"}, 2, "vbsgen: --layout must be 'standard' or 'ideal', not 'wide'"},
      {{"--layout", "ideal"},
       2,
       "vbsgen: vbsfit reads the ideal layout only for a species whose row says so, not "
       "'OLE2_OH'"},
      {{"--species", "tol"},
       2,
       "vbsgen: --species 'tol' is in no species table; did you mean TOL? (names are "
       "case-sensitive"},
      {{"--species", "ole2oh"}, 2, "vbsgen: --species 'ole2oh' is in no species table; did you "
                                   "mean OLE2_OH or OLE1_OH?"},
      {{"--tag", "NO_6"},
       2,
       "vbsgen: --tag: the tag 'NO_6' is not the tag rule no6; did you mean no6?"},
      {{"--species", "NEW", "--species-table", "."},
       2,
       "vbsgen: cannot read the species table '.': it is a directory"},
      {{"--species", "NEW", "--species-table", "bad.csv"},
       2,
       "vbsgen: bad.csv line 2: kp '-1' is negative"},
      {{"--coefficients", "."},
       2,
       "vbsgen: cannot read the coefficient file '.': it is a directory"},
      {{"--species", "ABCDEFGHIJK"},
       2,
       "vbsgen: --species 'ABCDEFGHIJK' is longer than 10 characters"},
      {{"--scenario", "a/b"}, 2, "vbsgen: --scenario 'a/b' contains '/'"},
      {{"--species", "lim", "--step", "6100"}, 2, "vbsgen: the step is too long for KP"},
      {{"--coefficients", "missing.txt"},
       2,
       "vbsgen: cannot read the coefficient file 'missing.txt'"},
      {{"--coefficients", "coef.txt"},
       2,
       "vbsgen: coefficient file 'coef.txt': line 1: expected 7 numbers"},
  };
  for (const auto& c : cases) {
    auto run = vbsgen_run(dir.path(), c.args);
    EXPECT_EQ(run.exit_status, c.status) << c.args[0];
    EXPECT_EQ(run.first_err_line().substr(0, c.message.size()), c.message);
    EXPECT_FALSE(fs::exists(dir.path() / "INPUTS_ODE")) << c.args[0];
  }

  // An existing target stops the run before any file is written.
  fs::create_directories(dir.path() / kData);
  testsupport::write_file(dir.path() / kData / "aer.wmol_vbs.6", "mine\n");
  auto run = vbsgen_run(dir.path(), {});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("aer.wmol_vbs.6' exists already; nothing was written"), std::string::npos);
  EXPECT_EQ(read_file(dir.path() / kData / "aer.wmol_vbs.6"), "mine\n");
  EXPECT_FALSE(fs::exists(dir.path() / kData / "aer.precursor"));
}

// A full disk (a file size limit here) part-way: no file is left, so that a
// second try is not refused for files of the first.
TEST(VbsgenTool, RunThatCannotWriteEverythingLeavesNoFile) {
  ScratchDir dir;
  auto run = testsupport::run_in_child([&] {
    rlimit limit{100000, 100000};  // the precursor file fits, the bin file does not
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, SIG_IGN);
    if (::chdir(dir.path().c_str()) != 0) ::_exit(127);
    const std::string program = testsupport::binary("vbsgen");
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  });
  EXPECT_EQ(run.exit_status, 1) << run.err;  // as the help says
  EXPECT_NE(run.first_err_line().find("aer.cdis_all.6': File too large; nothing was written"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(fs::is_empty(dir.path() / kData));
}

TEST(VbsgenTool, SpeciesOfATableFileAndUnknownOnesWhenAllowed) {
  ScratchDir dir;
  testsupport::write_file(dir.path() / "species.csv",
                          "species,kp,multiplier,multiplier6,layout\nNEW,1.12e-05,4e-05,4e-05\n"
                          "MY_IDEAL,2e-05,3.4722223e-05,3.4722223e-05,ideal\n");
  // NEW copies TOL's constants: the same files, apart from the truth's name.
  ASSERT_EQ(vbsgen_run(dir.path(), {"--species", "TOL", "--output", "a"}).exit_status, 0);
  ASSERT_EQ(vbsgen_run(dir.path(), {"--species", "NEW", "--species-table", "species.csv",
                                    "--output", "b"})
                .exit_status,
            0);
  for (std::string_view file :
       {config::kPrecursorFile, config::kBinsFile, config::kMolarMassFile}) {
    EXPECT_EQ(read_file(dir.path() / "a/INPUTS_ODE/5days/0.1_aer.TOL" / file),
              read_file(dir.path() / "b/INPUTS_ODE/5days/0.1_aer.NEW" / file))
        << file;
  }
  // A file row's layout decides where the files go.
  auto ideal = vbsgen_run(dir.path(), {"--species", "MY_IDEAL", "--species-table", "species.csv",
                                       "--output", "c"});
  ASSERT_EQ(ideal.exit_status, 0) << ideal.err;
  EXPECT_TRUE(fs::exists(dir.path() / "c" / config::kIdealBinsFile));
  // An unknown species only when allowed, with the default constants.
  auto unknown = vbsgen_run(dir.path(), {"--species", "ZZZ", "--allow-unknown-species"});
  EXPECT_EQ(unknown.exit_status, 0) << unknown.err;
  EXPECT_NE(unknown.out.find("KP 1.999999949475750E-005"), std::string::npos) << unknown.out;
  // A tag one edit from a tag name is a label of its own, with a warning.
  auto near = vbsgen_run(dir.path(), {"--tag", "no5", "--output", "d"});
  EXPECT_EQ(near.exit_status, 0) << near.err;
  EXPECT_NE(near.err.find("vbsgen: warning: the tag 'no5' is none of allgas, static, no56 and "
                          "no6: it runs every reaction, as a label of its own; did you mean no56 "
                          "or no6?\n"),
            std::string::npos)
      << near.err;
}

TEST(VbsgenTool, VersionAndHelpThatCannotBeWritten) {
  ScratchDir dir;
  auto version = vbsgen_run(dir.path(), {"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out.rfind("vbsgen ", 0), 0u);
  auto full = testsupport::run_in_child([&] {
    const int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) ::_exit(127);
    const std::string program = testsupport::binary("vbsgen");
    ::execl(program.c_str(), program.c_str(), "--help", static_cast<char*>(nullptr));
    ::_exit(127);
  });
  EXPECT_EQ(full.exit_status, 1);
  EXPECT_EQ(full.first_err_line(),
            "vbsgen: cannot write to standard output: No space left on device");
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(VbsgenTool, HelpExplainsEveryOption) {
  ScratchDir dir;
  auto run = vbsgen_run(dir.path(), {"--help"});
  EXPECT_EQ(run.exit_status, 0);
  for (const char* option :
       {"--species", "--scenario", "--tag", "--layout", "--output", "--coefficients", "--seed",
        "--records", "--step", "--noise", "--truth", "--help", "Coefficient file", "Truth file"}) {
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
  }
  // The paths the help describes are the ones the configuration gives.
  const config::InputPaths ideal = config::input_paths("ideal", "LABEL");
  for (const std::string& path :
       {"DIR/" + config::standard_input_directory("NAME", "LABEL") + "/",
        std::string(config::kPrecursorFile), std::string(config::kBinsFile),
        std::string(config::kMolarMassFile), "DIR/" + ideal.precursor, "DIR/" + ideal.bins}) {
    EXPECT_NE(run.out.find(path), std::string::npos) << path;
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

// vbsgen reads its command line as vbsfit-batch does: the same forms and
// the same usage errors.
TEST(VbsgenTool, ReadsOptionsAsVbsfitBatchDoes) {
  ScratchDir dir;
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-x"}, "vbsgen: unknown option '-x'"},
      {{"--version=1"}, "vbsgen: option '--version' takes no value"},
      {{"--", "--version"}, "vbsgen: unexpected argument '--version'"},
  };
  for (const auto& c : cases) {
    auto run = vbsgen_run(dir.path(), c.args);
    EXPECT_EQ(run.exit_status, 2) << c.args.front();
    EXPECT_EQ(run.first_err_line(), c.message) << c.args.front();
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(VbsgenTool, HelpIsTheGoldenText) {
  ScratchDir dir;
  auto run = vbsgen_run(dir.path(), {"--help"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, read_file(testsupport::test_data("help/vbsgen.txt")));
}

}  // namespace
