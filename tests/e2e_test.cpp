// The complete program run as a user runs it: a scratch tree with run/ as the
// working directory and the inputs beside it, checked byte for byte against
// reference runs whose results were computed independently.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
