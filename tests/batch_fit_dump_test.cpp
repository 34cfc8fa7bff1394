// The record of a fit that a run hands to vbsfit-batch: the doubles come back
// bit for bit, and a record that is short, damaged, of another configuration
// or from a run whose writing failed is refused.
#include "batch/fit_dump.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>

#include "declare/declare.hpp"
#include "run_program.hpp"

namespace {

namespace fs = std::filesystem;
using namespace declare;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Values no computation would round to by accident: every double is distinct.
double value(int n) { return std::ldexp(1.0 + n * 0x1p-40, (n % 60) - 30) * (n % 3 == 0 ? -1 : 1); }

class FitDump : public ::testing::Test {
 protected:
  void SetUp() override {
    int n = 1;
    for (int t = 1; t <= kRecords; ++t) TIME(t) = value(n++);
    KP = value(n++);
    for (int j = 1; j <= kBins; ++j) K(j) = value(n++);
    for (int j = 1; j <= kBins; ++j) AVGWMOL(j) = value(n++);
    for (int c = 1; c <= kCoefficients; ++c) {
      for (int i = 1; i <= kIntervals; ++i) ABVLSX(i, c) = value(n++);
    }
    first_value_of_solves_ = n;
  }

  // Writes a whole record through the observer into `directory`, as a run
  // would.
  void write_record(const fs::path& directory, const batch::Configuration& config) {
    const int directory_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory_fd, 0);
    batch::FitDumpWriter writer(directory_fd, config);
    writer.problem_ready();
    int n = first_value_of_solves_;
    for (int r = 1; r <= kBins; ++r) {
      LOOPABVLS = 10 + r;
      for (int c = 1; c <= kCoefficients + 1; ++c) ISTATEBVLS(c) = c * r - 9;
      for (int i = 1; i <= kIntervals; ++i) BBVLS(i) = value(n++);
      for (int c = 1; c <= kCoefficients; ++c) {
        ALPHAL(c) = value(n++);
        ALPHAU(c) = value(n++);
        ALPHA(c) = value(n++);
      }
      writer.solved(r);
    }
    writer.finished();
    ::close(directory_fd);
  }

  std::string write_file(const batch::Configuration& config) {
    write_record(dir_.path(), config);
    return (dir_.path() / batch::kFitDumpName).string();
  }

  testsupport::ScratchDir dir_;
  int first_value_of_solves_ = 0;
  const batch::Configuration config_{"ABCDEFGHIJ", "NOX_LABEL_20_CHARS__", "no6"};
};

TEST_F(FitDump, EveryDoubleComesBackBitForBit) {
  const std::string path = write_file(config_);
  batch::FitDump dump;
  ASSERT_EQ(batch::read_fit_dump(path, config_, dump), "");
  int n = 1;
  for (double t : dump.time) EXPECT_EQ(bits(t), bits(value(n++)));
  EXPECT_EQ(bits(dump.kp), bits(value(n++)));
  for (double k : dump.k) EXPECT_EQ(bits(k), bits(value(n++)));
  for (double w : dump.avgwmol) EXPECT_EQ(bits(w), bits(value(n++)));
  ASSERT_EQ(dump.a.size(), static_cast<std::size_t>(kIntervals) * kCoefficients);
  for (double a : dump.a) EXPECT_EQ(bits(a), bits(value(n++)));  // column by column
  for (int r = 1; r <= kBins; ++r) {
    const batch::SolveRecord& s = dump.solves[r - 1];
    EXPECT_EQ(s.loops, 10 + r);
    for (int c = 1; c <= kCoefficients + 1; ++c) EXPECT_EQ(s.state[c - 1], c * r - 9);
    for (double b : s.b) EXPECT_EQ(bits(b), bits(value(n++)));
    for (int c = 0; c < kCoefficients; ++c) {
      EXPECT_EQ(bits(s.lower[c]), bits(value(n++)));
      EXPECT_EQ(bits(s.upper[c]), bits(value(n++)));
      EXPECT_EQ(bits(s.x[c]), bits(value(n++)));
    }
  }
}

TEST_F(FitDump, IncompleteOrForeignRecordsAreRefused) {
  const std::string path = write_file(config_);
  const std::string whole = testsupport::read_file(path);
  batch::FitDump dump;

  const batch::Configuration other_tag{config_.species, config_.scenario, "no56"};
  EXPECT_EQ(batch::read_fit_dump(path, other_tag, dump), path + " records another configuration");

  const struct {
    const char* name;
    std::string bytes;
    std::string refusal;
  } cases[] = {
      {"empty", "", " is not a complete record of a fit (0 bytes, not "},
      {"no trailer", whole.substr(0, whole.size() - 16), " is not a complete record of a fit ("},
      {"one byte more", whole + "x", " is not a complete record of a fit ("},
      {"other magic", "X" + whole.substr(1), " is not a record of a fit"},
      {"damaged trailer", whole.substr(0, whole.size() - 1) + "\x7f",
       " is not a complete record of a fit (no trailer)"},
  };
  for (const auto& c : cases) {
    testsupport::write_file(path, c.bytes);
    const std::string refusal = batch::read_fit_dump(path, config_, dump);
    EXPECT_EQ(refusal.substr(0, path.size() + c.refusal.size()), path + c.refusal) << c.name;
  }
  EXPECT_NE(batch::read_fit_dump((dir_.path() / "missing").string(), config_, dump), "");
}

// The trailer is the writer's claim that every block went out whole and in
// order: not after a write that failed (a file size limit stands in for a full
// disk), nor when a block is missing.
TEST_F(FitDump, NoTrailerAfterAFailedWriteOrAMissingBlock) {
  const std::string path = (dir_.path() / batch::kFitDumpName).string();
  const auto limited = testsupport::run_in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
    const rlimit limit{100000, 100000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    write_record(dir_.path(), config_);
    ::_exit(0);
  });
  ASSERT_EQ(limited.exit_status, 0);
  EXPECT_LE(fs::file_size(path), 100000u);
  batch::FitDump dump;
  EXPECT_NE(batch::read_fit_dump(path, config_, dump), "");

  fs::remove(path);
  {
    const int directory_fd = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
    batch::FitDumpWriter writer(directory_fd, config_);
    for (int r = 1; r <= kBins; ++r) writer.solved(r);  // no problem block: no file at all
    writer.finished();
    ::close(directory_fd);
  }
  EXPECT_FALSE(fs::exists(path));
  {
    const int directory_fd = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
    batch::FitDumpWriter writer(directory_fd, config_);
    writer.problem_ready();
    writer.solved(1);  // the other five solves are missing
    writer.finished();
    ::close(directory_fd);
  }
  EXPECT_EQ(testsupport::read_file(path).find("vbsfitE1"), std::string::npos);
  EXPECT_NE(batch::read_fit_dump(path, config_, dump), "");
}

}  // namespace
