// The run's set-up: start values, FACTOR, rate constants from the species
// table and the tag rules, and the first eight lines a binary prints.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "declare/declare.hpp"
#include "driver/setup.hpp"
#include "run_program.hpp"

namespace {

using testsupport::binary;
using testsupport::run_program;
using testsupport::ScratchDir;

// Doubles compared bit for bit.
std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

struct RateCase {
  const char* species;
  const char* tag;
  double kp;
  double k[6];
};

void expect_rates(const RateCase& c) {
  driver::MainVariables v;
  driver::set_start_values(v, {c.species, "0.1", c.tag});
  driver::choose_rate_constants(v);
  SCOPED_TRACE(std::string(c.species) + " / " + c.tag);
  EXPECT_EQ(bits(declare::KP), bits(c.kp));
  for (int j = 1; j <= 6; ++j) EXPECT_EQ(bits(declare::K(j)), bits(c.k[j - 1])) << "K(" << j << ")";
}

TEST(SetUp, FactorIsFormedFromWidenedSinglePrecisionSaturationConcentrations) {
  driver::MainVariables v;
  driver::set_start_values(v, {"OLE2_OH", "0.1", "allgas"});
  const double expected[6] = {0.999000999000999,    0.9090909090909091,    0.5,
                              0.09090909090909091,  0.009900990245085395,  9.999000574869534e-05};
  for (int j = 1; j <= 6; ++j) EXPECT_EQ(bits(v.FACTOR(j)), bits(expected[j - 1])) << j;
}

TEST(SetUp, RateConstantsFollowTheSpeciesTableAndTagRules) {
  const double f4[6] = {3.9960038950564444e-05, 3.636363544501364e-05, 1.9999999494757503e-05,
                        3.6363635445013642e-06, 3.960395997986137e-07, 3.999600128909413e-09};
  auto with = [&](double k6) {
    RateCase c{};
    for (int j = 0; j < 5; ++j) c.k[j] = f4[j];
    c.k[5] = k6;
    return c;
  };
  std::vector<RateCase> cases;
  auto add = [&](const char* species, const char* tag, double kp, RateCase c) {
    c.species = species;
    c.tag = tag;
    c.kp = kp;
    cases.push_back(c);
  };
  add("OLE2_OH", "allgas", 0.00014119999832473695, with(f4[5]));
  add("API_OH", "allgas", 0.00010439999459777027, with(2.7775002269414452e-08));
  add("c12", "allgas", 2.640000093379058e-05, with(f4[5]));
  add("C16", "allgas", 3.9200000173877925e-05, with(f4[5]));
  add("ALK4", "allgas", 8.762639481574297e-06, with(f4[5]));
  add("c18", "allgas", 4.479999915929511e-05, with(f4[5]));
  add("c22", "allgas", 5.619999865302816e-05, with(f4[5]));
  add("TOL", "allgas", 1.1199999789823778e-05, with(f4[5]));
  add("xyl", "allgas", 2.8599999495781958e-05, with(f4[5]));
  add("lim", "allgas", 0.0003279999946244061, with(f4[5]));
  add("TERP_OH", "allgas", 0.00016513440641574562, with(f4[5]));
  add("ISO_OH", "allgas", 0.00019659999816212803, with(f4[5]));
  add("OLE1_OH", "allgas", 9.359999967273325e-05, with(f4[5]));
  // Case matters, and an unknown species gets the constants of no row.
  add("C12", "allgas", 1.9999999494757503e-05, with(f4[5]));
  add("tol", "allgas", 1.9999999494757503e-05, with(f4[5]));
  RateCase none{};
  add("OLE2_OH", "static", 0.00014119999832473695, none);
  RateCase no56 = with(0.0);
  no56.k[4] = 0.0;
  add("OLE2_OH", "no56", 0.00014119999832473695, no56);
  add("OLE2_OH", "no6", 0.00014119999832473695, with(0.0));
  for (const RateCase& c : cases) expect_rates(c);
}

TEST(SetUp, IdealVariantTakesItsOwnMultiplierAndInputNames) {
  driver::MainVariables v;
  driver::set_start_values(v, {"ideal", "0.1", "allgas"});
  v.FILES = "standard";
  driver::choose_rate_constants(v);
  EXPECT_EQ(bits(declare::KP), bits(1.9999999494757503e-05));
  EXPECT_EQ(bits(declare::K(1)), bits(3.4687535527472074e-05));
  EXPECT_EQ(v.FILES.trimmed(), "aer.ideal");
  EXPECT_EQ(v.FILEP.trimmed(), "aer.precursor.ideal");
}

const char* const kCoefsLines =
    " COEFS:   0.999000999000999       0.909090909090909       0.500000000000000     \n"
    "  9.090909090909091E-002  9.900990245085395E-003  9.999000574869534E-005\n";

std::string path_lines(const std::string& dir) {
  auto line = [&](const char* label, const std::string& file) {
    std::string text = " " + std::string(label) + dir + file;
    text.resize(78, ' ');
    return text + "\n";
  };
  return line("files: ", "/aer.cdis_all.6") + line("files: ", "/aer.precursor") +
         line("filew: ", "/aer.wmol_vbs.6");
}

struct BinaryCase {
  const char* name;
  const char* dir;
  const char* k_lines;
};

// Run in an empty directory, each binary prints its set-up and then fails to
// find its first input file.
TEST(SetUp, EachBuiltConfigurationPrintsItsEightSetUpLines) {
  const char* const kDefaultK =
      " k per sec    3.996003895056444E-005  3.636363544501364E-005\n"
      "  1.999999949475750E-005  3.636363544501364E-006  3.960395997986137E-007\n"
      "  3.999600128909413E-009\n";
  const BinaryCase cases[] = {
      {"vbsfit", "../INPUTS_ODE/5days/0.1_aer.OLE2_OH", kDefaultK},
      {"vbsfit_c12_upper", "../INPUTS_ODE/5days/0.1_aer.C12", kDefaultK},
      {"vbsfit_long_names", "../INPUTS_ODE/5days/NOX_LABEL_20_CHARS___aer.ABCDEFGHIJ", kDefaultK},
      {"vbsfit_api_oh", "../INPUTS_ODE/5days/0.1_aer.API_OH",
       " k per sec    3.996003895056444E-005  3.636363544501364E-005\n"
       "  1.999999949475750E-005  3.636363544501364E-006  3.960395997986137E-007\n"
       "  2.777500226941445E-008\n"},
      {"vbsfit_ideal", "../INPUTS_ODE/5days/0.1_aer.ideal",
       " k per sec    3.468753552747207E-005  3.156565732999959E-005\n"
       "  1.736111153149977E-005  3.156565732999959E-006  3.437843918344376E-007\n"
       "  3.471875283676807E-009\n"},
      {"vbsfit_static", "../INPUTS_ODE/5days/0.1_aer.OLE2_OH",
       " k per sec    0.000000000000000E+000  0.000000000000000E+000\n"
       "  0.000000000000000E+000  0.000000000000000E+000  0.000000000000000E+000\n"
       "  0.000000000000000E+000\n"},
      {"vbsfit_no56", "../INPUTS_ODE/5days/0.1_aer.OLE2_OH",
       " k per sec    3.996003895056444E-005  3.636363544501364E-005\n"
       "  1.999999949475750E-005  3.636363544501364E-006  0.000000000000000E+000\n"
       "  0.000000000000000E+000\n"},
      {"vbsfit_no6", "../INPUTS_ODE/5days/0.1_aer.OLE2_OH",
       " k per sec    3.996003895056444E-005  3.636363544501364E-005\n"
       "  1.999999949475750E-005  3.636363544501364E-006  3.960395997986137E-007\n"
       "  0.000000000000000E+000\n"},
  };
  for (const BinaryCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    auto run = run_program(binary(c.name), dir.path(), {"arguments", "are", "ignored"});
    EXPECT_EQ(run.out, kCoefsLines + path_lines(c.dir) + c.k_lines);
    // The ideal variant looks for its precursor file in the working directory.
    std::string first = std::string(c.name) == "vbsfit_ideal"
                            ? "aer.precursor.ideal"
                            : std::string(c.dir) + "/aer.precursor";
    EXPECT_EQ(run.first_err_line(), "forrtl: severe (29): file not found, unit 20, file " +
                                        dir.path().string() + "/" + first);
    EXPECT_EQ(run.exit_status, 29);
  }
}

}  // namespace
