// The readers of runs from another box model (src/driver/run_files.cpp,
// netcdf_run.cpp) and the path patterns that find them
// (src/config/run_files.cpp): what they read, and every refusal with where
// it stands, row by row.
#include "driver/run_files.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "config/run_files.hpp"
#include "run_program.hpp"

namespace {

using testsupport::ScratchDir;
using testsupport::write_file;

const std::string kHeader = "time,precursor,bin1,bin2,bin3,bin4,bin5,bin6";
const std::string kMassHeader =
    "molar_mass1,molar_mass2,molar_mass3,molar_mass4,molar_mass5,molar_mass6";

TEST(RunPattern, FillsTheNamesAndRefusesWhatItCannotFill) {
  EXPECT_EQ(config::run_file_path(config::default_run_pattern(config::InputFormat::csv), "TOL", "0.5"),
            "../INPUTS_CSV/0.5_aer.TOL.csv");
  EXPECT_EQ(config::run_file_path("runs/{species}/{{x}}_{scenario}.nc", "A", "b"),
            "runs/A/{x}_b.nc");
  EXPECT_EQ(config::molar_mass_file("a/run.csv"), "a/run.molar_masses.csv");
  EXPECT_EQ(config::molar_mass_file("a/run.txt"), "a/run.txt.molar_masses.csv");
  const struct {
    const char* pattern;
    const char* fault;
  } kFaults[] = {
      {"", "the pattern is empty"},
      {"runs/{species", "the brace at character 6 is never closed"},
      {"runs/species}", "the brace at character 13 closes nothing"},
      {"{tag}.csv",
       "{tag} names nothing: only {species} and {scenario} are filled in ({{ and }} stand for "
       "braces)"},
      {"{species}_{scenario}.csv", ""},
  };
  for (const auto& f : kFaults) EXPECT_EQ(config::pattern_fault(f.pattern), f.fault) << f.pattern;
}

TEST(CsvRun, ReadsColumnsInAnyOrderWithQuotesCarriageReturnsAMarkAndOtherColumns) {
  const std::string text =
      "\xEF\xBB\xBF\"bin6\",bin5,bin4,bin3,bin2,bin1,precursor,time,note," + kMassHeader + "\r\n" +
      "6,5,4,3,2,1,25,0,start,10,20,30,40,50,60\r\n\r\n" +
      " 6.5 ,5,4,3,2,1,+24.5,1e2,\"x\",11,21,31,41,51,61\r\n";
  const driver::ReadOutcome read = driver::parse_csv_run(text, "run.csv", true);
  ASSERT_TRUE(read.ending.ok()) << read.ending.message;
  EXPECT_EQ(read.arrays.time, (std::vector<double>{0, 100}));
  EXPECT_EQ(read.arrays.precursor, (std::vector<double>{25, 24.5}));
  EXPECT_EQ(read.arrays.bins, (std::vector<double>{1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6.5}));
  EXPECT_EQ(read.arrays.molar_masses,
            (std::vector<double>{10, 20, 30, 40, 50, 60, 11, 21, 31, 41, 51, 61}));
  // The ideal layout reads no molar masses, whatever the file holds.
  EXPECT_TRUE(driver::parse_csv_run(text, "run.csv", false).arrays.molar_masses.empty());
}

TEST(CsvRun, TakesTheSideFilesMolarMassesForEveryRecord) {
  const std::string side = kMassHeader + "\n120,150,180,210,240,270\n";
  const driver::ReadOutcome read = driver::parse_csv_run(
      kHeader + "\n0,1,0,0,0,0,0,0\n1,1,0,0,0,0,0,0\n2,1,0,0,0,0,0,0\n", "r.csv", true, &side,
      "r.molar_masses.csv");
  ASSERT_TRUE(read.ending.ok()) << read.ending.message;
  ASSERT_EQ(read.arrays.molar_masses.size(), 18u);
  for (std::size_t t = 0; t < 3; ++t) EXPECT_EQ(read.arrays.molar_masses[t * 6 + 5], 270.0);
}

TEST(CsvRun, RefusesBadRunsSayingWhere) {
  const std::string ok = "0,1,0,0,0,0,0,0\n";
  const std::string side_ok = kMassHeader + "\n1,2,3,4,5,6\n";
  const struct {
    const char* what;
    std::string text;
    std::string side;  // empty: none
    std::string message;
  } kCases[] = {
      {"empty", "", side_ok, "r.csv is empty: it needs a header row and records"},
      {"missing column", "time,precursor,bin1,bin2,bin3,bin4,bin5\n" + ok + ok, side_ok,
       "r.csv has no column bin6 (its header: time,precursor,bin1,bin2,bin3,bin4,bin5); a run "
       "needs time,precursor,bin1,...,bin6"},
      {"column twice", "time,time,precursor\n", side_ok,
       "r.csv line 1: the header names the column time twice"},
      {"some molar masses", kHeader + ",molar_mass1\n", "",
       "r.csv has no column molar_mass2 (its header: " + kHeader +
           ",molar_mass1); a run with molar masses needs all six"},
      {"no molar masses", kHeader + "\n" + ok + ok, "",
       "r.csv has no molar-mass columns (molar_mass1,...,molar_mass6) and no side file "
       "r.molar_masses.csv holds them"},
      {"one record", kHeader + "\n\n" + ok, side_ok,
       "r.csv holds 1 record; a fit needs at least 2 (one interval)"},
      {"not a number", kHeader + "\n" + ok + "300,1,0,0,0.1x3E-01,0,0,0\n", side_ok,
       "r.csv line 3 (record 2), column bin3: '0.1x3E-01' is not a number"},
      {"empty cell", kHeader + "\n" + ok + "300,,0,0,0,0,0,0\n", side_ok,
       "r.csv line 3 (record 2), column precursor: '' is not a number"},
      {"not finite", kHeader + "\n" + ok + "300,nan,0,0,0,0,0,0\n", side_ok,
       "r.csv line 3 (record 2), column precursor: nan is not a finite number"},
      {"short row", kHeader + "\n" + ok + "300,1,0\n", side_ok,
       "r.csv line 3 (record 2): 3 fields where the header names 8"},
      {"unsorted time", kHeader + "\n" + "0,1,0,0,0,0,0,0\n600,1,0,0,0,0,0,0\n300,1,0,0,0,0,0,0\n",
       side_ok,
       "r.csv line 4 (record 3): time 300 does not follow time 600 of the record before; time "
       "must increase from record to record"},
      {"repeated time", kHeader + "\n" + ok + ok, side_ok,
       "r.csv line 3 (record 2): time 0 does not follow time 0 of the record before; time must "
       "increase from record to record"},
      {"side file of two rows", kHeader + "\n" + ok + "1,1,0,0,0,0,0,0\n",
       side_ok + "1,2,3,4,5,6\n", "r.molar_masses.csv holds 2 rows of molar masses; it needs exactly one"},
      {"side file without a column", kHeader + "\n" + ok + "1,1,0,0,0,0,0,0\n",
       "molar_mass1\n1\n",
       "r.molar_masses.csv has no column molar_mass2 (its header: molar_mass1); it needs "
       "molar_mass1,...,molar_mass6 and one row"},
  };
  for (const auto& c : kCases) {
    const driver::ReadOutcome read = driver::parse_csv_run(
        c.text, "r.csv", true, c.side.empty() ? nullptr : &c.side, "r.molar_masses.csv");
    EXPECT_EQ(read.ending.kind, driver::Ending::Kind::input) << c.what;
    EXPECT_EQ(read.ending.status, 1) << c.what;
    EXPECT_EQ(read.ending.message, c.message) << c.what;
  }
}

TEST(NetcdfNames, MapsTheNamesGivenAndRefusesOthers) {
  driver::NetcdfNames names;
  EXPECT_EQ(driver::parse_netcdf_names("time = t_h, bin6=vb6,molar_mass1=w1", names), "");
  EXPECT_EQ(names.time, "t_h");
  EXPECT_EQ(names.bins[5], "vb6");
  EXPECT_EQ(names.bins[0], "bin1");
  EXPECT_EQ(names.molar_masses[0], "w1");
  const struct {
    const char* mapping;
    const char* fault;
  } kFaults[] = {
      {"time", "'time' is not NAME=VARIABLE"},
      {"time=", "time is mapped to no variable"},
      {"bin7=x",
       "'bin7' is not a name to map: time, precursor, bin1 ... bin6, molar_mass1 ... molar_mass6"},
      {"bin1=a,bin1=b", "bin1 is mapped twice"},
  };
  for (const auto& f : kFaults) {
    driver::NetcdfNames unchanged;
    EXPECT_EQ(driver::parse_netcdf_names(f.mapping, unchanged), f.fault) << f.mapping;
    EXPECT_EQ(unchanged.time, "time") << f.mapping;
  }
}

TEST(NetcdfTime, ConvertsTheUnitsOfTimeToSeconds) {
  const struct {
    const char* units;
    double seconds;
  } kUnits[] = {{"s", 1},          {"seconds since 2020-01-01 00:00", 1}, {"min", 60},
                {"minutes", 60},   {"h", 3600},  {"hours since 1970-01-01", 3600},
                {"days", 86400},   {"d", 86400}, {"K", 0}, {"ms", 0}, {"", 0}};
  for (const auto& u : kUnits) EXPECT_EQ(driver::seconds_per_unit(u.units), u.seconds) << u.units;
}

// NetCDF files made from their text form (CDL) with ncgen.
class NetcdfRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/ncgen", X_OK) != 0) {
      GTEST_SKIP() << "ncgen is missing (Debian's netcdf-bin; tools/deps.sh check installs it)";
    }
  }
  // The run of `cdl`'s variables over a time dimension of 3.
  driver::ReadOutcome read(const std::string& variables, const std::string& data,
                           bool molar_masses = false, const driver::NetcdfNames& names = {}) {
    const std::string cdl = "netcdf run {\ndimensions:\n  time = 3 ;\n  other = 3 ;\n"
                            "variables:\n" + variables + "data:\n" + data + "}\n";
    write_file(dir_.path() / "run.cdl", cdl);
    const std::string command = "/usr/bin/ncgen -o " + (dir_.path() / "run.nc").string() + " " +
                                (dir_.path() / "run.cdl").string();
    EXPECT_EQ(std::system(command.c_str()), 0) << cdl;
    return driver::read_netcdf_run((dir_.path() / "run.nc").string(), names, molar_masses);
  }
  std::string path() const { return (dir_.path() / "run.nc").string(); }
  ScratchDir dir_;
};

// A valid run's declarations and data, bins in ppb; `time_units` the
// units of time.
std::string variables(const std::string& time_units) {
  std::string v = "  double time(time) ;\n    time:units = \"" + time_units + "\" ;\n"
                  "  float precursor(time) ;\n    precursor:units = \"ppb\" ;\n";
  for (int j = 1; j <= 6; ++j) {
    v += "  double bin" + std::to_string(j) + "(time) ;\n    bin" + std::to_string(j) +
         ":units = \"ppb\" ;\n";
  }
  return v;
}
std::string data(const std::string& time = "0, 0.5, 1") {
  std::string d = "  time = " + time + " ;\n  precursor = 25, 24, 23 ;\n";
  for (int j = 1; j <= 6; ++j) d += "  bin" + std::to_string(j) + " = 0, 1, 2 ;\n";
  return d;
}

TEST_F(NetcdfRun, ReadsTimeInHoursAsSecondsAndScalarMolarMasses) {
  std::string v = variables("hours since 2000-01-01");
  std::string d = data();
  for (int j = 1; j <= 6; ++j) {
    v += "  double w" + std::to_string(j) + " ;\n    w" + std::to_string(j) + ":units = \"g/mol\" ;\n";
    d += "  w" + std::to_string(j) + " = " + std::to_string(100 * j) + " ;\n";
  }
  driver::NetcdfNames names;
  for (int j = 1; j <= 6; ++j) names.molar_masses[j - 1] = "w" + std::to_string(j);
  const driver::ReadOutcome run = read(v, d, true, names);
  ASSERT_TRUE(run.ending.ok()) << run.ending.message;
  EXPECT_EQ(run.arrays.time, (std::vector<double>{0, 1800, 3600}));
  EXPECT_EQ(run.arrays.precursor, (std::vector<double>{25, 24, 23}));
  EXPECT_EQ(run.arrays.bins[6 * 2 + 5], 2.0);
  ASSERT_EQ(run.arrays.molar_masses.size(), 18u);
  EXPECT_EQ(run.arrays.molar_masses[6 * 2 + 5], 600.0);
}

TEST_F(NetcdfRun, RefusesBadRunsNamingTheVariableAndIndex) {
  const struct {
    const char* what;
    std::string variables;
    std::string data;
    std::string message;  // after the file's path
  } kCases[] = {
      {"no time dimension", "  double t(other) ;\n", "  t = 0, 1, 2 ;\n",
       " has no time dimension: no variable time (it has a dimension time but no variable of "
       "that name); --netcdf-variables time=NAME names another"},
      {"time in kelvin", variables("K"), data(),
       ", variable time: units 'K' are not a time unit; time must be in s, min, h or days"},
      {"unsorted time", variables("s"), data("0, 2, 1"),
       ", variable time, index 2 (record 3): time 1 s does not follow 2 s; time must increase "
       "from record to record"},
      {"missing bin", "  double time(time) ;\n  double precursor(time) ;\n",
       "  time = 0, 1, 2 ;\n  precursor = 1, 1, 1 ;\n",
       " has no variable bin1 (the bin1 series; --netcdf-variables bin1=NAME names another)"},
      {"fill value", variables("s") + "    bin4:_FillValue = -999. ;\n",
       "  time = 0, 1, 2 ;\n  precursor = 25, 24, 23 ;\n  bin1 = 0, 1, 2 ;\n  bin2 = 0, 1, 2 ;\n"
       "  bin3 = 0, 1, 2 ;\n  bin4 = 0, _, 2 ;\n  bin5 = 0, 1, 2 ;\n  bin6 = 0, 1, 2 ;\n",
       ", variable bin4, index 1 (record 2): missing (the fill value -999)"},
      {"values never written", variables("s"),
       "  time = 0, 1, 2 ;\n  precursor = 25, 24, 23 ;\n  bin1 = 0, 1, 2 ;\n  bin2 = 0, 1, 2 ;\n"
       "  bin3 = 0, 1 ;\n  bin4 = 0, 1, 2 ;\n  bin5 = 0, 1, 2 ;\n  bin6 = 0, 1, 2 ;\n",
       ", variable bin3, index 2 (record 3): missing (the fill value 9.969209968386869e+36)"},
      {"bin over another dimension",
       "  double time(time) ;\n  double precursor(other) ;\n",
       "  time = 0, 1, 2 ;\n  precursor = 1, 1, 1 ;\n",
       ", variable precursor is over the dimension other, not the time dimension of the time "
       "variable"},
      {"text time", "  char time(time) ;\n", "  time = \"abc\" ;\n",
       ", variable time holds no numbers (the time series must be numeric)"},
  };
  for (const auto& c : kCases) {
    const driver::ReadOutcome run = read(c.variables, c.data);
    EXPECT_EQ(run.ending.kind, driver::Ending::Kind::input) << c.what;
    EXPECT_EQ(run.ending.message, path() + c.message) << c.what;
  }
}

TEST_F(NetcdfRun, RefusesBinsInAnotherUnitThanThePrecursor) {
  std::string v = variables("s");
  v.replace(v.find("bin3:units = \"ppb\""), 18, "bin3:units = \"ug m-3\"");
  EXPECT_EQ(read(v, data()).ending.message,
            path() + ", variable bin3: units 'ug m-3' where precursor has 'ppb'; the precursor "
                     "and the bins must share one unit");
}

// A classic header whose counts exceed the file is refused before the
// library sizes anything by them.
TEST(NetcdfBytes, RefusesAHeaderWhoseCountsExceedTheFile) {
  using namespace std::string_literals;
  const std::string header = "CDF\x01"s + "\0\0\0\0"s;  // no records yet
  const struct {
    const char* what;
    std::string bytes;
  } kHeaders[] = {
      {"dimensions", header + "\0\0\0\x0a\x7f\xff\xff\xff"s},
      {"a name", header + "\0\0\0\x0a\0\0\0\x01\x7f\xff\xff\xfft"s},
      {"a dimension named",
       header + "\0\0\0\0\0\0\0\0"s + "\0\0\0\0\0\0\0\0"s +
           "\0\0\0\x0b\0\0\0\x01\0\0\0\x01v\0\0\0\0\0\0\x01\0\0\0\x03"s},
  };
  for (const auto& h : kHeaders) {
    const driver::ReadOutcome run = driver::read_netcdf_bytes(h.bytes, "run.nc", {}, false);
    EXPECT_EQ(run.ending.message.rfind("cannot read run.nc as NetCDF: ", 0), 0u) << h.what;
    EXPECT_NE(run.ending.message.find(h.what == std::string("a dimension named")
                                          ? "names a dimension the file does not have"
                                          : "its header is damaged"),
              std::string::npos)
        << h.what << ": " << run.ending.message;
  }
}

TEST(NetcdfBytes, RefusesWhatIsNotNetcdf) {
  const driver::ReadOutcome run =
      driver::read_netcdf_bytes("time,precursor\n", "run.nc", {}, false);
  EXPECT_EQ(run.ending.kind, driver::Ending::Kind::input);
  EXPECT_EQ(run.ending.message.rfind("cannot read run.nc as NetCDF: ", 0), 0u) << run.ending.message;
}

}  // namespace
