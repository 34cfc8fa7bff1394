// vbsfit-batch's command line and its control of the runs, as a user meets
// them: refused names and plans, the signals that stop it, more jobs than
// open files, the progress line on a terminal, and the informational options.
//
// GCC 12 warns of an uninitialized member inside libstdc++'s own std::regex
// when the sanitizers' build compiles it; the warning is about the library,
// not this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "batch/analysis.hpp"
#include "batch/batch.hpp"
#include "batch/test_points.hpp"
#include "batch_study.hpp"
#include "config/config.hpp"

namespace {

using testsupport::binary;
using testsupport::column;
using testsupport::read_file;
using testsupport::read_table;
using testsupport::run_row;
using testsupport::write_file;
namespace fs = std::filesystem;

class BatchControl : public testsupport::BatchStudy {};

TEST_F(BatchControl, BadNamesAndPlansAreRefusedBeforeAnythingRuns) {
  write_file(root() / "bad.plan", "OLE2_OH,0.1,allgas\n# fine so far\nAPI OH,0.1,allgas\n");
  write_file(root() / "twice.plan", "OLE2_OH,0.1,allgas\nAPI_OH,0.1,allgas\nOLE2_OH,0.1,allgas\n");
  fs::create_directories(root() / "no-fits");
  const struct {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"--species", "OLE2_OH,a/b"}, "--species: species 'a/b' contains '/'"},
      {{"--plan", "../bad.plan"}, "../bad.plan:3: species 'API OH' contains a blank"},
      {{"--plan", "../twice.plan"},
       "../twice.plan:3: the configuration 'OLE2_OH/0.1/allgas' comes twice (../twice.plan:1)"},
      {{"--plan", "../none.plan"}, "cannot read the plan ../none.plan: No such file or directory"},
      {{"--workdir", "../nowhere"}, "--workdir: ../nowhere is not a directory"},
      {{"--workdir", "../no-fits"},
       "the working directory has no directory FITS for the results files; create it: "
       "mkdir ../no-fits/FITS"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const auto run = batch(c.args);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err, "vbsfit-batch: " + c.error +
                           "\nTry 'vbsfit-batch --help' for more information.\n");
    EXPECT_EQ(run.out, "");
  }
  EXPECT_FALSE(fs::exists(report()));
  EXPECT_TRUE(fs::is_empty(run_dir() / "FITS"));
}

TEST_F(BatchControl, AReportThatAnotherBatchWritesIsRefused) {
  fs::create_directories(report());
  // As a batch that is still going holds it.
  const int lock = ::open((report() / ".vbsfit-batch.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const auto refused = batch({"--species", "OLE2_OH"});
  EXPECT_EQ(refused.exit_status, 2);
  EXPECT_EQ(refused.err,
            "vbsfit-batch: another vbsfit-batch is writing the report ./vbsfit-report (or runs it "
            "started are still going); wait until it ends, or give another --report\n");
  EXPECT_TRUE(fs::is_empty(run_dir() / "FITS"));
  EXPECT_FALSE(fs::exists(report() / "runs.csv"));

  ::close(lock);  // that batch has ended
  EXPECT_EQ(batch({"--species", "OLE2_OH"}).exit_status, 0);
}

// Starts vbsfit-batch in `directory` with the default dispositions of the
// signals that stop it (as from a terminal) and its output in files there;
// `open_files`, when not 0, is its limit of open files.
pid_t start_batch(const fs::path& directory, const std::vector<std::string>& args,
                  rlim_t open_files = 0) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (::chdir(directory.c_str()) != 0) ::_exit(127);
  const rlimit limit = {open_files, open_files};
  if (open_files != 0 && ::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(127);
  for (int signal : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) ::signal(signal, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const int out = ::open("batch.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = ::open("batch.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(out, STDOUT_FILENO);
  ::dup2(err, STDERR_FILENO);
  const std::string program = binary("vbsfit-batch");
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  ::_exit(127);
}

// How long a run may take to reach its input file; far more than it needs.
constexpr auto kReachTimeout = std::chrono::seconds(30);

TEST_F(BatchControl, ASignalEndsTheRunningConfigurationsAndTheTablesSayWhatFinished) {
  // A run whose precursor file is a FIFO with nothing to read waits until a
  // signal ends it.
  const fs::path pipe_dir = root() / "INPUTS_ODE/5days/0.1_aer.PIPE";
  fs::create_directories(pipe_dir);
  const std::string fifo = (pipe_dir / "aer.precursor").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  write_file(root() / "study.plan", "OLE2_OH,0.1,allgas\nPIPE,0.1,allgas\nAPI_OH,0.1,allgas\n");

  const struct {
    int signal;
    int status;
    const char* message;
    const char* name;
  } cases[] = {{SIGINT, 130, "forrtl: error (69): process interrupted (SIGINT)", "SIGINT"},
               {SIGTERM, 143, "forrtl: error (78): process killed (SIGTERM)", "SIGTERM"},
               {SIGQUIT, 131, "forrtl: error (79): process quit (SIGQUIT)", "SIGQUIT"},
               // vbsfit keeps SIGHUP's default: the run ends by it outright.
               {SIGHUP, 129, "ended by signal 1 (Hangup)", "SIGHUP"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(report());
    for (const auto& entry : fs::directory_iterator(run_dir() / "FITS")) fs::remove(entry.path());
    const pid_t pid = start_batch(run_dir(), {"--plan", "../study.plan", "-j", "1",
                                              "--allow-unknown-species"});
    ASSERT_GT(pid, 0);
    // The FIFO opens for writing once the run has it open for reading.
    int writer = -1;
    const auto deadline = std::chrono::steady_clock::now() + kReachTimeout;
    while (writer < 0 && std::chrono::steady_clock::now() < deadline) {
      writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(writer, 0) << "the run never opened its input";
    ::kill(pid, c.signal);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (writer >= 0) ::close(writer);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);

    const auto runs = read_table(report() / "runs.csv");
    const std::size_t state = column(runs, "state"), message = column(runs, "message");
    EXPECT_EQ(run_row(runs, "OLE2_OH", "0.1", "allgas")[state], "succeeded");
    const auto stopped = run_row(runs, "PIPE", "0.1", "allgas");
    EXPECT_EQ(stopped[state], "interrupted");
    EXPECT_EQ(stopped[message], c.message);
    EXPECT_EQ(run_row(runs, "API_OH", "0.1", "allgas")[state], "pending");
    EXPECT_TRUE(fs::exists(results("OLE2_OH", "0.1", "allgas")));
    EXPECT_FALSE(fs::exists(results("PIPE", "0.1", "allgas")));
    EXPECT_FALSE(fs::exists(results("API_OH", "0.1", "allgas")));
    const std::string err = read_file(run_dir() / "batch.err");
    EXPECT_EQ(err.substr(0, err.find('\n')),
              "vbsfit-batch: 3 configurations: 1 succeeded, 0 kept, 0 failed, 1 interrupted, "
              "1 pending");
    EXPECT_NE(err.find(std::string("stopped by ") + c.name +
                       "; the same command again finishes the rest"),
              std::string::npos);
  }
}

// The processes whose parent is `parent`.
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> children;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_file(entry.path() / "stat");
    const std::size_t name_end = stat.rfind(')');  // the process name may hold anything
    if (name_end == std::string::npos) continue;
    std::istringstream fields(stat.substr(name_end + 1));
    char state = 0;
    pid_t ppid = 0;
    if (fields >> state >> ppid && ppid == parent) children.push_back(std::stoi(name));
  }
  return children;
}

// What a test left of a killed batch, stopped whatever happens: the run
// gets its input's end, the batch, the run and the launcher are killed by
// their ids and reaped (this test is the reaper of its orphans meanwhile).
struct Orphans {
  pid_t batch = -1, launcher = -1, run = -1;
  int writer = -1;
  Orphans() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~Orphans() {
    if (writer >= 0) ::close(writer);
    for (pid_t pid : {batch, run, launcher}) {
      if (pid > 0) ::kill(pid, SIGKILL);
    }
    // The run is this test's to reap only when its launcher ended first;
    // else the wait returns at once.
    for (pid_t pid : {batch, launcher, run}) {
      if (pid > 0) ::waitpid(pid, nullptr, 0);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
};

TEST_F(BatchControl, RunsOfAKilledBatchHoldTheReportUntilTheyEnd) {
  // The run's precursor file is a FIFO: it waits there for as long as the
  // test holds the FIFO's writing end open without writing.
  const fs::path precursor = root() / "INPUTS_ODE/5days/0.1_aer.OLE2_OH/aer.precursor";
  const std::string input = read_file(precursor);
  fs::remove(precursor);
  ASSERT_EQ(::mkfifo(precursor.c_str(), 0644), 0);
  write_file(root() / "one.plan", "OLE2_OH,0.1,allgas\n");
  const std::vector<std::string> args = {"--plan", "../one.plan", "--no-pages"};

  Orphans orphans;
  orphans.batch = start_batch(run_dir(), args);
  ASSERT_GT(orphans.batch, 0);
  const auto deadline = std::chrono::steady_clock::now() + kReachTimeout;
  while (orphans.writer < 0 && std::chrono::steady_clock::now() < deadline) {
    orphans.writer = ::open(precursor.c_str(), O_WRONLY | O_NONBLOCK);
    if (orphans.writer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GE(orphans.writer, 0) << "the run never opened its input";
  const std::vector<pid_t> launchers = children_of(orphans.batch);
  ASSERT_EQ(launchers.size(), 1u);
  orphans.launcher = launchers.front();
  const std::vector<pid_t> runs = children_of(orphans.launcher);
  ASSERT_EQ(runs.size(), 1u);
  orphans.run = runs.front();
  ASSERT_EQ(::kill(orphans.batch, SIGKILL), 0);
  ASSERT_EQ(::waitpid(orphans.batch, nullptr, 0), orphans.batch);
  orphans.batch = -1;

  // The input as it was, for any later run; the orphan still waits on the FIFO.
  fs::remove(precursor);
  write_file(precursor, input);
  const auto refused = batch(args);
  EXPECT_EQ(refused.exit_status, 2) << refused.err;
  EXPECT_EQ(refused.err.rfind("vbsfit-batch: another vbsfit-batch is writing the report ./"
                              "vbsfit-report (or runs it started are still going)",
                              0),
            0u)
      << refused.err;

  // The orphan gets its input and ends; so does its launcher then.
  ::fcntl(orphans.writer, F_SETFL, ::fcntl(orphans.writer, F_GETFL) & ~O_NONBLOCK);
  ASSERT_EQ(::write(orphans.writer, input.data(), input.size()),
            static_cast<ssize_t>(input.size()));
  ::close(orphans.writer);
  orphans.writer = -1;
  const auto end_by = std::chrono::steady_clock::now() + kReachTimeout;
  pid_t ended = 0;
  while ((ended = ::waitpid(orphans.launcher, nullptr, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < end_by) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(ended, orphans.launcher) << "the orphaned run did not end";
  orphans.launcher = orphans.run = -1;

  // The report is free again, and what the orphan left is its run's, whole.
  const auto rerun = batch(args);
  EXPECT_EQ(rerun.exit_status, 0) << rerun.err;
  const auto rows = read_table(report() / "runs.csv");
  const auto row = run_row(rows, "OLE2_OH", "0.1", "allgas");
  EXPECT_EQ(row[column(rows, "state")], "kept");
  EXPECT_EQ(row[column(rows, "message")], "");
  EXPECT_FALSE(
      fs::exists(with_suffix(run_files("OLE2_OH", "0.1", "allgas", report()), ".stderr")));
}

TEST_F(BatchControl, FarMoreJobsThanOpenFilesWaitForASlotInsteadOfFailing) {
  // Each run holds two of the batch's descriptors while it runs: under a
  // limit of 64, -j 100 runs out of them long before it runs out of slots.
  constexpr int kConfigurations = 64;
  std::string tags;
  for (int n = 1; n <= kConfigurations; ++n) tags += (n > 1 ? "," : "") + std::to_string(n);
  const pid_t pid = start_batch(run_dir(), {"--tag", tags, "-j", "100", "--no-pages"}, 64);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  const std::string err = read_file(run_dir() / "batch.err");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << err;
  EXPECT_EQ(err.substr(0, err.find('\n')),
            "vbsfit-batch: 64 configurations: 64 succeeded, 0 kept, 0 failed");
  const auto runs = read_table(report() / "runs.csv");
  ASSERT_EQ(runs.size(), 1u + kConfigurations);
  const std::size_t state = column(runs, "state"), wmol1 = column(runs, "wmol1");
  for (std::size_t n = 1; n < runs.size(); ++n) {
    EXPECT_EQ(runs[n][state], "succeeded") << runs[n][column(runs, "message")];
    EXPECT_NE(runs[n][wmol1], "");
  }
}

TEST_F(BatchControl, AnAnalysisThatDiesLeavesItsRunAsItWas) {
  // The batch runs in a child of this test, whose hook kills the worker that
  // analyses OLE2_OH/0.1/allgas.
  const fs::path files = run_files("OLE2_OH", "0.1", "allgas", report());
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(run_dir().c_str()) != 0) ::_exit(127);
    const int err = ::open("batch.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(err, STDERR_FILENO);
    batch::set_test_point_action([](batch::TestPoint point, std::string_view subject) {
      if (point == batch::TestPoint::analysis && subject == "OLE2_OH/0.1/allgas") ::raise(SIGKILL);
    });
    ::_exit(batch::batch_main({"--tag", "allgas,no6", "-j", "1"},
                              {"OLE2_OH", "0.1", "allgas", "0", ""}));
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  // The run succeeded; that its numbers were lost is a note beside it.
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // The run itself printed, wrote and ended as vbsfit does.
  const std::string results_file = results("OLE2_OH", "0.1", "allgas").filename().string();
  fs::rename(run_dir() / "FITS", run_dir() / "FITS-batch");
  fs::create_directory(run_dir() / "FITS");
  const auto own = testsupport::run_program(binary("vbsfit"), run_dir());
  ASSERT_EQ(own.exit_status, 0);
  EXPECT_EQ(read_file(with_suffix(files, ".stdout")), own.out);
  EXPECT_FALSE(fs::exists(with_suffix(files, ".stderr")));
  EXPECT_EQ(read_file(run_dir() / "FITS-batch" / results_file),
            read_file(run_dir() / "FITS" / results_file));
  const auto runs = read_table(report() / "runs.csv");
  const std::size_t state = column(runs, "state"), code = column(runs, "exit_status"),
                    message = column(runs, "message"), wmol1 = column(runs, "wmol1");
  const std::string lost =
      "vbsfit-batch: the fit's numbers were not recorded: its analysis ended by signal 9 (Killed)";
  const auto killed = run_row(runs, "OLE2_OH", "0.1", "allgas");
  EXPECT_EQ(killed[state], "succeeded");
  EXPECT_EQ(killed[code], "0");
  EXPECT_EQ(killed[message], lost);
  EXPECT_EQ(killed[wmol1], "");
  // The next analysis has a worker of its own.
  const auto next = run_row(runs, "OLE2_OH", "0.1", "no6");
  EXPECT_EQ(next[state], "succeeded");
  EXPECT_EQ(next[message], "");
  EXPECT_NE(next[wmol1], "");
  EXPECT_NE(read_file(run_dir() / "batch.err").find("  note: OLE2_OH/0.1/allgas: " + lost),
            std::string::npos);
}

TEST_F(BatchControl, ATerminalGetsOneProgressLineThenTheSummary) {
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::chdir(run_dir().c_str()) != 0) ::_exit(127);
    const std::string program = binary("vbsfit-batch");
    ::execl(program.c_str(), program.c_str(), "--tag", "allgas,no6,no56", nullptr);
    ::_exit(127);
  }
  std::string shown;
  char buffer[4096];
  for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, got);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ::close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  EXPECT_TRUE(std::regex_search(shown, std::regex("\rvbsfit-batch: [0-3]/3 done, 0 failed, "
                                                  "0:[0-9][0-9] elapsed")))
      << shown;
  // The line is cleared before the summary, which starts a line of its own.
  const std::string summary = "\r\x1b[Kvbsfit-batch: 3 configurations: 3 succeeded, 0 kept, 0 failed";
  EXPECT_NE(shown.find(summary), std::string::npos) << shown;
  EXPECT_EQ(shown.find('\n'), shown.find(summary) + summary.size() + 1);  // "\r\n" on a terminal
}

TEST_F(BatchControl, VersionHelpAndTheSpeciesTable) {
  const auto version = batch({"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("vbsfit-batch [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;
  const auto help = batch({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("Usage: vbsfit-batch [OPTION]...\n", 0), 0u);
  const auto table = batch({"--list-species"});
  EXPECT_EQ(table.exit_status, 0);
  // A species table file: comments, the header, one row per species.
  std::vector<std::string> lines;
  for (const std::string& line : testsupport::lines_of(table.out)) {
    if (line.rfind("#", 0) != 0) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), config::species_table().size() + 1);
  EXPECT_EQ(lines[0], "species,kp,multiplier,multiplier6,layout");
  for (std::size_t n = 0; n < config::species_table().size(); ++n) {
    const std::string key(config::species_table()[n].key);
    EXPECT_EQ(lines[n + 1].substr(0, key.size() + 1), key + ",");
  }
  EXPECT_EQ(lines[2], "c12,2.6400001e-05,4e-05,4e-05,standard");
  EXPECT_FALSE(fs::exists(report()));
}

}  // namespace
