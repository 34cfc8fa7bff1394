// The batch's file helpers: a file replaced only whole; what a name holds
// when it is not a file.
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

TEST(OtherThanFile, NamesWhatIsThereUnlessItIsAFileOrNothing) {
  testsupport::ScratchDir dir;
  const fs::path d = dir.path();
  testsupport::write_file(d / "file", "x\n");
  fs::create_directory(d / "directory");
  ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
  fs::create_symlink("file", d / "to-file");
  fs::create_symlink("directory", d / "to-directory");
  fs::create_symlink("nowhere", d / "dangling");
  const struct {
    const char* name;
    const char* other;
  } cases[] = {
      {"file", ""},
      {"missing", ""},
      {"to-file", ""},
      {"directory", "a directory"},
      {"to-directory", "a directory"},
      {"fifo", "a FIFO"},
      {"dangling", "a link to nothing"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(batch::other_than_file((d / c.name).string()), c.other) << c.name;
  }
  EXPECT_EQ(batch::other_than_file("/dev/null"), "a device");
}

}  // namespace
