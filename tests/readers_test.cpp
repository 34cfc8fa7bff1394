// The simulation output readers on small files in scratch directories.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "declare/declare.hpp"
#include "driver/readers.hpp"
#include "run_program.hpp"

namespace {

namespace fs = std::filesystem;
using declare::PRECURSOR;
using declare::TIME;
using declare::WMOL;
using declare::YKELPO;
using testsupport::ScratchDir;
using testsupport::write_file;

// A 13-column E field as another program might write it (1.23450E+02 form).
std::string e13(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "%13.5E", x);
  return text;
}

// Values of record t, chosen to be exact in five digits.
double time_of(int t) { return 300.0 * (t - 1); }
double bin_of(int j, int t) { return j * 10.0 + (t % 100) * 0.5; }

std::string precursor_file(int records, const std::string& eol = "\n") {
  std::string text = "     time(s)    precursor" + eol;
  for (int t = 1; t <= records; ++t) text += e13(time_of(t)) + e13(25.0 - t * 0.01) + eol;
  return text;
}

std::string bin_file(int records, double offset = 0.0, double time_scale = 1.0) {
  std::string text;
  for (int t = 1; t <= records; ++t) {
    text += e13(time_of(t) * time_scale);
    for (int j = 1; j <= 6; ++j) text += e13(bin_of(j, t) + offset);
    text += "\n";
  }
  return text;
}

// Input files under `dir`, named by absolute paths in v.
struct StandardInput {
  explicit StandardInput(const fs::path& dir) {
    v.SPECIES = "OLE2_OH";
    v.FILEP = (dir / "aer.precursor").string();
    v.FILES = (dir / "aer.cdis_all.6").string();
    v.FILEW = (dir / "aer.wmol_vbs.6").string();
  }
  driver::MainVariables v;
};

TEST(Readers, StandardLayoutFillsTheRunDataAndTheLastFileSetsTheTimes) {
  ScratchDir dir;
  StandardInput in(dir.path());
  // CRLF line ends in one file, more than 1441 records in another, and
  // molar-mass times that differ from the others within the files' precision.
  constexpr double kTimeScale = 1.00002;
  write_file(dir.path() / "aer.precursor", precursor_file(1441, "\r\n"));
  write_file(dir.path() / "aer.cdis_all.6", bin_file(1500));
  // The last record of the molar-mass file has no line feed.
  std::string wmol = bin_file(1441, 100.0, kTimeScale);
  wmol.pop_back();
  write_file(dir.path() / "aer.wmol_vbs.6", wmol);
  driver::run_readers(in.v);
  EXPECT_EQ(PRECURSOR(1), 25.0 - 0.01);
  EXPECT_EQ(PRECURSOR(1441), 25.0 - 14.41);
  EXPECT_EQ(YKELPO(1, 1), bin_of(1, 1));
  EXPECT_EQ(YKELPO(6, 1441), bin_of(6, 1441));
  EXPECT_EQ(WMOL(3, 700), bin_of(3, 700) + 100.0);
  EXPECT_EQ(WMOL(6, 1441), bin_of(6, 1441) + 100.0);
  EXPECT_EQ(TIME(2), std::strtod(e13(time_of(2) * kTimeScale).c_str(), nullptr));
  EXPECT_EQ(TIME(1441), std::strtod(e13(time_of(1441) * kTimeScale).c_str(), nullptr));
}

TEST(Readers, IdealLayoutReadsListDirectedRecordsOverLines) {
  ScratchDir dir;
  driver::MainVariables v;
  v.SPECIES = "ideal";
  v.FILEP = (dir.path() / "aer.precursor.ideal").string();
  v.FILES = (dir.path() / "aer.ideal").string();
  std::string precursor = "  anything at all, even 1 2 3\n";
  std::string bins = "time vb1 vb2 vb3 vb4 vb5 vb6\n";
  for (int t = 1; t <= 1441; ++t) {
    char line[64];
    std::snprintf(line, sizeof line, "%24.14E%24.14E\n", time_of(t), 2.0 * t);
    precursor += line;
    // Record 2 is split over two lines; record 3 carries a surplus value.
    std::string values = std::to_string(time_of(t));
    for (int j = 1; j <= 6; ++j) values += (t == 2 && j == 3 ? "\n" : ", ") + std::to_string(bin_of(j, t));
    if (t == 3) values += " 999";
    bins += values + "\n";
  }
  write_file(v.FILEP.trimmed(), precursor);
  write_file(v.FILES.trimmed(), bins);
  WMOL(1, 1) = 0.0;
  driver::run_readers(v);
  EXPECT_EQ(PRECURSOR(1441), 2882.0);
  EXPECT_EQ(YKELPO(4, 2), bin_of(4, 2));
  EXPECT_EQ(YKELPO(6, 3), bin_of(6, 3));
  EXPECT_EQ(YKELPO(1, 4), bin_of(1, 4));
  EXPECT_EQ(TIME(1441), time_of(1441));
  EXPECT_EQ(WMOL(1, 1), 0.0);
}

// Failures end the run: each case writes the standard files, spoils one, and
// expects the message of the first failing read.
struct FailureCase {
  const char* name;
  const char* file;         // the file to replace
  std::string contents;     // its new contents
  int status;
  const char* message;      // the start of the diagnostic line
};

TEST(ReadersDeathTest, BadInputEndsTheRunWithTheMessageOfTheFailingRead) {
  std::string short_bins = bin_file(1000);
  std::string text_header = "time vb1 vb2\n" + bin_file(1441);
  // Record 100 at 29710 s instead of 29700 s: 3.4e-4 apart, more than five
  // digits' rounding can explain.
  std::string moved_time = precursor_file(1441);
  moved_time.replace(moved_time.find(e13(29700.0)), 13, e13(29710.0));
  const FailureCase cases[] = {
      {"empty precursor file", "aer.precursor", "", 24,
       "forrtl: severe (24): end-of-file during read, unit 20, file "},
      {"short bin file", "aer.cdis_all.6", short_bins, 24,
       "forrtl: severe (24): end-of-file during read, unit 30, file "},
      {"text header in a bin file", "aer.cdis_all.6", text_header, 64,
       "forrtl: severe (64): input conversion error, unit 30, file "},
      {"short molar-mass file", "aer.wmol_vbs.6", bin_file(1440), 24,
       "forrtl: severe (24): end-of-file during read, unit 60, file "},
      {"one time ten seconds off", "aer.precursor", moved_time, 1,
       "vbsfit: data record 100: time 29710 in "},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    StandardInput in(dir.path());
    write_file(dir.path() / "aer.precursor", precursor_file(1441));
    write_file(dir.path() / "aer.cdis_all.6", bin_file(1441));
    write_file(dir.path() / "aer.wmol_vbs.6", bin_file(1441));
    write_file(dir.path() / c.file, c.contents);
    std::string pattern = std::string(c.message) + (dir.path() / c.file).string();
    EXPECT_EXIT(driver::run_readers(in.v), ::testing::ExitedWithCode(c.status),
                ::testing::HasSubstr(pattern));
  }
}

TEST(ReadersDeathTest, NonNumericValueInIdealBinFileIsASyntaxError) {
  ScratchDir dir;
  driver::MainVariables v;
  v.SPECIES = "ideal";
  v.FILEP = (dir.path() / "p").string();
  v.FILES = (dir.path() / "b").string();
  std::string precursor = "header\n";
  for (int t = 1; t <= 1441; ++t) precursor += "                     1.0                     2.0\n";
  write_file(dir.path() / "p", precursor);
  write_file(dir.path() / "b", "header\n1 2 3 x4 5 6 7\n");
  EXPECT_EXIT(driver::run_readers(v), ::testing::ExitedWithCode(59),
              ::testing::HasSubstr("forrtl: severe (59): list-directed I/O syntax error, unit 30, file " +
                                   (dir.path() / "b").string()));
}

TEST(ReadersDeathTest, MissingFileNameKeepsTheRelativeComponents) {
  ScratchDir dir;
  fs::create_directory(dir.path() / "run");
  driver::MainVariables v;
  v.SPECIES = "OLE2_OH";
  v.FILEP = "../INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.precursor";
  std::string expected = "forrtl: severe (29): file not found, unit 20, file " +
                         (dir.path() / "run").string() +
                         "/../INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.precursor";
  EXPECT_EXIT(
      {
        if (::chdir((dir.path() / "run").c_str()) != 0) ::_exit(100);
        driver::run_readers(v);
      },
      ::testing::ExitedWithCode(29), ::testing::HasSubstr(expected));
}

}  // namespace
