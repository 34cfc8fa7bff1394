// How a run of the built program ends when something goes wrong, as a user
// meets it: the status, the line on standard error, and what is left in
// FITS/ (never a partial results file, never a temporary one).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "boundedls/boundedls.hpp"
#include "diagnostics/signals.hpp"
#include "driver/main_program.hpp"
#include "run_program.hpp"
#include "textio/unit.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::binary;
using testsupport::ProgramRun;
using testsupport::read_file;
using testsupport::run_in_child;
using testsupport::run_program;
using testsupport::ScratchDir;
using testsupport::write_file;

const char* const kResultsName = "fit6_coef.OLE2_OH.0.1.allgas";
const char* const kInputs = "INPUTS_ODE/5days/0.1_aer.OLE2_OH";

// A run never waits this long; a test that would hang fails instead.
constexpr unsigned kRunTimeLimitSeconds = 60;

// Starts `program` in `dir` with standard output sent to `out_fd`, standard
// error to `err_path` and its files limited to `file_size_limit` bytes;
// returns the child's id.
pid_t start_program(const std::string& program, const fs::path& dir, int out_fd,
                    const fs::path& err_path, rlim_t file_size_limit = RLIM_INFINITY) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int in = ::open("/dev/null", O_RDONLY);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || err < 0 || ::chdir(dir.c_str()) != 0) ::_exit(127);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out_fd, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    rlimit size{file_size_limit, file_size_limit};
    ::setrlimit(RLIMIT_FSIZE, &size);
    ::alarm(kRunTimeLimitSeconds);
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

ProgramRun wait_for(pid_t pid, const fs::path& err_path) {
  ProgramRun run;
  testsupport::wait_for_child(pid, run);
  run.err = read_file(err_path);
  return run;
}

// The reference inputs in a scratch tree, run from case/run.
class Ending : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::copy_tree(testsupport::test_data("acceptance/standard"), scratch_.path() / "case");
    run_dir_ = scratch_.path() / "case" / "run";
  }
  fs::path input(const char* name) const { return scratch_.path() / "case" / kInputs / name; }
  fs::path fits() const { return run_dir_ / "FITS"; }
  std::string results_name() const { return (fits() / kResultsName).string(); }

  // What FITS/ holds besides its .keep.
  std::vector<std::string> fits_entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(fits())) {
      if (entry.path().filename() != ".keep") names.push_back(entry.path().filename().string());
    }
    return names;
  }

  // Replaces columns column ... column + 12 of data record t of an input file.
  void set_field(const char* name, int t, int column, const std::string& field) {
    auto lines = testsupport::lines_of(read_file(input(name)));
    const int header = std::string(name) == "aer.precursor" ? 1 : 0;
    lines[t - 1 + header].replace(column - 1, 13, field);
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    write_file(input(name), text);
  }

  ScratchDir scratch_;
  fs::path run_dir_;
};

TEST_F(Ending, TwoRunsStartedTogetherLeaveOneCompleteFileAndTheOtherEndsWith10) {
  const fs::path err[2] = {scratch_.path() / "err0", scratch_.path() / "err1"};
  pid_t pids[2];
  for (int k = 0; k < 2; ++k) {
    int out = ::open("/dev/null", O_WRONLY);
    pids[k] = start_program(binary("vbsfit"), run_dir_, out, err[k]);
    ::close(out);
  }
  ProgramRun runs[2] = {wait_for(pids[0], err[0]), wait_for(pids[1], err[1])};
  const int winner = runs[0].exit_status == 0 ? 0 : 1;
  EXPECT_EQ(0, runs[winner].exit_status);
  EXPECT_EQ(10, runs[1 - winner].exit_status);
  EXPECT_EQ("forrtl: severe (10): cannot overwrite existing file, unit 11, file " + results_name(),
            runs[1 - winner].first_err_line());
  EXPECT_EQ(std::vector<std::string>{kResultsName}, fits_entries());
  EXPECT_EQ(read_file(testsupport::test_data("acceptance/standard/expected/results")),
            read_file(fits() / kResultsName));
}

// Standard output is a one-page pipe, filled up in advance so that exactly
// the records up to "RESULTS =====> FITTED COEFS" fit: the run then stands
// still with its results file open, writing the next record.
class BlockedAfterResultsOpen : public Ending {
 protected:
  void start() {
    int pipe_ends[2];
    ASSERT_EQ(0, ::pipe2(pipe_ends, O_CLOEXEC));  // the run must not hold a read end
    const int size = ::fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(size, 0);
    auto expected = testsupport::lines_of(
        read_file(testsupport::test_data("acceptance/standard/expected/stdout")));
    ASSERT_EQ(" RESULTS =====> FITTED COEFS", expected[11]);
    int until_results = 0;
    for (int k = 0; k < 12; ++k) until_results += static_cast<int>(expected[k].size()) + 1;
    const std::string filler(static_cast<std::size_t>(size - until_results), '.');
    ASSERT_EQ(static_cast<ssize_t>(filler.size()),
              ::write(pipe_ends[1], filler.data(), filler.size()));
    read_end_ = pipe_ends[0];
    pid_ = start_program(binary("vbsfit"), run_dir_, pipe_ends[1], scratch_.path() / "err");
    ::close(pipe_ends[1]);
    // Full: everything up to the RESULTS record is in.
    for (int waited = 0; waited < 10000; ++waited) {
      int queued = 0;
      ::ioctl(read_end_, FIONREAD, &queued);
      if (queued == size) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FAIL() << "the run never filled its standard output";
  }
  ProgramRun finish() {
    if (read_end_ >= 0) {
      char buf[4096];
      while (::read(read_end_, buf, sizeof buf) > 0) {
      }
      ::close(read_end_);
    }
    return wait_for(pid_, scratch_.path() / "err");
  }

  pid_t pid_ = -1;
  int read_end_ = -1;
};

// `vbsfit | head -1` after head has gone.
TEST_F(BlockedAfterResultsOpen, ReaderGoneIsAFailedWrite38AndNoResultsFile) {
  start();
  ::close(read_end_);
  read_end_ = -1;
  ProgramRun run = finish();
  EXPECT_EQ(38, run.exit_status);
  EXPECT_EQ("forrtl: severe (38): error during write, unit -1, file stdout", run.first_err_line());
  EXPECT_TRUE(fits_entries().empty());
}

TEST_F(BlockedAfterResultsOpen, TerminationLeavesNoResultsFile) {
  start();
  ::kill(pid_, SIGTERM);
  ProgramRun run = finish();
  EXPECT_EQ(1, run.exit_status);
  EXPECT_EQ("forrtl: error (78): process killed (SIGTERM)", run.first_err_line());
  EXPECT_TRUE(fits_entries().empty());
}

// Once the results file has its name the run has succeeded: a termination
// signal that comes after that point (here sent by the run to itself from
// the observer hook that follows the results file's close) waits, and the
// run completes with status 0 and its whole output.
TEST_F(Ending, SignalAfterTheResultsFileIsNamedLeavesASucceededRun) {
  struct RaiseWhenFinished : driver::RunObserver {
    int signal = 0;
    void finished() override { ::raise(signal); }
  };
  const std::string expected_out =
      read_file(testsupport::test_data("acceptance/standard/expected/stdout"));
  for (int signal : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signal));
    fs::remove(fits() / kResultsName);
    ProgramRun run = run_in_child([this, signal] {
      fs::current_path(run_dir_);
      diagnostics::install_signal_handlers();
      RaiseWhenFinished observer;
      observer.signal = signal;
      driver::main_program({"OLE2_OH", "0.1", "allgas"}, &observer);
    });
    EXPECT_EQ(0, run.exit_status);
    EXPECT_EQ(0, run.signal);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(expected_out, run.out);
    EXPECT_EQ(read_file(testsupport::test_data("acceptance/standard/expected/results")),
              read_file(fits() / kResultsName));
  }
}

// A file size limit stands for a full disk: the results are written out at
// their close, which fails.
TEST_F(Ending, ResultsThatCannotBeWrittenOutEndWith38AndNoResultsFile) {
  const fs::path err = scratch_.path() / "err";
  int out = ::open("/dev/null", O_WRONLY);
  ProgramRun run = wait_for(start_program(binary("vbsfit"), run_dir_, out, err, 300), err);
  ::close(out);
  EXPECT_EQ(38, run.exit_status);
  EXPECT_EQ("forrtl: severe (38): error during write, unit 11, file " + results_name(),
            run.first_err_line());
  EXPECT_TRUE(fits_entries().empty());
}

// bvls stops the run with its own message when it cannot go on; no input of
// the program reaches that, so the results file is opened here directly.
TEST_F(Ending, SolverStopLeavesNoResultsFile) {
  ProgramRun run = run_in_child([this] {
    fs::current_path(run_dir_);
    textio::open_unit(11, std::string("FITS/") + kResultsName, textio::OpenStatus::new_file)
        .write_record(" Outputs given as");
    double a[2] = {1.0, 1.0}, b[2] = {1.0, 1.0}, lower[1] = {1.0}, upper[1] = {0.0}, x[1];
    std::int32_t key = 0, m = 2, n = 1, state[2], loops = 0;
    boundedls::bvls(key, m, n, a, b, lower, upper, x, state, loops);
  });
  EXPECT_EQ(1, run.exit_status);
  EXPECT_EQ("  Inconsistent bounds in BVLS. \n", run.out);
  EXPECT_TRUE(fits_entries().empty());
}

TEST_F(Ending, UnfittableValuesEndWithOneLineAndNoResultsFile) {
  struct Case {
    const char* name;
    const char* file;
    std::vector<int> records;
    int column;
    const char* field;
    const char* message;
  };
  const Case cases[] = {
      // Finite rates whose squares overflow in the solver.
      {"huge bin value", "aer.cdis_all.6", {100}, 14, " 0.10000E+160",
       "vbsfit: solve for bin 2: coefficient a12 (VB1) is not finite (-nan)"},
      {"overflowing molar-mass sum", "aer.wmol_vbs.6", {100, 101}, 14, " 0.17000E+309",
       "vbsfit: bin 1: mean molar mass is not finite (inf)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string original = read_file(input(c.file));
    for (int t : c.records) set_field(c.file, t, c.column, c.field);
    ProgramRun run = run_program(binary("vbsfit"), run_dir_);
    EXPECT_EQ(1, run.exit_status);
    EXPECT_EQ(std::string(c.message) + "\n", run.err);
    EXPECT_TRUE(fits_entries().empty());
    write_file(input(c.file), original);
  }
}

TEST_F(Ending, FilesWhoseTimesDisagreeEndWithOneLineNamingBoth) {
  for (const char* name : {"aer.cdis_all.6", "aer.precursor"}) {
    SCOPED_TRACE(name);
    const std::string original = read_file(input(name));
    auto lines = testsupport::lines_of(original);
    const int header = std::string(name) == "aer.precursor" ? 1 : 0;
    std::swap(lines[99 + header], lines[100 + header]);  // data records 100 and 101
    std::string swapped;
    for (const std::string& line : lines) swapped += line + "\n";
    write_file(input(name), swapped);

    ProgramRun run = run_program(binary("vbsfit"), run_dir_);
    EXPECT_EQ(1, run.exit_status);
    // Records 100 and 101 are at 29700 s and 30000 s.
    const std::string dir = "../INPUTS_ODE/5days/0.1_aer.OLE2_OH/";
    const std::string times = header ? "30000 in " + dir + "aer.precursor differs from time 29700"
                                     : "29700 in " + dir + "aer.precursor differs from time 30000";
    EXPECT_EQ("vbsfit: data record 100: time " + times + " in " + dir +
                  "aer.cdis_all.6; the files must share one time column\n",
              run.err);
    EXPECT_EQ(8u, run.out_lines().size());  // the set-up only: no "WMOL " line
    EXPECT_TRUE(fits_entries().empty());
    write_file(input(name), original);
  }
}

// A writer that sends ten records into a FIFO at the precursor path and
// closes it: the input ends there.
TEST_F(Ending, InputFromAPipeWhoseWriterClosesEarlyEndsWith24) {
  fs::path fifo = input("aer.precursor");
  const auto lines = testsupport::lines_of(read_file(fifo));
  fs::remove(fifo);
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
  std::thread writer([&] {
    int fd = -1;
    for (int tries = 0; fd < 0 && tries < 10000; ++tries) {
      fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // fails until the run opens it
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (fd < 0) return;
    std::string ten;
    for (int k = 0; k < 10; ++k) ten += lines[k] + "\n";
    (void)!::write(fd, ten.data(), ten.size());
    ::close(fd);
  });
  ProgramRun run = run_in_child([&] {
    ::alarm(kRunTimeLimitSeconds);
    if (::chdir(run_dir_.c_str()) != 0) ::_exit(127);
    ::execl(binary("vbsfit").c_str(), "vbsfit", static_cast<char*>(nullptr));
    ::_exit(127);
  });
  writer.join();
  EXPECT_EQ(24, run.exit_status);
  EXPECT_EQ("forrtl: severe (24): end-of-file during read, unit 20, file " + run_dir_.string() +
                "/../" + kInputs + "/aer.precursor",
            run.first_err_line());
  EXPECT_TRUE(fits_entries().empty());
}

// Values of any length in the ideal layout's list-directed bin file.
TEST(EndingIdeal, LongDecimalsOverflowWith64AndUnderflowToZero) {
  struct Case {
    const char* name;
    std::string value;
    int status;
  };
  const Case cases[] = {
      {"overflow", "0." + std::string(100000, '0') + "1e10000000", 64},
      {"underflow", std::string(100001, '1') + "e-10000000", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    testsupport::copy_tree(testsupport::test_data("acceptance/ideal"), scratch.path() / "case");
    const fs::path run_dir = scratch.path() / "case" / "run";
    auto lines = testsupport::lines_of(read_file(run_dir / "aer.ideal"));
    std::string& record = lines[100];  // data record 100: time, then bin 1
    const std::size_t bin1 = record.find_first_not_of(' ', record.find(' ', record.find_first_not_of(' ')));
    record.replace(bin1, record.find(' ', bin1) - bin1, c.value);
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    write_file(run_dir / "aer.ideal", text);

    ProgramRun run = run_program(binary("vbsfit_ideal"), run_dir);
    EXPECT_EQ(c.status, run.exit_status) << run.first_err_line();
    if (c.status == 64) {
      EXPECT_EQ("forrtl: severe (64): input conversion error, unit 30, file " + run_dir.string() +
                    "/aer.ideal",
                run.first_err_line());
      EXPECT_FALSE(fs::exists(run_dir / "FITS" / "fit6_coef.ideal.0.1.allgas"));
    } else {
      EXPECT_TRUE(fs::exists(run_dir / "FITS" / "fit6_coef.ideal.0.1.allgas"));
    }
  }
}

}  // namespace
