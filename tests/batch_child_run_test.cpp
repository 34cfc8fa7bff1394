// The first message line the tables and the summary show for a run that
// failed, from what the run left on standard output and standard error.
#include "batch/child_run.hpp"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <csignal>

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

}  // namespace
