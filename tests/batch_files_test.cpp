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

// A file of exactly the limit is read whole; one byte more is refused,
// whether the limit is the plans' 4 MiB or another.
TEST(ReadInputFile, AFileOfExactlyTheLimitIsReadAndOneByteMoreIsNot) {
  testsupport::ScratchDir dir;
  const struct {
    std::size_t size, limit;
    const char* why;
  } cases[] = {
      {batch::kInputFileLimit, batch::kInputFileLimit, ""},
      {batch::kInputFileLimit + 1, batch::kInputFileLimit, "is larger than 4 MiB, the limit"},
      {10, 10, ""},
      {11, 10, "is larger than 10 bytes, the limit"},
  };
  for (const auto& c : cases) {
    const std::string path = (dir.path() / "study.plan").string();
    testsupport::write_file(path, std::string(c.size, '#'));
    std::string text;
    EXPECT_EQ(batch::read_input_file(path, c.limit, text), c.why) << c.size << " of " << c.limit;
    if (*c.why == '\0') {
      EXPECT_EQ(text.size(), c.size);
    }
  }
}

}  // namespace
