// vbsfit-batch on runs stored as CSV and NetCDF (vbsgen --format): one
// simulation fits bit for bit alike in all three formats, runs of another
// length and time unit recover vbsgen's truth within the standard errors,
// and bad runs are refused with where they went wrong.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "batch_study.hpp"
#include "run_program.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::binary;
using testsupport::column;
using testsupport::read_file;
using testsupport::read_table;
using testsupport::run_program;
using testsupport::run_row;
using testsupport::ScratchDir;
using testsupport::write_file;

// vbsgen's run of `species`/`scenario`/`tag` in `format`, below `root`.
void generate(const fs::path& root, const std::string& format, const std::string& species,
              const std::string& scenario, const std::string& tag, const std::string& seed,
              std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"--format", format, "--species", species, "--scenario",
                                   scenario, "--tag", tag, "--seed", seed, "--output", "."};
  args.insert(args.end(), more.begin(), more.end());
  const auto made = run_program(binary("vbsgen"), root, args);
  ASSERT_EQ(made.exit_status, 0) << made.err;
}

// The batch in root/`workdir` (made, with its FITS) with `args`.
testsupport::ProgramRun batch(const fs::path& root, const std::string& workdir,
                              std::vector<std::string> args) {
  fs::create_directories(root / workdir / "FITS");
  args.insert(args.begin(), {"--workdir", workdir, "-j", "2", "--no-pages"});
  return run_program(binary("vbsfit-batch"), root, args);
}

TEST(BatchFormats, OneSimulationInThreeFormatsFitsBitForBitAlike) {
  ScratchDir dir;
  const std::vector<std::string> formats = {"fixed", "csv", "netcdf"};
  for (const std::string& format : formats) {
    generate(dir.path(), format, "OLE2_OH", "0.1", "allgas", "17");
    generate(dir.path(), format, "API_OH", "0.5", "allgas", "18", {"--noise", "0.01"});
    // The ideal layout's fixed files are read from the working directory.
    generate(dir.path(), format, "ideal", "0.1", "allgas", "19",
             {"--output", format == "fixed" ? "run-fixed" : "."});
  }
  write_file(dir.path() / "plan",
             "OLE2_OH,0.1,allgas\nOLE2_OH,0.1,no6\nAPI_OH,0.5,allgas\nideal,0.1,allgas\n");
  for (const std::string& format : formats) {
    const auto run = batch(dir.path(), "run-" + format, {"--input-format", format, "--plan", "plan"});
    EXPECT_EQ(run.exit_status, 0) << format << "\n" << run.out << run.err;
  }
  const fs::path fixed = dir.path() / "run-fixed";
  for (const std::string& format : {std::string("csv"), std::string("netcdf")}) {
    SCOPED_TRACE(format);
    const fs::path other = dir.path() / ("run-" + format);
    for (const char* results :
         {"fit6_coef.OLE2_OH.0.1.allgas", "fit6_coef.OLE2_OH.0.1.no6",
          "fit6_coef.API_OH.0.5.allgas", "fit6_coef.ideal.0.1.allgas"}) {
      EXPECT_EQ(read_file(other / "FITS" / results), read_file(fixed / "FITS" / results))
          << results;
    }
    for (const char* table : {"coefficients.csv", "fits.csv"}) {
      EXPECT_EQ(read_file(other / "vbsfit-report" / table),
                read_file(fixed / "vbsfit-report" / table))
          << table;
    }
  }
  // And the fixed one is what vbsfit itself writes.
  fs::create_directories(dir.path() / "vbsfit" / "FITS");
  const auto own = run_program(binary("vbsfit"), dir.path() / "vbsfit");
  ASSERT_EQ(own.exit_status, 0) << own.err;
  EXPECT_EQ(read_file(dir.path() / "vbsfit" / "FITS" / "fit6_coef.OLE2_OH.0.1.allgas"),
            read_file(fixed / "FITS" / "fit6_coef.OLE2_OH.0.1.allgas"));
}

// The standard errors are calibrated (bench/calibration.py): on vbsgen's
// runs 90 % to 97 % of the trusted coefficients lie within 1.96 standard
// errors of the truth. A run read with a wrong time unit, or records out of
// place, leaves next to none there.
constexpr double kStandardErrors = 1.96;
constexpr double kLeastCoverage = 0.85;

struct Recovered {
  int trusted = 0;
  int within = 0;
};

// Holds every trusted coefficient of the report in `workdir` to the truth
// files in `inputs` (true_coef.SPECIES.SCENARIO.TAG).
Recovered check_recovery(const fs::path& report, const fs::path& inputs) {
  Recovered out;
  const auto table = read_table(report / "coefficients.csv");
  const std::size_t species = column(table, "species"), scenario = column(table, "scenario"),
                    tag = column(table, "tag"), bin = column(table, "target_bin"),
                    term = column(table, "term"), value = column(table, "coefficient"),
                    se = column(table, "standard_error"), flag = column(table, "flag");
  for (std::size_t n = 1; n < table.size(); ++n) {
    const auto& row = table[n];
    if (row[flag] != "trusted") continue;
    const auto truth =
        testsupport::coefficient_rows(inputs / ("true_coef." + row[species] + "." + row[scenario] + "." + row[tag]));
    const int r = std::atoi(row[bin].c_str());
    const int c = row[term] == "VOC" ? 0 : std::atoi(row[term].c_str() + 2);
    const double expected = truth.at(r - 1).at(c);
    const double error = std::fabs(std::strtod(row[value].c_str(), nullptr) - expected);
    ++out.trusted;
    if (error <= kStandardErrors * std::strtod(row[se].c_str(), nullptr)) ++out.within;
  }
  return out;
}

TEST(BatchFormats, LongerCsvRunsAndNetcdfRunsInHoursRecoverTheTruth) {
  ScratchDir dir;
  const char* seeds[] = {"21", "22", "23"};
  const char* species[] = {"OLE2_OH", "API_OH", "TOL"};
  for (int n = 0; n < 3; ++n) {
    generate(dir.path(), "csv", species[n], "0.1", "allgas", seeds[n],
             {"--records", "2881", "--step", "150", "--noise", "0.01"});
    generate(dir.path(), "netcdf", species[n], "0.1", "allgas", seeds[n],
             {"--time-units", "h", "--noise", "0.01"});
  }
  const std::vector<std::string> lists = {"--species", "OLE2_OH,API_OH,TOL", "--scenario", "0.1"};
  for (const char* format : {"csv", "netcdf"}) {
    SCOPED_TRACE(format);
    std::vector<std::string> args = {"--input-format", format};
    args.insert(args.end(), lists.begin(), lists.end());
    const auto run = batch(dir.path(), std::string("run-") + format, args);
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    const Recovered r =
        check_recovery(dir.path() / ("run-" + std::string(format)) / "vbsfit-report",
                       dir.path() / (std::string(format) == "csv" ? "INPUTS_CSV" : "INPUTS_NETCDF"));
    // Most of the 126 coefficients are determined by such runs.
    EXPECT_GE(r.trusted, 40);
    EXPECT_GE(r.within, kLeastCoverage * r.trusted) << r.within << " of " << r.trusted;
    std::printf("%s: %d of %d trusted coefficients within 1.96 standard errors\n", format,
                r.within, r.trusted);
  }
}

// A bad run fails alone, its message saying where it went wrong; the others
// are fitted.
TEST(BatchFormats, BadRunsFailWithWhereTheyWentWrong) {
  ScratchDir dir;
  generate(dir.path(), "csv", "OLE2_OH", "good", "allgas", "5");
  const fs::path inputs = dir.path() / "INPUTS_CSV";
  write_file(inputs / "cell_aer.OLE2_OH.csv",
             "time,precursor,bin1,bin2,bin3,bin4,bin5,bin6,molar_mass1,molar_mass2,molar_mass3,"
             "molar_mass4,molar_mass5,molar_mass6\n"
             "0,25,0,0,0,0,0,0,1,1,1,1,1,1\n300,24,1,1,x1,1,1,1,1,1,1,1,1,1\n");
  write_file(inputs / "masses_aer.OLE2_OH.csv",
             "time,precursor,bin1,bin2,bin3,bin4,bin5,bin6\n0,25,0,0,0,0,0,0\n"
             "300,24,1,1,1,1,1,1\n");
  const auto run = batch(dir.path(), "run",
                         {"--input-format", "csv", "--species", "OLE2_OH", "--scenario",
                          "good,cell,masses,absent"});
  EXPECT_EQ(run.exit_status, 1);
  const auto runs = read_table(dir.path() / "run" / "vbsfit-report" / "runs.csv");
  const std::size_t state = column(runs, "state"), message = column(runs, "message");
  EXPECT_EQ(run_row(runs, "OLE2_OH", "good", "allgas")[state], "succeeded");
  const struct {
    const char* scenario;
    const char* message;
  } kFailures[] = {
      {"cell",
       "vbsfit: ../INPUTS_CSV/cell_aer.OLE2_OH.csv line 3 (record 2), column bin3: 'x1' is not "
       "a number"},
      {"masses",
       "vbsfit: ../INPUTS_CSV/masses_aer.OLE2_OH.csv has no molar-mass columns "
       "(molar_mass1,...,molar_mass6) and no side file "
       "../INPUTS_CSV/masses_aer.OLE2_OH.molar_masses.csv holds them"},
      {"absent",
       "vbsfit: cannot open ../INPUTS_CSV/absent_aer.OLE2_OH.csv: No such file or directory"},
  };
  for (const auto& f : kFailures) {
    const auto row = run_row(runs, "OLE2_OH", f.scenario, "allgas");
    EXPECT_EQ(row[state], "failed") << f.scenario;
    EXPECT_EQ(row[message], f.message);
  }
  // A pattern may name an absolute path.
  const auto absolute = batch(dir.path(), "run",
                              {"--input-format", "csv", "--species", "OLE2_OH", "--scenario",
                               "good", "--inputs", (inputs / "{scenario}_aer.{species}.csv").string(),
                               "--refit=all"});
  EXPECT_EQ(absolute.exit_status, 0) << absolute.out << absolute.err;
  // The side file, once there, is recorded and read.
  write_file(inputs / "masses_aer.OLE2_OH.molar_masses.csv",
             "molar_mass1,molar_mass2,molar_mass3,molar_mass4,molar_mass5,molar_mass6\n"
             "120,150,180,210,240,270\n");
  const auto again = batch(dir.path(), "run",
                           {"--input-format", "csv", "--species", "OLE2_OH", "--scenario",
                            "good,masses"});
  EXPECT_EQ(again.exit_status, 0) << again.out << again.err;
}

// Shares of a NetCDF study run apart and are joined: the merge checks each
// share's configurations against their files as the share read them.
TEST(BatchFormats, SharesOfANetcdfStudyMerge) {
  ScratchDir dir;
  generate(dir.path(), "netcdf", "OLE2_OH", "0.1", "allgas", "31", {"--time-units", "min"});
  generate(dir.path(), "netcdf", "TOL", "0.1", "allgas", "32");
  for (const char* shard : {"1/2", "2/2"}) {
    const auto run = batch(dir.path(), "run",
                           {"--input-format", "netcdf", "--species", "OLE2_OH,TOL", "--shard",
                            shard, "--report", std::string("run/share-") + shard[0]});
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  }
  const auto merged = run_program(binary("vbsfit-batch"), dir.path(),
                                  {"--merge", "--workdir", "run", "--report", "run/whole",
                                   "run/share-1", "run/share-2"});
  ASSERT_EQ(merged.exit_status, 0) << merged.out << merged.err;
  const auto runs = read_table(dir.path() / "run" / "whole" / "runs.csv");
  ASSERT_EQ(runs.size(), 3u);
  for (const char* species : {"OLE2_OH", "TOL"}) {
    EXPECT_EQ(run_row(runs, species, "0.1", "allgas")[column(runs, "state")], "succeeded")
        << species;
  }
}

// A NetCDF run of other variable names is read through --netcdf-variables,
// and fits as the same run of the usual names; without the mapping it fails
// naming the variable it lacks.
TEST(BatchFormats, NetcdfVariablesOfOtherNamesAreMapped) {
  if (::access("/usr/bin/ncgen", X_OK) != 0 || ::access("/usr/bin/ncdump", X_OK) != 0) {
    GTEST_SKIP() << "ncgen or ncdump is missing (Debian's netcdf-bin; tools/deps.sh check)";
  }
  ScratchDir dir;
  generate(dir.path(), "netcdf", "TOL", "usual", "allgas", "41");
  generate(dir.path(), "netcdf", "TOL", "named", "allgas", "41");
  const fs::path named = dir.path() / "INPUTS_NETCDF" / "named_aer.TOL.nc";
  const fs::path cdl = dir.path() / "named.cdl";
  // bin1 ... bin6 become vb1 ... vb6, time becomes t (the dimension too).
  const std::string command =
      "/usr/bin/ncdump " + named.string() +
      " | sed -e 's/\\bbin\\([1-6]\\)\\b/vb\\1/g' -e 's/\\btime\\b/t/g' > " +
      cdl.string() + " && rm " + named.string() + " && /usr/bin/ncgen -o " + named.string() +
      " " + cdl.string();
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::vector<std::string> lists = {"--input-format", "netcdf", "--species", "TOL",
                                          "--scenario", "usual,named"};
  const auto unmapped = batch(dir.path(), "plain", lists);
  EXPECT_EQ(unmapped.exit_status, 1);
  const auto runs = read_table(dir.path() / "plain" / "vbsfit-report" / "runs.csv");
  EXPECT_EQ(run_row(runs, "TOL", "named", "allgas")[column(runs, "message")],
            "vbsfit: ../INPUTS_NETCDF/named_aer.TOL.nc has no time dimension: no variable time; "
            "--netcdf-variables time=NAME names another");
  const auto mapped = batch(
      dir.path(), "mapped",
      {"--input-format", "netcdf", "--species", "TOL", "--scenario", "named",
       "--netcdf-variables", "time=t,bin1=vb1,bin2=vb2,bin3=vb3,bin4=vb4,bin5=vb5,bin6=vb6"});
  ASSERT_EQ(mapped.exit_status, 0) << mapped.out << mapped.err;
  EXPECT_EQ(read_file(dir.path() / "mapped" / "FITS" / "fit6_coef.TOL.named.allgas"),
            read_file(dir.path() / "plain" / "FITS" / "fit6_coef.TOL.usual.allgas"));
}

// Options that cannot describe a study are refused before anything runs.
TEST(BatchFormats, OptionsThatCannotWorkAreRefused) {
  ScratchDir dir;
  const struct {
    std::vector<std::string> args;
    const char* first_line;
  } kCases[] = {
      {{"--input-format", "hdf5"},
       "vbsfit-batch: --input-format must be 'fixed', 'csv' or 'netcdf', not 'hdf5'"},
      {{"--inputs", "runs/{species}.csv"},
       "vbsfit-batch: --inputs applies to --input-format csv or netcdf; the fixed layout's "
       "paths are its own"},
      {{"--input-format", "csv", "--inputs", "runs/{tag}.csv"},
       "vbsfit-batch: --inputs 'runs/{tag}.csv': {tag} names nothing: only {species} and "
       "{scenario} are filled in ({{ and }} stand for braces)"},
      {{"--input-format", "csv", "--netcdf-variables", "time=t"},
       "vbsfit-batch: --netcdf-variables applies to --input-format netcdf only"},
      {{"--input-format", "netcdf", "--netcdf-variables", "time=t,time=u"},
       "vbsfit-batch: --netcdf-variables: time is mapped twice"},
  };
  for (const auto& c : kCases) {
    const auto run = batch(dir.path(), "run", c.args);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err.substr(0, run.err.find('\n')), c.first_line);
  }
}

}  // namespace
