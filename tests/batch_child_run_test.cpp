// How a run's ending is read: the first message line the tables and the
// summary show for a run that failed, from what the run left on standard
// output and standard error; a success whose standard error cannot be kept;
// a child that could not become the run for want of a resource.
#include "batch/child_run.hpp"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "run_program.hpp"

namespace {

// Wait statuses as waitpid reports them.
int exited(int status) { return status << 8; }
int killed(int signal) { return signal; }

TEST(FailureMessage, StandardErrorFirstThenTheSignalThenTheSolversLine) {
  const struct {
    const char* name;
    std::string out;
    std::string err;
    int wait_status;
    const char* message;
  } cases[] = {
      {"numbered diagnostic", " COEFS: ...\n",
       "forrtl: severe (29): file not found, unit 20, file /w/x\nTraceback (innermost first):\n",
       exited(29), "forrtl: severe (29): file not found, unit 20, file /w/x"},
      {"signal handled by the run", "", "forrtl: error (69): process interrupted (SIGINT)\n",
       exited(1), "forrtl: error (69): process interrupted (SIGINT)"},
      {"signal that ended it outright", " k per sec ...\n", "", killed(SIGKILL),
       "ended by signal 9 (Killed)"},
      // The solver prints its message as a list-directed record and stops.
      {"solver stop", " TAG allgas\n  \n BVLS fails to converge! \n", "", exited(1),
       "BVLS fails to converge!"},
      {"blank lines after it", " last words\n  \n\n", "", exited(1), "last words"},
      {"nothing at all", "", "", exited(3), "exit status 3 without a message"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(WIFEXITED(c.wait_status) || WIFSIGNALED(c.wait_status));
    testsupport::ScratchDir dir;
    testsupport::write_file(dir.path() / "stdout", c.out);
    EXPECT_EQ(batch::failure_message((dir.path() / "stdout").string(), c.err, c.wait_status),
              c.message);
  }
}

// A run as the batch holds it, its setup pipe carrying `setup` and its
// standard error `err`, both ended.
batch::ChildRun ended_run(const std::string& setup, const std::string& err) {
  int pipe[2];
  EXPECT_EQ(::pipe(pipe), 0);
  EXPECT_EQ(::write(pipe[1], setup.data(), setup.size()), static_cast<ssize_t>(setup.size()));
  ::close(pipe[1]);
  const int memory = ::memfd_create("stderr", 0);
  EXPECT_EQ(::write(memory, err.data(), err.size()), static_cast<ssize_t>(err.size()));
  batch::ChildRun run;
  run.pid = 1;
  run.setup_fd = pipe[0];
  run.stderr_fd = memory;
  run.start = std::chrono::steady_clock::now();
  return run;
}

TEST(FinishRun, ASuccessWhoseStandardErrorCannotBeKeptIsASuccessWithANote) {
  testsupport::ScratchDir dir;
  std::filesystem::create_directories(dir.path() / "run.stderr" / "in the way");
  batch::ChildRun run = ended_run("", "a line the run wrote\n");
  const batch::RunEnding ending = batch::finish_run(run, exited(0), (dir.path() / "run").string());
  EXPECT_TRUE(ending.started);
  EXPECT_TRUE(ending.succeeded);
  EXPECT_EQ(ending.exit_status, 0);
  EXPECT_EQ(ending.message, "");
  EXPECT_EQ(ending.note.rfind("vbsfit-batch: its standard error was not kept: cannot replace ", 0),
            0u)
      << ending.note;
  EXPECT_EQ(run.setup_fd, -1);
  EXPECT_EQ(run.stderr_fd, -1);
}

TEST(FinishRun, AChildThatCouldNotBecomeTheRunSaysWhyAndWithWhichError) {
  testsupport::ScratchDir dir;
  const int error = EMFILE;
  const std::string why = "vbsfit-batch: cannot open x: " + std::string(std::strerror(error));
  batch::ChildRun run =
      ended_run(std::string(reinterpret_cast<const char*>(&error), sizeof error) + why, "");
  const batch::RunEnding ending = batch::finish_run(run, exited(127), (dir.path() / "run").string());
  EXPECT_FALSE(ending.started);
  EXPECT_EQ(ending.setup_error, EMFILE);
  EXPECT_TRUE(batch::for_want_of_resource(ending.setup_error));
  EXPECT_EQ(ending.message, why);
  EXPECT_FALSE(ending.exit_status.has_value());
}

}  // namespace
