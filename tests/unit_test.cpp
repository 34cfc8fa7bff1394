// Units: the full file names shown in messages, the OPEN, READ and WRITE
// failures and their messages, and records written and read back.
#include "textio/unit.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "run_program.hpp"
#include "diagnostics/termination.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::read_file;
using testsupport::run_in_child;
using testsupport::ScratchDir;
using testsupport::write_file;

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// Runs the test body with the current directory changed, and changes back.
class InDirectory {
 public:
  explicit InDirectory(const fs::path& dir) : saved_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~InDirectory() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

// Sets HOME for the test body and restores it.
class HomeSetTo {
 public:
  explicit HomeSetTo(const std::string& home) {
    const char* old = std::getenv("HOME");
    had_ = old != nullptr;
    if (had_) saved_ = old;
    ::setenv("HOME", home.c_str(), 1);
  }
  ~HomeSetTo() {
    if (had_) {
      ::setenv("HOME", saved_.c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }

 private:
  bool had_;
  std::string saved_;
};

TEST(FullFileName, TrimsBlanksExpandsHomeAndPrefixesTheCurrentDirectory) {
  ScratchDir dir;  // already physical (canonical)
  InDirectory in(dir.path());
  HomeSetTo home("/home/fit");
  const std::string cwd = dir.path().string();
  const struct {
    const char* given;
    std::string expected;
  } rows[] = {
      {"x.dat", cwd + "/x.dat"},
      {"   x.dat   ", cwd + "/x.dat"},
      {"../INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.precursor",
       cwd + "/../INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.precursor"},
      {"./a/../b", cwd + "/./a/../b"},  // nothing is resolved
      {"FITS/fit6_coef.OLE2_OH.0.1.allgas", cwd + "/FITS/fit6_coef.OLE2_OH.0.1.allgas"},
      {"/abs/x.dat  ", "/abs/x.dat"},
      {"//abs", "//abs"},
      {" ~/in/x.dat", "/home/fit/in/x.dat"},
      {"~x.dat", cwd + "/~x.dat"},  // only "~/" is expanded
      {"a b", cwd + "/a b"},        // inner blanks belong to the name
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.expected, textio::full_file_name(20, row.given)) << row.given;
  }
}

TEST(FullFileName, RootDirectoryGetsNoSecondSlash) {
  InDirectory in("/");
  EXPECT_EQ("/x.dat", textio::full_file_name(20, "x.dat"));
}

TEST(FullFileName, CurrentDirectoryIsThePhysicalOne) {
  ScratchDir dir;
  fs::create_directory(dir.path() / "real");
  fs::create_directory_symlink(dir.path() / "real", dir.path() / "link");
  InDirectory in(dir.path() / "link");
  EXPECT_EQ((dir.path() / "real" / "x.dat").string(), textio::full_file_name(20, "x.dat"));
}

TEST(FullFileName, RelativeNameWithoutACurrentDirectoryEndsWith121) {
  ScratchDir dir;
  fs::path gone = dir.path() / "gone";
  auto run = run_in_child([&gone] {
    fs::create_directory(gone);
    fs::current_path(gone);
    fs::remove(gone);
    textio::open_unit(20, " x.dat ", textio::OpenStatus::old_file);
  });
  EXPECT_EQ(121, run.exit_status);
  EXPECT_EQ("forrtl: severe (121): Cannot access current working directory for unit 20, file x.dat",
            first_line(run.err));
}

// An OPEN that must fail, and the message line it must show; `prepare` lays
// out the scratch directory the child works in.
struct OpenFailureRow {
  const char* what;
  void (*prepare)(const fs::path& dir);
  std::string file;  // as given to OPEN, relative to the scratch directory
  textio::OpenStatus status;
  int number;
  std::string expected;  // with DIR standing for the scratch directory
};

std::string with_dir(std::string text, const fs::path& dir) {
  std::size_t at = text.find("DIR");
  if (at != std::string::npos) text.replace(at, 3, dir.string());
  return text;
}

const OpenFailureRow kOpenFailures[] = {
    {"missing input, relative with ..", [](const fs::path& dir) { fs::create_directory(dir / "w"); },
     "../x/aer.precursor", textio::OpenStatus::old_file, 29,
     "forrtl: severe (29): file not found, unit 20, file DIR/w/../x/aer.precursor"},
    {"existing results file", [](const fs::path& dir) { write_file(dir / "w" / "fit", "old\n"); },
     "fit", textio::OpenStatus::new_file, 10,
     "forrtl: severe (10): cannot overwrite existing file, unit 20, file DIR/w/fit"},
    {"results directory missing", [](const fs::path&) {}, "FITS/fit", textio::OpenStatus::new_file,
     29, "forrtl: severe (29): file not found, unit 20, file DIR/w/FITS/fit"},
    {"a path component is a regular file",
     [](const fs::path& dir) { write_file(dir / "w" / "plain", ""); }, "plain/aer.precursor",
     textio::OpenStatus::old_file, 43,
     "forrtl: severe (43): file name specification error, unit 20, file DIR/w/plain/aer.precursor"},
    {"a component too long", [](const fs::path&) {}, std::string(300, 'n'),
     textio::OpenStatus::old_file, 43,
     "forrtl: severe (43): file name specification error, unit 20, file DIR/w/" +
         std::string(300, 'n')},
    {"a directory", [](const fs::path& dir) { fs::create_directory(dir / "w" / "sub"); }, "sub",
     textio::OpenStatus::old_file, 30, "forrtl: severe (30): open failure, unit 20, file DIR/w/sub"},
    {"a symbolic link loop",
     [](const fs::path& dir) { fs::create_symlink("loop", dir / "w" / "loop"); }, "loop",
     textio::OpenStatus::old_file, 30, "forrtl: severe (30): open failure, unit 20, file DIR/w/loop"},
};

TEST(OpenUnit, EachRefusalEndsWithItsMessageAndTheFullName) {
  for (const OpenFailureRow& row : kOpenFailures) {
    SCOPED_TRACE(row.what);
    ScratchDir dir;
    fs::create_directory(dir.path() / "w");
    row.prepare(dir.path());
    auto run = run_in_child([&] {
      fs::current_path(dir.path() / "w");
      textio::open_unit(20, row.file, row.status);
    });
    EXPECT_EQ(row.number, run.exit_status);
    EXPECT_EQ(with_dir(row.expected, dir.path()), first_line(run.err));
  }
}

TEST(OpenUnit, ExistingFileIsLeftAsItWas) {
  ScratchDir dir;
  fs::path fit = dir.path() / "fit";
  write_file(fit, "earlier results\n");
  auto run = run_in_child(
      [&fit] { textio::open_unit(11, fit.string(), textio::OpenStatus::new_file); });
  EXPECT_EQ(10, run.exit_status);
  EXPECT_EQ("earlier results\n", read_file(fit));
}

TEST(OpenUnit, HomeIsExpandedInTheNameOpenedAndShown) {
  ScratchDir dir;
  write_file(dir.path() / "present", " 1.0\n");
  HomeSetTo home(dir.path().string());
  textio::Unit& unit = textio::open_unit(20, "~/present", textio::OpenStatus::old_file);
  EXPECT_EQ((dir.path() / "present").string(), unit.file_name());
  textio::close_unit(20);

  auto run =
      run_in_child([] { textio::open_unit(20, "~/absent", textio::OpenStatus::old_file); });
  EXPECT_EQ(29, run.exit_status);
  EXPECT_EQ("forrtl: severe (29): file not found, unit 20, file " + dir.path().string() + "/absent",
            first_line(run.err));
}

// Permission checks do not apply to root, so a child that is root gives up
// its identity first; these need the directory reachable for that identity.
constexpr uid_t kNobody = 65534;

void become_unprivileged() {
  if (::geteuid() != 0) return;
  if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(126);
}

TEST(OpenUnit, AccessRefusedEndsWith9) {
  ScratchDir dir;
  fs::permissions(dir.path(), fs::perms::all);
  fs::path secret = dir.path() / "secret";
  write_file(secret, "x\n");
  fs::permissions(secret, fs::perms::none);
  auto run = run_in_child([&secret] {
    become_unprivileged();
    textio::open_unit(20, secret.string(), textio::OpenStatus::old_file);
  });
  ASSERT_NE(126, run.exit_status) << "could not give up root";
  EXPECT_EQ(9, run.exit_status);
  EXPECT_EQ("forrtl: severe (9): permission to access file denied, unit 20, file " +
                secret.string(),
            first_line(run.err));
}

TEST(OpenUnit, ReadOnlyInputOpensForReading) {
  ScratchDir dir;
  fs::permissions(dir.path(), fs::perms::all);
  fs::path input = dir.path() / "input";
  write_file(input, " 1.0 2.0\n");
  fs::permissions(input, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  auto run = run_in_child([&input] {
    become_unprivileged();
    textio::Unit& unit = textio::open_unit(20, input.string(), textio::OpenStatus::old_file);
    std::string record;
    if (unit.read_record(record)) textio::standard_output().write_record(record);
  });
  EXPECT_EQ(testsupport::kBodyReturned, run.exit_status) << run.err;
  EXPECT_EQ(" 1.0 2.0\n", run.out);
}

TEST(OpenUnit, DeviceWithoutDriverEndsWith42) {
  ScratchDir dir;
  fs::path device = dir.path() / "device";
  // Major 240 is reserved for local use and has no driver here.
  if (::mknod(device.c_str(), S_IFCHR | 0666, makedev(240, 0)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  auto run = run_in_child(
      [&device] { textio::open_unit(20, device.string(), textio::OpenStatus::old_file); });
  EXPECT_EQ(42, run.exit_status);
  EXPECT_EQ("forrtl: severe (42): no such device, unit 20, file " + device.string(),
            first_line(run.err));
}

TEST(ReadRecord, OperatingSystemReadErrorEndsWith39) {
  // Reading a process's memory at address 0 fails with an input/output error.
  auto run = run_in_child([] {
    std::string record;
    textio::open_unit(20, "/proc/self/mem", textio::OpenStatus::old_file).read_record(record);
  });
  EXPECT_EQ(39, run.exit_status);
  EXPECT_EQ("forrtl: severe (39): error during read, unit 20, file /proc/self/mem",
            first_line(run.err));
}

TEST(ReadRecord, SplitsAtLineFeedsAndDropsOneCarriageReturn) {
  ScratchDir dir;
  fs::path input = dir.path() / "input";
  write_file(input, "a\r\n b \n\n\r\r\nlast");
  textio::Unit& unit = textio::open_unit(20, input.string(), textio::OpenStatus::old_file);
  std::vector<std::string> records;
  for (std::string record; unit.read_record(record);) records.push_back(record);
  textio::close_unit(20);
  EXPECT_EQ((std::vector<std::string>{"a", " b ", "", "\r", "last"}), records);
}

TEST(WriteRecord, LongAndManyRecordsArriveInOrder) {
  ScratchDir dir;
  fs::path output = dir.path() / "out";
  std::string expected;
  textio::Unit& unit = textio::open_unit(11, output.string(), textio::OpenStatus::new_file);
  std::string huge(200000, 'h');  // longer than any buffer
  for (int i = 0; i < 20000; ++i) {
    std::string record = i == 7777 ? huge : " record " + std::to_string(i);
    unit.write_record(record);
    expected += record + "\n";
  }
  textio::close_unit(11);
  EXPECT_EQ(expected, read_file(output));
}

TEST(OpenUnit, ReopeningANumberClosesTheFirstFile) {
  ScratchDir dir;
  fs::path first = dir.path() / "first";
  textio::open_unit(11, first.string(), textio::OpenStatus::new_file).write_record("one");
  textio::Unit& second =
      textio::open_unit(11, (dir.path() / "second").string(), textio::OpenStatus::new_file);
  EXPECT_EQ("one\n", read_file(first));
  EXPECT_EQ((dir.path() / "second").string(), second.file_name());
  textio::close_unit(11);
}

// A write that the operating system refuses, on a file unit or on standard
// output (a full disk: /dev/full), ends the run with 38.
TEST(WriteRecord, FullDiskEndsWith38) {
  auto on_file = run_in_child([] {
    textio::open_unit(11, "/dev/full", textio::OpenStatus::old_file).write_record(" 1");
    textio::close_unit(11);
  });
  EXPECT_EQ(38, on_file.exit_status);
  EXPECT_EQ("forrtl: severe (38): error during write, unit 11, file /dev/full",
            first_line(on_file.err));

  auto on_stdout = run_in_child([] {
    int full = ::open("/dev/full", O_WRONLY);
    ::dup2(full, STDOUT_FILENO);
    textio::standard_output().write_record(" FACTOR");
  });
  EXPECT_EQ(38, on_stdout.exit_status);
  EXPECT_EQ("forrtl: severe (38): error during write, unit -1, file stdout",
            first_line(on_stdout.err));
}

TEST(WriteRecord, FullDiskIsReportedEvenWhenOnlyTheStopWritesTheRecordsOut) {
  auto run = run_in_child([] {
    textio::open_unit(11, "/dev/full", textio::OpenStatus::old_file).write_record(" 1");
    diagnostics::stop_run();
  });
  EXPECT_EQ(38, run.exit_status);
  EXPECT_EQ("forrtl: severe (38): error during write, unit 11, file /dev/full",
            first_line(run.err));
}

// A new file waits in a temporary file, unnamed or named, until its close.
const textio::TemporaryFile kTemporaryKinds[] = {textio::TemporaryFile::unnamed_first,
                                                 textio::TemporaryFile::named};

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(NewFile, AppearsUnderItsNameOnlyWhenClosed) {
  for (textio::TemporaryFile kind : kTemporaryKinds) {
    SCOPED_TRACE(kind == textio::TemporaryFile::named ? "named" : "unnamed");
    ScratchDir dir;
    fs::path fit = dir.path() / "fit";
    textio::Unit& unit = textio::open_unit(11, fit.string(), textio::OpenStatus::new_file, kind);
    unit.write_record(" one");
    unit.flush();
    auto pending = entries(dir.path());
    if (kind == textio::TemporaryFile::named) {
      ASSERT_EQ(1u, pending.size());
      EXPECT_EQ(0u, pending[0].find("fit.tmp-" + std::to_string(::getpid()) + "-"));
    } else {
      EXPECT_TRUE(pending.empty());
    }
    textio::close_unit(11);
    EXPECT_EQ(std::vector<std::string>{"fit"}, entries(dir.path()));
    EXPECT_EQ(" one\n", read_file(fit));
  }
}

TEST(NewFile, EveryOtherEndingLeavesNothing) {
  for (textio::TemporaryFile kind : kTemporaryKinds) {
    for (int status : {0, 1}) {
      SCOPED_TRACE(std::to_string(status) +
                   (kind == textio::TemporaryFile::named ? " named" : " unnamed"));
      ScratchDir dir;
      auto run = run_in_child([&] {
        textio::open_unit(11, (dir.path() / "fit").string(), textio::OpenStatus::new_file, kind)
            .write_record(" one");
        diagnostics::stop_run(status);
      });
      EXPECT_EQ(status, run.exit_status);
      EXPECT_TRUE(entries(dir.path()).empty());
    }
  }
}

// Two runs may race for the name: the one that closes second must not replace
// the file of the first.
TEST(NewFile, NameTakenMeanwhileEndsWith10AtTheClose) {
  for (textio::TemporaryFile kind : kTemporaryKinds) {
    ScratchDir dir;
    fs::path fit = dir.path() / "fit";
    auto run = run_in_child([&] {
      textio::open_unit(11, fit.string(), textio::OpenStatus::new_file, kind).write_record(" late");
      write_file(fit, "first\n");
      textio::close_unit(11);
    });
    EXPECT_EQ(10, run.exit_status);
    EXPECT_EQ("forrtl: severe (10): cannot overwrite existing file, unit 11, file " + fit.string(),
              first_line(run.err));
    EXPECT_EQ("first\n", read_file(fit));
    EXPECT_EQ(std::vector<std::string>{"fit"}, entries(dir.path()));
  }
}

TEST(ReadRecord, LineLongerThanManyReadsComesWhole) {
  ScratchDir dir;
  fs::path input = dir.path() / "input";
  const std::string long_line(1 << 20, 'x');
  write_file(input, "a\n" + long_line + "\r\n" + long_line + "\nb");
  textio::Unit& unit = textio::open_unit(20, input.string(), textio::OpenStatus::old_file);
  std::vector<std::string> records;
  for (std::string record; unit.read_record(record);) records.push_back(record);
  textio::close_unit(20);
  EXPECT_EQ((std::vector<std::string>{"a", long_line, long_line, "b"}), records);
}

}  // namespace
