// The batch's file helpers: a file replaced only whole.
#include "batch/files.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "run_program.hpp"

namespace {

namespace fs = std::filesystem;

TEST(WriteFileAtomically, AFileIsReplacedWholeAndNoTemporaryStays) {
  testsupport::ScratchDir dir;
  const std::string path = (dir.path() / "runs.csv").string();
  testsupport::write_file(path, "old\n");
  ASSERT_EQ(batch::write_file_atomically(path, "new,table\n"), "");
  EXPECT_EQ(testsupport::read_file(path), "new,table\n");
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);
  // Readable like any file the user makes, not private as a temporary is.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(static_cast<mode_t>(fs::status(path).permissions()), 0666 & ~mask);
  EXPECT_NE(batch::write_file_atomically((dir.path() / "no" / "such.csv").string(), "x"), "");
}

}  // namespace
