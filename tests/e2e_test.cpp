// The complete program run as a user runs it: a scratch tree with run/ as the
// working directory and the inputs beside it, checked byte for byte against
// reference runs whose results were computed independently.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "run_program.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::binary;
using testsupport::copy_tree;
using testsupport::read_file;
using testsupport::run_program;
using testsupport::ScratchDir;

const char* const kResultsName = "fit6_coef.OLE2_OH.0.1.allgas";

struct ReferenceCase {
  const char* name;     // folder under tests/data/acceptance
  const char* program;  // binary built for the case's start values
  const char* results;  // results file name, or nullptr when none is made
};

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

TEST(EndToEnd, ReferenceRunsMatchByteForByte) {
  const ReferenceCase cases[] = {
      {"standard", "vbsfit", kResultsName},
      {"ideal", "vbsfit_ideal", "fit6_coef.ideal.0.1.allgas"},
      {"missing-precursor", "vbsfit", nullptr},
  };
  for (const ReferenceCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    fs::path reference = testsupport::test_data(std::string("acceptance/") + c.name);
    copy_tree(reference, scratch.path() / c.name);
    fs::path run_dir = scratch.path() / c.name / "run";
    fs::path expected = reference / "expected";

    auto run = run_program(binary(c.program), run_dir);

    EXPECT_EQ(run.out, read_file(expected / "stdout"));
    EXPECT_EQ(std::to_string(run.exit_status) + "\n", read_file(expected / "status"));
    std::string first_line = read_file(expected / "stderr_first_line");
    if (!first_line.empty() && first_line.back() == '\n') first_line.pop_back();
    EXPECT_EQ(run.first_err_line(), replace_all(first_line, "{cwd}", run_dir.string()));
    if (c.results != nullptr) {
      EXPECT_EQ(read_file(run_dir / "FITS" / c.results), read_file(expected / "results"));
    } else {
      EXPECT_FALSE(fs::exists(run_dir / "FITS" / kResultsName));
    }
  }
}

// A standard-layout tree of the reference data in a scratch place.
class StandardRun : public ::testing::Test {
 protected:
  void SetUp() override {
    copy_tree(testsupport::test_data("acceptance/standard"), scratch_.path() / "case");
    run_dir_ = scratch_.path() / "case" / "run";
  }
  fs::path results() const { return run_dir_ / "FITS" / kResultsName; }

  ScratchDir scratch_;
  fs::path run_dir_;
};

TEST_F(StandardRun, SecondRunInTheSameDirectoryLeavesTheFirstResultsUntouched) {
  auto first = run_program(binary("vbsfit"), run_dir_);
  ASSERT_EQ(first.exit_status, 0);
  std::string kept = read_file(results());

  auto second = run_program(binary("vbsfit"), run_dir_);
  EXPECT_EQ(second.exit_status, 10);
  EXPECT_EQ(second.first_err_line(),
            "forrtl: severe (10): cannot overwrite existing file, unit 11, file " +
                run_dir_.string() + "/FITS/" + kResultsName);
  EXPECT_EQ(read_file(results()), kept);
  EXPECT_EQ(std::distance(fs::directory_iterator(run_dir_ / "FITS"), fs::directory_iterator()),
            2);  // .keep and the results: no temporary file
  // Rows 1 to 7 were written before the open failed; no solve ran.
  EXPECT_EQ(second.out_lines().size(), 11u);
  EXPECT_EQ(second.out_lines().back().substr(0, 5), " TAG ");
}

TEST_F(StandardRun, MissingResultsDirectoryIsFileNotFound) {
  fs::remove_all(run_dir_ / "FITS");
  auto run = run_program(binary("vbsfit"), run_dir_);
  EXPECT_EQ(run.exit_status, 29);
  EXPECT_EQ(run.first_err_line(), "forrtl: severe (29): file not found, unit 11, file " +
                                      run_dir_.string() + "/FITS/" + kResultsName);
}

// The seven 11-column fields of a coefficient record.
std::vector<std::string> fields(const std::string& record) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at + 11 <= record.size(); at += 11) out.push_back(record.substr(at, 11));
  return out;
}

// Builds without some bin reactions: their columns of the design matrix are
// zero, so their coefficients stay at the lower bound and report as 0.
TEST_F(StandardRun, BuildsWithoutBinReactionsReportZeroForThoseColumns) {
  struct Case {
    const char* program;
    const char* tag;
    int first_zero_column;  // columns from here to 7 are zero in every row
  };
  const Case cases[] = {{"vbsfit_static", "static", 2}, {"vbsfit_no6", "no6", 7}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    auto run = run_program(binary(c.program), run_dir_);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out_lines().size(), 33u);
    auto records =
        testsupport::lines_of(read_file(run_dir_ / "FITS" / (std::string("fit6_coef.OLE2_OH.0.1.") + c.tag)));
    ASSERT_EQ(records.size(), 9u);
    for (int r = 1; r <= 6; ++r) {
      auto row = fields(records[r + 1]);
      ASSERT_EQ(row.size(), 7u);
      EXPECT_NE(row[0], "  0.000E+00") << "row " << r;
      for (int col = c.first_zero_column; col <= 7; ++col) {
        EXPECT_EQ(row[col - 1], "  0.000E+00") << "row " << r << " column " << col;
      }
    }
  }
}

// Input that cannot be fitted ends the run before the results file is made,
// with one line on standard error naming the first bad interval.
struct BadInputCase {
  const char* name;
  const char* file;   // aer.wmol_vbs.6 or aer.cdis_all.6; nullptr: all three files
  int first_record;   // data records first ... last of the file are changed
  int last_record;
  int column;         // their field at columns column ... column + 12
  std::string field;  // takes this text
  const char* message;
};

TEST_F(StandardRun, UnfittableInputEndsWithOneLineAndStatusOne) {
  fs::path inputs = scratch_.path() / "case" / "INPUTS_ODE" / "5days" / "0.1_aer.OLE2_OH";
  const BadInputCase cases[] = {
      // The files must agree on their times, so all three repeat it.
      {"repeated time", nullptr, 6, 6, 1, "  0.12000E+04",
       "vbsfit: interval 5: time does not increase from 1200 to 1200; no rate of change can be "
       "formed"},
      // Bin 1 near the largest double in records 10 and 11: their mean overflows.
      {"overflowing mean", "aer.cdis_all.6", 10, 11, 14, "  0.17000+309",
       "vbsfit: interval 10: reaction rate of column 2 is not finite (inf)"},
      // The same in bin 6: the last column of the matrix.
      {"overflowing mean in the last bin", "aer.cdis_all.6", 10, 11, 79, "  0.10000+309",
       "vbsfit: interval 10: reaction rate of column 7 is not finite (inf)"},
  };
  for (const BadInputCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<const char*> names = {c.file};
    if (c.file == nullptr) names = {"aer.precursor", "aer.cdis_all.6", "aer.wmol_vbs.6"};
    std::vector<std::string> originals;
    for (const char* name : names) {
      fs::path file = inputs / name;
      originals.push_back(read_file(file));
      auto records = testsupport::lines_of(originals.back());
      const int header = std::string(name) == "aer.precursor" ? 1 : 0;
      for (int t = c.first_record; t <= c.last_record; ++t) {
        records[t - 1 + header].replace(c.column - 1, 13, c.field);
      }
      std::string spoiled;
      for (const std::string& line : records) spoiled += line + "\n";
      testsupport::write_file(file, spoiled);
    }

    auto run = run_program(binary("vbsfit"), run_dir_);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.err, std::string(c.message) + "\n");
    EXPECT_EQ(run.out_lines().size(), 10u);  // set-up and mean molar masses
    EXPECT_FALSE(fs::exists(results()));
    for (std::size_t k = 0; k < names.size(); ++k) {
      testsupport::write_file(inputs / names[k], originals[k]);
    }
  }
}

// The bundled example, run as `make demo` runs it.
TEST(EndToEnd, BundledExampleFitsWithinTheBoundsAndEchoesTheFile) {
  ScratchDir scratch;
  copy_tree(fs::path(VBSFIT_SOURCE_DIR) / "examples", scratch.path() / "example");
  fs::path run_dir = scratch.path() / "example" / "run";
  fs::create_directories(run_dir / "FITS");
  auto run = run_program(binary("vbsfit"), run_dir);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  auto out = run.out_lines();
  ASSERT_EQ(out.size(), 33u);
  auto records = testsupport::lines_of(read_file(run_dir / "FITS" / kResultsName));
  ASSERT_EQ(records.size(), 9u);
  for (int r = 1; r <= 6; ++r) {
    SCOPED_TRACE("target bin " + std::to_string(r));
    EXPECT_EQ(out[15 + 3 * (r - 1)], "  ");
    EXPECT_EQ(out[16 + 3 * (r - 1)], " coefs for species nb.            " + std::to_string(r));
    const std::string& row = out[17 + 3 * (r - 1)];
    EXPECT_EQ(row, records[r + 1]);
    auto values = fields(row);
    ASSERT_EQ(values.size(), 7u);
    for (int c = 1; c <= 7; ++c) {
      double x = std::stod(values[c - 1]);
      double upper = c == r + 1 ? 1.0 : 10000.0;
      EXPECT_GE(x, 0.0) << "column " << c;
      EXPECT_LE(x, upper) << "column " << c;
    }
  }
}

}  // namespace
