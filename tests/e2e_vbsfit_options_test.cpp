// vbsfit --help and --version, given alone, print and end without touching
// the inputs or FITS; any other arguments are ignored and the fit runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "run_program.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::run_program;

class VbsfitOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::copy_tree(testsupport::test_data("acceptance/standard"), scratch_.path() / "case");
    run_dir_ = scratch_.path() / "case" / "run";
  }
  // Every file below the case's directory, so that nothing read is changed
  // (access times aside) and nothing is written.
  std::vector<std::string> tree() const {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(scratch_.path())) {
      files.push_back(entry.path().string() + " " +
                      (entry.is_regular_file() ? testsupport::read_file(entry.path()) : ""));
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  testsupport::ScratchDir scratch_;
  fs::path run_dir_;
};

TEST_F(VbsfitOptions, HelpAndVersionAloneReadAndWriteNothing) {
  const std::vector<std::string> before = tree();
  const auto help = run_program(testsupport::binary("vbsfit"), run_dir_, {"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("Usage: vbsfit\n", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("species OLE2_OH, scenario 0.1, tag allgas"), std::string::npos);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(tree(), before);

  const auto version = run_program(testsupport::binary("vbsfit"), run_dir_, {"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("vbsfit [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;
  EXPECT_EQ(version.err, "");
  EXPECT_EQ(tree(), before);
  EXPECT_FALSE(fs::exists(run_dir_ / "FITS" / "fit6_coef.OLE2_OH.0.1.allgas"));
}

TEST_F(VbsfitOptions, OtherArgumentsAreIgnoredAsBefore) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help", "--version"}, {"-h"}, {"--Help"}}) {
    fs::remove_all(run_dir_ / "FITS");
    fs::create_directory(run_dir_ / "FITS");
    const auto run = run_program(testsupport::binary("vbsfit"), run_dir_, args);
    EXPECT_EQ(run.exit_status, 0) << args.front();
    EXPECT_EQ(run.out.rfind(" COEFS: ", 0), 0u) << run.out;
    EXPECT_TRUE(fs::exists(run_dir_ / "FITS" / "fit6_coef.OLE2_OH.0.1.allgas")) << args.front();
  }
}

TEST_F(VbsfitOptions, HelpThatCannotBeWrittenEndsWithStatusOne) {
  const std::string program = testsupport::binary("vbsfit");
  const auto run = testsupport::run_in_child([&] {
    const int full = ::open("/dev/full", O_WRONLY);
    if (full < 0 || ::dup2(full, STDOUT_FILENO) < 0) ::_exit(127);
    ::execl(program.c_str(), program.c_str(), "--help", static_cast<char*>(nullptr));
    ::_exit(127);
  });
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.first_err_line(),
            "vbsfit: cannot write to standard output: No space left on device");
}

}  // namespace
